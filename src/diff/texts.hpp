// The texts of patch application's own failures, in one place. A pair is the text before
// and the text after what is filled in.
#pragma once

namespace norvane::diff_texts {

// Filled with the kind expected ("List", "Map") and the debug text of the node found.
inline constexpr const char* kExpectedKind[] = {"expected Value::", ", found "};
// Filled with a position.
inline constexpr const char* kPathIndex[] = {"path index ", " out of bounds"};
inline constexpr const char* kSetIndex[] = {"set index ", " out of bounds"};
inline constexpr const char* kReorderDuplicate[] = {"reorder index ", " is duplicated"};
// Filled with the key, as quoted text.
inline constexpr const char* kPathKey[] = {"path key ", " not found"};
inline constexpr const char* kRemovePathEmpty = "remove path is empty";
// Followed by a position, then kOutOfBoundsLen around the list's length.
inline constexpr const char* kRemoveIndex = "remove index ";
inline constexpr const char* kInsertIndex = "insert index ";
inline constexpr const char* kMoveSource = "move source index ";
inline constexpr const char* kMoveDestination = "move destination index ";
inline constexpr const char* kReorderIndex = "reorder index ";
inline constexpr const char* kOutOfBoundsLen[] = {" out of bounds (len ", ")"};
// Filled with the order's length, then the list's.
inline constexpr const char* kReorderLength[] = {"reorder length ", " does not match list length "};
// Filled with the nesting limit.
inline constexpr const char* kTooDeep[] = {"value would be nested deeper than ", " levels"};

}  // namespace norvane::diff_texts
