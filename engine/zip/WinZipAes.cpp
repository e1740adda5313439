#include "WinZipAes.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <endian.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace stowkeep::engine::zip::detail {

namespace {

constexpr size_t kBlocksPerBatch = 4096; // 64 KiB of key stream per cipher call

[[noreturn]] void cryptoFailure(const char* what)
{
    throw std::runtime_error(std::string("cryptographic library failure: ") + what);
}

// data ^= stream, in words the compiler turns into vector instructions.
void xorInto(uint8_t* __restrict data, const uint8_t* __restrict stream, size_t n)
{
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        uint64_t d[4], k[4];
        std::memcpy(d, data + i, 32);
        std::memcpy(k, stream + i, 32);
        for (int w = 0; w < 4; ++w)
            d[w] ^= k[w];
        std::memcpy(data + i, d, 32);
    }
    for (; i < n; ++i)
        data[i] ^= stream[i];
}

} // namespace

AesKeys deriveKeys(const std::string& password, const uint8_t* salt)
{
    uint8_t material[66];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt,
                          static_cast<int>(kAesSaltSize), 1000, EVP_sha1(), sizeof material,
                          material) != 1)
        cryptoFailure("PBKDF2");
    AesKeys keys;
    std::memcpy(keys.cipherKey.data(), material, 32);
    std::memcpy(keys.macKey.data(), material + 32, 32);
    std::memcpy(keys.verifier.data(), material + 64, 2);
    OPENSSL_cleanse(material, sizeof material);
    return keys;
}

void randomBytes(uint8_t* data, size_t size)
{
    if (RAND_bytes(data, static_cast<int>(size)) != 1)
        cryptoFailure("no secure random bytes");
}

AesCtr::AesCtr(const std::array<uint8_t, 32>& key)
{
    m_ctx = EVP_CIPHER_CTX_new();
    if (!m_ctx || EVP_EncryptInit_ex(m_ctx, EVP_aes_256_ecb(), nullptr, key.data(), nullptr) != 1)
        cryptoFailure("AES set-up");
    EVP_CIPHER_CTX_set_padding(m_ctx, 0);
    m_counters.assign(kBlocksPerBatch * 16, 0);
    m_stream.resize(kBlocksPerBatch * 16);
}

AesCtr::~AesCtr()
{
    EVP_CIPHER_CTX_free(m_ctx);
}

void AesCtr::apply(uint64_t offset, uint8_t* data, size_t size)
{
    // Counter blocks are the block number plus one, little-endian in their first 8 bytes;
    // the other 8 stay zero (set in the constructor).
    while (size > 0) {
        const uint64_t block = offset / 16;
        const size_t skip = static_cast<size_t>(offset % 16);
        const size_t blocks = std::min(kBlocksPerBatch, (skip + size + 15) / 16);
        uint8_t* counters = m_counters.data();
        for (size_t i = 0; i < blocks; ++i) {
            const uint64_t counter = htole64(block + 1 + i);
            std::memcpy(counters + i * 16, &counter, 8);
        }
        int produced = 0;
        if (EVP_EncryptUpdate(m_ctx, m_stream.data(), &produced, counters, static_cast<int>(blocks * 16)) != 1
            || produced != static_cast<int>(blocks * 16))
            cryptoFailure("AES");
        const size_t n = std::min(size, blocks * 16 - skip);
        xorInto(data, m_stream.data() + skip, n);
        data += n;
        size -= n;
        offset += n;
    }
}

HmacSha1::HmacSha1(const std::array<uint8_t, 32>& key)
{
    m_mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (!m_mac)
        cryptoFailure("HMAC");
    m_ctx = EVP_MAC_CTX_new(m_mac);
    if (!m_ctx)
        cryptoFailure("HMAC");
    char digest[] = "SHA1";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_MAC_init(m_ctx, key.data(), key.size(), params) != 1)
        cryptoFailure("HMAC set-up");
}

HmacSha1::~HmacSha1()
{
    EVP_MAC_CTX_free(m_ctx);
    EVP_MAC_free(m_mac);
}

void HmacSha1::update(const uint8_t* data, size_t size)
{
    if (size > 0 && EVP_MAC_update(m_ctx, data, size) != 1)
        cryptoFailure("HMAC");
}

std::array<uint8_t, 20> HmacSha1::final()
{
    std::array<uint8_t, 20> out{};
    size_t length = 0;
    if (EVP_MAC_final(m_ctx, out.data(), &length, out.size()) != 1 || length != out.size())
        cryptoFailure("HMAC");
    return out;
}

} // namespace stowkeep::engine::zip::detail
