// The real program against the simulated instrument, with both pumps and both heaters on, ended
// by every signal that would end a process, and by every way out against an instrument that stops
// answering or answers late: the program either runs on and still answers, or the simulator's
// record holds the whole halt before the end, with no status query behind it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <algorithm>
#include <csignal>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "integration/support_program.h"
#include "support/HeldLock.h"

namespace {

using progtest::countOf;
using progtest::waitUntil;

// The halt of an instrument whose pumps run: both pumps off, both heaters off, and disabling the
// instrument stops the running pumps once more.
const std::vector<std::string> kHalt{"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF", "OFF 0", "OFF 2"};
const std::string kLive = "#main: setMode(): mode=2; current mode=0";

// One program connected to its own simulator, in a sandbox of its own, with a method that heats
// both heaters and runs both pumps.
struct Rig {
    progtest::Sandbox box;
    progtest::Sim sim{box};
    progtest::Program prog{box};
    size_t before = 0;     // commands the simulator had received before the end
    size_t logBefore = 0;  // bytes of the log before the end

    ::testing::AssertionResult start(const std::map<std::string, std::string>& env = {}) {
        if (!sim.startPty()) return ::testing::AssertionFailure() << sim.output();
        if (!box.setting("ConnectMethod", 2) || !box.setting("COM", sim.ptyPath()) ||
            !box.import("[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Hot]\n"
                        "\"ColumnT\"=sz:40\n\"ReactorT\"=sz:45\n\"Pump1Flow\"=sz:0.5\n\"Pump2Flow\"=sz:0.5\n"
                        "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Hot\\0000001]\n"
                        "\"Name\"=sz:Hot\n\"Repeat\"=sz:1\n"))
            return ::testing::AssertionFailure() << "the store could not be seeded";
        if (!prog.start({}, env)) return ::testing::AssertionFailure() << prog.output();
        return ::testing::AssertionSuccess();
    }
    bool running() {
        const std::string s = sim.control("status");
        return countOf(s, "state=1") == 2 && countOf(s, "heat=on") == 2;
    }
    bool halted() {
        const std::string s = sim.control("status");
        return countOf(s, "state=0") == 2 && countOf(s, "heat=off") == 2;
    }
    // Status queries the simulator recorded after the last other command. The simulator shows a
    // command's effect before it writes the command's line, so only later polls in the record
    // tell that a mark taken now comes after everything sent before.
    long pollsSinceLastCommand() const {
        const auto cmds = sim.commands();
        const auto last =
            std::find_if(cmds.rbegin(), cmds.rend(), [](const std::string& c) { return c[0] != '?'; });
        return long(last - cmds.rbegin());
    }
    // Status queries the simulator recorded since the mark.
    long pollsSinceMark() const {
        const auto cmds = sim.commands();
        return std::count_if(cmds.begin() + long(std::min(before, cmds.size())), cmds.end(),
                             [](const std::string& c) { return c[0] == '?'; });
    }
    void markEnd() {
        before = sim.commands().size();
        logBefore = prog.logText().size();
    }
    // The non-query commands the simulator recorded since the mark.
    std::vector<std::string> sentSinceMark() const {
        const auto cmds = sim.commands();
        std::vector<std::string> sent;
        for (size_t i = before; i < cmds.size(); ++i)
            if (cmds[i][0] != '?') sent.push_back(cmds[i]);
        return sent;
    }
    // The whole halt and nothing else after the mark, and no status query behind it. The record
    // is read once it holds as many commands as the halt: the simulator writes it beside its
    // replies, and a loaded machine may run it late.
    void expectHalt(const std::vector<std::string>& halt = kHalt) {
        waitUntil([&] { return sentSinceMark().size() >= halt.size(); }, 15000);
        const auto cmds = sim.commands();
        std::vector<std::string> sent;
        for (size_t i = before; i < cmds.size(); ++i)
            if (cmds[i][0] != '?') sent.push_back(cmds[i]);
        EXPECT_EQ(sent, halt);
        const auto first = std::find(cmds.begin() + long(before), cmds.end(), halt[0]);
        EXPECT_EQ(std::count_if(first, cmds.end(), [](const std::string& c) { return c[0] == '?'; }), 0)
            << "a status query behind the halt";
        EXPECT_TRUE(halted()) << sim.control("status");
    }
};

// The programs of all rigs connect, then each enables its instrument and switches both pumps on;
// every step for all at once, as the programs run side by side.
void heatAndPump(const std::vector<Rig*>& rigs) {
    for (Rig* r : rigs) ASSERT_EQ(r->prog.control("sequence Hot"), "ok");
    for (Rig* r : rigs) ASSERT_TRUE(r->prog.waitForLog(kLive, 20000)) << r->prog.logText();
    for (Rig* r : rigs) ASSERT_EQ(r->prog.control("menu Enable1"), "ok");
    for (Rig* r : rigs) ASSERT_TRUE(waitUntil([&] { return r->prog.state("enabled") == "1"; }, 15000));
    for (Rig* r : rigs) ASSERT_EQ(r->prog.control("menu BothPumpsOn"), "ok");
    for (Rig* r : rigs)
        ASSERT_TRUE(waitUntil([&] { return r->running(); }, 20000)) << r->sim.control("status");
    // The second pump's start is the last command; polls after it in the record make the record
    // whole up to here, so that a mark taken next counts none of it as part of the end.
    for (Rig* r : rigs)
        ASSERT_TRUE(waitUntil([&] { return r->pollsSinceLastCommand() >= 2; }, 15000))
            << testing::PrintToString(r->sim.commands());
}

// The signals a process catches or ignores, from /proc (SigCgt and SigIgn).
std::set<int> handledSignals(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::set<int> out;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("SigCgt:", 0) != 0 && line.rfind("SigIgn:", 0) != 0) continue;
        const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
        for (int s = 1; s <= 64; ++s)
            if (mask >> (s - 1) & 1) out.insert(s);
    }
    return out;
}

// Every signal whose default action ends a process. Each one that asks a program to end takes
// the way out with the halt; those that only tell of a failed write (SIGPIPE, SIGXFSZ) or of
// readiness (SIGIO) change nothing, also when the program brings them on itself (its standard
// error on a pipe whose reader has gone, its log past the file size limit). A GUI thread that
// never gets to the signal is ended by the backstop, which an outside SIGALRM does not fire.
TEST(ProgramSignals, EverySignalThatWouldEndTheProgramHaltsTheInstrumentOrIsIgnored) {
    ASSERT_EQ(progtest::missingProgram(), "");
    enum Kind { Halts, SentAndIgnored, OwnFailedWrites, Frozen };
    struct Row {
        std::string what;
        int signo;
        Kind kind;
        std::unique_ptr<Rig> rig = std::make_unique<Rig>();
    };
    std::vector<Row> rows;
    for (int s : {SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGSTKFLT, SIGPWR})
        rows.push_back({sigabbrev_np(s), s, Halts});
    rows.push_back({"RTMIN", SIGRTMIN, Halts});
    rows.push_back({"RTMIN+1", SIGRTMIN + 1, Halts});
    rows.push_back({"RTMAX", SIGRTMAX, Halts});
    rows.push_back({"PIPE, XFSZ, IO sent", 0, SentAndIgnored});
    rows.push_back({"own failed writes", 0, OwnFailedWrites});
    rows.push_back({"frozen, TERM then ALRM", SIGTERM, Frozen});

    std::vector<Rig*> rigs;
    std::string fifo;
    int fifoReader = -1;
    for (Row& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.kind == OwnFailedWrites) {
            // Standard error on a pipe that the test reads until the program runs.
            fifo = r.rig->box.path() + "/stderr";
            ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
            fifoReader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(fifoReader, 0);
            r.rig->prog.setStandardErrorFile(fifo);
        }
        ASSERT_TRUE(r.rig->start());
        rigs.push_back(r.rig.get());
    }
    ASSERT_NO_FATAL_FAILURE(heatAndPump(rigs));

    QElapsedTimer clock;
    clock.start();
    for (Row& r : rows) {
        Rig& rig = *r.rig;
        const pid_t pid = pid_t(rig.prog.pid());
        ASSERT_GT(pid, 0) << r.what;  // prlimit would take 0 for the test itself
        rig.markEnd();
        switch (r.kind) {
            case Halts:
                ASSERT_TRUE(rig.prog.signal(r.signo));
                break;
            case SentAndIgnored:
                for (int s : {SIGPIPE, SIGXFSZ, SIGIO}) ASSERT_TRUE(rig.prog.signal(s));
                break;
            case OwnFailedWrites: {
                // The reader goes; the log may grow no further: its next line fails to be written,
                // and the program says so on standard error.
                ::close(fifoReader);
                rlimit limit{};
                ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, nullptr, &limit), 0);
                limit.rlim_cur = rlim_t(
                    QFileInfo(QString::fromStdString(rig.box.path() + "/TressivanLabs/Zentrova.log")).size());
                ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, &limit, nullptr), 0);
                break;
            }
            case Frozen:
                ASSERT_EQ(rig.prog.control("freeze 60"), "ok");
                ASSERT_TRUE(waitUntil([&] { return rig.prog.control("state", 200).empty(); }, 3000));
                ASSERT_TRUE(rig.prog.signal(SIGTERM));
                ASSERT_TRUE(rig.prog.signal(SIGALRM));
                break;
        }
    }
    // Every end is timed before any record is read: reading one may wait for a late simulator.
    for (Row& r : rows) {
        if (r.kind != Halts) continue;
        ASSERT_TRUE(r.rig->prog.waitForExit(8000 - int(clock.elapsed()))) << r.what << r.rig->prog.logText();
    }
    for (Row& r : rows) {
        if (r.kind != Halts) continue;
        SCOPED_TRACE(r.what);
        Rig& rig = *r.rig;
        EXPECT_FALSE(rig.prog.crashed());
        EXPECT_EQ(rig.prog.exitCode(), 0);
        rig.expectHalt();
        const std::string log = rig.prog.logText();
        EXPECT_EQ(countOf(log, "#main: SIG" + r.what + " received: closing without confirmation"), 1) << log;
        EXPECT_EQ(countOf(log, "#main: Instrument halted; program ends"), 1) << log;
    }

    // The programs that were told of failed writes run on: still answering, the pumps and
    // heaters still on.
    Row& sent = rows[rows.size() - 3];
    Row& own = rows[rows.size() - 2];
    ASSERT_TRUE(waitUntil(
        [&] { return countOf(own.rig->prog.control("boxes"), "Cannot write to the log file") > 0; }, 15000))
        << own.rig->prog.control("boxes");
    for (Row* r : {&sent, &own}) {
        SCOPED_TRACE(r->what);
        // Some polls after the signals and the failed writes: each had its time to end the program.
        EXPECT_TRUE(waitUntil([&] { return r->rig->pollsSinceMark() >= 4; }, 15000))
            << "the link stopped polling";
        EXPECT_EQ(r->rig->prog.state("enabled"), "1");
        EXPECT_TRUE(r->rig->running()) << r->rig->sim.control("status");
        EXPECT_EQ(countOf(r->rig->prog.logText(), "closing without confirmation"), 0);
    }
    // Every other signal whose default action ends a process is caught or ignored; faults keep
    // their default action, SIGKILL cannot be caught, and glibc keeps 32 and 33 for itself.
    const std::set<int> keepDefault{SIGKILL, SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,  SIGABRT, SIGTRAP, SIGSYS,
                                    SIGCHLD, SIGCONT, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGURG,  SIGWINCH};
    const std::set<int> handled = handledSignals(sent.rig->prog.pid());
    for (int s = 1; s <= SIGRTMAX; ++s) {
        if (keepDefault.count(s) || (s >= 32 && s < SIGRTMIN)) continue;
        EXPECT_TRUE(handled.count(s)) << "signal " << s << " ends the program without the halt";
    }
    for (Row* r : {&sent, &own}) {
        r->rig->markEnd();
        ASSERT_TRUE(r->rig->prog.signal(SIGTERM));
    }
    for (Row* r : {&sent, &own}) {
        SCOPED_TRACE(r->what);
        ASSERT_TRUE(r->rig->prog.waitForExit(8000));
        EXPECT_FALSE(r->rig->prog.crashed());
        EXPECT_EQ(r->rig->prog.exitCode(), 0);
        r->rig->expectHalt();
    }

    // The frozen program: neither its SIGTERM nor the SIGALRM after it end it before the
    // backstop's ten seconds; then the backstop does, with status 1.
    Row& frozen = rows.back();
    ASSERT_TRUE(frozen.rig->prog.waitForExit(20000 - int(clock.elapsed())));
    EXPECT_GE(clock.elapsed(), 9500);
    EXPECT_FALSE(frozen.rig->prog.crashed());
    EXPECT_EQ(frozen.rig->prog.exitCode(), 1);
}

// The state letter of a process ('T': stopped), 0 when it is gone.
char processState(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return 0;
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : 0;
}

// A program stopped on its way out (Ctrl+C then Ctrl+Z, a debugger, a frozen cgroup) and
// continued twelve seconds later still sends the whole halt: the backstop counts only the time
// the program runs. Stopped at once after the signal, and in the middle of the halt.
TEST(ProgramSignals, AProgramStoppedOnItsWayOutSendsTheWholeHaltOnceContinued) {
    ASSERT_EQ(progtest::missingProgram(), "");
    struct Row {
        const char* what;
        int signo, stop;
        bool midHalt;
        std::unique_ptr<Rig> rig = std::make_unique<Rig>();
    };
    std::vector<Row> rows;
    rows.push_back({"TERM, STOP", SIGTERM, SIGSTOP, false});
    // Ctrl+Z's SIGTSTP stands for itself only in a process group the kernel does not take for
    // orphaned, which a test run may not be (there it is dropped): SIGSTOP does what it does.
    rows.push_back({"INT, STOP", SIGINT, SIGSTOP, false});
    rows.push_back({"TERM, STOP in the halt", SIGTERM, SIGSTOP, true});
    rows.push_back({"HUP, STOP in the halt", SIGHUP, SIGSTOP, true});
    std::vector<Rig*> rigs;
    for (Row& r : rows) {
        ASSERT_TRUE(r.rig->start()) << r.what;
        rigs.push_back(r.rig.get());
    }
    ASSERT_NO_FATAL_FAILURE(heatAndPump(rigs));
    for (Row& r : rows) {
        SCOPED_TRACE(r.what);
        Rig& rig = *r.rig;
        rig.markEnd();
        if (r.midHalt) {
            ASSERT_EQ(rig.sim.control("delay 300"), "ok");  // the halt lasts a while
        }
        ASSERT_TRUE(rig.prog.signal(r.signo));
        const auto haltBegun = [&] {
            const auto c = rig.sim.commands();
            return std::find(c.begin() + long(rig.before), c.end(), kHalt[0]) != c.end();
        };
        if (r.midHalt) {
            ASSERT_TRUE(waitUntil(haltBegun, 5000));
        }
        ASSERT_TRUE(rig.prog.signal(r.stop));
        ASSERT_TRUE(waitUntil([&] { return processState(rig.prog.pid()) == 'T'; }, 3000)) << "not stopped";
    }
    progtest::pause(12000);  // the stop itself is the scenario
    for (Row& r : rows) ASSERT_TRUE(r.rig->prog.signal(SIGCONT)) << r.what;
    for (Row& r : rows) {
        SCOPED_TRACE(r.what);
        Rig& rig = *r.rig;
        ASSERT_TRUE(rig.prog.waitForExit(10000)) << rig.prog.logText();
        EXPECT_FALSE(rig.prog.crashed());
        EXPECT_EQ(rig.prog.exitCode(), 0) << "ended by the backstop";
        ASSERT_TRUE(waitUntil([&] { return rig.halted(); }, 15000)) << rig.sim.control("status");
        rig.expectHalt();
        // Each reply was awaited: the stop used up no command's wait.
        const std::string log = rig.prog.logText().substr(rig.logBefore);
        EXPECT_EQ(countOf(log, "#main: Instrument halted; program ends"), 1) << log;
    }
}

// A signal taken while the windows are still being made, under a start-up box (a store that
// lacks the connection method): the program ends at once; it enters no event loop after the
// end to wait there for the hard exit. Watched on a display of its own, as no test channel
// answers for it yet.
TEST(ProgramSignals, ASignalUnderAStartUpBoxEndsTheProgramAtOnce) {
    ASSERT_EQ(progtest::missingProgram(), "");
    progtest::VirtualDisplay xserver;
    const std::string display = xserver.start();
    if (display.empty() || QStandardPaths::findExecutable("xdotool").isEmpty())
        GTEST_SKIP() << "needs Xvfb and xdotool";
    progtest::Sandbox box;
    ASSERT_TRUE(box.setting("COM", "COM1"));
    QProcess prog;
    prog.setProcessEnvironment(box.environment({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display}}));
    prog.setProcessChannelMode(QProcess::MergedChannels);
    prog.start(QString::fromStdString(progtest::built("app/zentrova")), {});
    ASSERT_TRUE(prog.waitForStarted(5000));
    const auto boxShown = [&] {
        QProcess find;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", QString::fromStdString(display));
        find.setProcessEnvironment(env);
        find.start("xdotool", {"search", "--onlyvisible", "--name", "^Error$"});
        find.waitForFinished(3000);
        return !find.readAllStandardOutput().trimmed().isEmpty();
    };
    ASSERT_TRUE(waitUntil(boxShown, 15000)) << prog.readAll().toStdString();
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(::kill(pid_t(prog.processId()), SIGTERM), 0);
    ASSERT_TRUE(prog.waitForFinished(8000));
    // The hard exit would come two seconds after the end.
    EXPECT_LT(clock.elapsed(), 1500) << prog.readAll().toStdString();
    EXPECT_EQ(prog.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(prog.exitCode(), 0);
}

// Every way out (Exit with its question, a signal, the end of the desktop session, the lost
// display) against an instrument that stops answering: every command of the halt leaves, none
// waits for long, no status query follows, and the log says the instrument did not confirm.
// Against one that answers late, the program ends only after the halt's last reply.
TEST(ProgramSignals, EveryWayOutSendsTheWholeHaltAndWaitsForItsLastReply) {
    ASSERT_EQ(progtest::missingProgram(), "");
    progtest::VirtualDisplay xserver;
    const std::string display = xserver.start();
    enum Way { Exit, Term, Session, Display };
    struct Row {
        const char* what;
        Way way;
        bool answers;
        int replyDelayMs = 100;
        std::unique_ptr<Rig> rig = std::make_unique<Rig>();
    };
    std::vector<Row> rows;
    for (bool answers : {false, true}) {
        rows.push_back({answers ? "Exit, late replies" : "Exit, silent", Exit, answers});
        rows.push_back({answers ? "SIGTERM, late replies" : "SIGTERM, silent", Term, answers});
        rows.push_back({answers ? "session end, late replies" : "session end, silent", Session, answers});
    }
    // Replies half a second late: the halt takes longer than the close's countdown.
    rows.push_back({"Exit, slow replies", Exit, true, 500});
    // Without an event loop the replies are not awaited: only the silent instrument is tried.
    if (!display.empty()) rows.push_back({"lost display, silent", Display, false});
    std::vector<Rig*> rigs;
    for (Row& r : rows) {
        std::map<std::string, std::string> env;
        if (r.way == Display) env = {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display}};
        ASSERT_TRUE(r.rig->start(env)) << r.what;
        rigs.push_back(r.rig.get());
    }
    ASSERT_NO_FATAL_FAILURE(heatAndPump(rigs));
    for (Row& r : rows) {
        Rig& rig = *r.rig;
        if (r.answers) {
            // Each reply leaves late and repeats the command: the log shows which replies arrived
            // before the program ended.
            ASSERT_EQ(rig.sim.control("delay " + std::to_string(r.replyDelayMs)), "ok");
            ASSERT_EQ(rig.sim.control("echo on"), "ok");
        } else {
            ASSERT_EQ(rig.sim.control("withhold on"), "ok");
        }
        rig.markEnd();
        switch (r.way) {
            case Exit:
                ASSERT_EQ(rig.prog.control("answer yes"), "ok");
                ASSERT_EQ(rig.prog.control("close"), "ok");
                break;
            case Term:
                ASSERT_TRUE(rig.prog.signal(SIGTERM));
                break;
            case Session:
                ASSERT_EQ(rig.prog.control("quit"), "ok");
                break;
            case Display:
                xserver.stop();
                break;
        }
    }
    for (Row& r : rows) {
        SCOPED_TRACE(r.what);
        Rig& rig = *r.rig;
        ASSERT_TRUE(rig.prog.waitForExit(12000)) << rig.prog.logText();
        EXPECT_FALSE(rig.prog.crashed());
        EXPECT_EQ(rig.prog.exitCode(), r.way == Display ? 1 : 0);  // the window system ends with 1
        rig.expectHalt();
        const std::string log = rig.prog.logText().substr(rig.logBefore);
        if (!r.answers) {
            EXPECT_EQ(countOf(log, "#main: The instrument did not confirm the halt; program ends"), 1) << log;
            continue;
        }
        const size_t end = log.find("#main: Instrument halted; program ends");
        ASSERT_NE(end, std::string::npos) << log;
        // Each command sent, and its reply, the last one's too, before the end.
        for (const std::string c : {"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"})
            EXPECT_EQ(countOf(log.substr(0, end), c + "\n"), 2 * std::count(kHalt.begin(), kHalt.end(), c))
                << c << "\n"
                << log;
    }
    if (display.empty()) GTEST_SKIP() << "the lost display was not tried: no Xvfb";
}

// File > Exit answered Yes, then menu commands during the countdown (Enable, Pumps On, Reset,
// Sequence > Load): none of them runs, the instrument hears the halt and nothing after it, and the
// program ends within its bound, against an instrument that answers and one that went silent.
TEST(ProgramEnding, CommandsDuringTheCountdownAreRefusedAndTheEndIsBounded) {
    ASSERT_EQ(progtest::missingProgram(), "");
    struct Row {
        const char* what;
        bool answers;
        std::unique_ptr<Rig> rig = std::make_unique<Rig>();
    };
    std::vector<Row> rows;
    rows.push_back({"answering", true});
    rows.push_back({"silent", false});
    std::vector<Rig*> rigs;
    for (Row& r : rows) {
        ASSERT_TRUE(r.rig->start()) << r.what;
        rigs.push_back(r.rig.get());
    }
    ASSERT_NO_FATAL_FAILURE(heatAndPump(rigs));
    const std::vector<std::string> items{"Enable1", "BothPumpsOn", "StopReset1", "Load1", "Configure1"};
    QElapsedTimer clock;
    clock.start();
    for (Row& r : rows) {
        SCOPED_TRACE(r.what);
        Rig& rig = *r.rig;
        if (!r.answers) {
            ASSERT_EQ(rig.sim.control("withhold on"), "ok");
        }
        rig.markEnd();
        ASSERT_EQ(rig.prog.control("answer yes"), "ok");
        ASSERT_EQ(rig.prog.control("menu Exit1"), "ok");
        ASSERT_TRUE(waitUntil([&] { return !rig.sentSinceMark().empty(); }, 15000)) << "no halt";
        for (const std::string& item : items) EXPECT_EQ(rig.prog.control("menu " + item), "ok") << item;
    }
    for (Row& r : rows) {
        SCOPED_TRACE(r.what);
        Rig& rig = *r.rig;
        // The countdown, the halt's drain and the silent instrument's warning (answered at once).
        ASSERT_TRUE(rig.prog.waitForExit(15000 - int(clock.elapsed()))) << rig.prog.logText();
        EXPECT_FALSE(rig.prog.crashed());
        EXPECT_EQ(rig.prog.exitCode(), 0);
        rig.expectHalt();
        const std::string log = rig.prog.logText().substr(rig.logBefore);
        for (const std::string& item : items)
            EXPECT_EQ(countOf(log, "#main: The program is ending; command refused: " + item), 1)
                << item << log;
        EXPECT_EQ(countOf(log, r.answers ? "#main: Instrument halted; program ends"
                                         : "#main: The instrument did not confirm the halt; program ends"),
                  1)
            << log;
        if (r.answers) {
            EXPECT_TRUE(rig.halted()) << rig.sim.control("status");
        }
    }
}

// A confirmed close whose window thread then stops answering (a display or a file that never
// answers) still ends: the close is bounded, after its halt, like a signal's end.
TEST(ProgramEnding, AConfirmedCloseEndsWhateverHoldsItAfterTheHalt) {
    ASSERT_EQ(progtest::missingProgram(), "");
    Rig rig;
    ASSERT_TRUE(rig.start());
    ASSERT_NO_FATAL_FAILURE(heatAndPump({&rig}));
    rig.markEnd();
    ASSERT_EQ(rig.prog.control("answer yes"), "ok");
    ASSERT_EQ(rig.prog.control("menu Exit1"), "ok");
    ASSERT_TRUE(waitUntil([&] { return rig.sentSinceMark().size() >= kHalt.size(); }, 8000));
    ASSERT_EQ(rig.prog.control("freeze 60"), "ok");
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(rig.prog.waitForExit(25000)) << "the close was not bounded";
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_FALSE(rig.prog.crashed());
    EXPECT_EQ(rig.prog.exitCode(), 1) << "ended by the bound";
    rig.expectHalt();
}

// Instrument > Configure > Save with both pumps and heaters on, answered OK: the halt reaches the
// instrument and is answered on the link it runs on before that link is dropped; the program then
// connects anew (its first query asks for the identity again) and goes on.
TEST(ProgramEnding, ASettingsSaveHaltsTheInstrumentBeforeItDropsTheLink) {
    ASSERT_EQ(progtest::missingProgram(), "");
    Rig rig;
    ASSERT_TRUE(rig.start());
    ASSERT_NO_FATAL_FAILURE(heatAndPump({&rig}));
    rig.markEnd();
    ASSERT_EQ(rig.prog.control("menu Configure1"), "ok");
    ASSERT_TRUE(waitUntil([&] { return rig.prog.control("modal") == "InstrumentConfiguration"; }, 10000));
    ASSERT_EQ(rig.prog.control("answer ok"), "ok");
    ASSERT_EQ(rig.prog.control("click Save"), "ok");
    ASSERT_TRUE(rig.prog.waitForLog("#main: Settings saved; instrument halted; the link opens anew", 10000))
        << rig.prog.logText();
    EXPECT_TRUE(rig.halted()) << rig.sim.control("status");
    ASSERT_TRUE(rig.prog.waitForLog(kLive, 20000, 2)) << rig.prog.logText();
    const auto cmds = rig.sim.commands();
    std::vector<std::string> sent;
    size_t lastHalt = 0;
    for (size_t i = rig.before; i < cmds.size() && sent.size() < kHalt.size(); ++i) {
        if (cmds[i][0] == '?') continue;
        sent.push_back(cmds[i]);
        lastHalt = i;
    }
    EXPECT_EQ(sent, kHalt);
    const auto identity = std::find(cmds.begin() + long(rig.before), cmds.end(), "? 0123");
    ASSERT_NE(identity, cmds.end()) << "the link was not opened anew";
    EXPECT_GT(size_t(identity - cmds.begin()), lastHalt) << "the link was dropped before the halt was sent";
    EXPECT_EQ(rig.prog.state("enabled"), "0");
    const std::string boxes = rig.prog.control("boxes");
    EXPECT_EQ(countOf(boxes, "Saving applies the settings at once"), 1) << boxes;
    ASSERT_EQ(rig.prog.control("answer yes"), "ok");
    ASSERT_EQ(rig.prog.control("close"), "ok");
    ASSERT_TRUE(rig.prog.waitForExit(15000));
}

// The same save while another process holds the store's write lock: it fails after the lock's
// bound, says that nothing was changed, and nothing was: the link stays, no command is sent, the
// pumps and heaters run on and the program stays enabled.
TEST(ProgramEnding, ASettingsSaveThatFailsUnderAHeldStoreLockChangesNothing) {
    ASSERT_EQ(progtest::missingProgram(), "");
    Rig rig;
    ASSERT_TRUE(rig.start());
    ASSERT_NO_FATAL_FAILURE(heatAndPump({&rig}));
    ASSERT_EQ(rig.prog.control("menu Configure1"), "ok");
    ASSERT_TRUE(waitUntil([&] { return rig.prog.control("modal") == "InstrumentConfiguration"; }, 10000));
    const pid_t child = holdLock(rig.box.path() + "/registry.db-shm", 120, 8);
    ASSERT_GT(child, 0);
    rig.markEnd();
    ASSERT_EQ(rig.prog.control("answer ok"), "ok");
    ASSERT_EQ(rig.prog.control("click Save"), "ok");
    const bool said = waitUntil(
        [&] {
            return countOf(rig.prog.control("boxes"), "Nothing was changed: the link to the instrument") > 0;
        },
        15000);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(said) << rig.prog.control("boxes");
    EXPECT_NE(rig.prog.control("boxes").find("Can not save parameters to Registry!"), std::string::npos);
    ASSERT_TRUE(waitUntil([&] { return rig.prog.control("modal").empty(); }, 5000));
    // Some polls on: still linked, still running, nothing sent but the status queries.
    const long polled = rig.pollsSinceMark();
    EXPECT_TRUE(waitUntil([&] { return rig.pollsSinceMark() >= polled + 4; }, 15000))
        << "the link stopped polling";
    EXPECT_EQ(rig.sentSinceMark(), std::vector<std::string>{});
    EXPECT_TRUE(rig.running()) << rig.sim.control("status");
    EXPECT_EQ(rig.prog.state("enabled"), "1");
    const std::string log = rig.prog.logText().substr(rig.logBefore);
    EXPECT_EQ(countOf(log, "#main: Settings saved"), 0) << log;
    EXPECT_EQ(countOf(log, "#main: Connection lost"), 0) << log;
    EXPECT_EQ(countOf(log, "Connection Method not defined"), 0) << log;
    ASSERT_EQ(rig.prog.control("answer yes"), "ok");
    ASSERT_EQ(rig.prog.control("close"), "ok");
    ASSERT_TRUE(rig.prog.waitForExit(15000));
    rig.expectHalt();
}

// A program killed with SIGKILL leaves the instrument pumping and heating; the next one is told to
// end by a signal before its main loop has opened the link: it opens the link for the halt and
// the instrument hears the whole halt before the program ends.
TEST(ProgramEnding, ASignalBeforeTheLinkIsOpenOpensItAndHalts) {
    ASSERT_EQ(progtest::missingProgram(), "");
    Rig rig;
    ASSERT_TRUE(rig.start());
    ASSERT_NO_FATAL_FAILURE(heatAndPump({&rig}));
    ASSERT_TRUE(rig.prog.signal(SIGKILL));
    ASSERT_TRUE(rig.prog.waitForExit(5000));
    ASSERT_TRUE(rig.running()) << rig.sim.control("status");
    // The killed program's claim on the line goes with it, as a real adapter's does.
    ASSERT_TRUE(waitUntil([&] { return countOf(rig.sim.output(), "cleared the claim") > 0; }, 5000))
        << rig.sim.output();
    rig.markEnd();
    progtest::Program next(rig.box);
    ASSERT_TRUE(next.start()) << next.output();
    ASSERT_TRUE(next.signal(SIGTERM));
    ASSERT_TRUE(next.waitForExit(15000)) << next.logText();
    EXPECT_FALSE(next.crashed());
    EXPECT_EQ(next.exitCode(), 0);
    const std::string log = next.logText();
    EXPECT_EQ(countOf(log, "#main: The link was opened for the halt"), 1) << log;
    EXPECT_EQ(countOf(log, "#main: Instrument halted; program ends"), 1) << log;
    rig.expectHalt();  // both pumps and heaters, though nothing was read yet
}

}  // namespace
