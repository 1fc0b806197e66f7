// Readers of patches, operations and paths, written once against the record
// framework and used with every source format.
//
// A model value inside an operation is read in the source's own form: each
// deserializer type provides `de::DeResult<Value> read_model_value(D&)`, found
// by argument-dependent lookup.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "diff/patch.hpp"
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

inline constexpr std::string_view kPatchFields[] = {"rev", "ops"};
inline constexpr std::string_view kSetFields[] = {"path", "value"};
inline constexpr std::string_view kRemoveFields[] = {"path"};
inline constexpr std::string_view kInsertFields[] = {"path", "index", "value"};
inline constexpr std::string_view kRemoveAtFields[] = {"path", "index"};
inline constexpr std::string_view kMoveFields[] = {"path", "from", "to"};
inline constexpr std::string_view kReorderFields[] = {"path", "order"};

inline const de::StructSpec kPatchSpec{"Patch", "struct Patch", "struct Patch with 2 elements", kPatchFields};
inline const de::StructSpec kOpSpecs[] = {
    {"Set", "struct variant Op::Set", "struct variant Op::Set with 2 elements", kSetFields},
    {"Remove", "struct variant Op::Remove", "struct variant Op::Remove with 1 element", kRemoveFields},
    {"Insert", "struct variant Op::Insert", "struct variant Op::Insert with 3 elements", kInsertFields},
    {"RemoveAt", "struct variant Op::RemoveAt", "struct variant Op::RemoveAt with 2 elements", kRemoveAtFields},
    {"Move", "struct variant Op::Move", "struct variant Op::Move with 3 elements", kMoveFields},
    {"Reorder", "struct variant Op::Reorder", "struct variant Op::Reorder with 2 elements", kReorderFields},
};
inline const de::EnumSpec kOpEnum{"Op", "enum Op", std::span<const std::string_view>(Op::kNames, 6)};
inline const de::EnumSpec kSegEnum{"PathSeg", "enum PathSeg", std::span<const std::string_view>(PathSeg::kNames, 2)};

template <class D>
DeResult<PathSeg> read_segment(D& de) {
    return de::read_enum<PathSeg>(de, kSegEnum, [](size_t idx, auto& access) -> DeResult<PathSeg> {
        PathSeg seg;
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
        return seg;
    });
}

template <class D>
DeResult<Path> read_path(D& de) {
    Path path;
    NV_CHECK(de::read_seq(de, [&](auto& d) -> DeResult<void> {
        path.push_back(NV_TRY(read_segment(d)));
        return {};
    }));
    return path;
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
DeResult<Op> read_op(D& de) {
    return de::read_enum<Op>(de, kOpEnum, [](size_t idx, auto& access) -> DeResult<Op> {
        Op op;
        op.kind = Op::Kind(idx);
        const de::StructSpec& spec = kOpSpecs[idx];
        NV_CHECK(de::read_struct_variant(access, spec, [&](size_t field, auto& d) -> DeResult<void> {
            std::string_view name = spec.fields[field];
            if (name == "path") {
                op.path = NV_TRY(read_path(d));
            } else if (name == "value") {
                op.value = NV_TRY(read_model_value(d));
            } else if (name == "index") {
                op.index = NV_TRY(de::read_u64(d, "usize"));
            } else if (name == "from") {
                op.from = NV_TRY(de::read_u64(d, "usize"));
            } else if (name == "to") {
                op.to = NV_TRY(de::read_u64(d, "usize"));
            } else {
                op.order = NV_TRY(read_order(d));
            }
            return {};
        }));
        return op;
    });
}

template <class D>
DeResult<std::vector<Op>> read_ops(D& de) {
    std::vector<Op> ops;
    NV_CHECK(de::read_seq(de, [&](auto& d) -> DeResult<void> {
        ops.push_back(NV_TRY(read_op(d)));
        return {};
    }));
    return ops;
}

template <class D>
DeResult<Patch> read_patch(D& de) {
    Patch patch;
    NV_CHECK(de::read_struct(de, kPatchSpec, [&](size_t field, auto& d) -> DeResult<void> {
        if (field == 0) {
            patch.rev = NV_TRY(de::read_u64(d, "u64"));
        } else {
            patch.ops = NV_TRY(read_ops(d));
        }
        return {};
    }));
    return patch;
}

}  // namespace norvane::patch_read
