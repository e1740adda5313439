#include "StreamEnd.h"

#include "DeflateFormat.h"

#include <zlib.h>

#include <endian.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace stowkeep::engine::zip::detail {

namespace {

constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kTableBits = 10; // longer codes are rare and decoded bit by bit

// The stream's bits, least significant first, through a 64-bit buffer; zeros past the end.
class BitReader
{
public:
    BitReader(const unsigned char* data, size_t size) : m_start(data), m_next(data), m_end(data + size) {}

    // Fills the buffer to at least 56 bits. False once well past the end.
    bool refill()
    {
        if (m_end - m_next >= 8) {
            uint64_t v;
            std::memcpy(&v, m_next, 8);
            m_buffer |= le64toh(v) << m_left;
            m_next += (63 - m_left) >> 3;
            m_left |= 56;
            return true;
        }
        while (m_left <= 56) {
            if (m_next < m_end)
                m_buffer |= uint64_t{*m_next++} << m_left;
            else if (++m_pastEnd > 8)
                return false;
            m_left += 8;
        }
        return true;
    }
    unsigned left() const { return m_left; }
    uint64_t bits() const { return m_buffer; }
    void consume(unsigned n)
    {
        m_buffer >>= n;
        m_left -= n;
    }
    uint32_t take(unsigned n) // n <= 32
    {
        if (m_left < n)
            refill();
        const auto v = static_cast<uint32_t>(m_buffer & ((uint64_t{1} << n) - 1));
        consume(n);
        return v;
    }
    uint64_t position() const
    {
        return (static_cast<uint64_t>(m_next - m_start) + m_pastEnd) * 8 - m_left;
    }
    bool overrun() const { return position() > static_cast<uint64_t>(m_end - m_start) * 8; }
    // Goes on at a byte; false past the end.
    bool seek(uint64_t byte)
    {
        if (byte > static_cast<uint64_t>(m_end - m_start))
            return false;
        m_next = m_start + byte;
        m_buffer = 0;
        m_left = 0;
        m_pastEnd = 0;
        return true;
    }

private:
    const unsigned char* m_start;
    const unsigned char* m_next;
    const unsigned char* m_end;
    uint64_t m_buffer = 0;
    unsigned m_left = 0;    // bits in the buffer
    unsigned m_pastEnd = 0; // zero bytes supplied past the end
};

// What a code's symbol means to the walk, with the bits it takes (code and extra bits):
// symbol << 16 | kind << 8 | bits. Zero: the code is longer than the table.
enum Kind : uint32_t { kLiteral = 1, kLength, kEndOfBlock, kDistance, kLengthCode, kInvalid };
enum class Role { Literals, Distances, CodeLengths };

uint32_t entryFor(Role role, unsigned symbol, unsigned codeBits)
{
    uint32_t kind = kInvalid;
    unsigned bits = codeBits;
    switch (role) {
    case Role::Literals:
        if (symbol < 256) {
            kind = kLiteral;
        } else if (symbol == 256) {
            kind = kEndOfBlock;
        } else if (symbol - 257 < kLengthSymbols) {
            kind = kLength;
            bits += kLengthExtraBits[symbol - 257];
        }
        break;
    case Role::Distances:
        if (symbol < kDistanceSymbols) {
            kind = kDistance;
            bits += kDistanceExtraBits[symbol];
        }
        break;
    case Role::CodeLengths:
        kind = kLengthCode;
        break;
    }
    return symbol << 16 | kind << 8 | bits;
}

constexpr uint32_t kindOf(uint32_t entry) { return (entry >> 8) & 0xff; }
constexpr unsigned bitsOf(uint32_t entry) { return entry & 0xff; }
constexpr unsigned symbolOf(uint32_t entry) { return entry >> 16; }

// A canonical Huffman code: a table on the next kTableBits bits for the short codes, the
// counts per length and the symbols in code order for the longer ones.
class HuffmanCode
{
public:
    // False for lengths that make no code zlib would accept: too many codes of a length,
    // or too few, unless there is exactly one code of one bit, or none at all.
    bool build(Role role, const uint8_t* lengths, unsigned n)
    {
        m_role = role;
        m_count.fill(0);
        for (unsigned s = 0; s < n; ++s)
            ++m_count[lengths[s]];
        m_count[0] = 0;
        int left = 1;
        unsigned used = 0;
        for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
            left = left * 2 - m_count[len];
            if (left < 0)
                return false;
            used += m_count[len];
        }
        if (left > 0 && used != 0 && !(used == 1 && m_count[1] == 1))
            return false;
        std::array<uint16_t, kMaxCodeBits + 2> offset{};
        for (unsigned len = 1; len <= kMaxCodeBits; ++len)
            offset[len + 1] = static_cast<uint16_t>(offset[len] + m_count[len]);
        std::array<uint16_t, kMaxCodeBits + 1> next{};
        unsigned code = 0;
        for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
            code = (code + m_count[len - 1]) << 1;
            next[len] = static_cast<uint16_t>(code);
        }
        m_table.fill(0);
        for (unsigned s = 0; s < n; ++s) {
            const unsigned len = lengths[s];
            if (len == 0)
                continue;
            m_symbols[offset[len]++] = static_cast<uint16_t>(s);
            const unsigned c = next[len]++;
            if (len > kTableBits)
                continue;
            unsigned reversed = 0; // codes are sent from their top bit down
            for (unsigned b = 0; b < len; ++b)
                reversed |= ((c >> b) & 1u) << (len - 1 - b);
            const uint32_t entry = entryFor(role, s, len);
            for (unsigned i = reversed; i < (1u << kTableBits); i += 1u << len)
                m_table[i] = entry;
        }
        return true;
    }

    // The entry of the code that `bits` begin with; zero for bits that are no code.
    uint32_t decode(uint64_t bits) const
    {
        const uint32_t e = m_table[bits & ((1u << kTableBits) - 1)];
        return e != 0 ? e : decodeLong(bits);
    }

private:
    // Codes longer than the table, bit by bit.
    [[gnu::noinline]] uint32_t decodeLong(uint64_t bits) const
    {
        int code = 0;
        int first = 0;
        int index = 0;
        for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
            code |= static_cast<int>((bits >> (len - 1)) & 1);
            const int count = m_count[len];
            if (code - count < first)
                return entryFor(m_role, m_symbols[index + (code - first)], len);
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return 0;
    }

    Role m_role = Role::Literals;
    std::array<uint32_t, 1u << kTableBits> m_table{};
    std::array<uint16_t, kMaxCodeBits + 1> m_count{};
    std::array<uint16_t, 288> m_symbols{};
};

struct FixedCodes
{
    HuffmanCode literals;
    HuffmanCode distances;

    FixedCodes()
    {
        uint8_t lengths[288];
        std::memset(lengths, 8, 144);
        std::memset(lengths + 144, 9, 112);
        std::memset(lengths + 256, 7, 24);
        std::memset(lengths + 280, 8, 8);
        literals.build(Role::Literals, lengths, 288);
        std::memset(lengths, 5, 32);
        distances.build(Role::Distances, lengths, 32);
    }
};

// Skips one block's codes up to and with its end-of-block code. A literal and length
// code with its extra bits take at most 20 bits, a distance code with its extra bits 28.
bool skipCodes(BitReader& in, const HuffmanCode& literals, const HuffmanCode& distances)
{
    for (;;) {
        if (in.left() < 48 && !in.refill())
            return false;
        const uint32_t e = literals.decode(in.bits());
        in.consume(bitsOf(e));
        if (kindOf(e) == kLiteral)
            continue;
        if (kindOf(e) != kLength)
            return kindOf(e) == kEndOfBlock;
        const uint32_t d = distances.decode(in.bits());
        if (kindOf(d) != kDistance)
            return false;
        in.consume(bitsOf(d));
    }
}

// Reads a dynamic block's code lengths and builds its two codes.
bool readDynamicCodes(BitReader& in, HuffmanCode& literals, HuffmanCode& distances)
{
    const unsigned nLiterals = in.take(5) + 257;
    const unsigned nDistances = in.take(5) + 1;
    const unsigned nCodeLengths = in.take(4) + 4;
    if (nLiterals > 286 || nDistances > kDistanceSymbols)
        return false;
    uint8_t codeLengths[19] = {};
    for (unsigned i = 0; i < nCodeLengths; ++i)
        codeLengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(in.take(3));
    HuffmanCode lengthCode;
    if (!lengthCode.build(Role::CodeLengths, codeLengths, 19))
        return false;
    uint8_t lengths[286 + kDistanceSymbols];
    const unsigned n = nLiterals + nDistances;
    for (unsigned i = 0; i < n;) {
        if (in.left() < 16 && !in.refill())
            return false;
        const uint32_t e = lengthCode.decode(in.bits());
        if (e == 0)
            return false;
        in.consume(bitsOf(e));
        const unsigned symbol = symbolOf(e);
        if (symbol < 16) {
            lengths[i++] = static_cast<uint8_t>(symbol);
            continue;
        }
        uint8_t value = 0;
        unsigned repeat = 0;
        if (symbol == 16) {
            if (i == 0)
                return false;
            value = lengths[i - 1];
            repeat = 3 + in.take(2);
        } else {
            repeat = symbol == 17 ? 3 + in.take(3) : 11 + in.take(7);
        }
        if (i + repeat > n)
            return false;
        std::memset(lengths + i, value, repeat);
        i += repeat;
    }
    return lengths[256] != 0 && literals.build(Role::Literals, lengths, nLiterals)
        && distances.build(Role::Distances, lengths + nLiterals, nDistances);
}

} // namespace

std::optional<StreamEnd> walkStreamEnd(const unsigned char* data, size_t size)
{
    static const FixedCodes fixed;
    BitReader in(data, size);
    HuffmanCode literals;
    HuffmanCode distances;
    for (;;) {
        const uint64_t header = in.position();
        const bool final = in.take(1) != 0;
        switch (in.take(2)) {
        case 0: {
            in.consume(static_cast<unsigned>((8 - in.position() % 8) % 8));
            const uint32_t length = in.take(16);
            if (length != (~in.take(16) & 0xffffu) || !in.seek(in.position() / 8 + length))
                return std::nullopt;
            break;
        }
        case 1:
            if (!skipCodes(in, fixed.literals, fixed.distances))
                return std::nullopt;
            break;
        case 2:
            if (!readDynamicCodes(in, literals, distances) || !skipCodes(in, literals, distances))
                return std::nullopt;
            break;
        default:
            return std::nullopt;
        }
        if (in.overrun())
            return std::nullopt;
        if (final) {
            const auto padding = static_cast<unsigned>((8 - in.position() % 8) % 8);
            if ((in.position() + padding) / 8 != size)
                return std::nullopt;
            return StreamEnd{header, padding};
        }
    }
}

StreamEnd inflateStreamEnd(const unsigned char* data, size_t size)
{
    z_stream zs{};
    if (inflateInit2(&zs, -15) != Z_OK)
        throw std::runtime_error("zlib: cannot set up inflate");
    std::vector<unsigned char> scratch(size_t{1} << 16);
    zs.next_in = const_cast<unsigned char*>(data);
    zs.avail_in = static_cast<uInt>(size);
    StreamEnd end;
    for (;;) {
        zs.next_out = scratch.data();
        zs.avail_out = static_cast<uInt>(scratch.size());
        const int rc = inflate(&zs, Z_BLOCK);
        if ((rc != Z_OK && rc != Z_BUF_ERROR) || (rc == Z_BUF_ERROR && zs.avail_in == 0)) {
            inflateEnd(&zs);
            throw std::runtime_error(rc == Z_BUF_ERROR ? "deflate output ends early"
                                                       : "deflate output cannot be read back");
        }
        if ((zs.data_type & 128) && (zs.data_type & 64)) {
            // Just past the final block's end-of-block code: what is left of the byte is padding.
            end.paddingBits = static_cast<unsigned>(zs.data_type & 7);
            inflateEnd(&zs);
            return end;
        }
        // At a block boundary the next bits are the next block's header.
        if (zs.data_type & 128)
            end.finalHeaderBit = (size - zs.avail_in) * uint64_t{8} - static_cast<unsigned>(zs.data_type & 7);
    }
}

StreamEnd findStreamEnd(const unsigned char* data, size_t size)
{
    if (const auto end = walkStreamEnd(data, size))
        return *end;
    return inflateStreamEnd(data, size);
}

} // namespace stowkeep::engine::zip::detail
