// The CBOR codec: values in their CBOR form, patches as maps of named fields.
// Decode failures are the CBOR library's errors in their debug form.
#pragma once

#include "codec/codec.hpp"

namespace norvane {

class CborCodec final : public Codec {
public:
    std::string encode_value(const Value& v) const override;
    Result<Value> decode_value(std::string_view bytes) const override;
    std::string encode_patch(const Patch& p) const override;
    Result<Patch> decode_patch(std::string_view bytes) const override;
    std::string_view content_type() const override { return "application/cbor"; }
};

// Appends a patch: {"rev": u64, "ops": [op...]}, each op a one-pair map from its
// variant name to a map of its fields in declared order.
void patch_to_cbor(std::string& out, const Patch& p);

}  // namespace norvane
