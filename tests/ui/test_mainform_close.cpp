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

TEST_F(MainFormCloseTest, AnsweringNoChangesNothing) {
    form->iMode = 6;
    boxes.answer(mrNo);
    TCloseAction action = caFree;
    form->FormClose(action);
    EXPECT_EQ(action, caNone);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Warning");
    EXPECT_EQ(boxes.shown[0].text, "You asked to close ZentrovaKVZ software.\nPlease, confirm.");
    EXPECT_EQ(boxes.shown[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(boxes.shown[0].defaultButton, mrNo);
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_TRUE(link->IsConnected());
    EXPECT_EQ(form->iMode, 6);
    EXPECT_FALSE(form->IsClosing());
}

TEST_F(MainFormCloseTest, YesSendsTheHaltOverTheOpenLinkCountsDownAndThenClosesTheLink) {
    instrument->Enabled = true;
    pty.readAvailable();
    boxes.answer(mrYes);
    TCloseAction second = caFree;
    bool askedAgain = false;
    playInstrument([&] {
        if (askedAgain) return;
        askedAgain = true;
        form->FormClose(second);  // a second request during the countdown
    });
    newLog();
    TCloseAction action = caFree;
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

    // The halt reached the instrument, in order.
    const size_t off0 = received.find("OFF 0\r");
    const size_t off2 = received.find("OFF 2\r");
    const size_t cheat = received.find("CHEAT OFF\r");
    const size_t rheat = received.find("RHEAT OFF\r");
    ASSERT_NE(off0, std::string::npos) << received;
    ASSERT_NE(off2, std::string::npos) << received;
    ASSERT_NE(cheat, std::string::npos) << received;
    ASSERT_NE(rheat, std::string::npos) << received;
    EXPECT_LT(off0, off2);
    EXPECT_LT(off2, cheat);
    EXPECT_LT(cheat, rheat);

    const std::string l = newLog();
    const size_t two = l.find("#LCDFrame: Message=Closing Application in 2 sec timeout=-1");
    const size_t one = l.find("#LCDFrame: Message=Closing Application in 1 sec timeout=-1");
    ASSERT_NE(two, std::string::npos) << l;
    ASSERT_NE(one, std::string::npos) << l;
    EXPECT_LT(two, one);
    EXPECT_EQ(l.find("Closing Application in 3 sec"), std::string::npos);

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
