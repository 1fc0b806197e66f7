// The JSON form of patches: the compact writer and the whole-text readers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "diff/patch.hpp"
#include "format/tree/tree.hpp"
#include "util/result.hpp"

namespace norvane {

void path_to_json(std::string& out, const Path& path);
void op_to_json(std::string& out, const Op& op);
void patch_to_json(std::string& out, const Patch& patch);
std::string patch_to_json(const Patch& patch);

// A whole JSON text (only whitespace after it); failure texts carry positions.
Result<Patch> parse_patch(std::string_view text, bool check_utf8 = false);
// A whole JSON text holding an array of operations.
Result<std::vector<Op>> parse_ops(std::string_view text);
// From a parsed document (no positions).
Result<Patch> patch_from_document(const Document& doc);

}  // namespace norvane
