#pragma once

#include <QString>

// The read-only text that shows a profile's two filters: "Include: " and the include text,
// then "   Exclude: " and the exclude text (without the blanks when there is no include
// part); each part only when its text is not empty.
inline QString filterSummary(const QString& include, const QString& exclude)
{
    QString summary;
    if (!include.isEmpty())
        summary = QStringLiteral("Include: ") + include;
    if (!exclude.isEmpty()) {
        if (!summary.isEmpty())
            summary += QStringLiteral("   ");
        summary += QStringLiteral("Exclude: ") + exclude;
    }
    return summary;
}
