#include "diff/diff.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

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

// ---- element keys ---------------------------------------------------------------------
//
// The permutation detection groups elements by their element key, the compact tagged
// JSON text. Two values have the same key text exactly when they are "key-equal": the
// same variant with key-equal payloads, where every non-finite double (written as null)
// matches every other, a finite double matches only the same bits (the shortest text is
// unique per double, and 0.0 and -0.0 are written differently), and everything else
// compares as usual. Grouping by a structural hash and key_equal therefore gives the
// same groups as grouping by the texts, without writing them.

std::uint64_t text_hash(std::string_view s) { return std::hash<std::string_view>()(s); }

bool finite(double d) { return d - d == 0; }

std::uint64_t key_hash(const Value& v) {
    return structure_hash(
        v, [](double d) { return finite(d) ? std::bit_cast<std::uint64_t>(d) : std::uint64_t(0x7FF0DEAD); },
        [](std::string_view k) { return text_hash(k); });
}

// Same element key text. `also_equal` additionally requires equality as values (floats
// by IEEE comparison), which with key-equality means: no NaN, and floats of the same
// bits or both infinite with the same sign.
template <bool also_equal>
bool key_equal(const Value& a, const Value& b) {
    return same_structure(a, b, [](double x, double y) {
        if constexpr (also_equal) return x == y && std::signbit(x) == std::signbit(y);
        return finite(x) ? std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y) : !finite(y);
    });
}

// Same key text and equal as values: such elements always pair with each other.
bool identical(const Value& a, const Value& b) { return key_equal<true>(a, b); }

// ---- the new side read against the old value ---------------------------------------------
//
// The same questions about a node of an edit (see value/edit.hpp). A node that is a held
// subtree at the very address of the old element asked about is that element, and was
// written exactly (no NaN), so it is equal, key-equal and identical to it.

std::uint64_t key_hash(EditNode b) {
    if (b.value != nullptr) return key_hash(*b.value);
    const EditContainer& c = *b.container;
    std::uint64_t h = static_cast<std::uint64_t>(c.kind) + 1;
    if (c.kind == Value::Kind::List) {
        for (EditNode e : c.items) h = hash_mix(h, key_hash(e));
        return hash_mix(h, c.items.size());
    }
    for (const EditEntry& e : c.entries) h = hash_mix(hash_mix(h, text_hash(e.key)), key_hash(e.node));
    return hash_mix(h, c.entries.size());
}

// Equality as values (`key` false) or key-equality (`key` true, `also_equal` as above).
template <bool key, bool also_equal>
bool node_equal(const Value& a, EditNode b) {
    if (b.value != nullptr) {
        if (b.value == &a) return true;
        if constexpr (key) return key_equal<also_equal>(a, *b.value);
        else return a == *b.value;
    }
    const EditContainer& c = *b.container;
    if (a.kind() != c.kind) return false;
    if (c.kind == Value::Kind::List) {
        const ValueList& x = a.as_list();
        if (x.size() != c.items.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i)
            if (!node_equal<key, also_equal>(x[i], c.items[i])) return false;
        return true;
    }
    const ValueMap& x = a.as_map();
    if (x.size() != c.entries.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (x[i].first != c.entries[i].key || !node_equal<key, also_equal>(x[i].second, c.entries[i].node))
            return false;
    return true;
}

template <bool also_equal>
bool key_equal(const Value& a, EditNode b) { return node_equal<true, also_equal>(a, b); }
bool identical(const Value& a, EditNode b) { return node_equal<true, true>(a, b); }

bool equal(const Value& a, const Value& b) { return a == b; }
bool equal(const Value& a, EditNode b) { return node_equal<false, false>(a, b); }

Value::Kind kind_of(const Value& v) { return v.kind(); }
Value::Kind kind_of(EditNode b) { return b.kind(); }

const Value& copy_of(const Value& v) { return v; }
Value copy_of(EditNode b) { return ValueEdit::copy(b); }

// Map entries of either side.
const std::string& key_of(const std::pair<std::string, Value>& e) { return e.first; }
std::string_view key_of(const EditEntry& e) { return e.key; }
const Value& node_of(const std::pair<std::string, Value>& e) { return e.second; }
EditNode node_of(const EditEntry& e) { return e.node; }

// What the greedy edit script's working list holds for a new element put in place; it
// is never looked at again, only counted.
const Value* placed(const Value& v) { return &v; }
const Value* placed(EditNode) { return nullptr; }

// Groups of key-equal elements: an open-addressing table from key hash to group.
class KeyGroups {
public:
    explicit KeyGroups(std::size_t n) : slots_(std::bit_ceil(std::max<std::size_t>(2 * n, 8))) {}

    // The group of `v`; a new group (number = count so far) when `add` and none matches.
    template <class T>
    std::optional<std::uint32_t> find(const T& v, bool add) {
        const std::uint64_t h = key_hash(v);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (s.rep == nullptr) {
                if (!add) return std::nullopt;
                if constexpr (std::is_same_v<T, Value>) s = Slot{h, &v, static_cast<std::uint32_t>(count_++)};
                return s.group;
            }
            if (s.hash == h && key_equal<false>(*s.rep, v)) return s.group;
        }
    }
    std::size_t count() const { return count_; }

private:
    struct Slot {
        std::uint64_t hash = 0;
        const Value* rep = nullptr;
        std::uint32_t group = 0;
    };
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

// Pairs each new position with an old position holding the same element, when the two
// lists (of equal length) rearrange each other: elements of the same key pair
// first-in, first-out, and every pair must also be equal as values. Returns the old
// position for each new position, or nothing.
//
// The first `prefix` and last `suffix` positions hold identical elements in both
// lists; they pair with themselves (first-in, first-out keeps them in place), so only
// the middle is grouped.
template <class Items>
std::optional<std::vector<std::uint64_t>> pairing_order(const ValueList& old_items, const Items& new_items,
                                                        std::size_t prefix, std::size_t suffix) {
    const std::size_t n = old_items.size();
    const std::size_t begin = prefix, end = n - suffix, count = end - begin;
    KeyGroups groups(count);
    std::vector<std::uint32_t> group_of(count);
    std::vector<std::uint32_t> group_size;
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint32_t g = *groups.find(old_items[i], true);
        if (g == group_size.size()) group_size.push_back(0);
        group_of[i - begin] = g;
        ++group_size[g];
    }
    // Each group's queue of old positions, ascending, with `head` at its front.
    std::vector<std::uint32_t> head(group_size.size()), tail(group_size.size());
    std::uint32_t start = 0;
    for (std::size_t g = 0; g < group_size.size(); ++g) {
        head[g] = tail[g] = start;
        start += group_size[g];
    }
    std::vector<std::uint64_t> queued(count);
    for (std::size_t i = begin; i < end; ++i) queued[tail[group_of[i - begin]]++] = i;

    std::vector<std::uint64_t> order;
    order.reserve(n);
    for (std::size_t i = 0; i < begin; ++i) order.push_back(i);
    for (std::size_t j = begin; j < end; ++j) {
        const auto& v = new_items[j];
        const std::optional<std::uint32_t> g = groups.find(v, false);
        if (!g || head[*g] == tail[*g]) return std::nullopt;
        const std::uint64_t i = queued[head[*g]++];
        if (!equal(old_items[i], v)) return std::nullopt;
        order.push_back(i);
    }
    for (std::size_t i = end; i < n; ++i) order.push_back(i);
    return order;
}

// Whether pairing_order can succeed, answered cheaply where possible: a rearrangement
// needs the first new element of the middle to find a key-equal old one there. For
// plain values the pairing itself is the check.
bool may_pair(const ValueList&, const ValueList&, std::size_t, std::size_t) { return true; }
bool may_pair(const ValueList& old_items, const std::vector<EditNode>& new_items, std::size_t begin,
              std::size_t end) {
    const EditNode first = new_items[begin];
    for (std::size_t i = begin; i < end; ++i)
        if (key_equal<false>(old_items[i], first)) return true;
    return false;
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

template <class T>
bool is_container(const T& v) { return kind_of(v) == Value::Kind::List || kind_of(v) == Value::Kind::Map; }

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

    void node(const Value& a, EditNode b, std::vector<Op>& ops) {
        if (b.value != nullptr) {
            if (b.value != &a) node(a, *b.value, ops);
            return;
        }
        const EditContainer& c = *b.container;
        if (a.kind() == Value::Kind::Map && c.kind == Value::Kind::Map) return map(a.as_map(), c.entries, ops);
        if (a.kind() == Value::Kind::List && c.kind == Value::Kind::List) return list(a.as_list(), c.items, ops);
        if (!equal(a, b)) ops.push_back(set_op(b));
    }

    template <class Items>
    void positional(const ValueList& a, const Items& b, std::vector<Op>& ops) {
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
    template <class T>
    Op set_op(const T& v) const {
        Op op;
        op.kind = Op::Kind::Set;
        op.path = path_;
        op.value = copy_of(v);
        return op;
    }
    template <class T>
    Op insert_op(std::uint64_t index, const T& v) const {
        Op op;
        op.kind = Op::Kind::Insert;
        op.path = path_;
        op.index = index;
        op.value = copy_of(v);
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
    template <class Entries>
    void map(const ValueMap& a, const Entries& b, std::vector<Op>& ops) {
        std::vector<const std::string*> removed;
        auto ia = a.begin();
        for (const auto& entry : b) {
            const auto& key = key_of(entry);
            const auto& value = node_of(entry);
            while (ia != a.end() && ia->first < key) removed.push_back(&(ia++)->first);
            const bool common = ia != a.end() && ia->first == key;
            const Value* old_value = common ? &(ia++)->second : nullptr;
            // Equal scalars need no path; everything else gets one.
            if (old_value != nullptr && !is_container(value) && equal(*old_value, value)) continue;
            path_.push_back(PathSeg::make_key(std::string(key)));
            if (old_value != nullptr) node(*old_value, value, ops);
            else ops.push_back(set_op(value));
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

    template <class Items>
    void list(const ValueList& a, const Items& b, std::vector<Op>& ops) {
        const std::size_t n = a.size(), m = b.size();
        const std::uint64_t limit = std::max<std::uint64_t>(saturating_mul(8, std::max(n, m)), 64);

        // Leading elements equal in both lists are passed over by the greedy pass at no
        // cost; when they are identical they also pair with themselves.
        std::size_t prefix = 0;
        std::optional<std::vector<std::uint64_t>> order;
        if (n == m) {
            while (prefix < n && identical(a[prefix], b[prefix])) ++prefix;
            if (prefix == n) return;  // identity pairing, nothing displaced, nothing to emit
            std::size_t suffix = 0;
            while (suffix < n - prefix && identical(a[n - 1 - suffix], b[n - 1 - suffix])) ++suffix;
            if (may_pair(a, b, prefix, n - suffix)) order = pairing_order(a, b, prefix, suffix);
            if (order) {
                const std::uint64_t displaced = n - longest_increasing(*order);
                if (saturating_mul(displaced, n) > limit) {
                    ops.push_back(reorder_op(std::move(*order)));
                    return;
                }
            }
        } else {
            while (prefix < std::min(n, m) && equal(a[prefix], b[prefix])) ++prefix;
        }

        if (greedy(a, b, prefix, limit, ops)) return;
        // Aborted: a rearrangement becomes one Reorder, anything else the positional diff.
        if (order) ops.push_back(reorder_op(std::move(*order)));
        else positional(a, b, ops);
    }

    // The greedy edit script over a working list that always equals the old list with
    // the emitted operations applied. The working list holds pointers to old elements
    // and to the new elements put in their place. Returns false when the cost passed
    // `limit`; the operations are appended to `ops` only on success.
    // `start` leading elements are known to be equal in both lists.
    template <class Items>
    bool greedy(const ValueList& a, const Items& b, std::size_t start, std::uint64_t limit,
                std::vector<Op>& ops) {
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

        std::size_t j = start;
        while (j < m) {
            const std::size_t w = work.size();
            if (j == w) {
                local.push_back(insert_op(j, b[j]));
                work.push_back(placed(b[j]));
                ++j;
                continue;
            }
            if (equal(*work[j], b[j])) {
                ++j;
                continue;
            }
            if (over(w - j - 1)) return false;
            std::size_t k = j + 1;
            while (k < w && !equal(*work[k], b[j])) ++k;
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
                while (p < m && !equal(*work[j], b[p])) ++p;
                if (p < m) {
                    if (over(w)) return false;
                    if (w < m) {
                        local.push_back(insert_op(j, b[j]));
                        work.insert(work.begin() + j, placed(b[j]));
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
            work[j] = placed(b[j]);
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

void diff_edit(const Value& old_value, const ValueEdit& edit, std::vector<Op>& ops) {
    Differ({}).node(old_value, edit.root(), ops);
}

void diff_list_nodes(const Path& path, const Value& old_value, const EditContainer& items, std::vector<Op>& ops) {
    EditNode root;
    root.container = &items;
    Differ(path).node(old_value, root, ops);
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
