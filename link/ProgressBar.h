// The small window that shows the progress of writing an archive ("File Compression progress").
#pragma once
#include "unicode/UxForms.h"

class QProgressBar;

class TProgressBarForm : public TUxForm {
    Q_OBJECT
  public:
    explicit TProgressBarForm(QWidget* owner = nullptr);
    ~TProgressBarForm() override;
    // Position of the bar, 0 to 100 (values outside are held at the ends).
    void SetProgress(int value);
    int GetProgress() const;
    void FormShow();

    QProgressBar* ProgressBar1 = nullptr;
};

extern TProgressBarForm* ProgressBarForm;

// The main window, which the log and progress windows centre on (the active window when
// there is none).
const QWidget* mainWindowForCentring(const QWidget* self);
