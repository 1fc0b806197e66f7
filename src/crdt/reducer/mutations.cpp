// Local mutations: the operations a replica's mutations become, applied under
// the call's journal.
#include <algorithm>
#include <limits>

#include "crdt/reducer/call.hpp"
#include "crdt/reducer/document.hpp"
#include "crdt/reducer/errors.hpp"
#include "crdt/reducer/reducer.hpp"

namespace norvane::crdt {

namespace {

using call::Journal;
using call::Tracker;

CrdtOp make_op(OpKind kind, Dot dot, CrdtPath path) {
    CrdtOp op;
    op.kind = kind;
    op.dot = std::move(dot);
    op.path = std::move(path);
    return op;
}

// The removals of the map entries and set members along `path`: what they
// hide below them.
RemovalFilter removal_filter(const NodeState& root, const CrdtPath& path) {
    RemovalFilter out;
    const NodeState* node = &root;
    for (const auto& seg : path) {
        const NodeState* next = nullptr;
        if (const MapNode* m = node->map(); m && seg.kind == PathSegment::Kind::Key) {
            if (auto it = m->entries.find(seg.key); it != m->entries.end()) {
                out.add(it->second.removed());
                next = it->second.node.get();
            }
        } else if (const SetNode* s = node->set(); s && seg.kind == PathSegment::Kind::Member) {
            if (auto it = s->entries.find(seg.key); it != s->entries.end()) {
                out.add(it->second.removed());
                next = it->second.node.get();
            }
        } else if (const SequenceNode* q = node->seq(); q && seg.kind == PathSegment::Kind::Element) {
            if (auto e = q->find(seg.id); e && !e->plain()) next = e->node;
        }
        if (!next) break;
        node = next;
    }
    return out;
}

// A text element must hold one character whether or not it shows: a replica
// that wrote anything else into a hidden element would send an operation its
// peers refuse wherever that element shows. Checked after the operation is
// applied, so that its own failures come first; a shown element has already
// failed the same way while the value was followed.
Status check_text_element(const Value& v) {
    if (v.kind() != Value::Kind::Str) return fail(errors::kStringElementNotString);
    if (!is_one_scalar(v.as_str())) return fail(errors::kStringElementNotOneScalar);
    return {};
}

Status check_text_elements(const CrdtPolicy& root, const CrdtOp& op) {
    auto is_text = [](const CrdtPolicy* p) {
        return p->kind == PolicyKind::Sequence && p->materialization == SequenceMaterialization::String;
    };
    if (op.kind == OpKind::RegisterSet && !op.path.empty() && op.path.back().kind == PathSegment::Kind::Element) {
        const CrdtPath seq(op.path.begin(), op.path.end() - 1);
        if (is_text(NV_TRY(policy_at_path(root, seq)))) return check_text_element(op.value);
    } else if (op.kind == OpKind::SequenceInsert && is_text(NV_TRY(policy_at_path(root, op.path)))) {
        for (const auto& v : op.values) NV_CHECK(check_text_element(v));
    }
    return {};
}

// Mutation processing on the document's node tree, under a journal.
struct Mutator {
    CrdtDocument& work;
    NodeState& root;
    Journal& journal;
    Tracker& tracker;
    std::vector<CrdtOp> ops;
    // The operations made, as the JSON array the call returns (without its
    // closing bracket): each one's text, written once, is also what its
    // fingerprint is taken of.
    std::string text = "[";

    Result<Dot> fresh_dot() {
        uint64_t top = std::max(work.context.max_counter_any(), work.lamport_counter);
        // A counter that would wrap to 0 gives no valid dot: refuse instead.
        if (top == std::numeric_limits<uint64_t>::max()) return fail(errors::kCounterExhausted);
        work.lamport_counter = top + 1;
        return Dot{top + 1, work.self};
    }

    Status process(CrdtOp op, const IncrementalView::SpliceHint* hint = nullptr) {
        if (!ops.empty()) text += ',';
        OpText written;
        const Sha256Digest fp = write_op_fingerprinted(text, op, &written);
        written.index = ops.size();
        NV_CHECK(tracker.step(root, op, hint, &written));
        NV_CHECK(check_text_elements(work.policy(), op));
        // A fresh dot is above every counter the document knows.
        journal.add(op.dot, fp);
        ops.push_back(std::move(op));
        return {};
    }

    // The removed list of a removal: the entry's own write dots and the live
    // dots of its node, ascending and unique.
    static std::vector<Dot> removed_of(const DotRuns& writes, const NodeState& node) {
        std::vector<Dot> own = writes.sorted();
        std::vector<Dot> live = live_dots(node);
        std::vector<Dot> out;
        out.reserve(own.size() + live.size());
        std::set_union(own.begin(), own.end(), live.begin(), live.end(), std::back_inserter(out));
        return out;
    }

    // Takes what the operation keeps out of `m`.
    Status run(CrdtMutation& m) {
        const CrdtPolicy& policy = work.policy();
        switch (m.kind) {
            // A removal resolves its path read-only first: a path that does not
            // exist fails the call, and nothing is created on the way.
            case OpKind::MapRemove: {
                CrdtOp op = make_op(m.kind, NV_TRY(fresh_dot()), m.path);
                op.key = m.key;
                auto loc = NV_TRY(node_at_path(root, policy, m.path));
                if (loc.policy->kind != PolicyKind::Map) return fail(errors::kMapRemoveTarget);
                const MapNode* map = loc.node->map();
                if (!map) return fail(errors::kMapIncompatible);
                if (auto it = map->entries.find(m.key); it != map->entries.end())
                    op.removed = removed_of(it->second.writes, *it->second.node);
                return process(std::move(op));
            }
            case OpKind::SetRemove: {
                CrdtOp op = make_op(m.kind, NV_TRY(fresh_dot()), m.path);
                op.key = m.key;
                auto loc = NV_TRY(node_at_path(root, policy, m.path));
                if (loc.policy->kind != PolicyKind::Set) return fail(errors::kSetRemoveTarget);
                const SetNode* set = loc.node->set();
                if (!set) return fail(errors::kSetIncompatible);
                if (auto it = set->entries.find(m.key); it != set->entries.end())
                    op.removed = removed_of(it->second.writes, *it->second.node);
                return process(std::move(op));
            }
            case OpKind::SequenceSplice: return splice(m);
            default: {
                CrdtOp op = make_op(m.kind, NV_TRY(fresh_dot()), std::move(m.path));
                op.key = std::move(m.key);
                op.value = std::move(m.value);
                op.after = std::move(m.after);
                op.values = std::move(m.values);
                op.ids = std::move(m.ids);
                return process(std::move(op));
            }
        }
    }

    Status splice(CrdtMutation& m) {
        auto loc = NV_TRY(node_at_path(root, work.policy(), m.path));
        if (loc.policy->kind != PolicyKind::Sequence) return fail(errors::kSpliceTarget);
        const SequenceNode* seq = loc.node->seq();
        if (!seq) return fail(errors::kSequenceIncompatible);
        // Positions count the elements the value shows: not deleted, not hidden
        // by a removal on the way to the sequence, and holding a value.
        const RemovalFilter filter = removal_filter(root, m.path);
        uint64_t end = 0;
        const bool overflow = __builtin_add_overflow(m.index, m.delete_count, &end);
        uint64_t len = 0;
        std::optional<ElementId> after;
        std::vector<ElementId> deleted;
        IncrementalView::SpliceHint hint;
        bool hinted = false;
        if (filter.empty() && !seq->has_orphans()) {
            // The sequence counts what it shows.
            len = seq->shown();
            if (m.index <= len && !overflow && end <= len) {
                if (m.index > 0) after = seq->at(m.index - 1).first;
                deleted = seq->ids_at(m.index, end - m.index);
                // Where the splice acts in the value: items, and bytes of a text.
                const bool text = loc.policy->materialization == SequenceMaterialization::String;
                hinted = !text || seq->shown_other() == 0;
                auto bytes_at = [&](uint64_t i) { return i < len ? seq->at(i).second : seq->shown_bytes(); };
                hint.index = m.index;
                hint.end = end;
                if (text && hinted) {
                    hint.index_bytes = bytes_at(m.index);
                    hint.end_bytes = end == m.index ? hint.index_bytes : bytes_at(end);
                }
            }
        } else {
            seq->for_each([&](const SequenceNode::Element& e) {
                if (!e.shows(filter)) return true;
                if (m.index > 0 && len == m.index - 1) after = e.id;
                if (len >= m.index && (overflow || len < end)) deleted.push_back(e.id);
                ++len;
                return true;
            });
        }
        if (m.index > len)
            return fail(errors::kSpliceIndex[0] + std::to_string(m.index) + errors::kSpliceIndex[1] +
                        std::to_string(len) + ")");
        if (overflow || end > len) {
            if (overflow) end = std::numeric_limits<uint64_t>::max();
            return fail(errors::kSpliceRange[0] + std::to_string(m.index) + ".." + std::to_string(end) +
                        errors::kSpliceRange[1] + std::to_string(len) + ")");
        }
        if (m.delete_count > 0) {
            CrdtOp del = make_op(OpKind::SequenceDelete, NV_TRY(fresh_dot()), m.path);
            del.ids = std::move(deleted);
            NV_CHECK(process(std::move(del), hinted ? &hint : nullptr));
        }
        if (!m.values.empty()) {
            CrdtOp ins = make_op(OpKind::SequenceInsert, NV_TRY(fresh_dot()), std::move(m.path));
            ins.after = std::move(after);
            ins.values = std::move(m.values);
            NV_CHECK(process(std::move(ins), hinted ? &hint : nullptr));
        }
        return {};
    }
};

}  // namespace

Result<std::pair<std::vector<CrdtOp>, CrdtEffect>> CrdtDocument::mutate_ops(std::vector<CrdtMutation> mutations,
                                                                            bool whole, const OpsSink& before_commit,
                                                                            size_t text_size) {
    NV_CHECK(keep_value(whole));
    Journal journal(*this);
    Tracker tracker(policy(), &journal.nodes, *this, whole);
    if (before_commit) tracker.lend_texts();
    Mutator m{*this, root, journal, tracker, {}};
    m.ops.reserve(mutations.size());
    // The operations are their mutations with a dot each; their deltas, without.
    m.text.reserve(text_size + 48 * mutations.size() + 2);
    for (auto& mu : mutations) NV_CHECK(m.run(mu));
    CrdtEffect effect;
    journal.cache_changing = true;
    effect.patch = NV_TRY(tracker.finish(root));
    effect.deltas = std::move(tracker.deltas);
    effect.texts = std::move(tracker.delta_texts);
    effect.applied = m.ops.size();
    m.text += ']';
    if (before_commit) {
        effect.op_texts = m.text;
        effect.ops = m.ops;
        before_commit(m.text, effect);
        effect.op_texts = {};
        effect.ops = {};
        tracker.give_back(effect.patch);
    }
    journal.done = true;
    return std::pair{std::move(m.ops), std::move(effect)};
}

}  // namespace norvane::crdt
