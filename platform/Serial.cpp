#include "platform/Serial.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "platform/Registry.h"

namespace {

const char* const ComMapKey = "\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::mutex& factoryMutex() {
    static std::mutex m;
    return m;
}
SerialFactory& factory() {
    static SerialFactory f;
    return f;
}

bool iequals(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

struct BaudPair {
    uint32_t baud;
    speed_t speed;
};
const BaudPair bauds[] = {{50, B50},         {75, B75},         {110, B110},        {134, B134},
                          {150, B150},       {200, B200},       {300, B300},        {600, B600},
                          {1200, B1200},     {1800, B1800},     {2400, B2400},      {4800, B4800},
                          {9600, B9600},     {19200, B19200},   {38400, B38400},    {57600, B57600},
                          {115200, B115200}, {230400, B230400}, {460800, B460800},  {500000, B500000},
                          {576000, B576000}, {921600, B921600}, {1000000, B1000000}};

bool speedOf(uint32_t baud, speed_t& s) {
    for (auto& b : bauds)
        if (b.baud == baud) {
            s = b.speed;
            return true;
        }
    return false;
}
uint32_t baudOf(speed_t s) {
    for (auto& b : bauds)
        if (b.speed == s) return b.baud;
    return 0;
}

// A request the device has no line for (a pseudo-terminal has no modem lines) is no failure.
bool noSuchLine(int e) {
    return e == ENOTTY || e == EINVAL || e == ENOTSUP || e == EIO;
}

class TermiosDevice : public SerialDevice {
  public:
    // keepSettings: a device taken over from another layer keeps its line and flow settings.
    explicit TermiosDevice(int fd, bool keepSettings = false) : fd_(fd) {
        serial_icounter_struct c{};
        haveCounters_ = ioctl(fd_, TIOCGICOUNT, &c) == 0;
        if (haveCounters_) last_ = c;
        if (keepSettings) {
            fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
            termios t{};
            if (tcgetattr(fd_, &t) == 0) {
                if (t.c_cflag & CRTSCTS) state_.Flags |= CommState::fOutxCtsFlow | CommState::fRtsHandshake;
                if (t.c_iflag & IXON) state_.Flags |= CommState::fOutX;
                if (t.c_iflag & IXOFF) state_.Flags |= CommState::fInX;
                state_.XonChar = static_cast<char>(t.c_cc[VSTART]);
                state_.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
            }
            return;
        }
        // Raw, non-blocking, 19200 8N1 until told otherwise.
        termios t{};
        if (tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            t.c_cflag |= CLOCAL | CREAD;
            t.c_cc[VMIN] = 0;
            t.c_cc[VTIME] = 0;
            tcsetattr(fd_, TCSANOW, &t);
        }
        CommState s;
        setState(s);
    }
    ~TermiosDevice() override {
        // The driver's RS-485 keying outlives the open: the next holder gets the line as it was.
        if (rs485On_) setRs485(false);
        releaseTty(fd_);
    }
    int pollFd() const override { return fd_; }

    bool getState(CommState& s) override {
        std::lock_guard g(m_);
        termios t{};
        s = state_;
        if (tcgetattr(fd_, &t) != 0) return false;
        const uint32_t b = baudOf(cfgetospeed(&t));
        if (b) s.BaudRate = b;
        switch (t.c_cflag & CSIZE) {
            case CS5:
                s.ByteSize = 5;
                break;
            case CS6:
                s.ByteSize = 6;
                break;
            case CS7:
                s.ByteSize = 7;
                break;
            default:
                s.ByteSize = 8;
                break;
        }
        if (!(t.c_cflag & PARENB))
            s.Parity = 0;
        else if (t.c_cflag & CMSPAR)
            s.Parity = (t.c_cflag & PARODD) ? 3 : 4;
        else
            s.Parity = (t.c_cflag & PARODD) ? 1 : 2;
        if (!(t.c_cflag & CSTOPB))
            s.StopBits = 0;
        else if (s.StopBits == 0)
            s.StopBits = 2;
        return true;
    }

    bool setState(const CommState& s) override {
        std::lock_guard g(m_);
        termios t{};
        if (tcgetattr(fd_, &t) != 0) return false;
        speed_t sp;
        if (!speedOf(s.BaudRate, sp)) {
            errno = EINVAL;
            return false;
        }
        cfsetispeed(&t, sp);
        cfsetospeed(&t, sp);
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        switch (s.ByteSize) {
            case 5:
                t.c_cflag |= CS5;
                break;
            case 6:
                t.c_cflag |= CS6;
                break;
            case 7:
                t.c_cflag |= CS7;
                break;
            default:
                t.c_cflag |= CS8;
                break;
        }
        switch (s.Parity) {
            case 1:
                t.c_cflag |= PARENB | PARODD;
                break;
            case 2:
                t.c_cflag |= PARENB;
                break;
            case 3:
                t.c_cflag |= PARENB | PARODD | CMSPAR;
                break;
            case 4:
                t.c_cflag |= PARENB | CMSPAR;
                break;
            default:
                break;
        }
        if (s.StopBits != 0) t.c_cflag |= CSTOPB;
        if ((s.Flags & CommState::fOutxCtsFlow) ||
            (s.Flags & CommState::fRtsControlMask) == CommState::fRtsHandshake)
            t.c_cflag |= CRTSCTS;
        t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
        if (s.Flags & CommState::fOutX) t.c_iflag |= IXON;
        if (s.Flags & CommState::fInX) t.c_iflag |= IXOFF;
        if (s.Flags & CommState::fParity) t.c_iflag |= INPCK;
        t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
        if (tcsetattr(fd_, TCSANOW, &t) != 0) return false;
        state_ = s;
        return true;
    }

    int read(void* buf, int size) override {
        if (size <= 0) return 0;
        const ssize_t n = ::read(fd_, buf, static_cast<size_t>(size));
        if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
        return static_cast<int>(n);
    }

    int write(const void* buf, int size) override {
        if (size <= 0) return 0;
        const ssize_t n = ::write(fd_, buf, static_cast<size_t>(size));
        if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
        return static_cast<int>(n);
    }

    int inQueue() override {
        int n = 0;
        if (ioctl(fd_, FIONREAD, &n) != 0) return 0;
        return n;
    }

    uint32_t modemLines() override {
        int bits = 0;
        if (ioctl(fd_, TIOCMGET, &bits) != 0) return 0;
        uint32_t r = 0;
        if (bits & TIOCM_CTS) r |= MS_CTS_ON;
        if (bits & TIOCM_DSR) r |= MS_DSR_ON;
        if (bits & TIOCM_RNG) r |= MS_RING_ON;
        if (bits & TIOCM_CAR) r |= MS_RLSD_ON;
        return r;
    }

    uint32_t takeErrors() override {
        if (!haveCounters_) return 0;
        serial_icounter_struct c{};
        if (ioctl(fd_, TIOCGICOUNT, &c) != 0) return 0;
        std::lock_guard g(m_);
        uint32_t r = 0;
        if (c.buf_overrun != last_.buf_overrun) r |= CE_RXOVER;
        if (c.overrun != last_.overrun) r |= CE_OVERRUN;
        if (c.parity != last_.parity) r |= CE_RXPARITY;
        if (c.frame != last_.frame) r |= CE_FRAME;
        if (c.brk != last_.brk) r |= CE_BREAK;
        last_ = c;
        return r;
    }

    bool escape(int func) override {
        int rc = 0;
        int bit;
        switch (func) {
            case SETDTR:
                bit = TIOCM_DTR;
                rc = ioctl(fd_, TIOCMBIS, &bit);
                break;
            case CLRDTR:
                bit = TIOCM_DTR;
                rc = ioctl(fd_, TIOCMBIC, &bit);
                break;
            case SETRTS:
                bit = TIOCM_RTS;
                rc = ioctl(fd_, TIOCMBIS, &bit);
                break;
            case CLRRTS:
                bit = TIOCM_RTS;
                rc = ioctl(fd_, TIOCMBIC, &bit);
                break;
            case SETBREAK:
                rc = ioctl(fd_, TIOCSBRK);
                break;
            case CLRBREAK:
                rc = ioctl(fd_, TIOCCBRK);
                break;
            case SETXOFF:
                rc = tcflow(fd_, TCOOFF);
                break;
            case SETXON:
                rc = tcflow(fd_, TCOON);
                break;
            default:
                errno = EINVAL;
                return false;
        }
        return rc == 0 || noSuchLine(errno);
    }

    int outQueue() override {
        int n = 0;
        if (ioctl(fd_, TIOCOUTQ, &n) != 0) return 0;
        return n;
    }

    bool setRs485(bool on) override {
        // A line set up for RS-485 by the system stays as it was; only our own keying is undone.
        if (!on && !rs485On_) return false;
        serial_rs485 r{};
        if (ioctl(fd_, TIOCGRS485, &r) != 0) return false;
        if (on) {
            r.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
            r.flags &= ~SER_RS485_RTS_AFTER_SEND;
        } else
            r.flags &= ~SER_RS485_ENABLED;
        const bool ok = ioctl(fd_, TIOCSRS485, &r) == 0;
        if (ok) rs485On_ = on;
        return ok;
    }

    bool purge(uint32_t flags) override {
        bool ok = true;
        if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) ok &= tcflush(fd_, TCOFLUSH) == 0 || noSuchLine(errno);
        if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) ok &= tcflush(fd_, TCIFLUSH) == 0 || noSuchLine(errno);
        return ok;
    }

  private:
    int fd_;
    std::mutex m_;
    CommState state_;
    bool haveCounters_ = false;
    serial_icounter_struct last_{};
    bool rs485On_ = false;
};

int errnoToWin(int e) {
    switch (e) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return SERIAL_ERROR_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return SERIAL_ERROR_ACCESS_DENIED;
        default:
            return SERIAL_ERROR_GEN_FAILURE;
    }
}

// Natural order: prefix group, then the number at the end.
int groupOf(const std::string& n) {
    if (n.rfind("ttyS", 0) == 0) return 0;
    if (n.rfind("ttyUSB", 0) == 0) return 1;
    if (n.rfind("ttyACM", 0) == 0) return 2;
    return 3;
}
bool naturalLess(const std::string& a, const std::string& b) {
    const int ga = groupOf(a), gb = groupOf(b);
    if (ga != gb) return ga < gb;
    auto split = [](const std::string& s) {
        size_t i = s.size();
        while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) --i;
        const long num = i < s.size() ? std::stol(s.substr(i)) : -1;
        return std::make_pair(s.substr(0, i), num);
    };
    return split(a) < split(b);
}

std::string readFirstLine(const std::string& path) {
    std::ifstream f(path);
    std::string line;
    std::getline(f, line);
    return line;
}

}  // namespace

void setSerialFactory(SerialFactory f) {
    std::lock_guard g(factoryMutex());
    factory() = std::move(f);
}

int serialPortNumber(const std::string& name) {
    std::string n = name;
    if (n.rfind("\\\\.\\", 0) == 0) n = n.substr(4);
    if (n.size() < 4 || !iequals(n.substr(0, 3), "COM")) return 0;
    int v = 0;
    for (size_t i = 3; i < n.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(n[i]))) return 0;
        v = v * 10 + (n[i] - '0');
        if (v > 65535) return 0;
    }
    return v;
}

std::vector<std::pair<std::string, int>> refreshSerialComMap(const std::string& sysRoot) {
    std::vector<std::pair<std::string, int>> map;
    std::vector<std::string> found;
    if (DIR* d = opendir(sysRoot.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n == "." || n == ".." || n.rfind("tty", 0) != 0) continue;
            struct stat st {};
            // Only ttys backed by a device are serial ports (virtual consoles have none).
            if (stat((sysRoot + "/" + n + "/device").c_str(), &st) != 0) continue;
            if (n.rfind("ttyS", 0) == 0) {
                const std::string type = readFirstLine(sysRoot + "/" + n + "/type");
                if (type.empty() || type == "0") continue;  // no UART behind it
            }
            found.push_back(n);
        }
        closedir(d);
    }
    std::sort(found.begin(), found.end(), naturalLess);
    try {
        Registry reg(RegRoot::LocalMachine);
        if (!reg.openKey(ComMapKey, true)) return map;
        std::vector<int> used;
        for (const auto& v : reg.getValueNames()) {
            if (reg.getDataType(v) != RegDataType::String) continue;
            const int n = serialPortNumber(reg.readString(v));
            if (n > 0) {
                map.emplace_back(v, n);
                used.push_back(n);
            }
        }
        for (const auto& n : found) {
            const std::string path = "/dev/" + n;
            if (std::any_of(map.begin(), map.end(), [&](const auto& p) { return p.first == path; })) continue;
            int num = 1;
            while (std::find(used.begin(), used.end(), num) != used.end()) ++num;
            used.push_back(num);
            reg.writeString(path, "COM" + std::to_string(num));
            map.emplace_back(path, num);
        }
    } catch (const std::exception&) {
        // A store that cannot be read or written leaves the map as far as it got.
    }
    return map;
}

std::string serialDevicePath(const std::string& name) {
    if (name.empty()) return {};
    const int n = serialPortNumber(name);
    if (n == 0) return name;  // a path, used as it is
    auto lookup = [&]() -> std::string {
        try {
            Registry reg(RegRoot::LocalMachine);
            if (!reg.openKeyReadOnly(ComMapKey)) return {};
            for (const auto& v : reg.getValueNames()) {
                if (reg.getDataType(v) != RegDataType::String) continue;
                if (serialPortNumber(reg.readString(v)) == n) return v;
            }
        } catch (const std::exception&) {
        }
        return {};
    };
    std::string p = lookup();
    // A number not in the map: the system's list may have grown (a USB adapter plugged in).
    // Looked at again at most every two seconds, so a scan of many numbers stays cheap.
    static std::mutex m;
    static std::chrono::steady_clock::time_point last{};
    bool refresh = false;
    {
        std::lock_guard g(m);
        const auto now = std::chrono::steady_clock::now();
        if (p.empty() &&
            (last == std::chrono::steady_clock::time_point{} || now - last > std::chrono::seconds(2))) {
            last = now;
            refresh = true;
        }
    }
    if (refresh) {
        const char* root = std::getenv("ZENTROVA_SYS_TTY");
        refreshSerialComMap(root && *root ? root : "/sys/class/tty");
        p = lookup();
    }
    return p;
}

namespace {
// The tty at path, opened without touching its settings; -1 (and lastError) when it is
// missing, no tty, or claimed exclusively by another holder (also against a privileged open).
int openPathUnclaimed(const std::string& path, int& lastError) {
    if (path.empty()) {
        lastError = SERIAL_ERROR_NOT_FOUND;
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        lastError = errnoToWin(errno);
        return -1;
    }
    if (!isatty(fd)) {
        ::close(fd);
        lastError = SERIAL_ERROR_NOT_FOUND;
        return -1;
    }
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) {
        ::close(fd);
        lastError = SERIAL_ERROR_ACCESS_DENIED;
        return -1;
    }
    return fd;
}

int openUnclaimed(const std::string& name, int& lastError) {
    return openPathUnclaimed(serialDevicePath(name), lastError);
}
}  // namespace

int claimTty(const std::string& path, int& lastError) {
    lastError = 0;
    const int fd = openPathUnclaimed(path, lastError);
    if (fd < 0) return -1;
    // One holder at a time, as a serial port allows: other programs and other opens here.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        lastError = SERIAL_ERROR_ACCESS_DENIED;
        return -1;
    }
    return fd;
}

void releaseTty(int fd) {
    if (fd < 0) return;
    // The tty outlives this open (a pseudo-terminal's other side keeps it): release it.
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    ::close(fd);
}

std::unique_ptr<SerialDevice> openSerialDevice(const std::string& name, int& lastError) {
    lastError = 0;
    SerialFactory f;
    {
        std::lock_guard g(factoryMutex());
        f = factory();
    }
    if (f) {
        auto d = f(name, lastError);
        if (d || lastError != 0) return d;
    }
    const int fd = claimTty(serialDevicePath(name), lastError);
    if (fd < 0) return nullptr;
    return std::make_unique<TermiosDevice>(fd);
}

std::unique_ptr<SerialDevice> adoptSerialDevice(int fd) {
    if (fd <= 0 || !isatty(fd)) return nullptr;
    return std::make_unique<TermiosDevice>(fd, true);
}

int probeSerialDevice(const std::string& name) {
    int lastError = 0;
    bool faked = false;
    {
        std::lock_guard g(factoryMutex());
        faked = static_cast<bool>(factory());
    }
    if (faked) return openSerialDevice(name, lastError) ? 0 : lastError;
    const int fd = openUnclaimed(name, lastError);
    if (fd < 0) return lastError;
    // Only a look: no lock is kept and no line setting is touched.
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return locked ? SERIAL_ERROR_ACCESS_DENIED : 0;
}
