#include "Deflate.h"

#include "LazyDeflate.h"
#include "StreamEnd.h"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace stowkeep::engine::zip::detail {

namespace {

constexpr size_t kMaxStoredBlock = 65535;
constexpr size_t kSampleSize = 65536; // more than the window: repeats within it count
// Whole entries are judged on samples of this size, and only from kWholeSampledFrom bytes
// up or when they begin like a compressed format: a small text file pays nothing.
constexpr size_t kWholeSample = 8192;
constexpr size_t kWholeSampledFrom = 65536;
constexpr uint32_t kTrialEvery = 16;   // blocks of a large entry between two trials of both codecs
constexpr size_t kTrialSample = 131072; // what a trial deflates: the start of the block
// The dense codec (zlib, or our own up to level 6) is tried only on samples that libdeflate
// shrinks below this share of their size: on data that deflates less (code, documents,
// most text) libdeflate came out as small or smaller in every trial on real trees, where
// zlib took twice the time.
constexpr size_t kDenseTrialPercent = 30;
// and chosen only when it saves this much more: on a real tree zlib won by 2-4% on a few
// headers and HTML pages (20 KB in all, for 0.5 s of CPU), on long text of few words by 9%.
constexpr size_t kDenseGainPercent = 3;
// ISA-L's level 2: on a real tree (headers, documentation, Python, translations, shared
// libraries) no bigger than zlib's level 1 and five times as fast; its level 1 comes out
// bigger, its level 3 takes twice as long for 1.5% less.
constexpr int kIsalLevel = 2;
// Data with a NUL byte near its start (programs, libraries, translation catalogues, images)
// is deflated by libdeflate one level lower at level 6: on /usr/bin, /usr/lib and a real tree
// its level 5 came out 0.4-1% smaller than zlib's level 6 there and took 12-17% less time
// than its level 6. On text its level 5 is 1% bigger than zlib's level 6, so text keeps 6.
constexpr int kBinaryLevelFor6 = 5;
constexpr size_t kBinaryProbe = 4096;
constexpr size_t kRecentFrom = 4096;          // smaller entries are not worth remembering
constexpr size_t kRecentBytes = size_t{4} << 20; // deflated output kept for entries met again

// Compressed data is kept only when it saves at least 3%.
bool worthIt(size_t compressed, size_t size)
{
    return compressed * 100 <= size * 97;
}

// Measured on a real tree and on the benchmark's corpus: ISA-L's level 2 is several times
// faster than zlib's level 1 and no bigger; libdeflate deflates whole entries twice as fast
// as zlib and smaller. For the blocks of large entries Auto stays: chosen per entry.
DeflateCodec resolve(DeflateCodec c, int level, bool whole)
{
    if (c != DeflateCodec::Auto)
        return c;
    if (level <= 1)
        return DeflateCodec::Isal;
    return whole ? DeflateCodec::Libdeflate : DeflateCodec::Auto;
}

// Whether data begins like a format that is compressed already: gzip, bzip2, xz, zstd,
// zip (and the documents built on it), 7z, PNG, JPEG, Ogg, FLAC, WebP. Only a hint: the
// data is still sampled before it is stored.
bool compressedFormat(const unsigned char* data, size_t size)
{
    static constexpr struct
    {
        size_t at;
        std::string_view bytes;
    } kSignatures[] = {
        {0, "\x1f\x8b"}, {0, "BZh"}, {0, {"\xfd" "7zXZ\0", 6}}, {0, "\x28\xb5\x2f\xfd"},
        {0, "PK\x03\x04"}, {0, "7z\xbc\xaf\x27\x1c"}, {0, "\x89PNG"}, {0, "\xff\xd8\xff"},
        {0, "OggS"}, {0, "fLaC"}, {8, "WEBP"},
    };
    const std::string_view head(reinterpret_cast<const char*>(data), std::min<size_t>(size, 16));
    return std::any_of(std::begin(kSignatures), std::end(kSignatures),
                       [&](const auto& s) { return head.substr(std::min(s.at, head.size())).starts_with(s.bytes); });
}

} // namespace

libdeflate_decompressor* threadDecompressor()
{
    struct Free
    {
        void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
    };
    static thread_local std::unique_ptr<libdeflate_decompressor, Free> d(libdeflate_alloc_decompressor());
    if (!d)
        throw std::runtime_error("libdeflate: cannot set up a decompressor");
    return d.get();
}

uint32_t crc32Of(uint32_t crc, const void* data, size_t size)
{
    return libdeflate_crc32(crc, data, size);
}

uint32_t crc32Combine(uint32_t first, uint32_t second, uint64_t secondSize)
{
    return static_cast<uint32_t>(crc32_combine64(first, second, static_cast<z_off64_t>(secondSize)));
}

void appendStoredBlocks(const unsigned char* data, size_t size, bool final, Buffer& out)
{
    size_t at = out.size();
    const size_t blocks = std::max<size_t>(1, (size + kMaxStoredBlock - 1) / kMaxStoredBlock);
    out.resize(at + size + 5 * blocks);
    do {
        const size_t n = std::min(size, kMaxStoredBlock);
        const bool last = final && n == size;
        out[at++] = last ? 1 : 0; // BFINAL, BTYPE 00, padded to the byte
        out[at++] = static_cast<unsigned char>(n);
        out[at++] = static_cast<unsigned char>(n >> 8);
        out[at++] = static_cast<unsigned char>(~n);
        out[at++] = static_cast<unsigned char>(~n >> 8);
        std::memcpy(out.data() + at, data, n);
        at += n;
        data += n;
        size -= n;
    } while (size > 0);
}

struct CompressorFree
{
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using LibdeflatePtr = std::unique_ptr<libdeflate_compressor, CompressorFree>;

struct Compressor::Impl
{
    int level;
    DeflateCodec whole;
    DeflateCodec blocks;
    LibdeflatePtr libdeflate;
    LibdeflatePtr binaryLibdeflate; // at level 6 only: see kBinaryLevelFor6
    LibdeflatePtr sampler;
    bool zlibReady = false;
    z_stream zlib{};
    std::unique_ptr<LazyDeflater> lazy;
    isal_zstream isal{};
    std::vector<uint8_t> isalLevelBuffer;
    Buffer trial; // the samples deflated to choose an entry's codec

    Impl(int lv, DeflateCodec w, DeflateCodec b)
        : level(std::clamp(lv, 1, 9)), whole(resolve(w, level, true)), blocks(resolve(b, level, false))
    {
        const bool perEntry = blocks == DeflateCodec::Auto;
        if (whole == DeflateCodec::Libdeflate || blocks == DeflateCodec::Libdeflate || perEntry) {
            libdeflate.reset(libdeflate_alloc_compressor(level));
            if (level == 6)
                binaryLibdeflate.reset(libdeflate_alloc_compressor(kBinaryLevelFor6));
            if (!libdeflate || (level == 6 && !binaryLibdeflate))
                throw std::runtime_error("libdeflate: cannot set up a compressor");
        }
        if (level > 1) {
            sampler.reset(libdeflate_alloc_compressor(1));
            if (!sampler)
                throw std::runtime_error("libdeflate: cannot set up a compressor");
        }
        if (whole == DeflateCodec::Zlib || blocks == DeflateCodec::Zlib || (perEntry && dense() == DeflateCodec::Zlib)) {
            if (deflateInit2(&zlib, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
                throw std::runtime_error("zlib: cannot set up deflate");
            zlibReady = true;
        }
        if (whole == DeflateCodec::Lazy || blocks == DeflateCodec::Lazy || (perEntry && dense() == DeflateCodec::Lazy))
            lazy = std::make_unique<LazyDeflater>();
        if (whole == DeflateCodec::Isal || blocks == DeflateCodec::Isal) {
            isal_deflate_init(&isal);
            isalLevelBuffer.resize(ISAL_DEF_LVL2_DEFAULT);
        }
    }

    ~Impl()
    {
        if (zlibReady)
            deflateEnd(&zlib);
    }

    // What is tried against libdeflate on data that deflates well: our own encoder matches
    // zlib's level 6 in size, not its higher levels.
    DeflateCodec dense() const { return level <= 6 ? DeflateCodec::Lazy : DeflateCodec::Zlib; }

    // zlib, ISA-L and our own append the deflated data to out and return its size; the
    // stream is finished when `final`, otherwise it ends on a byte boundary (a sync flush).
    // libdeflate always finishes its stream.
    size_t streamDeflate(DeflateCodec codec, const unsigned char* data, size_t size, const unsigned char* dict,
                         size_t dictSize, bool final, Buffer& out)
    {
        switch (codec) {
        case DeflateCodec::Isal:
            return isalDeflate(data, size, dict, dictSize, final, out);
        case DeflateCodec::Lazy:
            return lazy->deflate(data, size, dict, dictSize, final, out);
        default:
            return zlibDeflate(data, size, dict, dictSize, final, out);
        }
    }

    size_t zlibDeflate(const unsigned char* data, size_t size, const unsigned char* dict, size_t dictSize,
                       bool final, Buffer& out)
    {
        if (deflateReset(&zlib) != Z_OK)
            throw std::runtime_error("zlib: deflateReset failed");
        if (dictSize > 0 && deflateSetDictionary(&zlib, dict, static_cast<uInt>(dictSize)) != Z_OK)
            throw std::runtime_error("zlib: deflateSetDictionary failed");
        const size_t start = out.size();
        size_t capacity = deflateBound(&zlib, static_cast<uLong>(size)) + 64;
        out.resize(start + capacity);
        zlib.next_in = const_cast<unsigned char*>(data);
        zlib.avail_in = static_cast<uInt>(size);
        zlib.next_out = out.data() + start;
        zlib.avail_out = static_cast<uInt>(capacity);
        const int flush = final ? Z_FINISH : Z_SYNC_FLUSH;
        for (;;) {
            const int rc = deflate(&zlib, flush);
            if (rc == Z_STREAM_ERROR)
                throw std::runtime_error("zlib: deflate failed");
            if (final ? rc == Z_STREAM_END : (zlib.avail_in == 0 && zlib.avail_out > 0))
                break;
            if (zlib.avail_out == 0) {
                const size_t used = out.size();
                out.resize(used * 2);
                zlib.next_out = out.data() + used;
                zlib.avail_out = static_cast<uInt>(used);
            }
        }
        out.resize(start + zlib.total_out);
        return zlib.total_out;
    }

    size_t isalDeflate(const unsigned char* data, size_t size, const unsigned char* dict, size_t dictSize,
                       bool final, Buffer& out)
    {
        isal_deflate_reset(&isal);
        isal.level = kIsalLevel;
        isal.level_buf = isalLevelBuffer.data();
        isal.level_buf_size = static_cast<uint32_t>(isalLevelBuffer.size());
        isal.gzip_flag = IGZIP_DEFLATE;
        if (dictSize > 0
            && isal_deflate_set_dict(&isal, const_cast<uint8_t*>(dict), static_cast<uint32_t>(dictSize)) != COMP_OK)
            throw std::runtime_error("ISA-L: cannot set the dictionary");
        const size_t start = out.size();
        size_t capacity = size + size / 8 + 1024;
        out.resize(start + capacity);
        isal.next_in = const_cast<uint8_t*>(data);
        isal.avail_in = static_cast<uint32_t>(size);
        isal.next_out = out.data() + start;
        isal.avail_out = static_cast<uint32_t>(capacity);
        isal.end_of_stream = final ? 1 : 0;
        isal.flush = final ? NO_FLUSH : SYNC_FLUSH;
        for (;;) {
            if (isal_deflate(&isal) != COMP_OK)
                throw std::runtime_error("ISA-L: deflate failed");
            const bool done = final ? isal.internal_state.state == ZSTATE_END
                                    : (isal.avail_in == 0 && isal.internal_state.state == ZSTATE_NEW_HDR);
            if (done)
                break;
            if (isal.avail_out == 0) {
                const size_t used = out.size();
                out.resize(used * 2);
                isal.next_out = out.data() + used;
                isal.avail_out = static_cast<uint32_t>(used);
            }
        }
        out.resize(start + isal.total_out);
        return isal.total_out;
    }

    // For a block that is not the last, the stream is left open (reopenStream).
    size_t libdeflateBlock(const unsigned char* data, size_t size, bool last, Buffer& out)
    {
        const size_t start = out.size();
        const size_t n = libdeflateDeflate(data, size, out);
        if (!last && worthIt(n, size))
            reopenStream(out, start);
        return out.size() - start;
    }

    // Which codec a sample at the block's start favours: the dense one when libdeflate
    // shrinks it below kDenseTrialPercent and that comes out kDenseGainPercent smaller still.
    // `compressible` tells whether the sample shrinks at all.
    DeflateCodec sampledCodec(const unsigned char* data, size_t size, bool& compressible)
    {
        const size_t n = std::min(size, kTrialSample);
        trial.clear();
        const size_t byLibdeflate = libdeflateDeflate(data, n, trial);
        compressible = worthIt(byLibdeflate, n);
        if (byLibdeflate * 100 >= n * kDenseTrialPercent)
            return DeflateCodec::Libdeflate;
        trial.clear();
        const size_t byDense = streamDeflate(dense(), data, n, nullptr, 0, true, trial);
        return byDense * 100 <= byLibdeflate * (100 - kDenseGainPercent) ? dense() : DeflateCodec::Libdeflate;
    }

    // Deflates a block of a large entry with the entry's codec. Until that is chosen, and
    // then on one block in 16 when no other block is trying, a sample chooses it afresh.
    size_t chosenBlock(const unsigned char* data, size_t size, const unsigned char* dict, size_t dictSize,
                       bool last, Buffer& out, BlockCodecChoice& choice)
    {
        const uint32_t index = choice.blocks++;
        DeflateCodec codec = choice.chosen.load();
        bool claimed = false;
        if (codec != DeflateCodec::Auto) {
            bool idle = false;
            claimed = index % kTrialEvery == 0 && choice.trying.compare_exchange_strong(idle, true);
        }
        if (codec == DeflateCodec::Auto || claimed) {
            bool compressible = false;
            codec = sampledCodec(data, size, compressible);
            if (compressible) // a sample that does not shrink says nothing of the codecs
                choice.chosen = codec;
            if (claimed)
                choice.trying = false;
        }
        return codec == DeflateCodec::Libdeflate ? libdeflateBlock(data, size, last, out)
                                                 : streamDeflate(codec, data, size, dict, dictSize, last, out);
    }

    size_t libdeflateDeflate(const unsigned char* data, size_t size, Buffer& out)
    {
        libdeflate_compressor* c = libdeflate.get();
        if (binaryLibdeflate && std::memchr(data, 0, std::min(size, kBinaryProbe)) != nullptr)
            c = binaryLibdeflate.get();
        const size_t start = out.size();
        out.resize(start + libdeflate_deflate_compress_bound(c, size));
        const size_t n = libdeflate_deflate_compress(c, data, size, out.data() + start, out.size() - start);
        if (n == 0)
            throw std::runtime_error("libdeflate: deflate failed");
        out.resize(start + n);
        return n;
    }

    // libdeflate always finishes its stream: for a block that is not the last, the final
    // block's bit is cleared and an empty stored block brings the stream to a byte boundary.
    void reopenStream(Buffer& out, size_t start)
    {
        const StreamEnd end = findStreamEnd(out.data() + start, out.size() - start);
        out[start + end.finalHeaderBit / 8] &= static_cast<unsigned char>(~(1u << (end.finalHeaderBit % 8)));
        // The empty stored block's three header bits go into the padding when they fit.
        if (end.paddingBits < 3)
            out.push_back(0);
        const unsigned char empty[] = {0x00, 0x00, 0xff, 0xff};
        append(out, empty, sizeof empty);
    }

    // Whether samples at the start, middle and end of the data each fail to shrink by 3%
    // at level 1: deflating at the entry's level would then be wasted.
    bool samplesIncompressible(const unsigned char* data, size_t size, size_t sample)
    {
        if (!sampler)
            return false;
        static thread_local std::vector<unsigned char> scratch(kSampleSize);
        const size_t n = std::min(size, sample);
        for (size_t at : {size_t{0}, (size - n) / 2, size - n}) {
            if (libdeflate_deflate_compress(sampler.get(), data + at, n, scratch.data(), n * 97 / 100) != 0)
                return false;
            if (n == size)
                break;
        }
        return true;
    }

    bool blockIncompressible(const unsigned char* data, size_t size)
    {
        return size >= 4 * kSampleSize && samplesIncompressible(data, size, kSampleSize);
    }

    // Photos, archives and the like are common and never shrink.
    bool wholeIncompressible(const unsigned char* data, size_t size)
    {
        return (size >= kWholeSampledFrom || compressedFormat(data, size))
            && samplesIncompressible(data, size, kWholeSample);
    }
};

Compressor::Compressor(int level, DeflateCodec whole, DeflateCodec blocks)
    : m(std::make_unique<Impl>(level, whole, blocks))
{
}

Compressor::~Compressor() = default;

bool Compressor::compressWhole(const unsigned char* data, size_t size, Buffer& out)
{
    if (m->wholeIncompressible(data, size))
        return false;
    const size_t start = out.size();
    size_t n = 0;
    if (m->whole == DeflateCodec::Libdeflate)
        n = m->libdeflateDeflate(data, size, out);
    else
        n = m->streamDeflate(m->whole, data, size, nullptr, 0, true, out);
    if (worthIt(n, size))
        return true;
    out.resize(start);
    return false;
}

void Compressor::compressBlock(const unsigned char* data, size_t size, const unsigned char* dict, size_t dictSize,
                               bool last, Buffer& out, BlockCodecChoice& choice)
{
    const size_t start = out.size();
    if (!m->blockIncompressible(data, size)) {
        size_t n = 0;
        if (m->blocks == DeflateCodec::Auto)
            n = m->chosenBlock(data, size, dict, dictSize, last, out, choice);
        else if (m->blocks == DeflateCodec::Libdeflate)
            n = m->libdeflateBlock(data, size, last, out);
        else
            n = m->streamDeflate(m->blocks, data, size, dict, dictSize, last, out);
        if (worthIt(n, size))
            return;
        out.resize(start);
    }
    appendStoredBlocks(data, size, last, out);
}

bool RecentWholeEntries::compressWhole(Compressor& compressor, const unsigned char* data, size_t size, uint32_t crc,
                                       Buffer& out)
{
    if (size < kRecentFrom)
        return compressor.compressWhole(data, size, out);
    const uint64_t key = uint64_t{size} << 32 | crc;
    if (const Output earlier = find(key)) {
        static thread_local Buffer inflated;
        inflated.resize(size);
        size_t produced = 0;
        if (libdeflate_deflate_decompress(threadDecompressor(), earlier->data(), earlier->size(), inflated.data(), size,
                                          &produced) == LIBDEFLATE_SUCCESS
            && produced == size && std::memcmp(inflated.data(), data, size) == 0) {
            append(out, earlier->data(), earlier->size());
            return true;
        }
    }
    const size_t start = out.size();
    if (!compressor.compressWhole(data, size, out))
        return false;
    auto kept = std::make_shared<Buffer>();
    append(*kept, out.data() + start, out.size() - start);
    remember(key, std::move(kept));
    return true;
}

RecentWholeEntries::Output RecentWholeEntries::find(uint64_t key)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_byKey.find(key);
    return it == m_byKey.end() ? nullptr : it->second;
}

void RecentWholeEntries::remember(uint64_t key, Output output)
{
    std::lock_guard lock(m_mutex);
    const size_t bytes = output->size();
    if (!m_byKey.emplace(key, std::move(output)).second)
        return; // a different entry of the same size and checksum stays
    m_order.push_back(key);
    m_bytes += bytes;
    while (m_bytes > kRecentBytes) {
        const auto oldest = m_byKey.find(m_order.front());
        m_bytes -= oldest->second->size();
        m_byKey.erase(oldest);
        m_order.pop_front();
    }
}

} // namespace stowkeep::engine::zip::detail
