// The client reducer: revisions committed per model, the models that follow
// CRDT snapshots, and the proposal identifiers still pending.
//
// prepare() reads the state and turns one incoming message into an effect;
// commit() records an effect; nothing else changes the revisions. Every
// failure leaves the state as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "client/effect.hpp"
#include "client/message.hpp"
#include "util/result.hpp"

namespace norvane::client {

class ClientState {
public:
    // Ordered by bytes; looked up by views.
    using Pending = std::set<std::string, std::less<>>;

    // The effect JSON for one incoming message text.
    Result<std::string> prepare(std::string_view message_json) const;
    // Records one effect text.
    Status commit(std::string_view effect_json);
    // Issues one outgoing change: the "patch" message JSON carrying the
    // operations with revision 0 and the proposal identifier (generated
    // "auto-N" when none is given), which becomes pending.
    Result<std::string> proposal(uint64_t id, std::string_view ops_json, std::optional<std::string_view> proposal);
    // Drops every pending identifier; the "disconnect" effect JSON listing them.
    std::string disconnect();
    // {"<id>":<rev>,...} in ascending id order.
    std::string revisions_json() const;
    // Pending identifiers in ascending byte order.
    const Pending& pending() const { return pending_; }
    // Retires one identifier; whether it was pending.
    bool abandon(std::string_view proposal);

    // The effect for one read message (what prepare() returns, before writing).
    Result<ClientEffect> effect_for(ClientMessage&& m) const;
    // Records one read effect.
    void apply(const ClientEffect& e);

    // Generated identifiers take the form "auto-" followed by ASCII digits.
    static bool is_reserved_proposal(std::string_view id);

private:
    std::map<uint64_t, uint64_t> revisions_;
    std::set<uint64_t> crdt_models_;
    Pending pending_;
    uint64_t next_auto_proposal_ = 1;
};

}  // namespace norvane::client
