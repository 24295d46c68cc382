// The link's first-in, first-out queue of short instrument commands. Callers hand it whole
// command lines joined by ";"; each piece is queued on its own so that the link sends, paces
// and acknowledges it separately. Fixed storage: nothing is allocated after construction.
#pragma once
#include <cstdint>
#include <string_view>

// A ring of 100 zero-terminated strings of at most 29 characters. Both indexes advance before
// use, so at most 99 strings are unread at once.
class TCommandStack {
  public:
    static constexpr int32_t SlotCount = 100;
    static constexpr int32_t SlotSize = 30;  // 29 characters and the terminator
    static constexpr int32_t MaxUnread = SlotCount - 1;

    TCommandStack();

    // Stores a string of 1 to 29 characters (text up to the first NUL) and returns the new
    // write index. An empty or longer string, or a push onto a full ring (99 unread), changes
    // nothing and returns the current write index; a refusal on a full ring is logged once
    // until the ring has room again.
    int32_t Push(std::string_view s);
    int32_t Push(const char* s);
    // The oldest unread string, or nullptr when none is unread. The pointer stays valid until
    // 99 further pushes.
    const char* Pop();
    int32_t Count() const;  // unread strings, 0 to 99
    bool Clear();           // drops every unread string; true
    // True when a string is unread and the newest one equals s exactly.
    bool IsLast(std::string_view s) const;
    bool IsLast(const char* s) const;

    int32_t ReadIndex() const { return readIndex_; }
    int32_t WriteIndex() const { return writeIndex_; }

  private:
    char slots_[SlotCount][SlotSize];
    int32_t readIndex_ = 0;   // slot of the most recently taken string
    int32_t writeIndex_ = 0;  // slot of the most recently stored string
    bool fullReported_ = false;
};

class TCommandQueue {
  public:
    static constexpr size_t MaxLine = 199;  // longest command line taken

    // Splits the line at every ";" and pushes the pieces left to right; blanks around ";" stay
    // in the pieces; empty pieces are skipped; a piece of 30 or more characters is dropped (and
    // logged) while its neighbours are still queued. A line longer than 199 characters is
    // refused whole and logged. Text after a NUL is ignored. True.
    bool Add(std::string_view line);
    bool Add(const char* line);
    const char* Next() { return stack_.Pop(); }
    int32_t Count() const { return stack_.Count(); }
    bool Clear() { return stack_.Clear(); }
    bool IsLast(std::string_view s) const { return stack_.IsLast(s); }
    bool IsLast(const char* s) const { return stack_.IsLast(s); }

    const TCommandStack& Stack() const { return stack_; }

  private:
    TCommandStack stack_;
};
