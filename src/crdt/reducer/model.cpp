#include "crdt/reducer/model.hpp"

#include <algorithm>
#include <utility>

#include "util/float_text.hpp"
#include "util/text.hpp"

namespace norvane::crdt {

uint64_t CausalContext::max_counter_any() const {
    uint64_t m = 0;
    for (const auto& [r, c] : compacted) m = std::max(m, c);
    // Dots are ordered by counter first, so the last one has the greatest.
    if (!dots.empty()) m = std::max(m, dots.rbegin()->counter);
    return m;
}

bool CausalContext::knows(const Dot& d) const {
    auto it = compacted.find(d.replica);
    if (it != compacted.end() && it->second >= d.counter) return true;
    return dots.contains(d);
}

bool dot_covered(const Dot& d, const Frontier& frontier) {
    if (d.replica == kInitReplica) return true;
    auto it = frontier.find(d.replica);
    uint64_t f = it == frontier.end() ? 0 : it->second;
    return d.counter <= f;
}

NodePtr::NodePtr(NodeState n) : p_(std::make_shared<NodeState>(std::move(n))) {}

NodeState* NodePtr::mut() {
    if (p_ && p_.use_count() > 1) p_ = std::make_shared<NodeState>(std::as_const(*p_));
    return p_.get();
}

const DotSet& SharedDotSet::empty_set() {
    static const DotSet kEmpty;
    return kEmpty;
}

DotSet& SharedDotSet::mut() {
    if (!p_)
        p_ = std::make_shared<DotSet>();
    else if (p_.use_count() > 1)
        p_ = std::make_shared<DotSet>(*p_);
    return *p_;
}

NodeState NodeState::empty(StateKind k) {
    switch (k) {
        case StateKind::Register: return NodeState{RegisterNode{}};
        case StateKind::Map: return NodeState{MapNode{}};
        case StateKind::Set: return NodeState{SetNode{}};
        case StateKind::Sequence: return NodeState{SequenceNode{}};
    }
    return NodeState{RegisterNode{}};
}

Status validate_replica(std::string_view replica) {
    if (replica.empty() || replica == kInitReplica)
        return fail("replica identifier must be non-empty and cannot be reserved $init");
    return {};
}

void append_debug(std::string& out, const Dot& d) {
    out += "Dot { counter: ";
    append_u64(out, d.counter);
    out += ", replica: ";
    append_debug_str(out, d.replica);
    out += " }";
}

void append_debug(std::string& out, const ElementId& id) {
    out += "ElementId { dot: ";
    append_debug(out, id.dot);
    out += ", index: ";
    append_u64(out, id.index);
    out += " }";
}

std::string debug_text(const Dot& d) {
    std::string s;
    append_debug(s, d);
    return s;
}

std::string debug_text(const ElementId& id) {
    std::string s;
    append_debug(s, id);
    return s;
}

}  // namespace norvane::crdt
