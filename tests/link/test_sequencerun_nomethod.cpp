// A sequence line whose method is not loaded ends the sequence: the instrument receives
// nothing of the method the record held before (an earlier sequence's).
#include <gtest/gtest.h>

#include "link/support_runharness.h"
#include "support/StoredMethods.h"

namespace {

class NoMethodRun : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        storeMethod(plainMethod("Old"));
        storeSequence("A", {{"Old", "1"}});
        // The earlier sequence's method is in the record, as after a run or an Enable.
        m().Sequence.Name = "A";
        ASSERT_TRUE(m().GetSequenceParams());
        ASSERT_TRUE(m().GetMethodParams());
        link().clearSent();
    }
};

TEST_F(NoMethodRun, NothingOfTheEarlierMethodReachesTheInstrument) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> lines;
    };
    for (const Case& c : {Case{"no lines", {}}, Case{"method not stored", {{"Gone", "2"}}}}) {
        SCOPED_TRACE(c.what);
        storeSequence("B", c.lines);
        m().Sequence.Name = "B";
        m().InitSequenceRun();
        EXPECT_EQ(runWhile([&] { return m().bRun(0); }, 10, true), 3);
        // Status queries aside, nothing goes out: no set point, valve or pump command.
        EXPECT_EQ(link().takeSent(), std::vector<std::string>{});
        EXPECT_EQ(m().SequenceEndReason, 3);
        EXPECT_EQ(logLinesStarting("#bRun(): no method loaded for line 1 of Sequence B").size(),
                  c.lines.empty() ? 1u : 2u);
    }
}

}  // namespace
