#!/usr/bin/env python3
"""Export a torch.nn.Sequential to a tolvex model file (.json or .tvxf).

Supported modules, matched by exact type: Linear, LayerNorm (over the last
dimension), ReLU, ReLU6, Tanh, Sigmoid, ELU, LeakyReLU and Hardtanh (written
as a clip layer). Anything else is refused with an error naming the module.

As a library:   export(model, "policy.json")
As a command:   export_torch.py MODULE.pt OUT.json|OUT.tvxf [--input-size N]
where MODULE.pt holds a whole module saved with torch.save(model, path).

The JSON text is the one the library itself writes (no whitespace, every
float as the shortest decimal that reads back as the float widened to double,
never with an exponent), so exporting and then converting with
`tolvex convert` gives the same bytes again.
"""

import argparse
import decimal
import math
import os
import struct
import sys

import numpy as np

SUPPORTED = ("Linear", "LayerNorm", "ReLU", "ReLU6", "Tanh", "Sigmoid", "ELU",
             "LeakyReLU", "Hardtanh")

# Type codes of the binary format, in the library's layer-type order.
TYPE_CODES = {"linear": 0, "layer_norm": 1, "clip": 2, "elu": 3, "relu": 4,
              "relu6": 5, "sigmoid": 6, "tanh": 7, "leaky_relu": 8}


class ExportError(ValueError):
    """A module or a shape that has no tolvex layer."""


class Layer:
    """One tolvex layer: its type name, size and parameters (float32)."""

    def __init__(self, kind, size, weight=None, bias=None, **scalars):
        self.kind = kind
        self.size = size
        self.weight = weight
        self.bias = bias
        self.scalars = {k: np.float32(v) for k, v in scalars.items()}


def _f32(tensor):
    return tensor.detach().cpu().float().numpy().copy()


def _describe(index, module):
    return "module %d (%s)" % (index, repr(module).replace("\n", " "))


def to_layers(model, input_size=None):
    """Translates `model` into (input_size, [Layer]); raises ExportError."""
    import torch.nn as nn

    if type(model) is not nn.Sequential:
        raise ExportError("expected a torch.nn.Sequential, got %s" % type(model).__name__)
    modules = list(model)
    supported = tuple(getattr(nn, name) for name in SUPPORTED)
    for i, m in enumerate(modules):
        if type(m) not in supported:  # exact types: a subclass may compute something else
            raise ExportError("%s is not supported; supported modules: %s"
                              % (_describe(i, m), ", ".join(SUPPORTED)))
    if input_size is None:
        input_size = _infer_input_size(modules)
    size = int(input_size)
    layers = []
    for i, m in enumerate(modules):
        t = type(m)
        if t is nn.Linear:
            if m.in_features != size:
                raise ExportError("%s takes %d inputs but receives %d" % (_describe(i, m), m.in_features, size))
            size = m.out_features
            w = _f32(m.weight)  # (out, in): row n holds neuron n's weights, as tolvex stores them
            b = _f32(m.bias) if m.bias is not None else np.zeros(size, np.float32)
            layers.append(Layer("linear", size, w, b))
        elif t is nn.LayerNorm:
            if tuple(m.normalized_shape) != (size,):
                raise ExportError("%s normalizes over %s; only the last dimension (%d) is supported"
                                  % (_describe(i, m), tuple(m.normalized_shape), size))
            affine = m.elementwise_affine
            w = _f32(m.weight) if affine and m.weight is not None else np.ones(size, np.float32)
            b = _f32(m.bias) if affine and getattr(m, "bias", None) is not None else np.zeros(size, np.float32)
            layers.append(Layer("layer_norm", size, w, b, eps=m.eps))
        elif t is nn.ReLU:
            layers.append(Layer("relu", size))
        elif t is nn.ReLU6:  # a Hardtanh subclass in torch; exact types keep them apart
            layers.append(Layer("relu6", size))
        elif t is nn.Tanh:
            layers.append(Layer("tanh", size))
        elif t is nn.Sigmoid:
            layers.append(Layer("sigmoid", size))
        elif t is nn.ELU:
            layers.append(Layer("elu", size, alpha=m.alpha))
        elif t is nn.LeakyReLU:
            layers.append(Layer("leaky_relu", size, negative_slope=m.negative_slope))
        else:  # nn.Hardtanh, the last of the supported types
            layers.append(Layer("clip", size, min=m.min_val, max=m.max_val))
    return int(input_size), layers


def _infer_input_size(modules):
    import torch.nn as nn

    for m in modules:
        if type(m) is nn.Linear:
            return m.in_features
        if type(m) is nn.LayerNorm and len(m.normalized_shape) == 1:
            return m.normalized_shape[0]
    raise ExportError("cannot tell the input size from the modules; pass input_size")


# ---------------------------------------------------------------------------
# JSON

def json_number(value):
    """The text of one float32 value: positional, shortest for its double."""
    d = float(np.float32(value))
    if math.isnan(d):
        return '"-nan"' if math.copysign(1.0, d) < 0 else '"nan"'
    if math.isinf(d):
        return "-inf" if d < 0 else "inf"
    # repr() gives the shortest digits that read back as d (the nearest such
    # string when several are as short); Decimal re-spells them positionally.
    text = format(decimal.Decimal(repr(d)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def _json_array(values):
    return "[" + ",".join(json_number(v) for v in values) + "]"


def json_text(input_size, layers):
    parts = []
    for layer in layers:
        s = '{"type":"%s","size":%d' % (layer.kind, layer.size)
        if layer.kind == "linear":
            rows = ",".join(_json_array(row) for row in layer.weight)
            s += ',"weight":[%s],"bias":%s' % (rows, _json_array(layer.bias))
        elif layer.kind == "layer_norm":
            s += ',"weight":%s,"bias":%s,"eps":%s' % (
                _json_array(layer.weight), _json_array(layer.bias), json_number(layer.scalars["eps"]))
        for key in ("min", "max", "alpha", "negative_slope"):
            if key in layer.scalars:
                s += ',"%s":%s' % (key, json_number(layer.scalars[key]))
        parts.append(s + "}")
    return '{"input_size":%d,"layers":[%s]}' % (input_size, ",".join(parts))


# ---------------------------------------------------------------------------
# tvxf: 4-byte fields in the host's byte order

def tvxf_bytes(input_size, layers):
    out = [b"tvxf", struct.pack("=II", input_size, len(layers))]

    def floats(a):
        a = np.ascontiguousarray(a, dtype=np.float32).ravel()
        out.append(struct.pack("=I", a.size))
        out.append(a.astype("=f4").tobytes())

    for layer in layers:
        out.append(struct.pack("=II", TYPE_CODES[layer.kind], layer.size))
        if layer.kind == "linear":
            floats(layer.weight)
            floats(layer.bias)
        elif layer.kind == "layer_norm":
            out.append(struct.pack("=f", layer.scalars["eps"]))
            floats(layer.weight)
            floats(layer.bias)
        for key in ("min", "max", "alpha", "negative_slope"):
            if key in layer.scalars:
                out.append(struct.pack("=f", layer.scalars[key]))
    return b"".join(out)


def export(model, path, input_size=None):
    """Writes `model` to `path`; the extension (.json or .tvxf) picks the format."""
    ext = os.path.splitext(path)[1].lower()
    if ext not in (".json", ".tvxf"):
        raise ExportError("%s: unknown extension, use .json or .tvxf" % path)
    n, layers = to_layers(model, input_size)
    if ext == ".json":
        with open(path, "w", encoding="ascii", newline="") as f:
            f.write(json_text(n, layers))
    else:
        with open(path, "wb") as f:
            f.write(tvxf_bytes(n, layers))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("module", help="a whole torch.nn.Sequential saved with torch.save")
    p.add_argument("out", help="output model file, .json or .tvxf")
    p.add_argument("--input-size", type=int, default=None,
                   help="needed only when no Linear or LayerNorm comes before the first other module")
    args = p.parse_args(argv)
    import torch

    model = torch.load(args.module, map_location="cpu")
    try:
        export(model, args.out, args.input_size)
    except ExportError as e:
        print("export_torch: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
