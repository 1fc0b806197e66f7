// The codec interface: a model value or a patch to bytes of one wire format
// and back. Codecs hold no state; decode failures are the format's own text
// (without the "codec error: " prefix the module functions add).
#pragma once

#include <string>
#include <string_view>

#include "diff/patch.hpp"
#include "util/result.hpp"
#include "value/value.hpp"

namespace norvane {

// The texts of the codec functions' own failures.
namespace codec_msg {
inline constexpr const char* UnknownCodec = "unknown codec: ";  // then the name as given
inline constexpr const char* CodecError = "codec error: ";      // then the codec's text
}  // namespace codec_msg

class Codec {
public:
    virtual ~Codec() = default;
    virtual std::string encode_value(const Value& v) const = 0;
    virtual Result<Value> decode_value(std::string_view bytes) const = 0;
    virtual std::string encode_patch(const Patch& p) const = 0;
    virtual Result<Patch> decode_patch(std::string_view bytes) const = 0;
    virtual std::string_view content_type() const = 0;
};

class JsonCodec final : public Codec {
public:
    std::string encode_value(const Value& v) const override;
    Result<Value> decode_value(std::string_view bytes) const override;
    std::string encode_patch(const Patch& p) const override;
    Result<Patch> decode_patch(std::string_view bytes) const override;
    std::string_view content_type() const override { return "application/json"; }
};

// "application/json", "application/msgpack", "application/x-msgpack",
// "application/cbor"; anything else fails with "unknown codec: {name}".
Result<const Codec*> codec_for(std::string_view name);

}  // namespace norvane
