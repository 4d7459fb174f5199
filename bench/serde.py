"""Struct serialisation speed against pickle and json, in one process.

Run by hand with the build directory on PYTHONPATH:

    PYTHONPATH=build python3 bench/serde.py [--repeat 7] [--time 0.2]

The record is the benchmark schema's Item (every field set: scalars, a
100-byte description, a 64-byte payload, 100 i64 values, a 20-entry map and
10 nested Points). For each protocol it times, in ns per operation (min and
median of the repeats):

  encode dict        ThriftStruct serialisation of the plain dict
  encode instance    serialisation of an instance built by decoding (its
                     fields are still the stored wire values)
  decode             bytes to ThriftStructInstance
  decode + to_dict   the same, then every field converted to Python

next to pickle.dumps / pickle.loads of the same dict and json.dumps /
json.loads of it (payload as hex text, since JSON has no bytes), and prints
each row's ratio to the matching pickle baseline. The repeats are rounds
over all rows, so every row sees the same machine.
"""

import argparse
import json
import pickle
import statistics
import time

import brovane

from common import IDL, sample_item


def calibrate(fn, target_seconds):
    """Calls of fn that take about target_seconds."""
    loops = 1
    while True:
        start = time.perf_counter()
        for _ in range(loops):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= target_seconds / 4 or loops >= 1 << 24:
            break
        loops *= 2
    return max(1, int(loops * target_seconds / max(elapsed, 1e-9)))


def measure_all(fns, repeat, target_seconds):
    """(min, median) ns per call of each fn over `repeat` timed loops. Each
    round times every fn once, so load that comes and goes on a shared machine
    falls on all of them alike instead of on whichever ran at the time."""
    loops = [calibrate(fn, target_seconds) for fn in fns]
    samples = [[] for _ in fns]
    for _ in range(repeat):
        for fn, n, out in zip(fns, loops, samples):
            start = time.perf_counter()
            for _ in range(n):
                fn()
            out.append((time.perf_counter() - start) / n * 1e9)
    return [(min(s), statistics.median(s)) for s in samples]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--time", type=float, default=0.2, help="seconds per repeat")
    args = ap.parse_args()

    parser = brovane.ThriftParser()
    parser.parse(IDL)
    item = parser.get_struct("Item")
    data = sample_item()
    json_data = dict(data, payload=data["payload"].hex())

    rows = []  # (name, fn or None when not supported, baseline row name or None)

    def row(name, fn, baseline=None):
        rows.append((name, fn, baseline))

    pickled = pickle.dumps(data)
    json_text = json.dumps(json_data)
    row("pickle.dumps", lambda: pickle.dumps(data))
    row("pickle.loads", lambda: pickle.loads(pickled))
    row("json.dumps", lambda: json.dumps(json_data), "pickle.dumps")
    row("json.loads", lambda: json.loads(json_text), "pickle.loads")

    protocols = [("Binary", brovane.ProtocolType.Binary), ("Compact", brovane.ProtocolType.Compact),
                 ("JSON", brovane.ProtocolType.JSON)]
    sizes = []
    for label, proto in protocols:
        encoded = item.serialize_with_protocol(data, proto)
        sizes.append((label, len(encoded)))
        row(f"{label} encode dict", lambda proto=proto: item.serialize_with_protocol(data, proto), "pickle.dumps")
        try:
            decoded = item.deserialize_with_protocol(encoded, proto)
        except NotImplementedError:
            row(f"{label} decode", None)
            continue
        assert item.serialize_with_protocol(decoded, proto) == encoded, f"{label} round trip changed the value"
        fresh = item.deserialize_with_protocol(encoded, proto)
        row(f"{label} encode instance", lambda proto=proto, fresh=fresh: item.serialize_with_protocol(fresh, proto),
            "pickle.dumps")
        row(f"{label} decode", lambda proto=proto, encoded=encoded: item.deserialize_with_protocol(encoded, proto),
            "pickle.loads")
        row(f"{label} decode + to_dict",
            lambda proto=proto, encoded=encoded: item.deserialize_with_protocol(encoded, proto).to_dict(),
            "pickle.loads")

    timed = [r for r in rows if r[1] is not None]
    figures = dict(zip((name for name, _, _ in timed), measure_all([fn for _, fn, _ in timed], args.repeat, args.time)))

    print(f"{'operation':<28}{'min ns':>10}{'median ns':>12}   ratio (min)")
    for name, fn, baseline in rows:
        if fn is None:
            print(f"{name:<28}{'n/a':>10}{'n/a':>12}   (not supported)")
            continue
        lo, med = figures[name]
        ratio = f"{lo / figures[baseline][0]:.2f} x {baseline}" if baseline else ""
        print(f"{name:<28}{lo:>10.0f}{med:>12.0f}   {ratio}")
    print()
    print("encoded sizes: " + ", ".join(f"{label} {n} B" for label, n in sizes)
          + f"; pickle {len(pickled)} B, json {len(json_text)} B")


if __name__ == "__main__":
    main()
