// The program's model of the instrument: two syringe pumps, their valves, the column heater and
// the reactor heater. Method calls become command texts handed to the link window's queue;
// status lines from the link are parsed back into readings. No I/O of its own.
//
// Commands are formatted in the C locale; status lines are parsed locale-independently. A
// status line whose fields do not all convert changes no reading of the objects it describes.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// What the instrument API needs of the link window. The link window implements it and
// registers itself with TZentrovaAPI::SetLink; tests register a fake.
class ZentrovaLink {
  public:
    virtual ~ZentrovaLink() = default;
    // Queues a command line (several commands may be joined by ";"); TFZentrova::QueueCommand.
    virtual void QueueCommand(const std::string& line) = 0;
    // Drops every queued command; TFZentrova::ClearQueue.
    virtual void ClearQueue() = 0;
    // Sets the status query polled every 500 ms.
    virtual void SetStatusQuery(const std::string& query) = 0;
    // The most recent complete line received (what the status parser reads).
    virtual std::string_view LastLine() const = 0;
    // Installs the OnStatusLine event: called for each valid status line.
    virtual void SetOnStatusLine(std::function<void()> handler) = 0;
    // Records a fault of the last line (to the daily log). The link window leaves it out
    // while it leaves out the line itself under a flood.
    virtual void ReportLineFault(const std::string& text);
};

class TPump {
  public:
    void Forward();
    void Reverse();
    void Off();
    void SetStopPressure(double p);

    double GetVolume() const { return Volume; }
    double GetPressure() const { return Pressure; }
    bool IsStopped() const { return State == 0; }
    double GetRate() const;  // 0 stopped, forward rate in state 1, reverse rate in state 2
    bool IsVolumeAtMost82() const { return Volume <= 82.0; }
    void SetForwardRate(double r) { ForwardRate = r; }
    void SetReverseRate(double r) { ReverseRate = r; }

    // Status fields 1 to 4 of a pump line.
    void UpdateStatus(int32_t volume, uint32_t state, uint32_t limits, int32_t pressure);

    uint32_t ChannelNumber = 0;  // 1 or 2, set by the pump channel; used by STOPPRESSURE
    bool LimitA = false;         // bit 1 of status field 3
    bool LimitB = false;         // bit 0 of status field 3
    uint8_t State = 0;           // 0 stopped, 1 forward, 2 reverse
    double Volume = 0.0;         // field 1 x 0.00001
    double Pressure = 0.0;       // field 4 x 0.001
    uint32_t MotorNumber = 0;    // 0 for pump 1, 2 for pump 2
    double ForwardRate = 0.0;    // ml/min
    double ReverseRate = 0.0;    // ml/min
};

class TValve {
  public:
    void MoveTo(int8_t position);
    int8_t GetCommandedPosition() const { return CommandedPosition; }
    int8_t GetPosition() const { return Position; }
    bool IsInPosition() const { return InPosition; }
    // Status field 7 (reported position) and field 9 != 0 (settled).
    void UpdateStatus(uint32_t position, bool settled);

    uint32_t ValveNumber = 0;  // 1 or 2, set by the pump channel
    bool InPosition = false;
    int8_t CommandedPosition = 0;
    int8_t Position = 0;  // reported
};

class THeater {
  public:
    THeater() = default;
    virtual ~THeater() = default;
    virtual void SetSetPoint(double t);
    virtual void SetHMax(double t);
    virtual void SetHeat(bool on);
    virtual void SetForceHeat(bool on);
    // The heater's pair (a, b) and two flag bits of a part-3 line: temperature := b x 0.1.
    virtual void UpdateStatus(int32_t a, int32_t b, bool f1, bool f2);

    double GetTemperature() const { return Temperature; }
    double GetSetPoint() const { return SetPoint; }

    double Temperature = 0.0;  // degrees Celsius
    double SetPoint = -100.0;  // last set point sent; -100.0 means off
};

class TColumn : public THeater {
  public:
    void SetSetPoint(double t) override;
    void SetHMax(double t) override;
    void SetHeat(bool on) override;
    void SetForceHeat(bool on) override;
    void SetRecircFan(bool on);
    void SetDoor(bool open);
    void SetColumnFan(bool on);

    bool ColumnFanOn = false;  // last state commanded
    bool DoorOpen = false;     // last state commanded
};

class TReactor : public THeater {
  public:
    void SetSetPoint(double t) override;
    void SetHMax(double t) override;
    void SetHeat(bool on) override;
    void SetForceHeat(bool on) override;
};

class TZentrovaAPI {
  public:
    static constexpr size_t LineLimit = 4000;    // characters of a status line looked at
    static constexpr size_t IdentityChars = 79;  // longest identity text kept

    TZentrovaAPI();

    // The link window that carries the commands (nullptr: none; commands are logged and dropped).
    static void SetLink(ZentrovaLink* link);
    static ZentrovaLink* Link();

    // Link hooks, run after a successful open: install the status parser, ask for identity.
    void OnConnectSerial();
    void OnConnectTCPIP();
    void OnConnectUSB();
    // "? 0123" while identity is wanted, else "? 13" (reduced query) or "? 123".
    void ChooseStatusQuery();
    std::string StatusQuery() const;
    static void Send(const std::string& text);
    static void ClearCommandQueue();

    // Parses the link window's last line (the OnStatusLine handler).
    void ParseStatusLine();
    // Parses one status line; true when it was recognised and its readings were taken.
    bool ParseLine(std::string_view line);

    // "FW version " + firmware + "; CPLD version " + CPLD.
    std::string VersionText() const;

    bool Pump2Absent = false;  // the latest part-2 line had limit bits equal to 3
    TPump Pump1;
    TPump Pump2;
    TValve Valve1;
    TValve Valve2;
    TColumn Column;
    TReactor Reactor;
    bool RelayInput = false;  // HPLC relay input: bit 4 of the last part-3 flags field
    char FirmwareVersion[80] = "<Unknown>";
    char CPLDVersion[80] = "<Unknown>";
    uint32_t SerialNumber = 0;
    bool ReducedQuery = false;   // identity field 7 nonzero: status query "? 13"
    bool IdentityWanted = true;  // status query "? 0123"

  private:
    void onConnect();
    bool parseIdentity(std::string_view fields);
    bool parsePump(int part, std::string_view fields);
    bool parseHeaters(std::string_view fields);
};

// The program's one instrument API object (static storage, built before any window).
extern TZentrovaAPI ZentrovaAPI;
