// Patch application: carries out patch operations on a model value in place.
//
// Every check of an operation comes before its change, so a failing operation changes
// nothing; `apply` keeps the operations before it, `apply_all_or_nothing` undoes them.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diff/patch.hpp"
#include "util/result.hpp"
#include "value/value.hpp"

namespace norvane {

// The node that `path` names, for changing; the empty path names the root. Fails with
// "expected Value::List, found {}", "path index {} out of bounds",
// "expected Value::Map, found {}" or "path key {} not found" at the first segment that
// does not resolve. Changes nothing.
Result<Value*> value_at_mut(Value& root, std::span<const PathSeg> path);

// The deepest nesting of lists and maps that patching may build. Every reader bounds the
// values it makes (MessagePack, the deepest, at 1023 levels), but patches can set values
// below ever longer paths; past this bound an operation fails with
// "value would be nested deeper than 4096 levels", so that the recursive writers, diff and
// destructor of values never run out of stack.
inline constexpr std::size_t kMaxValueNesting = 4096;

// Applies the operations in order and stops at the first one that fails, returning its
// message; the operations before it stay applied. Values are copied in from the
// operations (the rvalue form moves them out instead).
Status apply(Value& value, std::span<const Op> ops);
Status apply(Value& value, std::vector<Op>&& ops);

// As `apply`, but a failure undoes the operations applied before it, so the value is
// either fully patched or unchanged. Costs no copy of the value.
Status apply_all_or_nothing(Value& value, std::span<const Op> ops);
Status apply_all_or_nothing(Value& value, std::vector<Op>&& ops);

// The module function: a tagged model JSON text (read and reported first) and the JSON
// of a patch; the patched value as compact tagged model JSON.
Result<std::string> apply_texts(std::string_view value_json, std::string_view patch_json);

}  // namespace norvane
