// The form class of the program's windows: a top-level widget with a caption.
#pragma once
#include <QString>
#include <QWidget>

class TUxForm : public QWidget {
    Q_OBJECT
public:
    explicit TUxForm(QWidget* owner = nullptr);
    void SetCaption(const QString& caption) { setWindowTitle(caption); }
    QString GetCaption() const { return windowTitle(); }
};
