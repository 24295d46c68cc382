// The per-port engine under the port component: the device layer (abstract), the input
// and output rings, line/modem/flow state, triggers and their notification to registered
// handlers, and the character trace and dispatch log. One dispatcher exists per open port;
// its handle is its slot in the process-wide port list.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MessageWindow.h"
#include "platform/Serial.h"
#include "ports/ZpUtils.h"

class TZpBaseDispatcher;

// Notification messages.
constexpr uint32_t ZpTriggerAvail = 0x7E01;
constexpr uint32_t ZpTriggerData = 0x7E02;
constexpr uint32_t ZpTriggerTimer = 0x7E03;
constexpr uint32_t ZpTriggerStatus = 0x7E04;
constexpr uint32_t ZpPortOpenMsg = 0x7E08;
constexpr uint32_t ZpPortCloseMsg = 0x7E09;
constexpr uint32_t ZpPortClosingMsg = 0x7E0A;  // also the deferred close of the trigger window

constexpr int32_t InputRingSize = 8192;
constexpr int32_t MaxTrigData = 21;  // longest data trigger string
constexpr int32_t MaxTraceEntries = 4000000;
constexpr int32_t SendNotifyTimeoutMs = 3000;

// Status trigger kinds.
constexpr int32_t stNotActive = 0, stModem = 1, stLine = 2, stOutBuffFree = 3, stOutBuffUsed = 4,
                  stOutSent = 5;
// Trigger types returned by FindTriggerFromHandle.
constexpr int32_t ttNone = 0, ttAvail = 1, ttTimer = 2, ttData = 3, ttStatus = 4;
// Dispatch-log types and subtypes.
enum TDispatchType : uint8_t {
    dtNone = 0,
    dtDispatch = 1,
    dtTrigger = 2,
    dtError = 3,
    dtTriggerAlloc = 5,
    dtTriggerDispose = 6,
    dtTriggerHandlerAlloc = 7,
    dtTriggerHandlerDispose = 8,
    dtTriggerDataChange = 9,
    dtTelnet = 10,
    dtPacket = 18,
    dtUser = 19
};
enum TDispatchSubType : uint8_t {
    dstNone = 0,
    dstReadCom = 1,
    dstWriteCom = 2,
    dstAvail = 5,
    dstTimer = 6,
    dstData = 7,
    dstStatus = 8,
    dstDataTrigger = 13,
    dstTimerTrigger = 14,
    dstStatusTrigger = 15,
    dstAvailTrigger = 16,
    dstWndHandler = 17,
    dstProcHandler = 18,
    dstEventHandler = 19,
    dstTelnetSendWill = 20,
    dstTelnetSendWont = 21,
    dstTelnetSendDo = 22,
    dstTelnetSendDont = 23,
    dstTelnetRecvWill = 24,
    dstTelnetRecvWont = 25,
    dstTelnetRecvDo = 26,
    dstTelnetRecvDont = 27,
    dstTelnetCmd = 28,
    dstTelnetSendTermType = 29,
    dstPacketEnable = 242,
    dstPacketDisable = 243,
    dstPacketStringPacket = 244,
    dstPacketSizePacket = 245,
    dstPacketTimeout = 246,
    dstPacketStartStr = 247,
    dstPacketEndStr = 248,
    dstPacketIdle = 249,
    dstPacketWaiting = 250,
    dstPacketCollecting = 251
};
enum TApHandlerFlagUpdate { fuKeepPort = 0, fuEnablePort = 1, fuDisablePort = 2 };

// Dispatcher options.
constexpr uint32_t ipAssertDTR = 0x01, ipAssertRTS = 0x02, ipUseEventWord = 0x04, ipAutoDTR = 0x10,
                   ipAutoRTS = 0x20;

// Handlers: (Msg, Trigger, LParam). Event handlers carry an owner key for deregistration.
using TApdNotifyProc = void (*)(uint32_t Msg, uint32_t Trigger, int32_t LParam);
using TApdNotifyEvent = std::function<void(uint32_t Msg, uint32_t Trigger, int32_t LParam)>;

struct TTimerTrigger {
    int32_t tHandle = 0;
    EventTimer tET;
    int32_t tTicks = 0;
    bool tActive = false;
};
struct TDataTrigger {
    int32_t tHandle = 0;
    int32_t tLen = 0;
    int32_t tChkIndex[MaxTrigData + 1] = {};
    bool tMatched = false;
    bool tIgnoreCase = false;
    char tData[MaxTrigData + 1] = {};
};
struct TStatusTrigger {
    int32_t tHandle = 0;
    int32_t tSType = 0;
    uint16_t tValue = 0;
    bool tSActive = false;
    bool tHit = false;
};
// A copy of a dispatcher's triggers, kept across a close and reopen.
struct TTriggerSave {
    int32_t tsLenTrigger = 0;
    std::vector<TTimerTrigger> tsTimerTriggers;
    std::vector<TDataTrigger> tsDataTriggers;
    std::vector<TStatusTrigger> tsStatusTriggers;
    bool saved = false;
};

// The process-wide port list.
void LockPortList();
void UnlockPortList();
// The dispatcher in slot handle (any class), or null, through a one-entry cache of the last
// slot asked for. Call with the port list locked.
TZpBaseDispatcher* PortListEntry(int32_t handle);
// The dispatcher in slot handle when it is a DeviceClass, else null.
template <class DeviceClass>
DeviceClass* GetTComRecPtr(int32_t handle) {
    LockPortList();
    auto* d = dynamic_cast<DeviceClass*>(PortListEntry(handle));
    UnlockPortList();
    return d;
}

// Synchronised handler calls still waiting for the GUI thread (for tests: none is ever left).
size_t ZpPendingSyncCalls();

class TZpBaseDispatcher {
  public:
    explicit TZpBaseDispatcher(void* owner);
    virtual ~TZpBaseDispatcher();
    TZpBaseDispatcher(const TZpBaseDispatcher&) = delete;
    TZpBaseDispatcher& operator=(const TZpBaseDispatcher&) = delete;

    void* Owner() const { return owner_; }
    int32_t Handle() const { return handle_; }
    std::string DeviceName;

    // ---- device layer ----
    virtual int32_t EscapeComFunction(int32_t func) = 0;
    virtual int32_t FlushCom(int32_t queue) = 0;        // 0 output, 1 input
    virtual int32_t GetComError(CommStatus& stat) = 0;  // error bits
    // No layer keeps an event mask of its own: the events come from its wait.
    virtual uint32_t GetComEventMask(int32_t) { return 0; }
    virtual int32_t GetComState(CommState& dcb) = 0;
    virtual int32_t ReadCom(uint8_t* buf, int32_t size) = 0;
    virtual int32_t SetComState(CommState& dcb) = 0;
    virtual int32_t WriteCom(const uint8_t* buf, int32_t size) = 0;
    virtual bool WaitComEvent(uint32_t& evtMask) = 0;
    virtual bool SetupCom(int32_t inSize, int32_t outSize) = 0;
    virtual void DonePortPrim();
    virtual void StartDispatcher() = 0;
    virtual void StopDispatcher() = 0;
    virtual int32_t OpenCom(const char* comName, int32_t inQueue, int32_t outQueue) = 0;
    virtual int32_t CloseCom() = 0;
    virtual int32_t ProcessCommunications() = 0;
    virtual void SetThreadBoost(uint8_t boost);
    virtual void UpdateHandlerFlags(TApHandlerFlagUpdate flagUpdate);
    // Current modem lines (high nibble); the default keeps what the layer stored itself.
    virtual uint8_t GetCommModemStatus() { return modemStatus_ & 0xF0; }
    // Bytes the device itself has not yet sent (0 when the layer cannot tell).
    virtual int32_t DeviceOutQueue() { return 0; }
    // RS-485 keying by the device's driver: true when the driver now keys RTS around each
    // transmission (on); false when it cannot, and the dispatcher keys RTS itself.
    virtual bool DeviceRS485(bool on) {
        (void)on;
        return false;
    }
    // Called when the rings have room again or output was queued (wakes a worker thread).
    virtual void Wake() {}
    // True while the caller is one of this dispatcher's own worker threads.
    virtual bool OnWorkerThread() const { return false; }
    // A close deferred only because a worker thread was delivering a notification (the caller
    // is not inside one) is finished here and now: true once the layer has stopped.
    virtual bool FinishDeferredClose() { return false; }

    // ---- port life ----
    int32_t InitPort(const std::string& comName, int32_t baud, int32_t parity, int32_t dataBits,
                     int32_t stopBits, int32_t inSize, int32_t outSize, uint32_t options);
    int32_t InitSocket(int32_t inSize, int32_t outSize);
    int32_t SetCommBuffers(int32_t inSize, int32_t outSize);
    void DonePort();
    int32_t DeviceHandle() const { return cidValue_.load(); }

    // ---- input ring ----
    int32_t InBuffUsed();
    int32_t InBuffFree();
    bool CharReady();
    int32_t PeekChar(uint8_t& ch, int32_t index);
    int32_t GetChar(uint8_t& ch);
    int32_t PeekBlock(uint8_t* block, int32_t len);
    int32_t GetBlock(uint8_t* block, int32_t len);
    int32_t FlushInBuffer();
    // ---- output ----
    int32_t PutBlock(const uint8_t* block, int32_t len);
    int32_t PutChar(uint8_t ch) { return PutBlock(&ch, 1); }
    int32_t PutString(const std::string& s) {
        return PutBlock(reinterpret_cast<const uint8_t*>(s.data()), static_cast<int32_t>(s.size()));
    }
    int32_t OutBuffUsed();
    int32_t OutBuffFree();
    int32_t FlushOutBuffer();
    void BufferSizes(int32_t& inSize, int32_t& outSize) const;
    int32_t InSize() const { return inQue_; }
    int32_t OutSize() const { return outQue_; }

    // ---- triggers ----
    int32_t AddTimerTrigger();
    int32_t SetTimerTrigger(int32_t handle, int32_t ticks, bool activate);
    int32_t ExtendTimer(int32_t handle, int32_t ticks);
    int32_t TimerTicksRemaining(int32_t handle, int32_t& remaining);
    int32_t AddDataTriggerLen(const char* data, bool ignoreCase, int32_t len);
    int32_t AddDataTrigger(const std::string& data, bool ignoreCase) {
        return AddDataTriggerLen(data.data(), ignoreCase, static_cast<int32_t>(data.size()));
    }
    int32_t AddStatusTrigger(int32_t sType);
    int32_t SetStatusTrigger(int32_t handle, int32_t value, bool activate);
    int32_t RemoveTrigger(int32_t handle);
    int32_t ChangeLengthTrigger(int32_t length);
    int32_t LengthTrigger();
    void RemoveAllTriggers();
    int32_t ClassifyStatusTrigger(int32_t handle) const { return handle & 7; }
    void SaveTriggers(TTriggerSave& save);
    void RestoreTriggers(const TTriggerSave& save);
    static void ClearSaveBuffers(TTriggerSave& save);
    // Trigger type of a handle (ttNone when unknown).
    int32_t TriggerType(int32_t handle);

    // ---- handlers ----
    void RegisterWndTriggerHandler(WindowHandle wnd);
    void RegisterProcTriggerHandler(TApdNotifyProc proc);
    void RegisterEventTriggerHandler(const void* key, TApdNotifyEvent method);
    void RegisterSyncEventTriggerHandler(const void* key, TApdNotifyEvent method);
    void DeregisterWndTriggerHandler(WindowHandle wnd);
    void DeregisterProcTriggerHandler(TApdNotifyProc proc);
    void DeregisterEventTriggerHandler(const void* key);
    void SetEventBusy(bool& wasOn, bool setOn);
    bool NotifyPending() const { return notifyPending_.load(); }
    bool ClosePending() const { return closePending_.load(); }
    bool DispatcherActive() const { return dispActive_.load(); }
    int32_t ThreadCount() const { return threadCount_.load(); }

    // ---- misc ----
    void OptionsOn(uint32_t options);
    void OptionsOff(uint32_t options);
    bool OptionsAreOn(uint32_t options);
    int32_t SetDataPointer(void* p, int32_t index);
    int32_t GetDataPointer(void*& p, int32_t index);
    void SetRS485Mode(bool on);
    bool RS485Mode() const { return rs485Mode_; }
    // True while the dispatcher, not the driver, keys RTS in RS-485 mode.
    bool KeysRS485() const { return rs485Manual_.load(); }
    // After the output ring has emptied: drops RTS raised for it once the driver's queue is
    // empty and 18 character times have passed, or once the queue has had twice the time its
    // bytes need at the line's speed. Never waits itself: returns the milliseconds after which
    // it wants to be asked again (0 when RTS is no longer keyed), so that the I/O thread goes
    // on reading input meanwhile.
    int32_t ReleaseRS485Key();
    uint8_t ThreadBoost() const { return threadBoost_; }

    // ---- line, modem and flow control ----
    int32_t SetLine(int32_t baud, int32_t parity, int32_t dataBits, int32_t stopBits);
    int32_t ChangeBaud(int32_t baud) { return SetLine(baud, 5, 9, 3); }
    void GetLine(int32_t& baud, int32_t& parity, int32_t& dataBits, int32_t& stopBits);
    int32_t SetCommStateFix(CommState& dcb);
    int32_t SetDtr(bool on);
    int32_t SetRts(bool on);
    int32_t SetModem(bool dtr, bool rts);
    bool DtrState() const { return dtrState_; }
    bool RtsState() const { return rtsState_; }
    int32_t SendBreak(int32_t ticks, bool yield);
    int32_t SetBreak(bool on);
    uint8_t GetModemStatusPrim(uint8_t clearMask);
    uint8_t GetModemStatus() { return GetModemStatusPrim(0xF0); }
    bool CheckCTS();
    bool CheckDSR();
    bool CheckRI();
    bool CheckDCD();
    bool CheckDeltaCTS();
    bool CheckDeltaDSR();
    bool CheckDeltaRI();
    bool CheckDeltaDCD();
    void MapEventsToMS(uint32_t events);
    void RefreshStatus();
    int32_t GetLineError();
    bool CheckLineBreak();
    int32_t HWFlowOptions(int32_t bufferFull, int32_t bufferResume, uint32_t options);
    int32_t HWFlowState();
    int32_t SWFlowEnable(int32_t bufferFull, int32_t bufferResume, uint32_t options);
    int32_t SWFlowDisable();
    int32_t SWFlowState();
    int32_t SWFlowChars(char onChar, char offChar);
    void GetFlowOptions(uint32_t& hwOpts, uint32_t& swOpts, int32_t& bufferFull, int32_t& bufferResume,
                        char& onChar, char& offChar);
    // The wait before a line change, in milliseconds (after the output ring is empty).
    int32_t TxSentDelayMs();
    // Milliseconds the line takes to send the given number of characters.
    int64_t SendTimeMs(int64_t chars);
    // How the dispatcher waits for the transmitter; tests count the waits instead.
    virtual void SleepMs(int32_t ms);

    // ---- character trace ----
    int32_t InitTracing(int32_t numEntries);
    void AddTraceEntry(char kind, uint8_t ch);
    void StartTracing();
    void StopTracing();
    void ClearTracing();
    void AbortTracing();
    bool TracingOn();
    bool HasTrace();
    int32_t DumpTrace(const std::string& fileName, bool inHex, bool allHex);
    int32_t AppendTrace(const std::string& fileName, bool inHex, bool allHex);
    // ---- dispatch log ----
    int32_t InitDispatchLogging(int32_t queueSize);
    void StartDispatchLogging();
    void StopDispatchLogging();
    void ClearDispatchLogging();
    void AbortDispatchLogging();
    bool DLoggingOn();
    bool HasDispatchLog();
    void AddDispatchEntry(uint8_t type, uint8_t subType, uint32_t data, const void* buffer, uint32_t bufLen);
    void AddStringToLog(const std::string& s);
    int32_t DumpDispatchLog(const std::string& fileName, bool inHex, bool allHex);
    int32_t AppendDispatchLog(const std::string& fileName, bool inHex, bool allHex);
    uint32_t GetDispatchTime();

    // ---- the checks, run by a dispatcher's worker thread or timer ----
    bool ExtractData();
    bool CheckReceiveTriggers();
    bool CheckStatusTriggers();
    bool CheckTimerTriggers();
    bool CheckTriggers();
    void ResetStatusHits();
    void ResetDataTriggers();
    bool StatusHit() const { return statusHit_; }
    void ClearStatusHit() { statusHit_ = false; }
    // One full round as a device layer without threads runs it: read, status, receive, timers.
    void DispatchRound();
    bool MatchTriggerChar(TDataTrigger& t, uint8_t ch);

    // Tests and the dump header: the time source of the dispatch log.
    int64_t TimeBase() const { return timeBase_; }

  protected:
    // Every derived destructor calls this first: it closes the port while the device layer
    // still exists and waits until the layer's threads or timers are gone.
    void ClosePortForDestroy();
    // Sends one notification to every handler. False: stop checking this round.
    bool SendNotify(uint32_t msg, uint32_t trigger, uint16_t data);
    int32_t GetTriggerHandle();
    int32_t FindTriggerFromHandle(int32_t handle, bool del, int32_t& triggerType, void*& trigger);
    // Bytes in the output ring (output section held by the caller or not needed).
    int32_t OutRingUsed() const;
    int32_t PeekCharPrim(uint8_t& ch, int32_t index);
    int32_t PeekBlockPrim(uint8_t* block, int32_t offset, int32_t& newTail, int32_t len);
    int32_t DumpTracePrim(const std::string& fileName, bool append, bool inHex, bool allHex);
    int32_t DumpDispatchLogPrim(const std::string& fileName, bool append, bool inHex, bool allHex);
    bool PushDLEntry(const uint8_t* data, uint32_t size);
    void PopLastDLEntry();
    // Waits until the output ring and the driver's queue are empty (polled every 2 ms, at
    // most 5000 times), then 18 character times.
    void WaitTxSent();
    // In RS-485 mode, RTS up for a break (on) or down after it while nothing waits to be sent.
    void KeyForBreak(bool on);
    // Runs the synchronised event handler on the GUI thread; false when it was not run, or
    // not to its end, within 3 s.
    bool RunSynchronised(const TApdNotifyEvent& method, uint32_t msg, uint32_t trigger, int32_t lparam);

    void* owner_;
    int32_t handle_ = -1;
    std::atomic<int32_t> cidValue_{-1};
    uint32_t lastError_ = 0;  // line error bits
    // Error bits read where the data section cannot be taken; folded into lastError_ later.
    std::atomic<uint32_t> heldErrors_{0};
    int32_t inQue_ = 0;
    int32_t outQue_ = 0;
    uint8_t modemStatus_ = 0;
    CommStatus comStatus_;
    CommState dcb_;
    uint32_t lastBaud_ = 115200;
    uint32_t flags_ = 0;  // options
    bool dtrState_ = false, dtrAuto_ = false, rtsState_ = false, rtsAuto_ = false;
    bool rs485Mode_ = false;
    std::atomic<bool> rs485Manual_{false};  // RS-485 without the driver's keying
    std::atomic<bool> rtsKeyed_{false};     // RTS raised for output still on its way
    // While RTS waits to drop (ms of the program's clock, -1 for none): the latest time the
    // driver's queue may still hold bytes, and when the line is idle after it has emptied.
    int64_t keyBound_ = -1, keyIdleAt_ = -1;
    uint16_t baseAddress_ = 0;
    bool portHandlerInstalled_ = false;
    std::atomic<bool> handlerServiceNeeded_{false};

    struct WndHandler {
        WindowHandle wnd;
        bool deleted;
    };
    struct ProcHandler {
        TApdNotifyProc proc;
        bool deleted;
    };
    struct EventHandler {
        const void* key;
        TApdNotifyEvent method;
        bool deleted;
        bool sync;
    };
    // Removes the first live handler `match` accepts (only marks it while a notification runs).
    template <class List, class Match>
    void DeregisterHandler(List& list, Match match, uint8_t subType, uint32_t data);
    // Calls `call` with each live handler of `list` until `stop`; `after` follows each call.
    template <class List, class After, class Call>
    void NotifyHandlers(const List& list, const bool& stop, After after, Call call);

    std::vector<WndHandler> wndHandlers_;
    std::vector<ProcHandler> procHandlers_;
    std::vector<EventHandler> eventHandlers_;
    std::vector<TTimerTrigger> timerTriggers_;
    std::vector<TDataTrigger> dataTriggers_;
    std::vector<TStatusTrigger> statusTriggers_;

    int32_t lastTailIndex_ = 0;  // next index to check
    int32_t lenTrigger_ = 0;
    bool statusHit_ = false;
    bool inAvailMessage_ = false;
    std::atomic<int32_t> getCount_{0};
    int32_t maxGetCount_ = 0;
    bool dBufFull_ = false;
    // Bytes ever received and ever scanned: positions that never repeat, so a ring that
    // filled completely is still told apart from one that did not move.
    int64_t headTotal_ = 0, scanTotal_ = 0;
    int64_t lastAvailPos_ = -1;
    std::atomic<bool> killThreads_{false};
    uint8_t threadBoost_ = 0;

    std::recursive_mutex dataSection_;
    std::recursive_mutex outputSection_;
    std::recursive_mutex dispSection_;

    std::atomic<bool> ringSeen_{false};
    std::vector<uint8_t> outBuff_;
    int32_t outBuffHead_ = 0, outBuffTail_ = 0;
    bool outBuffFull_ = false;
    std::vector<uint8_t> dBuffer_;
    int32_t dBuffHead_ = 0, dBuffTail_ = 0;

    std::atomic<bool> notifyPending_{false};
    bool deletePending_ = false;
    std::atomic<bool> closePending_{false};
    std::atomic<bool> outSent_{false};

    bool tracingOn_ = false;
    std::vector<uint8_t> traceQueue_;  // pairs: kind, byte
    int32_t traceIndex_ = 0, traceMax_ = 0;
    bool traceWrapped_ = false;

    bool dLoggingOn_ = false;
    std::vector<uint8_t> dLoggingQueue_;
    uint32_t dLoggingHead_ = 0, dLoggingTail_ = 0, dLoggingFree_ = 0, dLoggingMax_ = 0;
    std::vector<uint8_t> dLoggingScratch_;

    int64_t timeBase_ = 0;
    int32_t triggerCounter_ = 1;
    std::atomic<bool> dispActive_{false};
    std::atomic<bool> doDonePortPrim_{false};
    std::atomic<int32_t> threadCount_{0};
    void* dataPointers_[3] = {};
    std::unique_ptr<MessageWindow> syncWindow_;
    bool inDonePortPrim_ = false;
    bool destroyed_ = false;
    // Win32-style error of the last failed OpenCom (2 not found, 5 access denied).
    int32_t openError_ = 0;
};
