// Module start-up: the module definition handed to the interpreter and its execution
// step, which adds every module function and class and lists each name in __all__.
// Every failure of the step, a C++ exception included, fails the import with the error
// set; nothing here aborts.
#include "api/python.hpp"

#include <array>

#include "api/client_state.hpp"
#include "api/crdt_document.hpp"
#include "api/frame.hpp"
#include "api/functions.hpp"
#include "bridge/store.hpp"

namespace {

// A class added after the functions: its fixed name and the getter of its class object,
// created once per process on first need (a new reference, or nullptr with the error set).
struct ClassEntry {
    const char* name;
    PyObject* (*type)();
};

// Start-up order: ClientState, CrdtDocument, Store.
constexpr std::array kClasses{
    ClassEntry{"ClientState", &norvane::api::client_state_type},
    ClassEntry{"CrdtDocument", &norvane::api::crdt_document_type},
    ClassEntry{"Store", &norvane::bridge::store_type},
};

// Appends `name` to the module's __all__ (creating the list when missing), then sets the
// attribute. Returns -1 with the error set on failure.
int add(PyObject* module, PyObject* name, PyObject* object) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) return -1;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return -1;
        }
    }
    if (!PyList_Check(all)) {
        norvane::api::raise_not_instance(all, "list");
        Py_DECREF(all);
        return -1;
    }
    const int appended = PyList_Append(all, name);
    Py_DECREF(all);
    if (appended < 0) return -1;
    return PyObject_SetAttr(module, name, object);
}

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    PyObject* function = PyCFunction_NewEx(def, module, module_name);
    if (function == nullptr) return -1;
    PyObject* name = PyObject_GetAttrString(function, "__name__");
    int status = -1;
    if (name != nullptr) {
        if (!PyUnicode_Check(name)) norvane::api::raise_not_instance(name, "str");
        else status = add(module, name, function);
        Py_DECREF(name);
    }
    Py_DECREF(function);
    return status;
}

int add_class(PyObject* module, const ClassEntry& entry) {
    PyObject* type = entry.type();
    if (type == nullptr) return -1;
    PyObject* name = PyUnicode_FromString(entry.name);
    int status = -1;
    if (name != nullptr) {
        status = add(module, name, type);
        Py_DECREF(name);
    }
    Py_DECREF(type);
    return status;
}

int add_functions(PyObject* module) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return -1;
    int status = 0;
    try {
        for (PyMethodDef& def : norvane::api::module_functions()) {
            status = add_function(module, module_name, &def);
            if (status < 0) break;
        }
    } catch (...) {
        Py_DECREF(module_name);
        throw;
    }
    Py_DECREF(module_name);
    return status;
}

int exec_module(PyObject* module) {
    return norvane::api::shielded(-1, [module] {
        if (!PyModule_Check(module)) {
            norvane::api::raise_not_instance(module, "module");
            return -1;
        }
        if (add_functions(module) < 0) return -1;
        for (const ClassEntry& entry : kClasses)
            if (add_class(module, entry) < 0) return -1;
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "norvane",     // m_name
    "",            // m_doc
    0,             // m_size: no per-module state
    nullptr,       // m_methods: the execution step adds the functions
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_norvane(void) { return PyModuleDef_Init(&module_def); }
