// Start Sequence and Enable refuse a sequence without lines with a box that says so; nothing
// is sent to the instrument and no run starts.
#include "MainFormHarness.h"
#include "support/StoredMethods.h"

namespace {

class EmptySequence : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        storeMethod(plainMethod("M1"));
        storeSequence("S", {{"M1", "1"}});
        storeSequence("Empty", {});
        ZentrovaAPI.Pump1.Volume = ZentrovaAPI.Pump2.Volume = 100;
    }
};

TEST_F(EmptySequence, StartSequenceRefusesIt) {
    instrument->Sequence.Name = "S";
    ASSERT_TRUE(form->SetInstrumentEnabled(true));
    form->SetDefaultSequence("Empty");
    boxes.shown.clear();
    rec.take();
    form->StartSequence1Click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Can not start Sequence. Sequence \"Empty\" has no lines.");
    EXPECT_EQ(form->iMode, 2);
    EXPECT_TRUE(rec.take().empty());
}

TEST_F(EmptySequence, EnableRefusesIt) {
    instrument->Sequence.Name = "Empty";
    EXPECT_FALSE(form->SetInstrumentEnabled(true));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Can't Enable Instrument:\n\nSequence \"Empty\" has no lines.");
    EXPECT_FALSE(instrument->Enabled);
}

}  // namespace
