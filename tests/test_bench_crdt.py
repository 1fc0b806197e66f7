"""The CRDT benchmark runs end to end at tiny sizes (its figures are not checked: benchmarks are
not tests). It checks every library's final content against the trace itself."""

import os
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")


@pytest.mark.skipif(bool(os.environ.get("NORVANE_SANITIZED")),
                    reason="the memory section starts interpreters of its own, which would report on their own")
def test_bench_crdt_smoke():
    sys.path.insert(0, BENCH)
    try:
        import bench_crdt
    finally:
        sys.path.remove(BENCH)
    lines = []
    rows = bench_crdt.rows(smoke=True, log=lines.append)
    text = "\n".join(lines)
    for heading in ("(1) recorded trace sveltecomponent.json.gz", "(2) synthetic trace", "(3) one mutate",
                    "(4) N map_set", "(5) one call holding N", "(6) one operation per call", "(7) up to",
                    "(8) compact", "(9) state()", "(10) memory"):
        assert heading in text
    assert "failed" not in text
    assert all(len(r) == 6 and r[5] in ("s", "MB/s", "B") for r in rows)
    operations = {r[0] for r in rows}
    assert {"mutate, one patch per call, per edit", "apply, 1,000 patches per call, per edit",
            "memory per typed character (RSS growth / characters)"} <= operations
