#pragma once

#include <cstddef>
#include <cstdint>

namespace ota::backend
{

// CRC-32 (reflected 0xEDB88320, the zlib crc32 definition) by carry-less multiplication: the
// message is folded 64 bytes at a time with PCLMULQDQ, then reduced to 32 bits with a Barrett
// step. Results equal zlib's for every length and alignment; crc32Update (common/digest.h)
// takes this path on processors that have PCLMULQDQ and SSE4.1 and zlib's otherwise.

// Whether this processor can run crc32UpdateFolded (checked once, at run time).
bool crc32FoldingSupported();

// Continues a running CRC-32 like zlib's crc32(crc, data, size). Only call when
// crc32FoldingSupported() is true; the bytes that do not fill a 16-byte block go through zlib.
std::uint32_t crc32UpdateFolded(std::uint32_t crc, const void* data, std::size_t size);

}  // namespace ota::backend
