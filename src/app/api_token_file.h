#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace ota::backend
{

inline constexpr std::size_t kMinApiTokenLength = 32;
inline constexpr std::size_t kMaxApiTokenLength = 256;

// The operator access token of a token file's text: its first line without the line ending (LF
// or CRLF), 32 to 256 printable ASCII characters without spaces. On false the error says what is
// wrong, naming shownPath and never the token. Pure.
bool parseApiToken(std::string_view text, const std::string& shownPath, std::string& token,
                   std::string& error);

// Reads the token file at start-up: it must exist, be a regular file that this process can read
// and that not every user of the machine may read, and hold a valid token.
bool readApiTokenFile(const std::filesystem::path& path, std::string& token, std::string& error);

}  // namespace ota::backend
