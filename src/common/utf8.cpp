#include "common/utf8.h"

#include <cstdint>

namespace ota::backend
{

std::size_t utf8SequenceLength(std::string_view text)
{
    if (text.empty())
    {
        return 0;
    }
    const auto byteAt = [&text](std::size_t index) { return static_cast<std::uint8_t>(text[index]); };
    const std::uint8_t lead = byteAt(0);
    if (lead < 0x80)
    {
        return 1;
    }
    std::size_t length = 0;
    std::uint8_t secondMin = 0x80;
    std::uint8_t secondMax = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
    {
        length = 2;
    }
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        length = 3;
        secondMin = lead == 0xE0 ? 0xA0 : 0x80;
        secondMax = lead == 0xED ? 0x9F : 0xBF;
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        length = 4;
        secondMin = lead == 0xF0 ? 0x90 : 0x80;
        secondMax = lead == 0xF4 ? 0x8F : 0xBF;
    }
    else
    {
        return 0;
    }
    if (text.size() < length || byteAt(1) < secondMin || byteAt(1) > secondMax)
    {
        return 0;
    }
    for (std::size_t index = 2; index < length; ++index)
    {
        if (byteAt(index) < 0x80 || byteAt(index) > 0xBF)
        {
            return 0;
        }
    }
    return length;
}

}  // namespace ota::backend
