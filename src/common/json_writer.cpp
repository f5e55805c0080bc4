#include "common/json_writer.h"

#include "common/utf8.h"

#include <cstdint>
#include <stdexcept>

namespace ota::backend
{

void appendJsonString(std::string& out, std::string_view text)
{
    static constexpr char kHexDigits[] = "0123456789abcdef";
    out += '"';
    std::size_t plainStart = 0;
    const auto flushPlain = [&](std::size_t end) { out.append(text.substr(plainStart, end - plainStart)); };
    for (std::size_t index = 0; index < text.size();)
    {
        const auto byte = static_cast<std::uint8_t>(text[index]);
        if (byte >= 0x80)
        {
            const std::size_t length = utf8SequenceLength(text.substr(index));
            if (length == 0)
            {
                throw std::invalid_argument("invalid UTF-8 byte at index " + std::to_string(index));
            }
            index += length;
            continue;
        }
        if (byte >= 0x20 && byte != '"' && byte != '\\')
        {
            ++index;
            continue;
        }
        flushPlain(index);
        switch (byte)
        {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += "\\u00";
                out += kHexDigits[byte >> 4];
                out += kHexDigits[byte & 0x0F];
                break;
        }
        plainStart = ++index;
    }
    flushPlain(text.size());
    out += '"';
}

}  // namespace ota::backend
