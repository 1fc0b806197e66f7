"""Patch application: the module function `apply` over every operation kind."""

import json

import pytest
from hypothesis import given, strategies as st

import norvane
from modeljson import (Insert, Move, Remove, RemoveAt, Reorder, Set, Sub, patch_text, path, same,
                       text, value, values)

BIG = 2**64 - 1


def run(v, ops):
    return value(norvane.apply(text(v), patch_text(ops)))


def failure(v, ops):
    with pytest.raises(ValueError) as info:
        norvane.apply(text(v), patch_text(ops))
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize(
    "before, ops, after",
    [
        ({"a": 1}, [], {"a": 1}),
        ([1, 2], [Set(path(), {"x": None})], {"x": None}),
        ("s", [Set(path(), [1])], [1]),
        ({"a": 1}, [Set(path("b"), 2)], {"a": 1, "b": 2}),
        ({"a": 1}, [Set(path("a"), [])], {"a": []}),
        ([1, [2, 3]], [Set(path(1, 0), 9)], [1, [9, 3]]),
        ({"a": 1}, [Remove(path("zz"))], {"a": 1}),
        ({"a": 1, "b": 2}, [Remove(path("a"))], {"b": 2}),
        ({"l": ["a", "b", "c"]}, [Remove(path("l", 1))], {"l": ["a", "c"]}),
        ([1, 2], [Insert(path(), 2, 3)], [1, 2, 3]),
        ([1, 2], [Insert(path(), 0, 0)], [0, 1, 2]),
        ([], [Insert(path(), 0, "x")], ["x"]),
        (["a", "b", "c"], [RemoveAt(path(), 1)], ["a", "c"]),
        (["a", "b", "c"], [Move(path(), 0, 2)], ["b", "c", "a"]),
        (["a", "b", "c"], [Move(path(), 2, 0)], ["c", "a", "b"]),
        (["a", "b", "c"], [Move(path(), 1, 1)], ["a", "b", "c"]),
        (["a", "b", "c"], [Reorder(path(), [2, 0, 1])], ["c", "a", "b"]),
        (["a", "b", "c"], [Reorder(path(), [0, 1, 2])], ["a", "b", "c"]),
        ([], [Reorder(path(), [])], []),
        ({"m": {"l": [[1], 2.5, Sub(4)]}}, [Reorder(path("m", "l"), [2, 1, 0]), RemoveAt(path("m", "l"), 0)],
         {"m": {"l": [2.5, [1]]}}),
        # elements of every kind moved along by an insertion or a removal before them
        ([], [Insert(path(), 0, 0), Insert(path(), 0, None)], [None, 0]),
        (["a text long enough to own its memory", [1], {"k": 2}, "s", 1.5],
         [RemoveAt(path(), 0), Insert(path(), 1, "x"), Remove(path(2))],
         [[1], "x", "s", 1.5]),
        # operations apply in order, each on the result of the one before
        ([1], [Insert(path(), 1, 2), Move(path(), 0, 1), Set(path(0), 7), Remove(path(1))], [7]),
    ],
)
def test_operations(before, ops, after):
    assert same(run(before, ops), after)


@pytest.mark.parametrize(
    "before, ops, message",
    [
        # path resolution, from the root, first failing segment
        ({"a": 1}, [Insert(path("b"), 0, 1)], 'path key "b" not found'),
        ({"a\"\n": 1}, [Set(path('q"\té', "x"), 1)], 'path key "q\\"\\té" not found'),
        ([1, 2], [RemoveAt(path(2), 0)], "path index 2 out of bounds"),
        ([1, 2], [RemoveAt(path(BIG), 0)], f"path index {BIG} out of bounds"),
        ("x", [Insert(path(0), 0, 1)], 'expected Value::List, found Str("x")'),
        (Sub(3), [Set(path("k", "j"), 1)], "expected Value::Map, found Submodel(ModelId(3))"),
        ({"k": 1.5}, [Set(path("k", 0), 1)], "expected Value::List, found Float(1.5)"),
        ({"k": True}, [Remove(path("k", "x"))], "expected Value::Map, found Bool(true)"),
        # Set
        ([1, 2], [Set(path(2), 3)], "set index 2 out of bounds"),
        ([1, 2], [Set(path(BIG), 3)], f"set index {BIG} out of bounds"),
        ({"k": None}, [Set(path("k", 0), 1)], "expected Value::List, found Null"),
        ([{"k": None}], [Set(path("k"), 1)], 'expected Value::Map, found List([Map({"k": Null})])'),
        # Remove
        ({"a": 1}, [Remove(path())], "remove path is empty"),
        ([1], [Remove(path("a"))], "expected Value::Map, found List([Int(1)])"),
        ({"a": 1}, [Remove(path("b", "c"))], 'path key "b" not found'),
        ({"a": 1}, [Remove(path(0))], 'expected Value::List, found Map({"a": Int(1)})'),
        ([1, 2], [Remove(path(2))], "remove index 2 out of bounds (len 2)"),
        # Insert
        ([1, 2], [Insert(path(), 3, 0)], "insert index 3 out of bounds (len 2)"),
        ([], [Insert(path(), BIG, 0)], f"insert index {BIG} out of bounds (len 0)"),
        ({"a": 1}, [Insert(path(), 0, 0)], 'expected Value::List, found Map({"a": Int(1)})'),
        # RemoveAt
        ([1, 2], [RemoveAt(path(), 2)], "remove index 2 out of bounds (len 2)"),
        ([], [RemoveAt(path(), 0)], "remove index 0 out of bounds (len 0)"),
        (7, [RemoveAt(path(), 0)], "expected Value::List, found Int(7)"),
        # Move: both indices are checked, even when they are equal
        ([1, 2, 3], [Move(path(), 3, 3)], "move source index 3 out of bounds (len 3)"),
        ([1, 2, 3], [Move(path(), 0, 3)], "move destination index 3 out of bounds (len 3)"),
        ([1, 2, 3], [Move(path(), BIG, BIG)], f"move source index {BIG} out of bounds (len 3)"),
        (None, [Move(path(), 0, 0)], "expected Value::List, found Null"),
        # Reorder: length first, then each entry in turn
        ([1, 2, 3], [Reorder(path(), [0, 1])], "reorder length 2 does not match list length 3"),
        ([1, 2, 3], [Reorder(path(), [9, 9, 9, 9])], "reorder length 4 does not match list length 3"),
        ([1, 2, 3], [Reorder(path(), [3, 0, 0])], "reorder index 3 out of bounds (len 3)"),
        ([1, 2, 3], [Reorder(path(), [0, 0, 3])], "reorder index 0 is duplicated"),
        ([1, 2, 3], [Reorder(path(), [2, 1, BIG])], f"reorder index {BIG} out of bounds (len 3)"),
        ("s", [Reorder(path(), [])], 'expected Value::List, found Str("s")'),
        # the first failing operation decides; later ones are not looked at
        ({"a": 1}, [Set(path("a"), 2), RemoveAt(path("b"), 0), Remove(path())], 'path key "b" not found'),
    ],
)
def test_failures(before, ops, message):
    assert failure(before, ops) == message


def test_deep_paths():
    deep = 0
    for _ in range(60):  # each tagged list is two levels of JSON nesting
        deep = [deep]
    ops = [Set(path(*[0] * 60), "leaf"), Insert(path(*[0] * 59), 1, 2)]
    result = run(deep, ops)
    for _ in range(59):
        result = result[0]
    assert result == ["leaf", 2]
    long_path = path(*(["a"] * 5000))
    assert failure({"a": {"a": 1}}, [Set(long_path, 1)]) == "expected Value::Map, found Int(1)"
    assert failure({"a": {"a": 1}}, [Remove(path(*["a"] * 2, "b", "c"))]) == "expected Value::Map, found Int(1)"


def _set_at(segment):
    return '{"rev":0,"ops":[{"Set":{"path":[%s],"value":{"Int":9}}}]}' % segment


@pytest.mark.parametrize(
    "value_json, patch_json, message",
    [
        ("{", '{"rev":0,"ops":[]}', "EOF while parsing an object at line 1 column 1"),
        ("{", "{", "EOF while parsing an object at line 1 column 1"),  # the value is read first
        ('"Null"', '{"ops":[]}', "missing field `rev` at line 1 column 10"),
        ('"Null"', '{"rev":0}', "missing field `ops` at line 1 column 9"),
        ('"Null"', '{"rev":0,"ops":[]} 1', "trailing characters at line 1 column 20"),
        ('"Null"', '{"rev":-1,"ops":[]}', "invalid value: integer `-1`, expected u64 at line 1 column 9"),
        # a value inside a patch shares the nesting budget with the patch's own brackets
        ('"Null"', '{"rev":0,"ops":[{"Set":{"path":[],"value":' + '{"List":[' * 62 + '"Null"' + "]}" * 62 + "}}]}",
         "recursion limit exceeded at line 1 column 600"),
        # numbers: only plain runs of digits are positions and revisions
        ('"Null"', '{"rev":01,"ops":[]}', "invalid number at line 1 column 9"),
        ('"Null"', '{"rev":2e0,"ops":[]}', "invalid type: floating point `2.0`, expected u64 at line 1 column 10"),
        ('"Null"', _set_at('{"Index":01}'), "invalid number at line 1 column 43"),
        ('"Null"', _set_at('{"Index":1.0}'), "invalid type: floating point `1.0`, expected usize at line 1 column 44"),
        ('"Null"', _set_at('{"Index":-1}'), "invalid value: integer `-1`, expected usize at line 1 column 43"),
        ('"Null"', _set_at('{"Index":18446744073709551616}'),
         "invalid type: floating point `1.8446744073709552e+19`, expected usize at line 1 column 61"),
        ('"Null"', _set_at('{"Index":1'), "expected value at line 1 column 42"),
        ('"Null"', '{"rev":1,"ops":[{"Reorder":{"path":[],"order":[1,00]}}]}', "invalid number at line 1 column 51"),
        # names and keys
        ('"Null"', _set_at('{"Kex":1}'), "unknown variant `Kex`, expected `Key` or `Index` at line 1 column 38"),
        ('"Null"', _set_at('{"Key":1}'), "invalid type: integer `1`, expected a string at line 1 column 40"),
        ('"Null"', _set_at('{"Key":"a\x01"}'),
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 42"),
        ('"Null"', '{"rev":1,"ops":[{"Sett":{"path":[]}}]}',
         "unknown variant `Sett`, expected one of `Set`, `Remove`, `Insert`, `RemoveAt`, `Move`, `Reorder` at line 1 column 23"),
    ],
)
def test_reading_errors(value_json, patch_json, message):
    with pytest.raises(ValueError) as info:
        norvane.apply(value_json, patch_json)
    assert info.value.args == (message,)


@pytest.mark.parametrize("key", ["k" * 23, "k" * 24, "k" * 23 + "\n", "é", 'a"b', "", "Key"])
@pytest.mark.parametrize("escape", [False, True])
def test_keys_read_exactly(key, escape):
    segment = '{"Key":%s}' % json.dumps(key, ensure_ascii=escape)
    assert json.loads(norvane.apply('{"Map":{}}', _set_at(segment))) == {"Map": {key: {"Int": 9}}}


def test_rev_is_read_but_unused_and_array_form_accepted():
    assert norvane.apply('{"Int":1}', f'{{"rev":{BIG},"ops":[],"x":1}}') == '{"Int":1}'
    assert norvane.apply('"Null"', '[5,[{"Set":{"path":[],"value":{"Int":2}}}]]') == '{"Int":2}'


@pytest.mark.parametrize(
    "call, param",
    [(lambda: norvane.apply(1, "{"), "value"), (lambda: norvane.apply('"Null"', None), "patch")],
)
def test_arguments_are_converted_before_reading(call, param):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.__notes__ == [f"while processing '{param}'"]


@given(values, st.lists(st.integers(0, 3), max_size=4))
def test_removing_by_index_matches_remove_at(v, positions):
    items = [v, [v], 1, "x"]
    for i in positions:
        by_path = norvane.apply(text({"l": items}), patch_text([Remove(path("l", i))]))
        by_index = norvane.apply(text({"l": items}), patch_text([RemoveAt(path("l"), i)]))
        assert by_path == by_index


_elements = st.one_of(st.none(), st.integers(-3, 3), st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=3),
                      st.text(min_size=20, max_size=24), st.lists(st.integers(-9, 9), max_size=2),
                      st.dictionaries(st.text(max_size=2), st.integers(-9, 9), max_size=2))


@given(st.lists(_elements, max_size=12), st.lists(st.tuples(st.booleans(), st.integers(0, 20), _elements), max_size=10))
def test_insertions_and_removals_keep_every_element(items, steps):
    # Short texts live inside their value, long ones, lists and maps own memory: each kind must
    # survive being moved along by the elements inserted or removed before it.
    ops, model = [], list(items)
    for insert, at, v in steps:
        if insert:
            at %= len(model) + 1
            ops.append(Insert(path(), at, v))
            model.insert(at, v)
        elif model:
            at %= len(model)
            ops.append(RemoveAt(path(), at) if at % 2 else Remove(path(at)))
            model.pop(at)
    assert same(run(items, ops), model)
