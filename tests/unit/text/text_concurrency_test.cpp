#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/text/text_format.h"
#include "core/text/text_index.h"

using namespace qarbin;

// One writer appends a record at a time into a small area (so that runs
// merge and the area is rewritten in place) while a reader keeps opening
// and searching: every snapshot still current after its reads is whole,
// and finds exactly the records published before it.
TEST(TextIndexConcurrency, ReaderSeesWholeSnapshotsWhileWriterAppends) {
    constexpr uint32_t kRecords = 120;
    std::vector<uint8_t> area(16 << 10);
    ASSERT_EQ(formatTextIndex(area.data(), area.size()), TextStatus::Ok);
    std::atomic<bool> done{false};
    std::atomic<int> problems{0};
    std::atomic<int> snapshots{0};
    std::thread reader([&] {
        Tokenizer tokenizer;
        while (!done.load()) {
            TextIndexView view;
            TextStatus opened = view.open(area.data(), area.size());
            if (opened == TextStatus::Busy) continue;
            if (opened != TextStatus::Ok) {
                ++problems;
                continue;
            }
            uint64_t df = 0;
            TextStatus counted = view.countTerm("common", {}, &df);
            QueryTerm term{"common", 1.0};
            std::vector<TextHit> hits;
            TextStatus searched = view.search(&term, 1, 2.0, {}, kRecords, &hits);
            if (!view.current()) continue;
            if (counted != TextStatus::Ok || searched != TextStatus::Ok || df != view.endDoc() ||
                view.docCount() != view.endDoc() || hits.size() != view.endDoc())
                ++problems;
            ++snapshots;
        }
    });
    Tokenizer tokenizer;
    for (uint32_t i = 0; i < kRecords; ++i) {
        std::string text = "common word" + std::to_string(i);
        TextDocument d{i, text.data(), text.size()};
        ASSERT_EQ(appendTextRun(area.data(), area.size(), tokenizer, &d, 1, i + 1), TextStatus::Ok);
        // Let the reader in between appends, so that snapshots of many sizes are read.
        while (snapshots.load() < static_cast<int>(i / 2)) std::this_thread::yield();
    }
    done = true;
    reader.join();
    EXPECT_EQ(problems.load(), 0);
    EXPECT_GE(snapshots.load(), static_cast<int>(kRecords / 2) - 1);
    TextIndexView view;
    ASSERT_EQ(view.open(area.data(), area.size()), TextStatus::Ok);
    EXPECT_EQ(view.docCount(), kRecords);
    EXPECT_LE(view.runCount(), kMaxTextRuns);
    // The small area was rewritten in place along the way.
    EXPECT_GT(reinterpret_cast<const TextIndexHeader*>(area.data())->generation, 0u);
}
