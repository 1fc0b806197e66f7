// Protocol messages through one connection codec: the bytes written back are a
// fixed point, and every codec carries the message unchanged.
#pragma once

#include "common.hpp"
#include "message/connection.hpp"

namespace fuzz {

inline int check_message_codec(const uint8_t* data, size_t size, norvane::ConnectionCodec codec) {
    using namespace norvane;
    Exact in(data, size);
    auto m = decode_message(in.view(), codec);
    if (!m) return 0;
    std::string t1 = m->to_json();
    auto b1 = encode_message(*m, codec);
    if (!b1) fail("an accepted message does not encode", t1, b1.error());
    auto m2 = decode_message(*b1, codec);
    if (!m2) fail("written message does not read back", t1, m2.error());
    auto b2 = encode_message(*m2, codec);
    if (!b2) fail("a read-back message does not encode", t1, b2.error());
    same(*b1, *b2, "message bytes are not a fixed point");
    same(t1, m2->to_json(), "message round trip changes the message");
    for (ConnectionCodec other : {ConnectionCodec::Json, ConnectionCodec::Msgpack, ConnectionCodec::Cbor}) {
        auto b = encode_message(*m, other);
        if (!b) fail("an accepted message does not encode in another codec", t1, b.error());
        auto back = decode_message(*b, other);
        if (!back && too_deep(back.error())) continue;
        if (!back) fail("another codec's bytes do not read back", t1, back.error());
        same(t1, back->to_json(), "another codec changes the message");
    }
    return 0;
}

}  // namespace fuzz
