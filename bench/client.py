"""RPC client speed: brovane's ThriftClient against Apache Thrift's own Python
client, both calling one Apache Thrift server over one connection.

Run by hand with the build directory on PYTHONPATH (needs Debian's
python3-thrift for /usr/bin/python3 and thrift-compiler):

    PYTHONPATH=build python3 bench/client.py [--add 20000] [--echo 5000]

The server is Apache Thrift's TSimpleServer (Framed, Binary, accelerated
when fastbinary is present) in a subprocess, serving the benchmark schema's
Bench service. Each row makes sequential calls over one connection:

  add              add(a, b) on two i64
  echo             echo(item) with the benchmark's sample Item, every field
                   set; brovane returns a struct instance whose fields are
                   converted to Python on first access
  echo + to_dict   the same, then every field of the reply converted

The Apache rows run in a /usr/bin/python3 subprocess with the generated
client over TFramedTransport and TBinaryProtocolAccelerated (plain
TBinaryProtocol when fastbinary is missing); their echo decodes the whole
reply into generated objects. Printed per row: calls per second (wall time)
and client CPU per call (time.process_time of the calling process, with its
user and system parts), the best of --repeat runs, then brovane's ratios to
the matching Apache row.
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import textwrap
import time

import brovane

SYSTEM_PYTHON = "/usr/bin/python3"

# The benchmark schema.
IDL = """
namespace py bench

enum Kind {
  UNKNOWN = 0,
  ALPHA = 1,
  BETA = 2,
  GAMMA = 3,
}

struct Point {
  1: i32 x,
  2: i32 y,
  3: string label,
}

struct Item {
  1: i32 id,
  2: i64 timestamp,
  3: double score,
  4: bool active,
  5: string name,
  6: string description,
  7: binary payload,
  8: list<i64> values,
  9: map<string, i32> attrs,
  10: list<Point> points,
  11: Kind kind,
  12: string tag,
}

service Bench {
  Item echo(1: Item item),
  void ping(),
  i64 add(1: i64 a, 2: i64 b),
}
"""

SAMPLE = '''
def sample_item():
    description = ("Benchmark record: one hundred bytes of ASCII text in the"
                   " description field.").ljust(100, ".")
    assert len(description.encode()) == 100
    return {
        "id": 123456,
        "timestamp": 1700000000123456,
        "score": 98.625,
        "active": True,
        "name": "widget-42",
        "description": description,
        "payload": bytes((i * 37 + 128) & 0xFF for i in range(64)),
        "values": [-(i * 7919) ** 2 if i % 2 else (i * 7919) ** 2 for i in range(100)],
        "attrs": {"attr%02d" % i: i * i - 50 for i in range(20)},
        "points": [{"x": i, "y": -7 * i, "label": "p%d" % i} for i in range(10)],
        "kind": 2,
        "tag": "bench",
    }
'''

SERVER = textwrap.dedent("""
    import sys
    sys.path.insert(0, sys.argv[1])
    from bench import Bench
    from thrift.protocol import TBinaryProtocol
    from thrift.server import TServer
    from thrift.transport import TSocket, TTransport

    class Handler:
        def echo(self, item): return item
        def ping(self): pass
        def add(self, a, b): return a + b

    class BoundServerSocket(TSocket.TServerSocket):
        def listen(self):
            if self.handle is None:
                super().listen()

    try:
        from thrift.protocol import fastbinary  # noqa: F401
        proto = TBinaryProtocol.TBinaryProtocolAcceleratedFactory()
    except ImportError:
        proto = TBinaryProtocol.TBinaryProtocolFactory()
    sock = BoundServerSocket(host="127.0.0.1", port=0)
    sock.listen()
    server = TServer.TSimpleServer(Bench.Processor(Handler()), sock, TTransport.TFramedTransportFactory(), proto)
    print(sock.handle.getsockname()[1], flush=True)
    server.serve()
""")

APACHE_CLIENT = textwrap.dedent("""
    import json, resource, sys, time
    sys.path.insert(0, sys.argv[1])
    from bench import Bench
    from bench.ttypes import Item, Point
    from thrift.protocol import TBinaryProtocol
    from thrift.transport import TSocket, TTransport
    SAMPLE_CODE

    port, n_add, n_echo, repeat = (int(a) for a in sys.argv[2:6])
    try:
        from thrift.protocol import fastbinary  # noqa: F401
        protocol_class, accelerated = TBinaryProtocol.TBinaryProtocolAccelerated, True
    except ImportError:
        protocol_class, accelerated = TBinaryProtocol.TBinaryProtocol, False
    transport = TTransport.TFramedTransport(TSocket.TSocket("127.0.0.1", port))
    client = Bench.Client(protocol_class(transport))
    transport.open()

    d = sample_item()
    item = Item(**{k: v for k, v in d.items() if k != "points"})
    item.points = [Point(**p) for p in d["points"]]
    assert client.add(1, 2) == 3
    assert client.echo(item) == item

    def measure(n, fn, repeat):
        for _ in range(max(1, n // 10)):
            fn()
        best = None
        for _ in range(repeat):
            u0, c0, w0 = resource.getrusage(resource.RUSAGE_SELF), time.process_time(), time.perf_counter()
            for _ in range(n):
                fn()
            w, c, u1 = time.perf_counter() - w0, time.process_time() - c0, resource.getrusage(resource.RUSAGE_SELF)
            r = {"wall": w, "cpu": c, "user": u1.ru_utime - u0.ru_utime, "sys": u1.ru_stime - u0.ru_stime, "n": n}
            best = r if best is None else {k: min(best[k], r[k]) for k in r}
        return best

    out = {
        "accelerated": accelerated,
        "add": measure(n_add, lambda: client.add(123456789, 987654321), repeat),
        "echo": measure(n_echo, lambda: client.echo(item), repeat),
    }
    transport.close()
    print(json.dumps(out))
""").replace("SAMPLE_CODE", textwrap.indent(SAMPLE, ""))

namespace = {}
exec(SAMPLE, namespace)
sample_item = namespace["sample_item"]


def measure(n, fn, repeat):
    """The best of `repeat` runs of n calls (each figure's minimum), after
    n/10 calls of warm-up. CPU is time.process_time() of this process;
    user and system time come from getrusage."""
    for _ in range(max(1, n // 10)):
        fn()
    best = None
    for _ in range(repeat):
        u0, c0, w0 = resource.getrusage(resource.RUSAGE_SELF), time.process_time(), time.perf_counter()
        for _ in range(n):
            fn()
        w, c, u1 = time.perf_counter() - w0, time.process_time() - c0, resource.getrusage(resource.RUSAGE_SELF)
        r = {"wall": w, "cpu": c, "user": u1.ru_utime - u0.ru_utime, "sys": u1.ru_stime - u0.ru_stime, "n": n}
        best = r if best is None else {k: min(best[k], r[k]) for k in r}
    return best


class Server:
    def __init__(self, gen_dir):
        self.proc = subprocess.Popen([SYSTEM_PYTHON, "-c", SERVER, gen_dir], stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())

    def close(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


def brovane_rows(port, n_add, n_echo, repeat):
    parser = brovane.ThriftParser()
    parser.parse(IDL)
    client = brovane.ThriftClient(parser.get_service("Bench"), "127.0.0.1", port)
    client.set_parser(parser)
    item = sample_item()
    with client:
        assert client.call("add", a=1, b=2) == 3
        assert client.call("echo", item=item).to_dict()["values"] == item["values"]
        return {
            "add": measure(n_add, lambda: client.call("add", a=123456789, b=987654321), repeat),
            "echo": measure(n_echo, lambda: client.call("echo", item=item), repeat),
            "echo + to_dict": measure(n_echo, lambda: client.call("echo", item=item).to_dict(), repeat),
        }


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--add", type=int, default=20000, help="add calls per row")
    ap.add_argument("--echo", type=int, default=5000, help="echo calls per row")
    ap.add_argument("--repeat", type=int, default=5, help="runs per row; the best is shown")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        idl_path = os.path.join(tmp, "bench.thrift")
        with open(idl_path, "w") as f:
            f.write(IDL)
        subprocess.run(["thrift", "--gen", "py", "-out", tmp, idl_path], check=True, capture_output=True)

        # One server for every row; TSimpleServer serves one connection after
        # the other.
        server = Server(tmp)
        try:
            ours = brovane_rows(server.port, args.add, args.echo, args.repeat)
            out = subprocess.run([SYSTEM_PYTHON, "-c", APACHE_CLIENT, tmp, str(server.port), str(args.add),
                                  str(args.echo), str(args.repeat)], check=True, capture_output=True,
                                 text=True).stdout
            theirs = json.loads(out)
        finally:
            server.close()

    apache_name = "apache (accelerated)" if theirs["accelerated"] else "apache (plain)"
    print(f"{'row':<32}{'calls/s':>10}{'client CPU us/call':>20}{'user':>8}{'sys':>8}")
    rows = []
    for name in ("add", "echo", "echo + to_dict"):
        r = ours[name]
        rows.append((f"brovane {name}", r))
    for name in ("add", "echo"):
        rows.append((f"{apache_name} {name}", theirs[name]))
    for label, r in rows:
        per = 1e6 / r["n"]
        print(f"{label:<32}{r['n'] / r['wall']:>10.0f}{r['cpu'] * per:>20.2f}{r['user'] * per:>8.2f}"
              f"{r['sys'] * per:>8.2f}")
    print()
    for name, base in (("add", "add"), ("echo", "echo"), ("echo + to_dict", "echo")):
        r, t = ours[name], theirs[base]
        speed = (r["n"] / r["wall"]) / (t["n"] / t["wall"])
        cpu = (r["cpu"] / r["n"]) / (t["cpu"] / t["n"])
        print(f"brovane {name:<16} vs apache {base:<6}: {speed:5.2f}x calls/s, {cpu:5.2f}x client CPU per call")


if __name__ == "__main__":
    sys.exit(main())
