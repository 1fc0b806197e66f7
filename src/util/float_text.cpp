#include "util/float_text.hpp"

#include <charconv>
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
    char buf[40];  // both layouts stay short in the plain range -5..15
    char* end = buf;
    if (!write_small_integral(end, v)) {
        const ShortestDigits d = shortest_digits(v);
        end = (d.exp >= -5 && d.exp <= 15) ? write_plain(buf, d) : write_exponent(buf, d, true);
    }
    out.append(buf, static_cast<std::size_t>(end - buf));
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

void append_i64(std::string& out, std::int64_t v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

}  // namespace norvane
