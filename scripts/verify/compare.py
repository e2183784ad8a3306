#!/usr/bin/python3
"""Compares onnxruntime outputs of the original models with OpenCV outputs of
the rewritten ones. usage: compare.py DIR float|bf16  (reads DIR/inputs.txt)

float: every output within TOLERANCE, every binarised pixel and every
timestep's best class the same.
bf16: products of bfloat16 values are off by up to 2^-7 of themselves, so
outputs near a decision may fall either side: binarised maps must agree on
BF16_MAP_AGREEMENT of their pixels and every pixel DECIDED away from the
threshold, and every timestep whose best class leads the next by DECIDED
must keep it."""
import sys

import numpy as np

TOLERANCE = 1e-3
CLASSES = 6625
BF16_MAP_AGREEMENT = 0.999
DECIDED = 0.2

ok = True
folder, products = sys.argv[1], sys.argv[2]
assert products in ("float", "bf16"), __doc__
print(f"{'input':<22} {'max |diff|':>11} {'mean |diff|':>12}  agreement")
for line in open(f"{folder}/inputs.txt"):
    model, name = line.split()[:2]
    ref = np.fromfile(f"{folder}/{name}.ort.f32", np.float32)
    got = np.fromfile(f"{folder}/{name}.cv.f32", np.float32)
    if ref.size != got.size:
        print(f"{name:<22} output sizes differ: {ref.size} vs {got.size}")
        ok = False
        continue
    if model == "rec":
        # The rewritten model leaves the last softmax to the decoder.
        scores = got.reshape(-1, CLASSES)
        exp = np.exp(scores - scores.max(1, keepdims=True))
        got = (exp / exp.sum(1, keepdims=True)).ravel()
    diff = np.abs(ref - got)
    if model == "det":
        agrees = (ref > 0.3) == (got > 0.3)
        decided = np.abs(ref - 0.3) >= DECIDED
        same = np.mean(agrees)
        agreement = f"binarised map (0.3) identical on {same:.4%} of pixels"
        bf16_ok = same >= BF16_MAP_AGREEMENT and agrees[decided].all()
    else:
        ref_steps = ref.reshape(-1, CLASSES)
        agrees = ref_steps.argmax(1) == got.reshape(-1, CLASSES).argmax(1)
        top2 = np.sort(ref_steps, 1)[:, -2:]
        decided = top2[:, 1] - top2[:, 0] >= DECIDED
        same = np.mean(agrees)
        agreement = (f"per-timestep argmax identical on {same:.2%} of {ref.size // CLASSES} timesteps, "
                     f"{np.mean(agrees[decided]):.2%} of {decided.sum()} decided")
        bf16_ok = agrees[decided].all()
    print(f"{name:<22} {diff.max():>11.2e} {diff.mean():>12.2e}  {agreement}")
    if products == "float":
        ok = ok and diff.max() <= TOLERANCE and same == 1.0
    else:
        ok = ok and bf16_ok
print("rewritten models match the originals" if ok else "MISMATCH between rewritten and original models")
sys.exit(0 if ok else 1)
