"""Memory per element: the process memory (RSS) that typing one character per call into a text
below a map field adds, divided by the characters typed; and what typing a recorded trace (one
call per patch, deletions included) adds, divided by the characters it inserts; norvane, pycrdt
and loro.

Each library and size runs in a fresh interpreter (this file run as a script), so that nothing
else lives in the heap: the resident set is read from /proc/self/statm after a garbage collection
and malloc_trim, once with the empty document made and once after the typing. The peers keep no
update callback (the updates are not kept; norvane's results are dropped as they come).
"""

import ctypes
import gc
import json
import os
import subprocess
import sys
import time

from crdt_common import LETTERS, count

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident():
    """Resident bytes after a collection and after giving freed heap back to the system."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):  # pragma: no cover (not glibc)
        pass
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def typist(lib):
    """A function typing character i at position i, and one returning the text's length."""
    if lib == "norvane":
        import norvane
        from crdt_common import USER_SPEC, user_value
        doc = norvane.CrdtDocument(USER_SPEC, user_value(), "a")
        template = '[{"kind":"sequence_splice","path":[{"kind":"key","key":"text"}],"index":%d,' \
                   '"delete_count":0,"values":[{"Str":"%s"}]}]'

        def typed(i):
            doc.mutate(template % (i, LETTERS[i % 26]))
        return typed, lambda: len(json.loads(doc.value())["Map"]["text"]["Str"])
    if lib == "pycrdt":
        from crdt_common import PycrdtUser
        text = PycrdtUser(capture=False).field("text")

        def typed(i):
            text.insert(i, LETTERS[i % 26])
        return typed, lambda: len(str(text))
    from crdt_common import LoroUser
    made = LoroUser(capture=False)
    text = made.field("text")

    def typed(i):
        text.insert(i, LETTERS[i % 26])
        made.doc.commit()
    return typed, lambda: len(text.to_string())


def trace_typist(lib, path):
    """A function typing patch i of the recorded trace at `path` into a text below a map field,
    one returning the text, and the trace."""
    import crdt_trace
    trace = crdt_trace.load(path)
    shape = crdt_trace.Shape(True, True)
    if lib == "norvane":
        doc = shape.norvane(trace.start, "a")
        calls = shape.mutations(trace.patches)
        return (lambda i: doc.mutate(calls[i])), (lambda: shape.norvane_content(doc)), trace
    seq = (crdt_trace.PycrdtSeq if lib == "pycrdt" else crdt_trace.LoroSeq)(shape, trace.start, capture=False)
    splice, patches = seq.splicer(), seq.positions(trace, trace.patches)
    return (lambda i: splice(patches[i])), (lambda: seq.content(seq.doc)), trace


def child_trace(lib, path, limit):
    """Types the recorded trace at `path`, one call per patch, and prints what it measured."""
    typed, content, trace = trace_typist(lib, path)
    before = resident()
    start = time.perf_counter()
    for i in range(len(trace.patches)):
        typed(i)
    seconds = time.perf_counter() - start
    after = resident()
    if trace.end is not None and content() != trace.end:
        raise AssertionError("%s does not end with the trace's text" % lib)
    inserted = sum(len(p[2]) for p in trace.patches)
    print(json.dumps({"typed": inserted, "seconds": seconds, "before": before, "after": after}))


def child(lib, n, limit):
    """Types up to n characters (stopping at the time limit) and prints what it measured."""
    typed, length = typist(lib)
    before = resident()
    start = time.perf_counter()
    done = 0
    while done < n:
        for i in range(done, min(n, done + 1000)):
            typed(i)
        done = min(n, done + 1000)
        if time.perf_counter() - start > limit:
            break
    seconds = time.perf_counter() - start
    after = resident()
    if length() != done:
        raise AssertionError("%s holds %d characters after %d typed" % (lib, length(), done))
    print(json.dumps({"typed": done, "seconds": seconds, "before": before, "after": after}))


def measure(lib, n, limit, trace=None):
    """Runs one child (typing n characters, or the recorded trace at `trace`); its figures, or
    None with the reason it failed."""
    import norvane
    env = dict(os.environ)  # the child imports the module this run imports, and the helpers beside this file
    env["PYTHONPATH"] = os.pathsep.join(p for p in (os.path.dirname(os.path.abspath(norvane.__file__)),
                                                     os.path.dirname(os.path.abspath(__file__)),
                                                     env.get("PYTHONPATH")) if p)
    try:
        out = subprocess.run([sys.executable, os.path.abspath(__file__), lib, str(n), str(limit)] + (
                                 [trace] if trace else []),
                             capture_output=True, text=True, env=env, timeout=limit * 3 + 120)
    except subprocess.TimeoutExpired:
        return None, "timed out"
    if out.returncode:
        return None, (out.stderr.strip().splitlines() or ["exit status %d" % out.returncode])[-1]
    return json.loads(out.stdout.strip().splitlines()[-1]), None


def section_memory(run, sizes, limit, libs, trace=None):
    run.log("\n(10) memory: RSS growth per character typed into a text below a map field, one call per "
            "character, a fresh process per library and size (time limit %g s each; the peers type as "
            "many characters as norvane did)" % limit)
    operation = "memory per typed character (RSS growth / characters)"
    for n in sizes:
        workload = "text below a map field, %s characters typed" % count(n)
        ours, target = None, n
        for lib in libs:
            got, why = measure(lib, target, limit)
            if got is None:
                run.log("  %-8s n=%-9s failed: %s" % (lib, count(n), why))
                if lib == "norvane":
                    run.skip(operation, workload, "failed: " + why)
                    break
                continue
            typed, grown = got["typed"], got["after"] - got["before"]
            per = grown / typed if typed else float("nan")
            cut = "" if typed == n else "  (time limit: %s typed)" % count(typed)
            run.log("  %-8s n=%-9s %8.1f bytes/character  RSS +%.1f MB in %.1f s%s" % (
                lib, count(n), per, grown / 1e6, got["seconds"], cut))
            if lib == "norvane":
                ours, target = per, typed
                if typed < n:
                    workload = "text below a map field, %s of %s characters typed (time limit)" % (
                        count(typed), count(n))
                if len(libs) == 1:
                    run.add(operation, workload, ours, unit="B")
            elif ours is not None:
                run.add(operation, workload, ours, lib, per, "B")
    if trace:
        section_trace_memory(run, trace, limit, libs)


def section_trace_memory(run, trace, limit, libs):
    operation = "memory per inserted character (RSS growth / characters inserted)"
    workload = "recorded trace %s typed, one call per patch" % os.path.basename(trace)
    ours = None
    for lib in libs:
        got, why = measure(lib, 0, limit, trace)
        if got is None:
            run.log("  %-8s %s failed: %s" % (lib, workload, why))
            if lib == "norvane":
                run.skip(operation, workload, "failed: " + why)
                return
            continue
        grown = got["after"] - got["before"]
        per = grown / got["typed"]
        run.log("  %-8s %s: %8.1f bytes/inserted character  RSS +%.1f MB in %.1f s" % (
            lib, workload, per, grown / 1e6, got["seconds"]))
        if lib == "norvane":
            ours = per
            if len(libs) == 1:
                run.add(operation, workload, ours, unit="B")
        elif ours is not None:
            run.add(operation, workload, ours, lib, per, "B")


if __name__ == "__main__":
    if len(sys.argv) > 4:
        child_trace(sys.argv[1], sys.argv[4], float(sys.argv[3]))
    else:
        child(sys.argv[1], int(sys.argv[2]), float(sys.argv[3]))
