// The port library's helpers: tick arithmetic, waiting, path and string helpers, the line
// reader, the growable string, the base classes and starting a program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <atomic>
#include <sstream>
#include <thread>

#include "platform/Clock.h"
#include "platform/SystemInfo.h"
#include "ports/ZpStr.h"
#include "ports/ZpUtils.h"
#include "support/TempEnv.h"

TEST(ZpUtils, TickArithmeticAndZeroTimers) {
    EXPECT_EQ(Secs2Ticks(1), 18);
    EXPECT_EQ(Ticks2Secs(18), 1);
    EXPECT_EQ(MSecs2Ticks(1000), 18);
    EXPECT_EQ(Secs2Ticks(60), 1092);
    FakeClockGuard clock;
    EventTimer t;
    NewTimer(t, 0);
    EXPECT_FALSE(TimerExpired(t));  // within the same tick
    clock.fake.advanceMs(55);
    EXPECT_TRUE(TimerExpired(t));
    clock.fake.advanceMs(55 * 100);
    EXPECT_EQ(RemainingTime(t), 0);  // never negative
    EXPECT_EQ(ElapsedTime(t), 101);
    EXPECT_EQ(ElapsedTimeInSecs(t), Ticks2Secs(101));
}

TEST(ZpUtils, ANegativeDelayReturnsAtOnceAndHandlesNoMessage) {
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    EXPECT_EQ(DelayTicks(-5, true), 0u);
    EXPECT_EQ(DelayTicks(0, true), 0u);
    EXPECT_FALSE(ran);
    QCoreApplication::processEvents();
    EXPECT_TRUE(ran);
}

// One step of the loop reports what it handled: nothing, or an event by its type in the events'
// own range; the window part is 0 for events.
TEST(ZpUtils, AYieldStepReportsTheEventItHandled) {
    QCoreApplication::processEvents();
    QObject target;
    const struct Row {
        int posted;  // event type posted before the step, 0 for none
        uint32_t result;
    } rows[] = {
        {0, 0u},
        {QEvent::User, ZpEventNumberBase + QEvent::User},
        {QEvent::User + 7, ZpEventNumberBase + QEvent::User + 7},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.posted);
        if (r.posted) QCoreApplication::postEvent(&target, new QEvent(static_cast<QEvent::Type>(r.posted)));
        EXPECT_EQ(SafeYield(), r.result);
        EXPECT_EQ(SafeYield(), 0u);  // the event was taken
    }
}

namespace {
enum class Quit { Before, During, ExitDuring };

// Delays inside the application's loop while it is asked to end; the clock stands still, so only
// the quit ends the delay (one that never ends is killed). Exits with 0 when the delay reported the
// quit and a later step reports it too, still running what waits.
[[noreturn]] void delayWhileTheApplicationEnds(Quit how) {
    ::alarm(20);
    FakeClockGuard clock;
    QTimer::singleShot(0, [how] {
        if (how == Quit::Before) QCoreApplication::quit();
        if (how == Quit::During) QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        if (how == Quit::ExitDuring) QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        const uint32_t r = DelayTicks(MaxTicks, true);
        // Messages still run after the quit: a close waiting for a notification sees it end.
        static bool ran = false;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { ran = true; }, Qt::QueuedConnection);
        std::_Exit(r == WM_QUIT_CODE && SafeYield() == WM_QUIT_CODE && ran ? 0 : 2);
    });
    QCoreApplication::exec();
    std::_Exit(3);
}
}  // namespace

TEST(ZpUtilsDeathTest, ADelayThatYieldsEndsWhenTheApplicationIsAskedToQuit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (Quit how : {Quit::Before, Quit::During, Quit::ExitDuring}) {
        SCOPED_TRACE(static_cast<int>(how));
        EXPECT_EXIT(delayWhileTheApplicationEnds(how), ::testing::ExitedWithCode(0), "");
    }
}

namespace {
// A worker thread's yielding delay while the application is asked to end: the clock stands still,
// so only the quit can end it (one that never ends is killed). Exits with 0 when it reported it.
[[noreturn]] void workerDelayWhileTheApplicationEnds() {
    ::alarm(20);
    FakeClockGuard clock;
    ZpApplicationTerminating();  // the application is watched from its own thread
    std::atomic<uint32_t> result{1};
    std::thread worker([&] { result = DelayTicks(MaxTicks, true); });
    QTimer::singleShot(20, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    worker.join();
    std::_Exit(result.load() == WM_QUIT_CODE ? 0 : 2);
}
}  // namespace

TEST(ZpUtilsDeathTest, AWorkerThreadsYieldingDelayEndsWhenTheApplicationQuits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(workerDelayWhileTheApplicationEnds(), ::testing::ExitedWithCode(0), "");
}

TEST(ZpUtils, PathHelpers) {
    const struct {
        std::string (*fn)(const std::string&);
        const char *in, *out;
    } rows[] = {
        {JustExtensionZ, "README", ""},
        {JustExtensionZ, "data.log", "log"},
        {JustExtensionZ, "C:\\dir.d\\file", ""},
        {JustExtensionZ, "a.tar.gz", "gz"},
        {AddBackSlash, "C:\\logs", "C:\\logs\\"},
        {AddBackSlash, "C:\\logs\\", "C:\\logs\\"},
        {AddBackSlash, "C:", "C:"},
        {AddBackSlash, "\"C:\\Program Files\"", "\"C:\\Program Files\\\""},
        {AddBackSlash, "\"C:\\Program Files\\\"", "\"C:\\Program Files\\\""},
        {AddBackSlashZ, "", ""},
        {AddBackSlashZ, "dir", "dir\\"},
        {JustPathnameZ, "C:\\dir\\file.txt", "C:\\dir"},
        {JustPathnameZ, "C:\\file.txt", "C:\\"},
        {JustPathnameZ, "file.txt", ""},
        {JustFilenameZ, "C:\\dir\\file.txt", "file.txt"},
        {JustFilenameZ, "file.txt", "file.txt"},
        {JustName, "C:\\dir\\name.tar.gz", "name"},
        {JustName, "A:name", "name"},
    };
    for (const auto& r : rows) EXPECT_EQ(r.fn(r.in), r.out) << r.in;
    EXPECT_EQ(ForceExtensionZ("C:\\a.b\\log.txt", "bak"), "C:\\a.b\\log.bak");
    EXPECT_EQ(ForceExtensionZ("C:\\a.b\\log", "bak"), "C:\\a.b\\log.bak");
    EXPECT_EQ(DefaultExtensionZ("log", "txt"), "log.txt");
    EXPECT_EQ(DefaultExtensionZ("log.dat", "txt"), "log.dat");
    EXPECT_EQ(StrStCopy("abcdef", 2, 3), "cde");
    EXPECT_EQ(StrStCopy("abcdef", 4, 9), "ef");
    EXPECT_EQ(StrStCopy("abcdef", 6, 1), "");
    int32_t v = 7;
    EXPECT_TRUE(Str2LongZ(" -42 ", v));
    EXPECT_EQ(v, -42);
    EXPECT_FALSE(Str2LongZ("4x", v));
    EXPECT_FALSE(Str2LongZ("2147483648", v));
    EXPECT_EQ(v, -42);  // unchanged by a failure
    EXPECT_EQ(Long2StrZ(-2147483647 - 1), "-2147483648");
    TempEnv env;
    EXPECT_FALSE(ExistFileZ(env.path("none")));
    EXPECT_FALSE(ExistFileZ(env.path("")));  // a folder is no file
}

TEST(ZpUtils, PointersAndBuffers) {
    uint8_t bytes[7] = {0, 1, 2, 3, 0xF0, 0x0F, 0xFF};
    EXPECT_EQ(AddWordToPtr(bytes, 5), bytes + 5);
    EXPECT_EQ(GetPtr(static_cast<const void*>(bytes), 6), bytes + 6);
    NotBuffer(bytes, 7);
    const uint8_t inverted[7] = {0xFF, 0xFE, 0xFD, 0xFC, 0x0F, 0xF0, 0x00};
    EXPECT_EQ(std::memcmp(bytes, inverted, 7), 0);
    TZpFile f;
    TempEnv env;
    AssignFile(f, env.path("a"));
    f.Stream.open(f.Name, std::ios::out);
    ASSERT_TRUE(f.Stream.is_open());
    Assign(f, env.path("b"));  // a new name closes the old file
    EXPECT_FALSE(f.Stream.is_open());
    EXPECT_EQ(f.Name, env.path("b"));
    EXPECT_TRUE(ExistFileZ(env.path("a")));
}

namespace {
std::vector<std::string> readLines(const std::string& text) {
    std::istringstream in(text);
    TLineReader r(in);
    std::vector<std::string> lines;
    std::string line;
    while (r.NextLine(line)) lines.push_back(line);
    EXPECT_EQ(r.BytesRead(), int64_t(text.size()));
    EXPECT_EQ(r.StreamSize(), int64_t(text.size()));
    return lines;
}
using Lines = std::vector<std::string>;
}  // namespace

TEST(ZpUtils, LineReaderSplitsAtCrAcrossPagesAndDropsAFinalCtrlZ) {
    const std::string a(4095, 'a'), b(5000, 'b');
    const struct {
        std::string text;
        Lines lines;
    } rows[] = {
        {"", {}},
        {"one\rtwo\r\nthree", {"one", "two", "three"}},
        {"one\r\n\r\nthree\r\n", {"one", "", "three"}},  // no line after the last CR LF
        {"x\r\x1a", {"x"}},
        {"x\x1a", {"x"}},
        {"a\x1a"
         "b\r",
         {"a\x1a"
          "b"}},  // only a Ctrl-Z that ends the stream goes
        {"lf\nonly\r", {"lf\nonly"}},
        {"\nfirst\r", {"\nfirst"}},  // an LF opening the stream stays
        {std::string(4096, 'p') + "\nq\r", {std::string(4096, 'p') + "\nq"}},  // and one opening a page
        {a + "\r\nnext", {a, "next"}},                                         // CR LF split across the pages
        {b + "\r" + b, {b, b}},                                                // lines longer than a page
        {std::string(4095, 'z') + "\x1a", {std::string(4095, 'z')}},
        {std::string(4096, 'z') + "\x1a", {std::string(4096, 'z')}},  // Ctrl-Z alone on a page
        {std::string(8191, 'z') + "\x1a", {std::string(8191, 'z')}},  // Ctrl-Z ends a full page
    };
    for (const auto& r : rows) EXPECT_EQ(readLines(r.text), r.lines) << r.text.size();
}

TEST(ZpStr, EditsAtOneBasedPositions) {
    TZpStr s(4);
    EXPECT_EQ(s.GetMaxLen(), 4);
    EXPECT_EQ(s.GetBuffLen(), 5);
    s.Append("cde");
    s.AppendBuff("fg");
    s.AppendBuff(nullptr);
    EXPECT_EQ(s.GetMaxLen(), 5);  // grew to fit
    s.Prepend("ab");
    EXPECT_EQ(s.Str(), "abcdefg");
    EXPECT_STREQ(s.Buffer(), "abcdefg");
    s.Insert("XY", 3);
    EXPECT_EQ(s.Str(), "abXYcdefg");
    s.Insert("no", 0);
    s.Insert("no", 10);
    EXPECT_EQ(s.Str(), "abXYcdefg");
    s.Insert("!", 9);
    EXPECT_EQ(s.Str(), "abXYcdef!g");
    const struct {
        int32_t pos, count;
        const char* copy;
    } copies[] = {{1, 2, "ab"}, {3, 2, "XY"}, {9, 5, "!g"}, {10, 1, "g"},
                  {11, 1, ""},  {0, 3, ""},   {2, 0, ""}};
    for (const auto& c : copies) EXPECT_EQ(s.Copy(c.pos, c.count), c.copy) << c.pos << "," << c.count;
    s.Delete(3, 2);
    EXPECT_EQ(s.Str(), "abcdef!g");
    s.Delete(7, 9);
    EXPECT_EQ(s.Str(), "abcdef");
    s.Delete(0, 2);
    s.Delete(7, 1);
    EXPECT_EQ(s.Str(), "abcdef");
    s.Append("abc");
    EXPECT_EQ(s.Pos("bc"), 2);
    EXPECT_EQ(s.PosIdx("bc", 3), 8);
    EXPECT_EQ(s.PosIdx("bc", 9), 0);
    EXPECT_EQ(s.PosIdx("ab", 7), 7);
    EXPECT_EQ(s.Pos("x"), 0);
    EXPECT_EQ(s.Pos(""), 0);
    s.AppendTZpStr(s);
    EXPECT_EQ(s.Str(), "abcdefabcabcdefabc");
    EXPECT_EQ(s.GetChar(4), 'd');
    EXPECT_EQ(s.GetChar(19), '\0');
    s.SetChar(1, 'A');
    s.SetChar(19, 'Z');
    EXPECT_EQ(s.Copy(1, 3), "Abc");
    EXPECT_EQ(s.GetLen(), 18);
    s.SetLen(20);  // never lengthens
    s.SetLen(3);
    EXPECT_EQ(s.Str(), "Abc");
    EXPECT_STREQ(s.Buffer(), "Abc");
}

// Text taken from the string's own buffer survives the growth it causes, whole or from within,
// small (its old buffer is reused at once) or large (its old buffer is given back to the system).
TEST(ZpStr, AppendingItsOwnBufferKeepsTheText) {
    const struct Row { size_t length, from; } rows[] = {{40, 0}, {40, 7}, {300000, 0}, {300000, 299990}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.length);
        std::string text;
        for (size_t i = 0; i < r.length; ++i) text += static_cast<char>('a' + i % 26);
        TZpStr s(0);
        s.Append(text);
        s.AppendBuff(s.Buffer() + r.from);
        EXPECT_EQ(s.Str(), text + text.substr(r.from));
    }
}

TEST(ZpStr, CursorAssignClearAndResize) {
    TZpStr s(8);
    s.Append("hello");
    s.Last();
    EXPECT_EQ(s.GetCurChar(), 'o');
    s.Next();
    EXPECT_EQ(s.GetCurChar(), '\0');  // the terminator
    s.Next();                         // stays on the string
    EXPECT_EQ(s.CurPos(), 6);
    s.First();
    EXPECT_EQ(s.GetCurChar(), 'h');
    s.Prev();
    EXPECT_EQ(s.CurPos(), 1);
    s.MoveBy(3);
    EXPECT_EQ(s.GetCurChar(), 'l');
    s.GotoPos(2);
    EXPECT_EQ(s.GetCurChar(), 'e');
    s.GotoPos(-4);
    EXPECT_EQ(s.CurPos(), 1);
    s.GotoPos(5);
    TZpStr t(1);
    t.Assign(s);
    EXPECT_EQ(t.Str(), "hello");
    EXPECT_EQ(t.GetMaxLen(), 8);
    EXPECT_EQ(t.GetCurChar(), 'o');
    s.SetLen(2);  // the cursor follows the shorter text
    EXPECT_EQ(s.GetCurChar(), '\0');
    t.Resize(8);  // the same maximum keeps the text
    EXPECT_EQ(t.Str(), "hello");
    t.SetMaxLen(16);
    EXPECT_EQ(t.GetLen(), 0);
    EXPECT_EQ(t.GetBuffLen(), 17);
    t.Append("x");
    t.Clear();
    EXPECT_EQ(t.Str(), "");
    EXPECT_EQ(t.GetMaxLen(), 16);
    TZpStr u;
    u.Append("abcdef");
    u.Last();
    u.Delete(2, 4);  // the cursor follows a deletion too
    EXPECT_EQ(u.CurPos(), 3);
    EXPECT_EQ(u.GetCurChar(), '\0');
}

TEST(ZpUtils, EveryBaseClassReportsItsFixedVersion) {
    TZpBaseComponent c;
    TZpBaseWinControl w;
    TZpBaseOleControl o;
    TZpBaseGraphicControl g;
    TZpBaseScrollingWinControl s;
    c.SetVersion("v9");
    w.SetVersion("v9");
    o.SetVersion("v9");
    g.SetVersion("v9");
    s.SetVersion("v9");
    for (const std::string& v : {c.Version(), w.Version(), o.Version(), g.Version(), s.Version()})
        EXPECT_EQ(v, "v1.00");
    EXPECT_NE(dynamic_cast<QAbstractScrollArea*>(&s), nullptr);
}

TEST(ZpUtils, PlatformFollowsTheSystemStandIn) {
    EXPECT_TRUE(IsWinNT());
    int major = 0, minor = 0, build = 0;
    std::string extra;
    ASSERT_TRUE(SystemInfo::osVersion(major, minor, build, extra));
    EXPECT_EQ(IsWin2000(), minor == 0);
}

// The program runs without a shell: blanks split the parameters, double quotes group them,
// and nothing else is interpreted.
TEST(ZpUtils, ExecAndWaitReturnsTheExitCode) {
    TempEnv env;
    const std::string marker = env.path("made");
    const struct {
        const char *program, *parameters;
        int32_t code;
    } rows[] = {
        {"sh", "-c \"exit 7\"", 7},           {"sh", "-c \"kill -TERM $$\"", 128 + 15},
        {"test", "\"a b\" = \"a b\"", 0},     {"test", "x;false = x;false", 0},
        {"test", "$HOME = $HOME", 0},         {"test", "a = b", 1},
        {"zentrova-no-such-program", "", -1}, {"", "x", -1},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ZpWinExecAndWait32(r.program, r.parameters, 1), r.code) << r.program << " " << r.parameters;
    EXPECT_EQ(ZpWinExecAndWait32("touch", "\"" + marker + "\"", 0), 0);
    EXPECT_TRUE(ExistFileZ(marker));  // it waited for the program to end
    EXPECT_EQ(ZpWinExecAndWait32("/bin/true", "", 0), 0);
}
