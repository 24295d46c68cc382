// The Unicode controls: the behaviours the windows rely on beyond the plain widgets.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <memory>
#include <stdexcept>

#include "platform/Dialogs.h"
#include "unicode/UxControls.h"

namespace {
void typeInto(QWidget* w, Qt::Key key, const QString& text) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &release);
}

void pressKey(QWidget* w, Qt::Key key) {
    typeInto(w, key, QString());
}
}  // namespace

TEST(TUxEdit, SetTextFiresOnChangeOnlyWithAWindowAndARealChange) {
    TUxEdit lone;
    int changes = 0;
    lone.OnChange = [&] { ++changes; };
    lone.SetText("stored");
    EXPECT_EQ(lone.GetText(), "stored");
    EXPECT_EQ(changes, 0);

    QWidget form;
    auto* edit = new TUxEdit(&form);
    edit->OnChange = [&] { ++changes; };
    edit->SetText(QString::fromUtf8("Säule"));
    EXPECT_EQ(changes, 1);
    edit->SetText(QString::fromUtf8("Säule"));
    EXPECT_EQ(changes, 1);
    edit->SetText("");
    EXPECT_EQ(changes, 2);
    // The operator's typing.
    typeInto(edit, Qt::Key_A, "a");
    EXPECT_EQ(edit->GetText(), "a");
    EXPECT_EQ(changes, 3);
    // A handler's exception is shown, not thrown.
    DialogScript script;
    edit->OnChange = [] { throw std::runtime_error("bad text"); };
    EXPECT_NO_THROW(edit->SetText("x"));
    ASSERT_EQ(script.shown.size(), 1u);
    EXPECT_EQ(script.shown[0].text, "bad text");
}

TEST(TUxComboBox, AChoiceByTheOperatorFiresClickThenChange) {
    TUxComboBox box;
    box.GetItems()->Add("a");
    box.GetItems()->Add("b");
    std::vector<std::string> log;
    box.OnClick = [&] { log.push_back("click " + box.GetText().toStdString()); };
    box.OnChange = [&] { log.push_back("change"); };
    box.SetItemIndex(0);  // by the code: silent
    EXPECT_TRUE(log.empty());
    box.setCurrentIndex(1);
    emit box.activated(1);
    EXPECT_EQ(log, (std::vector<std::string>{"click b", "change"}));
}

TEST(TUxListBox, KeyboardChoiceClicks) {
    QWidget form;
    auto* list = new TUxListBox(&form);
    list->AddItem("a");
    list->AddItem("b");
    list->SetItemIndex(0);
    int clicks = 0;
    list->OnClick = [&] { ++clicks; };
    pressKey(list, Qt::Key_Down);
    EXPECT_EQ(list->GetItemIndex(), 1);
    EXPECT_EQ(clicks, 1);
}

TEST(TUxCheckBox, SettingAnotherValueClicksEvenFromInsideTheHandler) {
    TUxCheckBox box("Flush Method", nullptr);
    std::vector<bool> seen;
    box.OnClick = [&] {
        seen.push_back(box.GetChecked());
        if (box.GetChecked()) box.SetChecked(false);  // refused: unchecks at once
    };
    box.SetChecked(false);
    EXPECT_TRUE(seen.empty());
    box.SetChecked(true);
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
    EXPECT_FALSE(box.GetChecked());
    box.click();  // operator
    EXPECT_EQ(seen.size(), 4u);
}

// ---- the string grid

TEST(TUxStringGrid, CellsOutsideTheGridAreIgnored) {
    TUxStringGrid grid(nullptr, 3, 4);
    grid.SetCells(1, 1, "5.0");
    grid.SetCells(3, 1, "beyond");
    grid.SetCells(1, 4, "below");
    grid.SetCells(-1, 0, "x");
    EXPECT_EQ(grid.GetCells(1, 1), "5.0");
    EXPECT_EQ(grid.GetCells(3, 1), "");
    EXPECT_EQ(grid.GetCells(1, 4), "");
    grid.SetColCount(4);
    EXPECT_EQ(grid.GetCells(3, 1), "");  // the ignored write did not come back
    grid.SetRowCount(2);
    EXPECT_EQ(grid.GetRowCount(), 2);
    EXPECT_EQ(grid.GetCells(1, 1), "5.0");
    grid.SetRowCount(5);
    EXPECT_EQ(grid.GetCells(1, 3), "");
    grid.SetCells(2, 1, "kept");
    grid.SetRowCount(1);
    grid.SetRowCount(2);
    EXPECT_EQ(grid.GetCells(2, 1), "");  // dropped rows come back empty
}

TEST(TUxStringGrid, ColumnListAddFillsTheFirstEmptyCell) {
    TUxStringGrid grid(nullptr, 3, 3);
    TUxStrings* col = grid.GetCols(1);
    EXPECT_EQ(col->GetCount(), 3);
    EXPECT_EQ(col->Add("Time, min"), 0);
    EXPECT_EQ(col->Add(""), 1);  // an empty text is written as one blank
    EXPECT_EQ(grid.GetCells(1, 1), " ");
    EXPECT_EQ(col->Add("2"), 2);
    EXPECT_EQ(col->Add("3"), -1);
    EXPECT_EQ(grid.GetCells(1, 0), "Time, min");
    EXPECT_EQ(col->Get(2), "2");
    EXPECT_EQ(col->Get(9), "");
    EXPECT_THROW(col->Insert(0, "x"), EStringListError);
    EXPECT_THROW(col->Delete(0), EStringListError);
    col->Clear();
    EXPECT_EQ(grid.GetCells(1, 0), "");
    EXPECT_EQ(grid.GetCols(1), col);
    EXPECT_EQ(grid.GetRows(0)->Add("h"), 0);
    EXPECT_EQ(grid.GetCells(0, 0), "h");
}

TEST(TUxStringGrid, MovesAskOnSelectCellAndMayBeRefused) {
    QWidget form;
    auto* grid = new TUxStringGrid(&form, 4, 5);
    grid->SetFixedRows(1);
    grid->SetFixedCols(1);
    EXPECT_EQ(grid->GetCol(), 1);
    EXPECT_EQ(grid->GetRow(), 1);
    std::vector<std::pair<int, int>> asked;
    bool allow = true;
    grid->OnSelectCell = [&](int c, int r, bool& can) {
        asked.emplace_back(c, r);
        can = allow;
    };
    EXPECT_TRUE(grid->SetCurrentCell(2, 3));
    EXPECT_EQ(grid->GetCol(), 2);
    EXPECT_EQ(grid->GetRow(), 3);
    allow = false;
    EXPECT_FALSE(grid->SetCurrentCell(1, 1));
    EXPECT_EQ(grid->GetCol(), 2);
    pressKey(grid, Qt::Key_Down);
    EXPECT_EQ(grid->GetRow(), 3);
    EXPECT_EQ(asked.back(), std::make_pair(2, 4));
    allow = true;
    pressKey(grid, Qt::Key_Up);
    EXPECT_EQ(grid->GetRow(), 2);
    // Fixed cells are never entered.
    EXPECT_FALSE(grid->SetCurrentCell(0, 2));
    grid->SetCurrentCell(1, 1);
    const size_t before = asked.size();
    pressKey(grid, Qt::Key_Up);
    pressKey(grid, Qt::Key_Left);
    EXPECT_EQ(grid->GetCol(), 1);
    EXPECT_EQ(grid->GetRow(), 1);
    EXPECT_EQ(asked.size(), before);
    // Tab wraps to the next row's first editable cell.
    grid->SetTabMoves(true);
    grid->SetCurrentCell(3, 1);
    pressKey(grid, Qt::Key_Tab);
    EXPECT_EQ(grid->GetCol(), 1);
    EXPECT_EQ(grid->GetRow(), 2);
}

TEST(TUxStringGrid, InPlaceEditorWritesTheCellAndReportsEveryChange) {
    QWidget form;
    auto* grid = new TUxStringGrid(&form, 3, 3);
    form.show();
    grid->SetEditing(true);
    grid->SetCells(1, 1, "1");
    std::vector<QString> seen;
    grid->OnSetEditText = [&](int c, int r, const QString& v) {
        EXPECT_EQ(c, 1);
        EXPECT_EQ(r, 1);
        EXPECT_EQ(grid->GetCells(c, r), v);
        seen.push_back(v);
    };
    grid->SetEditorMode(true);
    ASSERT_TRUE(grid->GetEditorMode());
    auto* editor = grid->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    editor->end(false);
    typeInto(editor, Qt::Key_Period, ".");
    typeInto(editor, Qt::Key_5, "5");
    EXPECT_EQ(seen, (std::vector<QString>{"1.", "1.5"}));
    grid->SetEditorMode(false);
    EXPECT_FALSE(grid->GetEditorMode());
    EXPECT_EQ(grid->GetCells(1, 1), "1.5");

    // Fixed cells and a grid without editing never open an editor.
    grid->SetEditing(false);
    grid->SetEditorMode(true);
    EXPECT_FALSE(grid->GetEditorMode());
}
