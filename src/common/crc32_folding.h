#pragma once

#include <cstddef>
#include <cstdint>

namespace ota::backend
{

// CRC-32 (reflected 0xEDB88320, the zlib crc32 definition) by carry-less multiplication: the
// message is folded 64 bytes at a time with PCLMULQDQ (128 bytes with VPCLMULQDQ on 256-bit
// registers), then reduced to 32 bits with a Barrett step. Results equal zlib's for every length
// and alignment; crc32Update (common/digest.h) takes the widest path this processor runs.

enum class E_Crc32FoldingWidth : std::uint8_t
{
    NONE,      // zlib only
    BITS_128,  // PCLMULQDQ and SSE4.1
    BITS_256,  // and VPCLMULQDQ with AVX2
};

// The widest folding this processor runs (checked once, at run time).
E_Crc32FoldingWidth crc32FoldingWidth();

// Continues a running CRC-32 like zlib's crc32(crc, data, size), folding with the given width,
// which must not exceed crc32FoldingWidth(). Pieces too short to fold and the bytes that do not
// fill a 16-byte block go through zlib.
std::uint32_t crc32UpdateFolded(E_Crc32FoldingWidth width, std::uint32_t crc, const void* data,
                                std::size_t size);

}  // namespace ota::backend
