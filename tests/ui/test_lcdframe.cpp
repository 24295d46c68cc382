// The LCD panel: gauges, figures, pointers, dials and flow animation as pixels and label
// texts; the setters' rounding; the message lines' time-outs and log lines; the set-point
// pointer shape. The pictures are kept under the build dir (artefacts/lcd_*.png).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "link/LogFile.h"
#include "platform/Clock.h"
#include "platform/Instance.h"
#include "platform/i18n.h"
#include "support/TempEnv.h"
#include "ui/LCDFrame.h"
#include "ui/Wedge.h"
#include "unicode/UxControls.h"

namespace {

const QColor kFore(0, 0, 0);
const QColor kBack(150, 200, 250);

QImage shot(TLCDScreen& s) {
    return s.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

void keep(const QImage& img, const char* name) {
    const QString dir = QString::fromUtf8(ZENTROVA_BINARY_DIR) + "/artefacts";
    QDir().mkpath(dir);
    EXPECT_TRUE(img.save(dir + "/" + name)) << name;
}

QColor at(const QImage& img, QPoint p) {
    return img.pixelColor(p);
}

// Inside a segment, clear of its outline.
QPoint inside(const LcdGraphic& g) {
    return g.BoundsRect().center();
}

// A point of a dial's slice: angle in degrees counter-clockwise from 3 o'clock.
QPoint onDial(const QRect& r, double degrees, double radius) {
    const double cx = r.left() + (r.width() - 1) / 2.0;
    const double cy = r.top() + (r.height() - 1) / 2.0;
    const double a = degrees * M_PI / 180.0;
    return QPoint(int(std::lround(cx + std::cos(a) * radius)), int(std::lround(cy - std::sin(a) * radius)));
}

// Segments lit, counted from the bottom; -1 when the lit ones are not one run from the bottom.
int litFromBottom(const QImage& img, const std::array<LcdSegment, 12>& bar) {
    int n = 0;
    for (int i = 0; i < 12; ++i) {
        const QColor c = at(img, inside(bar[11 - i]));
        if (c == kFore) {
            if (n != i) return -1;
            ++n;
        } else if (c != kBack) {
            return -2;
        }
    }
    return n;
}

// Lit slices of a pressure dial, i = 0 (right) .. 9 (left), as a bit string "0000011111".
std::string pressureSlices(const QImage& img, const QRect& dial) {
    std::string s;
    for (int i = 0; i < 10; ++i) s += at(img, onDial(dial, 19 * i + 6.5, 26)) == kFore ? '1' : '0';
    return s;
}

// Lit slices of a flow dial, k = 0 .. 11 counter-clockwise from 3 o'clock.
std::string flowSlices(const QImage& img, const QRect& dial) {
    std::string s;
    for (int k = 0; k < 12; ++k) s += at(img, onDial(dial, 30 * k + 15, 22)) == kFore ? '1' : '0';
    return s;
}

void feedTwoPumps(TLCDScreen& s) {
    s.SetReactorTemperature(74.8);
    s.SetReactorSetPoint(75);
    s.SetColumnTemperature(41.2);
    s.SetColumnSetPoint(57);
    s.SetPump1Pressure(250);
    s.SetPump2Pressure(120.7);  // whole psi: 120
    s.SetPump1Rate(0.5);
    s.SetPump2Rate(0.25);
    s.SetPressureUnit(false);
    s.SetPump1Volume(40);
    s.SetPump2Volume(63.4);
}

class LcdTest : public ::testing::Test {
  protected:
    void SetUp() override { setDecimalSeparator('.'); }
};

TEST_F(LcdTest, TwoPumpPanelFiguresAndGauges) {
    TLCDScreen s;
    feedTwoPumps(s);
    s.Redraw();
    EXPECT_EQ(s.Pump1Syr->text(), " 40");
    EXPECT_EQ(s.Pump2Syr->text(), " 63");
    EXPECT_EQ(s.TempCol->text(), " 41");
    EXPECT_EQ(s.TempR->text(), " 75");  // 74.8 rounds to 75
    EXPECT_EQ(s.TempSetCol->text(), " 57");
    EXPECT_EQ(s.TempSetR->text(), " 75");
    EXPECT_EQ(s.Pump1Press->text(), "250");
    EXPECT_EQ(s.Pump2Press->text(), "120");  // truncated
    EXPECT_EQ(s.Pump1Flow->text(), "0.50");
    EXPECT_EQ(s.Pump2Flow->text(), "0.25");
    EXPECT_TRUE(s.PSILab->isVisibleTo(&s));
    EXPECT_FALSE(s.BarLabel->isVisibleTo(&s));
    EXPECT_TRUE(s.ml1->isVisibleTo(&s));
    EXPECT_TRUE(s.ml2->isVisibleTo(&s));

    const QImage img = shot(s);
    keep(img, "lcd_two_pump.png");
    // 40 ml of 70: 7 segments; 63 ml: trunc(11.3) = 11.
    EXPECT_EQ(litFromBottom(img, s.Syringe1Segments), 7);
    EXPECT_EQ(litFromBottom(img, s.Syringe2Segments), 11);
    // Column 41: trunc(2.9) = 2, lit up to level 2; reactor 75: trunc(5.9) = 5.
    EXPECT_EQ(litFromBottom(img, s.ColumnSegments), 3);
    EXPECT_EQ(litFromBottom(img, s.ReactorSegments), 6);
    // Segment outlines stay in the foreground colour.
    const QRect unlit = s.Syringe1Segments[0].BoundsRect();
    EXPECT_EQ(at(img, QPoint(unlit.left() + 5, unlit.top())), kFore);
    // Set point 57: level trunc(6.4) = 6, so element 5 from the top; reactor 75: level 5.
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(s.ColumnPointers[i].Visible(), i == 5) << i;
        EXPECT_EQ(s.ReactorPointers[i].Visible(), i == 6) << i;
    }
    const QRect cp = s.ColumnPointers[5].BoundsRect();
    EXPECT_EQ(at(img, cp.topLeft() + QPoint(1, 4)), kFore);
    EXPECT_EQ(at(img, s.ColumnPointers[4].BoundsRect().topLeft() + QPoint(1, 4)), kBack);
    const QRect rp = s.ReactorPointers[6].BoundsRect();
    EXPECT_EQ(at(img, rp.topLeft() + QPoint(5, 4)), kFore);
    // The pointer's point faces the bar: the far corner of its row stays background.
    EXPECT_EQ(at(img, cp.topLeft() + QPoint(7, 0)), kBack);
    EXPECT_EQ(at(img, rp.topLeft() + QPoint(0, 0)), kBack);
    // 250 psi: trunc(5.5) = 5 slices from the left; 120 psi: trunc(2.9) = 2.
    EXPECT_EQ(pressureSlices(img, s.PR1), "0000011111");
    EXPECT_EQ(pressureSlices(img, s.PR2), "0000000011");
    // The dials' centres are cleared into arches.
    EXPECT_EQ(at(img, onDial(s.PR1, 90, 5)), kBack);
}

TEST_F(LcdTest, VolumesOf82AndMoreAreNotAvailable) {
    TLCDScreen s;
    struct Case {
        double volume;
        const char* text;
        int lit;  // -1: the alternating pattern
    };
    for (const Case& c : {Case{81.9, " 81", 12}, Case{82, "N/A", 12}, Case{82.5, "N/A", 12},
                          Case{83, "N/A", -1}, Case{-3, " -3", 0}, Case{1e300, "N/A", -1}}) {
        s.SetPump1Volume(c.volume);
        s.SetPump2Volume(c.volume);
        s.Redraw();
        SCOPED_TRACE(c.volume);
        EXPECT_EQ(s.Pump1Syr->text(), c.text);
        EXPECT_EQ(s.Pump2Syr->text(), c.text);
        EXPECT_EQ(s.ml1->isVisibleTo(&s), c.volume < 82);
        const QImage img = shot(s);
        if (c.lit >= 0) {
            EXPECT_EQ(litFromBottom(img, s.Syringe1Segments), c.lit);
        } else {
            for (int i = 0; i < 12; ++i)
                EXPECT_EQ(at(img, inside(s.Syringe2Segments[11 - i])), i % 2 == 0 ? kFore : kBack) << i;
        }
        if (c.volume == 83) keep(img, "lcd_volume_na.png");
    }
}

TEST_F(LcdTest, HeatersOffAndTemperatureScales) {
    TLCDScreen s;
    s.SetColumnTemperature(-100);
    s.SetColumnSetPoint(-100);
    s.SetReactorTemperature(-100);
    s.SetReactorSetPoint(-100);
    s.Redraw();
    EXPECT_EQ(s.ColumnTemp, -100.0);
    EXPECT_EQ(s.TempCol->text(), "--");
    EXPECT_EQ(s.TempR->text(), "--");
    EXPECT_EQ(s.TempSetCol->text(), "--");
    EXPECT_EQ(s.TempSetR->text(), "--");
    QImage img = shot(s);
    keep(img, "lcd_heaters_off.png");
    EXPECT_EQ(litFromBottom(img, s.ColumnSegments), 0);
    EXPECT_EQ(litFromBottom(img, s.ReactorSegments), 0);
    for (int i = 0; i < 12; ++i) {
        EXPECT_FALSE(s.ColumnPointers[i].Visible());
        EXPECT_FALSE(s.ReactorPointers[i].Visible());
    }

    // Rounding: v + 0.5 is stored and truncated on display.
    s.SetColumnTemperature(39.6);
    EXPECT_DOUBLE_EQ(s.ColumnTemp, 40.1);
    s.SetReactorSetPoint(-99.7);
    EXPECT_DOUBLE_EQ(s.ReactorSetPoint, -99.2);

    // The bottom segment stays lit a little below 30: column down to 19, reactor down to 18.
    s.SetColumnTemperature(18.6);   // 19.1 -> 19
    s.SetReactorTemperature(17.6);  // 18
    s.Redraw();
    img = shot(s);
    EXPECT_EQ(litFromBottom(img, s.ColumnSegments), 1);
    EXPECT_EQ(litFromBottom(img, s.ReactorSegments), 1);
    s.SetColumnTemperature(17.6);   // 18
    s.SetReactorTemperature(16.6);  // 17
    s.Redraw();
    img = shot(s);
    EXPECT_EQ(litFromBottom(img, s.ColumnSegments), 0);
    EXPECT_EQ(litFromBottom(img, s.ReactorSegments), 0);

    // Above the scales: all lit, the pointers stop at the top.
    s.SetColumnTemperature(99);
    s.SetReactorTemperature(150);
    s.SetColumnSetPoint(99);
    s.SetReactorSetPoint(150);
    s.Redraw();
    img = shot(s);
    EXPECT_EQ(litFromBottom(img, s.ColumnSegments), 12);
    EXPECT_EQ(litFromBottom(img, s.ReactorSegments), 12);
    EXPECT_TRUE(s.ColumnPointers[0].Visible());
    EXPECT_TRUE(s.ReactorPointers[0].Visible());
    EXPECT_EQ(at(img, s.ColumnPointers[0].BoundsRect().topLeft() + QPoint(1, 4)), kFore);
    // A set point of 30 points at the bottom segment.
    s.SetColumnSetPoint(30);
    s.Redraw();
    EXPECT_TRUE(s.ColumnPointers[11].Visible());
    EXPECT_FALSE(s.ColumnPointers[0].Visible());
}

TEST_F(LcdTest, PressureInBarAndPsi) {
    TLCDScreen s;
    s.SetPump1Pressure(250.9);
    s.SetPump2Pressure(1000);
    s.SetPressureUnit(true);
    s.Redraw();
    EXPECT_EQ(s.Pump1Press->text(), " 17");  // trunc(250 * 0.0689...)
    EXPECT_EQ(s.Pump2Press->text(), " 68");
    EXPECT_EQ(s.Pump1PressurePsi, 250);  // the dials stay in psi
    EXPECT_EQ(s.Pump2PressurePsi, 1000);
    EXPECT_TRUE(s.BarLabel->isVisibleTo(&s));
    EXPECT_FALSE(s.PSILab->isVisibleTo(&s));
    QImage img = shot(s);
    keep(img, "lcd_bar.png");
    EXPECT_EQ(pressureSlices(img, s.PR1), "0000011111");
    EXPECT_EQ(pressureSlices(img, s.PR2), "1111111111");

    s.SetPressureUnit(false);
    s.SetPump2Pressure(-20);
    s.Redraw();
    EXPECT_EQ(s.Pump1Press->text(), "250");
    EXPECT_EQ(s.Pump2Press->text(), "-20");
    EXPECT_FALSE(s.BarLabel->isVisibleTo(&s));
    EXPECT_TRUE(s.PSILab->isVisibleTo(&s));
    img = shot(s);
    keep(img, "lcd_psi.png");
    EXPECT_EQ(pressureSlices(img, s.PR2), "0000000000");
}

TEST_F(LcdTest, SinglePumpLayout) {
    TLCDScreen s;
    feedTwoPumps(s);
    s.SetSinglePump(true);
    s.SetPump2Volume(55);  // the one pump's volume goes to the second gauge
    s.Redraw();
    for (QWidget* w : std::initializer_list<QWidget*>{s.Syringe1lab, s.Syringe2lab, s.Pump1Syr, s.ml1,
                                                      s.Pump1lab, s.Pump2lab, s.Pump2Flow, s.Pump2Press})
        EXPECT_FALSE(w->isVisibleTo(&s)) << w->objectName().toStdString();
    EXPECT_TRUE(s.Pump2Syr->isVisibleTo(&s));
    EXPECT_TRUE(s.ml2->isVisibleTo(&s));
    EXPECT_TRUE(s.Pump1Press->isVisibleTo(&s));
    EXPECT_TRUE(s.Pump1Flow->isVisibleTo(&s));
    const QImage img = shot(s);
    keep(img, "lcd_single_pump.png");
    for (const LcdSegment& seg : s.Syringe1Segments) {
        EXPECT_FALSE(seg.Visible());
        EXPECT_EQ(at(img, inside(seg)), kBack);
    }
    EXPECT_EQ(litFromBottom(img, s.Syringe2Segments), 9);  // 55 ml: trunc(9.9)
    EXPECT_EQ(pressureSlices(img, s.PR1), "0000011111");
    EXPECT_EQ(pressureSlices(img, s.PR2), "0000000000");
    EXPECT_EQ(flowSlices(img, s.FR2), "000000000000");
    EXPECT_EQ(at(img, onDial(s.FR2, 0, 24)), kBack);  // no outline either
    // The scale starts next to the one gauge.
    EXPECT_EQ(at(img, QPoint(30, 48)), kBack);
    EXPECT_EQ(at(img, QPoint(60, 48)), kFore);

    s.SetSinglePump(false);
    EXPECT_TRUE(s.Pump2Press->isVisibleTo(&s));
    EXPECT_TRUE(s.Syringe1Segments[0].Visible());
    const QImage two = shot(s);
    EXPECT_EQ(at(two, QPoint(30, 48)), kFore);
}

TEST_F(LcdTest, RateFiguresUseTheDecimalSeparator) {
    TLCDScreen s;
    setDecimalSeparator(',');
    s.SetPump1Rate(1.005);
    s.SetPump2Rate(12.5);
    s.Redraw();
    EXPECT_EQ(s.Pump1Flow->text().left(3), "1,0");
    EXPECT_EQ(s.Pump2Flow->text(), "12,50");
    setDecimalSeparator('.');
    s.SetPump1Rate(-0.0);
    s.SetPump2Rate(std::nan(""));
    s.Redraw();
    EXPECT_EQ(s.Pump1Flow->text(), "0.00");
    EXPECT_EQ(s.Pump2Flow->text(), "--");
}

// Counts the paints a widget receives.
class PaintCounter : public QObject {
  public:
    int paints = 0;
    QRect area;

  protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) {
            ++paints;
            area = area.united(static_cast<QPaintEvent*>(e)->rect());
        }
        return false;
    }
};

class LcdMessageTest : public LcdTest {
  protected:
    void SetUp() override {
        LcdTest::SetUp();
        setInstance("");
        clock_.fake.setLocal(LocalTime{2026, 6, 12, 10, 0, 0, 0});
        log_ = std::make_unique<TLogFile>();
        LogFile = log_.get();
    }
    void TearDown() override {
        LogFile = nullptr;
        log_.reset();
    }
    std::string logText() const {
        std::ifstream f(log_->LogPath, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    TempEnv env_;
    FakeClockGuard clock_;
    std::unique_ptr<TLogFile> log_;
};

TEST_F(LcdMessageTest, MessageLineTimesOutInTicksAndIsLogged) {
    TLCDScreen s;
    EXPECT_TRUE(s.SetMessage(QString::fromUtf8("REFILL STARTED"), 2));
    EXPECT_EQ(s.Message1Ticks, 2);
    EXPECT_EQ(s.String1->text(), "REFILL STARTED");
    s.Redraw();
    EXPECT_EQ(s.String1->text(), "REFILL STARTED");
    s.Redraw();
    EXPECT_EQ(s.String1->text(), "REFILL STARTED");
    s.Redraw();  // the third redraw removes it
    EXPECT_EQ(s.String1->text(), "");

    EXPECT_TRUE(s.SetMessage(QString::fromUtf8("SYSTEM HALTED, INSTRUMENT STOPPED")));
    EXPECT_EQ(s.Message1Ticks, -1);
    for (int i = 0; i < 50; ++i) s.Redraw();
    EXPECT_EQ(s.String1->text(), "SYSTEM HALTED, INSTRUMENT STOPPED");

    // A zero time-out clears the line on the next redraw.
    s.SetMessage(QString::fromUtf8("Säule kühlt"), 0);
    const QImage img = shot(s);
    keep(img, "lcd_message.png");
    s.Redraw();
    EXPECT_EQ(s.String1->text(), "");

    const std::string text = logText();
    EXPECT_NE(text.find("#LCDFrame: Message=REFILL STARTED timeout=2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("#LCDFrame: Message=SYSTEM HALTED, INSTRUMENT STOPPED timeout=-1\n"),
              std::string::npos);
    EXPECT_NE(text.find("#LCDFrame: Message=S\xC3\xA4ule k\xC3\xBChlt timeout=0\n"), std::string::npos);
}

TEST_F(LcdMessageTest, SecondLineIsRedOrPlainAndNotLogged) {
    TLCDScreen s;
    s.SetMessage(QString::fromUtf8("READY"));
    EXPECT_TRUE(s.SetSecondLine(QString::fromUtf8("COLUMN HEATER ERROR"), 1, true));
    EXPECT_EQ(s.String2->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(s.Message2Ticks, 1);
    QImage img = shot(s);
    keep(img, "lcd_second_line.png");
    // Some pixel of the second line is red, none of the first line is.
    auto hasColour = [&](const QRect& r, auto pred) {
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                if (pred(img.pixelColor(x, y))) return true;
        return false;
    };
    auto reddish = [](const QColor& c) { return c.red() > 200 && c.green() < 80 && c.blue() < 80; };
    auto dark = [](const QColor& c) { return c.red() < 60 && c.green() < 60 && c.blue() < 60; };
    EXPECT_TRUE(hasColour(s.String2->geometry(), reddish));
    EXPECT_FALSE(hasColour(s.String1->geometry(), reddish));
    EXPECT_TRUE(hasColour(s.String1->geometry(), dark));

    // Init (the main window's show) keeps the red line red.
    s.Init();
    EXPECT_EQ(s.String2->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    s.Redraw();  // Init redrew once; this second redraw clears the line
    EXPECT_EQ(s.String2->text(), "");

    s.SetSecondLine(QString::fromUtf8("PRESSURE TEST"), -1, false);
    EXPECT_EQ(s.String2->palette().color(QPalette::WindowText), kFore);
    s.Redraw();
    EXPECT_EQ(s.String2->text(), "PRESSURE TEST");
    EXPECT_EQ(logText().find("COLUMN HEATER ERROR"), std::string::npos);
}

}  // namespace
