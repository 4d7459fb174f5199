"""Parse throughput and get_struct cost.

Run by hand with the build directory on PYTHONPATH:

    PYTHONPATH=build python3 bench/parse.py

Prints parse throughput in MB/s for documents of 100, 1,000 and 10,000
structs (20 fields each, plus a few services), and the time of one
get_struct call for documents of 10, 100 and 1,000 structs.
"""

import time

import brovane

FIELD_TYPES = [
    "i32", "i64", "string", "bool", "double", "binary", "byte", "i16",
    "list<i32>", "set<string>", "map<string, i64>", "list<map<i32, string>>",
]


def make_idl(n_structs, n_services=5, methods_per_service=10):
    out = [
        "namespace py bench.generated",
        'include "shared/common.thrift"',
        "typedef i64 Timestamp",
        "enum Color { RED = 1, GREEN, BLUE }",
        "",
    ]
    for s in range(n_structs):
        out.append(f"struct Struct{s} {{")
        for f in range(20):
            fid = f + 1
            if f == 18 and s > 0:
                ftype = f"Struct{s - 1}"
            elif f == 19:
                ftype = "Timestamp"
            else:
                ftype = FIELD_TYPES[(s + f) % len(FIELD_TYPES)]
            qual = ("required ", "optional ", "")[f % 3]
            default = ""
            if ftype == "i32":
                default = f" = {f * 7}"
            elif ftype == "string":
                default = ' = "default"'
            out.append(f"  {fid}: {qual}{ftype} field_{f}{default},")
        out.append("}")
        out.append("")
    for v in range(n_services):
        out.append(f"service Service{v} {{")
        for m in range(methods_per_service):
            target = (v * methods_per_service + m) % max(n_structs, 1)
            out.append(
                f"  Struct{target} method_{m}(1: i32 id, 2: string name, 3: Struct{target} body)"
                f" throws (1: Struct0 oops),"
            )
        out.append("  oneway void ping()")
        out.append("}")
        out.append("")
    return "\n".join(out)


def best_of(runs, fn):
    best = float("inf")
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def bench_parse():
    print("parse throughput (best of 5)")
    for n in (100, 1_000, 10_000):
        text = make_idl(n)
        size = len(text.encode())
        parser = brovane.ThriftParser()
        seconds = best_of(5, lambda: parser.parse(text))
        assert len(parser.list_structs()) == n
        print(f"  {n:>6} structs  {size / 1e6:8.2f} MB  {seconds * 1e3:9.2f} ms  {size / 1e6 / seconds:8.1f} MB/s")


def bench_get_struct():
    print("get_struct (mean of the best of 5 batches)")
    for n in (10, 100, 1_000):
        parser = brovane.ThriftParser()
        parser.parse(make_idl(n))
        parser.get_struct("Struct0")  # first call prepares the shared descriptors
        calls = max(20, 200_000 // n)
        names = [f"Struct{i % n}" for i in range(calls)]

        def batch():
            get = parser.get_struct
            for name in names:
                get(name)

        seconds = best_of(5, batch)
        print(f"  {n:>6} structs  {seconds / calls * 1e6:9.2f} us per call")


if __name__ == "__main__":
    bench_parse()
    bench_get_struct()
