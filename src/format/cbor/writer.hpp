// CBOR writing primitives: definite lengths only, every argument in its
// shortest form, doubles in the shortest of half, single and double precision
// that gives back exactly the same 64 bits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace norvane::cbor {

enum Major : uint8_t {
    kUnsigned = 0,
    kNegative = 1,
    kBytes = 2,
    kText = 3,
    kArray = 4,
    kMap = 5,
    kTag = 6,
    kSimple = 7,
};

// The initial byte and the argument in its shortest form.
inline void write_head(std::string& out, Major major, uint64_t arg) {
    char buf[9];
    const char m = char(major << 5);
    if (arg < 24) {
        out.push_back(char(m | char(arg)));
        return;
    }
    size_t n;
    if (arg <= 0xff) {
        buf[0] = char(m | 24);
        n = 1;
    } else if (arg <= 0xffff) {
        buf[0] = char(m | 25);
        n = 2;
    } else if (arg <= 0xffffffffu) {
        buf[0] = char(m | 26);
        n = 4;
    } else {
        buf[0] = char(m | 27);
        n = 8;
    }
    for (size_t i = 0; i < n; ++i) buf[1 + i] = char(arg >> (8 * (n - 1 - i)));
    out.append(buf, n + 1);
}

inline void write_u64(std::string& out, uint64_t v) { write_head(out, kUnsigned, v); }

inline void write_i64(std::string& out, int64_t v) {
    if (v >= 0) {
        write_head(out, kUnsigned, uint64_t(v));
    } else {
        write_head(out, kNegative, ~uint64_t(v));  // -1 - v
    }
}

inline void write_text(std::string& out, std::string_view s) {
    write_head(out, kText, s.size());
    out.append(s);
}

inline void write_array_head(std::string& out, uint64_t count) { write_head(out, kArray, count); }
inline void write_map_head(std::string& out, uint64_t count) { write_head(out, kMap, count); }

inline void write_bool(std::string& out, bool v) { out.push_back(v ? '\xf5' : '\xf4'); }
inline void write_null(std::string& out) { out.push_back('\xf6'); }

// f9 + 2 bytes, fa + 4 bytes or fb + 8 bytes, whichever is shortest and exact;
// NaN payloads and the sign of zero are kept bit for bit.
void write_f64(std::string& out, double v);

}  // namespace norvane::cbor
