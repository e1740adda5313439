#include "Run.h"

#include "RunSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

bool Run::mediumPresent(const std::vector<RunRecord>& runs) const
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

void Run::findMedium()
{
    const auto runs = withCatalog([this] { return m_catalog->runs(m_job.backupSetName(), m_folder); });
    while (!mediumPresent(runs)) {
        checkCancel();
        m_log->warning("The backup medium for " + m_folder + " is not available; asking for it.");
        if (!m_engine.OnInsertMedia || !m_engine.OnInsertMedia(m_folder, 1))
            throw RunFailure {MediumNotAvailable, "The backup folder " + m_folder +
                                                      " is not available (the drive may be disconnected)."};
    }
}

// Temporary archives of this set that a crashed run left behind: only those that the
// catalog says a run of ours began, and that no running backup still holds locked. A
// file that merely looks like one is the user's.
void Run::removeLeftovers()
{
    const auto recorded = withCatalog([this] { return m_catalog->pending(m_folder); });
    const std::set<std::string> ours(recorded.begin(), recorded.end());
    for (const auto& name : recorded) {
        if (!isTemporaryOfSet(name, m_setFile))
            continue;
        const std::string path = (fs::path(m_folder) / name).string();
        bool gone = false;
        // A file we cannot even open (another user's run) is not ours to judge.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) {
            gone = errno == ENOENT;
        } else {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(path.c_str()) == 0) {
                m_log->warning("Removed " + path + ", left behind by an earlier run that did not finish.");
                gone = true;
            }
            ::close(fd);
        }
        if (gone)
            withCatalog([&] { m_catalog->clearPending(m_folder, name); });
    }

    DIR* dir = ::opendir(m_folder.c_str());
    if (!dir)
        return;
    std::vector<std::string> lookalikes;
    while (const dirent* d = ::readdir(dir))
        if (isTemporaryOfSet(d->d_name, m_setFile) && !ours.count(d->d_name))
            lookalikes.emplace_back(d->d_name);
    ::closedir(dir);
    for (const auto& name : lookalikes)
        m_log->warning("Left " + (fs::path(m_folder) / name).string() +
                       " alone: it is named like a temporary backup file, but no run recorded it.");
}

} // namespace stowkeep::engine::detail
