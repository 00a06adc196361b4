#!/usr/bin/env python3
"""Export a PyTorch network to a tolvex model file (.json or .tvxf).

What it takes: a chain of modules, that is an nn.Sequential (nested ones
included), a single supported module, or a TorchScript module (scripted or
traced, e.g. from torch.jit.load) whose forward() only calls its submodules
one after another. Modules are matched by their exact torch.nn class:

  layers:      Linear, LayerNorm (over the last dimension), ReLU, ReLU6, Tanh,
               Sigmoid, ELU, LeakyReLU, Hardtanh (written as a clip layer);
  folded away: Identity, Dropout, Flatten (of the vector), nested Sequential,
               BatchNorm1d (its inference form, from the running statistics,
               folded into the Linear next to it, whatever the training flag).

Anything else is refused with a message that names the module by its path
(e.g. "module 2.1 (GELU)").

Observation normalisation: when the network expects (obs - mean) / std, pass
obs_mean and obs_std (or --obs-mean and --obs-std), or give the top-level
module attributes or buffers named `obs_mean` and `obs_std` (either may be
absent: mean 0, std 1). The exported model then takes raw observations: the
normalisation is folded into the first Linear layer. The module's own
forward() is taken not to apply them. Folding (of this and of BatchNorm1d)
is done in float64 and rounded once to float32, so a folded model matches
the module within the float32 error bound, not bit for bit (tolvex_model.py).

As a command:
    python3 tools/export_torch.py MODEL.pt OUT.json|OUT.tvxf
            [--input-size N] [--obs-mean M] [--obs-std S]
MODEL.pt holds a whole module saved with torch.save(model, path) (loading
it runs its pickled code: use trusted files only) or a TorchScript file from
torch.jit.save. M and S are comma-separated numbers or a .npy or text file.
The interpreter must have numpy and torch (Debian's /usr/bin/python3 with
python3-numpy and python3-torch).

As a library, from any directory and with no PYTHONPATH set, load the file
by its path; it finds its companion tolvex_model.py next to itself:
    import runpy
    export = runpy.run_path("/path/to/tolvex/tools/export_torch.py")["export"]
    export(model, "policy.tvxf", obs_mean=mean, obs_std=std)
(With the tools folder on sys.path, `from export_torch import export` does
the same.)
"""

import argparse
import os
import re
import sys
import zipfile

try:
    import numpy as np
except ImportError:
    if __name__ == "__main__":
        sys.exit("export_torch: needs numpy and PyTorch (Debian: python3-numpy and python3-torch) in this interpreter, %s" % sys.executable)
    raise


# tolvex_model.py lives beside this file: found first, whatever sys.path held.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tolvex_model as _tm  # noqa: E402
Layer, json_number, json_text, tvxf_bytes = _tm.Layer, _tm.json_number, _tm.json_text, _tm.tvxf_bytes
TYPE_CODES = _tm.TYPE_CODES
# The exporter's refusals; the same class as tolvex_model.ModelError.
ExportError = _tm.ModelError

SUPPORTED = ("Linear", "LayerNorm", "ReLU", "ReLU6", "Tanh", "Sigmoid", "ELU",
             "LeakyReLU", "Hardtanh")
FOLDED = ("Identity", "Dropout", "Flatten", "Sequential", "BatchNorm1d")

_SUPPORTED_TEXT = "supported modules: %s; folded away: %s" % (", ".join(SUPPORTED), ", ".join(FOLDED))


def _f32(tensor):
    return tensor.detach().cpu().float().numpy().copy()


def _optional(m, name):
    """Parameter or buffer `name` as float32, or None when the module has none."""
    t = getattr(m, name, None)
    return None if t is None else _f32(t)


def _describe(path, name):
    return "module %s (%s)" % (path, name) if path else "the model (%s)" % name


def _is_script(m):
    import torch

    return isinstance(m, torch.jit.ScriptModule)


def _nn_class(m):
    """The torch.nn class name of `m`, eager or TorchScript; None for any other class."""
    if _is_script(m):
        qualified = re.sub(r"___torch_mangle_\d+\.", "", m._c._type().qualified_name())
        prefix = "__torch__.torch.nn.modules."
        return qualified.rsplit(".", 1)[1] if qualified.startswith(prefix) else None
    t = type(m)
    return t.__name__ if t.__module__.startswith("torch.nn.modules.") else None


def _class_name(m):
    return m.original_name if _is_script(m) else type(m).__name__


def _custom(path, m):
    if _is_script(m):
        what = "a TorchScript module whose forward() does more than call its submodules in turn"
    else:
        what = "a custom nn.Module, whose forward() the exporter cannot read"
    return ExportError(
        "%s is %s: pass an nn.Sequential of its layers, or torch.jit.script(model) if forward() only calls "
        "its submodules one after another, or export it to ONNX and use onnx_import.py"
        % (_describe(path, _class_name(m)), what))


def _script_calls(m, path):
    """The children of a TorchScript module in the order its forward() chains them, or None."""
    g = m.graph
    inputs = list(g.inputs())
    if len(inputs) != 2:
        return None
    self_v, cur = inputs
    attrs, calls = {}, []
    for node in g.nodes():
        kind = node.kind()
        ins, outs = list(node.inputs()), list(node.outputs())
        if kind == "prim::GetAttr" and ins[0].unique() == self_v.unique():
            attrs[outs[0].unique()] = node.s("name")
        elif kind == "prim::CallMethod" and node.s("name") == "forward" and ins[0].unique() in attrs:
            if len(ins) == 1 and not outs[0].uses():
                continue  # a traced Identity: called without the value, its result unused
            if len(ins) != 2 or ins[1].unique() != cur.unique() or len(cur.uses()) != 1:
                return None
            calls.append(attrs[ins[0].unique()])
            cur = outs[0]
        elif kind == "prim::Constant" and not outs[0].uses():
            continue
        else:
            return None
    outs = list(g.outputs())
    if len(outs) != 1 or outs[0].unique() != cur.unique():
        return None
    children = dict(m.named_children())
    return [(name, children[name]) for name in calls]


def _leaves(m, path=""):
    """The chain of leaf modules under `m`: [(path, nn class name, module)]."""
    import torch.nn as nn

    if not isinstance(m, nn.Module):
        raise ExportError(_not_a_module(m))
    kind = _nn_class(m)
    if kind == "Sequential":
        children = list(m.named_children())
    elif kind is None and _is_script(m):
        children = _script_calls(m, path)
        if children is None:
            raise _custom(path, m)
    elif kind in SUPPORTED or kind in FOLDED:
        return [(path, kind, m)]
    elif kind is None:
        raise _custom(path, m)
    else:
        raise ExportError("%s is not supported; %s" % (_describe(path, kind), _SUPPORTED_TEXT))
    out = []
    for name, child in children:
        out += _leaves(child, name if not path else path + "." + name)
    return out


def _not_a_module(obj):
    if isinstance(obj, dict):
        return ("got a state_dict, which holds only parameter tensors and not the layers that use them: "
                "build the network in Python, load_state_dict() into it and export that module")
    return "expected a torch.nn.Module, got %s" % type(obj).__name__


def _aten_args(m, op):
    """The constant arguments of the call to `op` in a traced module's forward graph."""
    if not _is_script(m):
        return None
    for node in m.graph.nodes():
        if node.kind() == op:
            args = []
            for v in node.inputs():
                producer = v.node()
                if producer.kind() == "prim::ListConstruct":
                    args.append([x.toIValue() for x in producer.inputs()])
                else:
                    args.append(v.toIValue())
            return args
    return None


def _param(path, m, attr, op, index):
    """Hyperparameter `attr`: the module attribute (eager or scripted), else
    the constant in a traced module's call to `op`."""
    value = getattr(m, attr, None)
    if value is None:
        args = _aten_args(m, op)
        value = args[index] if args is not None and len(args) > index else None
    if value is None:
        raise ExportError("%s has no %s that the exporter can read" % (_describe(path, _class_name(m)), attr))
    return value


def _module_steps(path, kind, m, size_hint):
    """The tolvex_model steps of one leaf module."""
    origin = _describe(path, kind)
    if kind in ("Identity", "Dropout"):
        return []
    if kind == "Flatten":
        start = _param(path, m, "start_dim", "aten::flatten", 1) % 2
        end = _param(path, m, "end_dim", "aten::flatten", 2) % 2
        if start != end:  # on a batch of vectors (2 dimensions) only a one-dimension range is a no-op
            raise ExportError("%s with start_dim 0 and end_dim 1 merges the batch into the vector" % origin)
        return []
    if kind == "Linear":
        w = _f32(m.weight)  # (out, in): row n holds neuron n's weights, as tolvex stores them
        b = _optional(m, "bias")
        b = b if b is not None else np.zeros(w.shape[0], np.float32)
        return [_tm.Dense(w, b, origin)]
    if kind == "BatchNorm1d":
        mean, var = _optional(m, "running_mean"), _optional(m, "running_var")
        if mean is None or var is None:
            raise ExportError("%s keeps no running statistics (track_running_stats=False), so it has no "
                              "inference form" % origin)
        eps = float(_param(path, m, "eps", "aten::batch_norm", 7))
        w, b = _optional(m, "weight"), _optional(m, "bias")
        scale = 1.0 / np.sqrt(var.astype(np.float64) + eps)
        if w is not None:
            scale = scale * w
        shift = -mean * scale + (b if b is not None else 0.0)
        return [_tm.Affine(scale, shift, origin)]
    if kind == "LayerNorm":
        w, b = _optional(m, "weight"), _optional(m, "bias")
        shape = getattr(m, "normalized_shape", None)
        if shape is None:
            shape = _aten_args(m, "aten::layer_norm")[1]
        shape = tuple(int(s) for s in shape)
        if len(shape) != 1 or (size_hint is not None and shape[0] != size_hint):
            raise ExportError("%s normalizes over %s; only the last dimension%s is supported"
                              % (origin, shape, "" if size_hint is None else " (%d)" % size_hint))
        n = shape[0]
        w = w if w is not None else np.ones(n, np.float32)
        b = b if b is not None else np.zeros(n, np.float32)
        eps = _param(path, m, "eps", "aten::layer_norm", 4)
        return [_tm.Op("layer_norm", origin, weight=w, bias=b, eps=eps)]
    if kind == "ELU":
        alpha = _param(path, m, "alpha", "aten::elu", 1)
        args = _aten_args(m, "aten::elu")
        if args is not None and (args[2] != 1 or args[3] != 1):
            raise ExportError("%s scales its input or output, which a tolvex elu layer does not" % origin)
        return [_tm.Op("elu", origin, alpha=alpha)]
    if kind == "LeakyReLU":
        return [_tm.Op("leaky_relu", origin, negative_slope=_param(path, m, "negative_slope", "aten::leaky_relu", 1))]
    if kind == "Hardtanh":
        lo = _param(path, m, "min_val", "aten::hardtanh", 1)
        hi = _param(path, m, "max_val", "aten::hardtanh", 2)
        return [_tm.Op("clip", origin, min=lo, max=hi)]
    names = {"ReLU": "relu", "ReLU6": "relu6", "Tanh": "tanh", "Sigmoid": "sigmoid"}
    return [_tm.Op(names[kind], origin)]


def _vector(name, value):
    if value is None:
        return None
    if hasattr(value, "detach"):
        value = value.detach().cpu().double().numpy()
    v = np.asarray(value, dtype=np.float64)
    if v.ndim == 0:
        v = v.reshape(1)
    if v.ndim != 1 or not np.all(np.isfinite(v)):
        raise ExportError("%s must be a vector of finite numbers" % name)
    return v


def _normalisation(model, obs_mean, obs_std):
    """The observation normalisation as an Affine step, or None."""
    mean = _vector("obs_mean", obs_mean if obs_mean is not None else getattr(model, "obs_mean", None))
    std = _vector("obs_std", obs_std if obs_std is not None else getattr(model, "obs_std", None))
    if mean is None and std is None:
        return None
    if std is not None and np.any(std == 0):
        raise ExportError("obs_std holds 0 at index %d" % int(np.argmax(std == 0)))
    if mean is not None and std is not None and mean.size != std.size and 1 not in (mean.size, std.size):
        raise ExportError("obs_mean has %d values but obs_std %d" % (mean.size, std.size))
    scale = 1.0 / std if std is not None else 1.0
    shift = -mean * scale if mean is not None else 0.0
    return _tm.Affine(scale, shift, "the observation normalisation (obs_mean, obs_std)")


def to_layers(model, input_size=None, obs_mean=None, obs_std=None):
    """Translates `model` into (input_size, [Layer]); raises ExportError."""
    leaves = _leaves(model)
    norm = _normalisation(model, obs_mean, obs_std)
    steps = [norm] if norm is not None else []
    size = input_size
    for path, kind, m in leaves:
        new = _module_steps(path, kind, m, size)
        for s in new:
            if isinstance(s, _tm.Dense):
                size = s.weight.shape[0]
        steps += new
    if input_size is None and norm is not None:
        input_size = _tm.input_size_of(steps[1:])  # the network's, against which the normalisation is checked
    return _tm.build_layers(steps, input_size)


def export(model, path, input_size=None, obs_mean=None, obs_std=None):
    """Writes `model` to `path`; the extension (.json or .tvxf) picks the format."""
    _tm.model_format(path)
    n, layers = to_layers(model, input_size, obs_mean, obs_std)
    _tm.write_model(path, n, layers)


# ---------------------------------------------------------------------------
# Command line

def _is_torchscript(path):
    try:
        with zipfile.ZipFile(path) as z:
            return any(name.endswith("/constants.pkl") or "/code/" in name for name in z.namelist())
    except (OSError, zipfile.BadZipFile):
        return False


def load_module(path):
    """What `path` holds: a TorchScript module or a torch.save'd object; raises ExportError."""
    import torch

    if _is_torchscript(path):
        try:
            return torch.jit.load(path, map_location="cpu")
        except Exception as e:  # torch reports damage in many forms
            raise ExportError("cannot read the TorchScript file %s: %s" % (path, str(e).splitlines()[0]))
    try:
        try:
            obj = torch.load(path, map_location="cpu", weights_only=False)
        except TypeError:  # a torch before 1.13 has no weights_only
            obj = torch.load(path, map_location="cpu")
    except (AttributeError, ModuleNotFoundError) as e:
        found = re.search(r"attribute '(\w+)'|No module named '([\w.]+)'", str(e))
        name = (found.group(1) or found.group(2)) if found else "?"
        raise ExportError("%s holds a whole custom module (%s) that only the code defining it can load: from "
                          "that code call export(model, path), or save it with "
                          "torch.jit.save(torch.jit.script(model), path)" % (path, name))
    except Exception as e:
        raise ExportError("cannot read %s: %s" % (path, str(e).splitlines()[0] if str(e) else type(e).__name__))
    if isinstance(obj, dict):
        raise ExportError("%s holds a state_dict, which has the parameter tensors but not the layers that use "
                          "them: build the network in Python, load_state_dict() into it and export that module "
                          "(or torch.save the whole module)" % path)
    return obj


def _read_vector(text):
    if os.path.exists(text):
        if text.endswith(".npy"):
            return np.load(text)
        with open(text) as f:
            text = f.read()
    try:
        return np.array([float(v) for v in re.split(r"[,\s]+", text.strip()) if v], np.float64)
    except ValueError:
        raise argparse.ArgumentTypeError("expected comma-separated numbers or a .npy or text file")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("module", help="a whole module saved with torch.save, or a TorchScript file")
    p.add_argument("out", help="output model file, .json or .tvxf")
    p.add_argument("--input-size", type=int, default=None,
                   help="needed only when the network does not tell it (no Linear, LayerNorm or "
                        "BatchNorm1d before the first activation)")
    p.add_argument("--obs-mean", type=_read_vector, default=None,
                   help="subtract this from each observation (numbers, or a .npy or text file)")
    p.add_argument("--obs-std", type=_read_vector, default=None,
                   help="then divide by this (numbers, or a .npy or text file)")
    args = p.parse_args(argv)
    try:
        import torch  # noqa: F401
    except ImportError:
        print("export_torch: needs PyTorch (Debian: python3-torch) in this interpreter, %s" % sys.executable,
              file=sys.stderr)
        return 1
    try:
        export(load_module(args.module), args.out, args.input_size, args.obs_mean, args.obs_std)
    except ExportError as e:
        print("export_torch: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
