"""Plain Python values (None, bool, int, float, str, list, dict) in tagged model JSON."""

import json


def tag(v, sort_keys=False):
    """The tagged form; with `sort_keys`, map keys in the byte order the module writes them."""
    if v is None:
        return "Null"
    if isinstance(v, bool):
        return {"Bool": v}
    if isinstance(v, int):
        return {"Int": v}
    if isinstance(v, float):
        return {"Float": v}
    if isinstance(v, str):
        return {"Str": v}
    if isinstance(v, list):
        return {"List": [tag(x, sort_keys) for x in v]}
    items = sorted(v.items(), key=lambda kv: kv[0].encode()) if sort_keys else v.items()
    return {"Map": {k: tag(x, sort_keys) for k, x in items}}


def text(v):
    """Compact tagged text, as the module writes it."""
    return json.dumps(tag(v, sort_keys=True), separators=(",", ":"), ensure_ascii=False)
