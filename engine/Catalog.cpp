#include "Catalog.h"

#include "CatalogSql.h"
#include "PrivateFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <unordered_map>

namespace stowkeep::engine {

namespace fs = std::filesystem;
using namespace catalog;

namespace {

constexpr int kSchemaVersion = 3;

} // namespace

RunRecord catalog::readRun(const Statement& s)
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
    if (!s.isNull(15))
        r.checked = s.integer(15);
    r.medium = s.text(16);
    r.mediumMount = s.text(17);
    r.failure = s.text(18);
    return r;
}

Catalog::Catalog(const std::string& folder, const std::string& stamp)
{
    std::error_code ec;
    makePrivateFolder(folder, ec);
    if (ec)
        throw CatalogError("the catalog folder " + folder + " cannot be used: " + ec.message());
    m_path = (fs::path(folder) / "catalog.db").string();
    m_created = !fs::exists(m_path, ec);
    try {
        open();
    } catch (const CatalogError& e) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        if (!e.damaged() || !fs::exists(m_path, ec))
            throw;
        // Kept for whoever wants to look; the runs it knew are rebuilt from the archives.
        m_movedAside = moveAside(m_path, stamp);
        m_converted = false;
        open();
    }
}

Catalog::Catalog(const std::string& folder, ReadOnly) : m_readOnly(true)
{
    m_path = (fs::path(folder) / "catalog.db").string();
    std::error_code ec;
    if (!fs::is_regular_file(m_path, ec))
        throw CatalogError("there is no catalog " + m_path);
    try {
        open();
    } catch (...) {
        sqlite3_close_v2(m_db);
        throw;
    }
}

Catalog::~Catalog()
{
    sqlite3_close_v2(m_db);
}

std::string Catalog::moveAside(const std::string& path, const std::string& stamp)
{
    std::error_code ec;
    std::string aside = path + ".corrupt-" + stamp;
    for (int n = 2; fs::exists(aside, ec); ++n)
        aside = path + ".corrupt-" + stamp + "-" + std::to_string(n);
    fs::rename(path, aside, ec);
    if (ec)
        throw CatalogError("cannot move the damaged catalog " + path + " aside: " + ec.message());
    for (const char* extra : {"-wal", "-shm"}) {
        if (fs::exists(path + extra, ec))
            fs::rename(path + extra, aside + extra, ec);
    }
    return aside;
}

void Catalog::fail(const std::string& what) const
{
    throw sqlError(m_db, what + " in " + m_path);
}

void Catalog::open()
{
    // SQLite would make the file readable to all; its journal files take the file's mode.
    if (!m_readOnly) {
        if (const int fd = openPrivateFile(m_path, O_RDWR); fd >= 0)
            ::close(fd);
        for (const char* extra : {"-wal", "-shm"})
            restrictFile(m_path + extra);
    }
    const int flags = m_readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    const int rc = sqlite3_open_v2(m_path.c_str(), &m_db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        // A file that cannot be opened at all counts as damaged: a new catalog takes its place.
        throw CatalogError("cannot open the catalog " + m_path + ": " + (m_db ? sqlite3_errmsg(m_db) : "out of memory"),
                           isDamage(rc) || rc == SQLITE_CANTOPEN);
    }
    sqlite3_extended_result_codes(m_db, 0);
    sqlite3_busy_timeout(m_db, 10000);
    if (m_readOnly) {
        Statement version(m_db, "PRAGMA user_version");
        if (!version.step() || version.integer(0) != kSchemaVersion)
            throw CatalogError("the catalog " + m_path + " is of another version");
        return;
    }
    // A power cut never loses a committed run nor shows half of one.
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA foreign_keys=OFF");
    createSchema();
}

void Catalog::exec(const char* sql)
{
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        fail("catalog error");
}

void Catalog::createSchema()
{
    Statement version(m_db, "PRAGMA user_version");
    version.step();
    const int64_t current = version.integer(0);
    version.reset();
    if (current == kSchemaVersion)
        return;
    if (current > kSchemaVersion)
        throw CatalogError("the catalog " + m_path + " was written by a newer version of Stowkeep");

    Transaction t(m_db);
    if (current == 2) {
        addVersion3Columns(true);
        exec("PRAGMA user_version = 3");
        t.commit();
        return;
    }
    exec("CREATE TABLE IF NOT EXISTS runs("
         " id INTEGER PRIMARY KEY AUTOINCREMENT,"
         " set_name TEXT NOT NULL, folder TEXT NOT NULL,"
         " start_time INTEGER NOT NULL, end_time INTEGER NOT NULL,"
         " kind TEXT NOT NULL, archive TEXT, result INTEGER NOT NULL,"
         " files INTEGER NOT NULL, bytes INTEGER NOT NULL,"
         " files_written INTEGER NOT NULL, bytes_read INTEGER NOT NULL, bytes_written INTEGER NOT NULL,"
         " verified INTEGER, manifest_run INTEGER NOT NULL,"
         " checked INTEGER, medium TEXT, medium_mount TEXT, failure TEXT);"
         "CREATE INDEX IF NOT EXISTS runs_by_set ON runs(set_name, folder, start_time);"
         "CREATE TABLE IF NOT EXISTS lines("
         " id INTEGER PRIMARY KEY, set_name TEXT NOT NULL, folder TEXT NOT NULL,"
         " recheck_bytes INTEGER NOT NULL DEFAULT 0, recheck_time INTEGER, UNIQUE(set_name, folder));"
         "CREATE TABLE IF NOT EXISTS dirs(id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE);"
         "CREATE TABLE IF NOT EXISTS entries("
         " line INTEGER NOT NULL, until INTEGER NOT NULL, dir INTEGER NOT NULL, name TEXT NOT NULL,"
         " since INTEGER NOT NULL, kind INTEGER NOT NULL, size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL,"
         " mode INTEGER NOT NULL, crc INTEGER NOT NULL, archive_run INTEGER NOT NULL, link TEXT,"
         " PRIMARY KEY(line, until, dir, name)) WITHOUT ROWID;"
         "CREATE TABLE IF NOT EXISTS pending("
         " folder TEXT NOT NULL, name TEXT NOT NULL, PRIMARY KEY(folder, name)) WITHOUT ROWID;"
         "CREATE TABLE IF NOT EXISTS examined("
         " folder TEXT NOT NULL, name TEXT NOT NULL, size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL,"
         " PRIMARY KEY(folder, name)) WITHOUT ROWID;");
    Statement old(m_db, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'manifest'");
    old.step();
    const bool fromVersion1 = old.integer(0) != 0;
    old.reset();
    if (fromVersion1)
        convertFromVersion1();
    exec("PRAGMA user_version = 3");
    t.commit();
    if (fromVersion1) {
        m_converted = true;
        // Gives back the space of the old manifests; the catalog works as well without.
        sqlite3_exec(m_db, "VACUUM", nullptr, nullptr, nullptr);
    }
}

// Version 1 kept every run's whole manifest, keyed by path. Each line's manifests go in
// as differences, oldest first; modes and link targets were not recorded (mode 0).
void Catalog::convertFromVersion1()
{
    addVersion3Columns(false);
    Statement sets(m_db, "SELECT DISTINCT set_name, folder FROM runs");
    while (sets.step()) {
        const std::string setName = sets.text(0);
        const std::string folder = sets.text(1);
        const int64_t line = lineOf(setName, folder, true);
        std::unordered_map<int64_t, std::string> archives;
        std::vector<std::pair<int64_t, int32_t>> owners;
        Statement runs(m_db, "SELECT id, archive, result, manifest_run FROM runs WHERE set_name = ? AND folder = ?"
                             " ORDER BY id");
        runs.bind(1, setName);
        runs.bind(2, folder);
        while (runs.step()) {
            if (!runs.isNull(1))
                archives[runs.integer(0)] = runs.text(1);
            if (runs.integer(3) == runs.integer(0))
                owners.emplace_back(runs.integer(0), static_cast<int32_t>(runs.integer(2)));
        }
        Statement noManifest(m_db, "UPDATE runs SET manifest_run = 0 WHERE id = ?");
        for (const auto& [id, result] : owners) {
            // Failed runs owned an empty manifest; they have none now.
            if (result != 0 && result != 5 && result != 7) {
                noManifest.bind(1, id);
                noManifest.run();
                continue;
            }
            Statement rows(m_db, "SELECT path, kind, size, mtime_ns, crc, archive_run FROM manifest WHERE run_id = ?");
            rows.bind(1, id);
            storeManifest(line, id, setName, folder, [&](ManifestRow& row) {
                if (!rows.step())
                    return false;
                rows.text(0, row.path);
                row.kind = static_cast<ManifestKind>(rows.integer(1));
                row.size = static_cast<uint64_t>(rows.integer(2));
                row.mtimeNs = rows.integer(3);
                row.mode = 0;
                row.crc = static_cast<uint32_t>(rows.integer(4));
                row.linkTarget.clear();
                const auto it = archives.find(rows.integer(5));
                row.archive = it == archives.end() ? std::string() : it->second;
                return true;
            });
        }
    }
    exec("DROP TABLE manifest");
}

// Which filesystem held the archives was not recorded before version 3: the next successful
// run records it. A verified archive counts as checked when its run ended.
void Catalog::addVersion3Columns(bool linesToo)
{
    exec("ALTER TABLE runs ADD COLUMN checked INTEGER;"
         "ALTER TABLE runs ADD COLUMN medium TEXT;"
         "ALTER TABLE runs ADD COLUMN medium_mount TEXT;"
         "ALTER TABLE runs ADD COLUMN failure TEXT;"
         "UPDATE runs SET checked = end_time WHERE verified = 1;");
    if (linesToo)
        exec("ALTER TABLE lines ADD COLUMN recheck_bytes INTEGER NOT NULL DEFAULT 0;"
             "ALTER TABLE lines ADD COLUMN recheck_time INTEGER;");
}

int64_t Catalog::lineOf(const std::string& setName, const std::string& folder, bool create)
{
    Statement find(m_db, "SELECT id FROM lines WHERE set_name = ? AND folder = ?");
    find.bind(1, setName);
    find.bind(2, folder);
    if (find.step())
        return find.integer(0);
    if (!create)
        return 0;
    Statement insert(m_db, "INSERT INTO lines(set_name, folder) VALUES(?, ?)");
    insert.bind(1, setName);
    insert.bind(2, folder);
    insert.step();
    return sqlite3_last_insert_rowid(m_db);
}

int64_t Catalog::lineOfRun(int64_t runId)
{
    Statement s(m_db, "SELECT l.id FROM runs r JOIN lines l ON l.set_name = r.set_name AND l.folder = r.folder"
                      " WHERE r.id = ?");
    s.bind(1, runId);
    return s.step() ? s.integer(0) : 0;
}

std::vector<RunRecord> Catalog::runs(const std::string& setName, const std::string& folder)
{
    Statement s(m_db, std::string("SELECT ") + kRunColumns +
                          " FROM runs WHERE set_name = ? AND folder = ? ORDER BY start_time, id");
    s.bind(1, setName);
    s.bind(2, folder);
    std::vector<RunRecord> result;
    while (s.step())
        result.push_back(readRun(s));
    return result;
}

std::optional<RunRecord> Catalog::newestBase(const std::string& setName, const std::string& folder, int64_t notAfter)
{
    // A run whose archive is complete and not known to be damaged: a clean one, or one
    // that skipped unreadable files (its manifest lists only what it holds).
    Statement s(m_db, std::string("SELECT ") + kRunColumns +
                          " FROM runs WHERE set_name = ? AND folder = ? AND result IN (0, 5)"
                          " AND (verified IS NULL OR verified = 1) AND manifest_run <> 0 AND start_time <= ?"
                          " ORDER BY start_time DESC, id DESC LIMIT 1");
    s.bind(1, setName);
    s.bind(2, folder);
    s.bind(3, notAfter);
    if (!s.step())
        return std::nullopt;
    return readRun(s);
}

std::vector<std::string> Catalog::archivesIn(const std::string& folder)
{
    Statement s(m_db, "SELECT archive FROM runs WHERE folder = ? AND archive IS NOT NULL");
    s.bind(1, folder);
    std::vector<std::string> names;
    while (s.step())
        names.push_back(s.text(0));
    return names;
}

int64_t Catalog::recordRun(RunRecord run, const std::function<bool(ManifestRow&)>& nextRow,
                           const std::function<void()>& beforeCommit)
{
    Transaction t(m_db);
    Statement insert(m_db, "INSERT INTO runs(set_name, folder, start_time, end_time, kind, archive, result, files,"
                           " bytes, files_written, bytes_read, bytes_written, verified, manifest_run, checked,"
                           " medium, medium_mount, failure) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
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
    insert.bind(14, nextRow ? 0 : run.manifestRun);
    if (run.checked)
        insert.bind(15, *run.checked);
    else
        insert.bindNull(15);
    for (const auto& [column, text] :
         {std::pair {16, &run.medium}, std::pair {17, &run.mediumMount}, std::pair {18, &run.failure}}) {
        if (text->empty())
            insert.bindNull(column);
        else
            insert.bind(column, *text);
    }
    insert.step();
    const int64_t id = sqlite3_last_insert_rowid(m_db);
    if (id >= kOpen)
        throw CatalogError("the catalog " + m_path + " has run out of run numbers");

    if (nextRow) {
        storeManifest(lineOf(run.setName, run.folder, true), id, run.setName, run.folder, nextRow);
        Statement self(m_db, "UPDATE runs SET manifest_run = id WHERE id = ?");
        self.bind(1, id);
        self.step();
    }
    if (beforeCommit)
        beforeCommit();
    t.commit();
    return id;
}

void Catalog::deleteRuns(const std::vector<int64_t>& ids, const std::vector<int64_t>& forget)
{
    if (ids.empty())
        return;
    Transaction t(m_db);
    Statement drop(m_db, "UPDATE runs SET manifest_run = 0 WHERE manifest_run = ?");
    for (const int64_t owner : forget) {
        drop.bind(1, owner);
        drop.run();
    }
    std::vector<std::pair<std::string, std::string>> lines;
    Statement which(m_db, "SELECT DISTINCT set_name, folder FROM runs WHERE id = ?");
    Statement remove(m_db, "DELETE FROM runs WHERE id = ?");
    for (int64_t id : ids) {
        which.bind(1, id);
        if (which.step()) {
            std::pair<std::string, std::string> line {which.text(0), which.text(1)};
            if (std::find(lines.begin(), lines.end(), line) == lines.end())
                lines.push_back(std::move(line));
        }
        which.reset();
        remove.bind(1, id);
        remove.run();
    }
    for (const auto& [setName, folder] : lines)
        if (const int64_t line = lineOf(setName, folder, false))
            collectGarbage(line, setName, folder);
    t.commit();
}

void Catalog::noteVerification(int64_t runId, bool passed, int64_t when)
{
    Statement s(m_db, passed ? "UPDATE runs SET verified = 1, checked = ?2 WHERE id = ?1"
                             : "UPDATE runs SET verified = 0 WHERE id = ?1");
    s.bind(1, runId);
    if (passed)
        s.bind(2, when);
    s.step();
}

Catalog::RecheckBudget Catalog::recheckBudget(const std::string& setName, const std::string& folder)
{
    Statement s(m_db, "SELECT recheck_bytes, recheck_time FROM lines WHERE set_name = ? AND folder = ?");
    s.bind(1, setName);
    s.bind(2, folder);
    RecheckBudget budget;
    if (s.step()) {
        budget.bytes = static_cast<uint64_t>(std::max<int64_t>(s.integer(0), 0));
        if (!s.isNull(1))
            budget.time = s.integer(1);
    }
    return budget;
}

void Catalog::setRecheckBudget(const std::string& setName, const std::string& folder, const RecheckBudget& budget)
{
    const int64_t line = lineOf(setName, folder, true);
    Statement s(m_db, "UPDATE lines SET recheck_bytes = ?, recheck_time = ? WHERE id = ?");
    s.bind(1, static_cast<int64_t>(budget.bytes));
    if (budget.time)
        s.bind(2, *budget.time);
    else
        s.bindNull(2);
    s.bind(3, line);
    s.step();
}

void Catalog::notePending(const std::string& folder, const std::string& name)
{
    Statement s(m_db, "INSERT OR REPLACE INTO pending(folder, name) VALUES(?, ?)");
    s.bind(1, folder);
    s.bind(2, name);
    s.step();
}

void Catalog::clearPending(const std::string& folder, const std::string& name)
{
    Statement s(m_db, "DELETE FROM pending WHERE folder = ? AND name = ?");
    s.bind(1, folder);
    s.bind(2, name);
    s.step();
}

std::vector<std::string> Catalog::pending(const std::string& folder)
{
    Statement s(m_db, "SELECT name FROM pending WHERE folder = ?");
    s.bind(1, folder);
    std::vector<std::string> names;
    while (s.step())
        names.push_back(s.text(0));
    return names;
}

bool Catalog::wasExamined(const std::string& folder, const std::string& name, uint64_t size, int64_t mtimeNs)
{
    Statement s(m_db, "SELECT size = ? AND mtime_ns = ? FROM examined WHERE folder = ? AND name = ?");
    s.bind(1, static_cast<int64_t>(size));
    s.bind(2, mtimeNs);
    s.bind(3, folder);
    s.bind(4, name);
    return s.step() && s.integer(0) != 0;
}

void Catalog::noteExamined(const std::string& folder, const std::string& name, uint64_t size, int64_t mtimeNs)
{
    Statement s(m_db, "INSERT OR REPLACE INTO examined(folder, name, size, mtime_ns) VALUES(?, ?, ?, ?)");
    s.bind(1, folder);
    s.bind(2, name);
    s.bind(3, static_cast<int64_t>(size));
    s.bind(4, mtimeNs);
    s.step();
}

} // namespace stowkeep::engine
