"""What tolvex's model converters share: layers, folding, and the two file formats.

export_torch.py and onnx_import.py describe a network as a list of steps,
in order:

  Dense(weight, bias)   a linear map y = W x + b, one tolvex linear layer;
  Affine(scale, shift)  a per-element y = x * scale + shift with constant
                        scale and shift (an observation normalisation, an
                        inference-mode batch normalisation, a constant Add,
                        Sub, Mul or Div), which has no layer of its own;
  Op(kind, ...)         any other tolvex layer (layer_norm, an activation).

build_layers() turns the steps into tolvex layers: it folds each Affine
into the Dense next to it (the one before it when there is one, else the
one after it) and checks that every size fits; write_model() writes the
layers as a .json or .tvxf file.

Folding is done in float64 on the float32 parameters and rounded once to
float32. The folded layer computes the same real function as the steps it
replaces, but its float32 results round differently: a folded model matches
its source within the float32 error bound, not bit for bit. Layers that have
nothing folded into them keep every parameter's exact bits.

The JSON text is the one the library itself writes (no whitespace, every
float as the shortest decimal that reads back as the float widened to
double, never with an exponent), so converting with `tolvex convert` gives
the same bytes again.
"""

import decimal
import math
import os
import struct

import numpy as np

# Type codes of the binary format, in the library's layer-type order.
TYPE_CODES = {"linear": 0, "layer_norm": 1, "clip": 2, "elu": 3, "relu": 4,
              "relu6": 5, "sigmoid": 6, "tanh": 7, "leaky_relu": 8}


class ModelError(ValueError):
    """A network, a module or a shape that has no tolvex form; the text says which and why."""


class Layer:
    """One tolvex layer: its type name, size and parameters (float32)."""

    def __init__(self, kind, size, weight=None, bias=None, **scalars):
        self.kind = kind
        self.size = size
        self.weight = weight
        self.bias = bias
        self.scalars = {k: np.float32(v) for k, v in scalars.items()}


# ---------------------------------------------------------------------------
# Steps and folding

def _f64(values):
    return np.asarray(values, dtype=np.float64)


class Dense:
    """y = weight @ x + bias; weight is (out, in). `origin` names it in messages."""

    def __init__(self, weight, bias, origin):
        self.weight = _f64(weight)
        self.bias = _f64(bias)
        self.origin = origin
        if self.weight.ndim != 2 or self.bias.shape != (self.weight.shape[0],):
            raise ModelError("%s has weights of shape %s and biases of shape %s"
                             % (origin, self.weight.shape, self.bias.shape))


class Affine:
    """y = x * scale + shift, per element; scale and shift are scalars or vectors."""

    def __init__(self, scale, shift, origin):
        self.scale = _f64(scale).reshape(-1) if np.ndim(scale) else _f64(scale)
        self.shift = _f64(shift).reshape(-1) if np.ndim(shift) else _f64(shift)
        self.origin = origin

    def length(self):
        """The vector length it implies, or None when both parts are scalars."""
        sizes = {a.size for a in (self.scale, self.shift) if a.ndim}
        if len(sizes) > 1:
            raise ModelError("%s has a scale of %d values and a shift of %d"
                             % (self.origin, self.scale.size, self.shift.size))
        return sizes.pop() if sizes else None

    def is_identity(self):
        return bool(np.all(self.scale == 1.0) and np.all(self.shift == 0.0))

    def then(self, other):
        """This step followed by `other`, as one Affine."""
        return Affine(self.scale * other.scale, self.shift * other.scale + other.shift, self.origin)


class Op:
    """A layer that is not linear. layer_norm takes weight, bias and eps; the
    others take their scalars (min, max, alpha, negative_slope)."""

    def __init__(self, kind, origin, weight=None, bias=None, **scalars):
        self.kind = kind
        self.origin = origin
        self.weight = weight
        self.bias = bias
        self.scalars = scalars


def _step_input_size(step):
    if isinstance(step, Dense):
        return step.weight.shape[1]
    if isinstance(step, Affine):
        return step.length()
    if step.weight is not None:
        return len(step.weight)
    return None


def input_size_of(steps):
    """The input size that the first step with a size of its own implies, or None."""
    return next((n for n in map(_step_input_size, steps) if n is not None), None)


def build_layers(steps, input_size=None):
    """Folds the Affine steps and sizes the layers: gives (input_size, [Layer]).

    Raises ModelError for a size that does not fit, an Affine with no Dense
    next to it, a fold that leaves the float32 range, or no layer at all."""
    steps = [s for s in steps if not (isinstance(s, Affine) and s.is_identity())]
    if input_size is None:
        input_size = input_size_of(steps)
        if input_size is None:
            raise ModelError("cannot tell the input size from the network; pass it explicitly")
    size = int(input_size)
    pending = None  # Affine steps waiting for the Dense after them
    dense = []      # [weight, bias, origin, folded origins] of each linear layer, float64 until the end
    layers = []
    after_dense = False
    for step in steps:
        if isinstance(step, Affine):
            n = step.length()
            if n is not None and n != size:
                raise ModelError("%s holds %d values for a vector of %d" % (step.origin, n, size))
            if after_dense:
                w, b, _, folded = dense[-1]
                dense[-1][0] = w * step.scale.reshape(-1, 1) if step.scale.ndim else w * step.scale
                dense[-1][1] = b * step.scale + step.shift
                folded.append(step.origin)
            else:
                pending = step if pending is None else pending.then(step)
        elif isinstance(step, Dense):
            w, b = step.weight, step.bias
            if w.shape[1] != size:
                raise ModelError("%s takes %d inputs but receives %d" % (step.origin, w.shape[1], size))
            folded = []
            if pending is not None:
                # W (s x + t) + b = (W s) x + (W t + b)
                shift = np.broadcast_to(pending.shift, (size,))
                b = w @ shift + b
                w = w * pending.scale
                folded.append(pending.origin)
                pending = None
            dense.append([w, b, step.origin, folded])
            size = w.shape[0]
            layers.append(("dense", len(dense) - 1, size))
            after_dense = True
        else:
            if pending is not None:
                raise ModelError(_unfoldable(pending.origin))
            if step.weight is not None and len(step.weight) != size:
                raise ModelError("%s has %d elements but receives %d" % (step.origin, len(step.weight), size))
            layers.append(("op", step, size))
            after_dense = False
    if pending is not None:
        raise ModelError(_unfoldable(pending.origin))
    if not layers:
        raise ModelError("the network has no layer left to write (it is empty, or everything in it folded away)")
    return int(input_size), [_finish(entry, dense) for entry in layers]


def _unfoldable(origin):
    return ("%s is a constant per-element scale or shift with no linear layer next to it to fold into"
            % origin)


def _finish(entry, dense):
    kind, item, size = entry
    if kind == "op":
        w = None if item.weight is None else np.asarray(item.weight, np.float32)
        b = None if item.bias is None else np.asarray(item.bias, np.float32)
        return Layer(item.kind, size, w, b, **item.scalars)
    w, b, origin, folded = dense[item]
    with np.errstate(over="ignore", invalid="ignore"):
        w32, b32 = w.astype(np.float32), b.astype(np.float32)
    if np.all(np.isfinite(w)) and np.all(np.isfinite(b)) and not (
            np.all(np.isfinite(w32)) and np.all(np.isfinite(b32))):
        if folded:
            raise ModelError("folding %s into %s gives a weight or bias beyond the float32 range"
                             % (" and ".join(folded), origin))
        raise ModelError("%s has a weight or bias beyond the float32 range" % origin)
    return Layer("linear", size, w32, b32)


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


# ---------------------------------------------------------------------------
# Files

def model_format(path):
    """"json" or "tvxf", from the extension of `path`."""
    ext = os.path.splitext(path)[1].lower()
    if ext not in (".json", ".tvxf"):
        raise ModelError("%s: unknown extension, use .json or .tvxf" % path)
    return ext[1:]


def _check_json_finite(layers):
    # The library writes an infinity as a bare inf and a NaN as a string,
    # and its reader rejects both; a file that cannot be loaded is refused here.
    for i, layer in enumerate(layers):
        named = [("weight", layer.weight), ("bias", layer.bias)] + list(layer.scalars.items())
        for name, values in named:
            if values is not None and not np.all(np.isfinite(values)):
                raise ModelError("layer %d (%s) has a non-finite %s, which a JSON model file cannot hold; "
                                 "write a .tvxf file instead" % (i, layer.kind, name))


def write_model(path, input_size, layers):
    """Writes the layers to `path`, .json or .tvxf. The file appears whole or not at all."""
    fmt = model_format(path)
    if fmt == "json":
        _check_json_finite(layers)
        data = json_text(input_size, layers).encode("ascii")
    else:
        data = tvxf_bytes(input_size, layers)
    tmp = "%s.%d.tmp" % (path, os.getpid())
    try:
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
    except OSError as e:
        raise ModelError("cannot write %s: %s" % (path, e.strerror))
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    except BaseException as e:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(e, OSError):
            raise ModelError("cannot write %s: %s" % (path, e.strerror))
        raise
