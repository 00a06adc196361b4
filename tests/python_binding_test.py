#!/usr/bin/env python3
"""Paths in the ctypes binding python/tolvex.py.

A path is taken the way open() takes it: str, bytes or os.PathLike; any
other type raises TypeError. A path with a NUL byte raises ValueError before
the library sees it: the C string would end at the NUL, so that
"victim.txt\\0.json" passed the extension check and then named victim.txt.

Exits with 77 (skipped) when numpy, which the binding needs, is missing.
"""

import os
import pathlib
import struct
import sys
import tempfile
import unittest

try:
    import numpy as np
except ImportError as e:
    print("skipped: %s (install python3-numpy)" % e)
    sys.exit(77)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python"))
import tolvex  # noqa: E402

# A tvxf file: input size 2, a linear layer of one neuron (weights 0.5 and
# -1.0, bias 0.25), then relu.
EXAMPLE = (struct.pack("=4sII", b"tvxf", 2, 2)
           + struct.pack("=IIIffIf", 0, 1, 2, 0.5, -1.0, 1, 0.25)
           + struct.pack("=II", 4, 1))


class CustomPath:
    """An os.PathLike of its own, giving bytes."""

    def __init__(self, path):
        self.path = os.fsencode(path)

    def __fspath__(self):
        return self.path


class NoLibrary:
    """Stands in for the loaded library: any use of it fails the test."""

    def __getattr__(self, name):
        raise AssertionError("the library was called: " + name)


class Paths(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.example = os.path.join(self.dir, "example.tvxf")
        with open(self.example, "wb") as f:
            f.write(EXAMPLE)
        self.victim = os.path.join(self.dir, "victim.txt")
        with open(self.victim, "w") as f:
            f.write("keep")

    def tearDown(self):
        self.tmp.cleanup()

    def bad_paths(self):
        for ext in (".json", ".tvxf"):
            text = self.victim + "\0" + ext
            yield text
            yield os.fsencode(text)
            yield pathlib.Path(text)
            yield CustomPath(text)

    def test_a_nul_byte_is_refused_like_open_does(self):
        with self.assertRaisesRegex(ValueError, "embedded null byte"):
            open(self.victim + "\0.json", "w")
        with tolvex.Model.load(self.example) as m:
            for bad in self.bad_paths():
                with self.assertRaisesRegex(ValueError, "embedded null byte"):
                    m.write(bad)
                with self.assertRaisesRegex(ValueError, "embedded null byte"):
                    tolvex.Model.load(bad)
        with open(self.victim) as f:
            self.assertEqual(f.read(), "keep")
        self.assertEqual(sorted(os.listdir(self.dir)), ["example.tvxf", "victim.txt"])

    def test_the_library_never_sees_such_a_path(self):
        tolvex.library()
        saved = tolvex._lib
        tolvex._lib = NoLibrary()
        try:
            for bad in self.bad_paths():
                with self.assertRaises(ValueError):
                    tolvex.Model.load(bad)
        finally:
            tolvex._lib = saved

    def test_str_bytes_and_path_objects_name_the_file(self):
        x = np.array([2.0, 0.0], np.float32)  # 0.5 * 2 + 0.25
        with tolvex.Model.load(self.example) as m:
            for ext in (".json", ".tvxf"):
                name = os.path.join(self.dir, "out" + ext)
                for path in (name, os.fsencode(name), pathlib.Path(name), CustomPath(name)):
                    m.write(path)
                    with tolvex.Model.load(path) as back:
                        self.assertEqual(back.run(x).tolist(), [1.25])
                    os.unlink(name)
            for path in (pathlib.Path(self.example), os.fsencode(self.example)):
                with tolvex.Model.load(path) as back:
                    self.assertEqual(back.run(x).tolist(), [1.25])

    def test_errors_name_the_path_as_text(self):
        missing = pathlib.Path(self.dir) / "missing.json"
        with self.assertRaises(tolvex.TolvexError) as cm:
            tolvex.Model.load(missing)
        self.assertEqual((cm.exception.name, cm.exception.path), ("FileNotFound", str(missing)))
        with self.assertRaisesRegex(ValueError, "unknown model file extension"):
            tolvex.Model.load(os.fsencode(os.path.join(self.dir, "m.onnx")))

    def test_other_types_are_type_errors(self):
        for bad in (3, None, 1.5, ["m.json"]):
            with self.assertRaises(TypeError):
                tolvex.Model.load(bad)


if __name__ == "__main__":
    unittest.main()
