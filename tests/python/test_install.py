"""`cmake --install` of the build tree that holds the module under test: the
module lands in the interpreter's site-packages below the prefix, stripped of
its debug information and symbol table, and a fresh interpreter imports it
from there. With a virtual environment active, the scripts build for the
environment's interpreter, and the install goes into the environment."""

import glob
import importlib.util
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
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


def imported_file(python, env):
    """brovane.__file__ as a fresh `python` sees it in `env`, after a round trip through the module."""
    code = ("import brovane; p = brovane.ThriftParser(); p.parse('struct P { 1: i32 x }'); "
            "assert p.get_struct('P').serialize({'x': 1}) == bytes.fromhex('08000100000001 00'); "
            "print(brovane.__file__)")
    run = subprocess.run([python, "-c", code], env=env, capture_output=True, text=True, timeout=60,
                         cwd=tempfile.gettempdir())
    if run.returncode != 0:
        raise AssertionError(run.stderr)
    return run.stdout.strip()


def import_from(site_dir):
    """brovane.__file__ as a fresh interpreter sees it with only `site_dir` added to its path."""
    return imported_file(sys.executable, dict(os.environ, PYTHONPATH=site_dir))


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



def without(env, *names):
    return {k: v for k, v in env.items() if k not in names}


@unittest.skipUnless(os.path.exists(os.path.join(BUILD_DIR, "CMakeCache.txt")) and shutil.which("cmake")
                     and shutil.which("bash") and importlib.util.find_spec("venv"),
                     "the module does not come from a CMake build tree, or bash or venv is missing")
class VirtualEnvironmentTest(unittest.TestCase):
    """With a virtual environment active, the scripts build for its interpreter, and
    `cmake --install` of such a tree puts the module into the environment."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)
        self.venv = os.path.join(self.tmp, "venv")
        run = subprocess.run([sys.executable, "-m", "venv", "--without-pip", self.venv],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.venv_python = os.path.join(self.venv, "bin", "python")
        # The tools run without the sanitizer runtime or the test's module path.
        self.plain = without(os.environ, "PYTHON", "PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "LD_PRELOAD")

    def active(self, venv, **more):
        """The environment of a shell in which `venv` is activated."""
        path = os.path.join(venv, "bin") + os.pathsep + self.plain.get("PATH", "")
        return dict(self.plain, VIRTUAL_ENV=venv, PATH=path, **more)

    def lib_sh(self, command, env):
        """Runs `command` in bash after sourcing scripts/lib.sh."""
        lib = os.path.join(ROOT, "scripts", "lib.sh")
        return subprocess.run(["bash", "-c", f'source "{lib}"; {command}'], env=env,
                              capture_output=True, text=True, timeout=120)

    def test_pick_python_prefers_python_then_the_active_environment(self):
        old = os.path.join(self.tmp, "old")  # an environment whose interpreter is older than 3.12
        os.makedirs(os.path.join(old, "bin"))
        with open(os.path.join(old, "bin", "python"), "w") as f:
            f.write("#!/bin/sh\nexit 1\n")
        os.chmod(os.path.join(old, "bin", "python"), 0o755)
        outside = self.lib_sh("pick_python", self.plain)
        self.assertEqual(outside.returncode, 0, outside.stderr)
        cases = [
            ("active environment", self.active(self.venv), self.venv_python, ""),
            ("PYTHON= wins", self.active(self.venv, PYTHON=sys.executable), sys.executable, ""),
            ("environment older than 3.12", self.active(old), outside.stdout.strip(),
             f"not building for the virtual environment {old}: its python is not 3.12 or later\n"),
        ]
        for name, env, want, stderr in cases:
            with self.subTest(name):
                run = self.lib_sh("pick_python", env)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stdout.strip(), want)
                self.assertEqual(run.stderr, stderr)

    def test_install_goes_into_the_active_environment(self):
        # The tree is configured as scripts/demo does in the environment; the module already
        # built stands in for its build, which would take minutes.
        tree = os.path.join(self.tmp, "build")
        run = self.lib_sh(f'configure_tree "{tree}" "$(pick_python)" -DBROVANE_TESTS=OFF', self.active(self.venv))
        self.assertEqual(run.returncode, 0, run.stderr)
        shutil.copy2(build_module(), tree)
        run = subprocess.run([shutil.which("cmake"), "--install", tree], env=self.active(self.venv),
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        [installed] = glob.glob(os.path.join(self.venv, SITE, "brovane*.so"))
        # The environment's interpreter finds it with no PYTHONPATH; the sanitizer runtime, when
        # the module was built with it, is preloaded as for every test.
        env = self.active(self.venv)
        if "LD_PRELOAD" in os.environ:
            env["LD_PRELOAD"] = os.environ["LD_PRELOAD"]
        self.assertEqual(imported_file(self.venv_python, env), installed)


if __name__ == "__main__":
    unittest.main()
