#include "platform/CaseFold.h"

#include <QString>

std::string caseFold(const std::string& s) {
    bool ascii = true;
    std::string out(s);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            ascii = false;
            break;
        }
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (ascii) return out;
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())).toCaseFolded().toStdString();
}

bool sameTextCI(const std::string& a, const std::string& b) {
    return a == b || caseFold(a) == caseFold(b);
}
