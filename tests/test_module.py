"""Module start-up and the argument frame shared by every module function, class and method."""

import importlib.util
import inspect

import pytest

import entry_points
import norvane

# Every name the module exports, in start-up order; names still being built are absent.
STARTUP_ORDER = [
    "diff", "apply",
    "normalize_crdt_spec", "crdt_spec_hash", "require_crdt_spec_hash",
    "encode", "decode", "encode_as", "decode_as",
    "json_to_msgpack", "msgpack_to_json", "json_to_cbor", "cbor_to_json",
    "normalize_message", "encode_message", "decode_message",
    "ClientState", "CrdtDocument", "Store",
]

CONVERSIONS = {
    "encode": (["value"], "Encode a JSON-encoded model to codec bytes."),
    "decode": (["data"], "Decode codec bytes back to a JSON-encoded model string."),
    "encode_as": (
        ["value", "codec"],
        'Encode a JSON-encoded model with the codec named by `codec` (e.g. `"application/msgpack"`).',
    ),
    "decode_as": (
        ["data", "codec"],
        "Decode bytes (produced by `codec`'s codec) back to a JSON-encoded model string.",
    ),
    "json_to_msgpack": (
        ["json"],
        "Convert an arbitrary JSON document to MessagePack bytes (for encoding whole protocol messages).",
    ),
    "msgpack_to_json": (["data"], "Convert MessagePack bytes back to a JSON document."),
    "json_to_cbor": (
        ["json"],
        "Convert an arbitrary JSON document to CBOR bytes (for encoding whole protocol messages).",
    ),
    "cbor_to_json": (["data"], "Convert CBOR bytes back to a JSON document."),
}

STANDARD_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def outcome(fn, *args, **kwargs):
    """What a call gives: its result, or its exception's type, args and notes."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001
        return (type(exc), exc.args, getattr(exc, "__notes__", None))


def raises(fn, *args, **kwargs):
    with pytest.raises(Exception) as info:
        fn(*args, **kwargs)
    return info.value


# ---- start-up surface ---------------------------------------------------------------


def test_all_lists_built_names_in_startup_order():
    assert set(CONVERSIONS) <= set(norvane.__all__)
    assert norvane.__all__ == [n for n in STARTUP_ORDER if hasattr(norvane, n)]


def test_module_doc_is_empty():
    assert norvane.__doc__ == ""


def test_no_attributes_beyond_exports():
    assert set(vars(norvane)) == STANDARD_ATTRIBUTES | {"__all__"} | set(norvane.__all__)


def test_fresh_module_object_gets_its_own_exports():
    spec = importlib.util.find_spec("norvane")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other is not norvane
    assert other.__all__ == norvane.__all__ and other.__all__ is not norvane.__all__
    assert other.encode.__self__ is other


class ListOfNames(list):
    pass


@pytest.mark.parametrize("existing", [["first"], ListOfNames(["first"])])
def test_startup_appends_to_an_existing_all_list(existing):
    spec = importlib.util.find_spec("norvane")
    other = importlib.util.module_from_spec(spec)
    other.__all__ = existing
    spec.loader.exec_module(other)
    assert other.__all__ is existing
    assert existing == ["first"] + norvane.__all__


def test_startup_refuses_an_all_that_is_not_a_list():
    spec = importlib.util.find_spec("norvane")
    other = importlib.util.module_from_spec(spec)
    other.__all__ = ("first",)
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(other)
    assert info.value.args == ("'tuple' object is not an instance of 'list'",)
    assert not hasattr(other, "diff")


@pytest.mark.parametrize("name", CONVERSIONS)
def test_function_signature_and_doc(name):
    params, description = CONVERSIONS[name]
    fn = getattr(norvane, name)
    assert fn.__name__ == name
    assert fn.__module__ == "norvane"
    assert fn.__self__ is norvane
    assert fn.__text_signature__ == "(" + ", ".join(params) + ")"
    assert fn.__doc__ == description
    sig = inspect.signature(fn)
    assert list(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


# ---- argument binding ---------------------------------------------------------------


@pytest.mark.parametrize(
    "name, args",
    [
        ("encode", ('"Null"',)),
        ("decode", (b'"Null"',)),
        ("encode_as", ('"Null"', "application/msgpack")),
        ("decode_as", (b"\xc0", "application/cbor")),
        ("json_to_cbor", ("[1]",)),
        ("msgpack_to_json", (b"\x91\x01",)),
    ],
)
def test_keyword_and_mixed_calls_match_positional(name, args):
    fn = getattr(norvane, name)
    params = CONVERSIONS[name][0]
    expected = outcome(fn, *args)
    assert outcome(fn, **dict(zip(params, args))) == expected
    assert outcome(fn, *args[:1], **dict(zip(params[1:], args[1:]))) == expected
    assert outcome(fn, **dict(reversed(list(zip(params, args))))) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: norvane.encode(), "encode() missing 1 required positional argument: 'value'"),
        (lambda: norvane.encode_as("x"), "encode_as() missing 1 required positional argument: 'codec'"),
        (lambda: norvane.encode_as(codec="x"), "encode_as() missing 1 required positional argument: 'value'"),
        (lambda: norvane.decode_as(), "decode_as() missing 2 required positional arguments: 'data' and 'codec'"),
        (lambda: norvane.encode("a", "b"), "encode() takes 1 positional argument but 2 were given"),
        (lambda: norvane.encode_as("a", "b", "c"), "encode_as() takes 2 positional arguments but 3 were given"),
        (lambda: norvane.encode(x=1), "encode() got an unexpected keyword argument 'x'"),
        (lambda: norvane.encode("a", **{"ü": 1}), "encode() got an unexpected keyword argument 'ü'"),
        (lambda: norvane.encode("a", value="b"), "encode() got multiple values for argument 'value'"),
        (lambda: norvane.decode_as(b"", b"", codec="c"), "decode_as() got multiple values for argument 'codec'"),
        # Too many positional arguments is reported before any keyword problem,
        # and keyword problems before missing arguments.
        (lambda: norvane.encode("a", "b", x=1), "encode() takes 1 positional argument but 2 were given"),
        (lambda: norvane.encode_as(x=1), "encode_as() got an unexpected keyword argument 'x'"),
        # Binding fails before any argument is converted.
        (lambda: norvane.encode_as(1), "encode_as() missing 1 required positional argument: 'codec'"),
    ],
)
def test_binding_errors(call, message):
    exc = raises(call)
    assert type(exc) is TypeError
    assert exc.args == (message,)
    assert not hasattr(exc, "__notes__")


# ---- argument conversion ------------------------------------------------------------


class Text(str):
    pass


class Data(bytes):
    pass


@pytest.mark.parametrize(
    "call, exc_type, message, param",
    [
        (lambda: norvane.encode(1), TypeError, "'int' object is not an instance of 'str'", "value"),
        (lambda: norvane.encode(None), TypeError, "'None' is not an instance of 'str'", "value"),
        (lambda: norvane.encode(b"x"), TypeError, "'bytes' object is not an instance of 'str'", "value"),
        (lambda: norvane.json_to_msgpack(json=[]), TypeError, "'list' object is not an instance of 'str'", "json"),
        (lambda: norvane.encode_as("x", 2.5), TypeError, "'float' object is not an instance of 'str'", "codec"),
        (lambda: norvane.decode(bytearray(b"x")), TypeError, "'bytearray' object is not an instance of 'bytes'", "data"),
        (lambda: norvane.cbor_to_json(memoryview(b"x")), TypeError, "'memoryview' object is not an instance of 'bytes'", "data"),
        (lambda: norvane.msgpack_to_json("x"), TypeError, "'str' object is not an instance of 'bytes'", "data"),
        (lambda: norvane.decode_as(b"x", None), TypeError, "'None' is not an instance of 'str'", "codec"),
        (lambda: norvane.encode_as("x", Text), TypeError, "'type' object is not an instance of 'str'", "codec"),
        # Conversion runs in declaration order and stops at the first failure.
        (lambda: norvane.decode_as(codec=1, data=2), TypeError, "'int' object is not an instance of 'bytes'", "data"),
    ],
)
def test_conversion_errors_carry_note(call, exc_type, message, param):
    exc = raises(call)
    assert type(exc) is exc_type
    assert exc.args == (message,)
    assert exc.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda: norvane.encode("\ud800"), "value"),
        (lambda: norvane.encode_as('"Null"', "application/json\udfff"), "codec"),
        (lambda: norvane.json_to_cbor(Text("[\udc80]")), "json"),
    ],
)
def test_lone_surrogate_keeps_encoding_error(call, param):
    exc = raises(call)
    assert type(exc) is UnicodeEncodeError
    assert exc.encoding == "utf-8"
    assert exc.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    "name, plain, subclassed",
    [
        ("decode", (b'"Null"',), (Data(b'"Null"'),)),
        ("msgpack_to_json", (b"\xc0",), (Data(b"\xc0"),)),
        ("decode_as", (b"\xf6", "application/cbor"), (Data(b"\xf6"), Text("application/cbor"))),
        ("encode", ('"Null"',), (Text('"Null"'),)),
    ],
)
def test_subclasses_of_str_and_bytes_accepted(name, plain, subclassed):
    fn = getattr(norvane, name)
    assert outcome(fn, *subclassed) == outcome(fn, *plain)


def test_own_failure_is_plain_value_error():
    exc = raises(norvane.decode_as, b"", "no/such-codec")
    assert type(exc) is ValueError
    assert len(exc.args) == 1 and isinstance(exc.args[0], str)
    assert not hasattr(exc, "__notes__")


# ---- every entry point (read from __all__ and the classes' method tables) ------------

# A value of the right type for a parameter, one of the wrong type, and the conversion
# error that the wrong one gives. Parameters named `data` take bytes, ids an int; every
# other parameter takes text.
PARAMETER_TYPES = {
    "data": (b"x", "x", "'str' object is not an instance of 'bytes'"),
    "id": (1, "x", "'str' object cannot be interpreted as an integer"),
}
TEXT = ("x", 1, "'int' object is not an instance of 'str'")


def instances():
    return {"ClientState": norvane.ClientState(), "Store": norvane.Store(),
            "CrdtDocument": norvane.CrdtDocument('{"root":{"kind":"map"}}', '{"Map":{}}', "a")}


def names_text(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def binding_texts(name):
    """(too many positional arguments, an unknown keyword, no arguments at all) for the entry
    point, as the interpreter words them; None where a call cannot fail that way."""
    q, params = entry_points.qualified(name), entry_points.parameters(name)
    if not params and not name.endswith("()"):
        return f"{q}() takes no arguments (1 given)", f"{q}() takes no keyword arguments", None
    n, required = len(params), [p for p, default in params if not default]
    takes = str(n) if len(required) == n else f"from {len(required)} to {n}"
    many = f"{q}() takes {takes} positional argument{'' if takes == '1' else 's'} but {n + 1} " + \
        ("was" if n == 0 else "were") + " given"
    missing = (f"{q}() missing {len(required)} required positional argument{'' if len(required) == 1 else 's'}: "
               + names_text(required)) if required else None
    return many, f"{q}() got an unexpected keyword argument 'nope'", missing


@pytest.mark.parametrize("name", entry_points.NAMES)
def test_every_entry_point_binds_its_arguments(name):
    fn = entry_points.target(name, instances())
    good = [PARAMETER_TYPES.get(p, TEXT)[0] for p, _ in entry_points.parameters(name)]
    many, keyword, missing = binding_texts(name)
    for call, message in ((lambda: fn(*good, good[-1] if good else 1), many), (lambda: fn(nope=1), keyword),
                          (lambda: fn(), missing)):
        if message is not None:
            exc = raises(call)
            assert (type(exc), exc.args, getattr(exc, "__notes__", None)) == (TypeError, (message,), None)


@pytest.mark.parametrize("name", [n for n in entry_points.NAMES if entry_points.parameters(n)])
def test_every_parameter_converts_in_declaration_order(name):
    params = entry_points.parameters(name)
    good, wrong = ([PARAMETER_TYPES.get(p, TEXT)[k] for p, _ in params] for k in (0, 1))
    for i, (param, _) in enumerate(params):
        # every later parameter is wrong too: the first wrong one is reported
        args = good[:i] + wrong[i:]
        message = PARAMETER_TYPES.get(param, TEXT)[2]
        exc = raises(entry_points.target(name, instances()), *args)
        assert (type(exc), exc.args, exc.__notes__) == (TypeError, (message,), [f"while processing '{param}'"])
