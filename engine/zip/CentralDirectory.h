#pragma once

// Central directory records and end records, as the zip writer emits them for the inner
// archive and for the outer wrapper of an encrypted backup.

#include "ZipFormat.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace stowkeep::engine::zip::detail {

constexpr size_t kChunkBytes = size_t{1} << 20;

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

void appendCentralRecord(Bytes& chunk, const CentralRecord& r);

// The end of a central directory of `count` records and cdSize bytes that starts at
// stream offset `start`: the (zip64) end records.
void appendCentralEnd(Bytes& chunk, uint64_t count, uint64_t cdSize, uint64_t start);

// The inner archive's central directory, kept as the bytes it will be written as (about
// 75 bytes a file) from the moment each entry is finished, in chunks that never move.
class CentralDirectory
{
public:
    void add(const CentralRecord& r);
    // Writes the records, then the end records; the directory starts at stream offset start.
    void write(const std::function<void(const std::string&)>& write, uint64_t start);

private:
    std::deque<Bytes> m_chunks;
    uint64_t m_count = 0;
    uint64_t m_size = 0;
};

// The extended timestamp, and the NTFS times for a time that it cannot hold.
std::string timeExtras(int64_t mtime);
std::string aesExtra();

} // namespace stowkeep::engine::zip::detail
