#include "restore/Restorer.h"

#include "run/RunSupport.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

namespace {

const char* existingText(ExistingFiles e)
{
    switch (e) {
    case ExistingFiles::KeepBoth:
        return "keep both";
    case ExistingFiles::Replace:
        return "replace";
    case ExistingFiles::Skip:
        break;
    }
    return "skip";
}

std::string belowText(uint64_t below)
{
    if (below == 0)
        return {};
    return below == 1 ? "; the item below it was not restored"
                      : "; the " + std::to_string(below) + " items below it were not restored";
}

bool byPath(const RestoreItem& a, const RestoreItem& b)
{
    return a.path < b.path;
}

} // namespace

Restorer::Restorer(BackupEngine& engine, EngineState& state, const RestoreJob& job, RestoreReport& report,
                   const RestoreControl& control)
    : m_engine(engine), m_state(state), m_job(job), m_report(report), m_control(control)
{
    m_steadyStart = std::chrono::steady_clock::now();
    m_log = std::make_unique<RunLog>(state.logFolder, state.logLevel, std::time(nullptr), job.backupSetName());
}

Restorer::~Restorer() = default;

void Restorer::checkCancel() const
{
    if (cancelled())
        throw zip::Cancelled();
}

int32_t Restorer::execute()
{
    m_report = RestoreReport {};
    m_report.run = m_job.run();
    m_report.target = m_job.targetFolder();
    int32_t code = -1;
    try {
        code = restore();
    } catch (const RunFailure& failure) {
        code = failure.code;
        m_failureDetail = failure.detail;
    } catch (const zip::Cancelled&) {
        code = Cancelled;
    } catch (const std::exception& e) {
        code = SomeFilesNotRestored;
        m_failureDetail = std::string("Unexpected error: ") + e.what();
    }
    if (m_target) {
        try {
            finishFolders();
        } catch (const std::exception& e) {
            m_log->error(std::string("Cannot finish the folders: ") + e.what());
        }
    }
    fillReport();
    if (code == Success)
        code = decide();
    else if (code == Cancelled)
        m_failureDetail = "No file was left half-written.";
    if (code != Success) {
        m_log->error(m_failureDetail);
        m_state.lastFailure[code] = m_failureDetail;
    }
    logSummary(code);
    return code;
}

int32_t Restorer::restore()
{
    checkJob();
    const RunInfo& run = m_job.run();
    m_log->info("Restore of \"" + m_job.backupSetName() + "\" started: the backup of " +
                formatLocalTime(static_cast<std::time_t>(run.startTime)) +
                (run.archive.empty() ? "" : " (" + run.archive + ")") + " to " + m_job.targetFolder() +
                ", existing files: " + existingText(m_job.existingFiles()));
    m_history = std::make_unique<SetHistory>(m_state.catalogFolder, m_job);
    PasswordBook passwords(m_job.encryptionPassword(), &m_control);
    if (run.id == 0)
        findMedium();
    SetHistory::State state = m_history->state(run, passwords);
    if (!state.catalogDamage.empty())
        m_log->warning(state.catalogDamage);
    select(std::move(state));
    findMedium();
    openArchives(passwords);
    // When no password opens any archive, its folders and empty files alone are not made:
    // they would only stand in the way of the next try, with the right password. decide()
    // tells which archives stayed locked.
    if (!m_lockedArchives.empty() && std::none_of(m_archives.begin(), m_archives.end(),
                                                  [](const Archive& a) { return a.opened; }))
        return Success;
    // Nothing left to restore (every path asked for is missing from the backup, or refused):
    // no target folder is made, to be found empty later.
    if (std::none_of(m_items.begin(), m_items.end(), [](const Item& i) { return i.fate == Fate::Pending; }))
        return Success;
    makeFolders();
    extract(passwords);
    return Success;
}

void Restorer::checkJob()
{
    const RunInfo& run = m_job.run();
    if (run.id == 0 && run.archive.empty())
        throw RunFailure {InvalidJob, "The restore names no backup to restore from."};
    if (m_job.targetFolder().empty())
        throw RunFailure {InvalidJob, "The restore has no target folder."};
    if (m_job.targetFolder().front() != '/')
        throw RunFailure {InvalidJob, "The target folder \"" + m_job.targetFolder() + "\" is not an absolute path."};
    // Restored files among the archives could take an archive's name, or be taken for one.
    auto canonical = [](const std::string& folder, std::error_code& ec) {
        fs::path p = fs::weakly_canonical(folder, ec);
        return p.has_relative_path() && p.filename().empty() ? p.parent_path() : p;
    };
    std::error_code ec;
    const fs::path target = canonical(m_job.targetFolder(), ec);
    const fs::path backups = canonical(m_job.backupFolder(), ec);
    if (!ec && !backups.empty()) {
        const auto [end, _] = std::mismatch(backups.begin(), backups.end(), target.begin(), target.end());
        if (end == backups.end())
            throw RunFailure {InvalidJob, "The target folder " + m_job.targetFolder() +
                                              " is the backup folder or lies inside it; choose another one."};
    }
}

// The backup folder must be there, with at least one of the archives the restore reads
// when it needs any: an empty mount point is not the drive.
void Restorer::findMedium()
{
    std::set<std::string> needed;
    for (const Item& item : m_items)
        if (item.fate == Fate::Pending && !item.row.archive.empty() &&
            ((item.row.kind == ManifestKind::File && item.row.size > 0) ||
             (item.row.kind == ManifestKind::Symlink && item.row.mode == 0)))
            needed.insert(item.row.archive);
    if (m_items.empty() && m_job.run().id == 0)
        needed.insert(m_job.run().archive);
    const std::string& folder = m_history->folder();
    auto present = [&] {
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
        if (needed.empty())
            return true;
        for (const auto& name : needed)
            if (name.find('/') == std::string::npos && ::lstat((fs::path(folder) / name).c_str(), &st) == 0)
                return true;
        return false;
    };
    while (!present()) {
        checkCancel();
        m_log->warning("The backup medium for " + folder + " is not available; asking for it.");
        if (m_engine.OnInsertMedia && m_engine.OnInsertMedia(folder, 1))
            continue;
        struct stat st {};
        if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            throw RunFailure {MediumNotAvailable,
                              "The backup folder " + folder + " holds none of the backups needed (" +
                                  listNames({needed.begin(), needed.end()}) +
                                  "): the drive may not be connected, or they were moved or deleted."};
        throw RunFailure {MediumNotAvailable, "The backup folder " + folder +
                                                  " is not available (the drive may be disconnected): connect or "
                                                  "insert the drive that holds it and try again."};
    }
}

int32_t Restorer::decide()
{
    if (m_targetError) {
        m_failureDetail = "Writing to " + m_job.targetFolder() + " failed (" + m_targetError->text + "), so " +
                          plural(m_report.failed.size(), "file was", "files were") + " not restored.";
        return CannotWriteTarget;
    }
    if (m_readError) {
        m_failureDetail = "Reading the backup stopped (" + *m_readError + "), so " +
                          plural(m_report.failed.size(), "file was", "files were") +
                          " not restored. Check that the drive that holds it is connected, then restore again.";
        return SomeFilesNotRestored;
    }
    auto filesOf = [this](const std::vector<std::string>& archives) {
        uint64_t n = 0;
        for (const Item& item : m_items)
            n += item.fate == Fate::Failed &&
                 std::find(archives.begin(), archives.end(), item.row.archive) != archives.end();
        return n;
    };
    if (!m_lockedArchives.empty()) {
        m_failureDetail = "No password given opens " + plural(m_lockedArchives.size(), "archive", "archives") + " (" +
                          listNames(m_lockedArchives) + "), so the " +
                          plural(filesOf(m_lockedArchives), "file held there was", "files held there were") +
                          " not restored.";
        return WrongPassword;
    }
    if (!m_missingArchives.empty()) {
        m_failureDetail = plural(m_missingArchives.size(), "archive is", "archives are") + " missing from " +
                          m_history->folder() + " (" + listNames(m_missingArchives) + "), so the " +
                          plural(filesOf(m_missingArchives), "file held there was", "files held there were") +
                          " not restored.";
        return ArchiveMissing;
    }
    if (!m_damagedArchives.empty()) {
        std::vector<std::string> names, described;
        for (const RestoreItem& a : m_damagedArchives) {
            names.push_back(a.path);
            described.push_back(a.path + " (" + a.detail + ")");
        }
        const bool one = names.size() == 1;
        const uint64_t notFound = filesOf(names);
        m_failureDetail = listNames(described) + (one ? " is" : " are") + " damaged: without " +
                          (one ? "its" : "their") + " directory the files were looked for from their own headers. " +
                          (notFound > 0 ? plural(notFound, "file was", "files were") +
                                              " not found whole there; every restored file matched its checksum."
                                        : std::string("Every restored file matched its checksum.")) +
                          " Make a new full backup.";
        return ArchiveDamaged;
    }
    if (!m_unauthentic.empty()) {
        m_failureDetail = "The authentication code of " + listNames(m_unauthentic) +
                          " does not match: the archive is damaged or was altered. Every restored file matched its "
                          "checksum, but check them before you rely on them.";
        return ArchiveDamaged;
    }
    std::vector<std::string> names;
    for (const auto* list : {&m_report.failed, &m_report.refused})
        for (const auto& item : *list)
            names.push_back(item.path);
    for (const auto& item : m_report.skipped)
        if (item.detail.find(" is in the way") != std::string::npos)
            names.push_back(item.path);
    names.insert(names.end(), m_report.notInRun.begin(), m_report.notInRun.end());
    if (!names.empty()) {
        std::sort(names.begin(), names.end());
        m_failureDetail = plural(names.size(), "item was", "items were") + " not restored (" + listNames(names) + ").";
        return SomeFilesNotRestored;
    }
    return Success;
}

void Restorer::fillReport()
{
    RestoreReport& r = m_report;
    for (const Item& item : m_items) {
        const std::string& path = item.row.path;
        const auto block = m_blocked.find(path);
        const std::string detail =
            item.detail + (block != m_blocked.end() && block->second.isItem ? belowText(block->second.below) : "");
        switch (item.fate) {
        case Fate::Restored:
            r.restored.push_back(path);
            ++r.files;
            r.bytes += item.row.size;
            m_log->file("Restored " + path);
            break;
        case Fate::RestoredAs:
            r.restoredAs.push_back({path, detail});
            ++r.files;
            r.bytes += item.row.size;
            m_log->file("Restored " + path + " as " + detail);
            break;
        case Fate::Skipped:
            r.skipped.push_back({path, detail});
            m_log->file("Skipped " + path + ": " + detail);
            break;
        case Fate::InTheWay:
            r.skipped.push_back({path, detail});
            ++r.skippedInTheWay;
            m_log->warning("Not restored: " + path + ": " + detail);
            break;
        case Fate::Failed:
            r.failed.push_back({path, detail});
            m_log->error("Not restored: " + path + ": " + detail);
            break;
        case Fate::Refused:
            r.refused.push_back({path, detail});
            m_log->error("Refused: " + path + ": " + detail);
            break;
        case Fate::Made:
            ++r.folders;
            break;
        case Fate::Pending:
            if (m_targetError && item.row.kind != ManifestKind::Directory)
                r.failed.push_back({path, "not restored: " + m_targetError->text});
            else if (m_readError && item.row.kind != ManifestKind::Directory)
                r.failed.push_back({path, "not restored: reading the backup stopped (" + *m_readError + ")"});
            break;
        case Fate::Below:
        case Fate::Merged:
            break;
        }
    }
    for (const auto& [path, block] : m_blocked) {
        if (block.isItem)
            continue;
        const RestoreItem item {path, block.detail + belowText(block.below)};
        m_log->error("Not restored: " + item.path + ": " + item.detail);
        if (block.fate == Fate::InTheWay) {
            r.skipped.push_back(item);
            ++r.skippedInTheWay;
        } else {
            (block.fate == Fate::Refused ? r.refused : r.failed).push_back(item);
        }
    }
    r.folders += m_madeFolders.size();
    for (auto* list : {&r.skipped, &r.failed, &r.refused})
        std::sort(list->begin(), list->end(), byPath);
    for (const Archive& a : m_archives)
        if (a.encrypted && std::find(r.authenticated.begin(), r.authenticated.end(), a.name) == r.authenticated.end())
            r.notAuthenticated.push_back(a.name);
}

void Restorer::logSummary(int32_t code)
{
    const RestoreReport& r = m_report;
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f s",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - m_steadyStart).count());
    std::string text = "Restore of \"" + m_job.backupSetName() + "\" ";
    text += endedText(code);
    text += ": " + plural(r.files, "file", "files") + " restored (" + std::to_string(r.bytes) + " bytes), " +
            std::to_string(r.restoredAs.size()) + " of them beside existing ones; " + std::to_string(r.skipped.size()) +
            " skipped, " + std::to_string(r.failed.size()) + " failed, " + std::to_string(r.refused.size()) +
            " refused, " + std::to_string(r.notInRun.size()) + " not in the backup; " +
            plural(r.folders, "folder", "folders") + " made; " + duration;
    if (!r.authenticated.empty())
        text += "; authentication code checked on " + listAll(r.authenticated);
    if (!r.notAuthenticated.empty())
        text += "; authentication code not checked on " + listAll(r.notAuthenticated) +
                " (only a restore of the whole backup reads all of it)";
    m_log->info(text + ".");
}

} // namespace stowkeep::engine::detail
