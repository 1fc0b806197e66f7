// The incremental view: changes found along operation paths, the patch and the value after a call.
#include "crdt/reducer/view.hpp"

#include <algorithm>

#include "crdt/reducer/errors.hpp"
#include "crdt/reducer/reducer.hpp"
#include "diff/diff.hpp"

namespace norvane::crdt {

namespace {

using Node = IncrementalView::Node;
using State = Node::State;

// The map keys an operation's path leads through, up to its first set member or
// sequence element, and the key of a map operation when the path is all keys,
// into `keys`; whether the path is keys only.
bool chain_of(const CrdtOp& op, std::vector<std::string>& keys) {
    keys.clear();
    for (const auto& seg : op.path) {
        if (seg.kind != PathSegment::Kind::Key) return false;
        keys.push_back(seg.key);
    }
    if (op.kind == OpKind::MapSet || op.kind == OpKind::MapRemove) keys.push_back(op.key);
    return true;
}

bool is_sequence_op(OpKind k) {
    return k == OpKind::SequenceInsert || k == OpKind::SequenceDelete || k == OpKind::SequenceSplice;
}

// The node a key chain leads to through visible map entries, with the removal
// filter on the way; null node when an entry on the way is missing or hidden.
struct Walk {
    const NodeState* node = nullptr;
    const CrdtPolicy* policy = nullptr;
    RemovalFilter filter;
    // No node on the way is shared: a write along the path copies none, and
    // leaves the walk as it is.
    bool unshared = true;
};

// `writes`, when given, gets the writes of each entry on the way, which the
// caller may change: it holds the tree mutably.
void walk_keys(const NodeState& root, const CrdtPolicy& policy, const std::vector<std::string>& keys, size_t depth,
               Walk& w, std::vector<DotRuns*>* writes = nullptr) {
    w.node = &root;
    w.policy = &policy;
    for (size_t i = 0; i < depth; ++i) {
        const MapNode* m = w.node->map();
        if (!m || w.policy->kind != PolicyKind::Map) {
            w.node = nullptr;
            return;
        }
        auto it = m->entries.find(keys[i]);
        if (it == m->entries.end() || !it->second.shows(w.filter)) {
            w.node = nullptr;
            return;
        }
        w.filter.add(it->second.removed());
        if (writes) writes->push_back(const_cast<DotRuns*>(&it->second.writes));
        w.policy = &w.policy->policy_for_key(keys[i]);
        w.node = it->second.node.get();
        if (it->second.node.shared()) w.unshared = false;
    }
}

// Whether an element contributes to the materialised sequence under
// `filter`, and what (into `value`, when given): a shown element of a string
// sequence must hold one character.
Result<bool> element_shown(const SequenceNode& q, const CrdtPolicy& pol, const ElementId& id,
                           const RemovalFilter& filter, std::optional<Value>* value) {
    auto e = q.find(id);
    if (!e || !e->shows(filter)) return false;
    const bool text = pol.materialization == SequenceMaterialization::String;
    if (e->plain()) {
        if (pol.element().kind != PolicyKind::Register) return fail(errors::kIncompatible);
        // A character held as one is one.
        if (e->held == SequenceNode::Held::Char && !value) return true;
    }
    std::optional<Value> v;
    if (!e->plain()) v = NV_TRY(materialize_node_filtered(*e->node, pol.element(), filter));
    else v = e->plain_value();
    if (!v) return false;
    if (text) {
        if (v->kind() != Value::Kind::Str) return fail(errors::kStringElementNotString);
        if (!is_one_scalar(v->as_str())) return fail(errors::kStringElementNotOneScalar);
    }
    if (value) *value = std::move(v);
    return true;
}

Result<std::optional<Value>> shown_element(const SequenceNode& q, const CrdtPolicy& pol, const ElementId& id,
                                           const RemovalFilter& filter) {
    std::optional<Value> v;
    NV_CHECK(element_shown(q, pol, id, filter, &v));
    return v;
}

// The positions in the materialised value of the shown elements `ids` of a
// sequence without orphans (bytes of a text, items of a list), with their
// lengths, ascending.
std::vector<std::pair<size_t, size_t>> value_cuts(const SequenceNode& q, bool text, const std::vector<ElementId>& ids) {
    std::vector<std::pair<size_t, size_t>> out;
    out.reserve(ids.size());
    for (const ElementId& id : ids) {
        auto [index, bytes] = q.position(id);
        if (!text) {
            out.emplace_back(index, 1);
            continue;
        }
        auto e = q.find(id);
        out.emplace_back(bytes, e->plain() ? e->chars.size() : e->node->reg()->value->as_str().size());
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// One member of a set (by key) or one element of a sequence (by id).
struct Child {
    std::string key;
    ElementId id;
};

// What a member or an element contributes to the materialised set or sequence
// under `filter`: nothing when it is not shown.
Result<std::optional<Value>> shown_child(const NodeState& node, const CrdtPolicy& pol, const Child& c,
                                         const RemovalFilter& filter) {
    if (const SetNode* s = node.set()) {
        auto it = s->entries.find(c.key);
        if (it == s->entries.end() || !it->second.shows(filter)) return std::optional<Value>();
        return materialize_node_filtered(*it->second.node, pol.element(), filter.with(it->second.removed()));
    }
    return shown_element(*node.seq(), pol, c.id, filter);
}

// Whether a value holds a float anywhere.
bool has_float(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Float: return true;
        case Value::Kind::List:
            return std::any_of(v.as_list().begin(), v.as_list().end(), [](const Value& e) { return has_float(e); });
        case Value::Kind::Map:
            return std::any_of(v.as_map().begin(), v.as_map().end(), [](const auto& e) { return has_float(e.second); });
        default: return false;
    }
}

// Whether a set member's shown value is unequal to every other member's: its
// identity (its values at the set's identity paths, or the whole value) holds
// no float and no Null, and gives the member's own key. Distinct identities
// without floats are unequal values (0.0 and -0.0, or NaN, are distinct
// identities of equal or unequal values); other members show their own
// identities, or Null where writes to them are hidden.
bool shows_own_identity(const std::vector<IdentityPath>& keys, const Value& member, std::string_view key) {
    if (keys.empty() && has_float(member)) return false;
    for (const auto& path : keys) {
        const Value* v = &member;
        for (const auto& seg : path) {
            if (v->kind() != Value::Kind::Map) return false;
            v = v->find(seg);
            if (!v) return false;
        }
        if (v->kind() == Value::Kind::Null || has_float(*v)) return false;
    }
    auto own = member_key(keys, member);
    return own && *own == key;
}

// Where a member or an element that shows goes in the list `items` its set or
// sequence showed before the call (under no removal): its place there when it
// showed (`shown`), else where it comes in. Nothing when the list cannot tell.
Result<std::optional<size_t>> list_position(const NodeState& node, const CrdtPolicy& pol, const Child& c,
                                            ListRef items, bool shown, const RemovalFilter& filter) {
    if (const SequenceNode* q = node.seq()) {
        if (pol.materialization != SequenceMaterialization::List || q->has_orphans()) return std::optional<size_t>();
        const size_t at = q->position(c.id).first;
        if (shown ? at >= items.size() : at > items.size()) return std::optional<size_t>();
        return std::optional<size_t>(at);
    }
    // A set shows its members in ascending key order. A member's place is
    // found by the keys its shown neighbours' values give, and then checked
    // against the set itself: a member whose identity fields' writes are
    // hidden shows Null there, so its value does not give its key.
    size_t lo = 0, hi = items.size();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        auto key = member_key(pol.keys, items[mid]);
        if (!key) return std::optional<size_t>();
        const int cmp = key->compare(c.key);
        if (cmp == 0) {
            if (!shown) return std::optional<size_t>();
            lo = mid;
            break;
        }
        if (cmp < 0) lo = mid + 1;
        else hi = mid;
    }
    if (shown && lo >= items.size()) return std::optional<size_t>();
    // The shown members next to it in the set must stand next to that place,
    // each showing a value only it can show.
    const SetNode& set = *node.set();
    const auto at = set.entries.lower_bound(c.key);
    const auto past = at != set.entries.end() && at->first == c.key ? std::next(at) : at;
    constexpr int kSteps = 16;  // hidden members passed over before giving up
    auto shown_value_of = [&](size_t slot, const std::string& key) {
        return slot < items.size() && shows_own_identity(pol.keys, items[slot], key);
    };
    auto it = at;
    for (int steps = 0;; ++steps) {
        if (it == set.entries.begin()) {
            if (lo != 0) return std::optional<size_t>();
            break;
        }
        if (steps == kSteps) return std::optional<size_t>();
        --it;
        if (it->second.shows(filter)) {
            if (lo == 0 || !shown_value_of(lo - 1, it->first)) return std::optional<size_t>();
            break;
        }
    }
    const size_t next = shown ? lo + 1 : lo;
    it = past;
    for (int steps = 0;; ++steps, ++it) {
        if (it == set.entries.end()) {
            if (next != items.size()) return std::optional<size_t>();
            break;
        }
        if (steps == kSteps) return std::optional<size_t>();
        if (it->second.shows(filter)) {
            if (!shown_value_of(next, it->first)) return std::optional<size_t>();
            break;
        }
    }
    return std::optional<size_t>(lo);
}

// Writes a list edit into the list it was laid over.
void apply_list_edit(ValueList& items, Node& n) {
    splice_values(items, n.index, n.removed, n.values.data(), n.values.size());
    n.values.clear();
}

// Whether a list edit puts one value in place of one element.
bool replaces_one(const Node& n) { return n.removed == 1 && n.values.size() == 1; }

// Turns a list edit into the whole list after it, from the list before.
void settle(Node& n, const Value& before) {
    Value after = before;
    apply_list_edit(after.as_list(), n);
    n.value = std::move(after);
    n.state = State::Value;
}

// Where the structural diff of a list and the list with one edit laid over it
// puts just that edit, when it gives nothing else: the inserted values, or the
// replaced element and its replacement, stand nowhere after it in the list, so
// the diff's greedy pass neither moves nor finds anything past them (and, for
// insertions, its work stays under its limit). One value inserted before
// equal ones goes after them. Nothing when the diff gives more.
// Long lists are not read for this when `index` has their counts (the list
// `a` is the one at `path`).
std::optional<size_t> plain_list_edit(ListRef a, const Node& n, ListIndex* index, const Path& path) {
    const size_t len = a.size();
    size_t at = n.index;
    // Whether `x`, which stands `run` times just before `from` (from the
    // edit's place on), stands nowhere from `from` on. Where the list has
    // counts, the elements before the edit are read alongside, one for each
    // read after it: once they hold every other element the count allows,
    // none can follow (a count is never less than the elements it counts).
    auto absent_after = [&](const Value& x, size_t from, size_t run) {
        const auto count = index ? index->count(path, a, x) : std::nullopt;
        size_t others = count ? *count - run : 0;
        size_t before = 0;
        for (size_t i = from; i < len; ++i) {
            if (count) {
                if (others == 0) return true;
                if (before < n.index && a[before++] == x) --others;
            }
            if (a[i] == x) return false;
        }
        return true;
    };
    // Whether `x` equals at most `most` elements of the list, by its counts.
    auto counted = [&](const Value& x, size_t most) {
        if (!index) return false;
        auto c = index->count(path, a, x);
        return c && *c <= most;
    };
    if (replaces_one(n)) {
        if (at >= len) return std::nullopt;
        if (!n.distinct) {
            const Value& now = n.values[0];
            const Value& was = a[at];
            // The new value stands nowhere in the list, and the old one only at its place.
            if (!(counted(now, 0) && counted(was, 1)))
                for (size_t i = at + 1; i < len; ++i)
                    if (a[i] == now || a[i] == was) return std::nullopt;
        }
        return at;
    }
    if (n.removed != 0 || at > len) return std::nullopt;
    if (!n.distinct) {
        if (n.values.size() == 1)
            while (at < len && a[at] == n.values[0]) ++at;
        for (const Value& x : n.values)
            if (!absent_after(x, at, at - n.index)) return std::nullopt;
    }
    if (at == len) return at;
    // Each insertion costs the pass 3 len - 2 at + k - 2 against its limit.
    const uint64_t k = n.values.size();
    const uint64_t cost = k * (3 * uint64_t(len) - 2 * uint64_t(at) + k - 2);
    if (cost > std::max<uint64_t>(8 * (len + k), 64)) return std::nullopt;
    return at;
}

// The patch operations of a list edit over `old`, as the structural diff of
// the list before and after gives them. The held list, when it is the one at
// `path`, stands in for `old`, and the edit's place is known already.
void emit_list_edit(const Node& n, const Value& old, Path& path, std::vector<Op>& ops, ListIndex* index,
                    IncrementalView::ListEdits& edits) {
    const ListHold::Held* held = edits.held;
    const bool here = held && held->path == path;
    ++edits.count;
    if (here || old.kind() == Value::Kind::List) {
        const ListRef items = here ? held->items.ref() : ListRef(old.as_list());
        if (!held && items.size() >= ListHold::kMinLength) edits.long_list = path;
        if (auto at = here ? n.plain : plain_list_edit(items, n, index, path)) {
            if (replaces_one(n)) {
                path.push_back(PathSeg::make_index(*at));
                diff_value(path, items[*at], n.values[0], ops);
                path.pop_back();
                return;
            }
            for (size_t t = 0; t < n.values.size(); ++t) {
                Op op;
                op.kind = Op::Kind::Insert;
                op.path = path;
                op.index = *at + t;
                op.value = n.values[t];
                ops.push_back(std::move(op));
            }
            return;
        }
    }
    if (old.kind() != Value::Kind::List) {
        Node copy;
        copy.removed = n.removed;
        copy.index = n.index;
        copy.values = n.values;
        settle(copy, old);
        diff_value(path, old, copy.value, ops);
        return;
    }
    // The whole diff, against the list after the edit described by the old
    // elements themselves and the edit's values: nothing is copied, and the old
    // elements pair with themselves at once.
    const ValueList& items = old.as_list();
    EditContainer after;
    after.kind = Value::Kind::List;
    after.items.reserve(items.size() - n.removed + n.values.size());
    auto pointing = [](const Value& v) {
        EditNode e;
        e.value = &v;
        return e;
    };
    for (size_t i = 0; i < n.index; ++i) after.items.push_back(pointing(items[i]));
    for (const Value& v : n.values) after.items.push_back(pointing(v));
    for (size_t i = n.index + n.removed; i < items.size(); ++i) after.items.push_back(pointing(items[i]));
    diff_list_nodes(path, old, after, ops);
}

// Writes the changes of `n` into `v`, the value they were laid over.
void apply_node(Value& v, Node& n) {
    switch (n.state) {
        case State::Value: v = std::move(n.value); return;
        case State::ListEdit: apply_list_edit(v.as_list(), n); return;
        case State::Absent:
        case State::Dirty: return;  // never at this level
        case State::Interior: break;
    }
    if (n.kids.size() <= 16) {
        for (auto& [k, kid] : n.kids) {
            Value* c = v.find(k);
            switch (kid.state) {
                case State::Absent:
                    if (c) v.erase(k);
                    break;
                case State::Value:
                    if (c) *c = std::move(kid.value);
                    else v.insert_or_assign(k, std::move(kid.value));
                    break;
                case State::Interior:
                case State::ListEdit:
                    if (c) apply_node(*c, kid);
                    break;
                case State::Dirty: break;
            }
        }
        return;
    }
    // Many changed entries: one merge over the map.
    ValueMap& old = v.as_map();
    ValueMap out;
    out.reserve(old.size() + n.kids.size());
    auto ia = old.begin();
    for (auto& [k, kid] : n.kids) {
        while (ia != old.end() && ia->first < k) out.push_back(std::move(*ia++));
        const bool common = ia != old.end() && ia->first == k;
        switch (kid.state) {
            case State::Absent: break;
            case State::Value: out.emplace_back(k, std::move(kid.value)); break;
            case State::Interior:
            case State::ListEdit:
                if (common) {
                    apply_node(ia->second, kid);
                    out.push_back(std::move(*ia));
                }
                break;
            case State::Dirty:
                if (common) out.push_back(std::move(*ia));
                break;
        }
        if (common) ++ia;
    }
    for (; ia != old.end(); ++ia) out.push_back(std::move(*ia));
    old = std::move(out);
}

// Texts the patch takes from the overlay instead of copies: those of `min`
// bytes or more, recorded in `lent`.
struct Lender {
    size_t min;
    std::vector<std::pair<Path, size_t>>& lent;

    // The patch operation of `now`, which replaces `old` (null: nothing stood
    // there) at `path`, when `now` is a text long enough to lend: it is moved
    // into the operation. True when it was such a text.
    bool set(Value& now, const Value* old, const Path& path, std::vector<Op>& ops) const {
        if (now.kind() != Value::Kind::Str || now.as_str().size() < min) return false;
        if (old && *old == now) return true;
        Op op;
        op.kind = Op::Kind::Set;
        op.path = path;
        lent.emplace_back(path, ops.size());
        op.value = std::move(now);
        ops.push_back(std::move(op));
        return true;
    }
};

// The patch operations of the changes of `n` over `base`, in the order the
// structural diff of the two maps gives them.
void emit_map(Node& n, const Value& base, Path& path, std::vector<Op>& ops, ListIndex* index, const Lender& lend,
              IncrementalView::ListEdits& edits) {
    std::vector<const std::string*> removed;
    for (auto& [k, kid] : n.kids) {
        const Value* old = base.kind() == Value::Kind::Map ? base.find(k) : nullptr;
        path.push_back(PathSeg::make_key(k));
        switch (kid.state) {
            case State::Absent:
                if (old) removed.push_back(&k);
                break;
            case State::Value:
                if (lend.set(kid.value, old, path, ops)) {
                } else if (old) {
                    diff_value(path, *old, kid.value, ops);
                } else {
                    Op op;
                    op.kind = Op::Kind::Set;
                    op.path = path;
                    op.value = kid.value;
                    ops.push_back(std::move(op));
                }
                break;
            case State::Interior:
                if (old) emit_map(kid, *old, path, ops, index, lend, edits);
                break;
            case State::ListEdit:
                if (old) emit_list_edit(kid, *old, path, ops, index, edits);
                break;
            case State::Dirty: break;
        }
        path.pop_back();
    }
    for (const std::string* k : removed) {
        Op op;
        op.kind = Op::Kind::Remove;
        op.path = path;
        op.path.push_back(PathSeg::make_key(*k));
        ops.push_back(std::move(op));
    }
}

// Reads the value laid over `before` along a key chain, one key at a time.
struct Cursor {
    Node* ov;          // the overlay node here, when the overlay reaches this far
    const Value* v;    // the value before the call here (or the overlay's value)
    bool absent = false;
    // The overlay node whose kids the last step looked in, and where the key
    // stands or would stand among them: a change recorded there needs no
    // second search.
    Node* parent = nullptr;
    std::map<std::string, Node, KeyLess>::iterator place{};

    void child(const std::string& key) {
        parent = nullptr;
        if (absent) return;
        if (ov && ov->state == State::Interior) {
            auto it = ov->kids.lower_bound(key);
            parent = ov;
            place = it;
            if (it != ov->kids.end() && it->first == key) {
                Node& kid = it->second;
                switch (kid.state) {
                    case State::Interior:
                        ov = &kid;
                        v = v->find(key);
                        return;
                    case State::ListEdit:
                        settle(kid, *v->find(key));
                        [[fallthrough]];
                    case State::Value:
                        ov = nullptr;
                        v = &kid.value;
                        return;
                    case State::Absent:
                    case State::Dirty:  // resolved before the walk
                        absent = true;
                        return;
                }
            }
            ov = nullptr;
        } else if (ov && ov->state == State::Value) {
            v = &ov->value;
            ov = nullptr;
        }
        v = v && v->kind() == Value::Kind::Map ? v->find(key) : nullptr;
        if (!v) absent = true;
    }

    // The whole value here; an overlay map is folded into one value first.
    const Value* value() {
        if (absent) return nullptr;
        if (ov && ov->state == State::ListEdit) settle(*ov, *v);
        if (ov && ov->state == State::Interior) {
            Value folded = *v;
            apply_node(folded, *ov);
            ov->kids.clear();
            ov->value = std::move(folded);
            ov->state = State::Value;
        }
        if (ov && ov->state == State::Value) return &ov->value;
        return v;
    }
};

}  // namespace

Result<Value> IncrementalView::materialize_at(const NodeState& root, const std::vector<std::string>& keys,
                                              size_t depth) {
    Walk w;
    walk_keys(root, policy_, keys, depth, w);
    if (!w.node) return Value::null();
    auto v = NV_TRY(materialize_node_filtered(*w.node, *w.policy, w.filter));
    if (!v) {
        if (depth == 0) return fail(errors::kRootRemoved);
        return Value::null();
    }
    return std::move(*v);
}

// A copy of a text or a list with room for a few more bytes or elements.
static Value copy_with_room(const Value& v) {
    if (v.kind() == Value::Kind::Str) {
        std::string s;
        s.reserve(v.as_str().size() + 64);
        s.append(v.as_str());
        return Value::str(std::move(s));
    }
    if (v.kind() == Value::Kind::List) {
        ValueList items;
        items.reserve(v.as_list().size() + 8);
        items.insert(items.end(), v.as_list().begin(), v.as_list().end());
        return Value::list(std::move(items));
    }
    return v;
}

// A copy of a text with the characters `chars` inserted at byte `at`, and
// room for a few more bytes.
static std::string copy_with_insertion(const std::string& text, size_t at, const std::vector<Value>& chars) {
    size_t added = 0;
    for (const auto& c : chars) added += c.as_str().size();
    std::string s;
    s.reserve(text.size() + added + 64);
    s.append(text, 0, at);
    for (const auto& c : chars) s += c.as_str();
    s.append(text, at);
    return s;
}

// How many leading keys of `path` and `keys` are the same.
static size_t shared_keys(const Path& path, const std::vector<std::string>& keys) {
    const size_t common = std::min(path.size(), keys.size());
    size_t i = 0;
    while (i < common && path[i].key == keys[i]) ++i;
    return i;
}

const ListHold::Held* IncrementalView::held_at(const std::vector<std::string>& keys) const {
    if (!hold_.held) return nullptr;
    const Path& h = hold_.held->path;
    return h.size() == keys.size() && shared_keys(h, keys) == h.size() ? &*hold_.held : nullptr;
}

IncrementalView::Node* IncrementalView::overlay_at(const Path& path, size_t& depth) {
    Node* n = &root_;
    for (depth = 0; depth < path.size() && n->state == State::Interior; ++depth) {
        auto it = n->kids.find(path[depth].key);
        if (it == n->kids.end()) return nullptr;
        n = &it->second;
    }
    return n;
}

void IncrementalView::release() {
    if (hold_.held && !hold_.restore(kept_)) lost_ = true;
}

void IncrementalView::mark_dirty(Node& n) {
    n.kids.clear();
    n.value = Value();
    n.state = State::Dirty;
    dirty_ = true;
}

// Materialises every sequence left to materialise at or below `node`.
Status IncrementalView::resolve_below(const NodeState& root, const std::vector<std::string>& keys, Node& node,
                                      size_t depth) {
    if (node.state == State::Dirty) {
        node.value = NV_TRY(materialize_at(root, keys, depth));
        node.state = State::Value;
        return {};
    }
    if (node.state != State::Interior) return {};
    std::vector<std::string> path(keys.begin(), keys.begin() + depth);
    for (auto& [k, kid] : node.kids) {
        path.push_back(k);
        NV_CHECK(resolve_below(root, path, kid, depth + 1));
        path.pop_back();
    }
    return {};
}

// Insertions into and deletions from a visible sequence whose every element
// follows from the head change the value exactly when they show or hide an
// element. Nothing when the strategy does not apply.
Result<std::optional<bool>> IncrementalView::step_sequence(NodeState& root, const CrdtOp& op, UndoLog* undo,
                                                          const SpliceHint* hint, const std::vector<std::string>& keys,
                                                          Node* end) {
    const size_t depth = keys.size();
        Walk w;
        if (reached_.node) {
            // step() kept it for these keys, and the writes of their entries.
            w.node = reached_.node;
            w.policy = reached_.policy;
            reached_.node = nullptr;
        } else {
            reached_.writes.clear();
            walk_keys(root, policy_, keys, depth, w, &reached_.writes);
        }
        SequenceNode* q = w.node && w.policy->kind == PolicyKind::Sequence ? const_cast<NodeState*>(w.node)->seq()
                                                                           : nullptr;
        // Positions are those of a sequence whose every element follows from
        // the head; a text's bytes count when all it shows are characters.
        const bool text = q && w.policy->materialization == SequenceMaterialization::String;
        auto countable = [&](const SequenceNode& s) { return !s.has_orphans() && (!text || s.shown_other() == 0); };
        // An insertion at a dot whose ids the sequence already holds some of
        // (a saved state may hold elements of a dot its context does not know)
        // writes into those elements rather than adding new ones.
        if (q == nullptr || (op.kind == OpKind::SequenceInsert &&
                             (q->has_orphans() || q->holds_any(op.dot, op.values.size()))))
            return std::optional<bool>();
        {
            // A sequence shown under no removal is edited in place, at the
            // positions its elements have, unless it is to be materialised
            // when the call ends anyway.
            const bool in_place = w.filter.empty() && !(end && end->state == State::Dirty);
            bool changed = false;
            std::vector<ElementId> hidden;  // shown elements this deletion hides
            if (op.kind != OpKind::SequenceInsert) {
                for (const auto& id : op.ids) {
                    if (!NV_TRY(element_shown(*q, *w.policy, id, w.filter, nullptr))) continue;
                    changed = true;
                    if (!in_place) break;
                    hidden.push_back(id);
                }
            }
            std::vector<std::pair<size_t, size_t>> cuts;  // position and length, ascending
            bool editable = in_place && changed && countable(*q);
            if (editable && hint) {
                // The splice's deleted range, all shown.
                if (text) cuts.emplace_back(hint->index_bytes, hint->end_bytes - hint->index_bytes);
                else cuts.emplace_back(hint->index, hint->end - hint->index);
            } else if (editable) {
                cuts = value_cuts(*q, text, hidden);
            }
            // An insertion gets here only when the sequence holds none of its ids.
            // With nothing shared on the way the write copies nothing: it goes
            // straight to the entries and the sequence the walk found.
            if (w.unshared)
                NV_CHECK(apply_one_at(*const_cast<NodeState*>(w.node), *w.policy, reached_.writes, op, undo,
                                      op.kind == OpKind::SequenceInsert));
            else
                NV_CHECK(apply_one(root, policy_, op, undo, op.kind == OpKind::SequenceInsert));
            ValueList inserted;
            size_t insert_at = 0;
            if (op.kind == OpKind::SequenceInsert) {
                // The write may have copied shared nodes on its way: walk again.
                Walk again;
                if (!w.unshared) walk_keys(root, policy_, keys, depth, again);
                const Walk& after = w.unshared ? w : again;
                const SequenceNode& qa = *after.node->seq();
                inserted_as_given_ = after.policy->element().kind == PolicyKind::Register;
                std::optional<ElementId> first_shown;
                for (size_t i = 0; i < op.values.size(); ++i) {
                    const ElementId id{op.dot, uint32_t(i)};
                    std::optional<Value> v;
                    if (!NV_TRY(element_shown(qa, *after.policy, id, after.filter, in_place ? &v : nullptr))) continue;
                    changed = true;
                    if (!in_place) break;  // the value changes; it is materialised later
                    if (!first_shown) first_shown = id;
                    inserted.push_back(std::move(*v));
                }
                editable = in_place && changed && countable(qa);
                if (editable && hint) insert_at = text ? hint->index_bytes : hint->index;
                else if (editable) insert_at = text ? qa.position(*first_shown).second : qa.position(*first_shown).first;
            }
            if (changed) {
                Node* n = end;
                if (!n) {
                    n = &root_;
                    for (const auto& k : keys) n = &n->kids[k];
                }
                // A few edits go into the value in place; past them, each edit
                // would move the rest of the value again, and the sequence is
                // materialised once when the call ends instead.
                constexpr uint32_t kInPlaceEdits = 4;
                // Values a list edit gathers from insertions next to or inside it.
                constexpr size_t kEditValues = 1024;
                const bool untouched = n->state == State::Interior && n->kids.empty();
                const bool insert = op.kind == OpKind::SequenceInsert;
                // A deletion that hides one run of the list's items.
                const bool one_run = !insert && !cuts.empty() && std::adjacent_find(cuts.begin(), cuts.end(),
                    [](const auto& a, const auto& b) { return a.first + a.second != b.first; }) == cuts.end();
                if (editable && !text && untouched && (insert || one_run)) {
                    // The first change to a list this call: laid over the list as it is.
                    n->state = State::ListEdit;
                    n->distinct = false;
                    n->index = insert ? insert_at : cuts.front().first;
                    n->removed = insert ? 0 : cuts.back().first + cuts.back().second - cuts.front().first;
                    n->values = std::move(inserted);
                    ++n->edits;
                } else if (editable && !text && insert && n->state == State::ListEdit && insert_at >= n->index &&
                           insert_at - n->index <= n->values.size() && n->values.size() < kEditValues) {
                    // Values inserted into or next to the values the list edit puts in.
                    n->distinct = false;
                    n->values.insert(n->values.begin() + ptrdiff_t(insert_at - n->index),
                                     std::make_move_iterator(inserted.begin()), std::make_move_iterator(inserted.end()));
                } else if (editable && n->state != State::Dirty && n->edits++ < kInPlaceEdits) {
                    bool placed = false;
                    if (n->state != State::Value) {
                        if (held_at(keys)) release();
                        const Value* v = &before_;
                        for (const auto& k : keys) v = v->find(k);
                        if (n->state == State::ListEdit) {
                            settle(*n, *v);
                        } else if (text && insert) {
                            // The first edit: the text copied once, the
                            // insertion in its place.
                            n->value = Value::str(copy_with_insertion(v->as_str(), insert_at, inserted));
                            n->state = State::Value;
                            placed = true;
                        } else {
                            // A copy with room for the edits, which then
                            // move only what follows them.
                            n->value = copy_with_room(*v);
                            n->state = State::Value;
                        }
                    }
                    if (text) {
                        std::string& str = n->value.as_str();
                        if (insert) {
                            if (!placed) {
                                std::string chars;
                                for (const auto& c : inserted) chars += c.as_str();
                                str.insert(insert_at, chars);
                            }
                        } else {
                            for (auto it = cuts.rbegin(); it != cuts.rend(); ++it) str.erase(it->first, it->second);
                        }
                    } else {
                        ValueList& items = n->value.as_list();
                        if (op.kind == OpKind::SequenceInsert) {
                            splice_values(items, insert_at, 0, inserted.data(), inserted.size());
                        } else {
                            for (auto it = cuts.rbegin(); it != cuts.rend(); ++it)
                                splice_values(items, it->first, it->second, nullptr, 0);
                        }
                    }
                } else {
                    mark_dirty(*n);
                }
            }
            // The write copied nothing on its way when nothing was shared.
            if (w.unshared && w.filter.empty()) {
                if (reached_.keys != keys) reached_.keys = keys;
                reached_.node = w.node;
                reached_.policy = w.policy;
            }
            return std::optional<bool>(changed);
        }
}

// An operation on one member of a visible set, or below one element of a
// visible sequence, changes the value exactly when it changes what that member
// or element shows: the others are untouched. Nothing when the strategy does
// not apply.
Result<std::optional<bool>> IncrementalView::step_child(NodeState& root, const CrdtOp& op, UndoLog* undo,
                                                       const std::vector<std::string>& keys, bool full) {
    const size_t depth = keys.size();
        // A chain of keys only leads to a member through the set's own add or remove.
        if (full && op.kind != OpKind::SetAdd && op.kind != OpKind::SetRemove) return std::optional<bool>();
        Walk w;
        walk_keys(root, policy_, keys, depth, w);
        std::optional<Child> child;
        if (w.node && w.policy->kind == PolicyKind::Set && w.node->set()) {
            if (full && op.kind == OpKind::SetAdd) {
                if (auto key = member_key(w.policy->keys, op.value)) child = Child{std::move(*key), {}};
            } else if (full && op.kind == OpKind::SetRemove) {
                child = Child{op.key, {}};
            } else if (!full && op.path[depth].kind == PathSegment::Kind::Member) {
                child = Child{op.path[depth].key, {}};
            }
        } else if (w.node && w.policy->kind == PolicyKind::Sequence && w.node->seq() && !full &&
                   op.path[depth].kind == PathSegment::Kind::Element) {
            child = Child{{}, op.path[depth].id};
        }
        if (child) {
            auto before = NV_TRY(shown_child(*w.node, *w.policy, *child, w.filter));
            NV_CHECK(apply_one(root, policy_, op, undo));
            Walk after;
            walk_keys(root, policy_, keys, depth, after);
            auto now = NV_TRY(shown_child(*after.node, *after.policy, *child, after.filter));
            if (before == now) return std::optional<bool>(false);
            Node* n = &root_;
            for (const auto& k : keys) n = &n->kids[k];
            // The first change to a list this call is laid over the list as it
            // is: a member or element that shows after it, or a set member
            // that no longer shows.
            if ((now || after.node->set()) && n->state == State::Interior && n->kids.empty() && w.filter.empty()) {
                const ListHold::Held* held = held_at(keys);
                const Value* list = held ? nullptr : &before_;
                for (const auto& k : keys) list = list ? list->find(k) : nullptr;
                std::optional<ListRef> items;
                if (held) items = held->items.ref();
                else if (list && list->kind() == Value::Kind::List) items = ListRef(list->as_list());
                auto at = items ? NV_TRY(list_position(*after.node, *after.policy, *child, *items, before.has_value(),
                                                       after.filter))
                                : std::optional<size_t>();
                if (at) {
                    n->state = State::ListEdit;
                    n->removed = before.has_value() ? 1 : 0;
                    n->distinct = now && after.node->set() && shows_own_identity(after.policy->keys, *now, child->key);
                    n->index = *at;
                    n->values.clear();
                    if (now) n->values.push_back(std::move(*now));
                    return std::optional<bool>(true);
                }
            }
            mark_dirty(*n);
            return std::optional<bool>(true);
        }
        return std::optional<bool>();
}

// Any other operation: the value at the end of its key chain before and after.
Result<bool> IncrementalView::step_value(NodeState& root, const CrdtOp& op, UndoLog* undo,
                                         const std::vector<std::string>& keys, Node* end) {
    const size_t depth = keys.size();
    // Otherwise the value before the operation is needed at the chain's end.
    if (end && dirty_) NV_CHECK(resolve_below(root, keys, *end, depth));
    NV_CHECK(apply_one(root, policy_, op, undo));

    Cursor cur{&root_, &before_};
    const NodeState* node = &root;
    const CrdtPolicy* pol = &policy_;
    RemovalFilter filter;
    size_t at = 0;
    // The change found: a replacement value or an absent entry at keys[0..at).
    std::optional<Value> replacement;
    bool changed = false;
    for (; at < depth; ++at) {
        const MapNode* m = node->map();
        if (!m || pol->kind != PolicyKind::Map) break;
        cur.child(keys[at]);
        const bool was = !cur.absent;
        auto it = m->entries.find(keys[at]);
        if (it == m->entries.end() || !it->second.shows(filter)) {
            if (!was) return false;
            ++at;
            changed = true;
            break;
        }
        filter.add(it->second.removed());
        pol = &pol->policy_for_key(keys[at]);
        node = it->second.node.get();
        if (!was) {
            auto v = NV_TRY(materialize_node_filtered(*node, *pol, filter));
            replacement = v ? std::move(*v) : Value::null();
            ++at;
            changed = true;
            break;
        }
    }
    if (!changed) {
        auto v = NV_TRY(materialize_node_filtered(*node, *pol, filter));
        if (!v) {
            if (at == 0) return fail(errors::kRootRemoved);
            v = Value::null();
        }
        const Value* old = cur.value();
        if (old && *old == *v) return false;
        replacement = std::move(*v);
        changed = true;
    }

    // Record the change at keys[0..at): inside a replacement value above it, or
    // as an overlay node.
    if (at == 0) {
        root_.kids.clear();
        root_.value = std::move(*replacement);
        root_.state = State::Value;
        return true;
    }
    Node* n = &root_;
    for (size_t i = 0; i + 1 < at; ++i) {
        if (n->state == State::Value) {
            Value* v = &n->value;
            for (size_t j = i; j + 1 < at; ++j) v = v->find(keys[j]);
            if (replacement) v->insert_or_assign(keys[at - 1], std::move(*replacement));
            else v->erase(keys[at - 1]);
            return true;
        }
        n = &n->kids[keys[i]];
    }
    if (n->state == State::Value) {
        if (replacement) n->value.insert_or_assign(keys[at - 1], std::move(*replacement));
        else n->value.erase(keys[at - 1]);
        return true;
    }
    const std::string& key = keys[at - 1];
    Node& kid = n == cur.parent ? n->kids.try_emplace(cur.place, key)->second : n->kids[key];
    kid.kids.clear();
    if (replacement) {
        kid.value = std::move(*replacement);
        kid.state = State::Value;
    } else {
        kid.value = Value();
        kid.state = State::Absent;
    }
    return true;
}

Result<bool> IncrementalView::step(NodeState& root, const CrdtOp& op, UndoLog* undo, const SpliceHint* hint) {
    inserted_as_given_ = false;
    const bool full = chain_of(op, chain_);
    const std::vector<std::string>& keys = chain_;
    const size_t depth = keys.size();
    // An operation above or below the held list reads the value there.
    if (hold_.held && !held_at(keys) && shared_keys(hold_.held->path, keys) == std::min(hold_.held->path.size(), depth))
        release();

    // The overlay along the chain: the node at its end, when the overlay holds one
    // and no replacement value lies above it.
    Node* end = &root_;
    bool above_value = false;
    for (size_t i = 0; i < depth && end; ++i) {
        if (end->state == State::Dirty) NV_CHECK(resolve_below(root, keys, *end, i));
        if (end->state != State::Interior) {
            above_value = true;
            end = nullptr;
            break;
        }
        auto it = end->kids.find(keys[i]);
        end = it == end->kids.end() ? nullptr : &it->second;
    }

    // Only an operation stepped as a sequence edit on the same keys starts
    // where the last one arrived.
    const bool sequence = !above_value && full && is_sequence_op(op.kind);
    if (reached_.node && (!sequence || reached_.keys != keys)) reached_.node = nullptr;
    if (!above_value) {
        if (sequence) {
            auto done = NV_TRY(step_sequence(root, op, undo, hint, keys, end));
            if (done) return *done;
        }
        auto done = NV_TRY(step_child(root, op, undo, keys, full));
        if (done) return *done;
    }
    if (held_at(keys)) release();
    return step_value(root, op, undo, keys, end);
}

Result<Patch> IncrementalView::patch(const NodeState& root, ListIndex* index) {
    static const std::vector<std::string> kNoKeys;
    if (index) index->next_call();
    if (dirty_) NV_CHECK(resolve_below(root, kNoKeys, root_, 0));
    if (hold_.held) {
        // The held list stays out only when the call changed it by one list
        // edit whose effect is that edit alone, or left it alone.
        const ListHold::Held& h = *hold_.held;
        size_t depth = 0;
        Node* n = overlay_at(h.path, depth);
        if (n && depth < h.path.size()) {
            release();  // changed above the list
        } else if (n && n->state == State::ListEdit) {
            n->plain = plain_list_edit(h.items.ref(), *n, index, h.path);
            if (!n->plain) release();
        } else if (n && !(n->state == State::Interior && n->kids.empty())) {
            release();
        }
    }
    edits_ = ListEdits{hold_.held ? &*hold_.held : nullptr, 0, {}};
    Patch p;
    p.rev = 0;
    Path path;
    lent_.clear();
    const Lender lend{lend_min_, lent_};
    if (root_.state == State::Value) {
        if (!lend.set(root_.value, &before_, path, p.ops)) diff_value(path, before_, root_.value, p.ops);
    } else if (root_.state == State::ListEdit) {
        emit_list_edit(root_, before_, path, p.ops, index, edits_);
    } else if (root_.state == State::Interior) {
        emit_map(root_, before_, path, p.ops, index, lend, edits_);
    }
    if (lost_) return fail("a list held out of the kept value lost its place");
    return p;
}

bool IncrementalView::give_back(Patch& patch, Value& value) {
    for (auto& [path, k] : lent_) {
        Value* v = value_at(value, path);
        if (!v) return false;
        *v = std::move(patch.ops[k].value);
    }
    lent_.clear();
    return true;
}

void IncrementalView::commit(Value& value, ListIndex* index) {
    ListHold::Held* held = hold_.held ? &*hold_.held : nullptr;
    if (index) {
        // Each counted list: untouched by the call, changed by one list edit
        // (counted again from it), or changed otherwise (its counts dropped).
        for (const Path& path : index->paths()) {
            size_t depth = 0;
            const Node* n = overlay_at(path, depth);
            const bool replaced = n && depth < path.size();  // by a change above it
            if (!n || (!replaced && n->state == State::Interior && n->kids.empty())) continue;
            const Value* v = replaced ? nullptr : value_at(value, path);
            if (!replaced && n->state == State::ListEdit && held && held->path == path)
                index->splice(path, held->items.ref(), n->index, n->removed, n->values);
            else if (!replaced && n->state == State::ListEdit && v && v->kind() == Value::Kind::List)
                index->splice(path, v->as_list(), n->index, n->removed, n->values);
            else
                index->drop(path);
        }
    }
    if (held) {
        // Changed by one list edit (anything else put it back), or left alone.
        size_t depth = 0;
        Node* n = overlay_at(held->path, depth);
        if (n && depth == held->path.size() && n->state == State::ListEdit) {
            held->items.splice(n->index, n->removed, n->values.data(), n->values.size());
            n->values.clear();
            n->state = State::Interior;
        }
    }
    apply_node(value, root_);
    // One long list edited alone: held once two calls in a row edit it so.
    if (held || edits_.count != 1 || !edits_.long_list) return;
    if (hold_.last == edits_.long_list) hold_.hold(value, *edits_.long_list);
    else hold_.last = std::move(edits_.long_list);
}

}  // namespace norvane::crdt
