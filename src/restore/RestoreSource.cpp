#include "RestoreSource.h"

#include "backup/JobSetUp.h"
#include "backup/PathText.h"
#include "backup/RunStatus.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

// Result codes of the engine that a list of runs names.
QString resultName(qint32 code)
{
    switch (code) {
    case 0: return QStringLiteral("Success");
    case 1: return QStringLiteral("Invalid settings");
    case 2: return QStringLiteral("Medium not available");
    case 3: return QStringLiteral("Source not found");
    case 4: return QStringLiteral("Nothing to back up");
    case 5: return QStringLiteral("Some files unreadable");
    case 6: return QStringLiteral("Cannot write");
    case 7: return QStringLiteral("Verification failed");
    case 8: return QStringLiteral("Catalog error");
    case 9: return QStringLiteral("Cancelled");
    default: return u"Failed (code " + QString::number(code) + u')';
    }
}

QString cleanFolder(const QString& path)
{
    return QDir::cleanPath(path);
}

} // namespace

QString selectionBaseOf(const ProfileRecord& record)
{
    const QString source = cleanFolder(record.SourceFolder);
    if (record.IncludeFilter.isEmpty())
        return source;
    QStringList common;
    bool first = true;
    for (const QString& item : SplitCommaList(record.IncludeFilter)) {
        const QString path = cleanFolder(source + u'/' + item.trimmed());
        const bool folder = item.trimmed().isEmpty() || item.trimmed().endsWith(u'/') || QFileInfo(path).isDir();
        const QString root = folder ? path : QFileInfo(path).path();
        const QStringList parts = root.split(u'/');
        if (first) {
            common = parts;
            first = false;
            continue;
        }
        qsizetype same = 0;
        while (same < common.size() && same < parts.size() && common[same] == parts[same])
            ++same;
        common = common.mid(0, same);
    }
    const QString base = common.join(u'/');
    return base.isEmpty() ? QStringLiteral("/") : base;
}

RestoreSource restoreSourceOf(const ProfileRecord& record)
{
    return {record.Name, {record.Name, record.DestinationFolder}, selectionBaseOf(record), record.CompressPassword};
}

QList<RestoreSource> earlierSources(const QList<BackupSet>& sets, const QList<RestoreSource>& profiles)
{
    QList<RestoreSource> earlier;
    for (const BackupSet& set : sets) {
        const QString folder = cleanFolder(set.folder);
        const auto sameName = [&set](const RestoreSource& p) { return p.set.name == set.name; };
        const auto sameFolder = [&folder](const RestoreSource& p) { return cleanFolder(p.set.folder) == folder; };
        if (std::any_of(profiles.begin(), profiles.end(), [&](const auto& p) { return sameName(p) && sameFolder(p); }))
            continue;
        auto likely = std::find_if(profiles.begin(), profiles.end(), sameName);
        if (likely == profiles.end())
            likely = std::find_if(profiles.begin(), profiles.end(), sameFolder);
        const QString caption = set.name + u" (earlier backups in " + visiblePath(folder) + u')';
        earlier.append({caption, {set.name, folder}, QString(), likely != profiles.end() ? likely->password : QString()});
    }
    return earlier;
}

QString runTimeText(const QDateTime& time)
{
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString runResultText(const RestoreRun& run)
{
    QString text = resultName(run.result);
    if (!run.note.isEmpty())
        text += u" (" + run.note + u')';
    else if (!run.restorable)
        text += QStringLiteral(" (no list of its files)");
    return text;
}

QString whyNotRestorable(const RestoreRun& run)
{
    if (!run.note.isEmpty())
        return run.note;
    if (run.result != 0 && run.result != 5)
        return u"it failed (" + resultName(run.result) + u')';
    return QStringLiteral("it has no list of its files");
}

QString verifiedText(const RestoreRun& run)
{
    // A run that found nothing new wrote no archive: there was nothing to verify.
    if (run.archive.isEmpty() && run.usable)
        return QStringLiteral("nothing new");
    if (!run.verified)
        return QStringLiteral("not verified");
    return *run.verified ? QStringLiteral("verified") : QStringLiteral("verification failed");
}

QString restoreHeadline(const RestoreResult& result)
{
    const quint64 restored = result.files;
    QString text = u"Restored " + formatCount(restored) + (restored == 1 ? u" file" : u" files");
    if (result.bytes > 0)
        text += u" (" + formatSize(result.bytes) + u')';
    text += u" to " + visiblePath(result.target) + u'.';
    QStringList notRestored;
    const auto count = [&notRestored](qsizetype n, const QString& what) {
        if (n > 0)
            notRestored << formatCount(quint64(n)) + u' ' + what;
    };
    count(result.skipped.size(), QStringLiteral("skipped"));
    count(result.failed.size(), QStringLiteral("failed"));
    count(result.refused.size(), QStringLiteral("refused"));
    count(result.notInRun.size(), QStringLiteral("not in this backup"));
    if (!notRestored.isEmpty())
        text += u' ' + notRestored.join(QStringLiteral(", ")) + u'.';
    if (!result.restoredAs.isEmpty())
        text += u' ' + formatCount(quint64(result.restoredAs.size())) + u" kept beside an existing file.";
    // A cancelled restore says so first: "The restore was cancelled. ... Restored 12 files ...".
    if (result.code == CancelledCode && !result.text.isEmpty())
        return visiblePath(result.text) + u' ' + text;
    if (result.code != 0 && !result.text.isEmpty())
        text += u' ' + visiblePath(result.text);
    return text;
}

QStringList restoreDetailLines(const RestoreResult& result)
{
    QStringList lines;
    const auto add = [&lines](const QString& label, const QList<RestoreResult::Item>& items) {
        for (const RestoreResult::Item& item : items)
            lines << label + u": " + visiblePath(item.path)
                         + (item.detail.isEmpty() ? QString() : u" \u2013 " + visiblePath(item.detail));
    };
    add(QStringLiteral("Failed"), result.failed);
    add(QStringLiteral("Refused"), result.refused);
    for (const QString& path : result.notInRun)
        lines << u"Not in this backup: " + visiblePath(path);
    add(QStringLiteral("Skipped"), result.skipped);
    add(QStringLiteral("Kept both"), result.restoredAs);
    return lines;
}
