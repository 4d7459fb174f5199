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
  decode + to_dict   the same, then its top-level fields converted to Python
                     (nested structs stay instances)

next to pickle.dumps / pickle.loads of the same dict and json.dumps /
json.loads of it (payload as hex text, since JSON has no bytes), and prints
each row's ratio to the matching pickle baseline. The repeats are rounds
over all rows, so every row sees the same machine.

When Debian's python3-thrift and thrift-compiler are installed, Apache
Thrift's own Python library is timed as well, in a /usr/bin/python3
subprocess that takes one round between each of ours: TSerialization of the
generated Item object with TBinaryProtocolAccelerated and
TCompactProtocolAccelerated (the plain protocols when fastbinary is missing)
and TJSONProtocol; its decode builds the whole generated object. The last
lines print how many times faster each brovane row is than Apache's
matching one.
"""

import argparse
import json
import os
import pickle
import shutil
import statistics
import subprocess
import tempfile
import textwrap
import time

import brovane

from common import IDL, SAMPLE, SYSTEM_PYTHON, sample_item

# Shared with the Apache subprocess, which runs in another interpreter.
CALIBRATE = """
import time

# Calls of fn that take about target_seconds.
def calibrate(fn, target_seconds):
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
"""

# Times Apache Thrift's serialisation of the sample Item, one round per line
# read from stdin; answers each with one JSON list of ns per call, in the
# order of the row names it prints first.
APACHE = textwrap.dedent("""
    import json, sys, time
    sys.path.insert(0, sys.argv[1])
    from bench.ttypes import Item, Point
    from thrift import TSerialization
    from thrift.protocol import TBinaryProtocol, TCompactProtocol, TJSONProtocol
""") + SAMPLE + CALIBRATE + textwrap.dedent("""
    try:
        from thrift.protocol import fastbinary  # noqa: F401
        factories = {"Binary": TBinaryProtocol.TBinaryProtocolAcceleratedFactory(),
                     "Compact": TCompactProtocol.TCompactProtocolAcceleratedFactory()}
        accelerated = True
    except ImportError:
        factories = {"Binary": TBinaryProtocol.TBinaryProtocolFactory(),
                     "Compact": TCompactProtocol.TCompactProtocolFactory()}
        accelerated = False
    factories["JSON"] = TJSONProtocol.TJSONProtocolFactory()

    d = sample_item()
    item = Item(**{k: v for k, v in d.items() if k != "points"})
    item.points = [Point(**p) for p in d["points"]]
    fns = {}
    for label, factory in factories.items():
        data = TSerialization.serialize(item, factory)
        assert TSerialization.deserialize(Item(), data, factory) == item
        fns[label + " encode"] = lambda factory=factory: TSerialization.serialize(item, factory)
        fns[label + " decode"] = lambda factory=factory, data=data: TSerialization.deserialize(Item(), data, factory)

    loops = {name: calibrate(fn, float(sys.argv[2])) for name, fn in fns.items()}
    print(json.dumps({"accelerated": accelerated, "rows": list(fns)}), flush=True)
    for _ in sys.stdin:
        out = []
        for name, fn in fns.items():
            start = time.perf_counter()
            for _ in range(loops[name]):
                fn()
            out.append((time.perf_counter() - start) / loops[name] * 1e9)
        print(json.dumps(out), flush=True)
""")


class Apache:
    """Apache Thrift's serialisation in /usr/bin/python3, one round per request."""

    def __init__(self, tmp, target_seconds):
        idl = os.path.join(tmp, "bench.thrift")
        with open(idl, "w") as f:
            f.write(IDL)
        subprocess.run(["thrift", "--gen", "py", "-out", tmp, idl], check=True, capture_output=True)
        self.proc = subprocess.Popen([SYSTEM_PYTHON, "-c", APACHE, tmp, str(target_seconds)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        head = json.loads(self.proc.stdout.readline())
        self.accelerated, self.rows = head["accelerated"], head["rows"]
        self.samples = [[] for _ in self.rows]

    def round(self):
        self.proc.stdin.write("\n")
        self.proc.stdin.flush()
        for out, ns in zip(self.samples, json.loads(self.proc.stdout.readline())):
            out.append(ns)

    def figures(self):
        return {name: (min(s), statistics.median(s)) for name, s in zip(self.rows, self.samples)}

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()
        self.proc.stdout.close()


def apache_available():
    return bool(shutil.which("thrift")) and os.path.exists(SYSTEM_PYTHON) and subprocess.run(
        [SYSTEM_PYTHON, "-c", "import thrift"], capture_output=True).returncode == 0


_namespace = {}
exec(CALIBRATE, _namespace)
calibrate = _namespace["calibrate"]


def measure_all(fns, repeat, target_seconds, between_rounds=None):
    """(min, median) ns per call of each fn over `repeat` timed loops. Each
    round times every fn once, so load that comes and goes on a shared machine
    falls on all of them alike instead of on whichever ran at the time;
    `between_rounds` is called after each round."""
    loops = [calibrate(fn, target_seconds) for fn in fns]
    samples = [[] for _ in fns]
    for _ in range(repeat):
        for fn, n, out in zip(fns, loops, samples):
            start = time.perf_counter()
            for _ in range(n):
                fn()
            out.append((time.perf_counter() - start) / n * 1e9)
        if between_rounds:
            between_rounds()
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
    apache = None
    with tempfile.TemporaryDirectory() as tmp:
        if apache_available():
            apache = Apache(tmp, args.time)
        try:
            figures = dict(zip((name for name, _, _ in timed),
                               measure_all([fn for _, fn, _ in timed], args.repeat, args.time,
                                           apache.round if apache else None)))
        finally:
            if apache:
                apache.close()

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
    if apache is None:
        print("(Apache Thrift's Python library or compiler is missing: no Apache rows)")
        return
    theirs = apache.figures()
    kind = "accelerated" if apache.accelerated else "plain"
    print()
    print(f"Apache Thrift ({kind} Binary and Compact, plain JSON), generated Item object:")
    for name, (lo, med) in theirs.items():
        print(f"{'apache ' + name:<28}{lo:>10.0f}{med:>12.0f}")
    print()
    for label, _ in protocols:
        for ours, base in ((f"{label} encode dict", "encode"), (f"{label} encode instance", "encode"),
                           (f"{label} decode", "decode"), (f"{label} decode + to_dict", "decode")):
            if ours in figures:
                ratio = theirs[f"{label} {base}"][0] / figures[ours][0]
                print(f"brovane {ours:<26} vs apache {label} {base}: {ratio:5.2f}x faster (min)")


if __name__ == "__main__":
    main()
