"""JSON forms of CRDT operations, mutations, effects and saved state."""

import hashlib
import json

import pytest
from hypothesis import given, strategies as st

import norvane

MAP_SPEC = json.dumps({"root": {"kind": "map"}})
SEQ_SPEC = json.dumps({"root": {"kind": "sequence"}})
SET_SPEC = json.dumps({"root": {"kind": "set"}})
REG_SPEC = json.dumps({"root": {"kind": "register"}})


def doc(spec=MAP_SPEC, value='{"Map":{}}', replica="a"):
    return norvane.CrdtDocument(spec, value, replica)


def dot(c, r="a"):
    return {"counter": c, "replica": r}


def fingerprint(op_text):
    return "sha256:" + hashlib.sha256(op_text.encode()).hexdigest()


def err(fn, *args):
    with pytest.raises(ValueError) as e:
        fn(*args)
    return str(e.value)


# ---- operations --------------------------------------------------------------------


def test_op_writer_and_fingerprint():
    d = doc()
    out = json.loads(d.mutate('[{"kind":"map_set","path":[],"key":"title","value":{"Str":"x"}}]'))
    text = json.dumps(out["ops"][0], separators=(",", ":"), ensure_ascii=False)
    assert text == '{"kind":"map_set","dot":{"counter":1,"replica":"a"},"path":[],"key":"title","value":{"Str":"x"}}'
    state = json.loads(d.state())
    assert state["fingerprints"] == [[dot(1), fingerprint(text)]]



def test_fingerprints_of_texts_of_every_length_past_a_block():
    # Operation texts ending at every place of a 64-byte block, over one and
    # two blocks and more, and long ones: the fingerprints are hashlib's.
    d = doc()
    mutations = [{"kind": "map_set", "path": [], "key": "k" * n, "value": "Null"} for n in range(0, 140)]
    mutations.append({"kind": "map_set", "path": [], "key": "é" * 5000, "value": {"Str": "\x00" * 300}})
    out = json.loads(d.mutate(json.dumps(mutations)))
    texts = [json.dumps(op, separators=(",", ":"), ensure_ascii=False) for op in out["ops"]]
    assert len({len(t.encode()) % 64 for t in texts}) == 64
    assert [fp for _, fp in json.loads(d.state())["fingerprints"]] == [fingerprint(t) for t in texts]

@pytest.mark.parametrize("spelled", ["writers", "other"])
def test_fingerprints_of_a_call_of_texts_of_mixed_lengths(spelled):
    # One call applies texts of every length mod 64, short after long and
    # long after short, hashed side by side: each is still hashlib's.
    lengths = [n * 37 % 700 for n in range(1, 160)] + [0, 0, 5000, 1, 3000]
    ops = [{"kind": "map_set", "dot": dot(i + 1, "w"), "path": [], "key": "k" * n, "value": "Null"}
           for i, n in enumerate(lengths)]
    texts = [json.dumps(op, separators=(",", ":")) for op in ops]
    call = "[" + ",".join(texts) + "]" if spelled == "writers" else json.dumps(ops, indent=1)
    d = doc(replica="b")
    d.apply(call)
    expected = sorted(([op["dot"], fingerprint(t)] for op, t in zip(ops, texts)), key=lambda p: p[0]["counter"])
    assert json.loads(d.state())["fingerprints"] == expected


def test_op_read_in_any_key_order_and_array_form():
    canonical = '{"kind":"map_set","dot":{"counter":4,"replica":"a"},"path":[],"key":"k","value":"Null"}'
    variants = [
        '[{"path":[],"value":"Null","key":"k","dot":[4,"a"],"kind":"map_set"}]',
        '[["map_set",{"counter":4,"replica":"a"},[],"k","Null"]]',
        '[ {"key":"k", "kind":"map_set","value":{"Null":null},"path":[],"dot":{"replica":"a","counter":4}} ]',
    ]
    for ops in variants:
        d = doc(replica="b")
        d.apply(ops)
        fp = json.loads(d.state())["fingerprints"][0][1]
        assert fp == fingerprint(canonical)


def test_insert_without_after_reads_as_head():
    d = doc(SEQ_SPEC, '{"List":[]}', "b")
    d.apply('[{"kind":"sequence_insert","dot":{"counter":5,"replica":"a"},"path":[],"values":["Null"]}]')
    canonical = '{"kind":"sequence_insert","dot":{"counter":5,"replica":"a"},"path":[],"after":null,"values":["Null"]}'
    assert json.loads(d.state())["fingerprints"][0][1] == fingerprint(canonical)
    assert d.value() == '{"List":["Null"]}'



def _ins(c, after, values):
    return {"kind": "sequence_insert", "dot": dot(c), "path": [], "after": after, "values": values}


def _rm(c, key, removed):
    return {"kind": "map_remove", "dot": dot(c), "path": [], "key": key, "removed": removed}


@pytest.mark.parametrize("spec, start, calls, value", [
    # An insertion at the head after one with a predecessor, at the same place in its call.
    (SEQ_SPEC, '{"List":[]}',
     [[_ins(1, None, [{"Int": i} for i in range(20)])],
      [_ins(2, {"dot": dot(1), "index": 4}, ["Null"])],
      [_ins(3, None, [{"Str": "h"}]), {"kind": "sequence_delete", "dot": dot(4), "path": [],
                                        "ids": [{"dot": dot(1), "index": 0}]}]],
     {"List": [{"Str": "h"}] + [{"Int": i} for i in range(1, 5)] + ["Null"] + [{"Int": i} for i in range(5, 20)]}),
    # A removal that observed nothing after one that observed a dot.
    (MAP_SPEC, '{"Map":{}}',
     [[{"kind": "map_set", "dot": dot(1), "path": [], "key": "k", "value": {"Int": 1}},
       {"kind": "map_set", "dot": dot(2), "path": [], "key": "j", "value": {"Int": 2}}],
      [_rm(3, "k", [dot(2)])],
      [_rm(4, "j", [])]],
     {"Map": {"j": {"Int": 2}, "k": {"Int": 1}}}),
    # Calls after one of more than a megabyte, whose operations let go of what they read.
    (SEQ_SPEC, '{"List":[]}',
     [[_ins(1, None, [{"Str": "x" * (1 << 20)}]), _ins(2, {"dot": dot(1), "index": 0}, [{"Int": 1}])],
      [{"kind": "sequence_insert", "dot": dot(3), "path": [], "values": [{"Int": 2}]},
       {"kind": "sequence_delete", "dot": dot(4), "path": [], "ids": [{"dot": dot(1), "index": 0}]}]],
     {"List": [{"Int": 2}, {"Int": 1}]}),
])
def test_each_call_reads_its_operations_afresh(spec, start, calls, value):
    d = doc(spec, start, "b")
    for ops in calls:
        d.apply(json.dumps(ops, separators=(",", ":")))
    assert json.loads(d.value()) == value


@pytest.mark.parametrize(
    "ops, message",
    [
        ('[["register_set",{"counter":4,"replica":"a"},[]]]',
         "invalid length 2, expected struct variant CrdtOp::RegisterSet with 3 elements at line 1 column 49"),
        ('[["map_set",{"counter":4,"replica":"a"},[],"k","Null",1]]',
         "invalid length 5, expected 4 elements in sequence at line 1 column 57"),
        ("[[]]", "missing field `kind` at line 1 column 3"),
        ("[{}]", "missing field `kind` at line 1 column 3"),
        ('[{"kind":"map_set","dot":[1,"a"],"path":[],"key":"k","value":"Null","foo":1}]',
         "unknown field `foo`, expected one of `dot`, `path`, `key`, `value` at line 1 column 77"),
        ('[{"kind":"map_put"}]',
         "unknown variant `map_put`, expected one of `register_set`, `map_set`, `map_remove`, `set_add`, "
         "`set_remove`, `sequence_insert`, `sequence_delete` at line 1 column 18"),
        ('[{"kind":"sequence_splice"}]',
         "unknown variant `sequence_splice`, expected one of `register_set`, `map_set`, `map_remove`, `set_add`, "
         "`set_remove`, `sequence_insert`, `sequence_delete` at line 1 column 26"),
        ('[{"kind":"map_set","kind":"map_set"}]', "duplicate field `kind` at line 1 column 25"),
        ('[{"kind":"map_set","path":[],"path":[]}]', "duplicate field `path` at line 1 column 40"),
        ('[{"kind":0}]', "invalid type: integer `0`, expected variant identifier at line 1 column 10"),
        ("[1]", "invalid type: integer `1`, expected internally tagged enum CrdtOp at line 1 column 2"),
        ('[{"kind":"register_set","dot":[1],"path":[],"value":"Null"}]',
         "invalid length 1, expected struct Dot with 2 elements at line 1 column 60"),
        ('[{"kind":"register_set","dot":[1,"a",2],"path":[],"value":"Null"}]',
         "invalid length 3, expected 2 elements in sequence at line 1 column 66"),
        ('[{"kind":"register_set","dot":[-1,"a"],"path":[],"value":"Null"}]',
         "invalid value: integer `-1`, expected u64 at line 1 column 65"),
        ('[{"kind":"register_set","dot":[1.5,"a"],"path":[],"value":"Null"}]',
         "invalid type: floating point `1.5`, expected u64 at line 1 column 66"),
        ('[{"kind":"register_set","dot":[1,2],"path":[],"value":"Null"}]',
         "invalid type: integer `2`, expected a string at line 1 column 62"),
        ('[{"kind":"sequence_delete","dot":[1,"a"],"path":[],"ids":[[[1,"a"],4294967296]]}]',
         "invalid value: integer `4294967296`, expected u32 at line 1 column 81"),
        ('[{"kind":"register_set","dot":[1,"a"],"path":[{"kind":3,"key":"m"}],"value":"Null"}]',
         "invalid value: integer `3`, expected variant index 0 <= i < 3 at line 1 column 84"),
        ('[{"kind":"register_set","dot":[1,"a"],"path":[{"kind":"key","key":"m","x":1}],"value":"Null"}]',
         "unknown field `x`, expected `key` at line 1 column 94"),
        ('[{"kind":"register_set","dot":[1,"a"],"path":[["element"]],"value":"Null"}]',
         "invalid length 0, expected struct variant CrdtPathSegment::Element with 1 element at line 1 column 75"),
        ('[{"kind":"register_set","dot":[1,"a"],"path":{},"value":"Null"}]',
         "invalid type: map, expected a sequence at line 1 column 64"),
        ("{}", "invalid type: map, expected a sequence at line 1 column 0"),
        ("[] x", "trailing characters at line 1 column 4"),
    ],
)
def test_op_read_errors(ops, message):
    d = doc()
    before = d.state()
    assert err(d.apply, ops) == message
    assert d.state() == before


@pytest.mark.parametrize(
    "element_id, outcome",
    [
        ('{"dot":{"counter":0,"replica":"$init"},"index":1}', "deleted"),
        ('{"dot":{"counter":0,"replica":"$in\\u0069t"},"index":1}', "deleted"),
        ('{"dot":{"counter":0,"replica":"$init"},"index":1 }', "deleted"),
        ('{"index":1,"dot":{"replica":"$init","counter":0}}', "deleted"),
        ('{"dot":{"counter":18446744073709551615,"replica":"$init"},"index":4294967295}', "nothing"),
        ('{"dot":{"counter":0,"replica":"$init"},"index":01}', "invalid number at line 1 column 127"),
        ('{"dot":{"counter":00,"replica":"$init"},"index":1}', "invalid number at line 1 column 98"),
        ('{"dot":{"counter":18446744073709551616,"replica":"$init"},"index":1}',
         "invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 1 column 149"),
        ('{"dot":{"counter":0,"replica":"$init"},"index":4294967296}',
         "invalid value: integer `4294967296`, expected u32 at line 1 column 139"),
        ('{"dot":{"counter":0,"replica":"$init"},"index":1.0}',
         "invalid type: floating point `1.0`, expected u32 at line 1 column 132"),
        ('{"dot":{"counter":0,"replica":"$init"},"index":1', "expected `,` or `}` at line 1 column 127"),
    ],
)
def test_element_id_forms(element_id, outcome):
    # The writers' own form, other spellings of it, and the numbers at and
    # past their bounds read as the general JSON rules say.
    d = doc(SEQ_SPEC, '{"List":[{"Int":1},{"Int":2}]}')
    text = '[{"kind":"sequence_delete","dot":{"counter":7,"replica":"b"},"path":[],"ids":[%s]}]' % element_id
    if outcome == "deleted":
        effect = json.loads(d.apply(text))
        assert effect["patch"]["ops"] == [{"RemoveAt": {"path": [], "index": 1}}]
        assert effect["deltas"][0]["ids"] == [{"dot": dot(0, "$init"), "index": 1}]
    elif outcome == "nothing":
        assert json.loads(d.apply(text))["deltas"] == []
    else:
        assert err(d.apply, text) == outcome


LIST_OF_MAPS = json.dumps({"root": {"kind": "map", "fields": {"l": {"kind": "sequence", "element": {"kind": "map"}}}}})
FIRST = '{"kind":"element","id":{"dot":{"counter":0,"replica":"$init"},"index":0}}'


@pytest.mark.parametrize(
    "path, outcome",
    [
        ('[{"kind":"key","key":"l"},%s]' % FIRST, "in"),
        ('[ {"kind":"key","key":"l"} , %s ]' % FIRST, "in"),
        ('[{"kind":"key","key":"\\u006c"},%s]' % FIRST, "in"),
        ('[{"key":"l","kind":"key"},%s]' % FIRST, "in"),
        ("[]", "root"),
        ('[{"kind":"key","key":"l"},%s,]' % FIRST, "trailing comma at line 1 column 161"),
        ('[{"kind":"key","key":"l"}%s]' % FIRST, "expected `,` or `]` at line 1 column 86"),
        ('[{"kind":"key","key":"l"},{"kind":"member","key":"l"}]', "CRDT path segment does not match its policy"),
    ],
)
def test_path_forms(path, outcome):
    # The writers' own form, other spellings of it, and broken lists.
    d = doc(LIST_OF_MAPS, '{"Map":{"l":{"List":[{"Map":{}}]}}}', "b")
    text = '[{"kind":"map_set","dot":{"counter":1,"replica":"a"},"path":%s,"key":"x","value":{"Int":1}}]' % path
    if outcome == "in":
        d.apply(text)
        assert json.loads(d.value()) == {"Map": {"l": {"List": [{"Map": {"x": {"Int": 1}}}]}}}
    elif outcome == "root":
        d.apply(text)
        assert json.loads(d.value())["Map"]["x"] == {"Int": 1}
    else:
        assert err(d.apply, text) == outcome


def test_segment_kind_index_inside_op():
    spec = json.dumps({"root": {"kind": "map", "values": {"kind": "set", "keys": [["id"]],
                                                            "element": {"kind": "map"}}}})
    d = norvane.CrdtDocument(spec, '{"Map":{}}', "b")
    member = '[[[\\"id\\"],{\\"Int\\":1}]]'
    d.apply('[{"kind":"map_set","dot":[1,"a"],"path":[{"kind":0,"key":"s"},{"kind":1,"key":"%s"}],'
            '"key":"n","value":{"Int":2}}]' % member)
    # The member was created by a nested write only: not added, not visible.
    assert d.value() == '{"Map":{"s":{"List":[]}}}'


@pytest.mark.parametrize(
    "mutations, message",
    [
        ('[{"kind":"map_remove","path":[],"key":"k","foo":1}]',
         "unknown field `foo`, expected `path` or `key` at line 1 column 51"),
        ('[{"kind":"map_remove","path":[],"key":"k","removed":[]}]',
         "unknown field `removed`, expected `path` or `key` at line 1 column 56"),
        ('[{"kind":"map_set","dot":[1,"a"],"path":[],"key":"k","value":"Null"}]',
         "unknown field `dot`, expected one of `path`, `key`, `value` at line 1 column 69"),
        ('[{"kind":"sequence_splice","path":[],"index":0,"values":[]}]',
         "missing field `delete_count` at line 1 column 60"),
        ('[{"kind":"sequence_splice","path":[],"index":0,"delete_count":0}]',
         "missing field `values` at line 1 column 65"),
        ('[{"kind":"sequence_splice","path":[],"index":-1,"delete_count":0,"values":[]}]',
         "invalid value: integer `-1`, expected usize at line 1 column 78"),
        ('[{"kind":"nope"}]',
         "unknown variant `nope`, expected one of `register_set`, `map_set`, `map_remove`, `set_add`, "
         "`set_remove`, `sequence_insert`, `sequence_delete`, `sequence_splice` at line 1 column 15"),
        ('[["map_remove",[]]]', "invalid length 1, expected struct variant CrdtMutation::MapRemove with 2 elements "
                                "at line 1 column 19"),
    ],
)
def test_mutation_read_errors(mutations, message):
    d = doc()
    assert err(d.mutate, mutations) == message


def test_effect_of_noop_calls():
    d = doc()
    assert d.apply("[]") == '{"patch":{"rev":0,"ops":[]},"deltas":[],"applied":0}'
    assert d.mutate("[]") == '{"ops":[],"effect":{"patch":{"rev":0,"ops":[]},"deltas":[],"applied":0}}'


def test_escaped_texts_in_ops():
    d = doc()
    out = d.mutate(json.dumps([{"kind": "map_set", "path": [], "key": 'a"\\\n\u00e9', "value": {"Str": "\x01"}}],
                              ensure_ascii=False))
    op = out[len('{"ops":['):out.index('],"effect"')]
    assert op == ('{"kind":"map_set","dot":{"counter":1,"replica":"a"},"path":[],"key":"a\\"\\\\\\n\u00e9",'
                  '"value":{"Str":"\\u0001"}}')
    assert json.loads(d.state())["fingerprints"][0][1] == fingerprint(op)


def canonical(op):
    return json.dumps(op, separators=(",", ":"), ensure_ascii=False)


def fingerprints_of(spec, value, ops_text):
    d = doc(spec, value, "z")
    effect = d.apply(ops_text)
    return [fp for _, fp in json.loads(d.state())["fingerprints"]], effect


INSERT = '{"kind":"sequence_insert","dot":{"counter":1,"replica":"a"},"path":[],"after":null,"values":[%s]}'


@pytest.mark.parametrize(
    "value",
    [
        '{"Str":"x"}', '{"Str":""}', '{"Str":"\\n"}', '{"Str":"\\u001f"}', '{"Str":"\\u001F"}',
        '{"Str":"\\u000a"}', '{"Str":"\\/"}', '{"Str":"\\u00e9"}', '{"Str":"\u00e9\u20ac"}',
        '{"Str":"\x7f"}', '{"Str":"\\"\\\\"}', '{"Str":"\\ud83d\\ude00"}', '{"Int":0}', '{"Int":-12}',
        '{"Int":9223372036854775807}', '{"Int":-9223372036854775808}', '"Null"',
        '{"Bool":true}', '{"Bool":false}', '{"Float":0.5}', '{"List":[{"Int":1}]}', '{ "Str":"x"}',
    ],
)
def test_operation_spellings_fingerprint_as_written(value):
    # However an operation is spelled, its fingerprint is that of the text the
    # writers give for it, and what the call returns is the same.
    text = INSERT % value
    op = json.loads(text)
    fps, effect = fingerprints_of(SEQ_SPEC, '{"List":[]}', "[" + text + "]")
    assert fps == [fingerprint(canonical(op))]
    assert (fps, effect) == fingerprints_of(SEQ_SPEC, '{"List":[]}', "[" + canonical(op) + "]")


@pytest.mark.parametrize(
    "value, message",
    [
        ('{"Int":-0}', "invalid type: floating point `-0.0`, expected i64 at line 1 column 107"),
        ('{"Int":007}', "invalid number at line 1 column 103"),
        ('{"Int":1.0}', "invalid type: floating point `1.0`, expected i64 at line 1 column 108"),
        ('{"Int":9223372036854775808}', "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 124"),
        ('{"Str":"\x01"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 103"),
        ('{"Str":"x}', "EOF while parsing a string at line 1 column 107"),
    ],
)
def test_operation_misspellings_refused(value, message):
    assert err(doc(SEQ_SPEC, '{"List":[]}', "z").apply, "[" + INSERT % value + "]") == message


@pytest.mark.parametrize(
    "tail, message",
    [
        ("", "EOF while parsing a value at line 1 column 101"),
        ('"', "EOF while parsing a string at line 1 column 102"),
        ('"x', "EOF while parsing a string at line 1 column 103"),
        ('"x"', "EOF while parsing an object at line 1 column 104"),
        ('"x"}', "EOF while parsing a list at line 1 column 105"),
    ],
)
def test_operation_text_cut_short_in_a_value(tail, message):
    text = "[" + (INSERT % '{"Str":')[:-2] + tail
    assert err(doc(SEQ_SPEC, '{"List":[]}', "z").apply, text) == message


SCALARS = st.one_of(
    st.text(max_size=6).map(lambda s: {"Str": s}),
    st.integers(-(2**63), 2**63 - 1).map(lambda i: {"Int": i}),
    st.booleans().map(lambda b: {"Bool": b}),
    st.just("Null"),
)
REPLICAS = st.sampled_from(["a", "b\u00e9", 'q"r', "x y"])
DOTS = st.builds(lambda c, r: {"counter": c, "replica": r}, st.integers(1, 2**64 - 1), REPLICAS)
IDS = st.builds(lambda d, i: {"dot": d, "index": i}, DOTS, st.integers(0, 2**32 - 1))


@st.composite
def operations(draw):
    kind = draw(st.sampled_from(["map_set", "map_remove", "sequence_insert", "sequence_delete", "set_add",
                                 "register_set"]))
    op = {"kind": kind, "dot": draw(DOTS), "path": []}
    if kind == "map_set":
        op.update(key=draw(st.text(max_size=5)), value=draw(SCALARS))
    elif kind == "map_remove":
        op.update(key=draw(st.text(max_size=5)), removed=draw(st.lists(DOTS, max_size=3)))
    elif kind == "sequence_insert":
        op.update(after=draw(st.none() | IDS), values=draw(st.lists(SCALARS, min_size=1, max_size=4)))
    elif kind == "sequence_delete":
        op.update(ids=draw(st.lists(IDS, max_size=3)))
    else:
        op.update(value=draw(SCALARS))
    return op


SPEC_OF = {"map_set": (MAP_SPEC, '{"Map":{}}'), "map_remove": (MAP_SPEC, '{"Map":{}}'),
           "sequence_insert": (SEQ_SPEC, '{"List":[]}'), "sequence_delete": (SEQ_SPEC, '{"List":[]}'),
           "set_add": (SET_SPEC, '{"List":[]}'), "register_set": (REG_SPEC, '"Null"')}


@given(operations())
def test_operation_written_and_respelled_read_alike(op):
    spec, value = SPEC_OF[op["kind"]]
    written = canonical(op)
    respelled = json.dumps(op, separators=(", ", ": "))
    try:
        fps, effect = fingerprints_of(spec, value, "[" + written + "]")
    except ValueError as e:
        with pytest.raises(ValueError) as again:
            fingerprints_of(spec, value, "[" + respelled + "]")
        assert str(again.value).split(" at line")[0] == str(e).split(" at line")[0]
        return
    assert fps == [fingerprint(written)]
    assert fingerprints_of(spec, value, "[" + respelled + "]") == (fps, effect)


# ---- saved state -------------------------------------------------------------------


def test_new_document_state():
    d = doc(MAP_SPEC, '{"Map":{"a":{"Int":1}}}')
    h = spec_hash(MAP_SPEC)
    assert d.state() == (
        '{"state_version":1,"spec_hash":"%s","context":{},"root":{"kind":"map","entries":{"a":{"node":'
        '{"kind":"register","value":{"Int":1},"dot":{"counter":0,"replica":"$init"}},'
        '"dots":[{"counter":0,"replica":"$init"}]}}}}' % h
    )
    assert doc(SEQ_SPEC, '{"List":[]}').state().endswith('"root":{"kind":"sequence","entries":[],"deletes":[]}}')


SAMPLE = {"map": '{"Map":{}}', "sequence": '{"List":[]}', "set": '{"List":[]}', "register": '"Null"'}


def spec_hash(spec):
    sample = SAMPLE[json.loads(spec)["root"]["kind"]]
    return json.loads(norvane.CrdtDocument(spec, sample, "a").state())["spec_hash"]


def state_with(root, spec=MAP_SPEC, **extra):
    st = {"state_version": 1, "spec_hash": spec_hash(spec), "context": {}}
    st.update(extra)
    st["root"] = root
    return json.dumps(st, separators=(",", ":"))


def restore(text, spec=MAP_SPEC):
    return norvane.CrdtDocument.from_state(spec, text, "r")


@pytest.mark.parametrize(
    "root, written",
    [
        ({"kind": "register"}, {"kind": "register", "value": None, "dot": None}),
        (["register", None, None], {"kind": "register", "value": None, "dot": None}),
        ({"kind": "map", "entries": {"a": {"node": {"kind": "register"}, "junk": [1]}}},
         {"kind": "map", "entries": {"a": {"node": {"kind": "register", "value": None, "dot": None}}}}),
        ({"kind": "map", "entries": {"a": [{"kind": 0}, [[1, "x"], [1, "x"]]]}},
         {"kind": "map", "entries": {"a": {"node": {"kind": "register", "value": None, "dot": None},
                                           "dots": [dot(1, "x")]}}}),
    ],
)
def test_state_node_forms(root, written):
    spec = REG_SPEC if (root[0] if isinstance(root, list) else root["kind"]) == "register" else MAP_SPEC
    extra = {}
    if spec == MAP_SPEC and "dots" in json.dumps(written):
        extra = {"context": {"dots": [dot(1, "x")]}, "fingerprints": [[dot(1, "x"), "sha256:" + "0" * 64]]}
    if spec == REG_SPEC:
        # A register that holds nothing has no value: the root would be removed.
        assert err(restore, state_with(root, spec), spec) == "root value is removed"
        return
    d = restore(state_with(root, spec, **extra), spec)
    assert json.loads(d.state())["root"] == written


def test_removed_entry_state_round_trip():
    # a removes "k" while b writes it again: "k" shows b's write, and its
    # entry keeps the dot a's removal saw and the removal's own dot.
    a, b = doc(replica="a"), doc(replica="b")
    b.apply(ops_text(a.mutate('[{"kind":"map_set","path":[],"key":"k","value":{"Int":1}}]')))
    a.apply(ops_text(b.mutate('[{"kind":"map_set","path":[],"key":"k","value":{"Int":2}}]')))
    removal = ops_text(a.mutate('[{"kind":"map_remove","path":[],"key":"k"}]'))
    a.apply(ops_text(b.mutate('[{"kind":"map_set","path":[],"key":"k","value":{"Int":3}}]')))
    b.apply(removal)
    text = a.state()
    entry = json.loads(text)["root"]["entries"]["k"]
    assert entry == {"node": {"kind": "register", "value": {"Int": 3}, "dot": dot(3, "b")},
                     "dots": [dot(1), dot(2, "b"), dot(3, "b")], "removed": [dot(1), dot(2, "b")],
                     "removal_ops": [dot(3)]}
    assert a.value() == b.value() == '{"Map":{"k":{"Int":3}}}'
    assert restore(text).state() == text
    # The same entry in the array form the general reader takes.
    st = json.loads(text)
    st["root"]["entries"]["k"] = [entry["node"]] + [[[d["counter"], d["replica"]] for d in entry[f]]
                                                    for f in ("dots", "removed", "removal_ops")]
    assert restore(json.dumps(st)).state() == text


def ops_text(result):
    return json.dumps(json.loads(result)["ops"])


def test_sequence_state_round_trip_sorted():
    root = {"kind": "sequence", "entries": [
        [[[2, "a"], 0], {"inserted": True, "after": [[1, "a"], 0], "node": {"kind": "register", "value": "Null",
                                                                             "dot": [2, "a"]}}],
        [[[1, "a"], 0], [None, {"kind": "register", "value": {"Int": 1}, "dot": [1, "a"]}, True]],
        [[[3, "a"], 0], {"inserted": False, "x": 1}],
    ], "deletes": [[[[2, "a"], 0], [[4, "a"], [4, "a"]]], [[[1, "a"], 0], [[4, "a"]]]]}
    dots = [dot(1), dot(2), dot(4)]
    text = state_with(root, SEQ_SPEC, context={"dots": dots},
                      fingerprints=[[d, "sha256:" + "f" * 64] for d in reversed(dots)])
    d = restore(text, SEQ_SPEC)
    st = json.loads(d.state())
    assert [e[0]["dot"]["counter"] for e in st["root"]["entries"]] == [1, 2, 3]
    assert st["root"]["entries"][2][1] == {"after": None, "node": None, "inserted": False}
    assert st["root"]["deletes"] == [[{"dot": dot(1), "index": 0}, [dot(4)]], [{"dot": dot(2), "index": 0}, [dot(4)]]]
    assert d.value() == '{"List":[]}'
    assert restore(d.state(), SEQ_SPEC).state() == d.state()


@pytest.mark.parametrize(
    "text, message",
    [
        ("{}", "missing field `state_version` at line 1 column 2"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"map","entries":{}},"x":1}',
         "unknown field `x`, expected one of `state_version`, `spec_hash`, `context`, `fingerprints`, `root` "
         "at line 1 column 86"),
        ('{"state_version":1,"spec_hash":"x","context":{}}', "missing field `root` at line 1 column 48"),
        ('[1,"x",{}]', "invalid length 4, expected struct CrdtState with 5 elements at line 1 column 10"),
        ('[1,"x"]', "invalid length 2, expected struct CrdtState with 5 elements at line 1 column 7"),
        ("1", "invalid type: integer `1`, expected struct CrdtState at line 1 column 1"),
        ('{"state_version":1,"spec_hash":"x","context":{"y":1},"root":{}}',
         "unknown field `y`, expected `compacted` or `dots` at line 1 column 49"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"map"}}',
         "missing field `entries` at line 1 column 70"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":1,"entries":{}}}',
         "invalid type: integer `1`, expected variant identifier at line 1 column 64"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"Map","entries":{}}}',
         "unknown variant `Map`, expected one of `register`, `map`, `set`, `sequence` at line 1 column 68"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"register","x":1}}',
         "unknown field `x`, expected `value` or `dot` at line 1 column 81"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":["register",null]}',
         "invalid length 1, expected struct variant NodeState::Register with 2 elements at line 1 column 73"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"map","entries":{"a":{}}}}',
         "missing field `node` at line 1 column 89"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"map","entries":{"a":[]}}}',
         "invalid length 0, expected struct MapEntryState with 4 elements at line 1 column 89"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"sequence","entries":'
         '[[[[1,"a"],0],{"inserted":true}],[[[1,"a"],0],{"inserted":true}]],"deletes":[]}}',
         "duplicate sequence element ID at line 1 column 164"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"sequence","entries":[],'
         '"deletes":[[[[1,"a"],0],[]],[[[1,"a"],0],[]]]}}',
         "duplicate sequence deletion ID at line 1 column 134"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"sequence","entries":'
         '[[[[1,"a"],0],{"after":null}]],"deletes":[]}}',
         "missing field `inserted` at line 1 column 129"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"sequence","entries":'
         '[[[[1,"a"],0],[null,null]]],"deletes":[]}}',
         "invalid length 2, expected struct SequenceEntryState with 3 elements at line 1 column 126"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"sequence","entries":'
         '[[[[1,"a"],0],{"inserted":"yes"}]],"deletes":[]}}',
         "invalid type: string \"yes\", expected a boolean at line 1 column 133"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"sequence","entries":[[[[1,"a"],0]]],'
         '"deletes":[]}}', "invalid length 1, expected a tuple of size 2 at line 1 column 114"),
        ('{"state_version":1,"spec_hash":"x","context":{},"fingerprints":[[[1,"a"],"f"],[[1,"a"],"f"]],'
         '"root":{}}', "duplicate operation fingerprint dot at line 1 column 92"),
        ('{"state_version":1,"spec_hash":"x","context":{},"fingerprints":[[[1,"a"],"f",1]],"root":{}}',
         "trailing characters at line 1 column 78"),
        ('{"state_version":1,"spec_hash":"x","context":{"dots":[[1,"a",2]]},"root":{}}',
         "trailing characters at line 1 column 62"),
        # a comma after the last element of a pair or of a dot
        ('{"state_version":1,"spec_hash":"x","context":{},"fingerprints":[[[1,"a"],"sha256:' + "f" * 64 + '",]],'
         '"root":{}}', "trailing comma at line 1 column 148"),
        ('{"state_version":1,"spec_hash":"x","context":{},"fingerprints":[[{"counter":1,"replica":"a"},"sha256:'
         + "f" * 64 + '" , ]],"root":{}}', "trailing comma at line 1 column 170"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"sequence","entries":'
         '[[[[1,"a"],0],{"inserted":true},]],"deletes":[]}}', "trailing comma at line 1 column 117"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"sequence","entries":[],'
         '"deletes":[[[[1,"a"],0],[],]]}}', "trailing comma at line 1 column 115"),
        ('{"state_version":1,"spec_hash":"x","context":{"dots":[[1,"a",]]},"root":{}}',
         "trailing comma at line 1 column 62"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"map","entries":{}}} x',
         "trailing characters at line 1 column 85"),
        ('{"state_version":1,"spec_hash":"x","context":{},"root":{"kind":"map","entries":{"a":{"node":' + "[" * 100000,
         "recursion limit exceeded at line 1 column 216"),
        ("[" * 100000, "invalid type: sequence, expected u32 at line 1 column 1"),
    ],
    ids=lambda v: v[:60] if isinstance(v, str) else None,
)
def test_state_read_errors(text, message):
    assert err(restore, text) == message


def test_nested_node_kind_index():
    spec = json.dumps({"root": {"kind": "map", "values": {"kind": "set"}}})
    root = {"kind": "map", "entries": {"s": {"node": {"kind": 2, "entries": {}}}}}
    d = restore(state_with(root, spec), spec)
    assert d.value() == '{"Map":{}}'
    assert err(restore, state_with({"kind": 2, "entries": {}}, SET_SPEC), SET_SPEC).startswith(
        "invalid type: integer `2`, expected variant identifier")


def test_short_keys_differing_by_trailing_zero_bytes():
    keys = ["a\u0000", "a", "", "a\u0000\u0000", "ab", "a\u0000b", "\u0000"]
    fields = {k: {"kind": "register"} for k in ["a\u0000", "a", "a\u0000\u0000"]}
    spec = json.dumps({"root": {"kind": "map", "fields": fields}})
    d = norvane.CrdtDocument(spec, '{"Map":{}}', "a")
    d.mutate(json.dumps([{"kind": "map_set", "path": [], "key": k, "value": {"Int": i}} for i, k in enumerate(keys)]))
    order = sorted(keys, key=lambda k: k.encode())
    assert list(json.loads(d.value())["Map"]) == order
    assert list(json.loads(d.state())["root"]["entries"]) == order
    assert json.loads(d.value())["Map"] == {k: {"Int": i} for i, k in enumerate(keys)}
    assert norvane.CrdtDocument.from_state(spec, d.state(), "b").state() == d.state()


@pytest.mark.parametrize("length", [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24])
def test_names_differing_in_one_byte_stay_apart(length):
    # Replica names and field names of one length that differ only in their
    # first, middle or last byte.
    def names(base):
        out = [base]
        for at in {0, length // 2, length - 1}:
            out.append(base[:at] + "y" + base[at + 1:])
        return out

    fields = names("x" * length)
    spec = json.dumps({"root": {"kind": "map", "fields": {f: {"kind": "register"} for f in fields}}})
    d = doc(spec, json.dumps({"Map": {f: "Null" for f in fields}}), "me")
    ops = [{"kind": "register_set", "dot": dot(1, r), "path": [{"kind": "key", "key": f}], "value": {"Int": i}}
           for i, (r, f) in enumerate(zip(names("r" * length), fields))]
    d.apply(json.dumps(ops, separators=(",", ":")))
    assert json.loads(d.value()) == {"Map": {f: {"Int": i} for i, f in enumerate(fields)}}
    assert sorted(x["replica"] for x in json.loads(d.state())["context"]["dots"]) == sorted(names("r" * length))



def check_number_read(counter, index):
    # A dot and an element id in the writers' form: the counters and indexes
    # read are the ones written, whatever their length.
    d = doc(SEQ_SPEC, '{"List":[]}')
    op = ('[{"kind":"sequence_insert","dot":{"counter":%d,"replica":"b"},"path":[],"after":null,"values":[{"Int":5}]},'
          '{"kind":"sequence_delete","dot":{"counter":1,"replica":"c"},"path":[],'
          '"ids":[{"dot":{"counter":%d,"replica":"x"},"index":%d}]}]' % (counter, counter, index))
    effect = json.loads(d.apply(op))
    assert effect["deltas"][0]["elements"][0]["id"]["dot"] == dot(counter, "b")
    assert json.loads(d.state())["root"]["deletes"] == [[{"dot": dot(counter, "x"), "index": index}, [dot(1, "c")]]]


@pytest.mark.parametrize("digits", range(1, 21))
def test_numbers_of_every_length(digits):
    for c in (10 ** (digits - 1), 10**digits - 1, 10**digits // 7):
        c = min(max(c, 1), 2**64 - 1)
        check_number_read(c, min(c, 2**32 - 1))


@given(st.integers(1, 2**64 - 1), st.integers(0, 2**32 - 1))
def test_numbers_read_as_written(counter, index):
    check_number_read(counter, index)
