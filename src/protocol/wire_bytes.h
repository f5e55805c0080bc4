#pragma once

// Little-endian field access for the ota-v1 codec. Callers check lengths before reading, so
// the reader never sees an offset outside its bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace ota::backend::wire
{

inline std::uint16_t readU16(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline std::uint32_t readU32(const std::uint8_t* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// A fixed-width text field holds the bytes before its first zero byte (all of it without one).
inline std::string readText(const std::uint8_t* field, std::size_t width)
{
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(field, 0, width));
    const std::size_t length = end == nullptr ? width : static_cast<std::size_t>(end - field);
    return std::string(reinterpret_cast<const char*>(field), length);
}

inline void putU8(std::vector<std::uint8_t>& out, std::uint8_t value)
{
    out.push_back(value);
}

inline void putU16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

inline void putU32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
    {
        out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
    }
}

inline void putBytes(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t size)
{
    out.insert(out.end(), data, data + size);
}

// Cut to the field width and padded with zero bytes.
inline void putText(std::vector<std::uint8_t>& out, const std::string& text, std::size_t width)
{
    const std::size_t length = std::min(text.size(), width);
    const auto* begin = reinterpret_cast<const std::uint8_t*>(text.data());
    out.insert(out.end(), begin, begin + length);
    out.insert(out.end(), width - length, std::uint8_t{0});
}

}  // namespace ota::backend::wire
