"""Every entry point of the module, read from norvane.__all__ and the classes' method
tables, for the suites that must cover each one (low memory, threads, memory, argument
errors): a function, class or method added to the module shows up here by itself, and a
suite that has no case for it fails.

Names: a module function by its name ("diff"), a class's constructor as "Store()", a
method or static method as "Store.host". Private names (a leading underscore) are left out.
"""

import norvane

FUNCTIONS = [name for name in norvane.__all__ if not isinstance(getattr(norvane, name), type)]
CLASSES = [name for name in norvane.__all__ if isinstance(getattr(norvane, name), type)]
METHODS = {cls: [m for m in vars(getattr(norvane, cls)) if not m.startswith("_")] for cls in CLASSES}
NAMES = FUNCTIONS + [name for cls in CLASSES for name in (f"{cls}()", *(f"{cls}.{m}" for m in METHODS[cls]))]


def is_static(name):
    cls, _, method = name.partition(".")
    return bool(method) and isinstance(vars(getattr(norvane, cls))[method], staticmethod)


def qualified(name):
    """The name that the entry frame's binding errors give."""
    return name[:-2] + ".__new__" if name.endswith("()") else name


def unbound(name):
    """The function, class, static method or (unbound) method."""
    cls, _, method = name.removesuffix("()").partition(".")
    obj = getattr(norvane, cls)
    return getattr(obj, method) if method else obj


def target(name, instances):
    """What to call: a method bound to the instance of its class in `instances`, any other
    entry point as it is."""
    cls, _, method = name.partition(".")
    if method and not is_static(name):
        return getattr(instances[cls], method)
    return unbound(name)


def parameters(name):
    """(name, has a default) for each parameter of the text signature, the receiver left out."""
    text = unbound(name).__text_signature__
    params = [p.strip() for p in text[1:-1].split(",") if p.strip() and not p.strip().startswith("$")]
    return [(p.split("=")[0], "=" in p) for p in params]
