#include "platform/D2xx.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

#include "platform/Serial.h"

namespace fs = std::filesystem;

namespace D2xx {
namespace {

// Bytes drained from the device but not yet taken; bounded so a flood cannot grow it.
constexpr size_t kRxCap = 64 * 1024;
// Bytes written but not yet taken by the device; past this much a write is refused whole.
constexpr size_t kTxCap = 64 * 1024;

struct Device {
    int fd = -1;
    std::string path;
    std::vector<uint8_t> rx;
    size_t rxPos = 0;
    std::vector<uint8_t> tx;  // held back, in order, until the device takes it
    uint32_t readMs = 0, writeMs = 0;
};

struct State {
    std::mutex mu;
    std::map<Handle, Device> open;
    Handle nextHandle = 1;
    std::vector<DeviceInfo> list;
    bool mapSet = false;
    std::vector<std::pair<std::string, std::string>> map;
    std::string sysfsRoot = "/sys";
    std::set<std::string> failing;
    uint64_t readCalls = 0;
};

// Never destroyed: the program's static converter object may close its device at exit.
State& st() {
    static State* s = new State;
    return *s;
}

std::vector<std::pair<std::string, std::string>> parseMap(const char* text) {
    std::vector<std::pair<std::string, std::string>> out;
    if (!text) return out;
    std::string all(text);
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(';', start);
        if (end == std::string::npos) end = all.size();
        std::string item = all.substr(start, end - start);
        size_t eq = item.rfind('=');
        if (eq != std::string::npos && eq > 0 && eq + 1 < item.size())
            out.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        start = end + 1;
    }
    return out;
}

const std::vector<std::pair<std::string, std::string>>& deviceMap(State& s) {
    if (!s.mapSet) {
        s.map = parseMap(std::getenv("ZENTROVA_D2XX_MAP"));
        s.mapSet = true;
    }
    return s.map;
}

bool failing(State& s, const char* call) {
    return s.failing.count(call) != 0;
}

std::string readFirstLine(const fs::path& p) {
    std::ifstream in(p);
    std::string line;
    if (in) std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

uint32_t hexValue(const std::string& s) {
    char* end = nullptr;
    unsigned long v = std::strtoul(s.c_str(), &end, 16);
    return (end == s.c_str()) ? 0 : static_cast<uint32_t>(v & 0xFFFF);
}

int ttyNumber(const std::string& name) {
    // "ttyUSB12" -> 12
    return std::atoi(name.c_str() + 6);
}

// The kernel's USB serial converters of vendor 0x0403, in ttyUSB order, then the mapped ones.
std::vector<DeviceInfo> scan(State& s) {
    std::vector<DeviceInfo> out;
    std::error_code ec;
    fs::path ttyDir = fs::path(s.sysfsRoot) / "class" / "tty";
    std::vector<std::string> names;
    for (fs::directory_iterator it(ttyDir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string n = it->path().filename().string();
        if (n.rfind("ttyUSB", 0) == 0 && n.size() > 6) names.push_back(n);
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return ttyNumber(a) < ttyNumber(b); });
    std::string devDir = s.sysfsRoot == "/sys" ? "/dev" : s.sysfsRoot + "/dev";
    for (const auto& n : names) {
        fs::path dev = fs::canonical(ttyDir / n / "device", ec);
        if (ec) continue;
        // The USB device is the nearest ancestor that carries the vendor number.
        fs::path usb = dev;
        bool found = false;
        for (int depth = 0; depth < 6 && usb.has_parent_path() && usb != usb.root_path(); ++depth) {
            if (fs::exists(usb / "idVendor", ec)) {
                found = true;
                break;
            }
            usb = usb.parent_path();
        }
        if (!found) continue;
        uint32_t vid = hexValue(readFirstLine(usb / "idVendor"));
        if (vid != 0x0403) continue;
        DeviceInfo d;
        d.id = vid << 16 | hexValue(readFirstLine(usb / "idProduct"));
        d.description = readFirstLine(usb / "product");
        d.serialNumber = readFirstLine(usb / "serial");
        uint32_t bus = static_cast<uint32_t>(std::atoi(readFirstLine(usb / "busnum").c_str()));
        uint32_t num = static_cast<uint32_t>(std::atoi(readFirstLine(usb / "devnum").c_str()));
        d.locId = bus << 8 | (num & 0xFF);
        d.type = 5;
        d.path = devDir + "/" + n;
        out.push_back(std::move(d));
    }
    for (const auto& [desc, path] : deviceMap(s)) {
        DeviceInfo d;
        d.id = INSTRUMENT_DEVICE_ID;
        d.type = 5;
        d.description = desc;
        d.path = path;
        out.push_back(std::move(d));
    }
    for (auto& d : out)
        for (const auto& [h, o] : s.open)
            if (o.path == d.path) {
                d.flags |= 1;
                d.handle = h;
            }
    return out;
}

Device* find(State& s, Handle h) {
    auto it = s.open.find(h);
    return it == s.open.end() ? nullptr : &it->second;
}

bool speedOf(uint32_t baud, speed_t& out) {
    static const std::pair<uint32_t, speed_t> table[] = {
        {300, B300},       {1200, B1200},     {2400, B2400},     {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const auto& [b, sp] : table)
        if (b == baud) {
            out = sp;
            return true;
        }
    return false;
}

// Reads, changes and writes the line settings of an open device.
template <class F>
Status changeTermios(State& s, Handle h, const char* call, F change) {
    Device* d = find(s, h);
    if (!d) return INVALID_HANDLE;
    if (failing(s, call)) return IO_ERROR;
    termios t{};
    if (tcgetattr(d->fd, &t) != 0) return IO_ERROR;
    Status r = change(t);
    if (r != OK) return r;
    return tcsetattr(d->fd, TCSANOW, &t) == 0 ? OK : IO_ERROR;
}

// Moves what the device holds into the handle's buffer. False on a device error.
bool drain(Device& d) {
    if (d.rxPos > 0 && d.rxPos == d.rx.size()) {
        d.rx.clear();
        d.rxPos = 0;
    }
    uint8_t buf[4096];
    while (d.rx.size() - d.rxPos < kRxCap) {
        size_t room = std::min(sizeof buf, kRxCap - (d.rx.size() - d.rxPos));
        ssize_t n = ::read(d.fd, buf, room);
        if (n > 0) {
            if (d.rxPos > 0) {
                d.rx.erase(d.rx.begin(), d.rx.begin() + static_cast<std::ptrdiff_t>(d.rxPos));
                d.rxPos = 0;
            }
            d.rx.insert(d.rx.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        break;
    }
    return true;
}

// Hands the held-back bytes to the device as far as it takes them now. False on a device error.
bool flushTx(Device& d) {
    size_t done = 0;
    while (done < d.tx.size()) {
        const ssize_t n = ::write(d.fd, d.tx.data() + done, d.tx.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return false;
    }
    d.tx.erase(d.tx.begin(), d.tx.begin() + static_cast<std::ptrdiff_t>(done));
    return true;
}

}  // namespace

Status openEx(const std::string& arg, uint32_t flags, Handle* handle) {
    State& s = st();
    std::lock_guard lock(s.mu);
    if (!handle) return INVALID_PARAMETER;
    *handle = 0;
    if (flags != OPEN_BY_DESCRIPTION && flags != OPEN_BY_SERIAL_NUMBER) return INVALID_PARAMETER;
    std::string path;
    // A mapped description wins over a real device of the same name.
    if (flags == OPEN_BY_DESCRIPTION)
        for (const auto& [desc, p] : deviceMap(s))
            if (desc == arg && path.empty()) path = p;
    for (const auto& d : path.empty() ? scan(s) : std::vector<DeviceInfo>{}) {
        const std::string& key = flags == OPEN_BY_DESCRIPTION ? d.description : d.serialNumber;
        if (key == arg && !arg.empty()) {
            path = d.path;
            break;
        }
    }
    if (path.empty()) return DEVICE_NOT_FOUND;
    for (const auto& [h, o] : s.open)
        if (o.path == path) return DEVICE_NOT_OPENED;  // one owner at a time
    // Claimed as the serial port claims its tty: never a tty another holder claimed.
    int lastError = 0;
    const int fd = claimTty(path, lastError);
    if (fd < 0) return DEVICE_NOT_OPENED;
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
    }
    Handle h = s.nextHandle++;
    if (s.nextHandle == 0) s.nextHandle = 1;
    Device d;
    d.fd = fd;
    d.path = path;
    s.open.emplace(h, std::move(d));
    *handle = h;
    return OK;
}

Status setBaudRate(Handle h, uint32_t baud) {
    State& s = st();
    std::lock_guard lock(s.mu);
    return changeTermios(s, h, "setBaudRate", [&](termios& t) -> Status {
        speed_t sp;
        if (!speedOf(baud, sp)) return INVALID_BAUD_RATE;
        cfsetispeed(&t, sp);
        cfsetospeed(&t, sp);
        return OK;
    });
}

Status setDataCharacteristics(Handle h, uint8_t wordLength, uint8_t stopBits, uint8_t parity) {
    State& s = st();
    std::lock_guard lock(s.mu);
    return changeTermios(s, h, "setDataCharacteristics", [&](termios& t) -> Status {
        if ((wordLength != BITS_7 && wordLength != BITS_8) ||
            (stopBits != STOP_BITS_1 && stopBits != STOP_BITS_2) || parity > PARITY_EVEN)
            return INVALID_PARAMETER;
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
        t.c_cflag |= wordLength == BITS_8 ? CS8 : CS7;
        if (stopBits == STOP_BITS_2) t.c_cflag |= CSTOPB;
        if (parity != PARITY_NONE) t.c_cflag |= PARENB;
        if (parity == PARITY_ODD) t.c_cflag |= PARODD;
        return OK;
    });
}

Status setFlowControl(Handle h, uint16_t flow, uint8_t xon, uint8_t xoff) {
    State& s = st();
    std::lock_guard lock(s.mu);
    return changeTermios(s, h, "setFlowControl", [&](termios& t) -> Status {
        if (flow != FLOW_NONE && flow != FLOW_RTS_CTS && flow != FLOW_XON_XOFF) return INVALID_PARAMETER;
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        if (flow == FLOW_RTS_CTS) t.c_cflag |= CRTSCTS;
        if (flow == FLOW_XON_XOFF) t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = static_cast<cc_t>(xon);
        t.c_cc[VSTOP] = static_cast<cc_t>(xoff);
        return OK;
    });
}

Status purge(Handle h, uint32_t mask) {
    State& s = st();
    std::lock_guard lock(s.mu);
    Device* d = find(s, h);
    if (!d) return INVALID_HANDLE;
    if (failing(s, "purge")) return IO_ERROR;
    if ((mask & (PURGE_RX | PURGE_TX)) == 0 || (mask & ~(PURGE_RX | PURGE_TX)) != 0) return INVALID_PARAMETER;
    int which = (mask & PURGE_RX) && (mask & PURGE_TX) ? TCIOFLUSH : (mask & PURGE_RX) ? TCIFLUSH : TCOFLUSH;
    if (mask & PURGE_RX) {
        d->rx.clear();
        d->rxPos = 0;
    }
    return tcflush(d->fd, which) == 0 ? OK : IO_ERROR;
}

Status setTimeouts(Handle h, uint32_t readMs, uint32_t writeMs) {
    State& s = st();
    std::lock_guard lock(s.mu);
    Device* d = find(s, h);
    if (!d) return INVALID_HANDLE;
    if (failing(s, "setTimeouts")) return IO_ERROR;
    // Kept for the record only: reads and writes never wait on the GUI thread.
    d->readMs = readMs;
    d->writeMs = writeMs;
    return OK;
}

Status getQueueStatus(Handle h, uint32_t* rxBytes) {
    State& s = st();
    std::lock_guard lock(s.mu);
    if (!rxBytes) return INVALID_PARAMETER;
    *rxBytes = 0;
    Device* d = find(s, h);
    if (!d) return INVALID_HANDLE;
    if (failing(s, "getQueueStatus")) return IO_ERROR;
    // The device is asked only once the bytes taken from it are used up: no system call per byte.
    if (d->rxPos == d->rx.size() && !drain(*d)) return IO_ERROR;
    if (!flushTx(*d)) return IO_ERROR;
    *rxBytes = static_cast<uint32_t>(d->rx.size() - d->rxPos);
    return OK;
}

Status read(Handle h, void* buf, uint32_t count, uint32_t* got) {
    State& s = st();
    std::lock_guard lock(s.mu);
    ++s.readCalls;
    if (!got || (!buf && count)) return INVALID_PARAMETER;
    *got = 0;
    Device* d = find(s, h);
    if (!d) return INVALID_HANDLE;
    if (failing(s, "read")) return IO_ERROR;
    if (d->rx.size() - d->rxPos < count && !drain(*d)) return IO_ERROR;
    size_t n = std::min<size_t>(count, d->rx.size() - d->rxPos);
    std::memcpy(buf, d->rx.data() + d->rxPos, n);
    d->rxPos += n;
    *got = static_cast<uint32_t>(n);
    return OK;
}

Status write(Handle h, const void* buf, uint32_t count, uint32_t* written) {
    State& s = st();
    std::lock_guard lock(s.mu);
    if (!written || (!buf && count)) return INVALID_PARAMETER;
    *written = 0;
    Device* d = find(s, h);
    if (!d) return INVALID_HANDLE;
    if (failing(s, "write")) return IO_ERROR;
    // What the device does not take now is held back and goes out, in order, at the next
    // write or poll: a command is never cut. A write that cannot be held whole is refused whole.
    if (!flushTx(*d)) return IO_ERROR;
    if (d->tx.size() + count > kTxCap) return OK;
    const auto* p = static_cast<const uint8_t*>(buf);
    d->tx.insert(d->tx.end(), p, p + count);
    if (!flushTx(*d)) return IO_ERROR;
    *written = count;
    return OK;
}

Status close(Handle h) {
    State& s = st();
    std::lock_guard lock(s.mu);
    auto it = s.open.find(h);
    if (it == s.open.end()) return INVALID_HANDLE;
    flushTx(it->second);        // a last chance for what is held back
    releaseTty(it->second.fd);  // the tty may outlive this open: the next holder gets in
    s.open.erase(it);
    return OK;
}

Status createDeviceInfoList(uint32_t* count) {
    State& s = st();
    std::lock_guard lock(s.mu);
    if (!count) return INVALID_PARAMETER;
    *count = 0;
    if (failing(s, "createDeviceInfoList")) return IO_ERROR;
    s.list = scan(s);
    *count = static_cast<uint32_t>(s.list.size());
    return OK;
}

Status getDeviceInfoDetail(uint32_t index, DeviceInfo* info) {
    State& s = st();
    std::lock_guard lock(s.mu);
    if (!info) return INVALID_PARAMETER;
    if (failing(s, "getDeviceInfoDetail")) return IO_ERROR;
    if (index >= s.list.size()) return DEVICE_NOT_FOUND;
    *info = s.list[index];
    return OK;
}

void setDeviceMap(const std::vector<std::pair<std::string, std::string>>& map) {
    State& s = st();
    std::lock_guard lock(s.mu);
    s.map = map;
    s.mapSet = true;
}

void resetDeviceMap() {
    State& s = st();
    std::lock_guard lock(s.mu);
    s.map.clear();
    s.mapSet = false;
}

void setSysfsRoot(const std::string& root) {
    State& s = st();
    std::lock_guard lock(s.mu);
    s.sysfsRoot = root.empty() ? "/sys" : root;
}

void setFailingCalls(const std::vector<std::string>& calls) {
    State& s = st();
    std::lock_guard lock(s.mu);
    s.failing = std::set<std::string>(calls.begin(), calls.end());
}

uint64_t readCallCount() {
    State& s = st();
    std::lock_guard lock(s.mu);
    return s.readCalls;
}

}  // namespace D2xx
