"""CRDT specifications: reading, validation, canonical text, hash and the peer check."""

import hashlib
import inspect
import json

import pytest
from hypothesis import given, strategies as st

import norvane

normalize = norvane.normalize_crdt_spec
spec_hash = norvane.crdt_spec_hash
require = norvane.require_crdt_spec_hash

REG = '{"kind":"register"}'


def error_of(fn, *args):
    with pytest.raises(ValueError) as info:
        fn(*args)
    assert len(info.value.args) == 1
    return info.value.args[0]


def sha(text):
    return "sha256:" + hashlib.sha256(text.encode()).hexdigest()


# ---- the functions themselves --------------------------------------------------------


@pytest.mark.parametrize(
    "name, params, description",
    [
        ("normalize_crdt_spec", ["json"], "Parse, validate, and deterministically serialize a CRDT specification."),
        ("crdt_spec_hash", ["json"], "Return the deterministic SHA-256 hash of a CRDT specification."),
        (
            "require_crdt_spec_hash",
            ["json", "peer_hash"],
            "Reject a peer hash that does not match the local CRDT specification.",
        ),
    ],
)
def test_signature_and_doc(name, params, description):
    fn = getattr(norvane, name)
    assert fn.__text_signature__ == "(" + ", ".join(params) + ")"
    assert fn.__doc__ == description
    assert list(inspect.signature(fn).parameters) == params


def test_startup_positions():
    names = norvane.__all__
    start = names.index("normalize_crdt_spec")
    assert names[start : start + 4] == ["normalize_crdt_spec", "crdt_spec_hash", "require_crdt_spec_hash", "encode"]


# ---- canonical text ---------------------------------------------------------------------

EXAMPLE_IN = (
    '{"root":{"kind":"map","fields":{"title":{"kind":"sequence","materialization":"string"},'
    '"tags":{"kind":"set","keys":[["name"],["id"]],"element":{"kind":"map","fields":'
    '{"name":{"kind":"register"},"id":{"kind":"register"}}}}}}}'
)
EXAMPLE_OUT = (
    '{"version":1,"root":{"kind":"map","fields":{"tags":{"kind":"set","keys":[["id"],["name"]],'
    '"element":{"kind":"map","fields":{"id":{"kind":"register"},"name":{"kind":"register"}},'
    '"values":{"kind":"register"}}},"title":{"kind":"sequence","materialization":"string",'
    '"element":{"kind":"register"}}},"values":{"kind":"register"}}}'
)


@pytest.mark.parametrize(
    "text, canonical",
    [
        ('{"root":{"kind":"register"}}', '{"version":1,"root":{"kind":"register"}}'),
        ('{"root":{"kind":"map"}}', '{"version":1,"root":{"kind":"map","values":{"kind":"register"}}}'),
        ('{"root":{"kind":"set"}}', '{"version":1,"root":{"kind":"set","element":{"kind":"register"}}}'),
        (
            '{"root":{"kind":"sequence"}}',
            '{"version":1,"root":{"kind":"sequence","materialization":"list","element":{"kind":"register"}}}',
        ),
        ('[1,{"kind":"register"}]', '{"version":1,"root":{"kind":"register"}}'),
        ('{"root":["map",{},{"kind":"register"}]}', '{"version":1,"root":{"kind":"map","values":{"kind":"register"}}}'),
        ('{"root":["map"]}', '{"version":1,"root":{"kind":"map","values":{"kind":"register"}}}'),
        # Nested kinds may be indices; a name given twice in "fields" keeps the later policy.
        ('{"root":{"kind":"map","values":{"kind":0}}}', '{"version":1,"root":{"kind":"map","values":{"kind":"register"}}}'),
        (
            '{"root":{"kind":"map","fields":{"a":{"kind":1},"a":{"kind":"register"}}}}',
            '{"version":1,"root":{"kind":"map","fields":{"a":{"kind":"register"}},"values":{"kind":"register"}}}',
        ),
        (
            '{"root":{"kind":"sequence","materialization":{"string":{}}}}',
            '{"version":1,"root":{"kind":"sequence","materialization":"string","element":{"kind":"register"}}}',
        ),
        (
            '{"root":{"kind":"sequence","materialization":{"list":null},"element":{"kind":"map"}}}',
            '{"version":1,"root":{"kind":"sequence","materialization":"list","element":{"kind":"map",'
            '"values":{"kind":"register"}}}}',
        ),
        (
            '{"root":{"kind":"set","keys":[["a","b"]],"element":{"kind":"map","values":{"kind":"map"}}}}',
            '{"version":1,"root":{"kind":"set","keys":[["a","b"]],"element":{"kind":"map","values":'
            '{"kind":"map","values":{"kind":"register"}}}}}',
        ),
        # Escapes are read; names are written with only quote, backslash and controls escaped.
        (
            '{"ro\\u006ft":{"k\\u0069nd":"map","fields":{"\\u00e9\\/\\"\\u0001":{"kind":"register"}}}}',
            '{"version":1,"root":{"kind":"map","fields":{"\u00e9/\\"\\u0001":{"kind":"register"}},'
            '"values":{"kind":"register"}}}',
        ),
        # A key path may stop at a register field of a map whose values are not registers.
        (
            '{"root":{"kind":"set","keys":[["id"]],"element":{"kind":"map","fields":{"id":["register"]},"values":["set"]}}}',
            '{"version":1,"root":{"kind":"set","keys":[["id"]],"element":{"kind":"map","fields":{"id":{"kind":"register"}},'
            '"values":{"kind":"set","element":{"kind":"register"}}}}}',
        ),
        (EXAMPLE_IN, EXAMPLE_OUT),
    ],
)
def test_canonical_text(text, canonical):
    assert normalize(text) == canonical
    assert normalize(canonical) == canonical
    assert spec_hash(text) == sha(canonical)
    assert require(text, sha(canonical)) is None


def test_canonical_example_length():
    assert len(EXAMPLE_OUT.encode()) == 324


# ---- reading errors -----------------------------------------------------------------------

POLICY_FIELDS = "expected one of `register`, `map`, `set`, `sequence`"


@pytest.mark.parametrize(
    "text, message",
    [
        # Top level.
        ("{}", "missing field `root` at line 1 column 2"),
        ("[]", "invalid length 1, expected struct CrdtSpec with 2 elements at line 1 column 2"),
        ("[1]", "invalid length 1, expected struct CrdtSpec with 2 elements at line 1 column 3"),
        ('[{"kind":"register"}]', "invalid type: map, expected u32 at line 1 column 1"),
        (f"[1,{REG},3]", "trailing characters at line 1 column 24"),
        (f'{{"root":{REG}}} x', "trailing characters at line 1 column 30"),
        ("5", "invalid type: integer `5`, expected struct CrdtSpec at line 1 column 1"),
        ('"x"', 'invalid type: string "x", expected struct CrdtSpec at line 1 column 3'),
        ("", "EOF while parsing a value at line 1 column 0"),
        (f'{{"root":{REG},"x":1}}', "unknown field `x`, expected `version` or `root` at line 1 column 31"),
        (f'{{"root":{REG},"root":{REG}}}', "duplicate field `root` at line 1 column 34"),
        (f'{{"version":1,"version":1,"root":{REG}}}', "duplicate field `version` at line 1 column 22"),
        (f'{{"root":{REG}', "EOF while parsing an object at line 1 column 27"),
        # Version: an unsigned 32-bit integer.
        (f'{{"version":-1,"root":{REG}}}', "invalid value: integer `-1`, expected u32 at line 1 column 13"),
        (f'{{"version":1.0,"root":{REG}}}', "invalid type: floating point `1.0`, expected u32 at line 1 column 14"),
        (f'{{"version":null,"root":{REG}}}', "invalid type: null, expected u32 at line 1 column 15"),
        (f'{{"version":"1","root":{REG}}}', 'invalid type: string "1", expected u32 at line 1 column 14'),
        (
            f'{{"version":4294967296,"root":{REG}}}',
            "invalid value: integer `4294967296`, expected u32 at line 1 column 21",
        ),
        # The root policy's own kind entry: where it is met.
        ('{"root":{"kind":0}}', "invalid type: integer `0`, expected variant identifier at line 1 column 17"),
        ('{"root":{"kind":1}}', "invalid type: integer `1`, expected variant identifier at line 1 column 17"),
        ('{"root":[0]}', "invalid type: integer `0`, expected variant identifier at line 1 column 10"),
        ('{"root":{"kind":"Map"}}', f"unknown variant `Map`, {POLICY_FIELDS} at line 1 column 21"),
        ('{"root":{"kind":"map","kind":"set"}}', "duplicate field `kind` at line 1 column 28"),
        ('{"root":5}', "invalid type: integer `5`, expected internally tagged enum CrdtPolicy at line 1 column 9"),
        ('{"root":null}', "invalid type: null, expected internally tagged enum CrdtPolicy at line 1 column 12"),
        (
            '{"root":"register"}',
            'invalid type: string "register", expected internally tagged enum CrdtPolicy at line 1 column 18',
        ),
        # Everything else inside the root policy: where the top-level record stops.
        ('{"root":{}}', "missing field `kind` at line 1 column 11"),
        ('{"root":[]}', "missing field `kind` at line 1 column 11"),
        ('{"root":{"x":1} }', "missing field `kind` at line 1 column 17"),
        ('{"root":{"x":1},"version":1}', "missing field `kind` at line 1 column 15"),
        ('{"root":{"kind":"register","x":1}}', "unknown field `x`, there are no fields at line 1 column 34"),
        ('{"root":{"kind":"register","x":1} }', "unknown field `x`, there are no fields at line 1 column 35"),
        ('{"root":{"kind":"register","x":1},"version":1}', "unknown field `x`, there are no fields at line 1 column 33"),
        ('[1,{"kind":"register","x":1}]', "unknown field `x`, there are no fields at line 1 column 29"),
        ('{"root":{"kind":"register","element":{"kind":"register"}}}', "unknown field `element`, there are no fields at line 1 column 58"),
        ('{"root":{"kind":"map","x":1}}', "unknown field `x`, expected `fields` or `values` at line 1 column 29"),
        ('{"root":{"kind":"set","x":1}}', "unknown field `x`, expected `keys` or `element` at line 1 column 29"),
        ('{"root":{"kind":"sequence","x":1}}', "unknown field `x`, expected `materialization` or `element` at line 1 column 34"),
        (f'{{"root":{{"kind":"map","values":{REG},"values":{REG}}}}}', "duplicate field `values` at line 1 column 81"),
        ('{"root":["register",5]}', "invalid length 1, expected 0 elements in sequence at line 1 column 23"),
        ('{"root":["map",{},{"kind":"register"},7]}', "invalid length 3, expected 2 elements in sequence at line 1 column 41"),
        ('{"root":{"kind":"map","values":null}}', "invalid type: null, expected internally tagged enum CrdtPolicy at line 1 column 37"),
        ('{"root":{"kind":"map","fields":5}}', "invalid type: integer `5`, expected a map at line 1 column 34"),
        ('{"root":{"kind":"map","fields":[]}}', "invalid type: sequence, expected a map at line 1 column 35"),
        ('{"root":{"kind":"set","keys":[[1]]}}', "invalid type: integer `1`, expected a string at line 1 column 36"),
        ('{"root":{"kind":"set","keys":["a"]}}', 'invalid type: string "a", expected a sequence at line 1 column 36'),
        ('{"root":{"kind":"set","keys":null}}', "invalid type: null, expected a sequence at line 1 column 35"),
        ('{"root":{"kind":"sequence","materialization":"text"}}', "unknown variant `text`, expected `list` or `string` at line 1 column 53"),
        ('{"root":{"kind":"sequence","materialization":{"text":null}}}', "unknown variant `text`, expected `list` or `string` at line 1 column 60"),
        ('{"root":{"kind":"sequence","materialization":{"string":5}}}', "invalid type: integer `5`, expected unit at line 1 column 59"),
        ('{"root":{"kind":"sequence","materialization":{}}}', "invalid value: map, expected map with a single key at line 1 column 49"),
        (
            '{"root":{"kind":"sequence","materialization":{"list":null,"string":null}}}',
            "invalid value: map, expected map with a single key at line 1 column 74",
        ),
        ('{"root":{"kind":"sequence","materialization":null}}', "invalid type: null, expected string or map at line 1 column 51"),
        # Nested policies: kinds as names or indices 0..3.
        ('{"root":{"kind":"map","values":{"kind":4}}}', "invalid value: integer `4`, expected variant index 0 <= i < 4 at line 1 column 43"),
        ('{"root":{"kind":"map","values":{"kind":-1}}}', "invalid type: integer `-1`, expected variant identifier at line 1 column 44"),
        ('{"root":{"kind":"map","values":{"kind":1.5}}}', "invalid type: floating point `1.5`, expected variant identifier at line 1 column 45"),
        ('{"root":{"kind":"map","values":{"kind":true}}}', "invalid type: boolean `true`, expected variant identifier at line 1 column 46"),
        ('{"root":{"kind":"map","values":{"kind":"Map"}}}', f"unknown variant `Map`, {POLICY_FIELDS} at line 1 column 47"),
        ('{"root":{"kind":"map","values":{}}}', "missing field `kind` at line 1 column 35"),
        ('{"root":{"kind":"map","values":[]}}', "missing field `kind` at line 1 column 35"),
        ('{"root":{"kind":"map","values":{"kind":"set","kind":"set"}}}', "duplicate field `kind` at line 1 column 60"),
        ('{"root":{"kind":"map","values":{"kind":"set","x":1}}}', "unknown field `x`, expected `keys` or `element` at line 1 column 53"),
        ('{"root":{"kind":"map","values":[3,"list",[0],1]}}', "invalid length 3, expected 2 elements in sequence at line 1 column 49"),
        # Fields are read before surplus elements are counted.
        ('{"root":{"kind":"map","values":[3,"list",{},1]}}', "missing field `kind` at line 1 column 48"),
    ],
)
def test_reading_errors(text, message):
    assert error_of(normalize, text) == message
    assert error_of(spec_hash, text) == message
    # An invalid CRDT specification fails the peer check with its own message.
    assert error_of(require, text, sha(text)) == message


# ---- version and validation -----------------------------------------------------------------

MAP_ID = '{"kind":"map","fields":{"id":{"kind":"register"}}}'


@pytest.mark.parametrize(
    "text, message",
    [
        (f'{{"version":2,"root":{REG}}}', "unsupported CRDT spec version 2; expected 1"),
        (f'{{"version":0,"root":{REG}}}', "unsupported CRDT spec version 0; expected 1"),
        (f'[4294967295,{REG}]', "unsupported CRDT spec version 4294967295; expected 1"),
        # The version is checked before the tree's rules.
        ('{"version":2,"root":{"kind":"map","fields":{"":{"kind":"register"}}}}', "unsupported CRDT spec version 2; expected 1"),
        ('{"root":{"kind":"map","fields":{"":{"kind":"register"}}}}', "root.fields contains an empty field name"),
        # The empty name sorts first, so it is found before any field's own policy.
        (
            '{"root":{"kind":"map","fields":{"a":{"kind":"map","fields":{"":{"kind":"register"}}},"":{"kind":"register"}}}}',
            "root.fields contains an empty field name",
        ),
        (
            '{"root":{"kind":"map","fields":{"b":{"kind":"map","fields":{"":{"kind":"map"}}},"a":{"kind":"set","keys":[[]]}}}}',
            "root.fields.a.keys contains an empty identity path or path segment",
        ),
        (f'{{"root":{{"kind":"set","keys":[["id"],["id"]],"element":{MAP_ID}}}}}', 'root.keys contains duplicate path ["id"]'),
        ('{"root":{"kind":"set","keys":[["a","b"]],"element":{"kind":"map"}}}', 'root.keys path ["a", "b"] is not reachable in the element policy'),
        ('{"root":{"kind":"set","keys":[[]]}}', "root.keys contains an empty identity path or path segment"),
        ('{"root":{"kind":"set","keys":[["a",""]]}}', "root.keys contains an empty identity path or path segment"),
        ('{"root":{"kind":"set","keys":[["x"]]}}', 'root.keys path ["x"] is not reachable in the element policy'),
        (
            '{"root":{"kind":"set","keys":[["x"]],"element":{"kind":"map","fields":{"x":{"kind":"set"}}}}}',
            'root.keys path ["x"] must resolve to a register',
        ),
        # Paths are checked in input order; the element is checked before any path.
        (
            f'{{"root":{{"kind":"set","keys":[["id"],["a",""],["id"]],"element":{MAP_ID}}}}}',
            "root.keys contains an empty identity path or path segment",
        ),
        (
            '{"root":{"kind":"set","keys":[[]],"element":{"kind":"set","keys":[["q"]]}}}',
            'root.element.keys path ["q"] is not reachable in the element policy',
        ),
        # Debug text of the path segments.
        (
            '{"root":{"kind":"set","keys":[["a\\"b\\\\c\\n\\t\'"]]}}',
            'root.keys path ["a\\"b\\\\c\\n\\t\'"] is not reachable in the element policy',
        ),
        ('{"root":{"kind":"sequence","materialization":"string","element":{"kind":"map"}}}', "root.element must be a register for string materialization"),
        (
            '{"root":{"kind":"sequence","materialization":"string","element":{"kind":"map","fields":{"":{"kind":"register"}}}}}',
            "root.element must be a register for string materialization",
        ),
        ('{"root":{"kind":"sequence","element":{"kind":"map","fields":{"":{"kind":"register"}}}}}', "root.element.fields contains an empty field name"),
        # Policy paths: names unquoted and unescaped.
        (
            '{"root":{"kind":"map","fields":{"tags":{"kind":"set","element":{"kind":"sequence","materialization":"string","element":{"kind":"set"}}}}}}',
            "root.fields.tags.element.element must be a register for string materialization",
        ),
        (
            '{"root":{"kind":"map","values":{"kind":"map","fields":{"a.b \\"c\\"":{"kind":"set","keys":[["z"]]}}}}}',
            'root.values.fields.a.b "c".keys path ["z"] is not reachable in the element policy',
        ),
    ],
)
def test_version_and_validation_errors(text, message):
    assert error_of(normalize, text) == message
    assert error_of(spec_hash, text) == message
    assert error_of(require, text, "") == message


# ---- equivalent writings ---------------------------------------------------------------------

EQUIVALENT = [
    EXAMPLE_IN,
    EXAMPLE_OUT,
    # Whitespace, key order, version and defaults spelled out.
    """ { "root" : { "fields" : { "tags" : { "element" : { "values" : {"kind":"register"}, "kind" : "map",
        "fields" : { "id" : {"kind":"register"}, "name" : ["register"] } }, "keys" : [ ["id"], ["name"] ],
        "kind" : "set" }, "title" : { "element" : {"kind":0}, "materialization" : {"string":null},
        "kind" : "sequence" } }, "values":{"kind":"register"}, "kind" : "map" }, "version" : 1 }\r\n\t""",
    # Array forms throughout, identity paths in another order.
    '[1,["map",{"title":["sequence","string"],"tags":["set",[["name"],["id"]],'
    '[1,{"name":[0],"id":{"kind":"register"}},[0]]]},["register"]]]',
]


def test_equivalent_writings_share_text_and_hash():
    texts = {normalize(t) for t in EQUIVALENT}
    hashes = {spec_hash(t) for t in EQUIVALENT}
    assert texts == {EXAMPLE_OUT}
    assert hashes == {sha(EXAMPLE_OUT)}


def test_letter_case_of_names_matters():
    a = '{"root":{"kind":"map","fields":{"Title":{"kind":"register"}}}}'
    b = '{"root":{"kind":"map","fields":{"title":{"kind":"register"}}}}'
    assert spec_hash(a) != spec_hash(b)


# ---- the peer check -----------------------------------------------------------------------------


def test_require_matches_exactly():
    local = spec_hash(EXAMPLE_IN)
    assert require(EXAMPLE_IN, local) is None
    assert require(EXAMPLE_OUT, local) is None
    for peer in ["", local.upper(), local[len("sha256:"):], f" {local}", f"{local}\n", local[:-1] + "0", "ü"]:
        if peer == local:
            continue
        assert error_of(require, EXAMPLE_IN, peer) == f"incompatible CRDT spec: local hash {local}, peer hash {peer}"


def test_require_converts_both_arguments_first():
    with pytest.raises(TypeError) as info:
        require("not json", None)
    assert info.value.__notes__ == ["while processing 'peer_hash'"]
    with pytest.raises(TypeError) as info:
        require(json=1, peer_hash="x")
    assert info.value.__notes__ == ["while processing 'json'"]


# ---- bad input -------------------------------------------------------------------------------


def nested(depth, inner=REG):
    return '{"root":' + '{"kind":"map","values":' * depth + inner + "}" * depth + "}"


def nested_arrays(depth):
    return "[1," + '["sequence","list",' * depth + '["register"]' + "]" * depth + "]"


def test_nesting_up_to_and_past_the_limit():
    # 127 nested arrays and objects are read; the top level counts as one.
    assert normalize(nested(125)).count('"values"') == 125
    assert normalize(nested_arrays(125)).count('"element"') == 125
    assert error_of(normalize, nested(126)) == "recursion limit exceeded at line 1 column 2907"
    assert error_of(normalize, nested_arrays(126)) == "recursion limit exceeded at line 1 column 2398"
    assert error_of(normalize, nested(5000)).startswith("recursion limit exceeded at line 1 column ")


def test_huge_identity_path_lists():
    n = 20000
    keys = [[f"k{i:05d}", "x"] for i in range(n)][::-1]
    element = {"kind": "map", "values": {"kind": "map"}}
    text = json.dumps({"root": {"kind": "set", "keys": keys, "element": element}})
    canonical = normalize(text)
    assert json.loads(canonical)["root"]["keys"] == sorted(keys)
    assert spec_hash(text) == sha(canonical)
    dup = json.dumps({"root": {"kind": "set", "keys": keys + [["k00007", "x"]], "element": element}})
    assert error_of(normalize, dup) == 'root.keys contains duplicate path ["k00007", "x"]'


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"root":{"kind":"map","fields":{"\\ud800":{"kind":"register"}}}}', "unexpected end of hex escape at line 1 column 40"),
        ('{"root":{"kind":"map","fields":{"\\udc00":{"kind":"register"}}}}', "lone leading surrogate in hex escape at line 1 column 39"),
        ('{"root":{"kind":"map","fields":{"\\x":{"kind":"register"}}}}', "invalid escape at line 1 column 35"),
        ('{"root":{"kind":"map","fields":{"\\u12":{"kind":"register"}}}}', "invalid escape at line 1 column 39"),
        ('{"root":{"kind":"re\\u0067ister\\q"}}', "invalid escape at line 1 column 32"),
        ('{"root":{"kind":"set","keys":[["\x01"]]}}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 33"),
        ('{"root":{"kind":"map","fields":{"a":{"kind":"register"},}}}', "trailing comma at line 1 column 57"),
    ],
)
def test_invalid_text_inside_policies(text, message):
    assert error_of(normalize, text) == message


# ---- generated policy trees ------------------------------------------------------------------------

names = st.text(st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=4)


def register_paths(policy, depth=3):
    """Identity paths from a set's element down to a register (without the empty path)."""
    kind = policy[0]
    if kind == "register":
        return [[]]
    if kind != "map" or depth == 0:
        return []
    _, fields, values = policy
    out = [[name] + rest for name, child in fields.items() for rest in register_paths(child, depth - 1)]
    other = "w"
    while other in fields:
        other += "w"
    out += [[other] + rest for rest in register_paths(values, depth - 1)]
    return out


def with_keys(element):
    candidates = [p for p in register_paths(element) if p]
    if not candidates:
        return st.just(("set", [], element))
    keys = st.lists(st.sampled_from(candidates), unique_by=tuple, max_size=4)
    return keys.map(lambda ks: ("set", ks, element))


def extend(children):
    return st.one_of(
        st.tuples(st.just("map"), st.dictionaries(names, children, max_size=3), children),
        st.tuples(st.just("sequence"), st.just("list"), children),
        st.just(("sequence", "string", ("register",))),
        children.flatmap(with_keys),
    )


policies = st.recursive(st.just(("register",)), extend, max_leaves=10)


def canonical_policy(p):
    """The canonical form, built independently of the module, as plain JSON data."""
    kind = p[0]
    out = {"kind": kind}
    if kind == "map":
        if p[1]:
            out["fields"] = {name: canonical_policy(p[1][name]) for name in sorted(p[1])}
        out["values"] = canonical_policy(p[2])
    elif kind == "set":
        if p[1]:
            out["keys"] = sorted(p[1])
        out["element"] = canonical_policy(p[2])
    elif kind == "sequence":
        out["materialization"] = p[1]
        out["element"] = canonical_policy(p[2])
    return out


def dumps(x):
    return json.dumps(x, ensure_ascii=False, separators=(",", ":"))


class Obj(list):
    """An object written member by member (order and repeats kept)."""


def emit(x, sep):
    if isinstance(x, Obj):
        return "{" + sep.join(json.dumps(k) + ":" + emit(v, sep) for k, v in x) + "}"
    if isinstance(x, list):
        return "[" + sep.join(emit(v, sep) for v in x) + "]"
    return json.dumps(x)


KIND_INDEX = {"register": 0, "map": 1, "set": 2, "sequence": 3}


def render(draw, p, root):
    """Some writing of the policy that reads back as it."""
    kind = p[0]
    tag = KIND_INDEX[kind] if not root and draw(st.booleans()) else kind
    if kind == "register":
        return Obj([("kind", tag)]) if draw(st.booleans()) else [tag]
    if kind == "map":
        items = list(p[1].items())
        fields = Obj(draw(st.permutations(items)) if items else [])
        fields = Obj((k, render(draw, v, False)) for k, v in fields)
        first = fields if items or draw(st.booleans()) else None
    elif kind == "set":
        first = draw(st.permutations(p[1])) if p[1] or draw(st.booleans()) else None
    else:
        mat = p[1]
        first = draw(st.sampled_from([mat, Obj([(mat, None)]), Obj([(mat, Obj())])]))
        if mat == "list" and draw(st.booleans()):
            first = None
    second = render(draw, p[2], False) if p[2] != ("register",) or draw(st.booleans()) else None
    names_ = {"map": ("fields", "values"), "set": ("keys", "element"), "sequence": ("materialization", "element")}[kind]
    if draw(st.booleans()):
        members = [("kind", tag)] + [(n, v) for n, v in zip(names_, (first, second)) if v is not None]
        return Obj(draw(st.permutations(members)))
    elements = [tag, first if first is not None else _default(kind), second if second is not None else ["register"]]
    while len(elements) > 1 and elements[-1] == _default_at(kind, len(elements) - 1):
        elements.pop()
    return elements


def _default(kind):
    return {"map": Obj(), "set": [], "sequence": "list"}[kind]


def _default_at(kind, i):
    return _default(kind) if i == 1 else ["register"]


@given(policies, st.data())
def test_generated_trees_round_trip(policy, data):
    canonical = dumps({"version": 1, "root": canonical_policy(policy)})
    root = render(data.draw, policy, True)
    top = data.draw(st.sampled_from(["object", "versioned", "array"]))
    sep = data.draw(st.sampled_from([",", ", ", " ,\n "]))
    if top == "array":
        text = "[1" + sep + emit(root, sep) + "]"
    else:
        members = [("root", root)] + ([("version", 1)] if top == "versioned" else [])
        text = emit(Obj(data.draw(st.permutations(members))), sep)
    assert normalize(text) == canonical
    assert normalize(canonical) == canonical
    digest = spec_hash(text)
    assert digest == sha(canonical)
    assert len(digest) == 71 and set(digest[7:]) <= set("0123456789abcdef")
    assert require(canonical, digest) is None
