#include "verbolin/storage/SessionSummaries.hpp"

#include <unicode/uchar.h>

#include <algorithm>
#include <bit>
#include <set>

#include "platform/system/NumberText.hpp"
#include "platform/system/Text.hpp"

namespace verbolin {
namespace {

using platform::Date;

bool joinsPrevious(UChar32 c) {
    auto gcb = u_getIntPropertyValue(c, UCHAR_GRAPHEME_CLUSTER_BREAK);
    return gcb == U_GCB_EXTEND || gcb == U_GCB_ZWJ || gcb == U_GCB_SPACING_MARK;
}

// Splits at each space that stands as a character of its own: a space that a
// combining mark follows (or a prepended mark precedes) is part of a larger
// character and does not split. Stops at `most` words, which is all a
// preview needs to know of thousands of sessions.
std::vector<std::string_view> wordsBetweenSpaces(std::string_view text, size_t most) {
    std::vector<std::string_view> words;
    size_t i = 0, wordStart = 0;
    std::optional<char32_t> previous;
    while (i < text.size()) {
        if (words.size() == most) return words;
        const size_t at = i;
        // Most of what is dictated is ASCII, each byte its own scalar.
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto c = byte < 0x80 ? std::optional<char32_t>(text[i++])
                                   : platform::text::decodeScalar(text, i);
        if (c == U' ') {
            bool joined = previous &&
                          u_getIntPropertyValue(UChar32(*previous), UCHAR_GRAPHEME_CLUSTER_BREAK) ==
                              U_GCB_PREPEND;
            if (i < text.size()) {
                size_t j = i;
                const auto next = platform::text::decodeScalar(text, j);
                joined = joined || (next && joinsPrevious(UChar32(*next)));
            }
            if (!joined) {
                if (at > wordStart) words.push_back(text.substr(wordStart, at - wordStart));
                wordStart = i;
            }
        }
        previous = c;
    }
    if (text.size() > wordStart) words.push_back(text.substr(wordStart));
    return words;
}

bool startsBefore(const Segment& s, Date t) { return s.start < t; }
bool startsAfter(Date t, const Segment& s) { return t < s.start; }
bool byStart(const Segment& a, const Segment& b) { return a.start < b.start; }

// What one binary search over `n` segments reads of them.
size_t probes(size_t n) { return size_t(std::bit_width(n)) + 1; }

// Later starts first; of equal starts, sessions before days (and markers in
// stored order): what a stable sort of sessions then days gives.
void sortNewestFirst(std::vector<SessionSummaries::Entry>& entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.item.start > b.item.start; });
}

SessionItem sessionItemOf(const std::vector<SessionMarker>& markers, size_t i) {
    std::optional<Date> end;
    if (i + 1 < markers.size()) end = markers[i + 1].start;
    return {markers[i].id.string(), markers[i].name.value_or(""), markers[i].start, end,
            markers[i]};
}

SessionItem dayItemOf(Date day, SessionSummaries::Reading& finder, std::optional<Date> cutoff) {
    Date end = finder.nextDay(day);
    if (cutoff && *cutoff < end) end = *cutoff;
    return {SessionSummaries::dayItemId(day), "", day, end, std::nullopt};
}

}  // namespace

std::string sessionPreview(const std::string& text) {
    // A paste of megabytes may hold few spaces, or none: the sidebar would
    // measure all of it to elide it, for every entry shown.
    constexpr size_t kMaxBytes = 400;
    size_t headEnd = std::min(text.size(), kMaxBytes * 2);
    while (headEnd < text.size() && (static_cast<unsigned char>(text[headEnd]) & 0xC0) == 0x80)
        --headEnd;
    const std::string_view head = std::string_view(text).substr(0, headEnd);
    // An eleventh word is enough to tell that more follows.
    auto words = wordsBetweenSpaces(head, 11);
    std::string out;
    bool more = head.size() < text.size() || words.size() > 10;
    if (!more) return text;
    for (size_t i = 0; i < std::min<size_t>(words.size(), 10); ++i) {
        if (i) out += ' ';
        out += words[i];
    }
    if (out.size() > kMaxBytes) {
        size_t cut = kMaxBytes;  // at the start of a character
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
        more = true;
    }
    return more ? out + "\u2026" : out;
}

std::string SessionSummaries::dayItemId(Date dayStart) {
    return "day:" + platform::numberText(platform::secondsSince1970(dayStart));
}

void SessionSummaries::oweSpans(const std::vector<StartSpan>& spans) {
    owedSpans_.insert(owedSpans_.end(), spans.begin(), spans.end());
}

void SessionSummaries::bringUpToDate(const SegmentSequence& segments,
                                     const std::vector<SessionMarker>& markers,
                                     const UserCalendar& calendar) {
    const bool owed = owedAll_ || owedMarkers_ || !owedSpans_.empty();
    if (!owed) return;
    // Out of order, a binary search finds nothing for sure.
    if (owedAll_ || !sorted_) {
        rebuild(segments, markers, calendar);
    } else {
        const size_t rebuilds = work_.rebuilds;
        if (owedMarkers_) applyMarkers(segments, markers, calendar);
        if (work_.rebuilds == rebuilds && !owedSpans_.empty()) {
            Reading finder(calendar);
            // An undo names each segment it puts back: spans that overlap
            // are read once.
            std::sort(owedSpans_.begin(), owedSpans_.end(),
                      [](const StartSpan& a, const StartSpan& b) { return a.first < b.first; });
            std::vector<StartSpan> spans;
            for (const StartSpan& span : owedSpans_)
                if (!spans.empty() && !(spans.back().last < span.first))
                    spans.back().last = std::max(spans.back().last, span.last);
                else
                    spans.push_back(span);
            computedNow_.clear();
            for (const StartSpan& span : spans)
                if (!applySpan(segments, markers, finder, span)) {
                    rebuild(segments, markers, calendar);
                    break;
                }
        }
    }
    owedAll_ = owedMarkers_ = false;
    owedSpans_.clear();
}

const SessionSummaries::Entry* SessionSummaries::find(const SessionItem& item) const {
    const auto at = indexOf(item.id);
    if (!at) return nullptr;
    const Entry& e = entries_[*at];
    return e.item.start == item.start && e.item.end == item.end ? &e : nullptr;
}

std::optional<size_t> SessionSummaries::indexOf(const std::string& id) const {
    const auto it = index_.find(id);
    if (it == index_.end()) return std::nullopt;
    return it->second;
}

void SessionSummaries::reindex() {
    index_.clear();
    index_.reserve(entries_.size());
    // A later duplicate id (a damaged transcript) does not hide the first.
    for (size_t i = 0; i < entries_.size(); ++i) index_.try_emplace(entries_[i].item.id, i);
}

void SessionSummaries::rebuild(const SegmentSequence& segments,
                               const std::vector<SessionMarker>& markers,
                               const UserCalendar& calendar) {
    ++work_.rebuilds;
    work_.segmentsRead += segments.size();
    sorted_ = std::is_sorted(segments.begin(), segments.end(), byStart);
    cutoff_.reset();
    if (!markers.empty()) cutoff_ = markers.front().start;

    Reading finder(calendar);
    std::set<Date> dayStarts;
    const auto beforeCutoff =
        sorted_ && cutoff_
            ? std::lower_bound(segments.begin(), segments.end(), *cutoff_, startsBefore)
            : segments.end();
    for (auto it = segments.begin(); it != beforeCutoff; ++it)
        if (!cutoff_ || it->start < *cutoff_) dayStarts.insert(finder.startOfDay(it->start));

    std::vector<Entry> next;
    next.reserve(markers.size() + dayStarts.size());
    for (size_t i = 0; i < markers.size(); ++i) next.push_back({sessionItemOf(markers, i)});
    for (Date day : dayStarts) next.push_back({dayItemOf(day, finder, cutoff_)});
    sortNewestFirst(next);
    // Out of order, each entry's first and last in stored order, in one pass.
    const auto outOfOrder =
        sorted_ ? std::vector<Ends>{} : locateInOnePass(next, segments, markers);
    for (size_t k = 0; k < next.size(); ++k) {
        Entry& e = next[k];
        SessionItem item = std::move(e.item);
        e = carried(item.id);
        const Ends ends = sorted_ ? locate(item, segments) : outOfOrder[k];
        compute(e, std::move(item), ends, finder);
    }
    replaceAll(std::move(next));
}

void SessionSummaries::applyMarkers(const SegmentSequence& segments,
                                    const std::vector<SessionMarker>& markers,
                                    const UserCalendar& calendar) {
    std::optional<Date> cutoff;
    if (!markers.empty()) cutoff = markers.front().start;
    // The days before the first session are cut there: they change with it.
    if (cutoff != cutoff_) return rebuild(segments, markers, calendar);

    Reading finder(calendar);
    std::vector<Entry> next;
    next.reserve(markers.size() + entries_.size());
    for (size_t i = 0; i < markers.size(); ++i) {
        Entry e{sessionItemOf(markers, i)};
        const auto old = indexOf(e.item.id);
        if (old && entries_[*old].item.start == e.item.start &&
            entries_[*old].item.end == e.item.end) {
            // The same segments: only the name may differ.
            SessionItem item = std::move(e.item);
            e = entries_[*old];
            if (e.item != item) {
                e.item = std::move(item);
                revise(e);
            }
        } else {
            SessionItem item = std::move(e.item);
            e = carried(item.id);
            const Ends ends = locate(item, segments);
            compute(e, std::move(item), ends, finder);
        }
        next.push_back(std::move(e));
    }
    for (const Entry& e : entries_)
        if (!e.item.marker) next.push_back(e);
    sortNewestFirst(next);
    replaceAll(std::move(next));
}

bool SessionSummaries::applySpan(const SegmentSequence& segments,
                                 const std::vector<SessionMarker>& markers, Reading& finder,
                                 const StartSpan& span) {
    const size_t n = segments.size();
    const auto lo =
        size_t(std::lower_bound(segments.begin(), segments.end(), span.first, startsBefore) -
               segments.begin());
    const auto hi =
        size_t(std::upper_bound(segments.begin(), segments.end(), span.last, startsAfter) -
               segments.begin());
    work_.segmentsRead += 2 * probes(n);
    // Writers keep the order but an append, which puts a segment last
    // whatever its time: the order is checked where the change fell.
    const size_t from = lo > 0 ? lo - 1 : 0, to = std::min(n, std::max(hi, lo) + 1);
    work_.segmentsRead += to - from + 2;
    if (!std::is_sorted(segments.begin() + std::ptrdiff_t(from),
                        segments.begin() + std::ptrdiff_t(to), byStart) ||
        (n >= 2 && segments[n - 1].start < segments[n - 2].start)) {
        sorted_ = false;
        return false;
    }

    // Markers out of order (a session started after the clock was set
    // back) make sessions that overlap, and days among them: read anew.
    if (!std::is_sorted(
            markers.begin(), markers.end(),
            [](const SessionMarker& a, const SessionMarker& b) { return a.start < b.start; }))
        return false;
    const auto after = std::upper_bound(markers.begin(), markers.end(), span.first,
                                        [](Date t, const SessionMarker& m) { return t < m.start; });
    for (size_t i = after == markers.begin() ? 0 : size_t(after - markers.begin()) - 1;
         i < markers.size(); ++i) {
        if (span.last < markers[i].start) break;
        const SessionItem item = sessionItemOf(markers, i);
        if (span.last < item.start || (item.end && *item.end <= span.first)) continue;
        if (const auto at = indexOf(item.id); at && computedNow_.insert(item.id).second)
            compute(entries_[*at], item, locate(item, segments), finder);
    }

    if (!cutoff_ || span.first < *cutoff_) {
        // A day item ends where the next day begins: the day before, whose
        // item ends here, is made anew too.
        const Date dayOfFirst = finder.startOfDay(span.first);
        const Date start = finder.startOfDay(dayOfFirst - std::chrono::nanoseconds(1));
        Date last = span.last;
        if (cutoff_ && !(last < *cutoff_)) last = *cutoff_ - std::chrono::nanoseconds(1);
        redoDays(segments, finder, start, finder.nextDay(finder.startOfDay(last)));
    }
    return true;
}

void SessionSummaries::redoDays(const SegmentSequence& segments, Reading& finder, Date from,
                                Date to) {
    // Day items are the entries without a marker: after every session,
    // newest first.
    const auto days = std::find_if(entries_.begin(), entries_.end(),
                                   [](const Entry& e) { return !e.item.marker; });
    const auto blockStart = std::partition_point(
        days, entries_.end(), [&](const Entry& e) { return !(e.item.start < to); });
    const auto blockEnd = std::partition_point(
        blockStart, entries_.end(), [&](const Entry& e) { return !(e.item.start < from); });

    const Date until = cutoff_ && *cutoff_ < to ? *cutoff_ : to;
    const auto first = std::lower_bound(segments.begin(), segments.end(), from, startsBefore);
    const auto last = std::lower_bound(first, segments.end(), until, startsBefore);
    work_.segmentsRead += 2 * probes(segments.size()) + size_t(last - first);
    std::set<Date, std::greater<>> dayStarts;
    for (auto it = first; it != last; ++it) dayStarts.insert(finder.startOfDay(it->start));

    std::vector<Entry> made;
    for (Date day : dayStarts) {
        SessionItem item = dayItemOf(day, finder, cutoff_);
        Entry e = carried(item.id);
        const Ends ends = locate(item, segments);
        compute(e, std::move(item), ends, finder);
        made.push_back(std::move(e));
    }
    const bool sameDays =
        size_t(blockEnd - blockStart) == made.size() &&
        std::equal(made.begin(), made.end(), blockStart,
                   [](const Entry& a, const Entry& b) { return a.item.id == b.item.id; });
    if (sameDays) {
        std::move(made.begin(), made.end(), blockStart);
        return;
    }
    for (auto it = blockStart; it != blockEnd; ++it)
        if (std::none_of(made.begin(), made.end(),
                         [&](const Entry& e) { return e.item.id == it->item.id; }))
            logChange(it->item.id);
    const auto at = entries_.erase(blockStart, blockEnd);
    entries_.insert(at, std::make_move_iterator(made.begin()), std::make_move_iterator(made.end()));
    reindex();
}

void SessionSummaries::replaceAll(std::vector<Entry> next) {
    std::unordered_set<std::string> kept;
    for (const Entry& e : next) kept.insert(e.item.id);
    for (const Entry& e : entries_)
        if (!kept.count(e.item.id)) logChange(e.item.id);
    entries_ = std::move(next);
    reindex();
}

void SessionSummaries::revise(Entry& entry) {
    entry.revision = nextRevision_;
    logChange(entry.item.id);
}

void SessionSummaries::logChange(const std::string& id) {
    log_.emplace_back(nextRevision_++, id);
    // Readers far behind read everything anew; the log stays near the
    // number of entries.
    if (log_.size() > 4 * entries_.size() + 64) {
        log_.erase(log_.begin(), log_.begin() + std::ptrdiff_t(log_.size() / 2));
        logStart_ = log_.front().first;
    }
}

std::optional<std::vector<std::string>> SessionSummaries::changedSince(
    std::uint64_t revision) const {
    if (revision + 1 < logStart_) return std::nullopt;
    const auto from =
        std::upper_bound(log_.begin(), log_.end(), revision,
                         [](std::uint64_t r, const std::pair<std::uint64_t, std::string>& e) {
                             return r < e.first;
                         });
    std::vector<std::string> ids;
    for (auto it = from; it != log_.end(); ++it) ids.push_back(it->second);
    return ids;
}

SessionSummaries::Entry SessionSummaries::carried(const std::string& id) const {
    const auto old = indexOf(id);
    return old ? entries_[*old] : Entry{};
}

SessionSummaries::Ends SessionSummaries::locate(const SessionItem& item,
                                                const SegmentSequence& segments) {
    const auto lo = std::lower_bound(segments.begin(), segments.end(), item.start, startsBefore);
    const auto hi =
        item.end ? std::lower_bound(lo, segments.end(), *item.end, startsBefore) : segments.end();
    work_.segmentsRead += 2 * probes(segments.size());
    if (lo < hi) return {&*lo, &*(hi - 1)};
    return {nullptr, nullptr};
}

std::vector<SessionSummaries::Ends> SessionSummaries::locateInOnePass(
    const std::vector<Entry>& entries, const SegmentSequence& segments,
    const std::vector<SessionMarker>& markers) {
    // The entries by start, of equal starts the later marker last: the one
    // of them whose range is not empty.
    std::vector<size_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Date x = entries[a].item.start, y = entries[b].item.start;
        return x < y || (x == y && a < b);
    });
    // In order, sessions follow one another; only a day can reach into the
    // next (a clock change at midnight). Out of order, any may overlap.
    const bool disjoint = std::is_sorted(
        markers.begin(), markers.end(),
        [](const SessionMarker& a, const SessionMarker& b) { return a.start < b.start; });
    std::vector<Ends> ends(entries.size(), Ends{nullptr, nullptr});
    work_.segmentsRead += segments.size();
    for (const Segment& s : segments) {
        const auto after =
            std::upper_bound(order.begin(), order.end(), s.start,
                             [&](Date t, size_t i) { return t < entries[i].item.start; });
        const size_t nearest = size_t(after - order.begin());
        const size_t reach = disjoint ? std::min<size_t>(nearest, 2) : nearest;
        for (size_t back = 1; back <= reach; ++back) {
            const size_t i = order[nearest - back];
            const auto& end = entries[i].item.end;
            if (end && !(s.start < *end)) continue;
            if (!ends[i].first) ends[i].first = &s;
            ends[i].second = &s;
        }
    }
    return ends;
}

void SessionSummaries::compute(Entry& entry, SessionItem item, Ends ends, Reading& finder) {
    ++work_.entriesComputed;
    const auto [first, last] = ends;
    std::optional<Date> firstStart;
    Date lastEnd{};
    std::string preview = "Nothing yet";
    if (first) {
        firstStart = first->start;
        lastEnd = last->end;
        preview = sessionPreview(first->text);
    }
    const Date day = finder.startOfDay(firstStart.value_or(item.start));
    const bool same = entry.revision != 0 && entry.item == item && entry.firstStart == firstStart &&
                      entry.lastEnd == lastEnd && entry.preview == preview && entry.day == day;
    entry.item = std::move(item);
    entry.firstStart = firstStart;
    entry.lastEnd = lastEnd;
    entry.preview = std::move(preview);
    entry.day = day;
    if (!same || entry.range.empty()) entry.range = entry.rangeText(finder);
    if (!same) revise(entry);
}

}  // namespace verbolin
