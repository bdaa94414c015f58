#pragma once
// A prefix tree over sequences of elements, with a search that yields every
// stored sequence that is a prefix of a given text, shortest first. The
// Unigram model stores its pieces here as sequences of characters and asks,
// at each position of a text, which pieces start there.
//
// Elements are compared by their hash and equality, so a caller that wants
// equivalent spellings to meet (canonically equal characters, say) hands in
// one canonical form per element. A built trie is read-only and may be
// searched from several threads at once.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

namespace vortil {

template <typename Element, typename Hash = std::hash<Element>>
struct TrieNode {
    // True when a stored sequence ends at this node.
    bool isLeaf = false;
    std::unordered_map<Element, std::unique_ptr<TrieNode>, Hash> children;
};

// Walks the trie along a text and yields each stored sequence met on the way.
// The text is borrowed: it must outlive the iterator.
template <typename Element, typename Hash = std::hash<Element>>
class LeavesWithCommonPrefixIterator {
public:
    using Node = TrieNode<Element, Hash>;

    LeavesWithCommonPrefixIterator(const Node* node, std::span<const Element> text) : node_(node), text_(text) {}

    // The next stored sequence that is a prefix of the text (the elements
    // consumed so far), or nothing once the walk has left the trie or used up
    // the text; every later call then answers nothing as well.
    std::optional<std::vector<Element>> next() {
        while (node_ && position_ < text_.size()) {
            const Element& element = text_[position_++];
            seq_.push_back(element);
            auto it = node_->children.find(element);
            if (it == node_->children.end()) {
                node_ = nullptr;
                return std::nullopt;
            }
            node_ = it->second.get();
            if (node_->isLeaf) return seq_;
        }
        return std::nullopt;
    }

    // The same walk, answering only how many elements the next prefix holds;
    // spares the copy when the caller needs nothing else.
    std::optional<size_t> nextLength() {
        while (node_ && position_ < text_.size()) {
            auto it = node_->children.find(text_[position_++]);
            if (it == node_->children.end()) {
                node_ = nullptr;
                return std::nullopt;
            }
            node_ = it->second.get();
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

template <typename Element, typename Hash = std::hash<Element>>
class Trie {
public:
    using Node = TrieNode<Element, Hash>;
    using Iterator = LeavesWithCommonPrefixIterator<Element, Hash>;

    Trie() : root_(std::make_unique<Node>()) {}

    // Adds one sequence. An empty sequence marks the root itself, which no
    // search ever reports (a search always consumes at least one element).
    void insert(std::span<const Element> sequence) {
        Node* node = root_.get();
        for (const Element& element : sequence) {
            auto& child = node->children[element];
            if (!child) child = std::make_unique<Node>();
            node = child.get();
        }
        node->isLeaf = true;
    }

    void append(const std::vector<std::vector<Element>>& sequences) {
        for (const auto& s : sequences) insert(s);
    }

    Iterator commonPrefixSearchIterator(std::span<const Element> text) const { return Iterator(root_.get(), text); }

    const Node& root() const { return *root_; }

private:
    std::unique_ptr<Node> root_;
};

}  // namespace vortil
