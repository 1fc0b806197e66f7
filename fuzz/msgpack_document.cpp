// Generic documents from MessagePack: the document reader and the direct
// transcoder to JSON agree, and the bytes written back are a fixed point.
#include "common.hpp"
#include "format/document.hpp"
#include "format/msgpack/document.hpp"
#include "format/msgpack/transcode.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    msgpack::Deserializer d(in.view());
    auto doc = msgpack::read_document(d);
    auto text = msgpack::msgpack_to_json_text(in.view());
    fuzz::check(doc.has_value() == text.has_value(), "document reader and transcoder disagree",
                doc ? std::string_view("document accepts") : std::string_view(msgpack::error_text(doc.error())),
                text ? std::string_view("transcoder accepts") : std::string_view(text.error()));
    if (!doc) {
        fuzz::same(msgpack::error_text(doc.error()), text.error(), "document reader and transcoder fail differently");
        return 0;
    }
    std::string t1;
    write_json(t1, *doc);
    fuzz::same(t1, *text, "transcoder text differs from the document's");
    std::string b1;
    msgpack::write_document(b1, *doc);
    msgpack::Deserializer d2(b1);
    auto doc2 = msgpack::read_document(d2);
    if (!doc2) fuzz::fail("written document does not read back", t1, msgpack::error_text(doc2.error()));
    std::string b2;
    msgpack::write_document(b2, *doc2);
    fuzz::same(b1, b2, "MessagePack bytes are not a fixed point");
    auto from_text = parse_document(t1);
    if (!from_text && fuzz::too_deep(from_text.error())) return 0;
    if (!from_text) fuzz::fail("JSON form does not read back", t1, from_text.error());
    return 0;
}
