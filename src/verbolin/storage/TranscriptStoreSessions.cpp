// The read side of the store: the sidebar's session and day items, their
// segments, titles, previews and time ranges.

#include <algorithm>
#include <cmath>
#include <set>

#include "platform/system/NumberText.hpp"
#include "platform/system/Text.hpp"
#include "verbolin/storage/BlockLineage.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {
namespace {

using platform::Date;

}  // namespace

std::string TranscriptStore::dayItemId(Date dayStart) {
    return SessionSummaries::dayItemId(dayStart);
}

std::vector<SessionItem> TranscriptStore::sessionItems() const {
    std::vector<SessionItem> items;
    for (const auto& entry : sessionSummaries().entries()) items.push_back(entry.item);
    return items;
}

const SessionSummaries& TranscriptStore::sessionSummaries() const {
    summaries_.bringUpToDate(segments.get(), sessions.get(), calendar_);
    return summaries_;
}

std::vector<SessionItem> TranscriptStore::sessionItems(const SegmentSequence& all,
                                                       const std::vector<SessionMarker>& markers,
                                                       const UserCalendar& calendar) {
    std::vector<SessionItem> items;
    for (size_t i = 0; i < markers.size(); ++i) {
        std::optional<Date> end;
        if (i + 1 < markers.size()) end = markers[i + 1].start;
        items.push_back({markers[i].id.string(), markers[i].name.value_or(""), markers[i].start,
                         end, markers[i]});
    }

    std::optional<Date> cutoff;
    if (!markers.empty()) cutoff = markers.front().start;
    UserCalendar::DayFinder finder(calendar);
    std::set<Date> dayStarts;
    for (const Segment& s : all)
        if (!cutoff || s.start < *cutoff) dayStarts.insert(finder.startOfDay(s.start));
    for (Date day : dayStarts) {
        Date end = finder.nextDay(day);
        if (cutoff && *cutoff < end) end = *cutoff;
        items.push_back({dayItemId(day), "", day, end, std::nullopt});
    }

    std::stable_sort(items.begin(), items.end(),
                     [](const SessionItem& a, const SessionItem& b) { return a.start > b.start; });
    return items;
}

std::optional<SessionItem> TranscriptStore::currentSession() const {
    // Only the last marker's session is open; no need to build the day items.
    const auto& markers = sessions.get();
    if (markers.empty()) return std::nullopt;
    const SessionMarker& last = markers.back();
    return SessionItem{last.id.string(), last.name.value_or(""), last.start, std::nullopt, last};
}

namespace {

// Where the item's segments lie in `all`, in start order.
std::pair<SegmentSequence::const_iterator, SegmentSequence::const_iterator> rangeIn(
    const SegmentSequence& all, const SessionItem& item) {
    const auto startsBefore = [](const Segment& s, Date t) { return s.start < t; };
    const auto lo = std::lower_bound(all.begin(), all.end(), item.start, startsBefore);
    const auto hi = item.end ? std::lower_bound(lo, all.end(), *item.end, startsBefore) : all.end();
    return {lo, hi};
}

}  // namespace

std::vector<Segment> TranscriptStore::segmentsIn(const SessionItem& item) const {
    std::vector<Segment> out;
    const auto& all = segments.get();
    if (sessionSummaries().segmentsSorted()) {
        const auto [lo, hi] = rangeIn(all, item);
        out.assign(lo, hi);
        return out;
    }
    for (const Segment& s : all)
        if (s.start >= item.start && (!item.end || s.start < *item.end)) out.push_back(s);
    return out;
}

std::pair<const Segment*, const Segment*> TranscriptStore::endsIn(const SessionItem& item) const {
    std::pair<const Segment*, const Segment*> ends{nullptr, nullptr};
    const auto& all = segments.get();
    if (sessionSummaries().segmentsSorted()) {
        const auto [lo, hi] = rangeIn(all, item);
        if (lo < hi) ends = {&*lo, &*(hi - 1)};
        return ends;
    }
    for (const Segment& s : all)
        if (s.start >= item.start && (!item.end || s.start < *item.end)) {
            if (!ends.first) ends.first = &s;
            ends.second = &s;
        }
    return ends;
}

std::vector<Segment> TranscriptStore::segmentsOn(Date date) const {
    UserCalendar::DayFinder finder(calendar_);
    Date day = finder.startOfDay(date);
    std::vector<Segment> out;
    for (const Segment& s : segments.get())
        if (finder.startOfDay(s.start) == day) out.push_back(s);
    return out;
}

std::vector<Date> TranscriptStore::days() const {
    UserCalendar::DayFinder finder(calendar_);
    std::vector<Date> out;
    for (const Segment& s : segments.get()) out.push_back(finder.startOfDay(s.start));
    std::sort(out.begin(), out.end(), std::greater<>());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

const std::unordered_map<platform::Uuid, std::string>& TranscriptStore::sessionStartBlocks() const {
    return *sharedSessionStartBlocks();
}

TranscriptStore::StartTitles TranscriptStore::sharedSessionStartBlocks() const {
    auto blocks = allBlocks();
    const auto& markers = sessions.get();
    // Those found in an array this one took the first paragraphs of are
    // found there again (the paragraphs before them are the same too).
    size_t same = 0;
    bool whole = true;
    if (markerTitlesAt_ != sessionWrites_ || !startTitles_) {
        markerTitles_.clear();
        markerTitles_.reserve(markers.size());
        // Making an ICU formatter costs far more than a time written with
        // one: thousands of unnamed sessions share a single one.
        std::optional<UserCalendar::TimeFormatter> times;
        for (const SessionMarker& m : markers) {
            if (m.name) {
                markerTitles_.push_back(*m.name);
                continue;
            }
            if (!times) times.emplace(calendar_);
            markerTitles_.push_back(times->shortTime(m.start));
        }
        markerTitlesAt_ = sessionWrites_;
        markerParagraphs_.assign(markers.size(), 0);
        markerKeys_.assign(markers.size(), std::nullopt);
    } else if (markerParagraphsIn_.lock() == blocks) {
        return startTitles_;  // neither the sessions nor the paragraphs changed
    } else {
        same = BlockLineage::takenOver(markerParagraphsIn_, blocks).value_or(0);
        whole = false;
    }
    // Only the markers past what was taken over are looked for again; the
    // titles are made anew only when one of them lands on another paragraph.
    bool moved = whole;
    for (size_t i = 0; i < markers.size(); ++i) {
        size_t& at = markerParagraphs_[i];
        if (at < same) continue;
        // Paragraphs are in start order: the marker's first one is found by halving.
        at = size_t(std::partition_point(blocks->begin() + std::ptrdiff_t(same), blocks->end(),
                                         [&](const Block& b) {
                                             return b.segments.front().start < markers[i].start;
                                         }) -
                    blocks->begin());
        std::optional<platform::Uuid> key;
        if (at < blocks->size()) key = (*blocks)[at].id;
        moved = moved || key != markerKeys_[i];
        markerKeys_[i] = key;
    }
    markerParagraphsIn_ = blocks;
    if (!moved) return startTitles_;
    auto titles = std::make_shared<std::unordered_map<platform::Uuid, std::string>>();
    titles->reserve(markers.size());
    for (size_t i = 0; i < markers.size(); ++i)
        if (markerKeys_[i]) (*titles)[*markerKeys_[i]] = markerTitles_[i];  // a later one wins
    startTitles_ = std::move(titles);
    return startTitles_;
}

std::string TranscriptStore::previewOf(const SessionItem& item) const {
    if (const auto* entry = sessionSummaries().find(item)) return entry->preview;
    const Segment* first = endsIn(item).first;
    return first ? sessionPreview(first->text) : "Nothing yet";
}

std::string TranscriptStore::rangeText(const SessionItem& item) const {
    if (const auto* entry = sessionSummaries().find(item)) return entry->range;
    const auto [first, last] = endsIn(item);
    SessionSummaries::Entry entry{item};
    if (first) {
        entry.firstStart = first->start;
        entry.lastEnd = last->end;
    }
    return entry.rangeText(calendar_);
}

std::string TranscriptStore::dayTitle(Date date, const UserCalendar& calendar) {
    return DayTitles(calendar)(date);
}

TranscriptStore::DayTitles::DayTitles(const UserCalendar& calendar)
    : days_(calendar), dates_(calendar) {
    const Date now = calendar.now();
    today_ = days_.startOfDay(now);
    yesterday_ = days_.startOfDay(calendar.addingDays(now, -1));
}

std::string TranscriptStore::DayTitles::operator()(Date date) {
    const Date day = days_.startOfDay(date);
    if (day == today_) return "Today";
    if (day == yesterday_) return "Yesterday";
    return dates_.abbreviatedDate(date);
}

}  // namespace verbolin
