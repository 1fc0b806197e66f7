#include "format/msgpack/document.hpp"
#include "util/sorted_pairs.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "format/msgpack/writer.hpp"

namespace norvane::msgpack {

namespace {

// Refuses whatever it is given; drives the generic reader to the exact failure
// for items a document cannot hold (bin, ext, the reserved marker).
struct AnyJsonVisitor : de::Visitor<AnyJsonVisitor, Document> {
    std::string_view expecting() const { return "any valid JSON value"; }
};

// The first key of a map must be a str.
struct FirstKeyVisitor : de::Visitor<FirstKeyVisitor, std::string> {
    std::string_view expecting() const { return "a string key"; }
    DeResult<std::string> visit_str(std::string_view v) { return std::string(v); }
};

Document from_double(double v) { return std::isfinite(v) ? Document::f64(v) : Document::null(); }

DeResult<Document> read_item(Deserializer& d);

// A key: a str holding UTF-8 text; keys after the first may also be a bin
// holding UTF-8 text. Anything else goes through the generic reader for its
// exact failure.
DeResult<std::string> read_key(Deserializer& d, bool first) {
    const uint8_t m = NV_TRY(d.take_marker());
    if (is_str_marker(m)) {
        uint32_t n = NV_TRY(d.str_len(m));
        std::string_view s = NV_TRY(d.bytes(n));
        if (auto bad = check_text(s)) [[unlikely]]
            return de::fail(utf8_error(*bad));
        return std::string(s);
    }
    d.keep_marker(m);
    if (first) {
        FirstKeyVisitor v;
        return d.deserialize_str(v);
    }
    return de::read_string(d);
}

DeResult<Document> read_array(Deserializer& d, uint32_t len) {
    NV_CHECK(d.enter());
    std::vector<Document> items;
    items.reserve(d.reserve_room(len));
    for (uint32_t i = 0; i < len; ++i) items.push_back(NV_TRY(read_item(d)));
    d.leave();
    return Document::seq(std::move(items));
}

DeResult<Document> read_map(Deserializer& d, uint32_t len) {
    NV_CHECK(d.enter());
    std::vector<Document::Member> members;
    members.reserve(d.reserve_room(len));
    for (uint32_t i = 0; i < len; ++i) {
        std::string key = NV_TRY(read_key(d, i == 0));
        Document value = NV_TRY(read_item(d));
        members.emplace_back(std::move(key), std::move(value));
    }
    d.leave();
    sort_pairs_keep_last(members);
    return Document::map(std::move(members));
}

DeResult<Document> read_item(Deserializer& d) {
    const uint8_t m = NV_TRY(d.take_marker());
    if (m <= 0x7f) return Document::u64(m);
    if (m >= 0xe0) return Document::i64(int8_t(m));
    if (m <= 0x8f) return read_map(d, m & 0x0f);
    if (m <= 0x9f) return read_array(d, m & 0x0f);
    if (m <= 0xbf) {
        std::string_view s = NV_TRY(d.bytes(m & 0x1f));
        if (auto bad = check_text(s)) [[unlikely]]
            return de::fail(utf8_error(*bad));
        return Document::str(std::string(s));
    }
    switch (m) {
        case 0xc0: return Document::null();
        case 0xc2: return Document::boolean(false);
        case 0xc3: return Document::boolean(true);
        case 0xca: return from_double(double(std::bit_cast<float>(NV_TRY(d.data<uint32_t>()))));
        case 0xcb: return from_double(std::bit_cast<double>(NV_TRY(d.data<uint64_t>())));
        case 0xcc: return Document::u64(NV_TRY(d.data<uint8_t>()));
        case 0xcd: return Document::u64(NV_TRY(d.data<uint16_t>()));
        case 0xce: return Document::u64(NV_TRY(d.data<uint32_t>()));
        case 0xcf: return Document::u64(NV_TRY(d.data<uint64_t>()));
        case 0xd0: return Document::integer(int8_t(NV_TRY(d.data<uint8_t>())));
        case 0xd1: return Document::integer(int16_t(NV_TRY(d.data<uint16_t>())));
        case 0xd2: return Document::integer(int32_t(NV_TRY(d.data<uint32_t>())));
        case 0xd3: return Document::integer(int64_t(NV_TRY(d.data<uint64_t>())));
        case 0xd9:
        case 0xda:
        case 0xdb: {
            uint32_t n = NV_TRY(d.str_len(m));
            std::string_view s = NV_TRY(d.bytes(n));
            if (auto bad = check_text(s)) [[unlikely]]
                return de::fail(utf8_error(*bad));
            return Document::str(std::string(s));
        }
        case 0xdc:
        case 0xdd: return read_array(d, NV_TRY(d.array_len(m)));
        case 0xde:
        case 0xdf: return read_map(d, NV_TRY(d.map_len(m)));
        default: {
            // bin, ext, reserved: always a failure, worded by the generic reader.
            d.keep_marker(m);
            AnyJsonVisitor v;
            return d.deserialize_any(v);
        }
    }
}

}  // namespace

DeResult<Document> read_document(Deserializer& d) { return read_item(d); }

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
