// Typed-record reading shared by every source.
//
// A source (JSON text, a parsed tree, MessagePack, CBOR) is a "deserializer":
// it offers deserialize_any / _bool / _i64 / _u64 / _f64 / _str / _option /
// _unit / _seq / _tuple / _map / _struct / _enum / _identifier / _ignored_any,
// each taking a visitor. The source decides how the input maps onto the
// visitor's callbacks; the visitor decides what it accepts. A callback the
// visitor does not define falls back to the "invalid type" error naming what
// was found and what the visitor expects.
//
// Nested reads use callbacks: SeqAccess::next_element(f), MapAccess::next_key(f)
// and next_value(f), EnumAccess::variant(f) each call f(sub_deserializer) and
// f stores what it read. next_element / next_key return false at the end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/record/error.hpp"
#include "util/float_text.hpp"
#include "util/result.hpp"
#include "util/text.hpp"

namespace norvane::de {

// Base of every visitor: every callback refuses with "invalid type" unless
// the derived visitor defines it. Derived provides `std::string_view expecting() const`.
template <class Derived, class T>
struct Visitor {
    using Value = T;

    const Derived& self() const { return static_cast<const Derived&>(*this); }
    Derived& self() { return static_cast<Derived&>(*this); }

    DeResult<T> refuse(Unexpected u) const {
        return fail(Error::invalid_type(std::move(u), self().expecting()));
    }

    DeResult<T> visit_bool(bool v) { return refuse(Unexpected::boolean(v)); }
    DeResult<T> visit_i64(int64_t v) { return refuse(Unexpected::signed_(v)); }
    DeResult<T> visit_u64(uint64_t v) { return refuse(Unexpected::unsigned_(v)); }
    DeResult<T> visit_i128(__int128 v) { return refuse(Unexpected::other(int128_text(v, "i128"))); }
    DeResult<T> visit_u128(unsigned __int128 v) {
        return refuse(Unexpected::other(uint128_text(v, "u128")));
    }
    DeResult<T> visit_f64(double v) { return refuse(Unexpected::float_(v)); }
    DeResult<T> visit_str(std::string_view v) { return refuse(Unexpected::str(v)); }
    DeResult<T> visit_string(std::string&& v) { return self().visit_str(std::string_view(v)); }
    DeResult<T> visit_bytes(std::string_view) { return refuse(Unexpected::of(Unexpected::Kind::Bytes)); }
    DeResult<T> visit_byte_buf(std::string&& v) { return self().visit_bytes(std::string_view(v)); }
    DeResult<T> visit_unit() { return refuse(Unexpected::of(Unexpected::Kind::Unit)); }
    DeResult<T> visit_none() { return refuse(Unexpected::of(Unexpected::Kind::Option)); }
    template <class D>
    DeResult<T> visit_some(D&) { return refuse(Unexpected::of(Unexpected::Kind::Option)); }
    template <class D>
    DeResult<T> visit_newtype_struct(D&) { return refuse(Unexpected::of(Unexpected::Kind::NewtypeStruct)); }
    template <class A>
    DeResult<T> visit_seq(A&) { return refuse(Unexpected::of(Unexpected::Kind::Seq)); }
    template <class A>
    DeResult<T> visit_map(A&) { return refuse(Unexpected::of(Unexpected::Kind::Map)); }
    template <class A>
    DeResult<T> visit_enum(A&) { return refuse(Unexpected::of(Unexpected::Kind::Enum)); }

    static std::string uint128_text(unsigned __int128 v, const char* as) {
        std::string out = "integer `";
        append_u128(out, v);
        out += "` as ";
        out += as;
        return out;
    }
    static std::string int128_text(__int128 v, const char* as) {
        if (v >= 0) return uint128_text((unsigned __int128)v, as);
        std::string t = uint128_text((unsigned __int128)(-(v + 1)) + 1, as);
        t.insert(9, 1, '-');
        return t;
    }
};

// ---- primitive visitors -------------------------------------------------

struct U64Visitor : Visitor<U64Visitor, uint64_t> {
    std::string_view name = "u64";  // "usize" for list positions
    std::string_view expecting() const { return name; }
    DeResult<uint64_t> visit_u64(uint64_t v) { return v; }
    DeResult<uint64_t> visit_i64(int64_t v) {
        if (v >= 0) return uint64_t(v);
        return fail(Error::invalid_value(Unexpected::signed_(v), name));
    }
    DeResult<uint64_t> visit_u128(unsigned __int128 v) {
        if (v <= UINT64_MAX) return uint64_t(v);
        return fail(Error::invalid_value(Unexpected::other(uint128_text(v, "u128")), name));
    }
    DeResult<uint64_t> visit_i128(__int128 v) {
        if (v >= 0 && v <= (__int128)UINT64_MAX) return uint64_t(v);
        return fail(Error::invalid_value(Unexpected::other(int128_text(v, "i128")), name));
    }
};

struct U32Visitor : Visitor<U32Visitor, uint32_t> {
    std::string_view expecting() const { return "u32"; }
    DeResult<uint32_t> visit_u64(uint64_t v) {
        if (v <= UINT32_MAX) return uint32_t(v);
        return fail(Error::invalid_value(Unexpected::unsigned_(v), "u32"));
    }
    DeResult<uint32_t> visit_i64(int64_t v) {
        if (v >= 0 && v <= int64_t(UINT32_MAX)) return uint32_t(v);
        return fail(Error::invalid_value(Unexpected::signed_(v), "u32"));
    }
};

struct I64Visitor : Visitor<I64Visitor, int64_t> {
    std::string_view expecting() const { return "i64"; }
    DeResult<int64_t> visit_i64(int64_t v) { return v; }
    DeResult<int64_t> visit_u64(uint64_t v) {
        if (v <= uint64_t(INT64_MAX)) return int64_t(v);
        return fail(Error::invalid_value(Unexpected::unsigned_(v), "i64"));
    }
    DeResult<int64_t> visit_i128(__int128 v) {
        if (v >= INT64_MIN && v <= INT64_MAX) return int64_t(v);
        return fail(Error::invalid_value(Unexpected::other(int128_text(v, "i128")), "i64"));
    }
    DeResult<int64_t> visit_u128(unsigned __int128 v) {
        if (v <= (unsigned __int128)INT64_MAX) return int64_t(v);
        return fail(Error::invalid_value(Unexpected::other(uint128_text(v, "u128")), "i64"));
    }
};

struct F64Visitor : Visitor<F64Visitor, double> {
    std::string_view expecting() const { return "f64"; }
    DeResult<double> visit_f64(double v) { return v; }
    DeResult<double> visit_u64(uint64_t v) { return double(v); }
    DeResult<double> visit_i64(int64_t v) { return double(v); }
    DeResult<double> visit_u128(unsigned __int128 v) { return double(v); }
    DeResult<double> visit_i128(__int128 v) { return double(v); }
};

struct BoolVisitor : Visitor<BoolVisitor, bool> {
    std::string_view expecting() const { return "a boolean"; }
    DeResult<bool> visit_bool(bool v) { return v; }
};

struct StringVisitor : Visitor<StringVisitor, std::string> {
    std::string_view expecting() const { return "a string"; }
    DeResult<std::string> visit_str(std::string_view v) { return std::string(v); }
    DeResult<std::string> visit_string(std::string&& v) { return std::move(v); }
    DeResult<std::string> visit_bytes(std::string_view v) {
        if (!check_utf8(v)) return std::string(v);
        return fail(Error::invalid_value(Unexpected::of(Unexpected::Kind::Bytes), "a string"));
    }
};

struct UnitVisitor : Visitor<UnitVisitor, void> {
    std::string_view expecting() const { return "unit"; }
    DeResult<void> visit_unit() { return {}; }
};

// Accepts and discards anything.
struct IgnoredAny : Visitor<IgnoredAny, void> {
    std::string_view expecting() const { return "anything at all"; }
    DeResult<void> visit_bool(bool) { return {}; }
    DeResult<void> visit_i64(int64_t) { return {}; }
    DeResult<void> visit_u64(uint64_t) { return {}; }
    DeResult<void> visit_i128(__int128) { return {}; }
    DeResult<void> visit_u128(unsigned __int128) { return {}; }
    DeResult<void> visit_f64(double) { return {}; }
    DeResult<void> visit_str(std::string_view) { return {}; }
    DeResult<void> visit_bytes(std::string_view) { return {}; }
    DeResult<void> visit_unit() { return {}; }
    DeResult<void> visit_none() { return {}; }
    template <class D>
    DeResult<void> visit_some(D& de) {
        IgnoredAny v;
        return de.deserialize_ignored_any(v);
    }
    template <class D>
    DeResult<void> visit_newtype_struct(D& de) {
        IgnoredAny v;
        return de.deserialize_ignored_any(v);
    }
    template <class A>
    DeResult<void> visit_seq(A& seq) {
        for (;;) {
            bool more = NV_TRY(seq.next_element([](auto& de) -> DeResult<void> {
                IgnoredAny v;
                return de.deserialize_ignored_any(v);
            }));
            if (!more) return {};
        }
    }
    template <class A>
    DeResult<void> visit_map(A& map) {
        auto skip = [](auto& de) -> DeResult<void> {
            IgnoredAny v;
            return de.deserialize_ignored_any(v);
        };
        for (;;) {
            bool more = NV_TRY(map.next_key(skip));
            if (!more) return {};
            NV_CHECK(map.next_value(skip));
        }
    }
    template <class A>
    DeResult<void> visit_enum(A& data) {
        auto skip = [](auto& de) -> DeResult<void> {
            IgnoredAny v;
            return de.deserialize_ignored_any(v);
        };
        auto variant = NV_TRY(data.variant(skip));
        return variant.newtype_variant(skip);
    }
};

template <class D>
DeResult<uint64_t> read_u64(D& de, std::string_view name = "u64") {
    U64Visitor v;
    v.name = name;
    return de.deserialize_u64(v);
}

template <class D>
DeResult<uint32_t> read_u32(D& de) {
    U32Visitor v;
    return de.deserialize_u64(v);
}

template <class D>
DeResult<int64_t> read_i64(D& de) {
    I64Visitor v;
    return de.deserialize_i64(v);
}

template <class D>
DeResult<double> read_f64(D& de) {
    F64Visitor v;
    return de.deserialize_f64(v);
}

template <class D>
DeResult<bool> read_bool(D& de) {
    BoolVisitor v;
    return de.deserialize_bool(v);
}

template <class D>
DeResult<std::string> read_string(D& de) {
    StringVisitor v;
    return de.deserialize_str(v);
}

// The next key of map access A read as a string into `key`; false after the last entry.
template <class A>
DeResult<bool> next_string_key(A& map, std::string& key) {
    return map.next_key([&](auto& k) -> DeResult<void> {
        key = NV_TRY(read_string(k));
        return {};
    });
}

template <class D>
DeResult<void> read_unit(D& de) {
    UnitVisitor v;
    return de.deserialize_unit(v);
}

template <class D>
DeResult<void> ignore(D& de) {
    IgnoredAny v;
    return de.deserialize_ignored_any(v);
}

// An optional value: null (or a missing value) gives false; otherwise `f`
// reads the value and the result is true.
template <class F>
struct OptionVisitor : Visitor<OptionVisitor<F>, bool> {
    F& f;
    explicit OptionVisitor(F& fn) : f(fn) {}
    std::string_view expecting() const { return "option"; }
    DeResult<bool> visit_none() { return false; }
    DeResult<bool> visit_unit() { return false; }
    template <class D>
    DeResult<bool> visit_some(D& de) {
        NV_CHECK(f(de));
        return true;
    }
};

template <class D, class F>
DeResult<bool> read_option(D& de, F&& f) {
    OptionVisitor<F> v(f);
    return de.deserialize_option(v);
}

// A sequence: `f(element_deserializer)` for each element.
template <class F>
struct SeqVisitor : Visitor<SeqVisitor<F>, void> {
    F& f;
    std::string_view what;
    SeqVisitor(F& fn, std::string_view w) : f(fn), what(w) {}
    std::string_view expecting() const { return what; }
    template <class A>
    DeResult<void> visit_seq(A& seq) {
        for (;;) {
            bool more = NV_TRY(seq.next_element(f));
            if (!more) return {};
        }
    }
};

template <class D, class F>
DeResult<void> read_seq(D& de, F&& f, std::string_view expecting = "a sequence") {
    SeqVisitor<F> v(f, expecting);
    return de.deserialize_seq(v);
}

// ---- records ---------------------------------------------------------------

inline constexpr size_t kIgnoredField = size_t(-1);

// A record with named fields, read from a map (names in any order) or from a
// sequence of the field values in declared order.
struct StructSpec {
    std::string_view name;         // the record's name, passed to the source
    std::string_view expecting;    // "struct Patch"
    std::string_view length_text;  // "struct Patch with 2 elements"
    std::span<const std::string_view> fields;
    uint64_t defaulted = 0;        // bit i: field i may be left out (caller pre-fills it)
    bool deny_unknown = false;     // unknown names fail instead of being skipped
};

// Field identifiers: a name, a byte string holding a name, or a field position.
struct FieldIdVisitor : Visitor<FieldIdVisitor, size_t> {
    const StructSpec& spec;
    explicit FieldIdVisitor(const StructSpec& s) : spec(s) {}
    std::string_view expecting() const { return "field identifier"; }
    DeResult<size_t> visit_u64(uint64_t v) {
        if (v < spec.fields.size()) return size_t(v);
        if (spec.deny_unknown) {
            std::string e = "field index 0 <= i < ";
            e += std::to_string(spec.fields.size());
            return fail(Error::invalid_value(Unexpected::unsigned_(v), e));
        }
        return kIgnoredField;
    }
    DeResult<size_t> visit_str(std::string_view v) {
        for (size_t i = 0; i < spec.fields.size(); ++i)
            if (spec.fields[i] == v) return i;
        if (spec.deny_unknown) return fail(Error::unknown_field(v, spec.fields));
        return kIgnoredField;
    }
    DeResult<size_t> visit_bytes(std::string_view v) {
        for (size_t i = 0; i < spec.fields.size(); ++i)
            if (spec.fields[i] == v) return i;
        if (spec.deny_unknown) return fail(Error::unknown_field(utf8_lossy(v), spec.fields));
        return kIgnoredField;
    }
};

// on_field(index, value_deserializer) -> DeResult<void> reads one field.
template <class OnField>
struct StructVisitor : Visitor<StructVisitor<OnField>, void> {
    const StructSpec& spec;
    OnField& on_field;
    StructVisitor(const StructSpec& s, OnField& f) : spec(s), on_field(f) {}
    std::string_view expecting() const { return spec.expecting; }

    template <class A>
    DeResult<void> visit_seq(A& seq) {
        const size_t n = spec.fields.size();
        for (size_t i = 0; i < n; ++i) {
            bool got = NV_TRY(seq.next_element([&](auto& de) { return on_field(i, de); }));
            if (!got) {
                // Defaulted fields take their defaults; the first required one
                // that is missing names its own position.
                for (size_t j = i; j < n; ++j)
                    if (!(spec.defaulted >> j & 1))
                        return fail(Error::invalid_length(j, spec.length_text));
                return {};
            }
        }
        return {};
    }

    template <class A>
    DeResult<void> visit_map(A& map) {
        uint64_t seen = 0;
        for (;;) {
            size_t idx = kIgnoredField;
            bool more = NV_TRY(map.next_key([&](auto& de) -> DeResult<void> {
                FieldIdVisitor fv(spec);
                idx = NV_TRY(de.deserialize_identifier(fv));
                return {};
            }));
            if (!more) break;
            if (idx == kIgnoredField) {
                NV_CHECK(map.next_value([](auto& de) { return ignore(de); }));
                continue;
            }
            if (seen >> idx & 1) return fail(Error::duplicate_field(spec.fields[idx]));
            seen |= uint64_t(1) << idx;
            NV_CHECK(map.next_value([&](auto& de) { return on_field(idx, de); }));
        }
        for (size_t i = 0; i < spec.fields.size(); ++i)
            if (!(seen >> i & 1) && !(spec.defaulted >> i & 1))
                return fail(Error::missing_field(spec.fields[i]));
        return {};
    }
};

template <class D, class OnField>
DeResult<void> read_struct(D& de, const StructSpec& spec, OnField&& on_field) {
    StructVisitor<OnField> v(spec, on_field);
    return de.deserialize_struct(spec.name, spec.fields, v);
}

// The content of a struct variant of an externally tagged union.
template <class VA, class OnField>
DeResult<void> read_struct_variant(VA& variant, const StructSpec& spec, OnField&& on_field) {
    StructVisitor<OnField> v(spec, on_field);
    return variant.struct_variant(spec.fields, v);
}

// An externally tagged union: a map of one entry from the variant name to the
// content, or a bare variant name.
struct EnumSpec {
    std::string_view name;       // "Op"
    std::string_view expecting;  // "enum Op"
    std::span<const std::string_view> variants;
};

struct VariantIdVisitor : Visitor<VariantIdVisitor, size_t> {
    std::span<const std::string_view> variants;
    explicit VariantIdVisitor(std::span<const std::string_view> v) : variants(v) {}
    std::string_view expecting() const { return "variant identifier"; }
    DeResult<size_t> visit_u64(uint64_t v) {
        if (v < variants.size()) return size_t(v);
        std::string e = "variant index 0 <= i < ";
        e += std::to_string(variants.size());
        return fail(Error::invalid_value(Unexpected::unsigned_(v), e));
    }
    DeResult<size_t> visit_str(std::string_view v) {
        for (size_t i = 0; i < variants.size(); ++i)
            if (variants[i] == v) return i;
        return fail(Error::unknown_variant(v, variants));
    }
    DeResult<size_t> visit_bytes(std::string_view v) {
        for (size_t i = 0; i < variants.size(); ++i)
            if (variants[i] == v) return i;
        return fail(Error::unknown_variant(utf8_lossy(v), variants));
    }
};

// The access to a union given as a bare variant name over deserializer D: the name is the
// only item, so only a unit variant can be given this way.
template <class D>
class UnitVariantAccess {
public:
    explicit UnitVariantAccess(D& de) : de_(de) {}
    template <class F>
    DeResult<UnitVariantAccess> variant(F&& f) {
        NV_CHECK(f(de_));
        return *this;
    }
    DeResult<void> unit_variant() { return {}; }
    template <class F>
    DeResult<void> newtype_variant(F&&) {
        return fail(Error::invalid_type(Unexpected::of(Unexpected::Kind::UnitVariant), "newtype variant"));
    }
    template <class V>
    DeResult<typename V::Value> struct_variant(std::span<const std::string_view>, V&) {
        return fail(Error::invalid_type(Unexpected::of(Unexpected::Kind::UnitVariant), "struct variant"));
    }

private:
    D& de_;
};

// on_variant(index, variant_access) -> DeResult<T>
template <class T, class OnVariant>
struct EnumVisitor : Visitor<EnumVisitor<T, OnVariant>, T> {
    const EnumSpec& spec;
    OnVariant& on_variant;
    EnumVisitor(const EnumSpec& s, OnVariant& f) : spec(s), on_variant(f) {}
    std::string_view expecting() const { return spec.expecting; }
    template <class A>
    DeResult<T> visit_enum(A& data) {
        size_t idx = 0;
        auto access = NV_TRY(data.variant([&](auto& de) -> DeResult<void> {
            VariantIdVisitor v(spec.variants);
            idx = NV_TRY(de.deserialize_identifier(v));
            return {};
        }));
        return on_variant(idx, access);
    }
};

template <class T, class D, class OnVariant>
DeResult<T> read_enum(D& de, const EnumSpec& spec, OnVariant&& on_variant) {
    EnumVisitor<T, OnVariant> v(spec, on_variant);
    return de.deserialize_enum(spec.name, spec.variants, v);
}

}  // namespace norvane::de
