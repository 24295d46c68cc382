#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/SystemInfo.h"
#include "support/TempEnv.h"

TEST(SystemInfo, FoldersFollowTheEnvironment) {
    TempEnv env;
    env.set("HOME", env.path("home"));
    EXPECT_EQ(SystemInfo::appDataDir(), env.path("appdata"));
    env.set("APPDATA", env.path("appdata") + "//");
    EXPECT_EQ(SystemInfo::appDataDir(), env.path("appdata"));
    env.unset("APPDATA");
    EXPECT_EQ(SystemInfo::appDataDir(), env.path("data"));
    env.unset("XDG_DATA_HOME");
    EXPECT_EQ(SystemInfo::appDataDir(), env.path("home") + "/.local/share");
    env.set("XDG_DATA_HOME", "relative/ignored");
    EXPECT_EQ(SystemInfo::appDataDir(), env.path("home") + "/.local/share");

    EXPECT_EQ(SystemInfo::configDir(), env.path("config") + "/TressivanLabs");
    EXPECT_EQ(SystemInfo::windowsDir(), env.path("config") + "/TressivanLabs");
    env.unset("XDG_CONFIG_HOME");
    EXPECT_EQ(SystemInfo::configDir(), env.path("home") + "/.config/TressivanLabs");
    env.set("ZENTROVA_WINDIR", env.path("win"));
    EXPECT_EQ(SystemInfo::windowsDir(), env.path("win"));
}

TEST(SystemInfo, UserSystemAndProgram) {
    EXPECT_FALSE(SystemInfo::userName().empty());
    int major = -1, minor = -1, build = -1;
    std::string extra;
    ASSERT_TRUE(SystemInfo::osVersion(major, minor, build, extra));
    EXPECT_GT(major, 0);
    EXPECT_GE(minor, 0);
    EXPECT_GE(build, 0);
    EXPECT_FALSE(extra.empty());
    EXPECT_NE(SystemInfo::osVersionText().find(std::to_string(major) + "." + std::to_string(minor)),
              std::string::npos);
    const std::string v = SystemInfo::programVersion();
    EXPECT_EQ(std::count(v.begin(), v.end(), '.'), 3) << v;  // four numbers, as "1.0.0.0"
    EXPECT_EQ(v.find_first_not_of("0123456789."), std::string::npos) << v;
    EXPECT_EQ(std::filesystem::path(SystemInfo::programDir()),
              std::filesystem::canonical("/proc/self/exe").parent_path());
}
