#include "platform/SafeRead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/i18n.h"

namespace SafeRead {
namespace {

// Replaces "%1" and "%2" in one pass, so that a "%2" inside the first value stays as it is.
std::string fillIn(const std::string& text, const std::string& one, const std::string& two = {}) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && (text[i + 1] == '1' || text[i + 1] == '2')) {
            out += text[i + 1] == '1' ? one : two;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

Result failure(Status status, std::string error) {
    Result r;
    r.status = status;
    r.error = std::move(error);
    return r;
}

Result failedWith(const std::string& path, int err) {
    Result r;
    if (err == ENOENT)
        r = failure(Status::Missing, fillIn(_8("%1 does not exist."), path));
    else if (err == ELOOP)
        r = failure(Status::NotRegular,
                    fillIn(_8("%1 is not read: it is a symbolic link, which is not followed here."), path));
    else
        r = failure(Status::Failed, fillIn(_8("Unable to read %1: %2"), path, std::strerror(err)));
    if (err != ELOOP) r.err = err;
    return r;
}

Result tooLarge(const std::string& path, size_t maxBytes) {
    return failure(Status::TooLarge,
                   fillIn(_8("%1 is not read: it is larger than %2."), path, sizeText(maxBytes)));
}

std::function<void(const std::string&)>& afterLook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

}  // namespace

void setAfterLookHook(std::function<void(const std::string& path)> hook) {
    afterLook() = std::move(hook);
}

std::string sizeText(size_t bytes) {
    constexpr size_t kKiB = 1024, kMiB = 1024 * 1024;
    if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
    if (bytes >= kKiB && bytes % kKiB == 0) return std::to_string(bytes / kKiB) + " KiB";
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

std::string notRegularText(const std::string& path, mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFDIR:
            return fillIn(_8("%1 is not read: it is a folder, not a file."), path);
        case S_IFIFO:
            return fillIn(_8("%1 is not read: it is a named pipe (FIFO), not a regular file."), path);
        case S_IFCHR:
        case S_IFBLK:
            return fillIn(_8("%1 is not read: it is a device, not a regular file."), path);
        case S_IFSOCK:
            return fillIn(_8("%1 is not read: it is a socket, not a regular file."), path);
        default:
            return fillIn(_8("%1 is not read: it is not a regular file."), path);
    }
}

int openRegular(const std::string& path, Result& why, int extraFlags) {
    // A look first, so that nothing but a regular file is even opened (opening a device can act
    // on it: a serial port's modem lines change); the open cannot block should the name change
    // meanwhile, and what was opened is checked again.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        // The look follows links: ELOOP here is a chain of links that leads round in a loop.
        why = errno == ELOOP
                  ? failure(
                        Status::NotRegular,
                        fillIn(_8("%1 is not read: it is a symbolic link that leads round in a loop."), path))
                  : failedWith(path, errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        why = failure(Status::NotRegular, notRegularText(path, st.st_mode));
        return -1;
    }
    if (afterLook()) afterLook()(path);
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extraFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        why = failedWith(path, errno);
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = errno;
        why = S_ISREG(st.st_mode) ? failedWith(path, err)
                                  : failure(Status::NotRegular, notRegularText(path, st.st_mode));
        ::close(fd);
        return -1;
    }
    why = Result{Status::Ok, {}, {}, 0};
    return fd;
}

namespace {

// Reads up to limit + 1 bytes, so that a file that grew past the limit is seen to.
Result readUpTo(const std::string& path, size_t limit, bool wholeFile) {
    Result r;
    const int fd = openRegular(path, r);
    if (fd < 0) return r;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && wholeFile && static_cast<unsigned long long>(st.st_size) > limit) {
        ::close(fd);
        return tooLarge(path, limit);
    }
    const size_t want = wholeFile ? limit + 1 : limit;
    std::string bytes;
    bytes.resize(std::min<size_t>(want, static_cast<size_t>(st.st_size) + 1));
    size_t got = 0;
    int err = 0;
    while (got < want) {
        if (got == bytes.size()) bytes.resize(std::min(want, bytes.size() * 2 + 4096));
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            break;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (err) return failedWith(path, err);
    if (wholeFile && got > limit) return tooLarge(path, limit);
    bytes.resize(got);
    r.status = Status::Ok;
    r.bytes = std::move(bytes);
    r.error.clear();
    return r;
}

}  // namespace

Result readFile(const std::string& path, size_t maxBytes) {
    return readUpTo(path, maxBytes, true);
}

Result readHead(const std::string& path, size_t n) {
    return readUpTo(path, n, false);
}

Result check(const std::string& path, size_t maxBytes) {
    Result r;
    const int fd = openRegular(path, r);
    if (fd < 0) return r;
    struct stat st {};
    const bool big = ::fstat(fd, &st) == 0 && static_cast<unsigned long long>(st.st_size) > maxBytes;
    ::close(fd);
    return big ? tooLarge(path, maxBytes) : r;
}

}  // namespace SafeRead
