#include "common/digest.h"

#include "common/crc32_folding.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <climits>
#include <stdexcept>

namespace ota::backend
{

struct CSha256::S_Impl
{
    EVP_MD_CTX* context = nullptr;
};

CSha256::CSha256() : m_impl(std::make_unique<S_Impl>())
{
    m_impl->context = EVP_MD_CTX_new();
    if (m_impl->context == nullptr)
    {
        throw std::bad_alloc();
    }
    reset();
}

CSha256::~CSha256()
{
    if (m_impl)
    {
        EVP_MD_CTX_free(m_impl->context);
    }
}

CSha256::CSha256(CSha256&&) noexcept = default;

CSha256& CSha256::operator=(CSha256&& other) noexcept
{
    if (this != &other)
    {
        if (m_impl)
        {
            EVP_MD_CTX_free(m_impl->context);
        }
        m_impl = std::move(other.m_impl);
    }
    return *this;
}

void CSha256::reset()
{
    if (EVP_DigestInit_ex(m_impl->context, EVP_sha256(), nullptr) != 1)
    {
        throw std::runtime_error("SHA-256 initialisation failed");
    }
}

void CSha256::update(const void* data, std::size_t size)
{
    if (size != 0 && EVP_DigestUpdate(m_impl->context, data, size) != 1)
    {
        throw std::runtime_error("SHA-256 update failed");
    }
}

CSha256::Digest CSha256::finish()
{
    Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(m_impl->context, digest.data(), &length) != 1 || length != digest.size())
    {
        throw std::runtime_error("SHA-256 finalisation failed");
    }
    reset();
    return digest;
}

CSha256::Digest CSha256::digestOf(const void* data, std::size_t size)
{
    CSha256 sha;
    sha.update(data, size);
    return sha.finish();
}

std::uint32_t crc32Update(std::uint32_t crc, const void* data, std::size_t size)
{
    // Chunks reach 32 KiB and every one is checked on an event loop: zlib's table method
    // (about 2 GB/s) would dominate, carry-less folding runs several times faster.
    static const E_Crc32FoldingWidth width = crc32FoldingWidth();
    if (width != E_Crc32FoldingWidth::NONE)
    {
        return crc32UpdateFolded(width, crc, data, size);
    }
    return crc32UpdateZlib(crc, data, size);
}

std::uint32_t crc32UpdateZlib(std::uint32_t crc, const void* data, std::size_t size)
{
    // zlib's crc32 already applies the initial value and the final complement per call, so a
    // running value continues where the previous call ended.
    uLong value = crc;
    const auto* bytes = static_cast<const Bytef*>(data);
    while (size > 0)
    {
        const uInt piece = size > UINT_MAX ? UINT_MAX : static_cast<uInt>(size);
        value = ::crc32(value, bytes, piece);
        bytes += piece;
        size -= piece;
    }
    return static_cast<std::uint32_t>(value);
}

std::uint32_t crc32Of(const void* data, std::size_t size)
{
    return crc32Update(0, data, size);
}

std::uint32_t fnv1a32(std::string_view bytes)
{
    std::uint32_t hash = 0x811C9DC5u;
    for (unsigned char byte : bytes)
    {
        hash ^= byte;
        hash *= 16777619u;
    }
    return hash;
}

namespace
{

std::string toHex(const void* data, std::size_t size, const char* digits)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string text(size * 2, '0');
    for (std::size_t index = 0; index < size; ++index)
    {
        text[2 * index] = digits[bytes[index] >> 4];
        text[2 * index + 1] = digits[bytes[index] & 0x0F];
    }
    return text;
}

}  // namespace

std::string toLowerHex(const void* data, std::size_t size)
{
    return toHex(data, size, "0123456789abcdef");
}

std::string toUpperHex(const void* data, std::size_t size)
{
    return toHex(data, size, "0123456789ABCDEF");
}

}  // namespace ota::backend
