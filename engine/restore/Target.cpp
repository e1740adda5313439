#include "Target.h"

#include "run/RunSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace stowkeep::engine::detail {

namespace {

#ifdef O_PATH
constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC; // no read right needed
#else
constexpr int kWalkFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif
constexpr size_t kMaxName = 255;

std::atomic<uint64_t> g_tempCounter {0};
// Cleared once a file system refuses unnamed files, or /proc is not there to name them.
std::atomic<bool> g_unnamedFiles {::access("/proc/self/fd", X_OK) == 0};

std::string tempName()
{
    return ".stowkeep-restore-" + std::to_string(::getpid()) + "-" + std::to_string(++g_tempCounter) + ".part";
}

TargetError failure(int error, const std::string& what)
{
    return {error, what + ": " + std::strerror(error)};
}

TargetError writeFailure(int error)
{
    TargetError e = failure(error, "cannot write");
    if (error == EFBIG)
        e.text += " (a drive formatted FAT32 holds files up to 4 GB)";
    return e;
}

// Why the finished item could not take its name: a drive formatted exFAT or FAT refuses names
// with a colon, a question mark and the like (exfat-fuse says ENOENT, the kernel EINVAL),
// which "No such file or directory" would not tell.
TargetError placeFailure(int error, int folder, const std::string& temp)
{
    struct stat st {};
    if ((error == ENOENT || error == EINVAL) && ::fstatat(folder, temp.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return {error, "this drive does not allow its name (" + std::string(std::strerror(error)) + ")"};
    return failure(error, "cannot put the restored item in place");
}

} // namespace

std::array<timespec, 2> restoredTimes(int64_t mtimeNs)
{
    const int64_t seconds = floorSeconds(mtimeNs);
    return {timespec {0, UTIME_NOW},
            timespec {static_cast<time_t>(seconds), static_cast<long>(mtimeNs - seconds * 1000000000)}};
}

Fd& Fd::operator=(Fd&& o) noexcept
{
    if (this != &o) {
        reset();
        m_fd = o.m_fd;
        o.m_fd = -1;
    }
    return *this;
}

void Fd::reset()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

Found lookAt(int folder, const std::string& name)
{
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Found::Nothing;
    if (S_ISREG(st.st_mode))
        return Found::File;
    if (S_ISDIR(st.st_mode))
        return Found::Folder;
    if (S_ISLNK(st.st_mode))
        return Found::Link;
    return Found::Other;
}

const char* foundText(Found found)
{
    switch (found) {
    case Found::File:
        return "a file";
    case Found::Folder:
        return "a folder";
    case Found::Link:
        return "a link";
    case Found::Other:
        return "another kind of item";
    case Found::Nothing:
        break;
    }
    return "nothing";
}

std::string unsafePathReason(std::string_view path)
{
    if (path.empty())
        return "it has no name";
    if (path.front() == '/')
        return "an absolute name, which would lead outside the target folder";
    if (path.find('\0') != std::string_view::npos)
        return "a name with a NUL character";
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part == "..")
            return "a name with \"..\", which would lead outside the target folder";
        if (part.empty() || part == ".")
            return "a name with an empty or \".\" part";
        if (part.size() > kMaxName)
            return "a name longer than 255 bytes";
        start = end + 1;
    }
    return {};
}

std::string restoredName(const std::string& name, int n)
{
    const size_t dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0;
    std::string stem = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot) : std::string();
    const std::string mark = n <= 1 ? " (restored)" : " (restored " + std::to_string(n) + ")";
    if (stem.size() + mark.size() + extension.size() > kMaxName) {
        size_t keep = kMaxName > mark.size() + extension.size() ? kMaxName - mark.size() - extension.size() : 1;
        keep = std::min(keep, stem.size());
        while (keep > 1 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80)
            --keep; // not inside a UTF-8 sequence
        stem.resize(keep);
    }
    return stem + mark + extension;
}

TargetFolder::TargetFolder(const std::string& path) : m_path(path)
{
    if (path.empty() || path.front() != '/')
        throw TargetError {EINVAL, "The target folder \"" + path + "\" is not an absolute path."};
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec)
        throw TargetError {ec.value(), "Cannot create the target folder " + path + ": " + ec.message()};
    m_root = Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_root)
        throw failure(errno, "Cannot open the target folder " + path);
}

Fd TargetFolder::openFolder(std::string_view relative, bool create, mode_t mode, Stop& stop,
                            const std::function<void(const std::string&)>& made) const
{
    Fd current(::dup(m_root.get()));
    if (!current) {
        stop = {std::string(), Found::Nothing, errno};
        return {};
    }
    std::string name;
    for (size_t start = 0; start < relative.size();) {
        size_t end = relative.find('/', start);
        if (end == std::string_view::npos)
            end = relative.size();
        name.assign(relative.substr(start, end - start));
        const std::string at(relative.substr(0, end));
        start = end + 1;
        int fd = ::openat(current.get(), name.c_str(), kWalkFlags);
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(current.get(), name.c_str(), mode) == 0) {
                if (made)
                    made(at);
            } else if (errno != EEXIST) {
                stop = {at, Found::Nothing, errno};
                return {};
            }
            fd = ::openat(current.get(), name.c_str(), kWalkFlags);
        }
        struct stat st {};
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode))) {
            ::close(fd);
            fd = -1;
            errno = ENOTDIR;
        }
        if (fd < 0) {
            const int error = errno;
            Found found = lookAt(current.get(), name);
            if (found == Found::Folder)
                found = Found::Nothing; // a folder we may not enter: an error, not an item in the way
            stop = {at, found, error};
            return {};
        }
        current = Fd(fd);
    }
    return current;
}

TempItem::TempItem(int folder, const WriteFaultHook& fault) : m_folder(folder), m_fault(fault) {}

TempItem::~TempItem()
{
    closeFile();
    if (m_exists)
        ::unlinkat(m_folder, m_name.c_str(), 0);
}

int TempItem::createFile()
{
#ifdef O_TMPFILE
    // An unnamed file gets its name only once it is complete (place): nothing of it stays
    // behind whatever happens, and it takes one change of the folder instead of two.
    if (g_unnamedFiles.load(std::memory_order_relaxed)) {
        m_fd = ::openat(m_folder, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600);
        if (m_fd >= 0) {
            m_unnamed = true;
            return m_fd;
        }
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)
            g_unnamedFiles = false;
    }
#endif
    for (;;) {
        m_name = tempName();
        m_fd = ::openat(m_folder, m_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (m_fd >= 0) {
            m_exists = true;
            return m_fd;
        }
        if (errno != EEXIST)
            throw failure(errno, "cannot create a file");
    }
}

void TempItem::createLink(const std::string& target)
{
    for (;;) {
        m_name = tempName();
        if (::symlinkat(target.c_str(), m_folder, m_name.c_str()) == 0) {
            m_exists = true;
            m_link = true;
            return;
        }
        if (errno != EEXIST)
            throw failure(errno, "cannot create a link");
    }
}

namespace {

constexpr size_t kHoleBlock = 4096; // a block of zeros this size, at a multiple of it, is left a hole

bool allZero(const char* data, size_t size)
{
    return size > 0 && data[0] == 0 && std::memcmp(data, data + 1, size - 1) == 0;
}

} // namespace

void TempItem::write(const char* data, size_t size)
{
    if (m_fault)
        if (const int error = m_fault(size))
            throw writeFailure(error);
    // Whole blocks of zeros are skipped, so that a sparse file (a disk image, say) comes back
    // sparse instead of filling the disk; finish() gives the file its full length.
    while (size > 0) {
        size_t run = 0; // bytes to write from data, up to the next block of zeros
        size_t hole = 0;
        while (run < size) {
            const uint64_t at = m_offset + run;
            const size_t toBoundary = kHoleBlock - at % kHoleBlock;
            const size_t n = std::min(toBoundary, size - run);
            if (n == kHoleBlock && allZero(data + run, n)) {
                while (run + hole + kHoleBlock <= size && allZero(data + run + hole, kHoleBlock))
                    hole += kHoleBlock;
                break;
            }
            run += n;
        }
        for (size_t done = 0; done < run;) {
            const ssize_t n = ::pwrite(m_fd, data + done, run - done, static_cast<off_t>(m_offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw writeFailure(errno);
            done += static_cast<size_t>(n);
        }
        m_offset += run + hole;
        m_endsInHole = hole > 0;
        data += run + hole;
        size -= run + hole;
    }
}

void TempItem::finish(uint32_t mode, int64_t mtimeNs, bool sync)
{
    const auto times = restoredTimes(mtimeNs);
    if (m_link) {
        if (::utimensat(m_folder, m_name.c_str(), times.data(), AT_SYMLINK_NOFOLLOW) != 0 && errno != EOPNOTSUPP)
            throw failure(errno, "cannot set the link's time");
        return;
    }
    // A restore never makes a set-user-ID or set-group-ID program, as unzip does not by default.
    const mode_t bits = mode == 0 ? 0644 : static_cast<mode_t>(mode & 01777);
    if (m_endsInHole && ::ftruncate(m_fd, static_cast<off_t>(m_offset)) != 0)
        throw writeFailure(errno);
    if (::fchmod(m_fd, bits) != 0)
        throw failure(errno, "cannot set the file's permissions");
    if (::futimens(m_fd, times.data()) != 0)
        throw failure(errno, "cannot set the file's time");
    if (sync && ::fsync(m_fd) != 0)
        throw failure(errno, "cannot flush the file to the disk");
    if (!m_unnamed)
        closeFile();
}

void TempItem::closeFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool TempItem::linkUnnamed(const std::string& name)
{
    const std::string self = "/proc/self/fd/" + std::to_string(m_fd);
    if (::linkat(AT_FDCWD, self.c_str(), m_folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    throw failure(errno, "cannot put the restored item in place");
}

TempItem::Placed TempItem::place(const std::string& name, bool replace)
{
    if (m_unnamed) {
        if (!replace) // a link is never made over an existing name
            return linkUnnamed(name) ? (closeFile(), Placed::Done) : Placed::Exists;
        // Replacing: a temporary name first, renamed over the old item below.
        do
            m_name = tempName();
        while (!linkUnnamed(m_name));
        m_exists = true;
        m_unnamed = false;
    }
    closeFile();
    auto done = [this] {
        m_exists = false;
        return Placed::Done;
    };
    if (replace) {
        if (::renameat(m_folder, m_name.c_str(), m_folder, name.c_str()) == 0)
            return done();
        if (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST || errno == ENOTDIR)
            return Placed::Exists; // a folder took the name meanwhile: it stays
        throw placeFailure(errno, m_folder, m_name);
    }
    if (::renameat2(m_folder, m_name.c_str(), m_folder, name.c_str(), RENAME_NOREPLACE) == 0)
        return done();
    if (errno == EEXIST)
        return Placed::Exists;
    if (errno != EINVAL && errno != ENOSYS)
        throw placeFailure(errno, m_folder, m_name);
    // A file system that cannot refuse to replace: a hard link refuses, where there are any.
    if (::linkat(m_folder, m_name.c_str(), m_folder, name.c_str(), 0) == 0) {
        ::unlinkat(m_folder, m_name.c_str(), 0);
        return done();
    }
    if (errno == EEXIST)
        return Placed::Exists;
    if (lookAt(m_folder, name) != Found::Nothing)
        return Placed::Exists;
    if (::renameat(m_folder, m_name.c_str(), m_folder, name.c_str()) == 0)
        return done();
    throw placeFailure(errno, m_folder, m_name);
}

} // namespace stowkeep::engine::detail
