#include "util/float_text.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <system_error>

#include "util/result.hpp"

namespace norvane {
namespace {

// The shortest round-trip digits of a finite double: value = ±d1.d2…dn × 10^exp.
struct ShortestDigits {
    char digits[20];
    int count;  // n, at least 1
    int exp;    // decimal exponent of the first digit
    bool negative;
};

ShortestDigits shortest_digits(double v) {
    // Scientific form is "[-]d[.ddd]e±XX"; the shortest round-trip digits come
    // from the library, the layout is ours.
    char buf[40];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    NORVANE_EXPECT(res.ec == std::errc(), "double formats");
    const char* p = buf;
    const char* end = res.ptr;
    ShortestDigits d{};
    if (*p == '-') {
        d.negative = true;
        ++p;
    }
    d.digits[d.count++] = *p++;
    if (p < end && *p == '.') {
        ++p;
        while (p < end && *p != 'e') d.digits[d.count++] = *p++;
    }
    ++p;  // 'e'
    bool neg_exp = *p == '-';
    ++p;  // sign
    int e = 0;
    while (p < end) e = e * 10 + (*p++ - '0');
    d.exp = neg_exp ? -e : e;
    return d;
}

// Longest text of any layout: a sign, "0.", 323 zeros and 17 digits, or 309
// digits and ".0".
constexpr std::size_t kMaxText = 352;

char* put_zeros(char* p, int count) {
    std::memset(p, '0', static_cast<std::size_t>(count));
    return p + count;
}

char* put(char* p, const char* s, int count) {
    std::memcpy(p, s, static_cast<std::size_t>(count));
    return p + count;
}

// Plain notation: "ddd00.0", "dd.ddd" or "0.000ddd".
char* write_plain(char* p, const ShortestDigits& d) {
    if (d.negative) *p++ = '-';
    const int n = d.count;
    const int e = d.exp;
    if (e >= n - 1) {
        p = put(p, d.digits, n);
        p = put_zeros(p, e - n + 1);
        *p++ = '.';
        *p++ = '0';
    } else if (e >= 0) {
        p = put(p, d.digits, e + 1);
        *p++ = '.';
        p = put(p, d.digits + e + 1, n - e - 1);
    } else {
        *p++ = '0';
        *p++ = '.';
        p = put_zeros(p, -e - 1);
        p = put(p, d.digits, n);
    }
    return p;
}

// Exponent notation: d[.ddd]e[sign]E, the "+" written only when asked for.
char* write_exponent(char* p, const ShortestDigits& d, bool plus_sign) {
    if (d.negative) *p++ = '-';
    *p++ = d.digits[0];
    if (d.count > 1) {
        *p++ = '.';
        p = put(p, d.digits + 1, d.count - 1);
    }
    *p++ = 'e';
    int e = d.exp;
    if (e < 0) {
        *p++ = '-';
        e = -e;
    } else if (plus_sign) {
        *p++ = '+';
    }
    if (e >= 100) *p++ = static_cast<char>('0' + e / 100);
    if (e >= 10) *p++ = static_cast<char>('0' + e / 10 % 10);
    *p++ = static_cast<char>('0' + e % 10);
    return p;
}

// Fast path for integral values below 1e16, all three layouts write them the
// same way ("-12.0"). Below 2^54 neighbouring doubles are at most 2 apart, so
// no shorter digit string reads back to such a value: its shortest digits are
// its integer digits.
bool write_small_integral(char*& p, double v) {
    const double mag = std::fabs(v);
    if (!(mag < 1e16)) return false;
    const auto i = static_cast<std::uint64_t>(mag);
    if (static_cast<double>(i) != mag) return false;
    if (std::signbit(v)) *p++ = '-';
    p = std::to_chars(p, p + 20, i).ptr;
    *p++ = '.';
    *p++ = '0';
    return true;
}

// Exactly eight decimal digits of v < 10^8, leading zeros included.
void put8(char* p, uint32_t v) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    const uint32_t hi = v / 10000, lo = v % 10000;
    std::memcpy(p, kPairs + 2 * (hi / 100), 2);
    std::memcpy(p + 2, kPairs + 2 * (hi % 100), 2);
    std::memcpy(p + 4, kPairs + 2 * (lo / 100), 2);
    std::memcpy(p + 6, kPairs + 2 * (lo % 100), 2);
}

// The number of '0' characters that end the 16 digits at buf + 1.
int trailing_zeros(const char* buf) {
    constexpr uint64_t kZeros = 0x3030303030303030ull;
    uint64_t hi, lo;
    std::memcpy(&hi, buf + 9, 8);
    std::memcpy(&lo, buf + 1, 8);
    if constexpr (std::endian::native == std::endian::little) {
        hi ^= kZeros;  // the last digit is the top byte
        if (hi) return std::countl_zero(hi) / 8;
        lo ^= kZeros;
        return lo ? 8 + std::countl_zero(lo) / 8 : 16;
    } else {
        int n = 0;
        while (n < 16 && buf[16 - n] == '0') ++n;
        return n;
    }
}

// Plain text of a non-integral double that is a decimal of at most seven
// fractional digits (prices, readings, coordinates), from 10^-4 to 10^8: the
// first k for which N = round(|v| * 10^k) reads back to v. N / 10^k, one
// division of two exact doubles, rounds correctly, so it equals v exactly
// when the decimal reads back; and when one does, the product is within far
// less than a half of it, so rounding the product finds it. N stays below
// 10^15, and no two decimals of at most 15 significant digits read back to
// the same double: the first N found is the only candidate of that many
// digits or fewer, so its text is the shortest, and it does not end in 0
// (else a smaller k would have served). Its integer part is that of v, since
// no integer lies between v and a decimal that reads back to it.
bool write_few_decimals(char*& out, double v) {
    const double a = std::fabs(v);
    if (!(a >= 1e-4 && a < 1e8)) return false;
    static constexpr double kPow[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
    static constexpr uint64_t kPowInt[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
    for (int k = 1; k <= 7; ++k) {
        const uint64_t n = uint64_t(a * kPow[k] + 0.5);
        if (double(n) / kPow[k] != a) continue;
        const uint64_t whole = uint64_t(a);
        uint64_t frac = n - whole * kPowInt[k];
        char* p = out;
        if (v < 0) *p++ = '-';
        p = std::to_chars(p, p + 20, whole).ptr;
        *p++ = '.';
        for (int i = k; i > 0; --i) {
            p[i - 1] = char('0' + frac % 10);
            frac /= 10;
        }
        out = p + k;
        return true;
    }
    return false;
}

// Powers of ten up to 10^21 (beyond 64 bits from 10^20 on).
using U128 = unsigned __int128;
constexpr auto kTens = [] {
    std::array<U128, 22> t{};
    t[0] = 1;
    for (std::size_t i = 1; i < t.size(); ++i) t[i] = t[i - 1] * 10;
    return t;
}();

// Direct plain text of a non-integral double whose first significant digit
// stands at 10^e, -5 <= e <= 14, written without forming a scientific text
// and reading it back. v = m * 2^-s exactly, m not the smallest mantissa of
// its binade, so v's rounding interval is symmetric: v ± 2^-(s+1).
//
// For D = 15, 16, 17, N = round(v * 10^k), k = D - 1 - e, is the decimal of D
// significant digits nearest to v; when it lies strictly inside the interval
// it reads back to v, and when it lies outside so does every other decimal of
// D digits (and of fewer, which are decimals of D digits too).
// - D = 15: no two decimals of at most 15 significant digits read back to
//   the same double, so an N inside is the only candidate of 15 digits or
//   fewer (a shorter one padded with zeros would be another): its digits
//   without the trailing zeros are the shortest.
// - D = 16 (none of 15 digits inside): an N inside is the nearest of the
//   shortest candidates, which is the one chosen.
// - D = 17 (none of 16 inside): 17 digits always read back; N is the nearest.
// A tie in rounding N, N on the interval's edge, or N outside D digits (an
// estimate of e off by one) returns false and takes the general path.
bool write_plain_direct(char*& out, double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    const int biased = int(bits >> 52 & 0x7ff);
    const uint64_t frac = bits & ((uint64_t(1) << 52) - 1);
    const double mag = std::fabs(v);
    if (!(mag >= 1e-5 && mag < 1e15) || frac == 0) return false;
    static constexpr double kPow[] = {1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1e0,  1e1,  1e2,
                                      1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15};
    // floor(log10(2^x)) for v in [2^x, 2^(x+1)): e is that or one more.
    int e = ((biased - 1023) * 78913) >> 18;
    if (mag >= kPow[e + 7]) ++e;
    const uint64_t m = frac | (uint64_t(1) << 52);
    const int s = 1075 - biased;  // 1 <= s <= 70 in this range
    if (s < 1 || s > 70) return false;
    const U128 low_mask = (U128(1) << s) - 1;
    const U128 half = U128(1) << (s - 1);
    // The nearest decimal of `digits` digits in n; 1 when it lies inside the
    // interval, 0 outside, -1 for the cases left to the general path.
    uint64_t n = 0;
    auto nearest = [&](int digits) -> int {
        const int k = digits - 1 - e;  // 0..21
        const U128 p = U128(m) * kTens[k];
        n = uint64_t(p >> s);
        const U128 rem = p & low_mask;
        if (rem == half) return -1;
        if (rem > half) ++n;
        if (n < kTens[digits - 1] || n >= kTens[digits]) return -1;
        if (digits == 17) return 1;
        // |n * 10^-k - v| against half a unit in the last place of v, both
        // scaled by 10^k * 2^(s+1).
        const U128 d = U128(n) << (s + 1);
        const U128 w = p << 1;
        const U128 dist = d >= w ? d - w : w - d;
        if (dist == kTens[k]) return -1;
        return dist < kTens[k] ? 1 : 0;
    };
    // 16 digits first: outside means 17 are needed; inside and ending in a
    // zero means 15 or fewer, found already; otherwise 15 may still do.
    int digits_n = 16;
    int at = nearest(16);
    if (at < 0) return false;
    if (at == 0) {
        digits_n = 17;
        if (nearest(17) < 0) return false;
    } else if (n % 10 != 0) {
        const uint64_t n16 = n;
        at = nearest(15);
        if (at < 0) return false;
        if (at == 1) {
            digits_n = 15;
        } else {
            n = n16;
        }
    }
    // n has digits_n digits; written as 17 with leading zeros, then laid out
    // with copies of fixed size (the caller's buffer has the room).
    char buf[32];  // 17 digits, and room for the fixed-size copies below
    buf[0] = char('0' + n / 10000000000000000ull);
    const uint64_t rest = n % 10000000000000000ull;
    put8(buf + 1, uint32_t(rest / 100000000));
    put8(buf + 9, uint32_t(rest % 100000000));
    const int count = digits_n - trailing_zeros(buf);
    if (count <= e + 1) return false;  // integral: not this path's case
    const char* digits = buf + (17 - digits_n);
    char* p = out;
    if (v < 0) *p++ = '-';
    if (e >= 0) {
        std::memcpy(p, digits, 16);
        std::memcpy(p + e + 2, digits + e + 1, 16);
        p[e + 1] = '.';
        out = p + count + 1;
    } else {
        std::memcpy(p, "0.00000", 8);
        std::memcpy(p + 1 - e, digits, 17);
        out = p + 1 - e + count;
    }
    return true;
}

bool append_non_finite(std::string& out, double v) {
    if (std::isnan(v)) {
        out.append("NaN", 3);
        return true;
    }
    if (std::isinf(v)) {
        if (v < 0) out.push_back('-');
        out.append("inf", 3);
        return true;
    }
    return false;
}

}  // namespace

void append_json_double(std::string& out, double v) {
    NORVANE_EXPECT(std::isfinite(v), "JSON number is finite");
    // Both layouts stay within 40 bytes in the plain range -5..15.
    const std::size_t len = out.size();
    out.resize_and_overwrite(len + 40, [&](char* buf, std::size_t) {
        char* start = buf + len;
        char* end = start;
        if (!write_small_integral(end, v) && !write_few_decimals(end, v) && !write_plain_direct(end, v)) {
            const ShortestDigits d = shortest_digits(v);
            end = (d.exp >= -5 && d.exp <= 15) ? write_plain(start, d) : write_exponent(start, d, true);
        }
        return static_cast<std::size_t>(end - buf);
    });
}

void append_display_double(std::string& out, double v) {
    if (append_non_finite(out, v)) return;
    char buf[kMaxText];
    char* end = buf;
    if (!write_small_integral(end, v)) end = write_plain(buf, shortest_digits(v));
    out.append(buf, static_cast<std::size_t>(end - buf));
}

void append_debug_double(std::string& out, double v) {
    if (append_non_finite(out, v)) return;
    char buf[40];  // plain only for 1e-4 <= |v| < 1e16, so short either way
    char* end = buf;
    if (!write_small_integral(end, v)) {
        const ShortestDigits d = shortest_digits(v);
        const double mag = std::fabs(v);
        end = (mag >= 1e16 || (mag != 0.0 && mag < 1e-4)) ? write_exponent(buf, d, false)
                                                          : write_plain(buf, d);
    }
    out.append(buf, static_cast<std::size_t>(end - buf));
}

void append_u64(std::string& out, std::uint64_t v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

void append_u128(std::string& out, unsigned __int128 v) {
    char buf[40];
    char* p = buf + sizeof buf;
    do {
        *--p = char('0' + int(v % 10));
        v /= 10;
    } while (v);
    out.append(p, static_cast<std::size_t>(buf + sizeof buf - p));
}

void append_i64(std::string& out, std::int64_t v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

}  // namespace norvane
