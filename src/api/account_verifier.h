#pragma once

#include "common/acting_user.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

namespace ota::backend
{

// What the access control asks of the site's named accounts; the application adapts its account
// store to it, tests use a fake. Implementations are thread-safe.
class IAccountVerifier
{
public:
    virtual ~IAccountVerifier() = default;
    // Slow (one Argon2id hash); called on a callback lane, never on an I/O thread.
    virtual std::optional<S_ActingUser> verifyPassword(std::string_view name, std::string_view password) = 0;
    // nullopt unless a live token of an enabled account; authenticatedBy "api-token:<label>".
    virtual std::optional<S_ActingUser> verifyToken(std::string_view token) = 0;
    // The account's current role and stamp, nullopt when unknown or disabled (reads the store).
    virtual std::optional<std::pair<E_Role, std::uint64_t>> accountState(std::string_view name) = 0;
};

}  // namespace ota::backend
