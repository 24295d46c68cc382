// The small windows: the calibration notices, help opening topics of the help
// file built beside the program, and texts that must show whole on the rendered windows.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScreen>
#include <QTextLayout>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "methods/EditMethods.h"
#include "methods/EditSequence.h"
#include "methods/LoadSequence.h"
#include "platform/Dialogs.h"
#include "platform/Help.h"
#include "platform/Instance.h"
#include "platform/SystemInfo.h"
#include "support/EventWait.h"
#include "support/TempEnv.h"
#include "ui/About.h"
#include "ui/Calibration.h"
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

class Windows : public ::testing::Test {
  protected:
    void SetUp() override {
        setInstance("");
        env.unset("BROWSER");  // the desktop's handler below takes the pages
    }
    void TearDown() override { Help::setHelpFile("ZENTROVAKVZ.HLP"); }
    TempEnv env;
    DialogScript boxes;
};

// Cancel closes only the notice; OK ends the program.
TEST(CalibrationDeathTest, CancelClosesTheNoticeAndOkExitsTheProcess) {
    EXPECT_EXIT(
        {
            TReactorTempCalibration reactor;
            reactor.CancelBtn->Click();
            std::fputs("cancelled\n", stderr);
            reactor.OKBtnClick();
        },
        ::testing::ExitedWithCode(0), "cancelled");
}

TEST_F(Windows, EveryHelpCommandOpensATopicOfTheBuiltFile) {
    const std::string built = std::string(ZENTROVA_BINARY_DIR) + "/app/ZENTROVAKVZ.HLP";
    Desktop desktop;
    Help::setHelpFile(built);
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
    QFile file(QString::fromStdString(Help::filePath(built)));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    const QString page = QString::fromUtf8(file.readAll());
    for (const QUrl& url : desktop.opened) {
        EXPECT_EQ(url.toLocalFile(), file.fileName());
        EXPECT_TRUE(url == desktop.opened.back() ? !url.hasFragment()
                                                 : page.contains("id=\"" + url.fragment() + "\""))
            << url.toString().toStdString();
    }
    EXPECT_EQ(desktop.opened[0].fragment(), "topic-510");
    EXPECT_EQ(desktop.opened[1].fragment(), "topic-600");

    // The per-language file when it is there; a missing file is reported.
    const std::string dir = env.path("prog");
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/ZENTROVAKVZ_en.html") << "<html></html>";
    EXPECT_EQ(Help::languageFile(dir, "en"), "ZENTROVAKVZ_en.HLP");
    EXPECT_EQ(Help::filePath(dir + "/ZENTROVAKVZ_en.HLP"), dir + "/ZENTROVAKVZ_en.html");
    Help::setHelpFile("/nonexistent/ZENTROVAKVZ.HLP");
    EXPECT_FALSE(Help::context(510) || Help::command(3));
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, "The help file /nonexistent/ZENTROVAKVZ.html was not found.");
}

// The user's $BROWSER shows the help, the index as a topic: the first of its commands that
// starts, with the page in place of "%s".
TEST_F(Windows, HelpOpensInTheUsersBrowserIndexAndTopicAlike) {
    const std::string built = std::string(ZENTROVA_BINARY_DIR) + "/app/ZENTROVAKVZ.HLP";
    const std::string out = env.path("opened"), script = env.path("browser");
    std::ofstream(script) << "#!/bin/sh\necho \"$@\" >> '" << out << "'\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    env.set("BROWSER", "/nonexistent/browser:" + script + " --new-tab %s");
    Desktop desktop;
    Help::setHelpFile(built);
    ASSERT_TRUE(Help::context(510));
    ASSERT_TRUE(Help::command(3));
    const auto lines = [&] {
        std::ifstream in(out);
        std::vector<std::string> v;
        for (std::string l; std::getline(in, l);) v.push_back(l);
        return v;
    };
    ASSERT_TRUE(waitFor([&] { return lines().size() >= 2; })) << "the browser was not started";
    const std::string page =
        QUrl::fromLocalFile(QString::fromStdString(Help::filePath(built))).toString().toStdString();
    auto got = lines();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"--new-tab " + page, "--new-tab " + page + "#topic-510"}));
    EXPECT_TRUE(desktop.opened.empty());
    EXPECT_TRUE(boxes.shown.empty());
}

void press(QWidget* w, int key) {
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

// F1 in a control opens its window's topic (the index where it has none); Escape in a control
// presses the window's Cancel or Close button, with that button's question.
TEST_F(Windows, F1OpensTheWindowsTopicAndEscapeActsAsItsCancelButton) {
    std::vector<std::pair<uint32_t, uint32_t>> opened;
    Help::setOpenHook([&](uint32_t cmd, uint32_t data) { opened.emplace_back(cmd, data); });
    TInstrumentConfiguration config;
    TEditMethodForm editor;
    TLoadSequenceDialog load;
    TEditSequenceDialog sequences;
    TErrorMessagesDialog errors;
    errors.ErrorHelpContext = errors.ErrorTable[3].HelpContext;
    const struct {
        QWidget* window;
        QWidget* control;
        std::pair<uint32_t, uint32_t> help;
        QString question;
    } rows[] = {
        {&config, config.Instrument, {1, 510}, ""},
        {&editor, editor.Runtime, {1, 600}, "Please, confirm: Save all changes to \"\"?"},
        {&load, load.SequenceNameList, {3, 0}, ""},
        {&sequences, sequences.SequenceTable, {3, 0}, ""},
        {&errors, errors.MessageLbl, {1, errors.ErrorTable[3].HelpContext}, ""}};
    for (const auto& r : rows) {
        const std::string name = r.window->objectName().toStdString();
        r.window->show();
        QCoreApplication::processEvents();
        opened.clear();
        press(r.control, Qt::Key_F1);
        EXPECT_EQ(opened, (std::vector<std::pair<uint32_t, uint32_t>>{r.help})) << name;
        if (r.window == &errors) errors.HelpBtnClick();
        if (r.window == &editor) {
            editor.Modified = true;
            boxes.answer(mrNo);  // Yes, the default, would keep the editor open to save them
        }
        boxes.shown.clear();
        press(r.control, Qt::Key_Escape);
        QStringList asked;
        for (const MessageRequest& b : boxes.shown) asked << b.title + ": " + b.text;
        EXPECT_EQ(asked.join("|").toStdString(), r.question.toStdString()) << name;
        EXPECT_FALSE(r.window->isVisible()) << name;
    }
    EXPECT_EQ(opened.back(), (std::pair<uint32_t, uint32_t>{1, errors.ErrorTable[3].HelpContext}));

    // A modal window without a Cancel button closes on Escape as its close box does.
    TAboutForm about;
    bool escaped = false;
    QTimer::singleShot(0, [&] {
        escaped = true;
        press(&about, Qt::Key_Escape);
    });
    QTimer::singleShot(3000, &about, [&] { escaped = false, about.Close(); });
    about.ShowModal();
    EXPECT_TRUE(escaped);
    Help::setOpenHook({});
}

// The About box names the program's version and closes on a click anywhere in it.
TEST_F(Windows, AboutBoxShowsTheVersionAndAnyClickClosesIt) {
    TAboutForm about;
    ASSERT_FALSE(SystemInfo::programVersion().empty());
    for (QWidget* target : std::initializer_list<QWidget*>{&about, about.Image1, about.Label1, about.Label2,
                                                           about.VersionLbl}) {
        about.show();
        QCoreApplication::processEvents();
        EXPECT_EQ(about.VersionLbl->GetCaption().toStdString(), "Version " + SystemInfo::programVersion());
        for (QEvent::Type t : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent e(t, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &e);
        }
        EXPECT_FALSE(about.isVisible()) << target->objectName().toStdString();
    }
}

TEST_F(Windows, TimetableColumnsHoldTheirHeadersAndTheRowMarker) {
    TEditMethodForm form;
    form.show();
    QApplication::processEvents();
    for (TUxStringGrid* grid : {form.PumpTimetable, form.ColumnTimetable}) {
        ASSERT_FALSE(grid->GetCells(0, 1).isEmpty()) << "the marker stands on the first row";
        int columns = 0;
        for (int col = 0; col < grid->columnCount(); ++col) {
            columns += grid->columnWidth(col);
            for (int row : {0, 1}) {
                QStyleOptionViewItem opt;
                opt.initFrom(grid);
                EXPECT_LE(grid->itemDelegate()->sizeHint(opt, grid->model()->index(row, col)).width(),
                          grid->columnWidth(col))
                    << grid->GetCells(col, row).toStdString();
            }
        }
        EXPECT_LE(columns, grid->viewport()->width()) << "every column in view";
    }
}

// Every box as wide as its title needs, a path broken only after a "/".
TEST(RealBox, TitlesShowWholeAndPathsBreakOnlyAtTheirSlashes) {
    const struct {
        QString title, text;
    } rows[] = {
        {"Please, confirm", "Delete Method \"A\"?"},
        {"Help", "The help file /usr/lib/zentrova/share/documentation/ZENTROVAKVZ.html was not found."},
        {"Info",
         "Imported 1 method and 0 sequences from "
         "/home/operator/Documents/exports/2026-12-07/instrument-3/import-1252.sav."}};
    for (const auto& r : rows) {
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_TRUE(box);
            EXPECT_GE(box->width(), titleWidth(r.title)) << r.title.toStdString();
            auto* label = box->findChild<QLabel*>("qt_msgbox_label");
            ASSERT_TRUE(label);
            QTextLayout layout(label->text(), label->font());
            layout.beginLayout();
            for (QTextLine l = layout.createLine(); l.isValid(); l = layout.createLine())
                l.setLineWidth(label->width());
            layout.endLayout();
            const QString t = label->text();
            for (int i = 0; i + 1 < layout.lineCount(); ++i) {
                const QTextLine l = layout.lineAt(i);
                QString end = t.mid(l.textStart(), l.textLength());
                end.remove(QChar(0x200B));
                EXPECT_TRUE(end.endsWith(' ') || end.endsWith('/')) << end.toStdString();
            }
            box->reject();
        });
        messageBox(r.text, r.title, MsgButtons::OKCancel, mrCancel);
    }
}

TEST(RealBox, QuestionAboutALongNameShowsTheWholeName) {
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_TRUE(box);
        auto* text = box->findChild<QLabel*>("qt_msgbox_label");
        ASSERT_TRUE(text);
        EXPECT_LE(text->minimumSizeHint().width(), text->width()) << "no word wider than the box";
        EXPECT_GE(text->height(), text->heightForWidth(text->width()));
        EXPECT_LE(box->width(), box->screen()->availableGeometry().width());
        seen = true;
        box->reject();
    });
    messageBox("Delete Method \"" + QString("Gradient_").repeated(20) + "\"?", "Please, confirm",
               MsgButtons::OKCancel, mrCancel);
    EXPECT_TRUE(seen);
}

}  // namespace

#include "test_windows.moc"

namespace {

// A window centred over one near the screen's edge stays whole on the screen, and before it
// first appears (its frame not known yet) keeps room above it for its title bar.
TEST(Placement, CentredWindowsStayOnTheScreenWithRoomForTheirTitleBar) {
    QWidget over(nullptr, Qt::Window);
    const QRect avail = over.screen()->availableGeometry();
    over.setGeometry(avail.left(), avail.top(), 100, 40);
    over.show();
    QWidget w(nullptr, Qt::Window);
    w.resize(200, 300);
    centreWindow(&w, &over);
    EXPECT_GE(w.y(), avail.top() + 20);
    EXPECT_GE(w.x(), avail.left());
    centreWindow(&w, nullptr);
    EXPECT_NEAR(w.x() + w.width() / 2, avail.center().x(), 1);
    EXPECT_NEAR(w.y() + w.height() / 2, avail.center().y(), 1);
}

}  // namespace
