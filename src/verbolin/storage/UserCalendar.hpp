#pragma once
// The user's calendar, locale, time zone and clock, as the transcript's day
// grouping and its time and date texts need them. A default-made calendar
// follows the user's current settings at each call; tests fix all three.

#include <unicode/uversion.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/system/Date.hpp"

U_NAMESPACE_BEGIN
class Calendar;
class DateFormat;
class Locale;
U_NAMESPACE_END

namespace verbolin {

class UserCalendar {
  public:
    using Clock = std::function<platform::Date()>;

    UserCalendar() = default;
    // An ICU locale id ("en_US", "de_DE@calendar=gregorian") and an Olson time
    // zone id ("Europe/Berlin"); an empty text means the user's current one,
    // a missing clock the system clock.
    UserCalendar(std::string localeId, std::string timeZoneId, Clock clock = {});

    platform::Date now() const;
    icu::Locale locale() const;

    // The first moment of the calendar day that holds `date`.
    platform::Date startOfDay(platform::Date date) const;
    // The same wall-clock time `days` calendar days later (or earlier), so a
    // day across a daylight-saving change lasts 23 or 25 hours.
    platform::Date addingDays(platform::Date date, int days) const;
    bool isSameDay(platform::Date a, platform::Date b) const;

    // The locale's short time without a date ("14:05", "2:05 PM").
    std::string shortTime(platform::Date date) const;
    // The locale's abbreviated date without a time ("May 1, 2024").
    std::string abbreviatedDate(platform::Date date) const;

    // Finds starts of day for many dates with one calendar; remembers the
    // last day found, so a walk over dates in time order is cheap.
    class DayFinder {
      public:
        explicit DayFinder(const UserCalendar& calendar);
        ~DayFinder();
        DayFinder(const DayFinder&) = delete;
        DayFinder& operator=(const DayFinder&) = delete;

        platform::Date startOfDay(platform::Date date);
        // The start of the next calendar day: one calendar day on, or less
        // where this day began after midnight (a clock change at 00:00).
        platform::Date nextDay(platform::Date dayStart);

      private:
        std::unique_ptr<icu::Calendar> calendar_;
        bool cached_ = false;
        platform::Date dayStart_{}, nextStart_{};
    };

    // Writes many short times with one formatter, made once: as
    // shortTime(), which makes one for each. A time written once is
    // written again for any date at the same minute of the day, where the
    // locale's pattern shows nothing but the hour, the minute and the half
    // of the day.
    class TimeFormatter {
      public:
        explicit TimeFormatter(const UserCalendar& calendar);
        ~TimeFormatter();
        TimeFormatter(const TimeFormatter&) = delete;
        TimeFormatter& operator=(const TimeFormatter&) = delete;

        std::string shortTime(platform::Date date);

      private:
        std::unique_ptr<icu::DateFormat> format_;
        bool byMinute_ = false;
        std::unordered_map<int, std::string> written_;  // by the local minute of the day
    };

    // abbreviatedDate() for many dates with one formatter, made once.
    class DateFormatter {
      public:
        explicit DateFormatter(const UserCalendar& calendar);
        ~DateFormatter();
        DateFormatter(const DateFormatter&) = delete;
        DateFormatter& operator=(const DateFormatter&) = delete;

        std::string abbreviatedDate(platform::Date date);

      private:
        std::unique_ptr<icu::DateFormat> format_;
    };

  private:
    std::unique_ptr<icu::Calendar> makeCalendar() const;

    std::string localeId_;
    std::string timeZoneId_;
    Clock clock_;
};

}  // namespace verbolin
