// Records declared once: a declaration D is a type with
//
//   static constexpr auto fields = std::tuple{field, ...};
//
// each field an object with a `name` (and whatever its record needs besides: the member
// it is read into, how it is written when absent, ...), in declared order. What every
// record derives from its declaration is here: the number and names of its fields, their
// ascending byte order, and calls on each field or on the field of a given index.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace norvane::record_fields {

template <class D>
inline constexpr size_t kCount = std::tuple_size_v<std::remove_cv_t<decltype(D::fields)>>;

template <class D>
inline constexpr auto kNames = std::apply(
    [](const auto&... f) { return std::array<std::string_view, sizeof...(f)>{f.name...}; }, D::fields);

// Field indices in ascending byte order of the names.
template <class D>
inline constexpr auto kSorted = [] {
    std::array<size_t, kCount<D>> order{};
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [](size_t a, size_t b) { return kNames<D>[a] < kNames<D>[b]; });
    return order;
}();

// Calls f.template operator()<P, I>() for each field I, P counting from 0: in declared
// order, or in ascending byte order of the names when `Sorted`.
template <class D, bool Sorted = false, class F>
constexpr void for_each_field(F&& f) {
    [&]<size_t... P>(std::index_sequence<P...>) {
        (f.template operator()<P, Sorted ? kSorted<D>[P] : P>(), ...);
    }(std::make_index_sequence<kCount<D>>{});
}

// Calls f(field) for field index i (known at run time, below the count); returns its result.
template <class D, size_t I = 0, class F>
decltype(auto) with_field(size_t i, F&& f) {
    if constexpr (I + 1 < kCount<D>) {
        if (i != I) return with_field<D, I + 1>(i, f);
    }
    return f(std::get<I>(D::fields));
}

// The index of the field with this name, or -1.
template <class D>
int field_index(std::string_view name) {
    for (size_t i = 0; i < kCount<D>; ++i)
        if (kNames<D>[i] == name) return int(i);
    return -1;
}

}  // namespace norvane::record_fields
