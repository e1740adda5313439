#pragma once

// Where the inner archive's bytes go: straight into the file, or, with a password,
// through AES and HMAC into the one entry of the outer wrapper. Buffered.

#include "Deflate.h"
#include "OutputFile.h"
#include "WinZipAes.h"
#include "ZipFormat.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace stowkeep::engine::zip::detail {

class ArchiveSink
{
public:
    // A buffer of the inner stream that starts at `offset`, to be encrypted.
    struct Chunk
    {
        Buffer data;
        uint64_t offset = 0;
        bool done = false;          // encrypted
        bool authenticated = false; // taken into the authentication code
    };
    using HandOff = std::function<void(std::unique_ptr<Chunk>)>;

    ArchiveSink(OutputFile& out, const std::string& password, const std::string& innerName);

    bool encrypted() const { return m_hmac != nullptr; }
    const std::array<uint8_t, 32>& cipherKey() const { return m_keys.cipherKey; }
    // With a password, full buffers go to the hand-off, whose taker encrypts them (AES in
    // counter mode needs nothing but their offset), then passes them to authenticate() and
    // to writeOut(), each in stream order (the two may run at once, on different chunks).
    // Without one, the sink encrypts them itself.
    void setHandOff(HandOff handOff) { m_handOff = std::move(handOff); }

    uint64_t position() const { return m_position; }

    // `crc`, when known, is that of the bytes: with a password the sink need not take it.
    void write(const void* data, size_t size, std::optional<uint32_t> crc = std::nullopt);
    void write(const std::string& s) { write(s.data(), s.size()); }
    // Passes on what is buffered.
    void flush();
    // Encrypts a chunk in place; any order.
    static void encrypt(Chunk& chunk, AesCtr& aes);
    // Takes an encrypted chunk into the authentication code; in stream order.
    void authenticate(const Chunk& chunk);
    // Writes an encrypted chunk to the file; in stream order. The chunk's buffer is kept
    // for a later one: a fresh megabyte would cost page faults again. Any thread.
    void writeOut(std::unique_ptr<Chunk> chunk);

    // With a password, closes the outer wrapper around the inner stream, which must have
    // been flushed and emitted whole.
    void finish();

private:

    std::unique_ptr<Chunk> takeSpare();

    OutputFile& m_out;
    std::unique_ptr<Chunk> m_buffer;
    std::mutex m_sparesMutex;
    std::vector<std::unique_ptr<Chunk>> m_spares;
    HandOff m_handOff;
    AesKeys m_keys;
    uint64_t m_position = 0; // bytes of the inner stream handed in
    uint64_t m_flushed = 0;  // of which written out
    std::unique_ptr<HmacSha1> m_hmac;
    std::string m_innerName;
    DosTime m_dos;
    uint64_t m_headerOffset = 0;
    uint64_t m_sizesOffset = 0;
    // The outer entry records the CRC-32 of the inner archive although AE-2 makes it
    // optional: libzip checks it on every AE-2 entry of 20 bytes or more and refuses a zero.
    // Taken as the bytes come in, from the CRC-32 of stored files where it is known.
    uint32_t m_crc = 0;
};

} // namespace stowkeep::engine::zip::detail
