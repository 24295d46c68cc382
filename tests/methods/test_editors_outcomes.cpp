// The editors always say what happened: a deleted sequence is not stored again through the
// pending-changes question, changes without a name are not dropped or offered silently, a
// refused method name says why; and column timetable rows move by dragging.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>

#include "methods/EditMethods.h"
#include "methods/test_editsequence_fixture.h"
#include "platform/i18n.h"

namespace {

class SequenceOutcomes : public SequenceDialogTest {
  protected:
    void SetUp() override {
        SequenceDialogTest::SetUp();
        method("Hydrolysis");
        dlg = std::make_unique<TEditSequenceDialog>();
    }
    void TearDown() override {
        dlg.reset();
        SequenceDialogTest::TearDown();
    }
    void edit() {
        dlg->SequenceTable->SetCells(1, 1, "Hydrolysis");
        dlg->SequenceTable->SetCells(2, 1, "3");
        dlg->Modified = true;
    }
    std::unique_ptr<TEditSequenceDialog> dlg;
};

TEST_F(SequenceOutcomes, DeletingTheEditedSequenceDropsItsEditsInsteadOfStoringItAgain) {
    sequence("Amino", {"Hydrolysis"}, {"1"});
    sequence("Zeta", {"Hydrolysis"}, {"2"});
    dlg->show();
    edit();
    dialogs_.answer(mrOk);
    dialogs_.answer(mrYes);  // would save the pending changes, were they offered
    dlg->BtnDeleteSequenceClick();
    EXPECT_EQ(texts(), QStringList{"Please, confirm: Delete Sequence \"Amino\"?"});
    EXPECT_EQ(names(), QStringList{"Zeta"});
    EXPECT_EQ(dlg->StatusLbl->GetCaption(), "Sequence \"Amino\" deleted.");
}

TEST_F(SequenceOutcomes, ChangesWithoutASequenceNameAreNotLeftSilently) {
    dlg->show();
    dlg->BtnDeleteSequenceClick();
    edit();
    dlg->BtnLoadClick();
    EXPECT_TRUE(dlg->isVisible());
    dlg->BtnCloseClick();
    EXPECT_EQ(texts(), (QStringList{"Warning: No Sequence Name selected.",
                                    "Warning: No Sequence Name selected: the changes can not be saved and "
                                    "nothing is loaded. Use Save As to store them under a name.",
                                    "Warning: No Sequence Name selected: the changes are not saved."}));
    EXPECT_TRUE(chosen.empty());
}

class MethodOutcomes : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        setDecimalSeparator('.');
        TMethodINIParams m;
        m.Name = "A";
        m.Runtime = "10";
        m.EquilTime = "5";
        m.ColumnT = "40";
        m.ReactorT = "100";
        m.Pump1Flow = m.Pump2Flow = "0.50";
        m.ColumnTimeList = {"1.0", "2.0", "3.0"};
        m.ColumnTempList = {"40", "45", "50"};
        ASSERT_TRUE(CMethodNames().SaveMethod(m));
    }
    void open() {
        form.FormOnShow();
        form.FormOnActivate();
    }
    std::vector<QString> texts() const {
        std::vector<QString> out;
        for (const auto& r : dialogs_.shown) out.push_back(r.text);
        return out;
    }
    TEditMethodForm form;
};

TEST_F(MethodOutcomes, SaveAsNamesTheReasonOfARefusedName) {
    open();
    dialogs_.answerInput(true, "a\\b");
    dialogs_.answerInput(false);
    form.SaveAsBtnClick();
    EXPECT_EQ(texts(), std::vector<QString>{
                           "The name \"a\\b\" can not be used: a method name can not contain \"\\\"."});
    EXPECT_EQ(dialogs_.queried.size(), 2u);
}

TEST_F(MethodOutcomes, CloseWithoutASelectedMethodOffersNoSave) {
    CMethodNames().DeleteMethod(std::string("A"));
    open();
    form.Runtime->SetText("7");
    bool canClose = true;
    form.EditMethodFormOnClose(canClose);
    EXPECT_TRUE(canClose);
    EXPECT_EQ(texts(), std::vector<QString>{"No Method Name selected: the changes are not saved."});
}

TEST_F(MethodOutcomes, ColumnTimetableRowsMoveByDragging) {
    open();
    form.show();
    form.PageControlTT->setCurrentWidget(form.TabSheet2);
    QApplication::processEvents();
    TUxStringGrid* g = form.ColumnTimetable;
    auto send = [g](QEvent::Type type, int row) {
        const QPointF at(g->columnViewportPosition(0) + 5, g->rowViewportPosition(row) + 5);
        QMouseEvent e(type, at, g->viewport()->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(g->viewport(), &e);
    };
    send(QEvent::MouseButtonPress, 3);
    send(QEvent::MouseMove, 2);
    send(QEvent::MouseButtonRelease, 1);
    EXPECT_TRUE(form.Modified);
    EXPECT_EQ(g->GetCells(0, 1), ">>>");
    form.BtnSaveClick();
    TMethodINIParams back;
    back.Name = "A";
    ASSERT_TRUE(CMethodNames().LoadMethod(back));
    EXPECT_EQ(back.ColumnTimeList, (Strings{"3.0", "1.0", "2.0"}));
    EXPECT_EQ(back.ColumnTempList, (Strings{"50", "40", "45"}));
}

}  // namespace
