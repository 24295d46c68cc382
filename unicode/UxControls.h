// Unicode controls of the program's windows, on Qt widgets. Each is the Qt widget itself
// (geometry, visibility, enabled state, tool tips through the Qt API) plus the operations
// and events the windows use. Events are std::function members; an empty one does nothing.
// Handlers run on the GUI thread; an exception from a handler is shown through the
// dialog service and never crosses the event loop.
#pragma once
#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableWidget>
#include <functional>
#include <map>
#include <memory>

#include "unicode/UxStrings.h"

class QButtonGroup;
class QVBoxLayout;

using TNotifyEvent = std::function<void()>;

// Runs an event handler; an exception is shown in the application's error box.
void runUxEvent(const TNotifyEvent& handler);

// OnEnter / OnExit of a control: focus arriving at, or leaving, the control and its children.
struct TUxFocusEvents {
    TNotifyEvent OnEnter;
    TNotifyEvent OnExit;

  protected:
    TUxFocusEvents() = default;
    TUxFocusEvents(const TUxFocusEvents&) = delete;
    TUxFocusEvents& operator=(const TUxFocusEvents&) = delete;
    // Disconnects before the widget part goes (its destructor may move the focus).
    ~TUxFocusEvents();
    void watchFocus(QWidget* self);

  private:
    QMetaObject::Connection focusConnection_;
};

// "Has its window": the control has a parent or has been shown. Without one, SetText only
// stores the text (no change event), as a control whose window does not exist yet.
bool uxHasWindow(const QWidget* w);

class TUxLabel : public QLabel {
    Q_OBJECT
  public:
    explicit TUxLabel(QWidget* parent = nullptr);
    TUxLabel(const QString& caption, QWidget* parent);
    void SetCaption(const QString& caption);
    QString GetCaption() const { return text(); }
    QColor GetFontColor() const;
    void SetFontColor(const QColor& c);
    TNotifyEvent OnClick;

  protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
};
using TUxCustomLabel = TUxLabel;

class TUxEdit : public QLineEdit, public TUxFocusEvents {
    Q_OBJECT
  public:
    explicit TUxEdit(QWidget* parent = nullptr);
    QString GetText() const { return text(); }
    // With its window: fires OnChange when the text differs from the shown one. Without:
    // stores the text only.
    void SetText(const QString& s);
    // Fires on every change the operator makes, and on SetText as above.
    TNotifyEvent OnChange;
};
using TUxCustomEdit = TUxEdit;

class TUxComboBox;

// The item list of a combo box. Get outside the list (-1 included) gives "".
class TUxComboBoxStrings : public TUxStrings {
  public:
    explicit TUxComboBoxStrings(QComboBox* box) : box_(box) {}
    int GetCount() const override;
    QString Get(int index) const override;
    void Put(int index, const QString& s) override;
    void Insert(int index, const QString& s) override;
    void Delete(int index) override;
    void Clear() override;
    int Add(const QString& s) override;

  private:
    QComboBox* box_;
};

class TUxComboBox : public QComboBox, public TUxFocusEvents {
    Q_OBJECT
  public:
    // Drop-down list (no free text) unless editable is asked for.
    explicit TUxComboBox(QWidget* parent = nullptr, bool editable = false);
    TUxComboBoxStrings* GetItems() { return &items_; }
    // The edit part's text (editable box) or the selected item's text.
    QString GetText() const { return currentText(); }
    void SetText(const QString& s);
    int GetItemIndex() const { return currentIndex(); }
    void SetItemIndex(int index);  // -1 selects nothing; does not fire events
    void SetDropDownCount(int n) { setMaxVisibleItems(n); }
    // An item chosen by the operator: OnClick, then OnChange. Editing the text: OnChange.
    TNotifyEvent OnClick;
    TNotifyEvent OnChange;

  private:
    TUxComboBoxStrings items_;
};
using TUxCustomComboBox = TUxComboBox;

// The item list of a list box; an index outside the list raises EStringListError.
class TUxListBoxStrings : public TUxStrings {
  public:
    explicit TUxListBoxStrings(QListWidget* box) : box_(box) {}
    int GetCount() const override;
    QString Get(int index) const override;
    void Put(int index, const QString& s) override;
    void Insert(int index, const QString& s) override;
    void Delete(int index) override;
    void Clear() override;

  private:
    void check(int index, int limit) const;
    QListWidget* box_;
};

// Single-selection list box.
class TUxListBox : public QListWidget, public TUxFocusEvents {
    Q_OBJECT
  public:
    explicit TUxListBox(QWidget* parent = nullptr);
    TUxListBoxStrings* GetItems() { return &items_; }
    void AddItem(const QString& s, void* object = nullptr);
    void Clear() { items_.Clear(); }  // a clear from code fires no click
    int GetCount() const { return count(); }
    int GetItemIndex() const;
    void SetItemIndex(int index);  // -1 selects nothing; does not fire events
    bool GetSelected(int index) const;
    void SetSelected(int index, bool selected);
    // A click on an item (or a selection change by keyboard), and a double click.
    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;

  protected:
    void mousePressEvent(QMouseEvent* e) override;

  private:
    TUxListBoxStrings items_;
    bool programmatic_ = false;
    bool changedInPress_ = false;
};
using TUxCustomListBox = TUxListBox;

class TUxStringGrid;

// A column (or row) of a grid as a string list: item i is the cell of row (column) i.
// Add writes into the first empty cell ("" is written as " "), -1 when none is empty.
// Insert and Delete are not possible and raise EStringListError.
class TUxStringGridStrings : public TUxStrings {
  public:
    TUxStringGridStrings(TUxStringGrid* grid, int index, bool column)
        : grid_(grid), index_(index), column_(column) {}
    int GetCount() const override;
    QString Get(int index) const override;
    void Put(int index, const QString& s) override;
    void Insert(int index, const QString& s) override;
    void Delete(int index) override;
    void Clear() override;  // empties every cell of the line
    int Add(const QString& s) override;

  private:
    TUxStringGrid* grid_;
    int index_;
    bool column_;
};

// Grid of Unicode cells. Rows and columns count from 0 including the fixed ones (the
// first FixedRows rows and FixedCols columns: grey, never current, never edited).
class TUxStringGrid : public QTableWidget, public TUxFocusEvents {
    Q_OBJECT
  public:
    explicit TUxStringGrid(QWidget* parent = nullptr, int colCount = 5, int rowCount = 5);
    ~TUxStringGrid() override;

    QString GetCells(int col, int row) const;
    // Writes one cell; a cell outside the grid is left alone.
    void SetCells(int col, int row, const QString& s);
    TUxStringGridStrings* GetCols(int col);
    TUxStringGridStrings* GetRows(int row);

    int GetRowCount() const { return rowCount(); }
    void SetRowCount(int n);  // fewer drops the last rows, more adds empty ones
    int GetColCount() const { return columnCount(); }
    void SetColCount(int n);
    int GetFixedRows() const { return fixedRows_; }
    void SetFixedRows(int n);
    int GetFixedCols() const { return fixedCols_; }
    void SetFixedCols(int n);

    // The current cell. Moving it asks OnSelectCell first (as the operator's moves do).
    int GetCol() const;
    int GetRow() const;
    void SetCol(int col) { SetCurrentCell(col, GetRow()); }
    void SetRow(int row) { SetCurrentCell(GetCol(), row); }
    bool SetCurrentCell(int col, int row);  // false when refused or outside the grid

    int GetColWidths(int col) const { return columnWidth(col); }
    void SetColWidths(int col, int w) { setColumnWidth(col, w); }
    int GetRowHeights(int row) const { return rowHeight(row); }
    void SetRowHeights(int row, int h) { setRowHeight(row, h); }
    void SetDefaultColWidth(int w);
    void SetDefaultRowHeight(int h);
    // The cell's rectangle in the grid's coordinates (empty when not visible).
    QRect CellRect(int col, int row) const;
    int GetVisibleRowCount() const;
    int GetVisibleColCount() const;
    int GetTopRow() const;
    void SetTopRow(int row);

    // Options: editing of cells, Tab moving between cells.
    void SetEditing(bool on);
    bool GetEditing() const { return editing_; }
    void SetTabMoves(bool on) { setTabKeyNavigation(on); }
    bool GetTabMoves() const { return tabKeyNavigation(); }
    bool GetEditorMode() const { return state() == QAbstractItemView::EditingState; }
    void SetEditorMode(bool on);  // opens (or closes) the in-place editor on the current cell

    // The column and row being entered; the handler may set canSelect false to refuse.
    std::function<void(int col, int row, bool& canSelect)> OnSelectCell;
    // The in-place editor changed a cell (every keystroke); the cell already holds the text.
    std::function<void(int col, int row, const QString& value)> OnSetEditText;

    bool isFixed(int col, int row) const { return col < fixedCols_ || row < fixedRows_; }

  protected:
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override;
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;

  private:
    friend class TUxGridDelegate;
    bool askSelect(int col, int row);
    void editorTextChanged(int col, int row, const QString& s);
    QTableWidgetItem* cellItem(int col, int row);
    void ensureCurrent();

    int fixedRows_ = 1;
    int fixedCols_ = 1;
    bool editing_ = false;
    class TUxGridDelegate* delegate_;
    std::map<int, std::unique_ptr<TUxStringGridStrings>> cols_;
    std::map<int, std::unique_ptr<TUxStringGridStrings>> rows_;
};

class TUxRadioGroup;

// Item list of a radio group: one radio button per item.
class TUxRadioGroupStrings : public TUxStrings {
  public:
    explicit TUxRadioGroupStrings(TUxRadioGroup* group) : group_(group) {}
    int GetCount() const override;
    QString Get(int index) const override;
    void Put(int index, const QString& s) override;
    void Insert(int index, const QString& s) override;
    void Delete(int index) override;
    void Clear() override;

  private:
    TUxRadioGroup* group_;
};

class TUxRadioGroup : public QGroupBox {
    Q_OBJECT
  public:
    explicit TUxRadioGroup(QWidget* parent = nullptr);
    TUxRadioGroup(const QString& caption, QWidget* parent);
    void SetCaption(const QString& caption) { setTitle(caption); }
    QString GetCaption() const { return title(); }
    TUxRadioGroupStrings* GetItems() { return &items_; }
    TUxRadioGroupStrings* Items() { return &items_; }
    int GetItemIndex() const;  // -1 when none is selected
    // Selects that button (0 the first, -1 none). A change fires OnClick.
    void SetItemIndex(int index);
    QRadioButton* button(int index) const;
    // A different button chosen (by the operator or SetItemIndex).
    TNotifyEvent OnClick;

  private:
    friend class TUxRadioGroupStrings;
    void rebuild(const QStringList& items, int checked);
    QStringList texts() const;
    TUxRadioGroupStrings items_;
    QButtonGroup* group_;
    QVBoxLayout* layout_;
    std::vector<QRadioButton*> buttons_;
    bool rebuilding_ = false;
};
using TUxCustomRadioGroup = TUxRadioGroup;

class TUxCheckBox : public QCheckBox, public TUxFocusEvents {
    Q_OBJECT
  public:
    explicit TUxCheckBox(QWidget* parent = nullptr);
    TUxCheckBox(const QString& caption, QWidget* parent);
    void SetCaption(const QString& caption) { setText(caption); }
    QString GetCaption() const { return text(); }
    bool GetChecked() const { return isChecked(); }
    // Setting another value fires OnClick (at once, also from inside OnClick).
    void SetChecked(bool checked);
    TNotifyEvent OnClick;
};

class TUxRadioButton : public QRadioButton {
    Q_OBJECT
  public:
    explicit TUxRadioButton(QWidget* parent = nullptr);
    TUxRadioButton(const QString& caption, QWidget* parent);
    void SetCaption(const QString& caption) { setText(caption); }
    QString GetCaption() const { return text(); }
    bool GetChecked() const { return isChecked(); }
    void SetChecked(bool checked);  // checking fires OnClick
    TNotifyEvent OnClick;
};

class TUxButton : public QPushButton {
    Q_OBJECT
  public:
    explicit TUxButton(QWidget* parent = nullptr);
    TUxButton(const QString& caption, QWidget* parent);
    void SetCaption(const QString& caption) { setText(caption); }
    QString GetCaption() const { return text(); }
    // Runs OnClick as a press of the button does.
    void Click();
    TNotifyEvent OnClick;
};

class TUxGroupBox : public QGroupBox {
    Q_OBJECT
  public:
    explicit TUxGroupBox(QWidget* parent = nullptr);
    TUxGroupBox(const QString& caption, QWidget* parent);
    void SetCaption(const QString& caption) { setTitle(caption); }
    QString GetCaption() const { return title(); }
};

class TUxPageControl;

// One page of a page control; its caption is the tab's text.
class TUxTabSheet : public QWidget {
    Q_OBJECT
  public:
    // Adds itself as the last page of the control (when given).
    explicit TUxTabSheet(TUxPageControl* control = nullptr, const QString& caption = QString());
    void SetCaption(const QString& caption);
    QString GetCaption() const { return caption_; }
    int GetPageIndex() const;
    TUxPageControl* GetPageControl() const { return control_; }

  private:
    friend class TUxPageControl;
    TUxPageControl* control_;
    QString caption_;
};

class TUxPageControl : public QTabWidget {
    Q_OBJECT
  public:
    explicit TUxPageControl(QWidget* parent = nullptr);
    void AddPage(TUxTabSheet* page);
    int GetPageCount() const { return count(); }
    TUxTabSheet* GetPage(int index) const;
    TUxTabSheet* GetActivePage() const;
    void SetActivePage(TUxTabSheet* page);
    int GetActivePageIndex() const { return currentIndex(); }
    void SetActivePageIndex(int index);
    // The operator changed the page.
    TNotifyEvent OnChange;

  private:
    bool programmatic_ = false;
};
