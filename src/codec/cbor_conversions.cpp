#include "codec/conversions.hpp"
#include "format/cbor/document.hpp"
#include "format/cbor/writer_sink.hpp"
#include "format/json/walk.hpp"

namespace norvane::conv {

// CBOR is written as the JSON text is read: exactly the bytes of the generic
// document written out.
Result<std::string> json_to_cbor(std::string_view json) { return json::transcode_text<cbor::WriterSink>(json); }

Result<std::string> cbor_to_json(std::string_view data) { return cbor::decode_to_json(data); }

}  // namespace norvane::conv
