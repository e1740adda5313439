#pragma once

// Record layouts and little-endian helpers shared by the zip writer and reader
// (PKWARE APPNOTE 6.3, zip64 included).

#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

namespace stowkeep::engine::zip::detail {

constexpr uint32_t kLocalHeaderSig = 0x04034b50;
constexpr uint32_t kCentralHeaderSig = 0x02014b50;
constexpr uint32_t kDataDescriptorSig = 0x08074b50;
constexpr uint32_t kEndSig = 0x06054b50;
constexpr uint32_t kZip64EndSig = 0x06064b50;
constexpr uint32_t kZip64LocatorSig = 0x07064b50;

constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kTimestampExtraId = 0x5455;
constexpr uint16_t kNtfsExtraId = 0x000a;

constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDataDescriptor = 0x0008;
constexpr uint16_t kFlagUtf8 = 0x0800;

constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflate = 8;
constexpr uint16_t kMethodAes = 99;

constexpr uint16_t kMadeByUnix = (3 << 8) | 63;
constexpr uint16_t kNeedDefault = 20;
constexpr uint16_t kNeedZip64 = 45;
constexpr uint16_t kNeedAes = 51;

constexpr uint32_t kMax32 = 0xffffffffu;
constexpr uint16_t kMax16 = 0xffffu;

constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kZip64LocatorSize = 20;

// Appends little-endian fields to a byte string.
class Bytes
{
public:
    std::string data;

    Bytes& u8(uint8_t v)
    {
        data.push_back(static_cast<char>(v));
        return *this;
    }
    Bytes& u16(uint16_t v) { return u8(static_cast<uint8_t>(v)).u8(static_cast<uint8_t>(v >> 8)); }
    Bytes& u32(uint32_t v) { return u16(static_cast<uint16_t>(v)).u16(static_cast<uint16_t>(v >> 16)); }
    Bytes& u64(uint64_t v) { return u32(static_cast<uint32_t>(v)).u32(static_cast<uint32_t>(v >> 32)); }
    Bytes& str(const std::string& s)
    {
        data += s;
        return *this;
    }
};

inline uint16_t get16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32(const unsigned char* p)
{
    return static_cast<uint32_t>(get16(p)) | (static_cast<uint32_t>(get16(p + 2)) << 16);
}
inline uint64_t get64(const unsigned char* p)
{
    return static_cast<uint64_t>(get32(p)) | (static_cast<uint64_t>(get32(p + 4)) << 32);
}

// MS-DOS date and time (local time, two-second steps, 1980 to 2107).
struct DosTime
{
    uint16_t time = 0;
    uint16_t date = (1 << 5) | 1; // 1980-01-01
};

inline DosTime toDosTime(int64_t unixTime)
{
    std::time_t t = static_cast<std::time_t>(unixTime);
    std::tm tm{};
    DosTime dos;
    if (!localtime_r(&t, &tm) || tm.tm_year < 80)
        return dos;
    if (tm.tm_year > 207) {
        dos.date = static_cast<uint16_t>((127 << 9) | (12 << 5) | 31);
        dos.time = static_cast<uint16_t>((23 << 11) | (59 << 5) | 29);
        return dos;
    }
    dos.date = static_cast<uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    dos.time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    return dos;
}

inline int64_t fromDosTime(uint16_t time, uint16_t date)
{
    std::tm tm{};
    tm.tm_year = ((date >> 9) & 0x7f) + 80;
    tm.tm_mon = ((date >> 5) & 0x0f) - 1;
    tm.tm_mday = date & 0x1f;
    tm.tm_hour = (time >> 11) & 0x1f;
    tm.tm_min = (time >> 5) & 0x3f;
    tm.tm_sec = (time & 0x1f) * 2;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm));
}

// The extended-timestamp field holds 32 bits: signed for the times before 2038, which every
// reader agrees on; after that, the unsigned value that Info-ZIP, libarchive and Go read
// (to 2106), beside an NTFS field with the exact time.
inline uint32_t timestamp32(int64_t unixTime)
{
    if (unixTime < INT32_MIN)
        unixTime = INT32_MIN;
    if (unixTime > UINT32_MAX)
        unixTime = UINT32_MAX;
    return static_cast<uint32_t>(unixTime);
}

// NTFS times count 100-nanosecond steps since 1601-01-01.
constexpr int64_t kFiletimeEpochOffset = 11644473600;

inline uint64_t toFiletime(int64_t unixTime)
{
    return unixTime < -kFiletimeEpochOffset ? 0 : static_cast<uint64_t>(unixTime + kFiletimeEpochOffset) * 10000000u;
}

inline int64_t fromFiletime(uint64_t filetime)
{
    return static_cast<int64_t>(filetime / 10000000u) - kFiletimeEpochOffset;
}

} // namespace stowkeep::engine::zip::detail
