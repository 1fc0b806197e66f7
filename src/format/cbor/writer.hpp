// CBOR writing primitives: definite lengths only, every argument in its
// shortest form, doubles in the shortest of half, single and double precision
// that gives back exactly the same 64 bits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/big_endian.hpp"

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
    const uint8_t m = uint8_t(major << 5);
    if (arg < 24) {
        out.push_back(char(m | arg));
    } else if (arg <= 0xff) {
        append_marked_be<1>(out, uint8_t(m | 24), arg);
    } else if (arg <= 0xffff) {
        append_marked_be<2>(out, uint8_t(m | 25), uint16_t(arg));
    } else if (arg <= 0xffffffffu) {
        append_marked_be<4>(out, uint8_t(m | 26), uint32_t(arg));
    } else {
        append_marked_be<8>(out, uint8_t(m | 27), arg);
    }
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
