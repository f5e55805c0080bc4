#pragma once

#include <cstddef>
#include <string_view>

namespace ota::backend
{

// Length of the well-formed UTF-8 sequence at the start of text (RFC 3629: no overlong forms,
// no surrogates, nothing above U+10FFFF), or 0 when the text is empty or its first byte does not
// start one.
std::size_t utf8SequenceLength(std::string_view text);

}  // namespace ota::backend
