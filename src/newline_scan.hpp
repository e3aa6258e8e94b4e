// Finds the newlines of a buffer in order. Where the processor compares many
// bytes at once, the newlines of a whole chunk become the set bits of one
// integer, and each further line costs a count of trailing zeros rather than
// a call to memchr: SSE2 on x86-64, where every processor has it, NEON on
// arm64, and SIMD128 in WebAssembly. Elsewhere (or with ROWPATCHER_PORTABLE,
// to test it), memchr.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(ROWPATCHER_PORTABLE)
#include <emmintrin.h>
#define ROWPATCHER_CHUNKED_SCAN 1
#elif defined(__ARM_NEON) && !defined(ROWPATCHER_PORTABLE)
#include <arm_neon.h>
#define ROWPATCHER_CHUNKED_SCAN 1
#elif defined(__wasm_simd128__) && !defined(ROWPATCHER_PORTABLE)
#include <wasm_simd128.h>
#define ROWPATCHER_CHUNKED_SCAN 1
#endif

// A buffer that the scan reads starts on this alignment and has this many
// readable bytes after its last byte of data.
inline constexpr std::size_t SCAN_ALIGNMENT = 64;

namespace newline_scan_detail {

#if defined(__SSE2__) && !defined(ROWPATCHER_PORTABLE)

inline constexpr std::size_t CHUNK_SIZE = 64; // bytes that one mask covers
inline constexpr int BITS_PER_BYTE = 1;

// Bit i is set when chunk[i] is a newline. `chunk` is 16-byte aligned.
inline std::uint64_t newline_mask(const char *chunk)
{
    const __m128i newline = _mm_set1_epi8('\n');
    std::uint64_t mask = 0;
    for (int part = 0; part < 4; ++part) {
        const __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i *>(chunk) + part);
        const auto found = static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)));
        mask |= std::uint64_t{found} << (16 * part);
    }
    return mask;
}

#elif defined(__ARM_NEON) && !defined(ROWPATCHER_PORTABLE)

inline constexpr std::size_t CHUNK_SIZE = 16;
inline constexpr int BITS_PER_BYTE = 4;

// Bit 4i is set when chunk[i] is a newline. The narrowing shift packs the
// compare's 0xff/0x00 bytes into four bits each, in byte order.
inline std::uint64_t newline_mask(const char *chunk)
{
    const uint8x16_t bytes = vld1q_u8(reinterpret_cast<const std::uint8_t *>(chunk));
    const uint8x16_t found = vceqq_u8(bytes, vdupq_n_u8('\n'));
    const uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(found), 4);
    return vget_lane_u64(vreinterpret_u64_u8(nibbles), 0) & 0x1111111111111111U;
}

#elif defined(__wasm_simd128__) && !defined(ROWPATCHER_PORTABLE)

inline constexpr std::size_t CHUNK_SIZE = 64;
inline constexpr int BITS_PER_BYTE = 1;

// Bit i is set when chunk[i] is a newline: four compares, each one's lane
// tops gathered by bitmask.
inline std::uint64_t newline_mask(const char *chunk)
{
    const v128_t newline = wasm_i8x16_splat('\n');
    std::uint64_t mask = 0;
    for (int part = 0; part < 4; ++part) {
        const v128_t bytes = wasm_v128_load(chunk + 16 * part);
        const std::uint64_t found = wasm_i8x16_bitmask(wasm_i8x16_eq(bytes, newline));
        mask |= found << (16 * part);
    }
    return mask;
}

#endif

} // namespace newline_scan_detail

#ifdef ROWPATCHER_CHUNKED_SCAN

class NewlineScan {
public:
    // The scan reads whole chunks of this many bytes, aligned on their size.
    static constexpr std::size_t CHUNK_SIZE = newline_scan_detail::CHUNK_SIZE;

    // Scans [from, end) of a buffer laid out as SCAN_ALIGNMENT asks: it reads
    // the whole chunks that hold these bytes, and ignores the bytes outside.
    NewlineScan(const char *from, const char *end)
        : chunk_(from - reinterpret_cast<std::uintptr_t>(from) % CHUNK_SIZE), end_(end),
          mask_(newlines_in(chunk_) & (~std::uint64_t{0} << ((from - chunk_) * BITS_PER_BYTE)))
    {
    }

    // The next newline, or nullptr when none is left before `end`.
    const char *next()
    {
        while (mask_ == 0) {
            chunk_ += CHUNK_SIZE;
            if (chunk_ >= end_) {
                return nullptr;
            }
            mask_ = newlines_in(chunk_);
        }
        const char *newline = chunk_ + std::countr_zero(mask_) / BITS_PER_BYTE;
        mask_ &= mask_ - 1;
        return newline;
    }

private:
    static constexpr int BITS_PER_BYTE = newline_scan_detail::BITS_PER_BYTE;
    static_assert(SCAN_ALIGNMENT % CHUNK_SIZE == 0);

    // The chunk's newlines before end_: the bytes past it are not data, and
    // are cut off here, once a chunk, rather than tested once a line.
    std::uint64_t newlines_in(const char *chunk) const
    {
        const std::uint64_t mask = newline_scan_detail::newline_mask(chunk);
        const auto data = static_cast<std::size_t>(end_ - chunk);
        return data >= CHUNK_SIZE ? mask : mask & ((std::uint64_t{1} << (data * BITS_PER_BYTE)) - 1);
    }

    const char *chunk_;
    const char *end_;
    std::uint64_t mask_; // the newlines of chunk_ not yet returned
};

#else

class NewlineScan {
public:
    static constexpr std::size_t CHUNK_SIZE = 1; // it reads no byte past the end

    NewlineScan(const char *from, const char *end) : from_(from), end_(end) {}

    const char *next()
    {
        const auto *newline =
            static_cast<const char *>(std::memchr(from_, '\n', static_cast<std::size_t>(end_ - from_)));
        from_ = newline != nullptr ? newline + 1 : end_;
        return newline;
    }

private:
    const char *from_;
    const char *end_;
};

#endif

// The newlines in [from, end), which lie in a buffer laid out as the scan
// needs: for counting lines in and out.
inline std::size_t count_newlines(const char *from, const char *end)
{
    if (from == end) {
        return 0;
    }
    NewlineScan scan(from, end);
    std::size_t count = 0;
    while (scan.next() != nullptr) {
        ++count;
    }
    return count;
}
