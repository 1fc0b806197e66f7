// The texts of the CRDT specification's own failures, in one place (the document reducer's
// are in reducer/errors.hpp, in the same namespace). A pair is the text before and the text
// after what is filled in.
#pragma once

namespace norvane::crdt::errors {

// Filled with the version read, then the one supported.
inline constexpr const char* kSpecVersion[] = {"unsupported CRDT spec version ", "; expected "};
// Filled with the local hash, then the peer's.
inline constexpr const char* kSpecHashMismatch[] = {"incompatible CRDT spec: local hash ", ", peer hash "};

// Validation: each follows the policy path. Where a pair, the key path text of an identity
// path goes between.
inline constexpr const char* kEmptyFieldName = ".fields contains an empty field name";
inline constexpr const char* kEmptyIdentityPath = ".keys contains an empty identity path or path segment";
inline constexpr const char* kDuplicateIdentityPath = ".keys contains duplicate path ";
inline constexpr const char* kUnreachableIdentityPath[] = {".keys path ", " is not reachable in the element policy"};
inline constexpr const char* kIdentityPathNotRegister[] = {".keys path ", " must resolve to a register"};
inline constexpr const char* kStringElementNotRegister = ".element must be a register for string materialization";

// Policy paths: the root, and the steps to a map's field (then its name), a map's values
// and the element of a set or sequence.
inline constexpr const char* kPolicyRoot = "root";
inline constexpr const char* kPolicyField = ".fields.";
inline constexpr const char* kPolicyValues = ".values";
inline constexpr const char* kPolicyElement = ".element";

}  // namespace norvane::crdt::errors
