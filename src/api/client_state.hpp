// The ClientState class: the client reducer of src/client for Python.
#pragma once

#include "api/python.hpp"

namespace norvane::api {

// The class object (new reference), created on first need; nullptr with the error set.
PyObject* client_state_type();

}  // namespace norvane::api
