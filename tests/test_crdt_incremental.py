"""mutate/apply against the whole-value reference path, on random multi-replica histories.

Every replica is restored three times from one state: the module's document, driven by
mutate/apply; the private test module's document driven by mutate_whole/apply_whole,
which materialise the whole value after every operation; and the private module's
document driven by mutate/apply again, whose kept caches check() rebuilds and compares.
All three must return the same bytes (ops, patch, deltas, applied, or the same error
text) and keep the same value and state. NORVANE_CRDT_DIFF_EXAMPLES=N runs N examples
instead of the profile's count.
"""

import json
import os
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import crdt_oracle
import norvane

oracle = crdt_oracle.load()

REG = {"kind": "register"}
TEXT = {"kind": "sequence", "materialization": "string"}
LIST = {"kind": "sequence"}
ITEM = {"kind": "map", "fields": {"n": REG, "t": TEXT, "tags": LIST}}
KEYED = {"kind": "set", "keys": [["id"]], "element": {"kind": "map", "fields": {"id": REG, "t": TEXT, "l": LIST}}}

# (CRDT spec root policy, initial value): the shapes users build, and root sequences.
SHAPES = [
    ({"kind": "map", "fields": {"t": TEXT, "l": LIST, "q": {"kind": "sequence", "element": ITEM},
                                "m": {"kind": "map", "values": {"kind": "map"}}, "s": {"kind": "set"},
                                "k": KEYED, "r": REG}},
     {"Map": {"t": {"Str": "ab"}, "l": {"List": [{"Int": 1}]}, "q": {"List": [{"Map": {"n": {"Int": 0}}}]},
              "m": {"Map": {"x": {"Map": {"y": "Null"}}}}, "s": {"List": [{"Int": 3}]},
              "k": {"List": [{"Map": {"id": {"Int": 1}, "t": {"Str": "z"}}}]}, "r": {"Int": 0}}}),
    (TEXT, {"Str": "hé"}),
    ({"kind": "sequence", "element": ITEM}, {"List": [{"Map": {"t": {"Str": "a"}}}]}),
    (KEYED, {"List": [{"Map": {"id": {"Int": 0}, "l": {"List": ["Null"]}}}]}),
    ({"kind": "map", "values": TEXT}, {"Map": {"a": {"Str": "x"}}}),
    (LIST, {"List": []}),
]
KEYS = ["t", "l", "q", "m", "s", "k", "r", "n", "tags", "id", "x", "y", "a"]
CHARS = ["a", "b", "é", "\U0001f600"]
CHAR = {"kind": "register"}  # an element of a text: one character


def K(k):
    return {"kind": "key", "key": k}


def child_policy(policy, key):
    return policy.get("fields", {}).get(key, policy.get("values", REG))


def targets(node, policy, path, out):
    """Every addressable node below `node` (removed and deleted ones too), with
    the map keys that do not exist yet, as (path, policy, state node or None)."""
    out.append((path, policy, node))
    kind = policy["kind"]
    entries = (node or {}).get("entries", {})
    if kind == "map":
        for key in sorted(set(entries) | set(policy.get("fields", {})) | {"x"}):
            child = entries.get(key, {}).get("node")
            targets(child, child_policy(policy, key), path + [K(key)], out)
    elif kind == "set":
        for key, entry in entries.items():
            targets(entry["node"], policy.get("element", REG), path + [{"kind": "member", "key": key}], out)
    elif kind == "sequence":
        element = CHAR if policy.get("materialization") == "string" else policy.get("element", REG)
        for eid, entry in entries:
            if entry.get("node") is not None:
                targets(entry["node"], element, path + [{"kind": "element", "id": eid}], out)
    return out


def value_for(policy, rnd, depth=0):
    kind = policy["kind"]
    if policy is CHAR:
        return {"Str": rnd.choice(CHARS)}
    if kind == "register":
        return rnd.choice(["Null", {"Int": rnd.randint(0, 3)}, {"Str": rnd.choice(CHARS)},
                           {"List": [{"Int": 1}]}, {"Map": {"a": {"Bool": True}}}])
    if kind == "sequence":
        if policy.get("materialization") == "string":
            return {"Str": "".join(rnd.choice(CHARS) for _ in range(rnd.randint(0, 3)))}
        return {"List": [value_for(policy.get("element", REG), rnd, depth + 1) for _ in range(rnd.randint(0, 2))]}
    if kind == "set":
        return {"List": [member_for(policy, rnd, depth + 1) for _ in range(rnd.randint(0, 2))]}
    keys = [k for k in KEYS if rnd.random() < (0.3 if depth < 2 else 0.05)]
    return {"Map": {k: value_for(child_policy(policy, k), rnd, depth + 1) for k in keys}}


def member_for(policy, rnd, depth=0):
    value = value_for(policy.get("element", REG), rnd, depth)
    for (key,) in policy.get("keys", []):
        value["Map"][key] = {"Int": rnd.randint(0, 3)}
    return value


def element_value(policy, rnd, bad=0.01):
    element = policy.get("element", REG)
    if policy.get("materialization") == "string":
        return {"Str": rnd.choice(CHARS) if rnd.random() >= bad else rnd.choice(["ab", ""])}
    return value_for(element, rnd, 1)


def visible_ids(node):
    deleted = {json.dumps(i, sort_keys=True) for i, _ in (node or {}).get("deletes", [])}
    return [i for i, e in (node or {}).get("entries", [])
            if e.get("inserted") and json.dumps(i, sort_keys=True) not in deleted]


def pick_target(pool, rnd):
    """A node of a random kind: registers are many, containers few."""
    kind = rnd.choice(sorted({t[1]["kind"] for t in pool}))
    return rnd.choice([t for t in pool if t[1]["kind"] == kind])


def mutation_for(target, rnd):
    path, policy, node = target
    kind = policy["kind"]
    r = rnd.random()
    if kind == "register" or r < 0.03:
        return {"kind": "register_set", "path": path, "value": value_for(policy, rnd)}
    if kind == "map":
        key = rnd.choice(KEYS)
        if r < 0.6:
            return {"kind": "map_set", "path": path, "key": key, "value": value_for(child_policy(policy, key), rnd)}
        return {"kind": "map_remove", "path": path, "key": key}
    if kind == "set":
        members = list((node or {}).get("entries", {}))
        if r < 0.55 or not members:
            return {"kind": "set_add", "path": path, "value": member_for(policy, rnd)}
        return {"kind": "set_remove", "path": path, "key": rnd.choice(members + ["{}"])}
    ids = [i for i, _ in (node or {}).get("entries", [])]
    length = len(visible_ids(node))
    if r < 0.15 and ids:
        return {"kind": "sequence_delete", "path": path, "ids": rnd.sample(ids, min(len(ids), rnd.randint(1, 2)))}
    if r < 0.3:
        after = rnd.choice(ids + [None, {"dot": {"counter": 99, "replica": "q"}, "index": 0}])
        return {"kind": "sequence_insert", "path": path, "after": after,
                "values": [element_value(policy, rnd) for _ in range(rnd.randint(1, 2))]}
    if node is None:  # a new map entry: the splice would find nothing to address
        return {"kind": "sequence_insert", "path": path, "values": [element_value(policy, rnd)]}
    index = rnd.randint(0, length + (r < 0.32))
    return {"kind": "sequence_splice", "path": path, "index": index,
            "delete_count": rnd.choice([0, 0, 1, 2]) if index < length else 0,
            "values": [element_value(policy, rnd) for _ in range(rnd.choice([0, 1, 1, 2]))]}


def bulk_mutations(state, root, rnd, n):
    """n mutations into one container, as a user's batch: typing into a text or a
    list at a moving cursor, or map sets, or set adds."""
    pool = [t for t in targets(state["root"], root, [], [])
            if t[1]["kind"] in ("map", "set") or t[1]["kind"] == "sequence" and t[2] is not None]
    path, policy, node = rnd.choice(pool)
    if policy["kind"] == "map":
        return [{"kind": "map_set", "path": path, "key": "k%d" % rnd.randint(0, n),
                 "value": value_for(child_policy(policy, "k"), rnd, 2)} for _ in range(n)]
    if policy["kind"] == "set":
        return [{"kind": "set_add", "path": path, "value": member_for(policy, rnd, 2)} for _ in range(n)]
    length = len(visible_ids(node))
    cursor, out = rnd.randint(0, length), []
    for _ in range(n):
        if length and rnd.random() < 0.15:
            cursor = max(0, cursor - 1)
            out.append({"kind": "sequence_splice", "path": path, "index": min(cursor, length - 1),
                        "delete_count": 1, "values": []})
            length -= 1
            cursor = min(cursor, length)
        else:
            out.append({"kind": "sequence_splice", "path": path, "index": cursor, "delete_count": 0,
                        "values": [element_value(policy, rnd, bad=0)]})
            length += 1
            cursor += 1
    return out


DECODER = json.JSONDecoder()


def call(fn, text):
    try:
        return "ok", fn(text)
    except ValueError as e:
        return "error", str(e)


class Twin:
    """One replica: the document under test, its whole-value twin and its checked twin."""

    def __init__(self, spec, state, replica):
        self.spec = spec
        self.fast = norvane.CrdtDocument.from_state(spec, state, replica)
        self.whole = oracle.CrdtDocument.from_state(spec, state, replica)
        self.probe = oracle.CrdtDocument.from_state(spec, state, replica)
        self.verify()

    def verify(self):
        """The caches the twins keep beside their node trees are what the trees give."""
        self.whole.check()
        self.probe.check()

    def call(self, method, text):
        """The same text or error from all three; a failed call changes nothing (the
        whole-value twin, not called yet, holds the state before the call)."""
        got = call(getattr(self.fast, method), text)
        before = self.whole.state() if got[0] == "error" else None
        assert call(getattr(self.whole, method + "_whole"), text) == got, text
        assert call(getattr(self.probe, method), text) == got, text
        self.verify()
        if before is not None:
            assert self.fast.state() == before
        return got

    def mutate(self, mutations):
        got = self.call("mutate", json.dumps(mutations))
        # The "ops" array alone: the effect that follows it can be long.
        return DECODER.raw_decode(got[1], len('{"ops":'))[0] if got[0] == "ok" else []

    def apply(self, ops):
        return self.call("apply", json.dumps(ops))

    def compact(self, frontier):
        got = call(self.fast.compact, frontier)
        assert call(self.whole.compact, frontier) == call(self.probe.compact, frontier) == got
        self.verify()
        return got

    def check(self, value=True):
        """The same state; the same value, also as read back from the state
        (which no value kept between calls can influence)."""
        state = self.fast.state()
        assert state == self.whole.state() == self.probe.state()
        assert self.fast.value() == self.whole.value() == self.probe.value()
        if value:
            fresh = norvane.CrdtDocument.from_state(self.spec, state, "check").value()
            assert self.fast.value() == fresh
        return state


def contiguous(state):
    """Per replica, the highest counter up to which every dot has been observed."""
    context = state["context"]
    seen = {}
    for dot in context.get("dots", []):
        seen.setdefault(dot["replica"], set()).add(dot["counter"])
    out = dict(context.get("compacted", {}))
    for replica, counters in seen.items():
        c = out.get(replica, 0)
        while c + 1 in counters:
            c += 1
        out[replica] = c
    return out


ACTIONS = ["mutate"] * 6 + ["bulk", "deliver", "deliver", "deliver", "sync", "restore", "compact"]


def run_history(shape, n, plan, big):
    root, init = SHAPES[shape]
    spec = json.dumps({"root": root})
    first = norvane.CrdtDocument(spec, json.dumps(init), "r0").state()
    twins = [Twin(spec, first, "r%d" % i) for i in range(n)]
    log = []
    for action, who, seed in plan:
        rnd = random.Random(seed)
        twin = twins[who % n]
        state = json.loads(twin.fast.state())
        if action == "mutate":
            pool = targets(state["root"], root, [], [])
            log += twin.mutate([mutation_for(pick_target(pool, rnd), rnd) for _ in range(rnd.choice([1, 1, 1, 2, 5]))])
        elif action == "bulk":
            size = rnd.choice([1000, 300]) if big and rnd.random() < 0.3 else rnd.randint(2, 60)
            log += twin.mutate(bulk_mutations(state, root, rnd, size))
        elif action == "deliver" and log:
            size = rnd.choice([1, 1, 2, 5, 20, len(log)])
            batch = [rnd.choice(log) for _ in range(size)]
            if rnd.random() < 0.5:
                batch = [op for op in log if op in batch]  # in the order they were made
            twin.apply(batch)
        elif action == "sync" and log:
            for other in twins:
                other.apply(rnd.sample(log, len(log)))
        elif action == "restore":
            twins[who % n] = Twin(spec, twin.fast.state(), "r%d" % (who % n))
        elif action == "compact":
            seen = [contiguous(json.loads(t.fast.state())) for t in twins]
            frontier = {r: min(s.get(r, 0) for s in seen) for r in set().union(*seen)}
            text = json.dumps(frontier)
            for t in twins:
                t.compact(text)
        twin.check(value=rnd.random() < 0.5)
    for twin in twins:  # an operation that fails everywhere may keep the replicas apart
        twin.apply(log)
        twin.check()


plans = st.lists(st.tuples(st.sampled_from(ACTIONS), st.integers(0, 3), st.integers(0, 2**32)),
                 min_size=3, max_size=30)
EXAMPLES = int(os.environ.get("NORVANE_CRDT_DIFF_EXAMPLES", "0"))


@settings(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
          **({"max_examples": EXAMPLES} if EXAMPLES else {}))
@given(st.integers(0, len(SHAPES) - 1), st.integers(2, 4), plans)
def test_incremental_matches_whole_value_path(shape, n, plan):
    run_history(shape, n, plan, big=False)


@pytest.mark.slow
@pytest.mark.parametrize("shape", range(len(SHAPES)))
def test_big_batches_match_whole_value_path(shape):
    """Batches of up to 1,000 mutations and deliveries of the whole history."""
    rnd = random.Random(shape)
    plan = [(rnd.choice(ACTIONS), rnd.randint(0, 3), rnd.randint(0, 2**32)) for _ in range(25)]
    run_history(shape, 2 + shape % 3, plan, big=True)


def test_private_class_is_the_module_class_with_three_more_methods():
    public = [m for m in vars(norvane.CrdtDocument) if not m.startswith("__")]
    assert [m for m in vars(oracle.CrdtDocument) if not m.startswith("__")] == public + [
        "mutate_whole", "apply_whole", "check"]
    assert oracle.CrdtDocument.__text_signature__ == norvane.CrdtDocument.__text_signature__
    for name in public:
        assert getattr(oracle.CrdtDocument, name).__doc__ == getattr(norvane.CrdtDocument, name).__doc__
    doc = oracle.CrdtDocument(json.dumps({"root": TEXT}), '{"Str":"ab"}', "a")
    assert doc.check() is None
    assert doc.mutate_whole("[]") == doc.mutate("[]")
    with pytest.raises(TypeError):
        doc.check(1)


# ---- fixed cases the random histories rarely reach ---------------------------------------

ITEM_IN_SET = {"kind": "map", "fields": {"id": REG, "t": TEXT, "l": LIST, "n": REG}}
HIDDEN_SPEC = json.dumps({"root": {"kind": "map", "fields": {
    "s": {"kind": "set", "keys": [["id"]], "element": ITEM_IN_SET}}}})
HIDDEN_INIT = json.dumps({"Map": {"s": {"List": [
    {"Map": {"id": {"Int": 1}, "t": {"Str": "ab"}, "l": {"List": [{"Int": 7}]}}},
    {"Map": {"id": {"Int": 2}}}]}}})


def M(key):
    return {"kind": "member", "key": key}


def ID_KEY(i):
    return '[[["id"],{"Int":%d}]]' % i


HIDDEN_CALLS = {
    "remove": [{"kind": "set_remove", "path": [K("s")], "key": ID_KEY(1)}],
    "add again": [{"kind": "set_add", "path": [K("s")], "value": {"Map": {"id": {"Int": 1}}}}],
    "map_set below": [{"kind": "map_set", "path": [K("s"), M(ID_KEY(1))], "key": "n", "value": {"Int": 5}}],
    "map_remove below": [{"kind": "map_remove", "path": [K("s"), M(ID_KEY(1))], "key": "t"}],
    "register below": [{"kind": "register_set", "path": [K("s"), M(ID_KEY(2)), K("n")], "value": {"Int": 5}}],
    "insert below": [{"kind": "sequence_insert", "path": [K("s"), M(ID_KEY(1)), K("t")], "values": [{"Str": "x"}]}],
    "list insert below": [{"kind": "sequence_insert", "path": [K("s"), M(ID_KEY(1)), K("l")],
                           "values": [{"Int": 8}]}],
    "remove, then write below": [{"kind": "set_remove", "path": [K("s")], "key": ID_KEY(2)},
                                 {"kind": "map_set", "path": [K("s"), M(ID_KEY(2))], "key": "n", "value": "Null"}],
}


@pytest.mark.parametrize("name", list(HIDDEN_CALLS))
def test_calls_on_members_hidden_by_a_removed_set(name):
    """a removes the field holding a keyed set while b adds a member: once a has b's
    operation the set shows again with only b's member, and calls on the old members,
    hidden by the removal, change nothing visible."""
    a = norvane.CrdtDocument(HIDDEN_SPEC, HIDDEN_INIT, "a")
    b = norvane.CrdtDocument(HIDDEN_SPEC, HIDDEN_INIT, "b")
    a.mutate(json.dumps([{"kind": "map_remove", "path": [], "key": "s"}]))
    added = b.mutate(json.dumps([{"kind": "set_add", "path": [K("s")], "value": {"Map": {"id": {"Int": 3}}}}]))
    a.apply(json.dumps(json.loads(added)["ops"]))
    shown = '{"Map":{"s":{"List":[{"Map":{"id":{"Int":3}}}]}}}'
    assert a.value() == shown
    twin = Twin(HIDDEN_SPEC, a.state(), "a")
    ops = twin.mutate(HIDDEN_CALLS[name])
    assert json.loads(twin.fast.state())["context"]  # the call was made
    twin.check()
    # Adding a hidden member again shows its new value alone, not the hidden fields.
    again = '{"Map":{"s":{"List":[{"Map":{"id":{"Int":1}}},{"Map":{"id":{"Int":3}}}]}}}'
    assert twin.fast.value() == (again if name == "add again" else shown)
    # The same operations arriving at a replica in a's state before the call.
    other = Twin(HIDDEN_SPEC, a.state(), "c")
    other.apply(ops)
    other.check()
    assert other.fast.state() == twin.fast.state()


def test_calls_on_hidden_members_make_no_deltas():
    a = norvane.CrdtDocument(HIDDEN_SPEC, HIDDEN_INIT, "a")
    b = norvane.CrdtDocument(HIDDEN_SPEC, HIDDEN_INIT, "b")
    a.mutate(json.dumps([{"kind": "map_remove", "path": [], "key": "s"}]))
    a.apply(json.dumps(json.loads(b.mutate(json.dumps(
        [{"kind": "set_add", "path": [K("s")], "value": {"Map": {"id": {"Int": 3}}}}])))["ops"]))
    for name, mutations in HIDDEN_CALLS.items():
        if name != "add again":
            doc = norvane.CrdtDocument.from_state(HIDDEN_SPEC, a.state(), "a")
            effect = json.loads(doc.mutate(json.dumps(mutations)))["effect"]
            assert effect == {"patch": {"rev": 0, "ops": []}, "deltas": [], "applied": len(mutations)}, name


# A saved state may hold elements under a dot its context does not know; an
# insertion at that dot writes into them, which the value and the delta show.
HELD_DOT = {"counter": 1, "replica": "a"}
HELD_ROOTS = {"list": (LIST, {"List": []}, lambda c: {"Int": ord(c)}),
              "text": (TEXT, {"Str": ""}, lambda c: {"Str": c})}


def held_dot_state(root, indexes):
    policy, empty, value = HELD_ROOTS[root]
    doc = norvane.CrdtDocument(json.dumps({"root": policy}), json.dumps(empty), "a")
    doc.mutate(json.dumps([{"kind": "sequence_insert", "path": [], "after": None, "values": [value("a"), value("b")]}]))
    state = json.loads(doc.state())
    state["context"] = {}
    del state["fingerprints"]
    state["root"]["entries"] = [e for e in state["root"]["entries"] if e[0]["index"] in indexes]
    return json.dumps(state)


@pytest.mark.parametrize("root", sorted(HELD_ROOTS))
@pytest.mark.parametrize("indexes", [(0, 1), (0,), (1,)])
@pytest.mark.parametrize("chars", ["x", "xyz"])
def test_insertion_at_a_dot_whose_elements_are_held(root, indexes, chars):
    policy, _, value = HELD_ROOTS[root]
    twin = Twin(json.dumps({"root": policy}), held_dot_state(root, indexes), "b")
    twin.apply([{"kind": "sequence_insert", "dot": HELD_DOT, "path": [], "after": None,
                 "values": [value(c) for c in chars]}])
    twin.check()


WIDE_ITEM = {"kind": "map", "fields": {"n": REG, "t": TEXT, "s": {"kind": "set"}, "m": {"kind": "map"}}}
WIDE_SPEC = json.dumps({"root": {"kind": "map", "values": WIDE_ITEM}})
WIDE_INIT = json.dumps({"Map": {"k%02d" % i: {"Map": {"n": {"Int": i}, "t": {"Str": "ab"}, "s": {"List": [{"Int": 1}]},
                                                       "m": {"Map": {"x": {"Int": 0}}}}}
                                for i in range(40)}})


def wide_change(i, key):
    """One of the ways a call changes the entry `key` of the root map: replaced, removed,
    or changed below (a register, a text, a set, a nested map)."""
    path = [K(key)]
    return [
        {"kind": "map_set", "path": [], "key": key, "value": {"Map": {"n": {"Int": 100 + i}}}},
        {"kind": "map_remove", "path": [], "key": key},
        {"kind": "register_set", "path": path + [K("n")], "value": {"Str": "w"}},
        {"kind": "sequence_splice", "path": path + [K("t")], "index": 1, "delete_count": 1, "values": [{"Str": "é"}]},
        {"kind": "set_add", "path": path + [K("s")], "value": {"Int": 2}},
        {"kind": "set_remove", "path": path + [K("s")], "key": '{"Int":1}'},
        {"kind": "map_set", "path": path + [K("m")], "key": "y", "value": "Null"},
        {"kind": "map_set", "path": path, "key": "z", "value": {"Int": i}},
        {"kind": "map_remove", "path": path + [K("m")], "key": "x"},
    ][i % 9]


# (existing keys changed, new keys set): at and past the change count where the
# view's changes are laid over a map by one merge instead of one lookup per key.
WIDE_CALLS = [(16, 0), (17, 0), (40, 0), (9, 8), (12, 12), (0, 17)]


@pytest.mark.parametrize("existing, new", WIDE_CALLS)
def test_one_call_changing_many_keys_of_a_map(existing, new):
    mutations = [wide_change(i, "k%02d" % (i * 7 % 40)) for i in range(existing)]
    mutations += [{"kind": "map_set", "path": [], "key": "k%02d+" % (i * 3 % 40),
                   "value": {"Map": {"n": {"Int": i}}}} for i in range(new)]
    rnd = random.Random(existing * 100 + new)
    rnd.shuffle(mutations)
    twin = Twin(WIDE_SPEC, norvane.CrdtDocument(WIDE_SPEC, WIDE_INIT, "$x").state(), "a")
    out = twin.call("mutate", json.dumps(mutations))
    ops, patch = json.loads(out[1])["ops"], json.loads(out[1])["effect"]["patch"]["ops"]
    assert len({list(op.values())[0]["path"][0]["Key"] for op in patch}) == existing + new
    twin.check()
    # The same operations applied elsewhere in one call, and one at a time.
    other = Twin(WIDE_SPEC, norvane.CrdtDocument(WIDE_SPEC, WIDE_INIT, "$x").state(), "b")
    other.apply(ops)
    state = other.check()
    assert state == twin.fast.state()
    single = norvane.CrdtDocument(WIDE_SPEC, WIDE_INIT, "c")
    for op in ops:
        single.apply(json.dumps([op]))
    assert single.value() == other.fast.value()


# ---- sequence histories: long runs, splits, interleaved typing ----------------------------
#
# Typing makes runs: elements inserted one per call, each right after the one before,
# or many by one call. These histories grow such runs, split them by edits in their
# middle, delete ranges across them, and let replicas type into one place at once and
# trade their operations in batches (late, out of order, twice), in texts and lists
# below a map field and inside a set member.

SEQ_MEMBER = {"kind": "map", "fields": {"id": REG, "t": TEXT, "l": LIST}}
SEQ_SPEC = json.dumps({"root": {"kind": "map", "fields": {
    "t": TEXT, "l": LIST, "k": {"kind": "set", "keys": [["id"]], "element": SEQ_MEMBER}}}})
SEQ_INIT = json.dumps({"Map": {"t": {"Str": "ab"}, "l": {"List": [{"Int": 0}]}, "k": {"List": [
    {"Map": {"id": {"Int": 1}, "t": {"Str": "xy"}, "l": {"List": [{"Int": 0}, {"Int": 1}]}}}]}}})
# The sequence a history edits: the path to it, and whether it is a text.
SEQ_TARGETS = {
    "text in a map field": ([K("t")], True),
    "list in a map field": ([K("l")], False),
    "text in a set member": ([K("k"), M(ID_KEY(1)), K("t")], True),
    "list in a set member": ([K("k"), M(ID_KEY(1)), K("l")], False),
}


class SeqHistory:
    """Replicas editing one sequence, with the log of every operation made and, per
    replica, the log positions it has seen."""

    def __init__(self, target, n, seed):
        self.path, self.text = SEQ_TARGETS[target]
        self.member = len(self.path) > 1
        first = norvane.CrdtDocument(SEQ_SPEC, SEQ_INIT, "r0").state()
        self.twins = [Twin(SEQ_SPEC, first, "r%d" % i) for i in range(n)]
        self.log, self.ids = [], []
        self.seen = [set() for _ in range(n)]
        self.cursor = [None] * n
        self.rnd = random.Random(seed)

    def element(self):
        if self.text:
            return {"Str": self.rnd.choice(CHARS)}
        return {"Int": self.rnd.randint(0, 9)}

    def length(self, who):
        """The visible length of the sequence at `who`, None when it does not show."""
        value = json.loads(self.twins[who].fast.value())["Map"]
        if self.member:
            members = [m["Map"] for m in value.get("k", {}).get("List", []) if m["Map"].get("id") == {"Int": 1}]
            value = members[0] if members else {}
        seq = value.get(self.path[-1]["key"])
        if seq is None:
            return None
        return len(seq["Str"]) if self.text else len(seq["List"])

    def mutate(self, who, mutations):
        ops = self.twins[who].mutate(mutations)
        for op in ops:
            self.seen[who].add(len(self.log))
            self.log.append(op)
            if op["kind"] == "sequence_insert" and op["path"] == self.path:
                self.ids += [{"dot": op["dot"], "index": i} for i in range(len(op["values"]))]
        return ops

    def splice(self, index, delete, values):
        return {"kind": "sequence_splice", "path": self.path, "index": index, "delete_count": delete,
                "values": values}

    def insert_after(self, values):
        after = self.rnd.choice(self.ids + [None]) if self.ids else None
        return {"kind": "sequence_insert", "path": self.path, "after": after, "values": values}

    def type_run(self, who, count, at=None, stay=False):
        """`count` keystrokes, one call each, at the replica's cursor (or at `at`; or, now and
        then unless `stay`, somewhere else): mostly characters, each right after the one
        before, now and then a backspace."""
        length = self.length(who)
        if length is None:  # the sequence does not show: write into it by id
            self.mutate(who, [self.insert_after([self.element()])])
            return
        cursor = self.cursor[who]
        if at is not None:
            cursor = min(at, length)
        elif cursor is None or cursor > length or not stay and self.rnd.random() < 0.2:
            cursor = self.rnd.randint(0, length)
        for _ in range(count):
            if cursor and self.rnd.random() < 0.1:
                ok = self.mutate(who, [self.splice(cursor - 1, 1, [])])
                cursor, length = cursor - bool(ok), length - bool(ok)
            else:
                ok = self.mutate(who, [self.splice(cursor, 0, [self.element()])])
                cursor, length = cursor + bool(ok), length + bool(ok)
        self.cursor[who] = cursor

    def paste(self, who):
        """Many elements by one call: a splice at a position, or an insertion after an id."""
        values = [self.element() for _ in range(self.rnd.randint(2, 40))]
        length = self.length(who)
        if length is None or self.rnd.random() < 0.3:
            self.mutate(who, [self.insert_after(values)])
        else:
            at = self.rnd.randint(0, length)
            self.mutate(who, [self.splice(at, self.rnd.choice([0, 0, 1, 3]) if at < length else 0, values)])

    def split(self, who):
        """A few single insertions and deletions in the middle of what is there, one call each,
        or all in one call."""
        length = self.length(who)
        if not length:
            return
        batch = []
        for _ in range(self.rnd.randint(1, 5)):
            at = self.rnd.randint(0, length - 1)
            if self.rnd.random() < 0.5 and length > 1:
                batch.append(self.splice(at, 1, []))
                length -= 1
            else:
                batch.append(self.splice(at, 0, [self.element() for _ in range(self.rnd.choice([1, 1, 2]))]))
                length += len(batch[-1]["values"])
        if self.rnd.random() < 0.5:
            self.mutate(who, batch)
        else:
            for m in batch:
                self.mutate(who, [m])

    def cut(self, who):
        """A deletion across several runs: a range by position, or ids by name (some
        already deleted, some not yet seen here)."""
        length = self.length(who)
        if length and self.rnd.random() < 0.7:
            at = self.rnd.randint(0, length - 1)
            self.mutate(who, [self.splice(at, self.rnd.randint(1, min(60, length - at)), [])])
        elif self.ids:
            ids = self.rnd.sample(self.ids, min(len(self.ids), self.rnd.randint(1, 30)))
            self.mutate(who, [{"kind": "sequence_delete", "path": self.path, "ids": ids}])

    def remove(self, who):
        """The field or member holding the sequence removed, or written anew."""
        if self.member:
            if self.rnd.random() < 0.5:
                m = {"kind": "set_remove", "path": [K("k")], "key": ID_KEY(1)}
            else:
                m = {"kind": "set_add", "path": [K("k")], "value": {"Map": {
                    "id": {"Int": 1}, self.path[-1]["key"]: {"Str": "n"} if self.text else {"List": [{"Int": 5}]}}}}
        elif self.rnd.random() < 0.5:
            m = {"kind": "map_remove", "path": [], "key": self.path[0]["key"]}
        else:
            m = {"kind": "map_set", "path": [], "key": self.path[0]["key"],
                 "value": {"Str": "new"} if self.text else {"List": [{"Int": 5}]}}
        self.mutate(who, [m])

    def deliver(self, who, everything=False):
        """Operations `who` has not seen, in batches of random size: in the order they were
        made or shuffled, now and then with some it has seen again."""
        missing = [i for i in range(len(self.log)) if i not in self.seen[who]]
        while missing:
            size = len(missing) if everything else self.rnd.randint(1, len(missing))
            if self.rnd.random() < 0.5:
                batch = missing[:size]
            else:
                batch = self.rnd.sample(missing, size)
            again = [i for i in self.seen[who] if self.rnd.random() < 0.05]
            self.twins[who].apply([self.log[i] for i in batch + again])
            self.seen[who].update(batch)
            missing = [i for i in missing if i not in self.seen[who]]
            if not everything:
                break

    def race(self, count):
        """Every replica types a run at one position at the same time, one keystroke each
        in turn; now and then one of them receives part of what the others typed."""
        length = self.length(0)
        at = self.rnd.randint(0, length) if length else 0
        for step in range(count):
            for who in range(len(self.twins)):
                self.type_run(who, 1, at=at if step == 0 else None, stay=True)
            if self.rnd.random() < 0.1:
                self.deliver(self.rnd.randrange(len(self.twins)))

    def compact(self, _who):
        seen = [contiguous(json.loads(t.fast.state())) for t in self.twins]
        frontier = json.dumps({r: min(s.get(r, 0) for s in seen) for r in set().union(*seen)})
        for t in self.twins:
            t.compact(frontier)

    def step(self, action, who, max_run=60):
        who %= len(self.twins)
        if action == "type":
            self.type_run(who, self.rnd.randint(1, max_run))
        elif action == "race":
            self.race(self.rnd.randint(1, max(1, max_run // 2)))
        elif action == "restore":
            self.twins[who] = Twin(SEQ_SPEC, self.twins[who].fast.state(), "r%d" % who)
        else:
            getattr(self, action)(who)
        self.twins[who].check(value=self.rnd.random() < 0.3)

    def finish(self):
        """Every replica gets every operation; they all show the same value."""
        for who, twin in enumerate(self.twins):
            self.deliver(who, everything=True)
            twin.check()
        assert len({t.fast.value() for t in self.twins}) == 1


SEQ_ACTIONS = ["type"] * 4 + ["race", "paste", "split", "split", "cut", "deliver", "deliver", "deliver",
                              "remove", "restore", "compact"]
seq_plans = st.lists(st.tuples(st.sampled_from(SEQ_ACTIONS), st.integers(0, 2)), min_size=2, max_size=20)


@settings(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
          **({"max_examples": EXAMPLES} if EXAMPLES else {}))
@given(st.sampled_from(sorted(SEQ_TARGETS)), st.integers(2, 3), seq_plans, st.integers(0, 2**32))
def test_sequence_histories_match_whole_value_path(target, n, plan, seed):
    history = SeqHistory(target, n, seed)
    for action, who in plan:
        history.step(action, who)
    history.finish()


@pytest.mark.parametrize("target", sorted(SEQ_TARGETS))
def test_long_runs_split_and_interleaved(target):
    """Hundreds of keystrokes, one call each, by one replica while another types a run of
    its own; then edits in the middle of the runs, deletions across them and three
    replicas typing at one place at once."""
    history = SeqHistory(target, 3, sorted(SEQ_TARGETS).index(target))
    history.cursor[0] = 0
    history.type_run(0, 300, stay=True)
    history.type_run(1, 60, stay=True)
    history.deliver(1, everything=True)
    for action in ["split", "cut", "paste", "split", "cut"]:
        history.step(action, 1)
    history.deliver(0)
    history.race(30)
    history.finish()


@pytest.mark.parametrize("text", [True, False], ids=["text", "list"])
def test_long_sequence_edited_at_random_places(text):
    """Tens of thousands of single insertions and short deletions at random places, in
    calls of 1,000, make a long sequence of short items: its leaves and the tree above
    them grow several levels and split again and again. The value follows a plain
    list; a replica applying the same operations, and check(), agree."""
    field = "t" if text else "l"
    init = json.dumps({"Map": {"t": {"Str": ""}, "l": {"List": []}}})
    spec = json.dumps({"root": {"kind": "map", "fields": {"t": TEXT, "l": LIST}}})
    a, b = oracle.CrdtDocument(spec, init, "a"), oracle.CrdtDocument(spec, init, "b")
    rnd = random.Random(5)
    model = []
    for call_number in range(30):
        batch = []
        for _ in range(1000):
            if model and rnd.random() < 0.25:
                at = rnd.randrange(len(model))
                n = min(len(model) - at, rnd.choice([1, 1, 1, 5]))
                del model[at:at + n]
                values = []
            else:
                at, n = rnd.randint(0, len(model)), 0
                model.insert(at, rnd.choice(CHARS))
                values = [{"Str": model[at]} if text else {"Int": ord(model[at][0])}]
            batch.append({"kind": "sequence_splice", "path": [K(field)], "index": at, "delete_count": n,
                          "values": values})
        ops = DECODER.raw_decode(a.mutate(json.dumps(batch)), len('{"ops":'))[0]
        b.apply(json.dumps(ops))
        if call_number % 10 == 9:
            a.check()
            b.check()
        expected = {"Str": "".join(model)} if text else {"List": [{"Int": ord(c[0])} for c in model]}
        assert json.loads(a.value())["Map"][field] == expected
        assert b.value() == a.value()
    assert norvane.CrdtDocument.from_state(spec, a.state(), "c").value() == a.value()


def test_long_text_with_writes_below_its_elements():
    """A text long enough for its order to hold many leaves, edited at random places,
    with registers written below random elements (one character, or more, which makes
    the text hold something that is not a character): every call's result, the value
    and check() agree with the whole-value path, and the incremental path of the oracle."""
    spec = json.dumps({"root": {"kind": "map", "fields": {"t": TEXT}}})
    init = json.dumps({"Map": {"t": {"Str": ""}}})
    docs = [norvane.CrdtDocument(spec, init, "a"), oracle.CrdtDocument(spec, init, "a"),
            oracle.CrdtDocument(spec, init, "a")]
    methods = ["mutate", "mutate_whole", "mutate"]
    rnd = random.Random(3)
    n = 0
    ids = []
    written = 0
    for call_number in range(36):
        batch = []
        for _ in range(0 if ids and call_number % 3 == 2 else rnd.choice([1, 40, 160])):
            if n and rnd.random() < 0.2:
                at = rnd.randrange(n)
                count = min(n - at, rnd.choice([1, 4]))
                batch.append({"kind": "sequence_splice", "path": [K("t")], "index": at, "delete_count": count,
                              "values": []})
                n -= count
            else:
                values = [{"Str": rnd.choice(CHARS)} for _ in range(rnd.choice([1, 1, 3]))]
                batch.append({"kind": "sequence_splice", "path": [K("t")], "index": rnd.randint(0, n),
                              "delete_count": 0, "values": values})
                n += len(values)
        if not batch:
            batch = [{"kind": "register_set", "path": [K("t"), {"kind": "element", "id": rnd.choice(ids)}],
                      "value": {"Str": rnd.choice(["x", "\u00fc", "two"])}} for _ in range(2)]
        got = [call(getattr(d, m), json.dumps(batch)) for d, m in zip(docs, methods)]
        assert got[0] == got[1] == got[2]
        assert got[0][0] == "ok" or batch[0]["kind"] == "register_set", got[0]
        written += got[0][0] == "ok" and batch[0]["kind"] == "register_set"
        if got[0][0] == "ok":
            ids = [op.get("after") for op in DECODER.raw_decode(got[0][1], len('{"ops":'))[0]
                   if op.get("after")] or ids
        docs[1].check()
        docs[2].check()
        assert docs[0].value() == docs[1].value() == docs[2].value()
    assert n > 1000 and written > 3


# ---- one change to a list, against lists full of equal values -----------------------------

LISTS = json.dumps({"root": {"kind": "map", "fields": {
    "ints": {"kind": "sequence"},
    "rows": {"kind": "sequence", "element": {"kind": "map"}},
    "set": {"kind": "set"},
    "keyed": {"kind": "set", "keys": [["id"]], "element": {"kind": "map"}},
}}})


def list_change(kind, at, v, w):
    """One mutation changing one list: values drawn from a few, so that equal
    elements stand before and after the place it changes."""
    if kind == 0:
        return {"kind": "sequence_splice", "path": [K("ints")], "index": at, "delete_count": 0,
                "values": [{"Int": x} for x in v]}
    if kind == 1:
        return {"kind": "sequence_splice", "path": [K("rows")], "index": at, "delete_count": 0,
                "values": [{"Map": {"a": {"Int": x}}} for x in v]}
    if kind == 2:
        return {"kind": "set_add", "path": [K("set")], "value": {"Int": v[0] * 3 + w}}
    if kind == 3:
        return {"kind": "set_add", "path": [K("keyed")], "value": {"Map": {"id": {"Int": v[0]}, "a": {"Int": w}}}}
    return None


@settings(max_examples=150)
@given(st.lists(st.integers(0, 2), min_size=0, max_size=12), st.lists(st.integers(0, 2), max_size=8),
       st.lists(st.tuples(st.integers(0, 5), st.integers(0, 20), st.lists(st.integers(0, 9), min_size=1, max_size=6),
                          st.integers(0, 2)), min_size=1, max_size=6))
def test_one_list_change_per_call_matches_the_diff(ints, rows, calls):
    init = json.dumps({"Map": {"ints": {"List": [{"Int": x} for x in ints]},
                               "rows": {"List": [{"Map": {"a": {"Int": x}}} for x in rows]},
                               "set": {"List": [{"Int": x} for x in range(0, 9, 2)]},
                               "keyed": {"List": [{"Map": {"id": {"Int": x}, "a": {"Int": 0}}} for x in range(3)]}}})
    state = norvane.CrdtDocument(LISTS, init, "a").state()
    doc = Twin(LISTS, state, "a")
    for kind, at, v, w in calls:
        value = json.loads(doc.fast.value())["Map"]
        if kind == 4 and value["rows"]["List"]:
            # A field of one map of the list.
            shown = visible_ids(json.loads(doc.fast.state())["root"]["entries"]["rows"]["node"])
            mutation = {"kind": "map_set", "path": [K("rows"), {"kind": "element", "id": shown[at % len(shown)]}],
                        "key": "a", "value": {"Int": w}}
        elif kind == 5:
            key = '[[["id"],{"Int":%d}]]' % (v[0] % 3)
            mutation = {"kind": "map_set", "path": [K("keyed"), {"kind": "member", "key": key}], "key": "a",
                        "value": {"Int": w}}
        else:
            mutation = list_change(min(kind, 3), at % (len(value["ints" if kind == 0 else "rows"]["List"]) + 1), v, w)
            if mutation is None:
                continue
        doc.mutate([mutation])
    doc.check()


@settings(max_examples=150)
@given(st.lists(st.integers(0, 2), max_size=12),
       st.lists(st.tuples(st.booleans(), st.integers(0, 20), st.integers(0, 3), st.lists(st.integers(0, 3), max_size=4)),
                min_size=1, max_size=5))
def test_list_splices_in_one_call_match_the_diff(ints, splices):
    """Deletions, replacements and insertions next to one another in one call, over
    lists of equal values, by splices and by deletions of element ids."""
    init = json.dumps({"Map": {"ints": {"List": [{"Int": x} for x in ints]}, "rows": {"List": []},
                               "set": {"List": []}, "keyed": {"List": []}}})
    doc = Twin(LISTS, norvane.CrdtDocument(LISTS, init, "a").state(), "a")
    shown = visible_ids(json.loads(doc.fast.state())["root"]["entries"]["ints"]["node"])
    length = len(ints)
    mutations = []
    for by_id, at, delete, values in splices:
        at = at % (length + 1)
        delete = min(delete, length - at)
        ids = shown[at:at + delete]
        if by_id and delete and None not in ids:
            mutations.append({"kind": "sequence_delete", "path": [K("ints")], "ids": ids})
            values = []
        else:
            mutations.append({"kind": "sequence_splice", "path": [K("ints")], "index": at, "delete_count": delete,
                              "values": [{"Int": x} for x in values]})
        shown[at:at + delete] = [None] * len(values)  # ids made in this call are not known here
        length += len(values) - delete
    doc.mutate(mutations)
    doc.check()


@pytest.mark.parametrize("mutations", [
    # one element for another, equal to an element after it
    [{"index": 1, "delete_count": 1, "values": [2]}],
    # one element for another, by two mutations of one call
    [{"index": 1, "delete_count": 1, "values": []}, {"index": 1, "delete_count": 0, "values": [9]}],
    # a run deleted, then values typed into its place one by one
    [{"index": 0, "delete_count": 2, "values": []}, {"index": 0, "delete_count": 0, "values": [7]},
     {"index": 1, "delete_count": 0, "values": [8]}, {"index": 1, "delete_count": 0, "values": [6]}],
    # a deletion in the middle (the diff moves elements up), and one at the end
    [{"index": 1, "delete_count": 1, "values": []}],
    [{"index": 3, "delete_count": 1, "values": []}],
    # an insertion after the replaced place: no longer one edit
    [{"index": 1, "delete_count": 1, "values": [5]}, {"index": 3, "delete_count": 0, "values": [5]}],
])
def test_list_edits_composed_in_one_call(mutations):
    init = json.dumps({"Map": {"ints": {"List": [{"Int": x} for x in (1, 0, 2, 2)]}, "rows": {"List": []},
                               "set": {"List": []}, "keyed": {"List": []}}})
    doc = Twin(LISTS, norvane.CrdtDocument(LISTS, init, "a").state(), "a")
    doc.mutate([{"kind": "sequence_splice", "path": [K("ints")], "index": m["index"],
                 "delete_count": m["delete_count"], "values": [{"Int": x} for x in m["values"]]} for m in mutations])
    doc.check()


@settings(max_examples=60)
@given(st.booleans(), st.lists(st.tuples(st.integers(0, 6), st.integers(0, 10**6), st.integers(0, 4)),
                               min_size=1, max_size=10))
def test_long_lists_edited_call_after_call(repeats, calls):
    """Lists long enough that their elements are counted, edited one call after another:
    replacements, insertions and deletions, with values that stand elsewhere in the
    list or nowhere, fields of maps of a list of maps, and calls that change a list in
    two places."""
    n = 300
    ints = [{"Int": (i % 5) if repeats else i} for i in range(n)]
    rows = [{"Map": {"a": {"Int": (i % 3) if repeats else i}}} for i in range(n)]
    init = json.dumps({"Map": {"ints": {"List": ints}, "rows": {"List": rows}, "set": {"List": []},
                               "keyed": {"List": []}}})
    doc = Twin(LISTS, norvane.CrdtDocument(LISTS, init, "a").state(), "a")
    for kind, at, v in calls:
        length = len(json.loads(doc.fast.value())["Map"]["ints"]["List"])
        at %= length
        if kind == 6:  # two places of the list in one call
            doc.mutate([{"kind": "sequence_splice", "path": [K("ints")], "index": i, "delete_count": 1,
                         "values": [{"Int": v + 7}]} for i in sorted({at, (at + length // 2) % length})])
            continue
        if kind == 0:  # one element for another
            mutation = {"kind": "sequence_splice", "path": [K("ints")], "index": at, "delete_count": 1,
                        "values": [{"Int": v}]}
        elif kind == 1:  # an insertion
            mutation = {"kind": "sequence_splice", "path": [K("ints")], "index": at, "delete_count": 0,
                        "values": [{"Int": v + 10 * (at % 2)}]}
        elif kind == 2:  # a deletion
            mutation = {"kind": "sequence_splice", "path": [K("ints")], "index": at, "delete_count": 1, "values": []}
        elif kind == 5:  # a value equal to what the list holds now at another place
            mutation = {"kind": "sequence_splice", "path": [K("ints")], "index": at, "delete_count": 1,
                        "values": [json.loads(doc.fast.value())["Map"]["ints"]["List"][(at * 7 + 1) % length]]}
        else:  # a field of one map of the list of maps
            shown = visible_ids(json.loads(doc.fast.state())["root"]["entries"]["rows"]["node"])
            mutation = {"kind": "map_set", "path": [K("rows"), {"kind": "element", "id": shown[at % len(shown)]}],
                        "key": "a", "value": {"Int": v if kind == 3 else at % 3}}
        doc.mutate([mutation])
    doc.check()


def test_long_list_counts_outgrow_their_table():
    """Replacements by new values, call after call, until the counts of the list are
    laid out again; every call's effect, and the counts, checked against the list."""
    init = json.dumps({"Map": {"ints": {"List": [{"Int": i} for i in range(256)]}, "rows": {"List": []},
                               "set": {"List": []}, "keyed": {"List": []}}})
    doc = Twin(LISTS, norvane.CrdtDocument(LISTS, init, "a").state(), "a")
    for j in range(300):
        doc.mutate([{"kind": "sequence_splice", "path": [K("ints")], "index": (j * 37) % 256, "delete_count": 1,
                     "values": [{"Int": 1000 + j if j % 3 else j % 256}]}])
    doc.check()


@pytest.mark.parametrize("others", [[], [3], [290], [3, 290], [3, 5, 150], [150, 151], [3, 150, 151, 290]])
def test_insertions_into_a_long_list_of_a_value_it_holds(others):
    """A value inserted at 150, call after call, into a long list that also holds it at
    `others` (150 and 151 stand for a run at the place): where the diff puts the
    insertion depends on whether it stands after the place, which the list's counts
    and the elements before the place answer together."""
    ints = [{"Int": 7 if i in others else 1000 + i} for i in range(300)]
    init = json.dumps({"Map": {"ints": {"List": ints}, "rows": {"List": []}, "set": {"List": []},
                               "keyed": {"List": []}}})
    doc = Twin(LISTS, norvane.CrdtDocument(LISTS, init, "a").state(), "a")
    for at in (150, 150, 149, 152, 0, 300):
        doc.mutate([{"kind": "sequence_splice", "path": [K("ints")], "index": at, "delete_count": 0,
                     "values": [{"Int": 7}]}])
    doc.check()


@pytest.mark.parametrize("field, key", [
    ("set", '{"Int":0}'), ("set", '{"Int":4}'), ("set", '{"Int":8}'),
    ("keyed", '[[["id"],{"Int":0}]]'), ("keyed", '[[["id"],{"Int":1}]]'), ("keyed", '[[["id"],{"Int":2}]]'),
])
def test_member_removed_from_a_set(field, key):
    # The first, a middle and the last member: the diff moves the members after it up.
    init = json.dumps({"Map": {"ints": {"List": []}, "rows": {"List": []},
                               "set": {"List": [{"Int": x} for x in range(0, 9, 2)]},
                               "keyed": {"List": [{"Map": {"id": {"Int": x}, "a": {"Int": 0}}} for x in range(3)]}}})
    doc = Twin(LISTS, norvane.CrdtDocument(LISTS, init, "a").state(), "a")
    doc.mutate([{"kind": "set_remove", "path": [K(field)], "key": key}])
    doc.check()


@pytest.mark.parametrize(("length", "index", "count"), [
    (12, 0, 3), (12, 0, 4), (12, 6, 5), (12, 11, 6), (12, 12, 9), (40, 1, 2), (40, 20, 5), (3, 1, 6)])
def test_values_inserted_into_a_list_at_the_diff_limit(length, index, count):
    # Past a few values inserted into the middle, the diff's greedy pass runs
    # over its limit and the effect is element by element.
    init = json.dumps({"Map": {"ints": {"List": [{"Int": i % 3} for i in range(length)]}, "rows": {"List": []},
                               "set": {"List": []}, "keyed": {"List": []}}})
    doc = Twin(LISTS, norvane.CrdtDocument(LISTS, init, "a").state(), "a")
    doc.mutate([{"kind": "sequence_splice", "path": [K("ints")], "index": index, "delete_count": 0,
                 "values": [{"Int": 10 + i} for i in range(count)]}])
    doc.check()


@pytest.mark.parametrize("ids", [[0.0, -0.0], [2.5, 1.0], [1, 1.0]])
def test_members_whose_identities_hold_floats(ids):
    # Distinct identities can be equal values (0.0 and -0.0, or Int 1 beside
    # Float 1.0): the effect of a write in one of them is the diff's.
    spec = json.dumps({"root": {"kind": "set", "keys": [["id"]], "element": {"kind": "map"}}})
    members = [{"Map": {"id": {"Float": i} if isinstance(i, float) else {"Int": i}, "a": {"Int": 0}}} for i in ids]
    doc = Twin(spec, norvane.CrdtDocument(spec, json.dumps({"List": members}), "a").state(), "a")
    for m in members:
        key = doc.fast.member_key("[]", json.dumps(m))
        doc.mutate([{"kind": "map_set", "path": [{"kind": "member", "key": key}], "key": "a", "value": {"Int": 0}}])
        doc.mutate([{"kind": "map_set", "path": [{"kind": "member", "key": key}], "key": "a", "value": {"Int": 5}}])
    doc.mutate([{"kind": "set_add", "path": [], "value": members[0]}])
    doc.check()


@pytest.mark.parametrize("write", [
    {"Int": 7},                        # equal to the map after it: the whole diff
    {"Int": 1},                        # equal to the map before it only
    {"Float": -0.0},                   # equal as a value to the map holding 0.0 after it
    {"Str": "q"},                      # equal to none
])
def test_field_of_one_map_in_a_list_of_maps(write):
    # The written map, and the map it was, looked for among the maps after it.
    rows = [{"Map": {"a": v, "b": {"Bool": True}}} for v in
            ({"Int": 1}, {"Int": 5}, {"Int": 2}, {"Int": 7}, {"Float": 0.0}, {"Int": 5})]
    init = json.dumps({"Map": {"ints": {"List": []}, "rows": {"List": rows}, "set": {"List": []},
                               "keyed": {"List": []}}})
    doc = Twin(LISTS, norvane.CrdtDocument(LISTS, init, "a").state(), "a")
    for index in (1, 2):
        element = {"kind": "element", "id": {"dot": {"counter": 0, "replica": "$init"}, "index": index}}
        doc.mutate([{"kind": "map_set", "path": [K("rows"), element], "key": "a", "value": write}])
    doc.check()


def hidden_identity_member():
    """A keyed set whose member 1 shows Null in its identity field: of the two
    concurrent adds, the winning write was removed by a removal that saw only it."""
    doc = Twin(LISTS, norvane.CrdtDocument(LISTS, json.dumps({"Map": {
        "ints": {"List": []}, "rows": {"List": []}, "set": {"List": []}, "keyed": {"List": []}}}), "a").state(), "a")
    key = '[[["id"],{"Int":1}]]'
    doc.apply([
        {"kind": "set_add", "dot": {"counter": 1, "replica": "p"}, "path": [K("keyed")],
         "value": {"Map": {"id": {"Int": 1}, "n": {"Int": 0}}}},
        {"kind": "set_add", "dot": {"counter": 1, "replica": "q"}, "path": [K("keyed")],
         "value": {"Map": {"id": {"Int": 1}, "n": {"Int": 1}}}},
        {"kind": "set_remove", "dot": {"counter": 2, "replica": "q"}, "path": [K("keyed")], "key": key,
         "removed": [{"counter": 1, "replica": "q"}]},
    ])
    assert json.loads(doc.fast.value())["Map"]["keyed"] == {"List": [{"Map": {"id": "Null", "n": "Null"}}]}
    return doc


@pytest.mark.parametrize("value", [
    {"Map": {"id": {"Int": 0}}},                    # its key sorts before member 1's, its value's after
    {"Map": {"id": {"Int": 2}}},
    {"Map": {"id": "Null", "n": "Null"}},           # equal to what member 1 shows, placed before it
])
def test_member_added_beside_one_whose_identity_shows_null(value):
    doc = hidden_identity_member()
    doc.mutate([{"kind": "set_add", "path": [K("keyed")], "value": value}])
    doc.check()


# ---- long lists edited call after call, held out of the kept value ------------------------

HELD_LENGTH = 1100  # past the length from which a list edited call after call is held


def held_change(target, rnd, model, a):
    """One mutation on `target` near the cursor or anywhere: insertions, deletions and
    replacements of ints (of values standing elsewhere too), a field of one map of
    the list of maps or a map inserted there, members of a set and a keyed set added,
    written or removed; `model` follows lengths, cursors and members."""
    n, at = model[target], model["cursor"]
    at = min(at, n) if rnd.random() < 0.8 else rnd.randint(0, n)
    if target == "ints":
        kind = rnd.choice(["insert", "insert", "insert", "delete", "replace"]) if n else "insert"
        at = min(at, n - 1) if kind != "insert" else at
        model["cursor"] = at + (kind == "insert")
        model[target] += {"insert": 1, "delete": -1}.get(kind, 0)
        return {"kind": "sequence_splice", "path": [K("ints")], "index": at, "delete_count": int(kind != "insert"),
                "values": [] if kind == "delete" else [{"Int": rnd.randrange(60)}]}
    if target == "rows":
        model["cursor"] = at
        if rnd.random() < 0.5 or not n:
            model[target] += 1
            return {"kind": "sequence_splice", "path": [K("rows")], "index": at, "delete_count": 0,
                    "values": [{"Map": {"a": {"Int": rnd.randrange(7)}}}]}
        shown = visible_ids(json.loads(a.fast.state())["root"]["entries"]["rows"]["node"])
        return {"kind": "map_set", "path": [K("rows"), {"kind": "element", "id": shown[min(at, n - 1)]}],
                "key": "a", "value": {"Int": rnd.randrange(7)}}
    members = model["members"][target]
    x = rnd.randrange(2 * HELD_LENGTH + 200)
    if target == "set":
        if x in members:
            members.discard(x)
            return {"kind": "set_remove", "path": [K("set")], "key": json.dumps({"Int": x}, separators=(",", ":"))}
        members.add(x)
        return {"kind": "set_add", "path": [K("set")], "value": {"Int": x}}
    key = ID_KEY(x)
    if x in members and rnd.random() < 0.5:
        return {"kind": "map_set", "path": [K("keyed"), M(key)], "key": "a", "value": {"Int": rnd.randrange(5)}}
    if x in members and rnd.random() < 0.5:
        members.discard(x)
        return {"kind": "set_remove", "path": [K("keyed")], "key": key}
    members.add(x)
    return {"kind": "set_add", "path": [K("keyed")], "value": {"Map": {"id": {"Int": x}, "a": {"Int": 0}}}}


@pytest.mark.parametrize("seed", range(3))
def test_long_lists_held_between_calls(seed):
    """Runs of calls that each edit one long list at one place, switching lists now
    and then, with calls that also change another list, read the value, or replace
    the list; a second replica receives the operations one per call and in batches.
    Every result is compared with the whole-value path, and the kept value (the held
    list read in its place) with the value materialised again."""
    rnd = random.Random(seed)
    init = json.dumps({"Map": {
        "ints": {"List": [{"Int": i % 50} for i in range(HELD_LENGTH)]},
        "rows": {"List": [{"Map": {"a": {"Int": i % 7}}} for i in range(HELD_LENGTH)]},
        "set": {"List": [{"Int": 2 * i} for i in range(HELD_LENGTH)]},
        "keyed": {"List": [{"Map": {"id": {"Int": 2 * i}, "a": {"Int": 0}}} for i in range(HELD_LENGTH)]}}})
    state = norvane.CrdtDocument(LISTS, init, "a").state()
    a, b = Twin(LISTS, state, "a"), Twin(LISTS, state, "b")
    targets = ["ints", "rows", "set", "keyed"]
    model = {t: HELD_LENGTH for t in targets}
    model.update(cursor=HELD_LENGTH // 2, members={t: {2 * i for i in range(HELD_LENGTH)} for t in ("set", "keyed")})
    target, pending = "ints", []
    for _ in range(120):
        if rnd.random() < 0.1:
            target, model["cursor"] = rnd.choice(targets), rnd.randint(0, HELD_LENGTH)
        mutations = [held_change(target, rnd, model, a)]
        roll = rnd.random()
        if roll < 0.08:
            mutations.append(held_change(rnd.choice(targets), rnd, model, a))
        elif roll < 0.1 and target == "ints":
            model["ints"] = HELD_LENGTH
            mutations.append({"kind": "map_set", "path": [], "key": "ints",
                              "value": {"List": [{"Int": i % 9} for i in range(HELD_LENGTH)]}})
        pending += a.mutate(mutations)
        roll = rnd.random()
        if roll < 0.05:
            a.check(value=False)  # reads the value
        elif roll < 0.35 and pending:
            if rnd.random() < 0.5:
                b.apply(pending)
            else:
                for op in pending:
                    b.apply([op])
            pending = []
    b.apply(pending)
    assert a.check() == b.check()


NESTED_SPEC = json.dumps({"root": {"kind": "map", "fields": {
    "m": {"kind": "map", "fields": {"l": LIST, "x": REG}}, "y": REG}}})


@pytest.mark.parametrize("change", [
    {"kind": "map_set", "path": [], "key": "m", "value": {"Map": {"l": {"List": [{"Int": 5}]}}}},
    {"kind": "map_set", "path": [], "key": "m", "value": {"Map": {"x": {"Int": 1}}}},  # shows as it was
    {"kind": "map_remove", "path": [], "key": "m"},
    {"kind": "map_remove", "path": [K("m")], "key": "l"},
    {"kind": "map_set", "path": [K("m")], "key": "x", "value": {"Int": 1}},
    {"kind": "register_set", "path": [K("y")], "value": {"Int": 2}},
])
@pytest.mark.parametrize("alone", [True, False], ids=["alone", "with an insertion"])
def test_held_list_below_a_map_changed_above_or_beside(change, alone):
    """A long list two maps down, held after calls that insert into it, then the map
    holding it replaced or removed, the list removed, or a field beside it written."""
    init = json.dumps({"Map": {"m": {"Map": {"l": {"List": [{"Int": i} for i in range(HELD_LENGTH)]},
                                             "x": {"Int": 1}}}}})
    doc = Twin(NESTED_SPEC, norvane.CrdtDocument(NESTED_SPEC, init, "a").state(), "a")
    insert = {"kind": "sequence_splice", "path": [K("m"), K("l")], "index": 7, "delete_count": 0,
              "values": [{"Int": -1}]}
    for _ in range(3):
        doc.mutate([insert])
    doc.mutate([change] if alone else [insert, change])
    doc.mutate([insert])
    doc.check()


def test_held_list_grows_past_its_room():
    """Hundreds of insertions of new values, one call each, at places moving back and
    forth through a held list (now and then a deletion or a value the list holds, whose
    effect is the whole diff): its room is widened again and again with elements on both
    sides of the place."""
    init = json.dumps({"Map": {"ints": {"List": [{"Int": i} for i in range(HELD_LENGTH)]}, "rows": {"List": []},
                               "set": {"List": []}, "keyed": {"List": []}}})
    doc = Twin(LISTS, norvane.CrdtDocument(LISTS, init, "a").state(), "a")
    length = HELD_LENGTH
    for j in range(400):
        at = (j * 389) % length
        delete = int(j % 170 == 0)
        doc.mutate([{"kind": "sequence_splice", "path": [K("ints")], "index": at, "delete_count": delete,
                     "values": [] if delete else [{"Int": j if j % 150 == 75 else 10_000 + j}]}])
        length += 1 - 2 * delete
    doc.check()


NESTED_TEXTS = json.dumps({"root": {"kind": "map", "values": {"kind": "map", "values": TEXT}}})


def splice_at(path, index, delete=0, chars=""):
    return {"kind": "sequence_splice", "path": path, "index": index, "delete_count": delete,
            "values": [{"Str": c} for c in chars]}


# Calls that edit a text, change what holds it, then edit the text found there again.
TEXT_THEN_HOLDER = [
    [splice_at([K("m"), K("t")], 1, 0, "xy"), {"kind": "map_set", "path": [K("m")], "key": "t", "value": {"Str": "new"}},
     splice_at([K("m"), K("t")], 0, 1, "z")],
    [splice_at([K("m"), K("t")], 1, 0, "xy"), {"kind": "map_set", "path": [], "key": "m",
                                               "value": {"Map": {"t": {"Str": "other"}}}},
     splice_at([K("m"), K("t")], 2, 0, "w")],
    [splice_at([K("m"), K("t")], 0, 0, "q"), {"kind": "map_remove", "path": [K("m")], "key": "t"},
     {"kind": "map_set", "path": [K("m")], "key": "t", "value": {"Str": "back"}}, splice_at([K("m"), K("t")], 4, 0, "!")],
    [splice_at([K("m"), K("t")], 0, 0, "q"), splice_at([K("m"), K("u")], 0, 0, "r"),
     splice_at([K("m"), K("t")], 1, 1), {"kind": "map_set", "path": [K("m")], "key": "t", "value": {"Str": ""}},
     splice_at([K("m"), K("t")], 0, 0, "s")],
]


@pytest.mark.parametrize("mutations", TEXT_THEN_HOLDER)
def test_text_edited_again_after_what_holds_it_changed(mutations):
    """One call, by mutate and by apply, and with a concurrent edit of the first text
    arriving after the holder changed: the sequence reached by the first edit is not the
    one the later edits find."""
    init = norvane.CrdtDocument(NESTED_TEXTS, json.dumps({"Map": {"m": {"Map": {"t": {"Str": "abc"}, "u": {"Str": "d"}}}}}),
                                "$x").state()
    a, b, c = (Twin(NESTED_TEXTS, init, r) for r in "abc")
    ops = a.mutate(mutations)
    assert ops
    a.check()
    late = c.mutate([splice_at([K("m"), K("t")], 1, 1, "L")])
    b.apply(ops + late)
    b.check()
    c.apply(ops)
    c.check()
    assert b.check() == c.check()
