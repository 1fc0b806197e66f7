#include "api/functions.hpp"

#include <array>
#include <initializer_list>
#include <memory>
#include <string>

#include "api/frame.hpp"
#include "codec/conversions.hpp"
#include "crdt/spec.hpp"
#include "diff/apply.hpp"
#include "diff/diff.hpp"
#include "message/connection.hpp"

namespace norvane::api {

namespace {

// A module function: its name, its parameters, what its result becomes, the adapter
// that calls the core function, and the docstring's description line.
struct Function {
    const char* name;
    std::array<Param, kMaxParams> params;
    std::size_t count;
    Out out;
    PyObject* (*call)(const Arg*, Out);
    const char* description;

    std::span<const Param> parameters() const { return {params.data(), count}; }
};

template <auto F>
consteval Function function(const char* name, std::initializer_list<Param> params, Out out,
                            const char* description) {
    if (!fits<F>(std::span<const Param>(params.begin(), params.size()), out))
        throw "parameters or result kind do not fit the core function";
    Function f{name, {}, params.size(), out, &invoke<F>, description};
    std::size_t i = 0;
    for (const Param& p : params) f.params[i++] = p;
    return f;
}

// Start-up order: the sixteen module functions.
constexpr Function kFunctions[] = {
    function<&diff_texts>("diff", {text("old"), text("new")}, Out::Str,
        "Diff two JSON-encoded models, returning the JSON-encoded patch."),
    function<&apply_texts>("apply", {text("value"), text("patch")}, Out::Str,
        "Apply a JSON-encoded patch to a JSON-encoded model, returning the JSON-encoded result."),
    function<&normalize_crdt_spec>("normalize_crdt_spec", {text("json")}, Out::Str,
        "Parse, validate, and deterministically serialize a CRDT specification."),
    function<&crdt_spec_hash>("crdt_spec_hash", {text("json")}, Out::Str,
        "Return the deterministic SHA-256 hash of a CRDT specification."),
    function<&require_crdt_spec_hash>("require_crdt_spec_hash", {text("json"), text("peer_hash")}, Out::None,
        "Reject a peer hash that does not match the local CRDT specification."),
    function<&conv::encode>("encode", {text("value")}, Out::Bytes,
        "Encode a JSON-encoded model to codec bytes."),
    function<&conv::decode>("decode", {data("data")}, Out::Str,
        "Decode codec bytes back to a JSON-encoded model string."),
    function<&conv::encode_as>("encode_as", {text("value"), text("codec")}, Out::Bytes,
        "Encode a JSON-encoded model with the codec named by `codec` (e.g. `\"application/msgpack\"`)."),
    function<&conv::decode_as>("decode_as", {data("data"), text("codec")}, Out::Str,
        "Decode bytes (produced by `codec`'s codec) back to a JSON-encoded model string."),
    function<&conv::json_to_msgpack>("json_to_msgpack", {text("json")}, Out::Bytes,
        "Convert an arbitrary JSON document to MessagePack bytes (for encoding whole protocol messages)."),
    function<&conv::msgpack_to_json>("msgpack_to_json", {data("data")}, Out::Str,
        "Convert MessagePack bytes back to a JSON document."),
    function<&conv::json_to_cbor>("json_to_cbor", {text("json")}, Out::Bytes,
        "Convert an arbitrary JSON document to CBOR bytes (for encoding whole protocol messages)."),
    function<&conv::cbor_to_json>("cbor_to_json", {data("data")}, Out::Str,
        "Convert CBOR bytes back to a JSON document."),
    function<&messages::normalize>("normalize_message", {text("json")}, Out::Str,
        "Parse and serialize one typed live protocol message as compact JSON."),
    function<&messages::encode>("encode_message", {text("json"), text("codec")}, Out::Bytes,
        "Encode one JSON live protocol message with a built-in connection codec."),
    function<&messages::decode>("decode_message", {data("data"), text("codec")}, Out::Str,
        "Decode one built-in connection-codec payload as a typed live protocol message JSON string."),
};

constexpr std::size_t kCount = std::size(kFunctions);

// The fast-call entry of function I: bind, convert, call, finish, behind the wall.
template <std::size_t I>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return shielded<PyObject*>(nullptr, [&]() -> PyObject* {
        const Function& f = kFunctions[I];
        PyObject* bound[kMaxParams];
        if (!bind(f.name, f.parameters(), args, nargs, kwnames, bound)) return nullptr;
        Arg converted[kMaxParams];
        if (!convert(f.parameters(), bound, converted)) return nullptr;
        return f.call(converted, f.out);
    });
}

template <std::size_t I>
PyCFunction entry_pointer() {
    // Fast-call entries are stored under the generic signature, as the interpreter expects.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I>));
}

}  // namespace

std::span<PyMethodDef> module_functions() {
    // Built once; never freed, since function objects may outlive any static destructor. Both
    // blocks stay referenced from static storage, so leak checkers see them as reachable.
    static auto* docs = new std::array<std::string, kCount>;
    // A throw while building leaves nothing half-made: the next call builds afresh.
    static std::array<PyMethodDef, kCount>* defs = [] {
        auto table = std::make_unique<std::array<PyMethodDef, kCount>>();
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (((*table)[I] = PyMethodDef{kFunctions[I].name, entry_pointer<I>(),
                                        METH_FASTCALL | METH_KEYWORDS, nullptr}),
             ...);
        }(std::make_index_sequence<kCount>{});
        for (std::size_t i = 0; i < kCount; ++i) {
            (*docs)[i] = docstring(kFunctions[i].name, kFunctions[i].parameters(), false,
                                   kFunctions[i].description);
            (*table)[i].ml_doc = (*docs)[i].c_str();
        }
        return table.release();
    }();
    return *defs;
}

}  // namespace norvane::api
