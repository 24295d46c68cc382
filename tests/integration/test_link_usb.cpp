// The link window over USB against the simulated instrument running as its own process on a
// pseudo-terminal. The simulator's verbose trace ("rx" what it received, "tx" what it sent) is
// read as it comes and time-stamped here; the checks are made on that record and on the
// program's daily log. Runs real seconds.
#include <gtest/gtest.h>

#include <QAction>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <regex>

#include "integration/simproc.h"
#include "link/FTDI.h"
#include "link/FZentrova.h"
#include "link/LogFile.h"
#include "platform/D2xx.h"

namespace {

using simproc::TraceEvent;

class LinkUsbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        simproc::isolateStore(tmp.path());
        const QString ptyLink = tmp.path() + "/kvz-usb";
        ASSERT_TRUE(
            sim.start({"--pty", ptyLink, "--log", tmp.path() + "/sim.log", "--verbose", "--serial", "4711"}))
            << sim.error();
        ASSERT_TRUE(QFile::exists(ptyLink));

        D2xx::setDeviceMap({{"Zentrova KVZ", ptyLink.toStdString()}});
        log = std::make_unique<TLogFile>();
        LogFile = log.get();
        link = std::make_unique<TFZentrova>();
        FZentrova = link.get();
    }
    void TearDown() override {
        link.reset();
        FTDI.Close();
        LogFile = nullptr;
        log.reset();
        D2xx::resetDeviceMap();
        sim.stop();
    }

    void run(int ms) { sim.run(ms); }
    void control(const char* command) { ASSERT_EQ(sim.control(command).rfind("ok", 0), 0u) << command; }
    std::vector<TraceEvent> commands() const { return sim.received(); }
    const std::vector<TraceEvent>& events() const { return sim.events(); }
    std::string dailyLog() const { return simproc::dailyLog(tmp.path()); }

    QTemporaryDir tmp;
    simproc::SimProcess sim;
    std::unique_ptr<TLogFile> log;
    std::unique_ptr<TFZentrova> link;
};

bool isStatusQuery(const std::string& c) {
    return c == "? 123\r" || c == "? 13\r";
}

TEST_F(LinkUsbTest, PacedConversationWithTheSimulator) {
    link->ConnectionType = TFZentrova::ctUSB;
    link->USBDeviceName = "Zentrova KVZ";
    link->ConnectUSB1->trigger();
    ASSERT_TRUE(link->IsConnected());
    run(1800);  // identity and a few status polls

    // A burst of commands: each goes out when the prompt of the one before arrives.
    const size_t burstStart = commands().size();
    link->QueueCommand("CFAN ON;RFAN ON;CFAN OFF;RFAN OFF");
    run(700);
    // A rejected command: "!" releases the next one just as fast.
    control("reject DOOR");
    link->QueueCommand("DOOR OPEN;RFAN ON");
    run(600);
    control("accept DOOR");
    // A malformed status reply.
    control("malformed 1");
    run(1100);
    // A withheld reply: the next command waits for the time-out. The status poll rests
    // meanwhile so that the withheld reply is surely that of our command.
    link->Timer1->stop();
    run(400);
    control("withhold 1");
    link->QueueCommand("CFAN ON;CFAN OFF");
    link->Timer1->start();
    run(5000);

    const auto cmds = commands();
    ASSERT_GE(cmds.size(), 10u);
    EXPECT_EQ(cmds[0].bytes, "? 0123\r");
    // After the identity reply every status query is "? 123" (field 7 of this identity is 0).
    bool identitySeen = false;
    int queries = 0;
    for (const auto& e : events()) {
        if (!e.fromLink && e.bytes.find("?0,") != std::string::npos) identitySeen = true;
        if (e.fromLink && identitySeen && e.bytes.rfind("? ", 0) == 0) {
            EXPECT_EQ(e.bytes, "? 123\r");
            ++queries;
        }
    }
    EXPECT_TRUE(identitySeen);
    EXPECT_GE(queries, 3);

    // Never more than one command awaits its reply, except after the 3-second time-out; a
    // prompt, "!" or the part-3 line of a status reply releases the next command at once. The
    // replies are counted as the link counts them: ">" for commands, "?3" for status queries,
    // "!" for both; a count left over from a time-out stays until a reply lowers it.
    int acks = 0, status = 0;
    char prev = 0;
    qint64 sentAt = 0, releasedAt = -1;
    int timeouts = 0, quickReleases = 0, bangReleases = 0;
    bool lastReleaseWasBang = false;
    for (const auto& e : events()) {
        if (e.fromLink) {
            if (acks > 0 || status > 0) {
                EXPECT_GE(e.ms - sentAt, 2900) << "sent while a reply was awaited: " << e.bytes;
                EXPECT_LE(e.ms - sentAt, 4800) << "the time-out is 3 to 4 whole seconds";
                ++timeouts;
            } else if (releasedAt >= 0 && e.ms - releasedAt < 300) {
                ++quickReleases;
                if (lastReleaseWasBang) ++bangReleases;
            }
            (isStatusQuery(e.bytes) ? status : acks) = 1;
            sentAt = e.ms;
            releasedAt = -1;
            continue;
        }
        const bool waited = acks > 0 || status > 0;
        bool bang = false;
        for (char b : e.bytes) {
            if (b == '>' && acks > 0) --acks;
            if (b == '3' && prev == '?' && status > 0) --status;
            if (b == '!') {
                bang = true;
                acks = std::max(0, acks - 1);
                status = std::max(0, status - 1);
            }
            prev = b;
        }
        if (waited && acks == 0 && status == 0) {
            releasedAt = e.ms;
            lastReleaseWasBang = bang;
        }
    }
    EXPECT_EQ(timeouts, 1) << "exactly the withheld reply";
    EXPECT_GE(quickReleases, 4);
    EXPECT_GE(bangReleases, 1);
    // The burst went out in order.
    std::vector<std::string> burst;
    for (size_t i = burstStart; i < cmds.size(); ++i)
        if (cmds[i].bytes.rfind("? ", 0) != 0) burst.push_back(cmds[i].bytes);
    ASSERT_GE(burst.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(burst.begin(), burst.begin() + 8),
              (std::vector<std::string>{"CFAN ON\r", "RFAN ON\r", "CFAN OFF\r", "RFAN OFF\r", "DOOR OPEN\r",
                                        "RFAN ON\r", "CFAN ON\r", "CFAN OFF\r"}));

    // The simulator's own log holds the same commands.
    QFile simLog(tmp.path() + "/sim.log");
    ASSERT_TRUE(simLog.open(QIODevice::ReadOnly));
    const std::string simText = simLog.readAll().toStdString();
    EXPECT_EQ(simText.rfind("? 0123\\r\n", 0), 0u);

    // The daily log: every command and every received line, each with its time prefix, and
    // the malformed line followed by the error.
    const std::string daily = dailyLog();
    auto logged = [&daily](const std::string& text) {
        std::regex re("(^|\n)[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{2}," +
                      std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") + "\n");
        return std::regex_search(daily, re);
    };
    for (const auto& c : cmds) {
        std::string text = c.bytes.substr(0, c.bytes.find('\r'));
        EXPECT_TRUE(logged(text)) << "command not in the log: " << text;
    }
    std::string received;
    for (const auto& e : events())
        if (!e.fromLink) received += e.bytes;
    size_t lines = 0, pos = 0, nl;
    while ((nl = received.find('\n', pos)) != std::string::npos) {
        std::string line = received.substr(pos, nl - pos);
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        EXPECT_TRUE(logged(line)) << "received line not in the log: " << line;
        pos = nl + 1;
        ++lines;
    }
    EXPECT_GE(lines, 12u);
    std::regex malformed(
        R"(\n[0-9:.]{11},>*\?[0-3],[^,\n]*,[^,\n]*\n[0-9:.]{11},Error: Malformed status line!!! See above\.\n)");
    EXPECT_TRUE(std::regex_search(daily, malformed)) << daily;

    // Disconnect closes the device; the simulator sees nothing more.
    link->Disconnect1->setEnabled(true);
    link->Disconnect1->trigger();
    EXPECT_FALSE(link->IsConnected());
    const size_t before = commands().size();
    run(700);
    EXPECT_EQ(commands().size(), before);
}

TEST_F(LinkUsbTest, ReconnectAfterTheSimulatorDropsTheLink) {
    link->ConnectionType = TFZentrova::ctUSB;
    link->USBDeviceName = "Zentrova KVZ";
    link->ConnectUSBClick();
    ASSERT_TRUE(link->IsConnected());
    run(1200);
    ASSERT_TRUE(link->IsConnectionAlive());
    // The instrument now reports the reduced query in its identity.
    control("reduced on");
    // Random bytes without a line end after them: a partial line waits in the link.
    link->Timer1->stop();
    run(600);
    control("garbage 40");
    run(300);
    ASSERT_GT(TFZentrova::USBLineLen, 0) << "the garbage should leave a partial line";
    ASSERT_TRUE(sim.drop());
    // The old device gives nothing more; the instrument state would reconnect: do the same.
    link->DisconnectClick();
    EXPECT_FALSE(link->IsConnected());
    sim.clearEvents();
    std::vector<std::string> logged;
    TFZentrova::setLogTap([&logged](const std::string& s) { logged.push_back(s); });
    link->Timer1->start();
    link->ConnectUSBClick();
    ASSERT_TRUE(link->IsConnected());
    run(1200);
    TFZentrova::setLogTap(nullptr);
    const auto cmds = commands();
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds[0].bytes, "? 0123\r") << "a new connection asks for the identity again";
    ASSERT_GE(cmds.size(), 2u);
    for (size_t i = 1; i < cmds.size(); ++i) EXPECT_EQ(cmds[i].bytes, "? 13\r");
    EXPECT_TRUE(link->IsConnectionAlive());

    // The first line after the reconnect is the identity line as sent, nothing of the old one.
    std::string firstSent;
    for (const auto& e : events())
        if (!e.fromLink) {
            firstSent = e.bytes.substr(0, e.bytes.find("\r\n"));
            break;
        }
    ASSERT_EQ(firstSent.rfind("?0,", 0), 0u) << firstSent;
    std::string firstReceived;
    for (const auto& l : logged)
        if (l.rfind("? ", 0) != 0) {
            firstReceived = l;
            break;
        }
    EXPECT_EQ(firstReceived, firstSent);
}

}  // namespace
