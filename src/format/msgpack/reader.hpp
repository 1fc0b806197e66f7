// MessagePack reader and its typed-record deserializer.
//
// The reader reads one item from the start of a byte slice and never looks at
// what follows it. Nesting is bounded by a depth counter: each array, map or
// extension entered takes one level, and the entry that brings the counter to
// zero fails with "depth limit exceeded". Declared lengths are checked against
// the bytes that remain before anything is taken or reserved.
//
// How items meet the record framework:
// - integers visit as u64 (positive fixint, uint 8..64) or i64 (negative
//   fixint, int 8..64, whatever their value); float 32 is widened to f64;
// - a str that is not UTF-8 is offered to the visitor as bytes; when the
//   visitor refuses them the failure is the UTF-8 error;
// - a bin visits as bytes, except where a sequence, tuple or record is asked
//   for: there it is a sequence of small unsigned integers, one per byte;
// - an array or map must be read to its end by the visitor, else "array had
//   incorrect length, expected {n}" with the number of items it took;
// - an extension visits as a newtype struct whose content is the sequence
//   [type, data];
// - a union is a map of exactly one entry (variant, content) or a bare item
//   naming a unit variant; the content of a unit variant must be nil.
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
#include "util/text.hpp"

namespace norvane::msgpack {

using de::DeResult;
using de::Error;
using de::Unexpected;

inline constexpr int kDepthLimit = 1024;

// The texts of MessagePack reading failures.
namespace msg {
inline constexpr const char* MarkerEof = "IO error while reading marker: failed to fill whole buffer";
inline constexpr const char* DataEof = "IO error while reading data: failed to fill whole buffer";
inline constexpr const char* DepthLimit = "depth limit exceeded";
inline constexpr const char* OutOfRange = "numeric cast found out of range";
// Followed by the marker's name, the count, the position text.
inline constexpr const char* WrongMarker = "wrong msgpack marker ";
inline constexpr const char* LengthMismatch = "array had incorrect length, expected ";
inline constexpr const char* InvalidUtf8 = "string found to be invalid utf8: ";
// What "invalid type" and "invalid value" texts say was expected.
inline constexpr const char* AnyJson = "any valid JSON value";
inline constexpr const char* FirstKey = "a string key";
inline constexpr const char* AString = "a string";
inline constexpr const char* ASequence = "a sequence";
inline constexpr const char* AMap = "a map";
inline constexpr const char* EnumValue = "enum Value";
inline constexpr const char* NewtypeVariant = "newtype variant";
}  // namespace msg

// The marker's name in failure texts: FixPos(5), FixNeg(-1), Null,
// Str8, FixArray(2), Map32, FixExt4, Reserved, ...
void append_marker_name(std::string& out, uint8_t marker);

// The failures of the format itself; rendered, they are the whole message.
[[gnu::cold]] Error marker_eof();
[[gnu::cold]] Error data_eof();
[[gnu::cold]] Error depth_exceeded();
[[gnu::cold]] Error wrong_marker(uint8_t marker);
[[gnu::cold]] Error length_mismatch(uint64_t n);
[[gnu::cold]] Error utf8_error(const Utf8Error& e);

// The final text of a reading failure.
inline std::string error_text(const Error& e) { return e.message(de::Style::Plain); }

// Marker classes.
inline bool is_map_marker(uint8_t m) { return (m & 0xf0) == 0x80 || m == 0xde || m == 0xdf; }
inline bool is_array_marker(uint8_t m) { return (m & 0xf0) == 0x90 || m == 0xdc || m == 0xdd; }
inline bool is_str_marker(uint8_t m) { return (m & 0xe0) == 0xa0 || (m >= 0xd9 && m <= 0xdb); }
inline bool is_bin_marker(uint8_t m) { return m >= 0xc4 && m <= 0xc6; }

// UTF-8 check of a text, with an inline pass for short ASCII texts.
[[gnu::always_inline]] inline std::optional<Utf8Error> check_text(std::string_view s) {
    if (short_ascii(s)) return std::nullopt;
    return check_utf8(s);
}

class Deserializer;

// ---- helpers for bins read as sequences and for extensions --------------------

// One byte of a bin read as a sequence: every request visits it as u64.
class ByteDe {
public:
    explicit ByteDe(uint8_t b) : b_(b) {}
    uint8_t byte() const { return b_; }

#define NV_MSGPACK_FORWARD(name) \
    template <class V>           \
    DeResult<typename V::Value> name(V& v) { return deserialize_any(v); }
#define NV_MSGPACK_FORWARD_ALL                                                             \
    NV_MSGPACK_FORWARD(deserialize_bool)                                                   \
    NV_MSGPACK_FORWARD(deserialize_i64)                                                    \
    NV_MSGPACK_FORWARD(deserialize_u64)                                                    \
    NV_MSGPACK_FORWARD(deserialize_f64)                                                    \
    NV_MSGPACK_FORWARD(deserialize_str)                                                    \
    NV_MSGPACK_FORWARD(deserialize_identifier)                                             \
    NV_MSGPACK_FORWARD(deserialize_option)                                                 \
    NV_MSGPACK_FORWARD(deserialize_unit)                                                   \
    NV_MSGPACK_FORWARD(deserialize_seq)                                                    \
    NV_MSGPACK_FORWARD(deserialize_map)                                                    \
    NV_MSGPACK_FORWARD(deserialize_ignored_any)                                            \
    template <class V>                                                                     \
    DeResult<typename V::Value> deserialize_tuple(size_t, V& v) { return deserialize_any(v); } \
    template <class V>                                                                     \
    DeResult<typename V::Value> deserialize_struct(std::string_view, std::span<const std::string_view>, V& v) { \
        return deserialize_any(v);                                                         \
    }                                                                                      \
    template <class V>                                                                     \
    DeResult<typename V::Value> deserialize_enum(std::string_view, std::span<const std::string_view>, V& v) { \
        return deserialize_any(v);                                                         \
    }

    template <class V>
    DeResult<typename V::Value> deserialize_any(V& v) { return v.visit_u64(b_); }
    NV_MSGPACK_FORWARD_ALL

private:
    uint8_t b_;
};

class ByteSeqAccess {
public:
    explicit ByteSeqAccess(std::string_view bytes) : bytes_(bytes) {}
    std::optional<size_t> size_hint() const { return bytes_.size() - i_; }
    template <class F>
    DeResult<bool> next_element(F&& f) {
        if (i_ >= bytes_.size()) return false;
        ByteDe d{uint8_t(bytes_[i_++])};
        NV_CHECK(f(d));
        return true;
    }

private:
    std::string_view bytes_;
    size_t i_ = 0;
};

class ExtDe;

// An element of an extension's content: its type (as i64), then its data (as bytes).
class ExtPartDe {
public:
    explicit ExtPartDe(ExtDe& ext) : ext_(ext) {}
    template <class V>
    DeResult<typename V::Value> deserialize_any(V& v);
    NV_MSGPACK_FORWARD_ALL

private:
    ExtDe& ext_;
};

// An extension item as a newtype struct; its content is the sequence [type, data].
class ExtDe {
public:
    ExtDe(Deserializer& d, uint32_t len) : d_(d), len_(len) {}

    template <class V>
    DeResult<typename V::Value> deserialize_any(V& v) { return v.visit_seq(*this); }
    NV_MSGPACK_FORWARD_ALL

    std::optional<size_t> size_hint() const { return size_t(2 - state_); }
    template <class F>
    DeResult<bool> next_element(F&& f) {
        if (state_ >= 2) return false;
        ExtPartDe part(*this);
        NV_CHECK(f(part));
        return true;
    }

private:
    friend class ExtPartDe;
    Deserializer& d_;
    uint32_t len_;
    int state_ = 0;
};

// ---- the deserializer -------------------------------------------------------------

class Deserializer {
public:
    explicit Deserializer(std::string_view data, int depth = kDepthLimit)
        : begin_(reinterpret_cast<const uint8_t*>(data.data())),
          p_(reinterpret_cast<const uint8_t*>(data.data())),
          end_(reinterpret_cast<const uint8_t*>(data.data()) + data.size()),
          depth_(depth),
          room_(data.size()) {}

    // ---- low-level access ----------------------------------------------------
    size_t remaining() const { return size_t(end_ - p_); }
    std::string_view input() const { return {reinterpret_cast<const char*>(begin_), size_t(end_ - begin_)}; }
    const uint8_t* cursor() const { return p_; }
    void advance(size_t n) { p_ += n; }
    bool has_pending() const { return pending_ >= 0; }

    // The next marker: the one kept back by a peek, or the next byte.
    [[gnu::always_inline]] DeResult<uint8_t> take_marker() {
        if (pending_ >= 0) {
            uint8_t m = uint8_t(pending_);
            pending_ = -1;
            return m;
        }
        if (p_ == end_) [[unlikely]] return de::fail(marker_eof());
        return *p_++;
    }
    // Reads the next marker and keeps it back for the next take.
    DeResult<uint8_t> peek_marker() {
        if (pending_ < 0) {
            if (p_ == end_) [[unlikely]] return de::fail(marker_eof());
            pending_ = *p_++;
        }
        return uint8_t(pending_);
    }
    void keep_marker(uint8_t m) { pending_ = m; }
    void drop_marker() { pending_ = -1; }

    // Big-endian data of n bytes (1, 2, 4 or 8).
    template <class T>
    [[gnu::always_inline]] DeResult<T> data() {
        if (remaining() < sizeof(T)) [[unlikely]] return de::fail(data_eof());
        T v;
        std::memcpy(&v, p_, sizeof(T));
        p_ += sizeof(T);
        if constexpr (sizeof(T) > 1) v = std::byteswap(v);
        return v;
    }
    [[gnu::always_inline]] DeResult<std::string_view> bytes(uint64_t n) {
        if (remaining() < n) [[unlikely]] return de::fail(data_eof());
        std::string_view s(reinterpret_cast<const char*>(p_), size_t(n));
        p_ += n;
        return s;
    }

    // Length that follows a str, bin, array, map or ext marker (fixed forms
    // carry it in the marker).
    [[gnu::always_inline]] DeResult<uint32_t> str_len(uint8_t m) {
        if (m >= 0xa0 && m <= 0xbf) return uint32_t(m & 0x1f);
        if (m == 0xd9) return uint32_t(NV_TRY(data<uint8_t>()));
        if (m == 0xda) return uint32_t(NV_TRY(data<uint16_t>()));
        return NV_TRY(data<uint32_t>());
    }
    [[gnu::always_inline]] DeResult<uint32_t> array_len(uint8_t m) {
        if (m <= 0x9f) return uint32_t(m & 0x0f);
        if (m == 0xdc) return uint32_t(NV_TRY(data<uint16_t>()));
        return NV_TRY(data<uint32_t>());
    }
    [[gnu::always_inline]] DeResult<uint32_t> map_len(uint8_t m) {
        if (m <= 0x8f) return uint32_t(m & 0x0f);
        if (m == 0xde) return uint32_t(NV_TRY(data<uint16_t>()));
        return NV_TRY(data<uint32_t>());
    }
    DeResult<uint32_t> bin_len(uint8_t m) {
        if (m == 0xc4) return uint32_t(NV_TRY(data<uint8_t>()));
        if (m == 0xc5) return uint32_t(NV_TRY(data<uint16_t>()));
        return NV_TRY(data<uint32_t>());
    }
    DeResult<uint32_t> ext_len(uint8_t m) {
        switch (m) {
            case 0xd4: return 1;
            case 0xd5: return 2;
            case 0xd6: return 4;
            case 0xd7: return 8;
            case 0xd8: return 16;
            case 0xc7: return uint32_t(NV_TRY(data<uint8_t>()));
            case 0xc8: return uint32_t(NV_TRY(data<uint16_t>()));
            default: return NV_TRY(data<uint32_t>());
        }
    }

    // Takes one level of the depth counter; fails when it reaches zero.
    DeResult<void> enter() {
        if (--depth_ == 0) [[unlikely]] return de::fail(depth_exceeded());
        return {};
    }
    void leave() { ++depth_; }
    int depth() const { return depth_; }

    // How many items to reserve for a container that declares n: every item
    // takes at least one byte, so all reservations of one read together never
    // exceed the size of the input, however the containers nest.
    size_t reserve_room(uint64_t n) {
        size_t k = n < room_ ? size_t(n) : room_;
        room_ -= k;
        return k;
    }

    // The body of a str of n bytes, checked as UTF-8 (on failure it is offered
    // to the visitor as bytes first).
    template <class V>
    DeResult<typename V::Value> visit_str_body(V& v, uint32_t n) {
        std::string_view s = NV_TRY(bytes(n));
        if (auto bad = check_text(s)) [[unlikely]] {
            auto r = v.visit_bytes(s);
            if (r) return r;
            return de::fail(utf8_error(*bad));
        }
        return v.visit_str(s);
    }

    // The one reading of a marker taken from the input: reads what follows it
    // for numbers and for the lengths of str, array and map, and makes exactly
    // one call of the handler:
    //   nil(), boolean(b), u64(v) for positive fixint and uint 8..64,
    //   i64(v) for negative fixint and int 8..64 (whatever the value),
    //   f64(v) for float 32 (widened) and float 64, str(len), array(len),
    //   map(len), and bin(m), ext(m), reserved(m) with the marker alone.
    template <class H>
    auto dispatch(uint8_t m, H& h) -> decltype(h.nil());

    // ---- deserializer ----------------------------------------------------------
    template <class V>
    DeResult<typename V::Value> any(V& v, bool allow_bytes);

    template <class V> DeResult<typename V::Value> deserialize_any(V& v) { return any(v, true); }
    template <class V> DeResult<typename V::Value> deserialize_bool(V& v) { return any(v, true); }
    template <class V> DeResult<typename V::Value> deserialize_i64(V& v) { return any(v, true); }
    template <class V> DeResult<typename V::Value> deserialize_u64(V& v) { return any(v, true); }
    template <class V> DeResult<typename V::Value> deserialize_f64(V& v) { return any(v, true); }
    template <class V> DeResult<typename V::Value> deserialize_str(V& v) { return any(v, true); }
    template <class V> DeResult<typename V::Value> deserialize_identifier(V& v) { return any(v, true); }
    template <class V> DeResult<typename V::Value> deserialize_unit(V& v) { return any(v, true); }
    template <class V> DeResult<typename V::Value> deserialize_map(V& v) { return any(v, true); }
    template <class V> DeResult<typename V::Value> deserialize_ignored_any(V& v) { return any(v, true); }
    template <class V> DeResult<typename V::Value> deserialize_seq(V& v) { return any(v, false); }
    template <class V> DeResult<typename V::Value> deserialize_tuple(size_t, V& v) { return any(v, false); }
    template <class V>
    DeResult<typename V::Value> deserialize_struct(std::string_view, std::span<const std::string_view>, V& v) {
        return any(v, false);
    }

    // nil is none; anything else is kept back and read as the content.
    template <class V>
    DeResult<typename V::Value> deserialize_option(V& v) {
        uint8_t m = NV_TRY(take_marker());
        if (m == 0xc0) return v.visit_none();
        keep_marker(m);
        return v.visit_some(*this);
    }

    template <class V>
    DeResult<typename V::Value> deserialize_enum(std::string_view, std::span<const std::string_view>, V& v);

private:
    template <class V>
    DeResult<typename V::Value> visit_array(V& v, uint32_t len);
    template <class V>
    DeResult<typename V::Value> visit_map(V& v, uint32_t len);

    const uint8_t* begin_;
    const uint8_t* p_;
    const uint8_t* end_;
    int depth_;
    int pending_ = -1;
    size_t room_;
};

// ---- accessors ----------------------------------------------------------------------

class SeqAccess {
public:
    SeqAccess(Deserializer& d, uint32_t left) : d_(d), left_(left) {}
    std::optional<size_t> size_hint() const { return left_; }
    uint32_t left() const { return left_; }
    template <class F>
    DeResult<bool> next_element(F&& f) {
        if (left_ == 0) return false;
        --left_;
        NV_CHECK(f(d_));
        return true;
    }

private:
    Deserializer& d_;
    uint32_t left_;
};

class MapAccess {
public:
    MapAccess(Deserializer& d, uint32_t left) : d_(d), left_(left) {}
    std::optional<size_t> size_hint() const { return left_; }
    uint32_t left() const { return left_; }
    template <class F>
    DeResult<bool> next_key(F&& f) {
        if (left_ == 0) return false;
        --left_;
        NV_CHECK(f(d_));
        return true;
    }
    template <class F>
    DeResult<void> next_value(F&& f) {
        return f(d_);
    }

private:
    Deserializer& d_;
    uint32_t left_;
};

// A union written as a map of one entry: the variant, then its content.
class VariantAccess {
public:
    explicit VariantAccess(Deserializer& d) : d_(d) {}
    template <class F>
    DeResult<VariantAccess> variant(F&& f) {
        NV_CHECK(f(d_));
        return *this;
    }
    // The content of a unit variant is exactly nil.
    DeResult<void> unit_variant() {
        d_.drop_marker();
        uint8_t m = NV_TRY(d_.take_marker());
        if (m != 0xc0) return de::fail(wrong_marker(m));
        return {};
    }
    template <class F>
    DeResult<void> newtype_variant(F&& f) {
        return f(d_);
    }
    template <class V>
    DeResult<typename V::Value> struct_variant(std::span<const std::string_view> fields, V& v) {
        return d_.deserialize_tuple(fields.size(), v);
    }

private:
    Deserializer& d_;
};

// ---- bodies -----------------------------------------------------------------------------

template <class V>
DeResult<typename V::Value> ExtPartDe::deserialize_any(V& v) {
    if (ext_.state_ == 0) {
        uint8_t type = NV_TRY(ext_.d_.data<uint8_t>());
        ext_.state_ = 1;
        return v.visit_i64(int8_t(type));
    }
    std::string_view body = NV_TRY(ext_.d_.bytes(ext_.len_));
    ext_.state_ = 2;
    return v.visit_bytes(body);
}

template <class V>
DeResult<typename V::Value> Deserializer::visit_array(V& v, uint32_t len) {
    NV_CHECK(enter());
    SeqAccess seq(*this, len);
    auto r = v.visit_seq(seq);
    if (!r) return r;
    leave();
    if (seq.left() != 0) return de::fail(length_mismatch(len - seq.left()));
    return r;
}

template <class V>
DeResult<typename V::Value> Deserializer::visit_map(V& v, uint32_t len) {
    NV_CHECK(enter());
    MapAccess map(*this, len);
    auto r = v.visit_map(map);
    if (!r) return r;
    leave();
    if (map.left() != 0) return de::fail(length_mismatch(len - map.left()));
    return r;
}

template <class H>
auto Deserializer::dispatch(uint8_t m, H& h) -> decltype(h.nil()) {
    if (m <= 0x7f) return h.u64(m);
    if (m >= 0xe0) return h.i64(int8_t(m));
    if (m <= 0x8f) return h.map(m & 0x0f);
    if (m <= 0x9f) return h.array(m & 0x0f);
    if (m <= 0xbf) return h.str(m & 0x1f);
    switch (m) {
        case 0xc0: return h.nil();
        case 0xc2: return h.boolean(false);
        case 0xc3: return h.boolean(true);
        case 0xc4:
        case 0xc5:
        case 0xc6: return h.bin(m);
        case 0xc7:
        case 0xc8:
        case 0xc9:
        case 0xd4:
        case 0xd5:
        case 0xd6:
        case 0xd7:
        case 0xd8: return h.ext(m);
        case 0xca: return h.f64(double(std::bit_cast<float>(NV_TRY(data<uint32_t>()))));
        case 0xcb: return h.f64(std::bit_cast<double>(NV_TRY(data<uint64_t>())));
        case 0xcc: return h.u64(NV_TRY(data<uint8_t>()));
        case 0xcd: return h.u64(NV_TRY(data<uint16_t>()));
        case 0xce: return h.u64(NV_TRY(data<uint32_t>()));
        case 0xcf: return h.u64(NV_TRY(data<uint64_t>()));
        case 0xd0: return h.i64(int8_t(NV_TRY(data<uint8_t>())));
        case 0xd1: return h.i64(int16_t(NV_TRY(data<uint16_t>())));
        case 0xd2: return h.i64(int32_t(NV_TRY(data<uint32_t>())));
        case 0xd3: return h.i64(int64_t(NV_TRY(data<uint64_t>())));
        case 0xd9:
        case 0xda:
        case 0xdb: return h.str(NV_TRY(str_len(m)));
        case 0xdc:
        case 0xdd: return h.array(NV_TRY(array_len(m)));
        case 0xde:
        case 0xdf: return h.map(NV_TRY(map_len(m)));
        default: return h.reserved(m);  // 0xc1
    }
}

template <class V>
DeResult<typename V::Value> Deserializer::any(V& v, bool allow_bytes) {
    using R = DeResult<typename V::Value>;
    struct Visit {
        Deserializer& d;
        V& v;
        bool allow_bytes;
        R nil() { return v.visit_unit(); }
        R boolean(bool b) { return v.visit_bool(b); }
        R u64(uint64_t n) { return v.visit_u64(n); }
        R i64(int64_t n) { return v.visit_i64(n); }
        R f64(double f) { return v.visit_f64(f); }
        R str(uint32_t n) { return d.visit_str_body(v, n); }
        R array(uint32_t n) { return d.visit_array(v, n); }
        R map(uint32_t n) { return d.visit_map(v, n); }
        R bin(uint8_t m) {
            uint32_t n = NV_TRY(d.bin_len(m));
            std::string_view b = NV_TRY(d.bytes(n));
            if (allow_bytes) return v.visit_bytes(b);
            ByteSeqAccess seq(b);
            return v.visit_seq(seq);
        }
        R ext(uint8_t m) {
            uint32_t n = NV_TRY(d.ext_len(m));
            NV_CHECK(d.enter());
            ExtDe ext(d, n);
            auto r = v.visit_newtype_struct(ext);
            if (r) d.leave();
            return r;
        }
        R reserved(uint8_t m) { return de::fail(wrong_marker(m)); }
    };
    const uint8_t m = NV_TRY(take_marker());
    Visit h{*this, v, allow_bytes};
    return dispatch(m, h);
}

// A map of one entry is a variant with content; a map of any other size fails;
// any other item is a bare variant identifier.
template <class V>
DeResult<typename V::Value> Deserializer::deserialize_enum(std::string_view, std::span<const std::string_view>,
                                                           V& v) {
    const uint8_t m = NV_TRY(peek_marker());
    if (is_map_marker(m)) {
        uint32_t len = NV_TRY(map_len(m));
        if (len != 1) return de::fail(length_mismatch(len));
        drop_marker();
        VariantAccess access(*this);
        return v.visit_enum(access);
    }
    de::UnitVariantAccess<Deserializer> access(*this);
    return v.visit_enum(access);
}

#undef NV_MSGPACK_FORWARD
#undef NV_MSGPACK_FORWARD_ALL

}  // namespace norvane::msgpack
