// The module functions: one table, in the module's start-up order.
#pragma once

#include "api/python.hpp"

#include <span>

namespace norvane::api {

// The method definitions of every module function, in start-up order. They live for
// the whole process, as the function objects made from them require.
std::span<PyMethodDef> module_functions();

}  // namespace norvane::api
