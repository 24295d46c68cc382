// A serial device for tests: input is pushed by the test, output is collected, line errors
// are set by hand. Safe to use from the test thread and a dispatcher thread.
#pragma once
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Serial.h"
#include "ports/ZpDispatcher.h"

struct FakeSerialState {
    std::mutex m;
    std::deque<uint8_t> input;
    std::string output;
    CommState state;
    std::atomic<uint32_t> lines{0};
    std::atomic<uint32_t> errors{0};
    std::atomic<int> opens{0};
    std::atomic<bool> dtr{false}, rts{false};
    std::atomic<int> stateWrites{0};
    std::vector<int> writes;  // the size of every write the device took (under m)
    int writeRoom = -1;       // bytes the device still takes, -1 for no limit (under m)
    // What reached the device in order (under m): "RTS+", "RTS-", "BRK+", "BRK-", "W:bytes",
    // "PURGE TX", "PURGE RX".
    std::vector<std::string> events;
    bool driverRs485 = false;  // the driver keys RTS for RS-485 itself (under m)
    std::atomic<bool> rs485{false};
    std::atomic<int> outQueue{0};        // bytes the driver still has to send
    std::atomic<uint32_t> holdFlags{0};  // output holds the device reports (CommStatus flags)
    int failReadIn = -1;                 // reads before one fails with failReadWith (under m)
    int failReadWith = -1;
    int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ~FakeSerialState() { ::close(efd); }
    void kick() {
        uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(efd, &one, sizeof one);
    }
    void push(const std::string& s) {
        {
            std::lock_guard g(m);
            input.insert(input.end(), s.begin(), s.end());
        }
        kick();
    }
    void addErrors(uint32_t e) {
        errors |= e;
        kick();
    }
    // Lets the device take n more bytes (-1: no limit) and wakes the dispatcher.
    void setWriteRoom(int n) {
        {
            std::lock_guard g(m);
            writeRoom = n;
        }
        kick();
    }
    std::vector<std::string> takeEvents() {
        std::lock_guard g(m);
        std::vector<std::string> e;
        e.swap(events);
        return e;
    }
    std::string takeOutput() {
        std::lock_guard g(m);
        std::string s;
        s.swap(output);
        return s;
    }
};

class FakeSerialDevice : public SerialDevice {
  public:
    explicit FakeSerialDevice(std::shared_ptr<FakeSerialState> s) : s_(std::move(s)) { ++s_->opens; }
    int pollFd() const override { return s_->efd; }
    int writeFd() const override { return -1; }
    bool getState(CommState& st) override {
        std::lock_guard g(s_->m);
        st = s_->state;
        return true;
    }
    bool setState(const CommState& st) override {
        std::lock_guard g(s_->m);
        s_->state = st;
        ++s_->stateWrites;
        return true;
    }
    int read(void* buf, int size) override {
        uint64_t v;
        [[maybe_unused]] auto r = ::read(s_->efd, &v, sizeof v);
        std::lock_guard g(s_->m);
        if (s_->failReadIn >= 0 && s_->failReadIn-- == 0) return s_->failReadWith;
        int n = 0;
        auto* p = static_cast<uint8_t*>(buf);
        while (n < size && !s_->input.empty()) {
            p[n++] = s_->input.front();
            s_->input.pop_front();
        }
        if (!s_->input.empty()) s_->kick();
        return n;
    }
    int write(const void* buf, int size) override {
        std::lock_guard g(s_->m);
        const int n = s_->writeRoom < 0 ? size : std::min(size, s_->writeRoom);
        if (n <= 0) return 0;
        s_->output.append(static_cast<const char*>(buf), static_cast<size_t>(n));
        s_->events.push_back("W:" + std::string(static_cast<const char*>(buf), static_cast<size_t>(n)));
        s_->writes.push_back(n);
        if (s_->writeRoom > 0) s_->writeRoom -= n;
        return n;
    }
    int inQueue() override {
        // Each round asks; the wake-up it was given is used up.
        uint64_t v;
        [[maybe_unused]] auto r = ::read(s_->efd, &v, sizeof v);
        std::lock_guard g(s_->m);
        return static_cast<int>(s_->input.size());
    }
    uint32_t modemLines() override { return s_->lines.load(); }
    uint32_t takeErrors() override { return s_->errors.exchange(0); }
    bool escape(int func) override {
        if (func == SETDTR) s_->dtr = true;
        if (func == CLRDTR) s_->dtr = false;
        if (func == SETRTS) s_->rts = true;
        if (func == CLRRTS) s_->rts = false;
        const char* e = func == SETRTS     ? "RTS+"
                        : func == CLRRTS   ? "RTS-"
                        : func == SETBREAK ? "BRK+"
                        : func == CLRBREAK ? "BRK-"
                                           : nullptr;
        if (e) {
            std::lock_guard g(s_->m);
            s_->events.push_back(e);
        }
        return true;
    }
    bool purge(uint32_t flags) override {
        std::lock_guard g(s_->m);
        if (flags & PURGE_TXCLEAR) s_->events.push_back("PURGE TX");
        if (flags & PURGE_RXCLEAR) {
            s_->events.push_back("PURGE RX");
            s_->input.clear();
        }
        return true;
    }
    int outQueue() override { return s_->outQueue.load(); }
    bool setRs485(bool on) override {
        std::lock_guard g(s_->m);
        if (!s_->driverRs485) return false;
        s_->rs485 = on;
        return true;
    }

  private:
    std::shared_ptr<FakeSerialState> s_;
};

// Installs a factory that opens the fake for device name "FAKE" (and "\\.\COM99").
class FakeSerialGuard {
  public:
    FakeSerialGuard() : state(std::make_shared<FakeSerialState>()) {
        auto st = state;
        setSerialFactory([st](const std::string& name, int& err) -> std::unique_ptr<SerialDevice> {
            if (name == "FAKE" || name == "COM99" || name == "\\\\.\\COM99")
                return std::make_unique<FakeSerialDevice>(st);
            err = 0;
            return nullptr;
        });
    }
    ~FakeSerialGuard() { setSerialFactory(nullptr); }
    std::shared_ptr<FakeSerialState> state;
};

// A dispatcher without threads over a fake device: the test runs its rounds.
class ManualDispatcher : public TZpBaseDispatcher {
  public:
    explicit ManualDispatcher(std::shared_ptr<FakeSerialState> s, void* owner = nullptr)
        : TZpBaseDispatcher(owner), hold_(s), dev_(s) {}
    ~ManualDispatcher() override { ClosePortForDestroy(); }
    int32_t EscapeComFunction(int32_t f) override { return dev_.escape(f) ? 0 : -1; }
    int32_t FlushCom(int32_t q) override {
        if (q == 0) {
            std::lock_guard o(outputSection_);
            outBuffHead_ = outBuffTail_ = 0;
            outBuffFull_ = false;
        } else
            dev_.purge(PURGE_RXCLEAR);
        return 0;
    }
    int32_t GetComError(CommStatus& st) override {
        st.InQueue = static_cast<uint32_t>(dev_.inQueue());
        std::lock_guard o(outputSection_);
        st.OutQueue = outBuff_.empty() ? 0 : static_cast<uint32_t>(OutRingUsed());
        st.Flags = hold_->holdFlags.load();
        return static_cast<int32_t>(dev_.takeErrors());
    }
    int32_t GetComState(CommState& d) override { return dev_.getState(d) ? 0 : -1; }
    int32_t ReadCom(uint8_t* b, int32_t n) override { return dev_.read(b, n); }
    int32_t SetComState(CommState& d) override { return dev_.setState(d) ? 0 : -1; }
    int32_t WriteCom(const uint8_t* b, int32_t n) override {
        std::lock_guard o(outputSection_);
        for (int32_t i = 0; i < n; ++i) {
            outBuff_[static_cast<size_t>(outBuffHead_)] = b[i];
            outBuffHead_ = (outBuffHead_ + 1) % outQue_;
        }
        if (outBuffHead_ == outBuffTail_) outBuffFull_ = true;
        return n;
    }
    // Moves what the output ring holds to the device.
    void Drain() {
        std::lock_guard o(outputSection_);
        while (outBuffFull_ || outBuffHead_ != outBuffTail_) {
            dev_.write(&outBuff_[static_cast<size_t>(outBuffTail_)], 1);
            outBuffTail_ = (outBuffTail_ + 1) % outQue_;
            outBuffFull_ = false;
        }
    }
    bool WaitComEvent(uint32_t&) override { return true; }
    bool SetupCom(int32_t, int32_t) override { return true; }
    void StartDispatcher() override { dispActive_ = true; }
    void StopDispatcher() override { dispActive_ = false; }
    int32_t OpenCom(const char*, int32_t, int32_t) override { return 1; }
    int32_t CloseCom() override {
        cidValue_ = -1;
        return 0;
    }
    int32_t ProcessCommunications() override { return 0; }
    uint8_t GetCommModemStatus() override { return static_cast<uint8_t>(dev_.modemLines() & 0xF0); }
    int32_t DeviceOutQueue() override { return dev_.outQueue(); }
    bool DeviceRS485(bool on) override { return dev_.setRs485(on); }
    int32_t Open(int32_t outSize = 4096) { return InitPort("FAKE", 19200, 0, 8, 1, 4096, outSize, 3); }
    // Waits are recorded, not slept; onSleep runs after each (the far side drains, say).
    void SleepMs(int32_t ms) override {
        sleeps.push_back(ms);
        if (onSleep) onSleep();
    }
    std::vector<int32_t> sleeps;
    std::function<void()> onSleep;

  private:
    std::shared_ptr<FakeSerialState> hold_;
    FakeSerialDevice dev_;
};
