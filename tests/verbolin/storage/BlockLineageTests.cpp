// An array's record of what it took over from the arrays before it: a reader
// trusts it instead of comparing paragraphs, so it must never claim more than
// was taken over, nor name an array it did not come from.
#include <gtest/gtest.h>
#include <malloc.h>

#include "StorageTestSupport.hpp"
#include "verbolin/storage/BlockLineage.hpp"

using namespace verbolin;
using storage_test::segment;
using Array = BlockLineage::Array;

namespace {

std::vector<Block> paragraphs(int n, int from = 0) {
    std::vector<Block> out;
    for (int i = from; i < from + n; ++i) {
        Segment s = segment(i * 10, i * 10 + 2, "p" + std::to_string(i));
        out.push_back(Block{s.id, {s}});
    }
    return out;
}

// `previous` with its last paragraph replaced and `more` added, recorded as
// keeping all but the last.
Array grown(const Array& previous, int more) {
    std::vector<Block> next = *previous;
    next.back().segments.push_back(segment(1e6, 1e6 + 1, "joined"));
    for (Block& b : paragraphs(more, int(next.size()))) next.push_back(std::move(b));
    return BlockLineage::derived(std::move(next), previous, previous->size() - 1);
}

TEST(BlockLineage, NamesOnlyTheArraysAnArrayCameFromAndWhatItKept) {
    const Array a = std::make_shared<const std::vector<Block>>(paragraphs(10));
    const Array b = grown(a, 2);  // keeps 9 of a
    const Array c = grown(b, 0);  // keeps 11 of b, so 9 of a
    const Array unrelated = std::make_shared<const std::vector<Block>>(*c);
    struct Case {
        const char* name;
        Array older, newer;
        std::optional<size_t> taken;
    };
    const Case cases[] = {
        {"parent", a, b, 9},
        {"grandparent", a, c, 9},
        {"the nearer one", b, c, 11},
        {"backwards", c, a, std::nullopt},
        {"itself", b, b, std::nullopt},
        {"an equal copy", unrelated, c, std::nullopt},
        {"from an equal copy", b, unrelated, std::nullopt},
        {"nothing before", nullptr, c, std::nullopt},
        {"nothing now", a, nullptr, std::nullopt},
    };
    for (const Case& k : cases)
        EXPECT_EQ(BlockLineage::takenOver(k.older, k.newer), k.taken) << k.name;
    // What was taken over is shared, not merely equal.
    for (size_t i = 0; i < 11; ++i)
        EXPECT_TRUE((*c)[i].segments.sharesSegmentsWith((*b)[i].segments)) << i;
}

TEST(BlockLineage, ArraysFreedOnTheWayStillLeadBack) {
    Array first = std::make_shared<const std::vector<Block>>(paragraphs(4));
    const std::weak_ptr<const std::vector<Block>> watched = first;
    Array now = grown(first, 1);
    first.reset();                                    // the reader only watched it
    for (int i = 0; i < 6; ++i) now = grown(now, 1);  // each one in between is freed
    ASSERT_TRUE(watched.expired());
    EXPECT_EQ(BlockLineage::takenOver(watched, now), 3u);
    // A long way on, the record stops: the reader compares instead.
    for (int i = 0; i < 8; ++i) now = grown(now, 1);
    EXPECT_EQ(BlockLineage::takenOver(watched, now), std::nullopt);
}

TEST(BlockLineage, AClaimNeverExceedsEitherArray) {
    const Array a = std::make_shared<const std::vector<Block>>(paragraphs(5));
    const Array shorter = BlockLineage::derived(paragraphs(2), a, 50);
    EXPECT_EQ(BlockLineage::takenOver(a, shorter), 2u);
    const Array empty = BlockLineage::derived({}, a, 5);
    EXPECT_EQ(BlockLineage::takenOver(a, empty), 0u);
    const Array afterEmpty = BlockLineage::derived(paragraphs(3), empty, 3);
    EXPECT_EQ(BlockLineage::takenOver(a, afterEmpty), 0u);
    EXPECT_EQ(BlockLineage::takenOver(empty, afterEmpty), 0u);
}

TEST(BlockLineage, ALongRunOfAppendsKeepsNoRecordOfTheArraysGone) {
    // Each array names a few before it; those, once freed, must not go on
    // naming theirs, or a day of appends would keep every record ever made.
    auto heap = [] {
        const struct mallinfo2 m = mallinfo2();
        return m.uordblks + m.hblkhd;
    };
    Array now = std::make_shared<const std::vector<Block>>(paragraphs(3));
    for (int i = 0; i < 100; ++i) now = BlockLineage::derived(paragraphs(3), now, 2);
    const size_t before = heap();
    for (int i = 0; i < 20000; ++i) now = BlockLineage::derived(paragraphs(3), now, 2);
    // Kept records would take some 250 bytes per append, 5 MB here.
    EXPECT_LT(heap(), before + 512 * 1024);
}

}  // namespace
