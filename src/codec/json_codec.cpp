#include "codec/codec.hpp"
#include "diff/patch_json.hpp"
#include "value/json.hpp"

namespace norvane {

std::string JsonCodec::encode_value(const Value& v) const { return value_to_json(v); }

Result<Value> JsonCodec::decode_value(std::string_view bytes) const { return parse_value(bytes, true); }

std::string JsonCodec::encode_patch(const Patch& p) const { return patch_to_json(p); }

Result<Patch> JsonCodec::decode_patch(std::string_view bytes) const { return parse_patch(bytes, true); }

}  // namespace norvane
