// Records tagged by one of their own members ({"t":"ack","id":1,...}), read
// from JSON text in two passes, because the tag may stand anywhere:
//
// 1. the structure, on the text: an object (members in text order) or an
//    array whose first element is the tag. The tag member is read as a
//    variant name when it is met; every other member or element is kept as
//    parsed content. Failures here carry the reader's position.
// 2. the fields of the selected variant, over what was kept (read_fields).
//    Failures here have no position: the text has been read by then.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "format/json/reader.hpp"
#include "format/record/content_de.hpp"
#include "format/record/visitor.hpp"
#include "format/tree/tree.hpp"

namespace norvane::client {

struct TagSpec {
    std::string_view tag;        // the tag member's key
    std::string_view expecting;  // "internally tagged enum ClientMessage"
    std::span<const std::string_view> variants;
    // true: any other tag text selects the variant variants.size();
    // false: it fails with "unknown variant".
    bool other = false;
};

struct Tagged {
    size_t variant = 0;
    Content rest;  // a map (object form) or a sequence (array form)
};

// Phase 1 at the reader's position (the reader's nesting budget applies to
// the record itself and to everything kept).
de::DeResult<Tagged> read_tagged(json::Reader& r, const TagSpec& spec);

// Phase 2: the fields of the variant from what phase 1 kept. In the object
// form, fields marked in `spec.defaulted` may be left out; in the array form
// every field must have its element. A surplus of elements fails after the
// fields were read.
template <class OnField>
de::DeResult<void> read_fields(const Content& rest, const de::StructSpec& spec, OnField&& on_field) {
    de::StructSpec all = spec;
    if (rest.kind() == NodeKind::Seq) all.defaulted = 0;
    de::ContentDe<Content> d(rest);
    return de::read_struct(d, all, on_field);
}

}  // namespace norvane::client
