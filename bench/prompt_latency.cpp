// prompt_latency: sits between the program and the simulated instrument, passes every byte on
// unchanged, and measures how long the program takes from an instrument prompt (">") to the
// next queued command on the wire. Once the program's log shows its first live tick, it presses
// Stop and Reset in turn through the program's test-control socket (each press queues a burst
// of commands that go out one prompt after another) and prints the median and the 95th
// percentile of the prompt-to-command times. bench/program_latency.sh runs it per transport.
//
//   prompt_latency --program-pty LINK | --program-tcp ADDR:PORT
//                  --sim-pty PATH | --sim-tcp ADDR:PORT
//                  --control SOCKET --log FILE [--presses N] [--label NAME]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "prompt_latency: %s\n", what.c_str());
    std::exit(1);
}

void makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

sockaddr_in parseAddr(const std::string& addrPort) {
    const auto colon = addrPort.rfind(':');
    if (colon == std::string::npos) fail("address without a port: " + addrPort);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(addrPort.substr(colon + 1))));
    if (inet_pton(AF_INET, addrPort.substr(0, colon).c_str(), &a.sin_addr) != 1)
        fail("bad address " + addrPort);
    return a;
}

void noDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool writeAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EAGAIN) {
            pollfd q{fd, POLLOUT, 0};
            ::poll(&q, 1, 100);
            continue;
        }
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// One line to the program's test-control socket; its answer.
std::string control(const std::string& path, const std::string& line) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return {};
    }
    const std::string out = line + "\n";
    writeAll(fd, out.data(), out.size());
    std::string answer;
    char c;
    pollfd q{fd, POLLIN, 0};
    while (::poll(&q, 1, 3000) > 0 && ::read(fd, &c, 1) == 1 && c != '\n') answer += c;
    ::close(fd);
    return answer;
}

bool logHas(const std::string& path, const std::string& text) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str().find(text) != std::string::npos;
}

struct Options {
    std::string programPty, programTcp, simPty, simTcp, controlPath, logPath, label = "link";
    int presses = 20;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--program-pty")
            o.programPty = v;
        else if (k == "--program-tcp")
            o.programTcp = v;
        else if (k == "--sim-pty")
            o.simPty = v;
        else if (k == "--sim-tcp")
            o.simTcp = v;
        else if (k == "--control")
            o.controlPath = v;
        else if (k == "--log")
            o.logPath = v;
        else if (k == "--presses")
            o.presses = std::stoi(v);
        else if (k == "--label")
            o.label = v;
        else
            fail("unknown option " + k);
    }
    if ((o.programPty.empty() == o.programTcp.empty()) || (o.simPty.empty() == o.simTcp.empty()) ||
        o.controlPath.empty() || o.logPath.empty())
        fail("usage: see the header of bench/prompt_latency.cpp");
    return o;
}

// Follows the program's commands: a command starts at its first byte and ends at its CR.
struct CommandWatch {
    std::string text;
    bool inCommand = false;
    Clock::time_point start;
    std::optional<Clock::time_point> promptAtStart;
    int telnetSkip = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);

    // The program's side.
    int progListen = -1, prog = -1;
    if (!o.programPty.empty()) {
        prog = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (prog < 0 || grantpt(prog) != 0 || unlockpt(prog) != 0) fail("no pseudo-terminal");
        makeRaw(prog);
        ::unlink(o.programPty.c_str());
        if (::symlink(ptsname(prog), o.programPty.c_str()) != 0) fail("cannot link " + o.programPty);
    } else {
        progListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(progListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in a = parseAddr(o.programTcp);
        if (::bind(progListen, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(progListen, 2) != 0)
            fail("cannot listen on " + o.programTcp);
    }
    // The simulator's side.
    int sim = -1;
    if (!o.simPty.empty()) {
        sim = ::open(o.simPty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (sim < 0) fail("cannot open " + o.simPty);
        makeRaw(sim);
    } else {
        sim = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = parseAddr(o.simTcp);
        if (::connect(sim, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
            fail("cannot reach " + o.simTcp);
        noDelay(sim);
    }
    std::printf("prompt_latency ready\n");
    std::fflush(stdout);

    std::optional<Clock::time_point> lastPrompt;
    CommandWatch watch;
    std::vector<double> samples;
    bool live = false;
    int pressed = 0;
    const auto startedAt = Clock::now();
    auto nextCheck = Clock::now();
    auto nextPress = Clock::time_point::max();
    char buf[4096];
    while (pressed < o.presses || Clock::now() < nextPress) {
        const auto now = Clock::now();
        if (!live && now >= nextCheck) {
            live = logHas(o.logPath, "#main: setMode(): mode=2; current mode=0");
            nextCheck = now + std::chrono::milliseconds(100);
            if (live) nextPress = now + std::chrono::milliseconds(1500);
            if (!live && now - startedAt > std::chrono::seconds(60)) fail("the program never went live");
        }
        if (live && now >= nextPress && pressed < o.presses) {
            // Only prompts after the press count: a burst's first command waits for nothing.
            lastPrompt.reset();
            if (control(o.controlPath, "menu StopReset1") != "ok") fail("the program refused the press");
            ++pressed;
            nextPress = Clock::now() + std::chrono::milliseconds(1500);
        } else if (live && now >= nextPress) {
            break;
        }

        pollfd fds[2];
        nfds_t n = 0;
        fds[n++] = {sim, POLLIN, 0};
        const int progFd = prog >= 0 ? prog : progListen;
        fds[n++] = {progFd, POLLIN, 0};
        if (::poll(fds, n, 20) <= 0) continue;
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            const ssize_t r = ::read(sim, buf, sizeof buf);
            if (r == 0 && o.simPty.empty()) fail("the simulator closed the connection");
            if (r > 0 && prog >= 0) {
                writeAll(prog, buf, static_cast<size_t>(r));
                if (std::memchr(buf, '>', static_cast<size_t>(r))) lastPrompt = Clock::now();
            }
        }
        if (!(fds[1].revents & (POLLIN | POLLHUP))) continue;
        if (prog < 0) {
            prog = ::accept4(progListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (prog >= 0) noDelay(prog);
            continue;
        }
        const ssize_t r = ::read(prog, buf, sizeof buf);
        const auto got = Clock::now();
        if (r <= 0) {
            if (progListen >= 0 && r == 0) {  // the program reconnects
                ::close(prog);
                prog = -1;
            }
            continue;
        }
        writeAll(sim, buf, static_cast<size_t>(r));
        for (ssize_t i = 0; i < r; ++i) {
            const auto b = static_cast<unsigned char>(buf[i]);
            if (watch.telnetSkip > 0) {
                --watch.telnetSkip;
                continue;
            }
            if (b == 255) {  // a telnet answer of the program's network layer: no command
                watch.telnetSkip = 2;
                continue;
            }
            if (b == '\r') {
                if (watch.inCommand && pressed > 0 && watch.promptAtStart && !watch.text.empty() &&
                    watch.text[0] != '?')
                    samples.push_back(
                        std::chrono::duration<double, std::micro>(watch.start - *watch.promptAtStart)
                            .count());
                watch.inCommand = false;
                watch.text.clear();
                continue;
            }
            if (b == 0 || b == '\n') continue;
            if (!watch.inCommand) {
                watch.inCommand = true;
                watch.start = got;
                watch.promptAtStart = lastPrompt;
                lastPrompt.reset();  // one prompt releases one command
            }
            watch.text += static_cast<char>(b);
        }
    }

    if (samples.empty()) fail("no prompt was followed by a queued command");
    std::sort(samples.begin(), samples.end());
    const double median = samples[samples.size() / 2];
    const double p95 = samples[std::min(samples.size() - 1, samples.size() * 95 / 100)];
    std::printf("%s: %zu commands after a prompt: median %.3f ms, 95th percentile %.3f ms\n", o.label.c_str(),
                samples.size(), median / 1000, p95 / 1000);
    return 0;
}
