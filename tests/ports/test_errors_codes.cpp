// Error codes and exceptions; the tick timers; the path helpers.
#include <gtest/gtest.h>

#include <new>
#include <sstream>

#include "platform/Clock.h"
#include "ports/ZpErrors.h"
#include "ports/ZpUtils.h"

// Which class each code raises is checked against the whole table elsewhere; here the rest of the rule.
TEST(ZpErrors, CodesRaiseWithCodeAndMessageUnlessLoading) {
    TZpBaseComponent comp;
    EXPECT_EQ(CheckException(&comp, 5), 5);
    EXPECT_EQ(CheckException(&comp, 0), 0);
    const struct {
        int32_t code, errorCode;
        const char* what;
    } cases[] = {{-2011, -2011, "The ComNumber property of the TZpComPort has not been set"},
                 {-9007, 0, "Port exception"}};
    for (const auto& c : cases) {
        try {
            CheckException(&comp, c.code);
            ADD_FAILURE() << c.code;
        } catch (const EZPException& e) {
            EXPECT_EQ(e.ErrorCode, c.errorCode);
            EXPECT_STREQ(e.what(), c.what);
        }
    }
    try {
        CheckException(nullptr, -2);
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, 2);
        EXPECT_STREQ(e.what(), "File not found");
        EXPECT_EQ(XlatException(e), -2);
    }
    EXPECT_THROW(CheckException(nullptr, -8), std::bad_alloc);
    comp.SetLoading(true);
    EXPECT_EQ(CheckException(&comp, -2011), -2011);
    EXPECT_EQ(CheckException(&comp, -8), -8);

    std::string m = "x";
    MessageNumberToString(123456, m);
    EXPECT_EQ(m, "");
    char buf[8];
    EXPECT_STREQ(ZpLoadZ(buf, sizeof buf, -3007), "Buffer ");
    EXPECT_EQ(ZpNormalizeSystemText("Access  is\tdenied.\r\n"), "Access is denied. ");
    EXPECT_EQ(XlatException(EBufferIsEmpty(-3007)), -3007);
    EXPECT_EQ(XlatException(std::bad_alloc()), -8);
    EXPECT_EQ(XlatException(std::runtime_error("x")), -9999);
}

TEST(ZpUtils, TimersRunOnTheInjectedClockAndDoNotWrap) {
    FakeClockGuard clock;
    EventTimer t;
    NewTimer(t, 10);
    clock.fake.advanceMs(5 * 55);
    EXPECT_EQ(ElapsedTime(t), 5);
    EXPECT_EQ(RemainingTime(t), 5);
    EXPECT_FALSE(TimerExpired(t));
    clock.fake.advanceMs(6 * 55);
    EXPECT_TRUE(TimerExpired(t));
    EXPECT_EQ(RemainingTime(t), 0);
    NewTimer(t, MaxTicks + 100);  // capped
    EXPECT_EQ(t.ExpireTicks - t.StartTicks, MaxTicks);
    clock.fake.advanceMs(int64_t(1) << 32);  // past where a 32-bit tick count wrapped
    NewTimer(t, 18);
    EXPECT_FALSE(TimerExpired(t));
    EXPECT_EQ(RemainingTime(t), 18);
}

TEST(ZpUtils, PathHelpersAndTheLineReader) {
    const std::pair<std::string, std::string> cases[] = {
        {JustExtensionZ("README"), ""},
        {JustExtensionZ("dir.x\\file"), ""},
        {JustFilenameZ("C:\\logs\\z.log"), "z.log"},
        {JustPathnameZ("C:\\logs\\z.log"), "C:\\logs"},
        {JustPathnameZ("C:\\z.log"), "C:\\"},
        {JustPathnameZ("z.log"), ""},
        {AddBackSlash("C:\\logs"), "C:\\logs\\"},
        {AddBackSlash("C:\\logs\\"), "C:\\logs\\"},
        {AddBackSlash("C:"), "C:"},
        {AddBackSlash("\"C:\\my logs\""), "\"C:\\my logs\\\""},
        {ForceExtensionZ("a.trc", "log"), "a.log"},
        {DefaultExtensionZ("a", "log"), "a.log"},
        {DefaultExtensionZ("a.trc", "log"), "a.trc"},
        {JustName("C:\\dir\\name.tar.gz"), "name"},
        {StrStCopy("abcdef", 2, 3), "cde"},
        {StrStCopy("abc", 5, 3), ""},
    };
    for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
    int32_t v = 0;
    EXPECT_TRUE(Str2LongZ(" 42 ", v));
    EXPECT_EQ(v, 42);
    EXPECT_FALSE(Str2LongZ("4x", v));

    std::istringstream in("first\r\nsecond\r" + std::string(5000, 'x') + "\r\nlast\x1a");
    TLineReader r(in);
    std::string line;
    std::vector<std::string> lines;
    while (r.NextLine(line)) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "second", std::string(5000, 'x'), "last"}));
}
