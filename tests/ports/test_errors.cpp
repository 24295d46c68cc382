// Every code of the port library's message table has a message, and every negative one raises
// the class it belongs to (the codes and the classes as the library documents them); the tick
// timers.
#include <gtest/gtest.h>

#include <new>
#include <typeinfo>

#include "platform/Clock.h"
#include "ports/ZpErrors.h"
#include "ports/ZpUtils.h"

namespace {

// The table's codes, in order: first and last of each run.
constexpr int32_t kRuns[][2] = {
    {0, 0},           {-2, -6},         {-8, -8},         {-15, -15},       {-18, -18},       {-100, -105},
    {-150, -162},     {-1001, -1009},   {-2001, -2012},   {-3001, -3010},   {-4001, -4017},   {-4020, -4021},
    {4101, 4101},     {4200, 4213},     {4301, 4312},     {4401, 4403},     {4500, 4523},     {4550, 4553},
    {4599, 4611},     {4630, 4633},     {4660, 4671},     {4700, 4728},     {4730, 4730},     {4801, 4808},
    {4820, 4828},     {4830, 4832},     {4840, 4843},     {-5001, -5003},   {-5501, -5506},   {-6001, -6016},
    {-7001, -7014},   {-7500, -7502},   {-8001, -8005},   {-8050, -8055},   {-8060, -8075},   {-8080, -8083},
    {-8085, -8085},   {-8087, -8092},   {-8100, -8103},   {-8300, -8305},   {-8310, -8318},   {-8320, -8322},
    {-8330, -8332},   {-8340, -8340},   {-8500, -8500},   {9001, 9007},     {10000, 10000},   {10004, 10004},
    {10009, 10009},   {10013, 10014},   {10022, 10022},   {10024, 10024},   {10035, 10071},   {10091, 10093},
    {10101, 10101},   {11001, 11004},   {13501, 13516},   {13533, 13557},   {13565, 13565},   {13597, 13601},
    {13650, 13670},   {-13801, -13803}, {-13805, -13848}, {-13850, -13886}, {-13928, -13932}, {13933, 13933},
    {-13934, -13945}, {-13950, -13959}, {-13980, -13980}, {15001, 15021},   {15100, 15351},   {15501, 15502},
    {15601, 15608},   {15700, 15742}};

bool in(int32_t c, int32_t a, int32_t b) {
    return c <= a && c >= b;  // negative runs
}

template <class G>
bool is(const EZPException& e) {
    return dynamic_cast<const G*>(&e) != nullptr;
}
using Group = bool (*)(const EZPException&);

// The group class a negative code raises; null for the plain "Port exception".
Group groupOf(int32_t c) {
    if (c == -1002 || c == -1003 || in(c, -1005, -1008) || c == -7003 || c == -7006 || c == -7012)
        return is<EGeneral>;
    if (in(c, -2001, -2012)) return is<EOpenComm>;
    if (c == -3001 || in(c, -3003, -3010)) return is<ESerialIO>;
    if (in(c, -4001, -4004) || c == -4006 || c == -4007) return is<EModem>;
    if (c == -5001 || c == -5002) return is<ETrigger>;
    if (c == -6006 || c == -6008 || c == -6009) return is<EProtocol>;
    if (c == -7001 || c == -7004 || c == -7005 || c == -7008 || c == -7010 || c == -7011 || c == -7014)
        return is<EINI>;
    if (in(c, -8001, -8005) || c == -8053 || in(c, -8060, -8070)) return is<EFax>;
    if (in(c, -13801, -13802) || in(c, -13805, -13848) || in(c, -13850, -13886) || in(c, -13928, -13932) ||
        c == -13935 || c == -13936 || c == -13942)
        return is<ETapi>;
    if (c == -13980) return is<ERas>;
    return nullptr;
}

}  // namespace

TEST(ErrorTable, EveryCodeHasAMessageAndItsClass) {
    int codes = 0;
    for (const auto& run : kRuns) {
        const int32_t step = run[1] >= run[0] ? 1 : -1;
        for (int32_t c = run[0];; c += step) {
            ++codes;
            const std::string text = ZpLoadStr(c);
            EXPECT_FALSE(text.empty()) << c;
            std::string listed;
            MessageNumberToString(c, listed);
            EXPECT_EQ(listed, text) << c;
            if (c >= 9001) {
                EXPECT_STRNE(EZpSocketException(c).what(), "") << c;
            }
            if (c < 0 && c >= -162) {
                if (c == -8)
                    EXPECT_THROW(CheckException(nullptr, c), std::bad_alloc);
                else
                    EXPECT_THROW(CheckException(nullptr, c), EInOutError) << c;
            } else if (c < 0) {
                try {
                    CheckException(nullptr, c);
                    ADD_FAILURE() << c << " raised nothing";
                } catch (const EZPException& e) {
                    if (const Group group = groupOf(c)) {
                        EXPECT_TRUE(group(e)) << c << " raised " << typeid(e).name();
                        EXPECT_EQ(e.ErrorCode, c);
                        EXPECT_EQ(std::string(e.what()), text) << c;
                    } else {
                        EXPECT_EQ(typeid(e), typeid(EZPException)) << c;
                        EXPECT_STREQ(e.what(), "Port exception") << c;
                    }
                }
            }
            if (c == run[1]) break;
        }
    }
    EXPECT_EQ(codes, 892);
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
