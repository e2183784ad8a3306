#!/usr/bin/python3
"""Compares onnxruntime outputs of the original models with OpenCV outputs of
the rewritten ones. usage: compare.py DIR  (reads DIR/inputs.txt)"""
import sys

import numpy as np

TOLERANCE = 1e-3
CLASSES = 6625

ok = True
folder = sys.argv[1]
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
        same = np.mean((ref > 0.3) == (got > 0.3))
        agreement = f"binarised map (0.3) identical on {same:.4%} of pixels"
    else:
        same = np.mean(ref.reshape(-1, CLASSES).argmax(1) == got.reshape(-1, CLASSES).argmax(1))
        agreement = f"per-timestep argmax identical on {same:.2%} of {ref.size // CLASSES} timesteps"
    print(f"{name:<22} {diff.max():>11.2e} {diff.mean():>12.2e}  {agreement}")
    ok = ok and diff.max() <= TOLERANCE and same == 1.0
print("rewritten models match the originals" if ok else "MISMATCH between rewritten and original models")
sys.exit(0 if ok else 1)
