"""The end of a program that has servers and clients: interpreter exit while
handlers run, a program's own atexit steps that still use clients, a child
forked from a serving process, and a manual run of the atexit callbacks.

Every scenario runs in a fresh interpreter; each must end with exit status 0
and nothing on standard error. Every wait is bounded.
"""

import os
import subprocess
import sys
import textwrap
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
# AddressSanitizer's allocator has no fork handling: a child forked while
# another thread allocates inherits its lock held and hangs at its first
# free.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

PRELUDE = """
import atexit, inspect, os, socket, sys, threading, time
sys.path.insert(0, {here!r})
import brovane
from server_harness import wait_until
from wire import free_port

IDL = "service S {{ i64 work(1: double secs), void nap(1: double s) }}"
parser = brovane.ThriftParser()
parser.parse(IDL)
svc = parser.get_service("S")


def work(secs):
    # Python code all along: the interpreter lets its lock go every few
    # milliseconds inside.
    end = time.time() + secs
    n = 0
    while time.time() < end:
        n += 1
    return n


async def async_work(secs):
    return work(secs)


def marked_work(secs):
    return work(secs)


inspect.markcoroutinefunction(marked_work)


def nap(s):
    time.sleep(s)


def serve(workers=2, **handlers):
    server = brovane.ThriftServer(svc, workers=workers)
    server.set_parser(parser)
    for name, handler in handlers.items():
        server.register_handler(name, handler)
    port = free_port()
    server.serve("127.0.0.1", port)
    assert wait_until(server.is_running)
    return server, port


def client(port):
    c = brovane.ThriftClient(svc, "127.0.0.1", port)
    c.set_parser(parser)
    c.open()
    return c


def in_background(fn, *args):
    t = threading.Thread(target=fn, args=args, daemon=True)
    t.start()
    return t
"""

# A server in a process of its own, for clients that must not share the
# interpreter with it. Prints its port, then serves until its input closes.
NAP_SERVER = """
server, port = serve(workers=2, nap=nap)
print("port", port, flush=True)
sys.stdin.read()
"""


def run(body, timeout=60, args=()):
    code = PRELUDE.format(here=HERE) + textwrap.dedent(body)
    started = time.monotonic()
    r = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=timeout,
                       cwd=HERE, env=dict(os.environ))
    return r, time.monotonic() - started


def without_listening_lines(text):
    return "".join(line for line in text.splitlines(keepends=True) if " listening on " not in line)


class OtherProcessServer:
    """The nap server in a process of its own, for the scope."""

    def __enter__(self):
        code = PRELUDE.format(here=HERE) + textwrap.dedent(NAP_SERVER)
        self.proc = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, cwd=HERE, env=dict(os.environ))
        line = ""
        while not line.startswith("port "):
            line = self.proc.stdout.readline()
            if not line:
                raise AssertionError("the server process ended before it served")
        return int(line.split()[1])

    def __exit__(self, *exc):
        self.proc.stdin.close()
        self.proc.stdout.close()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class ExitWhileHandlersRunTest(unittest.TestCase):
    # The program ends while a handler computes in Python code for much
    # longer than anything waits at exit: the interpreter ends the thread
    # that runs it as it finalizes, which must not take the process down.
    def test_exit_while_a_handler_computes(self):
        for handler in ("work", "async_work", "marked_work"):
            for stop in (False, True):
                with self.subTest(handler=handler, stop=stop):
                    r, _ = run(f"""
                        server, port = serve(work={handler})
                        def call():
                            client(port).call("work", secs=30.0)
                        in_background(call)
                        time.sleep(0.5)
                        if {stop}:
                            server.stop()
                        sys.exit(0)
                    """)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(r.stderr, "")

    def test_exit_while_daemon_threads_wait_inside_calls_of_the_same_process(self):
        # Handlers that sleep let the lock go: their threads and the calling
        # threads take it back only after the interpreter has begun to
        # finalize.
        r, _ = run("""
            server, port = serve(workers=4, nap=nap)
            def call():
                c = client(port)
                while True:
                    c.call("nap", s=0.05)
            for _ in range(8):
                in_background(call)
            time.sleep(0.5)
        """)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")


class AtexitStepsTest(unittest.TestCase):
    # The program's own atexit steps run before the interpreter finalizes,
    # whenever they were registered: clients keep working in them, and so
    # do threads that they wait for.
    BODY = """
        stop = threading.Event()
        def background(port):
            c = client(port)
            while not stop.is_set():
                c.call("nap", s=0.2)
        def graceful_shutdown():
            stop.set()
            worker.join(10)
            print("alive after join:", worker.is_alive(), flush=True)
            client(port).call("nap", s=0.0)
            print("called from atexit", flush=True)
        atexit.register(graceful_shutdown)  # before any client or server exists
        port = int(sys.argv[1]) if len(sys.argv) > 1 else serve(nap=nap)[1]
        worker = in_background(background, port)
        time.sleep(1.0)
    """

    def test_an_atexit_step_joins_a_thread_that_calls_a_server_of_another_process(self):
        with OtherProcessServer() as port:
            r, _ = run(self.BODY, args=(str(port),))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "alive after join: False\ncalled from atexit\n")
        self.assertEqual(r.stderr, "")

    def test_an_atexit_step_joins_a_thread_that_calls_a_server_of_the_same_process(self):
        r, _ = run(self.BODY)
        self.assertEqual(without_listening_lines(r.stdout), "alive after join: False\ncalled from atexit\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")

    def test_servers_and_clients_work_after_a_manual_run_of_the_atexit_callbacks(self):
        # Some frameworks and test runners run the callbacks themselves.
        r, _ = run("""
            server, port = serve(workers=2, work=work, nap=nap)
            c = client(port)
            assert c.call("work", secs=0.0) >= 0
            atexit._run_exitfuncs()
            print("same server", c.call("work", secs=0.0) >= 0, flush=True)
            results = []
            t = in_background(lambda: results.append(client(port).call("work", secs=0.0) >= 0))
            t.join(20)
            print("other thread", results, flush=True)
            other, other_port = serve(workers=2, work=async_work)
            print("new server", client(other_port).call("work", secs=0.0) >= 0, flush=True)
        """)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(without_listening_lines(r.stdout), "same server True\nother thread [True]\nnew server True\n")
        self.assertEqual(r.stderr, "")


@unittest.skipIf(SANITIZED, "AddressSanitizer's allocator does not survive fork() in a threaded process")
class ForkTest(unittest.TestCase):
    # A child forked from a serving process has none of the server's
    # threads, and nothing may wait for them at its exit.
    def test_a_child_forked_while_a_server_runs_exits_at_once(self):
        for busy in (False, True):
            with self.subTest(busy=busy):
                r, _ = run(f"""
                    import warnings
                    warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a threaded process
                    server, port = serve(workers=2, nap=nap)
                    if {busy}:
                        in_background(lambda: client(port).call("nap", s=5.0))
                        time.sleep(0.3)
                    started = time.monotonic()
                    pid = os.fork()
                    if pid == 0:
                        sys.exit(0)
                    _, status = os.waitpid(pid, 0)
                    print("child", os.waitstatus_to_exitcode(status), round(time.monotonic() - started, 2), flush=True)
                """)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr, "")
                [line] = [line for line in r.stdout.splitlines() if line.startswith("child ")]
                _, status, seconds = line.split()
                self.assertEqual(status, "0")
                # It took 5 s idle and 10 s busy while it waited for the
                # parent's threads; a loaded machine needs well under 2.5 s.
                self.assertLess(float(seconds), 2.5, line)


if __name__ == "__main__":
    unittest.main()
