#include "crdt/spec.hpp"

#include <algorithm>
#include <set>

#include "crdt/errors.hpp"
#include "format/json/reader.hpp"
#include "format/record/visitor.hpp"
#include "util/float_text.hpp"
#include "util/sha256.hpp"
#include "util/text.hpp"

namespace norvane {

using de::DeResult;
namespace errors = crdt::errors;

namespace {

constexpr std::string_view kSpecFields[] = {"version", "root"};
const de::StructSpec kSpecStruct{"CrdtSpec", "struct CrdtSpec", "struct CrdtSpec with 2 elements",
                                 kSpecFields, /*defaulted: version*/ 0b01, /*deny_unknown*/ true};

DeResult<CrdtSpec> read_spec(json::Reader& r) {
    CrdtSpec spec;
    NV_CHECK(de::read_struct(r, kSpecStruct, [&](size_t field, json::Reader& d) -> DeResult<void> {
        if (field == 0) {
            spec.version = NV_TRY(de::read_u32(d));
        } else {
            spec.root = NV_TRY(read_policy(d));
        }
        return {};
    }));
    return spec;
}

Status check_version(uint32_t version) {
    if (version == CrdtSpec::kVersion) return {};
    std::string msg = errors::kSpecVersion[0];
    append_u64(msg, version);
    msg += errors::kSpecVersion[1];
    append_u64(msg, CrdtSpec::kVersion);
    return fail(std::move(msg));
}

// `path` grows and shrinks as the walk descends and returns.
Status validate_at(const CrdtPolicy& policy, std::string& path);

std::string key_path_text(const IdentityPath& p) {
    std::string out;
    append_debug_str_list(out, p);
    return out;
}

Status validate_set(const CrdtPolicy& policy, std::string& path) {
    size_t mark = path.size();
    path += errors::kPolicyElement;
    NV_CHECK(validate_at(policy.element(), path));
    path.resize(mark);

    auto fail_with = [&](std::string_view what, const IdentityPath* p, std::string_view tail) {
        std::string msg = path;
        msg += what;
        if (p) {
            msg += key_path_text(*p);
            msg += tail;
        }
        return fail(std::move(msg));
    };

    auto less = [](const IdentityPath* a, const IdentityPath* b) { return identity_path_less(*a, *b); };
    std::set<const IdentityPath*, decltype(less)> accepted(less);
    for (const IdentityPath& p : policy.keys) {
        if (p.empty() || std::any_of(p.begin(), p.end(), [](const std::string& s) { return s.empty(); }))
            return fail_with(errors::kEmptyIdentityPath, nullptr, {});
        if (!accepted.insert(&p).second) return fail_with(errors::kDuplicateIdentityPath, &p, {});
        const CrdtPolicy* current = &policy.element();
        for (const std::string& segment : p) {
            if (!current->is(PolicyKind::Map))
                return fail_with(errors::kUnreachableIdentityPath[0], &p, errors::kUnreachableIdentityPath[1]);
            current = &current->policy_for_key(segment);
        }
        if (!current->is(PolicyKind::Register))
            return fail_with(errors::kIdentityPathNotRegister[0], &p, errors::kIdentityPathNotRegister[1]);
    }
    return {};
}

Status validate_at(const CrdtPolicy& policy, std::string& path) {
    size_t mark = path.size();
    switch (policy.kind) {
        case PolicyKind::Register:
            return {};
        case PolicyKind::Map:
            for (const auto& [name, child] : policy.fields) {
                if (name.empty()) return fail(path + errors::kEmptyFieldName);
                path += errors::kPolicyField;
                path += name;
                NV_CHECK(validate_at(child, path));
                path.resize(mark);
            }
            path += errors::kPolicyValues;
            NV_CHECK(validate_at(policy.values(), path));
            path.resize(mark);
            return {};
        case PolicyKind::Set:
            return validate_set(policy, path);
        case PolicyKind::Sequence:
            if (policy.materialization == SequenceMaterialization::String &&
                !policy.element().is(PolicyKind::Register))
                return fail(path + errors::kStringElementNotRegister);
            path += errors::kPolicyElement;
            NV_CHECK(validate_at(policy.element(), path));
            path.resize(mark);
            return {};
    }
    return {};
}

}  // namespace

Status validate_policy(const CrdtPolicy& policy, std::string_view path) {
    std::string p(path);
    return validate_at(policy, p);
}

void normalize_policy(CrdtPolicy& policy) {
    switch (policy.kind) {
        case PolicyKind::Register:
            return;
        case PolicyKind::Map:
            for (auto& field : policy.fields) normalize_policy(field.second);
            normalize_policy(policy.values());
            return;
        case PolicyKind::Set:
            if (policy.keys.size() >= 2) std::stable_sort(policy.keys.begin(), policy.keys.end(), identity_path_less);
            normalize_policy(policy.element());
            return;
        case PolicyKind::Sequence:
            normalize_policy(policy.element());
            return;
    }
}

Result<CrdtSpec> CrdtSpec::from_json(std::string_view text) {
    json::Reader r(text);
    auto spec = read_spec(r);
    if (!spec) return fail(de::json_error_text(spec.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    NV_CHECK(check_version(spec->version));
    NV_CHECK(validate_policy(spec->root, errors::kPolicyRoot));
    normalize_policy(spec->root);
    return std::move(*spec);
}

Result<std::string> CrdtSpec::to_json() const {
    NV_CHECK(check_version(version));
    NV_CHECK(validate_policy(root, errors::kPolicyRoot));
    // The writer puts identity paths in normal order itself, so the normalised
    // copy is never materialised.
    std::string out;
    out.reserve(128);
    out += "{\"version\":";
    append_u64(out, version);
    out += ",\"root\":";
    write_policy(out, root);
    out += '}';
    return out;
}

Result<std::string> CrdtSpec::hash() const {
    std::string text = NV_TRY(to_json());
    return sha256_text(text);
}

Result<std::string> normalize_crdt_spec(std::string_view json) {
    CrdtSpec spec = NV_TRY(CrdtSpec::from_json(json));
    return spec.to_json();
}

Result<std::string> crdt_spec_hash(std::string_view json) {
    CrdtSpec spec = NV_TRY(CrdtSpec::from_json(json));
    return spec.hash();
}

Status require_crdt_spec_hash(std::string_view json, std::string_view peer_hash) {
    CrdtSpec spec = NV_TRY(CrdtSpec::from_json(json));
    std::string local = NV_TRY(spec.hash());
    if (local == peer_hash) return {};
    std::string msg = errors::kSpecHashMismatch[0];
    msg += local;
    msg += errors::kSpecHashMismatch[1];
    msg += peer_hash;
    return fail(std::move(msg));
}

}  // namespace norvane
