"""ThriftServer: the object and its properties, handler registration, the
serve/stop lifecycle with its console lines, SIGINT, bind failures, the
runtime's threads and their asyncio loops.

Console lines go straight to file descriptors 1 and 2, so tests capture the
descriptors themselves. Scenarios that signal the process, limit it or break
its imports run in a subprocess. Every wait is bounded.
"""

import gc
import inspect
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
import unittest
import weakref

import asyncio
import struct
import threading

from brovane import ProtocolType, ThriftApplicationException, ThriftClient, ThriftParser, ThriftServer, TransportType

import server_harness
from server_harness import LOOP, WORKER, Console, ServerCase, current_thread_name, parse, thread_names, wait_until
from wire import TIMEOUT, free_port

IDL = """
service Calc {
  void ping(),
  i32 add(1: i32 a, 2: i32 b),
  string where(),
}
"""


def parser():
    return parse(IDL)


def service():
    return parser().get_service("Calc")


def count_threads(name):
    return thread_names().count(name)


BASELINE_THREADS = len(os.listdir("/proc/self/task"))


def runtime_gone():
    """No server thread left, the unnamed serve thread included."""
    return server_harness.runtime_gone(BASELINE_THREADS)


def connect_refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT).close()
        return False
    except ConnectionRefusedError:
        return True
    except ConnectionResetError:
        return False  # accepted into the backlog of a listener that then closed


def run_script(body, timeout=60):
    """Runs `body` in a fresh interpreter with the module and these helpers
    importable."""
    code = textwrap.dedent(
        """
        import os, socket, sys, time
        sys.path.insert(0, {here!r})
        from brovane import ThriftParser, ThriftServer
        from server_harness import parse, runtime_gone as runtime_gone_below, thread_names as names, wait_until
        from wire import free_port
        IDL = {idl!r}
        def service():
            return parse(IDL).get_service("Calc")
        BASELINE = len(os.listdir("/proc/self/task"))
        def runtime_gone():
            return runtime_gone_below(BASELINE)
        """
    ).format(here=os.path.dirname(os.path.abspath(__file__)), idl=IDL) + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ))


class CycleHolder:
    """Holds a server whose handler is its own bound method: a reference
    cycle through the server."""

    def __init__(self):
        self.server = ThriftServer(service())
        self.server.register_handler("ping", self.ping)

    def ping(self):
        pass


def listening_line(port, transport="Framed", workers=1, host="127.0.0.1"):
    return f"ThriftServer ({transport}, {workers} workers) listening on {host}:{port}\n"


class ServerTestCase(ServerCase):
    """Also waits for the serve threads, which only the thread count shows."""

    max_threads = BASELINE_THREADS


class ObjectTest(unittest.TestCase):
    def test_defaults(self):
        s = ThriftServer(service())
        self.assertIs(s.transport, TransportType.Framed)
        self.assertIs(s.protocol, ProtocolType.Binary)
        self.assertEqual(s.workers, 1)
        self.assertFalse(s.is_running())

    def test_constructor_arguments_by_position_and_keyword(self):
        s = ThriftServer(service(), TransportType.Buffered, 4, ProtocolType.JSON)
        self.assertEqual((s.transport, s.workers, s.protocol), (TransportType.Buffered, 4, ProtocolType.JSON))
        s = ThriftServer(protocol=ProtocolType.Compact, workers=0, service=service())
        self.assertEqual((s.transport, s.workers, s.protocol), (TransportType.Framed, 0, ProtocolType.Compact))
        self.assertEqual(ThriftServer(service(), workers=2**64 - 1).workers, 2**64 - 1)

    def test_bad_constructor_arguments(self):
        svc = service()
        cases = [
            ((None,), {}, TypeError, "argument 'service': 'None' is not an instance of 'PyThriftService'"),
            ((svc, None), {}, TypeError, "argument 'transport': 'None' is not an instance of 'TransportType'"),
            ((svc,), {"workers": None}, TypeError, None),
            ((svc,), {"protocol": None}, TypeError, "argument 'protocol': 'None' is not an instance of 'ProtocolType'"),
            ((svc, 0), {}, TypeError, "argument 'transport': 'int' object is not an instance of 'TransportType'"),
            ((svc,), {"workers": -1}, OverflowError, None),
            ((svc,), {"workers": 2**64}, OverflowError, None),
            ((svc,), {"workers": 1.0}, TypeError, None),
            ((), {}, TypeError, "ThriftServer.__new__() missing 1 required positional argument: 'service'"),
        ]
        for args, kwargs, exc, text in cases:
            with self.subTest(args=args, kwargs=kwargs):
                with self.assertRaises(exc) as cm:
                    ThriftServer(*args, **kwargs)
                if text is not None:
                    self.assertEqual(str(cm.exception), text)
        with self.assertRaises(TypeError) as cm:
            ThriftServer(svc, workers=None)
        self.assertTrue(str(cm.exception).startswith("argument 'workers': "), str(cm.exception))

    def test_properties(self):
        s = ThriftServer(service())
        s.transport = TransportType.Buffered
        s.protocol = ProtocolType.Compact
        s.workers = 0
        self.assertEqual((s.transport, s.protocol, s.workers), (TransportType.Buffered, ProtocolType.Compact, 0))
        self.assertIs(s.transport, TransportType.Buffered)  # the shared member object
        for name, value, exc in [("transport", 1, TypeError), ("protocol", None, TypeError),
                                 ("workers", -1, OverflowError), ("workers", "1", TypeError)]:
            with self.subTest(name=name, value=value):
                with self.assertRaises(exc):
                    setattr(s, name, value)
        for name in ("transport", "protocol", "workers"):
            with self.subTest(delete=name):
                with self.assertRaises(AttributeError) as cm:
                    delattr(s, name)
                self.assertEqual(str(cm.exception), "property has no deleter")
        with self.assertRaises(TypeError) as cm:
            s.workers = None
        self.assertTrue(str(cm.exception).startswith("argument 'workers': "), str(cm.exception))

    def test_documentation(self):
        self.assertEqual(ThriftServer.__text_signature__, "(service, transport=..., workers=1, protocol=...)")
        self.assertEqual(ThriftServer.stop.__doc__,
                         "Stop the running server (if any). This will notify the accept loop to exit\n"
                         "and clear the `running` flag.")
        for name, sig in [("serve", "($self, host, port)"), ("register_handler", "($self, method_name, handler)"),
                          ("set_parser", "($self, parser)"), ("is_running", "($self)"), ("stop", "($self)")]:
            with self.subTest(name=name):
                self.assertEqual(getattr(ThriftServer, name).__text_signature__, sig)
                if name != "stop":
                    self.assertIsNone(getattr(ThriftServer, name).__doc__)

    def test_class_traits(self):
        with self.assertRaises(TypeError):
            type("Sub", (ThriftServer,), {})
        s = ThriftServer(service())
        with self.assertRaises(AttributeError):
            s.anything = 1
        with self.assertRaises(TypeError):
            weakref.ref(s)

    def test_set_parser(self):
        s = ThriftServer(service())
        self.assertIsNone(s.set_parser(parser()))
        self.assertIsNone(s.set_parser(ThriftParser()))  # nothing parsed: an empty map
        with self.assertRaises(TypeError) as cm:
            s.set_parser(None)
        self.assertEqual(str(cm.exception), "argument 'parser': 'None' is not an instance of 'ThriftParser'")


class RegisterHandlerTest(unittest.TestCase):
    def test_stores_a_reference_and_replaces(self):
        s = ThriftServer(service())

        def first():
            pass

        def second():
            pass

        base = sys.getrefcount(first)
        self.assertIsNone(s.register_handler("ping", first))
        self.assertEqual(sys.getrefcount(first), base + 1)
        s.register_handler("ping", second)  # the earlier one is released
        self.assertEqual(sys.getrefcount(first), base)
        s.register_handler("not_in_service", first)  # any name, any object
        s.register_handler("ping", 42)
        del s
        self.assertEqual(sys.getrefcount(first), base)

    def test_method_name_must_be_str(self):
        s = ThriftServer(service())
        with self.assertRaises(TypeError) as cm:
            s.register_handler(b"ping", print)
        self.assertEqual(str(cm.exception), "argument 'method_name': 'bytes' object is not an instance of 'str'")

    def test_inspect_error_propagates_and_registers_nothing(self):
        s = ThriftServer(service())

        def handler():
            pass

        base = sys.getrefcount(handler)
        original = inspect.iscoroutinefunction

        def boom(obj):
            raise LookupError("no inspection today")

        inspect.iscoroutinefunction = boom
        try:
            with self.assertRaises(LookupError):
                s.register_handler("ping", handler)
        finally:
            inspect.iscoroutinefunction = original
        self.assertEqual(sys.getrefcount(handler), base)

    def test_cycle_through_a_bound_method_is_collected(self):
        h = CycleHolder()
        alive = weakref.ref(h)
        del h
        gc.collect()
        self.assertIsNone(alive())


class LifecycleTest(ServerTestCase):
    def test_listening_line_and_running_after_bind(self):
        s = ThriftServer(service())
        with Console() as cap:
            port = self.serve_server(s, running=False)
            self.assertTrue(wait_until(s.is_running))
        self.assertEqual(cap.out(), listening_line(port))
        self.assertEqual(cap.err(), "")
        socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT).close()

    def test_listening_line_names_transport_and_workers(self):
        s = ThriftServer(service(), TransportType.Buffered, 3)
        with Console() as cap:
            port = self.serve_server(s)
        self.assertEqual(cap.out(), listening_line(port, "Buffered", 3))

    def test_second_serve_while_running(self):
        # Refused once the first has bound, and as well while it is still
        # starting (it has not bound yet).
        for running in (True, False):
            with self.subTest(running=running):
                s = ThriftServer(service())
                with Console() as cap:
                    port = self.serve_server(s, running=running)
                    with self.assertRaises(RuntimeError) as cm:
                        s.serve("127.0.0.1", free_port())
                    self.assertTrue(wait_until(s.is_running))
                self.assertEqual(str(cm.exception), "server already running")
                self.assertEqual(cap.out().count("listening on"), 1)
                self.assertIn(listening_line(port), cap.out())
                s.stop()
                self.assertTrue(wait_until(lambda: not s.is_running()))

    def test_serve_arguments(self):
        s = ThriftServer(service())
        for args, exc, text in [((1, 80), TypeError, "argument 'host': 'int' object is not an instance of 'str'"),
                                (("127.0.0.1", 65536), OverflowError, None),
                                (("127.0.0.1", -1), OverflowError, None),
                                (("127.0.0.1", "80"), TypeError, None)]:
            with self.subTest(args=args):
                with Console() as cap:
                    with self.assertRaises(exc) as cm:
                        s.serve(*args)
                if text is not None:
                    self.assertEqual(str(cm.exception), text)
                self.assertEqual(cap.out(), "")
        self.assertFalse(s.is_running())

    def test_stop_prints_and_closes_the_listener(self):
        s = ThriftServer(service())
        with Console() as cap:
            port = self.serve_server(s)
            self.assertIsNone(s.stop())
            self.assertFalse(s.is_running())
            self.assertTrue(wait_until(lambda: connect_refused(port)))
            self.assertTrue(cap.wait_out("shutdown requested"))
            self.assertTrue(wait_until(runtime_gone))
        self.assertEqual(cap.out(), listening_line(port) + "shutdown requested\n")
        self.assertEqual(cap.err(), "")  # the loops' shutdown calls succeeded

    def test_serve_again_after_stop(self):
        s = ThriftServer(service())
        with Console() as cap:
            port = self.serve_server(s)
            s.stop()
            self.assertTrue(wait_until(lambda: connect_refused(port)))
            s.serve("127.0.0.1", port)  # the same port: address reuse
            self.assertTrue(wait_until(s.is_running))
            socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT).close()
        self.assertEqual(cap.out().count("listening on"), 2)

    def test_serve_right_after_stop_binds_the_same_port_on_a_busy_machine(self):
        # stop() returns before the accept loop has closed its listener; the
        # next serve() of the same object waits for that, so its bind of the
        # same address succeeds even while every processor is busy.
        p = parser()
        s = ThriftServer(p.get_service("Calc"), workers=2)
        s.set_parser(p)
        s.register_handler("add", lambda a, b: a + b)

        async def where():
            return "here"

        s.register_handler("where", where)
        self.servers.append(s)
        port = free_port()
        burn = "import time\nend = time.monotonic() + 120\nwhile time.monotonic() < end: pass"
        burners = [subprocess.Popen([sys.executable, "-c", burn]) for _ in range(os.cpu_count() or 2)]
        try:
            with Console() as cap:
                for round_ in range(40):
                    s.serve("127.0.0.1", port)
                    self.assertTrue(wait_until(s.is_running), f"round {round_}: {cap.err()}")
                    with ThriftClient(p.get_service("Calc"), "127.0.0.1", port) as c:
                        c.set_parser(p)
                        self.assertEqual(c.call("add", a=1, b=2), 3)
                        self.assertEqual(c.call("where"), "here")
                    s.stop()
        finally:
            for b in burners:
                b.kill()
                b.wait()
        self.assertEqual(cap.err(), "")
        self.assertEqual(cap.out().count("listening on"), 40)

    def test_stop_before_serve_does_not_reach_a_later_serve(self):
        s = ThriftServer(service())
        with Console() as cap:
            s.stop()
            s.stop()
            self.assertEqual(thread_names().count(WORKER), 0)
            port = self.serve_server(s)
            time.sleep(0.2)
            self.assertTrue(s.is_running())
        self.assertEqual(cap.out(), listening_line(port))

    def test_stop_right_after_serve_is_not_lost(self):
        # The stop most likely arrives while the loop is still binding; it is
        # kept until the loop waits, so the server ends either way.
        for _ in range(5):
            s = ThriftServer(service())
            with Console() as cap:
                port = self.serve_server(s, running=False)
                s.stop()
                self.assertTrue(cap.wait_out("shutdown requested"))
                self.assertTrue(wait_until(runtime_gone))
            self.assertFalse(s.is_running())
            self.assertEqual(cap.out(), listening_line(port) + "shutdown requested\n")
            self.assertTrue(connect_refused(port))

    def test_bind_failure(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = taken.getsockname()[1]
            s = ThriftServer(service())
            with Console() as cap:
                s.serve("127.0.0.1", port)
                self.assertTrue(cap.wait_err("bind error"))
                self.assertTrue(wait_until(runtime_gone))
            self.assertFalse(s.is_running())
            self.assertEqual(cap.out(), listening_line(port))
            self.assertEqual(cap.err(), f"bind error on 127.0.0.1:{port}: Address already in use (os error 98)\n")
        # And serve may be called again.
        self.serve_server(s)

    def test_bind_failure_texts(self):
        cases = [
            ("no-such-host.invalid", "bind error on no-such-host.invalid:{port}: failed to lookup address information: "),
            ("192.0.2.1", "bind error on 192.0.2.1:{port}: Cannot assign requested address (os error 99)\n"),
        ]
        for host, text in cases:
            with self.subTest(host=host):
                s = ThriftServer(service())
                port = free_port()
                with Console() as cap:
                    s.serve(host, port)
                    self.assertTrue(cap.wait_err("bind error"))
                    self.assertTrue(wait_until(runtime_gone))
                self.assertEqual(cap.out(), listening_line(port, host=host))
                self.assertTrue(cap.err().startswith(text.format(port=port)), cap.err())
                self.assertFalse(s.is_running())

    def test_host_names_and_ipv6_literals(self):
        for host, connect_to in [("localhost", None), ("[::1]", "::1"), ("::1", "::1")]:
            with self.subTest(host=host):
                try:
                    socket.create_connection(("::1", 1), timeout=1)
                except ConnectionRefusedError:
                    pass
                except OSError:
                    if connect_to == "::1":
                        self.skipTest("no IPv6 loopback")
                s = ThriftServer(service())
                port = free_port()
                with Console() as cap:
                    s.serve(host, port)
                    self.servers.append(s)
                    self.assertTrue(wait_until(s.is_running), cap.err())
                    if connect_to:
                        socket.create_connection((connect_to, port), timeout=TIMEOUT).close()
                    s.stop()
                    self.assertTrue(cap.wait_out("shutdown requested"))
                    self.assertTrue(wait_until(runtime_gone))
                self.assertEqual(cap.out(), listening_line(port, host=host) + "shutdown requested\n")

    def test_workers_zero_counts_processors(self):
        original = os.sched_getaffinity(0)
        try:
            for cpus in sorted(original)[:1], sorted(original)[:2], sorted(original)[:3], sorted(original):
                expected = len(cpus) if len(cpus) >= 3 else 2
                with self.subTest(cpus=len(cpus)):
                    os.sched_setaffinity(0, cpus)
                    s = ThriftServer(service(), workers=0)
                    with Console() as cap:
                        port = self.serve_server(s)
                        self.assertTrue(wait_until(lambda: count_threads(WORKER) == expected))
                        s.stop()
                        self.assertTrue(cap.wait_out("shutdown requested"))
                        self.assertTrue(wait_until(runtime_gone))
                    self.assertEqual(cap.out(), listening_line(port, workers=expected) + "shutdown requested\n")
        finally:
            os.sched_setaffinity(0, original)

    def test_handler_snapshot_references(self):
        def handler():
            pass

        s = ThriftServer(service())
        s.register_handler("ping", handler)
        base = sys.getrefcount(handler)
        with Console():
            self.serve_server(s)
            self.assertEqual(sys.getrefcount(handler), base + 1)  # the running server's own
            s.register_handler("ping", print)  # reaches the next serve only
            self.assertEqual(sys.getrefcount(handler), base)
            s.stop()
            self.assertTrue(wait_until(runtime_gone))
        # Released by the serve thread without the interpreter lock, so the
        # reference goes on the next entry into the module.
        s.is_running()
        self.assertEqual(sys.getrefcount(handler), base - 1)

    def test_stopped_and_unreferenced_server_frees_its_cycle(self):
        h = CycleHolder()
        with Console():
            self.serve_server(h.server)
            h.server.stop()
            self.assertTrue(wait_until(runtime_gone))
        self.servers.clear()
        alive = weakref.ref(h)
        del h
        ThriftServer(service()).is_running()  # an entry into the module releases queued references
        gc.collect()
        self.assertIsNone(alive())


class ThreadsTest(ServerTestCase):
    def test_one_loop_thread_per_runtime_thread(self):
        s = ThriftServer(service(), workers=3)
        with Console() as cap:
            self.serve_server(s)
            self.assertTrue(wait_until(lambda: count_threads(WORKER) == 3 and count_threads(LOOP) == 3),
                            thread_names())
            s.stop()
            self.assertTrue(wait_until(runtime_gone), thread_names())
        self.assertEqual(cap.err(), "")

    def test_two_servers_have_their_own_threads(self):
        a = ThriftServer(service(), workers=1)
        b = ThriftServer(service(), workers=2)
        with Console():
            self.serve_server(a)
            self.serve_server(b)
            self.assertTrue(wait_until(lambda: count_threads(WORKER) == 3 and count_threads(LOOP) == 3))
            a.stop()
            self.assertTrue(wait_until(lambda: count_threads(WORKER) == 2 and count_threads(LOOP) == 2))
            self.assertTrue(b.is_running())
            b.stop()
            self.assertTrue(wait_until(runtime_gone))


def client_for(port):
    p = parser()
    c = ThriftClient(p.get_service("Calc"), "127.0.0.1", port)
    c.set_parser(p)
    c.open()
    return c


class ServingTest(ServerTestCase):
    def test_registrations_after_serve_reach_only_the_next_serve(self):
        s = ThriftServer(service())
        s.set_parser(parser())
        s.register_handler("add", lambda a, b: a + b)
        port = self.serve_server(s)
        s.register_handler("add", lambda a, b: a * b)
        s.register_handler("ping", lambda: None)
        s.set_parser(ThriftParser())
        c = client_for(port)
        self.assertEqual(c.call("add", a=2, b=3), 5)
        with self.assertRaises(ThriftApplicationException) as cm:
            c.call("ping")
        self.assertEqual((cm.exception.message, cm.exception.type_), ("No handler registered for: ping", 1))
        c.close()
        s.stop()
        self.assertTrue(wait_until(lambda: connect_refused(port)))
        s.serve("127.0.0.1", port)
        self.assertTrue(wait_until(s.is_running))
        c = client_for(port)
        self.assertEqual(c.call("add", a=2, b=3), 6)
        self.assertIsNone(c.call("ping"))
        c.close()

    def test_peers_that_leave_early_print_nothing(self):
        s = ThriftServer(service())
        s.register_handler("ping", lambda: None)
        with Console() as cap:
            port = self.serve_server(s)
            socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT).close()
            with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as raw:
                raw.sendall(struct.pack(">i", 100) + b"\x80\x01")  # a frame cut short
            c = client_for(port)  # the server still answers
            self.assertIsNone(c.call("ping"))
            c.close()
            s.stop()
            self.assertTrue(wait_until(runtime_gone))
        self.assertEqual(cap.err(), "")

    def test_coroutines_run_on_the_loop_of_their_runtime_thread(self):
        async def where():
            await asyncio.sleep(0)
            loop = asyncio.get_running_loop()
            return f"{id(loop)} {threading.get_native_id()} {current_thread_name()}"

        s = ThriftServer(service(), workers=3)
        s.register_handler("where", where)
        port = self.serve_server(s)
        self.assertTrue(wait_until(lambda: count_threads(LOOP) == 3))
        seen = []
        errors = []

        def calls():
            try:
                c = client_for(port)
                for _ in range(10):
                    seen.append(c.call("where").split())
                c.close()
            except Exception as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=calls) for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(TIMEOUT)
        self.assertEqual(errors, [])
        self.assertEqual(len(seen), 60)
        self.assertTrue(all(comm == LOOP for _, _, comm in seen))
        loop_thread = {}
        for loop, tid, _ in seen:
            self.assertEqual(loop_thread.setdefault(loop, tid), tid)  # one thread per loop
        self.assertEqual(len(set(loop_thread.values())), len(loop_thread))  # and one loop per thread


# A Python handler for SIGINT, then a server, then a SIGINT: the server ends
# and the Python handler sees the signal as well.
SIGINT_THROUGH_A_PYTHON_HANDLER = textwrap.dedent("""
    import signal
    seen = []
    signal.signal(signal.SIGINT, lambda sig, frame: seen.append(sig))
    s = ThriftServer(service())
    s.serve("127.0.0.1", free_port())
    assert wait_until(s.is_running)
    os.kill(os.getpid(), signal.SIGINT)
    assert wait_until(lambda: not s.is_running())
    assert wait_until(lambda: seen)
    assert wait_until(runtime_gone)
    print("python handler saw", seen, flush=True)
""")


class SubprocessTest(unittest.TestCase):
    def test_sigint_stops_the_server_and_chains_to_the_previous_handler(self):
        r = run_script(SIGINT_THROUGH_A_PYTHON_HANDLER)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual(lines[1:], ["received Ctrl+C, shutting down", "python handler saw [2]"])
        self.assertEqual(r.stderr, "")

    def test_sigint_with_the_interpreters_own_handler(self):
        r = run_script("""
            s = ThriftServer(service())
            s.serve("127.0.0.1", free_port())
            assert wait_until(s.is_running)
            try:
                os.kill(os.getpid(), 2)
                time.sleep(10)
                print("no KeyboardInterrupt", flush=True)
            except KeyboardInterrupt:
                print("KeyboardInterrupt", flush=True)
            assert wait_until(lambda: not s.is_running())
            assert wait_until(runtime_gone)
        """)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("received Ctrl+C, shutting down\n", r.stdout)
        self.assertIn("KeyboardInterrupt", r.stdout)
        self.assertNotIn("no KeyboardInterrupt", r.stdout)

    def test_sigint_after_python_replaced_the_handler(self):
        # asyncio.run() puts the handler it found back when it ends, and
        # signal.signal replaces any: the next server installs its own again,
        # over the one it finds, which still runs first.
        r = run_script(textwrap.dedent("""
            import asyncio

            async def main():
                s = ThriftServer(service())
                s.serve("127.0.0.1", free_port())
                assert wait_until(s.is_running)
                s.stop()
                assert wait_until(runtime_gone)

            asyncio.run(main())
        """) + SIGINT_THROUGH_A_PYTHON_HANDLER)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines()[-2:], ["received Ctrl+C, shutting down", "python handler saw [2]"],
                         r.stdout)

    def test_one_sigint_ends_every_running_server(self):
        r = run_script("""
            import signal
            signal.signal(signal.SIGINT, lambda sig, frame: None)
            servers = [ThriftServer(service()) for _ in range(3)]
            for s in servers:
                s.serve("127.0.0.1", free_port())
            assert wait_until(lambda: all(s.is_running() for s in servers))
            os.kill(os.getpid(), signal.SIGINT)
            assert wait_until(lambda: not any(s.is_running() for s in servers))
            assert wait_until(runtime_gone)
            # A server started afterwards is not ended by the earlier signal.
            s = ThriftServer(service())
            s.serve("127.0.0.1", free_port())
            assert wait_until(s.is_running)
            time.sleep(0.2)
            assert s.is_running()
            s.stop()
            assert wait_until(runtime_gone)
        """)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.count("received Ctrl+C, shutting down\n"), 3, r.stdout)
        self.assertEqual(r.stdout.count("shutdown requested\n"), 1, r.stdout)

    def test_unreferenced_running_server_keeps_serving(self):
        r = run_script("""
            import gc, signal
            signal.signal(signal.SIGINT, lambda sig, frame: None)
            s = ThriftServer(service())
            port = free_port()
            s.serve("127.0.0.1", port)
            assert wait_until(s.is_running)
            del s
            gc.collect()
            time.sleep(0.1)
            socket.create_connection(("127.0.0.1", port), timeout=10).close()
            os.kill(os.getpid(), signal.SIGINT)  # the only way left to end it
            assert wait_until(runtime_gone)
            print("ended", flush=True)
        """)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.endswith("received Ctrl+C, shutting down\nended\n"), r.stdout)

    def test_exit_while_serving_or_shutting_down(self):
        # The interpreter may finalize while runtime threads still start
        # their loops or stop them: nothing may crash or hang.
        for delay in (0, 0.02, 0.1, 0.3):
            with self.subTest(delay=delay):
                r = run_script(f"""
                    import signal
                    s = ThriftServer(service(), workers=3)
                    s.serve("127.0.0.1", 0)
                    time.sleep({delay})
                    os.kill(os.getpid(), signal.SIGINT)  # KeyboardInterrupt ends the script
                    time.sleep(5)
                """, timeout=30)
                self.assertIn(r.returncode, (1, -signal.SIGINT), r.stderr)
                self.assertIn("KeyboardInterrupt", r.stderr)
                self.assertNotIn("Fatal Python error", r.stderr)
                self.assertNotIn("terminate called", r.stderr)
        r = run_script("""
            servers = [ThriftServer(service(), workers=2) for _ in range(2)]
            for s in servers:
                s.serve("127.0.0.1", 0)
            assert wait_until(lambda: names().count("brovane-pyo3-py") == 4)
        """, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")

    def test_asyncio_unimportable(self):
        r = run_script("""
            import warnings
            from brovane import ThriftApplicationException, ThriftClient
            warnings.simplefilter("ignore", RuntimeWarning)  # the coroutine that never ran
            sys.modules["asyncio"] = None
            s = ThriftServer(service(), workers=2)
            s.register_handler("add", lambda a, b: a + b)

            async def where():
                return "never"

            s.register_handler("where", where)
            port = free_port()
            s.serve("127.0.0.1", port)
            assert wait_until(s.is_running)
            assert wait_until(lambda: names().count("tokio-rt-worker") == 2)
            p = ThriftParser(); p.parse(IDL)
            c = ThriftClient(p.get_service("Calc"), "127.0.0.1", port)
            c.open()
            print("add", c.call("add", a=1, b=2), flush=True)
            try:
                c.call("where")
            except ThriftApplicationException as e:
                print("where", e.type_, e.message, flush=True)
            c.close()
            assert wait_until(lambda: names().count("brovane-pyo3-py") == 0)  # each ended after its report
            s.stop()
            assert wait_until(runtime_gone)
        """)
        self.assertEqual(r.returncode, 0, r.stderr)
        error = "ModuleNotFoundError: import of asyncio halted; None in sys.modules"
        init_lines = r.stderr.splitlines()
        # One line per runtime thread: the two workers and the blocking
        # thread that made the coroutine call (which may have been reused).
        self.assertGreaterEqual(len(init_lines), 3, r.stderr)
        self.assertEqual(set(init_lines), {"python asyncio worker init error: " + error})
        self.assertIn("add 3\n", r.stdout)
        self.assertIn(f"where 6 {error}\n", r.stdout)

    def test_asyncio_import_failing_once(self):
        # The first loop thread's import of asyncio fails once, while the other
        # loop threads wait for it: they import it afresh, and so does the
        # program itself, the failed import's leftovers notwithstanding.
        for workers in (1, 4):
            with self.subTest(workers=workers):
                r = run_script(f"""
                    from brovane import ThriftClient
                    failed = []

                    class FailOnce:
                        def find_spec(self, name, path, target=None):
                            if name == "asyncio.tasks" and not failed:
                                failed.append(name)
                                wait_until(lambda: names().count("brovane-pyo3-py") == {workers})
                                time.sleep(0.3)  # the other loop threads now wait for this import
                                raise ImportError("injected")
                            return None

                    sys.meta_path.insert(0, FailOnce())
                    s = ThriftServer(service(), workers={workers})

                    async def where():
                        return "on a loop"

                    s.register_handler("where", where)
                    port = free_port()
                    s.serve("127.0.0.1", port)
                    assert wait_until(s.is_running)
                    assert wait_until(lambda: failed and names().count("brovane-pyo3-py") == {workers} - 1)
                    import asyncio
                    print(asyncio.run(asyncio.sleep(0, "own import")), flush=True)
                    p = ThriftParser(); p.parse(IDL)
                    with ThriftClient(p.get_service("Calc"), "127.0.0.1", port) as c:
                        print(c.call("where"), flush=True)
                    s.stop()
                    assert wait_until(runtime_gone)
                """)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr, "python asyncio worker init error: ImportError: injected\n")
                self.assertEqual(r.stdout.splitlines()[1:3], ["own import", "on a loop"])

    def test_thread_limit_fails_cleanly(self):
        # A thread allowance of a few dozen more than the process has now. A
        # huge worker count is refused before any thread starts. A small one
        # passes that check, but another process of the same user holds
        # threads, so the allowance runs out after some have started: the
        # runtime stops at the first that fails to start. The allowance binds
        # only unprivileged users, so the child gives up root.
        asan = "libasan" in os.environ.get("LD_PRELOAD", "")
        for workers, held in [(10**7, 0), (10, 30)]:
            with self.subTest(workers=workers, held=held):
                if held and asan:
                    self.skipTest("AddressSanitizer's thread interceptors abort when a thread cannot start")
                r = run_script(f"""
                    import asyncio  # the loop threads could not import it once root is given up
                    import resource, signal, threading
                    try:
                        os.setgid(65534)
                        os.setuid(65534)
                    except OSError as e:
                        print("skip: cannot give up root:", e, flush=True)
                        sys.exit(3)
                    _, hard = resource.getrlimit(resource.RLIMIT_NPROC)
                    resource.setrlimit(resource.RLIMIT_NPROC, (BASELINE + 40, hard))
                    ready, done = os.pipe()
                    holder = os.fork() if {held} else 0
                    if holder == 0 and {held}:
                        for _ in range({held}):
                            threading.Thread(target=time.sleep, args=(60,), daemon=True).start()
                        os.write(done, b"x")
                        time.sleep(60)
                        os._exit(0)
                    if holder:
                        os.close(done)
                        os.read(ready, 1)  # its threads run (or it has ended)
                    s = ThriftServer(service(), workers={workers})
                    try:
                        s.serve("127.0.0.1", free_port())
                        print("served", flush=True)
                    except OSError as e:
                        print("OSError:", e, flush=True)
                    assert wait_until(runtime_gone)
                    assert not s.is_running()
                    if holder:
                        os.kill(holder, signal.SIGKILL)
                        os.waitpid(holder, 0)
                    resource.setrlimit(resource.RLIMIT_NPROC, (hard, hard))
                    s.workers = 1
                    s.serve("127.0.0.1", free_port())
                    assert wait_until(s.is_running)
                    s.stop()
                    assert wait_until(runtime_gone)
                """)
                if r.returncode == 3:
                    self.skipTest(r.stdout.strip())
                self.assertEqual(r.returncode, 0, r.stderr)
                first = r.stdout.splitlines()[0]
                self.assertEqual(first, "OSError: tokio runtime: Resource temporarily unavailable (os error 11)")
                self.assertNotIn(f"{workers} workers", r.stdout)
                # Nothing but the loop threads of started workers that could
                # not start either: fewer than the workers asked for.
                lines = r.stderr.splitlines()
                self.assertLess(len(lines), workers if held else 1, r.stderr)
                self.assertEqual(set(lines) - {"python asyncio worker init error: spawn python loop thread: "
                                               "Resource temporarily unavailable (os error 11)"}, set())

    def test_an_idle_server_takes_no_processor_time(self):
        # After a burst of calls, with its clients still connected and then
        # gone, a server without work sleeps: its workers wait for work with
        # no timeout. Its process's processor time over a few idle seconds
        # stays far below one percent of a core; the bound is wide for a
        # loaded machine, where a worker that woke now and then to look for
        # work would take several percent at these counts.
        r = run_script("""
            import contextlib
            from brovane import ThriftClient
            p = ThriftParser(); p.parse(IDL)
            for workers in (8, 32):
                s = ThriftServer(service(), workers=workers)
                s.register_handler("add", lambda a, b: a + b)
                port = free_port()
                s.serve("127.0.0.1", port)
                assert wait_until(s.is_running)
                with contextlib.ExitStack() as stack:
                    clients = [stack.enter_context(ThriftClient(p.get_service("Calc"), "127.0.0.1", port))
                               for _ in range(4)]
                    for i in range(100):
                        for c in clients:
                            assert c.call("add", a=i, b=1) == i + 1
                    for state in ("connected", "gone"):
                        if state == "gone":
                            stack.close()
                        time.sleep(0.3)
                        used, began = time.process_time(), time.monotonic()
                        time.sleep(2)
                        share = (time.process_time() - used) / (time.monotonic() - began)
                        print(workers, state, f"{share * 100:.2f}", flush=True)
                s.stop()
                assert wait_until(runtime_gone)
        """)
        self.assertEqual(r.returncode, 0, r.stderr)
        shares = [line.split() for line in r.stdout.splitlines() if line[:1].isdigit()]
        self.assertEqual([(w, state) for w, state, _ in shares],
                         [("8", "connected"), ("8", "gone"), ("32", "connected"), ("32", "gone")], r.stdout)
        for workers, state, percent in shares:
            self.assertLess(float(percent), 3.0, f"{workers} workers, clients {state}: {percent}% of a core")

    def test_impossible_worker_count_is_refused_at_once(self):
        # No thread is started for it, so it is refused as soon as asked,
        # nothing is written, and the same object serves with a sane count.
        r = run_script("""
            from brovane import ThriftClient
            s = ThriftServer(service(), workers=2**64 - 1)
            s.register_handler("add", lambda a, b: a + b)
            started = time.monotonic()
            try:
                s.serve("127.0.0.1", free_port())
                print("served", flush=True)
            except OSError as e:
                print("OSError:", e, flush=True)
            print("took", time.monotonic() - started, flush=True)
            print("threads left", len(os.listdir("/proc/self/task")) - BASELINE, flush=True)
            assert not s.is_running()
            s.workers = 2
            port = free_port()
            s.serve("127.0.0.1", port)
            assert wait_until(s.is_running)
            p = ThriftParser(); p.parse(IDL)
            with ThriftClient(p.get_service("Calc"), "127.0.0.1", port) as c:
                print("add", c.call("add", a=1, b=2), flush=True)
            s.stop()
            assert wait_until(runtime_gone)
        """, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual(lines[0], "OSError: tokio runtime: Resource temporarily unavailable (os error 11)")
        self.assertLess(float(lines[1].split()[1]), 1.0)
        self.assertEqual(lines[2], "threads left 0")
        self.assertRegex(lines[3], r"^ThriftServer \(Framed, 2 workers\) listening on 127\.0\.0\.1:\d+$")
        self.assertEqual(lines[4:], ["add 3", "shutdown requested"])
        self.assertEqual(r.stderr, "")


if __name__ == "__main__":
    unittest.main()
