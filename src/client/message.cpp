#include "client/message.hpp"

#include <array>
#include <utility>

#include "client/tagged.hpp"
#include "format/document.hpp"
#include "format/record/error.hpp"

namespace norvane::client {

namespace {

using de::DeResult;
using Kind = ClientMessage::Kind;

constexpr std::string_view kTags[] = {"snapshot", "crdt_snapshot", "patch", "crdt",
                                      "ack",      "reject",        "awareness", "batch"};

constexpr de::TagSpec kTagSpec{"t", "internally tagged enum ClientMessage", kTags, true};

constexpr std::string_view kIdRev[] = {"id", "rev"};
constexpr std::string_view kPatchFields[] = {"id", "patch", "proposal"};
constexpr std::string_view kIdRevProposal[] = {"id", "rev", "proposal"};
constexpr std::string_view kRejectFields[] = {"id", "rev", "error", "proposal"};
constexpr std::string_view kAwarenessFields[] = {"id", "peer", "state"};

// Per kind, in kind order; Batch and Unknown have no fields. Bit i of
// `defaulted` marks an optional field, which the object form may leave out.
constexpr std::array<de::StructSpec, 9> kSpecs{{
    {"Snapshot", "struct variant ClientMessage::Snapshot",
     "struct variant ClientMessage::Snapshot with 2 elements", kIdRev, 0},
    {"CrdtSnapshot", "struct variant ClientMessage::CrdtSnapshot",
     "struct variant ClientMessage::CrdtSnapshot with 2 elements", kIdRev, 0},
    {"Patch", "struct variant ClientMessage::Patch", "struct variant ClientMessage::Patch with 3 elements",
     kPatchFields, 0b100},
    {"Crdt", "struct variant ClientMessage::Crdt", "struct variant ClientMessage::Crdt with 3 elements",
     kIdRevProposal, 0b100},
    {"Ack", "struct variant ClientMessage::Ack", "struct variant ClientMessage::Ack with 3 elements",
     kIdRevProposal, 0},
    {"Reject", "struct variant ClientMessage::Reject", "struct variant ClientMessage::Reject with 4 elements",
     kRejectFields, 0b1000},
    {"Awareness", "struct variant ClientMessage::Awareness",
     "struct variant ClientMessage::Awareness with 3 elements", kAwarenessFields, 0b100},
    {"Batch", "unit variant ClientMessage::Batch", "", {}, 0},
    {"Unknown", "unit variant ClientMessage::Unknown", "", {}, 0},
}};

constexpr std::string_view kPatchRevisionFields[] = {"rev"};
constexpr de::StructSpec kPatchRevision{"PatchRevision", "struct PatchRevision",
                                        "struct PatchRevision with 1 element", kPatchRevisionFields, 0};

template <class D>
DeResult<void> read_optional_text(D& d, std::optional<std::string>& out) {
    bool some = NV_TRY(de::read_option(d, [&](auto& inner) -> DeResult<void> {
        out = NV_TRY(de::read_string(inner));
        return {};
    }));
    if (!some) out.reset();
    return {};
}

DeResult<void> read_fields_of(const de::Tagged& tagged, ClientMessage& m) {
    const de::StructSpec& spec = kSpecs[tagged.idx];
    return de::read_tagged_fields(tagged, spec, 0, [&](size_t i, de::ContentDe<Content>& d) -> DeResult<void> {
        std::string_view name = spec.fields[i];
        if (name == "id") {
            m.id = NV_TRY(de::read_u64(d));
        } else if (name == "rev") {
            m.rev = NV_TRY(de::read_u64(d));
        } else if (name == "patch") {
            NV_CHECK(de::read_struct(d, kPatchRevision, [&](size_t, auto& pd) -> DeResult<void> {
                m.rev = NV_TRY(de::read_u64(pd));
                return {};
            }));
        } else if (name == "proposal") {
            if (m.kind == Kind::Ack) {
                m.proposal = NV_TRY(de::read_string(d));
            } else {
                NV_CHECK(read_optional_text(d, m.proposal));
            }
        } else if (name == "error") {
            m.error = NV_TRY(de::read_string(d));
        } else if (name == "peer") {
            m.peer = NV_TRY(de::read_string(d));
        } else if (name == "state") {
            if (d.node().is_null()) {
                m.state.reset();
            } else {
                m.state = document_from_content(Content(d.node()));
            }
        }
        return {};
    });
}

}  // namespace

Result<ClientMessage> ClientMessage::from_json(std::string_view text) {
    return tagged_from_json<ClientMessage>(text, kTagSpec, read_fields_of);
}

}  // namespace norvane::client
