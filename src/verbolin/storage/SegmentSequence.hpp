#pragma once
// The store's segments in start order, held in chunks of a few hundred so
// that paragraphs can read the very segments the store holds (see
// SegmentList) instead of copies: years of dictation are then in memory
// once, not twice.
//
// Reads as a const std::vector<Segment> does (random-access iterators that
// work with the standard algorithms and ranges); converts to one and is made
// from one. A copy shares every chunk. A change copies only the chunks it
// touches that someone else holds too, so a chunk a paragraph refers to
// never changes under it.
//
// Copies may be read, and destroyed, on any thread; a change needs the same
// exclusive access to the sequence as a change of any other value.
// Iterators, references and chunks read out stay valid until the next change.

#include <compare>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "verbolin/storage/Segment.hpp"

namespace verbolin {

class SegmentSequence {
  public:
    using Chunk = std::shared_ptr<std::vector<Segment>>;
    using value_type = Segment;
    using size_type = size_t;
    using difference_type = std::ptrdiff_t;
    using reference = const Segment&;
    using const_reference = const Segment&;

    // Segments a chunk holds at most; as a load cuts them; and at least,
    // where a neighbour can take in a chunk grown smaller (one left alone
    // may hold fewer). A change copies at most one chunk's worth, and a
    // paragraph rarely crosses from one chunk into the next.
    static constexpr size_t kChunkMost = 256;
    static constexpr size_t kChunkTarget = 128;
    static constexpr size_t kChunkLeast = 32;

    class const_iterator {
      public:
        using iterator_category = std::random_access_iterator_tag;
        using iterator_concept = std::random_access_iterator_tag;
        using value_type = Segment;
        using difference_type = std::ptrdiff_t;
        using pointer = const Segment*;
        using reference = const Segment&;

        const_iterator() = default;

        reference operator*() const { return chunkData_[pos_ - chunkStart_]; }
        pointer operator->() const { return chunkData_ + (pos_ - chunkStart_); }
        reference operator[](difference_type n) const { return *(*this + n); }

        const_iterator& operator++() {
            if (++pos_ == chunkEnd_) seat(chunk_ + 1);
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator was = *this;
            ++*this;
            return was;
        }
        const_iterator& operator--() { return moveTo(pos_ - 1); }
        const_iterator operator--(int) {
            const_iterator was = *this;
            --*this;
            return was;
        }
        const_iterator& operator+=(difference_type n) { return moveTo(pos_ + size_t(n)); }
        const_iterator& operator-=(difference_type n) { return moveTo(pos_ - size_t(n)); }
        friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
        friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
        friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
        friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
            return difference_type(a.pos_) - difference_type(b.pos_);
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) {
            return a.pos_ == b.pos_;
        }
        friend std::strong_ordering operator<=>(const const_iterator& a, const const_iterator& b) {
            return a.pos_ <=> b.pos_;
        }

        // The position in the sequence.
        size_t position() const { return pos_; }

      private:
        friend class SegmentSequence;
        const_iterator(const SegmentSequence* sequence, size_t pos) : sequence_(sequence) {
            moveTo(pos);
        }
        const_iterator& moveTo(size_t pos);
        // Onto the first position of chunk `k` (past the end when there is none).
        void seat(size_t k);

        const SegmentSequence* sequence_ = nullptr;
        size_t pos_ = 0;
        size_t chunk_ = 0;
        size_t chunkStart_ = 0, chunkEnd_ = 0;
        const Segment* chunkData_ = nullptr;
    };
    using iterator = const_iterator;

    SegmentSequence() = default;
    // Implicit both ways, so that a plain array of segments can stand for
    // the store's and the store's be read as one.
    SegmentSequence(std::vector<Segment> segments);  // NOLINT
    SegmentSequence(std::initializer_list<Segment> segments);
    operator std::vector<Segment>() const;  // NOLINT

    size_t size() const { return starts_.empty() ? 0 : starts_.back(); }
    bool empty() const { return size() == 0; }
    const Segment& operator[](size_t i) const;
    const Segment& front() const { return chunks_.front()->front(); }
    const Segment& back() const { return chunks_.back()->back(); }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }

    // Changes. Each copies first the chunks it changes that are shared.
    void push_back(Segment segment);
    const_iterator insert(const_iterator at, Segment segment);
    template <class It>
    void insert(const_iterator at, It first, It last) {
        insertAll(at.position(), std::vector<Segment>(first, last));
    }
    void erase(const_iterator at) { erase(at, at + 1); }
    void erase(const_iterator first, const_iterator last);
    // Takes out the segments at these positions (ascending, each once).
    void eraseAt(const std::vector<size_t>& positions);
    void clear();
    // Puts `tail`'s segments after these, sharing its chunks.
    void append(const SegmentSequence& tail);
    // Runs `change` on the segments as a std::vector: for the rare change
    // that rearranges them all (a sort), which copies every one.
    template <class F>
    void rearrange(F&& change) {
        std::vector<Segment> all = *this;
        std::forward<F>(change)(all);
        *this = SegmentSequence(std::move(all));
    }

    // The chunks, for those that share them: how many, each, where each
    // starts in the sequence, and which one holds a position (below size()).
    size_t chunkCount() const { return chunks_.size(); }
    const Chunk& chunk(size_t k) const { return chunks_[k]; }
    size_t chunkStart(size_t k) const { return starts_[k]; }
    size_t chunkOf(size_t position) const;

    friend bool operator==(const SegmentSequence& a, const SegmentSequence& b);
    friend bool operator==(const SegmentSequence& a, const std::vector<Segment>& b);

  private:
    void insertAll(size_t at, std::vector<Segment> added);
    // The chunk `k` to change: its own, with room for `extra` more.
    std::vector<Segment>& own(size_t k, size_t extra = 0);
    // After a change of the chunks in [first, last): drops empty chunks,
    // splits those grown too large, joins those grown too small with a
    // neighbour, and counts the positions again.
    void settle(size_t first, size_t last);
    void recount(size_t from);

    std::vector<Chunk> chunks_;  // none empty
    // Where each chunk starts, and the size last; empty with no chunks.
    std::vector<size_t> starts_;
};

// `change` run on `list` as a std::vector, for code written for the
// segments and the session markers alike.
template <class T, class F>
void rearranged(std::vector<T>& list, F&& change) {
    std::forward<F>(change)(list);
}
template <class F>
void rearranged(SegmentSequence& list, F&& change) {
    list.rearrange(std::forward<F>(change));
}

}  // namespace verbolin
