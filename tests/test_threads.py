"""Threads sharing one Store, one ClientState and one CrdtDocument.

The methods hold the interpreter lock throughout, so a call only ever meets another
thread's borrow while that call converts an id through a Python index method; the ids
here do, and give the lock away there. Every call either succeeds or fails with the
borrow error that fits its kind, and the objects end in the state that the successful
calls explain."""

import json
import random
import sys
import threading
import time

import pytest

import entry_points
import norvane
from norvane import ClientState, CrdtDocument, Store

THREADS = 8
ROUNDS = 400
SHARED_TEXT = "Already mutably borrowed"  # a shared method while the exclusive borrow is held
EXCLUSIVE_TEXT = "Already borrowed"  # an exclusive method while any borrow is held
MAP = json.dumps({"root": {"kind": "map", "fields": {"tags": {"kind": "set"}}}})
TAGS = '[{"kind":"key","key":"tags"}]'
BAD_PATCH = ('{"rev":0,"ops":[{"Set":{"path":[{"Key":"n"}],"value":{"List":["Null","Null"]}}},'
             '{"Remove":{"path":[{"Key":"n"},{"Index":5}]}}]}')


class Yielding:
    """An id whose conversion gives the interpreter lock to other threads."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


class Blocking:
    """An id whose conversion waits until the test lets it go."""

    def __init__(self, value):
        self.value = value
        self.inside = threading.Event()
        self.release = threading.Event()

    def __index__(self):
        self.inside.set()
        self.release.wait(10)
        return self.value


def dumps(obj):
    return json.dumps(obj, separators=(",", ":"))


class Calls:
    """Makes calls that must succeed or meet the borrow error of their kind."""

    def __init__(self):
        self.conflicts = 0
        self.problems = []
        self.called = set()  # the names of the methods called

    def __call__(self, exclusive, f, *args, fails=None):
        """(True, result), or (False, None) after the fitting borrow error or, for a
        call meant to fail, after ValueError with the text `fails`."""
        self.called.add(f.__name__)
        try:
            result = f(*args)
        except RuntimeError as e:
            expected = EXCLUSIVE_TEXT if exclusive else SHARED_TEXT
            if e.args != (expected,):
                self.problems.append(f"{f.__name__}: {e!r}, expected {expected!r}")
            self.conflicts += 1
            return False, None
        except ValueError as e:
            if e.args != (fails,):
                self.problems.append(f"{f.__name__}: {e!r}, expected {fails!r}")
            return False, None
        if fails is not None:
            self.problems.append(f"{f.__name__}{args!r} succeeded, expected {fails!r}")
        return True, result

    def check(self, what, got, expected):
        if got != expected:
            self.problems.append(f"{what}: {got!r} != {expected!r}")

    def run(self, work):
        """Runs work(t, rng) on THREADS threads at once, with frequent thread switches."""
        start = threading.Barrier(THREADS)

        def target(t):
            start.wait()
            try:
                work(t, random.Random(t))
            except BaseException as e:  # noqa: BLE001 - any other exception is a fault
                self.problems.append(f"thread {t}: {e!r}")

        old = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:
            threads = [threading.Thread(target=target, args=(t,)) for t in range(THREADS)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()
        finally:
            sys.setswitchinterval(old)
        assert self.problems == []


def instance_methods(cls):
    """The public methods of the class that work on an instance (static ones share nothing)."""
    return {m for m in entry_points.METHODS[cls.__name__] if not entry_points.is_static(f"{cls.__name__}.{m}")}


def ident(rng, value):
    return Yielding(value) if rng.random() < 0.5 else value


def model(t, k):
    return dumps({"Map": {"n": {"Int": k}, "owner": {"Str": f"t{t}"}}})


def store_shared_by_threads():
    store, calls = Store(), Calls()
    hosted = []  # ids of every successful host
    final = {}

    def work(t, rng):
        own = None
        while own is None:
            ok, own = calls(True, store.host, f"t{t}", model(t, 0))
        hosted.append(own)
        value, rev = model(t, 0), 0
        for k in range(1, ROUNDS):
            step = rng.randrange(4)
            if step == 0:
                ok, patch = calls(True, store.mutate, ident(rng, own), model(t, k))
                if ok:
                    rev += 1
                    calls.check("mutate revision", json.loads(patch)["rev"], rev)
                    calls.check("mutate patch", norvane.apply(value, patch), model(t, k))
                    value = model(t, k)
            elif step == 1:
                rev_next = rng.choice([rev + 1, rev, max(rev - 1, 0)])
                patch = dumps({"rev": rev_next, "ops": [{"Set": {"path": [{"Key": "n"}], "value": {"Int": -k}}}]})
                ok, known = calls(True, store.apply, ident(rng, own), patch)
                if ok:
                    calls.check("apply result", known, True)
                    value, rev = norvane.apply(value, patch), rev_next
            elif step == 2:
                other = rng.choice(hosted)
                ok, snap = calls(False, store.snapshot, ident(rng, other))
                if ok and other == own:
                    calls.check("own snapshot", json.loads(snap),
                                {"rev": rev, "type_name": f"t{t}", "value": json.loads(value)})
                elif ok:
                    calls.check("other snapshot", list(json.loads(snap)), ["rev", "type_name", "value"])
            elif rng.random() < 0.5:
                ok, extra = calls(True, store.host, "extra", '"Null"')
                if ok:
                    hosted.append(extra)
            else:
                # a failing patch changes nothing and releases the borrow
                calls(True, store.apply, ident(rng, own), BAD_PATCH, fails="remove index 5 out of bounds (len 2)")
        final[own] = (rev, f"t{t}", value)

    calls.run(work)
    assert calls.conflicts > 0
    assert calls.called == instance_methods(Store)
    assert sorted(hosted) == list(range(1, len(hosted) + 1))
    assert store.host("last", '"Null"') == len(hosted) + 1
    for own, (rev, name, value) in final.items():
        assert store.snapshot(own) == dumps({"rev": rev, "type_name": name, "value": json.loads(value)})


def client_state_shared_by_threads():
    state, calls = ClientState(), Calls()
    final = {}

    def work(t, rng):
        mid = t + 1
        pending, rev = set(), None
        for k in range(1, ROUNDS):
            step = rng.randrange(6)
            if step == 0 and k % 5 == 0:
                calls(True, state.proposal, ident(rng, mid), "[]", f"auto-{k}",
                      fails="proposal identifiers matching 'auto-N' are reserved")
            elif step == 0:
                pid = f"t{t}-{k}"
                ok, text = calls(True, state.proposal, ident(rng, mid), "[ ]", pid)
                if ok:
                    calls.check("proposal", text, dumps(
                        {"t": "patch", "id": mid, "patch": {"rev": 0, "ops": []}, "proposal": pid}))
                    pending.add(pid)
            elif step == 1:
                pid = f"t{t}-{rng.randrange(1, k + 1)}"
                ok, was = calls(True, state.abandon, pid)
                if ok:
                    calls.check("abandon", was, pid in pending)
                    pending.discard(pid)
            elif step == 2:
                ok, _ = calls(True, state.commit, dumps({"effect": "snapshot", "id": mid, "rev": k}))
                if ok:
                    rev = k
            elif step == 3 and rev is not None:
                msg = dumps({"t": "patch", "id": mid, "patch": {"rev": rev + 1, "ops": []}})
                ok, effect = calls(False, state.prepare, msg)
                if ok:
                    calls.check("prepare", effect, dumps({"effect": "patch", "id": mid, "rev": rev + 1}))
            elif step == 4:
                ok, text = calls(False, state.revisions)
                if ok:
                    calls.check("revisions", json.loads(text).get(str(mid)), rev)
            else:
                ok, names = calls(False, state.pending)
                if ok:
                    calls.check("pending", {n for n in names if n.startswith(f"t{t}-")}, pending)
                    calls.check("pending order", names, sorted(names))
        final[mid] = (rev, pending)

    calls.run(work)
    assert calls.conflicts > 0
    revisions = {str(m): rev for m, (rev, _) in sorted(final.items()) if rev is not None}
    assert state.revisions() == dumps(revisions)
    proposals = sorted(p for _, names in final.values() for p in names)
    assert calls(True, state.disconnect) == (True, dumps({"effect": "disconnect", "proposals": proposals}))
    assert calls.called == instance_methods(ClientState)
    assert state.pending() == []


def contiguous_frontier(state_text, replica):
    """The highest counter up to which the replica's dots are all known."""
    context = json.loads(state_text)["context"]
    top = context.get("compacted", {}).get(replica, 0)
    dots = {d["counter"] for d in context.get("dots", []) if d["replica"] == replica}
    while top + 1 in dots:
        top += 1
    return top


def crdt_document_shared_by_threads():
    doc, calls = CrdtDocument(MAP, '{"Map":{}}', "a"), Calls()
    all_ops = []
    final = {}

    def work(t, rng):
        mine = CrdtDocument(MAP, '{"Map":{}}', f"r{t}")
        own = {}  # this thread's keys in the shared document

        def set_op(key, k):
            return dumps([{"kind": "map_set", "path": [], "key": key, "value": {"Int": k}}])

        for k in range(1, ROUNDS):
            step = rng.randrange(6)
            if step == 0 and k % 5 == 0:
                half = set_op(f"k{t}", -k)[:-1] + ',{"kind":"register_set","path":[],"value":"Null"}]'
                calls(True, doc.mutate, half, fails="register_set path does not address a register")
            elif step == 0:
                ok, out = calls(True, doc.mutate, set_op(f"k{t}", k))
                if ok:
                    all_ops.extend(json.loads(out)["ops"])
                    own[f"k{t}"] = {"Int": k}
            elif step == 1:
                ops = json.loads(mine.mutate(set_op(f"j{t}", k)))["ops"]
                ok, out = calls(True, doc.apply, dumps(ops))
                if ok:
                    calls.check("apply count", json.loads(out)["applied"], 1)
                    all_ops.extend(ops)
                    own[f"j{t}"] = {"Int": k}
            elif step in (2, 3):
                ok, text = calls(False, doc.value if step == 2 else doc.state)
                if ok:
                    if step == 3:
                        text = CrdtDocument.from_state(MAP, text, "z").value()
                    entries = json.loads(text)["Map"]
                    calls.check("own keys", {key: entries.get(key) for key in (f"k{t}", f"j{t}") if key in own},
                                own)
            elif step == 4:
                ok, text = calls(False, doc.state)
                if ok:
                    frontier = contiguous_frontier(text, "a")
                    ok, purged = calls(True, doc.compact, dumps({"a": frontier}))
                    if ok:
                        calls.check("purged", purged >= 0, True)
            else:
                ok, key = calls(False, doc.member_key, TAGS, '{"Str":"x"}')
                if ok:
                    calls.check("member key", key, '{"Str":"x"}')
        final.update(own)

    calls.run(work)
    assert calls.called == instance_methods(CrdtDocument)
    value = doc.value()
    assert json.loads(value) == {"Map": final}
    assert CrdtDocument.from_state(MAP, doc.state(), "z").value() == value
    # A replica that receives every successful operation, in any order, agrees.
    random.Random(0).shuffle(all_ops)
    replay = CrdtDocument(MAP, '{"Map":{}}', "z")
    for i in range(0, len(all_ops), 7):
        replay.apply(dumps(all_ops[i:i + 7]))
    assert replay.value() == value


# One run per class of the module: a class added to it needs one here.
SHARED_BY_THREADS = {
    "Store": store_shared_by_threads,
    "ClientState": client_state_shared_by_threads,
    "CrdtDocument": crdt_document_shared_by_threads,
}


@pytest.mark.parametrize("cls", entry_points.CLASSES)
def test_object_shared_by_threads(cls):
    assert cls in SHARED_BY_THREADS, "no run for this class"
    SHARED_BY_THREADS[cls]()


STORE_DOC = '{"Int":1}'


# Each method of the class: whether it takes the exclusive borrow, and a call of it.
def store_probes(s):
    return {
        "snapshot": (False, lambda: s.snapshot(1)),
        "host": (True, lambda: s.host("t", STORE_DOC)),
        "mutate": (True, lambda: s.mutate(1, STORE_DOC)),
        "apply": (True, lambda: s.apply(1, '{"rev":0,"ops":[]}')),
    }


def client_probes(c):
    return {
        "prepare": (False, lambda: c.prepare('{"t":"ack","id":1,"rev":1,"proposal":"p"}')),
        "revisions": (False, c.revisions),
        "pending": (False, c.pending),
        "commit": (True, lambda: c.commit('{"effect":"snapshot","id":1,"rev":1}')),
        "proposal": (True, lambda: c.proposal(1, "[]", "p")),
        "abandon": (True, lambda: c.abandon("p")),
        "disconnect": (True, c.disconnect),
    }


def store_holder(s, blocking, exclusive):
    return (lambda: s.mutate(blocking, STORE_DOC)) if exclusive else (lambda: s.snapshot(blocking))


# No shared method of ClientState converts an id, so only its exclusive borrow can be held.
@pytest.mark.parametrize("kind, exclusive", [("store", True), ("store", False), ("client", True)])
def test_borrow_held_by_another_thread(kind, exclusive):
    """While one thread holds a borrow, each method called from another thread fails or
    succeeds exactly as its kind says; afterwards the holder's call completes."""
    if kind == "store":
        obj = Store()
        obj.host("t", STORE_DOC)
        blocking = Blocking(1)
        hold = store_holder(obj, blocking, exclusive)
        probes = store_probes(obj)
    else:
        obj = ClientState()
        blocking = Blocking(1)
        hold = lambda: obj.proposal(blocking, "[]", "held")  # noqa: E731
        probes = client_probes(obj)
    assert set(probes) == instance_methods(type(obj))
    probes = list(probes.values())
    result = []
    holder = threading.Thread(target=lambda: result.append(hold()))
    holder.start()
    try:
        assert blocking.inside.wait(10)
        seen = []
        for probe_exclusive, probe in probes:
            try:
                probe()
                seen.append(None)
            except RuntimeError as e:
                seen.append(e.args)
    finally:
        blocking.release.set()
        holder.join()
    expected = [(EXCLUSIVE_TEXT,) if probe_exclusive else (SHARED_TEXT,) if exclusive else None
                for probe_exclusive, _ in probes]
    assert seen == expected
    assert len(result) == 1
    # every borrow was released: each method works again
    for _, probe in probes:
        probe()
