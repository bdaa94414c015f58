#include "verbolin/storage/UserCalendar.hpp"

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <chrono>
#include <cmath>
#include <string_view>

#include "verbolin/storage/StorageLog.hpp"

namespace verbolin {
namespace {

UDate toUDate(platform::Date d) {
    return std::chrono::duration<double, std::milli>(d.time_since_epoch()).count();
}

// The days at the clock's ends (a date read from a file may lie there) start
// or end outside its range; such a time is held at the clock's end instead
// of overflowing it.
platform::Date fromUDate(UDate ms) {
    constexpr double kEnd = 9223372036854775808.0;  // 2^63 ns, just past the clock's end
    const double ns = ms * 1e6;
    if (!(ns < kEnd)) return platform::Date::max();
    if (ns < -kEnd) return platform::Date::min();
    return platform::Date(platform::Date::duration(static_cast<platform::Date::rep>(ns)));
}

icu::TimeZone* makeZone(const std::string& id) {
    if (id.empty()) return icu::TimeZone::detectHostTimeZone();
    return icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(id));
}

// Midnight of the calendar's current day. Where midnight does not exist (a
// clock change at 00:00) ICU moves forward to the first moment that does.
platform::Date dayStartOf(icu::Calendar& cal, platform::Date date) {
    UErrorCode status = U_ZERO_ERROR;
    cal.setTime(toUDate(date), status);
    cal.set(UCAL_HOUR_OF_DAY, 0);
    cal.set(UCAL_MINUTE, 0);
    cal.set(UCAL_SECOND, 0);
    cal.set(UCAL_MILLISECOND, 0);
    UDate ms = cal.getTime(status);
    if (U_FAILURE(status)) return date;
    return fromUDate(ms);
}

platform::Date addDays(icu::Calendar& cal, platform::Date date, int days) {
    UErrorCode status = U_ZERO_ERROR;
    cal.setTime(toUDate(date), status);
    cal.add(UCAL_DATE, days, status);
    UDate ms = cal.getTime(status);
    if (U_FAILURE(status)) return date + std::chrono::hours(24) * days;
    return fromUDate(ms);
}

// The start of the day after the one that starts at `dayStart`. When that
// day began later than midnight (a clock change at 00:00), one calendar
// day on is as late into the next day, whose first hour would then be
// counted in both.
platform::Date nextDayStart(icu::Calendar& cal, platform::Date dayStart) {
    return dayStartOf(cal, addDays(cal, dayStart, 1));
}

std::string formatWith(icu::DateFormat* f, platform::Date date) {
    if (!f) return {};
    icu::UnicodeString text;
    f->format(toUDate(date), text);
    std::string out;
    text.toUTF8String(out);
    return out;
}

// Whether a date pattern's fields are all of the time of day to the minute:
// hours, minutes, the half or period of the day.
bool showsTimeOfDayOnly(const icu::UnicodeString& pattern) {
    bool quoted = false;
    for (int32_t i = 0; i < pattern.length(); ++i) {
        const char16_t c = pattern.charAt(i);
        if (c == u'\'') {
            quoted = !quoted;  // '' inside or outside quotes reads as two toggles
            continue;
        }
        const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
        if (quoted || !letter) continue;
        if (std::u16string_view(u"hHkKmabB").find(c) == std::u16string_view::npos) return false;
    }
    return true;
}

std::string format(icu::DateFormat* formatter, const std::string& zoneId, platform::Date date) {
    std::unique_ptr<icu::DateFormat> f(formatter);
    if (f) f->adoptTimeZone(makeZone(zoneId));
    return formatWith(f.get(), date);
}

}  // namespace

UserCalendar::UserCalendar(std::string localeId, std::string timeZoneId, Clock clock)
    : localeId_(std::move(localeId)),
      timeZoneId_(std::move(timeZoneId)),
      clock_(std::move(clock)) {}

platform::Date UserCalendar::now() const {
    return clock_ ? clock_() : std::chrono::system_clock::now();
}

icu::Locale UserCalendar::locale() const {
    if (localeId_.empty()) return icu::Locale::getDefault();
    return icu::Locale::createFromName(localeId_.c_str());
}

std::unique_ptr<icu::Calendar> UserCalendar::makeCalendar() const {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> cal(
        icu::Calendar::createInstance(makeZone(timeZoneId_), locale(), status));
    if (U_FAILURE(status) || !cal) {
        // Without a calendar for the locale, fall back to the Gregorian one in UTC.
        logStorageError(std::string("no calendar for locale ") + localeId_ + ": " +
                        u_errorName(status));
        status = U_ZERO_ERROR;
        cal.reset(icu::Calendar::createInstance(icu::TimeZone::getGMT()->clone(),
                                                icu::Locale::getRoot(), status));
    }
    // Where the clocks go back across midnight (the Azores, Cuba), midnight
    // happens twice; the day begins at the first one, or its first hour
    // would be counted in the day before.
    if (cal) cal->setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
    return cal;
}

platform::Date UserCalendar::startOfDay(platform::Date date) const {
    auto cal = makeCalendar();
    return dayStartOf(*cal, date);
}

platform::Date UserCalendar::addingDays(platform::Date date, int days) const {
    auto cal = makeCalendar();
    return addDays(*cal, date, days);
}

bool UserCalendar::isSameDay(platform::Date a, platform::Date b) const {
    auto cal = makeCalendar();
    return dayStartOf(*cal, a) == dayStartOf(*cal, b);
}

std::string UserCalendar::shortTime(platform::Date date) const {
    return format(icu::DateFormat::createTimeInstance(icu::DateFormat::kShort, locale()),
                  timeZoneId_, date);
}

std::string UserCalendar::abbreviatedDate(platform::Date date) const {
    return format(icu::DateFormat::createDateInstance(icu::DateFormat::kMedium, locale()),
                  timeZoneId_, date);
}

UserCalendar::DayFinder::DayFinder(const UserCalendar& calendar)
    : calendar_(calendar.makeCalendar()) {}

UserCalendar::DayFinder::~DayFinder() = default;

platform::Date UserCalendar::DayFinder::startOfDay(platform::Date date) {
    if (cached_ && date >= dayStart_ && date < nextStart_) return dayStart_;
    dayStart_ = dayStartOf(*calendar_, date);
    nextStart_ = nextDayStart(*calendar_, dayStart_);
    // A calendar that cannot step (a broken zone) must not make the cache
    // claim every later date.
    cached_ = nextStart_ > dayStart_ && date >= dayStart_ && date < nextStart_;
    return dayStart_;
}

platform::Date UserCalendar::DayFinder::nextDay(platform::Date dayStart) {
    if (cached_ && dayStart == dayStart_) return nextStart_;
    return nextDayStart(*calendar_, dayStart);
}

UserCalendar::TimeFormatter::TimeFormatter(const UserCalendar& calendar)
    : format_(icu::DateFormat::createTimeInstance(icu::DateFormat::kShort, calendar.locale())) {
    if (!format_) return;
    format_->adoptTimeZone(makeZone(calendar.timeZoneId_));
    if (const auto* simple = dynamic_cast<const icu::SimpleDateFormat*>(format_.get())) {
        icu::UnicodeString pattern;
        byMinute_ = showsTimeOfDayOnly(simple->toPattern(pattern));
    }
}

UserCalendar::TimeFormatter::~TimeFormatter() = default;

std::string UserCalendar::TimeFormatter::shortTime(platform::Date date) {
    if (!byMinute_) return formatWith(format_.get(), date);
    // The wall clock as ICU's calendar finds it: the instant moved by the
    // zone's offsets then.
    const UDate ms = toUDate(date);
    UErrorCode status = U_ZERO_ERROR;
    int32_t raw = 0, dst = 0;
    format_->getTimeZone().getOffset(ms, false, raw, dst, status);
    if (U_FAILURE(status)) return formatWith(format_.get(), date);
    constexpr double kMinute = 60000.0, kMinutesPerDay = 1440.0;
    const double minute = std::floor((ms + raw + dst) / kMinute);
    const int ofDay = int(minute - kMinutesPerDay * std::floor(minute / kMinutesPerDay));
    auto [it, added] = written_.try_emplace(ofDay);
    if (added) it->second = formatWith(format_.get(), date);
    return it->second;
}

UserCalendar::DateFormatter::DateFormatter(const UserCalendar& calendar)
    : format_(icu::DateFormat::createDateInstance(icu::DateFormat::kMedium, calendar.locale())) {
    if (format_) format_->adoptTimeZone(makeZone(calendar.timeZoneId_));
}

UserCalendar::DateFormatter::~DateFormatter() = default;

std::string UserCalendar::DateFormatter::abbreviatedDate(platform::Date date) {
    return formatWith(format_.get(), date);
}

}  // namespace verbolin
