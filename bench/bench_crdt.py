"""CRDT document benchmark against pycrdt and loro on the same workload.

  python bench/bench_crdt.py [--quick] [--edits N] [--map-ops N] [--sizes 1000,10000,100000]

(a) an editing trace of single-item inserts and deletes (a cursor that mostly
    moves forward, about 10% deletions) into a list and into a text, one call
    (one transaction or commit) per edit;
(b) the operations of (a) applied on a second replica in batches of 1 and 1000;
(c) map sets and set adds, one call each;
(d) the size of the saved state and the time to restore it;
and the cost of one call against the document size. --quick runs small sizes
(2,000 edits, 1,000 map operations, documents of 1,000 and 10,000). rows()
returns the same figures as table rows for bench/run_all.py.
"""

import argparse
import json
import random
import time
from importlib.metadata import version

import norvane

try:
    import pycrdt
except ImportError:  # pragma: no cover
    pycrdt = None
try:
    import loro
except ImportError:  # pragma: no cover
    loro = None

LIST_SPEC = json.dumps({"root": {"kind": "sequence"}})
TEXT_SPEC = json.dumps({"root": {"kind": "sequence", "materialization": "string"}})
MAP_SPEC = json.dumps({"root": {"kind": "map", "fields": {"m": {"kind": "map"}, "s": {"kind": "set"}}}})

# default sizes: the editing trace, the map operations and the documents of the cost curve
EDITS, MAP_OPS, SIZES = 100_000, 10_000, (1_000, 10_000, 100_000)
QUICK_EDITS, QUICK_MAP_OPS, QUICK_SIZES = 2_000, 1_000, (1_000, 10_000)


def trace(n, seed=7):
    """Deterministic edits: ("ins", pos, item) or ("del", pos)."""
    rnd = random.Random(seed)
    length = 0
    cursor = 0
    edits = []
    for i in range(n):
        if rnd.random() < 0.05:
            cursor = rnd.randint(0, length)
        if length and rnd.random() < 0.10:
            pos = max(0, min(cursor - 1, length - 1))
            edits.append(("del", pos))
            length -= 1
            cursor = pos
        else:
            edits.append(("ins", cursor, "abcdefghijklmnopqrstuvwxyz"[i % 26]))
            length += 1
            cursor += 1
    return edits


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


class Run:
    """The script's own output and the rows collected for run_all."""

    def __init__(self, log):
        self.log, self.rows = log, []

    def add(self, operation, workload, ours, peer="-", theirs=None, unit="s"):
        self.rows.append((operation, workload, ours, peer, theirs, unit))


def row(run, name, seconds, count, base=None):
    rate = count / seconds if seconds else float("inf")
    ratio = "" if base is None else "  x%.2f vs norvane" % (base / seconds if seconds else float("inf"))
    run.log("  %-34s %9.3f s  %12.0f ops/s%s" % (name, seconds, rate, ratio))


# ---- norvane -----------------------------------------------------------------------------


def norvane_edits(spec, init, edits, text):
    doc = norvane.CrdtDocument(spec, init, "a")
    batches = []
    for e in edits:
        if e[0] == "ins":
            v = {"Str": e[2]} if text else {"Int": ord(e[2])}
            m = {"kind": "sequence_splice", "path": [], "index": e[1], "delete_count": 0, "values": [v]}
        else:
            m = {"kind": "sequence_splice", "path": [], "index": e[1], "delete_count": 1, "values": []}
        out = doc.mutate(json.dumps([m]))
        batches.append(out[len('{"ops":'):out.index(',"effect":')])
    return doc, batches


def norvane_apply(spec, init, batches, size):
    doc = norvane.CrdtDocument(spec, init, "b")
    for i in range(0, len(batches), size):
        chunk = batches[i:i + size]
        doc.apply("[" + ",".join(b[1:-1] for b in chunk if b != "[]") + "]")
    return doc


# ---- pycrdt --------------------------------------------------------------------------------


def pycrdt_edits(edits, text):
    doc = pycrdt.Doc()
    seq = pycrdt.Text() if text else pycrdt.Array()
    doc["s"] = seq
    updates = []
    doc.observe(lambda ev: updates.append(ev.update))
    for e in edits:
        if e[0] == "ins":
            seq.insert(e[1], e[2] if text else ord(e[2]))
        else:
            del seq[e[1]:e[1] + 1]
    return doc, updates


def pycrdt_apply(updates, size, text):
    doc = pycrdt.Doc()
    doc["s"] = pycrdt.Text() if text else pycrdt.Array()
    for i in range(0, len(updates), size):
        chunk = updates[i:i + size]
        doc.apply_update(chunk[0] if len(chunk) == 1 else pycrdt.merge_updates(*chunk))
    return doc


# ---- loro ------------------------------------------------------------------------------------


def loro_edits(edits, text):
    doc = loro.LoroDoc()
    updates = []
    sub = doc.subscribe_local_update(lambda b: (updates.append(b), True)[1])
    seq = doc.get_text("s") if text else doc.get_list("s")
    for e in edits:
        if e[0] == "ins":
            seq.insert(e[1], e[2] if text else ord(e[2]))
        else:
            seq.delete(e[1], 1)
        doc.commit()
    del sub
    return doc, updates


def loro_apply(updates, size):
    doc = loro.LoroDoc()
    for i in range(0, len(updates), size):
        chunk = updates[i:i + size]
        if len(chunk) == 1:
            doc.import_(chunk[0])
        else:
            doc.import_batch(chunk)
    return doc


def section_sequences(run, n):
    edits = trace(n)
    for text in (False, True):
        label = "text" if text else "list"
        spec, init = (TEXT_SPEC, '{"Str":""}') if text else (LIST_SPEC, '{"List":[]}')
        workload = "%s, %s-edit trace" % (label, f"{n:,}")
        run.log("\n(a) %d single-item edits into a %s, one call each" % (n, label))
        t_n, (doc, batches) = timed(lambda: norvane_edits(spec, init, edits, text))
        row(run, "norvane mutate", t_n, n)
        if pycrdt:
            name = "pycrdt " + ("Text" if text else "Array")
            t_p, (pdoc, pups) = timed(lambda: pycrdt_edits(edits, text))
            row(run, name, t_p, n, t_n)
            run.add("mutate, one edit per call", workload, t_n / n, name, t_p / n)
        if loro:
            name = "loro " + ("LoroText" if text else "LoroList")
            t_l, (ldoc, lups) = timed(lambda: loro_edits(edits, text))
            row(run, name, t_l, n, t_n)
            run.add("mutate, one edit per call", workload, t_n / n, name, t_l / n)

        run.log("(b) the same operations applied on a second replica")
        for size in (1, 1000):
            operation = "apply, batches of %d, per edit" % size
            t_n, other = timed(lambda: norvane_apply(spec, init, batches, size))
            assert other.value() == doc.value()
            row(run, "norvane apply, batches of %d" % size, t_n, n)
            if pycrdt:
                t_p, _ = timed(lambda: pycrdt_apply(pups, size, text))
                row(run, "pycrdt apply_update, batches of %d" % size, t_p, n, t_n)
                run.add(operation, workload, t_n / n, "pycrdt apply_update", t_p / n)
            if loro:
                t_l, _ = timed(lambda: loro_apply(lups, size))
                row(run, "loro import, batches of %d" % size, t_l, n, t_n)
                run.add(operation, workload, t_n / n, "loro import", t_l / n)

        run.log("(d) saved state of the final %s" % label)
        state = doc.state()
        size = len(state.encode())
        t_r, _ = timed(lambda: norvane.CrdtDocument.from_state(spec, state, "c"))
        run.log("  norvane state()  %10d bytes, from_state %.3f s" % (size, t_r))
        run.add("CrdtDocument.from_state", workload, t_r)
        if pycrdt:
            update = len(pdoc.get_update())
            run.log("  pycrdt update    %10d bytes" % update)
            run.add("saved state size", workload, size, "pycrdt update", update, "B")
        if loro:
            snap = len(ldoc.export(loro.ExportMode.Snapshot()))
            run.log("  loro snapshot    %10d bytes   (norvane / loro = %.1f)" % (snap, size / snap))
            run.add("saved state size", workload, size, "loro snapshot", snap, "B")


def section_maps(run, n):
    workload = "%s calls on 500 keys" % f"{n:,}"
    run.log("\n(c) %d map sets and %d set adds, one call each" % (n, n))
    keys = ["k%d" % (i % 500) for i in range(n)]
    doc = norvane.CrdtDocument(MAP_SPEC, '{"Map":{"m":{"Map":{}},"s":{"List":[]}}}', "a")
    t_m, _ = timed(lambda: [doc.mutate(json.dumps([{"kind": "map_set", "path": [{"kind": "key", "key": "m"}],
                                                     "key": k, "value": {"Int": i}}])) for i, k in enumerate(keys)])
    t_s, _ = timed(lambda: [doc.mutate(json.dumps([{"kind": "set_add", "path": [{"kind": "key", "key": "s"}],
                                                     "value": {"Int": i % 500}}])) for i in range(n)])
    row(run, "norvane map_set", t_m, n)
    row(run, "norvane set_add", t_s, n)
    run.add("mutate set_add", workload, t_s / n)
    if pycrdt:
        pdoc = pycrdt.Doc()
        pm = pycrdt.Map()
        pdoc["m"] = pm

        def p_sets():
            for i, k in enumerate(keys):
                pm[k] = i
        t_p, _ = timed(p_sets)
        row(run, "pycrdt Map set", t_p, n, t_m)
        run.add("mutate map_set", workload, t_m / n, "pycrdt Map set", t_p / n)
    if loro:
        ldoc = loro.LoroDoc()
        lm = ldoc.get_map("m")

        def l_sets():
            for i, k in enumerate(keys):
                lm.insert(k, i)
                ldoc.commit()
        t_l, _ = timed(l_sets)
        row(run, "loro LoroMap insert", t_l, n, t_m)
        run.add("mutate map_set", workload, t_m / n, "loro LoroMap insert", t_l / n)


def section_curve(run, sizes):
    run.log("\nper-call cost against document size (one insertion in the middle)")
    curve = {"list": [], "text": [], "map": []}
    for n in sizes:
        for spec, init, label in ((LIST_SPEC, json.dumps({"List": [{"Int": i} for i in range(n)]}), "list"),
                                  (TEXT_SPEC, json.dumps({"Str": "x" * n}), "text")):
            doc = norvane.CrdtDocument(spec, init, "a")
            value = {"Str": "y"} if label == "text" else {"Int": 1}
            reps = max(3, min(200, 2_000_000 // n))
            m = json.dumps([{"kind": "sequence_splice", "path": [], "index": n // 2, "delete_count": 0,
                             "values": [value]}])
            t, _ = timed(lambda: [doc.mutate(m) for _ in range(reps)])
            per = t / reps
            run.log("  %-4s n=%-7d %9.3f ms/call  %7.1f ns/element" % (label, n, per * 1e3, per / n * 1e9))
            curve[label].append(("mutate, insert in the middle", "%s of %s" % (label, f"{n:,}"), per))
        doc = norvane.CrdtDocument(MAP_SPEC, json.dumps({"Map": {"m": {"Map": {"k%d" % i: {"Int": i}
                                                                             for i in range(n)}},
                                                                   "s": {"List": []}}}), "a")
        reps = max(3, min(200, 2_000_000 // n))
        m = json.dumps([{"kind": "map_set", "path": [{"kind": "key", "key": "m"}], "key": "x", "value": {"Int": 1}}])
        t, _ = timed(lambda: [doc.mutate(m) for _ in range(reps)])
        per = t / reps
        run.log("  %-4s n=%-7d %9.3f ms/call  %7.1f ns/element" % ("map", n, per * 1e3, per / n * 1e9))
        curve["map"].append(("mutate, map_set", "map of %s keys" % f"{n:,}", per))
    for points in curve.values():  # the rows of one kind together
        for point in points:
            run.add(*point)


def rows(quick=False, log=print, edits=None, map_ops=None, sizes=None):
    """Run every section; log the script's own lines and return the run_all rows.
    Sizes left as None take the defaults (or the quick ones)."""
    run = Run(log)
    edits = edits or (QUICK_EDITS if quick else EDITS)
    map_ops = map_ops or (QUICK_MAP_OPS if quick else MAP_OPS)
    sizes = sizes or (QUICK_SIZES if quick else SIZES)
    log("pycrdt %s, loro %s" % (version("pycrdt") if pycrdt else "missing", version("loro") if loro else "missing"))
    section_curve(run, sizes)
    section_maps(run, map_ops)
    section_sequences(run, edits)
    return run.rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="small sizes")
    ap.add_argument("--edits", type=int, help="length of the editing trace (default %d)" % EDITS)
    ap.add_argument("--map-ops", type=int, help="map sets and set adds (default %d)" % MAP_OPS)
    ap.add_argument("--sizes", help="document sizes of the cost curve (default %s)" % ",".join(map(str, SIZES)))
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")] if args.sizes else None
    rows(args.quick, edits=args.edits, map_ops=args.map_ops, sizes=sizes)


if __name__ == "__main__":
    main()
