#include "accounts/password_hashing.h"

#include "common/utf8.h"

#include <sodium.h>

namespace ota::backend
{

namespace
{

constexpr std::size_t kMinPasswordCharacters = 12;
constexpr std::size_t kMaxPasswordBytes = 1024;

bool sodiumReady()
{
    // sodium_init is safe to call again; the static makes the first call the only one that works.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

}  // namespace

S_PasswordHashCost defaultPasswordHashCost()
{
    return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

S_PasswordHashCost cheapestPasswordHashCost()
{
    return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
}

std::optional<std::string> hashSecret(std::string_view secret, const S_PasswordHashCost& cost)
{
    if (!sodiumReady())
    {
        return std::nullopt;
    }
    char text[crypto_pwhash_STRBYTES] = {};
    if (crypto_pwhash_str_alg(text, secret.data(), secret.size(), cost.opsLimit, cost.memLimitBytes,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
    {
        return std::nullopt;
    }
    return std::string(text);
}

bool verifySecret(std::string_view storedHash, std::string_view secret)
{
    // Only Argon2id: a row whose hash names another algorithm was not written by this store.
    if (!sodiumReady() || storedHash.size() >= crypto_pwhash_STRBYTES ||
        storedHash.substr(0, std::string_view(crypto_pwhash_argon2id_STRPREFIX).size()) !=
            crypto_pwhash_argon2id_STRPREFIX)
    {
        return false;
    }
    char text[crypto_pwhash_STRBYTES] = {};
    storedHash.copy(text, storedHash.size());
    return crypto_pwhash_str_verify(text, secret.data(), secret.size()) == 0;
}

std::string passwordProblem(std::string_view password)
{
    if (password.size() > kMaxPasswordBytes)
    {
        return "The password must have at most " + std::to_string(kMaxPasswordBytes) + " bytes";
    }
    std::size_t characters = 0;
    for (std::string_view rest = password; !rest.empty(); ++characters)
    {
        const std::size_t length = utf8SequenceLength(rest);
        if (length == 0)
        {
            return "The password must be UTF-8 text";
        }
        rest.remove_prefix(length);
    }
    if (characters < kMinPasswordCharacters)
    {
        return "The password must have at least " + std::to_string(kMinPasswordCharacters) + " characters";
    }
    return {};
}

bool fillRandomBytes(void* buffer, std::size_t size)
{
    if (!sodiumReady())
    {
        return false;
    }
    randombytes_buf(buffer, size);
    return true;
}

}  // namespace ota::backend
