// Live protocol messages: eight known kinds tagged by the member "t", and any
// other JSON document kept whole as an unknown message.
//
// Reading checks the shape of a known message only (which fields are present
// and what kind of JSON each holds); the CRDT payloads and other opaque fields
// stay generic documents. Writing gives compact JSON with "t" first and the
// kind's fields in their fixed order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "diff/patch.hpp"
#include "format/tree/tree.hpp"
#include "util/result.hpp"
#include "value/value.hpp"

namespace norvane {

struct Message;

struct SnapshotMessage {
    uint64_t id = 0;
    std::string type;
    uint64_t rev = 0;
    Value value;
};

struct CrdtSnapshotMessage {
    uint64_t id = 0;
    std::string type;
    uint64_t rev = 0;
    Value value;
    Document spec;   // null is a valid value
    Document state;  // null is a valid value
};

struct PatchMessage {
    uint64_t id = 0;
    Patch patch;
    std::optional<std::string> proposal;
};

struct CrdtMessage {
    uint64_t id = 0;
    uint64_t rev = 0;
    std::vector<Document> ops;
    std::optional<Document> effect;
    std::optional<std::string> proposal;
};

struct AckMessage {
    uint64_t id = 0;
    uint64_t rev = 0;
    std::string proposal;
};

struct RejectMessage {
    uint64_t id = 0;
    uint64_t rev = 0;
    std::string error;
    std::optional<std::string> proposal;
    std::optional<std::vector<Document>> crdt_ops;
};

struct AwarenessMessage {
    uint64_t id = 0;
    std::optional<std::string> peer;
    std::optional<Document> state;  // written as null when absent
};

struct BatchMessage {
    std::vector<Message> msgs;
};

// Any document that is not a known message, kept as it came.
struct UnknownMessage {
    Document doc;
};

// A known message in its typed form.
struct KnownMessage {
    using Rep = std::variant<SnapshotMessage, CrdtSnapshotMessage, PatchMessage, CrdtMessage, AckMessage,
                             RejectMessage, AwarenessMessage, BatchMessage>;
    Rep v;

    // A deep copy of a known message; asking for an unknown one is an internal fault.
    static KnownMessage from(const Message& m);
};

struct Message {
    // Alternative order: the eight known kinds, then Unknown.
    enum class Kind : uint8_t { Snapshot, CrdtSnapshot, Patch, Crdt, Ack, Reject, Awareness, Batch, Unknown };
    // The tags of the known kinds, in kind order.
    static constexpr std::string_view kTags[] = {"snapshot", "crdt_snapshot", "patch", "crdt",
                                                 "ack",      "reject",        "awareness", "batch"};

    using Rep = std::variant<SnapshotMessage, CrdtSnapshotMessage, PatchMessage, CrdtMessage, AckMessage,
                             RejectMessage, AwarenessMessage, BatchMessage, UnknownMessage>;
    Rep v;

    Kind kind() const { return Kind(v.index()); }
    bool is_unknown() const { return kind() == Kind::Unknown; }

    // One message from JSON text: parse one document (failures with their
    // position), then read it (failures without position), then only
    // whitespace may follow ("trailing characters" with its position).
    // `check_utf8` for raw bytes whose strings must be checked.
    // Known messages are read in one pass; everything else, and every
    // failure, through the generic document (from_json_tree).
    static Result<Message> from_json(std::string_view text, bool check_utf8 = false);
    // The same reading, always through the generic document first.
    static Result<Message> from_json_tree(std::string_view text, bool check_utf8 = false);

    // One message from a parsed document: classification, then the typed read
    // of a known kind. Takes the document's parts over. Never classifies into
    // an error: documents that are not known messages become Unknown.
    static Result<Message> from_value(Document&& doc);

    // Compact JSON, appended to `out`.
    void write_json(std::string& out) const;
    std::string to_json() const;

    // The MessagePack or CBOR form of the message's generic document (every
    // record a map with string keys, members in ascending byte order of their
    // keys, as the document holds them), appended to `out`.
    void write_msgpack(std::string& out) const;
    void write_cbor(std::string& out) const;
};

// The kind's tag for a known tag text, or nullopt.
std::optional<Message::Kind> message_kind_of_tag(std::string_view tag);

}  // namespace norvane
