// Reading files that someone else may have put in place (a shared folder, a file the operator
// picks): the open never blocks, only a regular file is read (never a named pipe, a device, a
// socket or a folder), and never more than a limit, so no file can stop the program or fill
// its memory. Every reader of such files goes through here.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace SafeRead {

enum class Status { Ok, Missing, NotRegular, TooLarge, Failed };

struct Result {
    Status status = Status::Failed;
    std::string bytes;  // what was read (Ok only)
    std::string error;  // a message that names the file; "" when Ok
    int err = 0;        // the errno of a failed call (Missing, Failed), else 0
    bool ok() const { return status == Status::Ok; }
};

// The whole file; a file of more than maxBytes is refused.
Result readFile(const std::string& path, size_t maxBytes);
// At most its first n bytes (a longer file is fine).
Result readHead(const std::string& path, size_t n);
// What readFile would say of the file, without reading it (a file handed on to another program).
Result check(const std::string& path, size_t maxBytes);

// Opens a file for reading so that the open cannot block: O_RDONLY | O_NONBLOCK | O_NOCTTY |
// O_CLOEXEC plus extraFlags. The descriptor of a regular file, else -1 and why.
int openRegular(const std::string& path, Result& why, int extraFlags = 0);
// The message for a file that is there but is not a regular file (mode as stat gives it).
std::string notRegularText(const std::string& path, mode_t mode);
// "64 MiB", "20 bytes": a limit as a message gives it.
std::string sizeText(size_t bytes);

// Tests: runs between the look at a file and its open, to change what is there meanwhile.
void setAfterLookHook(std::function<void(const std::string& path)> hook);

}  // namespace SafeRead
