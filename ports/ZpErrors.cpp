#include "ports/ZpErrors.h"

#include <QString>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <vector>

#include "ports/ZpUtils.h"

namespace {

// Every code of the message table in table order (by absolute value), as runs: first, last,
// and the text of our own for a code the error list gives none (the text and the number).
struct Span {
    int32_t first, last;
    const char* own;
};
constexpr Span kSpans[] = {
    {0, 0, "OK"},
    {-2, -6, "I/O error"},
    {-8, -8, "I/O error"},
    {-15, -15, "I/O error"},
    {-18, -18, "I/O error"},
    {-100, -105, "I/O error"},
    {-150, -162, "I/O error"},
    {-1001, -1009, "Port library error"},
    {-2001, -2012, "Port open error"},
    {-3001, -3010, "Port I/O error"},
    {-4001, -4017, "Modem error"},
    {-4020, -4021, "Modem error"},
    {4101, 4101, "Modem status"},
    {4200, 4213, "Modem status"},
    {4301, 4312, "Modem status"},
    {4401, 4403, "Modem status"},
    {4500, 4523, "Fax status"},
    {4550, 4553, "Fax status"},
    {4599, 4611, "Fax status"},
    {4630, 4633, "Fax status"},
    {4660, 4671, "Fax status"},
    {4700, 4728, "Fax status"},
    {4730, 4730, "Fax status"},
    {4801, 4808, "Dialling status"},
    {4820, 4828, "Dialling status"},
    {4830, 4832, "Dialling status"},
    {4840, 4843, "Dialling status"},
    {-5001, -5003, "Trigger error"},
    {-5501, -5506, "Packet error"},
    {-6001, -6016, "Protocol error"},
    {-7001, -7014, "Settings database error"},
    {-7500, -7502, "Terminal error"},
    {-8001, -8005, "Fax error"},
    {-8050, -8055, "Fax error"},
    {-8060, -8075, "Fax error"},
    {-8080, -8083, "Fax error"},
    {-8085, -8085, "Fax error"},
    {-8087, -8092, "Fax error"},
    {-8100, -8103, "Fax error"},
    {-8300, -8305, "Pager error"},
    {-8310, -8318, "Pager error"},
    {-8320, -8322, "Pager error"},
    {-8330, -8332, "Pager error"},
    {-8340, -8340, "Pager error"},
    {-8500, -8500, "State machine error"},
    {9001, 9007, "Network port error"},
    {10000, 10000, "Socket error"},
    {10004, 10004, "Socket error"},
    {10009, 10009, "Socket error"},
    {10013, 10014, "Socket error"},
    {10022, 10022, "Socket error"},
    {10024, 10024, "Socket error"},
    {10035, 10071, "Socket error"},
    {10091, 10093, "Socket error"},
    {10101, 10101, "Socket error"},
    {11001, 11004, "Host name error"},
    {13501, 13516, "Telephony status"},
    {13533, 13557, "Telephony status"},
    {13565, 13565, "Telephony status"},
    {13597, 13601, "Telephony status"},
    {13650, 13670, "Telephony status"},
    {-13801, -13803, "Telephony error"},
    {-13805, -13848, "Telephony error"},
    {-13850, -13886, "Telephony error"},
    {-13928, -13932, "Telephony error"},
    {13933, 13933, "Telephony error"},
    {-13934, -13945, "Telephony error"},
    {-13950, -13959, "Telephony error"},
    {-13980, -13980, "Telephony error"},
    {15001, 15021, "Log entry"},
    {15100, 15351, "Log entry"},
    {15501, 15502, "Log entry"},
    {15601, 15608, "Log entry"},
    {15700, 15742, "Log entry"},
};

struct Entry {
    int32_t code;
    std::string text;
};

const std::vector<Entry>& table() {
    static const std::vector<Entry> t = [] {
        std::map<int32_t, const char*> given;
#define ZP_T_CLASS(name, parent)
#define ZP_T_CODE(code, cls, text) given.emplace(code, text);
#define ZP_T_TEXT(code, text) given.emplace(code, text);
        ZP_ERROR_LIST(ZP_T_CLASS, ZP_T_CODE, ZP_T_TEXT)
        ZP_TAPI_LIST(ZP_T_CODE)
#undef ZP_T_CLASS
#undef ZP_T_CODE
#undef ZP_T_TEXT
        std::vector<Entry> v;
        for (const Span& s : kSpans) {
            const int32_t step = s.last >= s.first ? 1 : -1;
            for (int32_t c = s.first;; c += step) {
                const auto it = given.find(c);
                // A given text is kept even when empty: those entries have no text.
                if (it != given.end())
                    v.push_back({c, it->second});
                else
                    v.push_back({c, std::string(s.own) + " " + std::to_string(std::abs(c))});
                if (c == s.last) break;
            }
        }
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
        if (v == key) return t[mid].text.c_str();
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
        ZP_TAPI_LIST(ZP_M_CODE)
#undef ZP_M_CLASS
#undef ZP_M_CODE
#undef ZP_M_TEXT
        default:
            break;
    }
    throw EZPException(std::string("Port exception"));
}

}  // namespace

EZPException::EZPException(int32_t code, bool) : std::runtime_error(ZpLoadStr(code)), ErrorCode(code) {}

EZPException::EZPException(const std::string& message, uint8_t) : std::runtime_error(message), ErrorCode(0) {}

EZpFilterError::EZpFilterError(int32_t code, int32_t line, int32_t column, const std::string& message)
    : EZpStreamError(code, message),
      WideMessage(QString::fromStdString(message).toStdWString()),
      Line(line),
      Column(column) {}

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
