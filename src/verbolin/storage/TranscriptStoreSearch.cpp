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

TranscriptStore::NewestMatches TranscriptStore::newestParagraphsMatching(std::string_view query,
                                                                         size_t wanted) const {
    const std::string_view trimmed = platform::text::trimmedScalars(query, platform::text::isBlank);
    if (trimmed.empty()) return {};
    if (!db_ || !unsavedSegments_.empty()) return {paragraphsMatching(trimmed), 0};
    const auto blocks = allBlocks();
    const Ends& ends = blockEnds();
    const auto& list = segments.peek();
    // Read back from a few times what is wanted, then as far as what the
    // last stretch found says it takes, and some: a rare word is found in
    // few paragraphs.
    for (size_t span = std::max<size_t>(64, wanted * 4);;) {
        if (span >= ends.size()) return {paragraphsMatching(trimmed), 0};
        const size_t from = ends.size() - span;
        const size_t first = ends[from - 1];  // the first segment of paragraph `from`
        const auto positions = positionsOfHits(
            db_->searchHitsFrom(trimmed, platform::secondsSince1970(list[first].start)));
        if (!positions) return {paragraphsMatching(trimmed), 0};
        NewestMatches newest{{}, from};
        size_t paragraph = from;
        // A segment before the stretch may share its first start.
        for (auto at = std::lower_bound(positions->begin(), positions->end(), first);
             at != positions->end(); ++at) {
            paragraph =
                platform::gallop(paragraph, ends.size(), [&](size_t k) { return ends[k] <= *at; });
            if (newest.paragraphs.empty() || newest.paragraphs.back() != paragraph)
                newest.paragraphs.push_back(paragraph);
        }
        const size_t found = newest.paragraphs.size();
        if (found >= wanted) return newest;
        span = found == 0 ? span * 16 : std::max(span * 2, span * wanted * 2 / found);
    }
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
