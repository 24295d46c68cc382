// Common helpers of the port library: 55-ms ticks and event timers on the program's
// monotonic clock, a message-pump step for waiting loops, flag, string and path helpers,
// a line reader, and the base classes that give each library component its Version.
#pragma once
#include <QObject>
#include <QScrollArea>
#include <QWidget>
#include <cstdint>
#include <fstream>
#include <istream>
#include <string>

// ---- ticks and timers ----
constexpr int32_t MaxTicks = 39045157;  // the largest tick count a timer accepts
constexpr int32_t TickMs = 55;

// A timer in ticks of the monotonic clock. 64-bit: the tick count never wraps.
struct EventTimer {
    int64_t StartTicks = 0;
    int64_t ExpireTicks = 0;
};

int64_t ZpTimeGetTime();  // monotonic milliseconds (appClock())
int64_t ZpTicks();        // ZpTimeGetTime() div 55
int32_t Ticks2Secs(int32_t ticks);
int32_t Secs2Ticks(int32_t secs);
int32_t MSecs2Ticks(int32_t ms);
void NewTimer(EventTimer& t, int32_t ticks);
void NewTimerSecs(EventTimer& t, int32_t secs);
bool TimerExpired(const EventTimer& t);
int32_t ElapsedTime(const EventTimer& t);
int32_t ElapsedTimeInSecs(const EventTimer& t);
int32_t RemainingTime(const EventTimer& t);  // never below 0
int32_t RemainingTimeInSecs(const EventTimer& t);

constexpr uint32_t WM_QUIT_CODE = 18;
// Events of the event loop are numbered in their own range, clear of the quit number.
constexpr uint32_t ZpEventNumberBase = 0x8000;
// One step of the GUI thread's event loop. Returns the number of the first message handled in
// its low 16 bits (ZpEventNumberBase plus the event's type) and the low 16 bits of its window
// in the high 16 bits (0: events carry none); WM_QUIT_CODE once the application was asked to
// quit or is shutting down (its own loop still ends); 0 when nothing was waiting (always 0 off
// the GUI thread).
uint32_t SafeYield();
// The application was asked to quit (kept for the rest of its life) or is being torn down.
bool ZpApplicationTerminating();
// Waits the given ticks (yielding each round when yield is set); ends early when SafeYield
// reports a quit. Returns the last SafeYield result.
uint32_t DelayTicks(int32_t ticks, bool yield);
// Waits until the millisecond clock has advanced by ms.
void DelayMS(int32_t ms);

// ---- flags ----
inline bool FlagIsSet(uint32_t flags, uint32_t mask) {
    return (flags & mask) != 0;
}
inline bool ByteFlagIsSet(uint8_t flags, uint8_t mask) {
    return (flags & mask) != 0;
}
inline void SetFlag(uint32_t& flags, uint32_t mask) {
    flags |= mask;
}
inline void ClearFlag(uint32_t& flags, uint32_t mask) {
    flags &= ~mask;
}
inline void SetByteFlag(uint8_t& flags, uint8_t mask) {
    flags |= mask;
}
inline void ClearByteFlag(uint8_t& flags, uint8_t mask) {
    flags = static_cast<uint8_t>(flags & ~mask);
}
inline uint16_t MinWord(uint16_t a, uint16_t b) {
    return a < b ? a : b;
}
void NotBuffer(void* buffer, size_t size);
// p advanced by n bytes.
inline void* AddWordToPtr(void* p, uint16_t n) {
    return static_cast<uint8_t*>(p) + n;
}
inline const void* AddWordToPtr(const void* p, uint16_t n) {
    return static_cast<const uint8_t*>(p) + n;
}
inline void* GetPtr(void* p, int32_t n) {
    return static_cast<uint8_t*>(p) + n;
}
inline const void* GetPtr(const void* p, int32_t n) {
    return static_cast<const uint8_t*>(p) + n;
}

// ---- strings and paths ("\" and ":" delimit; "/" too, for Linux paths) ----
std::string Long2StrZ(int32_t value);
bool Str2LongZ(const std::string& text, int32_t& value);
std::string StrStCopy(const std::string& source, size_t pos, size_t count);
std::string JustPathnameZ(const std::string& path);
std::string JustFilenameZ(const std::string& path);
std::string JustExtensionZ(const std::string& name);
std::string AddBackSlashZ(const std::string& path);
std::string ForceExtensionZ(const std::string& name, const std::string& ext);
std::string DefaultExtensionZ(const std::string& name, const std::string& ext);
bool ExistFileZ(const std::string& name);
std::string JustName(const std::string& name);
std::string AddBackSlash(const std::string& path);

// A file variable: AssignFile (or Assign) binds it to a name, closing a stream still open.
struct TZpFile {
    std::string Name;
    std::fstream Stream;
};
void AssignFile(TZpFile& f, const std::string& name);
inline void Assign(TZpFile& f, const std::string& name) {
    AssignFile(f, name);
}

// ---- system ----
// The platform identifier is the NT family's (2): the stand-ins provide that family's services.
bool IsWinNT();
// The NT family with minor version 0 of the system's version.
bool IsWin2000();
// Starts program with parameters (split as a command line: blanks separate, double quotes group;
// no shell) and waits without limit until it ends. The program is looked up on PATH when it holds
// no "/". Returns its exit code, 128 + the signal when a signal ended it, or -1 when it cannot be
// started. There are no console windows here: showMode has no effect.
int32_t ZpWinExecAndWait32(const std::string& program, const std::string& parameters, int32_t showMode);

// Modem initialisation strings, from the most result codes (X4) to none.
constexpr const char* ZpModemInitX4 = "ATE0Q0V1X4S0=0S2=43";
constexpr const char* ZpModemInitX3 = "ATE0Q0V1X3S0=0S2=43";
constexpr const char* ZpModemInitX2 = "ATE0Q0V1X2S0=0S2=43";
constexpr const char* ZpModemInitX1 = "ATE0Q0V1X1S0=0S2=43";
constexpr const char* ZpModemInitPlain = "ATE0Q0V1S0=0S2=43";

// Reads CR-terminated lines (an LF after the CR is skipped) from a stream in 4096-byte pages.
// The last line needs no CR, and a Ctrl-Z that ends the stream is not text.
class TLineReader {
  public:
    static constexpr size_t PageSize = 4096;
    explicit TLineReader(std::istream& stream);
    // The next line; false at the end of the stream.
    bool NextLine(std::string& line);
    bool Eof() const { return eof_ && cursor_ >= page_.size(); }
    int64_t BytesRead() const { return total_; }
    int64_t StreamSize() const { return size_; }

  private:
    void readPage();
    std::istream& stream_;
    std::string page_;
    size_t cursor_ = 0;
    int64_t total_ = 0;
    int64_t size_ = -1;  // -1 when the stream cannot tell
    bool eof_ = false;
    bool afterCR_ = false;  // the page before ended in CR
};

// ---- base classes: every library component reports its Version "v1.00" ----
inline const char* ZpVersion() {
    return "v1.00";
}

class TZpBaseComponent : public QObject {
  public:
    explicit TZpBaseComponent(QObject* owner = nullptr) : QObject(owner) {}
    std::string Version() const { return ZpVersion(); }
    void SetVersion(const std::string&) {}
    // Loading from a form resource: CheckException raises nothing meanwhile.
    bool Loading() const { return loading_; }
    void SetLoading(bool on) { loading_ = on; }
    bool Designing() const { return false; }

  protected:
    bool loading_ = false;
};

class TZpBaseWinControl : public QWidget {
  public:
    explicit TZpBaseWinControl(QWidget* parent = nullptr) : QWidget(parent) {}
    std::string Version() const { return ZpVersion(); }
    void SetVersion(const std::string&) {}
};

class TZpBaseGraphicControl : public QWidget {
  public:
    explicit TZpBaseGraphicControl(QWidget* parent = nullptr) : QWidget(parent) {}
    std::string Version() const { return ZpVersion(); }
    void SetVersion(const std::string&) {}
};

// The embedded-object control of the library (a plain widget: there are no embedded objects here).
class TZpBaseOleControl : public QWidget {
  public:
    explicit TZpBaseOleControl(QWidget* parent = nullptr) : QWidget(parent) {}
    std::string Version() const { return ZpVersion(); }
    void SetVersion(const std::string&) {}
};

class TZpBaseScrollingWinControl : public QScrollArea {
  public:
    explicit TZpBaseScrollingWinControl(QWidget* parent = nullptr) : QScrollArea(parent) {}
    std::string Version() const { return ZpVersion(); }
    void SetVersion(const std::string&) {}
};
