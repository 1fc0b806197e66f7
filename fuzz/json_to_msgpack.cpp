// The direct JSON text -> MessagePack transcoder gives exactly the bytes (or the
// failure) of reading the generic document and writing it.
#include "common.hpp"
#include "format/document.hpp"
#include "format/msgpack/document.hpp"
#include "format/msgpack/transcode.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    if (!fuzz::utf8(in.view())) return 0;
    auto direct = msgpack::json_text_to_msgpack(in.view());
    auto doc = parse_document(in.view());
    fuzz::check(direct.has_value() == doc.has_value(), "transcoder and document reader disagree",
                direct ? std::string_view("transcoder accepts") : std::string_view(direct.error()),
                doc ? std::string_view("document accepts") : std::string_view(doc.error()));
    if (!doc) {
        fuzz::same(direct.error(), doc.error(), "transcoder and document reader fail differently");
        return 0;
    }
    std::string mp;
    msgpack::write_document(mp, *doc);
    fuzz::same(*direct, mp, "transcoder bytes differ from the document's");
    return 0;
}
