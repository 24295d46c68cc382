#include "unicode/UxForms.h"

TUxForm::TUxForm(QWidget* owner) : QWidget(owner, Qt::Window) {}
