#pragma once
// Times and dates as the user's locale writes them.

#include <QLocale>
#include <QString>

#include "platform/system/Date.hpp"

namespace verbolin::LocaleTime {

// "3:41 PM" in the United States, "15:41" in most of Europe.
QString shortTime(platform::Date date, const QLocale& locale = QLocale::system());
// "May 1, 2024" style: the locale's short month name, day and year.
QString abbreviatedDate(platform::Date date, const QLocale& locale = QLocale::system());

}  // namespace verbolin::LocaleTime
