#include "RunStatus.h"

#include <QLocale>

#include <cmath>

namespace {

QString backupLine(const RunSummary& run, const TimestampSeparators& separators)
{
    QString line = u"Last backup " + FormatTimestamp(naiveLocal(run.start), separators) + u", "
                   + formatCount(run.files) + (run.files == 1 ? u" file, " : u" files, ") + formatSize(run.bytes);
    if (run.verified == true)
        line += u", verified";
    return line;
}

} // namespace

QString formatSize(quint64 bytes)
{
    if (bytes < 1000)
        return QString::number(bytes) + (bytes == 1 ? u" byte" : u" bytes");
    static const char16_t* const units[] = {u"kB", u"MB", u"GB", u"TB", u"PB", u"EB"};
    // One decimal below 10: "1.2 GB", "412 MB".
    const auto rounded = [](double value) { return value < 9.95 ? std::round(value * 10) / 10 : std::round(value); };
    double value = double(bytes) / 1000;
    int unit = 0;
    while (unit < 5 && rounded(value) >= 1000) {
        value /= 1000;
        ++unit;
    }
    const QString number = value < 9.95 ? QString::number(rounded(value), 'f', 1) : QString::number(rounded(value), 'f', 0);
    return number + u' ' + QString::fromUtf16(units[unit]);
}

QString formatCount(quint64 count)
{
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(count);
}

QString progressText(JobRunner::Kind kind, const QString& profile, const JobProgress& progress, int percent)
{
    const bool verifying = kind == JobRunner::Kind::Backup && progress.checkedBytes > 0;
    QString text = (kind == JobRunner::Kind::Restore ? u"restoring " : verifying ? u"verifying " : u"backing up ")
                   + profile;
    if (progress.bytesTotal == 0 && progress.filesTotal == 0)
        return text;
    text += u": " + QString::number(percent) + u" %";
    if (verifying)
        text += u" (" + formatSize(progress.checkedBytes) + u" of " + formatSize(progress.bytesToCheck) + u')';
    else if (progress.bytesTotal > 0)
        text += u" (" + formatSize(progress.bytesDone) + u" of " + formatSize(progress.bytesTotal) + u')';
    return text;
}

QStringList statusLines(const RunHistory& history, const TimestampSeparators& separators)
{
    if (!history.latest)
        return {QStringLiteral("No backup yet")};
    const RunSummary& latest = *history.latest;
    if (latest.result == 0)
        return {backupLine(latest, separators)};
    QString result;
    if (latest.result == CancelledCode)
        result = QStringLiteral("Last run cancelled");
    else if (latest.failure.isEmpty())
        result = QStringLiteral("Last run failed");
    else
        result = u"Last run failed: " + latest.failure;
    return {result, history.latestSuccessful ? backupLine(*history.latestSuccessful, separators)
                                             : QStringLiteral("No backup yet")};
}

QString successNotice(const QString& profile, const RunHistory& history)
{
    QString text = u"Backup of " + profile + u" finished";
    if (history.latest && history.latest->result == 0) {
        const RunSummary& run = *history.latest;
        text += u": " + formatCount(run.files) + (run.files == 1 ? u" file, " : u" files, ") + formatSize(run.bytes);
        if (run.verified == true)
            text += u", verified";
    }
    return text + u'.';
}
