#pragma once
// Times and dates as the user's locale writes them. The time column, the
// scrubber, the sidebar and the tray all go through the transcript's
// calendar, so that one paragraph's time reads the same everywhere.

#include <QString>

#include "platform/system/Date.hpp"
#include "verbolin/storage/UserCalendar.hpp"

namespace verbolin::LocaleTime {

// "3:41 PM" in the United States, "15:41" in most of Europe.
QString shortTime(platform::Date date, const UserCalendar& calendar = UserCalendar());
// "May 1, 2024" in the United States: the locale's abbreviated date.
QString abbreviatedDate(platform::Date date, const UserCalendar& calendar = UserCalendar());

}  // namespace verbolin::LocaleTime
