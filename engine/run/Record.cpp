#include "Run.h"

#include "RunSupport.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <set>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

void Run::record(int32_t code)
{
    RunRecord run = baseRecord(code);
    if (m_incremental && m_sameAsBase && m_archiveName.empty())
        run.manifestRun = m_baseManifestRun;
    // The manifest, in path order (the selection's), one row at a time: the kept rows of
    // the base (with the entry's time) and the entries written now.
    size_t next = 0;
    auto nextRow = [this, &next](ManifestRow& row) {
        while (next < m_outcomes.size() && m_outcomes[next].fate == Fate::Left)
            ++next;
        if (next == m_outcomes.size())
            return false;
        const SelectedEntry& e = m_selection.entries[next];
        const Outcome& o = m_outcomes[next++];
        row.path = e.name;
        row.kind = manifestKind(e.kind);
        row.size = o.size;
        row.mtimeNs = e.mtimeNs;
        row.crc = o.crc;
        row.archiveRun = o.fate == Fate::Written ? 0 : o.archiveRun;
        return true;
    };
    try {
        m_runId = m_catalog->recordRun(std::move(run), nextRow, m_impl.hooks.beforeCommit);
    } catch (const CatalogError& e) {
        discardArchive();
        throw RunFailure {CatalogFailure,
                          std::string("The run could not be recorded in the catalog, so its archive was removed: ") +
                              e.what()};
    }
    m_archiveCreated = false; // catalogued: it stays
    m_recorded = true;
}

// A failed run leaves a line in the catalog's history, never an archive or a manifest.
void Run::recordFailedRun(int32_t code)
{
    if (!m_catalog || m_recorded)
        return;
    try {
        RunRecord run = baseRecord(code);
        run.archive.clear();
        run.files = 0;
        run.bytes = 0;
        run.verified.reset();
        m_catalog->recordRun(std::move(run), std::vector<ManifestRow> {});
    } catch (const std::exception& e) {
        m_log->error(std::string("The failed run could not be recorded in the catalog: ") + e.what());
    }
}

void Run::applyRetention()
{
    try {
        const auto runs = m_catalog->runs(m_job.backupSetName(), m_folder);
        const int64_t cutoff = m_startTime - static_cast<int64_t>(m_job.retentionPeriod()) * 3600;
        int64_t newestSuccessful = 0;
        int64_t newestStart = INT64_MIN;
        for (const auto& r : runs)
            if (r.result == Success && r.startTime >= newestStart) {
                newestStart = r.startTime;
                newestSuccessful = r.id;
            }
        std::set<int64_t> needed;
        std::set<int64_t> manifestsSeen;
        for (const auto& r : runs) {
            if (r.startTime < cutoff && r.id != newestSuccessful)
                continue;
            needed.insert(r.id);
            needed.insert(r.manifestRun);
            if (manifestsSeen.insert(r.manifestRun).second)
                for (int64_t id : m_catalog->archiveRunsOf(r.manifestRun))
                    needed.insert(id);
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
                    m_log->warning("Retention: cannot delete " + path + ": " + std::strerror(errno));
                    continue;
                }
                m_retentionDeleted.push_back(r.archive);
            }
            remove.push_back(r.id);
        }
        if (!m_retentionDeleted.empty())
            syncFolder(m_folder);
        m_catalog->deleteRuns(remove);
    } catch (const std::exception& e) {
        m_log->error(std::string("Retention could not finish: ") + e.what());
    }
}

} // namespace stowkeep::engine::detail
