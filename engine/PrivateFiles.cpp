#include "PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace stowkeep::engine {

namespace {

// Only what this user owns, and never a shared folder such as /tmp (sticky).
void restrict(int fd, mode_t wanted)
{
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && !(st.st_mode & S_ISVTX) && (st.st_mode & 07777) != wanted)
        ::fchmod(fd, wanted);
}

} // namespace

void makePrivateFolder(const std::string& folder, std::error_code& ec)
{
    ec.clear();
    const std::filesystem::path path(folder);
    if (path.has_parent_path() && path.parent_path() != path)
        std::filesystem::create_directories(path.parent_path(), ec);
    if (ec)
        return;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        ec.assign(errno, std::generic_category());
        return;
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        ec.assign(errno, std::generic_category());
        return;
    }
    restrict(fd, 0700);
    ::close(fd);
}

int openPrivateFile(const std::string& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0)
        restrict(fd, 0600);
    return fd;
}

void restrictFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        restrict(fd, 0600);
    ::close(fd);
}

} // namespace stowkeep::engine
