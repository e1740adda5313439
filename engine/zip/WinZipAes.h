#pragma once

// WinZip AE-2 building blocks: key derivation, the format's AES counter mode (a
// little-endian counter starting at 1) and HMAC-SHA1 for the authentication code.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;
typedef struct evp_mac_st EVP_MAC;
typedef struct evp_mac_ctx_st EVP_MAC_CTX;

namespace stowkeep::engine::zip::detail {

constexpr size_t kAesSaltSize = 16;     // AES-256
constexpr size_t kAesVerifierSize = 2;
constexpr size_t kAesMacSize = 10;
constexpr uint16_t kAesExtraId = 0x9901;

struct AesKeys
{
    std::array<uint8_t, 32> cipherKey{};
    std::array<uint8_t, 32> macKey{};
    std::array<uint8_t, 2> verifier{};
};

// PBKDF2-HMAC-SHA1 with 1,000 iterations, as the AE-2 format fixes it.
AesKeys deriveKeys(const std::string& password, const uint8_t* salt);
// Fills the buffer from the system's secure random source; throws std::runtime_error.
void randomBytes(uint8_t* data, size_t size);

// AES-256 in WinZip's counter mode. Any stream offset can be processed on its own,
// which is what lets a reader decrypt one part of an archive without the rest.
class AesCtr
{
public:
    explicit AesCtr(const std::array<uint8_t, 32>& key);
    ~AesCtr();
    AesCtr(const AesCtr&) = delete;
    AesCtr& operator=(const AesCtr&) = delete;

    // XORs the key stream for the stream bytes [offset, offset + size) onto data.
    void apply(uint64_t offset, uint8_t* data, size_t size);

private:
    EVP_CIPHER_CTX* m_ctx = nullptr;
    std::vector<uint8_t> m_counters;
    std::vector<uint8_t> m_stream;
};

class HmacSha1
{
public:
    explicit HmacSha1(const std::array<uint8_t, 32>& key);
    ~HmacSha1();
    HmacSha1(const HmacSha1&) = delete;
    HmacSha1& operator=(const HmacSha1&) = delete;

    void update(const uint8_t* data, size_t size);
    std::array<uint8_t, 20> final();

private:
    EVP_MAC* m_mac = nullptr;
    EVP_MAC_CTX* m_ctx = nullptr;
};

} // namespace stowkeep::engine::zip::detail
