#include "client/state.hpp"

#include <utility>

#include "client/texts.hpp"
#include "diff/patch_json.hpp"
#include "message/message.hpp"
#include "util/float_text.hpp"

namespace norvane::client {

namespace {

using MK = ClientMessage::Kind;
using EK = ClientEffect::Kind;

ClientEffect make(EK kind, const ClientMessage& m) {
    ClientEffect e;
    e.kind = kind;
    e.id = m.id;
    e.rev = m.rev;
    return e;
}

std::string before_snapshot(const char* what, uint64_t id) {
    std::string text = what;
    append_u64(text, id);
    return text;
}

}  // namespace

bool ClientState::is_reserved_proposal(std::string_view id) {
    constexpr std::string_view prefix = "auto-";
    if (id.size() <= prefix.size() || !id.starts_with(prefix)) return false;
    for (char c : id.substr(prefix.size()))
        if (c < '0' || c > '9') return false;
    return true;
}

Result<ClientEffect> ClientState::effect_for(ClientMessage&& m) const {
    switch (m.kind) {
        case MK::Snapshot:
            return make(EK::Snapshot, m);
        case MK::CrdtSnapshot:
            return make(EK::CrdtSnapshot, m);
        case MK::Patch: {
            auto it = revisions_.find(m.id);
            if (it == revisions_.end()) return fail(before_snapshot(client_texts::kPatchBeforeSnapshot, m.id));
            ClientEffect e = make(m.rev > it->second ? EK::Patch : EK::StalePatch, m);
            e.proposal = std::move(m.proposal);
            return e;
        }
        case MK::Crdt: {
            if (!revisions_.contains(m.id))
                return fail(before_snapshot(client_texts::kCrdtBeforeSnapshot, m.id));
            if (!crdt_models_.contains(m.id)) return ClientEffect{};
            ClientEffect e = make(EK::Crdt, m);
            e.proposal = std::move(m.proposal);
            return e;
        }
        case MK::Ack: {
            ClientEffect e = make(EK::Acknowledgement, m);
            e.proposal = std::move(m.proposal);
            return e;
        }
        case MK::Reject: {
            ClientEffect e = make(EK::Rejection, m);
            e.error = std::move(m.error);
            e.proposal = std::move(m.proposal);
            return e;
        }
        case MK::Awareness: {
            ClientEffect e;
            e.kind = EK::Awareness;
            e.id = m.id;
            e.peer = std::move(m.peer);
            e.state = std::move(m.state);
            return e;
        }
        case MK::Batch:
            return fail(client_texts::kBatchNotPrepared);
        case MK::Unknown:
            break;
    }
    return ClientEffect{};
}

Result<std::string> ClientState::prepare(std::string_view message_json) const {
    ClientMessage m = NV_TRY(ClientMessage::from_json(message_json));
    ClientEffect e = NV_TRY(effect_for(std::move(m)));
    return e.to_json();
}

void ClientState::apply(const ClientEffect& e) {
    auto retire = [&] {
        if (e.proposal) {
            auto it = pending_.find(*e.proposal);
            if (it != pending_.end()) pending_.erase(it);
        }
    };
    auto raise_to = [&](uint64_t rev) {
        auto [it, inserted] = revisions_.try_emplace(e.id, rev);
        if (!inserted && rev > it->second) it->second = rev;
    };
    switch (e.kind) {
        case EK::Snapshot:
            revisions_[e.id] = e.rev;
            crdt_models_.erase(e.id);
            break;
        case EK::CrdtSnapshot: {
            // Both records or neither: the insertion is taken back when the
            // revision cannot be recorded.
            auto [model, added] = crdt_models_.insert(e.id);
            try {
                raise_to(e.rev);
            } catch (...) {
                if (added) crdt_models_.erase(model);
                throw;
            }
            break;
        }
        case EK::Patch:
            revisions_[e.id] = e.rev;
            retire();
            break;
        case EK::Crdt:
            raise_to(e.rev);
            retire();
            break;
        case EK::StalePatch:
        case EK::Acknowledgement:
        case EK::Rejection:
            retire();
            break;
        case EK::Awareness:
        case EK::Ignore:
        case EK::Disconnect:
            break;
    }
}

Status ClientState::commit(std::string_view effect_json) {
    ClientEffect e = NV_TRY(ClientEffect::from_json(effect_json));
    apply(e);
    return {};
}

Result<std::string> ClientState::proposal(uint64_t id, std::string_view ops_json,
                                          std::optional<std::string_view> proposal) {
    std::vector<Op> ops = NV_TRY(parse_ops(ops_json));
    std::string chosen;
    if (proposal) {
        if (is_reserved_proposal(*proposal)) return fail(client_texts::kReservedProposal);
        chosen.assign(*proposal);
    } else {
        chosen = "auto-";
        append_u64(chosen, next_auto_proposal_);
    }
    Message message{PatchMessage{id, Patch{0, std::move(ops)}, chosen}};
    std::string text = message.to_json();
    // Nothing below can fail: the state changes only now.
    pending_.insert(std::move(chosen));
    if (!proposal) ++next_auto_proposal_;
    return text;
}

std::string ClientState::disconnect() {
    ClientEffect e;
    e.kind = EK::Disconnect;
    e.proposals.reserve(pending_.size());
    for (auto it = pending_.begin(); it != pending_.end();)
        e.proposals.push_back(std::move(pending_.extract(it++).value()));
    return e.to_json();
}

std::string ClientState::revisions_json() const {
    std::string out = "{";
    bool first = true;
    for (const auto& [id, rev] : revisions_) {
        if (!first) out += ',';
        first = false;
        out += '"';
        append_u64(out, id);
        out += "\":";
        append_u64(out, rev);
    }
    out += '}';
    return out;
}

bool ClientState::abandon(std::string_view proposal) {
    auto it = pending_.find(proposal);
    if (it == pending_.end()) return false;
    pending_.erase(it);
    return true;
}

}  // namespace norvane::client
