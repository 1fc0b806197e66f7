// The writer of patches, operations and paths, written once over the field declarations
// (patch_fields.hpp) and used by every form.
//
// A form is an output W that says how each shape is written:
//
//   kNamedFields           false: a record is an array of its field values (MessagePack)
//   kSortedFields          true: named fields in ascending byte order of their names
//                          (the generic document of a message); otherwise declared order
//   begin_union<N>()       a union as a map of one entry, from the variant name N::value
//   end_union()              to the content that follows
//   begin_record(n)        a record of n fields; field<P, N>() before the value of the
//   field<P, N>()            field named N::value, the P-th written
//   end_record()
//   begin_list(n)          a list of n items; item(i) before the i-th
//   item(i)
//   end_list()
//   u64(v), text(s), value(v)
//
// Names are types (patch_fields' RecordName, FieldName, SegName), so that a form can
// build what it writes around a name at compile time.
//
// An operation is a union from its variant name to the record of its fields; a path a
// list of segments, each a union from "Key" to the key or from "Index" to the position;
// a patch the record {rev, ops}.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "diff/patch.hpp"
#include "diff/patch_fields.hpp"

namespace norvane::patch_write {

namespace pf = patch_fields;

// Appends the text T::value, known at compile time, in one step.
template <class T>
[[gnu::always_inline]] inline void append_text(std::string& out) {
    constexpr std::string_view text = T::value;
    const size_t len = out.size();
    out.resize_and_overwrite(len + text.size(), [&](char* p, size_t) {
        std::memcpy(p + len, text.data(), text.size());
        return len + text.size();  // not the size passed in: GCC 12 passes the new capacity
    });
}

// Names known at compile time in the binary forms, each written in one step: the head of
// a union (a map of one entry) with its variant name, and a name alone. The names are
// short: a MessagePack fixstr, a CBOR text whose length fits its initial byte.
template <class N>
void msgpack_union_head(std::string& out) {
    static_assert(N::value.size() < 32);
    append_text<pf::Joined<pf::Chars<char(0x81), char(0xa0 + N::value.size())>, N>>(out);
}
template <class N>
void msgpack_name(std::string& out) {
    static_assert(N::value.size() < 32);
    append_text<pf::Joined<pf::Chars<char(0xa0 + N::value.size())>, N>>(out);
}
template <class N>
void cbor_union_head(std::string& out) {
    static_assert(N::value.size() < 24);
    append_text<pf::Joined<pf::Chars<char(0xa1), char(0x60 + N::value.size())>, N>>(out);
}
template <class N>
void cbor_name(std::string& out) {
    static_assert(N::value.size() < 24);
    append_text<pf::Joined<pf::Chars<char(0x60 + N::value.size())>, N>>(out);
}

template <class W>
void write_path(W& w, const Path& path) {
    w.begin_list(path.size());
    size_t i = 0;
    for (const PathSeg& seg : path) {
        w.item(i++);
        if (seg.kind == PathSeg::Kind::Key) {
            w.template begin_union<pf::SegName<PathSeg::Kind::Key>>();
            w.text(seg.key);
        } else {
            w.template begin_union<pf::SegName<PathSeg::Kind::Index>>();
            w.u64(seg.index);
        }
        w.end_union();
    }
    w.end_list();
}

template <class W>
void write_op(W& w, const Op& op);

// One field's value, by the field's type.
template <class W>
void write_item(W& w, uint64_t v) {
    w.u64(v);
}
template <class W>
void write_item(W& w, const Value& v) {
    w.value(v);
}
template <class W>
void write_item(W& w, const Path& path) {
    write_path(w, path);
}
template <class W>
void write_item(W& w, const std::vector<uint64_t>& items) {
    w.begin_list(items.size());
    size_t i = 0;
    for (uint64_t v : items) {
        w.item(i++);
        w.u64(v);
    }
    w.end_list();
}
template <class W>
void write_item(W& w, const std::vector<Op>& ops) {
    w.begin_list(ops.size());
    size_t i = 0;
    for (const Op& op : ops) {
        w.item(i++);
        write_op(w, op);
    }
    w.end_list();
}

// The fields of record R (a declaration of patch_fields) of `record`.
template <class R, class W, class T>
void write_record(W& w, const T& record) {
    w.begin_record(pf::kCount<R>);
    pf::for_each_field<R, W::kNamedFields && W::kSortedFields>([&]<size_t P, size_t I>() {
        w.template field<P, pf::FieldName<R, I>>();
        write_item(w, record.*std::get<I>(R::fields).member);
    });
    w.end_record();
}

template <class W>
void write_op(W& w, const Op& op) {
    pf::with_op_kind(op.kind, [&]<Op::Kind K>() {
        using R = pf::OpRecord<K>;
        w.template begin_union<pf::RecordName<R>>();
        write_record<R>(w, op);
        w.end_union();
    });
}

template <class W>
void write_patch(W& w, const Patch& patch) {
    write_record<pf::Record<Patch>>(w, patch);
}

}  // namespace norvane::patch_write
