// The entry frame shared by every module function and class method:
//   1. bind    - match positional and keyword arguments to the declared parameters;
//   2. convert - turn each bound object into plain data, in declaration order;
//   3. the core call, on plain data;
//   4. finish  - build the result object, or raise ValueError with the failure text.
// A method takes its borrow between steps 1 and 2.
//
// Every entry the interpreter calls runs inside `shielded`, the wall no C++ exception
// passes: the standard containers throw std::bad_alloc when memory runs out, and an
// exception reaching the interpreter would terminate the process.
#pragma once

#include "api/python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "util/result.hpp"

namespace norvane::api {

// How one parameter is taken from Python.
enum class Kind : unsigned char {
    Text,          // str or a subclass, read as UTF-8
    OptionalText,  // as Text, or None; None when not given
    Data,          // bytes or a subclass
    Id,            // an int 0..2^64-1, or an object with __index__
};

struct Param {
    const char* name;
    Kind kind;
};

constexpr Param text(const char* name) { return {name, Kind::Text}; }
constexpr Param optional_text(const char* name) { return {name, Kind::OptionalText}; }
constexpr Param data(const char* name) { return {name, Kind::Data}; }
constexpr Param id(const char* name) { return {name, Kind::Id}; }

inline constexpr std::size_t kMaxParams = 4;

// One converted argument. The views point into the argument objects, which the caller
// of the entry keeps alive for the whole call.
struct Arg {
    std::string_view bytes;  // Text, Data, OptionalText when present
    bool present = false;    // OptionalText: false for None or not given
    std::uint64_t id = 0;    // Id
};

// Step 1. `display` names the callable in messages ("encode_as", "Store.host");
// the texts add "()". On success bound[i] is the borrowed object for parameter i,
// or nullptr for an optional parameter that was not given. Returns false with a
// TypeError set otherwise.
bool bind(const char* display, std::span<const Param> params, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

// Step 2. Converts in declaration order and stops at the first failure, which keeps
// its exception type and gets the note "while processing '<param>'".
bool convert(std::span<const Param> params, PyObject* const* bound, Arg* out);

// Turns the C++ exception being handled into a Python exception: std::bad_alloc (and
// its subclasses) becomes MemoryError, anything else SystemError. Call only from a
// catch handler.
void raise_escaped() noexcept;

// Runs `body` and returns its result; if it throws, raises the Python exception of
// raise_escaped and returns `failed`. Everything `body` holds is released on the way out
// (a method's borrow included), so the wall is the only place that sees the exception.
template <class R, class F>
R shielded(R failed, F&& body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        raise_escaped();
        return failed;
    }
}

// Adds a note to the exception currently set; a failure to add it is ignored.
void add_note(const char* note);

// Raises TypeError "'<type>' object is not an instance of '<expected>'"
// ("'None' is not an instance of '<expected>'" for None). Returns nullptr.
PyObject* raise_not_instance(PyObject* obj, const char* expected);

// Raises ValueError whose only argument is the failure text. Returns nullptr.
PyObject* raise_failure(std::string_view message);

// New str (from UTF-8) or bytes objects; nullptr with the error set on failure.
PyObject* new_str(std::string_view utf8);
PyObject* new_bytes(std::string_view bytes);

// What a core result becomes in Python.
enum class Out : unsigned char { Str, Bytes, None, Int, Bool };

PyObject* finish(Result<std::string>&& r, Out out);
PyObject* finish(Status&& r, Out out);
PyObject* finish(Result<std::uint64_t>&& r, Out out);
PyObject* finish(Result<bool>&& r, Out out);

// The docstring "name(p1, p2)\n--\n\ndescription"; methods get "$self" first and an
// optional text shows as "p=None".
std::string docstring(std::string_view name, std::span<const Param> params, bool method,
                      std::string_view description);

// ---- Adapting a core function to converted arguments -------------------------------

namespace detail {

template <class F>
struct core_traits;

template <class R, class... A>
struct core_traits<R (*)(A...)> {
    using result = R;
    using args = std::tuple<std::remove_cvref_t<A>...>;
    static constexpr std::size_t arity = sizeof...(A);
};

template <class T>
struct arg_of;

template <>
struct arg_of<std::string_view> {
    static constexpr bool accepts(Kind k) { return k == Kind::Text || k == Kind::Data; }
    static std::string_view get(const Arg& a) { return a.bytes; }
};

template <>
struct arg_of<std::optional<std::string_view>> {
    static constexpr bool accepts(Kind k) { return k == Kind::OptionalText; }
    static std::optional<std::string_view> get(const Arg& a) {
        return a.present ? std::optional<std::string_view>(a.bytes) : std::nullopt;
    }
};

template <>
struct arg_of<std::uint64_t> {
    static constexpr bool accepts(Kind k) { return k == Kind::Id; }
    static std::uint64_t get(const Arg& a) { return a.id; }
};

template <class R>
constexpr bool out_fits(Out out) {
    if constexpr (std::is_same_v<R, Result<std::string>>) return out == Out::Str || out == Out::Bytes;
    else if constexpr (std::is_same_v<R, Status>) return out == Out::None;
    else if constexpr (std::is_same_v<R, Result<std::uint64_t>>) return out == Out::Int;
    else if constexpr (std::is_same_v<R, Result<bool>>) return out == Out::Bool;
    else return false;
}

}  // namespace detail

// Calls the core function F with the converted arguments and finishes its result.
template <auto F>
PyObject* invoke(const Arg* args, Out out) {
    using T = detail::core_traits<decltype(F)>;
    auto r = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return F(detail::arg_of<std::tuple_element_t<I, typename T::args>>::get(args[I])...);
    }(std::make_index_sequence<T::arity>{});
    return finish(std::move(r), out);
}

// Compile-time check that a parameter list and result kind fit the core function F.
template <auto F>
consteval bool fits(std::span<const Param> params, Out out) {
    using T = detail::core_traits<decltype(F)>;
    if (params.size() != T::arity || params.size() > kMaxParams) return false;
    if (!detail::out_fits<typename T::result>(out)) return false;
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (detail::arg_of<std::tuple_element_t<I, typename T::args>>::accepts(params[I].kind) && ...);
    }(std::make_index_sequence<T::arity>{});
}

}  // namespace norvane::api
