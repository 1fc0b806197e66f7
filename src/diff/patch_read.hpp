// Readers of patches, operations and paths, written once against the record
// framework and used with every source format.
//
// A model value inside an operation is read in the source's own form: each
// deserializer type provides `de::DeResult<Value> read_model_value(D&)`, found
// by argument-dependent lookup.
#pragma once

#include <iterator>
#include <span>
#include <string_view>
#include <vector>

#include "diff/patch.hpp"
#include "diff/patch_fields.hpp"
#include "format/json/reader.hpp"
#include "format/record/content_de.hpp"
#include "format/record/visitor.hpp"
#include "value/json.hpp"

namespace norvane::json {
inline de::DeResult<Value> read_model_value(Reader& r) { return value_from_json(r); }
}  // namespace norvane::json

namespace norvane::de {
template <class T>
DeResult<Value> read_model_value(ContentDe<T>& d) { return value_from_tree(d.node()); }
}  // namespace norvane::de

namespace norvane::patch_read {

using de::DeResult;
namespace pf = patch_fields;

inline const de::EnumSpec kOpEnum{"Op", "enum Op", std::span<const std::string_view>(Op::kNames, 6)};
inline const de::EnumSpec kSegEnum{"PathSeg", "enum PathSeg", std::span<const std::string_view>(PathSeg::kNames, 2)};

// Reads one segment into `seg`, a default one (read in place: no moves of the
// result through the layers of the reader).
template <class D>
DeResult<void> read_segment_any(D& de, PathSeg& seg) {
    return de::read_enum<void>(de, kSegEnum, [&](size_t idx, auto& access) -> DeResult<void> {
        if (idx == 0) {
            NV_CHECK(access.newtype_variant([&](auto& d) -> DeResult<void> {
                seg.key = NV_TRY(de::read_string(d));
                return {};
            }));
            seg.kind = PathSeg::Kind::Key;
        } else {
            NV_CHECK(access.newtype_variant([&](auto& d) -> DeResult<void> {
                seg.index = NV_TRY(de::read_u64(d, "usize"));
                return {};
            }));
            seg.kind = PathSeg::Kind::Index;
        }
        return {};
    });
}

template <class D>
DeResult<void> read_segment_into(D& de, PathSeg& seg) {
    return read_segment_any(de, seg);
}

// A parsed tree: the usual {"Key": text} and {"Index": number} are taken as
// they are; anything else (and every failure) goes through the enum reader.
template <class T>
DeResult<void> read_segment_into(de::ContentDe<T>& d, PathSeg& seg) {
    const T& node = d.node();
    if (node.kind() == NodeKind::Map && node.members().size() == 1) {
        const auto& [name, v] = node.members().front();
        if (v.kind() == NodeKind::Str && name == PathSeg::kNames[0]) {
            seg.key = v.as_str();
            seg.kind = PathSeg::Kind::Key;
            return {};
        }
        if (v.kind() == NodeKind::U64 && name == PathSeg::kNames[1]) {
            seg.index = v.as_u64();
            seg.kind = PathSeg::Kind::Index;
            return {};
        }
    }
    return read_segment_any(d, seg);
}

// JSON text: a segment in its object form is read here directly, with the
// reader calls (and so the texts and positions) of the enum reader above;
// anything else goes through that reader.
inline DeResult<void> read_segment_into(json::Reader& r, PathSeg& seg) {
    namespace msg = json::msg;
    if (r.parse_whitespace() != '{') return read_segment_any(r, seg);
    return r.variant_object([&]() -> DeResult<void> {
        r.eat_char();
        const std::string_view name = NV_TRY(r.parse_str());
        if (name == PathSeg::kNames[0]) {
            NV_CHECK(r.parse_object_colon());
            if (r.parse_whitespace() == '"') {
                r.eat_char();
                seg.key.assign(NV_TRY(r.parse_str()));
            } else {
                seg.key = NV_TRY(de::read_string(r));
            }
            seg.kind = PathSeg::Kind::Key;
            return {};
        }
        if (name == PathSeg::kNames[1]) {
            NV_CHECK(r.parse_object_colon());
            seg.index = NV_TRY(de::read_u64(r, "usize"));
            seg.kind = PathSeg::Kind::Index;
            return {};
        }
        return de::fail(de::Error::unknown_variant(name, kSegEnum.variants));
    });
}

template <class D>
DeResult<PathSeg> read_segment(D& de) {
    PathSeg seg;
    NV_CHECK(read_segment_into(de, seg));
    return seg;
}

// The segments of the path being read gather here, reused from path to path
// on each thread, and move once into a path of exactly their number.
struct PathScratch {
    Path segs;
    bool busy = false;
};

inline PathScratch& path_scratch() {
    thread_local PathScratch scratch;
    return scratch;
}

// Holds the thread's path scratch (or a private one while it is taken).
class PathLease {
public:
    PathLease() : shared_(path_scratch()), scratch_(shared_.busy ? own_ : shared_) { scratch_.busy = true; }
    ~PathLease() {
        scratch_.segs.clear();
        if (scratch_.segs.capacity() > 256) Path().swap(scratch_.segs);
        scratch_.busy = false;
    }
    PathLease(const PathLease&) = delete;
    PathLease& operator=(const PathLease&) = delete;
    Path& segs() { return scratch_.segs; }

private:
    PathScratch& shared_;
    PathScratch own_;
    PathScratch& scratch_;
};

template <class D>
DeResult<Path> read_path(D& de) {
    PathLease lease;
    Path& segs = lease.segs();
    NV_CHECK(de::read_seq(de, [&](auto& d) -> DeResult<void> { return read_segment_into(d, segs.emplace_back()); }));
    return Path(std::make_move_iterator(segs.begin()), std::make_move_iterator(segs.end()));
}

template <class D>
DeResult<std::vector<uint64_t>> read_order(D& de) {
    std::vector<uint64_t> order;
    NV_CHECK(de::read_seq(de, [&](auto& d) -> DeResult<void> {
        order.push_back(NV_TRY(de::read_u64(d, "usize")));
        return {};
    }));
    return order;
}

template <class D>
DeResult<std::vector<Op>> read_ops(D& de);

// Reads one field's value, by the field's type.
template <class D>
DeResult<void> read_item(D& d, Path& out, std::string_view) {
    out = NV_TRY(read_path(d));
    return {};
}
template <class D>
DeResult<void> read_item(D& d, Value& out, std::string_view) {
    out = NV_TRY(read_model_value(d));
    return {};
}
template <class D>
DeResult<void> read_item(D& d, uint64_t& out, std::string_view integer) {
    out = NV_TRY(de::read_u64(d, integer));
    return {};
}
template <class D>
DeResult<void> read_item(D& d, std::vector<uint64_t>& out, std::string_view) {
    out = NV_TRY(read_order(d));
    return {};
}
template <class D>
DeResult<void> read_item(D& d, std::vector<Op>& out, std::string_view) {
    out = NV_TRY(read_ops(d));
    return {};
}

// Reads field `field` of record R (a declaration of patch_fields) into `record`.
template <class R, class T, class D>
DeResult<void> read_field(T& record, size_t field, D& d) {
    return pf::with_field<R>(field, [&](const auto& f) { return read_item(d, record.*f.member, f.integer); });
}

// Reads field `field` of an operation's content.
template <class D>
DeResult<void> read_op_field(Op& op, size_t field, D& d) {
    return pf::with_op_kind(op.kind, [&]<Op::Kind K>() { return read_field<pf::OpRecord<K>>(op, field, d); });
}

// Reads one operation into `op`, a default one.
template <class D>
DeResult<void> read_op_any(D& de, Op& op) {
    return de::read_enum<void>(de, kOpEnum, [&](size_t idx, auto& access) -> DeResult<void> {
        op.kind = Op::Kind(idx);
        return de::read_struct_variant(access, pf::op_spec(op.kind), [&](size_t field, auto& d) -> DeResult<void> {
            return read_op_field(op, field, d);
        });
    });
}

template <class D>
DeResult<void> read_op_into(D& de, Op& op) {
    return read_op_any(de, op);
}

// JSON text: the content of an operation in its object form, read with the
// reader calls of the record reader (a struct through the JSON map accessor),
// so with its texts and positions; the array form goes through that reader.
inline DeResult<void> read_op_content(json::Reader& r, Op& op) {
    const de::StructSpec& spec = pf::op_spec(op.kind);
    if (r.parse_whitespace() != '{') {
        json::VariantAccess access(r);
        return de::read_struct_variant(access, spec, [&](size_t field, json::Reader& d) -> DeResult<void> {
            return read_op_field(op, field, d);
        });
    }
    auto members = [&]() -> DeResult<void> {
        uint64_t seen = 0;
        bool first = true;
        while (NV_TRY(r.next_member(first))) {
            r.eat_char();
            const std::string_view name = NV_TRY(r.parse_str());
            size_t idx = 0;
            while (idx < spec.fields.size() && spec.fields[idx] != name) ++idx;
            if (idx == spec.fields.size()) {
                if (spec.deny_unknown) return de::fail(de::Error::unknown_field(name, spec.fields));
                NV_CHECK(r.parse_object_colon());
                NV_CHECK(de::ignore(r));
                continue;
            }
            if (seen >> idx & 1) return de::fail(de::Error::duplicate_field(spec.fields[idx]));
            seen |= uint64_t(1) << idx;
            NV_CHECK(r.parse_object_colon());
            NV_CHECK(read_op_field(op, idx, r));
        }
        for (size_t i = 0; i < spec.fields.size(); ++i)
            if (!(seen >> i & 1) && !(spec.defaulted >> i & 1)) return de::fail(de::Error::missing_field(spec.fields[i]));
        return {};
    };
    auto ret = [&]() -> DeResult<void> {
        NV_CHECK(r.enter());
        r.eat_char();
        auto body = members();
        r.leave();
        auto tail = r.end_map();
        if (!body) return body;
        return tail;
    }();
    if (!ret) r.fix_position(ret.error());
    return ret;
}

// JSON text: the object form of an operation is read here directly, with the
// reader calls of the enum reader above; anything else goes through it.
inline DeResult<void> read_op_into(json::Reader& r, Op& op) {
    namespace msg = json::msg;
    if (r.parse_whitespace() != '{') return read_op_any(r, op);
    return r.variant_object([&]() -> DeResult<void> {
        r.eat_char();
        const std::string_view name = NV_TRY(r.parse_str());
        size_t idx = 0;
        while (idx < kOpEnum.variants.size() && kOpEnum.variants[idx] != name) ++idx;
        if (idx == kOpEnum.variants.size()) return de::fail(de::Error::unknown_variant(name, kOpEnum.variants));
        NV_CHECK(r.parse_object_colon());
        op.kind = Op::Kind(idx);
        return read_op_content(r, op);
    });
}

template <class D>
DeResult<Op> read_op(D& de) {
    Op op;
    NV_CHECK(read_op_into(de, op));
    return op;
}

template <class D>
DeResult<std::vector<Op>> read_ops(D& de) {
    std::vector<Op> ops;
    NV_CHECK(de::read_seq(de, [&](auto& d) -> DeResult<void> { return read_op_into(d, ops.emplace_back()); }));
    return ops;
}

template <class D>
DeResult<Patch> read_patch(D& de) {
    using R = pf::Record<Patch>;
    Patch patch;
    NV_CHECK(de::read_struct(de, pf::kSpec<R>, [&](size_t field, auto& d) { return read_field<R>(patch, field, d); }));
    return patch;
}

}  // namespace norvane::patch_read
