// Closing the main window: the confirmation, the halt sent before the countdown, a second request
// during it, the main loop off after consent. The halt over a real link is the whole-program test's.
#include <QTimer>

#include "ui/MainFormHarness.h"

namespace {

class MainFormCloseTest : public MainFormHarness {
  protected:
    // While the countdown waits, the fake clock moves 100 ms per 5 ms of real time; each runs then.
    void runClock(const std::function<void()>& each) {
        QObject::connect(&beat, &QTimer::timeout, [this, each] {
            clock.fake.advanceMs(100);
            each();
        });
        beat.start(5);
    }
    QTimer beat;
};

TEST_F(MainFormCloseTest, YesHaltsBeforeTheCountdownAndASecondRequestIsRefused) {
    form->iMode = 6;
    form->Timer1->start();
    TCloseAction action = caFree;
    form->FormClose(action);  // "No" is the default answer
    EXPECT_EQ(action, caNone);
    EXPECT_EQ(takeBoxes(), std::vector<std::string>{
                               "Warning: You asked to close ZentrovaKVZ software.\nPlease, confirm."});
    EXPECT_TRUE(form->Timer1->isActive() && !form->IsClosing());

    instrument->Enabled = true;
    rec.take();
    boxes.answer(mrYes);
    TCloseAction second = caFree;
    std::vector<std::string> sentBeforeCountdown;
    runClock([&] {
        if (second != caFree) return;
        sentBeforeCountdown = rec.sent;
        form->FormClose(second);
    });
    action = caFree;
    form->FormClose(action);
    beat.stop();
    EXPECT_EQ(action, caFree);
    EXPECT_EQ(second, caNone);
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_FALSE(form->Timer1->isActive() || instrument->Enabled);
    ASSERT_GE(sentBeforeCountdown.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(sentBeforeCountdown.begin() + 1, sentBeforeCountdown.begin() + 5),
              (std::vector<std::string>{"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"}));

    // The main loop stays off after consent.
    form->iMode = 2;
    tickDead();
    EXPECT_EQ(form->iMode, 2);
}

TEST_F(MainFormCloseTest, ClosingTheWindowEndsThroughTheCloseHandler) {
    boxes.answer(mrNo);
    form->show();
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->isVisible());
    boxes.answer(mrYes);
    form->CloseCountdownSeconds = 1;
    runClock([] {});
    EXPECT_TRUE(form->close());
    beat.stop();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(boxes.shown.size(), 2u);
}

}  // namespace
