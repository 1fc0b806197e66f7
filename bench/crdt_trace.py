"""Editing traces typed into a CRDT sequence, one call per edit, then received by a second
replica in calls of 1 and of 1,000 edits; norvane, pycrdt and loro side by side.

A trace is a start text and a list of patches (position, characters deleted, text inserted),
applied one after the other. A recorded trace (JSON, gzipped or not: "startContent",
"endContent", "txns"[]."patches"[[pos, del, ins], ...]) is typed into a text below a map field;
every library's text must end equal to "endContent". A synthetic trace (a cursor that mostly
moves forward, about 10% deletions) is also typed into a list, and at the root.
"""

import gzip
import json
import os
import random

import norvane
from crdt_common import (K, LIST_SPEC, LoroUser, PycrdtUser, TEXT_SPEC, USER_SPEC, count, each, join_ops, loro,
                         loro_batches, ops_of, pycrdt, pycrdt_batches, timed, us, user_value)

HERE = os.path.dirname(os.path.abspath(__file__))
RECORDED = os.path.join(HERE, "data", "sveltecomponent.json.gz")


class Trace:
    def __init__(self, name, start, patches, end=None, txns=None):
        self.name, self.start, self.end, self.txns = name, start, end, txns
        self.cut = False  # only the first patches of the trace are kept
        self.patches = [p for p in patches if p[1] or p[2]]  # a patch that changes nothing makes no call
        self.empty = len(patches) - len(self.patches)

    def describe(self):
        inserted = sum(len(p[2]) for p in self.patches)
        deleted = sum(p[1] for p in self.patches)
        txns = "%s transactions, " % count(self.txns) if self.txns is not None else ""
        empty = ", %s empty patches left out" % count(self.empty) if self.empty else ""
        end = ", final text %s characters" % count(len(self.end)) if self.end is not None else ""
        return "%s%s patches, %s characters inserted and %s deleted%s%s" % (
            txns, count(len(self.patches)), count(inserted), count(deleted), end, empty)

    def ascii(self):
        return self.start.isascii() and all(p[2].isascii() for p in self.patches)

    def text_after(self, n):
        """The text after the first n patches (the recorded end text when n is all of them)."""
        if n == len(self.patches) and self.end is not None:
            return self.end
        s = self.start
        for pos, d, ins in self.patches[:n]:
            s = s[:pos] + ins + s[pos + d:]
        return s


def load(path):
    with open(path, "rb") as f:
        raw = f.read()
    if raw[:2] == b"\x1f\x8b":
        raw = gzip.decompress(raw)
    data = json.loads(raw)
    patches = [(int(p[0]), int(p[1]), p[2]) for t in data["txns"] for p in t["patches"]]
    return Trace(os.path.basename(path), data["startContent"], patches, data["endContent"], len(data["txns"]))


def synthetic(n, seed=7):
    """n single-character edits by a cursor that mostly moves forward, about 10% deletions."""
    rnd = random.Random(seed)
    length = cursor = 0
    patches = []
    for i in range(n):
        if rnd.random() < 0.05:
            cursor = rnd.randint(0, length)
        if length and rnd.random() < 0.10:
            pos = max(0, min(cursor - 1, length - 1))
            patches.append((pos, 1, ""))
            length -= 1
            cursor = pos
        else:
            patches.append((cursor, 0, "abcdefghijklmnopqrstuvwxyz"[i % 26]))
            length += 1
            cursor += 1
    return Trace("synthetic trace", "", patches)


# ---- one library's document holding the sequence ----------------------------------------------------


class Shape:
    """Where the sequence lives: a text or a list (of the characters' code points), below the
    map field "text" or "items" of the user shape, or at the root."""

    def __init__(self, text, nested):
        self.text, self.nested = text, nested
        self.field = "text" if text else "items"
        self.label = ("text" if text else "list") + (" below a map field" if nested else " at the root")

    def norvane(self, start, replica):
        if self.text:
            initial = {"Str": start}
        else:
            initial = {"List": [{"Int": ord(c)} for c in start]}
        if self.nested:
            return norvane.CrdtDocument(USER_SPEC, user_value(**{self.field: initial}), replica)
        return norvane.CrdtDocument(TEXT_SPEC if self.text else LIST_SPEC, json.dumps(initial), replica)

    def norvane_content(self, doc):
        v = json.loads(doc.value())
        if self.nested:
            v = v["Map"][self.field]
        return v["Str"] if self.text else "".join(chr(x["Int"]) for x in v["List"])

    def mutations(self, patches):
        path = json.dumps([K(self.field)] if self.nested else [])
        cache = {}

        def value(c):
            if c not in cache:
                cache[c] = json.dumps({"Str": c} if self.text else {"Int": ord(c)})
            return cache[c]
        return ['[{"kind":"sequence_splice","path":%s,"index":%d,"delete_count":%d,"values":[%s]}]'
                % (path, pos, d, ",".join(map(value, ins))) for pos, d, ins in patches]


class PycrdtSeq:
    """The sequence in pycrdt, one transaction per patch. pycrdt counts text positions in
    UTF-8 bytes: for a trace that is not ASCII the positions are converted beforehand.
    `updates` collects every update (unless `capture` is false)."""

    def __init__(self, shape, start, capture=True):
        self.shape = shape
        if shape.nested:
            made = PycrdtUser(text=start if shape.text else "", items=[] if shape.text else [ord(c) for c in start],
                              capture=capture)
            self.doc, self.seq, self.base, self.updates = made.doc, made.field(shape.field), made.base, made.updates
            self.made = made  # holds the subscription, if any
        else:
            self.doc = pycrdt.Doc()
            self.seq = pycrdt.Text(start) if shape.text else pycrdt.Array([ord(c) for c in start])
            self.doc["s"] = self.seq
            self.base = self.doc.get_update()
            updates = self.updates = []
            if capture:
                # The callback holds the list, not this object (see crdt_common.PycrdtUser).
                self.sub = self.doc.observe(lambda ev: updates.append(ev.update))

    def __del__(self):
        # pycrdt keeps an observed document alive while its subscription stands.
        if getattr(self, "sub", None) is not None:
            self.doc.unobserve(self.sub)

    def positions(self, trace, patches):
        if not self.shape.text or trace.ascii():
            return patches
        out, s = [], trace.start
        for pos, d, ins in patches:
            head = len(s[:pos].encode())
            out.append((head, len(s[pos:pos + d].encode()), ins))
            s = s[:pos] + ins + s[pos + d:]
        return out

    def splicer(self):
        doc, seq, text = self.doc, self.seq, self.shape.text

        def splice(patch):
            pos, d, ins = patch
            if d and ins:
                with doc.transaction():
                    del seq[pos:pos + d]
                    insert(pos, ins)
            elif d:
                del seq[pos:pos + d]
            else:
                insert(pos, ins)

        def insert(pos, ins):
            if text:
                seq.insert(pos, ins)
            elif len(ins) == 1:
                seq.insert(pos, ord(ins))
            else:
                with doc.transaction():
                    for i, c in enumerate(ins):
                        seq.insert(pos + i, ord(c))
        return splice

    def replica(self):
        doc = pycrdt.Doc()
        doc.apply_update(self.base)
        return doc

    def content(self, doc):
        kind = pycrdt.Text if self.shape.text else pycrdt.Array
        seq = PycrdtUser.field_of(doc, self.shape.field) if self.shape.nested else doc.get("s", type=kind)
        return str(seq) if self.shape.text else "".join(chr(int(x)) for x in seq.to_py())

    def batches(self, n, size):
        return pycrdt_batches(self.base, self.updates[:n], size)


class LoroSeq:
    """The sequence in loro, one commit per patch; `updates` as PycrdtSeq's."""

    def __init__(self, shape, start, capture=True):
        self.shape = shape
        if shape.nested:
            made = LoroUser(text=start if shape.text else "", items=[] if shape.text else [ord(c) for c in start],
                            capture=capture)
            self.doc, self.seq, self.base, self.updates = made.doc, made.field(shape.field), made.base, made.updates
            self.made = made  # holds the subscription, if any
        else:
            self.doc = loro.LoroDoc()
            self.seq = self.doc.get_text("s") if shape.text else self.doc.get_list("s")
            if start:
                if shape.text:
                    self.seq.insert(0, start)
                else:
                    for i, c in enumerate(start):
                        self.seq.insert(i, ord(c))
                self.doc.commit()
            self.base = self.doc.export(loro.ExportMode.Snapshot())
            updates = self.updates = []
            if capture:
                self.sub = self.doc.subscribe_local_update(lambda b: (updates.append(b), True)[1])

    def positions(self, trace, patches):
        return patches

    def splicer(self):
        doc, seq, text = self.doc, self.seq, self.shape.text

        def splice(patch):
            pos, d, ins = patch
            if d:
                seq.delete(pos, d)
            if text:
                if ins:
                    seq.insert(pos, ins)
            else:
                for i, c in enumerate(ins):
                    seq.insert(pos + i, ord(c))
            doc.commit()
        return splice

    def replica(self):
        doc = loro.LoroDoc()
        doc.import_(self.base)
        return doc

    def content(self, doc):
        if self.shape.nested:
            seq = LoroUser.field_of(doc, self.shape.field)
        else:
            seq = doc.get_text("s") if self.shape.text else doc.get_list("s")
        return seq.to_string() if self.shape.text else "".join(chr(int(x)) for x in seq.get_value())

    def batches(self, n, size):
        return loro_batches(self.base, self.updates[:n], size)


def peers():
    return [(name, cls) for name, lib, cls in (("pycrdt", pycrdt, PycrdtSeq), ("loro", loro, LoroSeq)) if lib]


# ---- the workload ---------------------------------------------------------------------------------


def spread(times, edits=None):
    """(total, mean per edit, mean per edit over the first 10% of calls, over the last 10%);
    `edits` is the number of edits of each call (one each when not given)."""
    edits = edits or [1] * len(times)
    k = max(1, len(times) // 10)
    total = sum(times)
    return total, total / sum(edits), sum(times[:k]) / sum(edits[:k]), sum(times[-k:]) / sum(edits[-k:])


def report(run, name, times, edits=None, ours=None, extra=""):
    total, mean, first, last = spread(times, edits)
    ratio = "" if ours is None else "   ratio %.3g" % (total / ours if ours else float("inf"))
    run.log("  %-30s %9.4f s  %11s %11s %11s  x%-5.1f%s%s" % (
        name, total, us(mean), us(first), us(last), last / first if first else float("nan"), extra, ratio))
    return total, mean, last


def check(who, got, expected):
    if got != expected:
        at = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b), min(len(got), len(expected)))
        raise AssertionError("%s ends with another content than the trace (length %d, expected %d; first "
                             "difference at %d)" % (who, len(got), len(expected), at))


def table(run, operation, workload, mean, last, peer_means, detail):
    """The rows of one phase: per edit over the whole trace and, with `detail`, over its last 10%."""
    for suffix, ours, at in (("", mean, 1), (", last 10%", last, 2)) if detail else (("", mean, 1),):
        for peer in peer_means:
            run.add(operation, workload + suffix, ours, peer[0], peer[at])
        if not peer_means:
            run.add(operation, workload + suffix, ours)


def run_trace(run, trace, shape, title, detail=False):
    """Types the trace (one call per patch) and receives it on a second replica (calls of 1 and
    of 1,000) in each library; returns the norvane document and the peers' (name, sender). With
    `detail`, the rows for run_all also give the last 10% of the trace."""
    run.log("\n%s: %s into a %s" % (title, trace.describe(), shape.label))
    patches = trace.patches
    mutations = shape.mutations(patches)
    doc = shape.norvane(trace.start, "a")
    ops, written = [], []

    def keep(out):
        ops.append(ops_of(out))
        written.append(len(out))
    times = each(doc.mutate, mutations, run.limit, keep)
    done = len(times)
    workload = "%s, %s" % (shape.label, trace.name)
    if done < len(patches):
        run.log("  cut short by the %g s time limit after %s of %s patches; every library runs those"
                % (run.limit, count(done), count(len(patches))))
        workload += ", first %s patches (time limit)" % count(done)
        patches = patches[:done]
    else:
        workload += " (%s%s patches)" % ("first " if trace.cut else "", count(done))
    expected = trace.text_after(done)
    check("norvane", shape.norvane_content(doc), expected)

    run.log("  %-30s %11s  %11s %11s %11s  %-6s" % ("one call per patch", "total", "per edit", "first 10%",
                                                    "last 10%", "growth"))
    operation = "mutate, one patch per call, per edit"
    peer_means = []
    total, mean, last = report(run, "norvane mutate", times, extra="  result text %.0f MB/s" % (
        sum(written) / 1e6 / sum(times)))
    senders = []
    for name, cls in peers():
        sender = cls(shape, trace.start)
        ptimes = each(sender.splicer(), sender.positions(trace, patches), float("inf"))
        check(name, sender.content(sender.doc), expected)
        if len(sender.updates) != done:
            raise AssertionError("%s made %d updates for %d patches" % (name, len(sender.updates), done))
        _, pmean, plast = report(run, name, ptimes, ours=total)
        peer_means.append((name, pmean, plast))
        senders.append((name, sender))
    table(run, operation, workload, mean, last, peer_means, detail)

    for size in (1, 1000):
        operation = "apply, %s per call, per edit" % ("one patch" if size == 1 else "%s patches" % count(size))
        batches = ops if size == 1 else [join_ops(ops[i:i + size]) for i in range(0, done, size)]
        edits = [min(size, done - i) for i in range(0, done, size)]
        other = shape.norvane(trace.start, "b")
        times = each(other.apply, batches, run.limit)
        received = sum(edits[:len(times)])
        where = workload
        if len(times) < len(batches):
            run.log("  calls of %s cut short by the time limit after %s patches" % (count(size), count(received)))
            where += ", first %s patches (time limit)" % count(received)
        else:
            check("norvane apply", shape.norvane_content(other), expected)
        read = sum(map(len, batches[:len(times)]))
        k = max(1, len(times) // 10)
        rate = "  op text %.0f MB/s (first 10%% %.0f, last 10%% %.0f)" % (
            read / 1e6 / sum(times), sum(map(len, batches[:k])) / 1e6 / sum(times[:k]),
            sum(map(len, batches[len(times) - k:len(times)])) / 1e6 / sum(times[-k:]))
        run.log("  received in calls of %s" % count(size))
        total, mean, last = report(run, "norvane apply", times, edits[:len(times)], extra=rate)
        peer_means = []
        for name, sender in senders:
            pbatches = sender.batches(received, size)
            replica = sender.replica()
            apply = replica.apply_update if name == "pycrdt" else replica.import_
            ptimes = each(apply, pbatches, float("inf"))
            if received == done:
                check(name + " receiving", sender.content(replica), expected)
            _, pmean, plast = report(run, name, ptimes, edits[:len(ptimes)], ours=total)
            peer_means.append((name, pmean, plast))
        table(run, operation, where, mean, last, peer_means, detail)

    state = doc.state()
    size = len(state.encode())
    t_r, _ = timed(lambda: norvane.CrdtDocument.from_state(doc_spec(shape), state, "c"))
    run.log("  state() %s bytes, from_state %.4f s" % (count(size), t_r))
    run.add("CrdtDocument.from_state", workload, t_r)
    for name, sender in senders:
        saved = len(sender.doc.get_update()) if name == "pycrdt" else len(
            sender.doc.export(loro.ExportMode.Snapshot()))
        run.log("  %s %s bytes" % ("pycrdt update" if name == "pycrdt" else "loro snapshot", count(saved)))
        run.add("saved state size", workload, size, "pycrdt update" if name == "pycrdt" else "loro snapshot",
                saved, "B")
    return doc, senders


def doc_spec(shape):
    return USER_SPEC if shape.nested else TEXT_SPEC if shape.text else LIST_SPEC


def section_recorded(run, path=None, patches=None):
    trace = load(path or RECORDED)
    if patches is not None and patches < len(trace.patches):
        trace.patches = trace.patches[:patches]
        trace.end = trace.txns = None
        trace.cut = True
    return run_trace(run, trace, Shape(text=True, nested=True), "(1) recorded trace " + trace.name, detail=True)


def section_synthetic(run, n):
    trace = synthetic(n)
    for nested in (True, False):
        for text in (True, False):
            run_trace(run, trace, Shape(text, nested), "(2) synthetic trace")
