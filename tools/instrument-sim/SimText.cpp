#include "tools/instrument-sim/SimText.h"

#include <termios.h>

namespace zsim {

std::string escapeBytes(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\0':
                out += "\\0";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    out += static_cast<char>(c);
                } else {
                    out += "\\x";
                    out += digits[c >> 4];
                    out += digits[c & 15];
                }
        }
    }
    return out;
}

std::string describeTermios(const struct termios& t) {
    speed_t s = cfgetospeed(&t);
    const struct {
        speed_t code;
        int baud;
    } speeds[] = {{B0, 0},         {B300, 300},       {B1200, 1200},     {B2400, 2400},
                  {B4800, 4800},   {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
                  {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}};
    int baud = -1;
    for (auto& e : speeds)
        if (e.code == s) baud = e.baud;
    int bits = 8;
    switch (t.c_cflag & CSIZE) {
        case CS5:
            bits = 5;
            break;
        case CS6:
            bits = 6;
            break;
        case CS7:
            bits = 7;
            break;
        default:
            bits = 8;
    }
    char parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 'O' : 'E') : 'N';
    int stop = (t.c_cflag & CSTOPB) ? 2 : 1;
    bool raw = !(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN)) &&
               !(t.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON)) &&
               !(t.c_oflag & OPOST);
    const char* flow = (t.c_cflag & CRTSCTS) ? "rtscts" : (t.c_iflag & (IXON | IXOFF)) ? "xonxoff" : "none";
    return "baud=" + (baud < 0 ? std::string("other") : std::to_string(baud)) +
           " data=" + std::to_string(bits) + " parity=" + parity + " stop=" + std::to_string(stop) +
           " raw=" + (raw ? "yes" : "no") + " flow=" + flow;
}

namespace {
constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
}

std::string TelnetFilter::decode(std::string_view in, std::string& replies) {
    std::string out;
    for (char ch : in) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (state_) {
            case State::Data:
                if (c == IAC)
                    state_ = State::Iac;
                else
                    out += ch;
                break;
            case State::Iac:
                if (c == IAC) {
                    out += ch;
                    state_ = State::Data;
                } else if (c >= WILL && c <= DONT) {
                    verb_ = c;
                    state_ = State::Option;
                } else if (c == SB) {
                    state_ = State::Sub;
                } else {
                    state_ = State::Data;  // other commands carry no data
                }
                break;
            case State::Option: {
                // Every option is refused; refusals themselves need no answer.
                if (verb_ == DO) replies += std::string{char(IAC), char(WONT), ch};
                if (verb_ == WILL) replies += std::string{char(IAC), char(DONT), ch};
                state_ = State::Data;
                break;
            }
            case State::Sub:
                if (c == IAC) state_ = State::SubIac;
                break;
            case State::SubIac:
                state_ = c == SE ? State::Data : State::Sub;
                break;
        }
    }
    return out;
}

std::string TelnetFilter::encode(std::string_view out) {
    std::string s;
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        s += out[i];
        if (c == IAC) s += out[i];
        if (c == '\r' && (i + 1 >= out.size() || out[i + 1] != '\n')) s += '\0';
    }
    return s;
}

}  // namespace zsim
