// A serial port belongs to one holder: a pseudo-terminal that another process holds exclusively
// opens as "device already open" (also for a privileged user), the availability probe still
// finds it and leaves its line settings alone, and our own open keeps others out until it closes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "ports/ZpComPort.h"
#include "ports/ZpPortSelect.h"
#include "support/TempEnv.h"

namespace {

// A child process that opens the slave exclusively at 9600 baud and holds it until released.
class OtherHolder {
  public:
    explicit OtherHolder(const std::string& path) {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
            termios t{};
            tcgetattr(fd, &t);
            cfsetspeed(&t, B9600);
            tcsetattr(fd, TCSANOW, &t);
            const char ok = (fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0) ? 'y' : 'n';
            (void)!::write(ready[1], &ok, 1);
            char c;
            (void)!::read(release[0], &c, 1);
            ::ioctl(fd, TIOCNXCL);
            _exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char c = 'n';
        held_ = ::read(ready[0], &c, 1) == 1 && c == 'y';
        ::close(ready[0]);
    }
    ~OtherHolder() {
        if (release_ >= 0) ::close(release_);
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }
    bool held() const { return held_; }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool held_ = false;
};

speed_t speedOf(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    return cfgetospeed(&t);
}

TEST(SerialExclusive, APortHeldElsewhereIsPresentButOpensAsAlreadyOpen) {
    TempEnv env;
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    {
        OtherHolder other(name);
        ASSERT_TRUE(other.held());
        EXPECT_TRUE(IsPortAvailable(std::string(name)));
        EXPECT_EQ(speedOf(slave), B9600) << "the probe changed the holder's line settings";
        TZpComPort port;
        port.SetComDevice(name);
        try {
            port.SetOpen(true);
            ADD_FAILURE() << "opened a port held by another process";
        } catch (const EAlreadyOpen& e) {
            EXPECT_STREQ(e.what(), "ie_Open - device already open");
        }
        EXPECT_FALSE(port.GetOpen());
        EXPECT_EQ(speedOf(slave), B9600);
    }
    // Released: ours, exclusively, while open; free again once closed.
    TZpComPort port;
    port.SetComDevice(name);
    port.SetOpen(true);
    ASSERT_TRUE(port.GetOpen());
    int exclusive = 0;
    EXPECT_EQ(ioctl(slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    port.SetOpen(false);
    EXPECT_EQ(ioctl(slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(slave);
    ::close(master);
}

}  // namespace
