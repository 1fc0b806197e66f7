"""The ClientState class: its surface, the reducer rules, proposals, borrows and a model check."""

import json

import pytest
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import norvane
from client_model import RESERVED, Reducer, dumps

ClientState = norvane.ClientState
U64_MAX = 2**64 - 1
SNAP1 = '{"effect":"snapshot","id":1,"rev":3}'


def patch_msg(mid, rev, proposal=None):
    msg = {"t": "patch", "id": mid, "patch": {"rev": rev, "ops": []}}
    if proposal is not None:
        msg["proposal"] = proposal
    return dumps(msg)


def view(s):
    return s.revisions(), s.pending()


class Index:
    """An id whose conversion runs Python code."""

    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __index__(self):
        if self.action:
            self.action()
        return self.value


# ---- the class surface -----------------------------------------------------------------------


def test_class_surface():
    assert "ClientState" in norvane.__all__
    assert ClientState.__module__ == "builtins"
    assert ClientState.__text_signature__ == "()"
    assert ClientState.__doc__ == "Shared revision and proposal reducer for a language-level client adapter."
    methods = [n for n in vars(ClientState) if not n.startswith("__")]
    assert methods == ["prepare", "commit", "proposal", "disconnect", "revisions", "pending", "abandon"]
    signatures = {
        "prepare": "($self, message_json)",
        "commit": "($self, effect_json)",
        "proposal": "($self, id, ops_json, proposal=None)",
        "disconnect": "($self)",
        "revisions": "($self)",
        "pending": "($self)",
        "abandon": "($self, proposal)",
    }
    for name, sig in signatures.items():
        method = getattr(ClientState, name)
        assert method.__text_signature__ == sig
        assert method.__doc__ is None


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (ClientState,), {})


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda s: ClientState(1), TypeError, "ClientState.__new__() takes 0 positional arguments but 1 was given"),
        (lambda s: ClientState(x=1), TypeError, "ClientState.__new__() got an unexpected keyword argument 'x'"),
        (lambda s: s.prepare(), TypeError, "ClientState.prepare() missing 1 required positional argument: 'message_json'"),
        (lambda s: s.prepare("{}", "{}"), TypeError, "ClientState.prepare() takes 1 positional argument but 2 were given"),
        (lambda s: s.commit(effect=""), TypeError, "ClientState.commit() got an unexpected keyword argument 'effect'"),
        (lambda s: s.proposal(1), TypeError, "ClientState.proposal() missing 1 required positional argument: 'ops_json'"),
        (lambda s: s.proposal(), TypeError,
         "ClientState.proposal() missing 2 required positional arguments: 'id' and 'ops_json'"),
        (lambda s: s.proposal(1, "[]", "a", "b"), TypeError,
         "ClientState.proposal() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda s: s.proposal(1, "[]", "a", proposal="b"), TypeError,
         "ClientState.proposal() got multiple values for argument 'proposal'"),
        (lambda s: s.abandon(), TypeError, "ClientState.abandon() missing 1 required positional argument: 'proposal'"),
    ],
)
def test_argument_errors(call, exc, text):
    s = ClientState()
    with pytest.raises(exc) as info:
        call(s)
    assert str(info.value) == text
    assert getattr(info.value, "__notes__", None) is None


@pytest.mark.parametrize("name", ["disconnect", "revisions", "pending"])
def test_no_argument_methods_refuse_arguments(name):
    with pytest.raises(TypeError):
        getattr(ClientState(), name)(1)


@pytest.mark.parametrize(
    "call, exc, text, param",
    [
        (lambda s: s.prepare(1), TypeError, "'int' object is not an instance of 'str'", "message_json"),
        (lambda s: s.commit(b"{}"), TypeError, "'bytes' object is not an instance of 'str'", "effect_json"),
        (lambda s: s.commit(None), TypeError, "'None' is not an instance of 'str'", "effect_json"),
        (lambda s: s.proposal("1", "[]"), TypeError, "'str' object cannot be interpreted as an integer", "id"),
        (lambda s: s.proposal(1.0, "[]"), TypeError, "'float' object cannot be interpreted as an integer", "id"),
        (lambda s: s.proposal(-1, "[]"), OverflowError, None, "id"),
        (lambda s: s.proposal(2**64, "[]"), OverflowError, None, "id"),
        (lambda s: s.proposal(1, None), TypeError, "'None' is not an instance of 'str'", "ops_json"),
        (lambda s: s.proposal(1, "[]", 5), TypeError, "'int' object is not an instance of 'str'", "proposal"),
        (lambda s: s.proposal(-1, None), OverflowError, None, "id"),
        (lambda s: s.abandon(None), TypeError, "'None' is not an instance of 'str'", "proposal"),
        (lambda s: s.prepare("\ud800"), UnicodeEncodeError, None, "message_json"),
    ],
)
def test_conversion_errors_name_the_parameter(call, exc, text, param):
    s = ClientState()
    s.commit(SNAP1)
    before = view(s)
    with pytest.raises(exc) as info:
        call(s)
    assert type(info.value) is exc
    if text is not None:
        assert str(info.value) == text
    assert info.value.__notes__ == [f"while processing '{param}'"]
    assert view(s) == before
    assert s.proposal(1, "[]") == '{"t":"patch","id":1,"patch":{"rev":0,"ops":[]},"proposal":"auto-1"}'


def test_ids_convert_through_index():
    s = ClientState()
    assert json.loads(s.proposal(True, "[]"))["id"] == 1
    assert json.loads(s.proposal(Index(U64_MAX), "[]"))["id"] == U64_MAX
    assert json.loads(s.proposal(id=0, ops_json="[]", proposal=None)) == {
        "t": "patch", "id": 0, "patch": {"rev": 0, "ops": []}, "proposal": "auto-3"}


# ---- prepare and commit --------------------------------------------------------------------


def test_patch_by_revision_and_prepare_changes_nothing():
    s = ClientState()
    s.commit(SNAP1)
    assert s.prepare(patch_msg(1, 3)) == '{"effect":"stale_patch","id":1,"rev":3}'
    assert s.prepare(patch_msg(1, 2, "p")) == '{"effect":"stale_patch","id":1,"rev":2,"proposal":"p"}'
    assert s.prepare(patch_msg(1, 4)) == '{"effect":"patch","id":1,"rev":4}'
    assert s.prepare(patch_msg(1, 4)) == '{"effect":"patch","id":1,"rev":4}'
    assert s.revisions() == '{"1":3}'
    s.commit(s.prepare(patch_msg(1, 4)))
    assert s.revisions() == '{"1":4}'
    assert s.prepare(patch_msg(1, 4)) == '{"effect":"stale_patch","id":1,"rev":4}'
    assert s.prepare(patch_msg(1, U64_MAX)) == '{"effect":"patch","id":1,"rev":18446744073709551615}'


@pytest.mark.parametrize(
    "message, error",
    [
        (patch_msg(2, U64_MAX), "patch received before snapshot for model 2"),
        (patch_msg(U64_MAX, 1), "patch received before snapshot for model 18446744073709551615"),
        ('{"t":"crdt","id":2,"rev":1,"ops":[]}', "CRDT operations received before snapshot for model 2"),
        ('{"t":"batch","msgs":[]}', "batch messages must be prepared in order"),
        ('{"t":"batch","msgs":[{"t":"snapshot","id":1,"rev":9}]}', "batch messages must be prepared in order"),
    ],
)
def test_prepare_refusals(message, error):
    s = ClientState()
    s.commit(SNAP1)
    with pytest.raises(ValueError) as info:
        s.prepare(message)
    assert info.value.args == (error,)


def test_messages_for_any_model():
    s = ClientState()
    assert s.prepare('{"t":"ack","id":5,"rev":1,"proposal":"x"}') == (
        '{"effect":"acknowledgement","id":5,"rev":1,"proposal":"x"}')
    assert s.prepare('{"t":"reject","id":5,"rev":1,"error":"no"}') == '{"effect":"rejection","id":5,"rev":1,"error":"no"}'
    assert s.prepare('{"t":"awareness","id":5,"peer":"p","state":{"b":1,"a":2}}') == (
        '{"effect":"awareness","id":5,"peer":"p","state":{"a":2,"b":1}}')
    assert s.prepare('{"t":"presence","id":5}') == '{"effect":"ignore"}'


def test_crdt_models():
    s = ClientState()
    s.commit(SNAP1)
    crdt = '{"t":"crdt","id":1,"rev":1,"ops":[],"proposal":"p"}'
    # a plain model ignores CRDT messages, and their proposal is not carried
    s.proposal(1, "[]", "p")
    assert s.prepare(crdt) == '{"effect":"ignore"}'
    s.commit(s.prepare(crdt))
    assert s.pending() == ["p"]
    # a crdt_snapshot makes it a CRDT model, keeping the larger revision
    s.commit('{"effect":"crdt_snapshot","id":1,"rev":2}')
    assert s.revisions() == '{"1":3}'
    assert s.prepare(crdt) == '{"effect":"crdt","id":1,"rev":1,"proposal":"p"}'
    # patches are still classified by revision
    assert s.prepare(patch_msg(1, 3)) == '{"effect":"stale_patch","id":1,"rev":3}'
    s.commit(s.prepare(crdt))
    assert view(s) == ('{"1":3}', [])
    s.commit('{"effect":"crdt","id":1,"rev":8}')
    assert s.revisions() == '{"1":8}'
    # a plain snapshot turns it back, and may lower the revision
    s.commit('{"effect":"snapshot","id":1,"rev":2}')
    assert s.revisions() == '{"1":2}'
    assert s.prepare(crdt) == '{"effect":"ignore"}'


def test_commit_patch_sets_the_revision_even_lower():
    s = ClientState()
    s.commit(SNAP1)
    s.commit('{"effect":"patch","id":1,"rev":1}')
    assert s.revisions() == '{"1":1}'
    s.commit('{"effect":"crdt_snapshot","id":1,"rev":0}')
    s.commit('{"effect":"crdt","id":1,"rev":0}')
    assert s.revisions() == '{"1":1}'


def test_revisions_in_numeric_order():
    s = ClientState()
    assert s.revisions() == "{}"
    for mid in (10, 2, U64_MAX, 0):
        s.commit(dumps({"effect": "snapshot", "id": mid, "rev": 5}))
    assert s.revisions() == '{"0":5,"2":5,"10":5,"18446744073709551615":5}'


# ---- proposals -------------------------------------------------------------------------------


def test_generated_identifiers():
    s = ClientState()
    assert s.proposal(7, "[]") == '{"t":"patch","id":7,"patch":{"rev":0,"ops":[]},"proposal":"auto-1"}'
    with pytest.raises(ValueError):
        s.proposal(7, "[")
    with pytest.raises(ValueError):
        s.proposal(7, "[]", "auto-5")
    assert json.loads(s.proposal(7, "[]"))["proposal"] == "auto-2"
    assert json.loads(s.proposal(7, "[]", "mine"))["proposal"] == "mine"
    for _ in range(8):
        s.proposal(7, "[]")
    assert s.pending() == ["auto-1", "auto-10", "auto-2", "auto-3", "auto-4", "auto-5", "auto-6", "auto-7",
                           "auto-8", "auto-9", "mine"]
    # numbering goes on after a disconnect
    s.disconnect()
    assert json.loads(s.proposal(7, "[]"))["proposal"] == "auto-11"


@pytest.mark.parametrize("ident", ["auto-0", "auto-12", "auto-007", "auto-18446744073709551616"])
def test_reserved_identifiers(ident):
    s = ClientState()
    with pytest.raises(ValueError) as info:
        s.proposal(7, "[]", ident)
    assert info.value.args == ("proposal identifiers matching 'auto-N' are reserved",)
    assert s.pending() == []


@pytest.mark.parametrize("ident", ["auto-", "auto-1a", "Auto-1", "", "auto-+1", " auto-1", "auto-1 ", "auto-\u0661",
                                   "auto--1", "xauto-1"])
def test_other_identifiers_accepted(ident):
    s = ClientState()
    assert json.loads(s.proposal(7, "[]", ident))["proposal"] == ident
    s.proposal(7, "[]", ident)
    assert s.pending() == [ident]


def test_proposal_writes_canonical_operations():
    s = ClientState()
    ops = ' [ {"Set": {"value": {"Int": 1}, "path": [{"Key": "a"}]}}, {"Move": [[], 4, 1]}, ' \
          '{"Remove":{"path":[{"Index":2}],"note":1}} ] \n'
    assert s.proposal(3, ops, "p\"") == (
        '{"t":"patch","id":3,"patch":{"rev":0,"ops":[{"Set":{"path":[{"Key":"a"}],"value":{"Int":1}}},'
        '{"Move":{"path":[],"from":4,"to":1}},{"Remove":{"path":[{"Index":2}]}}]},"proposal":"p\\""}')


@pytest.mark.parametrize(
    "ops, error",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("[", "EOF while parsing a list at line 1 column 1"),
        ("[] x", "trailing characters at line 1 column 4"),
        ('[{"set":{}}]', "unknown variant `set`, expected one of `Set`, `Remove`, `Insert`, `RemoveAt`, `Move`, "
                         "`Reorder` at line 1 column 7"),
    ],
)
def test_bad_operations_use_nothing(ops, error):
    s = ClientState()
    with pytest.raises(ValueError) as info:
        s.proposal(1, ops, "p")
    assert info.value.args == (error,)
    assert s.pending() == []


def test_abandon_and_disconnect():
    s = ClientState()
    for _ in range(10):
        s.proposal(1, "[]")
    for p in [f"auto-{i}" for i in range(1, 11) if i not in (2, 10)]:
        assert s.abandon(p) is True
    assert s.abandon("auto-1") is False
    assert s.abandon("") is False
    assert s.pending() == ["auto-10", "auto-2"]
    assert s.disconnect() == '{"effect":"disconnect","proposals":["auto-10","auto-2"]}'
    assert s.pending() == []
    assert s.disconnect() == '{"effect":"disconnect","proposals":[]}'


def test_ack_of_unknown_proposal_changes_nothing():
    s = ClientState()
    s.proposal(1, "[]", "p")
    s.commit(s.prepare('{"t":"ack","id":1,"rev":1,"proposal":"q"}'))
    assert view(s) == ("{}", ["p"])
    s.commit(s.prepare('{"t":"ack","id":1,"rev":1,"proposal":"p"}'))
    assert view(s) == ("{}", [])


# ---- borrows ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "inner, text",
    [
        (lambda s: s.prepare(SNAP1), "Already mutably borrowed"),
        (lambda s: s.revisions(), "Already mutably borrowed"),
        (lambda s: s.pending(), "Already mutably borrowed"),
        (lambda s: s.commit(SNAP1), "Already borrowed"),
        (lambda s: s.proposal(1, "[]"), "Already borrowed"),
        (lambda s: s.abandon("p"), "Already borrowed"),
        (lambda s: s.disconnect(), "Already borrowed"),
        # the borrow comes before conversion: a bad argument still meets the borrow first
        (lambda s: s.prepare(5), "Already mutably borrowed"),
        (lambda s: s.proposal(-1, None), "Already borrowed"),
    ],
)
def test_reentry_from_index_fails_at_once(inner, text):
    s = ClientState()
    s.commit(SNAP1)
    s.proposal(1, "[]", "p")
    seen = []

    def action():
        with pytest.raises(RuntimeError) as info:
            inner(s)
        seen.append(info.value.args)
        raise KeyError("from index")

    with pytest.raises(KeyError) as outer:
        s.proposal(Index(1, action), "[]")
    assert seen == [(text,)]
    assert outer.value.__notes__ == ["while processing 'id'"]
    # nothing changed and the borrow was released
    assert view(s) == ('{"1":3}', ["p"])
    assert json.loads(s.proposal(1, "[]"))["proposal"] == "auto-1"


def test_inner_runtime_error_propagates_with_note():
    s = ClientState()
    with pytest.raises(RuntimeError) as info:
        s.proposal(Index(1, lambda: s.pending()), "[]")
    assert info.value.args == ("Already mutably borrowed",)
    assert info.value.__notes__ == ["while processing 'id'"]
    assert s.pending() == []


def test_argument_count_is_checked_before_the_borrow():
    s = ClientState()
    seen = []

    def action():
        for call in (lambda: s.prepare(), lambda: s.commit(), lambda: s.proposal(1)):
            with pytest.raises(TypeError):
                call()
        other = ClientState()
        seen.append(other.proposal(2, "[]"))  # another object is free

    s.proposal(Index(1, action), "[]")
    assert seen == ['{"t":"patch","id":2,"patch":{"rev":0,"ops":[]},"proposal":"auto-1"}']
    assert s.pending() == ["auto-1"]


# ---- the rules against a model ---------------------------------------------------------------

IDS = st.sampled_from([0, 1, 2, U64_MAX])
REVS = st.sampled_from([0, 1, 2, 3, U64_MAX])
PROPOSALS = st.sampled_from(["", "a", "b", "auto-1", "auto-2", "auto-10", "auto-", "Auto-1"])


@st.composite
def incoming(draw):
    t = draw(st.sampled_from(["snapshot", "crdt_snapshot", "patch", "crdt", "ack", "reject", "awareness", "batch",
                              "other"]))
    mid, rev, prop = draw(IDS), draw(REVS), draw(st.none() | PROPOSALS)
    if t == "patch":
        msg = {"t": t, "id": mid, "patch": {"rev": rev, "ops": []}, "proposal": prop}
    elif t == "ack":
        msg = {"t": t, "id": mid, "rev": rev, "proposal": prop or ""}
    elif t == "reject":
        msg = {"t": t, "id": mid, "rev": rev, "error": "e", "proposal": prop}
    elif t == "awareness":
        msg = {"t": t, "id": mid, "peer": "x", "state": draw(st.none() | st.integers(0, 3))}
    elif t == "batch":
        msg = {"t": t, "msgs": []}
    else:
        msg = {"t": t, "id": mid, "rev": rev, "proposal": prop}
    return msg


class ReducerMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.s = ClientState()
        self.m = Reducer()

    @rule(msg=incoming(), commit=st.booleans())
    def prepare(self, msg, commit):
        expected = self.m.prepare(msg)
        try:
            got = self.s.prepare(dumps(msg))
        except ValueError as exc:
            assert exc.args == (expected,)
            return
        assert json.loads(got) == expected
        if commit:
            before = self.m.revisions.get(expected.get("id"))
            self.s.commit(got)
            self.m.commit(expected)
            if expected["effect"] == "patch":
                # revisions only rise when a newer patch is committed
                assert self.m.revisions[expected["id"]] > before

    @rule(mid=IDS, proposal=st.none() | PROPOSALS)
    def proposal(self, mid, proposal):
        try:
            got = self.s.proposal(mid, "[]", proposal)
        except ValueError as exc:
            assert RESERVED.match(proposal) and exc.args == ("proposal identifiers matching 'auto-N' are reserved",)
            return
        if proposal is None:
            proposal = f"auto-{self.m.next_auto}"
            self.m.next_auto += 1
        assert got == dumps({"t": "patch", "id": mid, "patch": {"rev": 0, "ops": []}, "proposal": proposal})
        self.m.pending.add(proposal)

    @precondition(lambda self: self.m.pending)
    @rule(data=st.data())
    def abandon_pending(self, data):
        p = data.draw(st.sampled_from(sorted(self.m.pending)))
        assert self.s.abandon(p) is True
        self.m.pending.discard(p)
        assert self.s.abandon(p) is False

    @rule(p=PROPOSALS)
    def abandon(self, p):
        assert self.s.abandon(p) is (p in self.m.pending)
        self.m.pending.discard(p)

    @rule()
    def disconnect(self):
        assert self.s.disconnect() == dumps({"effect": "disconnect", "proposals": self.m.pending_list()})
        self.m.pending.clear()

    @rule(text=st.sampled_from(["", "{", '{"effect":"patch","id":1}', '["batch",1]', '{"t":"patch","id":1}', "[]"]))
    def bad_input(self, text):
        before = (self.s.revisions(), self.s.pending())
        for call in (self.s.prepare, self.s.commit):
            with pytest.raises(ValueError):
                call(text)
        with pytest.raises(ValueError):
            self.s.proposal(1, text + "]")
        assert (self.s.revisions(), self.s.pending()) == before

    @invariant()
    def same_state(self):
        assert self.s.revisions() == self.m.revisions_json()
        assert self.s.pending() == self.m.pending_list()


TestReducerMachine = ReducerMachine.TestCase
