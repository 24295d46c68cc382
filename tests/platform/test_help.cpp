// The help file is handed to the desktop only when it is a regular file: a named pipe, a
// device, a folder or a huge file there is reported, naming it, and nothing is opened.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QObject>
#include <QUrl>

#include "platform/Dialogs.h"
#include "platform/Help.h"
#include "support/OddFiles.h"
#include "support/TempEnv.h"

namespace {

// Takes the URLs the desktop would open.
class UrlCatcher : public QObject {
    Q_OBJECT
  public:
    std::vector<QUrl> opened;
  public slots:
    void open(const QUrl& url) { opened.push_back(url); }
};

TEST(HelpFile, OnlyARegularFileIsHandedToTheDesktop) {
    TempEnv env;
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    DialogScript boxes;
    const std::string file = env.path("ZENTROVAKVZ.html");
    Help::setHelpFile(env.path("ZENTROVAKVZ.HLP"));
    for (const OddFile& odd : oddFiles()) {
        SCOPED_TRACE(odd.name);
        ASSERT_TRUE(makeOdd(odd.kind, file));
        boxes.shown.clear();
        BlockWatchdog watchdog(odd.name);
        EXPECT_FALSE(Help::context(510));
        ASSERT_EQ(boxes.shown.size(), 1u);
        const std::string text = boxes.shown[0].text.toStdString();
        EXPECT_EQ(text.find(file), 0u) << text;
        EXPECT_NE(text.find(odd.because), std::string::npos) << text;
        EXPECT_TRUE(catcher.opened.empty());
    }
    // A regular file opens at its topic.
    writeFile(file, "<html></html>");
    boxes.shown.clear();
    EXPECT_TRUE(Help::context(510));
    EXPECT_TRUE(boxes.shown.empty());
    ASSERT_EQ(catcher.opened.size(), 1u);
    EXPECT_EQ(catcher.opened[0].fragment(), "topic-510");
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    Help::setHelpFile("ZENTROVAKVZ.HLP");
}

}  // namespace

#include "test_help.moc"
