// CBOR reading: a pull decoder of item headers over a byte slice, and the
// typed-record deserializer built on it.
//
// Errors are the CBOR library's four kinds, rendered in their debug form by
// error_text(): an input error (the data ends early), a syntax error at the byte
// offset of an item that is not well-formed, a semantic error with an optional
// offset and a message, and the nesting budget running out. Errors raised by
// record logic stay structured and render as semantic errors without offset.
//
// Reading rules:
// - Nesting budget: 256 levels; every array and map opened takes one, and so
//   does a tagged item that deserialize_any offers as an enum (typed reads skip
//   tags without counting them); the opening past the budget fails.
// - Variant names are read through a 4096-byte scratch area: a definite text
//   or byte string of at most 4096 bytes; anything else is refused. Map keys,
//   field names included, and other texts may be any length, definite or
//   indefinite.
// - Tags in front of an item are skipped by every typed read; deserialize_any
//   turns bignums of at most 16 bytes into integers and offers any other tag
//   as an enum.
// - Nothing is allocated from a declared length before the bytes are there.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "format/record/error.hpp"
#include "format/record/visitor.hpp"

namespace norvane::cbor {

using de::DeResult;
using de::Error;
using de::Unexpected;

inline constexpr int kRecursionLimit = 256;
inline constexpr size_t kScratchSize = 4096;

// The texts of CBOR reading failures.
namespace msg {
// The format's own errors, whole.
inline constexpr const char* Eof = "Io(Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" })";
inline constexpr const char* RecursionLimit = "RecursionLimitExceeded";
// Reading messages.
inline constexpr const char* NumberOutOfRange = "JSON number out of range";
inline constexpr const char* IntegerTooLarge = "integer too large";
inline constexpr const char* BigintTooLarge = "bigint too large";
inline constexpr const char* NegativeInteger = "unexpected negative integer";
inline constexpr const char* ExpectedBool = "expected bool";
// What "invalid type" texts say was expected.
inline constexpr const char* AnyJson = "any valid JSON value";
inline constexpr const char* Array = "array";
inline constexpr const char* Bytes = "bytes";
inline constexpr const char* Enum = "enum";
inline constexpr const char* EnumValue = "enum Value";
inline constexpr const char* FirstKey = "str";
inline constexpr const char* Float = "float";
inline constexpr const char* Identifier = "str or bytes";
inline constexpr const char* Integer = "integer";
inline constexpr const char* KnownSimple = "known simple value";
inline constexpr const char* Map = "map";
inline constexpr const char* NewtypeVariant = "newtype variant";
inline constexpr const char* NonBreak = "non-break";
inline constexpr const char* String = "string";
inline constexpr const char* Unit = "unit";
}  // namespace msg

// ---- errors ------------------------------------------------------------------

// Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })
Error eof_error();
// Syntax(offset)
Error syntax_error(size_t offset);
// Semantic(Some(offset), "message"), or Semantic(None, "message") without one.
Error semantic_error(std::optional<size_t> offset, std::string_view message);
// RecursionLimitExceeded
Error recursion_limit_error();

// The final text of any error met while reading CBOR: the format's own errors
// as created above, every other error as Semantic(None, "<message>").
std::string error_text(const Error& e);

// ---- item headers --------------------------------------------------------------

struct Header {
    enum class Kind : uint8_t { Positive, Negative, Bytes, Text, Array, Map, Tag, Simple, Float, Break };
    Kind kind = Kind::Positive;
    bool indefinite = false;  // Bytes, Text, Array, Map
    uint64_t arg = 0;         // the integer, length, tag number or simple value
    double f = 0;             // Float

    bool definite_len(uint64_t& len) const {
        len = arg;
        return !indefinite;
    }
};

inline constexpr uint64_t kSimpleFalse = 20, kSimpleTrue = 21, kSimpleNull = 22, kSimpleUndefined = 23;

// What a header shows as in "invalid type" texts, in the library's words.
Unexpected found(const Header& h);

double half_to_double(uint16_t h);
double single_to_double(uint32_t s);

// The integer of major types 0 and 1 and of bignums: a sign and a magnitude.
// The value is raw when !negative, else -1 - raw.
struct RawInt {
    bool negative = false;
    unsigned __int128 raw = 0;
};

// A text read from the input: a view of the input for a definite text, the
// joined chunks of an indefinite one.
struct TextItem {
    std::string_view view;
    std::string joined;
    bool is_joined = false;
};

// A variant or field name: a view of the input, or (is_joined) of the
// deserializer's joined chunks of an indefinite map key.
struct Ident {
    std::string_view name;
    bool bytes = false;
    bool is_joined = false;
};

class Deserializer {
public:
    // `budget`: the nesting levels left, for a read that starts inside others.
    explicit Deserializer(std::string_view data, int budget = kRecursionLimit)
        : s_(reinterpret_cast<const unsigned char*>(data.data())), n_(data.size()), depth_(budget) {}

    // ---- decoder ------------------------------------------------------------
    size_t offset() const { return i_; }
    size_t size() const { return n_; }
    size_t remaining() const { return n_ - i_; }
    std::string_view input() const { return {reinterpret_cast<const char*>(s_), n_}; }
    // The next header; its bytes are consumed.
    DeResult<Header> pull();
    // Steps back before the header pulled last.
    void push_back() { i_ = last_; }
    // The offset of the header pulled last.
    size_t last_offset() const { return last_; }

    // Takes one level of the nesting budget; fails when none is left.
    DeResult<void> enter() {
        if (depth_ == 0) [[unlikely]]
            return de::fail(recursion_limit_error());
        --depth_;
        return {};
    }
    void leave() { ++depth_; }
    int depth() const { return depth_; }

    // The payload of a definite string whose header was just pulled.
    DeResult<std::string_view> take(uint64_t len) {
        if (uint64_t(n_ - i_) < len) [[unlikely]] {
            i_ = n_;
            return de::fail(eof_error());
        }
        std::string_view v(reinterpret_cast<const char*>(s_) + i_, size_t(len));
        i_ += size_t(len);
        return v;
    }
    // A definite text whose header (at `header_offset`) was just pulled: UTF-8 checked.
    DeResult<std::string_view> take_text(uint64_t len, size_t header_offset);
    // The chunks of an indefinite text or byte string, appended, up to the break.
    DeResult<void> join_chunks(Header::Kind kind, std::string& out);

    // ---- typed reads of one item (tags in front skipped) ---------------------
    DeResult<bool> bool_item();
    DeResult<RawInt> int_item();
    DeResult<uint64_t> u64_item();
    DeResult<int64_t> i64_item();
    DeResult<double> f64_item();
    DeResult<TextItem> text_item();  // expected msg::String
    DeResult<void> unit_item();      // null or undefined
    DeResult<Ident> ident_item();    // expected msg::Identifier
    // The identifier read next is a map key: any length, definite or chunked.
    void key_next(bool on) { key_ = on; }
    // Any well-formed item, discarded (nesting counted as deserialize_any does).
    DeResult<void> skip();
    // The byte string after a bignum tag (2, or 3 when `negative`): at most 16
    // bytes once leading zeros are dropped.
    DeResult<RawInt> bignum(bool negative);

    // ---- deserializer -------------------------------------------------------
    template <class V> DeResult<typename V::Value> deserialize_any(V& v);
    template <class V> DeResult<typename V::Value> deserialize_bool(V& v) {
        return v.visit_bool(NV_TRY(bool_item()));
    }
    template <class V> DeResult<typename V::Value> deserialize_u64(V& v) {
        return v.visit_u64(NV_TRY(u64_item()));
    }
    template <class V> DeResult<typename V::Value> deserialize_i64(V& v) {
        return v.visit_i64(NV_TRY(i64_item()));
    }
    template <class V> DeResult<typename V::Value> deserialize_f64(V& v) {
        return v.visit_f64(NV_TRY(f64_item()));
    }
    // Reads an owned string: any text, definite or indefinite.
    template <class V> DeResult<typename V::Value> deserialize_str(V& v) {
        TextItem t = NV_TRY(text_item());
        if (t.is_joined) return v.visit_string(std::move(t.joined));
        return v.visit_str(t.view);
    }
    template <class V> DeResult<typename V::Value> deserialize_identifier(V& v) {
        Ident id = NV_TRY(ident_item());
        if (id.is_joined) return id.bytes ? v.visit_byte_buf(std::move(joined_)) : v.visit_string(std::move(joined_));
        if (id.bytes) return v.visit_bytes(id.name);
        return v.visit_str(id.name);
    }
    template <class V> DeResult<typename V::Value> deserialize_option(V& v);
    template <class V> DeResult<typename V::Value> deserialize_unit(V& v) {
        NV_CHECK(unit_item());
        return v.visit_unit();
    }
    template <class V> DeResult<typename V::Value> deserialize_seq(V& v);
    template <class V> DeResult<typename V::Value> deserialize_tuple(size_t, V& v) { return deserialize_seq(v); }
    template <class V> DeResult<typename V::Value> deserialize_map(V& v);
    // Records: a map only.
    template <class V>
    DeResult<typename V::Value> deserialize_struct(std::string_view, std::span<const std::string_view>, V& v) {
        return deserialize_map(v);
    }
    // Unions: a map of exactly one pair, or a bare text naming a unit variant.
    template <class V>
    DeResult<typename V::Value> deserialize_enum(std::string_view, std::span<const std::string_view>, V& v);
    template <class V> DeResult<typename V::Value> deserialize_ignored_any(V& v) {
        NV_CHECK(skip());
        return v.visit_unit();
    }

    // The content of a struct variant: a map or an array, or whatever
    // deserialize_any offers. An array with more items than the record has
    // fields is refused.
    template <class V> DeResult<typename V::Value> struct_content(size_t fields, V& v);

private:
    template <class V> DeResult<typename V::Value> any_of(const Header& h, V& v);
    template <class V> DeResult<typename V::Value> tagged(uint64_t tag, V& v);
    DeResult<void> skip_header(const Header& h);
    Error too_long_error(uint64_t total, size_t fields, std::string_view expecting) const;

    const unsigned char* s_;
    size_t n_;
    size_t i_ = 0;
    size_t last_ = 0;
    int depth_ = kRecursionLimit;
    bool key_ = false;    // the next identifier is a map key
    std::string joined_;  // the chunks of the last identifier given in chunks
};

// ---- accessors -----------------------------------------------------------------

// A deserializer of one unsigned integer, whatever is asked of it: the bytes of
// a byte string read as a list, the number of a tag.
class UintDe {
public:
    explicit UintDe(uint64_t v) : v_(v) {}
    template <class V> DeResult<typename V::Value> deserialize_any(V& v) { return v.visit_u64(v_); }
    template <class V> DeResult<typename V::Value> deserialize_bool(V& v) { return v.visit_u64(v_); }
    template <class V> DeResult<typename V::Value> deserialize_u64(V& v) { return v.visit_u64(v_); }
    template <class V> DeResult<typename V::Value> deserialize_i64(V& v) { return v.visit_u64(v_); }
    template <class V> DeResult<typename V::Value> deserialize_f64(V& v) { return v.visit_u64(v_); }
    template <class V> DeResult<typename V::Value> deserialize_str(V& v) { return v.visit_u64(v_); }
    template <class V> DeResult<typename V::Value> deserialize_identifier(V& v) { return v.visit_u64(v_); }
    template <class V> DeResult<typename V::Value> deserialize_option(V& v) { return v.visit_u64(v_); }
    template <class V> DeResult<typename V::Value> deserialize_unit(V& v) { return v.visit_u64(v_); }
    template <class V> DeResult<typename V::Value> deserialize_seq(V& v) { return v.visit_u64(v_); }
    template <class V> DeResult<typename V::Value> deserialize_tuple(size_t, V& v) { return v.visit_u64(v_); }
    template <class V> DeResult<typename V::Value> deserialize_map(V& v) { return v.visit_u64(v_); }
    template <class V>
    DeResult<typename V::Value> deserialize_struct(std::string_view, std::span<const std::string_view>, V& v) {
        return v.visit_u64(v_);
    }
    template <class V>
    DeResult<typename V::Value> deserialize_enum(std::string_view, std::span<const std::string_view>, V& v) {
        return v.visit_u64(v_);
    }
    template <class V> DeResult<typename V::Value> deserialize_ignored_any(V& v) { return v.visit_u64(v_); }

private:
    uint64_t v_;
};

// The items of an array, definite or indefinite.
class SeqAccess {
public:
    SeqAccess(Deserializer& de, const Header& h) : de_(de), left_(h.arg), indefinite_(h.indefinite) {}
    std::optional<size_t> size_hint() const {
        if (indefinite_) return std::nullopt;
        return size_t(left_);
    }

    template <class F>
    DeResult<bool> next_element(F&& f) {
        NV_TRY(more());
        if (!more_) return false;
        NV_CHECK(f(de_));
        return true;
    }
    // Whether another item follows (consumes the break of an indefinite array).
    DeResult<bool> more() {
        if (!indefinite_) {
            if (left_ == 0) return more_ = false;
            --left_;
            ++taken_;
            return more_ = true;
        }
        if (done_) return more_ = false;
        Header h = NV_TRY(de_.pull());
        if (h.kind == Header::Kind::Break) {
            done_ = true;
            return more_ = false;
        }
        de_.push_back();
        ++taken_;
        return more_ = true;
    }
    uint64_t taken() const { return taken_; }

private:
    Deserializer& de_;
    uint64_t left_;
    uint64_t taken_ = 0;
    bool indefinite_;
    bool done_ = false;
    bool more_ = false;
};

// The bytes of a byte string offered as a list of small unsigned integers.
class BytesAccess {
public:
    explicit BytesAccess(std::string_view bytes) : bytes_(bytes) {}
    std::optional<size_t> size_hint() const { return bytes_.size() - pos_; }
    template <class F>
    DeResult<bool> next_element(F&& f) {
        if (pos_ == bytes_.size()) return false;
        UintDe d(static_cast<unsigned char>(bytes_[pos_++]));
        NV_CHECK(f(d));
        return true;
    }

private:
    std::string_view bytes_;
    size_t pos_ = 0;
};

// The pairs of a map, definite or indefinite.
class MapAccess {
public:
    MapAccess(Deserializer& de, const Header& h) : seq_(de, h), de_(de) {}
    std::optional<size_t> size_hint() const { return seq_.size_hint(); }
    template <class F>
    DeResult<bool> next_key(F&& f) {
        bool more = NV_TRY(seq_.more());
        if (!more) return false;
        de_.key_next(true);
        auto r = f(de_);
        de_.key_next(false);
        NV_CHECK(std::move(r));
        return true;
    }
    template <class F>
    DeResult<void> next_value(F&& f) {
        return f(de_);
    }

private:
    SeqAccess seq_;
    Deserializer& de_;
};

// A union written as a map of one pair: the name, then the content.
class PairVariantAccess {
public:
    explicit PairVariantAccess(Deserializer& de) : de_(de) {}
    template <class F>
    DeResult<PairVariantAccess> variant(F&& f) {
        NV_CHECK(f(de_));
        return *this;
    }
    // A unit variant still has its value item; it must be null or undefined.
    DeResult<void> unit_variant() { return de_.unit_item(); }
    template <class F>
    DeResult<void> newtype_variant(F&& f) { return f(de_); }
    template <class V>
    DeResult<typename V::Value> struct_variant(std::span<const std::string_view> fields, V& v) {
        return de_.struct_content(fields.size(), v);
    }

private:
    Deserializer& de_;
};

// A tagged item offered as a union: the tag number names the variant, the
// item is the content.
class TagAccess {
public:
    TagAccess(Deserializer& de, uint64_t tag) : de_(de), tag_(tag) {}
    template <class F>
    DeResult<TagAccess> variant(F&& f) {
        UintDe d(tag_);
        NV_CHECK(f(d));
        return *this;
    }
    DeResult<void> unit_variant() { return de_.unit_item(); }
    template <class F>
    DeResult<void> newtype_variant(F&& f) { return f(de_); }
    template <class V>
    DeResult<typename V::Value> struct_variant(std::span<const std::string_view>, V& v) {
        return de_.deserialize_any(v);
    }

private:
    Deserializer& de_;
    uint64_t tag_;
};

// ---- decoder -------------------------------------------------------------------

// The big-endian integer of 1, 2, 4 or 8 bytes at p.
inline uint64_t big_endian(const unsigned char* p, size_t len) {
    auto load = [p](auto v) {
        std::memcpy(&v, p, sizeof v);
        return uint64_t(std::byteswap(v));
    };
    switch (len) {
        case 1: return *p;
        case 2: return load(uint16_t());
        case 4: return load(uint32_t());
        default: return load(uint64_t());
    }
}

[[gnu::always_inline]] inline DeResult<Header> Deserializer::pull() {
    last_ = i_;
    if (i_ >= n_) [[unlikely]]
        return de::fail(eof_error());
    const unsigned b = s_[i_++];
    const unsigned major = b >> 5;
    const unsigned minor = b & 31;
    Header h;
    if (minor < 24) {
        // The argument in the initial byte: no width, no float, no break.
        using K = Header::Kind;
        static constexpr K kKinds[8] = {K::Positive, K::Negative, K::Bytes, K::Text,
                                        K::Array,    K::Map,      K::Tag,   K::Simple};
        h.kind = kKinds[major];
        h.arg = minor;
        return h;
    }
    if (minor < 28) {
        const size_t len = size_t(1) << (minor - 24);
        if (n_ - i_ < len) [[unlikely]] {
            i_ = n_;
            return de::fail(eof_error());
        }
        h.arg = big_endian(s_ + i_, len);
        i_ += len;
    } else if (minor == 31) {
        h.indefinite = true;
    } else {
        return de::fail(syntax_error(last_));
    }
    switch (major) {
        case 0:
        case 1:
        case 6:
            if (h.indefinite) [[unlikely]]
                return de::fail(syntax_error(last_));
            h.kind = major == 0 ? Header::Kind::Positive : major == 1 ? Header::Kind::Negative : Header::Kind::Tag;
            return h;
        case 2: h.kind = Header::Kind::Bytes; return h;
        case 3: h.kind = Header::Kind::Text; return h;
        case 4: h.kind = Header::Kind::Array; return h;
        case 5: h.kind = Header::Kind::Map; return h;
        default:
            break;
    }
    if (h.indefinite) {
        h.kind = Header::Kind::Break;
        h.indefinite = false;
        return h;
    }
    switch (minor) {
        case 24:
            // Simple values below 32 have only the one-byte form.
            if (h.arg < 32) [[unlikely]]
                return de::fail(syntax_error(last_));
            h.kind = Header::Kind::Simple;
            return h;
        case 25: h.kind = Header::Kind::Float; h.f = half_to_double(uint16_t(h.arg)); return h;
        case 26: h.kind = Header::Kind::Float; h.f = single_to_double(uint32_t(h.arg)); return h;
        case 27: h.kind = Header::Kind::Float; h.f = std::bit_cast<double>(h.arg); return h;
        default: h.kind = Header::Kind::Simple; return h;
    }
}

// ---- deserializer bodies ---------------------------------------------------------

template <class V>
DeResult<typename V::Value> Deserializer::deserialize_any(V& v) {
    Header h = NV_TRY(pull());
    return any_of(h, v);
}

template <class V>
DeResult<typename V::Value> Deserializer::any_of(const Header& h, V& v) {
    using K = Header::Kind;
    switch (h.kind) {
        case K::Positive: return v.visit_u64(h.arg);
        case K::Negative:
            if (h.arg <= uint64_t(INT64_MAX)) return v.visit_i64(int64_t(~h.arg));
            return v.visit_i128(-1 - (__int128)h.arg);
        case K::Bytes: {
            if (!h.indefinite) return v.visit_bytes(NV_TRY(take(h.arg)));
            std::string joined;
            NV_CHECK(join_chunks(K::Bytes, joined));
            return v.visit_byte_buf(std::move(joined));
        }
        case K::Text: {
            if (!h.indefinite) return v.visit_str(NV_TRY(take_text(h.arg, last_)));
            std::string joined;
            NV_CHECK(join_chunks(K::Text, joined));
            return v.visit_string(std::move(joined));
        }
        case K::Array: {
            NV_CHECK(enter());
            SeqAccess seq(*this, h);
            auto r = v.visit_seq(seq);
            leave();
            return r;
        }
        case K::Map: {
            NV_CHECK(enter());
            MapAccess map(*this, h);
            auto r = v.visit_map(map);
            leave();
            return r;
        }
        case K::Tag: return tagged(h.arg, v);
        case K::Float: return v.visit_f64(h.f);
        case K::Simple:
            if (h.arg == kSimpleFalse || h.arg == kSimpleTrue) return v.visit_bool(h.arg == kSimpleTrue);
            if (h.arg == kSimpleNull || h.arg == kSimpleUndefined) return v.visit_none();
            return de::fail(Error::invalid_type(found(h), msg::KnownSimple));
        case K::Break: return de::fail(Error::invalid_type(found(h), msg::NonBreak));
    }
    return de::fail(Error::invalid_type(found(h), msg::NonBreak));
}

template <class V>
DeResult<typename V::Value> Deserializer::tagged(uint64_t tag, V& v) {
    Header next = NV_TRY(pull());
    push_back();
    if ((tag == 2 || tag == 3) && next.kind == Header::Kind::Bytes && !next.indefinite && next.arg <= 16) {
        RawInt n = NV_TRY(bignum(tag == 3));
        if (!n.negative) return v.visit_u128(n.raw);
        if (n.raw >> 127) return de::fail(Error::custom(msg::IntegerTooLarge));
        return v.visit_i128(-1 - (__int128)n.raw);
    }
    NV_CHECK(enter());
    TagAccess access(*this, tag);
    auto r = v.visit_enum(access);
    leave();
    return r;
}

template <class V>
DeResult<typename V::Value> Deserializer::deserialize_option(V& v) {
    Header h = NV_TRY(pull());
    if (h.kind == Header::Kind::Simple && (h.arg == kSimpleNull || h.arg == kSimpleUndefined))
        return v.visit_none();
    push_back();
    return v.visit_some(*this);
}

template <class V>
DeResult<typename V::Value> Deserializer::deserialize_seq(V& v) {
    for (;;) {
        Header h = NV_TRY(pull());
        switch (h.kind) {
            case Header::Kind::Tag: continue;
            case Header::Kind::Array: {
                NV_CHECK(enter());
                SeqAccess seq(*this, h);
                auto r = v.visit_seq(seq);
                leave();
                return r;
            }
            case Header::Kind::Bytes: {
                if (!h.indefinite) {
                    BytesAccess bytes(NV_TRY(take(h.arg)));
                    return v.visit_seq(bytes);
                }
                std::string joined;
                NV_CHECK(join_chunks(Header::Kind::Bytes, joined));
                BytesAccess bytes(joined);
                return v.visit_seq(bytes);
            }
            default: return de::fail(Error::invalid_type(found(h), msg::Array));
        }
    }
}

template <class V>
DeResult<typename V::Value> Deserializer::deserialize_map(V& v) {
    for (;;) {
        Header h = NV_TRY(pull());
        if (h.kind == Header::Kind::Tag) continue;
        if (h.kind != Header::Kind::Map) return de::fail(Error::invalid_type(found(h), msg::Map));
        NV_CHECK(enter());
        MapAccess map(*this, h);
        auto r = v.visit_map(map);
        leave();
        return r;
    }
}

template <class V>
DeResult<typename V::Value> Deserializer::deserialize_enum(std::string_view, std::span<const std::string_view>,
                                                           V& v) {
    for (;;) {
        Header h = NV_TRY(pull());
        if (h.kind == Header::Kind::Tag) continue;
        if (h.kind == Header::Kind::Map && !h.indefinite && h.arg == 1) {
            NV_CHECK(enter());
            PairVariantAccess access(*this);
            auto r = v.visit_enum(access);
            leave();
            return r;
        }
        if (h.kind == Header::Kind::Text) {
            push_back();
            NV_CHECK(enter());
            de::UnitVariantAccess<Deserializer> access(*this);
            auto r = v.visit_enum(access);
            leave();
            return r;
        }
        return de::fail(Error::invalid_type(found(h), msg::Enum));
    }
}

template <class V>
DeResult<typename V::Value> Deserializer::struct_content(size_t fields, V& v) {
    Header h = NV_TRY(pull());
    if (h.kind != Header::Kind::Array) return any_of(h, v);
    NV_CHECK(enter());
    SeqAccess seq(*this, h);
    auto r = v.visit_seq(seq);
    if (r && !h.indefinite && h.arg > seq.taken()) {
        r = de::fail(too_long_error(h.arg, fields, v.expecting()));
    } else if (r && h.indefinite) {
        // Items beyond the record's fields: count them, then refuse.
        auto rest = [&]() -> DeResult<void> {
            for (;;) {
                bool more = NV_TRY(seq.more());
                if (!more) return {};
                NV_CHECK(skip());
            }
        }();
        if (!rest) {
            r = de::fail(std::move(rest).error());
        } else if (seq.taken() > fields) {
            r = de::fail(too_long_error(seq.taken(), fields, v.expecting()));
        }
    }
    leave();
    return r;
}

}  // namespace norvane::cbor
