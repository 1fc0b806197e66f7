// The check shared by the harnesses of the byte codecs' model values: the bytes written
// back are a fixed point, and the JSON form reads back to the same value.
#pragma once

#include "common.hpp"
#include "value/json.hpp"

namespace fuzz {

template <class Codec>
void check_value_codec(const uint8_t* data, size_t size, const char* not_fixed) {
    using namespace norvane;
    Exact in(data, size);
    Codec codec;
    auto v = codec.decode_value(in.view());
    if (!v) return;
    std::string b1 = codec.encode_value(*v);
    auto v2 = codec.decode_value(b1);
    if (!v2) fail("written value does not read back", value_to_json(*v), v2.error());
    same(b1, codec.encode_value(*v2), not_fixed);
    std::string t1 = value_to_json(*v);
    // A non-finite Float is written {"Float":null}, which by design reads back nowhere.
    if (non_finite(t1)) return;
    auto v3 = parse_value(t1);
    if (!v3 && too_deep(v3.error())) return;
    if (!v3) fail("JSON form does not read back", t1, v3.error());
    same(t1, value_to_json(*v3), "JSON round trip changes the value");
}

}  // namespace fuzz
