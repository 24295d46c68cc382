// Closing the main window: the confirmation, the halt sent over the still-open USB link during
// the countdown, the countdown's panel lines, and the link closed at its end.
#include <QTimer>

#include "link/FTDI.h"
#include "link/pty_pair.h"
#include "platform/D2xx.h"
#include "ui/MainFormHarness.h"

namespace {

class MainFormCloseTest : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        ASSERT_TRUE(pty.ok());
        D2xx::setDeviceMap({{"KVZ Test", pty.slavePath()}});
        TZentrovaAPI::SetLink(link.get());
        link->USBDeviceName = "KVZ Test";
        link->ConnectionType = TFZentrova::ctUSB;
        link->ConnectUSBClick();
        ASSERT_TRUE(link->IsConnected());
        form->Timer1->start();
    }
    void TearDown() override {
        link->DisconnectClick();
        FTDI.Close();
        D2xx::resetDeviceMap();
        MainFormHarness::TearDown();
    }

    // Plays the instrument while the countdown runs: every command gets its prompt, and the
    // fake clock moves 100 ms per 5 ms of real time.
    void playInstrument(const std::function<void()>& each = nullptr) {
        player.setInterval(5);
        QObject::connect(&player, &QTimer::timeout, [this, each] {
            clock.fake.advanceMs(100);
            const std::string in = pty.readAvailable();
            received += in;
            for (char c : in)
                if (c == '\r') pty.write("\r\n>");
            if (link->TimerCommand->isActive() && link->IsConnected()) pollSeenDuringCountdown = true;
            if (each) each();
        });
        player.start();
    }

    PtyPair pty;
    QTimer player;
    std::string received;
    bool pollSeenDuringCountdown = false;
};

TEST_F(MainFormCloseTest, YesSendsTheHaltOverTheOpenLinkCountsDownAndThenClosesTheLink) {
    form->iMode = 6;
    TCloseAction action = caFree;
    form->FormClose(action);  // "No" is the default answer
    EXPECT_EQ(action, caNone);
    EXPECT_EQ(boxes.shown.at(0).buttons, MsgButtons::YesNo);
    EXPECT_EQ(takeBoxes(), std::vector<std::string>{
                               "Warning: You asked to close ZentrovaKVZ software.\nPlease, confirm."});
    EXPECT_TRUE(form->Timer1->isActive() && link->IsConnected() && !form->IsClosing());
    EXPECT_EQ(form->iMode, 6);

    instrument->Enabled = true;
    pty.readAvailable();
    boxes.answer(mrYes);
    TCloseAction second = caFree;
    playInstrument([&] {
        if (second == caFree) form->FormClose(second);  // a second request during the countdown
    });
    action = caFree;
    form->FormClose(action);
    player.stop();
    EXPECT_EQ(action, caFree);
    EXPECT_EQ(second, caNone);
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_FALSE(instrument->Enabled);
    EXPECT_TRUE(pollSeenDuringCountdown) << "the USB poll runs through the countdown";
    EXPECT_FALSE(link->IsConnected()) << "the link closes at the end";
    EXPECT_FALSE(link->TimerCommand->isActive());
    EXPECT_TRUE(inOrder(received, {"OFF 0\r", "OFF 2\r", "CHEAT OFF\r", "RHEAT OFF\r"})) << received;

    // The main loop stays off after consent.
    form->iMode = 2;
    link->DataReceived = false;
    FZentrova->LastDataTime = 0;
    form->Timer1Timer();
    EXPECT_EQ(form->iMode, 2);
}

TEST_F(MainFormCloseTest, ClosingTheWindowEndsThroughTheCloseHandler) {
    boxes.answer(mrNo);
    form->show();
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->isVisible());
    boxes.answer(mrYes);
    form->CloseCountdownSeconds = 1;
    playInstrument();
    EXPECT_TRUE(form->close());
    player.stop();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(boxes.shown.size(), 2u);
}

}  // namespace
