// The state of one mutate or apply call: the journal that takes its changes
// back unless it succeeds, and the tracking of its effect on the value.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crdt/reducer/document.hpp"
#include "crdt/reducer/reducer.hpp"
#include "crdt/reducer/view.hpp"
#include "diff/diff.hpp"

namespace norvane::crdt::call {

// Builds the effect's patch from the value before the call to the value after it.
inline Patch effect_patch(const Value& before, const Value& after) {
    Patch p;
    p.rev = 0;
    diff_value(Path{}, before, after, p.ops);
    return p;
}

// The changes a call makes to the node tree, the causal context and the
// fingerprints, made in place and taken back unless the call succeeds.
struct Journal {
    CrdtDocument& doc;
    uint64_t lamport;
    UndoLog nodes;
    std::vector<Dot> dots;
    bool done = false;
    // Set once the value cache may be rewritten: a call taken back after that
    // drops the cache, which is rebuilt when next needed.
    bool cache_changing = false;

    explicit Journal(CrdtDocument& d) : doc(d), lamport(d.lamport_counter) {}
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;
    // Taking the changes back allocates nothing, so it runs to the end while
    // an exception propagates.
    ~Journal() {
        if (done) return;
        nodes.rollback();
        for (auto it = dots.rbegin(); it != dots.rend(); ++it) doc.context.remove_added(*it);
        doc.lamport_counter = lamport;
        if (cache_changing) doc.drop_value();
    }
    // Records a dot the context does not hold, with its operation's
    // fingerprint. The record is made first, with room to take it back.
    void add(const Dot& d, const Sha256Digest& fingerprint) {
        reserve_one(dots);
        doc.context.add(d, fingerprint);
        dots.push_back(d);
    }
};

// Follows the materialised value through the operations of one call and
// builds the delta of every operation that changes it: along the operations'
// paths (the incremental view), or by materialising and comparing the whole
// value after every operation (the simple reference the view is checked
// against).
struct Tracker {
    const CrdtPolicy& policy;
    UndoLog* undo;
    CrdtDocument& doc;  // its kept value (the value before the call) and what is kept beside it
    bool whole;
    std::shared_ptr<Value> running;  // whole: the value so far
    std::optional<IncrementalView> view;
    std::vector<CrdtDelta> deltas;
    std::string delta_texts;  // the JSON of the elements of insertions' deltas kept as text

    // The document keeps its value (see CrdtDocument::keep_value).
    Tracker(const CrdtPolicy& p, UndoLog* u, CrdtDocument& d, bool w) : policy(p), undo(u), doc(d), whole(w) {
        if (whole) running = doc.value_cache;
        else view.emplace(policy, *doc.value_cache, doc.list_hold);
    }

    // Applies `op` to `root` and records its delta when the value changed;
    // `text`, when given, is the operation's JSON, which its delta is written
    // from when it can be.
    Status step(NodeState& root, const CrdtOp& op, const IncrementalView::SpliceHint* hint = nullptr,
                const OpText* text = nullptr) {
        if (!whole) {
            if (!NV_TRY(view->step(root, op, undo, hint))) return {};
            if (text && has_delta_text(op.kind)) {
                reserve_one(deltas);
                NV_CHECK(delta_as_text(deltas.emplace_back(), delta_texts, op, *text, view->inserted_as_given(),
                                       policy, root));
            } else {
                deltas.push_back(NV_TRY(delta_for(op, policy, root)));
            }
            return {};
        }
        NV_CHECK(apply_one(root, policy, op, undo));
        Value after = NV_TRY(materialize_node(root, policy));
        if (!(after == *running)) {
            deltas.push_back(NV_TRY(delta_for(op, policy, root)));
            running = std::make_shared<Value>(std::move(after));
        }
        return {};
    }

    // The effect's patch from the value before the call to the value after the
    // last operation, which then replaces the cache. Cannot fail once the patch
    // is built.
    Result<Patch> finish(const NodeState& root) {
        if (whole) {
            Patch p = effect_patch(*doc.value_cache, *running);
            doc.value_cache = running;
            doc.list_index.clear();
            return p;
        }
        Patch p = NV_TRY(view->patch(root, &doc.list_index));
        if (doc.value_cache.use_count() > 1) doc.value_cache = std::make_shared<Value>(*doc.value_cache);
        view->commit(*doc.value_cache, &doc.list_index);
        return p;
    }

    // Long texts the call's patch sets whole are lent to it rather than copied
    // (the patch is written once, then `give_back` returns them to the value).
    void lend_texts() {
        if (view) view->lend_texts(kLendBytes);
    }
    // Once the patch is written: the lent texts go back into the value, and
    // leave the patch's operations empty. A place not found drops the value
    // (rebuilt when next needed) rather than keep it wrong.
    void give_back(Patch& p) {
        if (view && !view->give_back(p, *doc.value_cache)) doc.drop_value();
    }
    static constexpr size_t kLendBytes = 256;
};

}  // namespace norvane::crdt::call
