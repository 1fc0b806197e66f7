// The saved state of a CRDT document as JSON text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crdt/reducer/context.hpp"
#include "crdt/reducer/model.hpp"
#include "util/result.hpp"

namespace norvane::crdt {

// An operation's fingerprint as read from a saved state: its digest, or, when
// `parse_fingerprint` does not read its text (`odd`), the text.
struct SavedFingerprint {
    Dot dot;
    Sha256Digest digest{};
    bool odd = false;
    std::string text;
};

// A saved state as read, before it is checked.
struct CrdtState {
    uint32_t state_version = 1;
    std::string spec_hash;
    Frontier compacted;
    std::vector<Dot> dots;                        // ascending, without repeats
    std::vector<SavedFingerprint> fingerprints;  // ascending by dot, without repeats
    NodeState root;
};

void write_node(std::string& out, const NodeState& node);
void write_state(std::string& out, uint32_t state_version, std::string_view spec_hash, const CausalContext& context,
                 const NodeState& root);

// A whole text holding one state record; failures are the final texts.
// Replica names are interned into `replicas`.
Result<CrdtState> parse_state(std::string_view text, ReplicaTable& replicas);

}  // namespace norvane::crdt
