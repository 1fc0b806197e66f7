// Generic documents from CBOR: the document reader and the direct conversion
// to JSON agree, and the bytes written back are a fixed point.
#include "common.hpp"
#include "format/cbor/document.hpp"
#include "format/document.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    auto doc = cbor::decode_document(in.view());
    auto text = cbor::decode_to_json(in.view());
    fuzz::check(doc.has_value() == text.has_value(), "document reader and conversion disagree",
                doc ? std::string_view("document accepts") : std::string_view(doc.error()),
                text ? std::string_view("conversion accepts") : std::string_view(text.error()));
    if (!doc) {
        fuzz::same(doc.error(), text.error(), "document reader and conversion fail differently");
        return 0;
    }
    std::string t1;
    write_json(t1, *doc);
    fuzz::same(t1, *text, "conversion text differs from the document's");
    std::string b1;
    cbor::write_document(b1, *doc);
    auto doc2 = cbor::decode_document(b1);
    if (!doc2) fuzz::fail("written document does not read back", t1, doc2.error());
    std::string b2;
    cbor::write_document(b2, *doc2);
    fuzz::same(b1, b2, "CBOR bytes are not a fixed point");
    auto from_text = parse_document(t1);
    if (!from_text && fuzz::too_deep(from_text.error())) return 0;
    if (!from_text) fuzz::fail("JSON form does not read back", t1, from_text.error());
    return 0;
}
