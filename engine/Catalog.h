#pragma once

// The catalog: one SQLite database (catalog.db) that records every run and its manifest.
// It is a cache of what the archives' own manifests say: a damaged or lost catalog is
// rebuilt from them.
//
// Manifests are stored as differences between the runs of a set in a folder (a "line"):
// a row of `entries` holds one item as it was from the run `since` up to, not including,
// the run `until` (kOpen while it still stands), so a run adds rows only for what it
// changed, and listing any run's items is one range of the table's key. Folder paths are
// stored once, in `dirs`; a row names its folder and its own last part.

#include "Manifest.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace stowkeep::engine {

class CatalogError : public std::runtime_error
{
public:
    explicit CatalogError(const std::string& what, bool damaged = false)
        : std::runtime_error(what), m_damaged(damaged) {}
    // SQLite found the file damaged or not a database: it is to be moved aside.
    bool damaged() const { return m_damaged; }

private:
    bool m_damaged;
};

struct RunRecord
{
    int64_t id = 0;
    std::string setName;
    std::string folder;
    int64_t startTime = 0; // seconds since the epoch
    int64_t endTime = 0;
    std::string kind;      // "full" or "incremental"
    std::string archive;   // file name in folder; empty when the run wrote none
    int32_t result = 0;
    uint64_t files = 0;        // entries in the manifest
    uint64_t bytes = 0;        // their total size
    uint64_t filesWritten = 0; // entries in this run's archive
    uint64_t bytesRead = 0;
    uint64_t bytesWritten = 0; // size of the archive file
    std::optional<bool> verified; // the last verification of its archive; empty: never verified
    std::optional<int64_t> checked; // when its archive last passed a verification
    std::string medium;        // identity of the filesystem that held the folder; empty: not known
    std::string mediumMount;   // where that filesystem was mounted
    int64_t manifestRun = 0;   // the run whose manifest describes this run: itself, the base of
                               // an incremental run that changed nothing, or 0 for none (a
                               // failed run, an archive known only by name)
    std::string failure;       // what the user was told of a failed run; empty for success
};

// What the catalog knows of a set's runs in one folder.
struct RunOverview
{
    std::optional<RunRecord> latest;
    std::optional<RunRecord> latestSuccessful;
    uint64_t successfulFiles = 0; // files and links (no folders) of latestSuccessful
    int64_t firstStart = 0; // the oldest recorded run's start; 0 when there is none
};

struct SetInFolder
{
    std::string setName;
    std::string folder;
};

// Reads the overviews of the sets from folder/catalog.db, in one connection, without
// changing anything (no catalog is created, converted or moved aside), so that it may run
// beside a run that writes the catalog. Empty overviews when the catalog is missing or
// cannot be read.
std::vector<RunOverview> readRunOverviews(const std::string& catalogFolder, const std::vector<SetInFolder>& sets);
// The sets that have a run with a list of its files (one that can be restored), by name and
// folder; read as readRunOverviews reads. Empty when the catalog is missing or cannot be read.
std::vector<SetInFolder> readRestorableSets(const std::string& catalogFolder);

class Catalog
{
public:
    // Opens or creates folder/catalog.db (creating the folder), converting a catalog of
    // an older version in one transaction. A file that is damaged, not a database or
    // cannot be opened is moved aside (see moveAside) and a new one begun; movedAside then
    // holds its new name. Throws CatalogError.
    Catalog(const std::string& folder, const std::string& stamp);
    // Opens an existing catalog only to read it, beside a run that may be writing it:
    // nothing is created, converted or moved aside. Throws CatalogError when there is
    // none, or it cannot be read as this version's.
    struct ReadOnly
    {
    };
    Catalog(const std::string& folder, ReadOnly);
    ~Catalog();
    Catalog(const Catalog&) = delete;
    Catalog& operator=(const Catalog&) = delete;

    const std::string& path() const { return m_path; }
    const std::string& movedAside() const { return m_movedAside; }
    bool created() const { return m_created; }   // there was no catalog
    bool converted() const { return m_converted; } // from an older version's

    // Renames the catalog file "<name>.corrupt-<stamp>[-N]" (with its -wal and -shm) and
    // returns the new name; the file is kept, never deleted. Throws CatalogError.
    static std::string moveAside(const std::string& path, const std::string& stamp);

    // ---- runs ----

    // Runs of one set in one folder, oldest first.
    std::vector<RunRecord> runs(const std::string& setName, const std::string& folder);
    // The newest run whose manifest can serve as the base of an incremental run, among those
    // that started no later than notAfter.
    std::optional<RunRecord> newestBase(const std::string& setName, const std::string& folder, int64_t notAfter);
    // The archive names of every run recorded in a folder, whatever its set.
    std::vector<std::string> archivesIn(const std::string& folder);

    // Records one run in one transaction and returns its id. With nextRow, the run has a
    // manifest of its own: nextRow fills in the next row (in any order; the archive by
    // file name, kThisArchive for the run's own) and returns true, or returns false after
    // the last one. Without, the run shares run.manifestRun's (0: none). beforeCommit is
    // called inside the transaction.
    int64_t recordRun(RunRecord run, const std::function<bool(ManifestRow&)>& nextRow = {},
                      const std::function<void()>& beforeCommit = {});
    // Removes runs, and the rows that no remaining run's manifest holds, in one transaction.
    // The manifests forget (each named by the run that owns it) are dropped from every run
    // that shares them: those runs stay listed, with no state to restore.
    void deleteRuns(const std::vector<int64_t>& ids, const std::vector<int64_t>& forget = {});
    // The result of reading a run's archive again: passed (at `when`) or found damaged.
    void noteVerification(int64_t runId, bool passed, int64_t when);

    // How much of a set's archives its runs may read again to check them: bytes saved up
    // and when they were last added to (empty: never).
    struct RecheckBudget
    {
        uint64_t bytes = 0;
        std::optional<int64_t> time;
    };
    RecheckBudget recheckBudget(const std::string& setName, const std::string& folder);
    void setRecheckBudget(const std::string& setName, const std::string& folder, const RecheckBudget& budget);

    // ---- manifests ----

    // The rows of a run's manifest (manifestRun: a run with a manifest of its own), one at
    // a time without holding them all, the holding archive by file name (empty when no
    // run of the catalog has it); one query.
    void forEachManifestRow(int64_t manifestRun, const std::function<void(const ManifestRow&)>& visit);
    // Every file, folder and link as they were at a run (any run with a manifest: its own
    // or the one it shares), sorted by path. Empty for a run without a manifest.
    std::vector<ManifestRow> entries(int64_t runId);
    // Files and links, folders, and the bytes of the files and links, in the manifest of
    // each run of a set in a folder that has one of its own (by run id); one query.
    struct StateTotals
    {
        uint64_t files = 0;
        uint64_t folders = 0;
        uint64_t bytes = 0;
    };
    std::map<int64_t, StateTotals> stateTotals(const std::string& setName, const std::string& folder);
    // The runs whose archives a run's manifest refers to.
    std::vector<int64_t> archiveRunsOf(int64_t manifestRun);
    // The runs whose archives hold the newest copy that any manifest of the set lists of
    // each of these files, and of each file below these folders (paths relative to the
    // selection's base). One pass over the set's rows.
    std::vector<int64_t> newestCopies(const std::string& setName, const std::string& folder,
                                      const std::vector<std::string>& files, const std::vector<std::string>& folders);

    // ---- the destination's files ----

    // A temporary archive that a run is about to create: recorded (and committed) before
    // the file exists, so that only files a run of ours began are ever removed as leftovers.
    void notePending(const std::string& folder, const std::string& name);
    void clearPending(const std::string& folder, const std::string& name);
    std::vector<std::string> pending(const std::string& folder);

    // Archives looked at and found not adoptable (another set's, made by an older version,
    // another password), remembered with their size and time so that they are not opened
    // again at every run.
    bool wasExamined(const std::string& folder, const std::string& name, uint64_t size, int64_t mtimeNs);
    void noteExamined(const std::string& folder, const std::string& name, uint64_t size, int64_t mtimeNs);

private:
    void open();
    void createSchema();
    void convertFromVersion1();
    void addVersion3Columns(bool linesToo);
    void exec(const char* sql);
    // The line of a set in a folder; created when missing and create is set (0: none).
    int64_t lineOf(const std::string& setName, const std::string& folder, bool create);
    int64_t lineOfRun(int64_t runId);
    int64_t dirId(const std::string& path);
    // Stores a run's manifest as the difference to the line's current rows.
    void storeManifest(int64_t line, int64_t runId, const std::string& setName, const std::string& folder,
                       const std::function<bool(ManifestRow&)>& nextRow);
    void collectGarbage(int64_t line, const std::string& setName, const std::string& folder);
    [[noreturn]] void fail(const std::string& what) const;

    std::string m_path;
    std::string m_movedAside;
    bool m_created = false;
    bool m_converted = false;
    bool m_readOnly = false;
    sqlite3* m_db = nullptr;
};

} // namespace stowkeep::engine
