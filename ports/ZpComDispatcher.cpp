#include "ports/ZpComDispatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>

#include "ports/ZpErrors.h"

TZpWin32Dispatcher::TZpWin32Dispatcher(void* owner) : TZpBaseDispatcher(owner) {}

TZpWin32Dispatcher::~TZpWin32Dispatcher() {
    ClosePortForDestroy();
    StopDispatcher();
    closeDevice();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void TZpWin32Dispatcher::closeDevice() {
    std::unique_lock g(devMutex_);
    device_.reset();
    cidValue_ = -1;
}

int32_t TZpWin32Dispatcher::OpenCom(const char* comName, int32_t, int32_t) {
    int err = 0;
    auto dev = openSerialDevice(comName ? comName : "", err);
    if (!dev) {
        openError_ = err ? err : SERIAL_ERROR_GEN_FAILURE;
        return -1;
    }
    return attachDevice(std::move(dev));
}

int32_t TZpWin32Dispatcher::attachDevice(std::unique_ptr<SerialDevice> dev) {
    if (wakeFd_ < 0) wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) return -8;
    {
        std::unique_lock g(devMutex_);
        device_ = std::move(dev);
    }
    lastLines_ = device_->modemLines();
    deviceCloseDeferred_ = false;
    return std::max(device_->pollFd(), 0);
}

TZpTAPI32Dispatcher::TZpTAPI32Dispatcher(void* owner, int32_t cid) : TZpWin32Dispatcher(owner) {
    cidValue_ = cid;
    // The line's settings are read back before the open: the device is usable from here on.
    auto dev = adoptSerialDevice(cid);
    std::unique_lock g(devMutex_);
    device_ = std::move(dev);
}

int32_t TZpTAPI32Dispatcher::OpenCom(const char*, int32_t, int32_t) {
    if (cidValue_.load() == 0) {
        openError_ = 2007;
        return -2007;
    }
    std::unique_ptr<SerialDevice> dev;
    {
        std::unique_lock g(devMutex_);
        dev = std::move(device_);
    }
    if (!dev) {
        openError_ = SERIAL_ERROR_NOT_FOUND;
        return -1;
    }
    const int32_t rc = attachDevice(std::move(dev));
    if (rc < 0) {
        CloseCom();
        return -1;
    }
    return cidValue_.load();
}

int32_t TZpWin32Dispatcher::CloseCom() {
    killThreads_ = true;
    Wake();
    if (OnWorkerThread() || notifyPending_.load()) {
        // A notification is being delivered: the thread closes the device as it ends.
        deviceCloseDeferred_ = true;
        return 0;
    }
    StopDispatcher();
    closeDevice();
    return 0;
}

bool TZpWin32Dispatcher::SetupCom(int32_t, int32_t) {
    return true;
}

int32_t TZpWin32Dispatcher::EscapeComFunction(int32_t func) {
    std::shared_lock g(devMutex_);
    if (!device_) return -1;
    return device_->escape(func) ? 0 : -1;
}

// An output flush purges the device's output also without the I/O thread: purging its input
// instead would discard received bytes and still send the stale output.
int32_t TZpWin32Dispatcher::FlushCom(int32_t queue) {
    if (queue == 0) {
        std::lock_guard o(outputSection_);
        outBuffHead_ = outBuffTail_ = 0;
        outBuffFull_ = false;
    }
    std::shared_lock g(devMutex_);
    if (!device_) return 0;
    const bool ok =
        device_->purge(queue == 0 ? (PURGE_TXABORT | PURGE_TXCLEAR) : (PURGE_RXABORT | PURGE_RXCLEAR));
    return ok ? 0 : -(errno ? errno : 31);
}

int32_t TZpWin32Dispatcher::GetComError(CommStatus& stat) {
    uint32_t errs = pendingErrors_.exchange(0);
    uint32_t lines = 0;
    {
        std::shared_lock g(devMutex_);
        if (device_) {
            errs |= device_->takeErrors();
            stat.InQueue = static_cast<uint32_t>(std::max(device_->inQueue(), 0));
            lines = device_->modemLines();
        } else
            stat.InQueue = 0;
    }
    {
        std::lock_guard o(outputSection_);
        stat.OutQueue = outBuff_.empty() ? 0 : static_cast<uint32_t>(OutRingUsed());
    }
    stat.Flags = 0;
    const uint32_t flow = flowFlags_.load();
    if ((flow & CommState::fOutxCtsFlow) && !(lines & MS_CTS_ON)) stat.Flags |= 1;
    // No DSR hold: the line has no output flow on DSR (termios has none), so DSR low never
    // holds output, whatever the state asks for. Nor are XOFF holds reported by the driver.
    return static_cast<int32_t>(errs & 0x1F);
}

int32_t TZpWin32Dispatcher::GetComState(CommState& dcb) {
    std::shared_lock g(devMutex_);
    if (!device_) return -1;
    return device_->getState(dcb) ? 0 : -1;
}

int32_t TZpWin32Dispatcher::SetComState(CommState& dcb) {
    std::shared_lock g(devMutex_);
    if (!device_) return -1;
    if (device_->setState(dcb)) {
        flowFlags_ = dcb.Flags;
        return 0;
    }
    return -(errno ? errno : 87);
}

int32_t TZpWin32Dispatcher::sliceLeft() {
    std::lock_guard l(sliceMutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now - sliceStart_ >= std::chrono::milliseconds(SliceMs)) {
        sliceStart_ = now;
        sliceBytes_ = 0;
    }
    return SliceBytes - sliceBytes_;
}

int32_t TZpWin32Dispatcher::ReadCom(uint8_t* buf, int32_t size) {
    const int32_t left = sliceLeft();
    if (left <= 0 && size > 0) return 0;
    std::shared_lock g(devMutex_);
    if (!device_) return -1;
    const int32_t n = device_->read(buf, std::min(size, left));
    if (n > 0) {
        std::lock_guard l(sliceMutex_);
        sliceBytes_ += n;
    }
    return n;
}

int32_t TZpWin32Dispatcher::WriteCom(const uint8_t* buf, int32_t size) {
    {
        std::lock_guard o(outputSection_);
        if (outBuff_.empty() || size <= 0) return 0;
        const int32_t first = std::min(size, outQue_ - outBuffHead_);
        std::memcpy(outBuff_.data() + outBuffHead_, buf, static_cast<size_t>(first));
        if (size > first) std::memcpy(outBuff_.data(), buf + first, static_cast<size_t>(size - first));
        outBuffHead_ = (outBuffHead_ + size) % outQue_;
        if (outBuffHead_ == outBuffTail_) outBuffFull_ = true;
    }
    Wake();
    return size;
}

bool TZpWin32Dispatcher::WriteOutputRing() {
    std::lock_guard o(outputSection_);
    std::shared_lock g(devMutex_);
    if (!device_ || outBuff_.empty()) return true;
    while (outBuffFull_ || outBuffHead_ != outBuffTail_) {
        if (outBuffTail_ >= outBuffHead_ && outBuffHead_ != 0) {
            // Data across the end of the ring is made contiguous so that it leaves in one write.
            std::rotate(outBuff_.begin(), outBuff_.begin() + outBuffTail_, outBuff_.end());
            outBuffHead_ = (outBuffHead_ + outQue_ - outBuffTail_) % outQue_;
            outBuffTail_ = 0;
        }
        const int32_t block =
            outBuffTail_ < outBuffHead_ ? outBuffHead_ - outBuffTail_ : outQue_ - outBuffTail_;
        int32_t n = device_->write(outBuff_.data() + outBuffTail_, block);
        if (n == 0) return false;  // the device is full; poll says when it has room
        if (n < 0) n = block;      // a failed write drops its block
        outBuffTail_ = (outBuffTail_ + n) % outQue_;
        outBuffFull_ = false;
        if (outBuffTail_ == outBuffHead_) outBuffHead_ = outBuffTail_ = 0;
    }
    return true;
}

bool TZpWin32Dispatcher::WaitComEvent(uint32_t& evtMask) {
    evtMask = curEvents_.load();
    return true;
}

uint8_t TZpWin32Dispatcher::GetCommModemStatus() {
    std::shared_lock g(devMutex_);
    return device_ ? static_cast<uint8_t>(device_->modemLines() & 0xF0) : 0;
}

int32_t TZpWin32Dispatcher::DeviceOutQueue() {
    std::shared_lock g(devMutex_);
    return device_ ? std::max(device_->outQueue(), 0) : 0;
}

bool TZpWin32Dispatcher::DeviceRS485(bool on) {
    std::shared_lock g(devMutex_);
    return device_ && device_->setRs485(on);
}

void TZpWin32Dispatcher::Wake() {
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
}

bool TZpWin32Dispatcher::OnWorkerThread() const {
    return threadId_.load() == std::this_thread::get_id();
}

int32_t TZpWin32Dispatcher::ProcessCommunications() {
    std::this_thread::yield();
    return 0;
}

void TZpWin32Dispatcher::SetThreadBoost(uint8_t boost) {
    // Raising a thread above normal needs privileges the program does not have; kept for the property.
    threadBoost_ = boost;
}

void TZpWin32Dispatcher::StartDispatcher() {
    if (dispActive_.load()) throw EZPException(std::string("Dispatcher already started"));
    if (thread_.joinable()) thread_.join();  // an earlier thread that has ended
    dispActive_ = true;
    killThreads_ = false;
    threadStarted_ = false;
    threadRunning_ = true;
    thread_ = std::thread([this] { threadMain(); });
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(3000);
    while (!threadStarted_.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void TZpWin32Dispatcher::StopDispatcher() {
    if (OnWorkerThread()) {
        killThreads_ = true;
        return;  // the thread ends on its own; it is joined by whoever frees the dispatcher
    }
    if (!thread_.joinable()) return;
    killThreads_ = true;
    Wake();
    // Wake, wait, join: the thread is never freed while it runs. While it delivers a
    // notification to the GUI thread, the GUI thread keeps taking messages so it can finish.
    while (threadRunning_.load()) {
        if (notifyPending_.load() && SafeYield() != 0) continue;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    thread_.join();
}

bool TZpWin32Dispatcher::FinishDeferredClose() {
    if (OnWorkerThread()) return false;
    // The thread ends its notification (its window handler answers while this waits), then
    // tears the port down as it leaves.
    StopDispatcher();
    return !threadRunning_.load() && !dispActive_.load();
}

void TZpWin32Dispatcher::DonePortPrim() {
    TZpBaseDispatcher::DonePortPrim();
    if (OnWorkerThread()) return;  // the thread closes a deferred device as it ends
    if (!threadRunning_.load()) closeDevice();
}

bool TZpWin32Dispatcher::deviceHasInput() {
    std::shared_lock g(devMutex_);
    return device_ && device_->inQueue() > 0;
}

uint32_t TZpWin32Dispatcher::collectEvents() {
    uint32_t ev = 0;
    std::shared_lock g(devMutex_);
    if (!device_) return 0;
    const uint32_t lines = device_->modemLines();
    const uint32_t diff = lines ^ lastLines_;
    if (diff & MS_CTS_ON) ev |= EV_CTS;
    if (diff & MS_DSR_ON) ev |= EV_DSR;
    if (diff & MS_RLSD_ON) ev |= EV_RLSD;
    if (diff & MS_RING_ON) {
        ev |= (lines & MS_RING_ON) ? EV_RING : EV_RING_TE;
        ringSeen_ = true;
    }
    lastLines_ = lines;
    const uint32_t errs = device_->takeErrors();
    if (errs) {
        pendingErrors_ |= errs;
        ev |= EV_ERR;
        if (errs & CE_BREAK) ev |= EV_BREAK;
    }
    if (device_->inQueue() > 0) ev |= EV_RXCHAR;
    return ev;
}

void TZpWin32Dispatcher::ProcessComEvent(uint32_t events) {
    auto statusLoop = [this] {
        while (!closePending_.load() && CheckStatusTriggers()) {
        }
    };
    if (events & (EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_RING_TE)) {
        MapEventsToMS(events);
        if (!notifyPending_.load()) {
            statusLoop();
            if (closePending_.load()) return;
            std::lock_guard lk(dataSection_);
            if (statusHit_) ResetStatusHits();
        }
    }
    if (events > 63) {
        RefreshStatus();
        statusLoop();
        if (closePending_.load()) return;
    }
    ExtractData();
    if (!notifyPending_.load()) {
        GetModemStatusPrim(0xFF);
        statusLoop();
        while (!closePending_.load() && CheckReceiveTriggers()) {
        }
    }
    std::lock_guard lk(dataSection_);
    if (statusHit_) ResetStatusHits();
}

void TZpWin32Dispatcher::CheckTimerRound() {
    if (closePending_.load() || notifyPending_.load()) return;
    {
        std::lock_guard lk(dataSection_);
        statusHit_ = false;
    }
    while (!closePending_.load() && (CheckStatusTriggers() || CheckTimerTriggers())) {
    }
    std::lock_guard lk(dataSection_);
    if (statusHit_) ResetStatusHits();
}

void TZpWin32Dispatcher::threadMain() {
    threadCount_.fetch_add(1);
    threadId_ = std::this_thread::get_id();
    threadStarted_ = true;
    bool skipDevice = false;
    int32_t keyWait = 0;  // RS-485: when RTS wants to be looked at again (ms, 0 for no need)
    while (!killThreads_.load()) {
        bool wantIn, wantOut;
        {
            std::lock_guard d(dispSection_);
            wantIn = !dBufFull_;
        }
        // Past the slice's share the device waits for the next slice (the poll's time-out).
        if (wantIn && sliceLeft() <= 0) wantIn = false;
        {
            std::lock_guard o(outputSection_);
            wantOut = !outBuff_.empty() && (outBuffFull_ || outBuffHead_ != outBuffTail_);
        }
        int dfd = -1, wfd = -1;
        {
            std::shared_lock g(devMutex_);
            if (device_) {
                dfd = device_->pollFd();
                wfd = device_->writeFd();
            }
        }
        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = {wakeFd_, POLLIN, 0};
        const nfds_t devIdx = n;
        if (dfd >= 0 && wantIn && !skipDevice) fds[n++] = {dfd, POLLIN, 0};
        const nfds_t outIdx = n;
        if (wfd >= 0 && wantOut && !skipDevice) fds[n++] = {wfd, POLLOUT, 0};
        int timeout = (wantOut && wfd < 0) ? 0 : 50;
        if (keyWait > 0) timeout = std::min(timeout, static_cast<int>(keyWait));
        const int rc = ::poll(fds, n, timeout);
        skipDevice = false;
        if (rc > 0) {
            if (fds[0].revents & POLLIN) {
                uint64_t v;
                [[maybe_unused]] ssize_t r = ::read(wakeFd_, &v, sizeof v);
            }
            // A device that hung up polls ready forever (a hung-up tty even reports input that
            // no read returns); pause it for one round unless bytes really wait.
            for (nfds_t i = devIdx; i < n; ++i)
                if ((fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) && !deviceHasInput()) skipDevice = true;
            (void)outIdx;
        }
        if (killThreads_.load()) break;
        const uint32_t ev = collectEvents();
        curEvents_ = ev;
        ProcessComEvent(ev);
        keyWait = WriteOutputRing() ? ReleaseRS485Key() : 0;
        CheckTimerRound();
        if (closePending_.load()) break;
    }
    threadGone();
}

void TZpWin32Dispatcher::threadGone() {
    const bool tearDown = closePending_.load() || killThreads_.load();
    if (tearDown) {
        doDonePortPrim_ = true;
        TZpBaseDispatcher::DonePortPrim();
        closeDevice();
    }
    threadId_ = std::thread::id();
    if (threadCount_.fetch_sub(1) == 1) dispActive_ = false;
    threadRunning_ = false;
}
