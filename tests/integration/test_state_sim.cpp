// The instrument state against the simulated instrument running as its own process: settings,
// a method and a sequence seeded with regtool, the link opened over USB (a pseudo-terminal) by
// the instrument state's reconnect steps, and enable and disable driven through it. The checks
// are made on the simulator's log of received commands. Runs real seconds.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <memory>

#include "integration/simproc.h"
#include "link/FTDI.h"
#include "link/FZentrova.h"
#include "link/Instrument.h"
#include "link/LogFile.h"
#include "platform/D2xx.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/i18n.h"

namespace {

const char* kRegtool = ZENTROVA_BINARY_DIR "/tools/regtool/regtool";
const char* kKey = "HKCU\\Software\\TressivanLabs\\Zentrova\\Instrument";

// The simulator's log escapes "\r", "\n", "\0", "\\" and "\xHH"; only the command texts matter
// here, so each line is read up to its escaped line end.
std::vector<std::string> commandsOf(const std::string& log) {
    std::vector<std::string> out;
    size_t pos = 0, nl;
    while ((nl = log.find('\n', pos)) != std::string::npos) {
        std::string line = log.substr(pos, nl - pos);
        pos = nl + 1;
        const size_t cr = line.find("\\r");
        out.push_back(cr == std::string::npos ? line : line.substr(0, cr));
    }
    return out;
}

class StateSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(QFile::exists(kRegtool)) << kRegtool << " is not built";
        ASSERT_TRUE(tmp.isValid());
        simproc::isolateStore(tmp.path());
        setInstance("");
        setDecimalSeparator('.');
        ptyPath = tmp.path() + "/kvz-usb";
        simLog = tmp.path() + "/sim.log";
        qputenv("ZENTROVA_D2XX_MAP", ("KVZ Sim=" + ptyPath).toUtf8());
        D2xx::resetDeviceMap();

        ASSERT_TRUE(sim.start({"--pty", ptyPath, "--log", simLog, "--serial", "4711", "--firmware", "3.02"}))
            << sim.error();

        regtool({"write", kKey, "ConnectMethod", "dword", "3"});
        regtool({"write", kKey, "USB", "sz", "KVZ Sim"});
        regtool({"write", kKey, "PressureMeasure", "sz", "bar"});
        regtool({"write", kKey, "RefillSpeed", "dword", "40"});
        const QString seed = tmp.path() + "/seed.txt";
        QFile f(seed);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(
            "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Hydrolysis]\n"
            "\"ColumnT\"=sz:60\n"
            "\"ReactorT\"=sz:130.5\n"
            "\"Runtime\"=sz:30\n"
            "\"EquilTime\"=sz:10\n"
            "\"Pump1Flow\"=sz:0.4\n"
            "\"Pump2Flow\"=sz:0.3\n"
            "\"flushMethod\"=dword:0\n"
            "\"powerCoolingMethod\"=dword:0\n"
            "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Hydrolysis\\Columns]\n"
            "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Hydrolysis\\Pumps]\n"
            "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Hydrolysis\\Pumps\\1]\n"
            "\"time\"=sz:10\n"
            "\"1\"=sz:0.8\n"
            "\"2\"=sz:0.3\n"
            "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Amino\\0000001]\n"
            "\"Name\"=sz:Hydrolysis\n"
            "\"Repeat\"=sz:2\n");
        f.close();
        regtool({"import", seed});

        log = std::make_unique<TLogFile>();
        LogFile = log.get();
        link = std::make_unique<TFZentrova>();
        FZentrova = link.get();
    }
    void TearDown() override {
        module.reset();
        link.reset();
        FTDI.Close();
        LogFile = nullptr;
        log.reset();
        qunsetenv("ZENTROVA_D2XX_MAP");
        D2xx::resetDeviceMap();
        sim.stop();
    }

    void regtool(const QStringList& args) {
        QProcess p;
        p.start(kRegtool, args);
        ASSERT_TRUE(p.waitForFinished(10000));
        ASSERT_EQ(p.exitCode(), 0) << args.join(' ').toStdString() << ": "
                                   << p.readAllStandardError().toStdString();
    }
    // Runs until the simulator has received the command `times` times (or the time is up).
    bool runUntilReceived(const std::string& command, int ms, long times = 1) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            sim.run(50);
            const auto cmds = received();
            if (std::count(cmds.begin(), cmds.end(), command) >= times) return true;
        }
        return false;
    }
    std::vector<std::string> received() const {
        QFile f(simLog);
        if (!f.open(QIODevice::ReadOnly)) return {};
        return commandsOf(f.readAll().toStdString());
    }
    // The received commands without the status queries.
    std::vector<std::string> commands() const {
        std::vector<std::string> out;
        for (const auto& c : received())
            if (c.rfind("? ", 0) != 0) out.push_back(c);
        return out;
    }

    QTemporaryDir tmp;
    QString ptyPath, simLog;
    simproc::SimProcess sim;
    std::unique_ptr<TLogFile> log;
    std::unique_ptr<TFZentrova> link;
    std::unique_ptr<TInstrumentModule> module;
};

TEST_F(StateSimTest, ConnectEnableAndDisableThroughTheInstrumentState) {
    DialogScript dialogs;
    module = std::make_unique<TInstrumentModule>();
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(module->ConnectMethod, 3);
    EXPECT_EQ(module->USB, "KVZ Sim");
    EXPECT_EQ(module->PressureUnit, 1);
    EXPECT_EQ(module->RefillSpeed, 40);

    // The main loop's lost-link path: one reconnect step per tick.
    EXPECT_FALSE(module->IsConnectionAlive());
    module->Reconnect();
    ASSERT_TRUE(link->IsConnected());
    ASSERT_TRUE(runUntilReceived("? 123", 4000)) << "identity, then the ordinary status query";
    EXPECT_TRUE(module->IsConnectionAlive());
    EXPECT_EQ(module->GetInstrumentNumber(), 4711u);
    EXPECT_EQ(module->GetVersionText(), "FW version 3.02; CPLD version 1.07");
    EXPECT_DOUBLE_EQ(module->GetPump1Volume(), 25.0);
    module->Reconnect();
    EXPECT_FALSE(link->IsConnected());
    module->Reconnect();
    ASSERT_TRUE(link->IsConnected());
    // A reply still awaited when the link closed holds the first query back for up to 3 seconds.
    EXPECT_TRUE(runUntilReceived("? 0123", 6000, 2)) << "each connect asks for the identity";
    EXPECT_TRUE(module->IsConnectionAlive());

    // Enable with the default sequence's method, then disable.
    module->Sequence.Name = "Amino";
    ASSERT_TRUE(module->EnableInstrument()) << module->EnableErrorText.toStdString();
    EXPECT_TRUE(module->Enabled);
    EXPECT_EQ(module->Method.Name, "Hydrolysis");
    EXPECT_DOUBLE_EQ(module->RefillVolume(1), 0.4 * 15 + 10 * 0.4 + 20 * 0.8);
    ASSERT_TRUE(runUntilReceived("RHEAT ON", 5000));
    EXPECT_DOUBLE_EQ(module->GetColumnSetPoint(), 60.0);
    module->DisableInstrument();
    EXPECT_FALSE(module->Enabled);
    ASSERT_TRUE(runUntilReceived("RHEAT OFF", 5000));
    EXPECT_EQ(commands(),
              (std::vector<std::string>{"CHMAX 125.0", "CSETPOINT 60.0", "CHEAT ON", "RHMAX 135.0",
                                        "RSETPOINT 130.5", "RHEAT ON", "CHEAT OFF", "RHEAT OFF"}));

    // Reloading the settings closes the link; the next step opens it again.
    module->ReloadSettings();
    EXPECT_FALSE(link->IsConnected());
    module->Reconnect();
    EXPECT_TRUE(link->IsConnected());
}

}  // namespace
