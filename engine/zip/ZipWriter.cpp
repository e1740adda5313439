#include "ZipWriter.h"

#include "WinZipAes.h"
#include "ZipFormat.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace stowkeep::engine::zip {

using namespace detail;

namespace {

constexpr size_t kBlockSize = size_t{1} << 20;   // a file is read and deflated in blocks of 1 MiB
constexpr size_t kDictSize = 32768;              // deflate window carried from block to block
constexpr size_t kSinkBufferSize = size_t{1} << 20;
constexpr size_t kMaxQueuedEntries = 1024;
// Entries that may come near 4 GiB get zip64 fields in their local header from the
// start: their sizes are only known once their data is written.
constexpr uint64_t kZip64Threshold = 0xf0000000ull;
constexpr auto kPollInterval = std::chrono::milliseconds(20);

// One record of a central directory, for the inner archive or the outer wrapper.
struct CentralRecord
{
    std::string_view name;
    uint16_t versionNeeded = kNeedDefault;
    uint16_t flags = kFlagUtf8;
    uint16_t method = kMethodStored;
    DosTime dos;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint64_t offset = 0;
    uint32_t externalAttributes = 0;
    std::string extraTail; // extra fields after the zip64 one
    bool forceZip64Sizes = false;
};

void appendCentralRecord(Bytes& chunk, const CentralRecord& r)
{
    const bool bigSize = r.forceZip64Sizes || r.size >= kMax32;
    const bool bigCompressed = r.forceZip64Sizes || r.compressedSize >= kMax32;
    const bool bigOffset = r.offset >= kMax32;
    Bytes z64;
    if (bigSize)
        z64.u64(r.size);
    if (bigCompressed)
        z64.u64(r.compressedSize);
    if (bigOffset)
        z64.u64(r.offset);
    Bytes extra;
    if (!z64.data.empty())
        extra.u16(kZip64ExtraId).u16(static_cast<uint16_t>(z64.data.size())).str(z64.data);
    extra.str(r.extraTail);
    const uint16_t needed = z64.data.empty() ? r.versionNeeded : std::max(r.versionNeeded, kNeedZip64);
    chunk.u32(kCentralHeaderSig)
        .u16(kMadeByUnix)
        .u16(needed)
        .u16(r.flags)
        .u16(r.method)
        .u16(r.dos.time)
        .u16(r.dos.date)
        .u32(r.crc)
        .u32(bigCompressed ? kMax32 : static_cast<uint32_t>(r.compressedSize))
        .u32(bigSize ? kMax32 : static_cast<uint32_t>(r.size))
        .u16(static_cast<uint16_t>(r.name.size()))
        .u16(static_cast<uint16_t>(extra.data.size()))
        .u16(0)  // comment
        .u16(0)  // disk
        .u16(0)  // internal attributes
        .u32(r.externalAttributes)
        .u32(bigOffset ? kMax32 : static_cast<uint32_t>(r.offset));
    chunk.data.append(r.name);
    chunk.str(extra.data);
}

// The end of a central directory of `count` records and cdSize bytes that starts at
// stream offset `start`: the (zip64) end records.
void appendCentralEnd(Bytes& chunk, uint64_t count, uint64_t cdSize, uint64_t start)
{
    const bool zip64 = count >= kMax16 || cdSize >= kMax32 || start >= kMax32;
    if (zip64) {
        const uint64_t zip64EndOffset = start + cdSize;
        chunk.u32(kZip64EndSig)
            .u64(kZip64EndSize - 12)
            .u16(kMadeByUnix)
            .u16(kNeedZip64)
            .u32(0)
            .u32(0)
            .u64(count)
            .u64(count)
            .u64(cdSize)
            .u64(start);
        chunk.u32(kZip64LocatorSig).u32(0).u64(zip64EndOffset).u32(1);
    }
    chunk.u32(kEndSig)
        .u16(0)
        .u16(0)
        .u16(static_cast<uint16_t>(std::min<uint64_t>(count, kMax16)))
        .u16(static_cast<uint16_t>(std::min<uint64_t>(count, kMax16)))
        .u32(static_cast<uint32_t>(std::min<uint64_t>(cdSize, kMax32)))
        .u32(static_cast<uint32_t>(std::min<uint64_t>(start, kMax32)))
        .u16(0);
}

// The inner archive's central directory, kept as the bytes it will be written as (about
// 75 bytes a file) from the moment each entry is finished, in chunks that never move.
class CentralDirectory
{
public:
    void add(const CentralRecord& r)
    {
        if (m_chunks.empty() || m_chunks.back().data.size() >= kSinkBufferSize) {
            m_chunks.emplace_back();
            m_chunks.back().data.reserve(kSinkBufferSize + 1024);
        }
        const size_t before = m_chunks.back().data.size();
        appendCentralRecord(m_chunks.back(), r);
        m_size += m_chunks.back().data.size() - before;
        ++m_count;
    }

    // Writes the records, then the end records; the directory starts at stream offset start.
    void write(const std::function<void(const std::string&)>& write, uint64_t start)
    {
        for (Bytes& chunk : m_chunks) {
            write(chunk.data);
            chunk.data = {};
        }
        Bytes end;
        appendCentralEnd(end, m_count, m_size, start);
        write(end.data);
    }

private:
    std::deque<Bytes> m_chunks;
    uint64_t m_count = 0;
    uint64_t m_size = 0;
};

std::string timestampExtra(int64_t mtime)
{
    Bytes b;
    b.u16(kTimestampExtraId).u16(5).u8(1).u32(timestamp32(mtime));
    return b.data;
}

std::string aesExtra()
{
    Bytes b;
    b.u16(kAesExtraId).u16(7).u16(2).u8('A').u8('E').u8(3).u16(kMethodStored);
    return b.data;
}

// Where the inner archive's bytes go: straight into the file, or, with a password,
// through AES and HMAC into the one entry of the outer wrapper. Buffered.
class Sink
{
public:
    Sink(OutputFile& out, const std::string& password, const std::string& innerName) : m_out(out)
    {
        m_buffer.reserve(kSinkBufferSize);
        if (password.empty())
            return;
        m_innerName = innerName.empty() ? std::string("backup.zip") : innerName;
        m_dos = toDosTime(static_cast<int64_t>(std::time(nullptr)));
        m_headerOffset = out.position();
        Bytes h;
        Bytes extra;
        extra.u16(kZip64ExtraId).u16(16).u64(0).u64(0).str(aesExtra());
        h.u32(kLocalHeaderSig)
            .u16(kNeedAes)
            .u16(kFlagEncrypted | kFlagUtf8)
            .u16(kMethodAes)
            .u16(m_dos.time)
            .u16(m_dos.date)
            .u32(0)       // CRC-32 of the inner archive: patched at the end
            .u32(kMax32)  // sizes: in the zip64 field, patched at the end
            .u32(kMax32)
            .u16(static_cast<uint16_t>(m_innerName.size()))
            .u16(static_cast<uint16_t>(extra.data.size()))
            .str(m_innerName)
            .str(extra.data);
        m_sizesOffset = m_headerOffset + kLocalHeaderSize + m_innerName.size() + 4;
        uint8_t salt[kAesSaltSize];
        randomBytes(salt, sizeof salt);
        AesKeys keys = deriveKeys(password, salt);
        m_aes = std::make_unique<AesCtr>(keys.cipherKey);
        m_hmac = std::make_unique<HmacSha1>(keys.macKey);
        h.data.append(reinterpret_cast<const char*>(salt), sizeof salt);
        h.data.append(reinterpret_cast<const char*>(keys.verifier.data()), keys.verifier.size());
        out.write(h.data.data(), h.data.size());
    }

    uint64_t position() const { return m_position; }

    void write(const void* data, size_t size)
    {
        auto* bytes = static_cast<const uint8_t*>(data);
        m_position += size;
        while (size > 0) {
            const size_t n = std::min(size, kSinkBufferSize - m_buffer.size());
            m_buffer.insert(m_buffer.end(), bytes, bytes + n);
            bytes += n;
            size -= n;
            if (m_buffer.size() == kSinkBufferSize)
                flush();
        }
    }
    void write(const std::string& s) { write(s.data(), s.size()); }

    // Flushes the inner stream; with a password, closes the outer wrapper around it.
    void finish()
    {
        flush();
        if (!m_aes)
            return;
        const auto mac = m_hmac->final();
        m_out.write(mac.data(), kAesMacSize);
        CentralRecord r;
        r.name = m_innerName;
        r.versionNeeded = kNeedAes;
        r.flags = kFlagEncrypted | kFlagUtf8;
        r.method = kMethodAes;
        r.dos = m_dos;
        r.crc = m_crc;
        r.size = m_position;
        r.compressedSize = kAesSaltSize + kAesVerifierSize + m_position + kAesMacSize;
        r.offset = m_headerOffset;
        r.externalAttributes = static_cast<uint32_t>(S_IFREG | 0600) << 16;
        r.extraTail = aesExtra();
        r.forceZip64Sizes = true;
        CentralDirectory outer;
        outer.add(r);
        outer.write([this](const std::string& s) { m_out.write(s.data(), s.size()); }, m_out.position());
        Bytes sizes;
        sizes.u64(r.size).u64(r.compressedSize);
        m_out.patch(m_sizesOffset, sizes.data.data(), sizes.data.size());
        Bytes crc;
        crc.u32(m_crc);
        m_out.patch(m_headerOffset + 14, crc.data.data(), crc.data.size());
    }

private:
    void flush()
    {
        if (m_buffer.empty())
            return;
        if (m_aes) {
            m_crc = crc32(m_crc, m_buffer.data(), static_cast<uInt>(m_buffer.size()));
            m_aes->apply(m_flushed, m_buffer.data(), m_buffer.size());
            m_hmac->update(m_buffer.data(), m_buffer.size());
        }
        m_out.write(m_buffer.data(), m_buffer.size());
        m_flushed += m_buffer.size();
        m_buffer.clear();
    }

    OutputFile& m_out;
    std::vector<uint8_t> m_buffer;
    uint64_t m_position = 0; // bytes of the inner stream handed in
    uint64_t m_flushed = 0;  // of which written out
    std::unique_ptr<AesCtr> m_aes;
    std::unique_ptr<HmacSha1> m_hmac;
    std::string m_innerName;
    DosTime m_dos;
    uint64_t m_headerOffset = 0;
    uint64_t m_sizesOffset = 0;
    // The outer entry records the CRC-32 of the inner archive although AE-2 makes it
    // optional: libzip checks it on every AE-2 entry of 20 bytes or more and refuses a zero.
    uLong m_crc = 0;
};

struct Entry
{
    EntrySource src;
    EntryResult result;
    std::atomic<int> store{-1}; // -1 undecided, 0 deflate, 1 store (set by the writer)
    // Writer state.
    uint16_t method = kMethodStored;
    bool dataDescriptor = false;
    bool zip64Local = false;
    uint64_t localOffset = 0;
    uint32_t crc = 0;
    uint64_t size = 0;
    uint64_t compressedSize = 0;
    DosTime dos;
};

// A vector of bytes that resize() leaves uninitialised: a block's buffers are sized for
// the worst case, and only the pages actually written to then take memory.
template <typename T> struct UninitialisedAllocator : std::allocator<T>
{
    template <typename U> struct rebind
    {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U> UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <typename U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
    template <typename U, typename... Args> void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using Buffer = std::vector<unsigned char, UninitialisedAllocator<unsigned char>>;

struct Block
{
    std::shared_ptr<Entry> entry; // null for the end-of-input marker
    bool first = false;
    bool last = false;
    bool abort = false; // the entry failed: no data, it is left out of the archive
    bool compressed = false;
    bool done = false;
    Buffer input;
    Buffer dict;
    Buffer output;
    uint32_t crc = 0;
    size_t budget = 0;
};

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

class Deflater
{
public:
    explicit Deflater(int level)
    {
        if (deflateInit2(&m_zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("zlib: cannot set up deflate");
    }
    ~Deflater() { deflateEnd(&m_zs); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Deflates one block so that the blocks of a file, concatenated, make one raw deflate
    // stream: earlier blocks end on a byte boundary (sync flush), the last one finishes it.
    void compress(Block& b)
    {
        if (deflateReset(&m_zs) != Z_OK)
            throw std::runtime_error("zlib: deflateReset failed");
        if (!b.dict.empty()
            && deflateSetDictionary(&m_zs, b.dict.data(), static_cast<uInt>(b.dict.size())) != Z_OK)
            throw std::runtime_error("zlib: deflateSetDictionary failed");
        size_t capacity = deflateBound(&m_zs, static_cast<uLong>(b.input.size())) + 64;
        b.output.resize(capacity);
        m_zs.next_in = b.input.data();
        m_zs.avail_in = static_cast<uInt>(b.input.size());
        m_zs.next_out = b.output.data();
        m_zs.avail_out = static_cast<uInt>(capacity);
        const int flush = b.last ? Z_FINISH : Z_SYNC_FLUSH;
        for (;;) {
            const int rc = deflate(&m_zs, flush);
            if (rc == Z_STREAM_ERROR)
                throw std::runtime_error("zlib: deflate failed");
            if (b.last ? rc == Z_STREAM_END : (m_zs.avail_in == 0 && m_zs.avail_out > 0))
                break;
            if (m_zs.avail_out == 0) {
                const size_t used = b.output.size();
                b.output.resize(used * 2);
                m_zs.next_out = b.output.data() + used;
                m_zs.avail_out = static_cast<uInt>(used);
            }
        }
        b.output.resize(m_zs.total_out);
        b.compressed = true;
    }

private:
    z_stream m_zs{};
};

} // namespace

struct ZipWriter::Impl
{
    OutputFile& out;
    Options options;
    int level;
    Sink sink;
    unsigned workerCount;
    size_t maxBlocks;
    size_t maxBytes;

    std::mutex mutex;
    std::condition_variable entriesChanged; // the reader waits for entries, add() for space
    std::condition_variable workChanged;    // workers wait for blocks
    std::condition_variable doneChanged;    // the writer waits for the next block in order
    std::condition_variable budgetChanged;  // the reader waits for room in the pipeline
    std::condition_variable resultsChanged; // the caller waits for results
    std::deque<EntrySource> entryQueue;
    bool inputClosed = false;
    std::deque<std::unique_ptr<Block>> order;
    std::deque<Block*> work;
    size_t blocksInFlight = 0;
    size_t bytesInFlight = 0;
    std::vector<EntryResult> results;
    size_t delivered = 0;
    size_t added = 0;    // entries add() queued
    size_t reported = 0; // of which onEntryDone has seen the result
    bool writerFinished = false;
    std::exception_ptr error;
    std::atomic<bool> stop{false};
    bool finished = false;

    CentralDirectory central; // writer thread only

    std::thread readerThread;
    std::vector<std::thread> workerThreads;
    std::thread writerThread;

    Impl(OutputFile& o, Options opts)
        : out(o), options(std::move(opts)), level(std::clamp(options.level, 0, 9)),
          sink(o, options.password, options.innerName)
    {
        workerCount = options.threads ? options.threads : std::thread::hardware_concurrency();
        workerCount = std::clamp(workerCount, 1u, 64u);
        // Enough blocks for every worker to have one and the next one waiting, and for the
        // reader and the writer to have one each: more does not go faster, only takes memory.
        maxBlocks = std::max<size_t>(16, 8 * workerCount);
        maxBytes = (2 * size_t{workerCount} + 2) * kBlockSize;
        try {
            readerThread = std::thread([this] { guarded([this] { readerLoop(); }); });
            for (unsigned i = 0; i < workerCount; ++i)
                workerThreads.emplace_back([this] { guarded([this] { workerLoop(); }); });
            writerThread = std::thread([this] { guarded([this] { writerLoop(); }); });
        } catch (...) {
            shutDown();
            throw;
        }
    }

    ~Impl() { shutDown(); }

    void shutDown()
    {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        notifyAll();
        if (readerThread.joinable())
            readerThread.join();
        for (auto& t : workerThreads)
            if (t.joinable())
                t.join();
        if (writerThread.joinable())
            writerThread.join();
    }

    void notifyAll()
    {
        entriesChanged.notify_all();
        workChanged.notify_all();
        doneChanged.notify_all();
        budgetChanged.notify_all();
        resultsChanged.notify_all();
    }

    template <typename F> void guarded(F&& body)
    {
        try {
            body();
        } catch (...) {
            {
                std::lock_guard lock(mutex);
                if (!error)
                    error = std::current_exception();
                stop = true;
            }
            notifyAll();
        }
    }

    // ---- the reader thread: entries in, blocks out, in archive order ----

    void readerLoop()
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

    std::unique_ptr<Block> acquireBlock(size_t bytes)
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

    void push(std::unique_ptr<Block> b, bool needsWork)
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

    void pushFailure(const std::shared_ptr<Entry>& e, EntryStatus status, const std::string& why)
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

    static void markChanged(Entry& e, const char* why)
    {
        if (e.result.status == EntryStatus::Written) {
            e.result.status = EntryStatus::Changed;
            e.result.error = why;
        }
    }

    void readEntry(EntrySource src)
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

        if (e->src.content) {
            readMemory(e);
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

    // An entry whose bytes are in memory: cut into blocks as a file's are.
    void readMemory(const std::shared_ptr<Entry>& e)
    {
        const std::string& data = *e->src.content;
        e->src.size = data.size();
        size_t offset = 0;
        do {
            const size_t n = std::min(data.size() - offset, kBlockSize);
            auto b = acquireBlock(n);
            if (!b)
                return;
            const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
            b->input.assign(bytes + offset, bytes + offset + n);
            if (level > 0 && offset > 0)
                b->dict.assign(bytes + offset - std::min(offset, kDictSize), bytes + offset);
            b->entry = e;
            b->first = offset == 0;
            offset += n;
            b->last = offset == data.size();
            push(std::move(b), true);
        } while (offset < data.size());
    }

    // ---- worker threads: CRC and deflate, any block in any order ----

    void workerLoop()
    {
        std::unique_ptr<Deflater> deflater;
        if (level > 0)
            deflater = std::make_unique<Deflater>(level);
        for (;;) {
            Block* b;
            {
                std::unique_lock lock(mutex);
                workChanged.wait(lock, [&] { return stop || !work.empty(); });
                if (stop)
                    return;
                b = work.front();
                work.pop_front();
            }
            b->crc = static_cast<uint32_t>(crc32(0, b->input.data(), static_cast<uInt>(b->input.size())));
            if (deflater && b->entry->store.load() != 1)
                deflater->compress(*b);
            bool front;
            {
                std::lock_guard lock(mutex);
                b->done = true;
                front = order.front().get() == b;
            }
            if (front)
                doneChanged.notify_all();
        }
    }

    // ---- the writer thread: blocks in archive order into the sink ----

    void writerLoop()
    {
        for (;;) {
            std::unique_ptr<Block> b;
            {
                std::unique_lock lock(mutex);
                doneChanged.wait(lock, [&] { return stop || (!order.empty() && order.front()->done); });
                if (stop)
                    return;
                b = std::move(order.front());
                order.pop_front();
            }
            if (!b->entry) {
                central.write([this](const std::string& s) { sink.write(s); }, sink.position());
                sink.finish();
                {
                    std::lock_guard lock(mutex);
                    writerFinished = true;
                }
                resultsChanged.notify_all();
                return;
            }
            bool entryDone = writeBlock(*b);
            {
                std::lock_guard lock(mutex);
                --blocksInFlight;
                bytesInFlight -= b->budget;
                if (entryDone)
                    results.push_back(b->entry->result);
            }
            budgetChanged.notify_all();
            if (entryDone)
                resultsChanged.notify_all();
        }
    }

    void writeLocalHeader(Entry& e, const Block& b, const Buffer& data)
    {
        e.dataDescriptor = !b.last;
        e.zip64Local = e.dataDescriptor && e.src.size >= kZip64Threshold;
        Bytes h;
        h.u32(kLocalHeaderSig)
            .u16(e.zip64Local ? kNeedZip64 : kNeedDefault)
            .u16(static_cast<uint16_t>(kFlagUtf8 | (e.dataDescriptor ? kFlagDataDescriptor : 0)))
            .u16(e.method)
            .u16(e.dos.time)
            .u16(e.dos.date);
        if (e.dataDescriptor) {
            const uint32_t sizes = e.zip64Local ? kMax32 : 0;
            h.u32(0).u32(sizes).u32(sizes);
        } else {
            h.u32(b.crc).u32(static_cast<uint32_t>(data.size())).u32(static_cast<uint32_t>(b.input.size()));
        }
        Bytes extra;
        if (e.zip64Local)
            extra.u16(kZip64ExtraId).u16(16).u64(0).u64(0);
        extra.str(timestampExtra(e.src.mtime));
        h.u16(static_cast<uint16_t>(e.src.name.size()))
            .u16(static_cast<uint16_t>(extra.data.size()))
            .str(e.src.name)
            .str(extra.data);
        e.localOffset = sink.position();
        sink.write(h.data);
    }

    // Returns true when the block completes its entry.
    bool writeBlock(Block& b)
    {
        Entry& e = *b.entry;
        if (b.abort) {
            // Bytes already written for the entry stay in the file, unlisted: readers go
            // by the central directory.
            e.result.size = 0;
            e.result.compressedSize = 0;
            e.result.crc = 0;
            return true;
        }
        if (b.first) {
            bool store = level == 0 || e.src.kind != EntryKind::File || !b.compressed;
            // Data that deflate does not shrink by at least 3% is stored instead.
            if (!store)
                store = b.output.size() * 100 > b.input.size() * 97;
            e.store = store ? 1 : 0;
            e.method = store ? kMethodStored : kMethodDeflate;
        }
        if (e.method == kMethodDeflate && !b.compressed)
            throw std::logic_error("zip writer: block of a deflated entry was not compressed");
        const Buffer& data = e.method == kMethodDeflate ? b.output : b.input;
        if (b.first)
            writeLocalHeader(e, b, data);
        sink.write(data.data(), data.size());
        e.crc = b.first ? b.crc
                        : static_cast<uint32_t>(crc32_combine(e.crc, b.crc, static_cast<z_off_t>(b.input.size())));
        e.size += b.input.size();
        e.compressedSize += data.size();
        b.input = {};
        b.output = {};
        if (!b.last)
            return false;

        if (e.dataDescriptor) {
            Bytes d;
            d.u32(kDataDescriptorSig).u32(e.crc);
            if (e.zip64Local)
                d.u64(e.compressedSize).u64(e.size);
            else
                d.u32(static_cast<uint32_t>(e.compressedSize)).u32(static_cast<uint32_t>(e.size));
            sink.write(d.data);
        }
        CentralRecord r;
        r.name = e.src.name;
        r.versionNeeded = e.zip64Local ? kNeedZip64 : kNeedDefault;
        r.flags = static_cast<uint16_t>(kFlagUtf8 | (e.dataDescriptor ? kFlagDataDescriptor : 0));
        r.method = e.method;
        r.dos = e.dos;
        r.crc = e.crc;
        r.compressedSize = e.compressedSize;
        r.size = e.size;
        r.offset = e.localOffset;
        r.externalAttributes = (e.src.mode << 16) | (e.src.kind == EntryKind::Directory ? 0x10 : 0);
        r.extraTail = timestampExtra(e.src.mtime);
        central.add(r);
        e.result.size = e.size;
        e.result.compressedSize = e.compressedSize;
        e.result.crc = e.crc;
        return true;
    }

    // ---- the caller's side ----

    void rethrowIfFailed()
    {
        std::exception_ptr failure;
        {
            std::lock_guard lock(mutex);
            failure = error;
        }
        if (failure)
            std::rethrow_exception(failure);
    }

    // Calls onEntryDone for finished entries, on the caller's thread, without the lock.
    void deliver()
    {
        std::vector<EntryResult> pending;
        {
            std::lock_guard lock(mutex);
            if (!options.collectResults) {
                pending.swap(results); // none was delivered yet: all of them are new
                reported += pending.size();
            } else {
                if (options.onEntryDone)
                    pending.assign(results.begin() + static_cast<std::ptrdiff_t>(delivered), results.end());
                delivered = results.size();
                reported = delivered;
            }
        }
        if (!options.onEntryDone)
            return;
        for (const EntryResult& r : pending)
            options.onEntryDone(r);
    }

    void checkCancelled()
    {
        if (options.cancelled && options.cancelled()) {
            shutDown();
            throw Cancelled();
        }
    }
};

ZipWriter::ZipWriter(OutputFile& out, Options options) : m(std::make_unique<Impl>(out, std::move(options))) {}

ZipWriter::~ZipWriter() = default;

void ZipWriter::add(EntrySource entry)
{
    if (m->finished)
        throw std::logic_error("ZipWriter::add after finish");
    for (;;) {
        m->rethrowIfFailed();
        m->deliver();
        m->checkCancelled();
        std::unique_lock lock(m->mutex);
        if (m->stop) {
            // A failed write stops the pipeline too: report the failure, not a cancel.
            lock.unlock();
            m->rethrowIfFailed();
            throw Cancelled();
        }
        if (m->entryQueue.size() < kMaxQueuedEntries) {
            m->entryQueue.push_back(std::move(entry));
            ++m->added;
            lock.unlock();
            m->entriesChanged.notify_all();
            return;
        }
        m->entriesChanged.wait_for(lock, kPollInterval);
    }
}

void ZipWriter::waitForEntries()
{
    for (;;) {
        m->rethrowIfFailed();
        m->deliver();
        m->checkCancelled();
        std::unique_lock lock(m->mutex);
        if (m->reported == m->added)
            return;
        if (m->stop) {
            lock.unlock();
            m->rethrowIfFailed();
            throw Cancelled();
        }
        m->resultsChanged.wait_for(lock, kPollInterval);
    }
}

std::vector<EntryResult> ZipWriter::finish()
{
    if (m->finished)
        throw std::logic_error("ZipWriter::finish called twice");
    {
        std::lock_guard lock(m->mutex);
        m->inputClosed = true;
    }
    m->entriesChanged.notify_all();
    for (;;) {
        m->rethrowIfFailed();
        m->deliver();
        m->checkCancelled();
        std::unique_lock lock(m->mutex);
        if (m->writerFinished)
            break;
        if (m->stop) {
            // A failed write stops the pipeline too: report the failure, not a cancel.
            lock.unlock();
            m->rethrowIfFailed();
            throw Cancelled();
        }
        m->resultsChanged.wait_for(lock, kPollInterval);
    }
    m->shutDown();
    m->rethrowIfFailed();
    m->deliver();
    m->finished = true;
    return std::move(m->results);
}

} // namespace stowkeep::engine::zip
