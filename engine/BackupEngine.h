#pragma once

// The backup engine's call surface: one BackupEngine, and per backup task one
// FileSelection and one BackupJob; per restore one RestoreJob (Restore.h). Texts are
// UTF-8. A setting the engine refuses throws EngineError; a failed backup or restore is
// RunJob's or Restore's non-zero result, never an exception.

#include "Restore.h"

#include "Catalog.h"
#include "Mounts.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace stowkeep::engine {

class EngineError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

enum ResultCode : int32_t {
    Success = 0,
    InvalidJob = 1,
    MediumNotAvailable = 2,
    SourceNotFound = 3,
    NothingToBackUp = 4,
    SomeFilesUnreadable = 5,
    CannotWriteDestination = 6,
    VerificationFailed = 7,
    CatalogFailure = 8,
    Cancelled = 9,
    // A restore's own results (Cancelled, InvalidJob and MediumNotAvailable as for a backup).
    WrongPassword = 10,        // an archive of the run opened with no password given
    ArchiveMissing = 11,       // an archive the run needs is not in the backup folder
    SomeFilesNotRestored = 12, // damaged, refused, in the way or not writable: named in the report
    RunNotAvailable = 13,      // the run is not known, or its state is not (no list of its files)
    CannotWriteTarget = 14,    // the target folder cannot be made or written (full disk)
    ArchiveDamaged = 15,       // an archive has lost its directory, or an encrypted one fails its authentication
};

enum BackupTypeValue : int32_t { FullBackup = 0, NewAndModified = 2 };

class FileSelection
{
public:
    // Each put replaces the whole list with the lines of the text; an empty text empties it.
    void setFilesToProcess(const std::string& lines);
    void setFilesToExclude(const std::string& lines);
    // An include item is "<folder>/<last part>"; an exclude item is a mask (see engine docs).
    void IncludeItem(const std::string& item, int32_t flags);
    void ExcludeItem(const std::string& item, int32_t flags);

    const std::vector<std::string>& includeItems() const { return m_include; }
    const std::vector<std::string>& excludeItems() const { return m_exclude; }

private:
    std::vector<std::string> m_include;
    std::vector<std::string> m_exclude;
};

class BackupJob
{
public:
    void setBackupFolder(std::string v) { m_backupFolder = std::move(v); }
    void setBackupSetName(std::string v) { m_backupSetName = std::move(v); }
    void setBackupType(int32_t v);        // 0 or 2, else EngineError
    void setCompressionLevel(int32_t v);  // 0, 1, 6 or 9, else EngineError
    void setEncryptionPassword(std::string v) { m_password = std::move(v); }
    void setRetentionPeriod(int32_t hours) { m_retentionHours = hours; } // -1: keep everything
    void setSelection(const FileSelection* selection) { m_selection = selection; }
    void setVerifyAfterBackup(bool v) { m_verify = v; }

    const std::string& backupFolder() const { return m_backupFolder; }
    const std::string& backupSetName() const { return m_backupSetName; }
    int32_t backupType() const { return m_backupType; }
    int32_t compressionLevel() const { return m_compressionLevel; }
    const std::string& encryptionPassword() const { return m_password; }
    int32_t retentionPeriod() const { return m_retentionHours; }
    const FileSelection* selection() const { return m_selection; }
    bool verifyAfterBackup() const { return m_verify; }

private:
    std::string m_backupFolder;
    std::string m_backupSetName;
    int32_t m_backupType = FullBackup;
    int32_t m_compressionLevel = 6;
    std::string m_password;
    int32_t m_retentionHours = -1;
    const FileSelection* m_selection = nullptr;
    bool m_verify = true;
};

struct Progress
{
    uint64_t filesDone = 0;
    uint64_t filesTotal = 0;
    uint64_t bytesDone = 0;
    uint64_t bytesTotal = 0;
    // Verification reads the written content back: known from the start of the writing,
    // so that a share of the whole run done never goes down.
    uint64_t checkedBytes = 0;
    uint64_t bytesToCheck = 0;
    std::string currentFile;
};


// What a caller can hook into one run. Both hooks are called on the running thread.
struct RunControl
{
    std::function<void(const Progress&)> onProgress;
    const std::atomic<bool>* cancel = nullptr; // checked between files and between blocks
};

// Test seam: called before every write to a destination file (a backup's archive, a
// restored file) with the number of bytes about to be written; a non-zero errno return
// makes that write fail with that error. A restore calls it on its worker threads.
using WriteFaultHook = std::function<int(uint64_t bytes)>;
// The same, before every read of an archive that a restore restores from or that a run
// reads again to check it.
using ReadFaultHook = std::function<int(uint64_t bytes)>;

class BackupEngine
{
public:
    BackupEngine();
    ~BackupEngine();
    BackupEngine(const BackupEngine&) = delete;
    BackupEngine& operator=(const BackupEngine&) = delete;

    void setCatalogFolder(std::string folder);
    void setLogFolder(std::string folder);
    void setLogDetailLevel(int32_t level); // 1..3, else EngineError

    // Runs the whole backup before it returns; 0 on success, a ResultCode otherwise.
    int32_t RunJob(const BackupJob& job, const RunControl& control = {});
    // A sentence for the user; says more about the last failure with that code when known.
    std::string GetErrorText(int32_t reserved, int32_t code) const;
    // What the last successful run told besides its result (an earlier backup found damaged,
    // old backups that could not be deleted); empty when nothing.
    std::string LastRunNotices() const;
    // The newest run and the newest successful run of each set in its folder, from the
    // catalog, which is only read: it may be called on another thread while a run goes on.
    // Empty when there is no catalog or it cannot be read.
    std::vector<RunOverview> LastRuns(std::vector<SetInFolder> sets) const;
    RunOverview LastRuns(const std::string& setName, const std::string& folder) const;
    // Every set in every folder that the catalog holds a restorable run of, also those that
    // no job names any more (its profile renamed or deleted, its folder changed); read as
    // LastRuns reads.
    std::vector<SetInFolder> RestorableSets() const;

    // ---- restore (the job's folder, set and password; see Restore.h) ----

    // The set's runs in its folder, newest first: the catalog's, and those of the set's
    // archives that the catalog does not know, from their manifests (opened with the job's
    // password, never asking for another). Throws EngineError when there is neither a
    // catalog to read nor a folder of archives.
    std::vector<RunInfo> ListRuns(const RestoreJob& job, const RestoreControl& control = {});
    // Every file, folder and link of the job's run as it was, sorted by path. Throws
    // EngineError with a text for the user (the run is unknown or has no list of its files,
    // its archive is missing or no password opens it).
    std::vector<ManifestRow> ListFiles(const RestoreJob& job, const RestoreControl& control = {});
    // Restores the job's paths as they were at its run into its target folder, before it
    // returns; 0 when everything asked for was restored (or left as it was, for existing
    // files that ExistingFiles::Skip keeps), a ResultCode otherwise. The report says what
    // became of each path.
    int32_t Restore(const RestoreJob& job, RestoreReport& report, const RestoreControl& control = {});

    // Asked when the destination medium is missing: label, disk number; true = inserted.
    std::function<bool(const std::string& mediaLabel, int32_t diskNumber)> OnInsertMedia;

    void setWriteFaultHook(WriteFaultHook hook);
    void setReadFaultHook(ReadFaultHook hook);

    // Test seams, not used by the program: the run's clock, and points inside a run where a
    // test can change the world (replace a source file, damage the archive, crash).
    struct TestHooks
    {
        std::function<std::chrono::system_clock::time_point()> clock;
        std::function<void()> afterSelection;                     // before anything is written
        std::function<void(const std::string& archive)> beforeVerify; // the renamed archive
        std::function<void()> beforeCommit;                       // inside the catalog transaction
        MountSources mounts;                                      // the system's mount tables
    };
    void setTestHooks(TestHooks hooks);

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace stowkeep::engine
