// Test peers for the network port: a plain listening socket on a loopback address and
// reading and writing helpers with time limits that run the Qt event loop meanwhile.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

#include "support/EventWait.h"

namespace netpeer {

// A listening socket on a loopback address (fd -1 when the address cannot be had).
struct Listener {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    uint16_t port = 0;
    explicit Listener(const char* addr = "127.0.0.1", uint16_t at = 0) {
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(at);
        ::inet_pton(AF_INET, addr, &a.sin_addr);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 5) != 0) {
            ::close(fd);
            fd = -1;
        }
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() {
        if (fd >= 0) ::close(fd);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    // A waiting client within timeoutMs, or -1; pumps events meanwhile unless told not to.
    int accept(int timeoutMs = 3000, bool pump = true) {
        pollfd p{fd, POLLIN, 0};
        if (!pump && ::poll(&p, 1, timeoutMs) <= 0) return -1;
        if (pump && !waitFor([&] { return ::poll(&p, 1, 0) > 0; }, timeoutMs)) return -1;
        const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return c;
    }
};

// A loopback port that nothing listens on.
inline uint16_t closedPort() {
    return Listener().port;
}

inline void writeAll(int fd, const std::string& s) {
    for (size_t off = 0; off < s.size();) {
        const ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

// Collects from fd until n bytes came or timeoutMs passed; pumps events unless told not to.
inline std::string readAtLeast(int fd, size_t n, int timeoutMs = 3000, bool pump = true) {
    std::string out;
    auto more = [&] {
        char buf[4096];
        for (pollfd p{fd, POLLIN, 0}; out.size() < n && ::poll(&p, 1, pump ? 0 : timeoutMs) > 0;) {
            const ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), MSG_DONTWAIT);
            if (r <= 0) return true;
            out.append(buf, static_cast<size_t>(r));
        }
        return out.size() >= n;
    };
    if (pump)
        waitFor(more, timeoutMs);
    else
        more();
    return out;
}

// A client connected to a loopback port (-1 when refused).
inline int dial(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True once the other side closed fd (within timeoutMs; pumps events meanwhile).
inline bool closedByPeer(int fd, int timeoutMs = 3000) {
    return waitFor(
        [&] {
            char c;
            const ssize_t r = ::recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
            return r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        },
        timeoutMs);
}

// What fd holds right now, without waiting.
inline std::string readNow(int fd) {
    return readAtLeast(fd, SIZE_MAX, 0, false);
}

template <class F>
bool pumpUntil(F cond, int timeoutMs = 3000) {
    return waitFor(cond, timeoutMs);
}

}  // namespace netpeer
