// The CrdtDocument class description: its constructor and its seven methods, written once
// for the module's class and for the private test module's class, which adds methods of
// its own after them.
#pragma once

#include "api/classes.hpp"
#include "crdt/reducer/document.hpp"

namespace norvane::api {

// Methods have no description: their docstrings are the text signature alone.
template <class... Extra>
consteval auto crdt_document_spec(const char* description, Extra... extra) {
    using crdt::CrdtDocument;
    return class_spec<CrdtDocument>(
        "CrdtDocument", description,
        constructor<CrdtDocument, &CrdtDocument::create>({text("spec_json"), text("value_json"), text("replica")}),
        static_method<&CrdtDocument::from_state, CrdtDocument>(
            "from_state", {text("spec_json"), text("state_json"), text("replica")}, ""),
        noargs_method<&CrdtDocument::value>("value", Borrow::Shared, Out::Str, ""),
        noargs_method<&CrdtDocument::state>("state", Borrow::Shared, Out::Str, ""),
        method<&CrdtDocument::mutate>("mutate", {text("mutations_json")}, Borrow::Exclusive, Out::Str, ""),
        method<&CrdtDocument::apply>("apply", {text("ops_json")}, Borrow::Exclusive, Out::Str, ""),
        method<&CrdtDocument::member_key>("member_key", {text("path_json"), text("value_json")}, Borrow::Shared,
                                          Out::Str, ""),
        method<&CrdtDocument::compact>("compact", {text("frontier_json")}, Borrow::Exclusive, Out::Int, ""),
        extra...);
}

}  // namespace norvane::api
