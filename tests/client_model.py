"""A small Python model of the client reducer's rules, for cross-checks."""

import json
import re

RESERVED = re.compile(r"auto-[0-9]+\Z")


def dumps(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False)


class Reducer:
    def __init__(self):
        self.revisions = {}
        self.crdt_models = set()
        self.pending = set()
        self.next_auto = 1

    # The effect (a dict in written field order) for a valid message dict, or the error text.
    def prepare(self, msg):
        t, mid = msg["t"], msg.get("id")
        if t in ("snapshot", "crdt_snapshot"):
            return {"effect": t, "id": mid, "rev": msg["rev"]}
        if t == "patch":
            if mid not in self.revisions:
                return f"patch received before snapshot for model {mid}"
            rev = msg["patch"]["rev"]
            effect = {"effect": "patch" if rev > self.revisions[mid] else "stale_patch", "id": mid, "rev": rev}
            return self._with_proposal(effect, msg)
        if t == "crdt":
            if mid not in self.revisions:
                return f"CRDT operations received before snapshot for model {mid}"
            if mid not in self.crdt_models:
                return {"effect": "ignore"}
            return self._with_proposal({"effect": "crdt", "id": mid, "rev": msg["rev"]}, msg)
        if t == "ack":
            return {"effect": "acknowledgement", "id": mid, "rev": msg["rev"], "proposal": msg["proposal"]}
        if t == "reject":
            effect = {"effect": "rejection", "id": mid, "rev": msg["rev"], "error": msg["error"]}
            return self._with_proposal(effect, msg)
        if t == "awareness":
            return {"effect": "awareness", "id": mid, "peer": msg["peer"], "state": msg.get("state")}
        if t == "batch":
            return "batch messages must be prepared in order"
        return {"effect": "ignore"}

    @staticmethod
    def _with_proposal(effect, msg):
        if msg.get("proposal") is not None:
            effect["proposal"] = msg["proposal"]
        return effect

    def commit(self, effect):
        kind, mid = effect["effect"], effect.get("id")
        if kind == "snapshot":
            self.revisions[mid] = effect["rev"]
            self.crdt_models.discard(mid)
        elif kind == "crdt_snapshot":
            self.revisions[mid] = max(effect["rev"], self.revisions.get(mid, 0))
            self.crdt_models.add(mid)
        elif kind == "patch":
            self.revisions[mid] = effect["rev"]
        elif kind == "crdt":
            self.revisions[mid] = max(effect["rev"], self.revisions.get(mid, 0))
        if kind in ("patch", "crdt", "stale_patch", "acknowledgement", "rejection"):
            if effect.get("proposal") is not None:
                self.pending.discard(effect["proposal"])

    def revisions_json(self):
        return dumps({str(k): self.revisions[k] for k in sorted(self.revisions)})

    def pending_list(self):
        return sorted(self.pending, key=lambda p: p.encode())
