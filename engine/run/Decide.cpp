#include "Run.h"

#include "RunSupport.h"

#include <algorithm>
#include <stdexcept>

namespace stowkeep::engine::detail {

void Run::resolve()
{
    SelectionOptions options;
    options.include = m_job.selection()->includeItems();
    options.exclude = m_job.selection()->excludeItems();
    options.ownFolders = {m_folder, m_impl.catalogFolder, m_impl.logFolder};
    options.cancelled = [this] { return cancelled(); };
    try {
        m_selection = resolveSelection(options);
    } catch (const std::invalid_argument& e) {
        throw RunFailure {InvalidJob, e.what()};
    }
    if (!m_selection.missingSources.empty())
        throw RunFailure {SourceNotFound, "The source folder " + listNames(m_selection.missingSources) +
                                              " was not found; nothing was written."};
    for (const auto& path : m_selection.skippedSpecial)
        m_log->warning("Skipped " + path + ": not a regular file, folder or link.");
    for (const auto& path : m_selection.skippedOwn)
        m_log->warning("Skipped " + path + ": it holds the backups, the catalog or the logs.");
    for (const auto& text : m_selection.unreadable) {
        m_log->error("Cannot read " + text);
        m_unreadable.push_back(text.substr(0, text.find(": ")));
    }
    for (const auto& e : m_selection.entries) {
        if (e.kind != SelectedKind::Directory) {
            ++m_selectedFiles;
            m_selectedBytes += e.size;
        }
    }
    if (m_selectedFiles == 0)
        throw RunFailure {NothingToBackUp, "The selection matched no file" +
                                               (m_selection.base.empty() ? std::string()
                                                                         : " in " + m_selection.base.string()) +
                                               "; nothing was backed up."};
}

void Run::decide()
{
    std::optional<RunRecord> base;
    if (m_job.backupType() == NewAndModified)
        base = m_catalog->newestBase(m_job.backupSetName(), m_folder);
    m_incremental = base.has_value();
    const auto& entries = m_selection.entries;
    m_outcomes.assign(entries.size(), Outcome {});
    if (!base) {
        m_toWrite.reserve(entries.size());
        for (const auto& e : entries)
            m_toWrite.push_back(&e);
        return;
    }
    m_baseManifestRun = base->manifestRun;
    // The one catalog read of this run. Each row of the base is matched against the
    // selection (sorted by name) as it comes, so the rows are never all held at once.
    uint64_t previousRows = 0;
    m_catalog->forEachManifestRow(base->manifestRun, [&](const ManifestRow& row) {
        ++previousRows;
        const auto it = std::lower_bound(entries.begin(), entries.end(), row.path,
                                         [](const SelectedEntry& e, const std::string& name) { return e.name < name; });
        if (it == entries.end() || it->name != row.path || row.kind != manifestKind(it->kind))
            return;
        Outcome& o = m_outcomes[static_cast<size_t>(it - entries.begin())];
        o.known = true;
        o.same = row.mtimeNs == it->mtimeNs && (it->kind == SelectedKind::Directory || row.size == it->size);
        o.size = row.size;
        o.crc = row.crc;
        o.archiveRun = row.archiveRun;
    });
    bool newFolder = false;
    bool sameAsBase = previousRows == entries.size();
    std::vector<size_t> changedFolders;
    for (size_t i = 0; i < entries.size(); ++i) {
        const SelectedEntry& e = entries[i];
        Outcome& o = m_outcomes[i];
        if (o.same) {
            o.fate = Fate::Kept;
            continue;
        }
        sameAsBase = false;
        if (e.kind != SelectedKind::Directory) {
            m_toWrite.push_back(&e);
        } else if (!o.known) {
            newFolder = true;
            m_toWrite.push_back(&e);
        } else {
            changedFolders.push_back(i);
        }
    }
    m_sameAsBase = sameAsBase;
    // A folder's time changes with its contents: its entry is stored only along with them.
    // Otherwise its row of the base stands, with the folder's new time.
    const bool archive = !m_toWrite.empty() || newFolder;
    for (const size_t i : changedFolders) {
        if (archive)
            m_toWrite.push_back(&entries[i]);
        else
            m_outcomes[i].fate = Fate::Kept;
    }
    std::sort(m_toWrite.begin(), m_toWrite.end(),
              [](const SelectedEntry* a, const SelectedEntry* b) { return a->name < b->name; });
}

} // namespace stowkeep::engine::detail
