#include "ports/ZpDataPacket.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include "ports/ZpErrors.h"

namespace {
std::vector<TZpDataPacketManager*>& managers() {
    static std::vector<TZpDataPacketManager*> list;
    return list;
}
// Managers whose packets are all gone and whose deferred free never came to run.
void freeIdleManagers() {
    for (TZpDataPacketManager* m : std::vector<TZpDataPacketManager*>(managers()))
        if (m->PacketCount() == 0 && !m->InEvent()) delete m;
}
char upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}
}  // namespace

// ---------------------------------------------------------------- TZpDataPacket

TZpDataPacket::TZpDataPacket(QObject* owner) : TZpBaseComponent(owner) {}

TZpDataPacket::~TZpDataPacket() {
    if (manager_) {
        if (enabled_) Disable();
        manager_->Remove(this);
    }
}

void TZpDataPacket::log(uint8_t subType, const std::string& text) {
    if (!port_ || port_->PortState() != psOpen) return;
    TZpBaseDispatcher* d = port_->Dispatcher();
    if (d && d->DLoggingOn())
        d->AddDispatchEntry(dtPacket, subType, 0, text.data(), static_cast<uint32_t>(text.size()));
}

void TZpDataPacket::SetComPort(TZpCustomComPort* port) {
    if (port == port_) return;
    bool was = enabled_;
    if (enabled_) Disable();
    if (manager_) manager_->Remove(this);
    manager_ = nullptr;
    port_ = port;
    if (port_) {
        TZpDataPacketManager* m = TZpDataPacketManager::GetPortManager(port_);
        if (!m) m = new TZpDataPacketManager(port_);
        m->Insert(this);
    }
    if (was && port_) Enable();
}

void TZpDataPacket::Notification(QObject* component, TOperation operation) {
    if (operation == opRemove) {
        if (component && component == port_) SetComPort(nullptr);
    } else if (!port_) {
        if (auto* port = dynamic_cast<TZpCustomComPort*>(component)) SetComPort(port);
    }
}

void TZpDataPacket::SetEnabled(bool v) {
    if (v == enabled_) return;
    if (v)
        Enable();
    else
        Disable();
}

void TZpDataPacket::SetStartCond(TPacketStartCond v) {
    bool was = enabled_;
    if (was) Disable();
    startCond_ = v;
    if (was) Enable();
}

void TZpDataPacket::SetEndCond(TPacketEndSet v) {
    bool was = enabled_;
    if (was) Disable();
    endCond_ = v;
    if (was) Enable();
}

void TZpDataPacket::SetStartString(const std::string& v) {
    bool was = enabled_;
    if (was) Disable();
    startString_ = v;
    if (was) Enable();
}

void TZpDataPacket::SetEndString(const std::string& v) {
    bool was = enabled_;
    if (was) Disable();
    endString_ = v;
    if (was) Enable();
}

void TZpDataPacket::SetIgnoreCase(bool v) {
    bool was = enabled_;
    if (was) Disable();
    ignoreCase_ = v;
    if (was) Enable();
}

void TZpDataPacket::SetPacketSize(int32_t v) {
    bool was = enabled_;
    if (was) Disable();
    packetSize_ = v;
    if (was) Enable();
}

void TZpDataPacket::prepare(const std::string& src, bool up, std::string& out, std::string& mask) {
    out.clear();
    mask.clear();
    for (size_t i = 0; i < src.size(); ++i) {
        char c = src[i];
        if (c == '\\' && i + 1 < src.size()) {
            out += up ? upper(src[++i]) : src[++i];
            mask += '0';
        } else if (c == '?') {
            out += '?';
            mask += '1';
        } else {
            out += up ? upper(c) : c;
            mask += '0';
        }
    }
}

bool TZpDataPacket::matches(const std::string& pat, const std::string& mask, size_t pos, char b) const {
    if (mask[pos] == '1') return true;
    return pat[pos] == b || (ignoreCase_ && pat[pos] == upper(b));
}

void TZpDataPacket::Enable() {
    if (Loading()) {
        enablePending_ = true;
        return;
    }
    if (manager_ && manager_->InEvent()) {
        // Armed when the event ends; a bad configuration is still refused now.
        checkConfig();
        enablePending_ = true;
        return;
    }
    Arm();
    if (manager_ && !manager_->Buffer().empty()) manager_->NotifyData(0);
}

void TZpDataPacket::checkConfig() const {
    if (startCond_ == scString) {
        if (startString_.empty()) throw EInvalidProperty(-5501);
        if ((endCond_ & ecPacketSize) && static_cast<int32_t>(startString_.size()) > packetSize_)
            throw EInvalidProperty(-5502);
    } else if (endCond_ == 0) {
        throw EInvalidProperty(-5503);
    }
    if ((endCond_ & ecString) && endString_.empty()) throw EInvalidProperty(-5504);
    if ((endCond_ & ecPacketSize) && packetSize_ == 0) throw EInvalidProperty(-5505);
}

void TZpDataPacket::Arm() {
    // Configuration is checked before anything is armed.
    checkConfig();
    enablePending_ = false;
    enabled_ = true;
    packetReceived_ = false;
    timedOut_ = false;
    log(dstPacketEnable, "Packet:" + objectName().toStdString());
    prepare(startString_, ignoreCase_, startPat_, startMask_);
    prepare(endString_, ignoreCase_, endPat_, endMask_);
    sizeLimit_ = packetSize_;
    startPos_ = 0;
    matchStart_ = -1;
    collectFrom_ = -1;
    if (manager_ && !manager_->Enabled() && port_ && port_->PortState() == psOpen) manager_->Enable();
    if (startCond_ == scString) {
        SetMode(dpWaitStart);
    } else if (manager_ && manager_->CaptureOwner() && manager_->CaptureOwner() != this) {
        waitForCapture_ = true;
        SetMode(dpIdle);
    } else {
        SetMode(dpCollecting);
    }
}

void TZpDataPacket::Disable() {
    enablePending_ = false;
    if (!enabled_) return;
    enabled_ = false;
    waitForCapture_ = false;
    log(dstPacketDisable, "Packet:" + objectName().toStdString());
    SetMode(dpIdle);
}

void TZpDataPacket::SetMode(TPacketMode m) {
    if (m == mode_) return;
    TPacketMode old = mode_;
    mode_ = m;
    log(m == dpIdle        ? dstPacketIdle
        : m == dpWaitStart ? dstPacketWaiting
                           : dstPacketCollecting,
        "Packet:" + objectName().toStdString());
    if (!manager_) return;
    if (m == dpCollecting) manager_->SetCapture(this, timeOut_);
    if (old == dpCollecting) manager_->ReleaseCapture(this);
}

void TZpDataPacket::CancelMatch() {
    startPos_ = 0;
    matchStart_ = -1;
    collectFrom_ = -1;
}

bool TZpDataPacket::ProcessData(int32_t start) {
    const std::string& buf = manager_->Buffer();
    int32_t i = start;
    while (enabled_ && i < static_cast<int32_t>(buf.size())) {
        if (mode_ == dpIdle) {
            if (!waitForCapture_) return true;
            waitForCapture_ = false;
            SetMode(dpCollecting);
            continue;
        }
        char b = buf[static_cast<size_t>(i)];
        if (mode_ == dpWaitStart) {
            if (matches(startPat_, startMask_, startPos_, b)) {
                if (startPos_ == 0) matchStart_ = i;
                ++startPos_;
                if (startPos_ == startPat_.size()) {
                    log(dstPacketStartStr, startString_);
                    if (endCond_ == 0) {
                        Packet(0, i);
                        return false;
                    }
                    collectFrom_ = i + 1;
                    SetMode(dpCollecting);
                    if (!enabled_) return true;
                    // The start string may already complete the size limit.
                    if ((endCond_ & ecPacketSize) && i - matchStart_ + 1 >= sizeLimit_) {
                        Packet(ecPacketSize, i);
                        return false;
                    }
                }
                ++i;
            } else if (startPos_ > 0) {
                // A broken partial match: search again one byte after its start.
                i = matchStart_ + 1;
                startPos_ = 0;
                matchStart_ = -1;
            } else {
                ++i;
            }
            continue;
        }
        // Collecting.
        if (matchStart_ < 0) matchStart_ = i;
        if (collectFrom_ < 0) collectFrom_ = matchStart_;
        if ((endCond_ & ecString) && !endPat_.empty()) {
            int32_t len = static_cast<int32_t>(endPat_.size());
            if (i - collectFrom_ + 1 >= len) {
                bool hit = true;
                for (int32_t k = 0; k < len && hit; ++k)
                    hit = matches(endPat_, endMask_, static_cast<size_t>(k),
                                  buf[static_cast<size_t>(i - len + 1 + k)]);
                if (hit) {
                    log(dstPacketEndStr, endString_);
                    Packet(ecString, i);
                    return false;
                }
            }
        }
        if ((endCond_ & ecPacketSize) && i - matchStart_ + 1 >= sizeLimit_) {
            Packet(ecPacketSize, i);
            return false;
        }
        ++i;
    }
    return true;
}

void TZpDataPacket::Packet(TPacketEndSet cond, int32_t endIndex) {
    TZpDataPacketManager* m = manager_;
    const std::string& buf = m->Buffer();
    int32_t from = matchStart_ < 0 ? 0 : matchStart_;
    int32_t size = endIndex - from + 1;
    if (startCond_ == scString && !includeStrings_) {
        int32_t sl = static_cast<int32_t>(startPat_.size());
        from += sl;
        size -= sl;
    }
    if (!includeStrings_ && cond == ecString) size -= static_cast<int32_t>(endPat_.size());
    if (size < 0) size = 0;
    data_ = buf.substr(static_cast<size_t>(from), static_cast<size_t>(size));
    m->SetInEvent(true);
    enablePending_ = false;  // this packet re-arms only by AutoEnable
    packetReceived_ = true;
    log(cond == ecPacketSize ? dstPacketSizePacket : dstPacketStringPacket, data_);
    std::string copy = data_;
    // Copies: a handler may assign new handlers while it runs.
    TPacketNotifyEvent onPacket = OnPacket;
    TStringPacketNotifyEvent onString = OnStringPacket;
    if (onPacket) onPacket(this, copy.data(), static_cast<int32_t>(copy.size()));
    if (onString) onString(this, copy);
    m->RemoveData(0, endIndex + 1);
    if (autoEnable_) enablePending_ = true;
    m->SetInEvent(false);
}

void TZpDataPacket::TimedOut() {
    TZpDataPacketManager* m = manager_;
    const std::string& buf = m->Buffer();
    // The bytes from the match start on; those before it belong to no packet yet.
    const size_t from = matchStart_ < 0 ? buf.size() : std::min(buf.size(), static_cast<size_t>(matchStart_));
    data_ = buf.substr(from);
    m->SetInEvent(true);
    enablePending_ = false;
    timedOut_ = true;
    log(dstPacketTimeout, "Packet:" + objectName().toStdString());
    TPacketTimeoutEvent onTimeout = OnTimeout;
    if (onTimeout) onTimeout(this);
    if (flushOnTimeout_) m->RemoveData(static_cast<int32_t>(from), static_cast<int32_t>(data_.size()));
    if (autoEnable_) enablePending_ = true;
    m->SetInEvent(false);
}

void TZpDataPacket::GetCollectedData(const char*& data, int32_t& size) const {
    data = data_.data();
    size = static_cast<int32_t>(data_.size());
}

bool TZpDataPacket::WaitForString(std::string& s) {
    const char* d = nullptr;
    int32_t n = 0;
    if (!WaitForPacket(d, n)) return false;
    s = data_;
    return true;
}

bool TZpDataPacket::WaitForPacket(const char*& data, int32_t& size) {
    autoEnable_ = false;
    packetReceived_ = false;
    timedOut_ = false;
    SetEnabled(true);
    // A start string that never comes has no time-out: the wait also ends when the application
    // is asked to quit and when the packet is let go (its port closed, gone or changed), since
    // nothing can arrive then.
    while (!packetReceived_ && !timedOut_ && enabled_ && port_ && port_->PortState() == psOpen) {
        const uint32_t r = SafeYield();
        if (r == WM_QUIT_CODE) break;
        if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!packetReceived_) return false;
    GetCollectedData(data, size);
    return true;
}

// ---------------------------------------------------------------- TZpDataPacketManager

TZpDataPacketManager::TZpDataPacketManager(TZpCustomComPort* port) : port_(port) {
    static bool routineAdded = false;
    if (!routineAdded && QCoreApplication::instance()) {
        qAddPostRoutine(freeIdleManagers);
        routineAdded = true;
    }
    managers().push_back(this);
    port_->RegisterUserCallbackEx(
        this, [this](TZpCustomComPort* cp, TZpCallbackType t) { PortOpenCloseEx(cp, t); });
    if (port_->PortState() == psOpen) Enable();
}

TZpDataPacketManager::~TZpDataPacketManager() {
    destroying_ = true;
    Disable();
    for (TZpDataPacket* p : packets_) p->manager_ = nullptr;
    auto& l = managers();
    l.erase(std::remove(l.begin(), l.end(), this), l.end());
    if (port_) port_->DeregisterUserCallbackEx(this);
}

TZpDataPacketManager* TZpDataPacketManager::GetPortManager(TZpCustomComPort* port) {
    for (TZpDataPacketManager* m : managers())
        if (m->port_ == port && !m->destroying_) return m;
    return nullptr;
}

void TZpDataPacketManager::PortDestroyed(TZpCustomComPort* port) {
    for (TZpDataPacketManager* m : managers()) {
        if (m->port_ != port) continue;
        for (TZpDataPacket* p : m->packets_) {
            p->enabled_ = false;
            p->mode_ = dpIdle;
            p->port_ = nullptr;
        }
        m->enabled_ = false;
        m->registeredWith_ = nullptr;
        m->capture_ = nullptr;
        m->port_ = nullptr;
    }
}

void TZpDataPacketManager::Insert(TZpDataPacket* p) {
    packets_.push_back(p);
    p->manager_ = this;
}

void TZpDataPacketManager::Remove(TZpDataPacket* p) {
    if (capture_ == p) ReleaseCapture(p);
    packets_.erase(std::remove(packets_.begin(), packets_.end(), p), packets_.end());
    p->manager_ = nullptr;
    if (packets_.empty() && !destroying_) scheduleFree();
}

void TZpDataPacketManager::scheduleFree() {
    if (freeScheduled_) return;
    freeScheduled_ = true;
    // Freed from the event loop, never while one of its own handlers is running.
    QTimer::singleShot(0, [this] {
        freeScheduled_ = false;
        if (!packets_.empty()) return;
        if (inEvent_) {
            scheduleFree();
            return;
        }
        delete this;
    });
}

TZpBaseDispatcher* TZpDataPacketManager::dispatcher() const {
    if (!port_ || port_->PortState() != psOpen) return nullptr;
    return port_->Dispatcher();
}

void TZpDataPacketManager::Enable() {
    if (enabled_) return;
    TZpBaseDispatcher* d = dispatcher();
    if (!d) {
        // A port without a dispatcher cannot feed packets.
        for (TZpDataPacket* p : packets_) p->Disable();
        return;
    }
    d->RegisterSyncEventTriggerHandler(this, [this](uint32_t msg, uint32_t trigger, int32_t lparam) {
        PacketTriggerHandler(msg, trigger, lparam);
    });
    registeredWith_ = d;
    int32_t h = d->AddTimerTrigger();
    timerHandle_ = h > 0 ? h : 0;
    enabled_ = true;
}

void TZpDataPacketManager::Disable() {
    if (!enabled_) return;
    enabled_ = false;
    TZpBaseDispatcher* d = dispatcher();
    if (d && d == registeredWith_) {
        d->DeregisterEventTriggerHandler(this);
        if (timerHandle_ > 0) d->RemoveTrigger(timerHandle_);
    }
    registeredWith_ = nullptr;
    timerHandle_ = 0;
    buffer_.clear();
    capture_ = nullptr;
}

void TZpDataPacketManager::PortOpenClose(TZpCustomComPort* cp, bool opening) {
    PortOpenCloseEx(cp, opening ? ctOpen : ctClosing);
}

void TZpDataPacketManager::PortOpenCloseEx(TZpCustomComPort*, TZpCallbackType type) {
    if (type == ctOpen) {
        Enable();
        for (TZpDataPacket* p : packets_)
            if (p->enablePending_ && !p->enabled_) p->Enable();
    } else if (type == ctClosing) {
        for (TZpDataPacket* p : packets_)
            if (p->enabled_) {
                p->Disable();
                p->enablePending_ = true;
            }
        Disable();
    }
}

void TZpDataPacketManager::PacketTriggerHandler(uint32_t msg, uint32_t trigger, int32_t) {
    TZpBaseDispatcher* d = registeredWith_;
    if (!d || !enabled_) return;
    if (msg == ZpTriggerAvail) {
        int32_t count = static_cast<int32_t>(trigger);
        if (count <= 0) return;
        std::string chunk(static_cast<size_t>(count), '\0');
        int32_t got = d->GetBlock(reinterpret_cast<uint8_t*>(chunk.data()), count);
        if (got <= 0) return;
        chunk.resize(static_cast<size_t>(got));
        int32_t old = static_cast<int32_t>(buffer_.size());
        buffer_ += chunk;
        NotifyData(old);
    } else if (msg == ZpTriggerTimer && timerHandle_ > 0 && static_cast<int32_t>(trigger) == timerHandle_) {
        if (capture_) capture_->TimedOut();
    }
}

void TZpDataPacketManager::NotifyData(int32_t start) {
    if (inEvent_) {
        pendingStart_ = notifyPending_ ? std::min(pendingStart_, start) : start;
        notifyPending_ = true;
        return;
    }
    if (buffer_.empty()) return;
    if (capture_) {
        capture_->ProcessData(start);
        return;
    }
    std::vector<TZpDataPacket*> list = packets_;
    for (TZpDataPacket* p : list) {
        if (std::find(packets_.begin(), packets_.end(), p) == packets_.end() || !p->enabled_) continue;
        if (!p->ProcessData(start)) return;  // a packet completed; the buffer was re-offered
        if (capture_) return;
    }
    bool inProgress = capture_ != nullptr;
    for (TZpDataPacket* p : packets_) inProgress = inProgress || (p->enabled_ && p->startPos_ > 0);
    if (!inProgress) buffer_.clear();
}

void TZpDataPacketManager::SetCapture(TZpDataPacket* p, int32_t timeOut) {
    capture_ = p;
    TZpBaseDispatcher* d = dispatcher();
    if (d && timerHandle_ > 0 && timeOut != 0) d->SetTimerTrigger(timerHandle_, timeOut, true);
    for (TZpDataPacket* o : packets_)
        if (o != p && o->enabled_ && o->mode_ == dpWaitStart) o->CancelMatch();
}

void TZpDataPacketManager::ReleaseCapture(TZpDataPacket* p) {
    if (capture_ != p) return;
    TZpBaseDispatcher* d = dispatcher();
    if (d && timerHandle_ > 0) d->SetTimerTrigger(timerHandle_, 0, false);
    capture_ = nullptr;
    NotifyData(0);
}

void TZpDataPacketManager::RemoveData(int32_t from, int32_t count) {
    const auto size = static_cast<int32_t>(buffer_.size());
    from = std::clamp(from, 0, size);
    count = std::min(count, size - from);
    if (count <= 0) return;
    buffer_.erase(static_cast<size_t>(from), static_cast<size_t>(count));
    // Every partial match starts over on the remaining bytes, which are offered again.
    for (TZpDataPacket* p : packets_) {
        p->CancelMatch();
        if (p->mode_ == dpCollecting) p->matchStart_ = 0;
    }
    pendingStart_ = 0;
    notifyPending_ = true;
}

void TZpDataPacketManager::SetInEvent(bool on) {
    if (on) {
        inEvent_ = true;
        for (TZpDataPacket* p : std::vector<TZpDataPacket*>(packets_))
            if (p->enabled_) {
                p->Disable();
                p->enablePending_ = true;
            }
        return;
    }
    inEvent_ = false;
    bool armed = false;
    for (TZpDataPacket* p : std::vector<TZpDataPacket*>(packets_)) {
        if (!p->enablePending_ || p->enabled_ || !enabled_) continue;
        try {
            p->Arm();
            armed = true;
        } catch (const EInvalidProperty&) {
            // Changed into a bad configuration by a handler: it stays off.
            p->enablePending_ = false;
        }
    }
    if (armed || notifyPending_) {
        const int32_t start = armed ? 0 : pendingStart_;
        notifyPending_ = false;
        NotifyData(start);
    }
}
