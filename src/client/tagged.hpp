// Client messages and effects: whole JSON texts, each a record tagged by one of its own
// members ({"t":"ack","id":1,...}, {"effect":"patch",...}), read in two steps
// (format/record/tagged.hpp): the record with its tag on the text, whose failures carry the
// reader's position; then the variant's fields over what was kept, whose failures stand
// without a position, the text having been read by then.
#pragma once

#include <string_view>

#include "format/document.hpp"
#include "format/record/error.hpp"
#include "format/record/tagged.hpp"
#include "util/result.hpp"

namespace norvane::client {

// Reads record R (with a `kind` of type R::Kind) from a whole text: the tag by `spec`, then
// `read_fields(tagged, record)`; only whitespace may follow.
template <class R, class ReadFields>
Result<R> tagged_from_json(std::string_view text, const de::TagSpec& spec, ReadFields&& read_fields) {
    json::Reader r(text);
    auto tagged = de::read_tagged(r, spec);
    if (!tagged) return fail(de::json_error_text(tagged.error()));
    R record;
    record.kind = typename R::Kind(tagged->idx);
    auto fields = read_fields(*tagged, record);
    if (!fields) return fail(fields.error().message(de::Style::Json));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return record;
}

}  // namespace norvane::client
