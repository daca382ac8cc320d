"""Volumetric clashes on the real IFC models: what orvexkit.overlaps finds beyond the
surface clash (duplicates, containments, overlaps that only a volume shows), and what it
costs against the surface-only orvexkit.clash, each end to end (load both models, then
the pass) in the same run.

    python bench/overlaps_ifc.py [--repeat 3] [--tolerance 0.002] [--render DIR] [--json FILE]

The models are converted by orvex_ifc (its cache keeps them between runs). With
--render, a few pairs of each volumetric kind are drawn as PNGs by the report
rasterizer (a in red, b in blue, neighbours grey) for a look at whether they are real.
"""

import argparse
import json
import logging
import os
import pathlib
import sys
import time

import numpy as np

import orvex_ifc
import orvexkit
from orvexkit.reports import camera, raster

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
from ifc_bench import DESIGN, DUPLEX, find_data  # noqa: E402

# name -> (title, files of a, files of b or None for a against itself, min_dist)
WORKLOADS = {
    "steel": ("Schependomlaan steel, design vs fabricated", ["schependomlaan/design_ROOT/IFC-staal.ifc"],
              ["schependomlaan/subcontractors/BERNTS-Staalconstructie.ifc"], 0.0),
    "design": ("Schependomlaan design partitions (11 files) against themselves", DESIGN, None, 0.0),
    "duplex": ("Duplex against itself", DUPLEX, None, 0.0),
}


def model_path(data, files):
    return orvex_ifc.convert_cached([str(data / f) for f in files]).path


def timed(models, call, min_dist):
    start = time.perf_counter()
    a, b = (orvexkit.Model(p) if p else None for p in models)
    loaded = time.perf_counter()
    result = call(a, b, min_dist)
    return result, a, b, loaded - start, time.perf_counter() - loaded


def refused(model):
    """Closed meshes that manifold3d refuses (they count as open in overlaps)."""
    import manifold3d

    count = 0
    for i in np.flatnonzero(model.closed).tolist():
        points, triangles = map(np.array, model._handle.welded(i)[:2])
        solid = manifold3d.Manifold(manifold3d.Mesh(vert_properties=points, tri_verts=triangles))
        count += solid.status() != manifold3d.Error.NoError or solid.is_empty()
    return count


def counts(result, tolerance):
    kind = result.kind
    deeper = result.dist < -np.float32(tolerance)
    hard = result.hard(tolerance)
    return {
        "pairs": len(result),
        **{k: int((kind == k).sum()) for k in orvexkit.KINDS},
        "contained_approximate": int(((kind == "contained") & result.approximate).sum()),
        "crossing_by_volume_only": int(((kind == "crossing") & (result.dist >= 0)).sum()),
        "surface_hard": int(deeper.sum()),
        "volume_hard": int(hard.sum()),
        "volume_only_hard": int((hard & ~deeper).sum()),
        "surface_only_hard": int((deeper & ~hard).sum()),
    }


def render(result, rows, folder, label):
    folder.mkdir(parents=True, exist_ok=True)
    a, b = result.a, result.b
    boxes_a, boxes_b = a.object_bounds, b.object_bounds
    for r in rows:
        i, j = int(result.a_index[r]), int(result.b_index[r])
        target = result.centre[r] if np.isfinite(result.centre[r]).all() else result.point_a[r]
        box_a, box_b = boxes_a[i].astype(np.float64), boxes_b[j].astype(np.float64)
        view = camera.view_for(np.asarray(target, np.float64), [box_a, box_b],
                               [result.point_a[r], result.point_b[r]])
        near = np.flatnonzero(np.all(boxes_a[:, 0] <= view.target + view.radius, axis=1)
                              & np.all(boxes_a[:, 1] >= view.target - view.radius, axis=1))
        context = [(a[k].vertices, a[k].triangles, raster.CONTEXT) for k in near.tolist()[:200]
                   if k != i and not (b is a and k == j)]
        image = raster.render(view, [(a[i].vertices, a[i].triangles, raster.COLOUR_A)],
                              [(b[j].vertices, b[j].triangles, raster.COLOUR_B)], context, size=(480, 360))
        name = f"{label}-{result.kind[r]}-{r}.png"
        (folder / name).write_bytes(raster.png(image))
        print(f"    {name}: {a[i].key} {a[i].type} / {b[j].key} {b[j].type}: dist {result.dist[r]:.4f}, "
              f"volume {result.volume[r] * 1e6:.0f} cm3, thickness {result.thickness[r] * 1e3:.1f} mm, "
              f"contained {result.contained[r] or '-'}")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--data", type=pathlib.Path, default=find_data(), help="the ifc data folder")
    p.add_argument("--repeat", type=int, default=3, help="interleaved runs of each call (best kept)")
    p.add_argument("--tolerance", type=float, default=0.002, help="hard tolerance in metres (2 mm)")
    p.add_argument("--workloads", default=",".join(WORKLOADS))
    p.add_argument("--render", type=pathlib.Path, help="draw a few pairs of each volumetric kind here")
    p.add_argument("--json", type=pathlib.Path, help="also write the figures here")
    args = p.parse_args()
    logging.getLogger("orvex_ifc").setLevel(logging.ERROR)
    if args.data is None or not args.data.is_dir():
        raise SystemExit("no IFC data: give --data PATH/TO/shared/data/ifc")
    print(f"{len(os.sched_getaffinity(0))} cores, load {os.getloadavg()[0]:.1f}, "
          f"CPython {sys.version.split()[0]}", flush=True)
    rows = []
    for name in args.workloads.split(","):
        title, files_a, files_b, min_dist = WORKLOADS[name]
        models = (model_path(args.data, files_a), model_path(args.data, files_b) if files_b else None)
        runs = {"clash": [], "overlaps": []}
        for _ in range(args.repeat):
            runs["clash"].append(timed(models, orvexkit.clash, min_dist))
            runs["overlaps"].append(timed(models, orvexkit.overlaps, min_dist))
        best = {k: min(v, key=lambda r: r[3] + r[4]) for k, v in runs.items()}
        result, a, b = best["overlaps"][:3]
        plain = best["clash"][0]
        surface = result.dist < np.float32(min_dist)
        agree = (result.a_index[surface].tolist() == plain.a_index.tolist()
                 and result.b_index[surface].tolist() == plain.b_index.tolist())
        row = {"workload": title, "load": os.getloadavg()[0], "agree": agree,
               "objects": [len(a)] + ([len(b)] if b is not None else []),
               "open": [a.open_count] + ([b.open_count] if b is not None else []),
               "refused": [refused(a)] + ([refused(b)] if b is not None else []),
               **{f"{k}_s": {"load": v[3], "pass": v[4], "total": v[3] + v[4]} for k, v in best.items()},
               **counts(result, args.tolerance)}
        row["ratio"] = row["overlaps_s"]["total"] / row["clash_s"]["total"]
        rows.append(row)
        print(f"{title}: {json.dumps({k: v for k, v in row.items() if k != 'workload'})}", flush=True)
        if args.render:
            for kind, order in (("duplicate", -result.volume), ("contained", -result.volume),
                                ("crossing", -np.where(result.dist >= 0, result.volume, 0))):
                chosen = [r for r in np.argsort(order, kind="stable").tolist() if result.kind[r] == kind]
                if kind == "crossing":
                    chosen = [r for r in chosen if result.dist[r] >= 0]
                render(result, chosen[:4], args.render, name)
    print()
    print("| workload | objects (open, refused) | clash | overlaps | ratio | duplicate | contained | "
          "crossing (by volume only) | volume-only hard > %g mm |" % (args.tolerance * 1e3))
    print("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        objects = " / ".join(f"{n} ({o}, {f})" for n, o, f in zip(r["objects"], r["open"], r["refused"]))
        print(f"| {r['workload']} | {objects} | {r['clash_s']['total'] * 1e3:.0f} ms | "
              f"{r['overlaps_s']['total'] * 1e3:.0f} ms | {r['ratio']:.1f}x | {r['duplicate']} | "
              f"{r['contained']} ({r['contained_approximate']} approximate) | {r['crossing']} "
              f"({r['crossing_by_volume_only']}) | {r['volume_only_hard']} |")
    if args.json:
        args.json.write_text(json.dumps(rows, indent=1))
    return 0 if all(r["agree"] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
