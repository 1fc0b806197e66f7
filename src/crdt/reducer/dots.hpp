// Causal identifiers of a CRDT document: replica names interned per document,
// dots, element ids, and the shared pointers and dot sets the node tree holds.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace norvane::crdt {

// The replica of the reserved initial dot; its dots always count as compacted.
inline constexpr std::string_view kInitReplica = "$init";

// A replica name interned by its document: dots hold this handle, equal names
// share one handle, and dots copy and compare without touching their texts.
using Replica = const std::string*;

// The replica names of one document. Handles stay valid for the table's life.
class ReplicaTable {
public:
    ReplicaTable() = default;
    ReplicaTable(const ReplicaTable&) = delete;
    ReplicaTable& operator=(const ReplicaTable&) = delete;

    Replica intern(std::string_view name);

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_set<std::string, Hash, std::equal_to<>> names_;
};

// The replica of a dot that names none (an empty name).
inline const std::string kNoReplica;

// One causal event: ordered by counter, then by the replica's bytes.
struct Dot {
    uint64_t counter = 0;
    Replica replica = &kNoReplica;

    std::string_view name() const { return *replica; }
    // Handles of one table are equal exactly when their names are; the texts
    // decide only between handles of different tables.
    friend bool operator==(const Dot& a, const Dot& b) {
        return a.counter == b.counter && (a.replica == b.replica || *a.replica == *b.replica);
    }
    friend std::strong_ordering operator<=>(const Dot& a, const Dot& b) {
        if (auto c = a.counter <=> b.counter; c != 0) return c;
        if (a.replica == b.replica) return std::strong_ordering::equal;
        int r = a.replica->compare(*b.replica);
        return r < 0 ? std::strong_ordering::less
                     : r > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
    }

    bool is_initial() const { return name() == kInitReplica; }
    // Counter at least 1 and a replica that is neither empty nor "$init".
    bool valid_operation_dot() const { return counter != 0 && !name().empty() && !is_initial(); }
};

// Makes the readers of dots in this thread intern replica names into `table`
// while the scope lives.
class InternScope {
public:
    explicit InternScope(ReplicaTable& table);
    ~InternScope();
    InternScope(const InternScope&) = delete;
    InternScope& operator=(const InternScope&) = delete;
    // The table of the innermost scope; readers of dots run only inside one.
    static ReplicaTable& table();

private:
    ReplicaTable* previous_;
};

// One sequence element: the dot of the inserting operation and the position
// among its values.
struct ElementId {
    Dot dot;
    uint32_t index = 0;

    friend bool operator==(const ElementId&, const ElementId&) = default;
    friend std::strong_ordering operator<=>(const ElementId& a, const ElementId& b) {
        if (auto c = a.dot <=> b.dot; c != 0) return c;
        return a.index <=> b.index;
    }
};

using DotSet = std::set<Dot>;
// Replica -> highest counter covered.
using Frontier = std::map<std::string, uint64_t, std::less<>>;

// True when the replica is "$init" or the frontier reaches the dot's counter.
bool dot_covered(const Dot& d, const Frontier& frontier);

struct NodeState;

// A shared, copy-on-write pointer to a node; null means "no node". Copies
// share the node; the first write access through a pointer whose node is
// shared gives that pointer a copy of its own (one level: the copy shares its
// children in turn). Reads through a const pointer never copy. A document copy
// is therefore cheap, and a change copies only the nodes along its path.
class NodePtr {
public:
    NodePtr() = default;
    explicit NodePtr(NodeState n);

    explicit operator bool() const { return p_ != nullptr; }
    const NodeState& operator*() const { return *p_; }
    const NodeState* operator->() const { return p_.get(); }
    const NodeState* get() const { return p_.get(); }
    NodeState& operator*() { return *mut(); }
    NodeState* operator->() { return mut(); }
    NodeState* get() { return mut(); }
    void reset() { p_.reset(); }

private:
    NodeState* mut();
    std::shared_ptr<NodeState> p_;
};

// An ordered set of dots whose copies share it until one of them changes.
// The dot sets of map entries and set members grow with every write below
// them; sharing keeps copies of a document cheap.
class SharedDotSet {
public:
    using const_iterator = DotSet::const_iterator;

    SharedDotSet() = default;
    SharedDotSet(DotSet s) : p_(s.empty() ? nullptr : std::make_shared<DotSet>(std::move(s))) {}

    const DotSet& get() const { return p_ ? *p_ : empty_set(); }
    operator const DotSet&() const { return get(); }
    bool empty() const { return get().empty(); }
    size_t size() const { return get().size(); }
    bool contains(const Dot& d) const { return get().contains(d); }
    const_iterator begin() const { return get().begin(); }
    const_iterator end() const { return get().end(); }

    void insert(const Dot& d) {
        if (!contains(d)) mut().insert(d);
    }
    template <class It>
    void insert(It first, It last) {
        for (; first != last; ++first) insert(*first);
    }
    void erase(const Dot& d) {
        if (contains(d)) mut().erase(d);
    }

private:
    static const DotSet& empty_set();
    DotSet& mut();
    std::shared_ptr<DotSet> p_;
};

}  // namespace norvane::crdt
