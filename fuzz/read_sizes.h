#pragma once

#include <cstddef>
#include <cstdint>

// The read sizes a fuzz target splits its stream into, as a socket would hand it over: mostly
// small pieces, sometimes large ones, deterministic for a seed byte of the input.
namespace ota::fuzz
{

class CReadSizes
{
public:
    explicit CReadSizes(std::uint8_t seed) : m_state(0x9E3779B9u ^ seed) {}

    std::size_t next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        const std::uint32_t pick = m_state % 8;
        return pick < 4 ? 1 + m_state % 16 : 1 + m_state % 4096;
    }

private:
    std::uint32_t m_state;
};

}  // namespace ota::fuzz
