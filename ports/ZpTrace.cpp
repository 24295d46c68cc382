// The dispatcher's two diagnostic recorders: the character trace (last N bytes sent and
// received) and the dispatch log (time-stamped entries in a circular byte queue), each
// written to a text file on request.
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Clock.h"
#include "ports/ZpDispatcher.h"
#include "ports/ZpErrors.h"

namespace {

constexpr uint32_t DLHeaderSize = 16;

struct DLHeader {
    uint8_t type = 0, subType = 0;
    uint8_t pad[2] = {0, 0};
    uint32_t time = 0, data = 0, bufLen = 0;
};
static_assert(sizeof(DLHeader) == DLHeaderSize);

// Writes items with line breaks before column 78.
class DumpWriter {
  public:
    explicit DumpWriter(FILE* f) : f_(f) {}
    void text(const std::string& s) {
        std::fputs(s.c_str(), f_);
        col_ += s.size();
    }
    void newline() {
        std::fputc('\n', f_);
        col_ = 0;
    }
    void item(const std::string& s, size_t indent) {
        if (col_ + s.size() > 78) {
            newline();
            text(std::string(indent, ' '));
        }
        text(s);
    }
    size_t col() const { return col_; }

  private:
    FILE* f_;
    size_t col_ = 0;
};

std::string byteItem(uint8_t b, bool inHex, bool allHex) {
    char buf[8];
    if (!allHex && b >= (inHex ? 0x21 : 0x20) && b <= 126) return std::string(1, static_cast<char>(b));
    if (!inHex && !allHex)
        std::snprintf(buf, sizeof buf, "[%u]", b);
    else
        std::snprintf(buf, sizeof buf, "[%02X]", b);
    return buf;
}

// A new file is its owner's only: it holds what went over the line.
FILE* openDump(const std::string& name, bool append) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0600);
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, append ? "ab" : "wb");
    if (!f) ::close(fd);
    return f;
}

std::string osText() {
    struct utsname u {};
    if (uname(&u) != 0) return "Unknown";
    return std::string(u.sysname) + " " + u.release;
}

std::string compilerText() {
#if defined(__clang__)
    return std::string("Clang ") + __clang_version__;
#elif defined(__GNUC__)
    return std::string("GCC ") + __VERSION__;
#else
    return "C++";
#endif
}

const char* statusKindName(int32_t kind) {
    static const char* names[] = {"(Not active)",         "(Modem status)",       "(Line status)",
                                  "(Output buffer free)", "(Output buffer used)", "(Output sent)"};
    return kind >= 0 && kind <= 5 ? names[kind] : "";
}

}  // namespace

// ---- trace ----
int32_t TZpBaseDispatcher::InitTracing(int32_t numEntries) {
    if (numEntries > MaxTraceEntries) return -1002;
    // An empty trace records nothing and would only divide by zero.
    if (numEntries <= 0) return -1002;
    std::lock_guard lk(dataSection_);
    if (traceQueue_.empty()) {
        traceQueue_.assign(static_cast<size_t>(numEntries) * 2, 0);
        traceMax_ = numEntries;
    }
    traceIndex_ = 0;
    traceWrapped_ = false;
    tracingOn_ = true;
    return 0;
}

void TZpBaseDispatcher::AddTraceEntry(char kind, uint8_t ch) {
    std::lock_guard lk(dataSection_);
    if (traceQueue_.empty() || traceMax_ <= 0) return;
    traceQueue_[static_cast<size_t>(traceIndex_) * 2] = static_cast<uint8_t>(kind);
    traceQueue_[static_cast<size_t>(traceIndex_) * 2 + 1] = ch;
    if (++traceIndex_ >= traceMax_) {
        traceIndex_ = 0;
        traceWrapped_ = true;
    }
}

void TZpBaseDispatcher::StartTracing() {
    std::lock_guard lk(dataSection_);
    if (!traceQueue_.empty()) tracingOn_ = true;
}
void TZpBaseDispatcher::StopTracing() {
    std::lock_guard lk(dataSection_);
    tracingOn_ = false;
}
void TZpBaseDispatcher::ClearTracing() {
    std::lock_guard lk(dataSection_);
    traceIndex_ = 0;
    traceWrapped_ = false;
}
void TZpBaseDispatcher::AbortTracing() {
    std::lock_guard lk(dataSection_);
    tracingOn_ = false;
    traceQueue_.clear();
    traceQueue_.shrink_to_fit();
    traceIndex_ = traceMax_ = 0;
    traceWrapped_ = false;
}
bool TZpBaseDispatcher::TracingOn() {
    std::lock_guard lk(dataSection_);
    return tracingOn_;
}
bool TZpBaseDispatcher::HasTrace() {
    std::lock_guard lk(dataSection_);
    return !traceQueue_.empty();
}

int32_t TZpBaseDispatcher::DumpTrace(const std::string& fileName, bool inHex, bool allHex) {
    return DumpTracePrim(fileName, false, inHex, allHex);
}
int32_t TZpBaseDispatcher::AppendTrace(const std::string& fileName, bool inHex, bool allHex) {
    return DumpTracePrim(fileName, true, inHex, allHex);
}

int32_t TZpBaseDispatcher::DumpTracePrim(const std::string& fileName, bool append, bool inHex, bool allHex) {
    std::lock_guard lk(dataSection_);
    if (traceQueue_.empty()) return 0;
    tracingOn_ = false;
    if (!traceWrapped_ && traceIndex_ == 0) {
        AbortTracing();
        return 0;
    }
    FILE* f = openDump(fileName, append);
    if (!f) {
        const int e = errno;
        AbortTracing();
        return -(e ? e : 5);
    }
    DumpWriter w(f);
    const int32_t count = traceWrapped_ ? traceMax_ : traceIndex_;
    const int32_t start = traceWrapped_ ? traceIndex_ : 0;
    int prevKind = -1;
    for (int32_t n = 0; n < count; ++n) {
        const size_t i = static_cast<size_t>((start + n) % traceMax_) * 2;
        const char kind = static_cast<char>(traceQueue_[i]);
        if (kind != prevKind) {
            if (prevKind != -1) w.newline();
            if (kind == 'T')
                w.text("Transmit: ");
            else if (kind == 'R')
                w.text("Receive: ");
            else
                w.text(std::string("Special-") + kind + ": ");
            prevKind = kind;
        }
        w.item(byteItem(traceQueue_[i + 1], inHex, allHex), 0);
    }
    w.newline();
    int32_t rc = std::ferror(f) ? -5 : 0;
    if (std::fclose(f) != 0 && rc == 0) rc = -(errno ? errno : 5);
    AbortTracing();
    return rc;
}

// ---- dispatch log ----
int32_t TZpBaseDispatcher::InitDispatchLogging(int32_t queueSize) {
    if (queueSize <= 0) return -1002;
    std::lock_guard lk(dataSection_);
    if (dLoggingQueue_.empty()) {
        dLoggingQueue_.assign(static_cast<size_t>(queueSize), 0);
        dLoggingScratch_.assign(static_cast<size_t>(std::max({inQue_, outQue_, 1})), 0);
        dLoggingMax_ = static_cast<uint32_t>(queueSize);
    }
    dLoggingHead_ = dLoggingTail_ = 0;
    dLoggingFree_ = dLoggingMax_;
    dLoggingOn_ = true;
    return 0;
}

void TZpBaseDispatcher::StartDispatchLogging() {
    std::lock_guard lk(dataSection_);
    if (!dLoggingQueue_.empty()) dLoggingOn_ = true;
}
void TZpBaseDispatcher::StopDispatchLogging() {
    std::lock_guard lk(dataSection_);
    dLoggingOn_ = false;
}
void TZpBaseDispatcher::ClearDispatchLogging() {
    std::lock_guard lk(dataSection_);
    dLoggingHead_ = dLoggingTail_ = 0;
    dLoggingFree_ = dLoggingMax_;
}
void TZpBaseDispatcher::AbortDispatchLogging() {
    std::lock_guard lk(dataSection_);
    dLoggingOn_ = false;
    dLoggingQueue_.clear();
    dLoggingQueue_.shrink_to_fit();
    dLoggingScratch_.clear();
    dLoggingHead_ = dLoggingTail_ = dLoggingFree_ = dLoggingMax_ = 0;
}
bool TZpBaseDispatcher::DLoggingOn() {
    std::lock_guard lk(dataSection_);
    return dLoggingOn_;
}
bool TZpBaseDispatcher::HasDispatchLog() {
    std::lock_guard lk(dataSection_);
    return !dLoggingQueue_.empty();
}

uint32_t TZpBaseDispatcher::GetDispatchTime() {
    return static_cast<uint32_t>(ZpTimeGetTime() - timeBase_);
}

void TZpBaseDispatcher::PopLastDLEntry() {
    if (dLoggingFree_ >= dLoggingMax_) return;
    DLHeader h;
    auto* p = reinterpret_cast<uint8_t*>(&h);
    for (uint32_t i = 0; i < DLHeaderSize; ++i) p[i] = dLoggingQueue_[(dLoggingTail_ + i) % dLoggingMax_];
    const uint32_t len = DLHeaderSize + h.bufLen;
    dLoggingTail_ = (dLoggingTail_ + len) % dLoggingMax_;
    dLoggingFree_ += len;
    if (dLoggingFree_ >= dLoggingMax_) {
        dLoggingFree_ = dLoggingMax_;
        dLoggingHead_ = dLoggingTail_ = 0;
    }
}

bool TZpBaseDispatcher::PushDLEntry(const uint8_t* data, uint32_t size) {
    if (dLoggingMax_ == 0 || size > dLoggingMax_) return false;
    while (dLoggingFree_ < size) PopLastDLEntry();
    const uint32_t first = std::min(size, dLoggingMax_ - dLoggingHead_);
    std::memcpy(dLoggingQueue_.data() + dLoggingHead_, data, first);
    if (size > first) std::memcpy(dLoggingQueue_.data(), data + first, size - first);
    dLoggingHead_ = (dLoggingHead_ + size) % dLoggingMax_;
    dLoggingFree_ -= size;
    return true;
}

void TZpBaseDispatcher::AddDispatchEntry(uint8_t type, uint8_t subType, uint32_t data, const void* buffer,
                                         uint32_t bufLen) {
    std::lock_guard lk(dataSection_);
    if (!dLoggingOn_ || dLoggingQueue_.empty()) return;
    if (!buffer) bufLen = 0;
    // The entry goes in whole (header and data) or not at all.
    const uint64_t total = uint64_t(DLHeaderSize) + bufLen;
    if (total > dLoggingMax_) return;
    DLHeader h;
    h.type = type;
    h.subType = subType;
    h.time = GetDispatchTime();
    h.data = data;
    h.bufLen = bufLen;
    std::vector<uint8_t> entry(static_cast<size_t>(total));
    std::memcpy(entry.data(), &h, DLHeaderSize);
    if (bufLen) std::memcpy(entry.data() + DLHeaderSize, buffer, bufLen);
    PushDLEntry(entry.data(), static_cast<uint32_t>(total));
}

void TZpBaseDispatcher::AddStringToLog(const std::string& s) {
    std::lock_guard lk(dataSection_);
    if (dLoggingOn_) AddDispatchEntry(dtUser, dstNone, 0, s.data(), static_cast<uint32_t>(s.size()));
}

int32_t TZpBaseDispatcher::DumpDispatchLog(const std::string& fileName, bool inHex, bool allHex) {
    return DumpDispatchLogPrim(fileName, false, inHex, allHex);
}
int32_t TZpBaseDispatcher::AppendDispatchLog(const std::string& fileName, bool inHex, bool allHex) {
    return DumpDispatchLogPrim(fileName, true, inHex, allHex);
}

int32_t TZpBaseDispatcher::DumpDispatchLogPrim(const std::string& fileName, bool append, bool inHex,
                                               bool allHex) {
    std::lock_guard lk(dataSection_);
    if (dLoggingQueue_.empty()) return 0;
    dLoggingOn_ = false;
    FILE* f = openDump(fileName, append);
    if (!f) {
        const int e = errno;
        AbortDispatchLogging();
        return -(e ? e : 5);
    }
    DumpWriter w(f);
    w.text(std::string("ZPORT ") + ZpVersion());
    w.newline();
    w.text("Compiler : " + compilerText());
    w.newline();
    w.text("Operating System : " + osText());
    w.newline();
    w.text("Device: " + DeviceName);
    w.newline();
    const LocalTime t = appClock().localNow();
    char buf[96];
    std::snprintf(buf, sizeof buf, "Date/time: %02d/%02d/%02d, %02d:%02d:%02d", t.day, t.month, t.year % 100,
                  t.hour, t.minute, t.second);
    w.text(buf);
    w.newline();
    w.newline();

    uint32_t pos = dLoggingTail_;
    uint32_t remaining = dLoggingMax_ - dLoggingFree_;
    std::vector<uint8_t> data;
    while (remaining >= DLHeaderSize) {
        DLHeader h;
        auto* p = reinterpret_cast<uint8_t*>(&h);
        for (uint32_t i = 0; i < DLHeaderSize; ++i) p[i] = dLoggingQueue_[(pos + i) % dLoggingMax_];
        if (DLHeaderSize + h.bufLen > remaining) break;  // never read past what was stored
        data.resize(h.bufLen);
        for (uint32_t i = 0; i < h.bufLen; ++i)
            data[i] = dLoggingQueue_[(pos + DLHeaderSize + i) % dLoggingMax_];
        pos = (pos + DLHeaderSize + h.bufLen) % dLoggingMax_;
        remaining -= DLHeaderSize + h.bufLen;

        char ms[16];
        std::snprintf(ms, sizeof ms, "%07u", h.time);
        const std::string m(ms);
        const std::string secs = m.substr(0, m.size() - 3) + "." + m.substr(m.size() - 3);
        const std::string typeName = ZpLoadStr(15001 + h.type);
        const std::string subName = h.subType == 0 ? std::string() : ZpLoadStr(15100 + h.subType);
        char line[128];
        std::snprintf(line, sizeof line, "%8s  %-8s  %-12s  %08x  ", secs.c_str(), typeName.c_str(),
                      subName.c_str(), h.data);
        w.text(line);
        if ((h.type == dtTriggerAlloc || h.type == dtTriggerDispose) && h.subType == dstStatusTrigger)
            w.item(statusKindName(static_cast<int32_t>(h.data & 7)), 44);
        for (uint8_t b : data) {
            const bool raw = h.type == dtUser && allHex;
            w.item(raw ? std::string(1, static_cast<char>(b)) : byteItem(b, inHex, allHex), 44);
        }
        w.newline();
    }
    int32_t rc = std::ferror(f) ? -5 : 0;
    if (std::fclose(f) != 0 && rc == 0) rc = -(errno ? errno : 5);
    AbortDispatchLogging();
    return rc;
}
