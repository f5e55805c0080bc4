#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ota::backend
{

inline constexpr std::size_t kMaxHoldSourceBytes = 32;
inline constexpr std::size_t kMaxHoldReasonCharacters = 200;
inline constexpr std::uint32_t kMaxHoldTtlSeconds = 86400;
// The source of the hold the hold file places; the API may not name it.
inline constexpr std::string_view kFileHoldSource = "file";

// 1 to 32 of letters, digits, "_", "-" and ".".
bool isValidHoldSource(std::string_view source);
// Well-formed UTF-8 of at most 200 characters (code points).
bool isValidHoldReason(std::string_view reason);
// The hold file's first line as a reason: without its line end, cut to 200 characters at a
// character boundary, and ending before the first byte that is not well-formed UTF-8.
std::string_view holdReasonOfFileText(std::string_view text);

}  // namespace ota::backend
