"""Runs every ```python block of README.md in a fresh interpreter.

A block fails when it raises, writes to standard error, or runs past the
timeout. A `print(...)` line that ends in a comment must print that comment's
text (one line, once); tracebacks name README.md and its line numbers.
"""

import io
import json
import os
import re
import subprocess
import sys
import tempfile
import tokenize
import unittest

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
TIMEOUT = 120

# Runs the block read from standard input with `print` wrapped so that every
# print made from a line of the block is recorded with that line's number; the
# records go to the file named by argv[1].
RUNNER = r"""
import builtins, io, json, sys
records = []
real_print = builtins.print
def recording_print(*args, **kwargs):
    frame = sys._getframe(1)
    if kwargs.get("file") is None and frame.f_code.co_filename == "README.md":
        buf = io.StringIO()
        real_print(*args, **dict(kwargs, file=buf))
        records.append([frame.f_lineno, buf.getvalue()])
        sys.stdout.write(buf.getvalue())
    else:
        real_print(*args, **kwargs)
builtins.print = recording_print
source = sys.stdin.read()
try:
    exec(compile(source, "README.md", "exec"), {"__name__": "__main__"})
finally:
    sys.stdout.flush()
    with open(sys.argv[1], "w") as f:
        json.dump(records, f)
"""


def python_blocks(text):
    """(first line number, source) of each ```python block; the source keeps
    the block at its README line numbers."""
    blocks, lines, start = [], text.splitlines(), None
    for number, line in enumerate(lines, 1):
        if start is None and line.strip() == "```python":
            start = number + 1
        elif start is not None and line.strip() == "```":
            blocks.append((start, "\n" * (start - 1) + "\n".join(lines[start - 1:number - 1]) + "\n"))
            start = None
    return blocks


def expected_prints(source):
    """Line number to the text that the `print` on that line must print: its
    trailing comment, or a comment alone on the next line when the print line
    has none."""
    expected, lines = {}, source.splitlines()
    for tok in tokenize.generate_tokens(io.StringIO(source).readline):
        if tok.type != tokenize.COMMENT:
            continue
        line = tok.start[0]
        code = tok.line[:tok.start[1]].strip()
        if re.match(r"print\(.*\)$", code):
            expected[line] = tok.string[1:].strip()
        elif not code and line > 1 and re.match(r"print\(.*\)$", lines[line - 2].strip()):
            expected[line - 1] = tok.string[1:].strip()
    return expected


class ReadmeExamplesTest(unittest.TestCase):
    def test_every_python_block_runs_and_prints_what_it_shows(self):
        with open(README, encoding="utf-8") as f:
            blocks = python_blocks(f.read())
        self.assertTrue(blocks, "README.md has no ```python block")
        for start, source in blocks:
            with self.subTest(block_at_line=start):
                self.check_block(source)

    def check_block(self, source):
        with tempfile.TemporaryDirectory() as tmp:
            records_path = os.path.join(tmp, "prints.json")
            run = subprocess.run([sys.executable, "-X", "faulthandler", "-c", RUNNER, records_path],
                                 input=source, capture_output=True, text=True, timeout=TIMEOUT, cwd=tmp)
            self.assertEqual(run.returncode, 0, f"the block failed:\n{run.stderr}")
            self.assertEqual(run.stderr, "", "the block wrote to standard error")
            with open(records_path) as f:
                records = json.load(f)
        printed = {}
        for line, text in records:
            printed.setdefault(line, []).append(text)
        for line, want in expected_prints(source).items():
            self.assertEqual(printed.get(line), [want + "\n"], f"README.md line {line} printed something else")


if __name__ == "__main__":
    unittest.main()
