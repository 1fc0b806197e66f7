// MessagePack writer primitives. Every integer and length takes the smallest
// form that holds it; doubles are always written as float 64.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "util/big_endian.hpp"

namespace norvane::msgpack {

namespace detail {

inline void put1(std::string& out, uint8_t a) { out.push_back(char(a)); }

inline void put2(std::string& out, uint8_t a, uint8_t b) { append_marked_be<1>(out, a, b); }
inline void put_be16(std::string& out, uint8_t marker, uint16_t v) { append_marked_be<2>(out, marker, v); }
inline void put_be32(std::string& out, uint8_t marker, uint32_t v) { append_marked_be<4>(out, marker, v); }
inline void put_be64(std::string& out, uint8_t marker, uint64_t v) { append_marked_be<8>(out, marker, v); }

// A length header of one of the three families: fix (base + n below fix_limit),
// then 16-bit and 32-bit forms.
inline void put_len(std::string& out, uint8_t fix_base, size_t fix_limit, uint8_t m16, uint8_t m32, size_t n) {
    if (n < fix_limit) {
        put1(out, uint8_t(fix_base + n));
    } else if (n <= 0xffff) {
        put_be16(out, m16, uint16_t(n));
    } else {
        put_be32(out, m32, uint32_t(n));
    }
}

}  // namespace detail

inline void write_nil(std::string& out) { detail::put1(out, 0xc0); }

inline void write_bool(std::string& out, bool v) { detail::put1(out, v ? 0xc3 : 0xc2); }

// Positive fixint, uint 8, uint 16, uint 32 or uint 64.
inline void write_uint(std::string& out, uint64_t v) {
    if (v < 0x80) {
        detail::put1(out, uint8_t(v));
    } else if (v <= 0xff) {
        detail::put2(out, 0xcc, uint8_t(v));
    } else if (v <= 0xffff) {
        detail::put_be16(out, 0xcd, uint16_t(v));
    } else if (v <= 0xffffffffu) {
        detail::put_be32(out, 0xce, uint32_t(v));
    } else {
        detail::put_be64(out, 0xcf, v);
    }
}

// Non-negative values in the unsigned forms; negative ones in the smallest of
// negative fixint, int 8, int 16, int 32 and int 64.
inline void write_int(std::string& out, int64_t v) {
    if (v >= 0) {
        write_uint(out, uint64_t(v));
    } else if (v >= -32) {
        detail::put1(out, uint8_t(int8_t(v)));
    } else if (v >= -128) {
        detail::put2(out, 0xd0, uint8_t(int8_t(v)));
    } else if (v >= -32768) {
        detail::put_be16(out, 0xd1, uint16_t(int16_t(v)));
    } else if (v >= -2147483648LL) {
        detail::put_be32(out, 0xd2, uint32_t(int32_t(v)));
    } else {
        detail::put_be64(out, 0xd3, uint64_t(v));
    }
}

// Float 64 with the bits of the double unchanged (NaN and infinities included).
inline void write_f64(std::string& out, double v) { detail::put_be64(out, 0xcb, std::bit_cast<uint64_t>(v)); }

// fixstr, str 8, str 16 or str 32.
inline void write_str_header(std::string& out, size_t n) {
    if (n < 32) {
        detail::put1(out, uint8_t(0xa0 + n));
    } else if (n <= 0xff) {
        detail::put2(out, 0xd9, uint8_t(n));
    } else if (n <= 0xffff) {
        detail::put_be16(out, 0xda, uint16_t(n));
    } else {
        detail::put_be32(out, 0xdb, uint32_t(n));
    }
}

inline void write_str(std::string& out, std::string_view s) {
    write_str_header(out, s.size());
    out.append(s.data(), s.size());
}

// fixarray, array 16 or array 32.
inline void write_array_header(std::string& out, size_t n) { detail::put_len(out, 0x90, 16, 0xdc, 0xdd, n); }

// fixmap, map 16 or map 32.
inline void write_map_header(std::string& out, size_t n) { detail::put_len(out, 0x80, 16, 0xde, 0xdf, n); }

}  // namespace norvane::msgpack
