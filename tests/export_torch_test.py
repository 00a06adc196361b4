#!/usr/bin/env python3
"""The PyTorch exporter and the ctypes binding against torch itself.

Random torch.nn.Sequential models of every supported module, and models with
every module the exporter folds away (Dropout, Identity, Flatten, nested
Sequentials, BatchNorm1d, an observation normalisation), eager and as
TorchScript, are exported to both file formats, loaded through
python/tolvex.py and run on random inputs; tolvex's outputs must lie within
a rounding-error bound of torch's.

Why a bound and not equality: tolvex sums every dot product in one fixed
order without fused multiply-add, while torch hands Linear to a BLAS that may
block, reorder and fuse, and uses its own vectorised tanh, exp and layer-norm
moments; folding a scale into a Linear rounds its weights once more. All are
valid float32 evaluations of the same real function, so the test bounds how
far any such evaluation can be from the exact value and allows the two to
differ by twice that. The bound and its derivation are in
float32_reference.py. It is tight enough to matter: one test shows that a
single weight changed in its fourth significant digit is caught.

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
from float32_reference import TINY, Normalize, error_bound, first_violation  # noqa: E402


def randomize(model, rng):
    """Torch initialises LayerNorm and BatchNorm1d to ones and zeros; give them real values."""
    with torch.no_grad():
        for m in model.modules():
            if type(m) is nn.LayerNorm and m.elementwise_affine:
                m.weight.copy_(torch.tensor(rng.uniform(-2, 2, m.weight.shape)))
                m.bias.copy_(torch.tensor(rng.uniform(-1, 1, m.bias.shape)))
            if type(m) is nn.BatchNorm1d:
                m.running_mean.copy_(torch.tensor(rng.uniform(-2, 2, m.num_features)))
                m.running_var.copy_(torch.tensor(rng.uniform(0.05, 4, m.num_features)))
                if m.affine:
                    m.weight.copy_(torch.tensor(rng.uniform(-2, 2, m.num_features)))
                    m.bias.copy_(torch.tensor(rng.uniform(-1, 1, m.num_features)))
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

    def check(self, model, n, label, source=None, **options):
        """Exports `source` (`model` by default) with `options` and compares
        tolvex's outputs with what torch's `model` computes."""
        model.eval()
        x = self.inputs(n)
        with torch.no_grad():
            want = model(torch.from_numpy(x)).numpy()
        ref, bound = error_bound(model, x)
        outputs = []
        for ext in ("json", "tvxf"):
            p = self.path("m." + ext)
            export_torch.export(model if source is None else source, p, input_size=n, **options)
            with tolvex.Model.load(p) as m:
                self.assertEqual(m.input_size, n)
                got = m.run(x)
            outputs.append(got)
            problem = first_violation(got, want, 4 * bound + TINY)
            self.assertIsNone(problem, "%s (%s): tolvex against torch: %s" % (label, ext, problem))
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
        self.assertTrue(np.any(np.abs(got - ref) > 4 * bound + TINY))


    def test_folded_modules(self):
        # BatchNorm1d after a Linear folds back into it, after an activation
        # forward into the next Linear, first in the network into the first.
        models = [
            (nn.Sequential(nn.Linear(6, 20), nn.BatchNorm1d(20), nn.ReLU(), nn.Dropout(0.3), nn.BatchNorm1d(20),
                           nn.Linear(20, 17), nn.Identity(), nn.Tanh(), nn.Flatten(),
                           nn.Sequential(nn.Linear(17, 4), nn.Sequential(nn.ELU(0.3)))), 6, 6),
            (nn.Sequential(nn.BatchNorm1d(5, affine=False), nn.Linear(5, 3)), 5, 1),
            (nn.Sequential(nn.Linear(16, 33), nn.BatchNorm1d(33), nn.LayerNorm(33), nn.Dropout()), 16, 2),
        ]
        seen = set()
        for i, (model, n, layers) in enumerate(models):
            randomize(model, self.rng)
            seen.update(type(m).__name__ for m in model.modules())
            self.check(model, n, "folded model %d" % i)
            self.assertEqual(len(export_torch.to_layers(model.eval())[1]), layers)
        self.assertEqual(seen - set(export_torch.SUPPORTED), set(export_torch.FOLDED))

    def test_observation_normalisation(self):
        mean = self.rng.uniform(-3, 3, 4)
        std = self.rng.uniform(0.05, 5, 4)
        for i, model in enumerate([nn.Sequential(nn.Linear(4, 32), nn.Tanh(), nn.Linear(32, 2)),
                                   randomize(nn.Sequential(nn.BatchNorm1d(4), nn.Linear(4, 3), nn.ReLU()), self.rng)]):
            model.eval()
            normalised = nn.Sequential(Normalize(mean, std), model)
            self.check(normalised, 4, "normalised model %d" % i, source=model, obs_mean=mean, obs_std=std)
        # Either part alone; and the same from module attributes, which the
        # arguments override.
        self.check(nn.Sequential(Normalize(mean, np.ones(4)), model), 4, "mean only", source=model, obs_mean=mean)
        self.check(nn.Sequential(Normalize(np.zeros(4), std), model), 4, "std only", source=model, obs_std=std)
        files = []
        for k, options in enumerate([{"obs_mean": mean, "obs_std": std}, {}, {"obs_mean": mean}]):
            model.obs_mean = torch.tensor(mean if k else -mean)
            model.obs_std = torch.tensor(std)
            files.append(self.path("n%d.tvxf" % k))
            export_torch.export(model, files[-1], **options)
        contents = []
        for f in files:
            with open(f, "rb") as fh:
                contents.append(fh.read())
        self.assertEqual(contents[0], contents[1])
        self.assertEqual(contents[0], contents[2])

    def test_torchscript_gives_the_same_file(self):
        # Scripted modules keep their hyperparameters as attributes, traced
        # ones only in their code; both must give the eager module's bytes.
        model = randomize(nn.Sequential(
            nn.Linear(5, 12), nn.BatchNorm1d(12), nn.ELU(0.4), nn.Dropout(0.2),
            nn.Sequential(nn.LayerNorm(12, eps=1e-3), nn.LeakyReLU(0.15)), nn.Identity(), nn.Flatten(),
            nn.Hardtanh(-0.6, 0.9), nn.Linear(12, 3), nn.ReLU6(), nn.Sigmoid(), nn.Tanh(), nn.ReLU()), self.rng).eval()
        eager = self.path("eager.tvxf")
        export_torch.export(model, eager)
        with open(eager, "rb") as f:
            want = f.read()
        for kind, script in (("script", torch.jit.script(model)), ("trace", torch.jit.trace(model, torch.zeros(2, 5)))):
            saved = self.path(kind + ".pt")
            torch.jit.save(script, saved)
            out = self.path(kind + ".tvxf")
            export_torch.export(export_torch.load_module(saved), out)
            with open(out, "rb") as f:
                self.assertEqual(f.read(), want, kind)

        class Policy(nn.Module):
            def __init__(self):
                super().__init__()
                self.body = nn.Sequential(nn.Linear(5, 8), nn.Tanh())
                self.head = nn.Linear(8, 2)

            def forward(self, x):
                return self.head(self.body(x))

        policy = Policy()
        chain = nn.Sequential(policy.body[0], policy.body[1], policy.head)
        export_torch.export(chain, eager)
        with open(eager, "rb") as f:
            want = f.read()
        for script in (torch.jit.script(policy), torch.jit.trace(policy, torch.zeros(1, 5))):
            export_torch.export(script, self.path("policy.tvxf"))
            with open(self.path("policy.tvxf"), "rb") as f:
                self.assertEqual(f.read(), want)


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


class ExporterExplains(unittest.TestCase):
    """Inputs that are not a chain of modules get one sentence, never a traceback."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.tmp.cleanup()

    def refused(self, model, message, **options):
        out = os.path.join(self.tmp.name, "m.json")
        with self.assertRaises(export_torch.ExportError) as cm:
            export_torch.export(model, out, **options)
        self.assertEqual(str(cm.exception), message)
        self.assertEqual(os.listdir(self.tmp.name), [])  # nothing half-written

    def run_cli(self, *args):
        return subprocess.run([sys.executable, os.path.join(ROOT, "tools", "export_torch.py")] + list(args),
                              capture_output=True, text=True)

    def test_custom_modules_and_state_dicts(self):
        class Policy(nn.Module):
            def __init__(self):
                super().__init__()
                self.a = nn.Linear(3, 3)

            def forward(self, x):
                return x + self.a(x)

        advice = (": pass an nn.Sequential of its layers, or torch.jit.script(model) if forward() only calls its "
                  "submodules one after another, or export it to ONNX and use onnx_import.py")
        self.refused(Policy(), "the model (Policy) is a custom nn.Module, whose forward() the exporter cannot read"
                     + advice)
        self.refused(nn.Sequential(nn.Linear(3, 3), Policy()),
                     "module 1 (Policy) is a custom nn.Module, whose forward() the exporter cannot read" + advice)
        self.refused(torch.jit.script(Policy()), "the model (Policy) is a TorchScript module whose forward() does "
                     "more than call its submodules in turn" + advice)
        self.refused(nn.Sequential(nn.Linear(3, 3)).state_dict(),
                     "got a state_dict, which holds only parameter tensors and not the layers that use them: build "
                     "the network in Python, load_state_dict() into it and export that module")
        self.refused(torch.zeros(3), "expected a torch.nn.Module, got Tensor")

    def test_files_that_hold_no_chain(self):
        d = self.tmp.name
        out = os.path.join(d, "m.json")
        sd = os.path.join(d, "sd.pt")
        torch.save(nn.Sequential(nn.Linear(3, 2)).state_dict(), sd)
        r = self.run_cli(sd, out)
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertEqual(r.stderr, "export_torch: %s holds a state_dict, which has the parameter tensors but not the "
                         "layers that use them: build the network in Python, load_state_dict() into it and export "
                         "that module (or torch.save the whole module)\n" % sd)
        # A whole custom module pickled from a script's __main__ cannot be
        # loaded anywhere else.
        custom = os.path.join(d, "custom.pt")
        subprocess.run([sys.executable, "-c", "import torch, torch.nn as nn\n"
                        "class Policy(nn.Sequential): pass\n"
                        "torch.save(Policy(nn.Linear(3, 2)), %r)" % custom], check=True)
        r = self.run_cli(custom, out)
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertEqual(r.stderr, "export_torch: %s holds a whole custom module (Policy) that only the code defining "
                         "it can load: from that code call export(model, path), or save it with "
                         "torch.jit.save(torch.jit.script(model), path)\n" % custom)
        junk = os.path.join(d, "junk.pt")
        with open(junk, "wb") as f:
            f.write(b"not a model")
        r = self.run_cli(junk, out)
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stderr.startswith("export_torch: cannot read %s: " % junk), r.stderr)
        self.assertNotIn("Traceback", r.stderr)
        self.assertEqual(sorted(os.listdir(d)), ["custom.pt", "junk.pt", "sd.pt"])

    def test_folds_that_do_not_fit(self):
        no_linear = " is a constant per-element scale or shift with no linear layer next to it to fold into"
        self.refused(nn.Sequential(nn.Linear(4, 4), nn.Tanh(), nn.BatchNorm1d(4)).eval(), "module 2 (BatchNorm1d)" + no_linear)
        self.refused(nn.Sequential(nn.LayerNorm(4), nn.Linear(4, 2)), "the observation normalisation "
                     "(obs_mean, obs_std)" + no_linear, obs_mean=np.zeros(4), obs_std=np.ones(4) * 2)
        self.refused(nn.Sequential(nn.Linear(4, 2)), "the observation normalisation (obs_mean, obs_std) holds 3 "
                     "values for a vector of 4", obs_mean=np.ones(3))
        self.refused(nn.Sequential(nn.Linear(4, 2)), "obs_std holds 0 at index 1", obs_std=[1.0, 0.0, 1.0, 1.0])
        self.refused(nn.Sequential(nn.Linear(4, 2)), "obs_mean must be a vector of finite numbers",
                     obs_mean=[0.0, float("nan"), 0.0, 0.0])
        self.refused(nn.Sequential(nn.Linear(4, 4), nn.BatchNorm1d(4, track_running_stats=False)),
                     "module 1 (BatchNorm1d) keeps no running statistics (track_running_stats=False), so it has no "
                     "inference form")
        self.refused(nn.Sequential(nn.Flatten(0), nn.Linear(4, 2)),
                     "module 0 (Flatten) with start_dim 0 and end_dim 1 merges the batch into the vector")
        self.refused(nn.Sequential(nn.Identity(), nn.Dropout()), "the network has no layer left to write (it is "
                     "empty, or everything in it folded away)", input_size=3)
        big = nn.Sequential(nn.Linear(2, 2), nn.BatchNorm1d(2)).eval()
        with torch.no_grad():
            big[0].weight.fill_(1e30)
            big[1].weight.fill_(1e30)
        self.refused(big, "folding module 1 (BatchNorm1d) into module 0 (Linear) gives a weight or bias beyond the "
                     "float32 range")

    def test_json_cannot_hold_infinities(self):
        model = nn.Sequential(nn.Linear(2, 2), nn.Hardtanh(float("-inf"), 1.0))
        self.refused(model, "layer 1 (clip) has a non-finite min, which a JSON model file cannot hold; write a "
                     ".tvxf file instead")
        out = os.path.join(self.tmp.name, "m.tvxf")
        export_torch.export(model, out)
        with tolvex.Model.load(out) as m:
            self.assertEqual(m.run(np.zeros(2, np.float32)).shape, (2,))


class ExporterCommandLine(unittest.TestCase):
    def test_normalisation_from_the_command_line(self):
        with tempfile.TemporaryDirectory() as d:
            model = nn.Sequential(nn.Linear(3, 4), nn.Tanh())
            pt, npy = os.path.join(d, "m.pt"), os.path.join(d, "std.npy")
            torch.save(model, pt)
            np.save(npy, np.array([0.5, 2.0, 4.0]))
            lib, cli = os.path.join(d, "lib.tvxf"), os.path.join(d, "cli.tvxf")
            export_torch.export(model, lib, obs_mean=[0.25, -1.0, 3.0], obs_std=[0.5, 2.0, 4.0])
            r = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "export_torch.py"), pt, cli,
                                "--obs-mean", "0.25,-1,3", "--obs-std", npy], capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(lib, "rb") as a, open(cli, "rb") as b:
                self.assertEqual(a.read(), b.read())

    def test_loaded_by_path_from_anywhere(self):
        # No PYTHONPATH, another working directory: the documented runpy line
        # finds the exporter, and the exporter its companion module.
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        code = ("import runpy, torch.nn as nn\n"
                "export = runpy.run_path(%r)['export']\n"
                "export(nn.Sequential(nn.Linear(1, 1), nn.ReLU()), 'm.json')\n"
                "print(open('m.json').read())" % os.path.join(ROOT, "tools", "export_torch.py"))
        with tempfile.TemporaryDirectory() as d:
            r = subprocess.run([sys.executable, "-c", code], cwd=d, env=env, capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertRegex(r.stdout, r'^\{"input_size":1,"layers":\[\{"type":"linear","size":1,.*"type":"relu"')
            r = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "export_torch.py"), "--help"],
                               cwd=d, env=env, capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)


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
        codes = dict((name, int(v)) for v, name in re.findall(r"X\((\d+), (\w+), \w+\)", header))
        self.assertEqual(len(codes), len(tolvex.RESULT_NAMES))
        for code, name in enumerate(tolvex.RESULT_NAMES):
            self.assertEqual(codes[name], code)


if __name__ == "__main__":
    torch.set_num_threads(1)
    unittest.main(verbosity=1)
