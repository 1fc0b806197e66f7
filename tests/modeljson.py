"""Tagged model JSON for tests: Python values to the module's text and back."""

import json

from hypothesis import strategies as st


class Sub(int):
    """A Submodel reference."""


def tag(v):
    """Python value -> tagged model JSON document (bool before int, float stays Float)."""
    if v is None:
        return "Null"
    if isinstance(v, bool):
        return {"Bool": v}
    if isinstance(v, Sub):
        return {"Submodel": int(v)}
    if isinstance(v, int):
        return {"Int": v}
    if isinstance(v, float):
        return {"Float": v}
    if isinstance(v, str):
        return {"Str": v}
    if isinstance(v, list):
        return {"List": [tag(x) for x in v]}
    if isinstance(v, dict):
        return {"Map": {k: tag(x) for k, x in sorted(v.items(), key=lambda kv: kv[0].encode())}}
    raise TypeError(v)


def untag(d):
    if d == "Null":
        return None
    ((kind, payload),) = d.items()
    if kind == "List":
        return [untag(x) for x in payload]
    if kind == "Map":
        return {k: untag(x) for k, x in payload.items()}
    if kind == "Submodel":
        return Sub(payload)
    return payload


def text(v):
    return json.dumps(tag(v), separators=(",", ":"), ensure_ascii=False)


def value(t):
    return untag(json.loads(t))


def same(a, b):
    """Model value equality: Int 1 and Float 1.0 differ, floats compare as IEEE numbers."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


# ---- patch operations as documents ---------------------------------------------------


def path(*segs):
    return [{"Key": s} if isinstance(s, str) else {"Index": s} for s in segs]


def Set(p, v):
    return {"Set": {"path": p, "value": tag(v)}}


def Remove(p):
    return {"Remove": {"path": p}}


def Insert(p, i, v):
    return {"Insert": {"path": p, "index": i, "value": tag(v)}}


def RemoveAt(p, i):
    return {"RemoveAt": {"path": p, "index": i}}


def Move(p, a, b):
    return {"Move": {"path": p, "from": a, "to": b}}


def Reorder(p, order):
    return {"Reorder": {"path": p, "order": order}}


def patch_text(ops, rev=0):
    return json.dumps({"rev": rev, "ops": ops}, separators=(",", ":"), ensure_ascii=False)


# ---- hypothesis strategies ------------------------------------------------------------

scalars = (
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**63 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.sampled_from([0.0, -0.0, 1.0])
    | st.text(max_size=6)
    | st.integers(0, 2**64 - 1).map(Sub)
)
small_scalars = st.integers(0, 4) | st.sampled_from(["a", "b", 0.0, -0.0, None, True])
keys = st.text(max_size=3) | st.sampled_from(["a", "b", "c", "é", "\x00"])


def trees(leaves, max_leaves=20):
    return st.recursive(
        leaves,
        lambda kids: st.lists(kids, max_size=6) | st.dictionaries(keys, kids, max_size=5),
        max_leaves=max_leaves,
    )


values = trees(scalars | small_scalars)
