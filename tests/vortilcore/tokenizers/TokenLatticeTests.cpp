#include <gtest/gtest.h>

#include "vortilcore/tokenizers/TokenLattice.hpp"

using namespace vortil;

namespace {

struct Candidate {
    int start, length;
    float score;
    int id;
};

std::vector<int> bestIds(const std::string& sentence, const std::vector<Candidate>& candidates) {
    TokenLattice lattice(sentence, 90, 91);
    for (const auto& c : candidates) lattice.insert(c.start, c.length, c.score, c.id);
    std::vector<int> out;
    for (const auto& node : lattice.viterbi()) out.push_back(node->tokenId);
    return out;
}

}  // namespace

TEST(TokenLattice, ViterbiPicksHighestTotalAndFirstInsertedOnTies) {
    struct Case {
        const char* name;
        std::vector<Candidate> candidates;
        std::vector<int> expected;
    } cases[] = {
        {"whole piece wins", {{0, 1, -1, 1}, {1, 1, -1, 2}, {0, 2, -1.5f, 3}}, {3}},
        {"pieces win", {{0, 1, -1, 1}, {1, 1, -1, 2}, {0, 2, -2.5f, 3}}, {1, 2}},
        {"tie, long inserted first", {{0, 2, -2, 3}, {0, 1, -1, 1}, {1, 1, -1, 2}}, {3}},
        {"tie, short inserted first", {{0, 1, -1, 1}, {1, 1, -1, 2}, {0, 2, -2, 3}}, {1, 2}},
        {"tie at one offset, first wins", {{0, 1, -1, 1}, {0, 1, -1, 4}, {1, 1, -1, 2}}, {1, 2}},
        {"offset nobody starts at", {{0, 2, -1, 3}}, {}},
        {"nothing at start", {{1, 1, -1, 2}}, {}},
        // The node at offset 1 is unreachable; its untouched score must not win.
        {"unreachable node ignored", {{0, 2, -1, 3}, {1, 1, -0.1f, 2}}, {3}},
    };
    for (const auto& c : cases) EXPECT_EQ(bestIds("ab", c.candidates), c.expected) << c.name;
}

TEST(TokenLattice, EmptySentenceHasEmptyPath) {
    TokenLattice lattice("", 1, 2);
    EXPECT_EQ(lattice.characterCount(), 0);
    EXPECT_TRUE(lattice.viterbi().empty());
    EXPECT_TRUE(lattice.tokens().empty());
}

TEST(TokenLattice, BoundaryNodesAndListsAreSetUp) {
    TokenLattice lattice("xyz", 7, 8);
    ASSERT_EQ(lattice.nodes().size(), 2u);
    EXPECT_EQ(lattice.nodes()[0]->tokenId, 7);
    EXPECT_EQ(lattice.nodes()[1]->tokenId, 8);
    EXPECT_EQ(lattice.nodes()[1]->startOffset, 3);
    EXPECT_EQ(lattice.beginNodes()[3].front(), lattice.nodes()[1]);
    EXPECT_EQ(lattice.endNodes()[0].front(), lattice.nodes()[0]);
    lattice.insert(1, 2, -1, 5);
    EXPECT_EQ(lattice.beginNodes()[1].size(), 1u);
    EXPECT_EQ(lattice.endNodes()[3].size(), 1u);
    EXPECT_EQ(lattice.nodes().size(), 3u);
}

TEST(TokenLattice, OffsetsCountGraphemeClusters) {
    // e + combining acute is one character; the flag is one character of 8 bytes.
    const std::string sentence = "e\u0301x\U0001F1EB\U0001F1F7";
    TokenLattice lattice(sentence, 0, 0);
    ASSERT_EQ(lattice.characterCount(), 3);
    lattice.insert(0, 2, -1, 1);
    lattice.insert(1, 1, -5, 3);
    lattice.insert(2, 1, -1, 2);
    EXPECT_EQ(lattice.tokens(), (std::vector<std::string>{"e\u0301x", "\U0001F1EB\U0001F1F7"}));
}

TEST(TokenLattice, BacktraceScoresAccumulate) {
    TokenLattice lattice("abc", 0, 0);
    lattice.insert(0, 1, -1, 1);
    lattice.insert(1, 2, -2.5f, 2);
    lattice.insert(1, 1, -1, 3);
    lattice.insert(2, 1, -1, 4);
    auto path = lattice.viterbi();
    ASSERT_EQ(path.size(), 3u);
    EXPECT_FLOAT_EQ(path.back()->backtraceScore, -3);
    EXPECT_EQ(path.back()->prev, path[1]);
}

TEST(TokenLattice, NodeDescription) {
    TokenLatticeNode node(3, 1, 2, -1.5f);
    EXPECT_EQ(node.description(),
              "TokenLatticeNode(tokenId: 3, startOffset: 1, length: 2, score: -1.5, prev: false, "
              "backtraceScore: 0.0");
    auto prev = std::make_shared<TokenLatticeNode>(1, 0, 1, -1.0f);
    TokenLatticeNode linked(4, 1, 1, -2.0f, prev, -3.0f);
    EXPECT_EQ(linked.description(),
              "TokenLatticeNode(tokenId: 4, startOffset: 1, length: 1, score: -2.0, prev: true, "
              "backtraceScore: -3.0");
}

TEST(TokenLattice, LongPredecessorChainIsFreedWithoutDeepRecursion) {
    // Built and released outside any lattice: only the chain itself holds the nodes.
    auto head = std::make_shared<TokenLatticeNode>(0, 0, 0, 0.0f);
    for (int i = 1; i < 2'000'000; ++i)
        head = std::make_shared<TokenLatticeNode>(i, i, 1, 0.0f, head);
    std::weak_ptr<TokenLatticeNode> tail = head;
    head.reset();
    EXPECT_TRUE(tail.expired());
}
