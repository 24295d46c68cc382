// Profile files: reading what people and older versions wrote, rewriting in place, and replacing the
// file safely (mode kept, temp files of killed writers removed, a live writer's left alone); what
// is not a regular file of a sane size is neither read nor replaced.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/IniFile.h"
#include "platform/SafeRead.h"
#include "support/OddFiles.h"
#include "support/TempEnv.h"

namespace {
using Names = std::vector<std::string>;
const std::string kBom = "\xEF\xBB\xBF";

class Ini : public ::testing::Test {
  protected:
    TempEnv env;
    std::string path = env.path("ZentrovaSequencesMethods.sav");
};

TEST_F(Ini, ReadsLfAndCrLfIgnoringCaseAndTrimming) {
    writeFile(path,
              kBom +
                  "; a comment\n[Method00000]\r\n  Name =  Hydrolysis  \r\nColumnT=40\n\n"
                  "PumpFlowTT00001=20;0.50;0.30\njunk line without equals\nname=second Name is ignored\n"
                  "[ Sequence00000 ]\nLine=Hydro;lysis;2\nflag=$10\nbad=1x\n[method00000]\nExtra=yes\n");
    IniFile ini(path);
    EXPECT_EQ(ini.readSections(), (Names{"Method00000", "Sequence00000"}));
    EXPECT_EQ(ini.readSection("Method00000"), (Names{"Name", "ColumnT", "PumpFlowTT00001", "Extra"}));
    EXPECT_EQ(ini.readString("METHOD00000", "NAME", ""), "Hydrolysis");
    EXPECT_EQ(ini.readString("Sequence00000", "line", ""), "Hydro;lysis;2");
    EXPECT_EQ(ini.readInteger("Sequence00000", "flag", 0), 16);
    EXPECT_EQ(ini.readInteger("Sequence00000", "bad", 7), 7);
    EXPECT_FALSE(ini.readBool("Sequence00000", "bad", false));
    EXPECT_TRUE(ini.readBool("Sequence00000", "flag", false));
    EXPECT_FALSE(ini.valueExists("Sequence00000", "Nope"));
    EXPECT_FALSE(ini.sectionExists("Nope"));
}

TEST_F(Ini, RewriteKeepsCommentsOrderAndByteOrderMarks) {
    writeFile(path, "; keep me\n[A]\nx=1\n; inner\ny=2\n\n[B]\nz=3\n");
    IniFile ini(path);
    ini.writeString("a", "X", "10");
    ini.writeString("A", "new", "n");
    ini.deleteKey("B", "Z");
    ini.writeString("C", "k", " padded \r\nvalue ");
    ASSERT_TRUE(ini.updateFile());
    EXPECT_EQ(
        fileBytes(path),
        "; keep me\r\n[A]\r\nx=10\r\n; inner\r\ny=2\r\nnew=n\r\n\r\n[B]\r\n[C]\r\nk=padded   value\r\n");
    // After a second byte-order mark "[A]" is text, not a section.
    writeFile(path, kBom + kBom + "[A]\r\nk=1\r\n[B]\r\nk=2\r\n");
    IniFile twice(path);
    EXPECT_EQ(twice.readString("A", "k", "none"), "none");
    twice.writeString("B", "k", "3");
    ASSERT_TRUE(twice.updateFile());
    EXPECT_EQ(fileBytes(path), kBom + kBom + "[A]\r\nk=1\r\n[B]\r\nk=3\r\n");
}

TEST_F(Ini, UpdateReplacesTheFileKeepingItsModeAndRemovesStaleTempFilesOnly) {
    writeFile(path, "[Old]\nk=v\n");
    chmod(path.c_str(), 0640);
    auto temp = [&](const std::string& p, bool old) {
        writeFile(p, "half");
        const struct timespec times[2] = {{1000, 0}, {1000, 0}};
        if (old) utimensat(AT_FDCWD, p.c_str(), times, 0);
        return p;
    };
    const std::string dead = temp(path + ".tmp-a1B2c3", true), fresh = temp(path + ".tmp-d4E5f6", false);
    const std::string busy = temp(path + ".tmp-g7H8i9", true),
                      other = temp(env.path("y.sav.tmp-j1K2l3"), true);
    const int held = ::open(busy.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);  // a writer still at work
    IniFile ini(path);
    ini.writeString("New", "k", "v");
    ASSERT_TRUE(ini.updateFile());
    ::close(held);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(fileBytes(path), "[Old]\r\nk=v\r\n[New]\r\nk=v\r\n");
    Names left;
    for (auto& e : std::filesystem::directory_iterator(env.dir)) left.push_back(e.path().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (Names{path, fresh, busy, other})) << "the killed writer's old temp file goes";
    EXPECT_FALSE(std::filesystem::exists(dead));
}

TEST_F(Ini, AFileThatCannotBeReadIsNotOverwritten) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    writeFile(path, "[Keep]\nk=v\n");
    chmod(path.c_str(), 0200);
    IniFile ini(path);
    EXPECT_NE(ini.lastError(), "");
    ini.writeString("S", "k", "v");
    EXPECT_FALSE(ini.updateFile());
    chmod(path.c_str(), 0600);
    EXPECT_EQ(fileBytes(path), "[Keep]\nk=v\n");
}

// Ten thousand sections and keys (an import file made by hand or by script), and values of any
// length, stay findable after edits.
TEST_F(Ini, ManySectionsAndKeysStayFindableAfterEdits) {
    constexpr int kCount = 10000;
    const std::string big(100000, 'v');
    std::string text = "[Big]\n";
    for (int i = 0; i < kCount; ++i) text += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    text += "KEY7=duplicate\nLong=" + big + "\n";
    for (int i = 0; i < kCount; ++i)
        text += "[S" + std::to_string(i) + "]\nName=n" + std::to_string(i) + "\n";
    writeFile(path, text + "[s5]\nextra=1\n");

    IniFile ini(path);
    EXPECT_EQ(ini.readSection("big").size(), size_t(kCount + 1)) << "a repeated key is listed once";
    EXPECT_EQ(ini.readString("Big", "key7", ""), "7") << "the first of repeated keys counts";
    EXPECT_EQ(ini.readString("S5", "Extra", ""), "1") << "a repeated section continues the first";
    ini.writeString("S5", "Name", "renamed");
    ini.eraseSection("S3");
    ini.deleteKey("Big", "Key2");
    ini.writeString("Later", "k", "w");
    EXPECT_FALSE(ini.sectionExists("s3"));
    EXPECT_FALSE(ini.valueExists("Big", "Key2"));
    ASSERT_TRUE(ini.updateFile()) << ini.lastError();
    IniFile again(path);
    EXPECT_EQ(again.readSections().size(), size_t(kCount + 1));
    for (int i = 0; i < kCount; i += 397)
        EXPECT_EQ(again.readInteger("BIG", "key" + std::to_string(i), -1), i);
    EXPECT_EQ(again.readString("S9999", "Name", ""), "n9999");
    EXPECT_EQ(again.readString("S5", "Name", ""), "renamed");
    EXPECT_EQ(again.readString("later", "K", ""), "w");
    EXPECT_EQ(again.readString("Big", "Long", ""), big);
}
// A named pipe, a device, a folder or a huge file where the profile file should be: the
// constructor returns at once, reads nothing, says why naming the file, and the file is never
// replaced by what little is known of it.
TEST_F(Ini, WhatIsNotARegularFileOfASaneSizeIsNeitherReadNorReplaced) {
    for (const OddFile& odd : oddFiles()) {
        SCOPED_TRACE(odd.name);
        ASSERT_TRUE(makeOdd(odd.kind, path));
        BlockWatchdog watchdog(odd.name);
        // Nothing but a regular file is even opened (the test's own named pipe and folder are
        // watched; others may open /dev/zero meanwhile).
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        if (odd.kind == OddKind::Fifo || odd.kind == OddKind::Folder) {
            ASSERT_GE(::inotify_add_watch(watch, path.c_str(), IN_OPEN), 0);
        }
        IniFile ini(path, 1024 * 1024);
        char event[4096];
        EXPECT_LT(::read(watch, event, sizeof event), 0) << "opened";
        ::close(watch);
        EXPECT_TRUE(ini.readSections().empty());
        EXPECT_EQ(ini.lastError().find(path), 0u) << ini.lastError();
        EXPECT_NE(ini.lastError().find(odd.because), std::string::npos) << ini.lastError();
        ini.writeString("S", "k", "v");
        EXPECT_FALSE(ini.updateFile());
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_FALSE(S_ISREG(st.st_mode) && st.st_size < 1024) << "the odd file was replaced";
    }
    // The limit itself: a file of exactly the limit is read, one byte more is refused.
    const std::string text = "[S]\nk=" + std::string(100, 'v') + "\n";
    writeFile(path, text);
    EXPECT_EQ(IniFile(path, text.size()).readString("S", "k", ""), std::string(100, 'v'));
    const IniFile over(path, text.size() - 1);
    EXPECT_EQ(over.lastError(),
              path + " is not read: it is larger than " + SafeRead::sizeText(text.size() - 1) + ".");
    EXPECT_EQ(over.readString("S", "k", "none"), "none");
    // A file that does not tell its size (as those of /proc) is read no further than the limit.
    std::filesystem::remove(path);
    ASSERT_EQ(::symlink("/proc/self/status", path.c_str()), 0);
    EXPECT_EQ(IniFile(path, 64).lastError(), path + " is not read: it is larger than 64 bytes.");
}

// A regular file at the look that is a named pipe by the time it is opened: the open does not
// wait for a writer, and what was opened is refused.
TEST_F(Ini, ANamedPipeSwappedInAfterTheLookIsRefusedWithoutWaiting) {
    writeFile(path, "[S]\nk=v\n");
    SafeRead::setAfterLookHook([](const std::string& p) {
        std::filesystem::remove(p);
        ::mkfifo(p.c_str(), 0600);
    });
    BlockWatchdog watchdog("a named pipe swapped in");
    const IniFile ini(path);
    SafeRead::setAfterLookHook(nullptr);
    EXPECT_EQ(ini.lastError(), path + " is not read: it is a named pipe (FIFO), not a regular file.");
    EXPECT_EQ(ini.readString("S", "k", "none"), "none");
}
}  // namespace
