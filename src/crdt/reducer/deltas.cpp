// Deltas: the change report of an operation that changed the visible value.
#include "crdt/reducer/reducer.hpp"

#include <algorithm>

#include "crdt/reducer/errors.hpp"

namespace norvane::crdt {

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
            if (pol->kind != PolicyKind::Set) return fail(errors::kSetAddTarget);
            d.key = NV_TRY(member_key(pol->keys, op.value));
            d.value = op.value;
            break;
        }
        case OpKind::SequenceInsert: {
            auto loc = NV_TRY(node_at_path(root, root_policy, op.path));
            if (loc.policy->kind != PolicyKind::Sequence)
                return fail(errors::kInsertTarget);
            const SequenceNode* q = loc.node->seq();
            if (!q) return fail(errors::kSequenceIncompatible);
            d.after = op.after;
            d.elements.reserve(std::max<size_t>(4, op.values.size()));
            for (size_t i = 0; i < op.values.size(); ++i) {
                if (i >= (size_t(1) << 32)) return fail(errors::kTooManyInserted);
                ElementId id{op.dot, uint32_t(i)};
                auto e = q->find(id);
                if (!e || !e->has_node()) return fail(errors::kMissingInserted + debug_text(id));
                Value v;
                if (!e->plain()) v = NV_TRY(materialize_node(*e->node, loc.policy->element()));
                else if (loc.policy->element().kind != PolicyKind::Register) return fail(errors::kIncompatible);
                else v = e->plain_value();
                d.elements.push_back(SequenceDeltaElement{std::move(id), std::move(v)});
            }
            break;
        }
    }
    return d;
}

}  // namespace norvane::crdt
