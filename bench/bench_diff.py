"""Structural diff and patch application against jsonpatch and deepdiff.

Each library gets the inputs in its own natural form: norvane the tagged model JSON
texts (its times include reading them and writing the result), jsonpatch and deepdiff
plain Python objects. Run: PYTHONPATH=build/dev python bench/bench_diff.py [--quick]
(--quick: smaller inputs and shorter runs). rows() returns the same figures as table rows
for bench/run_all.py.
"""

import json
import random
import sys
import time

import norvane
from tagging import tag, text

try:
    import jsonpatch
except ImportError:  # pragma: no cover
    jsonpatch = None
try:
    import deepdiff
except ImportError:  # pragma: no cover
    deepdiff = None


def timed(fn, budget=0.3, max_runs=200):
    """Best time of repeated runs within a time budget (at least one run)."""
    best, spent, runs, result = float("inf"), 0.0, 0, None
    while runs < max_runs and (runs == 0 or spent < budget):
        t0 = time.perf_counter()
        result = fn()
        dt = time.perf_counter() - t0
        best, spent, runs = min(best, dt), spent + dt, runs + 1
    return best, result


# ---- cases ------------------------------------------------------------------------------

def case_map(n, rnd):
    old = {f"key{i:06d}": rnd.randrange(10**6) for i in range(n)}
    new = dict(old)
    for k in rnd.sample(sorted(old), max(1, n // 100)):
        new[k] = -new[k] - 1
    return old, new


def case_list_edits(n, rnd):
    old = [rnd.randrange(10**6) for _ in range(n)]
    new = list(old)
    for _ in range(max(1, n // 200)):
        del new[rnd.randrange(len(new))]
        new.insert(rnd.randrange(len(new) + 1), rnd.randrange(10**6, 2 * 10**6))
    return old, new


def case_shuffle(n, rnd):
    old = [f"item-{i}" for i in range(n)]
    new = list(old)
    rnd.shuffle(new)
    return old, new


def nested(rnd, depth, width):
    if depth == 0:
        return rnd.choice([rnd.randrange(10**6), rnd.random(), f"text-{rnd.randrange(10**6)}", True, None])
    if depth % 2:
        return [nested(rnd, depth - 1, width) for _ in range(width)]
    return {f"f{i}": nested(rnd, depth - 1, width) for i in range(width)}


def random_leaf(doc, rnd):
    """A random path down to a leaf or an empty container: its parent and the key in it."""
    node, parent, key = doc, None, None
    while isinstance(node, (list, dict)) and node:
        parent = node
        key = rnd.randrange(len(node)) if isinstance(node, list) else rnd.choice(sorted(node))
        node = node[key]
    return parent, key


def scatter_edits(doc, rnd, count):
    """Edits spread over the document: changed leaves, added and removed map keys."""
    for _ in range(count):
        parent, key = random_leaf(doc, rnd)
        kind = rnd.randrange(3)
        if kind == 0 or isinstance(parent, list):
            parent[key] = f"edited-{rnd.randrange(10**6)}"
        elif kind == 1:
            parent[f"new{rnd.randrange(10**6)}"] = rnd.randrange(100)
        else:
            del parent[key]


def case_document(rnd, depth=5):
    old = nested(rnd, depth, 10)  # 10**depth leaves; five levels are ~1 MB as plain JSON
    new = json.loads(json.dumps(old))
    scatter_edits(new, rnd, 200)
    return old, new


# ---- measuring ----------------------------------------------------------------------------

def fmt(t):
    return "-" if t is None else (f"{t * 1e3:9.2f} ms" if t >= 1e-3 else f"{t * 1e6:9.1f} µs")


def ratio(theirs, ours):
    return "-" if theirs is None else f"{theirs / ours:8.1f}×"


class Run:
    """Settings of one run, the script's own output and the rows collected for run_all."""

    def __init__(self, quick, log):
        self.quick, self.log, self.rows = quick, log, []

    def add(self, operation, workload, ours, peer, theirs):
        if theirs is not None or peer == "-":
            self.rows.append((operation, workload, ours, peer, theirs, "s"))


def row(run, name, cols):
    run.log(f"  {name:<34}" + "".join(f"{c:>14}" for c in cols))


def compare(run, label, workload, old, new, *, with_deepdiff=True, slow_limit=30.0):
    quick = run.quick
    old_t, new_t = text(old), text(new)
    t_ours, patch = timed(lambda: norvane.diff(old_t, new_t))
    ops = json.loads(patch)["ops"]
    t_apply, applied = timed(lambda: norvane.apply(old_t, patch))
    assert applied == text(json.loads(json.dumps(new))) or json.loads(applied) == tag(new, sort_keys=True)

    t_jp = t_jp_apply = jp_ops = t_dd = None
    if jsonpatch is not None:
        t_jp, jp = timed(lambda: jsonpatch.make_patch(old, new), budget=0.5 if not quick else 0.1)
        jp_ops = len(list(jp))
        if t_jp < slow_limit:
            t_jp_apply, _ = timed(lambda: jsonpatch.apply_patch(old, jp))
    if deepdiff is not None and with_deepdiff:
        t_dd, _ = timed(lambda: deepdiff.DeepDiff(old, new), budget=0.2 if not quick else 0.05, max_runs=3)

    plain = len(json.dumps(old, separators=(",", ":")))
    run.add("diff", workload, t_ours, "jsonpatch make_patch", t_jp)
    run.add("diff", workload, t_ours, "deepdiff DeepDiff", t_dd)
    run.add("apply", workload, t_apply, "jsonpatch apply_patch", t_jp_apply)
    run.log(f"\n{label}   (old value: {plain / 1e6:.2f} MB as plain JSON, {len(old_t) / 1e6:.2f} MB tagged)")
    row(run, "", ["norvane", "jsonpatch", "ratio", "deepdiff", "ratio"])
    row(run, "diff", [fmt(t_ours), fmt(t_jp), ratio(t_jp, t_ours), fmt(t_dd), ratio(t_dd, t_ours)])
    row(run, "apply", [fmt(t_apply), fmt(t_jp_apply), ratio(t_jp_apply, t_apply), "", ""])
    kinds = {}
    for op in ops:
        (k,) = op
        kinds[k] = kinds.get(k, 0) + 1
    row(run, "operations", [str(len(ops)), str(jp_ops), "", "", ""])
    run.log(f"  {'norvane operation kinds':<34}  {kinds}")
    return t_ours


def store_mutate(run, label, workload, old, new):
    quick = run.quick
    old_t, new_t = text(old), text(new)

    def once():
        store = norvane.Store()
        store.host("doc", old_t)
        t0 = time.perf_counter()
        patch = store.mutate(1, new_t)
        return time.perf_counter() - t0, patch

    best, patch = min(once() for _ in range(5 if not quick else 1))
    t_jp = None
    if jsonpatch is not None:
        t_jp, _ = timed(lambda: jsonpatch.make_patch(old, new), budget=0.5)
    run.log(f"\n{label}")
    row(run, "", ["norvane", "jsonpatch", "ratio"])
    row(run, "Store.mutate vs make_patch", [fmt(best), fmt(t_jp), ratio(t_jp, best)])
    row(run, "operations", [str(len(json.loads(patch)["ops"])), "", ""])
    mirror = norvane.Store()
    mirror.host("doc", old_t)
    t_apply = min(timed(lambda: mirror.apply(1, patch), budget=0.3)[0] for _ in range(1))
    row(run, "Store.apply of that patch", [fmt(t_apply), "", ""])
    run.add("Store.mutate", workload, best, "jsonpatch make_patch", t_jp)
    run.add("Store.apply", workload, t_apply, "-", None)


def small_edits(doc, rnd, count):
    """`count` changed leaves, each on its own random path."""
    for _ in range(count):
        parent, key = random_leaf(doc, rnd)
        parent[key] = f"edited-{rnd.randrange(10**6)}"


def store_mutate_series(run, label, workload, doc, calls):
    """A hosted model replaced again and again, 1-3 small edits per call (a live editor's load)."""
    rnd = random.Random(11)
    versions = [json.loads(json.dumps(doc))]
    for _ in range(calls):
        nxt = json.loads(json.dumps(versions[-1]))
        small_edits(nxt, rnd, rnd.randrange(1, 4))
        versions.append(nxt)
    texts = [text(v) for v in versions]

    def series():
        store = norvane.Store()
        store.host("doc", texts[0])
        t0 = time.perf_counter()
        for t in texts[1:]:
            store.mutate(1, t)
        return (time.perf_counter() - t0) / calls

    best = min(series() for _ in range(3 if not run.quick else 1))
    t_jp = None
    if jsonpatch is not None:
        pairs = list(zip(versions, versions[1:]))[:5]
        t_jp = min(timed(lambda: jsonpatch.make_patch(a, b), budget=0.2, max_runs=3)[0] for a, b in pairs)
    run.log(f"\n{label}   ({len(texts[0]) / 1e6:.2f} MB tagged, {calls} calls)")
    row(run, "", ["norvane", "jsonpatch", "ratio", "tagged MB/s"])
    row(run, "Store.mutate per call", [fmt(best), fmt(t_jp), ratio(t_jp, best), f"{len(texts[0]) / best / 1e6:8.0f}"])
    run.add("Store.mutate", workload, best, "jsonpatch make_patch", t_jp)


def curve(run, label, workload, make, sizes):
    quick = run.quick
    run.log(f"\ncost curve of diff, {label}")
    row(run, "n", ["norvane", "per element", "operations", "jsonpatch"])
    rnd = random.Random(7)
    for n in sizes:
        old, new = make(n, rnd)
        old_t, new_t = text(old), text(new)
        t, patch = timed(lambda: norvane.diff(old_t, new_t))
        t_jp = None
        if jsonpatch is not None and (n <= 10_000 or not quick):
            t_jp, _ = timed(lambda: jsonpatch.make_patch(old, new), budget=0.2, max_runs=5)
        row(run, f"{n:,}", [fmt(t), f"{t / n * 1e9:8.0f} ns", str(len(json.loads(patch)["ops"])), fmt(t_jp)])
        run.add("diff, cost curve", workload.format(f"{n:,}"), t, "jsonpatch make_patch" if t_jp is not None else "-", t_jp)


def rows(quick=False, log=print):
    """Measure every case; log the script's own lines and return the run_all rows."""
    run = Run(quick, log)
    rnd = random.Random(2024)
    n_map, n_list, n_shuffle = (1_000, 1_000, 200) if quick else (10_000, 10_000, 1_000)
    log(f"norvane diff/apply benchmark (python {sys.version.split()[0]}, "
        f"jsonpatch {getattr(jsonpatch, '__version__', '-')}, deepdiff {getattr(deepdiff, '__version__', '-')})")
    compare(run, f"(a) {n_map:,}-key map, 1% of values changed", f"map, {n_map:,} keys, 1% changed",
            *case_map(n_map, rnd))
    compare(run, f"(b) {n_list:,}-element list, 1% insertions and removals",
            f"list, {n_list:,} items, 1% inserted/removed", *case_list_edits(n_list, rnd))
    compare(run, f"(c) {n_shuffle:,}-element list shuffled", f"list, {n_shuffle:,} items shuffled",
            *case_shuffle(n_shuffle, rnd))
    depth = 4 if quick else 5
    doc_old, doc_new = case_document(rnd, depth)
    workload = f"nested, {10 ** depth:,} leaves, 200 edits"
    compare(run, f"(d) {depth}-level nested document, scattered edits", workload, doc_old, doc_new)
    store_mutate(run, "(e) Store.mutate on the nested document", workload, doc_old, doc_new)
    store_mutate_series(run, "(f) Store.mutate again and again on the nested document, 1-3 small edits per call",
                        f"nested, {10 ** depth:,} leaves, 1-3 edits per call, repeated", doc_old, 10 if quick else 30)
    sizes = [1_000, 10_000] if quick else [1_000, 10_000, 100_000]
    curve(run, "(a) maps with 1% changed", "map, {} keys, 1% changed", case_map, sizes)
    curve(run, "(b) lists with 1% insertions and removals", "list, {} items, 1% inserted/removed",
          case_list_edits, sizes)
    return run.rows


def main():
    rows("--quick" in sys.argv)


if __name__ == "__main__":
    main()
