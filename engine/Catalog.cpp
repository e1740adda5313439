#include "Catalog.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace stowkeep::engine {

namespace fs = std::filesystem;

namespace {

// A prepared statement, finalized when it leaves scope.
class Statement
{
public:
    Statement(sqlite3* db, const char* sql) : m_db(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            throw CatalogError(std::string("catalog query failed: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int i, int64_t v) { check(sqlite3_bind_int64(m_stmt, i, v)); }
    void bind(int i, const std::string& v)
    {
        check(sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    void bindNull(int i) { check(sqlite3_bind_null(m_stmt, i)); }

    // True while there is a row.
    bool step()
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        throw CatalogError(std::string("catalog query failed: ") + sqlite3_errmsg(m_db));
    }
    void reset()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }

    int64_t integer(int col) const { return sqlite3_column_int64(m_stmt, col); }
    bool isNull(int col) const { return sqlite3_column_type(m_stmt, col) == SQLITE_NULL; }
    std::string text(int col) const
    {
        const auto* p = sqlite3_column_text(m_stmt, col);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(m_stmt, col)))
                 : std::string();
    }

private:
    void check(int rc)
    {
        if (rc != SQLITE_OK)
            throw CatalogError(std::string("catalog query failed: ") + sqlite3_errmsg(m_db));
    }

    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

constexpr const char* kRunColumns =
    "id, set_name, folder, start_time, end_time, kind, archive, result, files, bytes, "
    "files_written, bytes_read, bytes_written, verified, manifest_run";

RunRecord readRun(const Statement& s)
{
    RunRecord r;
    r.id = s.integer(0);
    r.setName = s.text(1);
    r.folder = s.text(2);
    r.startTime = s.integer(3);
    r.endTime = s.integer(4);
    r.kind = s.text(5);
    r.archive = s.text(6);
    r.result = static_cast<int32_t>(s.integer(7));
    r.files = static_cast<uint64_t>(s.integer(8));
    r.bytes = static_cast<uint64_t>(s.integer(9));
    r.filesWritten = static_cast<uint64_t>(s.integer(10));
    r.bytesRead = static_cast<uint64_t>(s.integer(11));
    r.bytesWritten = static_cast<uint64_t>(s.integer(12));
    if (!s.isNull(13))
        r.verified = s.integer(13) != 0;
    r.manifestRun = s.integer(14);
    return r;
}

} // namespace

Catalog::Catalog(const std::string& folder, const std::string& stamp)
{
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec)
        throw CatalogError("cannot create the catalog folder " + folder + ": " + ec.message());
    m_path = (fs::path(folder) / "catalog.db").string();
    try {
        open();
    } catch (const CatalogError&) {
        const int code = m_db ? sqlite3_errcode(m_db) : SQLITE_ERROR;
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        if (code != SQLITE_NOTADB && code != SQLITE_CORRUPT)
            throw;
        // Not a database: keep it for whoever wants to look, and begin a new one.
        std::string aside = m_path + ".corrupt-" + stamp;
        for (int n = 2; fs::exists(aside, ec); ++n)
            aside = m_path + ".corrupt-" + stamp + "-" + std::to_string(n);
        fs::rename(m_path, aside, ec);
        if (ec)
            throw CatalogError("cannot move the damaged catalog " + m_path + " aside: " + ec.message());
        for (const char* extra : {"-wal", "-shm"}) {
            if (fs::exists(m_path + extra, ec))
                fs::rename(m_path + extra, aside + extra, ec);
        }
        m_movedAside = aside;
        open();
    }
}

Catalog::~Catalog()
{
    sqlite3_close_v2(m_db);
}

void Catalog::open()
{
    if (sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        throw CatalogError("cannot open the catalog " + m_path + ": " +
                           (m_db ? sqlite3_errmsg(m_db) : "out of memory"));
    }
    sqlite3_extended_result_codes(m_db, 0);
    sqlite3_busy_timeout(m_db, 10000);
    // A power cut never loses a committed run nor shows half of one.
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA foreign_keys=OFF");
    createSchema();
}

void Catalog::exec(const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = error ? error : "unknown error";
        sqlite3_free(error);
        throw CatalogError("catalog error in " + m_path + ": " + text);
    }
}

void Catalog::createSchema()
{
    exec("CREATE TABLE IF NOT EXISTS runs("
         " id INTEGER PRIMARY KEY AUTOINCREMENT,"
         " set_name TEXT NOT NULL, folder TEXT NOT NULL,"
         " start_time INTEGER NOT NULL, end_time INTEGER NOT NULL,"
         " kind TEXT NOT NULL, archive TEXT, result INTEGER NOT NULL,"
         " files INTEGER NOT NULL, bytes INTEGER NOT NULL,"
         " files_written INTEGER NOT NULL, bytes_read INTEGER NOT NULL, bytes_written INTEGER NOT NULL,"
         " verified INTEGER, manifest_run INTEGER NOT NULL);"
         "CREATE INDEX IF NOT EXISTS runs_by_set ON runs(set_name, folder, start_time);"
         "CREATE TABLE IF NOT EXISTS manifest("
         " run_id INTEGER NOT NULL, path TEXT NOT NULL, kind INTEGER NOT NULL,"
         " size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, crc INTEGER NOT NULL,"
         " archive_run INTEGER NOT NULL,"
         " PRIMARY KEY(run_id, path)) WITHOUT ROWID;");
}

std::vector<RunRecord> Catalog::runs(const std::string& setName, const std::string& folder)
{
    Statement s(m_db, (std::string("SELECT ") + kRunColumns +
                       " FROM runs WHERE set_name = ? AND folder = ? ORDER BY start_time, id").c_str());
    s.bind(1, setName);
    s.bind(2, folder);
    std::vector<RunRecord> result;
    while (s.step())
        result.push_back(readRun(s));
    return result;
}

std::optional<RunRecord> Catalog::newestBase(const std::string& setName, const std::string& folder)
{
    // A run whose archive is complete and not known to be damaged: a clean one, or one
    // that skipped unreadable files (its manifest lists only what it holds).
    Statement s(m_db, (std::string("SELECT ") + kRunColumns +
                       " FROM runs WHERE set_name = ? AND folder = ? AND result IN (0, 5)"
                       " AND (verified IS NULL OR verified = 1)"
                       " ORDER BY start_time DESC, id DESC LIMIT 1").c_str());
    s.bind(1, setName);
    s.bind(2, folder);
    if (!s.step())
        return std::nullopt;
    return readRun(s);
}

std::unordered_map<std::string, ManifestRow> Catalog::manifest(int64_t runId)
{
    std::unordered_map<std::string, ManifestRow> rows;
    forEachManifestRow(runId, [&rows](const ManifestRow& r) { rows.emplace(r.path, r); });
    return rows;
}

void Catalog::forEachManifestRow(int64_t runId, const std::function<void(const ManifestRow&)>& visit)
{
    Statement s(m_db, "SELECT path, kind, size, mtime_ns, crc, archive_run FROM manifest WHERE run_id = ?"
                      " ORDER BY path");
    s.bind(1, runId);
    ManifestRow r;
    while (s.step()) {
        r.path = s.text(0);
        r.kind = static_cast<ManifestKind>(s.integer(1));
        r.size = static_cast<uint64_t>(s.integer(2));
        r.mtimeNs = s.integer(3);
        r.crc = static_cast<uint32_t>(s.integer(4));
        r.archiveRun = s.integer(5);
        visit(r);
    }
}

std::vector<int64_t> Catalog::archiveRunsOf(int64_t manifestRun)
{
    Statement s(m_db, "SELECT DISTINCT archive_run FROM manifest WHERE run_id = ?");
    s.bind(1, manifestRun);
    std::vector<int64_t> ids;
    while (s.step())
        ids.push_back(s.integer(0));
    return ids;
}

int64_t Catalog::recordRun(RunRecord run, const std::vector<ManifestRow>& manifest,
                           const std::function<void()>& beforeCommit)
{
    size_t next = 0;
    return recordRun(
        std::move(run),
        [&](ManifestRow& row) {
            if (next == manifest.size())
                return false;
            row = manifest[next++];
            return true;
        },
        beforeCommit);
}

int64_t Catalog::recordRun(RunRecord run, const std::function<bool(ManifestRow&)>& nextRow,
                           const std::function<void()>& beforeCommit)
{
    exec("BEGIN IMMEDIATE");
    try {
        Statement insert(m_db,
                         "INSERT INTO runs(set_name, folder, start_time, end_time, kind, archive, result, files,"
                         " bytes, files_written, bytes_read, bytes_written, verified, manifest_run)"
                         " VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        insert.bind(1, run.setName);
        insert.bind(2, run.folder);
        insert.bind(3, run.startTime);
        insert.bind(4, run.endTime);
        insert.bind(5, run.kind);
        if (run.archive.empty())
            insert.bindNull(6);
        else
            insert.bind(6, run.archive);
        insert.bind(7, run.result);
        insert.bind(8, static_cast<int64_t>(run.files));
        insert.bind(9, static_cast<int64_t>(run.bytes));
        insert.bind(10, static_cast<int64_t>(run.filesWritten));
        insert.bind(11, static_cast<int64_t>(run.bytesRead));
        insert.bind(12, static_cast<int64_t>(run.bytesWritten));
        if (run.verified)
            insert.bind(13, *run.verified ? 1 : 0);
        else
            insert.bindNull(13);
        insert.bind(14, run.manifestRun);
        insert.step();
        const int64_t id = sqlite3_last_insert_rowid(m_db);

        if (run.manifestRun == 0) {
            Statement self(m_db, "UPDATE runs SET manifest_run = id WHERE id = ?");
            self.bind(1, id);
            self.step();
            Statement row(m_db, "INSERT INTO manifest(run_id, path, kind, size, mtime_ns, crc, archive_run)"
                                " VALUES(?,?,?,?,?,?,?)");
            ManifestRow m;
            while (nextRow(m)) {
                row.bind(1, id);
                row.bind(2, m.path);
                row.bind(3, static_cast<int64_t>(m.kind));
                row.bind(4, static_cast<int64_t>(m.size));
                row.bind(5, m.mtimeNs);
                row.bind(6, static_cast<int64_t>(m.crc));
                row.bind(7, m.archiveRun == 0 ? id : m.archiveRun);
                row.step();
                row.reset();
            }
        }
        if (beforeCommit)
            beforeCommit();
        exec("COMMIT");
        return id;
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Catalog::deleteRuns(const std::vector<int64_t>& ids)
{
    if (ids.empty())
        return;
    exec("BEGIN IMMEDIATE");
    try {
        Statement run(m_db, "DELETE FROM runs WHERE id = ?");
        Statement rows(m_db, "DELETE FROM manifest WHERE run_id = ?");
        for (int64_t id : ids) {
            run.bind(1, id);
            run.step();
            run.reset();
            rows.bind(1, id);
            rows.step();
            rows.reset();
        }
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

} // namespace stowkeep::engine
