"""brovane end to end: parse an IDL, serve it, call it, serialise a record.

Run through scripts/demo (which builds the module first).
"""

import asyncio
import socket
import sys
import time

import brovane

IDL = """
include "shared/common.thrift"

namespace py demo.calc

enum Operation {
  ADD = 1,
  SUBTRACT,
  MULTIPLY = 10,
}

struct Point {
  1: required i32 x,
  2: required i32 y = 0,
}

struct Shape {
  1: string name = "unnamed",
  2: list<Point> points,
  3: map<string, double> tags,
  4: optional binary payload,
  5: Operation op = Operation.ADD,
}

exception CalcError {
  1: string message,
  2: i32 code,
}

service Base {
  void ping(),
}

service Calc extends Base {
  i32 add(1: i32 a, 2: i32 b),
  Shape describe(1: Shape shape, 2: string note),
  i32 divide(1: i32 a, 2: i32 b) throws (1: CalcError err),
  oneway void log(1: string line),
}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def show_schema(parser):
    print("structs:   ", sorted(parser.list_structs()))
    print("services:  ", parser.list_services())
    print("enums:     ", {name: parser.get_enum(name) for name in parser.list_enums()})
    print("includes:  ", parser.list_includes())
    print("namespaces:", parser.namespaces())
    print("alias:     ", parser.get_struct("common.Point"))
    calc = parser.get_service("Calc")
    print(calc)
    for method in calc.methods:
        print("  ", method, [f.name for f in method.arguments], "oneway" if method.oneway else "")
    print(parser.get_struct("Shape"))


def show_serialisation(parser):
    shape = parser.get_struct("Shape")
    record = {
        "name": "triangle",
        "points": [{"x": 0, "y": 0}, {"x": 4, "y": 0}, {"x": 0, "y": 3}],
        "tags": {"area": 6.0},
        "payload": b"\x00\x01",
    }
    for protocol in (brovane.ProtocolType.Binary, brovane.ProtocolType.Compact, brovane.ProtocolType.JSON):
        data = shape.serialize_with_protocol(record, protocol)
        back = shape.deserialize_with_protocol(data, protocol)
        print(f"{protocol!r}: {len(data)} bytes")
        print("   ", data if protocol is brovane.ProtocolType.JSON else data.hex(" "))
        print("   ", back.to_dict())
    instance = shape(name="square", op=10)
    print("instance:", instance)


class Handlers:
    def __init__(self):
        self.log_lines = []

    def ping(self):
        return None

    def add(self, a, b):
        return a + b

    async def describe(self, shape, note):
        await asyncio.sleep(0)  # a coroutine handler runs on the worker's asyncio loop
        shape.name = f"{shape.name} ({note})"
        return shape

    def divide(self, a, b):
        if b == 0:
            raise CalcError("division by zero", 22)
        return a // b

    def log(self, line):
        self.log_lines.append(line)


class CalcError(Exception):
    def __init__(self, message, code):
        super().__init__(message)
        self.message = message
        self.code = code


def serve_and_call(parser, transport, protocol):
    service = parser.get_service("Calc")
    handlers = Handlers()
    server = brovane.ThriftServer(service, transport=transport, workers=2, protocol=protocol)
    server.set_parser(parser)
    for name in ("ping", "add", "describe", "divide", "log"):
        server.register_handler(name, getattr(handlers, name))
    port = free_port()
    server.serve("127.0.0.1", port)
    deadline = time.monotonic() + 5
    while not server.is_running() and time.monotonic() < deadline:
        time.sleep(0.01)
    try:
        client = brovane.ThriftClient(service, "127.0.0.1", port, transport=transport, protocol=protocol)
        client.set_parser(parser)
        with client:
            print(f"  ping()                 -> {client.call('ping')!r}")
            print(f"  add(a=2, b=40)         -> {client.call('add', a=2, b=40)!r}")
            shape = client.call("describe", shape={"name": "tri", "points": [{"x": 1, "y": 2}]}, note="seen")
            print(f"  describe(...)          -> {shape!r}")
            print(f"  divide(a=7, b=2)       -> {client.call('divide', a=7, b=2)!r}")
            try:
                client.call("divide", a=1, b=0)
            except RuntimeError as e:
                print(f"  divide(a=1, b=0)       -> RuntimeError: {e}")
            client.call("log", line="hello")
            try:
                client.call("missing")
            except ValueError as e:
                print(f"  missing()              -> ValueError: {e}")
    finally:
        server.stop()
        wait_until_closed(port)


def wait_until_closed(port, timeout=5.0):
    """Waits until the stopped server's listener is gone: its shutdown line has
    been written by then, and comes before this program's next line."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        except OSError:
            return
        time.sleep(0.01)


def main():
    # The server writes its console lines straight to the process's descriptors; line
    # buffering keeps this program's own lines in step with them.
    sys.stdout.reconfigure(line_buffering=True)
    parser = brovane.ThriftParser()
    parser.parse(IDL)
    print("== schema")
    show_schema(parser)
    print("== serialisation")
    show_serialisation(parser)
    print("== RPC")
    for transport in (brovane.TransportType.Framed, brovane.TransportType.Buffered):
        for protocol in (brovane.ProtocolType.Binary, brovane.ProtocolType.Compact, brovane.ProtocolType.JSON):
            if transport == brovane.TransportType.Buffered and protocol is brovane.ProtocolType.Compact:
                continue  # the Buffered transport finds message ends by parsing: Binary and JSON only
            print(f"{transport!r} {protocol!r}")
            serve_and_call(parser, transport, protocol)


if __name__ == "__main__":
    main()
