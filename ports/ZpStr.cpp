#include "ports/ZpStr.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace {
constexpr int32_t Slack = 5;
constexpr int64_t Largest = INT32_MAX - Slack;
}  // namespace

TZpStr::TZpStr(int32_t maxLen)
    : maxLen_(std::max(maxLen, 0)), buf_(static_cast<size_t>(maxLen_) + Slack, '\0') {}

// Replaces `removed` bytes at index `at` by `size` bytes, growing the buffer when needed.
void TZpStr::replace(int32_t at, int32_t removed, const char* data, size_t size) {
    const int64_t newLen = int64_t(len_) - removed + int64_t(size);
    if (newLen > Largest) throw std::length_error("TZpStr: string too long");
    // Text taken from this string's own buffer is copied first: growing frees that buffer.
    std::string own;
    const std::less<const char*> before;
    if (size && !before(data, buf_.data()) && before(data, buf_.data() + buf_.size())) {
        own.assign(data, size);
        data = own.data();
    }
    if (newLen > maxLen_) {
        maxLen_ = static_cast<int32_t>(newLen);
        buf_.resize(static_cast<size_t>(maxLen_) + Slack, '\0');
    }
    char* p = buf_.data();
    std::memmove(p + at + size, p + at + removed, static_cast<size_t>(len_ - at - removed));
    if (size) std::memcpy(p + at, data, size);
    len_ = static_cast<int32_t>(newLen);
    p[len_] = '\0';
    cursor_ = std::min(cursor_, len_);
}

void TZpStr::Append(const std::string& s) {
    replace(len_, 0, s.data(), s.size());
}

void TZpStr::AppendBuff(const char* text) {
    if (text) replace(len_, 0, text, std::strlen(text));
}

void TZpStr::AppendTZpStr(const TZpStr& s) {
    const std::string copy = s.Str();  // s may be this string
    Append(copy);
}

void TZpStr::Prepend(const std::string& s) {
    replace(0, 0, s.data(), s.size());
}

void TZpStr::Insert(const std::string& s, int32_t pos) {
    if (pos < 1 || pos > len_) return;
    replace(pos - 1, 0, s.data(), s.size());
}

std::string TZpStr::Copy(int32_t pos, int32_t count) const {
    if (pos < 1 || pos > len_ || count <= 0) return {};
    const int32_t n = std::min(count, len_ - pos + 1);
    return std::string(buf_.data() + pos - 1, static_cast<size_t>(n));
}

void TZpStr::Delete(int32_t pos, int32_t count) {
    if (pos < 1 || pos > len_ || count <= 0) return;
    replace(pos - 1, std::min(count, len_ - pos + 1), nullptr, 0);
}

int32_t TZpStr::PosIdx(const std::string& s, int32_t from) const {
    if (s.empty() || from > len_) return 0;
    const std::string_view text(buf_.data(), static_cast<size_t>(len_));
    const size_t at = text.find(s, static_cast<size_t>(std::max(from, 1) - 1));
    return at == std::string_view::npos ? 0 : static_cast<int32_t>(at) + 1;
}

void TZpStr::Assign(const TZpStr& other) {
    if (&other == this) return;
    maxLen_ = other.maxLen_;
    len_ = other.len_;
    cursor_ = other.cursor_;
    buf_ = other.buf_;
}

void TZpStr::Clear() {
    len_ = 0;
    cursor_ = 0;
    buf_[0] = '\0';
}

void TZpStr::Resize(int32_t newMaxLen) {
    newMaxLen = std::max(newMaxLen, 0);
    if (newMaxLen == maxLen_) return;
    maxLen_ = newMaxLen;
    buf_.assign(static_cast<size_t>(maxLen_) + Slack, '\0');
    len_ = 0;
    cursor_ = 0;
}

void TZpStr::MoveBy(int32_t n) {
    cursor_ = static_cast<int32_t>(std::clamp<int64_t>(int64_t(cursor_) + n, 0, len_));
}

void TZpStr::GotoPos(int32_t pos) {
    cursor_ = static_cast<int32_t>(std::clamp<int64_t>(int64_t(pos) - 1, 0, len_));
}

char TZpStr::GetChar(int32_t pos) const {
    return pos >= 1 && pos <= len_ ? buf_[static_cast<size_t>(pos - 1)] : '\0';
}

void TZpStr::SetChar(int32_t pos, char c) {
    if (pos >= 1 && pos <= len_) buf_[static_cast<size_t>(pos - 1)] = c;
}

void TZpStr::SetLen(int32_t n) {
    if (n < 0 || n >= len_) return;
    len_ = n;
    buf_[static_cast<size_t>(n)] = '\0';
    cursor_ = std::min(cursor_, len_);
}
