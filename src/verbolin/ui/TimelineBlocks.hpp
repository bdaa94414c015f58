#pragma once
// The paragraphs the timeline text shows: the scoped paragraphs (or a
// stretch of them), then the live paragraph when there is one. A view, not a
// copy: a year of dictation must not be copied for every word of a preview.

#include <algorithm>
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
    TimelineBlocks(const std::vector<Block>& blocks)  // NOLINT
        : base_(&blocks), to_(blocks.size()) {}
    TimelineBlocks(const std::vector<Block>* blocks, const Block* live)
        : base_(blocks), to_(blocks ? blocks->size() : 0), live_(live) {}

    // The scoped paragraphs [from, to) of these (clamped), and the live one
    // only where the stretch reaches the end.
    TimelineBlocks window(size_t from, size_t to) const {
        TimelineBlocks w = *this;
        w.to_ = from_ + std::min(to, baseSize());
        w.from_ = from_ + std::min(from, baseSize());
        if (w.from_ > w.to_) w.from_ = w.to_;
        if (w.to_ != to_) w.live_ = nullptr;
        return w;
    }
    // Where the stretch starts among all scoped paragraphs.
    size_t offset() const { return from_; }
    // The paragraph in front of the stretch, which the first one's spacing follows.
    const Block* before() const { return from_ > 0 ? &(*base_)[from_ - 1] : nullptr; }

    size_t size() const { return baseSize() + (live_ ? 1 : 0); }
    bool empty() const { return size() == 0; }
    const Block& operator[](size_t i) const {
        return i < baseSize() ? (*base_)[from_ + i] : *live_;
    }
    const Block& back() const { return (*this)[size() - 1]; }

    // The scoped paragraphs from `from` on; the live one is never among them.
    std::span<const Block> scoped(size_t from = 0) const {
        if (!base_ || from >= baseSize()) return {};
        return std::span<const Block>(*base_).subspan(from_ + from, baseSize() - from);
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
    size_t baseSize() const { return base_ ? to_ - from_ : 0; }

    const std::vector<Block>* base_ = nullptr;
    size_t from_ = 0, to_ = 0;
    const Block* live_ = nullptr;
};

}  // namespace verbolin
