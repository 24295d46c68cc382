// Helpers of the whole-program tests: the real zentrova binary and the simulated instrument, each
// in its own process, in a fresh folder that holds the settings store, the logs and the sockets.
// Runs real seconds; every wait is on a log line, a control answer or the simulator's record.
//
//   progtest::Sandbox box;
//   progtest::Sim sim(box);
//   ASSERT_TRUE(sim.startPty()) << sim.output();
//   box.setting("ConnectMethod", 2); box.setting("COM", sim.ptyPath());
//   progtest::Program prog(box);
//   ASSERT_TRUE(prog.start());
//   ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=0", 15000));
//   prog.control("answer yes"); prog.control("close");        // the test-control channel
//   sim.commands();                                           // what the instrument received
#pragma once
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace progtest {

// A program of the build ("app/zentrova", "tools/regtool/regtool", ...), by its full path.
std::string built(const std::string& relative);
// The first of zentrova, instrument-sim, regtool and hplc-sim that is not built ("" if none).
std::string missingProgram();

// Runs this process's event loop for ms.
void pause(int ms);
// Runs the event loop until done() holds; false after timeoutMs.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);
int countOf(const std::string& text, const std::string& what);
// One line-based request/answer over a Unix socket; "" when nothing answered in time.
std::string askUnixSocket(const std::string& path, const std::string& line, int timeoutMs = 3000);

// A virtual X server of its own (Xvfb), when the machine has one.
class VirtualDisplay {
  public:
    ~VirtualDisplay() { stop(); }
    // Its display name (":N"), or "" when no Xvfb could start.
    std::string start();
    // The X server goes away, as a display whose session ends.
    void stop();

  private:
    QProcess proc_;
};

class Sandbox {
  public:
    std::string path() const { return dir_.path().toStdString(); }
    // Seeds a value of the instrument key (instance "" unless given) through regtool.
    bool setting(const std::string& name, int32_t value, const std::string& instance = "");
    bool setting(const std::string& name, const std::string& value, const std::string& instance = "");
    // Imports regtool's export text (methods, sequences, settings) into the store.
    bool import(const std::string& text);
    // ZENTROVA_REGISTRY, APPDATA, XDG_CONFIG_HOME, QT_QPA_PLATFORM=offscreen, plus extra.
    QProcessEnvironment environment(const std::map<std::string, std::string>& extra = {}) const;
    // The daily log of an instance.
    std::string logText(const std::string& instance = "") const;

  private:
    bool regtool(const std::vector<std::string>& args, const std::string& input = "");
    QTemporaryDir dir_{"/tmp/zprog-XXXXXX"};  // socket paths must stay short
};

class Sim {
  public:
    explicit Sim(Sandbox& box) : box_(box) {}
    ~Sim() {
        stop();
        QObject::disconnect(&proc_, nullptr, nullptr, nullptr);  // nothing reads into a dying Sim
    }
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    // Serves on a pseudo-terminal linked at <sandbox>/<name>; waits for "ready".
    bool startPty(const std::vector<std::string>& extraArgs = {}, const std::string& name = "kvz-tty");
    // Serves TCP on port 192 of a loopback address no other test holds; that address, or ""
    // when it cannot listen (port 192 needs root).
    std::string startTcp192(const std::vector<std::string>& extraArgs = {});
    void stop();
    const std::string& ptyPath() const { return pty_; }
    // A control command ("silent on", "status", ...); its one answer line.
    std::string control(const std::string& command);
    // Every command received so far, without its line end.
    std::vector<std::string> commands() const;
    // The commands that are not status queries ("? ...").
    std::vector<std::string> nonQueries() const;
    // How many status queries it has received so far.
    size_t queries() const;
    // Waits until n more status queries than now have reached it: the program has polled on
    // since, and whatever it sent before those polls is in the record. False after timeoutMs.
    bool waitForPolls(int n, int timeoutMs = 60000) const;
    std::string output() const;  // what it said on standard output (diagnostics)

  private:
    bool start(const std::vector<std::string>& args);
    void pump();
    Sandbox& box_;
    QProcess proc_;
    std::string pty_, log_, control_, stdout_;
    std::vector<std::string> lines_;
};

class Program {
  public:
    explicit Program(Sandbox& box) : box_(box) {}
    ~Program() { stop(); }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Starts zentrova with its test-control channel at <sandbox>/control<instance>; waits until
    // the channel answers (the main window exists). args: the command line.
    bool start(const std::vector<std::string>& args = {}, const std::map<std::string, std::string>& env = {});
    // Ends the process (SIGTERM, then SIGKILL).
    void stop();
    bool waitForExit(int timeoutMs);
    qint64 pid() const { return proc_.processId(); }
    // Sends the signal to the running program; false when it is not running (a pid of 0 would
    // reach the test's own process group).
    bool signal(int signo) const;
    int exitCode() const { return proc_.exitCode(); }
    // True when a signal ended the process.
    bool crashed() const { return proc_.exitStatus() == QProcess::CrashExit; }
    // Standard error of the next start goes to this file (a FIFO too) rather than to output().
    void setStandardErrorFile(const std::string& path) { stderrFile_ = path; }

    std::string control(const std::string& command, int timeoutMs = 3000);
    // The value of key=... in the answer of "state" ("" when absent).
    std::string state(const std::string& key);
    std::string logText() const { return box_.logText(instance_); }
    // Waits until the log holds the text (count times at least); false on time-out.
    bool waitForLog(const std::string& text, int timeoutMs, int count = 1);
    std::string output();

  private:
    Sandbox& box_;
    QProcess proc_;
    std::string control_, instance_, output_, stderrFile_;
};

// Starts the simulator on a pseudo-terminal and sets the store to reach it over serial; "" or
// why not.
std::string serialRig(Sandbox& box, Sim& sim);

}  // namespace progtest
