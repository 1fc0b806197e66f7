#include "codec/conversions.hpp"
#include "format/msgpack/transcode.hpp"

namespace norvane::conv {

// Both directions stream from one format to the other without building the
// document; the results are those of reading the generic document and writing it.
Result<std::string> json_to_msgpack(std::string_view json) { return msgpack::json_text_to_msgpack(json); }

Result<std::string> msgpack_to_json(std::string_view data) { return msgpack::msgpack_to_json_text(data); }

}  // namespace norvane::conv
