// Sixteen bytes handled at once, with the few operations the record rewrite
// needs, in one body per instruction set: SSE2 on x86-64, NEON on arm64,
// SIMD128 in WebAssembly, and a plain array elsewhere (or with
// ROWPATCHER_PORTABLE, to test it).
//
// Lane i holds the byte at address p + i of the load. A mask has all bits of
// a lane set or clear.
//   load(p), store(p)      sixteen bytes from or to any address
//   splat<B>()             B in every lane
//   lanes<I, ...>()        the mask of the lanes listed
//   v.equals<B>()          the mask of the lanes of v that hold B
//   m & n, m | n           masks combined
//   v.replaced(m, r)       v with the lanes of m taken from r
//   v.moved<BY>()          lane i is lane i - BY of v, zero where there is none
//
// Every constant (a mask, a splat, the byte that equals<B> looks for) is a
// template argument, which each body turns into a vector of sixteen constant
// expressions: the compiler emits it as one constant, and never builds it in
// memory for each record, whatever its optimiser does with loops.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace byte_vector_detail {

using Bytes = std::array<std::uint8_t, 16>;

// The bytes of the constants: the mask of lanes INDICES, and BYTE in every lane.
template <std::size_t... INDICES> inline constexpr Bytes MASK = [] {
    static_assert(((INDICES < 16) && ...));
    Bytes mask{};
    ((mask[INDICES] = 0xff), ...);
    return mask;
}();

template <char BYTE> inline constexpr Bytes SPLAT = [] {
    Bytes bytes{};
    bytes.fill(static_cast<std::uint8_t>(BYTE));
    return bytes;
}();

// make(lane 0, ..., lane 15) of BYTES, each lane a std::integral_constant,
// so that lane() stays a constant expression inside make.
template <const Bytes &BYTES, class Make> constexpr auto each_lane(Make make)
{
    return [&]<std::size_t... LANE>(std::index_sequence<LANE...>) {
        return make(std::integral_constant<std::uint8_t, BYTES[LANE]>{}...);
    }(std::make_index_sequence<16>{});
}

} // namespace byte_vector_detail

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
    template <char BYTE> static ByteVector splat();
    template <std::size_t... INDICES> static ByteVector lanes();

    template <char BYTE> ByteVector equals() const;
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

    template <const byte_vector_detail::Bytes &BYTES> static ByteVector constant()
    {
        return ByteVector(byte_vector_detail::each_lane<BYTES>(
            [](auto... lane) { return _mm_setr_epi8(static_cast<char>(lane())...); }));
    }
    ByteVector equal_lanes(const ByteVector &other) const
    {
        return ByteVector(_mm_cmpeq_epi8(bytes_, other.bytes_));
    }

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
    template <char BYTE> static ByteVector splat();
    template <std::size_t... INDICES> static ByteVector lanes();

    template <char BYTE> ByteVector equals() const;
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

    // A vector's lanes listed in braces, lane 0 first, as both GCC and clang
    // take them for NEON's types.
    template <const byte_vector_detail::Bytes &BYTES> static ByteVector constant()
    {
        return ByteVector(
            byte_vector_detail::each_lane<BYTES>([](auto... lane) { return uint8x16_t{lane()...}; }));
    }
    ByteVector equal_lanes(const ByteVector &other) const
    {
        return ByteVector(vceqq_u8(bytes_, other.bytes_));
    }

    uint8x16_t bytes_;
};

#elif defined(__wasm_simd128__) && !defined(ROWPATCHER_PORTABLE)

#include <wasm_simd128.h>

class ByteVector {
public:
    static constexpr std::size_t LANES = 16;

    static ByteVector load(const char *from) { return ByteVector(wasm_v128_load(from)); }
    void store(char *to) const { wasm_v128_store(to, bytes_); }
    template <char BYTE> static ByteVector splat();
    template <std::size_t... INDICES> static ByteVector lanes();

    template <char BYTE> ByteVector equals() const;
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
        return ByteVector(wasm_i8x16_shuffle(bytes_, wasm_i8x16_const_splat(0), from(0), from(1), from(2),
                                             from(3), from(4), from(5), from(6), from(7), from(8), from(9),
                                             from(10), from(11), from(12), from(13), from(14), from(15)));
    }

private:
    explicit ByteVector(v128_t bytes) : bytes_(bytes) {}

    // v128.const: the compiler refuses any lane that is not a constant.
    template <const byte_vector_detail::Bytes &BYTES> static ByteVector constant()
    {
        return ByteVector(
            byte_vector_detail::each_lane<BYTES>([](auto... lane) { return wasm_u8x16_const(lane()...); }));
    }
    ByteVector equal_lanes(const ByteVector &other) const
    {
        return ByteVector(wasm_i8x16_eq(bytes_, other.bytes_));
    }

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
    template <char BYTE> static ByteVector splat();
    template <std::size_t... INDICES> static ByteVector lanes();

    template <char BYTE> ByteVector equals() const;
    ByteVector operator&(const ByteVector &other) const
    {
        return each(other, [](std::uint8_t a, std::uint8_t b) { return a & b; });
    }
    ByteVector operator|(const ByteVector &other) const
    {
        return each(other, [](std::uint8_t a, std::uint8_t b) { return a | b; });
    }

    ByteVector replaced(const ByteVector &mask, const ByteVector &replacement) const
    {
        ByteVector result;
        for (std::size_t i = 0; i < LANES; ++i) {
            result.bytes_[i] = static_cast<std::uint8_t>((mask.bytes_[i] & replacement.bytes_[i]) |
                                                         (~mask.bytes_[i] & bytes_[i]));
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

    template <const byte_vector_detail::Bytes &BYTES> static ByteVector constant()
    {
        ByteVector vector;
        vector.bytes_ = BYTES;
        return vector;
    }
    ByteVector equal_lanes(const ByteVector &other) const
    {
        return each(other, [](std::uint8_t a, std::uint8_t b) { return a == b ? 0xff : 0; });
    }

    template <class Operation> ByteVector each(const ByteVector &other, Operation operation) const
    {
        ByteVector result;
        for (std::size_t i = 0; i < LANES; ++i) {
            result.bytes_[i] = static_cast<std::uint8_t>(operation(bytes_[i], other.bytes_[i]));
        }
        return result;
    }

    byte_vector_detail::Bytes bytes_{};
};

#endif

template <char BYTE> inline ByteVector ByteVector::splat()
{
    return constant<byte_vector_detail::SPLAT<BYTE>>();
}

template <std::size_t... INDICES> inline ByteVector ByteVector::lanes()
{
    return constant<byte_vector_detail::MASK<INDICES...>>();
}

template <char BYTE> inline ByteVector ByteVector::equals() const
{
    return equal_lanes(splat<BYTE>());
}
