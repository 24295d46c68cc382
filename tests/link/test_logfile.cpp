// The daily log: header block, line format, the shift on a new date, lines waiting while the
// file is closed, lines lost and reported, lines cut short by a full file, what is not a file of
// its own at its name, two program copies on one file, and the window "Send Log File to
// Support" with the archive it writes (read back with libzip).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <zip.h>

#include <QCoreApplication>
#include <QDate>
#include <QKeyEvent>
#include <QLocale>
#include <QStringList>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "link/LogFile.h"
#include "link/ProgressBar.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "platform/Shell.h"
#include "platform/SystemInfo.h"
#include "support/OddFiles.h"
#include "support/TempEnv.h"
#include "unicode/UxControls.h"

namespace {

// One header block in the file.
bool oneHeader(const std::string& text) {
    return text.find("ZentrovaKVZ, instance") == text.rfind("ZentrovaKVZ, instance");
}

class FakeSource : public LogHeaderSource {
  public:
    uint32_t instrumentNumber() const override { return 4711; }
    std::string versionText() const override { return ""; }
    std::string ipAddress() const override { return ""; }
    std::string currentSequenceName() const override { return "Amino"; }
    std::string currentMethodName() const override { return "Hydro\r\nlysis"; }
    int32_t connectMethod() const override { return 2; }
};

class LogFileTest : public ::testing::Test {
  protected:
    void SetUp() override { folder_ = env_.dir + "/appdata/TressivanLabs/"; }
    void TearDown() override {
        setInstance("");
        setLogHeaderSource(nullptr);
        OnLogTrouble = nullptr;
        LogFileFault = nullptr;
    }
    std::string path(const char* suffix = "") const { return folder_ + "Zentrova.log" + suffix; }
    void setLocal(int y, int mo, int d, int h, int mi, int s, int ms) {
        clock_.fake.setLocal(LocalTime{y, mo, d, h, mi, s, ms});
    }
    // Today's log of the day before and the three earlier ones; returns the first.
    std::string fourDays() {
        std::filesystem::create_directories(folder_);
        writeFile(path(), "09:30:00 05/12/2026\nyesterday\n");
        writeFile(path("2"), "two\n");
        writeFile(path("3"), "three\n");
        writeFile(path("4"), "four\n");
        return fileBytes(path());
    }
    // Everything after the header block (which ends with an empty line).
    std::string body(const std::string& file) const {
        const std::string text = fileBytes(file);
        const size_t p = text.find("\n\n");
        return p == std::string::npos ? text : text.substr(p + 2);
    }

    TempEnv env_;
    std::string folder_;
    FakeClockGuard clock_;
};

TEST_F(LogFileTest, HeaderBlock) {
    setInstance("2");
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\Software\\TressivanLabs\\Zentrova\\Instrument2", true));
    reg.writeString("COM", "/dev/ttyUSB1");
    reg.writeString("HPLCType", "Other");
    reg.writeString("ChemInstance", "3");
    FakeSource src;
    setLogHeaderSource(&src);
    setLocal(2026, 3, 4, 14, 3, 7, 250);
    TLogFile log;
    const std::string h = fileBytes(folder_ + "Zentrova2.log");
    EXPECT_EQ(h.substr(0, 44), "14:03:07 04/03/2026\nZentrovaKVZ, instance 2\n");
    EXPECT_TRUE(
        h.ends_with("\nConnection type: 2; Port: /dev/ttyUSB1\nInstrument Instance: 2\nHPLC Type: Other; "
                    "ChemInstance: 3\nCurrent Sequence: Amino\nCurrent Method:   Hydrolysis\n\n"))
        << h;
}

// The system's version carries the stand-in's platform identifier after the build number.
TEST_F(LogFileTest, HeaderNamesThePlatformAfterTheBuildNumber) {
    int major = 0, minor = 0, build = 0;
    std::string extra;
    ASSERT_TRUE(SystemInfo::osVersion(major, minor, build, extra));
    TLogFile log;
    const std::string version =
        std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
    EXPECT_NE(fileBytes(path()).find("\nOS Version: " + version + ".2 " + extra + "\n"), std::string::npos)
        << fileBytes(path());
}

TEST_F(LogFileTest, NewDateShiftsTheLogsByOne) {
    const std::string old = fourDays();
    {
        TLogFile log;  // today's log is of an earlier date: the shift happens at start-up
        log.AddLine("one");
    }
    EXPECT_EQ(fileBytes(path("4")), "three\n");
    clock_.fake.advanceSeconds(60);
    TLogFile log;  // a restart on the same day appends without a header
    setLocal(2026, 12, 6, 23, 59, 59, 990);
    log.AddLine("before\r\nmidnight\n");  // line breaks are dropped
    const std::string dayOne = fileBytes(path());
    EXPECT_TRUE(oneHeader(dayOne));
    EXPECT_EQ(body(path()), "10:00:00.00,one\n23:59:59.99,beforemidnight\n");
    clock_.fake.advanceMs(20);
    log.AddLine("after midnight");
    EXPECT_EQ(fileBytes(path("2")), dayOne);
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

// Moves on by 10 ms at each reading, as a real clock does between two calls.
class SteppingClock : public FakeClock {
  public:
    LocalTime localNow() const override {
        const LocalTime t = FakeClock::localNow();
        const_cast<SteppingClock*>(this)->advanceMs(10);
        return t;
    }
};

TEST_F(LogFileTest, DateAndTimeOfALineAreOneReading) {
    SteppingClock stepping;
    stepping.setLocal(LocalTime{2026, 12, 6, 23, 59, 59, 975});
    setClock(&stepping);
    {
        TLogFile log;      // reads .975
        log.AddLine("a");  // .985
        log.AddLine("b");  // .995: one reading, so still the 6th
    }
    setClock(&clock_.fake);
    EXPECT_EQ(body(path()), "23:59:59.98,a\n23:59:59.99,b\n");
}

TEST_F(LogFileTest, LinesWaitingAtExitAreWritten) {
    {
        TLogFile log;
        log.CloseForMoment();
        log.AddLine("while archiving");
    }
    EXPECT_EQ(body(path()), "10:00:00.00,while archiving\n");
}

TEST_F(LogFileTest, LinesLostOnAFullDiskAreCountedAndTheOperatorIsToldWhenItBeginsAndEnds) {
    const std::string x(100, 'x');  // 113 bytes a line with prefix and line feed: 36 wait below 4000
    for (const int lost : {0, 1, 4}) {
        SCOPED_TRACE(lost);
        setInstance(lost == 0 ? "1" : lost == 1 ? "2" : "3");  // a file each
        setLocal(2026, 12, 6, 10, 0, 0, 0);
        std::vector<std::string> told;
        OnLogTrouble = [&](const QString& text) { told.push_back(text.toStdString()); };
        bool full = false;
        LogFileFault = [&](LogFileCall call) { return full && call == LogFileCall::Write ? ENOSPC : 0; };
        TLogFile log;
        log.AddLine("before");
        full = true;
        testing::internal::CaptureStderr();
        for (int i = 0; i < 36 + lost; ++i) {
            log.AddLine(x);
            clock_.fake.advanceMs(1000);
        }
        QCoreApplication::processEvents();
        const std::string trouble = log.StatusText();
        EXPECT_NE(trouble.find("No space left on device"), std::string::npos) << trouble;
        // Space again: the waiting lines, the end of the trouble, the lines lost, the new line.
        full = false;
        log.AddLine("after");
        QCoreApplication::processEvents();
        const std::string back = "The log file " + log.LogPath + " is written again.";
        EXPECT_EQ(testing::internal::GetCapturedStderr(), trouble + "\n" + back + "\n");
        EXPECT_EQ(told, (std::vector<std::string>{trouble, back}));
        EXPECT_EQ(log.StatusText(), "");
        const std::string at = "10:00:" + std::to_string(36 + lost) + ".00,";
        const std::string lostLine =
            lost == 0 ? ""
                      : at + "#log: " + std::to_string(lost) + (lost == 1 ? " line" : " lines") +
                            " lost since 10:00:36 06/12/2026: the log file could not be written\n";
        const std::string text = body(log.LogPath);
        EXPECT_EQ(text.find("10:00:00.00,before\n10:00:00.00," + x), 0u);
        EXPECT_EQ(text.substr(12 + 7 + 36 * 113),
                  at + "#log: " + back + " Before: " + trouble + "\n" + lostLine + at + "after\n");
        // Once told, the count starts again: the next line comes alone.
        log.AddLine("next");
        EXPECT_TRUE(body(log.LogPath).ends_with(at + "after\n" + at + "next\n")) << body(log.LogPath);
        EXPECT_EQ(log.DroppedLines(), 0u);
        LogFileFault = nullptr;
    }
}

// A full disk when the day begins: the day's file stays empty, and a restart that day finds it
// so and shifts nothing again; the header comes first, once, when the disk takes text again.
TEST_F(LogFileTest, AFullDiskAtTheStartOfADayKeepsTheHeaderAndTheOlderDays) {
    const std::string yesterday = fourDays();
    bool full = true;
    LogFileFault = [&](LogFileCall call) { return full && call == LogFileCall::Write ? ENOSPC : 0; };
    testing::internal::CaptureStderr();
    { TLogFile log; }
    TLogFile log;     // a restart the same day
    TLogFile second;  // and a second copy: both owe the header
    EXPECT_EQ(fileBytes(path()), "");
    EXPECT_EQ(fileBytes(path("2")), yesterday);
    EXPECT_EQ(fileBytes(path("4")), "three\n");
    log.AddLine("waits");
    clock_.fake.advanceSeconds(1);
    full = false;
    log.AddLine("space again");
    second.AddLine("second copy");
    testing::internal::GetCapturedStderr();
    {
        TLogFile joins;
        joins.AddLine("restarted");
    }
    const std::string text = fileBytes(path());
    EXPECT_EQ(text.substr(0, 20), "10:00:01 06/12/2026\n");
    EXPECT_TRUE(oneHeader(text));
    const std::string b = body(path());
    EXPECT_EQ(b.find("10:00:00.00,waits\n10:00:01.00,space again\n10:00:01.00,#log: The log file "), 0u) << b;
    EXPECT_TRUE(b.ends_with("\n10:00:01.00,restarted\n")) << b;
    EXPECT_EQ(fileBytes(path("2")), yesterday);
    EXPECT_EQ(fileBytes(path("4")), "three\n");
    LogFileFault = nullptr;
}

// No free inodes: the file cannot be created. Lines try again every few seconds; the day's
// shift is made once, however often the start fails.
TEST_F(LogFileTest, WithoutInodesTheLogIsTriedAgainEveryFewSecondsAndShiftedOnce) {
    const std::string yesterday = fourDays();
    std::vector<std::string> told;
    OnLogTrouble = [&](const QString& text) { told.push_back(text.toStdString()); };
    bool noInodes = true;
    LogFileFault = [&](LogFileCall call) { return noInodes && call == LogFileCall::Create ? ENOSPC : 0; };
    testing::internal::CaptureStderr();
    TLogFile log;
    QCoreApplication::processEvents();
    const std::string trouble = "Cannot create the log file " + path() +
                                " (No space left on device); the program runs without a log.";
    EXPECT_EQ(told, std::vector<std::string>{trouble});
    { TLogFile restarted; }
    clock_.fake.advanceSeconds(5);
    log.AddLine("a");  // tried again: still no inodes
    noInodes = false;
    clock_.fake.advanceSeconds(4);
    log.AddLine("b");  // not tried: too soon
    EXPECT_FALSE(std::filesystem::exists(path()));
    clock_.fake.advanceSeconds(1);
    log.AddLine("c");
    QCoreApplication::processEvents();
    testing::internal::GetCapturedStderr();
    const std::string back = "The log file " + path() + " is written again.";
    EXPECT_EQ(told, (std::vector<std::string>{trouble, back}));
    EXPECT_EQ(fileBytes(path()).substr(0, 20), "10:00:10 06/12/2026\n");
    EXPECT_EQ(body(path()),
              "10:00:10.00,#log: " + back + " Before: " + trouble +
                  "\n10:00:10.00,#log: 2 lines lost since 10:00:05 06/12/2026: the log file could "
                  "not be written\n10:00:10.00,c\n");
    EXPECT_EQ(fileBytes(path("2")), yesterday);
    EXPECT_EQ(fileBytes(path("4")), "three\n");
    LogFileFault = nullptr;
}

// A file size limit cuts a write short as a full disk does: RLIMIT_FSIZE of this process, with
// SIGXFSZ ignored, while it lives.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit r = old_;
        r.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &r);
    }
    void lift() { ::setrlimit(RLIMIT_FSIZE, &old_); }
    ~FileSizeLimit() {
        lift();
        std::signal(SIGXFSZ, oldHandler_);
    }

  private:
    rlimit old_{};
    void (*oldHandler_)(int) = nullptr;
};

// A full file just before midnight: a line is written whole or not at all, and a line that
// waited past midnight goes into the file of its own day or carries its date; the rest of a
// line begun in the old day's file never starts the new day's.
TEST_F(LogFileTest, AFullFileAtMidnightKeepsEveryLineWholeAndInItsDay) {
    const std::string x(100, 'x');
    const struct {
        const char* name;
        bool spaceAtMidnight, takeBackFails;
    } cases[] = {
        {"the old day's file takes the lines again at midnight", true, false},
        {"it is still full at midnight", false, false},
        {"a short write that cannot be taken back", false, true},
    };
    int instance = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setInstance(std::to_string(++instance));
        setLocal(2026, 12, 6, 23, 59, 58, 0);
        bool takeBackFails = false;
        LogFileFault = [&](LogFileCall call) {
            return takeBackFails && call == LogFileCall::TakeBack ? EIO : 0;
        };
        testing::internal::CaptureStderr();
        TLogFile log;
        // The old day's file bigger than the new one will be, so that only the old one is full.
        for (int i = 0; i < 20; ++i) log.AddLine("y" + x);
        const std::string before = fileBytes(log.LogPath);
        const std::string cutLine = "23:59:58.50,x" + x + "\n";
        {
            FileSizeLimit limit(before.size() + 20);
            takeBackFails = c.takeBackFails;
            clock_.fake.advanceMs(500);
            log.AddLine("x" + x);  // 20 bytes of it fit
            clock_.fake.advanceMs(1000);
            log.AddLine("second");
            EXPECT_EQ(fileBytes(log.LogPath), c.takeBackFails ? before + cutLine.substr(0, 20) : before)
                << "nothing of a line that did not fit stays";
            if (c.spaceAtMidnight) limit.lift();
            setLocal(2026, 12, 7, 0, 0, 1, 0);
            log.AddLine("after midnight");
        }
        QCoreApplication::processEvents();
        testing::internal::GetCapturedStderr();
        const std::string trouble = "Cannot write to the log file " + log.LogPath +
                                    " (File too large); lines wait until it can be written (beyond 4000 "
                                    "characters they are counted and "
                                    "lost).";
        const std::string back =
            "00:00:01.00,#log: The log file " + log.LogPath + " is written again. Before: " + trouble + "\n";
        if (c.spaceAtMidnight) {
            EXPECT_EQ(fileBytes(log.LogPath2), before + cutLine + "23:59:59.50,second\n");
            EXPECT_EQ(body(log.LogPath), back + "00:00:01.00,after midnight\n");
        } else if (!c.takeBackFails) {
            EXPECT_EQ(fileBytes(log.LogPath2), before);
            EXPECT_EQ(body(log.LogPath), "06/12/2026 " + cutLine + "06/12/2026 23:59:59.50,second\n" + back +
                                             "00:00:01.00,after midnight\n");
        } else {
            EXPECT_EQ(fileBytes(log.LogPath2), before + cutLine.substr(0, 20));
            EXPECT_EQ(body(log.LogPath),
                      "06/12/2026 23:59:59.50,second\n" + back +
                          "00:00:01.00,#log: 1 line lost since 00:00:01 07/12/2026: the log "
                          "file could not be written\n00:00:01.00,after midnight\n");
        }
        EXPECT_EQ(fileBytes(log.LogPath).substr(0, 20), "00:00:01 07/12/2026\n");
        LogFileFault = nullptr;
    }
}

// Lines that wait while today's file is closed for a moment, on both sides of midnight: each
// goes into the new day's file, those of the day before with their date.
TEST_F(LogFileTest, LinesWaitingWhileTheFileIsClosedAcrossMidnightKeepTheirDay) {
    setLocal(2026, 12, 6, 23, 59, 59, 0);
    TLogFile log;
    log.CloseForMoment();
    log.AddLine("before");
    setLocal(2026, 12, 7, 0, 0, 1, 0);
    log.AddLine("after");
    log.Reopen();
    log.AddLine("reopened");
    EXPECT_EQ(body(log.LogPath2), "");
    EXPECT_EQ(body(log.LogPath), "06/12/2026 23:59:59.00,before\n00:00:01.00,after\n00:00:01.00,reopened\n");
}

// Whatever sits at the log's name that is not a regular file of its own: the log neither waits
// on it nor writes through it, and says why, naming it. A huge file is read no further than
// its first line.
TEST_F(LogFileTest, TheLogWritesOnlyIntoARegularFileOfItsOwnName) {
    std::filesystem::create_directories(folder_);
    const std::string elsewhere = env_.path("elsewhere.txt");
    writeFile(elsewhere, "precious\n");
    // Changed today (the fake clock's day), so that nothing is shifted away as an older log.
    const auto changedToday = [](const std::string& p) {
        struct tm t {};
        t.tm_year = 2026 - 1900;
        t.tm_mon = 11;
        t.tm_mday = 6;
        t.tm_hour = 9;
        t.tm_isdst = -1;
        const timespec times[2] = {{std::mktime(&t), 0}, {std::mktime(&t), 0}};
        return ::utimensat(AT_FDCWD, p.c_str(), times, 0) == 0;
    };
    ASSERT_TRUE(changedToday(elsewhere));
    testing::internal::CaptureStderr();
    for (const OddFile& odd : oddFiles()) {
        SCOPED_TRACE(odd.name);
        ASSERT_TRUE(makeOdd(odd.kind, path()));
        if (odd.kind != OddKind::DevZero) {
            ASSERT_TRUE(changedToday(path()));
        }
        BlockWatchdog watchdog(odd.name);
        TLogFile log;
        log.AddLine("line");
        struct stat st {};
        ASSERT_EQ(::lstat(path().c_str(), &st), 0);
        if (odd.kind == OddKind::Huge) {
            EXPECT_EQ(log.StatusText(), "");
            EXPECT_EQ(st.st_size, (off_t(8) << 30) + off_t(std::string("10:00:00.00,line\n").size()));
            continue;
        }
        const std::string why =
            odd.kind == OddKind::DevZero
                ? "it is a symbolic link, which the log does not follow: the log is written "
                  "only into a file of its own in the log folder"
                : "it is not a regular file";
        EXPECT_EQ(log.StatusText(),
                  "Cannot open the log file " + path() + " (" + why + "); the program runs without a log.");
        EXPECT_FALSE(S_ISREG(st.st_mode)) << "left as it was";
    }
    // A named pipe with a reader at its other end (to collect the lines elsewhere): not written.
    ASSERT_TRUE(makeOdd(OddKind::Fifo, path()));
    const int reader = ::open(path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    {
        TLogFile log;
        log.AddLine("line");
        EXPECT_EQ(log.StatusText(), "Cannot open the log file " + path() +
                                        " (it is not a regular file); the program runs without a log.");
    }
    char got[64];
    EXPECT_LE(::read(reader, got, sizeof got), 0) << "the lines went into the pipe";
    ::close(reader);
    // A link to a file elsewhere: the lines do not go there.
    ASSERT_TRUE(makeOdd(OddKind::Folder, path()));
    std::filesystem::remove(path());
    ASSERT_EQ(::symlink(elsewhere.c_str(), path().c_str()), 0);
    {
        TLogFile log;
        log.AddLine("line");
        EXPECT_NE(log.StatusText().find("symbolic link"), std::string::npos) << log.StatusText();
    }
    // Another user's file, open to all, planted under the log's name: not appended to.
    if (::geteuid() == 0) {
        std::filesystem::remove(path());
        writeFile(path(), "theirs\n");
        ASSERT_EQ(::chown(path().c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(path().c_str(), 0666), 0);
        ASSERT_TRUE(changedToday(path()));
        TLogFile log;
        log.AddLine("line");
        EXPECT_EQ(log.StatusText(),
                  "Cannot open the log file " + path() +
                      " (it belongs to another user: the log is written only into a file of "
                      "the user's own); the program runs without a log.");
        EXPECT_EQ(fileBytes(path()), "theirs\n");
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(fileBytes(elsewhere), "precious\n");
}

// A day is begun once: a second copy joins today's file, and a file whose header never made
// it belongs to the day it last changed on.
TEST_F(LogFileTest, ADayIsBegunOnce) {
    {
        TLogFile first;
        first.AddLine("one");
        TLogFile second;
        second.AddLine("two");
        first.AddLine("three");
    }
    EXPECT_TRUE(oneHeader(fileBytes(path())));
    EXPECT_EQ(body(path()), "10:00:00.00,one\n10:00:00.00,two\n10:00:00.00,three\n");
    for (const int day : {6, 5}) {
        SCOPED_TRACE(day);
        std::filesystem::remove(path("2"));
        writeFile(path(), "10:00:00.00,no header\n");
        struct tm t {};
        t.tm_year = 2026 - 1900;
        t.tm_mon = 11;
        t.tm_mday = day;
        t.tm_hour = 12;
        t.tm_isdst = -1;
        const timespec times[2] = {{std::mktime(&t), 0}, {std::mktime(&t), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path().c_str(), times, 0), 0);
        TLogFile log;
        log.AddLine("more");
        if (day == 6) {
            EXPECT_EQ(fileBytes(path()), "10:00:00.00,no header\n10:00:00.00,more\n");
        } else {
            EXPECT_EQ(fileBytes(path("2")), "10:00:00.00,no header\n");
            EXPECT_EQ(body(path()), "10:00:00.00,more\n");
        }
    }
}

TEST_F(LogFileTest, AFloodOfBadReceivedLinesCostsKilobytes) {
    {
        TLogFile log;
        LogFile = &log;
        const std::string huge(5000, 'g');
        EXPECT_EQ(*receivedLogEntry(huge, false, false), std::string(200, 'g') + " ... (5000 bytes)");
        // A well-formed line is kept whole up to the limit and cut one past it.
        EXPECT_EQ(TLogFile::CutReceived(huge.substr(0, 200), false), huge.substr(0, 200));
        EXPECT_EQ(TLogFile::CutReceived(huge.substr(0, 201), false),
                  huge.substr(0, 200) + " ... (201 bytes)");
        // Ten thousand such lines within the minute: few are logged; good lines still are.
        int kept = 1;
        for (int i = 0; i < 10000; ++i) kept += receivedLogEntry(huge, false, false).has_value();
        EXPECT_EQ(kept, TLogFile::BadLinesPerMinute);
        EXPECT_TRUE(receivedLogEntry("?3,1,2,3,4,5,6,7", true, false));
        // A minute on, the count goes into the log before the next line that is kept.
        clock_.fake.advanceSeconds(60);
        EXPECT_TRUE(receivedLogEntry("?3,1,2,3,4,5,6,7", true, false));
        EXPECT_EQ(body(path()),
                  "10:01:00.00,#log: " + std::to_string(10001 - kept) +
                      " malformed or overlong received lines not logged since 10:00:00 06/12/2026\n");
    }
    EXPECT_EQ(LogFile, nullptr) << "a destroyed log clears the global";
}

// A lock on the log folder that someone else holds (any user who can open the folder can take
// one); let go after a few seconds should the log wait for it after all.
class FolderHolder {
  public:
    explicit FolderHolder(const std::string& folder)
        : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
        letGo_ = std::thread([this] {
            std::unique_lock lock(m_);
            cv_.wait_for(lock, std::chrono::seconds(5), [this] { return done_; });
            ::close(fd_);
        });
    }
    ~FolderHolder() {
        {
            std::lock_guard lock(m_);
            done_ = true;
        }
        cv_.notify_all();
        letGo_.join();
    }
    bool held() const { return held_; }

  private:
    int fd_;
    bool held_ = false, done_ = false;
    std::mutex m_;
    std::condition_variable cv_;
    std::thread letGo_;
};

// Folders and files the log makes are the user's alone; a lock on the log folder held by
// someone else, at start-up or at midnight, holds the log no longer than its bound: the day
// begins without it, and the log says so.
TEST_F(LogFileTest, TheLogIsPrivateAndALockHeldElsewhereHoldsItOnlyBriefly) {
    const mode_t mask = ::umask(022);
    {
        TLogFile log;
        log.AddLine("private");
    }
    ::umask(mask);
    struct stat st {};
    ASSERT_EQ(::stat(folder_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((env_.dir + "/appdata").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "made for the log too";
    ASSERT_EQ(::stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string said = "#log: The log folder " + folder_ +
                             " is locked by another process; the day's log is begun without the lock.";
    for (const bool atMidnight : {false, true}) {
        SCOPED_TRACE(atMidnight ? "at midnight" : "at start-up");
        setInstance(atMidnight ? "1" : "2");
        setLocal(2026, 12, 6, 23, 59, 59, 0);
        const auto bound = std::chrono::milliseconds(TLogFile::FolderLockWaitMs + 1500);
        std::unique_ptr<FolderHolder> holder;
        if (!atMidnight) holder = std::make_unique<FolderHolder>(folder_);
        auto start = std::chrono::steady_clock::now();
        TLogFile log;
        log.AddLine("before");
        if (!atMidnight) {
            EXPECT_LT(std::chrono::steady_clock::now() - start, bound);
            ASSERT_TRUE(holder->held());
            holder.reset();
        } else {
            holder = std::make_unique<FolderHolder>(folder_);
            ASSERT_TRUE(holder->held());
        }
        setLocal(2026, 12, 7, 0, 0, 1, 0);
        start = std::chrono::steady_clock::now();
        log.AddLine("after");
        if (atMidnight) {
            EXPECT_LT(std::chrono::steady_clock::now() - start, bound);
        }
        EXPECT_EQ(body(log.LogPath2),
                  std::string(atMidnight ? "" : "23:59:59.00," + said + "\n") + "23:59:59.00,before\n");
        EXPECT_EQ(body(log.LogPath),
                  std::string(atMidnight ? "00:00:01.00," + said + "\n" : "") + "00:00:01.00,after\n");
    }
}

// A line lost just before the end is counted in the log's last line.
TEST_F(LogFileTest, ALineLostAtTheCloseIsCountedThere) {
    const std::string x(100, 'x');  // 113 bytes a line: the 37th finds the waiting text full
    bool full = true;
    LogFileFault = [&](LogFileCall call) { return full && call == LogFileCall::Write ? ENOSPC : 0; };
    testing::internal::CaptureStderr();
    {
        TLogFile log;
        for (int i = 0; i < 37; ++i) log.AddLine(x);
        EXPECT_EQ(log.DroppedLines(), 1u);
        full = false;
    }
    testing::internal::GetCapturedStderr();
    const std::string text = body(path());
    // After the 36 lines that waited, before the line that the log is written again.
    EXPECT_NE(text.find(x + "\n10:00:00.00,#log: 1 line lost since 10:00:00 06/12/2026: the log file could "
                            "not be written\n10:00:00.00,#log: The log file "),
              std::string::npos)
        << text;
}

// Two copies of the program with the same instance append to one file; each batch is one
// write() on an O_APPEND file, so lines never mix.
constexpr int kChildLines = 3000;

TEST(LogFileChild, WriteLines) {
    const char* letter = std::getenv("ZENTROVA_LOG_CHILD");
    if (letter == nullptr) GTEST_SKIP() << "runs only as a child of TwoCopiesNeverMixALine";
    FakeClockGuard clock;
    TLogFile log;  // both copies start together: both race to begin today's log, then both write
    const std::string text = std::string(letter) + std::string(150, letter[0]);
    for (int i = 0; i < kChildLines; ++i) {
        log.AddLine(text + std::to_string(i));
        clock.fake.advanceMs(1);
    }
}

TEST_F(LogFileTest, TwoCopiesNeverMixALine) {
    std::filesystem::create_directories(folder_);
    writeFile(path(), "09:00:00 05/12/2026\nyesterday\n");
    for (const char* letter : {"a", "b"}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("ZENTROVA_LOG_CHILD", letter, 1);
            execl("/proc/self/exe", "test_logfile", "--gtest_filter=LogFileChild.WriteLines",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    for (int status = 0, i = 0; i < 2; ++i) {
        ASSERT_GT(::wait(&status), 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // One shift, one header, whole lines, each copy's lines in order.
    EXPECT_EQ(fileBytes(path("2")), "09:00:00 05/12/2026\nyesterday\n");
    EXPECT_FALSE(std::filesystem::exists(path("3")));
    EXPECT_TRUE(oneHeader(fileBytes(path())));
    std::istringstream in(body(path()));
    const std::regex shape(R"(\d\d:\d\d:\d\d\.\d\d,(a{151}|b{151})(\d+))");
    std::map<char, int> next{{'a', 0}, {'b', 0}};
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        EXPECT_EQ(std::stoi(m[2]), next[line[12]]++);
    }
    EXPECT_EQ(next, (std::map<char, int>{{'a', kChildLines}, {'b', kChildLines}}));
}

// ---------------------------------------------------------------- Send Log File to Support

// The one file in the archive: its name and its bytes.
std::pair<std::string, std::string> readArchive(const std::string& path) {
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, nullptr);
    if (!za || zip_get_num_entries(za, 0) != 1) return {};
    zip_stat_t st;
    zip_stat_index(za, 0, 0, &st);
    zip_file_t* f = zip_fopen_index(za, 0, 0);
    std::string bytes(st.size, '\0');
    zip_fread(f, bytes.data(), st.size);
    zip_fclose(f);
    std::pair<std::string, std::string> out{st.name, bytes};
    zip_close(za);
    return out;
}

class SupportArchiveTest : public LogFileTest {
  protected:
    void SetUp() override {
        LogFileTest::SetUp();
        std::filesystem::create_directories(out_);
        ProgressBarForm = &progress_;
        Shell::setOpenHook([this](const std::string& url) { opened_.push_back(url); });
        Shell::setSaveFileHandler([this](const Shell::SaveFileRequest& req) {
            proposed_.push_back(req.fileName.toStdString());
            return answer_;
        });
        writeFile(log_.LogPath2, "09:30:00 25/11/2026\nyesterday\n");
    }
    void TearDown() override {
        Shell::setOpenHook(nullptr);
        Shell::setSaveFileHandler(nullptr);
        ProgressBarForm = nullptr;
        LogFileTest::TearDown();
    }
    // Saves log k with the action (1: and mail) through the Save button.
    void save(int k, int action, const std::string& answer) {
        answer_ = QString::fromStdString(answer);
        log_.Show();
        log_.FilenameRadioGrp->SetItemIndex(k);
        log_.ActionRadioGrp->SetItemIndex(action);
        log_.SaveBtn->Click();
    }
    std::vector<QString> choices() {
        log_.Show();  // the texts are made as the window opens
        std::vector<QString> v;
        for (int k = 0; k < log_.FilenameRadioGrp->Items()->GetCount(); ++k)
            v.push_back(log_.FilenameRadioGrp->Items()->Get(k));
        log_.Close();
        return v;
    }

    DialogScript boxes_;
    TProgressBarForm progress_;
    TLogFile log_;
    std::string out_ = env_.path("out/");
    QString answer_;
    std::vector<std::string> opened_, proposed_;
};

QString shortDate(int d, int m = 12) {
    return QLocale().toString(QDate(2026, m, d), QLocale::ShortFormat);
}

TEST_F(SupportArchiveTest, ChoicesAndProposedNamesFollowTheLogsDates) {
    writeFile(log_.LogPath3, "short\n");
    writeFile(log_.LogPath4, "10:00:00 45/13/2026\nnot a date\n");
    EXPECT_EQ(choices(),
              (std::vector<QString>{"Log File from " + shortDate(6), "Log File from " + shortDate(25, 11),
                                    "Log File from Day Before", "Log File from 3rd Day"}));
    for (const std::string& p : {log_.LogPath, log_.LogPath2, log_.LogPath3})
        log_.AskTargetFileName(p, "zip");
    log_.AskTargetFileName(log_.LogPath4, "");
    EXPECT_EQ(proposed_, (std::vector<std::string>{"Zentrova2026-12-06.zip", "Zentrova2026-11-25.zip",
                                                   "ZentrovaKVZ.zip", "ZentrovaKVZ"}));
    // Without a readable date each log has its fixed text; a first line without a line feed
    // in its first 20 bytes carries a two-digit year.
    writeFile(log_.LogPath, "garbage\n");
    std::filesystem::remove(log_.LogPath2);
    writeFile(log_.LogPath4, "10:00:00 03/12/26 no line feed here");
    EXPECT_EQ(choices(), (std::vector<QString>{"Today's Log File", "Log File from Yesterday",
                                               "Log File from Day Before", "Log File from " + shortDate(3)}));
}

TEST_F(SupportArchiveTest, TodaysLogPackedWhileLinesWaitEvenPastMidnight) {
    LogFile = &log_;
    const std::string before = fileBytes(log_.LogPath);
    std::vector<int> shown;
    log_.ZipCompress->OnFileProgress = [&](TBaseArchiver* s, const std::string& name, double p,
                                           TZipOperation op, TZipProgressPhase phase, bool& cancel) {
        EXPECT_TRUE(log_.IsClosedForMoment());
        setLocal(2026, 12, 7, 0, 0, 1, 0);
        logLine("#main: tick while packing");
        log_.ZipCompressFileProgress(s, name, p, op, phase, cancel);
        shown.push_back(progress_.isVisible() ? progress_.GetProgress() : -1);
    };
    save(0, 0, out_ + "today.zip");
    EXPECT_EQ(readArchive(out_ + "today.zip"), std::pair(std::string("Zentrova.log"), before));
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.front(), 0);
    EXPECT_EQ(shown.back(), 100);
    EXPECT_FALSE(progress_.isVisible() || log_.isVisible());
    EXPECT_TRUE(opened_.empty()) << "no mail asked for";
    // The file being packed kept its name; the lines that waited come with the next line, in
    // order, in the new day's file.
    EXPECT_EQ(fileBytes(log_.LogPath), before);
    logLine("after");
    EXPECT_EQ(fileBytes(log_.LogPath2), before);
    std::string expected;
    for (size_t i = 0; i < shown.size(); ++i) expected += "00:00:01.00,#main: tick while packing\n";
    EXPECT_EQ(body(log_.LogPath), expected + "00:00:01.00,after\n");
}

TEST_F(SupportArchiveTest, MailOnlyAfterAnArchiveWasWritten) {
    log_.AddLine("first");
    const std::string before = fileBytes(log_.LogPath);
    const struct {
        int log;
        std::string answer, box;  // the start of the error box text, "" for none
    } cases[] = {
        {0, "", ""},  // the dialog cancelled
        {0, env_.path("no/such/folder/a.zip"),
         "The log file could not be saved:\nCannot create archive file: "},
        {0, log_.LogPath2, "The archive cannot replace the log file "},
        {0, log_.LogPath, "The archive cannot replace the log file "},
        {3, out_ + "x.zip",
         "The log file " + log_.LogPath4 + " does not exist."},  // not offered to the dialog
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        boxes_.shown.clear();
        proposed_.clear();
        save(c.log, 1, c.answer);
        ASSERT_EQ(boxes_.shown.size(), c.box.empty() ? 0u : 1u);
        EXPECT_TRUE(c.box.empty() || boxes_.shown[0].text.startsWith(QString::fromStdString(c.box)));
        EXPECT_EQ(proposed_.size(), c.log == 3 ? 0u : 1u);
        EXPECT_TRUE(opened_.empty());
        EXPECT_EQ(fileBytes(log_.LogPath), before);
        EXPECT_FALSE(log_.IsClosedForMoment() || log_.isVisible() || progress_.isVisible());
    }
    EXPECT_FALSE(std::filesystem::exists(out_ + "x.zip"));
    // An earlier log leaves today's open; the mail link follows the archive.
    save(1, 1, out_ + "y.zip");
    EXPECT_EQ(readArchive(out_ + "y.zip"), std::pair(std::string("Zentrova.log2"), fileBytes(log_.LogPath2)));
    EXPECT_EQ(opened_,
              (std::vector<std::string>{"mailto:support@tressivanlabs.example?subject=Log%20File&body="
                                        "Please,%20attach%20compressed%20file%20to%20this%20email!"}));
}

// What is at a log's name but is not a log file of its own (a link to any file of the user's, a
// pipe, a device, a folder, a file past the limit) is refused before the dialog, and named.
TEST_F(SupportArchiveTest, OnlyALogFileOfItsOwnIsPacked) {
    const std::string secret = env_.path("secret.txt");
    writeFile(secret, "09:30:00 25/11/2026\nnot for support\n");
    struct Row {
        std::string what, because;
        std::function<bool()> make;
    };
    std::vector<Row> rows{{"link to a file", "symbolic link",
                           [&] {
                               std::filesystem::remove(log_.LogPath2);
                               return ::symlink(secret.c_str(), log_.LogPath2.c_str()) == 0;
                           }},
                          {"hard link to a file elsewhere", "a hard link", [&] {
                               std::filesystem::remove(log_.LogPath2);
                               return ::link(secret.c_str(), log_.LogPath2.c_str()) == 0;
                           }}};
    for (const OddFile& odd : oddFiles())
        // A link to a device is named a link, not a device.
        rows.push_back({odd.name, odd.kind == OddKind::DevZero ? "symbolic link" : odd.because,
                        [&] { return makeOdd(odd.kind, log_.LogPath2); }});
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_TRUE(r.make());
        boxes_.shown.clear();
        proposed_.clear();
        save(1, 1, out_ + "odd.zip");
        ASSERT_EQ(boxes_.shown.size(), 1u);
        const std::string text = boxes_.shown[0].text.toStdString();
        EXPECT_EQ(text.find("The log file could not be saved:\n" + log_.LogPath2), 0u) << text;
        EXPECT_NE(text.find(r.because), std::string::npos) << text;
        EXPECT_TRUE(proposed_.empty()) << "refused before the dialog";
        EXPECT_FALSE(std::filesystem::exists(out_ + "odd.zip"));
        EXPECT_TRUE(opened_.empty());
    }
}

// Midnight under the save dialog shifts the logs: the archive still holds the log whose date
// its proposed name carries.
TEST_F(SupportArchiveTest, MidnightUnderTheDialogLeavesNameAndContentsOfOneLog) {
    LogFile = &log_;
    log_.AddLine("today");
    const struct {
        int log;
        int nextDay;
        std::string name, entry;
    } rows[] = {{1, 7, "Zentrova2026-11-25.zip", "Zentrova.log2"},
                {0, 8, "Zentrova2026-12-07.zip", "Zentrova.log"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string picked = fileBytes(r.log == 0 ? log_.LogPath : log_.LogPath2);
        Shell::setSaveFileHandler([&](const Shell::SaveFileRequest& req) {
            proposed_.push_back(req.fileName.toStdString());
            setLocal(2026, 12, r.nextDay, 0, 0, 1, 0);
            logLine("a new day under the dialog");
            return QString::fromStdString(out_ + r.name);
        });
        proposed_.clear();
        save(r.log, 0, "");
        EXPECT_TRUE(boxes_.shown.empty());
        EXPECT_EQ(proposed_, std::vector<std::string>{r.name});
        EXPECT_EQ(readArchive(out_ + r.name), std::pair(r.entry, picked));
    }
}

// The components in their tab order; Escape is Cancel.
TEST_F(SupportArchiveTest, TabOrderAndEscape) {
    log_.Show();
    QStringList order;
    for (QWidget* w = log_.nextInFocusChain(); w != &log_; w = w->nextInFocusChain()) {
        if (!(w->focusPolicy() & Qt::TabFocus)) continue;
        QWidget* c = w;
        while (c->parentWidget() != &log_) c = c->parentWidget();
        if (order.isEmpty() || order.last() != c->objectName()) order << c->objectName();
    }
    // The chain is a ring; the window opens with the focus on its first member.
    ASSERT_TRUE(order.contains("ActionRadioGrp"));
    while (order.first() != "ActionRadioGrp") order.move(0, order.size() - 1);
    EXPECT_EQ(order, (QStringList{"ActionRadioGrp", "SaveBtn", "CancelBtn", "FilenameRadioGrp"}));
    ASSERT_NE(log_.focusWidget(), nullptr);
    EXPECT_EQ(log_.focusWidget()->parentWidget(), log_.ActionRadioGrp);
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(log_.FilenameRadioGrp, &escape);
    EXPECT_FALSE(log_.isVisible());
    EXPECT_TRUE(boxes_.shown.empty() && opened_.empty() && proposed_.empty());
}

}  // namespace
