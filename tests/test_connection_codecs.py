import json
import random
import threading

import cbor2
import msgpack
import pytest
from hypothesis import given, strategies as st

import norvane
from norvane import decode_message, encode_message, normalize_message
from test_messages import messages

CODECS = ["json", "msgpack", "cbor"]
ACK = '{"t":"ack","id":1,"rev":2,"proposal":"p1"}'
EOF_TEXT = {
    "json": "EOF while parsing a value at line 1 column 0",
    "msgpack": "IO error while reading marker: failed to fill whole buffer",
    "cbor": 'Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })',
}


def decode_error(data, codec):
    with pytest.raises(ValueError) as e:
        decode_message(data, codec)
    assert len(e.value.args) == 1
    return e.value.args[0]


def debug_str(text):
    """The quoted debug form of a text (control and unprintable characters escaped)."""
    special = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
    return '"' + "".join(special.get(c) or (c if c.isprintable() else "\\u{%x}" % ord(c)) for c in text) + '"'


def semantic(text):
    return "Semantic(None, " + debug_str(text) + ")"


def typed_error(text, codec):
    """How a message that does not fit its kind fails in each codec."""
    return semantic(text) if codec == "cbor" else text


def deep_decode(data, codec):
    """decode_message on a thread with a large stack, as (ok, text): the readers recurse
    once per nesting level, and sanitizer builds give each level a much larger frame."""
    result = []

    def run():
        try:
            result.append((True, decode_message(data, codec)))
        except ValueError as e:
            result.append((False, e.args[0]))

    old = threading.stack_size(256 * 1024 * 1024)
    try:
        t = threading.Thread(target=run)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    return result[0]


def other_bytes(data, codec):
    """The oracle's reading of MessagePack or CBOR bytes."""
    return msgpack.unpackb(data, strict_map_key=False) if codec == "msgpack" else cbor2.loads(data)


# ---- names ------------------------------------------------------------------------------

@pytest.mark.parametrize("name, same_as", [
    ("", "json"), ("json", "json"), ("application/json", "json"),
    ("msgpack", "msgpack"), ("x-msgpack", "msgpack"), ("application/msgpack", "msgpack"),
    ("application/x-msgpack", "msgpack"), ("cbor", "cbor"), ("application/cbor", "cbor"),
])
def test_codec_names(name, same_as):
    data = encode_message(ACK, name)
    assert data == encode_message(ACK, same_as)
    assert decode_message(data, name) == ACK


@pytest.mark.parametrize("name", ["JSON", " json", "json ", "application/JSON", "application/x-cbor", "MsgPack",
                                  "x-cbor", "application/x-json", "cbor\0", "\u00e9"])
def test_unknown_codec(name):
    with pytest.raises(ValueError) as e:
        encode_message(ACK, name)
    assert e.value.args == ("unknown codec: " + name,)
    # reported before the bytes are looked at
    with pytest.raises(ValueError) as e:
        decode_message(b"", name)
    assert e.value.args == ("unknown codec: " + name,)
    # a text that does not read is reported before the codec name
    with pytest.raises(ValueError) as e:
        encode_message("{", name)
    assert e.value.args == ("EOF while parsing an object at line 1 column 1",)


# ---- exact bytes --------------------------------------------------------------------------

def test_ack_bytes():
    assert encode_message(ACK, "json") == ACK.encode()
    assert encode_message(ACK, "msgpack") == bytes.fromhex(
        "84a2696401a870726f706f73616ca27031a372657602a174a361636b")
    assert encode_message(ACK, "cbor") == bytes.fromhex(
        "a4626964016870726f706f73616c62703163726576026174636163 6b".replace(" ", ""))


def test_snapshot_float_bytes():
    text = '{"t":"snapshot","id":1,"type":"T","rev":2,"value":{"Float":1.5}}'
    mp = encode_message(text, "msgpack")
    cb = encode_message(text, "cbor")
    assert mp == bytes.fromhex("85a2696401a372657602a174a8736e617073686f74a474797065a154a576616c7565"
                               "81a5466c6f6174cb3ff8000000000000")
    assert cb == bytes.fromhex("a5626964016372657602617468736e617073686f7464747970656154"
                               "6576616c7565a165466c6f6174f93e00")
    assert list(msgpack.unpackb(mp)) == ["id", "rev", "t", "type", "value"]
    assert list(cbor2.loads(cb)) == ["id", "rev", "t", "type", "value"]


@pytest.mark.parametrize("text, mp, cb", [
    ("42", "2a", "182a"), ('"x"', "a178", "6178"), ("[]", "90", "80"), ("{}", "80", "a0"), ("null", "c0", "f6"),
    ("-1", "ff", "20"), ("1.5", "cb3ff8000000000000", "f93e00"), ("100000.0", "cb40f86a0000000000", "fa47c35000"),
])
def test_unknown_messages(text, mp, cb):
    for codec, hexed in (("msgpack", mp), ("cbor", cb)):
        data = encode_message(text, codec)
        assert data == bytes.fromhex(hexed)
        assert decode_message(data, codec) == text


def test_patch_document_members():
    text = ('{"t":"patch","id":1,"patch":{"rev":3,"ops":[{"Insert":{"path":[{"Key":"a"},{"Index":0}],"index":2,'
            '"value":{"Int":-5}}},{"Move":{"path":[],"from":1,"to":0}},{"Reorder":{"path":[],"order":[1,0]}},'
            '{"RemoveAt":{"path":[],"index":4}},{"Remove":{"path":[{"Key":"b"}]}}]},"proposal":"x"}')
    for codec in ("msgpack", "cbor"):
        doc = other_bytes(encode_message(text, codec), codec)
        assert list(doc) == ["id", "patch", "proposal", "t"]
        assert list(doc["patch"]) == ["ops", "rev"]
        assert [list(list(op.values())[0]) for op in doc["patch"]["ops"]] == [
            ["index", "path", "value"], ["from", "path", "to"], ["order", "path"], ["index", "path"], ["path"]]
    # a patch given as a map with its keys in any order comes back "rev" first
    data = msgpack.packb({"t": "patch", "id": 1, "patch": {"ops": [], "rev": 9}})
    assert decode_message(data, "msgpack") == '{"t":"patch","id":1,"patch":{"rev":9,"ops":[]}}'
    data = cbor2.dumps({"patch": {"ops": [], "rev": 9}, "id": 1, "t": "patch"})
    assert decode_message(data, "cbor") == '{"t":"patch","id":1,"patch":{"rev":9,"ops":[]}}'


# ---- decoding -------------------------------------------------------------------------------

@pytest.mark.parametrize("codec", CODECS)
def test_empty_data(codec):
    assert decode_error(b"", codec) == EOF_TEXT[codec]


@pytest.mark.parametrize("codec", CODECS)
def test_missing_field(codec):
    text = '{"t":"ack","id":1,"proposal":"p"}'
    data = text.encode() if codec == "json" else (
        msgpack.packb(json.loads(text)) if codec == "msgpack" else cbor2.dumps(json.loads(text)))
    assert decode_error(data, codec) == typed_error("missing field `rev`", codec)


def test_cbor_semantic_quotes_the_text():
    data = cbor2.dumps({"t": "ack", "id": "a\"b\\"})
    assert decode_error(data, "cbor") == 'Semantic(None, "invalid type: string \\"a\\\\\\"b\\\\\\\\\\", expected u64")'


@pytest.mark.parametrize("codec", ["msgpack", "cbor"])
def test_trailing_bytes_are_ignored(codec):
    data = encode_message(ACK, codec)
    for tail in (b"\x00", b"\xff\xff", b"garbage", data):
        assert decode_message(data + tail, codec) == ACK


def test_json_whitespace_and_trailing():
    assert decode_message(b" \t\r\n" + ACK.encode() + b"\n \t", "json") == ACK
    assert decode_error(ACK.encode() + b" x", "json") == f"trailing characters at line 1 column {len(ACK) + 2}"
    assert decode_error(b'{"t":"ack"} x', "json") == "missing field `id`"
    assert decode_error(b'["\xff"]', "json") == "invalid unicode code point at line 1 column 4"
    assert decode_error(b"x", "json") == "expected value at line 1 column 1"
    assert decode_error(b'"\xed\xa0\x80"', "json") == "invalid unicode code point at line 1 column 5"


def test_nan_and_infinity_become_null():
    for data, codec in ((b"\xca\x7f\xc0\x00\x00", "msgpack"), (b"\xf9\x7c\x00", "cbor"),
                        (b"\xfb\x7f\xf8\x00\x00\x00\x00\x00\x00", "cbor")):
        assert decode_message(data, codec) == "null"
    # float 32 widens exactly
    assert decode_message(bytes.fromhex("ca3fc00000"), "msgpack") == "1.5"
    assert decode_message(bytes.fromhex("fa3fc00000"), "cbor") == "1.5"
    snap = {"t": "snapshot", "id": 1, "type": "", "rev": 1, "value": {"Float": float("nan")}}
    assert decode_error(msgpack.packb(snap), "msgpack") == "invalid type: null, expected f64"
    assert decode_error(cbor2.dumps(snap), "cbor") == semantic("invalid type: null, expected f64")
    opaque = {"t": "crdt", "id": 1, "rev": 1, "ops": [float("inf")]}
    assert decode_message(msgpack.packb(opaque), "msgpack") == '{"t":"crdt","id":1,"rev":1,"ops":[null]}'


@pytest.mark.parametrize("codec, depth, ok", [
    ("msgpack", 1023, True), ("msgpack", 1024, False), ("cbor", 256, True), ("cbor", 257, False)])
def test_depth_limits(codec, depth, ok):
    data = (b"\x91" if codec == "msgpack" else b"\x81") * (depth - 1) + (b"\x90" if codec == "msgpack" else b"\x80")
    if ok:
        assert deep_decode(data, codec) == (True, "[" * depth + "]" * depth)
    else:
        assert deep_decode(data, codec) == (False, "depth limit exceeded" if codec == "msgpack"
                                            else "RecursionLimitExceeded")


def nested_batch_bytes(levels, codec):
    """A batch nested `levels` deep, written by hand (the oracles limit their own nesting)."""
    if codec == "msgpack":
        open_, empty, close = bytes.fromhex("82a46d73677391"), bytes.fromhex("82a46d73677390"), bytes.fromhex(
            "a174a56261746368")
    else:
        open_, empty, close = bytes.fromhex("a2646d73677381"), bytes.fromhex("a2646d73677380"), bytes.fromhex(
            "61746562617463 68".replace(" ", ""))
    return open_ * (levels - 1) + empty + close * levels


@pytest.mark.parametrize("codec, limit", [("msgpack", 511), ("cbor", 128)])
def test_batch_depth_limits(codec, limit):
    # Each batch level is an object and an array.
    assert deep_decode(nested_batch_bytes(limit, codec), codec) == (
        True, '{"t":"batch","msgs":[' * limit + "]}" * limit)
    assert deep_decode(nested_batch_bytes(limit + 1, codec), codec) == (
        False, "depth limit exceeded" if codec == "msgpack" else "RecursionLimitExceeded")


@pytest.mark.parametrize("codec, hexed", [
    # bin, non-string keys, ext, a bin inside a message, invalid UTF-8 in values and keys
    ("msgpack", "c400"), ("msgpack", "810102"), ("msgpack", "81c0c0"), ("msgpack", "d40100"),
    ("msgpack", "82a174a361636ba26964c403616263"), ("msgpack", "a1ff"), ("msgpack", "81a1ff01"),
    # byte string, other tags, non-text keys, other simple values, invalid UTF-8, a cut bignum
    ("cbor", "40"), ("cbor", "c01a00000000"), ("cbor", "a10102"), ("cbor", "a1f6f6"), ("cbor", "f0"),
    ("cbor", "6180"), ("cbor", "a161ff01"), ("cbor", "a261610161ff01"), ("cbor", "c241"),
])
def test_refused_items_read_like_the_conversions(codec, hexed):
    data = bytes.fromhex(hexed)
    ok, out = conversion(data, codec)
    assert not ok
    assert decode_error(data, codec) == out


def test_refused_item_texts():
    assert decode_error(bytes.fromhex("c400"), "msgpack") == "invalid type: byte array, expected any valid JSON value"
    assert decode_error(bytes.fromhex("d40100"), "msgpack") == "invalid type: newtype struct, expected any valid JSON value"
    assert decode_error(bytes.fromhex("40"), "cbor") == semantic("invalid type: byte array, expected any valid JSON value")
    assert decode_error(bytes.fromhex("c000"), "cbor") == semantic("invalid type: enum, expected any valid JSON value")


def test_cbor_simple_values_are_refused_as_any_other_item():
    # Simple values other than false, true, null and undefined, in the one- and two-byte forms,
    # at the top and inside a message's member.
    expected = semantic("invalid type: simple, expected any valid JSON value")
    for hexed in ("f0", "f3", "f820", "f8ff"):
        assert decode_error(bytes.fromhex(hexed), "cbor") == expected
    ack = cbor2.loads(encode_message(ACK, "cbor"))
    for simple in (0, 19, 32, 255):
        for key in ("id", "rev", "proposal", "extra"):
            data = cbor2.dumps({**ack, key: cbor2.CBORSimpleValue(simple)})
            assert decode_error(data, "cbor") == expected
    # Deep inside a patch's model value and inside CRDT operations: the same text.
    simple = cbor2.CBORSimpleValue(0)
    for m in ({"t": "patch", "id": 1, "patch": {"rev": 2, "ops": [
                  {"Set": {"path": [{"Key": "a"}], "value": {"Bool": simple}}}]}},
              {"t": "crdt", "id": 1, "rev": 2, "ops": [{"op": simple}]}):
        assert decode_error(cbor2.dumps(m), "cbor") == expected


FLOAT_IN_U64 = {
    "ack": ({"t": "ack", "id": 1, "rev": 2, "proposal": "p"}, ["id"], ["rev"]),
    "patch": ({"t": "patch", "id": 1, "patch": {"rev": 2, "ops": []}}, ["id"], ["patch", "rev"]),
    "snapshot": ({"t": "snapshot", "id": 1, "type": "T", "rev": 2, "value": "Null"}, ["id"], ["rev"]),
}


@pytest.mark.parametrize("kind", sorted(FLOAT_IN_U64))
@pytest.mark.parametrize("field", [1, 2])
@pytest.mark.parametrize("literal, shown", [("1.5", "1.5"), ("1e3", "1000.0"), ("1.0", "1.0")])
def test_floats_in_integer_fields_are_refused(kind, field, literal, shown):
    message, *paths = FLOAT_IN_U64[kind]
    path = paths[field - 1]
    doc = json.loads(json.dumps(message))
    at = doc
    for name in path[:-1]:
        at = at[name]
    at[path[-1]] = "@"
    text = json.dumps(doc).replace('"@"', literal)
    expected = f"invalid type: floating point `{shown}`, expected u64"
    with pytest.raises(ValueError) as e:
        normalize_message(text)
    assert e.value.args == (expected,)
    assert decode_error(text.encode(), "json") == expected
    at[path[-1]] = float(literal)
    for data in (msgpack.packb(doc), msgpack.packb(doc, use_single_float=True)):
        assert decode_error(data, "msgpack") == expected
    for data in (cbor2.dumps(doc), cbor2.dumps(doc, canonical=True)):
        assert decode_error(data, "cbor") == semantic(expected)


@pytest.mark.parametrize("codec", ["msgpack", "cbor"])
def test_siblings_do_not_add_up_to_the_depth_limit(codec):
    # Each empty list leaves its level before the next opens: 1,100 of them side by side are
    # far from any limit, as values and as documents.
    lists = {"List": [{"List": []}] * 1100}
    maps = {"Map": {f"k{i:04d}": {"List": []} for i in range(1100)}}
    for value in (lists, maps):
        text = json.dumps({"t": "snapshot", "id": 1, "type": "T", "rev": 2, "value": value})
        data = msgpack.packb(json.loads(text)) if codec == "msgpack" else cbor2.dumps(json.loads(text))
        assert decode_message(data, codec) == normalize_message(text)
        aware = json.dumps({"t": "awareness", "id": 1, "state": {"v": [[]] * 1100}})
        data = msgpack.packb(json.loads(aware)) if codec == "msgpack" else cbor2.dumps(json.loads(aware))
        assert decode_message(data, codec) == normalize_message(aware)


@pytest.mark.parametrize("codec", ["msgpack", "cbor"])
@pytest.mark.parametrize("null", [None, float("nan"), float("inf"), "undefined"])
def test_optional_documents_read_as_null_are_absent(codec, null):
    # Whatever the document reads as null (nil, a float that is not finite, CBOR's undefined)
    # leaves an optional member absent, as the message read from that document has it.
    if null == "undefined":
        if codec == "msgpack":
            return
        null = cbor2.undefined
    pack = msgpack.packb if codec == "msgpack" else cbor2.dumps
    for m in ({"t": "crdt", "id": 1, "rev": 2, "ops": [], "effect": null},
              {"t": "reject", "id": 1, "rev": 2, "error": "x", "crdt_ops": null}):
        data = pack(m)
        expected = normalize_message(conversion(data, codec)[1])
        assert decode_message(data, codec) == expected
        assert '"effect"' not in expected and '"crdt_ops"' not in expected


def test_cbor_bignums_and_indefinite_lengths():
    assert decode_message(bytes.fromhex("c248ffffffffffffffff"), "cbor") == "18446744073709551615"
    assert decode_message(bytes.fromhex("c34800000000000000ff"), "cbor") == "-256"
    for big in ("c249010000000000000000", "c3488000000000000000", "3b8000000000000000"):
        data = bytes.fromhex(big)
        assert decode_error(data, "cbor") == conversion(data, "cbor")[1]
    assert decode_message(bytes.fromhex("3b7fffffffffffffff"), "cbor") == "-9223372036854775808"
    indefinite = bytes.fromhex("bf6174636163 6b626964 01 63726576 02 6870726f706f73616c 7f 6170 6131 ff ff"
                               .replace(" ", ""))
    assert decode_message(indefinite, "cbor") == '{"t":"ack","id":1,"rev":2,"proposal":"p1"}'
    assert decode_message(bytes.fromhex("9f0102ff"), "cbor") == "[1,2]"
    assert decode_message(bytes.fromhex("f7"), "cbor") == "null"


@pytest.mark.parametrize("length", [4096, 4097, 70_000])
def test_cbor_keys_of_any_length(length):
    long_key = "k" * length
    for doc in [{long_key: 1}, {long_key: "v" * 5000, "~": {long_key: []}}]:
        text = json.dumps(doc, separators=(",", ":"), sort_keys=True)
        assert decode_message(encode_message(text, "cbor"), "cbor") == text
        assert decode_message(cbor2.dumps(doc), "cbor") == text
    # a first key given in indefinite-length chunks is read like any other
    assert decode_message(bytes.fromhex("a17f6161ff01"), "cbor") == '{"a":1}'
    assert decode_message(bytes.fromhex("a26161017f6162ff02"), "cbor") == '{"a":1,"b":2}'
    assert decode_message(bytes.fromhex("a37f6162ff01616102 7f6162ff03".replace(" ", "")), "cbor") == '{"a":2,"b":3}'


def test_argument_types():
    class B(bytes):
        pass

    assert decode_message(B(ACK.encode()), "json") == ACK
    for bad in (bytearray(ACK.encode()), memoryview(ACK.encode()), ACK):
        with pytest.raises(TypeError) as e:
            decode_message(bad, "json")
        assert e.value.__notes__ == ["while processing 'data'"]
    with pytest.raises(TypeError) as e:
        encode_message(ACK, None)
    assert e.value.__notes__ == ["while processing 'codec'"]
    assert encode_message(codec="cbor", json=ACK) == encode_message(ACK, "cbor")
    assert decode_message(codec="", data=ACK.encode()) == ACK
    assert encode_message.__text_signature__ == "(json, codec)"
    assert encode_message.__doc__ == "Encode one JSON live protocol message with a built-in connection codec."
    assert decode_message.__text_signature__ == "(data, codec)"
    assert decode_message.__doc__ == (
        "Decode one built-in connection-codec payload as a typed live protocol message JSON string.")


# ---- properties -------------------------------------------------------------------------------

@given(messages, st.sampled_from(CODECS))
def test_round_trip(m, codec):
    text = json.dumps(m)
    norm = normalize_message(text)
    data = encode_message(text, codec)
    assert decode_message(data, codec) == norm
    if codec == "json":
        assert data == norm.encode()
    else:
        # the oracle reads the same document, keys sorted, integers as integers
        doc = other_bytes(data, codec)
        assert doc == json.loads(norm)
        assert_keys_sorted(doc)


def assert_keys_sorted(doc):
    if isinstance(doc, dict):
        keys = [k.encode() for k in doc]
        assert keys == sorted(keys)
        for v in doc.values():
            assert_keys_sorted(v)
    elif isinstance(doc, list):
        for v in doc:
            assert_keys_sorted(v)


@given(messages, st.sampled_from(["msgpack", "cbor"]))
def test_oracle_bytes_decode(m, codec):
    # bytes written by the other libraries read like the JSON text
    data = msgpack.packb(m) if codec == "msgpack" else cbor2.dumps(m)
    assert decode_message(data, codec) == normalize_message(json.dumps(m))


# ---- bad input ------------------------------------------------------------------------------------

def conversion(data, codec):
    f = norvane.msgpack_to_json if codec == "msgpack" else norvane.cbor_to_json
    try:
        return True, f(data)
    except ValueError as e:
        return False, e.args[0]


def check_against_conversion(data, codec):
    """Bytes decode as the document conversion reads them, then as message text."""
    ok, out = conversion(data, codec)
    try:
        got = (True, decode_message(data, codec))
    except ValueError as e:
        got = (False, e.args[0])
    if not ok:
        assert got == (False, out)
        return
    try:
        expected = (True, normalize_message(out))
    except ValueError as e:
        expected = (False, typed_error(e.args[0], codec))
    assert got == expected


@given(st.binary(max_size=64), st.sampled_from(CODECS))
def test_random_bytes(data, codec):
    if codec == "json":
        try:
            decode_message(data, codec)
        except ValueError:
            pass
    else:
        check_against_conversion(data, codec)


@pytest.mark.parametrize("codec", CODECS)
def test_truncated(codec):
    text = ('{"t":"batch","msgs":[{"t":"crdt_snapshot","id":1,"type":"T","rev":2,"value":{"List":[{"Float":0.1},'
            '{"Str":"\u00e9t\u00e9"}]},"spec":{"k":[1,-2,3.5]},"state":null},{"t":"x"},[true,false,null]]}')
    data = encode_message(text, codec)
    for n in range(len(data)):
        with pytest.raises(ValueError):
            decode_message(data[:n], codec)
    rng = random.Random(5)
    for _ in range(300):
        b = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            b[rng.randrange(len(b))] = rng.randrange(256)
        if codec == "json":
            try:
                decode_message(bytes(b), codec)
            except ValueError:
                pass
        else:
            check_against_conversion(bytes(b), codec)


HUGE = {
    "msgpack": ["dbffffffff", "ddffffffff", "dfffffffff", "c6ffffffff", "daffff", "dcffff", "deffff",
                "9fdd7fffffff"],
    "cbor": ["7bffffffffffffffff", "9bffffffffffffffff", "bbffffffffffffffff", "5bffffffffffffffff",
             "7a7fffffff", "9a7fffffff", "ba7fffffff", "7f7bffffffffffffffffff", "c25bffffffffffffffff"],
}


@pytest.mark.parametrize("codec", ["msgpack", "cbor"])
def test_huge_declared_lengths(codec):
    for h in HUGE[codec]:
        data = bytes.fromhex(h)
        ok, out = conversion(data, codec)
        assert not ok
        assert decode_error(data, codec) == out


@pytest.mark.parametrize("codec", CODECS)
def test_deep_nesting(codec):
    n = 100_000
    if codec == "json":
        for prefix in (b"", b'{"t":"batch","msgs":', b'{"t":"crdt","id":1,"rev":1,"ops":'):
            assert decode_error(prefix + b"[" * n, codec).startswith("recursion limit exceeded at line 1 column ")
        assert decode_error(b'{"t":"batch","msgs":[' * n, codec).startswith("recursion limit exceeded")
        return
    limit = "depth limit exceeded" if codec == "msgpack" else "RecursionLimitExceeded"
    arr = b"\x91" if codec == "msgpack" else b"\x81"
    assert deep_decode(arr * n, codec) == (False, limit)
    pack = msgpack.packb if codec == "msgpack" else cbor2.dumps
    head = pack({"t": "batch", "msgs": [0]})[:-1]  # the batch and its open array, before the element
    assert deep_decode(head * n, codec) == (False, limit)
