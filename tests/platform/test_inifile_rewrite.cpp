// Rewriting a profile file: a second byte-order mark stays text, and temp files of killed
// writers go away with the next write while a live writer's stays.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/IniFile.h"
#include "support/TempEnv.h"

namespace {
const std::string kBom = "\xEF\xBB\xBF";

TEST(IniFileRewrite, TwoByteOrderMarksKeepTheirMeaning) {
    TempEnv env;
    const std::string path = env.path("x.ini");
    writeFile(path, kBom + kBom + "[A]\r\nk=1\r\n[B]\r\nk=2\r\n");
    {
        IniFile ini(path);
        EXPECT_EQ(ini.readString("A", "k", "none"), "none");  // "[A]" after the second mark is no section
        ini.writeString("B", "k", "3");
        ASSERT_TRUE(ini.updateFile());
    }
    EXPECT_EQ(fileBytes(path), kBom + kBom + "[A]\r\nk=1\r\n[B]\r\nk=3\r\n");
    EXPECT_EQ(IniFile(path).readString("A", "k", "none"), "none");
}

TEST(IniFileRewrite, StaleTempFilesOfKilledWritersAreRemoved) {
    TempEnv env;
    const std::string path = env.path("x.sav");
    auto make = [](const std::string& p, bool old) {
        writeFile(p, "half");
        const struct timespec times[2] = {{1000, 0}, {1000, 0}};
        if (old) utimensat(AT_FDCWD, p.c_str(), times, 0);
        return p;
    };
    const std::string dead = make(path + ".tmp-a1B2c3", true);
    const std::string fresh = make(path + ".tmp-d4E5f6", false);
    const std::string busy = make(path + ".tmp-g7H8i9", true);
    const std::string other = make(env.path("y.sav.tmp-j1K2l3"), true);
    const int held = ::open(busy.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);  // a writer still at work

    IniFile ini(path);
    ini.writeString("S", "k", "v");
    ASSERT_TRUE(ini.updateFile());
    ::close(held);
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_TRUE(std::filesystem::exists(fresh));
    EXPECT_TRUE(std::filesystem::exists(busy));
    EXPECT_TRUE(std::filesystem::exists(other));
}
}  // namespace
