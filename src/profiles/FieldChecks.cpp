#include "FieldChecks.h"

#include <algorithm>

std::optional<int> wholeNumberIn(const QString& text, int minimum, int maximum)
{
    QStringView digits(text);
    const bool negative = digits.startsWith(u'-');
    if (negative)
        digits = digits.mid(1);
    // Nine digits always fit an int; the schedule reads no longer hour or minute either.
    if (digits.isEmpty() || digits.size() > 9)
        return std::nullopt;
    int value = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    // "-0" is no way to write 0: the schedule would not read it as an hour or minute.
    if (negative && value == 0)
        return std::nullopt;
    if (negative)
        value = -value;
    if (value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

bool hasControlCharacters(const QString& text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control || c == QChar::LineSeparator
            || c == QChar::ParagraphSeparator;
    });
}

bool nameFitsFileName(const QString& name)
{
    // The engine replaces characters one byte for one, so the length in UTF-8 is the
    // length of the name in the file name.
    return name.toUtf8().size() <= FieldLimits::NameBytesMaximum;
}
