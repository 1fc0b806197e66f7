// One CBOR item read as a generic document and handed to a sink as it is read
// (the sink interface of every document walker: format/tree/document_sink.hpp).
//
// Integers of major types 0 and 1 from -2^63 to 2^64-1 and bignums (tags 2
// and 3 over at most 16 bytes) within that range; floats of every width,
// non-finite ones as null; texts; arrays and maps, definite or indefinite, map
// keys texts of any length, definite or in chunks; false, true; null and
// undefined as null. Byte strings, other tags and other simple values are
// refused. Texts and keys given in chunks are joined, and so are not views of
// the input.
//
// A sink that declares `static constexpr bool kPlainOnly = true` is handed
// the plain forms only, each a view of the input that the document holds as
// it is written: indefinite lengths, tags (bignums included) in front of an
// item or a key, undefined, non-finite floats and keys longer than the
// identifier scratch area are refused too, with a text nobody sees (the
// reader that asks for them takes another way on any failure).
#pragma once

#include <string>

#include "format/cbor/reader.hpp"

namespace norvane::cbor {

template <class Sink>
class Walker {
public:
    Walker(Deserializer& de, Sink& sink) : de_(de), sink_(sink) {}

    DeResult<void> item() {
        // Read in place: a copy of the header would be loaded whole from the
        // narrow stores that made it, which stalls.
        auto pulled = de_.pull();
        if (!pulled) [[unlikely]]
            return de::fail(std::move(pulled).error());
        const Header& h = *pulled;
        using K = Header::Kind;
        if constexpr (kPlain)
            if (h.indefinite) return not_plain();  // texts, arrays and maps given in chunks or open-ended
        switch (h.kind) {
            case K::Positive: sink_.u64(h.arg); return {};
            case K::Negative:
                if (h.arg > uint64_t(INT64_MAX)) return de::fail(Error::custom(msg::NumberOutOfRange));
                sink_.i64(int64_t(~h.arg));
                return {};
            case K::Text: {
                if (!h.indefinite) {
                    sink_.text(NV_TRY(de_.take_text(h.arg, de_.last_offset())));
                    return {};
                }
                std::string joined;
                NV_CHECK(de_.join_chunks(K::Text, joined));
                sink_.text(joined);
                return {};
            }
            case K::Array: return array(h);
            case K::Map: return map(h);
            case K::Float:
                if (h.f - h.f == 0) {
                    sink_.f64(h.f);
                    return {};
                }
                // Not finite: the document holds null.
                if constexpr (kPlain) return not_plain();
                sink_.null_();
                return {};
            case K::Simple:
                if (h.arg == kSimpleFalse || h.arg == kSimpleTrue) {
                    sink_.boolean(h.arg == kSimpleTrue);
                    return {};
                }
                if (h.arg == kSimpleNull || (h.arg == kSimpleUndefined && !kPlain)) {
                    sink_.null_();
                    return {};
                }
                // Any other simple value is refused as byte strings and tags are.
                return de::fail(Error::invalid_type(found(h), msg::AnyJson));
            case K::Bytes: {
                // The bytes are read before they are refused.
                if (h.indefinite) {
                    std::string joined;
                    NV_CHECK(de_.join_chunks(K::Bytes, joined));
                } else {
                    NV_CHECK(de_.take(h.arg));
                }
                return de::fail(Error::invalid_type(Unexpected::of(Unexpected::Kind::Bytes), msg::AnyJson));
            }
            case K::Tag:
                if constexpr (kPlain) return not_plain();
                return tagged(h.arg);
            case K::Break: break;
        }
        return de::fail(Error::invalid_type(found(h), msg::NonBreak));
    }

private:
    static constexpr bool kPlain = requires { requires Sink::kPlainOnly; };

    static std::unexpected<Error> not_plain() { return de::fail(Error::custom({})); }

    // Room reserved for a declared count: never more than the bytes left.
    size_t room(const Header& h) const {
        if (h.indefinite) return 0;
        const size_t left = de_.size() - de_.offset();
        return h.arg < left ? size_t(h.arg) : left;
    }

    // Whether another entry follows (consumes the break of an indefinite container).
    DeResult<bool> more(const Header& h, uint64_t& left) {
        if (!h.indefinite) {
            if (left == 0) return false;
            --left;
            return true;
        }
        auto e_read = de_.pull();
        if (!e_read) [[unlikely]]
            return de::fail(std::move(e_read).error());
        const Header& e = *e_read;
        if (e.kind == Header::Kind::Break) return false;
        de_.push_back();
        return true;
    }

    DeResult<void> array(const Header& h) {
        NV_CHECK(de_.enter());
        auto token = sink_.begin_array(room(h));
        uint64_t left = h.arg;
        size_t count = 0;
        while (NV_TRY(more(h, left))) {
            sink_.element(token, count);
            NV_CHECK(item());
            ++count;
        }
        sink_.end_array(token, count);
        de_.leave();
        return {};
    }

    DeResult<void> map(const Header& h) {
        NV_CHECK(de_.enter());
        auto token = sink_.begin_map(room(h));
        uint64_t left = h.arg;
        size_t count = 0;
        while (NV_TRY(more(h, left))) {
            NV_CHECK(key(token, count));
            NV_CHECK(item());
            ++count;
        }
        sink_.end_map(token, count);
        de_.leave();
        return {};
    }

    // A map key: a text of any length, definite or in chunks, tags in front
    // skipped. Any other item is refused; the expected part of that text is
    // "str" for a map's first key and "string" for the later ones.
    template <class Token>
    DeResult<void> key(Token& token, size_t index) {
        for (;;) {
            auto h_read = de_.pull();
            if (!h_read) [[unlikely]]
                return de::fail(std::move(h_read).error());
            const Header& h = *h_read;
            if constexpr (kPlain)
                if (h.kind != Header::Kind::Text || h.indefinite || h.arg > kScratchSize) return not_plain();
            if (h.kind == Header::Kind::Tag) continue;
            if (h.kind != Header::Kind::Text) [[unlikely]]
                return de::fail(Error::invalid_type(found(h), index == 0 ? msg::FirstKey : msg::String));
            if (!h.indefinite) {
                sink_.key(token, index, NV_TRY(de_.take_text(h.arg, de_.last_offset())));
                return {};
            }
            std::string joined;
            NV_CHECK(de_.join_chunks(Header::Kind::Text, joined));
            sink_.key(token, index, joined);
            return {};
        }
    }

    DeResult<void> tagged(uint64_t tag) {
        Header next = NV_TRY(de_.pull());
        de_.push_back();
        if ((tag == 2 || tag == 3) && next.kind == Header::Kind::Bytes && !next.indefinite && next.arg <= 16) {
            RawInt n = NV_TRY(de_.bignum(tag == 3));
            if (!n.negative) {
                if (n.raw > UINT64_MAX) return de::fail(Error::custom(msg::NumberOutOfRange));
                sink_.u64(uint64_t(n.raw));
                return {};
            }
            if (n.raw >> 127) return de::fail(Error::custom(msg::IntegerTooLarge));
            if (n.raw > uint64_t(INT64_MAX)) return de::fail(Error::custom(msg::NumberOutOfRange));
            sink_.i64(-1 - int64_t(n.raw));
            return {};
        }
        // Any other tag is offered as an enum, which a document refuses (after
        // the nesting budget is checked).
        NV_CHECK(de_.enter());
        de_.leave();
        return de::fail(Error::invalid_type(Unexpected::of(Unexpected::Kind::Enum), msg::AnyJson));
    }

    Deserializer& de_;
    Sink& sink_;
};

// Reads one item at the deserializer's position into the sink.
template <class Sink>
DeResult<void> walk(Deserializer& de, Sink& sink) {
    Walker<Sink> w(de, sink);
    return w.item();
}

}  // namespace norvane::cbor
