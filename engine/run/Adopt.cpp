// The archives are the record; the catalog is their cache. An archive of this set that
// the catalog does not list (a crash after it got its name and before the catalog took
// it, a lost or damaged catalog) is read and recorded as the run it was.

#include "Run.h"

#include "RunSupport.h"
#include "zip/ZipReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <tuple>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

namespace {

// A running backup holds its archive locked from its creation to the end of its run.
bool lockedByARun(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    // A file system without locks (EINVAL, ENOLCK) cannot tell: the file is taken as finished.
    const bool locked = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

} // namespace

void Run::healCatalog(const CatalogError& damage)
{
    struct Healing
    {
        bool& flag;
        explicit Healing(bool& f) : flag(f) { flag = true; }
        ~Healing() { flag = false; }
    } healing(m_healing);
    const std::string path = m_catalog->path();
    m_catalog.reset();
    const std::string aside = Catalog::moveAside(path, m_stamp);
    m_log->error("The catalog " + path + " is damaged (" + damage.what() + "); it was moved aside to " + aside +
                 " and a new catalog begun.");
    m_catalog = std::make_unique<Catalog>(m_impl.catalogFolder, m_stamp);
    ++m_catalogGeneration;
    m_rebuilding = true;
    adoptArchives();
}

void Run::adoptArchives()
{
    const auto known = m_catalog->archivesIn(m_folder);
    std::set<std::string> listed(known.begin(), known.end());
    struct Candidate
    {
        std::string name;
        ArchiveName parts;
        uint64_t size;
        int64_t mtimeNs;
    };
    std::vector<Candidate> candidates;
    if (DIR* dir = ::opendir(m_folder.c_str())) {
        while (const dirent* d = ::readdir(dir)) {
            auto parts = parseArchiveName(d->d_name);
            // This run's own archive is recorded by the run itself, unless it already was.
            const bool ownUnrecorded = d->d_name == m_archiveName && !m_recorded;
            if (!parts || parts->set != m_setFile || listed.count(d->d_name) || ownUnrecorded)
                continue;
            struct stat st {};
            const std::string path = (fs::path(m_folder) / d->d_name).string();
            if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            const int64_t mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
            if (m_catalog->wasExamined(m_folder, d->d_name, static_cast<uint64_t>(st.st_size), mtimeNs))
                continue;
            candidates.push_back({d->d_name, std::move(*parts), static_cast<uint64_t>(st.st_size), mtimeNs});
        }
        ::closedir(dir);
    }
    // Oldest first: the archives a manifest refers to are then already recorded.
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return std::tie(a.parts.stamp, a.parts.counter, a.name) < std::tie(b.parts.stamp, b.parts.counter, b.name);
    });

    std::vector<std::string> adopted;
    for (const auto& c : candidates) {
        checkCancel();
        const std::string path = (fs::path(m_folder) / c.name).string();
        if (lockedByARun(path))
            continue; // a backup running now records it itself
        std::optional<Manifest> manifest;
        const std::string why = examineArchive(path, c.name, manifest);
        if (!why.empty()) {
            m_log->warning("Left " + path + " out of the catalog: " + why + ".");
            m_catalog->noteExamined(m_folder, c.name, c.size, c.mtimeNs);
            continue;
        }
        try {
            adoptArchive(c.name, c.size, *manifest, listed);
        } catch (const CatalogError& e) {
            if (e.damaged())
                throw;
            m_log->warning("Left " + path + " out of the catalog: " + e.what() + ".");
            m_catalog->noteExamined(m_folder, c.name, c.size, c.mtimeNs);
            continue;
        }
        adopted.push_back(c.name);
        if (!m_rebuilding)
            m_log->warning("Took " + path + " into the catalog: a finished backup that no run had recorded.");
    }
    if (m_rebuilding && !adopted.empty())
        m_log->warning("Rebuilt the catalog of this set from " + plural(adopted.size(), "archive", "archives") +
                       " in " + m_folder + ": " + listAll(adopted) + ".");
    m_rebuilding = false;
}

// Opens an archive and reads its manifest; returns why it cannot be adopted, or "".
std::string Run::examineArchive(const std::string& path, const std::string& name, std::optional<Manifest>& manifest)
{
    std::string why;
    try {
        zip::ZipReader reader(path, m_job.encryptionPassword());
        manifest = readManifest(reader, name);
        if (!manifest)
            why = whyNoManifest(reader);
    } catch (const zip::WrongPassword&) {
        return "this job's password does not open it";
    } catch (const zip::ZipError& e) {
        return std::string("it cannot be read (") + e.what() + ")";
    } catch (const ManifestError& e) {
        return std::string("its list of files is damaged (") + e.what() + ")";
    }
    if (!manifest)
        return why;
    if (manifest->header.setName != m_job.backupSetName())
        return "it belongs to the set \"" + manifest->header.setName + "\"";
    return {};
}

void Run::adoptArchive(const std::string& name, uint64_t size, const Manifest& manifest,
                       std::set<std::string>& listed)
{
    // An archive of this set that the manifest builds on but that has no manifest itself
    // (an older version's) is recorded by name, so that retention removes it once no run
    // needs it any more.
    for (const auto& row : manifest.rows) {
        if (row.archive.empty() || row.archive == kThisArchive || listed.count(row.archive))
            continue;
        const auto parts = parseArchiveName(row.archive);
        if (!parts || parts->set != m_setFile || ::access((fs::path(m_folder) / row.archive).c_str(), F_OK) != 0)
            continue;
        RunRecord held;
        held.setName = m_job.backupSetName();
        held.folder = m_folder;
        held.startTime = held.endTime = stampTime(parts->stamp);
        held.kind = parts->kind;
        held.archive = row.archive;
        held.result = Success;
        struct stat st {};
        if (::stat((fs::path(m_folder) / row.archive).c_str(), &st) == 0)
            held.bytesWritten = static_cast<uint64_t>(st.st_size);
        held.medium = m_medium;
        held.mediumMount = m_mediumMount;
        m_catalog->recordRun(held);
        listed.insert(row.archive);
    }

    RunRecord run;
    run.setName = m_job.backupSetName();
    run.folder = m_folder;
    run.startTime = run.endTime = manifest.header.startTime;
    run.kind = manifest.header.kind;
    run.archive = name;
    run.result = Success;
    for (const auto& row : manifest.rows) {
        ++run.files;
        run.bytes += row.size;
        run.filesWritten += row.archive == kThisArchive;
    }
    run.bytesWritten = size;
    run.medium = m_medium;
    run.mediumMount = m_mediumMount;
    size_t next = 0;
    m_catalog->recordRun(run, [&](ManifestRow& row) {
        if (next == manifest.rows.size())
            return false;
        row = manifest.rows[next++];
        return true;
    });
    listed.insert(name);
}

} // namespace stowkeep::engine::detail
