// Compaction: tombstones purged once their removals are covered by a frontier.
#include <algorithm>
#include <functional>
#include <map>
#include <string_view>
#include <vector>

#include "crdt/reducer/document.hpp"
#include "crdt/reducer/errors.hpp"
#include "crdt/reducer/reducer.hpp"
#include "crdt/reducer/state.hpp"

namespace norvane::crdt {

// ---- compaction --------------------------------------------------------------------------

namespace {

// Whether nothing written below a removed entry can show again once the entry
// is written anew: every dot in the subtree (writes and removals alike) lies in
// the entry's `removed`, and no sequence below holds elements or deletions
// (later insertions may name a purged element as predecessor, and deletions
// may precede the insertions they hide).
bool subtree_within(const NodeState& node, const DotRuns& removed) {
    auto within = [&](const DotRuns& dots) { return dots.all_of([&](const Dot& d) { return removed.contains(d); }); };
    if (const auto* r = node.reg()) return !r->dot || removed.contains(*r->dot);
    if (const auto* m = node.map()) {
        for (const auto& [k, e] : m->entries)
            if (!within(e.writes) || !within(e.removed()) || !subtree_within(*e.node, removed)) return false;
        return true;
    }
    if (const auto* s = node.set()) {
        for (const auto& [k, e] : s->entries)
            if (!within(e.writes) || !within(e.removed()) || !subtree_within(*e.node, removed)) return false;
        return true;
    }
    if (const auto* q = node.seq()) return q->empty();
    return true;
}

// Does what the purge would otherwise allocate for, so that the purge itself
// allocates nothing: gives every node compaction may change its own copy
// (copies of a document share nodes until one side writes to them) and sets
// the sequence elements to purge apart. Changes nothing the document shows.
void prepare(NodeState& node, const CrdtPolicy& policy, const std::function<bool(const Dot&)>& covered) {
    if (MapNode* m = node.map()) {
        if (policy.kind != PolicyKind::Map) return;
        for (auto& [key, e] : m->entries) prepare(*e.node, policy.policy_for_key(key), covered);
    } else if (SetNode* s = node.set()) {
        if (policy.kind != PolicyKind::Set) return;
        for (auto& [key, e] : s->entries) prepare(*e.node, policy.element(), covered);
    } else if (SequenceNode* q = node.seq()) {
        if (policy.kind != PolicyKind::Sequence) return;
        q->prepare_purge(covered);
        q->for_each_node([&](NodeState& n) { prepare(n, policy.element(), covered); });
    }
}

}  // namespace

// Allocates nothing once `unshare` has run over the same node and policy.
uint64_t compact_node(NodeState& node, const CrdtPolicy& policy, const Frontier& frontier) {
    uint64_t count = 0;
    auto all_covered = [&](const DotRuns& dots) { return dots.all_of([&](const Dot& d) { return dot_covered(d, frontier); }); };
    if (MapNode* m = node.map()) {
        if (policy.kind != PolicyKind::Map) return 0;
        for (auto& [key, e] : m->entries) count += compact_node(*e.node, policy.policy_for_key(key), frontier);
        std::erase_if(m->entries, [&](const auto& kv) {
            const MapEntryState& e = kv.second;
            bool gone = e.writes.all_of([&](const Dot& d) { return e.removed().contains(d); }) &&
                        !e.removal_ops().empty() && all_covered(e.removal_ops()) && subtree_within(*e.node, e.removed());
            if (gone) ++count;
            return gone;
        });
    } else if (SetNode* s = node.set()) {
        if (policy.kind != PolicyKind::Set) return 0;
        for (auto& [key, e] : s->entries) count += compact_node(*e.node, policy.element(), frontier);
        std::erase_if(s->entries, [&](const auto& kv) {
            const SetEntryState& e = kv.second;
            bool gone = e.writes.all_of([&](const Dot& d) { return e.removed().contains(d); }) &&
                        !e.removal_ops().empty() && all_covered(e.removal_ops()) && subtree_within(*e.node, e.removed());
            if (gone) ++count;
            return gone;
        });
    } else if (SequenceNode* q = node.seq()) {
        if (policy.kind != PolicyKind::Sequence) return 0;
        q->for_each_node([&](NodeState& n) { count += compact_node(n, policy.element(), frontier); });
        count += q->purge([&](const Dot& d) { return dot_covered(d, frontier); });
    }
    return count;
}

Result<uint64_t> CrdtDocument::compact(std::string_view frontier_json) {
    Frontier frontier = NV_TRY(parse_frontier(frontier_json));
    // Every counter the frontier raises a replica's compacted one over must be held.
    for (const auto& [r, target] : frontier) {
        auto it = context.compacted.find(r);
        const uint64_t current = it == context.compacted.end() ? 0 : it->second;
        if (target <= current) continue;
        if (context.held_between(replicas->intern(r), current, target) != target - current)
            return fail(errors::kFrontierGap[0] + r + ":" + std::to_string(target) + errors::kFrontierGap[1] +
                        std::to_string(current));
    }
    // Everything that allocates comes first; the document only changes once
    // nothing can fail any more.
    Frontier compacted = context.compacted;
    for (const auto& [r, target] : frontier) {
        auto [it, inserted] = compacted.emplace(r, target);
        if (!inserted) it->second = std::max(it->second, target);
    }
    prepare(root, policy(), [&](const Dot& d) { return dot_covered(d, frontier); });
    uint64_t purged = compact_node(root, policy(), frontier);
    // Purged tombstones were invisible; the value is recomputed all the same.
    if (purged) drop_value();
    context.compacted.swap(compacted);
    context.drop_covered(frontier);
    return purged;
}

}  // namespace norvane::crdt
