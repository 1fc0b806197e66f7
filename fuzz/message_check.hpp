// Protocol messages through one connection codec: the bytes written back are a
// fixed point, and every codec carries the message unchanged.
#pragma once

#include "common.hpp"
#include "message/connection.hpp"

namespace fuzz {

// The one-pass read gives what the read through the generic document gives,
// byte for byte, failures included.
inline void same_as_document_read(std::string_view data, norvane::ConnectionCodec codec) {
    using namespace norvane;
    auto fast = decode_message(data, codec);
    auto tree = decode_message_tree(data, codec);
    if (fast.has_value() != tree.has_value())
        fail("the one-pass and document reads disagree on success", fast ? fast->to_json() : fast.error(),
             tree ? tree->to_json() : tree.error());
    if (!fast) return same(fast.error(), tree.error(), "the one-pass read fails with another text");
    same(fast->to_json(), tree->to_json(), "the one-pass read gives another message");
    std::string a, b;
    fast->write_msgpack(a);
    tree->write_msgpack(b);
    same(a, b, "the one-pass read gives another binary form");
}

inline int check_message_codec(const uint8_t* data, size_t size, norvane::ConnectionCodec codec) {
    using namespace norvane;
    Exact in(data, size);
    same_as_document_read(in.view(), codec);
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
