"""Structural diff: the module function `diff` and its round trip through `apply`."""

import json
import random

import pytest
from hypothesis import given, strategies as st

import norvane
from modeljson import (Insert, Move, Remove, RemoveAt, Reorder, Set, path, same, tag, text,
                       value, values, small_scalars, trees)


def ops_of(old, new):
    patch = json.loads(norvane.diff(text(old), text(new)))
    assert patch["rev"] == 0
    return patch["ops"]


def roundtrip(old, new):
    patch = norvane.diff(text(old), text(new))
    result = norvane.apply(text(old), patch)
    assert same(value(result), new), (old, new, patch)
    assert norvane.diff(text(old), text(new)) == patch  # deterministic
    return patch


R = path()
WORKED = [
    ([1, 2], [1, 2, 3], [Insert(R, 2, 3)]),
    ([5], [6, 5], [Insert(R, 0, 6)]),
    ([1, 2, 3], [1, 4, 2, 3], [Insert(R, 1, 4)]),
    ([1, 2, 3], [1, 3], [Move(R, 2, 1), RemoveAt(R, 2)]),
    ([1, 2, 3, 4], [1, 3], [Move(R, 2, 1), RemoveAt(R, 3), RemoveAt(R, 2)]),
    ([1, 2, 3], [], [RemoveAt(R, 2), RemoveAt(R, 1), RemoveAt(R, 0)]),
    ([1, 2], [1, 5], [Set(path(1), 5)]),
    ([[1], 2], [[7], 2], [Set(path(0, 0), 7)]),
    ([1, 2, 3], [3, 1, 2], [Move(R, 2, 0)]),
    ([1, 2, 3], [2, 3, 1], [Move(R, 1, 0), Move(R, 2, 1)]),
    ([1, 1, 3], [2, 1, 1], [Set(path(0), 2), Set(path(2), 1)]),
    ([1, 3, 4], [2, 1, 3], [Move(R, 0, 1), Move(R, 0, 2), Move(R, 0, 1), Set(path(0), 2)]),
    ([0, 4, 0], [2, 4, 0], [Set(path(0), 2)]),
    (list(range(10)), list(range(9, -1, -1)), [Reorder(R, list(range(9, -1, -1)))]),
    (list(range(9)), list(range(8, -1, -1)), [Reorder(R, list(range(8, -1, -1)))]),
    ({"a": [1, 2]}, {"a": [1, 2, 3]}, [Insert(path("a"), 2, 3)]),
]


@pytest.mark.parametrize("old, new, expected", WORKED)
def test_worked_examples(old, new, expected):
    assert ops_of(old, new) == expected
    roundtrip(old, new)


def test_map_example_exact_text():
    old = '{"Map":{"a":{"Int":1},"c":"Null"}}'
    new = '{"Map":{"a":{"Int":2},"b":{"Bool":true}}}'
    assert norvane.diff(old, new) == (
        '{"rev":0,"ops":[{"Set":{"path":[{"Key":"a"}],"value":{"Int":2}}},'
        '{"Set":{"path":[{"Key":"b"}],"value":{"Bool":true}}},{"Remove":{"path":[{"Key":"c"}]}}]}'
    )


@pytest.mark.parametrize(
    "old, new, expected",
    [
        # equal values of any shape, and empty lists, give nothing
        ({"a": [1, {"b": None}]}, {"a": [1, {"b": None}]}, []),
        ([], [], []),
        (0.0, -0.0, []),
        ([0.0], [-0.0], []),  # key texts differ: no pairing order, and the greedy pass finds them equal
        ([0.0, 1], [1, -0.0], [Move(R, 1, 0)]),
        # elements pair by their key text, so 0.0 and -0.0 are rearranged although equal
        ([0.0] * 10 + [-0.0] * 10, [-0.0] * 10 + [0.0] * 10, [Reorder(R, list(range(10, 20)) + list(range(10)))]),
        (1, 1.0, [Set(R, 1.0)]),
        ([1], {"0": 1}, [Set(R, {"0": 1})]),
        # map operations: ascending byte order, additions and nested changes first
        ({"b": 1, "é": 1, "z": 1, "a": [1]}, {"a": [1, 2], "c": 2, "é": 2},
         [Insert(path("a"), 1, 2), Set(path("c"), 2), Set(path("é"), 2), Remove(path("b")), Remove(path("z"))]),
        # rotation: right by one is one Move, left by one two
        ([1, 2, 3, 4, 5], [5, 1, 2, 3, 4], [Move(R, 4, 0)]),
        # lists of different lengths never give a Reorder
        (list(range(12)), list(range(12, -1, -1)),
         [Set(path(i), 12 - i) for i in range(12) if i != 6] + [Insert(R, 12, 0)]),
        # equal length, one element changed and others moved: positional once over the limit
        (list(range(10)), [99] + list(range(9, 0, -1)),
         [Set(path(0), 99)] + [Set(path(i), 10 - i) for i in range(1, 10) if 10 - i != i]),
    ],
)
def test_edge_cases(old, new, expected):
    assert ops_of(old, new) == expected
    roundtrip(old, new)


def test_nan_never_equals_itself():
    nan = '{"Float":NaN}'  # not JSON: NaN can only come from other formats
    with pytest.raises(ValueError):
        norvane.diff(nan, nan)


def test_duplicates_pair_in_order():
    # the k-th occurrence of 5 in the new list pairs with its k-th occurrence in the old one
    old = list(range(11)) + [5]
    assert ops_of(old, old[::-1]) == [Reorder(R, [5, 10, 9, 8, 7, 6, 11, 4, 3, 2, 1, 0])]
    roundtrip(old, old[::-1])


@pytest.mark.parametrize(
    "old, new, message",
    [
        ("{", '"Null"', "EOF while parsing an object at line 1 column 1"),
        ("{", "[", "EOF while parsing an object at line 1 column 1"),  # old is read first
        ('"Null"', '"Null" x', "trailing characters at line 1 column 8"),
        ('{"Int":1.5}', '"Null"', "invalid type: floating point `1.5`, expected i64 at line 1 column 10"),
    ],
)
def test_bad_input(old, new, message):
    with pytest.raises(ValueError) as info:
        norvane.diff(old, new)
    assert info.value.args == (message,)


def test_second_argument_type_checked_before_reading():
    with pytest.raises(TypeError) as info:
        norvane.diff("{", 1)
    assert info.value.__notes__ == ["while processing 'new'"]


def test_signature():
    assert norvane.diff.__text_signature__ == "(old, new)"
    assert norvane.diff.__doc__ == "Diff two JSON-encoded models, returning the JSON-encoded patch."
    assert norvane.apply.__text_signature__ == "(value, patch)"
    assert norvane.apply.__doc__ == (
        "Apply a JSON-encoded patch to a JSON-encoded model, returning the JSON-encoded result.")


# ---- properties ---------------------------------------------------------------------

@given(values, values)
def test_roundtrip_any(old, new):
    roundtrip(old, new)


@given(st.lists(trees(small_scalars, 6), max_size=30), st.randoms(use_true_random=False))
def test_roundtrip_permutations_and_edits(items, rnd):
    new = list(items)
    rnd.shuffle(new)
    for _ in range(rnd.randrange(3)):
        op = rnd.randrange(3)
        if op == 0 and new:
            del new[rnd.randrange(len(new))]
        elif op == 1:
            new.insert(rnd.randrange(len(new) + 1), rnd.choice(items or [7]))
        elif new:
            new[rnd.randrange(len(new))] = [rnd.randrange(3)]
    roundtrip(items, new)
    roundtrip({"k": [items]}, {"k": [new]})


@given(st.integers(0, 2**32), st.sampled_from([50, 300, 2000]))
def test_roundtrip_long_lists_past_the_limit(seed, n):
    rnd = random.Random(seed)
    old = [rnd.randrange(n // 2) for _ in range(n)]
    new = list(old)
    for _ in range(n // 10):
        i = rnd.randrange(len(new))
        kind = rnd.randrange(4)
        if kind == 0:
            new.insert(i, rnd.randrange(n))
        elif kind == 1:
            del new[i]
        elif kind == 2:
            new[i] = [new[i]]
        else:
            new.insert(rnd.randrange(len(new)), new.pop(i))
    roundtrip(old, new)
    shuffled = list(old)
    rnd.shuffle(shuffled)
    roundtrip(old, shuffled)


# ---- an independent transcription of the list algorithm, for exact operation order ----

def reference(old, new):
    ops = []
    _ref(path(), old, new, ops)
    return ops


def _ref(p, a, b, ops):
    if type(a) is dict and type(b) is dict:
        for k in sorted(b, key=str.encode):
            if k in a:
                _ref(p + path(k), a[k], b[k], ops)
            else:
                ops.append(Set(p + path(k), b[k]))
        ops.extend(Remove(p + path(k)) for k in sorted(a, key=str.encode) if k not in b)
    elif type(a) is list and type(b) is list:
        _ref_list(p, a, b, ops)
    elif not same(a, b):
        ops.append(Set(p, b))


def _ref_list(p, a, b, ops):
    n, m = len(a), len(b)
    limit = max(8 * max(n, m), 64)
    order = None
    if n == m:
        queues = {}
        for i, x in enumerate(a):
            queues.setdefault(text(x), []).append(i)
        order = []
        for y in b:
            q = queues.get(text(y))
            if not q or not same(a[q[0]], y):
                order = None
                break
            order.append(q.pop(0))
        if order is not None:
            tails = []
            for x in order:
                k = sum(1 for t in tails if t < x)
                tails[k:k + 1] = [x]
            if (n - len(tails)) * n > limit:
                ops.append(Reorder(p, order))
                return
    work, local, cost, j = list(a), [], 0, 0
    aborted = False
    while j < m and not aborted:
        w = len(work)
        if j == w:
            local.append(Insert(p, j, b[j]))
            work.append(b[j])
            j += 1
            continue
        if same(work[j], b[j]):
            j += 1
            continue
        cost += w - j - 1
        if cost > limit:
            aborted = True
            break
        k = next((k for k in range(j + 1, w) if same(work[k], b[j])), None)
        if k is not None:
            cost += w
            if cost > limit:
                aborted = True
                break
            local.append(Move(p, k, j))
            work.insert(j, work.pop(k))
            j += 1
            continue
        cost += m - j - 1
        if cost > limit:
            aborted = True
            break
        q = None if j == m - 1 else next((q for q in range(j + 1, m) if same(b[q], work[j])), None)
        if q is not None:
            cost += w
            if cost > limit:
                aborted = True
                break
            if w < m:
                local.append(Insert(p, j, b[j]))
                work.insert(j, b[j])
                j += 1
                continue
            if not same(work[j + 1], work[j]):
                local.append(Move(p, j, q))
                work.insert(q, work.pop(j))
                continue
        _ref(p + path(j), work[j], b[j], local)
        work[j] = b[j]
        j += 1
    if not aborted:
        local.extend(RemoveAt(p, i) for i in range(len(work) - 1, m - 1, -1))
        ops.extend(local)
    elif order is not None:
        ops.append(Reorder(p, order))
    else:
        for i in range(min(n, m)):
            _ref(p + path(i), a[i], b[i], ops)
        ops.extend(Insert(p, i, b[i]) for i in range(n, m))
        ops.extend(RemoveAt(p, i) for i in range(n - 1, m - 1, -1))


@pytest.mark.parametrize("old, new, expected", WORKED)
def test_reference_agrees_with_worked_examples(old, new, expected):
    assert reference(old, new) == expected


small_lists = st.lists(trees(small_scalars, 4), max_size=14)


@given(small_lists, small_lists | st.randoms(use_true_random=False))
def test_operations_match_reference(old, new):
    if not isinstance(new, list):  # a rearrangement of old, possibly with one edit
        rnd, new = new, list(old)
        rnd.shuffle(new)
        if new and rnd.random() < 0.3:
            new[rnd.randrange(len(new))] = rnd.randrange(5)
    assert ops_of(old, new) == reference(old, new)
    assert ops_of({"x": [old]}, {"x": [new]}) == reference({"x": [old]}, {"x": [new]})


# ---- patches through the binary formats -------------------------------------------------

def _converted(to_bytes, to_json, patch):
    try:
        return to_json(to_bytes(patch))
    except ValueError as exc:
        if exc.args == ("not implemented",):
            pytest.skip("conversion not built yet")
        raise


@pytest.mark.parametrize(
    "to_bytes, to_json",
    [
        (norvane.json_to_msgpack, norvane.msgpack_to_json),
        (norvane.json_to_cbor, norvane.cbor_to_json),
        (lambda t: __import__("msgpack").packb(json.loads(t)), norvane.msgpack_to_json),
        (lambda t: __import__("cbor2").dumps(json.loads(t)), norvane.cbor_to_json),
    ],
    ids=["msgpack", "cbor", "msgpack-oracle", "cbor-oracle"],
)
@given(values, values)
def test_patch_survives_binary_formats(to_bytes, to_json, old, new):
    patch = norvane.diff(text(old), text(new))
    again = _converted(to_bytes, to_json, patch)
    assert norvane.apply(text(old), again) == norvane.apply(text(old), patch)
