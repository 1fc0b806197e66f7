"""Throughput of the conversion functions against the pipelines a user would write otherwise.

Run: python bench/bench_codecs.py [--quick]

Four generated documents of about 1 MB (100 KB with --quick) of compact JSON each (a social feed, coordinates, long
texts, number series). For every case one line: norvane's MB/s, the orjson-based pipeline's MB/s and the ratio,
then the stdlib-json pipeline's MB/s and the ratio. Throughput is measured against the size of
the JSON text the case reads or writes (the tagged model text for encode_as/decode_as), so the
figures of one document compare directly. Best of several repeats; nothing is asserted.
rows() returns the same figures as table rows for bench/run_all.py.
"""

import json
import random
import sys
import time

import cbor2
import msgpack
import orjson

import norvane
from tagging import tag

TARGET = 1_000_000
WORDS = (
    "the a sync model patch value replica host client store revision merge list map text "
    "number stream coffee river mountain quiet bright signal window garden orbit pixel "
    "café naïve façade jalapeño smörgåsbord über déjà-vu Ελλάδα Москва 東京 서울 🙂 🚀"
).split()


def sentence(rnd, lo, hi):
    words = [rnd.choice(WORDS) for _ in range(rnd.randint(lo, hi))]
    if rnd.random() < 0.1:
        words.insert(rnd.randrange(len(words)), '"quoted"')
    if rnd.random() < 0.05:
        words.append("\nsecond line\twith tab")
    return " ".join(words)


def social_feed(rnd, target=TARGET):
    posts, size, n = [], 0, 0
    while size < target:
        n += 1
        user = rnd.randint(1, 50_000)
        post = {
            "id": 10**12 + n,
            "created_at": "2024-%02d-%02dT%02d:%02d:%02dZ"
            % (rnd.randint(1, 12), rnd.randint(1, 28), rnd.randint(0, 23), rnd.randint(0, 59), rnd.randint(0, 59)),
            "author": {
                "id": user,
                "handle": "user%d" % user,
                "name": sentence(rnd, 1, 3),
                "verified": rnd.random() < 0.1,
                "followers": rnd.randint(0, 2_000_000),
                "avatar": None if rnd.random() < 0.3 else "https://cdn.example/a/%d.png" % user,
            },
            "text": sentence(rnd, 5, 40),
            "lang": rnd.choice(["en", "fr", "de", "ja", "ko"]),
            "stats": {"likes": rnd.randint(0, 10_000), "reposts": rnd.randint(0, 800), "replies": rnd.randint(0, 300)},
            "tags": [rnd.choice(WORDS) for _ in range(rnd.randint(0, 4))],
            "reply_to": None if rnd.random() < 0.7 else rnd.randint(1, 10**12),
            "score": round(rnd.random(), 4),
            "media": [
                {"kind": "image", "url": "https://cdn.example/m/%d.jpg" % rnd.randint(1, 10**9),
                 "w": rnd.choice([640, 1080, 1920]), "h": rnd.choice([480, 720, 1080])}
                for _ in range(rnd.choice([0, 0, 0, 1, 2]))
            ],
        }
        posts.append(post)
        size += len(json.dumps(post, ensure_ascii=False).encode())
    return {"feed": posts, "cursor": "c%d" % n, "has_more": True}


def coordinates(rnd, target=TARGET):
    features, size = [], 0
    while size < target:
        lon, lat = rnd.uniform(-180, 180), rnd.uniform(-85, 85)
        line = []
        for _ in range(rnd.randint(20, 120)):
            lon += rnd.uniform(-0.01, 0.01)
            lat += rnd.uniform(-0.01, 0.01)
            line.append([round(lon, 6), round(lat, 6), rnd.randint(-50, 4000)])
        feature = {
            "type": "Feature",
            "id": len(features),
            "geometry": {"type": "LineString", "coordinates": line},
            "properties": {"speed": round(rnd.uniform(0, 40), 3), "accuracy": rnd.random()},
        }
        features.append(feature)
        size += len(json.dumps(feature).encode())
    return {"type": "FeatureCollection", "features": features}


def numbers(rnd, target=TARGET):
    """Sensor series: mostly numbers (readings of 1-4 decimals, full-precision
    calibration values, counters and timestamps) in arrays, few keys."""
    series, size = [], 0
    while size < target:
        n = rnd.randint(100, 300)
        item = {
            "sensor": "s%d" % len(series),
            "t0": rnd.randint(1_600_000_000_000, 1_700_000_000_000),
            "dt": rnd.choice([100, 250, 1000]),
            "values": [round(rnd.gauss(20, 8), rnd.randint(1, 4)) for _ in range(n)],
            "counts": [rnd.randint(0, 100_000) for _ in range(n // 4)],
            "calibration": [rnd.gauss(0, 1) for _ in range(8)],
        }
        series.append(item)
        size += len(json.dumps(item).encode())
    return {"series": series}


def texts(rnd, target=TARGET):
    items, size = [], 0
    while size < target:
        item = {
            "title": sentence(rnd, 3, 10),
            "body": "\n\n".join(sentence(rnd, 40, 120) for _ in range(rnd.randint(1, 4))),
            "summary": sentence(rnd, 10, 30),
        }
        items.append(item)
        size += len(json.dumps(item, ensure_ascii=False).encode())
    return items


def best_rate(fn, arg, size, seconds):
    """MB/s of the fastest of several timed batches, or None when fn fails."""
    try:
        fn(arg)
    except ValueError:
        return None
    start = time.perf_counter()
    fn(arg)
    once = max(time.perf_counter() - start, 1e-7)
    number = max(1, int(seconds / 5 / once))
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(number):
            fn(arg)
        best = min(best, (time.perf_counter() - start) / number)
    return size / best / 1e6


def fmt(rate):
    return "     n/a" if rate is None else "%8.1f" % rate


def ratio(a, b):
    return "  n/a" if a is None or b is None else "%5.1fx" % (a / b)


def sorted_json(x):
    return json.dumps(x, ensure_ascii=False, sort_keys=True, separators=(",", ":")).encode()


def sorted_orjson(x):
    return orjson.dumps(x, option=orjson.OPT_SORT_KEYS)


PEERS = ("orjson", "json")


def rows(quick=False, log=print):
    """Measure every case; log the script's own lines and return the run_all rows."""
    seconds = 0.05 if quick else 1.5
    target = TARGET // 10 if quick else TARGET
    rnd = random.Random(20240611)
    docs = [("feed", social_feed(rnd, target)), ("coordinates", coordinates(rnd, target)),
            ("texts", texts(rnd, target)), ("numbers", numbers(rnd, target))]

    log("MB/s of JSON text; ratio = norvane / peer; orjson peers use msgpack / cbor2 for the binary side")
    log("%-12s %-24s %8s %8s %6s %8s %6s" % ("document", "case", "norvane", "orjson", "ratio", "json", "ratio"))
    out = []
    for name, doc in docs:
        text = json.dumps(doc, ensure_ascii=False, separators=(",", ":"))
        size = len(text.encode())
        mp = msgpack.packb(doc)
        cb = cbor2.dumps(doc)
        value_text = json.dumps(tag(doc), ensure_ascii=False, separators=(",", ":"))
        value_size = len(value_text.encode())
        value_mp = msgpack.packb(orjson.loads(value_text))
        value_cb = cbor2.dumps(orjson.loads(value_text))
        value_json = value_text.encode()

        # (case, bytes counted, input, norvane, orjson pipeline, json pipeline, binary library of the peers)
        cases = [
            ("json_to_msgpack", size, text, norvane.json_to_msgpack,
             lambda s: msgpack.packb(orjson.loads(s)), lambda s: msgpack.packb(json.loads(s)), "msgpack"),
            ("msgpack_to_json", size, mp, norvane.msgpack_to_json,
             lambda b: sorted_orjson(msgpack.unpackb(b)), lambda b: sorted_json(msgpack.unpackb(b)), "msgpack"),
            ("json_to_cbor", size, text, norvane.json_to_cbor,
             lambda s: cbor2.dumps(orjson.loads(s)), lambda s: cbor2.dumps(json.loads(s)), "cbor2"),
            ("cbor_to_json", size, cb, norvane.cbor_to_json,
             lambda b: sorted_orjson(cbor2.loads(b)), lambda b: sorted_json(cbor2.loads(b)), "cbor2"),
            ("encode_as msgpack", value_size, value_text,
             lambda s: norvane.encode_as(s, "application/msgpack"),
             lambda s: msgpack.packb(orjson.loads(s)), lambda s: msgpack.packb(json.loads(s)), "msgpack"),
            ("decode_as msgpack", value_size, value_mp,
             lambda b: norvane.decode_as(b, "application/msgpack"),
             lambda b: sorted_orjson(msgpack.unpackb(b)), lambda b: sorted_json(msgpack.unpackb(b)), "msgpack"),
            ("encode_as cbor", value_size, value_text,
             lambda s: norvane.encode_as(s, "application/cbor"),
             lambda s: cbor2.dumps(orjson.loads(s)), lambda s: cbor2.dumps(json.loads(s)), "cbor2"),
            ("decode_as cbor", value_size, value_cb,
             lambda b: norvane.decode_as(b, "application/cbor"),
             lambda b: sorted_orjson(cbor2.loads(b)), lambda b: sorted_json(cbor2.loads(b)), "cbor2"),
            ("encode_as json", value_size, value_text,
             lambda s: norvane.encode_as(s, "application/json"),
             lambda s: sorted_orjson(orjson.loads(s)), lambda s: sorted_json(json.loads(s)), None),
            ("decode_as json", value_size, value_json,
             lambda b: norvane.decode_as(b, "application/json"),
             lambda b: sorted_orjson(orjson.loads(b)), lambda b: sorted_json(json.loads(b)), None),
        ]
        workload = "%s, %.2f MB" % (name, size / 1e6)
        for case, case_size, arg, ours, with_orjson, with_json, binary in cases:
            a = best_rate(ours, arg, case_size, seconds)
            b = best_rate(with_orjson, arg, case_size, seconds)
            c = best_rate(with_json, arg, case_size, seconds)
            log("%-12s %-24s %s %s %s %s %s" % (name, case, fmt(a), fmt(b), ratio(a, b), fmt(c), ratio(a, c)))
            for peer, rate in zip(PEERS, (b, c)):
                out.append((case, workload, a, peer + (" + " + binary if binary else ""), rate, "MB/s"))
        sys.stdout.flush()
    return out


def main():
    rows("--quick" in sys.argv)


if __name__ == "__main__":
    main()
