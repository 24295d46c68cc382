#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "link/CommandQueue.h"
#include "link/LogFile.h"
#include "platform/Clock.h"
#include "support/TempEnv.h"

namespace {

std::string next(TCommandQueue& q) {
    const char* s = q.Next();
    return s ? std::string(s) : std::string("<null>");
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

}  // namespace

TEST(CommandQueue, SplitsLineIntoPiecesInOrder) {
    TCommandQueue q;
    EXPECT_TRUE(q.Add("MS 0 1;ML 0 0.005;FWD 0"));
    EXPECT_EQ(q.Count(), 3);
    EXPECT_EQ(next(q), "MS 0 1");
    EXPECT_EQ(next(q), "ML 0 0.005");
    EXPECT_EQ(next(q), "FWD 0");
    EXPECT_EQ(q.Next(), nullptr);
    EXPECT_EQ(q.Count(), 0);
}

TEST(CommandQueue, EmptyPiecesAreSkippedAndBlanksKept) {
    TCommandQueue q;
    q.Add(";A;;B ; C;");
    EXPECT_EQ(q.Count(), 3);
    EXPECT_EQ(next(q), "A");
    EXPECT_EQ(next(q), "B ");
    EXPECT_EQ(next(q), " C");
    q.Add("");
    q.Add(";;;");
    q.Add(static_cast<const char*>(nullptr));
    EXPECT_EQ(q.Count(), 0);
}

TEST(CommandQueue, PieceOf29IsQueuedAnd30IsDroppedWithNeighboursKept) {
    TCommandQueue q;
    const std::string p29(29, 'a'), p30(30, 'b');
    EXPECT_TRUE(q.Add(p29));
    EXPECT_EQ(next(q), p29);
    EXPECT_FALSE(q.Add("X;" + p30 + ";Y"));
    EXPECT_EQ(q.Count(), 2);
    EXPECT_EQ(next(q), "X");
    EXPECT_EQ(next(q), "Y");
}

TEST(CommandQueue, LongLinesAreRefusedWithoutOverrun) {
    TCommandQueue q;
    std::string ok;
    while (ok.size() + 6 <= 199) ok += "OFF 0;";
    ok.resize(199, 'Z');  // exactly 199: taken
    EXPECT_LE(ok.size(), TCommandQueue::MaxLine);
    q.Add(ok);
    EXPECT_GT(q.Count(), 0);
    q.Clear();

    std::string big = ok + "Z";  // 200 characters
    EXPECT_FALSE(q.Add(big));
    EXPECT_FALSE(q.Add(big.c_str()));
    EXPECT_EQ(q.Count(), 0);
    std::string huge(5000, ';');
    EXPECT_FALSE(q.Add(huge));
    EXPECT_EQ(q.Count(), 0);
}

TEST(CommandQueue, TextAfterNulIsIgnored) {
    TCommandQueue q;
    std::string line("A;B", 3);
    line += '\0';
    line += ";C";
    q.Add(line);
    EXPECT_EQ(q.Count(), 2);
    TCommandStack st;
    st.Push(std::string_view("AB\0CD", 5));
    EXPECT_TRUE(st.IsLast("AB"));
}

TEST(CommandQueue, IsLastLooksAtNewestUnreadOnly) {
    TCommandQueue q;
    EXPECT_FALSE(q.IsLast("? 123"));
    q.Add("? 123");
    EXPECT_TRUE(q.IsLast("? 123"));
    EXPECT_FALSE(q.IsLast("? 12"));
    EXPECT_FALSE(q.IsLast("? 1234"));
    EXPECT_EQ(next(q), "? 123");
    // Taken: the slot still holds it, but nothing is unread.
    EXPECT_FALSE(q.IsLast("? 123"));

    q.Add("OFF 0;? 123");
    EXPECT_TRUE(q.IsLast("? 123"));  // the newest, not the one Next returns
    q.Add("OFF 2");
    EXPECT_FALSE(q.IsLast("? 123"));
    EXPECT_TRUE(q.IsLast("OFF 2"));
}

TEST(CommandQueue, ClearDropsUnreadAndQueueWorksAfter) {
    TCommandQueue q;
    q.Add("A;B;C");
    EXPECT_TRUE(q.Clear());
    EXPECT_EQ(q.Count(), 0);
    EXPECT_EQ(q.Next(), nullptr);
    EXPECT_FALSE(q.IsLast("C"));
    q.Add("D");
    EXPECT_EQ(q.Count(), 1);
    EXPECT_EQ(next(q), "D");
}

TEST(CommandQueue, IndexesWrapAroundTheRing) {
    TCommandStack st;
    EXPECT_EQ(st.Pop(), nullptr);
    EXPECT_EQ(st.ReadIndex(), 0);
    for (int i = 0; i < 150; ++i) {
        st.Push(("C" + std::to_string(i)).c_str());
        ASSERT_EQ(std::string(st.Pop()), "C" + std::to_string(i));
    }
    EXPECT_EQ(st.Count(), 0);
    EXPECT_EQ(st.Push("next"), 51);
    EXPECT_EQ(st.Count(), 1);
    EXPECT_STREQ(st.Pop(), "next");
    EXPECT_EQ(st.ReadIndex(), 51);
}

TEST(CommandQueue, PushIsRefusedWhenRingIsFullAndNothingIsLost) {
    TCommandStack st;
    for (int i = 0; i < 99; ++i) st.Push(("C" + std::to_string(i)).c_str());
    EXPECT_EQ(st.Count(), 99);
    const int32_t w = st.WriteIndex();
    EXPECT_EQ(st.Push("extra"), w);
    EXPECT_EQ(st.Push("extra2"), w);
    EXPECT_EQ(st.Count(), 99);
    EXPECT_TRUE(st.IsLast("C98"));
    EXPECT_STREQ(st.Pop(), "C0");
    EXPECT_NE(st.Push("after"), w);  // room again
    EXPECT_EQ(st.Count(), 99);
    for (int i = 1; i < 99; ++i) ASSERT_EQ(std::string(st.Pop()), "C" + std::to_string(i));
    EXPECT_STREQ(st.Pop(), "after");
    EXPECT_EQ(st.Pop(), nullptr);

    // Through the queue: a line that overfills the ring keeps what fitted and says so.
    TCommandQueue q;
    for (int i = 0; i < 98; ++i) q.Add("X");
    EXPECT_FALSE(q.Add("A;B"));
    EXPECT_EQ(q.Count(), 99);
    EXPECT_TRUE(q.IsLast("A"));
}

TEST(CommandQueue, PoppedPointerStaysValidUntilSlotIsReused) {
    TCommandStack st;
    st.Push("first");
    const char* p = st.Pop();
    for (int i = 0; i < 99; ++i) {
        st.Push("x");
        st.Pop();
    }
    EXPECT_STREQ(p, "first");
    st.Push("y");
    EXPECT_STREQ(p, "y");
}

TEST(CommandQueue, RefusalsAreLoggedOncePerEpisode) {
    TempEnv env;
    FakeClockGuard clock;
    TLogFile log;
    LogFile = &log;

    TCommandQueue q;
    for (int i = 0; i < 99; ++i) q.Add("? 123");
    q.Add("OFF 0");
    q.Add("OFF 2");  // still full: not logged again
    q.Next();
    q.Add("VALVE 1 4");  // room for one
    q.Add("OFF 0");      // full again: a new episode
    q.Add(std::string(250, 'x'));
    q.Add("A;" + std::string(31, 'y'));
    LogFile = nullptr;

    std::ifstream in(log.LogPath);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    EXPECT_EQ(occurrences(text, "queue full"), 2u) << text;
    EXPECT_EQ(occurrences(text, "command dropped: OFF 0"), 2u);
    EXPECT_EQ(occurrences(text, "OFF 2"), 0u);
    EXPECT_EQ(occurrences(text, "command line of 250 characters refused"), 1u);
    EXPECT_EQ(occurrences(text, "command of 31 characters dropped"), 1u);
}
