// Operations, mutations, deltas and effects of a CRDT document, with their JSON
// writers and readers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crdt/reducer/model.hpp"
#include "diff/patch.hpp"
#include "format/record/error.hpp"
#include "util/result.hpp"
#include "util/sha256.hpp"
#include "value/value.hpp"

namespace norvane::crdt {

// The kinds shared by operations, mutations and deltas; mutations add Splice.
enum class OpKind : uint8_t {
    RegisterSet, MapSet, MapRemove, SetAdd, SetRemove, SequenceInsert, SequenceDelete, SequenceSplice
};
inline constexpr std::string_view kOpKindNames[] = {
    "register_set", "map_set", "map_remove", "set_add",
    "set_remove", "sequence_insert", "sequence_delete", "sequence_splice"};

// A replicated operation. Only the fields of its kind are meaningful.
struct CrdtOp {
    OpKind kind = OpKind::RegisterSet;
    Dot dot;
    CrdtPath path;
    std::string key;                 // map_set, map_remove, set_remove
    Value value;                     // register_set, map_set, set_add
    std::vector<Dot> removed;        // map_remove, set_remove
    std::optional<ElementId> after;  // sequence_insert
    std::vector<Value> values;       // sequence_insert
    std::vector<ElementId> ids;      // sequence_delete
    // Read from text exactly as write_op writes it: that text (a view into
    // the text read, valid while it is) and the places of its parts, as in
    // OpText. Empty otherwise.
    std::string_view source;
    size_t source_dot_begin = 0, source_dot_end = 0, source_values_begin = 0;
};

// A local change request: an operation without dot or removed list, or a splice.
struct CrdtMutation {
    OpKind kind = OpKind::RegisterSet;
    CrdtPath path;
    std::string key;
    Value value;
    std::optional<ElementId> after;
    std::vector<Value> values;
    std::vector<ElementId> ids;
    uint64_t index = 0;         // sequence_splice
    uint64_t delete_count = 0;  // sequence_splice
};

struct SequenceDeltaElement {
    ElementId id;
    Value value;
};

// A delta holds its fields, or the places of its JSON: its operation's text
// without the dot (in the effect's `op_texts`) and, for a sequence insertion,
// the operation's kind, path and predecessor followed by the elements it made,
// written beside (`text_begin`, `text_size` in the effect's `texts`) or, when
// they hold the operation's values as given, from the operation itself.
struct CrdtDelta {
    OpKind kind = OpKind::RegisterSet;
    enum class From : uint8_t { Fields, OpText, OpValues };
    From from = From::Fields;
    // The operation's text is op_texts[op_at, op_at + op_size); the delta's
    // parts of it are [op_at, op_at + dot_begin) and [op_at + dot_end, op_at + op_end).
    size_t op_at = 0, op_size = 0, dot_begin = 0, dot_end = 0, op_end = 0;
    size_t op = 0;      // OpValues: the operation's place in the effect's `ops`
    size_t values = 0;  // OpValues: how many values it inserts
    size_t text_begin = 0, text_size = 0;
    CrdtPath path;
    std::string key;
    Value value;
    std::optional<ElementId> after;
    std::vector<SequenceDeltaElement> elements;
    std::vector<ElementId> ids;
};

struct CrdtEffect {
    Patch patch;
    std::vector<CrdtDelta> deltas;
    std::string texts;  // the JSON of the elements of insertions' deltas
    // The call's operations and their texts, which the deltas kept as text
    // are written from; set while the effect is written.
    std::string_view op_texts;
    std::span<const CrdtOp> ops;
    uint64_t applied = 0;
};

// ---- writers (compact JSON, fixed key order, every field written) ----------

void write_dot(std::string& out, const Dot& d);
void write_element_id(std::string& out, const ElementId& id);
void write_path(std::string& out, const CrdtPath& path);
void write_op(std::string& out, const CrdtOp& op);
void write_delta(std::string& out, const CrdtDelta& d);
void write_effect(std::string& out, const CrdtEffect& e);
// About the length write_effect gives the deltas written from the
// operations' text (set while the effect is written), a little more rather
// than less.
size_t deltas_size_hint(const CrdtEffect& e);

// An operation's text and where write_op put its parts: the text is
// `text[0, dot_begin)` `,"dot":{…}` `text[dot_end, end)`; a sequence_insert's
// `,"values":` starts at `values_begin`.
struct OpText {
    std::string_view text;
    size_t at = 0;     // where the text starts in the buffer it was written to
    size_t index = 0;  // the operation's place among its call's operations
    size_t dot_begin = 0, dot_end = 0, values_begin = 0;
};
// Appends write_op's bytes to `out`; `where` receives the operation's text
// (a view into `out`, valid while `out` is unchanged) and its parts' places.
void write_op_placed(std::string& out, const CrdtOp& op, OpText* where);
// The same for an operation read with its source text: that text copied.
void copy_op(std::string& out, const CrdtOp& op, OpText* where);
// The same for an operation whose source text `buffer` holds at `at`, where
// it is taken.
void place_source(std::string_view buffer, size_t at, const CrdtOp& op, OpText* where);
// An operation's fingerprint is the SHA-256 digest of write_op's bytes; its
// text is "sha256:" and 64 lowercase hexadecimal digits.
// Appends write_op's bytes to `out` and returns their fingerprint digest;
// `where`, when given, receives what write_op_placed gives.
Sha256Digest write_op_fingerprinted(std::string& out, const CrdtOp& op, OpText* where = nullptr);

// ---- readers of whole JSON texts (only whitespace may follow) ---------------

// Replica names are interned into `replicas`, the reading document's table.
Result<std::vector<CrdtOp>> parse_ops(std::string_view text, ReplicaTable& replicas);
// The same into `ops`, whose operations (and the room of their lists) are
// used again before new ones are added; returns how many were read, the first
// ones of `ops`. The others are left to be used again.
Result<size_t> parse_ops_into(std::string_view text, ReplicaTable& replicas, std::vector<CrdtOp>& ops);
// An operation read before, made ready to be read into again: what it read is
// let go, and its lists keep their room unless it is more than most
// operations need.
void reset_op(CrdtOp& op);
Result<std::vector<CrdtMutation>> parse_mutations(std::string_view text, ReplicaTable& replicas);
// A path whose segment kinds must be strings (the member_key argument).
Result<CrdtPath> parse_path(std::string_view text, ReplicaTable& replicas);
// A JSON object of replica -> unsigned 64-bit counter; a repeated key keeps its last value.
Result<Frontier> parse_frontier(std::string_view text);

}  // namespace norvane::crdt
