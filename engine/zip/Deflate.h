#pragma once

// Raw deflate for the zip writer, by zlib, libdeflate, ISA-L or our own encoder, and the
// checksums of the zip layer. Whatever the codec, the output is plain deflate that every
// zip reader opens: the parts of one entry, deflated apart, concatenate into one stream.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

struct libdeflate_decompressor;

namespace stowkeep::engine::zip {

// Which library deflates: whole entries (up to one block) and the blocks of larger ones
// can be given different ones. Auto picks the fastest that is no bigger than zlib; for the
// blocks of a large entry at levels above 1, per entry (BlockCodecChoice). Lazy is our own
// encoder (LazyDeflate.h), tuned to zlib's level 6 whatever the level.
enum class DeflateCodec { Auto, Zlib, Libdeflate, Isal, Lazy };

namespace detail {

// A vector of bytes that resize() leaves uninitialised: buffers are sized for the worst
// case, and only the pages actually written to then take memory.
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

// Appends bytes with one copy. A Buffer's insert() and its range constructor construct the
// bytes one by one, through its allocator: several times slower than memcpy. The bytes may
// not lie in `out` itself: resizing may move it.
inline void append(Buffer& out, const void* data, size_t size)
{
    const size_t at = out.size();
    out.resize(at + size);
    if (size > 0)
        std::memcpy(out.data() + at, data, size);
}

constexpr size_t kDictSize = 32768; // the deflate window

// This thread's libdeflate decompressor.
libdeflate_decompressor* threadDecompressor();

uint32_t crc32Of(uint32_t crc, const void* data, size_t size);
uint32_t crc32Combine(uint32_t first, uint32_t second, uint64_t secondSize);

// Appends `size` bytes as stored deflate blocks; `final` marks the last one as the
// stream's end. Expects the stream to be at a byte boundary.
void appendStoredBlocks(const unsigned char* data, size_t size, bool final, Buffer& out);

// The codec of one large entry's blocks, chosen on a sample of 128 KiB at the start of
// its first block that compresses, and of every 16th block after: libdeflate deflates the
// sample and, when that shrinks it to less than 30%, the dense codec too: our own (Lazy)
// up to level 6, zlib above. The dense codec is chosen when it comes out at least 3%
// smaller. libdeflate is twice as fast as zlib and on most data as small or smaller, but
// on long text of few distinct words (which shrinks to a quarter) up to 9% bigger, where
// our own is as small as zlib's level 6 and nearly twice as fast; a file's parts differ
// (a shared library's symbol names, then its code).
// Shared by the workers that deflate the entry's blocks; until the first choice every
// block samples.
struct BlockCodecChoice
{
    std::atomic<DeflateCodec> chosen {DeflateCodec::Auto};
    std::atomic<bool> trying {false};
    std::atomic<uint32_t> blocks {0};
};

// One worker's deflater for one level (1..9). Not thread-safe: one per thread.
class Compressor
{
public:
    Compressor(int level, DeflateCodec whole, DeflateCodec blocks);
    ~Compressor();
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // Deflates a whole entry as one stream, appended to out. Returns false, with out as it
    // was, when the result would not be at least 3% smaller than the data, or when samples
    // of it show that it would not be (at levels above 1).
    bool compressWhole(const unsigned char* data, size_t size, Buffer& out);
    // Deflates one block of a larger entry, appended to out: a block that is not the last
    // ends on a byte boundary without the final-block bit, the last one ends the stream.
    // dict holds the up to 32 KiB that precede the block (codecs that can use it do).
    // An incompressible block goes out as stored blocks. `choice` is the entry's.
    void compressBlock(const unsigned char* data, size_t size, const unsigned char* dict, size_t dictSize,
                       bool last, Buffer& out, BlockCodecChoice& choice);

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

// Whole entries deflated lately, by size and CRC-32, so that a file met again (one header
// in two versions of a library, one changelog in ten packages) is not deflated again: the
// output is what deflating would give. A match is inflated and compared before it is used,
// since equal sizes and checksums do not make equal files. Keeps the entries of at least
// 4 KiB that compressed, up to 4 MiB of their output. Shared by the workers.
class RecentWholeEntries
{
public:
    // compressor.compressWhole(data, size, out), or the same from an earlier entry.
    bool compressWhole(Compressor& compressor, const unsigned char* data, size_t size, uint32_t crc, Buffer& out);

private:
    using Output = std::shared_ptr<const Buffer>;
    Output find(uint64_t key);
    void remember(uint64_t key, Output output);

    std::mutex m_mutex;
    std::unordered_map<uint64_t, Output> m_byKey;
    std::deque<uint64_t> m_order; // oldest first
    size_t m_bytes = 0;
};

} // namespace detail
} // namespace stowkeep::engine::zip
