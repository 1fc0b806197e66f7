"""Run every benchmark of bench/ and print one table: norvane against each peer library.

    PYTHONPATH=build/rel python bench/run_all.py [--quick] [--markdown] [--only codecs,diff,...]

Each bench_*.py script exposes rows(quick, log) returning tuples
(operation, workload, norvane, peer, peer value, unit); the unit is "s" (seconds per call,
lower is better), "MB/s" (throughput of the JSON text, higher is better) or "B" (bytes,
lower is better). The ratio column is always "how many times better norvane is": the peer's
time over norvane's (for throughput norvane's MB/s over the peer's, which is the same thing;
for sizes the peer's bytes over norvane's). Rows whose peer is "-" measure norvane alone
(cost curves). The scripts' own detailed output goes to standard error with --verbose.
"""

import argparse
import datetime
import importlib
import importlib.metadata
import os
import platform
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import norvane  # noqa: E402

BENCHES = ("codecs", "diff", "messages", "crdt")
PEERS = ("orjson", "msgpack", "cbor2", "jsonpatch", "deepdiff", "pycrdt", "loro")
HEADERS = ("benchmark", "operation", "workload", "norvane", "peer", "peer value", "ratio")


def fmt_value(value, unit):
    if value is None:
        return "-"
    if unit == "MB/s":
        return f"{value:.0f} MB/s" if value >= 100 else f"{value:.1f} MB/s"
    if unit == "B":
        if value < 1e3:  # per element
            return f"{value:.1f} B" if value < 100 else f"{value:.0f} B"
        return f"{value / 1e6:.2f} MB" if value >= 1e6 else f"{value / 1e3:.1f} KB"
    if value >= 1:
        return f"{value:.2f} s"
    if value >= 1e-3:
        return f"{value * 1e3:.2f} ms"
    return f"{value * 1e6:.2f} µs"


def fmt_ratio(ours, theirs, unit):
    if ours is None or theirs is None or not ours or not theirs:
        return "-"
    r = ours / theirs if unit == "MB/s" else theirs / ours
    if r >= 100:
        return f"{r:.0f}x"
    return f"{r:.1f}x" if r >= 10 else f"{r:.2f}x" if r >= 0.1 else f"{r:.2g}x"


def cells(bench, rows):
    for operation, workload, ours, peer, theirs, unit in rows:
        yield (bench, operation, workload, fmt_value(ours, unit), peer,
               fmt_value(theirs, unit) if peer != "-" else "-", fmt_ratio(ours, theirs, unit))


def thin(table):
    """Blank the leading cells (and norvane's figure) that repeat the row above."""
    out, prev = [], None
    for row in table:
        shown = list(row)
        if prev is not None:
            for i in range(4):
                if row[i] != prev[i]:
                    break
                shown[i] = ""
        out.append(shown)
        prev = row
    return out


def render(table, markdown):
    table = thin(table)
    if markdown:
        lines = ["| " + " | ".join(HEADERS) + " |",
                 "|" + "|".join("---:" if i in (3, 5, 6) else "---" for i in range(len(HEADERS))) + "|"]
        lines += ["| " + " | ".join(c.replace("|", "\\|") for c in row) + " |" for row in table]
        return "\n".join(lines)
    widths = [max(len(h), *(len(r[i]) for r in table)) for i, h in enumerate(HEADERS)]
    right = (3, 5, 6)

    def line(row):
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(row, widths))).rstrip()
    return "\n".join([line(HEADERS), line(["-" * w for w in widths])] + [line(r) for r in table])


def version(name):
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return "missing"


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        cpu = platform.processor() or cpu
    return f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.machine()}"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes and short runs, for a fast check")
    ap.add_argument("--markdown", action="store_true", help="print a Markdown table")
    ap.add_argument("--only", default=",".join(BENCHES), help="comma-separated subset of " + ",".join(BENCHES))
    ap.add_argument("--crdt-edits", type=int, default=None,
                    help="length of the CRDT synthetic editing trace (default: the script's own)")
    ap.add_argument("--verbose", action="store_true", help="copy each script's own output to standard error")
    args = ap.parse_args(argv)
    chosen = [b.strip() for b in args.only.split(",") if b.strip()]
    unknown = sorted(set(chosen) - set(BENCHES))
    if unknown:
        ap.error("unknown benchmark(s): " + ", ".join(unknown))

    def log(line=""):
        if args.verbose:
            print(line, file=sys.stderr)

    started = time.perf_counter()
    table = []
    for bench in chosen:
        module = importlib.import_module("bench_" + bench)
        t0 = time.perf_counter()
        print(f"running bench_{bench}.py ...", file=sys.stderr, flush=True)
        if bench == "crdt":
            rows = module.rows(args.quick, log, edits=args.crdt_edits)
        else:
            rows = module.rows(args.quick, log)
        print(f"  done in {time.perf_counter() - t0:.0f} s", file=sys.stderr, flush=True)
        table.extend(cells(bench, rows))

    where = os.path.relpath(norvane.__file__)
    header = [
        f"norvane {norvane.__file__ if where.startswith('..') else where}",
        f"{machine()}; Python {platform.python_version()}; "
        + ", ".join(f"{p} {version(p)}" for p in PEERS),
        f"{datetime.date.today().isoformat()}, {'quick' if args.quick else 'full'} run, "
        f"{time.perf_counter() - started:.0f} s",
        "times are per call (per edit for the CRDT traces), MB/s of JSON text, sizes in bytes; "
        "ratio = peer time / norvane time (>1: norvane is faster or smaller)",
    ]
    if args.markdown:
        print("\n".join(h + "  " for h in header[:-1]) + "\n" + header[-1] + "\n")
    else:
        print("\n".join("# " + h for h in header) + "\n")
    print(render(table, args.markdown))


if __name__ == "__main__":
    main()
