"""Float64 references and float32 rounding-error bounds for the converter tests.

A network is described as reference steps (built from a torch module by
steps_of, or by hand for graphs that torch cannot express):

  ("linear", W, b)            y = W x + b, W of shape (out, in)
  ("scale", s, c, t)          y = s (x - c) + t, per element (observation
                              normalisation, batch normalisation, Gemm alpha)
  ("relu",) ("relu6",) ("clip", lo, hi) ("leaky", slope) ("tanh",)
  ("sigmoid",) ("elu", alpha) ("layer_norm", w, b, eps)

error_bound() evaluates them in float64 and bounds, element by element, how
far any float32 evaluation of the network can be from the exact value: the
source's (torch's, with its BLAS and its own kernels) and tolvex's, which
sums in another order and folds every scale into the linear layer next to
it, rounding the folded weights once. The bound is propagated layer by layer
(running error analysis, first order), with u = 2^-24 and
gamma(k) = k u / (1 - k u).

Linear maps and scales form runs between the other layers. Within a run a
magnitude m is carried beside the value: a bound on the sum of the absolute
values of every term the exact run adds up (at the start of a run, |x| plus
the error of x). Any float32 evaluation of the run, in any order and with
its weights folded and rounded, is off by at most a few gamma times m,
because rounding an intermediate value or a folded weight is relative to a
term that m already bounds:

  linear, k inputs:  m' = |W| m + |b|             e' = |W| e + gamma(k+4) m'
                     (k+1 roundings of the dot product in any order, with or
                     without FMA, and up to 3 from folded weights and bias)
  scale:             m' = |s| (m + |c|) + |t|     e' = |s| e + gamma(8) m'
                     (torch's x * (w / sqrt(v + eps)) + (b - mean ...) form
                     takes at most 6 roundings, the fold 2)

After a run, m restarts as |y| + e. The other layers:

  ReLU, ReLU6, clip:  e' = e                      (exact, 1-Lipschitz)
  leaky ReLU (s):     e' = max(1,|s|) e + u |y|
  tanh:               e' = e + 8 u |y|            (a few ulp for the library tanh)
  sigmoid:            e' = e / 4 + 8 u |y|
  ELU (a):            e' = max(1,a) e + 8 a u + 2 u |y|
  layer norm, n elements, sd = sqrt(var + eps), z = (x - mean) / sd:
                      e'_i = |w_i| (2 + |z_i|) max(e) / sd       (the Jacobian's row sums)
                           + |w_i| (gamma(n) mean|x| / sd + (n + 4) u |z_i|) + 2 u |y_i|

Two float32 evaluations then differ by at most 2 e; the tests allow 4 e
(the factor 2 covers the neglected second-order terms) plus 2^-126 for
underflow, and 2 e + 2^-126 against the float64 value itself.
"""

import numpy as np
import torch
import torch.nn as nn

U = 2.0 ** -24
TINY = 2.0 ** -126


def gamma(k):
    return k * U / (1 - k * U)


def f32(v):
    """A scalar parameter as the float32 model holds it."""
    return float(np.float32(v))


def _a(t):
    return t.detach().double().cpu().numpy() if torch.is_tensor(t) else np.asarray(t, np.float64)


class Normalize(nn.Module):
    """(x - mean) / std: the observation normalisation an RL policy carries."""

    def __init__(self, mean, std):
        super().__init__()
        self.register_buffer("mean", torch.as_tensor(mean, dtype=torch.float32))
        self.register_buffer("std", torch.as_tensor(std, dtype=torch.float32))

    def forward(self, x):
        return (x - self.mean) / self.std


def steps_of(model):
    """The reference steps of a torch module built from the supported and folded modules."""
    t = type(model)
    if t is nn.Sequential:
        return [s for m in model for s in steps_of(m)]
    if t in (nn.Dropout, nn.Identity, nn.Flatten):
        return []
    if t is Normalize:
        return [("scale", 1.0 / _a(model.std), _a(model.mean), 0.0)]
    if t is nn.Linear:
        b = _a(model.bias) if model.bias is not None else np.zeros(model.out_features)
        return [("linear", _a(model.weight), b)]
    if t is nn.BatchNorm1d:
        s = 1.0 / np.sqrt(_a(model.running_var) + model.eps)
        if model.affine:
            s = s * _a(model.weight)
        return [("scale", s, _a(model.running_mean), _a(model.bias) if model.affine else 0.0)]
    if t is nn.LayerNorm:
        n = model.normalized_shape[0]
        w = _a(model.weight) if model.elementwise_affine else np.ones(n)
        b = _a(model.bias) if model.elementwise_affine else np.zeros(n)
        return [("layer_norm", w, b, f32(model.eps))]
    if t is nn.ReLU:
        return [("relu",)]
    if t is nn.ReLU6:
        return [("relu6",)]
    if t is nn.Hardtanh:
        return [("clip", f32(model.min_val), f32(model.max_val))]
    if t is nn.LeakyReLU:
        return [("leaky", f32(model.negative_slope))]
    if t is nn.Tanh:
        return [("tanh",)]
    if t is nn.Sigmoid:
        return [("sigmoid",)]
    if t is nn.ELU:
        return [("elu", f32(model.alpha))]
    raise AssertionError("no reference for %s" % t.__name__)


def error_bound(steps, x):
    """Float64 outputs and the per-element error bound of one float32 evaluation.

    `steps` is a list of reference steps or a torch module; `x` a batch (rows)."""
    if isinstance(steps, nn.Module):
        steps = steps_of(steps)
    y = np.asarray(x, np.float64)
    e = np.zeros_like(y)
    m = np.abs(y)
    for step in steps:
        kind = step[0]
        if kind == "linear":
            W, b = np.asarray(step[1], np.float64), np.asarray(step[2], np.float64)
            y = y @ W.T + b
            m = m @ np.abs(W).T + np.abs(b)
            e = e @ np.abs(W).T + gamma(W.shape[1] + 4) * m
            continue
        if kind == "scale":
            s, c, t = step[1], step[2], step[3]
            y = s * (y - c) + t
            m = np.abs(s) * (m + np.abs(c)) + np.abs(t)
            e = np.abs(s) * e + gamma(8) * m
            continue
        x64 = y
        if kind == "layer_norm":
            w, b, eps = np.asarray(step[1], np.float64), np.asarray(step[2], np.float64), step[3]
            n = x64.shape[1]
            mean = x64.mean(axis=1, keepdims=True)
            sd = np.sqrt(((x64 - mean) ** 2).mean(axis=1, keepdims=True) + eps)
            z = (x64 - mean) / sd
            y = z * w + b
            propagated = np.abs(w) * (2 + np.abs(z)) * e.max(axis=1, keepdims=True) / sd
            rounding = np.abs(w) * (gamma(n) * np.abs(x64).mean(axis=1, keepdims=True) / sd + (n + 4) * U * np.abs(z))
            e = propagated + rounding + 2 * U * np.abs(y)
        elif kind in ("relu", "relu6", "clip"):
            lo, hi = {"relu": (0.0, None), "relu6": (0.0, 6.0)}.get(kind, step[1:3])
            y = np.clip(x64, lo, hi)
        elif kind == "leaky":
            s = step[1]
            y = np.where(x64 >= 0, x64, x64 * s)
            e = max(1.0, abs(s)) * e + U * np.abs(y)
        elif kind == "tanh":
            y = np.tanh(x64)
            e = e + 8 * U * np.abs(y)
        elif kind == "sigmoid":
            y = 0.5 * (1.0 + np.tanh(0.5 * x64))  # the logistic function, without overflow
            e = e / 4 + 8 * U * np.abs(y)
        elif kind == "elu":
            a = step[1]
            y = np.where(x64 > 0, x64, a * np.expm1(np.minimum(x64, 0)))
            e = max(1.0, a) * e + 8 * a * U + 2 * U * np.abs(y)
        else:
            raise AssertionError("unknown reference step %r" % (kind,))
        m = np.abs(y) + e
    return y, e


def first_violation(got, want, tol):
    """None when |got - want| <= tol everywhere, else a description of the worst element."""
    diff = np.abs(np.asarray(got, np.float64) - np.asarray(want, np.float64))
    if np.all(diff <= tol):
        return None
    worst = np.unravel_index(np.argmax(diff - tol), diff.shape)
    return "|got - want| = %g > %g at %s (got %r, want %r)" % (diff[worst], tol[worst], worst, got[worst], want[worst])
