// The error texts of the CRDT document reducer, written out once.
#pragma once

namespace norvane::crdt::errors {

// Paths and kinds.
inline constexpr const char* kStateMismatch = "CRDT path segment does not match reducer state";
inline constexpr const char* kPolicyMismatch = "CRDT path segment does not match its policy";
inline constexpr const char* kIncompatible = "CRDT policy has incompatible reducer state";
inline constexpr const char* kRegisterIncompatible = "register policy has incompatible reducer state";
inline constexpr const char* kMapIncompatible = "map policy has incompatible reducer state";
inline constexpr const char* kSetIncompatible = "set policy has incompatible reducer state";
inline constexpr const char* kSequenceIncompatible = "sequence policy has incompatible reducer state";
inline constexpr const char* kImmutableIdentity =
    "set identity fields are immutable; remove and add the member instead";
inline constexpr const char* kUnknownMapKey = "unknown map key ";
inline constexpr const char* kUnknownSetMember = "unknown set member ";
inline constexpr const char* kUnknownElement = "unknown sequence element ";
// Filled with the key path text of an identity path (then, for the second, the segment).
inline constexpr const char* kKeyPathThroughNonMap[] = {"set key path ", " descends through a non-map value"};
inline constexpr const char* kKeyPathMissingSegment[] = {"set key path ", " is missing segment "};

// Operations that address the wrong kind of node.
inline constexpr const char* kRegisterSetTarget = "register_set path does not address a register";
inline constexpr const char* kMapSetTarget = "map_set path does not address a map";
inline constexpr const char* kMapRemoveTarget = "map_remove path does not address a map";
inline constexpr const char* kSetAddTarget = "set_add path does not address a set";
inline constexpr const char* kSetRemoveTarget = "set_remove path does not address a set";
inline constexpr const char* kInsertTarget = "sequence_insert path does not address a sequence";
inline constexpr const char* kDeleteTarget = "sequence_delete path does not address a sequence";
inline constexpr const char* kSpliceTarget = "sequence_splice path does not address a sequence";

// Values and sequences.
inline constexpr const char* kMapValue = "map policy requires a map value";
inline constexpr const char* kSetValue = "set policy requires a list value";
inline constexpr const char* kStringValue = "string sequence policy requires a string value";
inline constexpr const char* kListValue = "list sequence policy requires a list value";
inline constexpr const char* kTooManyInitial = "sequence contains too many initial elements";
inline constexpr const char* kTooManyInserted = "sequence insert contains too many elements";
inline constexpr const char* kStringElementNotString = "string sequence element did not materialize as a string";
inline constexpr const char* kStringElementNotOneScalar =
    "string sequence element must contain one Unicode scalar value";
inline constexpr const char* kRootRemoved = "root value is removed";
inline constexpr const char* kMissingInserted = "missing inserted sequence element ";

inline constexpr const char* kSpliceIndex[] = {"sequence splice index ", " out of bounds (len "};
inline constexpr const char* kSpliceRange[] = {"sequence splice delete range ", " out of bounds (len "};
inline constexpr const char* kConflictingPredecessors[] = {"sequence element ", " has conflicting predecessors"};

// Documents.
inline constexpr const char* kCounterExhausted = "CRDT operation counter is exhausted";
inline constexpr const char* kInvalidReplica = "replica identifier must be non-empty and cannot be reserved $init";
inline constexpr const char* kInvalidDot = "invalid operation dot ";
inline constexpr const char* kReusedDot[] = {"operation dot ", " was reused with different content"};
inline constexpr const char* kNotASetPolicy = "path does not address a set policy";
inline constexpr const char* kFrontierGap[] = {"compaction frontier ",
                                               " is not covered by contiguous observed dots after "};

// Saved states.
inline constexpr const char* kStateVersion[] = {"unsupported CRDT state version ", "; expected 1"};
inline constexpr const char* kStateSpecHash[] = {"incompatible CRDT state: spec hash ", ", expected "};
inline constexpr const char* kStateFingerprints = "CRDT state fingerprints do not match its uncompacted causal dots";
inline constexpr const char* kStateFingerprint = "CRDT state contains an invalid operation fingerprint";
inline constexpr const char* kDuplicateElementId = "duplicate sequence element ID";
inline constexpr const char* kDuplicateDeletionId = "duplicate sequence deletion ID";
inline constexpr const char* kDuplicateFingerprintDot = "duplicate operation fingerprint dot";

}  // namespace norvane::crdt::errors
