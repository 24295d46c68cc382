#include "link/LogFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDate>
#include <QFont>
#include <QHBoxLayout>
#include <QLocale>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <system_error>

#include "link/ProgressBar.h"
#include "link/StoredParams.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/SafeRead.h"
#include "platform/Shell.h"
#include "platform/SystemInfo.h"
#include "platform/i18n.h"
#include "unicode/UxControls.h"

TLogFile* LogFile = nullptr;
int TLogFile::FolderLockWaitMs = 500;
std::function<void(const QString& text)> OnLogTrouble;
std::function<int(LogFileCall call)> LogFileFault;

namespace {

const LogHeaderSource* headerSource = nullptr;

// Lines over this length of waiting text are dropped until it is written.
constexpr size_t kPendingCap = 4000;
// Without a log file, a line tries to start it again at most this often. Waiting for the next
// day's shift instead would lose up to a whole day of the only record of what was sent to the
// instrument and what it answered, after a failure long since passed (a disk freed, a folder
// made again).
constexpr int64_t kRetryMs = 5000;

TLogDate dateOf(const LocalTime& t) {
    return TLogDate{t.year, static_cast<uint8_t>(t.day), static_cast<uint8_t>(t.month)};
}

std::string withoutLineBreaks(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\n' && c != '\r') out += c;
    return out;
}

std::string stamp(const LocalTime& t) {
    return cformat("%02d:%02d:%02d %02d/%02d/%04d", t.hour, t.minute, t.second, t.day, t.month, t.year);
}

std::string linePrefix(const LocalTime& t) {
    return cformat("%02d:%02d:%02d.%02d,", t.hour, t.minute, t.second, t.millisecond / 10);
}

std::string errnoText(int err) {
    return std::strerror(err);
}

int32_t storedConnectMethod() {
    try {
        return TStoredParams::ReadRegistryInteger(TStoredParams::InstrumentRegistryKey(), "ConnectMethod");
    } catch (const std::exception&) {
        return 1;
    }
}

std::string storedText(const char* name) {
    return withoutLineBreaks(TStoredParams::ReadRegistryString(TStoredParams::InstrumentRegistryKey(), name));
}

// The error a test plants for a file call, 0 for none.
int planted(LogFileCall call) {
    return LogFileFault ? LogFileFault(call) : 0;
}

// Opens today's file for appending. The log writes only into a regular file of its own name:
// a symbolic link there is not followed (it could send the lines anywhere), and a named pipe
// or a device is refused without waiting for its other end. -1 with why ("" when errno says it).
int openAppend(const std::string& path, std::string& why) {
    why.clear();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        if (const int err = planted(LogFileCall::Create)) {
            errno = err;
            return -1;
        }
    int fd;
    do {
        fd = ::open(path.c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        // Another user's file planted under the log's name in a folder open to all would take the
        // lines, and that user could read or change them.
        if (st.st_uid == ::geteuid()) return fd;
        ::close(fd);
        why = _8("it belongs to another user: the log is written only into a file of the user's own");
        errno = EPERM;
        return -1;
    }
    const int err = errno;
    if (fd >= 0) ::close(fd);
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        why =
            _8("it is a symbolic link, which the log does not follow: the log is written only into a file "
               "of its own in the log folder");
    else if (fd >= 0 || (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)))
        why = _8("it is not a regular file");
    errno = err;
    return -1;
}

int openAppend(const std::string& path) {
    std::string why;
    return openAppend(path, why);
}

// One write() per batch: with O_APPEND, another copy of the program appending to the same
// file never splits it. A line is written whole or not at all: what a short write left (a
// full disk, a file size limit) is taken back while the file still ends with it. The bytes
// that stay written; -1 (errno) when none do.
ssize_t appendWhole(int fd, const std::string& text) {
    if (const int err = planted(LogFileCall::Write)) {
        errno = err;
        return -1;
    }
    size_t done = 0;
    off_t start = -1;
    bool contiguous = true;
    int err = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            break;
        }
        const off_t end = ::lseek(fd, 0, SEEK_CUR);  // with O_APPEND: the end of these bytes
        if (start < 0)
            start = end - n;
        else if (end - n != start + static_cast<off_t>(done))
            contiguous = false;
        done += static_cast<size_t>(n);
    }
    if (done == text.size()) return static_cast<ssize_t>(done);
    struct stat st {};
    if (done > 0 && contiguous && ::fstat(fd, &st) == 0 && st.st_size == start + static_cast<off_t>(done) &&
        planted(LogFileCall::TakeBack) == 0 && ::ftruncate(fd, start) == 0)
        done = 0;
    errno = err;
    return done > 0 ? static_cast<ssize_t>(done) : -1;
}

// A waiting line that has not been given its date yet starts with its time ("23:59:59.98,").
bool undated(const std::string& text, size_t at) {
    return at + 2 < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) &&
           std::isdigit(static_cast<unsigned char>(text[at + 1])) && text[at + 2] == ':';
}

// The day a log belongs to: the date of its header, else (a file whose header never made it)
// the local date of its last change; none for a file that is missing or empty.
TLogDate dayOfFile(TLogFile& log, const std::string& path) {
    const TLogDate d = log.ReadLogDate(path);
    if (d.day != 0) return d;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_size == 0) return {};
    struct tm t {};
    const time_t when = st.st_mtime;
    if (!::localtime_r(&when, &t)) return {};
    return TLogDate{t.tm_year + 1900, static_cast<uint8_t>(t.tm_mday), static_cast<uint8_t>(t.tm_mon + 1)};
}

int64_t steadyMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Holds an exclusive lock on a folder while a rotation runs; released when it goes. Anyone who
// can open the folder can lock it, so the lock is only tried, in short steps, for a bounded
// time (real time: the holder is another process); then the rotation runs without it.
class FolderLock {
  public:
    FolderLock(const std::string& folder, int waitMs)
        : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK)) {
        if (fd_ < 0) return;
        const int64_t until = steadyMs() + waitMs;
        for (;;) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                held_ = true;
                return;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) return;
            if (steadyMs() >= until) {
                timedOut_ = true;
                return;
            }
            const timespec step{0, 10 * 1000 * 1000};
            ::nanosleep(&step, nullptr);
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    // Another holder kept the lock beyond the wait.
    bool timedOut() const { return timedOut_; }

  private:
    int fd_;
    bool held_ = false;
    bool timedOut_ = false;
};

}  // namespace

void setLogHeaderSource(const LogHeaderSource* src) {
    headerSource = src;
}

int32_t LogHeaderSource::connectMethod() const {
    return storedConnectMethod();
}

bool logLine(const std::string& text) {
    return LogFile != nullptr && LogFile->AddLine(text);
}

std::optional<std::string> receivedLogEntry(std::string_view text, bool wellFormed, bool cutByReader) {
    if (LogFile) return LogFile->ReceivedEntry(text, wellFormed, cutByReader);
    return TLogFile::CutReceived(text, cutByReader);
}

TLogFile::TLogFile(QWidget* owner) : TUxForm(owner) {
    buildWindow();
    FormCreate();
}

TLogFile::~TLogFile() {
    FormDestroy();
    if (LogFile == this) LogFile = nullptr;
}

std::string TLogFile::LogFolder() {
    return SystemInfo::appDataDir() + "/TressivanLabs/";
}

void TLogFile::FormCreate() {
    SetCaption(QStringLiteral("Send Log File to Support"));
    TranslateComponent(this);

    const std::string folder = LogFolder();
    LogPath = folder + "Zentrova" + Instance() + ".log";
    LogPath2 = LogPath + "2";
    LogPath3 = LogPath + "3";
    LogPath4 = LogPath + "4";
    created_ = true;

    const LocalTime now = appClock().localNow();
    startDay(dateOf(now), now);

    ActionRadioGrp->Items()->Delete(1);
    ActionRadioGrp->Items()->Delete(0);
    ActionRadioGrp->Items()->Insert(0, _("Save Log File"));
    ActionRadioGrp->Items()->Insert(1, _("Save Log File and Create Email"));
    ActionRadioGrp->SetItemIndex(0);
    FilenameRadioGrp->SetItemIndex(0);
}

void TLogFile::FormDestroy() {
    // Lines still waiting are written rather than lost, and lost ones are counted.
    if (badSkipped_ > 0 && (LogState == 1 || LogState == 2) && created_) {
        queue(skippedText(), appClock().localNow());
        badSkipped_ = 0;
    }
    if (dropped_ > 0 && (LogState == 1 || LogState == 2) && created_) {
        queue(droppedText(), appClock().localNow());
        dropped_ = 0;
    }
    if (!PendingText.empty() && (LogState == 1 || LogState == 2) && created_) {
        if (LogHandle < 0) LogHandle = openAppend(LogPath);
        if (LogHandle >= 0) writePending(appClock().localNow());
    }
    closeHandle();
    LogState = 0;
    closedForMoment_ = false;
}

bool TLogFile::EnsureFolder(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    // Every folder made here is the user's alone: the logs are nobody else's to read, and a
    // folder that others can open is one they can lock.
    int err = 0;
    for (size_t at = p.find('/', 1);; at = p.find('/', at + 1)) {
        const std::string part = p.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) err = errno;
        if (at == std::string::npos) break;
    }
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    reportFailure(fillFirst8(_8("Cannot create the log folder %s; the program runs without a log."),
                             p + " (" + errnoText(err != 0 ? err : ENOTDIR) + ")"));
    return false;
}

bool TLogFile::AddLine(const std::string& text) {
    const std::string line = withoutLineBreaks(text);
    // Date and time are taken once, so a line stamped after midnight never lands in the
    // file of the day before.
    const LocalTime now = appClock().localNow();
    const TLogDate date = dateOf(now);
    if (LogState != 1 && LogState != 2) {
        if (!created_) return true;  // before the log exists
        // Without a log since a failure: a line tries again on a new date, else now and then.
        const bool due = !(date == LogDate) || appClock().monotonicMs() - lastStartMs_ >= kRetryMs;
        if (!due || !startDay(date, now)) {
            countDropped(now);
            return true;
        }
    } else if (!closedForMoment_) {
        // Lines that wait for the file of their day (a full disk) try it once more before the
        // shift; what it does not take goes into the new day's file with its date.
        if (!(date == LogDate) && pendingDate_ == LogDate && LogState == 1 && !PendingText.empty())
            writePending(now);
        // While the file is closed for a moment (archiving it) the shift waits for Reopen.
        RotateIfNewDay(date, now);
    }

    // Waiting text goes out first when the file takes it again, so this line still fits.
    if (LogState == 1 && PendingText.size() >= kPendingCap) writePending(now);
    if (PendingText.size() >= kPendingCap) {
        countDropped(now);
        return true;
    }
    if (dropped_ > 0) {
        queue(droppedText(), now);
        dropped_ = 0;
    }
    queue(line, now);
    if (LogState == 1) writePending(now);
    return true;
}

bool TLogFile::RotateIfNewDay(const TLogDate& date) {
    return RotateIfNewDay(date, appClock().localNow());
}

bool TLogFile::RotateIfNewDay(const TLogDate& date, const LocalTime& now) {
    if (date == LogDate) return true;
    return startDay(date, now);
}

bool TLogFile::startDay(const TLogDate& date, const LocalTime& now) {
    LogState = 2;
    closeHandle();
    lastStartMs_ = appClock().monotonicMs();
    LogDate = date;
    const std::string folder = LogPath.substr(0, LogPath.find_last_of('/') + 1);
    if (!EnsureFolder(folder)) {
        LogState = 0;
        return false;
    }
    // Copies of the program with the same instance shift and begin the day one at a time
    // (the lock is on the folder), and a copy that comes second finds the day begun and
    // joins it. A log that is missing or empty (its day never got a line) is not shifted:
    // a start that failed shifts nothing again, and no day's log is lost to it.
    FolderLock lock(folder, FolderLockWaitMs);
    const TLogDate day = dayOfFile(*this, LogPath);
    if (day.day != 0 && !(day == date)) {
        ::unlink(LogPath4.c_str());
        ::rename(LogPath3.c_str(), LogPath4.c_str());
        ::rename(LogPath2.c_str(), LogPath3.c_str());
        ::rename(LogPath.c_str(), LogPath2.c_str());
    }
    struct stat st {};
    const bool existed = ::lstat(LogPath.c_str(), &st) == 0;
    std::string why;
    const int fd = openAppend(LogPath, why);
    if (fd < 0) {
        const int err = errno;
        LogState = 0;
        reportFailure(fillFirst8(existed
                                     ? _8("Cannot open the log file %s; the program runs without a log.")
                                     : _8("Cannot create the log file %s; the program runs without a log."),
                                 LogPath + " (" + (why.empty() ? errnoText(err) : why) + ")"));
        return false;
    }
    LogHandle = fd;
    LogState = 1;
    if (lock.timedOut()) {
        const std::string message = fillFirst8(
            _8("The log folder %s is locked by another process; the day's log is begun without the lock."),
            folder);
        std::fprintf(stderr, "%s\n", message.c_str());
        queue("#log: " + message, now);
    }
    // The header goes on top of a new or empty file (when the disk takes it: until then it
    // is owed), and below the lines of a file of another day that could not be shifted; a
    // file of this day has it, or (begun without one) goes on without it.
    headerOwed_ = !(dayOfFile(*this, LogPath) == date);
    writePending(now);
    return true;
}

namespace {

// The date in the first line of a log ("hh:mm:ss dd/mm/yyyy"); no date (day 0) from fewer
// than 20 bytes.
TLogDate dateOfHead(const std::string& head) {
    if (head.size() < 20) return {};
    const char* buf = head.data();
    auto number = [&](size_t off, size_t len) {
        int v = 0;
        for (size_t i = off; i < off + len && buf[i] >= '0' && buf[i] <= '9'; ++i)
            v = v * 10 + (buf[i] - '0');
        return v;
    };
    TLogDate d;
    d.day = static_cast<uint8_t>(number(9, 2));
    d.month = static_cast<uint8_t>(number(12, 2));
    d.year = std::memchr(buf, '\n', 20) ? number(15, 4) : number(15, 2) + 2000;
    return d;
}

}  // namespace

TLogDate TLogFile::ReadLogDate(const std::string& path) {
    // Only a regular file is read: a named pipe there must not hold the program.
    const SafeRead::Result head = SafeRead::readHead(path, 20);
    if (!head.ok()) return {};
    return dateOfHead(head.bytes);
}

std::string TLogFile::WriteHeader() {
    return WriteHeader(appClock().localNow());
}

std::string TLogFile::WriteHeader(const LocalTime& now) {
    const LogHeaderSource* src = headerSource;
    const std::string& instance = Instance();
    char first[64];
    std::snprintf(first, sizeof first, "%02d:%02d:%02d %02d/%02d/%02d\n", now.hour, now.minute, now.second,
                  LogDate.day, LogDate.month, LogDate.year);
    std::string h = first;
    h += "ZentrovaKVZ, instance " + (instance.empty() ? std::string("1") : instance) + "\n";

    const std::string version = withoutLineBreaks(SystemInfo::programVersion());
    h += version.empty() ? std::string("No version information found\n") : "Version " + version + "\n";

    const uint32_t number = src ? src->instrumentNumber() : 0;
    h += "Instrument S/N: " + (number ? std::to_string(number) : std::string("N/A")) + "\n";
    h += (src ? withoutLineBreaks(src->versionText())
              : std::string("FW version <Unknown>; CPLD version <Unknown>")) +
         "\n";

    int major = 0, minor = 0, build = 0;
    std::string extra;
    if (SystemInfo::osVersion(major, minor, build, extra))
        h += "OS Version: " + std::to_string(major) + "." + std::to_string(minor) + "." +
             std::to_string(build) + "." + std::to_string(SystemInfo::platformId()) + " " +
             withoutLineBreaks(extra) + "\n";

    const int32_t method = src ? src->connectMethod() : storedConnectMethod();
    h += "Connection type: " + std::to_string(method);
    switch (method) {
        case 1:
            h += "; IP address: " + (src ? withoutLineBreaks(src->ipAddress()) : std::string());
            break;
        case 2:
            h += "; Port: " + storedText("COM");
            break;
        case 3:
            h += "; USB Device: " + storedText("USB");
            break;
        default:
            break;
    }
    h += "\n";
    h += "Instrument Instance: " + instance + "\n";
    h += "HPLC Type: " + storedText("HPLCType") + "; ChemInstance: " + storedText("ChemInstance") + "\n";
    h += "Current Sequence: " + (src ? withoutLineBreaks(src->currentSequenceName()) : std::string()) + "\n";
    h += "Current Method:   " + (src ? withoutLineBreaks(src->currentMethodName()) : std::string()) + "\n";
    h += "\n";
    return h;
}

void TLogFile::CloseForMoment() {
    closeHandle();
    LogState = 2;
    closedForMoment_ = true;
}

void TLogFile::Reopen() {
    closeHandle();
    closedForMoment_ = false;
    std::string why;
    LogHandle = openAppend(LogPath, why);
    if (LogHandle >= 0) {
        LogState = 1;  // what waits goes out with the next line
    } else {
        const int err = errno;
        LogState = 0;
        lastStartMs_ = appClock().monotonicMs();
        reportFailure(fillFirst8(_8("Cannot open the log file %s; the program runs without a log."),
                                 LogPath + " (" + (why.empty() ? errnoText(err) : why) + ")"));
    }
}

void TLogFile::closeHandle() {
    if (LogHandle >= 0) ::close(LogHandle);
    LogHandle = -1;
}

bool TLogFile::writePending(const LocalTime& now) {
    // The rest of a line begun in the file of another day does not go into this one.
    if (tailDay_.day != 0 && !(tailDay_ == LogDate)) {
        const size_t eol = PendingText.find('\n');
        PendingText.erase(0, eol == std::string::npos ? std::string::npos : eol + 1);
        tailDay_ = {};
        countDropped(now);
    }
    // Lines go into the file of their own day, or carry their date.
    if (!PendingText.empty() && !(pendingDate_ == LogDate)) datePending();
    size_t headerSize = 0;
    if (headerOwed_) {
        // Another copy may have begun the day meanwhile.
        struct stat st {};
        if (::fstat(LogHandle, &st) == 0 && st.st_size > 0 && ReadLogDate(LogPath) == LogDate) {
            headerOwed_ = false;
        } else {
            const std::string header = WriteHeader(now);
            PendingText.insert(0, header);
            headerSize = header.size();
        }
    }
    if (PendingText.empty()) return true;
    const ssize_t n = appendWhole(LogHandle, PendingText);
    if (n == static_cast<ssize_t>(PendingText.size())) {
        PendingText.clear();
        headerOwed_ = false;
        tailDay_ = {};
        // Said in the file of the day it happens on: a rotation follows at once otherwise.
        if (failureReported_ && dateOf(now) == LogDate) logIsBack(now);
        return true;
    }
    const int err = errno != 0 ? errno : ENOSPC;
    // What was written is gone from the buffer; the rest waits for the next line (only where
    // the short write could not be taken back). A header not begun is made afresh when the
    // file takes text again.
    if (n > 0) {
        if (PendingText[static_cast<size_t>(n) - 1] != '\n') tailDay_ = LogDate;
        PendingText.erase(0, static_cast<size_t>(n));
        headerOwed_ = false;
    } else {
        PendingText.erase(0, headerSize);
    }
    reportFailure(
        fillFirst8(_8("Cannot write to the log file %s; lines wait until it can be written (beyond 4000 "
                      "characters they are counted and lost)."),
                   LogPath + " (" + errnoText(err) + ")"));
    return false;
}

void TLogFile::queue(const std::string& text, const LocalTime& now) {
    const TLogDate day = dateOf(now);
    if (!PendingText.empty() && !(pendingDate_ == day)) datePending();
    pendingDate_ = day;
    PendingText += linePrefix(now);
    PendingText += text;
    PendingText += '\n';
}

void TLogFile::datePending() {
    const std::string day =
        cformat("%02d/%02d/%04d ", pendingDate_.day, pendingDate_.month, pendingDate_.year);
    std::string out;
    out.reserve(PendingText.size() + 16 * day.size());
    size_t at = 0;
    if (tailDay_.day != 0) {  // the rest of a line begun in the file: not a line of its own
        const size_t eol = PendingText.find('\n');
        at = eol == std::string::npos ? PendingText.size() : eol + 1;
        out.append(PendingText, 0, at);
    }
    while (at < PendingText.size()) {
        const size_t eol = PendingText.find('\n', at);
        const size_t next = eol == std::string::npos ? PendingText.size() : eol + 1;
        if (undated(PendingText, at)) out += day;
        out.append(PendingText, at, next - at);
        at = next;
    }
    PendingText = std::move(out);
}

// A failure of the log is said once, on standard error, in the status line and in a box: a log
// that drops lines without a word leaves the operator and support taking the record of a run
// for whole when it is not.
void TLogFile::reportFailure(const std::string& message) {
    if (failureReported_) return;
    failureReported_ = true;
    statusText_ = message;
    std::fprintf(stderr, "%s\n", message.c_str());
    showStatus();
    // Told from the event loop: a box must not open inside AddLine, which runs everywhere.
    QTimer::singleShot(0, this, [text = QString::fromStdString(message)] {
        if (OnLogTrouble) OnLogTrouble(text);
    });
}

void TLogFile::clearFailure() {
    failureReported_ = false;
    statusText_.clear();
    showStatus();
}

void TLogFile::logIsBack(const LocalTime& now) {
    const std::string trouble = statusText_;
    clearFailure();
    const std::string message = fillFirst8(_8("The log file %s is written again."), LogPath);
    std::fprintf(stderr, "%s\n", message.c_str());
    QTimer::singleShot(0, this, [text = QString::fromStdString(message)] {
        if (OnLogTrouble) OnLogTrouble(text);
    });
    queue("#log: " + message + " Before: " + trouble, now);
    writePending(now);
}

void TLogFile::showStatus() {
    if (!StatusLabel) return;
    StatusLabel->SetCaption(QString::fromStdString(statusText_));
    StatusLabel->setVisible(!statusText_.empty());
}

void TLogFile::countDropped(const LocalTime& now) {
    if (dropped_++ == 0) droppedSince_ = now;
}

std::optional<std::string> TLogFile::ReceivedEntry(std::string_view text, bool wellFormed, bool cutByReader) {
    const int64_t ms = appClock().monotonicMs();
    const bool minuteOver = badInWindow_ == 0 || ms - badWindowStart_ >= 60000;
    // At most one line a minute on what was left out.
    if (minuteOver && badSkipped_ > 0) {
        AddLine(skippedText());
        badSkipped_ = 0;
    }
    if (!wellFormed || cutByReader || text.size() > ReceivedLineMax) {
        if (minuteOver) {
            badWindowStart_ = ms;
            badInWindow_ = 0;
        }
        if (++badInWindow_ > BadLinesPerMinute) {
            if (badSkipped_++ == 0) badSkippedSince_ = appClock().localNow();
            return std::nullopt;
        }
    }
    return CutReceived(text, cutByReader);
}

// Lines that could not be written are counted, and the count goes into the log once it takes
// lines again: a gap that nothing marks reads as a time when nothing happened.
std::string TLogFile::droppedText() const {
    return cformat("#log: %llu %s lost since %s: the log file could not be written",
                   static_cast<unsigned long long>(dropped_), dropped_ == 1 ? "line" : "lines",
                   stamp(droppedSince_).c_str());
}

std::string TLogFile::skippedText() const {
    return cformat("#log: %llu malformed or overlong received %s not logged since %s",
                   static_cast<unsigned long long>(badSkipped_), badSkipped_ == 1 ? "line" : "lines",
                   stamp(badSkippedSince_).c_str());
}

std::string TLogFile::CutReceived(std::string_view text, bool cutByReader) {
    if (!cutByReader && text.size() <= ReceivedLineMax) return std::string(text);
    return std::string(text.substr(0, ReceivedLineMax)) +
           cformat(cutByReader ? " ... (%zu bytes or more)" : " ... (%zu bytes)", text.size());
}

// ---------------------------------------------------------------- window "Send Log File to Support"

const char* const TLogFile::SupportEmailAddress = "support@tressivanlabs.example";

namespace {

// A log's date when it is a real calendar date.
bool readableDate(const TLogDate& d, QDate& out) {
    if (d.day == 0) return false;
    out = QDate(d.year, d.month, d.day);
    return out.isValid();
}

bool samePath(const std::string& a, const std::string& b) {
    std::error_code ec1, ec2;
    if (std::filesystem::equivalent(a, b, ec1)) return true;
    const auto ca = std::filesystem::weakly_canonical(a, ec1);
    const auto cb = std::filesystem::weakly_canonical(b, ec2);
    return !ec1 && !ec2 && ca == cb;
}

void showError(const QString& text) {
    messageBox(text, _("Error"), MsgButtons::OK, mrOk, MsgIcon::Error);
}

}  // namespace

void TLogFile::buildWindow() {
    setFont(QFont(QStringLiteral("Arial")));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // Made in their tab order: the action, Save, Cancel, then the log to pick.
    auto* top = new QHBoxLayout;
    ActionRadioGrp = new TUxRadioGroup(QStringLiteral("Action"), this);
    ActionRadioGrp->setObjectName(QStringLiteral("ActionRadioGrp"));
    ActionRadioGrp->Items()->Add(QStringLiteral("Save Log File"));
    ActionRadioGrp->Items()->Add(QStringLiteral("Save Log File and Create Email"));
    top->addWidget(ActionRadioGrp, 1);
    auto* buttons = new QVBoxLayout;
    SaveBtn = new TUxButton(QStringLiteral("Save"), this);
    SaveBtn->setObjectName(QStringLiteral("SaveBtn"));
    SaveBtn->setDefault(true);
    SaveBtn->OnClick = [this] { SaveBtnClick(); };
    CancelBtn = new TUxButton(QStringLiteral("Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->OnClick = [this] { CancelBtnClick(); };
    SetCancelButton(CancelBtn);  // Escape
    buttons->addWidget(SaveBtn);
    buttons->addWidget(CancelBtn);
    buttons->addStretch();
    top->addLayout(buttons);
    layout->addLayout(top);

    FilenameRadioGrp = new TUxRadioGroup(QStringLiteral("Pick File"), this);
    FilenameRadioGrp->setObjectName(QStringLiteral("FilenameRadioGrp"));
    for (const char* text :
         {"Today's Log File", "Log File from Yesterday", "Log File from Day Before", "Log File from 3rd Day"})
        FilenameRadioGrp->Items()->Add(QString::fromUtf8(text));
    layout->addWidget(FilenameRadioGrp);

    StatusLabel = new TUxLabel(this);
    StatusLabel->setObjectName(QStringLiteral("StatusLabel"));
    StatusLabel->setWordWrap(true);
    StatusLabel->hide();
    layout->addWidget(StatusLabel);

    zip_ = std::make_unique<TZipCompress>();
    ZipCompress = zip_.get();
    ZipCompress->CompressionLevel = clMax;
    ZipCompress->CompressionMode = 9;
    ZipCompress->CompressionAlgorithm = caPPM;
    ZipCompress->FlushBuffers = true;
    ZipCompress->OnFileProgress = [this](TBaseArchiver* sender, const std::string& fileName, double progress,
                                         TZipOperation operation, TZipProgressPhase phase, bool& cancel) {
        ZipCompressFileProgress(sender, fileName, progress, operation, phase, cancel);
    };

    OnShow = [this] { FormShow(); };
}

const std::string& TLogFile::pathOf(int k) const {
    switch (k) {
        case 1:
            return LogPath2;
        case 2:
            return LogPath3;
        case 3:
            return LogPath4;
        default:
            return LogPath;
    }
}

QString TLogFile::LogChoiceText(int k) {
    QDate date;
    if (readableDate(ReadLogDate(pathOf(k)), date))
        return _("Log File from ") + QLocale().toString(date, QLocale::ShortFormat);
    switch (k) {
        case 0:
            return _("Today's Log File");
        case 1:
            return _("Log File from Yesterday");
        case 2:
            return _("Log File from Day Before");
        default:
            return _("Log File from 3rd Day");
    }
}

void TLogFile::FormShow() {
    for (int k = 0; k < 4; ++k) FilenameRadioGrp->Items()->Put(k, LogChoiceText(k));
    // The first in that order has the focus as the window opens.
    const int action = std::max(0, ActionRadioGrp->GetItemIndex());
    if (QRadioButton* b = ActionRadioGrp->button(action)) b->setFocus(Qt::OtherFocusReason);
    showStatus();
    adjustSize();
    CentreOn(mainWindowForCentring(this));
}

void TLogFile::CancelBtnClick() {
    Close();
}

void TLogFile::SaveBtnClick() {
    const std::string extension = "zip";
    const int action = ActionRadioGrp->GetItemIndex();
    // The progress window goes away however the save ends.
    struct ProgressWindow {
        ProgressWindow() {
            if (!ProgressBarForm) return;
            ProgressBarForm->SetProgress(0);
            ProgressBarForm->Show();
        }
        ~ProgressWindow() {
            if (ProgressBarForm) ProgressBarForm->Close();
        }
    };
    bool ok;
    {
        ProgressWindow progress;
        ok = SaveDayLog(extension, FilenameRadioGrp->GetItemIndex(), action);
        if (ok && action == 1 && !Shell::open(SupportMailLink()))
            showError(fillFirst(_("No mail program could be opened. Please, send the archive to %s."),
                                QString::fromLatin1(SupportEmailAddress)));
    }
    Close();
}

std::string TLogFile::SupportMailLink() {
    return std::string("mailto:") + SupportEmailAddress +
           "?subject=Log%20File&body=Please,%20attach%20compressed%20file%20to%20this%20email!";
}

namespace {

std::string archiveNameOf(const TLogDate& d) {
    QDate date;
    if (readableDate(d, date))
        return cformat("Zentrova%04d-%02d-%02d", date.year(), date.month(), date.day());
    return "ZentrovaKVZ";
}

std::string askArchiveName(std::string name, const std::string& extension) {
    if (!extension.empty()) name += "." + extension;
    Shell::SaveFileRequest req;
    req.fileName = QString::fromStdString(name);
    req.defaultExt = QString::fromStdString(extension);
    if (!extension.empty())
        req.filter = fillFirst(_("Archives (*.%s)"), req.defaultExt) + ";;" + _("All files (*)");
    return Shell::askSaveFileName(req).toStdString();
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

// A copy of an open log in a private folder of its own, which the archive packs: what is packed
// is the file opened before the save dialog, whatever name it has by then, and no name in the
// log folder is opened again. Removed when it goes.
class StagedLog {
  public:
    ~StagedLog() {
        if (!file_.empty()) ::unlink(file_.c_str());
        if (!dir_.empty()) ::rmdir(dir_.c_str());
    }
    // Copies at most maxBytes of fd under name; "" or why not.
    std::string make(int fd, const std::string& name, size_t maxBytes) {
        std::error_code ec;
        std::string tmpl = (std::filesystem::temp_directory_path(ec) / "zentrova-log-XXXXXX").string();
        if (ec) tmpl = "/tmp/zentrova-log-XXXXXX";
        if (!::mkdtemp(tmpl.data())) return errnoText(errno);
        dir_ = tmpl;
        file_ = dir_ + "/" + name;
        FdCloser out{::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
        if (out.fd < 0) return errnoText(errno);
        std::string buf(64 * 1024, '\0');
        size_t total = 0;
        for (;;) {
            const ssize_t n = ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(total));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errnoText(errno);
            if (n == 0) break;
            total += static_cast<size_t>(n);
            if (total > maxBytes) return tooLargeText(maxBytes);
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = ::write(out.fd, buf.data() + done, static_cast<size_t>(n - done));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) return errnoText(w < 0 ? errno : ENOSPC);
                done += w;
            }
        }
        // The archive dates the entry as the log.
        struct stat st {};
        if (::fstat(fd, &st) == 0) {
            const timespec times[2] = {st.st_atim, st.st_mtim};
            ::futimens(out.fd, times);
        }
        return "";
    }
    std::string folder() const { return dir_ + "/"; }
    static std::string tooLargeText(size_t maxBytes) {
        return fillFirst8(_8("it is larger than %s"), SafeRead::sizeText(maxBytes));
    }

  private:
    std::string dir_, file_;
};

}  // namespace

std::string TLogFile::ProposedArchiveName(const std::string& path) {
    return archiveNameOf(ReadLogDate(path));
}

std::string TLogFile::AskTargetFileName(const std::string& path, const std::string& extension) {
    return askArchiveName(ProposedArchiveName(path), extension);
}

bool TLogFile::SaveDayLog(const std::string& extension, int k, int action) {
    (void)action;
    if (k < 0 || k > 3) return false;
    const std::string path = pathOf(k);
    const size_t cut = path.find_last_of("/\\");
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);

    // The log is opened as the log itself opens its file: no symbolic link is followed (it
    // could pack any file of the user's), only a regular file, and not beyond a size.
    SafeRead::Result refused;
    // Named for what it is: a link to a device is a link, whatever it leads to.
    struct stat look {};
    if (!path.empty() && ::lstat(path.c_str(), &look) == 0 && S_ISLNK(look.st_mode)) {
        showError(fillFirst(
            _("The log file could not be saved:\n%s"),
            QString::fromStdString(path + ": " + _8("it is a symbolic link, which is not packed"))));
        return false;
    }
    const int fd = path.empty() ? -1 : SafeRead::openRegular(path, refused, O_NOFOLLOW);
    if (fd < 0) {
        if (path.empty() || refused.status == SafeRead::Status::Missing)
            showError(fillFirst(_("The log file %s does not exist."), QString::fromStdString(path)));
        else
            showError(
                fillFirst(_("The log file could not be saved:\n%s"), QString::fromStdString(refused.error)));
        return false;
    }
    const FdCloser closer{fd};
    const auto tooLarge = [&] {
        showError(fillFirst(_("The log file could not be saved:\n%s"),
                            QString::fromStdString(path + ": " + StagedLog::tooLargeText(ArchiveLogMax))));
        return false;
    };
    struct stat st {};
    if (::fstat(fd, &st) == 0 && static_cast<unsigned long long>(st.st_size) > ArchiveLogMax)
        return tooLarge();
    // A hard link in the log folder can be any file of the user's (a key, a mail box) under a
    // log's name: a log has that one name only.
    if (st.st_nlink > 1) {
        showError(
            fillFirst(_("The log file could not be saved:\n%s"),
                      QString::fromStdString(path + ": " +
                                             _8("it has another name (a hard link) and may be a file from "
                                                "outside the log folder; it is not packed"))));
        return false;
    }
    // The name proposed and the contents packed come from this one file, though a new day may
    // shift the logs while the dialog is open.
    std::string head(20, '\0');
    const ssize_t got = ::pread(fd, head.data(), head.size(), 0);
    head.resize(got > 0 ? static_cast<size_t>(got) : 0);
    const std::string target = askArchiveName(archiveNameOf(dateOfHead(head)), extension);
    if (target.empty()) return false;
    for (int i = 0; i < 4; ++i)
        if (samePath(target, pathOf(i))) {
            showError(fillFirst(_("The archive cannot replace the log file %s. Please, choose another name."),
                                QString::fromStdString(target)));
            return false;
        }

    // Today's log is closed only while it is packed (not while the dialog waits for the
    // operator), so the lines that wait meanwhile stay few; Reopen writes them with the next line.
    struct ReopenToday {
        TLogFile* log;
        ~ReopenToday() {
            if (log) log->Reopen();
        }
    } reopen{k == 0 ? this : nullptr};
    if (k == 0) CloseForMoment();

    std::string failure;
    StagedLog staged;
    if (const std::string why = staged.make(fd, name, ArchiveLogMax); !why.empty()) {
        failure = path + ": " + why;
    } else {
        try {
            ZipCompress->FileName = target;
            ZipCompress->OpenArchive(fmCreate);
            ZipCompress->BaseDir = staged.folder();
            ZipCompress->AddFiles(name, 0x28BF, "");
            ZipCompress->CloseArchive();
        } catch (const EZipException& e) {
            // Caught and shown here: an error left to the application's handler would end the
            // save half-way, today's log closed and not reopened (its lines lost until the next
            // day) and the progress window left open.
            failure = e.what();
        }
    }
    if (reopen.log) {
        reopen.log->Reopen();
        reopen.log = nullptr;
    }
    if (!failure.empty()) {
        showError(fillFirst(_("The log file could not be saved:\n%s"), QString::fromStdString(failure)));
        return false;
    }
    return true;
}

void TLogFile::ZipCompressFileProgress(TBaseArchiver*, const std::string&, double progress, TZipOperation,
                                       TZipProgressPhase, bool&) {
    if (ProgressBarForm) ProgressBarForm->SetProgress(static_cast<int>(progress));
}
