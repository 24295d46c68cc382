// The sequence editor and the load-sequence dialog: validation texts, what Save and Save As
// store and log, the question about pending changes when the operator switches, creates,
// deletes, loads or closes, and the sequence handed on for the next run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <functional>
#include <memory>

#include "link/Instrument.h"
#include "methods/EditSequence.h"
#include "methods/LoadSequence.h"
#include "methods/support_store.h"

namespace {

const QString kFix = "Please, correct the following errors in your submission:\n";
const QString kNoName = "Warning: No Sequence Name selected";
QString ask(const QString& name) {
    return "Please, confirm: Save changes for the sequence \"" + name + "\"?";
}
QString confirmDelete(const QString& name) {
    return "Please, confirm: Delete Sequence \"" + name + "\"?";
}
QString exists(const QString& name) {
    return "Warning: Sequence Name \"" + name + "\" already exist. Overwtire?";
}
QString runs(const QString& method) {
    return "- Runs for method " + method + " should be a positive number\n";
}

class EditSequence : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        storeMethod(plainMethod("Hydro"));
        TMethodINIParams flush = plainMethod("Flush");
        flush.flushMethod = true;
        storeMethod(flush);
        OnSetDefaultSequence = [this](const std::string& name) { chosen.push_back(name); };
    }
    void TearDown() override {
        dlg.reset();
        OnSetDefaultSequence = nullptr;
        StoreTest::TearDown();
    }
    void open() {
        dlg = std::make_unique<TEditSequenceDialog>();
        dlg->show();  // FormShow
    }
    // Replaces the grid's lines ("method|runs") as the operator would type them.
    void type(const QStringList& lines) {
        TUxStringGrid* g = dlg->SequenceTable;
        g->SetRowCount(int(lines.size()) + 1);
        for (int i = 0; i < lines.size(); ++i) {
            g->SetCells(1, i + 1, lines[i].section('|', 0, 0));
            g->SetCells(2, i + 1, lines[i].section('|', 1));
        }
        dlg->Modified = true;
    }
    std::function<void()> typing(const QStringList& lines) {
        return [this, lines] { type(lines); };
    }
    // The operator clicks another sequence in the list.
    void click(const QString& name) {
        dlg->SequenceNameList->setCurrentRow(dlg->SequenceNameList->GetItems()->IndexOf(name));
    }
    // The list (the selected name marked), the grid's lines, whether changes are pending, the status.
    QString shown() const override {
        return listed(dlg->SequenceNameList).join(",") + " / " + rows(dlg->SequenceTable).join(",") +
               (dlg->Modified ? " / changed / " : " / ") + dlg->StatusLbl->GetCaption();
    }
    // Save on the grid as it stands: the boxes shown.
    QStringList save() {
        dlg->BtnSave->Click();
        return takeBoxes();
    }

    std::unique_ptr<TEditSequenceDialog> dlg;
    std::vector<std::string> chosen;
};

TEST_F(EditSequence, OpensOnTheRunsSequenceOrTheFirstOrAnEmptyLine) {
    open();
    EXPECT_EQ(shown(), " / | / ");
    storeSequence("A", {{"Hydro", "2"}});
    storeSequence("Beta", {{"Flush", "1"}});
    TInstrumentModule module;
    module.Sequence.Name = "beta";
    open();
    EXPECT_EQ(shown(), "A,Beta* / Flush|1 / ");
    EXPECT_EQ(dlg->CurrentSequenceName, "Beta");
    module.Sequence.Name = "Gone";  // no longer stored: the first one
    open();
    EXPECT_EQ(shown(), "A*,Beta / Hydro|2 / ");
}

TEST_F(EditSequence, SaveChecksTheLinesStoresAndLogsThem) {
    storeSequence("S", {{"Hydro", "1"}});
    open();
    type({"|5"});
    EXPECT_EQ(save(), QStringList{"Warning: " + kFix + "at least one method has to be defined\n"});
    EXPECT_EQ(shown(), "S* / |5 / changed / Sequence \"S\" not saved");
    const QStringList good{"007", "+3", " 3", "$A", "0x1f"};
    for (const QString& n : QStringList{"0", "-2", "1.5", "3 ", "x", "99999999999"} + good) {
        type({"Hydro|" + n});
        EXPECT_EQ(save(), good.contains(n) ? QStringList{} : QStringList{"Warning: " + kFix + runs("Hydro")})
            << n.toStdString();
        EXPECT_EQ(lines("S"), QStringList{good.contains(n) ? "Hydro|" + n : "Hydro|1"});
    }
    // A missing method gets its own line and, with no runs, the runs line too; lines without a
    // method are not examined. A flush method must be the last row, an empty row below it included.
    type({"Nope|", "|abc", "Hydro|"});
    EXPECT_EQ(save(), QStringList{"Warning: " + kFix +
                                  "- method Nope does not exist\n- Runs for method Nope should be defined\n"
                                  "- Runs for method Hydro should be defined\n"});
    type({"Flush|1", "|"});
    EXPECT_EQ(save(), QStringList{"Warning: " + kFix +
                                  "- The Flash method Flush should be the last one in Sequence\n"});
    type({"Hydro|2", "|", "Flush|1"});
    EXPECT_EQ(save(), QStringList{});
    EXPECT_EQ(shown(), "S* / Hydro|2,|,Flush|1 / Sequence \"S\" saved");
    EXPECT_EQ(lines("S"), (QStringList{"Hydro|2", "Flush|1"}));
    EXPECT_NE(logText().find("#EditSequence: SaveSequence(success): S||Hydro|2|||||Flush|1||\n"),
              std::string::npos)
        << logText();
    // A refused write keeps the changes; all lines empty store a sequence without lines.
    type({"Hydro|5"});
    Registry::failAfterWrites(1);
    EXPECT_EQ(save(), QStringList{"Warning: Error while storing Sequence."});
    Registry::failAfterWrites(0);
    EXPECT_EQ(shown(), "S* / Hydro|5 / changed / Sequence \"S\" not saved");
    EXPECT_EQ(lines("S"), (QStringList{"Hydro|2", "Flush|1"}));
    EXPECT_NE(logText().find("#EditSequence: SaveSequence(failed): S||Hydro|5||\n"), std::string::npos);
    type({"|", "|"});
    EXPECT_EQ(save(), QStringList{});
    EXPECT_EQ(dump(CSequenceNames().SequencesKey + "\\S"), "{}");
    // Nothing selected stores nothing.
    dlg->SequenceNameList->SetItemIndex(-1);
    EXPECT_EQ(save(), QStringList{kNoName + "."});
}

TEST_F(EditSequence, SwitchingAsksToSaveTheChanges) {
    storeSequence("A", {{"Hydro", "1"}});
    storeSequence("B", {{"Flush", "1"}});
    open();
    TUxStringGrid* g = dlg->SequenceTable;
    auto a = [&] { click("A"); };
    auto b = [&] { click("B"); };
    run({
        // A cell selection by the operator counts as a change; No drops it.
        {[&] { g->SetCurrentCell(2, 1); }, "A*,B / Hydro|1 / changed / "},
        {b, "A,B* / Flush|1 / ", {ask("A")}, {mrNo}},
        // Yes: the edits go to B and the editor stays on B.
        {[&] { g->SetCells(2, 1, "4"); }, "A,B* / Flush|4 / "},
        {[&] { dlg->SequenceTableOnSetEditText(2, 1, "4"); }, "A,B* / Flush|4 / changed / "},
        {a, "A,B* / Flush|4 / ", {ask("B")}, {mrYes}},
        {a, "A*,B / Hydro|1 / "},  // nothing pending: no question
        // Changes that fail validation stay, and so does the selection.
        {[&] { type({"Hydro|0"}); }, "A*,B / Hydro|0 / changed / "},
        {b,
         "A*,B / Hydro|0 / changed / ",
         {ask("A"), "Warning: You can not save changes. " + kFix + runs("Hydro")},
         {mrYes}},
    });
    EXPECT_EQ(lines("A") + lines("B"), (QStringList{"Hydro|1", "Flush|4"}));
    EXPECT_EQ(g->GetCells(0, 1), ">>>");
}

TEST_F(EditSequence, PickerChoiceIsWrittenByTheOperatorsMoveOnly) {
    storeSequence("A", {{"Hydro", "1"}, {"Hydro", "2"}});
    open();
    TUxComboBox* picker = dlg->MethodNameSelect;
    TUxStringGrid* g = dlg->SequenceTable;
    const int flush = picker->GetItems()->IndexOf("Flush");
    picker->SetItemIndex(flush);
    // The editor's own move (Insert on a method cell) commits nothing.
    dlg->BtnInsertMethodClick();
    EXPECT_EQ(rows(g), (QStringList{"|", "Hydro|1", "Hydro|2"}));
    EXPECT_EQ(picker->GetItemIndex(), -1);
    picker->SetItemIndex(flush);
    emit picker->activated(flush);
    EXPECT_TRUE(dlg->Modified);
    ASSERT_TRUE(g->SetCurrentCell(1, 3));
    EXPECT_EQ(rows(g), (QStringList{"Flush|", "Hydro|1", "Hydro|2"}));
    EXPECT_EQ(picker->GetText(), "Hydro");
    EXPECT_EQ(g->GetCells(0, 3) + g->GetCells(0, 1), ">>>");
    // Delete on the last row: the lines move up and the marker follows; Add appends a line.
    dlg->BtnDeleteMethodClick();
    EXPECT_EQ(g->GetCells(0, 2), ">>>");
    dlg->BtnAddMethodClick();
    // Leaving the grid writes the picker's choice into the method cell.
    ASSERT_TRUE(g->SetCurrentCell(1, 2));
    picker->SetItemIndex(flush);
    dlg->OnExitSequenceName();
    EXPECT_EQ(rows(g), (QStringList{"Flush|", "Flush|1", "|"}));
}

TEST_F(EditSequence, SaveAsCreateAndDeleteSayWhatHappensToTheChanges) {
    storeSequence("Amino", {{"Flush", "1"}});
    open();
    auto saveAs = [&] { dlg->BtnSaveAsClick(); };
    auto create = [&] { dlg->BtnAddSequenceClick(); };
    auto del = [&] { dlg->BtnDeleteSequenceClick(); };
    const QString none = "at least one method has to be defined\n";
    const QString deleted = " / | / Sequence \"N\" deleted.";
    const QString taken = "Error!: Sequence Name \"aMiNo\" already exist. Please, pick another one.";
    const QString unnamed = kNoName +
                            ": the changes can not be saved and nothing is loaded. Use Save As to "
                            "store them under a name.";
    const QStringList askAgain{"Warning: Please, enter Sequence name.", exists("AMINO"), exists("AMINO")};
    run({
        {typing({"|"}), "Amino* / | / changed / "},
        {saveAs, "Amino* / | / changed / ", {"Warning: This Sequence can not be saved. " + kFix + none}},
        // Save As: an empty name and an existing one (other letter case) answered No ask again;
        // Cancel on the overwrite question stores nothing; Yes replaces; a new name is added.
        {typing({"Hydro|3"}), "Amino* / Hydro|3 / changed / "},
        {saveAs, "Amino* / Hydro|3 / changed / ", askAgain, {mrOk, mrNo, mrCancel}, {"", "AMINO", "AMINO"}},
        {saveAs, "amino* / Hydro|3 / Sequence \"amino\" replaced", {exists("amino")}, {mrYes}, {"amino"}},
        {saveAs, "amino,N* / Hydro|3 / Sequence \"N\" added", {}, {}, {"N"}},
        // Create: an existing name is refused; Cancel creates nothing but still asks about changes.
        {create, "amino,N* / Hydro|3 / ", {taken}, {}, {"aMiNo"}},
        {typing({"Hydro|2"}), "amino,N* / Hydro|2 / changed / "},
        {create, "amino,N* / Hydro|3 / ", {ask("N")}, {mrNo}},
        {create, "amino,N,Z* / | / ", {}, {}, {"Z"}},
        // Delete offers the edits first, as Close does; Cancel keeps the sequence and shows it stored.
        {typing({"Hydro|3"}), "amino,N,Z* / Hydro|3 / changed / "},
        {del, "amino,N,Z* / Hydro|3 / ", {ask("Z"), confirmDelete("Z")}, {mrYes, mrCancel}},
        {typing({"Hydro|4"}), "amino,N,Z* / Hydro|4 / changed / "},
        {del, "amino,N,Z* / Hydro|3 / ", {ask("Z"), confirmDelete("Z")}, {mrNo, mrCancel}},
        {typing({"Hydro|0"}), "amino,N,Z* / Hydro|0 / changed / "},
        {del,
         "amino,N,Z* / Hydro|0 / changed / ",
         {ask("Z"), "Warning: You can not save changes. " + kFix + runs("Hydro")},
         {mrYes}},
        {del, "amino*,N / Hydro|3 / Sequence \"Z\" deleted.", {ask("Z"), confirmDelete("Z")}, {mrNo, mrOk}},
        {del, "N* / Hydro|3 / Sequence \"amino\" deleted.", {confirmDelete("amino")}, {mrOk}},
        {del, deleted, {confirmDelete("N")}, {mrOk}},
        // Changes without a name are not left silently, and wait for a name instead of a failed save.
        {del, deleted, {kNoName + "."}},
        {typing({"Hydro|2"}), " / Hydro|2 / changed / Sequence \"N\" deleted."},
        {[&] { dlg->BtnLoadClick(); }, " / Hydro|2 / changed / Sequence \"N\" deleted.", {unnamed}},
        {create, "F* / Hydro|2 / ", {ask("F")}, {mrYes}, {"F"}},
    });
    const QString as = "Save As Sequence: New Sequence Name: ";
    EXPECT_EQ(queries().mid(0, 3), (QStringList{as + "[]", as + "[]", as + "[AMINO]"}));
    EXPECT_EQ(queries().value(6), "Create Sequence: Sequence Name: []");
    EXPECT_EQ(lines("F"), QStringList{"Hydro|2"});
    EXPECT_TRUE(chosen.empty());
    EXPECT_TRUE(dlg->isVisible());
}

TEST_F(EditSequence, LoadCloseCancelAndPrintTakeTheGridAsItStands) {
    storeSequence("A", {{"Hydro", "1"}, {"Gone", "1"}});
    storeSequence("B", {{"Flush", "1"}});
    open();
    auto load = [&] { dlg->BtnLoadClick(); };
    auto close = [&] { dlg->BtnCloseClick(); };
    const QString cur = "Current Sequence: B";
    const QString missing = "Warning: The following Method Names for the Sequence are missing: \n- Gone\n\n";
    run({
        {load, "A*,B / Hydro|1,Gone|1 / ", {missing + "You can not continue."}},
        {typing({"|", "|"}), "A*,B / |,| / changed / "},
        // The run gets the stored sequence, and that is what is checked.
        {load, "A*,B / |,| / ", {ask("A"), missing + "You can not continue."}, {mrNo}},
        {[&] { click("B"); }, "A,B* / Flush|1 / "},
        {load, "A,B* / Flush|1 / " + cur},
        // Close asks and stores; Cancel restores the stored lines; Print asks about the grid as it stands.
        {typing({"Hydro|2"}), "A,B* / Hydro|2 / changed / " + cur},
        {close, "A,B* / Hydro|2 / " + cur, {ask("B")}, {mrYes}},
        {typing({"Flush|7", "|x"}), "A,B* / Flush|7,|x / changed / " + cur},
        {[&] { dlg->BtnCancelClick(); }, "A,B* / Hydro|2 / " + cur},
        {typing({"Flush|7"}), "A,B* / Flush|7 / changed / " + cur},
        {[&] { dlg->BtnPrintClick(); },
         "A,B* / Flush|7 / changed / " + cur,
         {"Warning: Print Sequence \"B\"?"},
         {mrNo}},
        // Without a name the close says the changes are lost.
        {[&] { dlg->SequenceNameList->SetItemIndex(-1); }, "A,B / Flush|7 / changed / " + cur},
        {close, "A,B / Flush|7 / changed / " + cur, {kNoName + ": the changes are not saved."}},
    });
    EXPECT_EQ(chosen, std::vector<std::string>{"B"});
    EXPECT_EQ(lines("B"), QStringList{"Hydro|2"});
    EXPECT_FALSE(dlg->isVisible());
}

TEST_F(EditSequence, LoadDialogHandsOnTheSelectedSequenceIfItsMethodsExist) {
    storeSequence("Amino", {{"Hydro", "2"}, {"Flush", "1"}});
    storeSequence("Empty", {});
    storeSequence("50% B", {{"Gone 5%s", "1"}, {"Hydro", "1"}, {"Lost", "2"}});
    TLoadSequenceDialog load;
    load.show();
    EXPECT_EQ(listed(load.SequenceNameList), (QStringList{"50% B*", "Amino", "Empty"}));
    load.LoadBtnClick();
    EXPECT_EQ(takeBoxes(), QStringList{"Warning: The following Method Names for the Sequence are missing: "
                                       "\n- Gone 5%s\n- Lost\n\nYou can not load this sequence."});
    EXPECT_TRUE(load.isVisible());
    EXPECT_EQ(load.CheckMethods({"Hydro", ""}), mrNo);  // an empty name counts as missing
    load.SequenceNameList->SetItemIndex(1);
    load.LoadBtn->Click();
    EXPECT_FALSE(load.isVisible());
    // A double click loads as well; a sequence without lines passes.
    load.show();
    load.SequenceNameList->SetItemIndex(2);
    load.SequenceNameListOnDblClick();
    EXPECT_EQ(chosen, (std::vector<std::string>{"Amino", "Empty"}));
    // Enter in the list takes the default button, Load.
    load.show();
    load.SequenceNameList->SetItemIndex(1);
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
    QApplication::sendEvent(load.SequenceNameList, &enter);
    EXPECT_EQ(chosen, (std::vector<std::string>{"Amino", "Empty", "Amino"}));
    EXPECT_FALSE(load.isVisible());
    // With nothing stored the list is empty: Load closes the dialog and hands on nothing.
    takeBoxes();
    for (const char* name : {"Amino", "Empty", "50% B"}) ASSERT_TRUE(CSequenceNames().DeleteSequence(name));
    load.show();
    EXPECT_EQ(load.SequenceNameList->GetCount(), 0);
    load.LoadBtn->Click();
    EXPECT_FALSE(load.isVisible());
    EXPECT_EQ(chosen.size(), 3u);
    EXPECT_EQ(takeBoxes(), QStringList{});
}

// Enter answers the question about pending changes with Yes and the delete question with Cancel.
// Close, Escape and the title bar's close box ask alike, and the window stays open when the save
// answered Yes fails.
TEST_F(EditSequence, ClosingAsksAndStaysOpenWhenTheAnsweredSaveFails) {
    storeSequence("A", {{"Hydro", "1"}});
    open();
    dlg->BtnDeleteSequenceClick();
    EXPECT_EQ(takeBoxes(true), QStringList{confirmDelete("A") + " [OKCancel Cancel]"});
    EXPECT_EQ(lines("A"), QStringList{"Hydro|1"});
    type({"Hydro|0"});
    dlg->BtnCloseClick();
    EXPECT_EQ(takeBoxes(true),
              (QStringList{ask("A") + " [YesNo Yes]",
                           "Warning: You can not save changes. " + kFix + runs("Hydro") + " [OK OK]"}));
    EXPECT_TRUE(dlg->isVisible());
    type({"Hydro|2"});
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    for (int i = 0; i < 2; ++i) {
        Registry::failAfterWrites(1);
        i == 0 ? QApplication::sendEvent(dlg.get(), &escape) : dlg->close();  // the close box
        Registry::failAfterWrites(0);
        EXPECT_EQ(takeBoxes(), (QStringList{ask("A"), "Warning: Error while storing Sequence."})) << i;
        EXPECT_TRUE(dlg->isVisible());
        EXPECT_EQ(shown(), "A* / Hydro|2 / changed / ");
        EXPECT_EQ(lines("A"), QStringList{"Hydro|1"});
    }
    dlg->close();
    EXPECT_EQ(takeBoxes(), QStringList{ask("A")});
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(lines("A"), QStringList{"Hydro|2"});
}

// Save As writes once: a refused write leaves the store, the list and the changes as they were. A
// sequence replaced by Save As is the one the grid holds from then on.
TEST_F(EditSequence, SaveAsWritesOnceAndTheListFollowsOnlyWhatWasStored) {
    storeSequence("A", {{"Hydro", "1"}});
    storeSequence("B", {{"Flush", "1"}});
    open();
    auto failing = [&] {
        Registry::failAfterWrites(1);
        dlg->BtnSaveAsClick();
        Registry::failAfterWrites(0);
    };
    const QString refused = "Warning: Error while storing Sequence.";
    const QString blank = "The name \"%1\" can not be used: a name can not start or end with a blank.";
    run({
        {typing({"Hydro|2"}), "A*,B / Hydro|2 / changed / "},
        {failing, "A*,B / Hydro|2 / changed / Sequence \"N\" not saved", {refused}, {}, {"N"}},
        {failing,
         "A*,B / Hydro|2 / changed / Sequence \"B\" not saved",
         {exists("B"), refused},
         {mrYes},
         {"B"}},
        {[&] { dlg->BtnSaveAsClick(); },
         "A,B* / Hydro|2 / Sequence \"B\" replaced",
         {exists("B")},
         {mrYes},
         {"B"}},
        // Pending changes go to B now, not to A where the lines came from.
        {typing({"Hydro|3"}), "A,B* / Hydro|3 / changed / Sequence \"B\" replaced"},
        {[&] { click("A"); }, "A,B* / Hydro|3 / ", {ask("B")}, {mrYes}},
        // New names with a blank at either end are refused, on Create Sequence and on Save As.
        {[&] { dlg->BtnAddSequenceClick(); },
         "A,B* / Hydro|3 / ",
         {"Error!: " + blank.arg(" Lead")},
         {},
         {" Lead"}},
        {[&] { dlg->BtnSaveAsClick(); },
         "A,B,T* / Hydro|3 / Sequence \"T\" added",
         {"Warning: " + blank.arg("T "),
          "Warning: The name \"a\\b\" can not be used: A settings key name cannot hold a backslash: it "
          "separates the keys of a path."},
         {},
         {"T ", "a\\b", "T"}},
    });
    EXPECT_EQ(lines("A") + lines("B"), (QStringList{"Hydro|1", "Hydro|3"}));
    EXPECT_EQ(keys(CSequenceNames().SequencesKey), (Strings{"A", "B", "T"}));
    EXPECT_EQ(queries().mid(5), (QStringList{"Save As Sequence: New Sequence Name: [T ]",
                                             "Save As Sequence: New Sequence Name: [a\\b]"}));
}

// Another program's save since the sequence was loaded is not overwritten unasked.
TEST_F(EditSequence, ASaveOverASequenceChangedElsewhereAsksFirstAndNamesTheChange) {
    storeSequence("A", {{"Hydro", "1"}});
    open();
    type({"Hydro|2"});
    storeSequence("A", {{"Flush", "1"}, {"Hydro", "3"}});
    const QString question =
        "Warning: Sequence \"A\" was changed elsewhere since it was loaded here:\n"
        "- lines when loaded: Hydro|1\n- lines stored now: Flush|1, Hydro|3\n\n"
        "Overwrite it with the changes made here?";
    EXPECT_EQ(save(), QStringList{question});  // No, the default
    EXPECT_EQ(shown(), "A* / Hydro|2 / changed / Sequence \"A\" not saved");
    EXPECT_EQ(lines("A"), (QStringList{"Flush|1", "Hydro|3"}));
    dialogs_.answer(mrYes);
    EXPECT_EQ(save(), QStringList{question});
    EXPECT_EQ(lines("A"), QStringList{"Hydro|2"});
    type({"Hydro|4"});
    EXPECT_EQ(save(), QStringList{});
    // Deleted elsewhere: closing asks; No there keeps the window open with the edits.
    ASSERT_TRUE(CSequenceNames().DeleteSequence("A"));
    type({"Hydro|5"});
    dialogs_.answer(mrYes);
    dialogs_.answer(mrNo);
    dlg->BtnCloseClick();
    EXPECT_EQ(takeBoxes(), (QStringList{ask("A"),
                                        "Warning: Sequence \"A\" was changed elsewhere since it was "
                                        "loaded here:\n- it was deleted\n\nOverwrite it with the "
                                        "changes made here?"}));
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(lines("A"), QStringList{"<missing>"});
}

// Load hands on, and so checks, the stored sequence; one deleted meanwhile is said to be gone, in
// the editor and in the load dialog, and both stay open on what is stored.
TEST_F(EditSequence, LoadChecksWhatIsStoredAndSaysWhenItIsGone) {
    storeSequence("A", {{"Hydro", "1"}});
    storeSequence("B", {{"Flush", "1"}});
    storeSequence("Empty", {});
    open();
    storeSequence("A", {{"Gone", "1"}});
    dlg->BtnLoadClick();
    EXPECT_EQ(takeBoxes(),
              QStringList{"Warning: The following Method Names for the Sequence are missing: \n- "
                          "Gone\n\nYou can not continue."});
    ASSERT_TRUE(CSequenceNames().DeleteSequence("A"));
    dlg->BtnLoadClick();
    EXPECT_EQ(takeBoxes(), QStringList{"Warning: Sequence \"A\" is no longer stored."});
    EXPECT_EQ(shown(), "B*,Empty / Flush|1 / ");
    EXPECT_EQ(dlg->CurrentSequenceName, "B");
    click("Empty");
    dlg->BtnLoadClick();
    EXPECT_EQ(takeBoxes(),
              QStringList{"Error!: Please, define at least one Method.\n\nYou can not continue."});
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(chosen.empty());
    // Print asks about a sequence without a name too.
    dlg->SequenceNameList->SetItemIndex(-1);
    dialogs_.answer(mrNo);
    dlg->BtnPrintClick();
    EXPECT_EQ(takeBoxes(), QStringList{"Warning: Print Sequence \"\"?"});

    TLoadSequenceDialog load;
    load.show();
    ASSERT_TRUE(CSequenceNames().DeleteSequence("B"));
    load.LoadBtnClick();
    EXPECT_EQ(takeBoxes(), QStringList{"Warning: Sequence \"B\" is no longer stored."});
    EXPECT_TRUE(load.isVisible());
    EXPECT_EQ(listed(load.SequenceNameList), QStringList{"Empty*"});
    EXPECT_TRUE(chosen.empty());
}

}  // namespace
