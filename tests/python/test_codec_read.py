"""Struct deserialisation: values read by declared type, unknown fields skipped,
and every malformed input refused with its documented error."""

import random
import sys
import unittest

import brovane

IDL = """
struct X { 1: i32 x, 2: string s }
struct B { 1: bool flag, 2: i32 n }
struct Cont { 1: list<i32> li, 2: set<string> se, 3: map<i32, string> m, 4: list<list<i32>> ll, 5: binary bin }
struct Holder { 1: X x, 2: list<X> xs, 3: Missing missing, 4: void v }
struct Deep { 1: list<Deep> kids, 2: Deep next }
struct Empty {}
struct Runs { 1: list<bool> b, 2: list<byte> y, 3: list<i16> s, 4: list<i32> i, 5: set<i64> l, 6: list<double> d }
struct Point { 1: i32 x, 2: i32 y, 3: string label }
struct Item {
  1: i32 id, 2: i64 timestamp, 3: double score, 4: bool active, 5: string name,
  6: string description, 7: binary payload, 8: list<i64> values, 9: map<string, i32> attrs,
  10: list<Point> points, 11: i32 kind, 12: string tag,
}
"""

BINARY = brovane.ProtocolType.Binary
COMPACT = brovane.ProtocolType.Compact
EOF_TEXT = "Read error: IO error: failed to fill whole buffer"
DEPTH_TEXT = "Read error: IO error: maximum nesting depth exceeded"


def setUpModule():
    global X, B, Cont, Holder, Deep, Empty, Item, Runs
    parser = brovane.ThriftParser()
    parser.parse(IDL)
    X, B, Cont, Holder, Deep, Empty, Item, Runs = (
        parser.get_struct(n) for n in ("X", "B", "Cont", "Holder", "Deep", "Empty", "Item", "Runs"))


def h(text):
    return bytes.fromhex(text)


def sample_item():
    return {
        "id": 123456, "timestamp": 1700000000123456, "score": 98.625, "active": True,
        "name": "widget-42", "description": "d" * 100,
        "payload": bytes((i * 37 + 128) & 0xFF for i in range(64)),
        "values": [-(i * 7919) ** 2 if i % 2 else (i * 7919) ** 2 for i in range(100)],
        "attrs": {"attr%02d" % i: i * i - 50 for i in range(20)},
        "points": [{"x": i, "y": -7 * i, "label": "p%d" % i} for i in range(10)],
        "kind": 2, "tag": "bench",
    }


class ReadByDeclaredType(unittest.TestCase):
    def test_values(self):
        cases = [
            (X, BINARY, "08 0001 0000002A 00", {"x": 42, "s": None}),
            # A repeated id keeps the last value.
            (X, BINARY, "08 0001 00000001 08 0001 00000002 00", {"x": 2, "s": None}),
            # Fields in any order; trailing bytes are not examined.
            (X, BINARY, "0B 0002 00000001 61 08 0001 00000003 00 FFFF", {"x": 3, "s": "a"}),
            # Read by the declared type whatever the wire type says.
            (X, BINARY, "0B 0001 00000005 00", {"x": 5, "s": None}),
            # Unknown fields are skipped by wire type, strings without a UTF-8 check.
            (X, BINARY, "0B 0009 00000002 FFFE 08 0001 00000003 00", {"x": 3, "s": None}),
            (X, COMPACT, "98 04 FFFE 05 0001 06 00", {"x": 3, "s": None}),
            (X, BINARY, "0C 0007 08 0001 00000001 0F 0002 0B 00000001 00000000 00 00", {"x": None, "s": None}),
            (X, BINARY, "0D 0007 0B 08 00000001 00000000 00000009 00", {"x": None, "s": None}),
            # Containers of elements that occupy no bytes: only the header.
            (X, BINARY, "0F 0009 00 7FFFFFFF 0E 0009 01 7FFFFFFF 0D 0009 00 01 7FFFFFFF 08 0001 00000001 00",
             {"x": 1, "s": None}),
            (X, BINARY, "01 0009 08 0001 00000007 00", {"x": 7, "s": None}),
            (Cont, BINARY, "0F 0001 08 FFFFFFFF 00", {"li": [], "se": None, "m": None, "ll": None, "bin": None}),
            (Cont, BINARY, "0F 0001 08 00000000 00", {"li": [], "se": None, "m": None, "ll": None, "bin": None}),
            # The header's element code is not compared with the declared one.
            (Cont, BINARY, "0F 0001 0A 00000001 00000007 00",
             {"li": [7], "se": None, "m": None, "ll": None, "bin": None}),
            (Cont, BINARY, "0E 0002 0B 00000002 00000001 61 00000001 61 00",
             {"li": None, "se": ["a", "a"], "m": None, "ll": None, "bin": None}),
            (Cont, BINARY, "0D 0003 08 0B 00000002 00000001 00000001 61 00000001 00000001 62 00",
             {"li": None, "se": None, "m": {1: "b"}, "ll": None, "bin": None}),
            (Cont, BINARY, "0B 0005 00000002 FFFE 00", {"li": None, "se": None, "m": None, "ll": None, "bin": b"\xff\xfe"}),
            (Cont, COMPACT, "19 15 06 00", {"li": [3], "se": None, "m": None, "ll": None, "bin": None}),
            # Compact: a Bool header under a declared i32 leaves its value
            # pending and reads the next bytes; a declared bool reads one byte.
            (B, COMPACT, "21 0A 00", {"flag": None, "n": 5}),
            (B, COMPACT, "15 01 00", {"flag": True, "n": None}),
            (B, COMPACT, "15 02 00", {"flag": False, "n": None}),
            (B, COMPACT, "11 00", {"flag": True, "n": None}),
            (B, BINARY, "02 0001 02 00", {"flag": True, "n": None}),
            (Empty, BINARY, "08 0001 00000001 0B 0002 00000000 00", {}),
            # Runs of fixed-width numbers, extremes included; any non-zero
            # byte is a true bool.
            (Runs, BINARY, "0F 0001 02 00000003 01 00 02  0F 0002 03 00000002 80 7F  0F 0003 06 00000002 8000 FFFF"
                           "0F 0004 08 00000002 80000000 7FFFFFFF  0E 0005 0A 00000002 8000000000000000 FFFFFFFFFFFFFFFE"
                           "0F 0006 04 00000002 3FF8000000000000 C000000000000000 00",
             {"b": [True, False, True], "y": [-128, 127], "s": [-32768, -1], "i": [-2 ** 31, 2 ** 31 - 1],
              "l": [-2 ** 63, -2], "d": [1.5, -2.0]}),
        ]
        for desc, proto, data, expected in cases:
            with self.subTest(struct=desc.name, data=data):
                inst = desc.deserialize_with_protocol(h(data), proto)
                self.assertEqual(inst.to_dict(), expected)
                self.assertEqual(inst.field_names(), list(expected))

    def test_nested_structs(self):
        data = Holder.serialize({"x": {"x": 1}, "xs": [{"s": "a"}, {}]})
        inst = Holder.deserialize(data)
        self.assertEqual(inst.x.x, 1)
        self.assertEqual([(p.x, p.s) for p in inst.xs], [(None, "a"), (None, None)])
        self.assertEqual(inst.struct_name, "Holder")

    def test_single_zero_byte(self):
        inst = X.deserialize(b"\x00")
        self.assertEqual(inst.field_names(), ["x", "s"])
        self.assertIsNone(inst.x)
        self.assertIsNone(inst.s)

    def test_round_trips(self):
        value = sample_item()
        for proto in (BINARY, COMPACT):
            with self.subTest(protocol=proto):
                data = Item.serialize_with_protocol(value, proto)
                inst = Item.deserialize_with_protocol(data, proto)
                got = inst.to_dict()
                self.assertEqual([(p.x, p.y, p.label) for p in got.pop("points")],
                                 [(p["x"], p["y"], p["label"]) for p in value["points"]])
                self.assertEqual(got, {k: v for k, v in value.items() if k != "points"})


class MalformedInput(unittest.TestCase):
    def test_errors(self):
        cases = [
            (X, BINARY, "", EOF_TEXT),
            (X, BINARY, "08 0001 0000002A", EOF_TEXT),  # no stop byte
            (X, BINARY, "08 0001 0000", EOF_TEXT),
            (X, BINARY, "08 00", EOF_TEXT),
            (X, BINARY, "0B 0002 00000005 6162", EOF_TEXT),
            (X, BINARY, "0B 0002 7FFFFFFF 6162", EOF_TEXT),
            (X, BINARY, "0B 0002 FFFFFFFF", "Read error: IO error: negative length: -1"),
            (X, BINARY, "0B 0009 FFFFFFFF", "Read error: negative length: -1"),  # skipped
            (X, BINARY, "0B 0002 00000002 FFFE 00",
             "Read error: IO error: invalid utf-8 sequence of 1 bytes from index 0"),
            (X, BINARY, "0B 0002 00000002 C3 41 00", "Read error: IO error: invalid utf-8 sequence of 1 bytes from index 0"),
            (X, BINARY, "0B 0002 00000001 C3", "Read error: IO error: incomplete utf-8 byte sequence from index 0"),
            (X, BINARY, "05 0001 00", "Read error: Invalid type: 5"),
            (X, BINARY, "10 0001 00", "Read error: Invalid type: 16"),
            (X, BINARY, "0F 0009 05 00000001 00", "Read error: Invalid field type"),  # skipped list
            (X, BINARY, "0C 0009 07 0001 00", "Read error: Invalid type: 7"),  # inside a skipped struct
            (X, BINARY, "0B 0009 00000005 61", "Read error: failed to fill whole buffer"),  # skipped: bare text
            (Cont, BINARY, "0F 0001 05 00000001", "Read error: Invalid field type"),
            (Cont, BINARY, "0D 0003 08 05 00000001", "Read error: Invalid field type"),
            (Cont, BINARY, "0F 0001 08 7FFFFFFF 00000001 00000002 00000003 00", EOF_TEXT),
            # One element more than the input holds; a run that fits exactly
            # with nothing after it.
            (Runs, BINARY, "0E 0005 0A 00000002 0000000000000001 00", EOF_TEXT),
            (Runs, BINARY, "0F 0003 06 00000002 0001 0002", EOF_TEXT),
            (Cont, BINARY, "0D 0003 08 0B 7FFFFFFF 00000001", EOF_TEXT),
            (Cont, COMPACT, "19 FF", EOF_TEXT),
            (Cont, COMPACT, "1D 00", "Read error: Invalid field type"),
            (Holder, BINARY, "0C 0003 00", "Read error: Unknown struct type: Missing"),
            (Holder, BINARY, "0C 0004 00", "Read error: Unknown struct type: void"),
            (Holder, BINARY, "0C 0001 08 0001 000000", EOF_TEXT),
            (Holder, BINARY, "0F 0002 0C 00000002 00", EOF_TEXT),
        ]
        for desc, proto, data, text in cases:
            with self.subTest(struct=desc.name, data=data):
                with self.assertRaises(OSError) as cm:
                    desc.deserialize_with_protocol(h(data), proto)
                self.assertEqual(str(cm.exception), text)

    def test_utf8_checked_at_every_position(self):
        # Text is checked in words with a separate tail: a bad byte or a
        # multi-byte character anywhere in a string of any length is seen.
        for n in range(1, 20):
            for p in range(n):
                with self.subTest(length=n, position=p):
                    bad = b"a" * p + b"\xff" + b"a" * (n - p - 1)
                    with self.assertRaises(OSError) as cm:
                        X.deserialize(b"\x0b\x00\x02" + len(bad).to_bytes(4, "big") + bad + b"\x00")
                    self.assertEqual(str(cm.exception), f"Read error: IO error: invalid utf-8 sequence of 1 bytes from index {p}")
                    text = "a" * p + "\u00e9" + "a" * (n - p - 1)
                    good = text.encode()
                    inst = X.deserialize(b"\x0b\x00\x02" + len(good).to_bytes(4, "big") + good + b"\x00")
                    self.assertEqual(inst.to_dict(), {"x": None, "s": text})

    def test_nesting_bound(self):
        def nested(levels):
            # `levels` structs in total, each the `next` of the one before.
            return h("0C 0002" * (levels - 1) + "00" * levels)
        self.assertIsNotNone(Deep.deserialize(nested(128)).next)
        for levels in (129, 100000):
            with self.subTest(levels=levels):
                with self.assertRaises(OSError) as cm:
                    Deep.deserialize(nested(levels))
                self.assertEqual(str(cm.exception), DEPTH_TEXT)

        def nested_lists(levels):
            return h("0F 0001 0C 00000001" + "0F 0001 0C 00000001" * (levels - 1) + "00" * (levels + 1))
        self.assertEqual(len(Deep.deserialize(nested_lists(60)).kids), 1)
        with self.assertRaises(OSError) as cm:
            Deep.deserialize(nested_lists(100000))
        self.assertEqual(str(cm.exception), DEPTH_TEXT)

    def test_nesting_bound_when_skipping(self):
        deep_list = "0F 0009 " + "0F 00000001 " * 200 + "08 00000000"
        with self.assertRaises(OSError) as cm:
            X.deserialize(h(deep_list + " 00"))
        self.assertEqual(str(cm.exception), "Read error: maximum nesting depth exceeded")
        self.assertEqual(X.deserialize(h("0F 0009 " + "0F 00000001 " * 100 + "08 00000000 00")).to_dict(),
                         {"x": None, "s": None})

    def test_every_prefix_fails_cleanly(self):
        value = sample_item()
        for proto in (BINARY, COMPACT):
            data = Item.serialize_with_protocol(value, proto)
            for n in range(len(data)):
                with self.subTest(protocol=proto, prefix=n):
                    with self.assertRaises(OSError) as cm:
                        Item.deserialize_with_protocol(data[:n], proto)
                    self.assertTrue(str(cm.exception).startswith("Read error: "), str(cm.exception))

    def test_corrupted_input_decodes_or_raises(self):
        rng = random.Random(1234)
        value = sample_item()
        for proto in (BINARY, COMPACT):
            data = Item.serialize_with_protocol(value, proto)
            for _ in range(3000):
                buf = bytearray(data)
                for _ in range(rng.randint(1, 4)):
                    buf[rng.randrange(len(buf))] = rng.choice((0x00, 0x01, 0x05, 0x0F, 0x7F, 0x80, 0xFF,
                                                               rng.randrange(256)))
                try:
                    inst = Item.deserialize_with_protocol(bytes(buf), proto)
                except OSError as e:
                    self.assertTrue(str(e).startswith("Read error: "), str(e))
                else:
                    inst.to_dict()
            for _ in range(2000):
                junk = bytes(rng.randrange(256) for _ in range(rng.randint(0, 48)))
                try:
                    Item.deserialize_with_protocol(junk, proto).to_dict()
                except OSError as e:
                    self.assertTrue(str(e).startswith("Read error: "), str(e))

    def test_refcounts_unchanged_after_failure(self):
        data = h("08 0001 0000002A")
        before = sys.getrefcount(data)
        for _ in range(100):
            with self.assertRaises(OSError):
                X.deserialize(data)
        self.assertEqual(sys.getrefcount(data), before)


if __name__ == "__main__":
    unittest.main()
