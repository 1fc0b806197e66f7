// CRDT specifications: the schema that every replica of a CRDT document runs.
// Peers agree on a CRDT specification through its canonical JSON text and the
// SHA-256 hash of that text, so both are reproduced byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crdt/policy.hpp"
#include "util/result.hpp"

namespace norvane {

struct CrdtSpec {
    static constexpr uint32_t kVersion = 1;  // the only supported version

    uint32_t version = kVersion;
    CrdtPolicy root;

    // Reads {"version":…,"root":…} (version 1 when absent) or [version, root]
    // from the whole text, then checks the version, validates the root at the
    // policy path "root" and normalises it. Reading failures carry their
    // position (" at line L column C").
    static Result<CrdtSpec> from_json(std::string_view text);

    // The canonical compact text {"version":1,"root":…} of a normalised copy;
    // fails on an unsupported version or a root that does not validate.
    Result<std::string> to_json() const;

    // "sha256:" and the 64 lowercase hexadecimal digits of the SHA-256 of
    // exactly the bytes of to_json().
    Result<std::string> hash() const;
};

// Checks the rules of a policy tree, depth first; the first failure is the
// result. `path` is the policy path of `policy` ("root", "root.fields.tags",
// "root.values", "root.element", …), used in the messages.
Status validate_policy(const CrdtPolicy& policy, std::string_view path);

// Sorts the identity paths of every set in the tree into normal order.
void normalize_policy(CrdtPolicy& policy);

// The module functions: the canonical text, the hash, and the check of a
// peer's hash ("incompatible CRDT spec: local hash {}, peer hash {}").
Result<std::string> normalize_crdt_spec(std::string_view json);
Result<std::string> crdt_spec_hash(std::string_view json);
Status require_crdt_spec_hash(std::string_view json, std::string_view peer_hash);

}  // namespace norvane
