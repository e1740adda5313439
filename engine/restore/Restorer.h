#pragma once

// One restore, from the run's state to the files in the target folder. Its steps live in
// one file each beside this one: the runs and states of a set (History.cpp), the
// passwords of its archives (Passwords.cpp), what to restore from where (Plan.cpp), the
// folders and the files written on every core (Extract.cpp), and the whole with its
// result and report (Restorer.cpp).

#include "BackupEngine.h"
#include "Catalog.h"
#include "RunLog.h"
#include "restore/Target.h"
#include "run/Run.h"
#include "zip/ZipReader.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace stowkeep::engine::detail {

// The passwords of a restore: the job's first, then those given for other archives.
class PasswordBook
{
public:
    // Without control (or its askPassword), no other password is asked for.
    PasswordBook(const std::string& jobPassword, const RestoreControl* control);

    // Opens an archive (name: its file name, for the question), trying the passwords known
    // so far, then asking; one whose directory cannot be read is read from what is left of
    // it (ZipReader::damage). Throws zip::WrongPassword when no answer opens it, zip::ZipError
    // when it cannot be read.
    std::unique_ptr<zip::ZipReader> open(const std::string& path, const std::string& name);

private:
    std::vector<std::string> m_known;
    const RestoreControl* m_control;
};

// The runs of one set in one backup folder and their states.
class SetHistory
{
public:
    // Throws RunFailure (InvalidJob) for a job without folder or set.
    SetHistory(const std::string& catalogFolder, const RestoreJob& job);

    const std::string& folder() const { return m_folder; }
    // Newest first. Throws RunFailure when there is neither a catalog nor the folder.
    std::vector<RunInfo> runs(PasswordBook& passwords, const std::atomic<bool>* cancel);

    struct State
    {
        std::vector<ManifestRow> rows; // sorted by path; archive: its file name, empty when not known
        std::vector<std::string> unsafe; // paths of the run's manifest that no restore may write
        std::string catalogDamage; // why the archive's list was read instead of the catalog's
    };
    // Throws RunFailure (RunNotAvailable, ArchiveMissing, WrongPassword, CatalogFailure).
    State state(const RunInfo& run, PasswordBook& passwords);

private:
    RunInfo fromArchive(const std::string& name, PasswordBook& passwords);
    void noteDamagedArchives(const std::vector<RunRecord>& records, std::vector<RunInfo>& runs);

    const RestoreJob& m_job;
    std::string m_folder;
    std::string m_setFile;
    std::unique_ptr<Catalog> m_catalog; // null: none that can be read
    std::string m_catalogProblem;
};

class Restorer
{
public:
    Restorer(BackupEngine& engine, EngineState& state, const RestoreJob& job, RestoreReport& report,
             const RestoreControl& control);
    ~Restorer();
    Restorer(const Restorer&) = delete;
    Restorer& operator=(const Restorer&) = delete;

    int32_t execute();
    const std::string& logPath() const { return m_log->path(); }

private:
    enum class Fate : uint8_t {
        Pending,
        Restored,   // files and links
        RestoredAs, // detail: the name of the copy kept beside
        Skipped,    // an existing one left as ExistingFiles::Skip asks (or already the same)
        InTheWay,   // another kind of item stands there
        Below,      // below an item in the way or a folder that could not be made
        Failed,
        Refused,
        Made,       // folders
        Merged,     // folders that were there
    };
    struct Item
    {
        ManifestRow row;
        uint32_t archive = UINT32_MAX; // index into m_archives when its content is read from one
        zip::ZipEntry entry;
        Fate fate = Fate::Pending;
        std::string detail;
    };
    struct Archive
    {
        std::string name;
        std::vector<size_t> items; // indexes into m_items, in path order
        bool encrypted = false;
        bool authenticate = false; // the whole run is restored: its authentication code is checked too
        bool opened = false;
    };

    bool cancelled() const { return m_control.cancel && m_control.cancel->load(); }
    void checkCancel() const;
    int32_t restore();
    void checkJob();
    void findMedium();
    // Plan.cpp
    void select(SetHistory::State&& state);
    void refuseBelowRunItems(const std::vector<ManifestRow>& rows);
    void openArchives(PasswordBook& passwords);
    void matchEntries(Archive& archive, const zip::ZipReader& reader);
    // Extract.cpp
    void makeFolders();
    // Whether a folder above the path is blocked; counts the path below it.
    bool blockedAbove(std::string_view path);
    void block(const std::string& path, Fate fate, std::string detail, bool isItem);
    void extract(PasswordBook& passwords);
    void extractGroup(const std::vector<size_t>& items, const zip::ZipReader* reader, Archive* archive);
    // fresh: the folder was made by this restore.
    void restoreItem(Item& item, int folder, bool fresh, const zip::ZipReader* reader);
    // On a drive that does not tell upper from lower case (exFAT, FAT), two names of the
    // backup can be one: the path of another item of the backup that this restore put where
    // `name` leads in the folder of `path`, under another letter case; or "".
    std::string placedAt(int folder, std::string_view path, const std::string& name);
    void notePlaced(const Item& item);
    // An archive's drive failed or went away: every file after this would fail the same way.
    void stopReading(const zip::ReadError& e);
    void finishFolders();
    void reportProgress();
    // Restorer.cpp
    int32_t decide();
    void fillReport();
    void logSummary(int32_t code);

    BackupEngine& m_engine;
    EngineState& m_state;
    const RestoreJob& m_job;
    RestoreReport& m_report;
    const RestoreControl& m_control;
    std::unique_ptr<RunLog> m_log;
    std::chrono::steady_clock::time_point m_steadyStart;
    std::string m_failureDetail;

    std::unique_ptr<SetHistory> m_history;
    std::vector<Item> m_items; // what to restore, in path order: a folder before what it holds
    std::vector<std::string> m_unsafe;
    std::vector<Archive> m_archives;
    std::vector<std::string> m_missingArchives;
    std::vector<std::string> m_lockedArchives;
    std::vector<std::string> m_unauthentic;
    std::vector<RestoreItem> m_damagedArchives; // whose directory could not be read, and why
    std::unique_ptr<TargetFolder> m_target;
    // Paths below which nothing is restored: an item in the way, a folder that cannot be
    // made, a link in the target. Reported with the number of items below them.
    struct Block
    {
        Fate fate = Fate::InTheWay;
        std::string detail;
        uint64_t below = 0;
        bool isItem = false; // the path is one of m_items (which then says what happened)
    };
    std::map<std::string, Block, std::less<>> m_blocked;
    std::vector<std::string> m_madeFolders; // folders made on the way that the run does not list
    std::set<std::string, std::less<>> m_freshFolders; // every folder this restore made

    // Items restored under their own names, by a hash of their paths in lower case.
    std::unordered_multimap<size_t, size_t> m_placed;
    std::atomic<bool> m_stop {false};
    std::optional<TargetError> m_targetError; // the target is full or not writable: everything stops
    std::optional<std::string> m_readError;   // an archive's drive failed or went away: everything stops
    std::mutex m_mutex;
    Progress m_progress;
    std::atomic<uint64_t> m_filesDone {0};
    std::atomic<uint64_t> m_bytesDone {0};
};

} // namespace stowkeep::engine::detail
