"""The binding layer: argument parsing and its texts, value extraction, borrow
guards, and native-thread entry. Argument parsing is exercised through
constructors whose signatures are fixed; conversions and guards that no
method reaches at every width go through the module's self-test entry."""

import ctypes
import gc
import sys
import threading
import unittest

import brovane
from brovane import (
    BinaryProtocol,
    ThriftApplicationException,
    ThriftClient,
    ThriftParser,
    ThriftServer,
    ThriftStructInstance,
    TransportType,
)

_lib = ctypes.PyDLL(brovane.__file__)
_selftest = _lib.brovane_core_selftest
_selftest.restype = ctypes.py_object
_selftest.argtypes = [ctypes.c_char_p, ctypes.py_object, ctypes.py_object]


def selftest(what, arg=None, callback=None):
    return _selftest(what.encode(), arg, callback)


class Outer:
    class Inner:
        pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


RANGE = "out of range integral type conversion attempted"


class ArgumentParsingTest(unittest.TestCase):
    def test_argument_errors(self):
        S, C, E, I = ThriftServer, ThriftClient, ThriftApplicationException, ThriftStructInstance
        service_key = "".join(["serv", "ice"])  # equal to the parameter name, but not the same object
        cases = [
            # missing
            (S, (), {}, "ThriftServer.__new__() missing 1 required positional argument: 'service'"),
            (S, (), {"transport": 1}, "ThriftServer.__new__() missing 1 required positional argument: 'service'"),
            (E, (), {}, "ThriftApplicationException.__new__() missing 2 required positional arguments: 'message' and 'type_'"),
            (C, (), {}, "ThriftClient.__new__() missing 3 required positional arguments: 'service', 'host', and 'port'"),
            (C, (1,), {}, "ThriftClient.__new__() missing 2 required positional arguments: 'host' and 'port'"),
            (C, (1,), {"port": 2}, "ThriftClient.__new__() missing 1 required positional argument: 'host'"),
            (I, (), {"a": 1}, "ThriftStructInstance.__new__() missing 1 required positional argument: 'struct_name'"),
            # surplus
            (ThriftParser, (1,), {}, "ThriftParser.__new__() takes 0 positional arguments but 1 was given"),
            (BinaryProtocol, (1, 2), {}, "BinaryProtocol.__new__() takes 0 positional arguments but 2 were given"),
            (E, ("m", 1, 2), {}, "ThriftApplicationException.__new__() takes 2 positional arguments but 3 were given"),
            (I, ("S", 1), {}, "ThriftStructInstance.__new__() takes 1 positional arguments but 2 were given"),
            (S, (1, 2, 3, 4, 5), {}, "ThriftServer.__new__() takes from 1 to 4 positional arguments but 5 were given"),
            (C, (1, 2, 3, 4, 5, 6), {}, "ThriftClient.__new__() takes from 3 to 5 positional arguments but 6 were given"),
            # repeated
            (S, (1,), {"service": 2}, "ThriftServer.__new__() got multiple values for argument 'service'"),
            (I, ("S",), {"struct_name": "T"}, "ThriftStructInstance.__new__() got multiple values for argument 'struct_name'"),
            # unknown
            (S, (1,), {"port": 2}, "ThriftServer.__new__() got an unexpected keyword argument 'port'"),
            (ThriftParser, (), {"content": ""}, "ThriftParser.__new__() got an unexpected keyword argument 'content'"),
            # wrong type, by position and by keyword (matched by text too)
            (S, (1,), {}, "argument 'service': 'int' object is not an instance of 'PyThriftService'"),
            (S, (), {service_key: 1}, "argument 'service': 'int' object is not an instance of 'PyThriftService'"),
            (S, (None,), {}, "argument 'service': 'None' is not an instance of 'PyThriftService'"),
            (S, (Outer.Inner(),), {}, "argument 'service': 'Outer.Inner' object is not an instance of 'PyThriftService'"),
            (C, ("svc", "h", 1), {}, "argument 'service': 'str' object is not an instance of 'PyThriftService'"),
            (E, (1, 2), {}, "argument 'message': 'int' object is not an instance of 'str'"),
            (E, ("m", "2"), {}, "argument 'type_': 'str' object cannot be interpreted as an integer"),
            (E, ("m", 1.0), {}, "argument 'type_': 'float' object cannot be interpreted as an integer"),
            (I, (b"S",), {}, "argument 'struct_name': 'bytes' object is not an instance of 'str'"),
        ]
        for func, args, kwargs, text in cases:
            with self.subTest(func=func.__name__, args=args, kwargs=kwargs):
                with self.assertRaises(TypeError) as cm:
                    func(*args, **kwargs)
                self.assertIs(type(cm.exception), TypeError)
                self.assertEqual(str(cm.exception), text)

    def test_integer_argument_out_of_range_is_not_prefixed(self):
        for value in (2**31, -(2**31) - 1):
            with self.assertRaises(OverflowError) as cm:
                ThriftApplicationException("m", value)
            self.assertEqual(str(cm.exception), RANGE)

    def test_accepted_arguments(self):
        self.assertEqual(ThriftApplicationException("m", Index(7)).args[1].value, 7)
        self.assertEqual(ThriftApplicationException(*("m", True)).args, ("m", True))
        self.assertIs(type(ThriftStructInstance("S", a=1, b=2)), ThriftStructInstance)
        self.assertIs(type(ThriftStructInstance(struct_name="S")), ThriftStructInstance)

    def test_failed_parse_leaks_no_references(self):
        probe = object()
        before = sys.getrefcount(probe)
        for _ in range(100):
            with self.assertRaises(TypeError):
                ThriftServer(probe, probe, probe, probe, probe)
            with self.assertRaises(TypeError):
                ThriftStructInstance(probe, x=probe)
            with self.assertRaises(TypeError):
                ThriftServer(probe, service=probe)
        gc.collect()
        self.assertEqual(sys.getrefcount(probe), before)


class IntegerExtractionTest(unittest.TestCase):
    def test_widths(self):
        ok = [
            ("i8", 127), ("i8", -128), ("i16", 32767), ("i16", -32768),
            ("i32", 2**31 - 1), ("i32", -(2**31)), ("i64", 2**63 - 1), ("i64", -(2**63)),
            ("u8", 255), ("u8", 0), ("u16", 65535), ("u32", 2**32 - 1), ("u64", 2**64 - 1),
        ]
        for kind, value in ok:
            with self.subTest(kind=kind, value=value):
                self.assertEqual(selftest(kind, value), value)
        out_of_range = [
            ("i8", 128), ("i8", -129), ("i16", 32768), ("i16", -32769),
            ("i32", 2**31), ("i32", -(2**31) - 1),
            ("u8", 256), ("u8", -1), ("u16", 65536), ("u16", -1), ("u32", 2**32), ("u32", -1),
        ]
        for kind, value in out_of_range:
            with self.subTest(kind=kind, value=value):
                with self.assertRaises(OverflowError) as cm:
                    selftest(kind, value)
                self.assertEqual(str(cm.exception), RANGE)
        # Beyond 64 bits the interpreter's own conversion reports it.
        for kind, value in [("i8", 2**64), ("i64", 2**63), ("i64", -(2**63) - 1), ("u64", 2**64), ("u64", -1)]:
            with self.subTest(kind=kind, value=value):
                with self.assertRaises(OverflowError) as cm:
                    selftest(kind, value)
                self.assertNotEqual(str(cm.exception), RANGE)

    def test_conversion_protocol(self):
        for kind in ("i8", "i32", "i64", "u16", "u64"):
            with self.subTest(kind):
                self.assertEqual(selftest(kind, True), 1)
                self.assertEqual(selftest(kind, Index(5)), 5)
                with self.assertRaises(OverflowError):
                    selftest(kind, Index(2**70))
                for bad in (1.0, "1", None, TransportType.Buffered):
                    with self.assertRaises(TypeError):
                        selftest(kind, bad)


class BoolExtractionTest(unittest.TestCase):
    def test_bool_and_numpy_scalars(self):
        self.assertIs(selftest("bool", True), True)
        self.assertIs(selftest("bool", False), False)
        for name in ("bool_", "bool"):  # numpy 1 and numpy 2
            fake = type(name, (), {"__module__": "numpy", "__bool__": lambda self: True})
            self.assertIs(selftest("bool", fake()), True, name)
        falsy = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: False})
        self.assertIs(selftest("bool", falsy()), False)

    def test_refusals(self):
        other_module = type("bool_", (), {"__module__": "numpyish", "__bool__": lambda self: True})
        cases = [
            (1, "'int' object is not an instance of 'bool'"),
            (0, "'int' object is not an instance of 'bool'"),
            (None, "'None' is not an instance of 'bool'"),
            ("true", "'str' object is not an instance of 'bool'"),
            (other_module(), "'bool_' object is not an instance of 'bool'"),
        ]
        for value, text in cases:
            with self.subTest(value=value):
                with self.assertRaises(TypeError) as cm:
                    selftest("bool", value)
                self.assertEqual(str(cm.exception), text)
        with self.assertRaises(TypeError) as cm:
            selftest("arg_bool", 1)
        self.assertEqual(str(cm.exception), "argument 'flag': 'int' object is not an instance of 'bool'")

    def test_numpy_scalar_errors_propagate(self):
        def broken(self):
            raise ZeroDivisionError("no truth")

        fake = type("bool_", (), {"__module__": "numpy", "__bool__": broken})
        with self.assertRaises(ZeroDivisionError):
            selftest("bool", fake())


class BorrowTest(unittest.TestCase):
    def test_shared_call_inside_exclusive_borrow(self):
        t = TransportType()
        with self.assertRaises(RuntimeError) as cm:
            selftest("exclusive", t, lambda: int(t))
        self.assertEqual(str(cm.exception), "Already mutably borrowed")
        with self.assertRaises(RuntimeError) as cm:
            selftest("exclusive", t, lambda: repr(t))
        self.assertEqual(str(cm.exception), "Already mutably borrowed")
        self.assertEqual(int(t), 0)  # released after the failure

    def test_exclusive_inside_shared_borrow(self):
        t = TransportType()
        with self.assertRaises(RuntimeError) as cm:
            selftest("shared", t, lambda: selftest("exclusive", t, lambda: None))
        self.assertEqual(str(cm.exception), "Already borrowed")
        with self.assertRaises(RuntimeError) as cm:
            selftest("exclusive", t, lambda: selftest("exclusive", t, lambda: None))
        self.assertEqual(str(cm.exception), "Already borrowed")

    def test_shared_borrows_nest(self):
        t = TransportType()
        self.assertEqual(selftest("shared", t, lambda: selftest("shared", t, lambda: int(t))), 0)
        self.assertIsNone(selftest("exclusive", t, lambda: None))

    def test_comparison_never_raises_while_borrowed(self):
        t = TransportType()
        # The borrow of self fails, so both comparisons fall back to identity.
        self.assertIs(selftest("exclusive", t, lambda: t == 0), False)
        self.assertIs(selftest("exclusive", t, lambda: t != TransportType.Framed), True)
        self.assertIs(selftest("exclusive", t, lambda: TransportType.Framed == t), False)
        self.assertIs(t == 0, True)

    def test_comparison_reentering_through_index(self):
        t = TransportType()

        class Reenter:
            def __index__(self):
                return int(t)  # a shared borrow of t while the comparison holds one

        self.assertIs(t == Reenter(), True)


class NativeThreadTest(unittest.TestCase):
    def test_gil_ensure_on_a_native_thread(self):
        idents = []
        result = selftest("native_call", None, lambda: idents.append(threading.get_ident()) or "done")
        self.assertEqual(result, "done")
        self.assertEqual(len(idents), 1)
        self.assertNotEqual(idents[0], threading.get_ident())
        with self.assertRaises(KeyError):
            selftest("native_call", None, lambda: {}["missing"])

    def test_reference_dropped_without_the_lock_is_released_on_next_entry(self):
        obj = object()
        before = sys.getrefcount(obj)
        selftest("deferred_drop", obj)
        self.assertEqual(sys.getrefcount(obj), before + 1)  # still held by the queue
        int(TransportType.Framed)  # any entry into the module releases it
        self.assertEqual(sys.getrefcount(obj), before)


if __name__ == "__main__":
    unittest.main()
