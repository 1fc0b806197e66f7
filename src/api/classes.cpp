#include "api/classes.hpp"

namespace norvane::api {

bool BorrowFlag::acquire(Borrow kind) {
    std::int64_t current = state_.load(std::memory_order_acquire);
    if (kind == Borrow::Exclusive) {
        std::int64_t expected = 0;
        if (state_.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) return true;
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
    }
    while (current >= 0) {
        if (state_.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel)) return true;
    }
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return false;
}

void BorrowFlag::release(Borrow kind) {
    if (kind == Borrow::Exclusive) state_.store(0, std::memory_order_release);
    else state_.fetch_sub(1, std::memory_order_acq_rel);
}

PyObject* finish(Result<std::optional<std::string>>&& r, Out) {
    if (!r) return raise_failure(r.error());
    if (!*r) Py_RETURN_NONE;
    return new_str(**r);
}

PyObject* finish(Result<std::vector<std::string>>&& r, Out) {
    if (!r) return raise_failure(r.error());
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(r->size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < r->size(); ++i) {
        PyObject* item = new_str((*r)[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals the reference
    }
    return list;
}

bool flatten_call(PyObject* args, PyObject* kwargs, std::vector<PyObject*>& storage, Py_ssize_t& nargs,
                  PyObject** kwnames) {
    *kwnames = nullptr;
    nargs = args == nullptr ? 0 : PyTuple_Size(args);
    if (nargs < 0) return false;
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
    if (nkw < 0) return false;
    storage.clear();
    storage.reserve(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) storage.push_back(PyTuple_GetItem(args, i));
    if (nkw == 0) return true;
    PyObject* names = PyTuple_New(nkw);
    if (names == nullptr) return false;
    Py_ssize_t pos = 0, k = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SetItem(names, k++, key);  // steals the reference
        storage.push_back(value);
    }
    *kwnames = names;
    return true;
}

PyObject* create_type(const char* qualified_name, int basicsize, PyType_Slot* slots) {
    PyType_Spec spec{
        qualified_name,
        basicsize,
        0,
        // No Py_TPFLAGS_BASETYPE: the classes cannot be subclassed.
        static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC),
        slots,
    };
    return PyType_FromSpec(&spec);
}

}  // namespace norvane::api
