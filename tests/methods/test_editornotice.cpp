// The editors tell the main window what they stored or deleted, once the store holds it: a save
// and a delete of a method or a sequence, and nothing for a save the store refused.
#include <gtest/gtest.h>

#include <memory>

#include "methods/EditMethods.h"
#include "methods/EditSequence.h"
#include "methods/EditorNotice.h"
#include "methods/support_store.h"

namespace {

class EditorNotice : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        storeMethod(plainMethod("A"));
        storeMethod(plainMethod("B"));
        storeSequence("S", {{"A", "1"}});
        storeSequence("T", {{"B", "1"}});
        OnRecordStored = [this](StoredRecord kind, const QString& name) {
            // The store holds it when the main window hears of it.
            TSequenceINIParams seq;
            seq.Name = name;
            const bool stored = kind == StoredRecord::Method ? CMethodNames().MethodExists(name)
                                                             : CSequenceNames().LoadSequence(seq);
            told << (kind == StoredRecord::Method ? "method " : "sequence ") + name +
                        (stored ? " stored" : " gone");
        };
    }
    void TearDown() override {
        methods.reset();
        sequences.reset();
        OnRecordStored = nullptr;
        StoreTest::TearDown();
    }
    QStringList take() {
        const QStringList out = told;
        told.clear();
        return out;
    }
    QStringList told;
    std::unique_ptr<TEditMethodForm> methods;
    std::unique_ptr<TEditSequenceDialog> sequences;
};

TEST_F(EditorNotice, MethodEditorTellsItsSavesAndDeletes) {
    methods = std::make_unique<TEditMethodForm>();
    methods->FormOnShow();
    methods->FormOnActivate();
    methods->MethodNameList->SetItemIndex(methods->MethodNameList->GetItems()->IndexOf("A"));
    methods->OnClickMethodNameList(methods->MethodNameList);
    methods->ColumnTINI->SetText("45");
    methods->BtnSaveClick();
    EXPECT_EQ(take(), QStringList{"method A stored"});

    Registry::failAfterWrites(1);  // the store refuses the next save
    methods->ColumnTINI->SetText("50");
    methods->BtnSaveClick();
    Registry::failAfterWrites(0);
    EXPECT_EQ(take(), QStringList{});
    takeBoxes();

    dialogs_.answer(mrOk);
    methods->BtnDeleteMethodClick();
    EXPECT_EQ(take(), QStringList{"method A gone"});
}

TEST_F(EditorNotice, SequenceEditorTellsItsSavesAndDeletes) {
    sequences = std::make_unique<TEditSequenceDialog>();
    sequences->show();
    sequences->SequenceNameList->setCurrentRow(sequences->SequenceNameList->GetItems()->IndexOf("S"));
    sequences->SequenceTable->SetCells(2, 1, "3");
    sequences->Modified = true;
    sequences->BtnSave->Click();
    EXPECT_EQ(take(), QStringList{"sequence S stored"});

    dialogs_.answer(mrOk);
    sequences->BtnDeleteSequence->Click();
    EXPECT_EQ(take(), QStringList{"sequence S gone"});
}

}  // namespace
