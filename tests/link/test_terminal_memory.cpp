// The link window's terminal keeps its last lines only, and no more memory than they need:
// the program runs for days with a status line every half second.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>
#include <string>

#include "link/FZentrova.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZENTROVA_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZENTROVA_ASAN 1
#endif
#ifdef ZENTROVA_ASAN
// The sanitizer's own count: its allocator is not the C library's.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {
size_t heapInUse() {
#ifdef ZENTROVA_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}
}  // namespace

TEST(LinkTerminal, HoldsNoMoreMemoryOnceItsLineCapIsReached) {
    TFZentrova link;
    link.Timer1->stop();
    auto feed = [&link](int lines) {
        std::string bytes;
        for (int i = 0; i < lines; ++i)
            bytes += ">>?3,250,612,300,845,0,10," + std::to_string(i % 10) + "\r\n";
        link.ReceiveBytes(bytes, false);
    };
    feed(TFZentrova::MemoMaxLines + 100);
    const size_t before = heapInUse();
    feed(20000);
    EXPECT_EQ(link.Memo->document()->blockCount(), TFZentrova::MemoMaxLines);
    EXPECT_EQ(link.Memo->document()->lastBlock().text(), ">>?3,250,612,300,845,0,10,9");
    EXPECT_LT(heapInUse(), before + 1000 * 1000);  // a leak of a few hundred bytes a line shows
}
