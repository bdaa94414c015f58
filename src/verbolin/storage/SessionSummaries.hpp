#pragma once
// What the sidebar shows of each session item: its first words, the times
// its segments span and the day it is listed under. Made once for the whole
// transcript, then brought up to date by the start times each change
// touched, so that a key typed costs the sidebar its own session and day,
// not every segment of every session.
//
// It reads the store's segments through binary searches by start time,
// which their ascending order allows; segments out of that order (a clock
// set back while dictating) are read as a walk in stored order, as they
// always were, until a change puts them back in order.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/system/Date.hpp"
#include "verbolin/storage/Segment.hpp"
#include "verbolin/storage/SegmentSequence.hpp"
#include "verbolin/storage/SessionItem.hpp"
#include "verbolin/storage/SessionMarker.hpp"
#include "verbolin/storage/UserCalendar.hpp"

namespace verbolin {

// Start times a change removed or put segments at, both ends included.
struct StartSpan {
    platform::Date first;
    platform::Date last;
};

// The first ten words of a session's first segment (a few hundred bytes at
// most, with an ellipsis where more follows).
std::string sessionPreview(const std::string& firstText);

class SessionSummaries {
  public:
    struct Entry {
        SessionItem item;
        std::optional<platform::Date> firstStart = {};  // none: the item holds no segment
        platform::Date lastEnd{};
        std::string preview = {};
        std::string range = {};  // as rangeText() writes it
        // The calendar day of its first words, or of its own start.
        platform::Date day{};
        // Changes whenever anything above changes, so that a reader can tell
        // which entries it shows stale.
        std::uint64_t revision = 0;

        // "10:00 – 10:42", "10:00 – now", "Now", or the start alone.
        template <class Times>
        std::string rangeText(Times& times) const {
            if (!firstStart) return item.end ? times.shortTime(item.start) : "Now";
            std::string out = times.shortTime(*firstStart);
            if (!item.end) return out + " \u2013 now";
            return out + " \u2013 " + times.shortTime(lastEnd);
        }
    };

    // What was done, for the tests and the benchmark to weigh.
    struct Work {
        size_t segmentsRead = 0;
        size_t entriesComputed = 0;
        size_t rebuilds = 0;
    };

    // "day:" and a day's start in seconds since 1970 ("day:1714521600.0").
    static std::string dayItemId(platform::Date dayStart);

    // Notes what changed since the last bringUpToDate.
    void oweSpans(const std::vector<StartSpan>& spans);
    void oweMarkers() { owedMarkers_ = true; }
    void oweAll() { owedAll_ = true; }

    // Catches up with what is owed, reading as little as it can.
    void bringUpToDate(const SegmentSequence& segments, const std::vector<SessionMarker>& markers,
                       const UserCalendar& calendar);

    // Newest first, sessions before days of equal start: the order of
    // TranscriptStore::sessionItems.
    const std::vector<Entry>& entries() const { return entries_; }
    // The entry of `item` (same id and times), or null.
    const Entry* find(const SessionItem& item) const;
    // The place of the entry of that id in entries(), or none.
    std::optional<size_t> indexOf(const std::string& id) const;
    // The ids of the entries that changed, came or went after `revision`
    // (some may have changed back since), oldest first; none when the
    // record no longer reaches that far back.
    std::optional<std::vector<std::string>> changedSince(std::uint64_t revision) const;
    // The revision the latest change was given (0: none yet).
    std::uint64_t latestRevision() const { return nextRevision_ - 1; }
    // Whether the segments were in ascending start order when last read.
    bool segmentsSorted() const { return sorted_; }
    const Work& work() const { return work_; }

    // The calendar's days and times, each found with one calendar and one
    // formatter for a whole catching up.
    class Reading {
      public:
        explicit Reading(const UserCalendar& calendar) : days_(calendar), times_(calendar) {}
        platform::Date startOfDay(platform::Date date) { return days_.startOfDay(date); }
        platform::Date nextDay(platform::Date dayStart) { return days_.nextDay(dayStart); }
        std::string shortTime(platform::Date date) { return times_.shortTime(date); }

      private:
        UserCalendar::DayFinder days_;
        UserCalendar::TimeFormatter times_;
    };

  private:
    void rebuild(const SegmentSequence& segments, const std::vector<SessionMarker>& markers,
                 const UserCalendar& calendar);
    // Markers changed, segments not (beyond owed spans): entries of
    // unchanged items are kept.
    void applyMarkers(const SegmentSequence& segments, const std::vector<SessionMarker>& markers,
                      const UserCalendar& calendar);
    // False when the segments are found out of order around a span.
    bool applySpan(const SegmentSequence& segments, const std::vector<SessionMarker>& markers,
                   Reading& finder, const StartSpan& span);
    // The day items whose days meet [from, to) made anew from the segments
    // there.
    void redoDays(const SegmentSequence& segments, Reading& finder, platform::Date from,
                  platform::Date to);
    // The entry of that id as it stands, to be brought up to date; a new
    // one (revision 0) where there is none.
    Entry carried(const std::string& id) const;
    // The first and last segment of an item, by binary search (segments in
    // order); both null when it holds none.
    using Ends = std::pair<const Segment*, const Segment*>;
    Ends locate(const SessionItem& item, const SegmentSequence& segments);
    // The same for every entry, in stored order (segments out of order).
    std::vector<Ends> locateInOnePass(const std::vector<Entry>& entries,
                                      const SegmentSequence& segments,
                                      const std::vector<SessionMarker>& markers);
    // Makes `entry` the summary of `item`, whose first and last segment are
    // `ends`; a new revision when it differs from what `entry` held.
    void compute(Entry& entry, SessionItem item, Ends ends, Reading& finder);
    void reindex();
    // Puts `next` in place of the entries, recording those that went.
    void replaceAll(std::vector<Entry> next);
    // Gives `entry` a new revision, and records it.
    void revise(Entry& entry);
    void logChange(const std::string& id);

    std::vector<Entry> entries_;
    std::unordered_map<std::string, size_t> index_;
    std::optional<platform::Date> cutoff_;  // the first marker's start
    bool sorted_ = false;
    bool owedAll_ = true;
    bool owedMarkers_ = false;
    std::vector<StartSpan> owedSpans_;
    // The sessions read while catching up with the spans owed.
    std::unordered_set<std::string> computedNow_;
    std::uint64_t nextRevision_ = 1;
    // Each revision given since logStart_, with the id of its entry.
    std::vector<std::pair<std::uint64_t, std::string>> log_;
    std::uint64_t logStart_ = 1;
    Work work_;
};

}  // namespace verbolin
