#!/usr/bin/env python3
"""The PyTorch exporter and the ctypes binding against torch itself.

Random torch.nn.Sequential models of every supported module are exported to
both file formats, loaded through python/tolvex.py and run on random inputs;
tolvex's outputs must lie within a rounding-error bound of torch's.

Why a bound and not equality: tolvex sums every dot product in one fixed
order without fused multiply-add, while torch hands Linear to a BLAS that may
block, reorder and fuse, and uses its own vectorised tanh, exp and layer-norm
moments. Both are valid float32 evaluations of the same real function, so
the test bounds how far any such evaluation can be from the exact value and
allows the two to differ by twice that. The bound is propagated layer by
layer beside a float64 evaluation (running error analysis, first order),
with u = 2^-24 and gamma(k) = k u / (1 - k u):

  Linear, k inputs:  e' = |W| e + gamma(k+1) (|W| |x| + |b|)
                     (holds for every summation order, with or without FMA)
  ReLU, ReLU6, Hardtanh:  e' = e             (exact, 1-Lipschitz)
  LeakyReLU(s):      e' = max(1,|s|) e + u |y|
  Tanh:              e' = e + 8 u |y|        (a few ulp for the library tanh)
  Sigmoid:           e' = e / 4 + 8 u |y|
  ELU(a):            e' = max(1,a) e + 8 a u + 2 u |y|
  LayerNorm, n elements, sd = sqrt(var + eps), z = (x - mean) / sd:
                     e'_i = |w_i| (2 + |z_i|) max(e) / sd       (the Jacobian's row sums)
                          + |w_i| (gamma(n) mean|x| / sd + (n + 4) u |z_i|) + 2 u |y_i|

Torch and tolvex then differ by at most 2 e; the test allows 4 e (the factor
2 covers the neglected second-order terms) plus 2^-126 for underflow. The
bound is tight enough to matter: the last test shows that a single weight
changed in its fourth significant digit is caught.

Exits with 77 (skipped) when torch or numpy is missing, unless
TOLVEX_REQUIRE_TORCH is set.
"""

import os
import re
import subprocess
import sys
import tempfile
import unittest

try:
    import numpy as np
    import torch
    import torch.nn as nn
except ImportError as e:
    if os.environ.get("TOLVEX_REQUIRE_TORCH"):
        raise
    print("skipped: %s (install python3-torch and python3-numpy)" % e)
    sys.exit(77)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "python"), os.path.join(ROOT, "tools")]
import export_torch  # noqa: E402
import tolvex  # noqa: E402

U = 2.0 ** -24


def gamma(k):
    return k * U / (1 - k * U)


def f32(v):
    """A scalar parameter as the float32 model holds it."""
    return float(np.float32(v))


def error_bound(model, x):
    """Float64 outputs and the per-element error bound of one float32 evaluation."""
    y = torch.tensor(x, dtype=torch.float64)
    e = torch.zeros_like(y)
    for m in model:
        t = type(m)
        x64 = y
        if t is nn.Linear:
            W = m.weight.detach().double()
            b = m.bias.detach().double() if m.bias is not None else torch.zeros(W.shape[0], dtype=torch.float64)
            y = x64 @ W.T + b
            e = e @ W.abs().T + gamma(W.shape[1] + 1) * ((x64.abs() + e) @ W.abs().T + b.abs())
        elif t is nn.LayerNorm:
            n = x64.shape[1]
            mean = x64.mean(dim=1, keepdim=True)
            sd = torch.sqrt(((x64 - mean) ** 2).mean(dim=1, keepdim=True) + f32(m.eps))
            z = (x64 - mean) / sd
            w = m.weight.detach().double().abs() if m.elementwise_affine else torch.ones(n, dtype=torch.float64)
            b = m.bias.detach().double() if m.elementwise_affine else torch.zeros(n, dtype=torch.float64)
            y = z * (m.weight.detach().double() if m.elementwise_affine else 1.0) + b
            propagated = w * (2 + z.abs()) * e.max(dim=1, keepdim=True).values / sd
            rounding = w * (gamma(n) * x64.abs().mean(dim=1, keepdim=True) / sd + (n + 4) * U * z.abs())
            e = propagated + rounding + 2 * U * y.abs()
        elif t in (nn.ReLU, nn.ReLU6, nn.Hardtanh):
            # exact, and 1-Lipschitz; the bounds as float32, as the model holds them
            lo, hi = (0.0, None) if t is nn.ReLU else (f32(m.min_val), f32(m.max_val))
            y = x64.clamp(min=lo, max=hi)
        elif t is nn.LeakyReLU:
            s = f32(m.negative_slope)
            y = torch.where(x64 >= 0, x64, x64 * s)
            e = max(1.0, abs(s)) * e + U * y.abs()
        elif t is nn.Tanh:
            y = torch.tanh(x64)
            e = e + 8 * U * y.abs()
        elif t is nn.Sigmoid:
            y = torch.sigmoid(x64)
            e = e / 4 + 8 * U * y.abs()
        elif t is nn.ELU:
            a = f32(m.alpha)
            y = torch.where(x64 > 0, x64, a * torch.expm1(x64))
            e = max(1.0, a) * e + 8 * a * U + 2 * U * y.abs()
        else:
            raise AssertionError("no bound for %s" % t.__name__)
    return y.numpy(), e.numpy()


def randomize(model, rng):
    """Torch initialises LayerNorm to ones and zeros; give it real values."""
    with torch.no_grad():
        for m in model:
            if type(m) is nn.LayerNorm and m.elementwise_affine:
                m.weight.copy_(torch.tensor(rng.uniform(-2, 2, m.weight.shape)))
                m.bias.copy_(torch.tensor(rng.uniform(-1, 1, m.bias.shape)))
    return model


def random_model(rng):
    """A Sequential of 2 to 7 random supported modules around Linear layers."""
    size = int(rng.integers(1, 40))
    first = size
    mods = []
    for _ in range(int(rng.integers(2, 8))):
        kind = rng.choice(["Linear", "Linear", "LayerNorm", "ReLU", "ReLU6", "Tanh", "Sigmoid", "ELU",
                           "LeakyReLU", "Hardtanh"])
        if kind == "Linear":
            out = int(rng.integers(1, 70))
            mods.append(nn.Linear(size, out, bias=bool(rng.random() < 0.8)))
            size = out
        elif kind == "LayerNorm":
            mods.append(nn.LayerNorm(size, eps=float(rng.choice([1e-5, 1e-3])),
                                     elementwise_affine=bool(rng.random() < 0.7)))
        elif kind == "ELU":
            mods.append(nn.ELU(alpha=float(rng.uniform(0.1, 2.0))))
        elif kind == "LeakyReLU":
            mods.append(nn.LeakyReLU(negative_slope=float(rng.uniform(0.001, 0.5))))
        elif kind == "Hardtanh":
            lo = float(rng.uniform(-3, 0))
            mods.append(nn.Hardtanh(lo, lo + float(rng.uniform(0.1, 4))))
        else:
            mods.append(getattr(nn, kind)())
    return randomize(nn.Sequential(*mods), rng), first


# Hand-picked models: every module at least once, tile-crossing widths
# (16, 17, 33, 64), activations first and last, LayerNorm with and without
# its affine part.
def fixed_models():
    return [
        (nn.Sequential(nn.Linear(7, 33), nn.ReLU(), nn.Linear(33, 17), nn.Tanh(), nn.Linear(17, 5), nn.Sigmoid()), 7),
        (nn.Sequential(nn.LayerNorm(9), nn.Linear(9, 40), nn.LeakyReLU(0.2), nn.Linear(40, 3), nn.ReLU6()), 9),
        (nn.Sequential(nn.Linear(16, 16), nn.ELU(0.7), nn.LayerNorm(16, elementwise_affine=False),
                       nn.Hardtanh(-0.5, 0.75)), 16),
        (nn.Sequential(nn.Tanh(), nn.Linear(5, 64), nn.LayerNorm(64), nn.ELU(), nn.Linear(64, 1)), 5),
        (nn.Sequential(nn.Sigmoid(), nn.ReLU6(), nn.LeakyReLU()), 3),
    ]


class ExporterMatchesTorch(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        torch.manual_seed(1)
        self.rng = np.random.default_rng(1)

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def inputs(self, n):
        scale = self.rng.choice([0.1, 1.0, 4.0], size=(24, 1))
        x = (self.rng.standard_normal((24, n)) * scale).astype(np.float32)
        return np.concatenate([x, np.zeros((1, n), np.float32)])

    def check(self, model, n, label):
        model.eval()
        x = self.inputs(n)
        with torch.no_grad():
            want = model(torch.from_numpy(x)).numpy()
        ref, bound = error_bound(model, x)
        outputs = []
        for ext in ("json", "tvxf"):
            p = self.path("m." + ext)
            export_torch.export(model, p, input_size=n)
            with tolvex.Model.load(p) as m:
                self.assertEqual(m.input_size, n)
                got = m.run(x)
            outputs.append(got)
            tol = 4 * bound + 2.0 ** -126
            diff = np.abs(got.astype(np.float64) - want.astype(np.float64))
            worst = np.unravel_index(np.argmax(diff - tol), diff.shape)
            self.assertTrue(np.all(diff <= tol),
                            "%s (%s): |tolvex - torch| = %g > %g at %s (tolvex %r, torch %r, float64 %r)"
                            % (label, ext, diff[worst], tol[worst], worst, got[worst], want[worst], ref[worst]))
        # Both files hold the same model, so they compute the same bits.
        np.testing.assert_array_equal(outputs[0].view(np.uint32), outputs[1].view(np.uint32))

    def test_fixed_models_cover_every_module(self):
        seen = set()
        for i, (model, n) in enumerate(fixed_models()):
            randomize(model, self.rng)
            seen.update(type(m).__name__ for m in model)
            self.check(model, n, "fixed model %d" % i)
        self.assertEqual(seen, set(export_torch.SUPPORTED))

    def test_random_models(self):
        for i in range(12):
            model, n = random_model(self.rng)
            self.check(model, n, "random model %d: %s" % (i, model))

    def test_bound_catches_a_slightly_wrong_weight(self):
        model = nn.Sequential(nn.Linear(8, 24), nn.Tanh(), nn.Linear(24, 4))
        x = self.inputs(8)
        ref, bound = error_bound(model, x)
        p = self.path("m.tvxf")
        with torch.no_grad():
            # What a float16 round trip can do to a weight: change it by 2^-11.
            w = model[2].weight.view(-1)
            w[torch.argmax(w.abs())] *= 1 + 2.0 ** -11
        export_torch.export(model, p)
        with tolvex.Model.load(p) as m:
            got = m.run(x)
        self.assertTrue(np.any(np.abs(got - ref) > 4 * bound + 2.0 ** -126))


class ExporterText(unittest.TestCase):
    def test_files_are_the_library_own_form(self):
        # Written by the exporter, loaded and written again by the library:
        # the same bytes, special values included.
        model = nn.Sequential(nn.Linear(3, 4), nn.LayerNorm(4, eps=1e-5), nn.ELU(0.5), nn.LeakyReLU(0.01),
                              nn.Hardtanh(-6.0, 6.0), nn.Linear(4, 2), nn.ReLU(), nn.ReLU6(), nn.Sigmoid(), nn.Tanh())
        with torch.no_grad():
            w = model[0].weight
            w[0, 0], w[0, 1], w[0, 2] = -0.0, 1e-40, 3.4e38
            w[1, 0], w[1, 1], w[1, 2] = 0.1, 1.0, -2.0
        with tempfile.TemporaryDirectory() as d:
            for ext in ("json", "tvxf"):
                a, b = os.path.join(d, "a." + ext), os.path.join(d, "b." + ext)
                export_torch.export(model, a)
                with tolvex.Model.load(a) as m:
                    m.write(b)
                with open(a, "rb") as fa, open(b, "rb") as fb:
                    self.assertEqual(fa.read(), fb.read(), ext)

    def test_json_numbers(self):
        cases = [(0.5, "0.5"), (-0.25, "-0.25"), (1.0, "1"), (-2.0, "-2"), (100.0, "100"), (0.0, "0"),
                 (-0.0, "-0"), (0.1, "0.10000000149011612"), (1e-5, "0.000009999999747378752"),
                 (3.4e38, "339999995214436420000000000000000000000"), (float("inf"), "inf"),
                 (float("-inf"), "-inf"), (float("nan"), '"nan"'), (-float("nan"), '"-nan"')]
        for v, text in cases:
            self.assertEqual(export_torch.json_number(v), text, v)
        self.assertEqual(export_torch.json_number(np.float32(1.4e-45)), "0." + "0" * 44 + "1401298464324817")

    def test_worked_example(self):
        model = nn.Sequential(nn.Linear(2, 1), nn.ReLU())
        with torch.no_grad():
            model[0].weight.copy_(torch.tensor([[0.5, -0.25]]))
            model[0].bias.copy_(torch.tensor([0.125]))
        n, layers = export_torch.to_layers(model)
        self.assertEqual(export_torch.json_text(n, layers),
                         '{"input_size":2,"layers":[{"type":"linear","size":1,"weight":[[0.5,-0.25]],'
                         '"bias":[0.125]},{"type":"relu","size":1}]}')


class ExporterRefuses(unittest.TestCase):
    def assertRefused(self, model, pattern, input_size=None):
        with tempfile.TemporaryDirectory() as d:
            with self.assertRaisesRegex(export_torch.ExportError, pattern):
                export_torch.export(model, os.path.join(d, "m.json"), input_size)
            self.assertEqual(os.listdir(d), [])  # nothing half-written

    def test_unsupported_modules_are_named(self):
        self.assertRefused(nn.Sequential(nn.Linear(4, 4), nn.Softplus()), r"module 1 \(Softplus\) is not supported")
        self.assertRefused(nn.Sequential(nn.Linear(4, 4), nn.GELU()), r"module 1 \(GELU.*not supported")
        self.assertRefused(nn.Sequential(nn.Linear(4, 4), nn.Softmax(dim=-1)), r"Softmax")
        # Nested: the path, not the whole repr of the outer Sequential.
        self.assertRefused(nn.Sequential(nn.Sequential(nn.Linear(4, 4), nn.GELU())),
                           r"^module 0\.1 \(GELU\) is not supported; supported modules: Linear, ")

    def test_shapes_that_do_not_fit(self):
        self.assertRefused(nn.Sequential(nn.Linear(4, 3), nn.Linear(4, 2)), r"module 1 .* takes 4 inputs but receives 3")
        self.assertRefused(nn.Sequential(nn.Linear(4, 6), nn.LayerNorm([2, 3])), r"normalizes over \(2, 3\)")
        self.assertRefused(nn.Sequential(nn.ReLU(), nn.Tanh()), r"cannot tell the input size")

    def test_unknown_extension(self):
        with self.assertRaisesRegex(export_torch.ExportError, r"unknown extension"):
            export_torch.export(nn.Sequential(nn.Linear(1, 1)), "model.onnx")

    def test_command_line(self):
        with tempfile.TemporaryDirectory() as d:
            pt = os.path.join(d, "m.pt")
            torch.save(nn.Sequential(nn.Linear(3, 2), nn.Softsign()), pt)
            r = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "export_torch.py"), pt,
                                os.path.join(d, "m.json")], capture_output=True, text=True)
            self.assertEqual(r.returncode, 1)
            self.assertIn("module 1 (Softsign) is not supported", r.stderr)
            torch.save(nn.Sequential(nn.Linear(3, 2), nn.Tanh()), pt)
            out = os.path.join(d, "m.tvxf")
            r = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "export_torch.py"), pt, out],
                               capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)
            with tolvex.Model.load(out) as m:
                self.assertEqual((m.input_size, m.output_size), (3, 2))


class Binding(unittest.TestCase):
    def test_errors_carry_code_name_and_path(self):
        with tempfile.TemporaryDirectory() as d:
            missing = os.path.join(d, "missing.json")
            with self.assertRaises(tolvex.TolvexError) as cm:
                tolvex.Model.load(missing)
            self.assertEqual((cm.exception.code, cm.exception.name, cm.exception.path), (8, "FileNotFound", missing))
            with self.assertRaisesRegex(ValueError, "unknown model file extension"):
                tolvex.Model.load(os.path.join(d, "m.onnx"))
            p = os.path.join(d, "m.json")
            export_torch.export(nn.Sequential(nn.Linear(3, 2)), p)
            with tolvex.Model.load(p) as m:
                with self.assertRaisesRegex(ValueError, "takes a vector of 3"):
                    m.run(np.zeros(4, np.float32))
                self.assertEqual(m.run(np.zeros((0, 3))).shape, (0, 2))
            with self.assertRaisesRegex(ValueError, "closed"):
                m.run(np.zeros(3))

    def test_result_names_follow_the_header(self):
        with open(os.path.join(ROOT, "include", "tolvex.h")) as f:
            header = f.read()
        codes = dict((name, int(v)) for name, v in re.findall(r"tolvex_(\w+) = (\d+)", header))
        self.assertEqual(len(codes), len(tolvex.RESULT_NAMES))
        for code, name in enumerate(tolvex.RESULT_NAMES):
            self.assertEqual(codes[name], code)


if __name__ == "__main__":
    torch.set_num_threads(1)
    unittest.main(verbosity=1)
