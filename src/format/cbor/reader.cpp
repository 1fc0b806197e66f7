#include "format/cbor/reader.hpp"

#include <bit>
#include <cmath>
#include <utility>

#include "util/float_text.hpp"
#include "util/text.hpp"

namespace norvane::cbor {

// ---- errors ------------------------------------------------------------------

Error eof_error() {
    return Error::format(msg::Eof);
}

Error syntax_error(size_t offset) {
    std::string t = "Syntax(";
    append_u64(t, offset);
    t += ')';
    return Error::format(std::move(t));
}

Error semantic_error(std::optional<size_t> offset, std::string_view message) {
    if (!offset) return Error::custom(std::string(message));
    std::string t = "Semantic(Some(";
    append_u64(t, *offset);
    t += "), ";
    append_debug_str(t, message);
    t += ')';
    return Error::format(std::move(t));
}

Error recursion_limit_error() { return Error::format(msg::RecursionLimit); }

std::string error_text(const Error& e) {
    if (e.code() == Error::Code::Format) return e.message(de::Style::Plain);
    std::string t = "Semantic(None, ";
    append_debug_str(t, e.message(de::Style::Plain));
    t += ')';
    return t;
}

// ---- headers -------------------------------------------------------------------

namespace {

std::string negative_text(uint64_t arg) {
    // -1 - arg, which may lie below the signed 64-bit range.
    std::string t = "integer `-";
    append_u128(t, (unsigned __int128)arg + 1);
    t += '`';
    return t;
}

}  // namespace

Unexpected found(const Header& h) {
    using K = Header::Kind;
    switch (h.kind) {
        case K::Positive: return Unexpected::unsigned_(h.arg);
        case K::Negative:
            if (h.arg <= uint64_t(INT64_MAX)) return Unexpected::signed_(int64_t(~h.arg));
            return Unexpected::other(negative_text(h.arg));
        case K::Bytes: return Unexpected::other("bytes");
        case K::Text: return Unexpected::other("string");
        case K::Array: return Unexpected::of(Unexpected::Kind::Seq);
        case K::Map: return Unexpected::of(Unexpected::Kind::Map);
        case K::Tag: return Unexpected::other("tag");
        case K::Float: return Unexpected::float_(h.f);
        case K::Break: return Unexpected::other("break");
        case K::Simple:
            switch (h.arg) {
                case kSimpleFalse: return Unexpected::boolean(false);
                case kSimpleTrue: return Unexpected::boolean(true);
                case kSimpleNull: return Unexpected::other("null");
                case kSimpleUndefined: return Unexpected::other("undefined");
                default: return Unexpected::other("simple");
            }
    }
    return Unexpected::other("simple");
}

double half_to_double(uint16_t h) {
    const uint64_t sign = uint64_t(h >> 15) << 63;
    const unsigned exp = (h >> 10) & 0x1f;
    const uint64_t mant = h & 0x3ff;
    if (exp == 0) {
        const double mag = std::ldexp(double(mant), -24);
        return sign ? -mag : mag;
    }
    if (exp == 0x1f) return std::bit_cast<double>(sign | (uint64_t(0x7ff) << 52) | (mant << 42));
    return std::bit_cast<double>(sign | (uint64_t(exp - 15 + 1023) << 52) | (mant << 42));
}

double single_to_double(uint32_t s) {
    const unsigned exp = (s >> 23) & 0xff;
    const uint64_t mant = s & 0x7fffff;
    if (exp == 0xff && mant != 0) {
        // NaN: keep the payload (a plain conversion may set the quiet bit).
        const uint64_t sign = uint64_t(s >> 31) << 63;
        return std::bit_cast<double>(sign | (uint64_t(0x7ff) << 52) | (mant << 29));
    }
    return double(std::bit_cast<float>(s));
}

// ---- strings ---------------------------------------------------------------------

DeResult<std::string_view> Deserializer::take_text(uint64_t len, size_t header_offset) {
    std::string_view t = NV_TRY(take(len));
    if (!is_utf8(t)) [[unlikely]]
        return de::fail(syntax_error(header_offset));
    return t;
}

DeResult<void> Deserializer::join_chunks(Header::Kind kind, std::string& out) {
    for (;;) {
        auto h_read = pull();
        if (!h_read) [[unlikely]]
            return de::fail(std::move(h_read).error());
        const Header& h = *h_read;
        const size_t at = last_;
        if (h.kind == Header::Kind::Break) return {};
        if (h.kind != kind || h.indefinite) [[unlikely]]
            return de::fail(syntax_error(at));
        std::string_view chunk = kind == Header::Kind::Text ? NV_TRY(take_text(h.arg, at)) : NV_TRY(take(h.arg));
        out.append(chunk);
    }
}

// ---- typed reads -------------------------------------------------------------------

DeResult<bool> Deserializer::bool_item() {
    const size_t at = i_;
    for (;;) {
        auto h_read = pull();
        if (!h_read) [[unlikely]]
            return de::fail(std::move(h_read).error());
        const Header& h = *h_read;
        if (h.kind == Header::Kind::Tag) continue;
        if (h.kind == Header::Kind::Simple && (h.arg == kSimpleFalse || h.arg == kSimpleTrue))
            return h.arg == kSimpleTrue;
        return de::fail(semantic_error(at, msg::ExpectedBool));
    }
}

DeResult<RawInt> Deserializer::bignum(bool negative) {
    auto h_read = pull();
    if (!h_read) [[unlikely]]
        return de::fail(std::move(h_read).error());
    const Header& h = *h_read;
    if (h.kind != Header::Kind::Bytes) return de::fail(Error::invalid_type(found(h), msg::Bytes));
    std::string joined;
    std::string_view bytes;
    if (h.indefinite) {
        NV_CHECK(join_chunks(Header::Kind::Bytes, joined));
        bytes = joined;
    } else {
        bytes = NV_TRY(take(h.arg));
    }
    RawInt n;
    n.negative = negative;
    int count = 0;
    for (unsigned char b : bytes) {
        if (count == 0 && b == 0) continue;  // leading zeros
        if (count == 16) return de::fail(Error::custom(msg::BigintTooLarge));
        n.raw = n.raw << 8 | b;
        ++count;
    }
    return n;
}

DeResult<RawInt> Deserializer::int_item() {
    for (;;) {
        auto h_read = pull();
        if (!h_read) [[unlikely]]
            return de::fail(std::move(h_read).error());
        const Header& h = *h_read;
        switch (h.kind) {
            case Header::Kind::Positive: return RawInt{false, h.arg};
            case Header::Kind::Negative: return RawInt{true, h.arg};
            case Header::Kind::Tag:
                if (h.arg == 2 || h.arg == 3) return bignum(h.arg == 3);
                continue;
            default: return de::fail(Error::invalid_type(found(h), msg::Integer));
        }
    }
}

DeResult<uint64_t> Deserializer::u64_item() {
    RawInt n = NV_TRY(int_item());
    if (n.negative) return de::fail(Error::custom(msg::NegativeInteger));
    if (n.raw > UINT64_MAX) return de::fail(Error::custom(msg::IntegerTooLarge));
    return uint64_t(n.raw);
}

DeResult<int64_t> Deserializer::i64_item() {
    RawInt n = NV_TRY(int_item());
    if (n.raw > uint64_t(INT64_MAX)) return de::fail(Error::custom(msg::IntegerTooLarge));
    const int64_t v = int64_t(n.raw);
    return n.negative ? -1 - v : v;
}

DeResult<double> Deserializer::f64_item() {
    for (;;) {
        auto h_read = pull();
        if (!h_read) [[unlikely]]
            return de::fail(std::move(h_read).error());
        const Header& h = *h_read;
        if (h.kind == Header::Kind::Tag) continue;
        if (h.kind == Header::Kind::Float) return h.f;
        return de::fail(Error::invalid_type(found(h), msg::Float));
    }
}

DeResult<TextItem> Deserializer::text_item() {
    for (;;) {
        auto h_read = pull();
        if (!h_read) [[unlikely]]
            return de::fail(std::move(h_read).error());
        const Header& h = *h_read;
        if (h.kind == Header::Kind::Tag) continue;
        if (h.kind != Header::Kind::Text) return de::fail(Error::invalid_type(found(h), msg::String));
        TextItem t;
        if (!h.indefinite) {
            t.view = NV_TRY(take_text(h.arg, last_));
            return t;
        }
        t.is_joined = true;
        NV_CHECK(join_chunks(Header::Kind::Text, t.joined));
        return t;
    }
}

DeResult<void> Deserializer::unit_item() {
    for (;;) {
        auto h_read = pull();
        if (!h_read) [[unlikely]]
            return de::fail(std::move(h_read).error());
        const Header& h = *h_read;
        if (h.kind == Header::Kind::Tag) continue;
        if (h.kind == Header::Kind::Simple && (h.arg == kSimpleNull || h.arg == kSimpleUndefined)) return {};
        return de::fail(Error::invalid_type(found(h), msg::Unit));
    }
}

DeResult<Ident> Deserializer::ident_item() {
    const bool key = std::exchange(key_, false);
    for (;;) {
        auto h_read = pull();
        if (!h_read) [[unlikely]]
            return de::fail(std::move(h_read).error());
        const Header& h = *h_read;
        if (h.kind == Header::Kind::Tag) continue;
        const bool text = h.kind == Header::Kind::Text;
        if ((text || h.kind == Header::Kind::Bytes) && (key || (!h.indefinite && h.arg <= kScratchSize))) {
            Ident id;
            id.bytes = !text;
            if (!h.indefinite) {
                id.name = text ? NV_TRY(take_text(h.arg, last_)) : NV_TRY(take(h.arg));
            } else {
                id.is_joined = true;
                joined_.clear();
                NV_CHECK(join_chunks(h.kind, joined_));
                id.name = joined_;
            }
            return id;
        }
        return de::fail(Error::invalid_type(found(h), msg::Identifier));
    }
}

// ---- skipping --------------------------------------------------------------------

DeResult<void> Deserializer::skip() {
    auto h_read = pull();
    if (!h_read) [[unlikely]]
        return de::fail(std::move(h_read).error());
    const Header& h = *h_read;
    return skip_header(h);
}

DeResult<void> Deserializer::skip_header(const Header& h) {
    using K = Header::Kind;
    switch (h.kind) {
        case K::Positive:
        case K::Negative:
        case K::Float:
        case K::Simple:
            return {};
        case K::Break: return de::fail(Error::invalid_type(found(h), msg::NonBreak));
        case K::Bytes:
        case K::Text: {
            if (h.indefinite) {
                std::string joined;
                return join_chunks(h.kind, joined);
            }
            if (h.kind == K::Text) {
                NV_CHECK(take_text(h.arg, last_));
            } else {
                NV_CHECK(take(h.arg));
            }
            return {};
        }
        case K::Tag: {
            Header next = NV_TRY(pull());
            push_back();
            if ((h.arg == 2 || h.arg == 3) && next.kind == K::Bytes && !next.indefinite && next.arg <= 16) {
                NV_CHECK(bignum(h.arg == 3));
                return {};
            }
            NV_CHECK(enter());
            auto r = skip();
            leave();
            return r;
        }
        case K::Array:
        case K::Map: {
            NV_CHECK(enter());
            auto r = [&]() -> DeResult<void> {
                const int per = h.kind == K::Map ? 2 : 1;
                if (!h.indefinite) {
                    for (uint64_t k = 0; k < h.arg; ++k)
                        for (int j = 0; j < per; ++j) NV_CHECK(skip());
                    return {};
                }
                for (;;) {
                    auto e_read = pull();
                    if (!e_read) [[unlikely]]
                        return de::fail(std::move(e_read).error());
                    const Header& e = *e_read;
                    if (e.kind == K::Break) return {};
                    NV_CHECK(skip_header(e));
                    if (per == 2) NV_CHECK(skip());
                }
            }();
            leave();
            return r;
        }
    }
    return {};
}

Error Deserializer::too_long_error(uint64_t total, size_t fields, std::string_view expecting) const {
    std::string t(expecting);
    t += " with ";
    append_u64(t, fields);
    t += fields == 1 ? " element" : " elements";
    return Error::invalid_length(total, t);
}

}  // namespace norvane::cbor
