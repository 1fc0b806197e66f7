#include "format/cbor/document.hpp"

#include "format/cbor/walk.hpp"
#include "format/cbor/writer.hpp"
#include "format/tree/document_sink.hpp"

namespace norvane::cbor {

DeResult<Document> read_document(Deserializer& de) {
    TreeSink<Document, true> sink(de.input());
    NV_CHECK(walk(de, sink));
    return sink.take();
}

Result<Document> decode_document(std::string_view data) {
    Deserializer de(data);
    auto doc = read_document(de);
    if (!doc) return fail(error_text(doc.error()));
    return std::move(*doc);
}

Result<std::string> decode_to_json(std::string_view data) {
    Deserializer de(data);
    std::string out;
    out.reserve(data.size() + data.size() / 2 + 16);
    JsonSink sink(out, data);
    auto r = walk(de, sink);
    if (!r) return fail(error_text(r.error()));
    return out;
}

void write_document(std::string& out, const Document& doc) {
    switch (doc.kind()) {
        case NodeKind::Null: write_null(out); return;
        case NodeKind::Bool: write_bool(out, doc.as_bool()); return;
        case NodeKind::U64: write_u64(out, doc.as_u64()); return;
        case NodeKind::I64: write_i64(out, doc.as_i64()); return;
        case NodeKind::F64: write_f64(out, doc.as_f64()); return;
        case NodeKind::Str: write_text(out, doc.as_str()); return;
        case NodeKind::Bytes:
            write_head(out, kBytes, doc.as_str().size());
            out.append(doc.as_str());
            return;
        case NodeKind::Seq:
            write_array_head(out, doc.items().size());
            for (const auto& e : doc.items()) write_document(out, e);
            return;
        case NodeKind::Map:
            write_map_head(out, doc.members().size());
            for (const auto& [k, v] : doc.members()) {
                write_text(out, k);
                write_document(out, v);
            }
            return;
    }
}

}  // namespace norvane::cbor
