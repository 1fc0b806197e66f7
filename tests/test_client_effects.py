"""Client effects: written by prepare and disconnect, read back by commit."""

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

import norvane
from client_model import Reducer, dumps

U64_MAX = 2**64 - 1
UNKNOWN = (
    "unknown variant `{}`, expected one of `snapshot`, `crdt_snapshot`, `patch`, `crdt`, `stale_patch`, "
    "`acknowledgement`, `rejection`, `awareness`, `ignore`, `disconnect`"
)


def pending_state():
    """Model 7 at revision 3 with proposals "p1", "q" and "" pending."""
    s = norvane.ClientState()
    s.commit('{"effect":"snapshot","id":7,"rev":3}')
    for p in ("p1", "q", ""):
        s.proposal(7, "[]", p)
    return s


def view(s):
    return s.revisions(), s.pending()


# ---- writing ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "message, effect",
    [
        ('{"t":"snapshot","id":7,"rev":3}', '{"effect":"snapshot","id":7,"rev":3}'),
        ('{"t":"crdt_snapshot","id":7,"rev":3}', '{"effect":"crdt_snapshot","id":7,"rev":3}'),
        ('{"t":"patch","id":7,"patch":{"rev":4,"ops":[]},"proposal":"auto-1"}',
         '{"effect":"patch","id":7,"rev":4,"proposal":"auto-1"}'),
        ('{"t":"patch","id":7,"patch":{"rev":2,"ops":[]}}', '{"effect":"stale_patch","id":7,"rev":2}'),
        ('{"t":"patch","id":7,"patch":{"rev":3,"ops":[]},"proposal":""}',
         '{"effect":"stale_patch","id":7,"rev":3,"proposal":""}'),
        ('{"t":"reject","id":7,"rev":4,"error":"conflict","proposal":"p1"}',
         '{"effect":"rejection","id":7,"rev":4,"error":"conflict","proposal":"p1"}'),
        ('{"t":"reject","id":7,"rev":4,"error":""}', '{"effect":"rejection","id":7,"rev":4,"error":""}'),
        ('{"t":"ack","id":7,"rev":4,"proposal":""}', '{"effect":"acknowledgement","id":7,"rev":4,"proposal":""}'),
        ('{"t":"awareness","id":7,"peer":"b"}', '{"effect":"awareness","id":7,"peer":"b","state":null}'),
        ('{"t":"awareness","id":7,"peer":"\\"\\u0001\\u00e9","state":"\\u007f/"}',
         '{"effect":"awareness","id":7,"peer":"\\"\\u0001\u00e9","state":"\x7f/"}'),
        ('{"t":"zzz"}', '{"effect":"ignore"}'),
    ],
)
def test_written_forms(message, effect):
    assert pending_state().prepare(message) == effect


def test_disconnect_form():
    s = pending_state()
    assert s.disconnect() == '{"effect":"disconnect","proposals":["","p1","q"]}'
    assert s.disconnect() == '{"effect":"disconnect","proposals":[]}'


# ---- reading ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "effect, revisions, pending",
    [
        ('{"rev":9,"id":7,"effect":"snapshot"}', '{"7":9}', ["", "p1", "q"]),
        ('{"effect":"snapshot","id":8,"rev":0,"proposal":"p1","x":{"deep":[1]}}', '{"7":3,"8":0}', ["", "p1", "q"]),
        ('{"effect":"patch","id":7,"rev":4,"proposal":null,"extra":[1]}', '{"7":4}', ["", "p1", "q"]),
        ('{"effect":"patch","id":7,"rev":4,"proposal":"p1"}', '{"7":4}', ["", "q"]),
        ('{"effect":"patch","id":7,"rev":1,"proposal":""}', '{"7":1}', ["p1", "q"]),
        ('{"effect":"stale_patch","id":7,"rev":99,"proposal":"q"}', '{"7":3}', ["", "p1"]),
        ('{"effect":"crdt","id":7,"rev":1,"proposal":"q"}', '{"7":3}', ["", "p1"]),
        ('{"effect":"crdt","id":9,"rev":1}', '{"7":3,"9":1}', ["", "p1", "q"]),
        ('{"effect":"acknowledgement","id":1,"rev":1,"proposal":"p1"}', '{"7":3}', ["", "q"]),
        ('{"effect":"acknowledgement","id":1,"rev":1,"proposal":"nope"}', '{"7":3}', ["", "p1", "q"]),
        ('{"effect":"rejection","id":1,"rev":1,"error":"","proposal":"q"}', '{"7":3}', ["", "p1"]),
        ('{"effect":"rejection","id":1,"rev":1,"error":"e"}', '{"7":3}', ["", "p1", "q"]),
        ('{"effect":"awareness","id":7,"peer":"b","rev":"zz","proposal":"q"}', '{"7":3}', ["", "p1", "q"]),
        ('{"effect":"ignore","anything":{"deep":[1,2]},"proposal":"q"}', '{"7":3}', ["", "p1", "q"]),
        # a committed disconnect effect leaves pending alone
        ('{"effect":"disconnect","proposals":["p1","q"]}', '{"7":3}', ["", "p1", "q"]),
        ('{"effect":"snapshot","id":18446744073709551615,"rev":18446744073709551615}',
         '{"7":3,"18446744073709551615":18446744073709551615}', ["", "p1", "q"]),
        # the array form
        ('["snapshot",7,5]', '{"7":5}', ["", "p1", "q"]),
        ('["patch",7,4,null]', '{"7":4}', ["", "p1", "q"]),
        ('["stale_patch",7,4,"p1"]', '{"7":3}', ["", "q"]),
        ('["acknowledgement",7,4,""]', '{"7":3}', ["p1", "q"]),
        ('["rejection",7,4,"e",null]', '{"7":3}', ["", "p1", "q"]),
        ('["awareness",7,"b",null]', '{"7":3}', ["", "p1", "q"]),
        ('["ignore"]', '{"7":3}', ["", "p1", "q"]),
        ('["disconnect",[]]', '{"7":3}', ["", "p1", "q"]),
        (' \n["crdt_snapshot",7,1]\t', '{"7":3}', ["", "p1", "q"]),
    ],
)
def test_reads(effect, revisions, pending):
    s = pending_state()
    assert s.commit(effect) is None
    assert view(s) == (revisions, pending)


@pytest.mark.parametrize(
    "effect, error",
    [
        # the structure, with positions
        ("", "EOF while parsing a value at line 1 column 0"),
        ("5", "invalid type: integer `5`, expected internally tagged enum ClientEffect at line 1 column 1"),
        ("null", "invalid type: null, expected internally tagged enum ClientEffect at line 1 column 4"),
        ('"x\\"y"', 'invalid type: string "x\\"y", expected internally tagged enum ClientEffect at line 1 column 6'),
        ("-", "EOF while parsing a value at line 1 column 1"),
        ("}", "expected value at line 1 column 1"),
        ('{"effect":"Snapshot","id":1,"rev":1}', UNKNOWN.format("Snapshot") + " at line 1 column 20"),
        ('{"effect":"nope"}', UNKNOWN.format("nope") + " at line 1 column 16"),
        ('["nope",1]', UNKNOWN.format("nope") + " at line 1 column 7"),
        ('{"effect":1}', "invalid type: integer `1`, expected variant identifier at line 1 column 11"),
        ('{"effect":null}', "invalid type: null, expected variant identifier at line 1 column 14"),
        ('{"effect":["snapshot"]}', "invalid type: sequence, expected variant identifier at line 1 column 10"),
        ('{"effect":"snapshot","effect":"snapshot","id":1,"rev":1}', "duplicate field `effect` at line 1 column 29"),
        ('{"effect":"ignore","effect":7}', "duplicate field `effect` at line 1 column 27"),
        ('{"id":1}', "missing field `effect` at line 1 column 8"),
        ("[]", "missing field `effect` at line 1 column 2"),
        ('{"effect":"ignore","x":[' + "[" * 126 + "]" * 126 + "]}",
         "recursion limit exceeded at line 1 column 150"),
        ('{"effect":"snapshot","id":1,"rev":1} x', "trailing characters at line 1 column 38"),
        ('{"effect":"ignore"}\n\n  ]', "trailing characters at line 3 column 3"),
        # the fields, without position
        ('{"effect":"snapshot"} x', "missing field `id`"),
        ('{"effect":"snapshot","rev":1}', "missing field `id`"),
        ('{"effect":"snapshot","id":1}', "missing field `rev`"),
        ('{"effect":"acknowledgement","id":7,"rev":4}', "missing field `proposal`"),
        ('{"effect":"acknowledgement","id":7,"rev":4,"proposal":null}', "invalid type: null, expected a string"),
        ('{"effect":"rejection","id":7,"rev":4}', "missing field `error`"),
        ('{"effect":"rejection","id":7,"rev":4,"error":1}', "invalid type: integer `1`, expected a string"),
        ('{"effect":"patch","id":7,"rev":4,"proposal":[]}', "invalid type: sequence, expected a string"),
        ('{"effect":"awareness","id":7}', "missing field `peer`"),
        ('{"effect":"awareness","peer":false}', "invalid type: boolean `false`, expected a string"),
        ('{"effect":"disconnect"}', "missing field `proposals`"),
        ('{"effect":"disconnect","proposals":"x"}', 'invalid type: string "x", expected a sequence'),
        ('{"effect":"disconnect","proposals":null}', "invalid type: null, expected a sequence"),
        ('{"effect":"disconnect","proposals":["x",1]}', "invalid type: integer `1`, expected a string"),
        ('{"effect":"disconnect","proposals":[],"proposals":[]}', "duplicate field `proposals`"),
        ('{"effect":"snapshot","id":1,"id":2,"rev":1}', "duplicate field `id`"),
        ('{"effect":"snapshot","rev":1,"rev":"x"}', "duplicate field `rev`"),
        ('{"effect":"snapshot","id":-1,"rev":1}', "invalid value: integer `-1`, expected u64"),
        ('{"effect":"snapshot","id":"1","rev":1}', 'invalid type: string "1", expected u64'),
        ('{"effect":"snapshot","id":1.0,"rev":1}', "invalid type: floating point `1.0`, expected u64"),
        ('{"effect":"snapshot","id":1,"rev":1e20}', "invalid type: floating point `1e+20`, expected u64"),
        ('{"effect":"snapshot","id":1,"rev":18446744073709551616}',
         "invalid type: floating point `1.8446744073709552e+19`, expected u64"),
        ('{"effect":"snapshot","id":null,"rev":1}', "invalid type: null, expected u64"),
        # array form lengths
        ('["patch",7,4]', "invalid length 2, expected struct variant ClientEffect::Patch with 3 elements"),
        ('["snapshot",7]', "invalid length 1, expected struct variant ClientEffect::Snapshot with 2 elements"),
        ('["crdt_snapshot"]', "invalid length 0, expected struct variant ClientEffect::CrdtSnapshot with 2 elements"),
        ('["crdt",7,4]', "invalid length 2, expected struct variant ClientEffect::Crdt with 3 elements"),
        ('["stale_patch",7,4]', "invalid length 2, expected struct variant ClientEffect::StalePatch with 3 elements"),
        ('["acknowledgement",7,4]',
         "invalid length 2, expected struct variant ClientEffect::Acknowledgement with 3 elements"),
        ('["rejection",7,4,"e"]', "invalid length 3, expected struct variant ClientEffect::Rejection with 4 elements"),
        ('["awareness",7,"b"]', "invalid length 2, expected struct variant ClientEffect::Awareness with 3 elements"),
        ('["disconnect"]', "invalid length 0, expected struct variant ClientEffect::Disconnect with 1 element"),
        ('["snapshot",7,3,1]', "invalid length 3, expected 2 elements in sequence"),
        ('["disconnect",[],1]', "invalid length 2, expected 1 element in sequence"),
        ('["ignore",1]', "invalid length 1, expected 0 elements in sequence"),
        ('["ignore",1,2]', "invalid length 2, expected 0 elements in sequence"),
        ('["snapshot",7,"x",1]', 'invalid type: string "x", expected u64'),
    ],
)
def test_errors_change_nothing(effect, error):
    s = pending_state()
    before = view(s)
    with pytest.raises(ValueError) as info:
        s.commit(effect)
    assert info.value.args == (error,)
    assert view(s) == before


# ---- round trips -----------------------------------------------------------------------------

texts = st.text(st.characters(codec="utf-8"), max_size=5)
u64s = st.integers(0, U64_MAX)
docs = st.recursive(
    st.booleans() | st.integers(-(2**63), U64_MAX) | texts,
    lambda c: st.lists(c, max_size=3) | st.dictionaries(texts, c, max_size=3),
    max_leaves=5,
)
FIELDS = {
    "snapshot": ["id", "rev"],
    "crdt_snapshot": ["id", "rev"],
    "patch": ["id", "rev", "proposal"],
    "crdt": ["id", "rev", "proposal"],
    "stale_patch": ["id", "rev", "proposal"],
    "acknowledgement": ["id", "rev", "proposal"],
    "rejection": ["id", "rev", "error", "proposal"],
    "awareness": ["id", "peer", "state"],
    "ignore": [],
    "disconnect": ["proposals"],
}


@st.composite
def effects(draw):
    kind = draw(st.sampled_from(sorted(FIELDS)))
    values = {
        "id": draw(st.integers(0, 3)),
        "rev": draw(u64s),
        "proposal": draw((texts if kind == "acknowledgement" else st.none() | texts)),
        "error": draw(texts),
        "peer": draw(texts),
        "state": draw(st.none() | docs),
        "proposals": draw(st.lists(texts, max_size=3)),
    }
    return kind, [(f, values[f]) for f in FIELDS[kind]]


@given(effects(), st.booleans(), st.lists(st.sampled_from(["a", "b", "c", ""]), max_size=4), st.randoms())
def test_any_effect_commits_as_the_model_says(effect, as_array, pending, rnd):
    kind, fields = effect
    if as_array:
        text = dumps([kind] + [v for _, v in fields])
    else:
        members = [("effect", kind)] + [(k, v) for k, v in fields if v is not None or rnd.random() < 0.5]
        members += [("extra", [1]), ("rev" if kind == "awareness" else "peer", {"x": None})]
        rnd.shuffle(members)
        text = "{" + ",".join(dumps(k) + ":" + dumps(v) for k, v in members) + "}"
    s, model = norvane.ClientState(), Reducer()
    s.commit('{"effect":"snapshot","id":1,"rev":10}')
    model.commit({"effect": "snapshot", "id": 1, "rev": 10})
    for p in pending:
        s.proposal(1, "[]", p)
        model.pending.add(p)
    s.commit(text)
    model.commit(dict(fields, effect=kind))
    assert view(s) == (model.revisions_json(), model.pending_list())


@given(st.lists(texts, max_size=5, unique=True))
def test_disconnect_lists_ascending_bytes(ids):
    s = norvane.ClientState()
    for p in ids:
        s.proposal(0, "[]", p)
    out = s.disconnect()
    assert json.loads(out) == {"effect": "disconnect", "proposals": sorted(ids, key=str.encode)}
    s.commit(out)  # what disconnect writes reads back
    assert s.pending() == []
