// The printed sequence report: a borderless form with the sequence's lines as a grid,
// printed as its own image on one page after two confirmations; never shown on screen.
#pragma once
#include <QString>

#include "unicode/UxForms.h"

class TSequenceINIParams;
class TUxLabel;
class TUxStringGrid;

class TPrintSequenceForm : public TUxForm {
    Q_OBJECT
  public:
    explicit TPrintSequenceForm(QWidget* owner = nullptr);
    ~TPrintSequenceForm() override;

    // Fills the report, asks "Print Sequence ...?" and the print dialog, and prints.
    // True when it was printed.
    bool PrintSequence(const TSequenceINIParams& rec);

    TUxLabel* SequenceNameLbl = nullptr;
    TUxLabel* MethodNameValue = nullptr;
    TUxLabel* TimeStampLbl = nullptr;
    TUxLabel* TimeStampValue = nullptr;
    TUxLabel* UserNameLbl = nullptr;
    TUxLabel* UserNameValue = nullptr;
    TUxLabel* MethodsLbl = nullptr;
    TUxStringGrid* Methods = nullptr;

  private:
    void FormCreate();
};

// What the sequence editor and the main window call: one form for one printout.
// True when the report was printed.
bool PrintSequenceReport(const TSequenceINIParams& rec, QWidget* owner = nullptr);
