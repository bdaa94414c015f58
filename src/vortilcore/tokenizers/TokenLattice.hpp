#pragma once
// The candidate lattice of one text for the Unigram model: every vocabulary
// piece that could cover a stretch of the text is a node, and a Viterbi search
// finds the chain of adjacent nodes from start to end with the highest total
// score. Offsets and lengths count characters (extended grapheme clusters).
//
// A lattice belongs to one tokenize call and one thread.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace vortil {

class TokenLatticeNode {
  public:
    TokenLatticeNode(int tokenId, int startOffset, int length, float score,
                     std::shared_ptr<TokenLatticeNode> prev = nullptr, float backtraceScore = 0);
    // Releases the chain of predecessors one node at a time, so freeing the
    // path of a very long text never recurses deeply.
    ~TokenLatticeNode();

    TokenLatticeNode(const TokenLatticeNode&) = delete;
    TokenLatticeNode& operator=(const TokenLatticeNode&) = delete;

    const int tokenId;
    const int startOffset;
    const int length;
    const float score;
    // The best predecessor found by the search; empty before it.
    std::shared_ptr<TokenLatticeNode> prev;
    // The best total score of a path from the start up to and including this node.
    float backtraceScore = 0;

    // One line for debugging.
    std::string description() const;
};

using TokenLatticeNodePtr = std::shared_ptr<TokenLatticeNode>;

class TokenLattice {
  public:
    TokenLattice(std::string sentence, int bosTokenId, int eosTokenId);

    // Adds one candidate covering `length` characters from `startOffset`.
    // Both must lie within the sentence.
    void insert(int startOffset, int length, float score, int tokenId);

    // The best path, without the two boundary nodes. Among equally scored
    // predecessors the one inserted first wins; a node no path reaches is
    // never a predecessor. Empty when no node starts at some offset, or when
    // the end cannot be reached.
    std::vector<TokenLatticeNodePtr> viterbi();

    // The texts of the best path's nodes, taken from the sentence.
    std::vector<std::string> tokens();

    // The sentence's characters from `startOffset` for `length` characters.
    std::string piece(const TokenLatticeNode& node) const;

    const std::string& sentence() const { return sentence_; }
    int characterCount() const { return int(boundaries_.size()) - 1; }
    // Byte offsets in the sentence where characters begin, then its size.
    const std::vector<size_t>& characterBoundaries() const { return boundaries_; }

    int bosTokenId() const { return bosTokenId_; }
    int eosTokenId() const { return eosTokenId_; }
    const std::vector<TokenLatticeNodePtr>& nodes() const { return nodes_; }
    const std::vector<std::vector<TokenLatticeNodePtr>>& beginNodes() const { return beginNodes_; }
    const std::vector<std::vector<TokenLatticeNodePtr>>& endNodes() const { return endNodes_; }

  private:
    std::string sentence_;
    std::vector<size_t> boundaries_;
    int bosTokenId_;
    int eosTokenId_;
    std::vector<TokenLatticeNodePtr> nodes_;
    std::vector<std::vector<TokenLatticeNodePtr>> beginNodes_;
    std::vector<std::vector<TokenLatticeNodePtr>> endNodes_;
};

}  // namespace vortil
