"""ThriftApplicationException: construction, attributes, str/repr, raising."""

import unittest

import brovane
from brovane import ThriftApplicationException as TAE


class ApplicationExceptionTest(unittest.TestCase):
    def test_members_str_repr_args(self):
        e = TAE("boom", 6)
        self.assertEqual(str(e), "boom")
        self.assertEqual(repr(e), 'ThriftApplicationException(type=6, message="boom")')
        self.assertEqual(e.message, "boom")
        self.assertEqual(e.type_, 6)
        self.assertIs(type(e.type_), int)
        self.assertEqual(e.args, ("boom", 6))
        self.assertIsInstance(e, Exception)

    def test_repr_escapes_message_str_keeps_it(self):
        text = 'say "hi"\n\\ \t\x01 ok é'
        e = TAE(text, -1)
        self.assertEqual(repr(e), 'ThriftApplicationException(type=-1, message="say \\"hi\\"\\n\\\\ \\t\\u{1} ok é")')
        self.assertEqual(str(e), text)
        self.assertEqual(e.message, text)

    def test_type_code_range(self):
        self.assertEqual(TAE("x", -2**31).type_, -2**31)
        self.assertEqual(TAE("x", 2**31 - 1).type_, 2**31 - 1)
        for bad in (2**31, -2**31 - 1):
            with self.subTest(bad=bad), self.assertRaises(OverflowError) as cm:
                TAE("x", bad)
            self.assertEqual(str(cm.exception), "out of range integral type conversion attempted")

    def test_argument_errors(self):
        cases = [
            ((1, 6), {}, "argument 'message': 'int' object is not an instance of 'str'"),
            ((None, 6), {}, "argument 'message': 'None' is not an instance of 'str'"),
            (("x",), {}, "ThriftApplicationException.__new__() missing 1 required positional argument: 'type_'"),
            (("x", 1, 2), {}, "ThriftApplicationException.__new__() takes 2 positional arguments but 3 were given"),
        ]
        for args, kwargs, text in cases:
            with self.subTest(args=args), self.assertRaises(TypeError) as cm:
                TAE(*args, **kwargs)
            self.assertEqual(str(cm.exception), text)
        with self.assertRaises(TypeError) as cm:
            TAE("x", "6")
        self.assertTrue(str(cm.exception).startswith("argument 'type_': "), str(cm.exception))
        with self.assertRaises(TypeError):
            TAE("x", 1.0)

    def test_keyword_arguments_refused_by_exception_init(self):
        with self.assertRaises(TypeError):
            TAE(message="x", type_=1)

    def test_attributes_read_only(self):
        e = TAE("boom", 6)
        for name in ("message", "type_"):
            with self.subTest(name=name), self.assertRaises(AttributeError):
                setattr(e, name, "other")
        self.assertEqual((e.message, e.type_), ("boom", 6))

    def test_raise_and_catch_as_exception(self):
        try:
            raise TAE("from python", 1)
        except Exception as caught:
            self.assertIsInstance(caught, TAE)
            self.assertEqual(caught.type_, 1)

    def test_class_traits(self):
        self.assertEqual(TAE.__doc__, "A Thrift application-level exception returned by the remote server.")
        self.assertEqual(TAE.__text_signature__, "(message, type_)")
        self.assertEqual(brovane.__all__[-1], "ThriftApplicationException")
        self.assertIs(TAE.__base__, Exception)
        with self.assertRaises(TypeError):
            class Sub(TAE):
                pass
        self.assertEqual(TAE.message.__doc__, "")
        self.assertEqual(TAE.type_.__doc__, "")


if __name__ == "__main__":
    unittest.main()
