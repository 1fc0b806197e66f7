// The CrdtDocument class object.
#pragma once

#include "api/python.hpp"

namespace norvane::api {

// The class object, created once per process on first need: a new reference, or
// nullptr with the error set.
PyObject* crdt_document_type();

}  // namespace norvane::api
