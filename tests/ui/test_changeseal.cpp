// The seal-change preparation against the stand-in instrument: its boxes and answers, the flush,
// the valves to position 5, the fill to 65 ml, the single-pump case and the main loop's mode 18.
#include "link/Instrument.h"
#include "platform/Dialogs.h"
#include "ui/ChangeSeal.h"
#include "ui/test_pressuretest_rig.h"

namespace {

const char* const kConfirm =
    "You requested Change Seal Procedure.\n\nThis procedure requires special training. Please, follow "
    "step-by-step instructions.\n\nDo you want to continue?";
const char* const kRemoveLine =
    "The pump needs to dispense all the liquid from the syringe.\nPlease remove the flush line from the "
    "bottle. "
    "Click OK when ready.";
const char* const kReady =
    "The pumps are now ready for seal change.\nPlease follow procedure in the operating manual.";

class ChangeSealTest : public RigHarness {
  protected:
    void SetUp() override {
        RigHarness::SetUp();
        seal = std::make_unique<TChangeSeal>();
        ChangeSeal = seal.get();
    }
    void TearDown() override {
        seal.reset();
        RigHarness::TearDown();
    }
    bool step() {
        const bool busy = seal->Step();
        second();
        return busy;
    }
    // Steps until the procedure ends; the states seen before each step, without repeats.
    std::vector<int> run(int limit = 400) {
        std::vector<int> states;
        for (int n = 0; n < limit; ++n) {
            if (states.empty() || states.back() != seal->SealState) states.push_back(seal->SealState);
            if (!step()) break;
        }
        return states;
    }

    std::unique_ptr<TChangeSeal> seal;
};

TEST_F(ChangeSealTest, RunsFlushValvesAndFillInItsOrder) {
    EXPECT_TRUE(seal->StartProcedure());
    EXPECT_EQ(seal->SealState, 0);
    boxes.answer(mrYes);
    boxes.answer(mrOk);
    const std::vector<int> states = run();
    EXPECT_EQ(states, (std::vector<int>{0, 1, 2, 4, 5, 3, 6, 7, 8}));
    EXPECT_EQ(seal->SealState, TChangeSeal::SealEnd);

    ASSERT_EQ(boxes.shown.size(), 3u);
    EXPECT_EQ(boxes.shown[0].text, kConfirm);
    EXPECT_EQ(boxes.shown[0].title, "Please, confirm");
    EXPECT_EQ(boxes.shown[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(boxes.shown[0].defaultButton, mrNo);
    EXPECT_EQ(boxes.shown[1].text, kRemoveLine);
    EXPECT_EQ(boxes.shown[1].title, "Instructions");
    EXPECT_EQ(boxes.shown[1].buttons, MsgButtons::OKCancel);
    EXPECT_EQ(boxes.shown[2].text, kReady);
    EXPECT_EQ(boxes.shown[2].title, "Instructions");
    EXPECT_EQ(boxes.shown[2].buttons, MsgButtons::OK);

    // The flush first (through position 1), then both valves to 5, then the aspirate to 65 ml.
    const auto sent = rig.take();
    ASSERT_GE(sent.size(), 6u);
    EXPECT_TRUE(PumpRig::has(sent, "VALVE 1 1"));
    const std::vector<std::string> tail(sent.end() - 6, sent.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"VALVE 1 5", "VALVE 2 5", "MS 0 32;ML 0 55.00;RVS 0",
                                              "MS 2 32;ML 2 55.00;RVS 2", "OFF 0", "OFF 2"}));
    EXPECT_GE(ZentrovaAPI.Pump1.Volume, 65.0);
    EXPECT_GE(ZentrovaAPI.Pump2.Volume, 65.0);
    EXPECT_EQ(ZentrovaAPI.Valve1.Position, 5);
    EXPECT_EQ(ZentrovaAPI.Valve2.Position, 5);
}

TEST_F(ChangeSealTest, NoEndsOnTheSameTickWithoutMovingAnything) {
    seal->StartProcedure();
    EXPECT_FALSE(step());
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(rig.take().empty());
}

TEST_F(ChangeSealTest, CancelAfterTheValvesTurnedLeavesThemAt5) {
    seal->StartProcedure();
    boxes.answer(mrYes);
    boxes.answer(mrCancel);
    run();
    EXPECT_EQ(seal->SealState, TChangeSeal::SealEnd);
    EXPECT_EQ(boxes.shown.size(), 2u);
    const auto sent = rig.take();
    EXPECT_EQ(sent.back(), "VALVE 2 5");
    EXPECT_EQ(ZentrovaAPI.Valve1.Position, 5);
}

TEST_F(ChangeSealTest, TicksDuringABoxDoNothing) {
    seal->StartProcedure();
    boxes.answer(mrYes);
    boxes.onShow = [&](const MessageRequest&) {
        EXPECT_TRUE(seal->Step());
        EXPECT_EQ(seal->SealState, TChangeSeal::SealParked);
    };
    EXPECT_TRUE(step());
    EXPECT_EQ(seal->SealState, 1);
    EXPECT_TRUE(rig.take().empty());
}

TEST_F(ChangeSealTest, SinglePumpMovesOnlyValve1AndChannel1) {
    singlePump();
    rig.stuckValve[1] = true;  // valve 2 would never report: it must not be waited for
    seal->StartProcedure();
    boxes.answer(mrYes);
    boxes.answer(mrOk);
    run();
    EXPECT_EQ(seal->SealState, TChangeSeal::SealEnd);
    for (const auto& c : rig.take()) {
        EXPECT_EQ(c.find("VALVE 2"), std::string::npos) << c;
        EXPECT_FALSE(c.ends_with(" 2")) << c;  // FWD, RVS and OFF of pump 2
    }
    EXPECT_GE(ZentrovaAPI.Pump1.Volume, 65.0);
}

TEST_F(ChangeSealTest, MainLoopRunsItInMode18AndReturnsToMode2) {
    form->iMode = 2;
    seal->StartProcedure();
    form->SetMode(18);
    EXPECT_EQ(lcdMessage(), "PREPARING INSTRUMENT FOR SEAL CHANGE");
    tickAlive();  // No is the default
    EXPECT_EQ(form->iMode, 2);
}

}  // namespace
