// Boxes that a tick of the main loop opens, on the real event loop with the main window's own
// timer (at a short period): later ticks run while the box is open and do not open it again.
#include <QTimer>
#include <functional>

#include "support/EventWait.h"
#include "ui/ChangeSeal.h"
#include "ui/PressureTest.h"
#include "ui/test_pressuretest_rig.h"

namespace {

class TickBoxes : public RigHarness {
  protected:
    void SetUp() override {
        RigHarness::SetUp();
        PressureTest = &pressure;
        ChangeSeal = &seal;
        link->DataReceived = true;  // alive; the fake clock stands still
    }
    void TearDown() override {
        form->Timer1->stop();
        PressureTest = nullptr;
        ChangeSeal = nullptr;
        RigHarness::TearDown();
    }
    // Runs the main timer until the first box titled title has been answered; inside it,
    // underBox runs while the box is open.
    void runToBox(const QString& title, const std::function<void()>& underBox) {
        bool answered = false;
        boxes.onShow = [&](const MessageRequest& r) {
            if (r.title != title || answered) return;
            underBox();
            answered = true;
        };
        form->Timer1->setInterval(10);
        form->Timer1->start();
        ASSERT_TRUE(waitFor([&] { return answered; }, 5000));
        spin(50);
        form->Timer1->stop();
        boxes.onShow = nullptr;
    }
    int shown(const QString& title) const {
        return int(std::count_if(boxes.shown.begin(), boxes.shown.end(),
                                 [&](const MessageRequest& r) { return r.title == title; }));
    }

    TPressureTest pressure;
    TChangeSeal seal;
};

TEST_F(TickBoxes, TicksGoOnUnderEveryProcedureBox) {
    const struct {
        uint8_t mode;
        std::function<void()> start;
        QString title;
        MsgResult refuse;
    } cases[] = {
        {13, [&] { instrument->StartStorageProcedure(); }, "Action Required", mrCancel},
        {18, [&] { seal.StartProcedure(); }, "Please, confirm", mrNo},
        {14, [&] { pressure.StartPumpTest(3); }, "Please, confirm", mrNo},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        boxes.shown.clear();
        ZentrovaAPI.RelayInput = false;
        hplc->SetRelayInput(false);
        c.start();
        form->SetMode(c.mode);
        boxes.answer(c.refuse);
        bool ticked = false;
        runToBox(c.title, [&] {
            ZentrovaAPI.RelayInput = true;  // a later tick copies it to the HPLC module
            ticked = waitFor([&] { return hplc->RelayInput; }, 2000);
            spin(100);  // some more ticks under the box
        });
        EXPECT_TRUE(ticked);
        EXPECT_EQ(shown(c.title), 1);
        form->SetMode(2);
    }
}

TEST_F(TickBoxes, PressureIsReleasedWhileTheResultBoxIsOpen) {
    pressure.StartPumpTest(1);
    form->SetMode(14);
    ZentrovaAPI.Pump1.Pressure = 470.0;
    pressure.Pump1ReadingA = 470;
    pressure.TestState = 21;
    uint8_t underBox = 0;
    boxes.answer(mrNo);  // no print
    runToBox("Pressure Test Result", [&] {
        waitFor(
            [&] {
                rig.tick();
                return pressure.TestState == TPressureTest::eptEnd;
            },
            3000);
        underBox = pressure.TestState;
    });
    EXPECT_EQ(underBox, TPressureTest::eptEnd);
    EXPECT_LE(ZentrovaAPI.Pump1.Pressure, TPressureTest::ReleasedPressure);
    EXPECT_EQ(form->iMode, 2);
    EXPECT_EQ(count(logText(), "setMode(): mode=2; current mode=14"), 1);
    EXPECT_EQ(shown("Pressure Test Result"), 1);
}

}  // namespace
