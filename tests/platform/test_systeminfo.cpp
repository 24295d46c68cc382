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
