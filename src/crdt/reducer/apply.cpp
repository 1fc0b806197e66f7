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
void add_dot(SharedDotSet& set, const Dot& d, UndoLog* undo) {
    if (set.contains(d)) return;
    if (undo) undo->dot_added(&set, d);
    set.insert(d);
}

template <class It>
void add_dots(SharedDotSet& set, It first, It last, UndoLog* undo) {
    for (; first != last; ++first) add_dot(set, *first, undo);
}

MapEntryState& map_entry(MapNode& m, const std::string& key, const CrdtPolicy& child, UndoLog* undo) {
    auto it = m.entries.find(key);
    if (it == m.entries.end()) {
        if (undo) undo->map_entry_added(&m, key);
        it = m.entries.emplace(key, MapEntryState{NodePtr(empty_for(child)), {}, {}, {}})
                 .first;
    }
    return it->second;
}

SetEntryState& set_entry(SetNode& s, std::string key, const CrdtPolicy& child, UndoLog* undo) {
    auto it = s.entries.find(key);
    if (it == s.entries.end()) {
        if (undo) undo->set_entry_added(&s, key);
        it = s.entries.emplace(std::move(key), SetEntryState{NodePtr(empty_for(child)), {}, {}, {}})
                 .first;
    }
    return it->second;
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
                auto it = q->entries.find(seg.id);
                if (it == q->entries.end() || !it->second.node)
                    return fail(errors::kUnknownElement + debug_text(seg.id));
                node = it->second.node.get();
                pol = &pol->element();
                break;
            }
        }
    }
    return Located<const NodeState>{node, pol};
}

Result<Located<NodeState>> node_at_path_mut(NodeState& root, const CrdtPolicy& policy, const CrdtPath& path,
                                            const Dot& dot, UndoLog* undo) {
    NodeState* node = &root;
    const CrdtPolicy* pol = &policy;
    for (const auto& seg : path) {
        switch (seg.kind) {
            case PathSegment::Kind::Key: {
                MapNode* m = node->map();
                if (!m || !policy_is(*pol, PolicyKind::Map)) return fail(kStateMismatch);
                const CrdtPolicy& child = pol->policy_for_key(seg.key);
                MapEntryState& e = map_entry(*m, seg.key, child, undo);
                add_dot(e.dots, dot, undo);
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
                const bool created = !q->entries.contains(seg.id);
                if (undo && created) undo->seq_entries_added(q, {seg.id});
                auto it = q->entries.emplace(seg.id, SequenceEntryState{}).first;
                // A write below a register element may change the character it holds.
                if (created || !it->second.node || it->second.node->kind() == StateKind::Register) {
                    if (undo) undo->seq_order_touched(q);
                    q->order.valid = false;
                }
                if (!it->second.node) {
                    if (undo && !created) undo->seq_entry_saved(q, seg.id, it->second);
                    it->second.node = NodePtr(empty_for(child));
                }
                node = it->second.node.get();
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
    std::vector<const Value*> found;
    found.reserve(keys.size());
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
        found.push_back(cur);
    }
    out += '[';
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i) out += ',';
        out += "[[";
        for (size_t j = 0; j < keys[i].size(); ++j) {
            if (j) out += ',';
            append_json_string(out, keys[i][j]);
        }
        out += "],";
        value_to_json(out, *found[i]);
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

// The ids {dot, 0}, {dot, 1}, … of the elements an operation creates.
static std::vector<ElementId> element_ids(const Dot& dot, size_t count) {
    std::vector<ElementId> ids;
    ids.reserve(count);
    for (size_t i = 0; i < count; ++i) ids.push_back(ElementId{dot, uint32_t(i)});
    return ids;
}

// Adds placeholders for the ids that are missing, recording them.
static void add_missing_entries(SequenceNode& q, const std::vector<ElementId>& ids, UndoLog* undo) {
    if (undo) {
        std::vector<ElementId> fresh;
        for (const auto& id : ids)
            if (!q.entries.contains(id)) fresh.push_back(id);
        undo->seq_entries_added(&q, std::move(fresh));
    }
    q.entries.add_missing(ids);
}

static Status merge_elements(SequenceNode& q, const CrdtPolicy& element, const std::vector<Value>& items,
                             const Dot& dot, UndoLog* undo) {
    if (items.size() > (size_t(1) << 32)) return fail(errors::kTooManyInitial);
    q.order.valid = false;
    const size_t before = q.entries.size();
    add_missing_entries(q, element_ids(dot, items.size()), undo);
    const bool all_new = q.entries.size() - before == items.size();
    for (size_t i = 0; i < items.size(); ++i) {
        ElementId id{dot, uint32_t(i)};
        auto& entry = q.entries.find(id)->second;
        if (undo && !all_new) undo->seq_entry_saved(&q, id, entry);
        if (i == 0)
            entry.after.reset();
        else
            entry.after = ElementId{dot, uint32_t(i - 1)};
        if (!entry.node) entry.node = NodePtr(empty_for(element));
        NV_CHECK(merge_value(*entry.node, element, items[i], dot, undo));
        entry.inserted = true;
    }
    return {};
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
                add_dot(e.dots, dot, undo);
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
                add_dot(e.adds, dot, undo);
                NV_CHECK(merge_value(*e.node, child, item, dot, undo));
            }
            return {};
        }
        case PolicyKind::Sequence: {
            SequenceNode& q = *node.seq();
            if (policy.materialization == SequenceMaterialization::String) {
                if (value.kind() != Value::Kind::Str) return fail(errors::kStringValue);
                return merge_elements(q, policy.element(), split_string_sequence(value.as_str()), dot, undo);
            }
            if (value.kind() != Value::Kind::List) return fail(errors::kListValue);
            return merge_elements(q, policy.element(), value.as_list(), dot, undo);
        }
    }
    return {};
}

// ---- operation merge ---------------------------------------------------------------------

static Status check_policy_walk(const CrdtPolicy& root, const CrdtOp& op) {
    CrdtPath walked = op.path;
    if (op.kind == OpKind::MapSet || op.kind == OpKind::MapRemove)
        walked.push_back(PathSegment{PathSegment::Kind::Key, op.key, {}});
    const CrdtPolicy* pol = &root;
    for (size_t i = 0; i < walked.size(); ++i) {
        const PathSegment& seg = walked[i];
        const CrdtPolicy* next = child_policy(*pol, seg);
        if (!next) return fail(kPolicyMismatch);
        if (seg.kind == PathSegment::Kind::Member) {
            // Identity fields of a member never change in place.
            constexpr const char* kImmutable = errors::kImmutableIdentity;
            if (pol->keys.empty()) return fail(kImmutable);
            std::vector<std::string_view> f;
            for (size_t j = i + 1; j < walked.size() && walked[j].kind == PathSegment::Kind::Key; ++j)
                f.push_back(walked[j].key);
            for (const auto& p : pol->keys) {
                size_t common = std::min(p.size(), f.size());
                if (std::equal(f.begin(), f.begin() + common, p.begin())) return fail(kImmutable);
            }
        }
        pol = next;
    }
    return {};
}

Status apply_one(NodeState& root, const CrdtPolicy& root_policy, const CrdtOp& op, UndoLog* undo) {
    NV_CHECK(check_policy_walk(root_policy, op));
    auto loc = NV_TRY(node_at_path_mut(root, root_policy, op.path, op.dot, undo));
    NodeState& node = *loc.node;
    const CrdtPolicy& pol = *loc.policy;
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
                add_dot(e.dots, op.dot, undo);
                return merge_value(*e.node, child, op.value, op.dot, undo);
            }
            add_dots(e.removed, op.removed.begin(), op.removed.end(), undo);
            add_dot(e.removal_ops, op.dot, undo);
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
                add_dot(e.adds, op.dot, undo);
                return merge_value(*e.node, child, op.value, op.dot, undo);
            }
            add_dots(e.removed, op.removed.begin(), op.removed.end(), undo);
            add_dot(e.removal_ops, op.dot, undo);
            return {};
        }
        case OpKind::SequenceInsert: {
            if (!policy_is(pol, PolicyKind::Sequence)) return fail(errors::kInsertTarget);
            SequenceNode* q = node.seq();
            if (!q) return fail(errors::kSequenceIncompatible);
            const CrdtPolicy& child = pol.element();
            std::optional<ElementId> prev = op.after;
            if (op.values.size() > (size_t(1) << 32)) return fail(errors::kTooManyInserted);
            // Missing elements are created first, all at once, as placeholders.
            // New elements whose ids follow every present one, inserted after a
            // reached element (or at the head), go right after it in the order:
            // they come before its older children, and nothing points to them.
            ensure_order(*q);
            size_t order_at = size_t(-1);
            if (q->order.valid && q->order.complete && !op.values.empty() &&
                (q->entries.empty() || (q->entries.end() - 1)->first < ElementId{op.dot, 0})) {
                if (!op.after) {
                    order_at = 0;
                } else if (auto p = std::as_const(*q).entries.find(*op.after);
                           p != q->entries.end() && p->second.inserted) {
                    const uint32_t pi = uint32_t(p - q->entries.begin());
                    const auto& o = q->order;
                    // Typing inserts after what the last insertion placed: look there first.
                    const size_t hint = o.placed_at + op.after->index;
                    if (op.after->dot == o.placed && hint < o.order.size() && o.order[hint] == pi) {
                        order_at = hint + 1;
                    } else {
                        auto at = std::find(o.order.begin(), o.order.end(), pi);
                        if (at != o.order.end()) order_at = size_t(at - o.order.begin()) + 1;
                    }
                }
            }
            q->order.valid = false;
            const size_t before = q->entries.size();
            add_missing_entries(*q, element_ids(op.dot, op.values.size()), undo);
            const bool all_new = q->entries.size() - before == op.values.size();
            for (size_t i = 0; i < op.values.size(); ++i) {
                ElementId id{op.dot, uint32_t(i)};
                SequenceEntryState& e = q->entries.find(id)->second;
                if (e.inserted && e.after != prev)
                    return fail(errors::kConflictingPredecessors[0] + debug_text(id) + errors::kConflictingPredecessors[1]);
                if (undo && !all_new) undo->seq_entry_saved(q, id, e);
                e.after = prev;
                if (!e.node) e.node = NodePtr(empty_for(child));
                NV_CHECK(merge_value(*e.node, child, op.values[i], op.dot, undo));
                e.inserted = true;
                prev = std::move(id);
            }
            if (order_at != size_t(-1) && all_new) {
                SequenceOrder& o = q->order;
                std::vector<uint32_t> fresh(op.values.size());
                for (size_t i = 0; i < fresh.size(); ++i) fresh[i] = uint32_t(before + i);
                o.order.insert(o.order.begin() + order_at, fresh.begin(), fresh.end());
                o.deleted.resize(q->entries.size(), 0);
                if (!q->deletes.empty())
                    for (size_t i = 0; i < fresh.size(); ++i)
                        if (q->deletes.contains(ElementId{op.dot, uint32_t(i)})) o.deleted[before + i] = 1;
                o.width.resize(q->entries.size(), 0);
                for (size_t i = 0; i < fresh.size(); ++i) {
                    o.width[before + i] = order_width((q->entries.begin() + (before + i))->second,
                                                      o.deleted[before + i] != 0);
                    o.count(o.width[before + i], 1);
                }
                o.placed = op.dot;
                o.placed_at = order_at;
                o.valid = true;
            }
            return {};
        }
        case OpKind::SequenceDelete:
        case OpKind::SequenceSplice: {
            if (!policy_is(pol, PolicyKind::Sequence)) return fail(errors::kDeleteTarget);
            SequenceNode* q = node.seq();
            if (!q) return fail(errors::kSequenceIncompatible);
            // Deletions leave the order as it is; the flags follow them.
            const bool keep = q->order.valid;
            q->order.valid = false;
            for (const auto& id : op.ids) {
                auto it = q->deletes.lower_bound(id);
                const bool created = it == q->deletes.end() || it->first != id;
                if (!created && it->second.contains(op.dot)) continue;
                if (undo) undo->seq_delete_added(q, id, op.dot, created);
                if (created) it = q->deletes.try_emplace(it, id);
                it->second.insert(op.dot);
                if (auto e = std::as_const(*q).entries.find(id); keep && e != q->entries.end()) {
                    const size_t pos = size_t(e - q->entries.begin());
                    q->order.deleted[pos] = 1;
                    q->order.count(q->order.width[pos], -1);
                    q->order.width[pos] = 0;
                }
            }
            q->order.valid = keep;
            return {};
        }
    }
    return {};
}

}  // namespace norvane::crdt
