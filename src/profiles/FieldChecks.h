#pragma once

#include <QString>

#include <optional>

// What a profile's fields may hold so that what is stored reads back, and later means,
// exactly what the user typed. The ranges are listed in the help page's field table.
namespace FieldLimits {

// "Every few minutes / hours / days": never 0, which would run the profile at every tick.
constexpr int IntervalMinimum = 1;
constexpr int IntervalMaximum = 99999;
constexpr int HourMaximum = 23;
constexpr int MinuteMaximum = 59;
// "Delete backups older than", in hours, days or weeks: 1,000,000 weeks is still well
// inside the 32 bits of the engine's retention in hours.
constexpr int RetentionMaximum = 1000000;
// Backup files are named "<name>_YYYYMMDD-HHMMSS_incremental.zip" and must fit in the
// 255 bytes of a file name; the engine cuts set names at 200 bytes, and two names alike
// in their first 200 bytes would share their files, so no name may be longer.
constexpr qsizetype NameBytesMaximum = 200;

} // namespace FieldLimits

// The value of a field's text when it is a whole number ("-" and at most nine digits, as
// the spin fields take them) between minimum and maximum; nothing otherwise.
std::optional<int> wholeNumberIn(const QString& text, int minimum, int maximum);

// Line breaks, tabs and the other control characters, which the store cannot keep as
// typed (a line break is written as a blank) and which no folder or filter needs.
bool hasControlCharacters(const QString& text);

// Whether a profile name leaves its backup files a valid file name.
bool nameFitsFileName(const QString& name);
