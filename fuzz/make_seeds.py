"""Regenerates the seed corpora under fuzz/corpus/ from the examples in tests/.

Every string literal of the test files that one of the module's readers accepts
becomes a seed of the harnesses for that reader (and its MessagePack and CBOR
forms seeds of the byte readers). Run from the repository root with the module
importable: PYTHONPATH=build/dev python fuzz/make_seeds.py
"""

import ast
import hashlib
import json
import pathlib

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


def main():
    seeds = {}

    def add(harness, data):
        if isinstance(data, str):
            data = data.encode()
        bucket = seeds.setdefault(harness, [])
        if data not in bucket and len(bucket) < MAX_SEEDS:
            bucket.append(data)

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
    for harness, bucket in seeds.items():
        d = CORPUS / harness
        d.mkdir(parents=True, exist_ok=True)
        for data in bucket:
            (d / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)
        print(harness, len(bucket))


if __name__ == "__main__":
    main()
