"""Extracts seed inputs for the fuzz targets from the hand-made vectors of the
C++ unit tests: string literals (raw and escaped) for the text targets,
bytes({...}) lists and "82 21 00"-style hex strings for the wire targets.

Usage: python3 make_seeds.py <tests/cpp dir> <corpus dir>
Writes <corpus dir>/<target>/test-<file>-<n>; run by `scripts/fuzz seeds`.
"""
import hashlib
import os
import re
import sys

# Which test files feed which targets, and what to take from them.
SOURCES = [
    ("test_parser.cpp", "fuzz_idl", "text"),
    ("test_lexer.cpp", "fuzz_idl", "text"),
    ("test_literals.cpp", "fuzz_idl", "text"),
    ("test_json_text.cpp", "fuzz_json_text", "text"),
    ("test_json_protocol.cpp", "fuzz_json", "text"),
    ("test_json_protocol.cpp", "fuzz_json_text", "text"),
    ("test_base64.cpp", "fuzz_base64", "text"),
    ("test_binary.cpp", "fuzz_binary", "bytes"),
    ("test_compact.cpp", "fuzz_compact", "hex"),
    ("test_transport.cpp", "fuzz_transport_framed", "text"),
    ("test_transport.cpp", "fuzz_transport_buffered", "text"),
]

# Header bytes of the transport targets (see transport_harness.hpp): client
# side, end of file, 5-byte reader buffer, reads of 1 to 3 bytes; mode 0
# (Binary for the Buffered target).
TRANSPORT_HEAD = b"\x00\x05\x03\x00"

RAW = re.compile(r'R"([^(\s]*)\((.*?)\)\1"', re.S)
PLAIN = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
BYTES = re.compile(r"bytes\(\{([^}]*)\}\)")
HEX = re.compile(r"^[0-9A-Fa-f]{2}( [0-9A-Fa-f]{2})*$")

ESCAPES = {"n": 10, "t": 9, "r": 13, "0": 0, "\\": 92, '"': 34, "'": 39, "a": 7, "b": 8, "f": 12, "v": 11, "?": 63}


def unescape(body):
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode("utf-8")
            i += 1
            continue
        e = body[i + 1]
        if e == "x":
            j = i + 2
            while j < len(body) and body[j] in "0123456789abcdefABCDEF":
                j += 1
            out.append(int(body[i + 2 : j], 16) & 0xFF)
            i = j
        elif e in "01234567" and i + 2 < len(body) and body[i + 2] in "01234567":
            j = i + 1
            while j < len(body) and j < i + 4 and body[j] in "01234567":
                j += 1
            out.append(int(body[i + 1 : j], 8) & 0xFF)
            i = j
        else:
            out.append(ESCAPES.get(e, ord(e)))
            i += 2
    return bytes(out)


def literals(src):
    found = [m.group(2).encode("utf-8") for m in RAW.finditer(src)]
    rest = RAW.sub('""', src)
    # Drop comments and #include lines so that their quotes are not taken.
    rest = re.sub(r"^\s*#include.*$", "", rest, flags=re.M)
    rest = re.sub(r"//[^\n]*", "", rest)
    found += [unescape(m.group(1)) for m in PLAIN.finditer(rest)]
    return found


def byte_lists(src):
    out = []
    for m in BYTES.finditer(src):
        data = bytearray()
        for item in m.group(1).split(","):
            item = item.strip()
            if not item:
                continue
            if item.startswith("'"):
                data += unescape(item[1:-1])
            else:
                data.append(int(item, 0) & 0xFF)
        out.append(bytes(data))
    return out


def hex_strings(src):
    return [bytes.fromhex(m.group(1)) for m in PLAIN.finditer(src) if HEX.match(m.group(1))]


def main():
    tests, corpus = sys.argv[1], sys.argv[2]
    for name, target, kind in SOURCES:
        with open(os.path.join(tests, name), encoding="utf-8") as f:
            src = f.read()
        seeds = {"text": literals, "bytes": byte_lists, "hex": hex_strings}[kind](src)
        if target.startswith("fuzz_transport"):
            seeds = [TRANSPORT_HEAD + s for s in seeds if len(s) >= 4]
        seeds = sorted({s for s in seeds if len(s) >= 2})
        out_dir = os.path.join(corpus, target)
        os.makedirs(out_dir, exist_ok=True)
        stem = name[len("test_") : -len(".cpp")]
        for s in seeds:
            digest = hashlib.sha1(s).hexdigest()[:10]
            with open(os.path.join(out_dir, "test-%s-%s" % (stem, digest)), "wb") as f:
                f.write(s)


if __name__ == "__main__":
    main()
