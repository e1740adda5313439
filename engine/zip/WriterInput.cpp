#include "WriterImpl.h"

#include "LongPath.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stowkeep::engine::zip {

using namespace detail;

namespace {

// -1, with errno as the failed call left it.
int closeKeepingErrno(int fd)
{
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    errno = error;
    return -1;
}

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

// Reads until the buffer is full or the file ends (EntryBytes::read tells of `expected`);
// returns 0 or an errno.
int readFull(int fd, unsigned char* data, size_t size, size_t& got, size_t expected)
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
        const bool shortRead = static_cast<size_t>(n) < size - got;
        got += static_cast<size_t>(n);
        if (shortRead && got >= expected)
            break;
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

// Names are flagged as UTF-8 only when they are: other bytes are stored as they are.
bool isValidUtf8(const std::string& s)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        const unsigned char c = *p;
        size_t n;
        uint32_t cp;
        if (c < 0x80) {
            ++p;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            n = 1;
            cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            n = 2;
            cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) <= n)
            return false;
        for (size_t i = 1; i <= n; ++i) {
            if ((p[i] & 0xc0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3f);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        static const uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[n] || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff)
            return false;
        p += n + 1;
    }
    return true;
}

} // namespace

int EntryBytes::read(unsigned char* data, size_t size, size_t& got, size_t expected)
{
    if (!memory)
        return readFull(fd, data, size, got, expected);
    got = std::min(size, memory->size() - offset);
    std::memcpy(data, memory->data() + offset, got);
    offset += got;
    return 0;
}

void ZipWriter::Impl::readerLoop()
{
    std::deque<EntrySource> batch;
    std::unique_ptr<Unit> unit; // small entries are packed into it
    for (;;) {
        if (batch.empty()) {
            std::unique_lock lock(mutex);
            if (entryQueue.empty() && !inputClosed && unit && !unit->pieces.empty()) {
                // Nothing more to pack for now: the workers get what there is.
                lock.unlock();
                push(std::move(unit));
                continue;
            }
            entriesAdded.wait(lock, [&] { return stop || !entryQueue.empty() || inputClosed; });
            if (stop)
                return;
            if (entryQueue.empty()) {
                lock.unlock();
                if (unit && !unit->pieces.empty())
                    push(std::move(unit));
                auto end = std::make_unique<Unit>();
                end->end = true;
                end->done = true;
                {
                    std::lock_guard endLock(mutex);
                    order.push_back(std::move(end));
                }
                doneChanged.notify_all();
                return;
            }
            batch.swap(entryQueue);
            lock.unlock();
            queueSpace.notify_all();
        }
        auto e = makeEntry(std::move(batch.front()));
        batch.pop_front();
        if (!unit && !(unit = acquireUnit()))
            return;
        if (!readSmall(e, *unit))
            return;
        if (unit && (unit->input.size() >= kUnitSize || unit->pieces.size() >= kMaxPiecesPerUnit))
            push(std::move(unit));
    }
}

std::unique_ptr<ZipWriter::Impl::Unit> ZipWriter::Impl::acquireUnit()
{
    std::unique_lock lock(mutex);
    budgetChanged.wait(lock, [&] { return stop || (unitsWithInput < maxUnits && unitsInFlight < maxUnitsInAll); });
    if (stop)
        return nullptr;
    ++unitsInFlight;
    ++unitsWithInput;
    auto u = std::make_unique<Unit>();
    // Room for a full unit and one more small file: packing never moves the data.
    u->input.reserve(kUnitSize + kBlockSize + 1);
    return u;
}

void ZipWriter::Impl::push(std::unique_ptr<Unit> u)
{
    {
        std::lock_guard lock(mutex);
        work.push_back(u.get());
        order.push_back(std::move(u));
    }
    workChanged.notify_one();
}

void ZipWriter::Impl::markChanged(Entry& e, const char* why)
{
    if (e.result.status == EntryStatus::Written) {
        e.result.status = EntryStatus::Changed;
        e.result.error = why;
    }
}

std::shared_ptr<ZipWriter::Impl::Entry> ZipWriter::Impl::makeEntry(EntrySource src)
{
    auto e = std::make_shared<Entry>();
    e->src = std::move(src);
    e->src.mode = normalizedMode(e->src);
    if (e->src.kind == EntryKind::Directory && (e->src.name.empty() || e->src.name.back() != '/'))
        e->src.name += '/';
    e->result.name = e->src.name;
    e->utf8Name = isValidUtf8(e->src.name);
    e->dos = toDosTime(e->src.mtime);
    return e;
}

bool ZipWriter::Impl::readSmall(const std::shared_ptr<Entry>& e, Unit& unit)
{
    Piece p;
    p.entry = e;
    p.first = p.last = true;
    p.inOffset = unit.input.size();
    auto fail = [&](EntryStatus status, const std::string& why) {
        e->result.status = status;
        e->result.error = why;
        unit.input.resize(p.inOffset);
        p.abort = true;
        unit.pieces.push_back(std::move(p));
        return true;
    };
    if (e->src.kind != EntryKind::File) {
        if (e->src.kind == EntryKind::Symlink)
            append(unit.input, e->src.linkTarget.data(), e->src.linkTarget.size());
        p.inSize = unit.input.size() - p.inOffset;
        unit.pieces.push_back(std::move(p));
        return true;
    }

    EntryBytes bytes;
    int fd = -1;
    if (e->src.content) {
        bytes.memory = e->src.content.get();
        e->src.size = bytes.memory->size();
    } else {
        struct stat st;
        fd = openSource(*e, st);
        if (fd < 0) {
            const int err = errno;
            if (err == ELOOP)
                return fail(EntryStatus::Unreadable, "it, or a folder on its path, was replaced by a link");
            return fail(err == ENOENT || err == ENOTDIR ? EntryStatus::Vanished : EntryStatus::Unreadable,
                        std::strerror(err));
        }
        bytes.fd = fd;
        if (!S_ISREG(st.st_mode)) {
            ::close(fd);
            return fail(EntryStatus::Unreadable, "not a regular file");
        }
    }
    FdGuard guard(fd);
    if (e->src.size > kBlockSize) {
        if (!unit.pieces.empty()) {
            // The blocks of a large entry are units of their own, after what came before.
            auto packed = std::make_unique<Unit>();
            std::swap(*packed, unit);
            push(std::move(packed));
            std::lock_guard lock(mutex);
            ++unitsInFlight; // `unit` stays held, empty, for what comes after
            ++unitsWithInput;
        }
        return readLarge(e, bytes);
    }

    // The read asks for one byte more than expected, to notice a file that grew.
    const size_t want = static_cast<size_t>(e->src.size);
    unit.input.resize(p.inOffset + want + 1);
    size_t got = 0;
    if (int err = bytes.read(unit.input.data() + p.inOffset, want + 1, got, want))
        return fail(EntryStatus::Unreadable, std::string("read error: ") + std::strerror(err));
    if (got > want) {
        got = want;
        markChanged(*e, "the file grew while it was read");
    } else if (got < want) {
        markChanged(*e, "the file shrank while it was read");
    }
    unit.input.resize(p.inOffset + got);
    p.inSize = got;
    if (fd >= 0)
        checkUnchanged(*e, fd);
    unit.pieces.push_back(std::move(p));
    return true;
}

// Opens the entry's file, and st gets its status. O_NONBLOCK: a pipe put in the file's place
// must not hang the run; O_NOFOLLOW: a link put in its place is never followed.
int ZipWriter::Impl::openSource(Entry& e, struct stat& st)
{
    constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd;
    do {
        fd = openLong(e.src.path, flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return closeKeepingErrno(fd);
    if (e.src.inode == 0 || (static_cast<uint64_t>(st.st_ino) == e.src.inode &&
                             static_cast<uint64_t>(st.st_dev) == e.src.device))
        return fd;
    // Another file: what is at the path now, reached without links, is stored whole. Its
    // entry keeps the time that was listed, so that the next run reads it again.
    ::close(fd);
    do {
        fd = openBeneath(e.src.path, e.src.rootLength, flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return closeKeepingErrno(fd);
    e.src.size = static_cast<uint64_t>(st.st_size);
    markChanged(e, "another file was put in its place while the run went on");
    return fd;
}

void ZipWriter::Impl::checkUnchanged(Entry& e, int fd)
{
    struct stat after;
    if (::fstat(fd, &after) == 0
        && (static_cast<uint64_t>(after.st_size) != e.src.size
            || static_cast<int64_t>(after.st_mtim.tv_sec) != e.src.mtime))
        markChanged(e, "the file changed while it was read");
}

bool ZipWriter::Impl::readLarge(const std::shared_ptr<Entry>& e, EntryBytes& bytes)
{
    if (bytes.fd >= 0)
        ::posix_fadvise(bytes.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    uint64_t remaining = e->src.size;
    bool first = true;
    Buffer tail;
    for (;;) {
        if (stop)
            return false;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kBlockSize));
        const bool finalRead = remaining <= kBlockSize;
        auto u = acquireUnit();
        if (!u)
            return false;
        Piece p;
        p.entry = e;
        p.first = first;
        u->input.resize(want + (finalRead ? 1 : 0));
        size_t got = 0;
        if (int err = bytes.read(u->input.data(), u->input.size(), got, want)) {
            e->result.status = EntryStatus::Unreadable;
            e->result.error = std::string("read error: ") + std::strerror(err);
            u->input.clear();
            p.abort = true;
            p.last = true;
            u->pieces.push_back(std::move(p));
            push(std::move(u));
            return true;
        }
        if (got > want) {
            got = want;
            p.last = true;
            markChanged(*e, "the file grew while it was read");
        } else if (got < want) {
            p.last = true;
            markChanged(*e, "the file shrank while it was read");
        } else if (finalRead) {
            p.last = true;
        }
        u->input.resize(got);
        p.inSize = got;
        remaining -= got;
        if (p.last && bytes.fd >= 0)
            checkUnchanged(*e, bytes.fd);
        if (level > 0) {
            u->dict = std::move(tail);
            tail.clear();
            if (!p.last) {
                const size_t keep = std::min(u->input.size(), kDictSize);
                tail.resize(keep);
                std::memcpy(tail.data(), u->input.data() + u->input.size() - keep, keep);
            }
        }
        first = false;
        const bool last = p.last;
        u->pieces.push_back(std::move(p));
        push(std::move(u));
        if (last)
            return true;
    }
}

} // namespace stowkeep::engine::zip
