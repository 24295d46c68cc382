// The daily log: file names, header block, line format, the shift on a new date, the
// pending text while the file is closed, failures, and two program copies on one file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "link/LogFile.h"
#include "platform/Clock.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "platform/SystemInfo.h"
#include "support/TempEnv.h"

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class FakeSource : public LogHeaderSource {
  public:
    uint32_t instrumentNumber() const override { return number; }
    std::string versionText() const override { return "FW version 2.14; CPLD version 7"; }
    std::string ipAddress() const override { return "192.168.7.9"; }
    std::string currentSequenceName() const override { return "Amino"; }
    std::string currentMethodName() const override { return "Hydro\r\nlysis"; }
    int32_t connectMethod() const override { return method; }
    uint32_t number = 4711;
    int32_t method = 1;
};

class LogFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = env_.dir;
        setInstance("");
        setLogHeaderSource(nullptr);
        folder_ = root_ + "/appdata/TressivanLabs/";
    }
    void TearDown() override {
        setInstance("");
        setLogHeaderSource(nullptr);
    }

    std::string path(const char* suffix = "") const {
        return folder_ + "Zentrova" + Instance() + ".log" + suffix;
    }
    void setLocal(int y, int mo, int d, int h, int mi, int s, int ms) {
        clock_.fake.setLocal(LocalTime{y, mo, d, h, mi, s, ms});
    }
    // Everything after the header block (which ends with an empty line).
    std::string body(const std::string& file) const {
        const std::string text = fileBytes(file);
        const size_t p = text.find("\n\n");
        return p == std::string::npos ? text : text.substr(p + 2);
    }

    TempEnv env_;
    std::string root_, folder_;
    FakeClockGuard clock_;
};

TEST_F(LogFileTest, PathsFollowAppDataAndInstance) {
    setInstance("3");
    TLogFile log;
    EXPECT_EQ(log.LogPath, folder_ + "Zentrova3.log");
    EXPECT_EQ(log.LogPath2, folder_ + "Zentrova3.log2");
    EXPECT_EQ(log.LogPath3, folder_ + "Zentrova3.log3");
    EXPECT_EQ(log.LogPath4, folder_ + "Zentrova3.log4");
    EXPECT_EQ(log.LogState, 1);
    EXPECT_TRUE(exists(log.LogPath));
    EXPECT_EQ(log.LogDate, (TLogDate{2026, 6, 12}));
    EXPECT_EQ(log.StatusText(), "");
}

TEST_F(LogFileTest, HeaderBlockLineByLine) {
    setInstance("2");
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey("\\Software\\TressivanLabs\\Zentrova\\Instrument2", true));
        reg.writeString("COM", "/dev/ttyUSB1");
        reg.writeString("USB", "KVZ Device B");
        reg.writeString("HPLCType", "Other");
        reg.writeString("ChemInstance", "3");
    }
    FakeSource src;
    src.method = 2;
    setLogHeaderSource(&src);
    setLocal(2026, 3, 4, 14, 3, 7, 250);
    TLogFile log;

    const std::vector<std::string> l = lines(fileBytes(folder_ + "Zentrova2.log"));
    size_t i = 0;
    ASSERT_GE(l.size(), 11u);
    EXPECT_EQ(l[i++], "14:03:07 04/03/2026");
    EXPECT_EQ(l[i++], "ZentrovaKVZ, instance 2");
    const std::string version = SystemInfo::programVersion();
    EXPECT_EQ(l[i++], version.empty() ? "No version information found" : "Version " + version);
    EXPECT_EQ(l[i++], "Instrument S/N: 4711");
    EXPECT_EQ(l[i++], "FW version 2.14; CPLD version 7");
    int major, minor, build;
    std::string extra;
    if (SystemInfo::osVersion(major, minor, build, extra)) {
        EXPECT_EQ(l[i++], "OS Version: " + std::to_string(major) + "." + std::to_string(minor) + "." +
                              std::to_string(build) + " " + extra);
    }
    EXPECT_EQ(l[i++], "Connection type: 2; Port: /dev/ttyUSB1");
    EXPECT_EQ(l[i++], "Instrument Instance: 2");
    EXPECT_EQ(l[i++], "HPLC Type: Other; ChemInstance: 3");
    EXPECT_EQ(l[i++], "Current Sequence: Amino");
    EXPECT_EQ(l[i++], "Current Method:   Hydrolysis");
    ASSERT_EQ(l.size(), i + 1);
    EXPECT_EQ(l[i], "");

    // The connection line by method.
    src.method = 1;
    EXPECT_NE(log.WriteHeader().find("\nConnection type: 1; IP address: 192.168.7.9\n"), std::string::npos);
    src.method = 3;
    EXPECT_NE(log.WriteHeader().find("\nConnection type: 3; USB Device: KVZ Device B\n"), std::string::npos);
    src.method = 7;
    EXPECT_NE(log.WriteHeader().find("\nConnection type: 7\n"), std::string::npos);
}

TEST_F(LogFileTest, HeaderDefaultsWithoutInstrument) {
    TLogFile log;
    const std::string h = log.WriteHeader();
    EXPECT_EQ(h.substr(0, 20), "10:00:00 06/12/2026\n");
    for (const char* expected :
         {"\nZentrovaKVZ, instance 1\n", "\nInstrument S/N: N/A\n",
          "\nFW version <Unknown>; CPLD version <Unknown>\n", "\nConnection type: 1; IP address: \n",
          "\nInstrument Instance: \n", "\nHPLC Type: ; ChemInstance: \n",
          "\nCurrent Sequence: \nCurrent Method:   \n\n"})
        EXPECT_NE(h.find(expected), std::string::npos) << expected;
    EXPECT_EQ(h.back(), '\n');
    EXPECT_EQ(fileBytes(path()), h);

    // The stored connection method stands in while the instrument state is not there.
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey("\\Software\\TressivanLabs\\Zentrova\\Instrument", true));
        reg.writeInteger("ConnectMethod", 3);
        reg.writeString("USB", "Dev A");
    }
    EXPECT_NE(log.WriteHeader().find("\nConnection type: 3; USB Device: Dev A\n"), std::string::npos);
}

TEST_F(LogFileTest, LineFormatStripsLineBreaks) {
    TLogFile log;
    clock_.fake.advanceMs(3257);
    EXPECT_TRUE(log.AddLine("A\r\nB"));
    setLocal(2026, 12, 6, 23, 4, 5, 9);
    log.AddLine("#menu: Sequence Load\n");
    log.AddLine("");
    EXPECT_EQ(body(path()), "10:00:03.25,AB\n23:04:05.00,#menu: Sequence Load\n23:04:05.00,\n");
    EXPECT_EQ(log.PendingText, "");
}

TEST_F(LogFileTest, NewDateShiftsTheLogsByOne) {
    std::filesystem::create_directories(folder_);
    const std::string old = "09:30:00 05/12/2026\nold day\n";
    writeFile(path(), old);
    writeFile(path("2"), "two\n");
    writeFile(path("3"), "three\n");
    writeFile(path("4"), "four\n");
    TLogFile log;  // today's log is of an earlier date: the shift happens at start-up
    EXPECT_EQ(fileBytes(path("2")), old);
    EXPECT_EQ(fileBytes(path("3")), "two\n");
    EXPECT_EQ(fileBytes(path("4")), "three\n");
    log.AddLine("day one");
    const std::string dayOne = fileBytes(path());

    setLocal(2026, 12, 6, 23, 59, 59, 990);
    log.AddLine("before midnight");
    clock_.fake.advanceMs(20);
    log.AddLine("after midnight");
    EXPECT_EQ(log.LogDate, (TLogDate{2026, 7, 12}));
    EXPECT_EQ(fileBytes(path("2")), dayOne + "23:59:59.99,before midnight\n");
    EXPECT_EQ(fileBytes(path("3")), old);
    EXPECT_EQ(fileBytes(path("4")), "two\n");
    const std::string today = fileBytes(path());
    EXPECT_EQ(today.substr(0, 20), "00:00:00 07/12/2026\n");
    EXPECT_EQ(body(path()), "00:00:00.01,after midnight\n");

    // Two idle days later: still a shift by one.
    setLocal(2026, 12, 10, 8, 0, 0, 0);
    log.AddLine("later");
    EXPECT_EQ(fileBytes(path("2")), today);
    EXPECT_EQ(fileBytes(path("4")), old);
    EXPECT_EQ(fileBytes(path()).substr(0, 20), "08:00:00 10/12/2026\n");
}

// Returns each reading and moves on by a step, as a real clock does between two calls.
class SteppingClock : public Clock {
  public:
    int64_t monotonicMs() const override { return inner.monotonicMs(); }
    int64_t seconds() const override { return inner.seconds(); }
    LocalTime localNow() const override {
        const LocalTime t = inner.localNow();
        inner.advanceMs(stepMs);
        return t;
    }
    mutable FakeClock inner;
    int stepMs = 10;
};

TEST_F(LogFileTest, DateAndTimeOfALineAreOneReading) {
    SteppingClock stepping;
    stepping.inner.setLocal(LocalTime{2026, 12, 6, 23, 59, 59, 975});
    setClock(&stepping);
    {
        TLogFile log;      // reading at .975
        log.AddLine("a");  // .985
        log.AddLine("b");  // .995: one reading, still the 6th
        log.AddLine("c");  // 00:00:00.005 of the 7th
    }
    setClock(&clock_.fake);
    EXPECT_EQ(body(path("2")), "23:59:59.98,a\n23:59:59.99,b\n");
    EXPECT_EQ(body(path()), "00:00:00.00,c\n");
    EXPECT_EQ(fileBytes(path()).substr(0, 20), "00:00:00 07/12/2026\n");
}

TEST_F(LogFileTest, RestartSameDayAppendsWithoutHeader) {
    {
        TLogFile log;
        log.AddLine("one");
    }
    clock_.fake.advanceSeconds(60);
    {
        TLogFile log;
        EXPECT_EQ(log.LogDate, (TLogDate{2026, 6, 12}));
        log.AddLine("two");
    }
    EXPECT_FALSE(exists(path("2")));
    const std::string text = fileBytes(path());
    EXPECT_EQ(countOf(text, "ZentrovaKVZ, instance"), 1);
    EXPECT_EQ(body(path()), "10:00:00.00,one\n10:01:00.00,two\n");

    // The next start on a later date shifts and starts a new header.
    setLocal(2026, 12, 9, 7, 0, 0, 0);
    TLogFile log;
    EXPECT_EQ(fileBytes(path("2")), text);
    EXPECT_EQ(fileBytes(path()).substr(0, 20), "07:00:00 09/12/2026\n");
}

TEST_F(LogFileTest, ReadLogDateRules) {
    TLogFile log;
    const std::string p = root_ + "/probe";
    EXPECT_EQ(log.ReadLogDate(root_ + "/missing"), TLogDate{});
    writeFile(p, "10:00:00 06/12/2026");  // 19 bytes
    EXPECT_EQ(log.ReadLogDate(p), TLogDate{});
    writeFile(p, "10:00:00 06/12/2026\nrest");
    EXPECT_EQ(log.ReadLogDate(p), (TLogDate{2026, 6, 12}));
    writeFile(p, "10:00:00 06/12/26 abcdefg");  // no line feed in 20 bytes: two-digit year
    EXPECT_EQ(log.ReadLogDate(p), (TLogDate{2026, 6, 12}));
    writeFile(p, "10:00:00 7x/ab/2026\n");
    EXPECT_EQ(log.ReadLogDate(p), (TLogDate{2026, 7, 0}));

    // A today's log with a short first line has no date: the start shifts it away.
    log.FormDestroy();
    writeFile(path(), "short\n");
    TLogFile next;
    EXPECT_EQ(fileBytes(path("2")), "short\n");
    EXPECT_EQ(fileBytes(path()).substr(0, 20), "10:00:00 06/12/2026\n");
}

TEST_F(LogFileTest, LinesWaitWhileClosedAndComeOutInOrder) {
    TLogFile log;
    log.AddLine("first");
    log.CloseForMoment();
    EXPECT_EQ(log.LogState, 2);
    EXPECT_EQ(log.LogHandle, -1);
    clock_.fake.advanceMs(10);
    log.AddLine("second");
    log.AddLine("third");
    EXPECT_EQ(log.PendingText, "10:00:00.01,second\n10:00:00.01,third\n");
    EXPECT_EQ(body(path()), "10:00:00.00,first\n");
    log.Reopen();
    EXPECT_EQ(log.LogState, 1);
    EXPECT_EQ(body(path()), "10:00:00.00,first\n");  // written with the next line
    log.AddLine("fourth");
    EXPECT_EQ(body(path()), "10:00:00.00,first\n10:00:00.01,second\n10:00:00.01,third\n10:00:00.01,fourth\n");
    EXPECT_EQ(log.PendingText, "");
}

TEST_F(LogFileTest, PendingTextCap) {
    TLogFile log;
    log.CloseForMoment();
    const std::string text(100, 'x');  // 113 bytes a line with prefix and line feed
    for (int i = 0; i < 40; ++i) log.AddLine(text);
    // The 36th line starts below 4000 and is kept whole; the rest are dropped.
    EXPECT_EQ(log.PendingText.size(), 36u * 113u);
    log.Reopen();
    log.AddLine("kept");  // after the waiting lines and the count of the lost ones
    EXPECT_EQ(log.PendingText, "");
    const auto l = lines(body(path()));
    ASSERT_EQ(l.size(), 38u);
    EXPECT_EQ(l[36],
              "10:00:00.00,#log: 4 lines lost since 10:00:00 06/12/2026: the log file could not be written");
    EXPECT_EQ(l[37], "10:00:00.00,kept");
}

TEST_F(LogFileTest, PendingTextIsWrittenAtExit) {
    {
        TLogFile log;
        log.CloseForMoment();
        log.AddLine("while archiving");
    }
    EXPECT_EQ(body(path()), "10:00:00.00,while archiving\n");
}

TEST_F(LogFileTest, NoShiftWhileClosedForAMoment) {
    TLogFile log;
    log.AddLine("one");
    const std::string dayOne = fileBytes(path());
    log.CloseForMoment();
    setLocal(2026, 12, 7, 0, 0, 1, 0);
    log.AddLine("waits");
    EXPECT_FALSE(exists(path("2")));  // the file being archived keeps its name
    log.Reopen();
    log.AddLine("next");
    EXPECT_EQ(fileBytes(path("2")), dayOne);
    EXPECT_EQ(body(path()), "00:00:01.00,waits\n00:00:01.00,next\n");
}

TEST_F(LogFileTest, FolderThatCannotBeCreatedIsReportedOnce) {
    writeFile(root_ + "/blocker", "x");
    env_.set("APPDATA", root_ + "/blocker/sub");
    testing::internal::CaptureStderr();
    {
        TLogFile log;
        EXPECT_EQ(log.LogState, 0);
        EXPECT_NE(log.StatusText(), "");
        EXPECT_TRUE(log.AddLine("lost"));
        setLocal(2026, 12, 7, 9, 0, 0, 0);  // a new date tries again, quietly
        EXPECT_TRUE(log.AddLine("lost too"));
        EXPECT_EQ(log.LogState, 0);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(countOf(err, "\n"), 1) << err;
    EXPECT_NE(err.find("blocker/sub/TressivanLabs"), std::string::npos) << err;
}

TEST_F(LogFileTest, LogRecoversOnANewDate) {
    TLogFile log;
    log.AddLine("one");
    // The folder vanishes and a file takes its name: the next shift cannot create a log.
    const std::string folder = folder_.substr(0, folder_.size() - 1);
    ASSERT_EQ(::rename(folder.c_str(), (root_ + "/moved").c_str()), 0);
    writeFile(folder, "in the way");
    testing::internal::CaptureStderr();
    setLocal(2026, 12, 7, 9, 0, 0, 0);
    log.AddLine("waits");
    EXPECT_EQ(log.LogState, 0);
    log.AddLine("dropped");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(countOf(err, "\n"), 1) << err;
    EXPECT_EQ(log.StatusText() + "\n", err);

    // The next date tries again and finds a folder.
    ASSERT_EQ(::unlink(folder.c_str()), 0);
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    log.AddLine("same day");  // the failed date is not tried again
    EXPECT_EQ(log.LogState, 0);
    setLocal(2026, 12, 8, 9, 0, 0, 0);
    log.AddLine("back");
    EXPECT_EQ(log.LogState, 1);
    EXPECT_EQ(log.StatusText(), "");
    EXPECT_EQ(
        body(path()),
        "09:00:00.00,waits\n09:00:00.00,#log: 2 lines lost since 09:00:00 07/12/2026: the log file could "
        "not be written\n09:00:00.00,back\n");
}

TEST_F(LogFileTest, GlobalHelperIsNullSafe) {
    ASSERT_EQ(LogFile, nullptr);
    EXPECT_FALSE(logLine("nobody listens"));
    {
        auto log = std::make_unique<TLogFile>();
        LogFile = log.get();
        EXPECT_TRUE(logLine("#main: hello"));
    }
    EXPECT_EQ(LogFile, nullptr);  // a destroyed log clears the global
    EXPECT_FALSE(logLine("after"));
    EXPECT_EQ(body(path()), "10:00:00.00,#main: hello\n");
}

// Two copies of the program with the same instance append to one file; each batch is one
// write() on an O_APPEND file, so lines never mix.
constexpr int kChildLines = 3000;

TEST(LogFileChild, WriteLines) {
    const char* letter = std::getenv("ZENTROVA_LOG_CHILD");
    const char* gate = std::getenv("ZENTROVA_LOG_GATE");
    if (letter == nullptr || gate == nullptr)
        GTEST_SKIP() << "runs only as a child of TwoCopiesNeverMixALine";
    FakeClockGuard clock;
    // Both copies start together: both find no today's log and race to begin it.
    writeFile(std::string(gate) + ".ready." + letter, "");
    for (int i = 0; i < 10000 && !exists(gate); ++i) ::usleep(1000);
    TLogFile log;
    // And both write at the same time.
    writeFile(std::string(gate) + ".made." + letter, "");
    const std::string other = std::string(gate) + ".made." + (letter[0] == 'a' ? "b" : "a");
    for (int i = 0; i < 10000 && !exists(other); ++i) ::usleep(1000);
    const std::string text = std::string(letter) + std::string(150, letter[0]);
    for (int i = 0; i < kChildLines; ++i) {
        log.AddLine(text + std::to_string(i));
        clock.fake.advanceMs(1);
    }
}

TEST_F(LogFileTest, TwoCopiesNeverMixALine) {
    std::filesystem::create_directories(folder_);
    writeFile(path(), "09:00:00 05/12/2026\nyesterday\n");
    const std::string gate = root_ + "/go";
    std::vector<pid_t> children;
    for (const char* letter : {"a", "b"}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("ZENTROVA_LOG_CHILD", letter, 1);
            setenv("ZENTROVA_LOG_GATE", gate.c_str(), 1);
            execl("/proc/self/exe", "test_logfile", "--gtest_filter=LogFileChild.WriteLines",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        children.push_back(pid);
    }
    // Real processes: wait (in real time) until both are ready, then open the gate.
    for (int i = 0; i < 10000 && !(exists(gate + ".ready.a") && exists(gate + ".ready.b")); ++i)
        ::usleep(1000);
    writeFile(gate, "");
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    // One shift, one header.
    EXPECT_EQ(fileBytes(path("2")), "09:00:00 05/12/2026\nyesterday\n");
    EXPECT_FALSE(exists(path("3")));
    EXPECT_EQ(countOf(fileBytes(path()), "ZentrovaKVZ, instance"), 1);
    const std::vector<std::string> l = lines(body(path()));
    ASSERT_EQ(l.size(), 2u * kChildLines);
    const std::regex shape(R"(\d\d:\d\d:\d\d\.\d\d,(a{151}|b{151})\d+)");
    int a = 0, b = 0;
    for (const std::string& line : l) {
        ASSERT_TRUE(std::regex_match(line, shape)) << line;
        (line[12] == 'a' ? a : b)++;
    }
    EXPECT_EQ(a, kChildLines);
    EXPECT_EQ(b, kChildLines);
    // Lines of one copy keep their order.
    int lastA = -1, lastB = -1;
    for (const std::string& line : l) {
        int& last = line[12] == 'a' ? lastA : lastB;
        const int n = std::stoi(line.substr(12 + 151));
        EXPECT_EQ(n, last + 1);
        last = n;
    }
}

}  // namespace
