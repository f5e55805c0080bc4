#pragma once

#include <string>
#include <string_view>

namespace ota::backend
{

// Error texts travel on into JSON responses, which reject invalid UTF-8. Text that came from
// outside (file paths, the JSON library's echo of the offending input) goes through this first:
// valid UTF-8 is kept as is, every byte that is not part of a valid sequence becomes "\xHH".
std::string toMessageText(std::string_view text);

}  // namespace ota::backend
