// The fields of each known message kind, declared once.
//
// A kind's declaration lists its fields in their JSON order (the order the
// compact JSON writes them in, after "t"). Everything else is derived from it:
// which fields a reader requires (those whose type is not optional), the
// ascending byte order of the keys that the MessagePack and CBOR forms use
// (with "t" among them), and the number of members each written map has.
//
// An optional field reads null as absent. Absent, it is left out of every
// written form, unless declared `Absent::Null`, in which case it is written
// as null.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "format/record/fields.hpp"
#include "message/message.hpp"
#include "message/texts.hpp"

namespace norvane::message_fields {

enum class Absent : uint8_t { Omit, Null };

template <class M, class T>
struct Field {
    using Type = T;
    std::string_view name;
    T M::*member;
    Absent absent = Absent::Omit;
};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
inline constexpr bool kIsOptional = IsOptional<T>::value;

template <class M>
struct Decl;

template <>
struct Decl<SnapshotMessage> {
    using M = SnapshotMessage;
    static constexpr auto fields = std::tuple{
        Field<M, uint64_t>{"id", &M::id},
        Field<M, std::string>{"type", &M::type},
        Field<M, uint64_t>{"rev", &M::rev},
        Field<M, Value>{"value", &M::value},
    };
};

template <>
struct Decl<CrdtSnapshotMessage> {
    using M = CrdtSnapshotMessage;
    static constexpr auto fields = std::tuple{
        Field<M, uint64_t>{"id", &M::id},
        Field<M, std::string>{"type", &M::type},
        Field<M, uint64_t>{"rev", &M::rev},
        Field<M, Value>{"value", &M::value},
        Field<M, Document>{"spec", &M::spec},
        Field<M, Document>{"state", &M::state},
    };
};

template <>
struct Decl<PatchMessage> {
    using M = PatchMessage;
    static constexpr auto fields = std::tuple{
        Field<M, uint64_t>{"id", &M::id},
        Field<M, Patch>{"patch", &M::patch},
        Field<M, std::optional<std::string>>{"proposal", &M::proposal},
    };
};

template <>
struct Decl<CrdtMessage> {
    using M = CrdtMessage;
    static constexpr auto fields = std::tuple{
        Field<M, uint64_t>{"id", &M::id},
        Field<M, uint64_t>{"rev", &M::rev},
        Field<M, std::vector<Document>>{"ops", &M::ops},
        Field<M, std::optional<Document>>{"effect", &M::effect},
        Field<M, std::optional<std::string>>{"proposal", &M::proposal},
    };
};

template <>
struct Decl<AckMessage> {
    using M = AckMessage;
    static constexpr auto fields = std::tuple{
        Field<M, uint64_t>{"id", &M::id},
        Field<M, uint64_t>{"rev", &M::rev},
        Field<M, std::string>{"proposal", &M::proposal},
    };
};

template <>
struct Decl<RejectMessage> {
    using M = RejectMessage;
    static constexpr auto fields = std::tuple{
        Field<M, uint64_t>{"id", &M::id},
        Field<M, uint64_t>{"rev", &M::rev},
        Field<M, std::string>{"error", &M::error},
        Field<M, std::optional<std::string>>{"proposal", &M::proposal},
        Field<M, std::optional<std::vector<Document>>>{"crdt_ops", &M::crdt_ops},
    };
};

template <>
struct Decl<AwarenessMessage> {
    using M = AwarenessMessage;
    static constexpr auto fields = std::tuple{
        Field<M, uint64_t>{"id", &M::id},
        Field<M, std::optional<std::string>>{"peer", &M::peer},
        Field<M, std::optional<Document>>{"state", &M::state, Absent::Null},
    };
};

template <>
struct Decl<BatchMessage> {
    using M = BatchMessage;
    static constexpr auto fields = std::tuple{
        Field<M, std::vector<Message>>{"msgs", &M::msgs},
    };
};

// ---- what follows from a declaration ------------------------------------------

template <class M>
inline constexpr size_t kCount = record_fields::kCount<Decl<M>>;

// The kind whose typed form is M.
template <class M, size_t I = 0>
constexpr Message::Kind kind_of() {
    if constexpr (std::is_same_v<std::variant_alternative_t<I, Message::Rep>, M>) {
        return Message::Kind(I);
    } else {
        return kind_of<M, I + 1>();
    }
}

template <class M>
inline constexpr std::string_view kTag = Message::kTags[size_t(kind_of<M>())];

template <class M>
inline constexpr auto kNames = record_fields::kNames<Decl<M>>;

// Bit i: field i must be present.
template <class M>
constexpr unsigned required_mask() {
    return std::apply(
        [](const auto&... f) {
            unsigned mask = 0, bit = 1;
            ((mask |= kIsOptional<typename std::remove_cvref_t<decltype(f)>::Type> ? 0u : bit, bit <<= 1), ...);
            return mask;
        },
        Decl<M>::fields);
}

template <class M>
inline constexpr unsigned kRequired = required_mask<M>();

// The binary member order: field indices in ascending byte order of their
// names, with -1 standing for the tag "t".
template <class M>
constexpr std::array<int, kCount<M> + 1> sorted_order() {
    std::array<int, kCount<M> + 1> order{};
    for (size_t i = 0; i < kCount<M>; ++i) order[i] = int(i);
    order[kCount<M>] = -1;
    auto name = [](int i) { return i < 0 ? std::string_view("t") : kNames<M>[size_t(i)]; };
    std::sort(order.begin(), order.end(), [&](int a, int b) { return name(a) < name(b); });
    return order;
}

template <class M>
inline constexpr auto kSorted = sorted_order<M>();

// Calls f(field) for each field, in JSON order.
template <class M, class F>
constexpr void for_each_field(F&& f) {
    record_fields::for_each_field<Decl<M>>([&]<size_t, size_t I>() { f(std::get<I>(Decl<M>::fields)); });
}

// Calls f(field) for field index i (known at run time); returns its result.
template <class M, class F>
decltype(auto) with_field(size_t i, F&& f) {
    return record_fields::with_field<Decl<M>>(i, f);
}

// The index of the field with this name, or -1.
template <class M>
int field_index(std::string_view name) {
    return record_fields::field_index<Decl<M>>(name);
}

// Calls f.template operator()<M>() with the typed form of a known kind.
template <class F>
decltype(auto) with_kind(Message::Kind kind, F&& f) {
    using K = Message::Kind;
    switch (kind) {
        case K::Snapshot: return f.template operator()<SnapshotMessage>();
        case K::CrdtSnapshot: return f.template operator()<CrdtSnapshotMessage>();
        case K::Patch: return f.template operator()<PatchMessage>();
        case K::Crdt: return f.template operator()<CrdtMessage>();
        case K::Ack: return f.template operator()<AckMessage>();
        case K::Reject: return f.template operator()<RejectMessage>();
        case K::Awareness: return f.template operator()<AwarenessMessage>();
        case K::Batch: break;
        case K::Unknown: internal_fault(message_texts::kUnknownHasNoFields);
    }
    return f.template operator()<BatchMessage>();
}

}  // namespace norvane::message_fields
