// Help: the windows' help commands open the help file built beside the program at topics it
// has; the per-language file is chosen when it is there; a missing file is reported.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QFile>
#include <QUrl>
#include <filesystem>
#include <fstream>

#include "methods/EditMethods.h"
#include "platform/Dialogs.h"
#include "platform/Help.h"
#include "platform/Instance.h"
#include "support/TempEnv.h"
#include "ui/Configuration.h"
#include "ui/ErrorMessages.h"

namespace {

// Takes the desktop's place for file links.
class Desktop : public QObject {
    Q_OBJECT
  public:
    Desktop() { QDesktopServices::setUrlHandler("file", this, "open"); }
    ~Desktop() override { QDesktopServices::unsetUrlHandler("file"); }
    std::vector<QUrl> opened;
  public slots:
    void open(const QUrl& url) { opened.push_back(url); }
};

const std::string kBuiltHelp = std::string(ZENTROVA_BINARY_DIR) + "/app/ZENTROVAKVZ.HLP";

TEST(Help, EveryHelpCommandOpensATopicOfTheBuiltFile) {
    TempEnv env;
    setInstance("");
    DialogScript boxes;
    Desktop desktop;
    Help::setHelpFile(kBuiltHelp);
    {
        TInstrumentConfiguration config;
        config.HelpClick();
        TEditMethodForm editor;
        editor.HelpBtnClick();
        TErrorMessagesDialog errors;
        for (const TErrorEntry& e : errors.ErrorTable) {
            errors.ErrorHelpContext = e.HelpContext;
            errors.HelpBtnClick();
        }
        Help::command(3);  // Help > Index
    }
    EXPECT_TRUE(boxes.shown.empty());
    ASSERT_EQ(desktop.opened.size(), 2 + TErrorMessagesDialog::EntryCount + 1);
    QFile file(QString::fromStdString(Help::filePath(kBuiltHelp)));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    const QString page = QString::fromUtf8(file.readAll());
    for (const QUrl& url : desktop.opened) {
        EXPECT_EQ(url.toLocalFile(), file.fileName());
        if (url == desktop.opened.back()) {
            EXPECT_FALSE(url.hasFragment()) << "the index is the top of the file";
        } else {
            EXPECT_TRUE(url.fragment().startsWith("topic-"));
            EXPECT_TRUE(page.contains("id=\"" + url.fragment() + "\"")) << url.toString().toStdString();
        }
    }
    EXPECT_EQ(desktop.opened[0].fragment(), "topic-510");
    EXPECT_EQ(desktop.opened[1].fragment(), "topic-600");
    Help::setHelpFile("ZENTROVAKVZ.HLP");
}

TEST(Help, PerLanguageFileWhenItIsThere) {
    TempEnv env;
    const std::string dir = env.path("prog");
    std::filesystem::create_directories(dir);
    EXPECT_EQ(Help::languageFile(dir, "en"), "");
    std::ofstream(dir + "/ZENTROVAKVZ_en.html") << "<html></html>";
    EXPECT_EQ(Help::languageFile(dir, "en"), "ZENTROVAKVZ_en.HLP");
    EXPECT_EQ(Help::languageFile(dir, "fr"), "");
    EXPECT_EQ(Help::languageFile(dir, ""), "") << "no language, no per-language file";
    EXPECT_EQ(Help::filePath(dir + "/ZENTROVAKVZ_en.HLP"), dir + "/ZENTROVAKVZ_en.html");
}

TEST(Help, MissingFileIsReported) {
    DialogScript boxes;
    Desktop desktop;
    Help::setHelpFile("/nonexistent/ZENTROVAKVZ.HLP");
    EXPECT_FALSE(Help::context(510));
    EXPECT_FALSE(Help::command(3));
    EXPECT_TRUE(desktop.opened.empty());
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, "The help file /nonexistent/ZENTROVAKVZ.html was not found.");
    Help::setHelpFile("ZENTROVAKVZ.HLP");
}

}  // namespace

#include "test_help.moc"
