#include "codec/conversions.hpp"
#include "format/cbor/document.hpp"
#include "format/document.hpp"

namespace norvane::conv {

Result<std::string> json_to_cbor(std::string_view json) {
    Document doc = NV_TRY(parse_document(json));
    std::string out;
    cbor::write_document(out, doc);
    return out;
}

Result<std::string> cbor_to_json(std::string_view data) { return cbor::decode_to_json(data); }

}  // namespace norvane::conv
