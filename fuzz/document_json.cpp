// Generic JSON documents: text and byte readers agree, the compact text is a
// fixed point, and the MessagePack and CBOR forms read back to the same text.
#include "common.hpp"
#include "format/cbor/document.hpp"
#include "format/document.hpp"
#include "format/msgpack/document.hpp"
#include "format/msgpack/transcode.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    auto bytes = parse_document(in.view(), true);
    if (fuzz::utf8(in.view())) {
        auto text = parse_document(in.view(), false);
        fuzz::check(text.has_value() == bytes.has_value(), "text and byte readers disagree");
        if (!text) fuzz::same(text.error(), bytes.error(), "text and byte readers fail differently");
    }
    if (!bytes) return 0;
    std::string t1;
    write_json(t1, *bytes);
    auto again = parse_document(t1, true);
    if (!again) fuzz::fail("written document does not read back", t1, again.error());
    std::string t2;
    write_json(t2, *again);
    fuzz::same(t1, t2, "document text is not a fixed point");

    std::string mp;
    msgpack::write_document(mp, *bytes);
    auto mp_text = msgpack::msgpack_to_json_text(mp);
    if (!mp_text && fuzz::too_deep(mp_text.error())) return 0;
    if (!mp_text) fuzz::fail("MessagePack form does not read back", t1, mp_text.error());
    fuzz::same(t1, *mp_text, "MessagePack round trip changes the document");

    std::string cb;
    cbor::write_document(cb, *bytes);
    auto cb_text = cbor::decode_to_json(cb);
    if (!cb_text && fuzz::too_deep(cb_text.error())) return 0;
    if (!cb_text) fuzz::fail("CBOR form does not read back", t1, cb_text.error());
    fuzz::same(t1, *cb_text, "CBOR round trip changes the document");
    return 0;
}
