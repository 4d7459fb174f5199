"""Apache Thrift's own Python library as a test peer: Debian's python3-thrift
under /usr/bin/python3, with code that thrift-compiler generates at test
time. `skip_unless_apache` skips a test class when either is missing.
"""

import os
import shutil
import subprocess
import tempfile
import unittest

SYSTEM_PYTHON = "/usr/bin/python3"

# Both sides of the interop tests speak this service; each adds the methods
# that only it knows.
_IDL = """
namespace py interop

enum Color { RED = 1, GREEN = 2 }

struct Inner { 1: string label, 2: list<i32> nums }
struct Outer {
  1: i32 id,
  2: Inner inner,
  3: map<string, Inner> by_name,
  4: set<string> tags,
  5: optional double score,
}
exception Problem { 1: string why, 2: i32 code }

service Interop {
  bool flip(1: bool b),
  byte next_byte(1: byte v),
  i16 twice(1: i16 v),
  i32 add(1: i32 a, 2: i32 b),
  i64 pred(1: i64 v),
  double half(1: double v),
  string greet(1: string name),
  binary reverse(1: binary data),
  list<i64> squares(1: list<i32> xs),
  set<string> upper(1: set<string> words),
  map<string, i32> lengths(1: map<i32, string> m),
  Outer roundtrip(1: Outer o),
  void nothing(),
  oneway void remember(1: string note),
  string recall(),
  i32 fail(1: i32 code) throws (1: Problem problem),
  Color paint(1: Color c),
%s}
"""


def interop_idl(*extra_methods):
    """The interop service with `extra_methods` (e.g. "i32 nope()") added."""
    return _IDL % "".join(f"  {m},\n" for m in extra_methods)


def apache_available():
    if shutil.which("thrift") is None or not os.path.exists(SYSTEM_PYTHON):
        return False
    probe = subprocess.run([SYSTEM_PYTHON, "-c", "import thrift.server.TServer, thrift.transport.TSocket"],
                           capture_output=True)
    return probe.returncode == 0


skip_unless_apache = unittest.skipUnless(apache_available(),
                                         "Apache Thrift's Python library or compiler is not installed")


class ApachePeer:
    """A temporary directory with the code generated for `idl` and the peer
    program `script`, which runs under the system interpreter with the
    directory as its first argument."""

    def __init__(self, idl, script):
        self._tmp = tempfile.TemporaryDirectory()
        self.path = self._tmp.name
        try:
            idl_path = os.path.join(self.path, "interop.thrift")
            with open(idl_path, "w") as f:
                f.write(idl)
            subprocess.run(["thrift", "--gen", "py", "-out", self.path, idl_path], check=True, timeout=60,
                           capture_output=True)
            self.script = os.path.join(self.path, "peer.py")
            with open(self.script, "w") as f:
                f.write(script)
        except BaseException:
            self._tmp.cleanup()
            raise

    def command(self, *args):
        """The command line that runs the peer with `args` after the directory."""
        return [SYSTEM_PYTHON, self.script, self.path, *map(str, args)]

    def cleanup(self):
        self._tmp.cleanup()
