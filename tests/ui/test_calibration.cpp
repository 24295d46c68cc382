// The temperature calibration notices: their texts, Close ending the process at once with exit
// code 0 and Cancel leaving everything as it was.
#include <gtest/gtest.h>

#include <QTimer>
#include <memory>

#include "platform/Dialogs.h"
#include "ui/Calibration.h"
#include "unicode/UxControls.h"

namespace {

const char* const kNotice =
    "This procedure requires special training. The following button will close the Zentrova KVZ program. "
    "Please open the Zentrova Utilities Program if available.";

class CalibrationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved = TTempCalibrationNotice::ExitProcess;
        TTempCalibrationNotice::ExitProcess = [this](int code) { exitCodes.push_back(code); };
    }
    void TearDown() override { TTempCalibrationNotice::ExitProcess = saved; }

    std::function<void(int)> saved;
    std::vector<int> exitCodes;
};

TEST_F(CalibrationTest, NoticesCarryTheirTexts) {
    TReactorTempCalibration reactor;
    EXPECT_EQ(reactor.GetCaption(), "Reactor Temperature Calibration");
    EXPECT_EQ(reactor.Label1->text(), "You requested Reactor Temperature Calibration Procedure.");
    EXPECT_EQ(reactor.Label2->text(), kNotice);
    EXPECT_EQ(reactor.OKBtn->GetCaption(), "Close");
    EXPECT_EQ(reactor.CancelBtn->GetCaption(), "Cancel");
    EXPECT_TRUE(reactor.Label2->wordWrap());
    EXPECT_FALSE(reactor.windowFlags() & Qt::WindowCloseButtonHint);

    TColumnTempCalibration column;
    EXPECT_EQ(column.GetCaption(), "Column Temperature Calibration");
    EXPECT_EQ(column.Label1->text(), "You requested Column Temperature Calibration Procedure.");
    EXPECT_EQ(column.Label2->text(), kNotice);
}

TEST_F(CalibrationTest, CloseEndsTheProcessWithCode0) {
    TColumnTempCalibration column;
    column.OKBtn->Click();
    EXPECT_EQ(exitCodes, std::vector<int>{0});
}

TEST_F(CalibrationTest, CancelClosesTheModalNoticeOnly) {
    TReactorTempCalibration reactor;
    QTimer::singleShot(0, [&] { reactor.CancelBtn->Click(); });
    EXPECT_EQ(reactor.ShowModal(), mrCancel);
    EXPECT_FALSE(reactor.isVisible());
    EXPECT_TRUE(exitCodes.empty());
}

using CalibrationDeathTest = CalibrationTest;

TEST_F(CalibrationDeathTest, DefaultCloseExitsTheRealProcess) {
    TTempCalibrationNotice::ExitProcess = saved;
    EXPECT_EXIT(
        {
            TReactorTempCalibration reactor;
            reactor.OKBtnClick();
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
