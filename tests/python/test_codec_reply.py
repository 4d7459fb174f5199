"""Values read by declared type straight into Python objects, as a client
decodes reply results: containers, structs, and malformed values."""

import unittest

from brovane import ThriftClient, ThriftParser

from rawserver import RawServer, replying
from wire import REPLY, T_I32, T_I64, T_LIST, T_MAP, T_SET, T_STRING, T_STRUCT, field, i32, message, string

IDL = """
struct Point { 1: i32 x, 2: i32 y }
struct Deep { 1: list<Deep> kids }
service R {
  list<i32> li(),
  set<string> se(),
  map<i32, string> m(),
  map<list<i32>, i32> lk(),
  list<list<i32>> ll(),
  Point pt(),
  list<Point> pts(),
  binary bin(),
  i64 big(),
  Deep deep(),
}
"""


def reply(name, ttype, payload):
    return message(name, REPLY, 0, field(ttype, 0, payload) + b"\x00")


def call_all(cases):
    """Answers each call with its reply on one connection; (result or
    exception) per case."""
    p = ThriftParser()
    p.parse(IDL)
    outcomes = []
    with RawServer(replying(*(r for _, r in cases))) as server:
        c = ThriftClient(p.get_service("R"), "127.0.0.1", server.port)
        c.set_parser(p)
        c.open()
        for name, _ in cases:
            try:
                outcomes.append(c.call(name))
            except Exception as e:  # checked by the test
                outcomes.append(e)
        c.close()
        server.result()
    return outcomes


def nested_deep(levels):
    # `levels` Deep structs, each the only kid of the one before.
    body = b"\x00"
    for _ in range(levels - 1):
        body = field(T_LIST, 1, bytes([T_STRUCT]) + i32(1) + body) + b"\x00"
    return body


class ReplyValues(unittest.TestCase):
    def test_values(self):
        cases = [
            (("li", reply("li", T_LIST, bytes([T_I32]) + i32(-1))), []),
            # Elements are read by the declared type whatever the header says.
            (("li", reply("li", T_LIST, bytes([T_I64]) + i32(2) + i32(7) + i32(-1))), [7, -1]),
            (("se", reply("se", T_SET, bytes([T_STRING]) + i32(2) + string("a") + string("a"))), ["a", "a"]),
            (("m", reply("m", T_MAP, bytes([T_I32, T_STRING]) + i32(2) + i32(1) + string("a") + i32(1)
                         + string("b"))), {1: "b"}),
            (("bin", reply("bin", T_STRING, string(b"\xff\x00"))), b"\xff\x00"),
            (("ll", reply("ll", T_LIST, bytes([T_LIST]) + i32(2) + bytes([T_I32]) + i32(1) + i32(9)
                          + bytes([T_I32]) + i32(0))), [[9], []]),
        ]
        outcomes = call_all([c for c, _ in cases])
        for (call, expected), got in zip(cases, outcomes):
            with self.subTest(method=call[0], expected=expected):
                self.assertEqual(got, expected)

    def test_structs(self):
        point = field(T_I32, 1, i32(4)) + field(T_I32, 2, i32(5)) + b"\x00"
        pt, pts = call_all([("pt", reply("pt", T_STRUCT, point)),
                            ("pts", reply("pts", T_LIST, bytes([T_STRUCT]) + i32(2) + point + b"\x00"))])
        self.assertEqual((pt.struct_name, pt.x, pt.y), ("Point", 4, 5))
        self.assertEqual([(p.x, p.y) for p in pts], [(4, 5), (None, None)])
        self.assertEqual(pts[1].field_names(), ["x", "y"])
        (deep,) = call_all([("deep", reply("deep", T_STRUCT, nested_deep(60)))])
        self.assertEqual(len(deep.kids), 1)

    def test_errors(self):
        cases = [
            (("lk", reply("lk", T_MAP, bytes([T_LIST, T_I32]) + i32(1) + bytes([T_I32]) + i32(0) + i32(1))),
             TypeError, "unhashable type: 'list'"),
            (("big", message("big", REPLY, 0, field(T_I64, 0, b"\x00\x00"))),
             OSError, "IO error: failed to fill whole buffer"),
            (("li", reply("li", T_LIST, bytes([5]) + i32(1))), OSError, "Invalid field type"),
            (("pt", message("pt", REPLY, 0, field(T_STRUCT, 0, field(T_I32, 1, b"\x00")))),
             OSError, "Read error: IO error: failed to fill whole buffer"),
            (("deep", reply("deep", T_STRUCT, nested_deep(200))),
             OSError, "Read error: IO error: maximum nesting depth exceeded"),
            (("li", reply("li", T_LIST, bytes([T_I32]) + i32(0x7FFFFFFF) + i32(1))),
             OSError, "IO error: failed to fill whole buffer"),
        ]
        outcomes = call_all([c for c, _, _ in cases])
        for (call, exc, text), got in zip(cases, outcomes):
            with self.subTest(method=call[0], text=text):
                self.assertIsInstance(got, exc)
                self.assertEqual(str(got), text)


if __name__ == "__main__":
    unittest.main()
