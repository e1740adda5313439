#include "Run.h"

#include "RunSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

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
void Run::removeLeftovers()
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

} // namespace stowkeep::engine::detail
