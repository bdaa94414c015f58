#include "verbolin/ui/LocaleTime.hpp"

#include <QDateTime>

namespace verbolin::LocaleTime {

namespace {
QDateTime local(platform::Date date) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms).toLocalTime();
}
}  // namespace

QString shortTime(platform::Date date, const QLocale& locale) {
    return locale.toString(local(date).time(), QLocale::ShortFormat);
}

QString abbreviatedDate(platform::Date date, const QLocale& locale) {
    return locale.toString(local(date).date(), QStringLiteral("MMM d, yyyy"));
}

}  // namespace verbolin::LocaleTime
