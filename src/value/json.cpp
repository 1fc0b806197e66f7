#include "value/json.hpp"

#include <deque>
#include <iterator>

#include "util/float_text.hpp"
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
    switch (v.kind()) {
        case Value::Kind::Null:
            out += "\"Null\"";
            return;
        case Value::Kind::Bool:
            out += v.as_bool() ? "{\"Bool\":true}" : "{\"Bool\":false}";
            return;
        case Value::Kind::Int:
            out += "{\"Int\":";
            append_i64(out, v.as_int());
            out += '}';
            return;
        case Value::Kind::Float: {
            out += "{\"Float\":";
            double f = v.as_float();
            if (f - f == 0) {
                append_json_double(out, f);
            } else {
                out += "null";
            }
            out += '}';
            return;
        }
        case Value::Kind::Str:
            out += "{\"Str\":";
            append_json_string(out, v.as_str());
            out += '}';
            return;
        case Value::Kind::List: {
            out += "{\"List\":[";
            bool first = true;
            for (const auto& e : v.as_list()) {
                if (!first) out += ',';
                first = false;
                value_to_json(out, e);
            }
            out += "]}";
            return;
        }
        case Value::Kind::Map: {
            out += "{\"Map\":{";
            bool first = true;
            for (const auto& [k, e] : v.as_map()) {
                if (!first) out += ',';
                first = false;
                append_json_string(out, k);
                out += ':';
                value_to_json(out, e);
            }
            out += "}}";
            return;
        }
        case Value::Kind::Submodel:
            out += "{\"Submodel\":";
            append_u64(out, v.as_submodel().id);
            out += '}';
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

int variant_index(std::string_view name) {
    for (int i = 0; i < 8; ++i)
        if (kVariantNames[i] == name) return i;
    return -1;
}

// Growing vectors for the lists and maps being read, one per nesting depth and reused
// from read to read: a long list or map then grows without moving its elements again
// and again, and the result is moved once into a vector of exactly its size.
template <class T>
class ScratchStack {
public:
    class Lease {
    public:
        explicit Lease(ScratchStack& s) : stack_(s) {
            if (stack_.depth_ == stack_.levels_.size()) stack_.levels_.emplace_back();
            items_ = &stack_.levels_[stack_.depth_++];
        }
        ~Lease() {
            items_->clear();
            if (items_->capacity() > kKeep) std::vector<T>().swap(*items_);
            --stack_.depth_;
        }
        std::vector<T>& items() { return *items_; }
        std::vector<T> take() {
            std::vector<T> out;
            out.reserve(items_->size());
            std::move(items_->begin(), items_->end(), std::back_inserter(out));
            return out;
        }

    private:
        ScratchStack& stack_;
        std::vector<T>* items_;
    };

private:
    static constexpr std::size_t kKeep = 1 << 15;  // larger buffers are not kept between reads
    std::deque<std::vector<T>> levels_;  // growing it leaves the levels in place
    std::size_t depth_ = 0;
};

thread_local ScratchStack<norvane::Value> list_scratch;
thread_local ScratchStack<std::pair<std::string, norvane::Value>> map_scratch;

struct ListVisitor : de::Visitor<ListVisitor, ValueList> {
    std::string_view expecting() const { return "a sequence"; }
    template <class A>
    DeResult<ValueList> visit_seq(A& seq) {
        ScratchStack<norvane::Value>::Lease lease(list_scratch);
        ValueList& items = lease.items();
        for (;;) {
            bool more = NV_TRY(seq.next_element([&](Reader& r) -> DeResult<void> {
                items.push_back(NV_TRY(value_from_json(r)));
                return {};
            }));
            if (!more) return lease.take();
        }
    }
};

struct MapVisitor : de::Visitor<MapVisitor, ValueMap> {
    std::string_view expecting() const { return "a map"; }
    template <class A>
    DeResult<ValueMap> visit_map(A& map) {
        ScratchStack<std::pair<std::string, norvane::Value>>::Lease lease(map_scratch);
        ValueMap& entries = lease.items();
        for (;;) {
            std::string key;
            bool more = NV_TRY(map.next_key([&](auto& kd) -> DeResult<void> {
                key = NV_TRY(de::read_string(kd));
                return {};
            }));
            if (!more) break;
            NV_CHECK(map.next_value([&](Reader& r) -> DeResult<void> {
                entries.emplace_back(std::move(key), NV_TRY(value_from_json(r)));
                return {};
            }));
        }
        norvane::Value::sort_entries(entries);
        return lease.take();
    }
};

DeResult<Value> read_payload(Reader& r, int variant) {
    switch (Value::Kind(variant)) {
        case Value::Kind::Null:
            NV_CHECK(de::read_unit(r));
            return Value::null();
        case Value::Kind::Bool: return Value::boolean(NV_TRY(de::read_bool(r)));
        case Value::Kind::Int: return Value::integer(NV_TRY(de::read_i64(r)));
        case Value::Kind::Float: return Value::float_(NV_TRY(de::read_f64(r)));
        case Value::Kind::Str: return Value::str(NV_TRY(de::read_string(r)));
        case Value::Kind::List: {
            ListVisitor v;
            return Value::list(NV_TRY(r.deserialize_seq(v)));
        }
        case Value::Kind::Map: {
            MapVisitor v;
            return Value::map(NV_TRY(r.deserialize_map(v)));
        }
        case Value::Kind::Submodel: return Value::submodel(ModelId{NV_TRY(de::read_u64(r))});
    }
    return Value::null();
}

}  // namespace

DeResult<Value> value_from_json(Reader& r) {
    int c = r.parse_whitespace();
    if (c < 0) return de::fail(r.peek_error(msg::EofValue));
    if (c == '"') {
        r.eat_char();
        auto name = NV_TRY(r.parse_str());
        int variant = variant_index(name);
        if (variant < 0) return de::fail(r.fixed(Error::unknown_variant(name, kVariants)));
        if (variant != 0)
            return de::fail(r.fixed(Error::invalid_type(Unexpected::of(Unexpected::Kind::UnitVariant),
                                                        "newtype variant")));
        return Value::null();
    }
    if (c != '{') return de::fail(r.peek_error(msg::ExpectedValue));
    NV_CHECK(r.enter());
    r.eat_char();
    auto body = [&]() -> DeResult<Value> {
        int k = r.parse_whitespace();
        if (k < 0) return de::fail(r.peek_error(msg::EofObject));
        if (k == '}') return de::fail(r.peek_error(msg::ExpectedValue));
        if (k != '"') return de::fail(r.peek_error(msg::KeyMustBeString));
        r.eat_char();
        auto name = NV_TRY(r.parse_str());
        int variant = variant_index(name);
        if (variant < 0) return de::fail(r.fixed(Error::unknown_variant(name, kVariants)));
        NV_CHECK(r.parse_object_colon());
        return read_payload(r, variant);
    }();
    r.leave();
    if (!body) return body;
    int e = r.parse_whitespace();
    if (e == '}') {
        r.eat_char();
        return body;
    }
    if (e < 0) return de::fail(r.error(msg::EofObject));
    return de::fail(r.error(msg::ExpectedValue));
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
DeResult<Value> tree_value(const T& t);

template <class T>
DeResult<Value> tree_payload(const T& p, int variant) {
    auto refuse = [&](std::string_view expected) {
        return de::fail(Error::invalid_type(tree_unexpected(p), expected));
    };
    switch (Value::Kind(variant)) {
        case Value::Kind::Null:
            if (p.kind() == NodeKind::Null || (p.kind() == NodeKind::Map && p.members().empty()))
                return Value::null();
            return refuse("unit");
        case Value::Kind::Bool:
            if (p.kind() == NodeKind::Bool) return Value::boolean(p.as_bool());
            return refuse("a boolean");
        case Value::Kind::Int:
            if (p.kind() == NodeKind::I64) return Value::integer(p.as_i64());
            if (p.kind() == NodeKind::U64) {
                if (p.as_u64() <= uint64_t(INT64_MAX)) return Value::integer(int64_t(p.as_u64()));
                return de::fail(Error::invalid_value(Unexpected::unsigned_(p.as_u64()), "i64"));
            }
            return refuse("i64");
        case Value::Kind::Float:
            if (p.kind() == NodeKind::F64) return Value::float_(p.as_f64());
            if (p.kind() == NodeKind::U64) return Value::float_(double(p.as_u64()));
            if (p.kind() == NodeKind::I64) return Value::float_(double(p.as_i64()));
            return refuse("f64");
        case Value::Kind::Str:
            if (p.kind() == NodeKind::Str) return Value::str(p.as_str());
            return refuse("a string");
        case Value::Kind::List: {
            if (p.kind() != NodeKind::Seq) return refuse("a sequence");
            ValueList items;
            items.reserve(p.items().size());
            for (const auto& e : p.items()) items.push_back(NV_TRY(tree_value(e)));
            return Value::list(std::move(items));
        }
        case Value::Kind::Map: {
            if (p.kind() != NodeKind::Map) return refuse("a map");
            ValueMap entries;
            entries.reserve(p.members().size());
            for (const auto& [k, e] : p.members()) entries.emplace_back(k, NV_TRY(tree_value(e)));
            Value::sort_entries(entries);
            return Value::map(std::move(entries));
        }
        case Value::Kind::Submodel:
            if (p.kind() == NodeKind::U64) return Value::submodel(ModelId{p.as_u64()});
            if (p.kind() == NodeKind::I64)
                return de::fail(Error::invalid_value(Unexpected::signed_(p.as_i64()), "u64"));
            return refuse("u64");
    }
    return Value::null();
}

template <class T>
DeResult<Value> tree_value(const T& t) {
    if (t.kind() == NodeKind::Str) {
        int variant = variant_index(t.as_str());
        if (variant < 0) return de::fail(Error::unknown_variant(t.as_str(), kVariants));
        if (variant != 0)
            return de::fail(Error::invalid_type(Unexpected::of(Unexpected::Kind::UnitVariant), "newtype variant"));
        return Value::null();
    }
    if (t.kind() != NodeKind::Map) return de::fail(Error::invalid_type(tree_unexpected(t), "string or map"));
    if (t.members().size() != 1)
        return de::fail(Error::invalid_value(Unexpected::of(Unexpected::Kind::Map), "map with a single key"));
    const auto& [name, payload] = t.members().front();
    int variant = variant_index(name);
    if (variant < 0) return de::fail(Error::unknown_variant(name, kVariants));
    return tree_payload(payload, variant);
}

}  // namespace

DeResult<Value> value_from_tree(const Document& t) { return tree_value(t); }
DeResult<Value> value_from_tree(const Content& t) { return tree_value(t); }

}  // namespace norvane
