// The time of day as the status line shows it.
#pragma once

#include <QLocale>
#include <QString>
#include <QTime>

namespace MainUnit {

// The locale's long time format without its time zone: hours, minutes and
// seconds as the user's regional settings write them ("13:05:09",
// "1:05:09 PM").
QString LongTimeFormatWithoutZone(const QLocale& locale);

// `time` in that format.
QString TimeOfDayText(const QTime& time, const QLocale& locale = QLocale::system());

}  // namespace MainUnit
