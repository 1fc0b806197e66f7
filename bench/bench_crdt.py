"""CRDT document benchmark against pycrdt and loro on the same workloads, in one run.

  python bench/bench_crdt.py [--quick] [--edits N] [--map-ops N] [--sizes 1000,10000,...]
                             [--batches 1000,4000,16000] [--replicas 4000,16000] [--limit SECONDS]

Documents are shaped as users build them: a map whose fields hold a text, a list,
a list of maps, a set of maps that hold lists, a map and a set; besides root sequences.
(1) the cost of one mutate against the document size: one insertion in the middle
    of a text or a list below a map field or at the root, one map_set into a map
    field of n keys;
(2) an editing trace (a cursor that mostly moves forward, about 10% deletions) typed
    into a text and a list, below a map field and at the root, one call per edit;
    the same operations applied on a second replica in calls of 1 and of 1,000;
(3) one call per change on nested shapes: inserting into lists inside set members,
    appending maps to a list of maps, setting a field of a map in that list;
    and map sets and set adds, one call each;
(4) N map_set and N set_add in one call, mutate and apply;
(5) compact with a frontier that names R replicas (peers have no counterpart);
(6) the saved state's size and the time to restore it.
Ratios are peer time / norvane time (> 1: norvane is faster). A workload whose
estimated time exceeds --limit seconds is skipped or cut short, and the output says
so. --quick runs small sizes in well under a minute. rows() returns the figures as
table rows for bench/run_all.py.
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

REG = {"kind": "register"}
TEXT = {"kind": "sequence", "materialization": "string"}
LIST = {"kind": "sequence"}
USER = {"kind": "map", "fields": {
    "text": TEXT,
    "items": LIST,
    "rows": {"kind": "sequence", "element": {"kind": "map", "fields": {"title": REG, "done": REG}}},
    "todos": {"kind": "set", "keys": [["id"]], "element": {"kind": "map", "fields": {"id": REG, "tags": LIST}}},
    "meta": {"kind": "map"},
    "labels": {"kind": "set"},
}}
USER_SPEC = json.dumps({"root": USER})
EMPTY = {"text": {"Str": ""}, "items": {"List": []}, "rows": {"List": []}, "todos": {"List": []},
         "meta": {"Map": {}}, "labels": {"List": []}}
LIST_SPEC = json.dumps({"root": LIST})
TEXT_SPEC = json.dumps({"root": TEXT})
MAP_SPEC = json.dumps({"root": {"kind": "map", "fields": {"m": {"kind": "map"}, "s": {"kind": "set"}}}})

# default sizes: the editing trace, calls per shape, the cost curve, N per call, replicas
EDITS, MAP_OPS, SIZES = 100_000, 10_000, (1_000, 10_000, 100_000, 1_000_000)
BATCHES, REPLICAS, LIMIT = (1_000, 4_000, 16_000), (4_000, 16_000), 20.0
QUICK = dict(edits=2_000, map_ops=1_000, sizes=(1_000, 10_000), batches=(1_000,), replicas=(4_000,), limit=2.0)


def K(k):
    return {"kind": "key", "key": k}


def user_value(**fields):
    return json.dumps({"Map": {**EMPTY, **fields}})


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
    """The script's own output, the rows collected for run_all, and the time limit."""

    def __init__(self, log, limit):
        self.log, self.rows, self.limit = log, [], limit

    def add(self, operation, workload, ours, peer="-", theirs=None, unit="s"):
        self.rows.append((operation, workload, ours, peer, theirs, unit))

    def line(self, name, seconds, count, ours=None):
        """One line of output: total, rate and, for a peer, peer time / norvane time."""
        rate = count / seconds if seconds else float("inf")
        ratio = "" if ours is None else "  ratio %.3g" % (seconds / ours if ours else float("inf"))
        self.log("  %-40s %9.4f s  %12.0f ops/s%s" % (name, seconds, rate, ratio))

    def peers(self, operation, workload, ours, count, pycrdt_fn=None, loro_fn=None, names=("pycrdt", "loro")):
        """Times each peer's workload and adds the rows (times per operation);
        a row of norvane alone when no peer runs it."""
        ran = False
        for lib, fn, name in ((pycrdt, pycrdt_fn, names[0]), (loro, loro_fn, names[1])):
            if lib is None or not fn:
                continue
            t, _ = timed(fn)
            self.line(name, t, count, ours)
            self.add(operation, workload, ours / count, name, t / count)
            ran = True
        if not ran:
            self.add(operation, workload, ours / count)

    def skip(self, operation, workload, why):
        self.log("  %-40s skipped: %s" % (workload, why))
        self.add(operation, workload + " (skipped: %s)" % why, None)


def grow(prev, n, exponent):
    """The time of size n estimated from (size, seconds) of a smaller run."""
    return prev[1] * (n / prev[0]) ** exponent if prev else 0.0


# ---- peers' documents with the same shape ----------------------------------------------------


def pycrdt_doc(text=None, items=None, meta=None):
    doc = pycrdt.Doc()
    root = pycrdt.Map()
    doc["root"] = root
    root["text"] = pycrdt.Text(text or "")
    root["items"] = pycrdt.Array()
    for i in range(0, len(items or []), 1000):  # one Array of many items is built in quadratic time
        root["items"].extend(items[i:i + 1000])
    root["rows"] = pycrdt.Array()
    root["todos"] = pycrdt.Map()
    root["meta"] = pycrdt.Map(meta or {})
    return doc, root


def loro_doc(text=None, items=None, meta=None):
    doc = loro.LoroDoc()
    root = doc.get_map("root")
    t = root.insert_container("text", loro.LoroText())
    if text:
        t.insert(0, text)
    lst = root.insert_container("items", loro.LoroList())
    for i, v in enumerate(items or []):
        lst.insert(i, v)
    root.insert_container("rows", loro.LoroList())
    root.insert_container("todos", loro.LoroMap())
    m = root.insert_container("meta", loro.LoroMap())
    for k, v in (meta or {}).items():
        m.insert(k, v)
    doc.commit()
    return doc, root


def loro_part(made, field):
    doc, root = made
    return doc, root.get(field).container


# ---- (1) one call against the document size ---------------------------------------------------


def curve_cases(n):
    """(label, norvane spec, initial value, mutation, pycrdt setup and call, loro setup and call)."""
    mid = n // 2

    def splice(path, v):
        return json.dumps([{"kind": "sequence_splice", "path": path, "index": mid, "delete_count": 0, "values": [v]}])

    chars, ints = "x" * n, list(range(n))
    return [
        ("text below a map field", USER_SPEC, lambda: user_value(text={"Str": chars}),
         splice([K("text")], {"Str": "y"}),
         lambda: pycrdt_doc(text=chars)[1]["text"], lambda t: t.insert(mid, "y"),
         lambda: loro_part(loro_doc(text=chars), "text"), lambda d: (d[1].insert(mid, "y"), d[0].commit())),
        ("list below a map field", USER_SPEC, lambda: user_value(items={"List": [{"Int": i} for i in ints]}),
         splice([K("items")], {"Int": 1}),
         lambda: pycrdt_doc(items=ints)[1]["items"], lambda a: a.insert(mid, 1),
         lambda: loro_part(loro_doc(items=ints), "items"), lambda d: (d[1].insert(mid, 1), d[0].commit())),
        ("map field of n keys, map_set", USER_SPEC,
         lambda: user_value(meta={"Map": {"k%d" % i: {"Int": i} for i in ints}}),
         json.dumps([{"kind": "map_set", "path": [K("meta")], "key": "x", "value": {"Int": 1}}]),
         lambda: pycrdt_doc(meta={"k%d" % i: i for i in ints})[1]["meta"], lambda m: m.__setitem__("x", 1),
         lambda: loro_part(loro_doc(meta={"k%d" % i: i for i in ints}), "meta"),
         lambda d: (d[1].insert("x", 1), d[0].commit())),
        ("root text", TEXT_SPEC, lambda: json.dumps({"Str": chars}), splice([], {"Str": "y"}), None, None, None, None),
        ("root list", LIST_SPEC, lambda: json.dumps({"List": [{"Int": i} for i in ints]}), splice([], {"Int": 1}),
         None, None, None, None),
    ]


def section_curve(run, sizes):
    run.log("\n(1) one mutate against the document size (one insertion in the middle, or one map_set)")
    rows, last = {}, {}
    for n in sizes:
        for label, spec, init, m, p_make, p_call, l_make, l_call in curve_cases(n):
            operation, workload = "mutate, one call", "%s, n = %s" % (label, f"{n:,}")
            reps = max(3, min(200, 2_000_000 // n))
            out = rows.setdefault(label, [])
            if label in last:
                prev_n, prev_make, prev_per = last[label]
                estimate = (prev_make + prev_per * (reps + 1)) * n / prev_n
            else:
                estimate = 0.0
            if estimate > run.limit:
                run.skip(operation, workload, "estimated over %g s" % run.limit)
                out.append(run.rows.pop())
                continue
            t_make, doc = timed(lambda: norvane.CrdtDocument(spec, init(), "a"))
            doc.mutate(m)  # the first call may fill caches
            t, _ = timed(lambda: [doc.mutate(m) for _ in range(reps)])
            per = t / reps
            last[label] = (n, t_make, per)
            run.log("  %-32s n=%-8d %9.4f ms/call  %7.2f ns/element" % (label, n, per * 1e3, per / n * 1e9))
            if p_make is None:
                out.append((operation, workload, per, "-", None, "s"))
            for lib, make, call in (("pycrdt", p_make, p_call), ("loro", l_make, l_call)):
                if make is None or (lib == "pycrdt" and not pycrdt) or (lib == "loro" and not loro):
                    continue
                target = make()
                call(target)
                tp, _ = timed(lambda: [call(target) for _ in range(reps)])
                run.log("  %-32s %-10s %9.4f ms/call  ratio %.3g" % ("", lib, tp / reps * 1e3, tp / t))
                out.append((operation, workload, per, lib, tp / reps, "s"))
    for points in rows.values():  # the rows of one shape together
        run.rows.extend(points)


# ---- (2) editing traces -----------------------------------------------------------------------


def norvane_edits(spec, init, path, edits, text, limit):
    """One mutate per edit; stops when the time limit is reached. Returns the
    document, each call's operations and the number of edits made."""
    doc = norvane.CrdtDocument(spec, init, "a")
    batches = []
    start = time.perf_counter()
    for i, e in enumerate(edits):
        if e[0] == "ins":
            v = {"Str": e[2]} if text else {"Int": ord(e[2])}
            m = {"kind": "sequence_splice", "path": path, "index": e[1], "delete_count": 0, "values": [v]}
        else:
            m = {"kind": "sequence_splice", "path": path, "index": e[1], "delete_count": 1, "values": []}
        out = doc.mutate(json.dumps([m]))
        batches.append(out[len('{"ops":'):out.index(',"effect":')])
        if i % 100 == 99 and time.perf_counter() - start > limit:
            break
    return doc, batches, len(batches)


def norvane_apply(spec, init, batches, size, limit):
    """The recorded operations applied in calls of `size` edits; stops at the
    time limit. Returns the document and the number of edits applied."""
    doc = norvane.CrdtDocument(spec, init, "b")
    start, done = time.perf_counter(), 0
    for i in range(0, len(batches), size):
        chunk = batches[i:i + size]
        doc.apply("[" + ",".join(b[1:-1] for b in chunk if b != "[]") + "]")
        done += len(chunk)
        if time.perf_counter() - start > limit:
            break
    return doc, done


def pycrdt_edits(edits, text, nested):
    doc = pycrdt.Doc()
    updates = []
    doc.observe(lambda ev: updates.append(ev.update))
    if nested:  # the first update makes the field, which the receiver needs
        with doc.transaction():
            doc["root"] = root = pycrdt.Map()
            root["s"] = pycrdt.Text() if text else pycrdt.Array()
        seq = root["s"]
    else:
        seq = pycrdt.Text() if text else pycrdt.Array()
        doc["s"] = seq
    for e in edits:
        if e[0] == "ins":
            seq.insert(e[1], e[2] if text else ord(e[2]))
        else:
            del seq[e[1]:e[1] + 1]
    return doc, updates


def pycrdt_seq(doc, text, nested):
    kind = pycrdt.Text if text else pycrdt.Array
    return doc.get("root", type=pycrdt.Map)["s"] if nested else doc.get("s", type=kind)


def pycrdt_apply(updates, size, text, nested):
    doc = pycrdt.Doc()
    if not nested:
        doc["s"] = pycrdt.Text() if text else pycrdt.Array()
    for i in range(0, len(updates), size):
        chunk = updates[i:i + size]
        doc.apply_update(chunk[0] if len(chunk) == 1 else pycrdt.merge_updates(*chunk))
    return doc


def loro_edits(edits, text, nested):
    doc = loro.LoroDoc()
    updates = []
    sub = doc.subscribe_local_update(lambda b: (updates.append(b), True)[1])
    if nested:
        root = doc.get_map("root")
        seq = root.insert_container("s", loro.LoroText() if text else loro.LoroList())
    else:
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
    for nested in (True, False):
        for text in (True, False):
            trace_of(run, n, text, nested)


def trace_of(run, n, text, nested):
    label = ("text" if text else "list") + (" below a map field" if nested else " at the root")
    if nested:
        spec, init, path = USER_SPEC, user_value(), [K("text" if text else "items")]
    elif text:
        spec, init, path = TEXT_SPEC, '{"Str":""}', []
    else:
        spec, init, path = LIST_SPEC, '{"List":[]}', []
    run.log("\n(2) %d single-item edits into a %s, one call each" % (n, label))
    edits = trace(n)
    t_n, (doc, batches, done) = timed(lambda: norvane_edits(spec, init, path, edits, text, run.limit))
    if done < n:
        run.log("  cut short by the time limit after %d edits" % done)
        edits = edits[:done]
    workload = "%s, %s-edit trace" % (label, f"{done:,}")
    run.line("norvane mutate", t_n, done)
    pdoc = pups = ldoc = lups = None
    if pycrdt:
        t_p, (pdoc, pups) = timed(lambda: pycrdt_edits(edits, text, nested))
        run.line("pycrdt", t_p, done, t_n)
        run.add("mutate, one edit per call", workload, t_n / done, "pycrdt", t_p / done)
    if loro:
        t_l, (ldoc, lups) = timed(lambda: loro_edits(edits, text, nested))
        run.line("loro", t_l, done, t_n)
        run.add("mutate, one edit per call", workload, t_n / done, "loro", t_l / done)

    run.log("  the same operations applied on a second replica")
    for size in (1, 1000):
        operation = "apply, %s per call, per edit" % ("one edit" if size == 1 else f"{size:,} edits")
        t_a, (other, applied) = timed(lambda: norvane_apply(spec, init, batches, size, run.limit))
        if applied == done:
            assert other.value() == doc.value()
        else:
            run.log("  cut short by the time limit after %d edits" % applied)
        where = workload if applied == done else "%s, first %s edits (time limit)" % (label, f"{applied:,}")
        run.line("norvane apply, calls of %d" % size, t_a, applied)
        if pycrdt:
            head = len(pups) - done  # the update that made the field
            t_p, pother = timed(lambda: pycrdt_apply(pups[:head + applied], size, text, nested))
            if applied == done:
                assert pother.get_update() and pycrdt_seq(pother, text, nested).to_py() == \
                    pycrdt_seq(pdoc, text, nested).to_py()
            run.line("pycrdt apply_update", t_p, applied, t_a)
            run.add(operation, where, t_a / applied, "pycrdt apply_update", t_p / applied)
        if loro:
            t_l, lother = timed(lambda: loro_apply(lups[:applied], size))
            if applied == done:
                assert lother.get_deep_value() == ldoc.get_deep_value()
            run.line("loro import", t_l, applied, t_a)
            run.add(operation, where, t_a / applied, "loro import", t_l / applied)

    state = doc.state()
    size = len(state.encode())
    t_r, _ = timed(lambda: norvane.CrdtDocument.from_state(spec, state, "c"))
    run.log("  (6) state() %d bytes, from_state %.4f s" % (size, t_r))
    run.add("CrdtDocument.from_state", workload, t_r)
    if pdoc is not None:
        update = len(pdoc.get_update())
        run.log("  pycrdt update %d bytes" % update)
        run.add("saved state size", workload, size, "pycrdt update", update, "B")
    if ldoc is not None:
        snap = len(ldoc.export(loro.ExportMode.Snapshot()))
        run.log("  loro snapshot %d bytes" % snap)
        run.add("saved state size", workload, size, "loro snapshot", snap, "B")


# ---- (3) one call per change on nested shapes -------------------------------------------------


def section_shapes(run, n):
    members = 20
    run.log("\n(3) up to %d calls each on nested shapes" % n)
    operation = "mutate, one call each"

    def ours(doc, calls, workload):
        """One mutate per call until the time limit; the number of calls made."""
        start, done = time.perf_counter(), 0
        for c in calls:
            doc.mutate(c)
            done += 1
            if done % 100 == 0 and time.perf_counter() - start > run.limit:
                break
        t = time.perf_counter() - start
        if done < len(calls):
            run.log("  cut short by the time limit after %d calls" % done)
            workload += ", first %s calls (time limit)" % f"{done:,}"
        run.line("norvane: " + workload, t, done)
        return t, done, workload

    # Lists inside set members: append to the tags of one of 20 members per call.
    doc = norvane.CrdtDocument(USER_SPEC, user_value(todos={"List": [
        {"Map": {"id": {"Int": i}, "tags": {"List": []}}} for i in range(members)]}), "a")
    calls = []
    for i in range(n):
        path = [K("todos"), {"kind": "member", "key": '[[["id"],{"Int":%d}]]' % (i % members)}, K("tags")]
        calls.append(json.dumps([{"kind": "sequence_splice", "path": path, "index": i // members, "delete_count": 0,
                                  "values": [{"Int": i}]}]))
    t, done, workload = ours(doc, calls, "insert into a list inside one of %d set members" % members)

    def p_tags():
        _, root = pycrdt_doc()
        todos = root["todos"]
        for j in range(members):
            todos[str(j)] = pycrdt.Map({"id": j, "tags": pycrdt.Array()})
        tags = [todos[str(j)]["tags"] for j in range(members)]
        return lambda: [tags[i % members].append(i) for i in range(done)]

    def l_tags():
        d, root = loro_doc()
        todos = root.get("todos").container
        tags = []
        for j in range(members):
            m = todos.insert_container(str(j), loro.LoroMap())
            m.insert("id", j)
            tags.append(m.insert_container("tags", loro.LoroList()))
        d.commit()

        def go():
            for i in range(done):
                lst = tags[i % members]
                lst.insert(i // members, i)
                d.commit()
        return go
    run.peers(operation, workload, t, done, pycrdt and p_tags(), loro and l_tags(),
              ("pycrdt Map of Maps with an Array", "loro LoroMap of LoroMaps with a LoroList"))

    # Lists of maps: append a map per call, then set a field of one per call.
    doc = norvane.CrdtDocument(USER_SPEC, user_value(), "a")
    calls = [json.dumps([{"kind": "sequence_splice", "path": [K("rows")], "index": i, "delete_count": 0,
                          "values": [{"Map": {"title": {"Str": "t%d" % i}, "done": {"Bool": False}}}]}])
             for i in range(n)]
    t, rows, workload = ours(doc, calls, "append a map to a list of maps")

    def p_rows():
        _, root = pycrdt_doc()
        lst = root["rows"]
        return lst, lambda: [lst.append(pycrdt.Map({"title": "t%d" % i, "done": False})) for i in range(rows)]

    def l_rows():
        d, root = loro_doc()
        lst = root.get("rows").container

        def go():
            for i in range(rows):
                m = lst.insert_container(i, loro.LoroMap())
                m.insert("title", "t%d" % i)
                m.insert("done", False)
                d.commit()
        return d, lst, go
    p_state = p_rows() if pycrdt else None
    l_state = l_rows() if loro else None
    run.peers(operation, workload, t, rows, p_state and p_state[1], l_state and l_state[2],
              ("pycrdt Array of Maps", "loro LoroList of LoroMaps"))

    entries = json.loads(doc.state())["root"]["entries"]["rows"]["node"]["entries"]
    ids = [e[0] for e in entries]
    calls = [json.dumps([{"kind": "map_set", "path": [K("rows"), {"kind": "element", "id": ids[(i * 7) % rows]}],
                          "key": "done", "value": {"Bool": True}}]) for i in range(n)]
    t, done, workload = ours(doc, calls, "set a field of a map in a list of %s maps" % f"{rows:,}")

    def p_set():
        lst = p_state[0]
        for i in range(done):
            lst[(i * 7) % rows]["done"] = True

    def l_set():
        d, lst = l_state[0], l_state[1]
        for i in range(done):
            lst.get((i * 7) % rows).container.insert("done", True)
            d.commit()
    run.peers(operation, workload, t, done, p_state and p_set, l_state and l_set,
              ("pycrdt Array of Maps", "loro LoroList of LoroMaps"))

    # Map sets and set adds, one call each, on 500 keys.
    doc = norvane.CrdtDocument(MAP_SPEC, '{"Map":{"m":{"Map":{}},"s":{"List":[]}}}', "a")
    keys = ["k%d" % (i % 500) for i in range(n)]
    workload = "%s calls on 500 keys" % f"{n:,}"
    t_m, _ = timed(lambda: [doc.mutate(json.dumps([{"kind": "map_set", "path": [K("m")], "key": k,
                                                     "value": {"Int": i}}])) for i, k in enumerate(keys)])
    t_s, _ = timed(lambda: [doc.mutate(json.dumps([{"kind": "set_add", "path": [K("s")],
                                                     "value": {"Int": i % 500}}])) for i in range(n)])
    run.line("norvane map_set", t_m, n)
    run.line("norvane set_add", t_s, n)
    run.add("mutate set_add, one call each", workload, t_s / n)

    def p_sets():
        _, root = pycrdt_doc()
        m = root["meta"]
        for i, k in enumerate(keys):
            m[k] = i

    def l_sets():
        d, root = loro_doc()
        m = root.get("meta").container
        for i, k in enumerate(keys):
            m.insert(k, i)
            d.commit()
    run.peers("mutate map_set, one call each", workload, t_m, n, p_sets, l_sets,
              ("pycrdt Map set", "loro LoroMap insert"))


# ---- (4) N operations in one call -------------------------------------------------------------


def section_batches(run, sizes):
    run.log("\n(4) N map_set / set_add in one call")
    for kind in ("map_set", "set_add"):
        prev = None
        for n in sizes:
            workload = "%s %s in one call" % (f"{n:,}", kind)
            if grow(prev, n, 2.3) > run.limit:
                run.skip("mutate, N in one call", workload, "estimated over %g s" % run.limit)
                continue
            if kind == "map_set":
                ms = [{"kind": "map_set", "path": [K("meta")], "key": "k%d" % i, "value": {"Int": i}} for i in range(n)]
            else:
                ms = [{"kind": "set_add", "path": [K("labels")], "value": {"Int": i}} for i in range(n)]
            text = json.dumps(ms)
            doc = norvane.CrdtDocument(USER_SPEC, user_value(), "a")
            t_m, out = timed(lambda: doc.mutate(text))
            prev = (n, t_m)
            ops = out[len('{"ops":'):out.index(',"effect":')]
            other = norvane.CrdtDocument(USER_SPEC, user_value(), "b")
            t_a, _ = timed(lambda: other.apply(ops))
            run.line("norvane mutate, " + workload, t_m, n)
            run.line("norvane apply, " + workload, t_a, n)
            prev = (n, max(t_m, t_a))
            peer = " (a map stands for the set)" if kind == "set_add" else ""
            timings = peer_batches(n)
            for operation, ours, at in (("mutate, N in one call", t_m, 1), ("apply, N in one call", t_a, 3)):
                for timing in timings:
                    run.line(timing[at - 1] + peer, timing[at], n, ours)
                    run.add(operation, workload, ours / n, timing[at - 1] + peer, timing[at] / n)
                if not timings:
                    run.add(operation, workload, ours / n)


def peer_batches(n):
    """(name, seconds of N map sets in one transaction, name, seconds of applying its
    update on a replica that holds the document from before), per peer; setup is not timed."""
    out = []
    if pycrdt:
        d, root = pycrdt_doc()
        base, ups, m = d.get_update(), [], root["meta"]
        d.observe(lambda ev: ups.append(ev.update))

        def sets():
            with d.transaction():
                for i in range(n):
                    m["k%d" % i] = i
        t_m, _ = timed(sets)
        other = pycrdt.Doc()
        other.apply_update(base)
        t_a, _ = timed(lambda: other.apply_update(ups[-1]))
        assert len(other.get("root", type=pycrdt.Map)["meta"]) == n
        out.append(("pycrdt, one transaction", t_m, "pycrdt apply_update", t_a))
    if loro:
        d, root = loro_doc()
        base, ups, m = d.export(loro.ExportMode.Snapshot()), [], root.get("meta").container
        sub = d.subscribe_local_update(lambda b: (ups.append(b), True)[1])

        def inserts():
            for i in range(n):
                m.insert("k%d" % i, i)
            d.commit()
        t_m, _ = timed(inserts)
        del sub
        other = loro.LoroDoc()
        other.import_(base)
        t_a, _ = timed(lambda: other.import_(ups[-1]))
        assert len(other.get_map("root").get("meta").container) == n
        out.append(("loro, one commit", t_m, "loro import", t_a))
    return out


# ---- (5) compaction ---------------------------------------------------------------------------


def section_compact(run, sizes):
    run.log("\n(5) compact with a frontier naming R replicas (one dot each; half remove the other half's keys)")
    prev = None
    for r in sizes:
        workload = "frontier of %s replicas" % f"{r:,}"
        if grow(prev, r, 2) > run.limit:
            run.skip("compact", workload, "estimated over %g s" % run.limit)
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
        run.log("  %-40s %9.4f s  purged %d" % (workload, t, purged))
        run.add("compact", workload, t)


def rows(quick=False, log=print, edits=None, map_ops=None, sizes=None, batches=None, replicas=None, limit=None):
    """Run every section; log the script's own lines and return the run_all rows.
    Sizes left as None take the defaults (or the quick ones)."""
    q = QUICK if quick else dict(edits=EDITS, map_ops=MAP_OPS, sizes=SIZES, batches=BATCHES, replicas=REPLICAS,
                                 limit=LIMIT)
    run = Run(log, limit or q["limit"])
    log("pycrdt %s, loro %s; time limit per workload %g s" % (
        version("pycrdt") if pycrdt else "missing", version("loro") if loro else "missing", run.limit))
    section_curve(run, sizes or q["sizes"])
    section_sequences(run, edits or q["edits"])
    section_shapes(run, map_ops or q["map_ops"])
    section_batches(run, batches or q["batches"])
    section_compact(run, replicas or q["replicas"])
    return run.rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="small sizes")
    ap.add_argument("--edits", type=int, help="length of the editing trace (default %d)" % EDITS)
    ap.add_argument("--map-ops", type=int, help="calls per nested shape (default %d)" % MAP_OPS)

    def ints(text):
        return [int(x) for x in text.split(",")]

    def listed(sizes):
        return ",".join(map(str, sizes))
    ap.add_argument("--sizes", type=ints, help="document sizes of the cost curve (default %s)" % listed(SIZES))
    ap.add_argument("--batches", type=ints, help="operations per call (default %s)" % listed(BATCHES))
    ap.add_argument("--replicas", type=ints, help="replicas in the frontier (default %s)" % listed(REPLICAS))
    ap.add_argument("--limit", type=float, help="time limit per workload in seconds (default %g, quick %g)"
                    % (LIMIT, QUICK["limit"]))
    args = ap.parse_args()
    rows(args.quick, edits=args.edits, map_ops=args.map_ops, sizes=args.sizes, batches=args.batches,
         replicas=args.replicas, limit=args.limit)


if __name__ == "__main__":
    main()
