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

CrdtOp make_op(OpKind kind, Dot dot, const CrdtPath& path) {
    CrdtOp op;
    op.kind = kind;
    op.dot = std::move(dot);
    op.path = path;
    return op;
}

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

    Result<Dot> fresh_dot() {
        uint64_t top = std::max(work.context.max_counter_any(), work.lamport_counter);
        // A counter that would wrap to 0 gives no valid dot: refuse instead.
        if (top == std::numeric_limits<uint64_t>::max()) return fail(errors::kCounterExhausted);
        work.lamport_counter = top + 1;
        return Dot{top + 1, work.self};
    }

    Status process(CrdtOp op, const IncrementalView::SpliceHint* hint = nullptr) {
        const Sha256Digest fp = op_fingerprint(op);
        NV_CHECK(tracker.step(root, op, hint));
        NV_CHECK(check_text_elements(work.policy(), op));
        // A fresh dot is above every counter the document knows.
        journal.add(op.dot, fp);
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
                if (loc.policy->kind != PolicyKind::Map) return fail(errors::kMapRemoveTarget);
                const MapNode* map = loc.node->map();
                if (!map) return fail(errors::kMapIncompatible);
                if (auto it = map->entries.find(m.key); it != map->entries.end())
                    op.removed = removed_of(it->second.dots, *it->second.node);
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
        if (loc.policy->kind != PolicyKind::Sequence) return fail(errors::kSpliceTarget);
        const SequenceNode* seq = loc.node->seq();
        if (!seq) return fail(errors::kSequenceIncompatible);
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
        // Only the shown ids from the predecessor on are kept; the others are counted.
        const uint64_t keep_from = m.index > 0 ? m.index - 1 : 0;
        uint64_t len = 0;
        std::vector<const ElementId*> kept;
        auto keep = [&](const ElementId* id) {
            if (len >= keep_from) kept.push_back(id);
            return ++len < needed;
        };
        auto take = [&](const ElementId& id, const SequenceEntryState& e) { return !shown(id, e) || keep(&id); };
        // Without removals on the way the cached widths tell what is shown, and
        // the positions the splice's operations act at in the value come along.
        IncrementalView::SpliceHint hint;
        bool hinted = seq->order.valid && filter.empty();
        const SequenceOrder& order = seq->order;
        if (hinted && !overflow && end <= order.shown && m.index > order.shown / 2) {
            // Nearer the end: walk back from it, knowing how many elements show.
            const auto base = seq->entries.begin();
            const uint8_t* width = order.width.data();
            const bool text = loc.policy->materialization == SequenceMaterialization::String;
            if (text && order.shown_other) hinted = false;
            len = order.shown;
            size_t pos = order.shown, after_bytes = 0;  // bytes shown from `pos` on
            if (m.index == pos) hint.index_bytes = order.shown_bytes;
            if (end == pos) hint.end_bytes = order.shown_bytes;
            for (auto it = order.order.rbegin(); it != order.order.rend() && pos > keep_from; ++it) {
                const uint8_t w = width[*it];
                if (!w) continue;
                --pos;
                after_bytes += w == SequenceOrder::kNotChar ? 0 : w;
                if (pos < end) kept.push_back(&(base + *it)->first);
                if (pos == m.index) hint.index_bytes = order.shown_bytes - after_bytes;
                if (pos == end) hint.end_bytes = order.shown_bytes - after_bytes;
            }
            std::reverse(kept.begin(), kept.end());
        } else if (needed > 0 && hinted) {
            const auto base = seq->entries.begin();
            const uint8_t* width = seq->order.width.data();
            const bool text = loc.policy->materialization == SequenceMaterialization::String;
            size_t bytes = 0;
            for (uint32_t i : seq->order.order) {
                const uint8_t w = width[i];
                if (!w) continue;
                if (len == m.index) hint.index_bytes = bytes;
                if (text && w == SequenceOrder::kNotChar) hinted = false;
                bytes += w;
                const bool more = keep(&(base + i)->first);
                if (len == end) hint.end_bytes = bytes;
                if (!more) break;
            }
            if (len == m.index) hint.index_bytes = bytes;
        } else if (needed > 0 && seq->order.valid) {
            for (uint32_t i : seq->order.order) {
                const auto& [id, e] = *(seq->entries.begin() + i);
                if (!deleted_at(*seq, i) && !take(id, e)) break;
            }
        } else if (needed > 0) {
            for (const ElementId* id : ordered_sequence_refs(*seq))
                if ((seq->deletes.empty() || !seq->deletes.contains(*id)) && !take(*id, seq->entries.find(*id)->second))
                    break;
        }
        if (m.index > len)
            return fail(errors::kSpliceIndex[0] + std::to_string(m.index) + errors::kSpliceIndex[1] +
                        std::to_string(len) + ")");
        if (overflow || end > len) {
            if (overflow) end = std::numeric_limits<uint64_t>::max();
            return fail(errors::kSpliceRange[0] + std::to_string(m.index) + ".." + std::to_string(end) +
                        errors::kSpliceRange[1] + std::to_string(len) + ")");
        }
        // Copied out before the first operation changes the sequence.
        std::optional<ElementId> after;
        if (m.index > 0) after = *kept[0];
        std::vector<ElementId> deleted;
        deleted.reserve(end - m.index);
        for (uint64_t i = m.index; i < end; ++i) deleted.push_back(*kept[i - keep_from]);
        hint.index = m.index;
        hint.end = end;
        if (m.delete_count > 0) {
            CrdtOp del = make_op(OpKind::SequenceDelete, NV_TRY(fresh_dot()), m.path);
            del.ids = std::move(deleted);
            NV_CHECK(process(std::move(del), hinted ? &hint : nullptr));
        }
        if (!m.values.empty()) {
            CrdtOp ins = make_op(OpKind::SequenceInsert, NV_TRY(fresh_dot()), m.path);
            ins.after = std::move(after);
            ins.values = m.values;
            NV_CHECK(process(std::move(ins), hinted ? &hint : nullptr));
        }
        return {};
    }
};

}  // namespace

Result<std::pair<std::vector<CrdtOp>, CrdtEffect>> CrdtDocument::mutate_ops(const std::vector<CrdtMutation>& mutations,
                                                                            bool whole, const OpsSink& before_commit) {
    if (!value_cache) value_cache = std::make_shared<Value>(NV_TRY(materialize_node(root, policy())));
    Journal journal(*this);
    Tracker tracker(policy(), &journal.nodes, value_cache, whole);
    Mutator m{*this, root, journal, tracker, {}};
    m.ops.reserve(mutations.size());
    for (const auto& mu : mutations) NV_CHECK(m.run(mu));
    CrdtEffect effect;
    journal.cache_changing = true;
    effect.patch = NV_TRY(tracker.finish(root));
    effect.deltas = std::move(tracker.deltas);
    effect.applied = m.ops.size();
    if (before_commit) before_commit(m.ops, effect);
    journal.done = true;
    return std::pair{std::move(m.ops), std::move(effect)};
}

}  // namespace norvane::crdt
