// The reducer's operations on the node tree: path walks and operation
// application (apply.cpp), the sequence order (sequence_order.cpp),
// materialisation (materialize.cpp), live dots (live_dots.cpp), deltas
// (deltas.cpp) and compaction (compaction.cpp).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crdt/policy.hpp"
#include "crdt/reducer/model.hpp"
#include "crdt/reducer/ops.hpp"
#include "util/result.hpp"
#include "value/value.hpp"

namespace norvane::crdt {

// The node kind a policy governs.
inline StateKind state_kind_of(const CrdtPolicy& p) { return StateKind(size_t(p.kind)); }

// The length of the UTF-8 sequence a byte starts.
inline size_t utf8_len(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4; }
// Whether a text is exactly one Unicode scalar value.
inline bool is_one_scalar(std::string_view s) { return !s.empty() && utf8_len((unsigned char)s[0]) == s.size(); }

template <class N>
struct Located {
    N* node;
    const CrdtPolicy* policy;
};

// Read-only walk: every addressed entry must exist. At a plain sequence
// element (a register kept by its sequence) the node found has the register
// kind and nothing else: read the element from its sequence.
Result<Located<const NodeState>> node_at_path(const NodeState& root, const CrdtPolicy& policy, const CrdtPath& path);
// The sequence elements a creating walk passed, outermost first.
using TouchedElements = std::vector<std::pair<SequenceNode*, ElementId>>;
// Creating walk: missing entries are created; `dot` is recorded in every map
// entry passed. Changes are recorded in `undo` when given (so for the writes
// below); the elements passed are listed in `touched` for a refresh once the
// write below them is done.
Result<Located<NodeState>> node_at_path_mut(NodeState& root, const CrdtPolicy& policy, const CrdtPath& path,
                                            const Dot& dot, UndoLog* undo = nullptr,
                                            TouchedElements* touched = nullptr);
// The policy a path addresses; only the policy tree is consulted.
Result<const CrdtPolicy*> policy_at_path(const CrdtPolicy& root, const CrdtPath& path);

// Last writer wins by dot order; an equal dot overwrites.
Status set_register(NodeState& node, Value value, Dot dot, UndoLog* undo = nullptr);

// The identity text of a set member.
Result<std::string> member_key(const std::vector<IdentityPath>& keys, const Value& value);
// One Str per Unicode scalar value.
std::vector<Value> split_string_sequence(std::string_view text);

// Writes a whole value into a node at one dot.
Status merge_value(NodeState& node, const CrdtPolicy& policy, const Value& value, const Dot& dot,
                   UndoLog* undo = nullptr);

// The visible value; nullopt when the node has none.
Result<std::optional<Value>> materialize_node_filtered(const NodeState& node, const CrdtPolicy& policy,
                                                       const RemovalFilter& filter);
// As above with an empty filter; an absent value is "root value is removed".
Result<Value> materialize_node(const NodeState& node, const CrdtPolicy& policy);

// Merges one operation into the node tree. `ids_new`: the operation is an
// insertion whose sequence was just found to hold none of its ids.
Status apply_one(NodeState& root, const CrdtPolicy& root_policy, const CrdtOp& op, UndoLog* undo = nullptr,
                 bool ids_new = false);
// The same for an operation whose path (map keys only) leads through map
// entries already found to `node`, of policy `policy`: `writes` are those
// entries' writes, in path order, which the operation's dot joins.
Status apply_one_at(NodeState& node, const CrdtPolicy& policy, std::span<DotRuns* const> writes, const CrdtOp& op,
                    UndoLog* undo, bool ids_new);

// The dots that keep a node's visible content alive, ascending, unique.
std::vector<Dot> live_dots(const NodeState& node);

// The change report of an operation that has just been applied.
Result<CrdtDelta> delta_for(const CrdtOp& op, const CrdtPolicy& root_policy, const NodeState& root);
// Whether delta_as_text writes the delta of an operation of kind `k`:
// all but the removals and set_add, whose deltas differ from their operations.
inline bool has_delta_text(OpKind k) {
    return k != OpKind::MapRemove && k != OpKind::SetRemove && k != OpKind::SetAdd;
}
// Makes `d` the delta of `op` (a kind has_delta_text takes), just applied,
// kept as text: the operation's text `text` without its dot or, for a
// sequence_insert, its kind, path and predecessor followed by the elements it
// made, appended to `texts`. `as_given`: the caller knows that the elements
// hold the operation's values as it gave them.
Status delta_as_text(CrdtDelta& d, std::string& texts, const CrdtOp& op, const OpText& text, bool as_given,
                     const CrdtPolicy& root_policy, const NodeState& root);

// Purges tombstones covered by the frontier; returns how many.
uint64_t compact_node(NodeState& node, const CrdtPolicy& policy, const Frontier& frontier);

}  // namespace norvane::crdt
