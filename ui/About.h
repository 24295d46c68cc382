// The About box: the program's version, the maker's line and web address. A click anywhere
// on it closes it.
#pragma once
#include <QWidget>

#include "unicode/UxControls.h"
#include "unicode/UxForms.h"

class TAboutForm : public TUxForm {
    Q_OBJECT
  public:
    explicit TAboutForm(QWidget* owner = nullptr);
    ~TAboutForm() override;

    void FormCreate();
    void FormShow();
    void FormClick();

    TUxLabel* Image1 = nullptr;
    TUxLabel* Label1 = nullptr;
    TUxLabel* Label2 = nullptr;
    TUxLabel* VersionLbl = nullptr;

  protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
};

extern TAboutForm* AboutForm;
