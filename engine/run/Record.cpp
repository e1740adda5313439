#include "Run.h"

#include "RunSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <set>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

void Run::record(int32_t code)
{
    try {
        withCatalog([&] {
            RunRecord run = baseRecord(code);
            std::function<bool(ManifestRow&)> rows;
            ManifestCursor at;
            // An incremental run that changed nothing shares its base's manifest; every
            // other run records its own, in path order (the selection's), one row at a time.
            const int64_t shared = m_archiveName.empty() && m_incremental ? baseManifestRun() : 0;
            if (shared != 0) {
                run.manifestRun = shared;
            } else {
                rows = [this, &at](ManifestRow& row) { return nextManifestRow(at, row); };
            }
            m_runId = m_catalog->recordRun(std::move(run), rows, m_impl.hooks.beforeCommit);
        });
    } catch (const CatalogError& e) {
        discardArchive();
        throw RunFailure {CatalogFailure,
                          "The run could not be recorded in the catalog, so its archive was removed. " +
                              catalogSentence(e)};
    }
    m_archiveCreated = false; // catalogued: it stays
    m_recorded = true;
    // Its lock kept other runs from taking it for a leftover or an orphan; it is neither now.
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
    if (!m_pendingName.empty()) {
        try {
            m_catalog->clearPending(m_folder, m_pendingName);
        } catch (const CatalogError&) {
            // The next run finds the name without a file and forgets it.
        }
        m_pendingName.clear();
    }
}

// The base's manifest in the catalog as it is now: a catalog begun again during the run
// knows the base by its archive's name only.
int64_t Run::baseManifestRun()
{
    if (m_baseGeneration == m_catalogGeneration)
        return m_baseManifestRun;
    if (m_baseArchive.empty())
        return 0;
    for (const auto& r : m_catalog->runs(m_job.backupSetName(), m_folder))
        if (r.archive == m_baseArchive && r.manifestRun == r.id)
            return r.id;
    return 0;
}

// A failed run leaves a line in the catalog's history, never an archive or a manifest.
void Run::recordFailedRun(int32_t code)
{
    if (!m_catalog || m_recorded)
        return;
    try {
        RunRecord run = baseRecord(code);
        run.archive.clear();
        // Ended before it could tell: listed as what the profile asks for.
        if (!m_decided)
            run.kind = m_job.backupType() == FullBackup ? "full" : "incremental";
        run.files = 0;
        run.bytes = 0;
        run.verified.reset();
        run.checked.reset();
        run.medium.clear();
        run.mediumMount.clear();
        withCatalog([&] { m_catalog->recordRun(run); });
    } catch (const std::exception& e) {
        m_log->error(std::string("The failed run could not be recorded in the catalog: ") + e.what());
    }
}

void Run::applyRetention(int32_t code)
{
    try {
        withCatalog([this, code] { deleteExpired(code); });
    } catch (const std::exception& e) {
        m_log->error(std::string("Retention could not finish: ") + e.what());
        m_notices.push_back(std::string("Deleting old backups could not finish: ") + e.what() + ".");
    }
    // Left to stand, the old backups would pile up unseen until the destination is full.
    if (!m_retentionLeft.empty())
        m_notices.push_back(plural(m_retentionLeft.size(), "old backup", "old backups") + " could not be deleted: " +
                            listNames(m_retentionLeft) + ".");
}

void Run::deleteExpired(int32_t code)
{
    m_retentionDeleted.clear();
    m_retentionLeft.clear(); // once more when a damaged catalog is healed and this runs again
    const auto runs = m_catalog->runs(m_job.backupSetName(), m_folder);
    const int64_t cutoff = m_startTime - static_cast<int64_t>(m_job.retentionPeriod()) * 3600;
    int64_t newestSuccessful = 0;
    int64_t newestStart = INT64_MIN;
    // Runs dated after this one were made while the clock was ahead: they are kept (not yet
    // expired), but the newest is the last one made before this.
    for (const auto& r : runs)
        if (r.result == Success && r.startTime <= m_startTime && r.startTime >= newestStart) {
            newestStart = r.startTime;
            newestSuccessful = r.id;
        }
    // What this run could not read stays as its last copy had it. An incremental run lists
    // the copies its base has; a full one lists none, so the runs that hold them are kept
    // whole, to be restored.
    std::set<int64_t> lastCopies;
    if (code == SomeFilesUnreadable)
        for (const int64_t id : m_catalog->newestCopies(m_job.backupSetName(), m_folder, m_unreadableNames,
                                                        m_unreadableFolders))
            lastCopies.insert(id);
    std::set<int64_t> needed(lastCopies);
    if (m_incremental)
        lastCopies.clear();
    std::set<int64_t> keptStates; // the manifests of the runs kept to restore from
    for (const auto& r : runs) {
        if (r.startTime < cutoff && r.id != newestSuccessful && !lastCopies.count(r.id))
            continue;
        needed.insert(r.id);
        needed.insert(r.manifestRun);
        if (keptStates.insert(r.manifestRun).second)
            for (int64_t id : m_catalog->archiveRunsOf(r.manifestRun))
                needed.insert(id);
    }
    if (std::none_of(runs.begin(), runs.end(), [&](const RunRecord& r) { return !needed.count(r.id); }))
        return;
    if (const std::string problem = keptArchivesProblem(runs, needed); !problem.empty()) {
        m_log->warning("Retention deleted nothing: " + problem + ".");
        m_notices.push_back("No old backup was deleted: " + problem + ".");
        return;
    }
    std::vector<int64_t> remove;
    for (const auto& r : runs) {
        if (needed.count(r.id))
            continue;
        if (!r.archive.empty()) {
            if (r.archive.find('/') != std::string::npos || r.archive == "." || r.archive == "..") {
                m_log->warning("Retention: the catalog names an invalid archive \"" + r.archive + "\"; left alone.");
                continue;
            }
            const std::string path = (fs::path(m_folder) / r.archive).string();
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
                const std::string reason = std::strerror(errno);
                m_log->warning("Retention: cannot delete " + path + ": " + reason);
                m_retentionLeft.push_back(path + " (" + reason + ")");
                continue;
            }
            m_retentionDeleted.push_back(r.archive);
        }
        remove.push_back(r.id);
    }
    // A run older than the age stays while newer runs need files of its archive, but its own
    // state may need archives deleted now: it is no longer one to restore.
    const std::set<int64_t> removed(remove.begin(), remove.end());
    std::vector<int64_t> forget;
    std::vector<std::string> holders;
    // (A run that shares another's manifest wrote no archive: nothing keeps it.)
    for (const auto& r : runs) {
        if (removed.count(r.id) || r.manifestRun != r.id || keptStates.count(r.id))
            continue;
        const auto archives = m_catalog->archiveRunsOf(r.id);
        if (std::none_of(archives.begin(), archives.end(), [&](int64_t id) { return removed.count(id); }))
            continue;
        forget.push_back(r.id);
        holders.push_back(r.archive);
    }
    if (!m_retentionDeleted.empty())
        syncFolder(m_folder);
    m_catalog->deleteRuns(remove, forget);
    if (!holders.empty())
        m_log->info("Kept only for files that newer backups need, no longer to be restored by itself: " +
                    listAll(holders) + ".");
}

std::string Run::keptArchivesProblem(const std::vector<RunRecord>& runs, const std::set<int64_t>& needed) const
{
    for (const auto& r : runs) {
        if (!needed.count(r.id) || r.archive.empty())
            continue;
        const std::string path = (fs::path(m_folder) / r.archive).string();
        const std::string label = "the backup " + path + ", which the backups that are kept need,";
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return label + " is missing";
        if (r.bytesWritten > 0 && static_cast<uint64_t>(st.st_size) != r.bytesWritten)
            return label + " has changed size";
        if (m_job.verifyAfterBackup() && r.verified != true)
            return label + (r.verified == false ? " failed its verification" : " has not been verified yet");
    }
    return {};
}

} // namespace stowkeep::engine::detail
