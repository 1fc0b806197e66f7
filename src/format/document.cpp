#include "format/document.hpp"

#include <algorithm>

#include "util/float_text.hpp"
#include "util/text.hpp"

namespace norvane {

using de::DeResult;
using json::Reader;
namespace msg = json::msg;

namespace {

template <class T>
void sort_members(std::vector<typename T::Member>& members) {
    bool sorted_unique = true;
    for (size_t i = 1; i < members.size(); ++i) {
        if (!(members[i - 1].first < members[i].first)) {
            sorted_unique = false;
            break;
        }
    }
    if (sorted_unique) return;
    if (members.size() <= 24) {
        // Stable insertion sort: small objects are the common case.
        for (size_t i = 1; i < members.size(); ++i) {
            if (!(members[i].first < members[i - 1].first)) continue;
            auto tmp = std::move(members[i]);
            size_t j = i;
            while (j > 0 && tmp.first < members[j - 1].first) {
                members[j] = std::move(members[j - 1]);
                --j;
            }
            members[j] = std::move(tmp);
        }
    } else {
        std::stable_sort(members.begin(), members.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    size_t out = 0;
    for (size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
        if (out != i) members[out] = std::move(members[i]);
        ++out;
    }
    members.resize(out);
}

// Reads one value into a tree; Sorted: object members sorted, last duplicate wins.
template <class T, bool Sorted>
DeResult<T> read_tree(Reader& r) {
    int c = r.parse_whitespace();
    if (c < 0) return de::fail(r.peek_error(msg::EofValue));
    switch (c) {
        case 'n':
            r.eat_char();
            NV_CHECK(r.parse_ident("ull"));
            return T::null();
        case 't':
            r.eat_char();
            NV_CHECK(r.parse_ident("rue"));
            return T::boolean(true);
        case 'f':
            r.eat_char();
            NV_CHECK(r.parse_ident("alse"));
            return T::boolean(false);
        case '"': {
            r.eat_char();
            auto s = NV_TRY(r.parse_str());
            return T::str(std::string(s));
        }
        case '[': {
            NV_CHECK(r.enter());
            r.eat_char();
            std::vector<T> items;
            json::SeqAccess seq(r);
            auto body = [&]() -> DeResult<void> {
                for (;;) {
                    bool more = NV_TRY(seq.next_element([&](Reader& er) -> DeResult<void> {
                        items.push_back(NV_TRY((read_tree<T, Sorted>(er))));
                        return {};
                    }));
                    if (!more) return {};
                }
            }();
            r.leave();
            NV_CHECK(body);
            NV_CHECK(r.end_seq());
            return T::seq(std::move(items));
        }
        case '{': {
            NV_CHECK(r.enter());
            r.eat_char();
            std::vector<typename T::Member> members;
            json::MapAccess map(r);
            auto body = [&]() -> DeResult<void> {
                for (;;) {
                    std::string key;
                    bool more = NV_TRY(map.next_key([&](json::MapKey&) -> DeResult<void> {
                        r.eat_char();
                        auto s = NV_TRY(r.parse_str());
                        key.assign(s);
                        return {};
                    }));
                    if (!more) return {};
                    NV_CHECK(map.next_value([&](Reader& vr) -> DeResult<void> {
                        members.emplace_back(std::move(key), NV_TRY((read_tree<T, Sorted>(vr))));
                        return {};
                    }));
                }
            }();
            r.leave();
            NV_CHECK(body);
            NV_CHECK(r.end_map());
            if constexpr (Sorted) sort_members<T>(members);
            return T::map(std::move(members));
        }
        default:
            if (c == '-' || (c >= '0' && c <= '9')) {
                bool positive = c != '-';
                if (!positive) r.eat_char();
                json::Number n = NV_TRY(r.parse_number(positive));
                switch (n.kind) {
                    case json::Number::Kind::U64: return T::u64(n.u);
                    case json::Number::Kind::I64: return T::i64(n.i);
                    default: return T::f64(n.f);
                }
            }
            return de::fail(r.peek_error(msg::ExpectedValue));
    }
}

template <class T>
void write_tree(std::string& out, const T& d) {
    switch (d.kind()) {
        case NodeKind::Null: out += "null"; return;
        case NodeKind::Bool: out += d.as_bool() ? "true" : "false"; return;
        case NodeKind::U64: append_u64(out, d.as_u64()); return;
        case NodeKind::I64: append_i64(out, d.as_i64()); return;
        case NodeKind::F64: {
            double f = d.as_f64();
            if (f - f == 0) {
                append_json_double(out, f);
            } else {
                out += "null";
            }
            return;
        }
        case NodeKind::Str:
        case NodeKind::Bytes:
            append_json_string(out, d.as_str());
            return;
        case NodeKind::Seq: {
            out += '[';
            bool first = true;
            for (const auto& e : d.items()) {
                if (!first) out += ',';
                first = false;
                write_tree(out, e);
            }
            out += ']';
            return;
        }
        case NodeKind::Map: {
            out += '{';
            bool first = true;
            for (const auto& [k, v] : d.members()) {
                if (!first) out += ',';
                first = false;
                append_json_string(out, k);
                out += ':';
                write_tree(out, v);
            }
            out += '}';
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
            sort_members<Document>(members);
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
