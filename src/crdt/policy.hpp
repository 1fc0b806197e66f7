// CRDT policies: the schema tree that says, for every place in a CRDT
// document, which kind of replicated node lives there and how its children are
// governed: a last-writer-wins register, a map with a policy per key, a set of
// members identified by key paths, or an ordered sequence.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/json/reader.hpp"
#include "format/record/visitor.hpp"
#include "format/tree/tree.hpp"

namespace norvane {

// The four kinds, in index order. Document nodes have the same kinds.
enum class PolicyKind : uint8_t { Register, Map, Set, Sequence };
inline constexpr std::string_view kPolicyKindNames[] = {"register", "map", "set", "sequence"};

inline std::string_view policy_kind_name(PolicyKind k) { return kPolicyKindNames[size_t(k)]; }
// Exact, case-sensitive match of a kind name.
std::optional<PolicyKind> policy_kind_from_name(std::string_view name);

// Reads a kind identifier from any deserializer: a kind name, or, where the
// source offers integers as identifiers (parsed trees), the index 0..3. JSON
// text accepts only a string. Refusals: "unknown variant `x`, expected one of
// `register`, `map`, `set`, `sequence`", "invalid type: …, expected variant
// identifier", "invalid value: integer `n`, expected variant index 0 <= i < 4".
template <class D>
de::DeResult<PolicyKind> read_policy_kind(D& de) {
    de::VariantIdVisitor v(kPolicyKindNames);
    return PolicyKind(NV_TRY(de.deserialize_identifier(v)));
}

enum class SequenceMaterialization : uint8_t { List, String };
inline constexpr std::string_view kMaterializationNames[] = {"list", "string"};

class CrdtPolicy;
// A list of map keys leading from a set member's value to one of its registers.
using IdentityPath = std::vector<std::string>;
// Map fields: unique names in ascending byte order.
using PolicyFields = std::vector<std::pair<std::string, CrdtPolicy>>;

// One policy and, exclusively owned, its children. Copies are deep.
class CrdtPolicy {
public:
    PolicyKind kind = PolicyKind::Register;
    PolicyFields fields;                  // Map
    std::vector<IdentityPath> keys;       // Set
    SequenceMaterialization materialization = SequenceMaterialization::List;  // Sequence

    CrdtPolicy() = default;  // a register
    CrdtPolicy(const CrdtPolicy& other);
    CrdtPolicy& operator=(const CrdtPolicy& other);
    CrdtPolicy(CrdtPolicy&&) noexcept = default;
    CrdtPolicy& operator=(CrdtPolicy&&) noexcept = default;
    ~CrdtPolicy() = default;

    static CrdtPolicy register_();
    // `fields` need not be sorted; of names given twice the last stays.
    static CrdtPolicy map(PolicyFields fields, CrdtPolicy values);
    static CrdtPolicy set(std::vector<IdentityPath> keys, CrdtPolicy element);
    static CrdtPolicy sequence(SequenceMaterialization materialization, CrdtPolicy element);

    bool is(PolicyKind k) const { return kind == k; }
    // Map: the policy of keys that `fields` does not name.
    const CrdtPolicy& values() const { return *child_; }
    CrdtPolicy& values() { return *child_; }
    // Set and Sequence: the policy of every member or element.
    const CrdtPolicy& element() const { return *child_; }
    CrdtPolicy& element() { return *child_; }
    // Map: the field's own policy, or nullptr when `fields` does not name it.
    const CrdtPolicy* field(std::string_view name) const;
    // Map: the policy that governs the entry under `key`.
    const CrdtPolicy& policy_for_key(std::string_view key) const {
        const CrdtPolicy* f = field(key);
        return f ? *f : values();
    }

    // Structural equality (identity paths compared in their stored order).
    friend bool operator==(const CrdtPolicy& a, const CrdtPolicy& b);

private:
    std::unique_ptr<CrdtPolicy> child_;  // values or element; none for a register
};

// ---- reading ----------------------------------------------------------------
//
// A policy is an object tagged by "kind" (anywhere among its keys) or an array
// whose first element is the kind and whose other elements are the kind's
// fields in order. The object is taken whole before its fields are read, so
// the errors of its fields carry no position of their own: from JSON text they
// get the position at which the enclosing record stops. Only shapes are
// checked here; validate_policy checks the tree's rules.

// A policy read straight from JSON text (the root of a CRDT specification): its
// kind must be a JSON string.
de::DeResult<CrdtPolicy> read_policy(json::Reader& r);

// A policy read from an already parsed value; the kind may also be its index.
de::DeResult<CrdtPolicy> policy_from_content(const Content& node);

// ---- writing ----------------------------------------------------------------

// Appends the compact JSON of a policy: "kind" first, then "fields" (only when
// not empty, names ascending) and "values"; "keys" (only when not empty, in
// normal order whatever order they are stored in) and "element";
// "materialization" and "element".
void write_policy(std::string& out, const CrdtPolicy& policy);

// The normal order of identity paths: segment by segment, bytes as unsigned
// values, a prefix before what it prefixes; a shorter path before a longer one
// that it prefixes.
inline bool identity_path_less(const IdentityPath& a, const IdentityPath& b) { return a < b; }

}  // namespace norvane
