"""Load and soak: five servers (every transport and protocol pair; Buffered
cannot carry Compact), 8 workers each, plain and coroutine handlers, under
128 concurrent connections on 127.0.0.1 for SOAK_SECONDS after a warm-up.

Most connections are ThriftClients that check every reply against values
unique to their thread and call, so a reply that is lost, crossed with
another connection's or garbled shows up as a wrong value, an exception or a
call that never returns. The others are raw sockets that leave mid-request:
half a message and a close or a reset, a whole request and no read, two
pipelined requests and a partial read. The server must pass over all of
them in silence. Once the servers are stopped, every server thread and
descriptor must be gone; resident memory at the end of the soak must be
within RSS_GROWTH of its level after the warm-up.

The soak runs in a child interpreter: its C allocator is tuned there (see
ALLOCATOR) so that resident memory tracks memory in use, and a child that
hangs is killed after its thread stacks are dumped, so the test never hangs
whatever the server does. Every wait inside it is bounded too.
"""

import asyncio
import collections
import ctypes
import faulthandler
import gc
import json
import os
import random
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import unittest

from brovane import ProtocolType, ThriftApplicationException, ThriftClient, ThriftServer, TransportType

from server_harness import LOOP, WORKER, parse, thread_names, wait_until
from wire import (CALL, T_STRING, compact_message, field, framed, free_port, json_message, message, string, varint,
                  zigzag32)

SOAK_SECONDS = 20.0
WARMUP_SECONDS = 6.0
CONNECTIONS = 128
DROPPERS = 8               # of CONNECTIONS, the raw sockets that leave mid-request
WORKERS = 8
REOPEN_EVERY = 250         # calls before a client closes and reopens its connection
RSS_GROWTH = 0.10
JOIN_GRACE = 10.0          # after the soak, for the calls in progress to return
SHUTDOWN_TIMEOUT = 10.0    # for threads and descriptors to go once the servers are stopped
SOCKET_TIMEOUT = 5.0
CHILD_TIMEOUT = WARMUP_SECONDS + SOAK_SECONDS + JOIN_GRACE + 3 * SHUTDOWN_TIMEOUT + 15
SEED = 20240611

# glibc's per-thread caches of freed blocks count as memory in use and fill
# for many seconds with some 300 threads; its mmap threshold, once it has
# risen, puts large messages into the arenas, whose freed memory is rarely
# handed back. Both would grow resident memory during the soak without any
# leak, so the child turns them off.
ALLOCATOR = "glibc.malloc.tcache_count=0:glibc.malloc.mmap_threshold=131072"
# AddressSanitizer's allocator quarantines freed memory: resident memory
# only grows under it, so the memory check is left out there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

IDL = """
struct Item {
  1: i64 id,
  2: string tag,
  3: list<i32> values,
  4: map<string, i64> attrs,
}

service Soak {
  i32 add(1: i32 a, 2: i32 b),
  string echo(1: string s),
  Item mirror(1: Item item),
  i32 fail(1: string why),
  i32 add_async(1: i32 a, 2: i32 b),
  string echo_async(1: string s),
  Item mirror_async(1: Item item),
}
"""

COMBOS = [
    (TransportType.Framed, ProtocolType.Binary),
    (TransportType.Framed, ProtocolType.Compact),
    (TransportType.Framed, ProtocolType.JSON),
    (TransportType.Buffered, ProtocolType.Binary),
    (TransportType.Buffered, ProtocolType.JSON),
    # Buffered + Compact: the Buffered receiver cannot find Compact message ends.
]

# Characters that the Buffered JSON bracket scan and the string codecs must
# carry through untouched.
AWKWARD = '{}[]"\\/\n\t\x01é☃𝄞'


def add(a, b):
    return a + b


def echo(s):
    return s


def mirror(item):
    return item


def fail(why):
    raise ValueError(why)


async def add_async(a, b):
    await asyncio.sleep(0)
    return a + b


async def echo_async(s):
    await asyncio.sleep(0)
    return s


async def mirror_async(item):
    await asyncio.sleep(0.001 if item.id % 7 == 0 else 0)  # some coroutines stay in flight a while
    return item


HANDLERS = {f.__name__: f for f in (add, echo, mirror, fail, add_async, echo_async, mirror_async)}


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


try:
    _malloc_trim = ctypes.CDLL(None).malloc_trim
except (OSError, AttributeError):
    _malloc_trim = None


def settled_rss(samples=3):
    """Resident memory with garbage collected and the C allocator's free pages
    handed back (see ALLOCATOR), the median of a few samples."""
    out = []
    for _ in range(samples):
        gc.collect()
        if _malloc_trim is not None:
            _malloc_trim(0)
        out.append(rss_bytes())
        time.sleep(0.2)
    return sorted(out)[len(out) // 2]


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def fd_targets():
    out = collections.Counter()
    for fd in os.listdir("/proc/self/fd"):
        try:
            out[os.readlink(f"/proc/self/fd/{fd}")] += 1
        except OSError:
            pass  # the descriptor that listed the directory
    return out


def task_count():
    return len(os.listdir("/proc/self/task"))


def combo_name(transport, protocol):
    return f"{transport!r}/{protocol!r}".replace("TransportType.", "").replace("ProtocolType.", "")


def text(rng, tid, n):
    """A string unique to thread `tid` and call `n`, of varied length and content."""
    size = rng.choice((0, 1, 10, 100, 1000)) if rng.random() < 0.97 else rng.randrange(10_000, 70_000)
    body = "".join(rng.choice(AWKWARD + "abcxyz0123") for _ in range(min(size, 200)))
    body = (body * (size // max(len(body), 1) + 1))[:size]
    return f"{tid}:{n}:{body}"


def echo_request(protocol, seqid, s):
    """A whole echo request, unframed, as a raw peer writes it."""
    if protocol is ProtocolType.Binary:
        return message("echo", CALL, seqid, field(T_STRING, 1, string(s)) + b"\x00")
    if protocol is ProtocolType.Compact:
        data = s.encode()
        return compact_message("echo", CALL, seqid, b"\x18" + varint(zigzag32(len(data))) + data + b"\x00")
    return json_message("echo", CALL, seqid, {"1": ["str", s]})


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.calls = 0
        self.by_server = collections.Counter()  # checked calls per transport and protocol
        self.drops = 0
        self.reopens = 0
        self.problems = []      # wrong replies and unexpected exceptions, with their context

    def problem(self, text):
        with self.lock:
            if len(self.problems) < 50:
                self.problems.append(text)


class Caller(threading.Thread):
    """One ThriftClient connection making checked calls until `finish` is set."""

    def __init__(self, tid, parser, port, transport, protocol, finish, stats):
        super().__init__(name=f"soak-client-{tid}", daemon=True)
        self.tid, self.parser, self.port = tid, parser, port
        self.transport, self.protocol = transport, protocol
        self.finish, self.stats = finish, stats
        self.rng = random.Random(SEED * 1000 + tid)
        self.doing = "starting"
        self.calls = 0

    def where(self):
        return f"client {self.tid} ({self.transport!r}, {self.protocol!r}, port {self.port}): {self.doing}"

    def connect(self):
        c = ThriftClient(self.parser.get_service("Soak"), "127.0.0.1", self.port, transport=self.transport,
                         protocol=self.protocol)
        c.set_parser(self.parser)
        c.open()
        return c

    def run(self):
        try:
            client = self.connect()
        except Exception as e:
            self.stats.problem(f"{self.where()}: open failed: {e!r}")
            return
        try:
            n = 0
            while not self.finish.is_set():
                n += 1
                if n % REOPEN_EVERY == 0:
                    self.doing = "reopening"
                    client.close()
                    client = self.connect()
                    with self.stats.lock:
                        self.stats.reopens += 1
                self.one_call(client, n)
                self.calls += 1
            self.doing = "done"
        except Exception as e:
            self.stats.problem(f"{self.where()}: {type(e).__name__}: {e}")
        finally:
            client.close()
            with self.stats.lock:
                self.stats.calls += self.calls
                self.stats.by_server[combo_name(self.transport, self.protocol)] += self.calls

    def one_call(self, client, n):
        rng, tid = self.rng, self.tid
        kind = rng.choice(("add", "echo", "mirror", "fail", "add_async", "echo_async", "mirror_async"))
        if kind.startswith("add"):
            a, b = (tid << 20) | (n & 0xFFFFF), rng.randrange(-1000, 1000)
            self.doing = f"{kind}(a={a}, b={b})"
            got, want = client.call(kind, a=a, b=b), a + b
        elif kind.startswith("echo"):
            s = text(rng, tid, n)
            self.doing = f"{kind}(s of {len(s)} characters, {s[:20]!r}...)"
            got, want = client.call(kind, s=s), s
        elif kind.startswith("mirror"):
            item = {"id": (tid << 32) | n, "tag": text(rng, tid, n),
                    "values": [rng.randrange(-2**31, 2**31) for _ in range(rng.randrange(0, 50))],
                    "attrs": {f"k{i}-{tid}": rng.randrange(-2**63, 2**63) for i in range(rng.randrange(0, 8))}}
            self.doing = f"{kind}(item id {item['id']})"
            r = client.call(kind, item=item)
            got = {"id": r.id, "tag": r.tag, "values": r.values, "attrs": r.attrs}
            want = item
        else:
            why = f"no {tid}:{n}"
            self.doing = f"fail(why={why!r})"
            try:
                client.call("fail", why=why)
                got = "a result"
            except ThriftApplicationException as e:
                got = (e.type_, e.message)
            want = (6, f"ValueError: {why}")
        if got != want:
            self.stats.problem(f"{self.where()}: got {str(got)[:200]}")


class Dropper(threading.Thread):
    """Raw connections that leave in the middle of a request or before its reply."""

    ACTIONS = ("half", "half-reset", "unread", "unread-reset", "pipelined-partial-read", "connect-close")

    def __init__(self, tid, servers, finish, stats):
        super().__init__(name=f"soak-dropper-{tid}", daemon=True)
        self.tid, self.servers, self.finish, self.stats = tid, servers, finish, stats
        self.rng = random.Random(SEED * 1000 + 500 + tid)
        self.doing = "starting"
        self.drops = 0

    def where(self):
        return f"dropper {self.tid}: {self.doing}"

    def run(self):
        try:
            n = 0
            while not self.finish.wait(0.01):
                n += 1
                port, transport, protocol = self.rng.choice(self.servers)
                action = self.rng.choice(self.ACTIONS)
                self.doing = f"{action} on port {port} ({transport!r}, {protocol!r})"
                self.drop(port, transport, protocol, action, n)
                self.drops += 1
            self.doing = "done"
        except Exception as e:
            self.stats.problem(f"{self.where()}: {type(e).__name__}: {e}")
        finally:
            with self.stats.lock:
                self.stats.drops += self.drops

    def drop(self, port, transport, protocol, action, n):
        request = echo_request(protocol, n, text(self.rng, 1000 + self.tid, n))
        if transport is TransportType.Framed:
            request = framed(request)
        sock = socket.create_connection(("127.0.0.1", port), timeout=SOCKET_TIMEOUT)
        try:
            if action.endswith("reset"):
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            if action.startswith("half"):
                sock.sendall(request[:max(1, len(request) // 2)])
            elif action.startswith("unread"):
                sock.sendall(request)
            elif action == "pipelined-partial-read":
                sock.sendall(request + request)
                sock.recv(3)
        except (ConnectionResetError, BrokenPipeError):
            pass  # the server may already have dropped a connection that we are leaving anyway
        finally:
            sock.close()


def settle_process_state(parser):
    """One server and one client, started and ended before the baseline is
    taken: what the first of them sets up for the life of the process (the
    SIGINT handler's wake-up pipe, for one) is not a leak."""
    before = task_count()
    server = ThriftServer(parser.get_service("Soak"))
    server.set_parser(parser)
    server.register_handler("add", add)
    port = free_port()
    server.serve("127.0.0.1", port)
    if not wait_until(server.is_running):
        raise RuntimeError("the first server did not start")
    client = ThriftClient(parser.get_service("Soak"), "127.0.0.1", port)
    client.set_parser(parser)
    with client:
        if client.call("add", a=1, b=2) != 3:
            raise RuntimeError("the first call went wrong")
    del client
    server.stop()
    # Counted, as the serve thread has no name.
    if not wait_until(lambda: task_count() <= before, SHUTDOWN_TIMEOUT):
        raise RuntimeError(f"the first server's threads did not end: {thread_names()}")
    gc.collect()


def start_servers(parser):
    servers, endpoints = [], []
    for transport, protocol in COMBOS:
        server = ThriftServer(parser.get_service("Soak"), transport=transport, workers=WORKERS, protocol=protocol)
        server.set_parser(parser)
        for name, fn in HANDLERS.items():
            server.register_handler(name, fn)
        port = free_port()
        servers.append(server)
        server.serve("127.0.0.1", port)
        endpoints.append((port, transport, protocol))
    for server, (port, transport, protocol) in zip(servers, endpoints):
        if not wait_until(server.is_running):
            raise RuntimeError(f"server {transport!r} {protocol!r} on port {port} did not start")
    return servers, endpoints


def soak():
    """The soak, in the child interpreter: (problems found, summary line)."""
    parser = parse(IDL)
    settle_process_state(parser)
    base_fds, base_tasks, base_py = fd_count(), task_count(), threading.active_count()
    base_targets = fd_targets()
    servers, threads, problems, rss_samples = [], [], [], []
    rss_warm = rss_soak = tasks_warm = tasks_soak = peak_tasks = 0
    finish = threading.Event()
    stats = Stats()
    try:
        servers, endpoints = start_servers(parser)
        for tid in range(CONNECTIONS - DROPPERS):
            port, transport, protocol = endpoints[tid % len(endpoints)]
            threads.append(Caller(tid, parser, port, transport, protocol, finish, stats))
        threads += [Dropper(tid, endpoints, finish, stats) for tid in range(DROPPERS)]
        # The schedule counts from here: with 128 busy threads, every wait of
        # this thread's for the interpreter lock takes a while.
        start = time.monotonic()
        for t in threads:
            t.start()
        time.sleep(max(0.0, start + WARMUP_SECONDS - time.monotonic()))
        # Both levels are taken under the same full load.
        rss_warm, tasks_warm = settled_rss(), task_count()
        end = start + WARMUP_SECONDS + SOAK_SECONDS
        while (left := end - time.monotonic()) > 0:
            time.sleep(min(5.0, left))
            peak_tasks = max(peak_tasks, task_count())
            rss_samples.append(settled_rss(1) >> 20)
        rss_soak, tasks_soak = settled_rss(), task_count()
    finally:
        finish.set()
        deadline = time.monotonic() + JOIN_GRACE
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
        hung = [t.where() for t in threads if t.is_alive()]
        if hung:
            problems.append(f"{len(hung)} connections still busy {JOIN_GRACE:.0f} s after the soak "
                            f"(a lost reply or a hang): " + "; ".join(hung[:10]))
        for server in servers:
            server.stop()
        # Stopping ends every connection, so that a hung call returns now.
        deadline = time.monotonic() + SHUTDOWN_TIMEOUT
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))

    still = [t.where() for t in threads if t.is_alive()]
    if still:
        problems.append(f"{len(still)} connections still blocked after the servers stopped: " + "; ".join(still[:10]))
    problems += stats.problems
    summary = (f"soak: {stats.calls} checked calls ({', '.join(f'{k} {v}' for k, v in stats.by_server.items())}), "
               f"{stats.drops} dropped connections, {stats.reopens} reopens in {WARMUP_SECONDS + SOAK_SECONDS:.0f} s; "
               f"RSS {rss_warm / 2**20:.1f} MiB after the warm-up, {rss_soak / 2**20:.1f} MiB after the soak; "
               f"threads: {base_tasks} before, {tasks_warm} after the warm-up, {tasks_soak} after the soak, "
               f"{max(peak_tasks, tasks_warm, tasks_soak)} at the peak")
    del threads
    gc.collect()

    def settled():
        names = thread_names()
        return (WORKER not in names and LOOP not in names and task_count() <= base_tasks
                and fd_count() <= base_fds and threading.active_count() <= base_py)

    wait_until(settled, SHUTDOWN_TIMEOUT)
    names = thread_names()
    if WORKER in names or LOOP in names or task_count() > base_tasks:
        problems.append(f"threads left after stop: {task_count()} (baseline {base_tasks}), "
                        f"{names.count(WORKER)} {WORKER!r}, {names.count(LOOP)} {LOOP!r}")
    if threading.active_count() > base_py:
        problems.append(f"Python threads left: {threading.active_count()} (baseline {base_py}): "
                        f"{[t.name for t in threading.enumerate()][:10]}")
    if fd_count() > base_fds:
        problems.append(f"file descriptors left: {fd_count()} (baseline {base_fds}): "
                        f"{sorted((fd_targets() - base_targets).elements())[:20]}")
    if SANITIZED:
        summary += " (memory not compared under AddressSanitizer)"
    elif rss_soak > rss_warm * (1 + RSS_GROWTH):
        problems.append(f"resident memory grew {100 * (rss_soak / rss_warm - 1):.1f}% during the soak "
                        f"({rss_warm >> 20} -> {rss_soak >> 20} MiB; samples in MiB: {rss_samples})")
    return problems, summary


def child_main(result_path):
    """Runs the soak and writes its findings as JSON to `result_path`."""
    faulthandler.enable()
    # Short of the parent's limit: every thread's stack, then exit.
    faulthandler.dump_traceback_later(CHILD_TIMEOUT - 10, exit=True)
    try:
        problems, summary = soak()
    except Exception:
        problems, summary = [f"the soak failed: {traceback.format_exc()}"], "soak: did not run to its end"
    with open(result_path, "w") as f:
        json.dump({"problems": problems, "summary": summary}, f)
    faulthandler.cancel_dump_traceback_later()
    sys.stdout.flush()
    sys.stderr.flush()
    if problems:
        os._exit(0)  # threads that may still be blocked must not hold up the interpreter's exit
    return 0


class SoakTest(unittest.TestCase):
    def test_soak(self):
        here = os.path.dirname(os.path.abspath(__file__))
        env = dict(os.environ)
        env["GLIBC_TUNABLES"] = ":".join(filter(None, (env.get("GLIBC_TUNABLES"), ALLOCATOR)))
        with tempfile.TemporaryDirectory() as tmp:
            result_path = os.path.join(tmp, "result.json")
            out_path, err_path = os.path.join(tmp, "out"), os.path.join(tmp, "err")
            with open(out_path, "wb") as out, open(err_path, "wb") as err:
                try:
                    proc = subprocess.run(
                        [sys.executable, "-c", "import sys, test_soak; sys.exit(test_soak.child_main(sys.argv[1]))",
                         result_path], cwd=here, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                        timeout=CHILD_TIMEOUT)
                    returncode = proc.returncode
                except subprocess.TimeoutExpired:
                    returncode = None
            with open(err_path, errors="replace") as f:
                err_text = f.read()
            result = None
            if os.path.exists(result_path):
                with open(result_path) as f:
                    result = json.load(f)

        if result is None:
            ended = f"was killed after {CHILD_TIMEOUT:.0f} s" if returncode is None else f"exited with {returncode}"
            self.fail(f"the soak process {ended} without a result; its standard error:\n{err_text[-6000:]}")
        sys.stderr.write(result["summary"] + "\n")
        problems = result["problems"]
        if returncode != 0:
            problems.append(f"the soak process did not exit cleanly (exit status {returncode})")
        # Every way a peer leaves here ends in the end of input, a reset or
        # a broken pipe, which the server passes over in silence: nothing at
        # all belongs on standard error.
        lines = [line for line in err_text.splitlines() if line]
        if lines:
            problems.append(f"{len(lines)} lines on standard error, first ones: {lines[:8]}")
        self.assertEqual(problems, [], result["summary"])


if __name__ == "__main__":
    unittest.main()
