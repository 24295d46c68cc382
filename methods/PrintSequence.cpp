#include "methods/PrintSequence.h"

#include "methods/SequenceParams.h"

TPrintSequenceForm::TPrintSequenceForm(QWidget* owner) : TUxForm(owner) {}
TPrintSequenceForm::~TPrintSequenceForm() = default;
bool TPrintSequenceForm::PrintSequence(const TSequenceINIParams&) {
    return false;
}
void TPrintSequenceForm::FormCreate() {}
bool PrintSequenceReport(const TSequenceINIParams& rec, QWidget* owner) {
    TPrintSequenceForm f(owner);
    return f.PrintSequence(rec);
}
