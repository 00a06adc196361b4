#!/usr/bin/env python3
"""The ctypes binding python/tolvex.py: paths, sizes, batches and bytes.

A path is taken the way open() takes it: str, bytes or os.PathLike; any
other type raises TypeError. A path with a NUL byte raises ValueError before
the library sees it: the C string would end at the NUL, so that
"victim.txt\\0.json" passed the extension check and then named victim.txt.

The input size comes from the library (no scratch file), a 2-D array runs as
one batched call whose rows have the bits of single passes, and models load
from bytes in memory as from their files.

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


def mlp_tvxf(n_in, n_hidden, n_out, seed):
    """A tvxf file: linear n_in -> n_hidden, tanh, linear -> n_out, random weights."""
    rng = np.random.default_rng(seed)

    def linear(n, m):
        w = rng.uniform(-1, 1, n * m).astype(np.float32)
        b = rng.uniform(-0.5, 0.5, m).astype(np.float32)
        return struct.pack("=III", 0, m, n * m) + w.tobytes() + struct.pack("=I", m) + b.tobytes()

    return (struct.pack("=4sII", b"tvxf", n_in, 3) + linear(n_in, n_hidden)
            + struct.pack("=II", 7, n_hidden) + linear(n_hidden, n_out))


class CountingLibrary:
    """Stands in for the loaded library and counts the forward calls."""

    def __init__(self, lib):
        self.lib = lib
        self.calls = {"tolvex_forward_pass": 0, "tolvex_forward_batch": 0}

    def __getattr__(self, name):
        fn = getattr(self.lib, name)
        if name not in self.calls:
            return fn

        def counted(*args):
            self.calls[name] += 1
            return fn(*args)
        return counted


class Interface(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.mlp_bytes = mlp_tvxf(5, 9, 3, 1)
        self.mlp = os.path.join(self.dir, "mlp.tvxf")
        with open(self.mlp, "wb") as f:
            f.write(self.mlp_bytes)

    def tearDown(self):
        self.tmp.cleanup()

    def test_sizes_come_from_the_library_without_a_scratch_file(self):
        saved_env, saved_dir = os.environ.get("TMPDIR"), tempfile.tempdir
        os.environ["TMPDIR"] = os.path.join(self.dir, "no", "such", "dir")
        tempfile.tempdir = None
        try:
            with tolvex.Model.load(self.mlp) as m:
                self.assertEqual((m.input_size, m.output_size), (5, 3))
                self.assertEqual(m.run(np.zeros(5, np.float32)).shape, (3,))
        finally:
            if saved_env is None:
                del os.environ["TMPDIR"]
            else:
                os.environ["TMPDIR"] = saved_env
            tempfile.tempdir = saved_dir

    def test_a_2d_array_is_one_batched_call_with_the_bits_of_single_passes(self):
        rng = np.random.default_rng(2)
        with tolvex.Model.load(self.mlp) as m:
            for n in (1, 2, 7, 64, 65):
                x = rng.uniform(-3, 3, (n, 5)).astype(np.float32)
                x[0, 1] = np.nan
                want = np.stack([m.run(row) for row in x])
                tolvex.library()
                saved = tolvex._lib
                tolvex._lib = counting = CountingLibrary(saved)
                try:
                    got = m.run(x)
                finally:
                    tolvex._lib = saved
                self.assertEqual(counting.calls, {"tolvex_forward_pass": 0, "tolvex_forward_batch": 1})
                self.assertEqual(got.shape, (n, 3))
                self.assertEqual(got.dtype, np.float32)
                self.assertEqual(got.tobytes(), want.tobytes())
            # Rows of float64 and non-contiguous views are converted first.
            x = rng.uniform(-3, 3, (10, 5))
            self.assertEqual(m.run(x[::2]).tobytes(), m.run(x[::2].astype(np.float32).copy()).tobytes())
            self.assertEqual(m.run(np.zeros((0, 5), np.float32)).shape, (0, 3))

    def test_wrong_shapes_are_refused_before_the_library_is_called(self):
        with tolvex.Model.load(self.mlp) as m:
            for bad in (np.zeros(4), np.zeros(6), np.zeros((3, 4)), np.zeros((2, 3, 5)), np.float32(1)):
                with self.assertRaisesRegex(ValueError, "the model takes a vector of 5"):
                    m.run(bad)

    def test_models_load_from_bytes_as_from_their_files(self):
        x = np.linspace(-2, 2, 15, dtype=np.float32).reshape(3, 5)
        with tolvex.Model.load(self.mlp) as m:
            want = m.run(x)
            json_path = os.path.join(self.dir, "mlp.json")
            m.write(json_path)
        with open(json_path, "rb") as f:
            json_bytes = f.read()
        for data, fmt in ((self.mlp_bytes, None), (bytearray(self.mlp_bytes), "tvxf"),
                          (memoryview(self.mlp_bytes), None), (json_bytes, None), (json_bytes, "json")):
            with tolvex.Model.from_bytes(data, fmt) as back:
                self.assertEqual(back.run(x).tobytes(), want.tobytes())
        for data, fmt, name in ((self.mlp_bytes[:30], None, "EndOfStream"), (b"", "tvxf", "EndOfStream"),
                                (b"", None, "UnexpectedEndOfInput"), (json_bytes + b"x", None, "SyntaxError"),
                                (self.mlp_bytes, "json", "SyntaxError")):
            with self.assertRaises(tolvex.TolvexError) as cm:
                tolvex.Model.from_bytes(data, fmt)
            self.assertEqual(cm.exception.name, name)
        with self.assertRaises(ValueError):
            tolvex.Model.from_bytes(self.mlp_bytes, "onnx")


if __name__ == "__main__":
    unittest.main()
