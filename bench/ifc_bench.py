"""Real-building workloads: converts IFC models and clashes them.

For each workload it reports the conversion of each model (IFC -> model text) and
the stages of the clash call: loading and meshing each model (a call against an
empty model does only that) and the pairwise pass (the whole call less the two).
Each result is checked before it counts: every repetition must return the same
collisions, naming objects of the two models.

    PYTHONPATH=build/dev:python python bench/ifc_bench.py [--repeat 3] [--json out.json]

The IFC files are found in shared/data/ifc of a parent folder of the project, or
at --data.
"""

import argparse
import collections
import json
import logging
import pathlib
import statistics
import sys
import time

import orvex
import orvex_ifc

ROOT = pathlib.Path(__file__).resolve().parent.parent

DESIGN = [f"schependomlaan/design_ROOT/IFC-{name}.ifc" for name in (
    "kalkzandsteen", "breedplaatvloeren", "kanaalplaatvloer", "staal",
    "kapconstructie_dakkapellen_platdak", "lateien_en_geveldragers", "Vebo",
    "prefab_trappen", "traphekken", "prefab_balkons", "prefab_vloer_lifttop")]
FABRICATION = [f"schependomlaan/subcontractors/{name}.ifc" for name in (
    "BERNTS-Staalconstructie", "MULTICOM-Prefab", "GEELEN-Breedplaat V1",
    "GEELEN-Breedplaat V2", "GEELEN-Breedplaat V3", "GEELEN-Dakvloer")]
DUPLEX = ["duplex/Duplex_A_20110907.ifc"]

# name -> (files of model a, files of model b or None for a against itself, min_dist)
WORKLOADS = {
    "schependomlaan steel: design vs fabricated": (
        ["schependomlaan/design_ROOT/IFC-staal.ifc"],
        ["schependomlaan/subcontractors/BERNTS-Staalconstructie.ifc"], 0.001),
    "schependomlaan: design (11 files) vs fabrication (6 files)": (DESIGN, FABRICATION, 0.0),
    "duplex: architecture vs itself": (DUPLEX, None, 0.0),
}


def find_data():
    for parent in ROOT.parents:
        candidate = parent / "shared" / "data" / "ifc"
        if candidate.is_dir():
            return candidate
    return None


def timed(fn, repeat):
    """(result of the last run, median seconds over `repeat` runs)."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return result, statistics.median(times)


def convert(data, files):
    summary = orvex_ifc.Summary()
    start = time.perf_counter()
    ifcs = [orvex_ifc.open_ifc(data / f) for f in files]
    text = "".join(orvex_ifc.model_lines(ifcs, summary=summary))
    seconds = time.perf_counter() - start
    classes = {}
    for line in text.splitlines():
        key, obj = line.split("\t", 1)
        if '"@displayValue"' in obj:
            classes[key] = json.loads(obj)["speckle_type"][4:]
    return text, classes, {"seconds": seconds, "objects": sum(summary.objects.values()),
                        "triangles": summary.triangles, "bytes": len(text.encode())}


def run(data, name, files_a, files_b, min_dist, repeat):
    text_a, keys_a, conv_a = convert(data, files_a)
    if files_b is None:
        text_b, keys_b, conv_b = text_a, keys_a, None
    else:
        text_b, keys_b, conv_b = convert(data, files_b)

    _, load_a = timed(lambda: orvex.clash_detection(text_a, ""), repeat)
    _, load_b = timed(lambda: orvex.clash_detection("", text_b), repeat)
    runs, times = [], []
    for _ in range(repeat):
        start = time.perf_counter()
        runs.append(orvex.clash_detection(text_a, text_b, min_dist))
        times.append(time.perf_counter() - start)
    found, total = runs[-1], statistics.median(times)
    first = [(c.ids, c.dist, c.point) for c in runs[0]]
    if any([(c.ids, c.dist, c.point) for c in r] != first for r in runs[1:]):
        raise SystemExit(f"{name}: repetitions disagree")
    if any(c.ids[0] not in keys_a or c.ids[1] not in keys_b for c in found):
        raise SystemExit(f"{name}: a collision names an object of neither model")

    return {"workload": name, "min_dist": min_dist, "convert_a": conv_a, "convert_b": conv_b,
            "load_mesh_a_s": load_a, "load_mesh_b_s": load_b,
            "pass_s": max(0.0, total - load_a - load_b), "clash_total_s": total,
            "collisions": len(found),
            "pairs_by_class": collections.Counter(
                f"{keys_a[c.ids[0]]} / {keys_b[c.ids[1]]}" for c in found).most_common(5)}


def report(r):
    def conv(c):
        return (f"{c['objects']} objects, {c['triangles']} triangles, "
                f"{c['bytes'] / 1e6:.1f} MB in {c['seconds']:.2f} s")
    print(f"== {r['workload']} (min_dist {r['min_dist']})")
    print(f"   convert a: {conv(r['convert_a'])}")
    print(f"   convert b: {conv(r['convert_b']) if r['convert_b'] else 'same model as a'}")
    print(f"   clash: load+mesh a {r['load_mesh_a_s'] * 1e3:.1f} ms, "
          f"load+mesh b {r['load_mesh_b_s'] * 1e3:.1f} ms, pass {r['pass_s'] * 1e3:.1f} ms, "
          f"whole call {r['clash_total_s'] * 1e3:.1f} ms")
    print(f"   {r['collisions']} collisions; most frequent class pairs: "
          + ", ".join(f"{pair} {n}" for pair, n in r["pairs_by_class"]))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--data", type=pathlib.Path, default=find_data(), help="the ifc data folder")
    p.add_argument("--repeat", type=int, default=3, help="clash calls per figure (median)")
    p.add_argument("--json", type=pathlib.Path, help="also write the figures here")
    args = p.parse_args()
    # Repeated GlobalIds across the design partitions are expected here.
    logging.getLogger("orvex_ifc").setLevel(logging.ERROR)
    if args.data is None or not args.data.is_dir():
        raise SystemExit("no IFC data: give --data PATH/TO/shared/data/ifc")
    results = []
    for name, (files_a, files_b, min_dist) in WORKLOADS.items():
        results.append(run(args.data, name, files_a, files_b, min_dist, args.repeat))
        report(results[-1])
        sys.stdout.flush()
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
