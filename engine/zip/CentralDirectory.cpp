#include "CentralDirectory.h"

#include "WinZipAes.h"

#include <algorithm>

namespace stowkeep::engine::zip::detail {

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

void CentralDirectory::add(const CentralRecord& r)
{
    if (m_chunks.empty() || m_chunks.back().data.size() >= kChunkBytes) {
        m_chunks.emplace_back();
        m_chunks.back().data.reserve(kChunkBytes + 1024);
    }
    const size_t before = m_chunks.back().data.size();
    appendCentralRecord(m_chunks.back(), r);
    m_size += m_chunks.back().data.size() - before;
    ++m_count;
}

void CentralDirectory::write(const std::function<void(const std::string&)>& write, uint64_t start)
{
    for (Bytes& chunk : m_chunks) {
        write(chunk.data);
        chunk.data = {};
    }
    Bytes end;
    appendCentralEnd(end, m_count, m_size, start);
    write(end.data);
}

std::string timeExtras(int64_t mtime)
{
    Bytes b;
    // Before 1970 the extended timestamp is left out: 7-Zip, libarchive and Info-ZIP read its
    // 32 bits as unsigned, a date after 2038; they fall back to the DOS time (1980) instead.
    if (mtime >= 0)
        b.u16(kTimestampExtraId).u16(5).u8(1).u32(timestamp32(mtime));
    if (mtime > INT32_MAX || mtime < 0) {
        // The NTFS field keeps the exact time for the readers that use it.
        const uint64_t filetime = toFiletime(mtime);
        b.u16(kNtfsExtraId).u16(32).u32(0).u16(1).u16(24).u64(filetime).u64(filetime).u64(filetime);
    }
    return b.data;
}

std::string aesExtra()
{
    Bytes b;
    b.u16(kAesExtraId).u16(7).u16(2).u8('A').u8('E').u8(3).u16(kMethodStored);
    return b.data;
}

} // namespace stowkeep::engine::zip::detail
