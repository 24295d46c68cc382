// The Sequence menu under ticks that go on while it is open, the end of a sequence, a Load during a
// run, and what the main window has loaded after an editor or an import stored it.
#include <QFile>
#include <QMenu>

#include "MainFormHarness.h"
#include "methods/EditorNotice.h"
#include "methods/ExportImport.h"
#include "platform/i18n.h"
#include "support/StoredMethods.h"
#include "ui/MainFormCommands.h"

namespace {

using Boxes = std::vector<std::string>;
using Item = TUxMenuItem* TMainFormCommands::*;

TMethodINIParams method(const std::string& name, const char* column, const char* reactor) {
    TMethodINIParams m = plainMethod(name);
    m.ColumnT = column;
    m.ReactorT = reactor;
    return m;
}

class SequenceMenu : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        setDecimalSeparator('.');
        storeMethod(method("M1", "40", "50"));
        storeMethod(method("M2", "35", "45"));
        TMethodINIParams m3 = method("M3", "60", "70");
        m3.Pump1Flow = "1.5";
        storeMethod(m3);
        storeSequence("S", {{"M1", "2"}, {"M2", "1"}});
        storeSequence("R", {{"M3", "1"}, {"M1", "1"}});
        form->SetDefaultSequence("S");
        rec.take();
        newLog();
    }
    void TearDown() override {
        OnRecordStored = nullptr;
        SequenceRunning = nullptr;
        MainFormHarness::TearDown();
    }
    void enable() {
        ASSERT_TRUE(form->SetInstrumentEnabled(true));
        boxes.shown.clear();
        rec.take();
        newLog();
    }
    // The operator opens the Sequence menu.
    void openMenu() { Q_EMIT form->Sequence1->GetMenu()->aboutToShow(); }
    static bool sets(const std::vector<std::string>& sent, const char* word) {
        return std::any_of(sent.begin(), sent.end(),
                           [word](const std::string& c) { return c.rfind(word, 0) == 0; });
    }
    QString panel(int i) const { return form->StatusText(i); }
};

// Ticks end, disable or lose the sequence under the open menu: a click on what it offered then
// does nothing but say so; what it still offers acts.
TEST_F(SequenceMenu, ACommandActsOnlyWhereTheMenuOpenedNowWouldOfferIt) {
    const QString stale =
        "Warning: \"%1\" was not done: the sequence changed while the menu was open. Open the "
        "menu again to see what it offers now.";
    const struct {
        const char* why;
        uint8_t atOpen, atClick;
        Item item;
        bool acts;
        uint8_t modeAfter;
    } rows[] = {
        {"the sequence ended under the menu", 7, 2, &TMainFormCommands::StartSequence1, false, 2},
        {"the monitor disabled the instrument", 7, 3, &TMainFormCommands::StopSequence1, false, 3},
        {"the link was lost and came back", 8, 2, &TMainFormCommands::StopSequence1, false, 2},
        {"a stop after the current run was asked", 7, 9, &TMainFormCommands::StartSequence1, false, 9},
        {"a sequence started meanwhile", 2, 7, &TMainFormCommands::StartSequence1, false, 7},
        {"resumed meanwhile", 8, 7, &TMainFormCommands::StartSequence1, false, 7},
        {"running still", 7, 7, &TMainFormCommands::StartSequence1, true, 8},
        {"suspended still", 8, 8, &TMainFormCommands::StopSequence1, true, 9},
        {"Load is always offered", 7, 2, &TMainFormCommands::Load1, true, 2},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        form->iMode = r.atOpen;
        openMenu();
        TUxMenuItem* it = form.get()->*r.item;
        const QString offered = it->GetCaption();
        form->iMode = r.atClick;
        instrument->RunState = 34;
        instrument->RunCounter = 2;
        it->Click();
        EXPECT_EQ(form->iMode, r.modeAfter);
        EXPECT_EQ(takeBoxes(), r.acts ? Boxes{} : Boxes{stale.arg(offered).toStdString()});
        const std::string log = newLog();
        EXPECT_EQ(has(log, "#menu: " + offered.toStdString() + " not done"), !r.acts) << log;
        if (!r.acts) {
            EXPECT_EQ(rec.take(), std::vector<std::string>{});
            EXPECT_EQ(instrument->RunCounter, 2);
        }
        rec.take();
    }
}

// However a sequence ends, the run machine holds nothing it could take up again: a later call
// only repeats the end, and no pump or valve of the run moves.
TEST_F(SequenceMenu, EveryEndOfASequenceLeavesTheRunMachineUnableToResume) {
    for (uint8_t end : {2, 3, 4, 0, 1, 19}) {
        SCOPED_TRACE(int(end));
        form->iMode = 7;
        instrument->RunState = 34;
        instrument->RunClock.Start(600);
        form->SetMode(8);  // suspending is the same run
        EXPECT_EQ(instrument->RunState, 34);
        form->SetMode(end);
        EXPECT_EQ(instrument->RunState, 47);
        boxes.shown.clear();
        rec.take();
        for (int action : {0, 1}) {
            form->iMode = action == 0 ? 7 : 8;
            EXPECT_TRUE(instrument->bRun(action));
        }
        const std::vector<std::string> sent = rec.take();
        for (const char* word : {"FWD", "RVS", "MS", "ML", "VALVE", "CSETPOINT", "CHEAT ON"})
            EXPECT_FALSE(sets(sent, word)) << word;
        form->iMode = 2;
    }
}

TEST_F(SequenceMenu, LoadDuringARunLeavesTheRunningMethodAndItsSetPointsAlone) {
    for (uint8_t mode : {7, 8, 9}) {
        SCOPED_TRACE(int(mode));
        form->SetDefaultSequence("S");
        form->iMode = mode;
        instrument->LineIndex = 0;
        rec.take();
        newLog();
        form->SetDefaultSequence("R");
        EXPECT_EQ(rec.take(), std::vector<std::string>{}) << "no set point, no flow";
        EXPECT_EQ(instrument->Method.Name, "M1");
        EXPECT_DOUBLE_EQ(instrument->Method.Pump1FlowValue, 0.25);
        EXPECT_DOUBLE_EQ(instrument->GetColumnSetPoint(), 40.0);
        EXPECT_DOUBLE_EQ(instrument->GetReactorSetPoint(), 50.0);
        EXPECT_EQ(instrument->LineIndex, 0);
        EXPECT_EQ(panel(3), "Sequence: R");
        EXPECT_EQ(instrument->Sequence.MethodList.Get(0), "M3") << "the lines to come are the new sequence's";
        EXPECT_TRUE(has(newLog(), "#SetDefaultSequence: R (the running method M1 and its set points stay)"));
    }
    form->iMode = 2;
    form->SetDefaultSequence("R");
    EXPECT_EQ(instrument->Method.Name, "M3");
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"CSETPOINT 60.0", "RSETPOINT 70.0"}));
}

// A save or delete in an editor of what the main window has loaded reaches it outside a run; the
// operator is told when the heaters of the enabled instrument follow.
TEST_F(SequenceMenu, AnEditorsSaveOfWhatIsLoadedRefreshesItOutsideARun) {
    ASSERT_TRUE(OnRecordStored);
    enable();
    const std::string follow =
        "Info: The heaters follow the stored method \"M1\" of the loaded sequence \"S\": column 45.0 °C "
        "(was 40.0 °C), reactor 60.0 °C (was 50.0 °C).";
    storeMethod(method("M1", "45", "60"));
    storeSequence("S", {{"M2", "1"}});
    for (uint8_t mode : {7, 8, 9}) {
        form->iMode = mode;
        recordStored(StoredRecord::Method, "M1");
        recordStored(StoredRecord::Sequence, "S");
        EXPECT_EQ(instrument->Method.ColumnT, "40") << int(mode);
        EXPECT_EQ(instrument->Sequence.MethodList.Get(0), "M1") << "a run keeps its own copy";
        EXPECT_EQ(rec.take(), std::vector<std::string>{}) << int(mode);
    }
    storeSequence("S", {{"M1", "2"}, {"M2", "1"}});
    form->iMode = 2;
    recordStored(StoredRecord::Method, "Other");
    EXPECT_EQ(instrument->Method.ColumnT, "40") << "not a method of the loaded sequence";
    recordStored(StoredRecord::Method, "m1");
    EXPECT_EQ(instrument->Method.ColumnT, "45");
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"CSETPOINT 45.0", "RSETPOINT 60.0"}));
    EXPECT_EQ(takeBoxes(), Boxes{follow});
    // Saved again unchanged, or a later line's method: nothing moves, nothing to say.
    recordStored(StoredRecord::Method, "M2");
    EXPECT_EQ(takeBoxes(), Boxes{});

    // The sequence saved with another first line; on a disabled instrument the set points move
    // without a word (the heaters are off).
    form->SetInstrumentEnabled(false);
    form->iMode = 2;
    storeSequence("S", {{"M2", "1"}});
    boxes.shown.clear();
    recordStored(StoredRecord::Sequence, "S");
    EXPECT_EQ(instrument->Method.Name, "M2");
    EXPECT_EQ(panel(2), "Method: M2");
    EXPECT_DOUBLE_EQ(instrument->GetColumnSetPoint(), 35.0);
    EXPECT_EQ(takeBoxes(), Boxes{});

    // Deleted: nothing is loaded any more.
    ASSERT_TRUE(CSequenceNames().DeleteSequence("S"));
    recordStored(StoredRecord::Sequence, "S");
    EXPECT_TRUE(instrument->Sequence.Name.isEmpty());
    EXPECT_EQ(panel(3) + " | " + panel(2), "Sequence: NOT LOADED | Method: NOT LOADED");
    EXPECT_DOUBLE_EQ(instrument->GetColumnSetPoint(), 35.0);
}

// The import asks before it replaces the loaded sequence's method: of a run in progress only
// while one is; afterwards the heaters of the enabled instrument follow, and the operator is told.
TEST_F(SequenceMenu, TheImportSpeaksOfARunOnlyDuringOneAndSaysWhenTheHeatersFollow) {
    enable();
    const QString path = QString::fromStdString(env->dir) + "/import.sav";
    // The file of another instrument: M1 at 45 and 65 degrees.
    storeMethod(method("M1", "45", "65"));
    ASSERT_TRUE(TExportImport1().ExportAll(path.toStdString()));
    storeMethod(method("M1", "40", "50"));
    takeBoxes();
    const std::string run = "A run in progress keeps the method it started with";
    for (uint8_t mode : {7, 2}) {
        SCOPED_TRACE(int(mode));
        form->iMode = mode;
        boxes.answer(mrYes);
        TExportImport1 window;
        const bool imported = window.ImportAll(path.toStdString());
        ASSERT_TRUE(imported) << ::testing::PrintToString(takeBoxes());
        const Boxes shown = takeBoxes();
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(has(shown[0], run), mode == 7) << shown[0];
        EXPECT_EQ(has(shown[0], "The main window loads the imported one at once."), mode == 2) << shown[0];
        const bool told = std::any_of(shown.begin(), shown.end(), [](const std::string& b) {
            return b.rfind("Info: The heaters follow the stored method \"M1\"", 0) == 0;
        });
        EXPECT_EQ(told, mode == 2);
        EXPECT_DOUBLE_EQ(instrument->GetReactorSetPoint(), mode == 2 ? 65.0 : 50.0);
    }
}

}  // namespace
