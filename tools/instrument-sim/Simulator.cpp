#include "tools/instrument-sim/Simulator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace zsim {
namespace {

std::vector<std::string> words(std::string_view s) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
        size_t j = i;
        while (j < s.size() && s[j] != ' ' && s[j] != '\t' && s[j] != '\r' && s[j] != '\n') ++j;
        if (j > i) out.emplace_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

bool number(const std::string& s, double& v) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size() && std::isfinite(v);
}

bool integer(const std::string& s, long long& v) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size();
}

// "on", "off" or a count of further uses.
bool switchValue(const std::string& s, int& v) {
    long long n = 0;
    if (s == "on") return v = -1, true;
    if (s == "off") return v = 0, true;
    if (integer(s, n) && n >= 0 && n < 1000000) return v = static_cast<int>(n), true;
    return false;
}

bool onOff(const std::string& s, bool& v) {
    if (s == "on") return v = true, true;
    if (s == "off") return v = false, true;
    return false;
}

bool pumpNumber(const std::string& s, int& n) {
    if (s == "1" || s == "2") return n = s[0] - '0', true;
    return false;
}

// Identity texts go into a comma-separated line: no commas, no control bytes.
bool plainText(const std::string& s) {
    if (s.empty() || s.size() > 79) return false;
    for (unsigned char c : s)
        if (c == ',' || c < 0x20 || c >= 0x7F) return false;
    return true;
}

std::string fixed(double v, int decimals) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    return std::string(buf, r.ptr);
}

}  // namespace

Simulator::Simulator(InstrumentConfig config) : instrument_(std::move(config)), responder_(instrument_) {}

void Simulator::advance(int64_t ms) {
    instrument_.advance(ms);
    responder_.tick();
}

bool Simulator::takeDropRequest() {
    bool d = drop_;
    drop_ = false;
    return d;
}

std::string Simulator::controlHelp() {
    return "commands: help | status | state? | termios? | silent on|off | withhold on|off|N | delay MS | "
           "reject all|none|WORD | accept WORD | malformed on|off|N | overlong on|off|N | garbage N | "
           "echo on|off | drop | pressure 1|2 PSI|auto | leak 1|2 PSI_PER_MIN | volume 1|2 ML | "
           "temp column|reactor C|auto | valve-lose 1|2 | valve-settle MS | block on|off | "
           "relay on|off|pulse [MS] | single-pump on|off | reduced on|off | firmware TEXT | cpld TEXT | "
           "serial N | speed FACTOR | flood status|nul|line SECONDS | flood off | quit";
}

std::string Simulator::control(std::string_view line) {
    auto w = words(line);
    if (w.empty()) return "error: empty command";
    const std::string& c = w[0];
    size_t n = w.size();
    Responder& r = responder_;
    Instrument& in = instrument_;
    auto bad = [&c] { return "error: bad arguments for " + c + " (try help)"; };
    int i = 0;
    bool b = false;
    double d = 0;
    long long ll = 0;

    if (c == "help") return "ok " + controlHelp();
    if (c == "status" && n == 1) return "ok " + describe();
    if (c == "state?" && n == 1) return "ok " + outputs();
    if (c == "termios?" && n == 1) {
        if (!termiosQuery) return "error: no serial line on this link";
        return "ok " + termiosQuery();
    }
    if (c == "silent" && n == 2 && onOff(w[1], b)) return r.silent = b, "ok";
    if (c == "withhold" && n == 2 && switchValue(w[1], i)) return r.withhold.set(i), "ok";
    if (c == "malformed" && n == 2 && switchValue(w[1], i)) return r.malformed.set(i), "ok";
    if (c == "overlong" && n == 2 && switchValue(w[1], i)) return r.overlong.set(i), "ok";
    if (c == "echo" && n == 2 && onOff(w[1], b)) return r.echo = b, "ok";
    if (c == "delay" && n == 2 && integer(w[1], ll) && ll >= 0 && ll <= 3600000) return r.delayMs = ll, "ok";
    if (c == "garbage" && n == 2 && integer(w[1], ll) && ll >= 0 && ll <= 100000) {
        r.sendGarbage(static_cast<size_t>(ll));
        return "ok";
    }
    if (c == "reject" && n == 2) {
        if (w[1] == "all")
            r.rejectAll = true;
        else if (w[1] == "none")
            r.rejectAll = false, r.rejectWords.clear();
        else
            r.rejectWords.insert(w[1]);
        return "ok";
    }
    if (c == "accept" && n == 2) return r.rejectWords.erase(w[1]), "ok";
    if (c == "drop" && n == 1) return drop_ = true, "ok";
    if (c == "quit" && n == 1) return quit_ = true, "ok";
    if (c == "pressure" && n == 3 && pumpNumber(w[1], i)) {
        if (w[2] == "auto") return in.pump(i).pressureOverride.reset(), "ok";
        if (number(w[2], d)) return in.pump(i).pressureOverride = d, "ok";
        return bad();
    }
    if (c == "leak" && n == 3 && pumpNumber(w[1], i) && number(w[2], d) && d >= 0)
        return in.pump(i).leak = d, "ok";
    if (c == "volume" && n == 3 && pumpNumber(w[1], i) && number(w[2], d) && d >= 0 &&
        d <= in.pump(i).capacity)
        return in.pump(i).volume = d, "ok";
    if (c == "temp" && n == 3 && (w[1] == "column" || w[1] == "reactor")) {
        SimHeater& h = w[1] == "column" ? in.column() : in.reactor();
        if (w[2] == "auto") return h.temperatureOverride.reset(), "ok";
        if (number(w[2], d)) return h.temperatureOverride = d, "ok";
        return bad();
    }
    if (c == "valve-lose" && n == 2 && pumpNumber(w[1], i)) return in.loseValve(i), "ok";
    if (c == "valve-settle" && n == 2 && integer(w[1], ll) && ll >= 0 && ll <= 600000)
        return in.config().valveSettleMs = ll, "ok";
    if (c == "block" && n == 2 && onOff(w[1], b)) return in.setOutletBlocked(b), "ok";
    if (c == "relay" && (n == 2 || n == 3)) {
        if (n == 2 && onOff(w[1], b)) return in.setRelay(b), "ok";
        if (w[1] == "pulse") {
            ll = 5000;
            if (n == 3 && (!integer(w[2], ll) || ll <= 0 || ll > 3600000)) return bad();
            return in.pulseRelay(ll), "ok";
        }
        return bad();
    }
    if (c == "single-pump" && n == 2 && onOff(w[1], b)) return in.config().singlePump = b, "ok";
    if (c == "reduced" && n == 2 && onOff(w[1], b)) return in.config().reducedQuery = b, "ok";
    if (c == "firmware" && n == 2 && plainText(w[1])) return in.config().firmware = w[1], "ok";
    if (c == "cpld" && n == 2 && plainText(w[1])) return in.config().cpld = w[1], "ok";
    if (c == "serial" && n == 2 && integer(w[1], ll) && ll >= 0 && ll <= 4294967295LL)
        return in.config().serialNumber = static_cast<uint32_t>(ll), "ok";
    if (c == "speed" && n == 2 && number(w[1], d) && d > 0 && d <= 1000) return speed_ = d, "ok";
    if (c == "flood" && n == 2 && w[1] == "off") return floodLeftMs_ = 0, "ok";
    if (c == "flood" && n == 3 && (w[1] == "status" || w[1] == "nul" || w[1] == "line") && number(w[2], d) &&
        d > 0 && d <= 3600) {
        floodKind_ = w[1] == "status" ? Flood::Status : w[1] == "nul" ? Flood::Nul : Flood::Line;
        floodLeftMs_ = std::llround(d * 1000.0);
        floodPhase_ = 0;
        return "ok";
    }

    static const char* known[] = {"status",      "silent",     "withhold",     "malformed", "overlong",
                                  "echo",        "delay",      "garbage",      "reject",    "accept",
                                  "drop",        "quit",       "pressure",     "leak",      "volume",
                                  "temp",        "valve-lose", "valve-settle", "block",     "relay",
                                  "single-pump", "reduced",    "firmware",     "cpld",      "serial",
                                  "speed",       "termios?",   "flood",        "state?"};
    for (const char* k : known)
        if (c == k) return bad();
    return "error: unknown command " + c + " (try help)";
}

std::string Simulator::flood(int64_t realMs, size_t room) {
    floodLeftMs_ -= realMs;
    if (floodLeftMs_ <= 0 || room == 0) return {};
    std::string pattern;
    if (floodKind_ == Flood::Status)
        pattern = instrument_.statusLine(1) + instrument_.statusLine(2) + instrument_.statusLine(3);
    else
        pattern.assign(4096, floodKind_ == Flood::Nul ? '\0' : 'x');
    std::string out;
    out.reserve(room);
    while (out.size() < room) {
        const size_t take = std::min(room - out.size(), pattern.size() - floodPhase_ % pattern.size());
        out.append(pattern, floodPhase_ % pattern.size(), take);
        floodPhase_ += take;
    }
    return out;
}

std::string Simulator::outputs() const {
    const Instrument& in = instrument_;
    const auto pump = [&in](int p) {
        const SimPump& pm = in.pump(p);
        return std::to_string(p == 2 && in.config().singlePump ? 0 : pm.state) + "/" + fixed(pm.rate, 3);
    };
    const auto heater = [](const SimHeater& h) {
        return std::string(h.heat ? "1" : "0") + (h.force ? "1" : "0");
    };
    return "p1=" + pump(1) + " p2=" + pump(2) + " column=" + heater(in.column()) +
           " reactor=" + heater(in.reactor()) + " received=" + std::to_string(responder_.commands().size());
}

std::string Simulator::describe() const {
    const Instrument& in = instrument_;
    std::string s = "t=" + fixed(in.nowMs() / 1000.0, 1) + "s";
    for (int p = 1; p <= 2; ++p) {
        const SimPump& pm = in.pump(p);
        const SimValve& v = in.valve(p);
        s += " p" + std::to_string(p) + "=[";
        if (p == 2 && in.config().singlePump) {
            s += "absent]";
            continue;
        }
        s += "vol=" + fixed(pm.volume, 3) + " state=" + std::to_string(pm.state) +
             " rate=" + fixed(pm.rate, 3) + " psi=" + fixed(pm.reading(), 1) +
             " limits=" + (pm.limitA() ? "A" : "") + (pm.limitB() ? "B" : "") +
             " stop=" + fixed(pm.stopPressure, 1) + " valve=" + std::to_string(v.position) + "/" +
             std::to_string(v.commanded) + (v.inPosition ? " in" : " out") + "]";
    }
    auto heater = [](const SimHeater& h) {
        return "T=" + fixed(h.reading(), 1) + " sp=" + fixed(h.setPoint, 1) + " max=" + fixed(h.hmax, 1) +
               " heat=" + (h.heat ? "on" : "off") + (h.force ? " force" : "");
    };
    s += " column=[" + heater(in.column()) + "] reactor=[" + heater(in.reactor()) + "]";
    s += std::string(" cfan=") + (in.columnFan() ? "on" : "off") +
         " rfan=" + (in.recircFan() ? "on" : "off") + " door=" + (in.doorOpen() ? "open" : "closed") +
         " relay=" + (in.relayInput() ? "closed" : "open");
    const Responder& r = responder_;
    if (r.silent) s += " SILENT";
    if (r.withhold.on()) s += " WITHHOLD";
    if (r.rejectAll) s += " REJECT-ALL";
    if (floodLeftMs_ > 0) s += " FLOOD";
    return s;
}

}  // namespace zsim
