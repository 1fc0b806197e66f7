"""Store.mutate reading the new text against the held value: the patch, the stored value and
every failure are those of reading the text on its own and diffing the two values
(`norvane.diff` of the previous and the new text, `norvane.apply` with no operations)."""

import copy
import json
import random

import pytest
from hypothesis import given, settings, strategies as st

import norvane
from norvane import Store
from modeljson import Sub, scalars, small_scalars, tag, text, trees

EMPTY = '{"rev":0,"ops":[]}'
models = trees(scalars | small_scalars, max_leaves=30)


def error(call):
    with pytest.raises(ValueError) as info:
        call()
    return info.value.args[0]


# ---- writing a value in the many spellings a reader accepts -----------------------------

def write(v, rnd):
    """Tagged text of `v` with randomly chosen key orders, duplicate keys (an earlier,
    different value), whitespace, escapes and alternative payload forms."""
    ws = (lambda: rnd.choice(["", " ", "\n\t"])) if rnd.random() < 0.2 else (lambda: "")
    ascii_only = rnd.random() < 0.3

    def s(x):
        return json.dumps(x, ensure_ascii=ascii_only)

    def one(name, payload):
        return "{" + ws() + s(name) + ws() + ":" + ws() + payload + ws() + "}"

    def go(v):
        if v is None:
            return one("Null", "null") if rnd.random() < 0.2 else '"Null"'
        if isinstance(v, float) and v.is_integer() and rnd.random() < 0.3 and abs(v) < 2**53:
            return one("Float", str(int(v)))  # an integer payload of a Float
        if isinstance(v, list):
            return one("List", "[" + ",".join(ws() + go(x) for x in v) + "]")
        if isinstance(v, dict):
            items = list(v.items())
            rnd.shuffle(items) if rnd.random() < 0.3 else items.sort(key=lambda kv: kv[0].encode())
            if items and rnd.random() < 0.2:
                items.insert(0, (rnd.choice(items)[0], "dropped"))
            return one("Map", "{" + ",".join(ws() + s(k) + ws() + ":" + go(x) for k, x in items) + "}")
        ((name, payload),) = tag(v).items()
        return one(name, s(payload))

    return go(v)


# ---- random edits ----------------------------------------------------------------------

def containers(v, at=()):
    if isinstance(v, (list, dict)):
        yield at, v
        for k, x in (enumerate(v) if isinstance(v, list) else v.items()):
            yield from containers(x, at + (k,))


def edit(v, rnd, fresh):
    """One small change somewhere in `v` (edited in place); returns the new root."""
    fresh = copy.deepcopy(fresh)
    spots = list(containers(v))
    if not spots or rnd.random() < 0.05:
        return fresh
    _, node = rnd.choice(spots)
    kind = rnd.randrange(5)
    if isinstance(node, list):
        i = rnd.randrange(len(node) + 1)
        if kind == 0 or not node:
            node.insert(i, fresh)
        elif kind == 1:
            del node[i % len(node)]
        elif kind == 2:
            node.insert(i, node.pop(rnd.randrange(len(node))))
        elif kind == 3:
            node[i % len(node)] = fresh
        else:
            node.insert(i, copy.deepcopy(node[rnd.randrange(len(node))]))
    else:
        keys = sorted(node)
        if kind <= 1 or not keys:
            node[rnd.choice(["a", "b", "zz", "é", str(rnd.randrange(9))])] = fresh
        elif kind == 2:
            del node[rnd.choice(keys)]
        else:
            node[rnd.choice(keys)] = fresh
    return v


@settings(max_examples=300)
@given(models, st.lists(st.tuples(models, st.integers(1, 3)), min_size=1, max_size=4), st.randoms(use_true_random=False))
def test_mutations_match_diff_of_the_texts(old, steps, rnd):
    prev = write(old, rnd)
    store = Store()
    store.host("t", prev)
    current = old
    for rev, (fresh, count) in enumerate(steps, 1):
        current = copy.deepcopy(current)
        for _ in range(count):
            current = edit(current, rnd, fresh)
        new = write(current, rnd)
        expected = norvane.diff(prev, new)
        assert store.mutate(1, new) == expected.replace('"rev":0', f'"rev":{rev}', 1)
        assert store.snapshot(1) == f'{{"rev":{rev},"type_name":"t","value":{norvane.apply(new, EMPTY)}}}'
        prev = new


def corruptions(t, rnd):
    i = rnd.randrange(len(t) + 1)
    return [t[:i], t[:i] + rnd.choice('{}[]",:x0-. \\') + t[i:], t[:i] + t[i + 1:],
            t.replace('"Int"', '"Int8"', 1), t.replace('"Map"', '"map"', 1), t.replace('"Str":"', '"Str":1,"', 1),
            t.replace("[", "[1,", 1), t + " x", '"List"', "{}", '{"Int":5,"Str":"a"}']


@given(models, models, st.randoms(use_true_random=False))
def test_failures_match_reading_the_text_alone(old, new, rnd):
    store = Store()
    held = text(old)
    store.host("t", held)
    rev = 0
    for bad in corruptions(write(new, rnd), rnd):
        before = store.snapshot(1)
        try:
            expected = norvane.diff(held, bad)
        except ValueError as e:
            assert error(lambda: store.mutate(1, bad)) == e.args[0]
            assert store.snapshot(1) == before
        else:
            rev += 1
            assert store.mutate(1, bad) == expected.replace('"rev":0', f'"rev":{rev}', 1)
            held = bad


@pytest.mark.parametrize("held, new, message", [
    ({"a": [1, 2]}, '{"Map":{"a":{"List":[{"Int":1},{"Int":2}]}', "EOF while parsing an object at line 1 column 42"),
    ({"a": [1, 2]}, '{"Map":{"a":{"List":[{"Int":1},{"Int":2.5}]}}}', "invalid type: floating point `2.5`, expected i64 at line 1 column 41"),
    ({"a": [1, 2]}, '{"Map":{"a":{"List":[{"Int":1},{"Int":2}]}}} x', "trailing characters at line 1 column 46"),
    ({"a": "s"}, '{"Map":{"a":{"Str":"s"},"b":{"Strr":1}}}', "unknown variant `Strr`, expected one of `Null`, `Bool`, `Int`, `Float`, `Str`, `List`, `Map`, `Submodel` at line 1 column 35"),
    ([Sub(3)], '{"List":[{"Submodel":-3}]}', "invalid value: integer `-3`, expected u64 at line 1 column 23"),
    ([True], '{"List":[{"Bool":true,"Int":1}]}', "expected value at line 1 column 21"),
    ([[]], '{"List":[{"List":{}}]}', "invalid type: map, expected a sequence at line 1 column 17"),
    ({}, '{"Map":[]}', "invalid type: sequence, expected a map at line 1 column 7"),
    (None, '"Nul"', "unknown variant `Nul`, expected one of `Null`, `Bool`, `Int`, `Float`, `Str`, `List`, `Map`, `Submodel` at line 1 column 5"),
])
def test_exact_failures_leave_the_model_alone(held, new, message):
    store = Store()
    store.host("t", text(held))
    before = store.snapshot(1)
    assert error(lambda: store.mutate(1, new)) == message
    assert store.snapshot(1) == before


def test_nesting_limit_and_unknown_ids():
    store = Store()
    store.host("t", text(json.loads("[" * 60 + "]" * 60)))
    too_deep = '{"List":[' * 70 + '"Null"' + "]}" * 70
    assert error(lambda: store.mutate(1, too_deep)) == error(lambda: norvane.diff('"Null"', too_deep))
    assert error(lambda: store.mutate(2, '{"Int":x}')) == "expected value at line 1 column 8"
    assert store.mutate(2, '"Null"') is None


def test_large_list_with_one_change_in_each_call():
    rnd = random.Random(3)
    doc = [{"id": i, "tags": [f"t{i % 7}"] * (i % 3), "score": i / 7} for i in range(2000)]
    store = Store()
    prev = text(doc)
    store.host("t", prev)
    for rev in range(1, 30):
        i = rnd.randrange(len(doc))
        [lambda: doc[i]["tags"].append("x"), lambda: doc.insert(i, doc.pop()), lambda: doc.__setitem__(i, doc[i - 1]),
         lambda: doc[i].pop("score", None), lambda: doc.__delitem__(i)][rev % 5]()
        new = text(doc)
        assert store.mutate(1, new) == norvane.diff(prev, new).replace('"rev":0', f'"rev":{rev}', 1)
        prev = new
    assert store.snapshot(1) == f'{{"rev":29,"type_name":"t","value":{prev}}}'


@pytest.mark.parametrize("items", [
    list(range(40)),
    [{"k": i % 5, "v": [i, str(i)]} for i in range(40)],
    [[i % 3, {"x": i % 4}] for i in range(40)],
])
@pytest.mark.parametrize("rearrange", ["shuffle", "reverse", "rotate", "swap", "shuffle and change one"])
def test_rearranged_lists(items, rearrange):
    rnd = random.Random(len(rearrange))
    old = {"a": items, "b": 1}
    new = copy.deepcopy(old)
    if rearrange.startswith("shuffle"):
        rnd.shuffle(new["a"])
    elif rearrange == "reverse":
        new["a"].reverse()
    elif rearrange == "rotate":
        new["a"] = new["a"][7:] + new["a"][:7]
    else:
        new["a"][3], new["a"][30] = new["a"][30], new["a"][3]
    if rearrange.endswith("change one"):
        new["a"][20] = [new["a"][20]]
    store = Store()
    store.host("t", text(old))
    patch = store.mutate(1, text(new))
    assert patch == norvane.diff(text(old), text(new)).replace('"rev":0', '"rev":1', 1)
    assert ('"Reorder"' in patch) == (rearrange != "shuffle and change one")


@given(models, models, models, st.randoms(use_true_random=False))
def test_patches_applied_between_mutations(a, b, c, rnd):
    """A patch applied to the model makes the text it was last replaced from stale."""
    ta, tb, tc = write(a, rnd), write(b, rnd), write(c, rnd)
    store = Store()
    store.host("t", ta)
    store.mutate(1, tb)
    with pytest.raises(ValueError):  # refused whole: the model stays as `tb` wrote it
        store.apply(1, '{"rev":9,"ops":[{"RemoveAt":{"path":[{"Key":"nowhere"}],"index":0}}]}')
    assert store.mutate(1, tb) == '{"rev":2,"ops":[]}'
    store.apply(1, norvane.diff(tb, tc).replace('"rev":0', '"rev":7', 1))
    assert store.mutate(1, tb) == norvane.diff(tc, tb).replace('"rev":0', '"rev":8', 1)
    assert store.snapshot(1) == f'{{"rev":8,"type_name":"t","value":{norvane.apply(tb, EMPTY)}}}'


@pytest.mark.parametrize("texts", [
    ['{"Map":{"b":{"Int":1},"a":{"Int":2}}}', '{"Map":{"a":{"Int":1},"b":{"Int":2}}}'],
    ['{"Map":{"a":{"Int":1},"a":{"Int":2}}}', '{"Map":{"a":{"Int":1}}}', '{"Map":{"a":{"Int":2},"a":{"Int":1}}}'],
    ['{"Map":{"b":{"Int":1},"a":{"Int":2},"b":{"Int":3}}}', '{"Map":{"a":{"Int":3},"b":{"Int":2}}}'],
    ['{"List":[{"List":[]},{"Map":{}}]}', '{"List":[{"Map":{}},{"List":[]}]}'],
    ['{"Map":{"y":{"Map":{"q":{"Str":"1"},"p":{"Str":"2"}}},"x":"Null"}}',
     '{"Map":{"x":"Null","y":{"Map":{"p":{"Str":"1"},"q":{"Str":"2"}}}}}'],
    ['{"List":[ {"Int":1}, {"Int":2}]}', '{"List":[{"Int":1},{"Int":2} ]}', '{"List":[{"Int":2},{"Int":1}]}'],
    ['{"List":[{"Float":1},{"Float":1.0}]}', '{"List":[{"Float":1.0},{"Float":1}]}', '{"Float":1}', '{"Int":1}'],
])
def test_texts_that_repeat_parts_of_the_previous_one(texts):
    store = Store()
    store.host("t", texts[0])
    seq = texts[:1] + texts  # the first replacement records where each part was written
    for rev, (prev, new) in enumerate(zip(seq, seq[1:]), 1):
        assert store.mutate(1, new) == norvane.diff(prev, new).replace('"rev":0', f'"rev":{rev}', 1)
        assert store.snapshot(1) == f'{{"rev":{rev},"type_name":"t","value":{norvane.apply(new, EMPTY)}}}'
