#include "ui/MainFormCommands.h"

#include <QColor>
#include <QMenu>
#include <QPainter>
#include <QRect>
#include <cmath>

#include "link/ChemStation.h"
#include "link/HPLC.h"
#include "link/Instrument.h"
#include "link/LogFile.h"
#include "methods/EditMethods.h"
#include "methods/EditSequence.h"
#include "methods/EditorNotice.h"
#include "methods/ExportImport.h"
#include "methods/LoadSequence.h"
#include "methods/PrintMethod.h"
#include "methods/PrintSequence.h"
#include "methods/SequenceParams.h"
#include "platform/Dialogs.h"
#include "platform/Help.h"
#include "platform/i18n.h"
#include "ui/About.h"
#include "ui/Calibration.h"
#include "ui/ChangeSeal.h"
#include "ui/Configuration.h"
#include "ui/LCDFrame.h"
#include "ui/MainForm.h"
#include "ui/PressureTest.h"

namespace {

const QColor kNavy(0, 0, 0x80);
const QColor kMaroon(0x80, 0, 0);

void menuLine(const char* path) {
    logLine(std::string("#menu: ") + path);
}

// A question whose Yes starts something on the instrument. A link lost while it is open ends it:
// the box says so and answers nothing, so an instrument reset meanwhile gets nothing of it.
bool askToStart(const QString& text, const QString& title, MsgIcon icon) {
    MessageRequest req;
    req.text = text;
    req.title = title;
    req.buttons = MsgButtons::YesNo;
    req.defaultButton = mrNo;
    req.icon = icon;
    req.linkSession = linkSession();
    return messageBox(req) == mrYes;
}

bool confirm(const QString& text) {
    return askToStart(text, _("Warning"), MsgIcon::Warning);
}

bool askYesNoError(const QString& text) {
    return askToStart(text, _("Error"), MsgIcon::Error);
}

void box(const QString& text, const QString& title, MsgIcon icon) {
    messageBox(text, title, MsgButtons::OK, mrOk, icon);
}

TPumpChannel* channel(int pump) {
    if (!InstrumentModule) return nullptr;
    if (pump == 1) return InstrumentModule->Channel1;
    if (pump == 2) return InstrumentModule->Channel2;
    return nullptr;
}

TPump* pumpOf(int pump) {
    TPumpChannel* c = channel(pump);
    return c ? c->Pump : nullptr;
}

bool volumeAtMost82(int pump) {
    TPump* p = pumpOf(pump);
    return p && p->IsVolumeAtMost82();
}

TUxMenuItem* item(TUxMenuItem* parent, const char* caption, const char* name,
                  std::function<void()> click = {}) {
    TUxMenuItem* it = parent->Add(QString::fromUtf8(caption));
    it->setObjectName(QString::fromLatin1(name));
    if (click) it->OnClick = std::move(click);
    return it;
}

void separator(TUxMenuItem* parent) {
    parent->Add(QStringLiteral("-"));
}

// The sequence's three modes: running, suspending, stopping after the current run.
bool runMode(uint8_t mode) {
    return mode == 7 || mode == 8 || mode == 9;
}

}  // namespace

TMainForm& TMainFormCommands::self() {
    return static_cast<TMainForm&>(*this);
}
const TMainForm& TMainFormCommands::self() const {
    return static_cast<const TMainForm&>(*this);
}

// ---------------------------------------------------------------- components

void TMainFormCommands::SetupCommands(TUxForm* form) {
    MainMenu1 = new TUxMainMenu(form);
    MainMenu1->setObjectName("MainMenu1");
    auto top = [this](const char* caption, const char* name) {
        TUxMenuItem* it = MainMenu1->Add(QString::fromUtf8(caption));
        it->setObjectName(QString::fromLatin1(name));
        return it;
    };

    File1 = top("File", "File1");
    ImportExport = item(File1, "Import/Export", "ImportExport", [this] { ImportExportClick(); });
    separator(File1);
    Exit1 = item(File1, "Exit", "Exit1", [this] { Exit1Click(); });

    Control1 = top("Control", "Control1");
    Enable1 = item(Control1, "Enable", "Enable1", [this] { Enable1Click(); });
    RefillPump = item(Control1, "Refill Pump", "RefillPump", [this] { RefillPumpClick(); });
    RefillPumps1 = item(Control1, "Refill Pumps", "RefillPumps1");
    RefillPump1 = item(RefillPumps1, "Pump 1", "RefillPump1", [this] { RefillPump1Click(); });
    RefillPump2 = item(RefillPumps1, "Pump 2", "RefillPump2", [this] { RefillPump2Click(); });
    RefillBothPumps = item(RefillPumps1, "Both Pumps", "RefillBothPumps", [this] { RefillBothPumpsClick(); });
    FlushPump = item(Control1, "Flush Pump", "FlushPump", [this] { FlushPumpClick(); });
    FlushPumps1 = item(Control1, "Flush Pumps", "FlushPumps1");
    FlushPump1 = item(FlushPumps1, "Pump 1", "FlushPump1", [this] { FlushPump1Click(); });
    FlushPump2 = item(FlushPumps1, "Pump 2", "FlushPump2", [this] { FlushPump2Click(); });
    FlushBothPumps = item(FlushPumps1, "Both Pumps", "FlushBothPumps", [this] { FlushBothPumpsClick(); });
    EmptyPump = item(Control1, "Empty Pump", "EmptyPump", [this] { EmptyPumpClick(); });
    EmptyPumps1 = item(Control1, "Empty Pumps", "EmptyPumps1");
    EmptyPump1 = item(EmptyPumps1, "Pump 1", "EmptyPump1", [this] { EmptyPump1Click(); });
    EmptyPump2 = item(EmptyPumps1, "Pump 2", "EmptyPump2", [this] { EmptyPump2Click(); });
    EmptyBothPumps = item(EmptyPumps1, "Both Pumps", "EmptyBothPumps", [this] { EmptyBothPumpsClick(); });
    separator(Control1);
    Pump1On = item(Control1, "Pump 1 On", "Pump1On", [this] { Pump1OnClick(); });
    Pump2On = item(Control1, "Pump 2 On", "Pump2On", [this] { Pump2OnClick(); });
    BothPumpsOn = item(Control1, "Both Pumps On", "BothPumpsOn", [this] { BothPumpsOnClick(); });
    BothPumpsOff = item(Control1, "Both Pumps Off", "BothPumpsOff", [this] { BothPumpsOffClick(); });
    RefillPump->SetVisible(false);
    FlushPump->SetVisible(false);
    EmptyPump->SetVisible(false);

    Method1 = top("Method", "Method1");
    EditDelete1 = item(Method1, "Edit/Delete", "EditDelete1", [this] { EditDelete1Click(); });
    Pring1 = item(Method1, "Print", "Pring1", [this] { Pring1Click(); });

    Sequence1 = top("Sequence", "Sequence1");
    // Ticks go on under the open menu: each command first asks whether it is still offered.
    const auto offered = [this](TUxMenuItem* const& it, void (TMainFormCommands::*command)()) {
        return [this, &it, command] {
            if (sequenceItemOffered(it)) (this->*command)();
        };
    };
    SequenceTable1 = item(Sequence1, "Edit/Delete", "SequenceTable1",
                          offered(SequenceTable1, &TMainFormCommands::SequenceTable1Click));
    Load1 = item(Sequence1, "Load", "Load1", offered(Load1, &TMainFormCommands::Load1Click));
    StartSequence1 = item(Sequence1, "Start Sequence", "StartSequence1",
                          offered(StartSequence1, &TMainFormCommands::StartSequence1Click));
    StopSequence1 = item(Sequence1, "Stop Sequence", "StopSequence1",
                         offered(StopSequence1, &TMainFormCommands::StopSequence1Click));
    StopSequence1->SetEnabled(false);
    Print1 = item(Sequence1, "Print", "Print1", offered(Print1, &TMainFormCommands::Print1Click));

    Instrument1 = top("Instrument", "Instrument1");
    Configure1 = item(Instrument1, "Configure", "Configure1", [this] { Configure1Click(); });
    Maintenance1 = item(Instrument1, "Maintenance", "Maintenance1");
    FlushInstrument1 =
        item(Maintenance1, "Flush Instrument", "FlushInstrument1", [this] { FlushInstrument1Click(); });
    ChangeSeal1 = item(Maintenance1, "Change Seal", "ChangeSeal1", [this] { ChangeSeal1Click(); });
    PrepareforStorageShipping1 =
        item(Maintenance1, "Prepare for Storage/Shipping", "PrepareforStorageShipping1",
             [this] { PrepareforStorageShipping1Click(); });
    Calibration1 = item(Maintenance1, "Calibration", "Calibration1");
    ReactorTemperatureCalibration = item(Calibration1, "Reactor Temperature", "ReactorTemperatureCalibration",
                                         [this] { ReactorTemperatureCalibrationClick(); });
    ColumnTemperatureCalibration = item(Calibration1, "Column Temperature", "ColumnTemperatureCalibration",
                                        [this] { ColumnTemperatureCalibrationClick(); });
    Calibration1->SetVisible(false);
    Calibration1->SetEnabled(false);
    TestPressure1 = item(Maintenance1, "Pump and Valve Seal Pressure Test", "TestPressure1",
                         [this] { TestPressure1Click(); });
    TestPressure1->SetVisible(false);
    TestPressure2 = item(Maintenance1, "Pump and Valve Seal Pressure Test", "TestPressure2");
    Pump11 = item(TestPressure2, "Pump 1", "Pump11", [this] { Pump11Click(); });
    Pump21 = item(TestPressure2, "Pump 2", "Pump21", [this] { Pump21Click(); });
    BothPumps1 = item(TestPressure2, "Both Pumps", "BothPumps1", [this] { BothPumps1Click(); });
    SystemPressureTest1 = item(Maintenance1, "System Pressure Test", "SystemPressureTest1",
                               [this] { SystemPressureTest1Click(); });

    // A command on the bar itself, so its action carries no submenu.
    StopReset1 = new TUxMenuItem(QStringLiteral("Stop"), MainMenu1);
    StopReset1->setObjectName("StopReset1");
    StopReset1->OnClick = [this] { StopReset1Click(); };
    MainMenu1->addAction(StopReset1->action());

    Help1 = top("Help", "Help1");
    Index1 = item(Help1, "Index", "Index1", [this] { Index1Click(); });
    SendLogToSupport1 =
        item(Help1, "Send Log to Support", "SendLogToSupport1", [this] { SendLogToSupport1Click(); });
    separator(Help1);
    About1 = item(Help1, "About", "About1", [this] { About1Click(); });

    // Each menu adjusts itself as it opens.
    QObject::connect(Control1->GetMenu(), &QMenu::aboutToShow, form, [this] { Control1Click(); });
    QObject::connect(Sequence1->GetMenu(), &QMenu::aboutToShow, form, [this] { Sequence1Click(); });
    QObject::connect(Instrument1->GetMenu(), &QMenu::aboutToShow, form, [this] { Instrument1Click(); });
    QObject::connect(Help1->GetMenu(), &QMenu::aboutToShow, form, [this] { Help1Click(); });

    PumpPopupMenu = new TUxPopupMenu(form);
    PumpPopupMenu->setObjectName("PumpPopupMenu");
    EditMethod1 = PumpPopupMenu->Add(QStringLiteral("Edit Method"));
    EditMethod1->setObjectName("EditMethod1");
    EditMethod1->OnClick = [this] { EditMethod1Click(); };
    StartPump1 = PumpPopupMenu->Add(QStringLiteral("Start Pump"));
    StartPump1->setObjectName("StartPump1");
    StopPump1 = PumpPopupMenu->Add(QStringLiteral("Stop Pump"));
    StopPump1->setObjectName("StopPump1");
    ColumnPopupMenu = new TUxPopupMenu(form);
    ColumnPopupMenu->setObjectName("ColumnPopupMenu");
    StopMenuOption1 = ColumnPopupMenu->Add(QStringLiteral("Stop Menu Option"));
    StopMenuOption1->setObjectName("StopMenuOption1");
    Resume1 = ColumnPopupMenu->Add(QStringLiteral("Resume..."));
    Resume1->setObjectName("Resume1");
    Cancel1 = ColumnPopupMenu->Add(QStringLiteral("Cancel..."));
    Cancel1->setObjectName("Cancel1");

    StatusBar1 = new TUxStatusBar(form);
    StatusBar1->setObjectName("StatusBar1");
    const struct {
        int width;
        const char* text;
    } panels[] = {
        {120, "INITIALIZING"}, {100, " "}, {150, "Method: NOT LOADED"}, {150, "Sequence: NOT LOADED"}};
    for (const auto& p : panels) {
        TUxStatusPanel* panel = StatusBar1->GetPanels()->Add();
        panel->SetWidth(p.width);
        panel->SetText(_(p.text));
    }
    // The mode panel is as wide as its widest text; the name panels cut a long name and show
    // it whole as their tooltip.
    QStringList modeTexts;
    for (const char* t : {"INITIALIZING",   "NOT CONNECTED",     "READY",           "STOP",
                          "EMERGENCY STOP", "PUMPS ON",          "PUMP ON",         "PUMP 1 ON",
                          "PUMP 2 ON",      "SEQ SUSPENDED",     "SEQ STOPPED",     "FLUSH",
                          "REFILL",         "PREP FOR STORING",  "PRESSURE TEST",   "SYS PRESS TEST",
                          "EMPTYING",       "INSTR FLUSH",       "SEAL CHANGE",     "INSTRUMENT DISABLED",
                          "UNKNOWN",        "REFILLING PUMP(S)", "FLUSHING PUMP(S)"})
        modeTexts << _(t);
    modeTexts << fillFirst(_("RUN (%s)"), "9999.9");
    StatusBar1->FitPanel(0, modeTexts);
    StatusBar1->FitPanel(1, {fillFirst(fillFirst(_("%s of %s"), "9999"), "9999")});
    StatusBar1->OnDrawPanel = [this](QPainter& canvas, int index, const QRect& rect) {
        StatusBar1OnDrawPanel(canvas, index, rect);
    };

    // The sequence editor and the load-sequence dialog choose the sequence of the next run.
    OnSetDefaultSequence = [](const std::string& name) {
        if (MainForm) MainForm->SetDefaultSequence(name);
    };
    OnLoadedSequenceStored = [] {
        if (MainForm) MainForm->RefreshLoadedSequence();
    };
    // The editors' saves and deletes reach what the main window has loaded.
    OnRecordStored = [](StoredRecord kind, const QString& name) {
        if (MainForm) MainForm->LoadedRecordStored(kind == StoredRecord::Method, name);
    };
    SequenceRunning = [] { return MainForm && runMode(MainForm->iMode); };
    // The configuration dialog's Save reaches the running program through the main window.
    OnApplyConfiguration = [] {
        if (MainForm) MainForm->ApplyConfiguration();
    };

    form->SetKeyPreview(true);
    form->OnKeyDown = [this](int& key, Qt::KeyboardModifiers shift) { FormKeyDown(key, shift); };
    if (TShapeImage* stop = self().StopBtnImg)
        stop->OnMouseDown = [this](Qt::MouseButton button) { StopBtnImgMouseDown(button); };
}

QString TMainFormCommands::StatusText(int panel) const {
    const TUxStatusPanel* p = StatusBar1 ? StatusBar1->GetPanels()->GetItem(panel) : nullptr;
    return p ? p->GetText() : QString();
}

void TMainFormCommands::SetStatusText(int panel, const QString& text) {
    TUxStatusPanel* p = StatusBar1 ? StatusBar1->GetPanels()->GetItem(panel) : nullptr;
    if (p) p->SetText(text);
}

// ---------------------------------------------------------------- File

void TMainFormCommands::ImportExportClick() {
    menuLine("File->Import/Export");
    if (ExportImport1) ExportImport1->Show();
}

void TMainFormCommands::Exit1Click() {
    menuLine("File->Exit");
    self().Close();
}

// ---------------------------------------------------------------- Control

void TMainFormCommands::Enable1Click() {
    menuLine("Control->Enable");
    SetInstrumentEnabled(!(InstrumentModule && InstrumentModule->Enabled));
}

bool TMainFormCommands::refillCheck(int pump, const QString& refusal) {
    if (volumeAtMost82(pump)) return true;
    box(refusal, _("Warning"), MsgIcon::Warning);
    return false;
}

void TMainFormCommands::RefillPumpClick() {
    menuLine("Refill Pump");
    if (!refillCheck(1, _("Please, empty Pump first."))) return;
    if (!confirm(
            _("You requested the Refill Pump procedure. It will take approximately 2 minutes. Do you want to "
              "continue?")))
        return;
    StartRefillPump(1);
}

void TMainFormCommands::RefillPump1Click() {
    menuLine("Refill Pump1");
    if (!refillCheck(1, _("Please, empty Pump 1."))) return;
    if (!confirm(
            _("You requested the Refill Pump1 procedure. It will take approximately 4 minutes. Do you want "
              "to continue?")))
        return;
    StartRefillPump(1);
}

void TMainFormCommands::RefillPump2Click() {
    menuLine("Refill Pump2");
    if (!refillCheck(2, _("Please, empty Pump 2."))) return;
    if (!confirm(
            _("You requested the Refill Pump2 procedure. It will take approximately 4 minutes. Do you want "
              "to continue?")))
        return;
    StartRefillPump(2);
}

void TMainFormCommands::RefillBothPumpsClick() {
    menuLine("Refill Both Pumps");
    const bool ok1 = volumeAtMost82(1);
    const bool ok2 = volumeAtMost82(2);
    if (!ok1 || !ok2) {
        const QString text = !ok1 && !ok2 ? _("Please, empty both pumps.")
                             : !ok2       ? _("Please, empty Pump 2.")
                                          : _("Please, empty Pump 1.");
        box(text, _("Warning"), MsgIcon::Warning);
        return;
    }
    if (!confirm(
            _("You requested the Refill Pumps procedure. It will take approximately 4 minutes. Do you want "
              "to continue?")))
        return;
    StartRefillBoth();
}

void TMainFormCommands::FlushPumpClick() {
    menuLine("Flush Pump");
    if (!confirm(
            _("You requested Flush Pump(s) procedure. It will take approximately 10 minutes. Do you want to "
              "continue?")))
        return;
    StartFlushPump(1);
}

void TMainFormCommands::FlushPump1Click() {
    menuLine("Flush Pump1");
    if (!confirm(
            _("You requested the Flush Pump1 procedure. It will take approximately 6 minutes. Do you want "
              "to continue?")))
        return;
    StartFlushPump(1);
}

void TMainFormCommands::FlushPump2Click() {
    menuLine("Flush Pump2");
    if (!confirm(
            _("You requested the Flush Pump2 procedure. It will take approximately 6 minutes. Do you want "
              "to continue?")))
        return;
    StartFlushPump(2);
}

void TMainFormCommands::FlushBothPumpsClick() {
    menuLine("Flush Both Pumps");
    if (!confirm(
            _("You requested the Flush Pumps procedure. It will take approximately 6 minutes. Do you want "
              "to continue?")))
        return;
    StartFlushBoth();
}

void TMainFormCommands::EmptyPumpClick() {
    menuLine("Empty Pump");
    if (!confirm(_("You are asking to empty the Pump. Continue?"))) return;
    StartEmptyPump(1);
}

void TMainFormCommands::EmptyPump1Click() {
    menuLine("Empty Pump1");
    if (!confirm(_("You are asking to empty the Pump 1. Continue?"))) return;
    StartEmptyPump(1);
}

void TMainFormCommands::EmptyPump2Click() {
    menuLine("Empty Pump2");
    if (!confirm(_("You are asking to empty the Pump 2. Continue?"))) return;
    StartEmptyPump(2);
}

void TMainFormCommands::EmptyBothPumpsClick() {
    menuLine("Empty Both Pumps");
    if (!confirm(_("You are asking to empty the pumps. Continue?"))) return;
    StartEmptyBoth();
}

void TMainFormCommands::pumpToggle(int pump) {
    if (!InstrumentModule) return;
    if (IsPumpOn(pump)) {
        // Off sets the channel idle too: a pump-on still waiting for its valve would
        // otherwise dispense on the next tick.
        InstrumentModule->StopPump(pump);
        if (!IsPumpOn(pump == 1 ? 2 : 1)) self().SetMode(3);
    } else if (EnsureEnabled()) {
        InstrumentModule->StartPumpOn(pump);
        self().SetMode(6);
    }
}

void TMainFormCommands::Pump1OnClick() {
    menuLine("Pump1 On");
    pumpToggle(1);
}

void TMainFormCommands::Pump2OnClick() {
    menuLine("Pump2 On");
    pumpToggle(2);
}

void TMainFormCommands::BothPumpsOnClick() {
    menuLine("Both Pumps On");
    if (!InstrumentModule || !EnsureEnabled()) return;
    for (int pump : {1, 2})
        if (!IsPumpOn(pump)) InstrumentModule->StartPumpOn(pump);
    self().SetMode(6);
}

void TMainFormCommands::BothPumpsOffClick() {
    menuLine("Both Pumps Off");
    if (IsPumpOn(1)) Pump1OnClick();
    if (IsPumpOn(2)) Pump2OnClick();
}

bool TMainFormCommands::IsPumpOn(int pump) {
    if (self().iMode != 6) return false;
    const TPumpChannel* c = channel(pump);
    if (!c) return false;
    const uint8_t s = c->State;
    return s == 1 || s == 63 || s == 66 || s == 67;
}

bool TMainFormCommands::EnsureEnabled() {
    if (InstrumentModule && InstrumentModule->Enabled) return true;
    if (!askYesNoError(_("You have to Enable Instrument first. Do you want to Enable Instrument?")))
        return false;
    return SetInstrumentEnabled(true);
}

bool TMainFormCommands::SetInstrumentEnabled(bool enable) {
    if (!InstrumentModule) return false;
    TMainForm& f = self();
    if (enable) {
        if (!InstrumentModule->EnableInstrument()) {
            box(_("Can't Enable Instrument:\n\n") + InstrumentModule->EnableErrorText, _("Error"),
                MsgIcon::Error);
            return false;
        }
        Enable1->SetCaption(_("Disable"));
        f.LCDScreen1->SetMessage(_("Instrument Enabled. Heaters are On."));
        return true;
    }
    // Whatever the stopped run or procedure queued is dropped first: a pump start still waiting
    // in the queue would otherwise reach the instrument after its heaters were switched off.
    InstrumentModule->ClearCommandQueue();
    if (InstrumentModule->DisableInstrument()) {
        f.SetMode(3);
        Enable1->SetCaption(_("Enable"));
        f.LCDScreen1->SetMessage(_("Instrument Disabled. Heaters and Pumps are Off."));
    } else {
        box(_("Can't Disable Instrument!"), _("Error"), MsgIcon::Error);
    }
    return true;
}

// ---------------------------------------------------------------- starters

bool TMainFormCommands::StartRefillPump(int pump) {
    self().SetMode(12);
    InstrumentModule->StartRefillPump(pump);
    self().LCDScreen1->SetMode(3);
    return true;
}

bool TMainFormCommands::StartRefillBoth() {
    self().SetMode(12);
    InstrumentModule->StartRefill();
    self().LCDScreen1->SetMode(3);
    SetStatusText(0, _("REFILLING PUMP(S)"));
    return true;
}

bool TMainFormCommands::StartFlushPump(int pump) {
    self().SetMode(11);
    InstrumentModule->StartFlushPump(pump);
    self().LCDScreen1->SetMode(2);
    return true;
}

bool TMainFormCommands::StartFlushBoth() {
    self().SetMode(11);
    InstrumentModule->StartFlush();
    self().LCDScreen1->SetMode(2);
    SetStatusText(0, _("FLUSHING PUMP(S)"));
    return true;
}

bool TMainFormCommands::StartEmptyPump(int pump) {
    InstrumentModule->StartEmptyPump(pump);
    self().SetMode(16);
    return true;
}

bool TMainFormCommands::StartEmptyBoth() {
    InstrumentModule->StartEmpty();
    self().SetMode(16);
    return true;
}

bool TMainFormCommands::StartPumpPressureTest(int mask) {
    const bool started = PressureTest && PressureTest->StartPumpTest(mask);
    if (started) self().SetMode(14);
    return started;
}

bool TMainFormCommands::StartSystemPressureTest() {
    const bool started = PressureTest && PressureTest->StartSystemTest();
    if (started) self().SetMode(15);
    return started;
}

bool TMainFormCommands::StartInstrumentFlush() {
    if (!InstrumentModule) return false;
    if (!InstrumentModule->Enabled &&
        askYesNoError(
            _("Can not start Instrument Flush Procedure. You have to Enable Instrument first. Do you want "
              "to Enable Instrument?")))
        SetInstrumentEnabled(true);
    if (!InstrumentModule->Enabled) return false;
    const bool started = InstrumentModule->StartInstrumentFlush();
    self().SetMode(17);
    return started;
}

bool TMainFormCommands::StartSealChange() {
    const bool started = ChangeSeal && ChangeSeal->StartProcedure();
    // The seal change's own step ends a start that did not go through.
    self().SetMode(18);
    return started;
}

// ---------------------------------------------------------------- Method and Sequence

void TMainFormCommands::EditDelete1Click() {
    menuLine("Method Edit");
    EditMethod1Click();
}

void TMainFormCommands::EditMethod1Click() {
    if (EditMethodForm) EditMethodForm->ShowModal();
}

void TMainFormCommands::Pring1Click() {
    menuLine("Method Print");
    if (!InstrumentModule || InstrumentModule->Method.Name.empty()) {
        box(_("Can not print: No Default Method set."), _("Error!"), MsgIcon::Error);
        return;
    }
    TPrintMethodForm report;
    report.PrintMethod(InstrumentModule->Method);
}

void TMainFormCommands::SequenceTable1Click() {
    menuLine("Sequence Edit");
    if (EditSequenceDialog) EditSequenceDialog->ShowModal();
}

void TMainFormCommands::Load1Click() {
    menuLine("Sequence Load");
    if (LoadSequenceDialog) LoadSequenceDialog->ShowModal();
}

void TMainFormCommands::StartSequence1Click() {
    menuLine("Sequence Start");
    TMainForm& f = self();
    switch (f.iMode) {
        case 7:
            f.SetMode(8);
            return;
        case 8:
            f.SetMode(7);
            return;
        case 2:
        case 3:
        case 6:
            break;
        default:
            // A sequence that is stopping (9) finishes its run first; a running procedure, a halt or a
            // lost link is no place to start one either.
            return;
    }
    if (!InstrumentModule) return;
    if (!InstrumentModule->Enabled) {
        if (askYesNoError(
                _("Can not start Sequence. You have to Enable Instrument first. Do you want to Enable "
                  "Instrument?")))
            SetInstrumentEnabled(true);
        return;
    }
    // The run reads the sequence from the store; one without lines has no method to run.
    TInstrumentModule& m = *InstrumentModule;
    const bool stored = m.GetSequenceParams();
    if (!stored || m.Sequence.MethodList.GetCount() == 0) {
        box(fillFirst(stored ? _("Can not start Sequence. Sequence \"%s\" has no lines.")
                             : _("Can not start Sequence. Sequence \"%s\" is not stored."),
                      m.Sequence.Name),
            _("Error"), MsgIcon::Error);
        return;
    }
    if (!InstrumentModule->PumpsHoldEnoughForRun()) {
        box(_("Can not start Sequence. Please, refill your pumps to the appropriate volume."), _("Error"),
            MsgIcon::Error);
        return;
    }
    f.SetMode(7);
    InstrumentModule->InitSequenceRun();
}

void TMainFormCommands::StopSequence1Click() {
    menuLine("Sequence Stop");
    StopSequence();
}

bool TMainFormCommands::StopSequence() {
    TMainForm& f = self();
    const QString name = InstrumentModule ? InstrumentModule->Sequence.Name : QString();
    f.LCDScreen1->SetMessage(fillFirst(_("Stopping Sequence %s."), name));
    f.SetMode(9);
    return true;
}

void TMainFormCommands::Print1Click() {
    menuLine("Sequence Print");
    if (!InstrumentModule || InstrumentModule->Sequence.Name.isEmpty()) {
        box(_("Can not print: No Default Sequence set."), _("Error!"), MsgIcon::Error);
        return;
    }
    TPrintSequenceForm report;
    report.PrintSequence(InstrumentModule->Sequence);
}

void TMainFormCommands::SetDefaultSequence(const std::string& name) {
    if (!InstrumentModule) return;
    TInstrumentModule& m = *InstrumentModule;
    TMainForm& f = self();
    m.Sequence.Name = QString::fromStdString(name);
    m.GetSequenceParams();
    if (f.iMode != 7 && f.iMode != 8) m.LineIndex = 0;
    SetStatusText(3, _("Sequence: ") + QString::fromStdString(name));
    if (runMode(f.iMode)) {
        // The run goes on with the method it loaded and that method's set points; the lines after
        // the current one come from this sequence.
        logLine("#SetDefaultSequence: " + name + " (the running method " + m.Method.Name +
                " and its set points stay)");
        return;
    }
    // A sequence without lines names no method.
    m.Method.Name =
        m.Sequence.MethodList.GetCount() > 0 ? m.Sequence.MethodList.Get(0).toStdString() : std::string();
    m.GetMethodParams();
    SetStatusText(2, _("Method: ") + QString::fromStdString(m.Method.Name));
    double column = 0.0, reactor = 0.0;
    const bool columnOk = tryStrToFloat(m.Method.ColumnT, column) && std::isfinite(column);
    const bool reactorOk = tryStrToFloat(m.Method.ReactorT, reactor) && std::isfinite(reactor);
    if (columnOk && reactorOk) {
        m.SetColumnSetPoint(column);
        m.SetReactorSetPoint(reactor);
    }
    logLine("#SetDefaultSequence: " + name);
}

void TMainFormCommands::RefreshLoadedSequence() {
    if (!InstrumentModule || InstrumentModule->Sequence.Name.isEmpty()) return;
    // A run keeps its own copy: the store is read again at its next line and at the next start.
    if (runMode(self().iMode)) return;
    TInstrumentModule& m = *InstrumentModule;
    TSequenceINIParams stored;
    stored.Name = m.Sequence.Name;
    if (!CSequenceNames().LoadSequence(stored)) {
        // Deleted: nothing is loaded any more; the set points stay where they are.
        logLine("#RefreshLoadedSequence: " + m.Sequence.Name.toStdString() + " is no longer stored");
        m.Method.Clear();
        m.Sequence.Clear();
        SetStatusText(3, _("Sequence: NOT LOADED"));
        SetStatusText(2, _("Method: NOT LOADED"));
        return;
    }
    const double column = m.GetColumnSetPoint(), reactor = m.GetReactorSetPoint();
    SetDefaultSequence(m.Sequence.Name.toStdString());
    const double newColumn = m.GetColumnSetPoint(), newReactor = m.GetReactorSetPoint();
    if (!m.Enabled || (newColumn == column && newReactor == reactor)) return;
    // The heaters of the enabled instrument go to the new set points at once: the operator is told.
    const auto degrees = [](double t) {
        std::string text = cformat("%.1f", t);
        for (char& c : text)
            if (c == '.') c = DecimalSeparator();
        return QString::fromStdString(text);
    };
    box(_("The heaters follow the stored method \"%1\" of the loaded sequence \"%2\": column %3 °C "
          "(was %4 °C), reactor %5 °C (was %6 °C).")
            .arg(QString::fromStdString(m.Method.Name), m.Sequence.Name, degrees(newColumn), degrees(column),
                 degrees(newReactor), degrees(reactor)),
        _("Info"), MsgIcon::Information);
}

void TMainFormCommands::LoadedRecordStored(bool method, const QString& name) {
    if (!InstrumentModule || InstrumentModule->Sequence.Name.isEmpty()) return;
    const TInstrumentModule& m = *InstrumentModule;
    const auto same = [&name](const QString& other) { return other.compare(name, Qt::CaseInsensitive) == 0; };
    bool loaded = !method && same(m.Sequence.Name);
    if (method) {
        loaded = same(QString::fromStdString(m.Method.Name));
        for (int i = 0; i < m.Sequence.MethodList.GetCount() && !loaded; ++i)
            loaded = same(m.Sequence.MethodList.Get(i));
    }
    if (loaded) RefreshLoadedSequence();
}

// ---------------------------------------------------------------- Instrument

void TMainFormCommands::Configure1Click() {
    menuLine("Instrument Configure");
    if (InstrumentConfiguration) InstrumentConfiguration->ShowModal();
}

bool TMainFormCommands::ApplyConfiguration() {
    // The halt leaves on the old link before the new settings drop it.
    return self().ApplySettings();
}

void TMainFormCommands::FlushInstrument1Click() {
    menuLine("Maintenance->Flush Instrument");
    if (!confirm(
            _("You requested the Instrument Flush Procedure.\n\nIt will take approximately 20 minutes.\n\nDo "
              "you want to continue?")))
        return;
    StartInstrumentFlush();
}

void TMainFormCommands::ChangeSeal1Click() {
    menuLine("Maintenance->Change Seal");
    StartSealChange();
}

void TMainFormCommands::PrepareforStorageShipping1Click() {
    menuLine("Maintenance->Prepare for Storage");
    if (!confirm(
            _("You requested the Prepare for Storage/Shipping Procedure.\n\nIt will take approximately 30 "
              "minutes.\n\nDo you want to continue?")))
        return;
    if (!InstrumentModule) return;
    InstrumentModule->StartStorageProcedure();
    self().SetMode(13);
}

void TMainFormCommands::ReactorTemperatureCalibrationClick() {
    menuLine("Maintenance->Calibration->Reactor Temperature");
    if (ReactorTempCalibration) ReactorTempCalibration->ShowModal();
}

void TMainFormCommands::ColumnTemperatureCalibrationClick() {
    menuLine("Maintenance->Calibration->Column Temperature");
    if (ColumnTempCalibration) ColumnTempCalibration->ShowModal();
}

// The pressure-test lines follow the start, as the test's own first lines come before them.
void TMainFormCommands::TestPressure1Click() {
    StartPumpPressureTest(1);
    menuLine("Maintenance->Test Pressure");
}

void TMainFormCommands::Pump11Click() {
    StartPumpPressureTest(1);
    menuLine("Maintenance->Test Pressure->Pump 1");
}

void TMainFormCommands::Pump21Click() {
    StartPumpPressureTest(2);
    menuLine("Maintenance->Test Pressure->Pump 2");
}

void TMainFormCommands::BothPumps1Click() {
    StartPumpPressureTest(3);
    menuLine("Maintenance->Test Pressure->Both Pumps");
}

void TMainFormCommands::SystemPressureTest1Click() {
    menuLine("Maintenance->System Pressure Test");
    StartSystemPressureTest();
}

// ---------------------------------------------------------------- Stop and Reset

void TMainFormCommands::StopBtnImgMouseDown(Qt::MouseButton button) {
    if (button != Qt::LeftButton) return;
    menuLine("Stop Button Image clicked");
    StopReset1Click();
}

void TMainFormCommands::StopReset1Click() {
    menuLine("Stop");
    TMainForm& f = self();
    const bool stop = f.iMode != 4;
    for (TUxMenuItem* menu : {Control1, Method1, Sequence1, Instrument1}) menu->SetEnabled(!stop);
    if (stop) {
        StopReset1->SetCaption(_("Reset"));
        logLine("#main: Stop pressed");
        if (f.RedLightImg) f.RedLightImg->SetBrushColor(Qt::red);
        f.HaltInstrument();
        f.SetMode(4);
        return;
    }
    StopReset1->SetCaption(_("Stop"));
    logLine("#main: Reset pressed");
    f.SetMode(2);
    if (f.RedLightImg) f.RedLightImg->SetBrushColor(kMaroon);
    Pump1On->SetChecked(false);
    Pump2On->SetChecked(false);
    if (InstrumentModule) {
        InstrumentModule->Method.Clear();
        InstrumentModule->Sequence.Clear();
    }
    SetStatusText(3, _("Sequence: NOT LOADED"));
    SetStatusText(2, _("Method: NOT LOADED"));
    SetStatusText(1, QString());
}

// ---------------------------------------------------------------- Help

void TMainFormCommands::Index1Click() {
    Help::command(3);
}

void TMainFormCommands::SendLogToSupport1Click() {
    if (LogFile) LogFile->Show();
}

void TMainFormCommands::About1Click() {
    if (AboutForm) AboutForm->ShowModal();
}

// ---------------------------------------------------------------- menus as they open

void TMainFormCommands::Control1Click() {
    const bool single = InstrumentModule && InstrumentModule->SinglePump;
    const bool enabled = InstrumentModule && InstrumentModule->Enabled;
    const uint8_t mode = self().iMode;
    TUxMenuItem* const onePump[] = {RefillPump, FlushPump, EmptyPump};
    TUxMenuItem* const submenus[] = {RefillPumps1, FlushPumps1, EmptyPumps1};
    for (TUxMenuItem* it : onePump) it->SetVisible(single);
    for (TUxMenuItem* it : submenus) it->SetVisible(!single);
    Pump1On->SetCaption(single ? _("Pump On") : _("Pump 1 On"));
    if (!single) Pump2On->SetCaption(_("Pump 2 On"));
    for (TUxMenuItem* it : {Pump2On, BothPumpsOn, BothPumpsOff}) it->SetVisible(!single);

    for (TUxMenuItem* it : onePump) it->SetEnabled(false);
    for (TUxMenuItem* it : submenus) it->SetEnabled(false);
    for (TUxMenuItem* it : {Pump1On, Pump2On, BothPumpsOn, BothPumpsOff}) it->SetEnabled(false);
    Enable1->SetEnabled(!enabled);
    Enable1->SetCaption(enabled ? _("Disable") : _("Enable"));

    if (mode == 2 || mode == 3) {
        Enable1->SetEnabled(true);
        for (TUxMenuItem* it : onePump) it->SetEnabled(true);
        for (TUxMenuItem* it : submenus) it->SetEnabled(true);
        for (TUxMenuItem* it : {Pump1On, Pump2On, BothPumpsOn}) it->SetEnabled(true);
    } else if (mode == 6) {
        const bool on1 = IsPumpOn(1);
        const bool on2 = IsPumpOn(2);
        Pump1On->SetEnabled(true);
        Pump1On->SetCaption(single ? (on1 ? _("Pump Off") : _("Pump On"))
                                   : (on1 ? _("Pump 1 Off") : _("Pump 1 On")));
        Pump2On->SetEnabled(true);
        Pump2On->SetCaption(on2 ? _("Pump 2 Off") : _("Pump 2 On"));
        BothPumpsOff->SetEnabled(true);
        BothPumpsOn->SetEnabled(!(on1 && on2));
    }
}

namespace {
// What the Sequence menu offers in a mode: the captions of its two run commands and whether
// each can be chosen.
struct SequenceOffer {
    QString start = _("Start Sequence");
    QString stop = _("Stop Sequence");
    bool startOn = false, stopOn = false;
};

SequenceOffer sequenceOffer(uint8_t mode) {
    SequenceOffer o;
    switch (mode) {
        case 2:
        case 3:
        case 6:
            o.startOn = true;
            break;
        case 7:
            o.start = _("Suspend Sequence");
            o.startOn = o.stopOn = true;
            break;
        case 8:
            o.start = _("Resume Sequence");
            o.startOn = o.stopOn = true;
            break;
        case 9:
            // The sequence ends after its current run; nothing to suspend or start until then.
            o.start = _("Suspend Sequence");
            o.stop = _("Stopping Sequence...");
            break;
        default:
            break;
    }
    return o;
}
}  // namespace

void TMainFormCommands::Sequence1Click() {
    const SequenceOffer o = sequenceOffer(self().iMode);
    StartSequence1->SetCaption(o.start);
    StartSequence1->SetEnabled(o.startOn);
    StopSequence1->SetCaption(o.stop);
    StopSequence1->SetEnabled(o.stopOn);
}

bool TMainFormCommands::sequenceItemOffered(TUxMenuItem* it) {
    // The item shows what the menu offered when it opened; the menu opened now offers this.
    const SequenceOffer now = sequenceOffer(self().iMode);
    QString caption = it->GetCaption();
    bool on = Sequence1->GetEnabled() && Sequence1->GetVisible();
    if (it == StartSequence1) {
        caption = now.start;
        on = on && now.startOn;
    } else if (it == StopSequence1) {
        caption = now.stop;
        on = on && now.stopOn;
    }
    if (on && caption == it->GetCaption()) return true;
    logLine("#menu: " + it->GetCaption8() + " not done: the menu offers " +
            (on ? caption.toStdString() : "it no more") + " in mode " + std::to_string(int(self().iMode)));
    box(fillFirst(_("\"%s\" was not done: the sequence changed while the menu was open. Open the menu again "
                    "to see what it offers now."),
                  it->GetCaption()),
        _("Warning"), MsgIcon::Warning);
    return false;
}

void TMainFormCommands::Instrument1Click() {
    const bool single = InstrumentModule && InstrumentModule->SinglePump;
    TestPressure1->SetVisible(single);
    TestPressure2->SetVisible(!single);
}

void TMainFormCommands::Help1Click() {
    const uint8_t mode = self().iMode;
    SendLogToSupport1->SetEnabled(mode == 0 || mode == 2 || mode == 3);
}

// ---------------------------------------------------------------- every tick

void TMainFormCommands::UpdateMenus(uint8_t mode) {
    TMainForm& f = self();
    TInstrumentModule* m = InstrumentModule;
    auto enable = [](std::initializer_list<TUxMenuItem*> items, bool on) {
        for (TUxMenuItem* it : items) it->SetEnabled(on);
    };
    QString text;
    switch (mode) {
        case 0:
            text = _("NOT CONNECTED");
            enable({Control1, Maintenance1}, false);
            break;
        case 2:
            text = _("READY");
            enable({Control1, Maintenance1, Instrument1, Method1, Sequence1}, true);
            break;
        case 3:
            text = _("STOP");
            break;
        case 4:
            text = _("EMERGENCY STOP");
            enable({Control1, Instrument1, Method1, Sequence1}, false);
            break;
        case 6: {
            const bool on1 = IsPumpOn(1), on2 = IsPumpOn(2);
            if (on1 && on2)
                text = _("PUMPS ON");
            else if (m && m->SinglePump)
                text = _("PUMP ON");
            else if (on1)
                text = _("PUMP 1 ON");
            else
                text = _("PUMP 2 ON");
            enable({Maintenance1}, false);
            break;
        }
        case 7: {
            const int32_t seconds = m ? m->GetRunSeconds() : 0;
            std::string minutes = cformat("%3.1f", seconds / 60.0);
            for (char& c : minutes)
                if (c == '.') c = DecimalSeparator();
            text = fillFirst(_("RUN (%s)"), QString::fromStdString(minutes));
            enable({Control1, Instrument1}, false);
            if (m) {
                SetStatusText(1, fillFirst(fillFirst(_("%s of %s"), QString::number(m->RunCounter)),
                                           QString::number(m->Sequence.GetTotalRuns())));
                SetStatusText(2, fillFirst(fillFirst(_("Method (%s): %s"), QString::number(m->LineIndex + 1)),
                                           QString::fromStdString(m->Method.Name)));
            }
            break;
        }
        case 8:
            text = _("SEQ SUSPENDED");
            enable({Control1, Instrument1}, false);
            if (m && !m->EquilTimer.IsExpired()) f.LCDScreen1->SetMessage(QString());
            break;
        case 9:
            text = _("SEQ STOPPED");
            break;
        case 11:
            text = _("FLUSH");
            enable({Maintenance1}, false);
            break;
        case 12:
            text = _("REFILL");
            break;
        case 13:
            text = _("PREP FOR STORING");
            enable({Maintenance1}, false);
            break;
        case 14:
            text = _("PRESSURE TEST");
            enable({Maintenance1}, false);
            break;
        case 15:
            text = _("SYS PRESS TEST");
            enable({Maintenance1}, false);
            break;
        case 16:
            text = _("EMPTYING");
            enable({Maintenance1}, false);
            break;
        case 17:
            text = _("INSTR FLUSH");
            enable({Maintenance1}, false);
            break;
        case 18:
            text = _("SEAL CHANGE");
            enable({Maintenance1}, false);
            break;
        case 19:
            text = _("INSTRUMENT DISABLED");
            break;
        default:
            text = _("UNKNOWN");
            break;
    }
    SetStatusText(0, text);

    TUxStatusPanel* progress = StatusBar1->GetPanels()->GetItem(1);
    if (mode >= 11 && mode <= 18) {
        if (progress->GetStyle() != psOwnerDraw) progress->SetStyle(psOwnerDraw);
        // The progress share moves on every tick while no text of the bar changes.
        StatusBar1->repaint();
    } else if (progress->GetStyle() == psOwnerDraw) {
        progress->SetStyle(psText);
    }

    if (mode == 7 && m && m->TempRamping) f.LCDScreen1->SetMessage(_("DOING TEMP RAMPING"), 2);
}

void TMainFormCommands::StatusBar1OnDrawPanel(QPainter& canvas, int panelIndex, const QRect& rect) {
    if (panelIndex != 1) return;
    const int32_t p = std::clamp<int32_t>(InstrumentModule ? InstrumentModule->PercentDone : 0, 0, 100);
    // Right and bottom edges are exclusive, as the panel's rectangle gives them.
    const int right = rect.left() + rect.width();
    const int width = (right - rect.left()) * p / 100;
    if (width <= 0) return;
    canvas.save();
    canvas.setPen(QPen(kNavy, 1, Qt::SolidLine));
    canvas.setBrush(QBrush(kNavy, Qt::SolidPattern));
    canvas.fillRect(QRect(rect.left(), rect.top(), width, rect.height()), kNavy);
    canvas.restore();
}

// ---------------------------------------------------------------- service keys

void TMainFormCommands::FormKeyDown(int& key, Qt::KeyboardModifiers shift) {
    if (!(shift & Qt::ControlModifier) || !(shift & Qt::AltModifier)) return;
    switch (key) {
        case Qt::Key_C:
            if (InstrumentModule) InstrumentModule->ShowCommunicationWindow();
            break;
        case Qt::Key_L:
            if (LogFile) LogFile->Show();
            break;
        case Qt::Key_H:
            if (HPLCModule) HPLCModule->Show();
            break;
        case Qt::Key_I:
            if (InstrumentModule) InstrumentModule->Show();
            break;
        default:
            break;
    }
}
