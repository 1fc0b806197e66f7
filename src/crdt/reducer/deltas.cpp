// Deltas: the change report of an operation that changed the visible value.
#include "crdt/reducer/reducer.hpp"

#include <algorithm>

#include "crdt/reducer/errors.hpp"
#include "value/json.hpp"

namespace norvane::crdt {

// ---- deltas ------------------------------------------------------------------------------

namespace {

// The sequence a sequence_insert's elements went into.
Result<std::pair<const SequenceNode*, const CrdtPolicy*>> inserted_into(const CrdtOp& op, const CrdtPolicy& root_policy,
                                                                         const NodeState& root) {
    auto loc = NV_TRY(node_at_path(root, root_policy, op.path));
    if (loc.policy->kind != PolicyKind::Sequence) return fail(errors::kInsertTarget);
    const SequenceNode* q = loc.node->seq();
    if (!q) return fail(errors::kSequenceIncompatible);
    return std::pair{q, loc.policy};
}

// Element `i` of a sequence_insert, which must hold a node or a register value.
Result<SequenceNode::Element> inserted_element(const CrdtOp& op, const SequenceNode& q, const CrdtPolicy& policy,
                                               size_t i) {
    if (i >= (size_t(1) << 32)) return fail(errors::kTooManyInserted);
    const ElementId id{op.dot, uint32_t(i)};
    auto e = q.find(id);
    if (!e || !e->has_node()) return fail(errors::kMissingInserted + debug_text(id));
    if (e->plain() && policy.element().kind != PolicyKind::Register) return fail(errors::kIncompatible);
    return *e;
}

}  // namespace

Status delta_as_text(CrdtDelta& d, std::string& texts, const CrdtOp& op, const OpText& text,
                     bool as_given, const CrdtPolicy& root_policy, const NodeState& root) {
    d.kind = op.kind;
    d.from = CrdtDelta::From::OpText;
    d.op_at = text.at;
    d.op_size = text.text.size();
    d.dot_begin = text.dot_begin;
    d.dot_end = text.dot_end;
    if (op.kind != OpKind::SequenceInsert) {
        d.op_end = text.text.size();
        return {};
    }
    // The operation's kind, path and predecessor as its text has them.
    d.op_end = text.values_begin;
    if (op.values.size() > (size_t(1) << 32)) return fail(errors::kTooManyInserted);
    if (as_given) {
        d.from = CrdtDelta::From::OpValues;
        d.op = text.index;
        d.values = op.values.size();
        return {};
    }
    auto [q, policy] = NV_TRY(inserted_into(op, root_policy, root));
    d.text_begin = texts.size();
    texts += ",\"elements\":[";
    for (size_t i = 0; i < op.values.size(); ++i) {
        const SequenceNode::Element e = NV_TRY(inserted_element(op, *q, *policy, i));
        if (i > 0) texts += ',';
        texts += "{\"id\":";
        write_element_id(texts, e.id);
        texts += ",\"value\":";
        if (e.plain()) e.write_plain_value(texts);
        else value_to_json(texts, NV_TRY(materialize_node(*e.node, policy->element())));
        texts += '}';
    }
    texts += "]}";
    d.text_size = texts.size() - d.text_begin;
    return {};
}

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
            auto [q, policy] = NV_TRY(inserted_into(op, root_policy, root));
            d.after = op.after;
            d.elements.reserve(std::max<size_t>(4, op.values.size()));
            for (size_t i = 0; i < op.values.size(); ++i) {
                const SequenceNode::Element e = NV_TRY(inserted_element(op, *q, *policy, i));
                Value v = e.plain() ? e.plain_value() : NV_TRY(materialize_node(*e.node, policy->element()));
                d.elements.push_back(SequenceDeltaElement{e.id, std::move(v)});
            }
            break;
        }
    }
    return d;
}

}  // namespace norvane::crdt
