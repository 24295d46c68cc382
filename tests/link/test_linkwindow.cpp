// The link window: command pacing against prompts and status replies, the status poll, the
// line reader, the link-alive rule and the USB connect/disconnect path (a pseudo-terminal plays
// the instrument). Time comes from the fake clock.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>

#include "link/FTDI.h"
#include "link/FZentrova.h"
#include "link/ZentrovaAPI.h"
#include "link/pty_pair.h"
#include "platform/Clock.h"
#include "platform/D2xx.h"
#include "support/TempEnv.h"

namespace {

const std::string kFailed = "processCommandQueue: Failed! while pushing to Port: ";
const std::string kMalformed = "Error: Malformed status line!!! See above.";

class LinkWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        D2xx::setDeviceMap({{"KVZ Test", pty.slavePath()}});
        D2xx::setFailingCalls({});
        TFZentrova::LastDataTime = 0;
        TFZentrova::setLogTap([this](const std::string& s) { logged.push_back(s); });
        link = std::make_unique<TFZentrova>();
        link->Timer1->stop();  // the tests tick it themselves
        link->OnStatusLine = [this](TFZentrova*) { ++statusLines; };
    }
    void TearDown() override {
        link.reset();
        FTDI.Close();
        TFZentrova::setLogTap(nullptr);
        D2xx::setFailingCalls({});
        D2xx::resetDeviceMap();
    }

    // Connects over USB as the instrument state does; the API's hook sets the identity query.
    void connectUSB() {
        link->ConnectionType = TFZentrova::ctUSB;
        link->USBDeviceName = "KVZ Test";
        link->ConnectUSBClick();
        ASSERT_TRUE(link->IsConnected());
        link->TimerCommand->stop();
        link->OnStatusLine = [this](TFZentrova*) { ++statusLines; };
        link->PendingAcks = link->PendingStatus = 0;
        link->StatusQuery = "? 123";
        logged.clear();
    }
    std::vector<std::string> sent() const {
        std::vector<std::string> out;
        // Received lines start with a prompt or "?" and a part digit; commands do not.
        for (const auto& l : logged) {
            bool received = l.empty() || l[0] == '>' || (l[0] == '?' && l.size() > 1 && l[1] != ' ');
            if (!received && l != kMalformed) out.push_back(l);
        }
        return out;
    }
    void usb(const std::string& bytes) { link->ReceiveBytes(bytes, true); }

    FakeClockGuard clock;
    TempEnv env;
    PtyPair pty;
    std::unique_ptr<TFZentrova> link;
    std::vector<std::string> logged;
    int statusLines = 0;
};

TEST_F(LinkWindowTest, UsbConnectStartsIdentityCycleAndPolling) {
    link->USBDeviceName = "";
    link->ConnectUSBClick();
    EXPECT_FALSE(link->IsConnected());
    link->USBDeviceName = "No such device";
    link->ConnectUSBClick();
    EXPECT_FALSE(link->IsConnected());
    EXPECT_FALSE(link->TimerCommand->isActive());

    link->USBDeviceName = "KVZ Test";
    link->ConnectUSBClick();
    ASSERT_TRUE(link->IsConnected());
    EXPECT_TRUE(link->TimerCommand->isActive());
    EXPECT_EQ(link->TimerCommand->interval(), 20);
    EXPECT_EQ(link->StatusQuery, "? 0123");
    EXPECT_TRUE(link->IsConnectionAlive()) << "the first test after a USB connect passes";

    link->Timer1Timer();
    EXPECT_EQ(pty.readAtLeast(7), "? 0123\r");
    EXPECT_EQ(link->PendingAcks, 1) << "the identity query waits for a prompt";
    EXPECT_EQ(link->PendingStatus, 0);

    link->DisconnectClick();
    EXPECT_FALSE(link->IsConnected());
    EXPECT_FALSE(link->TimerCommand->isActive());
    EXPECT_TRUE(link->ConnectSerial1->isEnabled());
    EXPECT_TRUE(link->ConnectTCPIP1->isEnabled());
    EXPECT_FALSE(link->Disconnect1->isEnabled());
}

TEST_F(LinkWindowTest, OneCommandAwaitsItsReplyUntilTheTimeOut) {
    connectUSB();
    const int64_t t0 = appClock().seconds();
    link->QueueCommand("MS 0 1;ML 0 5.00;FWD 0");
    EXPECT_EQ(sent(), std::vector<std::string>{"MS 0 1"});
    EXPECT_EQ(link->LastSendTime, t0);
    for (int s = 0; s < 3; ++s) {
        clock.fake.advanceSeconds(1);
        link->processCommandQueue();
    }
    EXPECT_EQ(sent().size(), 1u) << "nothing at seconds +1 to +3";
    clock.fake.advanceSeconds(1);
    link->processCommandQueue();
    EXPECT_EQ(sent(), (std::vector<std::string>{"MS 0 1", "ML 0 5.00"})) << "sent at +4";
    // The count stays up after a time-out: the next one waits again.
    EXPECT_EQ(link->PendingAcks, 1);
    link->processCommandQueue();
    EXPECT_EQ(sent().size(), 2u);
    // A prompt releases the next command at once.
    usb(">");
    EXPECT_EQ(sent(), (std::vector<std::string>{"MS 0 1", "ML 0 5.00", "FWD 0"}));
    EXPECT_EQ(pty.readAtLeast(22), "MS 0 1\rML 0 5.00\rFWD 0\r");
}

TEST_F(LinkWindowTest, PromptWithNothingPendingDoesNothing) {
    connectUSB();
    link->CommandQueue.Add("OFF 0");
    usb(">>>");
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(link->PendingAcks, 0);
    EXPECT_EQ(link->CommandQueue.Count(), 1);
}

TEST_F(LinkWindowTest, StatusQueriesCountRepliesNotPrompts) {
    connectUSB();
    link->QueueCommand("? 123");
    EXPECT_EQ(link->PendingStatus, 1);
    EXPECT_EQ(link->PendingAcks, 0);
    link->CommandQueue.Add("OFF 0");
    usb(">?1,1,0,0,0,0,0,1,0,1,0,0,0\n?2,1,0,0,0,0,0,1,0,1,0,0,0\n");
    EXPECT_EQ(sent().size(), 1u) << "a prompt or ?1/?2 does not end a status reply";
    usb("?");
    EXPECT_EQ(sent().size(), 1u);
    usb("3");
    EXPECT_EQ(sent(), (std::vector<std::string>{"? 123", "OFF 0"})) << "the 3 after ? releases";
    EXPECT_EQ(link->PendingAcks, 1);
    EXPECT_EQ(link->PendingStatus, 0);
    usb(",250,612,300,845,0,10,0\n");
    EXPECT_EQ(statusLines, 3);

    // The reduced query counts the same way; the identity query counts as a command.
    link->PendingAcks = 0;
    link->QueueCommand("? 13");
    EXPECT_EQ(link->PendingStatus, 1);
    usb("!");
    link->QueueCommand("? 0123");
    EXPECT_EQ(link->PendingAcks, 1);
    EXPECT_EQ(link->PendingStatus, 0);
}

TEST_F(LinkWindowTest, BangReleasesBothCounts) {
    connectUSB();
    link->PendingAcks = link->PendingStatus = 1;
    link->LastSendTime = appClock().seconds();
    link->CommandQueue.Add("OFF 0");
    usb("!");
    EXPECT_EQ(link->PendingStatus, 0);
    EXPECT_EQ(sent(), std::vector<std::string>{"OFF 0"});
    EXPECT_EQ(link->PendingAcks, 1);
    // With nothing pending it still runs the queue.
    link->PendingAcks = 0;
    link->CommandQueue.Add("OFF 2");
    usb("!");
    EXPECT_EQ(sent().back(), "OFF 2");
}

TEST_F(LinkWindowTest, StatusPollQueuesOneQueryWhileBlocked) {
    connectUSB();
    link->Timer1Timer();
    EXPECT_EQ(sent(), std::vector<std::string>{"? 123"});
    for (int i = 0; i < 5; ++i) {
        clock.fake.advanceMs(500);
        link->Timer1Timer();
    }
    EXPECT_EQ(link->CommandQueue.Count(), 1) << "one query waits, not a row of them";
    EXPECT_EQ(sent().size(), 1u);
    // A command queued after it: the next poll adds the query again behind it.
    link->CommandQueue.Add("OFF 0");
    clock.fake.advanceMs(200);
    link->Timer1Timer();
    EXPECT_EQ(link->CommandQueue.Count(), 3);
    usb("?3,1,2,3,4,5,6,7\n");
    EXPECT_EQ(sent(), (std::vector<std::string>{"? 123", "? 123"}));
}

TEST_F(LinkWindowTest, FailedSendIsRecordedAndStillPaced) {
    connectUSB();
    D2xx::setFailingCalls({"write"});
    link->QueueCommand("OFF 0");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], kFailed + "OFF 0");
    EXPECT_EQ(link->PendingAcks, 1);
    EXPECT_EQ(link->LastSendTime, appClock().seconds());
    D2xx::setFailingCalls({});
    // The terminal shows it too, in red.
    QTextBlock last = link->Memo->document()->lastBlock();
    EXPECT_EQ(last.text().toStdString(), kFailed + "OFF 0");
    EXPECT_EQ(last.begin().fragment().charFormat().foreground().color(), QColor(Qt::red));
}

TEST_F(LinkWindowTest, LinesAreLoggedCheckedAndHandedOn) {
    connectUSB();
    usb(">>?3,250,612,3");
    usb("00,845,0,10,0\r\n");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], ">>?3,250,612,300,845,0,10,0");
    EXPECT_EQ(link->LastLine(), ">>?3,250,612,300,845,0,10,0");
    EXPECT_EQ(statusLines, 1);
    QTextBlock last = link->Memo->document()->lastBlock();
    EXPECT_EQ(last.begin().fragment().charFormat().foreground().color(), QColor(Qt::blue));

    logged.clear();
    usb("?3,1,2,3,4,5,6\n\n");  // six commas; then an empty line
    EXPECT_EQ(logged, (std::vector<std::string>{"?3,1,2,3,4,5,6", kMalformed, "", kMalformed}));
    EXPECT_EQ(statusLines, 1);

    // With logging off the terminal stays as it is; the daily log still gets everything.
    link->Logging->setChecked(false);
    int blocks = link->Memo->document()->blockCount();
    usb("?0,1.2,3.4,x,y,z,123\n");
    EXPECT_EQ(link->Memo->document()->blockCount(), blocks);
    EXPECT_EQ(logged.back(), "?0,1.2,3.4,x,y,z,123");
    EXPECT_EQ(statusLines, 2);
}

TEST_F(LinkWindowTest, StatusLineCheck) {
    const std::string late = "?3" + std::string(3998, 'a') + ",,,,,,,";
    const std::string inTime = "?3" + std::string(3990, 'a') + ",,,,,,,";
    for (auto [line, valid] : std::vector<std::pair<std::string, bool>>{
             {"?0,a,b,c,d,e", true}, {"?0,a,b,c,d", false},
             {">>>?1,1,2,3,4,5,6,7,8,9,10,11,12", true}, {"?2,1,2,3,4,5,6,7,8,9,10,11", false},
             {"?3,1,2,3,4,5,6,7", true}, {"?3,1,2,3,4,5,6", false},
             {"?4,1,2,3,4,5,6,7,8,9,10,11,12,13", false}, {"", false}, {">", false}, {"?", false},
             {"x?3,1,2,3,4,5,6,7", false}, {"? 123", false},
             {"?3,1,2,3\xb0,4,5,6,7", false},  // counting stops at the first byte of 128 or more
             {late, false}, {inTime, true}})    // and after 4000 characters
        EXPECT_EQ(TFZentrova::IsValidStatusLine(line), valid) << line.substr(0, 40);
}

TEST_F(LinkWindowTest, OverlongLinesAreCutAndStrangeBytesSurvive) {
    connectUSB();
    usb(std::string(5000, 'a') + "\n");
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0], std::string(200, 'a') + " ... (4000 bytes or more)");
    EXPECT_EQ(link->LastLine().size(), 4000u);
    EXPECT_EQ(logged[1], kMalformed);
    // The next line starts empty.
    usb("?3,1,2,3,4,5,6,7\n");
    EXPECT_EQ(link->LastLine(), "?3,1,2,3,4,5,6,7");
    // NUL carries nothing and does not cut the line; high bytes are kept.
    logged.clear();
    usb(
        std::string("?3,1,2,\0"
                    "3,4,5,6,7\xff\n",
                    19));
    EXPECT_EQ(link->LastLine(), "?3,1,2,3,4,5,6,7\xff");
    EXPECT_EQ(statusLines, 2);
}

TEST_F(LinkWindowTest, PartialLineDoesNotSurviveAReconnect) {
    connectUSB();
    usb("?3,250,61");
    link->ReceiveBytes("?1,2", false);
    link->DisconnectClick();
    link->USBDeviceName = "KVZ Test";
    link->ConnectUSBClick();
    ASSERT_TRUE(link->IsConnected());
    logged.clear();
    usb("?0,1.2,3.4,x,y,z,123\n");
    EXPECT_EQ(logged, std::vector<std::string>{"?0,1.2,3.4,x,y,z,123"});
    link->ReceiveBytes("3,1,2,3,4,5,6,7\n", false);
    EXPECT_EQ(link->LastLine(), "3,1,2,3,4,5,6,7");
    // The previous byte is forgotten too: a "3" first after the reconnect is no reply end.
    usb("?");
    link->DisconnectClick();
    link->ConnectUSBClick();
    link->PendingStatus = 1;
    link->LastSendTime = appClock().seconds();
    usb("3");
    EXPECT_EQ(link->PendingStatus, 1);
}

TEST_F(LinkWindowTest, AliveWhileDataCameWithinTenSeconds) {
    EXPECT_FALSE(link->IsConnectionAlive()) << "no data yet";
    connectUSB();
    usb("?3,1,2,3,4,5,6,7\n");
    EXPECT_TRUE(link->IsConnectionAlive());
    clock.fake.advanceSeconds(10);
    EXPECT_TRUE(link->IsConnectionAlive());
    clock.fake.advanceSeconds(1);
    EXPECT_FALSE(link->IsConnectionAlive());
    // On USB only a complete line counts.
    usb("?3,1,2");
    EXPECT_FALSE(link->IsConnectionAlive());
    usb("\n");
    EXPECT_TRUE(link->IsConnectionAlive());
    // Any serial/TCP byte counts.
    clock.fake.advanceSeconds(30);
    link->ReceiveBytes(">", false);
    EXPECT_TRUE(link->IsConnectionAlive());
}

TEST_F(LinkWindowTest, LostLinkCheckBoxStopsDataCounting) {
    connectUSB();
    usb("?3,1,2,3,4,5,6,7\n");
    EXPECT_TRUE(link->IsConnectionAlive());
    link->ConnLostChkBx->setChecked(true);
    for (int s = 1; s <= 10; ++s) {
        clock.fake.advanceSeconds(1);
        usb("?3,1,2,3,4,5,6,7\n");
        EXPECT_TRUE(link->IsConnectionAlive()) << s;
    }
    clock.fake.advanceSeconds(1);
    usb("?3,1,2,3,4,5,6,7\n");
    EXPECT_FALSE(link->IsConnectionAlive());
}

TEST_F(LinkWindowTest, UsbPollReleasesNextCommandInTheSamePoll) {
    connectUSB();
    link->QueueCommand("OFF 0");
    link->CommandQueue.Add("OFF 2");
    ASSERT_EQ(pty.readAtLeast(6), "OFF 0\r");
    EXPECT_TRUE(link->TxLit());
    ASSERT_TRUE(pty.write(">\r\n"));
    // Poll until the kernel has passed the prompt on; the send happens inside that poll.
    for (int i = 0; i < 200 && sent().size() < 2; ++i) {
        link->TimerCommandTimer();
        if (sent().size() < 2) pty.readAtLeast(1, 1);
    }
    EXPECT_EQ(sent(), (std::vector<std::string>{"OFF 0", "OFF 2"}));
    EXPECT_TRUE(link->RxLit());
    EXPECT_EQ(pty.readAtLeast(6), "OFF 2\r");
    // The lamps go out one quiet poll later.
    link->TimerCommandTimer();
    link->TimerCommandTimer();
    EXPECT_FALSE(link->RxLit());
    EXPECT_FALSE(link->TxLit());
    // The USB echo goes to the thread log.
    EXPECT_TRUE(link->ThreadLog->toPlainText().contains("OFF 2"));
}

TEST_F(LinkWindowTest, SendBoxQueuesOnlyWhenConnected) {
    link->SendText->setText("OFF 0;OFF 2");
    link->SendClick();
    EXPECT_EQ(link->CommandQueue.Count(), 0);
    connectUSB();
    link->SendClick();
    EXPECT_EQ(sent(), std::vector<std::string>{"OFF 0"});
    EXPECT_EQ(link->CommandQueue.Count(), 1);
    link->ClearBtnClick();
    EXPECT_TRUE(link->Memo->toPlainText().isEmpty());
    link->ClearQueue();
    EXPECT_EQ(link->CommandQueue.Count(), 0);
}

TEST_F(LinkWindowTest, ComSettingReadsAllDigitsOrAPath) {
    for (auto [text, number] : {std::pair{"COM3", 3}, {"COM12", 12}, {"COM123", 123}, {"COM", 1}, {"", 1},
                                {"COMx", 1}, {"COM3x", 1}, {"COM99999999999", 0}, {"COM0", 0},
                                {"COM65535", 65535}, {"COM65536", 0}}) {
        EXPECT_EQ(TFZentrova::ParseComSetting(text).number, number) << text;
        EXPECT_TRUE(TFZentrova::ParseComSetting(text).path.empty());
    }
    EXPECT_EQ(TFZentrova::ParseComSetting("/dev/ttyUSB0").path, "/dev/ttyUSB0");
}

}  // namespace
