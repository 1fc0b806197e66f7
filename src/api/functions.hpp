// The module functions: one table, in the module's start-up order.
#pragma once

#include "api/python.hpp"

#include <span>

namespace norvane::api {

// The method definitions of every module function, in start-up order. They live for
// the whole process, as the function objects made from them require. Building them
// on first call may throw std::bad_alloc; a later call then builds them afresh.
std::span<PyMethodDef> module_functions();

}  // namespace norvane::api
