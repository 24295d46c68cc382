#include "integration/support_program.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <algorithm>
#include <cstring>

namespace progtest {

namespace {

QStringList qargs(const std::vector<std::string>& args) {
    QStringList out;
    for (const auto& a : args) out << QString::fromStdString(a);
    return out;
}

std::string readFile(const std::string& path) {
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

// The simulator's escapes ("\r", "\n", "\0", "\t", "\\", "\xHH") back to bytes.
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        const size_t at = std::string("rn0t").find(c);
        if (at != std::string::npos) {
            out += "\r\n\0\t"[at];
        } else if (c == 'x' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string built(const std::string& relative) {
    return ZENTROVA_BINARY_DIR "/" + relative;
}

std::string missingProgram() {
    for (const char* p : {"app/zentrova", "tools/instrument-sim/instrument-sim", "tools/regtool/regtool",
                          "tools/hplc-sim/hplc-sim"})
        if (!QFile::exists(QString::fromStdString(built(p)))) return built(p);
    return "";
}

void pause(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return false;
        pause(20);
    }
    return true;
}

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

std::string askUnixSocket(const std::string& path, const std::string& line, int timeoutMs) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) return {};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    std::string answer;
    const std::string out = line + "\n";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) == ssize_t(out.size())) {
        QElapsedTimer t;
        t.start();
        while (answer.find('\n') == std::string::npos && t.elapsed() < timeoutMs) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            answer.append(buf, size_t(n));
        }
    }
    ::close(fd);
    const size_t nl = answer.find('\n');
    return nl == std::string::npos ? std::string() : answer.substr(0, nl);
}

// ---------------------------------------------------------------- VirtualDisplay

std::string VirtualDisplay::start() {
    proc_.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"});
    if (!proc_.waitForStarted(30000) ||
        !waitUntil([&] { return proc_.canReadLine() || proc_.state() != QProcess::Running; }, 30000))
        return "";
    const std::string number = proc_.readLine().trimmed().toStdString();
    return number.empty() ? "" : ":" + number;
}

void VirtualDisplay::stop() {
    if (proc_.state() == QProcess::NotRunning) return;
    proc_.kill();
    proc_.waitForFinished(2000);
}

// ---------------------------------------------------------------- Sandbox

QProcessEnvironment Sandbox::environment(const std::map<std::string, std::string>& extra) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"APPDATA", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) env.insert(name, dir_.path());
    env.insert("ZENTROVA_REGISTRY", dir_.path() + "/registry.db");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("ZENTROVA_TEST_CONTROL");
    env.remove("ZENTROVA_D2XX_MAP");
    for (const auto& [k, v] : extra) env.insert(QString::fromStdString(k), QString::fromStdString(v));
    return env;
}

bool Sandbox::regtool(const std::vector<std::string>& args, const std::string& input) {
    QProcess p;
    p.setProcessEnvironment(environment());
    p.start(QString::fromStdString(built("tools/regtool/regtool")), qargs(args));
    if (!p.waitForStarted(30000)) return false;
    p.write(input.data(), qint64(input.size()));
    p.closeWriteChannel();
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool Sandbox::setting(const std::string& name, int32_t value, const std::string& instance) {
    return regtool({"write", "HKCU\\Software\\TressivanLabs\\Zentrova\\Instrument" + instance, name, "dword",
                    std::to_string(value)});
}

bool Sandbox::setting(const std::string& name, const std::string& value, const std::string& instance) {
    return regtool(
        {"write", "HKCU\\Software\\TressivanLabs\\Zentrova\\Instrument" + instance, name, "sz", value});
}

bool Sandbox::import(const std::string& text) {
    return regtool({"import", "-"}, text);
}

std::string Sandbox::logText(const std::string& instance) const {
    return readFile(path() + "/TressivanLabs/Zentrova" + instance + ".log");
}

// ---------------------------------------------------------------- Sim

bool Sim::start(const std::vector<std::string>& args) {
    stop();
    // A name of its own: two simulators of one sandbox must never share their record or their
    // control socket (an address taken modulo a number could).
    static int started = 0;
    if (log_.empty()) log_ = box_.path() + "/sim" + std::to_string(++started) + ".log";
    control_ = log_ + ".ctl";
    lines_.clear();
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--log", log_, "--control", control_, "--verbose", "--serial", "4711"});
    QObject::disconnect(&proc_, nullptr, nullptr, nullptr);
    QObject::connect(&proc_, &QProcess::readyReadStandardOutput, [this] { pump(); });
    QObject::connect(&proc_, &QProcess::readyReadStandardError, [this] { pump(); });
    proc_.setProcessEnvironment(box_.environment());
    proc_.start(QString::fromStdString(built("tools/instrument-sim/instrument-sim")), qargs(all));
    const auto ready = [this] {
        for (const auto& l : lines_)
            if (l.find(" ready: ") != std::string::npos) return true;
        return false;
    };
    return waitUntil([&] { return ready() || proc_.state() == QProcess::NotRunning; }, 30000) && ready();
}

void Sim::pump() {
    stdout_ += proc_.readAllStandardOutput().toStdString();
    proc_.readAllStandardError();  // its trace of the bytes; read so that the pipe never fills
    for (size_t nl; (nl = stdout_.find('\n')) != std::string::npos; stdout_.erase(0, nl + 1))
        lines_.push_back(stdout_.substr(0, nl));
}

bool Sim::startPty(const std::vector<std::string>& extraArgs, const std::string& name) {
    pty_ = box_.path() + "/" + name;
    std::vector<std::string> args{"--pty", pty_};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return start(args);
}

std::string Sim::startTcp192(const std::vector<std::string>& extraArgs) {
    // Other copies of the suite may run at once: each tries its own addresses.
    for (int i = 0; i < 8; ++i) {
        const int n = int((::getpid() * 8 + i) % 62500);
        const std::string addr = "127.61." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1);
        std::vector<std::string> args{"--tcp", addr + ":192"};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        if (start(args)) return addr;
    }
    return "";
}

void Sim::stop() {
    if (proc_.state() == QProcess::NotRunning) return;
    proc_.write("quit\n");
    if (!proc_.waitForFinished(3000)) proc_.kill();
    proc_.waitForFinished(1000);
}

std::string Sim::control(const std::string& command) {
    return askUnixSocket(control_, command);
}

std::vector<std::string> Sim::commands() const {
    std::vector<std::string> out;
    const std::string text = readFile(log_);
    for (size_t pos = 0, nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        std::string c = unescape(text.substr(pos, nl - pos));
        // Telnet sends CR NUL; both go.
        while (!c.empty() && (c.back() == '\r' || c.back() == '\n' || c.back() == '\0')) c.pop_back();
        out.push_back(c);
    }
    return out;
}

std::vector<std::string> Sim::nonQueries() const {
    std::vector<std::string> out;
    for (auto& c : commands())
        if (c.rfind("?", 0) != 0) out.push_back(c);
    return out;
}

size_t Sim::queries() const {
    const auto all = commands();  // one reading: the record grows meanwhile
    return size_t(
        std::count_if(all.begin(), all.end(), [](const std::string& c) { return c.rfind("?", 0) == 0; }));
}

bool Sim::waitForPolls(int n, int timeoutMs) const {
    const size_t from = queries();
    return waitUntil([&] { return queries() >= from + size_t(n); }, timeoutMs);
}

std::string Sim::output() const {
    std::string out = proc_.errorString().toStdString();
    for (const std::string& line : lines_) out += "\n" + line;
    return out;
}

// ---------------------------------------------------------------- Program

bool Program::start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    instance_ = !args.empty() && args[0].size() == 1 && args[0] >= "1" && args[0] <= "4" ? args[0] : "";
    control_ = box_.path() + "/control" + instance_;
    std::map<std::string, std::string> all = env;
    all["ZENTROVA_TEST_CONTROL"] = control_;
    proc_.setProcessEnvironment(box_.environment(all));
    if (stderrFile_.empty()) {
        proc_.setProcessChannelMode(QProcess::MergedChannels);
    } else {
        proc_.setProcessChannelMode(QProcess::SeparateChannels);
        proc_.setStandardErrorFile(QString::fromStdString(stderrFile_));
    }
    proc_.start(QString::fromStdString(built("app/zentrova")), qargs(args));
    return proc_.waitForStarted(30000) &&
           waitUntil(
               [&] {
                   return control("state", 500).rfind("mode=", 0) == 0 ||
                          proc_.state() == QProcess::NotRunning;
               },
               60000) &&
           proc_.state() == QProcess::Running;
}

void Program::stop() {
    if (proc_.state() == QProcess::NotRunning) return;
    proc_.terminate();
    if (!proc_.waitForFinished(3000)) {
        proc_.kill();
        proc_.waitForFinished(2000);
    }
}

bool Program::signal(int signo) const {
    const qint64 id = proc_.state() == QProcess::Running ? proc_.processId() : 0;
    return id > 0 && ::kill(pid_t(id), signo) == 0;
}

bool Program::waitForExit(int timeoutMs) {
    return proc_.state() == QProcess::NotRunning || proc_.waitForFinished(timeoutMs);
}

std::string Program::control(const std::string& command, int timeoutMs) {
    return askUnixSocket(control_, command, timeoutMs);
}

std::string Program::state(const std::string& key) {
    const std::string s = " " + control("state");
    const size_t at = s.find(" " + key + "=");
    if (at == std::string::npos) return {};
    const size_t from = at + key.size() + 2;
    // Values end at the next " word=" (captions and messages may hold blanks).
    size_t end = s.size();
    for (const char* k : {" mode=", " enabled=", " shown=", " caption=", " message="})
        end = std::min(end, s.find(k, from));
    return s.substr(from, end - from);
}

bool Program::waitForLog(const std::string& text, int timeoutMs, int count) {
    return waitUntil([&] { return countOf(logText(), text) >= count; }, timeoutMs);
}

std::string Program::output() {
    output_ += proc_.readAll().toStdString();
    return output_;
}

std::string serialRig(Sandbox& box, Sim& sim) {
    if (const std::string missing = missingProgram(); !missing.empty()) return missing + " is not built";
    if (!sim.startPty()) return sim.output();
    if (!box.setting("ConnectMethod", 2) || !box.setting("COM", sim.ptyPath()))
        return "the store could not be seeded";
    return "";
}

}  // namespace progtest
