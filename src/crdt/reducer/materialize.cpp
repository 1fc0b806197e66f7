// Materialisation: the visible value of a node under a removal filter.
#include "crdt/reducer/reducer.hpp"

#include <algorithm>

#include "crdt/reducer/errors.hpp"

namespace norvane::crdt {

Result<std::optional<Value>> materialize_node_filtered(const NodeState& node, const CrdtPolicy& policy,
                                                       const RemovalFilter& filter) {
    if (node.kind() != state_kind_of(policy)) return fail(errors::kIncompatible);
    switch (policy.kind) {
        case PolicyKind::Register: {
            const RegisterNode& r = *node.reg();
            if (!r.dot || filter.contains(*r.dot)) return std::optional<Value>();
            return std::optional<Value>(r.value ? *r.value : Value::null());
        }
        case PolicyKind::Map: {
            ValueMap out;
            out.reserve(node.map()->entries.size());
            for (const auto& [key, e] : node.map()->entries) {
                if (!e.shows(filter)) continue;
                auto child = NV_TRY(materialize_node_filtered(*e.node, policy.policy_for_key(key), filter.with(e.removed())));
                out.emplace_back(key, child ? std::move(*child) : Value::null());
            }
            return std::optional<Value>(Value::map(std::move(out)));
        }
        case PolicyKind::Set: {
            ValueList out;
            out.reserve(node.set()->entries.size());
            for (const auto& [key, e] : node.set()->entries) {
                if (!e.shows(filter)) continue;
                auto child = NV_TRY(materialize_node_filtered(*e.node, policy.element(), filter.with(e.removed())));
                if (child) out.push_back(std::move(*child));
            }
            return std::optional<Value>(Value::list(std::move(out)));
        }
        case PolicyKind::Sequence: {
            const SequenceNode& q = *node.seq();
            const bool text = policy.materialization == SequenceMaterialization::String;
            const CrdtPolicy& element = policy.element();
            const bool registers = element.kind == PolicyKind::Register;
            if (text && registers && filter.empty()) {
                // Characters straight from the sequence when all it shows are characters.
                std::string str;
                if (q.append_text(str)) return std::optional<Value>(Value::str(std::move(str)));
            }
            ValueList out;
            if (!text) out.reserve(q.shown());  // at most the elements shown under no removal
            std::string str;
            // A character that is not one is reported once every element has
            // materialised: an element's own failure comes first.
            const char* text_error = nullptr;
            auto check = [&](const Value& v) {
                if (text_error) return false;
                if (v.kind() != Value::Kind::Str) text_error = errors::kStringElementNotString;
                else if (!is_one_scalar(v.as_str())) text_error = errors::kStringElementNotOneScalar;
                return text_error == nullptr;
            };
            Status failed;
            q.for_each([&](const SequenceNode::Element& e) {
                if (!e.shows(filter)) return true;
                if (e.plain()) {
                    // A register written at the element's own dot.
                    if (!registers) {
                        failed = fail(errors::kIncompatible);
                        return false;
                    }
                    if (!text) out.push_back(e.plain_value());
                    else if (e.held == SequenceNode::Held::Char) {
                        if (!text_error) str += e.chars;
                    } else {
                        check(*e.value);
                    }
                    return true;
                }
                auto child = materialize_node_filtered(*e.node, element, filter);
                if (!child) {
                    failed = fail(child.error());
                    return false;
                }
                if (!*child) return true;
                if (!text) out.push_back(std::move(**child));
                else if (check(**child)) str += (*child)->as_str();
                return true;
            });
            NV_CHECK(failed);
            if (!text) return std::optional<Value>(Value::list(std::move(out)));
            if (text_error) return fail(text_error);
            return std::optional<Value>(Value::str(std::move(str)));
        }
    }
    return std::optional<Value>();
}

Result<Value> materialize_node(const NodeState& node, const CrdtPolicy& policy) {
    auto v = NV_TRY(materialize_node_filtered(node, policy, RemovalFilter{}));
    if (!v) return fail(errors::kRootRemoved);
    return std::move(*v);
}

}  // namespace norvane::crdt
