// Results and internal expectations shared by the whole core.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <expected>
#include <string>
#include <utility>

namespace norvane {

// Every fallible core operation yields its value or one user-visible message.
template <class T>
using Result = std::expected<T, std::string>;

using Status = Result<void>;

inline std::unexpected<std::string> fail(std::string message) {
    return std::unexpected<std::string>(std::move(message));
}

// Reports a broken internal invariant and aborts. Never used for input checks.
[[noreturn]] inline void internal_fault(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace norvane

#define NORVANE_EXPECT(cond, what)                  \
    do {                                            \
        if (!(cond)) ::norvane::internal_fault(what); \
    } while (0)

// Unwraps an expected-like value or returns its error from the enclosing function.
// Works for any std::expected whose error converts to the enclosing return type's error.
#define NV_TRY(expr)                                                    \
    ({                                                                  \
        auto&& nv_try_r_ = (expr);                                      \
        if (!nv_try_r_) [[unlikely]]                                    \
            return ::std::unexpected(::std::move(nv_try_r_).error());   \
        ::std::move(*nv_try_r_);                                        \
    })

// Same, for expected<void, E>.
#define NV_CHECK(expr)                                                  \
    do {                                                                \
        auto&& nv_try_r_ = (expr);                                      \
        if (!nv_try_r_) [[unlikely]]                                    \
            return ::std::unexpected(::std::move(nv_try_r_).error());   \
    } while (0)
