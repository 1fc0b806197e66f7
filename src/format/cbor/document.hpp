// Generic documents in CBOR.
//
// Reading takes one item from the start of the data (bytes after it are
// ignored): integers of major types 0 and 1 from -2^63 to 2^64-1 and bignums
// (tags 2 and 3 over at most 16 bytes) within that range; floats of every
// width, non-finite ones as null; texts; arrays and maps, definite or
// indefinite, map keys texts of any length, definite or in chunks; false,
// true; null and undefined as null. Byte strings, other tags and other simple
// values are refused. A key given twice keeps its last value; members end up sorted.
//
// Writing uses definite lengths, shortest integer arguments and the shortest
// exact float width, members in their stored order.
#pragma once

#include <string>
#include <string_view>

#include "format/cbor/reader.hpp"
#include "format/tree.hpp"
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
