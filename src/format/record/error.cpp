#include "format/record/error.hpp"

#include "util/float_text.hpp"
#include "util/text.hpp"

namespace norvane::de {

void append_unexpected(std::string& out, const Unexpected& u, Style style) {
    using K = Unexpected::Kind;
    switch (u.kind) {
        case K::Bool:
            out += u.b ? "boolean `true`" : "boolean `false`";
            return;
        case K::Unsigned:
            out += "integer `";
            append_u64(out, u.u);
            out += '`';
            return;
        case K::Signed:
            out += "integer `";
            append_i64(out, u.i);
            out += '`';
            return;
        case K::Float:
            out += "floating point `";
            if (style == Style::Json && u.f == u.f && u.f - u.f == 0) {
                append_json_double(out, u.f);
            } else {
                append_display_double(out, u.f);
            }
            out += '`';
            return;
        case K::Str:
            out += "string ";
            append_debug_str(out, u.s);
            return;
        case K::Bytes: out += "byte array"; return;
        case K::Unit: out += style == Style::Json ? "null" : "unit value"; return;
        case K::Option: out += "Option value"; return;
        case K::NewtypeStruct: out += "newtype struct"; return;
        case K::Seq: out += "sequence"; return;
        case K::Map: out += "map"; return;
        case K::Enum: out += "enum"; return;
        case K::UnitVariant: out += "unit variant"; return;
        case K::NewtypeVariant: out += "newtype variant"; return;
        case K::TupleVariant: out += "tuple variant"; return;
        case K::StructVariant: out += "struct variant"; return;
        case K::Other: out += u.s; return;
    }
}

void Error::Drop::operator()(Data* d) const { delete d; }

static Error make(Error::Code code, std::string text) {
    auto d = std::make_unique<Error::Data>();
    d->code = code;
    d->text = std::move(text);
    return Error(std::move(d));
}

Error Error::custom(std::string text) { return make(Code::Custom, std::move(text)); }
Error Error::format(std::string text) { return make(Code::Format, std::move(text)); }

Error Error::positioned(std::string text, uint64_t line, uint64_t column) {
    Error e = make(Code::Format, std::move(text));
    e.set_position(line, column);
    return e;
}

Error Error::invalid_type(Unexpected u, std::string_view expected) {
    Error e = make(Code::InvalidType, std::string(expected));
    e.d_->unexp = std::move(u);
    return e;
}

Error Error::invalid_value(Unexpected u, std::string_view expected) {
    Error e = make(Code::InvalidValue, std::string(expected));
    e.d_->unexp = std::move(u);
    return e;
}

Error Error::invalid_length(uint64_t len, std::string_view expected) {
    Error e = make(Code::InvalidLength, std::string(expected));
    e.d_->len = len;
    return e;
}

Error Error::missing_field(std::string_view name) {
    std::string t = "missing field `";
    t += name;
    t += '`';
    return custom(std::move(t));
}

Error Error::duplicate_field(std::string_view name) {
    std::string t = "duplicate field `";
    t += name;
    t += '`';
    return custom(std::move(t));
}

void append_one_of(std::string& out, std::span<const std::string_view> names) {
    switch (names.size()) {
        case 0:
            return;
        case 1:
            out += '`';
            out += names[0];
            out += '`';
            return;
        case 2:
            out += '`';
            out += names[0];
            out += "` or `";
            out += names[1];
            out += '`';
            return;
        default:
            out += "one of ";
            for (size_t i = 0; i < names.size(); ++i) {
                if (i) out += ", ";
                out += '`';
                out += names[i];
                out += '`';
            }
    }
}

Error Error::unknown_field(std::string_view name, std::span<const std::string_view> expected) {
    std::string t = "unknown field `";
    t += name;
    if (expected.empty()) {
        t += "`, there are no fields";
    } else {
        t += "`, expected ";
        append_one_of(t, expected);
    }
    return custom(std::move(t));
}

Error Error::unknown_variant(std::string_view name, std::span<const std::string_view> expected) {
    std::string t = "unknown variant `";
    t += name;
    if (expected.empty()) {
        t += "`, there are no variants";
    } else {
        t += "`, expected ";
        append_one_of(t, expected);
    }
    return custom(std::move(t));
}

std::string Error::message(Style style) const {
    const Data& d = *d_;
    switch (d.code) {
        case Code::Custom:
        case Code::Format:
            return d.text;
        case Code::InvalidType:
        case Code::InvalidValue: {
            std::string out = d.code == Code::InvalidType ? "invalid type: " : "invalid value: ";
            append_unexpected(out, d.unexp, style);
            out += ", expected ";
            out += d.text;
            return out;
        }
        case Code::InvalidLength: {
            std::string out = "invalid length ";
            append_u64(out, d.len);
            out += ", expected ";
            out += d.text;
            return out;
        }
    }
    return d.text;
}

std::string json_error_text(const Error& e) {
    std::string out = e.message(Style::Json);
    if (e.has_position()) {
        out += " at line ";
        append_u64(out, e.data().line);
        out += " column ";
        append_u64(out, e.data().column);
    }
    return out;
}

}  // namespace norvane::de
