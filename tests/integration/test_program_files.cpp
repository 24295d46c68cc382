// Files that another user of a shared folder can put in the program's way, against the real
// programs: a named pipe as chemstation.ini and a link to /dev/zero as win.ini leave zentrova
// ticking and answering, and SIGTERM still halts the instrument; regtool's import of what is not
// a regular file of a sane size ends at once with a message that names it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <csignal>
#include <filesystem>

#include "integration/support_program.h"
#include "support/OddFiles.h"

namespace {

using progtest::countOf;
using progtest::waitUntil;

TEST(ProgramFiles, ANamedPipeInTheWindowsFolderNeitherStopsTheProgramNorItsHalt) {
    progtest::Sandbox box;
    progtest::Sim sim(box);
    ASSERT_EQ(progtest::serialRig(box, sim), "");
    ASSERT_TRUE(box.setting("HPLCType", "Agilent ChemStation"));
    ASSERT_TRUE(box.setting("ChemInstance", "1"));
    ASSERT_TRUE(
        box.import("[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Hot]\n\"ColumnT\"=sz:40\n"
                   "\"ReactorT\"=sz:45\n\"Pump1Flow\"=sz:0.5\n\"Pump2Flow\"=sz:0.5\n"
                   "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Hot\\0000001]\n"
                   "\"Name\"=sz:Hot\n\"Repeat\"=sz:1\n"));
    const std::string windows = box.path() + "/windows";
    std::filesystem::create_directories(windows);
    ASSERT_TRUE(makeOdd(OddKind::Fifo, windows + "/chemstation.ini"));
    ASSERT_TRUE(makeOdd(OddKind::DevZero, windows + "/win.ini"));

    progtest::Program prog(box);
    ASSERT_TRUE(prog.start({}, {{"ZENTROVA_WINDIR", windows}})) << prog.output();
    ASSERT_EQ(prog.control("sequence Hot"), "ok");
    ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=0", 20000)) << prog.logText();
    ASSERT_EQ(prog.control("menu Enable1"), "ok");
    ASSERT_TRUE(waitUntil([&] { return prog.state("enabled") == "1"; }, 15000));
    ASSERT_EQ(prog.control("menu BothPumpsOn"), "ok");
    const auto running = [&] {
        const std::string s = sim.control("status");
        return countOf(s, "state=1") == 2 && countOf(s, "heat=on") == 2;
    };
    ASSERT_TRUE(waitUntil(running, 20000)) << sim.control("status");

    // The first poll names both files once; the polls go on, and so do the status queries.
    ASSERT_TRUE(prog.waitForLog("#ChemDDEStatus: No Connect", 30000, 3)) << prog.logText();
    const std::string log = prog.logText();
    EXPECT_EQ(countOf(log, "#Agilent DDE: " + windows +
                               "/chemstation.ini is not read: it is a named pipe (FIFO), "
                               "not a regular file. " +
                               windows + "/win.ini is not read: it is a device, not a regular file."),
              1)
        << log;
    // The halt is counted from a record in which the start is whole: two more status queries
    // have come, and nothing but queries since the last command of the start.
    const auto queries = [](const std::vector<std::string>& cmds) {
        long n = 0;
        for (const std::string& c : cmds) n += c[0] == '?';
        return n;
    };
    const long before = queries(sim.commands());
    size_t sent = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto cmds = sim.commands();
            const size_t n = cmds.size();
            if (queries(cmds) < before + 2 || n < 2 || cmds[n - 1][0] != '?' || cmds[n - 2][0] != '?')
                return false;
            sent = n;
            return true;
        },
        20000))
        << "the link is still paced";
    EXPECT_EQ(prog.state("enabled"), "1") << "the program answers";

    ASSERT_EQ(::kill(pid_t(prog.pid()), SIGTERM), 0);
    ASSERT_TRUE(prog.waitForExit(20000)) << prog.logText();
    EXPECT_EQ(prog.exitCode(), 0);
    const auto cmds = sim.commands();
    std::vector<std::string> halt;
    for (size_t i = sent; i < cmds.size(); ++i)
        if (cmds[i][0] != '?') halt.push_back(cmds[i]);
    ASSERT_GE(halt.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(halt.begin(), halt.begin() + 4),
              (std::vector<std::string>{"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"}));
    EXPECT_FALSE(running()) << sim.control("status");
    EXPECT_EQ(countOf(prog.logText(), "#main: Instrument halted; program ends"), 1) << prog.logText();
}

// The log folder and the log are the user's alone; a lock on the folder that someone else holds
// before the program starts (as `flock <folder> sleep 60` would) leaves it starting, logging and
// talking to the instrument, and the log says why it went on without the lock.
TEST(ProgramFiles, ALockedLogFolderHoldsNoStart) {
    progtest::Sandbox box;
    progtest::Sim sim(box);
    ASSERT_EQ(progtest::serialRig(box, sim), "");
    const std::string folder = box.path() + "/TressivanLabs/";
    const std::string live = "#main: setMode(): mode=2; current mode=0";
    for (const bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "free");
        int lock = -1;
        if (held) {
            lock = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(lock, 0);
            ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
        }
        // Both programs log into one file, the first one's return of a lost link too: this
        // one's live line is one more than the file holds now.
        const int liveBefore = countOf(box.logText(), live);
        progtest::Program prog(box);
        ASSERT_TRUE(prog.start()) << prog.output();
        ASSERT_TRUE(prog.waitForLog(live, 20000, liveBefore + 1)) << prog.logText();
        EXPECT_EQ(countOf(prog.logText(), "#log: The log folder " + folder +
                                              " is locked by another process; the day's log is begun "
                                              "without the lock."),
                  held ? 1 : 0)
            << prog.logText();
        struct stat st {};
        ASSERT_EQ(::stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        ASSERT_EQ(::stat((folder + "Zentrova.log").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ASSERT_TRUE(prog.signal(SIGTERM));
        ASSERT_TRUE(prog.waitForExit(20000)) << prog.logText();
        EXPECT_EQ(prog.exitCode(), 0);
        if (lock >= 0) ::close(lock);
    }
}

TEST(ProgramFiles, RegtoolImportsOnlyARegularFileOfASaneSize) {
    ASSERT_EQ(progtest::missingProgram(), "");
    progtest::Sandbox box;
    ASSERT_TRUE(box.setting("COM", "COM1"));
    const std::string file = box.path() + "/settings.txt";
    for (const OddFile& odd : oddFiles()) {
        SCOPED_TRACE(odd.name);
        ASSERT_TRUE(makeOdd(odd.kind, file));
        QProcess regtool;
        regtool.setProcessEnvironment(box.environment());
        regtool.start(QString::fromStdString(progtest::built("tools/regtool/regtool")),
                      {"import", QString::fromStdString(file)});
        ASSERT_TRUE(regtool.waitForFinished(10000)) << "regtool waits on the file";
        EXPECT_EQ(regtool.exitCode(), 2);
        const std::string said = regtool.readAllStandardError().toStdString();
        EXPECT_EQ(said.find("regtool: " + file + " is not read: it is "), 0u) << said;
        EXPECT_NE(said.find(odd.because), std::string::npos) << said;
    }
}

}  // namespace
