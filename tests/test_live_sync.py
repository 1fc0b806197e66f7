"""The road of a change, host to client and back, through the connection codecs."""

import json
import pathlib
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import norvane

CODECS = ["application/json", "application/msgpack", "application/cbor"]
EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "live_sync.py"


def compact(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False)


def wire(message_json, codec):
    return norvane.decode_message(norvane.encode_message(message_json, codec), codec)


def tagged(value):
    """Plain JSON data as tagged model JSON."""
    if value is None:
        return "Null"
    if isinstance(value, bool):
        return {"Bool": value}
    if isinstance(value, int):
        return {"Int": value}
    if isinstance(value, str):
        return {"Str": value}
    if isinstance(value, list):
        return {"List": [tagged(v) for v in value]}
    return {"Map": {k: tagged(v) for k, v in value.items()}}


plain = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**63 - 1) | st.text(max_size=4),
    lambda c: st.lists(c, max_size=3) | st.dictionaries(st.text(max_size=3), c, max_size=3),
    max_leaves=8,
)


def follow(versions, codecs, stale_at=None):
    """Host the first version, mutate through the rest; the client follows through the codecs."""
    host, client = norvane.Store(), norvane.ClientState()
    mid = host.host("Doc", compact(tagged(versions[0])))
    snap = json.loads(host.snapshot(mid))
    message = compact({"t": "snapshot", "id": mid, "type": snap["type_name"], "rev": snap["rev"],
                       "value": snap["value"]})
    effect = client.prepare(wire(message, codecs[0]))
    assert effect == f'{{"effect":"snapshot","id":{mid},"rev":0}}'
    copy = compact(json.loads(message)["value"])
    client.commit(effect)
    sent = []
    for i, version in enumerate(versions[1:]):
        patch = host.mutate(mid, compact(tagged(version)))
        sent.append(f'{{"t":"patch","id":{mid},"patch":{patch}}}')
        received = wire(sent[-1], codecs[i % len(codecs)])
        effect = json.loads(client.prepare(received))
        assert effect == {"effect": "patch", "id": mid, "rev": i + 1}
        copy = norvane.apply(copy, compact(json.loads(received)["patch"]))
        client.commit(compact(effect))
        if stale_at == i:
            old = wire(sent[0], codecs[-1])
            stale = client.prepare(old)
            assert stale == f'{{"effect":"stale_patch","id":{mid},"rev":1}}'
            client.commit(stale)
    return host, client, mid, copy


@pytest.mark.parametrize("codecs", [[c] for c in CODECS] + [CODECS])
def test_road_host_to_client(codecs):
    versions = [{"a": 1}, {"a": 2}, {"a": 2, "b": [1, "x"]}, {"b": [None, "x", True]}, {"b": []}]
    host, client, mid, copy = follow(versions, codecs, stale_at=2)
    final = json.loads(host.snapshot(mid))
    assert json.loads(copy) == final["value"] == tagged(versions[-1])
    assert client.revisions() == f'{{"{mid}":4}}' and final["rev"] == 4


@given(st.lists(plain, min_size=2, max_size=5))
def test_any_versions_arrive_intact(versions):
    host, client, mid, copy = follow(versions, CODECS)
    final = json.loads(host.snapshot(mid))
    assert json.loads(copy) == final["value"]
    assert json.loads(client.revisions()) == {str(mid): final["rev"]}


@pytest.mark.parametrize("codec", CODECS)
def test_proposal_goes_back_and_is_acknowledged(codec):
    host, client, mid, copy = follow([{"n": 1}, {"n": 2}], [codec])
    ops = '[{"Set":{"path":[{"Key":"n"}],"value":{"Int":3}}}]'
    proposal = client.proposal(mid, ops)
    assert client.pending() == ["auto-1"]
    at_host = json.loads(wire(proposal, codec))
    assert at_host == {"t": "patch", "id": mid, "patch": {"rev": 0, "ops": json.loads(ops)}, "proposal": "auto-1"}
    current = compact(json.loads(host.snapshot(mid))["value"])
    patch = host.mutate(mid, norvane.apply(current, compact(at_host["patch"])))
    # the host's patch names the proposal, so committing it retires the identifier
    message = compact({"t": "patch", "id": mid, "patch": json.loads(patch), "proposal": "auto-1"})
    effect = client.prepare(wire(message, codec))
    assert effect == f'{{"effect":"patch","id":{mid},"rev":2,"proposal":"auto-1"}}'
    client.commit(effect)
    assert client.pending() == []
    # a late acknowledgement of the same proposal changes nothing
    ack = client.prepare(wire(compact({"t": "ack", "id": mid, "rev": 2, "proposal": "auto-1"}), codec))
    client.commit(ack)
    assert (client.revisions(), client.pending()) == (f'{{"{mid}":2}}', [])


def test_patch_before_snapshot_fails_and_changes_nothing():
    host, client = norvane.Store(), norvane.ClientState()
    mid = host.host("Doc", '{"Int":1}')
    patch = host.mutate(mid, '{"Int":2}')
    with pytest.raises(ValueError) as info:
        client.prepare(wire(f'{{"t":"patch","id":{mid},"patch":{patch}}}', CODECS[1]))
    assert info.value.args == (f"patch received before snapshot for model {mid}",)
    assert client.revisions() == "{}"


def test_batches_are_split_by_the_adapter():
    client = norvane.ClientState()
    batch = compact({"t": "batch", "msgs": [{"t": "snapshot", "id": 1, "rev": 2, "type": "T", "value": "Null"},
                                           {"t": "ack", "id": 1, "rev": 2, "proposal": "p"}]})
    received = wire(batch, CODECS[2])
    with pytest.raises(ValueError, match="^batch messages must be prepared in order$"):
        client.prepare(received)
    for member in json.loads(received)["msgs"]:
        client.commit(client.prepare(compact(member)))
    assert client.revisions() == '{"1":2}'


def test_example_runs():
    out = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert "stale_patch" in out.stdout
    assert out.stdout.rstrip().endswith("in sync")
