// The pump and system pressure tests: one step machine that flushes and fills the pumps under
// test, pressurises them against a closed valve (pump test) or a blocked union (system test),
// measures the pressure drop over ten minutes, reports the verdict and then releases the
// pressure and empties the syringes. The main loop calls Step once per tick in mode 14 or 15.
// The form itself is the printed result sheet: it is printed as the image of its window.
#pragma once
#include <QString>
#include <array>
#include <cstdint>

#include "link/Timers.h"
#include "unicode/UxForms.h"

class QLabel;

class TPressureTest : public TUxForm {
    Q_OBJECT
  public:
    // States whose names the log lines give.
    enum : uint8_t {
        eptPressuriseTo480psiStart = 14,
        eptPressuriseTo480psiWaitForStatus = 15,
        eptPressuriseTo480psi = 16,
        eptEnd = 28,
        eptParked = 29,
    };
    static constexpr double TargetPressure = 470.0;  // psi
    static constexpr int32_t PressuriseSeconds = 180;
    static constexpr int32_t PhaseSeconds = 600;
    static constexpr int32_t MaxDrop = 50;           // psi per measuring period
    static constexpr int32_t MinPressure = 300;      // psi once pressurised
    static constexpr int32_t ReleasedPressure = 10;  // psi

    explicit TPressureTest(QWidget* owner = nullptr);
    ~TPressureTest() override;

    // mask: bit 0 pump 1, bit 1 pump 2. Both return true; the main window then sets the mode.
    bool StartPumpTest(uint32_t mask);
    bool StartSystemTest();
    // One tick; false once the test is over.
    bool Step();
    // Fills the result sheet for the two pass flags.
    void PrintResults(bool passed1, bool passed2);

    // A test left by anything but its own end (Stop, a lost link, a disable, the close) while it
    // pressurises or holds pressure leaves the tested path under pressure. The test is then
    // over and the release of the tested pumps is pending; true when it is.
    bool Abandon();
    bool ReleasePending() const { return ReleaseState != 0; }
    // After every halt: a pending release starts again with its first move.
    void RestartRelease();
    // One tick of the release, as the test's own: reverse at 0.01 ml/min, then each pump off
    // at 10 psi or once stopped. Called only while the link is alive and nothing else runs.
    // False once the release is done.
    bool ReleaseStep();
    // Something new uses the pumps: the release ends; a pump it still draws back is switched off.
    void DropRelease();

    // Components of the result sheet.
    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* TitleLbl = nullptr;
    QLabel* DateLbl = nullptr;
    QLabel* DateValue = nullptr;
    QLabel* SNLbl = nullptr;
    QLabel* SNValue = nullptr;
    QLabel* DoneByLbl = nullptr;
    QLabel* DoneByValue = nullptr;
    QLabel* SystemTestPassedLbl = nullptr;
    QLabel* Pump1Lbl = nullptr;
    QLabel* TestPassed1Value = nullptr;
    QLabel* ReadingA1Lbl = nullptr;
    QLabel* ReadingA1Value = nullptr;
    QLabel* ReadingB1Lbl = nullptr;
    QLabel* ReadingB1Value = nullptr;
    QLabel* PressureDrop1Lbl = nullptr;
    QLabel* PressureDrop1Value = nullptr;
    QLabel* PassingCriteria1Lbl = nullptr;
    QLabel* PassingCriteria1Value = nullptr;
    QLabel* Pump2Lbl = nullptr;
    QLabel* TestPassed2Value = nullptr;
    QLabel* ReadingA2Lbl = nullptr;
    QLabel* ReadingA2Value = nullptr;
    QLabel* ReadingB2Lbl = nullptr;
    QLabel* ReadingB2Value = nullptr;
    QLabel* PressureDrop2Lbl = nullptr;
    QLabel* PressureDrop2Value = nullptr;
    QLabel* PassingCriteria2Lbl = nullptr;
    QLabel* PassingCriteria2Value = nullptr;

    // Fields.
    QString LastErrorText;
    uint8_t SystemTest = 0;  // 0 pump test, 1 system test
    uint8_t TestState = 0;
    uint32_t PumpMask = 0;
    int32_t LastSecondsShown = 0;
    TCountDownTimer PhaseTimer;
    TCountDownTimer PressuriseTimer;
    int32_t TickCount = 0;
    int32_t TickBudget = 1800;
    int32_t Pump1ReadingA = 0;
    int32_t Pump1ReadingB = 0;
    int32_t Pump2ReadingA = 0;
    int32_t Pump2ReadingB = 0;
    int32_t Pump1Drop = 0;
    int32_t Pump2Drop = 0;
    bool ErrorShown = false;
    // The release after an abandoned test: 0 none, 1 reverse, 2 pause, 3 wait for 10 psi.
    uint8_t ReleaseState = 0;
    uint32_t ReleaseMask = 0;  // pumps still to release

  private:
    void buildComponents();
    bool start(uint8_t systemTest, uint32_t mask);
    // The in-test safety check; true when an error has been found. procedure: the procedure
    // the step belongs to (currentProcedure() when it began), for the boxes it opens.
    bool checkForErrors(uint64_t procedure);
    void stepState(uint64_t procedure);
    bool selected(int pump) const { return (PumpMask & (1u << (pump - 1))) != 0; }
    // Reverse at 0.01 ml/min on the pumps of mask.
    void drawBack(uint32_t mask);
    // The pumps of mask whose pressure is not yet down to 10 psi (and that still move); the
    // others are switched off if they run.
    uint32_t stillPressed(uint32_t mask);
    // The channels under test start a machine; the others are set idle.
    template <class F>
    void startSelected(F&& start);
    void moveSelectedValves(int8_t p);
    bool selectedValvesAt(int8_t p) const;
    void countdown(const QString& phase);
    void finishMeasuring(uint64_t procedure);
    QString resultMessage(bool passed1, bool passed2) const;
    // The print dialog, then the form's image on one page.
    void printSheet();
    // Whole minutes of the measuring period that have passed (at least 1), for the error text.
    int32_t measuringMinutes();
    void showLCD(const QString& text);
    // Pump label, pass label, then the label and value of reading A, reading B, drop and criteria.
    std::array<QLabel*, 10> columnLabels(int pump) const;
    void fillColumn(int pump, bool tested, bool passed, int32_t a, int32_t b, int32_t drop);
};

// The pressure test, created at start-up.
extern TPressureTest* PressureTest;
