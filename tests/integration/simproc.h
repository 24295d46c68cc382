// The simulated instrument as its own process, for link and whole-program tests: started on a
// pseudo-terminal or a TCP address, its "ready" line awaited, its verbose trace ("rx" what it
// received, "tx" what it sent) collected with the time this side read it, control commands
// answered line by line, and "quit" (then a kill) when the test ends.
#pragma once
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace simproc {

inline QString binary() {
    return QStringLiteral(ZENTROVA_BINARY_DIR "/tools/instrument-sim/instrument-sim");
}

// Points the settings store, the data folder and the config folder at a test's own folder.
inline void isolateStore(const QString& dir) {
    qputenv("ZENTROVA_REGISTRY", (dir + "/registry.db").toUtf8());
    qputenv("APPDATA", dir.toUtf8());
    qputenv("XDG_CONFIG_HOME", dir.toUtf8());
}

// The program's daily log in the folder isolateStore() pointed APPDATA at ("" when there is none).
inline std::string dailyLog(const QString& dir) {
    QFile f(dir + "/TressivanLabs/Zentrova.log");
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll().toStdString();
}

// The simulator's escapes ("\r", "\n", "\0", "\t", "\\", "\xHH") back to bytes.
inline std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == '0')
            out += '\0';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

struct TraceEvent {
    qint64 ms;      // when this side read it, from the start of the process
    bool fromLink;  // "rx": the simulator received it from the link
    std::string bytes;
};

class SimProcess {
  public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess() { stop(); }

    // Starts the simulator with these arguments and waits for its "ready" line. False (with
    // error() saying why) when it is not built, does not start or never gets ready.
    bool start(const QStringList& args, int timeoutMs = 5000) {
        if (!QFile::exists(binary())) return fail(binary().toStdString() + " is not built");
        clock_.start();
        proc_.start(binary(), args);
        if (!proc_.waitForStarted(timeoutMs)) return fail("the simulator did not start");
        QElapsedTimer t;
        t.start();
        while (ready_.empty() && t.elapsed() < timeoutMs && proc_.state() == QProcess::Running) {
            proc_.waitForReadyRead(50);
            pump();
        }
        pump();
        if (ready_.empty()) return fail("the simulator did not get ready: " + stdout_ + stderr_);
        return true;
    }
    const std::string& error() const { return error_; }
    // "instrument-sim ready: pty PATH -> /dev/pts/N" or "... ready: tcp ADDR:PORT".
    const std::string& readyLine() const { return ready_; }
    // The port of a TCP simulator (0 when it serves a pseudo-terminal).
    uint16_t tcpPort() const {
        std::smatch m;
        if (!std::regex_search(ready_, m, std::regex(R"(ready: tcp [^ ]*:([0-9]+))"))) return 0;
        return static_cast<uint16_t>(std::stoi(m[1].str()));
    }

    // Takes what the simulator has written so far (never waits).
    void pump() {
        stdout_ += proc_.readAllStandardOutput().toStdString();
        size_t nl;
        while ((nl = stdout_.find('\n')) != std::string::npos) {
            std::string line = stdout_.substr(0, nl);
            stdout_.erase(0, nl + 1);
            if (ready_.empty() && line.find(" ready: ") != std::string::npos) ready_ = line;
            output_.push_back(std::move(line));
        }
        stderr_ += proc_.readAllStandardError().toStdString();
        while ((nl = stderr_.find('\n')) != std::string::npos) {
            const std::string line = stderr_.substr(0, nl);
            stderr_.erase(0, nl + 1);
            if (line.rfind("rx ", 0) == 0)
                events_.push_back({clock_.elapsed(), true, unescape(line.substr(3))});
            if (line.rfind("tx ", 0) == 0)
                events_.push_back({clock_.elapsed(), false, unescape(line.substr(3))});
        }
    }
    // Runs the caller's event loop for ms, collecting the simulator's output meanwhile.
    void run(int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            proc_.waitForReadyRead(2);
            pump();
        }
    }
    // Runs the event loop until cond() holds or ms have passed; the result of cond().
    template <class F>
    bool runUntil(F cond, int ms) {
        QElapsedTimer t;
        t.start();
        while (!cond()) {
            if (t.elapsed() > ms) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            proc_.waitForReadyRead(2);
            pump();
        }
        return true;
    }

    // One control command on the simulator's standard input; its answer line ("ok ..." or
    // "error: ..."), or "" when none came in time. The event loop keeps running meanwhile.
    std::string control(const QString& command, int timeoutMs = 3000) {
        const size_t seen = output_.size();
        proc_.write(command.toUtf8() + "\n");
        proc_.waitForBytesWritten(1000);
        std::string answer;
        runUntil(
            [&] {
                for (size_t i = seen; i < output_.size(); ++i)
                    if (output_[i].rfind("ok", 0) == 0 || output_[i].rfind("error", 0) == 0) {
                        answer = output_[i];
                        return true;
                    }
                return false;
            },
            timeoutMs);
        return answer;
    }

    // Runs the event loop until a line of standard output from line `from` on contains text.
    bool waitForOutput(const std::string& text, size_t from, int timeoutMs = 3000) {
        const size_t seen = from;
        return runUntil(
            [&] {
                for (size_t i = seen; i < output_.size(); ++i)
                    if (output_[i].find(text) != std::string::npos) return true;
                return false;
            },
            timeoutMs);
    }
    // "drop", then waits until the simulator serves its new link.
    bool drop() {
        const size_t from = output_.size();
        return control("drop").rfind("ok", 0) == 0 && waitForOutput("link dropped", from);
    }

    const std::vector<TraceEvent>& events() const { return events_; }
    void clearEvents() { events_.clear(); }
    // What the simulator received from the link, one entry per command with its line end.
    std::vector<TraceEvent> received() const {
        std::vector<TraceEvent> out;
        for (const auto& e : events_)
            if (e.fromLink) out.push_back(e);
        return out;
    }
    // Lines of its standard output (control answers and notices), oldest first.
    const std::vector<std::string>& output() const { return output_; }

    // Asks it to quit; kills it when it does not.
    void stop() {
        if (proc_.state() == QProcess::NotRunning) return;
        proc_.write("quit\n");
        if (!proc_.waitForFinished(3000)) proc_.kill();
        proc_.waitForFinished(1000);
    }
    QProcess& process() { return proc_; }

  private:
    bool fail(std::string why) {
        error_ = std::move(why);
        return false;
    }

    QProcess proc_;
    QElapsedTimer clock_;
    std::string stdout_, stderr_, ready_, error_;
    std::vector<std::string> output_;
    std::vector<TraceEvent> events_;
};

}  // namespace simproc
