"""Effects of calls on nested documents: exact patches and deltas, the same as the
whole-value reference path gives, and a cached sequence order that follows
rollbacks."""

import json

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import crdt_oracle
import norvane

CrdtDocument = norvane.CrdtDocument

SPEC = json.dumps({"root": {"kind": "map", "fields": {
    "t": {"kind": "sequence", "materialization": "string"},
    "q": {"kind": "sequence", "element": {"kind": "map"}},
    "k": {"kind": "set", "keys": [["id"]], "element": {"kind": "map", "fields": {
        "l": {"kind": "sequence"}}}},
    "m": {"kind": "map", "values": {"kind": "map"}},
}}})
INIT = json.dumps({"Map": {"t": {"Str": "ab"}, "q": {"List": [{"Map": {"a": {"Int": 1}}}]},
                           "k": {"List": [{"Map": {"id": {"Int": 1}, "l": {"List": []}}}]}, "m": {"Map": {}}}})


def K(k):
    return {"kind": "key", "key": k}


def E(c, r, i=0):
    return {"kind": "element", "id": {"dot": {"counter": c, "replica": r}, "index": i}}


def splice(path, i, n, *values):
    return {"kind": "sequence_splice", "path": path, "index": i, "delete_count": n, "values": list(values)}


MEMBER = {"kind": "member", "key": '[[["id"],{"Int":1}]]'}
CASES = {
    "text edits in one call": [splice([K("t")], 1, 0, {"Str": "é"}), splice([K("t")], 0, 1),
                               splice([K("t")], 2, 0, {"Str": "x"}, {"Str": "y"}), splice([K("t")], 1, 2)],
    "list edits in one call": [splice([K("q")], 1, 0, {"Map": {"b": {"Int": 2}}}, {"Map": {}}), splice([K("q")], 0, 2),
                               splice([K("q")], 1, 0, {"Map": {"c": "Null"}}), splice([K("q")], 2, 0, {"Map": {}})],
    "write below a list element": [{"kind": "map_set", "path": [K("q"), E(0, "$init")], "key": "b",
                                    "value": {"Int": 2}},
                                   {"kind": "map_set", "path": [K("q"), E(0, "$init")], "key": "a",
                                    "value": {"Int": 1}}],
    "list in a set member": [splice([K("k"), MEMBER, K("l")], 0, 0, {"Int": 5}, {"Int": 6}),
                             splice([K("k"), MEMBER, K("l")], 1, 1),
                             {"kind": "set_add", "path": [K("k")], "value": {"Map": {"id": {"Int": 2}}}},
                             {"kind": "set_add", "path": [K("k")], "value": {"Map": {"id": {"Int": 2}}}}],
    "many keys, removed again": [{"kind": "map_set", "path": [K("m")], "key": "k%02d" % i, "value": {"Map": {}}}
                                 for i in range(20)]
                                + [{"kind": "map_remove", "path": [K("m")], "key": "k%02d" % i} for i in range(0, 20, 3)]
                                + [{"kind": "map_set", "path": [K("m"), K("k01")], "key": "z", "value": "Null"}],
    "replaced then edited": [{"kind": "map_set", "path": [], "key": "t", "value": {"Str": "xyz"}},
                             splice([K("t")], 3, 0, {"Str": "!"}), {"kind": "map_remove", "path": [], "key": "q"}],
}


@pytest.mark.parametrize("name", list(CASES))
def test_call_matches_the_whole_value_path(name):
    Reference = crdt_oracle.load().CrdtDocument
    doc, ref = CrdtDocument(SPEC, INIT, "a"), Reference(SPEC, INIT, "a")
    mutations = json.dumps(CASES[name])
    out = doc.mutate(mutations)
    assert out == ref.mutate_whole(mutations)
    ref.check()
    assert doc.value() == ref.value() and doc.state() == ref.state()
    # The same operations applied elsewhere, in one call and one at a time.
    ops = json.loads(out)["ops"]
    batch, whole = CrdtDocument(SPEC, INIT, "b"), Reference(SPEC, INIT, "b")
    assert batch.apply(json.dumps(ops)) == whole.apply_whole(json.dumps(ops))
    whole.check()
    assert batch.state() == whole.state()
    single = CrdtDocument(SPEC, INIT, "c")
    for op in ops:
        single.apply(json.dumps([op]))
    assert batch.value() == single.value() == doc.value()


def test_text_patch_and_deltas():
    doc = CrdtDocument(SPEC, INIT, "a")
    out = json.loads(doc.mutate(json.dumps(CASES["text edits in one call"])))
    assert out["effect"]["patch"] == {"rev": 0, "ops": [{"Set": {"path": [{"Key": "t"}], "value": {"Str": "éy"}}}]}
    assert [d["kind"] for d in out["effect"]["deltas"]] == [
        "sequence_insert", "sequence_delete", "sequence_insert", "sequence_delete"]


def test_rolled_back_character_write_leaves_positions_right():
    doc = CrdtDocument(SPEC, INIT, "a")
    first = E(0, "$init", 0)
    # The character becomes two bytes, positions are computed, then the call fails.
    with pytest.raises(ValueError, match="out of bounds"):
        doc.mutate(json.dumps([{"kind": "register_set", "path": [K("t"), first], "value": {"Str": "é"}},
                               splice([K("t")], 2, 0), splice([K("t")], 9, 0)]))
    out = json.loads(doc.mutate(json.dumps([splice([K("t")], 1, 1)])))
    assert out["effect"]["patch"]["ops"] == [{"Set": {"path": [{"Key": "t"}], "value": {"Str": "a"}}}]
    out = json.loads(doc.mutate(json.dumps([{"kind": "register_set", "path": [K("t"), first],
                                             "value": {"Str": "é"}}, splice([K("t")], 1, 0, {"Str": "x"})])))
    assert out["effect"]["patch"]["ops"] == [{"Set": {"path": [{"Key": "t"}], "value": {"Str": "éx"}}}]


splices = st.lists(st.tuples(st.sampled_from(["t", "q"]), st.integers(0, 40), st.integers(0, 3),
                             st.lists(st.sampled_from("aé€😀"), max_size=3), st.booleans()), max_size=30)


@settings(max_examples=60)
@given(splices)
def test_splices_land_where_a_list_model_puts_them(steps):
    # Positions are found from either end of the sequence; both must agree with
    # slicing the value, also after another replica's insertion at the front.
    doc, peer = CrdtDocument(SPEC, INIT, "a"), CrdtDocument(SPEC, INIT, "b")
    for key, index, count, chars, concurrent in steps:
        if concurrent:
            out = peer.mutate(json.dumps([splice([K(key)], 0, 0, {"Str": "Z"} if key == "t" else {"Map": {}})]))
            doc.apply(json.dumps(json.loads(out)["ops"]))
        value = json.loads(doc.value())["Map"][key]
        old = value["Str"] if key == "t" else value["List"]
        index, count = index % (len(old) + 1), min(count, len(old) - index % (len(old) + 1))
        values = [{"Str": c} if key == "t" else {"Map": {"n": {"Int": len(c)}}} for c in chars]
        doc.mutate(json.dumps([splice([K(key)], index, count, *values)]))
        new = old[:index] + ("".join(chars) if key == "t" else values) + old[index + count:]
        assert json.loads(doc.value())["Map"][key] == ({"Str": new} if key == "t" else {"List": new})


TEXTS_SPEC = json.dumps({"root": {"kind": "map", "fields": {
    k: {"kind": "sequence", "materialization": "string"} for k in "abc"}}})
TEXT_CHARS = 'a"\\\n\t\x01\x1f\x7f/é😀'
# Past the length from which results write long texts by copying.
long_texts = st.text(alphabet=TEXT_CHARS, min_size=1, max_size=40).map(lambda u: (u * (4200 // len(u) + 1))[:4200])
text_steps = st.lists(st.tuples(st.sampled_from("abc"), st.integers(0, 5000), st.integers(0, 3000),
                                st.text(alphabet=TEXT_CHARS, max_size=6), st.booleans()), min_size=1, max_size=12)


def written_text(result, key, text):
    # The effect writes the text's JSON form byte for byte as the JSON rules
    # give it, however much of it the document wrote by copying.
    assert '{"Set":{"path":[{"Key":"%s"}],"value":{"Str":%s}}}' % (key, json.dumps(text, ensure_ascii=False)) in result


@settings(max_examples=40, deadline=None)
@given(st.lists(long_texts, min_size=3, max_size=3), text_steps)
# A character replaced by an equal one changes no text, and the peer still needs
# the operations: the next edit deletes the new character.
@example(["\\" * 4200] * 3, [("a", 0, 1, "\\", False), ("a", 0, 1, "", False)])
def test_long_texts_written_whole_after_each_edit(starts, steps):
    init = json.dumps({"Map": {k: {"Str": t} for k, t in zip("abc", starts)}})
    doc, peer = CrdtDocument(TEXTS_SPEC, init, "a"), CrdtDocument(TEXTS_SPEC, init, "b")
    texts = dict(zip("abc", starts))
    for key, index, count, chars, replace in steps:
        old = texts[key]
        if replace:
            new = chars + old[::-1]
            mutation = {"kind": "map_set", "path": [], "key": key, "value": {"Str": new}}
        else:
            index %= len(old) + 1
            count = min(count, len(old) - index)
            new = old[:index] + chars + old[index + count:]
            mutation = splice([K(key)], index, count, *[{"Str": c} for c in chars])
        result = doc.mutate(json.dumps([mutation]))
        if replace:  # the new value merges with the sequence: the document says what it became
            new = json.loads(doc.value())["Map"][key]["Str"]
        texts[key] = new
        received = peer.apply(json.dumps(json.loads(result)["ops"]))
        if new != old:
            written_text(result, key, new)
            written_text(received, key, new)
    assert json.loads(doc.value()) == json.loads(peer.value()) == {"Map": {k: {"Str": t} for k, t in texts.items()}}


@pytest.mark.parametrize("edit", [(0, 0, "x"), (4096, 0, '"'), (4200, 1, ""), (0, 4201, "\n"), (100, 3000, "é\x01")])
def test_long_text_edited_at_its_ends_and_across_it(edit):
    start = ('ab"\\\n' * 840)[:4200]
    doc = CrdtDocument(TEXTS_SPEC, json.dumps({"Map": {"a": {"Str": start}, "b": {"Str": ""}, "c": {"Str": ""}}}), "a")
    # The first call writes the text as it is; the second copies from it.
    written_text(doc.mutate(json.dumps([splice([K("a")], 0, 0, {"Str": "y"})])), "a", "y" + start)
    index, count, chars = edit
    new = ("y" + start)[:index] + chars + ("y" + start)[index + count:]
    written_text(doc.mutate(json.dumps([splice([K("a")], index, count, *[{"Str": c} for c in chars])])), "a", new)


@pytest.mark.parametrize("order", [(3000, 1500, 3500), (3000, 4500, 2500)])
def test_long_text_edits_that_move_what_was_counted_before(order):
    # An edit nearer the start (or the end) than the last one changes what lies
    # between them; the next edit past it must not use what was counted there.
    text = ('ab"\\\n' * 1200)[:6000]
    doc = CrdtDocument(TEXTS_SPEC, json.dumps({"Map": {"a": {"Str": text}, "b": {"Str": ""}, "c": {"Str": ""}}}), "a")
    for index in (0,) + order:
        text = text[:index] + '"' * 8 + text[index:]
        written_text(doc.mutate(json.dumps([splice([K("a")], index, 0, *[{"Str": '"'}] * 8)])), "a", text)


NESTED_TEXTS_SPEC = json.dumps({"root": {"kind": "map", "fields": {
    "a": {"kind": "sequence", "materialization": "string"}, "b": {"kind": "sequence", "materialization": "string"},
    "m": {"kind": "map", "fields": {"t": {"kind": "sequence", "materialization": "string"}}}}}})
ROOT_TEXT_SPEC = json.dumps({"root": {"kind": "sequence", "materialization": "string"}})


@pytest.mark.parametrize("size", [255, 256, 5000])
def test_long_texts_changed_together_and_kept(size):
    """Texts at the top and one map down changed in one call (one of them into the
    same text), by mutate and by apply, then a call that fails and a text at the
    root: every result as the whole-value path gives it, and the value kept after
    each call what the document holds."""
    Reference = crdt_oracle.load().CrdtDocument
    init = json.dumps({"Map": {"a": {"Str": "x" * size}, "b": {"Str": "y" * size},
                               "m": {"Map": {"t": {"Str": "z" * size}}}}})
    calls = [[splice([K("a")], 1, 0, {"Str": "1"}), splice([K("m"), K("t")], size, 0, {"Str": "2"}),
              splice([K("b")], 0, 1, {"Str": "y"})],
             [splice([K("b")], 5, 2), {"kind": "map_set", "path": [], "key": "b", "value": "Null"}],
             [splice([K("a")], 0, 1), {"kind": "set_add", "path": [K("a")], "value": "Null"}]]
    for spec, start, mutations in [(NESTED_TEXTS_SPEC, init, calls),
                                   (ROOT_TEXT_SPEC, json.dumps({"Str": "r" * size}),
                                    [[splice([], 3, 1, {"Str": "s"})], [splice([], 0, 0, {"Str": "s"}), {}]])]:
        doc, ref = CrdtDocument(spec, start, "a"), Reference(spec, start, "a")
        peer, whole = CrdtDocument(spec, start, "b"), Reference(spec, start, "b")
        for mutation in mutations:
            text = json.dumps(mutation)
            try:
                out = doc.mutate(text)
            except ValueError as e:
                with pytest.raises(ValueError, match=str(e)):
                    ref.mutate_whole(text)
                continue
            assert out == ref.mutate_whole(text)
            ops = json.dumps(json.loads(out)["ops"])
            assert peer.apply(ops) == whole.apply_whole(ops)
            assert doc.value() == peer.value() == ref.value() == whole.value()
        assert doc.state() == ref.state()
        assert CrdtDocument.from_state(spec, doc.state(), "a").value() == doc.value()


LIST_SPEC = json.dumps({"root": {"kind": "map", "fields": {"r": {"kind": "sequence"}}}})


@pytest.mark.parametrize("values", [
    [{"Str": "a"}, {"Int": 1}, {"Str": "b"}, {"Str": "c"}, {"Map": {}}, {"Str": "é"}],
    [{"Int": 2}, {"Str": "x"}],
    [{"Str": "xy"}, {"Str": "z"}, "Null"],
])
def test_one_insertion_of_values_held_differently(values):
    # Single characters, other values and maps go into one insertion; deleting
    # some of them, inserting between them and a peer receiving it all give
    # what the whole-value path gives.
    Reference = crdt_oracle.load().CrdtDocument
    init = json.dumps({"Map": {"r": {"List": [{"Int": 0}, {"Int": 9}]}}})
    doc, ref = CrdtDocument(LIST_SPEC, init, "a"), Reference(LIST_SPEC, init, "a")
    peer, whole = CrdtDocument(LIST_SPEC, init, "b"), Reference(LIST_SPEC, init, "b")
    for mutations in ([splice([K("r")], 1, 0, *values)], [splice([K("r")], 2, 1), splice([K("r")], 1, 0, {"Int": 5})],
                      [splice([K("r")], 0, len(values) + 2)]):
        text = json.dumps(mutations)
        out = doc.mutate(text)
        assert out == ref.mutate_whole(text)
        ref.check()
        ops = json.dumps(json.loads(out)["ops"])
        assert peer.apply(ops) == whole.apply_whole(ops)
        whole.check()
    assert doc.state() == ref.state() and peer.value() == doc.value()


@pytest.mark.parametrize("how", ["apply", "mutate"])
def test_insertion_delta_elements_are_its_values(how):
    # Values whose text holds quotes, escapes, braces and commas, inserted
    # together into a list of registers: each element's value is its own.
    values = [{"Str": 'a"},{"Str":"b'}, {"List": [{"Str": "]\\"}, {"Map": {"}": "Null"}}]}, "Null",
              {"Map": {"k\"": {"Str": "\\\"{"}}}, {"Int": -3}]
    spec = json.dumps({"root": {"kind": "sequence"}})
    doc = CrdtDocument(spec, '{"List":[]}', "z")
    if how == "apply":
        ops = [{"kind": "sequence_insert", "dot": {"counter": 1, "replica": "a"}, "path": [], "after": None,
                "values": values}]
        effect = json.loads(doc.apply(json.dumps(ops, separators=(",", ":"))))
    else:
        effect = json.loads(doc.mutate(json.dumps([{"kind": "sequence_insert", "path": [], "after": None,
                                                    "values": values}])))["effect"]
    [delta] = effect["deltas"]
    assert [e["value"] for e in delta["elements"]] == values
    assert [e["id"]["index"] for e in delta["elements"]] == list(range(len(values)))


@pytest.mark.parametrize("spelled", [(), (1,), (0, 3), (0, 1, 2, 3)])
def test_effect_alike_whichever_operations_a_call_spells_otherwise(spelled):
    # A call whose operations are all in the writers' form has its deltas
    # written from its own text; one mixing them with other spellings, from
    # texts written again. The effects are the same.
    a = CrdtDocument(SPEC, INIT, "a")
    mutations = [splice([K("t")], 1, 0, *[{"Str": c} for c in 'x"é\n']), splice([K("t")], 0, 2),
                 splice([K("q")], 0, 0, {"Map": {"b": {"Str": "}]"}}}),
                 {"kind": "map_set", "path": [K("m")], "key": "k", "value": {"Map": {}}}]
    ops = json.loads(a.mutate(json.dumps(mutations)))["ops"]
    assert len(ops) == 4

    def call(otherwise):
        return "[" + ",".join(json.dumps(op, ensure_ascii=False, separators=(", ", ": ") if i in otherwise else (",", ":"))
                              for i, op in enumerate(ops)) + "]"

    effects = {}
    for otherwise in ((), spelled):
        b = CrdtDocument(SPEC, INIT, "b")
        effects[otherwise] = b.apply(call(otherwise))
        assert b.value() == a.value()
    assert effects[()] == effects[spelled]
    assert [d["kind"] for d in json.loads(effects[()])["deltas"]] == [op["kind"] for op in ops]
