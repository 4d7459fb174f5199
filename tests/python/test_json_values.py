"""JSON values into Python objects by declared type: the values of the id-keyed
JSON struct document ({"<id>": ["<type name>", value]}), read by
deserialize_with_protocol with ProtocolType.JSON."""

import json
import math
import unittest

import brovane

IDL = """
include "shared.thrift"
struct Inner { 0: i32 zero, 1: i32 a = 3 }
struct V {
  1: bool b, 2: byte y, 3: i16 s, 4: i32 i, 5: i64 l, 6: double d, 7: string str, 8: binary bin,
  9: list<i32> li, 10: set<i32> se, 11: list<list<i32>> ll,
  12: map<bool, i32> mb, 13: map<byte, i32> my, 14: map<i32, string> mi, 15: map<i64, i32> ml,
  16: map<double, i32> md, 17: map<string, i32> ms, 18: map<binary, i32> mbin, 19: map<i32, list<i32>> mli,
  20: Inner inner, 21: list<Inner> inners, 22: Missing missing, 23: shared.Inner alias,
}
struct NoFields {}
"""

JSON = brovane.ProtocolType.JSON
U64_MAX = 18446744073709551615
I64_MAX = 9223372036854775807


def setUpModule():
    global V, NoFields
    parser = brovane.ThriftParser()
    parser.parse(IDL)
    V, NoFields = parser.get_struct("V"), parser.get_struct("NoFields")


def field_doc(field_id, value, type_name="x"):
    """The id-keyed document of one member, with the value given as JSON text."""
    return ('{"%d":["%s",%s]}' % (field_id, type_name, value)).encode()


IDS = {"b": 1, "y": 2, "s": 3, "i": 4, "l": 5, "d": 6, "str": 7, "bin": 8, "li": 9, "se": 10, "ll": 11,
       "mb": 12, "my": 13, "mi": 14, "ml": 15, "md": 16, "ms": 17, "mbin": 18, "mli": 19,
       "inner": 20, "inners": 21, "missing": 22, "alias": 23}


def read(name, value_text):
    return getattr(V.deserialize_with_protocol(field_doc(IDS[name], value_text), JSON), name)


def fields_of(instance):
    """Field values with nested instances as (struct_name, fields) pairs."""
    if isinstance(instance, list):
        return [fields_of(i) for i in instance]
    if not isinstance(instance, brovane.ThriftStructInstance):
        return instance
    return (instance.struct_name, {k: fields_of(v) for k, v in instance.to_dict().items()})


class Scalars(unittest.TestCase):
    def test_lenient_scalars(self):
        cases = [
            ("b", "true", True), ("b", "false", False), ("b", "2", True), ("b", "-1", True), ("b", "0", False),
            ("b", str(U64_MAX), False), ("b", "1.5", False), ('b', '"true"', False), ("b", "null", False),
            ("y", "300", 44), ("y", "-129", 127), ("y", "1.5", 0), ("y", '"5"', 0), ("y", str(U64_MAX), 0),
            ("y", str(I64_MAX), -1), ("y", "true", 0),
            ("s", "65537", 1), ("s", "32768", -32768), ("s", "[]", 0),
            ("i", "1.5", 0), ("i", "4294967297", 1), ("i", "2147483648", -2147483648), ("i", "-5", -5),
            ("i", "1e2", 0),
            ("l", '"-42"', -42), ("l", '"42abc"', 0), ("l", '"+7"', 7), ("l", '"007"', 7), ('l', '" 7"', 0),
            ("l", '""', 0), ("l", '"-"', 0), ("l", '"+-1"', 0), ("l", '"9223372036854775808"', 0),
            ("l", '"-9223372036854775808"', -9223372036854775808), ("l", str(I64_MAX), I64_MAX),
            ("l", "-9223372036854775808", -9223372036854775808), ("l", "9223372036854775808", 0),
            ("l", "1e3", 0), ("l", "100000000000000000000000", 0), ("l", "true", 0),
            ("d", '"1e3"', 1000.0), ("d", "null", 0.0), ("d", "5", 5.0), ("d", "-5", -5.0), ("d", "0.25", 0.25),
            ("d", str(U64_MAX), 18446744073709551615.0), ("d", '"-INFINITY"', -math.inf), ("d", '"inf"', math.inf),
            ("d", '"1.5x"', 0.0), ("d", '" 1"', 0.0), ("d", '"1e400"', math.inf), ("d", '".5"', 0.5),
            ("d", "100000000000000000000000", 1e23), ("d", "true", 0.0),
            ("str", "5", ""), ("str", '"h\\u00e9llo"', "h\u00e9llo"), ("str", "null", ""), ("str", '"\\ud83d\\ude00"', "\U0001F600"),
            ("bin", '"aGk="', b"hi"), ("bin", '""', b""), ("bin", "5", b""), ("bin", '"AAEC/w=="', b"\x00\x01\x02\xff"),
        ]
        for name, text, expected in cases:
            with self.subTest(field=name, json=text):
                got = read(name, text)
                self.assertEqual(type(got), type(expected))
                self.assertEqual(got, expected)

    def test_nan_text(self):
        for text in ('"nan"', '"NaN"', '"-nan"'):
            with self.subTest(json=text):
                self.assertTrue(math.isnan(read("d", text)))

    def test_bad_base64(self):
        cases = [
            ('"aGk"', "Invalid padding"),
            ('"aGk!"', "Invalid symbol 33, offset 3."),
            ('"aGl="', "Invalid last symbol 108, offset 2."),
            ('"a"', "Invalid input length: 1"),
            ('"===="', "Invalid symbol 61, offset 0."),
            ('"aG k="', "Invalid symbol 32, offset 2."),
        ]
        for text, reason in cases:
            with self.subTest(json=text):
                with self.assertRaises(ValueError) as cm:
                    read("bin", text)
                self.assertEqual(str(cm.exception), "Base64 error: " + reason)


class Containers(unittest.TestCase):
    def test_lists_and_sets(self):
        cases = [
            ("li", '["i32",1,10,20]', [10, 20]),  # the count does not limit the items
            ("li", '["i32"]', []), ("li", "[]", []), ("li", '["i32",0]', []),
            ("li", '["i32",2,"x",1.5]', [0, 0]),
            ("se", '["i32",2,1,1]', [1, 1]),  # order and repeats kept
            ("ll", '["lst",2,["i32",1,7],["i32",0]]', [[7], []]),
        ]
        for name, text, expected in cases:
            with self.subTest(field=name, json=text):
                self.assertEqual(read(name, text), expected)

    def test_maps(self):
        cases = [
            ("mb", '["tf","i32",2,{"TRUE":1,"0":2}]', {False: 2, True: 1}),
            ("mb", '["tf","i32",3,{"1":5,"True":6,"tru":7}]', {True: 6, False: 7}),
            ("mb", '["tf","i32",0,{}]', {}),
            ("mb", '["tf","i32",0,{},"extra",5]', {}),  # elements past the object are not examined
            ("mi", '["i32","str",2,{"1":"a","01":"b"}]', {1: "a"}),  # "1" comes after "01" in byte order
            ("mi", '["i32","str",1,{"x":"a"}]', {0: "a"}),
            ("mi", '["i32","str",1,{"2147483648":"a"}]', {0: "a"}),
            ("mi", '["i32","str",1,{"+5":"a","-7":"b"}]', {5: "a", -7: "b"}),
            ("mi", '["i32","str",1,{"5":7}]', {5: ""}),
            ("my", '["i8","i32",2,{"128":1,"-128":2}]', {0: 1, -128: 2}),
            ("ml", '["i64","i32",1,{"-9223372036854775808":1}]', {-9223372036854775808: 1}),
            ("md", '["dbl","i32",2,{"1.5":1,"x":2}]', {1.5: 1, 0.0: 2}),
            ("ms", '["str","i32",1,{"k":"v"}]', {"k": 0}),
            ("mbin", '["str","i32",1,{"aGk=":1}]', {"aGk=": 1}),  # binary keys stay text
            ("mli", '["i32","lst",1,{"1":["i32",1,9]}]', {1: [9]}),
        ]
        for name, text, expected in cases:
            with self.subTest(field=name, json=text):
                got = read(name, text)
                self.assertEqual(got, expected)
                self.assertEqual([type(k) for k in got], [type(k) for k in expected])

    def test_wrong_shapes(self):
        cases = [
            ("li", '{"a":1}', "Expected JSON array"),
            ("li", "5", "Expected JSON array"),
            ("li", '"i32"', "Expected JSON array"),
            ("ll", '["lst",1,5]', "Expected JSON array"),
            ("mb", "{}", "Expected JSON array for map"),
            ("mb", "null", "Expected JSON array for map"),
            ("mb", '["tf","i32",2]', "Map array too short"),
            ("mb", '["tf","i32",2,[]]', "Expected JSON object in map"),
            ("mli", '["i32","lst",1,{"1":5}]', "Expected JSON array"),
            ("inner", "7", "Expected JSON object for struct"),
            ("inner", "[]", "Expected JSON object for struct"),
            ("inners", '["rec",1,5]', "Expected JSON object for struct"),
        ]
        for name, text, message in cases:
            with self.subTest(field=name, json=text):
                with self.assertRaises(TypeError) as cm:
                    read(name, text)
                self.assertEqual(str(cm.exception), message)

    def test_failure_deep_inside_drops_everything(self):
        doc = b'{"1":["tf",true],"21":["lst",["rec",2,{"1":["i32",1]},{"1":["i32",2],"0":["x",[]]}]]}'
        # Field 0 of the second Inner is an i32: a list there is a zero, not an error ...
        self.assertEqual(fields_of(V.deserialize_with_protocol(doc, JSON).inners),
                         [("Inner", {"zero": None, "a": 1}), ("Inner", {"zero": 0, "a": 2})])
        # ... but a bad container inside a nested struct fails the whole call.
        doc = b'{"9":["lst",["i32",1,5]],"21":["lst",["rec",1,{"1":["i32",1]},7]]}'
        with self.assertRaises(TypeError) as cm:
            V.deserialize_with_protocol(doc, JSON)
        self.assertEqual(str(cm.exception), "Expected JSON object for struct")


class Structs(unittest.TestCase):
    def test_members(self):
        cases = [
            ('{"1":["i32",5]}', {"zero": None, "a": 5}),
            ('{"x":["i32",5]}', {"zero": 5, "a": None}),  # a key that is no id counts as id 0
            ('{"70000":["i32",5]}', {"zero": 5, "a": None}),  # so does one out of the 16-bit range
            ('{"1":5}', {"zero": None, "a": None}),  # bare values are skipped
            ('{"1":["i32"]}', {"zero": None, "a": None}),  # so are short arrays
            ('{"9":["i32",1]}', {"zero": None, "a": None}),  # and undeclared ids
            ('{"+1":["i32",1],"1":["i32",2]}', {"zero": None, "a": 2}),  # the later key in byte order wins
            ('{"1":["i32",2],"01":["i32",1]}', {"zero": None, "a": 2}),
            ('{"1":["i32",1],"1":["i32",2]}', {"zero": None, "a": 2}),  # a repeated key keeps its last value
            ('{"1":["whatever",7,"extra"]}', {"zero": None, "a": 7}),  # the type name is not examined
            ("{}", {"zero": None, "a": None}),  # no defaults are filled in
        ]
        for text, expected in cases:
            with self.subTest(json=text):
                inner = read("inner", text)
                self.assertEqual(fields_of(inner), ("Inner", expected))

    def test_unknown_struct_is_a_value_error_whatever_the_value(self):
        for text in ("7", "{}", "[]", '{"1":["i32",1]}'):
            with self.subTest(json=text):
                with self.assertRaises(ValueError) as cm:
                    read("missing", text)
                self.assertEqual(str(cm.exception), "Unknown struct: Missing")

    def test_alias_name_stays_qualified(self):
        alias = read("alias", '{"1":["i32",4]}')
        self.assertEqual(alias.struct_name, "shared.Inner")
        self.assertEqual(fields_of(alias), ("shared.Inner", {"zero": None, "a": 4}))
        self.assertEqual(repr(alias), "shared.Inner(zero=None, a=4)")

    def test_nested_instances_serialise_again(self):
        doc = b'{"21":["lst",["rec",2,{"1":["i32",1]},{"0":["i32",2]}]],"20":["rec",{"1":["i32",9]}]}'
        v = V.deserialize_with_protocol(doc, JSON)
        again = V.deserialize_with_protocol(V.serialize_with_protocol(v, JSON), JSON)
        self.assertEqual(fields_of(again.inners), fields_of(v.inners))
        self.assertEqual(fields_of(again.inner), ("Inner", {"zero": None, "a": 9}))

    def test_descriptor_without_fields_skips_every_member(self):
        inst = NoFields.deserialize_with_protocol(b'{"0":["i32",1],"1":["i32",2]}', JSON)
        self.assertEqual(inst.to_dict(), {})

    def test_deep_but_allowed_nesting(self):
        # The document object and the field's pair take two levels; 125 list
        # levels reach the parser's limit of 127.
        depth = 125
        p = brovane.ThriftParser()
        p.parse("struct Deep { 1: %s }" % ("list<" * depth + "i32" + ">" * depth + " v"))
        deep = p.get_struct("Deep")
        value = '["i32",1,7]'
        for _ in range(depth - 1):
            value = '["lst",1,%s]' % value
        got = deep.deserialize_with_protocol(field_doc(1, value), JSON).v
        for _ in range(depth - 1):
            self.assertEqual(len(got), 1)
            got = got[0]
        self.assertEqual(got, [7])
        with self.assertRaises(ValueError) as cm:
            deep.deserialize_with_protocol(field_doc(1, '["lst",1,%s]' % value), JSON)
        self.assertTrue(str(cm.exception).startswith("JSON parse error: recursion limit exceeded at line 1 column "))

    def test_values_match_json_module_for_plain_numbers(self):
        # Integers of every size the parser keeps exact read back as json.loads reads them.
        for n in (0, 1, -1, 2**31 - 1, -2**31, 2**53 + 1, I64_MAX, -I64_MAX - 1):
            with self.subTest(n=n):
                self.assertEqual(read("l", json.dumps(n)), n)


if __name__ == "__main__":
    unittest.main()
