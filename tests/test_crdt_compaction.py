"""Compaction keeps replicas convergent: a compacted replica, an uncompacted one and
a fresh replica fed the log end with the same value."""

import json
import random

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


class Replicas:
    """Replicas exchanging operations and version vectors, compacting only at
    the safe frontier: every replica has reported applying every dot it
    covers, and the compacting replica has applied every operation each
    reporting replica had produced when it reported."""

    def __init__(self, spec, init, names, rnd):
        self.names = names
        self.docs = [CrdtDocument(spec, init, r) for r in names]
        self.seen = [set() for _ in names]
        self.reports = [None] * len(names)
        self.produced = {r: [] for r in names}  # counters, in production order
        self.log = []
        self.rnd = rnd

    def run(self, i, m):
        try:
            ops = ops_of(self.docs[i], m)
        except ValueError:
            return []
        self.log.extend(ops)
        self.seen[i] |= dots(ops)
        self.produced[self.names[i]] += [o["dot"]["counter"] for o in ops]
        return ops

    def deliver(self, i, batch):
        self.docs[i].apply(json.dumps(batch))
        self.seen[i] |= dots(batch)

    def sync(self):
        for i in range(len(self.docs)):
            shuffled = self.log[:]
            self.rnd.shuffle(shuffled)
            self.deliver(i, shuffled)

    def version(self, i):
        """Per replica, the highest counter up to which replica i has applied
        all of its operations."""
        out = {}
        for r, counters in self.produced.items():
            out[r] = 0
            for c in counters:
                if (c, r) not in self.seen[i]:
                    break
                out[r] = c
        return out

    def report(self, i):
        own = self.produced[self.names[i]]
        self.reports[i] = (self.version(i), own[-1] if own else 0)

    def safe_frontier(self, i):
        """The frontier replica i may compact at now, or None."""
        if None in self.reports:
            return None
        mine = self.version(i)
        if any(mine[r] < own for r, (_, own) in zip(self.names, self.reports)):
            return None
        frontier = {}
        for r, counters in self.produced.items():
            covered = min(v[r] for v, _ in self.reports)
            # The document compacts a replica's dots only up to the first gap in its counters.
            c = 0
            while c < covered and c + 1 in counters:
                c += 1
            if c:
                frontier[r] = c
        return frontier

    def compact(self, i):
        frontier = self.safe_frontier(i)
        if frontier is not None:
            self.docs[i].compact(json.dumps(frontier))


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
    reps = Replicas(SPEC, INIT, "abcd"[:n], rnd)
    # Members, entries and texts every replica holds before the rounds.
    for x in (0, 1):
        for choice in (0, 4, 3, 6, 8, 11):
            reps.run(0, mutation(choice, x, x + 1))
    reps.sync()
    for i in range(n):
        reps.report(i)
    for muts, deliveries, full, compactors in rounds:
        for i, *m in muts:
            reps.run(i % n, mutation(*m))
        for i, start, size, reverse in deliveries:
            if reps.log:
                batch = reps.log[start % len(reps.log):][:size]
                reps.deliver(i % n, batch[::-1] if reverse else batch)
        if full:
            reps.sync()
        for i in range(n):
            reps.report(i)
        for i in compactors:
            reps.compact(i % n)
    # Whatever was removed and purged is written again, from every replica.
    for i in range(n):
        for x in (0, 1):
            for choice in (0, 6, 8):
                reps.run(i, mutation(choice, x, 5))
    reps.sync()
    fresh = CrdtDocument(SPEC, INIT, "z")
    fresh.apply(json.dumps(reps.log))
    assert [doc.value() for doc in reps.docs] == [fresh.value()] * n


RACE = json.dumps({"root": {"kind": "map", "fields": {
    "m": {"kind": "map"}, "s": {"kind": "set"},
    "k": {"kind": "set", "keys": [["id"]], "element": {"kind": "map"}}}}})
RACE_INIT = json.dumps({"Map": {"m": {"Map": {}}, "s": {"List": []}, "k": {"List": []}}})


def race(choice, x, y):
    return [
        {"kind": "map_set", "path": [K("m")], "key": str(x), "value": {"Int": y}},
        {"kind": "map_remove", "path": [K("m")], "key": str(x)},
        {"kind": "set_add", "path": [K("s")], "value": {"Int": x}},
        {"kind": "set_remove", "path": [K("s")], "key": '{"Int":%d}' % x},
        {"kind": "set_add", "path": [K("k")], "value": {"Map": {"id": {"Int": x}, "n": {"Int": y}}}},
        {"kind": "set_remove", "path": [K("k")], "key": member(x)},
        {"kind": "map_set", "path": [K("k"), M(member(x))], "key": "o", "value": {"Int": y}},
    ][choice]


@pytest.mark.parametrize(("add", "remove", "shown"), [
    (race(2, 3, 0), race(3, 3, 0), '"s":{"List":[]}'),
    (race(0, 3, 1), race(1, 3, 0), '"m":{"Map":{"3":"Null"}}'),
])
def test_write_concurrent_with_a_removal_waits_for_the_safe_frontier(add, remove, shown):
    reps = Replicas(RACE, RACE_INIT, "ab", random.Random(0))
    a1 = reps.run(0, add)
    reps.run(1, dict(add, value={"Int": 2}) if "key" in add else add)
    reps.run(1, remove)
    reps.deliver(0, reps.log[1:])
    reps.report(0)
    reps.report(1)
    # b has not applied a's write, which its removal never saw: it may not
    # compact yet; a may.
    assert reps.safe_frontier(1) is None
    assert reps.safe_frontier(0) == {"b": 2}
    reps.compact(0)
    reps.deliver(1, a1)
    reps.report(1)
    reps.compact(1)
    fresh = CrdtDocument(RACE, RACE_INIT, "z")
    fresh.apply(json.dumps(reps.log))
    assert reps.docs[0].value() == reps.docs[1].value() == fresh.value()
    assert shown in fresh.value()


# One round races writes against a removal of one entry or member: some
# replicas write it, some of the writes reach some replicas, one replica removes
# it, and again some operations arrive; then replicas report their versions
# and compact where it is safe.
race_round = st.tuples(
    st.sampled_from([(0, 1), (2, 3), (4, 5), (6, 5)]),  # write and removal
    st.integers(0, 1),  # entry or member
    st.lists(st.integers(0, 3), min_size=2, max_size=3, unique=True),  # writers
    st.integers(0, 3),  # the remover, one of the writers
    st.integers(0, 2**32),  # picks deliveries, reports and compactions
)


@settings(max_examples=200)
@given(st.integers(2, 4), st.lists(race_round, min_size=1, max_size=4), st.randoms(use_true_random=False))
def test_compaction_at_the_safe_frontier_keeps_replicas_equal(n, rounds, rnd):
    reps = Replicas(RACE, RACE_INIT, "abcd"[:n], rnd)

    def some_deliveries(pick, sure=()):
        for i in range(n):
            batch = [op for op in reps.log if op["dot"] in sure or pick.random() < 0.3]
            pick.shuffle(batch)
            if batch:
                reps.deliver(i, batch)

    for (write, remove), x, writers, remover, seed in rounds:
        pick = random.Random(seed)
        for y, i in enumerate(writers):
            reps.run(i % n, race(write, x, y))
        some_deliveries(pick)
        removal = reps.run(writers[remover % len(writers)] % n, race(remove, x, 0))
        # The removal reaches everybody: the writes concurrent with it may not.
        some_deliveries(pick, [op["dot"] for op in removal])
        for i in range(n):
            if pick.random() < 0.9:
                reps.report(i)
        for i in range(n):
            if pick.random() < 0.9:
                reps.compact(i)
    reps.sync()
    fresh = CrdtDocument(RACE, RACE_INIT, "z")
    fresh.apply(json.dumps(reps.log))
    assert [doc.value() for doc in reps.docs] == [fresh.value()] * n
    for i in range(n):
        reps.report(i)
    for i in range(n):
        reps.compact(i)
    assert [doc.value() for doc in reps.docs] == [fresh.value()] * n


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
