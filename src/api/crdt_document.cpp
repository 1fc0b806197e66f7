// The CrdtDocument class: one replica of a CRDT document owned by a Python object.
#include "api/crdt_document.hpp"

#include "api/crdt_document_spec.hpp"

namespace norvane::api {

namespace {

constexpr auto kSpec = crdt_document_spec("Schema-directed CRDT reducer backed by the shared core.");

}  // namespace

PyObject* crdt_document_type() { return Class<kSpec>::type(); }

}  // namespace norvane::api
