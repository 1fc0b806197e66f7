"""Calls that run out of memory raise MemoryError and leave their objects as they were.

Two ways to run out, each in a fresh interpreter: an address space limited to what the
process uses after building a large input plus a small margin, so that the call's first
large allocation fails while the interpreter can still raise and report; and a hook on
the C++ allocation functions that fails each allocation of a call in turn.
"""

import json
import os
import shutil
import subprocess
import sys

import pytest

import entry_points
import norvane

resource = pytest.importorskip("resource")

pytestmark = [
    pytest.mark.skipif(bool(os.environ.get("NORVANE_SANITIZED")),
                       reason="the sanitizer runtime reserves far more address space than any limit here"),
    pytest.mark.skipif(not hasattr(resource, "RLIMIT_AS") or not os.path.exists("/proc/self/status"),
                       reason="needs an address-space limit and /proc/self/status"),
]

# The input of each call holds a string of N bytes, so the call must allocate at least
# that much; the margin lets the interpreter raise and print, and nothing large.
N = 64 << 20
MARGIN = 16 << 20

SCRIPT = """\
import json, resource, sys
import norvane
BIG = "x" * {n}
{setup}
ARG = {arg}
def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
before = {observe}
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + {margin}, hard))
try:
    {call}
    outcome = "returned"
except MemoryError:
    outcome = "MemoryError"
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(outcome, {observe} == before, {then})
"""

# Python source of inputs, built before the limit is set.
MAP = json.dumps({"root": {"kind": "map"}})
TAGGED = "'{\"Str\":\"' + BIG + '\"}'"  # tagged model JSON of the big string
MSGPACK_STR = 'b"\\xdb" + len(BIG).to_bytes(4, "big") + BIG.encode()'
MANY = "'{\"List\":[' + '{\"Int\":7},' * (4 << 20) + '{\"Int\":7}]}'"  # millions of small values
CBOR_STR = 'b"\\x7a" + len(BIG).to_bytes(4, "big") + BIG.encode()'


def json_with_big(text):
    """Python source of `text` (JSON) with the placeholder "BIG" standing for the big string."""
    return repr(text).replace("BIG", "' + BIG + '")


DOC = (f"doc = norvane.CrdtDocument({MAP!r}, '{{\"Map\":{{\"k\":{{\"Int\":1}}}}}}', 'a')\n"
       "SET_K = '[{\"kind\":\"map_set\",\"path\":[],\"key\":\"k\",\"value\":{\"Int\":2}}]'")
CLIENT = ("s = norvane.ClientState()\n"
          "s.commit('{\"effect\":\"snapshot\",\"id\":1,\"rev\":2}')\n"
          "s.proposal(1, '[]', 'kept')")
STORE = "st = norvane.Store()\nst.host('T', '{\"Map\":{\"a\":{\"Int\":1}}}')"
BIG_DOC = f"doc = norvane.CrdtDocument({MAP!r}, '{{\"Map\":{{\"k\":' + {TAGGED} + '}}}}', 'a')"
DOC_OBSERVED = "(doc.value(), doc.state())"
CLIENT_OBSERVED = "(s.revisions(), s.pending())"
STORE_OBSERVED = "st.snapshot(1)"
SET_BIG = {"Set": {"path": [{"Key": "a"}], "value": {"Str": "BIG"}}}
BIG_SPEC = json_with_big(json.dumps({"root": {"kind": "map", "fields": {"BIG": {"kind": "register"}}}}))
BIG_MESSAGE = json_with_big(json.dumps({"t": "snapshot", "id": 1, "type": "T", "rev": 1, "value": {"Str": "BIG"}}))

# name: (setup, input ARG, call, observed state, check after the call). Every entry point
# has a case, but those that cannot be given a large input (NO_LARGE_INPUT).
CASES = {
    # codecs
    "encode": ("", TAGGED, "norvane.encode(ARG)", "None", "True"),
    "decode": ("", f"({TAGGED}).encode()", "norvane.decode(ARG)", "None", "True"),
    "encode_as": ("", TAGGED, "norvane.encode_as(ARG, 'application/cbor')", "None", "True"),
    "decode_as": ("", 'b"\\x81\\xa3Str" + ' + MSGPACK_STR, "norvane.decode_as(ARG, 'application/msgpack')",
                  "None", "True"),
    # conversions
    "json_to_cbor": ("", "'\"' + BIG + '\"'", "norvane.json_to_cbor(ARG)", "None", "True"),
    "json_to_msgpack": ("", "'\"' + BIG + '\"'", "norvane.json_to_msgpack(ARG)", "None", "True"),
    "msgpack_to_json": ("", MSGPACK_STR, "norvane.msgpack_to_json(ARG)", "None", "True"),
    "cbor_to_json": ("", CBOR_STR, "norvane.cbor_to_json(ARG)", "None", "True"),
    # values and diff
    "diff": ("", TAGGED, "norvane.diff('{\"Str\":\"\"}', ARG)", "None", "True"),
    "apply": ("", json_with_big(json.dumps({"rev": 0, "ops": [SET_BIG]})),
              "norvane.apply('{\"Map\":{}}', ARG)", "None", "True"),
    "diff of many small values": ("", MANY, "norvane.diff('{\"List\":[]}', ARG)", "None", "True"),
    # CRDT specifications
    "normalize_crdt_spec": ("", BIG_SPEC, "norvane.normalize_crdt_spec(ARG)", "None", "True"),
    "crdt_spec_hash": ("", BIG_SPEC, "norvane.crdt_spec_hash(ARG)", "None", "True"),
    "require_crdt_spec_hash": ("", BIG_SPEC, "norvane.require_crdt_spec_hash(ARG, 'sha256:00')", "None", "True"),
    # CRDT documents
    "CrdtDocument()": ("", TAGGED, f"norvane.CrdtDocument({MAP!r}, ARG, 'a')", "None", "True"),
    "CrdtDocument.mutate": (DOC, json_with_big(json.dumps([{"kind": "map_set", "path": [], "key": "k",
                                                            "value": {"Str": "BIG"}}])),
                            "doc.mutate(ARG)", DOC_OBSERVED, "json.loads(doc.mutate(SET_K))['ops'][0]['dot']"),
    "CrdtDocument.apply": (DOC, json_with_big(json.dumps([{"kind": "map_set", "dot": {"counter": 1, "replica": "b"},
                                                           "path": [], "key": "k", "value": {"Str": "BIG"}}])),
                           "doc.apply(ARG)", DOC_OBSERVED, "True"),
    "CrdtDocument.from_state": (BIG_DOC, "doc.state()", f"norvane.CrdtDocument.from_state({MAP!r}, ARG, 'b')",
                                "None", "True"),
    "CrdtDocument.value": (BIG_DOC, "None", "doc.value()", DOC_OBSERVED, "True"),
    "CrdtDocument.state": (BIG_DOC, "None", "doc.state()", DOC_OBSERVED, "True"),
    "CrdtDocument.member_key": ("doc = norvane.CrdtDocument('{\"root\":{\"kind\":\"set\"}}', '{\"List\":[]}', 'a')",
                                TAGGED, "doc.member_key('[]', ARG)", DOC_OBSERVED, "True"),
    "CrdtDocument.compact": (DOC, "'{\"' + BIG + '\":1}'", "doc.compact(ARG)", DOC_OBSERVED, "True"),
    # messages and the client
    "normalize_message": ("", BIG_MESSAGE, "norvane.normalize_message(ARG)", "None", "True"),
    "encode_message": ("", BIG_MESSAGE, "norvane.encode_message(ARG, 'application/cbor')", "None", "True"),
    "decode_message": ("", f"({BIG_MESSAGE}).encode()", "norvane.decode_message(ARG, 'application/json')", "None",
                       "True"),
    "ClientState.prepare": (CLIENT, json_with_big(json.dumps({"t": "ack", "id": 1, "rev": 3, "proposal": "BIG"})),
                            "s.prepare(ARG)", CLIENT_OBSERVED, "True"),
    "ClientState.pending": (CLIENT + "\ns.proposal(1, '[]', BIG)", "None", "s.pending()", CLIENT_OBSERVED, "True"),
    "ClientState.proposal": (CLIENT, json_with_big(json.dumps([SET_BIG])), "s.proposal(1, ARG)", CLIENT_OBSERVED,
                             "json.loads(s.proposal(1, '[]'))['proposal']"),
    "ClientState.commit": (CLIENT, json_with_big(json.dumps({"effect": "rejection", "id": 1, "rev": 3,
                                                             "proposal": "kept", "error": "BIG"})),
                           "s.commit(ARG)", CLIENT_OBSERVED, "True"),
    "ClientState.disconnect": (CLIENT + "\ns.proposal(1, '[]', BIG)", "None", "s.disconnect()", CLIENT_OBSERVED,
                               "True"),
    # the store
    "Store.host": ("st = norvane.Store()", TAGGED, "st.host('T', ARG)", STORE_OBSERVED,
                   "st.host('T', '{\"Null\":null}')"),
    "Store.mutate": (STORE, TAGGED, "st.mutate(1, ARG)", STORE_OBSERVED, "st.mutate(1, '\"Null\"')"),
    "Store.snapshot": (f"st = norvane.Store()\nst.host('T', {TAGGED})", "None", "st.snapshot(1)", STORE_OBSERVED,
                       "True"),
    "Store.apply": (STORE, json_with_big(json.dumps({"rev": 5, "ops": [SET_BIG]})), "st.apply(1, ARG)",
                    STORE_OBSERVED, "True"),
}

NO_LARGE_INPUT = {
    "ClientState()": "takes no input",
    "Store()": "takes no input",
    "ClientState.revisions": "its text grows with the number of models only, a few bytes each",
    "ClientState.abandon": "it looks its text up where it stands and returns a boolean",
}

# What the check after the call prints: the next call behaves as if the failed one had
# never been made (no dot, proposal number, id or revision was used up).
AFTER = {
    "CrdtDocument.mutate": "{'counter': 1, 'replica': 'a'}",
    "ClientState.proposal": "auto-1",
    "Store.host": "1",
    "Store.mutate": '{"rev":1,"ops":[{"Set":{"path":[],"value":"Null"}}]}',
}


def run(setup, arg, call, observe, then):
    script = SCRIPT.format(n=N, margin=MARGIN, setup=setup, arg=arg, observe=observe, call=call, then=then)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, env=env)


@pytest.mark.parametrize("name", [n for n in entry_points.NAMES if n not in NO_LARGE_INPUT] +
                         [n for n in CASES if n not in entry_points.NAMES])
def test_out_of_memory_raises_and_keeps_state(name):
    assert name in CASES, "no case for this entry point"
    out = run(*CASES[name])
    assert (out.returncode, out.stderr) == (0, "")
    assert out.stdout == f"MemoryError True {AFTER.get(name, 'True')}\n"


def test_the_limit_leaves_room_for_ordinary_calls():
    # The same limit with a small input: the call succeeds, so the failures above come
    # from the size of their input and not from the limit itself.
    out = run("BIG = BIG[:1000]", TAGGED, "norvane.encode(ARG)", "None", "True")
    assert (out.returncode, out.stdout) == (0, "returned True True\n")


# ---- every allocation of a call, failed in turn -----------------------------------------

# Replaces the C++ allocation functions of the process (loaded with LD_PRELOAD): after
# nv_fail_after(k), the allocation k + 1 from then on throws std::bad_alloc, once.
FAILING_NEW = r"""
#include <cstdlib>
#include <new>
static long countdown = -1;
extern "C" void nv_fail_after(long n) { countdown = n; }
static void* take(std::size_t n) {
    if (countdown >= 0 && countdown-- == 0) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n) { return take(n); }
void* operator new[](std::size_t n) { return take(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
"""

# For k = 0, 1, ...: a fresh object, the call with its allocation k failing, until the
# call no longer fails. Prints whether any allocation was made, the ks after whose
# failure the object differed from a fresh one, and whether the result of the call that
# ran through equals the result without failures.
SWEEP = """\
import ctypes, json, norvane
fail_after = ctypes.CDLL({lib!r}).nv_fail_after
{setup}
expected = call(make())
changed = []
for k in range(100000):
    obj = make()
    before = observe(obj)
    fail_after(k)
    try:
        result = call(obj)
        done = True
    except MemoryError:
        done = False
    finally:
        fail_after(-1)
    if done:
        break
    if observe(obj) != before or then(obj) != then(make()):
        changed.append(k)
print(k > 0, changed, result == expected)
"""

STATELESS = """\
make = lambda: None
observe = then = lambda obj: None
def call(obj):
    try:
        return {call}
    except ValueError as e:
        return "ValueError", str(e)
"""

V = '{"Map":{"a":{"Int":1},"f":{"Float":1.5},"l":{"List":[{"Str":"x"},{"Bool":true},"Null",{"Submodel":3}]}}}'
W = '{"Map":{"a":{"Int":2},"l":{"List":[{"Bool":true},{"Str":"x"},{"Str":"y"}]}}}'
GENERIC = '{"b":[1,2.5,"x",null,true,{"z":{},"a":[]}],"a":-3}'
SPEC = json.dumps({"root": {"kind": "map", "fields": {
    "t": {"kind": "sequence", "materialization": "string"},
    "s": {"kind": "set", "keys": [["id"]], "element": {"kind": "map"}}}}})
MESSAGE = json.dumps({"t": "patch", "id": 1, "proposal": "p", "patch": {"rev": 2, "ops": [
    {"Move": {"path": [{"Key": "l"}], "from": 0, "to": 1}}, {"Set": {"path": [{"Key": "a"}], "value": {"Int": 2}}}]}})

CBOR_V = norvane.encode_as(V, "application/cbor")
MESSAGE_MSGPACK = norvane.encode_message(MESSAGE, "application/msgpack")

# One call of each module function (and a few more); a call may fail, its failure text is
# formed then.
FUNCTION_CALLS = {
    "diff": f"norvane.diff({V!r}, {W!r})",
    "apply": f"norvane.apply({V!r}, {norvane.diff(V, W)!r})",
    "normalize_crdt_spec": f"norvane.normalize_crdt_spec({SPEC!r})",
    "crdt_spec_hash": f"norvane.crdt_spec_hash({SPEC!r})",
    "require_crdt_spec_hash": f"norvane.require_crdt_spec_hash({SPEC!r}, {norvane.crdt_spec_hash(SPEC)!r})",
    "encode": f"norvane.encode({V!r})",
    "decode": f"norvane.decode({V.encode()!r})",
    "encode_as": f"norvane.encode_as({V!r}, 'application/cbor')",
    "decode_as": f"norvane.decode_as({CBOR_V!r}, 'application/cbor')",
    "json_to_msgpack": f"norvane.json_to_msgpack({GENERIC!r})",
    "msgpack_to_json": f"norvane.msgpack_to_json({norvane.json_to_msgpack(GENERIC)!r})",
    "json_to_cbor": f"norvane.json_to_cbor({GENERIC!r})",
    "cbor_to_json": f"norvane.cbor_to_json({norvane.json_to_cbor(GENERIC)!r})",
    "normalize_message": f"norvane.normalize_message({MESSAGE!r})",
    "encode_message": f"norvane.encode_message({MESSAGE!r}, 'application/msgpack')",
    "decode_message": f"norvane.decode_message({MESSAGE_MSGPACK!r}, 'application/msgpack')",
    "decode of a malformed text": "norvane.decode(b'{\"Map\":{\"a\":[1,}}')",
    "require_crdt_spec_hash of another hash": f"norvane.require_crdt_spec_hash({SPEC!r}, 'sha256:00')",
}

DOC_VALUE = '{"Map":{"a":{"Int":1},"t":{"Str":"hello"},"s":{"List":[{"Map":{"id":{"Int":1}}}]}}}'
MUTATIONS = json.dumps([
    {"kind": "map_set", "path": [], "key": "b", "value": {"Str": "x"}},
    {"kind": "map_remove", "path": [], "key": "a"},
    {"kind": "sequence_splice", "path": [{"kind": "key", "key": "t"}], "index": 1, "delete_count": 2,
     "values": [{"Str": "A"}, {"Str": "B"}]}])
STORED = '{"Map":{"a":{"Int":1},"l":{"List":[{"Int":1},{"Int":2},{"Int":3}]}}}'
PATCH = json.dumps({"rev": 3, "ops": [
    {"Set": {"path": [{"Key": "b"}], "value": {"Str": "xyz"}}},
    {"Move": {"path": [{"Key": "l"}], "from": 0, "to": 2}},
    {"Insert": {"path": [{"Key": "l"}], "index": 1, "value": {"Int": 9}}},
    {"Reorder": {"path": [{"Key": "l"}], "order": [3, 2, 1, 0]}},
    {"Remove": {"path": [{"Key": "a"}]}}]})

DOC_SETUP = f"""\
SPEC, VALUE, MUTATIONS = {SPEC!r}, {DOC_VALUE!r}, {MUTATIONS!r}
OPS = json.loads(norvane.CrdtDocument(SPEC, VALUE, "a").mutate(MUTATIONS))["ops"]
observe = lambda d: (d.value(), d.state())
then = lambda d: d.mutate(MUTATIONS)
"""
HELD_SETUP = f"""\
SPEC = {json.dumps({"root": {"kind": "map", "fields": {"l": {"kind": "sequence"}}}})!r}
insert = lambda i: json.dumps([{{"kind": "sequence_splice", "path": [{{"kind": "key", "key": "l"}}], "index": 500,
                                 "delete_count": 0, "values": [{{"Int": 10000 + i}}]}}])
def make():
    d = norvane.CrdtDocument(SPEC, json.dumps({{"Map": {{"l": {{"List": [{{"Int": i}} for i in range(1100)]}}}}}}), "a")
    d.mutate(insert(0))
    d.mutate(insert(1))
    return d
observe = lambda d: d.state()  # reading the value would put the list back
then = lambda d: (d.mutate(insert(3)), d.value())
"""
CLIENT_SETUP = """\
def make():
    s = norvane.ClientState()
    s.commit('{"effect":"snapshot","id":1,"rev":2}')
    s.proposal(1, '[]', 'kept')
    return s
observe = lambda s: (s.revisions(), s.pending())
then = lambda s: s.proposal(1, '[]')
"""
STORE_SETUP = f"""\
def make():
    st = norvane.Store()
    st.host('T', {STORED!r})
    return st
observe = lambda st: st.snapshot(1)
then = lambda st: (st.host('U', '"Null"'), st.mutate(1, '"Null"'))
"""


# One call of each constructor and method (and a few more).
METHOD_CALLS = {
    "CrdtDocument()": DOC_SETUP + "make = lambda: None\nobserve = then = lambda d: None\n"
                      "call = lambda d: norvane.CrdtDocument(SPEC, VALUE, 'a').state()",
    "CrdtDocument.from_state": DOC_SETUP + "make = lambda: norvane.CrdtDocument(SPEC, VALUE, 'a')\n"
                               "call = lambda d: norvane.CrdtDocument.from_state(SPEC, d.state(), 'b').value()",
    "CrdtDocument.value": DOC_SETUP + "make = lambda: norvane.CrdtDocument(SPEC, VALUE, 'a')\n"
                          "call = lambda d: d.value()",
    "CrdtDocument.state": DOC_SETUP + "make = lambda: norvane.CrdtDocument(SPEC, VALUE, 'a')\n"
                          "call = lambda d: d.state()",
    "CrdtDocument.mutate": DOC_SETUP + "make = lambda: norvane.CrdtDocument(SPEC, VALUE, 'a')\n"
                           "call = lambda d: d.mutate(MUTATIONS)",
    "CrdtDocument.apply": DOC_SETUP + "make = lambda: norvane.CrdtDocument(SPEC, VALUE, 'b')\n"
                          "call = lambda d: d.apply(json.dumps(OPS))",
    "CrdtDocument.member_key": DOC_SETUP + "make = lambda: norvane.CrdtDocument(SPEC, VALUE, 'a')\n"
                               "call = lambda d: d.member_key('[{\"kind\":\"key\",\"key\":\"s\"}]', "
                               "'{\"Map\":{\"id\":{\"Int\":5}}}')",
    "CrdtDocument.compact": DOC_SETUP + "def make():\n    d = norvane.CrdtDocument(SPEC, VALUE, 'a')\n"
                            "    d.mutate(MUTATIONS)\n    d.mutate(json.dumps([{'kind': 'map_remove', 'path': [], "
                            "'key': 'b'}]))\n    return d\n"
                            "call = lambda d: d.compact('{\"a\":4}')",
    # Two calls in a row that insert into a long list: it is held out of the kept value.
    "CrdtDocument.mutate into a held list": HELD_SETUP + "call = lambda d: d.mutate(insert(2))",
    "ClientState()": CLIENT_SETUP + "call = lambda s: type(norvane.ClientState()).__name__",
    "ClientState.prepare": CLIENT_SETUP + "call = lambda s: s.prepare('{\"t\":\"patch\",\"id\":1,"
                           "\"patch\":{\"rev\":3,\"ops\":[]},\"proposal\":\"kept\"}')",
    "ClientState.proposal": CLIENT_SETUP + "call = lambda s: s.proposal(1, "
                            "'[{\"Set\":{\"path\":[],\"value\":{\"Int\":1}}}]')",
    "ClientState.commit": CLIENT_SETUP + "call = lambda s: s.commit('{\"effect\":\"crdt_snapshot\",\"id\":7,"
                          "\"rev\":3}')",
    "ClientState.commit of a patch": CLIENT_SETUP + "call = lambda s: s.commit('{\"effect\":\"patch\",\"id\":1,"
                                     "\"rev\":3,\"proposal\":\"kept\"}')",
    "ClientState.disconnect": CLIENT_SETUP + "call = lambda s: s.disconnect()",
    "ClientState.revisions": CLIENT_SETUP + "def make():\n    s = norvane.ClientState()\n"
                             "    for i in range(1, 9):\n"
                             "        s.commit('{\"effect\":\"snapshot\",\"id\":%d,\"rev\":%d}' % (i, 10 * i))\n"
                             "    return s\n"
                             "call = lambda s: s.revisions()",
    "ClientState.pending": CLIENT_SETUP + "call = lambda s: s.pending()",
    "ClientState.abandon": CLIENT_SETUP + "call = lambda s: s.abandon('kept')",
    "Store()": STORE_SETUP + "call = lambda st: type(norvane.Store()).__name__",
    "Store.host": STORE_SETUP + "call = lambda st: st.host('T', '{\"Int\":1}')",
    "Store.snapshot": STORE_SETUP + "call = lambda st: st.snapshot(1)",
    "Store.mutate": STORE_SETUP + f"call = lambda st: st.mutate(1, {W!r})",
    "Store.apply": STORE_SETUP + f"call = lambda st: st.apply(1, {PATCH!r})",
}
CLASS_ENTRY_POINTS = [name for name in entry_points.NAMES if name not in entry_points.FUNCTIONS]
# Calls that allocate nothing of their own: no allocation of theirs can fail, which the
# sweep shows by finding none.
NO_ALLOCATION = {"ClientState()", "Store()", "ClientState.abandon"}


# For k = 0, 1, ...: a forked child fails allocation k of the import, then imports again
# without failures. Prints the number of children, those that did not exit cleanly or
# whose first import neither failed with MemoryError nor succeeded, and the distinct
# descriptions of the module that the second imports produced.
STARTUP = """\
import ctypes, os, sys
fail_after = ctypes.CDLL({lib!r}).nv_fail_after

def describe(module):
    out = []
    for name in module.__all__:
        obj = getattr(module, name)
        out.append((name, obj.__doc__, getattr(obj, "__text_signature__", None)))
        if isinstance(obj, type):
            out += [(name, m, getattr(f, "__doc__", None)) for m, f in sorted(vars(obj).items())]
    return repr(out)

def child(k):
    fail_after(k)
    try:
        import norvane
        first = "imported"
    except MemoryError:
        first = "MemoryError"
    fail_after(-1)
    import norvane
    return first + " " + describe(norvane)

outcomes, bad = [], []
for k in range(100000):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        os.write(w, child(k).encode())
        os._exit(0)
    os.close(w)
    with os.fdopen(r, "rb") as f:
        text = f.read().decode()
    _, status = os.waitpid(pid, 0)
    first, _, description = text.partition(" ")
    if status != 0 or first not in ("imported", "MemoryError"):
        bad.append((k, status, text[:200]))
    outcomes.append(description)
    if first != "MemoryError":
        break
print(len(outcomes) > 1, bad, len(set(outcomes)))
"""


@pytest.fixture(scope="module")
def failing_new(tmp_path_factory):
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if not sys.platform.startswith("linux") or compiler is None:
        pytest.skip("needs Linux and a C++ compiler")
    directory = tmp_path_factory.mktemp("failing_new")
    (directory / "failing_new.cpp").write_text(FAILING_NEW)
    lib = directory / "failing_new.so"
    built = subprocess.run([compiler, "-O1", "-shared", "-fPIC", "-o", str(lib), str(directory / "failing_new.cpp")],
                           capture_output=True, text=True)
    if built.returncode != 0:
        pytest.skip("could not build the allocation hook: " + built.stderr[-200:])
    return str(lib)


def sweep(lib, setup):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), LD_PRELOAD=lib)
    return subprocess.run([sys.executable, "-c", SWEEP.format(lib=lib, setup=setup)],
                          capture_output=True, text=True, timeout=300, env=env)


@pytest.mark.parametrize("name", entry_points.FUNCTIONS + [n for n in FUNCTION_CALLS if n not in entry_points.NAMES])
def test_every_failed_allocation_of_a_function_raises_memory_error(failing_new, name):
    assert name in FUNCTION_CALLS, "no case for this module function"
    out = sweep(failing_new, STATELESS.format(call=FUNCTION_CALLS[name]))
    assert (out.returncode, out.stderr, out.stdout) == (0, "", "True [] True\n")


@pytest.mark.parametrize("name", CLASS_ENTRY_POINTS + [n for n in METHOD_CALLS if n not in entry_points.NAMES])
def test_every_failed_allocation_of_a_method_leaves_the_object_unchanged(failing_new, name):
    assert name in METHOD_CALLS, "no case for this constructor or method"
    out = sweep(failing_new, METHOD_CALLS[name])
    assert (out.returncode, out.stderr, out.stdout) == (0, "", f"{name not in NO_ALLOCATION} [] True\n")


def test_every_failed_allocation_of_the_import_fails_it_and_a_later_import_works(failing_new):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), LD_PRELOAD=failing_new)
    out = subprocess.run([sys.executable, "-c", STARTUP.format(lib=failing_new)],
                         capture_output=True, text=True, timeout=300, env=env)
    assert (out.returncode, out.stderr, out.stdout) == (0, "", "True [] 1\n")
