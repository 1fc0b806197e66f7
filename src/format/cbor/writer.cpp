#include "format/cbor/writer.hpp"

#include <bit>
#include <optional>

namespace norvane::cbor {

namespace {

constexpr uint64_t kMantissaMask = (uint64_t(1) << 52) - 1;

// The half-precision bits that widen back to exactly `bits`, if any.
std::optional<uint16_t> exact_half(uint64_t bits) {
    const uint16_t sign = uint16_t((bits >> 63) << 15);
    const int exp = int((bits >> 52) & 0x7ff);
    const uint64_t mant = bits & kMantissaMask;
    if (exp == 0x7ff) {
        // Infinity, or a NaN whose payload fits the 10 mantissa bits.
        if (mant & ((uint64_t(1) << 42) - 1)) return std::nullopt;
        return uint16_t(sign | 0x7c00 | uint16_t(mant >> 42));
    }
    if (exp == 0) {
        if (mant == 0) return sign;  // +-0; subnormal doubles are far below half range
        return std::nullopt;
    }
    const int e = exp - 1023;
    if (e > 15) return std::nullopt;
    if (e >= -14) {
        if (mant & ((uint64_t(1) << 42) - 1)) return std::nullopt;
        return uint16_t(sign | uint16_t((e + 15) << 10) | uint16_t(mant >> 42));
    }
    if (e < -24) return std::nullopt;
    // Subnormal half: the value is m * 2^-24 with m below 1024.
    const uint64_t full = mant | (uint64_t(1) << 52);
    const int shift = 28 - e;  // 43 .. 52
    if (full & ((uint64_t(1) << shift) - 1)) return std::nullopt;
    return uint16_t(sign | uint16_t(full >> shift));
}

// The single-precision bits that widen back to exactly `bits`, if any.
std::optional<uint32_t> exact_single(uint64_t bits, double v) {
    const int exp = int((bits >> 52) & 0x7ff);
    const uint64_t mant = bits & kMantissaMask;
    if (exp == 0x7ff && mant != 0) {
        if (mant & ((uint64_t(1) << 29) - 1)) return std::nullopt;
        return uint32_t((bits >> 63) << 31) | 0x7f800000u | uint32_t(mant >> 29);
    }
    const float f = float(v);
    if (std::bit_cast<uint64_t>(double(f)) != bits) return std::nullopt;
    return std::bit_cast<uint32_t>(f);
}

}  // namespace

void write_f64(std::string& out, double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    if (auto h = exact_half(bits)) {
        append_marked_be<2>(out, 0xf9, *h);
        return;
    }
    if (auto s = exact_single(bits, v)) {
        append_marked_be<4>(out, 0xfa, *s);
        return;
    }
    append_marked_be<8>(out, 0xfb, bits);
}

}  // namespace norvane::cbor
