#!/usr/bin/env python3
"""The ONNX importer against torch and against float64 references.

Torch models of every supported and folded module go through
torch.onnx.export at opsets 13 and 17 (which write layer normalization as
elementary nodes and as LayerNormalization respectively), then through
tools/onnx_import.py to both file formats, are loaded through
python/tolvex.py and run on random inputs; tolvex's outputs must lie within
the rounding-error bound of torch's (float32_reference.py). Graphs that torch
does not write (MatMul + Add, Gemm with transB 0 and alpha and beta, Clip
with attributes, LeakyRelu and Elu with their parameters, Reshape and
Flatten, constant folds, ...) are built with onnx.helper and compared with
their float64 value. Every refusal is checked by its whole text.

Exits with 77 (skipped) when torch, numpy or onnx is missing, unless
TOLVEX_REQUIRE_TORCH is set.
"""

import io
import os
import subprocess
import sys
import tempfile
import unittest
import warnings

try:
    import numpy as np
    import onnx
    import torch
    import torch.nn as nn
    from onnx import TensorProto, helper, numpy_helper
except ImportError as e:
    if os.environ.get("TOLVEX_REQUIRE_TORCH"):
        raise
    print("skipped: %s (install python3-torch, python3-numpy and python3-onnx)" % e)
    sys.exit(77)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "python"), os.path.join(ROOT, "tools")]
import export_torch  # noqa: E402
import onnx_import  # noqa: E402
import tolvex  # noqa: E402
from float32_reference import TINY, Normalize, error_bound, first_violation  # noqa: E402

FLT_MAX = float(np.finfo(np.float32).max)
TOOL = os.path.join(ROOT, "tools", "onnx_import.py")


def randomize(model, rng):
    """Real values where torch initialises to ones and zeros (LayerNorm, BatchNorm1d)."""
    with torch.no_grad():
        for m in model.modules():
            if type(m) is nn.LayerNorm and m.elementwise_affine:
                m.weight.copy_(torch.tensor(rng.uniform(-2, 2, m.weight.shape)))
                m.bias.copy_(torch.tensor(rng.uniform(-1, 1, m.bias.shape)))
            if type(m) is nn.BatchNorm1d:
                m.running_mean.copy_(torch.tensor(rng.uniform(-2, 2, m.num_features)))
                m.running_var.copy_(torch.tensor(rng.uniform(0.05, 4, m.num_features)))
                m.weight.copy_(torch.tensor(rng.uniform(-2, 2, m.num_features)))
                m.bias.copy_(torch.tensor(rng.uniform(-1, 1, m.num_features)))
    return model.eval()


def torch_to_onnx(model, n, opset, vector=False):
    """The ONNX bytes torch writes for `model`: a batch input [batch, n], or one vector [n]."""
    f = io.BytesIO()
    example = torch.zeros(n) if vector else torch.zeros(2, n)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(model, example, f, opset_version=opset, input_names=["obs"], output_names=["act"],
                          dynamic_axes=None if vector else {"obs": {0: "batch"}, "act": {0: "batch"}})
    return f.getvalue()


def op_types(data):
    return [node.op_type for node in onnx.load_from_string(data).graph.node]


def graph(nodes, inits=None, shape=("batch", 4), opset=13, inputs=None, outputs=("y",), elem=TensorProto.FLOAT):
    """A model of `nodes` from input x (or `inputs`: [(name, shape)]) to `outputs`; float32
    initializers unless given as int64 arrays."""
    ins = [helper.make_tensor_value_info(name, elem, s) for name, s in (inputs or [("x", shape)])]
    outs = [helper.make_tensor_value_info(name, TensorProto.FLOAT, None) for name in outputs]
    init = [numpy_helper.from_array(v if isinstance(v, np.ndarray) and v.dtype == np.int64
                                    else np.asarray(v, np.float32), name)
            for name, v in (inits or {}).items()]
    return helper.make_model(helper.make_graph(nodes, "g", ins, outs, init),
                             opset_imports=[helper.make_opsetid("", opset)])


def node(op, inputs, outputs, name="", **attrs):
    return helper.make_node(op, inputs, outputs, name=name, **attrs)


class Converting(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.rng = np.random.default_rng(7)
        torch.manual_seed(7)

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def inputs(self, n):
        scale = self.rng.choice([0.1, 1.0, 4.0], size=(24, 1))
        x = (self.rng.standard_normal((24, n)) * scale).astype(np.float32)
        return np.concatenate([x, np.zeros((1, n), np.float32)])

    def convert(self, model, x):
        """Imports `model` (bytes or a ModelProto) to both formats and runs them on x;
        both must compute the same bits."""
        src = self.path("m.onnx")
        with open(src, "wb") as f:
            f.write(model if isinstance(model, bytes) else model.SerializeToString())
        outputs = []
        for ext in ("json", "tvxf"):
            out = self.path("m." + ext)
            onnx_import.convert(src, out)
            with tolvex.Model.load(out) as m:
                self.assertEqual(m.input_size, x.shape[1])
                outputs.append(m.run(x))
        np.testing.assert_array_equal(outputs[0].view(np.uint32), outputs[1].view(np.uint32))
        return outputs[1]

    def against_float64(self, model, steps, n, label=""):
        """Compares the import of a hand-built graph with its float64 value, within 2 e."""
        onnx.checker.check_model(onnx.shape_inference.infer_shapes(model))  # a valid graph, outputs typed
        x = self.inputs(n)
        got = self.convert(model, x)
        want, bound = error_bound(steps, x)
        problem = first_violation(got, want, 2 * bound + TINY)
        self.assertIsNone(problem, "%s: tolvex against float64: %s" % (label, problem))
        return got

    def layers(self, model):
        return onnx_import.to_layers(model)[1]


class FromTorch(Converting):
    def models(self, opset):
        mean, std = self.rng.uniform(-2, 2, 6), self.rng.uniform(0.1, 3, 6)
        models = [
            # Everything at once: a normalised input, BatchNorm1d folded back
            # and forward, every activation, layer norm, the no-ops.
            (nn.Sequential(Normalize(mean, std), nn.Linear(6, 20), nn.BatchNorm1d(20), nn.ELU(0.4), nn.Dropout(0.3),
                           nn.LayerNorm(20, eps=1e-3), nn.Flatten(), nn.LeakyReLU(0.2), nn.BatchNorm1d(20),
                           nn.Linear(20, 17), nn.Hardtanh(-0.7, 0.8), nn.Identity(), nn.Linear(17, 33), nn.ReLU6(),
                           nn.Linear(33, 3), nn.Sigmoid()), 6),
            (nn.Sequential(nn.Linear(16, 33), nn.Tanh(), nn.Linear(33, 16), nn.ReLU(), nn.Linear(16, 4)), 16),
            (nn.Sequential(nn.LayerNorm(9), nn.Linear(9, 5), nn.ELU(), nn.Tanh()), 9),
            (nn.Sequential(nn.BatchNorm1d(5), nn.Linear(5, 64), nn.LeakyReLU(), nn.Linear(64, 1)), 5),
        ]
        if opset < 17:  # torch 1.13 cannot write LayerNormalization without its scale
            models.append((nn.Sequential(nn.Linear(5, 8), nn.LayerNorm(8, elementwise_affine=False), nn.ReLU(),
                                         nn.Linear(8, 2)), 5))
        return [(randomize(m, self.rng), n) for m, n in models]

    def check(self, model, n, opset, label, vector=False):
        data = torch_to_onnx(model, n, opset, vector)
        x = self.inputs(n)
        with torch.no_grad():
            want = model(torch.from_numpy(x)).numpy()
        got = self.convert(data, x)
        _, bound = error_bound(model, x)
        problem = first_violation(got, want, 4 * bound + TINY)
        self.assertIsNone(problem, "%s: tolvex against torch: %s" % (label, problem))
        return data

    def test_every_module_at_opsets_13_and_17(self):
        for opset in (13, 17):
            seen = set()
            for i, (model, n) in enumerate(self.models(opset)):
                seen.update(op_types(self.check(model, n, opset, "opset %d, model %d" % (opset, i))))
            # What this test relies on torch to write.
            norm = {"ReduceMean", "Pow", "Sqrt"} if opset == 13 else {"LayerNormalization"}
            self.assertLessEqual({"Gemm", "BatchNormalization", "Sub", "Div", "Elu", "LeakyRelu", "Clip", "Relu",
                                  "Tanh", "Sigmoid", "Flatten"} | norm, seen, opset)
            # Folded away: only linear layers and the non-linear ones remain.
            model, _ = self.models(opset)[0]
            kinds = [layer.kind for layer in self.layers(onnx.load_from_string(torch_to_onnx(model, 6, opset)))]
            self.assertEqual(kinds, ["linear", "elu", "layer_norm", "leaky_relu", "linear", "clip", "linear",
                                     "clip", "linear", "sigmoid"])

    def test_random_models(self):
        for opset in (13, 17):
            for i in range(6):
                size = int(self.rng.integers(1, 30))
                first, mods = size, []
                for _ in range(int(self.rng.integers(2, 7))):
                    kind = self.rng.choice(["Linear", "Linear", "LayerNorm", "BatchNorm1d", "ReLU", "Tanh",
                                            "Sigmoid", "ELU", "LeakyReLU", "Hardtanh", "Dropout"])
                    if kind == "Linear":
                        out = int(self.rng.integers(1, 50))
                        mods.append(nn.Linear(size, out, bias=bool(self.rng.random() < 0.8)))
                        size = out
                    elif kind == "LayerNorm":
                        mods.append(nn.LayerNorm(size, eps=float(self.rng.choice([1e-5, 1e-3]))))
                    elif kind == "BatchNorm1d":
                        mods += [nn.BatchNorm1d(size), nn.Linear(size, size)]
                    elif kind == "ELU":
                        mods.append(nn.ELU(float(self.rng.uniform(0.1, 2.0))))
                    elif kind == "LeakyReLU":
                        mods.append(nn.LeakyReLU(float(self.rng.uniform(0.001, 0.5))))
                    elif kind == "Hardtanh":
                        lo = float(self.rng.uniform(-3, 0))
                        mods.append(nn.Hardtanh(lo, lo + float(self.rng.uniform(0.1, 4))))
                    else:
                        mods.append(getattr(nn, kind)())
                model = randomize(nn.Sequential(*mods), self.rng)
                self.check(model, first, opset, "opset %d, random model %d: %s" % (opset, i, model))

    def test_a_single_vector_gives_matmul_and_add(self):
        model = randomize(nn.Sequential(nn.Linear(7, 9), nn.Tanh(), nn.Linear(9, 2)), self.rng)
        data = self.check(model, 7, 13, "vector input", vector=True)
        self.assertEqual(op_types(data), ["MatMul", "Add", "Tanh", "MatMul", "Add"])

    def test_nothing_folded_keeps_every_bit(self):
        # No fold: the same bytes as the PyTorch exporter's, from either opset.
        model = randomize(nn.Sequential(nn.Linear(5, 17), nn.LayerNorm(17), nn.ELU(0.3), nn.Linear(17, 3),
                                        nn.LeakyReLU(0.05)), self.rng)
        direct = self.path("direct.tvxf")
        export_torch.export(model, direct)
        with open(direct, "rb") as f:
            want = f.read()
        for opset in (13, 17):
            src, out = self.path("m.onnx"), self.path("m.tvxf")
            with open(src, "wb") as f:
                f.write(torch_to_onnx(model, 5, opset))
            onnx_import.convert(src, out)
            with open(out, "rb") as f:
                self.assertEqual(f.read(), want, opset)


class HandBuilt(Converting):
    def weights(self, *shape):
        return self.rng.uniform(-1, 1, shape).astype(np.float32)

    def test_matmul_add_and_gemm_forms(self):
        w1, b1, b2, c2, w3 = self.weights(5, 7), self.weights(7), self.weights(7, 3), self.weights(1, 3), self.weights(2, 3)
        m = graph([node("MatMul", ["x", "w1"], ["a"]), node("Add", ["b1", "a"], ["h"]), node("Relu", ["h"], ["r"]),
                   node("Gemm", ["r", "b2", "c2"], ["g"], alpha=0.3, beta=-1.5),
                   node("Gemm", ["g", "w3"], ["y"], transB=1)],
                  {"w1": w1, "b1": b1, "b2": b2, "c2": c2, "w3": w3}, shape=("batch", 5))
        steps = [("linear", w1.T, b1), ("relu",), ("linear", 0.3 * b2.T.astype(np.float64), -1.5 * c2[0].astype(np.float64)),
                 ("linear", w3, np.zeros(2))]
        self.against_float64(m, steps, 5, "MatMul + Add, Gemm")
        self.assertEqual([(l.kind, l.size) for l in self.layers(m)], [("linear", 7), ("relu", 7), ("linear", 3), ("linear", 2)])
        # Without alpha and beta the weights keep their bits, transposed or not.
        m = graph([node("Gemm", ["x", "b2", "c2"], ["y"])], {"b2": b2, "c2": c2}, shape=("batch", 7))
        layer = self.layers(m)[0]
        np.testing.assert_array_equal(layer.weight.view(np.uint32), b2.T.view(np.uint32))
        np.testing.assert_array_equal(layer.bias.view(np.uint32), c2[0].view(np.uint32))

    def test_clip_forms(self):
        w = self.weights(4, 4)
        files = []
        for opset, clip in ((6, node("Clip", ["h"], ["y"], min=-0.25, max=0.5)),
                            (13, node("Clip", ["h", "lo", "hi"], ["y"]))):
            m = graph([node("Gemm", ["x", "w", "zero"], ["h"], transB=1), clip],
                      {"w": w, "zero": np.zeros(4), "lo": np.float32(-0.25), "hi": np.float32(0.5)}, opset=opset)
            self.against_float64(m, [("linear", w, np.zeros(4)), ("clip", -0.25, 0.5)], 4, "Clip at opset %d" % opset)
            files.append(self.layers(m))
        self.assertEqual([(l.kind, l.scalars) for l in files[0]], [(l.kind, l.scalars) for l in files[1]])
        # A missing bound is the float32 extreme, as in ONNX.
        for inputs, lo, hi in ((["h", "lo"], -0.25, FLT_MAX), (["h", "", "hi"], -FLT_MAX, 0.5)):
            m = graph([node("Gemm", ["x", "w"], ["h"], transB=1), node("Clip", inputs, ["y"])],
                      {"w": w, "lo": np.float32(-0.25), "hi": np.float32(0.5)})
            clip = self.layers(m)[1]
            self.assertEqual((clip.kind, float(clip.scalars["min"]), float(clip.scalars["max"])), ("clip", lo, hi))
            self.against_float64(m, [("linear", w, np.zeros(4)), ("clip", lo, hi)], 4, "one bound")

    def test_activation_parameters(self):
        w = self.weights(4, 4)
        nodes = [node("Gemm", ["x", "w"], ["h"], transB=1), node("LeakyRelu", ["h"], ["a"], alpha=0.1),
                 node("LeakyRelu", ["a"], ["b"]), node("Elu", ["b"], ["c"], alpha=0.4), node("Elu", ["c"], ["d"]),
                 node("HardSigmoid", ["d"], ["e"], alpha=1.0, beta=0.0), node("Sigmoid", ["e"], ["y"])]
        m = graph(nodes, {"w": w})
        steps = [("linear", w, np.zeros(4)), ("leaky", float(np.float32(0.1))), ("leaky", float(np.float32(0.01))),
                 ("elu", float(np.float32(0.4))), ("elu", 1.0), ("clip", 0.0, 1.0), ("sigmoid",)]
        self.against_float64(m, steps, 4, "activations")
        self.assertEqual([(l.kind, {k: float(v) for k, v in l.scalars.items()}) for l in self.layers(m)[1:]],
                         [("leaky_relu", {"negative_slope": float(np.float32(0.1))}),
                          ("leaky_relu", {"negative_slope": float(np.float32(0.01))}),
                          ("elu", {"alpha": float(np.float32(0.4))}), ("elu", {"alpha": 1.0}),
                          ("clip", {"min": 0.0, "max": 1.0}), ("sigmoid", {})])

    def test_shape_no_ops(self):
        w = self.weights(3, 6)
        shapes = {"s1": np.array([0, -1], np.int64), "s2": np.array([-1, 6], np.int64),
                  "s3": np.array([1, 6], np.int64), "s4": np.array([-1], np.int64), "r": np.float32(0.5)}
        nodes = [node("Flatten", ["x"], ["f"], axis=1), node("Reshape", ["f", "s1"], ["a"]),
                 node("Identity", ["a"], ["b"]), node("Dropout", ["b", "r"], ["c"]),
                 node("Reshape", ["c", "s2"], ["d"]), node("Gemm", ["d", "w"], ["y"], transB=1)]
        m = graph(nodes, dict(shapes, w=w), shape=("batch", 1, 6))
        self.against_float64(m, [("linear", w, np.zeros(3))], 6, "batch of [1, 6]")
        # One vector without a batch dimension, made a batch of one and back.
        nodes = [node("Reshape", ["x", "s3"], ["a"]), node("Gemm", ["a", "w"], ["g"], transB=1),
                 node("Reshape", ["g", "s4"], ["y"])]
        m = graph(nodes, dict(shapes, w=w), shape=(6,))
        self.against_float64(m, [("linear", w, np.zeros(3))], 6, "one vector")
        # Parameters from Constant nodes and Identity nodes of initializers, as torch writes them.
        nodes = [node("Constant", [], ["wc"], value=numpy_helper.from_array(w)), node("Identity", ["wc"], ["wi"]),
                 node("Gemm", ["x", "wi"], ["y"], transB=1)]
        self.against_float64(graph(nodes, shape=("batch", "n")), [("linear", w, np.zeros(3))], 6, "Constant, Identity")

    def test_constant_folds(self):
        mean, std, gain, offset = self.weights(5), self.rng.uniform(0.1, 2, 5), self.weights(5), np.float32(0.75)
        w, b, c = self.weights(4, 5), self.weights(4), self.weights(4)
        nodes = [node("Sub", ["x", "mean"], ["a"]), node("Div", ["a", "std"], ["q"]), node("Mul", ["gain", "q"], ["d"]),
                 node("Add", ["d", "offset"], ["e"]), node("Gemm", ["e", "w", "b"], ["g"], transB=1),
                 node("Mul", ["g", "two"], ["h"]), node("Sub", ["c", "h"], ["i"]), node("Tanh", ["i"], ["y"])]
        m = graph(nodes, {"mean": mean, "std": std, "gain": gain, "offset": offset, "w": w, "b": b, "two": 2.5,
                          "c": c}, shape=("batch", 5))
        std32 = std.astype(np.float32).astype(np.float64)
        steps = [("scale", 1.0 / std32, mean, 0.0), ("scale", gain, 0.0, offset), ("linear", w, b),
                 ("scale", 2.5, 0.0, 0.0), ("scale", -1.0, 0.0, c), ("tanh",)]
        self.against_float64(m, steps, 5, "folds")
        self.assertEqual([l.kind for l in self.layers(m)], ["linear", "tanh"])
        # Inference batch normalisation after a MatMul, at opset 9.
        bn = [self.weights(4), self.weights(4), self.weights(4), self.rng.uniform(0.1, 2, 4)]
        nodes = [node("MatMul", ["x", "wt"], ["a"]), node("BatchNormalization", ["a", "s", "bb", "m", "v"], ["y"],
                                                          epsilon=1e-3)]
        m = graph(nodes, {"wt": w.T.copy(), "s": bn[0], "bb": bn[1], "m": bn[2], "v": bn[3]}, shape=("batch", 5),
                  opset=9)
        s = bn[0] / np.sqrt(bn[3].astype(np.float32).astype(np.float64) + float(np.float32(1e-3)))
        self.against_float64(m, [("linear", w, np.zeros(4)), ("scale", s, bn[2], bn[1])], 5, "BatchNormalization")

    def test_layer_norm_forms(self):
        w, ln_w, ln_b = self.weights(6, 6), self.weights(6), self.weights(6)
        eps = np.float32(1e-4)
        # LayerNormalization without its bias input.
        m = graph([node("Gemm", ["x", "w"], ["h"], transB=1),
                   node("LayerNormalization", ["h", "lw"], ["y"], epsilon=float(eps))], {"w": w, "lw": ln_w},
                  shape=("batch", 6), opset=17)
        self.against_float64(m, [("linear", w, np.zeros(6)), ("layer_norm", ln_w, np.zeros(6), float(eps))], 6, "LN")
        # Written out, squaring by Mul, with a shift but no scale after it.
        nodes = [node("Gemm", ["x", "w"], ["h"], transB=1), node("ReduceMean", ["h"], ["m"], axes=[-1]),
                 node("Sub", ["h", "m"], ["d"]), node("Mul", ["d", "d"], ["sq"]),
                 node("ReduceMean", ["sq"], ["v"], axes=[1]), node("Add", ["eps", "v"], ["ve"]),
                 node("Sqrt", ["ve"], ["sd"]), node("Div", ["d", "sd"], ["z"]), node("Add", ["z", "lb"], ["y"])]
        m = graph(nodes, {"w": w, "eps": eps, "lb": ln_b}, shape=("batch", 6))
        self.against_float64(m, [("linear", w, np.zeros(6)), ("layer_norm", np.ones(6), ln_b, float(eps))], 6, "LN nodes")
        ln = self.layers(m)[1]
        self.assertEqual((ln.kind, ln.size, float(ln.scalars["eps"])), ("layer_norm", 6, float(eps)))
        np.testing.assert_array_equal(ln.bias.view(np.uint32), ln_b.view(np.uint32))


class Refusals(unittest.TestCase):
    """Each refusal by its whole text; nothing is written."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.tmp.cleanup()

    def refused(self, model, message, out="m.tvxf"):
        src = os.path.join(self.tmp.name, "m.onnx")
        with open(src, "wb") as f:
            f.write(model.SerializeToString())
        with self.assertRaises(onnx_import.ModelError) as cm:
            onnx_import.convert(src, os.path.join(self.tmp.name, out))
        self.assertEqual(str(cm.exception), message)
        self.assertEqual(os.listdir(self.tmp.name), ["m.onnx"])

    def test_unsupported_ops_list_what_is(self):
        supported = ("supported: Gemm, MatMul (+ Add), Relu, Tanh, Sigmoid, Elu, LeakyRelu, Clip, "
                     "LayerNormalization (also as ReduceMean, Sub, Pow, ReduceMean, Add, Sqrt, Div), "
                     "HardSigmoid with alpha 1 and beta 0; folded: Identity, Dropout, Flatten and Reshape "
                     "of the vector, BatchNormalization, Add, Sub, Mul and Div by a constant")
        self.refused(graph([node("Relu", ["x"], ["r"], "act"), node("Softplus", ["r"], ["y"], "soft")]),
                     "node 1 'soft' (Softplus) is not supported; " + supported)
        self.refused(graph([node("Softmax", ["x"], ["y"])]), "node 0 (Softmax) is not supported; " + supported)
        m = graph([node("FastGelu", ["x"], ["y"], "fg")])
        m.graph.node[0].domain = "com.microsoft"
        self.refused(m, "node 0 'fg' (com.microsoft.FastGelu) is not supported; " + supported)
        self.refused(graph([node("HardSigmoid", ["x"], ["y"], "hs")]),
                     "node 0 'hs' (HardSigmoid) with alpha 0.2 and beta 0.5 is not a tolvex layer (only alpha 1 and "
                     "beta 0, a clip to [0, 1], is)")

    def test_graphs_that_are_not_one_chain(self):
        w = np.ones((4, 4), np.float32)
        self.refused(graph([node("Add", ["x", "z"], ["y"])], inputs=[("x", [1, 4]), ("z", [1, 4])]),
                     "the graph has 2 inputs (x, z); only a graph with one input can be imported")
        self.refused(graph([node("Relu", ["x"], ["a"]), node("Tanh", ["a"], ["b"])], outputs=("a", "b")),
                     "the graph has 2 outputs (a, b); only a graph with one output can be imported")
        self.refused(graph([node("Relu", ["x"], ["y"])], elem=TensorProto.INT64),
                     "input 'x' is not a float tensor; only float input is supported")
        self.refused(graph([node("Relu", ["x"], ["y"])], shape=()), "input 'x' is a scalar; a vector is needed")
        self.refused(graph([node("Gemm", ["x", "w"], ["h"], "g", transB=1), node("Add", ["x", "h"], ["y"], "res")],
                           {"w": w}),
                     "value 'x' feeds 2 nodes (node 0 'g' (Gemm), node 1 'res' (Add)); only a single chain, or the "
                     "nodes of a layer normalization, can be imported")
        # Almost a layer normalization: the square is a cube.
        self.refused(graph([node("ReduceMean", ["x"], ["m"], "m1", axes=[-1]), node("Sub", ["x", "m"], ["d"], "s"),
                            node("Pow", ["d", "three"], ["p"]), node("ReduceMean", ["p"], ["v"], axes=[-1]),
                            node("Sqrt", ["v"], ["sd"]), node("Div", ["d", "sd"], ["y"])], {"three": 3.0}),
                     "value 'x' feeds 2 nodes (node 0 'm1' (ReduceMean), node 1 's' (Sub)); only a single chain, or "
                     "the nodes of a layer normalization, can be imported")
        self.refused(graph([node("Mul", ["x", "x"], ["y"], "sq")]),
                     "node 0 'sq' (Mul) takes the vector more than once; only one use per node can be imported")
        self.refused(graph([node("Relu", ["x"], ["y"]), node("Tanh", ["y"], ["z"], "t")]),
                     "the graph's output 'y' also feeds node 1 't' (Tanh); only a single chain can be imported")
        self.refused(graph([node("Relu", ["x"], ["y"]), node("Relu", ["c"], ["unused"], "dead")], {"c": 1.0}),
                     "node 1 'dead' (Relu) does not lie on the chain from the input to the output")
        self.refused(graph([node("Dropout", ["x"], ["y", "mask"], "drop"), node("Not", ["mask"], ["n"])]),
                     "node 0 'drop' (Dropout): its output 'mask' is used; only the first output of a node can be")
        self.refused(graph([node("Identity", ["x"], ["y"])]),
                     "the network has no layer left to write (it is empty, or everything in it folded away)")

    def test_linear_forms_that_do_not_fit(self):
        w = np.ones((4, 4), np.float32)
        self.refused(graph([node("Gemm", ["x", "w"], ["y"], "g", transA=1)], {"w": w}),
                     "node 0 'g' (Gemm): only the vector as A, untransposed (transA 0), can be imported")
        self.refused(graph([node("Cast", ["w"], ["w_cast"], to=TensorProto.FLOAT), node("Gemm", ["x", "w_cast"], ["y"], "g")],
                           {"w": w}), "node 1 'g' (Gemm): its weight B 'w_cast' is not a constant")
        self.refused(graph([node("Gemm", ["x", "w"], ["y"], "g")], {"w": w}, shape=("batch", 1, 4)),
                     "node 0 'g' (Gemm): its input has 3 dimensions; Gemm takes 2")
        self.refused(graph([node("Gemm", ["x", "w", "c"], ["y"], "g")], {"w": w, "c": np.ones(3)}),
                     "node 0 'g' (Gemm): its bias C of shape (3,) does not broadcast to 4 outputs")
        self.refused(graph([node("Cast", ["c"], ["c_cast"], to=TensorProto.FLOAT),
                            node("Gemm", ["x", "w", "c_cast"], ["y"], "g")], {"w": w, "c": np.ones(4)}),
                     "node 1 'g' (Gemm): its bias C 'c_cast' is not a constant")
        self.refused(graph([node("Gemm", ["x", "w"], ["y"], "g", alpha=1e30)], {"w": np.full((4, 4), 1e30, np.float32)}),
                     "node 0 'g' (Gemm) has a weight or bias beyond the float32 range")
        self.refused(graph([node("MatMul", ["w", "x"], ["y"], "mm")], {"w": w}),
                     "node 0 'mm' (MatMul) multiplies a constant by the vector from the left; only vector @ matrix "
                     "can be imported")
        self.refused(graph([node("Gemm", ["x", "w"], ["h"], "g1"), node("Gemm", ["h", "w5"], ["y"], "g2", transB=1)],
                           {"w": np.ones((4, 3), np.float32), "w5": np.ones((2, 5), np.float32)}),
                     "node 1 'g2' (Gemm) takes 5 inputs but receives 3")

    def test_folds_that_do_not_fit(self):
        w = np.ones((4, 4), np.float32)
        self.refused(graph([node("Div", ["c", "x"], ["y"], "d")], {"c": 2.0}),
                     "node 0 'd' (Div) divides by the vector; only division by a constant can be folded")
        self.refused(graph([node("Div", ["x", "c"], ["a"], "d"), node("Gemm", ["a", "w"], ["y"])],
                           {"c": np.array([1, 0, 1, 1], np.float32), "w": w}), "node 0 'd' (Div) divides by zero")
        self.refused(graph([node("Add", ["x", "c"], ["a"], "a"), node("Gemm", ["a", "w"], ["y"])],
                           {"c": np.ones(3), "w": w}),
                     "node 0 'a' (Add): its constant of shape (3,) does not broadcast along a vector of 4")
        self.refused(graph([node("Gemm", ["x", "w"], ["h"]), node("Tanh", ["h"], ["t"]),
                            node("Mul", ["t", "c"], ["y"], "scale")], {"w": w, "c": 2.0}),
                     "node 2 'scale' (Mul) is a constant per-element scale or shift with no linear layer next to it "
                     "to fold into")
        self.refused(graph([node("Gemm", ["x", "w"], ["h"], "g"), node("Mul", ["h", "c"], ["y"], "m")],
                           {"w": np.full((4, 4), 1e30, np.float32), "c": 1e30}),
                     "folding node 1 'm' (Mul) into node 0 'g' (Gemm) gives a weight or bias beyond the float32 range")
        bn = {k: np.ones(4, np.float32) for k in ("s", "b", "m", "v")}
        self.refused(graph([node("Gemm", ["x", "w"], ["h"]),
                            node("BatchNormalization", ["h", "s", "b", "m", "v"], ["y"], "bn", training_mode=1)],
                           dict(bn, w=w), opset=15),
                     "node 1 'bn' (BatchNormalization) is in training mode; only its inference form can be imported")
        self.refused(graph([node("BatchNormalization", ["x", "s", "b", "m", "v"], ["y"], "bn")], bn,
                           shape=("batch", 4, 1)),
                     "node 0 'bn' (BatchNormalization): its input has 3 dimensions; only a batch of vectors (2) can "
                     "be folded")
        self.refused(graph([node("Gemm", ["x", "w"], ["h"]), node("Dropout", ["h", "", "t"], ["y"], "drop")],
                           {"w": w, "t": np.array(True)}),
                     "node 1 'drop' (Dropout) may be in training mode; only its inference form can be imported")

    def test_shapes_that_do_not_fit(self):
        self.refused(graph([node("Flatten", ["x"], ["y"], "f", axis=0)]),
                     "node 0 'f' (Flatten) with axis 0 changes the vector of shape [?, 4]; only a Flatten that "
                     "keeps it whole can be folded")
        for target in ([-1], [-1, 2]):
            self.refused(graph([node("Reshape", ["x", "s"], ["y"], "r")], {"s": np.array(target, np.int64)}),
                         "node 0 'r' (Reshape) reshapes the vector of shape [?, 4] to %s; only a Reshape that keeps "
                         "it whole in the last dimension can be folded" % target)
        self.refused(graph([node("Cast", ["c"], ["b"], to=TensorProto.FLOAT),
                            node("LayerNormalization", ["x", "s", "b"], ["y"], "ln")], {"s": np.ones(4), "c": np.ones(4)},
                           opset=17), "node 1 'ln' (LayerNormalization): its bias 'b' is not a constant")
        self.refused(graph([node("LayerNormalization", ["x", "s"], ["y"], "ln", axis=0)], {"s": np.ones(4)}, opset=17),
                     "node 0 'ln' (LayerNormalization) normalizes from axis 0; only the last axis can be imported")
        self.refused(graph([node("Cast", ["c"], ["lo"], to=TensorProto.FLOAT), node("Clip", ["x", "lo"], ["y"], "clip")],
                           {"c": 0.0}), "node 1 'clip' (Clip): its min 'lo' is not a constant")

    def test_files(self):
        junk = os.path.join(self.tmp.name, "junk.onnx")
        with open(junk, "wb") as f:
            f.write(b"\xff\xff not a model")
        with self.assertRaises(onnx_import.ModelError) as cm:
            onnx_import.convert(junk, os.path.join(self.tmp.name, "m.tvxf"))
        self.assertTrue(str(cm.exception).startswith("cannot read %s: " % junk), str(cm.exception))
        os.unlink(junk)
        self.refused(graph([node("Relu", ["x"], ["y"])]), "%s: unknown extension, use .json or .tvxf"
                     % os.path.join(self.tmp.name, "m.bin"), out="m.bin")
        self.refused(graph([node("Relu", ["x"], ["y"])]), "cannot write %s: No such file or directory"
                     % os.path.join(self.tmp.name, "none", "m.json"), out=os.path.join("none", "m.json"))
        # The library cannot read an infinity back from JSON; tvxf holds it.
        m = graph([node("Gemm", ["x", "w", "c"], ["h"]), node("Clip", ["h"], ["y"], min=float("-inf"), max=1.0)],
                  {"w": np.ones((4, 4), np.float32), "c": np.zeros(4)}, opset=6)
        self.refused(m, "layer 1 (clip) has a non-finite min, which a JSON model file cannot hold; write a .tvxf "
                     "file instead", out="m.json")
        src, out = os.path.join(self.tmp.name, "m.onnx"), os.path.join(self.tmp.name, "m.tvxf")
        onnx_import.convert(src, out)
        with tolvex.Model.load(out) as model:
            np.testing.assert_array_equal(model.run(np.array([-3e38, -3e38, 0, 0], np.float32)), [-np.inf] * 4)


class CommandLine(unittest.TestCase):
    def test_command_and_exit_codes(self):
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        with tempfile.TemporaryDirectory() as d:
            src, out = os.path.join(d, "m.onnx"), os.path.join(d, "m.json")
            onnx.save(graph([node("Gemm", ["x", "w"], ["h"], transB=1), node("Relu", ["h"], ["y"])],
                            {"w": np.array([[0.5, -0.25]], np.float32)}, shape=("batch", 2)), src)
            r = subprocess.run([sys.executable, TOOL, src, out], cwd=d, env=env, capture_output=True, text=True)
            self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
            with open(out) as f:
                self.assertEqual(f.read(), '{"input_size":2,"layers":[{"type":"linear","size":1,"weight":'
                                 '[[0.5,-0.25]],"bias":[0]},{"type":"relu","size":1}]}')
            onnx.save(graph([node("Softsign", ["x"], ["y"], "s")]), src)
            r = subprocess.run([sys.executable, TOOL, src, os.path.join(d, "n.json")], cwd=d, env=env,
                               capture_output=True, text=True)
            self.assertEqual(r.returncode, 1)
            self.assertTrue(r.stderr.startswith("onnx_import: node 0 's' (Softsign) is not supported; supported: "),
                            r.stderr)
            self.assertFalse(os.path.exists(os.path.join(d, "n.json")))
            # Loaded by path from another directory, without PYTHONPATH.
            code = ("import runpy\n"
                    "runpy.run_path(%r)['convert']('m.onnx', 'r.tvxf')\n" % TOOL)
            onnx.save(graph([node("Relu", ["x"], ["y"])]), src)
            r = subprocess.run([sys.executable, "-c", code], cwd=d, env=env, capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)
            with tolvex.Model.load(os.path.join(d, "r.tvxf")) as m:
                np.testing.assert_array_equal(m.run(np.array([-1, 2, -3, 4], np.float32)), [0, 2, 0, 4])


if __name__ == "__main__":
    torch.set_num_threads(1)
    unittest.main(verbosity=1)
