// A sequence node: its elements, their document order and their deletions.
//
// The document order is the order of the replicated growable array: a
// depth-first walk from the head in which the elements inserted after the
// same predecessor come in descending id order, each followed by its own
// subtree. It is kept, not recomputed: the elements that the head reaches are
// stored in that order in leaves of items, with counts per leaf for finding a
// position (and the bytes of a text) in logarithmic time and an index from ids
// to leaves. An item holds a run of elements that follow one another: each
// after the one before it, their ids counting up by index (one insertion of
// several values) or by counter (one replica's consecutive one-value
// insertions). An element whose register was written at its own dot (the
// common case: what an insertion made) keeps only its value, a character of a
// text as its bytes; any other element keeps its node.
//
// Placeholders (entries made by writes below an element whose insertion has
// not arrived) and orphans (elements whose predecessor does not reach the
// head) are kept aside; orphans follow everything the head reaches, ordered as
// the order's rule says, and join the order when their predecessor arrives.
//
// This class alone changes the order. `check()` rebuilds it from the elements
// and compares.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "crdt/reducer/deletions.hpp"
#include "crdt/reducer/dots.hpp"
#include "util/block_map.hpp"
#include "util/result.hpp"
#include "value/value.hpp"

namespace norvane::crdt {

class UndoLog;
struct NodeState;

// One entry as the saved state lists it.
struct SequenceEntryState {
    std::optional<ElementId> after;
    NodePtr node;  // null once compaction purged it, or when `plain` holds the value
    bool inserted = false;
    // A register written at the entry's own dot holding this value, kept
    // without a node of its own.
    std::optional<Value> plain;
};

// A register written at `dot` holding `v`: what an insertion makes of each of
// its values.
NodeState own_register(Value v, const Dot& dot);
// The value `n` holds when it is such a register, written at `dot`; null
// otherwise.
const Value* own_register_value(const NodeState& n, const Dot& dot);

class SequenceNode {
public:
    SequenceNode();
    ~SequenceNode();
    SequenceNode(const SequenceNode& o);
    SequenceNode& operator=(const SequenceNode& o);
    SequenceNode(SequenceNode&& o) noexcept;
    SequenceNode& operator=(SequenceNode&& o) noexcept;

    // A sequence from the entries of a saved state (ascending ids, each once)
    // and its deletions.
    static SequenceNode from_entries(std::vector<std::pair<ElementId, SequenceEntryState>> entries,
                                     Deletions deletes);

    // ---- what an element holds -------------------------------------------------

    // How an element keeps its content.
    enum class Held : uint8_t {
        Char,   // a register written at the element's dot, holding one character
        Value,  // a register written at the element's dot, holding another value
        Node,   // a node of its own (null once compaction purged it)
    };
    // One element as the walks see it; views into the sequence stay valid
    // while it is unchanged.
    struct Element {
        ElementId id;
        bool inserted = true;
        bool deleted = false;  // it has deletions
        Held held = Held::Node;
        std::string_view chars;       // Char: its UTF-8 bytes
        const Value* value = nullptr;  // Value
        const NodeState* node = nullptr;  // Node, may be null
        // A register written at the element's own dot: its value and dot
        // follow from the element.
        bool plain() const { return held != Held::Node; }
        bool has_node() const { return plain() || node != nullptr; }
        // Whether the element shows in its sequence's value under `filter`:
        // inserted, not deleted, holding a node, not inserted by a write the
        // filter hides and, holding a register, holding a write it does not.
        bool shows(const RemovalFilter& filter) const;
        // The value a plain element holds.
        Value plain_value() const;
        // Appends the JSON of that value.
        void write_plain_value(std::string& out) const;
    };

    // Whether there is no entry at all and no deletion.
    bool empty() const;
    bool has_deletes() const { return !deletes_.empty(); }
    bool deleted(const ElementId& id) const { return deletes_.contains(id); }
    const Deletions& deletes() const { return deletes_; }
    // The element of an id (inserted or a placeholder), if there is one.
    std::optional<Element> find(const ElementId& id) const;
    // Whether an element (inserted or a placeholder) has one of the ids an
    // insertion of `n` values at `dot` makes.
    bool holds_any(const Dot& dot, size_t n) const;

    // ---- order and positions ----------------------------------------------------

    // Every inserted element in document order; `f(const Element&)` returns
    // false to stop.
    template <class F>
    void for_each(F&& f) const {
        walk([&](const Element& e) { return f(e); });
    }
    // Appends the characters of the elements shown under an empty removal
    // filter when every one of them holds one character and none is an
    // orphan; false (and nothing appended) otherwise.
    bool append_text(std::string& out) const;
    // The elements shown under an empty removal filter: inserted, not deleted,
    // holding a value (a register with a dot), and their count; the bytes of
    // those holding one character, and the number of the others.
    size_t shown() const;
    size_t shown_bytes() const;
    size_t shown_other() const;
    // Whether some inserted element does not follow from the head; positions
    // below then count only those that do.
    bool has_orphans() const { return orphans_ > 0; }
    // The position among the shown elements of a shown element that follows
    // from the head, with the bytes shown before it.
    std::pair<size_t, size_t> position(const ElementId& id) const;
    // The id of the shown element at a position among those that follow from
    // the head (positions below shown() only), with the bytes shown before it.
    std::pair<ElementId, size_t> at(size_t position) const;
    // The ids of the shown elements at positions [from, from + count) in order.
    std::vector<ElementId> ids_at(size_t from, size_t count) const;

    // ---- changes (recorded in `undo` when given) -------------------------------

    // Merges a value into the node of an element: a node made for a new
    // element (`fresh`), which a failed call drops whole, or one the sequence
    // already holds, whose changes are recorded for taking them back.
    using MergeValue = std::function<Status(NodeState&, const Value&, bool fresh)>;
    // Inserts `values` as elements (dot, 0), (dot, 1), … after `after`, each
    // after the one before it. With `check_after` (a sequence_insert), an
    // element inserted before with another predecessor fails the call; without
    // (the merge of a whole value), predecessors are set as given. `plain`
    // elements keep registers (the element policy is a register); otherwise
    // `make` gives each new element's empty node and `merge` writes its value.
    // `ids_new` tells that holds_any(dot, values.size()) was just found false.
    Status insert(const Dot& dot, const std::optional<ElementId>& after, const std::vector<Value>& values,
                  bool check_after, bool plain, const std::function<NodeState()>& make, const MergeValue& merge,
                  UndoLog* undo, bool ids_new = false);
    // Adds `dot` to the deletions of every id.
    void delete_ids(const std::vector<ElementId>& ids, const Dot& dot, UndoLog* undo);
    // The node of an element to write below it: a missing entry becomes a
    // placeholder and a missing node is made with `make`; a plain element gets
    // a node of its own. Call `refresh` once the write is done.
    NodeState& node_for_write(const ElementId& id, const std::function<NodeState()>& make, UndoLog* undo);
    // Takes note of a write below an element: what it shows may have changed.
    void refresh(const ElementId& id);

    // ---- saved state and compaction -----------------------------------------------

    // Every entry in ascending id order with its predecessor.
    void for_each_entry(const std::function<void(const Element&, const std::optional<ElementId>& after)>& f) const;
    // Drops the nodes of deleted elements whose insertion and deletions are
    // all `covered`; returns how many. `prepare_purge` with the same test
    // first does what may allocate (the order and the value stay as they are);
    // `purge` then allocates nothing.
    void prepare_purge(const std::function<bool(const Dot&)>& covered);
    uint64_t purge(const std::function<bool(const Dot&)>& covered);
    // The nodes of the elements, for walks below them.
    void for_each_node(const std::function<void(NodeState&)>& f);

    // Rebuilds the order from the elements and compares; the first difference.
    Status check() const;

private:
    struct Item;
    struct Leaf;
    struct Loose {
        std::optional<ElementId> after;
        NodePtr node;
        bool inserted = false;
    };
    struct Place {
        Leaf* leaf = nullptr;
        size_t item = 0;
        uint32_t offset = 0;
    };

    void walk(const std::function<bool(const Element&)>& f) const;
    // Resets the node of an element (taking back the making of one).
    void drop_node(const ElementId& id);

    // Every leaf, in the order they were made (leaves are never dropped).
    std::vector<std::unique_ptr<Leaf>> leaves_;
    // The leaves in document order, with their counts summed for positions.
    struct Order;
    std::unique_ptr<Order> order_;
    // Per replica: the first id (counter, index) of every item -> its leaf.
    struct Start {
        uint64_t counter = 0;
        uint32_t index = 0;
        friend bool operator<(const Start& a, const Start& b) {
            return a.counter != b.counter ? a.counter < b.counter : a.index < b.index;
        }
    };
    using Starts = BlockMap<Start, Leaf*>;
    std::unordered_map<Replica, Starts> index_;
    std::map<ElementId, Loose> loose_;
    size_t orphans_ = 0;  // inserted entries among loose_
    Deletions deletes_;
    // The item an id was last found in: lookups of the same or a neighbouring
    // id (typing, a run of deletions) start there. Leaves live as long as the
    // sequence, so the pointer never dangles; the item is checked before use.
    mutable Place found_{};

    friend class SequenceOps;
    friend class SequenceChanges;
};

}  // namespace norvane::crdt
