#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

// The backup engine as the program sees it: values are put on its objects, failures
// of a put or a call are EngineFailure exceptions, a failed backup is RunJob's
// non-zero result. The program uses the real engine (EngineAdapter); tests hand job
// set-up a recording double.

class EngineFailure : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The engine's boolean encoding: true is -1, false is 0.
using EngineBool = qint16;
inline constexpr EngineBool EngineTrue = -1;
inline constexpr EngineBool EngineFalse = 0;

// How far a running job is: files and bytes written, and bytes that verification will read
// back and has read (both known from the start of the writing).
struct JobProgress
{
    quint64 filesDone = 0;
    quint64 filesTotal = 0;
    quint64 bytesDone = 0;
    quint64 bytesTotal = 0;
    quint64 checkedBytes = 0;
    quint64 bytesToCheck = 0;
    QString currentFile;
};

// One run of a set, as the engine's catalog recorded it.
struct RunSummary
{
    QDateTime start;
    qint32 result = 0;
    quint64 files = 0; // files and links, no folders
    quint64 bytes = 0;
    std::optional<bool> verified;
    QString failure; // the engine's text for a failed run
};

// The result code of a run or restore that was cancelled.
inline constexpr qint32 CancelledCode = 9;

// A backup set: a profile's name and destination folder.
struct BackupSet
{
    QString name;
    QString folder;
    bool operator==(const BackupSet&) const = default;
};

// Where a set stands: its newest run, its newest successful run, and when it first ran.
struct RunHistory
{
    std::optional<RunSummary> latest;
    std::optional<RunSummary> latestSuccessful;
    QDateTime firstStart;
};

// One run of a set as a restore sees it: what the list of runs shows.
struct RestoreRun
{
    qint64 id = 0;     // the catalog's number; 0 for a run known from its archive alone
    QString archive;   // its archive's file name; empty when it wrote none
    QDateTime start;
    QString kind;      // "full" or "incremental"
    qint32 result = 0;
    quint64 files = 0; // files and links in its state
    quint64 folders = 0;
    quint64 bytes = 0;
    std::optional<bool> verified;
    bool restorable = false;
    bool usable = false; // its state can be restored and it backed up what it found
    QString note;        // why its state is not known for now
};

// One file, folder or link of a run's state.
struct RestoreEntry
{
    enum class Kind { File, Folder, Link };
    QString path; // relative to the set's base, "/" separators
    Kind kind = Kind::File;
    quint64 size = 0;
    QDateTime modified;
    QString linkTarget;
};

enum class ExistingFiles { Skip, KeepBoth, Replace };

struct RestoreRequest
{
    BackupSet set;
    QString password; // tried first on every archive
    RestoreRun run;
    QStringList paths; // relative to the set's base; none: everything
    QString target;
    ExistingFiles existing = ExistingFiles::Skip;
};

// What became of a restore's paths.
struct RestoreResult
{
    struct Item
    {
        QString path;
        QString detail;
    };
    qint32 code = 0;
    QString text; // the engine's sentence for a non-zero code
    QString target;
    QStringList restored;
    QList<Item> restoredAs;
    QList<Item> skipped;
    QList<Item> failed;
    QList<Item> refused;
    QStringList notInRun;
    quint64 files = 0;
    quint64 folders = 0;
    quint64 bytes = 0;
    QStringList authenticated;
    QStringList notAuthenticated;
};

// A listing needs a password that the one given does not open.
class PasswordNeeded : public EngineFailure
{
public:
    PasswordNeeded(const QString& archive, const std::string& text) : EngineFailure(text), archive(archive) {}
    QString archive;
};

class IFileSelection
{
public:
    virtual ~IFileSelection() = default;
    virtual void putFilesToExclude(const QString& value) = 0;
    virtual void putFilesToProcess(const QString& value) = 0;
    virtual void ExcludeItem(const QString& item, qint32 value) = 0;
    virtual void IncludeItem(const QString& item, qint32 value) = 0;
};

class IBackupJob
{
public:
    virtual ~IBackupJob() = default;
    virtual void putBackupFolder(const QString& value) = 0;
    virtual void putBackupSetName(const QString& value) = 0;
    virtual void putBackupType(qint32 value) = 0;
    virtual void putCompressionLevel(qint32 value) = 0;
    virtual void putEncryptionPassword(const QString& value) = 0;
    virtual void putRetentionPeriod(qint32 hours) = 0;
    virtual void putSelection(IFileSelection& selection) = 0;
    virtual void putVerifyAfterBackup(EngineBool value) = 0;
};

class IBackupEngine
{
public:
    // Label of the medium wanted and the disk number; returns true when the user inserted it.
    using InsertMediaHandler = std::function<bool(const QString& mediaLabel, qint32 diskNumber)>;
    using ProgressHandler = std::function<void(const JobProgress& progress)>;
    // One backup whose job values were taken when it was prepared: it runs the whole backup
    // and returns 0 for success.
    using PreparedRun = std::function<qint32()>;
    // The password of one archive (its file name), asked when the ones known do not open
    // it; `again` when the last answer did not either. No answer gives those files up.
    using PasswordHandler = std::function<std::optional<QString>(const QString& archive, bool again)>;

    virtual ~IBackupEngine() = default;
    virtual void putCatalogFolder(const QString& value) = 0;
    virtual void putLogFolder(const QString& value) = 0;
    virtual void putLogDetailLevel(qint32 value) = 0;

    virtual std::unique_ptr<IFileSelection> createFileSelection() = 0;
    virtual std::unique_ptr<IBackupJob> createBackupJob() = 0;

    // Takes the job's values as they are now, on the calling thread; the run it returns may
    // be made on another thread while the profiles are set up again. One run at a time.
    virtual PreparedRun prepareRun(IBackupJob& job) = 0;
    // Runs the whole backup before it returns; 0 is success.
    qint32 RunJob(IBackupJob& job) { return prepareRun(job)(); }
    // The description of a result code. Not called while a run goes on.
    virtual QString GetErrorText(qint32 reserved, qint32 code) = 0;
    // What the last backup, if it succeeded, told besides its result: an earlier backup
    // found damaged, old backups that could not be deleted. Empty when nothing.
    virtual QString RunNotices() = 0;
    // Both handlers are called on the thread that makes the run.
    virtual void setOnInsertMedia(InsertMediaHandler handler) = 0;
    virtual void setOnProgress(ProgressHandler handler) = 0;
    // Asks the run in progress to stop as soon as it can; it then returns its "cancelled"
    // code. Any thread.
    virtual void cancelRunningJob() = 0;
    // What the catalog knows of each set's runs, in the order asked; may be called while a
    // run goes on.
    virtual QList<RunHistory> LastRuns(const QList<BackupSet>& sets) = 0;
    // Every set in every folder that the catalog holds a restorable run of, those of renamed
    // and deleted profiles too; empty when there is no catalog to read.
    virtual QList<BackupSet> RestorableSets() = 0;

    // ---- restore; the listings may be called on any thread, also while a job runs ----

    // The set's runs, newest first. EngineFailure with the engine's text when there is
    // neither a catalog that knows them nor a folder of archives.
    virtual QList<RestoreRun> ListRuns(const BackupSet& set, const QString& password) = 0;
    // The run's files, folders and links, sorted by path. PasswordNeeded when the password
    // does not open an archive it needs; EngineFailure for anything else.
    virtual QList<RestoreEntry> ListFiles(const RestoreRequest& request) = 0;
    // Takes the request on the calling thread; the run it returns restores it (on any
    // thread), reporting through the progress and password handlers, fills `result`, and
    // returns 0 when everything asked for was restored. One run at a time, as for backups.
    virtual PreparedRun prepareRestore(const RestoreRequest& request, std::shared_ptr<RestoreResult> result) = 0;
    // Called on the thread that makes the restore.
    virtual void setOnPassword(PasswordHandler handler) = 0;
};
