// The small windows: the calibration notices, help opening topics of the help
// file built beside the program, and texts that must show whole on the rendered windows.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <filesystem>
#include <fstream>

#include "methods/EditMethods.h"
#include "platform/Dialogs.h"
#include "platform/Help.h"
#include "platform/Instance.h"
#include "support/TempEnv.h"
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
    void SetUp() override { setInstance(""); }
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
