#include "ScheduleRules.h"

#include <algorithm>

namespace {

// A decimal integer with optional surrounding blanks; nothing else.
std::optional<int> parseDecimal(QStringView text)
{
    text = text.trimmed();
    if (text.isEmpty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

// The last moment a timestamp text can hold: a later year would have five digits, and
// "13434/..." compares before "2026/...", so the profile would be due at every tick.
const LocalDateTime LatestNextRun(QDate(9999, 12, 31), QTime(23, 59), Qt::UTC);

// An interval below 1 (a hand-edited file: the editor takes 1 to 99999) counts as 1; taken
// as it stands, the profile would run at every tick.
qint64 interval(const ScheduleInput& profile)
{
    return std::max(1, profile.frequencyInterval);
}

// A NextRun further ahead than the rules ever place one: the clock was set back since it was
// placed. Left to stand, the profile would wait, unseen, for the clock to catch up.
bool beyondReach(const ScheduleInput& profile, const LocalDateTime& now)
{
    const std::optional<LocalDateTime> next = ParseTimestamp(profile.nextRun);
    if (!next)
        return false;
    LocalDateTime reach;
    switch (profile.frequencyOption) {
    case 1: reach = now.addSecs(60 * interval(profile)); break;
    case 2: reach = now.addSecs(3600 * interval(profile)); break;
    case 3: reach = now.addDays(1); break;
    case 4: reach = now.addDays(7); break;
    case 5: reach = now.addDays(interval(profile)); break;
    default: return false;
    }
    return reach.isValid() && reach < LatestNextRun && *next > reach.addSecs(60);
}

ScheduleStep step(StepKind kind, const LocalDateTime& next)
{
    return ScheduleStep{kind, std::min(next, LatestNextRun)};
}

// The clock reading with its hour and minute replaced; date, seconds and milliseconds kept.
LocalDateTime startToday(const LocalDateTime& now, const StartingTime& start)
{
    const QTime time(start.hour, start.minute, now.time().second(), now.time().msec());
    return LocalDateTime(now.date(), time, Qt::UTC);
}

void evaluateInterval(const ScheduleInput& profile, const LocalDateTime& now,
                      const QString& tickText, QVector<ScheduleStep>& steps)
{
    if (!profile.nextRun.isEmpty() && CompareTimestamps(profile.nextRun, tickText) > 0)
        return;
    const qint64 unit = profile.frequencyOption == 1 ? 60 : 3600;
    steps.append(step(StepKind::RunStep, now.addSecs(unit * interval(profile))));
}

void evaluateDays(const ScheduleInput& profile, const LocalDateTime& now, const LocalDateTime& start,
                  const QString& tickText, const TimestampSeparators& separators,
                  QVector<ScheduleStep>& steps)
{
    const qint64 dayStep = profile.frequencyOption == 3 ? 1 : interval(profile);

    QString nextRun = profile.nextRun;
    if (nextRun.isEmpty()) {
        steps.append(start >= now ? step(StepKind::PlaceStep, start)
                                  : step(StepKind::RunStep, start.addDays(dayStep)));
        nextRun = FormatTimestamp(steps.back().next, separators);
    }

    const int order = CompareTimestamps(nextRun, tickText);
    if (order == 0)
        steps.append(step(StepKind::RunStep, now.addDays(dayStep)));
    else if (order < 0)
        steps.append(start >= now ? step(StepKind::RescheduleStep, start)
                                  : step(StepKind::RunStep, start.addDays(dayStep)));
}

ScheduleStep weeklyPlacement(const ScheduleInput& profile, const LocalDateTime& now,
                             const LocalDateTime& start)
{
    const int today = now.date().dayOfWeek() % 7; // Qt counts Monday 1 .. Sunday 7
    const int target = WeekdayNumber(profile.weekDay);
    if (today > target)
        return step(StepKind::RunStep, start.addDays(target - today + 7));
    if (today == target)
        return start >= now ? step(StepKind::RescheduleStep, start)
                            : step(StepKind::RunStep, start.addDays(7));
    return step(StepKind::RescheduleStep, start.addDays(target - today));
}

void evaluateWeekly(const ScheduleInput& profile, const LocalDateTime& now,
                    const LocalDateTime& start, const QString& tickText,
                    QVector<ScheduleStep>& steps)
{
    if (profile.nextRun.isEmpty()) {
        steps.append(weeklyPlacement(profile, now, start));
        return;
    }
    const int order = CompareTimestamps(profile.nextRun, tickText);
    if (order == 0)
        steps.append(step(StepKind::RunStep, start.addDays(7)));
    else if (order < 0)
        steps.append(weeklyPlacement(profile, now, start));
}

} // namespace

std::optional<StartingTime> ParseStartingTime(const QString& text)
{
    const qsizetype colon = text.indexOf(u':');
    if (colon < 0)
        return std::nullopt;
    const std::optional<int> hour = parseDecimal(QStringView(text).left(colon));
    const std::optional<int> minute = parseDecimal(QStringView(text).mid(colon + 1));
    if (!hour || !minute || *hour > 23 || *minute > 59)
        return std::nullopt;
    return StartingTime{*hour, *minute};
}

int WeekdayNumber(const QString& weekDay)
{
    static const char16_t* const names[] = {u"Sunday",   u"Monday",   u"Tuesday",
                                            u"Wednesday", u"Thursday", u"Friday"};
    for (int day = 0; day < 6; ++day) {
        if (weekDay == QStringView(names[day]))
            return day;
    }
    return 6;
}

QVector<ScheduleStep> EvaluateSchedule(const ScheduleInput& stored, const LocalDateTime& reading,
                                       const TimestampSeparators& separators)
{
    // Only the wall-clock fields count, whatever zone the reading was made in.
    const LocalDateTime now(reading.date(), reading.time(), Qt::UTC);
    QVector<ScheduleStep> steps;
    const QString tickText = FormatTimestamp(now, separators);
    // A NextRun beyond reach is taken for a missed run, the minute before this tick.
    ScheduleInput profile = stored;
    if (beyondReach(profile, now))
        profile.nextRun = FormatTimestamp(now.addSecs(-60), separators);

    switch (profile.frequencyOption) {
    case 1:
    case 2:
        evaluateInterval(profile, now, tickText, steps);
        break;
    case 3:
    case 4:
    case 5: {
        // A starting time that cannot be read leaves the profile unscheduled.
        const std::optional<StartingTime> time = ParseStartingTime(profile.startingTime);
        if (!time)
            break;
        const LocalDateTime start = startToday(now, *time);
        if (profile.frequencyOption == 4)
            evaluateWeekly(profile, now, start, tickText, steps);
        else
            evaluateDays(profile, now, start, tickText, separators, steps);
        break;
    }
    default:
        break;
    }
    return steps;
}
