// A random operator against the simulated instrument: from a seed it clicks every command of the
// main window and of the dialogs they open, answers every box at random, makes the instrument drop
// its link, answer slowly or not at all, report a temperature or a pressure the monitor reacts
// to, waits, and ends the program by every way out. After every step it checks what the
// instrument itself holds (its outputs and the commands it received), never what the program
// says of itself:
// - after a stop (Stop, Disable, Pump n Off, Both Pumps Off, the monitor, a lost link, a saved
//   configuration) what it covers is off on the instrument within 3 s, and stays off until the
//   operator starts something that uses it;
// - a pump runs only while something the operator started uses it;
// - once the program has ended, by whatever way, every pump and heater is off;
// - a mode or LCD that says stopped, ready or disabled holds no running pump (no heater either
//   for halted or disabled).
//
// A run prints its seed. Replay one, or run seeds N, N+1, ... for an hour (each 200 steps unless
// ZENTROVA_RANDOM_STEPS says otherwise; ZENTROVA_RANDOM_VERBOSE=1 prints the steps as they go):
//   ZENTROVA_RANDOM_SEED=N ZENTROVA_RANDOM_STEPS=M integration_test_program_random
//   ZENTROVA_RANDOM_SEED=N ZENTROVA_RANDOM_MINUTES=60 integration_test_program_random
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "integration/support_program.h"

namespace {

using progtest::countOf;
using progtest::waitUntil;

const std::string kLive = "#main: setMode(): mode=2; current mode=0";
// An ending whose halt the instrument answered command by command.
const std::string kHalted = "#main: Instrument halted; program ends";
// The limit the instrument is given to switch off what a stop covers.
constexpr qint64 kStopMs = 3000;
// A confirmed ending may take its countdown and the halt's drain; beyond this it hangs.
constexpr qint64 kEndMs = 30000;
// The program notices a link that carries nothing after 10 s (and a tick).
constexpr qint64 kNoticeMs = 12000;
// A reply withheld holds the program's queue up to 3 s (and a tick).
constexpr qint64 kWithheldMs = 4000;
// A release of a tested path's pressure after a stop runs the pump backwards this slowly.
constexpr double kReleaseRate = 0.011;

// Two short methods (one with a pump timetable) and two sequences.
const char* kStore =
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Short]\n"
    "\"ColumnT\"=sz:35\n\"ReactorT\"=sz:45\n\"Runtime\"=sz:0.3\n\"EquilTime\"=sz:0.2\n"
    "\"Pump1Flow\"=sz:0.5\n\"Pump2Flow\"=sz:0.3\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Stepped]\n"
    "\"ColumnT\"=sz:40\n\"ReactorT\"=sz:50\n\"Runtime\"=sz:0.4\n\"EquilTime\"=sz:0\n"
    "\"Pump1Flow\"=sz:0.2\n\"Pump2Flow\"=sz:0.4\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Stepped\\Pumps\\1]\n"
    "\"time\"=sz:0.2\n\"1\"=sz:0.6\n\"2\"=sz:0\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Pair\\0000001]\n"
    "\"Name\"=sz:Short\n\"Repeat\"=sz:2\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Pair\\0000002]\n"
    "\"Name\"=sz:Stepped\n\"Repeat\"=sz:1\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Solo\\0000001]\n"
    "\"Name\"=sz:Stepped\n\"Repeat\"=sz:1\n";

enum Dev { P1, P2, Column, Reactor, kDevs };
const char* const kDevName[kDevs] = {"pump 1", "pump 2", "column heater", "reactor heater"};
constexpr unsigned kPumps = 1u << P1 | 1u << P2;
constexpr unsigned kHeaters = 1u << Column | 1u << Reactor;
constexpr unsigned kAll = kPumps | kHeaters;

// The instrument's outputs as "state?" reports them.
struct Outputs {
    bool valid = false;
    int pumpState[2] = {0, 0};
    double rate[2] = {0, 0};
    bool heat[2] = {false, false};
    size_t received = 0;

    bool on(int d) const {
        if (d == P1 || d == P2)  // a slow reverse is the release of a tested path's pressure
            return pumpState[d] == 1 || (pumpState[d] == 2 && rate[d] > kReleaseRate);
        return heat[d - Column];
    }
    std::string text() const {
        std::string s;
        for (int d = 0; d < kDevs; ++d) s += std::string(kDevName[d]) + (on(d) ? " on; " : " off; ");
        return s;
    }
};

Outputs parseOutputs(const std::string& answer) {
    Outputs o;
    if (answer.rfind("ok ", 0) != 0) return o;
    std::istringstream in(answer.substr(3));
    std::string w;
    while (in >> w) {
        const size_t eq = w.find('=');
        if (eq == std::string::npos) continue;
        const std::string k = w.substr(0, eq), v = w.substr(eq + 1);
        if (k == "p1" || k == "p2") {
            const int i = k == "p1" ? 0 : 1;
            o.pumpState[i] = std::atoi(v.c_str());
            const size_t slash = v.find('/');
            o.rate[i] = slash == std::string::npos ? 0 : std::atof(v.c_str() + slash + 1);
        } else if (k == "column" || k == "reactor") {
            o.heat[k == "column" ? 0 : 1] = v.find('1') != std::string::npos;
        } else if (k == "received") {
            o.received = size_t(std::atoll(v.c_str()));
            o.valid = true;
        }
    }
    return o;
}

// The devices a command line for the instrument starts ("MS 0 1;ML 0 0.25;FWD 0"); rates are
// remembered across lines.
unsigned starts(const std::string& line, double rate[2]) {
    unsigned out = 0;
    std::istringstream parts(line);
    for (std::string c; std::getline(parts, c, ';');) {
        std::istringstream w(c);
        std::string word, a, b;
        w >> word >> a >> b;
        const int pump = a == "0" ? 0 : a == "2" ? 1 : -1;
        if (word == "ML" && pump >= 0) rate[pump] = std::atof(b.c_str());
        if (word == "FWD" && pump >= 0) out |= 1u << pump;
        if (word == "RVS" && pump >= 0 && rate[pump] > kReleaseRate) out |= 1u << pump;
        if ((word == "CHEAT" || word == "CFORCEHEAT") && a == "ON") out |= 1u << Column;
        if ((word == "RHEAT" || word == "RFORCEHEAT") && a == "ON") out |= 1u << Reactor;
    }
    return out;
}

struct RunSpec {
    uint64_t seed = 0;
    int steps = 0;
};

uint64_t envNumber(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

// The buttons the operator may press in each dialog (Help buttons open the manual: left out).
const std::map<std::string, std::vector<std::string>> kDialogButtons{
    {"InstrumentConfiguration", {"Save", "Cancel", "RefreshUSBBtn"}},
    {"LoadSequenceDialog", {"LoadBtn", "CancelBtn"}},
    {"EditSequenceDialog",
     {"BtnAddSequence", "BtnDeleteSequence", "BtnAddMethod", "BtnInsertMethod", "BtnDeleteMethod",
      "BtnSaveAs", "BtnCancel", "BtnPrint", "BtnSave", "BtnLoad", "BtnClose"}},
    {"ReactorTempCalibration", {"Close", "Cancel"}},
    {"ColumnTempCalibration", {"Close", "Cancel"}},
};
const std::vector<std::string> kAnyButtons{"Save",    "Cancel", "Close", "Add",  "Delete", "Insert", "Print",
                                           "Save As", "Load",   "OK",    "Done", "Export", "Import"};

// What a menu command may start (its grant) or stop, by its object name.
struct Command {
    const char* name;
    unsigned grants;
    int weight;
};
const Command kCommands[] = {
    {"ImportExport", 0, 1},
    {"Exit1", 0, 2},
    {"Enable1", kHeaters, 10},  // Disable when enabled: handled apart
    {"RefillPump1", 1u << P1, 4},
    {"RefillPump2", 1u << P2, 4},
    {"RefillBothPumps", kPumps, 4},
    {"FlushPump1", 1u << P1, 3},
    {"FlushPump2", 1u << P2, 3},
    {"FlushBothPumps", kPumps, 3},
    {"EmptyPump1", 1u << P1, 3},
    {"EmptyPump2", 1u << P2, 3},
    {"EmptyBothPumps", kPumps, 3},
    {"RefillPump", 1u << P1, 1},
    {"FlushPump", 1u << P1, 1},
    {"EmptyPump", 1u << P1, 1},
    {"Pump1On", (1u << P1) | kHeaters, 10},  // Pump 1 Off when on: handled apart
    {"Pump2On", (1u << P2) | kHeaters, 10},
    {"BothPumpsOn", kAll, 7},
    {"BothPumpsOff", 0, 8},
    {"EditDelete1", 0, 2},
    {"Pring1", 0, 1},
    {"SequenceTable1", 0, 2},
    {"Load1", 0, 4},
    {"StartSequence1", kAll, 10},
    {"StopSequence1", 0, 5},
    {"Print1", 0, 1},
    {"Configure1", 0, 4},
    {"FlushInstrument1", kAll, 3},
    {"ChangeSeal1", kPumps, 2},
    {"PrepareforStorageShipping1", kAll, 3},
    {"ReactorTemperatureCalibration", kHeaters, 1},
    {"ColumnTemperatureCalibration", kHeaters, 1},
    {"TestPressure1", 1u << P1, 1},
    {"Pump11", 1u << P1, 3},
    {"Pump21", 1u << P2, 3},
    {"BothPumps1", kPumps, 3},
    {"SystemPressureTest1", kPumps, 3},
    {"StopReset1", 0, 12},  // Stop, or Reset after a stop
    {"About1", 0, 1},
    {"SendLogToSupport1", 0, 1},
};

class Operator {
  public:
    Operator(const RunSpec& plan) : plan_(plan), rng_(plan.seed), sim_(box_) { clock_.start(); }

    // Runs the steps; "" when every invariant held, else what broke and the steps before it.
    std::string run() {
        if (const std::string missing = progtest::missingProgram(); !missing.empty())
            return missing + " is missing";
        if (!sim_.startPty({"--speed", "10", "--seed", std::to_string(plan_.seed % 100000)}))
            return "the simulator did not start: " + sim_.output();
        if (!box_.setting("ConnectMethod", 2) || !box_.setting("COM", sim_.ptyPath()) ||
            !box_.setting("RefillSpeed", 55) || !box_.import(kStore))
            return "the store could not be seeded";
        if (!startProgram()) return failure_;
        for (step_ = 1; step_ <= plan_.steps && failure_.empty(); ++step_) {
            oneStep();
            settle(150 + int(pick(250)));
        }
        if (failure_.empty()) endAtLast();
        if (prog_) prog_->stop();
        return failure_;
    }

  private:
    // ------------------------------------------------------------ random choice
    uint64_t pick(uint64_t n) { return n ? rng_() % n : 0; }
    bool chance(int percent) { return int(pick(100)) < percent; }
    qint64 now() const { return clock_.elapsed(); }

    void trace(const std::string& what) {
        char at[32];
        std::snprintf(at, sizeof at, "[%d @%.1fs] ", step_, double(now()) / 1000.0);
        const std::string line = at + what;
        trace_.push_back(line);
        if (std::getenv("ZENTROVA_RANDOM_VERBOSE")) std::printf("%s\n", line.c_str());
    }

    void fail(const std::string& why) {
        if (!failure_.empty()) return;
        std::ostringstream out;
        out << "seed " << plan_.seed << ", step " << step_ << " of " << plan_.steps << ": " << why
            << "\ninstrument: " << sim_.control("status") << "\nsteps:\n";
        const size_t from = trace_.size() > 40 ? trace_.size() - 40 : 0;
        for (size_t i = from; i < trace_.size(); ++i) out << "  " << trace_[i] << "\n";
        const auto cmds = sim_.nonQueries();
        out << "last commands received:";
        for (size_t i = cmds.size() > 25 ? cmds.size() - 25 : 0; i < cmds.size(); ++i)
            out << " | " << cmds[i];
        out << "\nthe program's log (status lines left out):";
        const std::string log = box_.logText();
        std::vector<std::string> lines;
        for (size_t pos = 0, nl; (nl = log.find('\n', pos)) != std::string::npos; pos = nl + 1) {
            const std::string line = log.substr(pos, nl - pos);
            const size_t comma = line.find(',');
            const char first = comma == std::string::npos || comma + 1 >= line.size() ? ' ' : line[comma + 1];
            if (first != '?' && first != '>') lines.push_back(line);
        }
        for (size_t i = lines.size() > 60 ? lines.size() - 60 : 0; i < lines.size(); ++i)
            out << "\n  " << lines[i];
        out << "\nreplay: ZENTROVA_RANDOM_SEED=" << plan_.seed << " ZENTROVA_RANDOM_STEPS=" << plan_.steps;
        failure_ = out.str();
    }

    // ------------------------------------------------------------ the program
    bool startProgram() {
        // Each return of a lost link logs the live line again: this start's own is one more
        // than the log holds now.
        const int live = countOf(box_.logText(), kLive);
        haltedSeen_ = countOf(box_.logText(), kHalted);
        prog_ = std::make_unique<progtest::Program>(box_);
        if (!prog_->start()) {
            failure_ = "the program did not start: " + prog_->output();
            return false;
        }
        if (!prog_->waitForLog(kLive, 20000, live + 1)) {
            failure_ = "the program did not reach the instrument:\n" + prog_->logText();
            return false;
        }
        prog_->control("hold on");
        prog_->control(chance(70) ? "sequence Pair" : "sequence Solo");
        ending_ = false;
        lostSeen_ = countOf(prog_->logText(), "#main: Connection lost");
        backSeen_ = countOf(prog_->logText(), "#main: Connection back after");
        trace("program started");
        return true;
    }

    bool running() { return prog_ && !prog_->waitForExit(0); }

    // ------------------------------------------------------------ the model
    // What the operator allowed to run: a device may run after a command that may start it, until
    // a stop that covers it.
    struct Device {
        bool allowed = false;
        qint64 deadline = 0;            // when it must be off (after a stop)
        std::string why = "the start";  // the stop
        bool seenOff = true;            // seen off since the stop
        size_t offAt = 0;               // the instrument's command count when it was seen off
    };
    std::array<Device, kDevs> dev_;
    bool intended_[2] = {false, false};  // Pump n On clicked and not stopped since

    // The record is checked up to an action before it is taken: what the action sends is allowed.
    void grant(unsigned devices, const std::string& why) {
        for (int d = 0; d < kDevs; ++d)
            if (devices & (1u << d)) dev_[d].allowed = true;
        if (devices) trace("  may start:" + names(devices) + " (" + why + ")");
    }

    void stop(unsigned devices, const std::string& why, qint64 at) {
        for (int d = 0; d < kDevs; ++d) {
            if (!(devices & (1u << d))) continue;
            Device& x = dev_[d];
            // A stop that follows one still pending keeps the earlier limit.
            if (!x.allowed && !x.seenOff) continue;
            x.allowed = false;
            x.deadline = at + kStopMs + slowness();
            x.why = why;
            x.seenOff = false;
            if (d == P1 || d == P2) intended_[d] = false;
        }
        trace("  stop:" + names(devices) + " (" + why + ")");
    }

    static std::string names(unsigned devices) {
        std::string s;
        for (int d = 0; d < kDevs; ++d)
            if (devices & (1u << d)) s += std::string(" ") + kDevName[d];
        return s;
    }

    // Extra time the faults allow: slow and missing replies pace the halt.
    qint64 slowness() const { return 4 * delayMs_ + (now() < withholdUntil_ ? kWithheldMs * withheld_ : 0); }
    // A fault that slows the link gives the stops under way more time.
    void slowed() {
        for (Device& x : dev_)
            if (!x.allowed && !x.seenOff) x.deadline = std::max(x.deadline, now() + kStopMs + slowness());
    }

    // One look at the instrument (and at the program's mode and LCD): every invariant.
    void sample() {
        const Outputs o = parseOutputs(sim_.control("state?"));
        if (!o.valid) return;
        last_ = o;
        const qint64 t = now();
        for (int d = 0; d < kDevs; ++d) {
            Device& x = dev_[d];
            if (x.allowed) continue;
            // Commands the program sent before the stop may still arrive within its limit; after
            // it, what the stop covers is off and stays off.
            if (t <= x.deadline || linkDown()) continue;
            if (!o.on(d)) {
                if (!x.seenOff) x.offAt = o.received;
                x.seenOff = true;
            } else if (x.seenOff) {
                fail(std::string(kDevName[d]) + " is on though nothing started it since " + x.why + " (" +
                     o.text() + ")");
            } else {
                fail(std::string(kDevName[d]) + " still on " + std::to_string(t - x.deadline + kStopMs) +
                     " ms after " + x.why + " (" + o.text() + ")");
            }
        }
        if (running() && t - lastView_ >= 400) {
            lastView_ = t;
            checkView(o, t);
            checkLink(t);
            if (configPending_ && prog_->control("open") == "0" &&
                prog_->control("modal") != "InstrumentConfiguration") {
                configPending_ = false;
                stop(kAll, "a saved configuration", configAt_);
            }
        }
    }

    // The program's stop must leave nothing running where its mode or LCD says it has.
    void checkView(const Outputs& o, qint64 t) {
        const std::string mode = prog_->state("mode");
        const std::string message = prog_->state("message");
        if (mode.empty()) return;
        const bool idle = mode == "2" || mode == "3" || mode == "4" || mode == "19";
        // A heater the operator enabled again under a halted mode is the operator's (the mode then
        // is stale, which only a command the menus no longer offer can cause): the LCD decides.
        const bool heatersAllowed = dev_[Column].allowed || dev_[Reactor].allowed;
        const bool halted = ((mode == "4" || mode == "19") && !heatersAllowed) ||
                            message.find("HALTED") != std::string::npos ||
                            message.find("Instrument Disabled") != std::string::npos;
        // The faults under way when the view changed pace the halt behind it, though their
        // window closes before the halt is through: the limit is set then, and only grows.
        const qint64 limit = t + kStopMs + slowness();
        if (idle && idleSince_ < 0) idleUntil_ = limit;
        if (halted && haltedSince_ < 0) haltedUntil_ = limit;
        idleSince_ = idle ? (idleSince_ < 0 ? t : idleSince_) : -1;
        haltedSince_ = halted ? (haltedSince_ < 0 ? t : haltedSince_) : -1;
        if (linkDown()) return;
        idleUntil_ = std::max(idleUntil_, idleSince_ + kStopMs + slowness());
        haltedUntil_ = std::max(haltedUntil_, haltedSince_ + kStopMs + slowness());
        if (idleSince_ >= 0 && t > idleUntil_ && (o.on(P1) || o.on(P2)))
            fail("mode " + mode + " (\"" + message + "\") for " + std::to_string(t - idleSince_) +
                 " ms while a pump runs (" + o.text() + ")");
        if (haltedSince_ >= 0 && t > haltedUntil_ && (o.on(Column) || o.on(Reactor)))
            fail("mode " + mode + " (\"" + message + "\") for " + std::to_string(t - haltedSince_) +
                 " ms while a heater is on (" + o.text() + ")");
    }

    // A link the program lost is a stop of everything; the limit counts from its return.
    void checkLink(qint64 t) {
        const std::string log = prog_->logText();
        const int lost = countOf(log, "#main: Connection lost");
        const int back = countOf(log, "#main: Connection back after");
        if (lost > lostSeen_) {
            lostSeen_ = lost;
            stop(kAll, "the program lost the link", t);
            linkLost_ = true;
        }
        if (back > backSeen_) {
            backSeen_ = back;
            if (linkLost_) {
                linkReturns();
                trace("  the program has the link back");
            }
            linkLost_ = false;
        }
    }
    // While the link is down nothing can reach the instrument; a dropped link takes the program a
    // few ticks to notice.
    bool linkDown() const { return linkLost_ || silent_ || now() - droppedAt_ < kNoticeMs; }
    // The link is back on the instrument's side: what a stop covers has the full time again.
    void linkReturns() {
        for (Device& x : dev_)
            if (!x.allowed && !x.seenOff) x.deadline = std::max(x.deadline, now() + kStopMs + slowness());
    }

    // Commands the instrument received: nothing that a stop covers starts again before the
    // operator allows it.
    void checkRecord() {
        const auto all = sim_.commands();
        double rate[2] = {recordRate_[0], recordRate_[1]};
        for (size_t i = recordChecked_; i < all.size(); ++i) {
            const unsigned s = starts(all[i], rate);
            for (int d = 0; d < kDevs; ++d)
                if ((s & (1u << d)) && !dev_[d].allowed && dev_[d].seenOff && i >= dev_[d].offAt)
                    fail("the instrument received \"" + all[i] + "\" (command " + std::to_string(i + 1) +
                         ") though " + kDevName[d] + " was stopped by " + dev_[d].why +
                         " and nothing started it since");
        }
        recordChecked_ = all.size();
        recordRate_[0] = rate[0];
        recordRate_[1] = rate[1];
    }

    // Waits ms, looking at the instrument all the while.
    void settle(int ms) {
        const qint64 until = now() + ms;
        do {
            sample();
            endCheck();
            progtest::pause(100);
        } while (now() < until && failure_.empty());
        checkRecord();
    }

    // ------------------------------------------------------------ ends
    void beginEnd(const std::string& how) {
        if (!ending_) endAt_ = now();
        ending_ = true;
        trace("  ending: " + how);
    }

    // Once the program has ended, whatever way, nothing runs; an ending is bounded.
    void endCheck() {
        if (!prog_ || !failure_.empty()) return;
        if (running()) {
            if (ending_ && now() - endAt_ > kEndMs + slowness())
                fail("the program did not end " + std::to_string(kEndMs / 1000) + " s after it was asked to");
            return;
        }
        if (prog_->crashed()) return fail("the program crashed:\n" + prog_->output());
        trace("program ended (exit " + std::to_string(prog_->exitCode()) + ")");
        if (!ending_) trace("  (it ended by itself)");
        // Whether the link was faulty is a matter of the moment the program ended, not of how
        // long its halt then takes to arrive.
        const bool faulty = linkDown() || delayMs_ > 0 || faultyUntil_ > now();
        // A halt the instrument answered is whole on it. One it did not answer (a slow or
        // missing reply) was written before the process ended and may still be on its way
        // through the pseudo-terminal: it is given the time of a stop to arrive.
        const auto anyOnIn = [](const Outputs& o) {
            bool on = false;
            for (int d = 0; d < kDevs; ++d) on = on || o.on(d);
            return on;
        };
        Outputs o = parseOutputs(sim_.control("state?"));
        if (!faulty && countOf(box_.logText(), kHalted) <= haltedSeen_)
            waitUntil(
                [&] {
                    o = parseOutputs(sim_.control("state?"));
                    return o.valid && !anyOnIn(o);
                },
                int(kStopMs + slowness()));
        const bool anyOn = anyOnIn(o);
        if (anyOn && !faulty) return fail("the program ended and left " + o.text());
        if (anyOn) trace("  ended with the link faulty: " + o.text());
        clearFaults();
        // The next program starts from whatever is left; a stop of everything covers it.
        stop(kAll, "the end of the program", now());
        if (anyOn)
            for (Device& x : dev_) x.deadline = now() + 20000;  // the next program halts it at its connect
        checkRecord();
        if (!finalEnd_) startProgram();
    }

    void endAtLast() {
        if (!running()) return;
        // Boxes still open are answered (No to what would start something), then the close is
        // confirmed.
        finalEnd_ = true;
        bool asked = false;
        const qint64 until = now() + kEndMs + 5000;
        while (running() && now() < until && failure_.empty()) {
            if (prog_->control("open") != "0") {
                const std::string boxes = prog_->control("boxes");
                const bool close = boxes.rfind("You asked to close") != std::string::npos &&
                                   boxes.rfind("You asked to close") > boxes.rfind(" | ");
                const bool question = boxes.substr(boxes.rfind(" | ") + 1).find('?') != std::string::npos;
                prog_->control(close ? "answer yes" : question ? "answer no" : "answer ok");
                if (close) beginEnd("the last step closes");
            } else if (!asked) {
                prog_->control("close");
                asked = true;
            }
            settle(200);
        }
        if (running()) fail("the program did not end at the last close");
    }

    // ------------------------------------------------------------ faults of the instrument
    void clearFaults() {
        for (const char* c : {"silent off", "withhold off", "delay 0", "temp column auto",
                              "temp reactor auto", "pressure 1 auto", "pressure 2 auto"})
            sim_.control(c);
        silent_ = false;
        delayMs_ = 0;
        faultyUntil_ = now() + 2000;
    }

    void fault() {
        const int f = int(pick(100));
        const std::string mode = running() ? prog_->state("mode") : "";
        if (f < 15) {
            trace("instrument: drop the link");
            sim_.control("drop");
            droppedAt_ = now();
        } else if (f < 30) {
            silent_ = !silent_;
            trace(std::string("instrument: silent ") + (silent_ ? "on" : "off"));
            sim_.control(silent_ ? "silent on" : "silent off");
            if (!silent_) {
                // What went out while it was deaf waits for its reply as for a withheld one.
                withheld_ = 1;
                withholdUntil_ = now() + 2 * kWithheldMs;
                faultyUntil_ = withholdUntil_;
                linkReturns();
            }
        } else if (f < 42) {
            delayMs_ = delayMs_ ? 0 : 100 + int(pick(400));
            trace("instrument: reply delay " + std::to_string(delayMs_) + " ms");
            sim_.control("delay " + std::to_string(delayMs_ * 10));  // model time runs 10 times faster
            slowed();
            faultyUntil_ = now() + 3000;
        } else if (f < 50) {
            withheld_ = 1 + int(pick(2));
            trace("instrument: withhold " + std::to_string(withheld_) + " replies");
            sim_.control("withhold " + std::to_string(withheld_));
            withholdUntil_ = now() + kWithheldMs * (withheld_ + 1);
            faultyUntil_ = withholdUntil_;
            slowed();
        } else if (f < 68) {
            const bool column = chance(50);
            const bool on = !(column ? columnHot_ : reactorHot_);
            (column ? columnHot_ : reactorHot_) = on;
            const std::string what = column ? "column" : "reactor";
            trace("instrument: " + what + " temperature " + (on ? "over its maximum" : "back"));
            sim_.control("temp " + what + (on ? (column ? " 95" : " 160") : " auto"));
            if (on && !linkDown() && mode != "0" && !mode.empty())
                stop(kAll, "the monitor (" + what + " too hot)", now());
        } else if (f < 84) {
            const int p = 1 + int(pick(2));
            bool& high = pressureHigh_[p - 1];
            high = !high;
            trace("instrument: pump " + std::to_string(p) + " pressure " +
                  (high ? "over its maximum" : "back"));
            sim_.control("pressure " + std::to_string(p) + (high ? " 600" : " auto"));
            if (high && !linkDown() && mode != "0" && mode != "14" && mode != "15" && !mode.empty())
                stop(kAll, "the monitor (pump " + std::to_string(p) + " pressure)", now());
        } else if (f < 92) {
            const int v = 1 + int(pick(2));
            trace("instrument: valve " + std::to_string(v) + " lost");
            sim_.control("valve-lose " + std::to_string(v));
        } else {
            trace("instrument: faults cleared");
            clearFaults();
            columnHot_ = reactorHot_ = pressureHigh_[0] = pressureHigh_[1] = false;
        }
    }

    // ------------------------------------------------------------ the operator
    void oneStep() {
        if (!running()) return endCheck();
        const int open = std::atoi(prog_->control("open").c_str());
        if (open > 0 && chance(90)) return answerBox();
        const std::string modal = prog_->control("modal");
        if (!modal.empty() && chance(85)) return inDialog(modal);
        if (!followUp_.empty() && open == 0) return menu();
        const int r = int(pick(100));
        if (r < 60)
            menu();
        else if (r < 72)
            fault();
        else if (r < 88) {
            const int ms = int(pick(5001));
            trace("wait " + std::to_string(ms) + " ms");
            settle(ms);
        } else if (r < 91) {
            trace("critical error window: OK");
            prog_->control("click OKBtn");
        } else if (r < 93) {
            trace("dismiss");
            prog_->control("dismiss");
        } else if (r < 97) {
            const std::string seq = chance(50) ? "Pair" : "Solo";
            trace("sequence " + seq + " chosen");
            prog_->control("sequence " + seq);
        } else {
            wayOut();
        }
    }

    void answerBox() {
        const std::string boxes = prog_->control("boxes");
        const size_t bar = boxes.rfind(" | ");
        const std::string text = bar == std::string::npos ? "" : boxes.substr(bar + 3);
        const bool question =
            text.find('?') != std::string::npos || text.find("confirm") != std::string::npos;
        // Mostly the answer that goes on; now and then one the box has no button for.
        static const char* const asked[] = {"yes", "yes", "yes", "ok", "ok", "no", "cancel"};
        static const char* const told[] = {"ok", "ok", "ok", "cancel", "yes"};
        const std::string answer = question ? asked[pick(7)] : told[pick(5)];
        checkRecord();
        trace("box \"" + text.substr(0, 90) + "\": " + answer);
        const qint64 t = now();
        prog_->control("answer " + answer);
        if (text.find("You asked to close") != std::string::npos && answer == "yes")
            beginEnd("close confirmed");
        // The question of a saved configuration: its OK halts the instrument.
        if (configPending_ && text.find("Save the settings?") != std::string::npos) {
            configPending_ = answer == "ok";
            configAt_ = t;
        }
        if (text.find("Enable Instrument?") != std::string::npos && answer == "yes")
            grant(kHeaters, "enable asked");
    }

    void inDialog(const std::string& modal) {
        if (modal == "LoadSequenceDialog" && chance(40)) {
            const std::string seq = chance(50) ? "Pair" : "Solo";
            trace("load dialog: sequence " + seq);
            prog_->control("sequence " + seq);
            prog_->control("dismiss");
            return;
        }
        if (chance(15)) {
            configPending_ = false;
            trace("dialog " + modal + ": dismiss");
            prog_->control("dismiss");
            return;
        }
        const auto it = kDialogButtons.find(modal);
        const std::vector<std::string>& buttons = it != kDialogButtons.end() ? it->second : kAnyButtons;
        const std::string b = buttons[pick(buttons.size())];
        const qint64 t = now();
        checkRecord();
        const std::string answer = prog_->control("click " + b);
        trace("dialog " + modal + ": " + b + " -> " + answer);
        if (answer != "ok") return;
        // Saved and closed: the link is dropped and reopened, after the halt.
        if (modal == "InstrumentConfiguration") configPending_ = b == "Save", configAt_ = t;
        if (modal.find("Calibration") != std::string::npos) grant(kHeaters, "calibration");
    }

    void menu() {
        // A pump just started is now and then switched off again at once, while its valve moves.
        if (!followUp_.empty()) {
            const std::string name = followUp_;
            followUp_.clear();
            for (const Command& c : kCommands)
                if (name == c.name) return click(c);
        }
        // The weights choose among every command of the main window.
        int total = 0;
        for (const Command& c : kCommands) total += c.weight;
        int r = int(pick(uint64_t(total)));
        const Command* cmd = &kCommands[0];
        for (const Command& c : kCommands) {
            if (r < c.weight) {
                cmd = &c;
                break;
            }
            r -= c.weight;
        }
        click(*cmd);
    }

    void click(const Command& command) {
        const Command* cmd = &command;
        const std::string name = cmd->name;
        const std::string mode = prog_->state("mode");
        const std::string enabled = prog_->state("enabled");
        checkRecord();
        const size_t before = last_.received;
        const qint64 t = now();
        const std::string answer = prog_->control("menu " + name);
        trace("menu " + name + " (mode " + mode + ", enabled " + enabled + ") -> " + answer);
        // A command that is not offered now does nothing: a valid outcome.
        if (answer != "ok") return;
        if (name == "StopReset1") {
            if (mode != "4") stop(kAll, "Stop", t);
            return;
        }
        if (name == "Enable1" && enabled == "1") return stop(kAll, "Disable", t);
        if (name == "BothPumpsOff") {
            if (mode == "6") stop(kPumps, "Both Pumps Off", t);
            return;
        }
        if (name == "Exit1") return;  // the close box decides
        if ((name == "Pump1On" || name == "Pump2On") && mode == "6") {
            const int p = name == "Pump1On" ? 0 : 1;
            if (intended_[p]) {
                // The toggle said Off when the program sends the pump's Off at once.
                grant(cmd->grants, name);  // until the Off shows
                settle(1200);
                const auto all = sim_.commands();
                const std::string off = p == 0 ? "OFF 0" : "OFF 2";
                if (std::find(all.begin() + long(std::min(before, all.size())), all.end(), off) !=
                    all.end()) {
                    dev_[p].allowed = true;
                    stop(1u << p, p == 0 ? "Pump 1 Off" : "Pump 2 Off", t);
                    return;
                }
            }
        }
        grant(cmd->grants, name);
        if (name == "Pump1On" || name == "BothPumpsOn") intended_[0] = true;
        if (name == "Pump2On" || name == "BothPumpsOn") intended_[1] = true;
        if ((name == "Pump1On" || name == "Pump2On" || name == "BothPumpsOn") && chance(25)) {
            static const char* const off[] = {"Pump1On", "Pump2On", "BothPumpsOff"};
            followUp_ = off[pick(3)];
            settle(int(pick(2500)));
        }
    }

    void wayOut() {
        const int w = int(pick(6));
        if (w == 0) {
            trace("close the window");
            prog_->control("close");
        } else if (w == 1) {
            trace("menu Exit1");
            prog_->control("menu Exit1");
        } else if (w == 2) {
            trace("the session asks to quit");
            prog_->control("quit");
            beginEnd("quit");
        } else {
            static const int sigs[] = {SIGTERM, SIGINT, SIGHUP};
            const int s = sigs[pick(3)];
            const std::string name = s == SIGTERM ? "TERM" : s == SIGINT ? "INT" : "HUP";
            trace("signal " + name);
            prog_->signal(s);
            beginEnd("signal " + name);
        }
    }

    RunSpec plan_;
    std::mt19937_64 rng_;
    progtest::Sandbox box_;
    progtest::Sim sim_;
    std::unique_ptr<progtest::Program> prog_;
    QElapsedTimer clock_;
    int step_ = 0;
    int haltedSeen_ = 0;  // halts the log said were answered, before this program started
    std::vector<std::string> trace_;
    std::string failure_;
    Outputs last_;
    size_t recordChecked_ = 0;
    double recordRate_[2] = {0, 0};
    bool ending_ = false;
    bool finalEnd_ = false;  // the run's own close: no new start
    qint64 endAt_ = 0;
    qint64 lastView_ = 0;
    qint64 idleSince_ = -1, haltedSince_ = -1;
    qint64 idleUntil_ = 0, haltedUntil_ = 0;  // when a pump (a heater) must be off under that view
    int lostSeen_ = 0, backSeen_ = 0;
    bool linkLost_ = false;
    qint64 droppedAt_ = -100000;
    bool silent_ = false;
    int delayMs_ = 0;
    int withheld_ = 0;  // replies withheld last; they hold the queue until withholdUntil_, cleared or not
    qint64 withholdUntil_ = 0;
    qint64 faultyUntil_ = 0;
    bool columnHot_ = false, reactorHot_ = false;
    bool pressureHigh_[2] = {false, false};
    std::string followUp_;        // the next click, right after a pump's start
    bool configPending_ = false;  // Save clicked in the configuration
    qint64 configAt_ = 0;
};

// The seeds CI runs, in about two minutes together. 504 once found commands taken
// during the close's countdown, 1017 a pump that ran on after Pump 1 Off while its valve moved.
const RunSpec kCiRuns[] = {{400, 30}, {504, 30}, {1017, 60}};

TEST(ProgramRandomOperator, EveryStopStopsTheInstrumentWhateverTheOperatorAndTheInstrumentDo) {
    std::vector<RunSpec> runs;
    const uint64_t seed = envNumber("ZENTROVA_RANDOM_SEED", 0);
    const int steps = int(envNumber("ZENTROVA_RANDOM_STEPS", 0));
    const uint64_t minutes = envNumber("ZENTROVA_RANDOM_MINUTES", 0);
    if (seed == 0 && minutes == 0)
        runs.assign(std::begin(kCiRuns), std::end(kCiRuns));
    else if (minutes == 0)
        runs.push_back({seed, steps > 0 ? steps : 60});
    QElapsedTimer total;
    total.start();
    std::vector<std::string> failures;
    uint64_t next = seed ? seed : uint64_t(std::time(nullptr));
    for (size_t i = 0;; ++i) {
        RunSpec plan;
        if (minutes == 0) {
            if (i >= runs.size()) break;
            plan = runs[i];
        } else {
            if (total.elapsed() > qint64(minutes) * 60000) break;
            plan = {next++, steps > 0 ? steps : 200};
        }
        std::printf(
            "random operator: seed %llu, %d steps (replay: ZENTROVA_RANDOM_SEED=%llu "
            "ZENTROVA_RANDOM_STEPS=%d)\n",
            static_cast<unsigned long long>(plan.seed), plan.steps,
            static_cast<unsigned long long>(plan.seed), plan.steps);
        std::fflush(stdout);
        Operator op(plan);
        const std::string failure = op.run();
        if (!failure.empty()) {
            ADD_FAILURE() << failure;
            failures.push_back(std::to_string(plan.seed));
        }
    }
    if (!failures.empty()) {
        std::string list;
        for (const auto& f : failures) list += " " + f;
        std::printf("random operator: failing seeds:%s\n", list.c_str());
    }
}

}  // namespace
