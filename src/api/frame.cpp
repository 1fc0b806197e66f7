#include "api/frame.hpp"

#include <exception>
#include <limits>
#include <new>

namespace norvane::api {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own list style.
std::string quoted_list(std::span<const char* const> names) {
    std::string out;
    const std::size_t n = names.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) {
            if (n > 2) out += ',';
            out += (i == n - 1) ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

PyObject* raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

bool too_many_positional(const char* display, std::span<const Param> params, Py_ssize_t given) {
    std::size_t required = 0;
    for (const Param& p : params)
        if (p.kind != Kind::OptionalText) ++required;
    std::string msg = std::string(display) + "() takes ";
    if (required != params.size()) {
        msg += "from " + std::to_string(required) + " to " + std::to_string(params.size()) +
               " positional arguments";
    } else {
        msg += std::to_string(params.size()) +
               (params.size() == 1 ? " positional argument" : " positional arguments");
    }
    msg += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    raise_type_error(msg);
    return false;
}

bool missing(const char* display, std::span<const char* const> names) {
    std::string msg = std::string(display) + "() missing " + std::to_string(names.size()) +
                      (names.size() == 1 ? " required positional argument: "
                                         : " required positional arguments: ") +
                      quoted_list(names);
    raise_type_error(msg);
    return false;
}

bool convert_one(const Param& p, PyObject* obj, Arg& out) {
    switch (p.kind) {
        case Kind::OptionalText:
            if (obj == nullptr || obj == Py_None) {
                out.present = false;
                return true;
            }
            [[fallthrough]];
        case Kind::Text: {
            if (!PyUnicode_Check(obj)) {
                raise_not_instance(obj, "str");
                return false;
            }
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
            if (utf8 == nullptr) return false;
            out.bytes = std::string_view(utf8, static_cast<std::size_t>(size));
            out.present = true;
            return true;
        }
        case Kind::Data: {
            if (!PyBytes_Check(obj)) {
                raise_not_instance(obj, "bytes");
                return false;
            }
            char* buffer = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(obj, &buffer, &size) < 0) return false;
            out.bytes = std::string_view(buffer, static_cast<std::size_t>(size));
            out.present = true;
            return true;
        }
        case Kind::Id: {
            PyObject* index = PyNumber_Index(obj);
            if (index == nullptr) return false;
            const unsigned long long value = PyLong_AsUnsignedLongLong(index);
            Py_DECREF(index);
            if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) return false;
            out.id = static_cast<std::uint64_t>(value);
            out.present = true;
            return true;
        }
    }
    return false;
}

}  // namespace

bool bind(const char* display, std::span<const Param> params, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    const std::size_t count = params.size();
    if (static_cast<std::size_t>(nargs) > count) return too_many_positional(display, params, nargs);
    for (std::size_t i = 0; i < count; ++i)
        bound[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;

    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        if (nkw < 0) return false;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GetItem(kwnames, k);
            if (key == nullptr) return false;
            std::size_t i = 0;
            while (i < count && PyUnicode_CompareWithASCIIString(key, params[i].name) != 0) ++i;
            if (i == count) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", display, key);
                return false;
            }
            if (bound[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", display,
                             params[i].name);
                return false;
            }
            bound[i] = args[nargs + k];
        }
    }

    std::array<const char*, kMaxParams> absent{};
    std::size_t nabsent = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (bound[i] == nullptr && params[i].kind != Kind::OptionalText) absent[nabsent++] = params[i].name;
    if (nabsent != 0) return missing(display, std::span<const char* const>(absent.data(), nabsent));
    return true;
}

bool convert(std::span<const Param> params, PyObject* const* bound, Arg* out) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        out[i] = Arg{};
        if (!convert_one(params[i], bound[i], out[i])) {
            const std::string note = std::string("while processing '") + params[i].name + "'";
            add_note(note.c_str());
            return false;
        }
    }
    return true;
}

void raise_escaped() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        // The text is decoded with replacement, so any bytes of what() are accepted.
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

// The limited API of 3.11 has only the fetch/restore pair for the current exception;
// newer headers mark it deprecated without offering the replacement at this ABI level.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void add_note(const char* note) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        PyObject* added = PyObject_CallMethod(value, "add_note", "s", note);
        if (added == nullptr) PyErr_Clear();
        Py_XDECREF(added);
    }
    PyErr_Restore(type, value, traceback);
}
#pragma GCC diagnostic pop

PyObject* raise_not_instance(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return nullptr;
    }
    PyObject* name = PyType_GetName(Py_TYPE(obj));
    if (name == nullptr) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name, expected);
    Py_DECREF(name);
    return nullptr;
}

PyObject* raise_failure(std::string_view message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return nullptr;
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
    return nullptr;
}

PyObject* new_str(std::string_view utf8) {
    return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

PyObject* new_bytes(std::string_view bytes) {
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* finish(Result<std::string>&& r, Out out) {
    if (!r) return raise_failure(r.error());
    return out == Out::Bytes ? new_bytes(*r) : new_str(*r);
}

PyObject* finish(Status&& r, Out) {
    if (!r) return raise_failure(r.error());
    Py_INCREF(Py_None);
    return Py_None;
}

PyObject* finish(Result<std::uint64_t>&& r, Out) {
    if (!r) return raise_failure(r.error());
    return PyLong_FromUnsignedLongLong(*r);
}

PyObject* finish(Result<bool>&& r, Out) {
    if (!r) return raise_failure(r.error());
    return PyBool_FromLong(*r ? 1 : 0);
}

std::string docstring(std::string_view name, std::span<const Param> params, bool method,
                      std::string_view description) {
    std::string doc(name);
    doc += '(';
    bool first = true;
    if (method) {
        doc += "$self";
        first = false;
    }
    for (const Param& p : params) {
        if (!first) doc += ", ";
        first = false;
        doc += p.name;
        if (p.kind == Kind::OptionalText) doc += "=None";
    }
    doc += ")\n--\n\n";
    doc += description;
    return doc;
}

}  // namespace norvane::api
