#include "LongPath.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace stowkeep::engine {

namespace {

// Calls f(folder, rest) with rest short enough for the kernel, and folder the descriptor
// of the folder it is relative to (AT_FDCWD for a short path).
template <typename F> auto atShortPath(const std::string& path, F&& f) -> decltype(f(AT_FDCWD, ""))
{
    if (path.size() < PATH_MAX)
        return f(AT_FDCWD, path.c_str());
    int folder = AT_FDCWD;
    std::string rest = path;
    while (rest.size() >= PATH_MAX) {
        // A file name is at most NAME_MAX bytes, so a long path has a "/" in every stretch of that.
        const size_t cut = rest.rfind('/', PATH_MAX - 1);
        if (cut == std::string::npos || cut == 0) {
            if (folder != AT_FDCWD)
                ::close(folder);
            errno = ENAMETOOLONG;
            return -1;
        }
        const int next = ::openat(folder, rest.substr(0, cut).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int error = errno;
        if (folder != AT_FDCWD)
            ::close(folder);
        if (next < 0) {
            errno = error;
            return -1;
        }
        folder = next;
        rest.erase(0, cut + 1);
    }
    const auto result = f(folder, rest.c_str());
    const int error = errno;
    ::close(folder);
    errno = error;
    return result;
}

} // namespace

int openLong(const std::string& path, int flags, mode_t mode)
{
    return atShortPath(path, [&](int folder, const char* rest) { return ::openat(folder, rest, flags, mode); });
}

int statLong(const std::string& path, struct stat* st)
{
    return atShortPath(path, [&](int folder, const char* rest) { return ::fstatat(folder, rest, st, 0); });
}

int lstatLong(const std::string& path, struct stat* st)
{
    return atShortPath(path,
                       [&](int folder, const char* rest) { return ::fstatat(folder, rest, st, AT_SYMLINK_NOFOLLOW); });
}

ssize_t readlinkLong(const std::string& path, char* buffer, size_t size)
{
    return atShortPath(path, [&](int folder, const char* rest) { return ::readlinkat(folder, rest, buffer, size); });
}

int openBeneath(const std::string& path, size_t rootLength, int flags)
{
    int folder = openLong(path.substr(0, std::max<size_t>(rootLength, 1)), O_PATH | O_DIRECTORY | O_CLOEXEC);
    size_t from = rootLength;
    for (;;) {
        if (folder < 0)
            return -1;
        while (from < path.size() && path[from] == '/')
            ++from;
        const size_t end = std::min(path.find('/', from), path.size());
        const std::string part = path.substr(from, end - from);
        int next;
        if (end == path.size()) {
            next = ::openat(folder, part.c_str(), flags | O_NOFOLLOW);
        } else {
            next = ::openat(folder, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
            struct stat st {};
            if (next >= 0 && (::fstat(next, &st) != 0 || !S_ISDIR(st.st_mode))) {
                const bool link = S_ISLNK(st.st_mode);
                ::close(next);
                next = -1;
                errno = link ? ELOOP : ENOTDIR;
            }
        }
        const int error = errno;
        ::close(folder);
        errno = error;
        if (end == path.size())
            return next;
        folder = next;
        from = end + 1;
    }
}

} // namespace stowkeep::engine
