#include "ports/ZpErrors.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "ports/ZpUtils.h"

namespace {

struct Entry {
    int32_t code;
    const char* text;
};

// The table, ordered by the absolute value of the code (the lookup halves on it).
const std::vector<Entry>& table() {
    static const std::vector<Entry> t = [] {
        std::vector<Entry> v;
#define ZP_T_CLASS(name, parent)
#define ZP_T_CODE(code, cls, text) v.push_back({code, text});
#define ZP_T_TEXT(code, text) v.push_back({code, text});
        ZP_ERROR_LIST(ZP_T_CLASS, ZP_T_CODE, ZP_T_TEXT)
#undef ZP_T_CLASS
#undef ZP_T_CODE
#undef ZP_T_TEXT
        std::stable_sort(v.begin(), v.end(),
                         [](const Entry& a, const Entry& b) { return std::abs(a.code) < std::abs(b.code); });
        return v;
    }();
    return t;
}

const char* findText(int32_t code) {
    const auto& t = table();
    const int32_t key = std::abs(code);
    int lo = 0, hi = static_cast<int>(t.size()) - 1;
    while (lo <= hi) {
        const int mid = (lo + hi) / 2;
        const int32_t v = std::abs(t[mid].code);
        if (v == key) return t[mid].text;
        if (v < key)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return nullptr;
}

// The system's text for a number; only numbers the system knows give a text.
std::string systemText(int32_t code) {
    if (code <= 0 || code > 4095) return {};
    char buf[256];
    const char* s = strerror_r(code, buf, sizeof buf);
    std::string text = s ? s : "";
    if (text.rfind("Unknown error", 0) == 0) return {};
    return text;
}

[[noreturn]] void raiseCode(int32_t code) {
    switch (code) {
#define ZP_M_CLASS(name, parent)
#define ZP_M_CODE(c, cls, text) \
    case c:                     \
        throw cls(c);
#define ZP_M_TEXT(code, text)
        ZP_ERROR_LIST(ZP_M_CLASS, ZP_M_CODE, ZP_M_TEXT)
#undef ZP_M_CLASS
#undef ZP_M_CODE
#undef ZP_M_TEXT
        default:
            break;
    }
    // Telephony codes without a class of their own still raise as telephony failures.
    if (code <= -13801 && code >= -13959) throw ETapi(code);
    throw EZPException(std::string("Port exception"));
}

}  // namespace

EZPException::EZPException(int32_t code, bool) : std::runtime_error(ZpLoadStr(code)), ErrorCode(code) {}

EZPException::EZPException(const std::string& message, uint8_t) : std::runtime_error(message), ErrorCode(0) {}

EZpSocketException::EZpSocketException(int32_t errCode, bool)
    : std::runtime_error([errCode] {
          std::string fmt = ZpLoadStr(9004);
          const std::string msg = ZpLoadStr(errCode);
          const auto p = fmt.find("%s");
          if (p != std::string::npos) fmt.replace(p, 2, msg);
          return fmt;
      }()),
      ErrorCode(errCode) {}

EZpSocketException::EZpSocketException(int32_t errCode, bool, bool)
    : std::runtime_error(ZpLoadStr(errCode)), ErrorCode(errCode) {}

std::string ZpNormalizeSystemText(const std::string& text) {
    std::string s = text;
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == ' ' && !out.empty() && out.back() == ' ') continue;
        out.push_back(c);
    }
    return out;
}

std::string ZpLoadStr(int32_t code) {
    std::string s;
    if (const char* t = findText(code))
        s = t;
    else
        s = ZpNormalizeSystemText(systemText(std::abs(code)));
    if (s.size() > 255) s.resize(255);
    return s;
}

char* ZpLoadZ(char* buf, size_t size, int32_t code) {
    if (!buf || size == 0) return buf;
    const std::string s = ZpLoadStr(code);
    const size_t n = std::min(size - 1, s.size());
    std::memcpy(buf, s.data(), n);
    buf[n] = 0;
    return buf;
}

void MessageNumberToString(int32_t code, std::string& message) {
    const char* t = findText(code);
    message = t ? t : "";
}

int32_t CheckException(const TZpBaseComponent* comp, int32_t code) {
    if (code >= 0 || (comp && comp->Loading())) return code;
    if (code >= -162 && code <= -2) {
        if (code == -8) throw std::bad_alloc();
        throw EInOutError(ZpLoadStr(code), -code);
    }
    raiseCode(code);
}

int32_t XlatException(const std::exception& e) {
    if (auto* z = dynamic_cast<const EZPException*>(&e)) return z->ErrorCode;
    if (auto* io = dynamic_cast<const EInOutError*>(&e)) return -io->ErrorCode;
    if (dynamic_cast<const std::bad_alloc*>(&e)) return -8;
    return -9999;
}
