// Helpers of the whole-program tests: the real zentrova binary and the simulated instrument,
// each in its own process, in a fresh folder that holds the settings store, the logs and the
// sockets. Runs real seconds.
//
//   progtest::Sandbox box;                                   // temp dir, env for both processes
//   progtest::Simulator sim(box);
//   ASSERT_TRUE(sim.startPty());                              // or sim.startTcp("127.0.0.71:192")
//   box.setting("ConnectMethod", 3); box.setting("USB", "KVZ Sim");
//   progtest::Program prog(box);
//   ASSERT_TRUE(prog.start({}, {{"ZENTROVA_D2XX_MAP", "KVZ Sim=" + sim.ptyPath()}}));
//   ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=0", 15000));
//   prog.control("answer yes"); prog.control("menu Exit1");  // the test-control channel
//   sim.commands();                                           // what the instrument received
//   prog.waitForExit(10000);
#pragma once
#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "integration/simproc.h"

namespace progtest {

std::string programPath();    // ZENTROVA_BINARY_DIR "/app/zentrova"
std::string simulatorPath();  // ZENTROVA_BINARY_DIR "/tools/instrument-sim/instrument-sim"
std::string regtoolPath();    // ZENTROVA_BINARY_DIR "/tools/regtool/regtool"

// One line-based request/answer over a Unix socket; "" when nothing answered in time.
std::string askUnixSocket(const std::string& path, const std::string& line, int timeoutMs = 3000);

class Sandbox {
  public:
    Sandbox();
    bool ok() const { return dir_.isValid(); }
    std::string path() const { return dir_.path().toStdString(); }
    // Seeds a value of the instrument key (instance "" unless given) through regtool.
    bool setting(const std::string& name, int32_t value, const std::string& instance = "");
    bool setting(const std::string& name, const std::string& value, const std::string& instance = "");
    // Imports regtool's export text (methods, sequences, settings) into the store.
    bool import(const std::string& text);
    // ZENTROVA_REGISTRY, APPDATA, XDG_CONFIG_HOME, QT_QPA_PLATFORM=offscreen, plus extra.
    QProcessEnvironment environment(const std::map<std::string, std::string>& extra = {}) const;
    // The program's daily log of an instance.
    std::string logText(const std::string& instance = "") const;

  private:
    bool regtool(const std::vector<std::string>& args);
    QTemporaryDir dir_{"/tmp/zprog-XXXXXX"};  // socket paths must stay short
};

class Simulator {
  public:
    explicit Simulator(Sandbox& box) : box_(box) {}
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Serves on a pseudo-terminal linked at <sandbox>/<name>; waits for "ready".
    bool startPty(const std::vector<std::string>& extraArgs = {}, const std::string& name = "kvz-tty");
    // Serves TCP on addr:port; false when it cannot listen (e.g. port 192 without root).
    bool startTcp(const std::string& addrPort, const std::vector<std::string>& extraArgs = {});
    void stop();
    const std::string& ptyPath() const { return pty_; }
    // A control command ("silent on", "status", ...); its one answer line.
    std::string control(const std::string& command);
    // Every command received so far, unescaped, without its CR (and the NUL of telnet).
    std::vector<std::string> commands() const;
    // The commands that are not status queries ("? ...").
    std::vector<std::string> nonQueries() const;
    std::string output() const;  // stdout and stderr so far (diagnostics)

  private:
    bool start(const std::vector<std::string>& args);
    Sandbox& box_;
    mutable simproc::SimProcess proc_;
    std::string pty_, log_, control_;
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
    bool running() const { return proc_.state() != QProcess::NotRunning; }
    bool waitForExit(int timeoutMs);
    int exitCode() const { return proc_.exitCode(); }
    qint64 pid() const { return proc_.processId(); }

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
    std::string control_, instance_;
    std::string output_;
};

int countOf(const std::string& text, const std::string& what);
// Sleeps while keeping this process's events going.
void pause(int ms);
// Polls done() every 100 ms until it holds; false after timeoutMs.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);

}  // namespace progtest
