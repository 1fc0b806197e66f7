// The one rule for the members of objects and maps: ascending byte order of
// the keys, and a key given twice keeps the value given last.
//
// sort_keep_last() is where the rule is decided; the helpers below apply it
// to positions, to a vector of pairs, or to members written out as byte
// ranges of an output buffer.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvane {

namespace sorted_detail {

// The first eight bytes of a key as a big-endian number (zero-padded): keys
// whose prefixes differ compare as their prefixes do. Read with loads of the
// key's own bytes only (overlapping where shorter), never through a buffer
// written byte by byte.
[[gnu::always_inline]] inline uint64_t key_prefix(std::string_view k) {
    const auto* p = reinterpret_cast<const unsigned char*>(k.data());
    const size_t n = k.size();
    auto be32 = [](const unsigned char* q) {
        uint32_t v;
        std::memcpy(&v, q, 4);
        if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
        return uint64_t(v);
    };
    if (n >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
        return v;
    }
    if (n >= 4) return be32(p) << 32 | be32(p + n - 4) << (8 * (8 - n));
    if (n == 0) return 0;
    return uint64_t(p[0]) << 56 | uint64_t(p[n / 2]) << (56 - 8 * (n / 2)) | uint64_t(p[n - 1]) << (56 - 8 * (n - 1));
}

struct Item {
    uint64_t prefix;
    uint32_t index;
};

// The rule itself: items[0..n) become the members 0..n-1 in ascending order
// of key(i) (stable), of each run of equal keys only the last. Returns how
// many items are kept.
template <class Key>
size_t sort_keep_last(size_t n, Key key, Item* items) {
    for (size_t k = 0; k < n; ++k) items[k] = Item{key_prefix(key(uint32_t(k))), uint32_t(k)};
    auto less = [&](const Item& a, const Item& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return key(a.index) < key(b.index);
    };
    if (n <= 24) {
        for (size_t a = 1; a < n; ++a) {
            const Item x = items[a];
            size_t b = a;
            for (; b > 0 && less(x, items[b - 1]); --b) items[b] = items[b - 1];
            items[b] = x;
        }
    } else {
        std::stable_sort(items, items + n, less);
    }
    size_t kept = 0;
    for (size_t k = 0; k < n; ++k) {
        if (k + 1 < n && items[k + 1].prefix == items[k].prefix && key(items[k + 1].index) == key(items[k].index))
            continue;
        items[kept++] = items[k];
    }
    return kept;
}

}  // namespace sorted_detail

// Member order as the comparator of an ordered container of keys: the keys'
// first eight bytes compared as one number, and only keys that share them
// compared in full.
struct KeyLess {
    using is_transparent = void;
    [[gnu::always_inline]] bool operator()(std::string_view a, std::string_view b) const noexcept {
        const uint64_t x = sorted_detail::key_prefix(a), y = sorted_detail::key_prefix(b);
        if (x != y) return x < y;
        // Short keys with one prefix differ only by zero bytes at the end of the longer.
        if (a.size() <= 8 && b.size() <= 8) return a.size() < b.size();
        return a < b;
    }
};

namespace sorted_detail {
// Whether the first and the last sizeof(W) bytes of two texts of n bytes
// (sizeof(W) <= n) differ.
template <class W>
[[gnu::always_inline]] inline bool ends_differ(const char* p, const char* q, size_t n) noexcept {
    W x0, x1, y0, y1;
    std::memcpy(&x0, p, sizeof(W));
    std::memcpy(&y0, q, sizeof(W));
    std::memcpy(&x1, p + n - sizeof(W), sizeof(W));
    std::memcpy(&y1, q + n - sizeof(W), sizeof(W));
    return ((x0 ^ y0) | (x1 ^ y1)) != 0;
}
}  // namespace sorted_detail

// Whether two keys hold the same bytes; those of up to 16 bytes (most
// names) are compared as words that overlap, without a call.
[[gnu::always_inline]] inline bool same_key(std::string_view a, std::string_view b) noexcept {
    const size_t n = a.size();
    if (n != b.size()) return false;
    const char *p = a.data(), *q = b.data();
    using sorted_detail::ends_differ;
    if (n > 16) return std::memcmp(p, q, n) == 0;
    if (n >= 8) return !ends_differ<uint64_t>(p, q, n);
    if (n >= 4) return !ends_differ<uint32_t>(p, q, n);
    return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
}

// The positions 0..n-1 of members in member order. `order` is reused
// scratch; the result views it.
template <class Key>
std::span<const uint32_t> sorted_unique_positions(size_t n, Key key, std::vector<uint32_t>& order) {
    order.resize(n);
    for (size_t k = 0; k < n; ++k) order[k] = uint32_t(k);
    size_t i = 1;
    while (i < n && key(order[i - 1]) < key(order[i])) ++i;
    if (i >= n) return order;
    using sorted_detail::Item;
    auto take = [&](Item* items) {
        const size_t kept = sorted_detail::sort_keep_last(n, key, items);
        for (size_t k = 0; k < kept; ++k) order[k] = items[k].index;
        order.resize(kept);
    };
    if (n <= 24) {
        std::array<Item, 24> items;
        take(items.data());
    } else {
        std::vector<Item> items(n);
        take(items.data());
    }
    return order;
}

// Pairs put in member order.
template <class T>
void sort_pairs_keep_last(std::vector<std::pair<std::string, T>>& pairs) {
    const size_t n = pairs.size();
    size_t i = 1;
    while (i < n && pairs[i - 1].first < pairs[i].first) ++i;
    if (i >= n) return;
    std::vector<uint32_t> order;
    auto positions = sorted_unique_positions(n, [&](uint32_t k) -> std::string_view { return pairs[k].first; }, order);
    std::vector<std::pair<std::string, T>> out;
    out.reserve(positions.size());
    for (uint32_t k : positions) out.push_back(std::move(pairs[k]));
    pairs = std::move(out);
}

// Scratch of rewrite_members, kept across the objects of one conversion.
struct RewriteScratch {
    std::vector<sorted_detail::Item> items;
    std::string region;
};

// The members of one object, written one after another into `out` as the
// byte ranges [start(i), end(i)) for i in 0..n-1 (the first starting where
// the object's members start, `sep` between them), are rewritten in member
// order. Returns how many are kept. The keys may view `out`.
template <class Key, class Start, class End>
size_t rewrite_members(std::string& out, size_t n, Key key, Start start, End end, std::string_view sep,
                       RewriteScratch& scratch) {
    scratch.items.resize(n);
    const size_t kept = sorted_detail::sort_keep_last(n, key, scratch.items.data());
    const size_t region_start = start(0);
    std::string& tmp = scratch.region;
    tmp.clear();
    tmp.reserve(out.size() - region_start);
    for (size_t k = 0; k < kept; ++k) {
        if (k) tmp.append(sep);
        const uint32_t i = scratch.items[k].index;
        tmp.append(out, start(i), end(i) - start(i));
    }
    std::memcpy(out.data() + region_start, tmp.data(), tmp.size());
    out.resize(region_start + tmp.size());
    return kept;
}

}  // namespace norvane
