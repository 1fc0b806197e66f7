// _norvane_oracle, the private test module of development and sanitizer builds (never
// installed). Its one class, CrdtDocument, is the module's class over the same core with
// three more methods for differential tests:
//   mutate_whole(mutations_json), apply_whole(ops_json): mutate and apply through the
//     whole-value reference path, which materialises the whole value after every operation;
//   check(): rebuilds every cache and index kept beside the node tree and compares; None, or
//     ValueError with the first difference.
#include "api/python.hpp"

#include "api/classes.hpp"
#include "api/crdt_document_spec.hpp"
#include "api/frame.hpp"

namespace {

using norvane::crdt::CrdtDocument;
using namespace norvane::api;

constexpr auto kSpec = crdt_document_spec(
    "CrdtDocument with its whole-value reference path and its cache checker, for tests.",
    method<&CrdtDocument::mutate_whole>("mutate_whole", {text("mutations_json")}, Borrow::Exclusive, Out::Str, ""),
    method<&CrdtDocument::apply_whole>("apply_whole", {text("ops_json")}, Borrow::Exclusive, Out::Str, ""),
    noargs_method<&CrdtDocument::check>("check", Borrow::Shared, Out::None, ""));

int exec_module(PyObject* module) {
    return shielded(-1, [module] {
        PyObject* type = Class<kSpec>::type();
        if (type == nullptr) return -1;
        const int status = PyModule_AddObjectRef(module, "CrdtDocument", type);
        Py_DECREF(type);
        return status;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_norvane_oracle",  // m_name
    "",                 // m_doc
    0,                  // m_size: no per-module state
    nullptr,            // m_methods
    module_slots,       // m_slots
    nullptr,            // m_traverse
    nullptr,            // m_clear
    nullptr,            // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit__norvane_oracle(void) { return PyModuleDef_Init(&module_def); }
