// CRC-32 by carry-less multiplication.
//
// Polynomials over GF(2) are kept "reflected", as the CRC itself is: in a 128-bit register the
// first message bit (bit 0 of byte 0) is the highest power, so bit m of a 16-byte block stands
// for x^(127 - m), and a 64-bit half holds x^e at bit 63 - e. The CRC register holds x^e at
// bit 31 - e. The running CRC is the remainder R(M) = M * x^32 mod G, with G the generator,
// after folding the initial register into the first 32 message bits.
//
// Folding: a block A followed by D more bits is congruent, for the remainder, to
//   A_high * (x^(D+64) mod G) + A_low * (x^D mod G),
// a value of at most 95 bits that can be added onto the block D bits further on. Four lanes
// 64 bytes apart keep four independent multiplications in flight; with VPCLMULQDQ each lane is a
// 256-bit register of two blocks (128 bytes per step), the same multipliers in both halves. The
// last block is reduced to 64 bits with two more multiplications and to 32 bits with a Barrett
// step, which needs no correction over GF(2).
//
// The carry-less product of two reflected 64-bit halves comes out one power too high (bit
// 126 - k instead of 127 - k for x^k), so a multiplier for x^E holds x^(E-1) mod G.
#include "common/crc32_folding.h"

#include <immintrin.h>
#include <zlib.h>

namespace ota::backend
{
namespace
{

// x^32 + x^26 + x^23 + x^22 + x^16 + x^12 + x^11 + x^10 + x^8 + x^7 + x^5 + x^4 + x^2 + x + 1,
// bit d standing for x^d.
constexpr std::uint64_t GENERATOR = 0x104C11DB7u;

constexpr std::size_t BLOCK = 16;
constexpr std::size_t LANES = 4;
constexpr std::size_t STRIDE = BLOCK * LANES;    // one step of the four 128-bit lanes
constexpr std::size_t WIDE_STRIDE = 2 * STRIDE;  // one step of the four 256-bit lanes

constexpr std::uint64_t reflect(std::uint64_t value, unsigned width)
{
    std::uint64_t result = 0;
    for (unsigned bit = 0; bit < width; ++bit)
    {
        if ((value >> bit) & 1u)
        {
            result |= std::uint64_t{1} << (width - 1 - bit);
        }
    }
    return result;
}

// x^exponent mod G, bit d standing for x^d.
constexpr std::uint32_t xPowerModGenerator(unsigned exponent)
{
    std::uint64_t remainder = 1;
    for (unsigned step = 0; step < exponent; ++step)
    {
        remainder <<= 1;
        if ((remainder >> 32) & 1u)
        {
            remainder ^= GENERATOR;
        }
    }
    return static_cast<std::uint32_t>(remainder);
}

// floor(x^64 / G) by long division, bit d standing for x^d (degree 32).
constexpr std::uint64_t barrettQuotient()
{
    std::uint64_t remainder = 0;
    std::uint64_t quotient = 0;
    for (int degree = 64; degree >= 0; --degree)
    {
        remainder = (remainder << 1) | (degree == 64 ? 1u : 0u);
        if ((remainder >> 32) & 1u)
        {
            remainder ^= GENERATOR;
            quotient |= std::uint64_t{1} << degree;
        }
    }
    return quotient;
}

// A reflected 64-bit operand that multiplies a reflected 64-bit half by x^exponent (mod G).
constexpr std::uint64_t multiplierFor(unsigned exponent)
{
    return reflect(xPowerModGenerator(exponent - 1), 32) << 32;
}

// A lane moves 64 bytes (512 bits) per step, 128 bytes when 256 bits wide; wide lanes are joined
// 32 bytes apart, 128-bit ones a block apart, and the rest is folded a block at a time.
constexpr std::uint64_t FOLD_STRIDE_HIGH = multiplierFor(STRIDE * 8 + 64);
constexpr std::uint64_t FOLD_STRIDE_LOW = multiplierFor(STRIDE * 8);
constexpr std::uint64_t FOLD_WIDE_STRIDE_HIGH = multiplierFor(WIDE_STRIDE * 8 + 64);
constexpr std::uint64_t FOLD_WIDE_STRIDE_LOW = multiplierFor(WIDE_STRIDE * 8);
constexpr std::uint64_t FOLD_PAIR_HIGH = multiplierFor(2 * BLOCK * 8 + 64);
constexpr std::uint64_t FOLD_PAIR_LOW = multiplierFor(2 * BLOCK * 8);
constexpr std::uint64_t FOLD_BLOCK_HIGH = multiplierFor(BLOCK * 8 + 64);
constexpr std::uint64_t FOLD_BLOCK_LOW = multiplierFor(BLOCK * 8);
constexpr std::uint64_t REDUCE_96 = multiplierFor(96);
constexpr std::uint64_t REDUCE_64 = multiplierFor(64);
// 33-bit reflected operands (x^d at bit 32 - d): the quotient and the generator themselves.
constexpr std::uint64_t BARRETT_QUOTIENT = reflect(barrettQuotient(), 33);
constexpr std::uint64_t BARRETT_GENERATOR = reflect(GENERATOR, 33);

static_assert(barrettQuotient() >> 32 == 1, "floor(x^64 / G) has degree 32");

// Function-level targets: the rest of the binary keeps running on processors without them.
#define OTA_CRC_TARGET __attribute__((target("pclmul,sse4.1")))
#define OTA_CRC_WIDE_TARGET __attribute__((target("pclmul,sse4.1,avx2,vpclmulqdq")))

// A * x^D + B with the multipliers of D in k (low half: A's high powers; high half: the rest).
OTA_CRC_TARGET inline __m128i fold(__m128i a, __m128i k, __m128i b)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11)),
                         b);
}

OTA_CRC_TARGET inline __m128i load(const unsigned char* bytes)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

// The remainder of A * x^32, A being the last 128 bits (all of the message folded in).
OTA_CRC_TARGET std::uint32_t reduce(__m128i a)
{
    const __m128i k = _mm_set_epi64x(static_cast<long long>(REDUCE_64), static_cast<long long>(REDUCE_96));
    // T = A_high * (x^96 mod G) + A_low * x^32: at most 96 bits, in bits 32..127.
    __m128i t = _mm_clmulepi64_si128(a, k, 0x00);
    t = _mm_xor_si128(t, _mm_slli_si128(_mm_srli_si128(a, 8), 4));
    // U = T_high * (x^64 mod G) + T_low: at most 64 bits, in the high half.
    const __m128i u128 = _mm_xor_si128(_mm_clmulepi64_si128(t, k, 0x10), t);
    const auto u = static_cast<std::uint64_t>(_mm_extract_epi64(u128, 1));
    // Barrett: Q = floor(floor(U / x^32) * floor(x^64 / G) / x^32), remainder = U + Q * G.
    const __m128i barrett =
        _mm_set_epi64x(static_cast<long long>(BARRETT_GENERATOR), static_cast<long long>(BARRETT_QUOTIENT));
    const __m128i q = _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(u << 32)), barrett, 0x00);
    const __m128i qg = _mm_clmulepi64_si128(q, barrett, 0x10);
    return static_cast<std::uint32_t>(u >> 32) ^ static_cast<std::uint32_t>(_mm_extract_epi32(qg, 2));
}

// The blocks after the accumulator folded in, then the register: the remainder of it all.
OTA_CRC_TARGET std::uint32_t finishBlocks(__m128i a, const unsigned char* bytes, std::size_t blockCount)
{
    const __m128i foldBlock =
        _mm_set_epi64x(static_cast<long long>(FOLD_BLOCK_LOW), static_cast<long long>(FOLD_BLOCK_HIGH));
    for (; blockCount > 0; --blockCount, bytes += BLOCK)
    {
        a = fold(a, foldBlock, load(bytes));
    }
    return reduce(a);
}

// Register after the first blockCount * 16 bytes (blockCount >= LANES).
OTA_CRC_TARGET std::uint32_t foldBlocks(std::uint32_t crc, const unsigned char* bytes, std::size_t blockCount)
{
    const __m128i foldStride =
        _mm_set_epi64x(static_cast<long long>(FOLD_STRIDE_LOW), static_cast<long long>(FOLD_STRIDE_HIGH));
    __m128i lane0 = _mm_xor_si128(load(bytes), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i lane1 = load(bytes + BLOCK);
    __m128i lane2 = load(bytes + 2 * BLOCK);
    __m128i lane3 = load(bytes + 3 * BLOCK);
    bytes += STRIDE;
    blockCount -= LANES;
    for (; blockCount >= LANES; blockCount -= LANES, bytes += STRIDE)
    {
        lane0 = fold(lane0, foldStride, load(bytes));
        lane1 = fold(lane1, foldStride, load(bytes + BLOCK));
        lane2 = fold(lane2, foldStride, load(bytes + 2 * BLOCK));
        lane3 = fold(lane3, foldStride, load(bytes + 3 * BLOCK));
    }
    const __m128i foldBlock =
        _mm_set_epi64x(static_cast<long long>(FOLD_BLOCK_LOW), static_cast<long long>(FOLD_BLOCK_HIGH));
    __m128i a = fold(lane0, foldBlock, lane1);
    a = fold(a, foldBlock, lane2);
    a = fold(a, foldBlock, lane3);
    return finishBlocks(a, bytes, blockCount);
}

OTA_CRC_WIDE_TARGET inline __m256i foldWide(__m256i a, __m256i k, __m256i b)
{
    return _mm256_xor_si256(
        _mm256_xor_si256(_mm256_clmulepi64_epi128(a, k, 0x00), _mm256_clmulepi64_epi128(a, k, 0x11)), b);
}

OTA_CRC_WIDE_TARGET inline __m256i loadWide(const unsigned char* bytes)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
}

OTA_CRC_WIDE_TARGET inline __m256i wideMultipliers(std::uint64_t high, std::uint64_t low)
{
    return _mm256_set_epi64x(static_cast<long long>(low), static_cast<long long>(high),
                             static_cast<long long>(low), static_cast<long long>(high));
}

// foldBlocks with 256-bit lanes (blockCount >= 2 * LANES).
OTA_CRC_WIDE_TARGET std::uint32_t foldBlocksWide(std::uint32_t crc, const unsigned char* bytes,
                                                 std::size_t blockCount)
{
    const __m256i foldStride = wideMultipliers(FOLD_WIDE_STRIDE_HIGH, FOLD_WIDE_STRIDE_LOW);
    const __m256i foldPair = wideMultipliers(FOLD_PAIR_HIGH, FOLD_PAIR_LOW);
    __m256i lane0 =
        _mm256_xor_si256(loadWide(bytes), _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(crc))));
    __m256i lane1 = loadWide(bytes + 2 * BLOCK);
    __m256i lane2 = loadWide(bytes + 4 * BLOCK);
    __m256i lane3 = loadWide(bytes + 6 * BLOCK);
    bytes += WIDE_STRIDE;
    blockCount -= 2 * LANES;
    for (; blockCount >= 2 * LANES; blockCount -= 2 * LANES, bytes += WIDE_STRIDE)
    {
        lane0 = foldWide(lane0, foldStride, loadWide(bytes));
        lane1 = foldWide(lane1, foldStride, loadWide(bytes + 2 * BLOCK));
        lane2 = foldWide(lane2, foldStride, loadWide(bytes + 4 * BLOCK));
        lane3 = foldWide(lane3, foldStride, loadWide(bytes + 6 * BLOCK));
    }
    // Two 256-bit lanes 32 bytes apart fold like blocks; the last one holds two blocks.
    __m256i joined = foldWide(lane0, foldPair, lane1);
    joined = foldWide(joined, foldPair, lane2);
    joined = foldWide(joined, foldPair, lane3);
    const __m128i foldBlock =
        _mm_set_epi64x(static_cast<long long>(FOLD_BLOCK_LOW), static_cast<long long>(FOLD_BLOCK_HIGH));
    const __m128i a = fold(_mm256_castsi256_si128(joined), foldBlock, _mm256_extracti128_si256(joined, 1));
    return finishBlocks(a, bytes, blockCount);
}

std::uint32_t zlibUpdate(std::uint32_t crc, const unsigned char* bytes, std::size_t size)
{
    // Only short pieces come here (below STRIDE bytes), far below zlib's uInt limit. zlib
    // answers a null pointer with the initial value, so an empty piece must not reach it.
    if (size == 0)
    {
        return crc;
    }
    return static_cast<std::uint32_t>(::crc32(crc, bytes, static_cast<uInt>(size)));
}

}  // namespace

E_Crc32FoldingWidth crc32FoldingWidth()
{
    static const E_Crc32FoldingWidth width = []
    {
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("pclmul") || !__builtin_cpu_supports("sse4.1"))
        {
            return E_Crc32FoldingWidth::NONE;
        }
        if (__builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx2"))
        {
            return E_Crc32FoldingWidth::BITS_256;
        }
        return E_Crc32FoldingWidth::BITS_128;
    }();
    return width;
}

std::uint32_t crc32UpdateFolded(E_Crc32FoldingWidth width, std::uint32_t crc, const void* data,
                                std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (width == E_Crc32FoldingWidth::NONE || size < STRIDE)
    {
        return zlibUpdate(crc, bytes, size);
    }
    const std::size_t blockCount = size / BLOCK;
    // zlib's value is the complement of the register, before and after.
    const std::uint32_t folded = width == E_Crc32FoldingWidth::BITS_256 && size >= WIDE_STRIDE
                                     ? ~foldBlocksWide(~crc, bytes, blockCount)
                                     : ~foldBlocks(~crc, bytes, blockCount);
    const std::size_t done = blockCount * BLOCK;
    return zlibUpdate(folded, bytes + done, size - done);
}

}  // namespace ota::backend
