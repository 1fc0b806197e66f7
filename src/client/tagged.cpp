#include "client/tagged.hpp"

#include <string>
#include <utility>
#include <vector>

#include "format/document.hpp"

namespace norvane::client {

namespace {

using de::DeResult;
using de::Error;

// The tag's value: a string naming a variant.
struct TagVisitor : de::Visitor<TagVisitor, size_t> {
    const TagSpec& spec;
    explicit TagVisitor(const TagSpec& s) : spec(s) {}
    std::string_view expecting() const { return "variant identifier"; }
    DeResult<size_t> visit_str(std::string_view v) {
        for (size_t i = 0; i < spec.variants.size(); ++i)
            if (spec.variants[i] == v) return i;
        if (spec.other) return spec.variants.size();
        return de::fail(Error::unknown_variant(v, spec.variants));
    }
};

// An object key, copied out of the reader.
struct KeyVisitor : de::Visitor<KeyVisitor, std::string> {
    std::string_view expecting() const { return "a string"; }
    DeResult<std::string> visit_str(std::string_view v) { return std::string(v); }
};

DeResult<size_t> read_tag(json::Reader& r, const TagSpec& spec) {
    TagVisitor v(spec);
    return r.deserialize_identifier(v);
}

struct TaggedVisitor : de::Visitor<TaggedVisitor, Tagged> {
    const TagSpec& spec;
    explicit TaggedVisitor(const TagSpec& s) : spec(s) {}
    std::string_view expecting() const { return spec.expecting; }

    DeResult<Tagged> visit_map(json::MapAccess& map) {
        bool have_tag = false;
        size_t variant = 0;
        std::vector<Content::Member> kept;
        for (;;) {
            std::string key;
            bool more = NV_TRY(map.next_key([&](json::MapKey& k) -> DeResult<void> {
                KeyVisitor kv;
                key = NV_TRY(k.deserialize_str(kv));
                return {};
            }));
            if (!more) break;
            if (key == spec.tag) {
                if (have_tag) return de::fail(Error::duplicate_field(spec.tag));
                NV_CHECK(map.next_value([&](json::Reader& vr) -> DeResult<void> {
                    variant = NV_TRY(read_tag(vr, spec));
                    return {};
                }));
                have_tag = true;
                continue;
            }
            NV_CHECK(map.next_value([&](json::Reader& vr) -> DeResult<void> {
                kept.emplace_back(std::move(key), NV_TRY(read_content(vr)));
                return {};
            }));
        }
        if (!have_tag) return de::fail(Error::missing_field(spec.tag));
        return Tagged{variant, Content::map(std::move(kept))};
    }

    DeResult<Tagged> visit_seq(json::SeqAccess& seq) {
        size_t variant = 0;
        bool have_tag = NV_TRY(seq.next_element([&](json::Reader& er) -> DeResult<void> {
            variant = NV_TRY(read_tag(er, spec));
            return {};
        }));
        if (!have_tag) return de::fail(Error::missing_field(spec.tag));
        std::vector<Content> kept;
        for (;;) {
            bool more = NV_TRY(seq.next_element([&](json::Reader& er) -> DeResult<void> {
                kept.push_back(NV_TRY(read_content(er)));
                return {};
            }));
            if (!more) break;
        }
        return Tagged{variant, Content::seq(std::move(kept))};
    }
};

}  // namespace

DeResult<Tagged> read_tagged(json::Reader& r, const TagSpec& spec) {
    TaggedVisitor v(spec);
    return r.deserialize_any(v);
}

}  // namespace norvane::client
