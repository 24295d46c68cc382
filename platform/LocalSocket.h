// Unix-domain sockets that no other local user can reach or answer for: listening sockets made
// with mode 0600 whatever the umask and removed only while they are still the ones this process
// made; and the checks that a folder and a connected peer belong to this user (or root).
// Plain POSIX, so that the tools that do not link Qt can use it too.
#pragma once
#include <sys/types.h>
#include <sys/un.h>

#include <optional>
#include <string>

namespace localsocket {

struct Listener {
    int fd = -1;
    std::string path;
    dev_t dev = 0;  // the socket file this process made at path
    ino_t ino = 0;
};

// Fills addr with path; false when the path is empty or does not fit.
bool makeAddress(const std::string& path, sockaddr_un& addr);

// Listens at path (stream socket, close-on-exec; non-blocking when asked). A socket of this user
// that nobody serves any more is replaced; anything else at the path (another file, a live
// server, another user's socket) is left as it is and refused. False with error.
bool listenPrivate(const std::string& path, int backlog, bool nonBlocking, Listener& out, std::string& error);
// Closes the socket; removes its path only if the path is still the socket listenPrivate made.
void closeAndRemove(Listener& l);

// This user or root: the only users trusted to answer.
bool trustedUid(uid_t uid);
// The user of the peer of a connected socket (SO_PEERCRED); nullopt when it cannot be read.
std::optional<uid_t> peerUid(int fd);
// A folder that no other user can change: owned by this user or root, writable by its owner
// only. False with the reason.
bool privateFolder(const std::string& dir, std::string& why);

}  // namespace localsocket
