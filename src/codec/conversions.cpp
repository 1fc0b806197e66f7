#include "codec/conversions.hpp"

#include "codec/codec.hpp"
#include "codec/cbor_codec.hpp"
#include "codec/msgpack_codec.hpp"
#include "value/json.hpp"

namespace norvane::conv {

static const JsonCodec kJson;

Result<std::string> encode(std::string_view value) {
    Value v = NV_TRY(parse_value(value));
    return kJson.encode_value(v);
}

Result<std::string> decode(std::string_view data) {
    auto v = kJson.decode_value(data);
    if (!v) return fail(codec_msg::CodecError + v.error());
    return value_to_json(*v);
}

Result<std::string> encode_as(std::string_view value, std::string_view codec) {
    Value v = NV_TRY(parse_value(value));
    const Codec* c = NV_TRY(codec_for(codec));
    return c->encode_value(v);
}

Result<std::string> decode_as(std::string_view data, std::string_view codec) {
    const Codec* c = NV_TRY(codec_for(codec));
    auto v = c->decode_value(data);
    if (!v) return fail(codec_msg::CodecError + v.error());
    return value_to_json(*v);
}

}  // namespace norvane::conv

namespace norvane {

Result<const Codec*> codec_for(std::string_view name) {
    static const MsgpackCodec kMsgpack;
    if (name == "application/json") return &conv::kJson;
    static const CborCodec kCbor;
    if (name == "application/msgpack" || name == "application/x-msgpack") return &kMsgpack;
    if (name == "application/cbor") return &kCbor;
    return fail(codec_msg::UnknownCodec + std::string(name));
}

}  // namespace norvane
