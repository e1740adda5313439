#include "BackupEngine.h"

#include "run/Run.h"

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
        if (code != Success && !run.logPath().empty())
            m->lastFailure[code] += " The log " + run.logPath() + " has the details.";
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

std::string BackupEngine::GetErrorText(int32_t, int32_t code) const
{
    std::string text;
    switch (code) {
    case Success:
        text = "The backup finished successfully.";
        break;
    case InvalidJob:
        text = "The backup job is not set up completely.";
        break;
    case MediumNotAvailable:
        text = "The backup medium is not available: connect or insert the drive that holds the backup folder and "
               "try again.";
        break;
    case SourceNotFound:
        text = "A folder to back up was not found, so nothing was backed up.";
        break;
    case NothingToBackUp:
        text = "There was nothing to back up: the selection matched no file.";
        break;
    case SomeFilesUnreadable:
        text = "Some files could not be read and are missing from the backup; everything else was backed up.";
        break;
    case CannotWriteDestination:
        text = "The backup could not be written to the destination (the disk may be full or not writable); "
               "nothing was kept.";
        break;
    case VerificationFailed:
        text = "The backup was written, but checking it afterwards found differences: it may be damaged.";
        break;
    case CatalogFailure:
        text = "The backup catalog could not be read or written.";
        break;
    case Cancelled:
        text = "The backup was cancelled; nothing was kept.";
        break;
    default:
        return "Unknown backup error (code " + std::to_string(code) + ").";
    }
    const auto it = m->lastFailure.find(code);
    if (it != m->lastFailure.end() && !it->second.empty())
        text += " " + it->second;
    return text;
}

} // namespace stowkeep::engine
