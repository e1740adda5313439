#pragma once

// Where a raw deflate stream's final block begins: libdeflate always finishes what it
// deflates, and the blocks of a large entry must go on into the next.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace stowkeep::engine::zip::detail {

struct StreamEnd
{
    uint64_t finalHeaderBit = 0; // the bit position of the final block's header
    unsigned paddingBits = 0;    // the bits left in the last byte after its end-of-block code
    bool operator==(const StreamEnd&) const = default;
};

// Walks the blocks' codes without producing the data they hold. Nothing when the bytes
// are not one well-formed raw deflate stream that ends in their last byte.
std::optional<StreamEnd> walkStreamEnd(const unsigned char* data, size_t size);
// The same by inflating with zlib: several times slower.
StreamEnd inflateStreamEnd(const unsigned char* data, size_t size);
// The walk, and inflating should the walk fail. Throws when the stream cannot be read.
StreamEnd findStreamEnd(const unsigned char* data, size_t size);

} // namespace stowkeep::engine::zip::detail
