#pragma once

// The catalog: one SQLite database (catalog.db) that records every run and its manifest.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;

namespace stowkeep::engine {

class CatalogError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

enum class ManifestKind : int { File = 0, Directory = 1, Symlink = 2 };

struct ManifestRow
{
    std::string path;
    ManifestKind kind = ManifestKind::File;
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    uint32_t crc = 0;
    int64_t archiveRun = 0; // the run whose archive holds the content
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
    std::optional<bool> verified; // empty: not verified
    int64_t manifestRun = 0;   // the run whose manifest rows describe this run (itself, or the
                               // base of an incremental run that changed nothing)
};

class Catalog
{
public:
    // Opens or creates folder/catalog.db (creating the folder). A file that is not a
    // database is renamed "<name>.corrupt-<stamp>" and a new one begun; movedAside then
    // holds the new name. Throws CatalogError.
    Catalog(const std::string& folder, const std::string& stamp);
    ~Catalog();
    Catalog(const Catalog&) = delete;
    Catalog& operator=(const Catalog&) = delete;

    const std::string& path() const { return m_path; }
    const std::string& movedAside() const { return m_movedAside; }

    // Runs of one set in one folder, oldest first.
    std::vector<RunRecord> runs(const std::string& setName, const std::string& folder);
    // The newest run whose manifest can serve as the base of an incremental run.
    std::optional<RunRecord> newestBase(const std::string& setName, const std::string& folder);
    // The manifest of a run, keyed by path: one query.
    std::unordered_map<std::string, ManifestRow> manifest(int64_t runId);
    // The same rows one at a time, in path order, without holding them all: one query.
    void forEachManifestRow(int64_t runId, const std::function<void(const ManifestRow&)>& visit);
    // The runs whose archives a run's manifest refers to.
    std::vector<int64_t> archiveRunsOf(int64_t manifestRun);

    // Records one run (and, when manifestRun is 0, its manifest as this run's own) in one
    // transaction; returns its id. beforeCommit is called inside the transaction.
    int64_t recordRun(RunRecord run, const std::vector<ManifestRow>& manifest,
                      const std::function<void()>& beforeCommit = {});
    // The same, with the manifest handed over one row at a time: nextRow fills in the next
    // row and returns true, or returns false after the last one.
    int64_t recordRun(RunRecord run, const std::function<bool(ManifestRow&)>& nextRow,
                      const std::function<void()>& beforeCommit = {});
    // Removes runs and their manifests in one transaction.
    void deleteRuns(const std::vector<int64_t>& ids);

private:
    void open();
    void createSchema();
    void exec(const char* sql);

    std::string m_path;
    std::string m_movedAside;
    sqlite3* m_db = nullptr;
};

} // namespace stowkeep::engine
