#include "bridge/store.hpp"

#include "api/classes.hpp"
#include "store/store.hpp"

namespace norvane::bridge {

namespace {

using api::Borrow;
using api::Out;

constexpr auto kStore = api::class_spec<Store>(
    "Store", "In-process model store: host / mutate \u2192 patch / apply / snapshot.",
    api::constructor<Store>({}),
    api::method<&Store::host>("host", {api::text("type_name"), api::text("value_json")}, Borrow::Exclusive,
                              Out::Int, "Host a model from its JSON; returns the assigned id."),
    api::method<&Store::snapshot>("snapshot", {api::id("id")}, Borrow::Shared, Out::Str,
                                  "`{\"type_name\":..,\"rev\":..,\"value\":..}` for a hosted model, or `None`."),
    api::method<&Store::mutate>(
        "mutate", {api::id("id"), api::text("value_json")}, Borrow::Exclusive, Out::Str,
        "Replace a hosted model from JSON; returns the JSON patch (or `None` if id unknown)."),
    api::method<&Store::apply>("apply", {api::id("id"), api::text("patch_json")}, Borrow::Exclusive, Out::Bool,
                               "Apply a JSON patch to a mirrored model; returns whether the id was known."));

}  // namespace

PyObject* store_type() { return api::Class<kStore>::type(); }

}  // namespace norvane::bridge
