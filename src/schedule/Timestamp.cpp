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

// The twelve digits of a timestamp text, whatever its separators; empty when the text is
// not one.
QString timestampDigits(const QString& text)
{
    static constexpr int digitsAt[] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15};
    if (text.size() != 16 || text[10] != u' ')
        return {};
    QString digits;
    for (const int at : digitsAt) {
        if (text[at] < u'0' || text[at] > u'9')
            return {};
        digits += text[at];
    }
    return digits;
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

std::optional<LocalDateTime> ParseTimestamp(const QString& text)
{
    const QString digits = timestampDigits(text);
    if (digits.isEmpty())
        return std::nullopt;
    const auto number = [&](int from, int size) { return QStringView(digits).mid(from, size).toInt(); };
    const LocalDateTime value(QDate(number(0, 4), number(4, 2), number(6, 2)), QTime(number(8, 2), number(10, 2)),
                              Qt::UTC);
    if (!value.isValid())
        return std::nullopt;
    return value;
}

int CompareTimestamps(const QString& a, const QString& b)
{
    // Two timestamps compare by time even when they were made with other separators (the
    // user changed the language): "2026/12/08" is earlier than "2026.12.09".
    const QString leftDigits = timestampDigits(a);
    const QString rightDigits = timestampDigits(b);
    if (!leftDigits.isEmpty() && !rightDigits.isEmpty()) {
        const int order = leftDigits.compare(rightDigits);
        return (order > 0) - (order < 0);
    }
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
