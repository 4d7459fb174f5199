"""ThriftClient: construction, properties, the connection's life cycle and the
lock discipline between calls and open/close/is_open."""

import os
import socket
import subprocess
import sys
import textwrap
import threading
import time
import unittest

import brovane
from brovane import ProtocolType, ThriftClient, ThriftParser, TransportType

from rawserver import RawServer, replying
from wire import REPLY, T_I32, field, framed, free_port, i32, message, recv_frame, recv_until_closed

IDL = """
struct Point { 1: i32 x, 2: i32 y }
service Calc {
  i32 add(1: i32 a, 2: i32 b),
}
service Twice { i32 f(1: i32 a), void f(2: string b) }
"""


def service(name="Calc"):
    p = ThriftParser()
    p.parse(IDL)
    return p.get_service(name)


class ConstructionTest(unittest.TestCase):
    def test_defaults(self):
        c = ThriftClient(service(), "127.0.0.1", 9090)
        self.assertIs(c.transport, TransportType.Framed)
        self.assertIs(c.protocol, ProtocolType.Binary)
        self.assertFalse(c.is_open())

    def test_keywords_and_explicit_members(self):
        c = ThriftClient(service=service(), host="h", port=1, transport=TransportType.Buffered,
                         protocol=ProtocolType.JSON)
        self.assertIs(c.transport, TransportType.Buffered)
        self.assertIs(c.protocol, ProtocolType.JSON)

    def test_argument_errors(self):
        s = service()
        cases = [
            ((s, "h", 65536), {}, OverflowError, "out of range integral type conversion attempted"),
            ((s, "h", -1), {}, OverflowError, "out of range integral type conversion attempted"),
            ((s, "h", 1), {"transport": None}, TypeError,
             "argument 'transport': 'None' is not an instance of 'TransportType'"),
            ((s, "h", 1), {"protocol": TransportType.Framed}, TypeError,
             "argument 'protocol': 'TransportType' object is not an instance of 'ProtocolType'"),
            (("svc", "h", 1), {}, TypeError, "argument 'service': 'str' object is not an instance of 'PyThriftService'"),
            ((s, b"h", 1), {}, TypeError, "argument 'host': 'bytes' object is not an instance of 'str'"),
            ((s, "h"), {}, TypeError, "ThriftClient.__new__() missing 1 required positional argument: 'port'"),
        ]
        for args, kwargs, exc, text in cases:
            with self.subTest(args=args, kwargs=kwargs), self.assertRaises(exc) as cm:
                ThriftClient(*args, **kwargs)
            self.assertEqual(str(cm.exception), text)
        with self.assertRaises(TypeError):
            ThriftClient(s, "h", "9090")

    def test_class_traits(self):
        self.assertEqual(ThriftClient.__doc__, "An async Thrift Binary Protocol client backed by Tokio.")
        self.assertEqual(ThriftClient.__text_signature__, "(service, host, port, transport=..., protocol=...)")
        self.assertEqual(ThriftClient.call.__text_signature__, "($self, method_name, **kwargs)")
        self.assertEqual(ThriftClient.__exit__.__text_signature__, "($self, _exc_type, _exc_value, _traceback)")
        self.assertEqual(brovane.__all__.index("ThriftClient"), 12)
        with self.assertRaises(TypeError):
            class Sub(ThriftClient):
                pass
        c = ThriftClient(service(), "h", 1)
        with self.assertRaises(AttributeError):
            c.anything = 1

    def test_properties(self):
        c = ThriftClient(service(), "h", 1)
        c.protocol = ProtocolType.Compact
        self.assertIs(c.protocol, ProtocolType.Compact)
        c.transport = TransportType.Buffered
        self.assertIs(c.transport, TransportType.Buffered)
        # A TransportType made by its constructor has the number of Framed.
        c.transport = TransportType()
        self.assertIs(c.transport, TransportType.Framed)
        with self.assertRaises(TypeError) as cm:
            c.protocol = 1
        self.assertEqual(str(cm.exception), "argument 'protocol': 'int' object is not an instance of 'ProtocolType'")
        with self.assertRaises(TypeError):
            c.transport = None
        for name in ("transport", "protocol"):
            with self.subTest(name=name), self.assertRaises(AttributeError) as cm:
                delattr(c, name)
            self.assertEqual(str(cm.exception), "property has no deleter")

    def test_set_parser(self):
        c = ThriftClient(service(), "h", 1)
        self.assertIsNone(c.set_parser(ThriftParser()))  # nothing parsed: the empty map
        p = ThriftParser()
        p.parse(IDL)
        self.assertIsNone(c.set_parser(p))
        with self.assertRaises(TypeError) as cm:
            c.set_parser("parser")
        self.assertEqual(str(cm.exception), "argument 'parser': 'str' object is not an instance of 'ThriftParser'")

    def test_repeated_method_name_uses_the_later_method(self):
        with RawServer(replying(message("f", REPLY, 0, b"\x00"))) as server:
            c = ThriftClient(service("Twice"), "127.0.0.1", server.port)
            with c:
                self.assertIsNone(c.call("f", a=1, b="x"))
            [request] = server.result()
        # Only the later method's argument b (id 2, a string) is written.
        self.assertEqual(request, message("f", 1, 0, field(11, 2, i32(1) + b"x") + b"\x00"))


class LifecycleTest(unittest.TestCase):
    def test_open_refused(self):
        port = free_port()
        c = ThriftClient(service(), "127.0.0.1", port)
        with self.assertRaises(OSError) as cm:
            c.open()
        self.assertEqual(str(cm.exception), f"connect to 127.0.0.1:{port}: Connection refused (os error 111)")
        self.assertFalse(c.is_open())

    def test_failed_open_keeps_the_connection(self):
        listener = socket.create_server(("127.0.0.1", 0))
        listener.settimeout(10)
        port = listener.getsockname()[1]
        c = ThriftClient(service(), "127.0.0.1", port)
        c.open()
        conn, _ = listener.accept()
        conn.settimeout(10)
        listener.close()
        with self.assertRaises(OSError) as cm:
            c.open()
        self.assertEqual(str(cm.exception), f"connect to 127.0.0.1:{port}: Connection refused (os error 111)")
        self.assertTrue(c.is_open())
        # The first connection still carries calls.
        t = threading.Thread(target=lambda: (recv_frame(conn), conn.sendall(framed(message(
            "add", REPLY, 0, field(T_I32, 0, i32(3)) + b"\x00")))))
        t.start()
        self.assertEqual(c.call("add", a=1, b=2), 3)
        t.join(10)
        c.close()
        conn.close()

    def test_open_by_name_and_ipv6_literals(self):
        hosts = ["localhost"]
        try:
            socket.create_server(("::1", 0), family=socket.AF_INET6).close()
            hosts += ["::1", "[::1]"]
        except OSError:
            pass
        for host in hosts:
            family = socket.AF_INET6 if ":" in host else socket.AF_INET
            with self.subTest(host=host):
                listener = socket.create_server(("::1" if family == socket.AF_INET6 else "127.0.0.1", 0),
                                                family=family)
                listener.settimeout(10)
                c = ThriftClient(service(), host, listener.getsockname()[1])
                c.open()
                conn, _ = listener.accept()
                self.assertTrue(c.is_open())
                c.close()
                conn.close()
                listener.close()

    def test_unresolvable_host(self):
        # In a child process: a resolver that cannot reach its servers may
        # take long, and that must not hold up the other tests.
        code = textwrap.dedent("""
            import brovane
            p = brovane.ThriftParser(); p.parse("service S { void f() }")
            c = brovane.ThriftClient(p.get_service("S"), "no-such-host.invalid", 1)
            try:
                c.open()
            except OSError as e:
                print(e)
        """)
        try:
            out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                                 env=os.environ).stdout
        except subprocess.TimeoutExpired:
            self.skipTest("name resolution did not answer in time")
        self.assertTrue(out.startswith("connect to no-such-host.invalid:1: failed to lookup address information: "),
                        out)

    def test_open_twice_replaces_the_connection(self):
        with RawServer(lambda conn, server: recv_until_closed(conn)) as server:
            c = ThriftClient(service(), "127.0.0.1", server.port)
            c.open()
            first = server.accepted.get(timeout=10)
            c.open()
            second = server.accepted.get(timeout=10)
            # The first connection was shut down and closed: its script ends.
            self.assertEqual(server.result(), b"")
            self.assertTrue(c.is_open())
            c.close()
            self.assertEqual(server.result(), b"")
            self.assertIsNot(first, second)

    def test_close_is_idempotent(self):
        c = ThriftClient(service(), "127.0.0.1", 1)
        self.assertIsNone(c.close())
        self.assertIsNone(c.close())
        self.assertFalse(c.is_open())

    def test_with_block(self):
        with RawServer(lambda conn, server: recv_until_closed(conn)) as server:
            c = ThriftClient(service(), "127.0.0.1", server.port)
            with c as entered:
                self.assertIs(entered, c)
                self.assertTrue(c.is_open())
            self.assertFalse(c.is_open())

            class Boom(Exception):
                pass

            with self.assertRaises(Boom):
                with c:
                    raise Boom()
            self.assertFalse(c.is_open())
            self.assertEqual(server.result(), b"")
            self.assertEqual(server.result(), b"")

    def test_peer_close_leaves_is_open_true(self):
        with RawServer(lambda conn, server: None) as server:
            c = ThriftClient(service(), "127.0.0.1", server.port)
            c.open()
            server.result()  # the peer has closed its side
            self.assertTrue(c.is_open())
            c.close()

    def test_dropping_an_open_client_closes_its_connection(self):
        with RawServer(lambda conn, server: recv_until_closed(conn)) as server:
            c = ThriftClient(service(), "127.0.0.1", server.port)
            c.open()
            del c
            self.assertEqual(server.result(), b"")


def delayed_reply(got_request, release):
    """Answers one add call with 3 once `release` is set."""

    def script(conn, server):
        body = recv_frame(conn)
        got_request.set()
        release.wait(10)
        conn.sendall(framed(message("add", REPLY, 0, field(T_I32, 0, i32(3)) + b"\x00")))
        return body

    return script


class LockDisciplineTest(unittest.TestCase):
    def test_setters_refused_during_a_call(self):
        got_request, release = threading.Event(), threading.Event()
        with RawServer(delayed_reply(got_request, release)) as server:
            c = ThriftClient(service(), "127.0.0.1", server.port)
            c.open()
            results = []
            t = threading.Thread(target=lambda: results.append(c.call("add", a=1, b=2)))
            t.start()
            self.assertTrue(got_request.wait(10))
            for attempt in (lambda: c.set_parser(ThriftParser()),
                            lambda: setattr(c, "protocol", ProtocolType.Compact),
                            lambda: setattr(c, "transport", TransportType.Buffered)):
                with self.assertRaises(RuntimeError) as cm:
                    attempt()
                self.assertEqual(str(cm.exception), "Already borrowed")
            self.assertIs(c.protocol, ProtocolType.Binary)
            release.set()
            t.join(10)
            self.assertEqual(results, [3])
            c.close()

    def test_is_open_and_close_wait_without_holding_the_interpreter(self):
        # The peer is Python code in this process: it needs the interpreter
        # lock to answer. is_open() and close() on the main thread wait for
        # the call's connection lock; holding the interpreter lock meanwhile
        # would deadlock. Run in a child process so a regression fails by
        # time-out instead of hanging the suite.
        code = textwrap.dedent("""
            import sys, threading, time
            sys.path.insert(0, %r)
            import brovane
            from rawserver import RawServer
            from wire import recv_frame, framed, message, field, i32, REPLY, T_I32

            got = threading.Event()

            def script(conn, server):
                for _ in range(2):
                    recv_frame(conn)
                    got.set()
                    time.sleep(0.3)  # while the main thread waits for the connection lock
                    conn.sendall(framed(message("add", REPLY, 0, field(T_I32, 0, i32(3)) + b"\\x00")))

            p = brovane.ThriftParser(); p.parse("service Calc { i32 add(1: i32 a, 2: i32 b) }")
            with RawServer(script) as server:
                c = brovane.ThriftClient(p.get_service("Calc"), "127.0.0.1", server.port)
                c.open()
                out = []
                for check in (c.is_open, c.close):
                    got.clear()
                    t = threading.Thread(target=lambda: out.append(c.call("add", a=1, b=2)))
                    t.start()
                    got.wait(10)
                    print(check(), flush=True)
                    t.join(10)
                print(out, c.is_open(), flush=True)
        """) % os.path.dirname(os.path.abspath(__file__))
        try:
            proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                                  env=os.environ)
        except subprocess.TimeoutExpired as e:
            self.fail(f"deadlock between the call and is_open/close: {e.stdout!r}")
        self.assertEqual(proc.stdout.splitlines(), ["True", "None", "[3, 3] False"], proc.stderr)


    def test_with_a_python_server_in_the_same_process(self):
        # The same with this module's own server: its handlers need the
        # interpreter lock. A handler may also use a client itself.
        code = textwrap.dedent("""
            import socket, threading, time
            from brovane import ThriftClient, ThriftParser, ThriftServer
            p = ThriftParser()
            p.parse("service Calc { i32 add(1: i32 a, 2: i32 b), i32 nested(1: i32 a) }")
            with socket.socket() as sock:
                sock.bind(("127.0.0.1", 0))
                port = sock.getsockname()[1]
            entered = threading.Event()

            def add(a, b):
                entered.set()
                time.sleep(0.3)  # while the main thread waits for the connection lock
                return a + b

            def nested(a):
                with ThriftClient(p.get_service("Calc"), "127.0.0.1", port) as inner:
                    return inner.call("add", a=a, b=1) * 10

            server = ThriftServer(p.get_service("Calc"), workers=2)
            server.register_handler("add", add)
            server.register_handler("nested", nested)
            server.serve("127.0.0.1", port)
            deadline = time.monotonic() + 10
            while not server.is_running() and time.monotonic() < deadline:
                time.sleep(0.01)
            c = ThriftClient(p.get_service("Calc"), "127.0.0.1", port)
            c.open()
            out = []
            for check in (c.is_open, c.close):
                entered.clear()
                t = threading.Thread(target=lambda: out.append(c.call("add", a=1, b=2)))
                t.start()
                entered.wait(10)
                print("R", check(), flush=True)
                t.join(10)
            print("R", out, c.is_open(), flush=True)
            with c:
                print("R", c.call("nested", a=4), flush=True)
            server.stop()
        """)
        try:
            proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                                  env=os.environ)
        except subprocess.TimeoutExpired as e:
            self.fail(f"deadlock between the call and is_open/close: {e.stdout!r}")
        lines = [line[2:] for line in proc.stdout.splitlines() if line.startswith("R ")]
        self.assertEqual(lines, ["True", "None", "[3, 3] False", "50"], proc.stdout + proc.stderr)


    def test_a_call_that_outlives_the_program_lets_it_exit(self):
        # A daemon thread's call whose reply comes while the interpreter is
        # finalizing: the thread must not take the interpreter lock back (the
        # interpreter would end it by unwinding through the module's frames,
        # which terminates the process). It stays parked, and the program
        # exits as usual.
        peer = textwrap.dedent("""
            import socket, sys, time
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            s.listen()
            print(s.getsockname()[1], flush=True)
            c, _ = s.accept()
            c.recv(65536)
            time.sleep(1.0)
            c.sendall(bytes.fromhex(sys.argv[1]))
            c.close()
        """)
        code = textwrap.dedent("""
            import subprocess, sys, threading, time, types
            from brovane import ThriftClient, ThriftParser
            peer = subprocess.Popen([sys.executable, "-c", sys.argv[1], sys.argv[2]], stdout=subprocess.PIPE,
                                    text=True)
            port = int(peer.stdout.readline())
            p = ThriftParser()
            p.parse("service Calc { i32 add(1: i32 a, 2: i32 b) }")
            c = ThriftClient(p.get_service("Calc"), "127.0.0.1", port)
            c.open()
            threading.Thread(target=lambda: print("R", c.call("add", a=1, b=2), flush=True), daemon=True).start()
            time.sleep(0.2)  # the request is out


            class SlowToFinalize:
                def __del__(self, sleep=time.sleep):
                    sleep(2.0)  # finalizing, while the reply comes


            # Kept by a module of its own, which finalization clears (the
            # main module stays alive with the daemon thread's frame).
            holder = types.ModuleType("slow_to_finalize")
            holder.keep = SlowToFinalize()
            sys.modules[holder.__name__] = holder
            del holder
            print("exiting", flush=True)
        """)
        reply = framed(message("add", REPLY, 0, field(T_I32, 0, i32(3)) + b"\x00")).hex()
        proc = subprocess.run([sys.executable, "-c", code, peer, reply], capture_output=True, text=True, timeout=60,
                              env=os.environ)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout.splitlines(), ["exiting"], proc.stderr)
        self.assertNotIn("terminate", proc.stderr)



# A program that leaves while daemon threads keep calling: `load(port)` runs
# in 16 threads, each with its own client. Port 0: the program serves too,
# with a plain handler, or with a coroutine handler when a second argument
# is given (its loop threads are then busy as the program leaves).
EXIT_UNDER_LOAD = textwrap.dedent("""
    import asyncio, sys, threading, time
    from brovane import ThriftClient, ThriftParser, ThriftServer
    p = ThriftParser()
    p.parse("service S { void ping() }")
    port = int(sys.argv[1])

    async def ping():
        await asyncio.sleep(0)

    if port == 0:
        from wire import free_port
        port = free_port()
        srv = ThriftServer(p.get_service("S"), workers=4)
        srv.set_parser(p)
        srv.register_handler("ping", ping if len(sys.argv) > 2 else lambda: None)
        srv.serve("127.0.0.1", port)
        deadline = time.monotonic() + 10
        while not srv.is_running() and time.monotonic() < deadline:
            time.sleep(0.01)

    def load():
        c = ThriftClient(p.get_service("S"), "127.0.0.1", port)
        c.set_parser(p)
        c.open()
        while True:
            c.call("ping")

    for _ in range(16):
        threading.Thread(target=load, daemon=True).start()
    time.sleep(0.5)
    sys.exit(0)
""")


class ExitUnderLoadTest(unittest.TestCase):
    # A daemon thread may be taking the interpreter lock back, at the end of
    # a call, just as the interpreter begins to finalize; the interpreter
    # would end it there (pthread_exit), which terminates the process from
    # the module's frames. Each run is a race, so there are several.
    RUNS = 16
    AT_ONCE = 4

    def exit_many_times(self, port, *args):
        failures = []
        for first in range(0, self.RUNS, self.AT_ONCE):
            procs = [subprocess.Popen([sys.executable, "-c", EXIT_UNDER_LOAD, str(port), *args],
                                      stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE, text=True, env=os.environ)
                     for _ in range(first, min(first + self.AT_ONCE, self.RUNS))]
            for proc in procs:
                try:
                    _, err = proc.communicate(timeout=60)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    _, err = proc.communicate()
                    failures.append(("timed out", err))
                    continue
                if proc.returncode != 0 or "terminate called" in err:
                    failures.append((proc.returncode, err))
        self.assertEqual(failures, [])

    def test_exit_while_daemon_threads_call_a_server_of_the_same_process(self):
        self.exit_many_times(0)

    def test_exit_while_daemon_threads_call_coroutine_handlers_of_the_same_process(self):
        # The server's loop threads, inside run_forever, must not be waiting
        # for the interpreter lock either as the interpreter finalizes.
        self.exit_many_times(0, "async")

    def test_exit_while_daemon_threads_call_a_server_of_another_process(self):
        server = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
            import sys, time
            from brovane import ThriftParser, ThriftServer
            from wire import free_port
            p = ThriftParser()
            p.parse("service S { void ping() }")
            srv = ThriftServer(p.get_service("S"), workers=4)
            srv.set_parser(p)
            srv.register_handler("ping", lambda: None)
            port = free_port()
            srv.serve("127.0.0.1", port)
            deadline = time.monotonic() + 10
            while not srv.is_running() and time.monotonic() < deadline:
                time.sleep(0.01)
            print("R", port, flush=True)
            sys.stdin.read()  # until the test closes it
        """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=os.environ)
        try:
            line = ""
            while not line.startswith("R "):
                line = server.stdout.readline()
                self.assertTrue(line, "the server process ended")
            self.exit_many_times(int(line.split()[1]))
        finally:
            server.stdin.close()
            try:
                server.wait(timeout=30)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()


if __name__ == "__main__":
    unittest.main()
