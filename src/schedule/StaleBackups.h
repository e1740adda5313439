#pragma once

#include "Timestamp.h"
#include "backup/EngineInterface.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// How long a scheduled profile may go without a successful backup before the user is
// warned: twice its interval, and at least a day. Nothing for "Manual" (and options
// outside the list): such a profile runs only when the user says so.
std::optional<qint64> staleAfterSeconds(qint32 frequencyOption, qint32 frequencyInterval);

// Warns about profiles whose backups have silently stopped (a drive never plugged in again,
// a source that moved): each such profile gets a balloon at most once a day. A profile that
// has never succeeded counts from its first run; one that has never run is not warned about.
class StaleBackups
{
public:
    struct Profile
    {
        QString name;
        qint32 frequencyOption = 0;
        qint32 frequencyInterval = 0;
        RunHistory history;
    };

    // The balloon texts due at `now`, the local time of the tick.
    QStringList check(const QList<Profile>& profiles, const QDateTime& now, const TimestampSeparators& separators);

private:
    QHash<QString, QDateTime> m_lastWarning;
};
