"""Merging operations between replicas: order, removals, convergence."""

import json
import random

import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st

import norvane

SPEC = json.dumps({"root": {"kind": "map", "fields": {
    "m": {"kind": "map"},
    "s": {"kind": "set"},
    "k": {"kind": "set", "keys": [["id"]], "element": {"kind": "map"}},
    "l": {"kind": "sequence"},
    "t": {"kind": "sequence", "materialization": "string"},
    "q": {"kind": "sequence", "element": {"kind": "map"}},
}}})
INIT = json.dumps({"Map": {"m": {"Map": {}}, "s": {"List": []}, "k": {"List": []}, "q": {"List": []},
                           "l": {"List": [{"Int": 0}]}, "t": {"Str": "ab"}}})


def K(k):
    return {"kind": "key", "key": k}


def E(c, r, i=0):
    return {"kind": "element", "id": {"dot": {"counter": c, "replica": r}, "index": i}}


def eid(c, r, i=0):
    return {"dot": {"counter": c, "replica": r}, "index": i}


def d(c, r):
    return {"counter": c, "replica": r}


def mutate(doc, *mutations):
    return json.loads(doc.mutate(json.dumps(list(mutations))))


def val(doc):
    return json.loads(doc.value())


def err(fn, *args):
    with pytest.raises(ValueError) as e:
        fn(*args)
    return str(e.value)


# ---- sequence order ------------------------------------------------------------------

LIST = json.dumps({"root": {"kind": "sequence"}})


def ins(c, r, after, *ints):
    return {"kind": "sequence_insert", "dot": d(c, r), "path": [], "after": after,
            "values": [{"Int": i} for i in ints]}


def test_newer_insertion_after_an_element_comes_first():
    doc = norvane.CrdtDocument(LIST, '{"List":[{"Int":0}]}', "z")
    a = eid(0, "$init")
    doc.apply(json.dumps([ins(5, "r1", a, 1, 2), ins(6, "r2", a, 3)]))
    assert val(doc) == {"List": [{"Int": 0}, {"Int": 3}, {"Int": 1}, {"Int": 2}]}


def test_orphans_follow_reachable_elements_then_move_behind_their_predecessor():
    doc = norvane.CrdtDocument(LIST, '{"List":[{"Int":0}]}', "z")
    doc.apply(json.dumps([ins(9, "b", eid(7, "a"), 9), ins(8, "b", eid(6, "a"), 8)]))
    assert val(doc) == {"List": [{"Int": 0}, {"Int": 8}, {"Int": 9}]}
    doc.apply(json.dumps([ins(7, "a", None, 7)]))
    assert val(doc) == {"List": [{"Int": 7}, {"Int": 9}, {"Int": 0}, {"Int": 8}]}


def test_orphans_and_deleted_elements_survive_a_saved_state():
    doc = norvane.CrdtDocument(LIST, '{"List":[{"Int":0}]}', "z")
    doc.apply(json.dumps([ins(9, "b", eid(7, "a"), 9, 10), ins(8, "b", eid(6, "a"), 8),
                          {"kind": "sequence_delete", "dot": d(11, "b"), "path": [], "ids": [eid(9, "b", 1)]}]))
    saved = doc.state()
    back = norvane.CrdtDocument.from_state(LIST, saved, "y")
    assert back.state() == saved and val(back) == val(doc) == {"List": [{"Int": 0}, {"Int": 8}, {"Int": 9}]}
    arrival = json.dumps([ins(7, "a", None, 7)])
    assert back.apply(arrival) == doc.apply(arrival)
    assert back.state() == doc.state() and val(back) == {"List": [{"Int": 7}, {"Int": 9}, {"Int": 0}, {"Int": 8}]}


@pytest.mark.parametrize("batch", [False, True])
def test_hidden_insertion_that_moves_an_orphan_changes_the_value(batch):
    # The orphan 9 waits after 0; the deleted 7 arrives and takes it to the front.
    doc = norvane.CrdtDocument(LIST, '{"List":[{"Int":0}]}', "z")
    delete7 = {"kind": "sequence_delete", "dot": d(8, "a"), "path": [], "ids": [eid(7, "a")]}
    doc.apply(json.dumps([delete7, ins(9, "a", eid(7, "a"), 9)]))
    before = doc.value()
    ops = [ins(7, "a", None, 7)] + ([ins(10, "b", eid(0, "$init"), 1)] if batch else [])
    effect = json.loads(doc.apply(json.dumps(ops)))
    after = {"List": [{"Int": 9}, {"Int": 0}] + ([{"Int": 1}] if batch else [])}
    assert val(doc) == after == val(norvane.CrdtDocument.from_state(LIST, doc.state(), "y"))
    assert json.loads(norvane.apply(before, json.dumps(effect["patch"]))) == after
    assert [x["elements"][0]["value"] for x in effect["deltas"]] == [{"Int": 7}, {"Int": 1}][:len(ops)]


def test_deleted_element_keeps_its_place_and_delete_before_insert():
    doc = norvane.CrdtDocument(LIST, '{"List":[]}', "z")
    ops = [{"kind": "sequence_delete", "dot": d(3, "b"), "path": [], "ids": [eid(1, "a")]},
           ins(2, "b", eid(1, "a"), 2), ins(1, "a", None, 1)]
    out = json.loads(doc.apply(json.dumps(ops)))
    assert val(doc) == {"List": [{"Int": 2}]}
    assert [x["kind"] for x in out["deltas"]] == ["sequence_insert"]
    assert out["applied"] == 3


def test_insert_conflicting_predecessor_and_reapply():
    doc = norvane.CrdtDocument(LIST, '{"List":[]}', "z")
    doc.apply(json.dumps([ins(1, "a", None, 1, 2)]))
    before = doc.state()
    doc2 = norvane.CrdtDocument.from_state(LIST, before, "y")
    bad = ins(1, "a", eid(0, "$init"), 1)
    # The dot is known with another fingerprint: refused as a reuse.
    assert err(doc.apply, json.dumps([bad])) == (
        'operation dot Dot { counter: 1, replica: "a" } was reused with different content')
    assert doc.state() == before
    assert doc2.state() == before


def test_string_sequence_materialization_errors():
    spec = json.dumps({"root": {"kind": "sequence", "materialization": "string"}})
    doc = norvane.CrdtDocument(spec, '{"Str":"h\u00e9llo"}', "a")
    st_ = json.loads(doc.state())
    assert [e[0]["index"] for e in st_["root"]["entries"]] == [0, 1, 2, 3, 4]
    assert json.loads(doc.value()) == {"Str": "h\u00e9llo"}
    for v, msg in [({"Str": "ab"}, "string sequence element must contain one Unicode scalar value"),
                   ({"Str": ""}, "string sequence element must contain one Unicode scalar value"),
                   ({"Int": 1}, "string sequence element did not materialize as a string")]:
        d2 = norvane.CrdtDocument(spec, '{"Str":""}', "a")
        assert d2.value() == '{"Str":""}'
        assert err(d2.apply, json.dumps([{"kind": "sequence_insert", "dot": d(1, "b"), "path": [],
                                          "values": [v]}])) == msg
        assert d2.value() == '{"Str":""}'
    assert err(norvane.CrdtDocument, spec, '{"List":[]}', "a") == "string sequence policy requires a string value"


TEXT_SPEC = json.dumps({"root": {"kind": "sequence", "materialization": "string"}})
NOT_STRING = "string sequence element did not materialize as a string"
NOT_ONE = "string sequence element must contain one Unicode scalar value"


@pytest.mark.parametrize("hidden", [False, True])
@pytest.mark.parametrize(("value", "message"), [
    ({"Int": 2}, NOT_STRING), ({"Str": "xy"}, NOT_ONE), ({"Str": ""}, NOT_ONE), ({"Str": "\u00e9\u00e9"}, NOT_ONE)])
def test_text_element_write_refused_whether_shown_or_hidden(hidden, value, message):
    # A replica must not produce an operation its peers would refuse wherever
    # the element shows, whatever order they receive it in.
    doc = norvane.CrdtDocument(TEXT_SPEC, '{"Str":"ab"}', "a")
    if hidden:
        mutate(doc, {"kind": "sequence_delete", "path": [], "ids": [eid(0, "$init")]})
    before = doc.state()
    write = {"kind": "register_set", "path": [E(0, "$init")], "value": value}
    assert err(doc.mutate, json.dumps([write])) == message
    assert doc.state() == before
    write["value"] = {"Str": "\u00e9"}
    assert len(mutate(doc, write)["ops"]) == 1


KEYED_TEXT = json.dumps({"root": {"kind": "map", "fields": {"k": {"kind": "set", "keys": [["id"]], "element": {
    "kind": "map", "fields": {"t": {"kind": "sequence", "materialization": "string"}}}}}}})


@pytest.mark.parametrize("mutation", [
    {"kind": "sequence_insert", "after": None, "values": [{"Str": "x"}, {"Str": "yz"}]},
    {"kind": "sequence_splice", "index": 0, "delete_count": 0, "values": [{"Int": 1}]},
])
def test_text_insert_into_hidden_member_refused(mutation):
    doc = norvane.CrdtDocument(KEYED_TEXT, '{"Map":{"k":{"List":[]}}}', "a")
    key = '[[["id"],{"Int":1}]]'
    mutate(doc, {"kind": "set_add", "path": [K("k")], "value": {"Map": {"id": {"Int": 1}, "t": {"Str": "q"}}}},
           {"kind": "set_remove", "path": [K("k")], "key": key})
    before = doc.state()
    path = [K("k"), {"kind": "member", "key": key}, K("t")]
    message = NOT_ONE if mutation["kind"] == "sequence_insert" else NOT_STRING
    assert err(doc.mutate, json.dumps([dict(mutation, path=path)])) == message
    assert doc.state() == before


# ---- removals ------------------------------------------------------------------------


def test_remove_hides_only_observed_writes():
    a = norvane.CrdtDocument(SPEC, INIT, "a")
    b = norvane.CrdtDocument(SPEC, INIT, "b")
    set1 = mutate(a, {"kind": "map_set", "path": [K("m")], "key": "x", "value": {"Int": 1}})["ops"]
    b.apply(json.dumps(set1))
    rm = mutate(b, {"kind": "map_remove", "path": [K("m")], "key": "x"})["ops"]
    assert rm[0]["removed"] == [d(1, "a")]
    concurrent = mutate(a, {"kind": "map_set", "path": [K("m")], "key": "x", "value": {"Int": 2}})["ops"]
    a.apply(json.dumps(rm))
    b.apply(json.dumps(concurrent))
    assert val(a)["Map"]["m"] == val(b)["Map"]["m"] == {"Map": {"x": {"Int": 2}}}
    rm2 = mutate(a, {"kind": "map_remove", "path": [K("m")], "key": "x"})["ops"]
    b.apply(json.dumps(rm2))
    assert val(a)["Map"]["m"] == val(b)["Map"]["m"] == {"Map": {}}


def test_remove_before_write_keeps_entry_invisible():
    doc = norvane.CrdtDocument(SPEC, INIT, "z")
    doc.apply(json.dumps([{"kind": "map_remove", "dot": d(1, "a"), "path": [K("m")], "key": "x", "removed": []}]))
    assert "x" not in val(doc)["Map"]["m"]["Map"]
    doc.apply(json.dumps([{"kind": "map_set", "dot": d(2, "a"), "path": [K("m")], "key": "x", "value": "Null"}]))
    assert val(doc)["Map"]["m"]["Map"]["x"] == "Null"


def test_register_lww_by_dot():
    reg = json.dumps({"root": {"kind": "register"}})
    for order in ([0, 1], [1, 0]):
        doc = norvane.CrdtDocument(reg, '{"Int":0}', "z")
        ops = [{"kind": "register_set", "dot": d(5, "a"), "path": [], "value": {"Int": 1}},
               {"kind": "register_set", "dot": d(5, "b"), "path": [], "value": {"Int": 2}}]
        for i in order:
            doc.apply(json.dumps([ops[i]]))
        assert val(doc) == {"Int": 2}
    out = json.loads(doc.apply(json.dumps([{"kind": "register_set", "dot": d(4, "z"), "path": [],
                                            "value": {"Int": 9}}])))
    assert out == {"patch": {"rev": 0, "ops": []}, "deltas": [], "applied": 1}


@pytest.mark.parametrize(
    "op, message",
    [
        ({"kind": "map_set", "dot": d(1, "x"), "path": [K("s")], "key": "a", "value": "Null"},
         "CRDT path segment does not match its policy"),
        ({"kind": "register_set", "dot": d(1, "x"), "path": [K("s"), {"kind": "member", "key": "m"}],
          "value": "Null"}, "set identity fields are immutable; remove and add the member instead"),
        ({"kind": "map_set", "dot": d(1, "x"), "path": [K("k"), {"kind": "member", "key": "m"}], "key": "id",
          "value": "Null"}, "set identity fields are immutable; remove and add the member instead"),
        ({"kind": "register_set", "dot": d(1, "x"), "path": [K("k"), {"kind": "member", "key": "m"}, K("id")],
          "value": "Null"}, "set identity fields are immutable; remove and add the member instead"),
        ({"kind": "set_add", "dot": d(1, "x"), "path": [K("m")], "value": "Null"},
         "set_add path does not address a set"),
        ({"kind": "set_add", "dot": d(1, "x"), "path": [K("k")], "value": {"Int": 3}},
         'set key path ["id"] descends through a non-map value'),
        ({"kind": "set_add", "dot": d(1, "x"), "path": [K("k")], "value": {"Map": {}}},
         'set key path ["id"] is missing segment "id"'),
        ({"kind": "sequence_insert", "dot": d(1, "x"), "path": [K("m")], "values": []},
         "sequence_insert path does not address a sequence"),
        ({"kind": "sequence_delete", "dot": d(1, "x"), "path": [K("s")], "ids": []},
         "sequence_delete path does not address a sequence"),
        ({"kind": "register_set", "dot": d(1, "x"), "path": [K("m")], "value": "Null"},
         "register_set path does not address a register"),
        ({"kind": "set_remove", "dot": d(1, "x"), "path": [K("l")], "key": "k", "removed": []},
         "set_remove path does not address a set"),
        ({"kind": "map_set", "dot": d(1, "x"), "path": [], "key": "m", "value": {"Int": 1}},
         "map policy requires a map value"),
        ({"kind": "map_set", "dot": d(1, "x"), "path": [], "key": "s", "value": {"Int": 1}},
         "set policy requires a list value"),
        ({"kind": "map_set", "dot": d(1, "x"), "path": [], "key": "l", "value": {"Int": 1}},
         "list sequence policy requires a list value"),
        ({"kind": "sequence_insert", "dot": d(2, "x"), "path": [K("l")], "values": [{"Int": 1}]}, None),
        ({"kind": "register_set", "dot": d(0, "x"), "path": [], "value": "Null"},
         'invalid operation dot Dot { counter: 0, replica: "x" }'),
        ({"kind": "register_set", "dot": d(1, "$init"), "path": [], "value": "Null"},
         'invalid operation dot Dot { counter: 1, replica: "$init" }'),
        ({"kind": "register_set", "dot": d(1, ""), "path": [], "value": "Null"},
         'invalid operation dot Dot { counter: 1, replica: "" }'),
    ],
)
def test_apply_failures_change_nothing(op, message):
    doc = norvane.CrdtDocument(SPEC, INIT, "z")
    good = {"kind": "map_set", "dot": d(1, "w"), "path": [K("m")], "key": "a", "value": {"Int": 1}}
    before = doc.state()
    if message is None:
        doc.apply(json.dumps([good, op]))
        assert val(doc)["Map"]["l"]["List"][0] == {"Int": 1}
        return
    assert err(doc.apply, json.dumps([good, op])) == message
    assert doc.state() == before


def test_keyed_set_writes_outside_identity_pass():
    doc = norvane.CrdtDocument(SPEC, INIT, "a")
    mutate(doc, {"kind": "set_add", "path": [K("k")], "value": {"Map": {"id": {"Int": 1}, "n": {"Int": 1}}}})
    mk = doc.member_key(json.dumps([K("k")]), '{"Map":{"id":{"Int":1}}}')
    assert mk == '[[["id"],{"Int":1}]]'
    mutate(doc, {"kind": "map_set", "path": [K("k"), {"kind": "member", "key": mk}], "key": "n", "value": {"Int": 5}})
    assert val(doc)["Map"]["k"] == {"List": [{"Map": {"id": {"Int": 1}, "n": {"Int": 5}}}]}
    # Same identity, other fields: the same member.
    mutate(doc, {"kind": "set_add", "path": [K("k")], "value": {"Map": {"id": {"Int": 1}, "x": {"Int": 2}}}})
    assert val(doc)["Map"]["k"] == {"List": [{"Map": {"id": {"Int": 1}, "n": {"Int": 5}, "x": {"Int": 2}}}]}
    mutate(doc, {"kind": "set_remove", "path": [K("k")], "key": mk})
    assert val(doc)["Map"]["k"] == {"List": []}


# ---- convergence ------------------------------------------------------------------------

actions = st.lists(
    st.tuples(
        st.sampled_from(["mset", "mremove", "sadd", "sremove", "kadd", "kset", "kremove",
                         "lsplice", "tsplice", "qsplice", "qset", "deliver", "deliver"]),
        st.integers(0, 3), st.integers(0, 3), st.integers(0, 6), st.integers(0, 2), st.integers(0, 1000),
    ),
    min_size=4,
    max_size=40,
)


def splice(path, length, pos, dele, values):
    index = pos % (length + 1)
    return {"kind": "sequence_splice", "path": path, "index": index,
            "delete_count": min(dele, length - index), "values": values}


def mutation_for(doc, kind, a, b, c, seed):
    v = val(doc)["Map"]
    if kind == "mset":
        return {"kind": "map_set", "path": [K("m")], "key": "k%d" % a, "value": {"Int": seed}}
    if kind == "mremove":
        return {"kind": "map_remove", "path": [K("m")], "key": "k%d" % a}
    if kind == "sadd":
        return {"kind": "set_add", "path": [K("s")], "value": {"Int": a}}
    if kind == "sremove":
        return {"kind": "set_remove", "path": [K("s")], "key": '{"Int":%d}' % a}
    key = '[[["id"],{"Int":%d}]]' % a
    if kind == "kadd":
        return {"kind": "set_add", "path": [K("k")], "value": {"Map": {"id": {"Int": a}, "n": {"Int": seed}}}}
    if kind == "kset":
        return {"kind": "map_set", "path": [K("k"), {"kind": "member", "key": key}], "key": "n",
                "value": {"Int": seed}}
    if kind == "kremove":
        return {"kind": "set_remove", "path": [K("k")], "key": key}
    if kind == "lsplice":
        return splice([K("l")], len(v["l"]["List"]), b + seed, c % 2, [{"Int": seed}] * (c // 2))
    if kind == "tsplice":
        return splice([K("t")], len(v["t"]["Str"]), b + seed, c % 2, [{"Str": ch} for ch in "x\u00e9\U0001f600"[:c // 2]])
    if kind == "qsplice":
        return splice([K("q")], len(v["q"]["List"]) if "q" in v else 0, b + seed, c % 2,
                      [{"Map": {"n": {"Int": seed}}}] * (c // 2))
    # qset: write into an element of q, found through the state.
    ids = [e[0] for e in json.loads(doc.state())["root"]["entries"].get("q", {}).get("node", {}).get("entries", [])]
    if not ids:
        return None
    el = ids[seed % len(ids)]
    return {"kind": "map_set", "path": [K("q"), {"kind": "element", "id": el}], "key": "n", "value": {"Int": seed}}


def frontier_of(state):
    """The highest contiguous counter per replica among the uncompacted dots."""
    ctx = state["context"]
    compacted = ctx.get("compacted", {})
    by_replica = {}
    for dt in ctx.get("dots", []):
        by_replica.setdefault(dt["replica"], set()).add(dt["counter"])
    out = {}
    for r, counters in by_replica.items():
        c = compacted.get(r, 0)
        while c + 1 in counters:
            c += 1
        out[r] = c
    return out


@settings(max_examples=60, deadline=None)
@given(st.integers(2, 4), actions, st.randoms(use_true_random=False))
def test_replicas_converge(n, plan, rnd):
    docs = [norvane.CrdtDocument(SPEC, INIT, "r%d" % i) for i in range(n)]
    log = []
    for kind, ri, a, b, c, seed in plan:
        doc = docs[ri % n]
        if kind == "deliver":
            if log:
                batch = [rnd.choice(log) for _ in range(rnd.randint(1, 6))]
                doc.apply(json.dumps(batch))
            continue
        m = mutation_for(doc, kind, a, b, c, seed)
        if m is None:
            continue
        before = doc.state()
        try:
            out = json.loads(doc.mutate(json.dumps([m])))
        except ValueError:
            assert doc.state() == before
            continue
        log.extend(out["ops"])

    def sync_all():
        for doc in docs:
            batch = log + rnd.sample(log, min(len(log), 5))
            rnd.shuffle(batch)
            doc.apply(json.dumps(batch))

    sync_all()
    event("operations: %s" % ("<10" if len(log) < 10 else ">=10"))
    values = [doc.value() for doc in docs]
    states = [doc.state() for doc in docs]
    assert all(v == values[0] for v in values)
    assert all(s == states[0] for s in states)
    for doc, s in zip(docs, states):
        assert norvane.CrdtDocument.from_state(SPEC, s, "other").state() == s

    frontier = frontier_of(json.loads(states[0]))
    if frontier:
        counts = {docs[i].compact(json.dumps(frontier)) for i in range(n)}
        assert len(counts) == 1
        assert all(doc.value() == values[0] for doc in docs)
        # New writes after compaction still converge, redeliveries are skipped.
        more = mutate(docs[0], {"kind": "map_set", "path": [K("m")], "key": "after", "value": "Null"})["ops"]
        more += mutate(docs[-1], splice([K("l")], len(val(docs[-1])["Map"]["l"]["List"]), 0, 1, [{"Int": 7}]))["ops"]
        log.extend(more)
        sync_all()
        assert len({doc.state() for doc in docs}) == 1


def test_effect_patch_replays_the_change():
    a = norvane.CrdtDocument(SPEC, INIT, "a")
    rnd = random.Random(4)
    for i in range(40):
        kind = rnd.choice(["mset", "mremove", "sadd", "sremove", "kadd", "kremove", "lsplice", "tsplice", "qsplice"])
        m = mutation_for(a, kind, rnd.randint(0, 3), rnd.randint(0, 3), rnd.randint(0, 6), rnd.randint(0, 99))
        before = a.value()
        out = json.loads(a.mutate(json.dumps([m])))
        patched = norvane.apply(before, json.dumps(out["effect"]["patch"]))
        assert json.loads(patched) == val(a)


ROOT_SEQS = [json.dumps({"root": {"kind": "sequence"}}),
             json.dumps({"root": {"kind": "sequence", "materialization": "string"}})]


@settings(max_examples=40, deadline=None)
@given(st.sampled_from([0, 1]), st.lists(st.tuples(st.integers(0, 2), st.integers(0, 50), st.integers(0, 2),
                                                   st.integers(0, 2)), min_size=1, max_size=25),
       st.randoms(use_true_random=False))
def test_root_sequence_deltas_match_value_changes(which, plan, rnd):
    spec = ROOT_SEQS[which]
    init = '{"List":[]}' if which == 0 else '{"Str":""}'
    docs = [norvane.CrdtDocument(spec, init, "r%d" % i) for i in range(3)]
    log = []
    for ri, pos, dele, ins in plan:
        doc = docs[ri]
        if log and pos % 3 == 0:
            doc.apply(json.dumps(rnd.sample(log, min(len(log), 3))))
        length = len(val(doc)["List" if which == 0 else "Str"])
        values = [{"Int": pos} if which == 0 else {"Str": "\u00e9"}] * ins
        log += mutate(doc, splice([], length, pos, dele, values))["ops"]
    rnd.shuffle(log)
    one = norvane.CrdtDocument(spec, init, "x")
    singles = []
    for op in log + log[:3]:
        before = one.value()
        effect = json.loads(one.apply(json.dumps([op])))
        assert bool(effect["deltas"]) == (before != one.value())
        assert json.loads(norvane.apply(before, json.dumps(effect["patch"]))) == val(one)
        singles += effect["deltas"]
    batch = norvane.CrdtDocument(spec, init, "y")
    effect = json.loads(batch.apply(json.dumps(log + log[:3])))
    assert effect["deltas"] == singles
    assert batch.state() == one.state()
    assert json.loads(norvane.apply(init, json.dumps(effect["patch"]))) == val(batch)


@pytest.mark.parametrize("bad", [{"Int": 1}, {"Map": {"s": {"Int": 1}}}])
def test_refused_insert_of_map_elements_changes_nothing(bad):
    # The second element's value does not fit its map policy: the first, already
    # placed, goes too, and nothing of either is left behind.
    spec = json.dumps({"root": {"kind": "sequence", "element": {"kind": "map", "fields": {
        "x": {"kind": "register"}, "s": {"kind": "set"}}}}})
    doc = norvane.CrdtDocument(spec, '{"List":[{"Map":{"x":{"Int":0}}}]}', "a")
    before = doc.state()
    ok = {"Map": {"x": {"Int": 1}}}
    with pytest.raises(ValueError):
        doc.mutate(json.dumps([{"kind": "sequence_splice", "path": [], "index": 1, "delete_count": 0,
                                "values": [ok, bad]}]))
    assert doc.state() == before
    assert doc.value() == '{"List":[{"Map":{"x":{"Int":0}}}]}'
