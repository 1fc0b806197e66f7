// Records tagged by one of their members, read from JSON text (format/record/tagged.hpp):
// the members other than the tag are kept as content read whole.
#include "format/document.hpp"

namespace norvane::de {

DeResult<Tagged> read_tagged(json::Reader& r, const TagSpec& spec) {
    auto keep = [](json::Reader& value) { return read_content(value); };
    TaggedVisitor<decltype(keep)> v(spec, keep);
    return r.deserialize_any(v);
}

}  // namespace norvane::de
