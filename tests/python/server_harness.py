"""Helpers for tests that talk to a running ThriftServer over raw sockets.

`ServerCase` starts servers on 127.0.0.1 with ports chosen by the system,
keeps the server's console lines (written straight to descriptors 1 and 2)
out of the test output while keeping them readable, and stops every server
at the end. `Conn` is a raw client socket with Framed and Buffered helpers.
The Binary, Compact and JSON encoders here are deliberately small and
independent of the module, so tests fix the wire form on both sides. Every
wait is bounded.
"""

import contextlib
import glob
import json
import os
import socket
import struct
import sys
import tempfile
import time
import unittest

from brovane import ProtocolType, ThriftParser, ThriftServer, TransportType

TIMEOUT = 10.0

CALL, REPLY, EXCEPTION, ONEWAY = 1, 2, 3, 4
T_STOP, T_BOOL, T_BYTE, T_DOUBLE, T_I16, T_I32, T_I64 = 0, 2, 3, 4, 6, 8, 10
T_STRING, T_STRUCT, T_MAP, T_SET, T_LIST = 11, 12, 13, 14, 15

WORKER = "tokio-rt-worker"
LOOP = "brovane-pyo3-py"  # "brovane-pyo3-python-loop" as the kernel keeps it


# Binary

def i16(v):
    return struct.pack(">h", v)


def i32(v):
    return struct.pack(">i", v)


def i64(v):
    return struct.pack(">q", v)


def string(s):
    if isinstance(s, str):
        s = s.encode()
    return i32(len(s)) + s


def field(ttype, fid, payload):
    return bytes([ttype]) + i16(fid) + payload


def message(name, mtype, seqid, body=b"\x00"):
    """A strict Binary message: version word, name, sequence id, body."""
    return bytes([0x80, 0x01, 0x00, mtype]) + string(name) + i32(seqid) + body


def app_exception(name, seqid, text, type_):
    return message(name, EXCEPTION, seqid,
                   field(T_STRING, 1, string(text)) + field(T_I32, 2, i32(type_)) + b"\x00")


def parse_binary_reply(data):
    """(name, message type, seqid, body) of a Binary message."""
    assert data[:2] == b"\x80\x01", data
    mtype = data[3]
    (n,) = struct.unpack(">i", data[4:8])
    name = data[8:8 + n].decode()
    (seqid,) = struct.unpack(">i", data[8 + n:12 + n])
    return name, mtype, seqid, data[12 + n:]


# Compact

def varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def zigzag32(n):
    return (n << 1) ^ (n >> 31)


def compact_message(name, mtype, seqid, body=b"\x00"):
    name = name.encode()
    return bytes([0x82, (mtype << 5) | 1]) + varint(zigzag32(seqid) & 0xFFFFFFFF) + varint(zigzag32(len(name))) + name + body


# JSON

def json_message(name, mtype, seqid, fields=None):
    return json.dumps([1, name, mtype, seqid, fields or {}], separators=(",", ":")).encode()


# Sockets

def framed(data):
    return i32(len(data)) + data


class Conn:
    """A raw client connection with bounded waits."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def send(self, data):
        self.sock.sendall(data)

    def recv_exact(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                break
            out += chunk
        return out

    def recv_frame(self):
        """One Framed message body, or None when the server closed."""
        head = self.recv_exact(4)
        if len(head) < 4:
            return None
        (n,) = struct.unpack(">i", head)
        return self.recv_exact(n)

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
            pass
    return names


def current_thread_name():
    import threading
    with open(f"/proc/self/task/{threading.get_native_id()}/comm") as f:
        return f.read().strip()


def runtime_gone():
    names = thread_names()
    return WORKER not in names and LOOP not in names


class Console:
    """Descriptors 1 and 2 sent to temporary files while it is open."""

    def __init__(self):
        sys.stdout.flush()
        sys.stderr.flush()
        self._out = tempfile.TemporaryFile()
        self._err = tempfile.TemporaryFile()
        self._saved = os.dup(1), os.dup(2)
        os.dup2(self._out.fileno(), 1)
        os.dup2(self._err.fileno(), 2)

    @staticmethod
    def _read(f):
        return os.pread(f.fileno(), os.fstat(f.fileno()).st_size, 0).decode(errors="replace")

    def err(self):
        return self._read(self._err)

    def err_lines(self):
        return [line for line in self.err().splitlines() if line]

    def note(self, text):
        """Writes a line to the real standard error."""
        os.write(self._saved[1], (text + "\n").encode())

    def close(self):
        os.dup2(self._saved[0], 1)
        os.dup2(self._saved[1], 2)
        os.close(self._saved[0])
        os.close(self._saved[1])
        self._out.close()
        self._err.close()


def parse(idl):
    p = ThriftParser()
    p.parse(idl)
    return p


class ServerCase(unittest.TestCase):
    """Runs servers for one test; `self.console` holds their lines."""

    def setUp(self):
        self.servers = []
        self.console = Console()

    def tearDown(self):
        try:
            for s in self.servers:
                s.stop()
            self.assertTrue(wait_until(runtime_gone, 30), thread_names())
        finally:
            self.console.close()

    def start(self, parser, service_name, handlers, transport=TransportType.Framed, protocol=ProtocolType.Binary,
              workers=2):
        """A running server with `handlers` (name -> callable); its port."""
        server = ThriftServer(parser.get_service(service_name), transport=transport, workers=workers,
                              protocol=protocol)
        server.set_parser(parser)
        for name, fn in handlers.items():
            server.register_handler(name, fn)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        self.servers.append(server)
        server.serve("127.0.0.1", port)
        self.assertTrue(wait_until(server.is_running), self.console.err())
        return port

    def connection_errors(self):
        return [line for line in self.console.err_lines() if line.startswith("connection error: ")]

    def wait_connection_error(self, text):
        """Waits for the line "connection error: " + text."""
        line = "connection error: " + text
        ok = wait_until(lambda: line in self.console.err_lines())
        self.assertTrue(ok, self.console.err())
