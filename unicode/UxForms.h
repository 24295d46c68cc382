// The form class of the program's windows: a top-level widget with a caption, modal and
// non-modal showing, and the form events the windows use.
#pragma once
#include <QAbstractButton>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

class QEventLoop;

class TUxForm : public QWidget {
    Q_OBJECT
  public:
    explicit TUxForm(QWidget* owner = nullptr);
    ~TUxForm() override;
    // The form is kept at least as wide as its caption needs in the title bar.
    void SetCaption(const QString& caption);
    QString GetCaption() const { return windowTitle(); }

    // Shows the form modally and returns its modal result (mrCancel, 2, when it was closed
    // without one). Setting a non-zero modal result while it is shown modally closes it.
    int ShowModal();
    int GetModalResult() const { return modalResult_; }
    void SetModalResult(int r);
    bool IsModal() const { return loop_ != nullptr; }
    // Shows the form non-modally in front; one that the window system did not put on the screen
    // is shown anew.
    void Show();
    void Close() { close(); }
    // Centres the form over another widget (the screen when none), kept whole on the screen.
    void CentreOn(const QWidget* other);
    // The image of the form's client area (for printing it).
    QPixmap GetFormImage() { return grab(); }

    // Key preview: OnKeyDown sees every key pressed in the form or its controls first;
    // setting key to 0 consumes the key.
    void SetKeyPreview(bool on);
    std::function<void(int& key, Qt::KeyboardModifiers shift)> OnKeyDown;

    // The button that Escape presses (the form's Cancel or Close button), with whatever that
    // button asks. A modal form without one closes on Escape as its close box does.
    void SetCancelButton(QAbstractButton* button) { cancelButton_ = button; }
    QAbstractButton* GetCancelButton() const { return cancelButton_; }

    std::function<void()> OnShow;
    std::function<void()> OnHide;
    std::function<void()> OnActivate;
    std::function<void()> OnDeactivate;
    // Asked before closing; set canClose false to keep the form open.
    std::function<void(bool& canClose)> OnCloseQuery;
    std::function<void()> OnClose;

  protected:
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

  private:
    void fitTitle();
    QPointer<QAbstractButton> cancelButton_;
    int modalResult_ = 0;
    QEventLoop* loop_ = nullptr;
    bool keyPreview_ = false;
    bool wasActive_ = false;
};
