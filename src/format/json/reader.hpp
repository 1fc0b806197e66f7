// Pull reader of JSON text and its typed-record deserializer.
//
// Positions: an error carries " at line L column C"; the line counts from 1
// and the column is the number of bytes of that line before the reader's
// position. Errors found at the next byte (a "peek" error) point one byte
// further. Errors raised by record logic receive the position at which the
// reader stands when they pass back through the deserializer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "format/record/error.hpp"
#include "format/record/visitor.hpp"
#include "util/text.hpp"

namespace norvane::json {

using de::DeResult;
using de::Error;
using de::Unexpected;

inline constexpr int kDepthLimit = 128;

namespace msg {
inline constexpr const char* EofList = "EOF while parsing a list";
inline constexpr const char* EofObject = "EOF while parsing an object";
inline constexpr const char* EofString = "EOF while parsing a string";
inline constexpr const char* EofValue = "EOF while parsing a value";
inline constexpr const char* ExpectedColon = "expected `:`";
inline constexpr const char* ExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr const char* ExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr const char* ExpectedIdent = "expected ident";
inline constexpr const char* ExpectedValue = "expected value";
inline constexpr const char* InvalidEscape = "invalid escape";
inline constexpr const char* InvalidNumber = "invalid number";
inline constexpr const char* NumberOutOfRange = "number out of range";
inline constexpr const char* InvalidCodePoint = "invalid unicode code point";
inline constexpr const char* ControlChar = "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr const char* KeyMustBeString = "key must be a string";
inline constexpr const char* LoneSurrogate = "lone leading surrogate in hex escape";
inline constexpr const char* TrailingComma = "trailing comma";
inline constexpr const char* TrailingCharacters = "trailing characters";
inline constexpr const char* UnexpectedEndOfHexEscape = "unexpected end of hex escape";
inline constexpr const char* RecursionLimit = "recursion limit exceeded";
}  // namespace msg

// A number as the reader classifies it.
struct Number {
    enum class Kind : uint8_t { U64, I64, F64 } kind;
    uint64_t u = 0;
    int64_t i = 0;
    double f = 0;

    Unexpected unexpected() const {
        switch (kind) {
            case Kind::U64: return Unexpected::unsigned_(u);
            case Kind::I64: return Unexpected::signed_(i);
            default: return Unexpected::float_(f);
        }
    }
    template <class V>
    DeResult<typename V::Value> visit(V& v) const {
        switch (kind) {
            case Kind::U64: return v.visit_u64(u);
            case Kind::I64: return v.visit_i64(i);
            default: return v.visit_f64(f);
        }
    }
};

class Reader {
public:
    // `check_utf8`: the input is raw bytes whose strings must be checked as
    // UTF-8; text that is already known to be UTF-8 skips the check.
    explicit Reader(std::string_view input, bool check_utf8 = false)
        : s_(reinterpret_cast<const unsigned char*>(input.data())), n_(input.size()),
          check_utf8_(check_utf8 && !is_utf8(input)) {}  // all valid: so is every string in it
    ~Reader() {
        if (leased_) release_scratch();
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // ---- low-level access ------------------------------------------------
    size_t index() const { return i_; }
    size_t size() const { return n_; }
    std::string_view input() const { return {reinterpret_cast<const char*>(s_), n_}; }
    // Whether every string in the input is known to be UTF-8.
    bool strings_are_utf8() const { return !check_utf8_; }
    std::string_view slice(size_t from, size_t to) const {
        return {reinterpret_cast<const char*>(s_) + from, to - from};
    }
    // Skips whitespace; the next byte, or -1 at the end.
    [[gnu::always_inline]] int parse_whitespace() {
        while (i_ < n_) {
            unsigned char c = s_[i_];
            if (c > ' ') [[likely]]
                return c;
            if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
                ++i_;
                continue;
            }
            return c;
        }
        return -1;
    }
    int peek() const { return i_ < n_ ? s_[i_] : -1; }
    int peek_or_null() const { return i_ < n_ ? s_[i_] : 0; }
    // The byte `k` places after the next one, or -1 past the end.
    int peek_at(size_t k) const { return n_ - i_ > k ? s_[i_ + k] : -1; }
    void eat_char() { ++i_; }
    // Consumes `lit` when the input continues with exactly it.
    template <size_t N>
    bool eat_literal(const char (&lit)[N]) {
        if (n_ - i_ >= N - 1 && __builtin_memcmp(s_ + i_, lit, N - 1) == 0) {
            i_ += N - 1;
            return true;
        }
        return false;
    }
    // Consumes a member's key written plainly, `"name":` with nothing between,
    // when the input continues with exactly it (at the key's opening quote).
    bool eat_plain_key(std::string_view name) {
        const size_t k = name.size();
        if (n_ - i_ < k + 3 || s_[i_ + k + 1] != '"' || s_[i_ + k + 2] != ':' ||
            __builtin_memcmp(s_ + i_ + 1, name.data(), k) != 0)
            return false;
        i_ += k + 3;
        return true;
    }
    int next_char() { return i_ < n_ ? s_[i_++] : -1; }
    // Goes back to a position taken from index(), for a caller that looked
    // ahead and chose another way to read what starts there. The caller
    // restores the nesting budget it took since (leave()).
    void rewind(size_t index) { i_ = index; }

    Error error(const char* text) const;       // at the reader's position
    Error peek_error(const char* text) const;  // one byte further
    void fix_position(Error& e) const {
        if (!e.has_position()) position_into(e, i_);
    }
    Error fixed(Error e) const {
        fix_position(e);
        return e;
    }

    // After a whole value: only whitespace may follow.
    DeResult<void> end();

    // The rest of a literal (`rest` is "ull", "rue" or "alse").
    DeResult<void> parse_ident(const char* rest) {
        const size_t len = __builtin_strlen(rest);
        if (n_ - i_ >= len && __builtin_memcmp(s_ + i_, rest, len) == 0) [[likely]] {
            i_ += len;
            return {};
        }
        return parse_ident_slow(rest);
    }
    // The string after its opening quote; the view lives until the next string read.
    DeResult<std::string_view> parse_str();
    // Skips a string after its opening quote (escapes checked, UTF-8 not).
    DeResult<void> ignore_str();
    // A number whose first byte ('-' already eaten when !positive) is next.
    DeResult<Number> parse_number(bool positive);
    // Skips any value, counting its nesting against the depth budget.
    DeResult<void> ignore_value();
    DeResult<void> parse_object_colon();
    // After the opening brace of a union written as an object of one member: the quote that
    // opens the variant name must come next (it is not eaten).
    DeResult<void> variant_name_next() {
        const int k = parse_whitespace();
        if (k == '"') [[likely]]
            return {};
        return de::fail(peek_error(k < 0 ? msg::EofObject : k == '}' ? msg::ExpectedValue : msg::KeyMustBeString));
    }
    // A union written as an object of one member, its opening brace next: takes a level of the
    // nesting budget, checks that the variant name comes next, runs `body` from the name's
    // quote, then reads the closing brace. Failures of the body are placed where it stopped.
    template <class F>
    auto variant_object(F&& body) -> decltype(body()) {
        NV_CHECK(enter());
        eat_char();
        if (auto name = variant_name_next(); !name) {
            leave();
            return de::fail(std::move(name).error());
        }
        auto ret = body();
        leave();
        if (!ret) {
            fix_position(ret.error());
            return ret;
        }
        NV_CHECK(end_variant_object());
        return ret;
    }
    // After the content of such a union: its closing brace.
    DeResult<void> end_variant_object() {
        const int e = parse_whitespace();
        if (e == '}') [[likely]] {
            eat_char();
            return {};
        }
        return de::fail(error(e < 0 ? msg::EofObject : msg::ExpectedValue));
    }
    // Between an array's elements: skips whitespace and, after an element, its comma. False at
    // the closing bracket (not eaten), true when an element is next. `first` says whether no
    // element has been read yet; it is cleared here.
    [[gnu::always_inline]] DeResult<bool> next_element(bool& first) {
        const int c = parse_whitespace();
        if (c == ']') return false;
        if (first && c >= 0) {
            first = false;
            return true;
        }
        if (c == ',' && !first) {
            eat_char();
            const int d = parse_whitespace();
            if (d >= 0 && d != ']') return true;
            return de::fail(peek_error(d < 0 ? msg::EofValue : msg::TrailingComma));
        }
        return de::fail(peek_error(c < 0 ? msg::EofList : msg::ExpectedListCommaOrEnd));
    }
    // Between an object's members: skips whitespace and, after a member, its comma. False at
    // the closing brace, true at the next key's opening quote (neither is eaten). `first`
    // says whether no member has been read yet; it is cleared here.
    [[gnu::always_inline]] DeResult<bool> next_member(bool& first) {
        const int c = parse_whitespace();
        if (c == '"' && first) {
            first = false;
            return true;
        }
        if (c == '}') return false;
        if (c == ',' && !first) {
            eat_char();
            const int d = parse_whitespace();
            if (d == '"') return true;
            return de::fail(peek_error(d == '}' ? msg::TrailingComma : d < 0 ? msg::EofValue : msg::KeyMustBeString));
        }
        return de::fail(peek_error(c < 0 ? msg::EofObject : first ? msg::KeyMustBeString : msg::ExpectedObjectCommaOrEnd));
    }
    DeResult<void> end_seq();
    DeResult<void> end_map();
    // Takes one level of the nesting budget; fails when none is left.
    DeResult<void> enter() {
        if (--depth_ == 0) return de::fail(peek_error(msg::RecursionLimit));
        return {};
    }
    void leave() { ++depth_; }
    int depth() const { return depth_; }
    // A place to come back to: the position and the nesting budget there.
    struct Mark {
        size_t index;
        int depth;
    };
    Mark mark() const { return {i_, depth_}; }
    void reset(const Mark& m) {
        i_ = m.index;
        depth_ = m.depth;
    }

    // The "invalid type" error for what stands next, consuming scalars.
    template <class V>
    Error peek_invalid_type(const V& v) {
        return peek_invalid_type_text(v.expecting());
    }
    Error peek_invalid_type_text(std::string_view expected);

    // ---- deserializer ------------------------------------------------------
    template <class V> DeResult<typename V::Value> deserialize_any(V& v);
    template <class V> DeResult<typename V::Value> deserialize_bool(V& v);
    template <class V> DeResult<typename V::Value> deserialize_u64(V& v) { return deserialize_number(v); }
    template <class V> DeResult<typename V::Value> deserialize_i64(V& v) { return deserialize_number(v); }
    template <class V> DeResult<typename V::Value> deserialize_f64(V& v) { return deserialize_number(v); }
    template <class V> DeResult<typename V::Value> deserialize_number(V& v);
    template <class V> DeResult<typename V::Value> deserialize_str(V& v);
    template <class V> DeResult<typename V::Value> deserialize_identifier(V& v) { return deserialize_str(v); }
    template <class V> DeResult<typename V::Value> deserialize_option(V& v);
    template <class V> DeResult<typename V::Value> deserialize_unit(V& v);
    template <class V> DeResult<typename V::Value> deserialize_seq(V& v);
    template <class V> DeResult<typename V::Value> deserialize_tuple(size_t, V& v) { return deserialize_seq(v); }
    template <class V> DeResult<typename V::Value> deserialize_map(V& v);
    template <class V>
    DeResult<typename V::Value> deserialize_struct(std::string_view, std::span<const std::string_view>, V& v);
    template <class V>
    DeResult<typename V::Value> deserialize_enum(std::string_view, std::span<const std::string_view>, V& v);
    template <class V> DeResult<typename V::Value> deserialize_ignored_any(V& v) {
        NV_CHECK(ignore_value());
        return v.visit_unit();
    }

private:
    // The '[' or '{' is next: take a level of the budget, visit the elements or
    // members, then check the closing bracket (whose error loses to the visitor's).
    // Skips whitespace (the end of input fails), runs body(next byte) and
    // places a record error at the position where the reader then stands.
    template <class V, class Body> DeResult<typename V::Value> next_value(V& v, Body&& body);
    template <class V> DeResult<typename V::Value> visit_array(V& v);
    template <class V> DeResult<typename V::Value> visit_object(V& v);
    void position_into(Error& e, size_t index) const;
    DeResult<void> parse_ident_slow(const char* rest);
    DeResult<std::string_view> parse_str_escaped(size_t start);
    void acquire_scratch();
    void release_scratch();
    DeResult<double> number_from_text(size_t start, bool positive);
    DeResult<Number> parse_integer_tail(bool positive, size_t start, uint64_t sig, bool overflow, bool zero);
    DeResult<double> parse_decimal(bool positive, size_t start, bool zero_significand);
    DeResult<double> parse_exponent(bool positive, size_t start, bool zero_significand);
    DeResult<void> parse_escape();
    DeResult<void> parse_unicode_escape();
    DeResult<uint16_t> decode_hex_escape();
    DeResult<void> ignore_integer();
    DeResult<void> ignore_decimal();
    DeResult<void> ignore_exponent();

    const unsigned char* s_;
    size_t n_;
    size_t i_ = 0;
    int depth_ = kDepthLimit;
    bool check_utf8_;
    bool leased_ = false;       // scratch_ is the thread's shared text
    std::string* scratch_ = nullptr;  // decoded escaped strings; taken at the first one
    std::string own_scratch_;   // when another reader holds the shared text
};

// ---- accessors -----------------------------------------------------------

class SeqAccess {
public:
    explicit SeqAccess(Reader& r) : r_(r) {}
    std::optional<size_t> size_hint() const { return std::nullopt; }

    template <class F>
    DeResult<bool> next_element(F&& f) {
        if (!NV_TRY(r_.next_element(first_))) return false;
        NV_CHECK(f(r_));
        return true;
    }

private:
    Reader& r_;
    bool first_ = true;
};

// The deserializer of an object key: the key string, with no position fix-up.
class MapKey {
public:
    explicit MapKey(Reader& r) : r_(r) {}
    template <class V>
    DeResult<typename V::Value> deserialize_any(V& v) {
        r_.eat_char();
        auto s = NV_TRY(r_.parse_str());
        return v.visit_str(s);
    }
    template <class V> DeResult<typename V::Value> deserialize_str(V& v) { return deserialize_any(v); }
    template <class V> DeResult<typename V::Value> deserialize_identifier(V& v) { return deserialize_any(v); }
    template <class V> DeResult<typename V::Value> deserialize_ignored_any(V& v) {
        r_.eat_char();
        NV_CHECK(r_.ignore_str());
        return v.visit_unit();
    }

private:
    Reader& r_;
};

class MapAccess {
public:
    explicit MapAccess(Reader& r) : r_(r) {}
    std::optional<size_t> size_hint() const { return std::nullopt; }

    template <class F>
    DeResult<bool> next_key(F&& f) {
        if (!NV_TRY(r_.next_member(first_))) return false;
        MapKey key(r_);
        NV_CHECK(f(key));
        return true;
    }

    template <class F>
    DeResult<void> next_value(F&& f) {
        NV_CHECK(r_.parse_object_colon());
        return f(r_);
    }

private:
    Reader& r_;
    bool first_ = true;
};

// An externally tagged union written as an object of one member.
class VariantAccess {
public:
    explicit VariantAccess(Reader& r) : r_(r) {}

    template <class F>
    DeResult<VariantAccess> variant(F&& f) {
        MapKey key(r_);
        NV_CHECK(f(key));
        NV_CHECK(r_.parse_object_colon());
        return *this;
    }
    DeResult<void> unit_variant() { return de::read_unit(r_); }
    template <class F>
    DeResult<void> newtype_variant(F&& f) { return f(r_); }
    template <class V>
    DeResult<typename V::Value> struct_variant(std::span<const std::string_view> fields, V& v) {
        return r_.deserialize_struct("", fields, v);
    }

private:
    Reader& r_;
};

// ---- deserializer bodies ----------------------------------------------------

template <class V, class Body>
DeResult<typename V::Value> Reader::next_value(V&, Body&& body) {
    int c = parse_whitespace();
    if (c < 0) return de::fail(peek_error(msg::EofValue));
    DeResult<typename V::Value> r = body(c);
    if (!r) fix_position(r.error());
    return r;
}

template <class V>
DeResult<typename V::Value> Reader::visit_array(V& v) {
    NV_CHECK(enter());
    eat_char();
    SeqAccess seq(*this);
    auto ret = v.visit_seq(seq);
    leave();
    auto tail = end_seq();
    if (!ret) return ret;
    if (!tail) return de::fail(std::move(tail).error());
    return ret;
}

template <class V>
DeResult<typename V::Value> Reader::visit_object(V& v) {
    NV_CHECK(enter());
    eat_char();
    MapAccess map(*this);
    auto ret = v.visit_map(map);
    leave();
    auto tail = end_map();
    if (!ret) return ret;
    if (!tail) return de::fail(std::move(tail).error());
    return ret;
}

template <class V>
DeResult<typename V::Value> Reader::deserialize_any(V& v) {
    return next_value(v, [&](int c) -> DeResult<typename V::Value> {
        switch (c) {
            case 'n':
                eat_char();
                NV_CHECK(parse_ident("ull"));
                return v.visit_unit();
            case 't':
                eat_char();
                NV_CHECK(parse_ident("rue"));
                return v.visit_bool(true);
            case 'f':
                eat_char();
                NV_CHECK(parse_ident("alse"));
                return v.visit_bool(false);
            case '-': {
                eat_char();
                Number num = NV_TRY(parse_number(false));
                return num.visit(v);
            }
            case '"': {
                eat_char();
                auto s = NV_TRY(parse_str());
                return v.visit_str(s);
            }
            case '[': {
                return visit_array(v);
            }
            case '{': {
                return visit_object(v);
            }
            default:
                if (c >= '0' && c <= '9') {
                    Number num = NV_TRY(parse_number(true));
                    return num.visit(v);
                }
                return de::fail(peek_error(msg::ExpectedValue));
        }
    });
}

template <class V>
DeResult<typename V::Value> Reader::deserialize_bool(V& v) {
    return next_value(v, [&](int c) -> DeResult<typename V::Value> {
        if (c == 't') {
            eat_char();
            NV_CHECK(parse_ident("rue"));
            return v.visit_bool(true);
        }
        if (c == 'f') {
            eat_char();
            NV_CHECK(parse_ident("alse"));
            return v.visit_bool(false);
        }
        return de::fail(peek_invalid_type(v));
    });
}

template <class V>
DeResult<typename V::Value> Reader::deserialize_number(V& v) {
    return next_value(v, [&](int c) -> DeResult<typename V::Value> {
        if (c == '-') {
            eat_char();
            Number num = NV_TRY(parse_number(false));
            return num.visit(v);
        }
        if (c >= '0' && c <= '9') {
            Number num = NV_TRY(parse_number(true));
            return num.visit(v);
        }
        return de::fail(peek_invalid_type(v));
    });
}

template <class V>
DeResult<typename V::Value> Reader::deserialize_str(V& v) {
    return next_value(v, [&](int c) -> DeResult<typename V::Value> {
        if (c == '"') {
            eat_char();
            auto s = NV_TRY(parse_str());
            return v.visit_str(s);
        }
        return de::fail(peek_invalid_type(v));
    });
}

template <class V>
DeResult<typename V::Value> Reader::deserialize_option(V& v) {
    if (parse_whitespace() == 'n') {
        eat_char();
        NV_CHECK(parse_ident("ull"));
        return v.visit_none();
    }
    return v.visit_some(*this);
}

template <class V>
DeResult<typename V::Value> Reader::deserialize_unit(V& v) {
    return next_value(v, [&](int c) -> DeResult<typename V::Value> {
        if (c == 'n') {
            eat_char();
            NV_CHECK(parse_ident("ull"));
            return v.visit_unit();
        }
        return de::fail(peek_invalid_type(v));
    });
}

template <class V>
DeResult<typename V::Value> Reader::deserialize_seq(V& v) {
    return next_value(v, [&](int c) -> DeResult<typename V::Value> {
        if (c == '[') {
            return visit_array(v);
        }
        return de::fail(peek_invalid_type(v));
    });
}

template <class V>
DeResult<typename V::Value> Reader::deserialize_map(V& v) {
    return next_value(v, [&](int c) -> DeResult<typename V::Value> {
        if (c == '{') {
            return visit_object(v);
        }
        return de::fail(peek_invalid_type(v));
    });
}

template <class V>
DeResult<typename V::Value> Reader::deserialize_struct(std::string_view, std::span<const std::string_view>, V& v) {
    return next_value(v, [&](int c) -> DeResult<typename V::Value> {
        if (c == '[') {
            return visit_array(v);
        }
        if (c == '{') {
            return visit_object(v);
        }
        return de::fail(peek_invalid_type(v));
    });
}

// An object of exactly one member (name: content) or a bare name string.
// Errors of the name and of the content are placed where the reader stands.
template <class V>
DeResult<typename V::Value> Reader::deserialize_enum(std::string_view, std::span<const std::string_view>, V& v) {
    int c = parse_whitespace();
    if (c == '{') {
        return variant_object([&] {
            VariantAccess access(*this);
            return v.visit_enum(access);
        });
    }
    if (c == '"') {
        de::UnitVariantAccess<Reader> access(*this);
        auto ret = v.visit_enum(access);
        if (!ret) fix_position(ret.error());
        return ret;
    }
    if (c < 0) return de::fail(peek_error(msg::EofValue));
    return de::fail(peek_error(msg::ExpectedValue));
}

}  // namespace norvane::json
