// The real program against the stand-in data system tools/hplc-sim and the simulated
// instrument, each in its own process, in real time: a data system that answered RUN and then
// hangs is no longer taken as running once its request has timed out.
#include <gtest/gtest.h>

#include <QProcess>

#include "integration/support_program.h"

namespace {

TEST(ProgramHplc, SilentDataSystemLeavesRunningWithinOneTimeOut) {
    ASSERT_EQ(progtest::missingProgram(), "");
    progtest::Sandbox box;
    progtest::Sim sim(box);
    ASSERT_TRUE(sim.startPty()) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    ASSERT_TRUE(box.setting("HPLCType", "Agilent ChemStation"));
    ASSERT_TRUE(box.setting("ChemInstance", "1"));
    const std::map<std::string, std::string> dirs{{"ZENTROVA_WINDIR", box.path()},
                                                  {"ZENTROVA_DDE_DIR", box.path()}};
    QProcess hplc;
    hplc.setProcessEnvironment(box.environment(dirs));
    hplc.start(QString::fromStdString(progtest::built("tools/hplc-sim/hplc-sim")),
               {"--service", "ZSIM1", "--status", "RUN", "--write-ini", QString::fromStdString(box.path())});
    std::string said;
    const auto hasSaid = [&](const std::string& what) {
        said += hplc.readAllStandardOutput().toStdString();
        return said.find(what) != std::string::npos;
    };
    ASSERT_TRUE(progtest::waitUntil([&] { return hasSaid("ready "); }, 30000)) << said;

    progtest::Program prog(box);
    ASSERT_TRUE(prog.start({}, dirs)) << prog.output();
    const std::string running = "#hplc: DDE HPLC state= RUN";
    ASSERT_TRUE(prog.waitForLog(running, 60000)) << prog.logText();
    const auto after = [&](const std::string& text) {
        const std::string log = prog.logText();
        return log.find(text, log.find(running)) != std::string::npos;
    };
    hplc.write("silent\n");
    // The clock starts with the first request the data system leaves unanswered (a loaded
    // machine may take a while to get there): its 10-s time-out, the module's next 1-s update,
    // and short of a second time-out.
    ASSERT_TRUE(progtest::waitUntil([&] { return hasSaid("-> (withheld)"); }, 60000)) << said;
    ASSERT_TRUE(progtest::waitUntil([&] { return after("#hplc: DDE HPLC state= N/A"); }, 16000))
        << prog.logText();
    EXPECT_TRUE(after("#ChemDDEStatus: Unknown"));
    hplc.write("RUN\n");
    EXPECT_TRUE(prog.waitForLog(running, 60000, 2)) << "a good answer restores the state";
    hplc.write("quit\n");
    if (!hplc.waitForFinished(30000)) hplc.kill();
}

}  // namespace
