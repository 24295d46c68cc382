// Profile files: any bytes read as an INI file; rewriting the file keeps its meaning, and a
// value written is read back as written (one line, trimmed).
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/IniFile.h"

namespace {
using Meaning = std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;

Meaning meaningOf(const IniFile& ini) {
    Meaning m;
    for (const std::string& s : ini.readSections()) {
        auto& keys = m.emplace_back(s, decltype(m)::value_type::second_type{}).second;
        for (const std::string& k : ini.readSection(s)) keys.emplace_back(k, ini.readString(s, k, "\x01"));
    }
    return m;
}

std::string trimmedLine(std::string s) {
    for (char& c : s)
        if (c == '\r' || c == '\n') c = ' ';
    const char* blanks = " \t\r\n\f\v";
    const size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::scratchDir() + "/profile.ini";
    const std::string text(reinterpret_cast<const char*>(data), size);
    fuzz::writeFile(path, text);
    Meaning before;
    {
        IniFile ini(path);
        before = meaningOf(ini);
        for (const auto& [s, keys] : before)
            for (const auto& [k, v] : keys)
                if (!ini.valueExists(s, k) || ini.readString(s, k, "") != v)
                    fuzz::fail("a key read two ways differs");
        if (!ini.updateFile()) fuzz::fail("rewrite failed: " + ini.lastError());
    }
    {
        IniFile again(path);
        if (meaningOf(again) != before) fuzz::fail("rewriting the file changed what it says");
        // The input's first line, used as a value, comes back as one trimmed line.
        const std::string value = text.substr(0, std::min<size_t>(text.size(), 200));
        again.writeString("Fuzz", "Value", value);
        if (again.readString("Fuzz", "Value", "\x01") != trimmedLine(value))
            fuzz::fail("a written value reads back changed");
        (void)again.readInteger("Fuzz", "Value", 0);
    }
    return 0;
}
