"""Deletions of a text's elements as its saved state lists them, against a model kept from
the operations: typed and pasted characters deleted by backspaces, forward deletions and
selections, by two replicas at once, and in calls that fail and are taken back."""

import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import crdt_oracle

oracle = crdt_oracle.load()

SPEC = json.dumps({"root": {"kind": "sequence", "materialization": "string"}})


def splice(index, delete, text=""):
    values = ",".join('{"Str":%s}' % json.dumps(c) for c in text)
    return ('{"kind":"sequence_splice","path":[],"index":%d,"delete_count":%d,"values":[%s]}'
            % (index, delete, values))


def id_key(i):
    return (i["dot"]["counter"], i["dot"]["replica"].encode(), i["index"])


def dot_key(d):
    return (d["counter"], d["replica"].encode())


class Replicas:
    def __init__(self, start):
        self.docs = [oracle.CrdtDocument(SPEC, json.dumps({"Str": start}), r) for r in "ab"]
        self.pending = [[], []]  # operations the other replica has not received
        self.deleted = {}  # element id -> its deletion dots, from every operation made

    def length(self, r):
        return len(json.loads(self.docs[r].value())["Str"])

    def call(self, r, mutations):
        ops = json.loads(self.docs[r].mutate("[%s]" % ",".join(mutations)))["ops"]
        for op in ops:
            if op["kind"] == "sequence_delete":
                for i in op["ids"]:
                    self.deleted.setdefault(json.dumps(i, sort_keys=True), set()).add(json.dumps(op["dot"], sort_keys=True))
        self.pending[r].extend(ops)

    def act(self, r, kind, at, n):
        size = self.length(r)
        at = at % (size + 1)
        if kind == "type":
            for j in range(n):
                self.call(r, [splice(at + j, 0, "xyz"[j % 3])])
        elif kind == "paste":
            self.call(r, [splice(at, 0, "pq" * n)])
        elif kind == "backspace":
            for j in range(min(n, at)):
                self.call(r, [splice(at - 1 - j, 1)])
        elif kind == "forward":
            for _ in range(min(n, size - at)):
                self.call(r, [splice(at, 1)])
        elif kind == "select":
            self.call(r, [splice(at, min(n, size - at))])
        elif kind == "fail":
            # Deletions, then a mutation that fails: the call changes nothing.
            before = self.docs[r].state()
            with pytest.raises(ValueError):
                self.docs[r].mutate("[%s,%s]" % (splice(at, min(n, size - at)), splice(size + 5, 1)))
            assert self.docs[r].state() == before
        else:  # deliver what the other replica made, one call or one per operation
            ops, self.pending[1 - r] = self.pending[1 - r], []
            for batch in ([ops] if n % 2 else [[op] for op in ops]):
                if batch:
                    self.docs[r].apply(json.dumps(batch))

    def finish(self):
        for r in (0, 1):
            self.act(r, "deliver", 0, 1)
        expected = sorted(
            ([json.loads(i), sorted((json.loads(d) for d in dots), key=dot_key)] for i, dots in self.deleted.items()),
            key=lambda e: id_key(e[0]))
        states = [d.state() for d in self.docs]
        assert states[0] == states[1]
        assert json.loads(states[0])["root"]["deletes"] == expected
        restored = oracle.CrdtDocument.from_state(SPEC, states[0], "c")
        assert restored.state() == states[0]
        for d in self.docs + [restored]:
            d.check()
        assert self.docs[0].value() == self.docs[1].value() == restored.value()


ACTIONS = st.lists(st.tuples(st.integers(0, 1),
                             st.sampled_from(["type", "paste", "backspace", "forward", "select", "fail", "deliver"]),
                             st.integers(0, 10**6), st.integers(1, 6)), max_size=25)


@settings(deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(ACTIONS)
def test_deletions_follow_the_operations(actions):
    replicas = Replicas("abcdefghij")
    for r, kind, at, n in actions:
        replicas.act(r, kind, at, n)
    replicas.finish()


@pytest.mark.parametrize("actions", [
    # Typed characters backspaced, and deleted forwards: deletion dots count down, then up.
    [(0, "type", 3, 6), (0, "backspace", 9, 6), (0, "type", 0, 4), (0, "forward", 0, 4)],
    # Both replicas type at once (their counters interleave), then one selection deletes all.
    [(0, "type", 0, 4), (1, "type", 0, 4), (0, "deliver", 0, 1), (1, "deliver", 0, 1), (0, "select", 0, 20)],
    # Both replicas delete overlapping selections at once: elements deleted twice.
    [(0, "select", 2, 5), (1, "select", 4, 5), (0, "deliver", 0, 1), (1, "deliver", 0, 2)],
    # A pasted run deleted from its middle by one replica and at its ends by the other, then
    # a failing call over elements deleted once and twice.
    [(0, "paste", 5, 4), (0, "deliver", 0, 1), (1, "deliver", 0, 1), (0, "select", 8, 2), (1, "forward", 5, 3),
     (1, "backspace", 13, 2), (0, "deliver", 0, 1), (1, "deliver", 0, 1), (0, "fail", 4, 9)],
    # A character typed after the start text (its counter past every id deleted so far) and
    # deleted, then the same in a call that fails.
    [(0, "type", 0, 1), (0, "backspace", 1, 1)],
    [(0, "type", 0, 1), (0, "fail", 0, 1)],
])
def test_deletion_patterns(actions):
    replicas = Replicas("abcdefghij")
    for r, kind, at, n in actions:
        replicas.act(r, kind, at, n)
    replicas.finish()


def test_element_deleted_here_and_by_the_other_replica_inside_a_run():
    # The other replica's forward deletions make one run; the element deleted here too
    # leaves it from the middle.
    replicas = Replicas("abcdefghij")
    for r, kind, at, n in [(0, "backspace", 6114, 1), (1, "type", 122756, 3), (1, "forward", 2303, 6)]:
        replicas.act(r, kind, at, n)
    replicas.finish()


def test_state_element_deleted_by_no_operation_stays_so_after_a_failed_call():
    d = oracle.CrdtDocument(SPEC, '{"Str":"abc"}', "a")
    st = json.loads(d.state())
    elem = {"dot": {"counter": 0, "replica": "$init"}, "index": 1}
    st["root"]["deletes"] = [[elem, []]]
    text = json.dumps(st, separators=(",", ":"))
    d = oracle.CrdtDocument.from_state(SPEC, text, "a")
    assert d.value() == '{"Str":"ac"}'
    ops = [{"kind": "sequence_delete", "dot": {"counter": 1, "replica": "z"}, "path": [], "ids": [elem]},
           {"kind": "map_set", "dot": {"counter": 2, "replica": "z"}, "path": [], "key": "k", "value": "Null"}]
    with pytest.raises(ValueError):
        d.apply(json.dumps(ops))
    assert d.state() == text
    d.check()
    # Deleted by no operation, inserted in the initial value: compaction drops its node.
    assert d.compact("{}") == 1
    assert json.loads(d.state())["root"]["entries"][1] == [elem, {"after": {"dot": elem["dot"], "index": 0},
                                                                   "node": None, "inserted": True}]
    d.check()


def test_restored_document_with_long_deleted_runs_behaves_as_the_original():
    # Text typed one character a call and pasted, then a long selection and single
    # characters deleted: the restored document keeps the deleted elements together.
    d = oracle.CrdtDocument(SPEC, '{"Str":"0123456789"}', "a")
    for j in range(40):
        d.mutate("[%s]" % splice(5 + j, 0, "abcd"[j % 4]))
    d.mutate("[%s]" % splice(20, 0, "PASTED" * 5))
    d.mutate("[%s]" % splice(3, 60))
    for j in range(5):
        d.mutate("[%s]" % splice(8 - j, 1))
    restored = oracle.CrdtDocument.from_state(SPEC, d.state(), "a")
    assert restored.state() == d.state()
    follow = [[splice(2, 0, "xy")], [splice(1, 3)], [splice(3, 1), splice(0, 0, "z")],
              [splice(1, 1), splice(99, 1)], [splice(0, 2, "w")]]
    for mutations in follow:
        outs = []
        for doc in (d, restored):
            try:
                outs.append(doc.mutate("[%s]" % ",".join(mutations)))
            except ValueError as e:
                outs.append(str(e))
            doc.check()
        assert outs[0] == outs[1]
    assert restored.state() == d.state()


def run_deletion(replica, counter, *ids):
    return {"kind": "sequence_delete", "dot": {"counter": counter, "replica": replica}, "path": [],
            "ids": [{"dot": {"counter": c, "replica": "a"}, "index": i} for c, i in ids]}


def typed_text(by, n):
    # n characters typed by replica a, one per operation (ids counting up by
    # counter) or pasted by one (by index); the document and their (counter, index).
    d = oracle.CrdtDocument(SPEC, '{"Str":""}', "a")
    if by == "counter":
        for k in range(n):
            d.mutate("[%s]" % splice(k, 0, "v"))
        return d, [(k + 1, 0) for k in range(n)]
    d.mutate("[%s]" % splice(0, 0, "v" * n))
    return d, [(1, k) for k in range(n)]


@pytest.mark.parametrize("by", ["counter", "index"])
def test_deletion_continuing_a_run_onto_an_element_another_run_holds(by):
    # Elements 0-2 deleted by b's operations 100-102 (one run), elements 3-4 by c's
    # operation 200 (another run, made first); b's operation 103 then deletes element 3,
    # which continues the first run but is the second run's.
    d, ids = typed_text(by, 5)
    ops = [run_deletion("c", 200, ids[3], ids[4])] + [run_deletion("b", 100 + k, ids[k]) for k in range(3)]
    for op in ops + [run_deletion("b", 103, ids[3])]:
        d.apply(json.dumps([op]))
    d.check()
    deletes = json.loads(d.state())["root"]["deletes"]
    dots = [[(x["replica"], x["counter"]) for x in e[1]] for e in deletes]
    assert dots == [[("b", 100)], [("b", 101)], [("b", 102)], [("b", 103), ("c", 200)], [("c", 200)]]
    assert json.loads(d.value())["Str"] == ""


@pytest.mark.parametrize("by", ["counter", "index"])
def test_selections_continuing_a_run_taken_back_when_the_call_fails(by):
    # Two selections whose elements continue the run the one before went to,
    # then an operation that fails: everything is taken back, newest first.
    d, ids = typed_text(by, 10)
    d.apply(json.dumps([run_deletion("b", 1, ids[0])]))
    before = d.state()
    bad = {"kind": "map_set", "dot": {"counter": 9, "replica": "b"}, "path": [], "key": "k", "value": "Null"}
    calls = [run_deletion("b", 2, *ids[1:6]), run_deletion("b", 3, *ids[6:10])]
    with pytest.raises(ValueError):
        d.apply(json.dumps(calls + [bad]))
    assert d.state() == before
    d.check()
    d.apply(json.dumps(calls))
    d.check()
    deletes = json.loads(d.state())["root"]["deletes"]
    assert [[x["counter"] for x in e[1]] for e in deletes] == [[1]] + [[2]] * 5 + [[3]] * 4
    assert json.loads(d.value())["Str"] == ""
