// Decimal text of numbers: integers, and the three renderings of doubles the
// module writes (JSON numbers, display text inside library messages, debug text).
// All of them use the shortest digit string that reads back to the same double.
#pragma once

#include <cstdint>
#include <string>

namespace norvane {

// JSON number text of a finite double. Plain notation when the decimal exponent
// of the first significant digit lies in -5..15 ("100.0", "0.00001", "-0.0"),
// otherwise d[.ddd]e±E ("1e+16", "1.5e-7", "5e-324"). Callers write non-finite
// values as they see fit (null); passing one here is an internal fault.
void append_json_double(std::string& out, double v);

// Plain decimal text, never an exponent, with ".0" when there is no point
// ("1.0", 1e16 -> "10000000000000000.0", 1e-7 -> "0.0000001");
// NaN is "NaN", the infinities "inf" and "-inf".
void append_display_double(std::string& out, double v);

// Debug text: "NaN" (never signed), "inf", "-inf"; exponent form without a "+"
// ("1e16", "1.5e-5") when |v| >= 1e16 or 0 < |v| < 1e-4; otherwise plain with at
// least one digit after the point ("1.0", "-0.0", "0.0001").
void append_debug_double(std::string& out, double v);

void append_u64(std::string& out, std::uint64_t v);
void append_i64(std::string& out, std::int64_t v);
// The decimal digits of a 128-bit magnitude.
void append_u128(std::string& out, unsigned __int128 v);

}  // namespace norvane
