"""The JSON documents that struct deserialisation with ProtocolType.JSON
accepts: the payload form (keyed by field name, optionally behind a 4-byte
length prefix) and the id-keyed form that the JSON writer produces."""

import math
import struct
import unittest

import brovane

IDL = """
struct Counter { 1: i32 count }
struct D { 1: i32 count = 7, 2: string name }
struct Inner { 1: i32 a = 3, 2: string s }
struct P {
  1: bool b, 2: byte y, 3: i16 s, 4: i32 i, 5: i64 l, 6: double d, 7: string str, 8: binary bin,
  9: list<i32> li, 10: set<string> se, 11: map<bool, i32> mb, 12: map<i32, string> mi, 13: map<double, i32> md,
  14: map<string, list<i64>> ms, 15: Inner inner, 16: list<Inner> inners, 17: Missing missing,
  18: map<i64, Inner> mstruct,
}
struct Zero { 0: i32 zero, 1: i32 one }
struct All {
  1: bool b, 2: byte y, 3: i16 s, 4: i32 i, 5: i64 l, 6: double d, 7: string str, 8: binary bin,
  9: list<i32> li, 10: set<string> se, 11: map<bool, i32> mb, 12: map<i64, string> mi, 13: map<double, bool> md,
  14: map<string, list<Inner>> ms, 15: Inner inner, 16: list<list<i16>> ll, 17: i32 unset,
}
"""

JSON = brovane.ProtocolType.JSON
U64_MAX = 18446744073709551615


def setUpModule():
    global Counter, D, P, Zero, All
    parser = brovane.ThriftParser()
    parser.parse(IDL)
    Counter, D, P, Zero, All = (parser.get_struct(n) for n in ("Counter", "D", "P", "Zero", "All"))


def prefixed(doc):
    return struct.pack(">I", len(doc)) + doc


def plain(value):
    """Nested instances as (struct_name, fields) pairs, for comparison."""
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, brovane.ThriftStructInstance):
        return (value.struct_name, plain(value.to_dict()))
    return value


def payload(name, value_text, descriptor=None):
    doc = ('{"payload":{"%s":%s}}' % (name, value_text)).encode()
    return getattr((descriptor or P).deserialize_with_protocol(doc, JSON), name)


class Forms(unittest.TestCase):
    def test_both_forms_and_the_prefix(self):
        cases = [
            (b'{"1":["i32",5]}', 5),
            (b'{"payload":{"count":5}}', 5),
            (b' \n{"payload":{"count":5}}\t', 5),
            (prefixed(b'{"payload":{"count":5}}'), 5),
            (prefixed(b'{"1":["i32",5]}'), 5),  # both forms are read from the bytes after the prefix
            (b'{"payload":{"count":5},"1":["i32",9],"other":1}', 5),  # members beside "payload" are ignored
            (b'{"payload":{"count":5,"unknown":[1,2]}}', 5),
            (b'{"payload":{}}', None),
            (b'{"payload":[]}', None),  # not an object: read as id-keyed, where "payload" is id 0
            (b'{}', None),
            (b'{"01":["i32",6]}', 6),
            (b'{"1":6}', None),
        ]
        for doc, expected in cases:
            with self.subTest(doc=doc):
                self.assertEqual(Counter.deserialize_with_protocol(doc, JSON).count, expected)
                self.assertEqual(brovane.JSONProtocol.deserialize_struct(Counter, doc).count, expected)

    def test_payload_key_counts_as_id_zero_when_not_an_object(self):
        inst = Zero.deserialize_with_protocol(b'{"payload":["i32",4],"1":["i32",5]}', JSON)
        self.assertEqual((inst.zero, inst.one), (4, 5))

    def test_defaults_fill_only_the_payload_form(self):
        self.assertEqual(D.deserialize_with_protocol(b'{"payload":{}}', JSON).count, 7)
        self.assertEqual(D.deserialize_with_protocol(b'{"payload":{"count":2}}', JSON).count, 2)
        self.assertIsNone(D.deserialize_with_protocol(b'{"payload":{}}', JSON).name)
        self.assertIsNone(D.deserialize_with_protocol(b'{"2":["str","n"]}', JSON).count)

    def test_parse_errors(self):
        cases = [
            (b"", "EOF while parsing a value at line 1 column 0"),
            (b"{} x", "trailing characters at line 1 column 4"),
            (b'{"payload":{}} {}', "trailing characters at line 1 column 16"),
            (b"{", "EOF while parsing an object at line 1 column 1"),
            (b'{"1":["i32",5]', "EOF while parsing an object at line 1 column 14"),
            (b"\x00\x00\x00\x05{}", "expected value at line 1 column 1"),  # a prefix that is not the length
            (b"\x00\x00\x00\x03{}", "expected value at line 1 column 1"),
            (b"\x00\x00\x00\x00", "EOF while parsing a value at line 1 column 0"),  # a prefix of nothing
            (b'{"2":["str","\xff"]}', "invalid unicode code point at line 1 column 15"),
            (b'{"2":["str","\xc3"]}', "invalid unicode code point at line 1 column 15"),
            (b'{"\xed\xa0\x80":1}', "invalid unicode code point at line 1 column 6"),  # an encoded surrogate
            (b'{"1":["i64",1e400]}', "number out of range at line 1 column 17"),
            (b"[" * 10000, "recursion limit exceeded at line 1 column 128"),
            (b'{"1":' * 10000, "recursion limit exceeded at line 1 column 636"),
            (b'{"payload":' * 10000, "recursion limit exceeded at line 1 column 1398"),
        ]
        for doc, reason in cases:
            with self.subTest(doc=doc[:40]):
                with self.assertRaises(ValueError) as cm:
                    Counter.deserialize_with_protocol(doc, JSON)
                self.assertEqual(str(cm.exception), "JSON parse error: " + reason)

    def test_documents_that_are_no_object(self):
        for doc in (b"[]", b'[{"payload":{}}]', b"5", b'"x"', b"null", b"true", prefixed(b"[]")):
            with self.subTest(doc=doc):
                with self.assertRaises(TypeError) as cm:
                    Counter.deserialize_with_protocol(doc, JSON)
                self.assertEqual(str(cm.exception), "Expected JSON object for struct")

    def test_id_keyed_errors_pass_through(self):
        with self.assertRaises(TypeError) as cm:
            P.deserialize_with_protocol(b'{"9":["lst",{}]}', JSON)
        self.assertEqual(str(cm.exception), "Expected JSON array")
        with self.assertRaises(ValueError) as cm:
            P.deserialize_with_protocol(b'{"17":["rec",{}]}', JSON)
        self.assertEqual(str(cm.exception), "Unknown struct: Missing")


class PayloadValues(unittest.TestCase):
    def test_values(self):
        cases = [
            ("b", "true", True), ("b", "2", True), ("b", "0", False), ('b', '"true"', False),
            ("b", str(U64_MAX), False), ("b", "1.0", False), ("b", "null", False),
            ("y", "300", 44), ("y", '"300"', 44), ("s", "65537", 1), ("i", "4294967297", 1),
            ("i", '"12"', 12), ("i", '"-12"', -12), ("i", '"+012"', 12),
            ("l", '"-9223372036854775808"', -9223372036854775808), ("l", "9223372036854775807", 9223372036854775807),
            ("d", "1.5", 1.5), ("d", "2", 2.0), ("d", "-2", -2.0), ("d", '"1.5"', 0.0), ("d", "null", 0.0),
            ("str", '"x"', "x"), ("str", "5", ""), ("str", "[]", ""),
            ("bin", '"aGk="', b"hi"), ("bin", '"hi!"', b"hi!"), ("bin", '"aGk"', b"aGk"), ("bin", '"\u00e9"', b"\xc3\xa9"),
            ("bin", '""', b""), ("bin", "5", b""),
            ("li", "[1,2,3]", [1, 2, 3]), ("li", '["4"]', [4]), ("li", "5", []), ("li", "{}", []),
            ("se", '["a","a",5]', ["a", "a", ""]),
            ("mb", '{"1":1,"true":2,"TRUE":3,"0":4}', {True: 2, False: 3}),
            ("mi", '{"7":"a","x":"b","99999999999":"c"}', {7: "a", 0: "b"}),  # "x" sorts last
            ("md", '{"1.5":1,"inf":2,"y":3}', {1.5: 1, math.inf: 2, 0.0: 3}),
            ("ms", '{"k":[1,"2"]}', {"k": [1, 2]}), ("ms", "[]", {}),
            ("inner", '{"s":"q"}', ("Inner", {"a": 3, "s": "q"})),  # a nested struct takes its defaults too
            ("inner", '{"a":1,"s":2,"zz":3}', ("Inner", {"a": 1, "s": ""})),
            ("inner", "5", ("Inner", {"a": None, "s": None})),  # not an object: no fields, not even defaults
            ("inners", '[{"a":1},{}]', [("Inner", {"a": 1, "s": None}), ("Inner", {"a": 3, "s": None})]),
            ("mstruct", '{"5":{"a":"6"}}', {5: ("Inner", {"a": 6, "s": None})}),
        ]
        for name, text, expected in cases:
            with self.subTest(field=name, json=text):
                got = plain(payload(name, text))
                self.assertEqual(got, expected)
                self.assertEqual(type(got), type(expected))

    def test_unknown_struct_gives_an_empty_value(self):
        missing = payload("missing", '{"a":1}')
        self.assertEqual(missing.struct_name, "Missing")
        self.assertEqual(missing.to_dict(), {})

    def test_integers_must_be_integers(self):
        bad = ['"12x"', "1.5", "true", "null", "[]", "{}", '""', '"+"', '" 12"', '"1.0"', '"0x10"',
               '"9223372036854775808"', "9223372036854775808", str(U64_MAX), "1e2"]
        for field in ("i", "l", "y", "s"):
            for text in bad:
                with self.subTest(field=field, json=text):
                    with self.assertRaises(ValueError) as cm:
                        payload(field, text)
                    self.assertEqual(str(cm.exception), "expected JSON integer")
        # Inside containers and nested structs too.
        for name, text in (("li", "[1,2.5]"), ("ms", '{"k":["x"]}'), ("inner", '{"a":"b"}'),
                           ("inners", '[{"a":[]}]'), ("mstruct", '{"1":{"a":1.5}}')):
            with self.subTest(field=name, json=text):
                with self.assertRaises(ValueError) as cm:
                    payload(name, text)
                self.assertEqual(str(cm.exception), "expected JSON integer")

    def test_failure_drops_the_whole_document(self):
        with self.assertRaises(ValueError):
            P.deserialize_with_protocol(b'{"payload":{"b":true,"li":[1],"str":"x","i":"bad"}}', JSON)


class RoundTrip(unittest.TestCase):
    VALUE = {
        "b": True, "y": -128, "s": 32767, "i": -2147483648, "l": -9223372036854775808, "d": -0.1,
        "str": "h\u00e9llo \"quoted\" \\ \n \U0001F600", "bin": bytes(range(256)),
        "li": [1, -1, 0], "se": ["b", "a"], "mb": {True: 1, False: 0}, "mi": {9223372036854775807: "max", -1: ""},
        "md": {1.5: True, -2.0: False}, "ms": {"k": [{"a": 1, "s": "x"}, {"a": 2}], "": []},
        "inner": {"a": 5, "s": "in"}, "ll": [[1, 2], [], [-32768]],
    }

    def expected(self):
        out = dict(self.VALUE, unset=None)
        out["inner"] = ("Inner", {"a": 5, "s": "in"})
        # Nested structs serialised from dicts carry only the keys given.
        out["ms"] = {"k": [("Inner", {"a": 1, "s": "x"}), ("Inner", {"a": 2, "s": None})], "": []}
        return out

    def test_serialise_then_deserialise(self):
        data = All.serialize_with_protocol(self.VALUE, JSON)
        back = All.deserialize_with_protocol(data, JSON)
        self.assertEqual(plain(back.to_dict()), self.expected())
        # And once more from the instance itself.
        again = All.deserialize_with_protocol(All.serialize_with_protocol(back, JSON), JSON)
        self.assertEqual(plain(again.to_dict()), self.expected())
        self.assertEqual(brovane.JSONProtocol.serialize_struct(All, again), data)

    def test_floats_keep_their_value(self):
        for d in (0.0, -0.0, 5e-324, 1.7976931348623157e308, 1e16, 0.1 + 0.2, -123456.789):
            with self.subTest(d=d):
                back = All.deserialize_with_protocol(All.serialize_with_protocol({"d": d}, JSON), JSON).d
                self.assertEqual(back, d)
                self.assertEqual(math.copysign(1, back), math.copysign(1, d))


if __name__ == "__main__":
    unittest.main()
