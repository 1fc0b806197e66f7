"""The private test module `_norvane_oracle`, built beside the module by development and
sanitizer builds and never installed. Its CrdtDocument class is the module's class with
three more methods: `mutate_whole` and `apply_whole`, mutate and apply through the
whole-value reference path (the whole value materialised after every operation), and
`check`, which rebuilds every cache kept beside the node tree and raises ValueError with
the first difference."""

import pytest

REASON = ("_norvane_oracle is not built here: the reference-path tests run on a development or "
          "sanitizer build (PYTHONPATH=build/dev), not on an installed wheel")


def load():
    """The private module; without it the calling test, or the test file at import, is skipped."""
    return pytest.importorskip("_norvane_oracle", reason=REASON)
