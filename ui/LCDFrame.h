// The LCD-style panel of the main window: syringe gauges, column and reactor temperature
// bars with set-point pointers, pressure dials, animated flow dials and two message lines.
// The main loop feeds it through the setters and calls Redraw once per tick; the panel
// knows nothing of the instrument itself.
#pragma once
#include <QColor>
#include <QFrame>
#include <QRect>
#include <QString>
#include <array>
#include <cstdint>
#include <memory>

#include "ui/Wedge.h"

class QLabel;
class QPainter;
class TUxLabel;

// The colour numbers of the panel are blue-green-red: 0xFAC896 is red 150, green 200, blue 250.
QColor bgrColor(uint32_t bgr);

// One bar segment: a rectangle outlined with the pen and filled with the brush colour.
class LcdSegment : public LcdGraphic {
  public:
    QColor PenColor() const { return pen_; }
    QColor BrushColor() const { return brush_; }
    void SetPenColor(const QColor& c);
    void SetBrushColor(const QColor& c);

  protected:
    void Paint(QPainter& canvas) const override;

  private:
    QColor pen_ = Qt::black;
    QColor brush_ = Qt::white;
};

class TLCDScreen : public QFrame {
    Q_OBJECT
  public:
    explicit TLCDScreen(QWidget* parent = nullptr);
    ~TLCDScreen() override;

    // Values; each setter stores one value, Redraw shows them.
    void SetPump1Volume(double ml);
    void SetPump2Volume(double ml);
    void SetPump1Pressure(double psi);
    void SetPump2Pressure(double psi);
    void SetPump1Rate(double mlPerMin);
    void SetPump2Rate(double mlPerMin);
    // -100.0 means off and is kept; any other value v is stored as v + 0.5 (rounded on display).
    void SetColumnTemperature(double c);
    void SetReactorTemperature(double c);
    void SetColumnSetPoint(double c);
    void SetReactorSetPoint(double c);
    void SetPressureUnit(bool bar);
    void SetMode(uint8_t displayMode);  // 0 normal, 1 sequence, 2 flush, 3 refill
    // Switches the layout; does nothing when the flag is unchanged.
    void SetSinglePump(bool singlePump);

    // Message line 1, without time-out or for `ticks` redraws; logged. Return true.
    bool SetMessage(const QString& text);
    bool SetMessage(const QString& text, int32_t ticks);
    // Message line 2 (the critical-error monitor's line), red or in the panel colour. Not logged.
    bool SetSecondLine(const QString& text, int32_t ticks, bool red);
    // Why the program stopped a run or a procedure: it stands on line 2, red, until cleared (at
    // the next start); a condition the monitor shows meanwhile takes the line while it lasts.
    void SetStopReason(const QString& text);
    QString GetStopReason() const { return StopReason; }

    // Colours and first drawing; again on each show of the main window.
    void Init();
    // One tick: message time-outs, gauges, figures, flow animation, dials.
    void Redraw();

    // The dials and gauges, painted on DialBox (its paint handler).
    void PaintDials(QPainter& canvas) const;

    // Components.
    QFrame* LCDPanel = nullptr;
    QLabel *Label1 = nullptr, *Label2 = nullptr, *Label3 = nullptr, *Label4 = nullptr;
    QRect S1Rect{10, 48, 41, 145}, S2Rect{80, 48, 41, 145};
    QLabel *ml1 = nullptr, *ml2 = nullptr, *Syringe1lab = nullptr, *Syringe2lab = nullptr;
    QLabel *ColumnLab = nullptr, *ReactorLab = nullptr;
    QRect CT{188, 48, 12, 145}, RT{229, 48, 12, 145};
    QLabel *Label11 = nullptr, *Label12 = nullptr, *Label13 = nullptr, *Label14 = nullptr;
    QLabel *Label5 = nullptr, *Label6 = nullptr, *Label7 = nullptr, *Label8 = nullptr;
    QLabel *BarLabel = nullptr, *PSILab = nullptr, *Label21 = nullptr;
    QRect PR1{307, 52, 65, 65}, PR2{409, 52, 65, 65};
    QRect P1Arch{327, 72, 27, 27}, P2Arch{428, 72, 28, 28};
    QRect FR1{316, 142, 50, 50}, FR2{418, 143, 50, 50};
    QRect F1Dot{322, 149, 38, 35}, F2Dot{424, 150, 38, 35};
    QLabel *Pump1lab = nullptr, *Pump2lab = nullptr;
    QLabel *TempSetCol = nullptr, *TempCol = nullptr, *TempSetR = nullptr, *TempR = nullptr;
    QLabel *Pump1Press = nullptr, *Pump2Press = nullptr, *Pump1Flow = nullptr, *Pump2Flow = nullptr;
    QLabel *Pump2Syr = nullptr, *Pump1Syr = nullptr;
    TUxLabel *String1 = nullptr, *String2 = nullptr;
    QString StopReason;

    // Fields.
    QWidget* DialBox = nullptr;
    int32_t Pump1PressurePsi = 0, Pump2PressurePsi = 0;
    int32_t Flow1Position = 0, Flow2Position = 0;
    bool Flow1Fast = false, Flow2Fast = false;
    double Pump1Volume = 0, Pump2Volume = 0;
    double ColumnTemp = 0, ReactorTemp = 0, ColumnSetPoint = 0, ReactorSetPoint = 0;
    double Pump1Pressure = 0, Pump2Pressure = 0;
    double Pump1Rate = 0, Pump2Rate = 0;
    int32_t BlinkCount = 0;
    QColor ForeColor;
    QColor BackColor;
    bool SinglePump = false;
    bool PressureInBar = false;
    int32_t Message1Ticks = -1, Message2Ticks = -1;
    std::array<LcdSegment, 12> Syringe1Segments, Syringe2Segments, ColumnSegments, ReactorSegments;
    std::array<TWedge, 12> ColumnPointers, ReactorPointers;
    uint8_t DisplayMode = 0;

  private:
    void BuildGauges();
    void TickMessages();
    void AnimateFlow();
    void buildComponents();
    // What the dials show; the paint box is repainted only when it changes.
    struct DialPicture {
        int32_t lit1, lit2, flow1, flow2;
        bool fast1, fast2, blinkOdd, refill, single;
        bool operator==(const DialPicture&) const = default;
    };
    DialPicture dialPicture() const;
    DialPicture painted_{};
    bool paintedValid_ = false;
};

// The stand-alone panel created at start-up beside the main window's own; it is never shown.
extern TLCDScreen* LCDScreen;
