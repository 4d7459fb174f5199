"""Helpers for tests that run ThriftServers and talk to them over raw sockets.

`ServerCase` starts servers on 127.0.0.1 with ports chosen by the system,
keeps the server's console lines (written straight to descriptors 1 and 2)
out of the test output while keeping them readable, and stops every server
at the end. `Console` captures the descriptors, `Conn` is a raw client
socket with Framed and Buffered helpers, and the wire forms come from wire.
Every wait is bounded.
"""

import glob
import os
import socket
import struct
import sys
import tempfile
import threading
import time
import unittest

from brovane import ProtocolType, ThriftParser, ThriftServer, TransportType

from wire import TIMEOUT, framed, free_port, recv_exact, recv_frame

WORKER = "tokio-rt-worker"
LOOP = "brovane-pyo3-py"  # "brovane-pyo3-python-loop" as the kernel keeps it (15 characters)


# Sockets

class Conn:
    """A raw client connection with bounded waits."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def send(self, data):
        self.sock.sendall(data)

    def recv_exact(self, n):
        return recv_exact(self.sock, n)

    def recv_frame(self):
        """One Framed message body, or None when the server closed."""
        return recv_frame(self.sock)

    def call(self, data):
        self.send(framed(data))
        return self.recv_frame()

    def closed_by_peer(self, timeout=TIMEOUT):
        """True when the server ends the stream (or resets it) in time."""
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False
        finally:
            self.sock.settimeout(TIMEOUT)

    def silent_for(self, seconds):
        """True when nothing arrives for `seconds` and the stream stays open."""
        self.sock.settimeout(seconds)
        try:
            self.sock.recv(1)
            return False
        except socket.timeout:
            return True
        finally:
            self.sock.settimeout(TIMEOUT)

    def reset(self):
        """Closes so that the server sees a connection reset."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# Console lines and threads

def wait_until(pred, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(0.01)
    return pred()


def thread_names():
    names = []
    for path in glob.glob("/proc/self/task/*/comm"):
        try:
            with open(path) as f:
                names.append(f.read().strip())
        except OSError:
            pass  # the thread ended meanwhile
    return names


def current_thread_name():
    with open(f"/proc/self/task/{threading.get_native_id()}/comm") as f:
        return f.read().strip()


def runtime_gone(max_threads=None):
    """No runtime or loop thread left and, given `max_threads`, no more
    threads than that: a serve thread is unnamed, so only a count shows it."""
    names = thread_names()
    return WORKER not in names and LOOP not in names and (max_threads is None or len(names) <= max_threads)


class Console:
    """Descriptors 1 and 2 sent to temporary files while it is open (also as
    a `with` block). `out()` and `err()` give the text so far; once closed,
    the text written until then."""

    def __init__(self):
        sys.stdout.flush()
        sys.stderr.flush()
        self._out = tempfile.TemporaryFile()
        self._err = tempfile.TemporaryFile()
        self._saved = os.dup(1), os.dup(2)
        self._final = None
        os.dup2(self._out.fileno(), 1)
        os.dup2(self._err.fileno(), 2)

    @staticmethod
    def _read(f):
        return os.pread(f.fileno(), os.fstat(f.fileno()).st_size, 0).decode(errors="replace")

    def out(self):
        return self._read(self._out) if self._final is None else self._final[0]

    def err(self):
        return self._read(self._err) if self._final is None else self._final[1]

    def err_lines(self):
        return [line for line in self.err().splitlines() if line]

    def wait_out(self, text):
        return wait_until(lambda: text in self.out())

    def wait_err(self, text):
        return wait_until(lambda: text in self.err())

    def note(self, text):
        """Writes a line to the real standard error."""
        os.write(self._saved[1], (text + "\n").encode())

    def close(self):
        if self._final is not None:
            return
        os.dup2(self._saved[0], 1)
        os.dup2(self._saved[1], 2)
        os.close(self._saved[0])
        os.close(self._saved[1])
        self._final = self._read(self._out), self._read(self._err)
        self._out.close()
        self._err.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def parse(idl):
    p = ThriftParser()
    p.parse(idl)
    return p


class ServerCase(unittest.TestCase):
    """Runs servers for one test; `self.console` holds their lines.

    At the end every server is stopped and the runtime's threads must be
    gone; a subclass that sets `max_threads` also waits for the thread count
    to come down to it.
    """

    max_threads = None

    def setUp(self):
        self.servers = []
        self.console = Console()

    def tearDown(self):
        try:
            for s in self.servers:
                s.stop()
            self.assertTrue(wait_until(lambda: runtime_gone(self.max_threads), 30), thread_names())
        finally:
            self.console.close()

    def serve_server(self, server, port=None, running=True):
        """Serves `server` on 127.0.0.1 at `port` (None: a free one) until the
        test ends, waiting until it runs unless `running` is false; the port."""
        port = free_port() if port is None else port
        self.servers.append(server)
        server.serve("127.0.0.1", port)
        if running:
            self.assertTrue(wait_until(server.is_running), self.console.err())
        return port

    def start(self, parser, service_name, handlers, transport=TransportType.Framed, protocol=ProtocolType.Binary,
              workers=2):
        """A running server with `handlers` (name -> callable); its port."""
        server = ThriftServer(parser.get_service(service_name), transport=transport, workers=workers,
                              protocol=protocol)
        server.set_parser(parser)
        for name, fn in handlers.items():
            server.register_handler(name, fn)
        return self.serve_server(server)

    def connection_errors(self):
        return [line for line in self.console.err_lines() if line.startswith("connection error: ")]

    def wait_connection_error(self, text):
        """Waits for the line "connection error: " + text."""
        line = "connection error: " + text
        ok = wait_until(lambda: line in self.console.err_lines())
        self.assertTrue(ok, self.console.err())
