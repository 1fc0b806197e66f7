// The replicated state of a CRDT document: the node tree that mirrors the
// policy tree, the undo log of a call, and path segments.
#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <new>
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
#include <type_traits>
#include <vector>

#include "crdt/reducer/dots.hpp"
#include "crdt/reducer/sequence.hpp"
#include "util/result.hpp"
#include "util/sorted_pairs.hpp"
#include "value/value.hpp"

namespace norvane::crdt {

// A map entry or a set member: its node, the dots of the writes that make it
// show (a map entry's every write below it, a set member's adds), the dots its
// removals observed, and those removals' own dots. Most entries were never
// removed: their removals take one pointer.
class EntryState {
public:
    NodePtr node;  // always set
    DotRuns writes;

    EntryState() = default;
    explicit EntryState(NodePtr n) : node(std::move(n)) {}
    EntryState(const EntryState& o)
        : node(o.node), writes(o.writes), removals_(o.removals_ ? std::make_unique<Removals>(*o.removals_) : nullptr) {}
    EntryState& operator=(const EntryState& o) {
        if (this != &o) *this = EntryState(o);
        return *this;
    }
    EntryState(EntryState&&) noexcept = default;
    EntryState& operator=(EntryState&&) noexcept = default;

    const DotRuns& removed() const { return removals_ ? removals_->removed : kNone; }
    const DotRuns& removal_ops() const { return removals_ ? removals_->ops : kNone; }
    // The same, to add to (made on first use).
    DotRuns& removed_to_change() { return removals().removed; }
    DotRuns& removal_ops_to_change() { return removals().ops; }

    // Whether the entry shows under `filter`: a write that neither its own
    // removals nor the filter hide.
    bool shows(const RemovalFilter& filter) const {
        const DotRuns& gone = removed();
        return writes.any_of([&](const Dot& d) { return !gone.contains(d) && !filter.contains(d); });
    }

private:
    struct Removals {
        DotRuns removed, ops;
    };
    Removals& removals() {
        if (!removals_) removals_ = std::make_unique<Removals>();
        return *removals_;
    }
    static const DotRuns kNone;
    std::unique_ptr<Removals> removals_;
};
using MapEntryState = EntryState;
using SetEntryState = EntryState;

// A dot or none, in the room of a dot: a null replica stands for none.
class MaybeDot {
public:
    MaybeDot() = default;
    MaybeDot(const Dot& d) : d_(d) {}
    explicit operator bool() const { return d_.replica != nullptr; }
    const Dot& operator*() const { return d_; }
    const Dot* operator->() const { return &d_; }

private:
    Dot d_{0, nullptr};
};

struct RegisterNode {
    std::optional<Value> value;
    MaybeDot dot;
};
struct MapNode {
    std::map<std::string, MapEntryState, KeyLess> entries;
};
struct SetNode {
    std::map<std::string, SetEntryState, KeyLess> entries;
};
// The kinds in the order of the policy kinds.
enum class StateKind : uint8_t { Register, Map, Set, Sequence };
inline constexpr std::string_view kStateKindNames[] = {"register", "map", "set", "sequence"};

// A sequence held on the heap: registers and maps, the nodes a document has
// most of, stay a fraction of a sequence's size. Copies are deep; a box moved
// from holds nothing and is only destroyed or assigned.
class SequenceBox {
public:
    SequenceBox() : p_(std::make_unique<SequenceNode>()) {}
    SequenceBox(const SequenceBox& o) : p_(o.p_ ? std::make_unique<SequenceNode>(*o.p_) : nullptr) {}
    SequenceBox& operator=(const SequenceBox& o) {
        if (this != &o) p_ = o.p_ ? std::make_unique<SequenceNode>(*o.p_) : nullptr;
        return *this;
    }
    SequenceBox(SequenceBox&&) noexcept = default;
    SequenceBox& operator=(SequenceBox&&) noexcept = default;

    SequenceNode* get() { return p_.get(); }
    const SequenceNode* get() const { return p_.get(); }

private:
    std::unique_ptr<SequenceNode> p_;
};

struct NodeState {
    std::variant<RegisterNode, MapNode, SetNode, SequenceBox> v;

    StateKind kind() const { return StateKind(v.index()); }
    static NodeState empty(StateKind k);

    RegisterNode* reg() { return std::get_if<RegisterNode>(&v); }
    MapNode* map() { return std::get_if<MapNode>(&v); }
    SetNode* set() { return std::get_if<SetNode>(&v); }
    SequenceNode* seq() {
        auto* b = std::get_if<SequenceBox>(&v);
        return b ? b->get() : nullptr;
    }
    const RegisterNode* reg() const { return std::get_if<RegisterNode>(&v); }
    const MapNode* map() const { return std::get_if<MapNode>(&v); }
    const SetNode* set() const { return std::get_if<SetNode>(&v); }
    const SequenceNode* seq() const {
        const auto* b = std::get_if<SequenceBox>(&v);
        return b ? b->get() : nullptr;
    }
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
    ~UndoLog() { clear(); }

    void map_entry_added(MapNode* m, std::string key);
    void set_entry_added(SetNode* s, std::string key);
    // `d` was not in `*s` before.
    void dot_added(DotRuns* s, Dot d);
    // Saves a register's content before it is overwritten.
    void register_saved(RegisterNode* r);
    // Any other change: `f` takes it back and allocates nothing.
    template <class F>
    void record(F f) {
        push(std::move(f));
    }

    bool empty() const { return undo_.empty(); }
    // Takes every recorded change back, newest first, and forgets them.
    void rollback();
    // Forgets every record (the changes stay).
    void clear();

    struct Record {
        virtual ~Record() = default;
        virtual void undo() = 0;
    };

private:
    // Records are laid one after the other in blocks: the first inside the
    // log itself, the others allocated as the call grows, each twice the size
    // of the one before. A call of many changes makes few allocations.
    static constexpr size_t kInline = 1024;
    struct Block {
        std::unique_ptr<std::byte[]> bytes;
        size_t size = 0;
    };
    // Room for `size` bytes aligned to `align`; may throw before anything is
    // taken.
    void* room(size_t size, size_t align);

    template <class F>
    void push(F f) {
        struct Fn final : Record {
            F f;
            explicit Fn(F g) : f(std::move(g)) {}
            void undo() override { f(); }
        };
        // A record that cannot be kept is carried out at once: it holds all
        // that is needed to take its change back (or, when the change is not
        // made yet, to leave things as they are), and the caller's change is
        // then undone before the failure propagates.
        void* at = nullptr;
        try {
            if (undo_.size() == undo_.capacity()) undo_.reserve(std::max<size_t>(64, 2 * undo_.capacity()));
            // The room is taken before `f` is moved from.
            at = room(sizeof(Fn), alignof(Fn));
        } catch (...) {
            f();
            throw;
        }
        static_assert(alignof(Fn) > kOwns, "the mark needs the lowest bit");
        Record* r = new (at) Fn(std::move(f));
        undo_.push_back(Entry{reinterpret_cast<uintptr_t>(r) | (std::is_trivially_destructible_v<F> ? 0 : kOwns)});
    }

    // A record, marked in its lowest bit when its destruction releases
    // something: the others (most of them) are forgotten without a call.
    static constexpr uintptr_t kOwns = 1;
    struct Entry {
        uintptr_t bits;
        Record* record() const { return reinterpret_cast<Record*>(bits & ~kOwns); }
        bool owns() const { return bits & kOwns; }
    };
    std::vector<Entry> undo_;
    std::vector<Block> blocks_;
    std::byte* next_ = inline_;
    size_t left_ = kInline;
    alignas(std::max_align_t) std::byte inline_[kInline];
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
