#include "crdt/reducer/document.hpp"

#include <algorithm>
#include <limits>
#include <map>

#include "crdt/reducer/reducer.hpp"
#include "crdt/reducer/state.hpp"
#include "crdt/reducer/view.hpp"
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

// Follows the materialised value through the operations of one call and
// builds the delta of every operation that changes it: along the operations'
// paths (the incremental view), or by materialising and comparing the whole
// value after every operation (the simple reference the view is checked
// against).
struct Tracker {
    const CrdtPolicy& policy;
    UndoLog* undo;
    std::shared_ptr<Value>& cache;  // the value before the call
    bool whole;
    std::shared_ptr<Value> running;  // whole: the value so far
    std::optional<IncrementalView> view;
    std::vector<CrdtDelta> deltas;

    Tracker(const CrdtPolicy& p, UndoLog* u, std::shared_ptr<Value>& c, bool w)
        : policy(p), undo(u), cache(c), whole(w) {
        if (whole) running = cache;
        else view.emplace(policy, *cache);
    }

    // Applies `op` to `root` and records its delta when the value changed.
    Status step(NodeState& root, const CrdtOp& op) {
        if (!whole) {
            if (NV_TRY(view->step(root, op, undo))) deltas.push_back(NV_TRY(delta_for(op, policy, root)));
            return {};
        }
        NV_CHECK(apply_one(root, policy, op, undo));
        Value after = NV_TRY(materialize_node(root, policy));
        if (!(after == *running)) {
            deltas.push_back(NV_TRY(delta_for(op, policy, root)));
            running = std::make_shared<Value>(std::move(after));
        }
        return {};
    }

    // The effect's patch from the value before the call to the value after the
    // last operation, which then replaces the cache. Cannot fail once the patch
    // is built.
    Result<Patch> finish(const NodeState& root) {
        if (whole) {
            Patch p = effect_patch(*cache, *running);
            cache = running;
            return p;
        }
        Patch p = NV_TRY(view->patch(root));
        if (cache.use_count() > 1) cache = std::make_shared<Value>(*cache);
        view->commit(*cache);
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
        if (needed > 0 && seq->order.valid && filter.empty()) {
            // Without removals on the way the cached widths tell what is shown.
            visible.reserve(std::min<uint64_t>(needed, seq->order.order.size()));
            const auto base = seq->entries.begin();
            for (uint32_t i : seq->order.order) {
                if (!seq->order.width[i]) continue;
                visible.push_back(&(base + i)->first);
                if (visible.size() >= needed) break;
            }
        } else if (needed > 0 && seq->order.valid) {
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
    Tracker tracker(policy(), &journal.nodes, value_cache, whole);
    Mutator m{*this, root, journal, tracker, {}};
    m.ops.reserve(mutations.size());
    for (const auto& mu : mutations) NV_CHECK(m.run(mu));
    CrdtEffect effect;
    effect.patch = NV_TRY(tracker.finish(root));
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
    Tracker tracker(policy(), &journal.nodes, value_cache, whole);
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
    effect.patch = NV_TRY(tracker.finish(root));
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
    // The observed counters of every replica the frontier raises, from one pass
    // over the dots: each check is then a count in a sorted list.
    std::map<std::string_view, std::vector<uint64_t>, std::less<>> counters;
    for (const auto& [r, target] : frontier) {
        auto it = context.compacted.find(r);
        if (target > (it == context.compacted.end() ? 0 : it->second)) counters.emplace(r, std::vector<uint64_t>{});
    }
    if (!counters.empty())
        for (const auto& d : context.dots)
            if (auto it = counters.find(d.replica); it != counters.end()) it->second.push_back(d.counter);
    for (auto& [r, seen] : counters) {
        const uint64_t target = frontier.find(r)->second;
        auto it = context.compacted.find(r);
        const uint64_t current = it == context.compacted.end() ? 0 : it->second;
        // Dots come in counter order, so each list is ascending.
        const auto first = std::upper_bound(seen.begin(), seen.end(), current);
        const auto last = std::upper_bound(first, seen.end(), target);
        if (uint64_t(last - first) != target - current)
            return fail("compaction frontier " + std::string(r) + ":" + std::to_string(target) +
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
