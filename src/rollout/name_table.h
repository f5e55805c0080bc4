#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace ota::backend
{

// The texts of an enumeration as one table of (value, text) pairs, read both ways.
template <typename Enum, std::size_t N>
using NameTable = std::array<std::pair<Enum, const char*>, N>;

// The value's text; the first entry's text for a value the table lacks.
template <typename Enum, std::size_t N>
const char* nameIn(const NameTable<Enum, N>& names, Enum value)
{
    for (const auto& [candidate, name] : names)
    {
        if (candidate == value)
        {
            return name;
        }
    }
    return names.front().second;
}

template <typename Enum, std::size_t N>
std::optional<Enum> valueIn(const NameTable<Enum, N>& names, std::string_view text)
{
    for (const auto& [value, name] : names)
    {
        if (text == name)
        {
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace ota::backend
