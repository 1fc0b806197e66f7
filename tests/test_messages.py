import json

import cbor2
import msgpack
import pytest
from hypothesis import given, strategies as st

import norvane
from norvane import normalize_message


def err(text):
    with pytest.raises(ValueError) as e:
        normalize_message(text)
    assert len(e.value.args) == 1
    return e.value.args[0]


@pytest.mark.parametrize(
    "text, expected",
    [
        ('{ "rev": 7, "t": "ack", "proposal": "p1", "id": 3, "extra": [1] }',
         '{"t":"ack","id":3,"rev":7,"proposal":"p1"}'),
        ('{"t":"crdt","id":1,"rev":2,"ops":[{"b":1,"a":2}],"effect":null}',
         '{"t":"crdt","id":1,"rev":2,"ops":[{"a":2,"b":1}]}'),
        ('{"t":"awareness","id":4}', '{"t":"awareness","id":4,"state":null}'),
        ('{"z":1,"t":"presence","a":2}', '{"a":2,"t":"presence","z":1}'),
        # unknown documents of every shape come back as themselves, compact
        ("42", "42"), ('"x"', '"x"'), ("null", "null"), ("[1, 2]", "[1,2]"), ("{}", "{}"),
        (' \t\n\r{"t":"ACK","b":1,"a":0}\r\n ', '{"a":0,"b":1,"t":"ACK"}'),
        ('{"t":" ack"}', '{"t":" ack"}'),
        ('{"t":5,"id":1}', '{"id":1,"t":5}'),
        ('{"t":null}', '{"t":null}'),
        ('{"t":["ack"]}', '{"t":["ack"]}'),
        # the later of two equal keys wins, "t" included
        ('{"t":"custom","t":"ack","id":1,"rev":2,"proposal":"p"}', '{"t":"ack","id":1,"rev":2,"proposal":"p"}'),
        ('{"t":"ack","t":"custom"}', '{"t":"custom"}'),
        ('{"t":"ack","id":1,"id":2,"rev":2,"proposal":"p"}', '{"t":"ack","id":2,"rev":2,"proposal":"p"}'),
        # numbers inside opaque documents
        ("[1e2,-0,1.50,18446744073709551616,-9223372036854775808,0.00001,1e16,1.5e-7]",
         "[100.0,-0.0,1.5,1.8446744073709552e+19,-9223372036854775808,0.00001,1e+16,1.5e-7]"),
        ('{"t":"batch","msgs":[{"t":"x","b":1,"a":2},{"t":"batch","msgs":[]},7]}',
         '{"t":"batch","msgs":[{"a":2,"b":1,"t":"x"},{"t":"batch","msgs":[]},7]}'),
        # the patch reader takes the array form; patches are written rev first
        ('{"t":"patch","id":1,"patch":[3,[]]}', '{"t":"patch","id":1,"patch":{"rev":3,"ops":[]}}'),
        ('{"t":"patch","patch":{"ops":[{"Set":{"value":"Null","path":[{"Key":"a"},{"Index":2}]}}],"rev":4},'
         '"id":1,"proposal":null}',
         '{"t":"patch","id":1,"patch":{"rev":4,"ops":[{"Set":{"path":[{"Key":"a"},{"Index":2}],"value":"Null"}}]}}'),
        ('{"t":"crdt","id":1,"rev":2,"ops":[],"proposal":null,"effect":{"z":[],"a":{"y":1,"x":2}}}',
         '{"t":"crdt","id":1,"rev":2,"ops":[],"effect":{"a":{"x":2,"y":1},"z":[]}}'),
        ('{"t":"crdt","id":1,"rev":2,"ops":[],"proposal":"","effect":0}',
         '{"t":"crdt","id":1,"rev":2,"ops":[],"effect":0,"proposal":""}'),
        ('{"t":"reject","id":1,"rev":2,"error":"","crdt_ops":[],"proposal":"q"}',
         '{"t":"reject","id":1,"rev":2,"error":"","proposal":"q","crdt_ops":[]}'),
        ('{"t":"reject","id":1,"rev":2,"error":"no","crdt_ops":null,"proposal":null}',
         '{"t":"reject","id":1,"rev":2,"error":"no"}'),
        ('{"t":"awareness","id":4,"peer":null,"state":null}', '{"t":"awareness","id":4,"state":null}'),
        ('{"t":"awareness","id":4,"peer":"","state":{"b":[true],"a":false}}',
         '{"t":"awareness","id":4,"peer":"","state":{"a":false,"b":[true]}}'),
        ('{"value":{"Map":{"b":{"Float":1e2},"a":{"Submodel":7}}},"type":"","rev":0,"id":18446744073709551615,'
         '"t":"snapshot"}',
         '{"t":"snapshot","id":18446744073709551615,"type":"","rev":0,'
         '"value":{"Map":{"a":{"Submodel":7},"b":{"Float":100.0}}}}'),
        ('{"t":"crdt_snapshot","id":1,"type":"T","rev":2,"value":{"Str":"\\u00e9\\n"},"spec":null,"state":null}',
         '{"t":"crdt_snapshot","id":1,"type":"T","rev":2,"value":{"Str":"\u00e9\\n"},"spec":null,"state":null}'),
        # members unknown to a kind are dropped whatever they hold
        ('{"t":"ack","id":1,"rev":2,"proposal":"p","zz":' + "[" * 100 + "]" * 100 + "}",
         '{"t":"ack","id":1,"rev":2,"proposal":"p"}'),
    ],
)
def test_normalize(text, expected):
    assert normalize_message(text) == expected
    assert normalize_message(expected) == expected


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"t":"ack"}', "missing field `id`"),
        ('{"t":"ack","id":1}', "missing field `rev`"),
        ('{"t":"ack","id":1,"rev":2}', "missing field `proposal`"),
        ('{"t":"ack","id":1,"rev":2,"proposal":null}', "invalid type: null, expected a string"),
        ('{"t":"ack","id":1,"rev":2,"proposal":5}', "invalid type: integer `5`, expected a string"),
        # the member whose key sorts first is reported, and a wrong field before a missing one
        ('{"t":"snapshot","type":5,"id":"x"}', 'invalid type: string "x", expected u64'),
        ('{"t":"snapshot","type":5}', "invalid type: integer `5`, expected a string"),
        ('{"t":"ack","id":-1}', "invalid value: integer `-1`, expected u64"),
        ('{"t":"ack","id":1.5}', "invalid type: floating point `1.5`, expected u64"),
        ('{"t":"ack","id":1.0}', "invalid type: floating point `1.0`, expected u64"),
        ('{"t":"ack","id":1e2}', "invalid type: floating point `100.0`, expected u64"),
        ('{"t":"ack","id":18446744073709551616}', "invalid type: floating point `1.8446744073709552e+19`, expected u64"),
        ('{"t":"ack","id":null}', "invalid type: null, expected u64"),
        ('{"t":"ack","id":true}', "invalid type: boolean `true`, expected u64"),
        ('{"t":"ack","id":[]}', "invalid type: sequence, expected u64"),
        ('{"t":"ack","id":{}}', "invalid type: map, expected u64"),
        ('{"t":"crdt_snapshot","id":1,"type":"","rev":1,"value":"Null","state":null}', "missing field `spec`"),
        ('{"t":"crdt_snapshot","id":1,"type":"","rev":1,"value":"Null","spec":null}', "missing field `state`"),
        ('{"t":"crdt","id":1,"rev":1}', "missing field `ops`"),
        ('{"t":"crdt","id":1,"rev":1,"ops":{}}', "invalid type: map, expected a sequence"),
        ('{"t":"crdt","id":1,"rev":1,"ops":null}', "invalid type: null, expected a sequence"),
        ('{"t":"reject","id":1,"rev":1,"error":"e","crdt_ops":"x"}', 'invalid type: string "x", expected a sequence'),
        ('{"t":"reject","id":1,"rev":1}', "missing field `error`"),
        ('{"t":"awareness","id":1,"peer":[]}', "invalid type: sequence, expected a string"),
        ('{"t":"awareness"}', "missing field `id`"),
        ('{"t":"batch"}', "missing field `msgs`"),
        ('{"t":"batch","msgs":null}', "invalid type: null, expected a sequence"),
        ('{"t":"batch","msgs":[{"t":"ack","id":1,"rev":1,"proposal":"p"},{"t":"patch","id":1}]}',
         "missing field `patch`"),
        ('{"t":"batch","msgs":[{"t":"batch","msgs":[{"t":"ack","id":-3}]}]}',
         "invalid value: integer `-3`, expected u64"),
        ('{"t":"patch","id":1}', "missing field `patch`"),
        ('{"t":"patch","id":1,"patch":{"rev":1}}', "missing field `ops`"),
        ('{"t":"patch","id":1,"patch":[1]}', "invalid length 1, expected struct Patch with 2 elements"),
        ('{"t":"patch","id":1,"patch":5}', "invalid type: integer `5`, expected struct Patch"),
        ('{"t":"patch","id":1,"patch":{"rev":1,"ops":[]},"proposal":1}', "invalid type: integer `1`, expected a string"),
        ('{"t":"snapshot","id":1,"rev":1,"type":"","value":5}', "invalid type: integer `5`, expected string or map"),
        ('{"t":"snapshot","id":1,"rev":1,"type":"","value":{}}', "invalid value: map, expected map with a single key"),
        ('{"t":"snapshot","id":1,"rev":1,"type":"","value":{"Int":1.5}}',
         "invalid type: floating point `1.5`, expected i64"),
        ('{"t":"snapshot","id":1,"rev":1,"type":"","value":{"Text":1}}',
         "unknown variant `Text`, expected one of `Null`, `Bool`, `Int`, `Float`, `Str`, `List`, `Map`, `Submodel`"),
        ('{"t":"snapshot","id":1,"rev":1,"type":""}', "missing field `value`"),
        # a typed-read failure hides the text after the document
        ('{"t":"ack"} x', "missing field `id`"),
        # parse failures and trailing text carry positions
        ("", "EOF while parsing a value at line 1 column 0"),
        ("  \n ", "EOF while parsing a value at line 2 column 1"),
        ('{"x":1} y', "trailing characters at line 1 column 9"),
        ('{"t":"ack","id":1,"rev":2,"proposal":"p"}\n x', "trailing characters at line 2 column 2"),
        ('{"t":"ack",}', "trailing comma at line 1 column 12"),
        ("[1,", "EOF while parsing a value at line 1 column 3"),
        ('{"a" 1}', "expected `:` at line 1 column 6"),
        ("nul", "EOF while parsing a value at line 1 column 3"),
    ],
)
def test_errors(text, message):
    assert err(text) == message


def nested_batches(levels):
    return '{"t":"batch","msgs":[' * levels + "]}" * levels


def test_batch_depth_limit():
    ok = normalize_message(nested_batches(63))
    assert ok == nested_batches(63)
    assert err(nested_batches(64)) == "recursion limit exceeded at line 1 column 1344"
    assert normalize_message("[" * 127 + "]" * 127) == "[" * 127 + "]" * 127
    assert err("[" * 128 + "]" * 128) == "recursion limit exceeded at line 1 column 128"


def test_deep_and_invalid_inputs_fail_cleanly():
    assert err("[" * 100_000).startswith("recursion limit exceeded")
    assert err('{"t":"batch","msgs":' + "[" * 100_000).startswith("recursion limit exceeded")
    assert err('{"a":' * 100_000).startswith("recursion limit exceeded")


def test_signature():
    f = norvane.normalize_message
    assert f.__text_signature__ == "(json)"
    assert f.__doc__ == "Parse and serialize one typed live protocol message as compact JSON."
    assert normalize_message(json='{"t":"ack","id":1,"rev":2,"proposal":"p"}') == (
        '{"t":"ack","id":1,"rev":2,"proposal":"p"}')
    with pytest.raises(TypeError) as e:
        normalize_message(b"{}")
    assert e.value.__notes__ == ["while processing 'json'"]


# ---- properties ---------------------------------------------------------------------------

uint = st.integers(0, 2**64 - 1)
text = st.text(max_size=8)
leaf = st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | text | st.floats(allow_nan=False,
                                                                                     allow_infinity=False)
opaque = st.recursive(leaf, lambda c: st.lists(c, max_size=4) | st.dictionaries(text, c, max_size=4),
                      max_leaves=12)

model = st.recursive(
    st.just("Null")
    | st.builds(lambda b: {"Bool": b}, st.booleans())
    | st.builds(lambda i: {"Int": i}, st.integers(-(2**63), 2**63 - 1))
    | st.builds(lambda f: {"Float": f}, st.floats(allow_nan=False, allow_infinity=False))
    | st.builds(lambda s: {"Str": s}, text)
    | st.builds(lambda i: {"Submodel": i}, uint),
    lambda c: st.builds(lambda l: {"List": l}, st.lists(c, max_size=3))
    | st.builds(lambda m: {"Map": m}, st.dictionaries(text, c, max_size=3)),
    max_leaves=8,
)
path = st.lists(st.builds(lambda k: {"Key": k}, text) | st.builds(lambda i: {"Index": i}, uint), max_size=3)
op = st.one_of(
    st.builds(lambda p, v: {"Set": {"path": p, "value": v}}, path, model),
    st.builds(lambda p: {"Remove": {"path": p}}, path),
    st.builds(lambda p, i, v: {"Insert": {"path": p, "index": i, "value": v}}, path, uint, model),
    st.builds(lambda p, i: {"RemoveAt": {"path": p, "index": i}}, path, uint),
    st.builds(lambda p, a, b: {"Move": {"path": p, "from": a, "to": b}}, path, uint, uint),
    st.builds(lambda p, o: {"Reorder": {"path": p, "order": o}}, path, st.lists(uint, max_size=3)),
)
patch = st.fixed_dictionaries({"rev": uint, "ops": st.lists(op, max_size=3)})


def optional(name, strat):
    return st.dictionaries(st.just(name), st.none() | strat, max_size=1)


def kind(tag, required, **optionals):
    base = st.fixed_dictionaries({"t": st.just(tag), **required})
    extras = [optional(k, v) for k, v in optionals.items()]
    return st.tuples(base, *extras).map(lambda parts: {k: v for p in parts for k, v in p.items()})


known = [
    kind("snapshot", {"id": uint, "type": text, "rev": uint, "value": model}),
    kind("crdt_snapshot", {"id": uint, "type": text, "rev": uint, "value": model, "spec": opaque, "state": opaque}),
    kind("patch", {"id": uint, "patch": patch}, proposal=text),
    kind("crdt", {"id": uint, "rev": uint, "ops": st.lists(opaque, max_size=3)}, effect=opaque, proposal=text),
    kind("ack", {"id": uint, "rev": uint, "proposal": text}),
    kind("reject", {"id": uint, "rev": uint, "error": text}, proposal=text, crdt_ops=st.lists(opaque, max_size=3)),
    kind("awareness", {"id": uint}, peer=text, state=opaque),
]
unknown = opaque.filter(
    lambda d: not (isinstance(d, dict) and d.get("t") in
                   ("snapshot", "crdt_snapshot", "patch", "crdt", "ack", "reject", "awareness", "batch")))
messages = st.recursive(
    st.one_of(*known, unknown),
    lambda c: st.builds(lambda m: {"t": "batch", "msgs": m}, st.lists(c, max_size=4)),
    max_leaves=6,
)


@given(messages)
def test_normalize_is_idempotent_and_keeps_the_document(m):
    text = json.dumps(m)
    once = normalize_message(text)
    assert normalize_message(once) == once
    # Same content as the input, less the optional members that were null.
    assert json.loads(once) == expected_document(m)


def expected_document(m):
    if not isinstance(m, dict) or m.get("t") not in (
            "snapshot", "crdt_snapshot", "patch", "crdt", "ack", "reject", "awareness", "batch"):
        return m
    out = {k: v for k, v in m.items() if not (v is None and k in ("proposal", "effect", "crdt_ops", "peer"))}
    if m["t"] == "awareness":
        out.setdefault("state", None)
    if m["t"] == "batch":
        out["msgs"] = [expected_document(e) for e in m["msgs"]]
    return out


@given(messages)
def test_field_order(m):
    out = normalize_message(json.dumps(m))
    order = {
        "snapshot": ["t", "id", "type", "rev", "value"],
        "crdt_snapshot": ["t", "id", "type", "rev", "value", "spec", "state"],
        "patch": ["t", "id", "patch", "proposal"],
        "crdt": ["t", "id", "rev", "ops", "effect", "proposal"],
        "ack": ["t", "id", "rev", "proposal"],
        "reject": ["t", "id", "rev", "error", "proposal", "crdt_ops"],
        "awareness": ["t", "id", "peer", "state"],
        "batch": ["t", "msgs"],
    }
    doc = json.loads(out)
    if isinstance(doc, dict) and doc.get("t") in order:
        keys = list(doc)
        assert keys == [k for k in order[doc["t"]] if k in doc]
    else:
        assert doc == m
        json.loads(out, object_pairs_hook=assert_sorted)


def assert_sorted(pairs):
    keys = [k.encode() for k, _ in pairs]
    assert keys == sorted(keys)
    return dict(pairs)


# ---- known messages in any member order, with duplicates and extra members ----------

TEXT = st.text(st.characters(blacklist_categories=("Cs", "Cc")), max_size=6)
U64 = st.integers(0, 2**64 - 1)
OPAQUE = st.recursive(st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | TEXT,
                      lambda c: st.lists(c, max_size=3) | st.dictionaries(TEXT, c, max_size=3), max_leaves=8)
VALUE = st.recursive(
    st.just("Null") | st.builds(lambda b: {"Bool": b}, st.booleans())
    | st.builds(lambda i: {"Int": i}, st.integers(-(2**63), 2**63 - 1)) | st.builds(lambda s: {"Str": s}, TEXT),
    lambda c: st.builds(lambda xs: {"List": xs}, st.lists(c, max_size=3))
    | st.builds(lambda m: {"Map": m}, st.dictionaries(TEXT, c, max_size=3)), max_leaves=6)
PATH = st.lists(st.builds(lambda k: {"Key": k}, TEXT) | st.builds(lambda i: {"Index": i}, U64), max_size=3)
OP = st.builds(lambda p, v: {"Set": {"path": p, "value": v}}, PATH, VALUE) | st.builds(
    lambda p: {"Remove": {"path": p}}, PATH)
PATCH = st.fixed_dictionaries({"rev": U64, "ops": st.lists(OP, max_size=3)})
OPT_TEXT = st.none() | TEXT
# Each kind's fields in their written order, with what they hold; OPTIONAL lists those that may be absent.
KINDS = {
    "snapshot": {"id": U64, "type": TEXT, "rev": U64, "value": VALUE},
    "crdt_snapshot": {"id": U64, "type": TEXT, "rev": U64, "value": VALUE, "spec": OPAQUE, "state": OPAQUE},
    "patch": {"id": U64, "patch": PATCH, "proposal": OPT_TEXT},
    "crdt": {"id": U64, "rev": U64, "ops": st.lists(OPAQUE, max_size=3), "effect": OPAQUE, "proposal": OPT_TEXT},
    "ack": {"id": U64, "rev": U64, "proposal": TEXT},
    "reject": {"id": U64, "rev": U64, "error": TEXT, "proposal": OPT_TEXT,
               "crdt_ops": st.none() | st.lists(OPAQUE, max_size=3)},
    "awareness": {"id": U64, "peer": OPT_TEXT, "state": OPAQUE},
}
OPTIONAL = {("patch", "proposal"), ("crdt", "effect"), ("crdt", "proposal"), ("reject", "proposal"),
            ("reject", "crdt_ops"), ("awareness", "peer"), ("awareness", "state")}


def compact(x):
    return json.dumps(x, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def expected_json(tag, fields):
    """The normalized text: "t", then the kind's fields in their order, optional ones left out
    when absent or null (the awareness state is written null)."""
    parts = [f'"t":{compact(tag)}']
    for name in KINDS[tag]:
        v = fields.get(name)
        if v is None and (tag, name) in OPTIONAL:
            if (tag, name) == ("awareness", "state"):
                parts.append('"state":null')
            continue
        if name == "patch":
            ops = [f'{{"{k}":{{"path":{compact(b["path"])}' + (f',"value":{compact(b["value"])}' if "value" in b else "")
                   + "}}" for op in v["ops"] for k, b in op.items()]
            parts.append(f'"patch":{{"rev":{v["rev"]},"ops":[{",".join(ops)}]}}')
        else:
            parts.append(f'"{name}":{compact(v)}')
    return "{" + ",".join(parts) + "}"


@st.composite
def messages_as_written(draw):
    """A known message written with its members in any order, some optional ones left out,
    extra members, and members given twice (the earlier of them of the wrong type)."""
    tag = draw(st.sampled_from(sorted(KINDS)))
    fields = {name: draw(s) for name, s in KINDS[tag].items()
              if (tag, name) not in OPTIONAL or draw(st.booleans())}
    members = [(k, compact(v)) for k, v in fields.items()]
    members += [(draw(st.sampled_from(["x", "ids", "T", "\\u0078"])), compact(draw(OPAQUE)))
                for _ in range(draw(st.integers(0, 2)))]
    members = draw(st.permutations(members))
    for k, _ in draw(st.lists(st.sampled_from(members), max_size=2, unique=True)) if members else []:
        members.insert(draw(st.integers(0, members.index(next(m for m in members if m[0] == k)))), (k, '"wrong"'))
    where = draw(st.integers(0, len(members)))
    t = draw(st.sampled_from([f'"{tag}"', '"' + tag[0] + tag[1:].replace("a", "\\u0061") + '"']))
    members.insert(where, ("t", t))
    space = draw(st.sampled_from(["", " ", "\n\t"]))
    text = "{" + space + ("," + space).join(f'"{k}"{space}:{space}{v}' for k, v in members) + space + "}"
    return text, expected_json(tag, fields), tag, fields


@given(messages_as_written())
def test_known_messages_read_in_any_member_order(case):
    text, expected, _, _ = case
    assert normalize_message(text) == expected
    batch = normalize_message(f'{{"t":"batch","msgs":[{text},{{"t":"other"}},{text}]}}')
    assert batch == f'{{"t":"batch","msgs":[{expected},{{"t":"other"}},{expected}]}}'
    assert norvane.decode_message(text.encode(), "json") == expected
    for codec, loads in (("msgpack", msgpack.unpackb), ("cbor", cbor2.loads)):
        doc = loads(norvane.encode_message(text, codec))
        assert doc == json.loads(expected) and list(doc) == sorted(doc, key=str.encode)


def _nested(kind, k):
    inner = {"value": '"Null"', "list": "0", "batch": '{"t":"batch","msgs":[]}'}[kind]
    wrap = {"value": '{{"List":[{}]}}', "list": "[{}]", "batch": '{{"t":"batch","msgs":[{}]}}'}[kind]
    for _ in range(k):
        inner = wrap.format(inner)
    return inner


def _outcome(text):
    try:
        return normalize_message(text)
    except ValueError as e:
        return str(e).split(" at line ")[0]


@pytest.mark.parametrize("depth", [20, 41, 42, 43, 62, 63, 64, 65, 126, 127, 128])
@pytest.mark.parametrize("where", ["snapshot", "patch", "crdt", "batch"])
def test_nesting_limit_is_the_same_on_both_reading_ways(where, depth):
    # A known message is read in one pass; one whose first "t" names no kind (the last one
    # wins) through the document: the nesting budget must run out at the same depth both ways.
    fields = {
        "snapshot": ('"snapshot"', f'"id":1,"type":"T","rev":2,"value":{_nested("value", depth)}'),
        "patch": ('"patch"', f'"id":1,"patch":{{"rev":1,"ops":[{{"Set":{{"path":[],"value":{_nested("value", depth)}}}}}]}}'),
        "crdt": ('"crdt"', f'"id":1,"rev":2,"ops":[{_nested("list", depth)}]'),
        "batch": ('"batch"', f'"msgs":[{_nested("batch", depth)}]'),
    }[where]
    first = _outcome(f'{{"t":{fields[0]},{fields[1]}}}')
    last = _outcome(f'{{"t":0,{fields[1]},"t":{fields[0]}}}')
    assert first == last


def _binary_map(members, codec):
    """A map written member by member (so keys may repeat), in MessagePack or CBOR."""
    n = len(members)
    if codec == "msgpack":
        head = bytes([0x80 | n]) if n < 16 else b"\xde" + n.to_bytes(2, "big")
        return head + b"".join(msgpack.packb(k) + msgpack.packb(v) for k, v in members)
    head = bytes([0xa0 | n]) if n < 24 else b"\xb8" + bytes([n])
    return head + b"".join(cbor2.dumps(k) + cbor2.dumps(v) for k, v in members)


@given(messages_as_written(), st.sampled_from(["msgpack", "cbor"]), st.data())
def test_known_messages_decode_in_any_member_order(case, codec, data):
    # Members in any order, extra ones, and members given twice (the earlier of the wrong type):
    # the decoded message is the one its last members describe.
    _, expected, tag, fields = case
    members = [("t", tag)] + list(fields.items()) + [("x", [1, {"y": None}])]
    members = data.draw(st.permutations(members))
    for k in data.draw(st.lists(st.sampled_from([k for k, _ in members]), max_size=2, unique=True)):
        members.insert(data.draw(st.integers(0, next(i for i, m in enumerate(members) if m[0] == k))), (k, [None]))
    assert norvane.decode_message(_binary_map(members, codec), codec) == expected


@pytest.mark.parametrize("codec, lists", [("msgpack", k) for k in (509, 510, 511, 512)]
                         + [("cbor", k) for k in (125, 126, 127, 128)])
@pytest.mark.parametrize("where", ["value", "batch", "ops"])
def test_binary_nesting_limit_is_the_same_for_known_and_unknown_kinds(codec, lists, where):
    # A known kind is read in one pass, an unknown one as a document: the budget runs out alike.
    pack = msgpack.packb if codec == "msgpack" else cbor2.dumps
    wrap = {"value": b"\x81\xa4List\x91" if codec == "msgpack" else b"\xa1\x64List\x81",
            "ops": b"\x91\x91" if codec == "msgpack" else b"\x81\x81",
            "batch": b"\x82\xa1t\xa5batch\xa4msgs\x91" if codec == "msgpack" else b"\xa2\x61t\x65batch\x64msgs\x81"}
    inner = pack({"t": "ack", "id": 1, "rev": 2, "proposal": ""}) if where == "batch" else pack("Null")
    for _ in range(lists):
        inner = wrap[where] + inner

    def outcome(tag):
        if where != "batch":
            head = pack({"t": tag, "id": 1, "type": "T", "rev": 2})
            data = bytes([head[0] + 1]) + head[1:] + pack(where) + inner
        else:
            data = inner.replace(b"batch", tag.encode()[:5], 1) if tag != "batch" else inner
        try:
            return "ok", norvane.decode_message(data, codec)
        except ValueError as e:
            return "error", str(e)

    known, unknown = outcome({"value": "snapshot", "ops": "crdt", "batch": "batch"}[where]), outcome("other")
    assert known[0] == unknown[0]
    if known[0] == "error":
        assert known == unknown
