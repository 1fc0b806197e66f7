// Model values in CBOR: the text "Null", or a map of one pair from the variant
// name to the payload (a1 63 "Int" 05).
#pragma once

#include <string>

#include "format/cbor/reader.hpp"
#include "value/value.hpp"

namespace norvane {

// Appends the CBOR form: definite lengths, shortest arguments, floats in the
// shortest exact width, map entries in ascending key order.
void value_to_cbor(std::string& out, const Value& v);

// Reads one value at the deserializer's position.
de::DeResult<Value> value_from_cbor(cbor::Deserializer& de);

namespace cbor {
// The model value of an operation read from CBOR (found by the patch readers).
inline de::DeResult<Value> read_model_value(Deserializer& de) { return value_from_cbor(de); }
}  // namespace cbor

}  // namespace norvane
