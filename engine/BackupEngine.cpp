#include "BackupEngine.h"

#include "Catalog.h"
#include "RunLog.h"
#include "Selection.h"
#include "zip/OutputFile.h"
#include "zip/ZipReader.h"
#include "zip/ZipWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace stowkeep::engine {

namespace fs = std::filesystem;

namespace {

constexpr size_t kNamesInText = 5; // file names a user-facing text lists before "and N more"

// A run ends early with this: the code and what the engine knows about the failure.
struct RunFailure
{
    int32_t code;
    std::string detail;
};

// The set name as part of a file name: also the characters that FAT, exFAT and NTFS
// drives refuse, since backups so often go to such a drive.
std::string sanitizeSetName(const std::string& name)
{
    static constexpr std::string_view refused = "/\\:*?\"<>|";
    std::string out;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        out += (refused.find(c) != std::string_view::npos || u < 0x20 || u == 0x7f) ? '_' : c;
    }
    // Leave room in a 255-byte file name for the time, the kind and the suffixes.
    constexpr size_t kMax = 200;
    if (out.size() > kMax) {
        size_t cut = kMax;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
            --cut;
        out.resize(cut);
    }
    return out;
}

bool isDigits(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// ".<set>_YYYYMMDD-HHMMSS_<kind>[-N].zip.part": a temporary archive of this set.
bool isTemporaryOfSet(std::string_view file, const std::string& set)
{
    const std::string prefix = "." + set + "_";
    constexpr std::string_view suffix = ".zip.part";
    if (file.size() < prefix.size() + suffix.size() || file.substr(0, prefix.size()) != prefix ||
        file.substr(file.size() - suffix.size()) != suffix)
        return false;
    std::string_view rest = file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
    if (rest.size() < 16 || !isDigits(rest.substr(0, 8)) || rest[8] != '-' || !isDigits(rest.substr(9, 6)) ||
        rest[15] != '_')
        return false;
    rest.remove_prefix(16);
    for (std::string_view kind : {std::string_view("full"), std::string_view("incremental")}) {
        if (rest.substr(0, kind.size()) != kind)
            continue;
        const std::string_view counter = rest.substr(kind.size());
        if (counter.empty() || (counter[0] == '-' && isDigits(counter.substr(1))))
            return true;
    }
    return false;
}

void syncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw zip::WriteError("cannot open the folder " + folder + ": " + std::strerror(errno), errno);
    const int rc = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    // Some file systems cannot sync a folder; that is not a failed write.
    if (rc != 0 && error != EINVAL && error != ENOTSUP)
        throw zip::WriteError("cannot flush the folder " + folder + ": " + std::strerror(error), error);
}

std::string listNames(const std::vector<std::string>& names)
{
    std::string text;
    for (size_t i = 0; i < names.size() && i < kNamesInText; ++i)
        text += (i ? ", " : "") + names[i];
    if (names.size() > kNamesInText)
        text += " and " + std::to_string(names.size() - kNamesInText) + " more";
    return text;
}

std::string plural(uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string normalizeFolder(const std::string& folder)
{
    std::string f = fs::path(folder).lexically_normal().string();
    while (f.size() > 1 && f.back() == '/')
        f.pop_back();
    return f;
}

zip::EntryKind zipKind(SelectedKind kind)
{
    switch (kind) {
    case SelectedKind::Directory:
        return zip::EntryKind::Directory;
    case SelectedKind::Symlink:
        return zip::EntryKind::Symlink;
    case SelectedKind::File:
        break;
    }
    return zip::EntryKind::File;
}

ManifestKind manifestKind(SelectedKind kind)
{
    switch (kind) {
    case SelectedKind::Directory:
        return ManifestKind::Directory;
    case SelectedKind::Symlink:
        return ManifestKind::Symlink;
    case SelectedKind::File:
        break;
    }
    return ManifestKind::File;
}

std::string zipName(const SelectedEntry& e)
{
    return e.kind == SelectedKind::Directory ? e.name + "/" : e.name;
}

// Compares a + (aSlash ? "/" : "") with b + (bSlash ? "/" : "") byte by byte, without
// building either: a folder's name in the archive ends in "/".
int compareWithSlash(std::string_view a, bool aSlash, std::string_view b, bool bSlash)
{
    const size_t n = std::min(a.size(), b.size());
    if (const int c = a.substr(0, n).compare(b.substr(0, n)))
        return c < 0 ? -1 : 1;
    // One is a prefix of the other: what follows is the rest of the longer one, then the slash.
    auto at = [](std::string_view s, bool slash, size_t i) -> int {
        if (i < s.size())
            return static_cast<unsigned char>(s[i]);
        return i == s.size() && slash ? '/' : -1;
    };
    for (size_t i = n;; ++i) {
        const int x = at(a, aSlash, i);
        const int y = at(b, bSlash, i);
        if (x != y)
            return x < y ? -1 : 1;
        if (x < 0)
            return 0;
    }
}

int64_t floorSeconds(int64_t ns)
{
    return ns >= 0 ? ns / 1000000000 : -((-ns + 999999999) / 1000000000);
}

struct EngineState
{
    std::string catalogFolder;
    std::string logFolder;
    int32_t logLevel = 2;
    WriteFaultHook writeFault;
    BackupEngine::TestHooks hooks;
    std::map<int32_t, std::string> lastFailure; // code -> what the engine knew
};

// One run of one job, from the checks to the summary line.
class Run
{
public:
    Run(BackupEngine& engine, EngineState& impl, const BackupJob& job, const RunControl& control)
        : m_engine(engine), m_impl(impl), m_job(job), m_control(control)
    {
        m_start = m_impl.hooks.clock ? m_impl.hooks.clock() : std::chrono::system_clock::now();
        m_startTime = std::chrono::system_clock::to_time_t(m_start);
        m_steadyStart = std::chrono::steady_clock::now();
        m_stamp = formatLocalTime(m_startTime, "%Y%m%d-%H%M%S");
        m_log = std::make_unique<RunLog>(m_impl.logFolder, m_impl.logLevel, m_startTime, job.backupSetName());
    }

    ~Run() { discardArchive(); }

    int32_t execute()
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
            m_failureDetail = e.what();
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
        if (code != Success) {
            m_log->error(m_failureDetail);
            m_impl.lastFailure[code] = m_failureDetail;
        }
        logSummary(code);
        return code;
    }

    const std::string& logPath() const { return m_log->path(); }

private:
    std::string writeErrorText(const zip::WriteError& e) const
    {
        if (e.error() == ENOSPC || e.error() == EDQUOT)
            return "The destination " + m_job.backupFolder() + " is full (" + e.what() + ").";
        return std::string("Writing to ") + m_job.backupFolder() + " failed: " + e.what();
    }

    bool cancelled() const { return m_control.cancel && m_control.cancel->load(); }
    void checkCancel() const
    {
        if (cancelled())
            throw zip::Cancelled();
    }

    int32_t backUp()
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
        removeLeftovers();

        m_phaseCode = SourceNotFound;
        resolve();
        if (m_impl.hooks.afterSelection)
            m_impl.hooks.afterSelection();

        m_phaseCode = CannotWriteDestination;
        decide();
        if (!m_toWrite.empty())
            writeArchive();

        m_phaseCode = VerificationFailed;
        if (!m_archiveName.empty() && m_job.verifyAfterBackup())
            verify();

        int32_t code = Success;
        if (m_verified == false)
            code = VerificationFailed;
        else if (!m_unreadable.empty())
            code = SomeFilesUnreadable;
        if (code == VerificationFailed)
            m_failureDetail = "The archive " + m_archivePath + " failed verification: " +
                              plural(m_badEntries.size(), "entry differs", "entries differ") + " (" +
                              listNames(m_badEntries) + ").";
        else if (code == SomeFilesUnreadable)
            m_failureDetail = plural(m_unreadable.size(), "file", "files") + " could not be read (" +
                              listNames(m_unreadable) + ").";

        m_phaseCode = CatalogFailure;
        record(code);

        if (code == Success && m_job.retentionPeriod() >= 0)
            applyRetention();
        if (code != Success)
            throw RunFailure {code, m_failureDetail};
        return code;
    }

    void checkJob()
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

    void openCatalog()
    {
        try {
            m_catalog = std::make_unique<Catalog>(m_impl.catalogFolder, m_stamp);
        } catch (const CatalogError& e) {
            throw RunFailure {CatalogFailure, e.what()};
        }
        if (!m_catalog->movedAside().empty())
            m_log->error("The catalog " + m_catalog->path() +
                         " could not be read as a database; it was moved aside to " + m_catalog->movedAside() +
                         " and a new catalog begun.");
    }

    bool mediumPresent(const std::vector<RunRecord>& runs) const
    {
        struct stat st {};
        if (::stat(m_folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
        bool anyRecorded = false;
        for (const auto& run : runs) {
            if (run.archive.empty())
                continue;
            anyRecorded = true;
            if (::access((fs::path(m_folder) / run.archive).c_str(), F_OK) == 0)
                return true;
        }
        // Archives recorded here, none left: the bare mount point of a missing drive.
        return !anyRecorded;
    }

    void findMedium()
    {
        const auto runs = m_catalog->runs(m_job.backupSetName(), m_folder);
        while (!mediumPresent(runs)) {
            checkCancel();
            m_log->warning("The backup medium for " + m_folder + " is not available; asking for it.");
            if (!m_engine.OnInsertMedia || !m_engine.OnInsertMedia(m_folder, 1))
                throw RunFailure {MediumNotAvailable, "The backup folder " + m_folder +
                                                          " is not available (the drive may be disconnected)."};
        }
    }

    // Temporary archives of this set that a crashed run left behind. A run still writing
    // holds a lock on its own, which is left alone.
    void removeLeftovers()
    {
        DIR* dir = ::opendir(m_folder.c_str());
        if (!dir)
            return;
        std::vector<std::string> names;
        while (const dirent* d = ::readdir(dir))
            if (isTemporaryOfSet(d->d_name, m_setFile))
                names.emplace_back(d->d_name);
        ::closedir(dir);
        for (const auto& name : names) {
            const std::string path = (fs::path(m_folder) / name).string();
            // Only what we can open and lock is a leftover: a run still writing holds the lock,
            // and a file we cannot even open (another user's run) is not ours to judge.
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            if (fd < 0)
                continue;
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(path.c_str()) == 0)
                m_log->warning("Removed " + path + ", left behind by an earlier run that did not finish.");
            ::close(fd);
        }
    }

    void resolve()
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

    void decide()
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

    size_t indexOf(const SelectedEntry& e) const { return static_cast<size_t>(&e - m_selection.entries.data()); }

    std::string kindText() const { return m_incremental ? "incremental" : "full"; }

    void reportProgress(const std::string& current)
    {
        if (!m_control.onProgress)
            return;
        Progress p;
        {
            std::lock_guard lock(m_progressMutex);
            p = m_progress;
        }
        if (!current.empty())
            p.currentFile = current;
        m_control.onProgress(p);
    }

    void writeArchive()
    {
        const std::string stem = m_setFile + "_" + m_stamp + "_" + kindText();
        for (int n = 1;; ++n) {
            const std::string name = stem + (n == 1 ? "" : "-" + std::to_string(n));
            m_archiveName = name + ".zip";
            m_tempPath = (fs::path(m_folder) / ("." + name + ".zip.part")).string();
            m_archivePath = (fs::path(m_folder) / m_archiveName).string();
            if (::access(m_archivePath.c_str(), F_OK) != 0 && ::access(m_tempPath.c_str(), F_OK) != 0)
                break;
        }

        m_progress.filesTotal = m_toWrite.size();
        for (const auto* e : m_toWrite)
            m_progress.bytesTotal += e->size;

        auto out = std::make_unique<zip::OutputFile>(m_tempPath, m_impl.writeFault);
        m_tempCreated = true;
        // The file is locked since its creation; this keeps the lock until the run ends.
        m_lockFd = out->duplicateHandle();

        zip::ZipWriter::Options options;
        options.level = m_job.compressionLevel();
        options.password = m_job.encryptionPassword();
        options.innerName = m_archiveName;
        options.cancelled = [this] { return cancelled(); };
        const auto runner = std::this_thread::get_id();
        // Results come one by one, in the order of m_toWrite; the writer keeps none of them.
        options.collectResults = false;
        size_t delivered = 0;
        options.onEntryDone = [this, runner, &delivered](const zip::EntryResult& r) {
            if (delivered < m_toWrite.size()) {
                const size_t i = indexOf(*m_toWrite[delivered]);
                Outcome& o = m_outcomes[i];
                o.size = r.size;
                o.crc = r.crc;
                o.status = static_cast<uint8_t>(r.status);
                if (!r.error.empty())
                    m_entryErrors.emplace_back(i, r.error);
            }
            ++delivered;
            {
                std::lock_guard lock(m_progressMutex);
                ++m_progress.filesDone;
                m_progress.bytesDone += r.size;
            }
            if (std::this_thread::get_id() == runner)
                reportProgress(r.name);
        };

        {
            zip::ZipWriter writer(*out, options);
            for (const auto* e : m_toWrite) {
                checkCancel();
                zip::EntrySource source;
                source.name = zipName(*e);
                source.kind = zipKind(e->kind);
                source.mode = e->mode;
                source.mtime = floorSeconds(e->mtimeNs);
                source.path = e->path;
                source.linkTarget = e->linkTarget;
                source.size = e->size;
                writer.add(std::move(source));
                reportProgress(e->name);
            }
            writer.finish();
        }
        checkCancel();
        out->sync();
        out->close();
        m_bytesWritten = out->position();
        out.reset();

        if (delivered != m_toWrite.size())
            throw std::runtime_error("the zip writer returned " + std::to_string(delivered) + " results for " +
                                     std::to_string(m_toWrite.size()) + " entries");
        size_t nextError = 0;
        for (const auto* e : m_toWrite)
            takeResult(*e, nextError);
        m_entryErrors = {};

        publish();
        reportProgress({});
    }

    // Takes the writer's result for e; the errors come in the same order as the entries.
    void takeResult(const SelectedEntry& e, size_t& nextError)
    {
        const size_t i = indexOf(e);
        Outcome& o = m_outcomes[i];
        std::string error;
        if (nextError < m_entryErrors.size() && m_entryErrors[nextError].first == i)
            error = std::move(m_entryErrors[nextError++].second);
        switch (static_cast<zip::EntryStatus>(o.status)) {
        case zip::EntryStatus::Changed:
            m_log->warning("Changed while it was read: " + e.path + (error.empty() ? "" : " (" + error + ")"));
            [[fallthrough]];
        case zip::EntryStatus::Written:
            o.fate = Fate::Written;
            o.archiveRun = 0;
            m_bytesRead += o.size;
            if (e.kind == SelectedKind::Directory)
                o.size = 0;
            ++m_writtenCount;
            m_log->file("Stored " + e.name);
            break;
        case zip::EntryStatus::Vanished:
            m_log->warning("Gone before it could be read: " + e.path);
            break;
        case zip::EntryStatus::Unreadable:
            m_log->error("Cannot read " + e.path + (error.empty() ? "" : ": " + error));
            m_unreadable.push_back(e.path);
            break;
        }
    }

    // Renames the finished archive to its name and makes both durable.
    void publish()
    {
        for (int n = 2;; ++n) {
            if (::renameat2(AT_FDCWD, m_tempPath.c_str(), AT_FDCWD, m_archivePath.c_str(), RENAME_NOREPLACE) == 0)
                break;
            const int error = errno;
            if (error == EINVAL || error == ENOSYS) {
                // The file system cannot refuse to replace: look first.
                if (::access(m_archivePath.c_str(), F_OK) != 0 && ::rename(m_tempPath.c_str(), m_archivePath.c_str()) == 0)
                    break;
            } else if (error != EEXIST) {
                throw zip::WriteError("cannot rename " + m_tempPath + ": " + std::strerror(error), error);
            }
            if (n > 1000)
                throw zip::WriteError("cannot find a free name for " + m_archivePath, EEXIST);
            // Someone made a file of that name meanwhile; the inner name stays as written.
            m_archiveName = m_setFile + "_" + m_stamp + "_" + kindText() + "-" + std::to_string(n) + ".zip";
            m_archivePath = (fs::path(m_folder) / m_archiveName).string();
        }
        m_tempCreated = false;
        m_archiveCreated = true;
        syncFolder(m_folder);
    }

    void verify()
    {
        if (m_impl.hooks.beforeVerify)
            m_impl.hooks.beforeVerify(m_archivePath);
        m_verified = true;
        auto bad = [this](const std::string& name, const std::string& why) {
            m_verified = false;
            m_badEntries.push_back(name);
            m_log->error("Verification: " + name + ": " + why);
        };
        // The entries this run wrote (indexes into the selection), sorted by their names in
        // the archive, and whether the archive has listed each yet.
        const auto& entries = m_selection.entries;
        auto isDir = [&entries](size_t i) { return entries[i].kind == SelectedKind::Directory; };
        std::vector<size_t> expected;
        expected.reserve(m_writtenCount);
        for (size_t i = 0; i < m_outcomes.size(); ++i)
            if (m_outcomes[i].fate == Fate::Written)
                expected.push_back(i);
        std::sort(expected.begin(), expected.end(), [&](size_t a, size_t b) {
            return compareWithSlash(entries[a].name, isDir(a), entries[b].name, isDir(b)) < 0;
        });
        std::vector<bool> seen(expected.size());
        try {
            zip::ZipReader reader(m_archivePath, m_job.encryptionPassword());
            for (const auto& entry : reader.entries()) {
                checkCancel();
                const auto it = std::lower_bound(expected.begin(), expected.end(), entry.name,
                                                 [&](size_t i, const std::string& name) {
                                                     return compareWithSlash(entries[i].name, isDir(i), name, false) < 0;
                                                 });
                if (it == expected.end() || compareWithSlash(entries[*it].name, isDir(*it), entry.name, false) != 0) {
                    bad(entry.name, "in the archive but not written by this run");
                    continue;
                }
                const size_t slot = static_cast<size_t>(it - expected.begin());
                if (seen[slot]) {
                    bad(entry.name, "listed twice in the archive");
                    continue;
                }
                seen[slot] = true;
                const SelectedEntry& written = entries[*it];
                const Outcome& o = m_outcomes[*it];
                try {
                    if (entry.kind != zipKind(written.kind)) {
                        bad(entry.name, "stored as the wrong kind of entry");
                    } else if (entry.kind == zip::EntryKind::Symlink) {
                        if (reader.readLinkTarget(entry) != written.linkTarget)
                            bad(entry.name, "the link target differs");
                    } else if (entry.kind == zip::EntryKind::File) {
                        uint64_t size = 0;
                        const uint32_t crc = reader.read(entry, [&](const char*, size_t n) { size += n; });
                        if (crc != o.crc || entry.crc != o.crc || size != o.size)
                            bad(entry.name, "the content differs from the file that was read");
                    }
                } catch (const zip::ZipError& e) {
                    bad(entry.name, e.what());
                }
            }
            for (size_t slot = 0; slot < expected.size(); ++slot)
                if (!seen[slot])
                    bad(zipName(entries[expected[slot]]), "missing from the archive");
        } catch (const zip::ZipError& e) {
            bad(m_archiveName, std::string("the archive cannot be read: ") + e.what());
        }
    }

    void record(int32_t code)
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

    RunRecord baseRecord(int32_t code) const
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
        run.filesWritten = m_writtenCount;
        run.bytesRead = m_bytesRead;
        run.bytesWritten = m_bytesWritten;
        if (m_job.verifyAfterBackup() && !m_archiveName.empty())
            run.verified = m_verified;
        return run;
    }

    // A failed run leaves a line in the catalog's history, never an archive or a manifest.
    void recordFailedRun(int32_t code)
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

    void applyRetention()
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

    void discardArchive()
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
    }

    void logSummary(int32_t code)
    {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_steadyStart).count();
        char duration[32];
        std::snprintf(duration, sizeof duration, "%.1f s", seconds);
        std::string text = "Backup of \"" + m_job.backupSetName() + "\" ";
        text += code == Success ? "finished" : "ended with code " + std::to_string(code);
        if (!m_archiveName.empty() && (code == Success || code == SomeFilesUnreadable || code == VerificationFailed))
            text += ": " + kindText() + " archive " + m_archivePath;
        else if (code == Success)
            text += ": nothing changed, no archive written";
        text += "; " + plural(m_selectedFiles, "file", "files") + " selected (" + std::to_string(m_selectedBytes) +
                " bytes), " + std::to_string(m_writtenCount) + " entries stored, " +
                std::to_string(m_unreadable.size()) + " unreadable; " + std::to_string(m_bytesRead) +
                " bytes read, " + std::to_string(m_bytesWritten) + " bytes written; " + duration + "; verification ";
        if (m_archiveName.empty() || !m_job.verifyAfterBackup())
            text += "not done";
        else
            text += m_verified == true ? "passed" : m_verified == false ? "FAILED" : "not done";
        if (!m_retentionDeleted.empty())
            text += "; retention deleted " + listAll(m_retentionDeleted);
        else if (code == Success && m_job.retentionPeriod() >= 0)
            text += "; retention deleted nothing";
        text += ".";
        m_log->info(text);
    }

    static std::string listAll(const std::vector<std::string>& names)
    {
        std::string text;
        for (const auto& n : names)
            text += (text.empty() ? "" : ", ") + n;
        return text;
    }

    enum class Fate : uint8_t {
        Left,    // not in this run's manifest
        Kept,    // the base run's row stands (size, CRC and archive from there)
        Written, // stored in this run's archive
    };
    // What became of one selected entry: a few bytes each, parallel to the selection, so that
    // a run over many files keeps one list of them, not several.
    struct Outcome
    {
        uint64_t size = 0;
        int64_t archiveRun = 0;
        uint32_t crc = 0;
        Fate fate = Fate::Left;
        uint8_t status = 0;  // the writer's zip::EntryStatus
        bool known = false;  // the base run has a row of this name and kind
        bool same = false;   // ... with the same time (and size)
    };

    BackupEngine& m_engine;
    EngineState& m_impl;
    const BackupJob& m_job;
    const RunControl& m_control;

    std::chrono::system_clock::time_point m_start;
    std::time_t m_startTime = 0;
    std::chrono::steady_clock::time_point m_steadyStart;
    std::string m_stamp;
    std::unique_ptr<RunLog> m_log;
    std::unique_ptr<Catalog> m_catalog;
    int32_t m_phaseCode = InvalidJob;
    std::string m_failureDetail;

    std::string m_folder;  // BackupFolder, normalized
    std::string m_setFile; // the set name as it may appear in a file name
    SelectionResult m_selection;
    uint64_t m_selectedFiles = 0;
    uint64_t m_selectedBytes = 0;

    bool m_incremental = false;
    bool m_sameAsBase = false;
    int64_t m_baseManifestRun = 0;
    std::vector<const SelectedEntry*> m_toWrite;
    std::vector<Outcome> m_outcomes; // one per selected entry
    std::vector<std::pair<size_t, std::string>> m_entryErrors; // the writer's reasons, in entry order
    uint64_t m_writtenCount = 0;
    std::vector<std::string> m_unreadable;

    std::string m_archiveName;
    std::string m_archivePath;
    std::string m_tempPath;
    bool m_tempCreated = false;
    bool m_archiveCreated = false;
    int m_lockFd = -1;
    uint64_t m_bytesRead = 0;
    uint64_t m_bytesWritten = 0;

    std::optional<bool> m_verified;
    std::vector<std::string> m_badEntries;
    bool m_recorded = false;
    int64_t m_runId = 0;
    std::vector<std::string> m_retentionDeleted;

    std::mutex m_progressMutex;
    Progress m_progress;
};

} // namespace

struct BackupEngine::Impl : EngineState
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
        Run run(*this, *m, job, control);
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
        return "The backup finished successfully.";
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
