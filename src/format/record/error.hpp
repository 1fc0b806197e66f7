// Errors of the typed-record readers, shared by every source format.
//
// A reader error is a small handle to a cold record. Errors raised by record
// logic (invalid type, missing field, ...) stay structured until the format
// that reported them renders them: JSON names a null "null" and prints floats
// in JSON number text, the byte formats say "unit value" and print floats in
// plain decimal; JSON adds the position where its reader stood.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace norvane::de {

// What a reader found where something else was expected.
struct Unexpected {
    enum class Kind : uint8_t {
        Bool, Unsigned, Signed, Float, Str, Bytes, Unit, Option, NewtypeStruct,
        Seq, Map, Enum, UnitVariant, NewtypeVariant, TupleVariant, StructVariant, Other
    };
    Kind kind = Kind::Unit;
    bool b = false;
    uint64_t u = 0;
    int64_t i = 0;
    double f = 0;
    std::string s;  // Str: the text; Other: the whole description

    static Unexpected boolean(bool v) { Unexpected x; x.kind = Kind::Bool; x.b = v; return x; }
    static Unexpected unsigned_(uint64_t v) { Unexpected x; x.kind = Kind::Unsigned; x.u = v; return x; }
    static Unexpected signed_(int64_t v) { Unexpected x; x.kind = Kind::Signed; x.i = v; return x; }
    static Unexpected float_(double v) { Unexpected x; x.kind = Kind::Float; x.f = v; return x; }
    static Unexpected str(std::string_view v) { Unexpected x; x.kind = Kind::Str; x.s = v; return x; }
    static Unexpected other(std::string v) { Unexpected x; x.kind = Kind::Other; x.s = std::move(v); return x; }
    static Unexpected of(Kind k) { Unexpected x; x.kind = k; return x; }
};

// How found kinds are worded.
enum class Style : uint8_t {
    Json,   // null for a unit, floats in JSON number text
    Plain,  // "unit value", floats in plain decimal with a point
};

void append_unexpected(std::string& out, const Unexpected& u, Style style);

class Error {
public:
    enum class Code : uint8_t {
        Custom,         // text is the whole message
        InvalidType,    // "invalid type: {unexp}, expected {text}"
        InvalidValue,   // "invalid value: {unexp}, expected {text}"
        InvalidLength,  // "invalid length {len}, expected {text}"
        Format,         // a format's own error, text complete (JSON adds its position)
    };

    struct Data {
        Code code;
        std::string text;
        Unexpected unexp;
        uint64_t len = 0;
        uint64_t line = 0;  // 0: no position known yet
        uint64_t column = 0;
    };

    Error() = default;
    explicit Error(std::unique_ptr<Data> d) : d_(d.release()) {}

    static Error custom(std::string text);
    static Error format(std::string text);
    static Error positioned(std::string text, uint64_t line, uint64_t column);
    static Error invalid_type(Unexpected u, std::string_view expected);
    static Error invalid_value(Unexpected u, std::string_view expected);
    static Error invalid_length(uint64_t len, std::string_view expected);
    static Error missing_field(std::string_view name);
    static Error duplicate_field(std::string_view name);
    static Error unknown_field(std::string_view name, std::span<const std::string_view> expected);
    static Error unknown_variant(std::string_view name, std::span<const std::string_view> expected);

    Code code() const { return d_->code; }
    const Data& data() const { return *d_; }
    Data& data() { return *d_; }
    bool has_position() const { return d_->line != 0; }
    void set_position(uint64_t line, uint64_t column) {
        d_->line = line;
        d_->column = column;
    }

    // The message without any position, worded in the given style.
    std::string message(Style style) const;

private:
    // The data is deleted out of line, so that ending a result that holds no
    // error (the hot case of every reader) is one test of a null pointer,
    // which the compiler inlines.
    struct Drop {
        void operator()(Data* d) const;
    };
    std::unique_ptr<Data, Drop> d_;
};

template <class T>
using DeResult = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`"
void append_one_of(std::string& out, std::span<const std::string_view> names);

// Texts of the JSON library: the message, then " at line L column C" when known.
std::string json_error_text(const Error& e);

}  // namespace norvane::de
