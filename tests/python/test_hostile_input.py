"""Hostile input for the struct deserialisers in Binary, Compact and JSON: every
prefix of a valid encoding, seeded random mutations and hand-made worst cases
(deep nesting, forged counts and lengths, huge numbers, bad base64, invalid
UTF-8). Every call must either return an instance or raise one of the
exceptions the deserialisers document, with one of their texts; an instance
that comes back must convert to Python values, serialise again in the same
protocol, and decode from that to the same values. All entry points of one
protocol must agree on every input."""

import base64
import faulthandler
import json
import math
import random
import re
import struct
import unittest

import brovane

faulthandler.enable()

IDL = """
struct Inner { 1: i32 a, 2: string b = "dflt" }
struct Node { 1: i32 v, 2: list<Node> kids, 3: Node next }
struct All {
  1: bool flag, 2: byte tiny, 3: i16 small, 4: i32 num, 5: i64 big, 6: double real,
  7: string text, 8: binary blob, 9: list<i32> ints, 10: set<string> tags,
  11: map<string, list<i64>> series, 12: Inner inner, 13: list<Inner> inners,
  14: optional i32 maybe, 15: required string must, 16: i32 withdef = 42,
  17: Node tree, 18: map<i32, Inner> byid, 19: map<double, bool> weights,
}
"""

SAMPLE = {
    "flag": True, "tiny": -5, "small": -1234, "num": -70000, "big": -(2 ** 40) - 3, "real": 3.5,
    "text": "h\u00e9llo \u2603 \"q\" \\ \n", "blob": b"\x00\xff\x80 bin", "ints": [1, -2, 2 ** 31 - 1],
    "tags": ["a", "b", "a"], "series": {"x": [1, -(2 ** 63)], "y": [], "": [2 ** 63 - 1]},
    "inner": {"a": 1, "b": "z"}, "inners": [{"a": 2}, {"a": 3, "b": "q"}], "maybe": 7, "must": "m",
    "withdef": 9, "tree": {"v": 1, "kids": [{"v": 2, "kids": [{"v": 4}]}], "next": {"v": 3, "next": {"v": 5}}},
    "byid": {5: {"a": 5}, -1: {"b": ""}}, "weights": {0.5: True, -2.0: False},
}
# A second, differently shaped value: splices of the two mix their layouts.
OTHER = {
    "must": "other", "tags": [], "ints": [7] * 5, "blob": b"", "real": -0.0,
    "tree": {"kids": [{"v": 1}, {"next": {"kids": []}}]}, "byid": {2 ** 31 - 1: {}},
}

BINARY = brovane.ProtocolType.Binary
COMPACT = brovane.ProtocolType.Compact
JSON = brovane.ProtocolType.JSON
PROTOCOL_CLASS = {BINARY: brovane.BinaryProtocol, COMPACT: brovane.CompactProtocol, JSON: brovane.JSONProtocol}

# Mutated inputs per sweep, each a seed edited one to three times.
MUTATIONS = 3000

# What the deserialisers document. Binary and Compact report every malformed
# or truncated body as "Read error: {}"; JSON reports parse failures, wrong
# container and struct shapes, bad integers and bad base64.
STRUCT_BODY_ERRORS = [(OSError, re.compile(r"Read error: .+", re.S))]
JSON_ERRORS = [
    (ValueError, re.compile(r"JSON parse error: .+ at line \d+ column \d+", re.S)),
    (ValueError, re.compile(r"expected JSON integer")),
    (ValueError, re.compile(r"Base64 error: .+")),
    (TypeError, re.compile(r"Expected JSON array|Expected JSON array for map|Map array too short"
                           r"|Expected JSON object in map|Expected JSON object for struct")),
]
DOCUMENTED = {BINARY: STRUCT_BODY_ERRORS, COMPACT: STRUCT_BODY_ERRORS, JSON: JSON_ERRORS}


def setUpModule():
    global All, Node
    parser = brovane.ThriftParser()
    parser.parse(IDL)
    All, Node = parser.get_struct("All"), parser.get_struct("Node")


def documented(protocol, exc):
    """Exact classes only: a subclass (UnicodeDecodeError, FileNotFoundError)
    is not what the deserialisers raise."""
    return any(type(exc) is cls and pattern.fullmatch(str(exc)) for cls, pattern in DOCUMENTED[protocol])


def plain(value):
    """The Python values of a decoded value, nested instances included, in a
    form that compares by value (NaN equal to itself, -0.0 apart from 0.0)."""
    if isinstance(value, brovane.ThriftStructInstance):
        return ("struct", value.struct_name, tuple((k, plain(v)) for k, v in value.to_dict().items()))
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else value.hex())
    if isinstance(value, list):
        return ("list", tuple(plain(v) for v in value))
    if isinstance(value, dict):
        return ("dict", tuple((plain(k), plain(v)) for k, v in value.items()))
    return (type(value).__name__, value)


def resort(p):
    """`plain` output with every dict's entries in a fixed order."""
    if p[0] == "dict":
        return ("dict", tuple(sorted(((resort(k), resort(v)) for k, v in p[1]), key=repr)))
    if p[0] == "list":
        return ("list", tuple(resort(v) for v in p[1]))
    if p[0] == "struct":
        return ("struct", p[1], tuple((k, resort(v)) for k, v in p[2]))
    return p


def has_non_finite(p):
    if p[0] == "float":
        return p[1] in ("nan", "inf", "-inf")
    if p[0] in ("list", "dict"):
        return any(has_non_finite(x) for item in p[1] for x in (item if p[0] == "dict" else (item,)))
    if p[0] == "struct":
        return any(has_non_finite(v) for _, v in p[2])
    return False


def entry_points(desc, protocol):
    """Every Python method that deserialises a struct in `protocol`."""
    points = [
        ("deserialize_with_protocol", lambda data: desc.deserialize_with_protocol(data, protocol)),
        (PROTOCOL_CLASS[protocol].__name__ + ".deserialize_struct",
         lambda data: PROTOCOL_CLASS[protocol].deserialize_struct(desc, data)),
    ]
    if protocol == BINARY:
        points.append(("deserialize", desc.deserialize))
    return points


def show(data):
    return repr(data if len(data) <= 200 else data[:200] + b"...")


class Sweep:
    """Runs inputs through the checks and keeps the faults, so that one run
    reports every distinct fault with its input."""

    def __init__(self, desc, protocol):
        self.desc, self.protocol = desc, protocol
        self.points = entry_points(desc, protocol)
        self.faults = []
        self.decoded = 0

    def fault(self, text, data):
        if len(self.faults) < 20:
            self.faults.append(f"{text}\n    input: {show(data)}")

    def run(self, data):
        outcomes = []
        for name, call in self.points:
            try:
                inst = call(data)
            except Exception as e:  # anything undocumented is a fault, reported below
                if not documented(self.protocol, e):
                    self.fault(f"{name} raised {type(e).__name__}: {str(e)[:300]!r}", data)
                    return
                outcomes.append(("raised", type(e), str(e)))
                continue
            if not isinstance(inst, brovane.ThriftStructInstance):
                self.fault(f"{name} returned {type(inst).__name__}", data)
                return
            value = self.check_instance(name, inst, data)
            if value is None:
                return
            outcomes.append(("value", value))
        if any(o != outcomes[0] for o in outcomes):
            self.fault(f"entry points disagree: {[str(o)[:200] for o in outcomes]}", data)
        if outcomes[0][0] == "value":
            self.decoded += 1

    def settle(self, blob):
        """Decodes `blob`, converts the result and writes it out again."""
        inst = self.desc.deserialize_with_protocol(blob, self.protocol)
        return plain(inst), self.desc.serialize_with_protocol(inst, self.protocol)

    def same(self, a, b):
        # The JSON writer orders map entries by key text.
        return resort(a) == resort(b) if self.protocol == JSON else a == b

    def check_instance(self, name, inst, data):
        """The decoded instance's values, or None after recording a fault.

        The instance is written twice: before any field is read (from the
        values it stored while decoding) and after converting every field to
        a Python object. Both writes must decode to the values it showed,
        and decoding and writing the second one again must give the same
        bytes. The JSON writer is lossy by design: NaN and the infinities are
        written as the integer 0, which reads back as 0.0 and is then written
        as 0.0, so a JSON value holding one of them has to settle one round
        later, and is compared with its first decoded form.
        """
        try:
            stored = self.desc.serialize_with_protocol(inst, self.protocol)
        except Exception as e:
            self.fault(f"{name}: serialising the result raised {type(e).__name__}: {str(e)[:300]!r}", data)
            return None
        try:
            repr(inst)
            value = plain(inst)
        except Exception as e:
            self.fault(f"{name}: converting the result raised {type(e).__name__}: {str(e)[:300]!r}", data)
            return None
        try:
            again = self.desc.serialize_with_protocol(inst, self.protocol)
        except Exception as e:
            self.fault(f"{name}: serialising the converted result raised {type(e).__name__}: "
                       f"{str(e)[:300]!r}", data)
            return None
        lossy = self.protocol == JSON and has_non_finite(value)
        try:
            from_stored, _ = self.settle(stored)
            first, rewritten = self.settle(again)
            if lossy:
                reference, once = first, rewritten
                back, twice = self.settle(once)
            else:
                reference, once, twice, back = value, again, rewritten, first
        except Exception as e:
            if self.protocol == JSON and type(e) is ValueError and "recursion limit exceeded" in str(e):
                # Each nested struct costs the id-keyed form more levels than
                # the payload form, so a payload near the parser's depth limit
                # is written back deeper than the parser reads.
                return value
            self.fault(f"{name}: decoding the re-serialised result raised {type(e).__name__}: "
                       f"{str(e)[:300]!r}\n    stored: {show(stored)}\n    converted: {show(again)}", data)
            return None
        for label, got, blob in (("converted", back, once), ("stored", from_stored, stored)):
            if not self.same(got, reference):
                self.fault(f"{name}: the result written from its {label} values decodes differently"
                           f"\n    expected: {str(reference)[:400]}\n    got: {str(got)[:400]}"
                           f"\n    written: {show(blob)}", data)
                return None
        if twice != once:
            self.fault(f"{name}: re-serialising is not a fixed point\n    once: {show(once)}"
                       f"\n    twice: {show(twice)}", data)
            return None
        return value


def mutate_bytes(rng, data, other):
    data = bytearray(data)
    kind = rng.randrange(6)
    if kind == 0 and data:
        i = rng.randrange(len(data))
        data[i] ^= 1 << rng.randrange(8)
    elif kind == 1 and data:
        data[rng.randrange(len(data))] = rng.choice((0x00, 0x7F, 0x80, 0xFF, rng.randrange(256)))
    elif kind == 2:
        i = rng.randrange(len(data) + 1)
        data[i:i] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 9)))
    elif kind == 3 and data:
        i = rng.randrange(len(data))
        del data[i:i + rng.randrange(1, 9)]
    elif kind == 4:
        i, j = rng.randrange(len(data) + 1), rng.randrange(len(other) + 1)
        data = data[:i] + other[j:j + rng.randrange(len(other) + 1)] + data[i:]
    else:
        i, j = rng.randrange(len(data) + 1), rng.randrange(len(other) + 1)
        data = data[:i] + other[j:]
    return bytes(data)


# Pieces that JSON text edits drop into a document.
JSON_PIECES = [
    "[", "]", "{", "}", ",", ":", '"', "\\", "null", "true", "false", "0", "-0", "1.5", "-1e-7",
    "1e400", "-1e400", "99999999999999999999999", "-9223372036854775809", "18446744073709551615",
    '"9223372036854775808"', '"+12"', '"1x"', '"nan"', '"-Infinity"', '"AB=="', '"A==="', '"####"',
    '"\\ud800"', '"\\udc00"', '"\\u0000"', '"\\uZZZZ"', '"rec"', '"lst"', '"map"', '"payload"',
    '{"payload":{}}', '{"1":["i32",1]}', '["i32",2,1,2]', '["str","i32",1,{"a":1}]', "[" * 300, "{" * 300,
    '{"a":' * 200, "\u00e9", "\u2603", " ", "\t\n",
]
# Bytes that are never valid UTF-8 (lone continuation, overlong form, cut-off
# sequence, surrogate encoded as UTF-8, beyond U+10FFFF).
BAD_UTF8 = [b"\x80", b"\xc0\xaf", b"\xe2\x82", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xff", b"\xfe"]


def mutate_json(rng, data, other):
    kind = rng.randrange(8)
    if kind < 3:
        return mutate_bytes(rng, data, other)
    text = data.decode("utf-8", "replace")
    i = rng.randrange(len(text) + 1)
    if kind == 3:
        return (text[:i] + rng.choice(JSON_PIECES) + text[i:]).encode()
    if kind == 4:
        j = rng.randrange(i, len(text) + 1)
        return (text[:i] + rng.choice(JSON_PIECES) + text[j:]).encode()
    if kind == 5:
        spans = [m.span() for m in re.finditer(r'-?\d[\d.eE+-]*|"(?:[^"\\]|\\.)*"', text)]
        if not spans:
            return data
        a, b = rng.choice(spans)
        return (text[:a] + rng.choice(JSON_PIECES) + text[b:]).encode()
    if kind == 6:
        raw = data
        i = rng.randrange(len(raw) + 1)
        return raw[:i] + rng.choice(BAD_UTF8) + raw[i:]
    j = rng.randrange(i, len(text) + 1)
    return (text[:i] + text[i:j] * rng.randrange(2, 4) + text[j:]).encode()


# Well-formed JSON values of every wrong shape, for edits that keep the
# document parseable and so reach the conversion by declared type.
JSON_VALUES = [
    None, True, False, 0, -1, 2 ** 63 - 1, 2 ** 63, 2 ** 64 - 1, 2 ** 64, -(2 ** 63) - 1, 10 ** 30, 1.5, -0.0,
    1e308, "", "x", "12", " 12", "-9223372036854775808", "9223372036854775808", "nan", "-inf", "1e999",
    "AA==", "AB==", "A", "####", "\u0000", "\u2603", [], {}, ["i32"], ["i32", 1, 2, "3"], ["rec", 1, {}],
    ["str", "i32", 1, {"a": 1}], ["i32", "rec", 1, {"1": {"1": ["i32", 1]}}], {"1": ["i32", 1]},
    {"payload": {}}, {"a": 1, "b": "z", "v": 2}, [[[[[[[[]]]]]]]],
]
JSON_KEYS = ["0", "1", "01", "-1", "+4", "99999", "32768", "x", "", "payload", "a", "next", "kids", "nan", "1e3"]


def mutate_json_tree(rng, data, other):
    """Edits the parsed document and writes it out again: replaces, copies,
    deletes or renames one node."""
    try:
        doc, donor = json.loads(data), json.loads(other)
    except ValueError:
        return mutate_json(rng, data, other)
    slots = []  # (container, key) of every node below the root

    def walk(node):
        children = node.items() if isinstance(node, dict) else enumerate(node) if isinstance(node, list) else ()
        for key, child in children:
            slots.append((node, key))
            walk(child)
    walk(doc)
    donors = []

    def collect(node):
        donors.append(node)
        for child in (node.values() if isinstance(node, dict) else node if isinstance(node, list) else ()):
            collect(child)
    collect(donor)
    if not slots:
        return json.dumps(rng.choice(JSON_VALUES)).encode()
    container, key = rng.choice(slots)
    kind = rng.randrange(4)
    if kind == 0:
        container[key] = rng.choice(JSON_VALUES)
    elif kind == 1:
        container[key] = rng.choice(donors)
    elif kind == 2:
        del container[key]
    elif isinstance(container, dict):
        container[rng.choice(JSON_KEYS)] = container.pop(key)
    else:
        container.insert(key, rng.choice(JSON_VALUES))
    return json.dumps(doc, ensure_ascii=rng.random() < 0.5, separators=(",", ":")).encode()


def payload_document(value):
    """`value` as a payload-form document (fields by name, plain JSON values)."""
    def plain_json(v):
        if isinstance(v, bytes):
            return base64.b64encode(v).decode()
        if isinstance(v, dict):
            return {str(k): plain_json(x) for k, x in v.items()}
        if isinstance(v, list):
            return [plain_json(x) for x in v]
        return v
    return json.dumps({"payload": plain_json(value), "extra": [1]}).encode()


def binary_nested(n):
    """Node.next nested n levels deep, Binary."""
    return b"\x0c\x00\x03" * n + b"\x00" * (n + 1)


def compact_nested(n):
    return b"\x3c" * n + b"\x00" * (n + 1)


class HostileInputCase(unittest.TestCase):
    def sweep(self, protocol, inputs, desc=None):
        s = Sweep(desc or All, protocol)
        for data in inputs:
            s.run(data)
        self.assertEqual(s.faults, [], "\n".join(s.faults))
        return s

    def encodings(self, protocol):
        return (All.serialize_with_protocol(SAMPLE, protocol), All.serialize_with_protocol(OTHER, protocol))

    def prefixes_and_mutations(self, protocol, mutate, extra_seeds=()):
        good, other = self.encodings(protocol)
        seeds = [good, other, *extra_seeds]
        rng = random.Random(1234)
        inputs = [good[:n] for n in range(len(good) + 1)]
        for _ in range(MUTATIONS):
            data = rng.choice(seeds)
            for _ in range(rng.randrange(1, 4)):
                data = mutate(rng, data, rng.choice(seeds))
            inputs.append(data)
        inputs += [bytes(rng.randrange(256) for _ in range(rng.randrange(64))) for _ in range(300)]
        return inputs


class SampleRoundTrip(HostileInputCase):
    """The sweeps start from these encodings, so they must be what they claim."""

    def test_each_protocol_reads_back_the_sample(self):
        binary = All.deserialize(All.serialize(SAMPLE))
        self.assertEqual((binary.inner.b, binary.tree.next.next.v, binary.series[""]), ("z", 5, [2 ** 63 - 1]))
        expected = plain(binary)
        for protocol in (COMPACT, JSON):
            with self.subTest(protocol=protocol):
                good, _ = self.encodings(protocol)
                self.assertEqual(resort(plain(All.deserialize_with_protocol(good, protocol))), resort(expected))

    def test_payload_document_reads_the_sample(self):
        inst = All.deserialize_with_protocol(payload_document(SAMPLE), JSON)
        self.assertEqual(inst.blob, SAMPLE["blob"])
        self.assertEqual(inst.weights, {0.5: True, -2.0: False})
        self.assertEqual(inst.tree.kids[0].kids[0].v, 4)


class BinarySweep(HostileInputCase):
    def test_prefixes_and_mutations(self):
        s = self.sweep(BINARY, self.prefixes_and_mutations(BINARY, mutate_bytes))
        self.assertGreater(s.decoded, 100)  # the sweep reaches the success path too

    def test_forged_counts_lengths_and_types(self):
        cases = [
            b"\x0f\x00\x09\x08\x7f\xff\xff\xff",  # list<i32> claiming 2**31-1 elements
            b"\x0f\x00\x0d\x0c\x7f\xff\xff\xff" + b"\x00" * 64,  # list of structs, count beyond the input
            b"\x0d\x00\x0b\x0b\x0f\x7f\xff\xff\xff",  # map claiming 2**31-1 entries
            b"\x0d\x00\x13\x04\x02\x7f\xff\xff\xff",  # map<double, bool>
            b"\x0b\x00\x07\x7f\xff\xff\xff",  # string length beyond the input
            b"\x0b\x00\x07\xff\xff\xff\xff",  # negative string length
            b"\x0b\x00\x08\x80\x00\x00\x00",  # negative binary length
            b"\x0f\x00\x09\x08\x80\x00\x00\x00\x00",  # negative list count
            b"\x0b\x00\x07\x00\x00\x00\x02\xff\xfe\x00",  # invalid UTF-8 in a declared string
            b"\x0b\x00\x63\x00\x00\x00\x02\xff\xfe\x00",  # the same in a skipped field
            b"\x0f\x00\x09\x11\x00\x00\x00\x01\x00",  # invalid element type code
            b"\x14\x00\x01\x00",  # invalid field type code
            b"\x0f\x00\x63\x0f\x7f\xff\xff\xff",  # skipped list of lists, count beyond the input
            b"\x0d\x00\x63\x0c\x0c\x7f\xff\xff\xff",  # skipped map of structs
            b"\x0c\x00\x11" + b"\x0f\x00\x02\x0c\x7f\xff\xff\xff",  # kids claiming 2**31-1 nodes
            b"\x0c\x00\x0c\x08\x00\x01",  # nested struct cut inside
            b"\x02\x00\x01\x07\x00",  # bool byte other than 0 and 1
        ]
        self.sweep(BINARY, cases)

    def test_deep_nesting(self):
        depths = (127, 128, 129, 1000, 100_000)
        cases = [binary_nested(n) for n in depths]
        cases += [b"\x0c\x00\x63" * n + b"\x00" * (n + 1) for n in depths]  # skipped structs
        cases += [b"\x0f\x00\x63" + b"\x0f\x00\x00\x00\x01" * n for n in depths]  # skipped lists
        cases += [b"\x0d\x00\x63\x0d\x0d" + b"\x00\x00\x00\x01\x0d\x0d" * n for n in depths]  # skipped maps
        cases += [b"\x0f\x00\x02" + b"\x0c\x00\x00\x00\x01\x0f\x00\x02" * n for n in depths]  # Node.kids
        self.sweep(BINARY, cases, desc=Node)
        self.sweep(BINARY, [b"\x0c\x00\x11" + c for c in cases])  # the same below All.tree


class CompactSweep(HostileInputCase):
    def test_prefixes_and_mutations(self):
        s = self.sweep(COMPACT, self.prefixes_and_mutations(COMPACT, mutate_bytes))
        self.assertGreater(s.decoded, 100)

    def test_forged_counts_lengths_and_types(self):
        cases = [
            b"\x99\xf5\xff\xff\xff\xff\x07",  # list<i32> claiming 2**31-1 elements
            b"\x99\xf5\xff\xff\xff\xff\x0f",  # a count beyond i32
            b"\xbb\xff\xff\xff\xff\x07\x89",  # map claiming 2**31-1 entries
            b"\x78\xfe\xff\xff\xff\x0f",  # string length beyond the input
            b"\x78\x01",  # negative string length
            b"\x78\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x01",  # eleven-byte varint
            b"\x45" + b"\xff" * 10 + b"\x01\x00",  # i32 varint of more than 64 bits
            b"\x56\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01\x00",  # i64 at the limit
            b"\x78\x04\xff\xfe\x00",  # invalid UTF-8 in a declared string
            b"\x08\xc6\x01\x04\xff\xfe\x00",  # the same in a skipped field (long-form id 99)
            b"\x05\xfe\xff\xff\xff\x0f\x00",  # long-form field id beyond i16
            b"\x05\x00\x00",  # field id 0 in the long form
            b"\x0d\x00",  # reserved type code in a field header
            b"\x99\x3d\x00",  # reserved element type code
            b"\x09\xc6\x01\x31\x07\x00",  # skipped list of bools holding 7
            b"\x99\x31\x01\x02\x01\x00",  # bool elements under a declared list<i32>
            b"\x1c\x1c\x1c\x1c\x1c\x1c\x1c\x1c",  # structs opened, never closed
            b"\xfc" * 64 + b"\x00",  # field id deltas running past i16
            b"\xcc\x15\x02\x00" * 3 + b"\x00",  # the same field repeated (delta 12 from 0, then 12 + 12...)
            b"\xc1\xc2\x00",  # inner as a bool field header, then a bool-true field
        ]
        self.sweep(COMPACT, cases)

    def test_deep_nesting(self):
        depths = (127, 128, 129, 1000, 100_000)
        cases = [compact_nested(n) for n in depths]
        cases += [b"\x0c\xc6\x01" * n + b"\x00" * (n + 1) for n in depths]  # skipped structs, id 99
        cases += [b"\x09\xc6\x01" + b"\x19" * n for n in depths]  # skipped lists of lists
        cases += [b"\x0b\xc6\x01" + b"\x01\xbb" * n for n in depths]  # skipped maps of maps
        cases += [b"\x29" + b"\x1c\x29" * n for n in depths]  # Node.kids
        self.sweep(COMPACT, cases, desc=Node)
        self.sweep(COMPACT, [b"\x0c\x22" + c for c in cases])  # the same below All.tree (id 17)


class JsonSweep(HostileInputCase):
    def test_prefixes_and_mutations(self):
        payload = payload_document(SAMPLE)
        prefixed = struct.pack(">I", len(payload)) + payload
        s = self.sweep(JSON, self.prefixes_and_mutations(JSON, mutate_json, (payload, prefixed)))
        self.assertGreater(s.decoded, 100)

    def test_structural_edits(self):
        s = self.sweep(JSON, self.prefixes_and_mutations(JSON, mutate_json_tree, (payload_document(SAMPLE),)))
        self.assertGreater(s.decoded, 1000)

    def test_payload_prefixes(self):
        payload = payload_document(SAMPLE)
        self.sweep(JSON, [payload[:n] for n in range(len(payload) + 1)])

    def test_hand_made_documents(self):
        deep_next = '{"payload":{"tree":%s}}'
        docs = [
            "[" * 10000, "{" * 10000, '{"payload":' + "[" * 10000, '{"9":["lst",' + "[" * 10000,
            '{"17":["rec",' * 10000, '{"payload":{"tree":' + '{"next":' * 10000,
            '{"17":["rec",' + '{"3":["rec",' * 120 + "{}" + "]}" * 121 + "}",  # near the parse depth limit
            deep_next % ('{"next":' * 125 + "{}" + "}" * 125),
            deep_next % ('{"kids":[' * 62 + "{}" + "]}" * 62),
            '{"4":["i32",1e400]}', '{"6":["dbl",-1e309]}', '{"4":["i32",99999999999999999999999]}',
            '{"4":["i32",18446744073709551615]}', '{"5":["i64",-9223372036854775809]}',
            '{"5":["i64","99999999999999999999"]}', '{"5":["i64","-9223372036854775808"]}',
            '{"2":["i8",300]}', '{"3":["i16",-40000.5]}', '{"1":["tf",18446744073709551615]}',
            '{"6":["dbl","1e999"]}', '{"6":["dbl","nan"]}', '{"6":["dbl","-INFINITY"]}', '{"6":["dbl","0x10"]}',
            '{"8":["str","####"]}', '{"8":["str","AB=="]}', '{"8":["str","A"]}', '{"8":["str","AA="]}',
            '{"8":["str","AA==AA=="]}', '{"8":["str","AA\\u003d="]}', '{"8":["str",5]}',
            '{"7":["str","\\ud800"]}', '{"7":["str","\\udc00\\ud800"]}', '{"7":["str","\\ud83d\\ude00\\u0000"]}',
            '{"9":["lst",{}]}', '{"9":["lst",["i32"]]}', '{"9":["lst",["i32",-5,"x",null,[],{}]]}',
            '{"11":["map",[1,2,3]]}', '{"11":["map",[1,2,3,4]]}', '{"11":["map",["str","lst",1,{"a":5}]]}',
            '{"18":["map",["i32","rec",1,{"x":{"1":["i32",1]},"01":{},"1":{}}]]}',
            '{"19":["map",["dbl","tf",3,{"nan":true,"NaN":1,"-inf":false,"1e999":true,"x":true}]]}',
            '{"12":["rec",5]}', '{"13":["lst",["rec",1,5]]}', '{"12":["rec",{"1":5,"2":["str"],"x":["i32",1]}]}',
            '{"99999":["i32",1],"-1":["i32",1],"+4":["i32",1],"04":["i32",2],"4 ":["i32",3]}',
            '{"payload":{"num":1.5}}', '{"payload":{"num":"12x"}}', '{"payload":{"num":true}}',
            '{"payload":{"num":99999999999999999999}}', '{"payload":{"big":"-9223372036854775809"}}',
            '{"payload":{"ints":[1,"2",3.5]}}', '{"payload":{"series":{"a":[1,"x"]}}}',
            '{"payload":{"tree":{"kids":[{"v":"oops"}]}}}', '{"payload":{"byid":{"x":{"a":1},"7":5}}}',
            '{"payload":{"weights":{"nan":true,"inf":1,"zz":false}}}', '{"payload":{"blob":"AB=="}}',
            '{"payload":{"text":5,"blob":[],"real":"1.5","flag":7,"inner":[],"inners":{},"series":[]}}',
            '{"payload":5}', '{"payload":{"payload":{}}}', '{"payload":{}}', "{}", "[]", "null", '"x"', "5",
            "", " ", "\ufeff{}", "{} {}", "{}\u0000",
        ]
        data = [d.encode() for d in docs]
        data += [b'{"7":["str","\xff\xfe"]}', b'{"payload":{"text":"\xc3"}}', b'{"\xed\xa0\x80":1}',
                 b"\x00\x00\x00\x02{}", b"\x00\x00\x00\x03{}", b"\x00\x00\x00\x0f" + b'{"4":["i32",5]}',
                 b"\xff\xff\xff\xff" + b"{}", struct.pack(">I", 16) + b'{"payload":"x"}']
        self.sweep(JSON, data)


if __name__ == "__main__":
    unittest.main()
