"""RPC client speed: brovane's ThriftClient against Apache Thrift's own Python
client, both calling one Apache Thrift server over one connection.

Run by hand with the build directory on PYTHONPATH (needs Debian's
python3-thrift for /usr/bin/python3 and thrift-compiler):

    PYTHONPATH=build python3 bench/client.py [--add 20000] [--echo 5000]

The server is Apache Thrift's TThreadedServer (Framed, Binary, accelerated
when fastbinary is present) in a subprocess, serving the benchmark schema's
Bench service. Each row makes sequential calls over one connection of its
own; the two clients take turns, one batch at a time:

  add              add(a, b) on two i64
  echo             echo(item) with the benchmark's sample Item, every field
                   set; brovane returns a struct instance whose fields are
                   converted to Python on first access
  echo + to_dict   the same, then every field of the reply converted

The floor rows ("raw socket") run in this process too, taking turns with
the others: a plain Python socket, blocking and with TCP_NODELAY like the
two clients, sends the precomputed Framed add or echo request bytes to the
same server and reads the reply frame without decoding it. They show what
one request and one reply cost over the loopback on this machine with next
to no user-space work.

The Apache rows run in a /usr/bin/python3 subprocess with the generated
client over TFramedTransport and TBinaryProtocolAccelerated (plain
TBinaryProtocol when fastbinary is missing); their echo decodes the whole
reply into generated objects. Printed per row: calls per second (wall time)
and client CPU per call (time.process_time of the calling process, with its
user and system parts from getrusage, which the kernel may account in whole
ticks: the total is the exact figure), each the best of --repeat batches.
Then brovane's ratios to the matching Apache row, each client's CPU per call
above the floor, and where half of Apache's CPU per call stands against the
floor.
"""

import argparse
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import textwrap

import brovane

from common import IDL, SAMPLE, SYSTEM_PYTHON

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
    server = TServer.TThreadedServer(Bench.Processor(Handler()), sock, TTransport.TFramedTransportFactory(), proto,
                                     daemon=True)
    print(sock.handle.getsockname()[1], flush=True)
    server.serve()
""")

# Shared by both clients: one timed batch of n calls after n/10 of warm-up.
# CPU is time.process_time() of the calling process; its user and system
# parts come from getrusage.
MEASURE = """
import resource, time

def measure(n, fn):
    for _ in range(max(1, n // 10)):
        fn()
    u0, c0, w0 = resource.getrusage(resource.RUSAGE_SELF), time.process_time(), time.perf_counter()
    for _ in range(n):
        fn()
    w, c, u1 = time.perf_counter() - w0, time.process_time() - c0, resource.getrusage(resource.RUSAGE_SELF)
    return {"wall": w, "cpu": c, "user": u1.ru_utime - u0.ru_utime, "sys": u1.ru_stime - u0.ru_stime, "n": n}
"""

# Runs one batch per command line ("add 20000") and answers with its figures.
APACHE_CLIENT = textwrap.dedent("""
    import json, sys
    sys.path.insert(0, sys.argv[1])
    from bench import Bench
    from bench.ttypes import Item, Point
    from thrift.protocol import TBinaryProtocol
    from thrift.transport import TSocket, TTransport
""") + SAMPLE + MEASURE + textwrap.dedent("""
    try:
        from thrift.protocol import fastbinary  # noqa: F401
        protocol_class, accelerated = TBinaryProtocol.TBinaryProtocolAccelerated, True
    except ImportError:
        protocol_class, accelerated = TBinaryProtocol.TBinaryProtocol, False
    transport = TTransport.TFramedTransport(TSocket.TSocket("127.0.0.1", int(sys.argv[2])))
    client = Bench.Client(protocol_class(transport))
    transport.open()

    d = sample_item()
    item = Item(**{k: v for k, v in d.items() if k != "points"})
    item.points = [Point(**p) for p in d["points"]]
    assert client.add(1, 2) == 3
    assert client.echo(item) == item
    calls = {"add": lambda: client.add(123456789, 987654321), "echo": lambda: client.echo(item)}
    print(json.dumps({"accelerated": accelerated}), flush=True)
    for line in sys.stdin:
        name, n = line.split()
        print(json.dumps(measure(int(n), calls[name])), flush=True)
    transport.close()
""")

namespace = {}
exec(SAMPLE + MEASURE, namespace)
sample_item = namespace["sample_item"]
measure = namespace["measure"]


class Apache:
    """The Apache Thrift client, in /usr/bin/python3, one batch per request."""

    def __init__(self, gen_dir, port):
        self.proc = subprocess.Popen([SYSTEM_PYTHON, "-c", APACHE_CLIENT, gen_dir, str(port)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.accelerated = json.loads(self.proc.stdout.readline())["accelerated"]

    def run(self, name, n):
        self.proc.stdin.write(f"{name} {n}\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()
        self.proc.stdout.close()


def framed_call(name, seqid, args):
    """A Framed Binary call message of `name` whose argument struct body
    (its stop byte included) is `args`."""
    encoded = name.encode()
    body = struct.pack(">HHI", 0x8001, 1, len(encoded)) + encoded + struct.pack(">i", seqid) + args
    return struct.pack(">I", len(body)) + body


class RawSocket:
    """The floor: one precomputed request out, one reply frame in."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = bytearray(1 << 16)
        self.view = memoryview(self.buf)

    def call(self, request):
        """Sends `request` and returns the reply's length (frame included)."""
        sock, buf = self.sock, self.buf
        sock.sendall(request)
        n = sock.recv_into(buf)
        want = 4 + struct.unpack_from(">i", buf)[0] if n >= 4 else 4
        while n < want:
            n += sock.recv_into(self.view[n:])
            if n >= 4:
                want = 4 + struct.unpack_from(">i", buf)[0]
        return n

    def close(self):
        self.sock.close()


def best(runs):
    """Each figure's best (smallest) value over the runs."""
    return {k: min(r[k] for r in runs) for k in runs[0]}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--add", type=int, default=20000, help="add calls per batch")
    ap.add_argument("--echo", type=int, default=5000, help="echo calls per batch")
    ap.add_argument("--repeat", type=int, default=5, help="batches per row, alternating between the clients")
    args = ap.parse_args()

    parser = brovane.ThriftParser()
    parser.parse(IDL)
    item = sample_item()
    with tempfile.TemporaryDirectory() as tmp:
        idl_path = os.path.join(tmp, "bench.thrift")
        with open(idl_path, "w") as f:
            f.write(IDL)
        subprocess.run(["thrift", "--gen", "py", "-out", tmp, idl_path], check=True, capture_output=True)

        server = subprocess.Popen([SYSTEM_PYTHON, "-c", SERVER, tmp], stdout=subprocess.PIPE, text=True)
        try:
            port = int(server.stdout.readline())
            apache = Apache(tmp, port)
            client = brovane.ThriftClient(parser.get_service("Bench"), "127.0.0.1", port)
            client.set_parser(parser)
            client.open()
            assert client.call("add", a=1, b=2) == 3
            assert client.call("echo", item=item).to_dict()["values"] == item["values"]
            raw = RawSocket(port)
            add_request = framed_call("add", 0, struct.pack(">bhqbhqb", 10, 1, 123456789, 10, 2, 987654321, 0))
            echo_request = framed_call("echo", 0, b"\x0c\x00\x01" + parser.get_struct("Item").serialize(item) + b"\x00")
            n = raw.call(add_request)
            assert raw.buf[n - 12:n] == struct.pack(">bhqb", 10, 0, 123456789 + 987654321, 0)
            # The reply carries the same Item under field 0: as long as the request.
            assert raw.call(echo_request) == len(echo_request)
            floor = {"add": lambda: raw.call(add_request), "echo": lambda: raw.call(echo_request)}
            ours = {
                "add": lambda: client.call("add", a=123456789, b=987654321),
                "echo": lambda: client.call("echo", item=item),
                "echo + to_dict": lambda: client.call("echo", item=item).to_dict(),
            }
            counts = {"add": args.add, "echo": args.echo, "echo + to_dict": args.echo}
            # Batches alternate between the two clients so that a change in
            # the machine's load affects both rows alike.
            runs = {name: [] for name in ours}
            theirs_runs = {"add": [], "echo": []}
            floor_runs = {"add": [], "echo": []}
            for _ in range(args.repeat):
                for name, fn in ours.items():
                    runs[name].append(measure(counts[name], fn))
                    if name in theirs_runs:
                        theirs_runs[name].append(apache.run(name, counts[name]))
                        floor_runs[name].append(measure(counts[name], floor[name]))
            client.close()
            apache.close()
            raw.close()
        finally:
            server.kill()
            server.wait()
            server.stdout.close()

    results = {name: best(r) for name, r in runs.items()}
    theirs = {name: best(r) for name, r in theirs_runs.items()}
    floors = {name: best(r) for name, r in floor_runs.items()}
    apache_name = "apache (accelerated)" if apache.accelerated else "apache (plain)"
    print(f"{'row':<32}{'calls/s':>10}{'client CPU us/call':>20}{'user':>8}{'sys':>8}")
    rows = [(f"brovane {name}", r) for name, r in results.items()]
    rows += [(f"{apache_name} {name}", r) for name, r in theirs.items()]
    rows += [(f"raw socket {name} (floor)", r) for name, r in floors.items()]
    for label, r in rows:
        per = 1e6 / r["n"]
        print(f"{label:<32}{r['n'] / r['wall']:>10.0f}{r['cpu'] * per:>20.2f}{r['user'] * per:>8.2f}"
              f"{r['sys'] * per:>8.2f}")
    print()
    for name, base in (("add", "add"), ("echo", "echo"), ("echo + to_dict", "echo")):
        r, t = results[name], theirs[base]
        speed = (r["n"] / r["wall"]) / (t["n"] / t["wall"])
        cpu = (r["cpu"] / r["n"]) / (t["cpu"] / t["n"])
        print(f"brovane {name:<16} vs apache {base:<6}: {speed:5.2f}x calls/s, {cpu:5.2f}x client CPU per call")
    print()
    # What each client spends beyond one bare request and reply: mostly its
    # own user-space work (encoding, decoding, the interpreter, the locks).
    # The floor row makes a few interpreter-level socket calls of its own, so
    # a client whose work is native can come out at or just below it.
    def per(r, key):
        return r[key] / r["n"] * 1e6

    for name, base in (("add", "add"), ("echo", "echo"), ("echo + to_dict", "echo")):
        r, t, f = results[name], theirs[base], floors[base]
        ours_above, theirs_above = per(r, "cpu") - per(f, "cpu"), per(t, "cpu") - per(f, "cpu")
        ratio = f"{ours_above / theirs_above:5.2f}x" if theirs_above > 0 else "  n/a"
        ours_user, theirs_user = per(r, "user") - per(f, "user"), per(t, "user") - per(f, "user")
        print(f"above the floor, {name:<16}: brovane {ours_above:6.2f} us/call (user {ours_user:6.2f}),"
              f" apache {theirs_above:6.2f} (user {theirs_user:6.2f}), {ratio}")
    print()
    for name, base in (("add", "add"), ("echo", "echo")):
        half, floor_cpu = per(theirs[base], "cpu") / 2, per(floors[base], "cpu")
        print(f"0.5x apache {base:<5} = {half:6.2f} us/call CPU; the floor is {floor_cpu:6.2f}"
              f" ({'below' if half < floor_cpu else 'above'} it); brovane {per(results[name], 'cpu'):6.2f}")

if __name__ == "__main__":
    sys.exit(main())
