// The load-sequence dialog: the short way to choose a stored sequence for the next run.
#pragma once
#include <string>
#include <vector>

#include "unicode/UxControls.h"
#include "unicode/UxForms.h"

class TLoadSequenceDialog : public TUxForm {
    Q_OBJECT
  public:
    explicit TLoadSequenceDialog(QWidget* owner = nullptr);  // runs FormCreate
    ~TLoadSequenceDialog() override;

    TUxListBox* SequenceNameList;
    TUxButton* LoadBtn;
    TUxButton* CancelBtn;

    void FormCreate();
    void OnShow();
    void LoadBtnClick();
    void CancelBtnClick();
    void SequenceNameListOnDblClick();
    // 6 when every named method is stored, 7 (after listing the missing ones) when not.
    int CheckMethods(const std::vector<std::string>& names);
};

extern TLoadSequenceDialog* LoadSequenceDialog;
