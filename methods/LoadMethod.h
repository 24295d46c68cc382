// The load-method dialog: the stored methods in a list, with Load and Cancel, each of which
// only closes it. Nothing of the program opens it yet.
#pragma once
#include "unicode/UxControls.h"
#include "unicode/UxForms.h"

class TLoadMethodDialog : public TUxForm {
    Q_OBJECT
  public:
    explicit TLoadMethodDialog(QWidget* owner = nullptr);  // builds the window, runs FormCreate
    ~TLoadMethodDialog() override;

    TUxListBox* MethodNameList;
    TUxButton* Load;
    TUxButton* Cancel;

    void FormCreate();
    void LoadClick() { Close(); }
    void CancelClick() { Close(); }
};

extern TLoadMethodDialog* LoadMethodDialog;
