#include "format/msgpack/document.hpp"

#include "format/msgpack/walk.hpp"
#include "format/msgpack/writer.hpp"
#include "format/tree/document_sink.hpp"

namespace norvane::msgpack {

DeResult<Document> read_document(Deserializer& d) {
    TreeSink<Document, true> sink(d.input());
    NV_CHECK(walk(d, sink));
    return sink.take();
}

void write_document(std::string& out, const Document& doc) {
    switch (doc.kind()) {
        case NodeKind::Null: write_nil(out); return;
        case NodeKind::Bool: write_bool(out, doc.as_bool()); return;
        case NodeKind::U64: write_uint(out, doc.as_u64()); return;
        case NodeKind::I64: write_int(out, doc.as_i64()); return;
        case NodeKind::F64: write_f64(out, doc.as_f64()); return;
        case NodeKind::Str:
        case NodeKind::Bytes: write_str(out, doc.as_str()); return;
        case NodeKind::Seq:
            write_array_header(out, doc.items().size());
            for (const Document& e : doc.items()) write_document(out, e);
            return;
        case NodeKind::Map:
            write_map_header(out, doc.members().size());
            for (const auto& [k, v] : doc.members()) {
                write_str(out, k);
                write_document(out, v);
            }
            return;
    }
}

}  // namespace norvane::msgpack
