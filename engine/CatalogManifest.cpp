// The catalog's manifests: stored as differences between the runs of a line, read back
// as any run's whole list.

#include "Catalog.h"

#include "CatalogSql.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace stowkeep::engine {

using namespace catalog;

namespace {

// Folder paths by id and ids by path, looked up once each.
class DirTable
{
public:
    explicit DirTable(sqlite3* db)
        : m_find(db, "SELECT id FROM dirs WHERE path = ?"), m_insert(db, "INSERT INTO dirs(path) VALUES(?)"),
          m_path(db, "SELECT path FROM dirs WHERE id = ?"), m_db(db)
    {
    }

    int64_t idOf(const std::string& path)
    {
        const auto it = m_ids.find(path);
        if (it != m_ids.end())
            return it->second;
        m_find.bind(1, path);
        int64_t id = 0;
        if (m_find.step()) {
            id = m_find.integer(0);
        } else {
            m_insert.bind(1, path);
            m_insert.run();
            id = sqlite3_last_insert_rowid(m_db);
        }
        m_find.reset();
        m_ids.emplace(path, id);
        return id;
    }

    const std::string& pathOf(int64_t id)
    {
        if (id == m_lastId)
            return m_lastPath;
        m_path.bind(1, id);
        m_lastPath = m_path.step() ? m_path.text(0) : std::string();
        m_path.reset();
        m_lastId = id;
        return m_lastPath;
    }

private:
    Statement m_find;
    Statement m_insert;
    Statement m_path;
    sqlite3* m_db;
    std::unordered_map<std::string, int64_t> m_ids;
    int64_t m_lastId = -1;
    std::string m_lastPath;
};

// A row as stored, without its place in the line.
struct Stored
{
    int kind = 0;
    int64_t size = 0;
    int64_t mtimeNs = 0;
    int64_t mode = 0;
    int64_t crc = 0;
    int64_t archiveRun = 0;
    bool hasLink = false;
    std::string link;
    bool seen = false;

    bool sameAs(const Stored& o) const
    {
        return kind == o.kind && size == o.size && mtimeNs == o.mtimeNs && mode == o.mode && crc == o.crc &&
               archiveRun == o.archiveRun && hasLink == o.hasLink && link == o.link;
    }
};

std::string key(int64_t dir, const std::string& name)
{
    std::string k(sizeof dir, '\0');
    std::memcpy(k.data(), &dir, sizeof dir);
    return k + name;
}

// A row that stands now, by its place: kept sorted by folder id, then name.
struct Standing
{
    int64_t dir = 0;
    std::string name;
    Stored row;
};

bool placedBefore(const Standing& a, int64_t dir, std::string_view name)
{
    return a.dir != dir ? a.dir < dir : std::string_view(a.name) < name;
}

// The folder part and the last part of a path.
void splitPath(const std::string& path, std::string& dir, std::string& name)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        dir.clear();
        name = path;
    } else {
        dir.assign(path, 0, slash);
        name.assign(path, slash + 1);
    }
}

constexpr const char* kRowsOfRun =
    "SELECT dir, name, kind, size, mtime_ns, mode, crc, archive_run, link FROM entries"
    " WHERE line = ?1 AND until > ?2 AND since <= ?2";

} // namespace

void Catalog::storeManifest(int64_t line, int64_t runId, const std::string& setName, const std::string& folder,
                            const std::function<bool(ManifestRow&)>& nextRow)
{
    std::unordered_map<std::string, int64_t> archiveRuns;
    {
        Statement s(m_db, "SELECT id, archive FROM runs WHERE set_name = ? AND folder = ? AND archive IS NOT NULL"
                          " ORDER BY id");
        s.bind(1, setName);
        s.bind(2, folder);
        while (s.step())
            archiveRuns[s.text(1)] = s.integer(0);
    }

    // The rows that stand now, whichever run they came from: what this run's rows are
    // compared with. Read in key order, so a row is found by a binary search.
    std::vector<Standing> current;
    {
        Statement s(m_db, "SELECT dir, name, kind, size, mtime_ns, mode, crc, archive_run, link FROM entries"
                          " WHERE line = ? AND until = ? ORDER BY dir, name");
        s.bind(1, line);
        s.bind(2, kOpen);
        while (s.step()) {
            Standing& c = current.emplace_back();
            c.dir = s.integer(0);
            s.text(1, c.name);
            Stored& r = c.row;
            r.kind = static_cast<int>(s.integer(2));
            r.size = s.integer(3);
            r.mtimeNs = s.integer(4);
            r.mode = s.integer(5);
            r.crc = s.integer(6);
            r.archiveRun = s.integer(7);
            r.hasLink = !s.isNull(8);
            if (r.hasLink)
                s.text(8, r.link);
        }
    }
    const auto keyOrder = [](const Standing& a, const Standing& b) { return placedBefore(a, b.dir, b.name); };
    if (!std::is_sorted(current.begin(), current.end(), keyOrder)) // SQLite's order is memcmp's: only a guard
        std::sort(current.begin(), current.end(), keyOrder);
    auto standing = [&current](int64_t dir, const std::string& name) -> Stored* {
        const auto it = std::lower_bound(current.begin(), current.end(), dir,
                                         [&name](const Standing& c, int64_t d) { return placedBefore(c, d, name); });
        return it != current.end() && it->dir == dir && it->name == name ? &it->row : nullptr;
    };

    Statement close(m_db, "UPDATE entries SET until = ?1 WHERE line = ?2 AND until = ?3 AND dir = ?4 AND name = ?5");
    Statement insert(m_db, "INSERT INTO entries(line, until, dir, name, since, kind, size, mtime_ns, mode, crc,"
                           " archive_run, link) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)");
    auto closeRow = [&](int64_t dir, const std::string& name) {
        close.bind(1, runId);
        close.bind(2, line);
        close.bind(3, kOpen);
        close.bind(4, dir);
        close.bindUncopied(5, name);
        close.run();
    };
    DirTable dirs(m_db);
    ManifestRow row;
    std::string dirPath, name;
    while (nextRow(row)) {
        splitPath(row.path, dirPath, name);
        const int64_t dir = dirs.idOf(dirPath);
        Stored r;
        r.kind = static_cast<int>(row.kind);
        r.size = static_cast<int64_t>(row.size);
        r.mtimeNs = row.mtimeNs;
        r.mode = row.mode;
        r.crc = row.crc;
        if (row.archive == kThisArchive) {
            r.archiveRun = runId;
        } else if (const auto it = archiveRuns.find(row.archive); it != archiveRuns.end()) {
            r.archiveRun = it->second;
        }
        // A link's target as far as it is known: rows of older versions (mode 0) have none.
        r.hasLink = row.kind == ManifestKind::Symlink && row.mode != 0;
        if (r.hasLink)
            r.link = row.linkTarget;
        if (Stored* now = standing(dir, name)) {
            if (now->seen)
                throw CatalogError("the manifest lists " + row.path + " twice");
            now->seen = true;
            if (now->sameAs(r))
                continue;
            closeRow(dir, name);
        }
        insert.bind(1, line);
        insert.bind(2, kOpen);
        insert.bind(3, dir);
        insert.bindUncopied(4, name);
        insert.bind(5, runId);
        insert.bind(6, r.kind);
        insert.bind(7, r.size);
        insert.bind(8, r.mtimeNs);
        insert.bind(9, r.mode);
        insert.bind(10, r.crc);
        insert.bind(11, r.archiveRun);
        if (r.hasLink)
            insert.bindUncopied(12, r.link);
        else
            insert.bindNull(12);
        insert.run();
    }
    for (const Standing& c : current)
        if (!c.row.seen)
            closeRow(c.dir, c.name);
}

void Catalog::forEachManifestRow(int64_t manifestRun, const std::function<void(const ManifestRow&)>& visit)
{
    const int64_t line = lineOfRun(manifestRun);
    if (line == 0)
        return;
    std::unordered_map<int64_t, std::string> archives;
    {
        Statement s(m_db, "SELECT r.id, r.archive FROM runs r JOIN lines l ON l.set_name = r.set_name"
                          " AND l.folder = r.folder WHERE l.id = ? AND r.archive IS NOT NULL");
        s.bind(1, line);
        while (s.step())
            archives.emplace(s.integer(0), s.text(1));
    }
    DirTable dirs(m_db);
    Statement s(m_db, kRowsOfRun);
    s.bind(1, line);
    s.bind(2, manifestRun);
    ManifestRow row;
    std::string name;
    int64_t lastArchiveRun = -1;
    while (s.step()) {
        const std::string& dir = dirs.pathOf(s.integer(0));
        s.text(1, name);
        if (dir.empty()) {
            row.path = name;
        } else {
            row.path.assign(dir).append("/").append(name);
        }
        row.kind = static_cast<ManifestKind>(s.integer(2));
        row.size = static_cast<uint64_t>(s.integer(3));
        row.mtimeNs = s.integer(4);
        row.mode = static_cast<uint32_t>(s.integer(5));
        row.crc = static_cast<uint32_t>(s.integer(6));
        if (const int64_t archiveRun = s.integer(7); archiveRun != lastArchiveRun) {
            const auto it = archives.find(archiveRun);
            row.archive = it == archives.end() ? std::string() : it->second;
            lastArchiveRun = archiveRun;
        }
        if (s.isNull(8))
            row.linkTarget.clear();
        else
            s.text(8, row.linkTarget);
        visit(row);
    }
}

std::vector<ManifestRow> Catalog::entries(int64_t runId)
{
    Statement s(m_db, "SELECT manifest_run FROM runs WHERE id = ?");
    s.bind(1, runId);
    std::vector<ManifestRow> rows;
    if (!s.step() || s.integer(0) == 0)
        return rows;
    forEachManifestRow(s.integer(0), [&rows](const ManifestRow& r) { rows.push_back(r); });
    std::sort(rows.begin(), rows.end(), [](const ManifestRow& a, const ManifestRow& b) { return a.path < b.path; });
    return rows;
}

std::map<int64_t, Catalog::StateTotals> Catalog::stateTotals(const std::string& setName, const std::string& folder)
{
    std::map<int64_t, StateTotals> totals;
    const int64_t line = lineOf(setName, folder, false);
    if (line == 0)
        return totals;
    {
        Statement s(m_db, "SELECT id FROM runs WHERE set_name = ? AND folder = ? AND manifest_run = id");
        s.bind(1, setName);
        s.bind(2, folder);
        while (s.step())
            totals[s.integer(0)];
    }
    // A row counts for the runs from `since` up to `until`: added there, taken off here,
    // and summed up over the runs in order.
    std::map<int64_t, std::pair<StateTotals, StateTotals>> changes; // run -> (added, removed)
    Statement s(m_db, "SELECT since, until, kind, size FROM entries WHERE line = ?");
    s.bind(1, line);
    while (s.step()) {
        const bool folderRow = s.integer(2) == static_cast<int>(ManifestKind::Directory);
        const auto size = static_cast<uint64_t>(s.integer(3));
        for (auto [run, removed] : {std::pair {s.integer(0), false}, std::pair {s.integer(1), true}}) {
            StateTotals& t = removed ? changes[run].second : changes[run].first;
            (folderRow ? t.folders : t.files) += 1;
            t.bytes += folderRow ? 0 : size;
        }
    }
    StateTotals now;
    auto change = changes.begin();
    for (auto& [run, total] : totals) {
        for (; change != changes.end() && change->first <= run; ++change) {
            now.files += change->second.first.files - change->second.second.files;
            now.folders += change->second.first.folders - change->second.second.folders;
            now.bytes += change->second.first.bytes - change->second.second.bytes;
        }
        total = now;
    }
    return totals;
}

std::vector<int64_t> Catalog::archiveRunsOf(int64_t manifestRun)
{
    const int64_t line = lineOfRun(manifestRun);
    std::vector<int64_t> ids;
    if (line == 0)
        return ids;
    Statement s(m_db, "SELECT DISTINCT archive_run FROM entries WHERE line = ?1 AND until > ?2 AND since <= ?2"
                      " AND archive_run <> 0");
    s.bind(1, line);
    s.bind(2, manifestRun);
    while (s.step())
        ids.push_back(s.integer(0));
    return ids;
}

std::vector<int64_t> Catalog::newestCopies(const std::string& setName, const std::string& folder,
                                           const std::vector<std::string>& files,
                                           const std::vector<std::string>& folders)
{
    std::vector<int64_t> runs;
    const int64_t line = lineOf(setName, folder, false);
    if (line == 0 || (files.empty() && folders.empty()))
        return runs;
    // The folders of the set that hold what is asked for: by id, with the names wanted
    // there (none listed: every name).
    std::unordered_map<int64_t, std::unordered_set<std::string>> wanted;
    std::unordered_set<int64_t> whole;
    {
        Statement find(m_db, "SELECT id FROM dirs WHERE path = ?");
        std::string dir, name;
        for (const auto& file : files) {
            splitPath(file, dir, name);
            find.bind(1, dir);
            if (find.step())
                wanted[find.integer(0)].insert(name);
            find.reset();
        }
        Statement all(m_db, "SELECT id, path FROM dirs");
        while (!folders.empty() && all.step()) {
            const std::string path = all.text(1);
            for (const auto& f : folders) {
                if (f.empty() || path == f || (path.size() > f.size() && path.compare(0, f.size(), f) == 0 &&
                                               path[f.size()] == '/')) {
                    whole.insert(all.integer(0));
                    break;
                }
            }
        }
    }
    // Per file, the row of the latest range: the newest copy.
    struct Newest
    {
        int64_t until = 0;
        int64_t archiveRun = 0;
    };
    std::unordered_map<std::string, Newest> newest;
    Statement s(m_db, "SELECT dir, name, until, archive_run FROM entries WHERE line = ? AND archive_run <> 0"
                      " AND kind <> ?");
    s.bind(1, line);
    s.bind(2, static_cast<int64_t>(ManifestKind::Directory));
    std::string name;
    while (s.step()) {
        const int64_t dir = s.integer(0);
        s.text(1, name);
        if (!whole.count(dir)) {
            const auto it = wanted.find(dir);
            if (it == wanted.end() || !it->second.count(name))
                continue;
        }
        Newest& n = newest[key(dir, name)];
        if (s.integer(2) > n.until)
            n = {s.integer(2), s.integer(3)};
    }
    std::unordered_set<int64_t> distinct;
    for (const auto& [k, n] : newest)
        if (distinct.insert(n.archiveRun).second)
            runs.push_back(n.archiveRun);
    std::sort(runs.begin(), runs.end());
    return runs;
}

// Deletes the rows that lie wholly between two runs that still have a manifest of their
// own: no run lists them any more.
void Catalog::collectGarbage(int64_t line, const std::string& setName, const std::string& folder)
{
    std::vector<int64_t> owners;
    {
        Statement s(m_db, "SELECT id FROM runs WHERE set_name = ? AND folder = ? AND manifest_run = id ORDER BY id");
        s.bind(1, setName);
        s.bind(2, folder);
        while (s.step())
            owners.push_back(s.integer(0));
    }
    owners.push_back(kOpen);
    Statement drop(m_db, "DELETE FROM entries WHERE line = ?1 AND until > ?2 AND until <= ?3 AND since > ?2");
    int64_t previous = 0;
    for (const int64_t next : owners) {
        drop.bind(1, line);
        drop.bind(2, previous);
        drop.bind(3, next);
        drop.run();
        previous = next;
    }
}

} // namespace stowkeep::engine
