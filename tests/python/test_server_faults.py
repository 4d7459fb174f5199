"""ThriftServer against misbehaving peers and handlers: each fault ends at
most its own connection, with the "connection error: {}" line or silently,
and the next client is served.
"""

import os
import socket
import struct
import time
import unittest

from brovane import ProtocolType, TransportType

from server_harness import Conn, ServerCase, parse, wait_until
from wire import (CALL, EXCEPTION, ONEWAY, REPLY, T_I32, T_LIST, T_STRING, TIMEOUT, app_exception, field, framed, i32,
                  json_message, message, parse_message, string)

IDL = """
service Svc {
  i32 add(1: i32 a, 2: i32 b),
  list<string> words(1: list<string> ws),
  void nap(1: i32 ms),
}
"""

ADD_42 = message("add", REPLY, 1, field(T_I32, 0, i32(42)) + b"\x00")


def json_add(depth=None):
    """A JSON add(a=40, b=2) request; with `depth`, it also carries an unknown
    field (skipped by the server) whose nested lists bring the text's nesting
    to exactly `depth` levels: the message, the arguments, the field's value
    and depth - 3 lists."""
    fields = {"1": ["i32", 40], "2": ["i32", 2]}
    if depth is not None:
        inner = ["i32", 0]
        for _ in range(depth - 4):
            inner = ["lst", 1, inner]
        fields["9"] = ["lst", inner]
    return json_message("add", CALL, 1, fields)


JSON_ADD_42 = json_message("add", REPLY, 1, {"0": ["i32", 42]})


def add_args(a, b):
    return field(T_I32, 1, i32(a)) + field(T_I32, 2, i32(b)) + b"\x00"


def add(a, b):
    if a < 0:
        raise ValueError("negative")
    if a == 999:
        return "not an int"
    return a + b


def nap(ms):
    time.sleep(ms / 1000)  # releases the interpreter lock


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class FaultTest(ServerCase):
    def setUp(self):
        super().setUp()
        self.parser = parse(IDL)

    def serve(self, add=add, **kwargs):
        return self.start(self.parser, "Svc", {"add": add, "words": lambda ws: ws[::-1], "nap": nap}, **kwargs)

    def assert_served(self, port):
        with Conn(port) as c:
            self.assertEqual(c.call(message("add", CALL, 1, add_args(40, 2))), ADD_42)

    def fault(self, port, send, line=None, close_after=True):
        """Sends `send`, expects the server to end the connection, then
        checks the console line (None: no line) and that the next client
        is served."""
        with Conn(port) as c:
            c.send(send)
            if close_after:
                c.sock.shutdown(socket.SHUT_WR)
            self.assertTrue(c.closed_by_peer(), send)
        if line is not None:
            self.wait_connection_error(line)
        self.assert_served(port)
        if line is None:
            self.assertEqual(self.connection_errors(), [])

    def test_peers_that_end_the_stream(self):
        port = self.serve()
        cases = [
            b"",                                     # connect and close
            i32(100),                                # a length, then nothing
            i32(100) + b"\x80\x01\x00\x01",          # inside the frame
            i32(0),                                  # the empty frame
            i32(-5),                                 # a negative length is no message either
            framed(b"\x80\x01\x00\x01\x00\x00"),     # header cut short inside the frame
            b"\x00\x00",                             # inside the length
        ]
        for send in cases:
            with self.subTest(send=send):
                self.fault(port, send)

    def test_reset_by_the_peer(self):
        port = self.serve()
        for send in (b"", i32(100) + b"abc", framed(message("nap", CALL, 1, field(T_I32, 1, i32(200)) + b"\x00"))):
            with self.subTest(send=send):
                c = Conn(port)
                c.send(send)
                time.sleep(0.05)
                c.reset()
                time.sleep(0.3)  # a nap's reply then meets the reset socket
                self.assert_served(port)
        self.assertEqual(self.connection_errors(), [])

    def test_broken_pipe_while_replying(self):
        port = self.serve()
        big = [("w" * 1000)] * 2000
        body = field(T_LIST, 1, bytes([T_STRING]) + i32(len(big)) + b"".join(string(w) for w in big)) + b"\x00"
        for _ in range(3):
            c = Conn(port)
            c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            c.send(framed(message("words", CALL, 1, body)))
            c.reset()
        time.sleep(0.5)
        self.assert_served(port)
        self.assertEqual(self.connection_errors(), [])

    def test_garbage(self):
        # A coroutine function's arguments are decoded where it is called,
        # with the same outcome, and it is not called.
        called = []

        async def coroutine_add(a, b):
            called.append((a, b))
            return a + b

        for kind, handler in [("plain", add), ("coroutine", coroutine_add)]:
            with self.subTest(kind=kind):
                self.garbage(self.serve(add=handler))
        self.assertEqual(called, [(40, 2)] * 4)  # only the calls that check the server goes on

    def garbage(self, port):
        cases = [
            (framed(b"\x12\x34\x56\x78 not thrift"), "Bad version: 0x12345678"),
            (framed(b"\x80\x01\x00\x01" + string(b"\xff\xfe") + i32(1) + b"\x00"),
             "invalid utf-8 sequence of 1 bytes from index 0"),
            (framed(message("add", CALL, 1, field(T_I32, 1, i32(1)) + bytes([T_I32, 0]))),
             "IO error: failed to fill whole buffer"),
            (framed(message("add", CALL, 1, bytes([0x10, 0, 9]) + b"\x00")), "Invalid type: 16"),
        ]
        for send, line in cases:
            with self.subTest(send=send):
                before = len(self.connection_errors())
                with Conn(port) as c:
                    c.send(send)
                    self.assertTrue(c.closed_by_peer())
                self.assertTrue(wait_until(lambda: len(self.connection_errors()) == before + 1), self.console.err())
                self.assertEqual(self.connection_errors()[-1], "connection error: " + line)
                self.assert_served(port)

    def test_a_huge_announced_frame(self):
        port = self.serve()
        self.assert_served(port)
        before = rss_bytes()
        hogs = []
        for _ in range(8):
            c = Conn(port)
            c.send(i32(0x7FFFFFFF) + message("add", CALL, 1, add_args(1, 2)))
            hogs.append(c)
        time.sleep(0.3)
        self.assert_served(port)
        self.assertLess(rss_bytes() - before, 64 * 1024 * 1024)
        for c in hogs:
            self.assertTrue(c.silent_for(0.05))
            c.close()
        self.assert_served(port)
        self.assertEqual(self.connection_errors(), [])

    def test_protocol_mismatch(self):
        port = self.serve(protocol=ProtocolType.Compact)
        with Conn(port) as c:
            c.send(framed(message("add", CALL, 1, add_args(40, 2))))
            self.assertTrue(c.closed_by_peer())
        self.wait_connection_error("Bad protocol id")

    def test_buffered_garbage(self):
        port = self.serve(transport=TransportType.Buffered)
        with Conn(port) as c:
            c.send(message("add", CALL, 1, bytes([0x10, 0, 1]) + b"\x00"))
            self.assertTrue(c.closed_by_peer())
        self.wait_connection_error("Unknown field type byte 0x10 in buffered stream")
        with Conn(port) as c:
            c.send(message("add", CALL, 1, add_args(40, 2)))
            self.assertEqual(c.recv_exact(len(ADD_42)), ADD_42)

    def test_buffered_json_nesting_is_cut_off_where_the_reader_stops(self):
        # The JSON reader decodes 127 nested levels: such a request is
        # answered. A peer that sends nothing but "[" is cut off as soon as
        # its nesting passes that, instead of being buffered without end.
        port = self.serve(transport=TransportType.Buffered, protocol=ProtocolType.JSON)
        with Conn(port) as c:
            c.send(json_add(127))
            self.assertEqual(c.recv_exact(len(JSON_ADD_42)), JSON_ADD_42)
        flood = 64 * 1024 * 1024
        before = rss_bytes()
        sent = 0
        with Conn(port) as c:
            chunk = b"[" * 65536
            try:
                while sent < flood:
                    c.send(chunk)
                    sent += len(chunk)
            except (BrokenPipeError, ConnectionResetError):
                pass
            self.assertLess(sent, flood)
            self.assertTrue(c.closed_by_peer())
        self.wait_connection_error("buffered message nested more than 127 levels deep")
        self.assertLess(rss_bytes() - before, 16 * 1024 * 1024)
        with Conn(port) as c:
            c.send(json_add())
            self.assertEqual(c.recv_exact(len(JSON_ADD_42)), JSON_ADD_42)
        self.assertEqual(len(self.connection_errors()), 1, self.console.err())

    def test_failing_requests_keep_their_connection(self):
        port = self.serve()
        with Conn(port) as c:
            requests = [
                (message("nope", CALL, 1), app_exception("nope", 1, "Unknown method: nope", 1)),
                (message("add", CALL, 1, add_args(-1, 0)), app_exception("add", 1, "ValueError: negative", 6)),
                (message("nope", ONEWAY, 1), None),
            ]
            for request, reply in requests:
                if reply is None:
                    c.send(framed(request))
                else:
                    self.assertEqual(c.call(request), reply)
            wrong = c.call(message("add", CALL, 1, add_args(999, 0)))
            self.assertEqual(parse_message(wrong)[1], EXCEPTION)
            self.assertEqual(c.call(message("add", CALL, 1, add_args(40, 2))), ADD_42)
        self.assertEqual(self.connection_errors(), [])

    def test_a_handler_blocking_for_seconds(self):
        port = self.serve(workers=2)
        with Conn(port) as sleeper:
            sleeper.send(framed(message("nap", CALL, 1, field(T_I32, 1, i32(3000)) + b"\x00")))
            time.sleep(0.1)
            t = time.monotonic()
            for _ in range(5):
                self.assert_served(port)
            self.assertLess(time.monotonic() - t, 2.0)
            self.assertEqual(sleeper.recv_frame(), message("nap", REPLY, 1))


if __name__ == "__main__":
    unittest.main()
