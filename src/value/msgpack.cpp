#include "value/msgpack.hpp"

#include <bit>

#include "format/msgpack/writer.hpp"

namespace norvane {

using de::DeResult;
using de::Error;
using de::Unexpected;
using msgpack::Deserializer;

namespace {

// The variant names as written: a fixstr header and the name.
constexpr std::string_view kTaggedNames[] = {
    "\xa4Null", "\xa4" "Bool", "\xa3Int", "\xa5" "Float", "\xa3Str", "\xa4List", "\xa3Map", "\xa8Submodel",
};

void write_value(std::string& out, const Value& v) {
    using K = Value::Kind;
    const K kind = v.kind();
    if (kind == K::Null) {
        out.append(kTaggedNames[0]);
        return;
    }
    out.push_back(char(0x81));
    out.append(kTaggedNames[size_t(kind)]);
    switch (kind) {
        case K::Null: return;
        case K::Bool: msgpack::write_bool(out, v.as_bool()); return;
        case K::Int: msgpack::write_int(out, v.as_int()); return;
        case K::Float: msgpack::write_f64(out, v.as_float()); return;
        case K::Str: msgpack::write_str(out, v.as_str()); return;
        case K::List:
            msgpack::write_array_header(out, v.as_list().size());
            for (const Value& e : v.as_list()) write_value(out, e);
            return;
        case K::Map:
            msgpack::write_map_header(out, v.as_map().size());
            for (const auto& [k, e] : v.as_map()) {
                msgpack::write_str(out, k);
                write_value(out, e);
            }
            return;
        case K::Submodel: msgpack::write_uint(out, v.as_submodel().id); return;
    }
}

// Refuses everything: lets the generic reader produce the exact failure for
// an item the fast paths below do not take.
struct Refuse : de::Visitor<Refuse, void> {
    std::string_view what;
    explicit Refuse(std::string_view w) : what(w) {}
    std::string_view expecting() const { return what; }
};

DeResult<Value> read_value(Deserializer& d);

DeResult<Value> read_list(Deserializer& d) {
    const uint8_t m = NV_TRY(d.peek_marker());
    if (msgpack::is_array_marker(m)) {
        d.drop_marker();
        const uint32_t len = NV_TRY(d.array_len(m));
        NV_CHECK(d.enter());
        ValueList items;
        items.reserve(std::min<size_t>(d.reserve_room(len), 32768));
        for (uint32_t i = 0; i < len; ++i) items.push_back(NV_TRY(read_value(d)));
        d.leave();
        return Value::list(std::move(items));
    }
    if (msgpack::is_bin_marker(m)) {
        // A bin is a sequence of its bytes, and a byte is never a value.
        d.drop_marker();
        const uint32_t len = NV_TRY(d.bin_len(m));
        std::string_view b = NV_TRY(d.bytes(len));
        if (b.empty()) return Value::list({});
        return de::fail(Error::invalid_type(Unexpected::unsigned_(uint8_t(b[0])), msgpack::msg::EnumValue));
    }
    Refuse r(msgpack::msg::ASequence);
    NV_CHECK(d.deserialize_seq(r));
    return Value::list({});  // not reached: the refusal always fails
}

DeResult<std::string> read_key(Deserializer& d) {
    const uint8_t m = NV_TRY(d.peek_marker());
    if (msgpack::is_str_marker(m)) {
        d.drop_marker();
        const uint32_t n = NV_TRY(d.str_len(m));
        std::string_view s = NV_TRY(d.bytes(n));
        if (auto bad = msgpack::check_text(s)) [[unlikely]]
            return de::fail(msgpack::utf8_error(*bad));
        return std::string(s);
    }
    return de::read_string(d);
}

DeResult<Value> read_map(Deserializer& d) {
    const uint8_t m = NV_TRY(d.peek_marker());
    if (msgpack::is_map_marker(m)) {
        d.drop_marker();
        const uint32_t len = NV_TRY(d.map_len(m));
        NV_CHECK(d.enter());
        ValueMap entries;
        entries.reserve(std::min<size_t>(d.reserve_room(len), 32768));
        for (uint32_t i = 0; i < len; ++i) {
            std::string key = NV_TRY(read_key(d));
            Value v = NV_TRY(read_value(d));
            entries.emplace_back(std::move(key), std::move(v));
        }
        d.leave();
        Value::sort_entries(entries);
        return Value::map(std::move(entries));
    }
    Refuse r(msgpack::msg::AMap);
    NV_CHECK(d.deserialize_map(r));
    return Value::map({});  // not reached
}

DeResult<Value> read_payload(Deserializer& d, size_t variant) {
    using K = Value::Kind;
    switch (K(variant)) {
        case K::Null: {
            // The content of a unit variant must be exactly nil.
            const uint8_t m = NV_TRY(d.take_marker());
            if (m != 0xc0) return de::fail(msgpack::wrong_marker(m));
            return Value::null();
        }
        case K::Bool: return Value::boolean(NV_TRY(de::read_bool(d)));
        case K::Int: {
            const uint8_t m = NV_TRY(d.peek_marker());
            if (m <= 0x7f) {
                d.drop_marker();
                return Value::integer(m);
            }
            return Value::integer(NV_TRY(de::read_i64(d)));
        }
        case K::Float: return Value::float_(NV_TRY(de::read_f64(d)));
        case K::Str: {
            const uint8_t m = NV_TRY(d.peek_marker());
            if (msgpack::is_str_marker(m)) return Value::str(NV_TRY(read_key(d)));
            return Value::str(NV_TRY(de::read_string(d)));
        }
        case K::List: return read_list(d);
        case K::Map: return read_map(d);
        case K::Submodel: return Value::submodel(ModelId{NV_TRY(de::read_u64(d, "u64"))});
    }
    return Value::null();
}

// A map of one entry (variant, payload), or a bare item naming the variant,
// which only Null can be.
DeResult<Value> read_value(Deserializer& d) {
    const uint8_t m = NV_TRY(d.peek_marker());
    de::VariantIdVisitor ids(Value::kNames);
    if (msgpack::is_map_marker(m)) {
        const uint32_t len = NV_TRY(d.map_len(m));
        if (len != 1) return de::fail(msgpack::length_mismatch(len));
        d.drop_marker();
        const size_t variant = NV_TRY(d.deserialize_identifier(ids));
        return read_payload(d, variant);
    }
    const size_t variant = NV_TRY(d.deserialize_identifier(ids));
    if (variant == 0) return Value::null();
    return de::fail(Error::invalid_type(Unexpected::of(Unexpected::Kind::UnitVariant), msgpack::msg::NewtypeVariant));
}

}  // namespace

void value_to_msgpack(std::string& out, const Value& v) { write_value(out, v); }

DeResult<Value> value_from_msgpack(Deserializer& d) { return read_value(d); }

}  // namespace norvane
