// A growable zero-terminated byte string with 1-based positions and a cursor, as the port
// library's string helpers use it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class TZpStr {
  public:
    // An empty string that holds maxLen bytes before it grows (a negative length counts as 0).
    explicit TZpStr(int32_t maxLen = 0);

    // These grow the maximum length to fit.
    void Append(const std::string& s);
    void AppendBuff(const char* text);  // zero-terminated; null appends nothing
    void AppendTZpStr(const TZpStr& s);
    void Prepend(const std::string& s);
    // Inserts before position pos; ignored for pos below 1 or beyond the length.
    void Insert(const std::string& s, int32_t pos);

    // count bytes from pos (fewer at the end); empty for pos below 1 or beyond the length.
    std::string Copy(int32_t pos, int32_t count) const;
    // Removes count bytes from pos (fewer at the end); ignored for pos below 1 or beyond the length.
    void Delete(int32_t pos, int32_t count);
    // 1-based position of s at or after from, 0 when not found (or s is empty).
    int32_t Pos(const std::string& s) const { return PosIdx(s, 1); }
    int32_t PosIdx(const std::string& s, int32_t from) const;

    // Takes over maximum length, text and cursor.
    void Assign(const TZpStr& other);
    void Clear();
    // A maximum length other than the present one empties the string.
    void Resize(int32_t newMaxLen);
    void SetMaxLen(int32_t newMaxLen) { Resize(newMaxLen); }

    // The cursor stays on the text or its terminator.
    void First() { cursor_ = 0; }
    void Last() { cursor_ = len_ > 0 ? len_ - 1 : 0; }
    void Next() { MoveBy(1); }
    void Prev() { MoveBy(-1); }
    void MoveBy(int32_t n);
    void GotoPos(int32_t pos);  // 1-based
    int32_t CurPos() const { return cursor_ + 1; }
    char GetCurChar() const { return buf_[static_cast<size_t>(cursor_)]; }

    // 1-based; a position off the text reads 0 and writes nothing.
    char GetChar(int32_t pos) const;
    void SetChar(int32_t pos, char c);
    int32_t GetLen() const { return len_; }
    int32_t GetMaxLen() const { return maxLen_; }
    int32_t GetBuffLen() const { return maxLen_ + 1; }
    // Only shortens: a terminator at n.
    void SetLen(int32_t n);

    const char* Buffer() const { return buf_.data(); }
    std::string Str() const { return std::string(buf_.data(), static_cast<size_t>(len_)); }

  private:
    void replace(int32_t at, int32_t removed, const char* data, size_t size);
    int32_t maxLen_ = 0;
    int32_t len_ = 0;
    int32_t cursor_ = 0;     // index into the buffer, 0 .. len_
    std::vector<char> buf_;  // maxLen_ + 5 bytes
};
