// Structural diff: the patch operations that turn one model value into another.
//
// Maps are compared key by key. Lists of equal length that rearrange each other may
// become one whole-list Reorder; otherwise a greedy edit script of Insert, Move,
// RemoveAt and nested changes runs under a work limit, and when the limit is passed
// the list falls back to a Reorder (for a rearrangement) or to an element-by-element
// positional diff. Any other pair of values is compared by equality and replaced
// with one Set when it differs. The output is deterministic.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "diff/patch.hpp"
#include "util/result.hpp"
#include "value/edit.hpp"
#include "value/value.hpp"

namespace norvane {

// Appends to `ops` the operations that turn `old_value` into `new_value`; every
// operation's path starts with `path`. Equal values append nothing. The inputs are
// only read; operations carry copies of the values they set or insert.
void diff_value(const Path& path, const Value& old_value, const Value& new_value, std::vector<Op>& ops);

// The same operations as diff_value(old_value, the edit's new value), for an edit read
// against `old_value` itself; only the rebuilt parts of the edit are walked.
void diff_edit(const Value& old_value, const ValueEdit& edit, std::vector<Op>& ops);

// The same operations as diff_value(path, old_value, the list `items` describe), for a
// list whose nodes are mostly old_value's own elements (held at their addresses, so
// they pair with themselves without being compared). The old list holds no NaN.
void diff_list_nodes(const Path& path, const Value& old_value, const EditContainer& items, std::vector<Op>& ops);

// A copy of `path` with `seg` appended.
Path child_path(const Path& path, PathSeg seg);

// Element i against element i for the common length, then Inserts of the surplus
// new items (ascending) or RemoveAts of the surplus old items (descending).
void diff_list_positionally(const Path& path, const ValueList& old_items, const ValueList& new_items,
                            std::vector<Op>& ops);

// The module function: two tagged model JSON texts (the first read and reported
// first) to the compact JSON of the patch {"rev":0,"ops":[...]}.
Result<std::string> diff_texts(std::string_view old_json, std::string_view new_json);

}  // namespace norvane
