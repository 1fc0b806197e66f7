"""CRDT document benchmark against pycrdt and loro on the same workloads, in one run.

  python bench/bench_crdt.py [--quick | --smoke] [--only SECTIONS] [--trace PATH] [--limit SECONDS] ...

Documents are shaped as users build them: a map whose fields hold a text, a list, a list of maps,
a keyed set of maps, a map and a set (and, in places, a bare map, text or list at the root).
 (1) a recorded editing trace (bench/data, or --trace PATH) typed into a text below a map field,
     one mutate per patch; the operations received by a second replica in calls of 1 and of
     1,000 patches; per-edit cost along the trace (first and last 10%), totals and ratios;
 (2) a synthetic trace (a cursor that mostly moves forward, about 10% deletions) typed into a
     text and a list, below a map field and at the root, received the same way;
 (3) one mutate against the document size: one splice in the middle of a text or a list of ints,
     one field of one map in a list of maps, one map_set into a map of n keys, and 1,000
     insertions at random places into a text made by n such insertions;
 (4) N map_set on a map root and N set_add in one call, mutate and apply;
 (5) one call holding N = 1k to 64k operations on a text below a map field: random deletions
     (by sequence_delete and by splices) and typed characters, mutate and apply, with the
     exponent fitted over N;
 (6) one operation per call on a keyed and an unkeyed set of 1k and 64k members (add, write in a
     member, remove) and on one map of a list of 1k and 64k maps;
 (7) one call per change on nested shapes (lists inside set members, a growing list of maps);
 (8) compact with a frontier that names R replicas (peers have no counterpart);
 (9) state() and from_state in MB/s of state text against the document size;
(10) memory per typed character (RSS growth), a fresh process per library and size.
Ratios are peer time / norvane time (> 1: norvane is faster). Batches are compared like with
like: a peer receives the one update its users would receive for the batch, prepared before the
timer (see crdt_common.py). A workload whose estimated time exceeds --limit seconds is skipped or
cut short, and the output says so. --quick runs in under a minute, --smoke in seconds. rows()
returns the figures as table rows for bench/run_all.py.
"""

import argparse
import itertools
import json
import random

import norvane
from crdt_common import (K, LETTERS, LIST_SPEC, LoroUser, MAP_ROOT_SPEC, MAP_SPEC, PycrdtUser, Run, TEXT_SPEC,
                         USER_SPEC, best_of, count, each, exponent, fastest_rounds, grow, init_id, loro, ops_of,
                         peer_versions, per_call, pycrdt, step_exponent, timed, us, user_value)
from crdt_memory import section_memory
from crdt_trace import RECORDED, section_recorded, section_synthetic

SECTIONS = ("trace", "synthetic", "curves", "batches", "many", "sets", "shapes", "compact", "state", "memory")
DEFAULTS = dict(
    trace=None, patches=None,              # (1) the recorded trace, all its patches
    edits=10_000,                          # (2) length of the synthetic trace
    sizes=None,                            # (3) None: each curve's own sizes (CURVES)
    batches=(1_000, 4_000, 16_000),        # (4)
    many=(1_000, 2_000, 4_000, 8_000, 16_000, 32_000, 64_000),  # (5)
    sets=(1_000, 64_000),                  # (6)
    map_ops=3_000,                         # (7)
    replicas=(4_000, 16_000),              # (8)
    states=(10_000, 100_000, 1_000_000),   # (9) text lengths; lists of maps up to 100k
    memory=(100_000, 1_000_000), memory_limit=60.0,  # (10)
    limit=40.0)
QUICK = dict(DEFAULTS, patches=5_000, edits=2_000, sizes=(1_000, 10_000), batches=(1_000,), many=(1_000, 2_000, 4_000),
             sets=(1_000, 4_000), map_ops=1_000, replicas=(4_000,), states=(1_000, 10_000), memory=(10_000, 50_000),
             memory_limit=10.0, limit=2.0)
SMOKE = dict(DEFAULTS, patches=300, edits=200, sizes=(100,), batches=(100,), many=(100, 200), sets=(100,), map_ops=100,
             replicas=(100,), states=(100,), memory=(1_000,), memory_limit=5.0, limit=1.0)
TEXT_PATH = json.dumps([K("text")])


def splice(path, index, delete, values=""):
    return '{"kind":"sequence_splice","path":%s,"index":%d,"delete_count":%d,"values":[%s]}' % (
        path, index, delete, values)


def calls(mutations):
    """One mutation per call: the texts."""
    return ["[%s]" % m for m in mutations]


def one_call(mutations):
    return "[%s]" % ",".join(mutations)


def member(i):
    return '[[["id"],{"Int":%d}]]' % i


def rows_of(n):
    return [{"title": "t%d" % i, "done": False, "rank": i} for i in range(n)]


def tagged_rows(n):
    return {"List": [{"Map": {"title": {"Str": "t%d" % i}, "done": {"Bool": False}, "rank": {"Int": i}}}
                     for i in range(n)]}


def flip(k, field="done"):
    """Two mutations setting one field of the k-th map of the list of maps, to alternate."""
    path = json.dumps([K("rows"), {"kind": "element", "id": init_id(k)}])
    return ['[{"kind":"map_set","path":%s,"key":"%s","value":{"Bool":%s}}]' % (path, field, v)
            for v in ("true", "false")]


def alternate(fn, args):
    """A call applying fn to the arguments in turn."""
    it = itertools.cycle(args)
    return lambda: fn(next(it))


def pycrdt_row(made, k):
    arr, flag = made.field("rows"), itertools.cycle((True, False))

    def call():
        arr[k]["done"] = next(flag)
    return call


def loro_row(made, k):
    lst, doc, flag = made.field("rows"), made.doc, itertools.cycle((True, False))

    def call():
        lst.get(k).container.insert("done", next(flag))
        doc.commit()
    return call


# ---- (3) one call against the document size ---------------------------------------------------------


class Curve:
    """One mutate of one operation against the document size n: norvane(n) gives the document
    and the call; pycrdt(n) and loro(n) the peer's call, or None where the peer has no counterpart."""

    def __init__(self, label, sizes, norvane_call, pycrdt_call=None, loro_call=None):
        self.label, self.sizes = label, sizes
        self.norvane, self.pycrdt, self.loro = norvane_call, pycrdt_call, loro_call


def curve_text(n):
    doc = norvane.CrdtDocument(USER_SPEC, user_value(text={"Str": "x" * n}), "a")
    return alternate(doc.mutate, ["[%s]" % splice(TEXT_PATH, n // 2, 0, '{"Str":"y"}')])


def curve_list(n):
    doc = norvane.CrdtDocument(USER_SPEC, user_value(items={"List": [{"Int": i} for i in range(n)]}), "a")
    return alternate(doc.mutate, ["[%s]" % splice(json.dumps([K("items")]), n // 2, 0, '{"Int":1}')])


def curve_rows(n):
    doc = norvane.CrdtDocument(USER_SPEC, user_value(rows=tagged_rows(n)), "a")
    return alternate(doc.mutate, flip(n // 2))


def curve_map(n):
    doc = norvane.CrdtDocument(USER_SPEC, user_value(meta={"Map": {"k%d" % i: {"Int": i} for i in range(n)}}), "a")
    return alternate(doc.mutate, ['[{"kind":"map_set","path":[{"kind":"key","key":"meta"}],"key":"x",'
                                  '"value":{"Int":%d}}]' % v for v in (1, 2)])


def curve_root(spec, value, mutation):
    def make(n):
        doc = norvane.CrdtDocument(spec, value(n), "a")
        return alternate(doc.mutate, [mutation(n)])
    return make


def scattered(n, seed=7):
    """(index, character) of n single insertions at random places into a growing text."""
    rnd = random.Random(seed)
    return [(rnd.randint(0, i), LETTERS[i % 26]) for i in range(n)]


def scattered_call(places):
    return one_call(splice(TEXT_PATH, at, 0, '{"Str":"%s"}' % c) for at, c in places)


def curve_scattered(n):
    """A text made by n insertions at random places, in calls of 1,000: as many short runs as
    characters. The timed call makes 1,000 more."""
    doc = norvane.CrdtDocument(USER_SPEC, user_value(), "a")
    places = scattered(n + 1000)
    for i in range(0, n, 1000):
        doc.mutate(scattered_call(places[i:min(n, i + 1000)]))
    return alternate(doc.mutate, [scattered_call(places[n:])])


def loro_scattered(n):
    """loro's counterpart of curve_scattered, one commit per 1,000 insertions."""
    made = LoroUser()
    text, places = made.field("text"), scattered(n + 1000)

    def insert(batch):
        for at, c in batch:
            text.insert(at, c)
        made.doc.commit()
    for i in range(0, n, 1000):
        insert(places[i:min(n, i + 1000)])
    return lambda: insert(places[n:])


def peer_insert(field, value):
    def make(made, n):
        seq = made.field(field)
        if pycrdt and isinstance(made, PycrdtUser):
            return lambda: seq.insert(n // 2, value)
        doc = made.doc

        def call():
            seq.insert(n // 2, value)
            doc.commit()
        return call
    return make


def peer_map_set(made, n):
    m, v = made.field("meta"), itertools.cycle((1, 2))
    if isinstance(made, PycrdtUser):
        return lambda: m.__setitem__("x", next(v))
    doc = made.doc

    def call():
        m.insert("x", next(v))
        doc.commit()
    return call


def peers_of(shape, call):
    """The peers' calls on a document of the user shape made by shape(n)."""
    out = []
    if pycrdt:
        out.append(("pycrdt", lambda n: call(PycrdtUser(**shape(n)), n)))
    if loro:
        out.append(("loro", lambda n: call(LoroUser(**shape(n)), n)))
    return out


CURVES = [
    ("one splice in the middle of a text below a map field", (1_000, 10_000, 100_000, 1_000_000), curve_text,
     peers_of(lambda n: dict(text="x" * n), peer_insert("text", "y"))),
    ("one splice in the middle of a list of ints below a map field", (1_000, 10_000, 100_000), curve_list,
     peers_of(lambda n: dict(items=range(n)), peer_insert("items", 1))),
    ("one field of one map in a list of maps (3 register fields)", (1_000, 10_000, 100_000), curve_rows,
     peers_of(lambda n: dict(rows=rows_of(n)), lambda made, n: (
         pycrdt_row if isinstance(made, PycrdtUser) else loro_row)(made, n // 2))),
    ("one map_set into a map field of n keys", (1_000, 10_000, 100_000), curve_map,
     peers_of(lambda n: dict(meta={"k%d" % i: i for i in range(n)}), peer_map_set)),
    # pycrdt walks a text's items to find a place: at n = 100,000 one such call takes it
    # seconds, so only loro stands beside this row.
    ("1,000 insertions at random places into a text made by n of them, below a map field",
     (10_000, 100_000), curve_scattered, [("loro", loro_scattered)] if loro else []),
    ("one splice in the middle of a text at the root", (1_000, 10_000, 100_000),
     curve_root(TEXT_SPEC, lambda n: json.dumps({"Str": "x" * n}),
                lambda n: "[%s]" % splice("[]", n // 2, 0, '{"Str":"y"}')), []),
    ("one splice in the middle of a list of ints at the root", (1_000, 10_000, 100_000),
     curve_root(LIST_SPEC, lambda n: json.dumps({"List": [{"Int": i} for i in range(n)]}),
                lambda n: "[%s]" % splice("[]", n // 2, 0, '{"Int":1}')), []),
]


def section_curves(run, sizes=None):
    run.log("\n(3) one mutate against the document size (per call, after one call not counted; the peers "
            "capture the update to send, as norvane returns its operations)")
    operation = "mutate, one call"
    for label, own_sizes, make, peer_calls in CURVES:
        run.log("  %s" % label)
        points = {}
        last = None
        for n in sizes or own_sizes:
            workload = "%s, n = %s" % (label, count(n))
            why = run.over(grow(last, n, 1))
            if why:
                run.skip(operation, workload, why)
                continue
            t_make, call = timed(lambda: make(n))
            per = per_call(call)
            last = (n, t_make + per * 10)
            points.setdefault("norvane", []).append((n, per))
            line = "    n=%-10s norvane %11s  %8.2f ns/element" % (count(n), us(per), per / n * 1e9)
            ran = False
            for name, peer in peer_calls:
                pper = per_call(peer(n))
                points.setdefault(name, []).append((n, pper))
                line += "   %s %s (ratio %.3g)" % (name, us(pper), pper / per)
                run.add(operation, workload, per, name, pper)
                ran = True
            if not ran:
                run.add(operation, workload, per)
            run.log(line)
        log_exponents(run, points)


def log_exponents(run, points):
    """The exponents between consecutive sizes and the fitted one, per library."""
    for name, pts in points.items():
        if len(pts) > 1:
            steps = " ".join("%.2f" % step_exponent(a, b) for a, b in zip(pts, pts[1:]))
            run.log("    exponent %-8s fitted %.2f   between sizes: %s" % (name, exponent(pts), steps))


# ---- (4) and (5): N operations in one call ------------------------------------------------------------


class Batch:
    """N operations in one call: norvane's mutate and the apply of its operations on a second
    replica; each peer's N operations in one transaction (or commit) and the apply of its one
    update on a second replica. `pycrdt_act`/`loro_act` take the peer's document."""

    def __init__(self, spec, value, mutations, pycrdt_make=None, pycrdt_act=None, loro_make=None, loro_act=None,
                 apply=True):
        self.spec, self.value, self.mutations, self.apply = spec, value, mutations, apply
        self.peers = []
        if pycrdt and pycrdt_act:
            self.peers.append(("pycrdt", pycrdt_make, pycrdt_act))
        if loro and loro_act:
            self.peers.append(("loro", loro_make, loro_act))


def run_batch(batch, skip=()):
    """{library: (mutate seconds, apply seconds or None)}, leaving out the peers named in `skip`;
    every receiver is checked against its sender."""
    doc = norvane.CrdtDocument(batch.spec, batch.value, "a")
    t_m, result = timed(lambda: doc.mutate(batch.mutations))
    out = {"norvane": (t_m, None)}
    if batch.apply:
        ops = ops_of(result)
        other = norvane.CrdtDocument(batch.spec, batch.value, "b")
        t_a, _ = timed(lambda: other.apply(ops))
        if other.value() != doc.value():
            raise AssertionError("norvane's second replica differs from the first")
        out["norvane"] = (t_m, t_a)
    for name, make, act in batch.peers:
        if name in skip:
            continue
        made = make()
        t_m, _ = timed(lambda: act(made))
        if len(made.updates) != 1:
            raise AssertionError("%s made %d updates in one transaction" % (name, len(made.updates)))
        t_a = None
        if batch.apply:
            replica = made.replica()
            t_a, _ = timed(lambda: (replica.apply_update if name == "pycrdt" else replica.import_)(made.updates[0]))
            same = (replica.get("root", type=pycrdt.Map).to_py() == made.root.to_py() if name == "pycrdt"
                    else replica.get_deep_value() == made.doc.get_deep_value())
            if not same:
                raise AssertionError("%s's second replica differs from the first" % name)
        out[name] = (t_m, t_a)
    return out


def section_batch_curve(run, title, label, sizes, make, exp):
    """Runs make(n) -> Batch for each n (skipping the sizes estimated over the limit) and logs
    the mutate and apply times per size, the ratios and the exponents. A peer is left out of the
    larger sizes once its own estimate passes half the limit (pycrdt's cost of many operations in
    one transaction grows faster than linearly)."""
    run.log("  %s" % title)
    points, table = {}, {"mutate": [], "apply": []}
    last, peers_last, left_out = None, {}, set()
    for n in sizes:
        workload = "%s, N = %s" % (label, count(n))
        why = run.over(grow(last, n, exp))
        if why:
            run.skip("mutate, N operations in one call, per operation", workload, why)
            table["mutate"].append(run.rows.pop())
            continue
        for name, prev in peers_last.items():
            estimate = grow(prev[-1], n, max(exp, step_exponent(*prev[-2:]) if len(prev) > 1 else exp))
            if name not in left_out and estimate > run.limit / 2:
                run.log("    %s left out from N = %s on: estimated %.0f s" % (name, count(n), estimate))
                left_out.add(name)
        got = fastest_rounds(lambda: run_batch(make(n), left_out))
        ours = got["norvane"]
        last = (n, ours[0] + (ours[1] or 0))
        for name, theirs in got.items():
            if name != "norvane":
                peers_last.setdefault(name, []).append((n, theirs[0] + (theirs[1] or 0)))
        for at, verb in ((0, "mutate"), (1, "apply")):
            if ours[at] is None:
                continue
            operation = "%s, N operations in one call, per operation" % verb
            points.setdefault("norvane " + verb, []).append((n, ours[at]))
            line = "    N=%-8s %-6s norvane %11s  %9s/op" % (count(n), verb, us(ours[at]), us(ours[at] / n))
            for name, theirs in got.items():
                if name == "norvane" or theirs[at] is None:
                    continue
                points.setdefault("%s %s" % (name, verb), []).append((n, theirs[at]))
                line += "   %s %s (ratio %.3g)" % (name, us(theirs[at]), theirs[at] / ours[at])
                table[verb].append((operation, workload, ours[at] / n, name, theirs[at] / n, "s"))
            if len(got) == 1:
                table[verb].append((operation, workload, ours[at] / n, "-", None, "s"))
            run.log(line)
    log_exponents(run, points)
    run.rows.extend(table["mutate"] + table["apply"])  # the rows of mutate together, then those of apply


def pycrdt_in_one(fn):
    """A peer action: fn(made) inside one pycrdt transaction."""
    def act(made):
        with made.doc.transaction():
            fn(made)
    return act


def loro_in_one(fn):
    """A peer action: fn(made), then one loro commit."""
    def act(made):
        fn(made)
        made.doc.commit()
    return act


def section_batches(run, sizes):
    run.log("\n(4) N map_set on a map root, N set_add below a map field, in one call (the peers: one "
            "transaction or commit, and its one update applied)")

    def map_sets(n):
        mutations = one_call('{"kind":"map_set","path":[],"key":"k%d","value":{"Int":%d}}' % (i, i) for i in range(n))

        def fill(made):
            m = made.root
            for i in range(n):
                if isinstance(made, PycrdtUser):
                    m["k%d" % i] = i
                else:
                    m.insert("k%d" % i, i)
        return Batch(MAP_ROOT_SPEC, '{"Map":{}}', mutations, PycrdtUser, pycrdt_in_one(fill), LoroUser,
                     loro_in_one(fill))

    def set_adds(n):
        mutations = one_call('{"kind":"set_add","path":[{"kind":"key","key":"labels"}],"value":{"Int":%d}}' % i
                             for i in range(n))

        def fill(made):
            m = made.field("labels")
            for i in range(n):
                if isinstance(made, PycrdtUser):
                    m[str(i)] = True
                else:
                    m.insert(str(i), True)
        return Batch(USER_SPEC, user_value(), mutations, PycrdtUser, pycrdt_in_one(fill), LoroUser, loro_in_one(fill))
    section_batch_curve(run, "N map_set on a map root", "map_set on a map root", sizes, map_sets, 2)
    section_batch_curve(run, "N set_add into an unkeyed set below a map field (the peers: a map stands for the set)",
                        "set_add below a map field", sizes, set_adds, 2)


class Fenwick:
    """Counts over positions 0..n-1 with prefix sums and the k-th present position."""

    def __init__(self, n):
        self.n, self.tree = n, [0] * (n + 1)
        for i in range(1, n + 1):
            self.tree[i] += 1
            j = i + (i & -i)
            if j <= n:
                self.tree[j] += self.tree[i]
        self.top = 1 << n.bit_length()

    def remove(self, i):
        i += 1
        while i <= self.n:
            self.tree[i] -= 1
            i += i & -i

    def kth(self, k):
        """The position of the (k+1)-th present element."""
        pos, step = 0, self.top
        while step:
            nxt = pos + step
            if nxt <= self.n and self.tree[nxt] <= k:
                pos = nxt
                k -= self.tree[nxt]
            step >>= 1
        return pos


def deletions(n, seed=11):
    """N random deletions from a text of 2N characters: the visible position of each at its
    turn, and the element (its index in the initial text) it deletes."""
    rnd = random.Random(seed)
    present = Fenwick(2 * n)
    positions, elements = [], []
    for j in range(n):
        p = rnd.randrange(2 * n - j)
        e = present.kth(p)
        present.remove(e)
        positions.append(p)
        elements.append(e)
    return positions, elements


def typing(n, seed=13):
    """Positions of N characters typed by a cursor that mostly moves forward."""
    rnd = random.Random(seed)
    cursor, out = 0, []
    for i in range(n):
        if rnd.random() < 0.05:
            cursor = rnd.randint(0, i)
        out.append(cursor)
        cursor += 1
    return out


def text_of(n):
    return "".join(LETTERS[i % 26] for i in range(n))


def section_many(run, sizes):
    run.log("\n(5) one call holding N operations on a text below a map field (the peers: one transaction "
            "or commit, and its one update applied)")
    cache = {}

    def deleting(n):
        if n not in cache:
            cache[n] = deletions(n)
        return cache[n]

    def peers_delete(made, positions):
        t = made.field("text")
        if isinstance(made, PycrdtUser):
            for p in positions:
                del t[p]
        else:
            for p in positions:
                t.delete(p, 1)

    def deleted(n, mutation, apply):
        positions, elements = deleting(n)
        text = text_of(2 * n)
        mutations = one_call(mutation(p, e) for p, e in zip(positions, elements))

        def act(made):
            peers_delete(made, positions)
        return Batch(USER_SPEC, user_value(text={"Str": text}), mutations, lambda: PycrdtUser(text=text),
                     pycrdt_in_one(act), lambda: LoroUser(text=text), loro_in_one(act), apply)

    def by_ids(n):
        return deleted(n, lambda p, e: '{"kind":"sequence_delete","path":%s,"ids":[%s]}' % (
            TEXT_PATH, json.dumps(init_id(e), separators=(",", ":"))), False)

    def by_splices(n):
        return deleted(n, lambda p, e: splice(TEXT_PATH, p, 1), True)

    def typed(n):
        positions = typing(n)
        mutations = one_call(splice(TEXT_PATH, p, 0, '{"Str":"%s"}' % LETTERS[i % 26]) for i, p in enumerate(positions))

        def act(made):
            t = made.field("text")
            for i, p in enumerate(positions):
                t.insert(p, LETTERS[i % 26])
        return Batch(USER_SPEC, user_value(), mutations, PycrdtUser, pycrdt_in_one(act), LoroUser, loro_in_one(act))
    section_batch_curve(run, "N random deletions by sequence_delete, one element each, from a text of 2N characters "
                        "(the peers delete by position)", "random deletions by sequence_delete from 2N characters",
                        sizes, by_ids, 2)
    section_batch_curve(run, "N random deletions by splices of one character from a text of 2N characters; "
                        "their operations applied", "random deletions by splices from 2N characters", sizes,
                        by_splices, 2)
    section_batch_curve(run, "N typed characters (a cursor that mostly moves forward) into an empty text; their "
                        "operations applied", "typed characters", sizes, typed, 2)


# ---- (6) one operation per call on a growing set, and on a list of maps ------------------------------


def section_sets(run, sizes):
    run.log("\n(6) one operation per call on a set of n members below a map field (the peers: a map stands "
            "for the set), and on one map of a list of n maps")
    budget = min(run.limit, 1.0)
    shapes = [("keyed set of maps {id, title}", keyed_set), ("unkeyed set of strings", unkeyed_set),
              ("list of maps (3 register fields)", map_list)]
    for label, shape in shapes:
        run.log("  %s" % label)
        per = {}
        for n in sizes:
            def measure():
                """Mean seconds per call of each verb and library, on fresh documents."""
                out = {}
                for verb, ours, peers in shape(n):
                    for name, call in [("norvane", ours)] + peers:
                        times = each(call, range(min(200, n)), budget)
                        out[(verb, name)] = sum(times) / len(times)
                return out
            means = {}
            for (verb, name), mean in fastest_rounds(measure).items():
                means.setdefault(verb, {})[name] = mean
            for verb, got in means.items():
                workload = "%s %s, n = %s" % (verb, label, count(n))
                mean = got["norvane"]
                per.setdefault(verb, {}).setdefault("norvane", []).append((n, mean))
                line = "    n=%-8s %-22s norvane %11s" % (count(n), verb, us(mean))
                for name, pmean in got.items():
                    if name == "norvane":
                        continue
                    per[verb].setdefault(name, []).append((n, pmean))
                    line += "   %s %s (ratio %.3g)" % (name, us(pmean), pmean / mean)
                    run.add("mutate, one operation per call", workload, mean, name, pmean)
                if len(got) == 1:
                    run.add("mutate, one operation per call", workload, mean)
                run.log(line)
        if len(sizes) > 1:
            for verb, libs in per.items():
                run.log("    n = %s against %s, %-18s %s" % (count(sizes[-1]), count(sizes[0]), verb + ":", "  ".join(
                    "%s x%.2f" % (name, pts[-1][1] / pts[0][1]) for name, pts in libs.items() if len(pts) > 1)))


def keyed_set(n):
    """(verb, norvane call, [(peer, call)]) for adding to, writing in and removing from a keyed set."""
    doc = norvane.CrdtDocument(USER_SPEC, user_value(todos={"List": [
        {"Map": {"id": {"Int": i}, "title": {"Str": "t%d" % i}}} for i in range(n)]}), "a")
    path = json.dumps([K("todos")])
    adds = ['[{"kind":"set_add","path":%s,"value":{"Map":{"id":{"Int":%d},"title":{"Str":"new"}}}}]' % (path, n + j)
            for j in range(200)]
    writes = ['[{"kind":"map_set","path":%s,"key":"title","value":{"Str":"w%d"}}]' % (
        json.dumps([K("todos"), {"kind": "member", "key": member((j * 7919) % n)}]), j) for j in range(200)]
    removes = ['[{"kind":"set_remove","path":%s,"key":%s}]' % (path, json.dumps(member((j * 7919 + 1) % n)))
               for j in range(200)]
    peers = []
    todos = [{"id": i, "title": "t%d" % i} for i in range(n)]
    if pycrdt:
        made = PycrdtUser(todos=todos)
        m = made.field("todos")
        peers.append(("pycrdt", (lambda j: m.__setitem__(str(n + j), pycrdt.Map({"id": n + j, "title": "new"})),
                                 lambda j: m[str((j * 7919) % n)].__setitem__("title", "w%d" % j),
                                 lambda j: m.__delitem__(str((j * 7919 + 1) % n)))))
    if loro:
        lmade = LoroUser(todos=todos)
        lm, ldoc = lmade.field("todos"), lmade.doc

        def ladd(j):
            c = lm.insert_container(str(n + j), loro.LoroMap())
            c.insert("id", n + j)
            c.insert("title", "new")
            ldoc.commit()

        def lwrite(j):
            lm.get(str((j * 7919) % n)).container.insert("title", "w%d" % j)
            ldoc.commit()

        def lremove(j):
            lm.delete(str((j * 7919 + 1) % n))
            ldoc.commit()
        peers.append(("loro", (ladd, lwrite, lremove)))
    return [(verb, (lambda texts: lambda j: doc.mutate(texts[j]))(texts), [(name, fns[i]) for name, fns in peers])
            for i, (verb, texts) in enumerate((("add", adds), ("write in a member", writes), ("remove", removes)))]


def unkeyed_set(n):
    doc = norvane.CrdtDocument(USER_SPEC, user_value(labels={"List": [{"Str": "l%d" % i} for i in range(n)]}), "a")
    path = json.dumps([K("labels")])
    adds = ['[{"kind":"set_add","path":%s,"value":{"Str":"new%d"}}]' % (path, j) for j in range(200)]
    removes = ['[{"kind":"set_remove","path":%s,"key":%s}]' % (
        path, json.dumps(doc.member_key(path, '{"Str":"l%d"}' % ((j * 7919) % n)))) for j in range(200)]
    peers = []
    labels = ["l%d" % i for i in range(n)]
    if pycrdt:
        m = PycrdtUser(labels=labels).field("labels")
        peers.append(("pycrdt", (lambda j: m.__setitem__("new%d" % j, True),
                                 lambda j: m.__delitem__("l%d" % ((j * 7919) % n)))))
    if loro:
        lmade = LoroUser(labels=labels)
        lm, ldoc = lmade.field("labels"), lmade.doc
        peers.append(("loro", (lambda j: (lm.insert("new%d" % j, True), ldoc.commit()),
                               lambda j: (lm.delete("l%d" % ((j * 7919) % n)), ldoc.commit()))))
    return [(verb, (lambda texts: lambda j: doc.mutate(texts[j]))(texts), [(name, fns[i]) for name, fns in peers])
            for i, (verb, texts) in enumerate((("add", adds), ("remove", removes)))]


def map_list(n):
    doc = norvane.CrdtDocument(USER_SPEC, user_value(rows=tagged_rows(n)), "a")
    texts = [flip((j * 7919) % n)[j % 2] for j in range(200)]
    peers = []
    if pycrdt:
        arr = PycrdtUser(rows=rows_of(n)).field("rows")
        peers.append(("pycrdt", lambda j: arr[(j * 7919) % n].__setitem__("done", j % 2 == 0)))
    if loro:
        lmade = LoroUser(rows=rows_of(n))
        lst, ldoc = lmade.field("rows"), lmade.doc
        peers.append(("loro", lambda j: (lst.get((j * 7919) % n).container.insert("done", j % 2 == 0), ldoc.commit())))
    return [("write in one map", lambda j: doc.mutate(texts[j]), peers)]


# ---- (7) one call per change on nested shapes ---------------------------------------------------------


def section_shapes(run, n):
    members = 20
    run.log("\n(7) up to %s calls each on nested shapes" % count(n))
    operation = "mutate, one call each"

    def ours(doc, texts, workload):
        """One mutate per call until the time limit; the time and number of calls made."""
        times = each(doc.mutate, texts, run.limit)
        if len(times) < len(texts):
            run.log("  cut short by the time limit after %s calls" % count(len(times)))
            workload += ", first %s calls (time limit)" % count(len(times))
        run.line("norvane: " + workload, sum(times), len(times))
        return sum(times), len(times), workload

    # Lists inside set members: append to the tags of one of 20 members per call.
    doc = norvane.CrdtDocument(USER_SPEC, user_value(todos={"List": [
        {"Map": {"id": {"Int": i}, "tags": {"List": []}}} for i in range(members)]}), "a")
    texts = ["[%s]" % splice(json.dumps([K("todos"), {"kind": "member", "key": member(i % members)}, K("tags")]),
                             i // members, 0, '{"Int":%d}' % i) for i in range(n)]
    t, done, workload = ours(doc, texts, "insert into a list inside one of %d set members" % members)

    def p_tags():
        made = PycrdtUser(todos=[{"id": j} for j in range(members)])
        todos = made.field("todos")
        for j in range(members):
            todos[str(j)]["tags"] = pycrdt.Array()
        tags = [todos[str(j)]["tags"] for j in range(members)]
        return lambda: [tags[i % members].append(i) for i in range(done)]

    def l_tags():
        made = LoroUser(todos=[{"id": j} for j in range(members)])
        todos = made.field("todos")
        tags = [todos.get(str(j)).container.insert_container("tags", loro.LoroList()) for j in range(members)]
        made.doc.commit()

        def go():
            for i in range(done):
                tags[i % members].insert(i // members, i)
                made.doc.commit()
        return go
    run.peers(operation, workload, t, done, pycrdt and p_tags(), loro and l_tags(),
              ("pycrdt Map of Maps with an Array", "loro LoroMap of LoroMaps with a LoroList"))

    # A list of maps growing by one map per call, then one field set per call.
    doc = norvane.CrdtDocument(USER_SPEC, user_value(), "a")
    texts = ["[%s]" % splice(json.dumps([K("rows")]), i, 0, json.dumps(
        {"Map": {"title": {"Str": "t%d" % i}, "done": {"Bool": False}, "rank": {"Int": i}}})) for i in range(n)]
    t, rows, workload = ours(doc, texts, "append a map to a list of maps")

    p_made = PycrdtUser() if pycrdt else None
    l_made = LoroUser() if loro else None

    def p_rows():
        lst = p_made.field("rows")
        for r in rows_of(rows):
            lst.append(pycrdt.Map(r))

    def l_rows():
        lst = l_made.field("rows")
        for i, r in enumerate(rows_of(rows)):
            m = lst.insert_container(i, loro.LoroMap())
            for k, v in r.items():
                m.insert(k, v)
            l_made.doc.commit()
    names = ("pycrdt Array of Maps", "loro LoroList of LoroMaps")
    run.peers(operation, workload, t, rows, p_made and p_rows, l_made and l_rows, names)

    entries = json.loads(doc.state())["root"]["entries"]["rows"]["node"]["entries"]
    ids = [e[0] for e in entries]
    texts = ['[{"kind":"map_set","path":%s,"key":"done","value":{"Bool":%s}}]' % (
        json.dumps([K("rows"), {"kind": "element", "id": ids[(i * 7) % rows]}]), "true" if i % 2 else "false")
        for i in range(n)]
    t, done, workload = ours(doc, texts, "set a field of a map in a list of %s maps" % count(rows))

    def p_set():
        lst = p_made.field("rows")
        for i in range(done):
            lst[(i * 7) % rows]["done"] = i % 2 == 1

    def l_set():
        lst = l_made.field("rows")
        for i in range(done):
            lst.get((i * 7) % rows).container.insert("done", i % 2 == 1)
            l_made.doc.commit()
    run.peers(operation, workload, t, done, p_made and p_set, l_made and l_set, names)

    # Map sets and set adds, one call each, on 500 keys.
    doc = norvane.CrdtDocument(MAP_SPEC, '{"Map":{"m":{"Map":{}},"s":{"List":[]}}}', "a")
    keys = ["k%d" % (i % 500) for i in range(n)]
    workload = "%s calls on 500 keys" % count(n)
    sets = ['[{"kind":"map_set","path":[{"kind":"key","key":"m"}],"key":"%s","value":{"Int":%d}}]' % (k, i)
            for i, k in enumerate(keys)]
    adds = ['[{"kind":"set_add","path":[{"kind":"key","key":"s"}],"value":{"Int":%d}}]' % (i % 500) for i in range(n)]
    t_m = sum(each(doc.mutate, sets, float("inf")))
    t_s = sum(each(doc.mutate, adds, float("inf")))
    run.line("norvane map_set", t_m, n)
    run.line("norvane set_add", t_s, n)
    run.add("mutate set_add, one call each", workload, t_s / n)

    def p_sets():
        m = PycrdtUser().field("meta")
        return lambda: [m.__setitem__(k, i) for i, k in enumerate(keys)]

    def l_sets():
        made = LoroUser()
        m = made.field("meta")

        def go():
            for i, k in enumerate(keys):
                m.insert(k, i)
                made.doc.commit()
        return go
    run.peers("mutate map_set, one call each", workload, t_m, n, pycrdt and p_sets(), loro and l_sets(),
              ("pycrdt Map set", "loro LoroMap insert"))


# ---- (8) compaction -----------------------------------------------------------------------------------


def section_compact(run, sizes):
    run.log("\n(8) compact with a frontier naming R replicas (one dot each; half remove the other half's keys)")
    prev = None
    for r in sizes:
        workload = "frontier of %s replicas" % count(r)
        why = run.over(grow(prev, r, 2))
        if why:
            run.skip("compact", workload, why)
            continue
        half = r // 2
        names = ["r%06d" % i for i in range(r)]
        ops = [{"kind": "map_set", "dot": {"counter": 1, "replica": names[i]}, "path": [K("meta")], "key": "k%d" % i,
                "value": {"Int": i}} for i in range(half)]
        ops += [{"kind": "map_remove", "dot": {"counter": 1, "replica": names[half + i]}, "path": [K("meta")],
                 "key": "k%d" % i, "removed": [{"counter": 1, "replica": names[i]}]} for i in range(r - half)]
        doc = norvane.CrdtDocument(USER_SPEC, user_value(), "z")
        for i in range(0, len(ops), 500):
            doc.apply(json.dumps(ops[i:i + 500]))
        frontier = json.dumps({name: 1 for name in names})
        t, purged = timed(lambda: doc.compact(frontier))
        prev = (r, t)
        run.log("  %-44s %9.4f s  purged %d" % (workload, t, purged))
        run.add("compact", workload, t)


# ---- (9) state() and from_state -----------------------------------------------------------------------


def section_state(run, sizes, trace_doc=None):
    run.log("\n(9) state() and from_state against the document size, in MB/s of state text (the peers: "
            "pycrdt get_update and apply_update on a new Doc, loro snapshot export and import, which decodes "
            "the snapshot lazily)")
    shapes = [("text below a map field", sizes, lambda n: dict(text=text_of(n)),
               lambda n: user_value(text={"Str": text_of(n)})),
              ("list of maps below a map field", [n for n in sizes if n <= 100_000], lambda n: dict(rows=rows_of(n)),
               lambda n: user_value(rows=tagged_rows(n)))]
    for label, ns, peer_shape, value in shapes:
        last = None
        points = {}
        for n in ns:
            workload = "%s, n = %s" % (label, count(n))
            why = run.over(grow(last, n, 1))
            if why:
                run.skip("CrdtDocument.state()", workload, why)
                continue
            t_make, doc = timed(lambda: norvane.CrdtDocument(USER_SPEC, value(n), "a"))
            t_s, t_r, size = save_restore(run, workload, doc, peer_shape(n), points, n)
            last = (n, t_make + t_s + t_r)
        log_exponents(run, points)
    if trace_doc is not None:
        doc, senders = trace_doc
        save_restore(run, "text below a map field, recorded trace", doc, None, {}, None, senders)


def save_restore(run, workload, doc, peer_shape, points, n, senders=None):
    """Times state() and from_state of doc, and the peers' save and restore of the same content."""
    t_s, state = best_of(doc.state)
    size = len(state.encode())
    t_r, _ = best_of(lambda: norvane.CrdtDocument.from_state(USER_SPEC, state, "b"))
    if n is not None:
        points.setdefault("norvane state()", []).append((n, t_s))
        points.setdefault("norvane from_state", []).append((n, t_r))
    line = "  %-40s %6.1f MB  state() %7.1f MB/s  from_state %7.1f MB/s" % (
        workload, size / 1e6, size / 1e6 / t_s, size / 1e6 / t_r)
    run.add("CrdtDocument.state(), MB/s of state text", workload, size / 1e6 / t_s, unit="MB/s")
    run.add("CrdtDocument.from_state, MB/s of state text", workload, size / 1e6 / t_r, unit="MB/s")
    peers = senders if senders is not None else [(name, cls(**peer_shape, capture=False)) for name, lib, cls in (
        ("pycrdt", pycrdt, PycrdtUser), ("loro", loro, LoroUser)) if lib]
    for name, made in peers:
        if name == "pycrdt":
            p_s, saved = best_of(made.doc.get_update)
            p_r, _ = best_of(lambda: pycrdt.Doc().apply_update(saved))
        else:
            p_s, saved = best_of(lambda: made.doc.export(loro.ExportMode.Snapshot()))
            p_r, _ = best_of(lambda: loro.LoroDoc().import_(saved))
        line += "   %s %.2f MB, save ratio %.3g, restore ratio %.3g" % (name, len(saved) / 1e6, p_s / t_s, p_r / t_r)
        run.add("CrdtDocument.state()", workload, t_s, name, p_s)
        run.add("CrdtDocument.from_state", workload, t_r, name, p_r)
        run.add("saved state size", workload, size, name, len(saved), "B")
    run.log(line)
    return t_s, t_r, size


# ---- the run ------------------------------------------------------------------------------------------


def rows(quick=False, log=print, smoke=False, only=SECTIONS, **given):
    """Runs the chosen sections; logs the script's own lines and returns the run_all rows.
    Keyword arguments left as None take the defaults (or the quick or smoke ones)."""
    q = dict(SMOKE if smoke else QUICK if quick else DEFAULTS)
    q.update({k: v for k, v in given.items() if v is not None})
    run = Run(log, q["limit"])
    log("%s; time limit per workload %g s (a workload estimated over it is skipped, one that passes it is cut "
        "short, and the output says so)" % (peer_versions(), run.limit))
    trace_doc = None
    if "trace" in only:
        trace_doc = section_recorded(run, q["trace"], q["patches"])
    for name, section, size in (("synthetic", section_synthetic, "edits"), ("curves", section_curves, "sizes"),
                                ("batches", section_batches, "batches"), ("many", section_many, "many"),
                                ("sets", section_sets, "sets"), ("shapes", section_shapes, "map_ops"),
                                ("compact", section_compact, "replicas")):
        if name in only:
            section(run, q[size])
    if "state" in only:
        section_state(run, q["states"], trace_doc)
    if "memory" in only:
        libs = ["norvane"] + [name for name, lib in (("pycrdt", pycrdt), ("loro", loro)) if lib]
        # The recorded trace typed whole, when the run takes it whole.
        trace = (q["trace"] or RECORDED) if q["patches"] is None else None
        section_memory(run, q["memory"], q["memory_limit"], libs, trace)
    return run.rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])

    def ints(text):
        return [int(x) for x in text.split(",")]

    def listed(sizes):
        return ",".join(map(str, sizes))
    d = DEFAULTS
    ap.add_argument("--quick", action="store_true", help="small sizes, under a minute")
    ap.add_argument("--smoke", action="store_true", help="tiny sizes, a few seconds: checks that every section runs")
    ap.add_argument("--only", type=lambda t: t.split(","), default=SECTIONS,
                    help="comma-separated subset of " + ",".join(SECTIONS))
    ap.add_argument("--trace", help="a recorded trace (JSON, gzipped or not, with startContent, endContent and "
                    "txns[].patches[[pos, del, ins]]) in place of bench/data/sveltecomponent.json.gz")
    ap.add_argument("--patches", type=int, help="only the first N patches of the trace (default all; quick %d)"
                    % QUICK["patches"])
    ap.add_argument("--edits", type=int, help="length of the synthetic trace (default %d)" % d["edits"])
    ap.add_argument("--sizes", type=ints, help="document sizes of every cost curve (default: each curve's own)")
    ap.add_argument("--batches", type=ints, help="N of map_set / set_add in one call (default %s)"
                    % listed(d["batches"]))
    ap.add_argument("--many", type=ints, help="N of sequence operations in one call (default %s)" % listed(d["many"]))
    ap.add_argument("--sets", type=ints, help="members of the sets (default %s)" % listed(d["sets"]))
    ap.add_argument("--map-ops", type=int, help="calls per nested shape (default %d)" % d["map_ops"])
    ap.add_argument("--replicas", type=ints, help="replicas in the frontier (default %s)" % listed(d["replicas"]))
    ap.add_argument("--states", type=ints, help="sizes of the saved documents (default %s)" % listed(d["states"]))
    ap.add_argument("--memory", type=ints, help="characters typed for the memory figures (default %s)"
                    % listed(d["memory"]))
    ap.add_argument("--memory-limit", type=float, help="time limit of each memory process in seconds (default %g)"
                    % d["memory_limit"])
    ap.add_argument("--limit", type=float, help="time limit per workload in seconds (default %g, quick %g)"
                    % (d["limit"], QUICK["limit"]))
    args = ap.parse_args()
    unknown = sorted(set(args.only) - set(SECTIONS))
    if unknown:
        ap.error("unknown section(s): " + ", ".join(unknown))
    rows(args.quick, smoke=args.smoke, only=args.only, trace=args.trace, patches=args.patches, edits=args.edits,
         sizes=args.sizes, batches=args.batches, many=args.many, sets=args.sets, map_ops=args.map_ops,
         replicas=args.replicas, states=args.states, memory=args.memory, memory_limit=args.memory_limit,
         limit=args.limit)


if __name__ == "__main__":
    main()
