// A child process that holds a lock on bytes of a file, for tests of what waits for locks.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

// A child that holds a write lock on bytes of file (open-file-description locks, as the
// store's own) until it is killed; -1 when it could not take them.
inline pid_t holdLock(const std::string& file, off_t start, off_t len) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        struct flock lk {};
        lk.l_type = F_WRLCK;
        lk.l_whence = SEEK_SET;
        lk.l_start = start;
        lk.l_len = len;
        const char ok = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &lk) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char ok = 'n';
    (void)!::read(ready[0], &ok, 1);
    ::close(ready[0]);
    if (ok == 'y') return pid;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}
