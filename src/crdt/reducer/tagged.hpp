// Records tagged by a "kind" key, read the way the JSON library reads
// internally tagged unions: the value is scanned once, the kind is read where
// it stands (from JSON text it must be a string; from an already parsed tree a
// variant index is accepted too) and every other member is taken whole; the
// variant's fields are then read from what was taken, so their errors carry
// the position reached after the whole value.
//
// Also: records whose object and array forms default different fields.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/document.hpp"
#include "format/json/reader.hpp"
#include "format/record/content_de.hpp"
#include "format/record/visitor.hpp"
#include "format/tree/tree.hpp"

namespace norvane::crdt::tagged {

using de::DeResult;
using de::Error;

struct TagSpec {
    std::string_view expecting;  // "internally tagged enum CrdtOp"
    std::span<const std::string_view> variants;
};

// The kind and the remaining members (object form) or elements (array form).
struct Tagged {
    size_t idx = 0;
    bool is_seq = false;
    std::vector<Content::Member> owned_members;
    std::vector<Content> owned_items;
    std::vector<const Content::Member*> members;
    std::vector<const Content*> items;
};

inline constexpr std::string_view kTag = "kind";

struct TextVisitor : de::Visitor<TextVisitor, Tagged> {
    const TagSpec& spec;
    explicit TextVisitor(const TagSpec& s) : spec(s) {}
    std::string_view expecting() const { return spec.expecting; }

    DeResult<size_t> read_kind(json::Reader& r) const {
        de::VariantIdVisitor v(spec.variants);
        return r.deserialize_identifier(v);
    }

    DeResult<Tagged> visit_map(json::MapAccess& map) {
        Tagged t;
        bool have = false;
        for (;;) {
            std::string key;
            if (!NV_TRY(de::next_string_key(map, key))) break;
            if (key == kTag) {
                if (have) return de::fail(Error::duplicate_field(kTag));
                NV_CHECK(map.next_value([&](json::Reader& r) -> DeResult<void> {
                    t.idx = NV_TRY(read_kind(r));
                    return {};
                }));
                have = true;
            } else {
                Content c;
                NV_CHECK(map.next_value([&](json::Reader& r) -> DeResult<void> {
                    c = NV_TRY(read_content(r));
                    return {};
                }));
                t.owned_members.emplace_back(std::move(key), std::move(c));
            }
        }
        if (!have) return de::fail(Error::missing_field(kTag));
        t.members.reserve(t.owned_members.size());
        for (const auto& m : t.owned_members) t.members.push_back(&m);
        return t;
    }

    DeResult<Tagged> visit_seq(json::SeqAccess& seq) {
        Tagged t;
        t.is_seq = true;
        bool got = NV_TRY(seq.next_element([&](json::Reader& r) -> DeResult<void> {
            t.idx = NV_TRY(read_kind(r));
            return {};
        }));
        if (!got) return de::fail(Error::missing_field(kTag));
        for (;;) {
            Content c;
            bool more = NV_TRY(seq.next_element([&](json::Reader& r) -> DeResult<void> {
                c = NV_TRY(read_content(r));
                return {};
            }));
            if (!more) break;
            t.owned_items.push_back(std::move(c));
        }
        t.items.reserve(t.owned_items.size());
        for (const auto& c : t.owned_items) t.items.push_back(&c);
        return t;
    }
};

inline DeResult<Tagged> read_tagged(json::Reader& r, const TagSpec& spec) {
    TextVisitor v(spec);
    return r.deserialize_any(v);
}

inline DeResult<Tagged> read_tagged(de::ContentDe<Content>& d, const TagSpec& spec) {
    const Content& node = d.node();
    auto kind_of = [&](const Content& c) -> DeResult<size_t> {
        de::ContentDe<Content> kd(c);
        de::VariantIdVisitor v(spec.variants);
        return kd.deserialize_identifier(v);
    };
    Tagged t;
    if (node.kind() == norvane::NodeKind::Map) {
        bool have = false;
        t.members.reserve(node.members().size());
        for (const auto& m : node.members()) {
            if (m.first == kTag) {
                if (have) return de::fail(Error::duplicate_field(kTag));
                t.idx = NV_TRY(kind_of(m.second));
                have = true;
            } else {
                t.members.push_back(&m);
            }
        }
        if (!have) return de::fail(Error::missing_field(kTag));
        return t;
    }
    if (node.kind() == norvane::NodeKind::Seq) {
        t.is_seq = true;
        const auto& items = node.items();
        if (items.empty()) return de::fail(Error::missing_field(kTag));
        t.idx = NV_TRY(kind_of(items[0]));
        t.items.reserve(items.size() - 1);
        for (size_t i = 1; i < items.size(); ++i) t.items.push_back(&items[i]);
        return t;
    }
    return de::fail(Error::invalid_type(de::node_unexpected(node), spec.expecting));
}

// Accessors over the members or elements that were taken.
struct PtrSeqAccess {
    const std::vector<const Content*>& items;
    size_t pos = 0;
    template <class F>
    DeResult<bool> next_element(F&& f) {
        if (pos == items.size()) return false;
        de::ContentDe<Content> d(*items[pos++]);
        NV_CHECK(f(d));
        return true;
    }
};

struct PtrMapAccess {
    const std::vector<const Content::Member*>& members;
    size_t pos = 0;
    template <class F>
    DeResult<bool> next_key(F&& f) {
        if (pos == members.size()) return false;
        de::KeyDe k(members[pos]->first);
        NV_CHECK(f(k));
        return true;
    }
    template <class F>
    DeResult<void> next_value(F&& f) {
        de::ContentDe<Content> d(members[pos++]->second);
        return f(d);
    }
};

inline std::string elements_in_sequence(size_t n) {
    std::string s = std::to_string(n);
    s += n == 1 ? " element in sequence" : " elements in sequence";
    return s;
}

// Reads the variant's fields. `seq_defaulted` replaces the spec's defaulted
// mask for the array form.
template <class F>
DeResult<void> read_fields(const Tagged& t, const de::StructSpec& spec, uint64_t seq_defaulted, F&& on_field) {
    if (t.is_seq) {
        de::StructSpec s = spec;
        s.defaulted = seq_defaulted;
        de::StructVisitor<F> v(s, on_field);
        PtrSeqAccess a{t.items};
        NV_CHECK(v.visit_seq(a));
        if (a.pos < t.items.size())
            return de::fail(Error::invalid_length(t.items.size(), elements_in_sequence(a.pos)));
        return {};
    }
    de::StructVisitor<F> v(spec, on_field);
    PtrMapAccess a{t.members};
    return v.visit_map(a);
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
