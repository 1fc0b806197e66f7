// Tagged model JSON, as text (valid UTF-8) and as raw bytes; the value written
// back reads to the same text, and its MessagePack and CBOR forms read back to it.
#include "codec/cbor_codec.hpp"
#include "codec/msgpack_codec.hpp"
#include "common.hpp"
#include "value/cbor.hpp"
#include "value/json.hpp"
#include "value/msgpack.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    auto bytes = parse_value(in.view(), true);
    if (fuzz::utf8(in.view())) {
        auto text = parse_value(in.view(), false);
        fuzz::check(text.has_value() == bytes.has_value(), "text and byte readers disagree");
        if (!text) fuzz::same(text.error(), bytes.error(), "text and byte readers fail differently");
    }
    if (!bytes) return 0;
    std::string t1 = value_to_json(*bytes);
    auto again = parse_value(t1, true);
    if (!again) fuzz::fail("written value does not read back", t1, again.error());
    fuzz::same(t1, value_to_json(*again), "value text is not a fixed point");

    std::string mp;
    value_to_msgpack(mp, *bytes);
    auto from_mp = MsgpackCodec().decode_value(mp);
    if (!from_mp && fuzz::too_deep(from_mp.error())) return 0;
    if (!from_mp) fuzz::fail("MessagePack form does not read back", t1, from_mp.error());
    fuzz::same(t1, value_to_json(*from_mp), "MessagePack round trip changes the value");

    std::string cb;
    value_to_cbor(cb, *bytes);
    auto from_cb = CborCodec().decode_value(cb);
    if (!from_cb && fuzz::too_deep(from_cb.error())) return 0;
    if (!from_cb) fuzz::fail("CBOR form does not read back", t1, from_cb.error());
    fuzz::same(t1, value_to_json(*from_cb), "CBOR round trip changes the value");
    return 0;
}
