#include "Run.h"

#include "RunSupport.h"
#include "zip/ZipWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <unordered_map>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

void Run::reportProgress(const std::string& current)
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
    // The writer knows how far it is inside a large file.
    if (m_writer)
        p.bytesDone = std::max(p.bytesDone, std::min(m_writer->bytesStored(), p.bytesTotal));
    m_control.onProgress(p);
}

void Run::writeArchive()
{
    const std::string stem = m_setFile + "_" + m_stamp + "_" + kindText();
    for (int n = 1;; ++n) {
        const std::string name = stem + (n == 1 ? "" : "-" + std::to_string(n));
        m_archiveName = name + ".zip";
        m_pendingName = "." + name + ".zip.part";
        m_tempPath = (fs::path(m_folder) / m_pendingName).string();
        m_archivePath = (fs::path(m_folder) / m_archiveName).string();
        if (::access(m_archivePath.c_str(), F_OK) != 0 && ::access(m_tempPath.c_str(), F_OK) != 0)
            break;
    }
    // Before the file exists: a later run removes a leftover only if a run of ours began it.
    withCatalog([this] { m_catalog->notePending(m_folder, m_pendingName); });

    m_progress.filesTotal = m_toWrite.size();
    for (const auto* e : m_toWrite)
        m_progress.bytesTotal += e->size;
    if (m_job.verifyAfterBackup())
        m_progress.bytesToCheck = m_progress.bytesTotal;

    auto out = std::make_unique<zip::OutputFile>(m_tempPath, m_impl.writeFault);
    m_tempCreated = true;
    // The file is locked since its creation; this keeps the lock until the run ends.
    m_lockFd = out->duplicateHandle();

    zip::ZipWriter::Options options;
    options.level = m_job.compressionLevel();
    options.password = m_job.encryptionPassword();
    // Never the archive's own name: extracted beside it, the inner archive must not replace it.
    options.innerName = stem + "-contents.zip";
    // Polled every 20 ms at most while the writer is busy: the progress goes on meanwhile.
    options.cancelled = [this] {
        reportProgress({});
        return cancelled();
    };
    const auto runner = std::this_thread::get_id();
    // Results come one by one, in the order of m_toWrite, then the manifest's; the writer
    // keeps none of them.
    options.collectResults = false;
    size_t delivered = 0;
    options.onEntryDone = [this, runner, &delivered](const zip::EntryResult& r) {
        if (delivered++ == m_toWrite.size()) {
            m_manifestCrc = r.crc;
            return;
        }
        if (delivered <= m_toWrite.size()) {
            const size_t i = indexOf(*m_toWrite[delivered - 1]);
            Outcome& o = m_outcomes[i];
            o.size = r.size;
            o.crc = r.crc;
            o.status = static_cast<uint8_t>(r.status);
            if (!r.error.empty())
                m_entryErrors.emplace_back(i, r.error);
        }
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
        m_writer = &writer;
        struct Forget
        {
            const zip::ZipWriter*& writer;
            ~Forget() { writer = nullptr; }
        } forget {m_writer};
        for (const auto* e : m_toWrite) {
            checkCancel();
            zip::EntrySource source;
            source.name = zipName(*e);
            source.kind = zipKind(e->kind);
            source.mode = e->mode;
            source.mtime = floorSeconds(e->mtimeNs);
            source.path = m_selection.pathOf(*e);
            source.linkTarget = e->linkTarget;
            source.size = e->size;
            source.device = e->device;
            source.inode = e->inode;
            source.rootLength = m_selection.base.string().size();
            writer.add(std::move(source));
            reportProgress(e->name);
        }
        // The manifest says what became of every entry: it goes last, once they are all done.
        writer.waitForEntries();
        if (delivered != m_toWrite.size())
            throw std::runtime_error("the zip writer returned " + std::to_string(delivered) + " results for " +
                                     std::to_string(m_toWrite.size()) + " entries");
        size_t nextError = 0;
        for (const auto* e : m_toWrite)
            takeResult(*e, nextError);
        m_entryErrors = {};
        if (!m_changedWhileRead.empty()) {
            const bool one = m_changedWhileRead.size() == 1;
            m_notices.push_back(plural(m_changedWhileRead.size(), "file", "files") + " changed while " +
                                (one ? "it was" : "they were") + " read (" + listNames(m_changedWhileRead) +
                                "): this backup holds " + (one ? "it" : "them") +
                                " as read, which may not be a consistent copy; the next run backs " +
                                (one ? "it" : "them") + " up again.");
        }
        carryUnreadable();
        auto text = buildManifest();
        m_manifestSize = text->size();
        zip::EntrySource manifest;
        manifest.name = m_manifestName;
        manifest.mode = S_IFREG | 0644;
        manifest.mtime = m_startTime;
        manifest.content = std::move(text);
        writer.add(std::move(manifest));
        writer.finish();
    }
    checkCancel();
    checkSources();
    out->sync();
    out->close();
    m_bytesWritten = out->position();
    out.reset();

    publish();
    reportProgress({});
}

// The manifest of this run: every entry that stands at its end, as written or as kept.
std::shared_ptr<const std::string> Run::buildManifest()
{
    const auto& entries = m_selection.entries;
    m_manifestName = chooseManifestName([&entries](std::string_view name) {
        for (const auto& e : entries)
            if (sameNameIgnoringCase(e.name, name))
                return true;
        return false;
    });
    ManifestHeader header;
    header.setName = m_job.backupSetName();
    header.startTime = m_startTime;
    std::tm local {};
    localtime_r(&m_startTime, &local);
    header.utcOffset = static_cast<int>(local.tm_gmtoff);
    header.kind = kindText();
    header.base = m_incremental ? m_baseArchive : std::string();
    size_t textBytes = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (m_outcomes[i].fate != Fate::Left) {
            ++header.entries;
            textBytes += entries[i].name.size() + entries[i].linkTarget.size() + manifestArchive(i).size();
        }
    }
    for (const ManifestRow& r : m_carried)
        textBytes += r.path.size() + r.linkTarget.size() + r.archive.size();
    header.entries += m_carried.size();
    ManifestWriter writer(header);
    writer.reserve(header.entries, textBytes);
    ManifestRow row;
    for (ManifestCursor at; nextManifestRow(at, row);)
        writer.add(row);
    return std::make_shared<const std::string>(writer.take());
}

bool Run::nextManifestRow(ManifestCursor& at, ManifestRow& row) const
{
    const auto& entries = m_selection.entries;
    while (at.entry < entries.size() && m_outcomes[at.entry].fate == Fate::Left)
        ++at.entry;
    const bool entryLeft = at.entry < entries.size();
    const bool carriedLeft = at.carried < m_carried.size();
    if (carriedLeft && (!entryLeft || m_carried[at.carried].path < entries[at.entry].name)) {
        row = m_carried[at.carried++];
        return true;
    }
    if (!entryLeft)
        return false;
    manifestRow(at.entry++, row);
    return true;
}

void Run::manifestRow(size_t i, ManifestRow& row) const
{
    const SelectedEntry& e = m_selection.entries[i];
    const Outcome& o = m_outcomes[i];
    row.path = e.name;
    row.kind = manifestKind(e.kind);
    row.size = o.size;
    row.mtimeNs = e.mtimeNs;
    row.mode = e.mode;
    row.crc = o.crc;
    row.linkTarget = e.linkTarget;
    row.archive = manifestArchive(i);
}

const std::string& Run::manifestArchive(size_t i) const
{
    const Outcome& o = m_outcomes[i];
    return m_archives[o.fate == Fate::Written ? 0 : o.archive];
}

// Takes the writer's result for e; the errors come in the same order as the entries.
void Run::takeResult(const SelectedEntry& e, size_t& nextError)
{
    const size_t i = indexOf(e);
    Outcome& o = m_outcomes[i];
    std::string error;
    if (nextError < m_entryErrors.size() && m_entryErrors[nextError].first == i)
        error = std::move(m_entryErrors[nextError++].second);
    switch (static_cast<zip::EntryStatus>(o.status)) {
    case zip::EntryStatus::Changed:
        m_changedWhileRead.push_back(m_selection.pathOf(e));
        m_log->warning("Changed while it was read: " + m_changedWhileRead.back() +
                       (error.empty() ? "" : " (" + error + ")"));
        [[fallthrough]];
    case zip::EntryStatus::Written:
        o.fate = Fate::Written;
        o.archive = 0;
        m_bytesRead += o.size;
        if (e.kind == SelectedKind::Directory)
            o.size = 0;
        ++m_writtenCount;
        m_log->file("Stored " + e.name);
        break;
    case zip::EntryStatus::Vanished:
        m_log->warning("Gone before it could be read: " + m_selection.pathOf(e));
        ++m_vanished;
        break;
    case zip::EntryStatus::Unreadable:
        m_unreadable.push_back(m_selection.pathOf(e));
        m_log->error("Cannot read " + m_unreadable.back() + (error.empty() ? "" : ": " + error));
        m_unreadableNames.push_back(e.name);
        break;
    }
}

// What the writer could not read stands as the base has it, so that this run restores its
// last copy. Rare: the base's rows are read again for it.
void Run::carryUnreadable()
{
    std::unordered_map<std::string_view, const SelectedEntry*> wanted;
    for (const auto* e : m_toWrite)
        if (m_outcomes[indexOf(*e)].known && static_cast<zip::EntryStatus>(m_outcomes[indexOf(*e)].status) ==
                                                 zip::EntryStatus::Unreadable)
            wanted.emplace(e->name, e);
    if (wanted.empty())
        return;
    withCatalog([&] {
        const int64_t base = baseManifestRun();
        if (base == 0)
            return;
        m_catalog->forEachManifestRow(base, [&](const ManifestRow& row) {
            const auto it = wanted.find(row.path);
            if (it == wanted.end() || row.kind != manifestKind(it->second->kind) || row.archive.empty())
                return;
            m_carried.push_back(row);
            ++m_carriedFiles;
            wanted.erase(it);
        });
    });
    std::sort(m_carried.begin(), m_carried.end(),
              [](const ManifestRow& a, const ManifestRow& b) { return a.path < b.path; });
}

// Renames the finished archive to its name and makes both durable.
void Run::publish()
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

} // namespace stowkeep::engine::detail
