#include "client/effect.hpp"

#include <array>
#include <utility>

#include "client/tagged.hpp"
#include "format/document.hpp"
#include "format/record/error.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"

namespace norvane::client {

namespace {

using de::DeResult;
using Kind = ClientEffect::Kind;

constexpr de::TagSpec kTagSpec{"effect", "internally tagged enum ClientEffect", ClientEffect::kTags, false};

constexpr std::string_view kIdRev[] = {"id", "rev"};
constexpr std::string_view kIdRevProposal[] = {"id", "rev", "proposal"};
constexpr std::string_view kRejectionFields[] = {"id", "rev", "error", "proposal"};
constexpr std::string_view kAwarenessFields[] = {"id", "peer", "state"};
constexpr std::string_view kDisconnectFields[] = {"proposals"};

// Per kind, in kind order. Bit i of `defaulted` marks an optional field,
// which the object form may leave out.
constexpr std::array<de::StructSpec, 10> kSpecs{{
    {"Snapshot", "struct variant ClientEffect::Snapshot", "struct variant ClientEffect::Snapshot with 2 elements",
     kIdRev, 0},
    {"CrdtSnapshot", "struct variant ClientEffect::CrdtSnapshot",
     "struct variant ClientEffect::CrdtSnapshot with 2 elements", kIdRev, 0},
    {"Patch", "struct variant ClientEffect::Patch", "struct variant ClientEffect::Patch with 3 elements",
     kIdRevProposal, 0b100},
    {"Crdt", "struct variant ClientEffect::Crdt", "struct variant ClientEffect::Crdt with 3 elements",
     kIdRevProposal, 0b100},
    {"StalePatch", "struct variant ClientEffect::StalePatch",
     "struct variant ClientEffect::StalePatch with 3 elements", kIdRevProposal, 0b100},
    {"Acknowledgement", "struct variant ClientEffect::Acknowledgement",
     "struct variant ClientEffect::Acknowledgement with 3 elements", kIdRevProposal, 0},
    {"Rejection", "struct variant ClientEffect::Rejection", "struct variant ClientEffect::Rejection with 4 elements",
     kRejectionFields, 0b1000},
    {"Awareness", "struct variant ClientEffect::Awareness", "struct variant ClientEffect::Awareness with 3 elements",
     kAwarenessFields, 0b100},
    {"Ignore", "unit variant ClientEffect::Ignore", "", {}, 0},
    {"Disconnect", "struct variant ClientEffect::Disconnect",
     "struct variant ClientEffect::Disconnect with 1 element", kDisconnectFields, 0},
}};

DeResult<void> read_fields_of(const de::Tagged& tagged, ClientEffect& e) {
    const de::StructSpec& spec = kSpecs[tagged.idx];
    return de::read_tagged_fields(tagged, spec, 0, [&](size_t i, de::ContentDe<Content>& d) -> DeResult<void> {
        std::string_view name = spec.fields[i];
        if (name == "id") {
            e.id = NV_TRY(de::read_u64(d));
        } else if (name == "rev") {
            e.rev = NV_TRY(de::read_u64(d));
        } else if (name == "proposal") {
            if (e.kind == Kind::Acknowledgement) {
                e.proposal = NV_TRY(de::read_string(d));
            } else {
                bool some = NV_TRY(de::read_option(d, [&](auto& inner) -> DeResult<void> {
                    e.proposal = NV_TRY(de::read_string(inner));
                    return {};
                }));
                if (!some) e.proposal.reset();
            }
        } else if (name == "error") {
            e.error = NV_TRY(de::read_string(d));
        } else if (name == "peer") {
            e.peer = NV_TRY(de::read_string(d));
        } else if (name == "state") {
            if (d.node().is_null()) {
                e.state.reset();
            } else {
                e.state = document_from_content(Content(d.node()));
            }
        } else if (name == "proposals") {
            e.proposals.clear();
            NV_CHECK(de::read_seq(d, [&](auto& item) -> DeResult<void> {
                e.proposals.push_back(NV_TRY(de::read_string(item)));
                return {};
            }));
        }
        return {};
    });
}

void append_field(std::string& out, std::string_view name) {
    out += ",\"";
    out += name;
    out += "\":";
}

}  // namespace

void ClientEffect::write_json(std::string& out) const {
    out += "{\"effect\":";
    append_json_string(out, kTags[size_t(kind)]);
    switch (kind) {
        case Kind::Ignore:
            break;
        case Kind::Disconnect: {
            append_field(out, "proposals");
            out += '[';
            for (size_t i = 0; i < proposals.size(); ++i) {
                if (i) out += ',';
                append_json_string(out, proposals[i]);
            }
            out += ']';
            break;
        }
        case Kind::Awareness:
            append_field(out, "id");
            append_u64(out, id);
            append_field(out, "peer");
            append_json_string(out, peer);
            append_field(out, "state");
            if (state) {
                norvane::write_json(out, *state);
            } else {
                out += "null";
            }
            break;
        default:
            append_field(out, "id");
            append_u64(out, id);
            append_field(out, "rev");
            append_u64(out, rev);
            if (kind == Kind::Rejection) {
                append_field(out, "error");
                append_json_string(out, error);
            }
            if (kind == Kind::Acknowledgement || (proposal && kind != Kind::Snapshot && kind != Kind::CrdtSnapshot)) {
                append_field(out, "proposal");
                append_json_string(out, proposal ? *proposal : std::string());
            }
            break;
    }
    out += '}';
}

std::string ClientEffect::to_json() const {
    std::string out;
    out.reserve(128);
    write_json(out);
    return out;
}

Result<ClientEffect> ClientEffect::from_json(std::string_view text) {
    return tagged_from_json<ClientEffect>(text, kTagSpec, read_fields_of);
}

}  // namespace norvane::client
