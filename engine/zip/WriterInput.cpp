#include "WriterImpl.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stowkeep::engine::zip {

using namespace detail;

namespace {

class FdGuard
{
public:
    explicit FdGuard(int fd) : m_fd(fd) {}
    ~FdGuard()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;

private:
    int m_fd;
};

// Reads until the buffer is full or the file ends; returns 0 or an errno.
int readFull(int fd, unsigned char* data, size_t size, size_t& got)
{
    got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, data + got, size - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return 0;
}

uint32_t normalizedMode(const EntrySource& src)
{
    uint32_t mode = src.mode;
    const uint32_t type = src.kind == EntryKind::Directory ? S_IFDIR
                          : src.kind == EntryKind::Symlink ? S_IFLNK
                                                           : S_IFREG;
    if ((mode & 07777) == 0 && (mode & S_IFMT) == 0)
        mode = src.kind == EntryKind::File ? 0644 : src.kind == EntryKind::Directory ? 0755 : 0777;
    return (mode & 07777) | type;
}

} // namespace

void ZipWriter::Impl::readerLoop()
{
    for (;;) {
        EntrySource src;
        {
            std::unique_lock lock(mutex);
            entriesChanged.wait(lock, [&] { return stop || !entryQueue.empty() || inputClosed; });
            if (stop)
                return;
            if (entryQueue.empty()) {
                auto end = std::make_unique<Block>();
                end->done = true;
                order.push_back(std::move(end));
                doneChanged.notify_all();
                return;
            }
            src = std::move(entryQueue.front());
            entryQueue.pop_front();
        }
        entriesChanged.notify_all();
        readEntry(std::move(src));
    }
}

std::unique_ptr<Block> ZipWriter::Impl::acquireBlock(size_t bytes)
{
    std::unique_lock lock(mutex);
    budgetChanged.wait(lock, [&] {
        return stop || blocksInFlight == 0
               || (blocksInFlight < maxBlocks && bytesInFlight + bytes <= maxBytes);
    });
    if (stop)
        return nullptr;
    ++blocksInFlight;
    bytesInFlight += bytes;
    auto b = std::make_unique<Block>();
    b->budget = bytes;
    return b;
}

void ZipWriter::Impl::push(std::unique_ptr<Block> b, bool needsWork)
{
    {
        std::lock_guard lock(mutex);
        if (needsWork)
            work.push_back(b.get());
        else
            b->done = true;
        order.push_back(std::move(b));
    }
    if (needsWork)
        workChanged.notify_one();
    else
        doneChanged.notify_all();
}

void ZipWriter::Impl::pushFailure(const std::shared_ptr<Entry>& e, EntryStatus status, const std::string& why)
{
    e->result.status = status;
    e->result.error = why;
    auto b = acquireBlock(0);
    if (!b)
        return;
    b->entry = e;
    b->abort = true;
    b->last = true;
    push(std::move(b), false);
}

void ZipWriter::Impl::markChanged(Entry& e, const char* why)
{
    if (e.result.status == EntryStatus::Written) {
        e.result.status = EntryStatus::Changed;
        e.result.error = why;
    }
}

void ZipWriter::Impl::readEntry(EntrySource src)
{
    auto e = std::make_shared<Entry>();
    e->src = std::move(src);
    e->src.mode = normalizedMode(e->src);
    if (e->src.kind == EntryKind::Directory && (e->src.name.empty() || e->src.name.back() != '/'))
        e->src.name += '/';
    e->result.name = e->src.name;
    e->dos = toDosTime(e->src.mtime);

    if (e->src.kind != EntryKind::File) {
        auto b = acquireBlock(e->src.linkTarget.size());
        if (!b)
            return;
        b->entry = e;
        b->first = b->last = true;
        if (e->src.kind == EntryKind::Symlink)
            b->input.assign(e->src.linkTarget.begin(), e->src.linkTarget.end());
        b->crc = static_cast<uint32_t>(crc32(0, b->input.data(), static_cast<uInt>(b->input.size())));
        push(std::move(b), false);
        return;
    }

    // O_NONBLOCK: a pipe put in the file's place must not hang the run; O_NOFOLLOW: a
    // link put in its place is never followed.
    int fd;
    do {
        fd = ::open(e->src.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        pushFailure(e, err == ENOENT || err == ENOTDIR ? EntryStatus::Vanished : EntryStatus::Unreadable,
                    std::strerror(err));
        return;
    }
    FdGuard guard(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        pushFailure(e, EntryStatus::Unreadable, std::strerror(errno));
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        pushFailure(e, EntryStatus::Unreadable, "not a regular file");
        return;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    uint64_t remaining = e->src.size;
    bool first = true;
    Buffer tail;
    for (;;) {
        if (stop)
            return;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kBlockSize));
        const bool finalRead = remaining <= kBlockSize;
        // The final read asks for one byte more than expected, to notice a file that grew.
        auto b = acquireBlock(want + 1);
        if (!b)
            return;
        b->input.resize(want + (finalRead ? 1 : 0));
        size_t got = 0;
        if (int err = readFull(fd, b->input.data(), b->input.size(), got)) {
            e->result.status = EntryStatus::Unreadable;
            e->result.error = std::string("read error: ") + std::strerror(err);
            b->input.clear();
            b->entry = e;
            b->abort = true;
            b->last = true;
            push(std::move(b), false);
            return;
        }
        bool last = false;
        if (got > want) {
            got = want;
            last = true;
            markChanged(*e, "the file grew while it was read");
        } else if (got < want) {
            last = true;
            markChanged(*e, "the file shrank while it was read");
        } else if (finalRead) {
            last = true;
        }
        b->input.resize(got);
        remaining -= got;
        if (last) {
            struct stat after;
            if (::fstat(fd, &after) == 0
                && (static_cast<uint64_t>(after.st_size) != e->src.size
                    || static_cast<int64_t>(after.st_mtim.tv_sec) != e->src.mtime))
                markChanged(*e, "the file changed while it was read");
        }
        if (level > 0) {
            b->dict = std::move(tail);
            tail.clear();
            if (!last) {
                const size_t keep = std::min(b->input.size(), kDictSize);
                tail.assign(b->input.end() - static_cast<std::ptrdiff_t>(keep), b->input.end());
            }
        }
        b->entry = e;
        b->first = first;
        b->last = last;
        first = false;
        push(std::move(b), true);
        if (last)
            return;
    }
}

} // namespace stowkeep::engine::zip
