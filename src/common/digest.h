#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ota::backend
{

// Streaming SHA-256 (FIPS 180-4) over OpenSSL's EVP interface: init on construction (or reset),
// update with any number of blocks, final once. Not copyable; movable.
class CSha256
{
public:
    using Digest = std::array<std::uint8_t, 32>;

    CSha256();
    ~CSha256();
    CSha256(CSha256&&) noexcept;
    CSha256& operator=(CSha256&&) noexcept;
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    void reset();
    void update(const void* data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    // Returns the digest and leaves the object ready for a new message.
    Digest finish();

    static Digest digestOf(const void* data, std::size_t size);

private:
    struct S_Impl;
    std::unique_ptr<S_Impl> m_impl;
};

// CRC-32 (reflected 0xEDB88320, initial 0xFFFFFFFF, final complement) with zlib's crc32 values.
// crc32Update continues a running value: crc32Update(crc32Of(a), b) == crc32Of(a + b). Both fold
// with carry-less multiplication where the processor can (common/crc32_folding.h), else use zlib.
std::uint32_t crc32Of(const void* data, std::size_t size);
std::uint32_t crc32Update(std::uint32_t crc, const void* data, std::size_t size);
// zlib's crc32 alone: the reference the folded path is held to.
std::uint32_t crc32UpdateZlib(std::uint32_t crc, const void* data, std::size_t size);

// FNV-1a 32-bit (offset basis 0x811C9DC5, prime 16777619).
std::uint32_t fnv1a32(std::string_view bytes);

std::string toLowerHex(const void* data, std::size_t size);
std::string toUpperHex(const void* data, std::size_t size);
template <std::size_t N>
std::string toLowerHex(const std::array<std::uint8_t, N>& bytes)
{
    return toLowerHex(bytes.data(), bytes.size());
}

}  // namespace ota::backend
