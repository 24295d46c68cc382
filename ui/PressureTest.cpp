#include "ui/PressureTest.h"

#include <QDate>
#include <QDateTime>
#include <QFont>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPixmap>
#include <QPrinter>
#include <QTime>
#include <algorithm>
#include <array>

#include "link/Instrument.h"
#include "link/LogFile.h"
#include "link/PumpChannel.h"
#include "link/ZentrovaAPI.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Printer.h"
#include "platform/SystemInfo.h"
#include "platform/i18n.h"
#include "ui/MainForm.h"

TPressureTest* PressureTest = nullptr;

namespace {

constexpr int SheetWidth = 735;
constexpr int SheetHeight = 756;

TPumpChannel* channel(int pump) {
    return pump == 1 ? InstrumentModule->Channel1 : InstrumentModule->Channel2;
}

QLabel* label(QWidget* parent, const QString& text, int x, int y, int w, int h, int pointSize = 10,
              bool bold = false) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(x, y, w, h);
    QFont f("Arial");
    f.setPointSize(pointSize);
    f.setBold(bold);
    l->setFont(f);
    return l;
}

void setFontStyle(QLabel* l, bool bold, bool italic) {
    QFont f = l->font();
    f.setBold(bold);
    f.setItalic(italic);
    l->setFont(f);
}

// The maker's mark at the head of the sheet.
QPixmap logo() {
    QPixmap pm(220, 60);
    pm.fill(Qt::white);
    QPainter p(&pm);
    p.setPen(QColor(0, 0, 0x80));
    QFont f("Arial");
    f.setPointSize(26);
    f.setBold(true);
    p.setFont(f);
    p.drawText(pm.rect(), Qt::AlignCenter, "Zentrova");
    return pm;
}

QString psi(int32_t v) {
    return QString::number(v) + " " + _("psi");
}

}  // namespace

TPressureTest::TPressureTest(QWidget* owner) : TUxForm(owner) {
    buildComponents();
    if (owner) CentreOn(owner);
}

TPressureTest::~TPressureTest() {
    if (PressureTest == this) PressureTest = nullptr;
}

void TPressureTest::buildComponents() {
    SetCaption("Test Pressure");
    setWindowFlag(Qt::FramelessWindowHint);
    setFixedSize(SheetWidth, SheetHeight);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);

    Image1 = new QLabel(this);
    Image1->setGeometry((SheetWidth - 220) / 2, 16, 220, 60);
    Image1->setPixmap(logo());
    Label1 = label(this, "Tressivan Labs", 0, 84, SheetWidth, 20);
    Label1->setAlignment(Qt::AlignHCenter);
    Label2 = label(this, "Service and support: see the operating manual of the instrument", 0, 106,
                   SheetWidth, 20);
    Label2->setAlignment(Qt::AlignHCenter);

    TitleLbl = label(this, "", 0, 150, SheetWidth, 30, 14, true);
    TitleLbl->setAlignment(Qt::AlignHCenter);
    DateLbl = label(this, "Test date", 60, 210, 250, 22);
    DateValue = label(this, "", 320, 210, 360, 22);
    SNLbl = label(this, "Instrument Serial Number", 60, 240, 250, 22);
    SNValue = label(this, "", 320, 240, 360, 22);
    DoneByLbl = label(this, "Done by", 60, 270, 250, 22);
    DoneByValue = label(this, "", 320, 270, 360, 22);
    SystemTestPassedLbl = label(this, "", 0, 320, SheetWidth, 28, 13, true);
    SystemTestPassedLbl->setAlignment(Qt::AlignHCenter);

    auto column = [this](int x, const char* pump, QLabel*& pumpLbl, QLabel*& passed, QLabel*& aLbl,
                         QLabel*& a, QLabel*& bLbl, QLabel*& b, QLabel*& dropLbl, QLabel*& drop,
                         QLabel*& critLbl, QLabel*& crit) {
        pumpLbl = label(this, pump, x, 380, 300, 24, 12, true);
        passed = label(this, "", x, 410, 300, 24, 12, true);
        aLbl = label(this, "Pressure after 10 minutes", x, 450, 190, 22);
        a = label(this, "", x + 195, 450, 110, 22);
        bLbl = label(this, "Pressure after 20 minutes", x, 478, 190, 22);
        b = label(this, "", x + 195, 478, 110, 22);
        dropLbl = label(this, "Pressure Drop", x, 506, 190, 22);
        drop = label(this, "", x + 195, 506, 110, 22);
        critLbl = label(this, "Passing Criteria", x, 534, 190, 22);
        crit = label(this, "50 psi/10 min", x + 195, 534, 110, 22);
    };
    column(60, "Pump 1", Pump1Lbl, TestPassed1Value, ReadingA1Lbl, ReadingA1Value, ReadingB1Lbl,
           ReadingB1Value, PressureDrop1Lbl, PressureDrop1Value, PassingCriteria1Lbl, PassingCriteria1Value);
    column(400, "Pump 2", Pump2Lbl, TestPassed2Value, ReadingA2Lbl, ReadingA2Value, ReadingB2Lbl,
           ReadingB2Value, PressureDrop2Lbl, PressureDrop2Value, PassingCriteria2Lbl, PassingCriteria2Value);
    for (QLabel* l : columnLabels(2)) l->setVisible(false);
}

std::array<QLabel*, 10> TPressureTest::columnLabels(int pump) const {
    if (pump == 1)
        return {
            Pump1Lbl,       TestPassed1Value, ReadingA1Lbl,       ReadingA1Value,      ReadingB1Lbl,
            ReadingB1Value, PressureDrop1Lbl, PressureDrop1Value, PassingCriteria1Lbl, PassingCriteria1Value};
    return {Pump2Lbl,       TestPassed2Value, ReadingA2Lbl,       ReadingA2Value,      ReadingB2Lbl,
            ReadingB2Value, PressureDrop2Lbl, PressureDrop2Value, PassingCriteria2Lbl, PassingCriteria2Value};
}

bool TPressureTest::start(uint8_t systemTest, uint32_t mask) {
    SystemTest = systemTest;
    TestState = 0;
    if (InstrumentModule) InstrumentModule->PercentDone = 0;
    TickCount = 0;
    LastSecondsShown = 0;
    TickBudget = 1800;
    PumpMask = mask;
    ErrorShown = false;
    return true;
}

bool TPressureTest::StartPumpTest(uint32_t mask) {
    return start(0, mask);
}

bool TPressureTest::StartSystemTest() {
    return start(1, InstrumentModule && InstrumentModule->SinglePump ? 1 : 3);
}

bool TPressureTest::Step() {
    if (!InstrumentModule || !InstrumentModule->Channel1 || !InstrumentModule->Channel2) return false;
    if (TestState != eptParked) ++TickCount;
    InstrumentModule->PercentDone = TickBudget > 0 ? TickCount * 100 / TickBudget : 0;
    // Ticks run under the boxes this step opens; once the procedure that opened a box has ended
    // (stopped, or finished on those ticks), the step does nothing more.
    const uint64_t procedure = currentProcedure();
    const auto over = [procedure] { return currentProcedure() != procedure; };
    checkForErrors(procedure);
    if (over()) return false;
    stepState(procedure);
    return TestState != eptEnd;
}

void TPressureTest::showLCD(const QString& text) {
    if (MainForm) MainForm->ShowLCDMessage(text);
}

template <class F>
void TPressureTest::startSelected(F&& start) {
    for (int pump = 1; pump <= 2; ++pump) {
        if (selected(pump))
            start(*channel(pump));
        else
            channel(pump)->SetIdle();
    }
}

void TPressureTest::moveSelectedValves(int8_t p) {
    for (int pump = 1; pump <= 2; ++pump)
        if (selected(pump)) channel(pump)->Valve->MoveTo(p);
}

bool TPressureTest::selectedValvesAt(int8_t p) const {
    for (int pump = 1; pump <= 2; ++pump) {
        if (!selected(pump)) continue;
        const TValve* v = channel(pump)->Valve;
        if (v->GetPosition() != p || !v->IsInPosition()) return false;
    }
    return true;
}

void TPressureTest::countdown(const QString& phase) {
    const int32_t left = PhaseTimer.SecondsLeft();
    if (left != LastSecondsShown) {
        showLCD(phase + " " + QString::number(left / 60 + 1) + " " + _("MIN LEFT."));
        LastSecondsShown = left;
    }
}

void TPressureTest::stepState(uint64_t procedure) {
    TInstrumentModule& m = *InstrumentModule;
    const auto over = [procedure] { return currentProcedure() != procedure; };
    TPumpChannel& c1 = *m.Channel1;
    TPumpChannel& c2 = *m.Channel2;
    switch (TestState) {
        case 0: {
            TestState = eptParked;
            const QString text =
                SystemTest ? _("You requested System Pressure Test Procedure.\n\nPlease, follow step-by-step "
                               "instructions.\n\nDo you want to continue?")
                           : _("You requested Pump Pressure Test Procedure.\n\nPlease, follow step-by-step "
                               "instructions.\n\nDo you want to continue?");
            const MsgResult r =
                messageBox(text, _("Please, confirm"), MsgButtons::YesNo, mrNo, MsgIcon::None, procedure);
            if (over()) return;
            TestState = r == mrYes ? 1 : eptEnd;
            break;
        }
        case 1:
            if (SystemTest && m.GetReactorTemperature() > 40.0) {
                TestState = eptParked;
                messageBox(_("Reactor Temperature must be less than 40 to perform the test. Test execution "
                             "stopped."),
                           _("Test execution stopped"), MsgButtons::OK, mrOk, MsgIcon::None, procedure);
                if (over()) return;
                TestState = eptEnd;
                break;
            }
            if (m.Enabled) m.DisableInstrument();
            TestState = 2;
            break;
        case 2: {
            TestState = eptParked;
            const MsgResult r = messageBox(
                _("Pressure Test Procedure is about to start.\n\nPlease, remove analytical column and "
                  "replace it "
                  "with a blocked union.\n\nPlease, make sure the Flush Reservoir is filled with 80/20 "
                  "Water/Methanol.\n\nReady to continue?"),
                _("Please, confirm"), MsgButtons::OKCancel, mrOk, MsgIcon::None, procedure);
            if (over()) return;
            if (m.SinglePump) PumpMask &= 1u;
            TestState = r == mrOk ? 3 : eptEnd;
            break;
        }
        case 3:
            startSelected([](TPumpChannel& c) { c.StartFlush(); });
            TestState = 4;
            break;
        case 4: {
            const bool busy1 = c1.FlushStep(false);
            const bool busy2 = c2.FlushStep(false);
            if (!busy1 && !busy2) TestState = 5;
            break;
        }
        case 5:
            moveSelectedValves(5);
            TestState = 6;
            break;
        case 6:
            if (selectedValvesAt(5)) TestState = 7;
            break;
        case 7:
            startSelected([](TPumpChannel& c) { c.StartFillTo(65.0); });
            TestState = 8;
            break;
        case 8: {
            const bool done1 = c1.IsFillDone();
            const bool done2 = c2.IsFillDone();
            if (done1 && done2) TestState = SystemTest ? 11 : 9;
            break;
        }
        case 9:
            moveSelectedValves(3);
            TestState = 10;
            break;
        case 10:
            if (selectedValvesAt(3)) TestState = 13;
            break;
        case 11:
            moveSelectedValves(2);
            TestState = 12;
            break;
        case 12:
            if (selectedValvesAt(2)) TestState = 13;
            break;
        case 13: {
            TestState = eptParked;
            const QString text = SystemTest ? _("Please, do following.\n\nFor Single Pump System:\n- connect "
                                                "a blocked union to the end of "
                                                "the Heated Reactor\n\nFor Dual Pump System:\n- connect a "
                                                "blocked union to the end of the "
                                                "Ambient Reactor\n\nOnce done the System will be ready to "
                                                "start the test.\n\nPress OK when "
                                                "ready to continue.")
                                            : _("The pump(s) are now ready for pressure test.\n\nPlease, "
                                                "brush a kim-wipe around all the "
                                                "connections of the valve and pump looking for "
                                                "leaks.\nRemove Waste line (from port 6) and "
                                                "look for a small leak.\nA leak in the small o-rings of the "
                                                "valve will result in a small "
                                                "leak out of port 6.\n\nPress OK when ready to continue.");
            messageBox(text, _("Instructions"), MsgButtons::OK, mrOk, MsgIcon::None, procedure);
            if (over()) return;
            TestState = eptPressuriseTo480psiStart;
            break;
        }
        case eptPressuriseTo480psiStart:
            logLine("PressureTestDialog: case eptPressuriseTo480psiStart");
            startSelected([](TPumpChannel& c) { c.StartPressureTest(TargetPressure); });
            PressuriseTimer.Start(PressuriseSeconds);
            showLCD(_("PRESSURIZING PUMP(S)"));
            TestState = eptPressuriseTo480psiWaitForStatus;
            break;
        case eptPressuriseTo480psiWaitForStatus:
            logLine("PressureTestDialog: case eptPressuriseTo480psiWaitForStatus");
            TestState = eptPressuriseTo480psi;
            break;
        case eptPressuriseTo480psi: {
            logLine("PressureTestDialog: case eptPressuriseTo480psi");
            const bool busy1 = c1.PressureTestStep();
            const bool busy2 = c2.PressureTestStep();
            if (!busy1 && !busy2) TestState = 17;
            break;
        }
        case 17:
            PhaseTimer.Start(PhaseSeconds);
            TestState = 18;
            break;
        case 18:
            countdown(_("EQUILIBRATING PRESSURE."));
            if (PhaseTimer.IsExpired()) TestState = 19;
            break;
        case 19:
            Pump1ReadingA = static_cast<int32_t>(m.GetPump1Pressure());
            Pump2ReadingA = static_cast<int32_t>(m.GetPump2Pressure());
            PhaseTimer.Start(PhaseSeconds);
            TestState = 20;
            break;
        case 20:
            countdown(_("MEASURING PRESSURE CHANGE."));
            if (PhaseTimer.IsExpired()) TestState = 21;
            break;
        case 21:
            finishMeasuring(procedure);
            break;
        case 22:
            drawBack(PumpMask);
            TestState = 23;
            break;
        case 23:
            TestState = 24;
            break;
        case 24:
            if (stillPressed(PumpMask) == 0) TestState = 25;
            break;
        case 25:
            startSelected([](TPumpChannel& c) { c.StartEmpty(); });
            TestState = 26;
            break;
        case 26: {
            const bool busy1 = c1.EmptyStep(false, c1.Speed);
            const bool busy2 = c2.EmptyStep(false, c2.Speed);
            if (!busy1 && !busy2) TestState = eptEnd;
            break;
        }
        default:  // 28 the end, 29 parked
            break;
    }
}

void TPressureTest::drawBack(uint32_t mask) {
    for (int pump = 1; pump <= 2; ++pump) {
        if ((mask & (1u << (pump - 1))) == 0) continue;
        channel(pump)->Pump->SetReverseRate(0.01);
        channel(pump)->Pump->Reverse();
    }
}

uint32_t TPressureTest::stillPressed(uint32_t mask) {
    uint32_t pressed = 0;
    for (int pump = 1; pump <= 2; ++pump) {
        const uint32_t bit = 1u << (pump - 1);
        if ((mask & bit) == 0) continue;
        TPump& p = *channel(pump)->Pump;
        if (p.GetPressure() <= ReleasedPressure || p.IsStopped()) {
            if (!p.IsStopped()) p.Off();
        } else {
            pressed |= bit;
        }
    }
    return pressed;
}

// ---------------------------------------------------------------- release after an abandoned test

bool TPressureTest::Abandon() {
    // From the pressurising on until its own release is done, the path may hold pressure.
    const bool pressed = TestState >= eptPressuriseTo480psiStart && TestState <= 24;
    if (pressed && (PumpMask & 3u) != 0) {
        ReleaseMask = PumpMask & 3u;
        ReleaseState = 1;
        logLine("PressureTest: stopped under pressure; the pressure of the tested pump(s) is to be released");
    }
    if (TestState != eptEnd) TestState = eptEnd;
    return ReleasePending();
}

void TPressureTest::RestartRelease() {
    if (ReleaseState != 0) ReleaseState = 1;
}

bool TPressureTest::ReleaseStep() {
    if (!InstrumentModule || !InstrumentModule->Channel1 || !InstrumentModule->Channel2) return false;
    switch (ReleaseState) {
        case 1:
            drawBack(ReleaseMask);
            ReleaseState = 2;
            break;
        case 2:
            ReleaseState = 3;
            break;
        case 3:
            ReleaseMask = stillPressed(ReleaseMask);
            if (ReleaseMask == 0) {
                ReleaseState = 0;
                logLine("PressureTest: pressure released after the stopped test");
            }
            break;
        default:
            ReleaseState = 0;
            break;
    }
    return ReleaseState != 0;
}

void TPressureTest::DropRelease() {
    if (ReleaseState == 0) return;
    if (ReleaseState > 1 && InstrumentModule && InstrumentModule->Channel1 && InstrumentModule->Channel2) {
        for (int pump = 1; pump <= 2; ++pump)
            if ((ReleaseMask & (1u << (pump - 1))) != 0) channel(pump)->Pump->Off();
    }
    ReleaseState = 0;
    ReleaseMask = 0;
    logLine("PressureTest: the release ends: the pumps are started anew");
}

void TPressureTest::finishMeasuring(uint64_t procedure) {
    TInstrumentModule& m = *InstrumentModule;
    showLCD(QString());
    Pump1ReadingB = static_cast<int32_t>(m.GetPump1Pressure());
    Pump2ReadingB = static_cast<int32_t>(m.GetPump2Pressure());
    Pump1Drop = std::max(0, Pump1ReadingA - Pump1ReadingB);
    Pump2Drop = std::max(0, Pump2ReadingA - Pump2ReadingB);
    const bool passed1 = Pump1Drop < MaxDrop;
    const bool passed2 = Pump2Drop < MaxDrop;
    const QString message = resultMessage(passed1, passed2);
    // The release may run on the ticks that arrive while the box is open, and the test may end
    // there: the sheet is still printed on request, but not when the test was stopped (no answer).
    TestState = 22;
    if (messageBox(message, _("Pressure Test Result"), MsgButtons::YesNo, mrNo, MsgIcon::None, procedure) !=
        mrYes)
        return;
    PrintResults(passed1, passed2);
    printSheet();
}

QString TPressureTest::resultMessage(bool passed1, bool passed2) const {
    auto block = [](int32_t a, int32_t b, int32_t drop) {
        return "\n" + _("Pressure after 10 minutes") + ": " + psi(a) + "\n" + _("Pressure after 20 minutes") +
               ": " + psi(b) + "\n" + _("Pressure Drop") + ": " + psi(drop) + "\n" + _("Passing Criteria") +
               ": 50 psi/10 min";
    };
    QString text;
    if (!SystemTest) {
        if (selected(1)) {
            text += passed1 ? _("Pump1 passes the Pressure Test.")
                            : _("Pump1 Channel has a problem holding the pressure.");
            text += block(Pump1ReadingA, Pump1ReadingB, Pump1Drop);
        }
        if (selected(2)) {
            if (!text.isEmpty()) text += "\n\n";
            text += passed2 ? _("Pump2 passes the Pressure Test.")
                            : _("Pump2 Channel has a problem holding the pressure.");
            text += block(Pump2ReadingA, Pump2ReadingB, Pump2Drop);
        }
    } else {
        text = passed1 && passed2 ? _("System passes the Pressure Test.")
                                  : _("System has a problem holding the pressure.");
        text += "\n\n" + _("Pump 1") + ":" + block(Pump1ReadingA, Pump1ReadingB, Pump1Drop);
        if (selected(2)) text += "\n\n" + _("Pump 2") + ":" + block(Pump2ReadingA, Pump2ReadingB, Pump2Drop);
    }
    return text + "\n\n" + _("Print test results?");
}

int32_t TPressureTest::measuringMinutes() {
    const int32_t elapsed = std::clamp(PhaseSeconds - PhaseTimer.SecondsLeft(), 0, PhaseSeconds);
    return std::max(1, (elapsed + 59) / 60);
}

bool TPressureTest::checkForErrors(uint64_t procedure) {
    if (ErrorShown) return true;
    const TInstrumentModule& m = *InstrumentModule;
    const double p1 = m.GetPump1Pressure();
    const double p2 = m.GetPump2Pressure();
    QString error;
    if (TestState == eptPressuriseTo480psi && PressuriseTimer.IsExpired()) {
        error = fillFirst(
            fillFirst(_("Pumps could not reach target pressure of %s psi in %s minutes.\n\nStopping "
                        "the test."),
                      "470"),
            "3");
    }
    if (TestState == 20 || TestState == 21) {
        const QString minutes = QString::number(measuringMinutes());
        if (selected(1) && Pump1ReadingA - p1 > MaxDrop)
            error = fillFirst(
                _("Pressure in Pump 1 fell more than 50 psi in %s minutes.\n\nStopping the test."), minutes);
        else if (selected(2) && Pump2ReadingA - p2 > MaxDrop)
            error = fillFirst(
                _("Pressure in Pump 2 fell more than 50 psi in %s minutes.\n\nStopping the test."), minutes);
    }
    if (TestState >= 17 && TestState <= 21) {
        if (error.isEmpty() && selected(1) && p1 < MinPressure)
            error = _("Pressure in Pump 1 fell below 300 psi.\n\nStopping the test.");
        else if (selected(2) && p2 < MinPressure)
            error = _("Pressure in Pump 2 fell below 300 psi.\n\nStopping the test.");
    }
    if (error.isEmpty()) return false;

    ErrorShown = true;
    // Release and emptying go on during the box.
    TestState = 22;
    LastErrorText = error;
    showLCD(QString());
    messageBox(LastErrorText, _("Pressure Test Error"), MsgButtons::OK, mrOk, MsgIcon::Error, procedure);
    logLine("PressureTest: checkForErrors(): problem found, displayed: " + LastErrorText.toStdString());
    return true;
}

void TPressureTest::fillColumn(int pump, bool tested, bool passed, int32_t a, int32_t b, int32_t drop) {
    // The pump's name and verdict, then four pairs of reading label and value.
    const std::array<QLabel*, 10> column = columnLabels(pump);
    QLabel* passLbl = column[1];
    column[0]->setVisible(true);
    passLbl->setVisible(true);
    if (tested) {
        passLbl->setText(passed ? _("PASSED") : _("FAILED"));
        setFontStyle(passLbl, true, !passed);
    } else {
        passLbl->setText(_("NOT TESTED"));
        setFontStyle(passLbl, true, false);
    }
    for (size_t i = 2; i < column.size(); ++i) column[i]->setVisible(tested);
    if (pump == 1 || tested) {
        column[3]->setText(psi(a));
        column[5]->setText(psi(b));
        column[7]->setText(psi(drop));
    }
}

void TPressureTest::PrintResults(bool passed1, bool passed2) {
    if (!SystemTest) {
        TitleLbl->setText(_("Zentrova Pump and Valve Seal Pressure Test Results"));
        SystemTestPassedLbl->setVisible(false);
    } else {
        TitleLbl->setText(_("Zentrova System Pressure Test Results"));
        SystemTestPassedLbl->setVisible(true);
        const bool passed = passed1 && passed2;
        SystemTestPassedLbl->setText(passed ? _("Instrument Passed System Test")
                                            : _("Instrument FAILED System Test"));
        setFontStyle(SystemTestPassedLbl, true, !passed);
    }

    const LocalTime t = appClock().localNow();
    const QLocale locale = QLocale::system();
    DateValue->setText(locale.toString(QDate(t.year, t.month, t.day), QLocale::ShortFormat) + "  " +
                       locale.toString(QTime(t.hour, t.minute, t.second), QLocale::LongFormat));

    const uint32_t sn = InstrumentModule ? InstrumentModule->GetInstrumentNumber() : 0;
    SNValue->setText(sn == 0 ? _("Unknown") : QString::number(sn));
    DoneByValue->setText(QString::fromStdString(SystemInfo::userName()).left(200));

    fillColumn(1, selected(1), passed1, Pump1ReadingA, Pump1ReadingB, Pump1Drop);
    if (InstrumentModule && InstrumentModule->SinglePump) {
        for (QLabel* l : columnLabels(2)) l->setVisible(false);
    } else {
        fillColumn(2, selected(2), passed2, Pump2ReadingA, Pump2ReadingB, Pump2Drop);
    }
}

void TPressureTest::printSheet() {
    QPrinter printer(QPrinter::HighResolution);
    if (!printer::choosePrinter(printer, MainForm)) return;
    try {
        ensurePolished();
        printer::printImage(printer, GetFormImage().toImage());
    } catch (const EPrinterError& e) {
        messageBox(QString::fromStdString(e.what()), _("Error!"), MsgButtons::OK, mrOk, MsgIcon::Error);
    }
}
