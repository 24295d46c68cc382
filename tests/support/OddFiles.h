// Things that can sit where a reader expects a file, none of which it may block on or read
// whole: a named pipe without a writer, a link to /dev/zero, a folder, and a sparse file far
// past any limit. A watchdog ends the test program with a message should a reader block.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class OddKind { Fifo, DevZero, Folder, Huge };

struct OddFile {
    OddKind kind;
    const char* name;     // for SCOPED_TRACE
    const char* because;  // what the message says of it
};

inline const std::vector<OddFile>& oddFiles() {
    static const std::vector<OddFile> all{
        {OddKind::Fifo, "named pipe", "named pipe (FIFO)"},
        {OddKind::DevZero, "link to /dev/zero", "device"},
        {OddKind::Folder, "folder", "folder"},
        {OddKind::Huge, "sparse 8 GiB file", "larger than"},
    };
    return all;
}

// Puts the odd thing at path (whatever was there goes); false when it cannot be made.
inline bool makeOdd(OddKind kind, const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    switch (kind) {
        case OddKind::Fifo:
            return ::mkfifo(path.c_str(), 0600) == 0;
        case OddKind::DevZero:
            return ::symlink("/dev/zero", path.c_str()) == 0;
        case OddKind::Folder:
            return std::filesystem::create_directory(path, ec);
        case OddKind::Huge: {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0) return false;
            const bool ok = ::ftruncate(fd, off_t(8) << 30) == 0;
            ::close(fd);
            return ok;
        }
    }
    return false;
}

// Ends the test program when it is still alive after seconds: a reader blocked on the file.
class BlockWatchdog {
  public:
    explicit BlockWatchdog(const char* what, int seconds = 20) : what_(what) {
        thread_ = std::thread([this, seconds] {
            std::unique_lock<std::mutex> lock(m_);
            if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
                std::fprintf(stderr, "blocked on %s: the reader waits for the file\n", what_);
                std::fflush(stderr);
                std::_Exit(3);
            }
        });
    }
    ~BlockWatchdog() {
        {
            std::lock_guard<std::mutex> lock(m_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    BlockWatchdog(const BlockWatchdog&) = delete;
    BlockWatchdog& operator=(const BlockWatchdog&) = delete;

  private:
    const char* what_;
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};
