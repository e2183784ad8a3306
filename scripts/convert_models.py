#!/usr/bin/python3
"""Rewrites the PP-OCRv4 detection and recognition models so that OpenCV 4.6's
dnn module loads them and computes what onnxruntime computes.

usage: convert_models.py DET_IN REC_IN DET_OUT REC_OUT

The published graphs were exported from Paddle with run-time shape arithmetic
and a few patterns that OpenCV 4.6 either rejects or imports with wrong shapes.
Every rewrite below keeps the arithmetic identical, but for the recognition
model's last softmax, which the application's decoder takes over;
scripts/verify-models checks the outputs against the originals run by
onnxruntime.
"""

import sys

import numpy as np
import onnx
from onnx import helper, numpy_helper

# Width of the transformer part of the recognition head (SVTR mixer).
EMBED = 120
HEADS = 8
HEAD_DIM = 15


class Graph:
    """A small mutable view of an ONNX graph: constants as arrays, nodes in order."""

    def __init__(self, model):
        self.model = model
        self.g = model.graph
        self.consts = {t.name: numpy_helper.to_array(t) for t in self.g.initializer}
        nodes = []
        for n in self.g.node:
            if n.op_type == "Constant":
                self.consts[n.output[0]] = numpy_helper.to_array(n.attribute[0].t)
            else:
                nodes.append(n)
        self.nodes = nodes
        self.counter = 0

    def fresh(self, stem):
        self.counter += 1
        return f"scrivel.{stem}.{self.counter}"

    def const(self, stem, array):
        name = self.fresh(stem)
        self.consts[name] = np.asarray(array)
        return name

    def producer(self, name):
        for n in self.nodes:
            if name in n.output:
                return n
        return None

    def consumers(self, name):
        return [n for n in self.nodes if name in n.input]

    def attr(self, node, key, default=None):
        for a in node.attribute:
            if a.name == key:
                return helper.get_attribute_value(a)
        return default

    def replace(self, old_nodes, new_nodes):
        """Puts new_nodes where the first of old_nodes stood and drops the rest."""
        index = min(self.nodes.index(n) for n in old_nodes)
        for n in old_nodes:
            self.nodes.remove(n)
        for offset, n in enumerate(new_nodes):
            self.nodes.insert(index + offset, n)

    def prune(self):
        """Drops nodes and constants that no graph output depends on."""
        live = {o.name for o in self.g.output}
        kept = []
        for n in reversed(self.nodes):
            if any(o in live for o in n.output):
                kept.append(n)
                live.update(i for i in n.input if i)
        self.nodes = list(reversed(kept))
        self.consts = {k: v for k, v in self.consts.items() if k in live}

    def finish(self):
        self.prune()
        del self.g.node[:]
        self.g.node.extend(self.nodes)
        del self.g.initializer[:]
        for name, array in self.consts.items():
            self.g.initializer.append(numpy_helper.from_array(array, name))
        del self.g.value_info[:]
        return self.model


def rewrite_det(model):
    g = Graph(model)
    clips = 0
    for n in g.nodes:
        # Opset 11 passes the bounds as inputs; OpenCV 4.6 reads only attributes.
        if n.op_type == "Clip" and len(n.input) == 3:
            lo = float(g.consts[n.input[1]])
            hi = float(g.consts[n.input[2]])
            del n.input[1:]
            n.attribute.extend([helper.make_attribute("min", lo), helper.make_attribute("max", hi)])
            clips += 1
    print(f"    det: {clips} Clip nodes with constant bounds moved into attributes")
    use_hard_swish_layer(g, "det")
    fold_scalar_affines(g, "det")
    use_channel_scale_layer(g, "det")
    use_depthwise_layer(g, "det")
    use_dense_layer(g, "det")
    use_up_layer(g, "det")
    fold_batch_norms(g, "det")
    fuse_activations(g, "det")
    fuse_gate_residuals(g, "det")
    return g.finish()


def rewrite_rec(model):
    g = Graph(model)

    # The input is declared with a fixed batch of 2 and width 320 so that the
    # importer's shape inference picks the right axes; any batch and width run.
    dims = g.g.input[0].type.tensor_type.shape.dim
    for d, v in zip(dims, (2, 3, 48, 320)):
        d.ClearField("dim_param")
        d.dim_value = v

    fix_qkv(g)
    fix_reshapes(g)
    fix_layer_norms(g)
    fix_linears(g)
    fix_final_squeeze(g)
    use_hard_swish_layer(g, "rec")
    fold_scalar_affines(g, "rec")
    use_channel_scale_layer(g, "rec")
    use_depthwise_layer(g, "rec")
    use_dense_layer(g, "rec")
    use_linear_layer(g, "rec")
    fold_batch_norms(g, "rec")
    fuse_activations(g, "rec")
    fuse_gate_residuals(g, "rec")
    drop_final_softmax(g)
    return g.finish()


def drop_final_softmax(g):
    """The recognition model ends in a softmax over its 6625 classes at every
    timestep, which OpenCV runs at about a tenth of the whole model's time.
    Greedy CTC decoding needs only each timestep's best class and that class's
    probability, which the decoder works out from the scores before it."""
    output = g.g.output[0].name
    softmax = g.producer(output)
    assert softmax.op_type == "Softmax" and g.attr(softmax, "axis") in (2, -1), "unexpected end of the graph"
    scores = softmax.input[0]
    assert g.consumers(scores) == [softmax]
    producer = g.producer(scores)
    producer.output[list(producer.output).index(scores)] = output
    g.nodes.remove(softmax)
    print("    rec: final Softmax left to the decoder")


def fix_qkv(g):
    """Reshape [N,T,3,8,15] + Transpose + Slice/Squeeze on axis 0 -> one Slice per q, k, v."""
    count = 0
    for reshape in [n for n in g.nodes if n.op_type == "Reshape"]:
        transposes = g.consumers(reshape.output[0])
        if len(transposes) != 1 or transposes[0].op_type != "Transpose":
            continue
        transpose = transposes[0]
        if list(g.attr(transpose, "perm")) != [2, 0, 3, 1, 4]:
            continue
        slices = g.consumers(transpose.output[0])
        assert len(slices) == 3 and all(s.op_type == "Slice" for s in slices)
        old = [reshape, transpose]
        new = []
        for s in slices:
            part = int(g.attr(s, "starts")[0])
            squeeze = g.consumers(s.output[0])[0]
            assert squeeze.op_type == "Squeeze"
            old += [s, squeeze]
            sliced = g.fresh("qkv_slice")
            shaped = g.fresh("qkv_heads")
            shape = g.const("qkv_shape", np.array([0, -1, HEADS, HEAD_DIM], dtype=np.int64))
            new += [
                helper.make_node("Slice", [reshape.input[0]], [sliced], axes=[2],
                                 starts=[part * EMBED], ends=[(part + 1) * EMBED]),
                helper.make_node("Reshape", [sliced, shape], [shaped]),
                helper.make_node("Transpose", [shaped], [squeeze.output[0]], perm=[0, 2, 1, 3]),
            ]
        g.replace(old, new)
        count += 1
    print(f"    rec: {count} attention q/k/v splits rebuilt without 5-D tensors")


def fix_reshapes(g):
    """Reshape targets computed through Shape -> Slice -> Concat become constants."""
    count = 0
    for n in g.nodes:
        if n.op_type != "Reshape" or n.input[1] in g.consts:
            continue
        concat = g.producer(n.input[1])
        assert concat is not None and concat.op_type == "Concat"
        target = []
        for piece in concat.input:
            source = g.producer(piece)
            if piece in g.consts:
                target += [int(v) for v in np.ravel(g.consts[piece])]
            elif source.op_type == "Cast" and source.input[0] in g.consts:
                target += [int(v) for v in np.ravel(g.consts[source.input[0]])]
            elif source.op_type == "Slice" and g.producer(source.input[0]).op_type == "Shape":
                # Leading dimensions copied from the reshaped tensor itself.
                target += [0] * (int(g.attr(source, "ends")[0]) - int(g.attr(source, "starts")[0]))
            else:
                target.append(-1)
        assert target.count(-1) == 1, target
        n.input[1] = g.const("reshape_target", np.array(target, dtype=np.int64))
        count += 1
    print(f"    rec: {count} run-time Reshape targets replaced by constants")


def fix_layer_norms(g):
    """LayerNorm over the last axis written with ReduceMean -> MatMuls that keep the full shape."""
    count = 0
    for mean in [n for n in g.nodes if n.op_type == "ReduceMean"]:
        if mean not in g.nodes:
            continue
        x = mean.input[0]
        subs = [c for c in g.consumers(mean.output[0]) if c.op_type == "Sub"]
        if not subs:
            continue
        sub = subs[0]
        assert sub.input[0] == x
        users = g.consumers(sub.output[0])
        pow_ = next(u for u in users if u.op_type == "Pow")
        div = next(u for u in users if u.op_type == "Div")
        mean2 = g.consumers(pow_.output[0])[0]
        add_eps = g.consumers(mean2.output[0])[0]
        sqrt = g.consumers(add_eps.output[0])[0]
        mul_gamma = g.consumers(div.output[0])[0]
        add_beta = g.consumers(mul_gamma.output[0])[0]
        assert (mean2.op_type, add_eps.op_type, sqrt.op_type, mul_gamma.op_type, add_beta.op_type) == \
            ("ReduceMean", "Add", "Sqrt", "Mul", "Add")
        gamma = np.ravel(g.consts[mul_gamma.input[1]]).astype(np.float32)
        beta = np.ravel(g.consts[add_beta.input[1]]).astype(np.float32)
        width = gamma.size
        eye = np.eye(width, dtype=np.float32)
        averaging = np.full((width, width), 1.0 / width, dtype=np.float32)
        centred = g.fresh("ln_centred")
        squared = g.fresh("ln_squared")
        variance = g.fresh("ln_variance")
        normed = g.fresh("ln_normed")
        new = [
            helper.make_node("MatMul", [x, g.const("ln_centre", eye - averaging)], [centred]),
            helper.make_node("Mul", [centred, centred], [squared]),
            helper.make_node("MatMul", [squared, g.const("ln_average", averaging)], [variance]),
            helper.make_node("Add", [variance, add_eps.input[1]], [add_eps.output[0]]),
            sqrt,
            helper.make_node("Div", [centred, sqrt.output[0]], [normed]),
            # gamma and beta as one Linear: diag(gamma) x + beta.
            helper.make_node("Gemm", [normed, g.const("ln_gamma", np.diag(gamma)), g.const("ln_beta", beta)],
                             [add_beta.output[0]], transB=1, axis=2),
        ]
        g.replace([mean, sub, pow_, mean2, add_eps, sqrt, div, mul_gamma, add_beta], new)
        count += 1
    print(f"    rec: {count} LayerNorms rewritten without ReduceMean or per-channel Scale")


def fix_linears(g):
    """MatMul by a constant matrix followed by a constant bias Add -> one Gemm on the last axis."""
    count = 0
    for mm in [n for n in g.nodes if n.op_type == "MatMul"]:
        if mm.input[1] not in g.consts:
            continue
        users = g.consumers(mm.output[0])
        if len(users) != 1 or users[0].op_type != "Add" or users[0].input[1] not in g.consts:
            continue
        add = users[0]
        weight = g.consts[mm.input[1]].astype(np.float32)
        bias = np.ravel(g.consts[add.input[1]]).astype(np.float32)
        if weight.ndim != 2 or bias.size != weight.shape[1]:
            continue
        gemm = helper.make_node(
            "Gemm", [mm.input[0], g.const("linear_w", np.ascontiguousarray(weight.T)), g.const("linear_b", bias)],
            [add.output[0]], transB=1, axis=2)
        g.replace([mm, add], [gemm])
        count += 1
    print(f"    rec: {count} Linear layers (MatMul + bias) fused into Gemm")


def fix_final_squeeze(g):
    count = 0
    for n in [n for n in g.nodes if n.op_type == "Squeeze"]:
        assert list(g.attr(n, "axes")) == [2], "unexpected Squeeze left in the graph"
        channels = EMBED
        reshape = helper.make_node("Reshape", [n.input[0], g.const("squeeze_target",
                                   np.array([0, channels, -1], dtype=np.int64))], [n.output[0]])
        g.replace([n], [reshape])
        count += 1
    print(f"    rec: {count} Squeeze on the height axis replaced by Reshape")


def use_hard_swish_layer(g, label):
    """x * clip(x + 3, 0, 6) / 6, exported as Add, Clip, Mul and Div, becomes the
    application's ScrivelHardSwish: one pass over the tensor instead of four.
    (OpenCV's own HardSwish would be fused into the convolution before it,
    which sends that convolution down a path several times slower.)"""
    count = 0
    for clip in [n for n in g.nodes if n.op_type == "Clip"]:
        if (g.attr(clip, "min"), g.attr(clip, "max")) != (0.0, 6.0):
            continue
        add = g.producer(clip.input[0])
        if add is None or add.op_type != "Add" or len(g.consumers(add.output[0])) != 1:
            continue
        x = [i for i in add.input if not (i in g.consts and g.consts[i].size == 1 and float(g.consts[i]) == 3.0)]
        if len(x) != 1:
            continue
        x = x[0]
        muls = g.consumers(clip.output[0])
        if len(muls) != 1 or muls[0].op_type != "Mul" or sorted(muls[0].input) != sorted([x, clip.output[0]]):
            continue
        mul = muls[0]
        divs = g.consumers(mul.output[0])
        if len(divs) != 1 or divs[0].op_type != "Div" or divs[0].input[0] != mul.output[0]:
            continue
        div = divs[0]
        six = div.input[1]
        if not (six in g.consts and g.consts[six].size == 1 and float(g.consts[six]) == 6.0):
            continue
        g.replace([add, clip, mul, div], [helper.make_node("ScrivelHardSwish", [x], [div.output[0]], name=div.name)])
        count += 1
    print(f"    {label}: {count} hard-swish activations given the application's own layer")


def scalar(g, name):
    """The value of a one-element constant, or None."""
    if name in g.consts and g.consts[name].size == 1:
        return float(np.ravel(g.consts[name])[0])
    return None


def scalar_affine_after(g, output):
    """A Mul by a constant, maybe followed by an Add of a constant, that alone
    take `output`: (scale, shift, those nodes, their result), or None."""
    users = g.consumers(output)
    if len(users) != 1 or users[0].op_type != "Mul":
        return None
    mul = users[0]
    factors = [i for i in mul.input if i != output]
    if len(factors) != 1 or scalar(g, factors[0]) is None:
        return None
    scale, shift, nodes, result = scalar(g, factors[0]), 0.0, [mul], mul.output[0]
    adds = g.consumers(result)
    if len(adds) == 1 and adds[0].op_type == "Add":
        terms = [i for i in adds[0].input if i != result]
        if len(terms) == 1 and scalar(g, terms[0]) is not None:
            shift, result = scalar(g, terms[0]), adds[0].output[0]
            nodes.append(adds[0])
    return scale, shift, nodes, result


def fold_scalar_affines(g, label):
    """The backbone's learnable affine blocks (x * a + b with scalar a and b
    after each convolution and each activation) cost OpenCV a pass over the
    tensor per node. After a convolution they fold into its weights and bias;
    after a hard-swish they become the layer's own scale and shift."""
    convs = swishes = 0
    for n in list(g.nodes):
        if n.op_type not in ("Conv", "ScrivelHardSwish") or n not in g.nodes:
            continue
        affine = scalar_affine_after(g, n.output[0])
        if affine is None:
            continue
        scale, shift, nodes, result = affine
        if n.op_type == "Conv":
            if n.input[1] not in g.consts or (len(n.input) > 2 and n.input[2] not in g.consts):
                continue
            weights = g.consts[n.input[1]].astype(np.float32)
            bias = g.consts[n.input[2]].astype(np.float32) if len(n.input) > 2 else np.zeros(weights.shape[0], np.float32)
            folded = helper.make_node(
                "Conv", [n.input[0], g.const("affine_w", weights * np.float32(scale)),
                         g.const("affine_b", bias * np.float32(scale) + np.float32(shift))], [result], name=n.name)
            folded.attribute.extend(n.attribute)
            convs += 1
        else:
            folded = helper.make_node("ScrivelHardSwish", list(n.input), [result], name=n.name,
                                      scale=scale, shift=shift)
            swishes += 1
        g.replace([n] + nodes, [folded])
    print(f"    {label}: {convs} scalar affines folded into convolutions, {swishes} into hard-swish layers")


def use_channel_scale_layer(g, label):
    """The squeeze-and-excitation product x * HardSigmoid(...), a [N, C, H, W]
    tensor times a [N, C, 1, 1] one, becomes the application's
    ScrivelChannelScale: OpenCV runs it as a general broadcast."""
    count = 0
    for gate in [n for n in g.nodes if n.op_type == "HardSigmoid"]:
        for mul in g.consumers(gate.output[0]):
            if mul.op_type != "Mul" or len(mul.input) != 2:
                continue
            x = mul.input[0] if mul.input[1] == gate.output[0] else mul.input[1]
            if x == gate.output[0] or x in g.consts:
                continue
            g.replace([mul], [helper.make_node("ScrivelChannelScale", [x, gate.output[0]], list(mul.output),
                                               name=mul.name)])
            count += 1
    print(f"    {label}: {count} channel gates given the application's own layer")


def use_depthwise_layer(g, label):
    """Depthwise convolutions with 5 x 5 kernels, or with a stride that differs
    between the axes, become the application's own layer (ScrivelDepthwiseConv):
    OpenCV 4.6 runs them through its general convolution, several times slower.
    Same weights, bias, stride and padding; the arithmetic is unchanged."""
    count = 0
    for n in [n for n in g.nodes if n.op_type == "Conv"]:
        weights = g.consts[n.input[1]]
        channels = weights.shape[0]
        if g.attr(n, "group", 1) != channels or weights.shape[1] != 1:
            continue
        k = weights.shape[2]
        strides = list(g.attr(n, "strides", [1, 1]))
        pads = list(g.attr(n, "pads", [0, 0, 0, 0]))
        assert weights.shape[3] == k, "depthwise kernel is not square"
        assert list(g.attr(n, "dilations", [1, 1])) == [1, 1], "dilated depthwise convolution"
        assert pads[0] == pads[2] and pads[1] == pads[3], "asymmetric depthwise padding"
        if k != 5 and strides[0] == strides[1]:
            continue
        layer = helper.make_node("ScrivelDepthwiseConv", list(n.input), list(n.output), name=n.name,
                                 kernel=int(k), stride_h=int(strides[0]), stride_w=int(strides[1]),
                                 pad_h=int(pads[0]), pad_w=int(pads[1]))
        g.replace([n], [layer])
        count += 1
    print(f"    {label}: {count} depthwise convolutions given the application's own layer")


def use_dense_layer(g, label):
    """Ungrouped convolutions with stride 1 become the application's own layer
    (ScrivelConv), which runs the backbones' 1 x 1 and the heads' 3 x 3
    kernels about twice as fast as OpenCV 4.6's convolution. Same weights,
    bias and padding; only the order of the sums differs."""
    count = 0
    for n in [n for n in g.nodes if n.op_type == "Conv"]:
        if g.attr(n, "group", 1) != 1 or n.input[1] not in g.consts:
            continue
        if list(g.attr(n, "strides", [1, 1])) != [1, 1] or list(g.attr(n, "dilations", [1, 1])) != [1, 1]:
            continue
        pads = list(g.attr(n, "pads", [0, 0, 0, 0]))
        if pads[0] != pads[2] or pads[1] != pads[3] or g.attr(n, "auto_pad", b"NOTSET") not in (b"NOTSET", "NOTSET"):
            continue
        layer = helper.make_node("ScrivelConv", list(n.input), list(n.output), name=n.name,
                                 pad_h=int(pads[0]), pad_w=int(pads[1]))
        g.replace([n], [layer])
        count += 1
    print(f"    {label}: {count} dense convolutions given the application's own layer")


def use_up_layer(g, label):
    """Transposed convolutions whose stride equals their square kernel, without
    padding, become the application's own layer (ScrivelUpConv): every output
    pixel takes one tap, so the layer runs them as one dense pass, about six
    times faster than OpenCV 4.6. Same weights and bias."""
    count = 0
    for n in [n for n in g.nodes if n.op_type == "ConvTranspose"]:
        if n.input[1] not in g.consts or g.attr(n, "group", 1) != 1:
            continue
        k = g.consts[n.input[1]].shape[2:]
        if len(k) != 2 or k[0] != k[1] or list(g.attr(n, "strides", [1, 1])) != list(k):
            continue
        if any(g.attr(n, "pads", [0, 0, 0, 0])) or any(g.attr(n, "output_padding", [0, 0])):
            continue
        if g.attr(n, "output_shape") is not None or list(g.attr(n, "dilations", [1, 1])) != [1, 1]:
            continue
        g.replace([n], [helper.make_node("ScrivelUpConv", list(n.input), list(n.output), name=n.name)])
        count += 1
    print(f"    {label}: {count} up-sampling convolutions given the application's own layer")


def use_linear_layer(g, label):
    """Products on the last axis by a constant matrix (the Gemm nodes made by
    fix_linears, and the remaining MatMuls) become the application's own
    layer (ScrivelLinear), about twice as fast as OpenCV 4.6's inner product.
    Weights are stored [out, in]; same bias."""
    count = 0
    for n in [n for n in g.nodes if n.op_type in ("Gemm", "MatMul")]:
        if len(n.input) < 2 or n.input[1] not in g.consts:
            continue
        weight = g.consts[n.input[1]].astype(np.float32)
        if weight.ndim != 2:
            continue
        inputs = [n.input[0]]
        if n.op_type == "Gemm":
            if g.attr(n, "transA", 0) or not g.attr(n, "transB", 0):
                continue
            if g.attr(n, "alpha", 1.0) != 1.0 or g.attr(n, "beta", 1.0) != 1.0:
                continue
            inputs.append(n.input[1])
            if len(n.input) > 2:
                if n.input[2] not in g.consts or np.ravel(g.consts[n.input[2]]).size != weight.shape[0]:
                    continue
                inputs.append(g.const("linear_b", np.ravel(g.consts[n.input[2]]).astype(np.float32)))
        else:
            inputs.append(g.const("linear_w", np.ascontiguousarray(weight.T)))
        g.replace([n], [helper.make_node("ScrivelLinear", inputs, list(n.output), name=n.name)])
        count += 1
    print(f"    {label}: {count} linear layers given the application's own layer")


def fold_batch_norms(g, label):
    """A batch normalisation right after one of the application's dense
    convolutions folds into that convolution's weights and bias (OpenCV
    folded it into its own convolution; ours would otherwise pay a pass)."""
    count = 0
    for bn in [n for n in g.nodes if n.op_type == "BatchNormalization"]:
        conv = g.producer(bn.input[0])
        if conv is None or conv.op_type != "ScrivelConv" or len(g.consumers(conv.output[0])) != 1:
            continue
        if len(bn.output) != 1 or any(i not in g.consts for i in bn.input[1:5]):
            continue
        gamma, beta, mean, var = (g.consts[i].astype(np.float64) for i in bn.input[1:5])
        factor = gamma / np.sqrt(var + g.attr(bn, "epsilon", 1e-5))
        weights = g.consts[conv.input[1]].astype(np.float64)
        bias = g.consts[conv.input[2]].astype(np.float64) if len(conv.input) > 2 else np.zeros(weights.shape[0])
        folded_w = (weights * factor.reshape(-1, 1, 1, 1)).astype(np.float32)
        folded_b = ((bias - mean) * factor + beta).astype(np.float32)
        inputs = [conv.input[0], g.const("folded_w", folded_w), g.const("folded_b", folded_b)]
        fused = helper.make_node("ScrivelConv", inputs, list(bn.output), name=conv.name)
        fused.attribute.extend(conv.attribute)
        g.replace([conv, bn], [fused])
        count += 1
    print(f"    {label}: {count} batch normalisations folded into dense convolutions")


def fuse_activations(g, label):
    """A ReLU or hard-swish that is the only reader of one of the application's
    convolutions is applied by that convolution as it stores its sums, instead
    of in a pass of its own over the tensor. Same arithmetic."""
    count = 0
    for act in [n for n in g.nodes if n.op_type in ("Relu", "ScrivelHardSwish")]:
        conv = g.producer(act.input[0])
        if conv is None or conv.op_type not in ("ScrivelConv", "ScrivelDepthwiseConv"):
            continue
        if len(g.consumers(conv.output[0])) != 1 or g.attr(conv, "activation") is not None:
            continue
        fused = helper.make_node(conv.op_type, list(conv.input), list(act.output), name=conv.name)
        fused.attribute.extend(conv.attribute)
        if act.op_type == "Relu":
            fused.attribute.append(helper.make_attribute("activation", "relu"))
        else:
            fused.attribute.extend([helper.make_attribute("activation", "hard_swish"),
                                    helper.make_attribute("act_scale", float(g.attr(act, "scale", 1.0))),
                                    helper.make_attribute("act_shift", float(g.attr(act, "shift", 0.0)))])
        g.replace([conv, act], [fused])
        count += 1
    print(f"    {label}: {count} activations applied by the convolution before them")


def fuse_gate_residuals(g, label):
    """x + x * gate, a channel gate whose only reader adds it back onto the
    gated tensor (the detection neck's residual squeeze-and-excitation),
    becomes one ScrivelChannelScale with residual = 1: one pass instead of
    two."""
    count = 0
    for add in [n for n in g.nodes if n.op_type == "Add" and len(n.input) == 2]:
        for gated, other in ((add.input[0], add.input[1]), (add.input[1], add.input[0])):
            gate = g.producer(gated)
            if gate is None or gate.op_type != "ScrivelChannelScale" or gate.input[0] != other:
                continue
            if len(g.consumers(gate.output[0])) != 1 or g.attr(gate, "residual", 0):
                continue
            fused = helper.make_node("ScrivelChannelScale", list(gate.input), list(add.output), name=gate.name,
                                     residual=1)
            g.replace([gate, add], [fused])
            count += 1
            break
    print(f"    {label}: {count} gated residuals added in the gate's own pass")


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    det_in, rec_in, det_out, rec_out = sys.argv[1:]
    print(f"  rewriting {det_in}")
    onnx.save(rewrite_det(onnx.load(det_in)), det_out)
    print(f"  rewriting {rec_in}")
    onnx.save(rewrite_rec(onnx.load(rec_in)), rec_out)


if __name__ == "__main__":
    main()
