// The Unicode controls, forms and string lists: the behaviours the windows rely on beyond the plain widgets.
#include <gtest/gtest.h>

#include <QtWidgets>
#include <stdexcept>

#include "platform/Dialogs.h"
#include "unicode/UxControls.h"
#include "unicode/UxForms.h"
#include "unicode/UxMenus.h"
#include "unicode/UxStrings.h"

namespace {
void press(QWidget* w, Qt::Key key, const QString& text = QString(),
           Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent down(QEvent::KeyPress, key, mods, text);
    QApplication::sendEvent(w, &down);
    QKeyEvent up(QEvent::KeyRelease, key, mods, text);
    QApplication::sendEvent(w, &up);
}
}  // namespace

TEST(TUxEdit, OnChangeOnlyWithAWindowAndARealChangeKeyPreviewFirstAndHandlerErrorsShown) {
    int changes = 0;
    TUxEdit lone;
    lone.OnChange = [&] { ++changes; };
    lone.SetText("stored");
    TUxForm form;
    auto* edit = new TUxEdit(&form);
    edit->OnChange = [&] { ++changes; };
    for (const char* text : {"Säule", "Säule", ""}) edit->SetText(QString::fromUtf8(text));
    EXPECT_EQ(changes, 2);
    form.SetKeyPreview(true);
    std::vector<int> keys;
    form.OnKeyDown = [&](int& key, Qt::KeyboardModifiers shift) {
        keys.push_back(key);
        if (key == Qt::Key_L && shift == (Qt::ControlModifier | Qt::AltModifier)) key = 0;
    };
    press(edit, Qt::Key_L, "l", Qt::ControlModifier | Qt::AltModifier);  // consumed by the form
    press(edit, Qt::Key_A, "a");                                         // the operator's typing
    EXPECT_EQ(edit->GetText(), "a");
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(keys, (std::vector<int>{Qt::Key_L, Qt::Key_A}));
    DialogScript script;
    edit->OnChange = [] { throw std::runtime_error("bad text"); };
    EXPECT_NO_THROW(edit->SetText("x"));
    TUxPopupMenu popup;
    popup.Add("Edit Method")->OnClick = [] { throw std::runtime_error("cannot edit"); };
    EXPECT_NO_THROW(popup.GetItem(0)->action()->trigger());
    ASSERT_EQ(script.shown.size(), 2u);
    EXPECT_EQ(script.shown[0].text + script.shown[1].text, "bad textcannot edit");
}

TEST(TUxChoices, OperatorChoicesClickAndTheCodesAreSilent) {
    std::vector<std::string> log;
    TUxComboBox box;
    box.GetItems()->Add("a");
    box.GetItems()->Add("b");
    box.OnClick = [&] { log.push_back("click " + box.GetText().toStdString()); };
    box.OnChange = [&] { log.push_back("change"); };
    box.SetItemIndex(0);
    box.setCurrentIndex(1);
    emit box.activated(1);
    QWidget form;
    auto* list = new TUxListBox(&form);
    list->AddItem("a");
    list->AddItem("b");
    list->SetItemIndex(0);
    list->OnClick = [&] { log.push_back("list " + std::to_string(list->GetItemIndex())); };
    press(list, Qt::Key_Down);
    EXPECT_EQ(log, (std::vector<std::string>{"click b", "change", "list 1"}));
    // Outside the list, -1 included, an item reads as empty.
    for (int i : {-1, 2, -2, 100}) EXPECT_EQ(box.GetItems()->Get(i), QString()) << i;
    EXPECT_EQ(box.GetItems()->Get(1), "b");

    // Setting another value clicks, even from inside the handler.
    TUxCheckBox check("Flush Method", nullptr);
    std::vector<bool> seen;
    check.OnClick = [&] {
        seen.push_back(check.GetChecked());
        if (check.GetChecked()) check.SetChecked(false);  // refused: unchecks at once
    };
    check.SetChecked(false);
    check.SetChecked(true);
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

TEST(TUxStringGrid, CellsOutsideAreIgnoredDroppedRowsComeBackEmptyAndColumnsFillTheFirstEmptyCell) {
    TUxStringGrid grid(nullptr, 3, 4);
    grid.SetCells(1, 1, "5.0");
    grid.SetCells(2, 1, "kept");
    for (auto [c, r] : {std::pair{3, 1}, {1, 4}, {-1, 0}}) grid.SetCells(c, r, "beyond");
    grid.SetColCount(4);
    grid.SetRowCount(5);
    EXPECT_EQ(grid.GetCells(3, 1) + grid.GetCells(1, 4), "") << "the ignored writes did not come back";
    grid.SetRowCount(1);
    grid.SetRowCount(2);
    EXPECT_EQ(grid.GetCells(2, 1), "");
    EXPECT_EQ(grid.GetCells(1, 1), "");

    TUxStrings* col = grid.GetCols(1);
    EXPECT_EQ(col->Add("Time, min"), 0);
    EXPECT_EQ(col->Add(""), 1);  // an empty text is written as one blank
    EXPECT_EQ(col->Add("2"), -1);
    EXPECT_EQ(grid.GetCells(1, 1), " ");
}

TEST(TUxStringGrid, MovesAskOnSelectCellNeverEnterFixedCellsAndTheEditorReportsEveryChange) {
    QWidget form;
    auto* grid = new TUxStringGrid(&form, 4, 5);
    grid->SetFixedRows(1);
    grid->SetFixedCols(1);
    std::vector<std::pair<int, int>> asked;
    bool allow = true;
    grid->OnSelectCell = [&](int c, int r, bool& can) {
        asked.emplace_back(c, r);
        can = allow;
    };
    auto at = [&] { return std::make_pair(grid->GetCol(), grid->GetRow()); };
    EXPECT_EQ(at(), std::make_pair(1, 1));
    EXPECT_TRUE(grid->SetCurrentCell(2, 3));
    allow = false;
    EXPECT_FALSE(grid->SetCurrentCell(1, 1));
    press(grid, Qt::Key_Down);
    EXPECT_EQ(at(), std::make_pair(2, 3));
    EXPECT_EQ(asked.back(), std::make_pair(2, 4));
    allow = true;
    EXPECT_FALSE(grid->SetCurrentCell(0, 2));
    grid->SetCurrentCell(1, 1);
    const size_t before = asked.size();
    press(grid, Qt::Key_Up);
    press(grid, Qt::Key_Left);
    EXPECT_EQ(at(), std::make_pair(1, 1));
    EXPECT_EQ(asked.size(), before);
    grid->SetTabMoves(true);  // Tab wraps to the next row's first editable cell
    grid->SetCurrentCell(3, 1);
    press(grid, Qt::Key_Tab);
    EXPECT_EQ(at(), std::make_pair(1, 2));

    form.show();
    grid->SetEditing(true);
    grid->SetCells(1, 2, "1");
    QStringList seen;
    grid->OnSetEditText = [&](int c, int r, const QString& v) { seen << grid->GetCells(c, r) + "=" + v; };
    grid->SetEditorMode(true);
    auto* editor = grid->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    editor->end(false);
    press(editor, Qt::Key_Period, ".");
    press(editor, Qt::Key_5, "5");
    EXPECT_EQ(seen, (QStringList{"1.=1.", "1.5=1.5"}));
}

TEST(TUxForm, ShowModalReturnsTheModalResultAndCloseQueryCanKeepItOpen) {
    TUxForm form;
    auto* ok = new TUxButton("OK", &form);
    ok->OnClick = [&] { form.SetModalResult(mrOk); };
    QTimer::singleShot(0, ok, [ok] { ok->Click(); });
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_FALSE(form.isVisible());
    int asked = 0, closed = 0;
    form.OnCloseQuery = [&](bool& can) { can = ++asked > 1; };
    form.OnClose = [&] { ++closed; };
    QTimer::singleShot(0, &form, [&] {
        form.Close();
        EXPECT_TRUE(form.isVisible());
        form.Close();
    });
    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(closed, 1);
}

// Escape presses the form's cancel button once no control keeps it: an open cell editor takes
// the first Escape; a hidden or disabled button is not pressed.
TEST(TUxForm, EscapePressesTheCancelButtonAfterTheControlsHadIt) {
    TUxForm form;
    auto* cancel = new TUxButton("Cancel", &form);
    auto* grid = new TUxStringGrid(&form);
    grid->SetColCount(2);
    grid->SetRowCount(2);
    int pressed = 0;
    cancel->OnClick = [&] { ++pressed; };
    form.SetCancelButton(cancel);
    form.show();
    grid->SetEditing(true);
    grid->setCurrentCell(1, 1);
    grid->SetEditorMode(true);
    auto* editor = grid->viewport()->findChild<QLineEdit*>();
    ASSERT_TRUE(editor && grid->GetEditorMode());
    press(editor, Qt::Key_Escape);
    EXPECT_EQ(pressed, 0);
    EXPECT_FALSE(grid->GetEditorMode());
    press(grid, Qt::Key_Escape);
    EXPECT_EQ(pressed, 1);
    cancel->setEnabled(false);
    press(grid, Qt::Key_Escape);
    cancel->setEnabled(true);
    cancel->hide();
    press(grid, Qt::Key_Escape);
    EXPECT_EQ(pressed, 1);
}

// Enter presses the button drawn as the default once no control keeps it, as a dialog's does;
// never another button, nor a disabled default.
TEST(TUxForm, EnterPressesTheDefaultButtonAfterTheControlsHadIt) {
    TUxForm form;
    auto* other = new TUxButton("Other", &form);
    auto* save = new TUxButton("Save", &form);
    auto* edit = new TUxEdit(&form);
    auto* list = new TUxListBox(&form);
    list->GetItems()->Add("A");
    int saved = 0, others = 0;
    save->OnClick = [&] { ++saved; };
    other->OnClick = [&] { ++others; };
    form.show();
    press(edit, Qt::Key_Return);
    EXPECT_EQ(saved + others, 0) << "no default button yet";
    save->setDefault(true);
    const struct {
        QWidget* to;
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        bool enabled;
        int saved;
    } rows[] = {
        {edit, Qt::Key_Return, Qt::NoModifier, true, 1},
        {list, Qt::Key_Return, Qt::NoModifier, true, 1},
        {list, Qt::Key_Enter, Qt::KeypadModifier, true, 1},
        {edit, Qt::Key_Return, Qt::ControlModifier, true, 0},
        {edit, Qt::Key_Return, Qt::NoModifier, false, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.key));
        save->setEnabled(r.enabled);
        saved = 0;
        press(r.to, r.key, "\r", r.mods);
        EXPECT_EQ(saved, r.saved);
    }
    EXPECT_EQ(others, 0);
}

// A separator shows no caption; unchecking an item never checked leaves it without a check box.
TEST(TUxMenuItem, SeparatorsAndUncheckedItemsLookAsCreated) {
    TUxMainMenu bar;
    TUxMenuItem* file = bar.Add("File");
    TUxMenuItem* line = file->Add("-");
    TUxMenuItem* pump = file->Add("Pump 1 On");
    EXPECT_TRUE(line->action()->isSeparator());
    EXPECT_EQ(line->action()->text(), "");
    EXPECT_EQ(line->GetCaption(), "-");
    pump->SetChecked(false);
    EXPECT_FALSE(pump->action()->isCheckable());
    pump->SetChecked(true);
    pump->SetChecked(false);
    EXPECT_TRUE(pump->action()->isCheckable());
    EXPECT_FALSE(pump->GetChecked());
}

TEST(TUxStringList, IndexErrorsIndexOfAndTheUtf8View) {
    TUxStringList list;
    list.Add(QString::fromUtf8("Méthode 2"));
    EXPECT_THROW(list.Get(1), EStringListError);
    EXPECT_THROW(list.Insert(2, "x"), EStringListError);
    list.Insert(1, "end");  // inserting at the count appends
    list.Add(QString::fromUtf8("ÄRGER"));
    EXPECT_EQ(list.IndexOf(QString::fromUtf8("ärger")), 2) << "IndexOf ignores case but needs the whole text";
    EXPECT_EQ(list.IndexOf("En"), -1);
    auto utf8 = list.AnsiStrings();
    EXPECT_EQ(utf8.Add("Dr\u00FCck"), 3);
    EXPECT_EQ(list.Get(3), QString::fromUtf8("Drück"));
    EXPECT_EQ(utf8.ToVector(),
              (std::vector<std::string>{"M\u00E9thode 2", "end", "\u00C4RGER", "Dr\u00FCck"}));
}
