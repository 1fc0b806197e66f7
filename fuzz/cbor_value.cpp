// Model values from CBOR bytes: the bytes written back are a fixed point, and
// the JSON form reads back to the same value.
#include "codec/cbor_codec.hpp"
#include "common.hpp"
#include "value/json.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    CborCodec codec;
    auto v = codec.decode_value(in.view());
    if (!v) return 0;
    std::string b1 = codec.encode_value(*v);
    auto v2 = codec.decode_value(b1);
    if (!v2) fuzz::fail("written value does not read back", value_to_json(*v), v2.error());
    fuzz::same(b1, codec.encode_value(*v2), "CBOR bytes are not a fixed point");
    std::string t1 = value_to_json(*v);
    // A non-finite Float is written {"Float":null}, which by design reads back nowhere.
    if (fuzz::non_finite(t1)) return 0;
    auto v3 = parse_value(t1);
    if (!v3 && fuzz::too_deep(v3.error())) return 0;
    if (!v3) fuzz::fail("JSON form does not read back", t1, v3.error());
    fuzz::same(t1, value_to_json(*v3), "JSON round trip changes the value");
    return 0;
}
