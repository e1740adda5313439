#include "ArchiveSink.h"

#include "CentralDirectory.h"

#include <algorithm>
#include <ctime>
#include <sys/stat.h>

namespace stowkeep::engine::zip::detail {

ArchiveSink::ArchiveSink(OutputFile& out, const std::string& password, const std::string& innerName)
    : m_out(out)
{
    m_buffer = std::make_unique<Chunk>();
    m_buffer->data.reserve(kChunkBytes);
    if (password.empty())
        return;
    m_innerName = innerName.empty() ? std::string("backup.zip") : innerName;
    m_dos = toDosTime(static_cast<int64_t>(std::time(nullptr)));
    m_headerOffset = out.position();
    Bytes h;
    Bytes extra;
    extra.u16(kZip64ExtraId).u16(16).u64(0).u64(0).str(aesExtra());
    h.u32(kLocalHeaderSig)
        .u16(kNeedAes)
        .u16(kFlagEncrypted | kFlagUtf8)
        .u16(kMethodAes)
        .u16(m_dos.time)
        .u16(m_dos.date)
        .u32(0)       // CRC-32 of the inner archive: patched at the end
        .u32(kMax32)  // sizes: in the zip64 field, patched at the end
        .u32(kMax32)
        .u16(static_cast<uint16_t>(m_innerName.size()))
        .u16(static_cast<uint16_t>(extra.data.size()))
        .str(m_innerName)
        .str(extra.data);
    m_sizesOffset = m_headerOffset + kLocalHeaderSize + m_innerName.size() + 4;
    uint8_t salt[kAesSaltSize];
    randomBytes(salt, sizeof salt);
    m_keys = deriveKeys(password, salt);
    m_hmac = std::make_unique<HmacSha1>(m_keys.macKey);
    h.data.append(reinterpret_cast<const char*>(salt), sizeof salt);
    h.data.append(reinterpret_cast<const char*>(m_keys.verifier.data()), m_keys.verifier.size());
    out.write(h.data.data(), h.data.size());
}

void ArchiveSink::write(const void* data, size_t size, std::optional<uint32_t> crc)
{
    auto* bytes = static_cast<const uint8_t*>(data);
    if (m_hmac)
        m_crc = crc ? crc32Combine(m_crc, *crc, size) : crc32Of(m_crc, data, size);
    m_position += size;
    // Without a password the bytes are not transformed: a file that gathers its writes
    // takes them as they come, without a second copy (nothing is held here before them).
    if (!m_hmac && m_out.gathers() && m_buffer->data.empty()) {
        m_out.write(data, size);
        m_flushed += size;
        return;
    }
    while (size > 0) {
        Buffer& b = m_buffer->data;
        const size_t n = std::min(size, kChunkBytes - b.size());
        append(b, bytes, n);
        bytes += n;
        size -= n;
        if (b.size() == kChunkBytes)
            flush();
    }
}

void ArchiveSink::finish()
{
    if (!m_hmac)
        return;
    const auto mac = m_hmac->final();
    m_out.write(mac.data(), kAesMacSize);
    CentralRecord r;
    r.name = m_innerName;
    r.versionNeeded = kNeedAes;
    r.flags = kFlagEncrypted | kFlagUtf8;
    r.method = kMethodAes;
    r.dos = m_dos;
    r.crc = m_crc;
    r.size = m_position;
    r.compressedSize = kAesSaltSize + kAesVerifierSize + m_position + kAesMacSize;
    r.offset = m_headerOffset;
    r.externalAttributes = static_cast<uint32_t>(S_IFREG | 0600) << 16;
    r.extraTail = aesExtra();
    r.forceZip64Sizes = true;
    CentralDirectory outer;
    outer.add(r);
    outer.write([this](const std::string& s) { m_out.write(s.data(), s.size()); }, m_out.position());
    Bytes sizes;
    sizes.u64(r.size).u64(r.compressedSize);
    m_out.patch(m_sizesOffset, sizes.data.data(), sizes.data.size());
    Bytes crc;
    crc.u32(m_crc);
    m_out.patch(m_headerOffset + 14, crc.data.data(), crc.data.size());
}

void ArchiveSink::flush()
{
    if (m_buffer->data.empty())
        return;
    if (m_hmac) {
        m_buffer->offset = m_flushed;
        m_flushed += m_buffer->data.size();
        auto next = takeSpare();
        std::swap(next, m_buffer);
        if (m_handOff) {
            m_handOff(std::move(next));
        } else {
            AesCtr aes(m_keys.cipherKey);
            encrypt(*next, aes);
            authenticate(*next);
            writeOut(std::move(next));
        }
        return;
    }
    m_out.write(m_buffer->data.data(), m_buffer->data.size());
    m_flushed += m_buffer->data.size();
    m_buffer->data.clear();
}

void ArchiveSink::encrypt(Chunk& chunk, AesCtr& aes)
{
    aes.apply(chunk.offset, chunk.data.data(), chunk.data.size());
}

void ArchiveSink::authenticate(const Chunk& chunk)
{
    m_hmac->update(chunk.data.data(), chunk.data.size());
}

void ArchiveSink::writeOut(std::unique_ptr<Chunk> chunk)
{
    m_out.write(chunk->data.data(), chunk->data.size());
    chunk->data.clear();
    chunk->done = chunk->authenticated = false;
    std::lock_guard lock(m_sparesMutex);
    m_spares.push_back(std::move(chunk));
}

std::unique_ptr<ArchiveSink::Chunk> ArchiveSink::takeSpare()
{
    {
        std::lock_guard lock(m_sparesMutex);
        if (!m_spares.empty()) {
            auto chunk = std::move(m_spares.back());
            m_spares.pop_back();
            return chunk;
        }
    }
    auto chunk = std::make_unique<Chunk>();
    chunk->data.reserve(kChunkBytes);
    return chunk;
}

} // namespace stowkeep::engine::zip::detail
