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
#include "ports/ZpDataPacket.h"
#include "ports/ZpStatusLight.h"
#include "ports/ZpWinsockPort.h"
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

// ---------------------------------------------------------------- the port's own behaviour

namespace {

// The code of the port-library exception the call raises, 0 when it raises none.
int32_t raisedCode(const std::function<void()>& call) {
    try {
        call();
    } catch (const EZPException& e) {
        return e.ErrorCode;
    }
    return 0;
}

// A hidden window that records the messages it gets.
struct Recorder {
    std::vector<uint32_t>& log;
    MessageWindow window;
    explicit Recorder(std::vector<uint32_t>& l)
        : log(l), window([this](uint32_t msg, WParam, LParam) -> LResult {
              log.push_back(msg);
              return 0;
          }) {}
};

}  // namespace

// The waits read byte after byte, each byte a tick later than the one before; after the input
// comes filler that matches nothing, so a wait that matches nothing ends by its time-out.
TEST(PortComponent, WaitsMatchTheirStringsByteByByte) {
    std::string many;  // 128 candidates: one more than a wait takes
    for (int i = 1; i <= 128; ++i) many += "<" + std::to_string(i) + ">|";
    const std::string nul("a\0b", 3), justNul(1, '\0');
    const struct Row {
        std::string list;
        char separator;  // 0: WaitForString with the list as one string
        bool ignoreCase;
        std::string input;
        int32_t timeout, result;
    } rows[] = {
        {"OK", 0, false, "xOK", 10, 1},
        {"abc", 0, false, "ababc", 10, 1},  // a broken match starts again on its first byte
        {"ok", 0, true, "xOK", 10, 1},
        {"ok", 0, false, "xOK", 10, 0},
        {"one|two|three", '|', false, "thtwo", 10, 2},
        {"ONE|TWO", '|', true, "two", 10, 2},
        {"a|b|", '|', false, "xb", 10, 2},       // the closing separator adds no candidate
        {"OK||ERR", '|', false, "xERR", 10, 2},  // nor do two separators together
        {"|OK", '|', false, "xOK", 10, 1},       // nor an opening one
        {"a;b", ';', false, "b", 10, 2},
        {many, '|', false, "<127>", 10, 127},
        {many, '|', false, "<128>", 10, 0},
        {"OK", 0, false, "....OK", 3, 0},  // the time-out passes first
        {"OK", 0, false, "....OK", 10, 1},
        {nul, 0, false, nul, 10, 1},  // a NUL is a byte like any other
        {nul, 0, false, "axb", 10, 0},
        {justNul, 0, false, "x", 10, 0},
        {justNul, 0, false, std::string("x\0", 2), 10, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        Rig rig;
        rig.port->SetOpen(true);
        size_t next = 0;
        std::string seen;
        rig.port->OnWaitChar = [&](TZpCustomComPort*, char c) {
            seen += c;
            rig.ticks(1);
            rig.dev->push(next < r.input.size() ? r.input.substr(next++, 1) : std::string("."));
        };
        rig.dev->push(r.input.substr(next++, 1));
        const int32_t got =
            r.separator ? rig.port->WaitForMultiString(r.list, r.timeout, false, r.ignoreCase, r.separator)
                        : int32_t(rig.port->WaitForString(r.list, r.timeout, false, r.ignoreCase));
        EXPECT_EQ(got, r.result);
        if (r.result) {
            EXPECT_EQ(seen, r.input);  // every byte read went to OnWaitChar, none past the match
        }
    }
}

// A wait takes at most one byte a round and tests its time-out after every round without a
// match: over a buffer that never runs dry it still ends on time, and a yielding one lets the
// application's events run meanwhile.
TEST(PortComponent, AWaitOverAFullBufferEndsOnTimeAndYields) {
    for (const bool yield : {false, true}) {
        SCOPED_TRACE(yield);
        Rig rig;
        rig.port->SetOpen(true);
        rig.dev->push(std::string(200, '.'));
        rig.disp().ExtractData();
        rig.port->OnWaitChar = [&](TZpCustomComPort*, char) { rig.ticks(1); };
        bool ran = false;
        QTimer::singleShot(0, [&] { ran = true; });
        EXPECT_EQ(rig.port->WaitForMultiString("OK|ERR", 5, yield, false, '|'), 0);
        EXPECT_GT(rig.port->InBuffUsed(), 150u);  // ended by its time-out, not by the end of the bytes
        EXPECT_EQ(ran, yield);
        QCoreApplication::processEvents();
    }
}

// A yielding wait that handles other events goes on waiting: only its match, its time-out or a
// quit end it (the clock stands still here, so only the match can).
TEST(PortComponent, AYieldingWaitGoesOnWaitingThroughOtherEvents) {
    for (const bool multi : {false, true}) {
        SCOPED_TRACE(multi);
        Rig rig;
        rig.port->SetOpen(true);
        int events = 0;
        QTimer::singleShot(0, [&] {
            ++events;
            QTimer::singleShot(0, [&] {
                ++events;
                QTimer::singleShot(0, [&] {
                    ++events;
                    rig.dev->push("..OK");
                    rig.disp().ExtractData();
                });
            });
        });
        const int32_t r = multi ? rig.port->WaitForMultiString("ERR|OK", 10, true, false, '|')
                                : int32_t(rig.port->WaitForString("OK", 10, true, false));
        EXPECT_EQ(r, multi ? 2 : 1);
        EXPECT_EQ(events, 3);
    }
}

// A wait leaves the dispatcher's busy flag as it found it, or as it was before PrepareWait, on
// every way out: at once (an empty string or list), on a match, on its time-out, and when its
// character event raises. A flag left set would keep every later event from being delivered.
TEST(PortComponent, AWaitRestoresTheBusyFlagOnEveryWayOut) {
    enum Way { Empty, EmptyList, Match, TimeOut, Raises };
    const struct Row {
        Way way;
        bool prepared, busyBefore;
    } rows[] = {
        {Empty, true, false},   {EmptyList, true, false}, {Match, true, false},
        {TimeOut, true, false}, {Raises, true, false},    {Match, false, false},
        {TimeOut, true, true},  {Empty, true, true},      {Raises, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        Rig rig;
        rig.port->SetOpen(true);
        ManualDispatcher& d = rig.disp();
        bool was;
        d.SetEventBusy(was, r.busyBefore);
        if (r.prepared) rig.port->PrepareWait();
        bool busyWhileWaiting = false;
        rig.port->OnWaitChar = [&](TZpCustomComPort*, char) {
            busyWhileWaiting = d.NotifyPending();
            rig.ticks(1);
            if (r.way == Raises) throw EZPException(-3007);
        };
        rig.dev->push(r.way == TimeOut ? "xxxxx" : "OK");
        d.ExtractData();
        switch (r.way) {
            case Empty:
                EXPECT_TRUE(rig.port->WaitForString("", 3, false, false));
                break;
            case EmptyList:
                EXPECT_EQ(rig.port->WaitForMultiString("||", 3, false, false, '|'), 1);
                break;
            case Match:
            case TimeOut:
                EXPECT_EQ(rig.port->WaitForString("OK", 3, false, false), r.way == Match);
                EXPECT_TRUE(busyWhileWaiting);
                break;
            case Raises:
                EXPECT_EQ(raisedCode([&] { rig.port->WaitForString("OK", 3, false, false); }), -3007);
                break;
        }
        EXPECT_EQ(d.NotifyPending(), r.busyBefore);
        if (r.busyBefore) {
            d.SetEventBusy(was, false);  // as whoever set it would
            continue;
        }
        // Events are delivered again.
        std::string got;
        rig.port->SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t n) {
            for (uint16_t i = 0; i < n; ++i) got.push_back(cp->GetChar());
        });
        rig.port->FlushInBuffer();
        rig.dev->push("ab");
        rig.round();
        EXPECT_EQ(got, "ab");
    }
}

// RemoveAllTriggers acts only on an open port: on a closed one it opens nothing (AutoOpen on) and
// leaves TriggerLength as it was; on an open one it removes them all and sets TriggerLength to 0.
TEST(PortComponent, RemoveAllTriggersOnAClosedPortOpensNothing) {
    Rig rig;
    int opens = 0;
    rig.port->SetActivateHook([&](TZpCustomComPort* p) -> TZpBaseDispatcher* {
        ++opens;
        return new ManualDispatcher(rig.dev, p);
    });
    rig.port->SetTriggerLength(5);
    rig.port->RemoveAllTriggers();
    EXPECT_EQ(opens, 0);
    EXPECT_EQ(rig.port->PortState(), psClosed);
    EXPECT_EQ(rig.port->GetTriggerLength(), 5);
    rig.port->SetOpen(true);
    const uint16_t h = rig.port->AddTimerTrigger();
    ASSERT_GT(h, 0);
    rig.port->RemoveAllTriggers();
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(rig.port->GetTriggerLength(), 0);
    EXPECT_EQ(rig.disp().LengthTrigger(), 0);
    EXPECT_EQ(rig.disp().TriggerType(h), ttNone);
}

// Software flow: the mode each option gives the device, and thresholds of three quarters and a
// quarter of the input size where none were set.
TEST(PortComponent, SoftwareFlowGivesTheDeviceItsModeAndThresholds) {
    constexpr uint32_t in = CommState::fInX, out = CommState::fOutX;
    const struct Row {
        TSWFlowOptions option;
        bool openFirst;
        uint16_t inSize, presetFull, presetResume;
        uint32_t flags;
        uint16_t full, resume;
    } rows[] = {
        {swfReceive, true, 4096, 0, 0, in, 3072, 1024},     {swfTransmit, true, 4096, 0, 0, out, 3072, 1024},
        {swfBoth, false, 1000, 0, 0, in | out, 750, 250},   {swfNone, true, 4096, 0, 0, 0, 0, 0},
        {swfReceive, true, 4096, 2000, 500, in, 2000, 500},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        Rig rig;
        TZpComPort& port = *rig.port;
        port.SetInSize(r.inSize);
        if (r.presetFull) port.SetBufferFull(r.presetFull);
        if (r.presetResume) port.SetBufferResume(r.presetResume);
        if (r.openFirst) port.SetOpen(true);
        port.SetSWFlowOptions(r.option);
        port.SetOpen(true);
        EXPECT_EQ(port.GetBufferFull(), r.full);
        EXPECT_EQ(port.GetBufferResume(), r.resume);
        const CommState st = rig.dev->state;
        EXPECT_EQ(st.Flags & (in | out), r.flags);
        if (r.flags & in) {
            EXPECT_EQ(st.XoffLim, r.inSize - r.full);
            EXPECT_EQ(st.XonLim, r.resume);
        }
        port.SetSWFlowOptions(swfNone);
        EXPECT_EQ(rig.dev->state.Flags & (in | out), 0u);
    }
}

// Opening an open port and closing a closed one do nothing; a port without a number and no
// prompt refuses to open.
TEST(PortComponent, OpenAndCloseActOnlyOnAChange) {
    const struct Row {
        uint16_t number;
        std::vector<bool> steps;
        int opens, closes, hooks;
        bool open;
        int32_t raised;  // by the last step
    } rows[] = {
        {7, {true, true}, 1, 0, 1, true, 0},
        {7, {false}, 0, 0, 0, false, 0},
        {7, {true, false, false}, 1, 1, 1, false, 0},
        {0, {true}, 0, 0, 0, false, -2011},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        Rig rig;
        TZpComPort& port = *rig.port;
        port.SetComNumber(r.number);
        port.SetPromptForPort(false);
        int opens = 0, closes = 0, hooks = 0;
        port.OnPortOpen = [&](TZpCustomComPort*) { ++opens; };
        port.OnPortClose = [&](TZpCustomComPort*) { ++closes; };
        port.SetActivateHook([&](TZpCustomComPort* p) -> TZpBaseDispatcher* {
            ++hooks;
            return new ManualDispatcher(rig.dev, p);
        });
        int32_t raised = 0;
        for (bool step : r.steps) raised = raisedCode([&] { port.SetOpen(step); });
        EXPECT_EQ(raised, r.raised);
        EXPECT_EQ(opens, r.opens);
        EXPECT_EQ(closes, r.closes);
        EXPECT_EQ(hooks, r.hooks);
        EXPECT_EQ(port.GetOpen(), r.open);
        EXPECT_EQ(port.PortState(), r.open ? psOpen : psClosed);
    }
}

// The device layer changes only on a closed port, and only to a layer the port supports.
TEST(PortComponent, TheDeviceLayerChangesOnlyWhileClosedAndSupported) {
    const struct Row {
        bool network, open;
        TDeviceLayer layer;
    } rows[] = {
        {false, false, dlWin32},
        {false, true, dlWin32},
        {true, false, dlWinsock},
        {true, true, dlWin32},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        Rig rig;
        TZpWinsockPort net(&rig.form);
        TZpCustomComPort& port = r.network ? static_cast<TZpCustomComPort&>(net) : *rig.port;
        port.SetComNumber(7);
        port.SetDeviceLayer(dlWin32);
        port.SetActivateHook(
            [&](TZpCustomComPort* p) -> TZpBaseDispatcher* { return new ManualDispatcher(rig.dev, p); });
        if (r.open) port.SetOpen(true);
        port.SetDeviceLayer(dlWinsock);
        EXPECT_EQ(port.GetDeviceLayer(), r.layer);
        port.SetOpen(false);
    }
}

// Trace and log sizes have a ceiling; a closed port keeps only Off and On; closing a tracing port
// rewrites its trace file and leaves tracing off.
TEST(PortComponent, TraceSettingsOfAClosedPortAndTheTraceWrittenAtClose) {
    const struct SizeRow {
        uint32_t set, trace, log;
    } sizes[] = {{5000000, 4000000, 5000000}, {20000000, 4000000, 16000000}, {4000000, 4000000, 4000000}};
    for (const SizeRow& r : sizes) {
        TZpComPort port;
        port.SetTraceSize(r.set);
        port.SetLogSize(r.set);
        EXPECT_EQ(port.GetTraceSize(), r.trace) << r.set;
        EXPECT_EQ(port.GetLogSize(), r.log) << r.set;
    }
    const struct StateRow {
        TTraceLogState set, kept;
    } states[] = {{tlOn, tlOn}, {tlDump, tlOff}, {tlAppend, tlOff}, {tlClear, tlOff}, {tlPause, tlOff}};
    for (const StateRow& r : states) {
        TZpComPort port;
        port.SetTracing(tlOn);
        port.SetLogging(tlOn);
        port.SetTracing(r.set);
        port.SetLogging(r.set);
        EXPECT_EQ(port.GetTracing(), r.kept) << int(r.set);
        EXPECT_EQ(port.GetLogging(), r.kept) << int(r.set);
    }
    TempEnv env;
    Rig rig;
    TZpComPort& port = *rig.port;
    port.SetTraceName(env.path("trace"));
    port.SetTraceHex(false);
    writeFile(env.path("trace"), "an older trace, longer than the new one\n");
    port.SetOpen(true);
    port.SetTracing(tlOn);
    port.PutString("ab");
    port.SetOpen(false);
    EXPECT_EQ(fileBytes(env.path("trace")), "Transmit: ab\n");
    EXPECT_EQ(port.GetTracing(), tlOff);
}

// An exception out of an event handler is shown and goes no further: the next notification still
// arrives.
TEST(PortComponent, AnExceptionInAnEventIsShownAndTheEventsGoOn) {
    Rig rig;
    int calls = 0;
    rig.port->SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t n) {
        for (uint16_t i = 0; i < n; ++i) cp->GetChar();
        if (++calls == 1) throw std::runtime_error("handler failed");
    });
    rig.port->SetOpen(true);
    for (const char* data : {"a", "b"}) {
        rig.dev->push(data);
        rig.round();
    }
    EXPECT_EQ(calls, 2);
    ASSERT_EQ(rig.boxes.shown.size(), 1u);
    EXPECT_EQ(rig.boxes.shown[0].text.toStdString(), "handler failed");
    rig.boxes.shown.clear();
}

// Users hear of the open and the close from the last registered to the first; only extended users
// hear that the port is closing; deregistering removes every matching registration of its kind.
TEST(PortComponent, UsersAreToldOfOpenAndCloseLastFirst) {
    Rig rig;
    TZpComPort& port = *rig.port;
    std::vector<uint32_t> log;
    Recorder plainWnd(log), extendedWnd(log);
    const int plainKey = 0, extendedKey = 0;
    constexpr uint32_t CbOpen = 1, CbClose = 2, ExOpen = 11, ExClosing = 12, ExClosed = 13, OnOpen = 21,
                       OnClose = 22;
    port.RegisterUser(plainWnd.window.handle());
    port.RegisterUserCallback(&plainKey, [&](TZpCustomComPort* cp, bool opening) {
        EXPECT_EQ(cp, &port);
        log.push_back(opening ? CbOpen : CbClose);
    });
    port.RegisterUserEx(extendedWnd.window.handle());
    port.RegisterUserCallbackEx(&extendedKey, [&](TZpCustomComPort*, TZpCallbackType t) {
        log.push_back(t == ctOpen ? ExOpen : t == ctClosing ? ExClosing : ExClosed);
    });
    // A plain and an extended callback under one key: each kind is deregistered on its own.
    port.RegisterUserCallbackEx(&plainKey, [&](TZpCustomComPort*, TZpCallbackType) { log.push_back(99); });
    port.OnPortOpen = [&](TZpCustomComPort*) { log.push_back(OnOpen); };
    port.OnPortClose = [&](TZpCustomComPort*) { log.push_back(OnClose); };
    port.DeregisterUserCallbackEx(&plainKey);
    const struct Step {
        std::function<void()> act;
        std::vector<uint32_t> heard;
    } steps[] = {
        {[&] { port.SetOpen(true); }, {ExOpen, ZpPortOpenMsg, CbOpen, ZpPortOpenMsg, OnOpen}},
        {[&] { port.SetOpen(false); },
         {ExClosing, ZpPortClosingMsg, ExClosed, ZpPortCloseMsg, CbClose, ZpPortCloseMsg, OnClose}},
        {[&] {
             port.DeregisterUser(extendedWnd.window.handle());
             port.DeregisterUserCallback(&plainKey);
             port.SetOpen(true);
         },
         {ExOpen, ZpPortOpenMsg, OnOpen}},
        {[&] {
             port.DeregisterUserCallbackEx(&extendedKey);
             port.DeregisterUser(plainWnd.window.handle());
             port.SetOpen(false);
         },
         {OnClose}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(&s - steps);  // the step
        log.clear();
        s.act();
        EXPECT_EQ(log, s.heard);
    }
}

// Assign copies the users, the settings, the events and the triggers of an open source; the copy
// stays closed until it is opened.
TEST(PortComponent, AssignCopiesUsersSettingsEventsAndTriggers) {
    std::vector<std::string> heard;  // outlives the ports, which close as they go
    Rig source, copy;
    TZpComPort& from = *source.port;
    from.RegisterUserCallback(
        &heard, [&](TZpCustomComPort*, bool opening) { heard.push_back(opening ? "open" : "close"); });
    from.SetBaud(9600);
    from.SetParity(pEven);
    from.SetInSize(2048);
    from.SetTraceName("copied.trc");
    from.SetXOnChar('A');
    from.SetOnTriggerData([&](TZpCustomComPort* cp, uint16_t h) {
        heard.push_back((cp == copy.port ? "copy data " : "source data ") + std::to_string(h));
    });
    from.SetOpen(true);
    const uint16_t h = from.AddDataTrigger("ZZ", false);
    heard.clear();
    TZpComPort& to = *copy.port;
    to.SetComNumber(3);
    to.Assign(from);
    EXPECT_FALSE(to.GetOpen());
    EXPECT_EQ(to.GetComNumber(), 7);
    EXPECT_EQ(to.GetBaud(), 9600);
    EXPECT_EQ(to.GetParity(), pEven);
    EXPECT_EQ(to.GetInSize(), 2048);
    EXPECT_EQ(to.GetTraceName(), "copied.trc");
    EXPECT_EQ(to.GetXOnChar(), 'A');
    to.SetOpen(true);
    copy.dev->push("xZZ");
    copy.round();
    EXPECT_EQ(heard, (std::vector<std::string>{"open", "copy data " + std::to_string(h)}));
    EXPECT_EQ(copy.dev->state.BaudRate, 9600u);
}

// A close asked for inside a notification ends when the window handles the deferred close, and
// OnTrigger hears that message too; an Open := true meanwhile reopens the port, unless an
// Open := false came after it.
TEST(PortComponent, ACloseFromAnEventEndsLaterAndOnlyTheLastWishCounts) {
    const struct Row {
        std::vector<bool> meanwhile;
        uint8_t state;
    } rows[] = {{{}, psClosed}, {{true}, psOpen}, {{true, false}, psClosed}, {{true, false, true}, psOpen}};
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        Rig rig;
        TZpComPort& port = *rig.port;
        std::vector<uint16_t> triggers;
        uint8_t stateInside = 255;
        port.SetOnTrigger(
            [&](TZpCustomComPort*, uint16_t msg, uint16_t, uint16_t) { triggers.push_back(msg); });
        port.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t) {
            cp->SetOpen(false);
            stateInside = cp->PortState();
            for (bool b : r.meanwhile) cp->SetOpen(b);
        });
        port.SetOpen(true);
        ManualDispatcher& d = rig.disp();
        rig.dev->push("x");
        rig.round();
        EXPECT_EQ(stateInside, psShuttingDown);
        ASSERT_TRUE(d.ClosePending());
        d.DonePortPrim();  // as the layer's own thread does once the notification is over
        for (int i = 0; i < 100 && port.PortState() == psShuttingDown; ++i) QCoreApplication::processEvents();
        EXPECT_EQ(port.PortState(), r.state);
        EXPECT_EQ(port.GetOpen(), r.state == psOpen);
        ASSERT_GE(triggers.size(), 2u);
        EXPECT_EQ(triggers.front(), ZpTriggerAvail);
        EXPECT_EQ(triggers.back(), ZpPortClosingMsg);
    }
}

// A port opened by a telephony layer takes its settings from the open device, asks for no number,
// and refuses a device that nobody opened.
TEST(PortComponent, ATelephonyPortReadsItsSettingsBackOrRefusesAnUnopenedDevice) {
    const struct Row {
        TTapiMode mode;
        bool deviceOpen;
        int32_t raised;
    } rows[] = {{tmOn, true, 0}, {tmOn, false, -2012}, {tmAuto, true, -2011}};
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        Rig rig;
        TZpComPort& port = *rig.port;
        port.SetComNumber(0);
        port.SetPromptForPort(false);
        port.SetTapiMode(r.mode);
        port.SetActivateHook([&](TZpCustomComPort* p) -> TZpBaseDispatcher* {
            auto* d = new ManualDispatcher(rig.dev, p);
            if (r.deviceOpen) {
                d->InitPort("line", 9600, pEven, 7, 2, 4096, 4096, 0);
                d->HWFlowOptions(3000, 300, hwfRequireCTS);
                d->SWFlowEnable(3000, 300, 1);
                d->SWFlowChars('A', 'B');
            }
            return d;
        });
        EXPECT_EQ(raisedCode([&] { port.SetOpen(true); }), r.raised);
        EXPECT_EQ(port.GetOpen(), r.raised == 0);
        if (r.raised) {
            EXPECT_EQ(port.GetBaud(), 19200);
            continue;
        }
        EXPECT_EQ(port.GetBaud(), 9600);
        EXPECT_EQ(port.GetParity(), pEven);
        EXPECT_EQ(port.GetDataBits(), 7);
        EXPECT_EQ(port.GetStopBits(), 2);
        EXPECT_EQ(port.GetHWFlowOptions(), THWFlowOptions(hwfRequireCTS));
        EXPECT_EQ(port.GetSWFlowOptions(), swfTransmit);
        EXPECT_EQ(port.GetXOnChar(), 'A');
        EXPECT_EQ(port.GetXOffChar(), 'B');
        // Applied again at the open: the device keeps what the layer gave it.
        EXPECT_EQ(rig.dev->state.BaudRate, 9600u);
        EXPECT_EQ(rig.dev->state.XonChar, 'A');
        EXPECT_NE(rig.dev->state.Flags & CommState::fOutxCtsFlow, 0u);
    }
}

// ---------------------------------------------------------------- data packets

namespace {
struct PacketRig : Rig {
    TZpDataPacket* packet = new TZpDataPacket(&form);
    std::vector<std::string> packets;
    PacketRig() {
        packet->SetComPort(port);
        packet->OnStringPacket = [this](TZpDataPacket*, const std::string& s) { packets.push_back(s); };
        port->SetOpen(true);
    }
    void feed(const std::string& s) {
        dev->push(s);
        round();
    }
};
}  // namespace

// A packet that cannot be armed says why, and stays off.
TEST(DataPackets, ABadConfigurationIsRefusedWithItsCode) {
    const struct Row {
        TPacketStartCond start;
        TPacketEndSet end;
        const char *startString, *endString;
        int32_t size, raised;
    } rows[] = {
        {scString, 0, "", "", 0, -5501},
        {scString, ecPacketSize, "ABC", "", 2, -5502},
        {scAnyData, 0, "", "", 0, -5503},
        {scString, ecString, "A", "", 0, -5504},
        {scAnyData, ecPacketSize, "", "", 0, -5505},
        {scString, ecString | ecPacketSize, "ABC", "Z", 3, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        PacketRig rig;
        TZpDataPacket& p = *rig.packet;
        p.SetStartCond(r.start);
        p.SetEndCond(r.end);
        p.SetStartString(r.startString);
        p.SetEndString(r.endString);
        p.SetPacketSize(r.size);
        EXPECT_EQ(raisedCode([&] { p.SetEnabled(true); }), r.raised);
        EXPECT_EQ(p.GetEnabled(), r.raised == 0);
    }
}

// Without IncludeStrings a packet holds what lies between its strings; a size limit counts from the
// first byte of the start string.
TEST(DataPackets, WithoutIncludeStringsTheStringsAreLeftOut) {
    const struct Row {
        TPacketStartCond start;
        TPacketEndSet end;
        const char *startString, *endString;
        int32_t size;
        bool include;
        const char *input, *packet;
    } rows[] = {
        {scString, ecString, "<", ">", 0, true, "xx<abc>yy", "<abc>"},
        {scString, ecString, "<", ">", 0, false, "xx<abc>yy", "abc"},
        {scString, ecString, "<<", ">>", 0, false, "<<ab>>", "ab"},
        {scString, ecPacketSize, "<", "", 5, false, "x<abcdef", "abcd"},
        {scString, 0, "<go", "", 0, false, "a<go", ""},
        {scAnyData, ecString, "", ">", 0, false, "ab>c", "ab"},
        {scAnyData, ecString, "", ">", 0, true, "ab>c", "ab>"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        PacketRig rig;
        TZpDataPacket& p = *rig.packet;
        p.SetStartCond(r.start);
        p.SetEndCond(r.end);
        p.SetStartString(r.startString);
        p.SetEndString(r.endString);
        p.SetPacketSize(r.size);
        p.SetIncludeStrings(r.include);
        p.SetAutoEnable(false);
        p.SetEnabled(true);
        rig.feed(r.input);
        EXPECT_EQ(rig.packets, std::vector<std::string>{r.packet});
    }
}

namespace {
enum class PacketEnd { Arrives, TimesOut, PortCloses, PacketLetGo, QuitBefore, QuitDuring, ExitDuring };

// Waits for a packet inside the application's loop while something happens to it, and ends the
// process with 0 when the wait gave the expected answer (a wait that never ends is killed).
[[noreturn]] void waitForAPacket(PacketEnd end) {
    ::alarm(20);
    PacketRig rig;
    TZpDataPacket& p = *rig.packet;
    p.SetStartCond(scString);
    p.SetStartString("<");
    p.SetEndCond(ecString | ecPacketSize);
    p.SetEndString(">");
    p.SetPacketSize(10);
    p.SetTimeOut(3);
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(0, [&] {
            switch (end) {
                case PacketEnd::Arrives:
                    rig.feed("x<ok>");
                    break;
                case PacketEnd::TimesOut:
                    rig.feed("<ab");
                    rig.ticks(5);
                    rig.round();
                    break;
                case PacketEnd::PortCloses:
                    rig.port->SetOpen(false);
                    break;
                case PacketEnd::PacketLetGo:
                    p.SetComPort(nullptr);
                    break;
                case PacketEnd::QuitDuring:
                    QCoreApplication::quit();
                    break;
                case PacketEnd::ExitDuring:
                    QCoreApplication::exit(0);
                    break;
                case PacketEnd::QuitBefore:
                    break;
            }
        });
        if (end == PacketEnd::QuitBefore) QCoreApplication::quit();
        std::string s = "unchanged";
        const bool got = p.WaitForString(s);
        const bool expected = end == PacketEnd::Arrives ? got && s == "<ok>" : !got && s == "unchanged";
        std::_Exit(expected && !p.GetAutoEnable() ? 0 : 2);
    });
    QCoreApplication::exec();
    std::_Exit(3);
}
}  // namespace

TEST(DataPacketsDeathTest, AWaitForAPacketEndsWithItsPacketTimeOutCloseOrQuit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (PacketEnd end :
         {PacketEnd::Arrives, PacketEnd::TimesOut, PacketEnd::PortCloses, PacketEnd::PacketLetGo,
          PacketEnd::QuitBefore, PacketEnd::QuitDuring, PacketEnd::ExitDuring}) {
        SCOPED_TRACE(static_cast<int>(end));
        EXPECT_EXIT(waitForAPacket(end), ::testing::ExitedWithCode(0), "");
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
