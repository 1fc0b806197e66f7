#include "codec/conversions.hpp"

namespace norvane::conv {

Result<std::string> json_to_msgpack(std::string_view) { return fail("not implemented"); }
Result<std::string> msgpack_to_json(std::string_view) { return fail("not implemented"); }

}  // namespace norvane::conv
