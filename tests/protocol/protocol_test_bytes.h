#pragma once

// Hand-written wire bytes for the protocol tests: vectors are typed from the layout tables,
// never produced by the encoder under test.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ota::test
{

using Bytes = std::vector<std::uint8_t>;

// "5A 5A 01" -> {0x5A, 0x5A, 0x01}; spaces are ignored.
inline Bytes hexBytes(std::string_view text)
{
    Bytes bytes;
    int high = -1;
    for (const char c : text)
    {
        if (c == ' ')
        {
            continue;
        }
        int value = 0;
        if (c >= '0' && c <= '9')
        {
            value = c - '0';
        }
        else if (c >= 'A' && c <= 'F')
        {
            value = c - 'A' + 10;
        }
        else if (c >= 'a' && c <= 'f')
        {
            value = c - 'a' + 10;
        }
        else
        {
            throw std::invalid_argument("bad hex digit in test vector");
        }
        if (high < 0)
        {
            high = value;
        }
        else
        {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    if (high >= 0)
    {
        throw std::invalid_argument("odd hex digit count in test vector");
    }
    return bytes;
}

// A fixed-width text field: the text bytes, then zero bytes up to the width.
inline Bytes textField(std::string_view text, std::size_t width)
{
    Bytes field(text.begin(), text.end());
    field.resize(width, 0);
    return field;
}

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& part : parts)
    {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Header for a body of the given length, then the body and the tail.
inline Bytes frameBytes(std::uint8_t messageType, std::uint8_t deviceType, std::uint32_t upgradeNo,
                        const Bytes& body)
{
    Bytes frame = {0x5A,
                   0x5A,
                   0x5A,
                   0x5A,
                   0x01,
                   messageType,
                   deviceType,
                   static_cast<std::uint8_t>(upgradeNo),
                   static_cast<std::uint8_t>(upgradeNo >> 8),
                   static_cast<std::uint8_t>(upgradeNo >> 16),
                   static_cast<std::uint8_t>(upgradeNo >> 24),
                   static_cast<std::uint8_t>(body.size()),
                   static_cast<std::uint8_t>(body.size() >> 8)};
    frame.insert(frame.end(), body.begin(), body.end());
    frame.insert(frame.end(), {0xA5, 0xA5, 0xA5, 0xA5});
    return frame;
}

// The whole status query frame (no body, upgrade number 0), as the layout table writes it.
inline const Bytes kQueryStatusFrame = hexBytes("5A 5A 5A 5A 01 01 01 00 00 00 00 00 00 A5 A5 A5 A5");

}  // namespace ota::test
