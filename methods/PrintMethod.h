// The printed method report: a borderless form laid out as a report, filled from one
// method and printed as its own image on one page after two confirmations. It is never
// shown on screen.
#pragma once
#include <QString>

#include "unicode/UxForms.h"

class TMethodINIParams;
class TUxLabel;
class TUxStringGrid;

class TPrintMethodForm : public TUxForm {
    Q_OBJECT
  public:
    explicit TPrintMethodForm(QWidget* owner = nullptr);
    ~TPrintMethodForm() override;

    // Fills the report, asks "Print Method ...?" and the print dialog, and prints.
    // True when it was printed.
    bool PrintMethod(const TMethodINIParams& rec);

    TUxLabel* MethodNameLbl = nullptr;
    TUxLabel* MethodNameValue = nullptr;
    TUxLabel* TimeStampLbl = nullptr;
    TUxLabel* TimeStampValue = nullptr;
    TUxLabel* UserNameLbl = nullptr;
    TUxLabel* UserNameValue = nullptr;
    TUxLabel* InitialValues = nullptr;
    TUxLabel* RuntimeLbl = nullptr;
    TUxLabel* RuntimeValue = nullptr;
    TUxLabel* EquilibrationTimeLbl = nullptr;
    TUxLabel* EquilibrationTimeValue = nullptr;
    TUxLabel* ColumnTempLbl = nullptr;
    TUxLabel* ColumnTempValue = nullptr;
    TUxLabel* ColumnTypeLbl = nullptr;
    TUxLabel* ColumnTypeValue = nullptr;
    TUxLabel* ReactorTempLbl = nullptr;
    TUxLabel* ReactorTempValue = nullptr;
    TUxLabel* ReactorVolumeLbl = nullptr;
    TUxLabel* ReactorVolumeValue = nullptr;
    TUxLabel* Pump1RateLbl = nullptr;
    TUxLabel* Pump1RateValue = nullptr;
    TUxLabel* Reagent1 = nullptr;
    TUxLabel* Reagent1Value = nullptr;
    TUxLabel* Pump2RateLbl = nullptr;
    TUxLabel* Pump2RateValue = nullptr;
    TUxLabel* Reagent2Lbl = nullptr;
    TUxLabel* Reagent2Value = nullptr;
    TUxLabel* PumpTTLbl = nullptr;
    TUxStringGrid* PumpTT = nullptr;
    TUxLabel* ColumnTTLbl = nullptr;
    TUxStringGrid* ColumnTT = nullptr;

  private:
    void FormCreate();
};

// What the method editor and the main window call: one form for one printout.
// True when the report was printed.
bool PrintMethodReport(const TMethodINIParams& rec, QWidget* owner = nullptr);
