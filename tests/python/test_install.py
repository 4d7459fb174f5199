"""`cmake --install` of the build tree that holds the module under test: the
module lands in the interpreter's site-packages below the prefix, stripped of
its debug information and symbol table, and a fresh interpreter imports it
from there."""

import glob
import importlib.util
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

BUILD_DIR = os.path.dirname(importlib.util.find_spec("brovane").origin)
SITE = os.path.join("lib", f"python{sys.version_info[0]}.{sys.version_info[1]}", "site-packages")


def cache_value(name):
    try:
        with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


BUILD_TYPE = cache_value("CMAKE_BUILD_TYPE")


def install(*args, env=None):
    return subprocess.run([shutil.which("cmake"), "--install", BUILD_DIR, *args], env=env,
                          capture_output=True, text=True, timeout=60)


def elf_sections(path):
    """The section names of a 64-bit little-endian ELF file, read from its
    section header table."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise AssertionError(f"{path} is not a 64-bit little-endian ELF file")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
    # Each header: name offset (4 bytes) ... file offset of the section at 0x18.
    names_at, = struct.unpack_from("<Q", data, shoff + shstrndx * shentsize + 0x18)
    sections = set()
    for i in range(shnum):
        name, = struct.unpack_from("<I", data, shoff + i * shentsize)
        start = names_at + name
        sections.add(data[start:data.index(b"\0", start)].decode())
    return sections


def build_module():
    [module] = glob.glob(os.path.join(BUILD_DIR, "brovane*.so"))
    return module


def import_from(site_dir):
    """brovane.__file__ as a fresh interpreter sees it with only `site_dir` added to its path."""
    env = dict(os.environ, PYTHONPATH=site_dir)
    code = ("import brovane; p = brovane.ThriftParser(); p.parse('struct P { 1: i32 x }'); "
            "assert p.get_struct('P').serialize({'x': 1}) == bytes.fromhex('08000100000001 00'); "
            "print(brovane.__file__)")
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    if run.returncode != 0:
        raise AssertionError(run.stderr)
    return run.stdout.strip()


@unittest.skipUnless(os.path.exists(os.path.join(BUILD_DIR, "CMakeCache.txt")) and shutil.which("cmake"),
                     "the module does not come from a CMake build tree")
class InstallTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)

    def test_prefix_gets_the_interpreters_site_packages_layout(self):
        run = install("--prefix", self.tmp)
        self.assertEqual(run.returncode, 0, run.stderr)
        site_dir = os.path.join(self.tmp, SITE)
        [installed] = glob.glob(os.path.join(site_dir, "brovane*.so"))
        self.assertEqual(import_from(site_dir), installed)
        self.assert_stripped(installed)

    def test_default_prefix_is_the_interpreters_own(self):
        # DESTDIR stages the default destination below the temporary folder.
        run = install(env=dict(os.environ, DESTDIR=self.tmp))
        self.assertEqual(run.returncode, 0, run.stderr)
        site_dir = self.tmp + os.path.join(sys.exec_prefix, SITE)
        [installed] = glob.glob(os.path.join(site_dir, "brovane*.so"))
        self.assertEqual(import_from(site_dir), installed)
        self.assert_stripped(installed)

    def assert_stripped(self, installed):
        """The installed copy has neither debug information nor a symbol
        table; the build tree's module keeps what it was built with."""
        sections = elf_sections(installed)
        self.assertIn(".dynsym", sections)
        self.assertIn(".text", sections)
        kept = sorted(s for s in sections if s == ".symtab" or s.startswith(".debug"))
        self.assertEqual(kept, [], "the installed module is not stripped")
        if BUILD_TYPE in ("RelWithDebInfo", "Debug"):
            self.assertIn(".debug_info", elf_sections(build_module()))
            # About 70 MB against 2 MB today.
            self.assertLess(os.path.getsize(installed) * 4, os.path.getsize(build_module()))


if __name__ == "__main__":
    unittest.main()
