#include "methods/LoadMethod.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "methods/MethodParams.h"
#include "platform/i18n.h"

TLoadMethodDialog* LoadMethodDialog = nullptr;

TLoadMethodDialog::TLoadMethodDialog(QWidget* owner) : TUxForm(owner) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    SetCaption(QStringLiteral("Load Method"));
    MethodNameList = new TUxListBox(this);
    Load = new TUxButton(_("Load"), this);
    Cancel = new TUxButton(_("Cancel"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Load);
    buttons->addWidget(Cancel);
    auto* whole = new QVBoxLayout(this);
    whole->addWidget(MethodNameList, 1);
    whole->addLayout(buttons);
    Load->OnClick = [this] { LoadClick(); };
    Cancel->OnClick = [this] { CancelClick(); };
    FormCreate();
    if (LoadMethodDialog == nullptr) LoadMethodDialog = this;
}

TLoadMethodDialog::~TLoadMethodDialog() {
    if (LoadMethodDialog == this) LoadMethodDialog = nullptr;
}

void TLoadMethodDialog::FormCreate() {
    CMethodNames().FillListBox(MethodNameList);
}
