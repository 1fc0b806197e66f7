// The MessagePack codec: model values in their one-entry-map form, patches as
// arrays of their fields with operations and segments as one-entry maps.
#pragma once

#include <string>
#include <string_view>

#include "codec/codec.hpp"

namespace norvane {

class MsgpackCodec final : public Codec {
public:
    std::string encode_value(const Value& v) const override;
    Result<Value> decode_value(std::string_view bytes) const override;
    std::string encode_patch(const Patch& p) const override;
    Result<Patch> decode_patch(std::string_view bytes) const override;
    std::string_view content_type() const override { return "application/msgpack"; }
};

// The patch form alone, appended to `out`.
void patch_to_msgpack(std::string& out, const Patch& p);

}  // namespace norvane
