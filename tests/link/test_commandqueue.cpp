#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

TEST(CommandQueue, SplitsLinesIntoCommandsAndRefusesOverlongOnes) {
    const std::string p29(29, 'a'), p30(30, 'b');
    std::string l199;
    std::vector<std::string> pieces199;
    for (int i = 0; i < 33; ++i) l199 += "OFF 0;", pieces199.push_back("OFF 0");
    l199 += "Z", pieces199.push_back("Z");
    ASSERT_EQ(l199.size(), TCommandQueue::MaxLine);
    const struct Case {
        std::string line;
        std::vector<std::string> queued;
        bool ok;
    } cases[] = {
        {"MS 0 1;ML 0 0.005;FWD 0", {"MS 0 1", "ML 0 0.005", "FWD 0"}, true},
        {";A;;B ; C;", {"A", "B ", " C"}, true},  // empty pieces skipped, blanks kept
        {"", {}, true},
        {";;;", {}, true},
        {p29, {p29}, true},
        {"X;" + p30 + ";Y", {"X", "Y"}, false},  // a piece of 30 is dropped, its neighbours kept
        {std::string("A;B\0;C", 6), {"A", "B"}, true},  // text after a NUL is not seen
        {l199, pieces199, true},
        {l199 + "Z", {}, false},  // 200 characters: refused whole
        {std::string(5000, ';'), {}, false},
    };
    for (const Case& c : cases) {
        TCommandQueue q;
        EXPECT_EQ(q.Add(c.line), c.ok) << c.line.substr(0, 40);
        std::vector<std::string> got;
        while (const char* s = q.Next()) got.push_back(s);
        EXPECT_EQ(got, c.queued) << c.line.substr(0, 40);
    }
    TCommandQueue q;
    EXPECT_TRUE(q.Add(static_cast<const char*>(nullptr)));
    EXPECT_EQ(q.Count(), 0);
    TCommandStack st;
    st.Push(p30);
    EXPECT_EQ(st.Count(), 0) << "a slot holds 29 characters";
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
