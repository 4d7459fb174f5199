"""A server that runs out of descriptors: each failed accept writes its line,
but the loop pauses between attempts instead of spinning, still ends at once
on stop() or SIGINT, and serves again once descriptors are free.

The server runs in a child process with a low descriptor limit; this process
holds the connections that use the child's descriptors up.
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
# standard input: "stop" calls stop(). Console lines go to its descriptors 1
# and 2, which are files, so writing them never blocks it.
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
    try:
        # A SIGINT may reach any thread; waking now and then lets the main
        # thread raise its KeyboardInterrupt.
        while True:
            if not select.select([sys.stdin], [], [], 0.05)[0]:
                continue
            line = sys.stdin.readline()
            if not line:
                break
            if line.strip() == "stop":
                s.stop()
                assert wait_until(runtime_gone)
                os.write(1, b"stopped\\n")
    except KeyboardInterrupt:
        os.write(1, b"interrupted\\n")
""").format(here=HERE)

HELD = 100  # connections held open: more than the child's spare descriptors
ERROR = "accept error: Too many open files (os error 24)"


def cpu_seconds(pid):
    """User and system time that process `pid` has used."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Child:
    def __init__(self):
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

    def error_lines(self):
        return self.stderr().count(ERROR + "\n")

    def hold(self):
        """Opens HELD connections; the server accepts until it has no
        descriptor left, the rest wait in its backlog."""
        self.held += [socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT) for _ in range(HELD)]

    def release(self):
        for s in self.held:
            s.close()
        self.held = []

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

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


def ping(port):
    """One Framed Binary call of ping; its reply's message type."""
    with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as s:
        body = message("ping", CALL, 7)
        s.sendall(len(body).to_bytes(4, "big") + body)
        data = b""
        while len(data) < 4 or len(data) < 4 + int.from_bytes(data[:4], "big"):
            chunk = s.recv(65536)
            if not chunk:
                return None
            data += chunk
        return parse_message(data[4:])[1]


class AcceptBackoffTest(unittest.TestCase):
    def start(self):
        child = Child()
        self.addCleanup(child.close)
        self.assertTrue(wait_until(lambda: "running\n" in child.stdout()), child.stderr())
        # A first call while descriptors are plenty sets up what serving needs
        # (and, in a sanitizer build, its checks of virtual calls, which once
        # made need no spare descriptors).
        self.assertEqual(ping(child.port), REPLY)
        return child

    def exhaust(self, child):
        """Holds connections until accepts fail, then watches the child for a
        while: few lines, little processor time."""
        before = child.error_lines()
        child.hold()
        self.assertTrue(wait_until(lambda: child.error_lines() > before), child.stderr()[-2000:])
        lines, cpu = child.error_lines(), cpu_seconds(child.proc.pid)
        time.sleep(2.5)
        lines, cpu = child.error_lines() - lines, cpu_seconds(child.proc.pid) - cpu
        self.assertLess(lines, 200)
        self.assertLess(cpu, 0.5)
        self.assertIsNone(child.proc.poll())

    def test_out_of_descriptors(self):
        # Once the pauses have grown long, a stop or a SIGINT still ends the
        # loop at once.
        for wake, line in [("stop", "shutdown requested\n"), ("sigint", "received Ctrl+C, shutting down\n")]:
            with self.subTest(wake=wake):
                child = self.start()
                if wake == "stop":
                    # The server serves again once the held connections close,
                    # and a second shortage pauses it the same way.
                    child.hold()
                    self.assertTrue(wait_until(lambda: child.error_lines() > 0), child.stderr()[-2000:])
                    child.release()
                    self.assertEqual(ping(child.port), REPLY)
                self.exhaust(child)
                woken = time.monotonic()
                if wake == "stop":
                    child.send("stop")
                else:
                    os.kill(child.proc.pid, signal.SIGINT)
                self.assertTrue(wait_until(lambda: line in child.stdout()), child.stdout())
                self.assertLess(time.monotonic() - woken, 0.5)
                child.release()
                after = "stopped\n" if wake == "stop" else "interrupted\n"
                self.assertTrue(wait_until(lambda: after in child.stdout()), child.stdout())
                if wake == "sigint":
                    self.assertEqual(child.proc.wait(TIMEOUT), 0, child.stderr()[-2000:])
                self.assertNotIn("Traceback", child.stderr())


if __name__ == "__main__":
    unittest.main()
