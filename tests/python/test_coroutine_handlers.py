"""Coroutine handlers beyond the plain request path: a pending task that
nothing but its own future references, a coroutine function whose call
blocks, a call that no blocking-pool thread can be started for, a loop that
ends with coroutines pending, and a server stopped while coroutines are
still pending.
"""

import asyncio
import gc
import inspect
import os
import subprocess
import sys
import textwrap
import threading
import time
import unittest
import weakref

from server_harness import Conn, ServerCase, parse, runtime_gone, thread_names, wait_until
from wire import CALL, REPLY, T_I32, T_STRING, TIMEOUT, app_exception, field, framed, i32, message, string
from wire import parse_message as parse_binary_reply

IDL = """
service Svc {
  i32 add(1: i32 a, 2: i32 b),
  i32 wait(1: string key),
}
"""

HERE = os.path.dirname(os.path.abspath(__file__))


def add_args(a, b):
    return field(T_I32, 1, i32(a)) + field(T_I32, 2, i32(b)) + b"\x00"


def key_args(key):
    return field(T_STRING, 1, string(key)) + b"\x00"


def i32_result(v):
    return field(T_I32, 0, i32(v)) + b"\x00"


ADD_42 = message("add", REPLY, 1, i32_result(42))


class CoroutineHandlerTest(ServerCase):
    def setUp(self):
        super().setUp()
        self.parser = parse(IDL)

    def serve(self, handlers, **kwargs):
        return self.start(self.parser, "Svc", handlers, **kwargs)

    def test_a_task_pending_on_its_own_future_outlives_a_collection(self):
        # The future is referenced only by the suspended coroutine (and,
        # weakly, by whoever completes it): asyncio keeps tasks only weakly,
        # so without the server's own reference the collector would free the
        # task while it waits.
        loops, futures = {}, {}
        started = threading.Event()

        async def wait(key):
            loop = asyncio.get_running_loop()
            fut = loop.create_future()
            loops[key] = loop
            futures[key] = weakref.ref(fut)
            started.set()
            return await fut

        port = self.serve({"wait": wait}, workers=2)
        with Conn(port) as c:
            c.send(framed(message("wait", CALL, 7, key_args("k"))))
            self.assertTrue(started.wait(TIMEOUT))
            time.sleep(0.5)
            gc.collect()
            fut = futures["k"]()
            self.assertIsNotNone(fut, "the pending task was collected")
            loops["k"].call_soon_threadsafe(fut.set_result, 42)
            del fut
            reply = c.recv_frame()
        self.assertEqual(reply, message("wait", REPLY, 7, i32_result(42)))
        self.assertNotIn("Task was destroyed", self.console.err())

    def test_a_call_that_blocks_holds_up_no_other_call(self):
        # A coroutine function whose call itself blocks (before any coroutine
        # exists): the calls queued behind it are taken over by another
        # blocking-pool thread.
        def add(a, b):
            if a == 0:
                time.sleep(1.5)  # releases the interpreter lock

            async def body():
                return a + b
            return body()
        inspect.markcoroutinefunction(add)

        port = self.serve({"add": add}, workers=2)
        with Conn(port) as blocked, Conn(port) as other:
            blocked.send(framed(message("add", CALL, 1, add_args(0, 1))))
            time.sleep(0.1)
            t = time.monotonic()
            for _ in range(5):
                self.assertEqual(other.call(message("add", CALL, 1, add_args(40, 2))), ADD_42)
            self.assertLess(time.monotonic() - t, 1.0)
            self.assertEqual(parse_binary_reply(blocked.recv_frame())[3], i32_result(1))

    def test_a_blocking_call_holds_back_no_coroutine_handed_over_before_it(self):
        # Two calls queued behind a blocked one are made in one hold of the
        # interpreter lock: the first one's coroutine must reach its loop
        # before the second call, which blocks until that coroutine has run.
        ran = threading.Event()

        def add(a, b):
            if a == 0:
                time.sleep(0.3)  # the next two calls queue up meanwhile
            if a == 2:
                ok = ran.wait(TIMEOUT)

                async def waited():
                    return 100 if ok else -1
                return waited()

            async def body():
                if a == 1:
                    ran.set()
                return a + b
            return body()
        inspect.markcoroutinefunction(add)

        port = self.serve({"add": add}, workers=1)
        with Conn(port) as x, Conn(port) as first, Conn(port) as second:
            self.assertEqual(x.call(message("add", CALL, 1, add_args(40, 2))), ADD_42)  # the loop is set up
            x.send(framed(message("add", CALL, 2, add_args(0, 0))))
            time.sleep(0.05)
            t = time.monotonic()
            first.send(framed(message("add", CALL, 3, add_args(1, 41))))
            second.send(framed(message("add", CALL, 4, add_args(2, 0))))
            self.assertEqual(parse_binary_reply(second.recv_frame())[3], i32_result(100))
            self.assertEqual(parse_binary_reply(first.recv_frame())[3], i32_result(42))
            self.assertEqual(parse_binary_reply(x.recv_frame())[3], i32_result(0))
            self.assertLess(time.monotonic() - t, 2.0)

    def test_calls_that_block_run_side_by_side(self):
        # Each call of a marked wrapper may block, so each is a blocking-pool
        # job of its own: twenty calls that each sleep for a second take about
        # a second together, not two at a time.
        def add(a, b):
            time.sleep(1.0)  # releases the interpreter lock

            async def body():
                return a + b
            return body()
        inspect.markcoroutinefunction(add)

        port = self.serve({"add": add}, workers=2)
        conns = [Conn(port) for _ in range(20)]
        try:
            t = time.monotonic()
            for c in conns:
                c.send(framed(message("add", CALL, 1, add_args(40, 2))))
            for c in conns:
                self.assertEqual(c.recv_frame(), ADD_42)
            self.assertLess(time.monotonic() - t, 4.0)
        finally:
            for c in conns:
                c.close()

    def test_stopping_with_coroutines_pending(self):
        # Each coroutine waits on a future of its own that nobody completes:
        # stopping the server ends the runtime anyway, and the requests get
        # no reply.
        started = threading.Semaphore(0)

        async def wait(key):
            fut = asyncio.get_running_loop().create_future()
            started.release()
            return await fut

        server_port = self.serve({"wait": wait}, workers=2)
        conns = [Conn(server_port) for _ in range(4)]
        try:
            for c in conns:
                c.send(framed(message("wait", CALL, 1, key_args("k"))))
            for _ in conns:
                self.assertTrue(started.acquire(timeout=TIMEOUT))
            self.servers[0].stop()
            for c in conns:
                self.assertTrue(c.closed_by_peer())
        finally:
            for c in conns:
                c.close()
        self.assertEqual(self.connection_errors(), [])
        # The tasks let go at the loops' end are collected here, while the
        # console still takes asyncio's report of each.
        self.assertTrue(wait_until(runtime_gone, 30), thread_names())
        gc.collect()


# Run in a child interpreter: it gives up root, so that a limit on the
# number of threads can refuse the blocking pool its first thread.
THREADLESS_POOL = """
import inspect, os, resource, sys, threading
sys.path.insert(0, {here!r})
from brovane import ThriftServer
from server_harness import Conn, LOOP, parse, thread_names, wait_until
from wire import CALL, message
from test_coroutine_handlers import IDL, add_args, key_args

p = parse(IDL)
s = ThriftServer(p.get_service("Svc"), workers=1)
s.set_parser(p)

# A wrapper marked as a coroutine function: its call may block, so it is a
# blocking-pool job. A plain async def is called on the loop itself.
def add(a, b):
    async def body():
        return a + b
    return body()

async def wait(key):
    return len(key)

inspect.markcoroutinefunction(add)
s.register_handler("add", add)
s.register_handler("wait", wait)
from wire import free_port
port = free_port()
s.serve("127.0.0.1", port)
assert wait_until(s.is_running)
assert wait_until(lambda: thread_names().count(LOOP) == 1)  # the worker's loop
c = Conn(port)
threads = len(os.listdir("/proc/self/task"))
try:
    os.setgid(65534)
    os.setuid(65534)  # the limit binds only unprivileged users
except OSError as e:
    print("skip: cannot give up root:", e, flush=True)
    sys.exit(3)
_, hard = resource.getrlimit(resource.RLIMIT_NPROC)
resource.setrlimit(resource.RLIMIT_NPROC, (threads, hard))
try:
    threading.Thread(target=lambda: None).start()
    print("skip: threads still start", flush=True)
    sys.exit(3)
except RuntimeError:
    pass
print("reply", repr(c.call(message("add", CALL, 1, add_args(40, 2)))), flush=True)
print("reply", repr(c.call(message("wait", CALL, 3, key_args("abc")))), flush=True)
resource.setrlimit(resource.RLIMIT_NPROC, (hard, hard))
print("reply", repr(c.call(message("add", CALL, 2, add_args(40, 2)))), flush=True)
c.close()
s.stop()
"""


# Run in a child interpreter: its event loop policy makes every loop slow to
# close and slow to refuse work once closed, so that a coroutine handed to a
# loop that is closing meets the loop's end while its hand-over is refused.
# With `first` the refused hand-over is the loop's first one (the loop is
# stopped from outside); otherwise a coroutine stops the loop, and the loop,
# offering no readers, takes every hand-over by call_soon_threadsafe.
CLOSING_LOOP = """
import asyncio, sys, time
sys.path.insert(0, {here!r})
from brovane import ThriftServer
from server_harness import Conn, parse, wait_until
from wire import CALL, free_port, message
from test_coroutine_handlers import IDL, add_args, key_args

LOOPS = []


class SlowLoop(asyncio.SelectorEventLoop):
    def add_reader(self, *args, **kwargs):
        if not {first}:
            raise NotImplementedError
        return super().add_reader(*args, **kwargs)

    def close(self):
        super().close()
        time.sleep(0.5)  # closed, and the loop thread not yet done with it

    def call_soon_threadsafe(self, *args, **kwargs):
        if self.is_closed():
            time.sleep(1.0)  # the loop thread ends meanwhile
        return super().call_soon_threadsafe(*args, **kwargs)


class Policy(asyncio.DefaultEventLoopPolicy):
    def new_event_loop(self):
        LOOPS.append(SlowLoop())
        return LOOPS[-1]


asyncio.set_event_loop_policy(Policy())
p = parse(IDL)
s = ThriftServer(p.get_service("Svc"), workers=1)
s.set_parser(p)

async def add(a, b):
    return a + b

async def wait(key):
    asyncio.get_running_loop().stop()
    return 7

s.register_handler("add", add)
s.register_handler("wait", wait)
port = free_port()
s.serve("127.0.0.1", port)
assert wait_until(s.is_running)
assert wait_until(lambda: len(LOOPS) == 1)  # the worker's loop
c = Conn(port)
if {first}:
    LOOPS[0].call_soon_threadsafe(LOOPS[0].stop)
else:
    c.call(message("wait", CALL, 1, key_args("stop")))
time.sleep(0.2)  # the loop thread is inside close()
print("reply", repr(c.call(message("add", CALL, 2, add_args(1, 2)))), flush=True)
c.close()
s.stop()
print("stopped", flush=True)
"""


# Run in a child interpreter with the collector disabled: a coroutine ends
# its worker's only loop (by raising KeyboardInterrupt or SystemExit out of
# it, or by stopping it) while another request's coroutine waits on that
# loop. A SystemExit that ended the process would end the test runner too.
ENDING_LOOP = """
import asyncio, gc, sys, time
sys.path.insert(0, {here!r})
from brovane import ThriftServer
from server_harness import Conn, parse, wait_until
from wire import CALL, framed, free_port, message
from test_coroutine_handlers import IDL, key_args

gc.disable()
p = parse(IDL)
s = ThriftServer(p.get_service("Svc"), workers=1)
s.set_parser(p)

async def wait(key):
    if key == "slow":
        await asyncio.sleep(0.5)
        return 1
    await asyncio.sleep(0)
    if key == "KeyboardInterrupt":
        raise KeyboardInterrupt
    if key == "SystemExit":
        raise SystemExit(3)
    asyncio.get_running_loop().stop()
    return 2

s.register_handler("wait", wait)
port = free_port()
s.serve("127.0.0.1", port)
assert wait_until(s.is_running)
slow, ending = Conn(port), Conn(port)
slow.send(framed(message("wait", CALL, 1, key_args("slow"))))
time.sleep(0.1)
ending.send(framed(message("wait", CALL, 2, key_args({key!r}))))
print("ending", repr(ending.recv_frame()), flush=True)
t = time.monotonic()
print("slow", repr(slow.recv_frame()), flush=True)
print("waited", time.monotonic() - t, flush=True)
s.stop()
"""


class EndingLoopTest(unittest.TestCase):
    def test_requests_pending_on_a_loop_that_ends_are_answered_as_cancelled(self):
        cancelled = app_exception("wait", 1, "CancelledError: ", 6)
        cases = [
            ("KeyboardInterrupt", app_exception("wait", 2, "KeyboardInterrupt: ", 6)),
            ("SystemExit", app_exception("wait", 2, "SystemExit: 3", 6)),
            ("stop", message("wait", REPLY, 2, i32_result(2))),
        ]
        for key, ending in cases:
            with self.subTest(key=key):
                script = textwrap.dedent(ENDING_LOOP).format(here=HERE, key=key)
                r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                                   cwd=HERE, env=dict(os.environ))
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                lines = dict(line.split(" ", 1) for line in r.stdout.splitlines()
                             if line.split(" ", 1)[0] in ("ending", "slow", "waited"))
                self.assertEqual(lines.get("ending"), repr(ending), r.stdout + r.stderr)
                self.assertEqual(lines.get("slow"), repr(cancelled), r.stdout + r.stderr)
                # Answered as the loop ends, not only when the collector runs.
                self.assertLess(float(lines["waited"]), 2.0, r.stdout)
                if key != "stop":
                    self.assertIn(key, r.stderr)  # printed by the interpreter's error printer


class ClosingLoopTest(unittest.TestCase):
    def test_a_coroutine_handed_to_a_closing_loop_is_refused(self):
        # The loop's refusal is the reply, and the process lives on.
        for first in (True, False):
            with self.subTest(first=first):
                script = textwrap.dedent(CLOSING_LOOP).format(here=HERE, first=first)
                r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                                   cwd=HERE, env=dict(os.environ))
                self.assertEqual(r.returncode, 0, r.stderr)
                replies = [line for line in r.stdout.splitlines() if line.startswith("reply ")]
                self.assertEqual(replies, ["reply " + repr(app_exception("add", 2, "RuntimeError: Event loop is closed",
                                                                         6))], r.stdout + r.stderr)
                # The server's own line may come in the middle of this one.
                self.assertIn("stopped", r.stdout)


class ThreadlessPoolTest(unittest.TestCase):
    # AddressSanitizer's own exception interceptor aborts when thread creation
    # fails, before the runtime can report it.
    @unittest.skipIf("libasan" in os.environ.get("LD_PRELOAD", ""),
                     "AddressSanitizer aborts on the failed thread start")
    def test_a_call_without_a_pool_thread_is_answered_with_the_join_error(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to give it up")
        r = subprocess.run([sys.executable, "-c", textwrap.dedent(THREADLESS_POOL).format(here=HERE)],
                           capture_output=True, text=True, timeout=60, cwd=HERE, env=dict(os.environ))
        if r.returncode == 3:
            self.skipTest(r.stdout.strip())
        self.assertEqual(r.returncode, 0, r.stderr)
        replies = [line for line in r.stdout.splitlines() if line.startswith("reply ")]
        # The first call's job is task 1 of the runtime; a plain async def
        # needs no pool thread; once threads can start again, the next call
        # (task 2) is served as usual.
        self.assertEqual(replies, ["reply " + repr(app_exception("add", 1, "task 1 was cancelled", 6)),
                                   "reply " + repr(message("wait", REPLY, 3, i32_result(3))),
                                   "reply " + repr(message("add", REPLY, 2, i32_result(42)))], r.stdout)


if __name__ == "__main__":
    unittest.main()
