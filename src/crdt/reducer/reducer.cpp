#include "crdt/reducer/reducer.hpp"

#include <algorithm>

#include "crdt/reducer/errors.hpp"
#include "util/text.hpp"
#include "value/json.hpp"

namespace norvane::crdt {

namespace {

constexpr const char* kStateMismatch = "CRDT path segment does not match reducer state";
constexpr const char* kPolicyMismatch = "CRDT path segment does not match its policy";
constexpr const char* kIncompatible = "CRDT policy has incompatible reducer state";

StateKind kind_of(const CrdtPolicy& p) { return StateKind(size_t(p.kind)); }

NodeState empty_for(const CrdtPolicy& p) { return NodeState::empty(kind_of(p)); }

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
    set.insert(d);
    if (undo) undo->dot_added(&set, d);
}

template <class It>
void add_dots(SharedDotSet& set, It first, It last, UndoLog* undo) {
    for (; first != last; ++first) add_dot(set, *first, undo);
}

MapEntryState& map_entry(MapNode& m, const std::string& key, const CrdtPolicy& child, UndoLog* undo) {
    auto it = m.entries.find(key);
    if (it == m.entries.end()) {
        it = m.entries.emplace(key, MapEntryState{NodePtr(empty_for(child)), {}, {}, {}})
                 .first;
        if (undo) undo->map_entry_added(&m, key);
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
                    unknown(msg, "unknown map key ", seg.key);
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
                    unknown(msg, "unknown set member ", seg.key);
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
                    return fail("unknown sequence element " + debug_text(seg.id));
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
                auto [it, created] = q->entries.emplace(seg.id, SequenceEntryState{});
                // A write below a register element may change the character it holds.
                if (created || !it->second.node || it->second.node->kind() == StateKind::Register) {
                    q->order.valid = false;
                    if (undo) undo->seq_order_touched(q);
                }
                if (!it->second.node) {
                    if (undo) {
                        if (created)
                            undo->seq_entries_added(q, {seg.id});
                        else
                            undo->seq_entry_saved(q, seg.id, it->second);
                    }
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
    if (!r) return fail("register policy has incompatible reducer state");
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
                std::string msg = "set key path ";
                append_debug_str_list(msg, path);
                msg += " descends through a non-map value";
                return fail(std::move(msg));
            }
            const Value* next = cur->find(seg);
            if (!next) {
                std::string msg = "set key path ";
                append_debug_str_list(msg, path);
                msg += " is missing segment ";
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

static size_t utf8_len(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
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

static bool is_one_scalar(const std::string& s) {
    return !s.empty() && utf8_len((unsigned char)s[0]) == s.size();
}

// The width an element has in the cached order (see SequenceOrder::width).
static uint8_t element_width(const SequenceEntryState& e, bool deleted) {
    if (!e.inserted || deleted || !e.node) return 0;
    const RegisterNode* r = e.node->reg();
    if (r && !r->dot) return 0;
    if (r && r->value && r->value->kind() == Value::Kind::Str && is_one_scalar(r->value->as_str()))
        return uint8_t(r->value->as_str().size());
    return SequenceOrder::kNotChar;
}

uint8_t order_width(const SequenceEntryState& e, bool deleted) { return element_width(e, deleted); }

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
    if (items.size() > (size_t(1) << 32)) return fail("sequence contains too many initial elements");
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
    if (node.kind() != kind_of(policy)) return fail(kIncompatible);
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
            if (value.kind() != Value::Kind::Map) return fail("map policy requires a map value");
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
            if (value.kind() != Value::Kind::List) return fail("set policy requires a list value");
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
                if (value.kind() != Value::Kind::Str) return fail("string sequence policy requires a string value");
                return merge_elements(q, policy.element(), split_string_sequence(value.as_str()), dot, undo);
            }
            if (value.kind() != Value::Kind::List) return fail("list sequence policy requires a list value");
            return merge_elements(q, policy.element(), value.as_list(), dot, undo);
        }
    }
    return {};
}

// ---- materialisation -------------------------------------------------------------------

namespace {

// The ids of the inserted entries in document order, as iterators into `entries`.
using SeqIter = FlatMap<ElementId, SequenceEntryState>::const_iterator;

// Computes the order; `complete` tells whether every inserted entry was reached
// from the head.
std::vector<SeqIter> compute_order(const SequenceNode& seq, bool* complete) {
    const auto& entries = seq.entries;
    const size_t n = entries.size();
    std::vector<SeqIter> by_index;
    by_index.reserve(n);
    for (auto it = entries.begin(); it != entries.end(); ++it) by_index.push_back(it);

    // Children table in compressed form: parent (entry position) -> children
    // ascending; the head's children separately. A predecessor that is not an
    // entry is never reached, so its children are not listed anywhere.
    constexpr size_t kNone = size_t(-1);
    std::vector<size_t> parent(n, kNone);
    std::vector<size_t> head;
    std::vector<uint32_t> count(n + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        const auto& e = by_index[i]->second;
        if (!e.inserted) continue;
        if (!e.after) {
            head.push_back(i);
            continue;
        }
        // Most predecessors are the entry just before (the previous value of the
        // same insertion); otherwise a binary search over the ordered ids.
        size_t pi;
        if (i > 0 && by_index[i - 1]->first == *e.after) {
            pi = i - 1;
        } else {
            pi = size_t(std::lower_bound(by_index.begin(), by_index.end(), *e.after,
                                         [](const SeqIter& it, const ElementId& id) { return it->first < id; }) -
                        by_index.begin());
            if (pi == n || !(by_index[pi]->first == *e.after)) continue;
        }
        parent[i] = pi;
        ++count[pi];
    }
    std::vector<size_t> start(n + 1, 0);
    for (size_t i = 0; i < n; ++i) start[i + 1] = start[i] + count[i];
    std::vector<size_t> kids(start[n]);
    std::vector<size_t> fill(start.begin(), start.end() - 1);
    for (size_t i = 0; i < n; ++i)
        if (parent[i] != kNone) kids[fill[parent[i]]++] = i;

    std::vector<char> visited(n, 0);
    std::vector<SeqIter> out;
    out.reserve(n);
    std::vector<size_t> stack;
    auto walk = [&](const size_t* first, const size_t* last) {
        stack.assign(first, last);
        while (!stack.empty()) {
            size_t i = stack.back();
            stack.pop_back();
            if (visited[i]) continue;
            visited[i] = 1;
            out.push_back(by_index[i]);
            stack.insert(stack.end(), kids.data() + start[i], kids.data() + start[i + 1]);
        }
    };
    walk(head.data(), head.data() + head.size());
    std::vector<size_t> rest;
    for (size_t i = 0; i < n; ++i)
        if (!visited[i]) rest.push_back(i);
    if (complete) *complete = true;
    for (size_t i : rest) {
        if (!by_index[i]->second.inserted || visited[i]) continue;
        if (complete) *complete = false;
        visited[i] = 1;
        out.push_back(by_index[i]);
        walk(kids.data() + start[i], kids.data() + start[i + 1]);
    }
    return out;
}

std::vector<SeqIter> ordered_entries(const SequenceNode& seq) {
    if (!seq.order.valid) return compute_order(seq, nullptr);
    std::vector<SeqIter> out;
    out.reserve(seq.order.order.size());
    const auto base = seq.entries.begin();
    for (uint32_t i : seq.order.order) out.push_back(base + i);
    return out;
}

// Membership in the union of two dot sets without building it.
struct DotFilter {
    const DotSet& a;
    const DotSet* b = nullptr;
    bool contains(const Dot& d) const { return a.contains(d) || (b && b->contains(d)); }
};

// The union of `removed` and the filter, built only when both are non-empty.
const DotSet& joined(const DotSet& removed, const DotSet& filter, DotSet& storage) {
    if (removed.empty()) return filter;
    if (filter.empty()) return removed;
    storage = filter;
    storage.insert(removed.begin(), removed.end());
    return storage;
}

}  // namespace

void ensure_order(SequenceNode& seq) {
    SequenceOrder& o = seq.order;
    if (o.valid) return;
    if (seq.entries.size() >= (size_t(1) << 32)) return;
    bool complete = false;
    auto order = compute_order(seq, &complete);
    const auto base = seq.entries.begin();
    o.order.clear();
    o.order.reserve(order.size());
    for (auto it : order) o.order.push_back(uint32_t(it - base));
    o.deleted.assign(seq.entries.size(), 0);
    for (const auto& [id, dots] : seq.deletes) {
        auto it = seq.entries.find(id);
        if (it != seq.entries.end()) o.deleted[size_t(it - base)] = 1;
    }
    o.width.resize(seq.entries.size());
    for (size_t i = 0; i < seq.entries.size(); ++i) o.width[i] = element_width((base + i)->second, o.deleted[i] != 0);
    o.complete = complete;
    o.placed = Dot{};
    o.valid = true;
}

std::vector<const ElementId*> ordered_sequence_refs(const SequenceNode& seq) {
    std::vector<const ElementId*> out;
    auto order = ordered_entries(seq);
    out.reserve(order.size());
    for (auto it : order) out.push_back(&it->first);
    return out;
}

std::vector<ElementId> ordered_sequence_ids(const SequenceNode& seq) {
    std::vector<ElementId> out;
    for (auto it : ordered_entries(seq)) out.push_back(it->first);
    return out;
}

Result<std::optional<Value>> materialize_node_filtered(const NodeState& node, const CrdtPolicy& policy,
                                                       const DotSet& filter) {
    if (node.kind() != kind_of(policy)) return fail(kIncompatible);
    switch (policy.kind) {
        case PolicyKind::Register: {
            const RegisterNode& r = *node.reg();
            if (!r.dot || filter.contains(*r.dot)) return std::optional<Value>();
            return std::optional<Value>(r.value ? *r.value : Value::null());
        }
        case PolicyKind::Map: {
            ValueMap out;
            for (const auto& [key, e] : node.map()->entries) {
                DotFilter f{filter, &e.removed.get()};
                bool visible = std::any_of(e.dots.begin(), e.dots.end(), [&](const Dot& d) { return !f.contains(d); });
                if (!visible) continue;
                DotSet storage;
                const DotSet& r = joined(e.removed, filter, storage);
                auto child = NV_TRY(materialize_node_filtered(*e.node, policy.policy_for_key(key), r));
                out.emplace_back(key, child ? std::move(*child) : Value::null());
            }
            return std::optional<Value>(Value::map(std::move(out)));
        }
        case PolicyKind::Set: {
            ValueList out;
            for (const auto& [key, e] : node.set()->entries) {
                DotFilter f{filter, &e.removed.get()};
                bool visible = std::any_of(e.adds.begin(), e.adds.end(), [&](const Dot& d) { return !f.contains(d); });
                if (!visible) continue;
                DotSet storage;
                const DotSet& r = joined(e.removed, filter, storage);
                auto child = NV_TRY(materialize_node_filtered(*e.node, policy.element(), r));
                if (child) out.push_back(std::move(*child));
            }
            return std::optional<Value>(Value::list(std::move(out)));
        }
        case PolicyKind::Sequence: {
            const SequenceNode& q = *node.seq();
            const bool text = policy.materialization == SequenceMaterialization::String;
            const CrdtPolicy& element = policy.element();
            ValueList out;
            std::string str;
            if (text) str.reserve(q.entries.size());
            else out.reserve(q.entries.size());
            // A character that is not one is reported once every element has
            // materialised: an element's own failure comes first.
            const char* text_error = nullptr;
            auto check = [&](const Value& v) {
                if (text_error) return false;
                if (v.kind() != Value::Kind::Str) text_error = errors::kStringElementNotString;
                else if (!is_one_scalar(v.as_str())) text_error = errors::kStringElementNotOneScalar;
                return text_error == nullptr;
            };
            const bool flags = q.order.valid;
            for (auto it : ordered_entries(q)) {
                if (flags ? deleted_at(q, size_t(it - q.entries.begin()))
                          : !q.deletes.empty() && q.deletes.contains(it->first))
                    continue;
                if (!filter.empty() && filter.contains(it->first.dot)) continue;
                if (!it->second.node) continue;
                // Characters held in registers are appended as they are.
                if (const RegisterNode* r = it->second.node->reg();
                    text && r && element.kind == PolicyKind::Register) {
                    if (!r->dot || filter.contains(*r->dot)) continue;
                    if (!r->value) check(Value::null());
                    else if (check(*r->value)) str += r->value->as_str();
                    continue;
                }
                auto child = NV_TRY(materialize_node_filtered(*it->second.node, element, filter));
                if (!child) continue;
                if (!text) {
                    out.push_back(std::move(*child));
                    continue;
                }
                if (check(*child)) str += child->as_str();
            }
            if (!text) return std::optional<Value>(Value::list(std::move(out)));
            if (text_error) return fail(text_error);
            return std::optional<Value>(Value::str(std::move(str)));
        }
    }
    return std::optional<Value>();
}

Result<Value> materialize_node(const NodeState& node, const CrdtPolicy& policy) {
    static const DotSet kEmpty;
    auto v = NV_TRY(materialize_node_filtered(node, policy, kEmpty));
    if (!v) return fail("root value is removed");
    return std::move(*v);
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
            constexpr const char* kImmutable = "set identity fields are immutable; remove and add the member instead";
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
            if (!policy_is(pol, PolicyKind::Register)) return fail("register_set path does not address a register");
            return set_register(node, op.value, op.dot, undo);
        case OpKind::MapSet:
        case OpKind::MapRemove: {
            bool set = op.kind == OpKind::MapSet;
            if (!policy_is(pol, PolicyKind::Map))
                return fail(set ? "map_set path does not address a map" : "map_remove path does not address a map");
            MapNode* m = node.map();
            if (!m) return fail("map policy has incompatible reducer state");
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
                return fail(add ? "set_add path does not address a set" : "set_remove path does not address a set");
            SetNode* s = node.set();
            if (!s) return fail("set policy has incompatible reducer state");
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
            if (!policy_is(pol, PolicyKind::Sequence)) return fail("sequence_insert path does not address a sequence");
            SequenceNode* q = node.seq();
            if (!q) return fail("sequence policy has incompatible reducer state");
            const CrdtPolicy& child = pol.element();
            std::optional<ElementId> prev = op.after;
            if (op.values.size() > (size_t(1) << 32)) return fail("sequence insert contains too many elements");
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
                    auto& ord = q->order.order;
                    auto at = std::find(ord.begin(), ord.end(), pi);
                    if (at != ord.end()) order_at = size_t(at - ord.begin()) + 1;
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
                    return fail("sequence element " + debug_text(id) + " has conflicting predecessors");
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
                for (size_t i = 0; i < fresh.size(); ++i)
                    o.width[before + i] = element_width((q->entries.begin() + (before + i))->second,
                                                        o.deleted[before + i] != 0);
                o.placed = op.dot;
                o.valid = true;
            }
            return {};
        }
        case OpKind::SequenceDelete:
        case OpKind::SequenceSplice: {
            if (!policy_is(pol, PolicyKind::Sequence)) return fail("sequence_delete path does not address a sequence");
            SequenceNode* q = node.seq();
            if (!q) return fail("sequence policy has incompatible reducer state");
            // Deletions leave the order as it is; the flags follow them.
            const bool keep = q->order.valid;
            q->order.valid = false;
            for (const auto& id : op.ids) {
                auto [it, created] = q->deletes.try_emplace(id);
                if (!it->second.insert(op.dot).second) continue;
                if (undo) undo->seq_delete_added(q, id, op.dot, created);
                if (auto e = std::as_const(*q).entries.find(id); keep && e != q->entries.end()) {
                    q->order.deleted[size_t(e - q->entries.begin())] = 1;
                    q->order.width[size_t(e - q->entries.begin())] = 0;
                }
            }
            q->order.valid = keep;
            return {};
        }
    }
    return {};
}

// ---- live dots ---------------------------------------------------------------------------

static void collect_live(const NodeState& node, std::vector<Dot>& out) {
    if (const auto* r = node.reg()) {
        if (r->dot) out.push_back(*r->dot);
    } else if (const auto* m = node.map()) {
        for (const auto& [k, e] : m->entries) {
            bool live = std::any_of(e.dots.begin(), e.dots.end(), [&](const Dot& d) { return !e.removed.contains(d); });
            if (!live) continue;
            out.insert(out.end(), e.dots.begin(), e.dots.end());
            collect_live(*e.node, out);
        }
    } else if (const auto* s = node.set()) {
        for (const auto& [k, e] : s->entries) {
            size_t before = out.size();
            for (const auto& d : e.adds)
                if (!e.removed.contains(d)) out.push_back(d);
            if (out.size() == before) continue;
            collect_live(*e.node, out);
        }
    } else if (const auto* q = node.seq()) {
        for (const auto& [id, e] : q->entries)
            if (e.inserted && !q->deletes.contains(id)) out.push_back(id.dot);
    }
}

std::vector<Dot> live_dots(const NodeState& node) {
    std::vector<Dot> out;
    collect_live(node, out);
    std::stable_sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// ---- deltas ------------------------------------------------------------------------------

Result<CrdtDelta> delta_for(const CrdtOp& op, const CrdtPolicy& root_policy, const NodeState& root) {
    CrdtDelta d;
    d.kind = op.kind;
    d.path = op.path;
    switch (op.kind) {
        case OpKind::RegisterSet: d.value = op.value; break;
        case OpKind::MapSet:
            d.key = op.key;
            d.value = op.value;
            break;
        case OpKind::MapRemove:
        case OpKind::SetRemove: d.key = op.key; break;
        case OpKind::SequenceDelete:
        case OpKind::SequenceSplice: d.ids = op.ids; break;
        case OpKind::SetAdd: {
            const CrdtPolicy* pol = NV_TRY(policy_at_path(root_policy, op.path));
            if (!policy_is(*pol, PolicyKind::Set)) return fail("set_add path does not address a set");
            d.key = NV_TRY(member_key(pol->keys, op.value));
            d.value = op.value;
            break;
        }
        case OpKind::SequenceInsert: {
            auto loc = NV_TRY(node_at_path(root, root_policy, op.path));
            if (!policy_is(*loc.policy, PolicyKind::Sequence))
                return fail("sequence_insert path does not address a sequence");
            const SequenceNode* q = loc.node->seq();
            if (!q) return fail("sequence policy has incompatible reducer state");
            d.after = op.after;
            d.elements.reserve(std::max<size_t>(4, op.values.size()));
            for (size_t i = 0; i < op.values.size(); ++i) {
                if (i >= (size_t(1) << 32)) return fail("sequence insert contains too many elements");
                ElementId id{op.dot, uint32_t(i)};
                auto it = q->entries.find(id);
                if (it == q->entries.end() || !it->second.node)
                    return fail("missing inserted sequence element " + debug_text(id));
                Value v = NV_TRY(materialize_node(*it->second.node, loc.policy->element()));
                d.elements.push_back(SequenceDeltaElement{std::move(id), std::move(v)});
            }
            break;
        }
    }
    return d;
}

// ---- compaction --------------------------------------------------------------------------

namespace {

// Whether nothing written below a removed entry can show again once the entry
// is written anew: every dot in the subtree (writes and removals alike) lies in
// the entry's `removed`, and no sequence below holds elements or deletions
// (later insertions may name a purged element as predecessor, and deletions
// may precede the insertions they hide).
bool subtree_within(const NodeState& node, const DotSet& removed) {
    auto within = [&](const DotSet& dots) {
        return std::all_of(dots.begin(), dots.end(), [&](const Dot& d) { return removed.contains(d); });
    };
    if (const auto* r = node.reg()) return !r->dot || removed.contains(*r->dot);
    if (const auto* m = node.map()) {
        for (const auto& [k, e] : m->entries)
            if (!within(e.dots) || !within(e.removed) || !subtree_within(*e.node, removed)) return false;
        return true;
    }
    if (const auto* s = node.set()) {
        for (const auto& [k, e] : s->entries)
            if (!within(e.adds) || !within(e.removed) || !subtree_within(*e.node, removed)) return false;
        return true;
    }
    if (const auto* q = node.seq()) return q->entries.empty() && q->deletes.empty();
    return true;
}

}  // namespace

uint64_t compact_node(NodeState& node, const CrdtPolicy& policy, const Frontier& frontier) {
    uint64_t count = 0;
    auto all_covered = [&](const DotSet& dots) {
        return std::all_of(dots.begin(), dots.end(), [&](const Dot& d) { return dot_covered(d, frontier); });
    };
    if (MapNode* m = node.map()) {
        if (!policy_is(policy, PolicyKind::Map)) return 0;
        for (auto& [key, e] : m->entries) count += compact_node(*e.node, policy.policy_for_key(key), frontier);
        std::erase_if(m->entries, [&](const auto& kv) {
            const MapEntryState& e = kv.second;
            bool gone = std::all_of(e.dots.begin(), e.dots.end(), [&](const Dot& d) { return e.removed.contains(d); }) &&
                        !e.removal_ops.empty() && all_covered(e.removal_ops) && subtree_within(*e.node, e.removed);
            if (gone) ++count;
            return gone;
        });
    } else if (SetNode* s = node.set()) {
        if (!policy_is(policy, PolicyKind::Set)) return 0;
        for (auto& [key, e] : s->entries) count += compact_node(*e.node, policy.element(), frontier);
        std::erase_if(s->entries, [&](const auto& kv) {
            const SetEntryState& e = kv.second;
            bool gone = std::all_of(e.adds.begin(), e.adds.end(), [&](const Dot& d) { return e.removed.contains(d); }) &&
                        !e.removal_ops.empty() && all_covered(e.removal_ops) && subtree_within(*e.node, e.removed);
            if (gone) ++count;
            return gone;
        });
    } else if (SequenceNode* q = node.seq()) {
        if (!policy_is(policy, PolicyKind::Sequence)) return 0;
        q->order.valid = false;
        for (auto& [id, e] : q->entries) {
            if (!e.node) continue;
            count += compact_node(*e.node, policy.element(), frontier);
            auto del = q->deletes.find(id);
            if (del != q->deletes.end() && dot_covered(id.dot, frontier) && all_covered(del->second)) {
                e.node.reset();
                ++count;
            }
        }
    }
    return count;
}

}  // namespace norvane::crdt
