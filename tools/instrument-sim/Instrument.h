// The simulated instrument's hardware: two syringe pumps with their valves, the column and reactor
// heaters, fans, door and the HPLC relay input. It executes one command text at a time and writes
// the status lines of the instrument's grammar. Time moves only through advance(), so a test drives
// it step by step without threads or sleeps.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zsim {

struct SimPump {
    double volume = 25.0;                    // syringe content, ml
    double capacity = 100.0;                 // limit A is reached at this content
    int state = 0;                           // 0 stopped, 1 forward (dispense), 2 reverse (aspirate)
    int stepMode = 1;                        // last "MS" value
    double rate = 0.0;                       // last "ML" value, ml/min
    double pressure = 0.0;                   // modelled pressure, psi
    std::optional<double> pressureOverride;  // a forced reading (control "pressure")
    double stopPressure = 0.0;               // "STOPPRESSURE"; 0 = none
    double leak = 0.5;                       // psi per minute lost from a closed path

    bool limitA() const { return volume >= capacity - 1e-9; }
    bool limitB() const { return volume <= 1e-9; }
    double reading() const { return pressureOverride ? *pressureOverride : pressure; }
};

struct SimValve {
    int commanded = 1;
    int position = 1;          // reported position; 0 while moving or lost
    bool inPosition = true;    // the in-position flag of the status line
    int64_t settleLeftMs = 0;  // time until a commanded move completes
};

struct SimHeater {
    double temperature = 25.0;
    double setPoint = 25.0;
    double hmax = 150.0;
    bool heat = false;
    bool force = false;
    double heatRatePerMin = 3.0;  // fastest rise while heating
    std::optional<double> temperatureOverride;

    double reading() const { return temperatureOverride ? *temperatureOverride : temperature; }
};

struct InstrumentConfig {
    bool singlePump = false;
    std::string firmware = "2.14";
    std::string cpld = "1.07";
    uint32_t serialNumber = 12345;
    bool reducedQuery = false;  // identity field 7: the program then polls "? 13"
    int64_t valveSettleMs = 1500;
    double ambient = 25.0;
};

// Result of one command: accepted (answered with the prompt ">") or rejected ("!"),
// and for a status query the lines that precede the prompt.
struct CommandResult {
    bool accepted = false;
    std::string lines;
};

class Instrument {
  public:
    explicit Instrument(InstrumentConfig config = {});

    // Executes one command (no line end). Unknown commands, bad arguments and commands for an
    // absent pump are rejected and change nothing.
    CommandResult execute(std::string_view command);

    // Moves model time forward.
    void advance(int64_t ms);
    int64_t nowMs() const { return now_; }

    // One status line of part 0 to 3, ended by CR LF.
    std::string statusLine(int part) const;

    SimPump& pump(int n) { return pumps_[n == 2 ? 1 : 0]; }
    const SimPump& pump(int n) const { return pumps_[n == 2 ? 1 : 0]; }
    SimValve& valve(int n) { return valves_[n == 2 ? 1 : 0]; }
    const SimValve& valve(int n) const { return valves_[n == 2 ? 1 : 0]; }
    SimHeater& column() { return column_; }
    const SimHeater& column() const { return column_; }
    SimHeater& reactor() { return reactor_; }
    const SimHeater& reactor() const { return reactor_; }
    InstrumentConfig& config() { return config_; }
    const InstrumentConfig& config() const { return config_; }

    bool columnFan() const { return columnFan_; }
    bool recircFan() const { return recircFan_; }
    bool doorOpen() const { return doorOpen_; }
    bool relayInput() const { return relay_ || relayPulseLeftMs_ > 0; }
    void setRelay(bool closed) { relay_ = closed, relayPulseLeftMs_ = 0; }
    void pulseRelay(int64_t ms) { relayPulseLeftMs_ = ms; }
    // The valve drops out of position until it is commanded again.
    void loseValve(int n);
    // The outlet of position 2 is blocked (the system pressure test's blocked union).
    void setOutletBlocked(bool blocked) { outletBlocked_ = blocked; }
    bool outletBlocked() const { return outletBlocked_; }

  private:
    bool pumpPresent(int n) const { return n == 1 || !config_.singlePump; }
    bool pathClosed(int n) const;
    void step(int64_t ms);
    void stepPump(int n, int64_t ms);
    void stepHeater(SimHeater& h, double coolTauMin, int64_t ms);
    double columnCoolTau() const;

    InstrumentConfig config_;
    SimPump pumps_[2];
    SimValve valves_[2];
    SimHeater column_;
    SimHeater reactor_;
    bool columnFan_ = false;
    bool recircFan_ = false;
    bool doorOpen_ = false;
    bool relay_ = false;
    int64_t relayPulseLeftMs_ = 0;
    bool outletBlocked_ = false;
    int64_t now_ = 0;
};

}  // namespace zsim
