"""The Store class: hosting, snapshots, mutation into patches, mirroring, borrows."""

import inspect
import json

import pytest
from hypothesis import given, strategies as st

import norvane
from norvane import Store
from modeljson import Insert, Move, RemoveAt, Reorder, Set, patch_text, path, same, text, value, values

BIG = 2**64 - 1
DOC = text({"a": 1})


def hosted(*values_):
    store = Store()
    for v in values_:
        store.host("doc", text(v))
    return store


def snap(store, i):
    s = store.snapshot(i)
    return None if s is None else json.loads(s)


def error(call, kind=ValueError):
    with pytest.raises(Exception) as info:
        call()
    assert type(info.value) is kind
    return info.value.args[0]


# ---- the class ----------------------------------------------------------------------

def test_class_surface():
    assert norvane.__all__[-1] == "Store"
    assert Store.__module__ == "builtins" and Store.__name__ == "Store" and Store.__qualname__ == "Store"
    assert Store.__text_signature__ == "()"
    assert Store.__doc__ == "In-process model store: host / mutate \u2192 patch / apply / snapshot."
    docs = {
        "host": ("($self, type_name, value_json)", "Host a model from its JSON; returns the assigned id."),
        "snapshot": ("($self, id)", '`{"type_name":..,"rev":..,"value":..}` for a hosted model, or `None`.'),
        "mutate": ("($self, id, value_json)",
                   "Replace a hosted model from JSON; returns the JSON patch (or `None` if id unknown)."),
        "apply": ("($self, id, patch_json)",
                  "Apply a JSON patch to a mirrored model; returns whether the id was known."),
    }
    assert [n for n in vars(Store) if not n.startswith("__")] == list(docs)
    for name, (signature, doc) in docs.items():
        method = getattr(Store, name)
        assert (method.__text_signature__, method.__doc__) == (signature, doc)
        params = list(inspect.signature(method).parameters.values())[1:]  # after self
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)
    with pytest.raises(TypeError):
        type("Sub", (Store,), {})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Store(1), "Store.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: Store(x=1), "Store.__new__() got an unexpected keyword argument 'x'"),
        (lambda: Store().host("t"), "Store.host() missing 1 required positional argument: 'value_json'"),
        (lambda: Store().snapshot(), "Store.snapshot() missing 1 required positional argument: 'id'"),
        (lambda: Store().mutate(1, "x", 3), "Store.mutate() takes 2 positional arguments but 3 were given"),
        (lambda: Store().apply(1, patch="x"), "Store.apply() got an unexpected keyword argument 'patch'"),
        (lambda: Store().apply(1, id=1), "Store.apply() got multiple values for argument 'id'"),
    ],
)
def test_argument_binding(call, message):
    assert error(call, TypeError) == message


@pytest.mark.parametrize(
    "call, kind, message, param",
    [
        (lambda s: s.host(1, DOC), TypeError, "'int' object is not an instance of 'str'", "type_name"),
        (lambda s: s.host("t", None), TypeError, "'None' is not an instance of 'str'", "value_json"),
        (lambda s: s.snapshot(-1), OverflowError, "can't convert negative int to unsigned", "id"),
        (lambda s: s.snapshot(2**64), OverflowError, "int too big to convert", "id"),
        (lambda s: s.snapshot(1.0), TypeError, "'float' object cannot be interpreted as an integer", "id"),
        (lambda s: s.snapshot("1"), TypeError, "'str' object cannot be interpreted as an integer", "id"),
        # conversion comes before reading the text
        (lambda s: s.mutate("1", "{"), TypeError, "'str' object cannot be interpreted as an integer", "id"),
        (lambda s: s.apply(1, b"{}"), TypeError, "'bytes' object is not an instance of 'str'", "patch_json"),
    ],
)
def test_argument_conversion(call, kind, message, param):
    store = hosted({"a": 1})
    with pytest.raises(kind) as info:
        call(store)
    assert info.value.args == (message,)
    assert info.value.__notes__ == [f"while processing '{param}'"]
    assert store.snapshot(1) == '{"rev":0,"type_name":"doc","value":{"Map":{"a":{"Int":1}}}}'


# ---- behaviour ----------------------------------------------------------------------

def test_ids_and_snapshots():
    store = Store()
    assert store.snapshot(0) is None and store.snapshot(1) is None
    assert store.host("doc", DOC) == 1
    assert store.host("doc", DOC) == 2
    assert error(lambda: store.host("doc", "{")) == "EOF while parsing an object at line 1 column 1"
    assert error(lambda: store.host("doc", '"Null" x')) == "trailing characters at line 1 column 8"
    assert store.host("", ' "Null" \n') == 3  # no gap after failures
    assert store.snapshot(2) == '{"rev":0,"type_name":"doc","value":{"Map":{"a":{"Int":1}}}}'
    assert store.snapshot(3) == '{"rev":0,"type_name":"","value":"Null"}'
    assert store.snapshot(True) == store.snapshot(1)
    assert store.snapshot(BIG) is None
    label = 'q"\\\n\u00e9\U0001f600'
    store.host(label, text(-0.0))
    assert json.loads(store.snapshot(4)) == {"rev": 0, "type_name": label, "value": {"Float": -0.0}}
    assert store.snapshot(4).endswith('"value":{"Float":-0.0}}')


def test_mutate():
    store = hosted({"a": 1, "b": [1, 2]})
    assert store.mutate(1, text({"a": 1, "b": [1, 2]})) == '{"rev":1,"ops":[]}'
    assert store.mutate(1, text({"a": 2, "b": [1, 2, 3]})) == patch_text(
        [Set(path("a"), 2), Insert(path("b"), 2, 3)], rev=2)
    assert store.mutate(2, DOC) is None
    assert store.mutate(0, DOC) is None
    assert error(lambda: store.mutate(2, "{")) == "EOF while parsing an object at line 1 column 1"
    assert error(lambda: store.mutate(1, '{"Int":1}}')) == "trailing characters at line 1 column 10"
    assert snap(store, 1)["rev"] == 2 and value(json.dumps(snap(store, 1)["value"])) == {"a": 2, "b": [1, 2, 3]}


def test_apply():
    store = hosted([1, 2, 3])
    assert store.apply(1, patch_text([RemoveAt(path(), 0)], rev=7)) is True
    assert snap(store, 1)["rev"] == 7
    assert store.apply(1, patch_text([], rev=3)) is True  # lower revisions are adopted as they are
    assert snap(store, 1)["rev"] == 3
    assert store.apply(1, '[3, []]') is True
    assert store.apply(2, patch_text([])) is False
    assert error(lambda: store.apply(2, '{"ops":[]}')) == "missing field `rev` at line 1 column 10"
    assert error(lambda: store.apply(1, '{"rev":1,"ops":[]}x')) == "trailing characters at line 1 column 19"
    assert value(json.dumps(snap(store, 1)["value"])) == [2, 3]


@pytest.mark.parametrize(
    "ops, message",
    [
        ([Set(path(0), 9), RemoveAt(path(), 5)], "remove index 5 out of bounds (len 3)"),
        ([Insert(path(), 0, 0), Set(path(0, "k"), 1)], "expected Value::Map, found Int(0)"),
        ([RemoveAt(path(), 0), RemoveAt(path(), 0), Set(path("x"), 1)], "expected Value::Map, found List([Int(3)])"),
        ([{"Reorder": {"path": [], "order": [2, 1, 0]}}, {"Move": {"path": [], "from": 0, "to": 3}}],
         "move destination index 3 out of bounds (len 3)"),
        ([Set(path(), {"k": [1]}), {"Remove": {"path": [{"Key": "k"}, {"Index": 1}]}}],
         "remove index 1 out of bounds (len 1)"),
    ],
)
def test_failed_apply_changes_nothing(ops, message):
    store = hosted([1, 2, 3])
    store.mutate(1, text([1, 2, 3]))
    before = store.snapshot(1)
    assert error(lambda: store.apply(1, patch_text(ops, rev=9))) == message
    assert store.snapshot(1) == before
    assert store.host("next", DOC) == 2


@st.composite
def list_edits(draw):
    """A list (at the root or under a key), a Move over at least one other element, more
    edits of the list, and the list they leave, worked out here independently."""
    n = draw(st.integers(3, 9))
    items = list(range(n))
    at = draw(st.sampled_from([(), ("l",)]))
    far = draw(st.sampled_from([(a, b) for a in range(n) for b in range(n) if abs(a - b) >= 2]))
    kinds = st.sampled_from(["move", "reorder", "insert", "remove_at", "set"])
    ops, steps = [], ["move"] + draw(st.lists(kinds, max_size=5))
    for step in steps:
        if step == "move":
            a, b = far if not ops else (draw(st.integers(0, len(items) - 1)), draw(st.integers(0, len(items) - 1)))
            items.insert(b, items.pop(a))
            ops.append(Move(path(*at), a, b))
        elif step == "reorder":
            order = draw(st.permutations(range(len(items))))
            items = [items[i] for i in order]
            ops.append(Reorder(path(*at), list(order)))
        elif step == "insert":
            i = draw(st.integers(0, len(items)))
            items.insert(i, 100 + len(ops))
            ops.append(Insert(path(*at), i, 100 + len(ops)))
        elif step == "remove_at" and len(items) > 1:
            ops.append(RemoveAt(path(*at), draw(st.integers(0, len(items) - 1))))
            del items[ops[-1]["RemoveAt"]["index"]]
        elif step == "set":
            i = draw(st.integers(0, len(items) - 1))
            items[i] = -i - 1
            ops.append(Set(path(*at, i), -i - 1))
    wrap = (lambda v: {"l": v, "k": "v"}) if at else (lambda v: v)
    return wrap(list(range(n))), ops, wrap(items), path(*at), len(items)


@given(list_edits(), st.integers(0, 3))
def test_failed_apply_undoes_moves_and_reorders(edits, past):
    # A Move between positions that are not neighbours is not its own inverse: undoing it must
    # move the element back from where it went, not repeat it.
    start, ops, end, where, length = edits
    store = hosted(start)
    before = store.snapshot(1)
    failing = RemoveAt(where, length + past)
    message = f"remove index {length + past} out of bounds (len {length})"
    assert error(lambda: store.apply(1, patch_text(ops + [failing], rev=5))) == message
    assert store.snapshot(1) == before
    assert store.apply(1, patch_text(ops, rev=5)) is True
    assert value(json.dumps(snap(store, 1)["value"])) == end


def test_highest_revision_is_not_wrapped():
    store = hosted([1])
    assert store.apply(1, patch_text([], rev=BIG))
    message = f"revision {BIG} of model 1 cannot be raised"
    assert error(lambda: store.mutate(1, text([2]))) == message
    assert snap(store, 1) == {"rev": BIG, "type_name": "doc", "value": {"List": [{"Int": 1}]}}
    assert error(lambda: store.mutate(1, "x")) == "expected value at line 1 column 1"  # reading comes first


def nested(levels, inner=None):
    v = [] if inner is None else inner
    for _ in range(levels - (inner is None)):
        v = [v]
    return v


def test_patches_cannot_nest_values_without_bound():
    # Each patch can only carry a shallow value, but a chain of them can go ever deeper; the
    # store stops at 4096 nested lists and maps, whatever the operation.
    store = hosted([])
    depth, rev = 1, 0
    while depth < 4096:
        step = min(60, 4096 - depth)
        rev += 1
        store.apply(1, patch_text([Insert(path(*[0] * (depth - 1)), 0, nested(step))], rev=rev))
        depth += step
    deepest = path(*[0] * 4095)
    assert store.apply(1, patch_text([Insert(deepest, 0, 7)], rev=rev + 1))
    before = store.snapshot(1)
    too_deep = "value would be nested deeper than 4096 levels"
    for op in [Insert(deepest, 0, []), Set(path(*[0] * 4096), {"k": None}), Set(path(*[0] * 4095), [[]])]:
        assert error(lambda: store.apply(1, patch_text([op], rev=rev + 2))) == too_deep
        assert store.snapshot(1) == before
    assert store.apply(1, patch_text([Set(path(*[0] * 4096), "leaf"), Set(path(*[0] * 4095), [])], rev=rev + 2))
    assert f'"rev":{rev + 2},' in store.snapshot(1)
    # A value replaced near the top frees the deep chain.
    assert store.apply(1, patch_text([Set(path(0), nested(3, 1))], rev=rev + 3))
    assert snap(store, 1)["value"] == {"List": [{"List": [{"List": [{"List": [{"Int": 1}]}]}]}]}


@given(st.lists(values, min_size=1, max_size=6))
def test_host_mutate_and_mirror(sequence):
    host, mirror = Store(), Store()
    first = text(sequence[0])
    assert host.host("m", first) == mirror.host("m", first) == 1
    for rev, v in enumerate(sequence[1:], start=1):
        patch = host.mutate(1, text(v))
        assert json.loads(patch)["rev"] == rev
        assert mirror.apply(1, patch) is True
        # equal as model values (a mirrored 0.0 may stand for a hosted -0.0)
        assert same(value(json.dumps(snap(mirror, 1)["value"])), v)
        assert snap(mirror, 1)["rev"] == snap(host, 1)["rev"] == rev


# ---- borrows ------------------------------------------------------------------------

class CallsBack:
    """An id whose conversion calls back into the store."""

    def __init__(self, action):
        self.action = action
        self.seen = None

    def __index__(self):
        try:
            self.action()
        except Exception as exc:  # noqa: BLE001
            self.seen = (type(exc), exc.args)
            raise
        return 1


@pytest.mark.parametrize(
    "outer, inner, seen",
    [
        ("mutate", lambda s: s.snapshot(1), (RuntimeError, ("Already mutably borrowed",))),
        ("apply", lambda s: s.snapshot(1), (RuntimeError, ("Already mutably borrowed",))),
        ("mutate", lambda s: s.host("t", DOC), (RuntimeError, ("Already borrowed",))),
        ("apply", lambda s: s.mutate(1, DOC), (RuntimeError, ("Already borrowed",))),
        ("snapshot", lambda s: s.host("t", DOC), (RuntimeError, ("Already borrowed",))),
        ("snapshot", lambda s: s.apply(1, "{"), (RuntimeError, ("Already borrowed",))),
        # the borrow is taken before the arguments are converted...
        ("mutate", lambda s: s.host(1, 2), (RuntimeError, ("Already borrowed",))),
        # ...but after they are counted
        ("mutate", lambda s: s.host(), (TypeError, (
            "Store.host() missing 2 required positional arguments: 'type_name' and 'value_json'",))),
    ],
)
def test_borrow_conflicts(outer, inner, seen):
    store = hosted({"a": 1})
    before = store.snapshot(1)
    ident = CallsBack(lambda: inner(store))
    args = (ident,) if outer == "snapshot" else (ident, DOC if outer == "mutate" else patch_text([]))
    with pytest.raises(seen[0]) as info:
        getattr(store, outer)(*args)
    assert ident.seen == seen
    assert info.value.__notes__ == ["while processing 'id'"]
    # the borrow was released: the store works, unchanged
    assert store.snapshot(1) == before
    assert store.host("t", DOC) == 2


def test_shared_borrows_nest():
    store = hosted({"a": 1})
    inner = []
    ident = CallsBack(lambda: inner.append(store.snapshot(CallsBack(lambda: store.snapshot(1)))))
    assert store.snapshot(ident) == store.snapshot(1)
    assert inner == [store.snapshot(1)]


def test_other_stores_are_not_borrowed():
    a, b = hosted(1), hosted(2)
    ident = CallsBack(lambda: b.mutate(1, text(3)))
    assert a.mutate(ident, text(5)) == patch_text([Set(path(), 5)], rev=1)
    assert snap(b, 1)["rev"] == 1


def test_instances_are_gc_tracked_and_release_their_type():
    import gc
    import sys

    gc.collect()
    baseline = sys.getrefcount(Store)
    stores = [hosted({"a": [1, 2]}) for _ in range(100)]
    assert gc.is_tracked(stores[0])
    assert sys.getrefcount(Store) == baseline + 100
    del stores
    gc.collect()
    assert sys.getrefcount(Store) == baseline
