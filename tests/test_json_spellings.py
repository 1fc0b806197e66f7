"""Every spelling of the same JSON reads the same: escaped and plain keys, spacing, object sizes.

The readers take short ways for the usual compact text (plain keys, tags right after the brace);
these tests hold the other spellings to the same results and the same error texts.
"""

import json
import random

import cbor2
import msgpack
import pytest
from hypothesis import given, strategies as st

import norvane

JSON = "application/json"


def escaped(s):
    """The JSON string of s with every character written as \\u escapes (pairs above U+FFFF)."""
    units = s.encode("utf-16-be", "surrogatepass")
    return '"' + "".join("\\u%02x%02x" % (units[i], units[i + 1]) for i in range(0, len(units), 2)) + '"'


def last_wins_sorted(pairs):
    return dict(sorted(dict(pairs).items(), key=lambda kv: kv[0].encode()))


def expected(text):
    return json.loads(text, object_pairs_hook=last_wins_sorted)


@pytest.mark.parametrize("n", [1, 2, 23, 24, 25, 255, 256, 300, 65535, 65536])
@pytest.mark.parametrize("order", ["sorted", "shuffled", "duplicated"])
def test_object_sizes_and_orders(n, order):
    keys = ["k%06d" % i for i in range(n)]
    rnd = random.Random(n)
    if order != "sorted":
        rnd.shuffle(keys)
    if order == "duplicated":
        keys = keys + keys[: n // 3]
    members = [(k if i % 7 else escaped(k)[1:-1], i) for i, k in enumerate(keys)]
    text = "{" + ",".join('"%s":%d' % kv for kv in members) + "}"
    want = expected(text)
    assert cbor2.loads(norvane.json_to_cbor(text)) == want
    assert msgpack.unpackb(norvane.json_to_msgpack(text)) == want
    assert list(json.loads(norvane.cbor_to_json(norvane.json_to_cbor(text)))) == list(want)


@pytest.mark.parametrize("n", [0, 1, 23, 24, 255, 256, 65535, 65536])
def test_array_sizes(n):
    text = "[" + ",".join(str(i) for i in range(n)) + "]"
    assert norvane.json_to_cbor(text) == cbor2.dumps(list(range(n)))


KEYS = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)


@given(st.dictionaries(KEYS, st.integers(0, 9), max_size=12), st.randoms())
def test_escaped_keys_sort_and_replace_like_plain_ones(doc, rnd):
    pairs = list(doc.items())
    rnd.shuffle(pairs)
    # Each key given twice, once escaped and once plain, in random order: the later one wins.
    doubled = [(k, v, rnd.random() < 0.5) for k, v in pairs] + [(k, v + 10, rnd.random() < 0.5) for k, v in pairs]
    rnd.shuffle(doubled)
    text = "{" + ",".join((escaped(k) if esc else json.dumps(k)) + ":" + str(v) for k, v, esc in doubled) + "}"
    want = expected(text)
    assert cbor2.loads(norvane.json_to_cbor(text)) == want
    tagged = '{"Map":{' + ",".join(
        (escaped(k) if esc else json.dumps(k)) + ':{"Int":%d}' % v for k, v, esc in doubled
    ) + "}}"
    got = json.loads(norvane.encode_as(tagged, JSON))
    assert got == {"Map": {k: {"Int": v} for k, v in want.items()}}


VALUE_SPELLINGS = [
    ('{"Int":5}', '{ "Int" : 5 }', '{"\\u0049nt":5}', '{\n"Int":\t5\n}'),
    ('{"Str":"a"}', '{"Str" :"a"}', '{"S\\u0074r":"a"}', '{ "Str":"a" }'),
    ('"Null"', ' "Null" ', '"\\u004eull"', '{"Null":null}'),
    ('{"List":[{"Bool":true}]}', '{"List" : [ {"Bool" : true} ] }', '{"\\u004cist":[{"B\\u006fol":true}]}',
     '{"List":[{ "Bool":true}]}'),
    ('{"Map":{"k":{"Float":1.5}}}', '{ "Map":{ "k" : {"Float" : 1.5} } }', '{"Map":{"\\u006b":{"Float":1.5}}}',
     '{"Map":{"k":{"Float":15e-1}}}'),
    ('{"Submodel":3}', '{"Submodel" :3}', '{"Sub\\u006dodel":3}', '{"Submodel":3 }'),
]


@pytest.mark.parametrize("spellings", VALUE_SPELLINGS)
def test_tagged_value_spellings(spellings):
    outs = {norvane.encode_as(s, JSON) for s in spellings}
    assert len(outs) == 1


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"Int" 5}', "expected `:` at line 1 column 8"),
        ('{"Int":"5"}', 'invalid type: string "5", expected i64 at line 1 column 10'),
        ('{"Int":18446744073709551615}', "invalid value: integer `18446744073709551615`, expected i64 at line 1 column 27"),
        ('{"Submodel":-1}', "invalid value: integer `-1`, expected u64 at line 1 column 14"),
        ('{"Submodel":1.5}', "invalid type: floating point `1.5`, expected u64 at line 1 column 15"),
        ('{"Int":5,"Str":"a"}', "expected value at line 1 column 8"),
        ('{"Intx":5}', "unknown variant `Intx`, expected one of `Null`, `Bool`, `Int`, `Float`, `Str`, `List`, "
                       "`Map`, `Submodel` at line 1 column 7"),
        ('{"Map":{"a":"Null",}}', "trailing comma at line 1 column 20"),
        ('{"List":["Null" "Null"]}', "expected `,` or `]` at line 1 column 17"),
        ('{"Str":"a\\qb"}', "invalid escape at line 1 column 11"),
    ],
)
def test_tagged_value_errors(text, message):
    with pytest.raises(ValueError) as info:
        norvane.encode_as(text, JSON)
    assert str(info.value) == message


PATCH = '{"rev":1,"ops":[{"Set":{"path":[{"Key":"a"},{"Index":2}],"value":{"Int":1}}},{"Remove":{"path":[{"Key":"b"}]}}]}'


@pytest.mark.parametrize(
    "spelling",
    [
        PATCH,
        PATCH.replace(":", " : ").replace(",", " , "),
        PATCH.replace('"Key"', '"\\u004bey"').replace('"Set"', '"S\\u0065t"'),
        '[1,[{"Set":[[{"Key":"a"},{"Index":2}],{"Int":1}]},{"Remove":[[{"Key":"b"}]]}]]',
    ],
)
def test_patch_spellings(spelling):
    old = '{"Map":{"a":{"List":["Null","Null","Null"]},"b":"Null"}}'
    assert norvane.apply(old, spelling) == norvane.apply(old, PATCH)
