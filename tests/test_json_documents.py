"""Generic JSON documents read by json_to_msgpack and json_to_cbor, checked against msgpack and cbor2."""

import json
import math
import struct

import cbor2
import msgpack
import pytest
from hypothesis import given, strategies as st

import norvane


class Obj(tuple):
    """An object's members in the order they were found."""


def from_msgpack(data):
    return msgpack.unpackb(data, object_pairs_hook=Obj, raw=False)


def from_cbor(data):
    return cbor2.loads(data)


CONVERTERS = [
    pytest.param(norvane.json_to_msgpack, from_msgpack, id="msgpack"),
    pytest.param(norvane.json_to_cbor, from_cbor, id="cbor"),
]


def canon(x):
    """A comparable form that tells integers from doubles and keeps the sign of zero."""
    if x is None:
        return ("null",)
    if isinstance(x, bool):
        return ("bool", x)
    if isinstance(x, int):
        assert -(2**63) <= x < 2**64
        return ("int", x)
    if isinstance(x, float):
        return ("float", struct.pack(">d", x))
    if isinstance(x, str):
        return ("str", x)
    if isinstance(x, list):
        return ("list", tuple(canon(e) for e in x))
    if isinstance(x, dict):
        x = Obj(x.items())
    assert isinstance(x, Obj)
    return ("obj", tuple((k, canon(v)) for k, v in x))


def json_integer(text):
    if text == "-0":
        return -0.0
    n = int(text)
    return n if -(2**63) <= n < 2**64 else float(n)


def sorted_members(pairs):
    return Obj(sorted(dict(pairs).items(), key=lambda kv: kv[0].encode("utf-8")))


def expected(text):
    """The document as Python's JSON reader sees it, with the number and member rules applied."""
    return json.loads(text, parse_int=json_integer, object_pairs_hook=sorted_members)


def fails(fn, *args):
    with pytest.raises(ValueError) as info:
        fn(*args)
    assert type(info.value) is ValueError
    return str(info.value)


# ---- numbers ---------------------------------------------------------------------------------

NUMBERS = [
    ("0", 0),
    ("-0", -0.0),
    ("-0.0", -0.0),
    ("-0e5", -0.0),
    ("0.0", 0.0),
    ("0e-5", 0.0),
    ("-1", -1),
    ("1.0", 1.0),
    ("1E2", 100.0),
    ("1e0", 1.0),
    ("0.1", 0.1),
    ("9007199254740993", 9007199254740993),
    ("18446744073709551615", 2**64 - 1),
    ("18446744073709551616", 18446744073709551616.0),
    ("-9223372036854775808", -(2**63)),
    ("-9223372036854775809", -9223372036854775808.0),
    ("-18446744073709551616", -18446744073709551616.0),
    ("123456789012345678901234567890", 1.2345678901234568e29),
    ("1" + "0" * 308, 1e308),
    ("1e-400", 0.0),
    ("-1e-400", -0.0),
    ("5e-324", 5e-324),
    ("1.7976931348623157e308", 1.7976931348623157e308),
    ("-1.7976931348623157e308", -1.7976931348623157e308),
    ("0." + "0" * 400 + "1e401", 1.0),
]


@pytest.mark.parametrize("convert, unpack", CONVERTERS)
@pytest.mark.parametrize("text, value", NUMBERS)
def test_number_rules(convert, unpack, text, value):
    assert canon(expected(text)) == canon(value)
    assert canon(unpack(convert(text))) == canon(value)
    assert canon(unpack(convert(" [%s] " % text))) == canon([value])


# ---- documents -------------------------------------------------------------------------------


@pytest.mark.parametrize("convert, unpack", CONVERTERS)
@pytest.mark.parametrize(
    "text, value",
    [
        ("null", None),
        (" true ", True),
        ("\n\tfalse\r\n ", False),
        ('""', ""),
        ('"\\u00e9\\ud83d\\ude00\\/\\b\\f\\n\\r\\t\\"\\\\"', 'é😀/\b\f\n\r\t"\\'),
        ('"日本 \x7f\u2028"', "日本 \x7f\u2028"),
        ('"\\u0000"', "\x00"),
        ("[]", []),
        ("{}", Obj()),
        ('[1, [2, [3, {}]], "x"]', [1, [2, [3, Obj()]], "x"]),
        ('{"b":1,"a":2}', Obj([("a", 2), ("b", 1)])),
        ('{"b":1,"a":2,"b":3}', Obj([("a", 2), ("b", 3)])),
        ('{"a":{"d":1,"c":2},"a":{"z":null}}', Obj([("a", Obj([("z", None)]))])),
        (
            '{"😀":1,"\uffff":2,"\ue000":3,"B":4,"a":5,"ab":6,"":7,"\\u0041":8}',
            Obj([("", 7), ("A", 8), ("B", 4), ("a", 5), ("ab", 6), ("\ue000", 3), ("\uffff", 2), ("😀", 1)]),
        ),
    ],
)
def test_documents(convert, unpack, text, value):
    assert canon(expected(text)) == canon(value)
    assert canon(unpack(convert(text))) == canon(value)


def test_members_are_unique_in_the_output():
    pairs = from_msgpack(norvane.json_to_msgpack('{"k":1,"j":0,"k":2,"k":{"k":3,"k":4}}'))
    assert canon(pairs) == canon(Obj([("j", 0), ("k", Obj([("k", 4)]))]))


# ---- failures ----------------------------------------------------------------------------------

ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("  \n", "EOF while parsing a value at line 2 column 0"),
    ("]", "expected value at line 1 column 1"),
    ("x", "expected value at line 1 column 1"),
    ("NaN", "expected value at line 1 column 1"),
    ("Infinity", "expected value at line 1 column 1"),
    ("-Infinity", "invalid number at line 1 column 2"),
    ("'a'", "expected value at line 1 column 1"),
    ("nul", "EOF while parsing a value at line 1 column 3"),
    ("nulx", "expected ident at line 1 column 4"),
    ("tru", "EOF while parsing a value at line 1 column 3"),
    ("trUe", "expected ident at line 1 column 3"),
    ("[fals]", "expected ident at line 1 column 6"),
    ("[", "EOF while parsing a list at line 1 column 1"),
    ("[1", "EOF while parsing a list at line 1 column 2"),
    ("[1,", "EOF while parsing a value at line 1 column 3"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ("[1, ]", "trailing comma at line 1 column 5"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ("[1}", "expected `,` or `]` at line 1 column 3"),
    ("[,1]", "expected value at line 1 column 2"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ("{,}", "key must be a string at line 1 column 2"),
    ('{"a"', "EOF while parsing an object at line 1 column 4"),
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ('{"a":', "EOF while parsing a value at line 1 column 5"),
    ('{"a":}', "expected value at line 1 column 6"),
    ('{"a":1', "EOF while parsing an object at line 1 column 6"),
    ('{"a":1,', "EOF while parsing a value at line 1 column 7"),
    ('{"a":1,}', "trailing comma at line 1 column 8"),
    ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    ('{"a":1]', "expected `,` or `}` at line 1 column 7"),
    ('{"a":1,2:3}', "key must be a string at line 1 column 8"),
    ("[1]]", "trailing characters at line 1 column 4"),
    ("1 2", "trailing characters at line 1 column 3"),
    ("{}x", "trailing characters at line 1 column 3"),
    ("[],", "trailing characters at line 1 column 3"),
    ('{\n"a":\n1\n}\n}', "trailing characters at line 5 column 1"),
    ("[\n1,\n2\n", "EOF while parsing a list at line 4 column 0"),
    # strings
    ('"abc', "EOF while parsing a string at line 1 column 4"),
    ('"\\', "EOF while parsing a string at line 1 column 2"),
    ('"\\x"', "invalid escape at line 1 column 3"),
    ('"\\u00G0"', "invalid escape at line 1 column 7"),
    ('"\\u00e', "EOF while parsing a string at line 1 column 6"),
    ('"\\uDC00"', "lone leading surrogate in hex escape at line 1 column 7"),
    ('"\\uD800"', "unexpected end of hex escape at line 1 column 8"),
    ('"\\uD800x"', "unexpected end of hex escape at line 1 column 8"),
    ('"\\uD800\\t"', "unexpected end of hex escape at line 1 column 9"),
    ('"\\uD800\\u0020"', "lone leading surrogate in hex escape at line 1 column 13"),
    ('"\\uD800\\uDBFF"', "lone leading surrogate in hex escape at line 1 column 13"),
    ('"\\uD800', "EOF while parsing a string at line 1 column 7"),
    ('"a\x07"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ('["a",\n"b\n"]', "control character (\\u0000-\\u001F) found while parsing a string at line 3 column 0"),
    ('{"k\x00":1}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
    # numbers
    ("01", "invalid number at line 1 column 2"),
    ("-01", "invalid number at line 1 column 3"),
    ("-", "EOF while parsing a value at line 1 column 1"),
    ("-x", "invalid number at line 1 column 2"),
    ("1.", "EOF while parsing a value at line 1 column 2"),
    ("1.x", "invalid number at line 1 column 3"),
    ("[1.]", "invalid number at line 1 column 4"),
    ("1e", "EOF while parsing a value at line 1 column 2"),
    ("1e+", "EOF while parsing a value at line 1 column 3"),
    ("1ex", "invalid number at line 1 column 3"),
    ("+1", "expected value at line 1 column 1"),
    (".5", "expected value at line 1 column 1"),
    ("1e400", "number out of range at line 1 column 5"),
    ("-1e400", "number out of range at line 1 column 6"),
    ("2e308", "number out of range at line 1 column 5"),
    ("[0, 1e400]", "number out of range at line 1 column 9"),
    ('{"a":1.5e99999}', "number out of range at line 1 column 14"),
    ("1e99999999999", "number out of range at line 1 column 12"),
    ("1" + "0" * 309, "number out of range at line 1 column 310"),
    ("-1" + "0" * 309, "number out of range at line 1 column 311"),
    ("1" + "0" * 309 + ".5", "number out of range at line 1 column 312"),
]


@pytest.mark.parametrize("text, message", ERRORS)
def test_reading_failures(text, message):
    assert fails(norvane.json_to_msgpack, text) == message
    assert fails(norvane.json_to_cbor, text) == message


# ---- nesting ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("convert, unpack", CONVERTERS)
def test_nesting_budget(convert, unpack):
    value = []
    for _ in range(126):
        value = [value]
    assert canon(unpack(convert("[" * 127 + "]" * 127))) == canon(value)
    assert fails(convert, "[" * 128 + "]" * 128) == "recursion limit exceeded at line 1 column 128"

    value = 1
    for _ in range(127):
        value = Obj([("a", value)])
    assert canon(unpack(convert('{"a":' * 127 + "1" + "}" * 127))) == canon(value)
    assert fails(convert, '{"a":' * 128 + "1" + "}" * 128) == "recursion limit exceeded at line 1 column 636"
    assert fails(convert, '[{"a":' * 64 + "}]" * 64) == "recursion limit exceeded at line 1 column 380"


@pytest.mark.parametrize("convert", [norvane.json_to_msgpack, norvane.json_to_cbor])
def test_hostile_nesting_fails_cleanly(convert):
    assert fails(convert, "[" * 100_000) == "recursion limit exceeded at line 1 column 128"
    assert fails(convert, '{"":' * 100_000) == "recursion limit exceeded at line 1 column 509"


# ---- generated documents ------------------------------------------------------------------------

NUMBER_TEXTS = st.one_of(
    st.integers(-(2**70), 2**70).map(str),
    st.sampled_from(
        ["-0", "-0.0", "0", "1E2", "1e-400", "-1e-400", "0.1e1", "18446744073709551615", "18446744073709551616",
         "-9223372036854775808", "-9223372036854775809", "5e-324", "1.7976931348623157e308"]
    ),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.tuples(st.integers(0, 10**20), st.integers(0, 10**6), st.integers(-330, 300)).map(
        lambda t: "%d.%de%d" % t
    ),
)


def leaves():
    return st.one_of(
        st.none().map(lambda _: "null"),
        st.booleans().map(lambda b: "true" if b else "false"),
        NUMBER_TEXTS,
        st.text(max_size=8).map(json.dumps),
        st.text(max_size=8).map(lambda s: json.dumps(s, ensure_ascii=False)),
    )


def render(children):
    keys = st.text(alphabet="ab\u00e9\U0001f600", max_size=2)
    return st.one_of(
        st.lists(children, max_size=4).map(lambda xs: "[" + ", ".join(xs) + "]"),
        st.lists(st.tuples(keys, children), max_size=4).map(
            lambda kvs: "{" + ",\n".join(json.dumps(k) + ": " + v for k, v in kvs) + "}"
        ),
    )


def _every_number_finite(text):
    # Every number of the text counts, also those under a key that a later duplicate replaces.
    floats = []
    json.loads(text, object_pairs_hook=list, parse_float=lambda s: floats.append(float(s)) or 0.0)
    return all(map(math.isfinite, floats))


documents = st.recursive(leaves(), render, max_leaves=30).filter(_every_number_finite)


@given(documents)
def test_generated_documents_against_python_json(text):
    want = canon(expected(text))
    assert canon(from_msgpack(norvane.json_to_msgpack(text))) == want
    assert canon(from_cbor(norvane.json_to_cbor(text))) == want


@given(documents)
def test_generated_documents_survive_the_round_trip(text):
    out = norvane.msgpack_to_json(norvane.json_to_msgpack(text))
    assert norvane.cbor_to_json(norvane.json_to_cbor(text)) == out
    assert canon(json.loads(out, object_pairs_hook=Obj)) == canon(expected(text))
    assert norvane.json_to_msgpack(out) == norvane.json_to_msgpack(text)
