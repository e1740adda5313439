#include "BackupEngine.h"

#include "run/Run.h"
#include "run/RunSupport.h"

namespace stowkeep::engine {

struct BackupEngine::Impl : detail::EngineState
{
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

std::string detail::resultSentence(int32_t code)
{
    switch (code) {
    case Success:
        text = "The backup finished successfully.";
        break;
    case InvalidJob:
        return "The backup job is not set up completely.";
    case MediumNotAvailable:
        return "The backup medium is not available: connect or insert the drive that holds the backup folder and "
               "try again.";
    case SourceNotFound:
        return "A folder to back up was not found, so nothing was backed up.";
    case NothingToBackUp:
        return "There was nothing to back up: the selection matched no file.";
    case SomeFilesUnreadable:
        return "Some files could not be read and are missing from the backup; everything else was backed up.";
    case CannotWriteDestination:
        return "The backup could not be written to the destination (the disk may be full or not writable); "
               "nothing was kept.";
    case VerificationFailed:
        return "The backup was written, but checking it afterwards found differences: it may be damaged.";
    case CatalogFailure:
        return "The backup catalog could not be read or written.";
    case Cancelled:
        return "The backup was cancelled; nothing was kept.";
    default:
        return "Unknown backup error (code " + std::to_string(code) + ").";
    }
}

std::string BackupEngine::GetErrorText(int32_t, int32_t code) const
{
    std::string text = detail::resultSentence(code);
    if (code == Success || code < InvalidJob || code > Cancelled)
        return text;
    const auto it = m->lastFailure.find(code);
    if (it != m->lastFailure.end() && !it->second.empty())
        text += " " + it->second;
    return text;
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

} // namespace stowkeep::engine
