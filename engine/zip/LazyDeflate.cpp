#include "LazyDeflate.h"

#include "DeflateFormat.h"

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>

namespace stowkeep::engine::zip::detail {

namespace {

constexpr uint32_t kWindow = 32768;
constexpr uint32_t kWindowMask = kWindow - 1;
constexpr unsigned kHashBits = 15;
constexpr uint32_t kMinMatch = 4;
constexpr uint32_t kMaxMatch = 258;
constexpr uint32_t kPadding = 16; // zero bytes after the data: loads near its end reach up to 11 bytes past it
constexpr int32_t kNoPosition = -2 * static_cast<int32_t>(kWindow);
// Tuned on long text of few words against zlib's level 6 (see the header).
constexpr unsigned kChain12 = 100; // entries of the 12-byte chain walked at most
constexpr unsigned kChain8 = 64;   // of the 8-byte chain, when no match of 12 bytes was found
constexpr unsigned kChain4 = 24;   // of the 4-byte chain, when no match of 8 bytes was found
constexpr uint32_t kNiceMatch = 128; // a match this long ends the search
constexpr uint32_t kLazyBelow = 12;  // a match shorter than this waits for a longer one at the next byte
constexpr size_t kBlockSymbols = 16384;

constexpr unsigned kLitLenCodes = 286;
constexpr unsigned kDistCodes = kDistanceSymbols;
constexpr unsigned kCodeLengthCodes = 19;
constexpr unsigned kEndOfBlock = 256;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};

struct Tables
{
    uint8_t lengthCode[kMaxMatch + 1] {};
    uint8_t distCode[512] {}; // by dist - 1 below 256, then by (dist - 1) >> 7, from 256 on
    uint8_t fixedLitLen[288] {};

    Tables()
    {
        for (unsigned c = 0; c < 28; ++c)
            for (unsigned l = kLengthBase[c]; l < kLengthBase[c] + (1u << kLengthExtraBits[c]) && l < kMaxMatch; ++l)
                lengthCode[l] = static_cast<uint8_t>(c);
        lengthCode[kMaxMatch] = 28;
        for (unsigned c = 0; c < kDistCodes; ++c)
            for (unsigned d = kDistBase[c]; d < kDistBase[c] + (1u << kDistanceExtraBits[c]); ++d)
                distCode[d <= 256 ? d - 1 : 256 + ((d - 1) >> 7)] = static_cast<uint8_t>(c);
        for (unsigned s = 0; s < 288; ++s)
            fixedLitLen[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    }

    unsigned dist(uint32_t d) const { return d <= 256 ? distCode[d - 1] : distCode[256 + ((d - 1) >> 7)]; }
};

const Tables kTables;

uint32_t load32(const unsigned char* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

uint64_t load64(const unsigned char* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

uint32_t hash4(const unsigned char* p)
{
    return (load32(p) * 2654435761u) >> (32 - kHashBits);
}

uint32_t hash8(const unsigned char* p)
{
    return static_cast<uint32_t>((load64(p) * 0x9E3779B97F4A7C15ull) >> (64 - kHashBits));
}

uint32_t hash12(const unsigned char* p)
{
    return static_cast<uint32_t>(((load64(p) * 0x9E3779B97F4A7C15ull) ^ (load64(p + 4) * 0xC2B2AE3D27D4EB4Full))
                                 >> (64 - kHashBits));
}

// How many bytes at a and b agree, up to max. Reads up to 7 bytes past a + max and b + max.
uint32_t matchLength(const unsigned char* a, const unsigned char* b, uint32_t max)
{
    for (uint32_t i = 0; i < max; i += 8) {
        const uint64_t diff = load64(a + i) ^ load64(b + i);
        if (diff != 0)
            return std::min<uint32_t>(max, i + static_cast<uint32_t>(std::countr_zero(diff)) / 8);
    }
    return max;
}

// Canonical codes for lengths, bit-reversed: deflate sends them from their first bit on.
void canonicalCodes(const uint8_t* lengths, unsigned n, uint16_t* codes)
{
    unsigned perLength[16] {};
    for (unsigned s = 0; s < n; ++s)
        ++perLength[lengths[s]];
    perLength[0] = 0;
    unsigned next[16] {};
    for (unsigned l = 1, code = 0; l < 16; ++l) {
        code = (code + perLength[l - 1]) << 1;
        next[l] = code;
    }
    for (unsigned s = 0; s < n; ++s) {
        const unsigned l = lengths[s];
        if (l == 0)
            continue;
        const unsigned code = next[l]++;
        unsigned reversed = 0;
        for (unsigned b = 0; b < l; ++b)
            reversed |= ((code >> b) & 1u) << (l - 1 - b);
        codes[s] = static_cast<uint16_t>(reversed);
    }
}

// Lengths for a tree of which at least two codes are sent: some readers reject a tree of
// one code, so a second is given a code as zlib does.
void treeLengths(const uint32_t* freq, unsigned n, unsigned limit, uint8_t* lengths)
{
    uint32_t counted[kLitLenCodes];
    std::copy(freq, freq + n, counted);
    for (unsigned s = 0, used = static_cast<unsigned>(std::count_if(freq, freq + n, [](uint32_t f) { return f > 0; }));
         used < 2; ++s)
        if (counted[s] == 0) {
            counted[s] = 1;
            ++used;
        }
    huffmanLengths(counted, n, limit, lengths);
}

struct CodeLengthSymbol
{
    uint8_t symbol;
    uint8_t extra; // the repeat count's extra bits' value
};

// The run-length coding of the trees' code lengths (symbols 0-15, 16 to repeat the last,
// 17 and 18 for runs of zeros).
void runLengths(const uint8_t* lengths, unsigned n, std::vector<CodeLengthSymbol>& out)
{
    out.clear();
    for (unsigned i = 0; i < n;) {
        const uint8_t v = lengths[i];
        unsigned run = 1;
        while (i + run < n && lengths[i + run] == v)
            ++run;
        i += run;
        if (v == 0) {
            while (run >= 11) {
                const unsigned k = std::min(run, 138u);
                out.push_back({18, static_cast<uint8_t>(k - 11)});
                run -= k;
            }
            if (run >= 3) {
                out.push_back({17, static_cast<uint8_t>(run - 3)});
                run = 0;
            }
        } else {
            out.push_back({v, 0});
            --run;
            while (run >= 3) {
                const unsigned k = std::min(run, 6u);
                out.push_back({16, static_cast<uint8_t>(k - 3)});
                run -= k;
            }
        }
        for (; run > 0; --run)
            out.push_back({v, 0});
    }
}

constexpr uint8_t kRepeatExtraBits[3] = {2, 3, 7}; // of symbols 16, 17 and 18

// Walks a chain from cur for a match longer than best, of up to max bytes; returns the
// longest found, with its distance in dist.
uint32_t walkChain(const unsigned char* window, uint32_t pos, int64_t cur, const uint16_t* prev, unsigned depth,
                   uint32_t best, uint32_t max, uint32_t& dist)
{
    const unsigned char* s = window + pos;
    const uint32_t first = load32(s);
    const uint32_t nice = std::min(kNiceMatch, max);
    while (int64_t {pos} - cur <= kWindow && depth-- > 0) {
        const unsigned char* c = window + cur;
        if (load32(c + best - 3) == load32(s + best - 3) && load32(c) == first) {
            const uint32_t len = matchLength(c, s, max);
            if (len > best) {
                best = len;
                dist = pos - static_cast<uint32_t>(cur);
                if (len >= nice)
                    break;
            }
        }
        const uint16_t d = prev[static_cast<uint32_t>(cur) & kWindowMask];
        if (d == 0)
            break;
        cur -= d;
    }
    return best;
}

} // namespace

void huffmanLengths(const uint32_t* freq, unsigned n, unsigned limit, uint8_t* lengths)
{
    struct Node
    {
        uint64_t weight;
        int parent;
    };
    std::array<Node, 2 * kLitLenCodes> nodes;
    std::array<uint16_t, kLitLenCodes> leaves; // the symbol of each leaf node
    unsigned count = 0;
    for (unsigned s = 0; s < n; ++s) {
        lengths[s] = 0;
        if (freq[s] > 0)
            leaves[count++] = static_cast<uint16_t>(s);
    }
    std::stable_sort(leaves.begin(), leaves.begin() + count, [&](uint16_t a, uint16_t b) { return freq[a] < freq[b]; });
    for (unsigned i = 0; i < count; ++i)
        nodes[i] = {freq[leaves[i]], -1};
    // Two queues: the leaves in order of weight, and the joined nodes, made in order of weight.
    unsigned nextLeaf = 0, nextJoined = count, made = count;
    auto lightest = [&] {
        if (nextLeaf < count && (nextJoined == made || nodes[nextLeaf].weight <= nodes[nextJoined].weight))
            return nextLeaf++;
        return nextJoined++;
    };
    while (made < 2 * count - 1) {
        const unsigned a = lightest(), b = lightest();
        nodes[made] = {nodes[a].weight + nodes[b].weight, -1};
        nodes[a].parent = nodes[b].parent = static_cast<int>(made);
        ++made;
    }
    std::array<uint16_t, 2 * kLitLenCodes> depth;
    depth[made - 1] = 0;
    std::array<unsigned, 64> perLength {};
    for (int i = static_cast<int>(made) - 2; i >= 0; --i) {
        depth[i] = static_cast<uint16_t>(depth[nodes[i].parent] + 1);
        if (static_cast<unsigned>(i) < count)
            ++perLength[std::min<unsigned>(depth[i], limit)];
    }
    // Leaves deeper than the limit were counted at it: the code is then over-full. Each step
    // takes one code of the longest length and splits a shorter one into two.
    uint64_t kraft = 0;
    for (unsigned l = 1; l <= limit; ++l)
        kraft += uint64_t {perLength[l]} << (limit - l);
    while (kraft > (uint64_t {1} << limit)) {
        --perLength[limit];
        for (unsigned l = limit - 1; l > 0; --l)
            if (perLength[l] > 0) {
                --perLength[l];
                perLength[l + 1] += 2;
                break;
            }
        --kraft;
    }
    // The most frequent symbols get the shortest codes.
    unsigned leaf = count;
    for (unsigned l = 1; l <= limit; ++l)
        for (unsigned k = 0; k < perLength[l]; ++k)
            lengths[leaves[--leaf]] = static_cast<uint8_t>(l);
}

LazyDeflater::LazyDeflater()
    : m_head4(size_t {1} << kHashBits, kNoPosition), m_head8(size_t {1} << kHashBits, kNoPosition),
      m_head12(size_t {1} << kHashBits, kNoPosition), m_prev4(kWindow), m_prev8(kWindow), m_prev12(kWindow)
{
    m_symbols.reserve(kBlockSymbols + kMaxMatch);
}

void LazyDeflater::putBits(uint32_t bits, unsigned count)
{
    m_bitBuffer |= uint64_t {bits} << m_bitCount;
    m_bitCount += count;
    if (m_bitCount >= 32) {
        unsigned char* o = m_out->data() + m_outPos;
        o[0] = static_cast<unsigned char>(m_bitBuffer);
        o[1] = static_cast<unsigned char>(m_bitBuffer >> 8);
        o[2] = static_cast<unsigned char>(m_bitBuffer >> 16);
        o[3] = static_cast<unsigned char>(m_bitBuffer >> 24);
        m_outPos += 4;
        m_bitBuffer >>= 32;
        m_bitCount -= 32;
    }
}

void LazyDeflater::alignToByte()
{
    while (m_bitCount > 0) {
        (*m_out)[m_outPos++] = static_cast<unsigned char>(m_bitBuffer);
        m_bitBuffer >>= 8;
        m_bitCount = m_bitCount > 8 ? m_bitCount - 8 : 0;
    }
    m_bitBuffer = 0;
}

void LazyDeflater::reserve(size_t bytes)
{
    if (m_out->size() < m_outPos + bytes + 8)
        m_out->resize(std::max(m_out->size() * 3 / 2, m_outPos + bytes + 8));
}

void LazyDeflater::insertUpTo(uint32_t pos)
{
    // Locals, so that the stores into the chains are not taken to change the members.
    const unsigned char* w = m_window.data();
    int32_t* head4 = m_head4.data();
    int32_t* head8 = m_head8.data();
    int32_t* head12 = m_head12.data();
    uint16_t* prev4 = m_prev4.data();
    uint16_t* prev8 = m_prev8.data();
    uint16_t* prev12 = m_prev12.data();
    const int64_t base = m_base;
    auto insert = [base](int32_t& head, uint16_t& prev, uint32_t p) {
        const int64_t d = int64_t {p} + base - head;
        prev = d <= kWindow ? static_cast<uint16_t>(d) : 0;
        head = static_cast<int32_t>(p + base);
    };
    // Positions too near the end for a whole key hash the zero padding: no search meets
    // them, since a search there has fewer bytes left than the key.
    for (uint32_t p = m_inserted; p < pos; ++p) {
        insert(head4[hash4(w + p)], prev4[p & kWindowMask], p);
        insert(head8[hash8(w + p)], prev8[p & kWindowMask], p);
        insert(head12[hash12(w + p)], prev12[p & kWindowMask], p);
    }
    m_inserted = std::max(m_inserted, pos);
}

// The longest match for the data at pos that is longer than `beyond` (and kMinMatch - 1),
// or 0. Positions below pos must be in the chains.
uint32_t LazyDeflater::longestMatch(uint32_t pos, uint32_t& dist, uint32_t beyond) const
{
    const uint32_t max = std::min(kMaxMatch, m_end - pos);
    uint32_t best = std::max(kMinMatch - 1, beyond);
    if (best >= max)
        return 0;
    const unsigned char* s = m_window.data() + pos;
    dist = 0;
    // Every match of 12 bytes or more is on the 12-byte chain, and every one of 8 or more on
    // the 8-byte chain: that one is walked for matches of up to 11 bytes, when the first
    // found none longer. On text of few words the 12-byte chain is much the shorter.
    if (max >= 12)
        best = walkChain(m_window.data(), pos, int64_t {m_head12[hash12(s)]} - m_base, m_prev12.data(), kChain12,
                         best, max, dist);
    const uint32_t upTo11 = std::min(max, 11u);
    if (max >= 8 && best < upTo11)
        best = walkChain(m_window.data(), pos, int64_t {m_head8[hash8(s)]} - m_base, m_prev8.data(), kChain8, best,
                         upTo11, dist);
    if (best < 8 && best < max)
        best = walkChain(m_window.data(), pos, int64_t {m_head4[hash4(s)]} - m_base, m_prev4.data(), kChain4, best,
                         max, dist);
    return dist != 0 ? best : 0;
}

void LazyDeflater::literal(uint32_t pos)
{
    const unsigned char byte = m_window[pos];
    m_symbols.push_back({byte, 0});
    ++m_litlenFreq[byte];
}

void LazyDeflater::match(uint32_t length, uint32_t dist)
{
    m_symbols.push_back({static_cast<uint16_t>(length), static_cast<uint16_t>(dist)});
    ++m_litlenFreq[257 + kTables.lengthCode[length]];
    ++m_distFreq[kTables.dist(dist)];
}

void LazyDeflater::flushBlock(uint32_t end, bool final)
{
    ++m_litlenFreq[kEndOfBlock];
    uint8_t litlenLengths[kLitLenCodes], distLengths[kDistCodes];
    treeLengths(m_litlenFreq, kLitLenCodes, 15, litlenLengths);
    treeLengths(m_distFreq, kDistCodes, 15, distLengths);
    unsigned litlenCount = kLitLenCodes, distCount = kDistCodes;
    while (litlenCount > 257 && litlenLengths[litlenCount - 1] == 0)
        --litlenCount;
    while (distCount > 1 && distLengths[distCount - 1] == 0)
        --distCount;

    uint8_t allLengths[kLitLenCodes + kDistCodes];
    std::copy(litlenLengths, litlenLengths + litlenCount, allLengths);
    std::copy(distLengths, distLengths + distCount, allLengths + litlenCount);
    std::vector<CodeLengthSymbol> rle;
    runLengths(allLengths, litlenCount + distCount, rle);
    uint32_t clFreq[kCodeLengthCodes] {};
    for (const CodeLengthSymbol& c : rle)
        ++clFreq[c.symbol];
    uint8_t clLengths[kCodeLengthCodes];
    treeLengths(clFreq, kCodeLengthCodes, 7, clLengths);
    unsigned clCount = kCodeLengthCodes;
    while (clCount > 4 && clLengths[kCodeLengthOrder[clCount - 1]] == 0)
        --clCount;

    uint64_t extraBits = 0, dynamicBits = 3 + 5 + 5 + 4 + 3 * clCount, fixedBits = 3;
    for (unsigned s = 0; s < kCodeLengthCodes; ++s)
        dynamicBits += uint64_t {clFreq[s]} * (clLengths[s] + (s >= 16 ? kRepeatExtraBits[s - 16] : 0));
    for (unsigned s = 0; s < kLitLenCodes; ++s) {
        dynamicBits += uint64_t {m_litlenFreq[s]} * litlenLengths[s];
        fixedBits += uint64_t {m_litlenFreq[s]} * kTables.fixedLitLen[s];
        if (s > kEndOfBlock)
            extraBits += uint64_t {m_litlenFreq[s]} * kLengthExtraBits[s - 257];
    }
    for (unsigned s = 0; s < kDistCodes; ++s) {
        dynamicBits += uint64_t {m_distFreq[s]} * distLengths[s];
        fixedBits += uint64_t {m_distFreq[s]} * 5;
        extraBits += uint64_t {m_distFreq[s]} * kDistanceExtraBits[s];
    }
    dynamicBits += extraBits;
    fixedBits += extraBits;
    const uint64_t bytes = end - m_blockStart;
    const uint64_t storedBits = 8 * bytes + 48 * std::max<uint64_t>(1, (bytes + 65534) / 65535);

    if (storedBits < std::min(dynamicBits, fixedBits)) {
        reserve(bytes + 8 * std::max<uint64_t>(1, (bytes + 65534) / 65535));
        uint64_t at = m_blockStart;
        do {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(end - at, 65535));
            const bool last = final && at + n == end;
            putBits(last ? 1 : 0, 3);
            alignToByte();
            putBits(n | (~n & 0xFFFFu) << 16, 32);
            std::memcpy(m_out->data() + m_outPos, m_window.data() + at, n);
            m_outPos += n;
            at += n;
        } while (at < end);
    } else {
        // The fixed code has 288 and 32 symbols: the last two of each, never sent, still
        // shift the codes after them.
        uint16_t litlenCodes[288] {}, distCodes[32] {};
        const uint8_t* ll = litlenLengths;
        const uint8_t* dl = distLengths;
        static const auto kFixedDist = [] {
            std::array<uint8_t, 32> l;
            l.fill(5);
            return l;
        }();
        const bool dynamic = dynamicBits <= fixedBits;
        if (!dynamic) {
            ll = kTables.fixedLitLen;
            dl = kFixedDist.data();
        }
        canonicalCodes(ll, dynamic ? kLitLenCodes : 288, litlenCodes);
        canonicalCodes(dl, dynamic ? kDistCodes : 32, distCodes);
        reserve(std::min(dynamicBits, fixedBits) / 8 + 8);
        putBits((final ? 1 : 0) | (dynamic ? 2 : 1) << 1, 3);
        if (dynamic) {
            putBits(litlenCount - 257, 5);
            putBits(distCount - 1, 5);
            putBits(clCount - 4, 4);
            for (unsigned i = 0; i < clCount; ++i)
                putBits(clLengths[kCodeLengthOrder[i]], 3);
            uint16_t clCodes[kCodeLengthCodes] {};
            canonicalCodes(clLengths, kCodeLengthCodes, clCodes);
            for (const CodeLengthSymbol& c : rle) {
                putBits(clCodes[c.symbol], clLengths[c.symbol]);
                if (c.symbol >= 16)
                    putBits(c.extra, kRepeatExtraBits[c.symbol - 16]);
            }
        }
        for (const Symbol& sym : m_symbols) {
            if (sym.dist == 0) {
                putBits(litlenCodes[sym.value], ll[sym.value]);
                continue;
            }
            const unsigned lc = kTables.lengthCode[sym.value];
            putBits(litlenCodes[257 + lc], ll[257 + lc]);
            putBits(sym.value - kLengthBase[lc], kLengthExtraBits[lc]);
            const unsigned dc = kTables.dist(sym.dist);
            putBits(distCodes[dc], dl[dc]);
            putBits(sym.dist - kDistBase[dc], kDistanceExtraBits[dc]);
        }
        putBits(litlenCodes[kEndOfBlock], ll[kEndOfBlock]);
    }
    m_symbols.clear();
    std::fill(std::begin(m_litlenFreq), std::end(m_litlenFreq), 0);
    std::fill(std::begin(m_distFreq), std::end(m_distFreq), 0);
    m_blockStart = end;
}

size_t LazyDeflater::deflate(const unsigned char* data, size_t size, const unsigned char* dict, size_t dictSize,
                             bool final, Buffer& out)
{
    dictSize = std::min<size_t>(dictSize, kWindow);
    if (size > (uint32_t {1} << 30))
        throw std::length_error("deflate: a part larger than 1 GiB");
    m_window.resize(dictSize + size + kPadding);
    if (dictSize > 0)
        std::memcpy(m_window.data(), dict, dictSize);
    if (size > 0)
        std::memcpy(m_window.data() + dictSize, data, size);
    std::fill(m_window.end() - kPadding, m_window.end(), 0);
    // The chains' heads keep this call's positions plus m_base, which moves on past the last
    // call's and a window more: what the last call left is then out of reach, without
    // clearing 256 KiB of heads for each small entry.
    const int64_t base = int64_t {m_base} + m_end + kWindow;
    if (base + dictSize + size < INT32_MAX) {
        m_base = static_cast<int32_t>(base);
    } else {
        std::fill(m_head4.begin(), m_head4.end(), kNoPosition);
        std::fill(m_head8.begin(), m_head8.end(), kNoPosition);
        std::fill(m_head12.begin(), m_head12.end(), kNoPosition);
        m_base = 0;
    }
    const uint32_t start = static_cast<uint32_t>(dictSize);
    m_end = static_cast<uint32_t>(dictSize + size);
    m_inserted = 0;
    m_blockStart = start;
    m_symbols.clear();
    std::fill(std::begin(m_litlenFreq), std::end(m_litlenFreq), 0);
    std::fill(std::begin(m_distFreq), std::end(m_distFreq), 0);
    m_out = &out;
    const size_t outStart = out.size();
    m_outPos = outStart;
    m_bitBuffer = 0;
    m_bitCount = 0;

    uint32_t pos = start;
    while (pos < m_end) {
        if (m_symbols.size() >= kBlockSymbols)
            flushBlock(pos, false);
        insertUpTo(pos);
        uint32_t dist = 0;
        uint32_t len = longestMatch(pos, dist);
        if (len == 0) {
            literal(pos++);
            continue;
        }
        while (len < kLazyBelow) {
            insertUpTo(pos + 1);
            uint32_t nextDist = 0;
            const uint32_t next = longestMatch(pos + 1, nextDist, len);
            if (next == 0)
                break;
            literal(pos++);
            len = next;
            dist = nextDist;
        }
        match(len, dist);
        pos += len;
    }
    if (final || !m_symbols.empty())
        flushBlock(m_end, final);
    if (!final) {
        reserve(8);
        putBits(0, 3); // an empty stored block ends the part on a byte boundary
        alignToByte();
        putBits(0xFFFF0000u, 32);
    }
    reserve(8);
    alignToByte();
    out.resize(m_outPos);
    m_out = nullptr;
    return m_outPos - outStart;
}

} // namespace stowkeep::engine::zip::detail
