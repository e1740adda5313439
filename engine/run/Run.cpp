#include "Run.h"

#include "RunSupport.h"

#include <cerrno>
#include <cstdio>

namespace stowkeep::engine::detail {

Run::Run(BackupEngine& engine, EngineState& impl, const BackupJob& job, const RunControl& control)
    : m_engine(engine), m_impl(impl), m_job(job), m_control(control)
{
    m_start = m_impl.hooks.clock ? m_impl.hooks.clock() : std::chrono::system_clock::now();
    m_startTime = std::chrono::system_clock::to_time_t(m_start);
    m_steadyStart = std::chrono::steady_clock::now();
    m_stamp = formatLocalTime(m_startTime, "%Y%m%d-%H%M%S");
    m_log = std::make_unique<RunLog>(m_impl.logFolder, m_impl.logLevel, m_startTime, job.backupSetName());
}

int32_t Run::execute()
{
    int32_t code = Success;
    m_phaseCode = InvalidJob;
    try {
        code = backUp();
    } catch (const RunFailure& failure) {
        code = failure.code;
        m_failureDetail = failure.detail;
    } catch (const zip::Cancelled&) {
        code = Cancelled;
        m_failureDetail = "The run was cancelled.";
    } catch (const zip::WriteError& e) {
        code = CannotWriteDestination;
        m_failureDetail = writeErrorText(e);
    } catch (const CatalogError& e) {
        code = CatalogFailure;
        m_failureDetail = catalogSentence(e);
    } catch (const std::exception& e) {
        code = m_phaseCode;
        m_failureDetail = std::string("Unexpected error: ") + e.what();
    } catch (...) {
        code = m_phaseCode;
        m_failureDetail = "Unexpected error.";
    }
    if (code != Success && code != SomeFilesUnreadable && code != VerificationFailed) {
        discardArchive();
        recordFailedRun(code);
    }
    std::string notices;
    for (const auto& notice : m_notices)
        notices += " " + notice;
    if (code != Success) {
        m_log->error(m_failureDetail);
        m_impl.lastFailure[code] = m_failureDetail + notices;
    } else {
        m_impl.lastFailure[Success] = notices.empty() ? notices : notices.substr(1);
    }
    logSummary(code);
    return code;
}

std::string Run::writeErrorText(const zip::WriteError& e) const
{
    if (e.error() == ENOSPC || e.error() == EDQUOT)
        return "The destination " + m_job.backupFolder() + " is full (" + e.what() + ").";
    if (e.error() == EFBIG)
        return "The destination " + m_job.backupFolder() + " takes no file as large as this backup (" + e.what() +
               "): a drive formatted FAT32 holds files up to 4 GB; one formatted exFAT, NTFS or ext4 holds larger ones.";
    return std::string("Writing to ") + m_job.backupFolder() + " failed: " + e.what();
}

void Run::checkCancel() const
{
    if (cancelled())
        throw zip::Cancelled();
}

int32_t Run::backUp()
{
    checkJob();
    m_log->info("Backup of \"" + m_job.backupSetName() + "\" started: " +
                (m_job.backupType() == FullBackup ? "all files" : "new and modified files") + " to " +
                m_job.backupFolder() + ", compression " + std::to_string(m_job.compressionLevel()) +
                (m_job.encryptionPassword().empty() ? ", not encrypted" : ", encrypted") +
                (m_job.verifyAfterBackup() ? ", verified" : ""));

    m_phaseCode = CatalogFailure;
    openCatalog();

    m_phaseCode = MediumNotAvailable;
    findMedium();
    m_phaseCode = CatalogFailure;
    removeLeftovers();
    withCatalog([this] { adoptArchives(); });

    m_phaseCode = SourceNotFound;
    resolve();
    if (m_impl.hooks.afterSelection)
        m_impl.hooks.afterSelection();

    m_phaseCode = CannotWriteDestination;
    decide();
    if (m_writeArchive)
        writeArchive();
    else
        checkSources();

    m_phaseCode = VerificationFailed;
    if (!m_archiveName.empty() && m_job.verifyAfterBackup())
        verify();

    int32_t code = Success;
    if (m_verified == false)
        code = VerificationFailed;
    else if (!m_unreadable.empty())
        code = SomeFilesUnreadable;
    if (code == VerificationFailed && !m_readBackError.empty())
        m_failureDetail = "The archive " + m_archivePath + " could not be read back to verify it (" + m_readBackError +
                          "). Check that the drive is connected and sound.";
    else if (code == VerificationFailed)
        m_failureDetail = "The archive " + m_archivePath + " failed verification: " +
                          plural(m_badEntries.size(), "entry differs", "entries differ") + " (" +
                          listNames(m_badEntries) + ").";
    else if (code == SomeFilesUnreadable)
        m_failureDetail = plural(m_unreadable.size(), "file", "files") + " could not be read (" +
                          listNames(m_unreadable) + ")." +
                          (m_carriedFiles > 0 ? " Where an earlier backup holds them, this one keeps that copy." : "");

    m_phaseCode = CatalogFailure;
    record(code);

    if ((code == Success || code == SomeFilesUnreadable) && m_job.retentionPeriod() >= 0)
        applyRetention(code);
    if (code != Success)
        throw RunFailure {code, m_failureDetail};
    return code;
}

void Run::checkJob()
{
    std::vector<std::string> missing;
    if (m_job.backupFolder().empty())
        missing.push_back("no backup folder");
    if (m_job.backupSetName().empty())
        missing.push_back("no backup set name");
    if (!m_job.selection() || m_job.selection()->includeItems().empty())
        missing.push_back("no item to back up");
    if (!missing.empty()) {
        std::string text;
        for (const auto& m : missing)
            text += (text.empty() ? "" : ", ") + m;
        throw RunFailure {InvalidJob, "The backup job has " + text + "."};
    }
    if (m_job.backupFolder().front() != '/')
        throw RunFailure {InvalidJob, "The backup folder \"" + m_job.backupFolder() + "\" is not an absolute path."};
    if (m_impl.catalogFolder.empty())
        throw RunFailure {CatalogFailure, "No catalog folder is set."};
    m_folder = normalizeFolder(m_job.backupFolder());
    m_setFile = sanitizeSetName(m_job.backupSetName());
}

void Run::openCatalog()
{
    try {
        m_catalog = std::make_unique<Catalog>(m_impl.catalogFolder, m_stamp);
    } catch (const CatalogError& e) {
        throw RunFailure {CatalogFailure, catalogSentence(e)};
    }
    if (!m_catalog->movedAside().empty())
        m_log->error("The catalog " + m_catalog->path() +
                     " could not be read as a database; it was moved aside to " + m_catalog->movedAside() +
                     " and a new catalog begun.");
    if (m_catalog->converted())
        m_log->info("The catalog " + m_catalog->path() + " was converted to this version's form.");
    m_rebuilding = m_catalog->created() || !m_catalog->movedAside().empty();
}

RunRecord Run::baseRecord(int32_t code) const
{
    RunRecord run;
    run.setName = m_job.backupSetName();
    run.folder = m_folder;
    run.startTime = m_startTime;
    run.endTime = m_startTime + std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::steady_clock::now() - m_steadyStart).count();
    run.kind = kindText();
    run.archive = m_archiveName;
    run.result = code;
    for (const Outcome& o : m_outcomes) {
        if (o.fate == Fate::Left)
            continue;
        ++run.files;
        run.bytes += o.size;
    }
    for (const ManifestRow& r : m_carried) {
        ++run.files;
        run.bytes += r.size;
    }
    run.filesWritten = m_writtenCount;
    run.bytesRead = m_bytesRead;
    run.bytesWritten = m_bytesWritten;
    if (m_job.verifyAfterBackup() && !m_archiveName.empty())
        run.verified = m_verified;
    if (run.verified == true)
        run.checked = m_startTime;
    run.medium = m_medium;
    run.mediumMount = m_mediumMount;
    // What GetErrorText tells of this run, kept for the program's status of the set.
    if (code != Success)
        run.failure = resultSentence(code) + (m_failureDetail.empty() ? "" : " " + m_failureDetail) +
                      logSentence(m_log->path());
    return run;
}

void Run::discardArchive()
{
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
    if (m_tempCreated) {
        ::unlink(m_tempPath.c_str());
        m_tempCreated = false;
    }
    if (m_archiveCreated) {
        ::unlink(m_archivePath.c_str());
        m_archiveCreated = false;
    }
    if (!m_pendingName.empty() && m_catalog) {
        try {
            m_catalog->clearPending(m_folder, m_pendingName);
        } catch (const CatalogError&) {
            // Forgotten by the next run, which finds no such file.
        }
        m_pendingName.clear();
    }
}

void Run::logSummary(int32_t code)
{
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_steadyStart).count();
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f s", seconds);
    std::string text = "Backup of \"" + m_job.backupSetName() + "\" ";
    text += endedText(code);
    const bool kept = code == Success || code == SomeFilesUnreadable || code == VerificationFailed;
    if (!m_archiveName.empty() && kept)
        text += ": " + kindText() + " archive " + m_archivePath;
    else if (code == Success)
        text += ": nothing changed, no archive written";
    text += "; " + plural(m_selectedFiles, "file", "files") + " selected (" + std::to_string(m_selectedBytes) + " bytes)";
    if (!kept) {
        // What it had written went with it: its counts are not those of a backup.
        text += "; nothing of this run was kept; " + std::string(duration) + ".";
        for (const auto& notice : m_notices)
            text += " " + notice;
        m_log->info(text);
        return;
    }
    text += ", " + std::to_string(m_writtenCount) + " entries stored, " +
            std::to_string(m_unreadable.size()) + " unreadable; " + std::to_string(m_bytesRead) +
            " bytes read, " + std::to_string(m_bytesWritten) + " bytes written; " + duration + "; verification ";
    if (m_archiveName.empty() || !m_job.verifyAfterBackup())
        text += "not done";
    else
        text += m_verified == true ? "passed" : m_verified == false ? "FAILED" : "not done";
    if (!m_rechecked.empty())
        text += "; checked again: " + listAll(m_rechecked);
    if (!m_retentionDeleted.empty())
        text += "; retention deleted " + listAll(m_retentionDeleted);
    else if ((code == Success || code == SomeFilesUnreadable) && m_job.retentionPeriod() >= 0)
        text += "; retention deleted nothing";
    text += ".";
    for (const auto& notice : m_notices)
        text += " " + notice;
    m_log->info(text);
}

} // namespace stowkeep::engine::detail
