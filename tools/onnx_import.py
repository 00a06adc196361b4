#!/usr/bin/env python3
"""Import an ONNX graph as a tolvex model file (.json or .tvxf).

The graph must have one float input and one output, joined by a single chain
of nodes (the batch dimensions, if any, lead; the vector is the last
dimension). Parameters must be constants: initializers, Constant nodes, or
Identity nodes of either.

  layers:   Gemm (transB 0 or 1, any alpha and beta), MatMul by a constant
            matrix (with a following Add, the bias), Relu, Tanh, Sigmoid, Elu,
            LeakyRelu, Clip (bounds as attributes or as constant inputs; a
            missing bound is the float32 extreme, as in ONNX),
            LayerNormalization over the last axis, also in the form that
            exporters write below opset 17 (ReduceMean, Sub, Pow 2,
            ReduceMean, Add eps, Sqrt, Div, then an optional Mul and Add by
            constants), and HardSigmoid with alpha 1 and beta 0 (a clip to
            [0, 1]; other HardSigmoids are not a tolvex layer);
  folded:   Identity, Dropout (inference), Flatten and Reshape that keep the
            vector whole, BatchNormalization (inference) and Add, Sub, Mul
            and Div by a constant (an observation normalisation on the input,
            for one): each of the last two kinds is folded into the linear
            layer next to it.

Anything else is refused with the node's position, name and op type and the
list above. Folding is done in float64 and rounded once to float32, so a
folded model matches its source within the float32 error bound, not bit for
bit; a model with nothing to fold keeps every parameter's exact bits.

As a command:
    python3 tools/onnx_import.py MODEL.onnx OUT.json|OUT.tvxf
As a library, from any directory and with no PYTHONPATH set (the module
finds its companion tolvex_model.py next to itself):
    import runpy
    onnx_import = runpy.run_path("/path/to/tolvex/tools/onnx_import.py")
    onnx_import["convert"]("policy.onnx", "policy.tvxf")
The interpreter must have numpy and onnx (Debian's /usr/bin/python3 with
python3-numpy and python3-onnx); torch is not needed.
"""

import argparse
import os
import sys

try:
    import numpy as np
except ImportError:
    if __name__ == "__main__":
        sys.exit("onnx_import: needs numpy and onnx (Debian: python3-numpy and python3-onnx) in this interpreter, %s" % sys.executable)
    raise


# tolvex_model.py lives beside this file: found first, whatever sys.path held.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tolvex_model as _tm  # noqa: E402
ModelError = _tm.ModelError

SUPPORTED = ("Gemm", "MatMul", "Relu", "Tanh", "Sigmoid", "Elu", "LeakyRelu", "Clip",
             "LayerNormalization", "HardSigmoid")
FOLDED = ("Identity", "Dropout", "Flatten", "Reshape", "BatchNormalization", "Add", "Sub", "Mul", "Div")

SUPPORTED_TEXT = ("supported: Gemm, MatMul (+ Add), Relu, Tanh, Sigmoid, Elu, LeakyRelu, Clip, "
                  "LayerNormalization (also as ReduceMean, Sub, Pow, ReduceMean, Add, Sqrt, Div), "
                  "HardSigmoid with alpha 1 and beta 0; folded: Identity, Dropout, Flatten and Reshape "
                  "of the vector, BatchNormalization, Add, Sub, Mul and Div by a constant")

_FLT_MAX = float(np.finfo(np.float32).max)


def _where(index, node):
    op = node.op_type if node.domain in ("", "ai.onnx") else "%s.%s" % (node.domain, node.op_type)
    return "node %d '%s' (%s)" % (index, node.name, op) if node.name else "node %d (%s)" % (index, op)


class _Graph:
    """One walk from the graph's input to its output, collecting tolvex_model steps."""

    def __init__(self, model):
        from onnx import helper, numpy_helper

        self.helper, self.numpy_helper = helper, numpy_helper
        g = model.graph
        self.g = g
        self.nodes = list(g.node)
        self.const = {t.name: numpy_helper.to_array(t) for t in g.initializer}
        self.const_nodes = set()
        for i, node in enumerate(self.nodes):
            if node.op_type == "Constant" and not node.input:
                self.const[node.output[0]] = self._constant_value(i, node)
                self.const_nodes.add(i)
            elif node.op_type == "Identity" and node.input[0] in self.const:
                self.const[node.output[0]] = self.const[node.input[0]]
                self.const_nodes.add(i)
        self.consumers = {}
        for i, node in enumerate(self.nodes):
            if i not in self.const_nodes:
                for name in set(node.input):
                    if name:
                        self.consumers.setdefault(name, []).append(i)
        inputs = [v for v in g.input if v.name not in self.const]
        if len(inputs) != 1:
            raise ModelError("the graph has %d inputs (%s); only a graph with one input can be imported"
                             % (len(inputs), ", ".join(v.name for v in inputs)))
        if len(g.output) != 1:
            raise ModelError("the graph has %d outputs (%s); only a graph with one output can be imported"
                             % (len(g.output), ", ".join(v.name for v in g.output)))
        self.input, self.output = inputs[0], g.output[0].name
        t = self.input.type.tensor_type
        if t.elem_type != 1:  # FLOAT
            raise ModelError("input '%s' is not a float tensor; only float input is supported" % self.input.name)
        if t.HasField("shape"):
            self.shape = [d.dim_value if d.HasField("dim_value") else None for d in t.shape.dim]
        else:
            self.shape = [None, None]
        if not self.shape:
            raise ModelError("input '%s' is a scalar; a vector is needed" % self.input.name)
        self.input_size = self.shape[-1]
        self.visited = set()
        self.steps = []

    # -- helpers ------------------------------------------------------------

    def _constant_value(self, i, node):
        attrs = {a.name: a for a in node.attribute}
        if "value" in attrs:
            return self.numpy_helper.to_array(attrs["value"].t)
        for key in ("value_float", "value_floats", "value_int", "value_ints"):
            if key in attrs:
                return np.array(self.helper.get_attribute_value(attrs[key]))
        raise ModelError("%s holds a kind of constant that cannot be read" % _where(i, node))

    def attrs(self, node):
        return {a.name: self.helper.get_attribute_value(a) for a in node.attribute}

    def constant(self, i, node, k, what):
        name = node.input[k] if k < len(node.input) else ""
        if name not in self.const:
            raise ModelError("%s: its %s%s is not a constant" % (_where(i, node), what, " '%s'" % name if name else ""))
        return np.asarray(self.const[name])

    def optional(self, node, k):
        name = node.input[k] if k < len(node.input) else ""
        return np.asarray(self.const[name]) if name in self.const else None

    def size(self):
        return self.shape[-1]

    def vector_const(self, i, node, value, what):
        """A constant that broadcasts along the vector only: a scalar, or n values in the last dimension."""
        v = np.asarray(value, dtype=np.float64)
        if v.size == 1:
            return v.reshape(())
        n = self.size()
        if v.ndim >= 1 and all(d == 1 for d in v.shape[:-1]) and (n is None or v.shape[-1] == n):
            return v.reshape(-1)
        raise ModelError("%s: its %s of shape %s does not broadcast along a vector of %s"
                         % (_where(i, node), what, tuple(v.shape), n if n is not None else "unknown length"))

    def check_single_output(self, i, node):
        for name in node.output[1:]:
            if name and (name in self.consumers or name == self.output):
                raise ModelError("%s: its output '%s' is used; only the first output of a node can be"
                                 % (_where(i, node), name))

    # -- the walk -----------------------------------------------------------

    def walk(self):
        cur = self.input.name
        while cur != self.output:
            users = self.consumers.get(cur, [])
            if not users:
                raise ModelError("value '%s' feeds no node and is not the graph's output '%s'" % (cur, self.output))
            if len(users) > 1:
                cur = self.layer_norm_pattern(cur, users)
                continue
            i = users[0]
            node = self.nodes[i]
            self.visited.add(i)
            if sum(1 for name in node.input if name == cur) != 1:
                raise ModelError("%s takes the vector more than once; only one use per node can be imported"
                                 % _where(i, node))
            handler = getattr(self, "op_" + node.op_type, None) if node.domain in ("", "ai.onnx") else None
            if handler is None:
                raise ModelError("%s is not supported; %s" % (_where(i, node), SUPPORTED_TEXT))
            self.check_single_output(i, node)
            handler(i, node, cur)
            cur = node.output[0]
        if cur in self.consumers:
            i = self.consumers[cur][0]
            raise ModelError("the graph's output '%s' also feeds %s; only a single chain can be imported"
                             % (cur, _where(i, self.nodes[i])))
        for i, node in enumerate(self.nodes):
            if i not in self.visited and i not in self.const_nodes:
                raise ModelError("%s does not lie on the chain from the input to the output" % _where(i, node))
        return self.steps

    # -- linear maps --------------------------------------------------------

    def op_Gemm(self, i, node, cur):
        a = self.attrs(node)
        if node.input[0] != cur or a.get("transA", 0):
            raise ModelError("%s: only the vector as A, untransposed (transA 0), can be imported" % _where(i, node))
        if len(self.shape) != 2:
            raise ModelError("%s: its input has %d dimensions; Gemm takes 2" % (_where(i, node), len(self.shape)))
        b = self.constant(i, node, 1, "weight B").astype(np.float64)
        if b.ndim != 2:
            raise ModelError("%s: its weight B has %d dimensions" % (_where(i, node), b.ndim))
        w = b if a.get("transB", 0) else b.T
        alpha, beta = a.get("alpha", 1.0), a.get("beta", 1.0)
        if alpha != 1.0:
            w = w * alpha
        bias = np.zeros(w.shape[0])
        if len(node.input) > 2 and node.input[2]:
            c = self.constant(i, node, 2, "bias C").astype(np.float64)
            if not (c.size == 1 or (c.shape[-1] == w.shape[0] and c.size == w.shape[0])):
                raise ModelError("%s: its bias C of shape %s does not broadcast to %d outputs"
                                 % (_where(i, node), tuple(c.shape), w.shape[0]))
            bias = np.broadcast_to(c.reshape(-1) * beta if beta != 1.0 else c.reshape(-1), (w.shape[0],))
        self.steps.append(_tm.Dense(w, bias, _where(i, node)))
        self.shape = [self.shape[0], w.shape[0]]

    def op_MatMul(self, i, node, cur):
        if node.input[0] != cur:
            raise ModelError("%s multiplies a constant by the vector from the left; only vector @ matrix "
                             "can be imported" % _where(i, node))
        b = self.constant(i, node, 1, "matrix").astype(np.float64)
        if b.ndim != 2:
            raise ModelError("%s: its matrix has %d dimensions; only a 2-dimensional one can be imported"
                             % (_where(i, node), b.ndim))
        self.steps.append(_tm.Dense(b.T, np.zeros(b.shape[1]), _where(i, node)))
        self.shape = self.shape[:-1] + [b.shape[1]]

    # -- per-element constants, folded --------------------------------------

    def other_constant(self, i, node, cur):
        k = 1 if node.input[0] == cur else 0
        return k, self.vector_const(i, node, self.constant(i, node, k, "other input"), "constant")

    def op_Add(self, i, node, cur):
        _, c = self.other_constant(i, node, cur)
        self.affine(1.0, c, i, node)

    def op_Sub(self, i, node, cur):
        k, c = self.other_constant(i, node, cur)
        if k == 1:
            self.affine(1.0, -c, i, node)  # x - c
        else:
            self.affine(-1.0, c, i, node)  # c - x

    def op_Mul(self, i, node, cur):
        _, c = self.other_constant(i, node, cur)
        self.affine(c, 0.0, i, node)

    def op_Div(self, i, node, cur):
        if node.input[0] != cur:
            raise ModelError("%s divides by the vector; only division by a constant can be folded" % _where(i, node))
        _, c = self.other_constant(i, node, cur)
        if np.any(c == 0):
            raise ModelError("%s divides by zero" % _where(i, node))
        self.affine(1.0 / c, 0.0, i, node)

    def affine(self, scale, shift, i, node):
        self.steps.append(_tm.Affine(scale, shift, _where(i, node)))
        n = np.size(scale) if np.ndim(scale) else (np.size(shift) if np.ndim(shift) else None)
        if n is not None and self.size() is None:
            self.shape = self.shape[:-1] + [n]

    def op_BatchNormalization(self, i, node, cur):
        a = self.attrs(node)
        if a.get("training_mode", 0):
            raise ModelError("%s is in training mode; only its inference form can be imported" % _where(i, node))
        if len(self.shape) != 2:
            raise ModelError("%s: its input has %d dimensions; only a batch of vectors (2) can be folded"
                             % (_where(i, node), len(self.shape)))
        scale, bias, mean, var = (self.constant(i, node, k, what).astype(np.float64).reshape(-1)
                                  for k, what in ((1, "scale"), (2, "bias"), (3, "mean"), (4, "variance")))
        s = scale / np.sqrt(var + a.get("epsilon", 1e-5))
        self.affine(s, bias - mean * s, i, node)

    # -- shape no-ops -------------------------------------------------------

    def op_Identity(self, i, node, cur):
        pass

    def op_Dropout(self, i, node, cur):
        training = self.optional(node, 2)
        if len(node.input) > 2 and node.input[2] and (training is None or bool(training)):
            raise ModelError("%s may be in training mode; only its inference form can be imported" % _where(i, node))

    def op_Flatten(self, i, node, cur):
        axis = self.attrs(node).get("axis", 1)
        r = len(self.shape)
        axis = axis + r if axis < 0 else axis
        if axis >= r or any(d != 1 for d in self.shape[axis:-1]):
            raise ModelError("%s with axis %d changes the vector of shape %s; only a Flatten that keeps it "
                             "whole can be folded" % (_where(i, node), self.attrs(node).get("axis", 1),
                                                      _shape_text(self.shape)))
        lead = self.shape[:axis]
        self.shape = [int(np.prod(lead)) if None not in lead else None, self.size()]

    def op_Reshape(self, i, node, cur):
        target = [int(d) for d in self.constant(i, node, 1, "shape").reshape(-1)]
        zero_copies = not self.attrs(node).get("allowzero", 0)
        new = [self.shape[k] if d == 0 and zero_copies and k < len(self.shape) else d for k, d in enumerate(target)]
        n, lead_old, lead_new = self.size(), self.shape[:-1], new[:-1]
        if new and n is not None and new[-1] == n:
            ok = True
        elif new and new[-1] == -1:
            # -1 is the vector's length only when the other dimensions hold the batch exactly.
            old_known, new_known = None not in lead_old, None not in lead_new and -1 not in lead_new
            ok = (lead_new == lead_old) or (old_known and new_known and np.prod(lead_old) == np.prod(lead_new))
        else:
            ok = False
        if not ok:
            raise ModelError("%s reshapes the vector of shape %s to %s; only a Reshape that keeps it whole in "
                             "the last dimension can be folded" % (_where(i, node), _shape_text(self.shape), target))
        self.shape = [None if d in (-1, None) else d for d in lead_new] + [n]

    # -- layers -------------------------------------------------------------

    def op(self, kind, i, node, **params):
        self.steps.append(_tm.Op(kind, _where(i, node), **params))

    def op_Relu(self, i, node, cur):
        self.op("relu", i, node)

    def op_Tanh(self, i, node, cur):
        self.op("tanh", i, node)

    def op_Sigmoid(self, i, node, cur):
        self.op("sigmoid", i, node)

    def op_Elu(self, i, node, cur):
        self.op("elu", i, node, alpha=self.attrs(node).get("alpha", 1.0))

    def op_LeakyRelu(self, i, node, cur):
        self.op("leaky_relu", i, node, negative_slope=self.attrs(node).get("alpha", 0.01))

    def op_Clip(self, i, node, cur):
        a = self.attrs(node)
        lo, hi = a.get("min", -_FLT_MAX), a.get("max", _FLT_MAX)
        for k, what in ((1, "min"), (2, "max")):
            if len(node.input) > k and node.input[k]:
                v = self.constant(i, node, k, what)
                if v.size != 1:
                    raise ModelError("%s: its %s is not a single value" % (_where(i, node), what))
                lo, hi = (float(v.reshape(())), hi) if k == 1 else (lo, float(v.reshape(())))
        self.op("clip", i, node, min=lo, max=hi)

    def op_HardSigmoid(self, i, node, cur):
        a = self.attrs(node)
        alpha, beta = a.get("alpha", 0.2), a.get("beta", 0.5)
        if alpha != 1.0 or beta != 0.0:
            raise ModelError("%s with alpha %g and beta %g is not a tolvex layer (only alpha 1 and beta 0, a clip "
                             "to [0, 1], is)" % (_where(i, node), alpha, beta))
        self.op("clip", i, node, min=0.0, max=1.0)

    def op_LayerNormalization(self, i, node, cur):
        a = self.attrs(node)
        axis = a.get("axis", -1)
        if axis not in (-1, len(self.shape) - 1):
            raise ModelError("%s normalizes from axis %d; only the last axis can be imported" % (_where(i, node), axis))
        w = self.constant(i, node, 1, "scale").astype(np.float32).reshape(-1)
        b = self.constant(i, node, 2, "bias").astype(np.float32).reshape(-1) if len(node.input) > 2 and node.input[2] \
            else np.zeros_like(w)
        self.op("layer_norm", i, node, weight=w, bias=b, eps=a.get("epsilon", 1e-5))

    # -- layer normalization written out in elementary nodes ----------------

    def layer_norm_pattern(self, x, users):
        """Takes the nodes of a layer normalization written out from value `x`
        (see _match_layer_norm) and an optional Mul and Add by constants after
        them, its weight and bias; gives the value after them. Refuses any
        other branch."""
        matched = self._match_layer_norm(x, users)
        if matched is None:
            raise ModelError("value '%s' feeds %d nodes (%s); only a single chain, or the nodes of a layer "
                             "normalization, can be imported"
                             % (x, len(users), ", ".join(_where(k, self.nodes[k]) for k in sorted(users))))
        used, eps = matched
        self.visited.update(used)
        out = self.nodes[used[-1]].output[0]
        found = {}
        for op in ("Mul", "Add"):
            k = self._only_user(out, op)
            c = self._other_constant(k, out) if k is not None else None
            if c is None:
                continue
            try:
                found[op] = self.vector_const(k, self.nodes[k], c, "constant")
            except ModelError:
                break  # not a per-element weight or bias: left for the walk
            self.visited.add(k)
            out = self.nodes[k].output[0]
        n = self.size()
        if n is None:
            sizes = [v.size for v in found.values() if v.ndim]
            if not sizes:
                raise ModelError("%s: the length of the vector it normalizes is not known"
                                 % _where(used[0], self.nodes[used[0]]))
            n = sizes[0]
            self.shape = self.shape[:-1] + [n]
        w = np.broadcast_to(found.get("Mul", np.float64(1.0)).astype(np.float32), (n,)).copy()
        b = np.broadcast_to(found.get("Add", np.float64(0.0)).astype(np.float32), (n,)).copy()
        self.steps.append(_tm.Op("layer_norm", _where(used[0], self.nodes[used[0]]), weight=w, bias=b, eps=eps))
        return out

    def _only_user(self, value, op):
        """The one node that reads `value`, if it is an `op` and `value` is no graph output."""
        users = self.consumers.get(value, [])
        if len(users) == 1 and self.nodes[users[0]].op_type == op and value != self.output:
            return users[0]
        return None

    def _other_constant(self, k, value):
        """The constant that node k combines with `value`, or None."""
        inputs = list(self.nodes[k].input)
        rest = [name for name in inputs if name != value]
        return self.const.get(rest[0]) if len(inputs) == 2 and len(rest) == 1 else None

    def _reduces_last_axis(self, k):
        node = self.nodes[k]
        a = self.attrs(node)
        axes = a.get("axes")
        if axes is None and len(node.input) > 1 and self.optional(node, 1) is not None:
            axes = [int(v) for v in self.optional(node, 1).reshape(-1)]  # an input from opset 18 on
        return a.get("keepdims", 1) == 1 and axes is not None and list(axes) in ([-1], [len(self.shape) - 1])

    def _match_layer_norm(self, x, users):
        """The nodes mean = ReduceMean(x), d = Sub(x, mean), sq = Pow(d, 2) or
        Mul(d, d), var = ReduceMean(sq), Add(var, eps), sd = Sqrt(...),
        Div(d, sd), each over the last axis and read by nothing else: the
        arithmetic of a tolvex layer_norm. Gives (node indices, eps) or None."""
        nodes = self.nodes
        by_op = {nodes[k].op_type: k for k in users}
        if len(users) != 2 or set(by_op) != {"ReduceMean", "Sub"}:
            return None
        mean1, sub = by_op["ReduceMean"], by_op["Sub"]
        mean = nodes[mean1].output[0]
        if not self._reduces_last_axis(mean1) or list(nodes[sub].input) != [x, mean] \
                or self.consumers.get(mean) != [sub]:
            return None
        d = nodes[sub].output[0]
        d_users = {nodes[k].op_type: k for k in self.consumers.get(d, [])}
        if len(self.consumers.get(d, [])) != 2 or "Div" not in d_users:
            return None
        div = d_users["Div"]
        if "Pow" in d_users:
            sq = d_users["Pow"]
            power = self._other_constant(sq, d)
            if nodes[sq].input[0] != d or power is None or power.size != 1 or float(power.reshape(())) != 2.0:
                return None
        elif "Mul" in d_users and list(nodes[d_users["Mul"]].input) == [d, d]:
            sq = d_users["Mul"]
        else:
            return None
        mean2 = self._only_user(nodes[sq].output[0], "ReduceMean")
        if mean2 is None or not self._reduces_last_axis(mean2):
            return None
        add = self._only_user(nodes[mean2].output[0], "Add")
        eps = self._other_constant(add, nodes[mean2].output[0]) if add is not None else None
        if eps is None or eps.size != 1:
            return None
        root = self._only_user(nodes[add].output[0], "Sqrt")
        if root is None or list(nodes[div].input) != [d, nodes[root].output[0]] \
                or self.consumers.get(nodes[root].output[0]) != [div]:
            return None
        return [mean1, sub, sq, mean2, add, root, div], float(eps.reshape(()))


def _shape_text(shape):
    return "[%s]" % ", ".join("?" if d is None else str(d) for d in shape)


def to_layers(model):
    """Translates an onnx.ModelProto into (input_size, [Layer]); raises ModelError."""
    graph = _Graph(model)
    steps = graph.walk()
    return _tm.build_layers(steps, graph.input_size)


def _load(path):
    import onnx

    try:
        return onnx.load(path)
    except Exception as e:  # protobuf reports damage in several forms
        raise ModelError("cannot read %s: %s" % (path, str(e).splitlines()[0] if str(e) else type(e).__name__))


def convert(onnx_path, out_path):
    """Reads the ONNX file `onnx_path` and writes `out_path` (.json or .tvxf)."""
    _tm.model_format(out_path)
    n, layers = to_layers(_load(onnx_path))
    _tm.write_model(out_path, n, layers)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("model", help="an ONNX file")
    p.add_argument("out", help="output model file, .json or .tvxf")
    args = p.parse_args(argv)
    try:
        import onnx  # noqa: F401
    except ImportError:
        print("onnx_import: needs the onnx package (Debian: python3-onnx) in this interpreter, %s" % sys.executable,
              file=sys.stderr)
        return 1
    try:
        convert(args.model, args.out)
    except ModelError as e:
        print("onnx_import: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
