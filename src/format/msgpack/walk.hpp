// One MessagePack item read as a generic document and handed to a sink as it
// is read (the sink interface of every document walker:
// format/tree/document_sink.hpp).
//
// nil, booleans, every integer form (non-negative values as u64), float 32
// (widened) and float 64 (non-finite ones as null), UTF-8 str, arrays, and
// maps whose first key is a str and whose later keys are a str or a bin
// holding UTF-8 text. bin, ext, the reserved marker and other keys are
// refused with the texts of the typed reader. Texts and keys are views of the
// input.
//
// A sink that declares `static constexpr bool kPlainOnly = true` is handed
// the plain forms only: non-finite floats and bin keys, which the document
// does not hold as they are written, are refused too, with a text nobody
// sees (the reader that asks for them takes another way on any failure).
#pragma once

#include "format/msgpack/reader.hpp"

namespace norvane::msgpack {

template <class Sink>
class Walker {
public:
    Walker(Deserializer& d, Sink& sink) : d_(d), sink_(sink) {}

    DeResult<void> item() {
        const uint8_t m = NV_TRY(d_.take_marker());
        return d_.dispatch(m, *this);
    }

    // ---- the marker handler ------------------------------------------------------
    DeResult<void> nil() {
        sink_.null_();
        return {};
    }
    DeResult<void> boolean(bool b) {
        sink_.boolean(b);
        return {};
    }
    DeResult<void> u64(uint64_t v) {
        sink_.u64(v);
        return {};
    }
    DeResult<void> i64(int64_t v) {
        if (v >= 0) {
            sink_.u64(uint64_t(v));
        } else {
            sink_.i64(v);
        }
        return {};
    }
    DeResult<void> f64(double v) {
        if (v - v == 0) {
            sink_.f64(v);
            return {};
        }
        // Not finite: the document holds null.
        if constexpr (kPlain) return de::fail(Error::custom({}));
        sink_.null_();
        return {};
    }
    DeResult<void> str(uint32_t n) {
        sink_.text(NV_TRY(text(n)));
        return {};
    }
    DeResult<void> array(uint32_t n) {
        NV_CHECK(d_.enter());
        auto token = sink_.begin_array(room(n));
        for (uint32_t i = 0; i < n; ++i) {
            sink_.element(token, i);
            NV_CHECK(item());
        }
        sink_.end_array(token, n);
        d_.leave();
        return {};
    }
    DeResult<void> map(uint32_t n) {
        NV_CHECK(d_.enter());
        auto token = sink_.begin_map(room(n));
        for (uint32_t i = 0; i < n; ++i) {
            sink_.key(token, i, NV_TRY(key(i == 0)));
            NV_CHECK(item());
        }
        sink_.end_map(token, n);
        d_.leave();
        return {};
    }
    // bin, ext, reserved: always a failure, worded by the typed reader.
    DeResult<void> bin(uint8_t m) { return refuse(m); }
    DeResult<void> ext(uint8_t m) { return refuse(m); }
    DeResult<void> reserved(uint8_t m) { return refuse(m); }

private:
    static constexpr bool kPlain = requires { requires Sink::kPlainOnly; };

    struct AnyJsonVisitor : de::Visitor<AnyJsonVisitor, void> {
        std::string_view expecting() const { return msg::AnyJson; }
    };
    struct FirstKeyVisitor : de::Visitor<FirstKeyVisitor, void> {
        std::string_view expecting() const { return msg::FirstKey; }
    };

    size_t room(uint32_t n) const { return n < d_.remaining() ? n : d_.remaining(); }

    DeResult<void> refuse(uint8_t m) {
        d_.keep_marker(m);
        AnyJsonVisitor v;
        return d_.deserialize_any(v);
    }

    DeResult<std::string_view> text(uint32_t n) {
        std::string_view s = NV_TRY(d_.bytes(n));
        if (auto bad = check_text(s)) [[unlikely]]
            return de::fail(utf8_error(*bad));
        return s;
    }

    // A key: a str; after the first also a bin holding UTF-8 text.
    [[gnu::always_inline]] DeResult<std::string_view> key(bool first) {
        const uint8_t m = NV_TRY(d_.take_marker());
        if (is_str_marker(m)) return text(NV_TRY(d_.str_len(m)));
        if (!first && is_bin_marker(m) && !kPlain) {
            const uint32_t n = NV_TRY(d_.bin_len(m));
            std::string_view b = NV_TRY(d_.bytes(n));
            if (check_text(b)) return de::fail(Error::invalid_value(Unexpected::of(Unexpected::Kind::Bytes), msg::AString));
            return b;
        }
        // Anything else fails, worded by the typed reader.
        if constexpr (kPlain) return de::fail(Error::custom({}));
        d_.keep_marker(m);
        if (first) {
            FirstKeyVisitor v;
            NV_CHECK(d_.deserialize_str(v));
        } else {
            NV_CHECK(de::read_string(d_));
        }
        return std::string_view();  // not reached: neither reading takes such an item
    }

    Deserializer& d_;
    Sink& sink_;
};

// Reads one item at the reader's position into the sink.
template <class Sink>
DeResult<void> walk(Deserializer& d, Sink& sink) {
    Walker<Sink> w(d, sink);
    return w.item();
}

}  // namespace norvane::msgpack
