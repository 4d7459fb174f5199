"""`cmake --install` of the build tree that holds the module under test: the
module lands in the interpreter's site-packages below the prefix, and a fresh
interpreter imports it from there."""

import glob
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD_DIR = os.path.dirname(importlib.util.find_spec("brovane").origin)
SITE = os.path.join("lib", f"python{sys.version_info[0]}.{sys.version_info[1]}", "site-packages")


def install(*args, env=None):
    return subprocess.run([shutil.which("cmake"), "--install", BUILD_DIR, *args], env=env,
                          capture_output=True, text=True, timeout=60)


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

    def test_default_prefix_is_the_interpreters_own(self):
        # DESTDIR stages the default destination below the temporary folder.
        run = install(env=dict(os.environ, DESTDIR=self.tmp))
        self.assertEqual(run.returncode, 0, run.stderr)
        site_dir = self.tmp + os.path.join(sys.exec_prefix, SITE)
        [installed] = glob.glob(os.path.join(site_dir, "brovane*.so"))
        self.assertEqual(import_from(site_dir), installed)


if __name__ == "__main__":
    unittest.main()
