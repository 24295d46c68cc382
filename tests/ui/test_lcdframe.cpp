// The LCD panel as pixels and label texts: gauges, figures, set-point pointers, pressure dials,
// the single-pump layout, the message lines' time-outs, colours and log lines. The pictures are
// kept under the build dir (artefacts/lcd_*.png).
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <cmath>

#include "link/LogFile.h"
#include "platform/Clock.h"
#include "platform/Instance.h"
#include "platform/i18n.h"
#include "support/TempEnv.h"
#include "ui/LCDFrame.h"
#include "unicode/UxControls.h"

namespace {

const QColor kFore(0, 0, 0);
const QColor kBack(150, 200, 250);

class Lcd : public ::testing::Test {
  protected:
    void SetUp() override {
        setDecimalSeparator('.');
        setInstance("");
        clock.fake.setLocal(LocalTime{2026, 6, 12, 10, 0, 0, 0});
        log = std::make_unique<TLogFile>();
        LogFile = log.get();
    }
    void TearDown() override { LogFile = nullptr; }

    QImage shot(const char* keepAs = nullptr) {
        s.Redraw();
        QImage img = s.grab().toImage().convertToFormat(QImage::Format_RGB32);
        if (keepAs) {
            const QString dir = QString::fromUtf8(ZENTROVA_BINARY_DIR) + "/artefacts";
            QDir().mkpath(dir);
            EXPECT_TRUE(img.save(dir + "/" + keepAs));
        }
        return img;
    }
    // Segments lit from the bottom; -1 when the lit ones are not one run from the bottom.
    static int lit(const QImage& img, const std::array<LcdSegment, 12>& bar) {
        int n = 0;
        for (int i = 0; i < 12; ++i) {
            const QColor c = img.pixelColor(bar[11 - i].BoundsRect().center());
            if (c == kFore && n != i) return -1;
            n += c == kFore ? 1 : 0;
        }
        return n;
    }
    // A point of a dial: angle in degrees counter-clockwise from 3 o'clock.
    static QPoint onDial(const QRect& r, double degrees, double radius) {
        const double a = degrees * M_PI / 180.0;
        return QPoint(int(std::lround(r.left() + (r.width() - 1) / 2.0 + std::cos(a) * radius)),
                      int(std::lround(r.top() + (r.height() - 1) / 2.0 - std::sin(a) * radius)));
    }
    // Lit slices of a pressure dial, right to left, as "0000011111".
    static std::string slices(const QImage& img, const QRect& dial) {
        std::string out;
        for (int i = 0; i < 10; ++i)
            out += img.pixelColor(onDial(dial, 19 * i + 6.5, 26)) == kFore ? '1' : '0';
        return out;
    }
    // The index of the one visible pointer; -1: none, -2: more than one.
    static int pointer(const std::array<TWedge, 12>& pointers) {
        int at = -1;
        for (int i = 0; i < 12; ++i)
            if (pointers[i].Visible()) at = at == -1 ? i : -2;
        return at;
    }
    std::string logText() const { return fileBytes(log->LogPath); }

    TempEnv env;
    FakeClockGuard clock;
    std::unique_ptr<TLogFile> log;
    TLCDScreen s;
};

TEST_F(Lcd, SyringeGaugesAndFigures) {
    const struct {
        double volume;
        const char* text;
        int lit;  // -1: the alternating "not available" pattern
    } rows[] = {{40, " 40", 7},  {81.9, " 81", 12}, {82.5, "N/A", 12},
                {83, "N/A", -1}, {-3, " -3", 0},    {1e300, "N/A", -1}};
    for (const auto& r : rows) {
        s.SetPump1Volume(r.volume);
        const QImage img = shot(r.volume == 83 ? "lcd_volume_na.png" : nullptr);
        EXPECT_EQ(s.Pump1Syr->text(), r.text) << r.volume;
        EXPECT_EQ(s.ml1->isVisibleTo(&s), r.volume < 82) << r.volume;
        EXPECT_EQ(lit(img, s.Syringe1Segments), r.lit) << r.volume;
        if (r.lit < 0) {
            for (int i = 0; i < 12; ++i)
                EXPECT_EQ(img.pixelColor(s.Syringe1Segments[11 - i].BoundsRect().center()),
                          i % 2 ? kBack : kFore);
        }
    }
}

TEST_F(Lcd, TemperatureGaugesFiguresAndSetPointPointers) {
    const struct {
        double column, reactor, columnSet, reactorSet;
        const char *columnText, *reactorText, *columnSetText;
        int columnLit, reactorLit, columnPointer, reactorPointer;
    } rows[] = {{41.2, 74.8, 57, 75, " 41", " 75", " 57", 3, 6, 5, 6},
                {-100, -100, -100, -100, "--", "--", "--", 0, 0, -1, -1},
                // The bottom segment stays lit a little below 30: column down to 19, reactor to 18.
                {18.6, 17.6, 30, 30, " 19", " 18", " 30", 1, 1, 11, 11},
                {17.6, 16.6, 30, 30, " 18", " 17", " 30", 0, 0, 11, 11},
                {99, 150, 99, 150, " 99", "150", " 99", 12, 12, 0, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.column);
        s.SetColumnTemperature(r.column);
        s.SetReactorTemperature(r.reactor);
        s.SetColumnSetPoint(r.columnSet);
        s.SetReactorSetPoint(r.reactorSet);
        const QImage img = shot(r.column == 41.2 ? "lcd_temperatures.png" : nullptr);
        EXPECT_EQ(s.TempCol->text(), r.columnText);
        EXPECT_EQ(s.TempR->text(), r.reactorText);
        EXPECT_EQ(s.TempSetCol->text(), r.columnSetText);
        EXPECT_EQ(lit(img, s.ColumnSegments), r.columnLit);
        EXPECT_EQ(lit(img, s.ReactorSegments), r.reactorLit);
        EXPECT_EQ(pointer(s.ColumnPointers), r.columnPointer);
        EXPECT_EQ(pointer(s.ReactorPointers), r.reactorPointer);
        if (r.columnPointer >= 0) {
            // Drawn, with its point facing the bar: the far corner of its top row stays background.
            const QPoint p = s.ColumnPointers[size_t(r.columnPointer)].BoundsRect().topLeft();
            EXPECT_EQ(img.pixelColor(p + QPoint(1, 4)), kFore);
            EXPECT_EQ(img.pixelColor(p + QPoint(7, 0)), kBack);
        }
    }
}

TEST_F(Lcd, PressureDialsAndFiguresInPsiAndBar) {
    const struct {
        double p1, p2;
        bool bar;
        const char *text1, *text2, *dial1, *dial2;
    } rows[] = {{250, 120.7, false, "250", "120", "0000011111", "0000000011"},
                {250.9, 1000, true, " 17", " 68", "0000011111", "1111111111"},  // the dials stay in psi
                {250, -20, false, "250", "-20", "0000011111", "0000000000"}};
    for (const auto& r : rows) {
        s.SetPump1Pressure(r.p1);
        s.SetPump2Pressure(r.p2);
        s.SetPressureUnit(r.bar);
        const QImage img = shot(r.bar ? "lcd_bar.png" : nullptr);
        EXPECT_EQ(s.Pump1Press->text(), r.text1);
        EXPECT_EQ(s.Pump2Press->text(), r.text2);
        EXPECT_EQ(slices(img, s.PR1), r.dial1);
        EXPECT_EQ(slices(img, s.PR2), r.dial2);
        EXPECT_EQ(s.BarLabel->isVisibleTo(&s), r.bar);
        EXPECT_EQ(s.PSILab->isVisibleTo(&s), !r.bar);
        EXPECT_EQ(img.pixelColor(onDial(s.PR1, 90, 5)), kBack) << "the centre is cleared into an arch";
    }
    const struct {
        double rate;
        char separator;
        const char* text;
    } rates[] = {{12.5, ',', "12,50"}, {-0.0, '.', "0.00"}, {std::nan(""), '.', "--"}};
    for (const auto& r : rates) {
        setDecimalSeparator(r.separator);
        s.SetPump1Rate(r.rate);
        s.Redraw();
        EXPECT_EQ(s.Pump1Flow->text(), r.text);
    }
}

TEST_F(Lcd, SinglePumpLayoutShowsOneGaugeOneDialAndNoSecondFlow) {
    s.SetPump1Pressure(250);
    s.SetPump2Pressure(120);
    s.SetPump2Rate(0.25);
    s.SetSinglePump(true);
    s.SetPump2Volume(55);  // the one pump's volume goes to the second gauge
    const QImage img = shot("lcd_single_pump.png");
    for (QWidget* w : std::initializer_list<QWidget*>{s.Syringe1lab, s.Syringe2lab, s.Pump1Syr, s.ml1,
                                                      s.Pump1lab, s.Pump2lab, s.Pump2Flow, s.Pump2Press})
        EXPECT_FALSE(w->isVisibleTo(&s)) << w->objectName().toStdString();
    EXPECT_TRUE(s.Pump2Syr->isVisibleTo(&s) && s.Pump1Press->isVisibleTo(&s) && s.Pump1Flow->isVisibleTo(&s));
    for (const LcdSegment& seg : s.Syringe1Segments)
        EXPECT_EQ(img.pixelColor(seg.BoundsRect().center()), kBack);
    EXPECT_EQ(lit(img, s.Syringe2Segments), 9);  // 55 ml
    EXPECT_EQ(slices(img, s.PR2), "0000000000");
    EXPECT_EQ(img.pixelColor(onDial(s.FR2, 0, 24)), kBack) << "no second flow dial";
    EXPECT_EQ(img.pixelColor(QPoint(30, 48)), kBack) << "the scale starts next to the one gauge";
    s.SetSinglePump(false);
    EXPECT_EQ(shot().pixelColor(QPoint(30, 48)), kFore);
}

// The flow dials over three redraws: a running pump's one lit slice moves a slice clockwise each
// redraw, a stopped pump's stands; pump 2 copies pump 1 when both run; above 10.0 ml/min every
// second slice is lit and the pattern swaps each redraw; a refill darkens both.
TEST_F(Lcd, FlowDialsTurnStandFollowBlinkOrGoDark) {
    enum Dial { Turns, Stands, Follows, Blinks, Dark };
    const struct {
        double rate1, rate2;
        uint8_t mode;
        Dial dial1, dial2;
    } rows[] = {{0.5, 0, 0, Turns, Stands},  {0, 0.5, 1, Stands, Turns},       {0.5, 0.3, 2, Turns, Follows},
                {10.0, 0, 0, Turns, Stands}, {10.01, 10.5, 0, Blinks, Blinks}, {0.5, 0.5, 3, Dark, Dark}};
    // Slices lit, counter-clockwise from 3 o'clock.
    const auto flow = [](const QImage& img, const QRect& dial) {
        std::string out;
        for (int k = 0; k < 12; ++k)
            out += img.pixelColor(onDial(dial, 30 * k + 15, 22)) == kFore ? '1' : '0';
        return out;
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.rate1) + " " + std::to_string(r.rate2) + " mode " +
                     std::to_string(r.mode));
        s.SetPump1Rate(r.rate1);
        s.SetPump2Rate(r.rate2);
        s.SetMode(r.mode);
        std::string prev[2];
        for (int n = 0; n < 3; ++n) {
            const QImage img = shot();
            const std::string now[2] = {flow(img, s.FR1), flow(img, s.FR2)};
            for (int d = 0; d < 2; ++d) {
                const Dial kind = d ? r.dial2 : r.dial1;
                const std::string& got = now[d];
                switch (kind) {
                    case Turns:
                    case Stands: {
                        ASSERT_EQ(std::count(got.begin(), got.end(), '1'), 1) << d << " " << got;
                        if (prev[d].empty()) break;
                        const size_t was = prev[d].find('1'), is = got.find('1');
                        EXPECT_EQ(is, kind == Stands ? was : (was + 11) % 12) << d << " " << got;
                        break;
                    }
                    case Follows:
                        EXPECT_EQ(got, now[0]);
                        break;
                    case Blinks:
                        EXPECT_TRUE(got == "101010101010" || got == "010101010101") << got;
                        EXPECT_NE(got, prev[d]);
                        break;
                    case Dark:
                        EXPECT_EQ(got, "000000000000");
                        break;
                }
                prev[d] = got;
            }
        }
    }
}

TEST_F(Lcd, MessageLinesTimeOutInTicksAndOnlyTheFirstIsLogged) {
    const struct {
        QString text;
        int timeout, redrawsShown;
    } rows[] = {
        {"REFILL STARTED", 2, 2}, {"SYSTEM HALTED, INSTRUMENT STOPPED", -1, 50}, {"Säule kühlt", 0, 0}};
    for (const auto& r : rows) {
        EXPECT_TRUE(s.SetMessage(r.text, r.timeout));
        for (int i = 0; i < r.redrawsShown; ++i) s.Redraw();
        EXPECT_EQ(s.String1->text(), r.text);
        s.Redraw();
        EXPECT_EQ(s.String1->text(), r.timeout < 0 ? r.text : "") << r.text.toStdString();
    }
    EXPECT_NE(logText().find("#LCDFrame: Message=S\xC3\xA4ule k\xC3\xBChlt timeout=0\n"), std::string::npos);

    // The second line: red or plain, never logged; Init keeps it red.
    EXPECT_TRUE(s.SetSecondLine(QString::fromUtf8("COLUMN HEATER ERROR"), 1, true));
    shot("lcd_second_line.png");
    EXPECT_EQ(s.String2->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(s.String1->palette().color(QPalette::WindowText), kFore);
    s.Init();
    EXPECT_EQ(s.String2->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    s.Redraw();
    EXPECT_EQ(s.String2->text(), "");
    s.SetSecondLine(QString::fromUtf8("PRESSURE TEST"), -1, false);
    EXPECT_EQ(s.String2->palette().color(QPalette::WindowText), kFore);
    EXPECT_EQ(logText().find("COLUMN HEATER ERROR"), std::string::npos);
}

}  // namespace
