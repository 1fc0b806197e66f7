// Key-sorted vectors of (key, value) pairs: objects and maps keep their members
// in ascending byte order of the keys, and a key given twice keeps the value
// given last.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace norvane {

template <class T>
void sort_pairs_keep_last(std::vector<std::pair<std::string, T>>& pairs) {
    bool sorted_unique = true;
    for (size_t i = 1; i < pairs.size(); ++i) {
        if (!(pairs[i - 1].first < pairs[i].first)) {
            sorted_unique = false;
            break;
        }
    }
    if (sorted_unique) return;
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    size_t out = 0;
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (i + 1 < pairs.size() && pairs[i + 1].first == pairs[i].first) continue;
        if (out != i) pairs[out] = std::move(pairs[i]);
        ++out;
    }
    pairs.resize(out);
}

}  // namespace norvane

namespace norvane {

// The positions 0..n-1 of gathered members in ascending order of key(i)
// (stable), keeping only the last of each run of equal keys. `order` is
// reused scratch; the result views it.
template <class Key>
std::span<const uint32_t> sorted_unique_positions(size_t n, Key key, std::vector<uint32_t>& order) {
    order.resize(n);
    for (size_t k = 0; k < n; ++k) order[k] = uint32_t(k);
    size_t i = 1;
    while (i < n && key(order[i - 1]) < key(order[i])) ++i;
    if (i >= n) return order;
    auto less = [&](uint32_t a, uint32_t b) { return key(a) < key(b); };
    if (n <= 24) {
        for (; i < n; ++i) {
            const uint32_t x = order[i];
            size_t j = i;
            for (; j > 0 && less(x, order[j - 1]); --j) order[j] = order[j - 1];
            order[j] = x;
        }
    } else {
        std::stable_sort(order.begin(), order.end(), less);
    }
    size_t kept = 0;
    for (size_t k = 0; k < n; ++k)
        if (k + 1 == n || key(order[k + 1]) != key(order[k])) order[kept++] = order[k];
    order.resize(kept);
    return order;
}

}  // namespace norvane
