// The two temperature calibration notices. Calibration is done by a separate utilities
// program; these dialogs say so and offer to end this program at once.
#pragma once
#include <functional>

#include "unicode/UxForms.h"

class QLabel;
class TUxButton;

class TTempCalibrationNotice : public TUxForm {
    Q_OBJECT
  public:
    // Close: ends the process at once with exit code 0 (no closing confirmation, no shutdown steps).
    void OKBtnClick();
    // Cancel: closes the dialog.
    void CancelBtnClick();

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    TUxButton* OKBtn = nullptr;
    TUxButton* CancelBtn = nullptr;

    // How the process ends; tests replace it. Default: the runtime's normal exit.
    static std::function<void(int)> ExitProcess;

  protected:
    TTempCalibrationNotice(const QString& caption, const QString& request, QWidget* owner);
};

class TReactorTempCalibration : public TTempCalibrationNotice {
    Q_OBJECT
  public:
    explicit TReactorTempCalibration(QWidget* owner = nullptr);
    ~TReactorTempCalibration() override;
};

class TColumnTempCalibration : public TTempCalibrationNotice {
    Q_OBJECT
  public:
    explicit TColumnTempCalibration(QWidget* owner = nullptr);
    ~TColumnTempCalibration() override;
};

// The notices, created at start-up.
extern TReactorTempCalibration* ReactorTempCalibration;
extern TColumnTempCalibration* ColumnTempCalibration;
