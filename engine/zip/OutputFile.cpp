#include "OutputFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stowkeep::engine::zip {

namespace {

constexpr uint64_t kWritebackEvery = uint64_t{8} << 20;

[[noreturn]] void fail(const std::string& what, const std::string& path, int error)
{
    throw WriteError(what + " " + path + ": " + std::strerror(error), error);
}

} // namespace

OutputFile::OutputFile(const std::string& path, FaultHook hook) : m_path(path), m_hook(std::move(hook))
{
    do {
        m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0)
        fail("cannot create", path, errno);
    // Held from the first moment: a cleanup of leftovers by another run leaves a locked file alone.
    ::flock(m_fd, LOCK_EX | LOCK_NB);
}

int OutputFile::duplicateHandle() const
{
    return ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
}

OutputFile::~OutputFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void OutputFile::write(const void* data, size_t size)
{
    writeAt(data, size, std::nullopt);
}

void OutputFile::patch(uint64_t offset, const void* data, size_t size)
{
    if (offset + size > m_position)
        throw WriteError("patch beyond the end of " + m_path, EINVAL);
    writeAt(data, size, offset);
}

// Appends at the end, or overwrites at `offset`; short writes and EINTR are retried.
void OutputFile::writeAt(const void* data, size_t size, std::optional<uint64_t> offset)
{
    if (m_fd < 0)
        throw WriteError("write to closed file " + m_path, EBADF);
    if (m_hook) {
        if (int error = m_hook(size))
            fail("cannot write to", m_path, error);
    }
    auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = offset ? ::pwrite(m_fd, bytes + done, size - done, static_cast<off_t>(*offset + done))
                                 : ::write(m_fd, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot write to", m_path, errno);
        }
        if (n == 0)
            fail("cannot write to", m_path, ENOSPC);
        done += static_cast<size_t>(n);
        if (!offset)
            m_position += static_cast<uint64_t>(n);
    }
    // Only starts the writeback, without waiting for it; errors show in sync().
    if (m_position - m_writebackFrom >= kWritebackEvery) {
        ::sync_file_range(m_fd, static_cast<off_t>(m_writebackFrom), static_cast<off_t>(m_position - m_writebackFrom),
                          SYNC_FILE_RANGE_WRITE);
        m_writebackFrom = m_position;
    }
}

void OutputFile::sync()
{
    if (m_fd < 0)
        throw WriteError("sync of closed file " + m_path, EBADF);
    int rc;
    do {
        rc = ::fsync(m_fd);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        fail("cannot flush", m_path, errno);
}

void OutputFile::close()
{
    if (m_fd < 0)
        return;
    int fd = m_fd;
    m_fd = -1;
    // close() must not be retried on EINTR on Linux: the descriptor is gone either way.
    if (::close(fd) != 0 && errno != EINTR)
        fail("cannot close", m_path, errno);
}

} // namespace stowkeep::engine::zip
