"""Arbitrary arguments to every module function and Store method: only the
documented exception types may come out, and a failed Store call leaves every
model as it was."""

import json

import cbor2
import norvane
import pytest
from hypothesis import given
from hypothesis import strategies as st

ALLOWED = (ValueError, TypeError, OverflowError, UnicodeEncodeError)

FUNCTIONS = sorted(
    name for name in dir(norvane) if not name.startswith("_") and name != "Store" and callable(getattr(norvane, name))
)

json_docs = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats() | st.text(max_size=5),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=3), inner, max_size=4),
    max_leaves=12,
)
models = st.recursive(
    st.just("Null")
    | st.builds(lambda b: {"Bool": b}, st.booleans())
    | st.builds(lambda i: {"Int": i}, st.integers(-(2**64), 2**64))
    | st.builds(lambda f: {"Float": f}, st.floats(allow_nan=False, allow_infinity=False))
    | st.builds(lambda s: {"Str": s}, st.text(max_size=4)),
    lambda inner: st.builds(lambda x: {"List": x}, st.lists(inner, max_size=3))
    | st.builds(lambda m: {"Map": m}, st.dictionaries(st.text(max_size=3), inner, max_size=3)),
    max_leaves=8,
)
segments = st.one_of(st.builds(lambda k: {"Key": k}, st.text(max_size=3)), st.builds(lambda i: {"Index": i}, st.integers(-1, 4)))
paths = st.lists(segments, max_size=3)
ops = st.one_of(
    st.builds(lambda p, v: {"Set": {"path": p, "value": v}}, paths, models),
    st.builds(lambda p, i, v: {"Insert": {"path": p, "index": i, "value": v}}, paths, st.integers(-1, 4), models),
    st.builds(lambda p: {"Remove": {"path": p}}, paths),
)
patches = st.builds(lambda r, o: {"rev": r, "ops": o}, st.integers(-1, 2**64), st.lists(ops, max_size=3))
messages = st.builds(
    lambda t, extra: {"t": t, **extra},
    st.sampled_from(["snapshot", "crdt_snapshot", "patch", "crdt", "ack", "reject", "awareness", "batch", "x"]),
    st.dictionaries(st.sampled_from(["id", "rev", "type", "value", "patch", "ops", "proposal", "error", "msgs",
                                     "peer", "state", "spec", "effect", "crdt_ops"]), json_docs, max_size=5),
)
jsonish = st.one_of(json_docs, models, patches, messages).map(json.dumps)
texts = st.one_of(st.text(), jsonish, st.sampled_from(["json", "msgpack", "cbor", "application/msgpack",
                                                       "application/x-msgpack", "application/cbor", ""]))
args = st.one_of(texts, st.binary(), jsonish.map(str.encode), st.integers(), st.integers(-(2**70), 2**70))


def call(f, *a):
    try:
        f(*a)
    except ALLOWED:
        return False
    return True


@pytest.mark.parametrize("name", FUNCTIONS)
@given(a=st.lists(args, max_size=3))
def test_module_functions_raise_only_documented_errors(name, a):
    call(getattr(norvane, name), *a)


def snapshots(store):
    return [store.snapshot(i) for i in range(0, 5)]


@given(
    hosted=st.lists(models.map(json.dumps), min_size=1, max_size=3),
    calls=st.lists(st.tuples(st.sampled_from(["host", "snapshot", "mutate", "apply"]), st.lists(args, max_size=3)),
                   max_size=6),
)
def test_store_methods_raise_only_documented_errors_and_fail_cleanly(hosted, calls):
    store = norvane.Store()
    for text in hosted:
        call(store.host, "T", text)
    for method, a in calls:
        if method in ("mutate", "apply") and a and isinstance(a[0], int):
            a = [a[0] % 5, *a[1:]]
        before = snapshots(store)
        if not call(getattr(store, method), *a):
            assert snapshots(store) == before


def client_view(client):
    return client.revisions(), client.pending()


@given(
    calls=st.lists(
        st.tuples(st.sampled_from(["prepare", "commit", "proposal", "disconnect", "revisions", "pending", "abandon"]),
                  st.lists(args, max_size=3)),
        max_size=6,
    )
)
def test_client_state_methods_raise_only_documented_errors_and_fail_cleanly(calls):
    client = norvane.ClientState()
    client.proposal(1, "[]", "p")
    for method, a in calls:
        before = client_view(client)
        if not call(getattr(client, method), *a):
            assert client_view(client) == before


SPEC = '{"root":{"kind":"map","fields":{"title":{"kind":"sequence","materialization":"string"}}}}'


@given(
    value=st.one_of(st.just('{"Map":{"title":{"Str":"ab"}}}'), models.map(json.dumps)),
    calls=st.lists(
        st.tuples(st.sampled_from(["value", "state", "mutate", "apply", "member_key", "compact"]),
                  st.lists(args, max_size=3)),
        max_size=6,
    ),
)
def test_crdt_document_methods_raise_only_documented_errors_and_fail_cleanly(value, calls):
    try:
        doc = norvane.CrdtDocument(SPEC, value, "a")
    except ALLOWED:
        return
    for method, a in calls:
        before = doc.state()
        if not call(getattr(doc, method), *a):
            assert doc.state() == before


@given(a=st.lists(args, max_size=4))
def test_crdt_document_constructors_raise_only_documented_errors(a):
    call(norvane.CrdtDocument, *a)
    call(norvane.CrdtDocument.from_state, *a)


# Inputs the fuzz harnesses found to differ between formats, by design: a
# non-finite Float has no JSON form that reads back, and each format has its own
# nesting budget (JSON 128, CBOR 256), so a CBOR item may be too deep for JSON.
DEEP_CBOR = bytes.fromhex("858ca082853280808080802f808080808080808080808080") + b"\x81" * 128 + b"\x80" * 4


def test_non_finite_float_from_cbor_has_no_json_form_that_reads_back():
    text = norvane.decode_as(bytes.fromhex("a165466c6f6174f9ff00"), "application/cbor")
    assert text == '{"Float":null}'
    with pytest.raises(ValueError, match=r"^invalid type: null, expected f64 at line 1 column 13$"):
        norvane.encode(text)


@pytest.mark.parametrize("to_bytes", [norvane.json_to_cbor, norvane.json_to_msgpack])
def test_cbor_document_deeper_than_the_json_budget_reads_but_does_not_read_back(to_bytes):
    text = norvane.cbor_to_json(DEEP_CBOR)
    assert text == json.dumps(cbor2.loads(DEEP_CBOR), separators=(",", ":"))
    with pytest.raises(ValueError, match=r"^recursion limit exceeded at line 1 column \d+$"):
        to_bytes(text)
    with pytest.raises(ValueError, match=r"^recursion limit exceeded at line 1 column \d+$"):
        norvane.normalize_message(text)
