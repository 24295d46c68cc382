#include "ui/Calibration.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>

#include "platform/Dialogs.h"
#include "ui/MainForm.h"
#include "unicode/UxControls.h"

TReactorTempCalibration* ReactorTempCalibration = nullptr;
TColumnTempCalibration* ColumnTempCalibration = nullptr;

std::function<void(int)> TTempCalibrationNotice::ExitProcess = [](int code) {
    std::fflush(nullptr);
    std::exit(code);
};

namespace {
// The notices are not translated: they speak of a program outside this one.
const char* const kNoticeText =
    "This procedure requires special training. The following button will close the Zentrova KVZ program. "
    "Please open the Zentrova Utilities Program if available.";
}  // namespace

TTempCalibrationNotice::TTempCalibrationNotice(const QString& caption, const QString& request, QWidget* owner)
    : TUxForm(owner) {
    SetCaption(caption);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    Label1 = new QLabel(request, this);
    Label2 = new QLabel(QString::fromUtf8(kNoticeText), this);
    for (QLabel* l : {Label1, Label2}) {
        l->setAlignment(Qt::AlignHCenter);
        l->setWordWrap(true);
        l->setMinimumWidth(360);
        layout->addWidget(l);
    }
    auto* buttons = new QHBoxLayout;
    OKBtn = new TUxButton("Close", this);
    CancelBtn = new TUxButton("Cancel", this);
    OKBtn->OnClick = [this] { OKBtnClick(); };
    CancelBtn->OnClick = [this] { CancelBtnClick(); };
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    buttons->addStretch();
    layout->addLayout(buttons);
    // Centred on the main window each time it is shown.
    OnShow = [this] { CentreOn(MainForm ? static_cast<QWidget*>(MainForm) : parentWidget()); };
}

void TTempCalibrationNotice::OKBtnClick() {
    // No closing question, but the halt still runs: the exit goes through the handler that
    // program start registers with atexit, as every way out of the program halts the instrument.
    if (ExitProcess) ExitProcess(0);
}

void TTempCalibrationNotice::CancelBtnClick() {
    if (IsModal())
        SetModalResult(mrCancel);
    else
        Close();
}

TReactorTempCalibration::TReactorTempCalibration(QWidget* owner)
    : TTempCalibrationNotice("Reactor Temperature Calibration",
                             "You requested Reactor Temperature Calibration Procedure.", owner) {
    setObjectName("ReactorTempCalibration");
}

TReactorTempCalibration::~TReactorTempCalibration() {
    if (ReactorTempCalibration == this) ReactorTempCalibration = nullptr;
}

TColumnTempCalibration::TColumnTempCalibration(QWidget* owner)
    : TTempCalibrationNotice("Column Temperature Calibration",
                             "You requested Column Temperature Calibration Procedure.", owner) {
    setObjectName("ColumnTempCalibration");
}

TColumnTempCalibration::~TColumnTempCalibration() {
    if (ColumnTempCalibration == this) ColumnTempCalibration = nullptr;
}
