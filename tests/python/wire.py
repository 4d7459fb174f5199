"""Wire forms for tests that put exact bytes on a socket, in either role.

The Binary, Compact and JSON encoders here are deliberately small and
independent of the module, so tests fix the wire form on both sides. The
socket helpers read exact amounts; every blocking step a test takes on a
socket is bounded by TIMEOUT.
"""

import json
import socket
import struct

TIMEOUT = 10.0

# Message types and wire type codes.
CALL, REPLY, EXCEPTION, ONEWAY = 1, 2, 3, 4
T_STOP, T_BOOL, T_BYTE, T_DOUBLE, T_I16, T_I32, T_I64 = 0, 2, 3, 4, 6, 8, 10
T_STRING, T_STRUCT, T_MAP, T_SET, T_LIST = 11, 12, 13, 14, 15


# Binary

def i16(v):
    return struct.pack(">h", v)


def i32(v):
    return struct.pack(">i", v)


def i64(v):
    return struct.pack(">q", v)


def string(s):
    if isinstance(s, str):
        s = s.encode()
    return i32(len(s)) + s


def field(ttype, fid, payload):
    """One Binary field: type byte, big-endian id, the value's bytes."""
    return bytes([ttype]) + i16(fid) + payload


def message(name, mtype, seqid, body=b"\x00"):
    """A strict Binary message: version word, name, sequence id, body."""
    return bytes([0x80, 0x01, 0x00, mtype]) + string(name) + i32(seqid) + body


def app_exception_body(text, type_):
    return field(T_STRING, 1, string(text)) + field(T_I32, 2, i32(type_)) + b"\x00"


def app_exception(name, seqid, text, type_):
    return message(name, EXCEPTION, seqid, app_exception_body(text, type_))


def parse_message(data):
    """(name, message type, seqid, body) of a strict Binary message."""
    assert data[:2] == b"\x80\x01", data
    mtype = data[3]
    (n,) = struct.unpack(">i", data[4:8])
    name = data[8:8 + n].decode()
    (seqid,) = struct.unpack(">i", data[8 + n:12 + n])
    return name, mtype, seqid, data[12 + n:]


# Compact

def varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def zigzag32(n):
    return (n << 1) ^ (n >> 31)


def compact_message(name, mtype, seqid, body=b"\x00"):
    name = name.encode()
    return bytes([0x82, (mtype << 5) | 1]) + varint(zigzag32(seqid) & 0xFFFFFFFF) + varint(zigzag32(len(name))) + name + body


# JSON

def json_message(name, mtype, seqid, fields=None):
    return json.dumps([1, name, mtype, seqid, fields or {}], separators=(",", ":")).encode()


# Sockets

def framed(data):
    return i32(len(data)) + data


def recv_exact(sock, n):
    """Exactly n bytes, or fewer if the peer ends the stream first."""
    out = b""
    while len(out) < n:
        chunk = sock.recv(n - len(out))
        if not chunk:
            break
        out += chunk
    return out


def recv_frame(sock):
    """The body of one Framed message, or None when the stream ended."""
    head = recv_exact(sock, 4)
    if len(head) < 4:
        return None
    (length,) = struct.unpack(">i", head)
    return recv_exact(sock, length)


def recv_until_closed(sock):
    out = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return out
        out += chunk


def free_port():
    """A port on 127.0.0.1 that the system just handed out and nothing holds."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
