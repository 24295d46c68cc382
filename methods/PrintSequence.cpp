#include "methods/PrintSequence.h"

#include "methods/PrintReport.h"
#include "methods/SequenceParams.h"
#include "platform/i18n.h"
#include "unicode/UxControls.h"

namespace {
constexpr int kWidth = 531;
constexpr int kHeight = 187;
constexpr int kCaptionX = 16;
constexpr int kValueX = 200;
}  // namespace

TPrintSequenceForm::TPrintSequenceForm(QWidget* owner) : TUxForm(owner) {
    setWindowFlag(Qt::FramelessWindowHint);
    resize(kWidth, kHeight);
    report::paper(this);

    const int captionW = kValueX - kCaptionX - 8;
    const int valueW = kWidth - kValueX - 16;
    SequenceNameLbl = report::label(this, "Sequence Name", kCaptionX, 16, captionW);
    MethodNameValue = report::label(this, "", kValueX, 16, valueW);
    TimeStampLbl = report::label(this, "Time Printed", kCaptionX, 40, captionW);
    TimeStampValue = report::label(this, "", kValueX, 40, valueW);
    UserNameLbl = report::label(this, "User Name", kCaptionX, 64, captionW);
    UserNameValue = report::label(this, "", kValueX, 64, valueW);
    MethodsLbl = report::label(this, "Methods", kCaptionX, 96, captionW, true);
    Methods = report::grid(this, 2, kCaptionX, 118);
    FormCreate();
}

TPrintSequenceForm::~TPrintSequenceForm() = default;

void TPrintSequenceForm::FormCreate() {
    TranslateComponent(this);
    Methods->SetDefaultColWidth(100);
    Methods->SetColWidths(0, 300);
    Methods->SetCells(0, 0, _("Method Name"));
    Methods->SetCells(1, 0, _("Times"));
    report::growToCols(Methods);
}

bool TPrintSequenceForm::PrintSequence(const TSequenceINIParams& rec) {
    TimeStampValue->SetCaption(report::printDate());
    UserNameValue->SetCaption(report::userName());
    MethodNameValue->SetCaption(rec.Name);

    if (rec.RunList.GetCount() > 0) {
        Methods->SetRowCount(rec.RunList.GetCount() + 1);
        report::fillColumn(Methods, 0, rec.MethodList.ToStringList());
        report::fillColumn(Methods, 1, rec.RunList.ToStringList());
    }
    report::growToCols(Methods);
    const int added = report::growToRows(Methods);
    resize(width(), height() + added);

    return report::confirmAndPrint(this, fillFirst(_("Print Sequence \"%s\"?"), rec.Name));
}

bool PrintSequenceReport(const TSequenceINIParams& rec, QWidget* owner) {
    return report::printOrReport([&] {
        TPrintSequenceForm form(owner);
        return form.PrintSequence(rec);
    });
}
