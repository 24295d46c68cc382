#include "ui/LCDFrame.h"

#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <utility>

#include "link/LogFile.h"
#include "platform/i18n.h"
#include "unicode/UxControls.h"

QColor bgrColor(uint32_t bgr) {
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

void LcdSegment::SetPenColor(const QColor& c) {
    if (c == pen_) return;
    pen_ = c;
    Invalidate();
}

void LcdSegment::SetBrushColor(const QColor& c) {
    if (c == brush_) return;
    brush_ = c;
    Invalidate();
}

void LcdSegment::Paint(QPainter& canvas) const {
    canvas.setPen(QPen(pen_, 1));
    canvas.setBrush(brush_);
    canvas.drawRect(QRect(0, 0, Width() - 1, Height() - 1));
}

namespace {

// The paint box laid over the whole panel: it paints what its owner tells it to and lets
// the mouse through to the labels below.
class LcdPaintBox : public QWidget {
  public:
    explicit LcdPaintBox(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    std::function<void(QPainter&, const QRect&)> onPaint;

  protected:
    void paintEvent(QPaintEvent* e) override {
        if (!onPaint) return;
        QPainter p(this);
        onPaint(p, e->rect());
    }
};

// Truncation toward zero that never overflows: the values come from the instrument.
int32_t truncInt(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

QString fmt3d(int32_t v) {
    return QString::asprintf("%3d", v);
}

QString rateText(double rate) {
    if (!std::isfinite(rate)) return QStringLiteral("--");
    QString s = QString::number(rate == 0 ? 0.0 : rate, 'f', 2);
    return s.replace(QLatin1Char('.'), QLatin1Char(DecimalSeparator()));
}

// Column scale 30 to 85 degrees; a level of -1 counts as the bottom segment.
int32_t columnLevel(int32_t c) {
    const int32_t n = truncInt((double(c) - 30) * (1.0 / 55) * 12 + 0.5);
    return n == -1 ? 0 : n;
}

// Reactor scale 30 to 130 degrees.
int32_t reactorLevel(int32_t r) {
    return truncInt((double(r) - 30) * (1.0 / 100) * 12 + 0.5);
}

void setLabelText(QLabel* l, const QString& text) {
    if (l->text() != text) l->setText(text);
}

void setFontColor(QLabel* l, const QColor& c) {
    QPalette p = l->palette();
    if (p.color(QPalette::WindowText) == c) return;
    p.setColor(QPalette::WindowText, c);
    l->setPalette(p);
}

QFont panelFont(int pixelSize) {
    QFont f(QStringLiteral("Arial Black"));
    f.setStyleHint(QFont::SansSerif);
    f.setWeight(QFont::Black);
    f.setPixelSize(pixelSize);
    return f;
}

QFont valueFont() {
    QFont f(QStringLiteral("Arial"));
    f.setStyleHint(QFont::SansSerif);
    f.setBold(true);
    f.setPixelSize(16);
    return f;
}

constexpr int kNarrowest = 70;  // percent of the normal width

// Plain type, set explicitly: an unset weight would come from the panel's black font.
QFont messageFont() {
    QFont f(QStringLiteral("Arial"));
    f.setStyleHint(QFont::SansSerif);
    f.setWeight(QFont::Normal);
    f.setStyle(QFont::StyleNormal);
    f.setPixelSize(19);
    return f;
}

// A message line shows its whole text: one wider than the line is set narrower, and only a
// text too long even for the narrowest setting gets smaller type.
void showWhole(TUxLabel* line, const QString& text) {
    QFont f = messageFont();
    const int room = line->contentsRect().width();
    const auto fits = [&] { return QFontMetrics(f).horizontalAdvance(text) <= room; };
    const int wide = QFontMetrics(f).horizontalAdvance(text);
    if (wide > room) {
        int stretch = std::max(kNarrowest, room * 100 / wide + 1);
        for (f.setStretch(stretch); !fits() && stretch > kNarrowest;) f.setStretch(--stretch);
        while (!fits() && f.pixelSize() > 10) f.setPixelSize(f.pixelSize() - 1);
    }
    if (line->font() != f) line->setFont(f);
    line->SetCaption(text);
    // Past all that (a name of a hundred letters) the end is cut; the tip shows it all.
    line->setToolTip(fits() ? QString() : text);
}

// A static caption in the panel font, sized to its text.
QLabel* caption(QWidget* parent, const QString& text, int x, int y, int pixelSize = 12) {
    auto* l = new QLabel(text, parent);
    l->setFont(panelFont(pixelSize));
    l->move(x, y);
    l->adjustSize();
    return l;
}

// A value figure in a fixed box: "%3d" texts line up on the right.
QLabel* figure(QWidget* parent, const QRect& r, Qt::Alignment align = Qt::AlignRight | Qt::AlignVCenter) {
    auto* l = new QLabel(QStringLiteral("20"), parent);
    l->setFont(valueFont());
    l->setGeometry(r);
    l->setAlignment(align);
    return l;
}

constexpr double kBarPerPsi = 0.0689475728;

// A canvas pie of the rectangle's ellipse from angle a to angle b (degrees, counter-clockwise
// from 3 o'clock).
void pie(QPainter& canvas, const QRect& r, int a, int b) {
    canvas.drawPie(QRect(r.left(), r.top(), r.width() - 1, r.height() - 1), a * 16, (b - a) * 16);
}

}  // namespace

TLCDScreen* LCDScreen = nullptr;

TLCDScreen::TLCDScreen(QWidget* parent) : QFrame(parent) {
    buildComponents();
    Pump1PressurePsi = Pump2PressurePsi = 0;
    Flow1Position = Flow2Position = 0;
    ForeColor = bgrColor(0);
    BackColor = bgrColor(0xFAC896);
    // The first redraw (from BuildGauges) clears the design texts of the message lines.
    Message1Ticks = Message2Ticks = 0;
    BuildGauges();
    Message1Ticks = -1;
    Message2Ticks = -1;
}

TLCDScreen::~TLCDScreen() {
    if (LCDScreen == this) LCDScreen = nullptr;
}

void TLCDScreen::buildComponents() {
    setFixedSize(496, 305);
    setFrameShape(QFrame::NoFrame);

    LCDPanel = new QFrame(this);
    LCDPanel->setGeometry(0, 0, 496, 305);
    LCDPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    LCDPanel->setLineWidth(2);
    LCDPanel->setAutoFillBackground(true);
    LCDPanel->setFont(panelFont(12));
    QWidget* p = LCDPanel;

    Label1 = caption(p, _("Pump  "), 37, 4, 14);
    Label2 = caption(p, _("Temperature  "), 147, 4, 14);
    Label3 = caption(p, _("Pressure  "), 343, 4, 14);
    Label4 = caption(p, _("Flow  "), 368, 125, 14);

    ml1 = caption(p, _("ml"), 42, 199);
    ml2 = caption(p, _("ml"), 112, 199);
    Syringe1lab = caption(p, QStringLiteral("1"), 26, 28);
    Syringe2lab = caption(p, QStringLiteral("2"), 96, 28);
    ColumnLab = caption(p, _("Column  "), 0, 28);
    ColumnLab->move(CT.left() + CT.width() + 6 - ColumnLab->width(), 28);
    ReactorLab = caption(p, _("Reactor  "), 222, 28);

    Label11 = caption(p, QStringLiteral("C"), 194, 196);
    Label12 = caption(p, QStringLiteral("C"), 258, 196);
    Label13 = caption(p, _("Set"), 122, 219, 11);
    Label14 = caption(p, _("Set"), 260, 219, 11);
    Label5 = caption(p, QStringLiteral("o"), 187, 193, 9);
    Label6 = caption(p, QStringLiteral("o"), 251, 193, 9);
    Label7 = caption(p, QStringLiteral("o"), 187, 213, 9);
    Label8 = caption(p, QStringLiteral("o"), 251, 213, 9);
    BarLabel = caption(p, _("bar"), 382, 67);
    PSILab = caption(p, _("psi"), 382, 53);
    Label21 = caption(p, _("ml/min"), 374, 200, 10);

    Pump1lab = caption(p, _("Pump 1 "), 316, 30);
    Pump2lab = caption(p, _("Pump 2 "), 418, 30);

    TempSetCol = figure(p, QRect(150, 216, 36, 20));
    TempCol = figure(p, QRect(150, 196, 36, 20));
    TempSetR = figure(p, QRect(214, 216, 36, 20));
    TempR = figure(p, QRect(214, 196, 36, 20));
    Pump1Press = figure(p, QRect(PR1.left(), 92, PR1.width(), 20), Qt::AlignCenter);
    Pump2Press = figure(p, QRect(PR2.left(), 92, PR2.width(), 20), Qt::AlignCenter);
    Pump1Flow = figure(p, QRect(306, 196, 66, 20), Qt::AlignCenter);
    Pump2Flow = figure(p, QRect(408, 196, 66, 20), Qt::AlignCenter);
    Pump2Syr = figure(p, QRect(72, 196, 38, 20));
    Pump1Syr = figure(p, QRect(2, 196, 38, 20));

    String1 = new TUxLabel(QString(), p);
    String1->setFont(messageFont());
    String1->setGeometry(8, 240, 480, 24);
    String2 = new TUxLabel(QString(), p);
    String2->setFont(messageFont());
    String2->setGeometry(8, 264, 480, 24);
    String2->SetFontColor(bgrColor(0));

    setObjectName(QStringLiteral("LCDScreen"));
    const std::pair<QWidget*, const char*> names[] = {{LCDPanel, "LCDPanel"},
                                                      {Label1, "Label1"},
                                                      {Label2, "Label2"},
                                                      {Label3, "Label3"},
                                                      {Label4, "Label4"},
                                                      {ml1, "ml1"},
                                                      {ml2, "ml2"},
                                                      {Syringe1lab, "Syringe1lab"},
                                                      {Syringe2lab, "Syringe2lab"},
                                                      {ColumnLab, "ColumnLab"},
                                                      {ReactorLab, "ReactorLab"},
                                                      {Label11, "Label11"},
                                                      {Label12, "Label12"},
                                                      {Label13, "Label13"},
                                                      {Label14, "Label14"},
                                                      {Label5, "Label5"},
                                                      {Label6, "Label6"},
                                                      {Label7, "Label7"},
                                                      {Label8, "Label8"},
                                                      {BarLabel, "BarLabel"},
                                                      {PSILab, "PSILab"},
                                                      {Label21, "Label21"},
                                                      {Pump1lab, "Pump1lab"},
                                                      {Pump2lab, "Pump2lab"},
                                                      {TempSetCol, "TempSetCol"},
                                                      {TempCol, "TempCol"},
                                                      {TempSetR, "TempSetR"},
                                                      {TempR, "TempR"},
                                                      {Pump1Press, "Pump1Press"},
                                                      {Pump2Press, "Pump2Press"},
                                                      {Pump1Flow, "Pump1Flow"},
                                                      {Pump2Flow, "Pump2Flow"},
                                                      {Pump2Syr, "Pump2Syr"},
                                                      {Pump1Syr, "Pump1Syr"},
                                                      {String1, "String1"},
                                                      {String2, "String2"}};
    for (const auto& [w, name] : names) w->setObjectName(QString::fromLatin1(name));
}

void TLCDScreen::BuildGauges() {
    const int h = S1Rect.height() / 13;
    const int m = (S1Rect.height() - 12 * h) / 2;
    for (int i = 0; i < 12; ++i) {
        LcdSegment& s1 = Syringe1Segments[i];
        s1.SetBounds(S1Rect.left(), S1Rect.top() + m + i * h, S1Rect.width(), h - 2);
        s1.SetPenColor(ForeColor);
        LcdSegment& s2 = Syringe2Segments[i];
        s2.SetBounds(S2Rect.left(), S2Rect.top() + m + i * h, S2Rect.width(), h - 2);
        s2.SetPenColor(ForeColor);
    }
    const int m2 = (CT.height() - 12 * h) / 2;
    const int h2 = CT.height() / 13 - 2;
    for (int i = 0; i < 12; ++i) {
        const int top = CT.top() + m2 + i * h;
        ColumnSegments[i].SetBounds(CT.left() + 2, top, CT.width(), h2);
        ColumnSegments[i].SetPenColor(ForeColor);
        ReactorSegments[i].SetBounds(RT.left(), top, RT.width(), h2);
        ReactorSegments[i].SetPenColor(ForeColor);
        const int w = RT.width() - 4;
        TWedge& cp = ColumnPointers[i];
        cp.SetWedge(wtLeft);
        cp.SetBounds(CT.left() - w + 1, top, w, h2);
        TWedge& rp = ReactorPointers[i];
        rp.SetWedge(wtRight);
        rp.SetBounds(RT.left() + w + 6, top, w, h2);
        for (TWedge* wedge : {&cp, &rp}) {
            wedge->SetPen(QPen(ForeColor, 1));
            wedge->SetBrush(QBrush(ForeColor));
        }
    }

    auto* box = new LcdPaintBox(LCDPanel);
    box->setGeometry(0, 0, LCDPanel->width(), LCDPanel->height());
    box->onPaint = [this](QPainter& canvas, const QRect& area) {
        for (const auto* bar : {&Syringe1Segments, &Syringe2Segments, &ColumnSegments, &ReactorSegments})
            for (const LcdSegment& s : *bar)
                if (s.BoundsRect().intersects(area)) s.PaintOn(canvas);
        for (const auto* pointers : {&ColumnPointers, &ReactorPointers})
            for (const TWedge& w : *pointers)
                if (w.BoundsRect().intersects(area)) w.PaintOn(canvas);
        PaintDials(canvas);
    };
    box->setObjectName(QStringLiteral("DialBox"));
    DialBox = box;
    for (auto* bar : {&Syringe1Segments, &Syringe2Segments, &ColumnSegments, &ReactorSegments})
        for (LcdSegment& s : *bar) s.SetHost(DialBox);
    for (auto* pointers : {&ColumnPointers, &ReactorPointers})
        for (TWedge& w : *pointers) w.SetHost(DialBox);

    Init();
}

void TLCDScreen::Init() {
    QPalette pal = LCDPanel->palette();
    pal.setColor(QPalette::Window, BackColor);
    pal.setColor(QPalette::WindowText, ForeColor);
    LCDPanel->setPalette(pal);
    for (QLabel* l : {Label1,      Label2,
                      Label3,      Label4,
                      ml1,         ml2,
                      Syringe1lab, Syringe2lab,
                      ColumnLab,   ReactorLab,
                      Label11,     Label12,
                      Label13,     Label14,
                      Label5,      Label6,
                      Label7,      Label8,
                      BarLabel,    PSILab,
                      Label21,     Pump1lab,
                      Pump2lab,    TempSetCol,
                      TempCol,     TempSetR,
                      TempR,       Pump1Press,
                      Pump2Press,  Pump1Flow,
                      Pump2Flow,   Pump2Syr,
                      Pump1Syr,    static_cast<QLabel*>(String1)})
        setFontColor(l, ForeColor);
    for (auto* bar : {&Syringe1Segments, &Syringe2Segments, &ColumnSegments, &ReactorSegments})
        for (LcdSegment& s : *bar) s.SetPenColor(ForeColor);
    for (auto* pointers : {&ColumnPointers, &ReactorPointers})
        for (TWedge& w : *pointers) {
            w.SetPen(QPen(ForeColor, 1));
            w.SetBrush(QBrush(ForeColor));
        }
    LCDPanel->update();
    DialBox->update();
    paintedValid_ = false;
    Redraw();
}

void TLCDScreen::SetPump1Volume(double ml) {
    Pump1Volume = ml;
}
void TLCDScreen::SetPump2Volume(double ml) {
    Pump2Volume = ml;
}
void TLCDScreen::SetPump1Pressure(double psi) {
    Pump1Pressure = psi;
}
void TLCDScreen::SetPump2Pressure(double psi) {
    Pump2Pressure = psi;
}
void TLCDScreen::SetPump1Rate(double r) {
    Pump1Rate = r;
}
void TLCDScreen::SetPump2Rate(double r) {
    Pump2Rate = r;
}

namespace {
double roundedTemperature(double c) {
    return c == -100.0 ? -100.0 : c + 0.5;
}
}  // namespace

void TLCDScreen::SetColumnTemperature(double c) {
    ColumnTemp = roundedTemperature(c);
}
void TLCDScreen::SetReactorTemperature(double c) {
    ReactorTemp = roundedTemperature(c);
}
void TLCDScreen::SetColumnSetPoint(double c) {
    ColumnSetPoint = roundedTemperature(c);
}
void TLCDScreen::SetReactorSetPoint(double c) {
    ReactorSetPoint = roundedTemperature(c);
}
void TLCDScreen::SetPressureUnit(bool bar) {
    PressureInBar = bar;
}
void TLCDScreen::SetMode(uint8_t displayMode) {
    DisplayMode = displayMode;
}

void TLCDScreen::SetSinglePump(bool singlePump) {
    if (singlePump == SinglePump) return;
    for (LcdSegment& s : Syringe1Segments) s.SetVisible(!singlePump);
    for (QWidget* w : std::initializer_list<QWidget*>{Syringe1lab, Syringe2lab, Pump1Syr, ml1, Pump1lab,
                                                      Pump2lab, Pump2Flow, Pump2Press})
        w->setVisible(!singlePump);
    SinglePump = singlePump;
    DialBox->update();
    paintedValid_ = false;
}

bool TLCDScreen::SetMessage(const QString& text) {
    showWhole(String1, text);
    Message1Ticks = -1;
    logLine("#LCDFrame: Message=" + text.toStdString() + " timeout=-1");
    return true;
}

bool TLCDScreen::SetMessage(const QString& text, int32_t ticks) {
    showWhole(String1, text);
    Message1Ticks = ticks;
    logLine("#LCDFrame: Message=" + text.toStdString() + " timeout=" + std::to_string(ticks));
    return true;
}

bool TLCDScreen::SetSecondLine(const QString& text, int32_t ticks, bool red) {
    String2->SetFontColor(red ? bgrColor(0x0000FF) : ForeColor);
    showWhole(String2, text);
    Message2Ticks = ticks;
    return true;
}

void TLCDScreen::TickMessages() {
    for (auto [line, ticks] : {std::pair{String1, &Message1Ticks}, std::pair{String2, &Message2Ticks}}) {
        if (*ticks == 0) {
            if (!line->text().isEmpty()) line->SetCaption(QString());
        } else if (*ticks > 0) {
            --*ticks;
        }
    }
    if (Message2Ticks == 0 && !StopReason.isEmpty()) SetSecondLine(StopReason, -1, true);
}

void TLCDScreen::SetStopReason(const QString& text) {
    StopReason = text;
    if (!text.isEmpty())
        SetSecondLine(text, -1, true);
    else if (Message2Ticks < 0)  // a monitor's condition stays until its own time-out
        SetSecondLine(QString(), -1, false);
}

void TLCDScreen::Redraw() {
    TickMessages();

    // Syringes: a 70 ml scale; 82 ml and more is not a valid volume.
    const QString notAvailable = _("N/A");
    auto syringe = [&](double volume, QLabel* figureLabel, QLabel* unit, bool unitShown,
                       std::array<LcdSegment, 12>& segments) {
        const int32_t vol = truncInt(volume);
        setLabelText(figureLabel, vol < 82 ? fmt3d(vol) : notAvailable);
        unit->setVisible(vol < 82 && unitShown);
        const int32_t lit = truncInt(vol * (1.0 / 70) * 12 + 0.5);
        for (int i = 0; i < 12; ++i) {
            bool on = vol > 82 ? i % 2 == 0 : lit > i;
            segments[11 - i].SetBrushColor(on ? ForeColor : BackColor);
        }
    };
    syringe(Pump1Volume, Pump1Syr, ml1, !SinglePump, Syringe1Segments);
    syringe(Pump2Volume, Pump2Syr, ml2, true, Syringe2Segments);

    // Temperatures: -100 is a heater that is off.
    const int32_t c = truncInt(ColumnTemp);
    const int32_t r = truncInt(ReactorTemp);
    setLabelText(TempCol, c > -100 ? fmt3d(c) : QStringLiteral("--"));
    setLabelText(TempR, r > -100 ? fmt3d(r) : QStringLiteral("--"));
    const int32_t nc = columnLevel(c);
    const int32_t nr = reactorLevel(r);
    for (int i = 0; i < 12; ++i) {
        ColumnSegments[11 - i].SetBrushColor(nc >= i ? ForeColor : BackColor);
        ReactorSegments[11 - i].SetBrushColor(nr >= i ? ForeColor : BackColor);
    }

    // Set points and their pointers.
    const int32_t cs = truncInt(ColumnSetPoint);
    const int32_t rs = truncInt(ReactorSetPoint);
    setLabelText(TempSetCol, cs > -100 ? fmt3d(cs) : QStringLiteral("--"));
    setLabelText(TempSetR, rs > -100 ? fmt3d(rs) : QStringLiteral("--"));
    const int32_t pc = std::min(columnLevel(cs), 11);
    const int32_t pr = std::min(reactorLevel(rs), 11);
    for (int i = 0; i < 12; ++i) {
        ColumnPointers[11 - i].SetVisible(pc == i);
        ReactorPointers[11 - i].SetVisible(pr == i);
    }

    // Pressures: the figures in the chosen unit, the dials always in psi.
    Pump1PressurePsi = truncInt(Pump1Pressure);
    Pump2PressurePsi = truncInt(Pump2Pressure);
    BarLabel->setVisible(PressureInBar);
    PSILab->setVisible(!PressureInBar);
    int32_t shown1 = Pump1PressurePsi;
    int32_t shown2 = Pump2PressurePsi;
    if (PressureInBar) {
        shown1 = truncInt(Pump1PressurePsi * kBarPerPsi);
        shown2 = truncInt(Pump2PressurePsi * kBarPerPsi);
    }
    setLabelText(Pump1Press, fmt3d(shown1));
    setLabelText(Pump2Press, fmt3d(shown2));

    setLabelText(Pump1Flow, rateText(Pump1Rate));
    setLabelText(Pump2Flow, rateText(Pump2Rate));

    AnimateFlow();

    // The dials are repainted only when they show something else.
    const DialPicture now = dialPicture();
    if (!paintedValid_ || !(now == painted_)) {
        painted_ = now;
        paintedValid_ = true;
        DialBox->update(PR1.united(PR2).united(FR1).united(FR2));
    }
}

void TLCDScreen::AnimateFlow() {
    Flow1Fast = false;
    Flow2Fast = false;
    ++BlinkCount;
    if (Pump1Rate != 0) Flow1Position = (Flow1Position + 1) % 12;
    if (Pump2Rate != 0) {
        // Both pumps running: the dials turn in step.
        if (Pump1Rate == 0)
            Flow2Position = (Flow2Position + 1) % 12;
        else
            Flow2Position = Flow1Position;
    }
    Flow1Fast = Pump1Rate > 10.0;
    Flow2Fast = Pump2Rate > 10.0;
}

TLCDScreen::DialPicture TLCDScreen::dialPicture() const {
    DialPicture d{};
    d.lit1 = std::clamp(truncInt(Pump1PressurePsi * 0.002 * 10 + 0.5), 0, 10);
    d.lit2 = std::clamp(truncInt(Pump2PressurePsi * 0.002 * 10 + 0.5), 0, 10);
    d.flow1 = Flow1Position;
    d.flow2 = Flow2Position;
    d.fast1 = Flow1Fast;
    d.fast2 = Flow2Fast;
    d.blinkOdd = (Flow1Fast || Flow2Fast) && (BlinkCount & 1) != 0;
    d.refill = DisplayMode == 3;
    d.single = SinglePump;
    return d;
}

void TLCDScreen::PaintDials(QPainter& canvas) const {
    canvas.setPen(QPen(ForeColor, 1, Qt::SolidLine));
    canvas.setBrush(Qt::NoBrush);

    // Syringe scale between the two gauges.
    const int x = (S1Rect.left() + S1Rect.width() + S2Rect.left()) / 2;
    const int y0 = S1Rect.top();
    const int y1 = S1Rect.top() + S1Rect.height() - 4;
    const int from = SinglePump ? x - 10 : S1Rect.left();
    const int to = S2Rect.left() + S1Rect.width();
    canvas.drawLine(from, y0, to, y0);
    canvas.drawLine(from, y1, to, y1);
    canvas.drawLine(x, y0, x, y1);
    for (int k = 1; k <= 9; ++k) {
        const int y = y0 + (y1 - y0) * k / 10;
        if (k == 5)
            canvas.drawLine(x - 10, y, x + 11, y);
        else
            canvas.drawLine(x - 5, y, x + 6, y);
    }

    // Pressure dials: 10 segments over 500 psi, lit from the left.
    const int32_t lit1 = truncInt(Pump1PressurePsi * 0.002 * 10 + 0.5);
    const int32_t lit2 = truncInt(Pump2PressurePsi * 0.002 * 10 + 0.5);
    for (int i = 0; i < 10; ++i) {
        canvas.setBrush(9 - i < lit1 ? ForeColor : BackColor);
        pie(canvas, PR1, 19 * i, 19 * i + 13);
        if (!SinglePump) {
            canvas.setBrush(9 - i < lit2 ? ForeColor : BackColor);
            pie(canvas, PR2, 19 * i, 19 * i + 13);
        }
    }
    canvas.setBrush(BackColor);
    canvas.setPen(QPen(BackColor, 1));
    pie(canvas, P1Arch, 0, 180);
    pie(canvas, P2Arch, 0, 180);

    // Flow dials: one slice moving clockwise; every second slice blinking above 10 ml/min;
    // dark during a refill.
    canvas.setPen(QPen(ForeColor, 1));
    auto flowDial = [&](const QRect& r, bool fast, int32_t position) {
        for (int k = 0; k < 12; ++k) {
            const int p = 11 - k;
            bool on;
            if (fast && ((BlinkCount + k) & 1) != 0)
                on = true;
            else if (DisplayMode == 3)
                on = false;
            else
                on = p == position;
            canvas.setBrush(on ? ForeColor : BackColor);
            pie(canvas, r, 30 * k, 30 * k + 30);
        }
    };
    flowDial(FR1, Flow1Fast, Flow1Position);
    if (!SinglePump) flowDial(FR2, Flow2Fast, Flow2Position);
    canvas.setBrush(BackColor);
    canvas.setPen(QPen(ForeColor, 1));
    canvas.drawEllipse(QRect(F1Dot.left(), F1Dot.top(), F1Dot.width() - 1, F1Dot.height() - 1));
    if (!SinglePump)
        canvas.drawEllipse(QRect(F2Dot.left(), F2Dot.top(), F2Dot.width() - 1, F2Dot.height() - 1));
}
