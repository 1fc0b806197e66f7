// Readers of the small records shared by operations and saved state: Dot,
// ElementId, path segments and paths, over JSON text or a parsed tree.
#pragma once

#include "crdt/reducer/model.hpp"
#include "crdt/reducer/tagged.hpp"
#include "diff/patch_read.hpp"

namespace norvane::crdt::records {

using de::DeResult;

inline constexpr std::string_view kDotFields[] = {"counter", "replica"};
inline constexpr std::string_view kElementIdFields[] = {"dot", "index"};
inline const de::StructSpec kDotSpec{"Dot", "struct Dot", "struct Dot with 2 elements", kDotFields, 0, true};
inline const de::StructSpec kElementIdSpec{"ElementId", "struct ElementId", "struct ElementId with 2 elements",
                                           kElementIdFields, 0, true};

template <class D>
DeResult<Dot> read_dot(D& de) {
    Dot d;
    NV_CHECK(de::read_struct(de, kDotSpec, [&](size_t f, auto& x) -> DeResult<void> {
        if (f == 0)
            d.counter = NV_TRY(de::read_u64(x, "u64"));
        else
            d.replica = InternScope::table().intern(NV_TRY(de::read_string(x)));
        return {};
    }));
    return d;
}

template <class D>
DeResult<ElementId> read_element_id(D& de) {
    ElementId id;
    NV_CHECK(de::read_struct(de, kElementIdSpec, [&](size_t f, auto& x) -> DeResult<void> {
        if (f == 0)
            id.dot = NV_TRY(read_dot(x));
        else
            id.index = NV_TRY(de::read_u32(x));
        return {};
    }));
    return id;
}

inline constexpr std::string_view kKeyFields[] = {"key"};
inline constexpr std::string_view kIdFields[] = {"id"};
inline const de::StructSpec kSegmentSpecs[] = {
    {"Key", "struct variant CrdtPathSegment::Key", "struct variant CrdtPathSegment::Key with 1 element", kKeyFields,
     0, true},
    {"Member", "struct variant CrdtPathSegment::Member", "struct variant CrdtPathSegment::Member with 1 element",
     kKeyFields, 0, true},
    {"Element", "struct variant CrdtPathSegment::Element", "struct variant CrdtPathSegment::Element with 1 element",
     kIdFields, 0, true},
};
inline const tagged::TagSpec kSegmentTag{"internally tagged enum CrdtPathSegment",
                                         std::span<const std::string_view>(kSegmentKindNames, 3)};

template <class D>
DeResult<PathSegment> read_segment(D& de) {
    auto t = NV_TRY(tagged::read_tagged(de, kSegmentTag));
    PathSegment seg;
    seg.kind = PathSegment::Kind(t.idx);
    NV_CHECK(tagged::read_fields(t, kSegmentSpecs[t.idx], 0, [&](size_t, auto& x) -> DeResult<void> {
        if (seg.kind == PathSegment::Kind::Element)
            seg.id = NV_TRY(read_element_id(x));
        else
            seg.key = NV_TRY(de::read_string(x));
        return {};
    }));
    return seg;
}

template <class D>
DeResult<CrdtPath> read_path(D& de) {
    CrdtPath path;
    NV_CHECK(de::read_seq(de, [&](auto& e) -> DeResult<void> {
        path.push_back(NV_TRY(read_segment(e)));
        return {};
    }));
    return path;
}

struct FrontierVisitor : de::Visitor<FrontierVisitor, Frontier> {
    std::string_view expecting() const { return "a map"; }
    template <class A>
    DeResult<Frontier> visit_map(A& map) {
        Frontier f;
        for (;;) {
            std::string key;
            if (!NV_TRY(de::next_string_key(map, key))) break;
            uint64_t v = 0;
            NV_CHECK(map.next_value([&](auto& d) -> DeResult<void> {
                v = NV_TRY(de::read_u64(d, "u64"));
                return {};
            }));
            f.insert_or_assign(std::move(key), v);
        }
        return f;
    }
};

}  // namespace norvane::crdt::records
