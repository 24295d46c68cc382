#include "ports/ZpDispatcher.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <thread>
#include <unordered_map>

// ---- the port list ----
namespace {
// Never destroyed: a halt on the way out of exit() and the ports' worker threads may still
// reach them after the static destructors ran.
std::recursive_mutex& portListMutex() {
    static auto* m = new std::recursive_mutex;
    return *m;
}
std::vector<TZpBaseDispatcher*>& portList() {
    static auto* l = new std::vector<TZpBaseDispatcher*>;
    return *l;
}
bool onGuiThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}
// The last slot looked up and its dispatcher (guarded by the port list's lock); a dispatcher
// going away clears it.
int32_t lastHandle = -1;
TZpBaseDispatcher* lastDispatcher = nullptr;
constexpr uint32_t ZpSyncCallMsg = 0x7E20;
struct SyncCall {
    TApdNotifyEvent method;
    uint32_t msg, trigger;
    int32_t lparam;
    bool finished = false;  // under syncCallMutex
};
// Calls waiting for the GUI thread, by number. A send that times out is cancelled, and its
// call never runs: the sender takes it out again, so nothing is left behind either way.
std::mutex& syncCallMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::unordered_map<uintptr_t, std::shared_ptr<SyncCall>>& syncCalls() {
    static auto* calls = new std::unordered_map<uintptr_t, std::shared_ptr<SyncCall>>;
    return *calls;
}
uintptr_t nextSyncCall = 1;  // under syncCallMutex
}  // namespace

size_t ZpPendingSyncCalls() {
    std::lock_guard g(syncCallMutex());
    return syncCalls().size();
}

void LockPortList() {
    portListMutex().lock();
}
void UnlockPortList() {
    portListMutex().unlock();
}

TZpBaseDispatcher* PortListEntry(int32_t handle) {
    std::lock_guard g(portListMutex());
    if (handle == lastHandle && lastDispatcher) return lastDispatcher;
    auto& l = portList();
    if (handle < 0 || handle >= static_cast<int32_t>(l.size()) || !l[handle]) return nullptr;
    lastHandle = handle;
    lastDispatcher = l[handle];
    return lastDispatcher;
}

TZpBaseDispatcher::TZpBaseDispatcher(void* owner) : owner_(owner) {
    std::lock_guard g(portListMutex());
    auto& l = portList();
    auto it = std::find(l.begin(), l.end(), nullptr);
    if (it != l.end()) {
        *it = this;
        handle_ = static_cast<int32_t>(it - l.begin());
    } else {
        l.push_back(this);
        handle_ = static_cast<int32_t>(l.size() - 1);
    }
}

void TZpBaseDispatcher::ClosePortForDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    if (closePending_.load())
        DonePortPrim();
    else
        DonePort();
    // The layer's threads end on their own once told to; wait for them.
    while (threadCount_.load() > 0) {
        if (SafeYield() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TZpBaseDispatcher::~TZpBaseDispatcher() {
    std::lock_guard g(portListMutex());
    auto& l = portList();
    if (handle_ >= 0 && handle_ < static_cast<int32_t>(l.size()) && l[handle_] == this) l[handle_] = nullptr;
    if (lastDispatcher == this) {
        lastDispatcher = nullptr;
        lastHandle = -1;
    }
    while (!l.empty() && l.back() == nullptr) l.pop_back();
}

void TZpBaseDispatcher::SetThreadBoost(uint8_t boost) {
    threadBoost_ = boost;
}

// ---- port life ----
int32_t TZpBaseDispatcher::InitPort(const std::string& comName, int32_t baud, int32_t parity,
                                    int32_t dataBits, int32_t stopBits, int32_t inSize, int32_t outSize,
                                    uint32_t options) {
    ringSeen_ = false;
    notifyPending_ = false;
    deletePending_ = false;
    openError_ = 0;
    int32_t rc = OpenCom(comName.c_str(), inSize, outSize);
    if (rc < 0) {
        if (rc != -8) rc = openError_ ? -openError_ : -1;
        DonePort();
        return rc;
    }
    cidValue_ = rc;
    rc = SetCommBuffers(inSize, outSize);
    if (rc < 0) {
        DonePort();
        return rc;
    }
    {
        std::lock_guard d(dispSection_);
        std::lock_guard o(outputSection_);
        dBuffer_.assign(InputRingSize, 0);
        outBuff_.assign(static_cast<size_t>(std::max(outSize, 1)), 0);
        dBuffHead_ = dBuffTail_ = 0;
        dBufFull_ = false;
        headTotal_ = scanTotal_ = 0;
        lastAvailPos_ = -1;
        inAvailMessage_ = false;
        outBuffHead_ = outBuffTail_ = 0;
        outBuffFull_ = false;
        inQue_ = inSize;
        outQue_ = outSize;
    }
    std::unique_lock lk(dataSection_);
    lastError_ = 0;
    outSent_ = false;
    closePending_ = false;
    rs485Mode_ = false;
    rs485Manual_ = false;
    rtsKeyed_ = false;
    baseAddress_ = 0;
    GetComState(dcb_);
    flags_ = options;
    if (options & ipAutoDTR)
        dtrAuto_ = true;
    else {
        dtrAuto_ = false;
        SetDtr((options & ipAssertDTR) != 0);
    }
    if (options & ipAutoRTS)
        rtsAuto_ = true;
    else {
        rtsAuto_ = false;
        SetRts((options & ipAssertRTS) != 0);
    }
    lastTailIndex_ = 0;
    RemoveAllTriggers();
    ResetStatusHits();
    modemStatus_ = 0;
    GetModemStatusPrim(0xF0);
    lastBaud_ = 115200;
    lk.unlock();
    rc = SetLine(baud, parity, dataBits, stopBits);
    if (rc < 0) {
        DonePort();
        return rc;
    }
    lk.lock();
    RefreshStatus();
    tracingOn_ = false;
    traceQueue_.clear();
    dLoggingOn_ = false;
    dLoggingQueue_.clear();
    timeBase_ = ZpTimeGetTime();
    lk.unlock();
    StartDispatcher();
    return 0;
}

int32_t TZpBaseDispatcher::InitSocket(int32_t inSize, int32_t outSize) {
    openError_ = 0;
    int32_t rc = OpenCom(nullptr, inSize, outSize);
    if (rc < 0) {
        DonePort();
        return -rc;
    }
    cidValue_ = rc;
    if (!SetupCom(0, 0)) {
        CommStatus st;
        const int32_t e = GetComError(st);
        DonePort();
        return -e;
    }
    {
        std::lock_guard d(dispSection_);
        dBuffer_.assign(InputRingSize, 0);
        dBuffHead_ = dBuffTail_ = 0;
        dBufFull_ = false;
        lastAvailPos_ = -1;
        inQue_ = inSize;
        outQue_ = outSize;
    }
    std::unique_lock lk(dataSection_);
    closePending_ = false;
    modemStatus_ = 0;
    RefreshStatus();
    timeBase_ = ZpTimeGetTime();
    lk.unlock();
    StartDispatcher();
    return 0;
}

int32_t TZpBaseDispatcher::SetCommBuffers(int32_t inSize, int32_t outSize) {
    if (!SetupCom(inSize, outSize)) return openError_ ? -openError_ : -1;
    return 0;
}

void TZpBaseDispatcher::DonePort() {
    if (cidValue_.load() >= 0) {
        FlushOutBuffer();
        FlushInBuffer();
        CloseCom();
    }
    if (!notifyPending_.load())
        DonePortPrim();
    else
        closePending_ = true;
}

void TZpBaseDispatcher::DonePortPrim() {
    doDonePortPrim_ = false;
    // No section is held while the layer stops: its worker may need one to finish a round.
    if (dispActive_.load()) StopDispatcher();
    // The sections in their one order: dispatch, data, output.
    std::lock_guard d(dispSection_);
    std::lock_guard lk(dataSection_);
    if (inDonePortPrim_) return;
    inDonePortPrim_ = true;
    {
        std::lock_guard o(outputSection_);
        outBuff_.clear();
        outBuff_.shrink_to_fit();
        dBuffer_.clear();
        dBuffer_.shrink_to_fit();
        outBuffHead_ = outBuffTail_ = dBuffHead_ = dBuffTail_ = 0;
        outBuffFull_ = dBufFull_ = false;
    }
    inDonePortPrim_ = false;
}

// ---- input ring ----
int32_t TZpBaseDispatcher::InBuffUsed() {
    std::lock_guard d(dispSection_);
    int32_t used;
    if (dBuffHead_ == dBuffTail_)
        used = dBufFull_ ? InputRingSize : 0;
    else
        used = (dBuffHead_ - dBuffTail_ + InputRingSize) % InputRingSize;
    if (inAvailMessage_) used -= getCount_.load();
    return used;
}

int32_t TZpBaseDispatcher::InBuffFree() {
    std::lock_guard d(dispSection_);
    int32_t used;
    if (dBuffHead_ == dBuffTail_)
        used = dBufFull_ ? InputRingSize : 0;
    else
        used = (dBuffHead_ - dBuffTail_ + InputRingSize) % InputRingSize;
    int32_t free = InputRingSize - used;
    if (inAvailMessage_) free += getCount_.load();
    return free;
}

bool TZpBaseDispatcher::CharReady() {
    std::lock_guard d(dispSection_);
    if (dBuffer_.empty()) return false;
    if (inAvailMessage_) {
        const int32_t gc = getCount_.load();
        const bool atEnd = dBuffHead_ == (dBuffTail_ + gc) % InputRingSize;
        return !(atEnd && !(dBufFull_ && gc < InputRingSize));
    }
    return dBuffHead_ != dBuffTail_ || dBufFull_;
}

int32_t TZpBaseDispatcher::PeekCharPrim(uint8_t& ch, int32_t index) {
    std::lock_guard d(dispSection_);
    if (dBuffer_.empty() || index < 1) return -3007;
    int32_t used;
    if (dBuffHead_ == dBuffTail_)
        used = dBufFull_ ? InputRingSize : 0;
    else
        used = (dBuffHead_ - dBuffTail_ + InputRingSize) % InputRingSize;
    if (used < index) return -3007;
    ch = dBuffer_[(dBuffTail_ + index - 1) % InputRingSize];
    return 0;
}

int32_t TZpBaseDispatcher::PeekChar(uint8_t& ch, int32_t index) {
    std::lock_guard d(dispSection_);
    if (inAvailMessage_) index += getCount_.load();
    return PeekCharPrim(ch, index);
}

int32_t TZpBaseDispatcher::GetChar(uint8_t& ch) {
    int32_t rc;
    {
        std::lock_guard d(dispSection_);
        if (inAvailMessage_) {
            const int32_t gc = getCount_.load() + 1;
            rc = PeekCharPrim(ch, gc);
            if (rc == 0) getCount_ = gc;
        } else {
            rc = PeekCharPrim(ch, 1);
            if (rc == 0) {
                dBuffTail_ = (dBuffTail_ + 1) % InputRingSize;
                dBufFull_ = false;
            }
        }
        if (rc == 0) {
            std::lock_guard lk(dataSection_);
            if (tracingOn_) AddTraceEntry('R', ch);
        }
    }
    if (rc == 0) Wake();
    return rc;
}

int32_t TZpBaseDispatcher::PeekBlockPrim(uint8_t* block, int32_t offset, int32_t& newTail, int32_t len) {
    std::lock_guard d(dispSection_);
    if (dBuffer_.empty() || len < 0) return -3007;
    int32_t used;
    if (dBuffHead_ == dBuffTail_)
        used = dBufFull_ ? InputRingSize : 0;
    else
        used = (dBuffHead_ - dBuffTail_ + InputRingSize) % InputRingSize;
    // Counted from the offset, not from the tail: during a notification the bytes already
    // handed out lie before the offset, and a block that reached past the head would be
    // filled with ring contents that were never received (or were read long ago).
    if (used - offset < len) return -3007;
    int32_t start = (dBuffTail_ + offset) % InputRingSize;
    const int32_t first = std::min(len, InputRingSize - start);
    std::memcpy(block, dBuffer_.data() + start, static_cast<size_t>(first));
    if (len > first) std::memcpy(block + first, dBuffer_.data(), static_cast<size_t>(len - first));
    newTail = (start + len) % InputRingSize;
    return len;
}

int32_t TZpBaseDispatcher::PeekBlock(uint8_t* block, int32_t len) {
    std::lock_guard d(dispSection_);
    int32_t nt = 0;
    return PeekBlockPrim(block, inAvailMessage_ ? getCount_.load() : 0, nt, len);
}

int32_t TZpBaseDispatcher::GetBlock(uint8_t* block, int32_t len) {
    int32_t rc;
    {
        std::lock_guard d(dispSection_);
        int32_t nt = 0;
        if (inAvailMessage_) {
            rc = PeekBlockPrim(block, getCount_.load(), nt, len);
            if (rc > 0) getCount_ += rc;
        } else {
            rc = PeekBlockPrim(block, 0, nt, len);
            if (rc > 0) {
                dBuffTail_ = nt;
                dBufFull_ = false;
            }
        }
        if (rc > 0) {
            std::lock_guard lk(dataSection_);
            if (tracingOn_)
                for (int32_t i = 0; i < rc; ++i) AddTraceEntry('R', block[i]);
        }
    }
    if (rc > 0) Wake();
    return rc;
}

int32_t TZpBaseDispatcher::FlushInBuffer() {
    FlushCom(1);
    {
        std::lock_guard d(dispSection_);
        if (inAvailMessage_) {
            int32_t used;
            if (dBuffHead_ == dBuffTail_)
                used = dBufFull_ ? InputRingSize : 0;
            else
                used = (dBuffHead_ - dBuffTail_ + InputRingSize) % InputRingSize;
            maxGetCount_ = used;
            // A full ring stays full until the notification's end moves the tail: cleared now,
            // the ring would read as empty while its tail stands still, and the dispatch thread
            // would fill it over bytes that the notification's handlers are still reading.
        } else {
            dBuffTail_ = dBuffHead_;
            getCount_ = 0;
            dBufFull_ = false;
        }
        // The trigger scan moves past the flushed bytes too: scanned later, they would fire
        // data triggers for input that was discarded.
        lastTailIndex_ = dBuffHead_;
        scanTotal_ = headTotal_;
        std::lock_guard lk(dataSection_);
        ResetDataTriggers();
    }
    Wake();
    return 0;
}

// ---- output ----
int32_t TZpBaseDispatcher::OutRingUsed() const {
    if (outBuffFull_) return outQue_;
    if (outBuffHead_ >= outBuffTail_) return outBuffHead_ - outBuffTail_;
    return outQue_ - outBuffTail_ + outBuffHead_;
}

int32_t TZpBaseDispatcher::PutBlock(const uint8_t* block, int32_t len) {
    if (len <= 0) return 0;
    int32_t written;
    {
        std::lock_guard o(outputSection_);
        CommStatus st;
        heldErrors_ |= static_cast<uint32_t>(GetComError(st)) & 0x1F;
        const int32_t room = outQue_ - static_cast<int32_t>(st.OutQueue);
        if (room < len) return -3006;
        // RTS goes up before the first bit can leave; the layer drops it after the last one.
        if (rs485Manual_.load()) {
            EscapeComFunction(SETRTS);
            rtsKeyed_ = true;
        }
        written = WriteCom(block, len);
        if (written < 1) {
            heldErrors_ |= static_cast<uint32_t>(GetComError(st)) & 0x1F;
            return -3004;
        }
        outSent_ = true;
    }
    {
        std::lock_guard lk(dataSection_);
        if (dLoggingOn_) AddDispatchEntry(dtDispatch, dstWriteCom, static_cast<uint32_t>(len), block, len);
        if (tracingOn_)
            for (int32_t i = 0; i < len; ++i) AddTraceEntry('T', block[i]);
    }
    Wake();
    return 0;
}

int32_t TZpBaseDispatcher::OutBuffUsed() {
    CommStatus st;
    // Error bits read on the way are kept for the line-status checks.
    heldErrors_ |= static_cast<uint32_t>(GetComError(st)) & 0x1F;
    return static_cast<int32_t>(st.OutQueue);
}

int32_t TZpBaseDispatcher::OutBuffFree() {
    return outQue_ - OutBuffUsed();
}

int32_t TZpBaseDispatcher::FlushOutBuffer() {
    return FlushCom(0);
}

void TZpBaseDispatcher::BufferSizes(int32_t& inSize, int32_t& outSize) const {
    inSize = inQue_;
    outSize = outQue_;
}

// ---- triggers ----
int32_t TZpBaseDispatcher::GetTriggerHandle() {
    if (triggerCounter_ < 4096) return triggerCounter_++ * 8;
    for (int32_t h = 8; h <= 4096; h += 8) {
        bool used = false;
        for (auto& t : timerTriggers_) used |= t.tHandle == h;
        for (auto& t : dataTriggers_) used |= t.tHandle == h;
        for (auto& t : statusTriggers_) used |= (t.tHandle & ~7) == h;
        if (!used) return h;
    }
    return 0;
}

int32_t TZpBaseDispatcher::AddTimerTrigger() {
    std::lock_guard lk(dataSection_);
    const int32_t h = GetTriggerHandle();
    if (h == 0) return -5001;
    TTimerTrigger t;
    t.tHandle = h;
    timerTriggers_.push_back(t);
    if (dLoggingOn_) AddDispatchEntry(dtTriggerAlloc, dstTimerTrigger, static_cast<uint32_t>(h), nullptr, 0);
    return h;
}

int32_t TZpBaseDispatcher::SetTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
    std::lock_guard lk(dataSection_);
    for (auto& t : timerTriggers_) {
        if (t.tHandle != handle) continue;
        if (ticks != 0) t.tTicks = ticks;
        NewTimer(t.tET, t.tTicks);
        t.tActive = activate;
        if (dLoggingOn_)
            AddDispatchEntry(dtTriggerDataChange, dstTimerTrigger, static_cast<uint32_t>(handle), &t.tTicks,
                             4);
        return 0;
    }
    return -5003;
}

int32_t TZpBaseDispatcher::ExtendTimer(int32_t handle, int32_t ticks) {
    std::lock_guard lk(dataSection_);
    for (auto& t : timerTriggers_) {
        if (t.tHandle != handle) continue;
        t.tET.ExpireTicks += ticks;
        if (dLoggingOn_)
            AddDispatchEntry(dtTriggerDataChange, dstTimerTrigger, static_cast<uint32_t>(handle), &ticks, 4);
        return 0;
    }
    return -5003;
}

int32_t TZpBaseDispatcher::TimerTicksRemaining(int32_t handle, int32_t& remaining) {
    std::lock_guard lk(dataSection_);
    for (auto& t : timerTriggers_) {
        if (t.tHandle != handle) continue;
        remaining = RemainingTime(t.tET);
        return 0;
    }
    return -5003;
}

int32_t TZpBaseDispatcher::AddDataTriggerLen(const char* data, bool ignoreCase, int32_t len) {
    if (len > MaxTrigData || len < 0) return -5002;
    std::lock_guard lk(dataSection_);
    const int32_t h = GetTriggerHandle();
    if (h == 0) return -5001;
    TDataTrigger t;
    t.tHandle = h;
    t.tLen = len;
    t.tIgnoreCase = ignoreCase;
    for (int32_t i = 0; i < len; ++i)
        t.tData[i] =
            ignoreCase ? static_cast<char>(std::toupper(static_cast<unsigned char>(data[i]))) : data[i];
    dataTriggers_.push_back(t);
    if (dLoggingOn_) AddDispatchEntry(dtTriggerAlloc, dstDataTrigger, static_cast<uint32_t>(h), data, len);
    return h;
}

int32_t TZpBaseDispatcher::AddStatusTrigger(int32_t sType) {
    if (sType >= 6 || sType < 0) return -1002;
    std::lock_guard lk(dataSection_);
    const int32_t h = GetTriggerHandle();
    if (h == 0) return -5001;
    TStatusTrigger t;
    t.tHandle = h + sType;
    t.tSType = sType;
    statusTriggers_.push_back(t);
    if (dLoggingOn_)
        AddDispatchEntry(dtTriggerAlloc, dstStatusTrigger, static_cast<uint32_t>(t.tHandle), nullptr, 0);
    return t.tHandle;
}

int32_t TZpBaseDispatcher::SetStatusTrigger(int32_t handle, int32_t value, bool activate) {
    std::lock_guard lk(dataSection_);
    for (auto& t : statusTriggers_) {
        if (t.tHandle != handle) continue;
        if (activate) {
            switch (t.tSType) {
                case stModem:
                    t.tValue = static_cast<uint16_t>(((value & 0xFF) << 8) | (value & modemStatus_ & 0xFF));
                    break;
                case stLine: {
                    uint16_t v = 0;
                    if (value & 1) v |= 2;
                    if (value & 2) v |= 4;
                    if (value & 4) v |= 8;
                    if (value & 8) v |= 16;
                    t.tValue = v;
                    break;
                }
                case stOutBuffFree:
                case stOutBuffUsed:
                    t.tValue = static_cast<uint16_t>(value);
                    break;
                default:
                    break;
            }
        }
        t.tSActive = activate;
        if (dLoggingOn_)
            AddDispatchEntry(dtTriggerDataChange, dstStatusTrigger, static_cast<uint32_t>(handle), &t.tValue,
                             2);
        return 0;
    }
    return -5003;
}

int32_t TZpBaseDispatcher::FindTriggerFromHandle(int32_t handle, bool del, int32_t& triggerType,
                                                 void*& trigger) {
    triggerType = ttNone;
    trigger = nullptr;
    if (handle < 2) return -5003;
    // Finds `key` in one list, then removes it (logging the disposal) or points at it.
    auto findIn = [&](auto& list, int32_t key, int32_t type, uint8_t subType) {
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].tHandle != key) continue;
            triggerType = type;
            if (del) {
                list.erase(list.begin() + static_cast<long>(i));
                if (dLoggingOn_)
                    AddDispatchEntry(dtTriggerDispose, subType, static_cast<uint32_t>(handle), nullptr, 0);
            } else
                trigger = &list[i];
            return true;
        }
        return false;
    };
    if (findIn(timerTriggers_, handle, ttTimer, dstTimer) ||
        findIn(statusTriggers_, handle, ttStatus, dstStatusTrigger) ||
        findIn(dataTriggers_, handle & ~7, ttData, dstData))
        return 0;
    return -5003;
}

int32_t TZpBaseDispatcher::TriggerType(int32_t handle) {
    std::lock_guard lk(dataSection_);
    if (handle == 1) return ttAvail;
    int32_t type;
    void* t;
    FindTriggerFromHandle(handle, false, type, t);
    return type;
}

int32_t TZpBaseDispatcher::RemoveTrigger(int32_t handle) {
    std::lock_guard lk(dataSection_);
    if (handle == 1) {
        lenTrigger_ = 0;
        return 0;
    }
    int32_t type;
    void* t;
    return FindTriggerFromHandle(handle, true, type, t);
}

int32_t TZpBaseDispatcher::ChangeLengthTrigger(int32_t length) {
    std::lock_guard lk(dataSection_);
    lenTrigger_ = length;
    if (dLoggingOn_)
        AddDispatchEntry(dtTriggerDataChange, dstAvailTrigger, static_cast<uint32_t>(length), nullptr, 0);
    return 0;
}

int32_t TZpBaseDispatcher::LengthTrigger() {
    std::lock_guard lk(dataSection_);
    return lenTrigger_;
}

void TZpBaseDispatcher::RemoveAllTriggers() {
    std::lock_guard lk(dataSection_);
    lenTrigger_ = 0;
    timerTriggers_.clear();
    dataTriggers_.clear();
    statusTriggers_.clear();
    triggerCounter_ = 1;
}

void TZpBaseDispatcher::SaveTriggers(TTriggerSave& save) {
    std::lock_guard lk(dataSection_);
    save.tsLenTrigger = lenTrigger_;
    save.tsTimerTriggers = timerTriggers_;
    save.tsDataTriggers = dataTriggers_;
    save.tsStatusTriggers = statusTriggers_;
    save.saved = true;
}

void TZpBaseDispatcher::RestoreTriggers(const TTriggerSave& save) {
    std::lock_guard lk(dataSection_);
    lenTrigger_ = save.tsLenTrigger;
    timerTriggers_ = save.tsTimerTriggers;
    dataTriggers_ = save.tsDataTriggers;
    statusTriggers_ = save.tsStatusTriggers;
    // Later handles must not collide with the restored ones.
    int32_t maxH = 0;
    for (auto& t : timerTriggers_) maxH = std::max(maxH, t.tHandle);
    for (auto& t : dataTriggers_) maxH = std::max(maxH, t.tHandle);
    for (auto& t : statusTriggers_) maxH = std::max(maxH, t.tHandle & ~7);
    triggerCounter_ = std::max(triggerCounter_, maxH / 8 + 1);
}

void TZpBaseDispatcher::ClearSaveBuffers(TTriggerSave& save) {
    save.tsTimerTriggers.clear();
    save.tsDataTriggers.clear();
    save.tsStatusTriggers.clear();
    save.tsLenTrigger = 0;
    save.saved = false;
}

void TZpBaseDispatcher::ResetStatusHits() {
    std::lock_guard lk(dataSection_);
    for (auto& t : statusTriggers_) t.tHit = false;
    statusHit_ = false;
}

void TZpBaseDispatcher::ResetDataTriggers() {
    std::lock_guard lk(dataSection_);
    for (auto& t : dataTriggers_) std::fill(std::begin(t.tChkIndex), std::end(t.tChkIndex), 0);
}

// ---- handlers ----
void TZpBaseDispatcher::RegisterWndTriggerHandler(WindowHandle wnd) {
    std::lock_guard lk(dataSection_);
    wndHandlers_.push_back({wnd, false});
    handlerServiceNeeded_ = true;
    if (dLoggingOn_) AddDispatchEntry(dtTriggerHandlerAlloc, dstWndHandler, wnd, nullptr, 0);
}

void TZpBaseDispatcher::RegisterProcTriggerHandler(TApdNotifyProc proc) {
    std::lock_guard lk(dataSection_);
    procHandlers_.push_back({proc, false});
    handlerServiceNeeded_ = true;
    if (dLoggingOn_) AddDispatchEntry(dtTriggerHandlerAlloc, dstProcHandler, 0, nullptr, 0);
}

void TZpBaseDispatcher::RegisterEventTriggerHandler(const void* key, TApdNotifyEvent method) {
    std::lock_guard lk(dataSection_);
    eventHandlers_.push_back({key, std::move(method), false, false});
    handlerServiceNeeded_ = true;
    if (dLoggingOn_) AddDispatchEntry(dtTriggerHandlerAlloc, dstEventHandler, 0, nullptr, 0);
}

void TZpBaseDispatcher::RegisterSyncEventTriggerHandler(const void* key, TApdNotifyEvent method) {
    if (!syncWindow_ && onGuiThread())
        syncWindow_ = std::make_unique<MessageWindow>([](uint32_t msg, WParam w, LParam) -> LResult {
            if (msg != ZpSyncCallMsg) return 0;
            std::shared_ptr<SyncCall> c;
            {
                std::lock_guard g(syncCallMutex());
                auto it = syncCalls().find(w);
                if (it == syncCalls().end()) return 0;
                c = it->second;
            }
            c->method(c->msg, c->trigger, c->lparam);
            std::lock_guard g(syncCallMutex());
            c->finished = true;
            return 1;
        });
    std::lock_guard lk(dataSection_);
    eventHandlers_.push_back({key, std::move(method), false, true});
    handlerServiceNeeded_ = true;
    if (dLoggingOn_) AddDispatchEntry(dtTriggerHandlerAlloc, dstEventHandler, 1, nullptr, 0);
}

template <class List, class Match>
void TZpBaseDispatcher::DeregisterHandler(List& list, Match match, uint8_t subType, uint32_t data) {
    std::lock_guard lk(dataSection_);
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].deleted || !match(list[i])) continue;
        // A notification in progress walks the list: mark now, remove when it ends.
        if (notifyPending_) {
            list[i].deleted = true;
            deletePending_ = true;
        } else
            list.erase(list.begin() + static_cast<long>(i));
        if (dLoggingOn_) AddDispatchEntry(dtTriggerHandlerDispose, subType, data, nullptr, 0);
        break;
    }
    UpdateHandlerFlags(fuKeepPort);
}

void TZpBaseDispatcher::DeregisterWndTriggerHandler(WindowHandle wnd) {
    DeregisterHandler(
        wndHandlers_, [wnd](const WndHandler& h) { return h.wnd == wnd; }, dstWndHandler, wnd);
}

void TZpBaseDispatcher::DeregisterProcTriggerHandler(TApdNotifyProc proc) {
    DeregisterHandler(
        procHandlers_, [proc](const ProcHandler& h) { return h.proc == proc; }, dstProcHandler, 0);
}

void TZpBaseDispatcher::DeregisterEventTriggerHandler(const void* key) {
    DeregisterHandler(
        eventHandlers_, [key](const EventHandler& h) { return h.key == key; }, dstEventHandler, 0);
}

void TZpBaseDispatcher::UpdateHandlerFlags(TApHandlerFlagUpdate flagUpdate) {
    std::lock_guard lk(dataSection_);
    auto live = [](const auto& v) {
        return std::count_if(v.begin(), v.end(), [](const auto& h) { return !h.deleted; });
    };
    const bool others = live(wndHandlers_) >= 2 || live(procHandlers_) > 0 || live(eventHandlers_) > 0;
    switch (flagUpdate) {
        case fuKeepPort:
            handlerServiceNeeded_ = others || portHandlerInstalled_;
            break;
        case fuEnablePort:
            portHandlerInstalled_ = true;
            handlerServiceNeeded_ = true;
            break;
        case fuDisablePort:
            portHandlerInstalled_ = false;
            handlerServiceNeeded_ = others;
            break;
    }
}

void TZpBaseDispatcher::SetEventBusy(bool& wasOn, bool setOn) {
    std::lock_guard lk(dataSection_);
    wasOn = notifyPending_.exchange(setOn);
}

bool TZpBaseDispatcher::RunSynchronised(const TApdNotifyEvent& method, uint32_t msg, uint32_t trigger,
                                        int32_t lparam) {
    if (onGuiThread() || !syncWindow_) {
        method(msg, trigger, lparam);
        return true;
    }
    auto call = std::make_shared<SyncCall>(SyncCall{method, msg, trigger, lparam});
    uintptr_t id;
    {
        std::lock_guard g(syncCallMutex());
        id = nextSyncCall++;
        syncCalls().emplace(id, call);
    }
    LResult r = 0;
    sendMessageTimeout(syncWindow_->handle(), ZpSyncCallMsg, id, 0, SendNotifyTimeoutMs, &r);
    // A handler still running keeps its own reference to the call.
    std::lock_guard g(syncCallMutex());
    syncCalls().erase(id);
    return call->finished;
}

template <class List, class After, class Call>
void TZpBaseDispatcher::NotifyHandlers(const List& list, const bool& stop, After after, Call call) {
    for (size_t i = 0; !stop; ++i) {
        typename List::value_type h;
        {
            // Copied under the lock and called outside it: a handler may (de)register handlers.
            std::lock_guard lk(dataSection_);
            if (i >= list.size()) break;
            if (list[i].deleted) continue;
            h = list[i];
        }
        {
            std::lock_guard d(dispSection_);
            getCount_ = 0;
        }
        call(h);
        after();
    }
}

bool TZpBaseDispatcher::SendNotify(uint32_t msg, uint32_t trigger, uint16_t data) {
    if (!handlerServiceNeeded_.load()) return true;
    {
        std::lock_guard lk(dataSection_);
        notifyPending_ = true;
    }
    {
        std::lock_guard d(dispSection_);
        maxGetCount_ = 0;
        getCount_ = 0;
        inAvailMessage_ = msg == ZpTriggerAvail || msg == ZpTriggerData;
    }
    const int32_t lparam = static_cast<int32_t>((static_cast<uint32_t>(handle_) << 16) + data);
    bool result = true;
    bool stop = false;
    bool timedOut = false;
    auto afterHandler = [&] {
        if (closePending_.load()) {
            result = false;
            stop = true;
        }
        std::lock_guard d(dispSection_);
        maxGetCount_ = std::max(maxGetCount_, getCount_.load());
    };
    NotifyHandlers(eventHandlers_, stop, afterHandler, [&](const EventHandler& h) {
        if (!h.method) return;
        if (h.sync) {
            if (!RunSynchronised(h.method, msg, trigger, lparam)) timedOut = true;
        } else
            h.method(msg, trigger, lparam);
    });
    NotifyHandlers(procHandlers_, stop, afterHandler, [&](const ProcHandler& h) {
        if (h.proc) h.proc(msg, trigger, lparam);
    });
    bool windows;
    {
        std::lock_guard lk(dataSection_);
        windows = wndHandlers_.size() >= 2 || portHandlerInstalled_;
    }
    if (windows)
        NotifyHandlers(wndHandlers_, stop, afterHandler, [&](const WndHandler& h) {
            LResult r = 0;
            if (!sendMessageTimeout(h.wnd, msg, trigger, lparam, SendNotifyTimeoutMs, &r) && isWindow(h.wnd))
                timedOut = true;
        });
    {
        std::lock_guard d(dispSection_);
        // A port closing from a handler keeps its ring as it was: the close discards it.
        if (inAvailMessage_ && !stop) {
            inAvailMessage_ = false;
            if (!dBuffer_.empty()) {
                dBuffTail_ = (dBuffTail_ + maxGetCount_) % InputRingSize;
                if (maxGetCount_ != 0) dBufFull_ = false;
            }
            if (msg == ZpTriggerAvail && maxGetCount_ != static_cast<int32_t>(trigger)) result = false;
        }
        // A handler that could not be reached in time still gets the unread bytes announced
        // on the next round.
        if (timedOut) lastAvailPos_ = -1;
        inAvailMessage_ = false;
        getCount_ = 0;
    }
    {
        std::lock_guard lk(dataSection_);
        notifyPending_ = false;
        if (deletePending_) {
            auto deleted = [](const auto& h) { return h.deleted; };
            std::erase_if(wndHandlers_, deleted);
            std::erase_if(procHandlers_, deleted);
            std::erase_if(eventHandlers_, deleted);
            deletePending_ = false;
            UpdateHandlerFlags(fuKeepPort);
        }
    }
    Wake();
    return result;
}

// ---- misc ----
void TZpBaseDispatcher::OptionsOn(uint32_t options) {
    std::lock_guard lk(dataSection_);
    flags_ |= options;
}
void TZpBaseDispatcher::OptionsOff(uint32_t options) {
    std::lock_guard lk(dataSection_);
    flags_ &= ~options;
}
bool TZpBaseDispatcher::OptionsAreOn(uint32_t options) {
    std::lock_guard lk(dataSection_);
    return (flags_ & options) == options;
}

int32_t TZpBaseDispatcher::SetDataPointer(void* p, int32_t index) {
    if (index < 1 || index > 3) return -1002;
    dataPointers_[index - 1] = p;
    return 0;
}

int32_t TZpBaseDispatcher::GetDataPointer(void*& p, int32_t index) {
    if (index < 1 || index > 3) return -1002;
    p = dataPointers_[index - 1];
    return 0;
}

void TZpBaseDispatcher::SetRS485Mode(bool on) {
    std::lock_guard lk(dataSection_);
    rs485Mode_ = on;
    // The kernel keys RTS where the driver can; elsewhere the dispatcher does, around each write.
    const bool driver = DeviceRS485(on);
    rs485Manual_ = on && !driver;
    if (!rs485Manual_) rtsKeyed_ = false;
}

int32_t TZpBaseDispatcher::ReleaseRS485Key() {
    if (!rtsKeyed_.load()) return 0;
    // Output still queued keeps the line keyed until it has gone too; the layer calls again.
    auto queued = [this] { return !outBuff_.empty() && OutRingUsed() > 0; };
    {
        std::lock_guard o(outputSection_);
        if (queued()) {
            keyBound_ = keyIdleAt_ = -1;
            return 0;
        }
    }
    const int64_t now = ZpTimeGetTime();
    const int32_t inDriver = DeviceOutQueue();
    if (inDriver > 0) {
        // Bytes the driver still sends: RTS stays up for them, though no longer than twice the
        // time they need (a driver whose count never goes down does not hold the bus forever).
        keyIdleAt_ = -1;
        if (keyBound_ < 0) keyBound_ = now + 2 * SendTimeMs(inDriver) + TxSentDelayMs();
        if (now < keyBound_) return static_cast<int32_t>(std::clamp<int64_t>(SendTimeMs(inDriver), 1, 50));
    } else {
        // The driver's queue is empty: the last character still leaves the shift register.
        if (keyIdleAt_ < 0) keyIdleAt_ = now + TxSentDelayMs();
        if (now < keyIdleAt_) return static_cast<int32_t>(std::min<int64_t>(keyIdleAt_ - now, 50));
    }
    std::lock_guard o(outputSection_);
    if (queued()) return 0;
    keyBound_ = keyIdleAt_ = -1;
    if (!rs485Manual_.load()) return 0;
    EscapeComFunction(CLRRTS);
    rtsKeyed_ = false;
    return 0;
}

// ---- the checks ----
bool TZpBaseDispatcher::ExtractData() {
    std::lock_guard d(dispSection_);
    if (dBuffer_.empty()) return false;
    if (dBufFull_) return true;
    CommStatus st;
    {
        std::lock_guard lk(dataSection_);
        comStatus_ = {};
        lastError_ |= (static_cast<uint32_t>(GetComError(comStatus_)) & 0x1F) | heldErrors_.exchange(0);
        st = comStatus_;
    }
    if (st.InQueue == 0) return false;
    int32_t freeTotal, contiguous;
    if (dBuffHead_ == dBuffTail_) {
        freeTotal = InputRingSize;
        contiguous = InputRingSize - dBuffHead_;
    } else if (dBuffHead_ < dBuffTail_) {
        freeTotal = contiguous = dBuffTail_ - dBuffHead_;
    } else {
        freeTotal = InputRingSize - dBuffHead_ + dBuffTail_;
        contiguous = InputRingSize - dBuffHead_;
    }
    const int32_t want = std::min(static_cast<int32_t>(st.InQueue), freeTotal);
    const int32_t second = want - contiguous;
    int32_t got = ReadCom(dBuffer_.data() + dBuffHead_, contiguous);
    if (got < 0) {
        GetComEventMask(-1);
        got = 0;
    }
    if (got > 0) {
        std::lock_guard lk(dataSection_);
        if (dLoggingOn_)
            AddDispatchEntry(dtDispatch, dstReadCom, static_cast<uint32_t>(got), dBuffer_.data() + dBuffHead_,
                             static_cast<uint32_t>(got));
    }
    dBuffHead_ = (dBuffHead_ + got) % InputRingSize;
    headTotal_ += got;
    if (got > 0) dBufFull_ = dBuffHead_ == dBuffTail_;
    if (got < contiguous || second <= 0) return true;
    int32_t got2 = ReadCom(dBuffer_.data() + dBuffHead_, second);
    if (got2 < 0) {
        GetComEventMask(-1);
        // A failed read took nothing: its result is an error code, and counting it as bytes
        // would hand out ring contents that were never received.
        got2 = 0;
    }
    if (got2 > 0) {
        std::lock_guard lk(dataSection_);
        if (dLoggingOn_)
            AddDispatchEntry(dtDispatch, dstReadCom, static_cast<uint32_t>(got2),
                             dBuffer_.data() + dBuffHead_, static_cast<uint32_t>(got2));
    }
    dBuffHead_ = (dBuffHead_ + got2) % InputRingSize;
    headTotal_ += got2;
    if (got2 > 0) dBufFull_ = dBuffHead_ == dBuffTail_;
    return true;
}

bool TZpBaseDispatcher::MatchTriggerChar(TDataTrigger& t, uint8_t chIn) {
    bool matched = false;
    const char ch = t.tIgnoreCase ? static_cast<char>(std::toupper(chIn)) : static_cast<char>(chIn);
    const int32_t L = t.tLen;
    bool started = false, examine = true;
    for (int32_t i = 0; i < L; ++i) {
        int32_t& s = t.tChkIndex[i];
        if (examine) {
            if (t.tData[s] == ch) {
                if (s == L - 1) {
                    std::fill(std::begin(t.tChkIndex), std::end(t.tChkIndex), 0);
                    matched = true;
                } else
                    ++s;
            } else if (t.tData[0] == ch) {
                started = true;
                s = 1;
            } else
                s = 0;
        }
        if (s == 1) started = true;
        if (i < L - 1)
            examine = started ? t.tChkIndex[i + 1] != 0 : (t.tChkIndex[i + 1] != 0 || t.tData[0] == ch);
        else
            examine = false;
    }
    return matched;
}

bool TZpBaseDispatcher::CheckReceiveTriggers() {
    if (closePending_.load()) return false;
    int64_t matchPos = -1;
    int32_t before = -1;
    {
        std::lock_guard d(dispSection_);
        std::lock_guard lk(dataSection_);
        if (dBuffer_.empty()) return false;
        int32_t used;
        if (dBuffHead_ == dBuffTail_)
            used = dBufFull_ ? InputRingSize : 0;
        else
            used = (dBuffHead_ - dBuffTail_ + InputRingSize) % InputRingSize;
        const int64_t tailTotal = headTotal_ - used;
        if (scanTotal_ < tailTotal) scanTotal_ = tailTotal;
        int32_t matchLen = 0;
        while (scanTotal_ < headTotal_) {
            const uint8_t ch = dBuffer_[static_cast<size_t>(scanTotal_ % InputRingSize)];
            for (auto& t : dataTriggers_) {
                if (t.tLen == 0 || t.tMatched) continue;
                t.tMatched = MatchTriggerChar(t, ch);
                if (t.tMatched) matchLen = std::max(matchLen, t.tLen);
            }
            if (matchLen > 0) break;
            ++scanTotal_;
        }
        lastTailIndex_ = static_cast<int32_t>(scanTotal_ % InputRingSize);
        if (matchLen == 0) {
            if (lenTrigger_ == 0 || lastAvailPos_ == scanTotal_ || used < lenTrigger_) return false;
            if (dLoggingOn_) AddDispatchEntry(dtTrigger, dstAvail, static_cast<uint32_t>(used), nullptr, 0);
            lastAvailPos_ = scanTotal_;
            before = used;
        } else {
            matchPos = scanTotal_;
            if (lenTrigger_ > 0 && lastAvailPos_ != scanTotal_) {
                // Only the bytes that precede the matched string are announced.
                const int64_t n = scanTotal_ - matchLen + 1 - tailTotal - getCount_.load();
                if (n >= lenTrigger_) {
                    if (dLoggingOn_)
                        AddDispatchEntry(dtTrigger, dstAvail, static_cast<uint32_t>(n), nullptr, 0);
                    lastAvailPos_ = scanTotal_;
                    before = static_cast<int32_t>(n);
                }
            }
        }
    }
    bool result = true;
    if (before >= 0) {
        result = SendNotify(ZpTriggerAvail, static_cast<uint32_t>(before), 0);
        if (closePending_.load()) return false;
        if (matchPos < 0) return result;
    }
    // From the last trigger to the first; a handler may remove triggers meanwhile, and the
    // walk ends once the list is shorter than where it stands.
    {
        std::unique_lock lk(dataSection_);
        for (size_t i = dataTriggers_.size(); i > 0 && i <= dataTriggers_.size(); --i) {
            auto& t = dataTriggers_[i - 1];
            if (!t.tMatched) continue;
            t.tMatched = false;
            if (dLoggingOn_)
                AddDispatchEntry(dtTrigger, dstData, static_cast<uint32_t>(t.tHandle), nullptr, 0);
            const auto handle = static_cast<uint32_t>(t.tHandle);
            const auto len = static_cast<uint16_t>(t.tLen);
            lk.unlock();
            result = SendNotify(ZpTriggerData, handle, len);
            lk.lock();
            if (closePending_.load()) {
                result = false;
                break;
            }
        }
        // A trigger the walk did not reach drops this match; it must not stay marked, or it
        // would never be scanned again.
        for (auto& t : dataTriggers_) t.tMatched = false;
    }
    if (closePending_.load()) return false;
    std::lock_guard d(dispSection_);
    // A flush from a handler may already have moved the scan past the match.
    scanTotal_ = std::max(scanTotal_, matchPos + 1);
    lastTailIndex_ = static_cast<int32_t>(scanTotal_ % InputRingSize);
    return result;
}

bool TZpBaseDispatcher::CheckStatusTriggers() {
    if (closePending_.load()) return false;
    // The output counts are read before the data section is taken (the sections' order is
    // dispatch, data, output; RefreshStatus takes the output section under the data section
    // through GetComError): read once, they serve every trigger of this round.
    const int32_t outUsed = OutBuffUsed();
    const int32_t outFree = outQue_ - outUsed;
    uint32_t handle = 0;
    uint16_t data = 0;
    {
        std::lock_guard lk(dataSection_);
        lastError_ |= heldErrors_.exchange(0);
        bool fired = false;
        for (auto& t : statusTriggers_) {
            if (!t.tSActive || t.tHit) continue;
            switch (t.tSType) {
                case stModem:
                    fired = (((t.tValue & 0xFF) ^ modemStatus_) & (t.tValue >> 8)) != 0;
                    break;
                case stLine:
                    if ((t.tValue & lastError_) != 0) {
                        fired = true;
                        t.tValue = static_cast<uint16_t>(lastError_);
                    }
                    break;
                case stOutBuffFree:
                    if (outFree >= t.tValue) {
                        fired = true;
                        data = static_cast<uint16_t>(outFree);
                    }
                    break;
                case stOutBuffUsed:
                    if (outUsed <= t.tValue) {
                        fired = true;
                        data = static_cast<uint16_t>(outUsed);
                    }
                    break;
                case stOutSent:
                    if (outSent_.exchange(false)) fired = true;
                    break;
                default:
                    break;
            }
            if (fired) {
                t.tSActive = false;
                t.tHit = true;
                statusHit_ = true;
                handle = static_cast<uint32_t>(t.tHandle);
                if (dLoggingOn_) AddDispatchEntry(dtTrigger, dstStatus, handle, nullptr, 0);
                break;
            }
        }
        if (!fired) return false;
    }
    return SendNotify(ZpTriggerStatus, handle, data);
}

bool TZpBaseDispatcher::CheckTimerTriggers() {
    if (closePending_.load()) return false;
    uint32_t handle = 0;
    {
        std::lock_guard lk(dataSection_);
        bool fired = false;
        for (auto& t : timerTriggers_) {
            if (!t.tActive || !TimerExpired(t.tET)) continue;
            t.tActive = false;
            handle = static_cast<uint32_t>(t.tHandle);
            if (dLoggingOn_) AddDispatchEntry(dtTrigger, dstTimer, handle, nullptr, 0);
            fired = true;
            break;
        }
        if (!fired) return false;
    }
    return SendNotify(ZpTriggerTimer, handle, 0);
}

bool TZpBaseDispatcher::CheckTriggers() {
    if (CheckTimerTriggers()) return true;
    if (CheckStatusTriggers()) return true;
    return CheckReceiveTriggers();
}

void TZpBaseDispatcher::DispatchRound() {
    if (closePending_.load()) return;
    RefreshStatus();
    ExtractData();
    if (notifyPending_.load()) return;
    {
        std::lock_guard lk(dataSection_);
        statusHit_ = false;
    }
    int guard = 0;
    while (!closePending_.load() && CheckTriggers() && ++guard < 10000) {
    }
    std::lock_guard lk(dataSection_);
    if (statusHit_) ResetStatusHits();
}
