#include "codec/conversions.hpp"

namespace norvane::conv {

Result<std::string> json_to_cbor(std::string_view) { return fail("not implemented"); }
Result<std::string> cbor_to_json(std::string_view) { return fail("not implemented"); }

}  // namespace norvane::conv
