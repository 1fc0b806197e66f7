// The client's own reading of one incoming live-protocol message: only what
// the client reducer needs (the kind, the model id, the revision, the proposal
// id, the rejection text, the awareness peer and state). Payloads (values,
// operations, CRDT specifications, batch members) are parsed and dropped.
//
// Stricter than the protocol reader about the tag ("t" must be present, a
// string, and given once; the message must be an object or an array), and
// looser about payloads, which it never reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "format/tree/tree.hpp"
#include "util/result.hpp"

namespace norvane::client {

struct ClientMessage {
    // Variant order; Unknown stands for any other tag text.
    enum class Kind : uint8_t { Snapshot, CrdtSnapshot, Patch, Crdt, Ack, Reject, Awareness, Batch, Unknown };

    Kind kind = Kind::Unknown;
    uint64_t id = 0;
    uint64_t rev = 0;  // for Patch: the "rev" of the carried patch
    std::optional<std::string> proposal;  // always present for Ack
    std::string error;                    // Reject
    std::string peer;                     // Awareness
    std::optional<Document> state;        // Awareness

    // One message from a whole JSON text; only whitespace may follow it.
    // Failures of the structure (syntax, nesting, tag) and trailing text carry
    // their position; failures of the fields stand alone.
    static Result<ClientMessage> from_json(std::string_view text);
};

}  // namespace norvane::client
