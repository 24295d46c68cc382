// The link window over USB (a pseudo-terminal plays the instrument): command pacing against
// prompts, status replies and the reply time-out, the status poll, the line reader, the
// link-alive rule, the lamps and the terminal as the operator sees them; time comes from the
// fake clock. Then the converter wrapper and library under it: the line set-up, reads, writes
// and their failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QImage>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "link/FTDI.h"
#include "link/FZentrova.h"
#include "link/StoredParams.h"
#include "link/pty_pair.h"
#include "platform/Clock.h"
#include "platform/D2xx.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "platform/Serial.h"
#include "platform/i18n.h"
#include "ports/ZpStatusLight.h"
#include "support/TempEnv.h"

// The sanitizer's own count where it runs: its allocator is not the C library's.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

const std::string kFailed = "processCommandQueue: Failed! while pushing to Port: ";
const std::string kMalformed = "Error: Malformed status line!!! See above.";
const std::string kStatus = "?3,1,2,3,4,5,6,7\n";

class LinkWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        D2xx::setDeviceMap({{"KVZ Test", pty.slavePath()}});
        TFZentrova::LastDataTime = 0;
        TFZentrova::setLogTap([this](const std::string& s) { logged.push_back(s); });
        link = std::make_unique<TFZentrova>();
        link->Timer1->stop();  // the tests tick it themselves
        link->USBDeviceName = "KVZ Test";
        link->ConnectUSBClick();
        ASSERT_TRUE(link->IsConnected());
        link->TimerCommand->stop();
        link->OnStatusLine = [this](TFZentrova*) { ++statusLines; };
        link->PendingAcks = link->PendingStatus = 0;
        link->StatusQuery = "? 123";
    }
    void TearDown() override {
        link.reset();
        FTDI.Close();
        TFZentrova::setLogTap(nullptr);
        D2xx::setFailingCalls({});
        D2xx::resetDeviceMap();
    }
    // The commands sent since the last call, joined by '|'; received lines start with a prompt,
    // a '!' or '?' and a part digit, commands do not.
    std::string sent() {
        std::string out;
        for (const auto& l : logged) {
            const bool received =
                l.empty() || l[0] == '>' || l[0] == '!' || (l[0] == '?' && l.size() > 1 && l[1] != ' ');
            if (!received && l != kMalformed) out += (out.empty() ? "" : "|") + l;
        }
        logged.clear();
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

TEST_F(LinkWindowTest, PacingByPromptsRepliesAndTheTimeOut) {
    // q: queue (and send if free), a: add to the queue only, r: bytes from the instrument,
    // s: a second passes and the queue runs, p: the status poll, f: queue while writes fail.
    const struct {
        char op;
        std::string arg, sent;
    } steps[] = {
        {'q', "MS 0 1;ML 0 5.00;FWD 0", "MS 0 1"},
        {'s', "3", ""},
        {'s', "1", "ML 0 5.00"},  // the reply time-out after three seconds
        {'s', "0", ""},           // the command sent at the time-out is awaited in its turn
        {'r', ">", "FWD 0"},
        {'r', ">>>", ""},
        {'a', "OFF 0", ""},
        {'r', ">>>", ""},  // a prompt with nothing pending does nothing
        {'q', "? 123", "OFF 0"},
        {'r', ">", "? 123"},
        {'a', "OFF 2", ""},
        {'r', ">?1,1,0,0,0,0,0,1,0,1,0,0,0\n?2,1,0,0,0,0,0,1,0,1,0,0,0\n?", ""},  // ?1, ?2: no reply end
        {'r', "3", "OFF 2"},                                                      // the 3 after ? ends it
        {'r', ",250,612,300,845,0,10,0\n", ""},
        {'a', "OFF 0", ""},
        {'r', "!", "OFF 0"},  // releases the prompt count too
        {'p', "", ""},
        {'p', "", ""},
        {'r', ">", "? 123"},
        {'r', kStatus, ""},  // one query waited, not a row of them
        {'f', "OFF 0", kFailed + "OFF 0"},
        {'a', "OFF 2", ""},
        {'s', "1", ""},  // a failed send is paced like any other
        {'r', ">", "OFF 2"},
        {'r', ">", ""},
        {'q', "? 13", "? 13"},  // the short status query waits for its reply like the long one
        {'a', "OFF 0", ""},
        {'r', ">?1,1,0,3,0,0,0,1,0,1,0,0,0\n?", ""},  // neither a prompt nor a 3 inside a line ends it
        {'r', "3,250,612,300,845,0,10,0\n", "OFF 0"},
        {'r', ">", ""},
        {'q', "? 123", "? 123"},
        {'a', "OFF 2", ""},
        {'r', "!", "OFF 2"},  // a refused status query is answered too
        {'r', ">", ""},
        {'q', "? 0123", "? 0123"},  // the identity query waits for a prompt, not for a reply end
        {'a', "OFF 0", ""},
        {'r', "?0,1.2,3.4,x,y,z,5\n?1,1,0,0,0,0,0,1,0,1,0,0,0\n?3,250,612,300,845,0,10,0\n", ""},
        {'r', ">", "OFF 0"},
        {'r', ">", ""},
        {'q', "? 123", "? 123"},
        {'a', "OFF 2", ""},
        {'s', "4", "OFF 2"},  // the status reply is given up at the time-out
        {'a', "OFF 0", ""},
        {'r', ">", "OFF 0"},  // so the prompt of the command sent then releases the next
        {'a', "OFF 2", ""},
        {'r', "!", "OFF 2"},  // a refusal releases it too
        {'r', ">", ""},
        {'q', "? 123", "? 123"},
        {'a', "OFF 0", ""},
        {'r', "!", "OFF 0"},  // lowers both at once
        {'a', "OFF 2", ""},
        {'r', ">", "OFF 2"},  // so a prompt alone releases the next
    };
    std::string wire;
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(1, s.op) + " " + s.arg);
        D2xx::setFailingCalls(s.op == 'f' ? std::vector<std::string>{"write"} : std::vector<std::string>{});
        if (s.op == 'q' || s.op == 'f') link->QueueCommand(s.arg);
        if (s.op == 'a') link->CommandQueue.Add(s.arg);
        if (s.op == 'r') usb(s.arg);
        if (s.op == 's') clock.fake.advanceSeconds(std::stoi(s.arg));
        if (s.op == 's') link->processCommandQueue();
        if (s.op == 'p') link->Timer1Timer();
        const std::string out = sent();
        EXPECT_EQ(out, s.sent);
        if (!out.empty() && s.op != 'f') wire += out + "\r";
    }
    EXPECT_EQ(pty.readAtLeast(wire.size()), wire);
    EXPECT_EQ(link->CommandQueue.Count(), 0);
}

TEST_F(LinkWindowTest, LinesAreLoggedCheckedAndHandedOn) {
    // Six commas are too few, an empty line is malformed too; a NUL ends the line's text and
    // the line is refused, never joined around it; high bytes are kept.
    const struct {
        std::string in;
        std::vector<std::string> logged;
        int statusLines;
    } rows[] = {
        {">>?3,250,612,3", {}, 0},
        {"00,845,0,10,0\r\n", {">>?3,250,612,300,845,0,10,0"}, 1},
        {"?3,1,2,3,4,5,6\n\n", {"?3,1,2,3,4,5,6", kMalformed, "", kMalformed}, 0},
        {std::string(5000, 'a') + "\n", {std::string(200, 'a') + " ... (4000 bytes or more)", kMalformed}, 0},
        {std::string("?3,1,2,") + '\0' + "3,4,5,6,7\xff\n", {"?3,1,2,", kMalformed}, 0},
        {std::string(">?3,250,6") + '\0' + "2,300,845,0,10,0\n", {">?3,250,6", kMalformed}, 0},
        {std::string("?3,1,2,3,4,5,6,7,8") + '\0' + "\n", {"?3,1,2,3,4,5,6,7,8", kMalformed}, 0},
        {std::string("?3,1,2,3,4,5,6,7\xff\n"), {"?3,1,2,3,4,5,6,7\xff"}, 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.in.substr(0, 20));
        logged.clear();
        statusLines = 0;
        usb(r.in);
        EXPECT_EQ(logged, r.logged);
        EXPECT_EQ(statusLines, r.statusLines);
    }
    // With logging off the terminal stays as it is; the daily log still gets everything.
    link->Logging->setChecked(false);
    const int blocks = link->Memo->document()->blockCount();
    usb("?0,1.2,3.4,x,y,z,123\n");
    EXPECT_EQ(link->Memo->document()->blockCount(), blocks);
    EXPECT_EQ(logged.back(), "?0,1.2,3.4,x,y,z,123");
    EXPECT_EQ(statusLines, 2);
}

// Through the instrument's parser: a NUL inside a status line, in one read or across two,
// leaves every reading as it was; the digits on either side are never joined.
TEST_F(LinkWindowTest, ANulInsideAStatusLineKeepsTheReadings) {
    ZentrovaAPI.OnConnectUSB();  // the parser takes the lines
    const std::string good = ">?3,250,612,300,845,0,10,0\n";
    const struct {
        std::vector<std::string> reads;
        std::string head;
    } rows[] = {
        {{std::string(">?3,250,6") + '\0' + "2,300,845,0,10,0\n"}, ">?3,250,6"},
        {{std::string(">?3,250,6\0", 10), "2,300,845,0,10,0\r\n"}, ">?3,250,6"},
        {{std::string("?3,250,612,300,845,0,10,0,") + '\0' + "\n"}, "?3,250,612,300,845,0,10,0,"},
        {{std::string(">?3,1,2,3,4,5,6,7") + '\0' + '\0' + "8\n"}, ">?3,1,2,3,4,5,6,7"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.head);
        usb(good);
        ASSERT_DOUBLE_EQ(ZentrovaAPI.Column.GetTemperature(), 61.2);
        ZentrovaAPI.RelayInput = false;
        logged.clear();
        for (const auto& part : r.reads) usb(part);
        EXPECT_DOUBLE_EQ(ZentrovaAPI.Column.GetTemperature(), 61.2);
        EXPECT_DOUBLE_EQ(ZentrovaAPI.Reactor.GetTemperature(), 84.5);
        EXPECT_FALSE(ZentrovaAPI.RelayInput) << "no reading taken from the line";
        EXPECT_EQ(logged, (std::vector<std::string>{r.head, kMalformed}));
    }
    // The next line is read whole again.
    usb("?3,0,300,0,400,0,0,0\n");
    EXPECT_DOUBLE_EQ(ZentrovaAPI.Column.GetTemperature(), 30.0);
}

// A line that does not convert is logged with its fault, and under a flood both are left out
// together: 900 such lines in a second log no more than the guard's lines a second.
TEST_F(LinkWindowTest, AFloodOfLinesThatDoNotConvertIsLoggedWithinTheGuard) {
    ZentrovaAPI.OnConnectUSB();
    const std::string bad = "?3,x,1,1,1,1,1,1\r\n";
    const std::string fault = "Error: Status line ?3 does not convert; readings kept.";
    auto faults = [&] { return std::count(logged.begin(), logged.end(), fault); };
    clock.fake.advanceSeconds(60);
    logged.clear();
    usb(bad);
    EXPECT_EQ(logged, (std::vector<std::string>{"?3,x,1,1,1,1,1,1", fault}));
    clock.fake.advanceSeconds(2);
    logged.clear();
    std::string flood;
    for (int i = 0; i < 900; ++i) flood += bad;
    ASSERT_LE(flood.size(), size_t(TReceiveGuard::BytesPerSecond)) << "every line is read";
    usb(flood);
    EXPECT_EQ(faults(), TReceiveGuard::LinesPerSecond);
    EXPECT_LE(logged.size(), size_t(2 * TReceiveGuard::LinesPerSecond));
    // The count of lines left out covers their faults.
    EXPECT_EQ(link->Guard.Pending().notLogged, 900u - TReceiveGuard::LinesPerSecond);
    clock.fake.advanceSeconds(2);
    logged.clear();
    usb(bad);
    EXPECT_EQ(faults(), 1) << "a second later each line is logged again";
}

// Under a flood the reader takes a second's budget of bytes and drops the rest, shows and logs
// a few lines a second, never joins the pieces around a gap into a line, and logs the counts
// ten seconds after the first drop instead.
TEST_F(LinkWindowTest, AFloodIsReadWithinItsBudgetAndLoggedInCounts) {
    const std::string line = "?3,1,2,3,4,5,6,7\r\n";
    std::string lines;
    while (lines.size() < 50000) lines += line;
    const size_t budget = TReceiveGuard::BytesPerSecond;
    const size_t perBudget = budget / line.size();  // complete lines within the budget
    const struct {
        const char* name;
        std::string flood;
        size_t lines, notLogged, nul, cut;
    } rows[] = {
        {"status lines", lines, perBudget + 1, perBudget - TReceiveGuard::LinesPerSecond, 0, 0},
        {"NUL bytes", std::string(50000, '\0'), 1, 0, budget, 0},
        {"one endless line", std::string(50000, 'x'), 1, 0, 0, budget - TFZentrova::LineMax},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        clock.fake.advanceSeconds(60);
        link->Timer1Timer();
        logged.clear();
        statusLines = 0;
        link->ReceiveBytes(r.flood, false);
        // Still within the spent second: a whole line is dropped too.
        link->ReceiveBytes(line, false);
        clock.fake.advanceMs(1000);
        // The tail of a line whose head was dropped is no line (nor joined to that head); the
        // line after it is.
        link->ReceiveBytes(",2,3,4,5,6,7\r\n" + line, false);
        EXPECT_EQ(statusLines, int(r.lines));
        const auto received =
            std::count_if(logged.begin(), logged.end(), [](auto& l) { return l[0] == '?'; });
        EXPECT_LE(received, TReceiveGuard::LinesPerSecond + 1);
        for (int half = 0; half < 18; ++half) {
            link->Timer1Timer();
            clock.fake.advanceMs(500);
        }
        EXPECT_EQ(std::count_if(logged.begin(), logged.end(), [](auto& l) { return l.starts_with("#link"); }),
                  0)
            << "ten seconds after the first drop";
        link->Timer1Timer();
        const auto counts =
            std::find_if(logged.begin(), logged.end(), [](auto& l) { return l.starts_with("#link"); });
        ASSERT_NE(counts, logged.end());
        const size_t total = r.flood.size() + 2 * line.size() + 14;
        EXPECT_EQ(*counts,
                  cformat("#link: received %zu bytes, %zu lines in 10 s; dropped %zu bytes over 16384 a "
                          "second, %zu NUL bytes, %zu bytes past 4000 a line; %zu lines not logged",
                          total, r.lines, r.flood.size() - budget + line.size(), r.nul, r.cut, r.notLogged));
        for (int half = 0; half < 30; ++half) {
            link->ReceiveBytes(line, false);
            link->Timer1Timer();
            clock.fake.advanceMs(500);
        }
        EXPECT_EQ(std::count_if(logged.begin(), logged.end(), [](auto& l) { return l.starts_with("#link"); }),
                  1)
            << "normal traffic is logged line by line, without counts";
        EXPECT_EQ(logged.back(), line.substr(0, line.size() - 2));
    }
    // A long flood: the counts come every ten seconds and the log grows by little.
    logged.clear();
    size_t bytes = 0;
    for (int half = 0; half < 120; ++half) {
        link->ReceiveBytes(lines, false);
        link->Timer1Timer();
        clock.fake.advanceMs(500);
    }
    for (const auto& l : logged) bytes += l.size();
    EXPECT_GE(std::count_if(logged.begin(), logged.end(), [](auto& l) { return l.starts_with("#link"); }), 5);
    EXPECT_LT(bytes, 60u * (TReceiveGuard::LinesPerSecond * line.size() + 200));
}

TEST_F(LinkWindowTest, StatusLineCheck) {
    for (const char* line : {"?0,a,b,c,d,e", ">>>?1,1,2,3,4,5,6,7,8,9,10,11,12", "?3,1,2,3,4,5,6,7"})
        EXPECT_TRUE(TFZentrova::IsValidStatusLine(line)) << line;
    for (const char* line : {"?0,a,b,c,d", "?2,1,2,3,4,5,6,7,8,9,10,11", "?3,1,2,3,4,5,6",
                             "?4,1,2,3,4,5,6,7,8,9,10,11,12,13", "", ">", "?", "x?3,1,2,3,4,5,6,7", "? 123"})
        EXPECT_FALSE(TFZentrova::IsValidStatusLine(line)) << line;
    // Counting commas stops at the first byte of 128 or more and after 4000 characters.
    EXPECT_FALSE(TFZentrova::IsValidStatusLine("?3,1,2,3\xb0,4,5,6,7"));
    EXPECT_FALSE(TFZentrova::IsValidStatusLine("?3" + std::string(3998, 'a') + ",,,,,,,"));
    EXPECT_TRUE(TFZentrova::IsValidStatusLine("?3" + std::string(3990, 'a') + ",,,,,,,"));
}

TEST_F(LinkWindowTest, PartialLineAndLastByteDoNotSurviveAReconnect) {
    usb("?3,250,61");
    link->ReceiveBytes("?1,2", false);
    link->DisconnectClick();
    link->ConnectUSBClick();
    logged.clear();
    usb("?0,1.2,3.4,x,y,z,123\n");
    EXPECT_EQ(logged, std::vector<std::string>{"?0,1.2,3.4,x,y,z,123"});
    usb("?");
    link->DisconnectClick();
    link->ConnectUSBClick();
    link->QueueCommand("? 123");
    link->CommandQueue.Add("OFF 0");
    sent();
    usb("3");
    EXPECT_EQ(sent(), "") << "a 3 first after the reconnect is no reply end";
    // A new connection owes no reply of the old one: what waits goes at once.
    for (const char* unanswered : {"? 123", "OFF 2"}) {
        link->CommandQueue.Clear();
        clock.fake.advanceSeconds(TFZentrova::ReplyTimeout + 1);
        link->QueueCommand(unanswered);
        link->CommandQueue.Add("OFF 0");
        ASSERT_EQ(sent(), unanswered);
        link->DisconnectClick();
        link->ConnectUSBClick();
        sent();
        link->processCommandQueue();
        EXPECT_EQ(sent(), "OFF 0") << unanswered;
    }
}

// On the way out the halt's pacer gives up an awaited reply by the time the process ran: a
// process stopped and continued finds the clock's time-out long past, yet the next command
// waits for the reply still owed.
TEST_F(LinkWindowTest, AReplyAwaitedByTheHaltPacerOutlastsTheClocksTimeOut) {
    for (const bool paced : {true, false}) {
        SCOPED_TRACE(paced ? "paced" : "not paced");
        link->CommandQueue.Clear();
        link->RepliesAwaitedByPacer = paced;
        usb(">");
        sent();
        link->QueueCommand("OFF 0");
        link->CommandQueue.Add("OFF 2");
        EXPECT_EQ(sent(), "OFF 0");
        clock.fake.advanceSeconds(TFZentrova::ReplyTimeout + 12);
        link->processCommandQueue();
        EXPECT_EQ(sent(), paced ? "" : "OFF 2");
        usb(">");
        if (paced) {
            EXPECT_EQ(sent(), "OFF 2");
        }
        link->RepliesAwaitedByPacer = false;
    }
}

TEST_F(LinkWindowTest, AliveWhileDataCameWithinTenSeconds) {
    // On USB only a complete line counts, any serial or TCP byte does; with the lost-link box
    // checked data does not count.
    const struct {
        int seconds;
        std::string in;
        bool usb, lostBox, alive;
    } rows[] = {{0, kStatus, true, false, true}, {10, "", true, false, true},
                {1, "", true, false, false},     {0, "?3,1,2", true, false, false},
                {0, "\n", true, false, true},    {30, ">", false, false, true},
                {10, kStatus, true, true, true}, {1, kStatus, true, true, false}};
    for (const auto& r : rows) {
        clock.fake.advanceSeconds(r.seconds);
        link->ConnLostChkBx->setChecked(r.lostBox);
        if (!r.in.empty()) link->ReceiveBytes(r.in, r.usb);
        EXPECT_EQ(link->IsConnectionAlive(), r.alive) << "+" << r.seconds << " " << r.in;
    }
}

TEST_F(LinkWindowTest, UsbPollReleasesTheNextCommandAndLightsTheLamps) {
    link->show();
    const auto colour = [&](const TZpStatusLight* lamp) {
        QApplication::processEvents();
        return link->grab().toImage().pixelColor(lamp->mapTo(link.get(), lamp->rect().center())).name();
    };
    for (const TZpStatusLight* lamp : {link->RxLED, link->TxLED}) {
        EXPECT_GE(lamp->width(), 13);
        EXPECT_GE(lamp->height(), 13);
        EXPECT_EQ(colour(lamp), "#008000") << "dark green while out";
    }
    link->QueueCommand("OFF 0");
    link->CommandQueue.Add("OFF 2");
    ASSERT_EQ(pty.readAtLeast(6), "OFF 0\r");
    EXPECT_EQ(colour(link->TxLED), "#ff0000");
    ASSERT_TRUE(pty.write(">\r\n"));
    // The send happens inside the poll that passes the prompt on; the kernel passes it in its own time.
    for (int i = 0; i < 200 && logged.size() < 3; ++i) {
        link->TimerCommandTimer();
        if (logged.size() < 3) pty.readAtLeast(1, 1);
    }
    EXPECT_EQ(sent(), "OFF 0|OFF 2");
    EXPECT_EQ(colour(link->RxLED), "#008000") << "lit by the poll and out again within the same tick";
    EXPECT_EQ(pty.readAtLeast(6), "OFF 2\r");
    // Quiet polls leave them out.
    link->TimerCommandTimer();
    link->TimerCommandTimer();
    EXPECT_FALSE(link->RxLit() || link->TxLit());
    EXPECT_EQ(link->ThreadLog->toPlainText(), "OFF 0\nOFF 2") << "the USB command log, one line per command";
}

TEST_F(LinkWindowTest, UsbRxLampIsCountedDownTwicePerTickWhileTheDeviceStaysOpen) {
    // A poll lights the Rx lamp for a line; the tick counts it down once more after the poll,
    // unless a handler closed the device inside it.
    const struct {
        bool timerTick, closeInHandler, litAfter;
    } rows[] = {{false, false, true}, {true, false, false}, {true, true, true}};
    for (const auto& r : rows) {
        link->OnStatusLine = [&](TFZentrova*) {
            ++statusLines;
            if (r.closeInHandler) link->DisconnectClick();
        };
        const int before = statusLines;
        ASSERT_TRUE(pty.write(kStatus));
        for (int i = 0; i < 200 && statusLines == before; ++i) {
            r.timerTick ? link->TimerCommandTimer() : link->PollUSB();
            if (statusLines == before) pty.readAtLeast(1, 1);
        }
        ASSERT_EQ(statusLines, before + 1);
        EXPECT_EQ(link->RxLit(), r.litAfter) << r.timerTick << r.closeInHandler;
        link->PollUSB();  // a quiet poll puts it out
        EXPECT_FALSE(link->RxLit());
    }
}

// A connection held by another holder is said once (log and box) however often the main loop
// tries; any other failure of a connect is logged once too; a connect that works ends both.
TEST_F(LinkWindowTest, AHeldOrFailingConnectionIsSaidOnceUntilAConnectWorks) {
    link->DisconnectClick();
    PtyPair other;
    const struct {
        std::string com;
        bool hold;
        std::string line;  // the start of the one line logged
        int boxes;
    } rows[] = {
        {other.slavePath(), true,
         "#link: The instrument's connection " + other.slavePath() +
             " is in use by another program. Another copy of this program may be set to the same "
             "connection. This copy connects as soon as it is free.",
         1},
        {"", false, "ConnectTCPIPClick: ", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.com);
        Registry reg;
        ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
        reg.writeString("COM", r.com);
        int err = 0;
        const int fd = r.hold ? claimTty(r.com, err) : -1;
        ASSERT_TRUE(!r.hold || fd >= 0) << err;
        DialogScript boxes;
        // What the link awaits and the line it assembles outlast a connect that fails.
        link->ReceiveBytes("?3,1,2,3", false);
        link->PendingAcks = link->PendingStatus = 1;
        logged.clear();
        for (int i = 0; i < 3; ++i) {
            // An empty address is refused as the connect begins.
            r.com.empty() ? link->ConnectTCPIPClick() : link->ConnectSerialClick();
            QCoreApplication::processEvents();
        }
        EXPECT_FALSE(link->IsConnected());
        EXPECT_EQ(link->PendingAcks, 1);
        EXPECT_EQ(link->PendingStatus, 1);
        link->ReceiveBytes(",4,5,6,7\n", false);
        EXPECT_EQ(link->LastLine(), "?3,1,2,3,4,5,6,7") << "the line goes on where it was";
        ASSERT_GE(logged.size(), 1u);
        logged.pop_back();
        ASSERT_EQ(logged.size(), 1u) << (logged.empty() ? "" : logged.back());
        EXPECT_EQ(logged[0].substr(0, r.line.size()), r.line);
        ASSERT_EQ(int(boxes.shown.size()), r.boxes)
            << (boxes.shown.empty() ? "" : boxes.shown[0].text.toStdString()) << logged[0];
        if (r.boxes) {
            EXPECT_EQ(boxes.shown[0].title + ": " + boxes.shown[0].text,
                      "Warning: " + QString::fromStdString(r.line.substr(7)));
        }
        if (!r.hold) continue;
        releaseTty(fd);
        link->ConnectSerialClick();
        EXPECT_TRUE(link->IsConnected());
        EXPECT_TRUE(link->HeldPortText().isEmpty());
        link->DisconnectClick();
        // Held again later: said again.
        const int again = claimTty(r.com, err);
        ASSERT_GE(again, 0);
        logged.clear();
        link->ConnectSerialClick();
        link->ConnectSerialClick();
        QCoreApplication::processEvents();
        EXPECT_EQ(logged.size(), 1u);
        EXPECT_EQ(boxes.shown.size(), 2u);
        releaseTty(again);
    }
}

// A holder that lets go as the next try fails can no longer be named: that is no news after the
// named one was said (another copy ending looked like a second holder).
TEST_F(LinkWindowTest, AHolderThatCanNoLongerBeNamedIsNotSaidAgain) {
    link->DisconnectClick();
    PtyPair other;
    Registry reg;
    ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
    reg.writeString("COM", other.slavePath());
    int go[2], ready[2];
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(ready), 0);
    const std::string path = other.slavePath();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // another program's claim, named by its process
        ::close(go[1]);
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
        [[maybe_unused]] ssize_t n = ::write(ready[1], &ok, 1);
        char c;
        n = ::read(go[0], &c, 1);
        ::_exit(0);
    }
    ::close(go[0]);
    char ok = '0';
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');
    logged.clear();
    link->ConnectSerialClick();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("in use by another program ("), std::string::npos) << logged[0];
    // It lets go; a holder without a name (here this process) still holds the port.
    ::close(go[1]);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    int err = 0;
    const int fd = claimTty(path, err);
    ASSERT_GE(fd, 0) << err;
    link->ConnectSerialClick();
    EXPECT_EQ(logged.size(), 1u) << logged.back();
    releaseTty(fd);
    link->ConnectSerialClick();
    EXPECT_TRUE(link->IsConnected());
}

TEST_F(LinkWindowTest, TerminalFollowsNewLinesUnlessScrolledBackAndKeepsItsMemory) {
    QScrollBar* bar = link->Memo->verticalScrollBar();
    // As fast as the terminal shows lines: a second apart, a second's worth each.
    const auto feed = [&](int lines) {
        for (int i = 0; i < lines;) {
            std::string bytes;
            for (int k = 0; k < TReceiveGuard::LinesPerSecond && i < lines; ++k, ++i)
                bytes += ">>?3,250,612,300,845,0,10," + std::to_string(i % 10) + "\r\n";
            link->ReceiveBytes(bytes, false);
            clock.fake.advanceMs(1000);
        }
    };
    feed(300);
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), bar->maximum());
    bar->setValue(10);
    feed(1);
    EXPECT_EQ(bar->value(), 10) << "the operator reads back undisturbed";
    // The program runs for days with a status line every half second.
    const auto heap = [] {
        return __sanitizer_get_current_allocated_bytes ? __sanitizer_get_current_allocated_bytes()
                                                       : mallinfo2().uordblks;
    };
    TFZentrova::setLogTap(nullptr);
    feed(TFZentrova::MemoMaxLines);
    const size_t before = heap();
    feed(20000);
    EXPECT_EQ(link->Memo->document()->blockCount(), TFZentrova::MemoMaxLines);
    EXPECT_EQ(link->Memo->document()->lastBlock().text(), ">>?3,250,612,300,845,0,10,9");
    EXPECT_LT(heap(), before + 1000 * 1000);  // a leak of a few hundred bytes a line shows
}

TEST_F(LinkWindowTest, ComSettingReadsAllDigitsOrAPath) {
    const std::pair<const char*, int> table[] = {
        {"COM3", 3}, {"COM12", 12},       {"COM123", 123}, {"COM", 1},
        {"", 1},     {"COMx", 1},         {"COM3x", 1},    {"COM99999999999", 0},
        {"COM0", 0}, {"COM65535", 65535}, {"COM65536", 0}};
    for (auto [text, number] : table) {
        EXPECT_EQ(TFZentrova::ParseComSetting(text).number, number) << text;
        EXPECT_TRUE(TFZentrova::ParseComSetting(text).path.empty());
    }
    EXPECT_EQ(TFZentrova::ParseComSetting("/dev/ttyUSB0").path, "/dev/ttyUSB0");
}

// ---------------------------------------------------------------- the converter

class FTDITest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        D2xx::setDeviceMap({{"KVZ", pty.slavePath()}});
        D2xx::setSysfsRoot(env.path("sys"));
    }
    void TearDown() override {
        ftdi.Close();
        D2xx::setFailingCalls({});
        D2xx::setSysfsRoot("");
        D2xx::resetDeviceMap();
    }
    TempEnv env;
    PtyPair pty;
    TFTDI ftdi;
};

TEST_F(FTDITest, OpensByDescriptionAndCarriesBytesBothWays) {
    EXPECT_FALSE(ftdi.Open("KVZ 2"));
    ASSERT_TRUE(ftdi.Open("KVZ\r\n")) << "a description read from a text field ends in CR LF";
    // The line is raw 115200 8N1 without flow control.
    termios t{};
    const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);

    ASSERT_TRUE(ftdi.Write(std::string("? 0123\r")));
    EXPECT_EQ(pty.readAtLeast(7), "? 0123\r");
    uint8_t b = 'x';
    const uint64_t reads = D2xx::readCallCount();
    EXPECT_FALSE(ftdi.ReadByte(b));
    EXPECT_EQ(D2xx::readCallCount(), reads) << "nothing waiting: no read call";
    const std::string in("?3\n\0\xff", 6);
    ASSERT_TRUE(pty.write(in));
    std::string got;
    for (int i = 0; i < 2000 && got.size() < 6; ++i) {
        if (ftdi.ReadByte(b))
            got.push_back(static_cast<char>(b));
        else
            pty.readAtLeast(1, 1);  // give the kernel a moment to pass the bytes on
    }
    EXPECT_EQ(got, in);
    ftdi.Close();
    EXPECT_FALSE(ftdi.ReadByte(b) || ftdi.Write(std::string("x")));
}

TEST_F(FTDITest, FailuresAreReportedAndLeaveTheDeviceClosedAndFree) {
    PtyPair other;
    D2xx::setDeviceMap({{"KVZ", pty.slavePath()}, {"B", other.slavePath()}});
    ASSERT_TRUE(ftdi.Open("KVZ"));
    EXPECT_FALSE(ftdi.Open("B")) << "open while open closes and fails";
    EXPECT_FALSE(ftdi.IsOpen());
    for (const char* call :
         {"setBaudRate", "setDataCharacteristics", "setFlowControl", "purge", "setTimeouts"}) {
        D2xx::setFailingCalls({call});
        EXPECT_FALSE(ftdi.Open("KVZ") || ftdi.IsOpen()) << call;
        EXPECT_NE(ftdi.LastStatus, D2xx::OK) << call;
    }
    D2xx::setFailingCalls({});
    ASSERT_TRUE(ftdi.Open("KVZ"));
    D2xx::setFailingCalls({"write"});
    EXPECT_FALSE(ftdi.Write(std::string("OFF 0\r")));
    D2xx::setFailingCalls({});
    // Nobody reads the other end: sooner or later the device holds back too much to take a write.
    bool refused = false;
    for (int i = 0; i < 1024 && !refused; ++i) refused = !ftdi.Write(std::string(4096, 'x'));
    EXPECT_TRUE(refused);
    // The other end goes away: writes and reads fail for real.
    pty.closeMaster();
    uint8_t b;
    EXPECT_FALSE(ftdi.Write(std::string("OFF 0\r")) || ftdi.ReadByte(b));
}

// Nobody reads the other end for a while: what the device cannot take at once is held back and
// goes out in order as the poll finds room; a write that cannot be held whole is refused whole.
// Either way no command reaches the instrument cut short.
TEST_F(FTDITest, AWriteTheDeviceCannotTakeNowGoesOutWholeLater) {
    ASSERT_TRUE(ftdi.Open("KVZ"));
    std::string accepted;
    int refusedAt = -1;
    for (int i = 0; i < 1024 && refusedAt < 0; ++i) {
        const std::string cmd =
            "CMD " + std::to_string(i) + " " + std::string(990, char('a' + i % 26)) + "\r";
        if (ftdi.Write(cmd))
            accepted += cmd;
        else
            refusedAt = i;
    }
    ASSERT_GT(refusedAt, 0) << "the device never filled up";
    EXPECT_GE(accepted.size(), 64u * 1024) << "a full device holds back up to 64 KiB";
    std::string got;
    uint8_t b;
    for (int i = 0; i < 5000 && got.size() < accepted.size(); ++i) {
        ftdi.ReadByte(b);  // the poll hands on what was held back
        got += pty.readAtLeast(1, 5);
    }
    ASSERT_EQ(got.size(), accepted.size());
    EXPECT_TRUE(got == accepted) << "first difference at byte "
                                 << std::mismatch(got.begin(), got.end(), accepted.begin()).first -
                                        got.begin();
    ASSERT_TRUE(ftdi.Write(std::string("OFF 0\r")));
    EXPECT_EQ(pty.readAtLeast(6), "OFF 0\r");
}

// A made-up device tree: converters of other IDs are passed over, the instrument's ones come in
// device order (the mapped test device last), then "No Device Found" for every further call.
TEST_F(FTDITest, FindDeviceWalksTheInstrumentsConvertersThenFindsNoMore) {
    const struct {
        const char *tty, *vendor, *product, *description;
    } attached[] = {
        {"ttyUSB10", "0403", "6001", "KVZ B"},
        {"ttyUSB0", "0403", "6010", "Dual RS232"},  // same maker, another converter
        {"ttyUSB2", "0403", "6001", "KVZ A"},
        {"ttyUSB1", "1234", "6001", "Foreign"},  // another maker: not listed at all
    };
    namespace fs = std::filesystem;
    int bus = 1;
    for (const auto& a : attached) {
        const fs::path usb = env.path("sys") + "/devices/usb" + std::to_string(bus++) + "/1-1";
        fs::create_directories(usb / "1-1:1.0" / a.tty);
        for (auto [file, text] :
             {std::pair{"idVendor", a.vendor}, {"idProduct", a.product}, {"product", a.description}})
            std::ofstream(usb / file) << text << "\n";
        fs::create_directories(env.path("sys") + "/class/tty/" + a.tty);
        fs::create_symlink(usb / "1-1:1.0" / a.tty, env.path("sys") + "/class/tty/" + a.tty + "/device");
    }
    EXPECT_EQ(ftdi.CreateDeviceList(), 4u);
    const std::vector<std::string> found = {"KVZ A", "KVZ B", "KVZ", "No Device Found", "No Device Found"};
    for (int round = 0; round < 2; ++round) {
        std::vector<std::string> got;
        for (size_t i = 0; i < found.size(); ++i) got.push_back(ftdi.FindDevice());
        EXPECT_EQ(got, found);
        ftdi.CreateDeviceList();  // starts the walk again
    }
    // Details that cannot be read are counted and passed over.
    D2xx::setFailingCalls({"getDeviceInfoDetail"});
    EXPECT_EQ(ftdi.FindDevice(), "No Device Found");
    EXPECT_EQ(ftdi.DetailFailures, 4);
}

}  // namespace
