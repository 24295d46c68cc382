#include "platform/Instance.h"

namespace {
std::string& instanceValue() {
    static std::string s;
    return s;
}
}  // namespace

const std::string& Instance() {
    return instanceValue();
}

void setInstance(const std::string& s) {
    instanceValue() = s;
}

std::string instanceFromArgs(const std::vector<std::string>& args) {
    // Compared as a whole: "01", "5" and "2 " name no instance.
    if (args.empty()) return {};
    const std::string& a = args.front();
    if (a == "1" || a == "2" || a == "3" || a == "4") return a;
    return {};
}

std::string instanceFromArgs(int argc, char** argv) {
    if (argc < 2 || argv[1] == nullptr) return {};
    return instanceFromArgs(std::vector<std::string>{argv[1]});
}
