"""Report writers on a seeded synthetic floor: N beams crossed by N pipes (2N distinct small
meshes, N clashes), 4 m apart so that each clash has neighbours.

Prints the HTML write time and size, and the BCF time per topic (snapshot rendering and the
rest of the archive), best of --repeats. Run from a clean clone after `pip install '.[reports]'`:

    python bench/reports_bench.py             # 1000 clashes, 2000 meshes, 40 BCF topics
    python bench/reports_bench.py --quick
"""
from __future__ import annotations

import argparse
import os
import tempfile
import time

import numpy as np

from orvexkit.reports import (CheckInfo, Clash, DictGeometry, ModelInfo, ObjectRef, Report,
                              write_bcf, write_html)
from orvexkit.reports import raster
from orvexkit.reports.bcf import _snapshot, _topics
from orvexkit.reports.geometry import SceneCache


def box(lo, hi):
    lo, hi = np.asarray(lo, float), np.asarray(hi, float)
    corners = [[(lo, hi)[i & 1][0], (lo, hi)[i >> 1 & 1][1], (lo, hi)[i >> 2][2]] for i in range(8)]
    triangles = [[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4],
                 [2, 6, 3], [3, 6, 7], [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]]
    return np.array(corners, np.float32), np.array(triangles, np.uint32)


def pipe(start, length, radius, segments=16):
    """A closed cylinder along x: 4 * segments triangles."""
    a = np.linspace(0, 2 * np.pi, segments, endpoint=False)
    ring = np.stack([np.zeros(segments), radius * np.cos(a), radius * np.sin(a)], axis=1)
    v = np.concatenate([ring + start, ring + start + [length, 0, 0],
                        [start, np.add(start, [length, 0, 0])]]).astype(np.float32)
    i = np.arange(segments)
    j = (i + 1) % segments
    n = segments
    t = np.concatenate([np.stack([i, j, n + i], 1), np.stack([j, n + j, n + i], 1),
                        np.stack([np.full(n, 2 * n), j, i], 1),
                        np.stack([np.full(n, 2 * n + 1), n + i, n + j], 1)])
    return v, t.astype(np.uint32)


def floor(n, seed=1):
    rng = np.random.default_rng(seed)
    meshes, clashes = {}, []
    side = int(np.ceil(np.sqrt(n)))
    for k in range(n):
        x, y = (k % side) * 4.0, (k // side) * 4.0
        z = 3.0 + rng.uniform(-0.05, 0.05)
        beam_key, pipe_key = f"beam-{k:05d}", f"pipe-{k:05d}"
        meshes[("structure", beam_key)] = box((x, y - 3, z - 0.4), (x + 0.3, y + 3, z))
        meshes[("mep", pipe_key)] = pipe((x - 3, y, z - 0.1), 6.0, 0.08)
        beam = ObjectRef("structure", beam_key, "IFC.IfcBeam", f"B{k}", "Level 1")
        duct = ObjectRef("mep", pipe_key, "IFC.IfcPipeSegment", f"P{k}", "Level 1")
        clashes.append(Clash(f"c{k:05d}", "hard", "crossing", -0.18, (x + 0.15, y, z - 0.02),
                             (x + 0.15, y, z - 0.18), beam, duct,
                             group=f"G{k // 3}" if k % 2 else None))
    report = Report("Benchmark floor", "2026-01-01T00:00:00Z", "orvex bench",
                    [ModelInfo("structure", None, None, n, 12 * n),
                     ModelInfo("mep", None, None, n, 64 * n)],
                    [CheckInfo("hard", "structure", "mep", {})], clashes)
    return report, DictGeometry(meshes)


def best(repeats, fn):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clashes", type=int, default=1000)
    parser.add_argument("--topics", type=int, default=40)
    parser.add_argument("--repeats", type=int, default=3, help="best of")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        args.clashes, args.topics, args.repeats = 100, 5, 1
    report, geometry = floor(args.clashes)
    meshes = len(geometry.meshes)
    print(f"scene: {len(report.clashes)} clashes, {meshes} meshes "
          f"({sum(len(t) for _, t in geometry.meshes.values())} triangles), {os.cpu_count()} cores")
    with tempfile.TemporaryDirectory() as folder:
        html = os.path.join(folder, "r.html")
        t = best(args.repeats, lambda: write_html(report, html, geometry))
        print(f"HTML: {t:.3f} s for {len(report.clashes)} clashes, "
              f"{os.path.getsize(html) / 1e6:.1f} MB")

        sub = Report(**{**vars(report), "clashes": report.clashes[:args.topics]})
        bcf = os.path.join(folder, "r.bcf")
        t = best(args.repeats, lambda: write_bcf(sub, bcf, geometry, per="clash"))
        topics = _topics(sub.clashes, "clash")
        scene = SceneCache(geometry)
        render = best(args.repeats, lambda: [_snapshot(scene, c, 30, (640, 480)) for c in topics])
        pngs = [_snapshot(scene, c, 30, (640, 480))[1] for c in topics]
        encode = best(args.repeats, lambda: [raster.png(p) for p in pngs])
        n = len(topics)
        print(f"BCF: {t / n * 1e3:.0f} ms per topic ({n} topics, 640x480, 2x2 samples): "
              f"snapshot {render / n * 1e3:.0f} ms + PNG {encode / n * 1e3:.0f} ms + rest; "
              f"{os.path.getsize(bcf) / n / 1e3:.0f} kB per topic")


if __name__ == "__main__":
    main()
