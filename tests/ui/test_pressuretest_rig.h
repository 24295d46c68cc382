// A small stand-in instrument for the maintenance procedures' tests: it takes the commands the
// API sends, records them, and on each tick moves the pumps and valves the way the instrument
// would (volumes, limits, pressure against a closed path, valves settling), writing the results
// straight into the API's status fields. The main window harness supplies the windows, a fresh
// store and log and the fake clock.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <sstream>
#include <string>
#include <vector>

#include "MainFormHarness.h"
#include "link/ZentrovaAPI.h"

class PumpRig : public ZentrovaLink {
  public:
    struct PumpModel {
        TPump* pump = nullptr;
        double rate = 0.0;
        double stopPressure = -1.0;  // none set
        double leakPerTick = 0.0;    // psi lost per tick while the path is closed
        bool canPressurise = true;
    };

    PumpRig() {
        pumps[0].pump = &ZentrovaAPI.Pump1;
        pumps[1].pump = &ZentrovaAPI.Pump2;
    }

    void QueueCommand(const std::string& line) override {
        sent.push_back(line);
        std::stringstream all(line);
        std::string part;
        while (std::getline(all, part, ';')) apply(part);
    }
    void ClearQueue() override { sent.push_back("<clear>"); }
    void SetStatusQuery(const std::string&) override {}
    std::string_view LastLine() const override { return {}; }
    void SetOnStatusLine(std::function<void()>) override {}

    // One second of the instrument: valves settle, pumps move.
    void tick() {
        for (int v = 0; v < 2; ++v) {
            TValve& valve = v == 0 ? ZentrovaAPI.Valve1 : ZentrovaAPI.Valve2;
            if (valveTarget[v] != 0 && !stuckValve[v]) valve.UpdateStatus(uint32_t(valveTarget[v]), true);
        }
        for (int i = 0; i < 2; ++i) {
            PumpModel& m = pumps[i];
            TPump& p = *m.pump;
            const int8_t valvePos = (i == 0 ? ZentrovaAPI.Valve1 : ZentrovaAPI.Valve2).Position;
            const bool closed = valvePos == 2 || valvePos == 3;
            if (p.State == 1 && closed) {
                if (m.canPressurise) p.Pressure += 60.0;
                if (m.stopPressure >= 0 && p.Pressure >= m.stopPressure) {
                    p.Pressure = m.stopPressure;
                    p.State = 0;
                }
            } else if (p.State == 1) {
                p.Volume -= 20.0;
                if (p.Volume <= 0.0) p.Volume = 0.0, p.State = 0;
            } else if (p.State == 2 && p.Pressure > 0.0) {
                p.Pressure = std::max(0.0, p.Pressure - 200.0);
            } else if (p.State == 2) {
                p.Volume += 20.0;
                if (p.Volume >= 70.0) p.Volume = 70.0, p.State = 0;
            } else if (closed && p.Pressure > 0.0) {
                p.Pressure = std::max(0.0, p.Pressure - m.leakPerTick);
            }
            p.LimitB = p.Volume <= 0.0;
            p.LimitA = p.Volume >= 70.0;
        }
    }

    std::vector<std::string> take() {
        std::vector<std::string> out;
        out.swap(sent);
        return out;
    }
    static bool has(const std::vector<std::string>& cmds, const std::string& c) {
        return std::find(cmds.begin(), cmds.end(), c) != cmds.end();
    }

    std::vector<std::string> sent;
    std::array<PumpModel, 2> pumps;
    std::array<int, 2> valveTarget{0, 0};
    std::array<bool, 2> stuckValve{false, false};

  private:
    PumpModel* byMotor(const std::string& motor) {
        if (motor == "0") return &pumps[0];
        if (motor == "2") return &pumps[1];
        return nullptr;
    }
    void apply(const std::string& command) {
        std::stringstream in(command);
        std::string verb, a, b;
        in >> verb >> a >> b;
        if (verb == "VALVE") {
            const int n = std::stoi(a);
            if (n == 1 || n == 2) valveTarget[n - 1] = std::stoi(b);
        } else if (verb == "ML") {
            if (PumpModel* m = byMotor(a)) m->rate = std::stod(b);
        } else if (verb == "FWD" || verb == "RVS" || verb == "OFF") {
            if (PumpModel* m = byMotor(a)) m->pump->State = verb == "FWD" ? 1 : verb == "RVS" ? 2 : 0;
        } else if (verb == "STOPPRESSURE") {
            const int n = std::stoi(a);
            if (n == 1 || n == 2) pumps[n - 1].stopPressure = std::stod(b);
        }
    }
};

// The harness with the stand-in instrument as the API's link.
class RigHarness : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        TZentrovaAPI::SetLink(&rig);
        ZentrovaAPI.Valve1.Position = ZentrovaAPI.Valve2.Position = 1;
        ZentrovaAPI.Pump1.Volume = ZentrovaAPI.Pump2.Volume = 30.0;
        instrument->Channel1->Speed = instrument->Channel2->Speed = 55;
    }
    void TearDown() override {
        TZentrovaAPI::SetLink(nullptr);
        MainFormHarness::TearDown();
    }
    // One second: the instrument moves, then the clock.
    void second() {
        rig.tick();
        clock.fake.advanceSeconds(1);
    }
    void singlePump() {
        ZentrovaAPI.Pump2Absent = true;
        instrument->SinglePump = true;
    }

    PumpRig rig;
};
