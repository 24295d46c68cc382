#include "methods/PrintMethod.h"

#include "methods/MethodParams.h"
#include "methods/PrintReport.h"
#include "platform/i18n.h"
#include "unicode/UxControls.h"

namespace {
constexpr int kWidth = 560;
constexpr int kHeight = 538;
constexpr int kCaptionX = 16;
constexpr int kValueX = 200;
constexpr int kCaptionW = kValueX - kCaptionX - 8;
constexpr int kValueW = kWidth - kValueX - 16;
constexpr int kGap = 12;
}  // namespace

TPrintMethodForm::TPrintMethodForm(QWidget* owner) : TUxForm(owner) {
    setWindowFlag(Qt::FramelessWindowHint);
    resize(kWidth, kHeight);
    report::paper(this);

    int y = 16;
    auto row = [this, &y](TUxLabel*& caption, const char* text, TUxLabel*& value) {
        caption = report::label(this, text, kCaptionX, y, kCaptionW);
        value = report::label(this, "", kValueX, y, kValueW);
        y += 24;
    };
    row(MethodNameLbl, "Method Name", MethodNameValue);
    row(TimeStampLbl, "Time Printed", TimeStampValue);
    row(UserNameLbl, "User Name", UserNameValue);
    y += 12;
    InitialValues = report::label(this, "Initial Values", kCaptionX, y, kCaptionW, true);
    y += 24;
    row(RuntimeLbl, "Runtime", RuntimeValue);
    row(EquilibrationTimeLbl, "Equilibration Time", EquilibrationTimeValue);
    row(ColumnTempLbl, "Column Temp", ColumnTempValue);
    row(ColumnTypeLbl, "Column Type", ColumnTypeValue);
    row(ReactorTempLbl, "Reactor Temp", ReactorTempValue);
    row(ReactorVolumeLbl, "Reactor Volume", ReactorVolumeValue);
    row(Pump1RateLbl, "Pump1 Rate", Pump1RateValue);
    row(Reagent1, "Reagent 1", Reagent1Value);
    row(Pump2RateLbl, "Pump2 Rate", Pump2RateValue);
    row(Reagent2Lbl, "Reagent 2", Reagent2Value);
    y += 8;
    PumpTTLbl = report::label(this, "Pump Time Table", kCaptionX, y, kCaptionW, true);
    y += 22;
    PumpTT = report::grid(this, 3, kCaptionX, y);
    y += PumpTT->height() + kGap;
    ColumnTTLbl = report::label(this, "Column Time Table", kCaptionX, y, kCaptionW, true);
    y += 22;
    ColumnTT = report::grid(this, 2, kCaptionX, y);
    FormCreate();
}

TPrintMethodForm::~TPrintMethodForm() = default;

void TPrintMethodForm::FormCreate() {
    TranslateComponent(this);
    PumpTT->SetCells(0, 0, _("Time, min"));
    PumpTT->SetCells(1, 0, _("Pump1, ml/min"));
    PumpTT->SetCells(2, 0, _("Pump2, ml/min"));
    PumpTT->SetColWidths(1, 120);
    PumpTT->SetColWidths(2, 120);
    ColumnTT->SetCells(0, 0, _("Time, min"));
    ColumnTT->SetCells(1, 0, _("Temp, ") + QString::fromUtf8("\u00B0C"));
    ColumnTT->SetColWidths(1, 120);
    report::fitColumn(PumpTT, 0);
    report::fitColumn(ColumnTT, 0);
    report::growToCols(PumpTT);
    report::growToCols(ColumnTT);
}

bool TPrintMethodForm::PrintMethod(const TMethodINIParams& rec) {
    TimeStampValue->SetCaption(report::printDate());
    UserNameValue->SetCaption(report::userName());
    auto text = [](const std::string& s) { return QString::fromStdString(s); };
    MethodNameValue->SetCaption(text(rec.Name));
    RuntimeValue->SetCaption(text(rec.Runtime));
    EquilibrationTimeValue->SetCaption(text(rec.EquilTime));
    ColumnTempValue->SetCaption(text(rec.ColumnT));
    ColumnTypeValue->SetCaption(text(rec.ColumnD));
    ReactorTempValue->SetCaption(text(rec.ReactorT));
    ReactorVolumeValue->SetCaption(text(rec.ReactorV));
    Pump1RateValue->SetCaption(text(rec.Pump1Flow));
    Reagent1Value->SetCaption(text(rec.Reagent1D));
    Pump2RateValue->SetCaption(text(rec.Pump2Flow));
    Reagent2Value->SetCaption(text(rec.Reagent2D));

    if (!rec.PumpTimeList.empty()) {
        PumpTT->SetRowCount(static_cast<int>(rec.PumpTimeList.size()) + 1);
        report::fillColumn(PumpTT, 0, rec.PumpTimeList);
        report::fillColumn(PumpTT, 1, rec.Pump1FlowList);
        report::fillColumn(PumpTT, 2, rec.Pump2FlowList);
    }
    int added = report::growToRows(PumpTT);
    report::growToCols(PumpTT);
    ColumnTTLbl->move(ColumnTTLbl->x(), ColumnTTLbl->y() + added);
    ColumnTT->move(ColumnTT->x(), ColumnTT->y() + added);

    if (!rec.ColumnTimeList.empty()) {
        ColumnTT->SetRowCount(static_cast<int>(rec.ColumnTimeList.size()) + 1);
        report::fillColumn(ColumnTT, 0, rec.ColumnTimeList);
        report::fillColumn(ColumnTT, 1, rec.ColumnTempList);
    }
    added += report::growToRows(ColumnTT);
    report::growToCols(ColumnTT);
    resize(width(), height() + added);

    return report::confirmAndPrint(this,
                                   fillFirst(_("Print Method \"%s\"?"), QString::fromStdString(rec.Name)));
}

bool PrintMethodReport(const TMethodINIParams& rec, QWidget* owner) {
    return report::printOrReport([&] {
        TPrintMethodForm form(owner);
        return form.PrintMethod(rec);
    });
}
