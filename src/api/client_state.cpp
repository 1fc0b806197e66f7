#include "api/client_state.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/classes.hpp"
#include "client/state.hpp"

namespace norvane::api {

namespace {

// The reducer with its results in the forms the class machinery returns.
class ClientStateObject {
public:
    Result<std::string> prepare(std::string_view message_json) const { return state_.prepare(message_json); }
    Status commit(std::string_view effect_json) { return state_.commit(effect_json); }
    Result<std::string> proposal(std::uint64_t id, std::string_view ops_json, std::optional<std::string_view> proposal) {
        return state_.proposal(id, ops_json, proposal);
    }
    // The reducer drops the pending identifiers before it writes them; working on a copy
    // keeps them if writing runs out of memory. A disconnect is rare and costs what the
    // state holds either way.
    Result<std::string> disconnect() {
        client::ClientState next = state_;
        std::string effect = next.disconnect();
        state_ = std::move(next);
        return effect;
    }
    Result<std::string> revisions() const { return state_.revisions_json(); }
    Result<std::vector<std::string>> pending() const {
        return std::vector<std::string>(state_.pending().begin(), state_.pending().end());
    }
    Result<bool> abandon(std::string_view proposal) { return state_.abandon(proposal); }

private:
    client::ClientState state_;
};

constexpr auto kSpec = class_spec<ClientStateObject>(
    "ClientState", "Shared revision and proposal reducer for a language-level client adapter.",
    constructor<ClientStateObject>({}),
    method<&ClientStateObject::prepare>("prepare", {text("message_json")}, Borrow::Shared, Out::Str, ""),
    method<&ClientStateObject::commit>("commit", {text("effect_json")}, Borrow::Exclusive, Out::None, ""),
    method<&ClientStateObject::proposal>("proposal", {id("id"), text("ops_json"), optional_text("proposal")},
                                         Borrow::Exclusive, Out::Str, ""),
    noargs_method<&ClientStateObject::disconnect>("disconnect", Borrow::Exclusive, Out::Str, ""),
    noargs_method<&ClientStateObject::revisions>("revisions", Borrow::Shared, Out::Str, ""),
    noargs_method<&ClientStateObject::pending>("pending", Borrow::Shared, Out::Str, ""),
    method<&ClientStateObject::abandon>("abandon", {text("proposal")}, Borrow::Exclusive, Out::Bool, ""));

}  // namespace

PyObject* client_state_type() { return Class<kSpec>::type(); }

}  // namespace norvane::api
