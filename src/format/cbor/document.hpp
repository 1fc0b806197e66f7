// Generic documents in CBOR.
//
// Reading takes one item from the start of the data (bytes after it are
// ignored), by the rules of cbor::walk (walk.hpp). A key given twice keeps its
// last value; members end up sorted.
//
// Writing uses definite lengths, shortest integer arguments and the shortest
// exact float width, members in their stored order.
#pragma once

#include <string>
#include <string_view>

#include "format/cbor/reader.hpp"
#include "format/tree/tree.hpp"
#include "util/result.hpp"

namespace norvane::cbor {

// One document at the deserializer's position.
DeResult<Document> read_document(Deserializer& de);

// One document from the start of the data; the failure is the final text.
Result<Document> decode_document(std::string_view data);

// The same reading, written straight out as compact JSON (object members in
// ascending key order, the last of equal keys kept), without building the
// document first.
Result<std::string> decode_to_json(std::string_view data);

void write_document(std::string& out, const Document& doc);

}  // namespace norvane::cbor
