#include "crdt/reducer/document.hpp"

#include <algorithm>
#include <limits>

#include "crdt/reducer/reducer.hpp"
#include "crdt/reducer/state.hpp"
#include "diff/diff.hpp"
#include "value/json.hpp"

namespace norvane::crdt {

namespace {

std::string invalid_dot(const Dot& d) { return "invalid operation dot " + debug_text(d); }

// Builds the effect's patch from the value before the call to the value after it.
Patch effect_patch(const Value& before, const Value& after) {
    Patch p;
    p.rev = 0;
    diff_value(Path{}, before, after, p.ops);
    return p;
}

CrdtOp make_op(OpKind kind, Dot dot, const CrdtPath& path) {
    CrdtOp op;
    op.kind = kind;
    op.dot = std::move(dot);
    op.path = path;
    return op;
}

// The changes a call makes to the node tree, the causal context and the
// fingerprints, made in place and taken back unless the call succeeds.
struct Journal {
    CrdtDocument& doc;
    uint64_t lamport;
    UndoLog nodes;
    std::vector<Dot> dots;
    std::vector<Dot> fps;
    bool done = false;

    explicit Journal(CrdtDocument& d) : doc(d), lamport(d.lamport_counter) {}
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;
    ~Journal() {
        if (done) return;
        nodes.rollback();
        for (const auto& d : dots) doc.context.dots.erase(d);
        for (const auto& d : fps) doc.fingerprints.erase(d);
        doc.lamport_counter = lamport;
    }
    void add_dot(const Dot& d) {
        if (doc.context.dots.insert(d).second) dots.push_back(d);
    }
    // Fingerprints are only ever added for dots the context does not hold yet.
    void set_fingerprint(const Dot& d, std::string fp) {
        auto [it, inserted] = doc.fingerprints.insert_or_assign(d, std::move(fp));
        if (inserted) fps.push_back(d);
    }
};

// How the value changed under one operation whose path is map keys only: the
// subtree at `keys` was replaced, added or removed (or nothing changed).
// Every map passed on the way keeps its other members: the operation writes
// only the entries along its path.
struct LocalChange {
    enum class Kind : uint8_t { None, Replace, Add, Remove };
    Kind kind = Kind::None;
    std::vector<std::string> keys;
    Value value;             // Replace, Add
    const Value* old = nullptr;  // Replace: the subtree before
};

bool keys_only(const CrdtPath& path) {
    return std::all_of(path.begin(), path.end(), [](const PathSegment& s) { return s.kind == PathSegment::Kind::Key; });
}

size_t scalar_len(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4; }

// The value of a sequence after one insertion or deletion, built from its value
// before (`old`) instead of materialising every element: the elements shown
// before and still shown are taken over in order, the inserted ones are
// materialised. Nothing when the old value does not line up with the elements
// (some element shows no value), so that the caller materialises it all.
Result<std::optional<Value>> sequence_after(const SequenceNode& q, const CrdtPolicy& pol, const Value& old,
                                            const CrdtOp& op) {
    const bool text = pol.materialization == SequenceMaterialization::String;
    if (!q.order.valid || old.kind() != (text ? Value::Kind::Str : Value::Kind::List)) return std::nullopt;
    // An insertion that was not placed into the known order may have moved
    // other elements (orphans finding their predecessor).
    if (op.kind == OpKind::SequenceInsert && !(q.order.placed == op.dot)) return std::nullopt;
    const auto base = q.entries.begin();
    // Elements this operation deleted that were not deleted before.
    std::vector<uint32_t> newly_deleted;
    if (op.kind == OpKind::SequenceDelete) {
        for (const auto& id : op.ids) {
            auto d = q.deletes.find(id);
            auto e = q.entries.find(id);
            if (d != q.deletes.end() && d->second.size() == 1 && e != q.entries.end())
                newly_deleted.push_back(uint32_t(e - base));
        }
        std::sort(newly_deleted.begin(), newly_deleted.end());
    }
    const bool inserting = op.kind == OpKind::SequenceInsert;
    static const DotSet kNoFilter;
    const ValueList* old_items = text ? nullptr : &old.as_list();
    const std::string* old_text = text ? &old.as_str() : nullptr;
    const size_t old_size = text ? old_text->size() : old_items->size();
    size_t j = 0;  // position in the old value (element or byte)
    ValueList items;
    std::string out;
    if (text) out.reserve(old_size + 8);
    else items.reserve(old_size + op.values.size());
    for (uint32_t i : q.order.order) {
        const auto& [id, e] = *(base + i);
        if (!e.node) continue;
        const bool deleted = deleted_at(q, i);
        const bool fresh = inserting && id.dot == op.dot;
        const bool before = fresh ? false
                            : !deleted || std::binary_search(newly_deleted.begin(), newly_deleted.end(), i);
        if (before) {
            if (j >= old_size) return std::nullopt;
            if (text) {
                const size_t n = std::min(scalar_len((unsigned char)(*old_text)[j]), old_size - j);
                if (!deleted) out.append(*old_text, j, n);
                j += n;
            } else {
                if (!deleted) items.push_back((*old_items)[j]);
                ++j;
            }
            continue;
        }
        if (!fresh || deleted) continue;
        auto v = NV_TRY(materialize_node_filtered(*e.node, pol.element(), kNoFilter));
        if (!v) continue;
        if (!text) {
            items.push_back(std::move(*v));
            continue;
        }
        if (v->kind() != Value::Kind::Str) return fail("string sequence element did not materialize as a string");
        const std::string& sv = v->as_str();
        if (sv.empty() || scalar_len((unsigned char)sv[0]) != sv.size())
            return fail("string sequence element must contain one Unicode scalar value");
        out += sv;
    }
    if (j != old_size) return std::nullopt;
    return text ? Value::str(std::move(out)) : Value::list(std::move(items));
}

// The change `op`, just applied to `root`, made to `old` (the value before it).
// Nothing when the walk meets a shape it does not expect; the caller then
// materialises the whole value.
Result<std::optional<LocalChange>> local_change(const NodeState& root, const CrdtPolicy& policy, const Value& old,
                                                const CrdtOp& op) {
    std::vector<const std::string*> chain;
    chain.reserve(op.path.size() + 1);
    for (const auto& seg : op.path) chain.push_back(&seg.key);
    if (op.kind == OpKind::MapSet || op.kind == OpKind::MapRemove) chain.push_back(&op.key);
    LocalChange c;
    const NodeState* node = &root;
    const CrdtPolicy* pol = &policy;
    const Value* oldv = &old;
    static const DotSet kEmpty;
    const DotSet* filter = &kEmpty;
    std::vector<std::unique_ptr<DotSet>> storage;
    for (const std::string* key : chain) {
        const MapNode* m = node->map();
        if (!m || pol->kind != PolicyKind::Map || oldv->kind() != Value::Kind::Map) return std::nullopt;
        const Value* old_child = oldv->find(*key);
        c.keys.push_back(*key);
        auto it = m->entries.find(*key);
        bool visible = false;
        if (it != m->entries.end()) {
            const MapEntryState& e = it->second;
            visible = std::any_of(e.dots.begin(), e.dots.end(),
                                  [&](const Dot& d) { return !filter->contains(d) && !e.removed.contains(d); });
        }
        if (!visible) {
            c.kind = old_child ? LocalChange::Kind::Remove : LocalChange::Kind::None;
            return c;
        }
        const MapEntryState& e = it->second;
        if (!e.removed.empty()) {
            if (filter->empty()) {
                filter = &e.removed.get();
            } else {
                auto joined = std::make_unique<DotSet>(*filter);
                joined->insert(e.removed.begin(), e.removed.end());
                filter = joined.get();
                storage.push_back(std::move(joined));
            }
        }
        pol = &pol->policy_for_key(*key);
        node = e.node.get();
        if (!old_child) {
            auto v = NV_TRY(materialize_node_filtered(*node, *pol, *filter));
            c.kind = LocalChange::Kind::Add;
            c.value = v ? std::move(*v) : Value::null();
            return c;
        }
        oldv = old_child;
    }
    std::optional<Value> v;
    if ((op.kind == OpKind::SequenceInsert || op.kind == OpKind::SequenceDelete) && node->seq() &&
        pol->kind == PolicyKind::Sequence && filter->empty())
        v = NV_TRY(sequence_after(*node->seq(), *pol, *oldv, op));
    if (!v) v = NV_TRY(materialize_node_filtered(*node, *pol, *filter));
    if (!v) {
        if (chain.empty()) return fail("root value is removed");
        v = Value::null();
    }
    c.kind = LocalChange::Kind::Replace;
    c.value = std::move(*v);
    c.old = oldv;
    return c;
}

Path value_path(const std::vector<std::string>& keys) {
    Path p;
    p.reserve(keys.size());
    for (const auto& k : keys) p.push_back(PathSeg::make_key(k));
    return p;
}

// Follows the materialised value through the operations of one call and
// builds the delta of every operation that changes it.
struct Tracker {
    const CrdtPolicy& policy;
    UndoLog* undo;
    std::shared_ptr<Value> running;  // the value so far, when `current`
    bool current = true;
    std::vector<CrdtDelta> deltas;
    // The call applies at most one operation: its change is found along its
    // path, without materialising the whole value.
    bool single = false;
    // Every operation takes the whole-value path (the reference for tests).
    bool whole = false;
    std::optional<LocalChange> local;

    // Applies `op` to `root` and records its delta when the value changed.
    Status step(NodeState& root, const CrdtOp& op) {
        if (whole) return step_whole(root, op);
        if (single && current && keys_only(op.path)) {
            NV_CHECK(apply_one(root, policy, op, undo));
            local = NV_TRY(local_change(root, policy, *running, op));
            if (local) {
                bool changed = local->kind == LocalChange::Kind::Replace ? !(local->value == *local->old)
                                                                          : local->kind != LocalChange::Kind::None;
                if (changed) deltas.push_back(NV_TRY(delta_for(op, policy, root)));
                return {};
            }
            Value after = NV_TRY(materialize_node(root, policy));
            if (!(after == *running)) {
                deltas.push_back(NV_TRY(delta_for(op, policy, root)));
                running = std::make_shared<Value>(std::move(after));
            }
            return {};
        }
        if (op.path.empty() && policy.kind == PolicyKind::Sequence &&
            (op.kind == OpKind::SequenceInsert || op.kind == OpKind::SequenceDelete))
            return step_root_sequence(root, op);
        if (!current) {
            running = std::make_shared<Value>(NV_TRY(materialize_node(root, policy)));
            current = true;
        }
        return step_whole(root, op);
    }

    // Applies `op` and compares the whole value before and after it.
    Status step_whole(NodeState& root, const CrdtOp& op) {
        if (!current) {
            running = std::make_shared<Value>(NV_TRY(materialize_node(root, policy)));
            current = true;
        }
        NV_CHECK(apply_one(root, policy, op, undo));
        Value after = NV_TRY(materialize_node(root, policy));
        if (!(after == *running)) {
            deltas.push_back(NV_TRY(delta_for(op, policy, root)));
            running = std::make_shared<Value>(std::move(after));
        }
        return {};
    }

    // Insertions into and deletions from a root sequence change the value
    // exactly when they show or hide an element, which is decided from the
    // elements themselves; the whole value is materialised once at the end.
    Status step_root_sequence(NodeState& root, const CrdtOp& op) {
        // An insertion can give orphaned elements their predecessor, which moves
        // them; only a sequence without orphans is safe from that.
        if (op.kind == OpKind::SequenceInsert) {
            if (SequenceNode* q = root.seq()) {
                ensure_order(*q);
                if (!q->order.valid || !q->order.complete) return step_whole(root, op);
            }
        }
        bool changed = false;
        if (op.kind == OpKind::SequenceDelete) {
            if (const SequenceNode* q = std::as_const(root).seq()) {
                for (const auto& id : op.ids) {
                    if (NV_TRY(shown(*q, id))) {
                        changed = true;
                        break;
                    }
                }
            }
        }
        NV_CHECK(apply_one(root, policy, op, undo));
        if (op.kind == OpKind::SequenceInsert) {
            const SequenceNode& q = *std::as_const(root).seq();
            for (size_t i = 0; i < op.values.size(); ++i)
                if (NV_TRY(shown(q, ElementId{op.dot, uint32_t(i)}))) changed = true;
        }
        if (changed) {
            deltas.push_back(NV_TRY(delta_for(op, policy, root)));
            current = false;
        }
        return {};
    }

    // Whether an element is part of the materialised sequence; a shown element
    // of a string sequence must hold one character, as materialisation demands.
    Result<bool> shown(const SequenceNode& q, const ElementId& id) const {
        auto it = q.entries.find(id);
        if (it == q.entries.end() || !it->second.inserted || !it->second.node || q.deletes.contains(id)) return false;
        static const DotSet kNoFilter;
        auto v = NV_TRY(materialize_node_filtered(*it->second.node, policy.element(), kNoFilter));
        if (!v) return false;
        if (policy.materialization == SequenceMaterialization::String) {
            if (v->kind() != Value::Kind::Str) return fail("string sequence element did not materialize as a string");
            const std::string& text = v->as_str();
            if (text.empty() || split_string_sequence(text).size() != 1)
                return fail("string sequence element must contain one Unicode scalar value");
        }
        return true;
    }

    // The effect's patch from `cache` (the value before the call) to the value
    // after the last operation, which then replaces the cache. Cannot fail
    // once the patch is built.
    Result<Patch> finish(const NodeState& root, std::shared_ptr<Value>& cache) {
        if (local) {
            Patch p;
            p.rev = 0;
            switch (local->kind) {
                case LocalChange::Kind::None: return p;
                case LocalChange::Kind::Replace:
                    diff_value(value_path(local->keys), *local->old, local->value, p.ops);
                    break;
                case LocalChange::Kind::Add: {
                    Op op;
                    op.kind = Op::Kind::Set;
                    op.path = value_path(local->keys);
                    op.value = local->value;
                    p.ops.push_back(std::move(op));
                    break;
                }
                case LocalChange::Kind::Remove: {
                    Op op;
                    op.kind = Op::Kind::Remove;
                    op.path = value_path(local->keys);
                    p.ops.push_back(std::move(op));
                    break;
                }
            }
            Value* target = cache.get();
            const size_t depth = local->keys.size();
            for (size_t i = 0; i + 1 < depth; ++i) target = target->find(local->keys[i]);
            if (local->kind == LocalChange::Kind::Replace) {
                if (depth) target = target->find(local->keys.back());
                *target = std::move(local->value);
            } else if (local->kind == LocalChange::Kind::Add) {
                target->insert_or_assign(local->keys.back(), std::move(local->value));
            } else {
                target->erase(local->keys.back());
            }
            return p;
        }
        if (!current) {
            running = std::make_shared<Value>(NV_TRY(materialize_node(root, policy)));
            current = true;
        }
        Patch p = effect_patch(*cache, *running);
        cache = running;
        return p;
    }
};

// The dots that the removals of the map entries and set members along `path`
// had observed: what they hide below them.
DotSet removal_filter(const NodeState& root, const CrdtPath& path) {
    DotSet out;
    const NodeState* node = &root;
    for (const auto& seg : path) {
        const NodeState* next = nullptr;
        if (const MapNode* m = node->map(); m && seg.kind == PathSegment::Kind::Key) {
            if (auto it = m->entries.find(seg.key); it != m->entries.end()) {
                out.insert(it->second.removed.begin(), it->second.removed.end());
                next = it->second.node.get();
            }
        } else if (const SetNode* s = node->set(); s && seg.kind == PathSegment::Kind::Member) {
            if (auto it = s->entries.find(seg.key); it != s->entries.end()) {
                out.insert(it->second.removed.begin(), it->second.removed.end());
                next = it->second.node.get();
            }
        } else if (const SequenceNode* q = node->seq(); q && seg.kind == PathSegment::Kind::Element) {
            if (auto it = q->entries.find(seg.id); it != q->entries.end()) next = it->second.node.get();
        }
        if (!next) break;
        node = next;
    }
    return out;
}

// Mutation processing on the document's node tree, under a journal.
struct Mutator {
    CrdtDocument& work;
    NodeState& root;
    Journal& journal;
    Tracker& tracker;
    std::vector<CrdtOp> ops;

    Result<Dot> fresh_dot() {
        uint64_t top = std::max(work.context.max_counter_any(), work.lamport_counter);
        // A counter that would wrap to 0 gives no valid dot: refuse instead.
        if (top == std::numeric_limits<uint64_t>::max()) return fail("CRDT operation counter is exhausted");
        work.lamport_counter = top + 1;
        return Dot{top + 1, work.replica};
    }

    Status process(CrdtOp op) {
        std::string fp = op_fingerprint(op);
        NV_CHECK(tracker.step(root, op));
        if (!dot_covered(op.dot, work.context.compacted)) journal.add_dot(op.dot);
        journal.set_fingerprint(op.dot, std::move(fp));
        ops.push_back(std::move(op));
        return {};
    }

    // The removed list of a removal: the entry's own write dots and the live
    // dots of its node, ascending and unique.
    static std::vector<Dot> removed_of(const DotSet& own, const NodeState& node) {
        std::vector<Dot> live = live_dots(node);
        std::vector<Dot> out;
        out.reserve(own.size() + live.size());
        std::set_union(own.begin(), own.end(), live.begin(), live.end(), std::back_inserter(out));
        return out;
    }

    Status run(const CrdtMutation& m) {
        const CrdtPolicy& policy = work.policy();
        switch (m.kind) {
            // A removal resolves its path read-only first: a path that does not
            // exist fails the call, and nothing is created on the way.
            case OpKind::MapRemove: {
                CrdtOp op = make_op(m.kind, NV_TRY(fresh_dot()), m.path);
                op.key = m.key;
                auto loc = NV_TRY(node_at_path(root, policy, m.path));
                if (loc.policy->kind != PolicyKind::Map) return fail("map_remove path does not address a map");
                const MapNode* map = loc.node->map();
                if (!map) return fail("map policy has incompatible reducer state");
                if (auto it = map->entries.find(m.key); it != map->entries.end())
                    op.removed = removed_of(it->second.dots, *it->second.node);
                return process(std::move(op));
            }
            case OpKind::SetRemove: {
                CrdtOp op = make_op(m.kind, NV_TRY(fresh_dot()), m.path);
                op.key = m.key;
                auto loc = NV_TRY(node_at_path(root, policy, m.path));
                if (loc.policy->kind != PolicyKind::Set) return fail("set_remove path does not address a set");
                const SetNode* set = loc.node->set();
                if (!set) return fail("set policy has incompatible reducer state");
                if (auto it = set->entries.find(m.key); it != set->entries.end())
                    op.removed = removed_of(it->second.adds, *it->second.node);
                return process(std::move(op));
            }
            case OpKind::SequenceSplice: return splice(m);
            default: {
                CrdtOp op = make_op(m.kind, NV_TRY(fresh_dot()), m.path);
                op.key = m.key;
                op.value = m.value;
                op.after = m.after;
                op.values = m.values;
                op.ids = m.ids;
                return process(std::move(op));
            }
        }
    }

    Status splice(const CrdtMutation& m) {
        auto loc = NV_TRY(node_at_path(root, work.policy(), m.path));
        if (loc.policy->kind != PolicyKind::Sequence) return fail("sequence_splice path does not address a sequence");
        const SequenceNode* seq = loc.node->seq();
        if (!seq) return fail("sequence policy has incompatible reducer state");
        // The walk found the node through the document's own tree.
        ensure_order(const_cast<SequenceNode&>(*seq));
        // Positions count the elements the value shows: not deleted, not hidden
        // by a removal on the way to the sequence, and holding a value.
        const DotSet filter = removal_filter(root, m.path);
        const CrdtPolicy& element = loc.policy->element();
        auto shown = [&](const ElementId& id, const SequenceEntryState& e) {
            if (!e.node || filter.contains(id.dot)) return false;
            const RegisterNode* r = e.node->reg();
            return element.kind != PolicyKind::Register || !r || (r->dot && !filter.contains(*r->dot));
        };
        // Only the positions up to the end of the deleted range are needed; the walk goes to
        // the end (and so knows the length) only when the range does not fit.
        uint64_t end = 0;
        const bool overflow = __builtin_add_overflow(m.index, m.delete_count, &end);
        const uint64_t needed = overflow ? std::numeric_limits<uint64_t>::max() : end;
        std::vector<const ElementId*> visible;
        auto take = [&](const ElementId& id, const SequenceEntryState& e) {
            if (shown(id, e)) visible.push_back(&id);
            return visible.size() < needed;
        };
        if (needed > 0 && seq->order.valid) {
            visible.reserve(std::min<uint64_t>(needed, seq->order.order.size()));
            for (uint32_t i : seq->order.order) {
                const auto& [id, e] = *(seq->entries.begin() + i);
                if (!deleted_at(*seq, i) && !take(id, e)) break;
            }
        } else if (needed > 0) {
            for (const ElementId* id : ordered_sequence_refs(*seq))
                if ((seq->deletes.empty() || !seq->deletes.contains(*id)) && !take(*id, seq->entries.find(*id)->second))
                    break;
        }
        const uint64_t len = visible.size();
        if (m.index > len) {
            std::string msg = "sequence splice index " + std::to_string(m.index) + " out of bounds (len " +
                              std::to_string(len) + ")";
            return fail(std::move(msg));
        }
        if (overflow || end > len) {
            if (overflow) end = std::numeric_limits<uint64_t>::max();
            std::string msg = "sequence splice delete range " + std::to_string(m.index) + ".." + std::to_string(end) +
                              " out of bounds (len " + std::to_string(len) + ")";
            return fail(std::move(msg));
        }
        // Copied out before the first operation changes the sequence.
        std::optional<ElementId> after;
        if (m.index > 0) after = *visible[m.index - 1];
        std::vector<ElementId> deleted;
        deleted.reserve(end - m.index);
        for (uint64_t i = m.index; i < end; ++i) deleted.push_back(*visible[i]);
        if (m.delete_count > 0) {
            CrdtOp del = make_op(OpKind::SequenceDelete, NV_TRY(fresh_dot()), m.path);
            del.ids = std::move(deleted);
            NV_CHECK(process(std::move(del)));
        }
        if (!m.values.empty()) {
            CrdtOp ins = make_op(OpKind::SequenceInsert, NV_TRY(fresh_dot()), m.path);
            ins.after = std::move(after);
            ins.values = m.values;
            NV_CHECK(process(std::move(ins)));
        }
        return {};
    }
};

}  // namespace

Result<CrdtDocument> CrdtDocument::create(std::string_view spec_json, std::string_view value_json,
                                          std::string_view replica) {
    CrdtSpec spec = NV_TRY(CrdtSpec::from_json(spec_json));
    Value value = NV_TRY(parse_value(value_json));
    NV_CHECK(validate_replica(replica));
    std::string hash = NV_TRY(spec.hash());
    CrdtDocument doc;
    doc.root = NodeState::empty(StateKind(size_t(spec.root.kind)));
    NV_CHECK(merge_value(doc.root, spec.root, value, Dot::initial()));
    doc.value_cache = std::make_shared<Value>(NV_TRY(materialize_node(doc.root, spec.root)));
    doc.replica = std::string(replica);
    doc.spec = std::move(spec);
    doc.spec_hash = std::move(hash);
    return doc;
}

Result<CrdtDocument> CrdtDocument::from_state(std::string_view spec_json, std::string_view state_json,
                                              std::string_view replica) {
    CrdtSpec spec = NV_TRY(CrdtSpec::from_json(spec_json));
    CrdtState st = NV_TRY(parse_state(state_json));
    std::string hash = NV_TRY(spec.hash());
    if (st.state_version != 1)
        return fail("unsupported CRDT state version " + std::to_string(st.state_version) + "; expected 1");
    if (st.spec_hash != hash) return fail("incompatible CRDT state: spec hash " + st.spec_hash + ", expected " + hash);
    bool same = st.fingerprints.size() == st.context.dots.size() &&
                std::equal(st.fingerprints.begin(), st.fingerprints.end(), st.context.dots.begin(),
                           [](const auto& fp, const Dot& d) { return fp.first == d; });
    if (!same) return fail("CRDT state fingerprints do not match its uncompacted causal dots");
    for (const auto& d : st.context.dots)
        if (!d.valid_operation_dot()) return fail(invalid_dot(d));
    for (const auto& [d, fp] : st.fingerprints)
        if (fp.size() != 71 || !fp.starts_with("sha256:"))
            return fail("CRDT state contains an invalid operation fingerprint");
    NV_CHECK(validate_replica(replica));
    CrdtDocument doc;
    doc.replica = std::string(replica);
    doc.spec = std::move(spec);
    doc.spec_hash = std::move(hash);
    doc.root = std::move(st.root);
    doc.context = std::move(st.context);
    doc.fingerprints = std::move(st.fingerprints);
    doc.lamport_counter = doc.context.max_counter_any();
    doc.value_cache = std::make_shared<Value>(NV_TRY(materialize_node(doc.root, doc.policy())));
    return doc;
}

Result<std::shared_ptr<const Value>> CrdtDocument::current_value() const {
    if (value_cache) return value_cache;
    return std::make_shared<const Value>(NV_TRY(materialize_node(root, policy())));
}

Result<std::string> CrdtDocument::value() const {
    auto v = NV_TRY(current_value());
    std::string out;
    out.reserve(128);
    value_to_json(out, *v);
    return out;
}

Result<std::string> CrdtDocument::state() const {
    std::string out;
    out.reserve(128);
    write_state(out, state_version, spec_hash, context, fingerprints, root);
    return out;
}

Result<std::pair<std::vector<CrdtOp>, CrdtEffect>> CrdtDocument::mutate_ops(const std::vector<CrdtMutation>& mutations,
                                                                            bool whole) {
    if (!value_cache) value_cache = std::make_shared<Value>(NV_TRY(materialize_node(root, policy())));
    Journal journal(*this);
    Tracker tracker{policy(), &journal.nodes, value_cache, true, {}, false, whole, std::nullopt};
    // One mutation gives one operation, except a splice that both deletes and inserts.
    tracker.single = mutations.size() == 1 && !(mutations[0].kind == OpKind::SequenceSplice &&
                                                mutations[0].delete_count > 0 && !mutations[0].values.empty());
    Mutator m{*this, root, journal, tracker, {}};
    m.ops.reserve(mutations.size());
    for (const auto& mu : mutations) NV_CHECK(m.run(mu));
    CrdtEffect effect;
    effect.patch = NV_TRY(tracker.finish(root, value_cache));
    effect.deltas = std::move(tracker.deltas);
    effect.applied = m.ops.size();
    journal.done = true;
    return std::pair{std::move(m.ops), std::move(effect)};
}

namespace {

Result<std::string> mutate_text(CrdtDocument& doc, std::string_view mutations_json, bool whole) {
    auto mutations = NV_TRY(parse_mutations(mutations_json));
    auto [ops, effect] = NV_TRY(doc.mutate_ops(mutations, whole));
    std::string out;
    out.reserve(128);
    out += "{\"ops\":";
    write_ops(out, ops);
    out += ",\"effect\":";
    write_effect(out, effect);
    out += '}';
    return out;
}

Result<std::string> apply_text(CrdtDocument& doc, std::string_view ops_json, bool whole) {
    auto ops = NV_TRY(parse_ops(ops_json));
    CrdtEffect effect = NV_TRY(doc.apply_ops(ops, whole));
    std::string out;
    out.reserve(128);
    write_effect(out, effect);
    return out;
}

}  // namespace

Result<std::string> CrdtDocument::mutate(std::string_view mutations_json) {
    return mutate_text(*this, mutations_json, false);
}
Result<std::string> CrdtDocument::mutate_whole(std::string_view mutations_json) {
    return mutate_text(*this, mutations_json, true);
}
Result<std::string> CrdtDocument::apply(std::string_view ops_json) { return apply_text(*this, ops_json, false); }
Result<std::string> CrdtDocument::apply_whole(std::string_view ops_json) { return apply_text(*this, ops_json, true); }

Result<CrdtEffect> CrdtDocument::apply_ops(const std::vector<CrdtOp>& ops, bool whole) {
    std::vector<std::string> fps;
    fps.reserve(ops.size());
    for (const auto& op : ops) {
        if (!op.dot.valid_operation_dot()) return fail(invalid_dot(op.dot));
        fps.push_back(op_fingerprint(op));
    }
    if (!value_cache) value_cache = std::make_shared<Value>(NV_TRY(materialize_node(root, policy())));
    Journal journal(*this);
    Tracker tracker{policy(), &journal.nodes, value_cache, true, {}, false, whole, std::nullopt};
    tracker.single = ops.size() == 1;
    CrdtEffect effect;
    for (size_t i = 0; i < ops.size(); ++i) {
        const CrdtOp& op = ops[i];
        if (context.knows(op.dot)) {
            auto it = fingerprints.find(op.dot);
            if (it == fingerprints.end() || it->second == fps[i]) continue;
            return fail("operation dot " + debug_text(op.dot) + " was reused with different content");
        }
        NV_CHECK(tracker.step(root, op));
        journal.add_dot(op.dot);
        journal.set_fingerprint(op.dot, fps[i]);
        lamport_counter = std::max(lamport_counter, op.dot.counter);
        ++effect.applied;
    }
    effect.patch = NV_TRY(tracker.finish(root, value_cache));
    effect.deltas = std::move(tracker.deltas);
    journal.done = true;
    return effect;
}

Result<std::string> CrdtDocument::member_key(std::string_view path_json, std::string_view value_json) const {
    CrdtPath path = NV_TRY(parse_path(path_json));
    Value value = NV_TRY(parse_value(value_json));
    const CrdtPolicy* pol = NV_TRY(policy_at_path(policy(), path));
    if (pol->kind != PolicyKind::Set) return fail("path does not address a set policy");
    return crdt::member_key(pol->keys, value);
}

Result<uint64_t> CrdtDocument::compact(std::string_view frontier_json) {
    Frontier frontier = NV_TRY(parse_frontier(frontier_json));
    for (const auto& [r, target] : frontier) {
        auto it = context.compacted.find(r);
        uint64_t current = it == context.compacted.end() ? 0 : it->second;
        if (target <= current) continue;
        uint64_t count = 0;
        for (const auto& d : context.dots)
            if (d.replica == r && d.counter > current && d.counter <= target) ++count;
        if (count != target - current)
            return fail("compaction frontier " + r + ":" + std::to_string(target) +
                        " is not covered by contiguous observed dots after " + std::to_string(current));
    }
    uint64_t purged = compact_node(root, policy(), frontier);
    // Purged tombstones were invisible; the value is recomputed all the same.
    if (purged) value_cache.reset();
    for (const auto& [r, target] : frontier) {
        auto [it, inserted] = context.compacted.emplace(r, target);
        if (!inserted) it->second = std::max(it->second, target);
    }
    auto dropped = [&](const Dot& d) {
        if (d.replica == kInitReplica) return true;
        auto it = frontier.find(d.replica);
        return d.counter <= (it == frontier.end() ? 0 : it->second);
    };
    std::erase_if(context.dots, dropped);
    std::erase_if(fingerprints, [&](const auto& kv) { return dropped(kv.first); });
    return purged;
}

}  // namespace norvane::crdt
