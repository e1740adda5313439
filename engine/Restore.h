#pragma once

// Restoring files: the runs of a set, the files of a run, and the state as of a run
// written back into a folder. Used through BackupEngine (ListRuns, ListFiles, Restore).
//
// What a run's state is comes from the catalog, or, when the catalog does not know the
// set (a data folder lost with its disk) or misses an archive, from the manifests that
// the archives carry. A restore writes exactly the run's manifest: each file from the
// archive that holds its version at that run, checked against the stored CRC-32, with
// its modification time and mode; folders (empty ones too) and symbolic links as stored.
// It writes only below the target folder and never through a link: every name is
// opened relative to its folder, component by component, without following links.

#include "Manifest.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace stowkeep::engine {

struct Progress;

// One run of a set in its backup folder, as a list of runs shows it.
struct RunInfo
{
    int64_t id = 0;          // the catalog's number; 0 for a run known from its archive alone
    std::string archive;     // file name in the backup folder; empty when the run wrote none
    int64_t startTime = 0;   // seconds since the epoch
    int64_t endTime = 0;
    std::string kind;        // "full" or "incremental"
    int32_t result = 0;      // the run's ResultCode
    uint64_t files = 0;      // files and links in the run's state (folders not counted)
    uint64_t folders = 0;
    uint64_t bytes = 0;      // their total size
    std::optional<bool> verified; // empty: not verified (or not known)
    bool restorable = false; // its state is known (it has a manifest)
    // Set when the state is not known for now: "this job's password does not open its
    // archive" (a restore asks for that password), "it cannot be read: ...".
    std::string note;

    // A run whose state can be restored and that backed up what it found: finished, or
    // finished with some files it could not read (its manifest lists what it holds).
    bool usable() const;
};

// The newest usable run that started at or before the end of the given minute (a whole
// minute: 08:00 takes a run started at 08:00:59); none when there is no such run.
// minuteStart is the minute's first second, seconds since the epoch.
std::optional<RunInfo> FindRunAt(const std::vector<RunInfo>& runs, int64_t minuteStart);
// The newest usable run.
std::optional<RunInfo> FindNewestRun(const std::vector<RunInfo>& runs);
// "YYYY-MM-DD HH:MM" as a local time: the minute's first second; empty when not valid.
std::optional<int64_t> ParseLocalMinute(const std::string& text);

enum class ExistingFiles {
    Skip,     // a file or link that is there already stays; the backup's is not restored
    KeepBoth, // the restored copy gets a new name: "report (restored).pdf", "(restored 2)"...
    Replace,  // the restored file replaces it
};
// A path that exists as another kind of item (a folder where a file is to go, a file
// where a folder is to go, a link anywhere on the way) is never deleted nor followed:
// it is skipped and named, whatever the choice.

class RestoreJob
{
public:
    // The set, as a backup job names it.
    void setBackupFolder(std::string v) { m_backupFolder = std::move(v); }
    void setBackupSetName(std::string v) { m_backupSetName = std::move(v); }
    // Tried first on every archive; RestoreControl::askPassword is asked when it does not open one.
    void setEncryptionPassword(std::string v) { m_password = std::move(v); }
    // The run, as ListRuns gave it (its id, or its archive for a run the catalog does not know).
    void setRun(const RunInfo& run) { m_run = run; }
    // Paths relative to the set's base (the source folder), "/" separators: a file, a link, or
    // a folder with everything below it. None: everything.
    void setPaths(std::vector<std::string> paths) { m_paths = std::move(paths); }
    // Created when missing. The original source folder or any other.
    void setTargetFolder(std::string v) { m_target = std::move(v); }
    void setExistingFiles(ExistingFiles v) { m_existing = v; }

    const std::string& backupFolder() const { return m_backupFolder; }
    const std::string& backupSetName() const { return m_backupSetName; }
    const std::string& encryptionPassword() const { return m_password; }
    const RunInfo& run() const { return m_run; }
    const std::vector<std::string>& paths() const { return m_paths; }
    const std::string& targetFolder() const { return m_target; }
    ExistingFiles existingFiles() const { return m_existing; }

private:
    std::string m_backupFolder;
    std::string m_backupSetName;
    std::string m_password;
    RunInfo m_run;
    std::vector<std::string> m_paths;
    std::string m_target;
    ExistingFiles m_existing = ExistingFiles::Skip;
};

// What a caller can hook into a restore or a listing. Every hook is called on the thread
// that called the engine.
struct RestoreControl
{
    std::function<void(const Progress&)> onProgress; // files and links, and their bytes
    const std::atomic<bool>* cancel = nullptr;        // checked between files and between blocks
    // The password for one archive of the run (its file name), when the job's password and
    // the answers so far do not open it; `again` is true when the last answer for it did not
    // either. No answer: the files it holds are not restored. An answer that works is tried
    // first on the run's other archives.
    std::function<std::optional<std::string>(const std::string& archive, bool again)> askPassword;
};

// One path of a restore and what became of it.
struct RestoreItem
{
    std::string path;   // relative to the target folder, as in the run
    std::string detail; // why it was skipped, failed or refused; the new name of a copy kept beside
};

struct RestoreReport
{
    RunInfo run;
    std::string target;
    std::vector<std::string> restored;   // files and links restored under their own names
    std::vector<RestoreItem> restoredAs; // restored beside an existing one (ExistingFiles::KeepBoth)
    std::vector<RestoreItem> skipped;    // left as they were (an existing file, another kind in the way)
    std::vector<RestoreItem> failed;     // not restored: damaged, its archive missing or locked, a write error
    std::vector<RestoreItem> refused;    // names that would lead outside the target or through a link
    std::vector<std::string> notInRun;   // paths asked for that the run does not have
    uint64_t files = 0;   // files and links written (restored and restoredAs)
    uint64_t folders = 0; // folders made
    uint64_t bytes = 0;
    // Every restored file's content matched its stored CRC-32. An encrypted archive's
    // authentication code covers all of it, so it is checked only when the restore takes
    // the whole run; these are the encrypted archives it was checked on, and those it was not.
    std::vector<std::string> authenticated;
    std::vector<std::string> notAuthenticated;
    // Set when a skipped item counts as not restored (anything but an existing file left
    // alone as ExistingFiles::Skip asked).
    uint64_t skippedInTheWay = 0;
};

} // namespace stowkeep::engine
