// Packets cut out of the data arriving on a port: a packet begins with a start string (or
// with any data) and ends with an end string, after a fixed size, or whichever comes first;
// a packet that does not complete in time is reported as timed out. All packets of one port
// share one manager that takes the port's bytes into its own buffer; one packet collects
// at a time.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ports/ZpComPort.h"
#include "ports/ZpUtils.h"

enum TPacketStartCond : uint8_t { scString, scAnyData };
enum TPacketEndCond : uint8_t { ecString = 1, ecPacketSize = 2 };  // bits of TPacketEndSet
using TPacketEndSet = uint8_t;
enum TPacketMode : uint8_t { dpIdle, dpWaitStart, dpCollecting };

class TZpDataPacket;
class TZpDataPacketManager;
using TPacketNotifyEvent = std::function<void(TZpDataPacket* Sender, const char* Data, int32_t Size)>;
using TStringPacketNotifyEvent = std::function<void(TZpDataPacket* Sender, const std::string& Data)>;
using TPacketTimeoutEvent = std::function<void(TZpDataPacket* Sender)>;

class TZpDataPacket : public TZpBaseComponent {
  public:
    explicit TZpDataPacket(QObject* owner = nullptr);
    ~TZpDataPacket() override;

    bool GetEnabled() const { return enabled_; }
    void SetEnabled(bool v);
    bool GetAutoEnable() const { return autoEnable_; }
    void SetAutoEnable(bool v) { autoEnable_ = v; }
    TPacketStartCond GetStartCond() const { return startCond_; }
    void SetStartCond(TPacketStartCond v);
    TPacketEndSet GetEndCond() const { return endCond_; }
    void SetEndCond(TPacketEndSet v);
    const std::string& GetStartString() const { return startString_; }
    void SetStartString(const std::string& v);
    const std::string& GetEndString() const { return endString_; }
    void SetEndString(const std::string& v);
    bool GetIgnoreCase() const { return ignoreCase_; }
    void SetIgnoreCase(bool v);
    TZpCustomComPort* GetComPort() const { return port_; }
    void SetComPort(TZpCustomComPort* port);
    int32_t GetPacketSize() const { return packetSize_; }
    void SetPacketSize(int32_t v);
    bool GetIncludeStrings() const { return includeStrings_; }
    void SetIncludeStrings(bool v) { includeStrings_ = v; }
    int32_t GetTimeOut() const { return timeOut_; }  // ticks
    void SetTimeOut(int32_t v) { timeOut_ = v; }
    void SetFlushOnTimeout(bool v) { flushOnTimeout_ = v; }
    TPacketMode Mode() const { return mode_; }
    // The packet's events run on the main thread, also for a port whose notifications come
    // from a worker thread.
    bool SyncEvents() const { return syncEvents_; }

    // The form inserted or removed a component: a removed port is let go; a port inserted
    // while none is set becomes this packet's port.
    enum TOperation : uint8_t { opInsert, opRemove };
    void Notification(QObject* component, TOperation operation);

    TPacketNotifyEvent OnPacket;
    TStringPacketNotifyEvent OnStringPacket;
    TPacketTimeoutEvent OnTimeout;

    // The last packet's (or time-out's) data.
    void GetCollectedString(std::string& s) const { s = data_; }
    void GetCollectedData(const char*& data, int32_t& size) const;
    // Arms the packet once and pumps events until a packet or a time-out arrives.
    bool WaitForString(std::string& s);
    bool WaitForPacket(const char*& data, int32_t& size);

  private:
    friend class TZpDataPacketManager;
    void Enable();
    // Checks the configuration (raises on a bad one) and arms the packet, offering nothing.
    void Arm();
    // Raises EInvalidProperty for a configuration that cannot be armed.
    void checkConfig() const;
    void Disable();
    void SetMode(TPacketMode m);
    // Offers the manager's buffer from start; false once the packet completed (the buffer changed).
    bool ProcessData(int32_t start);
    void Packet(TPacketEndSet cond, int32_t endIndex);
    void TimedOut();
    void CancelMatch();
    void log(uint8_t subType, const std::string& text);
    bool matches(const std::string& pat, const std::string& mask, size_t pos, char b) const;
    static void prepare(const std::string& src, bool upper, std::string& out, std::string& mask);

    bool enabled_ = false;
    bool autoEnable_ = true;
    TPacketStartCond startCond_ = scString;
    TPacketEndSet endCond_ = 0;
    std::string startString_, endString_;
    bool ignoreCase_ = true;
    TZpCustomComPort* port_ = nullptr;
    int32_t packetSize_ = 0;
    bool includeStrings_ = true;
    int32_t timeOut_ = 2184;

    TZpDataPacketManager* manager_ = nullptr;
    TPacketMode mode_ = dpIdle;
    int32_t matchStart_ = -1;   // in the manager's buffer
    int32_t collectFrom_ = -1;  // first byte after the start string
    size_t startPos_ = 0;       // characters of the start string matched
    std::string startPat_, startMask_, endPat_, endMask_;
    int32_t sizeLimit_ = 0;
    bool waitForCapture_ = false;
    bool enablePending_ = false;
    bool packetReceived_ = false;
    bool timedOut_ = false;
    bool flushOnTimeout_ = true;
    const bool syncEvents_ = true;
    std::string data_;
};

// The packets of one port and the buffer they share. Its trigger handler is registered as a
// synchronised one and runs whole on the GUI thread, not only the packet events: the buffer, the
// packet list and the packets' states are also changed from the GUI thread (enable, disable, a
// new port, a wait), with no lock between them, and a handler on the I/O thread would race those
// changes and corrupt the buffer or reach a packet being freed.
class TZpDataPacketManager {
  public:
    explicit TZpDataPacketManager(TZpCustomComPort* port);
    ~TZpDataPacketManager();
    TZpCustomComPort* Port() const { return port_; }
    void Insert(TZpDataPacket* p);
    void Remove(TZpDataPacket* p);
    void Enable();
    void Disable();
    bool Enabled() const { return enabled_; }
    const std::string& Buffer() const { return buffer_; }
    TZpDataPacket* CaptureOwner() const { return capture_; }
    bool InEvent() const { return inEvent_; }
    size_t PacketCount() const { return packets_.size(); }

    // The port's open and close as a plain (opening or not) and as an extended callback.
    void PortOpenClose(TZpCustomComPort* cp, bool opening);
    void PortOpenCloseEx(TZpCustomComPort* cp, TZpCallbackType type);

    static TZpDataPacketManager* GetPortManager(TZpCustomComPort* port);
    // A port going away: its managers forget it (their packets stop).
    static void PortDestroyed(TZpCustomComPort* port);

  private:
    friend class TZpDataPacket;
    void PacketTriggerHandler(uint32_t msg, uint32_t trigger, int32_t lparam);
    void NotifyData(int32_t start);
    void SetCapture(TZpDataPacket* p, int32_t timeOut);
    void ReleaseCapture(TZpDataPacket* p);
    // Removes count bytes from position from of the buffer.
    void RemoveData(int32_t from, int32_t count);
    // Inside an event every enabled packet is disabled; leaving it re-arms them and offers
    // the buffer again.
    void SetInEvent(bool on);
    void scheduleFree();
    TZpBaseDispatcher* dispatcher() const;

    TZpCustomComPort* port_;
    std::vector<TZpDataPacket*> packets_;
    bool enabled_ = false;
    std::string buffer_;
    TZpDataPacket* capture_ = nullptr;
    int32_t timerHandle_ = 0;
    bool inEvent_ = false;
    bool notifyPending_ = false;
    int32_t pendingStart_ = 0;
    bool destroying_ = false;
    bool freeScheduled_ = false;
    TZpBaseDispatcher* registeredWith_ = nullptr;
};
