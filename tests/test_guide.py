"""The examples of the user's guide and the README run as written and print what they show.

Every ```pycon block of docs/guide.md and README.md is an interpreter session. The blocks of
one "## " section run in order in one namespace, so a section's later examples may use what its
earlier ones made; each section starts afresh. Any other Python block is refused, so that no
example in the documents goes untested.
"""

import doctest
import pathlib
import re
import tomllib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", ROOT / "docs" / "guide.md"]
FENCE = re.compile(r"^```(\S*)[ \t]*$")
PYTHON_TAGS = {"py", "python", "python3", "pycon"}


def sections(path):
    """(heading, [(first line number, block text)]) for each "## " section holding pycon blocks."""
    found, heading, blocks = [], "(top)", []
    lines = path.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("## "):
            if blocks:
                found.append((heading, blocks))
            heading, blocks = line[3:].strip(), []
        match = FENCE.match(line)
        if match:
            tag, start = match.group(1), i + 1
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                i += 1
            if i == len(lines):
                raise AssertionError(f"{path.name}:{start}: unclosed code block")
            if tag in PYTHON_TAGS:
                if tag != "pycon":
                    raise AssertionError(
                        f"{path.name}:{start}: a Python example must be a ```pycon session")
                blocks.append((start, "\n".join(lines[start:i]) + "\n"))
        i += 1
    if blocks:
        found.append((heading, blocks))
    return found


CASES = [(path, heading, blocks) for path in DOCUMENTS for heading, blocks in sections(path)]


def _installed_version_or_fake(monkeypatch, tmp_path):
    """Without an installed distribution (a build directory on PYTHONPATH), give the package
    metadata of the version pyproject.toml declares, which is what an install records."""
    import importlib.metadata

    try:
        importlib.metadata.version("norvane")
    except importlib.metadata.PackageNotFoundError:
        project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
        info = tmp_path / f"norvane-{project['version']}.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(
            f"Metadata-Version: 2.1\nName: norvane\nVersion: {project['version']}\n",
            encoding="utf-8")
        monkeypatch.syspath_prepend(str(tmp_path))


@pytest.mark.parametrize(
    "path, heading, blocks", CASES,
    ids=[f"{path.name}:{heading}" for path, heading, _ in CASES])
def test_examples(path, heading, blocks, monkeypatch, tmp_path):
    _installed_version_or_fake(monkeypatch, tmp_path)
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=0)
    report = []
    namespace = {"__name__": "guide"}
    for start, text in blocks:
        test = doctest.DocTest(parser.get_examples(text), namespace, f"{path.name}: {heading}",
                               str(path), start, text)
        assert test.examples, f"{path.name}:{start}: a pycon block without examples"
        runner.run(test, out=report.append, clear_globs=False)
        namespace = test.globs  # DocTest works on a copy; the next block goes on from here
    assert runner.failures == 0, "".join(report)


def test_the_guide_uses_every_function_and_method():
    """The functions and classes of the module all appear in some example of the guide."""
    import norvane

    text = "".join(t for path, _, blocks in CASES if path.name == "guide.md" for _, t in blocks)
    missing = [name for name in norvane.__all__ if f"norvane.{name}" not in text
               and f".{name}(" not in text]
    assert not missing
    for cls in (norvane.ClientState, norvane.CrdtDocument, norvane.Store):
        methods = [m for m in vars(cls) if not m.startswith("_")]
        assert [m for m in methods if f".{m}(" not in text] == [], cls.__name__
