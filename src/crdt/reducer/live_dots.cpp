// Live dots: what keeps a node's visible content alive, for local removals.
#include "crdt/reducer/reducer.hpp"

#include <algorithm>

namespace norvane::crdt {

// ---- live dots ---------------------------------------------------------------------------

static void collect_live(const NodeState& node, std::vector<Dot>& out) {
    if (const auto* r = node.reg()) {
        if (r->dot) out.push_back(*r->dot);
    } else if (const auto* m = node.map()) {
        for (const auto& [k, e] : m->entries) {
            if (!e.shows(RemovalFilter{})) continue;
            e.writes.all_of([&](const Dot& d) {
                out.push_back(d);
                return true;
            });
            collect_live(*e.node, out);
        }
    } else if (const auto* s = node.set()) {
        for (const auto& [k, e] : s->entries) {
            size_t before = out.size();
            e.writes.all_of([&](const Dot& d) {
                if (!e.removed().contains(d)) out.push_back(d);
                return true;
            });
            if (out.size() == before) continue;
            collect_live(*e.node, out);
        }
    } else if (const auto* q = node.seq()) {
        q->for_each([&](const SequenceNode::Element& e) {
            if (!e.deleted) out.push_back(e.id.dot);
            return true;
        });
    }
}

std::vector<Dot> live_dots(const NodeState& node) {
    std::vector<Dot> out;
    collect_live(node, out);
    std::stable_sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace norvane::crdt
