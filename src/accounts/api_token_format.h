#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ota::backend
{

// An account's API token: "ota_" + the row id (16 lowercase hex digits, 64 random bits) + "_" +
// the secret (32 random bytes, base64url without padding), 64 characters in all. The id finds
// the stored row without hashing anything; only an Argon2id hash of the whole text is stored.
struct S_ApiTokenParts
{
    std::string id;
    std::string text;  // the whole token, shown once
};

// A fresh token; nullopt when no random bytes can be had.
std::optional<S_ApiTokenParts> makeApiToken();

// The id of a text shaped exactly like a token, nullopt for anything else.
std::optional<std::string> apiTokenId(std::string_view text);

}  // namespace ota::backend
