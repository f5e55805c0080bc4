#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ota::backend
{

// The work one Argon2id hash costs. Verification reads the cost from the stored hash, so hashes
// made at another cost stay verifiable when the default changes.
struct S_PasswordHashCost
{
    std::uint64_t opsLimit = 0;
    std::size_t memLimitBytes = 0;
};

// libsodium's "interactive" Argon2id cost: 2 passes over 64 MiB. One hash takes about 0.1 s on
// the site's operator machine class (a 2-core x86-64; the "moderate" cost, 3 passes over 256 MiB,
// took over 0.5 s there), so a login answers promptly even when a few arrive together, and the
// 64 MiB each attempt needs still makes guessing on graphics hardware expensive. Passwords are
// also at least 12 characters long, which matters more than the cost.
S_PasswordHashCost defaultPasswordHashCost();
// The smallest cost libsodium accepts: for tests only, where the hashes protect nothing.
S_PasswordHashCost cheapestPasswordHashCost();

// Argon2id of secret in libsodium's self-describing text form ("$argon2id$v=19$m=...").
// nullopt when libsodium cannot be set up or the memory is not available.
std::optional<std::string> hashSecret(std::string_view secret, const S_PasswordHashCost& cost);
// True only when storedHash is an Argon2id hash of secret.
bool verifySecret(std::string_view storedHash, std::string_view secret);

// The refusal text of a password that may not be set, empty when it may: valid UTF-8 of at least
// 12 characters (Unicode code points, so a password in any script counts what its owner typed)
// and at most 1024 bytes.
std::string passwordProblem(std::string_view password);

// Fills buffer with random bytes from the operating system's generator; false when libsodium
// cannot be set up.
bool fillRandomBytes(void* buffer, std::size_t size);

}  // namespace ota::backend
