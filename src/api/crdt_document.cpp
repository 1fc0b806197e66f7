// The CrdtDocument class: one replica of a CRDT document owned by a Python object.
#include "api/crdt_document.hpp"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "api/frame.hpp"
#include "crdt/reducer/document.hpp"

namespace norvane::api {

namespace {

using crdt::CrdtDocument;

struct DocObject {
    PyObject_HEAD
    std::atomic<std::intptr_t> borrow;  // 0 free, -1 exclusive, n > 0 shared readers
    CrdtDocument* doc;
};

DocObject* as_doc(PyObject* self) { return reinterpret_cast<DocObject*>(self); }

// The object's borrow for one call, released on every path.
class Borrow {
public:
    Borrow(PyObject* self, bool exclusive) : obj_(as_doc(self)), exclusive_(exclusive) {
        std::intptr_t cur = obj_->borrow.load();
        if (exclusive) {
            std::intptr_t expected = 0;
            ok_ = obj_->borrow.compare_exchange_strong(expected, -1);
            if (!ok_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        while (cur >= 0) {
            if (obj_->borrow.compare_exchange_weak(cur, cur + 1)) {
                ok_ = true;
                return;
            }
        }
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ~Borrow() {
        if (!ok_) return;
        if (exclusive_)
            obj_->borrow.store(0);
        else
            obj_->borrow.fetch_sub(1);
    }
    explicit operator bool() const { return ok_; }

private:
    DocObject* obj_;
    bool exclusive_;
    bool ok_ = false;
};

PyTypeObject* g_type = nullptr;

PyObject* wrap(PyTypeObject* type, CrdtDocument&& doc) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    DocObject* obj = as_doc(self);
    new (&obj->borrow) std::atomic<std::intptr_t>(0);
    obj->doc = new CrdtDocument(std::move(doc));
    return self;
}

PyObject* wrap_result(PyTypeObject* type, Result<CrdtDocument>&& r) {
    if (!r) return raise_failure(r.error());
    return wrap(type, std::move(*r));
}

constexpr Param kNewParams[] = {text("spec_json"), text("value_json"), text("replica")};
constexpr Param kFromStateParams[] = {text("spec_json"), text("state_json"), text("replica")};
constexpr Param kMutateParams[] = {text("mutations_json")};
constexpr Param kApplyParams[] = {text("ops_json")};
constexpr Param kMemberKeyParams[] = {text("path_json"), text("value_json")};
constexpr Param kCompactParams[] = {text("frontier_json")};

// Binds and converts the arguments of a fast call; false with the error set.
template <std::size_t N>
bool take_args(const char* display, const Param (&params)[N], PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject* self, bool exclusive, Arg* out, std::optional<Borrow>& borrow) {
    PyObject* bound[kMaxParams];
    if (!bind(display, params, args, nargs, kwnames, bound)) return false;
    if (self != nullptr) {
        borrow.emplace(self, exclusive);
        if (!*borrow) return false;
    }
    return convert(params, bound, out);
}

PyObject* doc_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // Flatten the tuple and dict into the fast-call layout.
    Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return nullptr;
    std::vector<PyObject*> flat;
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GetItem(args, i));
    PyObject* kwnames = nullptr;
    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        kwnames = PyTuple_New(PyDict_Size(kwargs));
        if (kwnames == nullptr) return nullptr;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SetItem(kwnames, k++, key);
            flat.push_back(value);
        }
    }
    Arg a[kMaxParams];
    std::optional<Borrow> none;
    bool ok = take_args("CrdtDocument.__new__", kNewParams, flat.data(), nargs, kwnames, nullptr, false, a, none);
    Py_XDECREF(kwnames);
    if (!ok) return nullptr;
    return wrap_result(type, CrdtDocument::create(a[0].bytes, a[1].bytes, a[2].bytes));
}

PyObject* doc_from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    std::optional<Borrow> none;
    if (!take_args("CrdtDocument.from_state", kFromStateParams, args, nargs, kwnames, nullptr, false, a, none))
        return nullptr;
    return wrap_result(g_type, CrdtDocument::from_state(a[0].bytes, a[1].bytes, a[2].bytes));
}

PyObject* doc_value(PyObject* self, PyObject*) {
    Borrow b(self, false);
    if (!b) return nullptr;
    return finish(as_doc(self)->doc->value(), Out::Str);
}

PyObject* doc_state(PyObject* self, PyObject*) {
    Borrow b(self, false);
    if (!b) return nullptr;
    return finish(Result<std::string>(as_doc(self)->doc->state()), Out::Str);
}

PyObject* doc_mutate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    std::optional<Borrow> b;
    if (!take_args("CrdtDocument.mutate", kMutateParams, args, nargs, kwnames, self, true, a, b)) return nullptr;
    return finish(as_doc(self)->doc->mutate(a[0].bytes), Out::Str);
}

PyObject* doc_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    std::optional<Borrow> b;
    if (!take_args("CrdtDocument.apply", kApplyParams, args, nargs, kwnames, self, true, a, b)) return nullptr;
    return finish(as_doc(self)->doc->apply(a[0].bytes), Out::Str);
}

PyObject* doc_member_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    std::optional<Borrow> b;
    if (!take_args("CrdtDocument.member_key", kMemberKeyParams, args, nargs, kwnames, self, false, a, b))
        return nullptr;
    return finish(as_doc(self)->doc->member_key(a[0].bytes, a[1].bytes), Out::Str);
}

PyObject* doc_compact(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arg a[kMaxParams];
    std::optional<Borrow> b;
    if (!take_args("CrdtDocument.compact", kCompactParams, args, nargs, kwnames, self, true, a, b)) return nullptr;
    return finish(as_doc(self)->doc->compact(a[0].bytes), Out::Int);
}

int doc_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void doc_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete as_doc(self)->doc;
    as_doc(self)->doc = nullptr;
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

template <class F>
PyCFunction fast(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"from_state", fast(&doc_from_state), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_state(spec_json, state_json, replica)\n--\n\n"},
    {"value", &doc_value, METH_NOARGS, "value($self)\n--\n\n"},
    {"state", &doc_state, METH_NOARGS, "state($self)\n--\n\n"},
    {"mutate", fast(&doc_mutate), METH_FASTCALL | METH_KEYWORDS, "mutate($self, mutations_json)\n--\n\n"},
    {"apply", fast(&doc_apply), METH_FASTCALL | METH_KEYWORDS, "apply($self, ops_json)\n--\n\n"},
    {"member_key", fast(&doc_member_key), METH_FASTCALL | METH_KEYWORDS,
     "member_key($self, path_json, value_json)\n--\n\n"},
    {"compact", fast(&doc_compact), METH_FASTCALL | METH_KEYWORDS, "compact($self, frontier_json)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

char kDoc[] =
    "CrdtDocument(spec_json, value_json, replica)\n--\n\nSchema-directed CRDT reducer backed by the shared core.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, kDoc},
    {Py_tp_new, reinterpret_cast<void*>(&doc_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&doc_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&doc_traverse)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// The module part of the name makes the class report "builtins" as its module.
PyType_Spec kSpec = {
    "builtins.CrdtDocument",
    sizeof(DocObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    kSlots,
};

}  // namespace

PyObject* crdt_document_type() {
    if (g_type == nullptr) {
        PyObject* created = PyType_FromSpec(&kSpec);
        if (created == nullptr) return nullptr;
        g_type = reinterpret_cast<PyTypeObject*>(created);
    }
    PyObject* t = reinterpret_cast<PyObject*>(g_type);
    Py_INCREF(t);
    return t;
}

}  // namespace norvane::api
