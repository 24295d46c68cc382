#include "unicode/UxControls.h"

#include <QApplication>
#include <QButtonGroup>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <exception>

#include "platform/Dialogs.h"

void runUxEvent(const TNotifyEvent& handler) {
    runGuarded(handler);
}

namespace {
// True when w is self or lies inside it (popups of the control included).
bool within(const QWidget* self, const QWidget* w) {
    for (; w; w = w->parentWidget())
        if (w == self) return true;
    return false;
}

[[noreturn]] void indexError(int index, int count) {
    throw EStringListError("List index out of bounds (" + std::to_string(index) + "); the list has " +
                           std::to_string(count) + " items");
}
}  // namespace

TUxFocusEvents::~TUxFocusEvents() {
    QObject::disconnect(focusConnection_);
}

void TUxFocusEvents::watchFocus(QWidget* self) {
    focusConnection_ =
        QObject::connect(qApp, &QApplication::focusChanged, self, [this, self](QWidget* old, QWidget* now) {
            const bool wasIn = within(self, old);
            const bool isIn = within(self, now);
            if (wasIn && !isIn)
                runUxEvent(OnExit);
            else if (!wasIn && isIn)
                runUxEvent(OnEnter);
        });
}

bool uxHasWindow(const QWidget* w) {
    return w->parentWidget() != nullptr || w->testAttribute(Qt::WA_WState_Created) || w->isVisible();
}

// ---- label

TUxLabel::TUxLabel(QWidget* parent) : QLabel(parent) {}
TUxLabel::TUxLabel(const QString& caption, QWidget* parent) : QLabel(caption, parent) {}

void TUxLabel::SetCaption(const QString& caption) {
    setText(caption);
    update();
}

QColor TUxLabel::GetFontColor() const {
    return palette().color(foregroundRole());
}

void TUxLabel::SetFontColor(const QColor& c) {
    QPalette p = palette();
    p.setColor(QPalette::WindowText, c);
    p.setColor(foregroundRole(), c);
    setPalette(p);
}

void TUxLabel::mouseReleaseEvent(QMouseEvent* e) {
    QLabel::mouseReleaseEvent(e);
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) runUxEvent(OnClick);
}

// ---- edit

TUxEdit::TUxEdit(QWidget* parent) : QLineEdit(parent) {
    connect(this, &QLineEdit::textEdited, this, [this](const QString&) { runUxEvent(OnChange); });
    watchFocus(this);
}

void TUxEdit::SetText(const QString& s) {
    if (!uxHasWindow(this)) {
        setText(s);
        return;
    }
    if (s == text()) return;
    setText(s);
    runUxEvent(OnChange);
}

// ---- combo box

int TUxComboBoxStrings::GetCount() const {
    return box_->count();
}

QString TUxComboBoxStrings::Get(int index) const {
    if (index < 0 || index >= box_->count()) return QString();
    return box_->itemText(index);
}

void TUxComboBoxStrings::Put(int index, const QString& s) {
    if (index < 0 || index >= box_->count()) indexError(index, box_->count());
    box_->setItemText(index, s);
}

void TUxComboBoxStrings::Insert(int index, const QString& s) {
    if (index < 0 || index > box_->count()) indexError(index, box_->count());
    const QSignalBlocker block(box_);
    const int current = box_->currentIndex();
    box_->insertItem(index, s);
    // A non-editable box selects its first item by itself; keep "nothing chosen" as it was.
    if (current < 0) box_->setCurrentIndex(-1);
}

void TUxComboBoxStrings::Delete(int index) {
    if (index < 0 || index >= box_->count()) indexError(index, box_->count());
    const QSignalBlocker block(box_);
    box_->removeItem(index);
}

void TUxComboBoxStrings::Clear() {
    const QSignalBlocker block(box_);
    box_->clear();
}

int TUxComboBoxStrings::Add(const QString& s) {
    Insert(box_->count(), s);
    return box_->count() - 1;
}

TUxComboBox::TUxComboBox(QWidget* parent, bool editable) : QComboBox(parent), items_(this) {
    setEditable(editable);
    if (editable) {
        setInsertPolicy(QComboBox::NoInsert);
        connect(lineEdit(), &QLineEdit::textEdited, this, [this](const QString&) { runUxEvent(OnChange); });
    }
    connect(this, &QComboBox::activated, this, [this](int) {
        runUxEvent(OnClick);
        runUxEvent(OnChange);
    });
    watchFocus(this);
}

void TUxComboBox::SetText(const QString& s) {
    const QSignalBlocker block(this);
    if (isEditable()) {
        setEditText(s);
        return;
    }
    setCurrentIndex(items_.IndexOf(s));
}

void TUxComboBox::SetItemIndex(int index) {
    const QSignalBlocker block(this);
    setCurrentIndex(index >= 0 && index < count() ? index : -1);
}

// ---- list box

void TUxListBoxStrings::check(int index, int limit) const {
    if (index < 0 || index >= limit) indexError(index, box_->count());
}

int TUxListBoxStrings::GetCount() const {
    return box_->count();
}

QString TUxListBoxStrings::Get(int index) const {
    check(index, box_->count());
    return box_->item(index)->text();
}

void TUxListBoxStrings::Put(int index, const QString& s) {
    check(index, box_->count());
    box_->item(index)->setText(s);
}

void TUxListBoxStrings::Insert(int index, const QString& s) {
    check(index, box_->count() + 1);
    const QSignalBlocker block(box_);
    box_->insertItem(index, s);
}

void TUxListBoxStrings::Delete(int index) {
    check(index, box_->count());
    const QSignalBlocker block(box_);
    delete box_->takeItem(index);
}

void TUxListBoxStrings::Clear() {
    const QSignalBlocker block(box_);
    box_->clear();
}

TUxListBox::TUxListBox(QWidget* parent) : QListWidget(parent), items_(this) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QListWidget::itemSelectionChanged, this, [this] {
        if (programmatic_) return;
        changedInPress_ = true;
        runUxEvent(OnClick);
    });
    // A click on the item already selected is a click too.
    connect(this, &QListWidget::itemClicked, this, [this](QListWidgetItem*) {
        if (!changedInPress_) runUxEvent(OnClick);
    });
    connect(this, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem*) { runUxEvent(OnDblClick); });
    watchFocus(this);
}

void TUxListBox::mousePressEvent(QMouseEvent* e) {
    changedInPress_ = false;
    QListWidget::mousePressEvent(e);
}

void TUxListBox::AddItem(const QString& s, void* object) {
    const QSignalBlocker block(this);
    auto* item = new QListWidgetItem(s);
    if (object) item->setData(Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(object)));
    addItem(item);
}

int TUxListBox::GetItemIndex() const {
    const QModelIndexList sel = selectionModel()->selectedIndexes();
    return sel.isEmpty() ? -1 : sel.first().row();
}

void TUxListBox::SetItemIndex(int index) {
    programmatic_ = true;
    if (index < 0 || index >= count()) {
        clearSelection();
        setCurrentIndex(QModelIndex());
    } else {
        setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
        scrollToItem(item(index));
    }
    programmatic_ = false;
}

bool TUxListBox::GetSelected(int index) const {
    if (index < 0 || index >= count()) indexError(index, count());
    return item(index)->isSelected();
}

void TUxListBox::SetSelected(int index, bool selected) {
    if (index < 0 || index >= count()) indexError(index, count());
    if (selected)
        SetItemIndex(index);
    else if (item(index)->isSelected())
        SetItemIndex(-1);
}

// ---- string grid

class TUxGridDelegate : public QStyledItemDelegate {
  public:
    explicit TUxGridDelegate(TUxStringGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (!grid_->isFixed(index.column(), index.row())) {
            QStyledItemDelegate::paint(p, option, index);
            return;
        }
        const QPalette& pal = option.palette;
        p->save();
        p->fillRect(option.rect, pal.button());
        p->setPen(pal.color(QPalette::ButtonText));
        p->drawText(option.rect.adjusted(2, 0, -2, 0), Qt::AlignLeft | Qt::AlignVCenter,
                    index.data(Qt::DisplayRole).toString());
        p->restore();
    }

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                          const QModelIndex& index) const override {
        auto* e = new QLineEdit(parent);
        e->setFrame(false);
        const int col = index.column(), row = index.row();
        QPointer<TUxStringGrid> grid(grid_);
        QObject::connect(e, &QLineEdit::textEdited, grid_, [grid, col, row](const QString& s) {
            if (grid) grid->editorTextChanged(col, row, s);
        });
        editor_ = e;
        return e;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        // The cell follows the editor on every keystroke; do not disturb the editor then.
        auto* e = static_cast<QLineEdit*>(editor);
        const QString s = index.data(Qt::EditRole).toString();
        if (e->text() != s) e->setText(s);
    }

    QWidget* editor() const { return editor_.data(); }

  private:
    TUxStringGrid* grid_;
    mutable QPointer<QLineEdit> editor_;
};

TUxStringGrid::TUxStringGrid(QWidget* parent, int colCount, int rowCount)
    : QTableWidget(rowCount, colCount, parent), delegate_(new TUxGridDelegate(this)) {
    setItemDelegate(delegate_);
    horizontalHeader()->hide();
    verticalHeader()->hide();
    horizontalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setMinimumSectionSize(1);
    horizontalHeader()->setDefaultSectionSize(64);
    verticalHeader()->setDefaultSectionSize(24);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(false);
    watchFocus(this);
    ensureCurrent();
}

TUxStringGrid::~TUxStringGrid() = default;

QTableWidgetItem* TUxStringGrid::cellItem(int col, int row) {
    QTableWidgetItem* it = item(row, col);
    if (!it) {
        it = new QTableWidgetItem;
        setItem(row, col, it);
    }
    return it;
}

QString TUxStringGrid::GetCells(int col, int row) const {
    if (col < 0 || row < 0 || col >= columnCount() || row >= rowCount()) return QString();
    const QTableWidgetItem* it = item(row, col);
    return it ? it->text() : QString();
}

void TUxStringGrid::SetCells(int col, int row, const QString& s) {
    if (col < 0 || row < 0 || col >= columnCount() || row >= rowCount()) return;
    QTableWidgetItem* it = item(row, col);
    if (!it && s.isEmpty()) return;
    cellItem(col, row)->setText(s);
}

TUxStringGridStrings* TUxStringGrid::GetCols(int col) {
    auto& p = cols_[col];
    if (!p) p = std::make_unique<TUxStringGridStrings>(this, col, true);
    return p.get();
}

TUxStringGridStrings* TUxStringGrid::GetRows(int row) {
    auto& p = rows_[row];
    if (!p) p = std::make_unique<TUxStringGridStrings>(this, row, false);
    return p.get();
}

void TUxStringGrid::SetRowCount(int n) {
    setRowCount(std::max(0, n));
    ensureCurrent();
}

void TUxStringGrid::SetColCount(int n) {
    setColumnCount(std::max(0, n));
    ensureCurrent();
}

void TUxStringGrid::SetFixedRows(int n) {
    fixedRows_ = std::max(0, n);
    ensureCurrent();
    viewport()->update();
}

void TUxStringGrid::SetFixedCols(int n) {
    fixedCols_ = std::max(0, n);
    ensureCurrent();
    viewport()->update();
}

// Keeps the current cell on a non-fixed cell inside the grid, without asking.
void TUxStringGrid::ensureCurrent() {
    const QModelIndex cur = currentIndex();
    if (cur.isValid() && !isFixed(cur.column(), cur.row())) return;
    if (columnCount() > fixedCols_ && rowCount() > fixedRows_)
        setCurrentIndex(model()->index(fixedRows_, fixedCols_));
}

int TUxStringGrid::GetCol() const {
    const QModelIndex cur = currentIndex();
    return cur.isValid() ? cur.column() : fixedCols_;
}

int TUxStringGrid::GetRow() const {
    const QModelIndex cur = currentIndex();
    return cur.isValid() ? cur.row() : fixedRows_;
}

bool TUxStringGrid::askSelect(int col, int row) {
    if (!OnSelectCell) return true;
    bool can = true;
    try {
        OnSelectCell(col, row, can);
    } catch (const std::exception& e) {
        showException(QString::fromUtf8(e.what()));
        return false;
    }
    return can;
}

bool TUxStringGrid::SetCurrentCell(int col, int row) {
    if (col < 0 || row < 0 || col >= columnCount() || row >= rowCount() || isFixed(col, row)) return false;
    const QModelIndex cur = currentIndex();
    if (cur.isValid() && cur.column() == col && cur.row() == row) return true;
    if (!askSelect(col, row)) return false;
    setCurrentIndex(model()->index(row, col));
    return true;
}

void TUxStringGrid::SetDefaultColWidth(int w) {
    horizontalHeader()->setDefaultSectionSize(w);
    for (int c = 0; c < columnCount(); ++c) setColumnWidth(c, w);
}

void TUxStringGrid::SetDefaultRowHeight(int h) {
    verticalHeader()->setDefaultSectionSize(h);
    for (int r = 0; r < rowCount(); ++r) setRowHeight(r, h);
}

QRect TUxStringGrid::CellRect(int col, int row) const {
    if (col < 0 || row < 0 || col >= columnCount() || row >= rowCount()) return QRect();
    const QRect r(columnViewportPosition(col), rowViewportPosition(row), columnWidth(col), rowHeight(row));
    if (!r.intersects(viewport()->rect())) return QRect();
    return r.translated(viewport()->pos());
}

int TUxStringGrid::GetVisibleRowCount() const {
    const int h = viewport()->height();
    int n = 0;
    for (int r = GetTopRow(); r < rowCount(); ++r) {
        if (rowViewportPosition(r) + rowHeight(r) > h) break;
        ++n;
    }
    return n;
}

int TUxStringGrid::GetVisibleColCount() const {
    const int w = viewport()->width();
    int n = 0;
    int first = std::max(fixedCols_, columnAt(0));
    for (int c = first; c < columnCount(); ++c) {
        if (columnViewportPosition(c) + columnWidth(c) > w) break;
        ++n;
    }
    return n;
}

int TUxStringGrid::GetTopRow() const {
    return std::max(fixedRows_, rowAt(0));
}

void TUxStringGrid::SetTopRow(int row) {
    if (row < 0 || row >= rowCount()) return;
    scrollTo(model()->index(row, std::max(0, columnAt(0))), QAbstractItemView::PositionAtTop);
}

void TUxStringGrid::SetEditing(bool on) {
    editing_ = on;
    setEditTriggers(on ? (QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                          QAbstractItemView::AnyKeyPressed | QAbstractItemView::SelectedClicked)
                       : QAbstractItemView::NoEditTriggers);
}

void TUxStringGrid::SetEditorMode(bool on) {
    if (on) {
        edit(currentIndex(), QAbstractItemView::AllEditTriggers, nullptr);
        return;
    }
    if (QWidget* e = delegate_->editor(); e && state() == QAbstractItemView::EditingState) {
        commitData(e);
        closeEditor(e, QAbstractItemDelegate::NoHint);
    }
}

void TUxStringGrid::editorTextChanged(int col, int row, const QString& s) {
    cellItem(col, row)->setText(s);
    if (!OnSetEditText) return;
    try {
        OnSetEditText(col, row, s);
    } catch (const std::exception& e) {
        showException(QString::fromUtf8(e.what()));
    }
}

bool TUxStringGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    if (!index.isValid() || !editing_ || isFixed(index.column(), index.row())) return false;
    return QTableWidget::edit(index, trigger, event);
}

QModelIndex TUxStringGrid::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    const int fc = fixedCols_, fr = fixedRows_, nc = columnCount(), nr = rowCount();
    if (nc <= fc || nr <= fr) return currentIndex();
    int c = std::clamp(GetCol(), fc, nc - 1);
    int r = std::clamp(GetRow(), fr, nr - 1);
    const int page = std::max(1, GetVisibleRowCount());
    switch (action) {
        case MoveUp:
            r = std::max(fr, r - 1);
            break;
        case MoveDown:
            r = std::min(nr - 1, r + 1);
            break;
        case MoveLeft:
            c = std::max(fc, c - 1);
            break;
        case MoveRight:
            c = std::min(nc - 1, c + 1);
            break;
        case MoveHome:
            c = fc;
            if (modifiers & Qt::ControlModifier) r = fr;
            break;
        case MoveEnd:
            c = nc - 1;
            if (modifiers & Qt::ControlModifier) r = nr - 1;
            break;
        case MovePageUp:
            r = std::max(fr, r - page);
            break;
        case MovePageDown:
            r = std::min(nr - 1, r + page);
            break;
        case MoveNext:
            if (++c >= nc) {
                c = fc;
                if (++r >= nr) r = fr;
            }
            break;
        case MovePrevious:
            if (--c < fc) {
                c = nc - 1;
                if (--r < fr) r = nr - 1;
            }
            break;
    }
    const QModelIndex cur = currentIndex();
    if (cur.isValid() && cur.column() == c && cur.row() == r) return cur;
    if (!askSelect(c, r)) return cur;
    return model()->index(r, c);
}

void TUxStringGrid::mousePressEvent(QMouseEvent* e) {
    const QModelIndex idx = indexAt(e->position().toPoint());
    if (idx.isValid()) {
        if (isFixed(idx.column(), idx.row())) {
            e->accept();
            if (!hasFocus()) setFocus(Qt::MouseFocusReason);
            return;
        }
        const QModelIndex cur = currentIndex();
        if (idx != cur && !askSelect(idx.column(), idx.row())) {
            e->accept();
            return;
        }
    }
    QTableWidget::mousePressEvent(e);
}

void TUxStringGrid::mouseMoveEvent(QMouseEvent* e) {
    // Dragging would move the current cell without asking OnSelectCell.
    if (e->buttons() != Qt::NoButton) {
        e->accept();
        return;
    }
    QTableWidget::mouseMoveEvent(e);
}

QItemSelectionModel::SelectionFlags TUxStringGrid::selectionCommand(const QModelIndex& index,
                                                                    const QEvent* event) const {
    if (index.isValid() && isFixed(index.column(), index.row())) return QItemSelectionModel::NoUpdate;
    return QTableWidget::selectionCommand(index, event);
}

int TUxStringGridStrings::GetCount() const {
    return column_ ? grid_->rowCount() : grid_->columnCount();
}

QString TUxStringGridStrings::Get(int index) const {
    return column_ ? grid_->GetCells(index_, index) : grid_->GetCells(index, index_);
}

void TUxStringGridStrings::Put(int index, const QString& s) {
    if (column_)
        grid_->SetCells(index_, index, s);
    else
        grid_->SetCells(index, index_, s);
}

void TUxStringGridStrings::Insert(int, const QString&) {
    throw EStringListError("Cells of a grid cannot be inserted through a column or row list");
}

void TUxStringGridStrings::Delete(int) {
    throw EStringListError("Cells of a grid cannot be deleted through a column or row list");
}

void TUxStringGridStrings::Clear() {
    const int n = GetCount();
    for (int i = 0; i < n; ++i) Put(i, QString());
}

int TUxStringGridStrings::Add(const QString& s) {
    const int n = GetCount();
    for (int i = 0; i < n; ++i) {
        if (Get(i).isEmpty()) {
            Put(i, s.isEmpty() ? QStringLiteral(" ") : s);
            return i;
        }
    }
    return -1;
}

// ---- radio group

int TUxRadioGroupStrings::GetCount() const {
    return static_cast<int>(group_->buttons_.size());
}

QString TUxRadioGroupStrings::Get(int index) const {
    if (index < 0 || index >= GetCount()) indexError(index, GetCount());
    return group_->buttons_[static_cast<size_t>(index)]->text();
}

void TUxRadioGroupStrings::Put(int index, const QString& s) {
    if (index < 0 || index >= GetCount()) indexError(index, GetCount());
    group_->buttons_[static_cast<size_t>(index)]->setText(s);
}

void TUxRadioGroupStrings::Insert(int index, const QString& s) {
    if (index < 0 || index > GetCount()) indexError(index, GetCount());
    QStringList t = group_->texts();
    t.insert(index, s);
    group_->rebuild(t, group_->GetItemIndex());
}

void TUxRadioGroupStrings::Delete(int index) {
    if (index < 0 || index >= GetCount()) indexError(index, GetCount());
    QStringList t = group_->texts();
    t.removeAt(index);
    group_->rebuild(t, group_->GetItemIndex());
}

void TUxRadioGroupStrings::Clear() {
    group_->rebuild(QStringList(), -1);
}

TUxRadioGroup::TUxRadioGroup(QWidget* parent) : TUxRadioGroup(QString(), parent) {}

TUxRadioGroup::TUxRadioGroup(const QString& caption, QWidget* parent)
    : QGroupBox(caption, parent),
      items_(this),
      group_(new QButtonGroup(this)),
      layout_(new QVBoxLayout(this)) {
    group_->setExclusive(true);
    connect(group_, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (checked && !rebuilding_) runUxEvent(OnClick);
    });
}

QStringList TUxRadioGroup::texts() const {
    QStringList t;
    for (const QRadioButton* b : buttons_) t.append(b->text());
    return t;
}

// The item index is kept by number, limited to the new item count.
void TUxRadioGroup::rebuild(const QStringList& items, int checked) {
    rebuilding_ = true;
    for (QRadioButton* b : buttons_) {
        group_->removeButton(b);
        delete b;
    }
    buttons_.clear();
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        group_->addButton(b, i);
        layout_->addWidget(b);
        buttons_.push_back(b);
    }
    if (checked >= static_cast<int>(buttons_.size())) checked = static_cast<int>(buttons_.size()) - 1;
    if (checked >= 0) buttons_[static_cast<size_t>(checked)]->setChecked(true);
    rebuilding_ = false;
}

int TUxRadioGroup::GetItemIndex() const {
    for (size_t i = 0; i < buttons_.size(); ++i)
        if (buttons_[i]->isChecked()) return static_cast<int>(i);
    return -1;
}

void TUxRadioGroup::SetItemIndex(int index) {
    if (index < -1 || index >= static_cast<int>(buttons_.size())) index = -1;
    if (index == GetItemIndex()) return;
    if (index < 0) {
        group_->setExclusive(false);
        for (QRadioButton* b : buttons_) b->setChecked(false);
        group_->setExclusive(true);
        return;
    }
    buttons_[static_cast<size_t>(index)]->setChecked(true);
}

QRadioButton* TUxRadioGroup::button(int index) const {
    if (index < 0 || index >= static_cast<int>(buttons_.size())) return nullptr;
    return buttons_[static_cast<size_t>(index)];
}

// ---- buttons

TUxCheckBox::TUxCheckBox(QWidget* parent) : TUxCheckBox(QString(), parent) {}

TUxCheckBox::TUxCheckBox(const QString& caption, QWidget* parent) : QCheckBox(caption, parent) {
    connect(this, &QAbstractButton::clicked, this, [this](bool) { runUxEvent(OnClick); });
    watchFocus(this);
}

void TUxCheckBox::SetChecked(bool checked) {
    if (checked == isChecked()) return;
    setChecked(checked);
    runUxEvent(OnClick);
}

TUxRadioButton::TUxRadioButton(QWidget* parent) : TUxRadioButton(QString(), parent) {}

TUxRadioButton::TUxRadioButton(const QString& caption, QWidget* parent) : QRadioButton(caption, parent) {
    connect(this, &QAbstractButton::clicked, this, [this](bool) { runUxEvent(OnClick); });
}

void TUxRadioButton::SetChecked(bool checked) {
    if (checked == isChecked()) return;
    setChecked(checked);
    if (checked) runUxEvent(OnClick);
}

TUxButton::TUxButton(QWidget* parent) : TUxButton(QString(), parent) {}

TUxButton::TUxButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    setAutoDefault(false);
    connect(this, &QAbstractButton::clicked, this, [this](bool) { runUxEvent(OnClick); });
}

void TUxButton::Click() {
    if (isEnabled()) runUxEvent(OnClick);
}

TUxGroupBox::TUxGroupBox(QWidget* parent) : QGroupBox(parent) {}
TUxGroupBox::TUxGroupBox(const QString& caption, QWidget* parent) : QGroupBox(caption, parent) {}

// ---- page control

TUxTabSheet::TUxTabSheet(TUxPageControl* control, const QString& caption)
    : QWidget(nullptr), control_(nullptr), caption_(caption) {
    if (control) control->AddPage(this);
}

void TUxTabSheet::SetCaption(const QString& caption) {
    caption_ = caption;
    if (control_) control_->setTabText(control_->indexOf(this), caption);
}

int TUxTabSheet::GetPageIndex() const {
    return control_ ? control_->indexOf(const_cast<TUxTabSheet*>(this)) : -1;
}

TUxPageControl::TUxPageControl(QWidget* parent) : QTabWidget(parent) {
    connect(this, &QTabWidget::currentChanged, this, [this](int) {
        if (!programmatic_) runUxEvent(OnChange);
    });
}

void TUxPageControl::AddPage(TUxTabSheet* page) {
    programmatic_ = true;
    page->control_ = this;
    addTab(page, page->caption_);
    programmatic_ = false;
}

TUxTabSheet* TUxPageControl::GetPage(int index) const {
    return qobject_cast<TUxTabSheet*>(widget(index));
}

TUxTabSheet* TUxPageControl::GetActivePage() const {
    return qobject_cast<TUxTabSheet*>(currentWidget());
}

void TUxPageControl::SetActivePage(TUxTabSheet* page) {
    programmatic_ = true;
    setCurrentWidget(page);
    programmatic_ = false;
}

void TUxPageControl::SetActivePageIndex(int index) {
    programmatic_ = true;
    setCurrentIndex(index);
    programmatic_ = false;
}
