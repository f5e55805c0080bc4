#include "accounts/api_token_format.h"

#include "accounts/password_hashing.h"

#include <sodium.h>

#include <array>

namespace ota::backend
{

namespace
{

constexpr std::string_view kPrefix = "ota_";
constexpr std::size_t kIdBytes = 8;
constexpr std::size_t kSecretBytes = 32;
constexpr std::size_t kIdDigits = kIdBytes * 2;
constexpr std::size_t kSecretCharacters = (kSecretBytes * 4 + 2) / 3;  // base64 without padding
constexpr std::size_t kTokenLength = kPrefix.size() + kIdDigits + 1 + kSecretCharacters;

bool isLowerHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool isBase64Url(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

std::optional<S_ApiTokenParts> makeApiToken()
{
    std::array<unsigned char, kIdBytes> id{};
    std::array<unsigned char, kSecretBytes> secret{};
    if (!fillRandomBytes(id.data(), id.size()) || !fillRandomBytes(secret.data(), secret.size()))
    {
        return std::nullopt;
    }
    std::array<char, kIdDigits + 1> idText{};
    sodium_bin2hex(idText.data(), idText.size(), id.data(), id.size());
    std::array<char, kSecretCharacters + 1> secretText{};
    sodium_bin2base64(secretText.data(), secretText.size(), secret.data(), secret.size(),
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    sodium_memzero(secret.data(), secret.size());
    S_ApiTokenParts parts;
    parts.id = idText.data();
    parts.text = std::string(kPrefix) + parts.id + "_" + secretText.data();
    sodium_memzero(secretText.data(), secretText.size());
    return parts;
}

std::optional<std::string> apiTokenId(std::string_view text)
{
    if (text.size() != kTokenLength || text.substr(0, kPrefix.size()) != kPrefix ||
        text[kPrefix.size() + kIdDigits] != '_')
    {
        return std::nullopt;
    }
    const std::string_view id = text.substr(kPrefix.size(), kIdDigits);
    const std::string_view secret = text.substr(kPrefix.size() + kIdDigits + 1);
    for (const char c : id)
    {
        if (!isLowerHex(c))
        {
            return std::nullopt;
        }
    }
    for (const char c : secret)
    {
        if (!isBase64Url(c))
        {
            return std::nullopt;
        }
    }
    return std::string(id);
}

}  // namespace ota::backend
