#pragma once

// Where the inner archive's bytes go: straight into the file, or, with a password,
// through AES and HMAC into the one entry of the outer wrapper. Buffered.

#include "OutputFile.h"
#include "WinZipAes.h"
#include "ZipFormat.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace stowkeep::engine::zip::detail {

class ArchiveSink
{
public:
    ArchiveSink(OutputFile& out, const std::string& password, const std::string& innerName);

    uint64_t position() const { return m_position; }

    void write(const void* data, size_t size);
    void write(const std::string& s) { write(s.data(), s.size()); }

    // Flushes the inner stream; with a password, closes the outer wrapper around it.
    void finish();

private:
    void flush();

    OutputFile& m_out;
    std::vector<uint8_t> m_buffer;
    uint64_t m_position = 0; // bytes of the inner stream handed in
    uint64_t m_flushed = 0;  // of which written out
    std::unique_ptr<AesCtr> m_aes;
    std::unique_ptr<HmacSha1> m_hmac;
    std::string m_innerName;
    DosTime m_dos;
    uint64_t m_headerOffset = 0;
    uint64_t m_sizesOffset = 0;
    // The outer entry records the CRC-32 of the inner archive although AE-2 makes it
    // optional: libzip checks it on every AE-2 entry of 20 bytes or more and refuses a zero.
    unsigned long m_crc = 0;
};

} // namespace stowkeep::engine::zip::detail
