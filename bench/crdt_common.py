"""What the CRDT benchmark scripts share: the peers, the document shapes, the output and its
rows, the time limit, and how each library's updates are gathered into batches.

Fairness rules kept by every workload:
- each library makes the same edits on a document of the same shape in the same run;
- a local change returns (or hands to a callback) what must be sent to the other replicas:
  norvane's mutate returns its operations, pycrdt's and loro's updates are captured by an
  update callback, inside the timed call;
- a batch received by a replica is the one update its users would receive for those edits:
  norvane's operation arrays joined into one array, pycrdt's updates merged by merge_updates,
  loro's one update exported from the version before the batch; all of them are prepared
  before the timer starts and only applying them is timed;
- norvane's mutation texts are written before the timer (its result texts are part of the call).
"""

import gc
import json
import math
import time
from importlib.metadata import version

try:
    import pycrdt
except ImportError:  # pragma: no cover
    pycrdt = None
try:
    import loro
except ImportError:  # pragma: no cover
    loro = None

REG = {"kind": "register"}
TEXT = {"kind": "sequence", "materialization": "string"}
LIST = {"kind": "sequence"}
ROW = {"kind": "map", "fields": {"title": REG, "done": REG, "rank": REG}}
USER = {"kind": "map", "fields": {
    "text": TEXT,
    "items": LIST,
    "rows": {"kind": "sequence", "element": ROW},
    "todos": {"kind": "set", "keys": [["id"]], "element": {"kind": "map", "fields": {
        "id": REG, "title": REG, "tags": LIST}}},
    "meta": {"kind": "map"},
    "labels": {"kind": "set"},
}}
USER_SPEC = json.dumps({"root": USER})
EMPTY = {"text": {"Str": ""}, "items": {"List": []}, "rows": {"List": []}, "todos": {"List": []},
         "meta": {"Map": {}}, "labels": {"List": []}}
LIST_SPEC = json.dumps({"root": LIST})
TEXT_SPEC = json.dumps({"root": TEXT})
MAP_ROOT_SPEC = json.dumps({"root": {"kind": "map"}})
MAP_SPEC = json.dumps({"root": {"kind": "map", "fields": {"m": {"kind": "map"}, "s": {"kind": "set"}}}})
LETTERS = "abcdefghijklmnopqrstuvwxyz"


def K(k):
    return {"kind": "key", "key": k}


def user_value(**fields):
    return json.dumps({"Map": {**EMPTY, **fields}})


def init_id(i):
    """The id of the i-th element of a sequence given in a document's initial value."""
    return {"dot": {"counter": 0, "replica": "$init"}, "index": i}


def ops_of(result):
    """The operation array of a mutate result (the text before its effect)."""
    return result[len('{"ops":'):result.index(',"effect":')]


def join_ops(arrays):
    """One operation array holding the operations of several, in order."""
    return "[" + ",".join(a[1:-1] for a in arrays if a != "[]") + "]"


def peer_versions():
    return "pycrdt %s, loro %s" % (version("pycrdt") if pycrdt else "missing", version("loro") if loro else "missing")


# ---- timing -------------------------------------------------------------------------------------


class no_gc:
    """The cyclic garbage collector off while timing, as timeit does: a collection of
    everything the process holds would land inside whichever call happens to run."""

    def __enter__(self):
        self.was = gc.isenabled()
        gc.disable()

    def __exit__(self, *exc):
        if self.was:
            gc.enable()


def timed(fn):
    with no_gc():
        t = time.perf_counter()
        out = fn()
        return time.perf_counter() - t, out


def best_of(fn, most=3, budget=1.0):
    """(seconds, result) of fn(): the fastest of its rounds (see fastest_rounds) and the first
    round's result. The first call of a kind in a process also pays for memory the process
    touches for the first time; every library is measured alike."""
    first = []

    def measure():
        t, out = timed(fn)
        if not first:
            first.append(out)
        return {"t": t}
    return fastest_rounds(measure, most, budget)["t"], first[0]


def _faster(a, b):
    """The faster of two times, or of two tuples of times (None: not timed)."""
    if isinstance(a, tuple):
        return tuple(_faster(x, y) for x, y in zip(a, b))
    return a if b is None else b if a is None else min(a, b)


def fastest_rounds(measure, most=3, budget=1.0):
    """measure() -> {key: seconds, or a tuple of seconds and None}, run again while the rounds so
    far took under `budget` seconds, at most `most` times; the fastest time of each key. A call of
    a few milliseconds is as short as the machine's own pauses; every library is measured alike."""
    best, spent = None, 0.0
    for _ in range(most):
        t0 = time.perf_counter()
        got = measure()
        spent += time.perf_counter() - t0
        best = got if best is None else {key: _faster(best[key], t) for key, t in got.items()}
        if spent > budget:
            break
    return best


def per_call(fn, budget=0.25, most=1000, least=3):
    """Seconds per call of fn, after one call not counted: as many calls as fit in
    `budget` seconds, at least `least` and at most `most`."""
    fn()
    pc = time.perf_counter
    with no_gc():
        start = pc()
        calls = 0
        while calls < least or (calls < most and pc() - start < budget):
            fn()
            calls += 1
        return (pc() - start) / calls


def each(fn, args, limit, keep=None):
    """Calls fn(a) for each a, timing every call alone; keep(result) runs outside the timer.
    Stops after the call that passes `limit` seconds of wall time. Returns the call times."""
    pc = time.perf_counter
    times = []
    start = pc()
    with no_gc():
        for a in args:
            t0 = pc()
            out = fn(a)
            t1 = pc()
            times.append(t1 - t0)
            if keep is not None:
                keep(out)
            if t1 - start > limit:
                break
    return times


def exponent(points):
    """Least-squares slope of log(seconds) against log(size) over (size, seconds) points."""
    pts = [(math.log(n), math.log(t)) for n, t in points if t > 0]
    if len(pts) < 2:
        return float("nan")
    mx = sum(x for x, _ in pts) / len(pts)
    my = sum(y for _, y in pts) / len(pts)
    den = sum((x - mx) ** 2 for x, _ in pts)
    return sum((x - mx) * (y - my) for x, y in pts) / den if den else float("nan")


def step_exponent(a, b):
    """The exponent between two (size, seconds) points."""
    if a[1] <= 0 or b[1] <= 0 or a[0] == b[0]:
        return float("nan")
    return math.log(b[1] / a[1]) / math.log(b[0] / a[0])


def grow(prev, n, exp):
    """The time of size n estimated from (size, seconds) of a smaller run."""
    return prev[1] * (n / prev[0]) ** exp if prev else 0.0


def us(seconds):
    return "%.2f µs" % (seconds * 1e6) if seconds < 1e-3 else "%.3f ms" % (seconds * 1e3) if seconds < 1 \
        else "%.3f s" % seconds


def count(n):
    return f"{n:,}"


# ---- output -------------------------------------------------------------------------------------


class Run:
    """The script's own output, the rows collected for run_all, and the time limit."""

    def __init__(self, log, limit):
        self.log, self.rows, self.limit = log, [], limit

    def add(self, operation, workload, ours, peer="-", theirs=None, unit="s"):
        self.rows.append((operation, workload, ours, peer, theirs, unit))

    def line(self, name, seconds, calls, ours=None):
        """One line: total, rate and, for a peer, peer time / norvane time."""
        rate = calls / seconds if seconds else float("inf")
        ratio = "" if ours is None else "  ratio %.3g" % (seconds / ours if ours else float("inf"))
        self.log("  %-44s %9.4f s  %12.0f ops/s%s" % (name, seconds, rate, ratio))

    def peers(self, operation, workload, ours, calls, pycrdt_fn=None, loro_fn=None, names=("pycrdt", "loro")):
        """Times each peer's workload and adds the rows (times per operation);
        a row of norvane alone when no peer runs it."""
        ran = False
        for lib, fn, name in ((pycrdt, pycrdt_fn, names[0]), (loro, loro_fn, names[1])):
            if lib is None or not fn:
                continue
            t, _ = timed(fn)
            self.line(name, t, calls, ours)
            self.add(operation, workload, ours / calls, name, t / calls)
            ran = True
        if not ran:
            self.add(operation, workload, ours / calls)

    def skip(self, operation, workload, why):
        self.log("  %-44s skipped: %s" % (workload, why))
        self.add(operation, workload + " (skipped: %s)" % why, None)

    def over(self, estimate):
        """The reason to skip a workload estimated at `estimate` seconds, or None."""
        return "estimated %.3g s, over the %g s limit" % (estimate, self.limit) if estimate > self.limit else None


# ---- peers' documents with the user shape ---------------------------------------------------------


class PycrdtUser:
    """A pycrdt document shaped like USER: a root map whose fields hold a Text, an Array, an
    Array of Maps, a Map of Maps standing for the keyed set, a Map, and a Map standing for the
    unkeyed set. `base` is the update that makes it; `updates` collects every later update
    (unless `capture` is false)."""

    def __init__(self, text="", items=(), rows=(), todos=(), meta=None, labels=(), capture=True):
        doc = self.doc = pycrdt.Doc()
        root = self.root = pycrdt.Map()
        doc["root"] = root
        with doc.transaction():
            root["text"] = pycrdt.Text(text)
            root["items"] = pycrdt.Array()
            root["rows"] = pycrdt.Array()
            root["todos"] = pycrdt.Map()
            root["meta"] = pycrdt.Map(meta or {})
            root["labels"] = pycrdt.Map({v: True for v in labels})
        arr = root["items"]
        for v in items:  # one transaction each: an Array built in one transaction costs quadratic time
            arr.append(v)
        arr = root["rows"]
        with doc.transaction():  # at the head, in reverse: appending maps costs quadratic time
            for r in reversed(rows):
                arr.insert(0, pycrdt.Map(r))
        members = root["todos"]
        with doc.transaction():
            for r in todos:
                members[str(r["id"])] = pycrdt.Map(r)
        self.base = doc.get_update()
        updates = self.updates = []
        if capture:
            # The callback holds the list, not this object: the document holds the callback, and a
            # cycle through it would keep the document alive after the workload drops it.
            self.sub = doc.observe(lambda ev: updates.append(ev.update))

    def __del__(self):
        # pycrdt keeps an observed document alive while its subscription stands.
        if getattr(self, "sub", None) is not None:
            self.doc.unobserve(self.sub)

    def field(self, name):
        return self.root[name]

    def replica(self):
        """A second replica holding the document as it was made."""
        doc = pycrdt.Doc()
        doc.apply_update(self.base)
        return doc

    @staticmethod
    def field_of(doc, name):
        return doc.get("root", type=pycrdt.Map)[name]


class LoroUser:
    """A loro document shaped like USER (see PycrdtUser); `base` is its snapshot once made,
    `updates` collects the update of every later commit (unless `capture` is false)."""

    def __init__(self, text="", items=(), rows=(), todos=(), meta=None, labels=(), capture=True):
        doc = self.doc = loro.LoroDoc()
        root = self.root = doc.get_map("root")
        t = root.insert_container("text", loro.LoroText())
        if text:
            t.insert(0, text)
        lst = root.insert_container("items", loro.LoroList())
        for i, v in enumerate(items):
            lst.insert(i, v)
        lst = root.insert_container("rows", loro.LoroList())
        for i, r in enumerate(rows):
            m = lst.insert_container(i, loro.LoroMap())
            for k, v in r.items():
                m.insert(k, v)
        m = root.insert_container("todos", loro.LoroMap())
        for r in todos:
            member = m.insert_container(str(r["id"]), loro.LoroMap())
            for k, v in r.items():
                member.insert(k, v)
        m = root.insert_container("meta", loro.LoroMap())
        for k, v in (meta or {}).items():
            m.insert(k, v)
        m = root.insert_container("labels", loro.LoroMap())
        for v in labels:
            m.insert(v, True)
        doc.commit()
        self.base = doc.export(loro.ExportMode.Snapshot())
        updates = self.updates = []
        if capture:
            # As for pycrdt: the callback holds the list, not this object.
            self.sub = doc.subscribe_local_update(lambda b: (updates.append(b), True)[1])

    def field(self, name):
        return self.root.get(name).container

    def replica(self):
        doc = loro.LoroDoc()
        doc.import_(self.base)
        return doc

    @staticmethod
    def field_of(doc, name):
        return doc.get_map("root").get(name).container


def pycrdt_batches(base, updates, size):
    """The updates merged in batches of `size`: what a replica receives for each batch."""
    return [updates[i] if size == 1 else pycrdt.merge_updates(*updates[i:i + size])
            for i in range(0, len(updates), size)]


def loro_batches(base, updates, size):
    """One update per batch of `size` commits, exported from the version before the batch."""
    if size == 1:
        return list(updates)
    doc = loro.LoroDoc()
    doc.import_(base)
    out = []
    for i in range(0, len(updates), size):
        vv = doc.oplog_vv
        doc.import_batch(updates[i:i + size])
        out.append(doc.export(loro.ExportMode.Updates(vv)))
    return out
