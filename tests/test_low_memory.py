"""Calls that run out of memory raise MemoryError and leave their objects as they were.

Each case runs in a fresh interpreter whose address space is limited to what it uses
after building its input plus a small margin, so that the call's first large
allocation fails while the interpreter itself can still raise and report.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

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


def json_with_big(text):
    """Python source of `text` (JSON) with the placeholder "BIG" standing for the big string."""
    return repr(text).replace("BIG", "' + BIG + '")


DOC = (f"doc = norvane.CrdtDocument({MAP!r}, '{{\"Map\":{{\"k\":{{\"Int\":1}}}}}}', 'a')\n"
       "SET_K = '[{\"kind\":\"map_set\",\"path\":[],\"key\":\"k\",\"value\":{\"Int\":2}}]'")
CLIENT = ("s = norvane.ClientState()\n"
          "s.commit('{\"effect\":\"snapshot\",\"id\":1,\"rev\":2}')\n"
          "s.proposal(1, '[]', 'kept')")
STORE = "st = norvane.Store()\nst.host('T', '{\"Map\":{\"a\":{\"Int\":1}}}')"
DOC_OBSERVED = "(doc.value(), doc.state())"
CLIENT_OBSERVED = "(s.revisions(), s.pending())"
STORE_OBSERVED = "st.snapshot(1)"
SET_BIG = {"Set": {"path": [{"Key": "a"}], "value": {"Str": "BIG"}}}

# name: (setup, input ARG, call, observed state, check after the call)
CASES = {
    # codecs
    "encode": ("", TAGGED, "norvane.encode(ARG)", "None", "True"),
    "decode_as": ("", 'b"\\x81\\xa3Str" + ' + MSGPACK_STR, "norvane.decode_as(ARG, 'application/msgpack')",
                  "None", "True"),
    # conversions
    "json_to_cbor": ("", "'\"' + BIG + '\"'", "norvane.json_to_cbor(ARG)", "None", "True"),
    "msgpack_to_json": ("", MSGPACK_STR, "norvane.msgpack_to_json(ARG)", "None", "True"),
    # values and diff
    "diff": ("", TAGGED, "norvane.diff('{\"Str\":\"\"}', ARG)", "None", "True"),
    "apply": ("", json_with_big(json.dumps({"rev": 0, "ops": [SET_BIG]})),
              "norvane.apply('{\"Map\":{}}', ARG)", "None", "True"),
    "diff of many small values": ("", MANY, "norvane.diff('{\"List\":[]}', ARG)", "None", "True"),
    # CRDT specifications
    "normalize_crdt_spec": ("", json_with_big(json.dumps({"root": {"kind": "map", "fields": {
        "BIG": {"kind": "register"}}}})), "norvane.normalize_crdt_spec(ARG)", "None", "True"),
    # CRDT documents
    "CrdtDocument()": ("", TAGGED, f"norvane.CrdtDocument({MAP!r}, ARG, 'a')", "None", "True"),
    "CrdtDocument.mutate": (DOC, json_with_big(json.dumps([{"kind": "map_set", "path": [], "key": "k",
                                                            "value": {"Str": "BIG"}}])),
                            "doc.mutate(ARG)", DOC_OBSERVED, "json.loads(doc.mutate(SET_K))['ops'][0]['dot']"),
    "CrdtDocument.apply": (DOC, json_with_big(json.dumps([{"kind": "map_set", "dot": {"counter": 1, "replica": "b"},
                                                           "path": [], "key": "k", "value": {"Str": "BIG"}}])),
                           "doc.apply(ARG)", DOC_OBSERVED, "True"),
    # messages and the client
    "normalize_message": ("", json_with_big(json.dumps({"t": "snapshot", "id": 1, "type": "T", "rev": 1,
                                                        "value": {"Str": "BIG"}})),
                          "norvane.normalize_message(ARG)", "None", "True"),
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
    "Store.apply": (STORE, json_with_big(json.dumps({"rev": 5, "ops": [SET_BIG]})), "st.apply(1, ARG)",
                    STORE_OBSERVED, "True"),
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


@pytest.mark.parametrize("name", list(CASES))
def test_out_of_memory_raises_and_keeps_state(name):
    out = run(*CASES[name])
    assert (out.returncode, out.stderr) == (0, "")
    assert out.stdout == f"MemoryError True {AFTER.get(name, 'True')}\n"


def test_the_limit_leaves_room_for_ordinary_calls():
    # The same limit with a small input: the call succeeds, so the failures above come
    # from the size of their input and not from the limit itself.
    out = run("BIG = BIG[:1000]", TAGGED, "norvane.encode(ARG)", "None", "True")
    assert (out.returncode, out.stdout) == (0, "returned True True\n")
