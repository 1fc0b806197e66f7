// Causal identifiers of a CRDT document: replica names interned per document,
// dots, element ids, and the shared pointers and dot sets the node tree holds.
#pragma once

#include <algorithm>
#include <compare>
#include <functional>
#include <vector>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "util/sorted_pairs.hpp"

namespace norvane::crdt {

// The replica of the reserved initial dot; its dots always count as compacted.
inline constexpr std::string_view kInitReplica = "$init";

// A replica name as its document keeps it: the text, and the text as a JSON
// string, written wherever a dot is.
struct ReplicaName {
    std::string text;
    std::string json;
};

// A replica name interned by its document: dots hold this handle, equal names
// share one handle, and dots copy and compare without touching their texts.
using Replica = const ReplicaName*;

// The replica names of one document. Handles stay valid for the table's life.
class ReplicaTable {
public:
    ReplicaTable() = default;
    ReplicaTable(const ReplicaTable&) = delete;
    ReplicaTable& operator=(const ReplicaTable&) = delete;

    Replica intern(std::string_view name) {
        // Dots read one after the other mostly name one replica.
        if (last_ && same_key(last_->text, name)) return last_;
        return intern_other(name);
    }

private:
    Replica intern_other(std::string_view name);
    std::unordered_map<std::string_view, std::unique_ptr<ReplicaName>> names_;
    Replica last_ = nullptr;  // the name interned last
};

// The replica of a dot that names none (an empty name).
inline const ReplicaName kNoReplica{"", "\"\""};

// One causal event: ordered by counter, then by the replica's bytes.
struct Dot {
    uint64_t counter = 0;
    Replica replica = &kNoReplica;

    std::string_view name() const { return replica->text; }
    // Handles of one table are equal exactly when their names are; the texts
    // decide only between handles of different tables.
    friend bool operator==(const Dot& a, const Dot& b) {
        return a.counter == b.counter && (a.replica == b.replica || a.replica->text == b.replica->text);
    }
    friend std::strong_ordering operator<=>(const Dot& a, const Dot& b) {
        if (auto c = a.counter <=> b.counter; c != 0) return c;
        if (a.replica == b.replica) return std::strong_ordering::equal;
        int r = a.replica->text.compare(b.replica->text);
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

// Makes room for one more element, growing the capacity geometrically: an
// append after it cannot fail for want of memory, and appends stay amortised
// constant time. The first room is about 256 bytes (at least one element):
// a call of one operation keeps its records in a small allocation.
template <class Vec>
void reserve_one(Vec& v) {
    constexpr size_t kFirst = std::max<size_t>(1, 256 / sizeof(typename Vec::value_type));
    if (v.size() == v.capacity()) v.reserve(v.size() < kFirst ? kFirst : 2 * v.size());
}

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
    // Whether a write through this pointer would copy the node.
    bool shared() const { return p_.use_count() > 1; }

private:
    NodeState* mut();
    std::shared_ptr<NodeState> p_;
};

// Runs of consecutive counters of one replica, in a list whose first run is
// held inline: the dots of most map entries and set members are one run, and
// take no allocation of their own.
struct DotRun {
    Replica replica;
    uint64_t first, last;
};

class DotRunList {
public:
    DotRunList() = default;
    DotRunList(const DotRunList& o) { assign(o); }
    DotRunList& operator=(const DotRunList& o) {
        if (this != &o) {
            clear();
            assign(o);
        }
        return *this;
    }
    DotRunList(DotRunList&& o) noexcept : w_(o.w_) { o.w_ = DotRun{nullptr, 0, 0}; }
    DotRunList& operator=(DotRunList&& o) noexcept {
        if (this != &o) {
            clear();
            w_ = o.w_;
            o.w_ = DotRun{nullptr, 0, 0};
        }
        return *this;
    }
    ~DotRunList() { clear(); }

    size_t size() const { return heap() ? size_t(w_.last & 0xFFFFFFFFu) : w_.replica ? 1 : 0; }
    bool empty() const { return w_.replica == nullptr; }
    DotRun* begin() { return heap() ? data() : &w_; }
    DotRun* end() { return begin() + size(); }
    const DotRun* begin() const { return heap() ? data() : &w_; }
    const DotRun* end() const { return begin() + size(); }
    const DotRun& operator[](size_t i) const { return begin()[i]; }

    // Puts `r` before `at`; returns where it stands.
    DotRun* insert(DotRun* at, const DotRun& r);
    // Allocates nothing.
    void erase(DotRun* at);

private:
    // The replica an out-of-line list marks itself with: its runs' address
    // in `first`, their number and room in `last`.
    static const ReplicaName kOutOfLine;
    bool heap() const { return w_.replica == &kOutOfLine; }
    DotRun* data() const { return reinterpret_cast<DotRun*>(uintptr_t(w_.first)); }
    size_t room() const { return size_t(w_.last >> 32); }
    void set_heap(DotRun* p, size_t n, size_t cap) {
        w_ = DotRun{&kOutOfLine, uint64_t(reinterpret_cast<uintptr_t>(p)), uint64_t(n) | (uint64_t(cap) << 32)};
    }
    void assign(const DotRunList& o);
    void clear();

    DotRun w_{nullptr, 0, 0};  // none (a null replica), the one run, or the out-of-line runs
};

// A set of dots kept as runs of consecutive counters of one replica: the dots
// of the writes below a map entry or set member, most of them one replica's
// consecutive operations, take a few words instead of a tree node each.
class DotRuns {
public:
    bool empty() const { return runs_.empty(); }
    size_t size() const;
    bool contains(const Dot& d) const;
    // Adds `d`; false when it was there. Only ever extends a run at its end or
    // starts one, so that `erase_added` of the newest dot allocates nothing.
    bool insert(const Dot& d);
    // The run that `d` comes right after when that is the last run of its
    // replica and among the last few runs (a replica writing on): `d` is then
    // not in the set, and `insert` would extend that run. Null otherwise.
    DotRun* run_before(const Dot& d) {
        constexpr size_t kLooked = 4;
        DotRun* const first = runs_.begin();
        for (DotRun* r = runs_.end(); r != first && runs_.end() - r < ptrdiff_t(kLooked);) {
            --r;
            if (r->replica == d.replica) return r->last + 1 == d.counter ? r : nullptr;
        }
        return nullptr;
    }
    // Takes back the newest `insert` of `d` still standing.
    void erase_added(const Dot& d);
    // Every dot in ascending order; `f` returns false to stop. Returns
    // whether it ran to the end.
    bool for_each(const std::function<bool(const Dot&)>& f) const;
    std::vector<Dot> sorted() const;
    // In no particular order.
    template <class F>
    bool any_of(F&& f) const {
        for (const Run& r : runs_)
            for (uint64_t c = r.first;; ++c) {
                if (f(Dot{c, r.replica})) return true;
                if (c == r.last) break;
            }
        return false;
    }
    template <class F>
    bool all_of(F&& f) const {
        return !any_of([&](const Dot& d) { return !f(d); });
    }

private:
    using Run = DotRun;
    // By replica handle, then counter; runs of one replica do not overlap.
    DotRunList runs_;
};

// The removal filter of a walk down the node tree: the `removed` sets of the
// map entries and set members it passed. A dot in any of them is hidden.
class RemovalFilter {
public:
    bool empty() const { return sets_.empty(); }
    bool contains(const Dot& d) const {
        for (const DotRuns* s : sets_)
            if (s->contains(d)) return true;
        return false;
    }
    // The filter below an entry whose removals observed `removed`.
    RemovalFilter with(const DotRuns& removed) const {
        RemovalFilter f = *this;
        if (!removed.empty()) f.sets_.push_back(&removed);
        return f;
    }
    void add(const DotRuns& removed) {
        if (!removed.empty()) sets_.push_back(&removed);
    }

private:
    std::vector<const DotRuns*> sets_;
};

}  // namespace norvane::crdt
