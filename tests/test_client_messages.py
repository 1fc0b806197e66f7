"""The client's own reading of incoming messages, seen through ClientState.prepare."""

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

import norvane

U64_MAX = 2**64 - 1
BATCH = "batch messages must be prepared in order"


def state():
    """Model 1 follows plain snapshots at revision 5, model 2 CRDT snapshots at revision 5."""
    s = norvane.ClientState()
    s.commit('{"effect":"snapshot","id":1,"rev":5}')
    s.commit('{"effect":"crdt_snapshot","id":2,"rev":5}')
    return s


def prepare(text):
    try:
        return state().prepare(text)
    except ValueError as exc:
        assert exc.args == (str(exc),)
        return ValueError(str(exc))


def nest(n):
    return "[" * n + "]" * n


@pytest.mark.parametrize(
    "message, effect",
    [
        # the tag may stand anywhere; payload members are never read
        ('{"id":4,"rev":9,"t":"snapshot","type":"Doc","value":"Null"}', '{"effect":"snapshot","id":4,"rev":9}'),
        ('{"t":"snapshot","id":4,"rev":9}', '{"effect":"snapshot","id":4,"rev":9}'),
        ('{"t":"snapshot","id":4,"rev":9,"value":{"Int":1.5},"type":7}', '{"effect":"snapshot","id":4,"rev":9}'),
        ('{"t":"crdt_snapshot","id":3,"rev":1,"spec":5}', '{"effect":"crdt_snapshot","id":3,"rev":1}'),
        ('{"t":"snapshot","id":1,"rev":2,"type":1,"type":[2]}', '{"effect":"snapshot","id":1,"rev":2}'),
        # unknown tags are not errors: case-sensitive, no trimming, empty included
        ('{"t":"Snapshot","id":1}', '{"effect":"ignore"}'),
        ('{"t":" ack"}', '{"effect":"ignore"}'),
        ('{"t":"","id":"x"}', '{"effect":"ignore"}'),
        ('{"t":"presence","a":[1,{"b":null}]}', '{"effect":"ignore"}'),
        # escapes are resolved in keys and texts
        ('{"\\u0074":"ack","id":1,"rev":2,"proposal":"\\u0070"}',
         '{"effect":"acknowledgement","id":1,"rev":2,"proposal":"p"}'),
        ('{"t":"snap\\u0073hot","id":1,"rev":2}', '{"effect":"snapshot","id":1,"rev":2}'),
        # optional proposals: null is none
        ('{"t":"patch","id":1,"patch":{"rev":6,"ops":7}}', '{"effect":"patch","id":1,"rev":6}'),
        ('{"t":"patch","id":1,"patch":{"ops":"x","rev":6},"proposal":"q"}',
         '{"effect":"patch","id":1,"rev":6,"proposal":"q"}'),
        ('{"t":"crdt","id":2,"rev":2,"proposal":null,"ops":[1]}', '{"effect":"crdt","id":2,"rev":2}'),
        ('{"t":"crdt","id":2,"rev":2}', '{"effect":"crdt","id":2,"rev":2}'),
        ('{"t":"reject","id":1,"rev":2,"error":"","proposal":"","crdt_ops":5}',
         '{"effect":"rejection","id":1,"rev":2,"error":"","proposal":""}'),
        # awareness: peer required, state kept as a document
        ('{"t":"awareness","id":1,"peer":"p","state":null}', '{"effect":"awareness","id":1,"peer":"p","state":null}'),
        ('{"t":"awareness","id":1,"peer":"","state":{"b":1,"a":2,"b":3}}',
         '{"effect":"awareness","id":1,"peer":"","state":{"a":2,"b":3}}'),
        ('{"t":"awareness","id":1,"peer":"p","state":[1e2,-0,1.50,18446744073709551616]}',
         '{"effect":"awareness","id":1,"peer":"p","state":[100.0,-0.0,1.5,1.8446744073709552e+19]}'),
        # the array form: every field by position, optional ones included
        ('["ack",1,2,"p1"]', '{"effect":"acknowledgement","id":1,"rev":2,"proposal":"p1"}'),
        ('["patch",1,[7],null]', '{"effect":"patch","id":1,"rev":7}'),
        ('["patch",1,{"rev":7,"ops":[]},"z"]', '{"effect":"patch","id":1,"rev":7,"proposal":"z"}'),
        ('["awareness",1,"p",{"b":[1,{"d":1,"c":2}],"a":null}]',
         '{"effect":"awareness","id":1,"peer":"p","state":{"a":null,"b":[1,{"c":2,"d":1}]}}'),
        ('["whatever"]', '{"effect":"ignore"}'),
        # the largest revision; whitespace around the message
        ('{"t":"snapshot","id":18446744073709551615,"rev":18446744073709551615}',
         '{"effect":"snapshot","id":18446744073709551615,"rev":18446744073709551615}'),
        ('\t\r\n {"t":"snapshot","id":1,"rev":2} \n', '{"effect":"snapshot","id":1,"rev":2}'),
        # 127 levels in all, the message itself included
        ('{"t":"ack","id":1,"rev":2,"proposal":"p","x":' + nest(126) + "}",
         '{"effect":"acknowledgement","id":1,"rev":2,"proposal":"p"}'),
    ],
)
def test_reads(message, effect):
    assert prepare(message) == effect


@pytest.mark.parametrize("message", ['{"t":"batch","msgs":7}', '{"t":"batch"}', '["batch"]', '{"msgs":[],"t":"batch"}'])
def test_batches_read_then_refused(message):
    assert str(prepare(message)) == BATCH


@pytest.mark.parametrize(
    "message, error",
    [
        # the structure, with positions
        ("", "EOF while parsing a value at line 1 column 0"),
        ("   ", "EOF while parsing a value at line 1 column 3"),
        ("x", "expected value at line 1 column 1"),
        ("{}", "missing field `t` at line 1 column 2"),
        ("[]", "missing field `t` at line 1 column 2"),
        ('{"t":5}', "invalid type: integer `5`, expected variant identifier at line 1 column 6"),
        ('{"t":null}', "invalid type: null, expected variant identifier at line 1 column 9"),
        ("[5]", "invalid type: integer `5`, expected variant identifier at line 1 column 2"),
        ('{"id":-1,"rev":"x","t":7}', "invalid type: integer `7`, expected variant identifier at line 1 column 24"),
        ("42", "invalid type: integer `42`, expected internally tagged enum ClientMessage at line 1 column 2"),
        ('"abc"', 'invalid type: string "abc", expected internally tagged enum ClientMessage at line 1 column 5'),
        ("null", "invalid type: null, expected internally tagged enum ClientMessage at line 1 column 4"),
        ("true", "invalid type: boolean `true`, expected internally tagged enum ClientMessage at line 1 column 4"),
        ('{"t":"snapshot","t":"patch"}', "duplicate field `t` at line 1 column 19"),
        ('{"t":"snapshot","id":1,"rev":2,"t":"snapshot"}', "duplicate field `t` at line 1 column 34"),
        ('{"t":"snapshot","id":1,"rev":2,"value":1e400}', "number out of range at line 1 column 44"),
        ('{"t":"snapshot","id":1,"rev":2,"value":[1,}', "expected value at line 1 column 43"),
        ('{"t":"snapshot" "id":1}', "expected `,` or `}` at line 1 column 17"),
        ('{"t":"ack","id":1,"rev":2,"proposal":"p","x":' + nest(127) + "}",
         "recursion limit exceeded at line 1 column 172"),
        ('["ack",1,2,"p",' + nest(127) + "]", "recursion limit exceeded at line 1 column 142"),
        # the fields, without position
        ('{"t":"snapshot","id":1}', "missing field `rev`"),
        ('{"t":"snapshot"}', "missing field `id`"),
        ('{"t":"snapshot","rev":"x"}', 'invalid type: string "x", expected u64'),
        ('{"id":-1,"rev":"x","t":"ack"}', "invalid value: integer `-1`, expected u64"),
        ('{"t":"ack","id":1,"rev":2}', "missing field `proposal`"),
        ('{"t":"ack","id":1,"rev":2,"proposal":null}', "invalid type: null, expected a string"),
        ('{"t":"ack","id":1,"rev":2,"proposal":5}', "invalid type: integer `5`, expected a string"),
        ('{"t":"reject","id":1,"rev":2}', "missing field `error`"),
        ('{"t":"reject","proposal":3,"id":1,"rev":2,"error":null}', "invalid type: integer `3`, expected a string"),
        ('{"t":"awareness","id":1}', "missing field `peer`"),
        ('{"t":"awareness","id":1,"peer":null}', "invalid type: null, expected a string"),
        ('{"t":"crdt","id":1}', "missing field `rev`"),
        ('{"t":"patch","id":1}', "missing field `patch`"),
        ('{"t":"patch","id":1,"patch":{"ops":[]}}', "missing field `rev`"),
        ('{"t":"patch","patch":{},"id":1}', "missing field `rev`"),
        ('{"t":"patch","id":1,"patch":null}', "invalid type: null, expected struct PatchRevision"),
        ('{"t":"patch","id":1,"patch":"x"}', 'invalid type: string "x", expected struct PatchRevision'),
        ('{"t":"patch","id":1,"patch":{"rev":3,"rev":3}}', "duplicate field `rev`"),
        ('{"t":"patch","id":1,"patch":[]}', "invalid length 0, expected struct PatchRevision with 1 element"),
        ('{"t":"patch","id":1,"patch":[1,2]}', "invalid length 2, expected 1 element in sequence"),
        ('{"t":"patch","id":1,"patch":[1.5]}', "invalid type: floating point `1.5`, expected u64"),
        ('{"t":"patch","id":1,"patch":[3],"patch":[4]}', "duplicate field `patch`"),
        ('{"t":"snapshot","id":1,"id":1,"rev":0}', "duplicate field `id`"),
        ('{"t":"snapshot","id":-1,"rev":0}', "invalid value: integer `-1`, expected u64"),
        ('{"t":"snapshot","id":-9223372036854775808,"rev":0}',
         "invalid value: integer `-9223372036854775808`, expected u64"),
        ('{"t":"snapshot","id":-9223372036854775809,"rev":0}',
         "invalid type: floating point `-9.223372036854776e+18`, expected u64"),
        ('{"t":"snapshot","id":1,"rev":18446744073709551616}',
         "invalid type: floating point `1.8446744073709552e+19`, expected u64"),
        ('{"t":"snapshot","id":1.5,"rev":1}', "invalid type: floating point `1.5`, expected u64"),
        ('{"t":"snapshot","id":1e2,"rev":1}', "invalid type: floating point `100.0`, expected u64"),
        ('{"t":"snapshot","id":-0,"rev":1}', "invalid type: floating point `-0.0`, expected u64"),
        ('{"t":"snapshot","id":true,"rev":1}', "invalid type: boolean `true`, expected u64"),
        ('{"t":"snapshot","id":[],"rev":1}', "invalid type: sequence, expected u64"),
        ('{"t":"snapshot","id":{},"rev":1}', "invalid type: map, expected u64"),
        ('{"t":"snapshot","id":null,"rev":1}', "invalid type: null, expected u64"),
        # array form lengths
        ('["patch",1,{"rev":7}]', "invalid length 2, expected struct variant ClientMessage::Patch with 3 elements"),
        ('["snapshot"]', "invalid length 0, expected struct variant ClientMessage::Snapshot with 2 elements"),
        ('["crdt_snapshot",1]', "invalid length 1, expected struct variant ClientMessage::CrdtSnapshot with 2 elements"),
        ('["crdt",1,2]', "invalid length 2, expected struct variant ClientMessage::Crdt with 3 elements"),
        ('["ack",1,2]', "invalid length 2, expected struct variant ClientMessage::Ack with 3 elements"),
        ('["reject",1,2,"e"]', "invalid length 3, expected struct variant ClientMessage::Reject with 4 elements"),
        ('["awareness",1,"p"]', "invalid length 2, expected struct variant ClientMessage::Awareness with 3 elements"),
        ('["snapshot",1,2,3]', "invalid length 3, expected 2 elements in sequence"),
        ('["reject",1,2,"e",null,5]', "invalid length 5, expected 4 elements in sequence"),
        ('["batch",1]', "invalid length 1, expected 0 elements in sequence"),
        ('["other",1,2]', "invalid length 2, expected 0 elements in sequence"),
        # a conversion failure comes before the surplus; a short array where the element is missing
        ('["snapshot",1,"x",3]', 'invalid type: string "x", expected u64'),
        ('["ack","x"]', 'invalid type: string "x", expected u64'),
        # fields before trailing text; trailing text after a good message
        ('{"t":"ack","id":1} x', "missing field `rev`"),
        ('{"t":"batch"} x', "trailing characters at line 1 column 15"),
        ('{"t":"snapshot","id":1,"rev":2}{}', "trailing characters at line 1 column 32"),
        ('{"t":"snapshot","id":1,"rev":2}\n x', "trailing characters at line 2 column 2"),
    ],
)
def test_errors(message, error):
    result = prepare(message)
    assert isinstance(result, ValueError), result
    assert str(result) == error


# ---- generated messages against a small model of the reader --------------------------------

texts = st.text(st.characters(codec="utf-8"), max_size=6)
u64s = st.integers(0, U64_MAX)
junk = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), U64_MAX) | st.floats(allow_nan=False, allow_infinity=False) | texts,
    lambda c: st.lists(c, max_size=3) | st.dictionaries(texts, c, max_size=3),
    max_leaves=6,
)


@st.composite
def messages(draw):
    """A valid message as (fields in declaration order, expected effect for state())."""
    kind = draw(st.sampled_from(["snapshot", "crdt_snapshot", "patch", "crdt", "ack", "reject", "awareness"]))
    mid = draw(st.sampled_from([1, 2]) if kind in ("patch", "crdt") else u64s)
    rev = draw(u64s)
    prop = draw(st.none() | texts)
    if kind in ("snapshot", "crdt_snapshot"):
        fields = [("id", mid), ("rev", rev)]
        effect = {"effect": kind, "id": mid, "rev": rev}
    elif kind == "patch":
        # plain and CRDT models alike are classified by revision
        fields = [("id", mid), ("patch", {"rev": rev, "ops": draw(junk)}), ("proposal", prop)]
        effect = {"effect": "patch" if rev > 5 else "stale_patch", "id": mid, "rev": rev}
        if prop is not None:
            effect["proposal"] = prop
    elif kind == "crdt":
        fields = [("id", mid), ("rev", rev), ("proposal", prop)]
        effect = {"effect": "crdt", "id": 2, "rev": rev} if mid == 2 else {"effect": "ignore"}
        if mid == 2 and prop is not None:
            effect["proposal"] = prop
    elif kind == "ack":
        prop = draw(texts)
        fields = [("id", mid), ("rev", rev), ("proposal", prop)]
        effect = {"effect": "acknowledgement", "id": mid, "rev": rev, "proposal": prop}
    elif kind == "reject":
        err = draw(texts)
        fields = [("id", mid), ("rev", rev), ("error", err), ("proposal", prop)]
        effect = {"effect": "rejection", "id": mid, "rev": rev, "error": err}
        if prop is not None:
            effect["proposal"] = prop
    else:
        peer = draw(texts)
        st_doc = draw(junk)
        fields = [("id", mid), ("peer", peer), ("state", st_doc)]
        effect = {"effect": "awareness", "id": mid, "peer": peer, "state": st_doc}
    return kind, fields, effect


@given(messages(), st.booleans(), st.randoms(use_true_random=False), st.dictionaries(texts, junk, max_size=3))
def test_generated_messages(msg, as_array, rnd, extra):
    kind, fields, effect = msg
    if as_array:
        text = json.dumps([kind] + [v for _, v in fields])
    else:
        # an optional field that is none is either null or left out
        members = [(k, v) for k, v in fields if v is not None or rnd.random() < 0.5]
        members += [(k, v) for k, v in extra.items() if k not in {"t"} | {k for k, _ in fields}]
        members.append(("t", kind))
        rnd.shuffle(members)
        text = "{" + ",".join(json.dumps(k) + ":" + json.dumps(v) for k, v in members) + "}"
    out = state().prepare(text)
    assert json.loads(out) == effect
    # compact, "effect" first, fields in declared order
    assert out == json.dumps(effect, separators=(",", ":"), ensure_ascii=False) or effect["effect"] == "awareness"
