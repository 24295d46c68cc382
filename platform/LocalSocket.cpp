#include "platform/LocalSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace localsocket {

namespace {

// Whatever is at path may be replaced only when it is a socket of ours that nobody serves.
bool clearStale(const std::string& path, const sockaddr_un& addr, std::string& error) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        return error = path + ": " + std::strerror(errno), false;
    }
    if (!S_ISSOCK(st.st_mode))
        return error = path + " exists and is not a socket; it is left as it is", false;
    if (st.st_uid != ::geteuid())
        return error = path + " belongs to another user; it is left as it is", false;
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) return error = std::string("socket: ") + std::strerror(errno), false;
    const bool live =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 || errno == EAGAIN;
    ::close(probe);
    if (live) return error = path + " is already served by a running program", false;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return error = path + ": " + std::strerror(errno), false;
    return true;
}

}  // namespace

bool makeAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

bool listenPrivate(const std::string& path, int backlog, bool nonBlocking, Listener& out,
                   std::string& error) {
    sockaddr_un addr;
    if (!makeAddress(path, addr)) return error = "socket path empty or too long: " + path, false;
    if (!clearStale(path, addr, error)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return error = std::string("socket: ") + std::strerror(errno), false;
    // The socket file takes its mode from the umask; no one else may connect even for a moment.
    const mode_t old = ::umask(0177);
    const int rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int bindErr = errno;
    ::umask(old);
    struct stat st;
    if (rc != 0 || ::lstat(path.c_str(), &st) != 0 || ::chmod(path.c_str(), 0600) != 0 ||
        ::listen(fd, backlog) != 0) {
        error = "cannot listen at " + path + ": " + std::strerror(rc != 0 ? bindErr : errno);
        if (rc == 0) ::unlink(path.c_str());  // ours: bind made it
        ::close(fd);
        return false;
    }
    out.fd = fd;
    out.path = path;
    out.dev = st.st_dev;
    out.ino = st.st_ino;
    return true;
}

void closeAndRemove(Listener& l) {
    if (l.fd < 0) return;
    ::close(l.fd);
    l.fd = -1;
    struct stat st;
    if (::lstat(l.path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == l.dev && st.st_ino == l.ino)
        ::unlink(l.path.c_str());
}

bool trustedUid(uid_t uid) {
    return uid == ::geteuid() || uid == 0;
}

std::optional<uid_t> peerUid(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return std::nullopt;
    return cred.uid;
}

bool privateFolder(const std::string& dir, std::string& why) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) return why = dir + ": " + std::strerror(errno), false;
    if (!S_ISDIR(st.st_mode)) return why = dir + " is not a folder", false;
    if (!trustedUid(st.st_uid))
        return why = "the folder " + dir + " belongs to user " + std::to_string(st.st_uid), false;
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return why = "the folder " + dir + " is writable by other users", false;
    return true;
}

}  // namespace localsocket
