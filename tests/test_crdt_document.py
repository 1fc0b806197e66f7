"""The CrdtDocument class: construction, restore, mutate, apply, member keys, compaction."""

import hashlib
import json

import pytest

import norvane

CrdtDocument = norvane.CrdtDocument
MAP = json.dumps({"root": {"kind": "map"}})
REG = json.dumps({"root": {"kind": "register"}})
SEQ = json.dumps({"root": {"kind": "sequence"}})
U64 = 2**64 - 1


def d(c, r="a"):
    return {"counter": c, "replica": r}


def err(fn, *args):
    with pytest.raises(ValueError) as e:
        fn(*args)
    return str(e.value)


def mutate(doc, *ms):
    return json.loads(doc.mutate(json.dumps(list(ms))))


def state(doc):
    return json.loads(doc.state())


def test_class_shape():
    assert CrdtDocument.__module__ == "builtins"
    assert CrdtDocument.__text_signature__ == "(spec_json, value_json, replica)"
    assert CrdtDocument.__doc__ == "Schema-directed CRDT reducer backed by the shared core."
    assert CrdtDocument.from_state.__text_signature__ == "(spec_json, state_json, replica)"
    assert CrdtDocument.mutate.__text_signature__ == "($self, mutations_json)"
    assert CrdtDocument.member_key.__text_signature__ == "($self, path_json, value_json)"
    assert [m for m in ("from_state", "value", "state", "mutate", "apply", "member_key", "compact")
            if m in vars(CrdtDocument)] == ["from_state", "value", "state", "mutate", "apply", "member_key", "compact"]
    with pytest.raises(TypeError):
        type("Sub", (CrdtDocument,), {})


def test_public_methods_are_exactly_the_documented_ones():
    # The whole-value reference path and the cache checker live in the private test module.
    assert [m for m in vars(CrdtDocument) if not m.startswith("__")] == [
        "from_state", "value", "state", "mutate", "apply", "member_key", "compact"]
    assert [m for m in dir(CrdtDocument) if not m.startswith("__")] == [
        "apply", "compact", "from_state", "member_key", "mutate", "state", "value"]


def test_arguments():
    with pytest.raises(TypeError) as e:
        CrdtDocument(MAP, '{"Map":{}}')
    assert str(e.value) == "CrdtDocument.__new__() missing 1 required positional argument: 'replica'"
    doc = CrdtDocument(spec_json=MAP, value_json='{"Map":{}}', replica="a")
    with pytest.raises(TypeError) as e:
        doc.apply(b"[]")
    assert e.value.__notes__ == ["while processing 'ops_json'"]
    with pytest.raises(TypeError):
        doc.compact(frontier_json=None)
    assert doc.apply(ops_json="[]").endswith('"applied":0}')


@pytest.mark.parametrize(
    "args, message",
    [
        ((MAP, '{"Map":{}}', ""), "replica identifier must be non-empty and cannot be reserved $init"),
        ((MAP, '{"Map":{}}', "$init"), "replica identifier must be non-empty and cannot be reserved $init"),
        ((MAP, '{"Int":1}', "a"), "map policy requires a map value"),
        ((MAP, '{"Int":1', "a"), "EOF while parsing an object at line 1 column 8"),
        ((MAP, '"Null" x', "a"), "trailing characters at line 1 column 8"),
        (('{"root":{"kind":"map"},"version":2}', '{"Map":{}}', "a"), "unsupported CRDT spec version 2; expected 1"),
        ((json.dumps({"root": {"kind": "set", "keys": [["id"]], "element": {"kind": "map"}}}),
          '{"List":[{"Map":{}}]}', "a"), 'set key path ["id"] is missing segment "id"'),
    ],
)
def test_constructor_failures(args, message):
    assert err(CrdtDocument, *args) == message


def test_constructor_replicas_and_new_state():
    for r in ("$INIT", "$init ", "x"):
        CrdtDocument(MAP, '{"Map":{}}', r)
    doc = CrdtDocument(MAP, '{"Map":{}}', "a")
    assert doc.value() == '{"Map":{}}'
    st = state(doc)
    assert st["state_version"] == 1 and st["context"] == {} and "fingerprints" not in st


def test_register_mutation_example():
    doc = CrdtDocument(REG, '{"Int":1}', "r1")
    out = doc.mutate('[{"kind":"register_set","path":[],"value":{"Int":5}}]')
    assert out == (
        '{"ops":[{"kind":"register_set","dot":{"counter":1,"replica":"r1"},"path":[],"value":{"Int":5}}],'
        '"effect":{"patch":{"rev":0,"ops":[{"Set":{"path":[],"value":{"Int":5}}}]},'
        '"deltas":[{"kind":"register_set","path":[],"value":{"Int":5}}],"applied":1}}'
    )
    st = state(doc)
    assert st["context"] == {"dots": [d(1, "r1")]}
    op = out[len('{"ops":['):out.index('],"effect"')]
    assert st["fingerprints"] == [[d(1, "r1"), "sha256:" + hashlib.sha256(op.encode()).hexdigest()]]
    # Writing the same value again: an operation, no delta, empty patch.
    again = mutate(doc, {"kind": "register_set", "path": [], "value": {"Int": 5}})
    assert again["ops"][0]["dot"] == d(2, "r1")
    assert again["effect"] == {"patch": {"rev": 0, "ops": []}, "deltas": [], "applied": 1}


def test_counters_follow_remote_operations():
    doc = CrdtDocument(MAP, '{"Map":{}}', "a")
    out = mutate(doc, {"kind": "map_set", "path": [], "key": "x", "value": "Null"},
                 {"kind": "map_set", "path": [], "key": "y", "value": "Null"})
    assert [o["dot"]["counter"] for o in out["ops"]] == [1, 2]
    doc.apply(json.dumps([{"kind": "map_set", "dot": d(10, "b"), "path": [], "key": "z", "value": "Null"}]))
    assert mutate(doc, {"kind": "map_remove", "path": [], "key": "q"})["ops"] == [
        {"kind": "map_remove", "dot": d(11), "path": [], "key": "q", "removed": []}]


def test_remove_carries_entry_and_live_dots():
    spec = json.dumps({"root": {"kind": "map", "values": {"kind": "map"}}})
    doc = CrdtDocument(spec, '{"Map":{}}', "a")
    mutate(doc, {"kind": "map_set", "path": [], "key": "e", "value": {"Map": {"x": {"Int": 1}}}},
           {"kind": "map_set", "path": [{"kind": "key", "key": "e"}], "key": "y", "value": {"Int": 2}})
    out = mutate(doc, {"kind": "map_set", "path": [], "key": "k", "value": {"Map": {}}},
                 {"kind": "map_remove", "path": [], "key": "k"},
                 {"kind": "map_remove", "path": [], "key": "e"})
    assert out["ops"][1]["removed"] == [d(3)]
    assert out["ops"][2]["removed"] == [d(1), d(2)]
    assert doc.value() == '{"Map":{}}'


def test_splices():
    doc = CrdtDocument(SEQ, '{"List":[{"Int":1},{"Int":2},{"Int":3}]}', "a")
    init = lambda i: {"dot": d(0, "$init"), "index": i}  # noqa: E731
    sp = lambda i, n, *v: {"kind": "sequence_splice", "path": [], "index": i, "delete_count": n,  # noqa: E731
                           "values": [{"Int": x} for x in v]}
    assert err(doc.mutate, json.dumps([sp(4, 0)])) == "sequence splice index 4 out of bounds (len 3)"
    assert err(doc.mutate, json.dumps([sp(2, 5)])) == "sequence splice delete range 2..7 out of bounds (len 3)"
    assert err(doc.mutate, json.dumps([sp(1, U64)])) == (
        "sequence splice delete range 1..18446744073709551615 out of bounds (len 3)")
    assert mutate(doc, sp(1, 0))["ops"] == []
    out = mutate(doc, sp(1, 1, 9))
    assert [(o["kind"], o["dot"]["counter"]) for o in out["ops"]] == [("sequence_delete", 1), ("sequence_insert", 2)]
    assert out["ops"][0]["ids"] == [init(1)] and out["ops"][1]["after"] == init(0)
    out = mutate(doc, sp(3, 0, 4), sp(0, 0, 0), sp(5, 0, 5))
    assert doc.value() == '{"List":[{"Int":0},{"Int":1},{"Int":9},{"Int":3},{"Int":4},{"Int":5}]}'
    assert out["ops"][1]["after"] is None
    assert [x["elements"][0]["id"]["dot"]["counter"] for x in out["effect"]["deltas"]] == [3, 4, 5]


def test_splice_positions_skip_elements_hidden_by_a_removal():
    spec = json.dumps({"root": {"kind": "map", "values": {"kind": "sequence"}}})
    a, b = (CrdtDocument(spec, '{"Map":{"k":{"List":[{"Int":1},{"Int":2}]}}}', r) for r in "ab")
    removal = mutate(a, {"kind": "map_remove", "path": [], "key": "k"})["ops"]
    insert = mutate(b, {"kind": "sequence_splice", "path": [{"kind": "key", "key": "k"}], "index": 2,
                        "delete_count": 0, "values": [{"Int": 3}]})["ops"]
    a.apply(json.dumps(insert))
    b.apply(json.dumps(removal))
    # The concurrent insertion keeps "k"; the removal still hides what it had seen.
    assert a.value() == b.value() == '{"Map":{"k":{"List":[{"Int":3}]}}}'
    sp = lambda i, n, *v: {"kind": "sequence_splice", "path": [{"kind": "key", "key": "k"}], "index": i,  # noqa: E731
                           "delete_count": n, "values": [{"Int": x} for x in v]}
    assert err(a.mutate, json.dumps([sp(2, 0)])) == "sequence splice index 2 out of bounds (len 1)"
    out = mutate(a, sp(1, 0, 4))
    assert out["ops"][0]["after"] == {"dot": d(1, "b"), "index": 0}
    out = mutate(a, sp(0, 1))
    assert out["ops"][0]["ids"] == [{"dot": d(1, "b"), "index": 0}]
    assert a.value() == '{"Map":{"k":{"List":[{"Int":4}]}}}'


def test_failing_mutation_leaves_everything():
    doc = CrdtDocument(MAP, '{"Map":{}}', "a")
    mutate(doc, {"kind": "map_set", "path": [], "key": "x", "value": "Null"})
    before = doc.state()
    assert err(doc.mutate, json.dumps([{"kind": "map_set", "path": [], "key": "y", "value": "Null"},
                                       {"kind": "set_add", "path": [], "value": "Null"}])) == (
        "set_add path does not address a set")
    assert doc.state() == before


NESTED = json.dumps({"root": {"kind": "map", "fields": {
    "s": {"kind": "set", "keys": [["id"]], "element": {"kind": "map"}},
    "l": {"kind": "sequence", "element": {"kind": "map"}},
    "r": {"kind": "register"}},
    "values": {"kind": "map", "values": {"kind": "map"}}}})
NESTED_INIT = json.dumps({"Map": {"m": {"Map": {}}, "s": {"List": []}, "l": {"List": []}, "r": {"Int": 1}}})


@pytest.mark.parametrize("kind", ["map_remove", "set_remove"])
@pytest.mark.parametrize(("path", "message"), [
    ([{"kind": "key", "key": "x"}], 'unknown map key "x"'),
    ([{"kind": "key", "key": "m"}, {"kind": "key", "key": "y"}], 'unknown map key "y"'),
    ([{"kind": "key", "key": "s"}, {"kind": "member", "key": "[]"}], 'unknown set member "[]"'),
    ([{"kind": "key", "key": "l"}, {"kind": "element", "id": {"dot": d(3, "q"), "index": 0}}],
     'unknown sequence element ElementId { dot: Dot { counter: 3, replica: "q" }, index: 0 }'),
    ([{"kind": "member", "key": "x"}], "CRDT path segment does not match reducer state"),
    ([{"kind": "key", "key": "r"}, {"kind": "key", "key": "z"}], "CRDT path segment does not match reducer state"),
    ([{"kind": "key", "key": "l"}], "{kind} path does not address a {target}"),
    ([{"kind": "key", "key": "r"}], "{kind} path does not address a {target}"),
])
def test_removal_resolves_its_path_without_writing(kind, path, message):
    doc = CrdtDocument(NESTED, NESTED_INIT, "a")
    before = (doc.state(), doc.value())
    mutation = {"kind": kind, "path": path, "key": "k"}
    expected = message.replace("{kind}", kind).replace("{target}", "map" if kind == "map_remove" else "set")
    assert err(doc.mutate, json.dumps([mutation])) == expected
    # After a write of the same call that succeeded, the call fails alike.
    write = {"kind": "register_set", "path": [{"kind": "key", "key": "r"}], "value": {"Int": 2}}
    assert err(doc.mutate, json.dumps([write, mutation])) == expected
    assert (doc.state(), doc.value()) == before


def test_removal_of_a_missing_key_or_member_is_an_operation():
    doc = CrdtDocument(NESTED, NESTED_INIT, "a")
    out = mutate(doc, {"kind": "map_remove", "path": [{"kind": "key", "key": "m"}], "key": "k"},
                 {"kind": "set_remove", "path": [{"kind": "key", "key": "s"}], "key": "[]"})
    assert [o["removed"] for o in out["ops"]] == [[], []]
    assert out["effect"] == {"patch": {"rev": 0, "ops": []}, "deltas": [], "applied": 2}
    assert doc.value() == CrdtDocument(NESTED, NESTED_INIT, "b").value()


@pytest.mark.parametrize("kind", ["map_remove", "set_remove"])
def test_removed_list_over_a_subtree_of_several_replicas_is_ascending_and_unique(kind):
    # Replicas with interleaved counters write below one entry (or member); the
    # removal lists every dot once, in dot order (counter, then replica bytes).
    docs = {r: CrdtDocument(NESTED, NESTED_INIT, r) for r in ("b", "a", "c")}
    member = '[[["id"],{"Int":1}]]'
    if kind == "map_remove":
        base, target = [{"kind": "key", "key": "m"}], {"kind": "key", "key": "e"}
        first = {"kind": "map_set", "path": base, "key": "e", "value": {"Map": {"x": {"Int": 0}}}}
        remove = {"kind": "map_remove", "path": base, "key": "e"}
    else:
        base, target = [{"kind": "key", "key": "s"}], {"kind": "member", "key": member}
        first = {"kind": "set_add", "path": base, "value": {"Map": {"id": {"Int": 1}, "x": {"Int": 0}}}}
        remove = {"kind": "set_remove", "path": base, "key": member}
    log = mutate(docs["c"], first)["ops"]
    for r in ("b", "a"):
        docs[r].apply(json.dumps(log))
    for r, key in (("a", "y"), ("b", "z"), ("b", "x"), ("a", "w")):
        log += mutate(docs[r], {"kind": "map_set", "path": base + [target], "key": key, "value": {"Int": 1}})["ops"]
    docs["c"].apply(json.dumps(log[::-1]))
    removed = mutate(docs["c"], remove)["ops"][0]["removed"]
    assert removed == [d(1, "c"), d(2, "a"), d(2, "b"), d(3, "a"), d(3, "b")]


@pytest.mark.parametrize("replicas", [1, 2, 5, 9])
def test_dots_of_many_replicas_below_one_entry(replicas):
    # Replicas write below one map entry in turns, so that its dots form one
    # run per replica, or several once a replica's counters jump; a call that
    # fails after such writes takes them back exactly.
    names = ["r%d" % ((i * 7) % replicas) for i in range(replicas)]
    docs = [CrdtDocument(NESTED, NESTED_INIT, r) for r in names]
    base = [{"kind": "key", "key": "m"}]
    log = mutate(docs[0], {"kind": "map_set", "path": base, "key": "e", "value": {"Map": {}}})["ops"]
    for doc in docs[1:]:
        doc.apply(json.dumps(log))
    for turn in range(3):
        for i, doc in enumerate(docs):
            if turn == 1 and i % 2:
                continue  # a jump in this replica's counters: a run of its own
            ops = mutate(doc, {"kind": "map_set", "path": base + [{"kind": "key", "key": "e"}],
                               "key": "k%d" % i, "value": {"Int": turn}})["ops"]
            log += ops
            for other in docs:
                if other is not doc:
                    other.apply(json.dumps(ops))
    write = {"kind": "map_set", "path": base + [{"kind": "key", "key": "e"}], "key": "z", "value": "Null"}
    for doc in docs:
        before = doc.state()
        assert err(doc.mutate, json.dumps([write, {"kind": "set_add", "path": [], "value": "Null"}])) == (
            "set_add path does not address a set")
        assert doc.state() == before
    target = docs[-1]
    assert CrdtDocument.from_state(NESTED, before, "q").state() == before
    removed = mutate(target, {"kind": "map_remove", "path": base, "key": "e"})["ops"][0]["removed"]
    dots = {(o["dot"]["counter"], o["dot"]["replica"]) for o in log}
    assert removed == [d(c, r) for c, r in sorted(dots)]


def test_counter_exhaustion_is_refused():
    doc = CrdtDocument(MAP, '{"Map":{}}', "a")
    doc.apply(json.dumps([{"kind": "map_set", "dot": d(U64, "b"), "path": [], "key": "x", "value": "Null"}]))
    before = doc.state()
    assert err(doc.mutate, '[{"kind":"map_set","path":[],"key":"y","value":"Null"}]') == (
        "CRDT operation counter is exhausted")
    assert doc.state() == before
    assert doc.mutate("[]").endswith('"applied":0}}')
    restored = CrdtDocument.from_state(MAP, before, "c")
    assert restored.state() == before


def test_apply_redelivery():
    a = CrdtDocument(MAP, '{"Map":{}}', "a")
    ops = mutate(a, {"kind": "map_set", "path": [], "key": "x", "value": {"Int": 1}})["ops"]
    b = CrdtDocument(MAP, '{"Map":{}}', "b")
    first = json.loads(b.apply(json.dumps(ops + ops)))
    assert first["applied"] == 1 and len(first["deltas"]) == 1
    assert b.apply(json.dumps(ops)) == '{"patch":{"rev":0,"ops":[]},"deltas":[],"applied":0}'
    other = dict(ops[0], value={"Int": 2})
    fresh = {"kind": "map_set", "dot": d(5, "c"), "path": [], "key": "z", "value": "Null"}
    before = b.state()
    assert err(b.apply, json.dumps([fresh, other])) == (
        'operation dot Dot { counter: 1, replica: "a" } was reused with different content')
    assert b.state() == before
    assert err(b.apply, json.dumps([fresh, dict(fresh, dot=d(0, "c"))])) == (
        'invalid operation dot Dot { counter: 0, replica: "c" }')
    assert b.state() == before


def test_member_key():
    spec = json.dumps({"root": {"kind": "map", "fields": {
        "tags": {"kind": "set"},
        "people": {"kind": "set", "keys": [["id"]], "element": {"kind": "map"}}}}})
    doc = CrdtDocument(spec, '{"Map":{}}', "a")
    assert doc.member_key('[{"kind":"key","key":"tags"}]', '{"Str":"a"}') == '{"Str":"a"}'
    assert doc.member_key('[{"kind":"key","key":"people"}]', '{"Map":{"id":{"Str":"a"},"n":{"Int":1}}}') == (
        '[[["id"],{"Str":"a"}]]')
    assert err(doc.member_key, "[]", '"Null"') == "path does not address a set policy"
    assert err(doc.member_key, '[{"kind":"key","key":"tags"}]', "1") == (
        "expected value at line 1 column 1")
    assert err(doc.member_key, '[{"kind":"member","key":"x"}]', '"Null"') == (
        "CRDT path segment does not match its policy")
    assert err(doc.member_key, '[{"kind":0,"key":"tags"}]', '"Null"') == (
        "invalid type: integer `0`, expected variant identifier at line 1 column 10")
    assert err(doc.member_key, '[{"kind":"key","key":"people"}]', '{"Int":3}') == (
        'set key path ["id"] descends through a non-map value')


# Identity paths given in any order name one CRDT schema (one normal text, one hash)
# and one member identity: replicas built from either spelling agree on set members.
@pytest.mark.parametrize("keys, value, member_key", [
    ([["b"], ["a"]], {"a": {"Int": 1}, "b": {"Str": "x"}}, '[[["a"],{"Int":1}],[["b"],{"Str":"x"}]]'),
    ([["b"], ["a", "x"]], {"a": {"Map": {"x": "Null"}}, "b": {"Str": "x"}}, '[[["a","x"],"Null"],[["b"],{"Str":"x"}]]'),
    ([["c"], ["a"], ["b"]], {"a": {"Int": 1}, "b": {"Str": "x"}, "c": {"Bool": True}},
     '[[["a"],{"Int":1}],[["b"],{"Str":"x"}],[["c"],{"Bool":true}]]'),
    # four and five paths: the values found along them are held in place, then in a list
    ([["d"], ["c"], ["b"], ["a"]], {k: {"Int": i} for i, k in enumerate("abcd")},
     '[[["a"],{"Int":0}],[["b"],{"Int":1}],[["c"],{"Int":2}],[["d"],{"Int":3}]]'),
    ([["e"], ["a"], ["d"], ["b"], ["c"]], {k: {"Str": k * 3} for k in "abcde"},
     '[[["a"],{"Str":"aaa"}],[["b"],{"Str":"bbb"}],[["c"],{"Str":"ccc"}],[["d"],{"Str":"ddd"}],'
     '[["e"],{"Str":"eee"}]]'),
])
def test_identity_paths_in_either_order_give_one_spec_and_one_member_key(keys, value, member_key):
    def spec(paths):
        element = {"kind": "map", "fields": {"a": {"kind": "map"}}} if ["a", "x"] in paths else {"kind": "map"}
        return json.dumps({"root": {"kind": "map", "fields": {"s": {"kind": "set", "keys": paths, "element": element}}}})

    given, ordered = spec(keys), spec(sorted(keys))
    assert norvane.normalize_crdt_spec(given) == norvane.normalize_crdt_spec(ordered)
    assert norvane.crdt_spec_hash(given) == norvane.crdt_spec_hash(ordered)
    member = {"Map": value}
    path = [{"kind": "key", "key": "s"}]
    docs = [CrdtDocument(s, '{"Map":{"s":{"List":[]}}}', r) for s, r in ((given, "a"), (ordered, "b"))]
    assert [doc.member_key(json.dumps(path), json.dumps(member)) for doc in docs] == [member_key, member_key]
    # a member added on one replica is the same member on the other
    ops = mutate(docs[0], {"kind": "set_add", "path": path, "value": member})["ops"]
    docs[1].apply(json.dumps(ops))
    assert docs[1].value() == docs[0].value()
    for doc in docs:
        assert list(json.loads(doc.state())["root"]["entries"]["s"]["node"]["entries"]) == [member_key]


def test_from_state_checks():
    doc = CrdtDocument(MAP, '{"Map":{}}', "a")
    mutate(doc, {"kind": "map_set", "path": [], "key": "x", "value": "Null"},
           {"kind": "map_set", "path": [], "key": "y", "value": "Null"})
    good = state(doc)
    assert CrdtDocument.from_state(MAP, doc.state(), "b").state() == doc.state()

    def fails(message, spec=MAP, replica="b", **changes):
        st = json.loads(json.dumps(good))
        st.update(changes)
        assert err(CrdtDocument.from_state, spec, json.dumps(st), replica) == message

    fails("unsupported CRDT state version 2; expected 1", state_version=2)
    other = json.dumps({"root": {"kind": "map", "values": {"kind": "set"}}})
    fails("incompatible CRDT state: spec hash %s, expected %s" % (
        good["spec_hash"], state(CrdtDocument(other, '{"Map":{}}', "a"))["spec_hash"]), spec=other)
    fails("CRDT state fingerprints do not match its uncompacted causal dots", fingerprints=good["fingerprints"][:1])
    fails('invalid operation dot Dot { counter: 0, replica: "a" }',
          context={"dots": [d(0)]}, fingerprints=[[d(0), "sha256:" + "0" * 64]])
    for fp in ("sha256:" + "0" * 63, "sha256:" + "0" * 65, "sha257:" + "0" * 64):
        fails("CRDT state contains an invalid operation fingerprint",
              fingerprints=[[d(1), fp], good["fingerprints"][1]])
    fails("replica identifier must be non-empty and cannot be reserved $init", replica="$init")
    fails("CRDT policy has incompatible reducer state", root={"kind": "set", "entries": {}})
    fails("root value is removed", spec=REG, root={"kind": "register"},
          spec_hash=state(CrdtDocument(REG, '"Null"', "a"))["spec_hash"])
    # Non-hex fingerprints of the right form are accepted.
    st = json.loads(json.dumps(good))
    st["fingerprints"][0][1] = "sha256:" + "z" * 64
    CrdtDocument.from_state(MAP, json.dumps(st), "b")


def test_from_state_counter_continues_above_context():
    doc = CrdtDocument(MAP, '{"Map":{}}', "a")
    doc.apply(json.dumps([{"kind": "map_set", "dot": d(7, "b"), "path": [], "key": "x", "value": "Null"}]))
    doc.compact('{"b":0}')
    st = state(doc)
    st["context"]["compacted"] = {"b": 0, "z": 40}
    restored = CrdtDocument.from_state(MAP, json.dumps(st), "a")
    assert mutate(restored, {"kind": "map_remove", "path": [], "key": "x"})["ops"][0]["dot"] == d(41)


def test_from_state_reads_the_context_in_any_order():
    doc = CrdtDocument(MAP, '{"Map":{}}', "a")
    for k in "pqr":
        mutate(doc, {"kind": "map_set", "path": [], "key": k, "value": "Null"})
    doc.apply(json.dumps([{"kind": "map_set", "dot": d(c, "b"), "path": [], "key": "b%d" % c, "value": "Null"}
                          for c in (2, 5)]))
    saved = doc.state()
    st = json.loads(saved)
    assert len(st["context"]["dots"]) == 5
    # dots out of order and one named twice, fingerprints out of order, one
    # fingerprint with an escaped character: the same document
    st["context"]["dots"] = st["context"]["dots"][::-1] + st["context"]["dots"][:1]
    st["fingerprints"] = st["fingerprints"][::-1]
    fp = st["fingerprints"][0][1]
    text = json.dumps(st).replace(fp, "sha256:\\u00%x" % ord(fp[7]) + fp[8:])
    assert "\\u00" in text
    assert CrdtDocument.from_state(MAP, text, "c").state() == saved
    # a fingerprint in capitals is kept as it came, and no operation matches it
    st = json.loads(saved)
    st["fingerprints"][1][1] = st["fingerprints"][1][1].upper().replace("SHA256:", "sha256:")
    odd = CrdtDocument.from_state(MAP, json.dumps(st), "c")
    assert json.loads(odd.state()) == st


def test_compaction_coverage_rules():
    doc = CrdtDocument(MAP, '{"Map":{}}', "z")
    ops = [{"kind": "map_set", "dot": d(c), "path": [], "key": "k%d" % c, "value": "Null"} for c in (1, 2, 4)]
    doc.apply(json.dumps(ops))
    before = doc.state()
    assert doc.compact("{}") == 0 and doc.state() == before
    assert err(doc.compact, '{"a":4}') == "compaction frontier a:4 is not covered by contiguous observed dots after 0"
    assert doc.state() == before
    assert doc.compact('{"a":2}') == 0
    st = state(doc)
    assert st["context"] == {"compacted": {"a": 2}, "dots": [d(4)]}
    assert [f[0] for f in st["fingerprints"]] == [d(4)]
    assert err(doc.compact, '{"a":4}') == "compaction frontier a:4 is not covered by contiguous observed dots after 2"
    assert err(doc.compact, '{"a":3}') == "compaction frontier a:3 is not covered by contiguous observed dots after 2"
    assert doc.compact('{"a":1,"q":0}') == 0
    assert state(doc)["context"]["compacted"] == {"a": 2, "q": 0}
    # A compacted operation is skipped on redelivery, whatever its content.
    assert json.loads(doc.apply(json.dumps([dict(ops[0], value={"Int": 9})])))["applied"] == 0
    assert err(doc.compact, '{"a":-1}') == "invalid value: integer `-1`, expected u64 at line 1 column 7"
    assert err(doc.compact, "[]") == "invalid type: sequence, expected a map at line 1 column 0"


def test_compaction_purges_tombstones():
    spec = json.dumps({"root": {"kind": "map", "fields": {"s": {"kind": "set"}, "l": {"kind": "sequence"}},
                                "values": {"kind": "map", "values": {"kind": "set"}}}})
    doc = CrdtDocument(spec, '{"Map":{"s":{"List":[{"Int":1}]},"l":{"List":[{"Int":1},{"Int":2}]}}}', "a")
    mutate(doc, {"kind": "map_set", "path": [], "key": "m", "value": {"Map": {"in": {"List": [{"Int": 5}]}}}},
           {"kind": "set_remove", "path": [{"kind": "key", "key": "m"}, {"kind": "key", "key": "in"}],
            "key": '{"Int":5}'},
           {"kind": "map_remove", "path": [], "key": "m"},
           {"kind": "set_remove", "path": [{"kind": "key", "key": "s"}], "key": '{"Int":1}'},
           {"kind": "sequence_splice", "path": [{"kind": "key", "key": "l"}], "index": 0, "delete_count": 1,
            "values": []})
    value = doc.value()
    assert value == '{"Map":{"l":{"List":[{"Int":2}]},"s":{"List":[]}}}'
    # Members, entries and element nodes whose removals are covered go away.
    doc2 = CrdtDocument.from_state(spec, doc.state(), "b")
    purged = doc2.compact('{"a":5}')
    assert purged == 4
    assert doc2.value() == value
    st = state(doc2)
    assert "m" not in st["root"]["entries"]
    assert st["root"]["entries"]["s"]["node"]["entries"] == {}
    first = st["root"]["entries"]["l"]["node"]["entries"][0][1]
    assert first["node"] is None and first["inserted"] is True
    assert doc2.compact('{"a":5}') == 0
    ops = mutate(doc2, {"kind": "sequence_splice", "path": [{"kind": "key", "key": "l"}], "index": 0,
                        "delete_count": 0, "values": [{"Int": 0}]})["ops"]
    assert doc2.value() == '{"Map":{"l":{"List":[{"Int":0},{"Int":2}]},"s":{"List":[]}}}'
    doc.apply(json.dumps(ops))
    assert doc.value() == doc2.value()


def test_borrow_conflict_is_not_reachable_from_one_thread():
    doc = CrdtDocument(MAP, '{"Map":{}}', "a")
    for _ in range(3):
        doc.value()
        doc.state()
    mutate(doc, {"kind": "map_set", "path": [], "key": "x", "value": "Null"})
    assert doc.value() == '{"Map":{"x":"Null"}}'


DEEP = "[" * 100000


@pytest.mark.parametrize(
    "method, args, message",
    [
        ("apply", (DEEP,), "invalid type: sequence, expected variant identifier at line 1 column 2"),
        ("mutate", (DEEP,), "invalid type: sequence, expected variant identifier at line 1 column 2"),
        ("member_key", (DEEP, '"Null"'), "invalid type: sequence, expected variant identifier at line 1 column 2"),
        ("compact", ('{"a":' + DEEP,), "invalid type: sequence, expected u64 at line 1 column 5"),
        ("apply", ('[{"kind":"map_set","dot":[1,"a"],"path":[],"key":"k","value":' + '{"List":[' * 100000,),
         "recursion limit exceeded at line 1 column 628"),
        ("apply", ('[{"kind":"map_set","dot":[18446744073709551616,"a"],"path":[],"key":"k","value":"Null"}]',),
         "invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 1 column 88"),
    ],
)
def test_hostile_input(method, args, message):
    doc = CrdtDocument(MAP, '{"Map":{}}', "a")
    before = doc.state()
    assert err(getattr(doc, method), *args) == message
    assert doc.state() == before


@pytest.mark.parametrize("count", [1, 7, 8, 30])
def test_named_fields_of_a_map_found_among_many(count):
    # Every named field takes its own policy (here a set), keys it does not name
    # the map's values (registers), whatever the number of names.
    names = ["f%d" % i for i in range(count)] + ["g"]
    spec = json.dumps({"root": {"kind": "map", "fields": {n: {"kind": "set"} for n in names}}})
    doc = CrdtDocument(spec, json.dumps({"Map": {n: {"List": []} for n in names}}), "a")
    for n in names:
        mutate(doc, {"kind": "set_add", "path": [{"kind": "key", "key": n}], "value": {"Str": n}})
    for other in ["f", "f%d" % count, "gg", ""]:
        assert err(doc.mutate, json.dumps([{"kind": "set_add", "path": [{"kind": "key", "key": other}],
                                            "value": "Null"}])) == "set_add path does not address a set"
    assert json.loads(doc.value()) == {"Map": {n: {"List": [{"Str": n}]} for n in names}}
