// Sixteen bytes handled at once, with the few operations the record rewrite
// needs, in one body per instruction set: SSE2 on x86-64, NEON on arm64,
// SIMD128 in WebAssembly, and a plain array elsewhere (or with
// ROWPATCHER_PORTABLE, to test it).
//
// Lane i holds the byte at address p + i of the load. A mask has all bits of
// a lane set or clear.
//   load(p), store(p)      sixteen bytes from or to any address
//   splat(b)               b in every lane
//   lanes({i, ...})        the mask of the lanes listed
//   v.equals(b)            the mask of the lanes of v that hold b
//   m & n, m | n           masks combined
//   v.replaced(m, r)       v with the lanes of m taken from r
//   v.moved<BY>()          lane i is lane i - BY of v, zero where there is none
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__) && !defined(ROWPATCHER_PORTABLE)

#include <emmintrin.h>

class ByteVector {
public:
    static constexpr std::size_t LANES = 16;

    static ByteVector load(const char *from)
    {
        return ByteVector(_mm_loadu_si128(reinterpret_cast<const __m128i *>(from)));
    }
    void store(char *to) const { _mm_storeu_si128(reinterpret_cast<__m128i *>(to), bytes_); }
    static ByteVector splat(char byte) { return ByteVector(_mm_set1_epi8(byte)); }
    static ByteVector lanes(std::initializer_list<std::size_t> indices);
    static ByteVector from_bytes(const std::array<char, LANES> &bytes) { return load(bytes.data()); }

    ByteVector equals(char byte) const { return ByteVector(_mm_cmpeq_epi8(bytes_, _mm_set1_epi8(byte))); }
    ByteVector operator&(const ByteVector &other) const
    {
        return ByteVector(_mm_and_si128(bytes_, other.bytes_));
    }
    ByteVector operator|(const ByteVector &other) const
    {
        return ByteVector(_mm_or_si128(bytes_, other.bytes_));
    }

    ByteVector replaced(const ByteVector &mask, const ByteVector &replacement) const
    {
        return ByteVector(_mm_or_si128(_mm_and_si128(mask.bytes_, replacement.bytes_),
                                       _mm_andnot_si128(mask.bytes_, bytes_)));
    }

    template <int BY> ByteVector moved() const
    {
        static_assert(-16 < BY && BY < 16);
        if constexpr (BY >= 0) {
            return ByteVector(_mm_slli_si128(bytes_, BY));
        } else {
            return ByteVector(_mm_srli_si128(bytes_, -BY));
        }
    }

private:
    explicit ByteVector(__m128i bytes) : bytes_(bytes) {}
    __m128i bytes_;
};

#elif defined(__ARM_NEON) && !defined(ROWPATCHER_PORTABLE)

#include <arm_neon.h>

class ByteVector {
public:
    static constexpr std::size_t LANES = 16;

    static ByteVector load(const char *from)
    {
        return ByteVector(vld1q_u8(reinterpret_cast<const std::uint8_t *>(from)));
    }
    void store(char *to) const { vst1q_u8(reinterpret_cast<std::uint8_t *>(to), bytes_); }
    static ByteVector splat(char byte) { return ByteVector(vdupq_n_u8(static_cast<std::uint8_t>(byte))); }
    static ByteVector lanes(std::initializer_list<std::size_t> indices);
    static ByteVector from_bytes(const std::array<char, LANES> &bytes) { return load(bytes.data()); }

    ByteVector equals(char byte) const { return ByteVector(vceqq_u8(bytes_, splat(byte).bytes_)); }
    ByteVector operator&(const ByteVector &other) const { return ByteVector(vandq_u8(bytes_, other.bytes_)); }
    ByteVector operator|(const ByteVector &other) const { return ByteVector(vorrq_u8(bytes_, other.bytes_)); }

    ByteVector replaced(const ByteVector &mask, const ByteVector &replacement) const
    {
        return ByteVector(vbslq_u8(mask.bytes_, replacement.bytes_, bytes_));
    }

    // vextq_u8 takes sixteen lanes from the pair (first, second) from the
    // lane given on.
    template <int BY> ByteVector moved() const
    {
        static_assert(-16 < BY && BY < 16);
        if constexpr (BY == 0) {
            return *this;
        } else if constexpr (BY > 0) {
            return ByteVector(vextq_u8(vdupq_n_u8(0), bytes_, 16 - BY));
        } else {
            return ByteVector(vextq_u8(bytes_, vdupq_n_u8(0), -BY));
        }
    }

private:
    explicit ByteVector(uint8x16_t bytes) : bytes_(bytes) {}
    uint8x16_t bytes_;
};

#elif defined(__wasm_simd128__) && !defined(ROWPATCHER_PORTABLE)

#include <wasm_simd128.h>

class ByteVector {
public:
    static constexpr std::size_t LANES = 16;

    static ByteVector load(const char *from) { return ByteVector(wasm_v128_load(from)); }
    void store(char *to) const { wasm_v128_store(to, bytes_); }
    static ByteVector splat(char byte) { return ByteVector(wasm_i8x16_splat(byte)); }
    static ByteVector lanes(std::initializer_list<std::size_t> indices);
    // Lane by lane, so that a mask of constant lanes becomes one constant
    // rather than bytes stored and loaded back.
    static ByteVector from_bytes(const std::array<char, LANES> &b)
    {
        return ByteVector(wasm_i8x16_make(b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10],
                                          b[11], b[12], b[13], b[14], b[15]));
    }

    ByteVector equals(char byte) const { return ByteVector(wasm_i8x16_eq(bytes_, wasm_i8x16_splat(byte))); }
    ByteVector operator&(const ByteVector &other) const { return ByteVector(wasm_v128_and(bytes_, other.bytes_)); }
    ByteVector operator|(const ByteVector &other) const { return ByteVector(wasm_v128_or(bytes_, other.bytes_)); }

    ByteVector replaced(const ByteVector &mask, const ByteVector &replacement) const
    {
        return ByteVector(wasm_v128_bitselect(replacement.bytes_, bytes_, mask.bytes_));
    }

    // A shuffle of the vector and zero: lane i takes lane i - BY, or a lane
    // of zero (index 16) where there is none.
    template <int BY> ByteVector moved() const
    {
        static_assert(-16 < BY && BY < 16);
        constexpr auto from = [](int lane) { return 0 <= lane - BY && lane - BY < 16 ? lane - BY : 16; };
        return ByteVector(wasm_i8x16_shuffle(bytes_, wasm_i8x16_splat(0), from(0), from(1), from(2), from(3),
                                             from(4), from(5), from(6), from(7), from(8), from(9), from(10),
                                             from(11), from(12), from(13), from(14), from(15)));
    }

private:
    explicit ByteVector(v128_t bytes) : bytes_(bytes) {}
    v128_t bytes_;
};

#else

class ByteVector {
public:
    static constexpr std::size_t LANES = 16;

    static ByteVector load(const char *from)
    {
        ByteVector vector;
        std::memcpy(vector.bytes_.data(), from, LANES);
        return vector;
    }
    void store(char *to) const { std::memcpy(to, bytes_.data(), LANES); }
    static ByteVector splat(char byte)
    {
        ByteVector vector;
        vector.bytes_.fill(static_cast<unsigned char>(byte));
        return vector;
    }
    static ByteVector lanes(std::initializer_list<std::size_t> indices);
    static ByteVector from_bytes(const std::array<char, LANES> &bytes) { return load(bytes.data()); }

    ByteVector equals(char byte) const
    {
        return each(
            [byte](unsigned char lane) { return lane == static_cast<unsigned char>(byte) ? 0xff : 0; });
    }
    ByteVector operator&(const ByteVector &other) const
    {
        return each(other, [](unsigned char a, unsigned char b) { return a & b; });
    }
    ByteVector operator|(const ByteVector &other) const
    {
        return each(other, [](unsigned char a, unsigned char b) { return a | b; });
    }

    ByteVector replaced(const ByteVector &mask, const ByteVector &replacement) const
    {
        ByteVector result;
        for (std::size_t i = 0; i < LANES; ++i) {
            result.bytes_[i] = (mask.bytes_[i] & replacement.bytes_[i]) | (~mask.bytes_[i] & bytes_[i]);
        }
        return result;
    }

    template <int BY> ByteVector moved() const
    {
        static_assert(-16 < BY && BY < 16);
        ByteVector result;
        for (int i = 0; i < 16; ++i) {
            if (0 <= i - BY && i - BY < 16) {
                result.bytes_[static_cast<std::size_t>(i)] = bytes_[static_cast<std::size_t>(i - BY)];
            }
        }
        return result;
    }

private:
    ByteVector() = default;

    template <class Operation> ByteVector each(Operation operation) const
    {
        ByteVector result;
        for (std::size_t i = 0; i < LANES; ++i) {
            result.bytes_[i] = static_cast<unsigned char>(operation(bytes_[i]));
        }
        return result;
    }
    template <class Operation> ByteVector each(const ByteVector &other, Operation operation) const
    {
        ByteVector result;
        for (std::size_t i = 0; i < LANES; ++i) {
            result.bytes_[i] = static_cast<unsigned char>(operation(bytes_[i], other.bytes_[i]));
        }
        return result;
    }

    std::array<unsigned char, LANES> bytes_{};
};

#endif

// Built from bytes in memory: the optimiser folds it into one constant.
inline ByteVector ByteVector::lanes(std::initializer_list<std::size_t> indices)
{
    std::array<char, LANES> mask{};
    for (const std::size_t index : indices) {
        mask[index] = static_cast<char>(0xff);
    }
    return from_bytes(mask);
}
