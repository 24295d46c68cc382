// Test peers for the network port: a plain listening socket on a loopback address, blocking
// helpers with time limits, and a pump that runs the Qt event loop until a condition holds.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdint>
#include <string>

namespace netpeer {

// Runs the event loop until cond() holds or timeoutMs passed (real time).
template <class F>
bool pumpUntil(F cond, int timeoutMs = 3000) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ::usleep(200);
    }
    return true;
}

inline void pumpFor(int ms) {
    pumpUntil([] { return false; }, ms);
}

class Listener {
  public:
    explicit Listener(const char* addr = "127.0.0.1", uint16_t port = 0) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, addr, &a.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 5) != 0) {
            ::close(fd);
            fd = -1;
            return;
        }
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        this->port = ntohs(a.sin_port);
    }
    ~Listener() {
        if (fd >= 0) ::close(fd);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    // A waiting client, or -1 (does not pump events).
    int acceptNow(int timeoutMs = 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return -1;
        int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
            int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        return c;
    }
    // Pumps events until a client connects.
    int accept(int timeoutMs = 3000) {
        int c = -1;
        pumpUntil([&] { return (c = acceptNow()) >= 0; }, timeoutMs);
        return c;
    }
    int fd = -1;
    uint16_t port = 0;
};

inline void writeAll(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

// What fd holds right now (no waiting).
inline std::string readNow(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// Pumps events while collecting from fd until at least n bytes arrived.
inline std::string readAtLeast(int fd, size_t n, int timeoutMs = 3000) {
    std::string out;
    pumpUntil(
        [&] {
            out += readNow(fd);
            return out.size() >= n;
        },
        timeoutMs);
    return out;
}

// Blocking read of exactly n bytes without pumping (for peer threads).
inline bool readExact(int fd, std::string& out, size_t n, int timeoutMs = 3000) {
    out.clear();
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        char buf[512];
        ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (r <= 0) return false;
        out.append(buf, static_cast<size_t>(r));
    }
    return true;
}

// A loopback port that nothing listens on.
inline uint16_t closedPort() {
    Listener l;
    return l.port;  // closed again when l goes
}

}  // namespace netpeer
