#include "platform/Registry.h"

#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/CaseFold.h"
#include "platform/SafeRead.h"
#include "platform/SystemInfo.h"
#include "platform/i18n.h"

namespace {
const char* const kFormat = "zentrova-registry";
const int kVersion = 1;
const int kBusyRetries = 3;
// No lock of the store is waited for longer than this: anyone who can open its files can hold
// one. After such a wait the thread's next uses fail at once for a while, so that a program
// that reads many values in a row is not held once per value.
constexpr std::chrono::milliseconds kLockWait{3000}, kStalled{10000};
thread_local std::chrono::steady_clock::time_point tLockUntil, tStalledUntil;
// Why the last open of one of the store's files was refused (not a regular file), "" if none.
thread_local std::string tRefused;

void startLockWait() {
    tLockUntil = std::chrono::steady_clock::now() + kLockWait;
}

bool stalled() {
    return std::chrono::steady_clock::now() < tStalledUntil;
}

void markStalled() {
    tStalledUntil = std::chrono::steady_clock::now() + kStalled;
}

// Locks are only ever tried (SQLite takes them without blocking) and retried in short steps
// until the wait's end.
int retryLock(void*, int tries) {
    if (std::chrono::steady_clock::now() >= tLockUntil) {
        markStalled();
        return 0;
    }
    std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(
        std::chrono::milliseconds(5 * (tries + 1)), std::chrono::milliseconds(50)));
    return 1;
}
// No statement runs longer than this, whatever the file holds.
constexpr std::chrono::seconds kStatementLimit{60};
const int64_t kRootIds[2] = {1, 2};  // HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE

const char* const kSchema =
    "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL,"
    " fold TEXT NOT NULL, UNIQUE(parent, fold));"
    "CREATE TABLE vals(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB, PRIMARY KEY(key, fold)) WITHOUT ROWID;"
    "INSERT INTO meta VALUES('format','zentrova-registry'),('version','1');"
    "INSERT INTO keys VALUES(1,0,'HKEY_CURRENT_USER','hkey_current_user'),"
    "(2,0,'HKEY_LOCAL_MACHINE','hkey_local_machine');";

std::atomic<int> gFailCountdown{0};

// ---- Record locks that nothing else in the process can drop
//
// SQLite's unix files keep their record locks with fcntl(F_SETLK), which belong to the
// process: closing any descriptor of the file anywhere in the process (a file dialog
// finding out the store's type, say) drops them all, another copy then takes itself for
// the last user, checkpoints and deletes the journal files, and this process goes on
// writing into deleted files. So every lock goes to an open file description of its own
// per file and process instead (F_OFD_SETLK); only SQLite's own closes end it. All
// connections of the process to one file share that description, as they shared the
// process's locks before, and the locks still conflict with those of other processes,
// older copies' process locks included.
using OpenFn = int (*)(const char*, int, int);
using CloseFn = int (*)(int);
using FcntlFn = int (*)(int, int, ...);
OpenFn gOpen = nullptr;
CloseFn gClose = nullptr;
FcntlFn gFcntl = nullptr;

struct FileId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FileId&) const = default;
};
struct LockFile {
    FileId id;
    int users = 0;  // SQLite's descriptors of the file
    int fd = -1;    // the description that holds the locks, made on the first lock
    pid_t pid = 0;  // the process that made it: a forked child makes its own
};
std::mutex gLockMutex;
std::atomic<pid_t> gPid{0};  // kept by a fork handler: getpid() on every lock costs a system call
std::unordered_map<int, FileId> gOpenFds;  // SQLite's descriptors
std::vector<LockFile> gLockFiles;

LockFile* lockFileOf(const FileId& id) {
    for (auto& f : gLockFiles)
        if (f.id == id) return &f;
    return nullptr;
}

const char* const kLinkText =
    "%s is not used: it is a symbolic link, which the settings store does not follow.";
const char* const kOwnerText = "%s is not used: it belongs to another user.";

std::string storeFileProblem(const std::string& path, const char* templ) {
    return fillFirst8(_8(templ), path);
}

int trackedOpen(const char* path, int flags, int mode) {
    // Never blocks (a named pipe put beside the store), and of the store's family only files are
    // used (SQLite also reads its randomness from a device).
    const int fd = gOpen(path, flags | O_NONBLOCK | O_NOCTTY, mode);
    struct stat st {
    }, look{};
    const bool device = std::strncmp(path, "/dev/", 5) == 0;
    if (fd < 0 && (errno == EISDIR || errno == ELOOP) && !device) {
        // SQLite opens the journal's files without following links (ELOOP).
        const int err = errno;
        if (::lstat(path, &look) == 0 && S_ISLNK(look.st_mode))
            tRefused = storeFileProblem(path, kLinkText);
        else if (err == EISDIR)
            tRefused = SafeRead::notRegularText(path, S_IFDIR);
        errno = err;
        return -1;
    }
    if (fd < 0 || ::fstat(fd, &st) != 0) return fd;
    std::string why;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !device)
        why = SafeRead::notRegularText(path, st.st_mode);
    // In a folder others may write to, a link or another user's file at one of the store's names
    // would take the settings into their file, or give theirs to the program.
    else if (S_ISREG(st.st_mode) && ::lstat(path, &look) == 0 && S_ISLNK(look.st_mode))
        why = storeFileProblem(path, kLinkText);
    else if (S_ISREG(st.st_mode) && st.st_uid != ::geteuid())
        why = storeFileProblem(path, kOwnerText);
    if (!why.empty()) {
        tRefused = why;
        gClose(fd);
        errno = EINVAL;
        return -1;
    }
    const FileId id{st.st_dev, st.st_ino};
    std::lock_guard lock(gLockMutex);
    gOpenFds[fd] = id;  // a number closed behind SQLite's back stays counted: its lock file stays
    if (LockFile* f = lockFileOf(id))
        ++f->users;
    else
        gLockFiles.push_back(LockFile{id, 1, -1, 0});
    return fd;
}

int trackedClose(int fd) {
    {
        std::lock_guard lock(gLockMutex);
        if (auto it = gOpenFds.find(fd); it != gOpenFds.end()) {
            const FileId id = it->second;
            gOpenFds.erase(it);
            for (auto f = gLockFiles.begin(); f != gLockFiles.end(); ++f) {
                if (!(f->id == id) || --f->users > 0) continue;
                // SQLite's last descriptor goes: its locks go with it, as they always did.
                if (f->fd >= 0) gClose(f->fd);
                gLockFiles.erase(f);
                break;
            }
        }
    }
    return gClose(fd);
}

// The description that holds this process's locks on the file of fd; -1 when fd is not
// one of SQLite's.
int lockFd(int fd) {
    std::lock_guard lock(gLockMutex);
    const auto it = gOpenFds.find(fd);
    if (it == gOpenFds.end()) return -1;
    LockFile* f = lockFileOf(it->second);
    if (!f) return -1;
    const pid_t pid = gPid.load(std::memory_order_relaxed);
    if (f->fd >= 0 && f->pid == pid) return f->fd;
    // A description inherited over fork is the parent's: its locks would be shared with it.
    if (f->fd >= 0) gClose(f->fd);
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    f->fd = ::open(self.c_str(), O_RDWR | O_CLOEXEC);
    if (f->fd < 0) f->fd = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
    if (f->fd < 0) f->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);  // no /proc: at least no close drops it
    f->pid = pid;
    return f->fd;
}

int ofdFcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    const int ofd = cmd == F_SETLK    ? F_OFD_SETLK
                    : cmd == F_SETLKW ? F_OFD_SETLKW
                    : cmd == F_GETLK  ? F_OFD_GETLK
                                      : 0;
    if (ofd == 0) return gFcntl(fd, cmd, arg);
    const int holder = lockFd(fd);
    if (holder < 0) return gFcntl(fd, cmd, arg);
    auto* lk = static_cast<struct flock*>(arg);
    lk->l_pid = 0;
    return gFcntl(holder, ofd, lk);
}

// SQLite's own retries (a reader that meets held read marks tries a hundred times, ten seconds in
// all) sleep through here: past the lock wait's end they go on without sleeping, and end soon.
int (*gSleep)(sqlite3_vfs*, int) = nullptr;
int boundedSleep(sqlite3_vfs* vfs, int micros) {
    if (std::chrono::steady_clock::now() >= tLockUntil) {
        markStalled();
        return 0;
    }
    return gSleep(vfs, micros);
}

void installLocking() {
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
        if (vfs && vfs->xSleep && !gSleep) {
            gSleep = vfs->xSleep;
            vfs->xSleep = boundedSleep;
        }
        if (!vfs || vfs->iVersion < 3 || !vfs->xGetSystemCall || !vfs->xSetSystemCall) return;
        gOpen = reinterpret_cast<OpenFn>(vfs->xGetSystemCall(vfs, "open"));
        gClose = reinterpret_cast<CloseFn>(vfs->xGetSystemCall(vfs, "close"));
        gFcntl = reinterpret_cast<FcntlFn>(vfs->xGetSystemCall(vfs, "fcntl"));
        if (!gOpen || !gClose || !gFcntl) return;
        gPid = ::getpid();
        ::pthread_atfork(nullptr, nullptr, [] { gPid = ::getpid(); });
        vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(&trackedOpen));
        vfs->xSetSystemCall(vfs, "close", reinterpret_cast<sqlite3_syscall_ptr>(&trackedClose));
        vfs->xSetSystemCall(vfs, "fcntl", reinterpret_cast<sqlite3_syscall_ptr>(&ofdFcntl));
    });
}

// Before main: no SQLite file of the process is ever opened without it, since a process's
// own classic locks and description locks would exclude each other.
[[maybe_unused]] const bool gLockingInstalled = (installLocking(), true);

std::string storeProblem(const char* templ, const std::string& path, const std::string& reason = {}) {
    std::string msg = fillFirst8(_8(templ), path);
    if (!reason.empty()) msg += " (" + reason + ")";
    return msg + ". " +
           _8("The file is left unchanged. Close every copy of the program first; then move the file aside "
              "together with its -wal and -shm files, or copy a backup over it and delete those two files; "
              "then start the program again.");
}

bool isBusy(int rc) {
    return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}

// The message for a file of the store's family that is there but is not a regular file, once;
// "" when no open was refused.
std::string refusedProblem(const std::string& path) {
    if (tRefused.empty()) return "";
    std::string msg =
        tRefused + " " +
        fillFirst8(_8("The settings store %s is left unchanged. Close every copy of the program, then "
                      "move that file aside."),
                   path);
    tRefused.clear();
    return msg;
}

std::string lockedProblem(const std::string& path) {
    // Only a wait that ran out starts the stall: uses refused during it do not lengthen it, or a
    // program that keeps trying would never see the store again.
    if (!stalled()) markStalled();
    return fillFirst8(_8("The settings store %s stays locked by another program"), path) + ". " +
           _8("Nothing was read or saved; try again later.");
}

// A state of the store as its header tells it: the write count (user_version, raised by every
// write transaction of the program and regtool) and the line of history (application_id: a file
// copied elsewhere starts a line of its own at its first write there, Conn::keepLine). Both are
// content: a checkpoint, a VACUUM, a backup through SQLite or touch leave them as they are.
struct State {
    uint32_t writes = 0;
    uint32_t line = 0;  // 0: a store written before lines were kept
};

uint32_t headerWord(const unsigned char* h) {
    return uint32_t(h[0]) << 24 | uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
}

// The file a line was started in, as the store's "origin" record names it.
std::string homeOf(dev_t dev, ino_t ino) {
    return std::to_string(uint64_t(dev)) + ":" + std::to_string(uint64_t(ino));
}

// What a connection sees of the store through its journal: the write count and the line of
// history, with where that line started ("origin": the file, the line it branched from and the
// write count of its first write).
struct View {
    bool known = false;
    int64_t writes = 0;
    uint32_t line = 0;
    std::string home;
    uint32_t parent = 0;
    int64_t forked = 0;
};

// The file at the store's name.
struct FileMark {
    dev_t dev = 0;
    ino_t ino = 0;
};

bool sameFile(const struct stat& st, const FileMark& m) {
    return st.st_dev == m.dev && st.st_ino == m.ino;
}

// The state in a store file's own header (what the checkpoints brought into it); false when it
// cannot be read or holds no database header.
bool fileState(const std::string& path, State& s) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat st {};
    unsigned char h[100];
    const bool ok =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::pread(fd, h, sizeof h, 0) == ssize_t(sizeof h);
    ::close(fd);
    if (!ok || std::memcmp(h, "SQLite format 3", 16) != 0) return false;
    s.writes = headerWord(h + 60);
    s.line = headerWord(h + 68);
    return true;
}

// The states the journal (registry.db-wal) holds, in order: every write transaction of ours
// writes the header page, so each committed frame of page 1 is one state of the history. Only
// the frames of the journal's present run (its header's salt) count.
struct Journal {
    struct Entry {
        State state;
        uint32_t frame;  // 1-based
    };
    std::vector<Entry> states;
};

bool readJournal(const std::string& wal, Journal& j) {
    j.states.clear();
    const int fd = ::open(wal.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT;
    struct stat st {};
    unsigned char hdr[32], fh[24], page[100];
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const uint32_t magic = ok && ::pread(fd, hdr, 32, 0) == 32 ? headerWord(hdr) : 0;
    const uint32_t pageSize = headerWord(hdr + 8);
    if (ok && (magic & 0xfffffffe) == 0x377f0682 && pageSize >= 512 && pageSize <= 65536 &&
        (pageSize & (pageSize - 1)) == 0) {
        std::vector<Journal::Entry> pending;
        uint32_t frame = 0;
        for (off_t at = 32;; at += 24 + off_t(pageSize)) {
            if (::pread(fd, fh, 24, at) != 24 || std::memcmp(fh + 8, hdr + 16, 8) != 0) break;
            ++frame;
            if (headerWord(fh) == 1 && ::pread(fd, page, 100, at + 24) == 100 &&
                std::memcmp(page, "SQLite format 3", 16) == 0)
                pending.push_back({State{headerWord(page + 60), headerWord(page + 68)}, frame});
            if (headerWord(fh + 4) != 0) {  // a commit
                j.states.insert(j.states.end(), pending.begin(), pending.end());
                pending.clear();
            }
        }
    }
    ::close(fd);
    return ok;
}

// Whether the journal certainly belongs to another file than the one at the store's name: the
// file's header is not a state the journal's history passes through. A checkpoint leaves the
// header at the state before the journal's first write or at one of the journal's states (not
// always the last one checkpointed: a page whose newest frame lies past what a checkpoint may
// copy stays as it was). A header ahead of the journal, behind its start, or at a state the
// journal never held (a backup with writes of its own) is another file's. Where the content
// cannot tell (no states of ours in the journal; the state just before the journal, whose line
// a branch's first write changes), the journal is taken as the file's.
bool journalStale(const State& file, const Journal& j) {
    if (j.states.empty()) return false;
    if (file.writes == j.states.front().state.writes - 1) return false;
    for (const auto& e : j.states)
        if (e.state.writes == file.writes && e.state.line == file.line) return false;
    return true;
}

// SQLite's lock bytes: in the shared-memory file the write lock, the checkpoint lock and the
// mark every connection holds while it uses the journal; in the database file the range every
// connection holds shared while it has the store open (and the pending byte before it).
const off_t kCheckpointByte = 121, kFirstReadMark = 124, kInUseByte = 128;
const off_t kPendingByte = 0x40000000, kSharedRange = 512;

// A lock of SQLite's taken through a description of our own, in its own way (tried, never
// waited on), so that it excludes SQLite's connections in every process, this one included.
struct Hold {
    int fd = -1;
    Hold() = default;
    Hold(const Hold&) = delete;
    ~Hold() {
        if (fd >= 0) ::close(fd);
    }
    // false when another holds it; missing is true (nobody can hold a file that is not there).
    bool take(const std::string& file, short type, off_t start, off_t len, bool& missing) {
        fd = ::open(file.c_str(),
                    (type == F_WRLCK ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
        missing = fd < 0 && errno == ENOENT;
        if (fd < 0) return false;
        // Not a file SQLite can use (a pipe put there): nobody holds a lock through it either.
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            missing = true;
            return false;
        }
        struct flock lk {};
        lk.l_type = type;
        lk.l_whence = SEEK_SET;
        lk.l_start = start;
        lk.l_len = len;
        return ::fcntl(fd, F_OFD_SETLK, &lk) == 0;
    }
};

// Holds the store's shared-memory bytes [start, start+len) shared, tried in short steps for a
// bounded time: no checkpoint (and, with the write byte, no write) can run meanwhile.
bool holdShared(Hold& h, const std::string& path, off_t start, off_t len) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (;;) {
        bool missing = false;
        if (h.take(path + "-shm", F_RDLCK, start, len, missing) || missing) return true;
        if (h.fd >= 0) ::close(h.fd);
        h.fd = -1;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The journal kept aside under a name of its own (never deleted), when it certainly belongs to
// another file than the one now at the store's name and no connection anywhere (this process
// included) has the store open or can open it meanwhile. The new name, "" when nothing was done.
std::string setStaleJournalAside(const std::string& path) {
    const std::string wal = path + "-wal";
    struct stat st {};
    if (::lstat(wal.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 32) return "";
    Hold db, shm;
    bool missing = false;
    if (!db.take(path, F_WRLCK, kPendingByte, kSharedRange, missing)) return "";
    if (!shm.take(path + "-shm", F_WRLCK, kInUseByte, 1, missing) && !missing) return "";
    State file;
    Journal j;
    if (!fileState(path, file) || !readJournal(wal, j) || !journalStale(file, j)) return "";
    char when[32];
    const time_t now = ::time(nullptr);
    struct tm t {};
    ::localtime_r(&now, &t);
    std::strftime(when, sizeof when, "%Y%m%d-%H%M%S", &t);
    for (int i = 0; i < 100; ++i) {
        const std::string aside = wal + ".stale-" + when + (i ? "-" + std::to_string(i) : "");
        if (::link(wal.c_str(), aside.c_str()) == 0) {
            ::unlink(wal.c_str());
            return aside;
        }
        if (errno != EEXIST) return "";
    }
    return "";
}

// What was set aside, for the operator: said once by whoever asks (Registry::notice()).
std::mutex gNoticeMutex;
std::string gNotice;

void noteAside(const std::string& path, const std::string& aside) {
    if (aside.empty()) return;
    const std::string text =
        fillFirst8(_8("The journal of the settings store %s did not belong to the file now at its name (a "
                      "copy of the file was put in its place while the journal was still open) and was not "
                      "read into it: it is kept as "),
                   path) +
        aside + ".";
    std::fprintf(stderr, "%s\n", text.c_str());  // a copy that ends has no other way to say it
    std::lock_guard lock(gNoticeMutex);
    gNotice += (gNotice.empty() ? "" : "\n") + text;
}

// Why a connection writes nothing more.
enum class Verdict {
    None,
    Moved,    // the store's name leads to another file than the one this connection opened
    Stale,    // the file at the name is not a state of the journal's history
    Changed,  // the store holds no later state of what this connection last saw (a restore)
};

// One connection per thread and store file, reused by every Registry object of the thread.
struct Conn {
    sqlite3* db = nullptr;
    std::string path;
    pid_t pid = 0;
    int txDepth = 0;
    bool walChecked = false;
    // Read-only until the thread's first write: reading can then neither checkpoint nor
    // delete the journal, whatever it holds.
    bool readOnly = false;
    FileMark mark;
    State seen;  // the store as this connection last saw it, through its journal
    bool seenKnown = false;
    State pending;  // what the open write transaction makes of it, once committed
    Verdict verdict = Verdict::None;
    bool replacedSaid = false;  // ...and the operator was told so
    // What a check or a failed step found damaged: no write from then on.
    mutable std::string damage;
    // End of the running step's time; none between steps.
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    std::unordered_map<const char*, sqlite3_stmt*> stmts;

    ~Conn() {
        if (pid != ::getpid()) return;  // inherited across fork: the parent still owns it
        if (!db) return;
        // The last connection to close checkpoints the journal into the file: never into a file
        // the journal does not belong to, nor into a damaged one. Where that cannot be looked at
        // now, the journal stays for the next copy, as SQLite leaves it.
        const bool keep = !readOnly && (verdict == Verdict::Moved || verdict == Verdict::Stale ||
                                        !damage.empty() || !journalMatches());
        for (auto& [sql, st] : stmts) sqlite3_finalize(st);
        if (keep) sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_close_v2(db);
        // The last to close, reader or writer, keeps a journal that is not the file's out of the
        // next copy's way.
        noteAside(path, setStaleJournalAside(path));
    }

    // Whether the file at the name is still this connection's and a state of the journal's
    // history, looked at while no copy can write or checkpoint.
    bool journalMatches() {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !sameFile(st, mark)) {
            verdict = Verdict::Moved;
            return false;
        }
        // The checkpoint's lock, and a read mark that keeps a writer from starting the journal
        // over: neither the file nor the journal's present run changes meanwhile.
        Hold h;
        if (!holdShared(h, path, kCheckpointByte, kFirstReadMark + 1 - kCheckpointByte)) return false;
        State file;
        Journal j;
        if (!fileState(path, file) || !readJournal(path + "-wal", j)) return false;
        if (!journalStale(file, j)) return true;
        verdict = Verdict::Stale;
        return false;
    }

    // The full text once; tell=false gives it without using it up.
    ERegistryException replacedError(bool tell = true) {
        if (replacedSaid)
            return ERegistryException(
                _8("The settings were not saved: the settings store was replaced while the program was "
                   "running; start the program again."));
        if (tell) replacedSaid = true;
        return ERegistryException(
            fillFirst8(_8("The settings store %s was replaced while the program was running"), path) + ". " +
            _8("Nothing more is saved into it, and nothing of the program's journal goes into it: close "
               "every "
               "copy of the program and start it again to use the new file."));
    }

    [[noreturn]] void fail(const std::string& what, int rc) const {
        if (std::string refused = refusedProblem(path); !refused.empty()) throw ERegistryException(refused);
        std::string msg = what + ": ";
        msg += db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        if ((rc & 0xff) == SQLITE_READONLY)
            msg = fillFirst8(_8("The settings store %s cannot be written"), path) + " (" + msg + ")";
        else if ((rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB) {
            damage = msg;
            msg = storeProblem("The settings store %s is damaged", path, msg);
        } else if ((rc & 0xff) == SQLITE_INTERRUPT)
            msg = storeProblem("The settings store %s takes too long to answer", path, msg);
        else if (isBusy(rc) || (rc & 0xff) == SQLITE_PROTOCOL)
            msg = lockedProblem(path);
        throw ERegistryException(msg);
    }

    // Statements are compiled once per connection; the SQL text literal is the cache key.
    sqlite3_stmt* prepare(const char* sql) {
        auto it = stmts.find(sql);
        if (it != stmts.end()) {
            sqlite3_reset(it->second);
            sqlite3_clear_bindings(it->second);
            return it->second;
        }
        sqlite3_stmt* st = nullptr;
        startLockWait();
        const int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
        if (rc != SQLITE_OK) fail("Settings store query failed", rc);
        stmts.emplace(sql, st);
        return st;
    }

    // Steps a statement, retrying while another copy holds the store (after the busy timeout).
    int step(sqlite3_stmt* st) {
        if (stalled()) fail("Settings store access failed", SQLITE_BUSY);
        deadline = std::chrono::steady_clock::now() + kStatementLimit;
        startLockWait();
        int rc = sqlite3_step(st);
        for (int i = 0;
             i < kBusyRetries && isBusy(rc) && !stalled() && (txDepth == 0 || sqlite3_get_autocommit(db));
             ++i) {
            sqlite3_reset(st);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            rc = sqlite3_step(st);
        }
        deadline = std::chrono::steady_clock::time_point::max();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            sqlite3_reset(st);
            fail("Settings store access failed", rc);
        }
        return rc;
    }

    void exec(const char* sql) {
        sqlite3_stmt* st = prepare(sql);
        step(st);
        sqlite3_reset(st);
    }

    // A statement whose text changes from call to call: not kept.
    void exec(const char* sql, bool) {
        if (int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr); rc != SQLITE_OK)
            fail("Settings store access failed", rc);
    }

    // "" when SQLite's quick check finds nothing wrong, else what it found.
    std::string quickCheck() {
        sqlite3_stmt* st = prepare("PRAGMA quick_check(3)");
        std::string result;
        while (step(st) == SQLITE_ROW) {
            const auto* row = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            result += (result.empty() ? "" : "; ") + std::string(row ? row : "");
        }
        sqlite3_reset(st);
        return result == "ok" ? std::string() : result.empty() ? std::string("no result") : result;
    }

    // A store of ours that someone switched to another journal goes back to WAL, which lets
    // the copies read while one writes; only on a write, so that reading changes nothing.
    void useWal() {
        if (walChecked) return;
        walChecked = true;
        sqlite3_stmt* st = prepare("PRAGMA journal_mode");
        const bool wal = step(st) == SQLITE_ROW && sqlite3_column_text(st, 0) &&
                         std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "wal") == 0;
        sqlite3_reset(st);
        if (!wal) sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    }

    View readView() {
        sqlite3_stmt* st = prepare(
            "SELECT (SELECT user_version FROM pragma_user_version), (SELECT application_id FROM "
            "pragma_application_id), (SELECT value FROM meta WHERE name='origin')");
        View v;
        if (step(st) == SQLITE_ROW) {
            v.known = true;
            v.writes = uint32_t(sqlite3_column_int(st, 0));
            v.line = uint32_t(sqlite3_column_int(st, 1));
            const char* origin = reinterpret_cast<const char*>(sqlite3_column_text(st, 2));
            std::istringstream in(origin ? origin : "");
            in >> v.home >> v.parent >> v.forked;
        }
        sqlite3_reset(st);
        return v;
    }

    // The write transaction was committed: what it wrote is what this connection last saw.
    void committed() {
        seen = pending;
        seenKnown = true;
    }

    // What this connection sees now becomes what it last saw.
    void see() {
        try {
            const View v = readView();
            seen = State{uint32_t(v.writes), v.line};
            seenKnown = v.known;
        } catch (const ERegistryException&) {
        }
    }

    // A file that was copied somewhere and written there is another store from then on: its
    // first write there starts a line of its own, so that the copies that know the original
    // never take it for a later state of theirs. A store without a line gets one the same way.
    uint32_t keepLine(const View& view, int64_t next) {
        const std::string home = homeOf(mark.dev, mark.ino);
        if (view.line != 0 && view.home == home) return view.line;
        static std::mutex randomMutex;
        static std::random_device random;
        uint32_t line = 0;
        {
            std::lock_guard lock(randomMutex);
            while (line == 0 || line == view.line) line = random();
        }
        exec(("PRAGMA application_id=" + std::to_string(int32_t(line))).c_str(), false);
        sqlite3_stmt* st = prepare("INSERT OR REPLACE INTO meta(name, value) VALUES('origin', ?1)");
        const std::string origin = home + " " + std::to_string(view.line) + " " + std::to_string(next);
        sqlite3_bind_text(st, 1, origin.data(), int(origin.size()), SQLITE_STATIC);
        step(st);
        sqlite3_reset(st);
        return line;
    }

    // The verdict on what this write transaction meets (under the write lock, so no other copy
    // writes meanwhile): the file at the name must be the one this connection opened, the
    // store a later state of the line it last saw (other copies' writes raise the count, a
    // VACUUM keeps it), and the file a state of the journal's history, looked at while no
    // checkpoint runs. Only content counts: times, sizes and touch do not.
    Verdict judge(const View& view) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !sameFile(st, mark)) return Verdict::Moved;
        {
            Hold h;
            if (!holdShared(h, path, kCheckpointByte, 1)) fail("Settings store access failed", SQLITE_BUSY);
            State file;
            Journal j;
            if (fileState(path, file) && readJournal(path + "-wal", j) && journalStale(file, j))
                return Verdict::Stale;
        }
        return seenKnown && view.known && !laterState(view) ? Verdict::Changed : Verdict::None;
    }

    // Whether the view is a later state of what this connection last saw: the same line with a
    // count not lower, or a line this very file started since (its first write there, by
    // another copy) from that one.
    bool laterState(const View& view) const {
        if (seen.line == 0 || view.line == seen.line) return uint32_t(view.writes) >= seen.writes;
        return view.parent == seen.line && view.home == homeOf(mark.dev, mark.ino) &&
               view.forked > seen.writes && view.writes >= view.forked;
    }

    // Opens a write transaction. A damaged file is never written to (writing into it can
    // make it worse or never end), and damage can come at any time: each write transaction
    // checks the file first, under the write lock, so the check sees what the write meets.
    // The same holds for a file replaced under the program (judge()); the transaction then
    // raises the write count.
    void beginWrite(bool tell = true) {
        if (verdict != Verdict::None) throw replacedError(tell);
        if (!damage.empty())
            throw ERegistryException(storeProblem("The settings store %s is damaged", path, damage));
        useWal();
        exec("BEGIN IMMEDIATE");
        txDepth = 1;
        std::string problem;
        try {
            const View view = readView();
            verdict = judge(view);
            problem = quickCheck();
            if (verdict == Verdict::None && problem.empty()) {
                const int64_t next = view.writes >= 0x7fffffff ? 1 : view.writes + 1;
                const uint32_t line = keepLine(view, next);
                exec(("PRAGMA user_version=" + std::to_string(next)).c_str(), false);
                pending = State{uint32_t(next), line};
                return;
            }
        } catch (...) {
            txDepth = 0;
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        txDepth = 0;
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        if (verdict != Verdict::None) throw replacedError(tell);
        damage = problem;
        throw ERegistryException(storeProblem("The settings store %s is damaged", path, problem));
    }
};

thread_local std::unique_ptr<Conn> tConn;

void closeDb(sqlite3* db) {
    if (db) sqlite3_close_v2(db);
}

// Checks the file's layout; "" when it is a store of ours, else the reason.
std::string validate(sqlite3* db, const std::string& path) {
    sqlite3_stmt* st = nullptr;
    if (stalled()) return lockedProblem(path);
    startLockWait();  // the schema is read while the statement is made
    int rc = sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE name='format'", -1, &st, nullptr);
    if (rc == SQLITE_OK && stalled()) rc = SQLITE_BUSY;  // the schema was read only past the wait's end
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(st);
        for (int i = 0; i < 50 && isBusy(rc) && !stalled(); ++i) {
            sqlite3_reset(st);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            rc = sqlite3_step(st);
        }
    }
    std::string format;
    if (rc == SQLITE_ROW && sqlite3_column_text(st, 0))
        format = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    const int prim = rc & 0xff;
    if (std::string refused = refusedProblem(path); !refused.empty()) return refused;
    if (prim == SQLITE_NOTADB)
        return storeProblem("The settings store %s is not a settings database", path, sqlite3_errstr(rc));
    if (prim == SQLITE_CORRUPT)
        return storeProblem("The settings store %s is damaged", path, sqlite3_errstr(rc));
    if (prim == SQLITE_CANTOPEN || prim == SQLITE_PERM || prim == SQLITE_AUTH)
        return fillFirst8(_8("The settings store %s cannot be opened"), path) + " (" + sqlite3_errstr(rc) +
               ").";
    if (isBusy(rc) || prim == SQLITE_PROTOCOL) return lockedProblem(path);
    if (format != kFormat) return storeProblem("The settings store %s is a database of another kind", path);

    rc = sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE name='version'", -1, &st, nullptr);
    int version = 0;
    if (rc == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) version = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    if (version > kVersion)
        return storeProblem("The settings store %s was written by a newer version of the program", path);
    if (version < 1) return storeProblem("The settings store %s has an unknown layout", path);

    // Every column the store relies on, and both roots.
    rc = sqlite3_prepare_v2(db,
                            "SELECT (SELECT count(*) FROM keys WHERE id IN (1,2) AND parent=0),"
                            " (SELECT count(*) FROM (SELECT id,parent,name,fold FROM keys LIMIT 0)),"
                            " (SELECT count(*) FROM (SELECT key,name,fold,type,data FROM vals LIMIT 0))",
                            -1, &st, nullptr);
    int roots = 0;
    if (rc == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) roots = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    if (rc != SQLITE_OK || roots != 2)
        return storeProblem("The settings store %s has an unknown layout", path,
                            rc != SQLITE_OK ? sqlite3_errmsg(db) : "");
    return "";
}

void configure(sqlite3* db) {
    sqlite3_busy_handler(db, retryLock, nullptr);
    startLockWait();
    sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
}

int mkdirs(const std::string& dir) {
    if (dir.empty()) return 0;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    const auto slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0)
        if (int e = mkdirs(dir.substr(0, slash)); e) return e;
    // The settings are the user's own.
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    return 0;
}

// Creates a new store: the schema goes into a private file that is then linked into
// place, so no copy ever sees a half-made store and a file that appeared meanwhile wins.
std::string createStore(const std::string& path) {
    installLocking();
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        if (int e = mkdirs(path.substr(0, slash)); e)
            return fillFirst8(_8("The settings store %s cannot be created"), path) + " (" + std::strerror(e) +
                   ").";
    std::string tmp = path + ".new-XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return fillFirst8(_8("The settings store %s cannot be created"), path) + " (" + std::strerror(errno) +
               ").";
    ::close(fd);  // made 0600, the user's alone; the journal files take the same mode
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(tmp.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, (std::string("BEGIN;") + kSchema + "COMMIT;").c_str(), nullptr, nullptr,
                          nullptr);
    std::string err =
        rc == SQLITE_OK ? std::string() : std::string(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    closeDb(db);
    ::unlink((tmp + "-shm").c_str());
    ::unlink((tmp + "-wal").c_str());
    if (err.empty() && ::link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) err = std::strerror(errno);
    ::unlink(tmp.c_str());
    if (!err.empty())
        return fillFirst8(_8("The settings store %s cannot be created"), path) + " (" + err + ").";
    return "";
}

// Opens the store for this thread; "" on success, else the operator's message.
std::string openStore(const std::string& path, std::unique_ptr<Conn>& out, bool readOnly) {
    installLocking();
    if (stalled()) return lockedProblem(path);
    tRefused.clear();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return fillFirst8(_8("The settings store %s cannot be opened"), path) + " (" +
                   std::strerror(errno) + ").";
        if (std::string e = createStore(path); !e.empty()) return e;
        if (::lstat(path.c_str(), &st) != 0)
            return fillFirst8(_8("The settings store %s cannot be opened"), path) + " (" +
                   std::strerror(errno) + ").";
    }
    if (S_ISLNK(st.st_mode))
        return storeProblem("The settings store %s is a symbolic link", path,
                            _8("the store is not used through a link: it could lead to another user's file"));
    if (!S_ISREG(st.st_mode)) return storeProblem("The settings store %s is not a file", path);
    if (st.st_uid != ::geteuid())
        return storeProblem("The settings store %s belongs to another user", path,
                            _8("the store is used only in a file of the user's own"));
    if (st.st_size == 0) return storeProblem("The settings store %s is empty", path);
    const FileMark mark{st.st_dev, st.st_ino};
    // A journal left beside a file copied over the store while a copy had it open (and killed
    // since) is never read over it: the first copy to find the store unused sets it aside.
    noteAside(path, setStaleJournalAside(path));
    sqlite3* db = nullptr;
    // Never SQLITE_OPEN_CREATE here: a file that vanished is not silently replaced.
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        closeDb(db);
        return fillFirst8(_8("The settings store %s cannot be opened"), path) + " (" + why + ").";
    }
    configure(db);
    // A reader takes a file cut short for what it holds (the pages that are there), so that an
    // export can rescue them; a writer never opens it.
    if (readOnly) sqlite3_exec(db, "PRAGMA writable_schema=ON", nullptr, nullptr, nullptr);
    if (std::string e = validate(db, path); !e.empty()) {
        closeDb(db);
        return e;
    }
    auto c = std::make_unique<Conn>();
    sqlite3_progress_handler(
        db, 10000,
        [](void* p) { return std::chrono::steady_clock::now() > static_cast<Conn*>(p)->deadline ? 1 : 0; },
        c.get());
    c->db = db;
    c->path = path;
    c->pid = ::getpid();
    c->readOnly = readOnly;
    c->mark = mark;
    c->see();
    out = std::move(c);
    return "";
}

// The thread's connection to the current store, opened on demand (again when the store's
// path changes), read-only until the thread's first write. A name that leads to another file
// now does not take the connection there: it stays with the file it opened and writes nothing.
Conn& conn(bool write = false) {
    if (tConn && tConn->pid != ::getpid())
        (void)tConn.release();  // a connection inherited across fork is never touched
    const std::string path = Registry::storePath();
    std::unique_ptr<Conn> old;
    if (tConn) {
        if (tConn->txDepth > 0) return *tConn;
        if (tConn->path == path) {
            if (!write || !tConn->readOnly || tConn->verdict != Verdict::None) return *tConn;
            old = std::move(tConn);  // the first write: the reader makes way for a writer
        } else {
            tConn.reset();
        }
    }
    std::unique_ptr<Conn> c;
    if (std::string e = openStore(path, c, !write); !e.empty()) throw ERegistryException(e);
    if (old) {  // what the thread saw before still holds
        c->mark = old->mark;
        c->seen = old->seen;
        c->seenKnown = old->seenKnown;
    }
    tConn = std::move(c);
    old.reset();
    return *tConn;
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t b = 0;
    while (b <= path.size()) {
        size_t e = path.find('\\', b);
        if (e == std::string::npos) e = path.size();
        if (e > b) parts.push_back(path.substr(b, e - b));
        b = e + 1;
    }
    return parts;
}

std::string joinPath(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) {
        if (!out.empty()) out += '\\';
        out += p;
    }
    return out;
}

// Key id of a path below a root; -1 when a part is missing (and create is false).
int64_t findKey(Conn& c, int64_t root, const std::vector<std::string>& parts, bool create) {
    int64_t id = root;
    for (const auto& part : parts) {
        const std::string fold = caseFold(part);
        sqlite3_stmt* st = c.prepare("SELECT id FROM keys WHERE parent=?1 AND fold=?2");
        sqlite3_bind_int64(st, 1, id);
        sqlite3_bind_text(st, 2, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
        if (c.step(st) == SQLITE_ROW) {
            id = sqlite3_column_int64(st, 0);
            sqlite3_reset(st);
            continue;
        }
        sqlite3_reset(st);
        if (!create) return -1;
        sqlite3_stmt* ins = c.prepare("INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
        sqlite3_bind_int64(ins, 1, id);
        sqlite3_bind_text(ins, 2, part.data(), static_cast<int>(part.size()), SQLITE_STATIC);
        sqlite3_bind_text(ins, 3, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
        c.step(ins);
        sqlite3_reset(ins);
        id = sqlite3_last_insert_rowid(c.db);
    }
    return id;
}

// Runs fn as one write: inside the caller's transaction when there is one, else in a
// transaction of its own, retried as a whole while another copy holds the store.
template <typename Fn>
void writeUnit(Conn& c, Fn&& fn, bool tell = true) {
    if (c.txDepth > 0) {
        fn();
        return;
    }
    c.beginWrite(tell);
    try {
        fn();
        c.exec("COMMIT");
        c.txDepth = 0;
        c.committed();
    } catch (...) {
        c.txDepth = 0;
        if (!sqlite3_get_autocommit(c.db)) sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void countWrite() {
    int n = gFailCountdown.load();
    while (n > 0 && !gFailCountdown.compare_exchange_weak(n, n - 1)) {
    }
    if (n == 1) throw ERegistryException(_8("The settings store could not be written (simulated failure)."));
}

void requireKeyName(const std::string& name) {
    if (std::string why = Registry::keyNameProblem(name); !why.empty()) throw ERegistryException(why);
}

void requireValueName(const std::string& name) {
    if (std::string why = Registry::valueNameProblem(name); !why.empty()) throw ERegistryException(why);
}

std::vector<std::string> sortedNames(std::vector<std::pair<std::string, std::string>> items) {
    std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second < b.second : a.first < b.first;
    });
    std::vector<std::string> out;
    out.reserve(items.size());
    for (auto& [name, fold] : items) out.push_back(std::move(name));
    return out;
}
}  // namespace

Registry::Registry(RegRoot root) : root_(root) {}

Registry::~Registry() {
    if (inTx_) {
        try {
            rollback();
        } catch (...) {
        }
    }
}

// A write that fails inside this object's transaction rolls the whole transaction back
// at once, so nothing of a half-done save can be committed later.
template <typename Fn>
void Registry::guardedWrite(Fn&& fn) {
    try {
        fn();
    } catch (...) {
        if (inTx_ && !txFailed_) {
            try {
                abortTransaction();
            } catch (...) {
            }
            txFailed_ = true;
        }
        throw;
    }
}

void Registry::setRootKey(RegRoot root) {
    root_ = root;
    closeKey();
}

int64_t Registry::rootId() const {
    return kRootIds[root_ == RegRoot::CurrentUser ? 0 : 1];
}

std::vector<std::string> Registry::resolve(const std::string& path) const {
    std::vector<std::string> parts;
    if ((path.empty() || path[0] != '\\') && open_) parts = parts_;
    for (auto& p : splitPath(path)) parts.push_back(std::move(p));
    return parts;
}

bool Registry::openKey(const std::string& path, bool canCreate) {
    std::vector<std::string> parts = resolve(path);
    Conn& c = conn(canCreate);
    int64_t id;
    if (canCreate) {
        if (txFailed_) throw ERegistryException(_8("The settings were not saved: an earlier write failed."));
        for (const auto& part : parts) requireKeyName(part);
        // Callers that keep a list of their own up to date open its key quietly and drop the
        // refusal (the port map): the one full word on a replaced store is left for a save.
        const auto find = [&] { id = findKey(c, rootId(), parts, true); };
        guardedWrite([&] { writeUnit(c, find, false); });
    } else {
        id = findKey(c, rootId(), parts, false);
    }
    if (id < 0) return false;
    parts_ = std::move(parts);
    current_ = joinPath(parts_);
    open_ = true;
    readOnly_ = false;
    return true;
}

bool Registry::openKeyReadOnly(const std::string& path) {
    if (!openKey(path, false)) return false;
    readOnly_ = true;
    return true;
}

void Registry::closeKey() {
    open_ = false;
    readOnly_ = false;
    current_.clear();
    parts_.clear();
}

bool Registry::keyExists(const std::string& path) {
    Conn& c = conn();
    return findKey(c, rootId(), resolve(path), false) >= 0;
}

bool Registry::deleteKey(const std::string& path) {
    const std::vector<std::string> parts = resolve(path);
    if (parts.empty()) return false;  // a root is never deleted
    if (txFailed_) throw ERegistryException(_8("The settings were not saved: an earlier write failed."));
    Conn& c = conn(true);
    bool found = false;
    guardedWrite([&] {
        writeUnit(c, [&] {
            const int64_t id = findKey(c, rootId(), parts, false);
            if (id < 0) return;
            found = true;
            countWrite();
            sqlite3_stmt* st = c.prepare(
                "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON "
                "k.parent=sub.id)"
                " DELETE FROM vals WHERE key IN (SELECT id FROM sub)");
            sqlite3_bind_int64(st, 1, id);
            c.step(st);
            sqlite3_reset(st);
            st = c.prepare(
                "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON "
                "k.parent=sub.id)"
                " DELETE FROM keys WHERE id IN (SELECT id FROM sub)");
            sqlite3_bind_int64(st, 1, id);
            c.step(st);
            sqlite3_reset(st);
        });
    });
    return found;
}

int64_t Registry::currentId() {
    Conn& c = conn();
    static const std::vector<std::string> none;
    return findKey(c, rootId(), open_ ? parts_ : none, false);
}

// Names of the open key's subkeys or values (the query selects name and fold of one key).
// With a problem to fill, a scan that meets damage goes on from the other end (reverseSql),
// so only what lies in the damaged part is missing.
std::vector<std::string> Registry::childNames(const char* sql, const char* reverseSql, std::string* problem) {
    const int64_t id = currentId();
    if (id < 0) return {};
    std::vector<std::pair<std::string, std::string>> items;
    Conn& c = conn();
    auto scan = [&](const char* text) {
        sqlite3_stmt* st = c.prepare(text);
        sqlite3_bind_int64(st, 1, id);
        // Whole names, a NUL inside one (written before names were checked) included.
        auto column = [st](int i) {
            const auto* p = static_cast<const char*>(sqlite3_column_blob(st, i));
            return std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, i)));
        };
        while (c.step(st) == SQLITE_ROW) items.emplace_back(column(0), column(1));
        sqlite3_reset(st);
    };
    try {
        scan(sql);
    } catch (const ERegistryException& e) {
        if (!problem) throw;
        *problem = e.what();
        try {
            scan(reverseSql);
        } catch (const ERegistryException&) {
        }
        std::sort(items.begin(), items.end());
        items.erase(std::unique(items.begin(), items.end()), items.end());
    }
    return sortedNames(std::move(items));
}

std::vector<std::string> Registry::getKeyNames() {
    return childNames("SELECT name, fold FROM keys WHERE parent=?1", nullptr, nullptr);
}

std::vector<std::string> Registry::getValueNames() {
    return childNames("SELECT name, fold FROM vals WHERE key=?1", nullptr, nullptr);
}

std::vector<std::string> Registry::getKeyNames(std::string& problem) {
    problem.clear();
    return childNames("SELECT name, fold FROM keys WHERE parent=?1 ORDER BY fold",
                      "SELECT name, fold FROM keys WHERE parent=?1 ORDER BY fold DESC", &problem);
}

std::vector<std::string> Registry::getValueNames(std::string& problem) {
    problem.clear();
    return childNames("SELECT name, fold FROM vals WHERE key=?1 ORDER BY fold",
                      "SELECT name, fold FROM vals WHERE key=?1 ORDER BY fold DESC", &problem);
}

bool Registry::hasSubKeys() {
    const int64_t id = currentId();
    if (id < 0) return false;
    Conn& c = conn();
    sqlite3_stmt* st = c.prepare("SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
    sqlite3_bind_int64(st, 1, id);
    const bool any = c.step(st) == SQLITE_ROW;
    sqlite3_reset(st);
    return any;
}

// Reads one value; false when the key or the value is missing.
bool Registry::fetch(const std::string& name, RegDataType& type, std::string* text, int64_t* number,
                     std::vector<uint8_t>* bytes) {
    const int64_t id = currentId();
    if (id < 0) return false;
    Conn& c = conn();
    const std::string fold = caseFold(name);
    sqlite3_stmt* st = c.prepare("SELECT type, data FROM vals WHERE key=?1 AND fold=?2");
    sqlite3_bind_int64(st, 1, id);
    sqlite3_bind_text(st, 2, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
    if (c.step(st) != SQLITE_ROW) {
        sqlite3_reset(st);
        return false;
    }
    const int t = sqlite3_column_int(st, 0);
    type = t == 1   ? RegDataType::String
           : t == 4 ? RegDataType::Dword
           : t == 3 ? RegDataType::Binary
                    : RegDataType::None;
    if (text && sqlite3_column_type(st, 1) != SQLITE_NULL) {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(st, 1));
        text->assign(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, 1)));
    }
    if (number) *number = sqlite3_column_int64(st, 1);
    if (bytes) {
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, 1));
        const int n = sqlite3_column_bytes(st, 1);
        bytes->assign(p, p + (p ? n : 0));
    }
    sqlite3_reset(st);
    return true;
}

bool Registry::valueExists(const std::string& name) {
    RegDataType t;
    return fetch(name, t, nullptr, nullptr, nullptr);
}

bool Registry::deleteValue(const std::string& name) {
    requireWritable(true);
    Conn& c = conn(true);
    bool found = false;
    guardedWrite([&] {
        writeUnit(c, [&] {
            const int64_t id = findKey(c, rootId(), parts_, false);
            if (id < 0) return;
            countWrite();
            const std::string fold = caseFold(name);
            sqlite3_stmt* st = c.prepare("DELETE FROM vals WHERE key=?1 AND fold=?2");
            sqlite3_bind_int64(st, 1, id);
            sqlite3_bind_text(st, 2, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
            c.step(st);
            sqlite3_reset(st);
            found = sqlite3_changes(c.db) > 0;
        });
    });
    return found;
}

RegDataType Registry::getDataType(const std::string& name) {
    RegDataType t = RegDataType::None;
    if (!fetch(name, t, nullptr, nullptr, nullptr)) return RegDataType::None;
    return t;
}

std::string Registry::describe(const std::string& name) const {
    return "'" + name + "' (key \\" + current_ + ")";
}

std::string Registry::readString(const std::string& name) {
    RegDataType t = RegDataType::None;
    std::string text;
    if (!fetch(name, t, &text, nullptr, nullptr)) return "";
    if (t != RegDataType::String) throw ERegistryException(_8("Invalid data type for ") + describe(name));
    return text;
}

int32_t Registry::readInteger(const std::string& name) {
    RegDataType t = RegDataType::None;
    int64_t v = 0;
    if (!fetch(name, t, nullptr, &v, nullptr))
        throw ERegistryException(_8("Failed to get data for ") + describe(name));
    if (t != RegDataType::Dword) throw ERegistryException(_8("Invalid data type for ") + describe(name));
    return static_cast<int32_t>(static_cast<uint32_t>(v));
}

bool Registry::readBool(const std::string& name) {
    return readInteger(name) != 0;
}

std::vector<uint8_t> Registry::readBinary(const std::string& name) {
    RegDataType t = RegDataType::None;
    std::vector<uint8_t> bytes;
    if (!fetch(name, t, nullptr, nullptr, &bytes))
        throw ERegistryException(_8("Failed to get data for ") + describe(name));
    if (t != RegDataType::Binary) throw ERegistryException(_8("Invalid data type for ") + describe(name));
    return bytes;
}

void Registry::requireWritable(bool needKey) const {
    if (needKey && !open_) throw ERegistryException(_8("No settings key is open for writing."));
    if (readOnly_)
        throw ERegistryException(_8("The settings key \\") + current_ + _8(" was opened read-only."));
    if (txFailed_) throw ERegistryException(_8("The settings were not saved: an earlier write failed."));
}

void Registry::store(const std::string& name, int type, const void* data, size_t size, int64_t number) {
    requireWritable(true);
    requireValueName(name);
    Conn& c = conn(true);
    guardedWrite([&] {
        writeUnit(c, [&] {
            // The key is made again if another copy deleted it meanwhile.
            const int64_t id = findKey(c, rootId(), parts_, true);
            countWrite();
            const std::string fold = caseFold(name);
            sqlite3_stmt* st = c.prepare(
                "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
                " ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data");
            sqlite3_bind_int64(st, 1, id);
            sqlite3_bind_text(st, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
            sqlite3_bind_text(st, 3, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
            sqlite3_bind_int(st, 4, type);
            if (type == 4)
                sqlite3_bind_int64(st, 5, number);
            else if (type == 1)
                sqlite3_bind_text(st, 5, static_cast<const char*>(data), static_cast<int>(size),
                                  SQLITE_STATIC);
            else
                sqlite3_bind_blob(st, 5, size ? data : "", static_cast<int>(size), SQLITE_STATIC);
            c.step(st);
            sqlite3_reset(st);
        });
    });
}

void Registry::writeString(const std::string& name, const std::string& value) {
    store(name, 1, value.data(), value.size(), 0);
}

void Registry::writeInteger(const std::string& name, int32_t value) {
    store(name, 4, nullptr, 0, value);
}

void Registry::writeBool(const std::string& name, bool value) {
    writeInteger(name, value ? 1 : 0);
}

void Registry::writeBinary(const std::string& name, const std::vector<uint8_t>& value) {
    store(name, 3, value.data(), value.size(), 0);
}

void Registry::abortTransaction() {
    Conn& c = conn();
    if (txLevel_ == 1) {
        c.txDepth = 0;
        if (!sqlite3_get_autocommit(c.db)) sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
    } else if (txLevel_ > 1) {
        const std::string sp = "zsp" + std::to_string(txLevel_);
        sqlite3_exec(c.db, ("ROLLBACK TO " + sp + "; RELEASE " + sp).c_str(), nullptr, nullptr, nullptr);
        c.txDepth = txLevel_ - 1;
    }
}

void Registry::beginTransaction() {
    if (inTx_) throw ERegistryException(_8("A settings transaction is already open."));
    Conn& c = conn(true);
    if (c.txDepth == 0) {
        c.beginWrite();
    } else {
        // Another Registry of this thread holds a transaction: nest inside it.
        const int level = c.txDepth + 1;
        const std::string sql = "SAVEPOINT zsp" + std::to_string(level);
        if (int rc = sqlite3_exec(c.db, sql.c_str(), nullptr, nullptr, nullptr); rc != SQLITE_OK)
            c.fail("Settings store transaction failed", rc);
        c.txDepth = level;
    }
    txLevel_ = c.txDepth;
    inTx_ = true;
    txFailed_ = false;
}

void Registry::commit() {
    if (!inTx_) throw ERegistryException(_8("No settings transaction is open."));
    if (txFailed_) {
        inTx_ = false;
        txFailed_ = false;
        txLevel_ = 0;
        throw ERegistryException(_8("The settings were not saved: an earlier write failed."));
    }
    Conn& c = conn();
    if (c.txDepth != txLevel_) {
        rollback();
        throw ERegistryException(_8("Settings transactions were closed out of order; nothing was saved."));
    }
    try {
        if (txLevel_ == 1) {
            c.exec("COMMIT");
            c.committed();
        } else {
            const std::string sql = "RELEASE zsp" + std::to_string(txLevel_);
            if (int rc = sqlite3_exec(c.db, sql.c_str(), nullptr, nullptr, nullptr); rc != SQLITE_OK)
                c.fail("Settings store transaction failed", rc);
        }
    } catch (...) {
        abortTransaction();
        inTx_ = false;
        txLevel_ = 0;
        throw;
    }
    c.txDepth = txLevel_ - 1;
    inTx_ = false;
    txLevel_ = 0;
}

void Registry::rollback() {
    if (!inTx_) return;
    const bool failed = txFailed_;
    inTx_ = false;
    txFailed_ = false;
    const int level = txLevel_;
    txLevel_ = 0;
    if (failed) return;  // already rolled back when the write failed
    Conn& c = conn();
    if (c.txDepth < level) return;  // an outer transaction already ended it
    txLevel_ = level;
    abortTransaction();
    txLevel_ = 0;
    c.txDepth = level - 1;
}

std::string Registry::storePath() {
    if (const char* p = std::getenv("ZENTROVA_REGISTRY"); p && *p) return p;
    return SystemInfo::configDir() + "/registry.db";
}

std::string Registry::checkStore() {
    try {
        Conn& c = conn();
        if (const std::string problem = c.quickCheck(); !problem.empty()) {
            c.damage = problem;
            return storeProblem("The settings store %s is damaged", c.path, problem);
        }
        if (::access(c.path.c_str(), W_OK) != 0)
            return fillFirst8(_8("The settings store %s cannot be written"), c.path) + " (" +
                   std::strerror(EACCES) + "): " + _8("settings cannot be saved.");
        return "";
    } catch (const ERegistryException& e) {
        return e.what();
    }
}

std::string Registry::keyNameProblem(const std::string& name) {
    if (name.find('\\') != std::string::npos)
        return _8("A settings key name cannot hold a backslash: it separates the keys of a path.");
    // A line break would end the key's line in an export, which then cannot be read back.
    if (name.find_first_of("\n\r") != std::string::npos)
        return _8("A settings key name cannot hold a line break.");
    if (std::string why = valueNameProblem(name); !why.empty()) return why;
    // Other control characters would reach a terminal that lists the key; "." and ".." read as
    // the key itself and the one above it wherever key paths are shown as folders.
    if (std::any_of(name.begin(), name.end(), [](char c) { return (unsigned char)c < 0x20 || c == 0x7f; }))
        return _8("A settings key name cannot hold a control character.");
    if (name == "." || name == "..") return _8("A settings key name cannot be \".\" or \"..\".");
    return "";
}

std::string Registry::valueNameProblem(const std::string& name) {
    // Names are text: one with a NUL would be cut short wherever it is shown or exported.
    if (name.find('\0') != std::string::npos) return _8("A settings name cannot hold a NUL character.");
    return "";
}

void Registry::closeStore() {
    if (tConn && tConn->pid != ::getpid()) (void)tConn.release();
    tConn.reset();
    tStalledUntil = {};
}

std::string Registry::notice() {
    std::lock_guard lock(gNoticeMutex);
    return std::exchange(gNotice, std::string());
}

std::string Registry::restoreFrom(const std::string& backup) {
    installLocking();
    tRefused.clear();
    struct stat st {};
    if (::lstat(backup.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return fillFirst8(_8("The backup %s cannot be read"), backup) + " (" +
               (S_ISLNK(st.st_mode) ? _8("it is a symbolic link")
                                    : std::string(std::strerror(errno ? errno : EINVAL))) +
               ").";
    sqlite3* src = nullptr;
    if (sqlite3_open_v2(backup.c_str(), &src, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        const std::string why = src ? sqlite3_errmsg(src) : "cannot open";
        closeDb(src);
        return fillFirst8(_8("The backup %s cannot be read"), backup) + " (" + why + ").";
    }
    const std::unique_ptr<sqlite3, void (*)(sqlite3*)> hold(src, closeDb);
    configure(src);
    if (std::string e = validate(src, backup); !e.empty()) return e;
    struct Key {
        int64_t id, parent;
        std::string name, fold;
    };
    struct Val {
        int64_t key;
        std::string name, fold, data;
        int type;
        int column;
    };
    std::vector<Key> keys;
    std::vector<Val> vals;
    std::string check;
    const auto text = [](sqlite3_stmt* st, int i) {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(st, i));
        return std::string(p ? p : "", size_t(sqlite3_column_bytes(st, i)));
    };
    // The backup is read whole and checked before the store is touched.
    const auto read = [&](const char* sql, const std::function<void(sqlite3_stmt*)>& row) {
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(src, sql, -1, &st, nullptr);
        while (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
            row(st);
            rc = SQLITE_OK;
        }
        sqlite3_finalize(st);
        return rc == SQLITE_DONE;
    };
    const bool ok = read("PRAGMA quick_check(3)",
                         [&](sqlite3_stmt* st) { check += (check.empty() ? "" : "; ") + text(st, 0); }) &&
                    check == "ok" &&
                    read("SELECT id, parent, name, fold FROM keys WHERE id NOT IN (1, 2) ORDER BY id",
                         [&](sqlite3_stmt* st) {
                             keys.push_back({sqlite3_column_int64(st, 0), sqlite3_column_int64(st, 1),
                                             text(st, 2), text(st, 3)});
                         }) &&
                    read("SELECT key, name, fold, type, data FROM vals", [&](sqlite3_stmt* st) {
                        vals.push_back({sqlite3_column_int64(st, 0), text(st, 1), text(st, 2), text(st, 4),
                                        sqlite3_column_int(st, 3), sqlite3_column_type(st, 4)});
                    });
    if (!ok)
        return storeProblem("The backup %s is damaged", backup,
                            check.empty() || check == "ok" ? std::string(sqlite3_errmsg(src)) : check);
    try {
        // One write transaction of the live store: the copies that run take it as another
        // copy's write, a later state of the store they know, and nothing goes past its journal.
        Conn& c = conn(true);
        writeUnit(c, [&] {
            countWrite();
            c.exec("DELETE FROM vals");
            c.exec("DELETE FROM keys WHERE id NOT IN (1, 2)");
            for (const Key& k : keys) {
                sqlite3_stmt* st =
                    c.prepare("INSERT INTO keys(id, parent, name, fold) VALUES(?1, ?2, ?3, ?4)");
                sqlite3_bind_int64(st, 1, k.id);
                sqlite3_bind_int64(st, 2, k.parent);
                sqlite3_bind_text(st, 3, k.name.data(), int(k.name.size()), SQLITE_STATIC);
                sqlite3_bind_text(st, 4, k.fold.data(), int(k.fold.size()), SQLITE_STATIC);
                c.step(st);
                sqlite3_reset(st);
            }
            for (const Val& v : vals) {
                sqlite3_stmt* st =
                    c.prepare("INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)");
                sqlite3_bind_int64(st, 1, v.key);
                sqlite3_bind_text(st, 2, v.name.data(), int(v.name.size()), SQLITE_STATIC);
                sqlite3_bind_text(st, 3, v.fold.data(), int(v.fold.size()), SQLITE_STATIC);
                sqlite3_bind_int(st, 4, v.type);
                if (v.column == SQLITE_INTEGER)
                    sqlite3_bind_int64(st, 5, std::stoll(v.data.empty() ? "0" : v.data));
                else if (v.column == SQLITE_TEXT)
                    sqlite3_bind_text(st, 5, v.data.data(), int(v.data.size()), SQLITE_STATIC);
                else if (v.column == SQLITE_NULL)
                    sqlite3_bind_null(st, 5);
                else
                    sqlite3_bind_blob(st, 5, v.data.data(), int(v.data.size()), SQLITE_STATIC);
                c.step(st);
                sqlite3_reset(st);
            }
        });
    } catch (const ERegistryException& e) {
        return e.what();
    }
    return "";
}

void Registry::failAfterWrites(int n) {
    gFailCountdown = n > 0 ? n : 0;
}
