#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <clocale>
#include <cstdio>
#include <filesystem>

#include "support/TempEnv.h"
#include "platform/i18n.h"

namespace {
struct IntCase {
    const char* text;
    bool ok;
    int32_t value;
};

// Puts a German locale in place, generating it into a temporary folder when the system has none.
bool useGermanLocale(TempEnv& env) {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8")) return true;
    const std::string dir = env.path("locales");
    std::filesystem::create_directories(dir);
    const std::string cmd = "localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return false;
    env.set("LOCPATH", dir);
    return std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
}

class LocaleGuard {
  public:
    LocaleGuard() : saved_(std::setlocale(LC_ALL, nullptr)) {}
    ~LocaleGuard() {
        std::setlocale(LC_ALL, saved_.c_str());
        setDecimalSeparator('.');
    }

  private:
    std::string saved_;
};
}  // namespace

TEST(WholeNumbers, FollowTheProgramsRule) {
    const IntCase cases[] = {
        {"0", true, 0}, {"42", true, 42}, {"  42", true, 42}, {"\t7", true, 7}, {"+5", true, 5},
        {"-5", true, -5}, {"  -12", true, -12}, {"007", true, 7}, {"-0", true, 0}, {"$1A", true, 26},
        {"$ff", true, 255}, {"x10", true, 16}, {"X10", true, 16}, {"0x10", true, 16}, {"0X1f", true, 31},
        {"-$10", true, -16}, {"+0x10", true, 16}, {"-x7FFFFFFF", true, -2147483647},
        {"2147483647", true, 2147483647}, {"-2147483648", true, INT32_MIN}, {"$7FFFFFFF", true, 2147483647},
        {"-$80000000", true, INT32_MIN}, {"0000000000000000000042", true, 42},
        // rejected
        {"", false, 0}, {"   ", false, 0}, {"42 ", false, 0}, {"42\t", false, 0}, {"4 2", false, 0},
        {"- 5", false, 0}, {"+", false, 0}, {"-", false, 0}, {"++5", false, 0}, {"+-5", false, 0},
        {"$", false, 0}, {"x", false, 0}, {"0x", false, 0}, {"$-5", false, 0}, {"0x-5", false, 0},
        {"$g", false, 0}, {"1A", false, 0}, {"10.5", false, 0}, {"1e3", false, 0}, {"2147483648", false, 0},
        {"-2147483649", false, 0}, {"$80000000", false, 0}, {"$FFFFFFFF", false, 0},
        {"99999999999999999999", false, 0}, {"0b101", false, 0}, {"\n5", false, 0}, {"5\n", false, 0},
        {"\xD9\xA1", false, 0},  // a digit of another script
    };
    for (const auto& c : cases) {
        int32_t v = 12345;
        EXPECT_EQ(tryStrToInt(c.text, v), c.ok) << "\"" << c.text << "\"";
        if (c.ok)
            EXPECT_EQ(v, c.value) << "\"" << c.text << "\"";
        else
            EXPECT_EQ(v, 12345) << "a rejected text changed the result: \"" << c.text << "\"";
        EXPECT_EQ(strToIntDef(c.text, -1), c.ok ? c.value : -1) << "\"" << c.text << "\"";
    }
    int32_t v = 0;
    EXPECT_FALSE(tryStrToInt(std::string("5\0", 2), v)) << "an embedded zero byte follows the digits";
}

TEST(CFormat, UsesThePointWhateverTheLocale) {
    TempEnv env;
    LocaleGuard guard;
    if (!useGermanLocale(env)) GTEST_SKIP() << "no German locale available";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%4.1f", 3.25);
    ASSERT_STREQ(buf, " 3,2") << "the locale should use a comma";
    EXPECT_EQ(cformat("%4.1f", 3.25), " 3.2");
    EXPECT_EQ(cformat("SC %4.1f;SR %5.1f", 40.0, 130.55), "SC 40.0;SR 130.6");
    EXPECT_EQ(cformat("%s=%d", "P", -3), "P=-3");
    const std::string longText(1000, 'k');
    EXPECT_EQ(cformat("%s%.2f", longText.c_str(), 0.5), longText + "0.50");

    double d = 0;
    EXPECT_TRUE(cparseDouble("12.5", d));
    EXPECT_DOUBLE_EQ(d, 12.5);
    EXPECT_TRUE(cparseDouble("  -0.25 ", d));
    EXPECT_DOUBLE_EQ(d, -0.25);
    EXPECT_FALSE(cparseDouble("12,5", d));
    EXPECT_FALSE(cparseDouble("", d));
    EXPECT_FALSE(cparseDouble("  ", d));
    EXPECT_FALSE(cparseDouble("12.5x", d));
    EXPECT_FALSE(cparseDouble("nan", d));
    EXPECT_FALSE(cparseDouble("1e999", d));

    // At start-up the separator comes from the locale; C-library numbers stay in "." form.
    env.set("LC_ALL", "de_DE.UTF-8");
    i18n::init(std::string(ZENTROVA_BINARY_DIR) + "/app/zentrova");
    EXPECT_EQ(DecimalSeparator(), ',');
    std::snprintf(buf, sizeof buf, "%.1f", 1.5);
    EXPECT_STREQ(buf, "1.5");
}

TEST(OperatorNumbers, UseTheDecimalSeparator) {
    LocaleGuard guard;
    double d = 0;
    setDecimalSeparator(',');
    EXPECT_TRUE(tryStrToFloat("0,25", d));
    EXPECT_DOUBLE_EQ(d, 0.25);
    EXPECT_TRUE(tryStrToFloat(" -12,5 ", d));
    EXPECT_DOUBLE_EQ(d, -12.5);
    EXPECT_TRUE(tryStrToFloat("1,5E2", d));
    EXPECT_DOUBLE_EQ(d, 150);
    EXPECT_TRUE(tryStrToFloat(",5", d));
    EXPECT_DOUBLE_EQ(d, 0.5);
    EXPECT_FALSE(tryStrToFloat("0.25", d));
    EXPECT_FALSE(tryStrToFloat("1.000,5", d));
    EXPECT_EQ(floatToStr(0.25), "0,25");
    EXPECT_EQ(floatToStr(130), "130");

    setDecimalSeparator('.');
    EXPECT_TRUE(tryStrToFloat("40", d));
    EXPECT_DOUBLE_EQ(d, 40);
    EXPECT_TRUE(tryStrToFloat("+0.30", d));
    EXPECT_DOUBLE_EQ(d, 0.3);
    for (const char* bad :
         {"", " ", ".", "-", "1e", "1e+", "abc", "0x10", "inf", "nan", "1,5", "1.5.2", "1 5"})
        EXPECT_FALSE(tryStrToFloat(bad, d)) << bad;
    EXPECT_EQ(floatToStr(0.1), "0.1");
    EXPECT_EQ(floatToStr(-2.5), "-2.5");
    EXPECT_EQ(floatToStr(1e20), "1E20");
    EXPECT_EQ(floatToStr(1.5e-5), "1.5E-5");
    EXPECT_EQ(floatToStr(0.0001), "0.0001");
    EXPECT_EQ(floatToStr(1.0 / 3), "0.333333333333333");
}

TEST(FillFirst, ReplacesOnlyTheFirstPlaceholder) {
    EXPECT_EQ(fillFirst("Method \"%s\" saved", "A%sB"), "Method \"A%sB\" saved");
    EXPECT_EQ(fillFirst("%s and %s", "x"), "x and %s");
    EXPECT_EQ(fillFirst("none", "x"), "none");
    EXPECT_EQ(fillFirst8("Closing Application in %s sec", "3"), "Closing Application in 3 sec");
    EXPECT_EQ(fillFirst8("%d %s", "v"), "%d v");
}

class Translation : public ::testing::Test {
  protected:
    void SetUp() override {
        env.set("LC_ALL", "C.UTF-8");
        env.set("LANGUAGE", "de");
        const std::string mo = std::string(ZENTROVA_BINARY_DIR) + "/app/locale/de/LC_MESSAGES/default.mo";
        ASSERT_TRUE(std::filesystem::exists(mo)) << mo << " was not built";
        i18n::init(std::string(ZENTROVA_BINARY_DIR) + "/app/zentrova");
    }
    TempEnv env;
    LocaleGuard guard;
};

TEST_F(Translation, LooksTextsUpInTheCatalogueBesideTheProgram) {
    EXPECT_EQ(i18n::language(), "de");
    EXPECT_EQ(_("Warning"), QString("Warnung"));
    EXPECT_EQ(_8("Close this dialog"), "Diesen Dialog schließen");
    EXPECT_EQ(_("A text nobody translated"), QString("A text nobody translated"));
    EXPECT_EQ(_(""), QString());
    EXPECT_EQ(fillFirst(_("Method Name \"%s\" already exist. Overwrite?"), "M1"),
              QString("Der Methodenname \"M1\" existiert bereits. Überschreiben?"));
}

TEST_F(Translation, TranslateComponentCoversEveryTextAndIsHarmlessTwice) {
    QDialog dlg;
    dlg.setWindowTitle("Export/Import user parameters");
    auto* lay = new QVBoxLayout(&dlg);
    auto* label = new QLabel("Close this dialog");
    auto* button = new QPushButton("Done");
    button->setToolTip("Close this dialog");
    auto* group = new QGroupBox("Export");
    auto* check = new QCheckBox("Import");
    auto* combo = new QComboBox;
    combo->addItems({"Warning", "Error", "untranslated"});
    auto* bar = new QMenuBar;
    QMenu* menu = bar->addMenu("Import");
    QAction* action = menu->addAction("Export");
    for (QWidget* w : std::initializer_list<QWidget*>{bar, label, button, group, check, combo})
        lay->addWidget(w);

    for (int round = 0; round < 2; ++round) {
        TranslateComponent(&dlg);
        EXPECT_EQ(dlg.windowTitle(), QString("Benutzerparameter exportieren/importieren"));
        EXPECT_EQ(label->text(), QString("Diesen Dialog schließen"));
        EXPECT_EQ(button->text(), QString("Fertig"));
        EXPECT_EQ(button->toolTip(), QString("Diesen Dialog schließen"));
        EXPECT_EQ(group->title(), QString("Exportieren"));
        EXPECT_EQ(check->text(), QString("Importieren"));
        EXPECT_EQ(combo->itemText(0), QString("Warnung"));
        EXPECT_EQ(combo->itemText(1), QString("Fehler"));
        EXPECT_EQ(combo->itemText(2), QString("untranslated"));
        EXPECT_EQ(menu->title(), QString("Importieren"));
        EXPECT_EQ(action->text(), QString("Exportieren"));
    }
    // A text the program sets afterwards is translated as a new original.
    label->setText("Warning");
    TranslateComponent(&dlg);
    EXPECT_EQ(label->text(), QString("Warnung"));
}

TEST(Language, FollowsTheMessagesLocale) {
    TempEnv env;
    LocaleGuard guard;
    env.unset("LANGUAGE");
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(i18n::language(), "");
    env.set("LANGUAGE", "fr");
    EXPECT_EQ(i18n::language(), "") << "the C locale translates nothing";
    std::setlocale(LC_ALL, "C.UTF-8");
    EXPECT_EQ(i18n::language(), "fr");
    env.set("LANGUAGE", "en_GB:de");
    EXPECT_EQ(i18n::language(), "en");
}
