// A paragraph's segments are shared by its copies: a change through one copy
// must never show through another, however the change is made, and copies
// let go on another thread must not disturb the one still being changed.
#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "StorageTestSupport.hpp"
#include "verbolin/storage/Block.hpp"

using namespace verbolin;
using storage_test::segment;

namespace {

std::vector<std::string> texts(const SegmentList& list) {
    std::vector<std::string> out;
    for (const Segment& s : list) out.push_back(s.text);
    return out;
}

TEST(SegmentList, AChangeThroughACopyLeavesTheOtherCopiesAsTheyWere) {
    struct Case {
        const char* name;
        std::function<void(SegmentList&)> change;
        std::vector<std::string> after;
    };
    const Case cases[] = {
        {"index", [](SegmentList& l) { l[1].text = "B"; }, {"a", "B", "c"}},
        {"front", [](SegmentList& l) { l.front().text = "A"; }, {"A", "b", "c"}},
        {"back", [](SegmentList& l) { l.back().edited = true; }, {"a", "b", "c"}},
        {"push_back",
         [](SegmentList& l) { l.push_back(segment(9, 10, "d")); },
         {"a", "b", "c", "d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SegmentList original{segment(0, 1, "a"), segment(1, 2, "b"), segment(2, 3, "c")};
        const SegmentList unchanged = original;  // what the original must keep reading
        SegmentList copy = original;
        ASSERT_TRUE(copy.sharesSegmentsWith(original));
        // A reference taken from the original before the change stays valid.
        const Segment& held = original.back();
        c.change(copy);
        EXPECT_EQ(texts(copy), c.after);
        EXPECT_EQ(texts(original), (std::vector<std::string>{"a", "b", "c"}));
        EXPECT_FALSE(original.back().edited);
        EXPECT_EQ(&held, &original.back());
        EXPECT_FALSE(copy.sharesSegmentsWith(original));
        EXPECT_NE(copy, original);
        EXPECT_EQ(original, unchanged);
        EXPECT_TRUE(original.sharesSegmentsWith(unchanged));
    }
}

TEST(SegmentList, EqualityLooksAtTheSegmentsWhenTheyAreNotShared) {
    const Segment a = segment(0, 1, "a");
    const Segment b = segment(1, 2, "b");
    struct Case {
        SegmentList x, y;
        bool equal;
    };
    const Case cases[] = {
        {{}, {}, true},         {{a}, {a}, true},  // equal segments, separate storage
        {{a, b}, {a, b}, true}, {{a, b}, {a}, false},    {{a}, {b}, false},
        {{}, {a}, false},       {{a, b}, {b, a}, false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(c.x == c.y, c.equal) << i;
        EXPECT_EQ(c.y == c.x, c.equal) << i;
    }
    // Paragraphs compare by their segments too.
    EXPECT_EQ((Block{a.id, {a, b}}), (Block{a.id, std::vector<Segment>{a, b}}));
    EXPECT_NE((Block{a.id, {a, b}}), (Block{a.id, {a}}));
}

TEST(SegmentList, AnEmptyListGrowsLikeAnyOther) {
    SegmentList list;
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.begin(), list.end());
    const SegmentList before = list;
    list.push_back(segment(0, 1, "first"));
    list.push_back(segment(1, 2, "second"));
    EXPECT_EQ(texts(list), (std::vector<std::string>{"first", "second"}));
    EXPECT_TRUE(before.empty());
}

TEST(SegmentList, CopiesLetGoOnAnotherThreadWhileOneIsChanged) {
    // As when a replaced array of paragraphs is freed away from the thread
    // that goes on changing its own copies.
    for (int round = 0; round < 50; ++round) {
        const SegmentList shared{segment(0, 1, "a"), segment(1, 2, "b")};
        std::vector<SegmentList> doomed(64, shared);
        SegmentList mine = shared;
        std::thread releaser([doomed = std::move(doomed)]() mutable { doomed.clear(); });
        for (int i = 0; i < 20; ++i) mine.push_back(segment(2 + i, 3 + i, "more"));
        mine.front().text = "A";
        releaser.join();
        ASSERT_EQ(mine.size(), 22u);
        EXPECT_EQ(mine.front().text, "A");
        EXPECT_EQ(texts(shared), (std::vector<std::string>{"a", "b"}));
    }
}

}  // namespace
