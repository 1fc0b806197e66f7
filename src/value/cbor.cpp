#include "value/cbor.hpp"

#include "format/cbor/writer.hpp"
#include "util/text.hpp"

namespace norvane {

using cbor::Deserializer;
using cbor::Header;
using de::DeResult;
using de::Error;
using de::Unexpected;

static constexpr std::span<const std::string_view> kVariants(Value::kNames, 8);

// ---- writing -------------------------------------------------------------------

namespace {

// a1 (a map of one pair) and the variant name as a text.
void open_variant(std::string& out, std::string_view name) {
    out.push_back('\xa1');
    cbor::write_text(out, name);
}

}  // namespace

void value_to_cbor(std::string& out, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Null:
            cbor::write_text(out, "Null");
            return;
        case Value::Kind::Bool:
            open_variant(out, "Bool");
            cbor::write_bool(out, v.as_bool());
            return;
        case Value::Kind::Int:
            open_variant(out, "Int");
            cbor::write_i64(out, v.as_int());
            return;
        case Value::Kind::Float:
            open_variant(out, "Float");
            cbor::write_f64(out, v.as_float());
            return;
        case Value::Kind::Str:
            open_variant(out, "Str");
            cbor::write_text(out, v.as_str());
            return;
        case Value::Kind::List:
            open_variant(out, "List");
            cbor::write_array_head(out, v.as_list().size());
            for (const auto& e : v.as_list()) value_to_cbor(out, e);
            return;
        case Value::Kind::Map:
            open_variant(out, "Map");
            cbor::write_map_head(out, v.as_map().size());
            for (const auto& [k, e] : v.as_map()) {
                cbor::write_text(out, k);
                value_to_cbor(out, e);
            }
            return;
        case Value::Kind::Submodel:
            open_variant(out, "Submodel");
            cbor::write_u64(out, v.as_submodel().id);
            return;
    }
}

// ---- reading --------------------------------------------------------------------

namespace {

DeResult<ValueList> read_list(Deserializer& de) {
    for (;;) {
        Header h = NV_TRY(de.pull());
        switch (h.kind) {
            case Header::Kind::Tag: continue;
            case Header::Kind::Array: {
                NV_CHECK(de.enter());
                auto items = [&]() -> DeResult<ValueList> {
                    ValueList out;
                    if (!h.indefinite) {
                        const size_t left = de.size() - de.offset();
                        out.reserve(h.arg < left ? size_t(h.arg) : left);
                        for (uint64_t k = 0; k < h.arg; ++k) out.push_back(NV_TRY(value_from_cbor(de)));
                        return out;
                    }
                    for (;;) {
                        Header e = NV_TRY(de.pull());
                        if (e.kind == Header::Kind::Break) return out;
                        de.push_back();
                        out.push_back(NV_TRY(value_from_cbor(de)));
                    }
                }();
                de.leave();
                return items;
            }
            case Header::Kind::Bytes: {
                // A byte string is a list of its bytes, each read as a value:
                // only the empty one gives a list.
                std::string joined;
                std::string_view bytes;
                if (h.indefinite) {
                    NV_CHECK(de.join_chunks(Header::Kind::Bytes, joined));
                    bytes = joined;
                } else {
                    bytes = NV_TRY(de.take(h.arg));
                }
                if (bytes.empty()) return ValueList{};
                return de::fail(Error::invalid_type(Unexpected::unsigned_(static_cast<unsigned char>(bytes[0])),
                                                    cbor::msg::EnumValue));
            }
            default: return de::fail(Error::invalid_type(cbor::found(h), cbor::msg::Array));
        }
    }
}

DeResult<ValueMap> read_map(Deserializer& de) {
    for (;;) {
        Header h = NV_TRY(de.pull());
        if (h.kind == Header::Kind::Tag) continue;
        if (h.kind != Header::Kind::Map) return de::fail(Error::invalid_type(cbor::found(h), cbor::msg::Map));
        NV_CHECK(de.enter());
        auto entries = [&]() -> DeResult<ValueMap> {
            ValueMap out;
            uint64_t left = h.arg;
            for (;;) {
                if (!h.indefinite) {
                    if (left == 0) break;
                    --left;
                } else {
                    Header e = NV_TRY(de.pull());
                    if (e.kind == Header::Kind::Break) break;
                    de.push_back();
                }
                cbor::TextItem key = NV_TRY(de.text_item());
                std::string k = key.is_joined ? std::move(key.joined) : std::string(key.view);
                out.emplace_back(std::move(k), NV_TRY(value_from_cbor(de)));
            }
            Value::sort_entries(out);
            return out;
        }();
        de.leave();
        return entries;
    }
}

DeResult<Value> read_payload(Deserializer& de, size_t variant) {
    switch (Value::Kind(variant)) {
        case Value::Kind::Null:
            NV_CHECK(de.unit_item());
            return Value::null();
        case Value::Kind::Bool: return Value::boolean(NV_TRY(de.bool_item()));
        case Value::Kind::Int: return Value::integer(NV_TRY(de.i64_item()));
        case Value::Kind::Float: return Value::float_(NV_TRY(de.f64_item()));
        case Value::Kind::Str: {
            cbor::TextItem t = NV_TRY(de.text_item());
            return Value::str(t.is_joined ? std::move(t.joined) : std::string(t.view));
        }
        case Value::Kind::List: return Value::list(NV_TRY(read_list(de)));
        case Value::Kind::Map: return Value::map(NV_TRY(read_map(de)));
        case Value::Kind::Submodel: return Value::submodel(ModelId{NV_TRY(de.u64_item())});
    }
    return Value::null();
}

// After the opening: the variant name, then (in the one-pair form) the payload.
DeResult<Value> read_variant(Deserializer& de, bool pair) {
    cbor::Ident id = NV_TRY(de.ident_item());
    size_t variant = kVariants.size();
    for (size_t i = 0; i < kVariants.size(); ++i) {
        if (kVariants[i] == id.name) {
            variant = i;
            break;
        }
    }
    if (variant == kVariants.size())
        return de::fail(Error::unknown_variant(id.bytes ? utf8_lossy(id.name) : std::string(id.name), kVariants));
    if (!pair) {
        // A bare name carries no payload: only Null can be written so.
        if (variant != 0)
            return de::fail(Error::invalid_type(Unexpected::of(Unexpected::Kind::UnitVariant), cbor::msg::NewtypeVariant));
        return Value::null();
    }
    return read_payload(de, variant);
}

}  // namespace

DeResult<Value> value_from_cbor(Deserializer& de) {
    for (;;) {
        Header h = NV_TRY(de.pull());
        if (h.kind == Header::Kind::Tag) continue;
        bool pair;
        if (h.kind == Header::Kind::Map && !h.indefinite && h.arg == 1) {
            pair = true;
        } else if (h.kind == Header::Kind::Text) {
            de.push_back();
            pair = false;
        } else {
            return de::fail(Error::invalid_type(cbor::found(h), cbor::msg::Enum));
        }
        NV_CHECK(de.enter());
        auto v = read_variant(de, pair);
        de.leave();
        return v;
    }
}

}  // namespace norvane
