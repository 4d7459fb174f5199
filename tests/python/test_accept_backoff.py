"""A server that runs out of descriptors: each failed accept writes its line,
but the loop pauses between attempts instead of spinning, still ends at once
on stop() or SIGINT, and serves again once descriptors are free. The same
holds when poll itself fails.

The server runs in a child process with a low descriptor limit. Its
descriptors run out in one of two ways: this process holds enough connections
open ("peers"), or the child's script opens files until none is left, while
this process keeps a few connections waiting ("own").
"""

import os
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

from server_harness import wait_until
from wire import CALL, REPLY, TIMEOUT, free_port, message, parse_message

HERE = os.path.dirname(os.path.abspath(__file__))

# Serves `ping` on the port given as its argument, then follows commands on
# standard input: "fill" opens files until no descriptor is left, "free"
# closes them, "starve" lowers the descriptor limit below the three that the
# accept loop polls, so that poll itself fails, "stop" calls stop(). Console
# lines go to its descriptors 1 and 2, which are files, so writing them never
# blocks it.
CHILD = textwrap.dedent("""
    import os, resource, select, sys
    sys.path.insert(0, {here!r})
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
    import asyncio  # imported while descriptors are there for its files
    from brovane import ThriftServer
    from server_harness import parse, runtime_gone, wait_until
    p = parse("service S {{ void ping() }}")
    s = ThriftServer(p.get_service("S"), workers=1)
    s.set_parser(p)
    s.register_handler("ping", lambda: None)
    s.serve("127.0.0.1", int(sys.argv[1]))
    assert wait_until(s.is_running)
    os.write(1, b"running\\n")
    files = []

    def free():
        while files:
            os.close(files.pop())

    try:
        # A SIGINT may reach any thread; waking now and then lets the main
        # thread raise its KeyboardInterrupt.
        while True:
            if not select.select([sys.stdin], [], [], 0.05)[0]:
                continue
            line = sys.stdin.readline().strip()
            if not line:
                break
            if line == "fill":
                try:
                    while True:
                        files.append(os.open("/dev/null", os.O_RDONLY))
                except OSError:
                    os.write(1, b"filled\\n")
            elif line == "free":
                free()
                os.write(1, b"freed\\n")
            elif line == "starve":
                resource.setrlimit(resource.RLIMIT_NOFILE, (2, hard))
                os.write(1, b"starved\\n")
            elif line == "stop":
                s.stop()
                free()
                assert wait_until(runtime_gone)
                os.write(1, b"stopped\\n")
    except KeyboardInterrupt:
        free()
        # The accept loop sees the SIGINT too, and ends the serve.
        assert wait_until(lambda: not s.is_running())
        os.write(1, b"interrupted\\n")
""").format(here=HERE)

HELD = 100  # connections held open: more than the child's spare descriptors
WAITING = 3  # connections kept waiting while the child's own files use them up
ERROR = "accept error: Too many open files (os error 24)"
POLL_ERROR = "accept error: Invalid argument (os error 22)"
# The two ways to end the serve, and the line each shows.
WAKES = [("stop", "shutdown requested\n"), ("sigint", "received Ctrl+C, shutting down\n")]

# In a sanitizer build, the first check of a virtual call's object type at a
# call site probes the object's memory through a pipe, and with no descriptor
# left it reports the object as invalid and ends the process. Serving
# connections, writing an accept error's system text and shutting the
# runtime down all make such calls, so there the test cannot run; the pause
# rule itself is checked there by the C++ test of the back-off.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def cpu_seconds(pid):
    """User and system time that process `pid` has used."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def ping(port):
    """One Framed Binary call of ping; its reply's message type. Returns once
    the server has seen the connection end and closed it."""
    with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as s:
        body = message("ping", CALL, 7)
        s.sendall(len(body).to_bytes(4, "big") + body)
        data = b""
        while len(data) < 4 or len(data) < 4 + int.from_bytes(data[:4], "big"):
            chunk = s.recv(65536)
            if not chunk:
                return None
            data += chunk
        s.shutdown(socket.SHUT_WR)
        while s.recv(65536):
            pass
        return parse_message(data[4:])[1]


class Child:
    def __init__(self, shortage):
        self.shortage = shortage
        self.port = free_port()
        self.out = tempfile.TemporaryFile()
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([sys.executable, "-c", CHILD, str(self.port)], stdin=subprocess.PIPE,
                                     stdout=self.out, stderr=self.err, text=True)
        self.held = []

    @staticmethod
    def _text(f):
        return os.pread(f.fileno(), os.fstat(f.fileno()).st_size, 0).decode(errors="replace")

    def stdout(self):
        return self._text(self.out)

    def stderr(self):
        return self._text(self.err)

    def error_lines(self, error=ERROR):
        return self.stderr().count(error + "\n")

    def command(self, line, reply):
        """Sends a command and waits for its reply's next occurrence."""
        seen = self.stdout().count(reply + "\n")
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return wait_until(lambda: self.stdout().count(reply + "\n") > seen)

    def hold(self, n):
        self.held += [socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT) for _ in range(n)]

    def run_short(self):
        """Uses the server's descriptors up, so that its accepts fail. With
        "peers" it accepts held connections until none is left, and the rest
        wait in its backlog."""
        if self.shortage == "peers":
            self.hold(HELD)
        else:
            assert self.command("fill", "filled"), self.stderr()
            self.hold(WAITING)

    def relieve(self):
        if self.shortage == "peers":
            self.release()
        else:
            assert self.command("free", "freed"), self.stderr()

    def wake(self, wake):
        """Ends the serve with stop() ("stop") or a SIGINT ("sigint")."""
        if wake == "stop":
            self.proc.stdin.write("stop\n")
            self.proc.stdin.flush()
        else:
            os.kill(self.proc.pid, signal.SIGINT)

    def release(self):
        for s in self.held:
            s.close()
        self.held = []

    def close(self):
        """Ends the child (closing its standard input ends its script)."""
        self.release()
        self.proc.stdin.close()
        try:
            self.proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(TIMEOUT)
        self.out.close()
        self.err.close()


class AcceptBackoffTest(unittest.TestCase):
    def start(self, shortage):
        child = Child(shortage)
        self.addCleanup(child.close)
        self.assertTrue(wait_until(lambda: "running\n" in child.stdout()), child.stderr())
        self.assertEqual(ping(child.port), REPLY)
        return child

    def run_short(self, child):
        """Runs the child short of descriptors until accepts fail, then
        watches it for a while: few lines, little processor time."""
        before = child.error_lines()
        child.run_short()
        self.assertTrue(wait_until(lambda: child.error_lines() > before), child.stderr()[-2000:])
        self.assert_quiet(child, ERROR, 2.5, max_lines=200, max_cpu=0.5)
        self.assertIsNone(child.proc.poll(), child.stderr()[-2000:])

    def assert_quiet(self, child, error, seconds, max_lines, max_cpu):
        """Over `seconds`, fewer than `max_lines` lines of `error` and less
        than `max_cpu` seconds of processor time."""
        lines, cpu = child.error_lines(error), cpu_seconds(child.proc.pid)
        time.sleep(seconds)
        lines, cpu = child.error_lines(error) - lines, cpu_seconds(child.proc.pid) - cpu
        self.assertLess(lines, max_lines)
        self.assertLess(cpu, max_cpu)

    def assert_woken(self, child, wake, line):
        """A stop or a SIGINT shows its line within 0.5 s."""
        woken = time.monotonic()
        child.wake(wake)
        self.assertTrue(wait_until(lambda: line in child.stdout()), child.stderr()[-2000:])
        self.assertLess(time.monotonic() - woken, 0.5)

    def test_out_of_descriptors(self):
        # Once the pauses have grown long, a stop or a SIGINT still ends the
        # loop at once.
        for shortage in ("peers", "own"):
            for wake, line in WAKES:
                with self.subTest(shortage=shortage, wake=wake):
                    if SANITIZED:
                        self.skipTest("a sanitizer build's type checks need spare descriptors while serving")
                    child = self.start(shortage)
                    if wake == "stop":
                        # The server serves again once descriptors are free,
                        # and a second shortage pauses it the same way.
                        child.run_short()
                        self.assertTrue(wait_until(lambda: child.error_lines() > 0), child.stderr()[-2000:])
                        child.relieve()
                        self.assertEqual(ping(child.port), REPLY)
                    self.run_short(child)
                    if shortage == "own":
                        child.relieve()  # the pause goes on
                    self.assert_woken(child, wake, line)
                    child.release()
                    after = "stopped\n" if wake == "stop" else "interrupted\n"
                    self.assertTrue(wait_until(lambda: after in child.stdout()), child.stdout())
                    if wake == "sigint":
                        self.assertEqual(child.proc.wait(TIMEOUT), 0, child.stderr()[-2000:])
                    self.assertNotIn("Traceback", child.stderr())

    def test_poll_failing(self):
        # While poll fails, the loop writes a line and looks again a while
        # later, and a stop or a SIGINT still ends it.
        for wake, line in WAKES:
            with self.subTest(wake=wake):
                if SANITIZED:
                    self.skipTest("a sanitizer build's type checks need spare descriptors while serving")
                child = self.start("own")
                self.assertTrue(child.command("starve", "starved"), child.stderr())
                child.hold(1)  # wakes the loop, which polls under the new limit from then on
                self.assertTrue(wait_until(lambda: child.error_lines(POLL_ERROR) > 0), child.stderr()[-2000:])
                self.assert_quiet(child, POLL_ERROR, 1.0, max_lines=30, max_cpu=0.3)
                self.assert_woken(child, wake, line)
                after = "stopped\n" if wake == "stop" else "interrupted\n"
                self.assertTrue(wait_until(lambda: after in child.stdout()), child.stdout())
                self.assertNotIn("Traceback", child.stderr())


if __name__ == "__main__":
    unittest.main()
