// Small text helpers of the simulator: byte escaping for the command log, the telnet layer of the
// TCP link, and a description of a serial line's settings.
#pragma once
#include <string>
#include <string_view>

struct termios;

namespace zsim {

// Printable ASCII stays as it is; backslash, CR, LF, NUL and tab become \\, \r, \n, \0, \t and every
// other byte \xHH, so one command is one log line whatever it holds.
std::string escapeBytes(std::string_view bytes);

// Baud, data bits, parity, stop bits, raw mode and flow control of a serial line, as
// "baud=19200 data=8 parity=N stop=1 raw=yes flow=none".
std::string describeTermios(const struct termios& t);

// Telnet handling of the TCP link: strips option negotiation (refusing every option) and turns
// IAC IAC into one 255 byte; on output doubles IAC and sends a lone CR as CR NUL. The NUL of a
// received CR NUL is left in the data: the Responder logs it as part of the line end and drops it.
class TelnetFilter {
  public:
    // Decodes received bytes; answers to the peer's negotiation are appended to replies.
    std::string decode(std::string_view in, std::string& replies);
    static std::string encode(std::string_view out);
    void reset() { state_ = State::Data; }

  private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    State state_ = State::Data;
    unsigned char verb_ = 0;
};

}  // namespace zsim
