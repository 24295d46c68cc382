// The simulated instrument as one object: the hardware model, the protocol responder on the link,
// and the control commands by which a test or a person makes it misbehave. Used in-process by
// tests (advance() moves model time) and by the program instrument-sim (real time x speed).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "tools/instrument-sim/Instrument.h"
#include "tools/instrument-sim/Responder.h"

namespace zsim {

class Simulator {
  public:
    explicit Simulator(InstrumentConfig config = {});
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    Instrument& instrument() { return instrument_; }
    Responder& responder() { return responder_; }

    // The link: bytes from the program, bytes for the program.
    void receive(std::string_view bytes) { responder_.receive(bytes); }
    std::string takeOutput() { return responder_.takeOutput(); }
    // Moves model time forward and releases replies that have become due.
    void advance(int64_t ms);
    // A new connection on the link.
    void linkOpened() { responder_.reset(); }

    // One control command (see controlHelp()); the answer is one line without line end:
    // "ok" (sometimes followed by a blank and details) or "error: " and the reason.
    std::string control(std::string_view line);
    static std::string controlHelp();

    // Set by "drop": the transport closes the link and takes the request back.
    bool takeDropRequest();
    bool quitRequested() const { return quit_; }
    double speed() const { return speed_; }
    void setSpeed(double s) { speed_ = s; }
    // Answers "termios?"; set by a transport that has a serial line.
    std::function<std::string()> termiosQuery;

    // What drives the instrument's outputs, for a test that checks them after every step (answer
    // of "state?"): "p1=S/R p2=S/R column=HF reactor=HF received=N", S the pump state (0 stopped,
    // 1 forward, 2 reverse), R its rate, H and F 1 when the heater's heat or force is on, N the
    // commands received so far.
    std::string outputs() const;
    // A one-line summary of the model.
    std::string describe() const;

    // "flood status|nul|line SECONDS": bytes sent as fast as the link takes them, beside the
    // replies, for SECONDS of real time. flood() counts down realMs and returns up to room bytes.
    bool flooding() const { return floodLeftMs_ > 0; }
    std::string flood(int64_t realMs, size_t room);

  private:
    Instrument instrument_;
    Responder responder_;
    bool drop_ = false;
    bool quit_ = false;
    double speed_ = 1.0;
    enum class Flood { Status, Nul, Line };
    Flood floodKind_ = Flood::Status;
    int64_t floodLeftMs_ = 0;
    size_t floodPhase_ = 0;  // where the repeated pattern continues
};

}  // namespace zsim
