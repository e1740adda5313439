#include "ZipReader.h"

#include "Deflate.h"
#include "OutputFile.h"
#include "WinZipAes.h"
#include "ZipFormat.h"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <sys/stat.h>
#include <unistd.h>

namespace stowkeep::engine::zip {

using namespace detail;

namespace {

constexpr size_t kChunkSize = 256 * 1024;
// Pieces read once (verification) of this size and up go past the page cache on a local
// disk, through an aligned buffer of kDirectPiece: the archive was written that way, and
// filling the cache with it would cost more CPU than reading the disk, and push the user's
// own files out of memory.
constexpr size_t kDirectFrom = 64 * 1024;
constexpr size_t kAlign = 4096;
constexpr size_t kDirectPiece = size_t{1} << 20;
// Entries up to this size are inflated whole, by libdeflate: it is much faster than zlib.
constexpr uint64_t kWholeLimit = uint64_t{4} << 20;
constexpr size_t kMaxLinkTarget = 64 * 1024;
// Entries read together are read from the archive at once when they lie within this
// stretch; a local header's extra fields are taken to be no longer than kLocalExtraGuess
// (when they are, the entry's end is read on its own).
constexpr uint64_t kMaxSpan = uint64_t{2} << 20;
constexpr uint64_t kLocalExtraGuess = 128;

// Random access to the bytes of an archive.
class Source
{
public:
    virtual ~Source() = default;
    virtual uint64_t size() const = 0;
    // Reads exactly `size` bytes at `offset`; throws ZipError past the end.
    virtual void read(uint64_t offset, void* data, size_t size) const = 0;
    // The same for a large piece read once, in order with others: past the page cache
    // where that pays (verification reads the whole archive that way).
    virtual void readOnce(uint64_t offset, void* data, size_t size) const { read(offset, data, size); }
    // The bytes at `offset` where they are in memory already, else nullptr.
    virtual const unsigned char* view(uint64_t /*offset*/, size_t /*size*/) const { return nullptr; }
};

class FileSource : public Source
{
public:
    explicit FileSource(const std::string& path) : m_path(path)
    {
        do {
            m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); // a FIFO must not hang us
        } while (m_fd < 0 && errno == EINTR);
        if (m_fd < 0)
            throw ZipError("cannot open " + path + ": " + std::strerror(errno));
        struct stat st;
        if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(m_fd);
            throw ZipError("not a regular file: " + path);
        }
        m_size = static_cast<uint64_t>(st.st_size);
        if (onLocalDisk(m_fd)) {
            m_direct = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_DIRECT);
            struct stat other;
            if (m_direct >= 0
                && (::fstat(m_direct, &other) != 0 || other.st_dev != st.st_dev || other.st_ino != st.st_ino)) {
                ::close(m_direct);
                m_direct = -1;
            }
        }
    }
    ~FileSource() override
    {
        ::close(m_fd);
        if (m_direct >= 0)
            ::close(m_direct);
    }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    uint64_t size() const override { return m_size; }
    void setFault(std::function<int(uint64_t)> fault) { m_fault = std::move(fault); }

    void read(uint64_t offset, void* data, size_t size) const override { readFrom(offset, data, size, false); }
    void readOnce(uint64_t offset, void* data, size_t size) const override { readFrom(offset, data, size, true); }

private:
    void readFrom(uint64_t offset, void* data, size_t size, bool once) const
    {
        if (offset > m_size || size > m_size - offset)
            throw ZipError("archive is truncated or damaged: " + m_path);
        if (m_fault)
            if (const int error = m_fault(size))
                throw ReadError("cannot read " + m_path + ": " + std::strerror(error));
        auto* bytes = static_cast<char*>(data);
        size_t done = once && size >= kDirectFrom ? readDirect(offset, bytes, size) : 0;
        while (done < size) {
            ssize_t n = ::pread(m_fd, bytes + done, size - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw ReadError("cannot read " + m_path + ": " + std::strerror(errno));
            if (n == 0)
                throw ZipError("archive is truncated: " + m_path);
            done += static_cast<size_t>(n);
        }
    }

    // Reads what it can past the page cache and returns how much; the rest goes through the
    // cache (all of it where direct reads are refused).
    size_t readDirect(uint64_t offset, char* bytes, size_t size) const
    {
        if (m_direct < 0 || m_directRefused.load(std::memory_order_relaxed))
            return 0;
        struct Free
        {
            void operator()(char* p) const { std::free(p); }
        };
        static thread_local std::unique_ptr<char, Free> piece(
            static_cast<char*>(std::aligned_alloc(kAlign, kDirectPiece + kAlign)));
        if (!piece)
            return 0;
        size_t done = 0;
        while (done < size) {
            const uint64_t at = offset + done;
            const uint64_t from = at / kAlign * kAlign;
            const size_t skip = static_cast<size_t>(at - from);
            const size_t want = std::min(kDirectPiece + kAlign, (skip + (size - done) + kAlign - 1) / kAlign * kAlign);
            const ssize_t n = ::pread(m_direct, piece.get(), want, static_cast<off_t>(from));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EINVAL) {
                m_directRefused = true;
                break;
            }
            if (n < 0)
                throw ReadError("cannot read " + m_path + ": " + std::strerror(errno));
            if (static_cast<size_t>(n) <= skip)
                throw ZipError("archive is truncated: " + m_path);
            const size_t got = std::min(size - done, static_cast<size_t>(n) - skip);
            std::memcpy(bytes + done, piece.get() + skip, got);
            done += got;
        }
        return done;
    }

    std::string m_path;
    int m_fd = -1;
    int m_direct = -1; // the same file, opened for reading past the cache
    mutable std::atomic<bool> m_directRefused = false;
    uint64_t m_size = 0;
    std::function<int(uint64_t)> m_fault;
};

// The inner archive of an encrypted backup, decrypted on the fly wherever it is read.
class DecryptingSource : public Source
{
public:
    DecryptingSource(const Source& file, uint64_t start, uint64_t size, const std::array<uint8_t, 32>& key)
        : m_file(file), m_start(start), m_size(size), m_key(key)
    {
    }

    uint64_t size() const override { return m_size; }

    // Its pieces are not read once: the authentication code is checked through the cache
    // while the entries are read.
    void read(uint64_t offset, void* data, size_t size) const override
    {
        if (offset > m_size || size > m_size - offset)
            throw ZipError("encrypted archive is truncated or damaged");
        m_file.read(m_start + offset, data, size);
        // Readers on several threads decrypt at once, each with a cipher of its own.
        std::unique_ptr<AesCtr> aes;
        {
            std::lock_guard lock(m_mutex);
            if (!m_idle.empty()) {
                aes = std::move(m_idle.back());
                m_idle.pop_back();
            }
        }
        if (!aes)
            aes = std::make_unique<AesCtr>(m_key);
        aes->apply(offset, static_cast<uint8_t*>(data), size);
        std::lock_guard lock(m_mutex);
        m_idle.push_back(std::move(aes));
    }

private:
    const Source& m_file;
    uint64_t m_start;
    uint64_t m_size;
    std::array<uint8_t, 32> m_key;
    mutable std::mutex m_mutex;
    mutable std::vector<std::unique_ptr<AesCtr>> m_idle;
};

struct AesInfo
{
    bool present = false;
    uint16_t vendorVersion = 0;
    uint8_t strength = 0;
    uint16_t method = 0;
};

struct Directory
{
    std::vector<ZipEntry> entries;
    std::vector<AesInfo> aes;
};

// Reads the extra fields of a header into the entry: the zip64 sizes (and offset) where
// the 32-bit ones say so, the modification time, the AES settings. Returns whether a time
// was found (the DOS one is used otherwise).
bool readExtras(const unsigned char* x, size_t extraLen, ZipEntry& e, AesInfo& aes)
{
    const unsigned char* xEnd = x + extraLen;
    bool haveTime = false;
    bool haveNtfsTime = false;
    while (xEnd - x >= 4) {
        const uint16_t id = get16(x);
        const size_t len = get16(x + 2);
        const unsigned char* d = x + 4;
        if (static_cast<size_t>(xEnd - d) < len)
            throw ZipError("damaged extra field in " + e.name);
        if (id == kZip64ExtraId) {
            size_t k = 0;
            auto take = [&](uint64_t& field) {
                if (field != kMax32)
                    return;
                if (k + 8 > len)
                    throw ZipError("damaged zip64 field in " + e.name);
                field = get64(d + k);
                k += 8;
            };
            take(e.size);
            take(e.compressedSize);
            take(e.localHeaderOffset);
        } else if (id == kTimestampExtraId && len >= 5 && (d[0] & 1) && !haveNtfsTime) {
            e.mtime = static_cast<int32_t>(get32(d + 1));
            haveTime = true;
        } else if (id == kNtfsExtraId && len >= 32 && get16(d + 4) == 1 && get16(d + 6) >= 24) {
            // NTFS times are exact where the extended timestamp is cut to 32 bits.
            e.mtime = fromFiletime(get64(d + 8));
            haveTime = haveNtfsTime = true;
        } else if (id == kAesExtraId && len >= 7) {
            aes.present = true;
            aes.vendorVersion = get16(d);
            aes.strength = d[4];
            aes.method = get16(d + 5);
        }
        x = d + len;
    }
    return haveTime;
}

Directory readDirectory(const Source& src)
{
    const uint64_t size = src.size();
    if (size < kEndSize)
        throw ZipError("not a zip archive (too short)");
    const size_t tailSize = static_cast<size_t>(std::min<uint64_t>(size, kEndSize + 0xffff));
    std::vector<unsigned char> tail(tailSize);
    const uint64_t tailStart = size - tailSize;
    src.read(tailStart, tail.data(), tailSize);
    size_t endPos = std::string::npos;
    for (size_t i = tailSize - kEndSize + 1; i-- > 0;) {
        if (get32(&tail[i]) == kEndSig && i + kEndSize + get16(&tail[i + 20]) <= tailSize) {
            endPos = i;
            break;
        }
    }
    if (endPos == std::string::npos)
        throw ZipError("not a zip archive (no end of central directory)");
    const unsigned char* end = &tail[endPos];
    const uint64_t endOffset = tailStart + endPos;
    uint64_t count = get16(end + 10);
    uint64_t cdSize = get32(end + 12);
    uint64_t cdOffset = get32(end + 16);
    if (get16(end + 4) != 0 || get16(end + 6) != 0)
        throw ZipError("multi-volume archives are not supported");

    uint64_t cdEnd = endOffset;
    if (endOffset >= kZip64LocatorSize) {
        unsigned char loc[kZip64LocatorSize];
        src.read(endOffset - kZip64LocatorSize, loc, sizeof loc);
        if (get32(loc) == kZip64LocatorSig) {
            const uint64_t z64Offset = get64(loc + 8);
            unsigned char z64[kZip64EndSize];
            src.read(z64Offset, z64, sizeof z64);
            if (get32(z64) != kZip64EndSig)
                throw ZipError("damaged zip64 end of central directory");
            count = get64(z64 + 32);
            cdSize = get64(z64 + 40);
            cdOffset = get64(z64 + 48);
            cdEnd = z64Offset;
        }
    }
    if (cdOffset > cdEnd || cdSize > cdEnd - cdOffset)
        throw ZipError("damaged central directory (bad offset or size)");
    if (count > cdSize / kCentralHeaderSize)
        throw ZipError("damaged central directory (bad entry count)");

    // The central directory is read through a window of 1 MiB (or of one record, if larger),
    // not whole: it is about 75 bytes a file.
    constexpr size_t kWindow = size_t{1} << 20;
    std::vector<unsigned char> window;
    uint64_t windowStart = 0; // offset in the central directory of window[0]
    auto view = [&](uint64_t at, size_t need) -> const unsigned char* {
        if (at < windowStart || at + need > windowStart + window.size()) {
            window.resize(static_cast<size_t>(std::min<uint64_t>(cdSize - at, std::max(need, kWindow))));
            src.read(cdOffset + at, window.data(), window.size());
            windowStart = at;
        }
        return window.data() + (at - windowStart);
    };
    Directory dir;
    dir.entries.reserve(static_cast<size_t>(count));
    size_t pos = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (cdSize - pos < kCentralHeaderSize || get32(view(pos, kCentralHeaderSize)) != kCentralHeaderSig)
            throw ZipError("damaged central directory");
        const unsigned char* p = view(pos, kCentralHeaderSize);
        const size_t nameLen = get16(p + 28);
        const size_t extraLen = get16(p + 30);
        const size_t commentLen = get16(p + 32);
        if (cdSize - pos - kCentralHeaderSize < nameLen + extraLen + commentLen)
            throw ZipError("damaged central directory (record overruns it)");
        p = view(pos, kCentralHeaderSize + nameLen + extraLen + commentLen);
        const uint16_t madeBy = get16(p + 4);
        ZipEntry e;
        e.flags = get16(p + 8);
        e.method = get16(p + 10);
        const uint16_t dosTime = get16(p + 12);
        const uint16_t dosDate = get16(p + 14);
        e.crc = get32(p + 16);
        e.compressedSize = get32(p + 20);
        e.size = get32(p + 24);
        const uint32_t external = get32(p + 38);
        e.localHeaderOffset = get32(p + 42);
        e.name.assign(reinterpret_cast<const char*>(p + kCentralHeaderSize), nameLen);
        AesInfo aes;
        const bool haveTime = readExtras(p + kCentralHeaderSize + nameLen, extraLen, e, aes);
        if (!haveTime)
            e.mtime = fromDosTime(dosTime, dosDate);
        const bool slashName = !e.name.empty() && e.name.back() == '/';
        uint32_t mode = external >> 16;
        if ((madeBy >> 8) != 3 || mode == 0)
            mode = slashName || (external & 0x10) ? (S_IFDIR | 0755) : (S_IFREG | 0644);
        e.mode = mode;
        if (S_ISLNK(mode))
            e.kind = EntryKind::Symlink;
        else if (slashName || S_ISDIR(mode))
            e.kind = EntryKind::Directory;
        else
            e.kind = EntryKind::File;
        dir.entries.push_back(std::move(e));
        dir.aes.push_back(aes);
        pos += kCentralHeaderSize + nameLen + extraLen + commentLen;
    }
    return dir;
}

// Offset of an entry's data, from its local header.
uint64_t dataOffset(const Source& src, const ZipEntry& e)
{
    unsigned char h[kLocalHeaderSize];
    src.read(e.localHeaderOffset, h, sizeof h);
    if (get32(h) != kLocalHeaderSig)
        throw ZipError("damaged local header of " + e.name);
    const uint64_t nameLen = get16(h + 26);
    if (nameLen != e.name.size())
        throw ZipError("local header of " + e.name + " does not match the central directory");
    const uint64_t start = e.localHeaderOffset + kLocalHeaderSize + nameLen + get16(h + 28);
    if (start > src.size() || e.compressedSize > src.size() - start)
        throw ZipError("data of " + e.name + " runs past the end of the archive");
    return start;
}

// ISA-L's inflate, for entries too large to inflate whole: it streams like zlib's and
// takes half its time.
class Inflater
{
public:
    Inflater() : m_state(std::make_unique<inflate_state>())
    {
        isal_inflate_init(m_state.get());
        m_state->crc_flag = ISAL_DEFLATE;
    }
    inflate_state* operator->() { return m_state.get(); }
    inflate_state* get() { return m_state.get(); }
    // Input given but not part of the stream: what is left, and whole bytes ISA-L took
    // into its bit buffer past the end.
    uint64_t unused() const { return m_state->avail_in + static_cast<uint64_t>(m_state->read_in_length / 8); }

private:
    std::unique_ptr<inflate_state> m_state;
};

// Where the four bytes of `signature` next occur at or after `from`, skipping what cannot
// be read; none: the archive's size.
uint64_t findSignature(const Source& src, uint64_t from, uint32_t signature)
{
    const unsigned char pattern[4] = {static_cast<unsigned char>(signature), static_cast<unsigned char>(signature >> 8),
                                      static_cast<unsigned char>(signature >> 16),
                                      static_cast<unsigned char>(signature >> 24)};
    std::vector<unsigned char> buffer(kChunkSize);
    const uint64_t size = src.size();
    size_t piece = 64; // mostly the signature is right there: the next header
    while (from + 4 <= size) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(piece, size - from));
        try {
            src.read(from, buffer.data(), n);
        } catch (const ZipError&) {
            // A stretch that cannot be read (a bad sector): the search goes on after it.
            from += n;
            piece = buffer.size();
            continue;
        }
        if (const void* hit = ::memmem(buffer.data(), n, pattern, sizeof pattern))
            return from + static_cast<uint64_t>(static_cast<const unsigned char*>(hit) - buffer.data());
        if (from + n >= size)
            break;
        from += n - 3; // a signature across the boundary
        piece = buffer.size();
    }
    return size;
}

// The end of the deflate stream that starts at `start`, with what it inflates to; none
// when it is damaged or cut off.
struct StreamEnd
{
    uint64_t consumed = 0;
    uint64_t produced = 0;
    uint32_t crc = 0;
};
std::optional<StreamEnd> deflateStreamEnd(const Source& src, uint64_t start)
{
    Inflater zs;
    std::vector<unsigned char> in(kChunkSize);
    std::vector<unsigned char> out(kChunkSize);
    StreamEnd end;
    uint64_t given = 0;
    for (;;) {
        if (zs->avail_in == 0) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(in.size(), src.size() - start - given));
            if (n == 0)
                return std::nullopt;
            src.read(start + given, in.data(), n);
            given += n;
            zs->next_in = in.data();
            zs->avail_in = static_cast<uint32_t>(n);
        }
        zs->next_out = out.data();
        zs->avail_out = static_cast<uint32_t>(out.size());
        if (isal_inflate(zs.get()) < 0)
            return std::nullopt;
        const size_t n = out.size() - zs->avail_out;
        end.crc = crc32Of(end.crc, out.data(), n);
        end.produced += n;
        if (zs->block_state == ISAL_BLOCK_FINISH) {
            end.consumed = given - zs.unused();
            return end;
        }
    }
}

// The data descriptors of an archive by the start of the data each would close (its offset
// less the compressed size it records), in the 32-bit and the zip64 form: found in one pass
// when first asked, so that no entry searches the archive for its own end.
class DescriptorIndex
{
public:
    explicit DescriptorIndex(const Source& src) : m_src(src) {}

    // Offsets of the descriptors that would close data starting at `start`, in order.
    const std::vector<uint64_t>& closing(uint64_t start, bool zip64)
    {
        if (!m_built)
            build();
        const auto& by = zip64 ? m_by64 : m_by32;
        const auto it = by.find(start);
        return it == by.end() ? m_none : it->second;
    }

private:
    void build()
    {
        m_built = true;
        const uint64_t size = m_src.size();
        for (uint64_t at = 0; (at = findSignature(m_src, at, kDataDescriptorSig)) < size; ++at) {
            unsigned char d[24] = {};
            const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof d, size - at));
            try {
                m_src.read(at, d, n);
            } catch (const ZipError&) {
                continue;
            }
            if (n >= 16 && get32(d + 8) <= at)
                m_by32[at - get32(d + 8)].push_back(at);
            if (n >= 24 && get64(d + 8) <= at)
                m_by64[at - get64(d + 8)].push_back(at);
        }
    }

    const Source& m_src;
    bool m_built = false;
    std::unordered_map<uint64_t, std::vector<uint64_t>> m_by32;
    std::unordered_map<uint64_t, std::vector<uint64_t>> m_by64;
    const std::vector<uint64_t> m_none;
};

// The entry whose local header is at `pos`, with the offset after its data (and data
// descriptor); none when no whole entry of ours starts there.
std::optional<std::pair<ZipEntry, uint64_t>> localEntryAt(const Source& src, uint64_t pos, AesInfo& aes,
                                                          DescriptorIndex& descriptors)
{
    const uint64_t size = src.size();
    unsigned char h[kLocalHeaderSize];
    if (size - pos < sizeof h)
        return std::nullopt;
    src.read(pos, h, sizeof h);
    const size_t nameLen = get16(h + 26);
    const size_t extraLen = get16(h + 28);
    if (get32(h) != kLocalHeaderSig || nameLen == 0 || size - pos - sizeof h < nameLen + extraLen)
        return std::nullopt;
    ZipEntry e;
    e.flags = get16(h + 6);
    e.method = get16(h + 8);
    e.crc = get32(h + 14);
    e.compressedSize = get32(h + 18);
    e.size = get32(h + 22);
    std::vector<unsigned char> rest(nameLen + extraLen);
    src.read(pos + sizeof h, rest.data(), rest.size());
    e.name.assign(reinterpret_cast<const char*>(rest.data()), nameLen);
    if (e.name.find('\0') != std::string::npos)
        return std::nullopt;
    aes = {};
    bool haveTime = false;
    try {
        haveTime = readExtras(rest.data() + nameLen, extraLen, e, aes);
    } catch (const ZipError&) {
        return std::nullopt;
    }
    if (!haveTime)
        e.mtime = fromDosTime(get16(h + 10), get16(h + 12));
    e.localHeaderOffset = pos;
    const bool folder = e.name.back() == '/';
    e.kind = folder ? EntryKind::Directory : EntryKind::File;
    e.mode = folder ? (S_IFDIR | 0755) : (S_IFREG | 0644); // the central directory alone has the real ones
    const uint64_t start = pos + sizeof h + rest.size();
    const uint64_t left = size - start;
    if (e.method == kMethodAes && aes.present) {
        // The encrypted wrapper, whose sizes are written last: what is there of it.
        if (e.compressedSize == 0 || e.compressedSize > left)
            e.compressedSize = left;
        return std::pair {e, start + e.compressedSize};
    }
    if ((e.method != kMethodStored && e.method != kMethodDeflate) || (e.flags & kFlagEncrypted))
        return std::nullopt;
    if (!(e.flags & kFlagDataDescriptor)) {
        if (e.compressedSize > left)
            return std::nullopt;
        return std::pair {e, start + e.compressedSize};
    }
    // Sizes and CRC follow the data: a data descriptor, with 64-bit sizes when the local
    // header has a zip64 field.
    const bool zip64 = get32(h + 18) == kMax32;
    const size_t descriptorSize = zip64 ? 24 : 16;
    auto descriptorAt = [&](uint64_t at, uint64_t dataSize) -> bool {
        if (at > size || size - at < descriptorSize)
            return false;
        unsigned char d[24];
        src.read(at, d, descriptorSize);
        if (get32(d) != kDataDescriptorSig)
            return false;
        const uint64_t compressed = zip64 ? get64(d + 8) : get32(d + 8);
        if (compressed != dataSize)
            return false;
        e.crc = get32(d + 4);
        e.compressedSize = compressed;
        e.size = zip64 ? get64(d + 16) : get32(d + 12);
        return true;
    };
    // Only where a descriptor closes data from here: deflated data must also end right there
    // and inflate to what it records; stored data is checked against its CRC when read.
    const std::vector<uint64_t>& candidates = descriptors.closing(start, zip64);
    std::optional<StreamEnd> end;
    if (e.method == kMethodDeflate && !candidates.empty())
        end = deflateStreamEnd(src, start);
    for (const uint64_t at : candidates) {
        if (!descriptorAt(at, at - start))
            continue;
        const bool whole = e.method == kMethodStored
                               ? e.size == e.compressedSize
                               : end && end->consumed == at - start && end->produced == e.size && end->crc == e.crc;
        if (whole)
            return std::pair {e, at + descriptorSize};
    }
    return std::nullopt;
}

// The entries of an archive whose directory cannot be read, from their local headers in
// order (as 7-Zip finds them): an entry whose end cannot be found, its data cut off or
// abandoned while it was written, is left out, and the search goes on at the next header.
Directory scanLocalHeaders(const Source& src)
{
    Directory dir;
    DescriptorIndex descriptors(src);
    for (uint64_t pos = 0; pos < src.size();) {
        try {
            pos = findSignature(src, pos, kLocalHeaderSig);
            if (pos >= src.size())
                break;
            AesInfo aes;
            auto found = localEntryAt(src, pos, aes, descriptors);
            if (!found) {
                ++pos;
                continue;
            }
            dir.entries.push_back(std::move(found->first));
            dir.aes.push_back(aes);
            pos = found->second;
        } catch (const ZipError&) {
            ++pos; // a header or data that cannot be read
        }
    }
    return dir;
}

uint32_t readWhole(const Source& src, uint64_t start, const ZipEntry& entry,
                   const std::function<void(const char*, size_t)>& sink)
{
    const auto inSize = static_cast<size_t>(entry.compressedSize);
    Buffer in;
    const unsigned char* data = src.view(start, inSize);
    if (!data) {
        in.resize(inSize);
        src.read(start, in.data(), inSize);
        data = in.data();
    }
    Buffer out(static_cast<size_t>(entry.size));
    size_t used = 0;
    size_t produced = 0;
    const auto rc = libdeflate_deflate_decompress_ex(threadDecompressor(), data, inSize, out.data(), out.size(),
                                                     &used, &produced);
    if (rc == LIBDEFLATE_INSUFFICIENT_SPACE)
        throw ZipError("entry " + entry.name + " holds more data than recorded");
    if (rc != LIBDEFLATE_SUCCESS && rc != LIBDEFLATE_SHORT_OUTPUT)
        throw ZipError("deflated data of " + entry.name + " is damaged");
    if (used != inSize)
        throw ZipError("deflated data of " + entry.name + " does not fill its recorded size");
    if (produced != entry.size)
        throw ZipError("entry " + entry.name + " is shorter than recorded");
    const uint32_t crc = crc32Of(0, out.data(), produced);
    if (crc != entry.crc)
        throw ZipError("entry " + entry.name + " is damaged (CRC mismatch)");
    if (sink && produced > 0)
        sink(reinterpret_cast<const char*>(out.data()), produced);
    return crc;
}

uint32_t readEntry(const Source& src, const ZipEntry& entry, const std::function<void(const char*, size_t)>& sink)
{
    if (entry.flags & kFlagEncrypted)
        throw ZipError("entry " + entry.name + " is encrypted on its own, which is not supported");
    if (entry.method != kMethodStored && entry.method != kMethodDeflate)
        throw ZipError("entry " + entry.name + " uses an unsupported compression method");
    const uint64_t start = dataOffset(src, entry);
    if (entry.method == kMethodDeflate && entry.size <= kWholeLimit && entry.compressedSize <= 2 * kWholeLimit)
        return readWhole(src, start, entry, sink);
    std::vector<unsigned char> in(kChunkSize);
    uint32_t crc = 0;
    uint64_t produced = 0;
    auto emit = [&](const unsigned char* data, size_t n) {
        produced += n;
        if (produced > entry.size)
            throw ZipError("entry " + entry.name + " holds more data than recorded");
        crc = crc32Of(crc, data, n);
        if (sink && n > 0)
            sink(reinterpret_cast<const char*>(data), n);
    };

    if (entry.method == kMethodStored) {
        if (entry.compressedSize != entry.size)
            throw ZipError("stored entry " + entry.name + " has differing sizes");
        for (uint64_t done = 0; done < entry.compressedSize;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(in.size(), entry.compressedSize - done));
            src.read(start + done, in.data(), n);
            emit(in.data(), n);
            done += n;
        }
    } else {
        Inflater zs;
        std::vector<unsigned char> out(kChunkSize);
        uint64_t consumed = 0;
        for (;;) {
            if (zs->avail_in == 0 && consumed < entry.compressedSize) {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(in.size(), entry.compressedSize - consumed));
                src.read(start + consumed, in.data(), n);
                consumed += n;
                zs->next_in = in.data();
                zs->avail_in = static_cast<uint32_t>(n);
            }
            const uint32_t before = zs->avail_in;
            zs->next_out = out.data();
            zs->avail_out = static_cast<uint32_t>(out.size());
            if (isal_inflate(zs.get()) < 0)
                throw ZipError("deflated data of " + entry.name + " is damaged");
            const size_t n = out.size() - zs->avail_out;
            emit(out.data(), n);
            if (zs->block_state == ISAL_BLOCK_FINISH)
                break;
            // Nothing taken, nothing given and nothing more to give: the stream stops short.
            if (n == 0 && zs->avail_in == before && consumed == entry.compressedSize)
                throw ZipError("deflated data of " + entry.name + " is truncated");
        }
        if (zs.unused() != 0 || consumed != entry.compressedSize)
            throw ZipError("deflated data of " + entry.name + " does not fill its recorded size");
    }
    if (produced != entry.size)
        throw ZipError("entry " + entry.name + " is shorter than recorded");
    if (crc != entry.crc)
        throw ZipError("entry " + entry.name + " is damaged (CRC mismatch)");
    return crc;
}

std::string linkTarget(const Source& src, const ZipEntry& entry)
{
    if (entry.size > kMaxLinkTarget)
        throw ZipError("link target of " + entry.name + " is too long");
    std::string target;
    readEntry(src, entry, [&](const char* data, size_t n) { target.append(data, n); });
    return target;
}

// A stretch of the archive held in memory, in front of the whole, for reading entries in
// order: reads within it cost no system call; others go to the archive, large ones once.
class SpanSource : public Source
{
public:
    SpanSource(const Source& base, uint64_t start, const unsigned char* bytes, size_t size)
        : m_base(base), m_start(start), m_bytes(bytes), m_size(size)
    {
    }

    uint64_t size() const override { return m_base.size(); }
    void read(uint64_t offset, void* data, size_t size) const override
    {
        if (const unsigned char* p = view(offset, size))
            std::memcpy(data, p, size);
        else if (size >= kDirectFrom)
            m_base.readOnce(offset, data, size);
        else
            m_base.read(offset, data, size);
    }
    const unsigned char* view(uint64_t offset, size_t size) const override
    {
        if (offset < m_start || offset - m_start > m_size || size > m_size - (offset - m_start))
            return nullptr;
        return m_bytes + (offset - m_start);
    }

private:
    const Source& m_base;
    uint64_t m_start;
    const unsigned char* m_bytes;
    size_t m_size;
};

} // namespace

struct ZipReader::Impl
{
    std::string path;
    std::unique_ptr<FileSource> file;
    std::unique_ptr<DecryptingSource> inner;
    std::vector<ZipEntry> entries;
    std::string damage; // why the directory could not be read (its entries were found anyway)
    std::function<bool()> cancelled;

    const Source& source() const
    {
        if (inner)
            return *inner;
        return *file;
    }

    // Set for an encrypted archive: what checking its authentication code needs.
    std::array<uint8_t, 32> macKey {};
    uint64_t cipherStart = 0;
    uint64_t cipherSize = 0;
    bool authenticated = false;

    void openEncrypted(const ZipEntry& outer, const AesInfo& aes, const std::string& password)
    {
        if (aes.strength != 3 || aes.method != kMethodStored)
            throw ZipError("unsupported encryption settings in " + path);
        if (password.empty())
            throw WrongPassword();
        const uint64_t start = dataOffset(*file, outer);
        if (outer.compressedSize < kAesSaltSize + kAesVerifierSize + kAesMacSize)
            throw ZipError("encrypted entry is too short: " + path);
        uint8_t head[kAesSaltSize + kAesVerifierSize];
        file->read(start, head, sizeof head);
        const AesKeys keys = deriveKeys(password, head);
        if (std::memcmp(keys.verifier.data(), head + kAesSaltSize, kAesVerifierSize) != 0)
            throw WrongPassword();
        cipherStart = start + sizeof head;
        cipherSize = outer.compressedSize - sizeof head - kAesMacSize;
        macKey = keys.macKey;
        inner = std::make_unique<DecryptingSource>(*file, cipherStart, cipherSize, keys.cipherKey);
    }

    // The HMAC over the whole encrypted stream; the cipher text is read, not decrypted.
    void checkMac(const std::function<bool()>& cancelled)
    {
        HmacSha1 hmac(macKey);
        std::vector<uint8_t> buffer(1 << 20);
        for (uint64_t done = 0; done < cipherSize;) {
            if (cancelled && cancelled())
                throw Cancelled();
            const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), cipherSize - done));
            file->read(cipherStart + done, buffer.data(), n);
            hmac.update(buffer.data(), n);
            done += n;
        }
        uint8_t stored[kAesMacSize];
        file->read(cipherStart + cipherSize, stored, sizeof stored);
        const auto mac = hmac.final();
        if (std::memcmp(mac.data(), stored, kAesMacSize) != 0)
            throw ZipError("the encrypted archive is damaged (authentication code mismatch): " + path);
        authenticated = true;
    }
};

ZipReader::ZipReader(const std::string& path, const std::string& password, Authentication authentication,
                     WhenDamaged damaged)
    : m(std::make_unique<Impl>())
{
    m->path = path;
    m->file = std::make_unique<FileSource>(path);
    // The directory, or else (when allowed) the entries that local headers still describe.
    auto directoryOf = [&](const Source& src) {
        try {
            return readDirectory(src);
        } catch (const ZipError& e) {
            if (damaged == WhenDamaged::Fail)
                throw;
            Directory found = scanLocalHeaders(src);
            if (found.entries.empty())
                throw;
            m->damage = e.what();
            return found;
        }
    };
    Directory outer = directoryOf(*m->file);
    if (!outer.entries.empty() && outer.entries[0].method == kMethodAes && outer.aes[0].present
        && (outer.entries.size() == 1 || !m->damage.empty())) {
        m->openEncrypted(outer.entries[0], outer.aes[0], password);
        if (authentication == Authentication::OnOpen)
            m->checkMac({});
        m->entries = directoryOf(*m->inner).entries;
    } else {
        m->entries = std::move(outer.entries);
    }
}

ZipReader::~ZipReader() = default;

void ZipReader::setReadFault(std::function<int(uint64_t bytes)> fault)
{
    m->file->setFault(std::move(fault));
}

bool ZipReader::encrypted() const
{
    return m->inner != nullptr;
}

bool ZipReader::authenticated() const
{
    return !m->inner || m->authenticated;
}

void ZipReader::authenticate(const std::function<bool()>& cancelled) const
{
    if (m->inner && !m->authenticated)
        m->checkMac(cancelled);
}

const std::vector<ZipEntry>& ZipReader::entries() const
{
    return m->entries;
}

const std::string& ZipReader::damage() const
{
    return m->damage;
}

uint32_t ZipReader::read(const ZipEntry& entry, const std::function<void(const char*, size_t)>& sink) const
{
    return readEntry(m->source(), entry, sink);
}

std::string ZipReader::readLinkTarget(const ZipEntry& entry) const
{
    return linkTarget(m->source(), entry);
}

ZipReader::Stretch ZipReader::stretchOf(const size_t* which, size_t count) const
{
    uint64_t first = UINT64_MAX;
    uint64_t end = 0;
    for (size_t i = 0; i < count; ++i) {
        const ZipEntry& e = m->entries[which[i]];
        first = std::min(first, e.localHeaderOffset);
        end = std::max(end, e.localHeaderOffset + std::min<uint64_t>(e.compressedSize, kMaxSpan)
                                + kLocalHeaderSize + e.name.size() + kLocalExtraGuess);
    }
    end = std::min(end, m->source().size());
    if (first >= end || end - first > kMaxSpan)
        return {};
    return {first, static_cast<size_t>(end - first)};
}

void ZipReader::readStretch(Stretch& stretch, std::vector<unsigned char>& buffer) const
{
    stretch.bytes = nullptr;
    if (stretch.size == 0)
        return;
    // Runs on a thread of its own: a fault of the disk, or no memory for the buffer, is left
    // for each entry to meet on its own.
    try {
        if (buffer.size() < stretch.size)
            buffer.resize(stretch.size);
        m->source().readOnce(stretch.start, buffer.data(), stretch.size);
        stretch.bytes = buffer.data();
    } catch (...) {
        stretch.bytes = nullptr;
    }
}

void ZipReader::setCancel(std::function<bool()> cancelled)
{
    m->cancelled = std::move(cancelled);
}

void ZipReader::checkEntries(const size_t* which, size_t count, const Stretch& near, Check* checks,
                             std::exception_ptr* failed) const
{
    const SpanSource src(m->source(), near.start, near.bytes, near.bytes ? near.size : 0);
    for (size_t i = 0; i < count; ++i) {
        Check& check = checks[i];
        const ZipEntry& e = m->entries[which[i]];
        try {
            if (e.kind == EntryKind::Symlink) {
                check.linkTarget = linkTarget(src, e);
                check.size = check.linkTarget.size();
            } else {
                check.crc = readEntry(src, e, [&](const char*, size_t n) {
                    check.size += n;
                    if (m->cancelled && m->cancelled())
                        throw Cancelled();
                });
            }
        } catch (const ReadError&) {
            failed[i] = std::current_exception(); // the drive, not the entry
        } catch (const ZipError& x) {
            check.error = x.what();
        } catch (...) {
            failed[i] = std::current_exception();
        }
    }
}

} // namespace stowkeep::engine::zip
