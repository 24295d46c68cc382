#include "methods/LoadSequence.h"

#include <QApplication>
#include <QVBoxLayout>

#include "methods/EditSequence.h"
#include "methods/MethodParams.h"
#include "methods/SequenceParams.h"
#include "platform/Dialogs.h"
#include "platform/i18n.h"

TLoadSequenceDialog* LoadSequenceDialog = nullptr;

TLoadSequenceDialog::TLoadSequenceDialog(QWidget* owner) : TUxForm(owner) {
    setObjectName("LoadSequenceDialog");
    SetCaption("  Load Sequence");
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(260, 300);

    SequenceNameList = new TUxListBox(this);
    SequenceNameList->setObjectName("SequenceNameList");
    SequenceNameList->setGeometry(8, 8, 244, 246);
    LoadBtn = new TUxButton("Load", this);
    LoadBtn->setObjectName("LoadBtn");
    LoadBtn->setGeometry(40, 264, 80, 25);
    LoadBtn->setDefault(true);
    CancelBtn = new TUxButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    CancelBtn->setGeometry(140, 264, 80, 25);

    LoadBtn->OnClick = [this] { LoadBtnClick(); };
    CancelBtn->OnClick = [this] { CancelBtnClick(); };
    SetCancelButton(CancelBtn);
    SequenceNameList->OnDblClick = [this] { SequenceNameListOnDblClick(); };
    TUxForm::OnShow = [this] { OnShow(); };

    if (!LoadSequenceDialog) LoadSequenceDialog = this;
    FormCreate();
}

TLoadSequenceDialog::~TLoadSequenceDialog() {
    if (LoadSequenceDialog == this) LoadSequenceDialog = nullptr;
}

void TLoadSequenceDialog::FormCreate() {
    TranslateComponent(this);
}

void TLoadSequenceDialog::OnShow() {
    CSequenceNames().FillListBox(SequenceNameList);
    if (SequenceNameList->GetCount() > 0) SequenceNameList->SetItemIndex(0);
    CentreOn(parentWidget() ? parentWidget() : QApplication::activeWindow());
}

void TLoadSequenceDialog::LoadBtnClick() {
    const int i = SequenceNameList->GetItemIndex();
    if (i >= 0) {
        TSequenceINIParams rec;
        rec.Name = SequenceNameList->item(i)->text();
        // Deleted by another program since the list was filled: said, and the list shows what
        // is stored now.
        if (!CSequenceNames().LoadSequence(rec)) {
            messageBox(fillFirst(_("Sequence \"%s\" is no longer stored."), rec.Name), _("Warning"));
            CSequenceNames().FillListBox(SequenceNameList);
            if (SequenceNameList->GetCount() > 0) SequenceNameList->SetItemIndex(0);
            return;
        }
        if (CheckMethods(rec.MethodList.AnsiStrings().ToVector()) != mrYes) return;
        if (OnSetDefaultSequence) OnSetDefaultSequence(rec.Name.toStdString());
    }
    Close();
}

void TLoadSequenceDialog::CancelBtnClick() {
    Close();
}

void TLoadSequenceDialog::SequenceNameListOnDblClick() {
    LoadBtnClick();
}

int TLoadSequenceDialog::CheckMethods(const std::vector<std::string>& names) {
    std::string missing;
    CMethodNames methods;
    for (const std::string& m : names)
        if (!methods.MethodExists(m)) missing += "\n- " + m;
    if (missing.empty()) return mrYes;
    messageBox(
        fillFirst(_("The following Method Names for the Sequence are missing: %s\n\nYou can not load this "
                    "sequence."),
                  QString::fromStdString(missing)),
        _("Warning"));
    return mrNo;
}
