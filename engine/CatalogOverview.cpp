#include "Catalog.h"

#include "CatalogSql.h"

#include <filesystem>

namespace stowkeep::engine {

using namespace catalog;

namespace {

constexpr const char* kColumns = "id, start_time, end_time, kind, archive, result, files, bytes, verified, failure";

RunRecord readOverviewRun(const Statement& s, const std::string& setName, const std::string& folder)
{
    RunRecord r;
    r.id = s.integer(0);
    r.setName = setName;
    r.folder = folder;
    r.startTime = s.integer(1);
    r.endTime = s.integer(2);
    r.kind = s.text(3);
    r.archive = s.text(4);
    r.result = static_cast<int32_t>(s.integer(5));
    r.files = static_cast<uint64_t>(s.integer(6));
    r.bytes = static_cast<uint64_t>(s.integer(7));
    if (!s.isNull(8))
        r.verified = s.integer(8) != 0;
    r.failure = s.text(9);
    return r;
}

std::optional<RunRecord> newest(sqlite3* db, const std::string& setName, const std::string& folder, bool successful)
{
    Statement s(db, std::string("SELECT ") + kColumns + " FROM runs WHERE set_name = ? AND folder = ?" +
                        (successful ? " AND result = 0" : "") + " ORDER BY start_time DESC, id DESC LIMIT 1");
    s.bind(1, setName);
    s.bind(2, folder);
    if (!s.step())
        return std::nullopt;
    return readOverviewRun(s, setName, folder);
}

// The run's manifest rows that are not folders (a run's files count counts folders too).
uint64_t fileCount(sqlite3* db, const RunRecord& run)
{
    Statement manifest(db, "SELECT manifest_run FROM runs WHERE id = ?");
    manifest.bind(1, run.id);
    if (!manifest.step() || manifest.integer(0) == 0)
        return run.files;
    Statement count(db, "SELECT COUNT(*) FROM entries JOIN lines ON lines.id = entries.line"
                        " WHERE lines.set_name = ?1 AND lines.folder = ?2 AND until > ?3 AND since <= ?3"
                        " AND kind <> ?4");
    count.bind(1, run.setName);
    count.bind(2, run.folder);
    count.bind(3, manifest.integer(0));
    count.bind(4, static_cast<int64_t>(ManifestKind::Directory));
    return count.step() ? static_cast<uint64_t>(count.integer(0)) : run.files;
}

} // namespace

RunOverview readRunOverview(const std::string& catalogFolder, const std::string& setName, const std::string& folder)
{
    RunOverview overview;
    const std::string path = (std::filesystem::path(catalogFolder) / "catalog.db").string();
    sqlite3* db = nullptr;
    // Opened for reading and writing (a reader of a WAL database may need to write its
    // shared-memory index), never created.
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return overview;
    }
    sqlite3_busy_timeout(db, 2000);
    try {
        overview.latest = newest(db, setName, folder, false);
        if (overview.latest) {
            overview.latestSuccessful =
                overview.latest->result == 0 ? overview.latest : newest(db, setName, folder, true);
            if (overview.latestSuccessful)
                overview.successfulFiles = fileCount(db, *overview.latestSuccessful);
            Statement first(db, "SELECT MIN(start_time) FROM runs WHERE set_name = ? AND folder = ?");
            first.bind(1, setName);
            first.bind(2, folder);
            if (first.step())
                overview.firstStart = first.integer(0);
        }
    } catch (const CatalogError&) {
        overview = {};
    }
    sqlite3_close_v2(db);
    return overview;
}

} // namespace stowkeep::engine
