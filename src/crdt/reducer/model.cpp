// The node model: dots, the causal context, shared nodes and the undo log of a call.
#include "crdt/reducer/model.hpp"

#include <algorithm>
#include <utility>

#include "crdt/reducer/errors.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"

namespace norvane::crdt {

Replica ReplicaTable::intern(std::string_view name) {
    auto it = names_.find(name);
    if (it == names_.end()) it = names_.emplace(name).first;
    return &*it;
}

namespace {
thread_local ReplicaTable* current_table = nullptr;
}

InternScope::InternScope(ReplicaTable& table) : previous_(current_table) { current_table = &table; }
InternScope::~InternScope() { current_table = previous_; }
ReplicaTable& InternScope::table() {
    NORVANE_EXPECT(current_table != nullptr, "dots are read inside an intern scope");
    return *current_table;
}

bool dot_covered(const Dot& d, const Frontier& frontier) {
    if (d.is_initial()) return true;
    auto it = frontier.find(d.name());
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

void UndoLog::map_entry_added(MapNode* m, std::string key) {
    push([m, key = std::move(key)] { m->entries.erase(key); });
}

void UndoLog::set_entry_added(SetNode* s, std::string key) {
    push([s, key = std::move(key)] { s->entries.erase(key); });
}

void UndoLog::dot_added(SharedDotSet* s, Dot d) {
    push([s, d = std::move(d)] { s->erase(d); });
}

void UndoLog::register_saved(RegisterNode* r) {
    push([r, value = std::move(r->value), dot = r->dot]() mutable {
        r->value = std::move(value);
        r->dot = std::move(dot);
    });
}

void UndoLog::rollback() {
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) (*it)->undo();
    undo_.clear();
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
        return fail(errors::kInvalidReplica);
    return {};
}

void append_debug(std::string& out, const Dot& d) {
    out += "Dot { counter: ";
    append_u64(out, d.counter);
    out += ", replica: ";
    append_debug_str(out, d.name());
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
