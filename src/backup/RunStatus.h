#pragma once

// The texts that tell the user where a profile's backups stand: while one runs, and after.

#include "EngineInterface.h"
#include "JobRunner.h"
#include "schedule/Timestamp.h"

#include <QString>
#include <QStringList>

// "512 bytes", "8.4 kB", "412 MB", "1.2 GB" (decimal units).
QString formatSize(quint64 bytes);
// "1,203".
QString formatCount(quint64 count);

// "backing up Documents: 42 % (1.2 GB of 2.9 GB)", "verifying Documents: ..." once the
// backup is being checked, "restoring Documents: ..."; without the figures while the job
// does not know its size yet.
QString progressText(JobRunner::Kind kind, const QString& profile, const JobProgress& progress, int percent);

// The result of the last run and the last successful backup, one line each (one line when
// the last run succeeded): "Last backup 2026/12/09 08:00, 1,203 files, 412 MB, verified",
// "Last run failed: <the engine's text>", "No backup yet".
QStringList statusLines(const RunHistory& history, const TimestampSeparators& separators);

// The one line that tells of a manual run's success.
QString successNotice(const QString& profile, const RunHistory& history);
