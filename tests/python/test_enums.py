"""TransportType and ProtocolType."""

import operator
import unittest

from brovane import ProtocolType, TransportType


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raising:
    def __index__(self):
        raise KeyError("not an integer")


class TransportTypeTest(unittest.TestCase):
    def test_members_are_shared_singletons(self):
        self.assertIs(TransportType.Framed, TransportType.Framed)
        self.assertIsNot(TransportType.Framed, TransportType.Buffered)
        self.assertEqual([n for n in vars(TransportType) if n in ("Framed", "Buffered")], ["Framed", "Buffered"])

    def test_constructor_makes_a_new_framed_object(self):
        t = TransportType()
        self.assertIsNot(t, TransportType.Framed)
        self.assertIsNot(t, TransportType())
        self.assertTrue(t == TransportType.Framed)
        self.assertEqual(repr(t), "TransportType.Framed")
        self.assertEqual(int(t), 0)

    def test_int_and_repr(self):
        self.assertEqual((int(TransportType.Framed), int(TransportType.Buffered)), (0, 1))
        self.assertEqual(repr(TransportType.Framed), "TransportType.Framed")
        self.assertEqual(repr(TransportType.Buffered), "TransportType.Buffered")
        self.assertEqual(str(TransportType.Buffered), "TransportType.Buffered")

    def test_no_index_conversion(self):
        with self.assertRaises(TypeError):
            operator.index(TransportType.Buffered)
        with self.assertRaises(TypeError):
            [0, 1][TransportType.Buffered]

    def test_equality(self):
        F, B = TransportType.Framed, TransportType.Buffered
        cases = [
            (F, F, True),
            (F, TransportType(), True),
            (F, B, False),
            (B, 1, True),
            (B, True, True),
            (F, False, True),
            (F, 0, True),
            (F, -0, True),
            (B, Index(1), True),
            (B, Index(2), False),
            (F, 0.0, False),
            (F, "Framed", False),
            (F, None, False),
            (F, 2**70, False),
            (F, -(2**70), False),
            (F, Index(2**70), False),
            (F, Raising(), False),
            (F, ProtocolType.Binary, False),
        ]
        for a, b, equal in cases:
            with self.subTest(a=a, b=b):
                self.assertIs(a == b, equal)
                self.assertIs(a != b, not equal)
                self.assertIs(b == a, equal)
                self.assertIs(b != a, not equal)

    def test_ordering_is_refused(self):
        for op in (operator.lt, operator.le, operator.gt, operator.ge):
            with self.subTest(op.__name__):
                with self.assertRaises(TypeError):
                    op(TransportType.Framed, TransportType.Buffered)
                with self.assertRaises(TypeError):
                    op(TransportType.Framed, 1)

    def test_unhashable(self):
        with self.assertRaises(TypeError):
            hash(TransportType.Framed)
        with self.assertRaises(TypeError):
            {TransportType.Framed: 1}
        self.assertIsNone(TransportType.__hash__)

    def test_constructor_takes_no_arguments(self):
        for args, kwargs, text in [
            ((1,), {}, "TransportType.__new__() takes 0 positional arguments but 1 was given"),
            ((0, 1), {}, "TransportType.__new__() takes 0 positional arguments but 2 were given"),
            ((), {"value": 1}, "TransportType.__new__() got an unexpected keyword argument 'value'"),
        ]:
            with self.subTest(args=args, kwargs=kwargs):
                with self.assertRaises(TypeError) as cm:
                    TransportType(*args, **kwargs)
                self.assertEqual(str(cm.exception), text)


class ProtocolTypeTest(unittest.TestCase):
    def test_members(self):
        members = [ProtocolType.Binary, ProtocolType.Compact, ProtocolType.JSON]
        self.assertEqual([int(m) for m in members], [0, 1, 2])
        self.assertEqual([repr(m) for m in members], ["ProtocolType.Binary", "ProtocolType.Compact", "ProtocolType.JSON"])
        self.assertEqual([n for n in vars(ProtocolType) if n in ("Binary", "Compact", "JSON")], ["Binary", "Compact", "JSON"])
        self.assertIs(ProtocolType.JSON, ProtocolType.JSON)

    def test_identity_comparison_and_hash(self):
        self.assertTrue(ProtocolType.Binary == ProtocolType.Binary)
        self.assertFalse(ProtocolType.Binary == ProtocolType.Compact)
        self.assertFalse(ProtocolType.JSON == 2)
        self.assertTrue(ProtocolType.Binary != 0)
        d = {ProtocolType.Binary: 1, ProtocolType.JSON: 2}
        self.assertEqual(d[ProtocolType.Binary], 1)
        self.assertEqual(hash(ProtocolType.JSON), object.__hash__(ProtocolType.JSON))
        with self.assertRaises(TypeError):
            ProtocolType.Binary < ProtocolType.JSON

    def test_no_constructor(self):
        with self.assertRaises(TypeError):
            ProtocolType()
        with self.assertRaises(TypeError):
            ProtocolType(1)
        with self.assertRaises(TypeError):
            object.__new__(ProtocolType)

    def test_no_index_conversion(self):
        with self.assertRaises(TypeError):
            operator.index(ProtocolType.JSON)


if __name__ == "__main__":
    unittest.main()
