#pragma once

// A deflate encoder of our own for long, highly repetitive text (logs, text of few words),
// where zlib's level 6 was the only codec as small as zip and took most of a backup's time.
// Its matches come from three hash chains: one keyed on 12 bytes, which holds every match
// of 12 bytes and more and on such text is a few entries long, then one keyed on 8 bytes for
// matches of 8 to 11 bytes, and a short walk of one keyed on 4 bytes for the shorter ones.
// zlib's level 6 walks up to 128 entries of a chain keyed on 3 bytes for each. Parsing is
// lazy, as zlib's; blocks are dynamic, fixed or stored, whichever is smallest. The output is
// plain deflate.

#include "Deflate.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace stowkeep::engine::zip::detail {

// Huffman code lengths for n (up to 286) frequencies, none longer than `limit`; symbols
// that do not occur get none. At least two symbols must occur.
void huffmanLengths(const uint32_t* freq, unsigned n, unsigned limit, uint8_t* lengths);

class LazyDeflater
{
public:
    LazyDeflater();

    // Appends the deflated data to out and returns its size. `dict` is up to 32 KiB of the
    // stream just before `data`, which matches may reach into. The stream is finished when
    // `final`; otherwise it ends on a byte boundary (an empty stored block, as zlib's sync
    // flush), so that the next part can follow it.
    size_t deflate(const unsigned char* data, size_t size, const unsigned char* dict, size_t dictSize,
                   bool final, Buffer& out);

private:
    struct Symbol
    {
        uint16_t value; // a literal byte, or a match's length
        uint16_t dist;  // 0 for a literal
    };

    void insertUpTo(uint32_t pos);
    uint32_t longestMatch(uint32_t pos, uint32_t& dist, uint32_t beyond = 0) const;
    void literal(uint32_t pos);
    void match(uint32_t length, uint32_t dist);
    void flushBlock(uint32_t end, bool final);
    void putBits(uint32_t bits, unsigned count);
    void reserve(size_t bytes);
    void alignToByte();

    Buffer m_window;         // dictionary, then data, then zero padding
    uint32_t m_end = 0;      // where the data ends in m_window
    uint32_t m_inserted = 0; // positions below this are in the chains
    int32_t m_base = 0;      // what the chains' heads add to a position (see deflate())
    std::vector<int32_t> m_head4, m_head8, m_head12;
    std::vector<uint16_t> m_prev4, m_prev8, m_prev12; // the distance to the chain's next, by position mod 32 KiB
    std::vector<Symbol> m_symbols;
    uint32_t m_blockStart = 0;
    uint32_t m_litlenFreq[286] {};
    uint32_t m_distFreq[30] {};
    Buffer* m_out = nullptr;
    size_t m_outPos = 0; // where the next whole byte goes in m_out
    uint64_t m_bitBuffer = 0; // bits not yet in m_out, the first at bit 0
    unsigned m_bitCount = 0;
};

} // namespace stowkeep::engine::zip::detail
