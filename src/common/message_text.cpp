#include "common/message_text.h"

#include "common/utf8.h"

#include <cstdint>

namespace ota::backend
{

std::string toMessageText(std::string_view text)
{
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(text.size());
    while (!text.empty())
    {
        const std::size_t length = utf8SequenceLength(text);
        if (length == 0)
        {
            const auto byte = static_cast<std::uint8_t>(text.front());
            result += "\\x";
            result += kHexDigits[byte >> 4];
            result += kHexDigits[byte & 0x0F];
            text.remove_prefix(1);
            continue;
        }
        result.append(text.substr(0, length));
        text.remove_prefix(length);
    }
    return result;
}

}  // namespace ota::backend
