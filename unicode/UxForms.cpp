#include "unicode/UxForms.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QScreen>
#include <exception>

#include "platform/Dialogs.h"
#include "unicode/UxControls.h"

TUxForm::TUxForm(QWidget* owner) : QWidget(owner, Qt::Window) {
    watchWindowPlacement();
}

void TUxForm::Show() {
    showWindow(this);
}

TUxForm::~TUxForm() {
    if (keyPreview_ && qApp) qApp->removeEventFilter(this);
    if (loop_) loop_->exit(mrCancel);
}

void TUxForm::SetCaption(const QString& caption) {
    setWindowTitle(caption);
    if (isVisible()) fitTitle();
}

void TUxForm::fitTitle() {
    const int need = titleWidth(windowTitle());
    if (width() >= need) return;
    if (minimumWidth() == maximumWidth()) {
        setFixedWidth(need);
    } else {
        setMinimumWidth(need);
        resize(need, height());
    }
}

int TUxForm::ShowModal() {
    if (loop_) return modalResult_;
    modalResult_ = 0;
    const Qt::WindowModality oldModality = windowModality();
    setWindowModality(Qt::ApplicationModal);
    QEventLoop loop;
    loop_ = &loop;
    QPointer<TUxForm> self(this);
    show();
    // A modal result set by OnShow closes the form at once.
    if (modalResult_ == 0 && isVisible()) loop.exec(QEventLoop::DialogExec);
    if (!self) return mrCancel;
    loop_ = nullptr;
    if (isVisible()) hide();
    setWindowModality(oldModality);
    if (modalResult_ == 0) modalResult_ = mrCancel;
    return modalResult_;
}

void TUxForm::SetModalResult(int r) {
    modalResult_ = r;
    if (r != 0 && loop_) close();
}

void TUxForm::CentreOn(const QWidget* other) {
    centreWindow(this, other);
}

void TUxForm::SetKeyPreview(bool on) {
    if (on == keyPreview_) return;
    keyPreview_ = on;
    if (on)
        qApp->installEventFilter(this);
    else
        qApp->removeEventFilter(this);
}

bool TUxForm::eventFilter(QObject* watched, QEvent* e) {
    if (keyPreview_ && e->type() == QEvent::KeyPress && OnKeyDown && watched->isWidgetType()) {
        auto* w = static_cast<QWidget*>(watched);
        if (w != this && isAncestorOf(w)) {
            auto* ke = static_cast<QKeyEvent*>(e);
            int key = ke->key();
            runGuarded([&] { OnKeyDown(key, ke->modifiers()); });
            if (key == 0) return true;
        }
    }
    return QWidget::eventFilter(watched, e);
}

void TUxForm::keyPressEvent(QKeyEvent* e) {
    if (OnKeyDown) {
        int key = e->key();
        runGuarded([&] { OnKeyDown(key, e->modifiers()); });
        if (key == 0) {
            e->accept();
            return;
        }
    }
    // Escape reaches the form when no control took it (an open cell editor or list keeps it).
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
        if (cancelButton_) {
            if (cancelButton_->isVisible()) cancelButton_->click();  // a disabled one ignores it
            e->accept();
            return;
        }
        if (IsModal()) {
            e->accept();
            Close();
            return;
        }
    }
    // Enter reaches the form when no control took it: it presses the button drawn as the default.
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) &&
        (e->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        for (TUxButton* b : findChildren<TUxButton*>()) {
            if (!b->isDefault() || b->window() != this || !b->isVisible()) continue;
            b->Click();  // a disabled one ignores it
            e->accept();
            return;
        }
    }
    QWidget::keyPressEvent(e);
}

void TUxForm::showEvent(QShowEvent* e) {
    if (!e->spontaneous()) fitTitle();
    QWidget::showEvent(e);
    if (OnShow && !e->spontaneous()) runGuarded(OnShow);
}

void TUxForm::hideEvent(QHideEvent* e) {
    QWidget::hideEvent(e);
    if (OnHide && !e->spontaneous()) runGuarded(OnHide);
    if (loop_ && !e->spontaneous()) loop_->exit(modalResult_);
}

void TUxForm::closeEvent(QCloseEvent* e) {
    bool canClose = true;
    if (OnCloseQuery) runGuarded([&] { OnCloseQuery(canClose); });
    if (!canClose) {
        if (loop_) modalResult_ = 0;
        e->ignore();
        return;
    }
    if (OnClose) runGuarded(OnClose);
    e->accept();
    if (loop_) {
        if (modalResult_ == 0) modalResult_ = mrCancel;
        loop_->exit(modalResult_);
    }
}

void TUxForm::changeEvent(QEvent* e) {
    QWidget::changeEvent(e);
    if (e->type() != QEvent::ActivationChange) return;
    const bool active = isActiveWindow();
    if (active == wasActive_) return;
    wasActive_ = active;
    if (active && OnActivate) runGuarded(OnActivate);
    if (!active && OnDeactivate) runGuarded(OnDeactivate);
}
