#pragma once

#include <cstddef>
#include <string_view>

namespace ota::backend
{

// The JSON parser builds every nesting level it reads before it can fail, so a file of nothing
// but '[' would cost gigabytes. This scan over the raw text (strings and escapes skipped) finds
// the deepest array/object nesting without allocating, and parsing is refused beyond a limit.
std::size_t maximumJsonNestingDepth(std::string_view text, std::size_t stopAbove);

}  // namespace ota::backend
