// The sequence editor: validation texts, what Save and Save As store and log, the question
// about pending changes when the operator switches, closes, creates or loads, and the
// sequence handed on for the next run.
#include <gtest/gtest.h>

#include "link/Instrument.h"
#include "methods/test_editsequence_fixture.h"
#include "platform/Printer.h"

namespace {

const QString kCorrect = "Please, correct the following errors in your submission:\n";

class EditSequenceTest : public SequenceDialogTest {
  protected:
    void SetUp() override {
        SequenceDialogTest::SetUp();
        method("Hydrolysis");
        method("Flush", true);
    }
    void TearDown() override {
        dlg.reset();
        SequenceDialogTest::TearDown();
    }
    TEditSequenceDialog& open() {
        dlg = std::make_unique<TEditSequenceDialog>();
        dlg->show();  // FormShow
        return *dlg;
    }
    // Replaces the grid's lines as the operator would type them.
    void lines(const QStringList& methods, const QStringList& runs) {
        TUxStringGrid* g = dlg->SequenceTable;
        g->SetRowCount(static_cast<int>(methods.size()) + 1);
        for (int i = 0; i < methods.size(); ++i) {
            g->SetCells(1, i + 1, methods[i]);
            g->SetCells(2, i + 1, runs[i]);
        }
        dlg->Modified = true;
    }
    QStringList grid() const {
        QStringList out;
        for (int r = 1; r < dlg->SequenceTable->GetRowCount(); ++r)
            out << dlg->SequenceTable->GetCells(1, r) + "|" + dlg->SequenceTable->GetCells(2, r);
        return out;
    }
    // The operator clicks another sequence in the list.
    void click(const QString& name) {
        dlg->SequenceNameList->setCurrentRow(dlg->SequenceNameList->GetItems()->IndexOf(name));
    }
    QString selected() const {
        const int i = dlg->SequenceNameList->GetItemIndex();
        return i < 0 ? QString() : dlg->SequenceNameList->item(i)->text();
    }
    // Save on the grid as it stands; the text of the one box shown, if any.
    QString saveMessage() {
        dialogs_.shown.clear();
        dlg->BtnSave->Click();
        return dialogs_.shown.empty() ? QString() : dialogs_.shown.back().text;
    }

    std::unique_ptr<TEditSequenceDialog> dlg;
};

TEST_F(EditSequenceTest, OpensOnTheRunsSequenceOrAnEmptyLine) {
    open();
    EXPECT_EQ(dlg->SequenceNameList->GetCount(), 0);
    EXPECT_EQ(grid(), QStringList{"|"});
    dlg.reset();

    sequence("Amino", {"Hydrolysis"}, {"2"});
    sequence("Beta", {"Flush"}, {"1"});
    TInstrumentModule module;
    module.Sequence.Name = "beta";
    open();
    EXPECT_EQ(selected(), "Beta");
    EXPECT_EQ(dlg->CurrentSequenceName, "Beta");
    EXPECT_EQ(grid(), QStringList{"Flush|1"});
    dlg.reset();
    // A run's sequence that is no longer stored leaves the first one selected.
    module.Sequence.Name = "Gone";
    open();
    EXPECT_EQ(selected(), "Amino");
    EXPECT_EQ(grid(), QStringList{"Hydrolysis|2"});
}

TEST_F(EditSequenceTest, ValidationTextsOnSave) {
    sequence("S", {"Hydrolysis"}, {"1"});
    open();
    lines({""}, {"5"});
    EXPECT_EQ(saveMessage(), kCorrect + "at least one method has to be defined\n");
    EXPECT_EQ(dialogs_.shown.back().title, "Warning");
    EXPECT_EQ(dlg->StatusLbl->GetCaption(), "Sequence \"S\" not saved");
    EXPECT_TRUE(dlg->Modified);
    EXPECT_EQ(stored("S"), QStringList{"Hydrolysis|1"});

    for (const char* bad : {"0", "-2", "1.5", "3 ", "x", "99999999999"}) {
        lines({"Hydrolysis"}, {bad});
        EXPECT_EQ(saveMessage(), kCorrect + "- Runs for method Hydrolysis should be a positive number\n")
            << bad;
    }
    for (const char* good : {"007", "+3", " 3", "$A", "0x1f"}) {
        lines({"Hydrolysis"}, {good});
        EXPECT_EQ(saveMessage(), "") << good;
        EXPECT_EQ(stored("S"), QStringList{QString("Hydrolysis|") + good});
    }

    // A missing method gets its own line and, with no runs, the runs line too; lines without
    // a method are not examined.
    lines({"Nope", "", "Hydrolysis"}, {"", "abc", ""});
    EXPECT_EQ(saveMessage(), kCorrect +
                                 "- method Nope does not exist\n- Runs for method Nope should be defined\n"
                                 "- Runs for method Hydrolysis should be defined\n");

    // A flush method must be the grid's last row, an empty row below it included.
    lines({"Flush", ""}, {"1", ""});
    EXPECT_EQ(saveMessage(), kCorrect + "- The Flash method Flush should be the last one in Sequence\n");
    lines({"Hydrolysis", "Flush"}, {"2", "1"});
    EXPECT_EQ(saveMessage(), "");
    EXPECT_EQ(stored("S"), (QStringList{"Hydrolysis|2", "Flush|1"}));

    // Two empty lines pass and store a sequence without lines.
    lines({"", ""}, {"", ""});
    EXPECT_EQ(saveMessage(), "");
    EXPECT_EQ(stored("S"), QStringList{});
    EXPECT_EQ(dlg->StatusLbl->GetCaption(), "Sequence \"S\" saved");
}

TEST_F(EditSequenceTest, SaveStoresTheGridAndLogsEveryLine) {
    sequence("Amino", {"Flush"}, {"1"});
    open();
    lines({"Hydrolysis", "", "Flush"}, {"2", "", "1"});
    EXPECT_EQ(saveMessage(), "");
    EXPECT_EQ(stored("Amino"), (QStringList{"Hydrolysis|2", "Flush|1"}));
    EXPECT_EQ(keys(CSequenceNames().SequencesKey + "\\Amino"), (Strings{"0000001", "0000002"}));
    EXPECT_FALSE(dlg->Modified);
    EXPECT_EQ(dlg->CurrentSequenceName, "Amino");
    EXPECT_NE(logText().find("#EditSequence: SaveSequence(success): Amino||Hydrolysis|2|||||Flush|1||\n"),
              std::string::npos)
        << logText();

    // Nothing selected: nothing stored.
    dlg->SequenceNameList->SetItemIndex(-1);
    EXPECT_EQ(saveMessage(), "No Sequence Name selected.");
    EXPECT_EQ(dialogs_.shown.back().title, "Warning");
}

TEST_F(EditSequenceTest, RefusedWriteIsReportedAndKeepsTheChanges) {
    sequence("Amino", {"Flush"}, {"1"});
    open();
    lines({"Hydrolysis"}, {"2"});
    Registry::failAfterWrites(1);
    EXPECT_EQ(saveMessage(), "Error while storing Sequence.");
    Registry::failAfterWrites(0);
    EXPECT_EQ(dlg->StatusLbl->GetCaption(), "Sequence \"Amino\" not saved");
    EXPECT_TRUE(dlg->Modified);
    EXPECT_EQ(stored("Amino"), QStringList{"Flush|1"});
    EXPECT_NE(logText().find("#EditSequence: SaveSequence(failed): Amino||Hydrolysis|2||\n"),
              std::string::npos);
    EXPECT_EQ(grid(), QStringList{"Hydrolysis|2"});
}

TEST_F(EditSequenceTest, ClickInGridThenOtherSequenceAsksToSave) {
    sequence("A", {"Hydrolysis"}, {"1"});
    sequence("B", {"Flush"}, {"1"});
    open();
    // A cell selection by the operator counts as a change.
    ASSERT_TRUE(dlg->SequenceTable->SetCurrentCell(2, 1));
    EXPECT_TRUE(dlg->Modified);
    EXPECT_EQ(dlg->SequenceTable->GetCells(0, 1), ">>>");

    dialogs_.answer(mrNo);
    click("B");
    ASSERT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(dialogs_.shown[0].text, "Save changes for the sequence \"A\"?");
    EXPECT_EQ(dialogs_.shown[0].title, "Please, confirm");
    EXPECT_EQ(dialogs_.shown[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(dialogs_.shown[0].defaultButton, mrNo);
    EXPECT_EQ(selected(), "B");
    EXPECT_EQ(dlg->CurrentSequenceName, "B");
    EXPECT_EQ(grid(), QStringList{"Flush|1"});

    // Yes: the edits go to B and the editor stays on B.
    dlg->SequenceTable->SetCells(2, 1, "4");
    dlg->SequenceTableOnSetEditText(2, 1, "4");
    dialogs_.answer(mrYes);
    click("A");
    EXPECT_EQ(dialogs_.shown.back().text, "Save changes for the sequence \"B\"?");
    EXPECT_EQ(stored("B"), QStringList{"Flush|4"});
    EXPECT_EQ(selected(), "B");
    EXPECT_EQ(grid(), QStringList{"Flush|4"});
    EXPECT_FALSE(dlg->Modified);

    // Nothing pending: no question.
    dialogs_.shown.clear();
    click("A");
    EXPECT_TRUE(dialogs_.shown.empty());
    EXPECT_EQ(grid(), QStringList{"Hydrolysis|1"});
}

TEST_F(EditSequenceTest, PendingChangesThatFailValidationStay) {
    sequence("A", {"Hydrolysis"}, {"1"});
    sequence("B", {"Flush"}, {"1"});
    open();
    lines({"Hydrolysis"}, {"0"});
    dialogs_.answer(mrYes);
    click("B");
    ASSERT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(dialogs_.shown[1].text, "You can not save changes. " + kCorrect +
                                          "- Runs for method Hydrolysis should be a positive number\n");
    EXPECT_EQ(dialogs_.shown[1].title, "Warning");
    EXPECT_TRUE(dlg->Modified);
    EXPECT_EQ(selected(), "A");
    EXPECT_EQ(grid(), QStringList{"Hydrolysis|0"});
    EXPECT_EQ(stored("A"), QStringList{"Hydrolysis|1"});
}

TEST_F(EditSequenceTest, PickerChoiceIsWrittenByTheOperatorsMoveOnly) {
    sequence("A", {"Hydrolysis", "Hydrolysis"}, {"1", "2"});
    open();
    TUxComboBox* picker = dlg->MethodNameSelect;
    picker->SetItemIndex(picker->GetItems()->IndexOf("Flush"));
    // The editor's own move (Insert on a method cell) commits nothing.
    dlg->BtnInsertMethodClick();
    EXPECT_EQ(grid(), (QStringList{"|", "Hydrolysis|1", "Hydrolysis|2"}));
    EXPECT_EQ(picker->GetItemIndex(), -1);
    picker->SetItemIndex(picker->GetItems()->IndexOf("Flush"));
    ASSERT_TRUE(dlg->SequenceTable->SetCurrentCell(1, 3));
    EXPECT_EQ(grid(), (QStringList{"Flush|", "Hydrolysis|1", "Hydrolysis|2"}));
    EXPECT_EQ(picker->GetText(), "Hydrolysis");
    EXPECT_EQ(dlg->SequenceTable->GetCells(0, 3), ">>>");
    EXPECT_EQ(dlg->SequenceTable->GetCells(0, 1), "");

    // Delete on the last row: the lines move up and the marker follows.
    dlg->BtnDeleteMethodClick();
    EXPECT_EQ(grid(), (QStringList{"Flush|", "Hydrolysis|1"}));
    EXPECT_EQ(dlg->SequenceTable->GetCells(0, dlg->SequenceTable->GetRow()), ">>>");
    dlg->BtnAddMethodClick();
    EXPECT_EQ(grid(), (QStringList{"Flush|", "Hydrolysis|1", "|"}));
    ASSERT_TRUE(dlg->SequenceTable->SetCurrentCell(2, 1));
    dlg->BtnDeleteMethodClick();
    dlg->BtnDeleteMethodClick();
    dlg->BtnDeleteMethodClick();
    EXPECT_EQ(grid(), QStringList{"|"});
    EXPECT_TRUE(dlg->Modified);
}

TEST_F(EditSequenceTest, MethodChosenInThePickerIsAChange) {
    sequence("A", {"Hydrolysis"}, {"1"});
    sequence("B", {"Flush"}, {"1"});
    open();
    TUxComboBox* picker = dlg->MethodNameSelect;
    const int flush = picker->GetItems()->IndexOf("Flush");
    picker->SetItemIndex(flush);
    emit picker->activated(flush);
    EXPECT_TRUE(dlg->Modified);
    // Leaving the grid writes the choice into the method cell.
    dlg->OnExitSequenceName();
    EXPECT_EQ(grid(), QStringList{"Flush|1"});
    dialogs_.answer(mrYes);
    click("B");
    EXPECT_EQ(texts(), QStringList{"Please, confirm: Save changes for the sequence \"A\"?"});
    EXPECT_EQ(stored("A"), QStringList{"Flush|1"});
}

TEST_F(EditSequenceTest, SaveAsFlows) {
    sequence("Amino", {"Flush"}, {"1"});
    open();
    lines({""}, {""});
    dlg->BtnSaveAsClick();
    EXPECT_EQ(texts(), QStringList{"Warning: This Sequence can not be saved. " + kCorrect +
                                   "at least one method has to be defined\n"});
    EXPECT_TRUE(dialogs_.queried.empty());

    // Empty name asked again; an existing name (other letter case) answered No asks again with
    // the text typed; Cancel on the overwrite question stores nothing.
    dialogs_.shown.clear();
    lines({"Hydrolysis"}, {"3"});
    dialogs_.answerInput(true, "");
    dialogs_.answerInput(true, "AMINO");
    dialogs_.answerInput(true, "AMINO");
    dialogs_.answer(mrOk);
    dialogs_.answer(mrNo);
    dialogs_.answer(mrCancel);
    dlg->BtnSaveAsClick();
    ASSERT_EQ(dialogs_.queried.size(), 3u);
    EXPECT_EQ(dialogs_.queried[0].caption, "Save As Sequence");
    EXPECT_EQ(dialogs_.queried[0].prompt, "New Sequence Name:");
    EXPECT_EQ(dialogs_.queried[2].value, "AMINO");
    EXPECT_EQ(texts(), (QStringList{"Warning: Please, enter Sequence name.",
                                    "Warning: Sequence Name \"AMINO\" already exist. Overwtire?",
                                    "Warning: Sequence Name \"AMINO\" already exist. Overwtire?"}));
    EXPECT_EQ(dialogs_.shown[1].buttons, MsgButtons::YesNoCancel);
    EXPECT_EQ(dialogs_.shown[1].defaultButton, mrNo);
    EXPECT_EQ(stored("Amino"), QStringList{"Flush|1"});

    // Yes replaces.
    dialogs_.answerInput(true, "amino");
    dialogs_.answer(mrYes);
    dlg->BtnSaveAsClick();
    EXPECT_EQ(stored("Amino"), QStringList{"Hydrolysis|3"});
    EXPECT_EQ(dlg->StatusLbl->GetCaption(), "Sequence \"amino\" replaced");
    EXPECT_EQ(names().size(), 1);

    // A new name is added, selected and becomes the sequence being edited.
    dialogs_.shown.clear();
    dialogs_.answerInput(true, "New 100%");
    dlg->BtnSaveAsClick();
    EXPECT_EQ(texts(), QStringList{});
    EXPECT_EQ(stored("New 100%"), QStringList{"Hydrolysis|3"});
    EXPECT_EQ(selected(), "New 100%");
    EXPECT_EQ(dlg->CurrentSequenceName, "New 100%");
    EXPECT_EQ(dlg->StatusLbl->GetCaption(), "Sequence \"New 100%\" added");
    EXPECT_FALSE(dlg->Modified);
}

TEST_F(EditSequenceTest, CreateAndDeleteSequence) {
    sequence("Amino", {"Flush"}, {"1"});
    open();
    dialogs_.answerInput(true, "aMiNo");
    dlg->BtnAddSequenceClick();
    ASSERT_EQ(dialogs_.queried.size(), 1u);
    EXPECT_EQ(dialogs_.queried[0].caption, "Create Sequence");
    EXPECT_EQ(dialogs_.queried[0].prompt, "Sequence Name:");
    EXPECT_EQ(dialogs_.queried[0].cancelCaption, "Cancel");
    EXPECT_EQ(texts(),
              QStringList{"Error!: Sequence Name \"aMiNo\" already exist. Please, pick another one."});
    EXPECT_EQ(names(), QStringList{"Amino"});

    // Cancelled: nothing created; the selection change still runs (and asks about changes).
    lines({"Hydrolysis"}, {"2"});
    dialogs_.shown.clear();
    dialogs_.answer(mrNo);
    dlg->BtnAddSequenceClick();
    EXPECT_EQ(texts(), QStringList{"Please, confirm: Save changes for the sequence \"Amino\"?"});
    EXPECT_EQ(names(), QStringList{"Amino"});
    EXPECT_EQ(grid(), QStringList{"Flush|1"});

    dialogs_.answerInput(true, "Zeta");
    dlg->BtnAddSequenceClick();
    EXPECT_EQ(names(), (QStringList{"Amino", "Zeta"}));
    EXPECT_EQ(selected(), "Zeta");
    EXPECT_EQ(dlg->CurrentSequenceName, "Zeta");
    EXPECT_EQ(grid(), QStringList{"|"});

    dialogs_.shown.clear();
    dialogs_.answer(mrCancel);
    dlg->BtnDeleteSequenceClick();
    EXPECT_EQ(texts(), QStringList{"Please, confirm: Delete Sequence \"Zeta\"?"});
    EXPECT_EQ(dialogs_.shown[0].buttons, MsgButtons::OKCancel);
    EXPECT_EQ(names(), (QStringList{"Amino", "Zeta"}));
    dlg->BtnDeleteSequenceClick();
    EXPECT_EQ(names(), QStringList{"Amino"});
    EXPECT_EQ(selected(), "Amino");
    EXPECT_EQ(dlg->StatusLbl->GetCaption(), "Sequence \"Zeta\" deleted.");
    EXPECT_EQ(grid(), QStringList{"Flush|1"});
    dlg->BtnDeleteSequenceClick();
    EXPECT_EQ(names(), QStringList{});
    EXPECT_EQ(dlg->SequenceNameList->GetItemIndex(), -1);
    EXPECT_EQ(grid(), QStringList{"|"});
}

TEST_F(EditSequenceTest, UnnamedChangesWaitForANameInsteadOfAFailedSave) {
    open();
    lines({"Hydrolysis"}, {"2"});
    dialogs_.answerInput(true, "First");
    dialogs_.answer(mrYes);
    dlg->BtnAddSequenceClick();
    EXPECT_EQ(texts(), QStringList{"Please, confirm: Save changes for the sequence \"First\"?"});
    EXPECT_EQ(stored("First"), QStringList{"Hydrolysis|2"});
    EXPECT_EQ(grid(), QStringList{"Hydrolysis|2"});
}

TEST_F(EditSequenceTest, LoadForRunChecksTheGridsMethods) {
    sequence("Amino", {"Hydrolysis", "Gone"}, {"1", "1"});
    sequence("Beta", {"Flush"}, {"1"});
    open();
    dlg->BtnLoadClick();
    EXPECT_EQ(texts(), QStringList{"Warning: The following Method Names for the Sequence are missing: "
                                   "\n- Gone\n\nYou can not continue."});
    EXPECT_TRUE(chosen.empty());

    dialogs_.shown.clear();
    lines({"", ""}, {"", ""});
    dialogs_.answer(mrNo);
    dlg->BtnLoadClick();
    EXPECT_EQ(texts(), (QStringList{"Please, confirm: Save changes for the sequence \"Amino\"?",
                                    "Error!: Please, define at least one Method.\n\nYou can not continue."}));
    EXPECT_TRUE(chosen.empty());

    click("Beta");
    dlg->BtnLoadClick();
    EXPECT_EQ(chosen, std::vector<std::string>{"Beta"});
    EXPECT_EQ(dlg->StatusLbl->GetCaption(), "Current Sequence: Beta");
    EXPECT_FALSE(dlg->isVisible());
}

TEST_F(EditSequenceTest, CloseAsksCancelRestoresAndPrintTakesTheGrid) {
    sequence("Amino", {"Flush"}, {"1"});
    open();
    lines({"Hydrolysis"}, {"2"});
    dialogs_.answer(mrYes);
    dlg->BtnCloseClick();
    EXPECT_EQ(texts(), QStringList{"Please, confirm: Save changes for the sequence \"Amino\"?"});
    EXPECT_EQ(stored("Amino"), QStringList{"Hydrolysis|2"});
    EXPECT_FALSE(dlg->isVisible());

    dlg->show();
    lines({"Flush", ""}, {"7", "x"});
    dlg->BtnCancelClick();
    EXPECT_EQ(grid(), QStringList{"Hydrolysis|2"});
    EXPECT_FALSE(dlg->Modified);
    EXPECT_FALSE(dlg->isVisible());

    // Print asks about the grid as it stands; No prints nothing.
    dlg->show();
    dialogs_.shown.clear();
    dialogs_.answer(mrNo);
    dlg->BtnPrintClick();
    ASSERT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(dialogs_.shown[0].text, "Print Sequence \"Amino\"?");
}

}  // namespace
