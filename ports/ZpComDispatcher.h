// The serial device layer of the dispatcher: a serial device opened through platform/Serial
// and one I/O thread per open port. The thread waits (poll) for input, room to write, or
// a wake-up, moves received bytes into the input ring, drains the output ring, watches the
// modem lines and line errors, and runs the trigger checks; notifications for windows reach
// the GUI thread through their message window and wait at most 3 seconds.
//
// One thread does the work of an event thread, a dispatch thread and an output thread: Linux
// has no overlapped I/O, so a write or a wait for a line event on a thread of its own blocks
// in the kernel, where neither a flush nor a close can end it (a write held by CTS would hang
// the close for good, and a port whose driver has no line-event wait would never see its lines
// change). One thread polling non-blocking descriptors is always ready to stop.
#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "platform/Serial.h"
#include "ports/ZpDispatcher.h"

class TZpWin32Dispatcher : public TZpBaseDispatcher {
  public:
    explicit TZpWin32Dispatcher(void* owner);
    ~TZpWin32Dispatcher() override;

    int32_t EscapeComFunction(int32_t func) override;
    int32_t FlushCom(int32_t queue) override;
    int32_t GetComError(CommStatus& stat) override;
    int32_t GetComState(CommState& dcb) override;
    int32_t ReadCom(uint8_t* buf, int32_t size) override;
    int32_t SetComState(CommState& dcb) override;
    int32_t WriteCom(const uint8_t* buf, int32_t size) override;
    bool WaitComEvent(uint32_t& evtMask) override;
    bool SetupCom(int32_t inSize, int32_t outSize) override;
    void DonePortPrim() override;
    void StartDispatcher() override;
    void StopDispatcher() override;
    int32_t OpenCom(const char* comName, int32_t inQueue, int32_t outQueue) override;
    int32_t CloseCom() override;
    int32_t ProcessCommunications() override;
    void SetThreadBoost(uint8_t boost) override;
    uint8_t GetCommModemStatus() override;
    int32_t DeviceOutQueue() override;
    bool DeviceRS485(bool on) override;
    void Wake() override;
    bool OnWorkerThread() const override;
    bool FinishDeferredClose() override;

    // One round of the I/O thread's work (also used by tests without the thread).
    void ProcessComEvent(uint32_t events);
    void CheckTimerRound();
    // Writes what the output ring holds as far as the device takes it; true when all went.
    bool WriteOutputRing();
    // Events of the last wait (EV_* bits).
    uint32_t CurrentEvents() const { return curEvents_.load(); }

    // The device is read at most SliceBytes in each SliceMs (about 1 MB a second, ninety times
    // what a serial line carries): a flooding device waits instead of taking the machine.
    static constexpr int64_t SliceMs = 100;
    static constexpr int32_t SliceBytes = 100 * 1024;

    static constexpr uint32_t EV_RXCHAR = 0x1, EV_TXEMPTY = 0x4, EV_CTS = 0x8, EV_DSR = 0x10, EV_RLSD = 0x20,
                              EV_BREAK = 0x40, EV_ERR = 0x80, EV_RING = 0x100, EV_RING_TE = 0x2000;

  protected:
    // Takes the opened device: the wake-up descriptor is made, the lines are read. The device
    // handle, or -8 when the wake-up cannot be made.
    int32_t attachDevice(std::unique_ptr<SerialDevice> dev);
    std::unique_ptr<SerialDevice> device_;
    // Guards the device against being closed while another thread uses it (innermost lock).
    std::shared_mutex devMutex_;

  private:
    void threadMain();
    void threadGone();
    void closeDevice();
    uint32_t collectEvents();
    bool deviceHasInput();
    // What the current slice still allows to be read (any thread).
    int32_t sliceLeft();

    std::thread thread_;
    std::atomic<bool> threadRunning_{false};
    std::atomic<bool> threadStarted_{false};
    std::atomic<std::thread::id> threadId_{};
    int wakeFd_ = -1;
    std::atomic<uint32_t> pendingErrors_{0};
    std::atomic<uint32_t> curEvents_{0};
    // The flow flags of the state in force, read by GetComError from any thread.
    std::atomic<uint32_t> flowFlags_{0};
    uint32_t lastLines_ = 0;
    bool deviceCloseDeferred_ = false;
    std::mutex sliceMutex_;
    std::chrono::steady_clock::time_point sliceStart_{};
    int32_t sliceBytes_ = 0;
};

// The serial layer over a device a telephony line hands over: the handle is the line's open tty
// (a file descriptor), taken over at construction and closed with the port. The telephony layer
// itself is not part of this program.
class TZpTAPI32Dispatcher : public TZpWin32Dispatcher {
  public:
    TZpTAPI32Dispatcher(void* owner, int32_t cid);
    // The handle it was given; -2007 (last error 2007) for a zero handle, -1 for one that is no
    // open device.
    int32_t OpenCom(const char* comName, int32_t inQueue, int32_t outQueue) override;
};
