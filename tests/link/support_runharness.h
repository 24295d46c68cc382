// A fixture for tests of the instrument's step machines: a fresh settings store and log folder,
// the fake clock, the simulated instrument in-process behind SimLink, a daily log, scripted
// dialogs and the instrument state. One machine call per simulated second: call the step,
// then tick the link (which sends what the step queued and moves clock and simulator by 1 s).
#pragma once
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/Instrument.h"
#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "support/SimLink.h"
#include "support/TempEnv.h"
#include "tools/instrument-sim/Simulator.h"

class MachineTest : public ::testing::Test {
  protected:
    // Override to change the simulated instrument before it starts.
    virtual zsim::InstrumentConfig simConfig() { return {}; }

    void SetUp() override {
        setInstance("");
        {
            Registry reg;
            ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
            reg.writeInteger("ConnectMethod", 3);
            reg.writeInteger("RefillSpeed", 55);
        }
        ZentrovaAPI = TZentrovaAPI();
        sim_ = std::make_unique<zsim::Simulator>(simConfig());
        link_ = std::make_unique<SimLink>(*sim_, &clock_.fake);
        log_ = std::make_unique<TLogFile>();
        LogFile = log_.get();
        module_ = std::make_unique<TInstrumentModule>();
        // Identity, pump and heater readings before the first step.
        link_->tick();
        link_->tick();
        module_->SyncPumpCount();
        link_->clearSent();
    }
    void TearDown() override {
        module_.reset();
        LogFile = nullptr;
    }

    TInstrumentModule& m() { return *module_; }
    zsim::Instrument& inst() { return sim_->instrument(); }
    SimLink& link() { return *link_; }

    // One simulated second: the step, then the link.
    bool tick(const std::function<bool()>& step) {
        const bool r = step();
        link_->tick();
        return r;
    }
    // Calls the step once a second until it answers `until`; the number of calls, or -1 when
    // it did not within max calls.
    int runWhile(const std::function<bool()>& step, int max, bool until = false) {
        for (int i = 1; i <= max; ++i)
            if (tick(step) == until) return i;
        return -1;
    }
    // Ticks the link alone (the instrument works on by itself).
    void idle(int seconds) {
        for (int i = 0; i < seconds; ++i) link_->tick();
    }
    // Today's log lines that hold one of the texts, from that text on.
    std::vector<std::string> logLines(const std::vector<std::string>& texts) {
        std::vector<std::string> out;
        std::ifstream in(log_->LogPath);
        for (std::string l; std::getline(in, l);)
            for (const auto& t : texts)
                if (l.find(t) != std::string::npos) out.push_back(l.substr(l.find(t)));
        return out;
    }

    TempEnv env_;
    FakeClockGuard clock_;
    DialogScript dialogs_;
    std::unique_ptr<zsim::Simulator> sim_;
    std::unique_ptr<SimLink> link_;
    std::unique_ptr<TLogFile> log_;
    std::unique_ptr<TInstrumentModule> module_;
};

// Commands of one channel (pump motor 0 or 2, valve 1 or 2) out of a list of sent commands.
inline bool isChannelCommand(const std::string& c, int channel) {
    const char motor = channel == 1 ? '0' : '2';
    if (c.rfind("VALVE ", 0) == 0) return c.size() > 6 && c[6] == char('0' + channel);
    if (c.rfind("MS ", 0) == 0 || c.rfind("ML ", 0) == 0) return c.size() > 3 && c[3] == motor;
    return (c.rfind("FWD ", 0) == 0 || c.rfind("RVS ", 0) == 0 || c.rfind("OFF ", 0) == 0) &&
           c.back() == motor;
}
