#include "diff/diff.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "diff/patch_json.hpp"
#include "value/json.hpp"

namespace norvane {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; }

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > kMax / a) return kMax;
    return a * b;
}

// The element keys of a list: the compact tagged JSON of every element, written one
// after another into one buffer.
class ElementKeys {
public:
    void add(const Value& v) {
        value_to_json(text_, v);
        ends_.push_back(text_.size());
    }
    std::string_view last() const {
        const std::size_t begin = ends_.size() < 2 ? 0 : ends_[ends_.size() - 2];
        return std::string_view(text_).substr(begin, ends_.back() - begin);
    }
    std::string_view operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(text_).substr(begin, ends_[i] - begin);
    }
    void reserve(std::size_t n) { ends_.reserve(n); }

private:
    std::string text_;
    std::vector<std::size_t> ends_;
};

// Pairs each new position with an old position holding the same element, when the two
// lists (of equal length) rearrange each other: equal element keys pair first-in,
// first-out, and every pair must also be equal as values. Returns the old position for
// each new position, or nothing.
std::optional<std::vector<std::uint64_t>> pairing_order(const ValueList& old_items, const ValueList& new_items) {
    const std::size_t n = old_items.size();
    ElementKeys old_keys;
    old_keys.reserve(n);
    for (const Value& v : old_items) old_keys.add(v);

    // Group the old positions by key; each group's positions ascend, and `next` is the
    // front of its queue.
    std::unordered_map<std::string_view, std::uint32_t> groups;
    groups.reserve(n);
    std::vector<std::uint32_t> group_of(n);
    std::vector<std::uint32_t> group_size;
    for (std::size_t i = 0; i < n; ++i) {
        auto [it, added] = groups.try_emplace(old_keys[i], static_cast<std::uint32_t>(group_size.size()));
        if (added) group_size.push_back(0);
        group_of[i] = it->second;
        ++group_size[it->second];
    }
    std::vector<std::uint32_t> next(group_size.size());
    std::uint32_t start = 0;
    for (std::size_t g = 0; g < group_size.size(); ++g) {
        next[g] = start;
        start += group_size[g];
    }
    std::vector<std::uint32_t> end(next.begin(), next.end());
    std::vector<std::uint32_t> positions(n);
    for (std::size_t i = 0; i < n; ++i) positions[end[group_of[i]]++] = static_cast<std::uint32_t>(i);

    std::vector<std::uint64_t> order;
    order.reserve(n);
    ElementKeys new_keys;
    new_keys.reserve(n);
    for (const Value& v : new_items) {
        new_keys.add(v);
        auto it = groups.find(new_keys.last());
        if (it == groups.end()) return std::nullopt;
        const std::uint32_t g = it->second;
        if (next[g] == end[g]) return std::nullopt;
        const std::uint32_t i = positions[next[g]++];
        if (!(old_items[i] == v)) return std::nullopt;
        order.push_back(i);
    }
    return order;
}

// Length of the longest strictly increasing subsequence (patience method).
std::size_t longest_increasing(const std::vector<std::uint64_t>& order) {
    std::vector<std::uint64_t> tails;
    for (std::uint64_t x : order) {
        auto it = std::lower_bound(tails.begin(), tails.end(), x);
        if (it == tails.end()) tails.push_back(x);
        else *it = x;
    }
    return tails.size();
}

// Walks two values with one path that grows and shrinks as it descends; operations
// take their own copy of it.
class Differ {
public:
    explicit Differ(Path path) : path_(std::move(path)) {}

    void node(const Value& a, const Value& b, std::vector<Op>& ops) {
        if (a.kind() == Value::Kind::Map && b.kind() == Value::Kind::Map) return map(a.as_map(), b.as_map(), ops);
        if (a.kind() == Value::Kind::List && b.kind() == Value::Kind::List) return list(a.as_list(), b.as_list(), ops);
        if (!(a == b)) ops.push_back(set_op(b));
    }

    void positional(const ValueList& a, const ValueList& b, std::vector<Op>& ops) {
        const std::size_t n = a.size(), m = b.size();
        const std::size_t common = std::min(n, m);
        for (std::size_t i = 0; i < common; ++i) {
            path_.push_back(PathSeg::make_index(i));
            node(a[i], b[i], ops);
            path_.pop_back();
        }
        for (std::size_t i = n; i < m; ++i) ops.push_back(insert_op(i, b[i]));
        for (std::size_t i = n; i > m; --i) ops.push_back(remove_at_op(i - 1));
    }

private:
    Op set_op(const Value& v) const {
        Op op;
        op.kind = Op::Kind::Set;
        op.path = path_;
        op.value = v;
        return op;
    }
    Op insert_op(std::uint64_t index, const Value& v) const {
        Op op;
        op.kind = Op::Kind::Insert;
        op.path = path_;
        op.index = index;
        op.value = v;
        return op;
    }
    Op remove_at_op(std::uint64_t index) const {
        Op op;
        op.kind = Op::Kind::RemoveAt;
        op.path = path_;
        op.index = index;
        return op;
    }
    Op move_op(std::uint64_t from, std::uint64_t to) const {
        Op op;
        op.kind = Op::Kind::Move;
        op.path = path_;
        op.from = from;
        op.to = to;
        return op;
    }
    Op reorder_op(std::vector<std::uint64_t> order) const {
        Op op;
        op.kind = Op::Kind::Reorder;
        op.path = path_;
        op.order = std::move(order);
        return op;
    }

    // New keys in ascending order (nested changes and additions interleaved), then the
    // removed keys in ascending order. Both maps are sorted, so one merge walk serves.
    void map(const ValueMap& a, const ValueMap& b, std::vector<Op>& ops) {
        std::vector<const std::string*> removed;
        auto ia = a.begin();
        for (const auto& [key, value] : b) {
            while (ia != a.end() && ia->first < key) removed.push_back(&(ia++)->first);
            path_.push_back(PathSeg::make_key(key));
            if (ia != a.end() && ia->first == key) {
                node(ia->second, value, ops);
                ++ia;
            } else {
                ops.push_back(set_op(value));
            }
            path_.pop_back();
        }
        for (; ia != a.end(); ++ia) removed.push_back(&ia->first);
        for (const std::string* key : removed) {
            Op op;
            op.kind = Op::Kind::Remove;
            op.path = path_;
            op.path.push_back(PathSeg::make_key(*key));
            ops.push_back(std::move(op));
        }
    }

    void list(const ValueList& a, const ValueList& b, std::vector<Op>& ops) {
        const std::size_t n = a.size(), m = b.size();
        const std::uint64_t limit = std::max<std::uint64_t>(saturating_mul(8, std::max(n, m)), 64);

        std::optional<std::vector<std::uint64_t>> order;
        if (n == m) {
            order = pairing_order(a, b);
            if (order) {
                const std::uint64_t displaced = n - longest_increasing(*order);
                if (displaced == 0) return;  // the lists are equal: the greedy pass emits nothing
                if (saturating_mul(displaced, n) > limit) {
                    ops.push_back(reorder_op(std::move(*order)));
                    return;
                }
            }
        }

        if (greedy(a, b, limit, ops)) return;
        // Aborted: a rearrangement becomes one Reorder, anything else the positional diff.
        if (order) ops.push_back(reorder_op(std::move(*order)));
        else positional(a, b, ops);
    }

    // The greedy edit script over a working list that always equals the old list with
    // the emitted operations applied. The working list holds pointers to old elements
    // and to the new elements put in their place. Returns false when the cost passed
    // `limit`; the operations are appended to `ops` only on success.
    bool greedy(const ValueList& a, const ValueList& b, std::uint64_t limit, std::vector<Op>& ops) {
        const std::size_t m = b.size();
        std::vector<const Value*> work;
        work.reserve(std::max(a.size(), m));
        for (const Value& v : a) work.push_back(&v);
        std::vector<Op> local;
        std::uint64_t cost = 0;
        auto over = [&](std::uint64_t amount) {
            cost = saturating_add(cost, amount);
            return cost > limit;
        };

        std::size_t j = 0;
        while (j < m) {
            const std::size_t w = work.size();
            if (j == w) {
                local.push_back(insert_op(j, b[j]));
                work.push_back(&b[j]);
                ++j;
                continue;
            }
            if (*work[j] == b[j]) {
                ++j;
                continue;
            }
            if (over(w - j - 1)) return false;
            std::size_t k = j + 1;
            while (k < w && !(*work[k] == b[j])) ++k;
            if (k < w) {
                if (over(w)) return false;
                local.push_back(move_op(k, j));
                std::rotate(work.begin() + j, work.begin() + k, work.begin() + k + 1);
                ++j;
                continue;
            }
            if (over(m - j - 1)) return false;
            if (j != m - 1) {
                std::size_t p = j + 1;
                while (p < m && !(b[p] == *work[j])) ++p;
                if (p < m) {
                    if (over(w)) return false;
                    if (w < m) {
                        local.push_back(insert_op(j, b[j]));
                        work.insert(work.begin() + j, &b[j]);
                        ++j;
                        continue;
                    }
                    if (!(*work[j + 1] == *work[j])) {
                        local.push_back(move_op(j, p));
                        std::rotate(work.begin() + j, work.begin() + j + 1, work.begin() + p + 1);
                        continue;  // the same position is examined again
                    }
                }
            }
            // Replace: nested changes at the current position.
            path_.push_back(PathSeg::make_index(j));
            node(*work[j], b[j], local);
            path_.pop_back();
            work[j] = &b[j];
            ++j;
        }
        for (std::size_t i = work.size(); i > m; --i) local.push_back(remove_at_op(i - 1));
        if (ops.empty()) ops = std::move(local);
        else std::move(local.begin(), local.end(), std::back_inserter(ops));
        return true;
    }

    Path path_;
};

}  // namespace

void diff_value(const Path& path, const Value& old_value, const Value& new_value, std::vector<Op>& ops) {
    Differ(path).node(old_value, new_value, ops);
}

Path child_path(const Path& path, PathSeg seg) {
    Path out;
    out.reserve(path.size() + 1);
    out = path;
    out.push_back(std::move(seg));
    return out;
}

void diff_list_positionally(const Path& path, const ValueList& old_items, const ValueList& new_items,
                            std::vector<Op>& ops) {
    Differ(path).positional(old_items, new_items, ops);
}

Result<std::string> diff_texts(std::string_view old_json, std::string_view new_json) {
    Value old_value = NV_TRY(parse_value(old_json));
    Value new_value = NV_TRY(parse_value(new_json));
    Patch patch;
    diff_value({}, old_value, new_value, patch.ops);
    return patch_to_json(patch);
}

}  // namespace norvane
