// The one way the binding includes the interpreter's headers. The build defines
// Py_LIMITED_API, so only the stable ABI is visible.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
