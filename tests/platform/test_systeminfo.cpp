// Where the program's files live, which copy it is, and the test clock everything else relies on.
#include <gtest/gtest.h>

#include "platform/Clock.h"
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

TEST(Clock, FakeClockCrossesMidnightAndKeepsSecondsAwayFromZero) {
    FakeClockGuard g;
    g.fake.setLocal({2026, 12, 31, 23, 59, 59, 990});
    const int64_t s0 = appClock().seconds();
    EXPECT_GT(s0, 1'000'000);
    g.fake.advanceMs(20);
    const LocalTime t = appClock().localNow();
    EXPECT_EQ(std::vector<int>({t.year, t.month, t.day, t.hour, t.millisecond}),
              std::vector<int>({2027, 1, 1, 0, 10}));
    g.fake.advanceSeconds(5);
    EXPECT_EQ(appClock().seconds(), s0 + 5);
}
