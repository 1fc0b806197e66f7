"""CBOR: json_to_cbor / cbor_to_json, and the CBOR codec through encode_as / decode_as."""

import json
import math
import re
import struct

import cbor2
import pytest
from hypothesis import given, strategies as st

import norvane

EOF_ERROR = 'Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })'
CBOR = "application/cbor"


def semantic(message, offset=None):
    where = "None" if offset is None else f"Some({offset})"
    return f"Semantic({where}, {json.dumps(message, ensure_ascii=False)})"


def cbor_error(data):
    with pytest.raises(ValueError) as info:
        norvane.cbor_to_json(data)
    return str(info.value)


def h(text):
    return bytes.fromhex(text)


# ---- JSON to CBOR ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("1.5", "f93e00"),
        ("100000.0", "fa47c35000"),
        ("0.1", "fb3fb999999999999a"),
        ("-1", "20"),
        ("-0", "f98000"),
        ("1.0", "f93c00"),
        ("65504.0", "f97bff"),
        # Past the largest half: single precision, never half infinity.
        ("65536.0", "fa47800000"),
        ("98304.0", "fa47c00000"),
        ("-65536.0", "fac7800000"),
        ("5.960464477539063e-8", "f90001"),
        ("1e300", "fb7e37e43c8800759c"),
        ("null", "f6"),
        ("false", "f4"),
        ("true", "f5"),
        ("23", "17"),
        ("24", "1818"),
        ("255", "18ff"),
        ("256", "190100"),
        ("65536", "1a00010000"),
        ("4294967296", "1b0000000100000000"),
        ("18446744073709551615", "1bffffffffffffffff"),
        ("-24", "37"),
        ("-25", "3818"),
        ("-9223372036854775808", "3b7fffffffffffffff"),
        ("18446744073709551616", "fa5f800000"),
        ("42", "182a"),
        ('""', "60"),
        ('"' + "x" * 24 + '"', "7818" + "78" * 24),
        ('"\\u00e9"', "62c3a9"),
        ("[]", "80"),
        ("{}", "a0"),
        ('[1,[2,"a"]]', "8201820261" + "61"),
        ('{"b":1,"a":2}', "a2616102616201"),
        ('{"a":1,"a":2}', "a1616102"),
        # An "ack" message as the connection codec carries it: keys sorted.
        (
            '{"t":"ack","id":1,"rev":2,"proposal":"p1"}',
            "a4626964016870726f706f73616c627031637265760261746361636b",
        ),
    ],
)
def test_json_to_cbor_bytes(text, expected):
    assert norvane.json_to_cbor(text).hex() == expected


@pytest.mark.parametrize(
    "text, message",
    [
        ("x", "expected value at line 1 column 1"),
        ("[1,]", "trailing comma at line 1 column 4"),
        ("1e400", "number out of range at line 1 column 5"),
        ("[" * 128, "recursion limit exceeded at line 1 column 128"),
    ],
)
def test_json_to_cbor_refuses_bad_json(text, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        norvane.json_to_cbor(text)


# ---- CBOR to JSON ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, expected",
    [
        ("f7", "null"),  # undefined
        ("f6", "null"),
        ("f97c00", "null"),  # infinity
        ("f9fc00", "null"),
        ("f97e00", "null"),  # NaN
        ("fa7fc00000", "null"),
        ("fb7ff8000000000000", "null"),
        ("f93c00", "1.0"),
        ("fa3fc00000", "1.5"),
        ("f98000", "-0.0"),
        ("f90001", "5.960464477539063e-8"),
        ("f4", "false"),
        ("00", "0"),
        ("3b7fffffffffffffff", "-9223372036854775808"),
        ("1bffffffffffffffff", "18446744073709551615"),
        ("c24105", "5"),  # bignums that fit
        ("c34105", "-6"),
        ("c248ffffffffffffffff", "18446744073709551615"),
        ("c2500000000000000000ffffffffffffffff", "18446744073709551615"),
        ("c3487fffffffffffffff", "-9223372036854775808"),
        ("c240", "0"),
        ("0102ff", "1"),  # bytes after the first item are ignored
        ("6161", '"a"'),
        ("7f61616162ff", '"ab"'),
        ("7fff", '""'),
        ("9f0102ff", "[1,2]"),
        ("9f9fffff", "[[]]"),
        ("bf616101ff", '{"a":1}'),
        ("a2616201616102", '{"a":2,"b":1}'),
        ("a2616101616102", '{"a":2}'),  # the last of equal keys wins
        ("a1c6616101", '{"a":1}'),  # tags before a key are skipped
        ("a16161f7", '{"a":null}'),
        ("62c3a9", '"\u00e9"'),
        ("6122", '"\\""'),
    ],
)
def test_cbor_to_json(data, expected):
    assert norvane.cbor_to_json(h(data)) == expected


def test_long_key_after_the_first_is_read():
    data = h("a2616101") + h("791001") + b"b" * 4097 + h("02")
    assert norvane.cbor_to_json(data) == '{"a":1,"' + "b" * 4097 + '":2}'


ANY_JSON = "any valid JSON value"


@pytest.mark.parametrize(
    "data, expected",
    [
        ("", EOF_ERROR),
        ("82", EOF_ERROR),
        ("8201", EOF_ERROR),
        ("19", EOF_ERROR),
        ("1901", EOF_ERROR),
        ("6261", EOF_ERROR),
        ("7affffffff61", EOF_ERROR),  # huge declared lengths
        ("5bffffffffffffffff", EOF_ERROR),
        ("9bffffffffffffffff01", EOF_ERROR),
        ("bbffffffffffffffff616101", EOF_ERROR),
        ("9f01", EOF_ERROR),
        ("c2", EOF_ERROR),
        ("40", semantic(f"invalid type: byte array, expected {ANY_JSON}")),
        ("5f4101ff", semantic(f"invalid type: byte array, expected {ANY_JSON}")),
        ("c601", semantic(f"invalid type: enum, expected {ANY_JSON}")),
        ("d8ffc24105", semantic(f"invalid type: enum, expected {ANY_JSON}")),
        ("c2510000000000000000000000000000000001", semantic(f"invalid type: enum, expected {ANY_JSON}")),
        ("c249010000000000000000", semantic("JSON number out of range")),
        ("c348ffffffffffffffff", semantic("JSON number out of range")),
        ("3b8000000000000000", semantic("JSON number out of range")),
        ("c35080000000000000000000000000000000", semantic("integer too large")),
        ("a10102", semantic("invalid type: integer `1`, expected str")),
        ("a14161", semantic("invalid type: bytes, expected str")),
        ("a1f6f6", semantic("invalid type: null, expected str")),
        ("a2616101f602", semantic("invalid type: null, expected string")),
        ("a261610120", semantic("invalid type: integer `-1`, expected string")),
        ("f0", semantic(f"invalid type: simple, expected {ANY_JSON}")),
        ("f3", semantic(f"invalid type: simple, expected {ANY_JSON}")),
        ("f820", semantic(f"invalid type: simple, expected {ANY_JSON}")),
        ("f8ff", semantic(f"invalid type: simple, expected {ANY_JSON}")),
        ("8201f0", semantic(f"invalid type: simple, expected {ANY_JSON}")),
        ("a16161f820", semantic(f"invalid type: simple, expected {ANY_JSON}")),
        ("ff", semantic("invalid type: break, expected non-break")),
        ("bf6161ff", semantic("invalid type: break, expected non-break")),
        # Not well-formed: reserved additional information, an indefinite
        # integer or tag, a two-byte simple value below 32, chunks of the wrong
        # kind, text that is not UTF-8.
        ("1c", "Syntax(0)"),
        ("821f", "Syntax(1)"),
        ("3f", "Syntax(0)"),
        ("df", "Syntax(0)"),
        ("f814", "Syntax(0)"),
        ("5f6161ff", "Syntax(1)"),
        ("7f4161ff", "Syntax(1)"),
        ("7f7f6161ffff", "Syntax(1)"),
        ("62ffff", "Syntax(0)"),
        ("830162c3", EOF_ERROR),
        ("8301 62c328", "Syntax(2)"),
        ("7f6161 61ff ff", "Syntax(3)"),
    ],
)
def test_cbor_to_json_errors(data, expected):
    assert cbor_error(h(data.replace(" ", ""))) == expected


def chunked_text(text, cuts):
    """`text` as an indefinite-length text string cut at the given character offsets."""
    bounds = [0, *sorted(c % (len(text) + 1) for c in cuts), len(text)]
    return h("7f") + b"".join(cbor2.dumps(text[a:b]) for a, b in zip(bounds, bounds[1:])) + h("ff")


@pytest.mark.parametrize("length", [4095, 4096, 4097, 70_000])
@pytest.mark.parametrize("others", [{}, {"~": [1]}, {"!": 2, "~": {"": None}}])
def test_keys_of_any_length_read_back(length, others):
    doc = {"k" * length: {"k" * length: 1}, **others}
    text = json.dumps(doc, separators=(",", ":"), sort_keys=True)
    data = norvane.json_to_cbor(text)
    assert data == cbor2.dumps(json.loads(text))
    assert norvane.cbor_to_json(data) == text
    value = json.dumps({"Map": {k: {"Int": 1} for k in doc}}, separators=(",", ":"), sort_keys=True)
    assert norvane.decode_as(norvane.encode_as(value, CBOR), CBOR) == value


@pytest.mark.parametrize(
    "data, expected",
    [
        ("a17f6161ff01", '{"a":1}'),
        ("a17fff01", '{"":1}'),
        ("a17f60606161ff01", '{"a":1}'),
        ("bf7f61626161ff01 6161 02ff", '{"a":2,"ba":1}'),
        ("a2 7f6162ff 01 6162 02", '{"b":2}'),
        ("a1 c6 7f6161ff 01", '{"a":1}'),
        ("a1 7f6161 4161 ff 01", "Syntax(4)"),
        ("a1 7f 62c328 ff 01", "Syntax(2)"),
        ("a1 7f6161", EOF_ERROR),
    ],
)
def test_chunked_first_key(data, expected):
    data = h(data.replace(" ", ""))
    if expected.startswith("{"):
        assert norvane.cbor_to_json(data) == expected
    else:
        assert cbor_error(data) == expected


@given(
    st.dictionaries(st.text(max_size=12), st.integers(0, 10), min_size=1, max_size=6),
    st.lists(st.integers(0, 40), max_size=4),
)
def test_chunked_keys_match_cbor2(doc, cuts):
    data = bytes([0xA0 + len(doc)]) + b"".join(chunked_text(k, cuts) + cbor2.dumps(v) for k, v in doc.items())
    assert cbor2.loads(data) == doc
    assert norvane.cbor_to_json(data) == json.dumps(doc, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


@pytest.mark.parametrize("opener, closer", [("81", ""), ("9f", "ff"), ("a16161", ""), ("bf6161", "ff")])
def test_nesting_budget(opener, closer):
    def nested(n):
        return h(opener) * n + h("00") + h(closer) * n

    text = norvane.cbor_to_json(nested(256))
    assert text.count("[") + text.count("{") == 256
    assert cbor_error(nested(257)) == "RecursionLimitExceeded"


def test_tags_take_nesting_budget():
    assert cbor_error(h("81") * 255 + h("c601")) == semantic(f"invalid type: enum, expected {ANY_JSON}")
    assert cbor_error(h("81") * 256 + h("c601")) == "RecursionLimitExceeded"
    # Bignums are integers, not nesting.
    assert norvane.cbor_to_json(h("81") * 256 + h("c24105")) == "[" * 256 + "5" + "]" * 256


# ---- properties -----------------------------------------------------------------------

keys = st.text(max_size=6)
json_scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=12)
)
documents = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(keys, inner, max_size=5),
    max_leaves=25,
)


def json_double(f):
    """The module's JSON text of a finite double."""
    if f == 0:
        return "-0.0" if math.copysign(1, f) < 0 else "0.0"
    mantissa, _, exp = repr(abs(f)).partition("e")
    whole, _, frac = mantissa.partition(".")
    digits = (whole + frac).lstrip("0")
    point = len(whole) + int(exp or 0) - (len(whole + frac) - len((whole + frac).lstrip("0")))
    digits = digits.rstrip("0") or "0"
    sign = "-" if f < 0 else ""
    e10 = point - 1
    if -5 <= e10 <= 15:
        if point <= 0:
            return sign + "0." + "0" * -point + digits
        if point >= len(digits):
            return sign + digits + "0" * (point - len(digits)) + ".0"
        return sign + digits[:point] + "." + digits[point:]
    rest = "." + digits[1:] if len(digits) > 1 else ""
    return f"{sign}{digits[0]}{rest}e{'+' if e10 > 0 else '-'}{abs(e10)}"


def canonical_json(doc):
    if isinstance(doc, bool) or doc is None:
        return json.dumps(doc)
    if isinstance(doc, int):
        return str(doc)
    if isinstance(doc, float):
        return json_double(doc)
    if isinstance(doc, str):
        return json.dumps(doc, ensure_ascii=False)
    if isinstance(doc, list):
        return "[" + ",".join(canonical_json(x) for x in doc) + "]"
    items = sorted(doc.items(), key=lambda kv: kv[0].encode())
    return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + canonical_json(v) for k, v in items) + "}"


@given(documents)
def test_json_to_cbor_matches_cbor2(doc):
    assert cbor2.loads(norvane.json_to_cbor(json.dumps(doc))) == doc


@given(documents)
def test_cbor_to_json_of_cbor2_bytes(doc):
    assert norvane.cbor_to_json(cbor2.dumps(doc)) == canonical_json(doc)


# Keys of one length sort the same in cbor2's canonical order and in byte order.
same_length_docs = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(st.text("abcdefgh", min_size=2, max_size=2), inner, max_size=4),
    max_leaves=20,
)


@given(same_length_docs)
def test_json_to_cbor_is_canonical(doc):
    assert norvane.json_to_cbor(json.dumps(doc)) == cbor2.dumps(doc, canonical=True)


@pytest.mark.parametrize("f, hexed", [(65536.0, "fa47800000"), (98304.0, "fa47c00000"), (-65536.0, "fac7800000")])
def test_floats_past_half_range_round_trip(f, hexed):
    assert norvane.cbor_to_json(h(hexed)) == repr(f)
    assert norvane.cbor_to_json(norvane.json_to_cbor(repr(f))) == repr(f)
    text = '{"t":"snapshot","id":1,"type":"T","rev":2,"value":{"Float":%r}}' % f
    data = norvane.encode_message(text, "cbor")
    assert hexed in data.hex()
    assert norvane.decode_message(data, "cbor") == norvane.normalize_message(text)
    value = '{"Float":%r}' % f
    if _has_codec():
        assert norvane.decode_as(norvane.encode_as(value, CBOR), CBOR) == value


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_float_width_is_shortest_exact(f):
    data = norvane.json_to_cbor(json.dumps(f))
    assert data == cbor2.dumps(f, canonical=True)
    back = cbor2.loads(data)
    assert struct.pack(">d", back) == struct.pack(">d", f)


@given(st.lists(st.tuples(st.text("ab", max_size=2) | st.text("a\x00", min_size=7, max_size=10), documents),
                max_size=30), st.booleans())
def test_members_sorted_last_key_wins(pairs, indefinite):
    def key(i, k):
        # Keys after the first may come in chunks.
        return b"\x7f" + cbor2.dumps(k) + b"\xff" if indefinite and i else cbor2.dumps(k)

    body = b"".join(key(i, k) + cbor2.dumps(v) for i, (k, v) in enumerate(pairs))
    if indefinite or len(pairs) >= 24:
        data = b"\xbf" + body + b"\xff"
    else:
        data = bytes([0xA0 + len(pairs)]) + body
    assert norvane.cbor_to_json(data) == canonical_json(dict(pairs))


@given(documents)
def test_every_truncation_ends_early(doc):
    data = norvane.json_to_cbor(json.dumps(doc))
    for cut in range(len(data)):
        assert cbor_error(data[:cut]) == EOF_ERROR


@given(st.binary(max_size=64))
def test_random_bytes_never_crash(data):
    try:
        norvane.cbor_to_json(data)
    except ValueError as e:
        assert re.match(r"^(Io\(|Syntax\(\d+\)$|Semantic\(|RecursionLimitExceeded$)", str(e))


# ---- the CBOR codec -------------------------------------------------------------------

def _has_codec():
    try:
        norvane.encode_as('"Null"', CBOR)
        return True
    except ValueError:
        return False


needs_codec = pytest.mark.skipif(not _has_codec(), reason="the CBOR codec is not registered yet")


@needs_codec
@pytest.mark.parametrize(
    "value, expected",
    [
        ('"Null"', "644e756c6c"),
        ('{"Int":5}', "a163496e7405"),
        ('{"Int":-1}', "a163496e7420"),
        ('{"Bool":false}', "a164426f6f6cf4"),
        ('{"Float":1.5}', "a165466c6f6174f93e00"),
        ('{"Float":100000.0}', "a165466c6f6174fa47c35000"),
        ('{"Float":65536.0}', "a165466c6f6174fa47800000"),
        ('{"Float":98304.0}', "a165466c6f6174fa47c00000"),
        ('{"Float":-65536.0}', "a165466c6f6174fac7800000"),
        ('{"Float":0.1}', "a165466c6f6174fb3fb999999999999a"),
        ('{"Float":-0.0}', "a165466c6f6174f98000"),
        ('{"Str":"a"}', "a16353747261" + "61"),
        ('{"List":["Null"]}', "a1644c69737481644e756c6c"),
        ('{"Map":{"b":"Null","a":{"Int":1}}}', "a1634d6170a26161a163496e740161" + "62644e756c6c"),
        ('{"Submodel":18446744073709551615}', "a1685375626d6f64656c1bffffffffffffffff"),
    ],
)
def test_encode_value(value, expected):
    assert norvane.encode_as(value, CBOR).hex() == expected


def codec_error(data):
    with pytest.raises(ValueError) as info:
        norvane.decode_as(h(data.replace(" ", "")), CBOR)
    text = str(info.value)
    assert text.startswith("codec error: ")
    return text[len("codec error: "):]


@needs_codec
@pytest.mark.parametrize(
    "data, expected",
    [
        ("644e756c6c", '"Null"'),
        ("c1644e756c6c", '"Null"'),
        ("a1644e756c6cf6", '"Null"'),
        ("a1644e756c6cf7", '"Null"'),
        ("c6a163496e7405", '{"Int":5}'),
        ("a163496e7405ffff", '{"Int":5}'),
        ("a1 63 49 6e 74 c2 41 05", '{"Int":5}'),
        ("a1 43 49 6e 74 05", '{"Int":5}'),  # a byte-string name
        ("a1 65 46 6c 6f 61 74 fa 3f c0 00 00", '{"Float":1.5}'),
        ("a1 65 46 6c 6f 61 74 f9 7e 00", '{"Float":null}'),
        ("a1 63 53 74 72 7f 61 61 61 62 ff", '{"Str":"ab"}'),
        ("a1 64 4c 69 73 74 40", '{"List":[]}'),
        ("a1 64 4c 69 73 74 9f 64 4e 75 6c 6c ff", '{"List":["Null"]}'),
        ("a1 63 4d 61 70 bf 61 62 64 4e 75 6c 6c 61 62 a1 63 49 6e 74 01 61 61 64 4e 75 6c 6c ff",
         '{"Map":{"a":"Null","b":{"Int":1}}}'),
        ("a1 68 53 75 62 6d 6f 64 65 6c c2 41 07", '{"Submodel":7}'),
    ],
)
def test_decode_value(data, expected):
    assert norvane.decode_as(h(data.replace(" ", "")), CBOR) == expected


NAMES = "one of `Null`, `Bool`, `Int`, `Float`, `Str`, `List`, `Map`, `Submodel`"


@needs_codec
@pytest.mark.parametrize(
    "data, expected",
    [
        ("", EOF_ERROR),
        ("a163496e74", EOF_ERROR),
        ("05", semantic("invalid type: integer `5`, expected enum")),
        ("24", semantic("invalid type: integer `-5`, expected enum")),
        ("f93e00", semantic("invalid type: floating point `1.5`, expected enum")),
        ("f5", semantic("invalid type: boolean `true`, expected enum")),
        ("f6", semantic("invalid type: null, expected enum")),
        ("f7", semantic("invalid type: undefined, expected enum")),
        ("f0", semantic("invalid type: simple, expected enum")),
        ("4100", semantic("invalid type: bytes, expected enum")),
        ("80", semantic("invalid type: sequence, expected enum")),
        ("a0", semantic("invalid type: map, expected enum")),
        ("bf644e756c6cf6ff", semantic("invalid type: map, expected enum")),
        ("a2 63 49 6e 74 05 63 49 6e 74 05", semantic("invalid type: map, expected enum")),
        ("ff", semantic("invalid type: break, expected enum")),
        ("a1 05 05", semantic("invalid type: integer `5`, expected str or bytes")),
        ("a1 7f 63 49 6e 74 ff 05", semantic("invalid type: string, expected str or bytes")),
        ("a1 63 49 6e 75 05", semantic(f"unknown variant `Inu`, expected {NAMES}")),
        ("a1 43 ff 6e 74 05", semantic(f"unknown variant `\ufffdnt`, expected {NAMES}")),
        ("a1 62 ff 6e 05", "Syntax(1)"),
        ("a1 62 22 0a 05", semantic(f'unknown variant `"\n`, expected {NAMES}')),
        ("63 49 6e 74 05", semantic("invalid type: unit variant, expected newtype variant")),
        ("a1 64 4e 75 6c 6c 05", semantic("invalid type: integer `5`, expected unit")),
        ("a1 64 42 6f 6f 6c 01", semantic("expected bool", 6)),
        ("a1 64 42 6f 6f 6c c1 01", semantic("expected bool", 6)),
        ("a1 63 49 6e 74 f9 3c 00", semantic("invalid type: floating point `1.0`, expected integer")),
        ("a1 63 49 6e 74 fb 43 41 c3 79 37 e0 80 00", semantic("invalid type: floating point `10000000000000000.0`, expected integer")),
        ("a1 63 49 6e 74 f9 7e 00", semantic("invalid type: floating point `NaN`, expected integer")),
        ("a1 65 46 6c 6f 61 74 3b ff ff ff ff ff ff ff ff",
         semantic("invalid type: integer `-18446744073709551616`, expected float")),
        ("a1 63 49 6e 74 3b 80 00 00 00 00 00 00 00", semantic("integer too large")),
        ("a1 63 49 6e 74 1b 80 00 00 00 00 00 00 00", semantic("integer too large")),
        ("a1 63 49 6e 74 c2 51 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", semantic("bigint too large")),
        ("a1 63 49 6e 74 c2 05", semantic("invalid type: integer `5`, expected bytes")),
        ("a1 65 46 6c 6f 61 74 01", semantic("invalid type: integer `1`, expected float")),
        ("a1 63 53 74 72 41 61", semantic("invalid type: bytes, expected string")),
        ("a1 64 4c 69 73 74 41 07", semantic("invalid type: integer `7`, expected enum Value")),
        ("a1 64 4c 69 73 74 05", semantic("invalid type: integer `5`, expected array")),
        ("a1 63 4d 61 70 80", semantic("invalid type: sequence, expected map")),
        ("a1 63 4d 61 70 a1 01 f6", semantic("invalid type: integer `1`, expected string")),
        ("a1 68 53 75 62 6d 6f 64 65 6c 20", semantic("unexpected negative integer")),
        ("a1 68 53 75 62 6d 6f 64 65 6c c2 49 01 00 00 00 00 00 00 00 00", semantic("integer too large")),
        ("a1 68 53 75 62 6d 6f 64 65 6c f6", semantic("invalid type: null, expected integer")),
    ],
)
def test_decode_value_errors(data, expected):
    assert codec_error(data) == expected


@needs_codec
def test_value_nesting_budget():
    def lists(n, inner):
        return h("a1644c69737481") * (n - 1) + h("a1644c697374") + inner

    inner_int = h("81a163496e7401")
    assert norvane.decode_as(lists(127, inner_int), CBOR).count("List") == 127
    with pytest.raises(ValueError, match=r"^codec error: RecursionLimitExceeded$"):
        norvane.decode_as(lists(128, inner_int), CBOR)
    assert norvane.decode_as(lists(128, h("80")), CBOR).count("List") == 128
    with pytest.raises(ValueError, match=r"^codec error: RecursionLimitExceeded$"):
        norvane.decode_as(lists(129, h("80")), CBOR)


values = st.recursive(
    st.just('"Null"')
    | st.booleans().map(lambda b: f'{{"Bool":{json.dumps(b)}}}')
    | st.integers(min_value=-(2**63), max_value=2**63 - 1).map(lambda i: f'{{"Int":{i}}}')
    | st.floats(allow_nan=False, allow_infinity=False).map(lambda f: f'{{"Float":{json_double(f)}}}')
    | st.text(max_size=8).map(lambda s: f'{{"Str":{json.dumps(s)}}}')
    | st.integers(min_value=0, max_value=2**64 - 1).map(lambda i: f'{{"Submodel":{i}}}'),
    lambda inner: st.lists(inner, max_size=4).map(lambda xs: '{"List":[' + ",".join(xs) + "]}")
    | st.dictionaries(keys, inner, max_size=4).map(
        lambda d: '{"Map":{' + ",".join(json.dumps(k) + ":" + v for k, v in sorted(d.items(), key=lambda kv: kv[0].encode())) + "}}"
    ),
    max_leaves=20,
)


@needs_codec
@given(values)
def test_value_round_trip(text):
    data = norvane.encode_as(text, CBOR)
    assert norvane.decode_as(data, CBOR) == norvane.decode(norvane.encode(text))
