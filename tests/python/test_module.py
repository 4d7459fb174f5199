"""The module object, its class registry and the traits every class shares."""

import importlib
import subprocess
import sys
import textwrap
import unittest
import weakref

import brovane

ALL = [
    "ThriftParser",
    "BinaryProtocol",
    "ThriftStruct",
    "ThriftField",
    "ThriftStructInstance",
    "PyThriftService",
    "PyThriftMethod",
    "ThriftServer",
    "ProtocolType",
    "CompactProtocol",
    "JSONProtocol",
    "TransportType",
    "ThriftClient",
    "ThriftApplicationException",
]

NO_CONSTRUCTOR = ["ThriftStruct", "ThriftField", "PyThriftService", "PyThriftMethod", "ProtocolType"]

# name -> (__text_signature__, __doc__) as the interpreter derives them from the stored text.
DOCS = {
    "ThriftParser": ("()", ""),
    "BinaryProtocol": ("()", ""),
    "CompactProtocol": ("()", ""),
    "JSONProtocol": ("()", ""),
    "ThriftStructInstance": (
        "(struct_name, **kwargs)",
        "A live instance of a Thrift struct.\n\n"
        "Fields are accessible as Python attributes (``instance.field_name``).\n"
        "Unknown attribute names raise ``AttributeError``.",
    ),
    "ThriftServer": ("(service, transport=..., workers=1, protocol=...)", ""),
    "TransportType": (
        "()",
        "Transport layer to use when reading/writing Thrift messages over TCP.\n\n"
        "* `Framed`   \u2013 each message is prefixed by a 4-byte big-endian frame length.\n"
        "* `Buffered` \u2013 messages are written directly to the socket with no framing.",
    ),
    "ThriftClient": (
        "(service, host, port, transport=..., protocol=...)",
        "An async Thrift Binary Protocol client backed by Tokio.",
    ),
    "ThriftApplicationException": (
        "(message, type_)",
        "A Thrift application-level exception returned by the remote server.",
    ),
}

# Instances that the constructors can make without a parsed schema.
MAKERS = {
    "ThriftParser": lambda: brovane.ThriftParser(),
    "BinaryProtocol": lambda: brovane.BinaryProtocol(),
    "CompactProtocol": lambda: brovane.CompactProtocol(),
    "JSONProtocol": lambda: brovane.JSONProtocol(),
    "TransportType": lambda: brovane.TransportType(),
    "ProtocolType": lambda: brovane.ProtocolType.Binary,
}


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


class ModuleTest(unittest.TestCase):
    def test_all_lists_the_classes_in_registration_order(self):
        self.assertEqual(brovane.__all__, ALL)
        for name in ALL:
            self.assertIsInstance(getattr(brovane, name), type, name)

    def test_module_holds_nothing_else(self):
        public = {n for n in vars(brovane) if not n.startswith("__")}
        self.assertEqual(public, set(ALL))
        self.assertTrue(brovane.__doc__)

    def test_import_is_quiet_and_self_contained(self):
        # No thread, no file descriptor, no Python module beyond brovane itself
        # (threading included: it is not imported before), and no warning even
        # when warnings are errors.
        result = run_python(
            """
            import os, sys, warnings
            warnings.simplefilter("error")
            before = set(sys.modules)
            tasks = len(os.listdir("/proc/self/task"))
            fds = len(os.listdir("/proc/self/fd"))
            import brovane
            print(sorted(set(sys.modules) - before))
            print(len(os.listdir("/proc/self/task")) - tasks, len(os.listdir("/proc/self/fd")) - fds)
            """
        )
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertEqual(result.stdout.splitlines(), ["['brovane']", "0 0"])

    def test_reimport_reuses_the_class_objects(self):
        saved = sys.modules.pop("brovane")
        try:
            again = importlib.import_module("brovane")
            self.assertIsNot(again, saved)
            self.assertEqual(again.__all__, ALL)
            for name in ALL:
                self.assertIs(getattr(again, name), getattr(saved, name))
            self.assertIs(again.TransportType.Framed, saved.TransportType.Framed)
        finally:
            sys.modules["brovane"] = saved

    def test_second_interpreter_is_refused(self):
        result = run_python(
            """
            import brovane
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                print("skip"); raise SystemExit
            interp = interpreters.create(isolated=False)
            try:
                interpreters.run_string(interp, "import brovane")
            except Exception as e:
                print(type(e).__name__, e)
            else:
                print("imported")
            """
        )
        self.assertEqual(result.returncode, 0, result.stderr)
        if result.stdout.strip() == "skip":
            self.skipTest("no subinterpreter support")
        self.assertIn("ImportError", result.stdout)
        self.assertIn("brovane cannot be loaded in more than one interpreter", result.stdout)


class ClassTraitsTest(unittest.TestCase):
    def test_names_are_bare(self):
        for name in ALL:
            cls = getattr(brovane, name)
            with self.subTest(name):
                self.assertEqual(cls.__name__, name)
                self.assertEqual(cls.__qualname__, name)
                self.assertNotIn("__module__", vars(cls))
                self.assertEqual(repr(cls), f"<class '{name}'>")

    def test_no_class_can_be_subclassed(self):
        for name in ALL:
            with self.subTest(name), self.assertRaises(TypeError):
                type("Sub", (getattr(brovane, name),), {})

    def test_classes_are_immutable(self):
        # A replaced __new__ would let object.__new__ make instances that the
        # class never built.
        for name in ALL:
            cls = getattr(brovane, name)
            with self.subTest(name):
                for attr in ("__new__", "extra"):
                    with self.assertRaises(TypeError) as cm:
                        setattr(cls, attr, lambda *a, **k: None)
                    self.assertEqual(str(cm.exception), f"cannot set '{attr}' attribute of immutable type '{name}'")

    def test_bases(self):
        for name in ALL:
            cls = getattr(brovane, name)
            expected = (Exception,) if name == "ThriftApplicationException" else (object,)
            self.assertEqual(cls.__bases__, expected, name)

    def test_docstrings_and_text_signatures(self):
        for name in ALL:
            cls = getattr(brovane, name)
            with self.subTest(name):
                if name in DOCS:
                    signature, doc = DOCS[name]
                    self.assertEqual(cls.__text_signature__, signature)
                    self.assertEqual(cls.__doc__, doc)
                else:
                    self.assertIn(name, NO_CONSTRUCTOR)
                    self.assertIsNone(cls.__doc__)
                    self.assertIsNone(cls.__text_signature__)

    def test_classes_without_constructor_refuse_calls(self):
        for name in NO_CONSTRUCTOR:
            with self.subTest(name), self.assertRaises(TypeError):
                getattr(brovane, name)()

    def test_instances_have_no_dict_and_no_weakrefs(self):
        for name, make in MAKERS.items():
            obj = make()
            with self.subTest(name):
                self.assertFalse(hasattr(obj, "__dict__"))
                with self.assertRaises(AttributeError):
                    obj.extra = 1
                with self.assertRaises(TypeError):
                    weakref.ref(obj)

    def test_constructors_make_instances_of_their_class(self):
        for name, make in MAKERS.items():
            self.assertIs(type(make()), getattr(brovane, name))

    def test_exception_class_is_an_exception(self):
        e = brovane.ThriftApplicationException("boom", 6)
        self.assertIsInstance(e, Exception)
        self.assertEqual(e.args, ("boom", 6))
        e.note = "exceptions keep their own attribute dictionary"
        self.assertEqual(vars(e), {"note": "exceptions keep their own attribute dictionary"})
        with self.assertRaises(brovane.ThriftApplicationException):
            raise e


if __name__ == "__main__":
    unittest.main()
