// The program's start-up: the help file chosen by the translation language, the caption when the
// label is stored with another type, and a window that raises while it is made.
#include <QCoreApplication>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/Help.h"
#include "platform/SystemInfo.h"
#include "ui/MainFormHarness.h"
#include "ui/Startup.h"

namespace {

using StartupTest = MainFormHarness;

// The per-language help file beside the program is taken by its bare name when the language's
// file is there; otherwise the default stays.
TEST_F(StartupTest, TheHelpFileFollowsTheLanguageWhenItsFileIsThere) {
    const std::string french = SystemInfo::programDir() + "/ZENTROVAKVZ_fr.html";
    const std::string oldLocale = std::setlocale(LC_MESSAGES, nullptr);
    const char* oldLanguage = std::getenv("LANGUAGE");
    const std::string savedLanguage = oldLanguage ? oldLanguage : "";
    const struct {
        const char* locale;
        const char* language;
        bool file;
        const char* help;
    } rows[] = {
        {"C.utf8", "fr", true, "ZENTROVAKVZ_fr.HLP"}, {"C.utf8", "fr_CA:de", true, "ZENTROVAKVZ_fr.HLP"},
        {"C.utf8", "fr", false, "ZENTROVAKVZ.HLP"},   {"C.utf8", "de", true, "ZENTROVAKVZ.HLP"},
        {"C", "fr", true, "ZENTROVAKVZ.HLP"},  // no translation in the C locale
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.locale) + " " + r.language + (r.file ? " with the file" : ""));
        ASSERT_NE(std::setlocale(LC_MESSAGES, r.locale), nullptr);
        setenv("LANGUAGE", r.language, 1);
        if (r.file)
            std::ofstream(french) << "<html></html>";
        else
            std::filesystem::remove(french);
        Help::setHelpFile("ZENTROVAKVZ.HLP");
        TMainForm made(std::vector<std::string>{});
        EXPECT_EQ(Help::helpFile(), r.help);
    }
    std::filesystem::remove(french);
    std::setlocale(LC_MESSAGES, oldLocale.c_str());
    if (oldLanguage)
        setenv("LANGUAGE", savedLanguage.c_str(), 1);
    else
        unsetenv("LANGUAGE");
    Help::setHelpFile("ZENTROVAKVZ.HLP");
}

// A label stored with another type reads as no label: the caption follows the next rule.
TEST_F(StartupTest, ALabelStoredAsANumberGivesTheInstanceCaption) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"3"}, std::vector<std::string>{}}) {
        setInstance(args.empty() ? "" : args[0]);
        Registry reg;
        ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
        reg.writeInteger("InstrumentLabel", 7);
        std::unique_ptr<TMainForm> made;
        ASSERT_NO_THROW(made = std::make_unique<TMainForm>(args));
        EXPECT_EQ(made->GetCaption().toStdString(), args.empty() ? "ZentrovaKVZ" : "Instrument 3");
    }
    setInstance("");
}

// A window that raises while it is made ends the start-up: its text is shown in a box under the
// program's name (no text for an exception of another kind), no further window is made, and
// the program does not go on to its event loop.
TEST_F(StartupTest, AWindowThatRaisesWhileItIsMadeEndsTheStartUp) {
    QCoreApplication::setApplicationName("Zentrova KVZ Software");
    const struct {
        std::function<void()> raise;
        const char* shown;
    } rows[] = {
        {[] { throw ERegistryException("The store is locked by another program."); },
         "Error: The store is locked by another program."},
        {[] { throw std::runtime_error("bad"); }, "Error: bad"},
        {[] { throw 7; }, "Error: "},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.shown);
        takeBoxes();
        std::unique_ptr<TMainForm> first;
        bool after = false;
        const bool made = createWindows([&] {
            first = std::make_unique<TMainForm>(std::vector<std::string>{});
            r.raise();
            after = true;
        });
        EXPECT_FALSE(made);
        EXPECT_FALSE(after);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].title.toStdString(), "Zentrova KVZ Software");
        EXPECT_EQ(boxes.shown[0].icon, MsgIcon::Error);
        EXPECT_EQ(("Error: " + boxes.shown[0].text).toStdString(), r.shown);
    }
    takeBoxes();
    bool ran = false;
    EXPECT_TRUE(createWindows([&] { ran = true; }));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace
