// A sequence driven through the main window's menu commands against the simulated instrument:
// enable, Start Sequence, the HPLC relay signal for every run, the end of the sequence; the
// sequence without a relay signal; the STOP key; the link lost during a run.
//
// The in-process scenarios run the main window, the instrument state and the HPLC module on the
// fake clock, with the simulator behind an in-process link (one main-loop tick per simulated
// second), so the HPLC's 15-minute wait costs no real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "link/support_simlink.cpp"  // the in-process link lives with the link tests
#include "methods/MethodParams.h"
#include "methods/SequenceParams.h"
#include "tools/instrument-sim/Simulator.h"
#include "ui/MainFormHarness.h"

namespace {

class SequenceScenario : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        writeInstrumentSetting("HPLCType", std::string("Other"));  // run signal from the relay input
        writeInstrumentSetting("RefillSpeed", 55);
        hplc->LoadHPLCType();
        hplc->HPLCState = hsNotRunning;
        instrument->ReloadSettings();

        TMethodINIParams m1;
        m1.Name = "Short";
        m1.ColumnT = "35";
        m1.ReactorT = "40";
        m1.Runtime = "1";  // 60 s
        m1.EquilTime = "0";
        m1.Pump1Flow = "0.5";
        m1.Pump2Flow = "0.3";
        ASSERT_TRUE(CMethodNames().SaveMethod(m1));
        TMethodINIParams m2 = m1;
        m2.Name = "Second";
        m2.Runtime = "0.5";
        ASSERT_TRUE(CMethodNames().SaveMethod(m2));
        TSequenceINIParams seq;
        seq.Name = "Pair";
        seq.MethodList.Add(QStringLiteral("Short"));
        seq.RunList.Add(QStringLiteral("2"));
        seq.MethodList.Add(QStringLiteral("Second"));
        seq.RunList.Add(QStringLiteral("1"));
        ASSERT_TRUE(CSequenceNames().SaveSequence(seq));

        sim = std::make_unique<zsim::Simulator>();
        simLink = std::make_unique<SimLink>(*sim, &clock.fake);
        ASSERT_EQ(sim->control("volume 1 40").rfind("ok", 0), 0u);
        ASSERT_EQ(sim->control("volume 2 40").rfind("ok", 0), 0u);
        for (int i = 0; i < 3; ++i) tick();
        ASSERT_EQ(form->iMode, 2);
        newLog();
    }
    void TearDown() override {
        simLink.reset();
        MainFormHarness::TearDown();
        sim.reset();
    }

    // One second: the main loop, the link (commands out, the instrument moves, a status line
    // in), the HPLC module's poll.
    void tick() {
        link->DataReceived = !silent;
        form->Timer1Timer();
        simLink->tick(1000);
        hplc->UpdateState();
    }
    // Ticks until done() or max ticks; false on time-out.
    bool tickUntil(const std::function<bool()>& done, int max) {
        for (int i = 0; i < max; ++i) {
            if (done()) return true;
            tick();
        }
        return done();
    }
    // The HPLC's answer while the run machine waits for it: a relay pulse of 3 s.
    void relayWhenWaiting() {
        if (instrument->RunState == 18 && !sim->instrument().relayInput()) {
            ASSERT_EQ(sim->control("relay pulse 3000").rfind("ok", 0), 0u);
            ++pulses;
        }
    }
    void startSequence() {
        form->SetDefaultSequence("Pair");
        form->Enable1->Click();
        ASSERT_TRUE(instrument->Enabled);
        form->StartSequence1Click();
        ASSERT_EQ(form->iMode, 7);
    }

    bool pumping(int n) { return sim->instrument().pump(n).state != 0; }

    std::unique_ptr<zsim::Simulator> sim;
    std::unique_ptr<SimLink> simLink;
    bool silent = false;
    int pulses = 0;
};

TEST_F(SequenceScenario, RelaySignalForEveryRunEndsTheSequence) {
    startSequence();
    EXPECT_EQ(lcdMessage(), "SEQUENCE Pair STARTED");
    ASSERT_TRUE(tickUntil(
        [&] {
            relayWhenWaiting();
            return form->iMode != 7;
        },
        3000));
    EXPECT_EQ(form->iMode, 2);
    EXPECT_EQ(pulses, 3);
    EXPECT_EQ(instrument->PumpStarts, 3);
    const std::string log = newLog();
    EXPECT_NE(log.find("#menu: Control->Enable"), std::string::npos);
    EXPECT_NE(log.find("#menu: Sequence Start"), std::string::npos);
    EXPECT_EQ(count(log, "#bRun(): HPLC Run signal received, starting Run "), 3);
    EXPECT_NE(log.find("END OF SEQUENCE REACHED (3 OF 3 RUNS)"), std::string::npos);
    EXPECT_EQ(lcdMessage(), "END OF SEQUENCE REACHED (3 OF 3 RUNS)");
    EXPECT_EQ(form->StatusText(1), "");
    EXPECT_FALSE(pumping(1));
    EXPECT_FALSE(pumping(2));
}

TEST_F(SequenceScenario, StatusPanelsFollowTheRun) {
    startSequence();
    ASSERT_TRUE(tickUntil(
        [&] {
            relayWhenWaiting();
            return instrument->RunState == 34 && instrument->GetRunSeconds() >= 30;
        },
        600));
    tick();
    EXPECT_EQ(form->StatusText(0).left(5), "RUN (");
    EXPECT_EQ(form->StatusText(1), "1 of 3");
    EXPECT_EQ(form->StatusText(2), "Method (1): Short");
    EXPECT_EQ(form->StatusText(3), "Sequence: Pair");
}

TEST_F(SequenceScenario, WithoutTheRelaySignalTheSequenceStops) {
    startSequence();
    ASSERT_TRUE(tickUntil([&] { return form->iMode != 7; }, 1200));
    EXPECT_EQ(form->iMode, 2);
    EXPECT_FALSE(instrument->Enabled);
    const std::string log = newLog();
    EXPECT_NE(log.find("#bRun(): HPLC timeout, stopping Sequence, current Method Short"), std::string::npos);
    EXPECT_NE(log.find("SEQUENCE STOPPED (RUN 1) - NO RELAY SIGNAL"), std::string::npos);
    EXPECT_EQ(lcdMessage(), "SEQUENCE STOPPED (RUN 1) - NO RELAY SIGNAL");
}

TEST_F(SequenceScenario, StopKeyHaltsEverythingAtOnce) {
    startSequence();
    ASSERT_TRUE(tickUntil(
        [&] {
            relayWhenWaiting();
            return instrument->RunState == 34;
        },
        600));
    tick();
    ASSERT_TRUE(pumping(1));
    simLink->takeSent();
    form->StopBtnImg->OnMouseDown(Qt::LeftButton);
    EXPECT_EQ(form->iMode, 4);
    EXPECT_EQ(form->StopReset1->GetCaption(), "Reset");
    tick();  // the halt's commands go out with the next link tick
    const std::vector<std::string> sent = simLink->takeSent();
    for (const char* c : {"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"})
        EXPECT_NE(std::find(sent.begin(), sent.end(), c), sent.end()) << c;
    EXPECT_FALSE(pumping(1));
    EXPECT_FALSE(pumping(2));
    // Nothing goes on while halted.
    for (int i = 0; i < 120; ++i) tick();
    EXPECT_EQ(form->iMode, 4);
    EXPECT_FALSE(pumping(1));
    const std::string log = newLog();
    EXPECT_NE(log.find("#menu: Stop Button Image clicked"), std::string::npos);
    EXPECT_NE(log.find("#main: Stop pressed"), std::string::npos);
    EXPECT_EQ(log.find("#bRun(): Run finished"), std::string::npos);
}

TEST_F(SequenceScenario, LostLinkDuringARunShowsTheBoxAndNothingResumes) {
    startSequence();
    ASSERT_TRUE(tickUntil(
        [&] {
            relayWhenWaiting();
            return instrument->RunState == 34;
        },
        600));
    silent = true;
    ASSERT_TRUE(tickUntil([&] { return form->iMode == 0; }, 20));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Unrecoverable Error!");
    EXPECT_EQ(boxes.shown[0].text, "Lost connection with Instrument. Operation stopped.");
    newLog();
    silent = false;
    for (int i = 0; i < 120; ++i) tick();
    EXPECT_EQ(form->iMode, 2);
    EXPECT_FALSE(instrument->Enabled);
    EXPECT_FALSE(pumping(1));
    EXPECT_FALSE(pumping(2));
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(newLog().find("#bRun()"), std::string::npos);
}

}  // namespace
