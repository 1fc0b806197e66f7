// The generic document: readers and writers in JSON text.
#pragma once

#include <string>
#include <string_view>

#include "format/json/reader.hpp"
#include "format/record/tagged.hpp"
#include "format/tree/tree.hpp"
#include "util/result.hpp"

namespace norvane {

// Reads one document at the reader's position (nesting budget of the reader).
de::DeResult<Document> read_document(json::Reader& r);
// Reads one record "whole", keeping members as written.
de::DeResult<Content> read_content(json::Reader& r);

// A record tagged by one of its members, at the reader's position (format/record/tagged.hpp):
// the tag read where it stands, every other member kept whole.
namespace de {
DeResult<Tagged> read_tagged(json::Reader& r, const TagSpec& spec);
}  // namespace de

// The generic document of a record read whole: object members sorted by key
// bytes, a key given twice keeping its last value, at every level.
Document document_from_content(Content&& content);

// A whole JSON text: one document, only whitespace after it. The failure is
// the final text with its position.
Result<Document> parse_document(std::string_view text, bool check_utf8 = false);

// Compact JSON; object members in their stored order; non-finite numbers as null.
void write_json(std::string& out, const Document& doc);
void write_json(std::string& out, const Content& doc);

}  // namespace norvane
