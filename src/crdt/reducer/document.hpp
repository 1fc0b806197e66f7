// One replica of a schema-directed CRDT document, with the entry points of its
// Python class as plain functions over text.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crdt/reducer/context.hpp"
#include "crdt/reducer/list_index.hpp"
#include "crdt/reducer/model.hpp"
#include "crdt/reducer/ops.hpp"
#include "crdt/spec.hpp"
#include "util/result.hpp"
#include "util/text.hpp"

namespace norvane::crdt {

struct CrdtDocument {
    // Every replica name the document holds, interned; first, so that it
    // outlives the dots that point into it.
    std::unique_ptr<ReplicaTable> replicas = std::make_unique<ReplicaTable>();
    std::string replica;
    Replica self = nullptr;  // `replica`, interned
    CrdtSpec spec;
    std::string spec_hash;
    NodeState root;
    CausalContext context;
    uint32_t state_version = 1;
    uint64_t lamport_counter = 0;
    // The materialised value of `root`, kept between calls; null when unknown.
    // Calls that change the document update it in place.
    // Reading the value may put a held list back, or drop it all when that
    // fails: the three caches are mutable.
    mutable std::shared_ptr<Value> value_cache;
    // The length of the last result text, reserved for the next one: a text's
    // effect carries the whole text, and a call's result is mostly the size of
    // the one before.
    size_t result_hint = 0;
    // The length of the last saved state, reserved for the next: a long state
    // is written without growing its text again and again.
    mutable size_t state_hint = 0;
    // Counts of the long lists of `value_cache` that calls edit, cleared with it.
    mutable ListIndex list_index;
    // A long list of `value_cache` that calls edit one place at a time, held
    // out of it; reading the value puts it back. Dropped with the value.
    mutable ListHold list_hold;
    // The JSON forms of the last long strings results carried: a text's effect
    // carries the whole text after every edit, written mostly by copying.
    JsonStringMemo result_strings;

    const CrdtPolicy& policy() const { return spec.root; }

    // A new document holding `value_json` written at the initial dot.
    static Result<CrdtDocument> create(std::string_view spec_json, std::string_view value_json,
                                       std::string_view replica);
    // A document restored from a saved state.
    static Result<CrdtDocument> from_state(std::string_view spec_json, std::string_view state_json,
                                           std::string_view replica);

    // Tagged model JSON of the materialised value.
    Result<std::string> value() const;
    // The saved state as JSON; writing it cannot fail.
    Result<std::string> state() const;
    // {"ops":[…],"effect":{…}}; the document is unchanged on failure.
    Result<std::string> mutate(std::string_view mutations_json);
    // The effect JSON; the document is unchanged on failure.
    Result<std::string> apply(std::string_view ops_json);
    // The member key of a value in the set the path addresses.
    Result<std::string> member_key(std::string_view path_json, std::string_view value_json) const;
    // Compacts up to the frontier; returns the number of purged tombstones.
    Result<uint64_t> compact(std::string_view frontier_json);

    // The materialised value, from the cache when it is known.
    Result<std::shared_ptr<const Value>> current_value() const;
    // Makes `value_cache` known before a call; the whole-value path reads it
    // with the held list back in its place.
    Status keep_value(bool whole);
    // Forgets the kept value and everything kept beside it.
    void drop_value() const {
        value_cache.reset();
        list_index.clear();
        list_hold.reset();
    }

    // The core of mutate and apply, on parsed input. `whole` computes effects and
    // deltas by materialising the whole value after every operation: the simple
    // reference the incremental path is checked against.
    // `before_commit` sees the result while the changes can still be taken
    // back: when it throws, the document is left as it was. A mutation's sink
    // is given the operations made as their JSON array, the text their
    // fingerprints were taken of. With a sink, the long texts the effect's
    // patch sets whole are the document's own, lent to the sink: the effect
    // returned afterwards holds Null in their place.
    using OpsSink = std::function<void(std::string_view, const CrdtEffect&)>;
    using EffectSink = std::function<void(const CrdtEffect&)>;
    // `text_size`: the length of the JSON text the mutations or operations
    // were read from, when there was one (room for the texts written from them).
    Result<std::pair<std::vector<CrdtOp>, CrdtEffect>> mutate_ops(std::vector<CrdtMutation> mutations,
                                                                  bool whole = false,
                                                                  const OpsSink& before_commit = {},
                                                                  size_t text_size = 0);
    Result<CrdtEffect> apply_ops(std::span<const CrdtOp> ops, bool whole = false,
                                 const EffectSink& before_commit = {}, size_t text_size = 0);

    // Rebuilds every cache and index kept beside the node tree (sequence
    // orders, the materialised value) from the tree itself and compares;
    // the text of the first difference found. For fuzzers and tests.
    Status check() const;

    // mutate and apply through the whole-value reference path, for tests.
    Result<std::string> mutate_whole(std::string_view mutations_json);
    Result<std::string> apply_whole(std::string_view ops_json);
};

}  // namespace norvane::crdt
