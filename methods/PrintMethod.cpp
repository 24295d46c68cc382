#include "methods/PrintMethod.h"

#include "methods/MethodParams.h"

TPrintMethodForm::TPrintMethodForm(QWidget* owner) : TUxForm(owner) {}
TPrintMethodForm::~TPrintMethodForm() = default;
bool TPrintMethodForm::PrintMethod(const TMethodINIParams&) {
    return false;
}
void TPrintMethodForm::FormCreate() {}
bool PrintMethodReport(const TMethodINIParams& rec, QWidget* owner) {
    TPrintMethodForm f(owner);
    return f.PrintMethod(rec);
}
