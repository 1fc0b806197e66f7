#include "format/document.hpp"

#include "format/json/append.hpp"
#include "format/json/walk.hpp"
#include "format/tree/document_sink.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"

namespace norvane {

using de::DeResult;
using json::Reader;
namespace msg = json::msg;

namespace {

// Reads one value into a tree; Sorted: object members sorted, last duplicate wins.
template <class T, bool Sorted>
DeResult<T> read_tree(Reader& r) {
    TreeSink<T, Sorted> sink(r.input());
    NV_CHECK(json::walk(r, sink));
    return sink.take();
}

template <class T>
void write_tree(std::string& out, const T& d) {
    switch (d.kind()) {
        case NodeKind::Null: json::append_lit(out, "null"); return;
        case NodeKind::Bool:
            if (d.as_bool()) {
                json::append_lit(out, "true");
            } else {
                json::append_lit(out, "false");
            }
            return;
        case NodeKind::U64:
            json::append_with(out, 20, [&](char* p) { return json::put_u64(p, d.as_u64()); });
            return;
        case NodeKind::I64:
            json::append_with(out, 20, [&](char* p) { return json::put_i64(p, d.as_i64()); });
            return;
        case NodeKind::F64: {
            double f = d.as_f64();
            if (f - f == 0) {
                append_json_double(out, f);
            } else {
                json::append_lit(out, "null");
            }
            return;
        }
        case NodeKind::Str:
        case NodeKind::Bytes:
            append_json_string(out, d.as_str());
            return;
        case NodeKind::Seq: {
            json::append_char(out, '[');
            bool first = true;
            for (const auto& e : d.items()) {
                if (!first) json::append_char(out, ',');
                first = false;
                write_tree(out, e);
            }
            json::append_char(out, ']');
            return;
        }
        case NodeKind::Map: {
            json::append_char(out, '{');
            bool first = true;
            for (const auto& [k, v] : d.members()) {
                if (!first) json::append_char(out, ',');
                first = false;
                append_json_string(out, k);
                json::append_char(out, ':');
                write_tree(out, v);
            }
            json::append_char(out, '}');
            return;
        }
    }
}

}  // namespace

Document document_from_content(Content&& c) {
    switch (c.kind()) {
        case NodeKind::Null: return Document::null();
        case NodeKind::Bool: return Document::boolean(c.as_bool());
        case NodeKind::U64: return Document::u64(c.as_u64());
        case NodeKind::I64: return Document::i64(c.as_i64());
        case NodeKind::F64: return Document::f64(c.as_f64());
        case NodeKind::Str: return Document::str(std::move(c.as_str()));
        case NodeKind::Bytes: return Document::bytes(std::move(c.as_str()));
        case NodeKind::Seq: {
            std::vector<Document> items;
            items.reserve(c.items().size());
            for (Content& e : c.items()) items.push_back(document_from_content(std::move(e)));
            return Document::seq(std::move(items));
        }
        case NodeKind::Map: {
            std::vector<Document::Member> members;
            members.reserve(c.members().size());
            for (auto& [k, v] : c.members()) members.emplace_back(std::move(k), document_from_content(std::move(v)));
            sort_pairs_keep_last(members);
            return Document::map(std::move(members));
        }
    }
    return Document::null();
}

DeResult<Document> read_document(Reader& r) { return read_tree<Document, true>(r); }
DeResult<Content> read_content(Reader& r) { return read_tree<Content, false>(r); }

Result<Document> parse_document(std::string_view text, bool check_utf8) {
    Reader r(text, check_utf8);
    auto doc = read_document(r);
    if (!doc) return fail(de::json_error_text(doc.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return std::move(*doc);
}

void write_json(std::string& out, const Document& doc) { write_tree(out, doc); }
void write_json(std::string& out, const Content& doc) { write_tree(out, doc); }

}  // namespace norvane
