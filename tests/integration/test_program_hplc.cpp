// The real program against the stand-in data system tools/hplc-sim and the simulated
// instrument, each in its own process, in real time: a data system that answered RUN and then
// hangs is no longer taken as running once its request has timed out.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <functional>

#include "integration/support_program.h"

namespace {

std::string hplcSimPath() {
    return ZENTROVA_BINARY_DIR "/tools/hplc-sim/hplc-sim";
}

// The log after the first occurrence of mark ("" when the mark is not there).
std::string logAfter(progtest::Program& prog, const std::string& mark) {
    const std::string log = prog.logText();
    const size_t at = log.find(mark);
    return at == std::string::npos ? std::string() : log.substr(at + mark.size());
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return false;
        progtest::pause(50);
    }
    return true;
}

}  // namespace

TEST(ProgramHplc, SilentDataSystemLeavesRunningWithinOneTimeOut) {
    for (const std::string& p : {progtest::programPath(), progtest::simulatorPath(), hplcSimPath()})
        ASSERT_TRUE(QFile::exists(QString::fromStdString(p))) << p << " is not built";
    progtest::Sandbox box;
    ASSERT_TRUE(box.ok());
    progtest::Simulator sim(box);
    ASSERT_TRUE(sim.startPty()) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    ASSERT_TRUE(box.setting("HPLCType", "Agilent ChemStation"));
    ASSERT_TRUE(box.setting("ChemInstance", "1"));
    const std::map<std::string, std::string> dirs{{"ZENTROVA_WINDIR", box.path()},
                                                  {"ZENTROVA_DDE_DIR", box.path()}};

    QProcess hplc;
    hplc.setProcessEnvironment(box.environment(dirs));
    hplc.start(QString::fromStdString(hplcSimPath()),
               {"--service", "ZSIM1", "--status", "RUN", "--write-ini", QString::fromStdString(box.path())});
    std::string said;
    ASSERT_TRUE(waitUntil(
        [&] {
            said += hplc.readAllStandardOutput().toStdString();
            return said.find("ready ") != std::string::npos;
        },
        5000))
        << said;

    progtest::Program prog(box);
    ASSERT_TRUE(prog.start({}, dirs)) << prog.output();
    const std::string running = "#hplc: DDE HPLC state= RUN";
    ASSERT_TRUE(prog.waitForLog(running, 10000)) << prog.logText();

    hplc.write("silent\n");
    // A poll every 3 s, its request's 10-s time-out, the module's next 1-s update.
    ASSERT_TRUE(waitUntil(
        [&] { return logAfter(prog, running).find("#hplc: DDE HPLC state= N/A") != std::string::npos; },
        16000))
        << prog.logText();
    EXPECT_NE(logAfter(prog, running).find("#ChemDDEStatus: Unknown"), std::string::npos);

    hplc.write("RUN\n");
    EXPECT_TRUE(prog.waitForLog(running, 8000, 2)) << "a good answer restores the state";

    hplc.write("quit\n");
    if (!hplc.waitForFinished(3000)) hplc.kill();
}
