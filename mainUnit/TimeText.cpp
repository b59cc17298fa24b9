#include "mainUnit/TimeText.h"

namespace MainUnit {

QString LongTimeFormatWithoutZone(const QLocale& locale) {
  const QString format = locale.timeFormat(QLocale::LongFormat);
  QString kept;
  bool quoted = false;
  for (qsizetype i = 0; i < format.size(); ++i) {
    const QChar c = format[i];
    if (c == u'\'') {
      quoted = !quoted;  // '' inside or outside quotes toggles twice: a literal quote
    } else if (!quoted && c == u't') {
      // The zone field, however long, and the blank that separates it.
      while (i + 1 < format.size() && format[i + 1] == u't') ++i;
      while (!kept.isEmpty() && kept.back().isSpace()) kept.chop(1);
      continue;
    }
    kept += c;
  }
  return kept.trimmed();
}

QString TimeOfDayText(const QTime& time, const QLocale& locale) {
  return locale.toString(time, LongTimeFormatWithoutZone(locale));
}

}  // namespace MainUnit
