#include "link/ProgressBar.h"

#include <QApplication>
#include <QProgressBar>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/i18n.h"

TProgressBarForm* ProgressBarForm = nullptr;

const QWidget* mainWindowForCentring(const QWidget* self) {
    for (const QWidget* w : QApplication::topLevelWidgets())
        if (w != self && w->inherits("TMainForm") && w->isVisible()) return w;
    const QWidget* active = QApplication::activeWindow();
    return active != self ? active : nullptr;
}

TProgressBarForm::TProgressBarForm(QWidget* owner) : TUxForm(owner) {
    // A title without the close, minimise and maximise buttons.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    SetCaption(QStringLiteral("File Compression progress"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setMinimumWidth(300);
    layout->addWidget(ProgressBar1);
    TranslateComponent(this);
    OnShow = [this] { FormShow(); };
}

TProgressBarForm::~TProgressBarForm() {
    if (ProgressBarForm == this) ProgressBarForm = nullptr;
}

void TProgressBarForm::SetProgress(int value) {
    ProgressBar1->setValue(std::clamp(value, 0, 100));
    // The archive is written inside one handler: paint now, without running the event loop.
    if (isVisible()) ProgressBar1->repaint();
}

int TProgressBarForm::GetProgress() const {
    return ProgressBar1->value();
}

void TProgressBarForm::FormShow() {
    CentreOn(mainWindowForCentring(this));
}
