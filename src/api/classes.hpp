// The class machinery: a Python class around one plain C++ state object.
//
// A class is described once by a ClassSpec (name, description, constructor, methods)
// and becomes a heap type created from a PyType_Spec on first need and kept
// for the life of the process. Instances hold their state and an atomic borrow flag
// (0 free, -1 exclusive, n > 0 shared readers); no instance refers to a Python object.
// The classes cannot be subclassed and report their module as "builtins".
//
// Every method call runs the entry frame of frame.hpp with the receiver's borrow:
//   bind → borrow (shared or exclusive) → convert → the state's method → finish,
// and releases the borrow on every path, behind the wall of frame.hpp (a method that
// throws has released its borrow before the exception becomes a Python one). A
// conflicting use fails at once with RuntimeError "Already borrowed" (an exclusive
// borrow wanted while any is held) or "Already mutably borrowed" (a shared one wanted
// while an exclusive one is held).
//
// Usage (in src/bridge or src/api):
//   constexpr auto kSpec = api::class_spec<Store>("Store", "description",
//       api::constructor<Store>({}),
//       api::method<&Store::host>("host", {text("a")}, Borrow::Exclusive, Out::Int, "..."), ...);
//   PyObject* type = api::Class<kSpec>::type();
#pragma once

#include "api/frame.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace norvane::api {

enum class Borrow : unsigned char { Shared, Exclusive };

class BorrowFlag {
public:
    // Takes the borrow, or sets RuntimeError and returns false.
    bool acquire(Borrow kind);
    void release(Borrow kind);

private:
    std::atomic<std::int64_t> state_{0};
};

// Holds a borrow for one scope.
class BorrowGuard {
public:
    BorrowGuard(BorrowFlag& flag, Borrow kind) : flag_(flag), kind_(kind), held_(flag.acquire(kind)) {}
    ~BorrowGuard() {
        if (held_) flag_.release(kind_);
    }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    explicit operator bool() const { return held_; }

private:
    BorrowFlag& flag_;
    Borrow kind_;
    bool held_;
};

// Results of methods beyond those of module functions.
PyObject* finish(Result<std::optional<std::string>>&& r, Out out);  // str, or None
PyObject* finish(Result<std::vector<std::string>>&& r, Out out);    // list of str

// Converts a (tuple, dict) call into the fast-call form that `bind` reads: positional
// objects then keyword values in `storage`, keyword names in `*kwnames` (a new tuple,
// or nullptr). Returns false with the error set.
bool flatten_call(PyObject* args, PyObject* kwargs, std::vector<PyObject*>& storage, Py_ssize_t& nargs,
                  PyObject** kwnames);

// Creates a heap type: `qualified_name` "builtins.Name", a not subclassable GC type
// with the given slots (ending with {0, nullptr}). New reference, or nullptr.
PyObject* create_type(const char* qualified_name, int basicsize, PyType_Slot* slots);

// ---- describing a class -------------------------------------------------------------

enum class MethodKind : unsigned char {
    Instance,  // fast call with keywords, on a borrowed receiver
    NoArgs,    // no parameters at all; the interpreter refuses arguments
    Static,    // fast call with keywords, no receiver; builds a new instance
};

template <class State>
struct Method {
    const char* name;
    std::array<Param, kMaxParams> params;
    std::size_t count;
    MethodKind kind;
    Borrow borrow;
    Out out;
    PyObject* (*call)(State&, const Arg*, Out);  // Instance, NoArgs
    Result<State> (*build)(const Arg*);          // Static
    const char* description;                     // the docstring's last line ("" for none)

    constexpr std::span<const Param> parameters() const { return {params.data(), count}; }
};

template <class State>
struct Constructor {
    std::array<Param, kMaxParams> params;
    std::size_t count;
    Result<State> (*build)(const Arg*);

    constexpr std::span<const Param> parameters() const { return {params.data(), count}; }
};

template <class State, std::size_t N>
struct ClassSpec {
    using StateType = State;
    const char* name;         // the class name, "Store"
    const char* description;  // the class docstring's last line
    Constructor<State> ctor;
    std::array<Method<State>, N> methods;
};

namespace detail {

template <class F>
struct member_traits;

template <class C, class R, class... A>
struct member_traits<R (C::*)(A...)> {
    using state = C;
    using result = R;
    using args = std::tuple<std::remove_cvref_t<A>...>;
    static constexpr std::size_t arity = sizeof...(A);
    static constexpr bool is_const = false;
};

template <class C, class R, class... A>
struct member_traits<R (C::*)(A...) const> : member_traits<R (C::*)(A...)> {
    static constexpr bool is_const = true;
};

template <class R>
constexpr bool method_out_fits(Out out) {
    if constexpr (std::is_same_v<R, Result<std::optional<std::string>>>) return out == Out::Str;
    else if constexpr (std::is_same_v<R, Result<std::vector<std::string>>>) return out == Out::Str;
    else return out_fits<R>(out);
}

template <class Args, std::size_t... I>
constexpr bool args_accept([[maybe_unused]] std::span<const Param> params, std::index_sequence<I...>) {
    return (arg_of<std::tuple_element_t<I, Args>>::accepts(params[I].kind) && ...);
}

template <class Args, class F, std::size_t... I>
decltype(auto) call_with(F&& f, const Arg* args, std::index_sequence<I...>) {
    return f(arg_of<std::tuple_element_t<I, Args>>::get(args[I])...);
}

constexpr std::array<Param, kMaxParams> param_array(std::initializer_list<Param> params) {
    std::array<Param, kMaxParams> out{};
    std::size_t i = 0;
    for (const Param& p : params) out[i++] = p;
    return out;
}

}  // namespace detail

// An instance method bound to the state's member function M, e.g. &Store::host.
// A shared borrow requires a const member function.
template <auto M, class State = typename detail::member_traits<decltype(M)>::state>
consteval Method<State> method(const char* name, std::initializer_list<Param> params, Borrow borrow, Out out,
                               const char* description) {
    using T = detail::member_traits<decltype(M)>;
    if (params.size() != T::arity || params.size() > kMaxParams)
        throw "parameters do not fit the state's method";
    if (!detail::args_accept<typename T::args>(std::span<const Param>(params.begin(), params.size()),
                                               std::make_index_sequence<T::arity>{}))
        throw "parameter kinds do not fit the state's method";
    if (!detail::method_out_fits<typename T::result>(out)) throw "result kind does not fit the state's method";
    if (borrow == Borrow::Shared && !T::is_const) throw "a shared borrow needs a const method";
    auto call = [](State& state, const Arg* args, Out o) -> PyObject* {
        return finish(detail::call_with<typename T::args>(
                          [&](auto&&... a) { return (state.*M)(std::forward<decltype(a)>(a)...); }, args,
                          std::make_index_sequence<T::arity>{}),
                      o);
    };
    return Method<State>{name,  detail::param_array(params), params.size(), MethodKind::Instance, borrow,
                         out,   +call,                           nullptr,       description};
}

// A method without parameters, called without arguments (METH_NOARGS).
template <auto M, class State = typename detail::member_traits<decltype(M)>::state>
consteval Method<State> noargs_method(const char* name, Borrow borrow, Out out, const char* description) {
    Method<State> m = method<M, State>(name, {}, borrow, out, description);
    m.kind = MethodKind::NoArgs;
    return m;
}

namespace detail {

// The call of `Result<State> F(args...)` on converted arguments, after checking that the
// parameters fit F's arguments.
template <auto F, class State>
consteval auto builder(std::initializer_list<Param> params) {
    using T = core_traits<decltype(F)>;
    static_assert(std::is_same_v<typename T::result, Result<State>>, "the function builds the state");
    if (params.size() != T::arity || params.size() > kMaxParams) throw "parameters do not fit the function";
    if (!args_accept<typename T::args>(std::span<const Param>(params.begin(), params.size()),
                                       std::make_index_sequence<T::arity>{}))
        throw "parameter kinds do not fit the function";
    auto build = [](const Arg* args) -> Result<State> {
        return call_with<typename T::args>(F, args, std::make_index_sequence<T::arity>{});
    };
    return +build;
}

}  // namespace detail

// A static method that builds a new instance from a function
// `Result<State> f(args...)`.
template <auto F, class State>
consteval Method<State> static_method(const char* name, std::initializer_list<Param> params,
                                      const char* description) {
    return Method<State>{name, detail::param_array(params), params.size(), MethodKind::Static, Borrow::Shared,
                         Out::None, nullptr, detail::builder<F, State>(params), description};
}

// The constructor: F is `Result<State> f(args...)`; without F the state is
// default-constructed and the class takes no arguments.
template <class State, auto F = nullptr>
consteval Constructor<State> constructor(std::initializer_list<Param> params) {
    if constexpr (std::is_same_v<decltype(F), std::nullptr_t>) {
        if (params.size() != 0) throw "a default-constructed state takes no arguments";
        return Constructor<State>{{}, 0, [](const Arg*) -> Result<State> { return State(); }};
    } else {
        return Constructor<State>{detail::param_array(params), params.size(), detail::builder<F, State>(params)};
    }
}

template <class State, class... M>
consteval ClassSpec<State, sizeof...(M)> class_spec(const char* name, const char* description,
                                                     Constructor<State> ctor, M... methods) {
    return ClassSpec<State, sizeof...(M)>{name, description, ctor, {methods...}};
}

// ---- the class object and its entries -----------------------------------------------

template <const auto& Spec>
class Class {
    using State = typename std::remove_cvref_t<decltype(Spec)>::StateType;
    static constexpr std::size_t N = Spec.methods.size();

    struct Object {
        PyObject_HEAD
        BorrowFlag borrow;
        alignas(State) unsigned char storage[sizeof(State)];

        State& state() { return *std::launder(reinterpret_cast<State*>(storage)); }
    };

public:
    // The class object (new reference), created on first need; nullptr with the error set.
    static PyObject* type() {
        return shielded<PyObject*>(nullptr, [] {
            if (type_ == nullptr) type_ = create();
            Py_XINCREF(type_);
            return type_;
        });
    }

private:
    static Object* object(PyObject* self) { return reinterpret_cast<Object*>(self); }

    // A new instance that takes ownership of `state`.
    static PyObject* wrap(PyTypeObject* type, State&& state) {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) return nullptr;
        Object* o = object(self);
        new (&o->borrow) BorrowFlag();
        if constexpr (std::is_nothrow_move_constructible_v<State>) {
            new (o->storage) State(std::move(state));
        } else {
            try {
                new (o->storage) State(std::move(state));
            } catch (...) {
                release(self);  // the state was never made, so it is not destroyed
                throw;
            }
        }
        return self;
    }

    // Frees an instance whose state is already destroyed or was never made.
    static void release(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        object(self)->borrow.~BorrowFlag();
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(self);
        Py_DECREF(type);
    }

    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return shielded<PyObject*>(nullptr, [&]() -> PyObject* {
            std::vector<PyObject*> flat;
            Py_ssize_t nargs = 0;
            PyObject* kwnames = nullptr;
            if (!flatten_call(args, kwargs, flat, nargs, &kwnames)) return nullptr;
            PyObject* bound[kMaxParams];
            bool ok = false;
            try {
                ok = api::bind(displays()[N].c_str(), Spec.ctor.parameters(), flat.data(), nargs, kwnames, bound);
            } catch (...) {
                Py_XDECREF(kwnames);
                throw;
            }
            Py_XDECREF(kwnames);
            if (!ok) return nullptr;
            Arg converted[kMaxParams];
            if (!convert(Spec.ctor.parameters(), bound, converted)) return nullptr;
            Result<State> state = Spec.ctor.build(converted);
            if (!state) return raise_failure(state.error());
            return wrap(type, std::move(*state));
        });
    }

    static void tp_dealloc(PyObject* self) {
        object(self)->state().~State();
        release(self);
    }

    // Instances refer to no Python object; only their (heap) type is visited.
    static int tp_traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        return 0;
    }
    static int tp_clear(PyObject*) { return 0; }

    template <std::size_t I>
    static PyObject* instance_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return shielded<PyObject*>(nullptr, [&]() -> PyObject* {
            constexpr const Method<State>& m = Spec.methods[I];
            PyObject* bound[kMaxParams];
            if (!api::bind(displays()[I].c_str(), m.parameters(), args, nargs, kwnames, bound)) return nullptr;
            Object* o = object(self);
            BorrowGuard guard(o->borrow, m.borrow);
            if (!guard) return nullptr;
            Arg converted[kMaxParams];
            if (!convert(m.parameters(), bound, converted)) return nullptr;
            return m.call(o->state(), converted, m.out);
        });
    }

    template <std::size_t I>
    static PyObject* noargs_entry(PyObject* self, PyObject*) {
        return shielded<PyObject*>(nullptr, [&]() -> PyObject* {
            constexpr const Method<State>& m = Spec.methods[I];
            Object* o = object(self);
            BorrowGuard guard(o->borrow, m.borrow);
            if (!guard) return nullptr;
            return m.call(o->state(), nullptr, m.out);
        });
    }

    template <std::size_t I>
    static PyObject* static_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return shielded<PyObject*>(nullptr, [&]() -> PyObject* {
            constexpr const Method<State>& m = Spec.methods[I];
            PyObject* bound[kMaxParams];
            if (!api::bind(displays()[I].c_str(), m.parameters(), args, nargs, kwnames, bound)) return nullptr;
            Arg converted[kMaxParams];
            if (!convert(m.parameters(), bound, converted)) return nullptr;
            Result<State> state = m.build(converted);
            if (!state) return raise_failure(state.error());
            return wrap(reinterpret_cast<PyTypeObject*>(type_), std::move(*state));
        });
    }

    template <std::size_t I>
    static PyMethodDef method_def(const std::string& doc) {
        constexpr const Method<State>& m = Spec.methods[I];
        PyMethodDef def{m.name, nullptr, 0, doc.c_str()};
        if constexpr (m.kind == MethodKind::NoArgs) {
            def.ml_meth = &noargs_entry<I>;
            def.ml_flags = METH_NOARGS;
        } else if constexpr (m.kind == MethodKind::Static) {
            def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_entry<I>));
            def.ml_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
        } else {
            def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&instance_entry<I>));
            def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
        }
        return def;
    }

    // "Class.method" for each method, then "Class.__new__" for the constructor.
    static std::array<std::string, N + 1>& displays() {
        static std::array<std::string, N + 1> names = [] {
            std::array<std::string, N + 1> out;
            for (std::size_t i = 0; i < N; ++i) out[i] = std::string(Spec.name) + "." + Spec.methods[i].name;
            out[N] = std::string(Spec.name) + ".__new__";
            return out;
        }();
        return names;
    }

    static PyObject* create() {
        // Everything the type points to lives for the whole process.
        static std::array<std::string, N> docs;
        static std::array<PyMethodDef, N + 1> defs;
        static std::string class_doc;
        static std::string qualified;
        for (std::size_t i = 0; i < N; ++i)
            docs[i] = docstring(Spec.methods[i].name, Spec.methods[i].parameters(),
                                Spec.methods[i].kind != MethodKind::Static, Spec.methods[i].description);
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((defs[I] = method_def<I>(docs[I])), ...);
        }(std::make_index_sequence<N>{});
        defs[N] = PyMethodDef{nullptr, nullptr, 0, nullptr};
        class_doc = docstring(Spec.name, Spec.ctor.parameters(), false, Spec.description);
        qualified = std::string("builtins.") + Spec.name;
        (void)displays();
        // Read only while the type is made; the texts and the method table it points to
        // are kept above.
        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&tp_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void*>(&tp_traverse)},
            {Py_tp_clear, reinterpret_cast<void*>(&tp_clear)},
            {Py_tp_free, reinterpret_cast<void*>(&PyObject_GC_Del)},
            {Py_tp_doc, const_cast<char*>(class_doc.c_str())},
            {Py_tp_methods, defs.data()},
            {0, nullptr},
        };
        return create_type(qualified.c_str(), static_cast<int>(sizeof(Object)), slots);
    }

    static inline PyObject* type_ = nullptr;
};

}  // namespace norvane::api
