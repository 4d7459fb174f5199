"""Stored values becoming Python objects: texts of every shape, nested structs
whose fields arrive in any order, lists that mix kinds, and what reading a
field keeps (the cached object, and the stored value behind it)."""

import ctypes
import unittest

import brovane

_convert = ctypes.PyDLL(brovane.__file__).brovane_convert_selftest
_convert.restype = ctypes.py_object
_convert.argtypes = [ctypes.c_char_p, ctypes.py_object, ctypes.c_char_p, ctypes.c_char_p]

IDL = """
struct X { 1: i32 x, 2: string s }
struct Holder { 1: string text, 2: list<X> xs, 3: list<i64> ls, 4: map<string, i32> m }
"""

Instance = brovane.ThriftStructInstance


def setUpModule():
    global Holder
    parser = brovane.ThriftParser()
    parser.parse(IDL)
    Holder = parser.get_struct("Holder")


def h(text):
    return bytes.fromhex(text)


def binary_string(text):
    data = text.encode()
    return len(data).to_bytes(4, "big") + data


class Texts(unittest.TestCase):
    def test_shapes(self):
        # Lengths around the word size, non-ASCII in the first word, in a
        # later one and in the tail.
        texts = ["", "a", "é", "ab", "abcdefg", "abcdefgh", "abcdefghi", "éabcdefgh", "abcdefghé",
                 "abcdefghijklmnopé", "p" * 100, "𝄞 clef", "日本語テキスト"]
        for text in texts:
            with self.subTest(text=text):
                inst = Holder.deserialize(b"\x0b\x00\x01" + binary_string(text) + b"\x00")
                self.assertIs(type(inst.text), str)
                self.assertEqual(inst.text, text)
                self.assertEqual(hash(inst.text), hash(text))
                self.assertEqual(inst.text.isascii(), text.isascii())

    def test_short_texts_are_the_interpreter_s_shared_objects(self):
        for text in ("", "a", "é"):
            with self.subTest(text=text):
                inst = Holder.deserialize(b"\x0b\x00\x01" + binary_string(text) + b"\x00")
                self.assertIs(inst.text, text.encode().decode())

    def test_map_keys(self):
        value = {"": 0, "k": 1, "key-12345": 2, "clé": 3}
        self.assertEqual(Holder.deserialize(Holder.serialize({"m": value})).m, value)


class NestedStructs(unittest.TestCase):
    def test_fields_in_any_order(self):
        elements = [
            "0B 0002 00000001 61 08 0001 00000003 00",  # declared order reversed
            "08 0001 00000001 08 0001 00000002 00",  # a repeated id keeps the last value
            "00",  # nothing set
            "0B 0009 00000001 7A 0B 0002 00000001 62 00",  # an unknown field skipped
            "0B 0002 00000001 63 0B 0002 00000001 64 08 0001 00000005 00",
        ]
        data = h("0F 0002 0C %08X " % len(elements) + " ".join(elements) + " 00")
        xs = Holder.deserialize(data).xs
        self.assertEqual([(p.x, p.s) for p in xs], [(3, "a"), (2, None), (None, None), (None, "b"), (5, "d")])
        self.assertEqual([p.struct_name for p in xs], ["X"] * 5)
        self.assertEqual(xs[0].to_dict(), {"x": 3, "s": "a"})
        self.assertEqual(xs[0].field_names(), ["x", "s"])


    def test_names_as_declared(self):
        # An include alias names the same struct: each value keeps the name
        # its field declares, also when both names follow one another.
        parser = brovane.ThriftParser()
        parser.parse('include "shared/common.thrift"\n'
                     "struct P { 1: i32 x, 2: string label }\n"
                     "struct Pair { 1: common.P a, 2: P b, 3: list<common.P> more, 4: list<P> rest }")
        pair = parser.get_struct("Pair")
        inst = pair.deserialize(pair.serialize(
            {"a": {"x": 1}, "b": {"x": 2, "label": "é"}, "more": [{"x": 3}], "rest": [{"x": 4}, {}]}))
        self.assertEqual([(p.struct_name, p.to_dict()) for p in (inst.a, inst.b, *inst.more, *inst.rest)],
                         [("common.P", {"x": 1, "label": None}), ("P", {"x": 2, "label": "é"}),
                          ("common.P", {"x": 3, "label": None}), ("P", {"x": 4, "label": None}),
                          ("P", {"x": None, "label": None})])

    def test_many_fields(self):
        # More fields than a nested struct keeps track of inline, read in
        # reverse order with one id repeated.
        n = 70
        parser = brovane.ThriftParser()
        parser.parse("struct Wide { %s }\nstruct Rows { 1: list<Wide> rows }"
                     % ", ".join("%d: i32 f%d" % (i, i) for i in range(1, n + 1)))
        rows = parser.get_struct("Rows")
        body = "".join("08 %04X %08X " % (i, i * 10) for i in range(n, 0, -1)) + "08 0001 00000007 "
        inst = rows.deserialize(h("0F 0001 0C 00000001 " + body + "00 00"))
        d = inst.rows[0].to_dict()
        self.assertEqual(list(d), ["f%d" % i for i in range(1, n + 1)])
        self.assertEqual(d, {"f%d" % i: (7 if i == 1 else i * 10) for i in range(1, n + 1)})

    def test_one_name_at_two_ids(self):
        # Both ids of one name fill the same field: the later on the wire wins.
        parser = brovane.ThriftParser()
        parser.parse("struct D { 1: i32 a, 2: string b, 3: i32 a }\nstruct Ds { 1: list<D> ds }")
        ds = parser.get_struct("Ds")
        elements = [
            "08 0003 00000003 08 0001 00000001 00",
            "08 0001 00000001 0B 0002 00000001 7A 08 0003 00000003 00",
        ]
        inst = ds.deserialize(h("0F 0001 0C 00000002 " + " ".join(elements) + " 00"))
        self.assertEqual([d.to_dict() for d in inst.ds], [{"a": 1, "b": None}, {"a": 3, "b": "z"}])
        self.assertEqual(inst.ds[0].field_names(), ["a", "b", "a"])
        self.assertEqual(ds.serialize(inst), ds.serialize({"ds": [{"a": 1}, {"a": 3, "b": "z"}]}))


class MixedLists(unittest.TestCase):
    def test_kinds_change_along_the_list(self):
        value = [300, "xy", 2.5, [1000], {"k": 1}, True, b"", "a"]
        back = _convert(b"untyped_back", value, None, None)
        self.assertEqual(back, value)
        self.assertEqual([type(v) for v in back], [type(v) for v in value])

    def test_structs_of_several_names(self):
        value = [Instance("P", a=1), 5, Instance("Q", b=2), Instance("P", a=3)]
        back = _convert(b"untyped_back", value, None, None)
        self.assertEqual(back[1], 5)
        self.assertEqual([(v.struct_name, v.to_dict()) for v in (back[0], back[2], back[3])],
                         [("P", {"a": 1}), ("Q", {"b": 2}), ("P", {"a": 3})])


class ReadingAField(unittest.TestCase):
    def test_reads_return_the_cached_object(self):
        inst = Holder.deserialize(Holder.serialize({"xs": [{"x": 1}], "ls": [1, 2**40]}))
        self.assertIs(inst.xs, inst.xs)
        self.assertIs(inst.xs[0], inst.xs[0])
        self.assertIs(inst.to_dict()["ls"], inst.ls)

    def test_the_stored_value_stays_behind_the_cached_object(self):
        # A cached object that no longer converts leaves the conversion of
        # its instance with the value that was read.
        inst = Holder.deserialize(Holder.serialize({"xs": [{"x": 1, "s": "a"}], "ls": [5, 6]}))
        inst.xs.append(None)
        inst.ls.append("z")
        self.assertEqual(
            _convert(b"untyped", inst, None, None),
            'Struct { name: Some("Holder"), fields: {"xs": List([Struct { name: Some("X"), '
            'fields: {"x": I32(1), "s": String("a")} }]), "ls": List([I64(5), I64(6)])} }')


if __name__ == "__main__":
    unittest.main()
