// The load-sequence dialog: the stored list, the check of the stored lines' methods, and the
// name handed on for the next run.
#include <gtest/gtest.h>

#include "methods/LoadSequence.h"
#include "methods/test_editsequence_fixture.h"

namespace {

class LoadSequenceTest : public SequenceDialogTest {
  protected:
    void TearDown() override {
        dlg.reset();
        SequenceDialogTest::TearDown();
    }
    TLoadSequenceDialog& open() {
        dlg = std::make_unique<TLoadSequenceDialog>();
        dlg->show();  // OnShow
        return *dlg;
    }
    std::unique_ptr<TLoadSequenceDialog> dlg;
};

TEST_F(LoadSequenceTest, LoadsTheSelectedSequence) {
    method("Hydrolysis");
    method("Flush", true);
    sequence("Beta", {"Flush"}, {"1"});
    sequence("Amino", {"Hydrolysis", "Flush"}, {"2", "1"});
    sequence("Empty", {}, {});
    open();
    EXPECT_EQ(dlg->windowTitle(), "  Load Sequence");
    EXPECT_EQ(dlg->SequenceNameList->GetItems()->ToStringList(), (QStringList{"Amino", "Beta", "Empty"}));
    EXPECT_EQ(dlg->SequenceNameList->GetItemIndex(), 0);
    dlg->LoadBtn->Click();
    EXPECT_EQ(chosen, std::vector<std::string>{"Amino"});
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_TRUE(dialogs_.shown.empty());

    // A double click loads as well; a sequence without lines passes.
    dlg->show();
    dlg->SequenceNameList->SetItemIndex(2);
    dlg->SequenceNameListOnDblClick();
    EXPECT_EQ(chosen, (std::vector<std::string>{"Amino", "Empty"}));
}

TEST_F(LoadSequenceTest, MissingMethodsKeepTheDialogOpen) {
    method("Hydrolysis");
    sequence("50% B", {"Gone 5%s", "Hydrolysis", "Lost"}, {"1", "1", "2"});
    open();
    dlg->LoadBtnClick();
    ASSERT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(dialogs_.shown[0].title, "Warning");
    EXPECT_EQ(dialogs_.shown[0].text,
              "The following Method Names for the Sequence are missing: "
              "\n- Gone 5%s\n- Lost\n\nYou can not load this sequence.");
    EXPECT_TRUE(chosen.empty());
    EXPECT_TRUE(dlg->isVisible());
    // An empty name counts as missing here.
    EXPECT_EQ(dlg->CheckMethods({"Hydrolysis", ""}), mrNo);
    EXPECT_EQ(dialogs_.shown.back().text,
              "The following Method Names for the Sequence are missing: "
              "\n- \n\nYou can not load this sequence.");
    EXPECT_EQ(dlg->CheckMethods({"Hydrolysis"}), mrYes);
}

TEST_F(LoadSequenceTest, EmptyListClosesWithoutLoading) {
    open();
    EXPECT_EQ(dlg->SequenceNameList->GetCount(), 0);
    dlg->LoadBtnClick();
    EXPECT_TRUE(chosen.empty());
    EXPECT_FALSE(dlg->isVisible());
    dlg->show();
    dlg->CancelBtn->Click();
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_TRUE(dialogs_.shown.empty());
}

}  // namespace
