"""Live protocol messages: normalize_message, encode_message and decode_message
against the pipelines a Python adapter would otherwise build from orjson,
msgpack and cbor2.

    PYTHONPATH=build/dev python bench/bench_messages.py [--quick]

For each typical message and codec it prints the time per call of norvane and
of the alternative, and the ratio (alternative / norvane: above 1 means
norvane is faster). rows() returns the same figures as table rows for
bench/run_all.py.
"""

import argparse
import json
import sys
import timeit
from importlib.metadata import version

import cbor2
import msgpack
import orjson

import norvane
from tagging import tag

SORT = orjson.OPT_SORT_KEYS


def todo(i):
    return {"id": i, "title": f"task number {i}", "done": i % 3 == 0, "estimate": i * 0.25,
            "tags": ["home", "work"][: i % 3], "owner": None}


def patch_message():
    return {"t": "patch", "id": 42, "proposal": "auto-17",
            "patch": {"rev": 1093, "ops": [
                {"Set": {"path": [{"Key": "todos"}, {"Index": 3}, {"Key": "title"}],
                         "value": {"Str": "Buy milk and eggs"}}},
                {"Set": {"path": [{"Key": "todos"}, {"Index": 3}, {"Key": "done"}],
                         "value": {"Bool": True}}}]}}


def snapshot_message(todos=110):
    return {"t": "snapshot", "id": 7, "type": "TodoList", "rev": 12,
            "value": tag({"name": "groceries", "todos": [todo(i) for i in range(todos)]})}


def crdt_snapshot_message():
    entries = {}
    for i in range(4200):
        entries[f"item-{i:05d}"] = {
            "node": {"kind": "register", "value": {"Str": f"value {i}"},
                     "dot": {"counter": i + 1, "replica": "replica-a"}},
            "dots": [{"counter": i + 1, "replica": "replica-a"}]}
    state = {"state_version": 1, "spec_hash": "sha256:" + "ab" * 32,
             "root": {"kind": "map", "entries": entries},
             "context": {"compacted": {"replica-a": 12}, "dots": []}}
    spec = {"root": {"kind": "map", "values": {"kind": "register"}}}
    return {"t": "crdt_snapshot", "id": 9, "type": "Doc", "rev": 4200,
            "value": {"Map": {}}, "spec": spec, "state": state}


def batch_message():
    msgs = []
    for i in range(1000):
        if i % 3 == 0:
            msgs.append({"t": "ack", "id": i, "rev": i + 1, "proposal": f"auto-{i}"})
        elif i % 3 == 1:
            msgs.append({"t": "awareness", "id": i, "peer": "peer-1", "state": {"cursor": i, "sel": [i, i + 2]}})
        else:
            msgs.append({"t": "patch", "id": i, "patch": {"rev": i, "ops": [
                {"Set": {"path": [{"Key": "n"}], "value": {"Int": i}}}]}})
    return {"t": "batch", "msgs": msgs}


MESSAGES = [
    ("patch", patch_message()),
    ("snapshot", snapshot_message()),
    ("snapshot 1 MB", snapshot_message(5800)),
    ("crdt_snapshot", crdt_snapshot_message()),
    ("batch x1000", batch_message()),
]


def per_call(fn, budget):
    """Seconds per call: the best of five runs of about `budget` seconds each."""
    timer = timeit.Timer(fn)
    n = 1
    while True:  # calibrate on about a fifth of the budget
        t = timer.timeit(n)
        if t >= budget / 5 or n >= 1 << 30:
            break
        n *= 2 if t == 0 else max(2, min(100, int(budget / 5 / t) + 1))
    number = max(1, int(n * budget / max(t, 1e-9)))
    return min(timer.repeat(number=number, repeat=5)) / number


def fmt(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:9.2f} us"
    return f"{seconds * 1e3:9.2f} ms"


def rows(quick=False, log=print):
    """Measure every message and codec; log the script's own lines and return the run_all rows."""
    budget = 0.02 if quick else 0.2
    log(f"python {sys.version.split()[0]}, orjson {orjson.__version__}, "
        f"msgpack {version('msgpack')}, cbor2 {version('cbor2')}")
    log(f"{'message':<14} {'operation':<20} {'norvane':>12} {'alternative':>12} {'ratio':>7}")

    out = []
    for name, msg in MESSAGES:
        text = json.dumps(msg)
        norm = norvane.normalize_message(text)
        size = f"{len(text.encode()) / 1024:.1f} KB" if len(text) > 1024 else f"{len(text)} B"
        log(f"{name} ({size})")
        rows = [("normalize_message", lambda: norvane.normalize_message(text),
                 lambda: orjson.dumps(orjson.loads(text), option=SORT), "orjson")]
        bjson = norvane.encode_message(text, "json")
        rows.append(("decode json", lambda: norvane.decode_message(bjson, "json"),
                     lambda: orjson.dumps(orjson.loads(bjson), option=SORT), "orjson"))
        for codec, pack, unpack, lib in (("msgpack", msgpack.packb, msgpack.unpackb, "msgpack"),
                                         ("cbor", cbor2.dumps, cbor2.loads, "cbor2")):
            try:
                data = norvane.encode_message(text, codec)
            except ValueError as e:
                log(f"  {codec}: unavailable ({e})")
                continue
            assert norvane.decode_message(data, codec) == norm
            rows.append((f"encode {codec}", lambda c=codec: norvane.encode_message(text, c),
                         lambda p=pack: p(orjson.loads(text)), "orjson + " + lib))
            rows.append((f"decode {codec}", lambda c=codec, d=data: norvane.decode_message(d, c),
                         lambda u=unpack, d=data: orjson.dumps(u(d), option=SORT), lib + " + orjson"))
        for op, ours, theirs, peer in rows:
            a = per_call(ours, budget)
            b = per_call(theirs, budget)
            log(f"  {'':<12} {op:<20} {fmt(a)} {fmt(b)} {b / a:6.2f}x")
            operation = op if op == "normalize_message" else op.replace(" ", "_message ", 1)
            out.append((operation, f"{name} message, {size}", a, peer, b, "s"))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="shorter runs")
    rows(ap.parse_args().quick)


if __name__ == "__main__":
    main()
