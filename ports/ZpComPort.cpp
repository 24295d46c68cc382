#include "ports/ZpComPort.h"

#include <QCoreApplication>
#include <QEvent>
#include <algorithm>
#include <cctype>

#include "platform/Dialogs.h"
#include "ports/ZpComDispatcher.h"
#include "ports/ZpDataPacket.h"
#include "ports/ZpPortSelect.h"

namespace {

// Sets a force flag for a scope and restores it afterwards.
struct Forced {
    explicit Forced(bool& flag) : flag_(flag), was_(flag) { flag_ = true; }
    ~Forced() { flag_ = was_; }
    Forced(const Forced&) = delete;
    Forced& operator=(const Forced&) = delete;
    bool& flag_;
    bool was_;
};

}  // namespace

TZpCustomComPort::TZpCustomComPort(QObject* owner) : TZpBaseComponent(owner) {
    // Starts watching the application: a quit asked before a wait starts still ends it.
    ZpApplicationTerminating();
}

TZpCustomComPort::~TZpCustomComPort() {
    destroying_ = true;
    try {
        if (portState_ == psOpen) DonePort();
    } catch (const std::exception&) {
    }
    freeDispatcher();
    users_.clear();
    TZpBaseDispatcher::ClearSaveBuffers(savedTriggers_);
    // A packet manager freed later must not reach back into this port.
    TZpDataPacketManager::PortDestroyed(this);
}

std::string TZpCustomComPort::ComName(uint16_t n) {
    return "COM" + std::to_string(n);
}

void TZpCustomComPort::freeDispatcher() {
    if (!dispatcher_) return;
    TZpBaseDispatcher* d = dispatcher_;
    dispatcher_ = nullptr;
    delete d;
}

// ---- open and close ----
void TZpCustomComPort::SetOpen(bool v) {
    // A close still under way holds Open false already: asked for again, it drops a reopen that
    // an Open := true meanwhile left pending, or the port would open against the caller's wish.
    if (!v && portState_ == psShuttingDown && !Loading()) {
        reopenPending_ = false;
        return;
    }
    if (v == open_) return;
    if (Loading()) {
        open_ = v;
        if (v) openAtLoad_ = true;
        return;
    }
    if (v) {
        if (portState_ == psShuttingDown) {
            reopenPending_ = true;
            return;
        }
        InitPort();
    } else {
        DonePort();
    }
}

void TZpCustomComPort::ForcePortOpen() {
    if (autoOpen_) openAtLoad_ = true;
}

void TZpCustomComPort::Loaded() {
    loading_ = false;
    if (openAtLoad_ || open_) {
        open_ = false;
        InitPort();
    }
}

void TZpCustomComPort::ValidateComport() {
    if (comNumber_ != 0 || !comDevice_.empty()) return;
    if (!promptForPort_) check(-2011);
    TComSelectForm form;
    if (form.ShowModal() != mrOk) check(-2011);
    SetComNumber(form.SelectedComNum());
    if (comNumber_ == 0) check(-2011);
}

TZpBaseDispatcher* TZpCustomComPort::ActivateDeviceLayer() {
    if (activateHook_) return activateHook_(this);
    if (deviceLayer_ == dlWin32)
        return tapiMode_ == tmOn ? new TZpTAPI32Dispatcher(this, tapiCid_) : new TZpWin32Dispatcher(this);
    check(-3001);
    return nullptr;
}

void TZpCustomComPort::DeviceLayerChanged() {}

int32_t TZpCustomComPort::InitializePort() {
    uint32_t options = 0;
    if (dtr_) options |= ipAssertDTR;
    if (rts_) options |= ipAssertRTS;
    if (hwFlowOptions_ & hwfUseDTR) options |= ipAutoDTR;
    if (hwFlowOptions_ & hwfUseRTS) options |= ipAutoRTS;
    if (useEventWord_) options |= ipUseEventWord;
    return dispatcher_->InitPort(dispatcher_->DeviceName, baud_, parity_, dataBits_, stopBits_, inSize_,
                                 outSize_, options);
}

void TZpCustomComPort::InitPort() {
    try {
        if (tapiMode_ != tmOn) ValidateComport();
        dispatcher_ = ActivateDeviceLayer();
        if (!dispatcher_) check(-3001);
        dispatcher_->DeviceName = comDevice_.empty() ? ComName(comNumber_) : comDevice_;
        if (tapiMode_ == tmOn) readBackTapiSettings();
        int32_t rc = InitializePort();
        if (rc == -5) rc = -2008;
        if (rc == -2 || rc == -3) rc = -2001;
        if (rc != 0) check(rc);
        portState_ = psOpen;
        UpdateHandlerFlag();
        force_ = true;
        try {
            SetTracing(tracing_);
            SetLogging(logging_);
            SetHWFlowOptions(hwFlowOptions_);
            SetSWFlowOptions(swFlowOptions_);
            SetXOnChar(xonChar_);
            SetXOffChar(xoffChar_);
            SetTriggerLength(triggerLength_);
            SetDTR(dtr_);
            SetRTS(rts_);
            SetUseEventWord(useEventWord_);
            SetRS485Mode(rs485Mode_);
            SetThreadBoost(threadBoost_);
        } catch (...) {
            force_ = false;
            throw;
        }
        force_ = false;
        open_ = true;
        RegisterComPort(true);
        if (savedTriggers_.saved) {
            dispatcher_->RestoreTriggers(savedTriggers_);
            TZpBaseDispatcher::ClearSaveBuffers(savedTriggers_);
        }
        PortOpen();
    } catch (...) {
        open_ = false;
        portState_ = psClosed;
        freeDispatcher();
        throw;
    }
}

// A port opened by a telephony layer: its device is open already and its settings are the
// dispatcher's, taken over into the properties.
void TZpCustomComPort::readBackTapiSettings() {
    if (dispatcher_->DeviceHandle() < 0) check(-2012);
    int32_t baud = 0, parity = 0, dataBits = 0, stopBits = 0;
    dispatcher_->GetLine(baud, parity, dataBits, stopBits);
    baud_ = baud;
    parity_ = static_cast<TParity>(std::clamp(parity, 0, 4));
    dataBits_ = static_cast<uint16_t>(dataBits);
    stopBits_ = static_cast<uint16_t>(stopBits);
    uint32_t hw = 0, sw = 0;
    int32_t full = bufferFull_, resume = bufferResume_;
    dispatcher_->GetFlowOptions(hw, sw, full, resume, xonChar_, xoffChar_);
    hwFlowOptions_ = hw & (hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS);
    static const TSWFlowOptions swModes[] = {swfNone, swfTransmit, swfReceive, swfBoth};
    swFlowOptions_ = swModes[sw & 3];
}

void TZpCustomComPort::DonePort() {
    if (portState_ != psOpen || !dispatcher_) return;
    // A dump that cannot be written must not keep the port open.
    try {
        SetTracing(tlDump);
    } catch (const std::exception&) {
        tracing_ = tlOff;
    }
    try {
        SetLogging(tlDump);
    } catch (const std::exception&) {
        logging_ = tlOff;
    }
    portState_ = psShuttingDown;
    open_ = false;
    PortClosing();
    dispatcher_->SaveTriggers(savedTriggers_);
    dispatcher_->DonePort();
    // Deferred only when asked from inside one of this port's notifications; a worker thread
    // that happens to be delivering one meanwhile is waited for, so that a reopen right after
    // this close opens at once.
    const bool deferred = dispatcher_->NotifyPending() || dispatcher_->ClosePending();
    if (deferred && (inNotification_ > 0 || !dispatcher_->FinishDeferredClose())) {
        postMessage(TriggerWindow(), ZpPortClosingMsg, 0, static_cast<LParam>(dispatcher_->Handle()) << 16);
        SafeYield();
    } else {
        RegisterComPort(false);
        freeDispatcher();
        portState_ = psClosed;
        open_ = false;
    }
    PortClose();
}

void TZpCustomComPort::RegisterComPort(bool enabling) {
    if (enabling) {
        // One window for the component's life: a notification for a closed port finds it and is dropped.
        if (!triggerWindow_)
            triggerWindow_ = std::make_unique<MessageWindow>(
                [this](uint32_t msg, WParam w, LParam l) -> LResult { return WindowProc(msg, w, l); });
        if (dispatcher_) dispatcher_->RegisterWndTriggerHandler(triggerWindow_->handle());
    } else if (dispatcher_ && triggerWindow_) {
        dispatcher_->DeregisterWndTriggerHandler(triggerWindow_->handle());
    }
}

LResult TZpCustomComPort::WindowProc(uint32_t msg, WParam w, LParam l) {
    if (!((msg >= ZpTriggerAvail && msg <= ZpTriggerStatus) || msg == ZpPortClosingMsg)) return 0;
    LockPortList();
    try {
        const int32_t idx = static_cast<int32_t>((static_cast<uint64_t>(l) >> 16) & 0xFFFF);
        TZpBaseDispatcher* d = PortListEntry(idx);
        if (d && d->Owner() == this) {
            if (msg == ZpPortClosingMsg) {
                Trigger(static_cast<uint16_t>(msg), static_cast<uint16_t>(w),
                        static_cast<uint16_t>(l & 0xFFFF));
                if (d->DispatcherActive() || d->ThreadCount() > 0) {
                    postMessage(TriggerWindow(), ZpPortClosingMsg, w, l);
                } else if (d == dispatcher_ && portState_ == psShuttingDown) {
                    RegisterComPort(false);
                    freeDispatcher();
                    portState_ = psClosed;
                    open_ = false;
                    if (reopenPending_) {
                        reopenPending_ = false;
                        InitPort();
                    }
                }
            } else if (d == dispatcher_ && portState_ == psOpen) {
                // Only the open port's own dispatcher is heard: nothing of a closing port is delivered.
                InNotification guard(inNotification_);
                const uint16_t data =
                    msg == ZpTriggerAvail ? static_cast<uint16_t>(w) : static_cast<uint16_t>(l & 0xFFFF);
                Trigger(static_cast<uint16_t>(msg), static_cast<uint16_t>(w), data);
                switch (msg) {
                    case ZpTriggerAvail:
                        TriggerAvail(static_cast<uint16_t>(w));
                        break;
                    case ZpTriggerData:
                        TriggerData(static_cast<uint16_t>(w));
                        break;
                    case ZpTriggerTimer:
                        TriggerTimer(static_cast<uint16_t>(w));
                        break;
                    case ZpTriggerStatus: {
                        TriggerStatus(static_cast<uint16_t>(w));
                        if (!dispatcher_ || portState_ != psOpen) break;
                        switch (dispatcher_->ClassifyStatusTrigger(static_cast<int32_t>(w))) {
                            case stModem:
                                TriggerModemStatus();
                                break;
                            case stLine: {
                                const uint16_t e = GetLineError();
                                TriggerLineError(e, LineBreak());
                                break;
                            }
                            case stOutBuffFree:
                                TriggerOutbuffFree();
                                break;
                            case stOutBuffUsed:
                                TriggerOutbuffUsed();
                                break;
                            case stOutSent:
                                TriggerOutSent();
                                break;
                            default:
                                break;
                        }
                        break;
                    }
                    default:
                        break;
                }
            }
        }
    } catch (const std::exception& e) {
        showException(QString::fromStdString(e.what()));
    } catch (...) {
        showException(QStringLiteral("Unknown error"));
    }
    UnlockPortList();
    return 0;
}

// ---- users ----
void TZpCustomComPort::RegisterUser(WindowHandle h) {
    users_.push_back({h, nullptr, {}, {}, false});
}
void TZpCustomComPort::RegisterUserEx(WindowHandle h) {
    users_.push_back({h, nullptr, {}, {}, true});
}
void TZpCustomComPort::RegisterUserCallback(const void* key, TPortCallback cb) {
    users_.push_back({0, key, std::move(cb), {}, false});
}
void TZpCustomComPort::RegisterUserCallbackEx(const void* key, TPortCallbackEx cb) {
    users_.push_back({0, key, {}, std::move(cb), true});
}
void TZpCustomComPort::DeregisterUser(WindowHandle h) {
    if (destroying_) return;
    for (size_t i = users_.size(); i > 0; --i)
        if (users_[i - 1].handle == h && h != 0) users_.erase(users_.begin() + static_cast<long>(i - 1));
}
void TZpCustomComPort::DeregisterUserCallback(const void* key) {
    if (destroying_) return;
    for (size_t i = users_.size(); i > 0; --i)
        if (users_[i - 1].key == key && users_[i - 1].callback)
            users_.erase(users_.begin() + static_cast<long>(i - 1));
}
void TZpCustomComPort::DeregisterUserCallbackEx(const void* key) {
    if (destroying_) return;
    for (size_t i = users_.size(); i > 0; --i)
        if (users_[i - 1].key == key && users_[i - 1].callbackEx)
            users_.erase(users_.begin() + static_cast<long>(i - 1));
}

void TZpCustomComPort::notifyUsers(uint32_t msg, TZpCallbackType ex, bool opening, bool closingOnly) {
    // A copy: a callback may register or deregister.
    const auto users = users_;
    for (size_t i = users.size(); i > 0; --i) {
        const UserRec& u = users[i - 1];
        if (closingOnly && !u.extended) continue;
        if (u.handle != 0)
            sendMessage(u.handle, msg, 0, 0);
        else if (u.extended && u.callbackEx)
            u.callbackEx(this, ex);
        else if (!u.extended && u.callback)
            u.callback(this, opening);
    }
}

void TZpCustomComPort::PortOpen() {
    notifyUsers(ZpPortOpenMsg, ctOpen, true, false);
    if (OnPortOpen) OnPortOpen(this);
}
void TZpCustomComPort::PortClose() {
    notifyUsers(ZpPortCloseMsg, ctClosed, false, false);
    if (OnPortClose) OnPortClose(this);
}
void TZpCustomComPort::PortClosing() {
    notifyUsers(ZpPortClosingMsg, ctClosing, false, true);
}

// ---- events ----
void TZpCustomComPort::UpdateHandlerFlag() {
    if (portState_ != psOpen || !dispatcher_) return;
    const bool any = onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ || onTriggerTimer_ ||
                     onTriggerLineError_ || onTriggerModemStatus_ || onTriggerOutbuffFree_ ||
                     onTriggerOutbuffUsed_ || onTriggerOutSent_;
    dispatcher_->UpdateHandlerFlags(any ? fuEnablePort : fuDisablePort);
}
void TZpCustomComPort::SetOnTrigger(TTriggerEvent e) {
    onTrigger_ = std::move(e);
    UpdateHandlerFlag();
}
void TZpCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent e) {
    onTriggerAvail_ = std::move(e);
    UpdateHandlerFlag();
}
void TZpCustomComPort::SetOnTriggerData(TTriggerHandleEvent e) {
    onTriggerData_ = std::move(e);
    UpdateHandlerFlag();
}
void TZpCustomComPort::SetOnTriggerStatus(TTriggerHandleEvent e) {
    onTriggerStatus_ = std::move(e);
    UpdateHandlerFlag();
}
void TZpCustomComPort::SetOnTriggerTimer(TTriggerHandleEvent e) {
    onTriggerTimer_ = std::move(e);
    UpdateHandlerFlag();
}
void TZpCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent e) {
    onTriggerLineError_ = std::move(e);
    UpdateHandlerFlag();
}
void TZpCustomComPort::SetOnTriggerModemStatus(TPortNotifyEvent e) {
    onTriggerModemStatus_ = std::move(e);
    UpdateHandlerFlag();
}
void TZpCustomComPort::SetOnTriggerOutbuffFree(TPortNotifyEvent e) {
    onTriggerOutbuffFree_ = std::move(e);
    UpdateHandlerFlag();
}
void TZpCustomComPort::SetOnTriggerOutbuffUsed(TPortNotifyEvent e) {
    onTriggerOutbuffUsed_ = std::move(e);
    UpdateHandlerFlag();
}
void TZpCustomComPort::SetOnTriggerOutSent(TPortNotifyEvent e) {
    onTriggerOutSent_ = std::move(e);
    UpdateHandlerFlag();
}

void TZpCustomComPort::Trigger(uint16_t msg, uint16_t h, uint16_t data) {
    if (onTrigger_) onTrigger_(this, msg, h, data);
}
void TZpCustomComPort::TriggerAvail(uint16_t count) {
    if (onTriggerAvail_) onTriggerAvail_(this, count);
}
void TZpCustomComPort::TriggerData(uint16_t h) {
    if (onTriggerData_) onTriggerData_(this, h);
}
void TZpCustomComPort::TriggerStatus(uint16_t h) {
    if (onTriggerStatus_) onTriggerStatus_(this, h);
}
void TZpCustomComPort::TriggerTimer(uint16_t h) {
    if (onTriggerTimer_) onTriggerTimer_(this, h);
}
void TZpCustomComPort::TriggerLineError(uint16_t error, bool lineBreak) {
    if (onTriggerLineError_) onTriggerLineError_(this, error, lineBreak);
}
void TZpCustomComPort::TriggerModemStatus() {
    if (onTriggerModemStatus_) onTriggerModemStatus_(this);
}
void TZpCustomComPort::TriggerOutbuffFree() {
    if (onTriggerOutbuffFree_) onTriggerOutbuffFree_(this);
}
void TZpCustomComPort::TriggerOutbuffUsed() {
    if (onTriggerOutbuffUsed_) onTriggerOutbuffUsed_(this);
}
void TZpCustomComPort::TriggerOutSent() {
    if (onTriggerOutSent_) onTriggerOutSent_(this);
}
void TZpCustomComPort::WaitChar(char c) {
    if (OnWaitChar) OnWaitChar(this, c);
}

// ---- properties ----
void TZpCustomComPort::SetDeviceLayer(TDeviceLayer layer) {
    if (portState_ != psClosed || !deviceLayerSupported(layer)) return;
    deviceLayer_ = layer;
    DeviceLayerChanged();
}

void TZpCustomComPort::SetComNumber(uint16_t n) {
    if (n == comNumber_ && !force_) return;
    if (portState_ != psOpen) {
        comNumber_ = n;
        return;
    }
    TTriggerSave save;
    dispatcher_->SaveTriggers(save);
    const TTraceLogState tr = tracing_, lg = logging_;
    SetOpen(false);
    comNumber_ = n;
    // The reopen applies them again: a running trace or log starts anew, a paused one is paused.
    tracing_ = tr;
    logging_ = lg;
    savedTriggers_ = save;
    SetOpen(true);
}

void TZpCustomComPort::SetComDevice(const std::string& path) {
    if (path == comDevice_) return;
    if (portState_ != psOpen) {
        comDevice_ = path;
        return;
    }
    TTriggerSave save;
    dispatcher_->SaveTriggers(save);
    SetOpen(false);
    comDevice_ = path;
    savedTriggers_ = save;
    SetOpen(true);
}

#define ZP_LINE_SETTER(Name, field, Type)                                      \
    void TZpCustomComPort::Set##Name(Type v) {                                 \
        if (v == field && !force_) return;                                     \
        field = v;                                                             \
        if (portState_ == psOpen && dispatcher_)                               \
            check(dispatcher_->SetLine(baud_, parity_, dataBits_, stopBits_)); \
    }
ZP_LINE_SETTER(Baud, baud_, int32_t)
ZP_LINE_SETTER(Parity, parity_, TParity)
ZP_LINE_SETTER(DataBits, dataBits_, uint16_t)
ZP_LINE_SETTER(StopBits, stopBits_, uint16_t)
#undef ZP_LINE_SETTER

void TZpCustomComPort::SetInSize(uint16_t v) {
    if (v == inSize_ && !force_) return;
    inSize_ = v;
    if (portState_ == psOpen && dispatcher_) check(dispatcher_->SetCommBuffers(inSize_, outSize_));
}
void TZpCustomComPort::SetOutSize(uint16_t v) {
    if (v == outSize_ && !force_) return;
    outSize_ = v;
    if (portState_ == psOpen && dispatcher_) check(dispatcher_->SetCommBuffers(inSize_, outSize_));
}
void TZpCustomComPort::SetDTR(bool v) {
    if (v == dtr_ && !force_) return;
    dtr_ = v;
    if (portState_ == psOpen && dispatcher_) check(dispatcher_->SetDtr(v));
}
void TZpCustomComPort::SetRTS(bool v) {
    if (v == rts_ && !force_) return;
    rts_ = v;
    if (portState_ == psOpen && dispatcher_) check(dispatcher_->SetRts(v));
}
void TZpCustomComPort::SetXOnChar(char v) {
    if (v == xonChar_ && !force_) return;
    xonChar_ = v;
    if (portState_ == psOpen && dispatcher_) check(dispatcher_->SWFlowChars(xonChar_, xoffChar_));
}
void TZpCustomComPort::SetXOffChar(char v) {
    if (v == xoffChar_ && !force_) return;
    xoffChar_ = v;
    if (portState_ == psOpen && dispatcher_) check(dispatcher_->SWFlowChars(xonChar_, xoffChar_));
}
void TZpCustomComPort::SetUseEventWord(bool v) {
    if (v == useEventWord_ && !force_) return;
    useEventWord_ = v;
    if (portState_ == psOpen && dispatcher_) {
        if (v)
            dispatcher_->OptionsOn(ipUseEventWord);
        else
            dispatcher_->OptionsOff(ipUseEventWord);
    }
}
void TZpCustomComPort::SetUseMSRShadow(bool v) {
    useMSRShadow_ = v;
}
void TZpCustomComPort::SetRS485Mode(bool v) {
    if (v == rs485Mode_ && !force_) return;
    rs485Mode_ = v;
    if (portState_ == psOpen && dispatcher_) dispatcher_->SetRS485Mode(v);
    if (v) {
        if (hwFlowOptions_ & (hwfUseRTS | hwfRequireCTS)) {
            const bool f = force_;
            force_ = false;
            SetHWFlowOptions(hwFlowOptions_ & ~(hwfUseRTS | hwfRequireCTS));
            force_ = f;
        }
        SetRTS(false);
    }
}
void TZpCustomComPort::SetThreadBoost(TApThreadBoost v) {
    if (v == threadBoost_ && !force_) return;
    threadBoost_ = v;
    if (portState_ == psOpen && dispatcher_) dispatcher_->SetThreadBoost(static_cast<uint8_t>(v));
}
void TZpCustomComPort::SetTriggerLength(uint16_t v) {
    if (v == triggerLength_ && !force_) return;
    triggerLength_ = v;
    if (portState_ == psOpen && dispatcher_) check(dispatcher_->ChangeLengthTrigger(v));
}
void TZpCustomComPort::SetBaseAddress(uint16_t v) {
    baseAddress_ = v;
}

void TZpCustomComPort::SetHWFlowOptions(THWFlowOptions v) {
    if (v == hwFlowOptions_ && !force_) return;
    if (v != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = static_cast<uint16_t>(inSize_ * 0.9);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
            bufferResume_ = static_cast<uint16_t>(inSize_ * 0.1);
    }
    if (portState_ == psOpen && dispatcher_) check(dispatcher_->HWFlowOptions(bufferFull_, bufferResume_, v));
    hwFlowOptions_ = v;
    // Through the setter: an open port leaves RS-485 too.
    if (v & (hwfUseRTS | hwfRequireCTS)) SetRS485Mode(false);
}

void TZpCustomComPort::SetSWFlowOptions(TSWFlowOptions v) {
    if (v == swFlowOptions_ && !force_) return;
    static const uint32_t modes[] = {0, 2, 1, 3};
    const uint32_t mode = modes[v];
    if (mode != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = static_cast<uint16_t>(inSize_ * 0.75);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
            bufferResume_ = static_cast<uint16_t>(inSize_ * 0.25);
    }
    if (portState_ == psOpen && dispatcher_)
        check(mode == 0 ? dispatcher_->SWFlowDisable()
                        : dispatcher_->SWFlowEnable(bufferFull_, bufferResume_, mode));
    swFlowOptions_ = v;
}

void TZpCustomComPort::SetBufferFull(uint16_t v) {
    if (v > inSize_) v = static_cast<uint16_t>(inSize_ * 0.9);
    bufferFull_ = v;
    Forced forced(force_);
    SetHWFlowOptions(hwFlowOptions_);
    SetSWFlowOptions(swFlowOptions_);
}

void TZpCustomComPort::SetBufferResume(uint16_t v) {
    if (v > bufferFull_) v = static_cast<uint16_t>(bufferFull_ * 0.1);
    bufferResume_ = v;
    Forced forced(force_);
    SetHWFlowOptions(hwFlowOptions_);
    SetSWFlowOptions(swFlowOptions_);
}

// ---- tracing and logging ----
void TZpCustomComPort::SetTracing(TTraceLogState v) {
    if (v == tracing_ && !force_) return;
    if (portState_ == psShuttingDown) return;
    if (portState_ != psOpen || !dispatcher_) {
        tracing_ = (v == tlOff || v == tlOn) ? v : tlOff;
        return;
    }
    TZpBaseDispatcher* d = dispatcher_;
    const bool running = tracing_ == tlOn || tracing_ == tlPause;
    switch (v) {
        case tlOff:
            d->AbortTracing();
            tracing_ = tlOff;
            break;
        case tlOn:
            if (tracing_ == tlPause && d->HasTrace())
                d->StartTracing();
            else
                check(d->InitTracing(static_cast<int32_t>(traceSize_)));
            tracing_ = tlOn;
            break;
        case tlDump:
        case tlAppend:
            if (running && d->HasTrace()) {
                d->StartTracing();
                tracing_ = tlOff;
                check(v == tlDump ? d->DumpTrace(traceName_, traceHex_, traceAllHex_)
                                  : d->AppendTrace(traceName_, traceHex_, traceAllHex_));
            }
            tracing_ = tlOff;
            break;
        case tlClear:
            if (running) d->ClearTracing();
            break;
        case tlPause:
            if (tracing_ == tlOn) {
                d->StopTracing();
                tracing_ = tlPause;
            } else if (tracing_ == tlPause && force_ && !d->HasTrace()) {
                // Applied anew (a reopen, a new size): a paused trace of the configured size.
                check(d->InitTracing(static_cast<int32_t>(traceSize_)));
                d->StopTracing();
            }
            break;
    }
}

void TZpCustomComPort::SetLogging(TTraceLogState v) {
    if (v == logging_ && !force_) return;
    if (portState_ == psShuttingDown) return;
    if (portState_ != psOpen || !dispatcher_) {
        logging_ = (v == tlOff || v == tlOn) ? v : tlOff;
        return;
    }
    TZpBaseDispatcher* d = dispatcher_;
    const bool running = logging_ == tlOn || logging_ == tlPause;
    switch (v) {
        case tlOff:
            d->AbortDispatchLogging();
            logging_ = tlOff;
            break;
        case tlOn:
            if (logging_ == tlPause && d->HasDispatchLog())
                d->StartDispatchLogging();
            else
                check(d->InitDispatchLogging(static_cast<int32_t>(logSize_)));
            logging_ = tlOn;
            break;
        case tlDump:
        case tlAppend:
            if (running && d->HasDispatchLog()) {
                d->StartDispatchLogging();
                logging_ = tlOff;
                check(v == tlDump ? d->DumpDispatchLog(logName_, logHex_, logAllHex_)
                                  : d->AppendDispatchLog(logName_, logHex_, logAllHex_));
            }
            logging_ = tlOff;
            break;
        case tlClear:
            if (running) d->ClearDispatchLogging();
            break;
        case tlPause:
            if (logging_ == tlOn) {
                d->StopDispatchLogging();
                logging_ = tlPause;
            } else if (logging_ == tlPause && force_ && !d->HasDispatchLog()) {
                check(d->InitDispatchLogging(static_cast<int32_t>(logSize_)));
                d->StopDispatchLogging();
            }
            break;
    }
}

void TZpCustomComPort::SetTraceSize(uint32_t v) {
    v = std::min<uint32_t>(v, MaxTraceEntries);
    if (v == traceSize_) return;
    traceSize_ = v;
    if (portState_ == psOpen && dispatcher_ && (tracing_ == tlOn || tracing_ == tlPause)) {
        // Started anew at the new size, in the state it had.
        dispatcher_->AbortTracing();
        Forced forced(force_);
        SetTracing(tracing_);
    }
}

void TZpCustomComPort::SetLogSize(uint32_t v) {
    v = std::min<uint32_t>(v, 16000000);
    if (v == logSize_) return;
    logSize_ = v;
    if (portState_ == psOpen && dispatcher_ && (logging_ == tlOn || logging_ == tlPause)) {
        dispatcher_->AbortDispatchLogging();
        Forced forced(force_);
        SetLogging(logging_);
    }
}

// ---- forwarding family ----
TZpBaseDispatcher* TZpCustomComPort::Dispatcher() {
    if (!dispatcher_ && !Loading() && portState_ == psClosed && autoOpen_) SetOpen(true);
    return dispatcher_;
}

TZpBaseDispatcher* TZpCustomComPort::ValidDispatcher() {
    TZpBaseDispatcher* d = Dispatcher();
    if (!d) check(-2007);
    return d;
}

void TZpCustomComPort::FlushInBuffer() {
    if (portState_ == psShuttingDown) return;
    check(ValidDispatcher()->FlushInBuffer());
}
void TZpCustomComPort::FlushOutBuffer() {
    if (portState_ == psShuttingDown) return;
    check(ValidDispatcher()->FlushOutBuffer());
}
bool TZpCustomComPort::CharReady() {
    if (portState_ == psShuttingDown) return false;
    return ValidDispatcher()->CharReady();
}
char TZpCustomComPort::PeekChar(uint16_t count) {
    if (portState_ == psShuttingDown) return 0;
    uint8_t c = 0;
    check(ValidDispatcher()->PeekChar(c, count));
    return static_cast<char>(c);
}
char TZpCustomComPort::GetChar() {
    if (portState_ == psShuttingDown) return 0;
    uint8_t c = 0;
    check(ValidDispatcher()->GetChar(c));
    return static_cast<char>(c);
}
void TZpCustomComPort::PeekBlock(void* block, uint16_t len) {
    if (portState_ == psShuttingDown) return;
    check(ValidDispatcher()->PeekBlock(static_cast<uint8_t*>(block), len));
}
void TZpCustomComPort::GetBlock(void* block, uint16_t len) {
    if (portState_ == psShuttingDown) return;
    check(ValidDispatcher()->GetBlock(static_cast<uint8_t*>(block), len));
}
void TZpCustomComPort::PutChar(char c) {
    if (portState_ == psShuttingDown) return;
    check(ValidDispatcher()->PutChar(static_cast<uint8_t>(c)));
}
void TZpCustomComPort::PutString(const std::string& s) {
    if (portState_ == psShuttingDown) return;
    check(ValidDispatcher()->PutString(s));
}
int32_t TZpCustomComPort::PutBlock(const void* block, uint16_t len) {
    if (portState_ == psShuttingDown) return 0;
    return check(ValidDispatcher()->PutBlock(static_cast<const uint8_t*>(block), len));
}
uint16_t TZpCustomComPort::AddDataTrigger(const std::string& data, bool ignoreCase) {
    if (portState_ == psShuttingDown) return 0;
    return static_cast<uint16_t>(check(ValidDispatcher()->AddDataTrigger(data, ignoreCase)));
}
uint16_t TZpCustomComPort::AddTimerTrigger() {
    if (portState_ == psShuttingDown) return 0;
    return static_cast<uint16_t>(check(ValidDispatcher()->AddTimerTrigger()));
}
uint16_t TZpCustomComPort::AddStatusTrigger(uint16_t sType) {
    if (portState_ == psShuttingDown) return 0;
    return static_cast<uint16_t>(check(ValidDispatcher()->AddStatusTrigger(sType)));
}
void TZpCustomComPort::RemoveTrigger(uint16_t handle) {
    if (portState_ == psOpen && dispatcher_) check(dispatcher_->RemoveTrigger(handle));
}
void TZpCustomComPort::RemoveAllTriggers() {
    if (portState_ != psOpen || !dispatcher_) {
        // The caller starts from no triggers: the ones saved at the last close are not
        // restored at the next open either, or every reconnect would add its own again.
        TZpBaseDispatcher::ClearSaveBuffers(savedTriggers_);
        return;
    }
    dispatcher_->RemoveAllTriggers();
    triggerLength_ = 0;
}
void TZpCustomComPort::SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate) {
    if (portState_ == psShuttingDown) return;
    check(ValidDispatcher()->SetTimerTrigger(handle, ticks, activate));
}
void TZpCustomComPort::SetStatusTrigger(uint16_t handle, uint16_t value, bool activate) {
    if (portState_ == psShuttingDown) return;
    check(ValidDispatcher()->SetStatusTrigger(handle, value, activate));
}
void TZpCustomComPort::SendBreak(uint16_t ticks, bool yield) {
    if (portState_ == psShuttingDown) return;
    check(ValidDispatcher()->SendBreak(ticks, yield));
}
void TZpCustomComPort::SetBreak(bool on) {
    if (portState_ == psShuttingDown) return;
    check(ValidDispatcher()->SetBreak(on));
}
void TZpCustomComPort::AddTraceEntry(char currentCh, char ch) {
    if (portState_ == psShuttingDown) return;
    ValidDispatcher()->AddTraceEntry(currentCh, static_cast<uint8_t>(ch));
}
void TZpCustomComPort::AddStringToLog(const std::string& s) {
    if (portState_ == psShuttingDown) return;
    ValidDispatcher()->AddStringToLog(s);
}
void TZpCustomComPort::ProcessCommunications() {
    if (portState_ == psShuttingDown) return;
    check(ValidDispatcher()->ProcessCommunications());
}
int32_t TZpCustomComPort::GetFlowState() {
    if (portState_ == psShuttingDown) return 0;
    TZpBaseDispatcher* d = ValidDispatcher();
    const int32_t hw = check(d->HWFlowState());
    return hw != 0 ? hw : check(d->SWFlowState());
}
uint8_t TZpCustomComPort::GetModemStatus() {
    if (portState_ == psShuttingDown) return 0;
    return ValidDispatcher()->GetModemStatus();
}
uint16_t TZpCustomComPort::GetLineError() {
    if (portState_ != psOpen || !dispatcher_) return 0;
    return static_cast<uint16_t>(check(dispatcher_->GetLineError()));
}

#define ZP_STATUS_READ(Name, expr)                              \
    bool TZpCustomComPort::Name() {                             \
        if (portState_ != psOpen || !dispatcher_) return false; \
        return dispatcher_->expr;                               \
    }
ZP_STATUS_READ(DSR, CheckDSR())
ZP_STATUS_READ(CTS, CheckCTS())
ZP_STATUS_READ(RI, CheckRI())
ZP_STATUS_READ(DCD, CheckDCD())
ZP_STATUS_READ(DeltaDSR, CheckDeltaDSR())
ZP_STATUS_READ(DeltaCTS, CheckDeltaCTS())
ZP_STATUS_READ(DeltaRI, CheckDeltaRI())
ZP_STATUS_READ(DeltaDCD, CheckDeltaDCD())
ZP_STATUS_READ(LineBreak, CheckLineBreak())
#undef ZP_STATUS_READ

uint32_t TZpCustomComPort::InBuffUsed() {
    return portState_ == psOpen && dispatcher_ ? static_cast<uint32_t>(dispatcher_->InBuffUsed()) : 0;
}
uint32_t TZpCustomComPort::InBuffFree() {
    return portState_ == psOpen && dispatcher_ ? static_cast<uint32_t>(dispatcher_->InBuffFree()) : 0;
}
uint32_t TZpCustomComPort::OutBuffUsed() {
    return portState_ == psOpen && dispatcher_ ? static_cast<uint32_t>(dispatcher_->OutBuffUsed()) : 0;
}
uint32_t TZpCustomComPort::OutBuffFree() {
    return portState_ == psOpen && dispatcher_ ? static_cast<uint32_t>(dispatcher_->OutBuffFree()) : 0;
}

// ---- waits ----
bool TZpCustomComPort::CheckForString(uint16_t& index, char c, const std::string& s, bool ignoreCase) {
    if (s.empty()) return true;
    auto up = [&](char x) {
        return ignoreCase ? static_cast<char>(std::toupper(static_cast<unsigned char>(x))) : x;
    };
    if (up(c) == up(s[index])) {
        ++index;
        if (index >= s.size()) {
            index = 0;
            return true;
        }
    } else
        index = up(c) == up(s[0]) ? 1 : 0;
    return false;
}

void TZpCustomComPort::PrepareWait() {
    prepared_ = true;
    if (TZpBaseDispatcher* d = ValidDispatcher()) d->SetEventBusy(busyBeforePrepare_, true);
}

// Puts the dispatcher's busy flag back as it was before the wait (before PrepareWait when the
// wait was prepared), on every way out of the wait: a flag left set would keep every later
// notification from being delivered.
void TZpCustomComPort::endWait(TZpBaseDispatcher* d, bool wasBusy) {
    if (prepared_) wasBusy = busyBeforePrepare_;
    prepared_ = busyBeforePrepare_ = false;
    bool dummy;
    if (d && dispatcher_ == d) d->SetEventBusy(dummy, wasBusy);
}

int32_t TZpCustomComPort::WaitForMultiString(const std::string& list, int32_t timeout, bool yield,
                                             bool ignoreCase, char separator) {
    // Empty candidates (two separators together, one at either end) are left out: an empty
    // string matches at once and would end the wait before anything arrived.
    std::vector<std::string> cands;
    std::string cur;
    for (char c : list) {
        if (c != separator) {
            cur.push_back(c);
            continue;
        }
        if (!cur.empty()) cands.push_back(cur);
        cur.clear();
    }
    if (!cur.empty()) cands.push_back(cur);
    if (cands.size() > 127) cands.resize(127);
    if (cands.empty() || portState_ == psShuttingDown) {
        if (prepared_) endWait(dispatcher_, false);
        return 1;
    }
    return waitForAny(cands, timeout, yield, ignoreCase);
}

int32_t TZpCustomComPort::waitForAny(const std::vector<std::string>& cands, int32_t timeout, bool yield,
                                     bool ignoreCase) {
    TZpBaseDispatcher* d = nullptr;
    bool wasBusy = false;
    try {
        d = ValidDispatcher();
        d->SetEventBusy(wasBusy, true);
        std::vector<uint16_t> idx(cands.size(), 0);
        EventTimer t;
        NewTimer(t, timeout);
        int32_t result = 0;
        // One byte a round at most; every round without a match tests the timer and yields, so
        // that a wait over a buffer that never empties still ends on time and lets events run.
        while (dispatcher_ == d && portState_ == psOpen && !ZpApplicationTerminating()) {
            if (d->CharReady()) {
                uint8_t c = 0;
                if (d->GetChar(c) == 0) {
                    WaitChar(static_cast<char>(c));
                    for (size_t i = 0; i < cands.size() && result == 0; ++i)
                        if (CheckForString(idx[i], static_cast<char>(c), cands[i], ignoreCase))
                            result = static_cast<int32_t>(i) + 1;
                    if (result != 0) break;
                }
            }
            if (TimerExpired(t)) break;
            if (!yield)
                d->ExtractData();
            else if (SafeYield() == WM_QUIT_CODE)
                break;
        }
        endWait(d, wasBusy);
        return result;
    } catch (...) {
        endWait(d, wasBusy);
        throw;
    }
}

bool TZpCustomComPort::WaitForString(const std::string& s, int32_t timeout, bool yield, bool ignoreCase) {
    if (s.empty() || portState_ == psShuttingDown) {
        if (prepared_) endWait(dispatcher_, false);
        return true;
    }
    // The string is one candidate as it stands: it may hold any byte, a NUL too.
    return waitForAny({s}, timeout, yield, ignoreCase) == 1;
}

void TZpCustomComPort::Assign(const TZpCustomComPort& src) {
    users_ = src.users_;
    if (src.portState_ == psOpen && src.dispatcher_) src.dispatcher_->SaveTriggers(savedTriggers_);
    deviceLayer_ = src.deviceLayer_;
    comNumber_ = src.comNumber_;
    comDevice_ = src.comDevice_;
    baud_ = src.baud_;
    promptForPort_ = src.promptForPort_;
    parity_ = src.parity_;
    dataBits_ = src.dataBits_;
    stopBits_ = src.stopBits_;
    inSize_ = src.inSize_;
    outSize_ = src.outSize_;
    autoOpen_ = src.autoOpen_;
    dtr_ = src.dtr_;
    rts_ = src.rts_;
    hwFlowOptions_ = src.hwFlowOptions_;
    swFlowOptions_ = src.swFlowOptions_;
    xonChar_ = src.xonChar_;
    xoffChar_ = src.xoffChar_;
    bufferFull_ = src.bufferFull_;
    bufferResume_ = src.bufferResume_;
    tracing_ = src.tracing_;
    logging_ = src.logging_;
    traceSize_ = src.traceSize_;
    logSize_ = src.logSize_;
    traceName_ = src.traceName_;
    logName_ = src.logName_;
    traceHex_ = src.traceHex_;
    logHex_ = src.logHex_;
    traceAllHex_ = src.traceAllHex_;
    logAllHex_ = src.logAllHex_;
    useMSRShadow_ = src.useMSRShadow_;
    useEventWord_ = src.useEventWord_;
    commNotificationLevel_ = src.commNotificationLevel_;
    tapiMode_ = src.tapiMode_;
    rs485Mode_ = src.rs485Mode_;
    threadBoost_ = src.threadBoost_;
    triggerLength_ = src.triggerLength_;
    onTrigger_ = src.onTrigger_;
    onTriggerAvail_ = src.onTriggerAvail_;
    onTriggerData_ = src.onTriggerData_;
    onTriggerStatus_ = src.onTriggerStatus_;
    onTriggerTimer_ = src.onTriggerTimer_;
    onTriggerLineError_ = src.onTriggerLineError_;
    onTriggerModemStatus_ = src.onTriggerModemStatus_;
    onTriggerOutbuffFree_ = src.onTriggerOutbuffFree_;
    onTriggerOutbuffUsed_ = src.onTriggerOutbuffUsed_;
    onTriggerOutSent_ = src.onTriggerOutSent_;
    open_ = false;
}

TZpCustomComPort* SearchComPort(QObject* owner) {
    if (!owner) return nullptr;
    for (QObject* c : owner->children()) {
        if (auto* p = dynamic_cast<TZpCustomComPort*>(c)) return p;
        if (auto* p = SearchComPort(c)) return p;
    }
    return nullptr;
}
