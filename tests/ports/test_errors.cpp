// The port library's codes, the classes they raise and their messages; the tick timers; the
// socket component's start-up errors and the dispatch log's time column.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <new>
#include <typeindex>
#include <typeinfo>

#include "platform/Clock.h"
#include "platform/Winsock.h"
#include "ports/FakeSerial.h"
#include "ports/ZpErrors.h"
#include "ports/ZpSocket.h"
#include "ports/ZpUtils.h"
#include "support/TempEnv.h"

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

// Every code of the table raised once: the telephony codes each reach a class of their own with
// the code's text, and the number of codes with a specific class is the library's 157.
TEST(ErrorTable, EachTelephonyCodeHasItsOwnClassAndText) {
    std::map<std::type_index, int32_t> tapi;  // class -> code
    int specific = 0;
    for (int32_t code = -1; code >= -20000; --code) {
        try {
            CheckException(nullptr, code);
        } catch (const EZPException& e) {
            if (typeid(e) == typeid(EZPException)) continue;
            ++specific;
            EXPECT_EQ(e.ErrorCode, code);
            if (!is<ETapi>(e)) continue;
            const bool listed = code == -13801 || code == -13802 || (code <= -13805 && code >= -13848) ||
                                (code <= -13850 && code >= -13886) || (code <= -13928 && code >= -13932) ||
                                code == -13935 || code == -13936 || code == -13942;
            EXPECT_TRUE(listed) << code;
            EXPECT_TRUE(tapi.emplace(typeid(e), code).second)
                << code << " shares the class of " << tapi[typeid(e)];
            EXPECT_EQ(std::string(e.what()), ZpLoadStr(code));
            EXPECT_FALSE(e.what()[0] == 0 || std::string(e.what()).starts_with("Telephony error")) << code;
        } catch (...) {
        }
    }
    EXPECT_EQ(specific, 157);
    EXPECT_EQ(tapi.size(), 91u);
    const struct {
        int32_t code;
        std::type_index cls;
    } named[] = {{-13801, typeid(ETapiAllocated)},         {-13805, typeid(ETapiCallUnavail)},
                 {-13850, typeid(ETapiInvalParam)},        {-13928, typeid(ETapiBusy)},
                 {-13935, typeid(ETapiVoiceNotSupported)}, {-13942, typeid(ETapiTranslateFail)}};
    for (const auto& n : named) EXPECT_EQ(tapi.at(n.cls), n.code);
    // The classes no code reaches.
    for (const std::type_index unreached :
         {std::type_index(typeid(ETapiBearerModeUnavail)), std::type_index(typeid(ETapiUnexpected)),
          std::type_index(typeid(EVoIPNotSupported))})
        EXPECT_EQ(tapi.count(unreached), 0u);
    static_assert(std::is_base_of_v<ETapi, EVoIPNotSupported> && std::is_base_of_v<ETapi, ETapiUnexpected> &&
                  std::is_base_of_v<ETapi, ETapiBearerModeUnavail>);
    static_assert(std::is_base_of_v<EZpTerminal, EZpTermTooLarge> &&
                  std::is_base_of_v<EZPException, EZpTerminal>);
}

TEST(ErrorTable, SomeStatusEntriesHaveNoText) {
    for (int32_t code : {4200, 4600, 4630, 4660, 4725, 4726, 4727, 4728, 4730}) {
        EXPECT_EQ(ZpLoadStr(code), "") << code;
        std::string text = "x";
        MessageNumberToString(code, text);
        EXPECT_EQ(text, "") << code;
    }
    for (int32_t code : {4201, 4601, 4631, 4661, 4724}) EXPECT_NE(ZpLoadStr(code), "") << code;
}

TEST(ErrorTable, ReaderAndPhoneFailuresKeepTheirCodesAndPlaces) {
    const EZpParserError p(3, 7, "bad tag \xc3\xbc");
    const EZpFilterError& f = p;
    EXPECT_EQ(f.Line, 3);
    EXPECT_EQ(f.Column, 7);
    EXPECT_EQ(f.WideMessage, L"bad tag \u00fc");
    EXPECT_STREQ(p.what(), "bad tag \xc3\xbc");
    const EZpStreamError s(42, "short read");
    EXPECT_EQ(s.StreamCode, 42);
    EXPECT_EQ(s.ErrorCode, 0);
    EXPECT_EQ(XlatException(p), 0);
    EXPECT_TRUE(dynamic_cast<const EXML*>(&p));
    const EZpFilterError ff(9, 1, 2, "f");
    EXPECT_EQ(ff.StreamCode, 9);
    const EZpPagerException pager(-8301, "no pager");
    const EZpGSMPhoneException gsm(-8310, "no phone");
    EXPECT_EQ(pager.ErrorCode, -8301);
    EXPECT_EQ(gsm.ErrorCode, -8310);
    EXPECT_STREQ(gsm.what(), "no phone");
    EXPECT_EQ(XlatException(pager), -9999);  // not a port exception
}

namespace {
// A sockets table whose start-up answers with the given result and version.
int startupResult = 0;
uint16_t startupVersion = 0x0101;
int fakeStartup(uint16_t, ws::TWSAData* data) {
    data->wVersion = startupVersion;
    return startupResult;
}
struct TableGuard {
    ws::WinsockTable table = ws::systemWinsockTable();
    TableGuard() { ws::setWinsockTable(&table); }
    ~TableGuard() {
        ws::setWinsockTable(nullptr);
        ws::setWinsockMissing(false);
    }
};
}  // namespace

// A socket component whose library did not start refuses every operation with the start-up error.
TEST(SocketStartup, AMissingLibraryOrAWrongVersionIsRaisedByEveryCall) {
    const struct {
        const char* what;
        bool missing, noEntry;
        int result;
        uint16_t version;
        int32_t error;
        const char* message;
        bool window;
    } rows[] = {
        {"missing library", true, false, 0, 0x0101, 9002, "Error loading Winsock DLL", false},
        {"missing entry point", false, true, 0, 0x0101, 9002, "Error loading Winsock DLL", false},
        {"version 2.2", false, false, 0, 0x0202, 9003, "Incorrect version of Winsock", true},
        {"version 1.0", false, false, 0, 0x0001, 9003, "Incorrect version of Winsock", true},
        {"start-up failed", false, false, 10091, 0x0101, 10091, "The network subsystem is not ready", false},
        {"started", false, false, 0, 0x0101, 0, "", true},
    };
    for (const auto& r : rows) {
        TableGuard g;
        g.table.WSAStartup = fakeStartup;
        if (r.noEntry) g.table.select = nullptr;
        ws::setWinsockMissing(r.missing);
        startupResult = r.result;
        startupVersion = r.version;
        TZpSocket s;
        EXPECT_EQ(s.StartupError(), r.error) << r.what;
        EXPECT_EQ(s.GetHandle() != 0, r.window) << r.what;
        const std::function<void()> calls[] = {[&] { s.GetLastError(); }, [&] { s.CreateSocket(); },
                                               [&] { s.LookupService("telnet"); }, [&] { s.htons(1); },
                                               [&] { s.ConnectSocket(1, {}); }};
        for (const auto& call : calls) {
            if (r.error == 0) continue;
            try {
                call();
                ADD_FAILURE() << r.what << ": nothing raised";
            } catch (const EZpSocketException& e) {
                EXPECT_EQ(e.ErrorCode, r.error) << r.what;
                EXPECT_STREQ(e.what(), r.message) << r.what;
            }
        }
        if (r.error == 0) {
            EXPECT_EQ(s.htons(0x0102), 0x0201);
        }
    }
}

// The dispatch log's time column: milliseconds since the port opened, as seconds with three
// decimals and at least four digits before the point.
TEST(DispatchLog, TimesPrintAsSecondsWithThreeDecimals) {
    FakeClockGuard clock;
    TempEnv env;
    ManualDispatcher d(std::make_shared<FakeSerialState>());
    ASSERT_EQ(d.Open(), 0);
    ASSERT_EQ(d.InitDispatchLogging(4096), 0);
    int64_t at = 0;
    for (int64_t ms : {0, 5, 1234, 12345678}) {
        clock.fake.advanceMs(ms - at);
        at = ms;
        d.AddStringToLog("hi");
    }
    ASSERT_EQ(d.DumpDispatchLog(env.path("log"), false, false), 0);
    const std::string text = fileBytes(env.path("log"));
    const std::string rest = "  User                    00000000  hi\n";
    EXPECT_NE(text.find("\n\n0000.000" + rest + "0000.005" + rest + "0001.234" + rest + "12345.678" + rest),
              std::string::npos)
        << text;
}

namespace {
enum Raised { None, InOut, OutOfMemory, Plain, Specific, Socket };
}  // namespace

// The codes the serial and network ports can produce: each message word for word, the same for the
// code's absolute value, and what raising the code gives.
TEST(ErrorTable, TheMessagesOfThePortsCodes) {
    const struct Row {
        int32_t code;
        Raised raised;
        Group group;  // the specific class
        const char* text;
    } rows[] = {
        {0, None, nullptr, "OK"},
        {-2, InOut, nullptr, "File not found"},
        {-3, InOut, nullptr, "Path not found"},
        {-5, InOut, nullptr, "File access denied"},
        {-8, OutOfMemory, nullptr, "Insufficient memory"},
        {-1001, Plain, nullptr, "Bad handle passed to com function"},
        {-1002, Specific, is<EBadArgument>, "Bad argument passed to function"},
        {-1005, Specific, is<EPortNotAssigned>, "ComPort component not assigned"},
        {-1006, Specific, is<EInternal>, "Internal error creating window class"},
        {-2001, Specific, is<EBadId>, "ie_BadId - Specified comport doesn't exist"},
        {-2002, Specific, is<EBaudRate>, "ie_Baudrate - unsupported baud rate"},
        {-2003, Specific, is<EByteSize>, "ie_Bytesize - invalid byte size"},
        {-2004, Specific, is<EDefault>, "ie_Default - error in default parameters"},
        {-2005, Specific, is<EHardware>, "ie_Hardware - Specified comport in use"},
        {-2006, Specific, is<EMemory>, "ie_Memory - unable to allocate queues"},
        {-2007, Specific, is<ECommNotOpen>, "ie_NOpen - device not open"},
        {-2008, Specific, is<EAlreadyOpen>, "ie_Open - device already open"},
        {-2009, Specific, is<ENoHandles>, "No more handles, can't open port"},
        {-2010, Specific, is<ENoTimers>, "No timers available"},
        {-2011, Specific, is<ENoPortSelected>, "The ComNumber property of the TZpComPort has not been set"},
        {-2012, Specific, is<ENotOpenedByTapi>, "Comport was not opened by Tapi"},
        {-3001, Specific, is<ENullApi>, "No device layer specified"},
        {-3002, Plain, nullptr, "Function not supported by driver"},
        {-3003, Specific, is<ERegisterHandlerFailed>, "EnableCommNotification failed"},
        {-3004, Specific, is<EPutBlockFail>, "Failed to put entire block"},
        {-3005, Specific, is<EGetBlockFail>, "Failed to get entire block"},
        {-3006, Specific, is<EOutputBufferTooSmall>, "Output buffer too small for block"},
        {-3007, Specific, is<EBufferIsEmpty>, "Buffer is empty"},
        {-3008, Specific, is<ETracingNotEnabled>, "Tracing not enabled"},
        {-3009, Specific, is<ELoggingNotEnabled>, "Logging not enabled"},
        {-3010, Specific, is<EBaseAddressNotSet>, "Base address not set"},
        {-5001, Specific, is<ENoMoreTriggers>, "No more trigger slots"},
        {-5002, Specific, is<ETriggerTooLong>, "Data trigger too long"},
        {-5003, Plain, nullptr, "Bad trigger handle"},
        {9001, Socket, nullptr, "Port library error"},
        {9002, Socket, nullptr, "Error loading Winsock DLL"},
        {9003, Socket, nullptr, "Incorrect version of Winsock"},
        {9004, Socket, nullptr, "Winsock not initialized - %s"},
        {9005, Socket, nullptr, "Specified port is not valid"},
        {9006, Socket, nullptr, "Cannot change parameter while socket is connected"},
        {9007, Socket, nullptr, "Cannot resolve destination address"},
        {10039, Socket, nullptr, "The destination address is required for this operation"},
        {10052, Socket, nullptr, "The network has been reset"},
        {10053, Socket, nullptr, "The virtual circuit has been aborted due to timeout, etc"},
        {10054, Socket, nullptr, "The virtual circuit has been reset by the partner"},
        {10060, Socket, nullptr, "The operation timed out"},
        {10061, Socket, nullptr, "The attempt to connect was forcibly refused"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.code);
        EXPECT_EQ(ZpLoadStr(r.code), r.text);
        EXPECT_EQ(ZpLoadStr(-r.code), r.text);
        std::string listed;
        MessageNumberToString(r.code, listed);
        EXPECT_EQ(listed, r.text);
        try {
            if (r.raised == Socket) throw EZpSocketException(r.code, false, false);
            EXPECT_EQ(CheckException(nullptr, r.code), r.code);
            EXPECT_EQ(r.raised, None) << "raised nothing";
        } catch (const EZPException& e) {
            EXPECT_TRUE(r.raised == Specific || r.raised == Plain) << typeid(e).name();
            if (r.raised == Specific) {
                EXPECT_TRUE(r.group(e)) << typeid(e).name();
                EXPECT_EQ(e.ErrorCode, r.code);
                EXPECT_STREQ(e.what(), r.text);
            } else {
                EXPECT_EQ(typeid(e), typeid(EZPException));
                EXPECT_EQ(e.ErrorCode, 0);
                EXPECT_STREQ(e.what(), "Port exception");
            }
        } catch (const EInOutError& e) {
            EXPECT_EQ(r.raised, InOut);
            EXPECT_EQ(e.ErrorCode, -r.code);
            EXPECT_STREQ(e.what(), r.text);
        } catch (const std::bad_alloc&) {
            EXPECT_EQ(r.raised, OutOfMemory);
        } catch (const EZpSocketException& e) {
            EXPECT_EQ(e.ErrorCode, r.code);
            EXPECT_STREQ(e.what(), r.text);
        }
    }
}
