// The search side of the store: which paragraphs hold what a query finds.

#include <algorithm>
#include <limits>

#include "platform/system/Gallop.hpp"
#include "platform/system/Text.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {

std::optional<std::vector<size_t>> TranscriptStore::positionsOfHits(
    std::vector<TranscriptDB::SearchHit> hits) const {
    std::sort(hits.begin(), hits.end(), [](const auto& a, const auto& b) {
        return a.start < b.start || (a.start == b.start && a.id < b.id);
    });
    const auto& list = segments.peek();
    // Compared as the file keeps a start: memory's may be finer.
    const auto stored = [&](size_t at) { return platform::secondsSince1970(list[at].start); };
    std::vector<size_t> found;
    found.reserve(hits.size());
    size_t at = 0;
    for (const TranscriptDB::SearchHit& hit : hits) {
        at = platform::gallop(at, list.size(), [&](size_t k) { return stored(k) < hit.start; });
        size_t match = at;
        while (match < list.size() && stored(match) == hit.start && list[match].id != hit.id)
            ++match;
        // Out of start order, or not what the file holds: the caller asks by id.
        if (match == list.size() || stored(match) != hit.start) return std::nullopt;
        found.push_back(match);
    }
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

std::vector<size_t> TranscriptStore::paragraphsMatching(std::string_view query) const {
    const std::string_view trimmed = platform::text::trimmedScalars(query, platform::text::isBlank);
    if (trimmed.empty()) return {};
    // Memory holds just what the file does: its hits are found in time order.
    std::optional<std::vector<size_t>> positions;
    if (db_ && unsavedSegments_.empty()) positions = positionsOfHits(db_->searchHits(trimmed));
    if (!positions) return paragraphsHolding(search(trimmed));
    const auto blocks = allBlocks();
    const Ends& ends = blockEnds();
    std::vector<size_t> found;
    size_t paragraph = 0;
    for (const size_t position : *positions) {
        paragraph =
            platform::gallop(paragraph, ends.size(), [&](size_t k) { return ends[k] <= position; });
        if (found.empty() || found.back() != paragraph) found.push_back(paragraph);
    }
    return found;
}

std::optional<std::vector<size_t>> TranscriptStore::paragraphsMatchingAmong(std::string_view query,
                                                                            size_t from,
                                                                            size_t to) const {
    const std::string_view trimmed = platform::text::trimmedScalars(query, platform::text::isBlank);
    if (!db_ || !unsavedSegments_.empty()) return std::nullopt;
    const auto blocks = allBlocks();
    const Ends& ends = blockEnds();
    const auto& list = segments.peek();
    to = std::min(to, ends.size());
    std::vector<size_t> found;
    if (trimmed.empty() || from >= to) return found;
    // The stretch's segments, and their starts as the file keeps them: a
    // start shared across either edge is read with both stretches, and
    // taken by the one that holds it.
    const size_t first = from > 0 ? ends[from - 1] : 0, end = ends[to - 1];
    const double low = from > 0 ? platform::secondsSince1970(list[first].start)
                                : -std::numeric_limits<double>::max();
    const double high = to < ends.size() ? platform::secondsSince1970(list[end - 1].start)
                                         : std::numeric_limits<double>::max();
    // A stretch that could not be read is read with the rest (see
    // paragraphsMatching), rather than shown without its matches.
    auto hits = db_->searchHitsBetween(trimmed, low, high);
    if (!hits) return std::nullopt;
    const auto positions = positionsOfHits(std::move(*hits));
    if (!positions) return std::nullopt;
    size_t paragraph = from;
    for (auto at = std::lower_bound(positions->begin(), positions->end(), first);
         at != positions->end() && *at < end; ++at) {
        paragraph = platform::gallop(paragraph, to, [&](size_t k) { return ends[k] <= *at; });
        if (found.empty() || found.back() != paragraph) found.push_back(paragraph);
    }
    return found;
}

TranscriptStore::NewestMatches TranscriptStore::newestParagraphsMatching(std::string_view query,
                                                                         size_t wanted) const {
    const std::string_view trimmed = platform::text::trimmedScalars(query, platform::text::isBlank);
    if (trimmed.empty()) return {};
    const size_t count = allBlocks()->size();
    // Read back from a few times what is wanted, then as far as what the
    // last stretch found says it takes, and some: a rare word is found in
    // few paragraphs.
    for (size_t span = std::max<size_t>(64, wanted * 4);;) {
        if (span >= count) break;
        auto found = paragraphsMatchingAmong(trimmed, count - span, count);
        if (!found) break;
        if (found->size() >= wanted) return {std::move(*found), count - span};
        span = found->empty() ? span * 16 : std::max(span * 2, span * wanted * 2 / found->size());
    }
    return {paragraphsMatching(trimmed), 0};
}

std::unordered_set<platform::Uuid> TranscriptStore::searchWithin(std::string_view query,
                                                                 const SessionItem& item) const {
    const std::string_view trimmed = platform::text::trimmedScalars(query, platform::text::isBlank);
    if (trimmed.empty() || !db_ || !unsavedSegments_.empty()) return search(trimmed);
    // A second wider each way than the item: its edges are compared as
    // memory keeps times, finer than the file.
    const double from = platform::secondsSince1970(item.start) - 1;
    const double to =
        item.end ? platform::secondsSince1970(*item.end) + 1 : std::numeric_limits<double>::max();
    return db_->searchBetween(trimmed, from, to);
}

}  // namespace verbolin
