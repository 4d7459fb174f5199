"""Struct descriptors (ThriftStruct, ThriftField) and the StructMap behind
get_struct: include aliases, shared maps, reprs, copies."""

import unittest

import brovane


def parsed(text):
    p = brovane.ThriftParser()
    p.parse(text)
    return p


class IncludeAliasTest(unittest.TestCase):
    def test_alias_keys_by_include_path(self):
        cases = [
            ("shared/common.thrift", "common.User"),
            ("common", "common.User"),
            ("a.THRIFT", "a.THRIFT.User"),
            ("x.thrift.thrift", "x.thrift.User"),
            (".thrift", ".User"),
            ("dir/", ".User"),
            ("a/b/c.thrift", "c.User"),
        ]
        for path, key in cases:
            with self.subTest(path):
                p = parsed(f'include "{path}"\nstruct User {{ 1: i32 id }}')
                alias = p.get_struct(key)
                self.assertIsNotNone(alias)
                self.assertEqual(alias.name, "User")
                self.assertEqual(repr(alias), repr(p.get_struct("User")))
                self.assertEqual(sorted(p.list_structs()), ["User"])  # aliases are not document structs

    def test_no_alias_without_a_matching_include(self):
        p = parsed('include "common.thrift"\nstruct User {}')
        for key in ("other.User", "common.thrift.User", "common.", "User.common", "common.Nobody"):
            with self.subTest(key):
                self.assertIsNone(p.get_struct(key))

    def test_every_include_and_struct_kind(self):
        p = parsed(
            'include "a/common.thrift"\ninclude "b/common.thrift"\ninclude "geo.thrift"\n'
            "struct P {} union U {} exception E {}"
        )
        for base in ("common", "geo"):
            for name in ("P", "U", "E"):
                with self.subTest(base=base, name=name):
                    self.assertEqual(p.get_struct(f"{base}.{name}").name, name)

    def test_nested_types_resolve_through_alias_keys(self):
        p = parsed(
            'include "shared/common.thrift"\n'
            "struct Inner { 1: i32 a }\n"
            "struct Outer { 1: common.Inner x, 2: list<Inner> xs }"
        )
        outer = p.get_struct("Outer")
        data = outer.serialize({"x": {"a": 7}, "xs": [{"a": 1}, {"a": 2}]})
        back = outer.deserialize(data)
        self.assertEqual(back.x.a, 7)
        self.assertEqual([i.a for i in back.xs], [1, 2])


class StructDescriptorTest(unittest.TestCase):
    IDL = """
    struct Point { 1: i32 x, 2: i32 y }
    struct Shape {
      1: required string name,
      2: list<Point> points,
      3: map<string, list<i64>> tags = {},
      4: optional set<binary> blobs,
      5: shared.Color color,
      -1: double weight = 2,
    }
    struct Twice { 3: i32 a, 3: string b, 4: i32 c, 5: string c }
    """

    def setUp(self):
        self.p = parsed(self.IDL)

    def test_field_reprs_and_properties(self):
        fields = self.p.get_struct("Shape").fields
        self.assertEqual(
            [repr(f) for f in fields],
            [
                'ThriftField(id=1, name="name", required=true, field_type=String)',
                'ThriftField(id=2, name="points", required=false, field_type=List(Struct("Point")))',
                'ThriftField(id=3, name="tags", required=false, field_type=Map(String, List(I64)))',
                'ThriftField(id=4, name="blobs", required=false, field_type=Set(Binary))',
                'ThriftField(id=5, name="color", required=false, field_type=Struct("shared.Color"))',
                'ThriftField(id=-1, name="weight", required=false, field_type=Double)',
            ],
        )
        self.assertEqual([(f.id, f.name, f.required) for f in fields][:2], [(1, "name", True), (2, "points", False)])
        self.assertEqual(fields[-1].id, -1)
        self.assertIs(type(fields[0].required), bool)

    def test_struct_repr(self):
        self.assertEqual(
            repr(self.p.get_struct("Point")),
            'ThriftStruct(name="Point", fields=['
            'ThriftField { id: 1, name: "x", required: false, field_type: I32, default_value: None }, '
            'ThriftField { id: 2, name: "y", required: false, field_type: I32, default_value: None }])',
        )
        self.assertEqual(repr(parsed("struct E {}").get_struct("E")), 'ThriftStruct(name="E", fields=[])')
        self.assertIn(
            'ThriftField { id: -1, name: "weight", required: false, field_type: Double, '
            "default_value: Some(Double(2.0)) }",
            repr(self.p.get_struct("Shape")),
        )

    def test_fields_are_new_objects_on_every_read(self):
        s = self.p.get_struct("Point")
        first, second = s.fields, s.fields
        self.assertIsNot(first, second)
        self.assertIsNot(first[0], second[0])
        self.assertEqual([repr(f) for f in first], [repr(f) for f in second])

    def test_repeated_ids_and_names_are_all_listed(self):
        s = self.p.get_struct("Twice")
        self.assertEqual([(f.id, f.name) for f in s.fields], [(3, "a"), (3, "b"), (4, "c"), (5, "c")])

    def test_a_repeated_id_decodes_as_the_later_field(self):
        s = self.p.get_struct("Twice")
        # Binary: field 3 as a string "x", then stop.
        inst = s.deserialize(bytes([11, 0, 3, 0, 0, 0, 1]) + b"x" + bytes([0]))
        self.assertEqual(inst.b, "x")

    def test_descriptor_outlives_a_new_parse(self):
        point = self.p.get_struct("Point")
        self.p.parse("struct Point { 9: string z }")
        self.assertEqual([f.name for f in point.fields], ["x", "y"])
        self.assertEqual([f.name for f in self.p.get_struct("Point").fields], ["z"])
        self.assertEqual(point.deserialize(point.serialize({"x": 1, "y": 2})).y, 2)

    def test_read_only(self):
        s = self.p.get_struct("Point")
        field = s.fields[0]
        for obj, attr in ((s, "name"), (s, "fields"), (field, "id"), (field, "name"), (field, "required")):
            with self.subTest(attr):
                with self.assertRaises(AttributeError):
                    setattr(obj, attr, 1)


class InstanceMakingTest(unittest.TestCase):
    def setUp(self):
        self.s = parsed('struct S { 1: i32 a = 5, 2: string b, 3: list<i32> c = [1, 2] }').get_struct("S")

    def test_call_without_keywords_is_new_instance(self):
        self.assertEqual(self.s().to_dict(), self.s.new_instance().to_dict())
        self.assertEqual(self.s(**{}).to_dict(), self.s.new_instance().to_dict())

    def test_call_with_keywords_is_new_instance_from_dict(self):
        items = {"a": 9, "b": "x", "unknown": 1}
        self.assertEqual(self.s(**items).to_dict(), self.s.new_instance_from_dict(items).to_dict())
        self.assertEqual(self.s(b="y").b, "y")

    def test_dict_subclass_is_accepted(self):
        class D(dict):
            pass

        self.assertEqual(self.s.new_instance_from_dict(D(a=1)).a, 1)

    def test_argument_errors(self):
        cases = [
            (lambda: self.s(1), "ThriftStruct.__call__() takes 0 positional arguments but 1 was given"),
            (lambda: self.s.new_instance_from_dict([("a", 1)]),
             "argument 'items': 'list' object is not an instance of 'dict'"),
            (lambda: self.s.new_instance_from_dict(None), "argument 'items': 'None' is not an instance of 'dict'"),
            (lambda: self.s.new_instance_from_dict(),
             "ThriftStruct.new_instance_from_dict() missing 1 required positional argument: 'items'"),
            (lambda: self.s.new_instance(1), "ThriftStruct.new_instance() takes 0 positional arguments but 1 was given"),
        ]
        for call, text in cases:
            with self.subTest(text):
                with self.assertRaises(TypeError) as cm:
                    call()
                self.assertEqual(str(cm.exception), text)

    def test_docstrings(self):
        self.assertEqual(brovane.ThriftStruct.new_instance.__doc__,
                         "Construct an empty ThriftStructInstance with all fields set to None.")
        self.assertEqual(brovane.ThriftStruct.new_instance.__text_signature__, "($self)")
        self.assertEqual(brovane.ThriftStruct.new_instance_from_dict.__text_signature__, "($self, items)")
        self.assertIsNone(brovane.ThriftStruct.__doc__)
        self.assertIsNone(brovane.ThriftField.__doc__)


if __name__ == "__main__":
    unittest.main()
