// The CrdtDocument class: one replica of a CRDT document owned by a Python object.
#include "api/crdt_document.hpp"

#include "api/classes.hpp"
#include "crdt/reducer/document.hpp"

namespace norvane::api {

namespace {

using crdt::CrdtDocument;

// Methods have no description: their docstrings are the text signature alone.
constexpr auto kSpec = class_spec<CrdtDocument>(
    "CrdtDocument", "Schema-directed CRDT reducer backed by the shared core.",
    constructor<CrdtDocument, &CrdtDocument::create>({text("spec_json"), text("value_json"), text("replica")}),
    static_method<&CrdtDocument::from_state, CrdtDocument>(
        "from_state", {text("spec_json"), text("state_json"), text("replica")}, ""),
    noargs_method<&CrdtDocument::value>("value", Borrow::Shared, Out::Str, ""),
    noargs_method<&CrdtDocument::state>("state", Borrow::Shared, Out::Str, ""),
    method<&CrdtDocument::mutate>("mutate", {text("mutations_json")}, Borrow::Exclusive, Out::Str, ""),
    method<&CrdtDocument::apply>("apply", {text("ops_json")}, Borrow::Exclusive, Out::Str, ""),
    // The whole-value reference path of mutate and apply, for differential tests.
    method<&CrdtDocument::mutate_whole>("_mutate_whole", {text("mutations_json")}, Borrow::Exclusive, Out::Str, ""),
    method<&CrdtDocument::apply_whole>("_apply_whole", {text("ops_json")}, Borrow::Exclusive, Out::Str, ""),
    method<&CrdtDocument::member_key>("member_key", {text("path_json"), text("value_json")}, Borrow::Shared,
                                      Out::Str, ""),
    method<&CrdtDocument::compact>("compact", {text("frontier_json")}, Borrow::Exclusive, Out::Int, ""));

}  // namespace

PyObject* crdt_document_type() { return Class<kSpec>::type(); }

}  // namespace norvane::api
