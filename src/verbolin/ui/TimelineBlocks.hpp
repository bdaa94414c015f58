#pragma once
// The paragraphs the timeline text shows: the scoped paragraphs, then the
// live paragraph when there is one. A view, not a copy: a year of dictation
// must not be copied for every word of a preview.

#include <cstddef>
#include <iterator>
#include <span>
#include <vector>

#include "verbolin/storage/Block.hpp"

namespace verbolin {

class TimelineBlocks {
  public:
    TimelineBlocks() = default;
    // Implicit, so that a plain array of paragraphs reads as one.
    TimelineBlocks(const std::vector<Block>& blocks) : base_(&blocks) {}  // NOLINT
    TimelineBlocks(const std::vector<Block>* blocks, const Block* live)
        : base_(blocks), live_(live) {}

    size_t size() const { return baseSize() + (live_ ? 1 : 0); }
    bool empty() const { return size() == 0; }
    const Block& operator[](size_t i) const { return i < baseSize() ? (*base_)[i] : *live_; }
    const Block& back() const { return (*this)[size() - 1]; }

    // The scoped paragraphs from `from` on; the live one is never among them.
    std::span<const Block> scoped(size_t from = 0) const {
        if (!base_ || from >= base_->size()) return {};
        return std::span<const Block>(*base_).subspan(from);
    }
    const Block* live() const { return live_; }

    class Iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Block;
        using difference_type = std::ptrdiff_t;
        using reference = const Block&;
        using pointer = const Block*;
        Iterator() = default;
        Iterator(const TimelineBlocks* owner, size_t i) : owner_(owner), i_(i) {}
        const Block& operator*() const { return (*owner_)[i_]; }
        const Block* operator->() const { return &(*owner_)[i_]; }
        Iterator& operator++() { return ++i_, *this; }
        Iterator operator++(int) { return Iterator(owner_, i_++); }
        friend bool operator==(const Iterator& a, const Iterator& b) { return a.i_ == b.i_; }

      private:
        const TimelineBlocks* owner_ = nullptr;
        size_t i_ = 0;
    };
    Iterator begin() const { return {this, 0}; }
    Iterator end() const { return {this, size()}; }

  private:
    size_t baseSize() const { return base_ ? base_->size() : 0; }

    const std::vector<Block>* base_ = nullptr;
    const Block* live_ = nullptr;
};

}  // namespace verbolin
