#include "StaleBackups.h"

#include <algorithm>

namespace {

constexpr qint64 Minute = 60;
constexpr qint64 Hour = 60 * Minute;
constexpr qint64 Day = 24 * Hour;

} // namespace

std::optional<qint64> staleAfterSeconds(qint32 frequencyOption, qint32 frequencyInterval)
{
    const qint64 interval = std::max<qint32>(frequencyInterval, 1);
    qint64 every = 0;
    switch (frequencyOption) {
    case 1:
        every = interval * Minute;
        break;
    case 2:
        every = interval * Hour;
        break;
    case 3:
        every = Day;
        break;
    case 4:
        every = 7 * Day;
        break;
    case 5:
        every = interval * Day;
        break;
    default:
        return std::nullopt;
    }
    return std::max(2 * every, Day);
}

QStringList StaleBackups::check(const QList<Profile>& profiles, const QDateTime& now,
                                const TimestampSeparators& separators)
{
    QStringList balloons;
    for (const Profile& profile : profiles) {
        const std::optional<qint64> limit = staleAfterSeconds(profile.frequencyOption, profile.frequencyInterval);
        const RunHistory& history = profile.history;
        const QDateTime since = history.latestSuccessful ? history.latestSuccessful->start : history.firstStart;
        if (!limit || !since.isValid() || since.secsTo(now) <= *limit) {
            m_lastWarning.remove(profile.name);
            continue;
        }
        const auto warned = m_lastWarning.constFind(profile.name);
        if (warned != m_lastWarning.constEnd() && warned->secsTo(now) < Day)
            continue;
        m_lastWarning.insert(profile.name, now);

        const QString when = FormatTimestamp(naiveLocal(since), separators);
        QString text = u"No backup of " + profile.name;
        text += history.latestSuccessful ? QStringLiteral(" since ") : QStringLiteral(" has succeeded since its first run on ");
        text += when;
        const bool failed = history.latest && history.latest->result != 0 && !history.latest->failure.isEmpty();
        text += failed ? QString(u": " + history.latest->failure) : QStringLiteral(".");
        balloons << text;
    }
    return balloons;
}
