#include "unicode/UxMenus.h"

#include <QAction>
#include <QHelpEvent>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QToolTip>
#include <exception>

#include "platform/Dialogs.h"

// ---- menu items

TUxMenuItem::TUxMenuItem(const QString& caption, QObject* parent)
    : QObject(parent), action_(new QAction(this)) {
    SetCaption(caption);
    connect(action_, &QAction::triggered, this, [this](bool) { runGuarded(OnClick); });
}

TUxMenuItem::~TUxMenuItem() {
    if (parentItem_) parentItem_->Remove(this);
    for (TUxMenuItem* child : items_) child->parentItem_ = nullptr;
    delete menu_;
}

void TUxMenuItem::SetCaption(const QString& caption) {
    caption_ = caption;
    caption8_ = caption.toStdString();
    // A separator draws its text in some styles: it keeps none.
    const bool separator = caption == QLatin1String("-");
    action_->setSeparator(separator);
    action_->setText(separator ? QString() : caption);
    if (menu_) menu_->setTitle(caption);
}

bool TUxMenuItem::GetEnabled() const {
    return action_->isEnabled();
}
void TUxMenuItem::SetEnabled(bool on) {
    action_->setEnabled(on);
}
bool TUxMenuItem::GetVisible() const {
    return action_->isVisible();
}
void TUxMenuItem::SetVisible(bool on) {
    action_->setVisible(on);
}
bool TUxMenuItem::GetChecked() const {
    return action_->isChecked();
}

void TUxMenuItem::SetChecked(bool on) {
    // Unchecking an item that was never checked leaves it as it looks: no empty check box.
    if (!on && !action_->isCheckable()) return;
    action_->setCheckable(true);
    action_->setChecked(on);
}

void TUxMenuItem::SetShortCut(const QKeySequence& keys) {
    action_->setShortcut(keys);
}

void TUxMenuItem::SetHint(const QString& hint) {
    action_->setToolTip(hint);
    action_->setStatusTip(hint);
}

QMenu* TUxMenuItem::ensureMenu() {
    if (!menu_) {
        menu_ = new QMenu(caption_);
        action_->setMenu(menu_);
    }
    return menu_;
}

TUxMenuItem* TUxMenuItem::Add(const QString& caption) {
    auto* item = new TUxMenuItem(caption, this);
    Add(item);
    return item;
}

void TUxMenuItem::Add(TUxMenuItem* item) {
    Insert(GetCount(), item);
}

void TUxMenuItem::Insert(int index, TUxMenuItem* item) {
    if (item->parentItem_) item->parentItem_->Remove(item);
    index = std::clamp(index, 0, GetCount());
    QMenu* m = ensureMenu();
    QAction* before = index < GetCount() ? items_[static_cast<size_t>(index)]->action_ : nullptr;
    m->insertAction(before, item->action_);
    items_.insert(items_.begin() + index, item);
    item->parentItem_ = this;
    if (!item->parent()) item->setParent(this);
}

void TUxMenuItem::Remove(TUxMenuItem* item) {
    auto it = std::find(items_.begin(), items_.end(), item);
    if (it == items_.end()) return;
    items_.erase(it);
    if (menu_) menu_->removeAction(item->action_);
    item->parentItem_ = nullptr;
}

TUxMenuItem* TUxMenuItem::GetItem(int index) const {
    if (index < 0 || index >= GetCount()) return nullptr;
    return items_[static_cast<size_t>(index)];
}

void TUxMenuItem::Click() {
    if (action_->isEnabled()) runGuarded(OnClick);
}

// ---- main menu and pop-up menu

TUxMainMenu::TUxMainMenu(QWidget* parent) : QMenuBar(parent) {}

TUxMenuItem* TUxMainMenu::Add(const QString& caption) {
    auto* item = new TUxMenuItem(caption, this);
    Add(item);
    return item;
}

void TUxMainMenu::Add(TUxMenuItem* item) {
    item->ensureMenu();
    addAction(item->action());
    items_.push_back(item);
    if (!item->parent()) item->setParent(this);
}

TUxMenuItem* TUxMainMenu::GetItem(int index) const {
    if (index < 0 || index >= GetCount()) return nullptr;
    return items_[static_cast<size_t>(index)];
}

TUxPopupMenu::TUxPopupMenu(QWidget* parent) : QMenu(parent) {}

TUxMenuItem* TUxPopupMenu::Add(const QString& caption) {
    auto* item = new TUxMenuItem(caption, this);
    Add(item);
    return item;
}

void TUxPopupMenu::Add(TUxMenuItem* item) {
    addAction(item->action());
    items_.push_back(item);
    if (!item->parent()) item->setParent(this);
}

TUxMenuItem* TUxPopupMenu::GetItem(int index) const {
    if (index < 0 || index >= GetCount()) return nullptr;
    return items_[static_cast<size_t>(index)];
}

// ---- status bar

void TUxStatusPanel::SetText(const QString& s) {
    if (s == text_) return;
    text_ = s;
    bar_->update();
}

void TUxStatusPanel::SetWidth(int w) {
    width_ = std::max(0, w);
    bar_->update();
}

void TUxStatusPanel::SetStyle(TStatusPanelStyle s) {
    style_ = s;
    bar_->update();
}

TUxStatusPanel* TUxStatusPanels::Add() {
    panels_.push_back(std::make_unique<TUxStatusPanel>(bar_));
    bar_->update();
    return panels_.back().get();
}

TUxStatusPanel* TUxStatusPanels::GetItem(int index) const {
    if (index < 0 || index >= GetCount()) return nullptr;
    return panels_[static_cast<size_t>(index)].get();
}

void TUxStatusPanels::Clear() {
    panels_.clear();
    bar_->update();
}

TUxCustomStatusBar::TUxCustomStatusBar(QWidget* parent) : QWidget(parent), panels_(this) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

TUxCustomStatusBar::~TUxCustomStatusBar() = default;

QSize TUxCustomStatusBar::sizeHint() const {
    return QSize(200, fontMetrics().height() + 8);
}

QRect TUxCustomStatusBar::PanelRect(int index) const {
    if (index < 0 || index >= panels_.GetCount()) return QRect();
    int x = 0;
    for (int i = 0; i < index; ++i) x += panels_.GetItem(i)->GetWidth();
    const bool last = index == panels_.GetCount() - 1;
    const int w = last ? std::max(0, width() - x) : panels_.GetItem(index)->GetWidth();
    return QRect(x, 0, w, height()).adjusted(1, 1, -1, -1);
}

QRect TUxCustomStatusBar::textRect(int index) const {
    return PanelRect(index).adjusted(3, 0, -2, 0);
}

QString TUxCustomStatusBar::PanelTip(int index) const {
    const TUxStatusPanel* panel = panels_.GetItem(index);
    if (!panel || panel->GetStyle() != psText) return QString();
    const QString text = panel->GetText();
    return fontMetrics().horizontalAdvance(text) > textRect(index).width() ? text : QString();
}

void TUxCustomStatusBar::FitPanel(int index, const QStringList& texts) {
    TUxStatusPanel* panel = panels_.GetItem(index);
    if (!panel) return;
    int widest = 0;
    for (const QString& t : texts) widest = std::max(widest, fontMetrics().horizontalAdvance(t));
    // The text rectangle is 7 pixels narrower than the panel (borders and margins).
    panel->SetWidth(std::max(panel->GetWidth(), widest + 8));
}

bool TUxCustomStatusBar::event(QEvent* e) {
    if (e->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(e);
        for (int i = 0; i < panels_.GetCount(); ++i) {
            if (!PanelRect(i).contains(help->pos())) continue;
            const QString tip = PanelTip(i);
            if (tip.isEmpty()) break;
            QToolTip::showText(help->globalPos(), tip, this, PanelRect(i));
            return true;
        }
        QToolTip::hideText();
        e->ignore();
        return true;
    }
    return QWidget::event(e);
}

void TUxCustomStatusBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    for (int i = 0; i < panels_.GetCount(); ++i) {
        const QRect r = PanelRect(i);
        p.setPen(palette().color(QPalette::Mid));
        p.drawRect(r.adjusted(-1, -1, 0, 0));
        TUxStatusPanel* panel = panels_.GetItem(i);
        if (panel->GetStyle() == psOwnerDraw) {
            if (!OnDrawPanel) continue;
            p.save();
            p.setClipRect(r);
            try {
                OnDrawPanel(p, i, r);
            } catch (const std::exception& e) {
                p.restore();
                // Not from inside a paint event: the box runs its own event loop.
                const QString message = QString::fromUtf8(e.what());
                QTimer::singleShot(0, this, [message] { showException(message); });
                continue;
            }
            p.restore();
        } else {
            p.setPen(palette().color(QPalette::WindowText));
            // A text longer than its panel ends in an ellipsis; the tooltip shows it whole.
            const QRect tr = textRect(i);
            const QString shown = fontMetrics().elidedText(panel->GetText(), Qt::ElideRight, tr.width());
            p.drawText(tr, Qt::AlignLeft | Qt::AlignVCenter, shown);
        }
    }
}
