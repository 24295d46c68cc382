// The port component: holds a port's settings, opens and closes it by creating and freeing
// a dispatcher, forwards reads, writes and triggers to it (negative results raise through
// CheckException), and turns the dispatcher's notifications into events on the GUI thread
// through its hidden trigger window.
#pragma once
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/MessageWindow.h"
#include "ports/ZpDispatcher.h"
#include "ports/ZpErrors.h"
#include "ports/ZpUtils.h"

enum TDeviceLayer : uint8_t { dlWin32 = 0, dlWinsock = 1 };
using TDeviceLayers = uint32_t;  // bit (1 << layer)
inline constexpr TDeviceLayers layerBit(TDeviceLayer l) {
    return 1u << l;
}
enum TParity : uint8_t { pNone = 0, pOdd = 1, pEven = 2, pMark = 3, pSpace = 4 };
// Hardware flow options (a set: OR of the bits).
enum THWFlowOption : uint32_t { hwfUseDTR = 1, hwfUseRTS = 2, hwfRequireDSR = 4, hwfRequireCTS = 8 };
using THWFlowOptions = uint32_t;
enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState : uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };
enum TApThreadBoost : uint8_t { tbNone, tbPlusOne, tbPlusTwo };
enum TZpCallbackType : uint8_t { ctOpen, ctClosing, ctClosed };

// Port state.
constexpr uint8_t psClosed = 0, psShuttingDown = 1, psOpen = 2;

class TZpCustomComPort;
using TTriggerEvent =
    std::function<void(TZpCustomComPort* CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TZpCustomComPort* CP, uint16_t Count)>;
using TTriggerHandleEvent = std::function<void(TZpCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent = std::function<void(TZpCustomComPort* CP, uint16_t Error, bool LineBreak)>;
using TPortNotifyEvent = std::function<void(TZpCustomComPort* CP)>;
using TWaitCharEvent = std::function<void(TZpCustomComPort* CP, char C)>;
using TPortCallback = std::function<void(TZpCustomComPort* CP, bool Opening)>;
using TPortCallbackEx = std::function<void(TZpCustomComPort* CP, TZpCallbackType CallbackType)>;
// Creates the dispatcher instead of ActivateDeviceLayer (tests, other device layers).
using TActivateDeviceLayerHook = std::function<TZpBaseDispatcher*(TZpCustomComPort* port)>;

class TZpCustomComPort : public TZpBaseComponent {
  public:
    explicit TZpCustomComPort(QObject* owner = nullptr);
    ~TZpCustomComPort() override;

    // ---- properties ----
    TDeviceLayer GetDeviceLayer() const { return deviceLayer_; }
    void SetDeviceLayer(TDeviceLayer layer);
    uint16_t GetComNumber() const { return comNumber_; }
    void SetComNumber(uint16_t n);
    // A device path (/dev/ttyUSB0, a pseudo-terminal) used instead of ComNumber when not empty.
    std::string GetComDevice() const { return comDevice_; }
    void SetComDevice(const std::string& path);
    int32_t GetBaud() const { return baud_; }
    void SetBaud(int32_t v);
    bool GetPromptForPort() const { return promptForPort_; }
    void SetPromptForPort(bool v) { promptForPort_ = v; }
    TParity GetParity() const { return parity_; }
    void SetParity(TParity v);
    uint16_t GetDataBits() const { return dataBits_; }
    void SetDataBits(uint16_t v);
    uint16_t GetStopBits() const { return stopBits_; }
    void SetStopBits(uint16_t v);
    uint16_t GetInSize() const { return inSize_; }
    void SetInSize(uint16_t v);
    uint16_t GetOutSize() const { return outSize_; }
    void SetOutSize(uint16_t v);
    bool GetAutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool v) { autoOpen_ = v; }
    bool GetOpen() const { return open_; }
    void SetOpen(bool v);
    bool GetDTR() const { return dtr_; }
    void SetDTR(bool v);
    bool GetRTS() const { return rts_; }
    void SetRTS(bool v);
    THWFlowOptions GetHWFlowOptions() const { return hwFlowOptions_; }
    void SetHWFlowOptions(THWFlowOptions v);
    TSWFlowOptions GetSWFlowOptions() const { return swFlowOptions_; }
    void SetSWFlowOptions(TSWFlowOptions v);
    char GetXOnChar() const { return xonChar_; }
    void SetXOnChar(char v);
    char GetXOffChar() const { return xoffChar_; }
    void SetXOffChar(char v);
    uint16_t GetBufferFull() const { return bufferFull_; }
    void SetBufferFull(uint16_t v);
    uint16_t GetBufferResume() const { return bufferResume_; }
    void SetBufferResume(uint16_t v);
    TTraceLogState GetTracing() const { return tracing_; }
    void SetTracing(TTraceLogState v);
    TTraceLogState GetLogging() const { return logging_; }
    void SetLogging(TTraceLogState v);
    uint32_t GetTraceSize() const { return traceSize_; }
    void SetTraceSize(uint32_t v);
    uint32_t GetLogSize() const { return logSize_; }
    void SetLogSize(uint32_t v);
    std::string GetTraceName() const { return traceName_; }
    void SetTraceName(const std::string& v) { traceName_ = v; }
    std::string GetLogName() const { return logName_; }
    void SetLogName(const std::string& v) { logName_ = v; }
    bool GetTraceHex() const { return traceHex_; }
    void SetTraceHex(bool v) { traceHex_ = v; }
    bool GetLogHex() const { return logHex_; }
    void SetLogHex(bool v) { logHex_ = v; }
    bool GetTraceAllHex() const { return traceAllHex_; }
    void SetTraceAllHex(bool v) { traceAllHex_ = v; }
    bool GetLogAllHex() const { return logAllHex_; }
    void SetLogAllHex(bool v) { logAllHex_ = v; }
    bool GetUseMSRShadow() const { return useMSRShadow_; }
    virtual void SetUseMSRShadow(bool v);
    bool GetUseEventWord() const { return useEventWord_; }
    void SetUseEventWord(bool v);
    uint16_t GetCommNotificationLevel() const { return commNotificationLevel_; }
    void SetCommNotificationLevel(uint16_t v) { commNotificationLevel_ = v; }
    TTapiMode GetTapiMode() const { return tapiMode_; }
    void SetTapiMode(TTapiMode v) { tapiMode_ = v; }
    // The device handle a telephony line hands over (its open tty), used when TapiMode is tmOn.
    uint16_t GetTapiCid() const { return tapiCid_; }
    void SetTapiCid(uint16_t cid) { tapiCid_ = cid; }
    bool GetRS485Mode() const { return rs485Mode_; }
    void SetRS485Mode(bool v);
    TApThreadBoost GetThreadBoost() const { return threadBoost_; }
    void SetThreadBoost(TApThreadBoost v);
    uint16_t GetTriggerLength() const { return triggerLength_; }
    void SetTriggerLength(uint16_t v);
    uint16_t GetBaseAddress() const { return baseAddress_; }
    void SetBaseAddress(uint16_t v);
    uint8_t PortState() const { return portState_; }
    TDeviceLayers SupportedLayers() const { return supportedLayers_; }
    WindowHandle TriggerWindow() const { return triggerWindow_ ? triggerWindow_->handle() : 0; }
    void SetActivateHook(TActivateDeviceLayerHook hook) { activateHook_ = std::move(hook); }

    // ---- events (setting a trigger event updates the dispatcher's handler flag) ----
    const TTriggerEvent& GetOnTrigger() const { return onTrigger_; }
    void SetOnTrigger(TTriggerEvent e);
    const TTriggerAvailEvent& GetOnTriggerAvail() const { return onTriggerAvail_; }
    void SetOnTriggerAvail(TTriggerAvailEvent e);
    const TTriggerHandleEvent& GetOnTriggerData() const { return onTriggerData_; }
    void SetOnTriggerData(TTriggerHandleEvent e);
    const TTriggerHandleEvent& GetOnTriggerStatus() const { return onTriggerStatus_; }
    void SetOnTriggerStatus(TTriggerHandleEvent e);
    const TTriggerHandleEvent& GetOnTriggerTimer() const { return onTriggerTimer_; }
    void SetOnTriggerTimer(TTriggerHandleEvent e);
    const TTriggerLineErrorEvent& GetOnTriggerLineError() const { return onTriggerLineError_; }
    void SetOnTriggerLineError(TTriggerLineErrorEvent e);
    const TPortNotifyEvent& GetOnTriggerModemStatus() const { return onTriggerModemStatus_; }
    void SetOnTriggerModemStatus(TPortNotifyEvent e);
    const TPortNotifyEvent& GetOnTriggerOutbuffFree() const { return onTriggerOutbuffFree_; }
    void SetOnTriggerOutbuffFree(TPortNotifyEvent e);
    const TPortNotifyEvent& GetOnTriggerOutbuffUsed() const { return onTriggerOutbuffUsed_; }
    void SetOnTriggerOutbuffUsed(TPortNotifyEvent e);
    const TPortNotifyEvent& GetOnTriggerOutSent() const { return onTriggerOutSent_; }
    void SetOnTriggerOutSent(TPortNotifyEvent e);
    TPortNotifyEvent OnPortOpen;
    TPortNotifyEvent OnPortClose;
    TWaitCharEvent OnWaitChar;

    // ---- users ----
    void RegisterUser(WindowHandle h);
    void RegisterUserEx(WindowHandle h);
    void RegisterUserCallback(const void* key, TPortCallback cb);
    void RegisterUserCallbackEx(const void* key, TPortCallbackEx cb);
    void DeregisterUser(WindowHandle h);
    void DeregisterUserCallback(const void* key);
    void DeregisterUserCallbackEx(const void* key);

    // ---- forwarding family ----
    TZpBaseDispatcher* Dispatcher();
    TZpBaseDispatcher* ValidDispatcher();
    void FlushInBuffer();
    void FlushOutBuffer();
    bool CharReady();
    char PeekChar(uint16_t count);
    char GetChar();
    void PeekBlock(void* block, uint16_t len);
    void GetBlock(void* block, uint16_t len);
    void PutChar(char c);
    void PutString(const std::string& s);
    int32_t PutBlock(const void* block, uint16_t len);
    uint16_t AddDataTrigger(const std::string& data, bool ignoreCase);
    uint16_t AddTimerTrigger();
    uint16_t AddStatusTrigger(uint16_t sType);
    void RemoveTrigger(uint16_t handle);
    void RemoveAllTriggers();
    void SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate);
    void SetStatusTrigger(uint16_t handle, uint16_t value, bool activate);
    void SendBreak(uint16_t ticks, bool yield);
    void SetBreak(bool on);
    void AddTraceEntry(char currentCh, char ch);
    void AddStringToLog(const std::string& s);
    virtual void ProcessCommunications();
    int32_t GetFlowState();
    uint8_t GetModemStatus();
    uint16_t GetLineError();
    bool DSR();
    bool CTS();
    bool RI();
    bool DCD();
    bool DeltaDSR();
    bool DeltaCTS();
    bool DeltaRI();
    bool DeltaDCD();
    bool LineBreak();
    uint32_t InBuffUsed();
    uint32_t InBuffFree();
    uint32_t OutBuffUsed();
    uint32_t OutBuffFree();

    // ---- waits ----
    bool WaitForString(const std::string& s, int32_t timeout, bool yield, bool ignoreCase);
    // The list's candidates are its non-empty parts between separators; the result counts them.
    int32_t WaitForMultiString(const std::string& list, int32_t timeout, bool yield, bool ignoreCase,
                               char separator);
    void PrepareWait();
    static bool CheckForString(uint16_t& index, char c, const std::string& s, bool ignoreCase);

    void Assign(const TZpCustomComPort& source);
    void ForcePortOpen();
    void Loaded();
    // "COM" followed by the number.
    static std::string ComName(uint16_t n);

  protected:
    // Virtual operations in the order of the port component.
    virtual TZpBaseDispatcher* ActivateDeviceLayer();
    virtual void DeviceLayerChanged();
    virtual int32_t InitializePort();
    virtual void RegisterComPort(bool enabling);
    virtual void ValidateComport();
    virtual void Trigger(uint16_t msg, uint16_t triggerHandle, uint16_t data);
    virtual void TriggerAvail(uint16_t count);
    virtual void TriggerData(uint16_t triggerHandle);
    virtual void TriggerStatus(uint16_t triggerHandle);
    virtual void TriggerTimer(uint16_t triggerHandle);
    virtual void UpdateHandlerFlag();
    virtual void TriggerLineError(uint16_t error, bool lineBreak);
    virtual void TriggerModemStatus();
    virtual void TriggerOutbuffFree();
    virtual void TriggerOutbuffUsed();
    virtual void TriggerOutSent();
    virtual void WaitChar(char c);
    virtual void DonePort();
    virtual void PortOpen();
    virtual void PortClose();
    virtual void PortClosing();
    virtual void InitPort();
    // The trigger window's procedure (ComWindowProc); a derived port may handle more messages
    // and pass the rest here.
    virtual LResult WindowProc(uint32_t msg, WParam w, LParam l);

    // Matches the candidates in parallel; the 1-based index of the first completed, 0 on time-out.
    // A wait ends only on a match, its time-out, a quit or the port's close.
    int32_t waitForAny(const std::vector<std::string>& cands, int32_t timeout, bool yield, bool ignoreCase);
    void endWait(TZpBaseDispatcher* d, bool wasBusy);
    void notifyUsers(uint32_t msg, TZpCallbackType ex, bool opening, bool closingOnly);
    bool deviceLayerSupported(TDeviceLayer l) const { return (supportedLayers_ & layerBit(l)) != 0; }
    int32_t check(int32_t code) { return CheckException(this, code); }
    void freeDispatcher();
    void readBackTapiSettings();

    TDeviceLayer deviceLayer_ = dlWin32;
    uint16_t comNumber_ = 0;
    std::string comDevice_;
    int32_t baud_ = 19200;
    bool promptForPort_ = true;
    TParity parity_ = pNone;
    uint16_t dataBits_ = 8;
    uint16_t stopBits_ = 1;
    uint16_t inSize_ = 4096;
    uint16_t outSize_ = 4096;
    bool autoOpen_ = true;
    bool open_ = false;
    bool dtr_ = true, rts_ = true;
    THWFlowOptions hwFlowOptions_ = 0;
    TSWFlowOptions swFlowOptions_ = swfNone;
    char xonChar_ = 17, xoffChar_ = 19;
    uint16_t bufferFull_ = 0, bufferResume_ = 0;
    TTraceLogState tracing_ = tlOff, logging_ = tlOff;
    uint32_t traceSize_ = 10000, logSize_ = 10000;
    std::string traceName_ = "ZPORT.TRC", logName_ = "ZPORT.LOG";
    bool traceHex_ = true, logHex_ = true;
    bool traceAllHex_ = false, logAllHex_ = false;
    bool useMSRShadow_ = true;
    bool useEventWord_ = true;
    uint16_t commNotificationLevel_ = 10;
    TTapiMode tapiMode_ = tmAuto;
    bool rs485Mode_ = false;
    uint16_t baseAddress_ = 0;

    bool force_ = false;
    // Depth of this port's trigger events running on the GUI thread.
    int inNotification_ = 0;
    struct InNotification {
        explicit InNotification(int& depth) : depth_(depth) { ++depth_; }
        ~InNotification() { --depth_; }
        int& depth_;
    };
    uint8_t portState_ = psClosed;
    bool reopenPending_ = false;
    bool openAtLoad_ = false;
    struct UserRec {
        WindowHandle handle = 0;
        const void* key = nullptr;
        TPortCallback callback;
        TPortCallbackEx callbackEx;
        bool extended = false;
    };
    std::vector<UserRec> users_;
    bool destroying_ = false;
    TTriggerSave savedTriggers_;
    bool busyBeforePrepare_ = false;
    bool prepared_ = false;
    std::unique_ptr<MessageWindow> triggerWindow_;
    TActivateDeviceLayerHook activateHook_;
    TDeviceLayers supportedLayers_ = layerBit(dlWin32);
    TZpBaseDispatcher* dispatcher_ = nullptr;
    uint16_t tapiCid_ = 0;
    TApThreadBoost threadBoost_ = tbNone;
    uint16_t triggerLength_ = 1;

    TTriggerEvent onTrigger_;
    TTriggerAvailEvent onTriggerAvail_;
    TTriggerHandleEvent onTriggerData_, onTriggerStatus_, onTriggerTimer_;
    TTriggerLineErrorEvent onTriggerLineError_;
    TPortNotifyEvent onTriggerModemStatus_, onTriggerOutbuffFree_, onTriggerOutbuffUsed_, onTriggerOutSent_;
};

// The same class with its properties published.
class TZpComPort : public TZpCustomComPort {
  public:
    explicit TZpComPort(QObject* owner = nullptr) : TZpCustomComPort(owner) {}
};

// The first TZpCustomComPort among the owner's components (depth first), or null.
TZpCustomComPort* SearchComPort(QObject* owner);
