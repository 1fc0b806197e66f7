"""Model values in tagged JSON: reading and writing through encode, decode, encode_as, decode_as."""

import decimal
import json
import math
import random
import struct

import pytest
from hypothesis import given, strategies as st

import norvane

JSON = "application/json"
VARIANTS = "one of `Null`, `Bool`, `Int`, `Float`, `Str`, `List`, `Map`, `Submodel`"


# ---- an independent writer of the compact form --------------------------------------


def float_text(x):
    """The JSON text of a finite double, built from Python's shortest repr."""
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    _, digit_tuple, exp = decimal.Decimal(repr(abs(x))).as_tuple()
    all_digits = "".join(map(str, digit_tuple))
    e = len(all_digits) - 1 + exp  # decimal exponent of the first digit
    digits = all_digits.rstrip("0")
    n = len(digits)
    if -5 <= e <= 15:
        if e >= n - 1:
            text = digits + "0" * (e - n + 1) + ".0"
        elif e >= 0:
            text = digits[: e + 1] + "." + digits[e + 1 :]
        else:
            text = "0." + "0" * (-e - 1) + digits
    else:
        text = digits[0] + ("." + digits[1:] if n > 1 else "") + "e" + ("+" if e >= 0 else "-") + str(abs(e))
    return ("-" if x < 0 else "") + text


def string_text(s):
    return json.dumps(s, ensure_ascii=False)


def utf8_key(item):
    return item[0].encode("utf-8")


def canonical(v):
    """Compact tagged JSON of a model value given as (variant, payload)."""
    kind = v[0]
    if kind == "Null":
        return '"Null"'
    if kind == "Bool":
        body = "true" if v[1] else "false"
    elif kind in ("Int", "Submodel"):
        body = str(v[1])
    elif kind == "Float":
        body = float_text(v[1]) if math.isfinite(v[1]) else "null"
    elif kind == "Str":
        body = string_text(v[1])
    elif kind == "List":
        body = "[" + ",".join(canonical(e) for e in v[1]) + "]"
    else:
        entries = sorted(v[1].items(), key=utf8_key)
        body = "{" + ",".join(string_text(k) + ":" + canonical(e) for k, e in entries) + "}"
    return '{"' + kind + '":' + body + "}"


def loose(v, rnd):
    """Another text of the same value: blanks, escapes, key order, number spellings."""

    def ws():
        return rnd.choice(["", "", " ", "\n", "\t", "\r\n  "])

    def s(text):
        return json.dumps(text, ensure_ascii=rnd.random() < 0.5)

    kind = v[0]
    if kind == "Null":
        return ws() + ('"Null"' if rnd.random() < 0.7 else '{"Null"' + ws() + ":" + ws() + "null}")
    if kind == "Bool":
        body = "true" if v[1] else "false"
    elif kind in ("Int", "Submodel"):
        body = str(v[1])
    elif kind == "Float":
        x = v[1]
        choices = [repr(x), "%.17g" % x, "%.17e" % x]
        if x == int(x) and abs(x) < 2**63 and math.copysign(1.0, x) > 0:
            choices.append(str(int(x)))
        body = rnd.choice(choices)
    elif kind == "Str":
        body = s(v[1])
    elif kind == "List":
        body = "[" + ",".join(loose(e, rnd) + ws() for e in v[1]) + ws() + "]"
    else:
        entries = list(v[1].items())
        rnd.shuffle(entries)
        body = "{" + ",".join(ws() + s(k) + ws() + ":" + loose(e, rnd) for k, e in entries) + ws() + "}"
    name = s(kind) if rnd.random() < 0.8 else '"\\u00' + format(ord(kind[0]), "02x") + kind[1:] + '"'
    return ws() + "{" + ws() + name + ws() + ":" + ws() + body + ws() + "}" + ws()


scalars = st.one_of(
    st.just(("Null",)),
    st.booleans().map(lambda b: ("Bool", b)),
    st.integers(-(2**63), 2**63 - 1).map(lambda i: ("Int", i)),
    st.floats(allow_nan=False, allow_infinity=False).map(lambda f: ("Float", f)),
    st.text(max_size=12).map(lambda t: ("Str", t)),
    st.integers(0, 2**64 - 1).map(lambda i: ("Submodel", i)),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4).map(lambda xs: ("List", xs)),
        st.dictionaries(st.text(max_size=6), inner, max_size=4).map(lambda d: ("Map", d)),
    ),
    max_leaves=25,
)


def fails(fn, *args):
    with pytest.raises(ValueError) as info:
        fn(*args)
    assert type(info.value) is ValueError
    return str(info.value)


# ---- writing and reading: exact forms ------------------------------------------------------


@pytest.mark.parametrize(
    "text, written",
    [
        ('"Null"', '"Null"'),
        ('{"Null":null}', '"Null"'),
        ('  "Null"\n\t\r ', '"Null"'),
        ('{"Bool":true}', '{"Bool":true}'),
        ('{"Bool":false}', '{"Bool":false}'),
        ('{"Int":-5}', '{"Int":-5}'),
        ('{"Int":9223372036854775807}', '{"Int":9223372036854775807}'),
        ('{"Int":-9223372036854775808}', '{"Int":-9223372036854775808}'),
        ('{"Float":1.5}', '{"Float":1.5}'),
        ('{"Float":1}', '{"Float":1.0}'),
        ('{"Float":-0}', '{"Float":-0.0}'),
        ('{"Float":0}', '{"Float":0.0}'),
        ('{"Float":18446744073709551615}', '{"Float":1.8446744073709552e+19}'),
        ('{"Float":-9223372036854775809}', '{"Float":-9.223372036854776e+18}'),
        ('{"Float":123456789012345678901234567890}', '{"Float":1.2345678901234568e+29}'),
        ('{"Float":123456789012345678}', '{"Float":1.2345678901234568e+17}'),
        ('{"Float":1E2}', '{"Float":100.0}'),
        ('{"Float":1e-999999999999}', '{"Float":0.0}'),
        ('{"Float":-1e-400}', '{"Float":-0.0}'),
        ('{"Float":0e999999999999}', '{"Float":0.0}'),
        ('{"Float":-0.0e999999999999}', '{"Float":-0.0}'),
        ('{"Float":0.' + "0" * 400 + "1e401}", '{"Float":1.0}'),
        ('{"Str":"text"}', '{"Str":"text"}'),
        ('{"Str":"\\u00e9\\n\\"\\\\\\/\\b\\f\\r\\t"}', '{"Str":"é\\n\\"\\\\/\\b\\f\\r\\t"}'),
        ('{"Str":"\\ud83d\\ude00 \\u001B\\u007f"}', '{"Str":"😀 \\u001b\x7f"}'),
        ('{"Str":"\u2028\ufeff/"}', '{"Str":"\u2028\ufeff/"}'),
        ('{"List":[]}', '{"List":[]}'),
        ('{"List":[{"Int":1},"Null"]}', '{"List":[{"Int":1},"Null"]}'),
        ('{"Map":{}}', '{"Map":{}}'),
        ('{"Map":{"b":"Null","a":{"Int":1}}}', '{"Map":{"a":{"Int":1},"b":"Null"}}'),
        ('{"Map":{"a":{"Int":1},"a":{"Int":2}}}', '{"Map":{"a":{"Int":2}}}'),
        ('{"Map":{"b":"Null","a":"Null","b":{"Int":1}}}', '{"Map":{"a":"Null","b":{"Int":1}}}'),
        ('{"Map":{"\\t":"Null","\\u001f":"Null","é":"Null"}}', '{"Map":{"\\t":"Null","\\u001f":"Null","é":"Null"}}'),
        ('{"Map":{"é":"Null","ab":"Null","a":"Null","B":"Null"}}', '{"Map":{"B":"Null","a":"Null","ab":"Null","é":"Null"}}'),
        ('{"Map":{"😀":"Null","\uffff":"Null","\ue000":"Null"}}', '{"Map":{"\ue000":"Null","\uffff":"Null","😀":"Null"}}'),
        ('{"Map":{"k":{"Null":null}}}', '{"Map":{"k":"Null"}}'),
        ('{"Submodel":7}', '{"Submodel":7}'),
        ('{"Submodel":18446744073709551615}', '{"Submodel":18446744073709551615}'),
        ('{"\\u0049nt":1}', '{"Int":1}'),
        ('"\\u004eull"', '"Null"'),
        (' { "List" : [ { "Int" : 1 } , "Null" ] } ', '{"List":[{"Int":1},"Null"]}'),
    ],
)
def test_reads_and_writes_the_compact_form(text, written):
    out = written.encode("utf-8")
    assert norvane.encode(text) == out
    assert norvane.encode_as(text, JSON) == out
    assert norvane.decode(text.encode("utf-8")) == written
    assert norvane.decode_as(text.encode("utf-8"), JSON) == written


FLOAT_TEXTS = [
    (1e-5, "0.00001"),
    (1e-6, "1e-6"),
    (1e15, "1000000000000000.0"),
    (1e16, "1e+16"),
    (-0.0, "-0.0"),
    (0.0, "0.0"),
    (5e-324, "5e-324"),
    (-5e-324, "-5e-324"),
    (1.7976931348623157e308, "1.7976931348623157e+308"),
    (-1.7976931348623157e308, "-1.7976931348623157e+308"),
    (2.2250738585072014e-308, "2.2250738585072014e-308"),
    (100.0, "100.0"),
    (123.456, "123.456"),
    (0.000123, "0.000123"),
    (1.2345e-5, "0.000012345"),
    (9.9999e-6, "9.9999e-6"),
    (1.5e-7, "1.5e-7"),
    (9999999999999998.0, "9999999999999998.0"),
    (12345678901234567.0, "1.2345678901234568e+16"),
    (123456789012345678.0, "1.2345678901234568e+17"),
    (-2.5e300, "-2.5e+300"),
    (0.1, "0.1"),
    # Decimals of a few fractional digits, at the edges of the short way to their text.
    (0.0001, "0.0001"),
    (-0.00012, "-0.00012"),
    (99999999.9999999, "99999999.9999999"),
    (100000000.5, "100000000.5"),
    (12.3456789, "12.3456789"),
    (12.34567891, "12.34567891"),
    (2.675, "2.675"),
    (0.30000000000000004, "0.30000000000000004"),
    (1e21, "1e+21"),
    (2.0**53, "9007199254740992.0"),
]


@pytest.mark.parametrize("x, text", FLOAT_TEXTS)
def test_float_text_boundaries(x, text):
    assert float_text(x) == text
    for spelled in (repr(x), "%.17e" % x):
        assert norvane.encode('{"Float":%s}' % spelled) == b'{"Float":%s}' % text.encode()


def test_float_reading_at_the_edges_of_the_double_range():
    assert norvane.encode('{"Float":3e-324}') == b'{"Float":5e-324}'
    assert norvane.encode('{"Float":2e-324}') == b'{"Float":0.0}'
    assert norvane.encode('{"Float":-2e-324}') == b'{"Float":-0.0}'
    assert norvane.encode('{"Float":1.7976931348623158e308}') == b'{"Float":1.7976931348623157e+308}'
    assert fails(norvane.encode, '{"Float":1.7976931348623159e308}') == "number out of range at line 1 column 31"
    assert norvane.encode('{"Float":%s}' % ("1" + "0" * 308)) == b'{"Float":1e+308}'
    assert fails(norvane.encode, '{"Float":%s}' % ("1" + "0" * 309)) == "number out of range at line 1 column 319"


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_float_text_matches_the_reference_rule(x):
    assert norvane.encode('{"Float":%r}' % x) == ('{"Float":%s}' % float_text(x)).encode()


@given(st.integers(-(10**15), 10**15), st.integers(1, 9), st.integers(-1, 1))
def test_float_text_of_short_decimals(n, k, step):
    # Readings, prices and coordinates: decimals of a few digits, and their neighbours.
    x = n / 10**k
    if step:
        x = math.nextafter(x, step * math.inf)
    assert norvane.encode('{"Float":%r}' % x) == ('{"Float":%s}' % float_text(x)).encode()


@given(st.floats())
def test_float_writer_on_exact_doubles_from_messagepack(x):
    data = b"\x81\xa5Float\xcb" + struct.pack(">d", x)
    expected = float_text(x) if math.isfinite(x) else "null"
    assert norvane.decode_as(data, "application/msgpack") == '{"Float":%s}' % expected


def test_non_finite_float_writes_null_and_does_not_read_back():
    text = norvane.decode_as(b"\x81\xa5Float\xcb\x7f\xf8\x00\x00\x00\x00\x00\x00", "application/msgpack")
    assert text == '{"Float":null}'
    assert fails(norvane.encode, text) == "invalid type: null, expected f64 at line 1 column 13"


def test_values_nested_beyond_the_budget_write_but_do_not_read_back():
    data = b"\x81\xa4List\x91" * 64 + b"\x81\xa3Int\x01"
    text = norvane.decode_as(data, "application/msgpack")
    assert text == nested("List", 64)
    assert fails(norvane.encode, text) == "recursion limit exceeded at line 1 column 576"


@given(st.text())
def test_string_escaping_matches_json_dumps(s):
    # Input escaped to ASCII, output raw UTF-8 with only the mandatory escapes.
    assert norvane.encode('{"Str":%s}' % json.dumps(s)) == ('{"Str":%s}' % string_text(s)).encode("utf-8")
    key_text = '{"Map":{%s:"Null"}}' % json.dumps(s, ensure_ascii=False)
    assert norvane.decode(key_text.encode("utf-8")) == '{"Map":{%s:"Null"}}' % string_text(s)


def test_control_characters_are_escaped_in_lowercase_hex():
    chars = "".join(map(chr, range(0x20)))
    out = norvane.encode('{"Str":%s}' % json.dumps(chars))
    assert out == (
        b'{"Str":"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r'
        b'\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019'
        b'\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f"}'
    )


# ---- round trips ---------------------------------------------------------------------


@given(values, st.randoms(use_true_random=False))
def test_round_trip_through_json(v, rnd):
    expected = canonical(v).encode("utf-8")
    assert norvane.encode(loose(v, rnd)) == expected
    assert norvane.encode_as(loose(v, rnd), JSON) == expected
    text = norvane.decode(expected)
    assert text.encode("utf-8") == expected
    assert norvane.encode(text) == expected
    assert norvane.decode_as(norvane.encode_as(text, JSON), JSON) == text


# ---- failures ---------------------------------------------------------------------------

ERRORS = [
    # structure of the tagged form
    ("", "EOF while parsing a value at line 1 column 0"),
    ("   ", "EOF while parsing a value at line 1 column 3"),
    ("\n\n", "EOF while parsing a value at line 3 column 0"),
    ("x", "expected value at line 1 column 1"),
    ("5", "expected value at line 1 column 1"),
    ("  true", "expected value at line 1 column 3"),
    ("null", "expected value at line 1 column 1"),
    ('["Null"]', "expected value at line 1 column 1"),
    ('"Null"x', "trailing characters at line 1 column 7"),
    ('"Null" x', "trailing characters at line 1 column 8"),
    ('"Null"\n\n x', "trailing characters at line 3 column 2"),
    ('{"Int":1}}', "trailing characters at line 1 column 10"),
    ('"Int"', "invalid type: unit variant, expected newtype variant at line 1 column 5"),
    ('"Map"', "invalid type: unit variant, expected newtype variant at line 1 column 5"),
    ('"int"', f"unknown variant `int`, expected {VARIANTS} at line 1 column 5"),
    ('"NULL"', f"unknown variant `NULL`, expected {VARIANTS} at line 1 column 6"),
    ('"Nul', "EOF while parsing a string at line 1 column 4"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ("{}", "expected value at line 1 column 2"),
    ("{ }", "expected value at line 1 column 3"),
    ("{5:1}", "key must be a string at line 1 column 2"),
    ('{"Int"', "EOF while parsing an object at line 1 column 6"),
    ('{"Int" 1}', "expected `:` at line 1 column 8"),
    ('{"Int":', "EOF while parsing a value at line 1 column 7"),
    ('{"Int":1', "EOF while parsing an object at line 1 column 8"),
    ('{"Int":1,"Str":"x"}', "expected value at line 1 column 8"),
    ('{"Int":1 x', "expected value at line 1 column 9"),
    ('{"int":1}', f"unknown variant `int`, expected {VARIANTS} at line 1 column 6"),
    ('{"":1}', f"unknown variant ``, expected {VARIANTS} at line 1 column 3"),
    ('{"a\\nb":1}', f"unknown variant `a\nb`, expected {VARIANTS} at line 1 column 7"),
    # payloads
    ('{"Null":0}', "invalid type: integer `0`, expected unit at line 1 column 9"),
    ('{"Null":nul}', "expected ident at line 1 column 12"),
    ('{"Null":nil}', "expected ident at line 1 column 10"),
    ('{"Null":{}}', "invalid type: map, expected unit at line 1 column 8"),
    ('{"Null":"x"}', 'invalid type: string "x", expected unit at line 1 column 11'),
    ('{"Bool":1}', "invalid type: integer `1`, expected a boolean at line 1 column 9"),
    ('{"Bool":null}', "invalid type: null, expected a boolean at line 1 column 12"),
    ('{"Bool":[true]}', "invalid type: sequence, expected a boolean at line 1 column 8"),
    ('{"Bool":tru}', "expected ident at line 1 column 12"),
    ('{"Bool":tr', "EOF while parsing a value at line 1 column 10"),
    ('{"Int":9223372036854775808}', "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 26"),
    ('{"Int":18446744073709551615}', "invalid value: integer `18446744073709551615`, expected i64 at line 1 column 27"),
    ('{"Int":18446744073709551616}', "invalid type: floating point `1.8446744073709552e+19`, expected i64 at line 1 column 27"),
    ('{"Int":-9223372036854775809}', "invalid type: floating point `-9.223372036854776e+18`, expected i64 at line 1 column 27"),
    ('{"Int":1.0}', "invalid type: floating point `1.0`, expected i64 at line 1 column 10"),
    ('{"Int":-0}', "invalid type: floating point `-0.0`, expected i64 at line 1 column 9"),
    ('{"Int":1e16}', "invalid type: floating point `1e+16`, expected i64 at line 1 column 11"),
    ('{"Int":0.00001}', "invalid type: floating point `0.00001`, expected i64 at line 1 column 14"),
    ('{"Int":true}', "invalid type: boolean `true`, expected i64 at line 1 column 11"),
    ('{"Int":"5"}', 'invalid type: string "5", expected i64 at line 1 column 10'),
    ('{"Float":null}', "invalid type: null, expected f64 at line 1 column 13"),
    ('{"Float":"1.5"}', 'invalid type: string "1.5", expected f64 at line 1 column 14'),
    ('{"Float":NaN}', "expected value at line 1 column 10"),
    ('{"Float":Infinity}', "expected value at line 1 column 10"),
    ('{"Float":1e400}', "number out of range at line 1 column 14"),
    ('{"Float":-1e400}', "number out of range at line 1 column 15"),
    ('{"Float":1e999999999999}', "number out of range at line 1 column 21"),
    ('{"Float":' + "1" + "0" * 400 + "}", "number out of range at line 1 column 410"),
    ('{"Float":' + "1" + "0" * 400 + ".5}", "number out of range at line 1 column 412"),
    ('{"Str":1}', "invalid type: integer `1`, expected a string at line 1 column 8"),
    ('{"Str":null}', "invalid type: null, expected a string at line 1 column 11"),
    ('{"Str":["x"]}', "invalid type: sequence, expected a string at line 1 column 7"),
    ('{"List":1}', "invalid type: integer `1`, expected a sequence at line 1 column 9"),
    ('{"List":{}}', "invalid type: map, expected a sequence at line 1 column 8"),
    ('{"List":[1,2]}', "expected value at line 1 column 10"),
    ('{"List":["Int"]}', "invalid type: unit variant, expected newtype variant at line 1 column 14"),
    ('{"List":["Null",]}', "trailing comma at line 1 column 17"),
    ('{"List":["Null" "Null"]}', "expected `,` or `]` at line 1 column 17"),
    ('{"List":["Null"}', "expected `,` or `]` at line 1 column 16"),
    ('{"List":[', "EOF while parsing a list at line 1 column 9"),
    ('{"List":["Null"', "EOF while parsing a list at line 1 column 15"),
    ('{"List":["Null",', "EOF while parsing a value at line 1 column 16"),
    ('{"List":["Null"]', "EOF while parsing an object at line 1 column 16"),
    ('{"Map":[]}', "invalid type: sequence, expected a map at line 1 column 7"),
    ('{"Map":"x"}', 'invalid type: string "x", expected a map at line 1 column 10'),
    ('{"Map":{"a":1}}', "expected value at line 1 column 13"),
    ('{"Map":{1:"Null"}}', "key must be a string at line 1 column 9"),
    ('{"Map":{"a""Null"}}', "expected `:` at line 1 column 12"),
    ('{"Map":{"a":"Null",}}', "trailing comma at line 1 column 20"),
    ('{"Map":{"a":"Null","b"}}', "expected `:` at line 1 column 23"),
    ('{"Map":{"a":"Null" "b":"Null"}}', "expected `,` or `}` at line 1 column 20"),
    ('{"Map":{"a":"Null"]}', "expected `,` or `}` at line 1 column 19"),
    ('{"Map":{', "EOF while parsing an object at line 1 column 8"),
    ('{"Map":{"a"', "EOF while parsing an object at line 1 column 11"),
    ('{"Map":{"a":', "EOF while parsing a value at line 1 column 12"),
    ('{"Map":{"a":"Null"', "EOF while parsing an object at line 1 column 18"),
    ('{"Map":{"a":"Null",', "EOF while parsing a value at line 1 column 19"),
    ('{"Map":{"a":"Null"}', "EOF while parsing an object at line 1 column 19"),
    ('{"Submodel":-1}', "invalid value: integer `-1`, expected u64 at line 1 column 14"),
    ('{"Submodel":-9223372036854775808}', "invalid value: integer `-9223372036854775808`, expected u64 at line 1 column 32"),
    ('{"Submodel":18446744073709551616}', "invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 1 column 32"),
    ('{"Submodel":1.5}', "invalid type: floating point `1.5`, expected u64 at line 1 column 15"),
    ('{"Submodel":"7"}', 'invalid type: string "7", expected u64 at line 1 column 15'),
    # strings
    ('{"Str":"abc', "EOF while parsing a string at line 1 column 11"),
    ('{"Str":"a\\', "EOF while parsing a string at line 1 column 10"),
    ('{"Str":"\\x"}', "invalid escape at line 1 column 10"),
    ('{"Str":"\\U0041"}', "invalid escape at line 1 column 10"),
    ('{"Str":"\\u12G4"}', "invalid escape at line 1 column 14"),
    ('{"Str":"\\u12"}', "invalid escape at line 1 column 14"),
    ('{"Str":"\\u12', "EOF while parsing a string at line 1 column 12"),
    ('{"Str":"\\uDC00"}', "lone leading surrogate in hex escape at line 1 column 14"),
    ('{"Str":"\\uD800"}', "unexpected end of hex escape at line 1 column 15"),
    ('{"Str":"\\uD800\\n"}', "unexpected end of hex escape at line 1 column 16"),
    ('{"Str":"\\uD800\\u0041"}', "lone leading surrogate in hex escape at line 1 column 20"),
    ('{"Str":"\\uD800\\uD800"}', "lone leading surrogate in hex escape at line 1 column 20"),
    ('{"Str":"\\uD800', "EOF while parsing a string at line 1 column 14"),
    ('{"Str":"\\uD800\\', "EOF while parsing a string at line 1 column 15"),
    ('{"Str":"a\tb"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 10"),
    ('{"Str":"a\nb"}', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
    ('{"Str":"\x00"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"),
    ('{"Str":"\x1f"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"),
    ('{"Map":{"\x01":"Null"}}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 10"),
    ('"\\uDFFF"', "lone leading surrogate in hex escape at line 1 column 7"),
    # numbers
    ('{"Int":01}', "invalid number at line 1 column 9"),
    ('{"Int":-01}', "invalid number at line 1 column 10"),
    ('{"Float":1.}', "invalid number at line 1 column 12"),
    ('{"Float":1.e5}', "invalid number at line 1 column 12"),
    ('{"Float":1e}', "invalid number at line 1 column 12"),
    ('{"Float":1e+}', "invalid number at line 1 column 13"),
    ('{"Float":-}', "invalid number at line 1 column 11"),
    ('{"Float":--1}', "invalid number at line 1 column 11"),
    ('{"Float":.5}', "expected value at line 1 column 10"),
    ('{"Float":+1}', "expected value at line 1 column 10"),
    ('{"Float":0x10}', "expected value at line 1 column 10"),
    ('{"Float":1.', "EOF while parsing a value at line 1 column 11"),
    ('{"Float":1e', "EOF while parsing a value at line 1 column 11"),
    ('{"Float":-', "EOF while parsing a value at line 1 column 10"),
    # positions count bytes, not characters
    ('{"Str":"é"x', "expected value at line 1 column 11"),
    ('{"Str":"😀" ,', "expected value at line 1 column 14"),
    # lines count line feeds; the column restarts after each
    ('{\n "List": [\n  "Null"\n  "Null"]}', "expected `,` or `]` at line 4 column 3"),
]


@pytest.mark.parametrize("text, message", ERRORS)
def test_reading_failures(text, message):
    assert fails(norvane.encode, text) == message
    assert fails(norvane.encode_as, text, JSON) == message
    assert fails(norvane.encode_as, text, "nope") == message  # the value is read before the codec is looked up
    assert fails(norvane.decode, text.encode("utf-8")) == "codec error: " + message
    assert fails(norvane.decode_as, text.encode("utf-8"), JSON) == "codec error: " + message


@pytest.mark.parametrize(
    "raw, dbg",
    [
        ('a"b', '"a\\"b"'),
        ("a\\b", '"a\\\\b"'),
        ("\t\n\r", '"\\t\\n\\r"'),
        ("\x00", '"\\0"'),
        ("\x01\x1b\x7f\x85", '"\\u{1}\\u{1b}\\u{7f}\\u{85}"'),
        ("it's", '"it\'s"'),
        ("e\u0301", '"e\\u{301}"'),
        ("\u0300", '"\\u{300}"'),
        ("a\u20dd", '"a\\u{20dd}"'),
        ("\xa0\u2028\u3000", '"\\u{a0}\\u{2028}\\u{3000}"'),
        ("\u00ad\u200b\u061c\ufeff\U000e0001", '"\\u{ad}\\u{200b}\\u{61c}\\u{feff}\\u{e0001}"'),
        ("\ue000\U000f0000\U0010fffd", '"\\u{e000}\\u{f0000}\\u{10fffd}"'),
        ("\u0378", '"\\u{378}"'),
        ("é日本😀~ ", '"é日本😀~ "'),
    ],
)
def test_strings_in_messages_use_the_debug_quoting(raw, dbg):
    text = '{"Int":%s}' % json.dumps(raw)
    column = len(text.encode("utf-8")) - 1
    assert fails(norvane.encode, text) == f"invalid type: string {dbg}, expected i64 at line 1 column {column}"


# ---- nesting -------------------------------------------------------------------------------


def nested(kind, depth, inner='{"Int":1}'):
    if kind == "List":
        return '{"List":[' * depth + inner + "]}" * depth
    return '{"Map":{"k":' * depth + inner + "}}" * depth


def test_nesting_budget():
    text = nested("List", 63)
    assert norvane.encode(text) == text.encode()
    assert norvane.decode(text.encode()) == text
    assert fails(norvane.encode, nested("List", 64)) == "recursion limit exceeded at line 1 column 576"
    assert fails(norvane.encode, nested("List", 64, '"Null"')) == "recursion limit exceeded at line 1 column 576"
    text = nested("Map", 63)
    assert norvane.encode(text) == text.encode()
    assert fails(norvane.encode, nested("Map", 64)) == "recursion limit exceeded at line 1 column 764"
    assert fails(norvane.decode, nested("Map", 64).encode()) == "codec error: recursion limit exceeded at line 1 column 764"


def test_hostile_nesting_fails_cleanly():
    assert fails(norvane.encode, '{"List":[' * 100_000) == "recursion limit exceeded at line 1 column 576"
    assert fails(norvane.decode, b'{"Map":{"k":' * 100_000) == "codec error: recursion limit exceeded at line 1 column 764"


# ---- bytes given to decode ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, message",
    [
        (b'"\xff"', "invalid unicode code point at line 1 column 3"),
        (b'{"Str":"a\xc3"}', "invalid unicode code point at line 1 column 11"),
        (b'{"Str":"\xed\xa0\x80"}', "invalid unicode code point at line 1 column 12"),
        (b'{"Str":"\xf4\x90\x80\x80"}', "invalid unicode code point at line 1 column 13"),
        (b'{"Str":"\xc0\xaf"}', "invalid unicode code point at line 1 column 11"),
        (b'{"Map":{"\xff":"Null"}}', "invalid unicode code point at line 1 column 11"),
        (b'{"Str":"\\n\xff"}', "invalid unicode code point at line 1 column 12"),
        (b'{"Str":"\xc3\\u00a9"}', "invalid unicode code point at line 1 column 16"),
        (b"\xff", "expected value at line 1 column 1"),
        (b'"Null"\xff', "trailing characters at line 1 column 7"),
        (b'{"Str":"\xc3\xa9"x', "expected value at line 1 column 11"),
        (b"x", "expected value at line 1 column 1"),
        (b"", "EOF while parsing a value at line 1 column 0"),
    ],
)
def test_decode_failures_on_bytes(data, message):
    assert fails(norvane.decode, data) == "codec error: " + message
    assert fails(norvane.decode_as, data, JSON) == "codec error: " + message


def test_decode_takes_utf8_bytes():
    assert norvane.decode(b'{"Str":"\xc3\xa9\xf0\x9f\x98\x80"}') == '{"Str":"é😀"}'
    assert norvane.decode(b'"Null"\n   \t\r') == '"Null"'
    assert norvane.encode(' "Null"') == b'"Null"'
    assert norvane.decode(b'"Null"') == '"Null"'


# ---- codec names ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name", ["nope", "json", "", "application/JSON", "Application/json", " application/json", "application/json ", "é"]
)
def test_unknown_codec_names(name):
    assert fails(norvane.encode_as, '"Null"', name) == "unknown codec: " + name
    assert fails(norvane.decode_as, b"x", name) == "unknown codec: " + name


@pytest.mark.parametrize("special", ['"', "\\", "\n", "\x1f", "\x7f", "é", "\u2028"])
@pytest.mark.parametrize("n", [70, 203, 395])
def test_escapes_anywhere_in_long_strings(special, n):
    # Long plain runs are checked many bytes at a time: a character to escape
    # must be found wherever it stands in them.
    for at in range(0, n):
        s = "a" * at + special + "b" * (n - 1 - at)
        assert norvane.encode('{"Str":%s}' % json.dumps(s)) == ('{"Str":%s}' % string_text(s)).encode("utf-8")


@given(st.text(alphabet=st.sampled_from('ab"\\\n\t\x01\x1f\x7f/é\u2028😀'), min_size=60, max_size=400))
def test_long_strings_dense_with_escapes_match_json_dumps(s):
    assert norvane.encode('{"Str":%s}' % json.dumps(s)) == ('{"Str":%s}' % string_text(s)).encode("utf-8")


@pytest.mark.parametrize("n", [64, 79, 80, 95, 96, 97, 127, 128, 129, 255, 256, 257])
@pytest.mark.parametrize("fill", ["\t", "x", "x\n", "\x01yz"])
def test_escapes_up_to_the_last_byte_of_long_strings(n, fill):
    # Every block boundary and the very end, with escapes packed or spread.
    s = (fill * n)[:n - 1] + '"'
    assert norvane.encode('{"Str":%s}' % json.dumps(s)) == ('{"Str":%s}' % string_text(s)).encode("utf-8")
