#include "value/json.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <tuple>

#include "format/json/append.hpp"
#include "format/tree/gather.hpp"
#include "util/float_text.hpp"
#include "util/sorted_pairs.hpp"
#include "util/text.hpp"

namespace norvane {

using de::DeResult;
using de::Error;
using de::Unexpected;
using json::Reader;
namespace msg = json::msg;

static const std::string_view* const kVariantNames = Value::kNames;
static constexpr std::span<const std::string_view> kVariants(Value::kNames, 8);

// ---- writing -----------------------------------------------------------------

void value_to_json(std::string& out, const Value& v) {
    using json::append_lit;
    switch (v.kind()) {
        case Value::Kind::Null:
            append_lit(out, "\"Null\"");
            return;
        case Value::Kind::Bool:
            if (v.as_bool()) {
                append_lit(out, "{\"Bool\":true}");
            } else {
                append_lit(out, "{\"Bool\":false}");
            }
            return;
        case Value::Kind::Int:
            json::append_with(out, 28, [&](char* p) {
                p = json::put_lit(p, "{\"Int\":");
                p = json::put_i64(p, v.as_int());
                *p++ = '}';
                return p;
            });
            return;
        case Value::Kind::Float: {
            append_lit(out, "{\"Float\":");
            double f = v.as_float();
            if (f - f == 0) {
                append_json_double(out, f);
            } else {
                append_lit(out, "null");
            }
            json::append_char(out, '}');
            return;
        }
        case Value::Kind::Str:
            append_lit(out, "{\"Str\":");
            append_json_string(out, v.as_str());
            json::append_char(out, '}');
            return;
        case Value::Kind::List: {
            append_lit(out, "{\"List\":[");
            bool first = true;
            for (const auto& e : v.as_list()) {
                if (!first) json::append_char(out, ',');
                first = false;
                value_to_json(out, e);
            }
            append_lit(out, "]}");
            return;
        }
        case Value::Kind::Map: {
            append_lit(out, "{\"Map\":{");
            bool first = true;
            for (const auto& [k, e] : v.as_map()) {
                if (!first) json::append_char(out, ',');
                first = false;
                append_json_string(out, k);
                json::append_char(out, ':');
                value_to_json(out, e);
            }
            append_lit(out, "}}");
            return;
        }
        case Value::Kind::Submodel:
            json::append_with(out, 33, [&](char* p) {
                p = json::put_lit(p, "{\"Submodel\":");
                p = json::put_u64(p, v.as_submodel().id);
                *p++ = '}';
                return p;
            });
            return;
    }
}

std::string value_to_json(const Value& v) {
    std::string out;
    out.reserve(128);
    value_to_json(out, v);
    return out;
}

Document value_to_document(const Value& v) {
    auto one = [](std::string_view name, Document payload) {
        std::vector<Document::Member> m;
        m.emplace_back(std::string(name), std::move(payload));
        return Document::map(std::move(m));
    };
    switch (v.kind()) {
        case Value::Kind::Null: return Document::str("Null");
        case Value::Kind::Bool: return one("Bool", Document::boolean(v.as_bool()));
        case Value::Kind::Int: return one("Int", Document::integer(v.as_int()));
        case Value::Kind::Float: {
            double f = v.as_float();
            return one("Float", f - f == 0 ? Document::f64(f) : Document::null());
        }
        case Value::Kind::Str: return one("Str", Document::str(v.as_str()));
        case Value::Kind::List: {
            std::vector<Document> items;
            items.reserve(v.as_list().size());
            for (const auto& e : v.as_list()) items.push_back(value_to_document(e));
            return one("List", Document::seq(std::move(items)));
        }
        case Value::Kind::Map: {
            std::vector<Document::Member> members;
            members.reserve(v.as_map().size());
            for (const auto& [k, e] : v.as_map()) members.emplace_back(k, value_to_document(e));
            return one("Map", Document::map(std::move(members)));
        }
        case Value::Kind::Submodel: return one("Submodel", Document::u64(v.as_submodel().id));
    }
    return Document::null();
}

// ---- reading JSON text -------------------------------------------------------

namespace {

// A number for a numeric payload, when one is next.
bool number_next(Reader& r, int c) {
    if (c == '-') {
        r.eat_char();
        return true;
    }
    return c >= '0' && c <= '9';
}

}  // namespace

DeResult<Value> scalar_payload_from_json(Reader& r, Value::Kind kind, int c) {
    switch (kind) {
        case Value::Kind::Null:
            NV_CHECK(de::read_unit(r));
            return Value::null();
        case Value::Kind::Bool:
            if (c == 't') {
                r.eat_char();
                NV_CHECK(r.parse_ident("rue"));
                return Value::boolean(true);
            }
            if (c == 'f') {
                r.eat_char();
                NV_CHECK(r.parse_ident("alse"));
                return Value::boolean(false);
            }
            return Value::boolean(NV_TRY(de::read_bool(r)));
        case Value::Kind::Int:
            if (number_next(r, c)) {
                const json::Number n = NV_TRY(r.parse_number(c != '-'));
                if (n.kind == json::Number::Kind::I64) return Value::integer(n.i);
                if (n.kind == json::Number::Kind::U64 && n.u <= uint64_t(INT64_MAX)) return Value::integer(int64_t(n.u));
                if (n.kind == json::Number::Kind::U64)
                    return de::fail(r.fixed(Error::invalid_value(Unexpected::unsigned_(n.u), "i64")));
                return de::fail(r.fixed(Error::invalid_type(Unexpected::float_(n.f), "i64")));
            }
            return Value::integer(NV_TRY(de::read_i64(r)));
        case Value::Kind::Float:
            if (number_next(r, c)) {
                const json::Number n = NV_TRY(r.parse_number(c != '-'));
                switch (n.kind) {
                    case json::Number::Kind::U64: return Value::float_(double(n.u));
                    case json::Number::Kind::I64: return Value::float_(double(n.i));
                    default: return Value::float_(n.f);
                }
            }
            return Value::float_(NV_TRY(de::read_f64(r)));
        case Value::Kind::Submodel:
            if (number_next(r, c)) {
                const json::Number n = NV_TRY(r.parse_number(c != '-'));
                if (n.kind == json::Number::Kind::U64) return Value::submodel(ModelId{n.u});
                if (n.kind == json::Number::Kind::I64)
                    return de::fail(r.fixed(Error::invalid_value(Unexpected::signed_(n.i), "u64")));
                return de::fail(r.fixed(Error::invalid_type(Unexpected::float_(n.f), "u64")));
            }
            return Value::submodel(ModelId{NV_TRY(de::read_u64(r))});
        case Value::Kind::Str:
        case Value::Kind::List:
        case Value::Kind::Map: break;
    }
    NORVANE_EXPECT(false, "scalar_payload_from_json takes a scalar kind");
    return Value::null();
}

namespace {

int variant_index(std::string_view name) {
    const char* p = name.data();
    switch (name.size()) {
        case 3:
            if (std::memcmp(p, "Int", 3) == 0) return 2;
            if (std::memcmp(p, "Str", 3) == 0) return 4;
            if (std::memcmp(p, "Map", 3) == 0) return 6;
            return -1;
        case 4:
            if (std::memcmp(p, "Null", 4) == 0) return 0;
            if (std::memcmp(p, "Bool", 4) == 0) return 1;
            if (std::memcmp(p, "List", 4) == 0) return 5;
            return -1;
        case 5: return std::memcmp(p, "Float", 5) == 0 ? 3 : -1;
        case 8: return std::memcmp(p, "Submodel", 8) == 0 ? 7 : -1;
        default: return -1;
    }
}

// A map entry gathered while its map is open.
using Entry = Gathered<Value>;

// Reads tagged values with the reader calls (and so the texts and positions)
// of the generic record readers: the payload of each variant is read as
// de::read_unit / read_bool / read_i64 / read_f64 / read_string / a sequence /
// a map / read_u64 would read it, taking the short way when the expected
// token is next and the generic reader otherwise.
class ValueReader {
public:
    explicit ValueReader(Reader& r) : r_(r) {}
    ValueReader(const ValueReader&) = delete;
    ValueReader& operator=(const ValueReader&) = delete;

    // Reads one value into `out` (null on entry).
    DeResult<void> value(Value& out) {
        const int c = r_.parse_whitespace();
        if (c == '{') [[likely]] {
            NV_CHECK(r_.enter());
            r_.eat_char();
            DeResult<void> body = tagged(out);
            r_.leave();
            if (!body) return body;
            return r_.end_variant_object();
        }
        if (c == '"') {
            if (r_.eat_literal("\"Null\"")) return {};
            r_.eat_char();
            auto name = NV_TRY(r_.parse_str());
            int variant = variant_index(name);
            if (variant < 0) return de::fail(r_.fixed(Error::unknown_variant(name, kVariants)));
            if (variant != 0)
                return de::fail(r_.fixed(Error::invalid_type(Unexpected::of(Unexpected::Kind::UnitVariant),
                                                             "newtype variant")));
            return {};
        }
        if (c < 0) return de::fail(r_.peek_error(msg::EofValue));
        return de::fail(r_.peek_error(msg::ExpectedValue));
    }

private:
    // After the opening brace: the variant name, the colon and the payload.
    DeResult<void> tagged(Value& out) {
        // The usual compact form: the quoted name and the colon right after the brace.
        int known = -1;
        switch (r_.peek_at(1)) {
            case 'I': known = r_.eat_literal("\"Int\":") ? 2 : -1; break;
            case 'S':
                known = r_.eat_literal("\"Str\":") ? 4 : r_.eat_literal("\"Submodel\":") ? 7 : -1;
                break;
            case 'M': known = r_.eat_literal("\"Map\":") ? 6 : -1; break;
            case 'L': known = r_.eat_literal("\"List\":") ? 5 : -1; break;
            case 'F': known = r_.eat_literal("\"Float\":") ? 3 : -1; break;
            case 'B': known = r_.eat_literal("\"Bool\":") ? 1 : -1; break;
            case 'N': known = r_.eat_literal("\"Null\":") ? 0 : -1; break;
            default: break;
        }
        if (known >= 0) return payload(known, out);
        NV_CHECK(r_.variant_name_next());
        r_.eat_char();
        auto name = NV_TRY(r_.parse_str());
        const int variant = variant_index(name);
        if (variant < 0) return de::fail(r_.fixed(Error::unknown_variant(name, kVariants)));
        NV_CHECK(r_.parse_object_colon());
        return payload(variant, out);
    }

    static DeResult<void> set(Value& out, Value&& v) {
        out = std::move(v);
        return {};
    }

    DeResult<void> payload(int variant, Value& out) {
        const int c = r_.parse_whitespace();
        switch (Value::Kind(variant)) {
            case Value::Kind::Str:
                if (c == '"') {
                    r_.eat_char();
                    const std::string_view text = NV_TRY(r_.parse_str());
                    out.~Value();  // null
                    new (&out) Value(Value::str(text));
                    return {};
                }
                return set(out, Value::str(NV_TRY(de::read_string(r_))));
            case Value::Kind::List: return list(c, out);
            case Value::Kind::Map: return map(c, out);
            default: return set(out, NV_TRY(scalar_payload_from_json(r_, Value::Kind(variant), c)));
        }
    }

    // What the sequence reader says when no list is next.
    Error not_a(int c, std::string_view expected) {
        if (c < 0) return r_.peek_error(msg::EofValue);
        return r_.fixed(r_.peek_invalid_type_text(expected));
    }

    DeResult<void> list(int c, Value& out) {
        if (c != '[') return de::fail(not_a(c, "a sequence"));
        NV_CHECK(r_.enter());
        r_.eat_char();
        ValueList& items = stacks_->items;
        const size_t base = items.size();
        DeResult<void> body = elements();
        r_.leave();
        if (!body) [[unlikely]] {
            items.erase(items.begin() + std::ptrdiff_t(base), items.end());
            return de::fail(std::move(body).error());
        }
        r_.eat_char();  // ']'
        ValueList exact(std::make_move_iterator(items.begin() + std::ptrdiff_t(base)),
                        std::make_move_iterator(items.end()));
        items.erase(items.begin() + std::ptrdiff_t(base), items.end());
        out = Value::list(std::move(exact));
        return {};
    }

    // The element loop of the JSON sequence accessor; the closing bracket is
    // next on success.
    DeResult<void> elements() {
        bool first = true;
        while (NV_TRY(r_.next_element(first))) {
            Value v;
            NV_CHECK(value(v));
            stacks_->items.push_back(std::move(v));
        }
        return {};
    }

    DeResult<void> map(int c, Value& out) {
        if (c != '{') return de::fail(not_a(c, "a map"));
        NV_CHECK(r_.enter());
        r_.eat_char();
        std::vector<Entry>& entries = stacks_->members;
        const size_t base = entries.size();
        const size_t owned_base = stacks_->owned_keys.size();
        DeResult<void> body = members();
        r_.leave();
        if (!body) [[unlikely]] {
            entries.erase(entries.begin() + std::ptrdiff_t(base), entries.end());
            stacks_->owned_keys.resize(owned_base);
            return de::fail(std::move(body).error());
        }
        r_.eat_char();  // '}'
        Entry* begin = entries.data() + base;
        const size_t n = entries.size() - base;
        const char* owned = stacks_->owned_keys.data();
        for (size_t k = 0; k < n; ++k)
            if (!begin[k].key) begin[k].key = owned + begin[k].key_off;
        ValueMap exact;
        auto positions = sorted_unique_positions(n, [&](uint32_t k) { return key_of(begin[k]); }, stacks_->order);
        exact.reserve(positions.size());
        for (uint32_t k : positions) emit(exact, begin[k]);
        entries.erase(entries.begin() + std::ptrdiff_t(base), entries.end());
        stacks_->owned_keys.resize(owned_base);
        out = Value::map(std::move(exact));
        return {};
    }

    static std::string_view key_of(const Entry& e) { return {e.key, e.key_len}; }

    static void emit(ValueMap& out, Entry& e) {
        out.emplace_back(std::piecewise_construct, std::forward_as_tuple(e.key, e.key_len),
                         std::forward_as_tuple(std::move(e.value)));
    }

    // The key and value loop of the JSON map accessor; the closing brace is
    // next on success.
    DeResult<void> members() {
        bool first = true;
        while (NV_TRY(r_.next_member(first))) {
            r_.eat_char();
            const std::string_view key = NV_TRY(r_.parse_str());
            const std::string_view input = r_.input();
            const char* at = key.data();
            size_t off = 0;
            if (!(at >= input.data() && at + key.size() <= input.data() + input.size())) {
                // Decoded from escapes: the reader's buffer is reused, so keep a copy.
                at = nullptr;
                off = stacks_->owned_keys.size();
                stacks_->owned_keys.append(key);
            }
            NV_CHECK(r_.parse_object_colon());
            Value v;
            NV_CHECK(value(v));
            stacks_->members.push_back(Entry{at, off, key.size(), std::move(v)});
        }
        return {};
    }

    Reader& r_;
    GatherLease<Value> stacks_;
};

}  // namespace

DeResult<Value> value_from_json(Reader& r) {
    ValueReader reader(r);
    Value v;
    NV_CHECK(reader.value(v));
    return v;
}

Result<Value> parse_value(std::string_view text, bool check_utf8) {
    Reader r(text, check_utf8);
    auto v = value_from_json(r);
    if (!v) return fail(de::json_error_text(v.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return std::move(*v);
}

// ---- reading a parsed tree ---------------------------------------------------------

namespace {

template <class T>
DeResult<void> tree_value(const T& t, Value& out);

// Reads the payload of variant `variant` into `out` (null on entry).
template <class T>
DeResult<void> tree_payload(const T& p, int variant, Value& out) {
    auto refuse = [&](std::string_view expected) {
        return de::fail(Error::invalid_type(tree_unexpected(p), expected));
    };
    switch (Value::Kind(variant)) {
        case Value::Kind::Null:
            if (p.kind() == NodeKind::Null || (p.kind() == NodeKind::Map && p.members().empty())) return {};
            return refuse("unit");
        case Value::Kind::Bool:
            if (p.kind() != NodeKind::Bool) return refuse("a boolean");
            out = Value::boolean(p.as_bool());
            return {};
        case Value::Kind::Int:
            if (p.kind() == NodeKind::I64) {
                out = Value::integer(p.as_i64());
                return {};
            }
            if (p.kind() == NodeKind::U64) {
                if (p.as_u64() > uint64_t(INT64_MAX))
                    return de::fail(Error::invalid_value(Unexpected::unsigned_(p.as_u64()), "i64"));
                out = Value::integer(int64_t(p.as_u64()));
                return {};
            }
            return refuse("i64");
        case Value::Kind::Float:
            if (p.kind() == NodeKind::F64) {
                out = Value::float_(p.as_f64());
            } else if (p.kind() == NodeKind::U64) {
                out = Value::float_(double(p.as_u64()));
            } else if (p.kind() == NodeKind::I64) {
                out = Value::float_(double(p.as_i64()));
            } else {
                return refuse("f64");
            }
            return {};
        case Value::Kind::Str:
            if (p.kind() != NodeKind::Str) return refuse("a string");
            out.~Value();  // null
            new (&out) Value(Value::str(std::string_view(p.as_str())));
            return {};
        case Value::Kind::List: {
            if (p.kind() != NodeKind::Seq) return refuse("a sequence");
            ValueList items(p.items().size());
            for (size_t i = 0; i < items.size(); ++i) NV_CHECK(tree_value(p.items()[i], items[i]));
            out = Value::list(std::move(items));
            return {};
        }
        case Value::Kind::Map: {
            if (p.kind() != NodeKind::Map) return refuse("a map");
            ValueMap entries;
            entries.reserve(p.members().size());
            for (const auto& [k, e] : p.members()) NV_CHECK(tree_value(e, entries.emplace_back(k, Value()).second));
            Value::sort_entries(entries);
            out = Value::map(std::move(entries));
            return {};
        }
        case Value::Kind::Submodel:
            if (p.kind() == NodeKind::U64) {
                out = Value::submodel(ModelId{p.as_u64()});
                return {};
            }
            if (p.kind() == NodeKind::I64)
                return de::fail(Error::invalid_value(Unexpected::signed_(p.as_i64()), "u64"));
            return refuse("u64");
    }
    return {};
}

template <class T>
DeResult<void> tree_value(const T& t, Value& out) {
    if (t.kind() == NodeKind::Str) {
        int variant = variant_index(t.as_str());
        if (variant < 0) return de::fail(Error::unknown_variant(t.as_str(), kVariants));
        if (variant != 0)
            return de::fail(Error::invalid_type(Unexpected::of(Unexpected::Kind::UnitVariant), "newtype variant"));
        return {};
    }
    if (t.kind() != NodeKind::Map) return de::fail(Error::invalid_type(tree_unexpected(t), "string or map"));
    if (t.members().size() != 1)
        return de::fail(Error::invalid_value(Unexpected::of(Unexpected::Kind::Map), "map with a single key"));
    const auto& [name, payload] = t.members().front();
    int variant = variant_index(name);
    if (variant < 0) return de::fail(Error::unknown_variant(name, kVariants));
    return tree_payload(payload, variant, out);
}

template <class T>
DeResult<Value> tree_value(const T& t) {
    Value v;
    NV_CHECK(tree_value(t, v));
    return v;
}

}  // namespace

DeResult<Value> value_from_tree(const Document& t) { return tree_value(t); }
DeResult<Value> value_from_tree(const Content& t) { return tree_value(t); }

}  // namespace norvane
