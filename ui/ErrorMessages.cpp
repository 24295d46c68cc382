#include "ui/ErrorMessages.h"

#include <QApplication>
#include <QKeyEvent>
#include <QShowEvent>

#include "link/HPLC.h"
#include "link/Instrument.h"
#include "link/LogFile.h"
#include "platform/Dialogs.h"
#include "platform/Help.h"
#include "platform/i18n.h"
#include "ui/LCDFrame.h"
#include "ui/MainForm.h"
#include "unicode/UxControls.h"

TErrorMessagesDialog* ErrorMessagesDialog = nullptr;
int32_t TErrorMessagesDialog::ValveLostCount1 = 0;
int32_t TErrorMessagesDialog::ValveLostCount2 = 0;
int32_t TErrorMessagesDialog::HPLCErrorCount = 0;

namespace {
constexpr int BorderWidth = 20;
}

TErrorMessagesDialog::TErrorMessagesDialog(QWidget* owner) : QWidget(owner, Qt::Dialog) {
    setObjectName("ErrorMessagesDialog");
    setWindowTitle("Critical Error");
    QFont f("MS Sans Serif");
    f.setPixelSize(11);
    setFont(f);
    MessageLbl = new TUxLabel(this);
    MessageLbl->setObjectName("MessageLbl");
    MessageLbl->move(BorderWidth, BorderWidth);
    OKBtn = new TUxButton("OK", this);
    OKBtn->setObjectName("OKBtn");
    OKBtn->resize(75, 25);
    OKBtn->OnClick = [this] { OKBtnClick(); };
    HelpBtn = new TUxButton("Help", this);
    HelpBtn->setObjectName("HelpBtn");
    HelpBtn->resize(75, 25);
    HelpBtn->OnClick = [this] { HelpBtnClick(); };
    InitErrorTable();
    FormCreate();
}

TErrorMessagesDialog::~TErrorMessagesDialog() {
    if (ErrorMessagesDialog == this) ErrorMessagesDialog = nullptr;
}

void TErrorMessagesDialog::SetErrorEntry(int index, const char* text, bool disables, uint32_t helpContext) {
    TErrorEntry& e = ErrorTable.at(size_t(index));
    e.Text = _8(text);
    e.Disables = disables;
    e.HelpContext = helpContext;
    e.State = 0;
    e.Active = false;
}

void TErrorMessagesDialog::InitErrorTable() {
    SetErrorEntry(0, "Column Door Open", false, 2100);
    SetErrorEntry(1, "Transducer1 not connected", false, 2200);
    SetErrorEntry(2, "Transducer2 not connected", false, 2200);
    SetErrorEntry(3, "Column Temp Sensor Error", false, 2300);
    SetErrorEntry(4, "Reactor Temp Sensor Error", false, 2400);
    SetErrorEntry(5, "High Pressure on Pump1", true, 2500);
    SetErrorEntry(6, "High Pressure on Pump2", true, 2500);
    SetErrorEntry(7, "Reactor Temp at MAX", true, 2600);
    SetErrorEntry(8, "Column Temp at MAX", true, 2700);
    SetErrorEntry(9, "Valve1 Lost", true, 2800);
    SetErrorEntry(10, "Valve2 Lost", true, 2800);
}

void TErrorMessagesDialog::raiseEntry(int index) {
    TErrorEntry& e = ErrorTable[size_t(index)];
    e.Active = true;
    if (e.State == 0) e.State = 1;
}

bool TErrorMessagesDialog::HasActiveError() const {
    for (const auto& e : ErrorTable)
        if (e.Active) return true;
    return false;
}

bool TErrorMessagesDialog::HasDisablingError() const {
    for (const auto& e : ErrorTable)
        if (e.Active && e.Disables) return true;
    return false;
}

bool TErrorMessagesDialog::HasNewError() const {
    for (const auto& e : ErrorTable)
        if (e.State == 1) return true;
    return false;
}

std::string TErrorMessagesDialog::TakeActiveErrorText() {
    std::string text;
    for (auto& e : ErrorTable) {
        if (e.Active) text = e.Text;
        e.Active = false;
    }
    return text;
}

uint32_t TErrorMessagesDialog::GetNewErrorHelpContext() const {
    uint32_t context = 0;
    for (const auto& e : ErrorTable)
        if (e.State == 1) context = e.HelpContext;
    return context;
}

QString TErrorMessagesDialog::BuildErrorMessage() {
    QString message;
    for (auto& e : ErrorTable) {
        if (e.State != 1) continue;
        if (!message.isEmpty()) message += '\n';
        message += QString::fromStdString(e.Text);
        e.State = 2;
    }
    if (!message.isEmpty()) message += _("\n\nInstrument was Disabled");
    return message;
}

bool TErrorMessagesDialog::CheckInstrumentErrors(bool singlePump) {
    bool result = false;
    CriticalReason.clear();
    if (!InstrumentModule) return false;
    TInstrumentModule& m = *InstrumentModule;
    const uint8_t mode = MainForm ? MainForm->iMode : 0;
    const double p1 = m.GetPump1Pressure(), p2 = m.GetPump2Pressure();
    const double column = m.GetColumnTemperature(), reactor = m.GetReactorTemperature();

    // Missing sensors are reported on the panel only.
    if (p1 < MissingPressure) ErrorTable[1].Active = true;
    if (p2 < MissingPressure && !singlePump) ErrorTable[2].Active = true;
    if (column < MissingTemperature) ErrorTable[3].Active = true;
    if (reactor < MissingTemperature) ErrorTable[4].Active = true;

    const bool pressureTest = mode == 14 || mode == 15;
    if (p1 > MaxPressure && !pressureTest)
        raiseEntry(5);
    else
        ErrorTable[5].State = 0;
    if (p2 > MaxPressure && !singlePump && !pressureTest)
        raiseEntry(6);
    else
        ErrorTable[6].State = 0;

    if (column > MaxColumnTemperature)
        raiseEntry(8);
    else
        ErrorTable[8].State = 0;
    if (reactor > MaxReactorTemperature)
        raiseEntry(7);
    else
        ErrorTable[7].State = 0;

    if (m.Channel1 && m.Channel1->IsValvePositionUnknown()) {
        if (++ValveLostCount1 > ValveLostChecks) raiseEntry(9);
    } else {
        ValveLostCount1 = 0;
        ErrorTable[9].State = 0;
    }
    if (m.Channel2 && m.Channel2->IsValvePositionUnknown() && !singlePump) {
        if (++ValveLostCount2 > ValveLostChecks) raiseEntry(10);
    } else {
        ValveLostCount2 = 0;
        ErrorTable[10].State = 0;
    }

    if (mode != 0 && HasActiveError()) {
        result = HasDisablingError();
        const std::string text = TakeActiveErrorText();
        if (result) CriticalReason = QString::fromStdString(text);
        if (MainForm && MainForm->LCDScreen1)
            MainForm->LCDScreen1->SetSecondLine(QString::fromStdString(text), 2, result);
        if (isHidden() && HasNewError()) {
            ErrorHelpContext = GetNewErrorHelpContext();
            MessageLbl->SetCaption(BuildErrorMessage());
            // Sized and centred on the main window before it appears.
            FormShow();
            // Over a modal window (an editor, a box) it is modal itself: the window in front, whose
            // OK and Escape answer it, until it is closed. Elsewhere it leaves the main window free.
            setWindowModality(QApplication::activeModalWidget() ? Qt::ApplicationModal : Qt::NonModal);
            centreWindow(this, mainWindow());
            showWindow(this);
        } else if (isVisible() && !isActiveWindow() && !behindLaterModal()) {
            QWidget::raise();
            activateWindow();
        }
    }

    const uint8_t hplcState = HPLCModule ? HPLCModule->GetState() : uint8_t(hsNoHPLC);
    if (hplcState == hsError && (mode == 6 || mode == 7)) {
        if (++HPLCErrorCount > HPLCErrorChecks) {
            result = true;
            if (CriticalReason.isEmpty()) CriticalReason = _("HPLC ERROR, INSTRUMENT DISABLED");
            if (MainForm) MainForm->SetMode(1);
            logLine("#main: HPLC Critical Error: HPLC State=" + std::to_string(int(hplcState)) +
                    "; iMode=" + std::to_string(MainForm ? int(MainForm->iMode) : 0));
        }
    } else {
        HPLCErrorCount = 0;
    }

    if (result) logLine("#main: ErrorMessagesDialog Critical Error");
    return result;
}

bool TErrorMessagesDialog::behindLaterModal() const {
    const QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal == this) return false;
    // A box this window opened stays in front of it.
    for (const QWidget* w = modal->parentWidget(); w; w = w->parentWidget())
        if (w == this) return false;
    return true;
}

void TErrorMessagesDialog::OKBtnClick() {
    hide();
}

void TErrorMessagesDialog::HelpBtnClick() {
    Help::setTopic(this, ErrorHelpContext);
    Help::showTopicOf(this);
}

void TErrorMessagesDialog::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
        OKBtnClick();
        e->accept();
        return;
    }
    QWidget::keyPressEvent(e);
}

void TErrorMessagesDialog::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    FormShow();
}

void TErrorMessagesDialog::FormShow() {
    Help::setTopic(this, ErrorHelpContext);
    MessageLbl->adjustSize();
    const int buttonsWidth = 75 + 176;
    const int width = std::max(MessageLbl->width(), buttonsWidth) + 2 * BorderWidth;
    MessageLbl->move((width - MessageLbl->width()) / 2 - BorderWidth + BorderWidth, BorderWidth);
    const int top = MessageLbl->y() + MessageLbl->height() + 11;
    const int left = (width - buttonsWidth) / 2;
    OKBtn->move(left, top);
    HelpBtn->move(left + 176, top);
    resize(width, top + 25 + BorderWidth);
}
