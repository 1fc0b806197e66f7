// The in-process model store: models hosted by id, each with a type label, a value and
// a revision. Replacing a model yields the structural patch from its old value to the
// new one; mirroring applies a received patch and adopts its revision.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.hpp"
#include "value/edit.hpp"
#include "value/value.hpp"

namespace norvane {

class Store {
public:
    // Reads the tagged model JSON and hosts it under the next id, at revision 0.
    Result<std::uint64_t> host(std::string_view type_name, std::string_view value_json);

    // {"rev":..,"type_name":..,"value":..} of a model, or nothing for an unknown id.
    Result<std::optional<std::string>> snapshot(std::uint64_t id) const;

    // Replaces a model's value and raises its revision by one; returns the JSON of the
    // patch from the old value to the new one, stamped with the new revision, or nothing
    // for an unknown id. A model at the highest revision is refused unchanged.
    Result<std::optional<std::string>> mutate(std::uint64_t id, std::string_view value_json);

    // Applies the patch to a model, all or nothing, and adopts the patch's revision;
    // false for an unknown id.
    Result<bool> apply(std::uint64_t id, std::string_view patch_json);

    std::uint64_t next_id() const { return models_.size() + 1; }

private:
    struct Held {
        std::string type_name;
        Value value;
        std::uint64_t rev = 0;
        // The last text the value was replaced from, while the value still is what it says:
        // the next replacement reads only what differs from it.
        HeldText source;
    };

    Held* find(std::uint64_t id);
    const Held* find(std::uint64_t id) const;

    // Ids are handed out from 1 upwards and models are never removed, so the model
    // with id i is models_[i - 1].
    std::vector<Held> models_;
};

}  // namespace norvane
