"""ThriftClient.call: request bytes, reply decoding, exceptions and failures,
against a raw-socket peer that reads and writes exact bytes."""

import struct
import sys
import threading
import time
import unittest

from brovane import (ProtocolType, ThriftApplicationException, ThriftClient, ThriftParser,
                     TransportType)

from rawserver import RawServer, replying
from wire import (CALL, EXCEPTION, ONEWAY, REPLY, T_I32, T_LIST, T_STRING, T_STRUCT, app_exception_body, field,
                  framed, i32, message, parse_message, recv_exact, recv_frame, recv_until_closed, string)

IDL = """
struct Point { 1: i32 x, 2: i32 y }
exception Oops { 1: string why, 2: i32 code }
service Calc {
  i32 add(1: i32 a, 2: i32 b),
  void ping(),
  oneway void note(1: string text),
  Point move(1: Point p),
  Oops oops(),
  i32 risky(1: i32 a) throws (1: Oops err, 3: Oops other),
  string echo(1: string s),
  list<i32> numbers(),
  i32 sub(1: i32 left, 2: i32 right),
}
"""

ADD_REPLY_3 = message("add", REPLY, 5, field(T_I32, 0, i32(3)) + b"\x00")


def parsed():
    p = ThriftParser()
    p.parse(IDL)
    return p


def client(port, parser=True, **kwargs):
    p = parsed()
    c = ThriftClient(p.get_service("Calc"), "127.0.0.1", port, **kwargs)
    if parser:
        c.set_parser(p)
    return c


def debug_quoted(text):
    """A text in double quotes with quotes, backslashes and control
    characters escaped, as error messages quote it."""
    out = ['"']
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\0":
            out.append("\\0")
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out.append("\\u{%x}" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def call_once(reply, fn, framing=framed, **client_kwargs):
    """Opens a client against a peer that answers one request with `reply`,
    runs fn(client), and returns (fn's result or exception, request bytes)."""
    with RawServer(replying(reply, framing=framing)) as server:
        c = client(server.port, **client_kwargs)
        c.open()
        try:
            outcome = fn(c)
        except Exception as e:  # handed back for the test to check
            outcome = e
        c.close()
        seen = server.result()
    return outcome, (seen[0] if seen else None)


class RequestBytesTest(unittest.TestCase):
    def test_add_is_the_sixth_call(self):
        c = client(1)
        # Calls on a closed client use up sequence ids.
        for _ in range(5):
            with self.assertRaises(OSError) as cm:
                c.call("add", a=1, b=2)
            self.assertEqual(str(cm.exception), "ThriftClient is not open; call client.open() first")
        with RawServer(lambda conn, server: recv_exact(conn, 34)) as server:
            c = client(server.port)
            for _ in range(5):
                with self.assertRaises(OSError):
                    c.call("add", a=1, b=2)
            c.open()
            t = threading.Thread(target=lambda: self.assertRaises(OSError, c.call, "add", a=1, b=2))
            t.start()
            got = server.result()
            t.join(10)
            c.close()
        self.assertEqual(got.hex(" "), "00 00 00 1e 80 01 00 01 00 00 00 03 61 64 64 00 00 00 05 "
                                       "08 00 01 00 00 00 01 08 00 02 00 00 00 02 00")

    def test_absent_and_unknown_arguments(self):
        reply = message("add", REPLY, 0, field(T_I32, 0, i32(3)) + b"\x00")
        for kwargs in ({"b": 2}, {"b": 2, "c": 3}):
            with self.subTest(kwargs=kwargs):
                result, request = call_once(reply, lambda c: c.call("add", **kwargs))
                self.assertEqual(result, 3)
                self.assertEqual(request, message("add", CALL, 0, field(T_I32, 2, i32(2)) + b"\x00"))

    def test_none_is_written_by_the_declared_type(self):
        # A present argument is written whatever its value: None is refused
        # by the i32 writer before anything is sent.
        c = client(1)
        with self.assertRaises(TypeError):
            c.call("add", a=None)

    def test_compact_request_and_reply(self):
        reply = bytes.fromhex("82 41 00 06") + b"add" + bytes.fromhex("05 00 00 06 00")
        result, request = call_once(reply, lambda c: c.call("add", a=1, b=2), protocol=ProtocolType.Compact)
        self.assertEqual(result, 3)
        self.assertEqual(request.hex(" "), "82 21 00 06 61 64 64 15 02 15 04 00")

    def test_json_request_and_reply(self):
        reply = b'[1,"add",2,0,{"0":["i32",3]}]'
        result, request = call_once(reply, lambda c: c.call("add", a=1, b=2), protocol=ProtocolType.JSON)
        self.assertEqual(result, 3)
        self.assertEqual(request, b'[1,"add",1,0,{"1":["i32",1],"2":["i32",2]}]')

    def test_buffered_binary(self):
        request = message("add", CALL, 0, field(T_I32, 1, i32(1)) + field(T_I32, 2, i32(2)) + b"\x00")
        reply = message("add", REPLY, 0, field(T_I32, 0, i32(3)) + b"\x00")

        def script(conn, server):
            got = recv_exact(conn, len(request))
            conn.sendall(reply)
            return got

        with RawServer(script) as server:
            c = client(server.port, transport=TransportType.Buffered)
            c.open()
            self.assertEqual(c.call("add", a=1, b=2), 3)
            c.close()
            self.assertEqual(server.result(), request)

    def test_buffered_json(self):
        def script(conn, server):
            got = recv_exact(conn, 43)
            conn.sendall(b' \n[1,"add",2,0,{"0":["i32",3]}]')
            return got

        with RawServer(script) as server:
            c = client(server.port, transport=TransportType.Buffered, protocol=ProtocolType.JSON)
            c.open()
            self.assertEqual(c.call("add", a=1, b=2), 3)
            c.close()
            self.assertEqual(server.result(), b'[1,"add",1,0,{"1":["i32",1],"2":["i32",2]}]')

    def test_argument_errors_before_anything_is_sent(self):
        c = client(1, parser=False)
        cases = [
            (lambda: c.call(1), TypeError, "argument 'method_name': 'int' object is not an instance of 'str'"),
            (lambda: c.call("add", 1), TypeError, "ThriftClient.call() takes 1 positional arguments but 2 were given"),
            (lambda: c.call(), TypeError, "ThriftClient.call() missing 1 required positional argument: 'method_name'"),
            (lambda: c.call("add", method_name="add"), TypeError,
             "ThriftClient.call() got multiple values for argument 'method_name'"),
            (lambda: c.call("nope"), ValueError, "Unknown method: nope"),
            (lambda: c.call("move", p={"x": 1, "y": 2}), ValueError, "Unknown struct in schema: Point"),
        ]
        for fn, exc, text in cases:
            with self.subTest(text=text), self.assertRaises(exc) as cm:
                fn()
            self.assertEqual(str(cm.exception), text)
        # A closed client refuses a bad argument by the argument's error.
        with self.assertRaises(TypeError):
            c.call("add", a="one")


    def test_failing_calls_keep_reference_counts(self):
        c = client(1, parser=False)
        a, point, name = 10**6 + 1, {"x": 1, "y": 2}, "".join(["a", "dd"])
        before = [sys.getrefcount(o) for o in (a, point, name)]
        for _ in range(100):
            for kwargs, method in (({"a": a, "b": "x"}, name), ({"a": a}, name), ({"p": point}, "move")):
                with self.assertRaises(Exception):
                    c.call(method, **kwargs)
        del kwargs, method
        self.assertEqual([sys.getrefcount(o) for o in (a, point, name)], before)


class KeywordsAndBuffersTest(unittest.TestCase):
    def test_every_form_of_keywords_writes_the_same_request(self):
        class Name(str):
            pass

        left, right = "".join(["le", "ft"]), "".join(["ri", "ght"])
        self.assertIsNot(sys.intern(left), left)  # a name that is not interned
        expected = message("sub", CALL, 0, field(T_I32, 1, i32(7)) + field(T_I32, 2, i32(2)) + b"\x00")
        reply = message("sub", REPLY, 0, field(T_I32, 0, i32(5)) + b"\x00")
        forms = {
            "literal": lambda c: c.call("sub", left=7, right=2),
            "reversed": lambda c: c.call("sub", right=2, left=7),
            "not interned": lambda c: c.call("sub", **{left: 7, right: 2}),
            "str subclass": lambda c: c.call("sub", **{Name("left"): 7, Name("right"): 2}),
            "method_name by keyword": lambda c: c.call(method_name="sub", left=7, right=2),
            "with unknown ones": lambda c: c.call("sub", other=1, right=2, **{"left": 7, "x" * 40: 0}),
        }
        for label, form in forms.items():
            with self.subTest(label):
                result, request = call_once(reply, form)
                self.assertEqual(result, 5)
                self.assertEqual(request, expected)

    def test_requests_and_replies_of_changing_sizes(self):
        # Each call's request and reply go through the buffer that the call
        # before kept: larger, smaller, past the reader's 64 KiB, empty.
        texts = ["".join(chr(97 + (i * 7 + j) % 26) for j in range(n))
                 for i, n in enumerate((70000, 10, 3000, 0, 100000, 5))]
        replies = [message("echo", REPLY, i, field(T_STRING, 0, string(t + t.upper())) + b"\x00")
                   for i, t in enumerate(texts)]
        with RawServer(replying(*replies)) as server:
            c = client(server.port)
            c.open()
            got = [c.call("echo", s=t) for t in texts]
            c.close()
            seen = server.result()
        self.assertEqual(got, [t + t.upper() for t in texts])
        self.assertEqual(seen, [message("echo", CALL, i, field(T_STRING, 1, string(t)) + b"\x00")
                                for i, t in enumerate(texts)])

    def test_a_call_made_while_the_arguments_are_written(self):
        # The inner call runs inside the outer one's encoding, on the same
        # client and thread: it goes out and is answered first, and the outer
        # request comes out whole behind it.
        class Inner:
            def __index__(self):
                return c.call("add", a=5, b=6)

        replies = [ADD_REPLY_3, message("add", REPLY, 2, field(T_I32, 0, i32(11)) + b"\x00"),
                   message("add", REPLY, 1, field(T_I32, 0, i32(13)) + b"\x00")]
        with RawServer(replying(*replies)) as server:
            c = client(server.port)
            c.open()
            self.assertEqual(c.call("add", a=1, b=2), 3)
            self.assertEqual(c.call("add", a=Inner(), b=2), 13)
            c.close()
            seen = server.result()
        inner = message("add", CALL, 2, field(T_I32, 1, i32(5)) + field(T_I32, 2, i32(6)) + b"\x00")
        outer = message("add", CALL, 1, field(T_I32, 1, i32(11)) + field(T_I32, 2, i32(2)) + b"\x00")
        self.assertEqual(seen[1:], [inner, outer])

    def test_a_reply_that_arrives_in_pieces(self):
        reply = framed(message("echo", REPLY, 0, field(T_STRING, 0, string("pieces" * 50)) + b"\x00"))

        def script(conn, server):
            recv_frame(conn)
            for piece in (reply[:2], reply[2:9], reply[9:200], reply[200:]):
                conn.sendall(piece)
                time.sleep(0.02)

        with RawServer(script) as server:
            c = client(server.port)
            c.open()
            self.assertEqual(c.call("echo", s="x"), "pieces" * 50)
            c.close()


class ReplyTest(unittest.TestCase):
    def test_result_regardless_of_name_seqid_and_type(self):
        for reply in (ADD_REPLY_3,
                      message("other", REPLY, 77, field(T_I32, 0, i32(3)) + b"\x00"),
                      message("add", 9, 0, field(T_I32, 0, i32(3)) + b"\x00")):
            with self.subTest(reply=reply):
                result, _ = call_once(reply, lambda c: c.call("add", a=1, b=2))
                self.assertEqual(result, 3)

    def test_values_by_declared_type(self):
        cases = [
            ("ping", message("ping", REPLY, 0, b"\x00"), None),
            ("echo", message("echo", REPLY, 0, field(T_STRING, 0, string("héllo")) + b"\x00"), "héllo"),
            ("numbers", message("numbers", REPLY, 0, field(T_LIST, 0, bytes([T_I32]) + i32(2) + i32(7) + i32(-1))
                                + b"\x00"), [7, -1]),
            # Only the first field is looked at.
            ("add", message("add", REPLY, 0, field(T_I32, 0, i32(3)) + b"\xff\xff"), 3),
        ]
        for name, reply, expected in cases:
            with self.subTest(name=name):
                result, _ = call_once(reply, lambda c: c.call(name))
                self.assertEqual(result, expected)

    def test_struct_result(self):
        reply = message("move", REPLY, 0, field(T_STRUCT, 0, field(T_I32, 1, i32(4)) + field(T_I32, 2, i32(5))
                                                + b"\x00") + b"\x00")
        result, request = call_once(reply, lambda c: c.call("move", p={"x": 1, "y": 2}))
        self.assertEqual((result.x, result.y), (4, 5))
        self.assertEqual(request, message("move", CALL, 0, field(T_STRUCT, 1, field(T_I32, 1, i32(1))
                                                                 + field(T_I32, 2, i32(2)) + b"\x00") + b"\x00"))
        result, _ = call_once(reply, lambda c: c.call("move"), parser=False)
        self.assertIsInstance(result, ValueError)
        self.assertEqual(str(result), "Unknown struct type: Point")

    def test_result_field_for_a_void_method(self):
        result, _ = call_once(message("ping", REPLY, 0, field(T_I32, 0, i32(1)) + b"\x00"), lambda c: c.call("ping"))
        self.assertIsInstance(result, ValueError)
        self.assertEqual(str(result), "Unknown struct type: void")

    def test_application_exceptions(self):
        cases = [
            (app_exception_body("boom", 6), "boom", 6),
            (b"\x00", "", 0),
            # Field 2 as a string, an unknown field and a later repeat.
            (field(T_STRING, 2, string("6")) + field(T_LIST, 9, bytes([T_I32]) + i32(1) + i32(5))
             + field(T_STRING, 1, string("a")) + field(T_STRING, 1, string("b")) + b"\x00", "b", 0),
            (field(T_I32, 2, i32(-7)) + b"\x00", "", -7),
        ]
        for body, text, code in cases:
            with self.subTest(body=body):
                result, _ = call_once(message("add", EXCEPTION, 0, body), lambda c: c.call("add", a=1))
                self.assertIsInstance(result, ThriftApplicationException)
                self.assertEqual((result.message, result.type_), (text, code))

    def test_application_exception_other_protocols(self):
        compact = bytes.fromhex("82 61 00 06") + b"add" + bytes.fromhex("18 08") + b"boom" + bytes.fromhex("15 0c 00")
        result, _ = call_once(compact, lambda c: c.call("add"), protocol=ProtocolType.Compact)
        self.assertEqual((type(result), result.message, result.type_), (ThriftApplicationException, "boom", 6))
        for body, code in ((b'{"1":["str","boom"],"2":["i32",6]}', 6),
                           (b'{"1":["str","boom"],"2":["i32",4294967302]}', 6),
                           (b'{"1":["str","boom"],"2":["i32",1.5]}', 0),
                           (b'{"1":["str","boom"],"2":["i32","6"]}', 0),
                           (b'{"1":["str","boom"],"3":["str","skipped"]}', 0)):
            with self.subTest(body=body):
                result, _ = call_once(b'[1,"add",3,0,' + body + b"]", lambda c: c.call("add"),
                                      protocol=ProtocolType.JSON)
                self.assertEqual((type(result), result.message, result.type_), (ThriftApplicationException, "boom", code))

    def test_bad_application_exception_struct(self):
        cases = [
            (field(T_STRING, 1, string("boom")), "failed to fill whole buffer"),
            (field(T_I32, 2, b"\x00\x00"), "failed to fill whole buffer"),
            (b"\x07\x00\x01", "Invalid type: 7"),
            (field(T_STRING, 1, i32(2) + b"\xff\xfe") + b"\x00", "invalid utf-8 sequence of 1 bytes from index 0"),
            (field(T_LIST, 3, bytes([T_I32]) + i32(3) + i32(1)) + b"\x00", "failed to fill whole buffer"),
        ]
        for body, text in cases:
            with self.subTest(body=body):
                result, _ = call_once(message("add", EXCEPTION, 0, body), lambda c: c.call("add"))
                self.assertIs(type(result), OSError)
                self.assertEqual(str(result), text)

    def test_service_exceptions(self):
        oops = field(T_STRING, 1, string('bad "x"')) + field(T_I32, 2, i32(7)) + b"\x00"
        value, _ = call_once(message("oops", REPLY, 0, field(T_STRUCT, 0, oops) + b"\x00"), lambda c: c.call("oops"))
        expected_repr = repr(value)
        cases = [
            (field(T_STRUCT, 1, oops), "err", 1, debug_quoted(expected_repr)),
            (field(T_STRUCT, 3, oops), "other", 3, debug_quoted(expected_repr)),
            (field(T_I32, 7, i32(1)), "unknown", 7, '"None"'),
            (field(T_I32, -2, i32(1)), "unknown", -2, '"None"'),
            # A declared exception whose value cannot be decoded.
            (field(T_STRUCT, 1, field(T_STRING, 1, i32(100))), "err", 1, '"None"'),
        ]
        for body, name, fid, shown in cases:
            with self.subTest(name=name, fid=fid):
                result, _ = call_once(message("risky", REPLY, 0, body + b"\x00"), lambda c: c.call("risky", a=1))
                self.assertIs(type(result), RuntimeError)
                self.assertEqual(str(result), f"Service exception '{name}' (field {fid}): {shown}")
        result, _ = call_once(message("risky", REPLY, 0, field(T_I32, 1, i32(1)) + b"\x00"),
                              lambda c: c.call("risky", a=1), parser=False)
        self.assertEqual(str(result), "Service exception 'err' (field 1): \"None\"")

    def test_undeclared_field_that_cannot_be_skipped(self):
        result, _ = call_once(message("risky", REPLY, 0, field(T_STRING, 9, i32(50))), lambda c: c.call("risky"))
        self.assertIs(type(result), OSError)
        self.assertEqual(str(result), "failed to fill whole buffer")

    def test_bad_replies(self):
        cases = [
            (b"", "IO error: failed to fill whole buffer"),
            (message("add", REPLY, 0, b""), "IO error: failed to fill whole buffer"),
            (message("add", REPLY, 0, field(T_I32, 0, b"\x00")), "IO error: failed to fill whole buffer"),
            (message("add", REPLY, 0, b"\x07\x00\x00"), "Invalid type: 7"),
            (b"\x82\x41\x00\x06add\x00", "IO error: Bad version: 0x82410006"),
            (b"\x80\x01\x00\x02\xff\xff\xff\xff", "IO error: negative length: -1"),
            (bytes(range(200, 256)) * 3, "IO error: Bad version: 0xc8c9cacb"),
        ]
        for reply, text in cases:
            with self.subTest(reply=reply):
                result, _ = call_once(reply, lambda c: c.call("add", a=1))
                self.assertIs(type(result), OSError)
                self.assertEqual(str(result), text)

    def test_framed_length_zero_and_closed_peer(self):
        for script in (lambda conn, server: (recv_frame(conn), conn.sendall(i32(0)))[0],
                       lambda conn, server: recv_frame(conn)):
            with RawServer(script) as server:
                c = client(server.port)
                c.open()
                with self.assertRaises(OSError) as cm:
                    c.call("add", a=1)
                self.assertEqual(str(cm.exception), "IO error: failed to fill whole buffer")
                c.close()

    def test_peer_closes_inside_a_reply(self):
        cases = [
            (TransportType.Framed, lambda conn: conn.sendall(i32(40) + b"\x80\x01"), "I/O error: early eof"),
            (TransportType.Buffered, lambda conn: None, "I/O error: early eof"),
            (TransportType.Buffered, lambda conn: conn.sendall(message("add", REPLY, 0, b"\x08\x00")),
             "I/O error: unexpected end of file"),
            (TransportType.Buffered, lambda conn: conn.sendall(message("add", REPLY, 0, b"\x07\x00\x00")),
             "I/O error: Unknown field type byte 0x07"),
        ]
        for transport, answer, text in cases:
            with self.subTest(text=text):
                def script(conn, server, answer=answer):
                    conn.recv(100)
                    answer(conn)

                with RawServer(script) as server:
                    c = client(server.port, transport=transport)
                    c.open()
                    with self.assertRaises(OSError) as cm:
                        c.call("add", a=1)
                    self.assertEqual(str(cm.exception), text)
                    self.assertTrue(c.is_open())  # no error closes the connection
                    c.close()

    def test_the_client_stays_usable_after_failures(self):
        replies = [b"\x00\x01", message("add", EXCEPTION, 0, b"\x00"), ADD_REPLY_3]
        with RawServer(replying(*replies)) as server:
            c = client(server.port)
            c.open()
            with self.assertRaises(OSError):
                c.call("add", a=1)
            with self.assertRaises(ThriftApplicationException):
                c.call("add", a=1)
            self.assertEqual(c.call("add", a=1), 3)
            c.close()


class OnewayAndConcurrencyTest(unittest.TestCase):
    def test_oneway_reads_nothing(self):
        def script(conn, server):
            note = recv_frame(conn)
            conn.sendall(framed(ADD_REPLY_3))  # an answer nobody asked for
            add = recv_frame(conn)
            conn.sendall(framed(message("add", REPLY, 1, field(T_I32, 0, i32(4)) + b"\x00")))
            return note, add

        with RawServer(script) as server:
            c = client(server.port)
            c.open()
            self.assertIsNone(c.call("note", text="hi"))
            # The stray answer is read by the next call as its own reply.
            self.assertEqual(c.call("add", a=1, b=1), 3)
            c.close()
            note, add = server.result()
        self.assertEqual(note, message("note", ONEWAY, 0, field(T_STRING, 1, string("hi")) + b"\x00"))
        self.assertEqual(parse_message(add)[:3], ("add", CALL, 1))

    def test_buffered_compact(self):
        def script(conn, server):
            return recv_until_closed(conn)

        with RawServer(script) as server:
            c = client(server.port, transport=TransportType.Buffered, protocol=ProtocolType.Compact)
            c.open()
            self.assertIsNone(c.call("note", text="hi"))
            with self.assertRaises(OSError) as cm:
                c.call("add", a=1, b=2)
            self.assertEqual(str(cm.exception),
                             "I/O error: buffered RPC transport currently supports Binary and JSON protocols")
            c.close()
            sent = server.result()
        # Both requests went out, unframed.
        self.assertEqual(sent, bytes.fromhex("82 81 00 08") + b"note" + bytes.fromhex("18 04") + b"hi\x00"
                         + bytes.fromhex("82 21 02 06") + b"add" + bytes.fromhex("15 02 15 04 00"))

    def test_unknown_method_uses_no_sequence_id(self):
        with RawServer(replying(ADD_REPLY_3, ADD_REPLY_3)) as server:
            c = client(server.port)
            c.open()
            c.call("add", a=1)
            with self.assertRaises(ValueError):
                c.call("nope")
            c.call("add", a=1)
            c.close()
            seqids = [parse_message(r)[2] for r in server.result()]
        self.assertEqual(seqids, [0, 1])

    def test_concurrent_calls_from_threads(self):
        calls = 200

        def script(conn, server):
            for _ in range(2 * calls):
                body = recv_frame(conn)
                name, _, seqid, args = parse_message(body)
                a, b = struct.unpack(">xxxixxxi", args[:14])
                conn.sendall(framed(message(name, REPLY, seqid, field(T_I32, 0, i32(a + b)) + b"\x00")))

        with RawServer(script) as server:
            c = client(server.port)
            c.open()
            failures = []

            def worker(base):
                for i in range(calls):
                    got = c.call("add", a=base + i, b=1)
                    if got != base + i + 1:
                        failures.append((base + i, got))

            threads = [threading.Thread(target=worker, args=(k * 100000,)) for k in (1, 2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(30)
            c.close()
            server.result()
        self.assertEqual(failures, [])


if __name__ == "__main__":
    unittest.main()
