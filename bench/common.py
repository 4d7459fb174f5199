"""What the benchmarks share: the benchmark schema, its sample record and
the interpreter that runs the Apache Thrift peers (Debian's python3-thrift)."""

SYSTEM_PYTHON = "/usr/bin/python3"

# The benchmark schema.
IDL = """
namespace py bench

enum Kind {
  UNKNOWN = 0,
  ALPHA = 1,
  BETA = 2,
  GAMMA = 3,
}

struct Point {
  1: i32 x,
  2: i32 y,
  3: string label,
}

struct Item {
  1: i32 id,
  2: i64 timestamp,
  3: double score,
  4: bool active,
  5: string name,
  6: string description,
  7: binary payload,
  8: list<i64> values,
  9: map<string, i32> attrs,
  10: list<Point> points,
  11: Kind kind,
  12: string tag,
}

service Bench {
  Item echo(1: Item item),
  void ping(),
  i64 add(1: i64 a, 2: i64 b),
}
"""

# The sample value of Item, every field set; as source text too, for the
# Apache peers, which run in the system interpreter.
SAMPLE = '''
def sample_item():
    description = ("Benchmark record: one hundred bytes of ASCII text in the"
                   " description field.").ljust(100, ".")
    assert len(description.encode()) == 100
    return {
        "id": 123456,
        "timestamp": 1700000000123456,
        "score": 98.625,
        "active": True,
        "name": "widget-42",
        "description": description,
        "payload": bytes((i * 37 + 128) & 0xFF for i in range(64)),
        "values": [-(i * 7919) ** 2 if i % 2 else (i * 7919) ** 2 for i in range(100)],
        "attrs": {"attr%02d" % i: i * i - 50 for i in range(20)},
        "points": [{"x": i, "y": -7 * i, "label": "p%d" % i} for i in range(10)],
        "kind": 2,
        "tag": "bench",
    }
'''

_namespace = {}
exec(SAMPLE, _namespace)
sample_item = _namespace["sample_item"]
