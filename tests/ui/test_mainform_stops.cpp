// Every way a stop reaches the pumps, on the recorded commands and the injected clock: Pump n Off
// and Both Pumps Off while a valve still moves, a stop half way through a fill followed by a
// pump-on, every disable and the end of a sequence, a condition of the monitor on an instrument
// that is already disabled; what the window says after Stop and an outage; the lost link's log.
#include <QColor>

#include "MainFormHarness.h"
#include "platform/i18n.h"
#include "support/StoredMethods.h"
#include "ui/MainFormCommands.h"

namespace {

using Cmds = std::vector<std::string>;

class Stops : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        setDecimalSeparator('.');
        storeMethod(plainMethod("M1"));
        storeSequence("S", {{"M1", "1"}});
        instrument->Sequence.Name = "S";
        tickAlive();  // the link is up: halted, mode 2
        ASSERT_EQ(form->iMode, 2);
        ASSERT_TRUE(form->SetInstrumentEnabled(true));
        rec.take();
        boxes.shown.clear();
        newLog();
    }
    // Both valves report p; in position or still turning.
    static void valves(int8_t p, bool inPosition) {
        ZentrovaAPI.Valve1.Position = ZentrovaAPI.Valve2.Position = p;
        ZentrovaAPI.Valve1.InPosition = ZentrovaAPI.Valve2.InPosition = inPosition;
    }
    // The commands among cmds that move pump n ("0" pump 1, "2" pump 2) or turn its valve.
    static Cmds movesOf(const Cmds& cmds, int pump) {
        const std::string n = pump == 1 ? " 0" : " 2";
        const std::string valve = pump == 1 ? "VALVE 1 " : "VALVE 2 ";
        Cmds out;
        for (const std::string& c : cmds)
            if (c.find("FWD" + n) != std::string::npos || c.find("RVS" + n) != std::string::npos ||
                c.find("MS" + n + " ") != std::string::npos || c.find(valve) != std::string::npos)
                out.push_back(c);
        return out;
    }
    static bool has(const Cmds& cmds, const std::string& c) {
        return std::find(cmds.begin(), cmds.end(), c) != cmds.end();
    }
    Cmds ticks(int n) {
        for (int i = 0; i < n; ++i) tickAlive();
        return rec.take();
    }
};

// Pump 1 Off while its valve still turns (pump 2 on), and Both Pumps Off while both turn: the
// pump gets OFF and no later tick moves it again; the mode follows what still runs; a pump-on
// afterwards starts only the chosen pump.
TEST_F(Stops, PumpOffWhileItsValveMovesStopsItForGood) {
    for (bool both : {false, true}) {
        SCOPED_TRACE(both ? "Both Pumps Off" : "Pump 1 Off");
        valves(1, true);
        ZentrovaAPI.Pump1.State = ZentrovaAPI.Pump2.State = 1;  // reported running: no pump-on ends
        form->Pump2OnClick();
        form->Pump1OnClick();
        ASSERT_EQ(form->iMode, 6);
        valves(2, false);  // both valves turn towards the column
        ticks(3);
        if (both)
            form->BothPumpsOffClick();
        else
            form->Pump1OnClick();
        const Cmds off = rec.take();
        EXPECT_TRUE(has(off, "OFF 0"));
        EXPECT_EQ(has(off, "OFF 2"), both);
        EXPECT_EQ(form->iMode, both ? 3 : 6);
        valves(2, true);  // the valves arrive
        const Cmds later = ticks(4);
        EXPECT_EQ(movesOf(later, 1), Cmds{}) << "pump 1 was switched off";
        EXPECT_EQ(movesOf(later, 2).empty(), both);
        EXPECT_EQ(form->iMode, both ? 2 : 6);
        if (!both) form->Pump2OnClick();  // off
        ticks(2);
        ASSERT_EQ(form->iMode, 2);
    }
    // Both Pumps Off, then Pump 1 On: pump 2 stays off.
    form->Pump1OnClick();
    const Cmds on = ticks(4);
    EXPECT_NE(movesOf(on, 1), Cmds{});
    EXPECT_EQ(movesOf(on, 2), Cmds{});
}

// A fill stopped half way (the storage preparation, Stop during its first fill), Reset, Pump 1 On:
// only pump 1 moves. Every stop leaves both channels idle.
TEST_F(Stops, AStopLeavesBothChannelsIdleAndPumpOnMovesOnlyTheChosenPump) {
    const struct {
        const char* what;
        std::function<void(TMainForm&)> stop;
    } rows[] = {
        {"Stop and Reset",
         [](TMainForm& f) {
             f.StopReset1Click();
             f.StopReset1Click();
         }},
        {"Disable", [](TMainForm& f) { f.Enable1Click(); }},
        {"link lost and back",
         [this](TMainForm&) {
             tickDead();
             tickAlive();
         }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        ZentrovaAPI.Pump1.Volume = ZentrovaAPI.Pump2.Volume = 0.0;
        valves(4, true);
        instrument->StartStorageProcedure();
        form->SetMode(13);
        instrument->StorageStep = 4;  // fill to 20 ml
        tickAlive();
        ASSERT_EQ(instrument->Channel1->State, 1);
        ASSERT_EQ(instrument->Channel2->State, 1);
        r.stop(*form);
        ticks(1);
        EXPECT_EQ(form->iMode, 2);
        EXPECT_EQ(instrument->Channel1->State, 0);
        EXPECT_EQ(instrument->Channel2->State, 0);
        instrument->Sequence.Name = "S";  // Reset unloads it
        boxes.answer(mrYes);              // enable first
        valves(2, true);
        ZentrovaAPI.Pump1.State = ZentrovaAPI.Pump2.State = 1;
        form->Pump1OnClick();
        ASSERT_EQ(form->iMode, 6);
        const Cmds on = ticks(4);
        EXPECT_NE(movesOf(on, 1), Cmds{});
        EXPECT_EQ(movesOf(on, 2), Cmds{}) << "pump 2 was not chosen";
        form->Pump1OnClick();
        ticks(1);
        ASSERT_EQ(form->iMode, 2);
    }
    // A channel armed behind the pump-on's back is not stepped by it.
    instrument->Channel2->State = 1;
    form->Pump1OnClick();
    EXPECT_EQ(movesOf(ticks(4), 2), Cmds{});
}

// Disable, the monitor's disable and the end of a sequence send OFF to both pumps although
// neither reports a rate yet (a start not yet reported), as the halt does.
TEST_F(Stops, EveryDisableAndTheEndOfASequenceSendOffToBothPumps) {
    const struct {
        const char* what;
        std::function<void()> stop;
    } rows[] = {
        {"Disable", [this] { form->Enable1Click(); }},
        {"monitor",
         [this] {
             ZentrovaAPI.Column.Temperature = 81.0;
             tickAlive();
             ZentrovaAPI.Column.Temperature = 25.0;
         }},
        {"end of sequence",
         [this] {
             form->iMode = 9;
             instrument->RunState = 47;
             tickAlive();
         }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        if (!instrument->Enabled) {
            ASSERT_TRUE(form->SetInstrumentEnabled(true));
        }
        ZentrovaAPI.Pump1.State = ZentrovaAPI.Pump2.State = 0;
        rec.take();
        r.stop();
        const Cmds sent = rec.take();
        EXPECT_TRUE(has(sent, "OFF 0")) << r.what;
        EXPECT_TRUE(has(sent, "OFF 2")) << r.what;
        ticks(2);
        errors->hide();
    }
}

// A condition that disables the instrument stops a refill, flush or empty that pumps on an
// instrument already disabled: both pumps OFF, the mode leaves the procedure, no later tick moves
// a pump.
TEST_F(Stops, AConditionOnADisabledInstrumentStopsWhatPumps) {
    using Start = bool (TMainFormCommands::*)();
    const struct {
        const char* what;
        Start start;
    } rows[] = {{"refill", &TMainFormCommands::StartRefillBoth},
                {"flush", &TMainFormCommands::StartFlushBoth},
                {"empty", &TMainFormCommands::StartEmptyBoth}};
    form->SetInstrumentEnabled(false);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_FALSE(instrument->Enabled);
        ticks(1);
        ZentrovaAPI.Pump1.Volume = ZentrovaAPI.Pump2.Volume = 30.0;
        valves(1, true);
        (form.get()->*r.start)();
        ticks(3);
        ZentrovaAPI.Valve1.Position = 0;  // lost: raised after 24 checks
        for (int i = 0; i < 24 && form->iMode != 2; ++i) tickAlive();
        const Cmds sent = rec.take();
        EXPECT_EQ(form->iMode, 2);
        EXPECT_TRUE(has(sent, "OFF 0"));
        EXPECT_TRUE(has(sent, "OFF 2"));
        EXPECT_TRUE(errors->MessageLbl->GetCaption().contains("Instrument was Disabled"));
        valves(1, true);
        const Cmds later = ticks(6);
        EXPECT_EQ(movesOf(later, 1), Cmds{});
        EXPECT_EQ(movesOf(later, 2), Cmds{});
        errors->hide();
        TErrorMessagesDialog::ValveLostCount1 = 0;
    }
}

// After Stop and an outage the key's caption and the lamp follow the mode, and the halt text
// stays on the panel while the instrument is halted.
TEST_F(Stops, AfterStopAndAnOutageTheKeyAndLampFollowTheModeAndTheHaltTextStays) {
    const QString halted = "SYSTEM HALTED, INSTRUMENT STOPPED";
    form->StopReset1Click();
    EXPECT_EQ(form->StopReset1->GetCaption(), "Reset");
    EXPECT_EQ(form->RedLightImg->GetBrushColor(), QColor(Qt::red));
    EXPECT_EQ(lcdMessage(), halted);
    for (int i = 0; i < 3; ++i) tickDead();
    EXPECT_EQ(lcdMessage(), halted) << "the outage does not wipe it";
    tickAlive();
    EXPECT_EQ(form->iMode, 2);
    EXPECT_EQ(lcdMessage(), halted);
    EXPECT_EQ(form->StopReset1->GetCaption(), "Stop");
    EXPECT_EQ(form->RedLightImg->GetBrushColor(), QColor(0x80, 0, 0));
    // The key now stops; it does not reset into a second halt.
    rec.take();
    form->StopReset1Click();
    EXPECT_EQ(form->iMode, 4);
    EXPECT_TRUE(has(rec.take(), "RHEAT OFF"));
    form->StopReset1Click();
    EXPECT_EQ(form->iMode, 2);
    EXPECT_EQ(lcdMessage(), "INSTRUMENT RESET");
}

// While the link is dead every tick logs the loss and the mode request, from the first tick on;
// the lost-link box of a run returns to mode 0 whatever the ticks under it did, and the next
// tick halts again.
TEST_F(Stops, EveryDeadTickLogsTheLossAndTheBoxReturnsToModeZero) {
    for (int i = 0; i < 3; ++i) tickDead();
    const std::string outage = newLog();
    EXPECT_EQ(count(outage, "#main: Connection lost\n"), 3) << outage;
    EXPECT_EQ(count(outage, "#main: setMode(): mode=0;"), 3) << outage;
    EXPECT_EQ(count(outage, "Connecting to the instrument"), 0) << outage;
    tickAlive();
    form->iMode = 7;
    boxes.onShow = [this](const MessageRequest&) { tickAlive(); };  // the link is back under the box
    tickDead();
    boxes.onShow = nullptr;
    EXPECT_EQ(form->iMode, 0);
    rec.take();
    tickAlive();
    EXPECT_EQ(form->iMode, 2);
    EXPECT_TRUE(has(rec.take(), "RHEAT OFF")) << "halted again from mode 0";
}

}  // namespace
