#include "Run.h"

#include "RunSupport.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>
#include <stdexcept>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

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
    if (!m_selection.missingSources.empty()) {
        // A profile written by hand may name a file where its folder belongs.
        std::vector<std::string> missing, files;
        for (const auto& path : m_selection.missingSources) {
            struct stat st {};
            (::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) ? files : missing).push_back(path);
        }
        if (missing.empty())
            throw RunFailure {SourceNotFound, "The source " + files[0] +
                                                  " is a file, not a folder: choose the folder that holds it (a "
                                                  "filter can then select the file alone); nothing was written."};
        throw RunFailure {SourceNotFound,
                          "The source folder " + listNames(missing) + " was not found; nothing was written."};
    }
    for (const auto& path : m_selection.skippedSpecial)
        m_log->warning("Skipped " + path + ": not a regular file, folder or link.");
    for (const auto& path : m_selection.skippedOwn)
        m_log->warning("Skipped " + path + ": it holds the backups, the catalog or the logs.");
    const auto relative = [this](const std::string& path) {
        const std::string rel = fs::path(path).lexically_relative(m_selection.base).generic_string();
        return rel == "." ? std::string() : rel;
    };
    for (const auto& text : m_selection.unreadable) {
        m_log->error("Cannot read " + text);
        m_unreadable.push_back(text.substr(0, text.find(": ")));
        const bool folder = std::find(m_selection.unlistedFolders.begin(), m_selection.unlistedFolders.end(),
                                      m_unreadable.back()) != m_selection.unlistedFolders.end();
        (folder ? m_unreadableFolders : m_unreadableNames).push_back(relative(m_unreadable.back()));
    }
    for (const auto& e : m_selection.entries) {
        if (e.kind != SelectedKind::Directory) {
            ++m_selectedFiles;
            m_selectedBytes += e.size;
        }
    }
    if (m_selectedFiles == 0)
        throw RunFailure {NothingToBackUp, nothingSelectedText()};
}

// Why the selection came out empty: most often a source that holds nothing, but a backup
// folder chosen inside the source takes everything with it.
std::string Run::nothingSelectedText() const
{
    struct stat destination {};
    if (::stat(m_folder.c_str(), &destination) == 0) {
        const auto isDestination = [&destination](const std::string& path) {
            struct stat st {};
            return ::stat(path.c_str(), &st) == 0 && st.st_dev == destination.st_dev && st.st_ino == destination.st_ino;
        };
        for (const auto& own : m_selection.skippedOwn) {
            if (!isDestination(own))
                continue;
            if (isDestination(m_selection.base.string()))
                return "The backup folder " + m_folder +
                       " is the source folder itself, so nothing was backed up: choose another folder for the "
                       "backups.";
            return "The backup folder " + m_folder + " lies inside the source folder " + m_selection.base.string() +
                   " and nothing else was selected, so nothing was backed up: choose a backup folder outside it.";
        }
    }
    return "The selection matched no file" +
           (m_selection.base.empty() ? std::string() : " in " + m_selection.base.string()) +
           "; nothing was backed up.";
}

void Run::decide()
{
    m_decided = true;
    bool base = m_job.backupType() == NewAndModified && readBase();
    std::string problem = base ? baseProblem() : std::string();
    if (!problem.empty()) {
        base = false;
        m_archives.assign(1, std::string(kThisArchive));
    }
    if (m_job.verifyAfterBackup()) {
        std::string damage = recheck();
        if (base && !damage.empty()) {
            base = false;
            problem = std::move(damage);
        }
    }
    if (!problem.empty()) {
        m_log->warning("A full backup instead of an incremental one: " + problem + ".");
        if (!m_historyGone)
            m_notices.push_back("This run made a full backup instead of an incremental one: " + problem + ".");
    }
    if (!base) {
        takeEverything();
        return;
    }
    m_incremental = true;
    const auto& entries = m_selection.entries;
    std::vector<size_t> changedFolders;
    for (size_t i = 0; i < entries.size(); ++i) {
        const SelectedEntry& e = entries[i];
        Outcome& o = m_outcomes[i];
        if (o.same)
            o.fate = Fate::Kept;
        else if (e.kind == SelectedKind::Directory && o.timeOnly)
            changedFolders.push_back(i);
        else
            m_toWrite.push_back(&e);
    }
    // Something new, changed or gone: the archive carries the new manifest. A folder's
    // time changes with its contents: its entry is stored only along with them;
    // otherwise the base's row stands.
    m_writeArchive = !m_toWrite.empty() || m_matched < m_previousRows;
    for (const size_t i : changedFolders) {
        if (m_writeArchive)
            m_toWrite.push_back(&entries[i]);
        else
            m_outcomes[i].fate = Fate::Kept;
    }
    std::sort(m_toWrite.begin(), m_toWrite.end(),
              [](const SelectedEntry* a, const SelectedEntry* b) { return a->name < b->name; });
}

void Run::takeEverything()
{
    const auto& entries = m_selection.entries;
    m_incremental = false;
    m_outcomes.assign(entries.size(), Outcome {});
    m_archives.assign(1, std::string(kThisArchive));
    m_carried.clear();
    m_carriedFiles = 0;
    m_writeArchive = true;
    m_toWrite.clear();
    m_toWrite.reserve(entries.size());
    for (const auto& e : entries)
        m_toWrite.push_back(&e);
}

bool Run::readBase()
{
    const auto& entries = m_selection.entries;
    std::optional<RunRecord> base;
    // The one catalog read of this run. Each row of the base is matched against the
    // selection (sorted by name) as it comes, so the rows are never all held at once.
    // What the listing could not read stands as the base has it.
    const std::unordered_set<std::string> unreadableFiles(m_unreadableNames.begin(), m_unreadableNames.end());
    const auto unlisted = [&](const std::string& path) {
        if (unreadableFiles.count(path))
            return true;
        for (const auto& folder : m_unreadableFolders)
            if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/')
                return true;
        return false;
    };
    const bool carry = !m_unreadableNames.empty() || !m_unreadableFolders.empty();
    withCatalog([&] {
        m_outcomes.assign(entries.size(), Outcome {});
        m_archives.assign(1, std::string(kThisArchive));
        m_carried.clear();
        m_previousRows = m_matched = 0;
        // A run dated after this one was made while the clock was ahead: not the newest.
        base = m_catalog->newestBase(m_job.backupSetName(), m_folder, m_startTime);
        if (!base)
            return;
        m_baseManifestRun = base->manifestRun;
        m_baseGeneration = m_catalogGeneration;
        m_baseArchive.clear();
        for (const auto& r : m_catalog->runs(m_job.backupSetName(), m_folder))
            if (r.id == base->manifestRun)
                m_baseArchive = r.archive;
        std::unordered_map<std::string, uint32_t> archiveIndex;
        auto next = entries.begin();
        m_catalog->forEachManifestRow(base->manifestRun, [&](const ManifestRow& row) {
            ++m_previousRows;
            // The rows of a folder come in name order: most often the entry after the last one.
            auto it = next;
            if (it == entries.end() || it->name != row.path)
                it = std::lower_bound(entries.begin(), entries.end(), row.path,
                                      [](const SelectedEntry& e, const std::string& name) { return e.name < name; });
            if (it == entries.end() || it->name != row.path || row.kind != manifestKind(it->kind)) {
                if (carry && !row.archive.empty() && unlisted(row.path)) {
                    m_carried.push_back(row);
                    ++m_matched;
                }
                return;
            }
            next = it + 1;
            Outcome& o = m_outcomes[static_cast<size_t>(it - entries.begin())];
            if (o.known)
                return;
            o.known = true;
            ++m_matched;
            // Rows of an older version have no mode (0): their files are not stored again for it.
            const bool sameMode = row.mode == 0 || row.mode == it->mode;
            const bool held = !row.archive.empty();
            const bool sameTime = row.mtimeNs == it->mtimeNs;
            if (it->kind == SelectedKind::Directory) {
                o.same = sameMode && sameTime && held;
                o.timeOnly = sameMode && !o.same;
            } else {
                o.same = sameMode && sameTime && held && row.size == it->size &&
                         (it->kind != SelectedKind::Symlink || row.mode == 0 || row.linkTarget == it->linkTarget);
            }
            o.size = row.size;
            o.crc = row.crc;
            auto slot = archiveIndex.find(row.archive);
            if (slot == archiveIndex.end()) {
                slot = archiveIndex.emplace(row.archive, static_cast<uint32_t>(m_archives.size())).first;
                m_archives.push_back(row.archive);
            }
            o.archive = slot->second;
        });
    });
    std::sort(m_carried.begin(), m_carried.end(),
              [](const ManifestRow& a, const ManifestRow& b) { return a.path < b.path; });
    m_carriedFiles = static_cast<uint64_t>(std::count_if(m_carried.begin(), m_carried.end(), [](const ManifestRow& r) {
        return r.kind != ManifestKind::Directory;
    }));
    return base.has_value();
}

void Run::checkSources() const
{
    for (const auto& folder : m_selection.folders) {
        struct stat st {};
        if (::stat(folder.path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            static_cast<uint64_t>(st.st_dev) != folder.device || static_cast<uint64_t>(st.st_ino) != folder.inode)
            throw RunFailure {SourceNotFound, "The source folder " + folder.path +
                                                  " was removed or replaced while it was being backed up, so nothing "
                                                  "of this run was kept."};
    }
    // A few files that vanish are temporary files; most of them, a source that went away.
    if (m_vanished > 0 && m_vanished * 2 > m_selectedFiles)
        throw RunFailure {SourceNotFound, std::to_string(m_vanished) + " of the " +
                                              plural(m_selectedFiles, "selected file", "selected files") +
                                              " vanished while they were being backed up (was the source removed?), "
                                              "so nothing of this run was kept."};
}

} // namespace stowkeep::engine::detail
