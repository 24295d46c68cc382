#include "tools/instrument-sim/Instrument.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

namespace zsim {
namespace {

// Pressure per ml/min of flow through an open valve position, psi.
double pathResistance(int position) {
    switch (position) {
        case 1:
            return 3.0;  // waste
        case 2:
            return 150.0;  // column and reactor
        default:
            return 2.0;  // reservoirs
    }
}

// Pressure rise per ml pushed into a closed path, psi.
constexpr double kStiffness = 100000.0;
constexpr double kPressureTauMs = 1000.0;
constexpr double kVacuum = -14.5;
constexpr double kMaxRate = 200.0;

std::vector<std::string_view> splitBlanks(std::string_view s) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        size_t j = i;
        while (j < s.size() && s[j] != ' ' && s[j] != '\t') ++j;
        if (j > i) out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

std::optional<int> toInt(std::string_view s) {
    int v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<double> toDouble(std::string_view s) {
    double v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::fixed);
    if (ec != std::errc() || p != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<bool> toOnOff(std::string_view s, std::string_view on, std::string_view off) {
    if (s == on) return true;
    if (s == off) return false;
    return std::nullopt;
}

std::string dec(long long v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string hex(long long v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v, 16);
    return std::string(buf, r.ptr);
}

long long tenths(double t) {
    return std::llround(t * 10.0);
}

}  // namespace

Instrument::Instrument(InstrumentConfig config) : config_(std::move(config)) {
    column_.temperature = reactor_.temperature = config_.ambient;
    column_.heatRatePerMin = 3.0;
    reactor_.heatRatePerMin = 5.0;
}

CommandResult Instrument::execute(std::string_view command) {
    CommandResult r;
    auto t = splitBlanks(command);
    if (t.empty()) {
        r.accepted = true;  // an empty line only asks for the prompt
        return r;
    }
    std::string_view word = t[0];

    // Status query: "? 0123", also accepted without the blank.
    if (word[0] == '?') {
        std::string_view parts;
        if (word.size() > 1 && t.size() == 1) {
            parts = word.substr(1);
        } else if (word.size() == 1 && t.size() == 2) {
            parts = t[1];
        } else {
            return r;
        }
        bool want[4] = {false, false, false, false};
        for (char c : parts) {
            if (c < '0' || c > '3') return r;
            want[c - '0'] = true;
        }
        for (int p = 0; p < 4; ++p)
            if (want[p]) r.lines += statusLine(p);
        r.accepted = true;
        return r;
    }

    auto motor = [&](std::string_view s) -> int {  // pump number of a motor number, 0 if none
        auto m = toInt(s);
        if (!m) return 0;
        int n = *m == 0 ? 1 : *m == 2 ? 2 : 0;
        return n && pumpPresent(n) ? n : 0;
    };
    auto channel = [&](std::string_view s) -> int {
        auto c = toInt(s);
        if (!c || (*c != 1 && *c != 2)) return 0;
        return pumpPresent(*c) ? *c : 0;
    };

    if (word == "MS" && t.size() == 3) {
        int n = motor(t[1]);
        auto s = toInt(t[2]);
        if (!n || !s || *s < 1 || *s > 256) return r;
        pump(n).stepMode = *s;
    } else if (word == "ML" && t.size() == 3) {
        int n = motor(t[1]);
        auto v = toDouble(t[2]);
        if (!n || !v || *v < 0.0 || *v > kMaxRate) return r;
        pump(n).rate = *v;
    } else if ((word == "FWD" || word == "RVS" || word == "OFF") && t.size() == 2) {
        int n = motor(t[1]);
        if (!n) return r;
        pump(n).state = word == "FWD" ? 1 : word == "RVS" ? 2 : 0;
    } else if (word == "STOPPRESSURE" && t.size() == 3) {
        int n = channel(t[1]);
        auto v = toDouble(t[2]);
        if (!n || !v || *v < 0.0) return r;
        pump(n).stopPressure = *v;
    } else if (word == "VALVE" && t.size() == 3) {
        int n = channel(t[1]);
        auto p = toInt(t[2]);
        if (!n || !p || *p < 1 || *p > 6) return r;
        SimValve& v = valve(n);
        if (v.position == *p && v.inPosition && v.settleLeftMs == 0) {
            v.commanded = *p;  // already there: nothing moves
        } else {
            v.commanded = *p;
            v.position = 0;
            v.inPosition = false;
            v.settleLeftMs = std::max<int64_t>(1, config_.valveSettleMs);
        }
    } else if ((word == "CSETPOINT" || word == "RSETPOINT" || word == "CHMAX" || word == "RHMAX") &&
               t.size() == 2) {
        auto v = toDouble(t[1]);
        if (!v || *v < -100.0 || *v > 300.0) return r;
        SimHeater& h = word[0] == 'C' ? column_ : reactor_;
        (word.substr(1) == "SETPOINT" ? h.setPoint : h.hmax) = *v;
    } else if ((word == "CHEAT" || word == "RHEAT" || word == "CFORCEHEAT" || word == "RFORCEHEAT") &&
               t.size() == 2) {
        auto on = toOnOff(t[1], "ON", "OFF");
        if (!on) return r;
        SimHeater& h = word[0] == 'C' ? column_ : reactor_;
        (word.size() > 5 ? h.force : h.heat) = *on;
    } else if ((word == "RFAN" || word == "CFAN") && t.size() == 2) {
        auto on = toOnOff(t[1], "ON", "OFF");
        if (!on) return r;
        (word == "RFAN" ? recircFan_ : columnFan_) = *on;
    } else if (word == "DOOR" && t.size() == 2) {
        auto open = toOnOff(t[1], "OPEN", "CLOSE");
        if (!open) return r;
        doorOpen_ = *open;
    } else {
        return r;
    }
    r.accepted = true;
    return r;
}

void Instrument::loseValve(int n) {
    SimValve& v = valve(n);
    v.position = 0;
    v.inPosition = false;
    v.settleLeftMs = 0;
}

bool Instrument::pathClosed(int n) const {
    const SimValve& v = valve(n);
    if (v.position == 0 || !v.inPosition) return true;
    return v.position == 3 || (v.position == 2 && outletBlocked_);
}

void Instrument::advance(int64_t ms) {
    // Small steps keep the pressure and temperature curves independent of how callers slice time.
    while (ms > 0) {
        int64_t d = std::min<int64_t>(ms, 50);
        step(d);
        ms -= d;
    }
}

void Instrument::step(int64_t ms) {
    now_ += ms;
    relayPulseLeftMs_ = std::max<int64_t>(0, relayPulseLeftMs_ - ms);
    for (SimValve& v : valves_) {
        if (v.settleLeftMs > 0) {
            v.settleLeftMs -= ms;
            if (v.settleLeftMs <= 0) {
                v.settleLeftMs = 0;
                v.position = v.commanded;
                v.inPosition = true;
            }
        }
    }
    stepPump(1, ms);
    if (pumpPresent(2)) stepPump(2, ms);
    stepHeater(column_, columnCoolTau(), ms);
    stepHeater(reactor_, 20.0, ms);
}

void Instrument::stepPump(int n, int64_t ms) {
    SimPump& p = pump(n);
    double minutes = ms / 60000.0;
    double flow = p.state == 1 ? p.rate : p.state == 2 ? -p.rate : 0.0;  // ml/min out of the syringe

    if (p.state == 1) {
        p.volume -= p.rate * minutes;
        if (p.volume <= 0.0) p.volume = 0.0, p.state = 0;
    } else if (p.state == 2) {
        p.volume += p.rate * minutes;
        if (p.volume >= p.capacity) p.volume = p.capacity, p.state = 0;
    }

    if (pathClosed(n)) {
        p.pressure += kStiffness * flow * minutes;
        if (flow <= 0.0 && p.pressure > 0.0) p.pressure = std::max(0.0, p.pressure - p.leak * minutes);
    } else {
        double target = flow >= 0.0 ? pathResistance(valve(n).position) * flow : 0.5 * flow;
        p.pressure += (target - p.pressure) * (1.0 - std::exp(-ms / kPressureTauMs));
    }
    p.pressure = std::max(kVacuum, p.pressure);

    // The pump stops itself when a forward move reaches the stop pressure.
    if (p.state == 1 && p.stopPressure > 0.0 && p.reading() >= p.stopPressure) p.state = 0;
}

double Instrument::columnCoolTau() const {
    if (columnFan_ && doorOpen_) return 2.0;
    if (columnFan_) return 4.0;
    return 15.0;
}

void Instrument::stepHeater(SimHeater& h, double coolTauMin, int64_t ms) {
    double minutes = ms / 60000.0;
    double target = h.force ? h.hmax : std::min(h.setPoint, h.hmax);
    if (h.heat && h.temperature < target) {
        h.temperature = std::min(target, h.temperature + h.heatRatePerMin * minutes);
        return;
    }
    double next = h.temperature + (config_.ambient - h.temperature) * (1.0 - std::exp(-minutes / coolTauMin));
    if (h.heat && next < target && h.temperature >= target) next = target;  // the heater holds its set point
    h.temperature = next;
}

std::string Instrument::statusLine(int part) const {
    std::string s = "?" + dec(part);
    auto add = [&s](const std::string& f) { s += ',' + f; };
    switch (part) {
        case 0:
            add(config_.firmware);
            add(config_.cpld);
            add("KVZ");
            add("B");
            add("2024-03-11");
            add(dec(config_.serialNumber));
            add(config_.reducedQuery ? "1" : "0");
            add(dec(config_.singlePump ? 1 : 2));
            add("0");
            add("0");
            break;
        case 1:
        case 2: {
            int n = part;
            if (!pumpPresent(n)) {
                // An absent pump reports both limits at once, which the program reads as "no pump 2".
                for (const char* f : {"0", "0", "3", "0", "0", "0", "0", "0", "0", "0", "0", "2"}) add(f);
                break;
            }
            const SimPump& p = pump(n);
            const SimValve& v = valve(n);
            add(dec(std::llround(p.volume * 100000.0)));
            add(hex(p.state));
            add(hex((p.limitA() ? 2 : 0) | (p.limitB() ? 1 : 0)));
            add(dec(std::llround(p.reading() * 1000.0)));
            add(hex(p.stepMode));
            add(dec(std::llround(p.rate * 1000.0)));
            add(hex(v.position));
            add(hex(v.commanded));
            add(hex(v.inPosition ? 1 : 0));
            add(hex(std::llround(p.stopPressure)));
            add("0");
            add(hex(n == 1 ? 0 : 2));
            break;
        }
        case 3: {
            int e = (column_.heat ? 1 : 0) | (column_.force ? 2 : 0) | (reactor_.heat ? 4 : 0) |
                    (reactor_.force ? 8 : 0);
            int f =
                (columnFan_ ? 1 : 0) | (recircFan_ ? 2 : 0) | (doorOpen_ ? 4 : 0) | (relayInput() ? 16 : 0);
            add(dec(tenths(column_.setPoint)));
            add(dec(tenths(column_.reading())));
            add(dec(tenths(reactor_.setPoint)));
            add(dec(tenths(reactor_.reading())));
            add(hex(e));
            add(hex(f));
            add(dec(tenths(config_.ambient)));
            break;
        }
        default:
            return std::string();
    }
    return s + "\r\n";
}

}  // namespace zsim
