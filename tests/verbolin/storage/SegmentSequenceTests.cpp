// The store's segments in shared chunks must read, after any run of
// changes, exactly as a plain array changed alike would, and what was read
// out of them before (a copy, a paragraph reading a chunk in place) must go
// on reading what it read, on whichever thread lets go of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <ranges>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "StorageTestSupport.hpp"
#include "verbolin/storage/SegmentList.hpp"
#include "verbolin/storage/SegmentSequence.hpp"
#include "verbolin/storage/SoleOwner.hpp"

using namespace verbolin;
using storage_test::segment;

namespace {

static_assert(std::random_access_iterator<SegmentSequence::const_iterator>);
static_assert(std::ranges::random_access_range<const SegmentSequence>);

std::vector<std::string> texts(const auto& list) {
    std::vector<std::string> out;
    for (const Segment& s : list) out.push_back(s.text);
    return out;
}

// Reads `seq` every way a caller may, each against `expected`, and checks
// the chunks hold what they should.
void expectReadsAs(const SegmentSequence& seq, const std::vector<Segment>& expected) {
    ASSERT_EQ(seq.size(), expected.size());
    ASSERT_EQ(seq.empty(), expected.empty());
    ASSERT_TRUE(seq == expected);
    ASSERT_EQ(std::vector<Segment>(seq), expected);
    ASSERT_EQ(seq.end() - seq.begin(), std::ptrdiff_t(expected.size()));
    size_t total = 0;
    for (size_t k = 0; k < seq.chunkCount(); ++k) {
        ASSERT_EQ(seq.chunkStart(k), total);
        ASSERT_FALSE(seq.chunk(k)->empty());
        ASSERT_LE(seq.chunk(k)->size(), SegmentSequence::kChunkMost);
        total += seq.chunk(k)->size();
    }
    ASSERT_EQ(total, expected.size());
    if (expected.empty()) return;
    EXPECT_EQ(seq.front(), expected.front());
    EXPECT_EQ(seq.back(), expected.back());
    // Backwards, and by jumps in both directions.
    auto it = seq.end();
    for (size_t i = expected.size(); i-- > 0;) ASSERT_EQ(*--it, expected[i]) << i;
    for (size_t step : {size_t(7), size_t(37), size_t(300)})
        for (size_t i = 0; i < expected.size(); i += step) {
            ASSERT_EQ(seq[i], expected[i]) << i;
            ASSERT_EQ((seq.end() - std::ptrdiff_t(expected.size() - i))->text, expected[i].text);
            ASSERT_EQ(seq.begin()[std::ptrdiff_t(i)], expected[i]);
            const size_t k = seq.chunkOf(i);
            ASSERT_EQ(&seq[i], &(*seq.chunk(k))[i - seq.chunkStart(k)]) << i;
        }
}

TEST(SegmentSequence, RandomChangesReadAsThePlainArrayChangedAlike) {
    std::mt19937 random(11);
    const auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n)(random); };
    int made = 0;
    const auto fresh = [&] {
        const int n = made++;
        return segment(n, n + 1, "s" + std::to_string(n));
    };
    SegmentSequence seq;
    std::vector<Segment> plain;
    // What earlier states handed out: a copy of the whole, and a paragraph
    // reading a run of one chunk in place, each with what it read then.
    struct Held {
        SegmentSequence copy;
        std::vector<Segment> was;
        SegmentList view;
        std::vector<std::string> viewWas;
    };
    std::vector<Held> held;
    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(step);
        const size_t n = plain.size();
        switch (step % 1000 == 999 ? 10 : step % 500 == 249 ? 9 : pick(8)) {
            case 0:
            case 1: {
                const Segment s = fresh();
                seq.push_back(s);
                plain.push_back(s);
                break;
            }
            case 2: {
                const size_t at = pick(n);
                const Segment s = fresh();
                seq.insert(seq.begin() + std::ptrdiff_t(at), s);
                plain.insert(plain.begin() + std::ptrdiff_t(at), s);
                break;
            }
            case 3: {  // a run, up to several chunks long
                const size_t at = pick(n);
                std::vector<Segment> run;
                for (size_t i = pick(pick(3) ? 5 : 900); i > 0; --i) run.push_back(fresh());
                seq.insert(seq.begin() + std::ptrdiff_t(at), run.begin(), run.end());
                plain.insert(plain.begin() + std::ptrdiff_t(at), run.begin(), run.end());
                break;
            }
            case 4: {
                if (n == 0) break;
                const size_t from = pick(n - 1);
                const size_t to = std::min(n, from + pick(pick(3) ? 3 : 600));
                seq.erase(seq.begin() + std::ptrdiff_t(from), seq.begin() + std::ptrdiff_t(to));
                plain.erase(plain.begin() + std::ptrdiff_t(from),
                            plain.begin() + std::ptrdiff_t(to));
                break;
            }
            case 5: {  // scattered positions, or all of them
                std::vector<size_t> positions;
                const size_t every = pick(9) ? 1 + pick(60) : 1;
                for (size_t p = pick(every); p < n; p += every) positions.push_back(p);
                seq.eraseAt(positions);
                for (size_t i = positions.size(); i-- > 0;)
                    plain.erase(plain.begin() + std::ptrdiff_t(positions[i]));
                break;
            }
            case 6: {  // a change in place of one, as a store's edit makes
                if (n == 0) break;
                const size_t at = pick(n - 1);
                Segment s = plain[at];
                s.text += " edited";
                seq.erase(seq.begin() + std::ptrdiff_t(at));
                seq.insert(seq.begin() + std::ptrdiff_t(at), s);
                plain[at] = s;
                break;
            }
            case 7: {
                if (n == 0) break;
                const size_t k = pick(seq.chunkCount() - 1);
                const size_t size = seq.chunk(k)->size();
                const size_t offset = pick(size - 1), count = 1 + pick(size - offset - 1);
                const SegmentList view(seq.chunk(k), offset, count);
                held.push_back({seq, plain, view, texts(view)});
                EXPECT_EQ(&std::as_const(view).front(), &seq[seq.chunkStart(k) + offset]);
                if (held.size() > 12) held.erase(held.begin());
                break;
            }
            case 8:
                seq = SegmentSequence(plain);
                break;
            case 10:
                seq.clear();
                plain.clear();
                break;
            default:
                seq.rearrange(
                    [](std::vector<Segment>& all) { std::reverse(all.begin(), all.end()); });
                std::reverse(plain.begin(), plain.end());
                break;
        }
        expectReadsAs(seq, plain);
        if (HasFatalFailure()) return;
        for (const Held& h : held) {
            ASSERT_TRUE(h.copy == h.was);
            ASSERT_EQ(texts(h.view), h.viewWas);
        }
    }
}

TEST(SegmentSequence, ACopyAndTheParagraphsReadingItsChunksStayAsTheyWere) {
    std::vector<Segment> all;
    for (int i = 0; i < 1000; ++i) all.push_back(segment(i, i + 1, "s" + std::to_string(i)));
    SegmentSequence seq(all);
    ASSERT_GT(seq.chunkCount(), 3u);
    const SegmentSequence copy = seq;
    const SegmentList paragraph(seq.chunk(1), 2, 3);
    const Segment* read = &paragraph.front();
    const size_t at = seq.chunkStart(1) + 2;
    seq.erase(seq.begin() + std::ptrdiff_t(at));
    seq.push_back(segment(2000, 2001, "new"));
    // The changed chunk is the store's own now; the copy and the paragraph
    // read the old one, in the very same place.
    EXPECT_EQ(&paragraph.front(), read);
    EXPECT_EQ(texts(paragraph),
              (std::vector<std::string>{all[at].text, all[at + 1].text, all[at + 2].text}));
    EXPECT_TRUE(copy == all);
    EXPECT_NE(&seq[at], read);
    // Chunks nobody else holds change in place: a second change there
    // copies nothing.
    if (kSanitizingThreads) return;  // where every change copies
    const std::vector<Segment>* before = seq.chunk(1).get();
    const Segment* first = &seq[seq.chunkStart(1)];
    seq.erase(seq.begin() + std::ptrdiff_t(at));
    EXPECT_EQ(&seq[seq.chunkStart(1)], first);
    EXPECT_EQ(seq.chunk(1).get(), before);
}

TEST(SegmentSequence, ParagraphsLetGoOnAnotherThreadWhileTheStoreChangesItsChunks) {
    // As when a replaced array of paragraphs is freed away from the thread
    // that goes on changing the segments they read.
    std::vector<Segment> all;
    for (int i = 0; i < 600; ++i) all.push_back(segment(i, i + 1, "s" + std::to_string(i)));
    for (int round = 0; round < 30; ++round) {
        SegmentSequence seq(all);
        std::vector<SegmentList> doomed;
        for (size_t k = 0; k < seq.chunkCount(); ++k)
            for (int i = 0; i < 8; ++i) doomed.emplace_back(seq.chunk(k), size_t(i), 2);
        std::thread releaser([doomed = std::move(doomed)]() mutable { doomed.clear(); });
        for (int i = 0; i < 40; ++i) {
            seq.erase(seq.begin() + 5 * i);
            seq.push_back(segment(1000 + i, 1001 + i, "more"));
        }
        releaser.join();
        ASSERT_EQ(seq.size(), all.size());
        EXPECT_EQ(seq.back().text, "more");
        EXPECT_EQ(seq[0].text, "s1");
    }
}

}  // namespace
