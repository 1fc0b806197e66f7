// Model values in MessagePack: "Null" as a str, every other value a map of one
// entry from the variant name to the payload.
#pragma once

#include <string>

#include "format/msgpack/reader.hpp"
#include "value/value.hpp"

namespace norvane {

// Appends the value's form (smallest integer and length forms, Float always as
// float 64 with its bits unchanged, map entries in key order).
void value_to_msgpack(std::string& out, const Value& v);

// Reads one value at the reader's position. The one-entry wrapper map takes no
// level of the depth counter; a List or Map payload takes one.
de::DeResult<Value> value_from_msgpack(msgpack::Deserializer& d);

}  // namespace norvane

namespace norvane::msgpack {

// A model value inside a record read from MessagePack (found by the record
// readers through argument-dependent lookup).
inline de::DeResult<Value> read_model_value(Deserializer& d) { return value_from_msgpack(d); }

// A byte of a bin read as a sequence is never a value.
inline de::DeResult<Value> read_model_value(ByteDe& d) {
    return de::fail(Error::invalid_type(Unexpected::unsigned_(d.byte()), "enum Value"));
}

}  // namespace norvane::msgpack
