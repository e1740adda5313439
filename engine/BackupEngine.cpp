#include "BackupEngine.h"

#include "restore/Restorer.h"
#include "run/Run.h"
#include "run/RunSupport.h"

#include <set>

namespace stowkeep::engine {

struct BackupEngine::Impl : detail::EngineState
{
    std::set<int32_t> restoreResults; // codes whose last result came from a restore
};

BackupEngine::BackupEngine() : m(std::make_unique<Impl>()) {}

BackupEngine::~BackupEngine() = default;

void BackupEngine::setCatalogFolder(std::string folder)
{
    m->catalogFolder = std::move(folder);
}

void BackupEngine::setLogFolder(std::string folder)
{
    m->logFolder = std::move(folder);
}

void BackupEngine::setLogDetailLevel(int32_t level)
{
    if (level < 1 || level > 3)
        throw EngineError("The log detail level " + std::to_string(level) + " is not valid (1, 2 or 3)");
    m->logLevel = level;
}

void BackupEngine::setWriteFaultHook(WriteFaultHook hook)
{
    m->writeFault = std::move(hook);
}

void BackupEngine::setReadFaultHook(ReadFaultHook hook)
{
    m->readFault = std::move(hook);
}

void BackupEngine::setTestHooks(TestHooks hooks)
{
    m->hooks = std::move(hooks);
}

int32_t BackupEngine::RunJob(const BackupJob& job, const RunControl& control)
{
    try {
        detail::Run run(*this, *m, job, control);
        const int32_t code = run.execute();
        if (code != Success)
            m->lastFailure[code] += detail::logSentence(run.logPath());
        m->restoreResults.erase(code);
        return code;
    } catch (const std::exception& e) {
        // Only reached when even the run's set-up failed (e.g. out of memory).
        m->lastFailure[CannotWriteDestination] = std::string("Unexpected error: ") + e.what();
        return CannotWriteDestination;
    } catch (...) {
        m->lastFailure[CannotWriteDestination] = "Unexpected error.";
        return CannotWriteDestination;
    }
}

std::vector<RunInfo> BackupEngine::ListRuns(const RestoreJob& job, const RestoreControl& control)
{
    try {
        detail::SetHistory history(m->catalogFolder, job);
        detail::PasswordBook passwords(job.encryptionPassword(), nullptr);
        return history.runs(passwords, control.cancel);
    } catch (const detail::RunFailure& failure) {
        throw EngineError(failure.detail);
    } catch (const zip::Cancelled&) {
        throw EngineError("Listing the backups was cancelled.");
    }
}

std::vector<ManifestRow> BackupEngine::ListFiles(const RestoreJob& job, const RestoreControl& control)
{
    try {
        detail::SetHistory history(m->catalogFolder, job);
        detail::PasswordBook passwords(job.encryptionPassword(), &control);
        return history.state(job.run(), passwords).rows;
    } catch (const detail::RunFailure& failure) {
        throw EngineError(failure.detail);
    }
}

int32_t BackupEngine::Restore(const RestoreJob& job, RestoreReport& report, const RestoreControl& control)
{
    int32_t code = Success;
    try {
        detail::Restorer restorer(*this, *m, job, report, control);
        code = restorer.execute();
        if (code != Success)
            m->lastFailure[code] += detail::logSentence(restorer.logPath());
    } catch (const std::exception& e) {
        // Only reached when even the restore's set-up failed (e.g. out of memory).
        code = SomeFilesNotRestored;
        m->lastFailure[code] = std::string("Unexpected error: ") + e.what();
    }
    m->restoreResults.insert(code);
    return code;
}

namespace {

// The sentence for a code that backups and restores share, when a restore gave it last.
std::string restoreText(int32_t code)
{
    switch (code) {
    case Success:
        return "The files were restored.";
    case InvalidJob:
        return "The restore is not set up completely.";
    case MediumNotAvailable:
        return "The backup medium is not available: connect or insert the drive that holds the backup folder and "
               "try again.";
    case CatalogFailure:
        return "The backup catalog could not be read.";
    case Cancelled:
        return "The restore was cancelled.";
    default:
        return {};
    }
}

} // namespace

std::string detail::endedText(int32_t code)
{
    static const char* const kNames[] = {
        "success", "invalid settings", "medium not available", "source not found", "nothing to back up",
        "some files unreadable", "cannot write the backup", "verification failed", "catalog error", "cancelled",
        "wrong password", "archive missing", "some files not restored", "backup not available",
        "cannot write the target folder", "archive damaged",
    };
    static_assert(std::size(kNames) == ArchiveDamaged + 1);
    if (code == Success)
        return "finished";
    std::string text = "ended with code " + std::to_string(code);
    if (code > Success && code < static_cast<int32_t>(std::size(kNames)))
        text += std::string(" (") + kNames[code] + ")";
    return text;
}

std::string detail::resultSentence(int32_t code)
{
    switch (code) {
    case Success:
        return "The backup finished successfully.";
    case InvalidJob:
        return "The backup job is not set up completely.";
    case MediumNotAvailable:
        return "The backup medium is not available: connect or insert the drive that holds the backup folder and "
               "try again.";
    case SourceNotFound:
        return "A folder to back up was not found, so nothing was backed up.";
    case NothingToBackUp:
        return "There was nothing to back up.";
    case SomeFilesUnreadable:
        return "Some files could not be read and are missing from the backup; everything else was backed up.";
    case CannotWriteDestination:
        return "The backup could not be written to the destination (the disk may be full or not writable); "
               "nothing was kept.";
    case VerificationFailed:
        return "The backup was written, but checking it afterwards failed: it may be damaged.";
    case CatalogFailure:
        return "The backup catalog could not be read or written.";
    case Cancelled:
        return "The backup was cancelled; nothing was kept.";
    case WrongPassword:
        return "The password does not open some archives of this backup, so the files they hold were not restored.";
    case ArchiveMissing:
        return "Some archives of this backup are missing from the backup folder, so the files they hold were not "
               "restored.";
    case SomeFilesNotRestored:
        return "Some files were not restored; everything else was.";
    case RunNotAvailable:
        return "The backup to restore from is not available.";
    case CannotWriteTarget:
        return "The files could not be written to the target folder (the disk may be full or not writable).";
    case ArchiveDamaged:
        return "An archive of this backup is damaged or was altered.";
    default:
        return "Unknown backup error (code " + std::to_string(code) + ").";
    }
}

std::string BackupEngine::GetErrorText(int32_t, int32_t code) const
{
    const bool ofRestore = m->restoreResults.count(code) != 0;
    std::string text = ofRestore ? restoreText(code) : std::string();
    if (text.empty())
        text = detail::resultSentence(code);
    // A successful restore has nothing to add; a successful backup may (a full backup made
    // instead of an incremental one, say).
    if ((code == Success && ofRestore) || code < Success || code > ArchiveDamaged)
        return text;
    const auto it = m->lastFailure.find(code);
    if (it == m->lastFailure.end() || it->second.empty())
        return text;
    // A missing drive's detail says it all (the folder, why, what to do), and the general
    // sentence before it would push the reason out of a notification cut short.
    if (code == MediumNotAvailable)
        return it->second;
    return text + " " + it->second;
}

std::string BackupEngine::LastRunNotices() const
{
    const auto it = m->lastFailure.find(Success);
    return it != m->lastFailure.end() ? it->second : std::string();
}

std::vector<RunOverview> BackupEngine::LastRuns(std::vector<SetInFolder> sets) const
{
    if (m->catalogFolder.empty())
        return std::vector<RunOverview>(sets.size());
    for (SetInFolder& set : sets)
        set.folder = detail::normalizeFolder(set.folder);
    return readRunOverviews(m->catalogFolder, sets);
}

RunOverview BackupEngine::LastRuns(const std::string& setName, const std::string& folder) const
{
    return LastRuns(std::vector<SetInFolder> {{setName, folder}}).front();
}

std::vector<SetInFolder> BackupEngine::RestorableSets() const
{
    if (m->catalogFolder.empty())
        return {};
    return readRestorableSets(m->catalogFolder);
}

} // namespace stowkeep::engine
