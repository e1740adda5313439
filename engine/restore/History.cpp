// The runs of a set and the state of each: from the catalog, which is only read (a backup
// may be writing it meanwhile), and from the manifests of the archives it does not know.

#include "restore/Restorer.h"

#include "run/RunSupport.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <tuple>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

namespace {

bool isPlainFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// A successful run whose archive is kept only for newer runs (retention dropped its state).
bool keptForOthers(const RunRecord& r)
{
    return r.manifestRun == 0 && !r.archive.empty() && (r.result == Success || r.result == SomeFilesUnreadable);
}

constexpr const char* kKeptForOthers =
    "kept only for files that newer backups need: the older backups it needed were deleted";

std::string runText(const RunInfo& run)
{
    return "The backup of " + formatLocalTime(static_cast<std::time_t>(run.startTime), "%Y-%m-%d %H:%M");
}

// Whether a run's state holds the entries (files, links and folders) and bytes that its run
// recorded.
bool countsMatch(const std::vector<ManifestRow>& rows, const RunRecord& run)
{
    uint64_t bytes = 0;
    for (const ManifestRow& row : rows)
        bytes += row.size;
    return rows.size() == run.files && bytes == run.bytes;
}

} // namespace

SetHistory::SetHistory(const std::string& catalogFolder, const RestoreJob& job) : m_job(job)
{
    if (job.backupFolder().empty() || job.backupSetName().empty())
        throw RunFailure {InvalidJob, "The restore has no backup folder or no backup set name."};
    if (job.backupFolder().front() != '/')
        throw RunFailure {InvalidJob, "The backup folder \"" + job.backupFolder() + "\" is not an absolute path."};
    m_folder = normalizeFolder(job.backupFolder());
    m_setFile = sanitizeSetName(job.backupSetName());
    if (catalogFolder.empty()) {
        m_catalogProblem = "no catalog folder is set";
        return;
    }
    try {
        m_catalog = std::make_unique<Catalog>(catalogFolder, Catalog::ReadOnly {});
    } catch (const CatalogError& e) {
        m_catalogProblem = e.what();
    }
}

std::vector<RunInfo> SetHistory::runs(PasswordBook& passwords, const std::atomic<bool>* cancel)
{
    std::vector<RunInfo> runs;
    std::set<std::string> known;
    if (m_catalog) {
        try {
            const auto totals = m_catalog->stateTotals(m_job.backupSetName(), m_folder);
            const auto records = m_catalog->runs(m_job.backupSetName(), m_folder);
            for (const RunRecord& r : records) {
                RunInfo info;
                info.id = r.id;
                info.archive = r.archive;
                info.startTime = r.startTime;
                info.endTime = r.endTime;
                info.kind = r.kind;
                info.result = r.result;
                info.verified = r.verified;
                info.restorable = r.manifestRun != 0;
                if (keptForOthers(r))
                    info.note = kKeptForOthers;
                if (const auto it = totals.find(r.manifestRun); it != totals.end()) {
                    info.files = it->second.files;
                    info.folders = it->second.folders;
                    info.bytes = it->second.bytes;
                }
                if (!r.archive.empty())
                    known.insert(r.archive);
                runs.push_back(std::move(info));
            }
            noteDamagedArchives(records, runs);
        } catch (const CatalogError& e) {
            runs.clear();
            known.clear();
            m_catalogProblem = e.what();
            m_catalog.reset();
        }
    }
    struct stat st {};
    const bool folderThere = ::stat(m_folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (!folderThere && !m_catalog)
        throw RunFailure {MediumNotAvailable, "The backup folder " + m_folder +
                                                  " is not available (the drive may be disconnected), and the "
                                                  "catalog cannot tell its runs (" +
                                                  m_catalogProblem + ")."};
    std::vector<std::string> unknown;
    if (DIR* dir = folderThere ? ::opendir(m_folder.c_str()) : nullptr) {
        while (const dirent* d = ::readdir(dir)) {
            const auto parts = parseArchiveName(d->d_name);
            if (!parts || parts->set != m_setFile || known.count(d->d_name))
                continue;
            struct stat file {};
            if (::lstat((fs::path(m_folder) / d->d_name).c_str(), &file) == 0 && S_ISREG(file.st_mode))
                unknown.emplace_back(d->d_name);
        }
        ::closedir(dir);
    }
    std::sort(unknown.begin(), unknown.end());
    for (const auto& name : unknown) {
        if (cancel && cancel->load())
            throw zip::Cancelled();
        RunInfo info = fromArchive(name, passwords);
        if (!info.archive.empty())
            runs.push_back(std::move(info));
    }
    // Runs of the same second in the order they were recorded; those known from their
    // archive alone (id 0) by name.
    std::sort(runs.begin(), runs.end(), [](const RunInfo& a, const RunInfo& b) {
        return std::tie(a.startTime, a.id, a.archive) > std::tie(b.startTime, b.id, b.archive);
    });
    return runs;
}

// A run known from its archive alone; no archive name when the archive is another set's.
// An archive found damaged after its run (read again later): every run that has files in
// it says so, since those files cannot be restored whole. runs[i] is records[i].
void SetHistory::noteDamagedArchives(const std::vector<RunRecord>& records, std::vector<RunInfo>& runs)
{
    std::map<int64_t, const RunRecord*> damaged;
    for (const RunRecord& r : records)
        if (r.verified == false && !r.archive.empty())
            damaged.emplace(r.id, &r);
    if (damaged.empty())
        return;
    std::map<int64_t, std::string> noteOf; // by manifest
    for (size_t i = 0; i < records.size(); ++i) {
        const RunRecord& r = records[i];
        if (r.manifestRun == 0 || damaged.count(r.id) || !runs[i].note.empty())
            continue;
        auto [note, fresh] = noteOf.try_emplace(r.manifestRun);
        if (fresh) {
            for (const int64_t id : m_catalog->archiveRunsOf(r.manifestRun)) {
                if (const auto d = damaged.find(id); d != damaged.end()) {
                    note->second = "some of its files are in the damaged backup of " +
                                   formatLocalTime(static_cast<std::time_t>(d->second->startTime), "%Y-%m-%d %H:%M");
                    break;
                }
            }
        }
        runs[i].note = note->second;
    }
}

RunInfo SetHistory::fromArchive(const std::string& name, PasswordBook& passwords)
{
    const auto parts = parseArchiveName(name);
    RunInfo info;
    info.archive = name;
    info.kind = parts->kind;
    info.startTime = info.endTime = stampTime(parts->stamp);
    info.result = Success; // it got its name, so its run finished writing it
    try {
        const auto reader = passwords.open((fs::path(m_folder) / name).string(), name);
        const std::optional<Manifest> manifest = readManifest(*reader, name);
        if (!manifest) {
            info.note = whyNoManifest(*reader);
            return info;
        }
        if (manifest->header.setName != m_job.backupSetName())
            return {};
        info.startTime = info.endTime = manifest->header.startTime;
        info.kind = manifest->header.kind;
        for (const auto& row : manifest->rows) {
            if (row.kind == ManifestKind::Directory) {
                ++info.folders;
            } else {
                ++info.files;
                info.bytes += row.size;
            }
        }
        info.restorable = true;
    } catch (const zip::WrongPassword&) {
        info.restorable = true; // a restore asks for its password
        info.note = "the password of this backup does not open it";
    } catch (const zip::ZipError& e) {
        info.note = std::string("it cannot be read (") + e.what() + ")";
    } catch (const ManifestError& e) {
        info.note = std::string("its list of files is damaged (") + e.what() + ")";
    }
    return info;
}

SetHistory::State SetHistory::state(const RunInfo& run, PasswordBook& passwords)
{
    State state;
    if (run.id != 0) {
        if (!m_catalog)
            throw RunFailure {CatalogFailure, "The catalog cannot be read (" + m_catalogProblem + ")."};
        try {
            const auto records = m_catalog->runs(m_job.backupSetName(), m_folder);
            const auto it = std::find_if(records.begin(), records.end(),
                                         [&](const RunRecord& r) { return r.id == run.id; });
            if (it == records.end())
                throw RunFailure {RunNotAvailable, runText(run) + " is no longer in the catalog (retention may "
                                                                  "have removed it)."};
            if (keptForOthers(*it))
                throw RunFailure {RunNotAvailable, runText(run) + " cannot be restored by itself: it is " +
                                                       kKeptForOthers + " as old."};
            if (it->manifestRun == 0)
                throw RunFailure {RunNotAvailable, runText(run) + " has no list of its files (the run failed, or "
                                                                  "an older version of Stowkeep made it)."};
            state.rows = m_catalog->entries(run.id);
            if (countsMatch(state.rows, *it))
                return state;
            // SQLite reads a damaged page without a word while its structure holds: rows lost
            // show as fewer entries than the run recorded. The archive's own list is whole.
            const std::string damage = "The catalog is damaged: it lists " + std::to_string(state.rows.size()) +
                                       " files and folders of the backup of " + formatLocalTime(run.startTime) +
                                       ", which recorded " + std::to_string(it->files);
            if (it->archive.empty() || it->archive != run.archive)
                throw RunFailure {CatalogFailure, damage + "."};
            state = {};
            state.catalogDamage = damage + "; the backup's own list of files was read instead.";
        } catch (const CatalogError& e) {
            throw RunFailure {CatalogFailure, std::string("The catalog cannot be read (") + e.what() + ")."};
        }
    }
    if (!isPlainFileName(run.archive))
        throw RunFailure {RunNotAvailable, "No backup to restore from was chosen."};
    const std::string path = (fs::path(m_folder) / run.archive).string();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        throw RunFailure {ArchiveMissing, "The archive " + run.archive + " is not in " + m_folder + "."};
    std::optional<Manifest> manifest;
    std::string noManifest;
    try {
        const auto reader = passwords.open(path, run.archive);
        manifest = readManifest(*reader, run.archive, &state.unsafe);
        if (!manifest)
            noManifest = whyNoManifest(*reader);
    } catch (const zip::WrongPassword&) {
        throw RunFailure {WrongPassword, "No password given opens the archive " + run.archive + "."};
    } catch (const zip::ZipError& e) {
        throw RunFailure {RunNotAvailable, "The archive " + run.archive + " cannot be read: " + e.what() + "."};
    } catch (const ManifestError& e) {
        throw RunFailure {RunNotAvailable, "The list of files in " + run.archive + " is damaged: " + e.what() + "."};
    }
    if (!manifest)
        throw RunFailure {RunNotAvailable, "The archive " + run.archive + " cannot be restored: " + noManifest + "."};
    if (manifest->header.setName != m_job.backupSetName())
        throw RunFailure {RunNotAvailable, "The archive " + run.archive + " belongs to the backup set \"" +
                                               manifest->header.setName + "\"."};
    state.rows = std::move(manifest->rows);
    for (auto& row : state.rows)
        if (row.archive == kThisArchive)
            row.archive = run.archive;
    std::sort(state.rows.begin(), state.rows.end(),
              [](const ManifestRow& a, const ManifestRow& b) { return a.path < b.path; });
    return state;
}

} // namespace stowkeep::engine::detail
