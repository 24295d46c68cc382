#include "link/CommandQueue.h"

#include <cstring>
#include <string>

#include "link/LogFile.h"

namespace {

// The text up to the first NUL, as a C string would read it.
std::string_view upToNul(std::string_view s) {
    size_t nul = s.find('\0');
    return nul == std::string_view::npos ? s : s.substr(0, nul);
}

std::string_view fromCString(const char* s) {
    if (!s) return {};
    // A slot never holds more than 29 characters: do not scan further than needed to know.
    return std::string_view(s, strnlen(s, TCommandStack::SlotSize));
}

}  // namespace

TCommandStack::TCommandStack() {
    std::memset(slots_, 0, sizeof slots_);
}

int32_t TCommandStack::Push(std::string_view s) {
    s = upToNul(s);
    if (s.empty() || s.size() >= static_cast<size_t>(SlotSize)) return writeIndex_;
    if (Count() >= MaxUnread) {
        // Storing now would make the ring look empty and lose every unread command.
        if (!fullReported_) {
            fullReported_ = true;
            logLine("TCommandStack: queue full (" + std::to_string(MaxUnread) +
                    " commands waiting), command dropped: " + std::string(s));
        }
        return writeIndex_;
    }
    fullReported_ = false;
    writeIndex_ = (writeIndex_ + 1) % SlotCount;
    std::memcpy(slots_[writeIndex_], s.data(), s.size());
    slots_[writeIndex_][s.size()] = '\0';
    return writeIndex_;
}

int32_t TCommandStack::Push(const char* s) {
    return Push(fromCString(s));
}

const char* TCommandStack::Pop() {
    if (Count() == 0) return nullptr;
    readIndex_ = (readIndex_ + 1) % SlotCount;
    return slots_[readIndex_];
}

int32_t TCommandStack::Count() const {
    return readIndex_ <= writeIndex_ ? writeIndex_ - readIndex_ : writeIndex_ + SlotCount - readIndex_;
}

bool TCommandStack::Clear() {
    readIndex_ = writeIndex_;
    fullReported_ = false;
    return true;
}

bool TCommandStack::IsLast(std::string_view s) const {
    return Count() > 0 && std::string_view(slots_[writeIndex_]) == s;
}

bool TCommandStack::IsLast(const char* s) const {
    return s && IsLast(std::string_view(s, strnlen(s, SlotSize)));
}

bool TCommandQueue::Add(std::string_view line) {
    // What is not queued is logged, not dropped in silence: a command the instrument never
    // gets (typed into the terminal, or built too long) would otherwise leave no trace of why
    // the instrument did not do what was asked.
    line = upToNul(line);
    if (line.size() > MaxLine) {
        logLine("TCommandQueue: command line of " + std::to_string(line.size()) +
                " characters refused (at most " + std::to_string(MaxLine) +
                "): " + std::string(line.substr(0, 60)) + "...");
        return true;
    }
    while (!line.empty()) {
        size_t semi = line.find(';');
        std::string_view piece = line.substr(0, semi);
        if (piece.size() >= static_cast<size_t>(TCommandStack::SlotSize))
            logLine("TCommandQueue: command of " + std::to_string(piece.size()) +
                    " characters dropped: " + std::string(piece));
        else
            stack_.Push(piece);
        if (semi == std::string_view::npos) break;
        line.remove_prefix(semi + 1);
    }
    return true;
}

bool TCommandQueue::Add(const char* line) {
    if (!line) return true;
    return Add(std::string_view(line));
}
