"""Regenerates the seed corpora under fuzz/corpus/ from the examples in tests/.

Every string literal of the test files that one of the module's readers accepts
becomes a seed of the harnesses for that reader (and its MessagePack and CBOR
forms seeds of the byte readers). Run from the repository root with the module
importable: PYTHONPATH=build/dev python fuzz/make_seeds.py [HARNESS...]
(only the harnesses named, when any are).
"""

import ast
import hashlib
import json
import pathlib
import sys

import cbor2
import msgpack

import norvane

ROOT = pathlib.Path(__file__).resolve().parent
CORPUS = ROOT / "corpus"
MAX_SEEDS = 40
MAX_SIZE = 400


def literals():
    seen = set()
    for path in sorted((ROOT.parent / "tests").glob("test_*.py")):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Constant) and isinstance(node.value, (str, bytes)):
                v = node.value
                if 0 < len(v) <= MAX_SIZE and v not in seen:
                    seen.add(v)
                    yield v


def dict_literals():
    for path in sorted((ROOT.parent / "tests").glob("test_*.py")):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Dict):
                try:
                    v = ast.literal_eval(node)
                except ValueError:
                    continue
                if "kind" in v:
                    yield v


# The CRDT specifications and starting values of the crdt_* harnesses (first byte).
CRDT = [
    ('{"root":{"kind":"map"}}', '{"Map":{}}'),
    ('{"root":{"kind":"register"}}', '"Null"'),
    ('{"root":{"kind":"sequence"}}', '{"List":[]}'),
    ('{"root":{"kind":"sequence","materialization":"string"}}', '{"Str":""}'),
    ('{"root":{"kind":"set"}}', '{"List":[]}'),
    ('{"root":{"kind":"map","fields":{"title":{"kind":"sequence","materialization":"string"},'
     '"tags":{"kind":"set"},"n":{"kind":"register"}}}}',
     '{"Map":{"title":{"Str":"ab"},"tags":{"List":[]},"n":{"Int":0}}}'),
]


def ok(f, *args):
    try:
        return f(*args)
    except Exception:
        return None


def compact_seeds(add, mutations):
    """crdt_compact: a frontier over the built-in history, and documents made by
    one mutation or read from a state, each with the frontier of every dot made."""
    for i, _ in enumerate(CRDT):
        for frontier in ('{"a":2}', '{"a":3}', '{"a":6,"b":0}'):
            add("crdt_compact", bytes([i]) + frontier.encode())
    for i, (spec, value) in enumerate(CRDT):
        for m in mutations:
            doc = norvane.CrdtDocument(spec, value, "a")
            text = json.dumps([m], separators=(",", ":"))
            if ok(doc.mutate, text) is None:
                continue
            add("crdt_compact", bytes([i]) + (text + '\n{"a":1}').encode())
            add("crdt_compact", bytes([i]) + (doc.state() + '\n{"a":1}').encode())


# member_key: the CRDT specifications of the harness (first byte) and paths to their sets.
MEMBER_KEY = [
    ("[]", ['{"List":[]}', '{"Int":1}', '{"Str":"a"}']),
    ("[]", ['{"Map":{"id":{"Int":1},"n":"Null"}}', '{"Map":{}}', '{"Int":3}']),
    ("[]", ['{"Map":{"id":{"Int":1},"name":{"Map":{"first":{"Str":"x"}}}}}']),
    ('[{"kind":"key","key":"tags"}]', ['{"Str":"a"}']),
    ('[{"kind":"key","key":"people"}]', ['{"Map":{"id":{"Str":"a"},"n":{"Int":1}}}']),
    ('[{"kind":"key","key":"other"}]', ['{"Map":{"k":{"Bool":true}}}']),
    ('[{"kind":"element","id":{"dot":{"counter":1,"replica":"a"},"index":0}}]', ['{"Int":2}']),
    ('[{"kind":"member","key":"{\\"Int\\":1}"},{"kind":"key","key":"x"}]', ['{"Map":{"a":{"Int":1}}}']),
]
MEMBER_KEY_SPEC = [0, 1, 2, 3, 3, 3, 4, 5]


def member_key_seeds(add, values):
    for (path, vals), spec in zip(MEMBER_KEY, MEMBER_KEY_SPEC):
        for v in vals:
            add("member_key", bytes([spec]) + (path + "\n" + v).encode())
    for v in values[:10]:
        add("member_key", bytes([0]) + ("[]\n" + v).encode())


def proposal_seeds(add, ops):
    """client_proposal: operation lists for each model id, with and without identifier."""
    add("client_proposal", bytes([9]) + b"auto-7\n[]")
    add("client_proposal", bytes([9]) + b"p\n[]")
    for n, text in enumerate(ops):
        add("client_proposal", bytes([n % 8]) + text)
        add("client_proposal", bytes([8 | (n % 8)]) + b"p%d\n" % n + text)


def incremental_seeds(add):
    """crdt_incremental: programs of a few hundred pseudo-random choices for each
    shape and replica count (the first byte picks both)."""
    for head in range(18):
        data = hashlib.sha256(bytes([head])).digest()
        while len(data) < 96 + 16 * head:
            data += hashlib.sha256(data).digest()
        add("crdt_incremental", bytes([head]) + data[:96 + 16 * head])


# One operation of each kind, with a value it applies to: each becomes a patch of its own
# (and they all one patch together) in every patch harness, so that every field of every
# kind is written and read back by each codec from the first run on.
PATCH_VALUE = '{"Map":{"a":{"List":[{"Int":0},"Null","Null"]},"b":"Null","l":{"List":[{"Int":0},{"Int":1},{"Int":2},{"Int":3},{"Int":4}]}}}'
PATCH_OPS = [
    {"Set": {"path": [{"Key": "a"}, {"Index": 2}], "value": {"Int": 1}}},
    {"Remove": {"path": [{"Key": "b"}]}},
    {"Insert": {"path": [{"Key": "l"}], "index": 0, "value": {"Str": "x"}}},
    {"RemoveAt": {"path": [{"Key": "l"}], "index": 4}},
    {"Move": {"path": [{"Key": "l"}], "from": 4, "to": 1}},
    {"Reorder": {"path": [{"Key": "l"}], "order": [2, 0, 1, 4, 3]}},
]


def msgpack_patch(patch):
    """The MessagePack codec's form: records as arrays of their fields in declared order."""
    return msgpack.packb([patch["rev"], [{name: list(fields.values())} for op in patch["ops"]
                                         for name, fields in op.items()]])


def patch_seeds(add):
    for ops in [[op] for op in PATCH_OPS] + [PATCH_OPS]:
        patch = {"rev": 3, "ops": ops}
        text = json.dumps(patch, separators=(",", ":"))
        for harness in ("patch_json", "patch_document"):
            add(harness, text)
        add("ops_json", json.dumps(ops, separators=(",", ":")))
        add("apply_patch", PATCH_VALUE + "\n" + text)
        add("patch_msgpack", msgpack_patch(patch))
        add("patch_cbor", cbor2.dumps(patch))  # records as maps of named fields, in declared order


def main(only=()):
    seeds = {}

    def add(harness, data):
        if isinstance(data, str):
            data = data.encode()
        bucket = seeds.setdefault(harness, [])
        if data not in bucket and len(bucket) < MAX_SEEDS:
            bucket.append(data)

    patch_seeds(add)
    # Texts ending at the places of a 64-byte block where its padding changes.
    for n in (0, 3, 55, 56, 63, 64, 119, 120, 200):
        add("sha256", bytes(range(256))[:n])
    # Programs long enough to fill and split blocks: keys put after every
    # other, keys put in between, searches and erasures.
    for head in range(4):
        data = hashlib.sha256(b"block_map" + bytes([head])).digest()
        while len(data) < 600 * (head + 1):
            data += hashlib.sha256(data).digest()
        add("block_map", data[:600 * (head + 1)])
    texts = [v for v in literals() if isinstance(v, str)]
    for t in texts:
        if ok(norvane.encode, t) is not None:
            add("value_json", t)
            for codec, harness in (("application/msgpack", "msgpack_value"), ("application/cbor", "cbor_value")):
                add(harness, norvane.encode_as(t, codec))
        if ok(norvane.json_to_msgpack, t) is not None:
            add("document_json", t)
            add("json_to_msgpack", t)
            add("msgpack_document", norvane.json_to_msgpack(t))
            add("cbor_document", norvane.json_to_cbor(t))
        if ok(norvane.normalize_message, t) is not None:
            add("message_json", t)
            add("message_msgpack", norvane.encode_message(t, "msgpack"))
            add("message_cbor", norvane.encode_message(t, "cbor"))
        effect = ok(norvane.ClientState().prepare, t)
        if effect is not None:
            add("client_message", t)
            add("client_effect", effect)
        if ok(norvane.normalize_crdt_spec, t) is not None:
            add("crdt_spec", t)
        if '"ops"' in t or t.lstrip().startswith("[") and ("Set" in t or "Remove" in t):
            add("patch_json", t)
            add("patch_document", t)
            doc = ok(json.loads, t)
            if isinstance(doc, dict) and isinstance(doc.get("ops"), list):
                add("ops_json", json.dumps(doc["ops"]))
            elif isinstance(doc, list) and len(doc) == 2 and isinstance(doc[1], list):
                add("ops_json", json.dumps(doc[1]))
    values = [t for t in texts if ok(norvane.encode, t) is not None]
    for old, new in zip(values, values[1:] + values[:1]):
        patch = ok(norvane.diff, old, new)
        if patch is not None and len(patch) <= MAX_SIZE:
            add("diff_apply", old + "\n" + new)
            add("apply_patch", old + "\n" + patch)
            add("apply_patch", new + "\n" + patch)
            add("patch_json", patch)
            add("patch_document", patch)
            add("ops_json", json.dumps(json.loads(patch)["ops"], separators=(",", ":")))
    mutations = list(dict_literals())
    for i, (spec, value) in enumerate(CRDT):
        for m in mutations:
            doc = norvane.CrdtDocument(spec, value, "a")
            text = json.dumps([m], separators=(",", ":"))
            out = ok(doc.mutate, text)
            if out is None:
                continue
            add("crdt_mutations", bytes([i]) + text.encode())
            add("crdt_ops", bytes([i]) + json.dumps(json.loads(out)["ops"], separators=(",", ":")).encode())
            add("crdt_state", bytes([i]) + doc.state().encode())
    compact_seeds(add, mutations)
    member_key_seeds(add, values)
    incremental_seeds(add)
    proposal_seeds(add, [t.encode() for t in texts if ok(norvane.ClientState().proposal, 1, t) is not None]
                   + seeds.get("ops_json", []))
    for harness, bucket in seeds.items():
        if only and harness not in only:
            continue
        d = CORPUS / harness
        d.mkdir(parents=True, exist_ok=True)
        for data in bucket:
            (d / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)
        print(harness, len(bucket))


if __name__ == "__main__":
    main(sys.argv[1:])
