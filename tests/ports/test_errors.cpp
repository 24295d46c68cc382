// The port library's codes, the classes they raise and their messages; the tick timers.
#include <gtest/gtest.h>

#include <new>
#include <typeinfo>

#include "platform/Clock.h"
#include "ports/ZpErrors.h"
#include "ports/ZpUtils.h"

namespace {

template <class G>
bool is(const EZPException& e) {
    return dynamic_cast<const G*>(&e) != nullptr;
}
using Group = bool (*)(const EZPException&);

}  // namespace

// A code of each class raises that class with the code's message; a code of no class raises
// the plain "Port exception"; the run-time codes raise its own errors.
TEST(ErrorTable, CodesRaiseTheirClassWithTheirMessage) {
    const struct {
        int32_t code;
        Group group;  // null: the plain "Port exception"
    } rows[] = {{-1002, is<EGeneral>}, {-2005, is<EOpenComm>}, {-3007, is<ESerialIO>}, {-4006, is<EModem>},
                {-5002, is<ETrigger>}, {-6008, is<EProtocol>}, {-7010, is<EINI>},      {-8053, is<EFax>},
                {-13942, is<ETapi>},   {-13980, is<ERas>},     {-1004, nullptr},       {-4005, nullptr},
                {-8500, nullptr}};
    for (const auto& r : rows) {
        const std::string text = ZpLoadStr(r.code);
        EXPECT_FALSE(text.empty()) << r.code;
        std::string listed;
        MessageNumberToString(r.code, listed);
        EXPECT_EQ(listed, text) << r.code;
        try {
            CheckException(nullptr, r.code);
            ADD_FAILURE() << r.code << " raised nothing";
        } catch (const EZPException& e) {
            if (r.group) {
                EXPECT_TRUE(r.group(e)) << r.code << " raised " << typeid(e).name();
                EXPECT_EQ(e.ErrorCode, r.code);
                EXPECT_EQ(std::string(e.what()), text) << r.code;
            } else {
                EXPECT_EQ(typeid(e), typeid(EZPException)) << r.code;
                EXPECT_STREQ(e.what(), "Port exception") << r.code;
            }
        }
    }
    EXPECT_THROW(CheckException(nullptr, -8), std::bad_alloc);
    EXPECT_THROW(CheckException(nullptr, -162), EInOutError);
    EXPECT_STRNE(EZpSocketException(10054).what(), "");
    EXPECT_EQ(ZpLoadStr(9001), "Port library error");
}

TEST(ErrorTable, RaisingFollowsTheLoadingFlagAndTranslatesBack) {
    TZpBaseComponent comp;
    EXPECT_EQ(CheckException(&comp, 5), 5);
    EXPECT_EQ(XlatException(EBufferIsEmpty(-3007)), -3007);
    try {
        CheckException(nullptr, -2);
        ADD_FAILURE();
    } catch (const EInOutError& e) {
        EXPECT_STREQ(e.what(), "File not found");
        EXPECT_EQ(XlatException(e), -2);
    }
    char buf[8];
    EXPECT_STREQ(ZpLoadZ(buf, sizeof buf, -3007), "Buffer ");
    comp.SetLoading(true);
    EXPECT_EQ(CheckException(&comp, -2011), -2011);
    EXPECT_EQ(CheckException(&comp, -8), -8);
    EXPECT_EQ(XlatException(std::bad_alloc()), -8);
    EXPECT_EQ(XlatException(std::runtime_error("x")), -9999);
    EXPECT_EQ(ZpNormalizeSystemText("Access  is\tdenied.\r\n"), "Access is denied. ");
}

TEST(ZpUtils, TimersRunOnTheInjectedClockAndDoNotWrap) {
    FakeClockGuard clock;
    EventTimer t;
    NewTimer(t, 10);
    clock.fake.advanceMs(5 * 55);
    EXPECT_EQ(RemainingTime(t), 5);
    EXPECT_FALSE(TimerExpired(t));
    clock.fake.advanceMs(6 * 55);
    EXPECT_TRUE(TimerExpired(t));
    NewTimer(t, MaxTicks + 100);  // capped
    EXPECT_EQ(t.ExpireTicks - t.StartTicks, MaxTicks);
    clock.fake.advanceMs(int64_t(1) << 32);  // past where a 32-bit tick count wrapped
    NewTimer(t, 18);
    EXPECT_FALSE(TimerExpired(t));
    EXPECT_EQ(RemainingTime(t), 18);
}
