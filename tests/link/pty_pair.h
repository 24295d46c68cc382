// A pseudo-terminal for tests: the master side plays the instrument, the slave path is what
// the USB converter library is told to open.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

class PtyPair {
  public:
    PtyPair() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || !ptsname(master_)) return;
        slave_ = ptsname(master_);
        termios t{};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && !slave_.empty(); }
    const std::string& slavePath() const { return slave_; }
    void closeMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    bool write(const std::string& s) {
        return master_ >= 0 && ::write(master_, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    }
    // What the slave side has written so far (no waiting).
    std::string readAvailable() {
        std::string out;
        char buf[4096];
        for (ssize_t n; master_ >= 0 && (n = ::read(master_, buf, sizeof buf)) > 0;)
            out.append(buf, size_t(n));
        return out;
    }
    // Reads until at least `bytes` have come or the kernel has delivered nothing for timeoutMs.
    std::string readAtLeast(size_t bytes, int timeoutMs = 2000) {
        std::string out = readAvailable();
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < bytes && std::chrono::steady_clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            ::poll(&p, 1, 10);
            out += readAvailable();
        }
        return out;
    }

  private:
    int master_ = -1;
    std::string slave_;
};
