#pragma once

// One run of one job, from the checks to the summary line. Its steps live in one file each
// beside this one: the medium and leftovers (Medium.cpp), the archives the catalog does
// not know and a damaged catalog (Adopt.cpp), what to write (Decide.cpp), whether the
// earlier archives it builds on are whole (Recheck.cpp), the archive and its manifest
// (WriteArchive.cpp), verification (Verify.cpp), the catalog and retention (Record.cpp).

#include "BackupEngine.h"
#include "Catalog.h"
#include "RunLog.h"
#include "Selection.h"
#include "zip/OutputFile.h"
#include "zip/ZipWriter.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace stowkeep::engine::detail {

// What the engine keeps between runs.
struct EngineState
{
    std::string catalogFolder;
    std::string logFolder;
    int32_t logLevel = 2;
    WriteFaultHook writeFault;
    ReadFaultHook readFault;
    BackupEngine::TestHooks hooks;
    std::map<int32_t, std::string> lastFailure; // code -> what the engine knew
};

// The engine's sentence for a result code, without what it knows of the failure.
std::string resultSentence(int32_t code);
// A run's end in the log's summary: "finished", or "ended with code 5 (some files unreadable)".
std::string endedText(int32_t code);
// " The log <path> has the details." (empty without a log file).
inline std::string logSentence(const std::string& logPath)
{
    return logPath.empty() ? std::string() : " The log " + logPath + " has the details.";
}

class Run
{
public:
    Run(BackupEngine& engine, EngineState& impl, const BackupJob& job, const RunControl& control);
    ~Run() { discardArchive(); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    int32_t execute();
    const std::string& logPath() const { return m_log->path(); }

private:
    std::string writeErrorText(const zip::WriteError& e) const;
    bool cancelled() const { return m_control.cancel && m_control.cancel->load(); }
    void checkCancel() const;

    int32_t backUp();
    void checkJob();
    void openCatalog();
    // Medium.cpp
    enum class MediumState {
        Present,
        Missing, // no folder, or only the empty mount point of a drive
        Other,   // another drive than the earlier backups', mounted where theirs was
    };
    struct MediumLook
    {
        MediumState state = MediumState::Present;
        std::string why;
    };
    MediumLook lookAtMedium(const std::vector<RunRecord>& runs);
    void findMedium();
    // Temporary archives of this set that a crashed run left behind.
    void removeLeftovers();
    // Adopt.cpp
    // Calls f; when the catalog turns out to be damaged on the way, it is moved aside, a
    // new one is rebuilt from the destination's archives, and f is called once more.
    template <typename F> decltype(auto) withCatalog(F&& f);
    void healCatalog(const CatalogError& damage);
    void adoptArchives();
    void adoptArchive(const std::string& name, uint64_t size, const Manifest& manifest,
                      std::set<std::string>& listed);
    std::string examineArchive(const std::string& path, const std::string& name, std::optional<Manifest>& manifest);
    // Decide.cpp
    void resolve();
    std::string nothingSelectedText() const;
    void decide();
    // Matches the newest base's rows with the selection; false when there is no base.
    bool readBase();
    void takeEverything();
    // The source is gone, replaced, or most of its files vanished while the run read them:
    // throws RunFailure, so that nothing of the run is kept.
    void checkSources() const;
    // Recheck.cpp
    // Why the archives that this run would build on cannot be trusted, or "".
    std::string baseProblem();
    // Reads a share of the set's older archives again (see there); returns why one that
    // this run would build on is damaged, or "".
    std::string recheck();
    // Why an archive read again whole is damaged, "" when it is whole; empty when this
    // job's password does not open it, so that nothing can be told.
    std::optional<std::string> recheckArchive(const RunRecord& run);
    // WriteArchive.cpp
    void reportProgress(const std::string& current);
    void writeArchive();
    std::shared_ptr<const std::string> buildManifest();
    // The manifest row of selected entry i (not Left).
    void manifestRow(size_t i, ManifestRow& row) const;
    // This run's manifest in path order: the selected entries that stand (not Left), and the
    // rows carried from the base for what could not be listed. False after the last row.
    struct ManifestCursor
    {
        size_t entry = 0;
        size_t carried = 0;
    };
    bool nextManifestRow(ManifestCursor& at, ManifestRow& row) const;
    const std::string& manifestArchive(size_t i) const;
    void takeResult(const SelectedEntry& e, size_t& nextError);
    // The base's rows of the files the writer could not read join m_carried.
    void carryUnreadable();
    void publish();
    // Verify.cpp
    void verify();
    // Record.cpp
    void record(int32_t code);
    void recordFailedRun(int32_t code);
    void applyRetention(int32_t code);
    void deleteExpired(int32_t code);
    // Why the archives that the runs retention keeps need cannot be trusted, or "".
    std::string keptArchivesProblem(const std::vector<RunRecord>& runs, const std::set<int64_t>& needed) const;
    int64_t baseManifestRun();

    RunRecord baseRecord(int32_t code) const;
    void discardArchive();
    void logSummary(int32_t code);

    size_t indexOf(const SelectedEntry& e) const { return static_cast<size_t>(&e - m_selection.entries.data()); }
    std::string kindText() const { return m_incremental ? "incremental" : "full"; }

    enum class Fate : uint8_t {
        Left,    // not in this run's manifest
        Kept,    // the base run's row stands (size, CRC and archive from there)
        Written, // stored in this run's archive
    };
    // What became of one selected entry: a few bytes each, parallel to the selection, so that
    // a run over many files keeps one list of them, not several.
    struct Outcome
    {
        uint64_t size = 0;
        uint32_t crc = 0;
        uint32_t archive = 0; // the archive holding the content: index into m_archives
        Fate fate = Fate::Left;
        uint8_t status = 0;   // the writer's zip::EntryStatus
        bool known = false;   // the base run has a row of this name and kind
        bool same = false;    // ... with the same time, mode (and size, link target), in an archive
        bool timeOnly = false; // a folder whose row differs only in its time
    };

    BackupEngine& m_engine;
    EngineState& m_impl;
    const BackupJob& m_job;
    const RunControl& m_control;

    std::chrono::system_clock::time_point m_start;
    std::time_t m_startTime = 0;
    std::chrono::steady_clock::time_point m_steadyStart;
    std::string m_stamp;
    std::unique_ptr<RunLog> m_log;
    std::unique_ptr<Catalog> m_catalog;
    int m_catalogGeneration = 0; // counts the catalogs begun during this run
    bool m_healing = false;
    bool m_rebuilding = false;   // the catalog is new: what adoption finds is a rebuild
    int32_t m_phaseCode = InvalidJob;
    std::string m_failureDetail;
    std::vector<std::string> m_notices; // what the run's text tells besides its result
    std::string m_medium;      // the identity of the filesystem that holds the folder
    std::string m_mediumMount;
    bool m_historyGone = false; // none of the set's recorded archives is in the folder

    std::string m_folder;  // BackupFolder, normalized
    std::string m_setFile; // the set name as it may appear in a file name
    SelectionResult m_selection;
    uint64_t m_selectedFiles = 0;
    uint64_t m_selectedBytes = 0;
    uint64_t m_vanished = 0;

    bool m_incremental = false;
    bool m_decided = false; // full or incremental is known
    bool m_writeArchive = false;
    int64_t m_baseManifestRun = 0; // in the catalog of m_baseGeneration
    int m_baseGeneration = 0;
    std::string m_baseArchive;     // the archive of the base's manifest
    std::vector<std::string> m_archives; // archive names the outcomes refer to; [0] is this run's
    std::vector<const SelectedEntry*> m_toWrite;
    std::vector<Outcome> m_outcomes; // one per selected entry
    std::vector<std::pair<size_t, std::string>> m_entryErrors; // the writer's reasons, in entry order
    uint64_t m_writtenCount = 0;
    std::vector<std::string> m_unreadable;
    std::vector<std::string> m_changedWhileRead; // stored as read: possibly a mix of old and new
    // The same, relative to the selection's base: files, and folders that could not be listed.
    std::vector<std::string> m_unreadableNames;
    std::vector<std::string> m_unreadableFolders;
    uint64_t m_previousRows = 0; // rows of the base's manifest
    uint64_t m_matched = 0;      // ... that name a selected entry, or are carried
    // The base's rows of what this run could not read, sorted by path: they stand.
    std::vector<ManifestRow> m_carried;
    uint64_t m_carriedFiles = 0; // files this run could not read that keep an earlier copy

    std::string m_archiveName;
    std::string m_archivePath;
    std::string m_tempPath;
    std::string m_pendingName; // the temporary file as the catalog recorded it
    bool m_tempCreated = false;
    bool m_archiveCreated = false;
    int m_lockFd = -1;
    uint64_t m_bytesRead = 0;
    uint64_t m_bytesWritten = 0;
    std::string m_manifestName;
    size_t m_manifestSize = 0; // the text is the writer's alone: tens of megabytes for many files
    uint32_t m_manifestCrc = 0;

    std::optional<bool> m_verified;
    std::vector<std::string> m_badEntries;
    std::string m_readBackError; // why the drive could not read the archive back to verify it
    std::vector<std::string> m_rechecked; // older archives read again and found whole
    bool m_recorded = false;
    int64_t m_runId = 0;
    std::vector<std::string> m_retentionDeleted;
    std::vector<std::string> m_retentionLeft; // archives it could not delete, each with the reason

    std::mutex m_progressMutex;
    Progress m_progress;
    const zip::ZipWriter* m_writer = nullptr; // while the archive is written
};

template <typename F> decltype(auto) Run::withCatalog(F&& f)
{
    try {
        return f();
    } catch (const CatalogError& e) {
        if (!e.damaged() || m_healing)
            throw;
        healCatalog(e);
    }
    return f();
}

} // namespace stowkeep::engine::detail
