#include "JobSetUp.h"

#include <QSet>
#include <QtDebug>

#include <limits>
#include <optional>

namespace {

// Blanks and control characters: every code from 1 up to and including the space.
bool isSeparator(QChar c)
{
    return c.unicode() >= 1 && c.unicode() <= 32;
}

QString trimmedItem(const QString& item)
{
    qsizetype from = 0;
    qsizetype to = item.size();
    while (from < to && item.at(from).unicode() <= 32)
        ++from;
    while (to > from && item.at(to - 1).unicode() <= 32)
        --to;
    return item.mid(from, to - from);
}

std::optional<qint32> compressionLevel(qint32 compressLevel)
{
    switch (compressLevel) {
    case 0: return 0;
    case 1: return 1;
    case 2: return 6;
    case 3: return 9;
    default: return std::nullopt;
    }
}

// Hours per unit of DeleteInterval, by the unit the editor shows for the frequency option.
std::optional<qint64> retentionHoursPerUnit(qint32 frequencyOption)
{
    switch (frequencyOption) {
    case 1:
    case 2: return 1;
    case 0:
    case 3:
    case 5: return 24;
    case 4: return 168;
    default: return std::nullopt;
    }
}

// A product beyond 32 bits is held at the limit: wrapped round, a retention of centuries
// could come out as a few hours and delete the backups the user meant to keep.
qint32 saturated(qint64 value)
{
    if (value > std::numeric_limits<qint32>::max())
        return std::numeric_limits<qint32>::max();
    if (value < std::numeric_limits<qint32>::min())
        return std::numeric_limits<qint32>::min();
    return static_cast<qint32>(value);
}

// Says once per profile that its stored age for deleting old backups cannot be read, so
// that none are deleted; every save and delete sets up every job again. Told again when
// the age was readable in between.
void warnUnreadableRetention(const QString& profile, bool unreadable)
{
    static QSet<QString> told;
    if (!unreadable) {
        told.remove(profile);
        return;
    }
    if (told.contains(profile))
        return;
    told.insert(profile);
    qWarning().noquote() << QStringLiteral(
        "Profile \"%1\": the age of \"Delete backups older than\" in Profiles.ini is not a whole "
        "number, so no old backups are deleted until the profile is saved with a valid age.")
        .arg(profile);
}

} // namespace

QStringList SplitCommaList(const QString& input)
{
    // The text ends at a NUL, as the stored text does.
    const qsizetype nul = input.indexOf(QChar(u'\0'));
    const QStringView text = QStringView(input).left(nul < 0 ? input.size() : nul);
    const qsizetype size = text.size();
    QStringList items;
    qsizetype pos = 0;
    const auto skipSeparators = [&] {
        while (pos < size && isSeparator(text[pos]))
            ++pos;
    };

    skipSeparators();
    while (pos < size) {
        QString item;
        if (text[pos] == u'"') {
            ++pos;
            while (pos < size) {
                if (text[pos] == u'"') {
                    if (pos + 1 < size && text[pos + 1] == u'"') {
                        item += u'"';
                        pos += 2;
                        continue;
                    }
                    ++pos;
                    break;
                }
                item += text[pos++];
            }
        } else {
            const qsizetype start = pos;
            while (pos < size && text[pos] != u',' && !isSeparator(text[pos]))
                ++pos;
            item = text.mid(start, pos - start).toString();
        }
        items.append(item);
        skipSeparators();
        if (pos < size && text[pos] == u',') {
            if (pos + 1 == size)
                items.append(QString());
            ++pos;
            skipSeparators();
        }
    }
    return items;
}

void ConfigureEngine(IBackupEngine& engine, const QString& dataFolder)
{
    engine.putCatalogFolder(dataFolder + u"/Catalogs");
    engine.putLogFolder(dataFolder + u"/Logs");
    engine.putLogDetailLevel(3);
}

IFileSelection* EngineObjects::adopt(std::unique_ptr<IFileSelection> selection)
{
    if (!selection)
        throw EngineFailure("The backup engine could not create a file selection.");
    m_selections.push_back(std::move(selection));
    return m_selections.back().get();
}

IBackupJob* EngineObjects::adopt(std::unique_ptr<IBackupJob> job)
{
    if (!job)
        throw EngineFailure("The backup engine could not create a backup job.");
    m_jobs.push_back(std::move(job));
    return m_jobs.back().get();
}

void SetUpJob(ProfileRecord& record, IBackupEngine& engine, EngineObjects& owner)
{
    if (!record.FileSel)
        record.FileSel = owner.adopt(engine.createFileSelection());
    if (!record.Job)
        record.Job = owner.adopt(engine.createBackupJob());
    IFileSelection& selection = *record.FileSel;
    IBackupJob& job = *record.Job;

    const QString sourceBase = record.SourceFolder.endsWith(u'/') ? record.SourceFolder
                                                                   : record.SourceFolder + u'/';

    // Emptied first, so that the items added next make up the whole selection.
    selection.putFilesToProcess(QString());
    selection.putFilesToExclude(QString());

    // No source folder (a hand-edited Profiles.ini) gives no item, and the run fails: "/"
    // would back up the whole disk.
    const QStringList includes = record.SourceFolder.isEmpty()  ? QStringList()
                                 : record.IncludeFilter.isEmpty() ? QStringList{QStringLiteral("*")}
                                                                  : SplitCommaList(record.IncludeFilter);
    for (const QString& item : includes)
        selection.IncludeItem(sourceBase + trimmedItem(item), -1);
    if (!record.ExcludeFilter.isEmpty()) {
        for (const QString& item : SplitCommaList(record.ExcludeFilter))
            selection.ExcludeItem(trimmedItem(item), -1);
    }

    job.putSelection(selection);
    job.putBackupFolder(record.DestinationFolder);
    job.putBackupSetName(record.Name);
    job.putBackupType(record.BackupType == 0 ? 0 : 2);
    // Values outside the editor's choices put nothing: the job keeps its earlier setting.
    if (const std::optional<qint32> level = compressionLevel(record.CompressLevel))
        job.putCompressionLevel(*level);
    job.putEncryptionPassword(record.CompressPassword);
    warnUnreadableRetention(record.Name, record.BoolDeleteBackup && !record.DeleteIntervalReadable);
    if (!record.BoolDeleteBackup || !record.DeleteIntervalReadable) {
        // An age that cannot be read reads as 0, which would delete all but the newest.
        job.putRetentionPeriod(-1);
    } else if (const std::optional<qint64> hours = retentionHoursPerUnit(record.FrequencyOption)) {
        job.putRetentionPeriod(saturated(qint64(record.DeleteInterval) * *hours));
    } else {
        // An age in no known unit deletes nothing. Kept from before, it could be the age of
        // another profile that this entry of the table held.
        job.putRetentionPeriod(-1);
    }
    job.putVerifyAfterBackup(record.BoolVerifyBackup ? EngineTrue : EngineFalse);
}
