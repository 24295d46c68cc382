// What the operator does in the main window and what it shows outside the LCD panel: the menu
// bar and its commands, the two (unattached) pop-up menus, the four-panel status bar with its
// progress bar, the service keys, enabling the instrument and choosing the current sequence.
// TMainForm derives from this class; SetupCommands builds the components on the form.
#pragma once
#include <QString>
#include <Qt>
#include <cstdint>
#include <string>

#include "unicode/UxMenus.h"

class QPainter;
class QRect;
class TMainForm;
class TUxForm;

class TMainFormCommands {
  public:
    // Builds the menu bar, the pop-ups and the status bar as children of form (the main window,
    // which derives from this class), wires every handler and the form's key preview. The caller
    // places MainMenu1 and StatusBar1 in its layout.
    void SetupCommands(TUxForm* form);

    // Menu bar (automatic accelerators off) and its items; hidden items are invisible from the start.
    TUxMainMenu* MainMenu1 = nullptr;
    TUxMenuItem* File1 = nullptr;
    TUxMenuItem* ImportExport = nullptr;
    TUxMenuItem* Exit1 = nullptr;
    TUxMenuItem* Control1 = nullptr;
    TUxMenuItem* Enable1 = nullptr;
    TUxMenuItem* RefillPump = nullptr;  // single-pump form
    TUxMenuItem* RefillPumps1 = nullptr;
    TUxMenuItem* RefillPump1 = nullptr;
    TUxMenuItem* RefillPump2 = nullptr;
    TUxMenuItem* RefillBothPumps = nullptr;
    TUxMenuItem* FlushPump = nullptr;  // single-pump form
    TUxMenuItem* FlushPumps1 = nullptr;
    TUxMenuItem* FlushPump1 = nullptr;
    TUxMenuItem* FlushPump2 = nullptr;
    TUxMenuItem* FlushBothPumps = nullptr;
    TUxMenuItem* EmptyPump = nullptr;  // single-pump form
    TUxMenuItem* EmptyPumps1 = nullptr;
    TUxMenuItem* EmptyPump1 = nullptr;
    TUxMenuItem* EmptyPump2 = nullptr;
    TUxMenuItem* EmptyBothPumps = nullptr;
    TUxMenuItem* Pump1On = nullptr;
    TUxMenuItem* Pump2On = nullptr;
    TUxMenuItem* BothPumpsOn = nullptr;
    TUxMenuItem* BothPumpsOff = nullptr;
    TUxMenuItem* Method1 = nullptr;
    TUxMenuItem* EditDelete1 = nullptr;
    TUxMenuItem* Pring1 = nullptr;
    TUxMenuItem* Sequence1 = nullptr;
    TUxMenuItem* SequenceTable1 = nullptr;
    TUxMenuItem* Load1 = nullptr;
    TUxMenuItem* StartSequence1 = nullptr;
    TUxMenuItem* StopSequence1 = nullptr;
    TUxMenuItem* Print1 = nullptr;
    TUxMenuItem* Instrument1 = nullptr;
    TUxMenuItem* Configure1 = nullptr;
    TUxMenuItem* Maintenance1 = nullptr;
    TUxMenuItem* FlushInstrument1 = nullptr;
    TUxMenuItem* ChangeSeal1 = nullptr;
    TUxMenuItem* PrepareforStorageShipping1 = nullptr;
    TUxMenuItem* Calibration1 = nullptr;
    TUxMenuItem* ReactorTemperatureCalibration = nullptr;
    TUxMenuItem* ColumnTemperatureCalibration = nullptr;
    TUxMenuItem* TestPressure1 = nullptr;  // single-pump form
    TUxMenuItem* TestPressure2 = nullptr;
    TUxMenuItem* Pump11 = nullptr;
    TUxMenuItem* Pump21 = nullptr;
    TUxMenuItem* BothPumps1 = nullptr;
    TUxMenuItem* SystemPressureTest1 = nullptr;
    TUxMenuItem* StopReset1 = nullptr;  // a command on the bar itself: "Stop" or "Reset"
    TUxMenuItem* Help1 = nullptr;
    TUxMenuItem* Index1 = nullptr;
    TUxMenuItem* SendLogToSupport1 = nullptr;
    TUxMenuItem* About1 = nullptr;

    // Pop-ups attached to no control; only EditMethod1 has a command.
    TUxPopupMenu* PumpPopupMenu = nullptr;
    TUxMenuItem* EditMethod1 = nullptr;
    TUxMenuItem* StartPump1 = nullptr;
    TUxMenuItem* StopPump1 = nullptr;
    TUxPopupMenu* ColumnPopupMenu = nullptr;
    TUxMenuItem* StopMenuOption1 = nullptr;
    TUxMenuItem* Resume1 = nullptr;
    TUxMenuItem* Cancel1 = nullptr;

    // Panels: 0 mode, 1 run counter or progress bar, 2 method, 3 sequence.
    TUxStatusBar* StatusBar1 = nullptr;

    // Menu handlers.
    void ImportExportClick();
    void Exit1Click();
    void Enable1Click();
    void RefillPumpClick();
    void RefillPump1Click();
    void RefillPump2Click();
    void RefillBothPumpsClick();
    void FlushPumpClick();
    void FlushPump1Click();
    void FlushPump2Click();
    void FlushBothPumpsClick();
    void EmptyPumpClick();
    void EmptyPump1Click();
    void EmptyPump2Click();
    void EmptyBothPumpsClick();
    void Pump1OnClick();
    void Pump2OnClick();
    void BothPumpsOnClick();
    void BothPumpsOffClick();
    void EditDelete1Click();
    void EditMethod1Click();
    void Pring1Click();
    void SequenceTable1Click();
    void Load1Click();
    void StartSequence1Click();
    void StopSequence1Click();
    void Print1Click();
    void Configure1Click();
    void FlushInstrument1Click();
    void ChangeSeal1Click();
    void PrepareforStorageShipping1Click();
    void ReactorTemperatureCalibrationClick();
    void ColumnTemperatureCalibrationClick();
    void TestPressure1Click();
    void Pump11Click();
    void Pump21Click();
    void BothPumps1Click();
    void SystemPressureTest1Click();
    void StopReset1Click();
    void Index1Click();
    void SendLogToSupport1Click();
    void About1Click();
    // The front-panel STOP key: the left button gives the Stop command.
    void StopBtnImgMouseDown(Qt::MouseButton button);

    // Menu-opening handlers.
    void Control1Click();
    void Sequence1Click();
    void Instrument1Click();
    void Help1Click();

    // Every tick: status panel 0 and the top-level menus by mode.
    void UpdateMenus(uint8_t mode);
    // Draws the owner-drawn panel 1: the progress bar of PercentDone.
    void StatusBar1OnDrawPanel(QPainter& canvas, int panelIndex, const QRect& rect);
    // Service keys with Ctrl+Alt: C link window, L log window, H HPLC window, I instrument window.
    // (Named so that it does not hide the form's OnKeyDown event, which calls it.)
    void FormKeyDown(int& key, Qt::KeyboardModifiers shift);

    bool SetInstrumentEnabled(bool enable);
    bool EnsureEnabled();
    bool IsPumpOn(int pump);
    bool StopSequence();
    void SetDefaultSequence(const std::string& name);
    // Reloads the loaded sequence after its stores changed; a run in progress keeps its method.
    // One no longer stored is unloaded. Tells the operator when the heaters of the enabled
    // instrument follow new set points.
    void RefreshLoadedSequence();
    // An editor stored or deleted a method or a sequence: refreshes what is loaded when it is
    // the loaded sequence, its method or a method of its lines.
    void LoadedRecordStored(bool method, const QString& name);
    bool ApplyConfiguration();

    // Starters.
    bool StartRefillPump(int pump);
    bool StartRefillBoth();
    bool StartFlushPump(int pump);
    bool StartFlushBoth();
    bool StartEmptyPump(int pump);
    bool StartEmptyBoth();
    bool StartPumpPressureTest(int mask);
    bool StartSystemPressureTest();
    bool StartInstrumentFlush();
    bool StartSealChange();

    // Status panel text (empty outside the collection); for the main loop and tests.
    QString StatusText(int panel) const;
    void SetStatusText(int panel, const QString& text);

  protected:
    TMainFormCommands() = default;
    ~TMainFormCommands() = default;
    TMainFormCommands(const TMainFormCommands&) = delete;
    TMainFormCommands& operator=(const TMainFormCommands&) = delete;

  private:
    TMainForm& self();
    const TMainForm& self() const;
    void pumpToggle(int pump);
    // True when the Sequence menu, opened now, offers the item as it did when it opened; else
    // the operator is told that nothing was done.
    bool sequenceItemOffered(TUxMenuItem* it);
    bool refillCheck(int pump, const QString& refusal);
};
