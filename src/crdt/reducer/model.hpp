// The replicated state of a CRDT document: the node tree that mirrors the
// policy tree, the undo log of a call, and path segments.
#pragma once

#include <algorithm>
#include <compare>
#include <iterator>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "crdt/reducer/dots.hpp"
#include "util/result.hpp"
#include "value/value.hpp"

namespace norvane::crdt {

struct MapEntryState {
    NodePtr node;  // always set
    SharedDotSet dots;
    SharedDotSet removed;
    SharedDotSet removal_ops;
};

struct SetEntryState {
    NodePtr node;  // always set
    SharedDotSet adds;
    SharedDotSet removed;
    SharedDotSet removal_ops;
};

struct SequenceEntryState {
    std::optional<ElementId> after;
    NodePtr node;  // null once compaction purged it
    bool inserted = false;
};

// An ordered map kept as one sorted vector: cheap to copy and to walk in order.
// Iterators and references are invalidated by insertions.
template <class K, class V>
class FlatMap {
public:
    using value_type = std::pair<K, V>;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    iterator begin() { return v_.begin(); }
    iterator end() { return v_.end(); }
    const_iterator begin() const { return v_.begin(); }
    const_iterator end() const { return v_.end(); }
    size_t size() const { return v_.size(); }
    bool empty() const { return v_.empty(); }

    iterator lower_bound(const K& k) {
        return std::lower_bound(v_.begin(), v_.end(), k, [](const value_type& a, const K& b) { return a.first < b; });
    }
    const_iterator lower_bound(const K& k) const {
        return std::lower_bound(v_.begin(), v_.end(), k, [](const value_type& a, const K& b) { return a.first < b; });
    }
    iterator find(const K& k) {
        auto it = lower_bound(k);
        return it != v_.end() && it->first == k ? it : v_.end();
    }
    const_iterator find(const K& k) const {
        auto it = lower_bound(k);
        return it != v_.end() && it->first == k ? it : v_.end();
    }
    bool contains(const K& k) const { return find(k) != v_.end(); }

    std::pair<iterator, bool> emplace(const K& k, V value) {
        auto it = lower_bound(k);
        if (it != v_.end() && it->first == k) return {it, false};
        return {v_.insert(it, value_type(k, std::move(value))), true};
    }
    V& operator[](const K& k) { return emplace(k, V{}).first->second; }
    void erase(const K& k) {
        auto it = find(k);
        if (it != v_.end()) v_.erase(it);
    }

    // Adds a default value under every key of `keys` (ascending) that is missing,
    // in one pass over the map.
    void add_missing(const std::vector<K>& keys) {
        std::vector<value_type> fresh;
        for (const auto& k : keys)
            if (!contains(k)) fresh.emplace_back(k, V{});
        if (fresh.empty()) return;
        if (fresh.size() < 8) {
            for (auto& kv : fresh) emplace(kv.first, std::move(kv.second));
            return;
        }
        std::vector<value_type> merged;
        merged.reserve(v_.size() + fresh.size());
        std::merge(std::make_move_iterator(v_.begin()), std::make_move_iterator(v_.end()),
                   std::make_move_iterator(fresh.begin()), std::make_move_iterator(fresh.end()),
                   std::back_inserter(merged), [](const value_type& a, const value_type& b) { return a.first < b.first; });
        v_ = std::move(merged);
    }

    // From pairs already in ascending key order without repeats.
    static FlatMap from_sorted(std::vector<value_type> v) {
        FlatMap m;
        m.v_ = std::move(v);
        return m;
    }

private:
    std::vector<value_type> v_;
};

struct RegisterNode {
    std::optional<Value> value;
    std::optional<Dot> dot;
};
struct MapNode {
    std::map<std::string, MapEntryState, std::less<>> entries;
};
struct SetNode {
    std::map<std::string, SetEntryState, std::less<>> entries;
};
// The document order of a sequence's inserted entries, derived from its entries
// and deletions to spare recomputing it; not part of the saved state. Every
// change to the entries either keeps it up to date or clears `valid`.
struct SequenceOrder {
    bool valid = false;
    // Every inserted entry is reached from the head (no orphans, no cycles).
    bool complete = false;
    // Positions in `entries` of the inserted entries, in document order.
    std::vector<uint32_t> order;
    // Per position in `entries`: 1 when the element has deletions.
    std::vector<uint8_t> deleted;
    // Per position in `entries`: 0 when the element shows nothing under an empty
    // filter (a placeholder, deleted, or without node); otherwise the bytes of
    // its character when its node is a register holding one, else kNotChar.
    std::vector<uint8_t> width;
    static constexpr uint8_t kNotChar = 0xFF;
    // Over the elements shown (width not 0): their number, the bytes of those
    // holding a character, and the number of the others.
    size_t shown = 0, shown_bytes = 0, shown_other = 0;
    void count(uint8_t w, int sign) {
        if (!w) return;
        shown += size_t(sign);
        if (w == kNotChar) shown_other += size_t(sign);
        else shown_bytes += size_t(sign) * w;
    }
    // The dot of the last insertion placed into a known order (its elements
    // took no element's place); counter 0 when the order was recomputed since.
    Dot placed;
    // Where in `order` that insertion's first element went.
    size_t placed_at = 0;
};

struct SequenceNode {
    FlatMap<ElementId, SequenceEntryState> entries;
    std::map<ElementId, DotSet> deletes;
    SequenceOrder order;
};

// The kinds in the order of the policy kinds.
enum class StateKind : uint8_t { Register, Map, Set, Sequence };
inline constexpr std::string_view kStateKindNames[] = {"register", "map", "set", "sequence"};

struct NodeState {
    std::variant<RegisterNode, MapNode, SetNode, SequenceNode> v;

    StateKind kind() const { return StateKind(v.index()); }
    static NodeState empty(StateKind k);

    RegisterNode* reg() { return std::get_if<RegisterNode>(&v); }
    MapNode* map() { return std::get_if<MapNode>(&v); }
    SetNode* set() { return std::get_if<SetNode>(&v); }
    SequenceNode* seq() { return std::get_if<SequenceNode>(&v); }
    const RegisterNode* reg() const { return std::get_if<RegisterNode>(&v); }
    const MapNode* map() const { return std::get_if<MapNode>(&v); }
    const SetNode* set() const { return std::get_if<SetNode>(&v); }
    const SequenceNode* seq() const { return std::get_if<SequenceNode>(&v); }
};

// The changes a call makes to the node tree, recorded as it makes them so that
// a failing call can take them back (newest first) instead of working on a copy.
// Recorded pointers address containers that stay in place for the call: nodes
// behind unshared pointers and entries of node-based maps.
class UndoLog {
public:
    UndoLog() = default;
    UndoLog(const UndoLog&) = delete;
    UndoLog& operator=(const UndoLog&) = delete;

    void map_entry_added(MapNode* m, std::string key);
    void set_entry_added(SetNode* s, std::string key);
    // `d` was not in `*s` before.
    void dot_added(SharedDotSet* s, Dot d);
    // Saves a register's content before it is overwritten.
    void register_saved(RegisterNode* r);
    // `ids` were not entries of `q` before.
    void seq_entries_added(SequenceNode* q, std::vector<ElementId> ids);
    // Saves the fields of an existing entry before they change.
    void seq_entry_saved(SequenceNode* q, const ElementId& id, const SequenceEntryState& e);
    // A write below an element of `q` may change what it shows: its cached
    // order is dropped when the call is taken back.
    void seq_order_touched(SequenceNode* q);
    // `d` was added to the deletions of `id`; `created` when `id` had none.
    void seq_delete_added(SequenceNode* q, const ElementId& id, Dot d, bool created);

    bool empty() const { return undo_.empty(); }
    // Takes every recorded change back, newest first, and forgets them.
    void rollback();
    void clear() { undo_.clear(); }

    struct Record {
        virtual ~Record() = default;
        virtual void undo() = 0;
    };

private:
    template <class F>
    void push(F f);
    std::vector<std::unique_ptr<Record>> undo_;
};

// One step of a CRDT path.
struct PathSegment {
    enum class Kind : uint8_t { Key, Member, Element };
    Kind kind = Kind::Key;
    std::string key;  // Key, Member
    ElementId id;     // Element

    friend bool operator==(const PathSegment&, const PathSegment&) = default;
};
inline constexpr std::string_view kSegmentKindNames[] = {"key", "member", "element"};
using CrdtPath = std::vector<PathSegment>;

// "replica identifier must be non-empty and cannot be reserved $init"
Status validate_replica(std::string_view replica);

// Diagnostic texts: Dot { counter: 1, replica: "r" } and
// ElementId { dot: Dot { counter: 1, replica: "r" }, index: 0 }.
void append_debug(std::string& out, const Dot& d);
void append_debug(std::string& out, const ElementId& id);
std::string debug_text(const Dot& d);
std::string debug_text(const ElementId& id);

}  // namespace norvane::crdt
