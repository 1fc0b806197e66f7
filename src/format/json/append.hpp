// Small appends for the text writers: literals and bounded pieces are written
// straight into the string's buffer (one capacity check, copies of known
// length that the compiler inlines).
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

namespace norvane::json {

// Appends what `write(char* at) -> char* end` writes, at most `max` bytes.
template <class F>
inline void append_with(std::string& out, std::size_t max, F&& write) {
    const std::size_t len = out.size();
    out.resize_and_overwrite(len + max, [&](char* p, std::size_t) { return std::size_t(write(p + len) - p); });
}

template <std::size_t N>
inline char* put_lit(char* p, const char (&lit)[N]) {
    std::memcpy(p, lit, N - 1);
    return p + N - 1;
}

template <std::size_t N>
inline void append_lit(std::string& out, const char (&lit)[N]) {
    append_with(out, N - 1, [&](char* p) { return put_lit(p, lit); });
}

inline void append_char(std::string& out, char c) {
    append_with(out, 1, [c](char* p) {
        *p = c;
        return p + 1;
    });
}

// Decimal digits of an integer; at most 20 bytes.
inline char* put_u64(char* p, uint64_t v) { return std::to_chars(p, p + 20, v).ptr; }
inline char* put_i64(char* p, int64_t v) { return std::to_chars(p, p + 20, v).ptr; }

}  // namespace norvane::json
