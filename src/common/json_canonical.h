#pragma once

#include <string_view>

namespace ota::backend
{

// True when text is valid JSON written exactly as toJsonText writes it: compact, object keys
// strictly ascending, only the escapes the writer uses, integers within 64 bits. Parsing such a
// text and writing it again gives the same bytes, so it can be embedded in a larger document as
// it is. False for anything else, including valid JSON in another form (a float, a "\/" escape,
// whitespace, duplicate or unordered keys); such text must take the parse-and-write path.
bool isCanonicalJsonText(std::string_view text);

}  // namespace ota::backend
