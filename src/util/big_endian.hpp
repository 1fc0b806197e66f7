// A marker byte and the big-endian bytes of a number, appended straight into
// the buffer: no staging array whose byte stores a wider load would wait on.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace norvane {

// The marker, then the low N bytes of v, most significant first (N = 1, 2, 4, 8;
// T an unsigned type of N bytes, or any unsigned type when N = 1).
template <std::size_t N, class T>
inline void append_marked_be(std::string& out, uint8_t marker, T v) {
    const std::size_t len = out.size();
    out.resize_and_overwrite(len + 1 + N, [&](char* p, std::size_t) {
        p[len] = char(marker);
        if constexpr (N == 1) {
            p[len + 1] = char(v);
        } else {
            static_assert(sizeof(T) == N);
            const T be = std::endian::native == std::endian::little ? std::byteswap(v) : v;
            std::memcpy(p + len + 1, &be, N);
        }
        return len + 1 + N;
    });
}

}  // namespace norvane
