// The texts of the client layer's own failures, in one place.
#pragma once

namespace norvane::client_texts {

// Followed by the model id.
inline constexpr const char* kPatchBeforeSnapshot = "patch received before snapshot for model ";
inline constexpr const char* kCrdtBeforeSnapshot = "CRDT operations received before snapshot for model ";
inline constexpr const char* kBatchNotPrepared = "batch messages must be prepared in order";
inline constexpr const char* kReservedProposal = "proposal identifiers matching 'auto-N' are reserved";

}  // namespace norvane::client_texts
