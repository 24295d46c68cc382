#include "integration/support_program.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <cstring>

#include "integration/simproc.h"

namespace progtest {

namespace {

QStringList qargs(const std::vector<std::string>& args) {
    QStringList out;
    for (const auto& a : args) out << QString::fromStdString(a);
    return out;
}

std::string readFile(const std::string& path) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll().toStdString();
}

}  // namespace

std::string programPath() {
    return ZENTROVA_BINARY_DIR "/app/zentrova";
}
std::string simulatorPath() {
    return simproc::binary().toStdString();
}
std::string regtoolPath() {
    return ZENTROVA_BINARY_DIR "/tools/regtool/regtool";
}

void pause(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return false;
        pause(100);
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
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string out = line + "\n";
        if (::send(fd, out.data(), out.size(), MSG_NOSIGNAL) == ssize_t(out.size())) {
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
    }
    ::close(fd);
    const size_t nl = answer.find('\n');
    return nl == std::string::npos ? std::string() : answer.substr(0, nl);
}

// ---------------------------------------------------------------- Sandbox

Sandbox::Sandbox() = default;

QProcessEnvironment Sandbox::environment(const std::map<std::string, std::string>& extra) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZENTROVA_REGISTRY", dir_.path() + "/registry.db");
    env.insert("APPDATA", dir_.path());
    env.insert("XDG_CONFIG_HOME", dir_.path());
    env.insert("XDG_DATA_HOME", dir_.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("ZENTROVA_TEST_CONTROL");
    env.remove("ZENTROVA_D2XX_MAP");
    for (const auto& [k, v] : extra) env.insert(QString::fromStdString(k), QString::fromStdString(v));
    return env;
}

bool Sandbox::regtool(const std::vector<std::string>& args) {
    QProcess p;
    p.setProcessEnvironment(environment());
    p.start(QString::fromStdString(regtoolPath()), qargs(args));
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
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
    QProcess p;
    p.setProcessEnvironment(environment());
    p.start(QString::fromStdString(regtoolPath()), {"import", "-"});
    if (!p.waitForStarted(5000)) return false;
    p.write(text.data(), qint64(text.size()));
    p.closeWriteChannel();
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

std::string Sandbox::logText(const std::string& instance) const {
    return readFile(path() + "/TressivanLabs/Zentrova" + instance + ".log");
}

// ---------------------------------------------------------------- Simulator

bool Simulator::start(const std::vector<std::string>& args) {
    log_ = box_.path() + "/sim" + std::to_string(reinterpret_cast<uintptr_t>(this) % 9973) + ".log";
    control_ = log_ + ".ctl";
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--log", log_, "--control", control_});
    proc_.process().setProcessEnvironment(box_.environment());
    return proc_.start(qargs(all));
}

bool Simulator::startPty(const std::vector<std::string>& extraArgs, const std::string& name) {
    pty_ = box_.path() + "/" + name;
    std::vector<std::string> args{"--pty", pty_};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return start(args);
}

bool Simulator::startTcp(const std::string& addrPort, const std::vector<std::string>& extraArgs) {
    std::vector<std::string> args{"--tcp", addrPort};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return start(args);
}

void Simulator::stop() {
    proc_.stop();
}

std::string Simulator::control(const std::string& command) {
    return askUnixSocket(control_, command);
}

std::vector<std::string> Simulator::commands() const {
    std::vector<std::string> out;
    const std::string text = readFile(log_);
    size_t pos = 0, nl;
    while ((nl = text.find('\n', pos)) != std::string::npos) {
        std::string c = simproc::unescape(text.substr(pos, nl - pos));
        pos = nl + 1;
        // Telnet sends CR NUL; both go.
        while (!c.empty() && (c.back() == '\r' || c.back() == '\n' || c.back() == '\0')) c.pop_back();
        out.push_back(c);
    }
    return out;
}

std::vector<std::string> Simulator::nonQueries() const {
    std::vector<std::string> out;
    for (auto& c : commands())
        if (c.rfind("?", 0) != 0) out.push_back(c);
    return out;
}

std::string Simulator::output() const {
    proc_.pump();
    std::string out = proc_.error();
    for (const std::string& line : proc_.output()) out += (out.empty() ? "" : "\n") + line;
    return out;
}

// ---------------------------------------------------------------- Program

bool Program::start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    instance_.clear();
    if (!args.empty() && (args[0] == "1" || args[0] == "2" || args[0] == "3" || args[0] == "4"))
        instance_ = args[0];
    control_ = box_.path() + "/control" + instance_;
    std::map<std::string, std::string> all = env;
    all["ZENTROVA_TEST_CONTROL"] = control_;
    proc_.setProcessEnvironment(box_.environment(all));
    proc_.setProcessChannelMode(QProcess::MergedChannels);
    proc_.start(QString::fromStdString(programPath()), qargs(args));
    if (!proc_.waitForStarted(5000)) return false;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        if (control("state", 500).rfind("mode=", 0) == 0) return true;
        if (proc_.state() == QProcess::NotRunning) return false;
        pause(20);
    }
    return false;
}

void Program::stop() {
    if (proc_.state() == QProcess::NotRunning) return;
    proc_.terminate();
    if (!proc_.waitForFinished(3000)) {
        proc_.kill();
        proc_.waitForFinished(2000);
    }
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
    for (const char* k : {" mode=", " enabled=", " shown=", " caption=", " message="}) {
        const size_t p = s.find(k, from);
        if (p != std::string::npos && p < end) end = p;
    }
    return s.substr(from, end - from);
}

bool Program::waitForLog(const std::string& text, int timeoutMs, int count) {
    QElapsedTimer t;
    t.start();
    do {
        if (countOf(logText(), text) >= count) return true;
        pause(50);
    } while (t.elapsed() < timeoutMs);
    return false;
}

std::string Program::output() {
    output_ += proc_.readAll().toStdString();
    return output_;
}

}  // namespace progtest
