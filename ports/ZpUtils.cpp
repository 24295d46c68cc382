#include "ports/ZpUtils.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/SystemInfo.h"

int64_t ZpTimeGetTime() {
    return appClock().monotonicMs();
}
int64_t ZpTicks() {
    return ZpTimeGetTime() / TickMs;
}

int32_t Ticks2Secs(int32_t ticks) {
    return static_cast<int32_t>((int64_t(ticks) + 9) * 92 / 1675);
}
int32_t Secs2Ticks(int32_t secs) {
    return static_cast<int32_t>(int64_t(secs) * 1675 / 92);
}
int32_t MSecs2Ticks(int32_t ms) {
    return static_cast<int32_t>(int64_t(ms) * 1675 / 92000);
}

void NewTimer(EventTimer& t, int32_t ticks) {
    if (ticks > MaxTicks) ticks = MaxTicks;
    t.StartTicks = ZpTicks();
    t.ExpireTicks = t.StartTicks + ticks;
}

void NewTimerSecs(EventTimer& t, int32_t secs) {
    NewTimer(t, Secs2Ticks(secs));
}

bool TimerExpired(const EventTimer& t) {
    return ZpTicks() > t.ExpireTicks;
}

int32_t ElapsedTime(const EventTimer& t) {
    const int64_t e = ZpTicks() - t.StartTicks;
    return static_cast<int32_t>(std::clamp<int64_t>(e, 0, INT32_MAX));
}

int32_t ElapsedTimeInSecs(const EventTimer& t) {
    return Ticks2Secs(ElapsedTime(t));
}

int32_t RemainingTime(const EventTimer& t) {
    const int64_t r = t.ExpireTicks - ZpTicks();
    return static_cast<int32_t>(std::clamp<int64_t>(r, 0, INT32_MAX));
}

int32_t RemainingTimeInSecs(const EventTimer& t) {
    return Ticks2Secs(RemainingTime(t));
}

namespace {

// The application asked to quit: set by its quit event, by the end of its main loop, and by a
// yield that found the loops told to end.
std::atomic<QCoreApplication*> quitAskedOf{nullptr};
// While a yield runs on the GUI thread: the first event it handled (0 for none yet), and the
// yield's own loop, whose events do not count.
struct YieldRecord {
    bool active = false;
    QObject* own = nullptr;
    uint32_t first = 0;
};
YieldRecord yieldRecord;

class QuitWatch : public QObject {
  protected:
    // Sees every event of the GUI thread; it only reads their types.
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (watched == QCoreApplication::instance() && e->type() == QEvent::Quit)
            quitAskedOf = QCoreApplication::instance();
        YieldRecord& y = yieldRecord;
        if (y.active && watched != y.own && y.first == 0)
            y.first = e->type() == QEvent::Quit
                          ? WM_QUIT_CODE
                          : ZpEventNumberBase + (static_cast<uint32_t>(e->type()) & 0x7FFF);
        return false;
    }
};

bool onApplicationThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Starts watching the application for its quit (once per application, from its thread).
void watchApplicationEnd() {
    auto* app = QCoreApplication::instance();
    static QCoreApplication* watched = nullptr;
    if (!onApplicationThread() || watched == app) return;
    watched = app;
    auto* watch = new QuitWatch;
    watch->setParent(app);
    app->installEventFilter(watch);
    QObject::connect(app, &QCoreApplication::aboutToQuit, watch, [app] { quitAskedOf = app; });
}

}  // namespace

bool ZpApplicationTerminating() {
    auto* app = QCoreApplication::instance();
    if (!app || QCoreApplication::closingDown()) return true;
    watchApplicationEnd();
    return quitAskedOf.load() == app;
}

uint32_t SafeYield() {
    auto* app = QCoreApplication::instance();
    if (!app || QCoreApplication::closingDown()) return WM_QUIT_CODE;
    if (!onApplicationThread()) return ZpApplicationTerminating() ? WM_QUIT_CODE : 0;
    watchApplicationEnd();
    const YieldRecord outer = yieldRecord;
    yieldRecord = YieldRecord{true, nullptr, 0};
    QEventLoop turn;
    if (quitAskedOf.load() != app) {
        // One turn of the loop, run as a nested loop: it returns at once when the application's
        // loops were told to end, which a quit asked for by exit() leaves no other trace of.
        yieldRecord.own = &turn;
        QMetaObject::invokeMethod(
            &turn, [&turn] { turn.exit(1); }, Qt::QueuedConnection);
        if (turn.exec() != 1) quitAskedOf = app;
    }
    if (quitAskedOf.load() == app) {
        // A nested loop returns at once now; waiting messages still run, so that a close that
        // waits for a notification under way still sees it end.
        yieldRecord.own = nullptr;
        QCoreApplication::sendPostedEvents();
        if (auto* d = QAbstractEventDispatcher::instance()) d->processEvents(QEventLoop::AllEvents);
    }
    const uint32_t seen = yieldRecord.first;
    yieldRecord = outer;
    return ZpApplicationTerminating() ? WM_QUIT_CODE : seen;
}

uint32_t DelayTicks(int32_t ticks, bool yield) {
    if (ticks <= 0) return 0;
    if (ticks > MaxTicks) ticks = MaxTicks;
    EventTimer t;
    NewTimer(t, ticks);
    uint32_t res = 0;
    do {
        if (yield)
            res = SafeYield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (res == WM_QUIT_CODE) break;
        if (yield && res == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (!TimerExpired(t));
    return res;
}

void DelayMS(int32_t ms) {
    if (ms <= 0) return;
    const int64_t end = ZpTimeGetTime() + ms;
    while (ZpTimeGetTime() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void NotBuffer(void* buffer, size_t size) {
    auto* p = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(~p[i]);
}

// ---- strings and paths ----
namespace {
bool isDelim(char c) {
    return c == '\\' || c == ':' || c == '/';
}
size_t lastDelim(const std::string& s) {
    for (size_t i = s.size(); i > 0; --i)
        if (isDelim(s[i - 1])) return i - 1;
    return std::string::npos;
}
// Position of the extension's point, npos when the file name part has none.
size_t extPoint(const std::string& s) {
    const size_t d = lastDelim(s);
    const size_t p = s.rfind('.');
    if (p == std::string::npos || (d != std::string::npos && p < d)) return std::string::npos;
    return p;
}
}  // namespace

std::string Long2StrZ(int32_t value) {
    return std::to_string(value);
}

bool Str2LongZ(const std::string& text, int32_t& value) {
    size_t b = 0, e = text.size();
    while (b < e && text[b] == ' ') ++b;
    while (e > b && text[e - 1] == ' ') --e;
    if (b == e) return false;
    const char* first = text.data() + b;
    if (*first == '+') ++first;
    int32_t v = 0;
    auto r = std::from_chars(first, text.data() + e, v);
    if (r.ec != std::errc() || r.ptr != text.data() + e) return false;
    value = v;
    return true;
}

std::string StrStCopy(const std::string& source, size_t pos, size_t count) {
    if (pos >= source.size()) return {};
    return source.substr(pos, count);
}

std::string JustPathnameZ(const std::string& path) {
    const size_t d = lastDelim(path);
    if (d == std::string::npos) return {};
    // A drive root ("C:\" or "C:") and the file-system root keep their delimiter.
    if (d == 0 || (path[d] == ':') || (d == 2 && path[1] == ':')) return path.substr(0, d + 1);
    return path.substr(0, d);
}

std::string JustFilenameZ(const std::string& path) {
    const size_t d = lastDelim(path);
    return d == std::string::npos ? path : path.substr(d + 1);
}

std::string JustExtensionZ(const std::string& name) {
    const size_t p = extPoint(name);
    return p == std::string::npos ? std::string() : name.substr(p + 1);
}

std::string AddBackSlashZ(const std::string& path) {
    if (path.empty() || isDelim(path.back())) return path;
    return path + "\\";
}

std::string ForceExtensionZ(const std::string& name, const std::string& ext) {
    const size_t p = extPoint(name);
    return (p == std::string::npos ? name : name.substr(0, p)) + "." + ext;
}

std::string DefaultExtensionZ(const std::string& name, const std::string& ext) {
    return extPoint(name) == std::string::npos ? name + "." + ext : name;
}

bool ExistFileZ(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string JustName(const std::string& name) {
    size_t d = std::string::npos;
    for (size_t i = name.size(); i > 0; --i)
        if (name[i - 1] == '\\' || name[i - 1] == ':') {
            d = i - 1;
            break;
        }
    std::string s = d == std::string::npos ? name : name.substr(d + 1);
    const size_t p = s.find('.');
    return p == std::string::npos ? s : s.substr(0, p);
}

std::string AddBackSlash(const std::string& path) {
    if (!path.empty() && path.back() == '"') {
        const std::string inner = path.substr(0, path.size() - 1);
        if (!inner.empty() && isDelim(inner.back())) return path;
        return inner + "\\\"";
    }
    if (!path.empty() && isDelim(path.back())) return path;
    return path + "\\";
}

void AssignFile(TZpFile& f, const std::string& name) {
    if (f.Stream.is_open()) f.Stream.close();
    f.Stream.clear();
    f.Name = name;
}

// ---- system ----
bool IsWinNT() {
    return SystemInfo::platformId() == SystemInfo::PlatformIdNT;
}

bool IsWin2000() {
    int major = 0, minor = 0, build = 0;
    std::string extra;
    return IsWinNT() && SystemInfo::osVersion(major, minor, build, extra) && minor == 0;
}

int32_t ZpWinExecAndWait32(const std::string& program, const std::string& parameters, int32_t) {
    if (program.empty()) return -1;
    std::vector<std::string> args{program};
    for (const QString& a : QProcess::splitCommand(QString::fromStdString(parameters)))
        args.push_back(a.toStdString());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r != pid) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// ---- TLineReader ----
TLineReader::TLineReader(std::istream& stream) : stream_(stream) {
    const auto here = stream_.tellg();
    if (here != std::streampos(-1) && stream_.seekg(0, std::ios::end)) {
        size_ = static_cast<int64_t>(stream_.tellg() - here);
        stream_.seekg(here);
    }
    stream_.clear();
    readPage();
}

void TLineReader::readPage() {
    page_.assign(PageSize, '\0');
    stream_.read(page_.data(), static_cast<std::streamsize>(PageSize));
    const auto n = static_cast<size_t>(stream_.gcount());
    page_.resize(n);
    total_ += static_cast<int64_t>(n);
    cursor_ = 0;
    if (n == 0 || n < PageSize || stream_.peek() == std::char_traits<char>::eof()) {
        eof_ = true;
        if (!page_.empty() && page_.back() == 26) page_.pop_back();
    }
    // Only the LF of a CR LF split across two pages is skipped: an LF that merely happens to
    // open a page (or the stream) is part of the line's text, and dropping it would change
    // the line depending on where the page boundary falls.
    if (afterCR_ && cursor_ < page_.size() && page_[cursor_] == '\n') ++cursor_;
    afterCR_ = false;
}

bool TLineReader::NextLine(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
        if (cursor_ >= page_.size()) {
            if (eof_) return any;  // the last line needs no CR
            readPage();
            continue;
        }
        any = true;
        const char c = page_[cursor_++];
        if (c == '\r') {
            if (cursor_ < page_.size()) {
                if (page_[cursor_] == '\n') ++cursor_;
            } else if (!eof_) {
                afterCR_ = true;
                readPage();
            }
            return true;
        }
        line.push_back(c);
    }
}
