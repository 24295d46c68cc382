#include "platform/Dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <memory>

#include "platform/i18n.h"

namespace {
MessageHandler& messageHandlerSlot() {
    static MessageHandler h;
    return h;
}

InputHandler& inputHandlerSlot() {
    static InputHandler h;
    return h;
}

// The first button of the set: what a box without a stated default offers.
MsgResult firstButton(MsgButtons b) {
    return b == MsgButtons::OK || b == MsgButtons::OKCancel ? mrOk : mrYes;
}

bool hasButton(MsgButtons b, MsgResult r) {
    switch (b) {
        case MsgButtons::OK:
            return r == mrOk;
        case MsgButtons::OKCancel:
            return r == mrOk || r == mrCancel;
        case MsgButtons::YesNo:
            return r == mrYes || r == mrNo;
        case MsgButtons::YesNoCancel:
            return r == mrYes || r == mrNo || r == mrCancel;
    }
    return false;
}

QMessageBox::Icon qtIcon(MsgIcon i) {
    switch (i) {
        case MsgIcon::None:
            return QMessageBox::NoIcon;
        case MsgIcon::Information:
            return QMessageBox::Information;
        case MsgIcon::Warning:
            return QMessageBox::Warning;
        case MsgIcon::Error:
            return QMessageBox::Critical;
        case MsgIcon::Question:
            return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

QWidget* ownerWindow() {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return nullptr;
    return QApplication::activeWindow();
}

// A box wraps its text between words only, so a long name would run past its edge. A file path
// (a word with a "/") may break after each "/" and nowhere else; in another long word, after its
// first characters, an invisible break chance follows each character.
QString wrappable(const QString& text) {
    constexpr int kLongWord = 24;
    const QChar breakChance(0x200B);  // zero-width space
    QString out;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = start;
        while (end < text.size() && !text[end].isSpace()) ++end;
        const QString word = text.mid(start, end - start);
        if (word.contains(QLatin1Char('/'))) {
            for (const QChar c : word) {
                out += c;
                if (c == QLatin1Char('/')) out += breakChance;
            }
        } else {
            int run = 0;
            for (const QChar c : word) {
                out += c;
                if (++run >= kLongWord && !c.isHighSurrogate()) out += breakChance;
            }
        }
        while (end < text.size() && text[end].isSpace()) out += text[end++];
        start = end;
    }
    return out;
}

MsgResult showRealBox(const MessageRequest& req) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return req.defaultButton;
    QMessageBox box(ownerWindow());
    box.setWindowTitle(req.title);
    box.setText(wrappable(req.text));
    box.setIcon(qtIcon(req.icon));
    struct Choice {
        MsgResult result;
        const char* text;
        QMessageBox::ButtonRole role;
    };
    static const Choice choices[] = {{mrOk, "OK", QMessageBox::AcceptRole},
                                     {mrYes, "Yes", QMessageBox::YesRole},
                                     {mrNo, "No", QMessageBox::NoRole},
                                     {mrCancel, "Cancel", QMessageBox::RejectRole}};
    std::vector<std::pair<QAbstractButton*, MsgResult>> buttons;
    QAbstractButton* escape = nullptr;
    for (const Choice& c : choices) {
        if (!hasButton(req.buttons, c.result)) continue;
        QPushButton* b = box.addButton(_(c.text), c.role);
        buttons.emplace_back(b, c.result);
        if (c.result == req.defaultButton) box.setDefaultButton(b);
        if (c.result == mrCancel || (c.result == mrOk && req.buttons == MsgButtons::OK)) escape = b;
    }
    if (escape) box.setEscapeButton(escape);
    // A short question under a long title: the box is as wide as its title needs.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(titleWidth(req.title), 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    box.exec();
    for (const auto& [b, r] : buttons)
        if (box.clickedButton() == b) return r;
    // Closed without a button: what Escape would give.
    return hasButton(req.buttons, mrCancel) ? mrCancel : req.buttons == MsgButtons::YesNo ? mrNo : mrOk;
}

bool showRealInput(InputRequest& req) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return false;
    QDialog dlg(ownerWindow());
    dlg.setWindowTitle(req.caption);
    auto* layout = new QVBoxLayout(&dlg);
    auto* prompt = new QLabel(req.prompt, &dlg);
    auto* edit = new QLineEdit(req.value, &dlg);
    prompt->setBuddy(edit);
    edit->selectAll();
    auto* buttons = new QDialogButtonBox(&dlg);
    QPushButton* ok = buttons->addButton(_("OK"), QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton(req.cancelCaption.isEmpty() ? _("Cancel") : req.cancelCaption,
                                             QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    cancel->setAutoDefault(false);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dlg, &QDialog::reject);
    layout->addWidget(prompt);
    layout->addWidget(edit);
    layout->addWidget(buttons);
    dlg.setMinimumWidth(300);
    if (dlg.exec() != QDialog::Accepted) return false;
    req.value = edit->text();
    return true;
}
}  // namespace

int titleWidth(const QString& title) {
    // Title bars commonly use a bold face; beside the title stand the icon and three buttons.
    constexpr int kTitleBarExtras = 150;
    QFont f = QApplication::font();
    f.setBold(true);
    return QFontMetrics(f).horizontalAdvance(title) + kTitleBarExtras;
}

MsgResult messageBox(const MessageRequest& request) {
    MessageRequest req = request;
    if (!hasButton(req.buttons, req.defaultButton)) req.defaultButton = firstButton(req.buttons);
    // Copy: the handler may replace itself while it runs.
    if (MessageHandler h = messageHandlerSlot()) return h(req);
    return showRealBox(req);
}

MsgResult messageBox(const QString& text, const QString& title, MsgButtons buttons, MsgResult defaultButton,
                     MsgIcon icon) {
    MessageRequest req;
    req.text = text;
    req.title = title;
    req.buttons = buttons;
    req.defaultButton = defaultButton;
    req.icon = icon;
    return messageBox(req);
}

bool inputQuery(const QString& caption, const QString& prompt, QString& value, const QString& cancelCaption) {
    InputRequest req{caption, prompt, cancelCaption, value};
    bool ok;
    if (InputHandler h = inputHandlerSlot())
        ok = h(req);
    else
        ok = showRealInput(req);
    if (ok) value = req.value;
    return ok;
}

void showException(const QString& message) {
    QString title = QGuiApplication::applicationDisplayName();
    if (title.isEmpty()) title = QCoreApplication::applicationName();
    messageBox(message, title, MsgButtons::OK, mrOk, MsgIcon::Error);
}

void showException(const std::exception& e) {
    showException(QString::fromUtf8(e.what()));
}

void runGuarded(const std::function<void()>& handler) {
    if (!handler) return;
    try {
        handler();
    } catch (const std::exception& e) {
        showException(e);
    } catch (...) {
        showException(QStringLiteral("Unknown error"));
    }
}

void connectTimer(QTimer* timer, QObject* context, std::function<void()> handler) {
    auto boxOpen = std::make_shared<bool>(false);
    const auto report = [boxOpen](const QString& message) {
        if (*boxOpen) {
            qWarning("%s", qUtf8Printable(message));
            return;
        }
        *boxOpen = true;
        struct Closed {
            bool& open;
            ~Closed() { open = false; }
        } closed{*boxOpen};
        showException(message);
    };
    QObject::connect(
        timer, &QTimer::timeout, context,
        [handler = std::move(handler), report] {
            try {
                handler();
            } catch (const std::exception& e) {
                report(QString::fromUtf8(e.what()));
            } catch (...) {
                report(QStringLiteral("Unknown error"));
            }
        },
        Qt::QueuedConnection);
}

void setMessageHandler(MessageHandler h) {
    messageHandlerSlot() = std::move(h);
}
void setInputHandler(InputHandler h) {
    inputHandlerSlot() = std::move(h);
}
MessageHandler currentMessageHandler() {
    return messageHandlerSlot();
}
InputHandler currentInputHandler() {
    return inputHandlerSlot();
}

DialogScript::DialogScript() : prevMessage_(currentMessageHandler()), prevInput_(currentInputHandler()) {
    setMessageHandler([this](const MessageRequest& req) {
        shown.push_back(req);
        if (onShow) onShow(req);
        if (!answers_.empty()) {
            MsgResult r = answers_.front();
            answers_.erase(answers_.begin());
            return r;
        }
        return req.defaultButton == mrNone ? mrOk : req.defaultButton;
    });
    setInputHandler([this](InputRequest& req) {
        queried.push_back(req);
        if (onInput) onInput(req);
        if (inputs_.empty()) return false;
        auto [ok, value] = inputs_.front();
        inputs_.erase(inputs_.begin());
        if (ok) req.value = value;
        return ok;
    });
}

DialogScript::~DialogScript() {
    setMessageHandler(prevMessage_);
    setInputHandler(prevInput_);
}
