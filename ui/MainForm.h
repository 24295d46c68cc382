// The main window: the program's life from creation to close, the one-second main loop that
// drives the instrument, and the mode byte that says what the instrument is doing. Its menus,
// status bar and commands come from TMainFormCommands; the LCD-style panel is TLCDScreen.
#pragma once
#include <QColor>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/Timers.h"
#include "ui/MainFormCommands.h"
#include "unicode/UxForms.h"

class QFrame;
class QLabel;
class QTimer;
class TLCDScreen;
class EndGate;

// The close action of a close request: what happens once the close handler has run.
enum TCloseAction { caNone = 0, caHide = 1, caFree = 2, caMinimize = 3 };

// A filled circle or ellipse of the front-panel imitation (lamp and keys).
class TShapeImage : public QWidget {
    Q_OBJECT
  public:
    enum Shape { Circle, Ellipse };
    TShapeImage(Shape shape, QWidget* parent = nullptr);
    void SetBrushColor(const QColor& c);
    QColor GetBrushColor() const { return brush_; }
    // A mouse button pressed on the shape.
    std::function<void(Qt::MouseButton button)> OnMouseDown;

  protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;

  private:
    Shape shape_;
    QColor brush_ = Qt::white;
};

// Ticks the main loop still skips after start-up (5 at start).
extern int32_t MainLoopSkipTicks;

class TMainForm : public TUxForm, public TMainFormCommands {
    Q_OBJECT
  public:
    // Builds the components and runs FormCreate. args: the command line after the program name.
    explicit TMainForm(const std::vector<std::string>& args = {}, QWidget* owner = nullptr);
    ~TMainForm() override;

    // Life.
    void FormCreate();
    void FormShow();
    void FormClose(TCloseAction& action);
    void UpdateCaption();
    void SelectHelpFile();

    // Main loop and mode machine.
    void Timer1Timer();
    void SetMode(uint8_t m);
    void UpdateRunSignal();
    bool CheckErrors();
    bool checkValveState();
    bool HaltInstrument();
    bool SequenceFinished();
    bool ShowLCDMessage(const QString& text);
    bool PumpOnDone();
    bool FlushDone();
    bool RefillDone();
    bool StorageDone();
    bool PressureTestDone();
    bool SystemPressureTestDone();
    bool EmptyDone();
    bool InstrumentFlushDone();
    bool SealChangeDone();

    // The close without a question, for a signal or the end of the desktop session: the halt
    // goes out on the open link and is waited for (EndDrainMs at most), the link closes and
    // the reason is logged; the caller then ends the process. Nothing when an end has begun.
    void EndWithoutQuestion(const std::string& reason);
    // The same where no event loop can run any more (the process is already exiting).
    void HaltBeforeExit(const std::string& reason);
    // Milliseconds the halt may take to leave on every way out, from the halt on: each of its
    // commands waits up to a second for its reply.
    int32_t EndDrainMs = 5000;

    // Seconds of the close countdown (3); tests may shorten it.
    int32_t CloseCountdownSeconds = 3;
    // True once the close was confirmed: the main loop stays off from then on.
    bool IsClosing() const { return closing_; }
    bool IsEnding() const { return ending_; }
    // Once a close is confirmed, and in every ending, no command of the operator runs (logged
    // with its name) and nothing but the halt reaches the instrument.
    bool RefusesCommand(const std::string& name) const;
    // A heater or pump may be on: the instrument is enabled, an operation runs, a pump was last
    // reported running, or the link was lost while one of these held.
    bool InstrumentMayRun() const;
    // Bounds the rest of the process's life once a close is confirmed (seconds; 0 lifts it).
    // The program entry sets it; without it nothing is bounded beyond the halt's own waits.
    std::function<void(int seconds)> BoundTheEnd;

    // After the configuration dialog saved: the instrument halts on the link it runs on and the
    // halt is waited for (as at the close), an operation that ran stops and says why, then the
    // settings are reloaded, the link is opened anew with them, the HPLC type is reloaded and
    // the data-system conversation closed.
    bool ApplySettings();

    // Components.
    QTimer* Timer1 = nullptr;  // 1000 ms, the main loop
    QFrame* Panel1 = nullptr;  // front-panel imitation, right-hand strip
    TShapeImage* RedLightImg = nullptr;
    TShapeImage* StopBtnImg = nullptr;
    TShapeImage* ModeBtnImg = nullptr;
    TShapeImage* SelectBtnImg = nullptr;
    QLabel* StopBtnImgLbl = nullptr;
    QLabel* ModeBtnImgLbl = nullptr;
    QLabel* SelectBtnImgLbl = nullptr;
    QLabel* LogoImg = nullptr;
    TLCDScreen* LCDScreen1 = nullptr;

    // Fields.
    TCountDownTimer Valve1ResendTimer;
    TCountDownTimer Valve2ResendTimer;
    uint8_t iMode = 2;
    std::string Instance;  // "", "1", "2", "3" or "4"

  private:
    void buildComponents();
    void stepMode();
    void copyLiveValues();
    void lostLink();
    void linkBack();
    void forgetRun();
    // The procedure of the mode being left is stopped (unless it finished), one for mode m begun.
    void changeProcedure(uint8_t m);
    // The Stop key's caption and the lamp follow the mode: "Reset" and red only while halted.
    void syncStopKey();
    // A pressure test was left under pressure: the operator learns that the path may hold it.
    void tellPressureLeft();
    void closeLink(bool onlyAlive);
    void endNow(const std::string& reason, bool eventLoop);
    // From here on only the halt reaches the instrument.
    void closeGate();
    // The halt, let through the gate once it is closed.
    void haltThroughGate();
    void sequenceCleanUp();
    template <class F>
    void guarded(F&& f);

    std::vector<std::string> args_;
    bool closing_ = false;
    bool ending_ = false;
    bool placed_ = false;
    unsigned lostTicks_ = 0;         // ticks of the current outage of the link
    bool linkedOnce_ = false;        // the link has been alive: a later outage is a lost connection
    bool pressureLeft_ = false;      // a stop left a pressure test's path under pressure, not yet told
    bool lostWhileRunning_ = false;  // the link went while a heater or pump may have been on
    std::unique_ptr<EndGate> gate_;
};

// The main window, created first at start-up.
extern TMainForm* MainForm;
