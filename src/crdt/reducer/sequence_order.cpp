// The sequence order: the document order of a sequence's elements, computed
// from their predecessors and kept with the widths of the elements it shows.
#include "crdt/reducer/reducer.hpp"

#include <algorithm>

namespace norvane::crdt {

// The width an element has in the cached order (see SequenceOrder::width).
namespace {

uint8_t element_width(const SequenceEntryState& e, bool deleted) {
    if (!e.inserted || deleted || !e.node) return 0;
    const RegisterNode* r = e.node->reg();
    if (r && !r->dot) return 0;
    if (r && r->value && r->value->kind() == Value::Kind::Str && is_one_scalar(r->value->as_str()))
        return uint8_t(r->value->as_str().size());
    return SequenceOrder::kNotChar;
}

}  // namespace

uint8_t order_width(const SequenceEntryState& e, bool deleted) { return element_width(e, deleted); }


namespace {

// Computes the order; `complete` tells whether every inserted entry was reached
// from the head.
std::vector<SeqIter> compute_order(const SequenceNode& seq, bool* complete) {
    const auto& entries = seq.entries;
    const size_t n = entries.size();
    std::vector<SeqIter> by_index;
    by_index.reserve(n);
    for (auto it = entries.begin(); it != entries.end(); ++it) by_index.push_back(it);

    // Children table in compressed form: parent (entry position) -> children
    // ascending; the head's children separately. A predecessor that is not an
    // entry is never reached, so its children are not listed anywhere.
    constexpr size_t kNone = size_t(-1);
    std::vector<size_t> parent(n, kNone);
    std::vector<size_t> head;
    std::vector<uint32_t> count(n + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        const auto& e = by_index[i]->second;
        if (!e.inserted) continue;
        if (!e.after) {
            head.push_back(i);
            continue;
        }
        // Most predecessors are the entry just before (the previous value of the
        // same insertion); otherwise a binary search over the ordered ids.
        size_t pi;
        if (i > 0 && by_index[i - 1]->first == *e.after) {
            pi = i - 1;
        } else {
            pi = size_t(std::lower_bound(by_index.begin(), by_index.end(), *e.after,
                                         [](const SeqIter& it, const ElementId& id) { return it->first < id; }) -
                        by_index.begin());
            if (pi == n || !(by_index[pi]->first == *e.after)) continue;
        }
        parent[i] = pi;
        ++count[pi];
    }
    std::vector<size_t> start(n + 1, 0);
    for (size_t i = 0; i < n; ++i) start[i + 1] = start[i] + count[i];
    std::vector<size_t> kids(start[n]);
    std::vector<size_t> fill(start.begin(), start.end() - 1);
    for (size_t i = 0; i < n; ++i)
        if (parent[i] != kNone) kids[fill[parent[i]]++] = i;

    std::vector<char> visited(n, 0);
    std::vector<SeqIter> out;
    out.reserve(n);
    std::vector<size_t> stack;
    auto walk = [&](const size_t* first, const size_t* last) {
        stack.assign(first, last);
        while (!stack.empty()) {
            size_t i = stack.back();
            stack.pop_back();
            if (visited[i]) continue;
            visited[i] = 1;
            out.push_back(by_index[i]);
            stack.insert(stack.end(), kids.data() + start[i], kids.data() + start[i + 1]);
        }
    };
    walk(head.data(), head.data() + head.size());
    std::vector<size_t> rest;
    for (size_t i = 0; i < n; ++i)
        if (!visited[i]) rest.push_back(i);
    if (complete) *complete = true;
    for (size_t i : rest) {
        if (!by_index[i]->second.inserted || visited[i]) continue;
        if (complete) *complete = false;
        visited[i] = 1;
        out.push_back(by_index[i]);
        walk(kids.data() + start[i], kids.data() + start[i + 1]);
    }
    return out;
}


}  // namespace

std::vector<SeqIter> ordered_entries(const SequenceNode& seq) {
    if (!seq.order.valid) return compute_order(seq, nullptr);
    std::vector<SeqIter> out;
    out.reserve(seq.order.order.size());
    const auto base = seq.entries.begin();
    for (uint32_t i : seq.order.order) out.push_back(base + i);
    return out;
}

void ensure_order(SequenceNode& seq) {
    SequenceOrder& o = seq.order;
    if (o.valid) return;
    if (seq.entries.size() >= (size_t(1) << 32)) return;
    bool complete = false;
    auto order = compute_order(seq, &complete);
    const auto base = seq.entries.begin();
    o.order.clear();
    o.order.reserve(order.size());
    for (auto it : order) o.order.push_back(uint32_t(it - base));
    o.deleted.assign(seq.entries.size(), 0);
    for (const auto& [id, dots] : seq.deletes) {
        auto it = seq.entries.find(id);
        if (it != seq.entries.end()) o.deleted[size_t(it - base)] = 1;
    }
    o.width.resize(seq.entries.size());
    o.shown = o.shown_bytes = o.shown_other = 0;
    for (size_t i = 0; i < seq.entries.size(); ++i) {
        o.width[i] = element_width((base + i)->second, o.deleted[i] != 0);
        o.count(o.width[i], 1);
    }
    o.complete = complete;
    o.placed = Dot{};
    o.valid = true;
}

std::vector<const ElementId*> ordered_sequence_refs(const SequenceNode& seq) {
    std::vector<const ElementId*> out;
    auto order = ordered_entries(seq);
    out.reserve(order.size());
    for (auto it : order) out.push_back(&it->first);
    return out;
}

std::vector<ElementId> ordered_sequence_ids(const SequenceNode& seq) {
    std::vector<ElementId> out;
    for (auto it : ordered_entries(seq)) out.push_back(it->first);
    return out;
}

}  // namespace norvane::crdt
