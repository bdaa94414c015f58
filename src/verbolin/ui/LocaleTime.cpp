#include "verbolin/ui/LocaleTime.hpp"

namespace verbolin::LocaleTime {

QString shortTime(platform::Date date, const UserCalendar& calendar) {
    return QString::fromStdString(calendar.shortTime(date));
}

QString abbreviatedDate(platform::Date date, const UserCalendar& calendar) {
    return QString::fromStdString(calendar.abbreviatedDate(date));
}

}  // namespace verbolin::LocaleTime
