// Records tagged by one of their own members: {"kind":"map","values":...},
// {"t":"ack","id":1,...}, or an array whose first element is the tag.
//
// They are read the way an internally tagged union is read, in two steps:
//
// 1. the record is scanned once: the tag is read where it stands, a second tag fails
//    with "duplicate field", a missing one with "missing field", and every other member
//    (or element after the tag) is kept whole, as written;
// 2. the selected variant's fields are read from what was kept (read_tagged_fields).
//    Their failures have no position of their own: a reader of text places them where
//    the whole record ended.
//
// Step 1 reads from a parsed tree (read_tagged below) or from a source that streams
// (TaggedVisitor, given a way to keep a value whole; for JSON text, format/document.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/record/content_de.hpp"
#include "format/record/visitor.hpp"
#include "format/tree/tree.hpp"

namespace norvane::de {

struct TagSpec {
    std::string_view tag;        // the tag member's key: "kind", "t", "effect"
    std::string_view expecting;  // "internally tagged enum CrdtOp"
    std::span<const std::string_view> variants;
    // Any other name selects the variant variants.size() instead of failing.
    bool open = false;
    // A missing tag is left to the caller (Tagged::has_tag false), to be reported once the
    // whole record has been read, instead of failing where the record ends.
    bool defer_missing = false;
};

// What step 1 found.
struct Tagged {
    size_t idx = 0;  // the variant
    bool has_tag = false;
    bool is_seq = false;
    std::string_view tag;
    Content kept;                   // read from a stream: the members or elements kept
    const Content* node = nullptr;  // read from a tree: the record itself

    // The members other than the tag (object form).
    std::span<const Content::Member> members() const {
        return node ? std::span<const Content::Member>(node->members()) : kept.members();
    }
    // The elements after the tag (array form).
    std::span<const Content> items() const {
        return node ? std::span<const Content>(node->items()).subspan(1) : std::span<const Content>(kept.items());
    }
};

// The tag's value: a variant name (or, in a parsed tree, a variant index).
struct TagVisitor : Visitor<TagVisitor, size_t> {
    const TagSpec& spec;
    explicit TagVisitor(const TagSpec& s) : spec(s) {}
    std::string_view expecting() const { return "variant identifier"; }
    DeResult<size_t> visit_u64(uint64_t v) { return VariantIdVisitor(spec.variants).visit_u64(v); }
    DeResult<size_t> visit_str(std::string_view v) {
        if (spec.open) {
            for (size_t i = 0; i < spec.variants.size(); ++i)
                if (spec.variants[i] == v) return i;
            return spec.variants.size();
        }
        return VariantIdVisitor(spec.variants).visit_str(v);
    }
    DeResult<size_t> visit_bytes(std::string_view v) { return VariantIdVisitor(spec.variants).visit_bytes(v); }
};

template <class D>
DeResult<size_t> read_tag(D& d, const TagSpec& spec) {
    TagVisitor v(spec);
    return d.deserialize_identifier(v);
}

inline DeResult<void> missing_tag(const TagSpec& spec) {
    if (spec.defer_missing) return {};
    return fail(Error::missing_field(spec.tag));
}

// Step 1 over a source that streams: `keep(value_deserializer)` reads a value whole into
// a Content.
template <class Keep>
struct TaggedVisitor : Visitor<TaggedVisitor<Keep>, Tagged> {
    const TagSpec& spec;
    Keep& keep;
    TaggedVisitor(const TagSpec& s, Keep& k) : spec(s), keep(k) {}
    std::string_view expecting() const { return spec.expecting; }

    template <class A>
    DeResult<Tagged> visit_map(A& map) {
        Tagged t;
        t.tag = spec.tag;
        std::vector<Content::Member> kept;
        for (;;) {
            std::string key;
            if (!NV_TRY(next_string_key(map, key))) break;
            if (key == spec.tag) {
                if (t.has_tag) return fail(Error::duplicate_field(spec.tag));
                NV_CHECK(map.next_value([&](auto& d) -> DeResult<void> {
                    t.idx = NV_TRY(read_tag(d, spec));
                    return {};
                }));
                t.has_tag = true;
                continue;
            }
            NV_CHECK(map.next_value([&](auto& d) -> DeResult<void> {
                kept.emplace_back(std::move(key), NV_TRY(keep(d)));
                return {};
            }));
        }
        if (!t.has_tag) NV_CHECK(missing_tag(spec));
        t.kept = Content::map(std::move(kept));
        return t;
    }

    template <class A>
    DeResult<Tagged> visit_seq(A& seq) {
        Tagged t;
        t.tag = spec.tag;
        t.is_seq = true;
        t.has_tag = NV_TRY(seq.next_element([&](auto& d) -> DeResult<void> {
            t.idx = NV_TRY(read_tag(d, spec));
            return {};
        }));
        if (!t.has_tag) {
            NV_CHECK(missing_tag(spec));
            t.kept = Content::seq();
            return t;
        }
        std::vector<Content> kept;
        for (;;) {
            bool more = NV_TRY(seq.next_element([&](auto& d) -> DeResult<void> {
                kept.push_back(NV_TRY(keep(d)));
                return {};
            }));
            if (!more) break;
        }
        t.kept = Content::seq(std::move(kept));
        return t;
    }
};

// Step 1 over a parsed tree: nothing is copied; the result refers to the tree.
inline DeResult<Tagged> read_tagged(ContentDe<Content>& d, const TagSpec& spec) {
    const Content& node = d.node();
    Tagged t;
    t.tag = spec.tag;
    t.node = &node;
    if (node.kind() == NodeKind::Map) {
        for (const auto& [key, value] : node.members()) {
            if (key != spec.tag) continue;
            if (t.has_tag) return fail(Error::duplicate_field(spec.tag));
            ContentDe<Content> kd(value);
            t.idx = NV_TRY(read_tag(kd, spec));
            t.has_tag = true;
        }
        if (!t.has_tag) NV_CHECK(missing_tag(spec));
        return t;
    }
    if (node.kind() == NodeKind::Seq) {
        t.is_seq = true;
        if (node.items().empty()) {
            NV_CHECK(missing_tag(spec));
            t.node = nullptr;
            t.kept = Content::seq();
            return t;
        }
        ContentDe<Content> kd(node.items()[0]);
        t.idx = NV_TRY(read_tag(kd, spec));
        t.has_tag = true;
        return t;
    }
    return fail(Error::invalid_type(node_unexpected(node), spec.expecting));
}

// Step 2: the variant's fields, on_field(index, ContentDe<Content>&) reading each. In the
// array form `seq_defaulted` takes the place of the spec's defaulted fields, and elements
// beyond the last field fail once the fields were read.
template <class F>
DeResult<void> read_tagged_fields(const Tagged& t, const StructSpec& spec, uint64_t seq_defaulted, F&& on_field) {
    if (t.is_seq) {
        StructSpec all = spec;
        all.defaulted = seq_defaulted;
        StructVisitor<F> v(all, on_field);
        ContentDe<Content>::SeqAccess access(t.items());
        NV_CHECK(v.visit_seq(access));
        if (access.remaining())
            return fail(Error::invalid_length(t.items().size(), count_text(access.consumed(), "sequence")));
        return {};
    }
    StructVisitor<F> v(spec, on_field);
    ContentDe<Content>::MapAccess access(t.members(), &t.tag);
    return v.visit_map(access);
}

}  // namespace norvane::de
