// The incremental view of one call: the value before the call, shared and left
// untouched, with the subtrees its operations changed laid over it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "crdt/policy.hpp"
#include "crdt/reducer/held_list.hpp"
#include "crdt/reducer/list_index.hpp"
#include "crdt/reducer/model.hpp"
#include "crdt/reducer/ops.hpp"
#include "diff/patch.hpp"
#include "util/result.hpp"
#include "value/value.hpp"

namespace norvane::crdt {

// Follows the visible value through the operations of a call. Each operation
// is applied to the node tree and its change found along its own path: the map
// entries it passes (their visibility under the removals above them), and the
// node its path leads to, which alone is materialised again. Insertions into
// and deletions from a sequence are decided from the elements they show or
// hide; the sequence itself is materialised once, when the call ends or a later
// operation needs its value.
class IncrementalView {
public:
    // `kept`: the value before the call; `hold`: the list the document holds
    // out of it, and the list the last call edited. The view puts the held
    // list back where an operation needs more of it than one list edit reads.
    IncrementalView(const CrdtPolicy& policy, Value& kept, ListHold& hold)
        : policy_(policy), before_(kept), kept_(kept), hold_(hold) {}

    // Where a splice's operations act in the sequence's value, as the splice
    // found while it walked the elements: the positions (items and, for a
    // text, bytes) of its index and of the end of its deleted range.
    struct SpliceHint {
        size_t index = 0, index_bytes = 0, end = 0, end_bytes = 0;
    };

    // Applies `op` to `root` (changes recorded in `undo`); true when the visible
    // value changed.
    Result<bool> step(NodeState& root, const CrdtOp& op, UndoLog* undo, const SpliceHint* hint = nullptr);
    // Whether the last step inserted into a sequence of registers, under ids
    // it held none of, by its elements: they hold the operation's values as
    // given.
    bool inserted_as_given() const { return inserted_as_given_; }

    // The effect's patch from the value before the call to the value after it;
    // `index` answers whether values stand in long lists of that value.
    Result<Patch> patch(const NodeState& root, ListIndex* index = nullptr);
    // Writes the changes into `value` (the value before the call, not shared),
    // and brings the counts of `index` up to date with them.
    // A list held out of the value is edited where it is held; the list the
    // call edited by one list edit alone, if the last call edited it too, is
    // taken out of the value to be held.
    void commit(Value& value, ListIndex* index = nullptr);

    // A text of `min_bytes` or more that the patch sets whole is moved into
    // the patch rather than copied: commit then leaves its place in the value
    // empty until `give_back` moves it from the patch (written by then) into
    // the value commit wrote. False when a place is not found.
    void lend_texts(size_t min_bytes) { lend_min_ = min_bytes; }
    bool give_back(Patch& patch, Value& value);

    // The list edits the patch was written for: the held list, how many there
    // were, and the path of a long list one of them edited.
    struct ListEdits {
        const ListHold::Held* held = nullptr;
        size_t count = 0;
        std::optional<Path> long_list;
    };

    // A changed subtree: a replacement value, an absent map entry, a sequence
    // to materialise again, an unchanged map some of whose entries changed, or
    // one splice laid over the list before the call (`removed` elements from
    // `index` on give way to `values`).
    struct Node {
        enum class State : uint8_t { Interior, Value, Absent, Dirty, ListEdit };
        State state = State::Interior;
        // ListEdit: one value in place of one element, which equals no other
        // element (a set member whose identity holds no float: identities
        // differ as values do).
        bool distinct = false;
        size_t index = 0;      // ListEdit
        size_t removed = 0;    // ListEdit
        ValueList values;      // ListEdit
        // Sequence edits made in place in `value` this call.
        uint32_t edits = 0;
        // ListEdit over the held list: where the structural diff puts it.
        std::optional<size_t> plain;
        Value value;
        std::map<std::string, Node, KeyLess> kids;
    };

private:
    // `end`: the overlay's node at `keys`, null when it has none.
    Result<std::optional<bool>> step_sequence(NodeState& root, const CrdtOp& op, UndoLog* undo, const SpliceHint* hint,
                                              const std::vector<std::string>& keys, Node* end);
    Result<std::optional<bool>> step_child(NodeState& root, const CrdtOp& op, UndoLog* undo,
                                           const std::vector<std::string>& keys, bool full);
    Result<bool> step_value(NodeState& root, const CrdtOp& op, UndoLog* undo, const std::vector<std::string>& keys,
                            Node* end);
    Status resolve_below(const NodeState& root, const std::vector<std::string>& keys, Node& node, size_t depth);
    // Leaves `n` to be materialised when the call ends.
    void mark_dirty(Node& n);
    Result<Value> materialize_at(const NodeState& root, const std::vector<std::string>& keys, size_t depth);
    // The list held out of the value, when it is the one at `keys`.
    const ListHold::Held* held_at(const std::vector<std::string>& keys) const;
    // Puts the held list back into the value.
    void release();
    // The overlay node at `path` (map keys), passing changed maps only, and
    // how many keys lead to it: fewer than the path's when a change lies
    // above it. Null when the call left the path alone.
    Node* overlay_at(const Path& path, size_t& depth);

    const CrdtPolicy& policy_;
    const Value& before_;
    Value& kept_;  // `before_`, where a held list goes back
    ListHold& hold_;
    bool lost_ = false;       // a held list found no place to go back to
    ListEdits edits_;
    Node root_;
    // Texts lent to the patch (none unless lend_texts says from what length):
    // their paths and operations.
    size_t lend_min_ = SIZE_MAX;
    std::vector<std::pair<Path, size_t>> lent_;
    // Whether a node was ever left to materialise: without one, nothing
    // below the overlay needs resolving.
    bool dirty_ = false;
    bool inserted_as_given_ = false;
    std::vector<std::string> chain_;  // the keys of the operation being stepped
    // The sequence the last operation edited in place, at the end of keys
    // whose entries all show, none shared and none under a removal: the next
    // operation on the same keys starts there rather than walking the entries
    // again. Such an edit changes those entries only by adding its dot to
    // their writes, which leaves them shown and where they are; any other
    // step forgets it.
    struct Reached {
        std::vector<std::string> keys;
        const NodeState* node = nullptr;
        const CrdtPolicy* policy = nullptr;
        std::vector<DotRuns*> writes;  // of the entries on the way, in order
    };
    Reached reached_;
};

}  // namespace norvane::crdt
