#pragma once

#include "Timestamp.h"

#include <QString>
#include <QVector>

#include <optional>

enum class StepKind { RunStep, PlaceStep, RescheduleStep };

struct ScheduleStep
{
    StepKind kind;
    LocalDateTime next; // the new next-run time
};

struct StartingTime
{
    int hour = 0;
    int minute = 0;
};

// "h:m" with hour 0..23 and minute 0..59 as decimal integers; nothing when the text
// cannot be used (such a profile is never due).
std::optional<StartingTime> ParseStartingTime(const QString& text);

// "Sunday" 0 .. "Friday" 5, exact; every other text 6.
int WeekdayNumber(const QString& weekDay);

struct ScheduleInput
{
    qint32 frequencyOption = 0;
    qint32 frequencyInterval = 0;
    QString startingTime;
    QString weekDay;
    QString nextRun;
};

// The steps for one profile at one tick, in order (zero, one or two). `now` is the tick's
// clock reading as a naive local date-time; the separators make the texts compared.
QVector<ScheduleStep> EvaluateSchedule(const ScheduleInput& profile, const LocalDateTime& now,
                                       const TimestampSeparators& separators);
