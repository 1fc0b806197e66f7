#include "crdt/policy.hpp"

#include <algorithm>
#include <span>

#include "format/document.hpp"
#include "format/record/content_de.hpp"
#include "format/record/tagged.hpp"
#include "util/sorted_pairs.hpp"
#include "util/text.hpp"

namespace norvane {

using de::DeResult;
using de::Error;

// ---- the record -------------------------------------------------------------------

std::optional<PolicyKind> policy_kind_from_name(std::string_view name) {
    for (size_t i = 0; i < std::size(kPolicyKindNames); ++i)
        if (kPolicyKindNames[i] == name) return PolicyKind(i);
    return std::nullopt;
}

CrdtPolicy::CrdtPolicy(const CrdtPolicy& other)
    : kind(other.kind),
      fields(other.fields),
      keys(other.keys),
      materialization(other.materialization),
      child_(other.child_ ? std::make_unique<CrdtPolicy>(*other.child_) : nullptr) {}

CrdtPolicy& CrdtPolicy::operator=(const CrdtPolicy& other) {
    if (this != &other) {
        CrdtPolicy copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CrdtPolicy CrdtPolicy::register_() { return CrdtPolicy(); }

CrdtPolicy CrdtPolicy::map(PolicyFields fields, CrdtPolicy values) {
    CrdtPolicy p;
    p.kind = PolicyKind::Map;
    sort_pairs_keep_last(fields);  // of equal names the one given last stays
    p.fields = std::move(fields);
    p.child_ = std::make_unique<CrdtPolicy>(std::move(values));
    return p;
}

CrdtPolicy CrdtPolicy::set(std::vector<IdentityPath> keys, CrdtPolicy element) {
    CrdtPolicy p;
    p.kind = PolicyKind::Set;
    p.keys = std::move(keys);
    p.child_ = std::make_unique<CrdtPolicy>(std::move(element));
    return p;
}

CrdtPolicy CrdtPolicy::sequence(SequenceMaterialization materialization, CrdtPolicy element) {
    CrdtPolicy p;
    p.kind = PolicyKind::Sequence;
    p.materialization = materialization;
    p.child_ = std::make_unique<CrdtPolicy>(std::move(element));
    return p;
}

const CrdtPolicy* CrdtPolicy::field(std::string_view name) const {
    // A few fields (most maps of a schema name a handful) are compared in
    // turn; more are searched in their order.
    if (fields.size() <= 8) {
        for (const auto& f : fields)
            if (same_key(f.first, name)) return &f.second;
        return nullptr;
    }
    auto it = std::lower_bound(fields.begin(), fields.end(), name,
                               [](const auto& f, std::string_view n) { return KeyLess{}(f.first, n); });
    if (it != fields.end() && it->first == name) return &it->second;
    return nullptr;
}

bool operator==(const CrdtPolicy& a, const CrdtPolicy& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case PolicyKind::Register: return true;
        case PolicyKind::Map: return a.fields == b.fields && a.values() == b.values();
        case PolicyKind::Set: return a.keys == b.keys && a.element() == b.element();
        case PolicyKind::Sequence:
            return a.materialization == b.materialization && a.element() == b.element();
    }
    return false;
}

// ---- reading --------------------------------------------------------------------

namespace {

constexpr std::string_view kTag = "kind";
constexpr std::string_view kExpectingPolicy = "internally tagged enum CrdtPolicy";

constexpr std::string_view kMapFields[] = {"fields", "values"};
constexpr std::string_view kSetFields[] = {"keys", "element"};
constexpr std::string_view kSequenceFields[] = {"materialization", "element"};

// Every field of every kind has a default; names other than the kind's own are refused.
const de::StructSpec kKindStructs[] = {
    {"Register", "struct variant CrdtPolicy::Register",
     "struct variant CrdtPolicy::Register with 0 elements", {}, 0, true},
    {"Map", "struct variant CrdtPolicy::Map", "struct variant CrdtPolicy::Map with 2 elements",
     kMapFields, 0b11, true},
    {"Set", "struct variant CrdtPolicy::Set", "struct variant CrdtPolicy::Set with 2 elements",
     kSetFields, 0b11, true},
    {"Sequence", "struct variant CrdtPolicy::Sequence",
     "struct variant CrdtPolicy::Sequence with 2 elements", kSequenceFields, 0b11, true},
};

const de::TagSpec kPolicyTag{kTag, kExpectingPolicy, kPolicyKindNames, false, true};

const de::EnumSpec kMaterializationEnum{"SequenceMaterialization", "enum SequenceMaterialization",
                                        kMaterializationNames};

using ContentDe = de::ContentDe<Content>;

struct FieldNameVisitor : de::Visitor<FieldNameVisitor, std::string> {
    std::string_view expecting() const { return "a string"; }
    DeResult<std::string> visit_str(std::string_view v) { return std::string(v); }
};

// "fields": an object from field name to policy; of names given twice the last stays.
struct PolicyFieldsVisitor : de::Visitor<PolicyFieldsVisitor, PolicyFields> {
    std::string_view expecting() const { return "a map"; }
    template <class A>
    DeResult<PolicyFields> visit_map(A& map) {
        PolicyFields out;
        for (;;) {
            std::string name;
            bool more = NV_TRY(map.next_key([&](auto& k) -> DeResult<void> {
                FieldNameVisitor v;
                name = NV_TRY(k.deserialize_str(v));
                return {};
            }));
            if (!more) break;
            NV_CHECK(map.next_value([&](ContentDe& d) -> DeResult<void> {
                out.emplace_back(std::move(name), NV_TRY(policy_from_content(d.node())));
                return {};
            }));
        }
        return out;
    }
};

DeResult<std::vector<IdentityPath>> read_identity_paths(ContentDe& d) {
    std::vector<IdentityPath> keys;
    NV_CHECK(de::read_seq(d, [&](auto& pd) -> DeResult<void> {
        IdentityPath path;
        NV_CHECK(de::read_seq(pd, [&](auto& sd) -> DeResult<void> {
            path.push_back(NV_TRY(de::read_string(sd)));
            return {};
        }));
        keys.push_back(std::move(path));
        return {};
    }));
    return keys;
}

DeResult<SequenceMaterialization> read_materialization(ContentDe& d) {
    return de::read_enum<SequenceMaterialization>(
        d, kMaterializationEnum, [](size_t idx, auto& access) -> DeResult<SequenceMaterialization> {
            NV_CHECK(access.unit_variant());
            return SequenceMaterialization(idx);
        });
}

// Reads the kind's fields out of what the tagged reader kept; absent fields keep their defaults.
DeResult<CrdtPolicy> read_body(const de::Tagged& tagged) {
    const PolicyKind kind = PolicyKind(tagged.idx);
    PolicyFields fields;
    std::vector<IdentityPath> keys;
    SequenceMaterialization materialization = SequenceMaterialization::List;
    CrdtPolicy child;

    auto on_field = [&](size_t idx, ContentDe& d) -> DeResult<void> {
        if (idx == 1) {
            child = NV_TRY(policy_from_content(d.node()));
            return {};
        }
        switch (kind) {
            case PolicyKind::Map: {
                PolicyFieldsVisitor v;
                fields = NV_TRY(d.deserialize_map(v));
                return {};
            }
            case PolicyKind::Set:
                keys = NV_TRY(read_identity_paths(d));
                return {};
            case PolicyKind::Sequence:
                materialization = NV_TRY(read_materialization(d));
                return {};
            case PolicyKind::Register:
                break;
        }
        return {};
    };

    const de::StructSpec& spec = kKindStructs[size_t(kind)];
    NV_CHECK(de::read_tagged_fields(tagged, spec, spec.defaulted, on_field));

    switch (kind) {
        case PolicyKind::Register: return CrdtPolicy::register_();
        case PolicyKind::Map: return CrdtPolicy::map(std::move(fields), std::move(child));
        case PolicyKind::Set: return CrdtPolicy::set(std::move(keys), std::move(child));
        case PolicyKind::Sequence: return CrdtPolicy::sequence(materialization, std::move(child));
    }
    return CrdtPolicy::register_();
}

}  // namespace

// A missing kind is only known once the whole policy has been read, so it is reported
// like the errors of the fields, after the policy, not inside the read.
DeResult<CrdtPolicy> read_policy(json::Reader& r) {
    de::Tagged tagged = NV_TRY(de::read_tagged(r, kPolicyTag));
    if (!tagged.has_tag) return de::fail(Error::missing_field(kTag));
    return read_body(tagged);
}

DeResult<CrdtPolicy> policy_from_content(const Content& node) {
    ContentDe d(node);
    de::Tagged tagged = NV_TRY(de::read_tagged(d, kPolicyTag));
    if (!tagged.has_tag) return de::fail(Error::missing_field(kTag));
    return read_body(tagged);
}

// ---- writing --------------------------------------------------------------------

namespace {

void write_identity_path(std::string& out, const IdentityPath& path) {
    out += '[';
    for (size_t i = 0; i < path.size(); ++i) {
        if (i) out += ',';
        append_json_string(out, path[i]);
    }
    out += ']';
}

void write_identity_paths(std::string& out, const std::vector<IdentityPath>& keys) {
    out += '[';
    auto write_all = [&](auto&& at) {
        for (size_t i = 0; i < keys.size(); ++i) {
            if (i) out += ',';
            write_identity_path(out, at(i));
        }
    };
    if (std::is_sorted(keys.begin(), keys.end(), identity_path_less)) {
        write_all([&](size_t i) -> const IdentityPath& { return keys[i]; });
    } else {
        std::vector<const IdentityPath*> order;
        order.reserve(keys.size());
        for (const auto& k : keys) order.push_back(&k);
        std::stable_sort(order.begin(), order.end(),
                         [](const IdentityPath* a, const IdentityPath* b) { return identity_path_less(*a, *b); });
        write_all([&](size_t i) -> const IdentityPath& { return *order[i]; });
    }
    out += ']';
}

}  // namespace

void write_policy(std::string& out, const CrdtPolicy& policy) {
    out += "{\"kind\":\"";
    out += policy_kind_name(policy.kind);
    out += '"';
    switch (policy.kind) {
        case PolicyKind::Register:
            break;
        case PolicyKind::Map:
            if (!policy.fields.empty()) {
                out += ",\"fields\":{";
                bool first = true;
                for (const auto& [name, child] : policy.fields) {
                    if (!first) out += ',';
                    first = false;
                    append_json_string(out, name);
                    out += ':';
                    write_policy(out, child);
                }
                out += '}';
            }
            out += ",\"values\":";
            write_policy(out, policy.values());
            break;
        case PolicyKind::Set:
            if (!policy.keys.empty()) {
                out += ",\"keys\":";
                write_identity_paths(out, policy.keys);
            }
            out += ",\"element\":";
            write_policy(out, policy.element());
            break;
        case PolicyKind::Sequence:
            out += ",\"materialization\":\"";
            out += kMaterializationNames[size_t(policy.materialization)];
            out += "\",\"element\":";
            write_policy(out, policy.element());
            break;
    }
    out += '}';
}

}  // namespace norvane
