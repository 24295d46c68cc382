// Every command a sequence and a storage preparation send, compared with the list worked out from
// the run machine, the pump channels and the procedures: the real program and the simulated
// instrument (20 times real time, temperatures held below the set points so that no run cools).
// A sequence of two methods with pump and column timetables, the first run twice, then Prepare
// for Storage/Shipping with both boxes answered OK. Each channel's commands (its pump's motor and
// its valve) are compared in order, and so are the heater commands; the two channels step in the
// same ticks, but which of them a tick serves first is not the point here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "integration/support_program.h"

namespace {

using progtest::waitUntil;
using List = std::vector<std::string>;

const std::string kLive = "#main: setMode(): mode=2; current mode=0";

// Alpha: 12 s run, 6 s equilibration, flows 0.5 / 0.3 ml/min, at 0.1 min pump 1 goes to 0.8
// (pump 2 stays at 0.3). Beta: 9 s run, flows 0.4 / 0.2, at 0.05 min pump 1 stops and pump 2 goes
// to 0.6; its column timetable holds 42 C from the start. Trio: Alpha twice, then Beta.
const char* kStore =
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Alpha]\n"
    "\"ColumnT\"=sz:35\n\"ReactorT\"=sz:45\n\"Runtime\"=sz:0.2\n\"EquilTime\"=sz:0.1\n"
    "\"Pump1Flow\"=sz:0.5\n\"Pump2Flow\"=sz:0.3\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Alpha\\Columns]\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Alpha\\Pumps]\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Alpha\\Pumps\\1]\n"
    "\"time\"=sz:0.1\n\"1\"=sz:0.8\n\"2\"=sz:0.3\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Beta]\n"
    "\"ColumnT\"=sz:40\n\"ReactorT\"=sz:50\n\"Runtime\"=sz:0.15\n\"EquilTime\"=sz:0.1\n"
    "\"Pump1Flow\"=sz:0.4\n\"Pump2Flow\"=sz:0.2\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Beta\\Columns]\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Beta\\Columns\\1]\n"
    "\"time\"=sz:0\n\"1\"=sz:42\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Beta\\Pumps]\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Beta\\Pumps\\1]\n"
    "\"time\"=sz:0.05\n\"1\"=sz:0\n\"2\"=sz:0.6\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Trio\\0000001]\n"
    "\"Name\"=sz:Alpha\n\"Repeat\"=sz:2\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Trio\\0000002]\n"
    "\"Name\"=sz:Beta\n\"Repeat\"=sz:1\n";

// The commands of one stream of the record: a channel's (its motor and valve) or the rest.
List stream(const List& all, int channel) {
    List out;
    for (const std::string& c : all) {
        const size_t sp = c.find(' ');
        const std::string arg = sp == std::string::npos ? "" : c.substr(sp + 1, c.find(' ', sp + 1) - sp - 1);
        const bool valve = c.rfind("VALVE ", 0) == 0;
        const bool motion = c.rfind("MS ", 0) == 0 || c.rfind("ML ", 0) == 0 || c.rfind("FWD ", 0) == 0 ||
                            c.rfind("RVS ", 0) == 0 || c.rfind("OFF ", 0) == 0;
        const int of = valve ? (arg == "1" ? 1 : 2) : motion ? (arg == "0" ? 1 : 2) : 0;
        if (of == channel) out.push_back(c);
    }
    return out;
}

// The words of the lists, by hand: a motion is three commands on the wire.
struct Expect {
    List all;
    void add(const List& l) { all.insert(all.end(), l.begin(), l.end()); }
    // Both channels, channel 1 first: VALVE 1 p, VALVE 2 p.
    void valves(int p) { add({"VALVE 1 " + std::to_string(p), "VALVE 2 " + std::to_string(p)}); }
    void forward(int motor, const std::string& rate, bool fast = false) {
        const std::string m = std::to_string(motor);
        add({"MS " + m + (fast ? " 32" : " 1"), "ML " + m + " " + rate, "FWD " + m});
    }
    void reverse(int motor, const std::string& rate) {
        const std::string m = std::to_string(motor);
        add({"MS " + m + " 32", "ML " + m + " " + rate, "RVS " + m});
    }
    void off() { add({"OFF 0", "OFF 2"}); }
    void both(void (Expect::*move)(int, const std::string&), const std::string& rate) {
        (this->*move)(0, rate);
        (this->*move)(2, rate);
    }
    void fwdFast(int motor, const std::string& rate) { forward(motor, rate, true); }
    void fwdSlow(int motor, const std::string& rate) { forward(motor, rate, false); }
};

// A sequence run: the run machine's states 2 (set points), 3 to 10 (valves to 4, the fill, done
// at once as the syringes hold enough: one OFF each), 7 (valves to 2), 32 (pumps at the method
// flows), 34 (the timetables), 35 (pumps off).
void run(Expect& e, const std::string& column, const std::string& reactor, bool refill, const List& start,
         const List& during) {
    e.add({"CSETPOINT " + column, "RSETPOINT " + reactor});
    if (refill) {
        e.valves(4);
        e.off();
    }
    e.valves(2);
    e.add(start);
    e.add(during);
    e.off();
}

List sequenceList() {
    Expect e;
    // The first run fills nothing (the start checked the volumes) and waits for no equilibration.
    const List alphaStart{"MS 0 1", "ML 0 0.50", "FWD 0", "MS 2 1", "ML 2 0.30", "FWD 2"};
    // At 6 s the row: each pump's rate differs from the -1 of the forward start, so each stops
    // and starts again at the row's flow (pump 2 at its unchanged 0.3).
    const List alphaRow{"OFF 0", "MS 0 1", "ML 0 0.80", "FWD 0", "OFF 2", "MS 2 1", "ML 2 0.30", "FWD 2"};
    run(e, "35.0", "45.0", false, alphaStart, alphaRow);
    run(e, "35.0", "45.0", true, alphaStart, alphaRow);
    // Beta: the column row (time 0) sets 42 C in the run's first tick; at 3 s pump 1's flow 0
    // stops it once, pump 2 restarts at 0.6. The end (state 47) finds both pumps stopped.
    run(e, "40.0", "50.0", true, {"MS 0 1", "ML 0 0.40", "FWD 0", "MS 2 1", "ML 2 0.20", "FWD 2"},
        {"CSETPOINT 42.0", "OFF 0", "OFF 2", "MS 2 1", "ML 2 0.60", "FWD 2"});
    // The sequence's end disables the instrument: both pumps are switched off whatever they
    // report, so a pump whose start is not yet reported cannot run on.
    e.add({"OFF 0", "OFF 2"});
    return e.all;
}

// One channel's flush (states 34 to 53, 90) from an empty syringe with the valve at 1: the first
// dispense ends at once on limit B; a pass of 3 ml, three of 1 ml, one full; each move ends with
// OFF except the last dispense, which the end (90) stops.
void flush(Expect& e, int channel) {
    const int m = channel == 1 ? 0 : 2;
    const std::string mt = std::to_string(m), v = "VALVE " + std::to_string(channel) + " ";
    e.add({"OFF " + mt, v + "5"});
    e.reverse(m, "55.00");
    e.add({"OFF " + mt, v + "1"});
    e.fwdFast(m, "55.00");
    e.add({"OFF " + mt});
    for (int pass = 0; pass < 3; ++pass) {
        e.add({v + "5"});
        e.reverse(m, "55.00");
        e.add({"OFF " + mt, v + "1"});
        e.fwdFast(m, "55.00");
        e.add({"OFF " + mt});
    }
    e.add({v + "5"});
    e.reverse(m, "55.00");
    e.add({"OFF " + mt, v + "1"});
    e.fwdFast(m, "55.00");
    e.add({"OFF " + mt});
}

// Prepare for Storage/Shipping, both boxes answered OK, from 50 ml in each syringe and the valves
// at 2. A fill that is not needed sends nothing and its wait one OFF per pump; a pump-out at
// speed is a forward move at the refill speed (55) until the syringe is empty, then OFF.
List storageList(int channel) {
    Expect e;
    e.valves(4);                        // 2
    e.off();                            // 4, 5: the syringes hold more than 20 ml
    e.valves(1);                        // 6
    e.both(&Expect::fwdFast, "55.00");  // 8, 9
    e.off();
    Expect f;
    flush(f, channel);                  // 10, 11
    e.valves(5);                        // 12
    e.both(&Expect::reverse, "55.00");  // 14, 15: fill to 20
    e.off();
    e.valves(2);                        // 16
    e.both(&Expect::fwdSlow, "0.30");   // 18, 19: the slow pump-out
    e.off();                            // the pump-out's end
    e.off();                            // both pumps off after it
    e.valves(1);                        // 20
    e.both(&Expect::fwdFast, "55.00");  // 22, 23
    e.off();
    for (int cycle = 0; cycle < 2; ++cycle) {  // 26 to 33, then 34 to 41
        e.valves(5);
        e.both(&Expect::reverse, "55.00");  // fill to 70
        e.off();
        e.valves(1);
        e.both(&Expect::fwdFast, "55.00");
        // 33 pumps out to the end; 41 looks at the volumes on every call and switches both pumps
        // off once both are below 40 ml, before its pump-out ends.
        e.off();
    }
    // The flush comes between the first pump-out (the first 7 commands of a channel) and the
    // valves to 5.
    List mine = stream(e.all, channel);
    const List flushed = stream(f.all, channel);
    mine.insert(mine.begin() + 7, flushed.begin(), flushed.end());
    return mine;
}

// Where two lists part, with the commands around it.
std::string diff(const List& got, const List& want) {
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    std::string s = "\nfirst difference at " + std::to_string(i) + " (" + std::to_string(got.size()) +
                    " received, " + std::to_string(want.size()) + " expected)";
    const size_t from = i > 6 ? i - 6 : 0;
    s += "\nreceived:";
    for (size_t k = from; k < got.size() && k < i + 8; ++k) s += " | " + got[k];
    s += "\nexpected:";
    for (size_t k = from; k < want.size() && k < i + 8; ++k) s += " | " + want[k];
    return s;
}

std::string show(const List& l) {
    std::string s;
    for (const std::string& c : l) s += "\n  " + c;
    return s;
}

TEST(ProgramCommandStream, ASequenceWithTimetablesAndTheStoragePreparationSendWhatTheStepMachinesSay) {
    progtest::Sandbox box;
    progtest::Sim sim(box);
    ASSERT_EQ(progtest::missingProgram(), "");
    ASSERT_TRUE(sim.startPty({"--speed", "20"})) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    ASSERT_TRUE(box.setting("RefillSpeed", 55));
    ASSERT_TRUE(box.import(kStore));
    // Readings below every set point: no run needs cooling, and the monitor stays quiet.
    ASSERT_EQ(sim.control("temp column 30"), "ok");
    ASSERT_EQ(sim.control("temp reactor 30"), "ok");
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start()) << prog.output();
    ASSERT_TRUE(prog.waitForLog(kLive, 20000)) << prog.logText();
    const auto has = [&](const std::string& last, size_t from, int ms = 60000) {
        return waitUntil(
            [&] {
                const List all = sim.nonQueries();
                return all.size() > from && std::find(all.begin() + long(from), all.end(), last) != all.end();
            },
            ms);
    };
    // The connect halts: pumps off, heaters off, and the disable's pumps off again (always both,
    // whatever rate they report).
    ASSERT_TRUE(has("RHEAT OFF", 0)) << show(sim.nonQueries());
    ASSERT_TRUE(waitUntil([&] { return sim.nonQueries().size() >= 6; }, 60000)) << show(sim.nonQueries());
    EXPECT_EQ(sim.nonQueries(), (List{"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF", "OFF 0", "OFF 2"}));

    // The sequence becomes the current one (its first method's set points), and Enable.
    ASSERT_EQ(prog.control("sequence Trio"), "ok");
    ASSERT_TRUE(prog.waitForLog("#SetDefaultSequence: Trio", 60000));
    ASSERT_EQ(prog.control("menu Enable1"), "ok");
    ASSERT_TRUE(waitUntil([&] { return prog.state("enabled") == "1"; }, 60000)) << prog.control("boxes");
    ASSERT_TRUE(has("RHEAT ON", 6)) << show(sim.nonQueries());
    const List setup = sim.nonQueries();
    EXPECT_EQ(List(setup.begin() + 6, setup.end()),
              (List{"CSETPOINT 35.0", "RSETPOINT 45.0", "CHMAX 125.0", "CSETPOINT 35.0", "CHEAT ON",
                    "RHMAX 135.0", "RSETPOINT 45.0", "RHEAT ON"}));

    const size_t seqFrom = sim.nonQueries().size();
    ASSERT_EQ(prog.control("menu StartSequence1"), "ok");
    ASSERT_TRUE(prog.waitForLog("END OF SEQUENCE REACHED (3 OF 3 RUNS)", 180000)) << prog.logText();
    // The end's commands are all in (a stream that falls short shows below), then two more
    // ticks' polls: the end sends nothing more.
    const List expected = sequenceList();
    waitUntil([&] { return sim.nonQueries().size() >= seqFrom + expected.size(); }, 60000);
    ASSERT_TRUE(sim.waitForPolls(4));
    const List all = sim.nonQueries();
    const List seq(all.begin() + long(seqFrom), all.end());
    for (int c : {0, 1, 2})
        EXPECT_TRUE(stream(seq, c) == stream(expected, c))
            << "stream " << c << diff(stream(seq, c), stream(expected, c)) << "\nall received:" << show(seq);
    EXPECT_EQ(seq.size(), expected.size());

    // Prepare for Storage/Shipping: Yes to the start, OK to both boxes.
    ASSERT_EQ(sim.control("volume 1 50"), "ok");
    ASSERT_EQ(sim.control("volume 2 50"), "ok");
    const size_t storeFrom = sim.nonQueries().size();
    for (const char* a : {"answer yes", "answer ok", "answer ok"}) ASSERT_EQ(prog.control(a), "ok");
    ASSERT_EQ(prog.control("menu PrepareforStorageShipping1"), "ok");
    // The slow pump-out at 0.3 ml/min would take the better part of an hour: the syringes empty now.
    ASSERT_TRUE(has("ML 2 0.30", storeFrom, 240000)) << show(sim.nonQueries()) << prog.logText();
    ASSERT_EQ(sim.control("volume 1 0"), "ok");
    ASSERT_EQ(sim.control("volume 2 0"), "ok");
    ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=13", 240000)) << prog.logText();
    // Its last commands are all in, then a few polls more.
    const size_t storeSize = storageList(1).size() + storageList(2).size();
    waitUntil([&] { return sim.nonQueries().size() >= storeFrom + storeSize; }, 60000);
    ASSERT_TRUE(sim.waitForPolls(4));
    const List after = sim.nonQueries();
    const List storage(after.begin() + long(storeFrom), after.end());
    for (int c : {1, 2})
        EXPECT_EQ(stream(storage, c), storageList(c))
            << "channel " << c << "; all received:" << show(storage);
    EXPECT_EQ(stream(storage, 0), List{}) << show(storage);
    // The last pump-out was cut below 40 ml: the syringes keep some of the flush liquid.
    const std::string status = sim.control("status");
    for (const char* pump : {"p1=[vol=", "p2=[vol="}) {
        const size_t at = status.find(pump);
        ASSERT_NE(at, std::string::npos) << status;
        const double volume = std::atof(status.c_str() + at + std::string(pump).size());
        EXPECT_GT(volume, 0.5) << status;
        EXPECT_LT(volume, 40.0) << status;
    }
    EXPECT_TRUE(waitUntil(
        [&] { return prog.control("boxes").find("Please empty piston wash") != std::string::npos; }, 60000))
        << prog.control("boxes");
}

}  // namespace
