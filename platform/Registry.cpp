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
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <unordered_map>

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

int trackedOpen(const char* path, int flags, int mode) {
    // Never blocks (a named pipe put beside the store), and of the store's family only files are
    // used (SQLite also reads its randomness from a device).
    const int fd = gOpen(path, flags | O_NONBLOCK | O_NOCTTY, mode);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return fd;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && std::strncmp(path, "/dev/", 5) != 0) {
        tRefused = SafeRead::notRegularText(path, st.st_mode);
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

// What a connection last saw of the store's file. In WAL mode only checkpoints write into
// the file, and every write transaction raises the header's write count (user_version), so
// a checkpoint always raises it too. A count alone cannot tell a checkpoint from a backup with
// a history of its own, so the header also names the store's line of history (application_id):
// a file copied elsewhere starts a line of its own at its first write (Conn::beginWrite). A file
// that changes to anything but a later state of the line the connection saw, or a name that
// leads to another file, was replaced under the program (a backup copied or moved over it).
struct FileMark {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
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

bool observe(const std::string& path, FileMark& m) {
    // A descriptor of its own: the store's locks belong to SQLite's descriptions, not to it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st {};
    unsigned char h[100];
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const ssize_t n = ok ? ::pread(fd, h, sizeof h, 0) : -1;
    ::close(fd);
    if (!ok) return false;
    m.dev = st.st_dev;
    m.ino = st.st_ino;
    m.size = st.st_size;
    m.mtime = st.st_mtim;
    const bool header = n == ssize_t(sizeof h) && std::memcmp(h, "SQLite format 3", 16) == 0;
    m.writes = header ? headerWord(h + 60) : 0;
    m.line = header ? headerWord(h + 68) : 0;
    return true;
}

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool sameFile(const struct stat& st, const FileMark& m) {
    return st.st_dev == m.dev && st.st_ino == m.ino;
}

// Whether a connection holds the shared-memory byte at offset (of the store at path) that
// another description's write lock would meet.
bool shmByteHeld(const std::string& path, off_t offset) {
    const int fd = ::open((path + "-shm").c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    lk.l_start = offset;
    lk.l_len = 1;
    const bool held = ::fcntl(fd, F_OFD_GETLK, &lk) != 0 || lk.l_type != F_UNLCK;
    ::close(fd);
    return held;
}
// The byte a checkpoint holds while it writes into the file, and the one every connection
// holds while it uses the journal.
const off_t kCheckpointByte = 121, kInUseByte = 128;

// Whether one of SQLite's descriptors in this process is open on the file at path.
bool processHasOpen(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    std::lock_guard lock(gLockMutex);
    return lockFileOf(FileId{st.st_dev, st.st_ino}) != nullptr;
}

// The journal of a replaced file would be read over the new one by the next copy that opens
// it. Once no connection uses it (none holds the shared-memory file's open mark), it goes
// aside under its own name, kept should it be wanted.
void setJournalAside(const std::string& path) {
    const std::string wal = path + "-wal", shm = path + "-shm";
    if (shmByteHeld(path, kInUseByte)) return;
    ::rename(wal.c_str(), (wal + ".replaced").c_str());
    ::unlink(shm.c_str());
}

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
    bool replaced = false;      // the store's file is no longer the one this thread opened
    bool replacedSaid = false;  // ...and the operator was told so
    // What a check or a failed step found damaged: no write from then on.
    mutable std::string damage;
    // End of the running step's time; none between steps.
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    std::unordered_map<const char*, sqlite3_stmt*> stmts;

    ~Conn() {
        if (pid != ::getpid()) return;  // inherited across fork: the parent still owns it
        if (!db) return;
        // The last connection to close checkpoints the journal into the file: never into a
        // file that is not the one it opened, nor into a damaged one (a reader cannot).
        const bool stale = fileReplaced(viewOrNone());
        for (auto& [sql, st] : stmts) sqlite3_finalize(st);
        if (stale || !damage.empty()) sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        const bool ownJournal = stale && processHasOpen(path + "-wal");
        sqlite3_close_v2(db);
        if (ownJournal) setJournalAside(path);
    }

    // Whether the file now holds a later state of the history this connection sees (view), as a
    // checkpoint leaves it: of the same line, or of the branch this very file took since.
    bool descends(const FileMark& now, const View& v) const {
        if (now.writes <= mark.writes || (v.known && now.writes > v.writes)) return false;
        if (now.line == mark.line)
            // A view that branched since reaches back into this line only before its branch.
            return !v.known || v.line == now.line || (v.parent == now.line && now.writes < v.forked);
        return v.known && v.line == now.line && v.parent == mark.line &&
               v.home == homeOf(mark.dev, mark.ino) && mark.writes < v.forked && now.writes >= v.forked;
    }

    // Whether the file at the store's name is still the one this connection opened, as far as
    // the store's own writes changed it (view: what this connection sees, through its journal).
    // Marks the connection replaced when it is not.
    bool fileReplaced(const View& view) {
        if (replaced) return true;
        for (int attempt = 0;; ++attempt) {
            FileMark now;
            // Another connection's checkpoint may be half-way (it grows the file first, then writes
            // the header): what it writes becomes the mark only once it is done.
            const bool runningBefore = shmByteHeld(path, kCheckpointByte);
            // (A name that leads to another file is seen by conn() before any transaction.)
            const bool moved = !observe(path, now);
            const bool runningAfter = shmByteHeld(path, kCheckpointByte);
            const bool running = runningBefore || runningAfter;
            // Not the change time: linking the new store into place, or a change of its mode, is
            // no change of its contents.
            if (!moved && now.size == mark.size && sameTime(now.mtime, mark.mtime)) return false;
            if (!moved && !running && descends(now, view)) {
                mark = now;  // a checkpoint
                return false;
            }
            if (moved || (attempt >= 3 && !running) || attempt >= 60) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        replaced = true;
        return true;
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
        if (wal) return;
        // The switch writes the file's header itself: not a change by anything else.
        if (!fileReplaced(viewOrNone())) {
            sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
            observe(path, mark);
        }
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

    // What a reader or a closing connection sees; nothing known when the store cannot say.
    View viewOrNone() {
        try {
            return readView();
        } catch (const ERegistryException&) {
            return View{};
        }
    }

    // A file that was copied somewhere and written there is another store from then on: its
    // first write there starts a line of its own, so that the copies that know the original
    // never take it for a later state of theirs. A store without a line gets one the same way.
    void keepLine(const View& view, int64_t next) {
        const std::string home = homeOf(mark.dev, mark.ino);
        if (view.line != 0 && view.home == home) return;
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
    }

    // Opens a write transaction. A damaged file is never written to (writing into it can
    // make it worse or never end), and damage can come at any time: each write transaction
    // checks the file first, under the write lock, so the check sees what the write meets.
    // The same holds for a file replaced under the program: each write transaction first
    // checks that the file is still the one the connection opened, and raises the write count.
    void beginWrite(bool tell = true) {
        if (replaced) throw replacedError(tell);
        if (!damage.empty())
            throw ERegistryException(storeProblem("The settings store %s is damaged", path, damage));
        useWal();
        exec("BEGIN IMMEDIATE");
        txDepth = 1;
        std::string problem;
        bool moved = false;
        try {
            const View view = readView();
            moved = fileReplaced(view);
            problem = quickCheck();
            if (!moved && problem.empty()) {
                const int64_t next = view.writes >= 0x7fffffff ? 1 : view.writes + 1;
                keepLine(view, next);
                exec(("PRAGMA user_version=" + std::to_string(next)).c_str(), false);
                return;
            }
        } catch (...) {
            txDepth = 0;
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        txDepth = 0;
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        if (problem.empty()) throw replacedError(tell);
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
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return fillFirst8(_8("The settings store %s cannot be opened"), path) + " (" +
                   std::strerror(errno) + ").";
        if (std::string e = createStore(path); !e.empty()) return e;
        if (::stat(path.c_str(), &st) != 0)
            return fillFirst8(_8("The settings store %s cannot be opened"), path) + " (" +
                   std::strerror(errno) + ").";
    }
    if (!S_ISREG(st.st_mode)) return storeProblem("The settings store %s is not a file", path);
    if (st.st_size == 0) return storeProblem("The settings store %s is empty", path);
    FileMark mark;
    if (!observe(path, mark))
        return fillFirst8(_8("The settings store %s cannot be read"), path) + " (" + std::strerror(errno) +
               ").";
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
            struct stat st {};
            const bool gone = ::stat(path.c_str(), &st) != 0;
            if (gone || !sameFile(st, tConn->mark)) tConn->replaced = true;
            if (!write || !tConn->readOnly || tConn->replaced) return *tConn;
            old = std::move(tConn);  // the first write: the reader makes way for a writer
        } else {
            tConn.reset();
        }
    }
    std::unique_ptr<Conn> c;
    if (std::string e = openStore(path, c, !write); !e.empty()) throw ERegistryException(e);
    if (old) c->mark = old->mark;  // what the thread saw before still holds
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

void Registry::failAfterWrites(int n) {
    gFailCountdown = n > 0 ? n : 0;
}
