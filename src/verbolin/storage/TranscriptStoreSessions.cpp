// The read side of the store: the sidebar's session and day items, their
// segments, titles, previews and time ranges.

#include <unicode/uchar.h>

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

bool joinsPrevious(UChar32 c) {
    auto gcb = u_getIntPropertyValue(c, UCHAR_GRAPHEME_CLUSTER_BREAK);
    return gcb == U_GCB_EXTEND || gcb == U_GCB_ZWJ || gcb == U_GCB_SPACING_MARK;
}

// Splits at each space that stands as a character of its own: a space that a
// combining mark follows (or a prepended mark precedes) is part of a larger
// character and does not split.
std::vector<std::string_view> wordsBetweenSpaces(std::string_view text) {
    std::vector<std::string_view> words;
    size_t i = 0, wordStart = 0;
    std::optional<char32_t> previous;
    while (i < text.size()) {
        const size_t at = i;
        const auto c = platform::text::decodeScalar(text, i);
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

}  // namespace

std::string TranscriptStore::dayItemId(Date dayStart) {
    return "day:" + platform::numberText(platform::secondsSince1970(dayStart));
}

std::vector<SessionItem> TranscriptStore::sessionItems() const {
    return sessionItems(segments.get(), sessions.get(), calendar_);
}

std::vector<SessionItem> TranscriptStore::sessionItems(const std::vector<Segment>& all,
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

std::vector<Segment> TranscriptStore::segmentsIn(const SessionItem& item) const {
    std::vector<Segment> out;
    for (const Segment& s : segments.get())
        if (s.start >= item.start && (!item.end || s.start < *item.end)) out.push_back(s);
    return out;
}

std::pair<const Segment*, const Segment*> TranscriptStore::endsIn(const SessionItem& item) const {
    std::pair<const Segment*, const Segment*> ends{nullptr, nullptr};
    for (const Segment& s : segments.get())
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

std::unordered_map<platform::Uuid, std::string> TranscriptStore::sessionStartBlocks() const {
    auto blocks = allBlocks();
    const auto& markers = sessions.get();
    // Those found in an array this one took the first paragraphs of are
    // found there again (the paragraphs before them are the same too).
    size_t same = 0;
    if (markerTitlesAt_ != sessionWrites_) {
        markerTitles_.clear();
        for (const SessionMarker& m : markers)
            markerTitles_.push_back(m.name ? *m.name : calendar_.shortTime(m.start));
        markerTitlesAt_ = sessionWrites_;
        markerParagraphs_.assign(markers.size(), 0);
    } else if (markerParagraphsIn_.lock() == blocks) {
        same = blocks->size();
    } else {
        same = BlockLineage::takenOver(markerParagraphsIn_, blocks).value_or(0);
    }
    std::unordered_map<platform::Uuid, std::string> titles;
    for (size_t i = 0; i < markers.size(); ++i) {
        size_t& at = markerParagraphs_[i];
        // Paragraphs are in start order: the marker's first one is found by halving.
        if (at >= same)
            at = size_t(std::partition_point(blocks->begin() + std::ptrdiff_t(same), blocks->end(),
                                             [&](const Block& b) {
                                                 return b.segments.front().start < markers[i].start;
                                             }) -
                        blocks->begin());
        if (at < blocks->size()) titles[(*blocks)[at].id] = markerTitles_[i];  // a later one wins
    }
    markerParagraphsIn_ = blocks;
    return titles;
}

std::string TranscriptStore::previewOf(const SessionItem& item) const {
    const Segment* first = endsIn(item).first;
    if (!first) return "Nothing yet";
    const std::string& text = first->text;
    // A paste of megabytes may hold few spaces, or none: the sidebar would
    // measure all of it to elide it, for every entry shown.
    constexpr size_t kMaxBytes = 400;
    size_t headEnd = std::min(text.size(), kMaxBytes * 2);
    while (headEnd < text.size() && (static_cast<unsigned char>(text[headEnd]) & 0xC0) == 0x80)
        --headEnd;
    const std::string_view head = std::string_view(text).substr(0, headEnd);
    auto words = wordsBetweenSpaces(head);
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

std::string TranscriptStore::rangeText(const SessionItem& item) const {
    const auto [first, last] = endsIn(item);
    if (!first) return item.end ? calendar_.shortTime(item.start) : "Now";
    std::string out = calendar_.shortTime(first->start);
    if (!item.end) return out + " \u2013 now";
    return out + " \u2013 " + calendar_.shortTime(last->end);
}

std::string TranscriptStore::dayTitle(Date date, const UserCalendar& calendar) {
    Date now = calendar.now();
    if (calendar.isSameDay(date, now)) return "Today";
    if (calendar.isSameDay(date, calendar.addingDays(now, -1))) return "Yesterday";
    return calendar.abbreviatedDate(date);
}

}  // namespace verbolin
