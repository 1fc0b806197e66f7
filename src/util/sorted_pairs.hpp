// Key-sorted vectors of (key, value) pairs: objects and maps keep their members
// in ascending byte order of the keys, and a key given twice keeps the value
// given last.
#pragma once

#include <algorithm>
#include <cstddef>
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
