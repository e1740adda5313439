#include "Catalog.h"

#include "CatalogSql.h"

#include <filesystem>

namespace stowkeep::engine {

using namespace catalog;

namespace {

// The queries of an overview, prepared once for every set asked about.
class OverviewQueries
{
public:
    explicit OverviewQueries(sqlite3* db)
        : m_newest(db, std::string("SELECT ") + kRunColumns +
                           " FROM runs WHERE set_name = ? AND folder = ? ORDER BY start_time DESC, id DESC LIMIT 1"),
          m_newestSuccessful(db, std::string("SELECT ") + kRunColumns +
                                     " FROM runs WHERE set_name = ? AND folder = ? AND result = 0"
                                     " ORDER BY start_time DESC, id DESC LIMIT 1"),
          m_first(db, "SELECT MIN(start_time) FROM runs WHERE set_name = ? AND folder = ?"),
          m_manifest(db, "SELECT manifest_run FROM runs WHERE id = ?"),
          // A run's files count counts folders too.
          m_files(db, "SELECT COUNT(*) FROM entries JOIN lines ON lines.id = entries.line"
                      " WHERE lines.set_name = ?1 AND lines.folder = ?2 AND until > ?3 AND since <= ?3"
                      " AND kind <> ?4")
    {
    }

    RunOverview read(const std::string& setName, const std::string& folder)
    {
        RunOverview overview;
        overview.latest = newest(m_newest, setName, folder);
        if (!overview.latest)
            return overview;
        overview.latestSuccessful =
            overview.latest->result == 0 ? overview.latest : newest(m_newestSuccessful, setName, folder);
        if (overview.latestSuccessful)
            overview.successfulFiles = fileCount(*overview.latestSuccessful);
        m_first.bind(1, setName);
        m_first.bind(2, folder);
        if (m_first.step())
            overview.firstStart = m_first.integer(0);
        m_first.reset();
        return overview;
    }

private:
    static std::optional<RunRecord> newest(Statement& s, const std::string& setName, const std::string& folder)
    {
        s.bind(1, setName);
        s.bind(2, folder);
        std::optional<RunRecord> run;
        if (s.step())
            run = readRun(s);
        s.reset();
        return run;
    }

    uint64_t fileCount(const RunRecord& run)
    {
        m_manifest.bind(1, run.id);
        const int64_t manifestRun = m_manifest.step() ? m_manifest.integer(0) : 0;
        m_manifest.reset();
        if (manifestRun == 0)
            return run.files;
        m_files.bind(1, run.setName);
        m_files.bind(2, run.folder);
        m_files.bind(3, manifestRun);
        m_files.bind(4, static_cast<int64_t>(ManifestKind::Directory));
        const uint64_t count = m_files.step() ? static_cast<uint64_t>(m_files.integer(0)) : run.files;
        m_files.reset();
        return count;
    }

    Statement m_newest;
    Statement m_newestSuccessful;
    Statement m_first;
    Statement m_manifest;
    Statement m_files;
};

// Opens folder/catalog.db for reading and writing (a reader of a WAL database may need to
// write its shared-memory index), never creating it, and runs `read` on it; false when it
// cannot be opened or read.
template <typename Read> bool readCatalog(const std::string& catalogFolder, Read read)
{
    const std::string path = (std::filesystem::path(catalogFolder) / "catalog.db").string();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return false;
    }
    sqlite3_busy_timeout(db, 2000);
    bool done = true;
    try {
        read(db);
    } catch (const CatalogError&) {
        done = false;
    }
    sqlite3_close_v2(db);
    return done;
}

} // namespace

std::vector<RunOverview> readRunOverviews(const std::string& catalogFolder, const std::vector<SetInFolder>& sets)
{
    std::vector<RunOverview> overviews(sets.size());
    const bool read = readCatalog(catalogFolder, [&](sqlite3* db) {
        OverviewQueries queries(db);
        for (size_t i = 0; i < sets.size(); ++i)
            overviews[i] = queries.read(sets[i].setName, sets[i].folder);
    });
    if (!read)
        overviews.assign(sets.size(), RunOverview());
    return overviews;
}

std::vector<SetInFolder> readRestorableSets(const std::string& catalogFolder)
{
    std::vector<SetInFolder> sets;
    const bool read = readCatalog(catalogFolder, [&](sqlite3* db) {
        Statement s(db, "SELECT DISTINCT set_name, folder FROM runs WHERE manifest_run <> 0 ORDER BY set_name, folder");
        while (s.step())
            sets.push_back({s.text(0), s.text(1)});
    });
    if (!read)
        sets.clear();
    return sets;
}

} // namespace stowkeep::engine
