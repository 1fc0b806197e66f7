// The Python class Store over the model store.
#pragma once

#include "api/python.hpp"

namespace norvane::bridge {

// The class object (new reference), created on first need; nullptr with the error set.
PyObject* store_type();

}  // namespace norvane::bridge
