"""ThriftStructInstance: construction, field access, caching, to_dict, repr,
borrow conflicts and cycle collection."""

import gc
import sys
import unittest
import weakref

import brovane

Instance = brovane.ThriftStructInstance

IDL = """
struct Counter {
  1: i32 count = 5,
  2: string name,
  3: list<i32> items = [1, 2],
  4: map<list<i32>, string> by_list = {[1]: "a"},
  5: i32 to_dict,
  6: string struct_name,
}
"""


def descriptor(name="Counter", idl=IDL):
    parser = brovane.ThriftParser()
    parser.parse(idl)
    return parser.get_struct(name)


class CollectUnraisable:
    """Replaces sys.unraisablehook for the length of a with block."""

    def __enter__(self):
        self.seen = []
        self._old = sys.unraisablehook
        sys.unraisablehook = lambda args: self.seen.append((args.exc_type, args.object))
        return self

    def __exit__(self, *exc):
        sys.unraisablehook = self._old


class BadRepr:
    def __repr__(self):
        raise ValueError("no repr")


class Member:
    pass


class ConstructorTest(unittest.TestCase):
    def test_keyword_fields(self):
        p = Instance("Point", x=1, y=2)
        self.assertEqual(p.struct_name, "Point")
        self.assertEqual(p.field_names(), ["x", "y"])
        self.assertEqual((p.x, p.y), (1, 2))
        self.assertEqual(repr(p), "Point(x=1, y=2)")
        self.assertEqual(p.to_dict(), {"x": 1, "y": 2})
        with self.assertRaises(AttributeError) as cm:
            p.z
        self.assertEqual(str(cm.exception), "'Point' object has no attribute 'z'")
        with self.assertRaises(AttributeError) as cm:
            p.z = 3
        self.assertEqual(str(cm.exception), "'Point' object has no attribute 'z'")
        self.assertEqual(Instance("Empty").field_names(), [])
        self.assertEqual(repr(Instance("Empty")), "Empty()")

    def test_argument_errors(self):
        cases = [
            ((1,), {}, "argument 'struct_name': 'int' object is not an instance of 'str'"),
            ((None,), {}, "argument 'struct_name': 'None' is not an instance of 'str'"),
            ((), {}, "ThriftStructInstance.__new__() missing 1 required positional argument: 'struct_name'"),
            (("P", 1), {}, "ThriftStructInstance.__new__() takes 1 positional arguments but 2 were given"),
        ]
        for args, kwargs, text in cases:
            with self.subTest(args=args):
                with self.assertRaises(TypeError) as cm:
                    Instance(*args, **kwargs)
                self.assertEqual(str(cm.exception), text)

    def test_deleting_is_refused(self):
        p = Instance("P", x=1)
        for name in ("x", "nope", "struct_name"):
            with self.subTest(name=name):
                with self.assertRaises(AttributeError) as cm:
                    delattr(p, name)
                self.assertEqual(str(cm.exception), "can't delete attribute")
        self.assertEqual(p.x, 1)

    def test_class_attributes_shadow_fields(self):
        p = Instance("P", to_dict=1, field_names=2)
        self.assertTrue(callable(p.to_dict))
        self.assertEqual(p.to_dict(), {"to_dict": 1, "field_names": 2})
        self.assertEqual(repr(p), "P(to_dict=1, field_names=2)")
        inst = descriptor().new_instance_from_dict({"struct_name": "s", "to_dict": 3, "by_list": {}})
        self.assertEqual(inst.struct_name, "Counter")
        self.assertEqual(inst.to_dict()["struct_name"], "s")
        self.assertEqual(inst.to_dict()["to_dict"], 3)

    def test_unencodable_attribute_name(self):
        p = Instance("P", x=1)
        self.assertRaises(UnicodeEncodeError, getattr, p, "\ud800")
        self.assertRaises(UnicodeEncodeError, setattr, p, "\ud800", 1)


class DescriptorInstanceTest(unittest.TestCase):
    def setUp(self):
        self.desc = descriptor()

    def test_defaults(self):
        inst = self.desc.new_instance()
        self.assertEqual(inst.struct_name, "Counter")
        self.assertEqual(inst.field_names(), ["count", "name", "items", "by_list", "to_dict", "struct_name"])
        self.assertEqual(inst.count, 5)
        self.assertIsNone(inst.name)
        self.assertEqual(inst.items, [1, 2])
        called = self.desc()
        self.assertEqual(called.count, 5)
        self.assertEqual(called.items, [1, 2])

    def test_reads_are_cached(self):
        inst = self.desc.new_instance()
        first = inst.items
        self.assertIs(inst.items, first)
        first.append(3)
        self.assertEqual(inst.items, [1, 2, 3])
        self.assertIsNone(inst.name)
        value = [7]
        inst.name = value
        self.assertIs(inst.name, value)

    def test_assignment(self):
        inst = self.desc.new_instance()
        inst.count = None
        self.assertIsNone(inst.count)
        # An unconvertible object is stored as given.
        inst.count = "not a number"
        self.assertEqual(inst.count, "not a number")
        with self.assertRaises(AttributeError) as cm:
            inst.bogus = 1
        self.assertEqual(str(cm.exception), "'Counter' object has no attribute 'bogus'")

    def test_from_dict(self):
        items = {"count": "x", 1: 2, "bogus": 3, "name": "n"}
        for inst in (self.desc.new_instance_from_dict(items), self.desc(**{"count": "x", "bogus": 3, "name": "n"})):
            with self.subTest(inst=inst):
                self.assertEqual(inst.count, "x")
                self.assertEqual(inst.name, "n")
                self.assertEqual(inst.items, [1, 2])
                with self.assertRaises(AttributeError):
                    inst.bogus

    def test_from_dict_changed_by_a_conversion(self):
        items = {}

        class Meddler:
            def __index__(self):
                items.clear()
                items.update({"x%d" % i: i for i in range(100)})
                return 1

        items["count"] = Meddler()
        items["name"] = "n"
        inst = self.desc.new_instance_from_dict(items)
        # The walk used the entries as they were when it started.
        self.assertIsInstance(inst.count, Meddler)
        self.assertEqual(inst.name, "n")

    def test_to_dict_round_trip(self):
        inst = self.desc.new_instance_from_dict({"count": 9, "name": "n", "by_list": {}})
        d = inst.to_dict()
        self.assertEqual(list(d), ["count", "name", "items", "by_list", "to_dict", "struct_name"])
        self.assertEqual(d, {"count": 9, "name": "n", "items": [1, 2], "by_list": {}, "to_dict": None,
                             "struct_name": None})
        again = self.desc.new_instance_from_dict(d)
        self.assertEqual(again.to_dict(), d)
        # to_dict caches what it converted.
        self.assertIs(inst.items, d["items"])

    def test_repeated_field_name(self):
        desc = descriptor("R", "struct R { 1: i32 a = 1, 2: string a = \"two\" }")
        inst = desc.new_instance()
        self.assertEqual(inst.field_names(), ["a", "a"])
        self.assertEqual(inst.a, "two")
        self.assertEqual(inst.to_dict(), {"a": "two"})
        self.assertEqual(repr(inst), "R(a='two', a='two')")

    def test_repeated_field_name_keeps_its_first_place(self):
        desc = descriptor("R", "struct R { 1: i32 a, 2: i32 b = 2, 3: string a = \"three\", 4: i32 c }")
        d = desc.new_instance().to_dict()
        self.assertEqual(list(d.items()), [("a", "three"), ("b", 2), ("c", None)])

    def test_each_dict_is_new(self):
        first = self.desc.new_instance_from_dict({"count": 1, "by_list": {}})
        d = first.to_dict()
        d["count"] = 99
        d["extra"] = 1
        del d["name"]
        second = self.desc.new_instance_from_dict({"name": "n", "by_list": {}})
        second.count = None
        self.assertEqual(second.to_dict(), {"count": None, "name": "n", "items": [1, 2], "by_list": {},
                                            "to_dict": None, "struct_name": None})
        self.assertEqual(first.to_dict()["count"], 1)
        self.assertIsNot(first.to_dict(), first.to_dict())


class UnconvertibleStoredValueTest(unittest.TestCase):
    """A stored map whose keys would be lists cannot become a dict."""

    def setUp(self):
        self.inst = descriptor().new_instance()

    def test_read_raises_and_caches_nothing(self):
        for _ in range(2):
            with self.assertRaises(TypeError):
                self.inst.by_list
        with self.assertRaises(TypeError):
            self.inst.to_dict()
        # The field can still be set from Python.
        self.inst.by_list = {}
        self.assertEqual(self.inst.by_list, {})

    def test_repr_shows_the_placeholder(self):
        with CollectUnraisable() as hook:
            text = repr(self.inst)
        self.assertIn("by_list=<unprintable dict object>", text)
        self.assertEqual(hook.seen, [(TypeError, "by_list")])

    @unittest.skipUnless(hasattr(brovane.ThriftStruct, "serialize"), "serialisation not available")
    def test_failed_read_keeps_the_field_for_writing(self):
        desc = descriptor()
        before = desc.serialize(self.inst)
        with self.assertRaises(TypeError):
            self.inst.by_list
        self.assertEqual(desc.serialize(self.inst), before)


class ReprTest(unittest.TestCase):
    def test_unprintable_value(self):
        p = Instance("P", a=BadRepr(), b=1)
        with CollectUnraisable() as hook:
            self.assertEqual(repr(p), "P(a=<unprintable BadRepr object>, b=1)")
        self.assertEqual(len(hook.seen), 1)
        self.assertIs(hook.seen[0][0], ValueError)
        self.assertIs(hook.seen[0][1], p.a)

    def test_instance_holding_itself(self):
        p = Instance("P", a=None)
        p.a = p
        with CollectUnraisable() as hook:
            self.assertEqual(repr(p), "P(a=<unprintable ThriftStructInstance object>)")
        self.assertIs(hook.seen[0][0], RuntimeError)


class BorrowConflictTest(unittest.TestCase):
    def test_index_touching_the_instance_during_assignment(self):
        desc = descriptor()
        inst = desc.new_instance()
        seen = []

        class Sneaky:
            def __index__(self):
                for action in (lambda: inst.name, lambda: setattr(inst, "name", "x"), inst.to_dict):
                    try:
                        action()
                    except RuntimeError as e:
                        seen.append(str(e))
                return 1

        inst.count = Sneaky()
        self.assertEqual(seen, ["Already borrowed"] * 3)
        self.assertIsInstance(inst.count, Sneaky)
        self.assertIsNone(inst.name)

    def test_repr_touching_the_instance(self):
        p = Instance("P", a=None, b=2)
        seen = []

        class Sneaky:
            def __repr__(self):
                for action in (lambda: p.b, lambda: p.struct_name, p.field_names):
                    try:
                        action()
                    except RuntimeError as e:
                        seen.append(str(e))
                return "sneaky"

        p.a = Sneaky()
        self.assertEqual(repr(p), "P(a=sneaky, b=2)")
        self.assertEqual(seen, ["Already borrowed", "Already mutably borrowed", "Already mutably borrowed"])
        # Everything is released afterwards.
        self.assertEqual(p.b, 2)


class CycleCollectionTest(unittest.TestCase):
    def assert_collected(self, build):
        member = Member()
        ref = weakref.ref(member)
        build(member)
        del member
        gc.collect()
        self.assertIsNone(ref())

    def test_instance_holding_itself(self):
        def build(member):
            inst = Instance("P", a=None, m=member)
            inst.a = inst

        self.assert_collected(build)

    def test_list_holding_its_instance(self):
        def build(member):
            inst = Instance("P", a=None, m=member)
            inst.a = [inst]

        self.assert_collected(build)

    def test_descriptor_instance_in_a_cycle(self):
        desc = descriptor()

        def build(member):
            inst = desc.new_instance_from_dict({"name": member, "items": []})
            inst.items.append(inst)

        self.assert_collected(build)

    def test_long_chain_is_released(self):
        head = Instance("Node", next=None)
        for _ in range(200000):
            head = Instance("Node", next=head)
        del head
        gc.collect()


if __name__ == "__main__":
    unittest.main()
