#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/.

File names are <description>.<result>.<ext>: when <result> names a result code
("Success", "EndOfStream", ...) the corpus test expects the loader to give
exactly that code; the word "any" expects only a clean return. Files in
roundtrip/ must round-trip. Regression inputs found by fuzzing are added by
hand next to these and are not touched by this script, which only rewrites the
files it generates itself.
"""
import json
import math
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

LINEAR, LAYER_NORM, CLIP, ELU, RELU, RELU6, SIGMOID, TANH, LEAKY_RELU = range(9)


def u32(v):
    return struct.pack("<I", v)


def f32(v):
    return struct.pack("<f", v)


def bits(b):
    return struct.pack("<I", b)


def tvxf(input_size, layers, count=None):
    out = b"tvxf" + u32(input_size) + u32(len(layers) if count is None else count)
    return out + b"".join(layers)


def linear(size, weights, biases):
    return (u32(LINEAR) + u32(size) + u32(len(weights)) + b"".join(f32(w) for w in weights) +
            u32(len(biases)) + b"".join(f32(b) for b in biases))


def layer_norm(size, eps, weights, biases):
    return (u32(LAYER_NORM) + u32(size) + f32(eps) + u32(len(weights)) + b"".join(f32(w) for w in weights) +
            u32(len(biases)) + b"".join(f32(b) for b in biases))


def clip(size, lo, hi):
    return u32(CLIP) + u32(size) + f32(lo) + f32(hi)


def elu(size, alpha):
    return u32(ELU) + u32(size) + f32(alpha)


def leaky(size, slope):
    return u32(LEAKY_RELU) + u32(size) + f32(slope)


def plain(kind, size):
    return u32(kind) + u32(size)


def example48():
    return tvxf(2, [linear(1, [0.5, -1.0], [0.25]), plain(RELU, 1)])


def tvxf_files():
    files = {}
    ex = example48()
    assert len(ex) == 48
    files["example48.Success"] = ex
    files["no-layers.Success"] = tvxf(3, [])
    lin22 = linear(2, [0.5, -1.0, 0.25, 2.0], [0.125, -0.5])
    after = {
        "layer_norm": layer_norm(2, 0.00001, [1.0, 1.0], [0.0, 0.0]),
        "clip": clip(2, 0.0, 6.0),
        "elu": elu(2, 1.0),
        "relu": plain(RELU, 2),
        "relu6": plain(RELU6, 2),
        "sigmoid": plain(SIGMOID, 2),
        "tanh": plain(TANH, 2),
        "leaky_relu": leaky(2, 0.01),
    }
    for name, rec in after.items():
        files["linear-then-" + name + ".Success"] = tvxf(2, [lin22, rec])
        # The same layer first: it gets a buffer of its own.
        files[name + "-first.Success"] = tvxf(2, [rec, lin22])
    every = [lin22] + list(after.values()) + [linear(3, [0.1 * i for i in range(6)], [1.0, 2.0, 3.0]),
                                              layer_norm(3, 0.001, [2.0, 0.5, 1.0], [0.0, 1.0, -1.0])]
    files["every-type.Success"] = tvxf(2, every)
    files["size-zero-linear.Success"] = tvxf(4, [linear(0, [], []), plain(RELU, 0), linear(2, [], [1.0, 2.0])])
    files["zero-input.Success"] = tvxf(0, [linear(3, [], [1.0, -2.0, 0.5]), plain(SIGMOID, 3)])
    special = [bits(0x7FC00001), bits(0xFFA00000), bits(0x80000000), bits(0x00000001), bits(0x7F800000),
               bits(0xFF800000), bits(0x7F7FFFFF), bits(0x00800000)]
    files["extreme-values.Success"] = (
        b"tvxf" + u32(2) + u32(3) + u32(LINEAR) + u32(2) + u32(4) + b"".join(special[:4]) + u32(2) +
        b"".join(special[4:6]) + u32(CLIP) + u32(2) + special[6] + special[7] + u32(ELU) + u32(2) + special[0])
    # A later non-linear layer's size field has no effect.
    files["ignored-size.Success"] = tvxf(2, [lin22, plain(RELU, 999)])
    files["trailing-bytes.Success"] = ex + b"extra bytes after the last layer"
    # Truncation anywhere: inside the magic, the header, a count, a float.
    for cut in (0, 1, 3, 4, 6, 8, 11, 12, 16, 20, 23, 26, 32, 36, 40, 44, 47):
        files["cut-at-%02d.EndOfStream" % cut] = ex[:cut]
    files["only-magic.EndOfStream"] = b"tvxf"
    files["bad-magic-case.HeaderMismatch"] = b"TVXF" + ex[4:]
    files["bad-magic-short.EndOfStream"] = b"tvx"
    files["bad-magic-byte.HeaderMismatch"] = b"tvxg" + ex[4:]
    files["type-code-9.UnsupportedLayerType"] = tvxf(2, [u32(9) + u32(2)])
    files["type-code-huge.UnsupportedLayerType"] = tvxf(2, [u32(0xFFFFFFFF) + u32(2)])
    files["weight-count-short.WrongNumberOfWeights"] = tvxf(2, [linear(1, [0.5], [0.25])])
    files["weight-count-long.WrongNumberOfWeights"] = tvxf(2, [linear(1, [0.5, 1.0, 2.0], [0.25])])
    files["bias-count.WeightsBiasesMismatch"] = tvxf(2, [linear(1, [0.5, 1.0], [0.25, 1.0])])
    files["layer-norm-count.WrongNumberOfWeights"] = tvxf(2, [lin22, layer_norm(2, 0.1, [1.0], [0.0])])
    files["first-relu-wrong-size.WrongLayerSize"] = tvxf(2, [plain(RELU, 3)])
    # Claims far more than the file holds.
    files["huge-weight-count.EndOfStream"] = (
        tvxf(65537, [u32(LINEAR) + u32(65535) + u32(0xFFFFFFFF)]) + f32(1.0) * 3)
    files["huge-layer-count.any"] = tvxf(2, [plain(RELU, 2)], count=0xFFFFFFFF)
    files["weight-count-wraps.WrongNumberOfWeights"] = tvxf(65536, [u32(LINEAR) + u32(65536) + u32(0)])
    # Mutations of valid files: anything may come back, but cleanly.
    rng = random.Random(7)
    sources = [ex, tvxf(2, every)]
    for i in range(12):
        data = bytearray(rng.choice(sources))
        for _ in range(rng.randint(1, 4)):
            pos = rng.randrange(len(data))
            data[pos] = rng.randrange(256)
        files["mutated-%02d.any" % i] = bytes(data)
    return files


def jdump(doc):
    return json.dumps(doc, separators=(",", ":")).encode()


EXAMPLE117 = (b'{"input_size":2,"layers":[{"type":"linear","size":1,"weight":[[0.5,-0.25]],'
              b'"bias":[0.125]},{"type":"relu","size":1}]}')


def json_files():
    files = {}
    assert len(EXAMPLE117) == 117
    files["example117.Success"] = EXAMPLE117
    files["no-layers.Success"] = b'{"input_size":3,"layers":[]}'
    lin = {"type": "linear", "size": 2, "weight": [[0.5, -1], [0.25, 2]], "bias": [0.125, -0.5]}
    after = {
        "layer_norm": b'{"type":"layer_norm","size":2,"weight":[1,1],"bias":[0,0],"eps":0.000009999999747378752}',
        "clip": b'{"type":"clip","size":2,"min":-1,"max":1}',
        "elu": b'{"type":"elu","size":2,"alpha":1}',
        "relu": b'{"type":"relu","size":2}',
        "relu6": b'{"type":"relu6","size":2}',
        "sigmoid": b'{"type":"sigmoid","size":2}',
        "tanh": b'{"type":"tanh","size":2}',
        "leaky_relu": b'{"type":"leaky_relu","size":2,"negative_slope":0.009999999776482582}',
    }
    lin_text = jdump(lin)
    for name, obj in after.items():
        files["linear-then-" + name + ".Success"] = b'{"input_size":2,"layers":[' + lin_text + b"," + obj + b"]}"
        files[name + "-first.Success"] = b'{"input_size":2,"layers":[' + obj + b"," + lin_text + b"]}"
    every = b",".join([lin_text] + list(after.values()))
    files["every-type.Success"] = b'{"input_size":2,"layers":[' + every + b"]}"
    files["pretty-with-extra-keys.Success"] = (
        b'\n{\n  "comment": "hand written",\n  "layers": [\n    {"size": 1, "type": "linear",\n'
        b'     "bias": [ 0.125 ], "weight": [ [ 5e-1 , -2.5E-1 ] ], "note": [1, {"x": null}]},\n'
        b'    { "type" : "relu" }\n  ],\n  "input_size": 2\n}\n\n')
    files["defaults.Success"] = (b'{"input_size":1,"layers":[{"type":"elu","size":1},{"type":"leaky_relu"},'
                                 b'{"type":"linear","size":1,"weight":[[2]],"bias":[0]},'
                                 b'{"type":"layer_norm","weight":[1],"bias":[0]}]}')
    files["extreme-values.Success"] = (b'{"input_size":2,"layers":[{"type":"linear","size":2,"weight":'
                                       b'[[-0,0.000000000000000000000000000000000000000000001401298464324817],'
                                       b'[339999995214436420000000000000000000000,1e-3]],"bias":[1E2,-2]}]}')
    files["escapes.Success"] = (b'{"input_size":1,"layers":[{"type":"rel\\u0075","size":1,'
                                b'"\\ud83d\\ude00":"\\"\\\\\\/\\b\\f\\n\\r\\t"}]}')
    files["size-zero.Success"] = b'{"input_size":0,"layers":[{"type":"linear","size":0,"weight":[],"bias":[]}]}'
    files["empty.UnexpectedEndOfInput"] = b""
    files["blank.UnexpectedEndOfInput"] = b" \n\t "
    files["array-top.MalformedPolicyDefinition"] = b"[]"
    files["trailing-x.SyntaxError"] = EXAMPLE117 + b"x"
    files["trailing-blank-lines.Success"] = EXAMPLE117 + b"\n\n\r\n"
    files["relu-first-no-size.MalformedPolicyDefinition"] = b'{"input_size":2,"layers":[{"type":"relu"}]}'
    files["type-case.UnsupportedLayerType"] = b'{"input_size":2,"layers":[{"type":"ReLU","size":2}]}'
    files["type-hyphen.UnsupportedLayerType"] = b'{"input_size":2,"layers":[{"type":"leaky-relu","size":2}]}'
    files["no-type.MalformedPolicyDefinition"] = b'{"input_size":2,"layers":[{"size":2}]}'
    files["no-input-size.MalformedPolicyDefinition"] = b'{"layers":[]}'
    files["no-layers-key.MalformedPolicyDefinition"] = b'{"input_size":2}'
    files["rows-vs-bias.WeightsBiasesMismatch"] = (
        b'{"input_size":3,"layers":[{"type":"linear","size":2,"weight":[[1,2,3],[4,5,6]],"bias":[1,2,3]}]}')
    files["short-row.WrongNumberOfWeights"] = (
        b'{"input_size":3,"layers":[{"type":"linear","size":2,"weight":[[1,2,3],[4,5]],"bias":[1,2]}]}')
    files["layer-norm-count.WrongNumberOfWeights"] = (
        b'{"input_size":2,"layers":[{"type":"layer_norm","size":2,"weight":[1,1,1],"bias":[0,0,0]}]}')
    files["size-minus-one.OutOfMemory"] = (
        b'{"input_size":2,"layers":[{"type":"linear","size":-1,"weight":[],"bias":[]}]}')
    files["duplicate-size.DuplicateField"] = b'{"input_size":2,"layers":[{"type":"relu","size":2,"size":2}]}'
    files["duplicate-input-size.DuplicateField"] = b'{"input_size":2,"input_size":2,"layers":[]}'
    files["duplicate-deep.DuplicateField"] = b'{"input_size":2,"layers":[],"x":[{"a":{"b":1,"b":2}}]}'
    files["inf-weight.SyntaxError"] = (
        b'{"input_size":1,"layers":[{"type":"linear","size":1,"weight":[[inf]],"bias":[0]}]}')
    files["leading-zero.SyntaxError"] = b'{"input_size":02,"layers":[]}'
    files["leading-plus.SyntaxError"] = b'{"input_size":+2,"layers":[]}'
    files["comment.SyntaxError"] = b'{"input_size":2,/* no */"layers":[]}'
    files["control-char.SyntaxError"] = b'{"input_size":2,"layers":[],"a":"x\ty"}'
    files["bad-utf8.SyntaxError"] = b'{"input_size":2,"layers":[],"a":"\xe2\x82"}'
    files["bad-escape.SyntaxError"] = b'{"input_size":2,"layers":[],"a":"\\x41"}'
    files["nul-byte.SyntaxError"] = b'{"input_size":2,"layers":[]}\x00'
    files["missing-comma.SyntaxError"] = b'{"input_size":2 "layers":[]}'
    files["nan-string.MalformedPolicyDefinition"] = (
        b'{"input_size":1,"layers":[{"type":"linear","size":1,"weight":[["nan"]],"bias":[0]}]}')
    files["size-too-big.MalformedPolicyDefinition"] = b'{"input_size":4294967296,"layers":[]}'
    files["linear-size-vs-rows.WrongLayerSize"] = (
        b'{"input_size":1,"layers":[{"type":"linear","size":3,"weight":[[1]],"bias":[2]}]}')
    files["relu-first-size-vs-input.WrongLayerSize"] = b'{"input_size":2,"layers":[{"type":"relu","size":3}]}'
    for cut in (1, 14, 15, 26, 27, 40, 60, 80, 100, 116):
        files["cut-at-%03d.UnexpectedEndOfInput" % cut] = EXAMPLE117[:cut]
    rng = random.Random(11)
    sources = [EXAMPLE117, files["every-type.Success"]]
    for i in range(12):
        data = bytearray(rng.choice(sources))
        for _ in range(rng.randint(1, 3)):
            pos = rng.randrange(len(data))
            data[pos] = rng.choice(b'{}[]:,"0123456789-.eE \x00\xff' + bytes([rng.randrange(256)]))
        files["mutated-%02d.any" % i] = bytes(data)
    return files


def write(sub, name, ext, data):
    path = os.path.join(CORPUS, sub, name + "." + ext)
    with open(path, "wb") as f:
        f.write(data)


def main():
    for sub in ("tvxf", "json", "roundtrip"):
        d = os.path.join(CORPUS, sub)
        os.makedirs(d, exist_ok=True)
        for old in os.listdir(d):
            if not old.startswith(("regression-", "crash-", "leak-", "timeout-", "oom-")):
                os.remove(os.path.join(d, old))
    tv = tvxf_files()
    js = json_files()
    for name, data in tv.items():
        write("tvxf", name, "tvxf", data)
    for name, data in js.items():
        write("json", name, "json", data)
    # The round-trip seeds: every file that loads, in either format.
    for name, data in tv.items():
        if name.endswith(".Success"):
            write("roundtrip", name, "tvxf", data)
    for name, data in js.items():
        if name.endswith(".Success"):
            write("roundtrip", name, "json", data)


if __name__ == "__main__":
    main()
