// Tagged model JSON: "Null", or an object of one member from the variant name
// to the payload ({"Int":5}, {"List":[...]}).
#pragma once

#include <string>
#include <string_view>

#include "format/json/reader.hpp"
#include "format/tree/tree.hpp"
#include "util/result.hpp"
#include "value/value.hpp"

namespace norvane {

// Appends the compact text. Non-finite floats are written {"Float":null}.
void value_to_json(std::string& out, const Value& v);
std::string value_to_json(const Value& v);

// The same tree as a generic document.
Document value_to_document(const Value& v);

// Reads one value at the reader's position.
de::DeResult<Value> value_from_json(json::Reader& r);
// The payload of a scalar variant (Null, Bool, Int, Float, Submodel) of tagged model
// JSON; `c` is the next character after white space.
de::DeResult<Value> scalar_payload_from_json(json::Reader& r, Value::Kind kind, int c);

// A whole text: one value, only whitespace after it; the failure is the final
// text with its position. `check_utf8` for raw bytes.
Result<Value> parse_value(std::string_view text, bool check_utf8 = false);

// Reads a value out of an already parsed tree (no positions).
de::DeResult<Value> value_from_tree(const Document& t);
de::DeResult<Value> value_from_tree(const Content& t);

// The found-kind of a tree node for "invalid type" texts.
template <class T>
de::Unexpected tree_unexpected(const T& t) {
    using K = de::Unexpected::Kind;
    switch (t.kind()) {
        case NodeKind::Null: return de::Unexpected::of(K::Unit);
        case NodeKind::Bool: return de::Unexpected::boolean(t.as_bool());
        case NodeKind::U64: return de::Unexpected::unsigned_(t.as_u64());
        case NodeKind::I64: return de::Unexpected::signed_(t.as_i64());
        case NodeKind::F64: return de::Unexpected::float_(t.as_f64());
        case NodeKind::Str: return de::Unexpected::str(t.as_str());
        case NodeKind::Bytes: return de::Unexpected::of(K::Bytes);
        case NodeKind::Seq: return de::Unexpected::of(K::Seq);
        case NodeKind::Map: return de::Unexpected::of(K::Map);
    }
    return de::Unexpected::of(K::Unit);
}

}  // namespace norvane
