#include "OutputFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace stowkeep::engine::zip {

namespace {

constexpr uint64_t kWritebackEvery = uint64_t{8} << 20;
// Direct writes: the buffer's address, the file offsets and the sizes are multiples of
// kAlign, which no disk's logical block exceeds.
constexpr size_t kAlign = 4096;
constexpr size_t kDirectBuffer = size_t{4} << 20;

[[noreturn]] void fail(const std::string& what, const std::string& path, int error)
{
    throw WriteError(what + " " + path + ": " + std::strerror(error), error);
}

} // namespace

// Elsewhere (network and FUSE file systems, memory) the cache does better: it writes
// behind while the backup goes on, and reads ahead.
bool onLocalDisk(int fd)
{
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:     // ext2, ext3, ext4
    case 0x58465342: // XFS
    case 0x9123683E: // Btrfs
    case 0xF2F52010: // F2FS
        return true;
    default:
        return false;
    }
}

void OutputFile::FreeBuffer::operator()(char* p) const
{
    std::free(p);
}

OutputFile::OutputFile(const std::string& path, FaultHook hook) : m_path(path), m_hook(std::move(hook))
{
    do {
        m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0)
        fail("cannot create", path, errno);
    // Held from the first moment: a cleanup of leftovers by another run leaves a locked file alone.
    ::flock(m_fd, LOCK_EX | LOCK_NB);
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (onLocalDisk(m_fd) && flags >= 0 && ::fcntl(m_fd, F_SETFL, flags | O_DIRECT) == 0) {
        m_buffer.reset(static_cast<char*>(std::aligned_alloc(kAlign, kDirectBuffer)));
        if (!m_buffer)
            ::fcntl(m_fd, F_SETFL, flags);
    }
}

int OutputFile::duplicateHandle() const
{
    return ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
}

OutputFile::~OutputFile()
{
    if (m_fd < 0)
        return;
    // Not closed, as after a failure: what was written stays written, as far as it can.
    try {
        endDirect();
    } catch (const WriteError&) {
    }
    ::close(m_fd);
}

void OutputFile::write(const void* data, size_t size)
{
    checkWrite(size);
    auto* bytes = static_cast<const char*>(data);
    while (size > 0 && m_buffer) {
        const size_t n = std::min(size, kDirectBuffer - m_buffered);
        std::memcpy(m_buffer.get() + m_buffered, bytes, n);
        m_buffered += n;
        m_position += n;
        bytes += n;
        size -= n;
        if (m_buffered == kDirectBuffer && !writeDirect(kDirectBuffer))
            endDirect();
    }
    if (size == 0)
        return;
    writeAll(bytes, size, m_position);
    m_position += size;
    // Only starts the writeback, without waiting for it; errors show in sync().
    if (m_position - m_writebackFrom >= kWritebackEvery) {
        ::sync_file_range(m_fd, static_cast<off_t>(m_writebackFrom), static_cast<off_t>(m_position - m_writebackFrom),
                          SYNC_FILE_RANGE_WRITE);
        m_writebackFrom = m_position;
    }
}

void OutputFile::patch(uint64_t offset, const void* data, size_t size)
{
    if (offset + size > m_position)
        throw WriteError("patch beyond the end of " + m_path, EINVAL);
    checkWrite(size);
    endDirect();
    writeAll(static_cast<const char*>(data), size, offset);
}

void OutputFile::checkWrite(size_t size)
{
    if (m_fd < 0)
        throw WriteError("write to closed file " + m_path, EBADF);
    if (m_hook) {
        if (int error = m_hook(size))
            fail("cannot write to", m_path, error);
    }
}

// Writes through the cache at `offset`; short writes and EINTR are retried.
void OutputFile::writeAll(const char* bytes, size_t size, uint64_t offset)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(m_fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot write to", m_path, errno);
        }
        if (n == 0)
            fail("cannot write to", m_path, ENOSPC);
        done += static_cast<size_t>(n);
    }
}

// Writes the buffer's first `size` bytes (a multiple of kAlign) straight to the disk and
// drops them from the buffer. False when the file system refuses (EINVAL) or writes part
// of a block: the rest then goes through the cache.
bool OutputFile::writeDirect(size_t size)
{
    size_t done = 0;
    bool refused = false;
    while (done < size && !refused) {
        const ssize_t n = ::pwrite(m_fd, m_buffer.get() + done, size - done, static_cast<off_t>(m_bufferAt + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EINVAL) {
            refused = true;
        } else if (n < 0) {
            fail("cannot write to", m_path, errno);
        } else if (n == 0) {
            fail("cannot write to", m_path, ENOSPC);
        } else {
            done += static_cast<size_t>(n);
            refused = done % kAlign != 0;
        }
    }
    std::memmove(m_buffer.get(), m_buffer.get() + done, m_buffered - done);
    m_buffered -= done;
    m_bufferAt += done;
    m_writebackFrom = m_bufferAt;
    return !refused;
}

void OutputFile::endDirect()
{
    if (!m_buffer)
        return;
    if (const size_t whole = m_buffered / kAlign * kAlign; whole > 0)
        writeDirect(whole);
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags & ~O_DIRECT) != 0)
        fail("cannot write to", m_path, errno);
    const std::unique_ptr<char, FreeBuffer> rest = std::move(m_buffer);
    writeAll(rest.get(), m_buffered, m_bufferAt);
    m_buffered = 0;
}

void OutputFile::sync()
{
    if (m_fd < 0)
        throw WriteError("sync of closed file " + m_path, EBADF);
    endDirect();
    int rc;
    do {
        rc = ::fsync(m_fd);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        fail("cannot flush", m_path, errno);
    // The file's pages leave the cache: verification then reads what the disk holds, not the
    // bytes as they were handed over (a drive that loses writes still shows them from the
    // cache), and the user's own files keep their place in it.
    ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_DONTNEED);
}

void OutputFile::close()
{
    if (m_fd < 0)
        return;
    endDirect();
    int fd = m_fd;
    m_fd = -1;
    // close() must not be retried on EINTR on Linux: the descriptor is gone either way.
    if (::close(fd) != 0 && errno != EINTR)
        fail("cannot close", m_path, errno);
}

} // namespace stowkeep::engine::zip
