#include "Timestamp.h"

#include <algorithm>
#include <cstring>

namespace {

QChar firstSeparator(const QString& format, QChar fallback)
{
    for (const QChar c : format) {
        // Format characters too: Arabic formats carry invisible right-to-left marks.
        if (!c.isLetterOrNumber() && !c.isSpace() && c != u'\'' && c != u'"'
            && c.category() != QChar::Other_Format)
            return c;
    }
    return fallback;
}

QString zeroPadded(qint64 number, int width)
{
    return QStringLiteral("%1").arg(number, width, 10, QLatin1Char('0'));
}

} // namespace

LocalDateTime naiveLocal(const QDateTime& clockReading)
{
    // The wall-clock fields of the reading in the local zone, carried without a zone.
    const QDateTime local = clockReading.toLocalTime();
    return QDateTime(local.date(), local.time(), Qt::UTC);
}

TimestampSeparators separatorsFromLocale(const QLocale& locale)
{
    TimestampSeparators separators;
    separators.date = firstSeparator(locale.dateFormat(QLocale::ShortFormat), QLatin1Char('/'));
    separators.time = firstSeparator(locale.timeFormat(QLocale::ShortFormat), QLatin1Char(':'));
    return separators;
}

QString FormatTimestamp(const LocalDateTime& value, const TimestampSeparators& separators)
{
    if (!value.isValid())
        return {};
    const QDate date = value.date();
    const QTime time = value.time();
    return zeroPadded(date.year(), 4) + separators.date + zeroPadded(date.month(), 2)
           + separators.date + zeroPadded(date.day(), 2) + QLatin1Char(' ')
           + zeroPadded(time.hour(), 2) + separators.time + zeroPadded(time.minute(), 2);
}

int CompareTimestamps(const QString& a, const QString& b)
{
    const QByteArray left = a.toUtf8();
    const QByteArray right = b.toUtf8();
    const auto common = static_cast<std::size_t>(std::min(left.size(), right.size()));
    // memcmp compares as unsigned char, so bytes above 127 sort after ASCII.
    const int order = common ? std::memcmp(left.constData(), right.constData(), common) : 0;
    if (order != 0)
        return order < 0 ? -1 : 1;
    if (left.size() == right.size())
        return 0;
    return left.size() < right.size() ? -1 : 1;
}
