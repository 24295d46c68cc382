// The link window over the serial port against the simulated instrument on a pseudo-terminal:
// "COM7" is mapped to the simulator's device in the settings store, "Connect Serial" opens it
// through the port component, and the conversation is the one the USB link has. Runs real seconds.
#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>

#include "integration/simproc.h"
#include "link/FZentrova.h"
#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "platform/Serial.h"
#include "ports/ZpComPort.h"
#include "support/ThreadCpu.h"

namespace {

class LinkSerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        simproc::isolateStore(tmp.path());
        ptyLink = tmp.path() + "/kvz-serial";
        ASSERT_TRUE(sim.start({"--pty", ptyLink, "--verbose", "--serial", "4711"})) << sim.error();
        ASSERT_TRUE(QFile::exists(ptyLink));
        // COM7 is the simulator's device; the instrument is configured on COM7.
        Registry hklm(RegRoot::LocalMachine);
        ASSERT_TRUE(hklm.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", true));
        hklm.writeString(ptyLink.toStdString(), "COM7");
        Registry hkcu(RegRoot::CurrentUser);
        ASSERT_TRUE(hkcu.openKey(TStoredParams::InstrumentRegistryKey(), true));
        hkcu.writeString("COM", "COM7");
        log = std::make_unique<TLogFile>();
        LogFile = log.get();
        link = std::make_unique<TFZentrova>();
        FZentrova = link.get();
    }
    void TearDown() override {
        for (const auto& b : boxes.shown) ADD_FAILURE() << "box shown: " << b.text.toStdString();
        link.reset();
        FZentrova = nullptr;
        LogFile = nullptr;
        log.reset();
        sim.stop();
    }
    void run(int ms) { sim.run(ms); }
    // The commands the simulator received, in order.
    std::vector<std::string> commands() const {
        std::vector<std::string> cmds;
        for (const auto& e : sim.received()) cmds.push_back(e.bytes);
        return cmds;
    }
    // All of them, one a line, for failure messages.
    std::string trace() const {
        std::string t;
        for (const auto& c : commands()) t += c + "\n";
        return t;
    }

    DialogScript boxes;  // nothing may show a box
    QTemporaryDir tmp;
    QString ptyLink;
    simproc::SimProcess sim;
    std::unique_ptr<TLogFile> log;
    std::unique_ptr<TFZentrova> link;
};

TEST_F(LinkSerialTest, ConversationOverComSevenMappedToTheSimulator) {
    EXPECT_EQ(serialDevicePath("COM7"), ptyLink.toStdString());
    link->ConnectSerial1->trigger();
    ASSERT_TRUE(link->IsConnected());
    EXPECT_FALSE(link->ConnectSerial1->isEnabled());
    run(1800);  // identity and a few status polls
    link->QueueCommand("CFAN ON;RFAN ON;CFAN OFF;RFAN OFF");
    run(1200);

    // The simulator sees the line the port component sets by default.
    EXPECT_EQ(sim.control("termios?"), "ok baud=19200 data=8 parity=N stop=1 raw=yes flow=none");

    const auto cmds = commands();
    ASSERT_GE(cmds.size(), 6u) << trace();
    EXPECT_EQ(cmds[0], "? 0123\r");
    std::vector<std::string> burst;
    for (const auto& c : cmds)
        if (c.rfind("? ", 0) != 0) burst.push_back(c);
    ASSERT_GE(burst.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(burst.begin(), burst.begin() + 4),
              (std::vector<std::string>{"CFAN ON\r", "RFAN ON\r", "CFAN OFF\r", "RFAN OFF\r"}));
    // The last complete line is a status reply assembled from the port's bytes.
    const std::string last(link->LastLineBuf, static_cast<size_t>(link->LastLineLen));
    EXPECT_NE(last.find('?'), std::string::npos) << last;
    EXPECT_TRUE(TFZentrova::IsValidStatusLine(last)) << last;
    EXPECT_TRUE(link->IsConnectionAlive());

    // Disconnect closes the port; the simulator sees nothing more; connecting again works.
    link->DisconnectClick();
    EXPECT_FALSE(link->IsConnected());
    const size_t before = commands().size();
    run(700);
    EXPECT_EQ(commands().size(), before);
    link->ConnectSerialClick();
    EXPECT_TRUE(link->IsConnected());
    run(800);
    EXPECT_GT(commands().size(), before);
}

TEST_F(LinkSerialTest, UnpluggedDeviceNeverSpinsTheLinkIsLostAndReconnectsWhenItReturns) {
    link->ConnectSerial1->trigger();
    ASSERT_TRUE(link->IsConnected());
    run(1500);
    ASSERT_TRUE(link->IsConnectionAlive());
    // The simulator hangs up its pseudo-terminal and serves a new one at the same path.
    ASSERT_TRUE(sim.drop());

    const double cpu0 = otherThreadsCpu();
    QElapsedTimer wall;
    wall.start();
    // The alive check, polled once a second as the instrument state does, reports the link
    // lost after 10 silent seconds; the status polls go on meanwhile.
    int seconds = 0;
    while (seconds < 14 && link->IsConnectionAlive()) {
        run(1000);
        ++seconds;
    }
    const double cpu = otherThreadsCpu() - cpu0;
    EXPECT_LT(cpu, 0.15 * double(wall.elapsed()) / 1000.0) << "a thread spins on the hung-up device";
    EXPECT_GE(seconds, 9);
    EXPECT_LE(seconds, 12) << "no data for 10 seconds is a lost link";

    // The device is back: a new "Connect Serial" opens it and the conversation resumes.
    link->DisconnectClick();
    EXPECT_FALSE(link->IsConnected());
    const size_t before = commands().size();
    link->ConnectSerialClick();
    ASSERT_TRUE(link->IsConnected());
    run(1500);
    const auto cmds = commands();
    ASSERT_GT(cmds.size(), before) << trace();
    // A status poll queued while the device was gone may go first; the identity query follows.
    EXPECT_NE(std::find(cmds.begin() + long(before), cmds.end(), "? 0123\r"), cmds.end())
        << "a new connection asks for the identity again";
    EXPECT_TRUE(link->IsConnectionAlive());
}

TEST_F(LinkSerialTest, AMissingPortIsNotOpened) {
    Registry hkcu(RegRoot::CurrentUser);
    ASSERT_TRUE(hkcu.openKey(TStoredParams::InstrumentRegistryKey(), true));
    hkcu.writeString("COM", "COM42");
    link->ConnectSerialClick();
    EXPECT_FALSE(link->IsConnected());
    EXPECT_TRUE(link->ConnectSerial1->isEnabled());
}

}  // namespace
