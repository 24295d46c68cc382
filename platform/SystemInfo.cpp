#include "platform/SystemInfo.h"

#include <limits.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#ifndef ZENTROVA_VERSION
#define ZENTROVA_VERSION ""
#endif

namespace {
std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string withoutTrailingSlash(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string homeDir() {
    std::string home = env("HOME");
    if (home.empty()) {
        if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir) home = pw->pw_dir;
    }
    return home.empty() ? std::string("/tmp") : withoutTrailingSlash(home);
}

// The XDG variables count only when they hold an absolute path.
std::string xdgDir(const char* name, const char* fallback) {
    const std::string v = env(name);
    if (!v.empty() && v[0] == '/') return withoutTrailingSlash(v);
    return homeDir() + fallback;
}
}  // namespace

namespace SystemInfo {
std::string appDataDir() {
    const std::string app = env("APPDATA");
    if (!app.empty()) return withoutTrailingSlash(app);
    return xdgDir("XDG_DATA_HOME", "/.local/share");
}

std::string configDir() {
    return xdgDir("XDG_CONFIG_HOME", "/.config") + "/TressivanLabs";
}

std::string windowsDir() {
    const std::string w = env("ZENTROVA_WINDIR");
    if (!w.empty()) return withoutTrailingSlash(w);
    return configDir();
}

std::string userName() {
    if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name && *pw->pw_name) return pw->pw_name;
    std::string u = env("USER");
    if (u.empty()) u = env("LOGNAME");
    return u;
}

bool osVersion(int& major, int& minor, int& build, std::string& extra) {
    utsname u{};
    if (uname(&u) != 0) return false;
    // The release reads "6.1.0-18-amd64": three numbers, then the distribution's suffix.
    int nums[3] = {0, 0, 0};
    const char* p = u.release;
    int got = 0;
    while (got < 3 && *p >= '0' && *p <= '9') {
        long v = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + (*p - '0');
            if (v > 1000000) v = 1000000;
            ++p;
        }
        nums[got++] = static_cast<int>(v);
        if (*p == '.')
            ++p;
        else
            break;
    }
    if (got == 0) return false;
    major = nums[0];
    minor = nums[1];
    build = nums[2];
    extra = std::string(u.sysname) + " " + u.release + " " + u.version;
    return true;
}

std::string osVersionText() {
    utsname u{};
    if (uname(&u) != 0) return "";
    return std::string(u.sysname) + " " + u.release;
}

int platformId() {
    return PlatformIdNT;
}

std::string programVersion() {
    return ZENTROVA_VERSION;
}

std::string programDir() {
    std::vector<char> buf(PATH_MAX + 1);
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return ".";
    std::string path(buf.data(), static_cast<size_t>(n));
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}
}  // namespace SystemInfo
