#!/usr/bin/env python3
"""Explains the leaks of a scan result (development aid, used with bench/media/LeakStudy).

    scripts/leak-study.py GT.json RAW.json RESULT.json [--kinds email,phone,han,custom] [--text SUBSTR]

RAW.json holds the per-frame recognition before tracking, RESULT.json the tracked masks. For every
ground-truth box (ink box, partial boxes skipped) that the result leaves under 95 % covered, prints the
frame, the coverage by the result and by the frame's own recognition, the recognised lines over the box and
the result regions over it (trackID, offset of the mask against the ink box in pixels). Leaks are grouped
by text so that one missing identity reads as one block.
"""
import argparse
import json
import math
from collections import defaultdict


def px_span(v, length, n):
    a = math.ceil(v * n - 0.5 - 1e-7)
    b = math.ceil((v + length) * n - 0.5 - 1e-7)
    return max(0, min(n, a)), max(0, min(n, b))


def masks(sample):
    out = []
    for reg in sample.get("regions") or []:
        R = reg["rect"]
        for sel in reg.get("selections") or []:
            S = sel["rect"]
            out.append((R["x"] + R["width"] * S["x"], R["y"] + R["height"] * S["y"],
                        R["width"] * S["width"], R["height"] * S["height"], reg, sel))
    return out


def coverage(box, rects, W, H):
    x0, x1 = px_span(box[0], box[2], W)
    y0, y1 = px_span(box[1], box[3], H)
    if x1 <= x0 or y1 <= y0:
        return 1.0
    spans = []
    for r in rects:
        rx0, rx1 = px_span(r[0], r[2], W)
        ry0, ry1 = px_span(r[1], r[3], H)
        spans.append((rx0, rx1, ry0, ry1))
    covered = 0
    for y in range(y0, y1):
        row = bytearray(x1 - x0)
        for rx0, rx1, ry0, ry1 in spans:
            if ry0 <= y < ry1:
                a, b = max(rx0, x0), min(rx1, x1)
                if a < b:
                    row[a - x0:b - x0] = b"\1" * (b - a)
        covered += row.count(1)
    return covered / ((x1 - x0) * (y1 - y0))


def overlaps(a, b):
    return a[0] < b[0] + b[2] and b[0] < a[0] + a[2] and a[1] < b[1] + b[3] and b[1] < a[1] + a[3]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("gt")
    p.add_argument("raw")
    p.add_argument("result")
    p.add_argument("--kinds", default="email,phone,han,custom")
    p.add_argument("--text", default="")
    p.add_argument("--limit", type=int, default=12)
    a = p.parse_args()
    gt = json.load(open(a.gt))
    raw = json.load(open(a.raw))["samples"]
    res = json.load(open(a.result))["samples"]
    W, H = gt["width"], gt["height"]
    kinds = set(a.kinds.split(","))
    groups = defaultdict(list)
    for fr in gt["frames"]:
        f = fr["index"]
        rawMasks = masks(raw[f]) if f < len(raw) else []
        resMasks = masks(res[f]) if f < len(res) else []
        for b in fr["boxes"]:
            if b["kind"] not in kinds or b.get("partial") or not b.get("ink") or a.text not in b["text"]:
                continue
            ink = b["ink"]
            cov = coverage(ink, resMasks, W, H)
            if cov >= 0.95:
                continue
            rawCov = coverage(ink, rawMasks, W, H)
            seen = [r for r in (raw[f]["regions"] if f < len(raw) else [])
                    if overlaps(ink, (r["rect"]["x"], r["rect"]["y"], r["rect"]["width"], r["rect"]["height"]))]
            over = [m for m in resMasks if overlaps(ink, m)]
            groups[(b["kind"], b["text"])].append((f, cov, rawCov, ink, seen, over))
    for (kind, text), leaks in sorted(groups.items(), key=lambda kv: -len(kv[1])):
        print(f"== {kind} {text!r}: {len(leaks)} leaked frames: {[l[0] for l in leaks]}")
        for f, cov, rawCov, ink, seen, over in leaks[:a.limit]:
            print(f"  f{f} cov {cov:.2f} raw {rawCov:.2f} ink px ({ink[0]*W:.0f},{ink[1]*H:.0f},{ink[2]*W:.0f}x{ink[3]*H:.0f})")
            for r in seen:
                R = r["rect"]
                sels = ",".join(f"{s['kind']}:{s['text']}" for s in r["selections"])
                print(f"     ocr {r['text']!r} conf {r['confidence']:.2f} rect px ({R['x']*W:.0f},{R['y']*H:.0f},"
                      f"{R['width']*W:.0f}x{R['height']*H:.0f}) sels [{sels}]")
            for m in over:
                reg, sel = m[4], m[5]
                print(f"     mask t{reg['trackID']} {sel['kind']}:{sel['text']!r} px ({m[0]*W:.0f},{m[1]*H:.0f},"
                      f"{m[2]*W:.0f}x{m[3]*H:.0f}) d=({(m[0]-ink[0])*W:+.1f},{(m[1]-ink[1])*H:+.1f}) "
                      f"right {(m[0]+m[2]-ink[0]-ink[2])*W:+.1f} bottom {(m[1]+m[3]-ink[1]-ink[3])*H:+.1f}")


if __name__ == "__main__":
    main()
