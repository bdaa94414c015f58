#pragma once
// A prefix tree over sequences of elements, with a search that yields every
// stored sequence that is a prefix of a given text, shortest first. The
// Unigram model stores its pieces here as sequences of characters and asks,
// at each position of a text, which pieces start there.
//
// Elements are compared by their ordering and equality, so a caller that
// wants equivalent spellings to meet (canonically equal characters, say)
// hands in one canonical form per element. A built trie is read-only and may
// be searched from several threads at once.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vortil {

template <typename Element>
struct TrieNode {
    // The children sorted by element. A flat list keeps a node's keys
    // together in memory, which matters more for speed than the search
    // itself: most nodes have a handful of children.
    using Children = std::vector<std::pair<Element, std::unique_ptr<TrieNode>>>;

    // True when a stored sequence ends at this node.
    bool isLeaf = false;
    Children children;

    const TrieNode* child(const Element& element) const {
        auto it = lowerBound(children, element);
        return it != children.end() && it->first == element ? it->second.get() : nullptr;
    }

    TrieNode& childCreating(const Element& element) {
        auto it = lowerBound(children, element);
        if (it == children.end() || !(it->first == element))
            it = children.emplace(it, element, std::make_unique<TrieNode>());
        return *it->second;
    }

  private:
    template <typename List>
    static auto lowerBound(List& list, const Element& element) {
        return std::lower_bound(
            list.begin(), list.end(), element,
            [](const auto& entry, const Element& e) { return entry.first < e; });
    }
};

// Walks the trie along a text and yields each stored sequence met on the way.
// The text is borrowed: it must outlive the iterator.
template <typename Element>
class LeavesWithCommonPrefixIterator {
  public:
    using Node = TrieNode<Element>;

    LeavesWithCommonPrefixIterator(const Node* node, std::span<const Element> text)
        : node_(node), text_(text) {}

    // The next stored sequence that is a prefix of the text (the elements
    // consumed so far), or nothing once the walk has left the trie or used up
    // the text; every later call then answers nothing as well.
    std::optional<std::vector<Element>> next() {
        while (node_ && position_ < text_.size()) {
            const Element& element = text_[position_++];
            seq_.push_back(element);
            node_ = node_->child(element);
            if (!node_) return std::nullopt;
            if (node_->isLeaf) return seq_;
        }
        return std::nullopt;
    }

    // The same walk, answering only how many elements the next prefix holds;
    // spares the copy when the caller needs nothing else.
    std::optional<size_t> nextLength() {
        while (node_ && position_ < text_.size()) {
            node_ = node_->child(text_[position_++]);
            if (!node_) return std::nullopt;
            if (node_->isLeaf) return position_;
        }
        return std::nullopt;
    }

  private:
    const Node* node_;
    std::span<const Element> text_;
    size_t position_ = 0;
    std::vector<Element> seq_;
};

template <typename Element>
class Trie {
  public:
    using Node = TrieNode<Element>;
    using Iterator = LeavesWithCommonPrefixIterator<Element>;

    Trie() : root_(std::make_unique<Node>()) {}

    // Adds one sequence. An empty sequence marks the root itself, which no
    // search ever reports (a search always consumes at least one element).
    void insert(std::span<const Element> sequence) {
        Node* node = root_.get();
        for (const Element& element : sequence) node = &node->childCreating(element);
        node->isLeaf = true;
    }

    void append(const std::vector<std::vector<Element>>& sequences) {
        for (const auto& s : sequences) insert(s);
    }

    Iterator commonPrefixSearchIterator(std::span<const Element> text) const {
        return Iterator(root_.get(), text);
    }

    const Node& root() const { return *root_; }

  private:
    std::unique_ptr<Node> root_;
};

}  // namespace vortil
