"""A raw-socket test peer for client tests, and Binary encoding helpers.

RawServer listens on 127.0.0.1 with a port chosen by the system and runs a
script for each accepted connection on a thread of its own. Scripts read the
exact bytes that the client sent and answer with exact bytes, so tests fix
the wire form on both sides. Every blocking step is bounded by TIMEOUT.
"""

import queue
import socket
import struct
import threading

TIMEOUT = 10.0

# Message types and wire type codes.
CALL, REPLY, EXCEPTION, ONEWAY = 1, 2, 3, 4
T_STOP, T_BOOL, T_BYTE, T_DOUBLE, T_I16, T_I32, T_I64 = 0, 2, 3, 4, 6, 8, 10
T_STRING, T_STRUCT, T_MAP, T_SET, T_LIST = 11, 12, 13, 14, 15


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
    """One Binary field: type byte, big-endian id, the value's bytes."""
    return bytes([ttype]) + i16(fid) + payload


def message(name, mtype, seqid, body):
    """A strict Binary message: version word, name, sequence id, body."""
    return bytes([0x80, 0x01, 0x00, mtype]) + string(name) + i32(seqid) + body


def framed(data):
    return i32(len(data)) + data


def app_exception_body(message_text, type_):
    return field(T_STRING, 1, string(message_text)) + field(T_I32, 2, i32(type_)) + b"\x00"


def recv_exact(conn, n):
    """Exactly n bytes, or fewer if the peer ends the stream first."""
    out = b""
    while len(out) < n:
        chunk = conn.recv(n - len(out))
        if not chunk:
            break
        out += chunk
    return out


def recv_frame(conn):
    """The body of one Framed message, or None when the stream ended."""
    head = recv_exact(conn, 4)
    if len(head) < 4:
        return None
    (length,) = struct.unpack(">i", head)
    return recv_exact(conn, length)


def recv_until_closed(conn):
    out = b""
    while True:
        chunk = conn.recv(65536)
        if not chunk:
            return out
        out += chunk


def parse_request(body):
    """(name, message type, seqid, remaining bytes) of a Binary message body."""
    assert body[:2] == b"\x80\x01", body
    mtype = body[3]
    (n,) = struct.unpack(">i", body[4:8])
    name = body[8:8 + n].decode()
    (seqid,) = struct.unpack(">i", body[8 + n:12 + n])
    return name, mtype, seqid, body[12 + n:]


class RawServer:
    """Runs `script(conn, server)` for every accepted connection.

    Whatever a script returns is put on `server.results`; an exception it
    raises is put there too, so that tests see failures of the peer.
    """

    def __init__(self, script):
        self.script = script
        self.results = queue.Queue()
        self.accepted = queue.Queue()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._closed = False
        self._threads = []
        self._accept_thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._accept_thread.start()

    def _accept_loop(self):
        while not self._closed:
            try:
                conn, _ = self._listener.accept()
            except OSError:  # the listener was shut down by close()
                return
            conn.settimeout(TIMEOUT)
            self.accepted.put(conn)
            t = threading.Thread(target=self._run, args=(conn,), daemon=True)
            self._threads.append(t)
            t.start()

    def _run(self, conn):
        try:
            self.results.put(self.script(conn, self))
        except BaseException as e:  # reported to the test through `results`
            self.results.put(e)
        finally:
            conn.close()

    def result(self):
        """The next script result (re-raising a script's exception)."""
        r = self.results.get(timeout=TIMEOUT)
        if isinstance(r, BaseException):
            raise r
        return r

    def close(self):
        self._closed = True
        try:
            # Wakes the accept loop: accept() on a shut-down listener fails.
            self._listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._accept_thread.join(TIMEOUT)
        self._listener.close()
        for t in self._threads:
            t.join(TIMEOUT)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def replying(*replies, framing=framed):
    """A script that answers each Framed request with the next reply (framed
    by `framing`, or sent as it is when `framing` is None) and returns the
    request bodies it read."""

    def script(conn, server):
        seen = []
        for reply in replies:
            body = recv_frame(conn)
            if body is None:
                break
            seen.append(body)
            conn.sendall(framing(reply) if framing else reply)
        return seen

    return script
