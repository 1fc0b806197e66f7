// The round trips every accepted patch must survive: its JSON text is a fixed
// point, and each codec's bytes read back to the same patch.
#pragma once

#include "codec/cbor_codec.hpp"
#include "codec/codec.hpp"
#include "codec/msgpack_codec.hpp"
#include "common.hpp"
#include "diff/patch_json.hpp"

namespace fuzz {

inline void check_patch(const norvane::Patch& p) {
    using namespace norvane;
    std::string t1 = patch_to_json(p);
    // Values with a non-finite Float travel in MessagePack and CBOR only.
    bool json_ok = !non_finite(t1);
    if (json_ok) {
        auto again = parse_patch(t1, true);
        if (!again) fail("written patch does not read back", t1, again.error());
        same(t1, patch_to_json(*again), "patch text is not a fixed point");
    }
    static const JsonCodec json;
    static const MsgpackCodec mp;
    static const CborCodec cb;
    for (const Codec* c : {static_cast<const Codec*>(&json), static_cast<const Codec*>(&mp),
                           static_cast<const Codec*>(&cb)}) {
        if (c == &json && !json_ok) continue;
        std::string bytes = c->encode_patch(p);
        auto back = c->decode_patch(bytes);
        if (!back && too_deep(back.error())) continue;
        if (!back) fail("codec bytes of a patch do not read back", t1, back.error());
        same(t1, patch_to_json(*back), "codec round trip changes the patch");
        same(bytes, c->encode_patch(*back), "codec bytes of a patch are not a fixed point");
    }
}

}  // namespace fuzz
