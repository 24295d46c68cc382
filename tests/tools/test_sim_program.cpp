// The program instrument-sim itself, over a pseudo-terminal and over TCP on the loopback address.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Reads from fd into buf until pred(buf) holds or the time is up.
template <class Pred>
bool readUntil(int fd, std::string& buf, Pred pred, int timeoutMs = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred(buf)) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0) continue;
        char tmp[4096];
        ssize_t n = ::read(fd, tmp, sizeof tmp);
        if (n <= 0) return pred(buf);
        buf.append(tmp, size_t(n));
    }
    return true;
}

bool writeAll(int fd, const std::string& s) {
    return ::write(fd, s.data(), s.size()) == ssize_t(s.size());
}

class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        int in[2], out[2];
        EXPECT_EQ(::pipe(in), 0);
        EXPECT_EQ(::pipe(out), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::close(in[1]);
            ::close(out[0]);
            std::vector<char*> argv;
            std::string prog = SIM_PROGRAM;
            argv.push_back(prog.data());
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(prog.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~SimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(in_);
        ::close(out_);
    }
    // Waits for a stdout line that starts with one of the prefixes and returns it.
    std::string waitLine(const std::string& prefix, const std::string& other = "\x01") {
        std::string line;
        readUntil(out_, buf_, [&](const std::string& b) {
            size_t pos = 0, nl;
            while ((nl = b.find('\n', pos)) != std::string::npos) {
                if (b.compare(pos, prefix.size(), prefix) == 0 || b.compare(pos, other.size(), other) == 0) {
                    line = b.substr(pos, nl - pos);
                    buf_erase_ = nl + 1;
                    return true;
                }
                pos = nl + 1;
            }
            return false;
        });
        if (!line.empty()) buf_.erase(0, buf_erase_);
        return line;
    }
    std::string control(const std::string& cmd) {
        writeAll(in_, cmd + "\n");
        std::string answer = waitLine("ok", "error: ");
        return answer.empty() ? std::string("no answer") : answer;
    }
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string buf_;
    size_t buf_erase_ = 0;
};

std::string controlSocket(const std::string& path, const std::string& cmd) {
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(s);
        return "cannot connect";
    }
    writeAll(s, cmd + "\n");
    std::string buf;
    readUntil(s, buf, [](const std::string& b) { return b.find('\n') != std::string::npos; });
    ::close(s);
    return buf.substr(0, buf.find('\n'));
}

int openSerial(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return fd;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B19200);
    cfsetospeed(&t, B19200);
    t.c_cflag &= ~tcflag_t(PARENB | CSTOPB | CSIZE | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Sends a command and reads until the prompt that ends its answer.
std::string command(int fd, const std::string& text, const char* end = "\r") {
    writeAll(fd, text + end);
    std::string buf;
    readUntil(fd, buf,
              [](const std::string& b) { return !b.empty() && (b.back() == '>' || b.back() == '!'); });
    return buf;
}

struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/zsim-test-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string path;
};

}  // namespace

TEST(SimProgram, ServesAPseudoTerminalWithControlSocketLogAndDrop) {
    TempDir dir;
    std::string tty = dir.path + "/tty", ctl = dir.path + "/ctl", log = dir.path + "/log";
    SimProcess sim({"--pty", tty, "--control", ctl, "--log", log, "--valve-settle", "100"});
    ASSERT_NE(sim.waitLine("instrument-sim ready: pty"), "");

    int fd = openSerial(tty);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(controlSocket(ctl, "termios?"), "ok baud=19200 data=8 parity=N stop=1 raw=yes flow=none");

    std::string a = command(fd, "? 0123");
    EXPECT_NE(a.find("?0,2.14,1.07,"), std::string::npos) << a;
    EXPECT_NE(a.find("\r\n?3,"), std::string::npos) << a;
    EXPECT_EQ(a.back(), '>');
    EXPECT_EQ(command(fd, "VALVE 1 4"), ">");
    EXPECT_EQ(command(fd, "NONSENSE"), "!");
    EXPECT_EQ(controlSocket(ctl, "reject OFF"), "ok");
    EXPECT_EQ(command(fd, "OFF 0"), "!");

    // A drop hangs up this terminal; the path then leads to a fresh one.
    EXPECT_EQ(controlSocket(ctl, "drop"), "ok");
    ASSERT_NE(sim.waitLine("instrument-sim: link dropped"), "");
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 2000), 1);
    char c;
    EXPECT_LE(::read(fd, &c, 1), 0);
    ::close(fd);
    fd = openSerial(tty);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(command(fd, "FWD 0"), ">");
    ::close(fd);

    EXPECT_EQ(controlSocket(ctl, "quit"), "ok");
    int status = sim.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(tty)));

    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"? 0123\\r", "VALVE 1 4\\r", "NONSENSE\\r", "OFF 0\\r", "FWD 0\\r"}));
}
