// The fields of a patch, of each patch operation and of a path segment, declared once.
//
// A record's declaration (format/record/fields.hpp) lists its fields in declared order: the
// order in which the JSON and CBOR forms write them, and the order of the values when the
// record is given as an array (as the MessagePack form writes it). Everything else is derived from it: the
// readers' field tables and record texts (patch_read.hpp), the ascending byte order of the
// names that the generic document form of a message uses, and the writers of every form
// (patch_write.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "diff/patch.hpp"
#include "format/record/fields.hpp"
#include "format/record/visitor.hpp"

namespace norvane::patch_fields {

template <class R, class T>
struct Field {
    using Record = R;
    using Type = T;
    std::string_view name;
    T R::*member;
    // The type an unsigned field names in reader texts: "usize" for list positions.
    std::string_view integer = "usize";
};

template <class D>
struct Record;

template <>
struct Record<Patch> {
    static constexpr std::string_view kName = "Patch";
    static constexpr auto fields = std::tuple{
        Field<Patch, uint64_t>{"rev", &Patch::rev, "u64"},
        Field<Patch, std::vector<Op>>{"ops", &Patch::ops},
    };
};

// The operations, one declaration per variant.
template <Op::Kind K>
struct OpName {
    static constexpr Op::Kind kKind = K;
    static constexpr std::string_view kName = Op::kNames[size_t(K)];
};

template <Op::Kind K>
struct OpRecord;

template <>
struct OpRecord<Op::Kind::Set> : OpName<Op::Kind::Set> {
    static constexpr auto fields = std::tuple{
        Field<Op, Path>{"path", &Op::path},
        Field<Op, Value>{"value", &Op::value},
    };
};

template <>
struct OpRecord<Op::Kind::Remove> : OpName<Op::Kind::Remove> {
    static constexpr auto fields = std::tuple{
        Field<Op, Path>{"path", &Op::path},
    };
};

template <>
struct OpRecord<Op::Kind::Insert> : OpName<Op::Kind::Insert> {
    static constexpr auto fields = std::tuple{
        Field<Op, Path>{"path", &Op::path},
        Field<Op, uint64_t>{"index", &Op::index},
        Field<Op, Value>{"value", &Op::value},
    };
};

template <>
struct OpRecord<Op::Kind::RemoveAt> : OpName<Op::Kind::RemoveAt> {
    static constexpr auto fields = std::tuple{
        Field<Op, Path>{"path", &Op::path},
        Field<Op, uint64_t>{"index", &Op::index},
    };
};

template <>
struct OpRecord<Op::Kind::Move> : OpName<Op::Kind::Move> {
    static constexpr auto fields = std::tuple{
        Field<Op, Path>{"path", &Op::path},
        Field<Op, uint64_t>{"from", &Op::from},
        Field<Op, uint64_t>{"to", &Op::to},
    };
};

template <>
struct OpRecord<Op::Kind::Reorder> : OpName<Op::Kind::Reorder> {
    static constexpr auto fields = std::tuple{
        Field<Op, Path>{"path", &Op::path},
        Field<Op, std::vector<uint64_t>>{"order", &Op::order},
    };
};

// Path segments: a one-entry union from "Key" to a text or from "Index" to a position.
template <PathSeg::Kind K>
struct SegName {
    static constexpr std::string_view value = PathSeg::kNames[size_t(K)];
};

// ---- what follows from a declaration ------------------------------------------

using record_fields::kCount;
using record_fields::kNames;
using record_fields::for_each_field;
using record_fields::with_field;

// Names as types, for writers that build what they write around a name at compile time.
template <class D>
struct RecordName {
    static constexpr std::string_view value = D::kName;
};
template <class D, size_t I>
struct FieldName {
    static constexpr std::string_view value = kNames<D>[I];
};

// Calls f.template operator()<K>() for the operation kind.
template <class F>
decltype(auto) with_op_kind(Op::Kind kind, F&& f) {
    using K = Op::Kind;
    switch (kind) {
        case K::Set: return f.template operator()<K::Set>();
        case K::Remove: return f.template operator()<K::Remove>();
        case K::Insert: return f.template operator()<K::Insert>();
        case K::RemoveAt: return f.template operator()<K::RemoveAt>();
        case K::Move: return f.template operator()<K::Move>();
        case K::Reorder: break;
    }
    return f.template operator()<K::Reorder>();
}

// ---- texts built at compile time ----------------------------------------------

// A short text assembled at compile time.
struct Text {
    char data[64]{};
    size_t size = 0;
    constexpr Text& operator+=(std::string_view s) {
        for (char c : s) data[size++] = c;
        return *this;
    }
    constexpr Text& operator+=(size_t n) {
        char digits[20];
        size_t k = 0;
        do digits[k++] = char('0' + n % 10);
        while ((n /= 10) != 0);
        while (k) data[size++] = digits[--k];
        return *this;
    }
    constexpr std::string_view view() const { return {data, size}; }
};

// The texts `Parts::value...` joined at compile time, as `value`.
template <class... Parts>
struct Joined {
    static constexpr Text kText = [] {
        Text t;
        ((t += Parts::value), ...);
        return t;
    }();
    static constexpr std::string_view value = kText.view();
};

// Characters as a part of Joined.
template <char... C>
struct Chars {
    static constexpr char kData[] = {C...};
    static constexpr std::string_view value{kData, sizeof...(C)};
};

// The readers' record texts: "struct Patch", "struct variant Op::Set".
template <class D>
inline constexpr Text kExpecting = [] {
    Text t;
    t += requires { D::kKind; } ? "struct variant Op::" : "struct ";
    t += D::kName;
    return t;
}();

// "struct Patch with 2 elements", "struct variant Op::Remove with 1 element".
template <class D>
inline constexpr Text kLengthText = [] {
    Text t = kExpecting<D>;
    t += " with ";
    t += kCount<D>;
    t += kCount<D> == 1 ? " element" : " elements";
    return t;
}();

template <class D>
inline const de::StructSpec kSpec{D::kName, kExpecting<D>.view(), kLengthText<D>.view(),
                                  std::span<const std::string_view>(kNames<D>)};

// The record of an operation kind known at run time.
inline const de::StructSpec& op_spec(Op::Kind kind) {
    return with_op_kind(kind, []<Op::Kind K>() -> const de::StructSpec& { return kSpec<OpRecord<K>>; });
}

}  // namespace norvane::patch_fields
