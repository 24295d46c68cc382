// The link window in this process against the simulated instrument as its own process, over each
// transport: the serial port on a pseudo-terminal, TCP/IP on port 192 of a loopback address and
// the USB stand-in on a pseudo-terminal. Pacing, rejections and a withheld reply, checked on the
// simulator's time-stamped record. Runs real seconds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QTimer>
#include <algorithm>

#include "integration/support_program.h"
#include "link/FTDI.h"
#include "link/FZentrova.h"
#include "link/LogFile.h"
#include "platform/D2xx.h"
#include "platform/Dialogs.h"

namespace {

using progtest::pause;
using progtest::waitUntil;

enum Transport { Serial, Tcp, Usb };

struct Row {
    const char* name;
    Transport transport;
    const char* lineEnd;  // as the simulator logs it
};

std::string text(const std::string& bytes) {
    return bytes.substr(0, bytes.find('\r'));
}

bool isStatusQuery(const std::string& c) {
    return c.rfind("? ", 0) == 0 && c != "? 0123";
}

// Never more than one command awaits its reply, except after the 3-second time-out; a prompt,
// "!" or the part-3 line of a status reply releases the next command at once. The replies are
// counted as the link counts them: ">" for commands, "?3" for status queries, "!" for both.
void expectPaced(const std::vector<progtest::TraceEvent>& events) {
    int acks = 0, status = 0, timeouts = 0, quickReleases = 0, bangReleases = 0;
    char prev = 0;
    qint64 sentAt = 0, releasedAt = -1;
    bool lastReleaseWasBang = false;
    for (const auto& e : events) {
        if (e.fromLink) {
            if (acks > 0 || status > 0) {
                EXPECT_GE(e.ms - sentAt, 2900) << "sent while a reply was awaited: " << e.bytes;
                EXPECT_LE(e.ms - sentAt, 4800) << "the time-out is 3 to 4 whole seconds";
                ++timeouts;
            } else if (releasedAt >= 0 && e.ms - releasedAt < 300) {
                ++quickReleases;
                bangReleases += lastReleaseWasBang;
            }
            (isStatusQuery(text(e.bytes)) ? status : acks) = 1;
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
}

class LinkTransports : public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override {
        ASSERT_EQ(progtest::missingProgram(), "");
        box.useHere();
        const Row& row = GetParam();
        if (row.transport == Tcp) {
            address = sim.startTcp192();
            if (address.empty()) {
                // Root (as in CI) must be able to: a failure there is a failure, not a skip.
                ASSERT_NE(::geteuid(), 0u) << "cannot listen on port 192: " << sim.output();
                GTEST_SKIP() << "cannot listen on port 192 (needs root)";
            }
        } else {
            ASSERT_TRUE(sim.startPty()) << sim.output();
        }
        if (row.transport == Serial) {
            ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
        }
        D2xx::setDeviceMap({{"Zentrova KVZ", sim.ptyPath()}});
        log = std::make_unique<TLogFile>();
        LogFile = log.get();
        link = std::make_unique<TFZentrova>();
        FZentrova = link.get();
        link->IPAddress = address;
        link->USBDeviceName = "Zentrova KVZ";
    }
    void TearDown() override {
        TFZentrova::setLogTap(nullptr);
        link.reset();
        FTDI.Close();
        LogFile = nullptr;
        log.reset();
        D2xx::resetDeviceMap();
        sim.stop();
        for (const auto& b : boxes.shown) ADD_FAILURE() << "box shown: " << b.text.toStdString();
    }
    void connect() {
        const Transport t = GetParam().transport;
        if (t == Serial) link->ConnectSerialClick();
        if (t == Tcp) link->ConnectTCPIPClick();
        if (t == Usb) link->ConnectUSBClick();
        ASSERT_TRUE(link->IsConnected());
    }
    void control(const std::string& command) { ASSERT_EQ(sim.control(command), "ok") << command; }
    // Waits until the simulator has received the command n times.
    bool received(const std::string& command, int n = 1) {
        return waitUntil(
            [&] {
                const auto c = sim.commands();
                return std::count(c.begin(), c.end(), command) >= n;
            },
            6000);
    }
    // Waits until every command sent has its whole answer and the link has read it.
    bool answered() {
        return waitUntil(
            [&] {
                const auto& e = sim.events();
                return !e.empty() && !e.back().fromLink && e.back().bytes.back() == '>' &&
                       link->PendingAcks == 0 && link->PendingStatus == 0;
            },
            3000);
    }

    DialogScript boxes;  // nothing may show a box
    progtest::Sandbox box;
    progtest::Sim sim{box};
    std::string address;
    std::unique_ptr<TLogFile> log;
    std::unique_ptr<TFZentrova> link;
};

TEST_P(LinkTransports, PacedConversationAndClose) {
    const Row& row = GetParam();
    connect();
    ASSERT_TRUE(received("? 123", 3)) << "identity, then the status polls";
    EXPECT_EQ(sim.commands().front(), "? 0123");
    // A burst of commands while the status poll rests: each goes out when the prompt of the
    // one before arrives.
    link->Timer1->stop();
    ASSERT_TRUE(answered());
    link->QueueCommand("CFAN ON;RFAN ON;CFAN OFF;RFAN OFF");
    ASSERT_TRUE(received("RFAN OFF"));
    // A rejected command: "!" releases the next one just as fast.
    control("reject DOOR");
    link->QueueCommand("DOOR OPEN;RFAN ON");
    ASSERT_TRUE(received("RFAN ON", 2));
    control("accept DOOR");
    control("malformed 1");
    link->Timer1->start();
    ASSERT_TRUE(waitUntil([&] { return box.logText().find("Malformed") != std::string::npos; }, 3000));
    // A withheld reply: the next command waits for the time-out.
    link->Timer1->stop();
    ASSERT_TRUE(answered());
    control("withhold 1");
    link->QueueCommand("CFAN ON;CFAN OFF");
    link->Timer1->start();
    ASSERT_TRUE(received("CFAN OFF", 2));
    ASSERT_TRUE(answered());
    expectPaced(sim.events());
    if (row.transport == Serial) {
        EXPECT_EQ(sim.control("termios?"), "ok baud=19200 data=8 parity=N stop=1 raw=yes flow=none");
    }

    const auto cmds = sim.commands();
    std::vector<std::string> burst;
    std::copy_if(cmds.begin(), cmds.end(), std::back_inserter(burst), [](auto& c) { return c[0] != '?'; });
    EXPECT_EQ(burst, (std::vector<std::string>{"CFAN ON", "RFAN ON", "CFAN OFF", "RFAN OFF", "DOOR OPEN",
                                               "RFAN ON", "CFAN ON", "CFAN OFF"}));
    // After the identity reply every status query is "? 123" (field 7 of this identity is 0),
    // each with the transport's line end.
    for (size_t i = 1; i < cmds.size(); ++i) EXPECT_TRUE(cmds[i][0] != '?' || cmds[i] == "? 123") << cmds[i];
    for (const auto& raw : sim.commands(true)) EXPECT_EQ(raw.substr(raw.rfind("\\r")), row.lineEnd) << raw;

    // Disconnect closes the port: the simulator sees nothing more.
    link->DisconnectClick();
    const size_t closedAt = sim.commands().size();
    pause(700);
    EXPECT_EQ(sim.commands().size(), closedAt);
}

INSTANTIATE_TEST_SUITE_P(, LinkTransports,
                         ::testing::Values(Row{"Serial", Serial, "\\r"}, Row{"Tcp", Tcp, "\\r\\0"},
                                           Row{"Usb", Usb, "\\r"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
