// instrument-sim: a simulated instrument that a person or a test connects the program to, over a
// pseudo-terminal (the serial and USB paths) or TCP (with telnet handling). It runs the Simulator
// in real time times a speed factor and takes control commands on stdin and on a Unix socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/LocalSocket.h"
#include "tools/instrument-sim/SimText.h"
#include "tools/instrument-sim/Simulator.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
// Bytes a flood keeps queued for the peer.
constexpr size_t kFloodQueue = 256 * 1024;
void onSignal(int) {
    gStop = 1;
}

const char* kUsage =
    "usage: instrument-sim (--pty PATH | --tcp ADDR:PORT) [options]\n"
    "  --pty PATH        serve on a pseudo-terminal whose slave PATH links to (serial and USB paths)\n"
    "  --tcp ADDR:PORT   serve one TCP client at a time, with telnet handling; port 0 picks a free port\n"
    "  --single-pump     the instrument has no second pump\n"
    "  --speed F         model time runs F times real time (default 1)\n"
    "  --log FILE        write every received command, exact bytes escaped, one per line\n"
    "  --control PATH    accept control commands on a Unix socket (one line each, one answer line)\n"
    "  --serial N, --firmware TEXT, --cpld TEXT, --reduced-query   identity of the instrument\n"
    "  --valve-settle MS time a valve takes to reach a commanded position (default 1500)\n"
    "  --seed N          seed of the random bytes of \"garbage\"\n"
    "  --verbose         print received commands and sent replies on stderr\n"
    "Control commands are also read from stdin; answers go to stdout. Type \"help\" for the list.\n";

int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void setNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Writes what the descriptor takes now; the rest stays in the buffer.
bool flushTo(int fd, std::string& buf) {
    while (!buf.empty()) {
        ssize_t n = ::write(fd, buf.data(), buf.size());
        if (n > 0) {
            buf.erase(0, size_t(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return true;
        } else {
            return false;
        }
    }
    return true;
}

// Both transports: a descriptor to watch, bytes to deliver, and a way to drop the connection.
class Link {
  public:
    virtual ~Link() = default;
    virtual void addFds(std::vector<pollfd>& fds) = 0;
    virtual void handle(const std::vector<pollfd>& fds) = 0;
    virtual void send(const std::string& bytes) = 0;
    virtual void drop() = 0;
    // Bytes queued for the peer and not yet taken.
    virtual size_t backlog() const = 0;
    bool quiet = false;  // sent bytes are not traced (a flood)
};

class PtyLink : public Link {
  public:
    PtyLink(zsim::Simulator& sim, std::string path, bool verbose)
        : sim_(sim), path_(std::move(path)), verbose_(verbose) {
        sim_.termiosQuery = [this] {
            termios t{};
            if (slave_ < 0 || tcgetattr(slave_, &t) != 0) return std::string("unknown");
            return zsim::describeTermios(t);
        };
    }
    ~PtyLink() override {
        closeAll();
        ::unlink(path_.c_str());
    }

    bool open(std::string& error) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        setNonBlocking(master_);
        const char* name = ptsname(master_);
        if (!name) {
            error = "cannot name the pseudo-terminal";
            return false;
        }
        slaveName_ = name;
        // Our own slave descriptor keeps the line alive while the program closes and reopens it,
        // and lets "termios?" read the settings the program made.
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (slave_ < 0) {
            error = std::string("cannot open ") + name + ": " + std::strerror(errno);
            return false;
        }
        // No echo: a line without raw mode must not send our replies back to us.
        termios t{};
        if (tcgetattr(slave_, &t) == 0) {
            t.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL);
            tcsetattr(slave_, TCSANOW, &t);
        }
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            error = path_ + " exists and is not a symbolic link";
            return false;
        }
        std::string tmp = path_ + ".new";
        ::unlink(tmp.c_str());
        if (::symlink(name, tmp.c_str()) != 0 || ::rename(tmp.c_str(), path_.c_str()) != 0) {
            error = "cannot link " + path_ + " to " + name + ": " + std::strerror(errno);
            ::unlink(tmp.c_str());
            return false;
        }
        sim_.linkOpened();
        return true;
    }
    const std::string& slaveName() const { return slaveName_; }

    void addFds(std::vector<pollfd>& fds) override {
        fds.push_back({master_, short(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0});
    }
    void handle(const std::vector<pollfd>& fds) override {
        releaseDeadClaim();
        for (const pollfd& p : fds) {
            if (p.fd != master_ || !p.revents) continue;
            char buf[4096];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) sim_.receive(std::string_view(buf, size_t(n)));
            flushTo(master_, out_);
        }
    }
    void send(const std::string& bytes) override {
        if (bytes.empty()) return;
        if (verbose_ && !quiet) std::fprintf(stderr, "tx %s\n", zsim::escapeBytes(bytes).c_str());
        out_ += bytes;
        if (out_.size() > (1u << 20))
            out_.erase(0, out_.size() - (1u << 20));  // nobody reads: keep the newest
        flushTo(master_, out_);
    }
    size_t backlog() const override { return out_.size(); }
    // Hangs up the pseudo-terminal and serves a new one at the same path.
    void drop() override {
        closeAll();
        std::string error;
        if (!open(error)) {
            std::fprintf(stderr, "instrument-sim: %s\n", error.c_str());
            gStop = 1;
            return;
        }
        std::printf("instrument-sim: link dropped; pty %s -> %s\n", path_.c_str(), slaveName_.c_str());
        std::fflush(stdout);
    }

  private:
    // A program claims the tty with its exclusive flag and holds a lock beside it. Our own
    // descriptor keeps the tty alive after the program's last close, and with it the flag,
    // which a real adapter loses with its last close: a flag whose lock has gone belongs to a
    // holder that ended without releasing it (killed, crashed), and is cleared.
    void releaseDeadClaim() {
        const int64_t now = monotonicMs();
        if (slave_ < 0 || now - lastClaimCheck_ < 200) return;
        lastClaimCheck_ = now;
        int exclusive = 0;
        if (ioctl(slave_, TIOCGEXCL, &exclusive) != 0 || !exclusive) return;
        if (flock(slave_, LOCK_EX | LOCK_NB) != 0) return;  // its holder is alive
        flock(slave_, LOCK_UN);
        ioctl(slave_, TIOCNXCL);
        std::printf("instrument-sim: cleared the claim a closed holder left on %s\n", path_.c_str());
        std::fflush(stdout);
    }
    void closeAll() {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
        slave_ = master_ = -1;
        out_.clear();
    }
    zsim::Simulator& sim_;
    std::string path_;
    bool verbose_;
    std::string slaveName_;
    int master_ = -1;
    int slave_ = -1;
    int64_t lastClaimCheck_ = 0;
    std::string out_;
};

class TcpLink : public Link {
  public:
    TcpLink(zsim::Simulator& sim, bool verbose) : sim_(sim), verbose_(verbose) {}
    ~TcpLink() override {
        closeClient();
        if (listen_ >= 0) ::close(listen_);
    }

    bool open(const std::string& where, std::string& error) {
        size_t colon = where.rfind(':');
        if (colon == std::string::npos) return error = "--tcp needs ADDR:PORT", false;
        std::string addr = where.substr(0, colon), portText = where.substr(colon + 1);
        char* end = nullptr;
        long port = std::strtol(portText.c_str(), &end, 10);
        if (portText.empty() || *end || port < 0 || port > 65535)
            return error = "bad port: " + portText, false;
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(uint16_t(port));
        if (addr == "*" || addr.empty()) addr = "0.0.0.0";
        if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1)
            return error = "bad IPv4 address: " + addr, false;
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(listen_, 4) != 0) {
            error = "cannot listen on " + where + ": " + std::strerror(errno);
            return false;
        }
        setNonBlocking(listen_);
        socklen_t len = sizeof sa;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
        bound_ = std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
        return true;
    }
    const std::string& bound() const { return bound_; }

    void addFds(std::vector<pollfd>& fds) override {
        fds.push_back({listen_, POLLIN, 0});
        if (client_ >= 0) fds.push_back({client_, short(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0});
    }
    void handle(const std::vector<pollfd>& fds) override {
        for (const pollfd& p : fds) {
            if (!p.revents) continue;
            if (p.fd == listen_) {
                int c = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (c < 0) continue;
                // One client at a time: a reconnecting program replaces its old connection.
                closeClient();
                client_ = c;
                telnet_.reset();
                sim_.linkOpened();
                if (verbose_) std::fprintf(stderr, "instrument-sim: client connected\n");
            } else if (p.fd == client_) {
                char buf[4096];
                ssize_t n = ::read(client_, buf, sizeof buf);
                if (n > 0) {
                    std::string replies;
                    std::string data = telnet_.decode(std::string_view(buf, size_t(n)), replies);
                    out_ += replies;
                    sim_.receive(data);
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    if (verbose_) std::fprintf(stderr, "instrument-sim: client closed the connection\n");
                    closeClient();
                    sim_.linkOpened();
                    continue;
                }
                if (!flushTo(client_, out_)) closeClient();
            }
        }
    }
    void send(const std::string& bytes) override {
        if (bytes.empty() || client_ < 0) return;
        if (verbose_ && !quiet) std::fprintf(stderr, "tx %s\n", zsim::escapeBytes(bytes).c_str());
        out_ += zsim::TelnetFilter::encode(bytes);
        if (!flushTo(client_, out_)) closeClient();
    }
    size_t backlog() const override { return client_ < 0 ? SIZE_MAX : out_.size(); }
    void drop() override {
        closeClient();
        std::printf("instrument-sim: link dropped\n");
        std::fflush(stdout);
    }

  private:
    void closeClient() {
        if (client_ >= 0) ::close(client_);
        client_ = -1;
        out_.clear();
    }
    zsim::Simulator& sim_;
    bool verbose_;
    int listen_ = -1;
    int client_ = -1;
    std::string bound_;
    std::string out_;
    zsim::TelnetFilter telnet_;
};

// A line-based control client: stdin/stdout or one connection of the control socket.
struct ControlClient {
    int in = -1;
    int out = -1;
    std::string buf;
    bool closed = false;
};

}  // namespace

int main(int argc, char** argv) {
    std::string ptyPath, tcpSpec, logPath, controlPath;
    zsim::InstrumentConfig config;
    double speed = 1.0;
    bool verbose = false;
    unsigned seed = 12345;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* what) -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "instrument-sim: %s needs a value\n%s", what, kUsage);
                std::exit(2);
            }
            return argv[++i];
        };
        auto numberArg = [&](const char* what, double lo, double hi) {
            std::string v = value(what);
            char* end = nullptr;
            double d = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(d >= lo && d <= hi)) {
                std::fprintf(stderr, "instrument-sim: bad value for %s: %s\n", what, v.c_str());
                std::exit(2);
            }
            return d;
        };
        if (a == "--pty")
            ptyPath = value("--pty");
        else if (a == "--tcp")
            tcpSpec = value("--tcp");
        else if (a == "--log")
            logPath = value("--log");
        else if (a == "--control")
            controlPath = value("--control");
        else if (a == "--single-pump")
            config.singlePump = true;
        else if (a == "--reduced-query")
            config.reducedQuery = true;
        else if (a == "--speed")
            speed = numberArg("--speed", 0.001, 1000);
        else if (a == "--serial")
            config.serialNumber = uint32_t(numberArg("--serial", 0, 4294967295.0));
        else if (a == "--firmware")
            config.firmware = value("--firmware");
        else if (a == "--cpld")
            config.cpld = value("--cpld");
        else if (a == "--valve-settle")
            config.valveSettleMs = int64_t(numberArg("--valve-settle", 0, 600000));
        else if (a == "--seed")
            seed = unsigned(numberArg("--seed", 0, 4294967295.0));
        else if (a == "--verbose" || a == "-v")
            verbose = true;
        else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "instrument-sim: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (ptyPath.empty() == tcpSpec.empty()) {
        std::fprintf(stderr, "instrument-sim: give exactly one of --pty and --tcp\n%s", kUsage);
        return 2;
    }
    for (const std::string* t : {&config.firmware, &config.cpld}) {
        if (t->empty() || t->find_first_of(",\r\n") != std::string::npos) {
            std::fprintf(stderr,
                         "instrument-sim: identity texts must not be empty or hold commas or line ends\n");
            return 2;
        }
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    // Started in the background of a terminal, it reads no control from it instead of stopping.
    std::signal(SIGTTIN, SIG_IGN);

    zsim::Simulator sim(config);
    sim.setSpeed(speed);
    sim.responder().seed(seed);

    FILE* log = nullptr;
    if (!logPath.empty()) {
        log = std::fopen(logPath.c_str(), "w");
        if (!log) {
            std::fprintf(stderr, "instrument-sim: cannot write %s: %s\n", logPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    sim.responder().onCommand = [&](std::string_view bytes) {
        std::string e = zsim::escapeBytes(bytes);
        if (log) {
            std::fprintf(log, "%s\n", e.c_str());
            std::fflush(log);
        }
        if (verbose) std::fprintf(stderr, "rx %s\n", e.c_str());
    };

    std::unique_ptr<Link> link;
    std::string error;
    if (!ptyPath.empty()) {
        auto pty = std::make_unique<PtyLink>(sim, ptyPath, verbose);
        if (!pty->open(error)) {
            std::fprintf(stderr, "instrument-sim: %s\n", error.c_str());
            return 1;
        }
        std::printf("instrument-sim ready: pty %s -> %s\n", ptyPath.c_str(), pty->slaveName().c_str());
        link = std::move(pty);
    } else {
        auto tcp = std::make_unique<TcpLink>(sim, verbose);
        if (!tcp->open(tcpSpec, error)) {
            std::fprintf(stderr, "instrument-sim: %s\n", error.c_str());
            return 1;
        }
        std::printf("instrument-sim ready: tcp %s\n", tcp->bound().c_str());
        link = std::move(tcp);
    }

    localsocket::Listener control;
    if (!controlPath.empty()) {
        // Mode 0600 whatever the umask; a file already at the path is not ours to remove.
        std::string error;
        if (!localsocket::listenPrivate(controlPath, 4, true, control, error)) {
            std::fprintf(stderr, "instrument-sim: control socket: %s\n", error.c_str());
            return 1;
        }
    }
    const int controlListen = control.fd;
    std::fflush(stdout);

    std::vector<ControlClient> clients;
    clients.push_back({STDIN_FILENO, STDOUT_FILENO, {}, false});

    int64_t last = monotonicMs();
    double carry = 0.0;
    while (!gStop && !sim.quitRequested()) {
        std::vector<pollfd> fds;
        link->addFds(fds);
        size_t controlStart = fds.size();
        if (controlListen >= 0) fds.push_back({controlListen, POLLIN, 0});
        for (const ControlClient& c : clients)
            if (!c.closed) fds.push_back({c.in, POLLIN, 0});
        // A flood keeps the link's queue topped up: no waiting while it has room.
        const bool floodRoom = sim.flooding() && link->backlog() < kFloodQueue;
        int n = ::poll(fds.data(), fds.size(), floodRoom ? 0 : 10);
        if (n < 0 && errno != EINTR) break;

        std::vector<pollfd> linkFds(fds.begin(), fds.begin() + long(controlStart));
        link->handle(linkFds);

        for (size_t k = controlStart; k < fds.size(); ++k) {
            const pollfd& p = fds[k];
            if (!p.revents) continue;
            if (p.fd == controlListen) {
                int c = ::accept4(controlListen, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) clients.push_back({c, c, {}, false});
                continue;
            }
            for (ControlClient& c : clients) {
                if (c.closed || c.in != p.fd) continue;
                char buf[1024];
                ssize_t r = ::read(c.in, buf, sizeof buf);
                if (r <= 0) {
                    c.closed = true;
                    if (c.in != STDIN_FILENO) ::close(c.in);
                    break;
                }
                c.buf.append(buf, size_t(r));
                size_t nl;
                while ((nl = c.buf.find('\n')) != std::string::npos) {
                    std::string line = c.buf.substr(0, nl);
                    c.buf.erase(0, nl + 1);
                    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
                    std::string answer = sim.control(line) + "\n";
                    // Answers are short; a blocking write keeps them whole and in order.
                    (void)!::write(c.out, answer.data(), answer.size());
                }
                if (c.buf.size() > 4096) c.buf.clear();  // not a control line
                break;
            }
        }
        // Closed socket clients go; stdin stays marked closed.
        for (size_t k = clients.size(); k-- > 1;)
            if (clients[k].closed) clients.erase(clients.begin() + long(k));

        int64_t now = monotonicMs();
        if (sim.flooding()) {
            const size_t queued = link->backlog();
            link->quiet = true;
            link->send(sim.flood(now - last, queued < kFloodQueue ? kFloodQueue - queued : 0));
            link->quiet = false;
        }
        carry += double(now - last) * sim.speed();
        last = now;
        int64_t whole = int64_t(std::floor(carry));
        carry -= double(whole);
        sim.advance(whole);  // also with 0: releases due replies and completes the log entry
        if (sim.takeDropRequest()) {
            sim.takeOutput();
            link->drop();
        }
        link->send(sim.takeOutput());
    }

    sim.advance(0);  // the last command reaches the log
    link.reset();
    for (ControlClient& c : clients)
        if (!c.closed && c.in != STDIN_FILENO) ::close(c.in);
    localsocket::closeAndRemove(control);
    if (log) std::fclose(log);
    return 0;
}
