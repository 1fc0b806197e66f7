// Records tagged by a "kind" key, read by the one tagged-record reader of
// format/record/tagged.hpp: the kind is read where it stands (from JSON text it must be a
// string; from an already parsed tree a variant index is accepted too) and every other
// member is taken whole; the variant's fields are then read from what was taken, so their
// errors carry the position reached after the whole value.
//
// Also: records whose object and array forms default different fields.
#pragma once

#include <span>
#include <string_view>

#include "format/document.hpp"
#include "format/json/reader.hpp"
#include "format/record/content_de.hpp"
#include "format/record/tagged.hpp"
#include "format/record/visitor.hpp"

namespace norvane::crdt::tagged {

using de::DeResult;
using de::Error;
using de::Tagged;

inline constexpr std::string_view kTag = "kind";

struct TagSpec {
    std::string_view expecting;  // "internally tagged enum CrdtOp"
    std::span<const std::string_view> variants;

    de::TagSpec kind_tag() const { return {kTag, expecting, variants}; }
};

inline DeResult<Tagged> read_tagged(json::Reader& r, const TagSpec& spec) { return de::read_tagged(r, spec.kind_tag()); }

inline DeResult<Tagged> read_tagged(de::ContentDe<Content>& d, const TagSpec& spec) {
    return de::read_tagged(d, spec.kind_tag());
}

// Reads the variant's fields. `seq_defaulted` replaces the spec's defaulted
// mask for the array form.
template <class F>
DeResult<void> read_fields(const Tagged& t, const de::StructSpec& spec, uint64_t seq_defaulted, F&& on_field) {
    return de::read_tagged_fields(t, spec, seq_defaulted, on_field);
}

// A plain record whose array form defaults other fields than its object form.
template <class F>
struct SplitStructVisitor : de::Visitor<SplitStructVisitor<F>, void> {
    const de::StructSpec& spec;
    de::StructSpec seq_spec;
    F& on_field;
    SplitStructVisitor(const de::StructSpec& s, uint64_t seq_defaulted, F& f) : spec(s), seq_spec(s), on_field(f) {
        seq_spec.defaulted = seq_defaulted;
    }
    std::string_view expecting() const { return spec.expecting; }
    template <class A>
    DeResult<void> visit_seq(A& seq) {
        de::StructVisitor<F> v(seq_spec, on_field);
        return v.visit_seq(seq);
    }
    template <class A>
    DeResult<void> visit_map(A& map) {
        de::StructVisitor<F> v(spec, on_field);
        return v.visit_map(map);
    }
};

template <class D, class F>
DeResult<void> read_struct_split(D& de, const de::StructSpec& spec, uint64_t seq_defaulted, F&& on_field) {
    SplitStructVisitor<F> v(spec, seq_defaulted, on_field);
    return de.deserialize_struct(spec.name, spec.fields, v);
}

}  // namespace norvane::crdt::tagged
