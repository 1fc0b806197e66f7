// Shared helpers of the fuzz harnesses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "util/text.hpp"

namespace fuzz {

// The input in a heap block of exactly its size, so that AddressSanitizer reports
// any read past its end.
struct Exact {
    std::unique_ptr<char[]> p;
    size_t n;
    Exact(const uint8_t* data, size_t size) : p(new char[size ? size : 1]), n(size) {
        for (size_t i = 0; i < size; ++i) p[i] = char(data[i]);
    }
    std::string_view view() const { return {p.get(), n}; }
};

[[noreturn]] inline void fail(const char* what, std::string_view a = {}, std::string_view b = {}) {
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what);
    if (!a.empty()) std::fprintf(stderr, "  first:  %.*s\n", int(a.size() > 2000 ? 2000 : a.size()), a.data());
    if (!b.empty()) std::fprintf(stderr, "  second: %.*s\n", int(b.size() > 2000 ? 2000 : b.size()), b.data());
    std::abort();
}

inline void check(bool ok, const char* what, std::string_view a = {}, std::string_view b = {}) {
    if (!ok) fail(what, a, b);
}

inline void same(std::string_view a, std::string_view b, const char* what) {
    if (a != b) fail(what, a, b);
}

// Text readers take valid UTF-8 only (that is what a Python str gives them);
// byte readers check it themselves.
inline bool utf8(std::string_view s) { return norvane::is_utf8(s); }

// Whether the JSON text of a value or patch holds a non-finite Float: it is
// written {"Float":null}, which no JSON reader accepts. (Inside a string the
// quotes would be escaped, so the bytes can only come from a Float.)
inline bool non_finite(std::string_view json) { return json.find("{\"Float\":null}") != std::string_view::npos; }

// Each format has its own nesting budget (JSON 128, CBOR 256, MessagePack 1024),
// so data deep enough for one format may be too deep for another.
inline bool too_deep(std::string_view error) {
    return error.find("recursion limit exceeded") != std::string_view::npos ||
           error.find("RecursionLimitExceeded") != std::string_view::npos ||
           error.find("depth limit exceeded") != std::string_view::npos;
}

}  // namespace fuzz
