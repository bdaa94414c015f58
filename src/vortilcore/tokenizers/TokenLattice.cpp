#include "vortilcore/tokenizers/TokenLattice.hpp"

#include <algorithm>
#include <utility>

#include "vortilcore/core/Logging.hpp"
#include "vortilcore/core/Unicode.hpp"

namespace vortil {

TokenLatticeNode::TokenLatticeNode(int tokenId, int startOffset, int length, float score,
                                   std::shared_ptr<TokenLatticeNode> prev, float backtraceScore)
    : tokenId(tokenId),
      startOffset(startOffset),
      length(length),
      score(score),
      prev(std::move(prev)),
      backtraceScore(backtraceScore) {}

TokenLatticeNode::~TokenLatticeNode() {
    // Each predecessor that only this chain still holds is released here, after
    // its own link has been taken away, so its destructor has nothing to walk.
    std::shared_ptr<TokenLatticeNode> next = std::move(prev);
    while (next && next.use_count() == 1) {
        std::shared_ptr<TokenLatticeNode> after = std::move(next->prev);
        next = std::move(after);
    }
}

std::string TokenLatticeNode::description() const {
    return "TokenLatticeNode(tokenId: " + std::to_string(tokenId) +
           ", startOffset: " + std::to_string(startOffset) + ", length: " + std::to_string(length) +
           ", score: " + Logging::describeFloat(score) + ", prev: " + (prev ? "true" : "false") +
           ", backtraceScore: " + Logging::describeFloat(backtraceScore);
}

TokenLattice::TokenLattice(std::string sentence, int bosTokenId, int eosTokenId)
    : sentence_(std::move(sentence)),
      boundaries_(unicode::graphemeBoundaries(std::string_view(sentence_))),
      bosTokenId_(bosTokenId),
      eosTokenId_(eosTokenId) {
    const int n = characterCount();
    beginNodes_.resize(size_t(n) + 1);
    endNodes_.resize(size_t(n) + 1);
    auto start = std::make_shared<TokenLatticeNode>(bosTokenId, 0, 0, 0.0f);
    auto end = std::make_shared<TokenLatticeNode>(eosTokenId, n, 0, 0.0f);
    nodes_ = {start, end};
    beginNodes_[size_t(n)].push_back(end);
    endNodes_[0].push_back(start);
}

void TokenLattice::insert(int startOffset, int length, float score, int tokenId) {
    auto node = std::make_shared<TokenLatticeNode>(tokenId, startOffset, length, score);
    beginNodes_[size_t(startOffset)].push_back(node);
    endNodes_[size_t(startOffset + length)].push_back(node);
    nodes_.push_back(std::move(node));
}

std::vector<TokenLatticeNodePtr> TokenLattice::viterbi() {
    const int n = characterCount();
    if (beginNodes_[0].empty()) return {};
    for (int p = 0; p <= n; ++p) {
        const auto& ending = endNodes_[size_t(p)];
        for (const auto& r : beginNodes_[size_t(p)]) {
            r->prev.reset();
            const TokenLatticeNodePtr* best = nullptr;
            float bestScore = 0;
            for (const auto& l : ending) {
                // A node no path reaches keeps its initial score of 0; taking
                // it as predecessor would cut the path short.
                if (!l->prev && l != nodes_.front()) continue;
                float score = l->backtraceScore + r->score;
                if (!best || score > bestScore) {
                    best = &l;
                    bestScore = score;
                }
            }
            if (!best) continue;
            r->prev = *best;
            r->backtraceScore = bestScore;
        }
        if (p < n && beginNodes_[size_t(p) + 1].empty()) return {};
    }

    const TokenLatticeNodePtr& end = beginNodes_[size_t(n)].front();
    if (!end->prev) return {};
    std::vector<TokenLatticeNodePtr> path;
    for (TokenLatticeNodePtr node = end->prev; node && node->prev; node = node->prev)
        path.push_back(node);
    std::reverse(path.begin(), path.end());
    return path;
}

std::string TokenLattice::piece(const TokenLatticeNode& node) const {
    size_t from = boundaries_[size_t(node.startOffset)];
    size_t to = boundaries_[size_t(node.startOffset + node.length)];
    return sentence_.substr(from, to - from);
}

std::vector<std::string> TokenLattice::tokens() {
    std::vector<std::string> out;
    for (const auto& node : viterbi()) out.push_back(piece(*node));
    return out;
}

}  // namespace vortil
