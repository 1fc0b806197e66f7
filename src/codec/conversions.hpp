// The stateless conversion functions behind the module's eight codec functions.
// Each takes the already converted arguments and yields the text or bytes to return,
// or the failure text raised as ValueError.
#pragma once

#include <string>
#include <string_view>

#include "util/result.hpp"

namespace norvane::conv {

Result<std::string> encode(std::string_view value);                            // -> bytes
Result<std::string> decode(std::string_view data);                             // -> str
Result<std::string> encode_as(std::string_view value, std::string_view codec); // -> bytes
Result<std::string> decode_as(std::string_view data, std::string_view codec);  // -> str
Result<std::string> json_to_msgpack(std::string_view json);                    // -> bytes
Result<std::string> msgpack_to_json(std::string_view data);                    // -> str
Result<std::string> json_to_cbor(std::string_view json);                       // -> bytes
Result<std::string> cbor_to_json(std::string_view data);                       // -> str

}  // namespace norvane::conv
