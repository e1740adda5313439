#pragma once

#include <QChar>
#include <QDateTime>
#include <QLocale>
#include <QString>

#include <optional>

// A local wall-clock date-time with no zone: a QDateTime in Qt::UTC used as a naive
// carrier, so adding days keeps the clock time and minutes are plain arithmetic.
using LocalDateTime = QDateTime;

// Turns a clock reading (the local time now) into a naive LocalDateTime.
LocalDateTime naiveLocal(const QDateTime& clockReading);

struct TimestampSeparators
{
    QChar date = QLatin1Char('/');
    QChar time = QLatin1Char(':');
};

// The first character of the locale's short date (time) format that is not a letter,
// a digit, a blank, a quotation mark or an invisible format character (such as a
// right-to-left mark); "/" (":") when there is none.
TimestampSeparators separatorsFromLocale(const QLocale& locale);

// "yyyy/mm/dd hh:nn" with the locale's separators: 16 characters, seconds dropped.
QString FormatTimestamp(const LocalDateTime& value, const TimestampSeparators& separators);

// The time a timestamp text shows, whatever its separators; none for any other text.
std::optional<LocalDateTime> ParseTimestamp(const QString& text);

// Negative, zero or positive. Two timestamp texts compare by the time they show, whatever
// their separators; other texts byte by byte as UTF-8.
int CompareTimestamps(const QString& a, const QString& b);
