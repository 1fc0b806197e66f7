// The generic document in MessagePack: reading one item into a Document and
// writing a Document in the smallest forms.
#pragma once

#include <string>

#include "format/msgpack/reader.hpp"
#include "format/tree/tree.hpp"

namespace norvane::msgpack {

// Reads one item at the reader's position by the rules of msgpack::walk
// (walk.hpp); a key given twice keeps its last value.
DeResult<Document> read_document(Deserializer& d);

// Appends the document: smallest integer and length forms, doubles as float 64,
// object members in their stored order.
void write_document(std::string& out, const Document& doc);

}  // namespace norvane::msgpack
