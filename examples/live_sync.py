"""Live sync, host to client and back, in one process.

A host keeps a model in a norvane.Store and changes it several times; every change
becomes a "patch" message that travels as bytes through one of the three connection
codecs. A client follows with norvane.ClientState: it prepares each incoming message
into an effect, applies the patch to its own copy with norvane.apply, and commits the
effect. The client also proposes a change of its own, which the host carries out and
acknowledges, and a patch delivered twice shows up as stale. At the end the client's
copy equals the host's snapshot.

Run it with no arguments:  python examples/live_sync.py
"""

import json
import sys

import norvane

CODECS = ["application/json", "application/msgpack", "application/cbor"]


def compact(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False)


def send(message_json, codec):
    """Encode one message for the wire and decode it on the other side."""
    data = norvane.encode_message(message_json, codec)
    received = norvane.decode_message(data, codec)
    print(f"    wire  {codec:<20} {len(data):>4} bytes")
    return received


class Client:
    """A minimal client adapter: its own copy of each model plus the shared reducer."""

    def __init__(self):
        self.state = norvane.ClientState()
        self.copies = {}

    def receive(self, message_json):
        message = json.loads(message_json)
        effect_json = self.state.prepare(message_json)
        effect = json.loads(effect_json)
        kind = effect["effect"]
        if kind == "snapshot":
            self.copies[effect["id"]] = compact(message["value"])
        elif kind == "patch":
            self.copies[effect["id"]] = norvane.apply(self.copies[effect["id"]], compact(message["patch"]))
        # stale patches, acknowledgements and the rest change no copy
        self.state.commit(effect_json)
        print(f"    client {effect_json}")
        return effect


def main():
    host = norvane.Store()
    client = Client()

    print("1. The host hosts a model and sends its snapshot.")
    model = host.host("Doc", '{"Map":{"title":{"Str":"draft"},"tags":{"List":[]}}}')
    snapshot = json.loads(host.snapshot(model))
    print(f"    host  snapshot {host.snapshot(model)}")
    snapshot_message = compact({"t": "snapshot", "id": model, "type": snapshot["type_name"],
                                "rev": snapshot["rev"], "value": snapshot["value"]})
    client.receive(send(snapshot_message, CODECS[0]))

    print("2. The host changes the model; each patch travels through another codec.")
    versions = [
        '{"Map":{"title":{"Str":"Live sync"},"tags":{"List":[]}}}',
        '{"Map":{"title":{"Str":"Live sync"},"tags":{"List":[{"Str":"demo"}]}}}',
        '{"Map":{"title":{"Str":"Live sync"},"tags":{"List":[{"Str":"demo"},{"Str":"norvane"}]},'
        '"score":{"Float":0.5}}}',
    ]
    sent = []
    for i, version in enumerate(versions):
        patch = host.mutate(model, version)
        print(f"    host  patch {patch}")
        message = f'{{"t":"patch","id":{model},"patch":{patch}}}'
        sent.append(message)
        client.receive(send(message, CODECS[i % len(CODECS)]))

    print("3. The client proposes a change; the host carries it out and acknowledges it.")
    ops = compact([{"Set": {"path": [{"Key": "title"}], "value": {"Str": "Live sync, reviewed"}}}])
    proposal_message = client.state.proposal(model, ops)
    proposal_id = json.loads(proposal_message)["proposal"]
    print(f"    client proposal {proposal_message}")
    print(f"    client pending {client.state.pending()}")
    at_host = json.loads(send(proposal_message, CODECS[1]))
    current = compact(json.loads(host.snapshot(model))["value"])
    proposed = norvane.apply(current, compact(at_host["patch"]))
    patch = host.mutate(model, proposed)
    print(f"    host  patch {patch}")
    client.receive(send(f'{{"t":"patch","id":{model},"patch":{patch}}}', CODECS[2]))
    revision = json.loads(patch)["rev"]
    ack = compact({"t": "ack", "id": model, "rev": revision, "proposal": proposal_id})
    client.receive(send(ack, CODECS[0]))
    print(f"    client pending {client.state.pending()}")

    print("4. An old patch arrives again: it is stale, and the client's copy stays as it is.")
    before = client.copies[model]
    effect = client.receive(send(sent[1], CODECS[2]))
    assert effect["effect"] == "stale_patch" and client.copies[model] == before

    print("5. The client's copy against the host's snapshot.")
    final = json.loads(host.snapshot(model))
    print(f"    host  {compact(final)}")
    print(f"    client revisions {client.state.revisions()}")
    print(f"    client copy {client.copies[model]}")
    same = (json.loads(client.copies[model]) == final["value"]
            and json.loads(client.state.revisions()) == {str(model): final["rev"]}
            and client.state.pending() == [])
    print("    in sync" if same else "    OUT OF SYNC")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
