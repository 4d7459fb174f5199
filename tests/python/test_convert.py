"""Conversions between Python objects and ThriftValues.

The stored ThriftValue of a field is written only when the field has no
Python object, so the conversions are driven here through the module's
exported self-test entry; results are compared in the values' debug form.
"""

import ctypes
import unittest

import brovane

_lib = ctypes.PyDLL(brovane.__file__)
_convert = _lib.brovane_convert_selftest
_convert.restype = ctypes.py_object
_convert.argtypes = [ctypes.c_char_p, ctypes.py_object, ctypes.c_char_p, ctypes.c_char_p]
_core = _lib.brovane_core_selftest
_core.restype = ctypes.py_object
_core.argtypes = [ctypes.c_char_p, ctypes.py_object, ctypes.py_object]

IDL = """
struct Inner { 1: i32 id, 2: string name }
struct T {
  1: bool b,
  2: byte y,
  3: i16 s,
  4: i32 i,
  5: i64 l,
  6: double d,
  7: string str,
  8: binary bin,
  9: list<i32> li,
  10: set<i32> si,
  11: map<string, i32> m,
  12: Inner inner,
  13: Missing missing,
  14: map<list<i32>, string> listkeys = {[1]: "a"},
  15: list<Inner> inners,
}
"""

OUT_OF_RANGE = "out of range integral type conversion attempted"
NONE_TEXT = "None has no ThriftValue representation"
Instance = brovane.ThriftStructInstance


def untyped(value):
    return _convert(b"untyped", value, None, None)


def untyped_back(value):
    return _convert(b"untyped_back", value, None, None)


def typed(field, value):
    return _convert(b"typed", value, IDL.encode(), field.encode())


def typed_back(field, value):
    return _convert(b"typed_back", value, IDL.encode(), field.encode())


class Outer:
    class Inner:
        pass


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BadIndex:
    def __index__(self):
        raise ValueError("no index")


class Floaty:
    def __float__(self):
        return 2.5


def nested_list(depth, innermost=None):
    x = [] if innermost is None else innermost
    for _ in range(depth):
        x = [x]
    return x


class UntypedTest(unittest.TestCase):
    def test_table(self):
        cases = [
            (True, "Bool(true)"),
            (False, "Bool(false)"),
            (1, "I64(1)"),
            (-(2**63), "I64(-9223372036854775808)"),
            (Index(7), "I64(7)"),
            (2**63, "Double(9.223372036854776e18)"),
            (1.5, "Double(1.5)"),
            (Floaty(), "Double(2.5)"),
            ("h\u00e9", 'String("h\u00e9")'),
            (b"ab", "Binary([97, 98])"),
            (bytearray(b"ab"), "Binary([97, 98])"),
            ([97, 98], "Binary([97, 98])"),
            ((97, 98), "Binary([97, 98])"),
            ([True, Index(3)], "Binary([1, 3])"),
            ([], "Binary([])"),
            (range(2), "Binary([0, 1])"),
            ([1, 300], "List([I64(1), I64(300)])"),
            ([1, "a"], 'List([I64(1), String("a")])'),
            ([[1], 2.5], "List([Binary([1]), Double(2.5)])"),
            ({1: "x"}, 'Map([(I64(1), String("x"))])'),
            ({"a": [1, 300]}, 'Map([(String("a"), List([I64(1), I64(300)]))])'),
        ]
        for value, expected in cases:
            with self.subTest(value=value):
                self.assertEqual(untyped(value), expected)

    def test_refusals(self):
        cases = [
            (None, NONE_TEXT),
            ({"a": None}, NONE_TEXT),
            ([1, None], NONE_TEXT),
            (2**1100, "Cannot convert Python value of type 'int' to ThriftValue"),
            (("a",), "Cannot convert Python value of type 'tuple' to ThriftValue"),
            ({1, 2}, "Cannot convert Python value of type 'set' to ThriftValue"),
            ("\ud800", "Cannot convert Python value of type 'str' to ThriftValue"),
            (BadIndex(), "Cannot convert Python value of type 'BadIndex' to ThriftValue"),
            (Outer.Inner(), "Cannot convert Python value of type 'Outer.Inner' to ThriftValue"),
            (object(), "Cannot convert Python value of type 'object' to ThriftValue"),
        ]
        for value, text in cases:
            with self.subTest(value=value):
                with self.assertRaises(TypeError) as cm:
                    untyped(value)
                self.assertEqual(str(cm.exception), text)

    def test_instance(self):
        inst = Instance("P", x=1, y="a", z=None, w={1, 2})
        # Unconvertible Python values are left out without an exception.
        self.assertEqual(untyped(inst), 'Struct { name: Some("P"), fields: {"x": I64(1), "y": String("a")} }')

    def test_instance_back_is_new_instance(self):
        inst = Instance("P", x=1)
        back = untyped_back([inst])
        self.assertIsInstance(back[0], Instance)
        self.assertIsNot(back[0], inst)
        self.assertEqual(back[0].struct_name, "P")
        self.assertEqual(back[0].to_dict(), {"x": 1})

    def test_back(self):
        self.assertEqual(untyped_back({"a": [1, 300], "b": b"xy", "c": 1.5, "d": True}),
                         {"a": [1, 300], "b": b"xy", "c": 1.5, "d": True})
        # Small integer lists are byte strings on the way in.
        self.assertEqual(untyped_back([1, 2]), b"\x01\x02")

    def test_containers_that_contain_themselves(self):
        looped = []
        looped.append(looped)
        looped_dict = {}
        looped_dict["a"] = looped_dict
        for value in (looped, looped_dict, nested_list(100000)):
            with self.assertRaises(RecursionError):
                untyped(value)
        # Deep but finite nesting still converts, both ways (the innermost
        # empty list is an empty byte string).
        self.assertTrue(untyped_back(nested_list(900)) == nested_list(900, b""))

    def test_instance_that_contains_itself(self):
        inst = Instance("P", a=None)
        inst.a = [inst]
        with self.assertRaises(RecursionError):
            untyped(inst)

    def test_exclusively_borrowed_instance(self):
        inst = Instance("P", a=1)
        with self.assertRaises(RuntimeError) as cm:
            _core(b"exclusive", inst, lambda: untyped([inst]))
        self.assertEqual(str(cm.exception), "Already mutably borrowed")
        # A shared borrow does not stand in the way.
        self.assertEqual(_core(b"shared", inst, lambda: untyped(inst)),
                         'Struct { name: Some("P"), fields: {"a": I64(1)} }')

    def test_list_changed_by_a_conversion(self):
        items = []

        class Grow:
            def __index__(self):
                items.append(1)
                return 1

        items.extend([Grow(), 2])
        with self.assertRaises(RuntimeError) as cm:
            untyped(items)
        self.assertEqual(str(cm.exception), "list changed size during iteration")

    def test_dict_changed_by_a_conversion(self):
        d = {}

        class Grow:
            def __index__(self):
                d[len(d) + 100] = 1
                return 1

        d["a"] = Grow()
        d["b"] = 2
        with self.assertRaises(RuntimeError) as cm:
            untyped(d)
        self.assertEqual(str(cm.exception), "dict changed size during iteration")


class TypedTest(unittest.TestCase):
    def test_accepted(self):
        cases = [
            ("b", True, "Bool(true)"),
            ("y", 127, "Byte(127)"),
            ("y", -128, "Byte(-128)"),
            ("s", 32767, "I16(32767)"),
            ("s", -32768, "I16(-32768)"),
            ("i", 2**31 - 1, "I32(2147483647)"),
            ("i", -(2**31), "I32(-2147483648)"),
            ("i", True, "I32(1)"),
            ("i", Index(4), "I32(4)"),
            ("l", 2**63 - 1, "I64(9223372036854775807)"),
            ("l", -(2**63), "I64(-9223372036854775808)"),
            ("d", 1, "Double(1.0)"),
            ("d", Floaty(), "Double(2.5)"),
            ("str", "a", 'String("a")'),
            ("bin", b"hi", "Binary([104, 105])"),
            ("bin", bytearray(b"hi"), "Binary([104, 105])"),
            ("bin", (1, 2), "Binary([1, 2])"),
            ("bin", [], "Binary([])"),
            ("li", [1, 2], "List([I32(1), I32(2)])"),
            ("si", [1, 1], "Set([I32(1), I32(1)])"),
            ("m", {"a": 1}, 'Map([(String("a"), I32(1))])'),
            ("inners", [{"id": 1}], 'List([Struct { name: Some("Inner"), fields: {"id": I32(1)} }])'),
        ]
        for field, value, expected in cases:
            with self.subTest(field=field, value=value):
                self.assertEqual(typed(field, value), expected)

    def test_overflow_at_each_width(self):
        for field, bad in [("y", 128), ("y", -129), ("s", 32768), ("s", -32769),
                           ("i", 2**31), ("i", -(2**31) - 1)]:
            with self.subTest(field=field, value=bad):
                with self.assertRaises(OverflowError) as cm:
                    typed(field, bad)
                self.assertEqual(str(cm.exception), OUT_OF_RANGE)
        # Beyond 64 bits the interpreter's own OverflowError stands.
        for field in ("y", "i", "l"):
            with self.subTest(field=field):
                with self.assertRaises(OverflowError) as cm:
                    typed(field, 2**64)
                self.assertNotEqual(str(cm.exception), OUT_OF_RANGE)

    def test_refused_kinds(self):
        cases = [
            ("b", 1, "'int' object is not an instance of 'bool'"),
            ("str", b"a", "'bytes' object is not an instance of 'str'"),
            ("li", (1,), "'tuple' object is not an instance of 'list'"),
            ("si", {1, 2}, "'set' object is not an instance of 'list'"),
            ("m", [], "'list' object is not an instance of 'dict'"),
            ("m", {1: 1}, "'int' object is not an instance of 'str'"),
            ("bin", "hi", "Can't extract `str` to `Vec`"),
            ("bin", {1}, "'set' object is not an instance of 'Sequence'"),
            ("inner", {1: 2}, "'int' object is not an instance of 'str'"),
        ]
        for field, value, text in cases:
            with self.subTest(field=field, value=value):
                with self.assertRaises(TypeError) as cm:
                    typed(field, value)
                self.assertEqual(str(cm.exception), text)

    def test_interpreter_errors_pass_up(self):
        for field, value in [("i", 1.5), ("i", "1"), ("d", "x"), ("bin", ["a"]), ("li", [1, "x"])]:
            with self.subTest(field=field, value=value):
                self.assertRaises(TypeError, typed, field, value)
        with self.assertRaises(OverflowError) as cm:
            typed("bin", [1, 256])
        self.assertEqual(str(cm.exception), OUT_OF_RANGE)
        self.assertRaises(UnicodeEncodeError, typed, "str", "\ud800")

    def test_none_for_every_type(self):
        for field in ("b", "y", "i", "d", "str", "bin", "li", "m", "inner", "missing"):
            with self.subTest(field=field):
                with self.assertRaises(TypeError) as cm:
                    typed(field, None)
                self.assertEqual(str(cm.exception), NONE_TEXT)

    def test_known_struct_from_dict(self):
        cases = [
            ({"id": 3}, '{"id": I32(3)}'),
            ({"id": "x"}, '{"id": String("x")}'),  # typed fails, untyped succeeds
            ({"id": None}, '{"id": String("")}'),  # both fail
            ({"other": 1.5}, '{"other": Double(1.5)}'),  # undeclared keys are kept
            ({"name": "n", "id": 1}, '{"name": String("n"), "id": I32(1)}'),
        ]
        for value, fields in cases:
            with self.subTest(value=value):
                self.assertEqual(typed("inner", value), 'Struct { name: Some("Inner"), fields: %s }' % fields)

    def test_unknown_struct(self):
        self.assertEqual(typed("missing", {"a": 1}), 'Struct { name: Some("Missing"), fields: {"a": I64(1)} }')
        with self.assertRaises(TypeError) as cm:
            typed("missing", {"a": None})
        self.assertEqual(str(cm.exception), NONE_TEXT)

    def test_struct_given_something_else_goes_untyped(self):
        self.assertEqual(typed("inner", [1, 2]), "Binary([1, 2])")
        self.assertEqual(typed("missing", [1, 2]), "Binary([1, 2])")

    def test_struct_given_an_instance(self):
        inst = Instance("Other", id=5, extra=1, bad=None)
        # Named after the instance; declared fields by the declared struct's types.
        self.assertEqual(typed("inner", inst),
                         'Struct { name: Some("Other"), fields: {"id": I32(5), "extra": I64(1)} }')
        self.assertEqual(typed("missing", inst),
                         'Struct { name: Some("Other"), fields: {"id": I64(5), "extra": I64(1)} }')

    def test_back(self):
        self.assertEqual(typed_back("si", [2, 1, 2]), [2, 1, 2])
        self.assertEqual(typed_back("m", {"a": 1}), {"a": 1})
        self.assertEqual(typed_back("bin", [104, 105]), b"hi")
        inner = typed_back("inner", {"id": 5, "other": 1.5})
        self.assertIsInstance(inner, Instance)
        self.assertEqual(inner.struct_name, "Inner")
        self.assertEqual(inner.field_names(), ["id", "name"])
        self.assertEqual(inner.to_dict(), {"id": 5, "name": None})
        missing = typed_back("missing", {"a": 1, "b": "x"})
        self.assertEqual(missing.struct_name, "Missing")
        self.assertEqual(missing.field_names(), ["a", "b"])
        self.assertEqual(missing.to_dict(), {"a": 1, "b": "x"})

    def test_map_with_list_keys_cannot_come_back(self):
        with self.assertRaises(TypeError):
            _convert(b"default_back", None, IDL.encode(), b"listkeys")


if __name__ == "__main__":
    unittest.main()
