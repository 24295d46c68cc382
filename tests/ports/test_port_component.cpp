// The port component and its status lamps over a dispatcher without threads, run round by round
// on the test thread: flow options and RS-485, tracing and logging kept across a new port number
// or size, waits that end with the application, and the lamps' controller.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "ports/FakeSerial.h"
#include "ports/ZpComPort.h"
#include "ports/ZpStatusLight.h"
#include "support/TempEnv.h"

namespace {

// A port on a form, opened over a dispatcher without threads on a fake device.
struct Rig {
    DialogScript boxes;  // an exception out of a handler would show one
    FakeClockGuard clock;
    std::shared_ptr<FakeSerialState> dev = std::make_shared<FakeSerialState>();
    QWidget form;
    TZpComPort* port = new TZpComPort(&form);
    Rig() {
        port->SetComNumber(7);
        port->SetActivateHook(
            [this](TZpCustomComPort* p) -> TZpBaseDispatcher* { return new ManualDispatcher(dev, p); });
    }
    ~Rig() {
        for (auto& b : boxes.shown) ADD_FAILURE() << "box shown: " << b.text.toStdString();
    }
    ManualDispatcher& disp() { return *static_cast<ManualDispatcher*>(port->Dispatcher()); }
    void round() { disp().DispatchRound(); }
    void ticks(int n) { clock.fake.advanceMs(int64_t(n) * TickMs); }
};

}  // namespace

TEST(PortComponent, FlowOptionsThatDriveRtsTakeTheDeviceOutOfRs485) {
    const struct Row {
        bool open;
        THWFlowOptions options;
        bool rs485;
    } rows[] = {
        {true, hwfRequireCTS, false},  {true, hwfUseRTS, false}, {true, hwfUseDTR | hwfRequireDSR, true},
        {false, hwfRequireCTS, false}, {false, hwfUseDTR, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        Rig rig;
        if (r.open) rig.port->SetOpen(true);
        rig.port->SetRS485Mode(true);
        rig.port->SetHWFlowOptions(r.options);
        EXPECT_EQ(rig.port->GetRS485Mode(), r.rs485);
        EXPECT_EQ(rig.port->GetBufferFull(), 3686);
        EXPECT_EQ(rig.port->GetBufferResume(), 409);
        rig.port->SetOpen(true);
        EXPECT_EQ(rig.disp().RS485Mode(), r.rs485);
    }
}

// A running trace and log start anew, a paused one is paused again; what is sent while paused is
// not traced, and the trace resumed afterwards keeps the size in force.
TEST(PortComponent, ANewNumberOrSizeKeepsTracingAndLoggingAsTheyWere) {
    enum Change { Number, TraceSize, LogSize };
    const struct Row {
        Change change;
        TTraceLogState state;
        const char* traced;
    } rows[] = {
        {Number, tlOn, "abcd"},     {Number, tlPause, "cd"}, {TraceSize, tlOn, "cd"},
        {TraceSize, tlPause, "cd"}, {LogSize, tlOn, "abcd"}, {LogSize, tlPause, "cd"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        TempEnv env;
        Rig rig;
        TZpComPort& port = *rig.port;
        port.SetTraceName(env.path("trace"));
        port.SetLogName(env.path("log"));
        port.SetTraceHex(false);
        port.SetOpen(true);
        port.SetTracing(tlOn);
        port.SetLogging(tlOn);
        port.SetTracing(r.state);
        port.SetLogging(r.state);
        switch (r.change) {
            case Number:
                port.SetComNumber(8);
                break;
            case TraceSize:
                port.SetTraceSize(2);
                break;
            case LogSize:
                port.SetLogSize(500);
                break;
        }
        EXPECT_EQ(port.GetComNumber(), r.change == Number ? 8 : 7);
        EXPECT_EQ(port.GetTracing(), r.state);
        EXPECT_EQ(port.GetLogging(), r.state);
        ManualDispatcher& d = rig.disp();
        EXPECT_TRUE(d.HasTrace());
        EXPECT_TRUE(d.HasDispatchLog());
        EXPECT_EQ(d.TracingOn(), r.state == tlOn);
        EXPECT_EQ(d.DLoggingOn(), r.state == tlOn);
        port.PutString("ab");
        port.SetTracing(tlOn);
        port.SetLogging(tlOn);
        EXPECT_TRUE(d.DLoggingOn());
        port.PutString("cd");
        port.SetTracing(tlDump);
        EXPECT_EQ(fileBytes(env.path("trace")), std::string("Transmit: ") + r.traced + "\n");
    }
}

namespace {

enum class End { QuitBefore, QuitDuring, ExitDuring };

// Runs a wait inside the application's loop while the application is asked to end, and ends the
// process with 0 when the wait ended unmatched. The time-out never passes (the clock stands still):
// only the end of the application can end the wait; a wait that never ends is killed.
[[noreturn]] void waitWhileTheApplicationEnds(bool yield, bool multi, End end) {
    ::alarm(20);
    Rig rig;
    rig.port->SetOpen(true);
    QTimer::singleShot(0, [&] {
        if (end == End::QuitBefore) QCoreApplication::quit();
        if (end == End::QuitDuring) QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        if (end == End::ExitDuring) QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        const int32_t r = multi ? rig.port->WaitForMultiString("never|nor this", 10, yield, false, '|')
                                : int32_t(rig.port->WaitForString("never", 10, yield, false));
        std::_Exit(r == 0 ? 0 : 2);
    });
    QCoreApplication::exec();
    std::_Exit(3);
}

}  // namespace

TEST(PortComponentDeathTest, WaitsEndWhenTheApplicationEnds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct Row {
        bool yield, multi;
        End end;
    } rows[] = {
        {true, false, End::QuitDuring},  {true, true, End::ExitDuring},  {true, false, End::QuitBefore},
        {false, false, End::QuitBefore}, {false, true, End::QuitBefore},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        EXPECT_EXIT(waitWhileTheApplicationEnds(r.yield, r.multi, r.end), ::testing::ExitedWithCode(0), "");
    }
}

// ---------------------------------------------------------------- status lamps

namespace {

enum Lamp { CTS, DSR, DCD, RING, TXD, RXD, ERR, BRK, LampCount };
constexpr unsigned bit(Lamp l) {
    return 1u << l;
}
constexpr unsigned AllLamps = (1u << LampCount) - 1;

// Every lamp on the controller of a monitored port; the form's own handlers record what they
// see: the lamps at that moment, the calls.
struct Lamps : Rig {
    TZpSLController* ctl = nullptr;
    TZpStatusLight* lamp[LampCount] = {};
    std::string got;
    std::vector<unsigned> availSeen, statusSeen, timerSeen;
    // The lamps in `which` are given to the controller; the others stay on the form.
    explicit Lamps(bool monitor = true, unsigned which = AllLamps) {
        port->SetOnTriggerAvail([this](TZpCustomComPort* cp, uint16_t n) {
            availSeen.push_back(lit());
            for (uint16_t i = 0; i < n; ++i) got += cp->GetChar();
        });
        port->SetOnTriggerStatus([this](TZpCustomComPort*, uint16_t) { statusSeen.push_back(lit()); });
        port->SetOnTriggerTimer([this](TZpCustomComPort*, uint16_t) { timerSeen.push_back(lit()); });
        ctl = new TZpSLController(&form);
        for (auto& l : lamp) l = new TZpStatusLight(&form);
        auto given = [&](Lamp l) { return (which & bit(l)) ? lamp[l] : nullptr; };
        TLightSet& s = ctl->Lights();
        s.CTSLight = given(CTS);
        s.DSRLight = given(DSR);
        s.DCDLight = given(DCD);
        s.RINGLight = given(RING);
        s.TXDLight = given(TXD);
        s.RXDLight = given(RXD);
        s.ERRORLight = given(ERR);
        s.BREAKLight = given(BRK);
        if (!monitor) return;
        port->SetOpen(true);
        ctl->SetMonitoring(true);
    }
    unsigned lit() const {
        unsigned m = 0;
        for (int i = 0; i < LampCount; ++i)
            if (lamp[i]->GetLit()) m |= 1u << i;
        return m;
    }
    // The modem lines change as the device reports them.
    void lines(uint32_t v) {
        dev->lines = v;
        disp().MapEventsToMS(0);
        round();
    }
};

}  // namespace

namespace {
using Stimulus = std::function<void(Lamps&)>;
Stimulus errors(uint32_t e) {
    return [e](Lamps& l) {
        l.dev->addErrors(e);
        l.round();
    };
}
void ring(Lamps& l) {
    l.lines(0x40);
    l.lines(0);
}
}  // namespace

// Each lamp lights on its event; a lamp with a time-out goes out one tick after it and lights
// again on the next event.
TEST(StatusLamps, EachLampFollowsItsEventAndItsTimeOut) {
    const struct Row {
        const char* name;
        Stimulus stimulus;
        unsigned lit;
        int32_t timeout;  // ticks; 0 while the line stays
    } rows[] = {
        {"CTS", [](Lamps& l) { l.lines(0x10); }, bit(CTS), 0},
        {"DSR and DCD", [](Lamps& l) { l.lines(0xA0); }, bit(DSR) | bit(DCD), 0},
        {"ring", ring, bit(RING), 8},
        {"framing error", errors(CE_FRAME), bit(ERR), 36},
        {"parity error", errors(CE_RXPARITY), bit(ERR), 36},
        {"overrun", errors(CE_OVERRUN), bit(ERR), 36},
        {"break", errors(CE_BREAK), bit(BRK), 36},
        {"received",
         [](Lamps& l) {
             l.dev->push("abc");
             l.round();
         },
         bit(RXD), 1},
        {"sent",
         [](Lamps& l) {
             l.port->PutString("x");
             l.round();
             l.disp().Drain();
         },
         bit(TXD), 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Lamps l;
        EXPECT_EQ(l.lit(), 0u);
        r.stimulus(l);
        EXPECT_EQ(l.lit(), r.lit);
        l.ticks(r.timeout ? r.timeout : 100);
        l.round();
        EXPECT_EQ(l.lit(), r.lit);
        if (!r.timeout) continue;
        l.ticks(1);
        l.round();
        EXPECT_EQ(l.lit(), 0u);
        r.stimulus(l);
        EXPECT_EQ(l.lit(), r.lit) << "not armed again";
    }
    // A line error is read (and so cleared) when its lamp lights.
    Lamps l;
    l.dev->addErrors(CE_FRAME);
    l.round();
    EXPECT_EQ(l.port->GetLineError(), 0);
}

// A lamp alone on its controller answers its own event only.
TEST(StatusLamps, ALampAloneIgnoresTheOthersEvents) {
    const struct Row {
        Lamp lamp;
        Stimulus other;
    } rows[] = {
        {BRK, errors(CE_FRAME)},
        {BRK, errors(CE_OVERRUN | CE_RXPARITY)},
        {ERR, errors(CE_BREAK)},
        {RING, [](Lamps& l) { l.lines(0xB0); }},
        {CTS, ring},
        {DCD, [](Lamps& l) { l.lines(0x30); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        Lamps l(true, bit(r.lamp));
        r.other(l);
        EXPECT_EQ(l.lit(), 0u);
    }
}

TEST(StatusLamps, TheFormsOwnHandlersRunAfterTheLampsAndComeBackWhenMonitoringStops) {
    Lamps l;
    const uint16_t own = l.port->AddTimerTrigger();
    l.port->SetTimerTrigger(own, 3, true);
    l.dev->push("hi");
    l.round();
    l.lines(0x10);
    EXPECT_EQ(l.got, "hi");
    EXPECT_EQ(l.availSeen, std::vector<unsigned>{bit(RXD)});
    EXPECT_EQ(l.statusSeen, std::vector<unsigned>{bit(RXD) | bit(CTS)});
    l.ticks(4);
    l.round();
    l.round();
    // The receive lamp's timer and the form's own timer both reach the form, the lamp already out.
    ASSERT_EQ(l.timerSeen.size(), 2u);
    EXPECT_EQ(l.timerSeen[0], bit(CTS));
    EXPECT_EQ(l.lit(), bit(CTS));
    l.ctl->SetMonitoring(false);
    EXPECT_EQ(l.lit(), 0u);
    l.dev->push("!");
    l.round();
    l.lines(0x30);
    EXPECT_EQ(l.got, "hi!");
    EXPECT_EQ(l.availSeen.back(), 0u);
    EXPECT_EQ(l.lit(), 0u);
    EXPECT_EQ(l.availSeen.size(), 2u);
}

TEST(StatusLamps, MonitoringSetToItsOwnValueChangesNothing) {
    Lamps l(false);
    l.ctl->SetMonitoring(true);  // a closed port: wanted, started by the open
    EXPECT_FALSE(l.ctl->GetMonitoring());
    l.ctl->SetMonitoring(false);  // its value already
    l.port->SetOpen(true);
    EXPECT_TRUE(l.ctl->GetMonitoring());
    l.ctl->SetMonitoring(true);
    l.dev->push("x");
    l.round();
    EXPECT_EQ(l.lit(), bit(RXD));
    EXPECT_EQ(l.availSeen.size(), 1u);
    // Closed and opened again, monitoring comes back by itself.
    l.port->SetOpen(false);
    EXPECT_FALSE(l.ctl->GetMonitoring());
    l.port->SetOpen(true);
    EXPECT_TRUE(l.ctl->GetMonitoring());
}

TEST(StatusLamps, APortAddedToTheFormAttachesAControllerThatHasNone) {
    Rig rig;
    QWidget other;
    TZpSLController ctl(&other);
    EXPECT_EQ(ctl.GetComPort(), nullptr);
    delete new TZpComPort(&other);  // gone before it could be looked at
    new QObject(&other);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ctl.GetComPort(), nullptr);
    auto* first = new TZpComPort(&other);
    auto* second = new TZpComPort(&other);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ctl.GetComPort(), first);
    (void)second;
    // Attached for good: it follows the port's opening.
    first->SetComNumber(7);
    first->SetActivateHook(
        [&rig](TZpCustomComPort* p) -> TZpBaseDispatcher* { return new ManualDispatcher(rig.dev, p); });
    ctl.SetMonitoring(true);
    EXPECT_FALSE(ctl.GetMonitoring());
    first->SetOpen(true);
    EXPECT_TRUE(ctl.GetMonitoring());
    // A port that goes away is forgotten, and the next one added is taken.
    delete first;
    EXPECT_EQ(ctl.GetComPort(), nullptr);
    auto* third = new TZpComPort(&other);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ctl.GetComPort(), third);
}
