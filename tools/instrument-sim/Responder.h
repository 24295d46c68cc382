// The instrument's side of the text protocol on one byte stream: assembles commands ended by CR
// (a NUL or LF right after the CR is part of the line end), has the Instrument execute them and
// answers with the status lines and the prompt ">" (or "!" for a rejected command). It also holds
// the switches that make the instrument misbehave.
#pragma once
#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tools/instrument-sim/Instrument.h"

namespace zsim {

// A switch that is off, on until switched off, or on for a number of further uses.
class Switch {
  public:
    void set(int count) { left_ = count; }  // -1 = on, 0 = off, n > 0 = the next n uses
    bool on() const { return left_ != 0; }
    // True when the switch applies to this use (and counts the use down).
    bool take() {
        if (left_ == 0) return false;
        if (left_ > 0) --left_;
        return true;
    }

  private:
    int left_ = 0;
};

class Responder {
  public:
    explicit Responder(Instrument& instrument);

    // Bytes from the program, as the transport delivers them (telnet already decoded).
    void receive(std::string_view bytes);
    // Bytes for the program that are due by now.
    std::string takeOutput();
    // Releases delayed replies and completes a pending log entry; call after Instrument::advance.
    void tick();
    // A new link: forgets a half-received command and replies not yet sent.
    void reset();

    // Every command as received, exact bytes including its line end, in arrival order.
    std::function<void(std::string_view bytes)> onCommand;
    // The command texts received (without line end), oldest first.
    const std::vector<std::string>& commands() const { return commands_; }
    void clearCommands() { commands_.clear(); }

    // Misbehaviour.
    bool silent = false;  // reads nothing, executes nothing, answers nothing
    Switch withhold;      // executes, but sends no reply
    Switch malformed;     // status replies whose lines have too few fields
    Switch overlong;      // status replies with a line of more than 4000 characters
    bool rejectAll = false;
    std::set<std::string> rejectWords;  // first words answered with "!"
    bool echo = false;                  // echoes each command and CR LF before the reply
    int64_t delayMs = 0;                // replies leave this much model time after the command
    void sendGarbage(size_t count);     // random bytes, now
    void seed(uint32_t s) { random_.seed(s); }

  private:
    void handleCommand(const std::string& text);
    void queue(std::string bytes);
    void flushLog();
    std::string malform(const std::string& lines);

    Instrument& instrument_;
    std::string line_;
    std::string logBytes_;       // bytes of the current command for onCommand
    bool logPending_ = false;    // a CR ended a command; a NUL or LF may still follow
    bool lineOverflow_ = false;  // the current command grew past the limit
    std::vector<std::string> commands_;
    std::string ready_;
    struct Delayed {
        int64_t due;
        std::string bytes;
    };
    std::vector<Delayed> delayed_;
    std::mt19937 random_{12345};
};

}  // namespace zsim
