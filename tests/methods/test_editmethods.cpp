// The method editor: each limit of the field, cell and final checks at its value and just past
// it, the timetable rows, the flag boxes, and the open, save, save-as, add, delete, switch and
// close flows with their boxes, the store's contents and the daily-log line.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QRegularExpression>
#include <memory>

#include "link/Instrument.h"
#include "methods/EditMethods.h"
#include "methods/PrintMethod.h"
#include "methods/support_store.h"
#include "support/EventWait.h"

namespace {

const QString kDeg = QString::fromUtf8(" \u00B0C.");
const QString kFixLines = "Please, correct the following errors in your submission:\n";
const QString kRuntime = "Runtime should be a positive number.";
const QString kEquil = "Equilibration time should be between 1 and 60 minutes.";
const QString kColumn = "Column Temperature should be between 30 and 75" + kDeg;
const QString kReactor = "Reactor Temperature should be between 30 and 130" + kDeg;
const QString kPumpTimes =
    "- Time Stamp in Pump Timetable should be positive number, not greater than Runtime.\n";
const QString kColTimes =
    "- Time Stamp in Column Timetable should be positive number, not greater than Runtime.\n";

QString line(const QString& text) {
    return "- " + text + "\n";
}
QString ask(const QString& name) {
    return "Please, confirm: Save all changes to \"" + name + "\"?";
}
QString exists(const QString& name) {
    return "Warning: Method Name \"" + name + "\" already exist. Overwrite?";
}
QString confirmDelete(const QString& name) {
    return "Please, confirm: Delete Method \"" + name + "\"?";
}

class EditMethods : public StoreTest {
  protected:
    void TearDown() override {
        form.reset();
        StoreTest::TearDown();
    }
    // Opens the editor as its modal show does: OnShow, then the first activation.
    TEditMethodForm& open() {
        if (!form) form = std::make_unique<TEditMethodForm>();
        form->FormOnShow();
        form->FormOnActivate();
        return *form;
    }
    // Clicks a list item as the operator does.
    void click(const QString& name) {
        form->MethodNameList->SetItemIndex(form->MethodNameList->GetItems()->IndexOf(name));
        form->OnClickMethodNameList(form->MethodNameList);
    }
    static std::function<void()> typing(TUxEdit* edit, const QString& text) {
        return [edit, text] { edit->SetText(text); };
    }
    // What the editor shows: the list (the selected name marked), the method being edited, its
    // run time, whether changes are pending, and the status line.
    QString shown() const override {
        return listed(form->MethodNameList).join(",") + " / " +
               QString::fromStdString(form->CurrentMethodName) + " / " + form->Runtime->GetText() +
               (form->Modified ? " / changed / " : " / ") + form->StatusLbl->GetCaption();
    }

    std::unique_ptr<TEditMethodForm> form;
};

TEST_F(EditMethods, FieldAndFinalChecksHoldEachLimitAtItsValueAndFailJustPastIt) {
    auto& f = open();
    using F = TEditMethodForm;
    const QString flow = "The Pump flow rate should be between 0.05 and 1.5 ml/min or 0.";
    const QString digits = "The value should contain numbers and decimal point, no other symbols, please.";
    const QString p1 = line("Pump1 flow rate should be between 0.05 and 1.5 ml/min.");
    const QString p2 =
        line("Pump2 flow rate should contain numbers and decimal point, no other symbols, please.");
    // Each field, or the first time cell of a table, on an otherwise valid method with a run time of 10
    // (texts marked "!" are refused): the box on leaving the field and the line of the final check.
    const struct {
        QWidget* field;
        void (F::*check)();
        QStringList texts;
        QString box, line;
    } cases[] = {
        {f.Runtime, &F::RuntimeOnExit, {"1", "!0", "!10.5"}, "The " + kRuntime, line(kRuntime)},
        {f.EquilTime, &F::EquilTimeOnExit, {"1", "60", "!0", "!61"}, "The " + kEquil, line(kEquil)},
        {f.ColumnTINI, &F::ColumnTINIOnExit, {"30", "75", "!29", "!76"}, "The " + kColumn, line(kColumn)},
        {f.ReactorTINI,
         &F::ReactorTINIOnExit,
         {"30", "130", "!29", "!131"},
         "The " + kReactor,
         line(kReactor)},
        {f.Pump1FlowRate, &F::Pump1FlowRateOnExit, {"0", "0.05", "1.5", "!0.04", "!1.51"}, flow, p1},
        {f.Pump2FlowRate, &F::Pump2FlowRateOnExit, {"!abc", "!1,5"}, digits, p2},
        {f.PumpTimetable, nullptr, {"10", "0", "!10.1", "!-1", "!abc"}, "", kPumpTimes},
        {f.ColumnTimetable, nullptr, {"10", "!10.1"}, "", kColTimes},
    };
    QWidget* const fields[] = {f.Runtime,       f.EquilTime,     f.ColumnTINI,    f.ReactorTINI,
                               f.Pump1FlowRate, f.Pump2FlowRate, f.PumpTimetable, f.ColumnTimetable};
    auto put = [](QWidget* field, const QString& text) {
        if (auto* edit = dynamic_cast<TUxEdit*>(field))
            edit->SetText(text);
        else
            static_cast<TUxStringGrid*>(field)->SetCells(1, 1, text);
    };
    // Empty fields pass on leaving them; the final check names each once, in order.
    for (const auto& c : cases)
        if (c.check) (f.*c.check)();
    EXPECT_EQ(boxes(), QStringList{});
    EXPECT_FALSE(f.ValidateMethod());
    EXPECT_EQ(f.MessageText,
              line(kRuntime) + line(kEquil) + line(kColumn) + line(kReactor) +
                  "- Pump1 flow rate should be defined.\n- Pump2 flow rate should be defined.\n");
    const QStringList valid{"10", "5", "40", "100", "0.5", "0", "", ""};
    for (const auto& c : cases) {
        for (QString text : c.texts) {
            const bool ok = !text.startsWith('!');
            text.remove(QRegularExpression("^!"));
            SCOPED_TRACE(text.toStdString());
            for (int i = 0; i < 8; ++i) put(fields[i], fields[i] == c.field ? text : valid[i]);
            if (c.check) (f.*c.check)();
            EXPECT_EQ(takeBoxes(true),
                      ok || !c.check ? QStringList{} : QStringList{"Warning: " + c.box + " [OK OK]"});
            EXPECT_EQ(f.ValidateMethod(), ok);
            EXPECT_EQ(f.MessageText, ok ? "" : c.line);
        }
    }
    // Two bad rows give one line.
    f.ColumnTimetable->SetCells(1, 1, "");
    f.PumpTimetable->SetRowCount(3);
    f.PumpTimetable->SetCells(1, 2, "12");
    EXPECT_FALSE(f.ValidateMethod());
    EXPECT_EQ(f.MessageText, kPumpTimes);
}

TEST_F(EditMethods, CellChecksHoldEachLimitAndRewriteTheCellBeingLeft) {
    auto& f = open();
    f.Runtime->SetText("10");
    TUxStringGrid* p = f.PumpTimetable;
    TUxStringGrid* c = f.ColumnTimetable;
    p->SetRowCount(3);
    c->SetRowCount(3);
    EXPECT_EQ(p->GetCells(0, 1), ">>>") << "OnShow puts the first pointer";
    const QString flow = "The Pump Flow Rate should be a positive number, between 0.05 and 1.5";
    const QString temp = "The Column temperature should be positive number, between 30 and 75";
    // The cell typed into row 1, then a move to row 2: done or refused, the cell as rewritten, the box.
    // (The flow limits are the edit fields' ones, checked above.)
    const struct {
        TUxStringGrid* grid;
        int col;
        QString typed;
        bool moves;
        QString shown, box;
    } cases[] = {
        {p, 1, "10", true, "10.0", ""},
        {p, 1, "10.1", true, "10.1", "The Time should not be greater than Runtime."},
        {p, 1, "abc", false, "-1.0", "The Time should be a positive number."},
        {p, 2, "0", true, "0.00", ""},
        {p, 2, "0.125", true, "0.13", ""},
        {p, 2, "1.51", false, "1.51", flow},
        {p, 2, "abc", false, "-1.00", flow},
        {c, 2, "0", true, "00", ""},
        {c, 2, "30", true, "30", ""},
        {c, 2, "75", true, "75", ""},
        {c, 2, "44.5", true, "45", ""},
        {c, 2, "29", false, "29", temp},
        {c, 2, "75.5", false, "76", temp},
        {c, 2, "x", false, "-01", temp},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.typed.toStdString());
        k.grid->SetCells(k.grid->GetCol(), k.grid->GetRow(), "");
        ASSERT_TRUE(k.grid->SetCurrentCell(k.col, 1));
        k.grid->SetCells(k.col, 1, k.typed);
        dialogs_.shown.clear();
        EXPECT_EQ(k.grid->SetCurrentCell(k.col, 2), k.moves);
        EXPECT_EQ(k.grid->GetCells(k.col, 1), k.shown);
        EXPECT_EQ(k.grid->GetCells(0, 2), k.moves ? ">>>" : "");
        EXPECT_EQ(boxes(), k.box.isEmpty() ? QStringList{} : QStringList{"Warning: " + k.box});
    }
    // Leaving the grid uses the other text and moves no pointer.
    p->SetCells(2, 1, "2");
    f.PumpTimetableOnExit();
    EXPECT_EQ(takeBoxes().last(),
              "Warning: The Pump Flow Rate should be positive number, between 0.05 and 1.5 or 0");
    EXPECT_EQ(p->GetCells(0, 1), ">>>");
}

TEST_F(EditMethods, TimetableRowButtonsAndDragging) {
    TMethodINIParams m = fullMethod("A");
    m.ColumnTimeList = {"1.0", "2.0", "3.0"};
    m.ColumnTempList = {"40", "45", "50"};
    storeMethod(m);
    auto& f = open();
    TUxStringGrid* g = f.PumpTimetable;
    // Insert on data row 2 of three: an empty row 2, the old rows 2 and 3 moved down.
    f.BtnPumpsTTAddClick();
    for (int r = 1; r <= 3; ++r)
        for (int c = 1; c <= 3; ++c) g->SetCells(c, r, QString::number(r * 10 + c));
    ASSERT_TRUE(g->SetCurrentCell(1, 2));
    f.BtnPumpsTTInsertClick();
    EXPECT_EQ(rows(g), (QStringList{"11.0|12|13", "||", "21|22|23", "31|32|33"}));
    // Delete pulls the rows below up and drops the last row; on the only row it empties it.
    f.BtnPumpsTTDeleteClick();
    EXPECT_EQ(rows(g), (QStringList{"11.0|12|13", "21|22|23", "31|32|33"}));
    g->SetRowCount(2);
    f.BtnPumpsTTDeleteClick();
    EXPECT_EQ(rows(g), QStringList{"||"});

    // Column rows move by dragging one onto another, and are stored so.
    f.show();
    f.PageControlTT->setCurrentWidget(f.TabSheet2);
    QApplication::processEvents();
    TUxStringGrid* c = f.ColumnTimetable;
    auto send = [c](QEvent::Type type, int row) {
        const QPointF at(c->columnViewportPosition(0) + 5, c->rowViewportPosition(row) + 5);
        QMouseEvent e(type, at, c->viewport()->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(c->viewport(), &e);
    };
    send(QEvent::MouseButtonPress, 3);
    send(QEvent::MouseMove, 2);
    send(QEvent::MouseButtonRelease, 1);
    EXPECT_EQ(c->GetCells(0, 1), ">>>");
    f.BtnSaveClick();
    EXPECT_NE(describe(stored("A")).find("|column 3.0;50 1.0;40 2.0;45"), std::string::npos);
}

TEST_F(EditMethods, OpeningShowsTheInstrumentsMethodOrTheFirst) {
    storeMethod(fullMethod("A"));
    TMethodINIParams b = fullMethod("B");
    b.Runtime = "20";
    storeMethod(b);
    TInstrumentModule module;
    dialogs_.shown.clear();
    module.Method.Name = "b";  // in any letter case
    open();
    EXPECT_EQ(shown(), "A,B* / B / 20 / ");
    form.reset();
    module.Method.Name = "gone";  // no longer stored: the first
    open();
    EXPECT_EQ(shown(), "A*,B / A / 30 / ");
    EXPECT_EQ(rows(form->PumpTimetable) + rows(form->ColumnTimetable),
              (QStringList{"1|0.30|0.35", "20|0.50|0.40", "10|45"}));
    EXPECT_EQ(boxes(), QStringList{});
}

TEST_F(EditMethods, SaveWritesTheStoreAndTheLogOrKeepsTheChangesAndSaysWhy) {
    storeMethod(fullMethod("M"));
    auto& f = open();
    f.Runtime->SetText("");
    f.Pump2FlowRate->SetText("2");
    f.BtnSaveClick();
    f.BtnSaveClick();
    const QString lines = "Warning: " + kFixLines + "- " + kRuntime +
                          "\n- Pump2 flow rate should be between 0.05 and 1.5 ml/min.\n" + kPumpTimes +
                          kColTimes;
    EXPECT_EQ(takeBoxes(), (QStringList{lines, lines}));  // each line once
    EXPECT_EQ(shown(), "M* / M /  / changed / Method \"M\" not saved");

    f.PumpTimetable->SetRowCount(4);  // an empty row is logged but not stored
    f.PumpTimetable->SetCells(1, 1, "");
    f.PumpTimetable->SetCells(1, 2, "3.5");
    f.ColumnTimetable->SetCells(2, 1, "55");
    const QStringList typed{"12", "60", "30", "Säule 7", "500", "1.5", "0", "R1", "R2"};
    TUxEdit* const edits[] = {f.Runtime,       f.EquilTime,     f.ColumnTINI, f.ColumnD, f.ReactorType,
                              f.Pump1FlowRate, f.Pump2FlowRate, f.Reagent1,   f.Reagent2};
    for (int i = 0; i < typed.size(); ++i) edits[i]->SetText(typed[i]);
    dialogs_.answer(mrOk);
    f.FlushMethodChkBx->SetChecked(true);
    dialogs_.shown.clear();
    Registry::failAfterWrites(1);
    f.BtnSaveClick();
    Registry::failAfterWrites(0);
    EXPECT_EQ(takeBoxes(), QStringList{"Warning: Error while saving to registry."});
    EXPECT_EQ(shown(), "M* / M / 12 / changed / Method \"M\" not saved");
    EXPECT_EQ(stored("M").Runtime, "30");
    f.BtnSaveClick();
    EXPECT_EQ(boxes(), QStringList{});
    EXPECT_EQ(shown(), "M* / M / 12 / Method \"M\" saved");
    EXPECT_EQ(describe(stored("M")),
              "M|30(30)|Säule 7|130(130)|500|R1|R2|12(12)|60(60)|1.5(1.5)|0(0)|flush|-|"
              "pumps 3.5;0.50;0.40|column 10;55");
    const std::string line =
        "M|RunTime 12|Equil 60|P1 1.5|P2 0|Col T 30|Col D Säule 7|Reactor T 130|Reactor D "
        "500|Reagent1 R1|Reagent2 R2|flush:true|powerCooling:false||flow rate TT|||0.30||"
        "0.35||3.5|0.50||0.40|||||||Col Temp TT||10|55||\n";
    EXPECT_NE(logText().find("#EditMethods: SaveMethod(failed): " + line), std::string::npos) << logText();
    EXPECT_NE(logText().find("#EditMethods: SaveMethod(success): " + line), std::string::npos);

    f.MethodNameList->SetItemIndex(-1);
    f.BtnSaveClick();
    EXPECT_EQ(boxes(), QStringList{"Warning: No Method Name selected."});
}

TEST_F(EditMethods, SaveAsAddAndDeleteSayWhatHappensToTheChanges) {
    storeMethod(fullMethod("A"));
    storeMethod(fullMethod("B"));
    const std::string a = describe(stored("A"));
    TInstrumentModule module;  // its loaded sequence runs "A" on line 2
    module.Sequence.Name = "Run %s";
    for (const char* m : {"X", "a"}) module.Sequence.MethodList.Add(m);
    dialogs_.shown.clear();
    auto& f = open();
    auto saveAs = [&] { f.SaveAsBtnClick(); };
    auto add = [&] { f.BtnAddMethodClick(); };
    auto del = [&] { f.BtnDeleteMethodClick(); };
    auto failingSaveAs = [&] {
        Registry::failAfterWrites(1);
        f.SaveAsBtnClick();
        Registry::failAfterWrites(0);
    };
    const QString backslash =
        "Warning: The name \"a\\b\" can not be used: a method name can not contain \"\\\".";
    const QString failed = "Warning: Error while saving to registry.";
    run({
        // Save As: an empty name and one the store refuses ask again; a new name is stored and selected.
        {typing(f.Runtime, "27"), "A*,B / A / 27 / changed / "},
        {saveAs,
         "A,B,G* / G / 27 / Method \"G\" added",
         {backslash,
          "Warning: The name \"a\nb\" can not be used: A settings key name cannot hold a line break."},
         {},
         {"", "a\\b", "a\nb", "G"}},
        // A name in other letter case is an existing name: No asks again, Yes overwrites.
        {typing(f.Runtime, "28"), "A,B,G* / G / 28 / changed / Method \"G\" added"},
        {saveAs,
         "A,b*,G / b / 28 / Method \"b\" replaced",
         {exists("b"), exists("b")},
         {mrNo, mrYes},
         {"b", "b"}},
        // An overwrite that fails keeps the stored method and the changes.
        {typing(f.Runtime, "23"), "A,b*,G / b / 23 / changed / Method \"b\" replaced"},
        {failingSaveAs,
         "A,b*,G / b / 23 / changed / Method \"A\" not saved",
         {exists("A"), failed},
         {mrYes},
         {"A"}},
        // Invalid controls ask for no name.
        {typing(f.EquilTime, "0"), "A,b*,G / b / 23 / changed / Method \"A\" not saved"},
        {saveAs,
         "A,b*,G / b / 23 / changed / Method \"A\" not saved",
         {"Warning: " + kFixLines + line(kEquil)}},
        // Add offers the pending changes first, as Close does: a failed save keeps them and adds
        // nothing; No drops them, and Cancel in the name box reads the selected method back.
        {add,
         "A,b*,G / b / 23 / changed / Method \"A\" not saved",
         {ask("b"), "Warning: Can not save changes: \n" + line(kEquil)},
         {mrYes}},
        {add, "A,b*,G / b / 28 / ", {ask("b")}, {mrNo}},
        // An existing name is refused; a new one is empty.
        {add,
         "A,b*,G / b / 28 / ",
         {"Error: Method Name \"g\" already exist. Please, pick another one."},
         {},
         {"g"}},
        {add, "A,b,G,N 50%* / N 50% /  / Method \"N 50%\" added", {}, {}, {"N 50%"}},
        // Delete asks; Cancel keeps the method, OK deletes it and shows the next; the last leaves nothing.
        {del, "A,b,G,N 50%* / N 50% /  / ", {confirmDelete("N 50%")}, {mrCancel}},
        {del, "A*,b,G / A / 30 / Method \"N 50%\" deleted.", {confirmDelete("N 50%")}, {mrOk}},
        {del,
         "b*,G / b / 28 / Method \"A\" deleted.",
         {confirmDelete("A") + "\n\nThe loaded sequence \"Run %s\" uses this method (line 2)."},
         {mrOk}},
        {del, "G* / G / 27 / Method \"b\" deleted.", {confirmDelete("b")}, {mrOk}},
        {del, " /  /  / Method \"G\" deleted.", {confirmDelete("G")}, {mrOk}},
    });
    const QString as = "Save As Method: New Method Name: ";
    EXPECT_EQ(queries().mid(0, 7), (QStringList{as + "[]", as + "[]", as + "[a\\b]", as + "[a\nb]", as + "[]",
                                                as + "[b]", as + "[]"}));
    EXPECT_EQ(queries().value(7), "Add Method Name: Method Name: []");
    EXPECT_EQ(dialogs_.queried.at(7).cancelCaption, "Cancel");
    EXPECT_EQ(f.ColumnD->GetText(), "");
    EXPECT_EQ(rows(f.PumpTimetable) + rows(f.ColumnTimetable), (QStringList{"||", "|"}));
    EXPECT_EQ(dump(CMethodNames().MethodsKey), "{}");
}

// A click on Cancel takes the focus before it presses: leaving an invalid field for Cancel (or
// Help) does not check it, so Cancel drops the edits; leaving it for another field does.
TEST_F(EditMethods, CancelDropsAnInvalidFieldWithoutItsCheck) {
    storeMethod(fullMethod("A"));
    auto& f = open();
    f.show();
    f.activateWindow();
    ASSERT_TRUE(waitFor([&] { return QApplication::activeWindow() == &f; }));
    for (QWidget* next : std::initializer_list<QWidget*>{f.EquilTime, f.HelpBtn, f.CancelBtn}) {
        f.Runtime->setFocus();
        QCoreApplication::processEvents();
        f.Runtime->SetText("0");
        next->setFocus(Qt::MouseFocusReason);
        QCoreApplication::processEvents();
        EXPECT_EQ(takeBoxes(), next == f.EquilTime ? QStringList{"Warning: The " + kRuntime} : QStringList{})
            << next->objectName().toStdString();
    }
    f.CancelBtn->click();
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(shown(), "A* / A / 30 / ");
    EXPECT_EQ(boxes(), QStringList{});
}

// A row whose time lies beyond a runtime made shorter: Delete takes it away without the cell's
// check (its box would swallow the click); leaving the cell for Insert still checks it.
TEST_F(EditMethods, DeletingATimetableRowNeedsNoValidValues) {
    storeMethod(fullMethod("A"));
    auto& f = open();
    f.show();
    f.activateWindow();
    ASSERT_TRUE(waitFor([&] { return QApplication::activeWindow() == &f; }));
    const QString beyond = "Warning: The Time should not be greater than Runtime.";
    const struct {
        QWidget* page;
        TUxStringGrid* grid;
        TUxButton* button;
        int row;
        QStringList after;
        QStringList box;
    } cases[] = {
        {f.TabSheet1,
         f.PumpTimetable,
         f.BtnPumpsTTInsert,
         2,
         {"1.0|0.30|0.35", "||", "20.0|0.50|0.40"},
         {beyond}},
        {f.TabSheet1, f.PumpTimetable, f.BtnPumpsTTDelete, 3, {"1.0|0.30|0.35", "||"}, {}},
        {f.TabSheet2, f.ColumnTimetable, f.BtnColTTDelete, 1, {"|"}, {}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.row);
        f.PageControlTT->setCurrentWidget(k.page);
        f.Runtime->SetText("5");
        k.grid->setFocus();
        QCoreApplication::processEvents();
        ASSERT_TRUE(k.grid->SetCurrentCell(1, k.row));
        dialogs_.shown.clear();
        k.button->setFocus(Qt::MouseFocusReason);
        QCoreApplication::processEvents();
        k.button->click();
        EXPECT_EQ(rows(k.grid), k.after);
        EXPECT_EQ(boxes(), k.box);
    }
}

TEST_F(EditMethods, SwitchingOrClosingOffersThePendingChanges) {
    storeMethod(fullMethod("A"));
    TMethodINIParams b = fullMethod("B");
    b.Runtime = "20";
    storeMethod(b);
    auto& f = open();
    bool canClose = false;
    auto click = [this](const char* name) { return [this, name] { EditMethods::click(name); }; };
    auto close = [&] {
        canClose = true;
        f.EditMethodFormOnClose(canClose);
    };
    const QString cannot = "Warning: Can not save changes: \n" + line(kRuntime) + kPumpTimes + kColTimes;
    run({
        // No drops the edits and loads the clicked method; Yes with an invalid field stays on it.
        {typing(f.Runtime, "11"), "A*,B / A / 11 / changed / "},
        {click("B"), "A,B* / B / 20 / ", {ask("A")}, {mrNo}},
        {typing(f.Runtime, "x"), "A,B* / B / x / changed / "},
        {click("A"), "A,B* / B / x / changed / ", {ask("B"), cannot}, {mrYes}},
        // Yes with valid changes stores them, then loads the clicked method.
        {typing(f.Runtime, "21"), "A,B* / B / 21 / changed / "},
        {click("A"), "A*,B / A / 30 / ", {ask("B")}, {mrYes}},
        // Closing: a refused save keeps the window open.
        {typing(f.ReactorTINI, "29"), "A*,B / A / 30 / changed / "},
        {close,
         "A*,B / A / 30 / changed / ",
         {ask("A"), "Warning: Can not save method \"A\" :\n" + line(kReactor)},
         {mrYes}},
    });
    EXPECT_FALSE(canClose);
    run({
        // A valid one stores and closes; Cancel drops the changes and shows the stored state again.
        {typing(f.ReactorTINI, "31"), "A*,B / A / 30 / changed / "},
        {close, "A*,B / A / 30 / ", {ask("A")}, {mrYes}},
        {typing(f.Runtime, "4"), "A*,B / A / 4 / changed / "},
        {[&] { f.BtnCancelClick(); }, "A*,B / A / 30 / "},
        // Without a selected method the close still asks: Yes keeps the window open with the edits,
        // which Save As can then store; No drops them.
        {[&] { f.MethodNameList->SetItemIndex(-1); }, "A,B / A / 30 / "},
        {typing(f.Runtime, "25"), "A,B / A / 25 / changed / "},
        {close,
         "A,B / A / 25 / changed / ",
         {ask(""), "Warning: Can not save method \"\" :\nNo Method Name selected."},
         {mrYes}},
    });
    EXPECT_FALSE(canClose);
    run({
        {[&] { f.SaveAsBtnClick(); }, "A,B,K* / K / 25 / Method \"K\" added", {}, {}, {"K"}},
        {[&] { f.MethodNameList->SetItemIndex(-1); }, "A,B,K / K / 25 / Method \"K\" added"},
        {typing(f.Runtime, "7"), "A,B,K / K / 7 / changed / Method \"K\" added"},
        {close, "A,B,K / K / 7 / Method \"K\" added", {ask("")}, {mrNo}},
    });
    EXPECT_TRUE(canClose);
    EXPECT_EQ(stored("A").ReactorT + stored("B").Runtime + stored("K").Runtime, "312125");
}

// Save As ended with Cancel, in the name box or at the overwrite question, shows the stored method
// again. Print shows what the controls hold, saved or not, and stores nothing.
TEST_F(EditMethods, SaveAsCancelledReloadsTheStoredMethodAndPrintTakesTheControls) {
    storeMethod(fullMethod("A"));
    storeMethod(fullMethod("B"));
    auto& f = open();
    auto cancelledName = [&] {
        dialogs_.answerInput(false);
        f.SaveAsBtnClick();
    };
    run({
        {typing(f.Runtime, "29"), "A*,B / A / 29 / changed / "},
        {cancelledName, "A*,B / A / 30 / "},
        {typing(f.Runtime, "28"), "A*,B / A / 28 / changed / "},
        {[&] { f.SaveAsBtnClick(); }, "A*,B / A / 30 / ", {exists("B")}, {mrCancel}, {"B"}},
    });
    EXPECT_EQ(stored("B").Runtime, "30");

    f.Runtime->SetText("12");
    f.PumpTimetable->SetCells(2, 2, "0.45");
    QStringList seen;
    dialogs_.onShow = [&](const MessageRequest&) {
        if (auto* p = f.findChild<TPrintMethodForm*>())
            seen << p->MethodNameValue->GetCaption() << p->RuntimeValue->GetCaption()
                 << p->PumpTT->GetCells(0, 2) + ";" + p->PumpTT->GetCells(1, 2);
    };
    dialogs_.answer(mrNo);
    f.PrintBtnClick();
    dialogs_.onShow = nullptr;
    EXPECT_EQ(takeBoxes(), QStringList{"Warning: Print Method \"A\"?"});
    EXPECT_EQ(seen, (QStringList{"A", "12", "20;0.45"}));
    EXPECT_TRUE(f.Modified);
    EXPECT_EQ(stored("A").Runtime + "|" + stored("A").Pump1FlowList.at(1), "30|0.50");
}

TEST_F(EditMethods, FlagBoxesConfirmAndExcludeEachOther) {
    TMethodINIParams p = fullMethod("Power");
    p.powerCoolingMethod = true;
    storeMethod(p);
    storeMethod(fullMethod("Plain"));
    auto& f = open();
    auto flush = [&f](bool on) { return [&f, on] { f.FlushMethodChkBx->SetChecked(on); }; };
    const QString power = " This method will use Power Cooling Algorithm!";
    const QString confirm =
        "Please, confirm: By checking this checkbox you designate this method to use FLUSH solution.";
    run({
        // A stored power-cooling method shows its note without any box; Flush on top of it gives
        // the conflict text and is unchecked again.
        {[&] { click("Power"); }, "Plain,Power* / Power / 30 / " + power},
        {flush(true),
         "Plain,Power* / Power / 30 / changed / " + power,
         {"Error!: You can not describe one method "
          "as Flush and as Power Cooling simultaneously! Please, check only one option."}},
        // On a plain method: Cancel leaves it unchecked, OK checks it and shows the note; unchecking asks
        // nothing.
        {[&] { click("Plain"); }, "Plain*,Power / Plain / 30 / ", {ask("Power")}, {mrNo}},
        {flush(true), "Plain*,Power / Plain / 30 / changed / ", {confirm}, {mrCancel}},
        {flush(true),
         "Plain*,Power / Plain / 30 / changed /  This method will use FLUSH solution!",
         {confirm},
         {mrOk}},
    });
    EXPECT_EQ(f.StatusLbl->GetFontColor(), QColor(255, 0, 0));
    flush(false)();
    EXPECT_EQ(shown(), "Plain*,Power / Plain / 30 / changed / ");
    click("Power");
    EXPECT_TRUE(f.PowerCoolingMethodChkBx->GetChecked());
    EXPECT_FALSE(f.PowerCoolingMethodChkBx->isVisibleTo(&f));
}

// Enter answers a box with its default button: Yes saves the pending changes, and the delete
// question keeps Cancel, so a stray Enter deletes nothing. A new name with a blank at either end
// is refused where names are made.
TEST_F(EditMethods, DefaultButtonsKeepEditsAndMethodsAndNewNamesHaveNoOuterBlanks) {
    storeMethod(fullMethod("A"));
    storeMethod(fullMethod("B"));
    auto& f = open();
    f.Runtime->SetText("25");
    click("B");
    EXPECT_EQ(takeBoxes(true), QStringList{ask("A") + " [YesNo Yes]"});
    EXPECT_EQ(stored("A").Runtime, "25");
    f.BtnDeleteMethodClick();
    EXPECT_EQ(takeBoxes(true), QStringList{confirmDelete("B") + " [OKCancel Cancel]"});
    const QString blank =
        "Warning: The name \"%1\" can not be used: a name can not start or end with a blank.";
    dialogs_.answerInput(true, "Hydro ");
    f.BtnAddMethodClick();
    for (const char* name : {" C", "\tT", "In between"}) dialogs_.answerInput(true, name);
    f.SaveAsBtnClick();
    EXPECT_EQ(takeBoxes(), (QStringList{blank.arg("Hydro "), blank.arg(" C"), blank.arg("\tT")}));
    EXPECT_EQ(keys(CMethodNames().MethodsKey), (Strings{"A", "B", "In between"}));
}

// Another program's save since the method was loaded is not overwritten unasked: the question
// names what changed; No, the default, keeps the edits here and the other save there.
TEST_F(EditMethods, ASaveOverAMethodChangedElsewhereAsksFirstAndNamesTheChange) {
    storeMethod(fullMethod("A"));
    auto& f = open();
    f.Runtime->SetText("25");
    TMethodINIParams other = fullMethod("A");
    other.ColumnD = "C8";
    other.PumpTimeList = {"2", "20"};
    other.flushMethod = true;
    storeMethod(other);
    const std::string theirs = describe(stored("A"));
    const QString overwrite = "\n\nOverwrite it with the changes made here?";
    const QString question =
        "Warning: Method \"A\" was changed elsewhere since it was loaded here:\n"
        "- Column Type: \"C18 #7\" -> \"C8\"\n- Flush Method\n- Pumps" +
        overwrite;
    f.BtnSaveClick();
    EXPECT_EQ(takeBoxes(true), QStringList{question + " [YesNo No]"});
    EXPECT_EQ(shown(), "A* / A / 25 / changed / Method \"A\" not saved");
    EXPECT_EQ(describe(stored("A")), theirs);
    // Closing: No at that question keeps the window open with the edits.
    bool canClose = true;
    dialogs_.answer(mrYes);
    dialogs_.answer(mrNo);
    f.EditMethodFormOnClose(canClose);
    EXPECT_FALSE(canClose);
    EXPECT_EQ(takeBoxes(),
              (QStringList{ask("A"), question,
                           "Warning: Can not save method \"A\" :\nMethod \"A\" was not saved over "
                           "the changes made elsewhere."}));
    // Yes overwrites; the next save finds its own version and asks nothing.
    dialogs_.answer(mrYes);
    f.BtnSaveClick();
    EXPECT_EQ(takeBoxes(), QStringList{question});
    EXPECT_EQ(shown(), "A* / A / 25 / Method \"A\" saved");
    EXPECT_EQ(stored("A").ColumnD + stored("A").Runtime, "C18 #725");
    f.Runtime->SetText("26");
    f.BtnSaveClick();
    EXPECT_EQ(takeBoxes(), QStringList{});
    // Deleted elsewhere, and a method stored elsewhere under the name of one that was not stored.
    ASSERT_TRUE(CMethodNames().DeleteMethod(std::string("A")));
    f.Runtime->SetText("27");
    f.BtnSaveClick();
    EXPECT_EQ(takeBoxes(), QStringList{"Warning: Method \"A\" was changed elsewhere since it was loaded "
                                       "here:\n- it was deleted" +
                                       overwrite});
    EXPECT_EQ(keys(CMethodNames().MethodsKey), Strings{});
    dialogs_.answer(mrYes);
    f.BtnSaveClick();
    EXPECT_EQ(stored("A").Runtime, "27");
}

// Activation shows the instrument's method again only when the editor comes back from another of
// the program's windows; its own boxes, or a window that is no form, leave the edits alone.
TEST_F(EditMethods, ActivationReloadsOnlyWhenComingBackFromAnotherForm) {
    storeMethod(fullMethod("A"));
    auto& f = open();
    auto activate = [](QWidget* w) {
        w->show();
        w->activateWindow();
        return waitFor([w] { return QApplication::activeWindow() == w; });
    };
    ASSERT_TRUE(activate(&f));
    f.Runtime->SetText("12");
    QWidget box;
    ASSERT_TRUE(activate(&box));
    ASSERT_TRUE(activate(&f));
    EXPECT_EQ(shown(), "A* / A / 12 / changed / ");
    TUxForm other;
    ASSERT_TRUE(activate(&other));
    ASSERT_TRUE(activate(&f));
    EXPECT_EQ(shown(), "A* / A / 30 / ");
}

// The typing limits hold for typing only: a longer stored text is shown and saved whole.
TEST_F(EditMethods, AStoredTextLongerThanItsFieldsLimitIsShownAndSavedWhole) {
    TMethodINIParams m = fullMethod("Long");
    m.Runtime = "123456";
    m.ReactorV = "1234567";
    m.ColumnD = std::string(300, 'c');
    storeMethod(m);
    std::string want = describe(stored("Long"));
    want.replace(want.find("|Ninhydrin|"), 11, "|R|");
    storeMethod(fullMethod("Short"));
    auto& f = open();
    EXPECT_EQ(f.Runtime->GetText() + "|" + f.ReactorType->GetText(), "123456|1234567");
    EXPECT_EQ(f.ColumnD->GetText().size(), 300);
    f.Reagent1->SetText("R");
    f.BtnSaveClick();
    EXPECT_EQ(takeBoxes(), QStringList{});
    EXPECT_EQ(describe(stored("Long")), want);
    click("Short");
    EXPECT_EQ(f.Runtime->maxLength(), 4);
    EXPECT_EQ(f.ReactorType->maxLength(), 5);
}

}  // namespace
