"""Struct serialisation: Python values written by declared type, stored values,
and the entry points of ThriftStruct and the protocol classes."""

import sys
import unittest

import brovane

IDL = """
enum Color { RED = 1, GREEN = 2 }
struct S { 1: i32 id, 2: string name }
struct R { 1: required i32 id, 2: string name }
struct D { 1: i32 count = 5, 2: string name }
struct Empty {}
struct Scalars {
  1: bool b, 2: byte y, 3: i16 s, 4: i32 i, 5: i64 l, 6: double d, 7: string str, 8: binary bin,
  9: Color color,
}
struct Containers { 1: list<i32> li, 2: set<i32> se, 3: map<string, i32> m, 4: list<list<string>> ll }
struct Inner { 1: i32 a, 2: string b }
struct Outer { 1: Inner inner, 2: list<Inner> inners, 3: Missing missing, 4: void nothing }
struct Rec { 1: list<Rec> kids }
struct Flags { 1: bool on, 2: bool off }
struct Defaults { 1: list<i32> li = [], 2: map<string, i32> m = {} }
struct Twice { 1: i32 a, 2: i32 b, 3: i32 a }
struct Wide { 1: list<i64> l, 2: list<i32> i, 3: list<double> d, 4: list<string> s, 5: list<Nope> n }
"""

BINARY = brovane.ProtocolType.Binary
COMPACT = brovane.ProtocolType.Compact
JSON = brovane.ProtocolType.JSON


def setUpModule():
    global parser, S, R, D, Empty, Scalars, Containers, Inner, Outer, Rec, Flags, Defaults, Twice, Wide
    parser = brovane.ThriftParser()
    parser.parse(IDL)
    (S, R, D, Empty, Scalars, Containers, Inner, Outer, Rec, Flags, Defaults, Twice, Wide) = (
        parser.get_struct(n) for n in
        ("S", "R", "D", "Empty", "Scalars", "Containers", "Inner", "Outer", "Rec", "Flags", "Defaults", "Twice",
         "Wide"))


def h(text):
    return bytes.fromhex(text)


class IntLike:
    """An object with an index conversion only."""

    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


class WriteByDeclaredType(unittest.TestCase):
    def test_binary_bytes(self):
        cases = [
            (S, {"id": 7, "name": "ab"}, "08 0001 00000007 0B 0002 00000002 6162 00"),
            # Declaration order; undeclared keys ignored.
            (S, {"name": "ab", "extra": 1, "id": 7}, "08 0001 00000007 0B 0002 00000002 6162 00"),
            # Missing required field: left out, no error.
            (R, {"name": "ab"}, "0B 0002 00000002 6162 00"),
            (S, {"id": None, "name": "ab"}, "0B 0002 00000002 6162 00"),
            # A missing key with a default writes the default under the declared header.
            (D, {}, "08 0001 00000005 00"),
            (D, {"count": None}, "00"),
            (Empty, {}, "00"),
            (Scalars, {"b": True, "y": -1, "s": -2, "i": 1, "l": -1, "d": 1.5},
             "02 0001 01 03 0002 FF 06 0003 FFFE 08 0004 00000001 0A 0005 FFFFFFFFFFFFFFFF"
             " 04 0006 3FF8000000000000 00"),
            (Scalars, {"d": 3}, "04 0006 4008000000000000 00"),
            (Scalars, {"i": True, "y": IntLike(5)}, "03 0002 05 08 0004 00000001 00"),
            (Scalars, {"y": 127, "s": 32767, "i": -2**31, "l": 2**63 - 1},
             "03 0002 7F 06 0003 7FFF 08 0004 80000000 0A 0005 7FFFFFFFFFFFFFFF 00"),
            (Scalars, {"bin": b"ab"}, "0B 0008 00000002 6162 00"),
            (Scalars, {"bin": bytearray(b"ab")}, "0B 0008 00000002 6162 00"),
            (Scalars, {"bin": [97, 98]}, "0B 0008 00000002 6162 00"),
            (Scalars, {"bin": (97, IntLike(98))}, "0B 0008 00000002 6162 00"),
            (Scalars, {"str": "é"}, "0B 0007 00000002 C3A9 00"),
            (Scalars, {"color": 2}, "08 0009 00000002 00"),
            # Empty containers carry the declared codes.
            (Containers, {"li": []}, "0F 0001 08 00000000 00"),
            (Containers, {"m": {}}, "0D 0003 0B 08 00000000 00"),
            (Containers, {"se": [1, 1]}, "0E 0002 08 00000002 00000001 00000001 00"),
            (Containers, {"m": {"b": 2, "a": 1}},
             "0D 0003 0B 08 00000002 00000001 62 00000002 00000001 61 00000001 00"),
            (Containers, {"ll": [["x"], []]},
             "0F 0004 0F 00000002 0B 00000001 00000001 78 0B 00000000 00"),
            (Outer, {"inner": {"a": 1}}, "0C 0001 08 0001 00000001 00 00"),
            (Outer, {"inners": [{"b": "q"}, {}]}, "0F 0002 0C 00000002 0B 0002 00000001 71 00 00 00"),
            (Rec, {"kids": [{"kids": []}]}, "0F 0001 0C 00000001 0F 0001 0C 00000000 00 00"),
            # A repeated field name is written once per declared field.
            (Twice, {"a": 1}, "08 0001 00000001 08 0003 00000001 00"),
        ]
        for desc, value, expected in cases:
            with self.subTest(struct=desc.name, value=value):
                self.assertEqual(desc.serialize(value), h(expected))

    def test_integers_of_every_size(self):
        # Ints of one, two and three or more 30-bit digits, each sign, at the
        # edges of every width, alone and in lists.
        values = [0, 1, -1, 2**30 - 1, -(2**30 - 1), 2**30, -(2**30), 2**31 - 1, -(2**31), 2**31, 2**60 - 1,
                  -(2**60 - 1), 2**60, -(2**60), 2**62 + 12345, 2**63 - 1, -(2**63)]
        for v in values:
            with self.subTest(v=v):
                wire = v.to_bytes(8, "big", signed=True)
                self.assertEqual(Scalars.serialize({"l": v}), h("0A 0005") + wire + b"\x00")
                self.assertEqual(Wide.serialize({"l": [v, -v if v != -(2**63) else 0]}),
                                 h("0F 0001 0A 00000002") + wire
                                 + (-v if v != -(2**63) else 0).to_bytes(8, "big", signed=True) + b"\x00")
                if -(2**31) <= v < 2**31:
                    self.assertEqual(Scalars.serialize({"i": v}), h("08 0004") + v.to_bytes(4, "big", signed=True)
                                     + b"\x00")
                else:
                    with self.assertRaisesRegex(OverflowError, "^out of range integral type conversion"):
                        Scalars.serialize({"i": v})
                    with self.assertRaisesRegex(OverflowError, "^out of range integral type conversion"):
                        Wide.serialize({"i": [0, v]})
        for v in (2**63, -(2**63) - 1, 2**64, 10**30):
            with self.subTest(v=v):
                for value in ({"l": [v]}, {"i": [v]}):
                    with self.assertRaisesRegex(OverflowError, "^Python int too large to convert to C long$"):
                        Wide.serialize(value)

    def test_lists_of_every_element_kind(self):
        self.assertEqual(Wide.serialize({"d": [1.5, 2], "s": ["a", ""], "i": [True, IntLike(-2)]}),
                         h("0F 0002 08 00000002 00000001 FFFFFFFE 0F 0003 04 00000002 3FF8000000000000"
                           " 4000000000000000 0F 0004 0B 00000002 00000001 61 00000000 00"))
        self.assertEqual(Wide.serialize({"n": []}), h("0F 0005 0C 00000000 00"))
        for value, exc, text in [
            ({"d": [1.5, "x"]}, TypeError, "must be real number, not str"),
            ({"s": ["a", 1]}, TypeError, "'int' object is not an instance of 'str'"),
            ({"i": [1, 1.5]}, TypeError, "'float' object cannot be interpreted as an integer"),
            # An element struct is looked up before any element is looked at.
            ({"n": [5]}, ValueError, "Unknown struct in schema: Nope"),
        ]:
            with self.subTest(value=value):
                with self.assertRaises(exc) as cm:
                    Wide.serialize(value)
                self.assertEqual(str(cm.exception), text)

    def test_refusals(self):
        int_conv = "'float' object cannot be interpreted as an integer"
        cases = [
            (R, {"id": None}, TypeError, "Required field 'id' cannot be None"),
            (S, [("id", 1)], TypeError, "'list' object is not an instance of 'dict'"),
            (S, None, TypeError, "'None' is not an instance of 'dict'"),
            (Scalars, {"b": 1}, TypeError, "'int' object is not an instance of 'bool'"),
            (Scalars, {"y": 128}, OverflowError, "out of range integral type conversion attempted"),
            (Scalars, {"s": -32769}, OverflowError, "out of range integral type conversion attempted"),
            (Scalars, {"i": 2**31}, OverflowError, "out of range integral type conversion attempted"),
            (Scalars, {"i": 1.5}, TypeError, int_conv),
            (Scalars, {"l": 2**64}, OverflowError, "Python int too large to convert to C long"),
            (Scalars, {"d": "1.5"}, TypeError, "must be real number, not str"),
            (Scalars, {"str": 1}, TypeError, "'int' object is not an instance of 'str'"),
            (Scalars, {"str": "\ud800"}, UnicodeEncodeError, None),
            (Scalars, {"bin": "ab"}, TypeError, "Can't extract `str` to `Vec`"),
            (Scalars, {"bin": [256]}, OverflowError, "out of range integral type conversion attempted"),
            (Scalars, {"bin": [-1]}, OverflowError, "out of range integral type conversion attempted"),
            (Scalars, {"bin": 5}, TypeError, "'int' object is not an instance of 'Sequence'"),
            (Containers, {"li": (1, 2)}, TypeError, "'tuple' object is not an instance of 'list'"),
            (Containers, {"se": {1}}, TypeError, "'set' object is not an instance of 'list'"),
            (Containers, {"li": [1, None]}, TypeError, "'NoneType' object cannot be interpreted as an integer"),
            (Containers, {"m": [("a", 1)]}, TypeError, "'list' object is not an instance of 'dict'"),
            (Containers, {"m": {1: 1}}, TypeError, "'int' object is not an instance of 'str'"),
            (Containers, {"ll": [None]}, TypeError, "'None' is not an instance of 'list'"),
            # The map lookup comes before any look at the value.
            (Outer, {"missing": {}}, ValueError, "Unknown struct in schema: Missing"),
            (Outer, {"nothing": 1}, ValueError, "Unknown struct in schema: void"),
            (Outer, {"inner": 5}, TypeError, "'int' object is not an instance of 'dict'"),
            (Outer, {"inners": [{"a": "x"}]}, TypeError, "'str' object cannot be interpreted as an integer"),
        ]
        for desc, value, exc, text in cases:
            with self.subTest(struct=desc.name, value=value):
                with self.assertRaises(exc) as cm:
                    desc.serialize(value)
                if text is not None:
                    self.assertEqual(str(cm.exception), text)

    def test_collections_abc_named_for_non_sequences(self):
        with self.assertRaises(TypeError):
            Scalars.serialize({"bin": object()})
        self.assertIn("collections.abc", sys.modules)

    def test_json_text(self):
        cases = [
            (Containers, {"li": [1, 2], "se": [3], "m": {"b": 2, "a": 1}},
             '{"1":["lst",["i32",2,1,2]],"2":["set",["i32",1,3]],"3":["map",["str","i32",2,{"a":1,"b":2}]]}'),
            (Outer, {"inner": {"a": 1}, "inners": [{}]}, '{"1":["rec",{"1":["i32",1]}],"2":["lst",["rec",1,{}]]}'),
            (Scalars, {"l": -5, "bin": b"hi", "d": 1.0, "b": False},
             '{"1":["tf",0],"5":["i64","-5"],"6":["dbl",1.0],"8":["str","aGk="]}'),
            # Stored values: a default, and empty containers typed by their (absent) first entry.
            (D, {}, '{"1":["i32",5]}'),
            (Defaults, {}, '{"1":["lst",["str",0]],"2":["map",["str","str",0,{}]]}'),
        ]
        for desc, value, expected in cases:
            with self.subTest(struct=desc.name, value=value):
                self.assertEqual(desc.serialize_with_protocol(value, JSON), expected.encode())

    def test_compact_bool_field_in_header(self):
        self.assertEqual(Flags.serialize_with_protocol({"on": True}, COMPACT), h("11 00"))
        self.assertEqual(Flags.serialize_with_protocol({"on": False, "off": True}, COMPACT), h("12 11 00"))

    def test_unknown_struct_with_empty_map(self):
        # A descriptor copy keeps the map it came from; a struct type the map
        # lacks fails whatever the value is.
        for value in ({}, {"a": 1}, 5):
            with self.subTest(value=value):
                with self.assertRaisesRegex(ValueError, "^Unknown struct in schema: Missing$"):
                    Outer.serialize({"missing": value})

    def test_self_containing_value_is_a_recursion_error(self):
        node = {"kids": []}
        node["kids"].append(node)
        with self.assertRaises(RecursionError) as cm:
            Rec.serialize(node)
        self.assertIn("while serializing a Thrift value", str(cm.exception))
        # The recursion count is balanced again: ordinary work goes on.
        self.assertEqual(Rec.serialize({"kids": []}), h("0F 0001 0C 00000000 00"))

    def test_list_changed_during_write(self):
        items = []
        items.extend([IntLike(1, hook=items.clear), 2, 3])
        with self.assertRaisesRegex(RuntimeError, "^list changed size during iteration$"):
            Containers.serialize({"li": items})

    def test_dict_changed_during_write(self):
        m = {}
        m["a"] = IntLike(1, hook=lambda: m.pop("b"))
        m["b"] = 2
        with self.assertRaisesRegex(RuntimeError, "^dict changed size during iteration$"):
            Containers.serialize({"m": m})

    def test_value_removed_from_dict_during_write_stays_alive(self):
        data = {}
        data["li"] = [IntLike(1, hook=lambda: data.clear()), 2]
        self.assertEqual(Containers.serialize(data), h("0F 0001 08 00000002 00000001 00000002 00"))

    def test_refcounts_unchanged_after_failure(self):
        name = "a-name-not-interned-" + str(id(self))
        value = {"id": 1.5, "name": name}
        before = sys.getrefcount(name), sys.getrefcount(value)
        for _ in range(100):
            with self.assertRaises(TypeError):
                S.serialize(value)
        self.assertEqual((sys.getrefcount(name), sys.getrefcount(value)), before)


class WriteInstances(unittest.TestCase):
    def test_instance_fields(self):
        cases = [
            (D, D.new_instance(), "08 0001 00000005 00"),
            (S, S.new_instance_from_dict({"id": 7, "name": "ab"}), "08 0001 00000007 0B 0002 00000002 6162 00"),
            # None in py_values hides the stored default.
            (D, D.new_instance_from_dict({"count": None}), "00"),
            # An instance of another struct is matched by field name.
            (S, D.new_instance_from_dict({"name": "ab"}), "0B 0002 00000002 6162 00"),
            (S, brovane.ThriftStructInstance("Other", name="x", id=3), "08 0001 00000003 0B 0002 00000001 78 00"),
            (Outer, Outer.new_instance_from_dict({"inner": Inner.new_instance_from_dict({"a": 2})}),
             "0C 0001 08 0001 00000002 00 00"),
        ]
        for desc, inst, expected in cases:
            with self.subTest(struct=desc.name, inst=repr(inst)):
                self.assertEqual(desc.serialize(inst), h(expected))

    def test_assigned_values(self):
        inst = S.new_instance()
        inst.id = 9
        inst.name = None
        self.assertEqual(S.serialize(inst), h("08 0001 00000009 00"))

    def test_exclusively_borrowed_instance_is_refused(self):
        inst = S.new_instance()
        seen = []

        def serialize_self():
            if seen:
                return
            try:
                S.serialize(inst)
            except RuntimeError as e:
                seen.append(str(e))
            else:
                seen.append("no error")

        inst.id = IntLike(1, hook=serialize_self)  # the conversion runs while inst is held
        self.assertEqual(seen, ["Already mutably borrowed"])
        self.assertEqual(S.serialize(inst), h("08 0001 00000001 00"))

    def test_decoded_instance_round_trips(self):
        value = {
            "li": [1, -2], "se": [3, 3], "m": {"k": 4}, "ll": [["a", "b"], []],
        }
        for proto in (BINARY, COMPACT):
            with self.subTest(protocol=proto):
                data = Containers.serialize_with_protocol(value, proto)
                inst = Containers.deserialize_with_protocol(data, proto)
                self.assertEqual(Containers.serialize_with_protocol(inst, proto), data)

    def test_stored_values_use_their_own_variants(self):
        # Defaults are stored values: empty containers get element type String.
        self.assertEqual(Defaults.serialize({}), h("0F 0001 0B 00000000 0D 0002 0B 0B 00000000 00"))
        self.assertEqual(Defaults.serialize(Defaults.new_instance()),
                         h("0F 0001 0B 00000000 0D 0002 0B 0B 00000000 00"))

    def test_nested_stored_struct(self):
        data = Outer.serialize({"inner": {"b": "x", "a": 1}, "inners": [{"a": 2}]})
        inst = Outer.deserialize(data)
        self.assertEqual(Outer.serialize(inst), data)
        self.assertEqual(Outer.serialize_with_protocol(inst, COMPACT),
                         Outer.serialize_with_protocol({"inner": {"b": "x", "a": 1}, "inners": [{"a": 2}]}, COMPACT))


class EntryPoints(unittest.TestCase):
    def test_empty_struct_each_protocol(self):
        self.assertEqual(Empty.serialize_with_protocol({}, BINARY), b"\x00")
        self.assertEqual(Empty.serialize_with_protocol({}, COMPACT), b"\x00")
        self.assertEqual(Empty.serialize_with_protocol({}, JSON), b"{}")

    def test_routes_agree(self):
        value = {"id": 5}
        expected = h("08 0001 00000005 00")
        self.assertEqual(S.serialize(value), expected)
        self.assertEqual(S.serialize_with_protocol(value, BINARY), expected)
        self.assertEqual(brovane.BinaryProtocol.serialize_struct(S, value), expected)
        self.assertEqual(brovane.BinaryProtocol().serialize_struct(S, value), expected)
        self.assertEqual(brovane.CompactProtocol.serialize_struct(S, value),
                         S.serialize_with_protocol(value, COMPACT))
        self.assertEqual(brovane.JSONProtocol.serialize_struct(S, value), S.serialize_with_protocol(value, JSON))
        self.assertEqual(S.serialize_with_protocol(value, JSON), b'{"1":["i32",5]}')
        self.assertEqual(S.serialize_with_protocol(value, COMPACT), h("15 0A 00"))

    def test_deserialize_routes(self):
        inst = S.deserialize(h("08 0001 00000005 00"))
        self.assertEqual(inst.id, 5)
        self.assertIsNone(inst.name)
        self.assertEqual(inst.field_names(), ["id", "name"])
        self.assertEqual(brovane.BinaryProtocol.deserialize_struct(S, h("08 0001 00000005 00")).id, 5)
        self.assertEqual(brovane.CompactProtocol.deserialize_struct(S, h("15 0A 00")).id, 5)
        self.assertEqual(S.deserialize_with_protocol(h("15 0A 00"), COMPACT).id, 5)

    def test_argument_errors(self):
        cases = [
            (lambda: S.deserialize(bytearray(b"\x00")),
             "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
            (lambda: S.deserialize(memoryview(b"\x00")),
             "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
            (lambda: S.deserialize_with_protocol(b"\x00", 0),
             "argument 'protocol': 'int' object is not an instance of 'ProtocolType'"),
            # data is examined before protocol
            (lambda: S.deserialize_with_protocol("x", 0),
             "argument 'data': 'str' object is not an instance of 'bytes'"),
            (lambda: S.serialize_with_protocol({}, None),
             "argument 'protocol': 'None' is not an instance of 'ProtocolType'"),
            (lambda: brovane.BinaryProtocol.serialize_struct({}, {}),
             "argument 'struct_def': 'dict' object is not an instance of 'ThriftStruct'"),
            (lambda: brovane.CompactProtocol.deserialize_struct(S, bytearray()),
             "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
            (lambda: brovane.BinaryProtocol(1), None),
            (lambda: S.serialize(), None),
            (lambda: S.serialize({}, {}), None),
        ]
        for i, (call, text) in enumerate(cases):
            with self.subTest(case=i):
                with self.assertRaises(TypeError) as cm:
                    call()
                if text is not None:
                    self.assertEqual(str(cm.exception), text)

    def test_keyword_arguments(self):
        self.assertEqual(S.serialize_with_protocol(data={"id": 1}, protocol=BINARY), h("08 0001 00000001 00"))
        self.assertEqual(brovane.BinaryProtocol.deserialize_struct(struct_def=S, data=b"\x00").field_names(),
                         ["id", "name"])

    def test_bytes_subclass_accepted(self):
        class B(bytes):
            pass
        self.assertEqual(S.deserialize(B(h("08 0001 00000005 00"))).id, 5)

    def test_docs_and_signatures(self):
        self.assertEqual(S.serialize.__doc__,
                         "Serialize a struct from either a `ThriftStructInstance` or a plain `dict`.")
        self.assertEqual(S.serialize.__text_signature__, "($self, data)")
        self.assertEqual(S.deserialize_with_protocol.__text_signature__, "($self, data, protocol)")
        self.assertEqual(brovane.JSONProtocol.serialize_struct.__text_signature__, "(struct_def, data)")
        self.assertEqual(brovane.CompactProtocol.deserialize_struct.__text_signature__, "(struct_def, data)")

    def test_json_round_trip(self):
        data = S.serialize_with_protocol({"id": 5, "name": "x"}, JSON)
        inst = S.deserialize_with_protocol(data, JSON)
        self.assertEqual((inst.id, inst.name), (5, "x"))
        self.assertEqual(brovane.JSONProtocol.deserialize_struct(S, data).id, 5)


if __name__ == "__main__":
    unittest.main()
