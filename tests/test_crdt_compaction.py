"""Compaction keeps replicas convergent: a compacted replica, an uncompacted one and
a fresh replica fed the log end with the same value."""

import json

import pytest

from hypothesis import given, settings
from hypothesis import strategies as st

import norvane

CrdtDocument = norvane.CrdtDocument

SPEC = json.dumps({"root": {"kind": "map", "fields": {
    "k": {"kind": "set", "keys": [["id"]], "element": {"kind": "map", "fields": {
        "t": {"kind": "sequence", "materialization": "string"}, "m": {"kind": "map"}}}},
    "u": {"kind": "set", "element": {"kind": "map"}},
    "mm": {"kind": "map", "values": {"kind": "map", "fields": {"l": {"kind": "sequence"}}}},
}}})
INIT = json.dumps({"Map": {"k": {"List": []}, "u": {"List": []}, "mm": {"Map": {}}}})
KEYED = json.dumps({"root": {"kind": "map", "fields": {
    "k": {"kind": "set", "keys": [["id"]], "element": {"kind": "map"}}}}})


def K(k):
    return {"kind": "key", "key": k}


def M(k):
    return {"kind": "member", "key": k}


def member(i):
    return '[[["id"],{"Int":%d}]]' % i


def ops_of(doc, *mutations):
    return json.loads(doc.mutate(json.dumps(list(mutations))))["ops"]


def test_removed_member_with_an_unseen_write_survives_compaction():
    a, b = (CrdtDocument(KEYED, '{"Map":{"k":{"List":[]}}}', r) for r in "ab")
    add = ops_of(a, {"kind": "set_add", "path": [K("k")], "value": {"Map": {"id": {"Int": 1}, "n": {"Int": 1}}}})
    b.apply(json.dumps(add))
    write = ops_of(b, {"kind": "map_set", "path": [K("k"), M(member(1))], "key": "o", "value": {"Int": 8}})
    removal = ops_of(a, {"kind": "set_remove", "path": [K("k")], "key": member(1)})
    a.apply(json.dumps(write))
    b.apply(json.dumps(removal))
    assert a.value() == b.value() == '{"Map":{"k":{"List":[]}}}'
    # The removal never saw b's write: the member must be kept.
    assert a.compact('{"a":2}') == 0
    readd = ops_of(a, {"kind": "set_add", "path": [K("k")], "value": {"Map": {"id": {"Int": 1}, "n": {"Int": 3}}}})
    b.apply(json.dumps(readd))
    fresh = CrdtDocument(KEYED, '{"Map":{"k":{"List":[]}}}', "c")
    fresh.apply(json.dumps(add + write + removal + readd))
    expected = '{"Map":{"k":{"List":[{"Map":{"id":{"Int":1},"n":{"Int":3},"o":{"Int":8}}}]}}}'
    assert a.value() == b.value() == fresh.value() == expected


def test_removal_that_saw_everything_is_purged():
    a = CrdtDocument(KEYED, '{"Map":{"k":{"List":[]}}}', "a")
    ops_of(a, {"kind": "set_add", "path": [K("k")], "value": {"Map": {"id": {"Int": 1}}}},
           {"kind": "map_set", "path": [K("k"), M(member(1))], "key": "o", "value": {"Int": 8}},
           {"kind": "set_remove", "path": [K("k")], "key": member(1)})
    assert a.compact('{"a":3}') == 1
    assert json.loads(a.state())["root"]["entries"]["k"]["node"]["entries"] == {}


def mutation(choice, x, y):
    """One mutation of the schedule, from small integers."""
    t = [K("k"), M(member(x)), K("t")]
    return [
        {"kind": "set_add", "path": [K("k")], "value": {"Map": {"id": {"Int": x}, "n": {"Int": y}}}},
        {"kind": "set_remove", "path": [K("k")], "key": member(x)},
        {"kind": "map_set", "path": [K("k"), M(member(x))], "key": "o", "value": {"Int": y}},
        {"kind": "map_set", "path": [K("k"), M(member(x)), K("m")], "key": "p", "value": {"Int": y}},
        {"kind": "sequence_splice", "path": t, "index": y % 3, "delete_count": 0, "values": [{"Str": "xyz"[y % 3]}]},
        {"kind": "sequence_splice", "path": t, "index": 0, "delete_count": 1, "values": []},
        {"kind": "set_add", "path": [K("u")], "value": {"Map": {"v": {"Int": x}}}},
        {"kind": "set_remove", "path": [K("u")], "key": '{"Map":{"v":{"Int":%d}}}' % x},
        {"kind": "map_set", "path": [K("mm")], "key": str(x), "value": {"Map": {"l": {"List": [{"Int": y}]}}}},
        {"kind": "map_remove", "path": [K("mm")], "key": str(x)},
        {"kind": "map_set", "path": [K("mm"), K(str(x))], "key": "z", "value": {"Int": y}},
        {"kind": "sequence_splice", "path": [K("mm"), K(str(x)), K("l")], "index": 0, "delete_count": y % 2,
         "values": [{"Int": y}]},
    ][choice]


def dots(ops):
    return {(o["dot"]["counter"], o["dot"]["replica"]) for o in ops}


def prefix(seen, replica):
    """The highest counter up to which every dot of `replica` is in `seen`."""
    c = 0
    while (c + 1, replica) in seen:
        c += 1
    return c


# Removals and writes below members and entries come up more often than the rest.
mut = st.tuples(st.sampled_from([0, 0, 1, 2, 3]), st.sampled_from([0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 10, 11]),
                st.integers(0, 1), st.integers(0, 5))
# One round: concurrent mutations, partial deliveries (slices of the log, maybe
# reversed, maybe already seen), then maybe a full exchange, then compactions.
round_ = st.tuples(
    st.lists(mut, max_size=8),
    st.lists(st.tuples(st.integers(0, 3), st.integers(0, 40), st.integers(1, 12), st.booleans()), max_size=3),
    st.sampled_from([True, True, False]),
    st.lists(st.integers(0, 3), min_size=1, max_size=2),
)


@settings(max_examples=100)
@given(st.integers(2, 4), st.lists(round_, min_size=1, max_size=3), st.randoms(use_true_random=False))
def test_compaction_never_changes_what_later_operations_produce(n, rounds, rnd):
    names = "abcd"[:n]
    docs = [CrdtDocument(SPEC, INIT, r) for r in names]
    seen = [set() for _ in docs]
    log = []

    def run(i, m):
        try:
            ops = ops_of(docs[i], mutation(*m))
        except ValueError:
            return
        log.extend(ops)
        seen[i] |= dots(ops)

    def deliver(i, batch):
        docs[i].apply(json.dumps(batch))
        seen[i] |= dots(batch)

    def sync():
        for i in range(n):
            shuffled = log[:]
            rnd.shuffle(shuffled)
            deliver(i, shuffled)

    # Members, entries and texts every replica holds before the rounds.
    for x in (0, 1):
        for choice in (0, 4, 3, 6, 8, 11):
            run(0, (choice, x, x + 1))
    sync()
    for muts, deliveries, full, compactors in rounds:
        for i, *m in muts:
            run(i % n, m)
        for i, start, size, reverse in deliveries:
            if log:
                batch = log[start % len(log):][:size]
                deliver(i % n, batch[::-1] if reverse else batch)
        if full:
            sync()
        for i in compactors:
            # Up to what every replica has seen without a gap.
            frontier = {r: min(prefix(x, r) for x in seen) for r in names}
            docs[i % n].compact(json.dumps({r: c for r, c in frontier.items() if c}))
    # Whatever was removed and purged is written again, from every replica.
    for i in range(n):
        for x in (0, 1):
            for choice in (0, 6, 8):
                run(i, (choice, x, 5))
    sync()
    fresh = CrdtDocument(SPEC, INIT, "z")
    fresh.apply(json.dumps(log))
    assert [doc.value() for doc in docs] == [fresh.value()] * n


@pytest.mark.parametrize(("frontier", "message"), [
    ({"a": 2, "b": 3, "c": 1}, "compaction frontier b:3 is not covered by contiguous observed dots after 0"),
    ({"c": 2, "b": 2}, "compaction frontier c:2 is not covered by contiguous observed dots after 0"),
    ({"a": 3, "c": 1}, "compaction frontier a:3 is not covered by contiguous observed dots after 0"),
])
def test_frontier_over_several_replicas_reports_the_first_gap(frontier, message):
    doc = CrdtDocument(KEYED, '{"Map":{"k":{"List":[]}}}', "z")
    dot = lambda c, r: {"counter": c, "replica": r}  # noqa: E731
    doc.apply(json.dumps([{"kind": "map_set", "dot": dot(c, r), "path": [], "key": "x", "value": {"Int": c}}
                          for r, counters in (("a", (1, 2)), ("b", (1, 2, 4)), ("c", (1,))) for c in counters]))
    before = doc.state()
    with pytest.raises(ValueError) as e:
        doc.compact(json.dumps(frontier))
    assert str(e.value) == message
    assert doc.state() == before
    assert doc.compact('{"a":2,"b":2,"c":1}') == 0
    assert json.loads(doc.state())["context"] == {"compacted": {"a": 2, "b": 2, "c": 1}, "dots": [dot(4, "b")]}
