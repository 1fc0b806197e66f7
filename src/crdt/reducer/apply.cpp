// Operation application: the walks of CRDT paths, register writes, member keys,
// the merge of whole values and the merge of one operation into the node tree.
#include "crdt/reducer/reducer.hpp"

#include <algorithm>

#include "crdt/reducer/errors.hpp"
#include "util/text.hpp"
#include "value/json.hpp"

namespace norvane::crdt {

namespace {

using errors::kIncompatible;
using errors::kPolicyMismatch;
using errors::kStateMismatch;

NodeState empty_for(const CrdtPolicy& p) { return NodeState::empty(state_kind_of(p)); }

bool policy_is(const CrdtPolicy& p, PolicyKind k) { return p.kind == k; }

// The policy governing the child a segment leads to, when the segment fits the policy.
const CrdtPolicy* child_policy(const CrdtPolicy& p, const PathSegment& seg) {
    switch (seg.kind) {
        case PathSegment::Kind::Key:
            return policy_is(p, PolicyKind::Map) ? &p.policy_for_key(seg.key) : nullptr;
        case PathSegment::Kind::Member:
            return policy_is(p, PolicyKind::Set) ? &p.element() : nullptr;
        case PathSegment::Kind::Element:
            return policy_is(p, PolicyKind::Sequence) ? &p.element() : nullptr;
    }
    return nullptr;
}

// Inserts a dot into an entry's set, recording it when it is new.
void add_dot(DotRuns& set, const Dot& d, UndoLog* undo) {
    // A replica writing on: the dot extends its last run, found without a search.
    if (DotRun* run = set.run_before(d)) {
        if (undo) undo->dot_added(&set, d);
        ++run->last;
        return;
    }
    if (set.contains(d)) return;
    if (undo) undo->dot_added(&set, d);
    set.insert(d);
}

template <class It>
void add_dots(DotRuns& set, It first, It last, UndoLog* undo) {
    for (; first != last; ++first) add_dot(set, *first, undo);
}

// The entry of `key`, made empty when missing: one walk down the entries.
MapEntryState& map_entry(MapNode& m, const std::string& key, const CrdtPolicy& child, UndoLog* undo) {
    auto it = m.entries.lower_bound(key);
    if (it == m.entries.end() || it->first != key) {
        if (undo) undo->map_entry_added(&m, key);
        it = m.entries.emplace_hint(it, key, MapEntryState(NodePtr(empty_for(child))));
    }
    return it->second;
}

SetEntryState& set_entry(SetNode& s, std::string key, const CrdtPolicy& child, UndoLog* undo) {
    auto it = s.entries.lower_bound(key);
    if (it == s.entries.end() || it->first != key) {
        if (undo) undo->set_entry_added(&s, key);
        it = s.entries.emplace_hint(it, std::move(key), SetEntryState(NodePtr(empty_for(child))));
    }
    return it->second;
}

// What a read-only walk reaches at a plain element: a register kind, nothing
// below it.
const NodeState& plain_register() {
    static const NodeState kRegister = NodeState::empty(StateKind::Register);
    return kRegister;
}

void unknown(std::string& msg, const char* prefix, std::string_view key) {
    msg = prefix;
    append_debug_str(msg, key);
}

}  // namespace

// ---- walks -------------------------------------------------------------------------

Result<Located<const NodeState>> node_at_path(const NodeState& root, const CrdtPolicy& policy, const CrdtPath& path) {
    const NodeState* node = &root;
    const CrdtPolicy* pol = &policy;
    for (const auto& seg : path) {
        switch (seg.kind) {
            case PathSegment::Kind::Key: {
                const MapNode* m = node->map();
                if (!m || !policy_is(*pol, PolicyKind::Map)) return fail(kStateMismatch);
                auto it = m->entries.find(seg.key);
                if (it == m->entries.end()) {
                    std::string msg;
                    unknown(msg, errors::kUnknownMapKey, seg.key);
                    return fail(std::move(msg));
                }
                node = it->second.node.get();
                pol = &pol->policy_for_key(seg.key);
                break;
            }
            case PathSegment::Kind::Member: {
                const SetNode* s = node->set();
                if (!s || !policy_is(*pol, PolicyKind::Set)) return fail(kStateMismatch);
                auto it = s->entries.find(seg.key);
                if (it == s->entries.end()) {
                    std::string msg;
                    unknown(msg, errors::kUnknownSetMember, seg.key);
                    return fail(std::move(msg));
                }
                node = it->second.node.get();
                pol = &pol->element();
                break;
            }
            case PathSegment::Kind::Element: {
                const SequenceNode* q = node->seq();
                if (!q || !policy_is(*pol, PolicyKind::Sequence)) return fail(kStateMismatch);
                auto e = q->find(seg.id);
                if (!e || !e->has_node()) return fail(errors::kUnknownElement + debug_text(seg.id));
                // A plain element is a register without a node of its own:
                // nothing lies below it, and what it holds is read from the
                // sequence.
                node = e->plain() ? &plain_register() : e->node;
                pol = &pol->element();
                break;
            }
        }
    }
    return Located<const NodeState>{node, pol};
}

Result<Located<NodeState>> node_at_path_mut(NodeState& root, const CrdtPolicy& policy, const CrdtPath& path,
                                            const Dot& dot, UndoLog* undo, TouchedElements* touched) {
    NodeState* node = &root;
    const CrdtPolicy* pol = &policy;
    for (const auto& seg : path) {
        switch (seg.kind) {
            case PathSegment::Kind::Key: {
                MapNode* m = node->map();
                if (!m || !policy_is(*pol, PolicyKind::Map)) return fail(kStateMismatch);
                const CrdtPolicy& child = pol->policy_for_key(seg.key);
                MapEntryState& e = map_entry(*m, seg.key, child, undo);
                add_dot(e.writes, dot, undo);
                node = e.node.get();
                pol = &child;
                break;
            }
            case PathSegment::Kind::Member: {
                SetNode* s = node->set();
                if (!s || !policy_is(*pol, PolicyKind::Set)) return fail(kStateMismatch);
                const CrdtPolicy& child = pol->element();
                node = set_entry(*s, seg.key, child, undo).node.get();
                pol = &child;
                break;
            }
            case PathSegment::Kind::Element: {
                SequenceNode* q = node->seq();
                if (!q || !policy_is(*pol, PolicyKind::Sequence)) return fail(kStateMismatch);
                const CrdtPolicy& child = pol->element();
                node = &q->node_for_write(seg.id, [&] { return empty_for(child); }, undo);
                // What the element shows may change with the write.
                if (touched) touched->emplace_back(q, seg.id);
                pol = &child;
                break;
            }
        }
    }
    return Located<NodeState>{node, pol};
}

Result<const CrdtPolicy*> policy_at_path(const CrdtPolicy& root, const CrdtPath& path) {
    const CrdtPolicy* pol = &root;
    for (const auto& seg : path) {
        pol = child_policy(*pol, seg);
        if (!pol) return fail(kPolicyMismatch);
    }
    return pol;
}

Status set_register(NodeState& node, Value value, Dot dot, UndoLog* undo) {
    RegisterNode* r = node.reg();
    if (!r) return fail(errors::kRegisterIncompatible);
    if (!r->dot || dot >= *r->dot) {
        if (undo) undo->register_saved(r);
        r->value = std::move(value);
        r->dot = std::move(dot);
    }
    return {};
}

// ---- member keys and strings ----------------------------------------------------------

Result<std::string> member_key(const std::vector<IdentityPath>& keys, const Value& value) {
    std::string out;
    if (keys.empty()) {
        value_to_json(out, value);
        return out;
    }
    // Each path's part is written as soon as its value is found (a failure
    // drops the text), with room for a short key made at once: keys are built
    // for every member a lookup compares.
    out.reserve(48 * keys.size());
    out += '[';
    for (const auto& path : keys) {
        const Value* cur = &value;
        for (const auto& seg : path) {
            if (cur->kind() != Value::Kind::Map) {
                std::string msg = errors::kKeyPathThroughNonMap[0];
                append_debug_str_list(msg, path);
                msg += errors::kKeyPathThroughNonMap[1];
                return fail(std::move(msg));
            }
            const Value* next = cur->find(seg);
            if (!next) {
                std::string msg = errors::kKeyPathMissingSegment[0];
                append_debug_str_list(msg, path);
                msg += errors::kKeyPathMissingSegment[1];
                append_debug_str(msg, seg);
                return fail(std::move(msg));
            }
            cur = next;
        }
        if (&path != &keys.front()) out += ',';
        out += "[[";
        for (size_t j = 0; j < path.size(); ++j) {
            if (j) out += ',';
            append_json_string(out, path[j]);
        }
        out += "],";
        value_to_json(out, *cur);
        out += ']';
    }
    out += ']';
    return out;
}

std::vector<Value> split_string_sequence(std::string_view text) {
    std::vector<Value> out;
    size_t i = 0;
    while (i < text.size()) {
        size_t n = std::min(utf8_len((unsigned char)text[i]), text.size() - i);
        out.push_back(Value::str(std::string(text.substr(i, n))));
        i += n;
    }
    return out;
}

// ---- merge -----------------------------------------------------------------------------

// Inserts the elements of a whole value, or of a sequence_insert
// (`check_after`), into a sequence node.
static Status insert_elements(SequenceNode& q, const CrdtPolicy& element, const Dot& dot,
                              const std::optional<ElementId>& after, const std::vector<Value>& items, bool check_after,
                              UndoLog* undo, bool ids_new = false) {
    // The merge reaches what it needs through one reference, which the
    // std::function holds without allocating.
    struct Merge {
        const CrdtPolicy& element;
        const Dot& dot;
        UndoLog* undo;
    } m{element, dot, undo};
    return q.insert(
        dot, after, items, check_after, element.kind == PolicyKind::Register, [&element] { return empty_for(element); },
        [&m](NodeState& n, const Value& v, bool fresh) {
            return merge_value(n, m.element, v, m.dot, fresh ? nullptr : m.undo);
        },
        undo, ids_new);
}

Status merge_value(NodeState& node, const CrdtPolicy& policy, const Value& value, const Dot& dot, UndoLog* undo) {
    if (node.kind() != state_kind_of(policy)) return fail(kIncompatible);
    switch (policy.kind) {
        case PolicyKind::Register: {
            RegisterNode& r = *node.reg();
            if (!r.dot || dot >= *r.dot) {
                if (undo) undo->register_saved(&r);
                r.value = value;
                r.dot = dot;
            }
            return {};
        }
        case PolicyKind::Map: {
            if (value.kind() != Value::Kind::Map) return fail(errors::kMapValue);
            MapNode& m = *node.map();
            for (const auto& [key, v] : value.as_map()) {
                const CrdtPolicy& child = policy.policy_for_key(key);
                MapEntryState& e = map_entry(m, key, child, undo);
                add_dot(e.writes, dot, undo);
                NV_CHECK(merge_value(*e.node, child, v, dot, undo));
            }
            return {};
        }
        case PolicyKind::Set: {
            if (value.kind() != Value::Kind::List) return fail(errors::kSetValue);
            SetNode& s = *node.set();
            const CrdtPolicy& child = policy.element();
            for (const auto& item : value.as_list()) {
                std::string key = NV_TRY(member_key(policy.keys, item));
                SetEntryState& e = set_entry(s, std::move(key), child, undo);
                add_dot(e.writes, dot, undo);
                NV_CHECK(merge_value(*e.node, child, item, dot, undo));
            }
            return {};
        }
        case PolicyKind::Sequence: {
            SequenceNode& q = *node.seq();
            if (policy.materialization == SequenceMaterialization::String) {
                if (value.kind() != Value::Kind::Str) return fail(errors::kStringValue);
                std::vector<Value> chars = split_string_sequence(value.as_str());
                if (chars.size() > (size_t(1) << 32)) return fail(errors::kTooManyInitial);
                return insert_elements(q, policy.element(), dot, std::nullopt, chars, false, undo);
            }
            if (value.kind() != Value::Kind::List) return fail(errors::kListValue);
            if (value.as_list().size() > (size_t(1) << 32)) return fail(errors::kTooManyInitial);
            return insert_elements(q, policy.element(), dot, std::nullopt, value.as_list(), false, undo);
        }
    }
    return {};
}

// ---- operation merge ---------------------------------------------------------------------

static Status check_policy_walk(const CrdtPolicy& root, const CrdtOp& op) {
    // The operation's path, and the key of a map operation as its last step.
    const bool keyed = op.kind == OpKind::MapSet || op.kind == OpKind::MapRemove;
    const size_t steps = op.path.size() + (keyed ? 1 : 0);
    const PathSegment key_step{PathSegment::Kind::Key, keyed ? op.key : std::string(), {}};
    auto step = [&](size_t i) -> const PathSegment& { return i < op.path.size() ? op.path[i] : key_step; };
    const CrdtPolicy* pol = &root;
    for (size_t i = 0; i < steps; ++i) {
        const PathSegment& seg = step(i);
        const CrdtPolicy* next = child_policy(*pol, seg);
        if (!next) return fail(kPolicyMismatch);
        if (seg.kind == PathSegment::Kind::Member) {
            // Identity fields of a member never change in place.
            constexpr const char* kImmutable = errors::kImmutableIdentity;
            if (pol->keys.empty()) return fail(kImmutable);
            std::vector<std::string_view> f;
            for (size_t j = i + 1; j < steps && step(j).kind == PathSegment::Kind::Key; ++j) f.push_back(step(j).key);
            for (const auto& p : pol->keys) {
                size_t common = std::min(p.size(), f.size());
                if (std::equal(f.begin(), f.begin() + common, p.begin())) return fail(kImmutable);
            }
        }
        pol = next;
    }
    return {};
}

static Status apply_at(NodeState& node, const CrdtPolicy& pol, const CrdtOp& op, UndoLog* undo, bool ids_new);

Status apply_one(NodeState& root, const CrdtPolicy& root_policy, const CrdtOp& op, UndoLog* undo, bool ids_new) {
    NV_CHECK(check_policy_walk(root_policy, op));
    TouchedElements touched;
    auto loc = NV_TRY(node_at_path_mut(root, root_policy, op.path, op.dot, undo, &touched));
    NV_CHECK(apply_at(*loc.node, *loc.policy, op, undo, ids_new));
    // The innermost first: what an element shows depends on what lies below it.
    for (auto it = touched.rbegin(); it != touched.rend(); ++it) it->first->refresh(it->second);
    return {};
}

Status apply_one_at(NodeState& node, const CrdtPolicy& policy, std::span<DotRuns* const> writes, const CrdtOp& op,
                    UndoLog* undo, bool ids_new) {
    for (DotRuns* w : writes) add_dot(*w, op.dot, undo);
    return apply_at(node, policy, op, undo, ids_new);
}

static Status apply_at(NodeState& node, const CrdtPolicy& pol, const CrdtOp& op, UndoLog* undo, bool ids_new) {
    switch (op.kind) {
        case OpKind::RegisterSet:
            if (!policy_is(pol, PolicyKind::Register)) return fail(errors::kRegisterSetTarget);
            return set_register(node, op.value, op.dot, undo);
        case OpKind::MapSet:
        case OpKind::MapRemove: {
            bool set = op.kind == OpKind::MapSet;
            if (!policy_is(pol, PolicyKind::Map))
                return fail(set ? errors::kMapSetTarget : errors::kMapRemoveTarget);
            MapNode* m = node.map();
            if (!m) return fail(errors::kMapIncompatible);
            const CrdtPolicy& child = pol.policy_for_key(op.key);
            MapEntryState& e = map_entry(*m, op.key, child, undo);
            if (set) {
                add_dot(e.writes, op.dot, undo);
                return merge_value(*e.node, child, op.value, op.dot, undo);
            }
            add_dots(e.removed_to_change(), op.removed.begin(), op.removed.end(), undo);
            add_dot(e.removal_ops_to_change(), op.dot, undo);
            return {};
        }
        case OpKind::SetAdd:
        case OpKind::SetRemove: {
            bool add = op.kind == OpKind::SetAdd;
            if (!policy_is(pol, PolicyKind::Set))
                return fail(add ? errors::kSetAddTarget : errors::kSetRemoveTarget);
            SetNode* s = node.set();
            if (!s) return fail(errors::kSetIncompatible);
            const CrdtPolicy& child = pol.element();
            std::string key = add ? NV_TRY(member_key(pol.keys, op.value)) : op.key;
            SetEntryState& e = set_entry(*s, std::move(key), child, undo);
            if (add) {
                add_dot(e.writes, op.dot, undo);
                return merge_value(*e.node, child, op.value, op.dot, undo);
            }
            add_dots(e.removed_to_change(), op.removed.begin(), op.removed.end(), undo);
            add_dot(e.removal_ops_to_change(), op.dot, undo);
            return {};
        }
        case OpKind::SequenceInsert: {
            if (!policy_is(pol, PolicyKind::Sequence)) return fail(errors::kInsertTarget);
            SequenceNode* q = node.seq();
            if (!q) return fail(errors::kSequenceIncompatible);
            if (op.values.size() > (size_t(1) << 32)) return fail(errors::kTooManyInserted);
            return insert_elements(*q, pol.element(), op.dot, op.after, op.values, true, undo, ids_new);
        }
        case OpKind::SequenceDelete:
        case OpKind::SequenceSplice: {
            if (!policy_is(pol, PolicyKind::Sequence)) return fail(errors::kDeleteTarget);
            SequenceNode* q = node.seq();
            if (!q) return fail(errors::kSequenceIncompatible);
            q->delete_ids(op.ids, op.dot, undo);
            return {};
        }
    }
    return {};
}

}  // namespace norvane::crdt
