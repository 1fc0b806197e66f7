// Direct conversions between JSON text and MessagePack, without building a
// document tree. They give exactly the bytes, text and failures of reading the
// generic document and writing it out: object members come out in ascending
// byte order of their keys, a key given twice keeps its last value.
#pragma once

#include <string>
#include <string_view>

#include "util/result.hpp"

namespace norvane::msgpack {

// JSON text (nesting budget 128, only whitespace after the value) to
// MessagePack in the smallest forms; the failure is the JSON reading text.
Result<std::string> json_text_to_msgpack(std::string_view json);

// One MessagePack item from the start of `data` (depth counter 1024, trailing
// bytes ignored) to compact JSON; the failure is the MessagePack reading text.
Result<std::string> msgpack_to_json_text(std::string_view data);

}  // namespace norvane::msgpack
