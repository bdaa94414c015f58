#include "verbolin/storage/SegmentSequence.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "verbolin/storage/SoleOwner.hpp"

namespace verbolin {

namespace {

using Chunk = SegmentSequence::Chunk;

// Appends `from`'s segments to `to`: moved when nobody else holds them.
void appendFrom(std::vector<Segment>& to, Chunk& from) {
    if (soleOwner(from))
        to.insert(to.end(), std::make_move_iterator(from->begin()),
                  std::make_move_iterator(from->end()));
    else
        to.insert(to.end(), from->begin(), from->end());
}

// `all` as chunks at the end of `out`: one when it is small enough, else
// pieces of equal size between kChunkTarget and twice that.
void cutInto(std::vector<Chunk>& out, std::vector<Segment>&& all) {
    const size_t n = all.size();
    if (n == 0) return;
    if (n <= SegmentSequence::kChunkMost) {
        out.push_back(std::make_shared<std::vector<Segment>>(std::move(all)));
        return;
    }
    const size_t pieces = n / SegmentSequence::kChunkTarget;
    for (size_t i = 0; i < pieces; ++i) {
        const auto first = all.begin() + std::ptrdiff_t(n * i / pieces);
        const auto last = all.begin() + std::ptrdiff_t(n * (i + 1) / pieces);
        out.push_back(std::make_shared<std::vector<Segment>>(std::make_move_iterator(first),
                                                             std::make_move_iterator(last)));
    }
}

}  // namespace

SegmentSequence::const_iterator& SegmentSequence::const_iterator::moveTo(size_t pos) {
    pos_ = pos;
    if (pos >= chunkStart_ && pos < chunkEnd_) return *this;
    const std::vector<size_t>& starts = sequence_->starts_;
    if (pos >= sequence_->size()) {
        seat(sequence_->chunks_.size());
        pos_ = pos;
        return *this;
    }
    seat(size_t(std::upper_bound(starts.begin() + 1, starts.end(), pos) - starts.begin()) - 1);
    pos_ = pos;
    return *this;
}

void SegmentSequence::const_iterator::seat(size_t k) {
    chunk_ = k;
    if (k >= sequence_->chunks_.size()) {
        chunkStart_ = chunkEnd_ = pos_ = sequence_->size();
        chunkData_ = nullptr;
        return;
    }
    chunkStart_ = pos_ = sequence_->starts_[k];
    chunkEnd_ = sequence_->starts_[k + 1];
    chunkData_ = sequence_->chunks_[k]->data();
}

SegmentSequence::SegmentSequence(std::vector<Segment> segments) {
    cutInto(chunks_, std::move(segments));
    recount(0);
}

SegmentSequence::SegmentSequence(std::initializer_list<Segment> segments)
    : SegmentSequence(std::vector<Segment>(segments)) {}

SegmentSequence::operator std::vector<Segment>() const {
    std::vector<Segment> all;
    all.reserve(size());
    for (const Chunk& c : chunks_) all.insert(all.end(), c->begin(), c->end());
    return all;
}

void SegmentSequence::append(const SegmentSequence& tail) {
    if (tail.empty()) return;
    const size_t seam = chunks_.size();
    chunks_.insert(chunks_.end(), tail.chunks_.begin(), tail.chunks_.end());
    if (seam == 0) {
        starts_ = tail.starts_;
        return;
    }
    // Only the chunks at the seam may be too small to stand beside each other.
    settle(seam - 1, seam + 1);
}

size_t SegmentSequence::chunkOf(size_t position) const {
    return size_t(std::upper_bound(starts_.begin() + 1, starts_.end(), position) -
                  starts_.begin()) -
           1;
}

const Segment& SegmentSequence::operator[](size_t i) const {
    const size_t k = chunkOf(i);
    return (*chunks_[k])[i - starts_[k]];
}

std::vector<Segment>& SegmentSequence::own(size_t k, size_t extra) {
    Chunk& c = chunks_[k];
    if (!soleOwner(c)) {
        auto copy = std::make_shared<std::vector<Segment>>();
        copy->reserve(c->size() + extra);
        copy->assign(c->begin(), c->end());
        c = std::move(copy);
    }
    return *c;
}

void SegmentSequence::push_back(Segment segment) {
    if (chunks_.empty()) {
        insertAll(0, {std::move(segment)});
        return;
    }
    const size_t last = chunks_.size() - 1;
    own(last, 1).push_back(std::move(segment));
    ++starts_.back();
    if (chunks_[last]->size() > kChunkMost) settle(last, last + 1);
}

SegmentSequence::const_iterator SegmentSequence::insert(const_iterator at, Segment segment) {
    const size_t pos = at.position();
    std::vector<Segment> one;
    one.push_back(std::move(segment));
    insertAll(pos, std::move(one));
    return {this, pos};
}

void SegmentSequence::insertAll(size_t at, std::vector<Segment> added) {
    if (added.empty()) return;
    if (chunks_.empty()) {
        *this = SegmentSequence(std::move(added));
        return;
    }
    const size_t k = at >= size() ? chunks_.size() - 1 : chunkOf(at);
    const size_t offset = std::min(at, size()) - starts_[k];
    std::vector<Segment>& chunk = own(k, added.size());
    chunk.insert(chunk.begin() + std::ptrdiff_t(offset), std::make_move_iterator(added.begin()),
                 std::make_move_iterator(added.end()));
    settle(k, k + 1);
}

void SegmentSequence::erase(const_iterator first, const_iterator last) {
    const size_t from = first.position(), to = std::min(last.position(), size());
    if (from >= to) return;
    const size_t firstChunk = chunkOf(from), lastChunk = chunkOf(to - 1);
    for (size_t k = firstChunk; k <= lastChunk; ++k) {
        const size_t start = starts_[k], end = starts_[k + 1];
        if (from <= start && end <= to) {
            chunks_[k].reset();  // wholly taken out: never copied
            continue;
        }
        std::vector<Segment>& chunk = own(k);
        chunk.erase(chunk.begin() + std::ptrdiff_t(std::max(from, start) - start),
                    chunk.begin() + std::ptrdiff_t(std::min(to, end) - start));
    }
    settle(firstChunk, lastChunk + 1);
}

void SegmentSequence::eraseAt(const std::vector<size_t>& positions) {
    if (positions.empty()) return;
    const size_t firstChunk = chunkOf(positions.front());
    size_t k = firstChunk;
    for (size_t i = 0; i < positions.size();) {
        k = chunkOf(positions[i]);
        const size_t start = starts_[k], end = starts_[k + 1];
        size_t j = i;
        while (j < positions.size() && positions[j] < end) ++j;
        if (j - i == end - start) {
            chunks_[k].reset();
        } else {
            std::vector<Segment>& chunk = own(k);
            size_t kept = positions[i] - start;
            for (size_t read = kept, next = i; read < chunk.size(); ++read) {
                if (next < j && positions[next] - start == read) {
                    ++next;
                    continue;
                }
                if (kept != read) chunk[kept] = std::move(chunk[read]);
                ++kept;
            }
            chunk.erase(chunk.begin() + std::ptrdiff_t(kept), chunk.end());
        }
        i = j;
    }
    settle(firstChunk, k + 1);
}

void SegmentSequence::clear() {
    chunks_.clear();
    starts_.clear();
}

void SegmentSequence::settle(size_t first, size_t last) {
    // A neighbour on either side may take in what grew too small.
    const size_t from = first > 0 ? first - 1 : 0;
    const size_t to = std::min(last + 1, chunks_.size());
    std::vector<Chunk> out;
    std::vector<Segment> run;  // small chunks being joined
    for (size_t k = from; k < to; ++k) {
        Chunk& c = chunks_[k];
        if (!c || c->empty()) continue;
        if (run.empty() && c->size() >= kChunkLeast && c->size() <= kChunkMost) {
            out.push_back(std::move(c));  // as it was: still shared with its readers
            continue;
        }
        appendFrom(run, c);
        if (run.size() >= kChunkLeast) cutInto(out, std::exchange(run, {}));
    }
    if (!run.empty() && !out.empty()) {
        // Too small to stand alone: joined with the chunk before it.
        std::vector<Segment> joined;
        joined.reserve(out.back()->size() + run.size());
        appendFrom(joined, out.back());
        joined.insert(joined.end(), std::make_move_iterator(run.begin()),
                      std::make_move_iterator(run.end()));
        out.pop_back();
        run = std::move(joined);
    }
    cutInto(out, std::move(run));
    chunks_.erase(chunks_.begin() + std::ptrdiff_t(from), chunks_.begin() + std::ptrdiff_t(to));
    chunks_.insert(chunks_.begin() + std::ptrdiff_t(from), std::make_move_iterator(out.begin()),
                   std::make_move_iterator(out.end()));
    recount(from);
}

void SegmentSequence::recount(size_t from) {
    if (chunks_.empty()) {
        starts_.clear();
        return;
    }
    starts_.resize(chunks_.size() + 1);
    if (from == 0) starts_[0] = 0;
    for (size_t k = from; k < chunks_.size(); ++k) starts_[k + 1] = starts_[k] + chunks_[k]->size();
}

bool operator==(const SegmentSequence& a, const SegmentSequence& b) {
    if (a.chunks_ == b.chunks_) return true;
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool operator==(const SegmentSequence& a, const std::vector<Segment>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace verbolin
