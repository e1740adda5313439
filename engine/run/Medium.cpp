#include "Run.h"

#include "Mounts.h"
#include "RunSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

// The medium is told apart from an empty mount point by the filesystem that holds the
// folder, not by whether archives are there: a user may delete them all.
Run::MediumLook Run::lookAtMedium(const std::vector<RunRecord>& runs)
{
    MediumLook look;
    struct stat st {};
    const bool found = ::stat(m_folder.c_str(), &st) == 0;
    if (!found || !S_ISDIR(st.st_mode)) {
        const bool gone = !found && errno == ENOENT;
        look.state = MediumState::Missing;
        // On a drive that is there, the folder itself was moved or deleted.
        struct stat parent {};
        if (found)
            look.why = "it is not a folder";
        else if (gone && ::stat(fs::path(m_folder).parent_path().c_str(), &parent) == 0 && S_ISDIR(parent.st_mode))
            look.why = "the drive may be disconnected, or the folder was moved or deleted";
        else
            look.why = "the drive may be disconnected";
        return look;
    }
    const std::unique_ptr<char, decltype(&::free)> real(::realpath(m_folder.c_str(), nullptr), &::free);
    const MountTable mounts(m_impl.hooks.mounts);
    const auto fs = real ? mounts.holding(real.get()) : std::nullopt;
    if (!fs)
        return look; // the mount table cannot be read: nothing to tell by
    m_medium = fs->identity();
    m_mediumMount = fs->mountPoint;
    if (const std::string empty = mounts.unmountedAbove(real.get()); !empty.empty()) {
        look.state = MediumState::Missing;
        look.why = "no drive is mounted on " + empty;
        return look;
    }
    bool recorded = false, present = false, sameFilesystem = false, identified = false;
    std::string lastMount;
    for (const auto& run : runs) {
        if (!run.archive.empty()) {
            recorded = true;
            present = present || ::access((fs::path(m_folder) / run.archive).c_str(), F_OK) == 0;
        }
        if (!run.medium.empty()) {
            identified = true;
            sameFilesystem = sameFilesystem || run.medium == m_medium;
            lastMount = run.mediumMount;
        }
    }
    if (!identified || sameFilesystem || present) {
        m_historyGone = recorded && !present;
        if (m_historyGone)
            m_notices.push_back("The earlier backups of this set in " + m_folder +
                                " were not found (moved or deleted), so this run made a new full backup.");
        return look;
    }
    // The bare mount point of an unplugged drive lies on the filesystem above it.
    if (!lastMount.empty() && lastMount != m_mediumMount && isAtOrBelow(lastMount, m_mediumMount)) {
        look.state = MediumState::Missing;
        look.why = "nothing is mounted on " + lastMount + ", where the drive of the earlier backups was";
    } else {
        look.state = MediumState::Other;
        look.why = "it is on another drive than the earlier backups";
    }
    return look;
}

void Run::findMedium()
{
    const auto runs = withCatalog([this] { return m_catalog->runs(m_job.backupSetName(), m_folder); });
    bool confirmed = false;
    for (;;) {
        const MediumLook look = lookAtMedium(runs);
        if (look.state == MediumState::Present)
            break;
        // Another drive, mounted where the earlier one was: the user has said it is the medium now.
        if (look.state == MediumState::Other && confirmed) {
            m_historyGone = true;
            m_notices.push_back("The backup folder " + m_folder +
                                " is on another drive than the earlier backups; as you confirmed it, this run made "
                                "a new full backup there.");
            break;
        }
        checkCancel();
        m_log->warning("The backup medium for " + m_folder + " is not available; asking for it (" + look.why + ").");
        if (!m_engine.OnInsertMedia || !m_engine.OnInsertMedia(m_folder, 1))
            throw RunFailure {MediumNotAvailable,
                              "The backup folder " + m_folder + " is not available (" + look.why +
                                  "): connect or insert the drive that holds it and try again."};
        confirmed = true;
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
