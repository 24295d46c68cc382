// The dispatcher's rings, triggers and notifications, run round by round on the test thread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MessageWindow.h"
#include "ports/FakeSerial.h"

namespace {
struct Note {
    uint32_t msg, trigger;
    int32_t lparam;
};

struct CoreFixture : ::testing::Test {
    std::shared_ptr<FakeSerialState> dev = std::make_shared<FakeSerialState>();
    ManualDispatcher d{dev};
    std::vector<Note> notes;
    void SetUp() override { ASSERT_EQ(d.Open(), 0); }
    void listen(const void* key = nullptr, int take = -1) {
        d.RegisterEventTriggerHandler(key ? key : this, [this, take](uint32_t m, uint32_t t, int32_t l) {
            notes.push_back({m, t, l});
            if (m == ZpTriggerAvail && take != 0) {
                const int n = take < 0 ? static_cast<int>(t) : take;
                uint8_t c;
                for (int i = 0; i < n; ++i) d.GetChar(c);
            }
        });
    }
};
}  // namespace

TEST_F(CoreFixture, RingExactlyFullReportsFullAndABurstArrivesWhole) {
    std::string burst;
    for (int i = 0; i < 20000; ++i) burst.push_back(static_cast<char>('A' + i % 26));
    dev->push(burst);
    d.ExtractData();
    EXPECT_EQ(d.InBuffUsed(), 8192);
    EXPECT_EQ(d.InBuffFree(), 0);
    d.ExtractData();  // a full ring takes nothing more
    EXPECT_EQ(d.InBuffUsed(), 8192);
    // A handler that reads what is announced gets every byte in order.
    d.ChangeLengthTrigger(1);
    std::string got;
    d.RegisterEventTriggerHandler(this, [&](uint32_t m, uint32_t t, int32_t) {
        if (m != ZpTriggerAvail) return;
        for (uint32_t i = 0; i < t; ++i) {
            uint8_t c;
            ASSERT_EQ(d.GetChar(c), 0);
            got.push_back(static_cast<char>(c));
        }
    });
    for (int i = 0; i < 10 && got.size() < burst.size(); ++i) d.DispatchRound();
    EXPECT_EQ(got, burst);
    EXPECT_EQ(d.InBuffUsed(), 0);
}

TEST_F(CoreFixture, HandlersOfOneNotificationSeeTheSameBytes) {
    d.ChangeLengthTrigger(1);
    std::string a, b;
    auto reader = [this](std::string& out) {
        return [this, &out](uint32_t m, uint32_t, int32_t) {
            if (m != ZpTriggerAvail) return;
            uint8_t c;
            for (int i = 0; i < 3; ++i) {
                ASSERT_EQ(d.GetChar(c), 0);
                out.push_back(static_cast<char>(c));
            }
            EXPECT_EQ(d.InBuffUsed(), 2);  // the tail has not moved yet
        };
    };
    d.RegisterEventTriggerHandler(&a, reader(a));
    d.RegisterEventTriggerHandler(&b, reader(b));
    dev->push("12345");
    d.DispatchRound();
    EXPECT_EQ(a, "123");
    EXPECT_EQ(b, "123");
    EXPECT_EQ(d.InBuffUsed(), 2);
    uint8_t c;
    d.DeregisterEventTriggerHandler(&a);
    d.DeregisterEventTriggerHandler(&b);
    ASSERT_EQ(d.GetChar(c), 0);
    EXPECT_EQ(c, '4');
}

TEST_F(CoreFixture, DataTriggersMatchIncrementallyAndAvailStopsBeforeTheMatch) {
    const int32_t h = d.AddDataTrigger("ab", false);
    const int32_t hi = d.AddDataTrigger("OK", true);
    d.ChangeLengthTrigger(1);
    listen(nullptr, 0);
    dev->push("xyaab");
    d.DispatchRound();
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ(notes[0].msg, ZpTriggerAvail);
    EXPECT_EQ(notes[0].trigger, 3u);  // "xya" precede "ab"
    EXPECT_EQ(notes[1].msg, ZpTriggerData);
    EXPECT_EQ(notes[1].trigger, static_cast<uint32_t>(h));
    EXPECT_EQ(notes[1].lparam & 0xFFFF, 2);
    notes.clear();
    dev->push("..ok");
    d.DispatchRound();
    bool sawOk = false;
    for (auto& n : notes) sawOk |= n.msg == ZpTriggerData && n.trigger == static_cast<uint32_t>(hi);
    EXPECT_TRUE(sawOk);
    EXPECT_GT(d.AddDataTrigger(std::string(21, 'x'), false), 0);  // the longest allowed
    EXPECT_EQ(d.AddDataTrigger(std::string(22, 'x'), false), -5002);
    EXPECT_EQ(d.AddStatusTrigger(6), -1002);
    EXPECT_EQ(d.SetTimerTrigger(h, 5, true), -5003);  // not a timer
    EXPECT_EQ(d.RemoveTrigger(0), -5003);
}

TEST_F(CoreFixture, OutputRoomIsExactAndItsTriggerFiresAtTheValue) {
    ManualDispatcher small(dev);
    ASSERT_EQ(small.Open(16), 0);
    ASSERT_EQ(small.PutString(std::string(10, 'a')), 0);
    EXPECT_EQ(small.OutBuffFree(), 6);
    EXPECT_EQ(small.PutString(std::string(7, 'b')), -3006);
    EXPECT_EQ(small.OutBuffUsed(), 10);
    // The room trigger fires when the room reaches its value, not before.
    int fired = 0;
    small.RegisterEventTriggerHandler(this, [&](uint32_t m, uint32_t, int32_t) { fired += m == ZpTriggerStatus; });
    const int32_t room = small.AddStatusTrigger(stOutBuffFree);
    ASSERT_EQ(small.SetStatusTrigger(room, 7, true), 0);
    small.DispatchRound();
    EXPECT_EQ(fired, 0);
    ASSERT_EQ(small.SetStatusTrigger(room, 6, true), 0);
    small.DispatchRound();
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(small.PutString(std::string(6, 'c')), 0);
    EXPECT_EQ(small.OutBuffFree(), 0);
    small.Drain();
    EXPECT_EQ(dev->takeOutput(), std::string(10, 'a') + std::string(6, 'c'));
}

// Trigger limits at the value and just past it: the longest data trigger, and the output-room
// triggers, which fire at their value.
TEST_F(CoreFixture, TriggerLimitsAtTheValueAndJustPast) {
    EXPECT_GT(d.AddDataTrigger(std::string(MaxTrigData, 'x'), false), 0);
    EXPECT_EQ(d.AddDataTrigger(std::string(MaxTrigData + 1, 'x'), false), -5002);
    ManualDispatcher small(dev);
    ASSERT_EQ(small.Open(16), 0);
    ASSERT_EQ(small.PutString(std::string(10, 'a')), 0);  // 6 free, 10 used
    std::vector<uint32_t> fired;
    small.RegisterEventTriggerHandler(this, [&](uint32_t m, uint32_t t, int32_t) {
        if (m == ZpTriggerStatus) fired.push_back(t);
    });
    const struct Case {
        int32_t type, value;
        bool fires;
    } cases[] = {{stOutBuffFree, 6, true}, {stOutBuffFree, 7, false}, {stOutBuffUsed, 10, true},
                 {stOutBuffUsed, 9, false}};
    for (const Case& c : cases) {
        fired.clear();
        const int32_t h = small.AddStatusTrigger(c.type);
        ASSERT_EQ(small.SetStatusTrigger(h, c.value, true), 0);
        small.DispatchRound();
        EXPECT_EQ(fired.size(), c.fires ? 1u : 0u) << c.type << " at " << c.value;
        EXPECT_EQ(small.RemoveTrigger(h), 0);
    }
    small.DeregisterEventTriggerHandler(this);
}

TEST_F(CoreFixture, WindowHandlersAndThePortHandlerFlag) {
    int hitsA = 0, hitsB = 0;
    MessageWindow a([&](uint32_t m, WParam, LParam) -> LResult {
        hitsA += m == ZpTriggerAvail;
        return 0;
    });
    MessageWindow b([&](uint32_t m, WParam, LParam) -> LResult {
        hitsB += m == ZpTriggerAvail;
        return 0;
    });
    d.ChangeLengthTrigger(1);
    d.RegisterWndTriggerHandler(a.handle());
    d.UpdateHandlerFlags(fuDisablePort);
    dev->push("x");
    d.DispatchRound();
    EXPECT_EQ(hitsA, 0);  // the port's own window alone is not told
    d.RegisterWndTriggerHandler(b.handle());
    dev->push("y");
    d.DispatchRound();
    EXPECT_EQ(hitsA, 1);
    EXPECT_EQ(hitsB, 1);
}

TEST_F(CoreFixture, StatusTriggersFollowModemLinesAndLineErrors) {
    const int32_t ms = d.AddStatusTrigger(stModem);
    const int32_t ls = d.AddStatusTrigger(stLine);
    ASSERT_EQ(d.SetStatusTrigger(ms, MS_CTS_ON, true), 0);
    ASSERT_EQ(d.SetStatusTrigger(ls, 1 | 4, true), 0);  // overrun, framing
    listen();
    d.DispatchRound();
    EXPECT_TRUE(notes.empty());
    dev->setLines(MS_CTS_ON);
    d.MapEventsToMS(0);
    d.DispatchRound();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].msg, ZpTriggerStatus);
    EXPECT_EQ(notes[0].trigger, static_cast<uint32_t>(ms));
    EXPECT_TRUE(d.CheckDeltaCTS());
    EXPECT_FALSE(d.CheckDeltaCTS());  // reading clears the change bit
    notes.clear();
    dev->addErrors(CE_OVERRUN | CE_FRAME);
    d.DispatchRound();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].trigger, static_cast<uint32_t>(ls));
    EXPECT_EQ(d.GetLineError(), 2);
    EXPECT_EQ(d.GetLineError(), 0);  // both cleared
    dev->addErrors(CE_BREAK);
    d.DispatchRound();
    EXPECT_EQ(d.GetLineError(), 9);
    EXPECT_TRUE(d.CheckLineBreak());
    EXPECT_FALSE(d.CheckLineBreak());
}

TEST_F(CoreFixture, TimerTriggersFireOnTheInjectedClock) {
    FakeClockGuard clock;
    const int32_t t = d.AddTimerTrigger();
    ASSERT_EQ(d.SetTimerTrigger(t, 2, true), 0);
    listen();
    d.DispatchRound();
    EXPECT_TRUE(notes.empty());
    clock.fake.advanceMs(3 * 55);
    d.DispatchRound();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].msg, ZpTriggerTimer);
    d.DispatchRound();
    EXPECT_EQ(notes.size(), 1u);  // fired once
}

TEST_F(CoreFixture, RemovingAHandlerDuringItsNotificationIsDeferred) {
    d.ChangeLengthTrigger(1);
    int calls = 0;
    d.RegisterEventTriggerHandler(this, [&](uint32_t, uint32_t t, int32_t) {
        ++calls;
        d.DeregisterEventTriggerHandler(this);
        uint8_t c;
        for (uint32_t i = 0; i < t; ++i) d.GetChar(c);
    });
    dev->push("ab");
    d.DispatchRound();
    dev->push("cd");
    d.DispatchRound();
    EXPECT_EQ(calls, 1);
}

TEST_F(CoreFixture, FlowLimitsAndLines) {
    EXPECT_EQ(d.HWFlowOptions(3000, 4000, 1), -1002);
    EXPECT_EQ(d.HWFlowOptions(5000, 100, 1), -1002);
    ASSERT_EQ(d.HWFlowOptions(3686, 409, 1 | 8), 0);
    CommState s;
    d.GetComState(s);
    EXPECT_EQ(s.Flags & CommState::fDtrControlMask, CommState::fDtrHandshake);
    EXPECT_TRUE(s.Flags & CommState::fOutxCtsFlow);
    EXPECT_EQ(s.XoffLim, 4096 - 3686);
    EXPECT_EQ(s.XonLim, 409);
    const bool before = dev->dtr;
    d.SetDtr(!before);  // under handshake the line is left alone
    EXPECT_EQ(dev->dtr.load(), before);
    uint32_t hw = 0, sw = 0;
    int32_t bf = 0, br = 0;
    char on = 0, off = 0;
    ASSERT_EQ(d.SWFlowEnable(3072, 1024, 3), 0);
    d.GetFlowOptions(hw, sw, bf, br, on, off);
    EXPECT_EQ(hw, 1u | 8u);
    EXPECT_EQ(sw, 3u);
    EXPECT_EQ(on, 17);
    EXPECT_EQ(off, 19);
    EXPECT_EQ(d.SWFlowDisable(), 0);
    EXPECT_EQ(d.SWFlowState(), 1);
}

TEST_F(CoreFixture, LineChangesAndTheTransmitterWait) {
    ASSERT_EQ(d.SetLine(9600, 0, 8, 1), 0);
    EXPECT_EQ(d.TxSentDelayMs(), 19);
    ASSERT_EQ(d.SetLine(115200, 0, 8, 1), 0);
    EXPECT_EQ(d.TxSentDelayMs(), 2);
    int32_t baud, parity, bits, stop;
    d.GetLine(baud, parity, bits, stop);
    EXPECT_EQ(baud, 115200);
    EXPECT_EQ(bits, 8);
    EXPECT_EQ(stop, 1);
    EXPECT_EQ(d.ChangeBaud(115200), 0);
    ASSERT_EQ(d.SetLine(0, 2, 7, 2), 0);
    d.GetLine(baud, parity, bits, stop);
    EXPECT_EQ(baud, 115200);
    EXPECT_EQ(parity, 2);
    EXPECT_EQ(bits, 7);
    EXPECT_EQ(stop, 2);
}

TEST_F(CoreFixture, HandlesCountUpInEightsAndSavedTriggersComeBack) {
    EXPECT_EQ(d.AddTimerTrigger(), 8);
    EXPECT_EQ(d.AddStatusTrigger(stLine), 16 + stLine);
    EXPECT_EQ(d.AddDataTrigger("x", false), 24);
    d.RemoveAllTriggers();
    EXPECT_EQ(d.AddTimerTrigger(), 8);
    d.RemoveAllTriggers();
    d.ChangeLengthTrigger(1);
    const int32_t h = d.AddDataTrigger("OK", false);
    TTriggerSave save;
    d.SaveTriggers(save);
    d.RemoveAllTriggers();
    EXPECT_EQ(d.TriggerType(h), ttNone);
    d.RestoreTriggers(save);
    EXPECT_EQ(d.TriggerType(h), ttData);
    EXPECT_EQ(d.LengthTrigger(), 1);
    EXPECT_NE(d.AddTimerTrigger(), h);
}
