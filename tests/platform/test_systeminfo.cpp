// Where the program's files live, and which copy it is.
#include <gtest/gtest.h>

#include "platform/Instance.h"
#include "platform/SystemInfo.h"
#include "support/TempEnv.h"

TEST(SystemInfo, FoldersFollowTheEnvironment) {
    TempEnv env;
    env.set("HOME", env.path("home"));
    env.set("APPDATA", env.path("appdata") + "//");
    EXPECT_EQ(SystemInfo::appDataDir(), env.path("appdata"));
    env.unset("APPDATA");
    EXPECT_EQ(SystemInfo::appDataDir(), env.path("data"));
    env.set("XDG_DATA_HOME", "relative/ignored");
    EXPECT_EQ(SystemInfo::appDataDir(), env.path("home") + "/.local/share");
    EXPECT_EQ(SystemInfo::windowsDir(), env.path("config") + "/TressivanLabs");
    env.unset("XDG_CONFIG_HOME");
    EXPECT_EQ(SystemInfo::configDir(), env.path("home") + "/.config/TressivanLabs");
    env.set("ZENTROVA_WINDIR", env.path("win"));
    EXPECT_EQ(SystemInfo::windowsDir(), env.path("win"));
}

TEST(Instance, OnlyTheFirstArgumentAndOnlyADigitOneToFourCount) {
    const struct {
        std::vector<std::string> args;
        const char* instance;
    } cases[] = {{{"1"}, "1"}, {{"4"}, "4"}, {{"5"}, ""},       {{"01"}, ""},    {{"2 "}, ""},
                 {{}, ""},     {{""}, ""},   {{"3", "x"}, "3"}, {{"7", "2"}, ""}};
    for (const auto& c : cases) EXPECT_EQ(instanceFromArgs(c.args), c.instance) << c.args.size();
    char prog[] = "zentrova", arg[] = "2";
    char* argv[] = {prog, arg, nullptr};
    EXPECT_EQ(instanceFromArgs(2, argv), "2");
}
