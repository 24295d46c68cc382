// Numbers as the operator types them and as files hold them, whatever the locale; the catalogue.
#include <gtest/gtest.h>

#include <QtWidgets>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "platform/i18n.h"
#include "support/TempEnv.h"

namespace {
const std::string kProgram = std::string(ZENTROVA_BINARY_DIR) + "/app/zentrova";

// Restores the locale and the decimal separator; German, generated into the folder if the system has none.
class Locale : public ::testing::Test {
  protected:
    ~Locale() override {
        std::setlocale(LC_ALL, saved_.c_str());
        setDecimalSeparator('.');
    }
    bool german() {
        if (std::setlocale(LC_ALL, "de_DE.UTF-8")) return true;
        const std::string cmd = "localedef -i de_DE -f UTF-8 " + env.path("de_DE.UTF-8") + " >/dev/null 2>&1";
        env.set("LOCPATH", env.dir);
        return std::system(cmd.c_str()) == 0 && std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    }
    TempEnv env;

  private:
    std::string saved_ = std::setlocale(LC_ALL, nullptr);
};
}  // namespace

TEST(WholeNumbers, FollowTheProgramsRule) {
    const struct {
        const char* text;
        int32_t value;
    } good[] = {{"  -12", -12}, {"+5", 5},      {"$1A", 26},
                {"X10", 16},    {"-0x10", -16}, {"-$80000000", INT32_MIN}};
    for (const auto& [text, value] : good) {
        int32_t v = 0;
        EXPECT_TRUE(tryStrToInt(text, v) && v == value) << '"' << text << "\" gave " << v;
    }
    for (const char* bad :
         {"", "42 ", "- 5", "+-5", "0x", "$-5", "1A", "10.5", "2147483648", "$80000000", "5\n"}) {
        int32_t v = 12345;
        EXPECT_FALSE(tryStrToInt(bad, v)) << '"' << bad << '"';
        EXPECT_EQ(v, 12345) << "a rejected text changed the result: \"" << bad << '"';
        EXPECT_EQ(strToIntDef(bad, -1), -1) << '"' << bad << '"';
    }
    int32_t v = 0;
    EXPECT_FALSE(tryStrToInt(std::string("5\0", 2), v)) << "an embedded zero byte follows the digits";
}

TEST_F(Locale, FileNumbersUseThePointWhateverTheLocale) {
    if (!german()) GTEST_SKIP() << "no German locale available";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%4.1f", 3.25);
    ASSERT_STREQ(buf, " 3,2") << "the locale should use a comma";
    EXPECT_EQ(cformat("SC %4.1f;SR %5.1f;%s=%d", 40.0, 130.55, "P", -3), "SC 40.0;SR 130.6;P=-3");
    const std::string longText(1000, 'k');
    EXPECT_EQ(cformat("%s%.2f", longText.c_str(), 0.5), longText + "0.50");
    double d = 0;
    EXPECT_TRUE(cparseDouble("  -0.25 ", d));
    EXPECT_DOUBLE_EQ(d, -0.25);
    for (const char* bad : {"12,5", "", "  ", "12.5x", "nan", "1e999"})
        EXPECT_FALSE(cparseDouble(bad, d)) << bad;

    // At start-up the separator comes from the locale; C-library numbers stay in "." form.
    env.set("LC_ALL", "de_DE.UTF-8");
    i18n::init(kProgram);
    EXPECT_EQ(DecimalSeparator(), ',');
    std::snprintf(buf, sizeof buf, "%.1f", 1.5);
    EXPECT_STREQ(buf, "1.5");
}

TEST_F(Locale, OperatorNumbersUseTheDecimalSeparator) {
    const struct {
        char separator;
        const char* text;
        double value;  // NAN: refused
    } cases[] = {{',', "0,25", 0.25}, {',', " -12,5 ", -12.5}, {',', "1,5E2", 150}, {',', ",5", 0.5},
                 {',', "0.25", NAN},  {',', "1.000,5", NAN},   {'.', "40", 40},     {'.', "+0.30", 0.3}};
    for (const auto& c : cases) {
        setDecimalSeparator(c.separator);
        double d = NAN;
        EXPECT_EQ(tryStrToFloat(c.text, d), !std::isnan(c.value)) << c.text;
        EXPECT_TRUE(std::isnan(c.value) || d == c.value) << c.text << " gave " << d;
    }
    double d = 0;
    for (const char* bad : {"", ".", "1e", "0x10", "inf", "1,5", "1 5"})
        EXPECT_FALSE(tryStrToFloat(bad, d)) << bad;
    for (const auto& [value, text] :
         {std::pair{-2.5, "-2.5"}, {1e20, "1E20"}, {1.5e-5, "1.5E-5"}, {1e-4, "0.0001"}})
        EXPECT_EQ(floatToStr(value), text);
    EXPECT_EQ(floatToStr(1.0 / 3), "0.333333333333333");
    setDecimalSeparator(',');
    EXPECT_EQ(floatToStr(0.25), "0,25");
}

TEST_F(Locale, TextsAndWindowsAreTranslatedFromTheCatalogueBesideTheProgram) {
    env.set("LC_ALL", "C.UTF-8");
    env.set("LANGUAGE", "de");
    i18n::init(kProgram);
    EXPECT_EQ(i18n::language(), "de");
    EXPECT_EQ(_8("Close this dialog"), "Diesen Dialog schließen");
    EXPECT_EQ(_("A text nobody translated"), QString("A text nobody translated"));
    EXPECT_EQ(_(""), QString());
    EXPECT_EQ(fillFirst(_("Method Name \"%s\" already exist. Overwrite?"), "M%s1"),
              QString("Der Methodenname \"M%s1\" existiert bereits. Überschreiben?"));
    EXPECT_EQ(fillFirst8("%d %s, %s", "v"), "%d v, %s") << "only the first placeholder";
    // Counts take the language's plural form: German as English, one form for 1, one for the rest.
    QStringList counts;
    for (unsigned long n : {0, 1, 2, 21})
        counts << _n("%s method", "%s methods", n) + "/" + _n("%s sequence", "%s sequences", n);
    EXPECT_EQ(counts.join(", "),
              "0 Methoden/0 Sequenzen, 1 Methode/1 Sequenz, 2 Methoden/2 Sequenzen, "
              "21 Methoden/21 Sequenzen");
    env.unset("LANGUAGE");
    env.set("LC_ALL", "C");
    i18n::init(kProgram);
    EXPECT_EQ(_n("%s method", "%s methods", 1) + ", " + _n("%s method", "%s methods", 2),
              "1 method, 2 methods");
    env.set("LC_ALL", "C.UTF-8");
    env.set("LANGUAGE", "de");
    i18n::init(kProgram);

    QDialog dlg;
    dlg.setWindowTitle("Export/Import user parameters");
    auto* lay = new QVBoxLayout(&dlg);
    auto* label = new QLabel("Close this dialog");
    auto* button = new QPushButton("Done");
    button->setToolTip("Close this dialog");
    auto* combo = new QComboBox;
    combo->addItems({"Warning", "untranslated"});
    auto* bar = new QMenuBar;
    QAction* action = bar->addMenu("Import")->addAction("Export");
    for (QWidget* w : std::initializer_list<QWidget*>{bar, label, button, combo}) lay->addWidget(w);
    for (int round = 0; round < 2; ++round) {  // a second pass changes nothing
        TranslateComponent(&dlg);
        EXPECT_EQ(
            QStringList({dlg.windowTitle(), label->text(), button->text(), button->toolTip(),
                         combo->itemText(0), combo->itemText(1), action->text()}),
            QStringList({"Benutzerparameter exportieren/importieren", "Diesen Dialog schließen", "Fertig",
                         "Diesen Dialog schließen", "Warnung", "untranslated", "Exportieren"}));
    }
    label->setText("Warning");  // set afterwards: a new original
    TranslateComponent(&dlg);
    EXPECT_EQ(label->text(), QString("Warnung"));
}
