// Client effects: the client reducer's verdict on one incoming message, and
// the record by which the adapter later tells the reducer what it carried out.
// Tagged by the key "effect"; written compact with the tag first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/tree/tree.hpp"
#include "util/result.hpp"

namespace norvane::client {

struct ClientEffect {
    // Kind order is the order of the tags in the "unknown variant" text.
    enum class Kind : uint8_t {
        Snapshot, CrdtSnapshot, Patch, Crdt, StalePatch, Acknowledgement, Rejection, Awareness, Ignore, Disconnect
    };
    static constexpr std::string_view kTags[] = {"snapshot",  "crdt_snapshot",   "patch",     "crdt",
                                                 "stale_patch", "acknowledgement", "rejection", "awareness",
                                                 "ignore",    "disconnect"};

    Kind kind = Kind::Ignore;
    uint64_t id = 0;                      // all but Ignore and Disconnect
    uint64_t rev = 0;                     // all but Awareness, Ignore and Disconnect
    std::optional<std::string> proposal;  // always present for Acknowledgement
    std::string error;                    // Rejection
    std::string peer;                     // Awareness
    std::optional<Document> state;        // Awareness; absent is written as null
    std::vector<std::string> proposals;   // Disconnect

    // Compact JSON: "effect" first, then the kind's fields in declared order.
    void write_json(std::string& out) const;
    std::string to_json() const;

    // One effect from a whole JSON text; only whitespace may follow it.
    static Result<ClientEffect> from_json(std::string_view text);
};

}  // namespace norvane::client
