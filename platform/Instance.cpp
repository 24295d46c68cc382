#include "platform/Instance.h"

namespace {
std::string& instanceValue() {
    static std::string s;
    return s;
}
}  // namespace

const std::string& Instance() { return instanceValue(); }

void setInstance(const std::string& s) { instanceValue() = s; }

std::string instanceFromArgs(int argc, char** argv) {
    if (argc < 2 || argv[1] == nullptr) return {};
    std::string a = argv[1];
    if (a == "1" || a == "2" || a == "3" || a == "4") return a;
    return {};
}
